#pragma once

#include <QByteArray>
#include <QtEndian>

#include <cstdint>

// Builds the bytes a raw IPv4 socket hands over: IPv4 header (with optional
// options), UDP header and payload.
namespace testdatagram {

inline QByteArray MagicPayload(const QByteArray &mac)
{
    return QByteArray(6, char(0xFF)) + mac.repeated(16);
}

inline QByteArray Build(std::uint32_t source, std::uint32_t destination, std::uint16_t sourcePort,
                        std::uint16_t destinationPort, const QByteArray &payload,
                        const QByteArray &options = {})
{
    QByteArray header(20, '\0');
    header[0] = char(0x40 | ((20 + options.size()) / 4));
    header[9] = 17;
    qToBigEndian(source, header.data() + 12);
    qToBigEndian(destination, header.data() + 16);
    QByteArray udp(8, '\0');
    qToBigEndian(sourcePort, udp.data());
    qToBigEndian(destinationPort, udp.data() + 2);
    qToBigEndian(std::uint16_t(8 + payload.size()), udp.data() + 4);
    QByteArray datagram = header + options + udp + payload;
    qToBigEndian(std::uint16_t(datagram.size()), datagram.data() + 2);
    return datagram;
}

} // namespace testdatagram
