// What forwarding costs while it waits: wake-ups (voluntary context switches) and CPU
// time of the window's GUI thread and of the forwarding helper (all its threads), over
// a run of the event loop, forwarding with no traffic (window shown and minimised) and
// with one broadcast a second. Needs root: the window (offscreen, in this process, its
// GUI thread this program's main thread) and its helper run in a network namespace of
// their own, and the broadcasts go to a user in another one.
// Prints one table; docs/performance.md holds a run of it.

#include "NetNs.h"
#include "app/CMainDlg.h"
#include "autoconfig/CAutoConfigDlg.h"
#include "forward/CForwardLink.h"
#include "window/Messages.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace
{

const char PlayerIP[] = "10.89.0.1";
const char RemoteIP[] = "10.89.0.2";
constexpr uint16_t GamePort = 7777;

// Voluntary context switches of one task: each is the task going to sleep, so each
// counts one wake-up.
long long VoluntarySwitches(const std::string& statusPath)
{
    std::ifstream in(statusPath);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::atoll(line.c_str() + 24);
    return 0;
}

// The sum over every thread of a process.
long long ProcessWakeups(pid_t pid)
{
    long long sum = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(tasks.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                sum += VoluntarySwitches(tasks + "/" + entry->d_name + "/status");
        closedir(dir);
    }
    return sum;
}

double CpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Sample {
    long long windowWakeups = 0, helperWakeups = 0;
    double windowCpu = 0, helperCpu = 0;
};

Sample Take(pid_t helper)
{
    static const std::string self =
        "/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/status";
    Sample s;
    s.windowWakeups = VoluntarySwitches(self);
    s.windowCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    s.helperWakeups = ProcessWakeups(helper);
    clockid_t clock;
    if (clock_getcpuclockid(helper, &clock) == 0)
        s.helperCpu = CpuSeconds(clock);
    return s;
}

// Runs the event loop for `ms`; its own end is one wake-up of the GUI thread.
void RunEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// One broadcast a second from a child process in the caller's namespace.
pid_t SpawnBroadcaster()
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(GamePort);
    to.sin_addr.s_addr = INADDR_BROADCAST;
    for (;;) {
        sendto(fd, "announce", 8, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        sleep(1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    if (argc > 1 && !quick && std::string(argv[1]) != "--idle")
        return 0; // another of the forwarding benchmark's single runs
    const std::string reason = NetNsUnavailableReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "kivora_idle_bench: %s\n", reason.c_str());
        return 2;
    }
    NetNs player("iplayer"), remote("iremote");
    if (!player.Ok() || !remote.Ok() || !AddVethPair(player, "p0", remote, "r0") ||
        !player.Ip(std::string("addr add ") + PlayerIP + "/24 dev p0") ||
        !player.Ip("route add default dev p0") ||
        !remote.Ip(std::string("addr add ") + RemoteIP + "/24 dev r0")) {
        std::fprintf(stderr, "kivora_idle_bench: could not build the test network: %s %s\n",
                     player.Error().c_str(), remote.Error().c_str());
        return 1;
    }
    char folder[] = "/tmp/kivora_idle_benchXXXXXX";
    if (!mkdtemp(folder))
        return 1;
    const std::string config = std::string(folder) + "/KIVORA.cfg";
    std::ofstream(config) << "AutoName=Bench\nAutoHost=\nExternalIP=" << PlayerIP
                          << "\nForwardMore=0\n"
                          << RemoteIP << "\tRemote\n";

    NetNsScope inPlayer(player); // the window, and so its helper, in the player
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SetMessageHandler([](const CMessageRequest& message) {
        std::fprintf(stderr, "kivora_idle_bench: %s\n", message.Text.c_str());
        return 0;
    });
    int status = 0;
    {
        CMainDlg window(nullptr, config.c_str());
        window.show();
        RunEventLoop(500); // shown and active: focus changes now take effect
        window.OnStart();
        const pid_t helper = window.IsForwarding() ? window.ForwardLink().GetHelperPid() : -1;
        if (helper <= 0) {
            std::fprintf(stderr, "kivora_idle_bench: forwarding did not start\n");
            status = 1;
        } else {
            const int seconds = quick ? 2 : 10;
            std::printf("KIVORA while forwarding waits: wake-ups and CPU over %d s\n\n", seconds);
            std::printf("%-38s %22s %22s\n", "", "window (GUI thread)", "helper (all threads)");
            std::printf("%-38s %10s %11s %10s %11s\n", "forwarding", "wake-ups", "CPU", "wake-ups",
                        "CPU");
            pid_t broadcaster = -1;
            // The focus where a click on Start leaves it; in a text field the caret blinks
            // while the window is active, as in any program: that row shows what it costs.
            QWidget* start = window.findChild<QWidget*>(QStringLiteral("control1011"));
            QWidget* name = window.findChild<QWidget*>(QStringLiteral("control1012"));
            const struct {
                const char* what;
                bool minimised, traffic;
                QWidget* focus;
            } rows[] = {{"no traffic, shown", false, false, start},
                        {"no traffic, shown, caret in Your Name", false, false, name},
                        {"no traffic, minimised", true, false, start},
                        {"1 broadcast a second, shown", false, true, start},
                        {"1 broadcast a second, minimised", true, true, start}};
            for (const auto& row : rows) {
                row.focus->setFocus(); // before a minimise, which may keep the old focus
                row.minimised ? window.showMinimized() : window.showNormal();
                if (row.traffic && broadcaster < 0)
                    broadcaster = SpawnBroadcaster();
                RunEventLoop(1000); // settles: the state change drawn, the first broadcast in
                const Sample before = Take(helper);
                RunEventLoop(seconds * 1000);
                const Sample after = Take(helper);
                std::printf("%-38s %8.1f/s %9.2fms %8.1f/s %9.2fms\n", row.what,
                            double(after.windowWakeups - before.windowWakeups) / seconds,
                            (after.windowCpu - before.windowCpu) * 1e3,
                            double(after.helperWakeups - before.helperWakeups) / seconds,
                            (after.helperCpu - before.helperCpu) * 1e3);
                std::fflush(stdout);
            }
            if (broadcaster > 0) {
                kill(broadcaster, SIGKILL);
                waitpid(broadcaster, nullptr, 0);
            }
            window.StopForwarding();
            // The AutoConfig window hosting with nobody connected: its poll thread too.
            CAutoConfigDlg autoConfig(&window.Settings(), nullptr);
            autoConfig.show(); // starts hosting
            RunEventLoop(1000);
            const long long wakeups = ProcessWakeups(getpid());
            const double cpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
            RunEventLoop(seconds * 1000);
            std::printf("%-38s %8.1f/s %9.2fms   (all threads of the window)\n",
                        "AutoConfig hosting, nobody connected",
                        double(ProcessWakeups(getpid()) - wakeups) / seconds,
                        (CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu) * 1e3);
            std::printf("(the end of each run is one wake-up of the window: 1/%d s)\n", seconds);
        }
        window.StopForwarding();
    }
    std::remove(config.c_str());
    rmdir(folder);
    return status;
}
