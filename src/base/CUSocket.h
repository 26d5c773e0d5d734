#pragma once

#include "base/CUBuffer.h"
#include "base/CUObject.h"
#include "base/CUString.h"

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <vector>

// A socket with an input and an output buffer. One class serves four uses, each set
// up by its own operations: a libpcap capture (BindRaw, Sniff, ReadUDP), a raw IPv4
// send socket with the caller's own header (OpenRawA, WriteUDP), a plain UDP sender
// (WriteUDP on a socket nobody opened) and a non-blocking TCP connection (Connect,
// Accept, Poll). Every operation gives non-zero for success and 0 for failure; the
// reason of the last failure, as the OS or libpcap tells it, is in GetLastError().
class CUSocket : public CUObject
{
public:
    CUSocket();
    ~CUSocket() override;
    CUSocket(const CUSocket&) = delete;
    CUSocket& operator=(const CUSocket&) = delete;

    CUBuffer In;  // what has arrived
    CUBuffer Out; // what is to leave

    int GetHandle() const { return m_handle; }
    int IsOpen() const { return m_handle >= 0 || m_capture != nullptr; }
    // Closes whatever the socket holds open; safe to call on a closed socket.
    void Close();
    const CUString& GetLastError() const { return m_error; }
    // The errno of the last failure that had one, else 0.
    int GetLastErrno() const { return m_errno; }
    // Non-zero when the last failure was a refused permission (no CAP_NET_RAW): the
    // only failure that the setcap advice can cure.
    int IsDenied() const { return m_denied; }

    // Appends an int to the output buffer and gives the buffer for further values.
    CUBuffer& operator<<(int32_t value);

    // --- addresses (CUSocket.cpp) ---
    // Resolves dotted text into `address` with `port` (host byte order given, stored
    // in network order). With no host (null or empty) gives this machine's own address.
    static int GetSockAddr(sockaddr_in& address, const char* host, int port);
    // Turns an address into dotted text and its port (host byte order).
    static int GetPeerName(const sockaddr_in& address, CUString& text, int& port);
    // The dotted address of a connected socket's peer, and its own end's.
    int GetPeerName(CUString& text) const;
    int GetSockName(CUString& text) const;
    // Every IPv4 address of this machine's interfaces, network byte order.
    static int GetLocalAddresses(std::vector<uint32_t>& addresses);
    // The broadcast address of each IPv4 interface address but loopback's (network byte
    // order): the configured one, else the address with all host bits set.
    static int GetBroadcastAddresses(std::vector<uint32_t>& addresses);
    // That choice for one interface address; 0 when it has none (a /31 or /32).
    static uint32_t BroadcastOf(uint32_t address, uint32_t netmask, uint32_t configured);

    // --- capture (CUSocketCapture.cpp) ---
    // BindRaw opens the capture; Sniff applies the in-kernel filter that lets only
    // this machine's outgoing UDP broadcasts to 255.255.255.255 (fragments included)
    // through. ReadUDP then blocks until one such IPv4 packet arrives and puts it, IPv4
    // header first, into In; it gives 0 when the read failed or was woken by WakeRead.
    int BindRaw(int flag);
    // Reads packets from a .pcap file instead of a live device, so that recorded
    // traffic can be replayed; ReadUDP then blocks at the end of the file until woken.
    int OpenCaptureFile(const char* path);
    // Sniff(0) selects the same packets in user space only (every packet is then
    // copied out of the kernel): for measuring what the kernel filter saves. A
    // non-empty `filter` (libpcap's syntax, "outbound and udp and ...") replaces the
    // kernel filter; user space then passes all outgoing IPv4 UDP and leaves the rest
    // of the test to the caller.
    int Sniff(int flag, const char* filter = nullptr);
    int ReadUDP(sockaddr_in& from);
    // Makes a blocked or the next ReadUDP return 0. Safe from any thread while the
    // capture is open.
    void WakeRead();
    // A ReadUDP that finds no packet waiting also returns 0 when `fd` (not owned; -1:
    // none) is readable: the caller takes what is there and reads again.
    void WakeOnReadable(int fd);

    // --- raw send (CUSocketRaw.cpp) ---
    // Opens a raw IPv4 socket whose datagrams carry the caller's own IPv4 header.
    // `broadcast` non-zero sets SO_BROADCAST, so that a subnet broadcast address can
    // be a destination.
    int OpenRawA(int broadcast = 0);
    // Sends the whole output buffer as one datagram to `to` and empties the buffer.
    // On a socket nobody opened it is sent as an ordinary UDP datagram. On a raw socket
    // a datagram longer than a non-zero `mtu` leaves as IPv4 fragments of at most `mtu`.
    int WriteUDP(sockaddr_in& to, size_t mtu = 0);

    // --- TCP stream (CUSocketStream.cpp) ---
    int Connect(const char* host, int port, int flag);
    int Accept(int listenHandle);
    // Sends pending output, takes in what has arrived and hands it to ProcessInput;
    // never waits for data. Gives 0 once the connection is gone.
    virtual int Poll();
    // Gives the length of the next complete message at the front of In, or 0.
    virtual int ProcessInput(CUSocket* s);
    // The longest message body a connection takes; the peer that announces a longer
    // one is refused: InputRefused() turns non-zero and Poll closes the connection.
    static constexpr int MaxMessageLength = 64 * 1024;
    int InputRefused() const;

protected:
    int m_handle = -1;
    CUString m_error;
    int m_errno = 0;
    int m_denied = 0;

    struct CaptureState;
    struct CaptureDeleter { // CaptureState is complete in CUSocketCapture.cpp only
        void operator()(CaptureState* state) const;
    };
    std::unique_ptr<CaptureState, CaptureDeleter> m_capture;
    void CloseCapture(); // CUSocketCapture.cpp

    struct StreamState;
    struct StreamStateDeleter { // defined where StreamState is (CUSocketStream.cpp)
        void operator()(StreamState* state) const;
    };
    std::unique_ptr<StreamState, StreamStateDeleter> m_stream;
    void FreeStream(); // CUSocketStream.cpp
    // Sends what Out holds, framed, and reads what has arrived into In; gives 0 once
    // the connection is gone (CUSocketStream.cpp).
    int TransferStream();
    friend class CUServerSocket; // moves its connections' streams in its own Poll

    void SetErrorFromErrno(const char* what);
};

// Start-up and shutdown of the socket layer; once each per run.
int InitWinsock();
void ExitWinsock();
