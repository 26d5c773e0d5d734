#pragma once

#include <mutex>

// A critical section: mutual exclusion between threads, re-entrant on one thread.
class CCS
{
public:
    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

// Holds a CCS for its own lifetime.
class CCSLock
{
public:
    explicit CCSLock(CCS& cs) : m_cs(cs) { m_cs.Lock(); }
    ~CCSLock() { m_cs.Unlock(); }
    CCSLock(const CCSLock&) = delete;
    CCSLock& operator=(const CCSLock&) = delete;

private:
    CCS& m_cs;
};
