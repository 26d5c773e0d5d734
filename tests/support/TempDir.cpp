#include "TempDir.h"

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

TempDir::TempDir()
{
    char pattern[] = "/tmp/kivora-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    m_path = made ? made : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (m_path != "/tmp")
        std::filesystem::remove_all(m_path, ignored);
}

std::string ReadWholeFile(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     uid_t uid, int signal)
{
    TempDir outputs; // files, not pipes: a child that prints much never blocks on us
    std::vector<char*> args, vars;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& v : env)
        vars.push_back(const_cast<char*>(v.c_str()));
    args.push_back(nullptr);
    vars.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (freopen(outputs.File("out").c_str(), "w", stdout) &&
            freopen(outputs.File("err").c_str(), "w", stderr) &&
            (uid == static_cast<uid_t>(-1) ||
             (setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0)))
            execve(args[0], args.data(), vars.data());
        _exit(127);
    }
    ChildResult result;
    bool signalled = signal == 0, ended = false;
    for (int waited = 0; waited < 3000 && !ended; ++waited, usleep(10000)) {
        // SigCgt in /proc/<pid>/status: the handler is in place, the signal is not lost.
        std::string status = ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
        size_t caught = status.find("SigCgt:");
        if (!signalled && caught != std::string::npos &&
            (std::stoull(status.substr(caught + 7, 17), nullptr, 16) >> (signal - 1) & 1))
            signalled = kill(pid, signal) == 0;
        ended = waitpid(pid, &result.Status, WNOHANG) == pid;
    }
    if (!ended && kill(pid, SIGKILL) == 0)
        waitpid(pid, &result.Status, 0);
    result.Out = ReadWholeFile(outputs.File("out"));
    result.Err = ReadWholeFile(outputs.File("err"));
    return result;
}
