#include "forward/CForwardLink.h"

#include "base/CUSocket.h"
#include "base/ModulePath.h"
#include "base/MonotonicClock.h"
#include "users/CSettings.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

using namespace ForwardProtocol;

extern char** environ;

namespace
{

constexpr int StartWaitMs = 10000; // opening a capture on a loaded machine can be slow
constexpr int StopWaitMs = 2000;
constexpr int ExitWaitMs = 1000;
constexpr int ReadsPerPoll = 64; // a helper that floods the link cannot hold up the window

CUString g_helperOverride;

CUString DescribeStatus(int status)
{
    CUString text;
    if (WIFEXITED(status))
        text.Format("exit status %d", WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        text.Format("killed by signal %d, %s", WTERMSIG(status), strsignal(WTERMSIG(status)));
    else
        text = "ended";
    return text;
}

// Waits up to `waitMs` for `pid` to exit; gives its status text, or empty.
CUString WaitForExit(pid_t pid, int waitMs)
{
    const int64_t until = MonotonicMs() + waitMs;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return DescribeStatus(status);
        if (done < 0)
            return CUString("ended");
        if (MonotonicMs() >= until)
            return CUString();
        ::usleep(2000);
    }
}

} // namespace

CForwardLink::CForwardLink() : m_buffer(MaxMessage + 1) {}

CForwardLink::~CForwardLink()
{
    if (IsRunning()) {
        CForwardStats stats;
        Stop(stats);
    }
    JoinCollector();
}

void CForwardLink::JoinCollector()
{
    if (m_collector.joinable())
        m_collector.join();
}

void CForwardLink::SetHelperPath(const char* path)
{
    g_helperOverride = path ? path : "";
}

CUString CForwardLink::GetHelperPath()
{
    CUString path = g_helperOverride;
    if (path.IsEmpty()) {
        const CUString folder = GetModulePath(0);
        path.Format("%s/kivora-forward", folder.c_str());
        if (::access(path.c_str(), X_OK) != 0)
            path.Format("%s/../libexec/kivora/kivora-forward", folder.c_str());
    }
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real))
        path = real;
    return path;
}

int CForwardLink::Start(const CForwardStart& what, CUString& error)
{
    JoinCollector(); // the last run's helper is gone by now, or killed within the bound
    m_denied = 0;
    m_endReason.Empty();
    m_last = CForwardStats();
    m_last.Users.resize(
        what.Users.size()); // the summary counts the users even before any counter came
    const std::vector<uint8_t> request = EncodeStart(what);
    if (request.empty()) {
        error.Format("Too many users to forward to (at most %zu)", MaxUsers);
        return 0;
    }
    const CUString path = GetHelperPath();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        error.Format("Could not start forwarding: socketpair: %s", std::strerror(errno));
        return 0;
    }
    CScopedFd ours(pair[0]), theirs(pair[1]);
    // The child's end becomes its descriptor LinkFd; dup2 onto itself would keep CLOEXEC.
    if (theirs.Get() == LinkFd)
        theirs.Reset(::fcntl(theirs.Get(), F_DUPFD_CLOEXEC, LinkFd + 1));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.Get(), LinkFd);
    // The window may block signals for its own handling; the helper starts clean.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const std::string parent = std::to_string(::getpid());
    char* argv[ArgumentCount + 1] = {const_cast<char*>(path.c_str()),
                                     const_cast<char*>(ParentOption),
                                     const_cast<char*>(parent.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = !theirs.IsOpen()
                            ? EMFILE
                            : posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    theirs.Reset();
    if (spawned != 0) {
        error.Format("Could not start the forwarding helper %s: %s", path.c_str(),
                     std::strerror(spawned));
        return 0;
    }
    m_link = std::move(ours);
    m_pid = pid;

    // The answer is read even when the send failed: a helper that failed before it
    // reads anything may have ended already, its Failed record still waiting here.
    ::send(m_link.Get(), request.data(), request.size(), MSG_NOSIGNAL);
    const int64_t until = MonotonicMs() + StartWaitMs;
    while (WaitReadable(static_cast<int>(std::max<int64_t>(0, until - MonotonicMs())))) {
        const long n = Receive();
        if (n == 1 && m_buffer[0] == MsgStarted)
            return 1;
        CUString text;
        int denied = 0;
        if (n > 0 && DecodeFailed(m_buffer.data(), static_cast<size_t>(n), denied, text)) {
            m_denied = denied;
            error = text;
            if (denied)
                error.Format("%s\n\nKIVORA needs the CAP_NET_RAW capability for its "
                             "forwarding helper. Grant it once with:\n    sudo setcap "
                             "cap_net_raw+ep %s\n(see the README).",
                             text.c_str(), path.c_str());
            Finish(ExitWaitMs);
            return 0;
        }
        if (n != ReceiveNone)
            break; // the end of the socketpair, or no message of ours
    }
    const CUString how = Finish(ExitWaitMs);
    error.Format("The forwarding helper %s did not start forwarding (%s)", path.c_str(),
                 how.IsEmpty() ? "no answer" : how.c_str());
    return 0;
}

int CForwardLink::Poll(CForwardStats& stats)
{
    if (!IsRunning()) {
        stats = m_last;
        return 0;
    }
    for (int i = 0; i < ReadsPerPoll; ++i) {
        const long n = Receive();
        if (n == -1)
            break;
        if (n > 0 && m_buffer[0] == MsgStats &&
            DecodeStats(m_buffer.data(), static_cast<size_t>(n), m_last))
            continue;
        // The end of the socketpair, an unasked-for stop or anything that is not the
        // protocol: this run is over.
        if (n > 0 && m_buffer[0] == MsgStopped)
            DecodeStats(m_buffer.data(), static_cast<size_t>(n), m_last);
        const CUString how = Finish(ExitWaitMs);
        m_endReason.Format("Forwarding stopped: the forwarding helper ended (%s).",
                           how.IsEmpty() ? "no exit status" : how.c_str());
        stats = m_last;
        return 0;
    }
    stats = m_last;
    return 1;
}

CForwardStart CForwardLink::WhatToForward(const CSettings& settings)
{
    CForwardStart what;
    what.ForwardMore = settings.ForwardMore ? 1 : 0;
    sockaddr_in external{};
    if (!settings.ExternalIP.IsEmpty() &&
        CUSocket::GetSockAddr(external, settings.ExternalIP.c_str(), 0))
        what.External = external.sin_addr.s_addr;
    for (CUserSocket* user : settings.Users)
        if (user->Forward)
            what.Users.push_back(user->Address.sin_addr.s_addr);
    return what;
}

int CForwardLink::Stop(CForwardStats& stats)
{
    if (!IsRunning()) {
        stats = m_last;
        return 1;
    }
    const uint8_t stop = MsgStop;
    bool stopped = false;
    if (::send(m_link.Get(), &stop, 1, MSG_NOSIGNAL) == 1) {
        const int64_t until = MonotonicMs() + StopWaitMs;
        while (!stopped &&
               WaitReadable(static_cast<int>(std::max<int64_t>(0, until - MonotonicMs())))) {
            const long n = Receive();
            if (n > 0 && (m_buffer[0] == MsgStats || m_buffer[0] == MsgStopped) &&
                DecodeStats(m_buffer.data(), static_cast<size_t>(n), m_last)) {
                stopped = m_buffer[0] == MsgStopped;
                continue;
            }
            if (n != -1)
                break;
        }
    }
    stats = m_last;
    if (!stopped) {
        Finish(0); // killed and collected now
        return 0;
    }
    // It still closes its capture, which waits for the kernel; the player must not wait
    // for that. It is collected as soon as it ends (bounded, then killed), so that no
    // ended helper stays behind between runs.
    Close();
    JoinCollector();
    m_collector = std::thread([pid = m_pid] {
        if (WaitForExit(pid, ExitWaitMs).IsEmpty()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    });
    m_pid = -1;
    return 1;
}

CUString CForwardLink::Finish(int waitMs)
{
    Close();
    CUString how = WaitForExit(m_pid, waitMs);
    if (how.IsEmpty()) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    m_pid = -1;
    return how;
}

void CForwardLink::Close()
{
    m_link.Reset();
}

void CForwardLink::WriteSummary(std::FILE* out, const CForwardStats& stats)
{
    std::fprintf(out,
                 "KIVORA: forwarded %llu broadcasts as %llu copies to %zu users, %llu failed\n",
                 static_cast<unsigned long long>(stats.Captured),
                 static_cast<unsigned long long>(stats.Sent), stats.Users.size(),
                 static_cast<unsigned long long>(stats.Failed));
    for (const CForwardErrorCount& kind : stats.Errors)
        std::fprintf(out, "KIVORA: %llu sends failed: %s\n",
                     static_cast<unsigned long long>(kind.Count), std::strerror(kind.Error));
    std::fflush(out);
}
