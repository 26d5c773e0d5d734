#pragma once

#include <cstdint>
#include <vector>

// This machine's network interfaces as the kernel has them now, read in one walk
// (rtnetlink): every IPv4 address with its interface, and which interfaces are ports
// of another (a bridge's or a bond's), whose frames are the same frames seen again.
// Addresses in network byte order.
class CLocalInterfaces
{
public:
    struct Address {
        uint32_t Local = 0;
        uint32_t Netmask = 0;
        uint32_t Broadcast = 0; // the configured one, else all host bits set; 0 for none
        int Index = 0;          // the interface's index
        bool Loopback = false;
    };

    // Reads the interfaces of the calling thread's network namespace. Gives 0 when
    // the kernel could not be asked; the lists are then empty.
    int Find();

    // Every IPv4 address, loopback's too.
    const std::vector<Address>& GetAddresses() const { return m_addresses; }
    // Non-zero for an interface that Find saw.
    int IsKnown(int index) const;
    // Non-zero for an interface with a master (a bridge port, a bond's member).
    int IsPort(int index) const;
    // The interface's MTU; 0 when Find did not see it.
    int GetMtu(int index) const;

    // The broadcast address of an interface address: `configured` when the interface
    // has one, else the address with all host bits set; 0 for a /31 or /32, which
    // have no host part to set.
    static uint32_t BroadcastOf(uint32_t address, uint32_t netmask, uint32_t configured);

private:
    std::vector<Address> m_addresses;
    std::vector<int> m_interfaces; // every index
    std::vector<int> m_ports;      // indexes of interfaces with a master
    std::vector<int> m_mtus;       // each interface's, in the order of m_interfaces
};
