#pragma once

#include <cstdint>
#include <string>

// Each platform has its own listener of this name.
class TPacketListener;

// What one notification of the listener carries.
struct PacketReport
{
    TPacketListener *sender = nullptr;
    std::string sourceAddress;
    std::string destinationAddress;
    std::string mac;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    bool error = false;
    // When the kernel received the packet, in nanoseconds since the epoch; 0 when not known.
    std::int64_t kernelTimeNs = 0;
};
