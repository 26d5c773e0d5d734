#pragma once

#include <unistd.h>

#include <utility>

// Owns one descriptor and closes it when it goes: no error path closes by hand.
class CScopedFd
{
public:
    explicit CScopedFd(int fd = -1) : m_fd(fd) {}
    CScopedFd(CScopedFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    CScopedFd& operator=(CScopedFd&& other) noexcept
    {
        Reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    ~CScopedFd() { Reset(); }
    CScopedFd(const CScopedFd&) = delete;
    CScopedFd& operator=(const CScopedFd&) = delete;

    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    // Gives the descriptor up to the caller, who closes it.
    int Release() { return std::exchange(m_fd, -1); }
    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }

private:
    int m_fd;
};
