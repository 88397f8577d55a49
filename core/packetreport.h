#pragma once

#include "datagram.h"
#include "times.h"

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
    // When the kernel received the packet, where it said.
    std::optional<RealTime> kernelTime;
    // The magic packet with its fields as the datagram holds them, for whoever takes
    // it further than the window's lines: the texts above are never read back.
    DatagramFields datagram;
};

// The notification of a magic packet: the window's texts, made once, and the fields.
inline PacketReport MagicReport(TPacketListener *sender, const DatagramFields &datagram, std::optional<RealTime> kernelTime = std::nullopt)
{
    const DecodedDatagram text = DatagramText(datagram);
    return {sender,        text.sourceAddress, text.destinationAddress, text.mac, text.sourcePort,
            text.destinationPort, false,       kernelTime,              datagram};
}
