#pragma once

#include "base/CUBuffer.h"
#include "base/CUString.h"

#include <netinet/in.h>

#include <memory>

// The capture of this machine's outgoing IPv4 packets: libpcap on the "any" device
// (or a .pcap file), with an eventfd beside it so that another thread can end a
// blocked read. Every operation gives non-zero for success and 0 for failure; the
// reason of the last failure, as the OS or libpcap tells it, is in GetLastError().
class CCaptureSocket
{
public:
    CCaptureSocket();
    ~CCaptureSocket();
    CCaptureSocket(CCaptureSocket&&) noexcept;
    CCaptureSocket& operator=(CCaptureSocket&&) noexcept;

    CUBuffer In; // the last packet read, IPv4 header first

    // BindRaw opens the live capture (needs CAP_NET_RAW) with a packet ring sized for
    // broadcasts, RingBytes. It lets nothing through until Sniff: the filter is set
    // once the privilege is gone.
    int BindRaw();
    // Reads packets from a .pcap file instead of a live device, so that recorded
    // traffic can be replayed; ReadUDP then blocks at the end of the file until woken.
    int OpenCaptureFile(const char* path);
    // Applies the in-kernel filter that lets only this machine's outgoing UDP
    // broadcasts to 255.255.255.255 (fragments included) through. Sniff(0) selects the
    // same packets in user space only (every packet is then copied out of the kernel):
    // for measuring what the kernel filter saves. A non-empty `filter` (libpcap's
    // syntax, "outbound and udp and ...") replaces the kernel filter; user space then
    // passes all outgoing IPv4 UDP and leaves the rest of the test to the caller.
    int Sniff(int flag, const char* filter = nullptr);
    // Blocks until one packet arrives and puts it into In; gives 0 when the read
    // failed or was woken by WakeRead. `from` gets its source address and port.
    int ReadUDP(sockaddr_in& from);
    // The index of the interface the last packet left by; 0 when not known (a file).
    int GetInterface() const { return m_interface; }
    // Makes a blocked or the next ReadUDP return 0. Safe from any thread while the
    // capture is open.
    void WakeRead();
    // A ReadUDP that finds no packet waiting also returns 0 when `fd` (not owned; -1:
    // none) is readable: the caller takes what is there and reads again.
    void WakeOnReadable(int fd);
    int IsOpen() const { return m_state != nullptr; }
    void Close();

    const CUString& GetLastError() const { return m_error; }
    // Non-zero when the last failure was a refused permission (no CAP_NET_RAW): the
    // only failure that the setcap advice can cure.
    int IsDenied() const { return m_denied; }

    // The kernel's ring for captured packets: broadcasts are few and small, and the
    // ring is kernel memory that no user limit covers.
    static constexpr int RingBytes = 256 * 1024;

private:
    void SetErrorFromErrno(const char* what);
    struct State;
    // A fresh state with its wake-up descriptor, after closing the old one; null (with
    // the error set) when the descriptor cannot be had.
    std::unique_ptr<State> NewState();
    // Compiles `filter` into the kernel; 0 with libpcap's text as the error.
    int SetKernelFilter(State& state, const char* filter);

    std::unique_ptr<State> m_state;
    CUString m_error;
    int m_denied = 0;
    int m_interface = 0;
};
