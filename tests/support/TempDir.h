#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);

// Runs argv[0] with exactly `env`, as `uid` (and its group) unless -1, and sends
// `signal` (if any) once the program catches it. Gives the waitpid status and what it
// printed. Bounded: a program still running after 30 s is killed.
struct ChildResult {
    int Status = -1;
    std::string Out, Err;
};
ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     uid_t uid = static_cast<uid_t>(-1), int signal = 0);
