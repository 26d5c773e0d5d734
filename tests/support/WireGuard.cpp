#include "WireGuard.h"

#include <signal.h>
#include <unistd.h>

// In a mount namespace of its own: the daemon's pid first, then its socket is waited for
// (bounded) and the tunnel configured.
static const char Script[] =
    "mkdir -p /run/wireguard && mount -t tmpfs -o mode=0700 none /run/wireguard || exit 1\n"
    "WG_PROCESS_FOREGROUND=1 WG_I_PREFER_BUGGY_USERSPACE_TO_POLISHED_KMOD=1 wireguard-go wg0 "
    ">/dev/null 2>&1 &\necho $!\n"
    "for i in $(seq 50); do [ -S /run/wireguard/wg0.sock ] && break; sleep 0.1; done\n"
    "echo $KEY >/run/wireguard/key && wg set wg0 private-key /run/wireguard/key listen-port 51820 "
    "$PEERS && ip link set wg0 mtu 1420";

std::string WireGuardUnavailableReason()
{
    if (::access("/dev/net/tun", R_OK | W_OK) != 0)
        return "no /dev/net/tun for wireguard-go";
    if (RunCommand("command -v wireguard-go && command -v wg") != 0)
        return "wireguard-go and wg are not installed (Debian: wireguard-go wireguard-tools)";
    return "";
}

WireGuardNet::~WireGuardNet()
{
    for (pid_t pid : m_daemons)
        ::kill(pid, SIGTERM);
}

std::string WireGuardNet::Build(const std::vector<NetNs*>& hosts,
                                const std::vector<std::string>& endpoints)
{
    std::vector<std::string> keys, publics;
    for (size_t i = 0; i < hosts.size(); ++i) {
        std::string key, pub;
        if (RunCommand("wg genkey", &key) != 0 ||
            RunCommand("echo " + key.substr(0, 44) + " | wg pubkey", &pub) != 0)
            return "wg genkey: " + key + pub;
        keys.push_back(key.substr(0, 44)), publics.push_back(pub.substr(0, 44));
    }
    for (size_t i = 0; i < hosts.size(); ++i) {
        std::string peers;
        for (size_t j = 0; j < hosts.size(); ++j)
            if (j != i)
                peers += " peer " + publics[j] + " allowed-ips 10.66.0." + std::to_string(j + 1) +
                         "/32 endpoint " + endpoints[j] + ":51820";
        const std::string setUp = "KEY=" + keys[i] + " PEERS='" + peers + "' ip netns exec " +
                                  hosts[i]->Name() + " unshare -m sh -c '" + Script + "'";
        std::string output;
        const int status = RunCommand(setUp, &output);
        if (const pid_t pid = static_cast<pid_t>(std::atol(output.c_str())); pid > 0)
            m_daemons.push_back(pid);
        if (status != 0)
            return "wireguard-go in " + hosts[i]->Name() + ": " + output;
    }
    return "";
}

bool WireGuardNet::Up(NetNs& host, int i)
{
    return host.Ip("link set wg0 up") &&
           host.Ip("addr add 10.66.0." + std::to_string(i + 1) + "/24 dev wg0");
}
