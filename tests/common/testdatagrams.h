#pragma once

// Builders for the IPv4 datagrams that a raw UDP socket delivers.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <initializer_list>

namespace testdatagrams {

inline QByteArray MagicPayload(const QByteArray &mac)
{
    return QByteArray(6, char(0xFF)) + mac.repeated(16);
}

// The MAC address as a report shows it, "00-1A-2B-3C-4D-5E" by default.
inline QString MacText(const QByteArray &mac, char separator = '-')
{
    return QString::fromLatin1(mac.toHex(separator).toUpper());
}

inline QByteArray Mac(std::initializer_list<int> bytes)
{
    QByteArray mac;
    for (int byte : bytes)
        mac.append(char(byte));
    return mac;
}

inline void AppendBigEndian16(QByteArray &bytes, int value)
{
    bytes.append(char((value >> 8) & 0xFF));
    bytes.append(char(value & 0xFF));
}

inline void AppendBigEndian32(QByteArray &bytes, std::uint32_t value)
{
    AppendBigEndian16(bytes, int(value >> 16));
    AppendBigEndian16(bytes, int(value & 0xFFFF));
}

struct DatagramShape
{
    int ihl = 5;
    std::uint32_t source = 0xC0A8010A;      // 192.168.1.10
    std::uint32_t destination = 0xC0A801FF; // 192.168.1.255
    int sourcePort = 40000;
    int destinationPort = 9;
    QByteArray payload;
    int udpLengthAdjust = 0; // added to the true UDP length written into the header
};

// A whole IPv4 datagram as the raw socket delivers it. The option bytes that the
// IHL asks for hold a record-route option when seven or more are free, NOPs otherwise.
inline QByteArray BuildDatagram(const DatagramShape &shape)
{
    const int headerSize = shape.ihl * 4;
    const int udpLength = 8 + int(shape.payload.size());
    QByteArray bytes;
    bytes.append(char(0x40 | (shape.ihl & 0x0F)));
    bytes.append(char(0));
    AppendBigEndian16(bytes, qMax(headerSize, 20) + udpLength);
    AppendBigEndian16(bytes, 0x1234); // identification
    AppendBigEndian16(bytes, 0x4000); // don't fragment
    bytes.append(char(64));
    bytes.append(char(17));
    AppendBigEndian16(bytes, 0xBEEF); // checksum, never read
    AppendBigEndian32(bytes, shape.source);
    AppendBigEndian32(bytes, shape.destination);
    const int optionBytes = headerSize - 20;
    if (optionBytes >= 7) {
        bytes.append(char(7));
        bytes.append(char(optionBytes));
        bytes.append(char(4));
        bytes.append(QByteArray(optionBytes - 3, char(0x5A)));
    } else if (optionBytes > 0) {
        bytes.append(QByteArray(optionBytes, char(1)));
    }
    AppendBigEndian16(bytes, shape.sourcePort);
    AppendBigEndian16(bytes, shape.destinationPort);
    AppendBigEndian16(bytes, (udpLength + shape.udpLengthAdjust) & 0xFFFF);
    AppendBigEndian16(bytes, 0);
    bytes.append(shape.payload);
    return bytes;
}

// One 188-byte MPEG transport stream packet (ISO/IEC 13818-1): the sync byte 0x47,
// the PID, payload only or an adaptation field first, and the continuity counter. A
// null packet (PID 0x1FFF) is all 0xFF after its header; a packet with a short
// payload fills the rest of its adaptation field with 0xFF stuffing. Compressed
// video looks like noise.
inline QByteArray TransportPacket(int pid, int payloadSize, int counter)
{
    const bool stuffed = payloadSize < 184;
    QByteArray packet;
    packet.append(char(0x47));
    AppendBigEndian16(packet, pid & 0x1FFF);
    packet.append(char((stuffed ? 0x30 : 0x10) | (counter & 0x0F)));
    if (stuffed) {
        const int fieldLength = 183 - payloadSize; // the flags byte and the stuffing
        packet.append(char(fieldLength));
        if (fieldLength > 0)
            packet.append(char(0x00)).append(QByteArray(fieldLength - 1, char(0xFF)));
    }
    if (pid == 0x1FFF)
        return packet + QByteArray(payloadSize, char(0xFF));
    static std::uint32_t noise = 12345;
    for (int i = 0; i < payloadSize; ++i) {
        noise = noise * 1103515245u + 12345u;
        packet.append(char(noise >> 24));
    }
    return packet;
}

// Seven transport packets, as IPTV and video distribution send them in one datagram,
// two of them null packets and three with stuffing.
inline QByteArray VideoPayload(int counter = 0)
{
    return TransportPacket(0x100, 184, counter) + TransportPacket(0x100, 40, counter + 1)
           + TransportPacket(0x1FFF, 184, counter) + TransportPacket(0x101, 62, counter)
           + TransportPacket(0x100, 0, counter + 2) + TransportPacket(0x1FFF, 184, counter + 1)
           + TransportPacket(0x100, 184, counter + 3);
}

} // namespace testdatagrams
