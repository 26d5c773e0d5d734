#pragma once

// Takes one capability (e.g. CAP_NET_RAW) out of the calling thread's effective set, and
// keeps programs this thread starts from gaining capabilities by being root
// (SECBIT_NOROOT), until destroyed; other threads keep theirs.
class ScopedCapabilityDrop
{
public:
    explicit ScopedCapabilityDrop(int capability);
    ~ScopedCapabilityDrop();
    ScopedCapabilityDrop(const ScopedCapabilityDrop&) = delete;
    ScopedCapabilityDrop& operator=(const ScopedCapabilityDrop&) = delete;

    bool Ok() const { return m_ok; }

private:
    int m_capability;
    int m_securebits = 0;
    bool m_ok = false;
};
