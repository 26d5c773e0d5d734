#pragma once

#include "base/CScopedFd.h"
#include "base/CUBuffer.h"
#include "base/CUObject.h"
#include "base/CUString.h"

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <vector>

// A non-blocking TCP connection (Connect, Accept, Poll) with an input and an output
// buffer, and this machine's addresses. The capture and the raw send socket of the
// forwarding helper are classes of their own (CCaptureSocket, CRawSocket), so that
// the helper holds no TCP code. Every operation gives non-zero for success and 0 for
// failure; the reason of the last failure, as the OS tells it, is in GetLastError().
class CUSocket : public CUObject
{
public:
    CUSocket();
    ~CUSocket() override;
    CUSocket(const CUSocket&) = delete;
    CUSocket& operator=(const CUSocket&) = delete;

    CUBuffer In;  // what has arrived
    CUBuffer Out; // what is to leave

    int GetHandle() const { return m_handle.Get(); }
    int IsOpen() const { return m_handle.IsOpen(); }
    // Closes whatever the socket holds open; safe to call on a closed socket.
    void Close();
    const CUString& GetLastError() const { return m_error; }
    // The errno of the last failure that had one, else 0.
    int GetLastErrno() const { return m_errno; }

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
    // Every IPv4 address of this machine's interfaces, network byte order
    // (CLocalInterfaces has them with their interfaces).
    static int GetLocalAddresses(std::vector<uint32_t>& addresses);

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
    // Non-zero while output waits to leave (in Out, or framed and not yet taken by the
    // kernel): a caller that waits for the socket must then wait for room to send too.
    int HasPendingOutput() const;

protected:
    CScopedFd m_handle;
    CUString m_error;
    int m_errno = 0;

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
