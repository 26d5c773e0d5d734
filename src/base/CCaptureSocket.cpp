#include "base/CCaptureSocket.h"

#include "base/ByteOrder.h"
#include "base/CScopedFd.h"

#include <pcap/pcap.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <memory>

struct CCaptureSocket::State {
    pcap_t* pcap = nullptr;
    CScopedFd wake;
    int wakeFd = -1;   // wake's
    int selectFd = -1; // libpcap's own; -1 for a file
    int alsoFd = -1;   // WakeOnReadable's, not owned
    int linkType = 0;
    bool offline = false;
    bool atEnd = false;         // a file has been read to its end
    bool broadcastOnly = false; // after Sniff: only outgoing UDP to 255.255.255.255
    bool udpOnly = false;       // after Sniff with a filter of the caller's: outgoing UDP
    std::atomic<bool> woken{false};

    ~State()
    {
        if (pcap)
            pcap_close(pcap);
    }

    // The descriptor WakeRead writes to; false when it cannot be made (errno says why).
    bool OpenWake()
    {
        wake.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        wakeFd = wake.Get();
        return wake.IsOpen();
    }

    void DrainWake()
    {
        uint64_t count;
        while (::read(wakeFd, &count, sizeof count) == sizeof count) {
        }
        woken.store(false);
    }

    // Waits up to `timeout` ms (-1: for ever) for WakeRead. Gives true when woken.
    bool WaitForWake(int timeout)
    {
        pollfd fd{wakeFd, POLLIN, 0};
        if (::poll(&fd, 1, timeout) > 0 && (fd.revents & POLLIN)) {
            DrainWake();
            return true;
        }
        return false;
    }
};

namespace
{

constexpr int PacketOutgoing = 4; // sll_pkttype of a frame this machine sent
constexpr uint16_t EtherTypeIPv4 = 0x0800;
constexpr int MaxCapture = 4000;
constexpr char LiveFilter[] = "outbound and udp and dst host 255.255.255.255";

bool IsVlanTag(uint16_t etherType)
{
    return etherType == 0x8100 || etherType == 0x88a8 || etherType == 0x9100;
}

// Finds the IPv4 packet in a captured frame. Gives its offset, or -1 when the frame is
// not IPv4 or, where the link layer tells the direction, was not sent by this machine.
// `index` gets the interface's index where the link layer tells it, else 0.
long FindIPv4(int linkType, const uint8_t* frame, size_t length, bool outgoingOnly, int& index)
{
    size_t offset = 0;
    uint16_t etherType = 0;
    index = 0;
    switch (linkType) {
    case DLT_LINUX_SLL: // cooked header of the "any" device, 16 bytes
        if (length < 16 || (outgoingOnly && GetBigEndian16(frame) != PacketOutgoing))
            return -1;
        etherType = GetBigEndian16(frame + 14);
        offset = 16;
        break;
    case DLT_LINUX_SLL2: // 20 bytes, packet type at byte 10
        if (length < 20 || (outgoingOnly && frame[10] != PacketOutgoing))
            return -1;
        etherType = GetBigEndian16(frame);
        index = static_cast<int>(GetBigEndian32(frame + 4));
        offset = 20;
        // A tagged frame on the live device is the frame of a VLAN interface, seen
        // again on the interface below it: the VLAN interface shows it untagged.
        if (outgoingOnly && IsVlanTag(etherType))
            return -1;
        break;
    case DLT_EN10MB: // a named Ethernet device: no direction here, the filter has it
        if (length < 14)
            return -1;
        etherType = GetBigEndian16(frame + 12);
        offset = 14;
        break;
    case DLT_RAW:
    case DLT_IPV4:
        return length >= 1 && (frame[0] >> 4) == 4 ? 0 : -1;
    default:
        return -1;
    }
    while (IsVlanTag(etherType)) {
        if (length < offset + 4)
            return -1;
        etherType = GetBigEndian16(frame + offset + 2);
        offset += 4;
    }
    return etherType == EtherTypeIPv4 ? static_cast<long>(offset) : -1;
}

// The kernel filter's test again, in user space: it also holds for a file, and for
// anything that reached the ring before the filter was in place. A fragment carries
// the protocol too, if not the ports.
bool IsUdp(const uint8_t* ip, size_t length)
{
    return length >= 20 && (ip[0] >> 4) == 4 && ip[9] == 17;
}

bool IsUdpBroadcast(const uint8_t* ip, size_t length)
{
    static const uint8_t broadcast[4] = {255, 255, 255, 255};
    return IsUdp(ip, length) && std::memcmp(ip + 16, broadcast, 4) == 0;
}

} // namespace

CCaptureSocket::CCaptureSocket() = default;
CCaptureSocket::~CCaptureSocket() = default;
CCaptureSocket::CCaptureSocket(CCaptureSocket&&) noexcept = default;
CCaptureSocket& CCaptureSocket::operator=(CCaptureSocket&&) noexcept = default;

void CCaptureSocket::SetErrorFromErrno(const char* what)
{
    m_error.Format("%s: %s", what, std::strerror(errno));
}

std::unique_ptr<CCaptureSocket::State> CCaptureSocket::NewState()
{
    Close();
    auto state = std::make_unique<State>();
    if (!state->OpenWake()) {
        SetErrorFromErrno("eventfd");
        return nullptr;
    }
    return state;
}

int CCaptureSocket::SetKernelFilter(State& state, const char* filter)
{
    bpf_program program{};
    if (pcap_compile(state.pcap, &program, filter, 1, PCAP_NETMASK_UNKNOWN) < 0) {
        m_error = pcap_geterr(state.pcap);
        return 0;
    }
    const int ok = pcap_setfilter(state.pcap, &program) == 0;
    if (!ok)
        m_error = pcap_geterr(state.pcap);
    pcap_freecode(&program);
    return ok;
}

int CCaptureSocket::BindRaw()
{
    auto state = NewState();
    if (!state)
        return 0;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    state->pcap = pcap_create("any", errbuf);
    if (!state->pcap) {
        m_error = errbuf;
        return 0;
    }
    pcap_set_snaplen(state->pcap, MaxCapture);
    pcap_set_promisc(state->pcap, 0);
    pcap_set_buffer_size(state->pcap, RingBytes);
    // Each packet at once: a game's announcement must not wait for a buffer to fill.
    pcap_set_immediate_mode(state->pcap, 1);
    int status = pcap_activate(state->pcap);
    if (status < 0) {
        // Kept apart from the text: only a refused permission gets the setcap advice.
        m_denied = status == PCAP_ERROR_PERM_DENIED;
        const char* detail = pcap_geterr(state->pcap);
        if (status == PCAP_ERROR && detail && *detail)
            m_error = detail;
        else if (detail && *detail)
            m_error.Format("%s (%s)", pcap_statustostr(status), detail);
        else
            m_error = pcap_statustostr(status);
        return 0;
    }
    // The cooked header that tells the interface: a frame seen on a bridge's port is
    // told apart from the bridge's own (and from one the bridge passed on for others).
    if (pcap_set_datalink(state->pcap, DLT_LINUX_SLL2) != 0) {
        m_error = pcap_geterr(state->pcap);
        return 0;
    }
    // Nothing passes until Sniff sets the filter: a program that matches no packet.
    if (!SetKernelFilter(*state, "less 1"))
        return 0;
    // Reads never block inside libpcap; ReadUDP waits in poll, where WakeRead reaches it.
    if (pcap_setnonblock(state->pcap, 1, errbuf) < 0) {
        m_error = errbuf;
        return 0;
    }
    state->selectFd = pcap_get_selectable_fd(state->pcap);
    if (state->selectFd < 0) {
        m_error = "The capture device offers no descriptor to wait on";
        return 0;
    }
    state->linkType = pcap_datalink(state->pcap);
    m_state = std::move(state);
    return 1;
}

int CCaptureSocket::OpenCaptureFile(const char* path)
{
    auto state = NewState();
    if (!state)
        return 0;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    state->pcap = pcap_open_offline(path, errbuf);
    if (!state->pcap) {
        m_error = errbuf;
        return 0;
    }
    state->offline = true;
    state->linkType = pcap_datalink(state->pcap);
    m_state = std::move(state);
    return 1;
}

int CCaptureSocket::Sniff(int flag, const char* filter)
{
    if (!m_state) {
        m_error = "The capture is not open";
        return 0;
    }
    // ReadUDP always repeats the test in user space; the kernel filter only spares
    // copying every other packet out of the kernel. A filter of the caller's is
    // repeated by the caller: here only its outgoing UDP part.
    const bool own = filter && *filter;
    m_state->broadcastOnly = !own;
    m_state->udpOnly = own;
    // A file is filtered in user space alone: "outbound" needs a live Linux device,
    // and a kernel filter would have to know every VLAN layout of a recording.
    if (m_state->offline)
        return 1;
    // Sniff(0) lifts the filter that BindRaw set, so that everything is copied out.
    return SetKernelFilter(*m_state, !flag ? "" : own ? filter : LiveFilter);
}

int CCaptureSocket::ReadUDP(sockaddr_in& from)
{
    State* state = m_state.get();
    if (!state) {
        m_error = "The capture is not open";
        return 0;
    }
    for (;;) {
        if (state->woken.load()) {
            state->DrainWake();
            m_error = "Woken";
            return 0;
        }
        if (state->atEnd) {
            // A replayed file behaves like a quiet network: wait for the stop.
            state->WaitForWake(-1);
            m_error = "Woken";
            return 0;
        }
        pcap_pkthdr* header = nullptr;
        const u_char* frame = nullptr;
        int result = pcap_next_ex(state->pcap, &header, &frame);
        if (result == 1) {
            // A frame cut short by the snap length is no whole datagram.
            if (header->caplen < header->len)
                continue;
            int index = 0;
            long offset = FindIPv4(state->linkType, frame, header->caplen,
                                   state->broadcastOnly || state->udpOnly, index);
            if (offset < 0)
                continue;
            const uint8_t* ip = frame + offset;
            const size_t length = header->caplen - static_cast<size_t>(offset);
            if ((state->broadcastOnly && !IsUdpBroadcast(ip, length)) ||
                (state->udpOnly && !IsUdp(ip, length)))
                continue;
            In.Clear();
            In.Append(ip, length);
            m_interface = index;
            std::memset(&from, 0, sizeof from);
            from.sin_family = AF_INET;
            if (length >= 20) {
                std::memcpy(&from.sin_addr, ip + 12, 4);
                const size_t headerLength = static_cast<size_t>(ip[0] & 0x0f) * 4;
                if (ip[9] == 17 && length >= headerLength + 2 && headerLength >= 20)
                    std::memcpy(&from.sin_port, ip + headerLength, 2);
            }
            return 1;
        }
        if (result == PCAP_ERROR_BREAK) {
            state->atEnd = true;
            continue;
        }
        if (result < 0) {
            m_error = pcap_geterr(state->pcap);
            // A broken capture must not spin the caller's retry loop at full speed.
            state->WaitForWake(50);
            return 0;
        }
        pollfd fds[3] = {
            {state->wakeFd, POLLIN, 0}, {state->selectFd, POLLIN, 0}, {state->alsoFd, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0 && errno != EINTR) {
            SetErrorFromErrno("poll");
            return 0;
        }
        if (fds[0].revents & POLLIN) {
            state->DrainWake();
            m_error = "Woken";
            return 0;
        }
        if (fds[2].revents) { // an error too: only the caller's read clears it
            m_error = "Readable";
            return 0;
        }
    }
}

void CCaptureSocket::WakeOnReadable(int fd)
{
    if (m_state)
        m_state->alsoFd = fd;
}

void CCaptureSocket::WakeRead()
{
    State* state = m_state.get();
    if (!state)
        return;
    state->woken.store(true);
    uint64_t one = 1;
    if (::write(state->wakeFd, &one, sizeof one) < 0) {
        // The counter is full, so a wake-up is already pending.
    }
}

void CCaptureSocket::Close()
{
    m_state.reset();
}
