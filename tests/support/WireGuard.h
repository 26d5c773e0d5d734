#pragma once

// WireGuard tunnels between test namespaces with the userspace wireguard-go and wg. Each
// wireguard-go runs in a mount namespace of its own with a private /run/wireguard (where its
// control socket lives), so several run side by side and none meets the machine's own.

#include "NetNs.h"

#include <string>
#include <vector>

// Empty when tunnels can be made here; otherwise why not, for GTEST_SKIP.
std::string WireGuardUnavailableReason();

// wg0 in each host i, MTU 1420, listening on endpoints[i]:51820, every other host a peer
// allowed its tunnel address 10.66.0.<i+1>. Links stay down until Up.
class WireGuardNet
{
public:
    WireGuardNet() = default;
    ~WireGuardNet(); // ends every wireguard-go it started
    WireGuardNet(const WireGuardNet&) = delete;
    WireGuardNet& operator=(const WireGuardNet&) = delete;

    // Empty on success, else what failed.
    std::string Build(const std::vector<NetNs*>& hosts, const std::vector<std::string>& endpoints);
    // Host i's link up with 10.66.0.<i+1>/24: the tunnel's route appears.
    static bool Up(NetNs& host, int i);

private:
    std::vector<pid_t> m_daemons;
};
