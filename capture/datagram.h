#pragma once

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>

struct HeaderSizes
{
    int ipHeader = 20;
    int udpHeader = 8;
    int headers = 28;
};

struct DecodedDatagram
{
    QString sourceAddress;
    QString destinationAddress;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    QString mac; // empty unless the payload is a magic packet
};

inline constexpr int kMagicPayloadSize = 102;

// `datagram` is the received IPv4 datagram (header, UDP header, payload), sized to
// the received length. Returns nothing for a datagram that does not hold together.
std::optional<DecodedDatagram> DecodeDatagram(QByteArrayView datagram, const HeaderSizes &sizes);

QString FormatDottedQuad(std::uint32_t hostOrderAddress);

// `payload` must be the whole UDP payload; anything but 102 bytes is no magic packet.
QString ExtractMagicMac(QByteArrayView payload);
