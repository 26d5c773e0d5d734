#include "TempDir.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
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
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

namespace
{
bool Catches(pid_t pid, int signal)
{
    std::istringstream status(ReadWholeFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
    return false;
}
} // namespace

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
        if (!freopen(outputs.File("out").c_str(), "w", stdout) ||
            !freopen(outputs.File("err").c_str(), "w", stderr))
            _exit(125);
        if (uid != static_cast<uid_t>(-1) &&
            (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(126);
        execve(args[0], args.data(), vars.data());
        _exit(127);
    }
    ChildResult result;
    bool signalled = signal == 0, ended = false;
    for (int waited = 0; waited < 3000 && !ended; ++waited) {
        if (!signalled && Catches(pid, signal))
            signalled = kill(pid, signal) == 0;
        ended = waitpid(pid, &result.Status, WNOHANG) == pid;
        if (!ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended && kill(pid, SIGKILL) == 0)
        waitpid(pid, &result.Status, 0);
    result.Out = ReadWholeFile(outputs.File("out"));
    result.Err = ReadWholeFile(outputs.File("err"));
    return result;
}
