#pragma once

// Builders for whole Ethernet frames at the sizes real machines send: magic packets,
// DHCP requests, ARP requests and probes.

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace testframes {

using Bytes = std::vector<std::uint8_t>;

inline const Bytes kSender = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};

inline Bytes Mac(int last)
{
    return {0x00, 0x11, 0x22, 0x33, 0x44, std::uint8_t(last)};
}

inline void Put16(Bytes &bytes, int value)
{
    bytes.push_back(std::uint8_t(value >> 8));
    bytes.push_back(std::uint8_t(value));
}

inline Bytes Ethernet(const Bytes &source, int etherType, const Bytes &body)
{
    Bytes frame(6, 0xFF);
    frame.insert(frame.end(), source.begin(), source.end());
    Put16(frame, etherType);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

// UDP over IPv4 from 10.0.0.`from` to 10.0.0.`to`, broadcast unless to one MAC (the
// checksums stay 0: nothing here checks them).
inline Bytes Udp(const Bytes &source, int from, int sourcePort, int destinationPort, const Bytes &payload, int to = 255,
          const Bytes &destination = Bytes(6, 0xFF))
{
    Bytes ip = {0x45, 0};
    Put16(ip, 28 + int(payload.size()));
    ip.insert(ip.end(), {0, 1, 0, 0, 64, 17, 0, 0, 10, 0, 0, std::uint8_t(from), 10, 0, 0, std::uint8_t(to)});
    Put16(ip, sourcePort);
    Put16(ip, destinationPort);
    Put16(ip, 8 + int(payload.size()));
    Put16(ip, 0);
    ip.insert(ip.end(), payload.begin(), payload.end());
    Bytes frame = Ethernet(source, 0x0800, ip);
    std::copy(destination.begin(), destination.end(), frame.begin());
    return frame;
}

inline Bytes Magic(const Bytes &mac)
{
    Bytes payload(6, 0xFF);
    for (int copy = 0; copy < 16; ++copy)
        payload.insert(payload.end(), mac.begin(), mac.end());
    return payload;
}

inline Bytes DhcpRequest(const Bytes &mac, const QByteArray &host)
{
    Bytes bootp = {1, 1, 6, 0};
    bootp.resize(28, 0);
    bootp.insert(bootp.end(), mac.begin(), mac.end());
    bootp.resize(236, 0);
    bootp.insert(bootp.end(), {0x63, 0x82, 0x53, 0x63, 53, 1, 3, 12, std::uint8_t(host.size())});
    bootp.insert(bootp.end(), host.begin(), host.end());
    bootp.insert(bootp.end(), {50, 4, 10, 0, 0, 23, 255});
    return Udp(mac, 0, 68, 67, bootp);
}

// An ARP request from 10.0.0.`from` (a probe from 0.0.0.0) for 10.0.0.`wanted`.
inline Bytes ArpRequest(const Bytes &mac, int from, int wanted)
{
    Bytes arp = {0, 1, 8, 0, 6, 4, 0, 1};
    arp.insert(arp.end(), mac.begin(), mac.end());
    arp.insert(arp.end(), {std::uint8_t(from ? 10 : 0), 0, 0, std::uint8_t(from), 0, 0, 0, 0, 0, 0, 10, 0, 0,
                           std::uint8_t(wanted)});
    return Ethernet(mac, 0x0806, arp);
}

// The frame of one "SECONDS:WHAT" word: magic:N (from 10.0.0.2), unicast:N (to 10.0.0.23 and its
// MAC), sweep:N (from 10.0.0.9), ether:N (EtherType 0x0842), dhcp:N, arp:N (a probe
// for 10.0.0.23), other:N (EtherType 0x88B5) for the machine 00-11-22-33-44-NN; ask
// (10.0.0.1 asks who has 10.0.0.23), qinq-ask (the same behind two VLAN tags) and
// tick (a frame of a machine nobody watches).
inline Bytes FrameOf(const QString &word)
{
    const QString what = word.section(':', 1, 1);
    const Bytes mac = Mac(word.section(':', 2).toInt(nullptr, 16));
    Bytes frame;
    if (what == "magic")
        frame = Udp(kSender, 2, 40000, 9, Magic(mac));
    else if (what == "unicast")
        frame = Udp(kSender, 2, 40000, 9, Magic(mac), 23, mac);
    else if (what == "ask")
        frame = ArpRequest({0x02, 0, 0, 0, 0, 0x01}, 1, 23);
    else if (what == "qinq-ask") { // behind an 802.1ad tag and an 802.1Q one
        frame = ArpRequest({0x02, 0, 0, 0, 0, 0x01}, 1, 23);
        frame.insert(frame.begin() + 12, {0x88, 0xA8, 0, 10, 0x81, 0, 0, 20});
    }
    else if (what == "sweep")
        frame = Udp(kSender, 9, 40000, 9, Magic(mac));
    else if (what == "ether")
        frame = Ethernet(kSender, 0x0842, Magic(mac));
    else if (what == "dhcp")
        frame = DhcpRequest(mac, "nas");
    else if (what == "arp")
        frame = ArpRequest(mac, 0, 23);
    else if (what == "other")
        frame = Ethernet(mac, 0x88B5, Bytes(46, 0));
    else
        frame = ArpRequest({0x02, 0, 0, 0, 0, 0x99}, 99, 98);
    return frame;
}

} // namespace testframes
