#include "ScopedCapabilityDrop.h"

#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// glibc has no wrapper for these; libcap is not worth a dependency for two calls.
bool SetEffective(int capability, bool on)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    const unsigned word = static_cast<unsigned>(capability) / 32;
    const unsigned bit = 1u << (static_cast<unsigned>(capability) % 32);
    if (on)
        data[word].effective |= bit;
    else
        data[word].effective &= ~bit;
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

ScopedCapabilityDrop::ScopedCapabilityDrop(int capability) : m_capability(capability)
{
    m_securebits = ::prctl(PR_GET_SECUREBITS);
    m_ok = m_securebits >= 0 && ::prctl(PR_SET_SECUREBITS, m_securebits | SECBIT_NOROOT) == 0 &&
           SetEffective(capability, false);
}

ScopedCapabilityDrop::~ScopedCapabilityDrop()
{
    SetEffective(m_capability, true);
    if (m_securebits >= 0)
        ::prctl(PR_SET_SECUREBITS, m_securebits);
}
