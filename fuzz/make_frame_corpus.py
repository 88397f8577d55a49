#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_wireframe: whole Ethernet frames as the link-layer
capture hands them over. Run it by hand when the seeds need to change."""
import os
import struct
import sys

MAC = bytes([0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E])
OTHER = bytes([0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F])
DST, SRC = bytes.fromhex("ffffffffffff"), bytes.fromhex("020000000002")


def magic(mac=MAC, extra=b""):
    return b"\xff" * 6 + mac * 16 + extra


def ethernet(ethertype, body, tags=()):
    frame = DST + SRC
    for tpid in tags:
        frame += struct.pack("!HH", tpid, 100)
    return frame + struct.pack("!H", ethertype) + body


def udp(payload):
    return struct.pack("!HHHH", 40000, 9, 8 + len(payload), 0) + payload


def ipv4(body, options=b"", fragment=0x4000):
    ihl = 5 + len(options) // 4
    return struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, ihl * 4 + len(body), 0x1234, fragment, 64, 17, 0,
                       bytes([192, 168, 1, 10]), bytes([192, 168, 1, 255])) + options + body


def ipv6(next_header, body):
    return (struct.pack("!IHBB", 0x60000000, len(body), next_header, 64)
            + bytes.fromhex("fe800000000000000000000000000001") + bytes.fromhex("ff020000000000000000000000000001")
            + body)


def options_header(next_header, units=0):
    return bytes([next_header, units]) + bytes((units + 1) * 8 - 2)


def dhcp_request(host=b"nas"):
    bootp = struct.pack("!BBBBIHH16s16s64s128s", 1, 1, 6, 0, 0x1234, 0, 0, bytes(16), SRC + bytes(10), bytes(64),
                        bytes(128))
    options = (bytes.fromhex("63825363") + bytes([53, 1, 3, 12, len(host)]) + host + bytes([50, 4, 192, 168, 1, 23])
               + b"\xff")
    body = struct.pack("!HHHH", 68, 67, 8 + len(bootp) + len(options), 0) + bootp + options
    return ethernet(0x0800, ipv4(body))


def arp(sender_ip, target_ip, operation=1):
    return ethernet(0x0806, struct.pack("!HHBBH6s4s6s4s", 1, 0x0800, 6, 4, operation, SRC, bytes(sender_ip),
                                        bytes(6), bytes(target_ip)))


def neighbour_solicitation():
    target = bytes.fromhex("fe800000000000000000000000000002")
    return ethernet(0x86DD, ipv6(58, bytes([135, 0, 0, 0]) + bytes(4) + target))


SEEDS = {
    "ipv4-magic": ethernet(0x0800, ipv4(udp(magic()))),
    "ipv4-options-password": ethernet(0x0800, ipv4(udp(magic(extra=OTHER)), options=bytes([7, 11, 4]) + bytes(9))),
    "ipv4-further-in": ethernet(0x0800, ipv4(udp(b"x" * 10 + magic()))),
    "ipv4-near-miss": ethernet(0x0800, ipv4(udp(magic()[:54] + OTHER + magic()[60:]))),
    "ipv4-fragment": ethernet(0x0800, ipv4(udp(magic()), fragment=0x2000)),
    "vlan-ipv4": ethernet(0x0800, ipv4(udp(magic())), tags=(0x8100,)),
    "qinq-ipv4": ethernet(0x0800, ipv4(udp(magic())), tags=(0x88A8, 0x8100)),
    "ether-magic": ethernet(0x0842, magic()),
    "ether-password-4": ethernet(0x0842, magic(extra=bytes([192, 168, 1, 2]))),
    "ether-eleven-copies": ethernet(0x0842, magic()[:72]),
    "vlan-ether": ethernet(0x0842, magic(), tags=(0x8100,)),
    "ipv6-magic": ethernet(0x86DD, ipv6(17, udp(magic()))),
    "ipv6-extension-headers": ethernet(0x86DD, ipv6(0, options_header(43, 1) + options_header(44)[:2]
                                                    + bytes(6) + options_header(17) + udp(magic()))),
    "ipv6-authentication": ethernet(0x86DD, ipv6(51, bytes([17, 4]) + bytes(22) + udp(magic()))),
    "truncated-ipv4": ethernet(0x0800, ipv4(udp(magic())))[:80],
    "dhcp-request": dhcp_request(),
    "arp-request": arp([192, 168, 1, 23], [192, 168, 1, 1]),
    "arp-probe": arp([0, 0, 0, 0], [192, 168, 1, 23]),
    "vlan-arp-reply": arp([192, 168, 1, 1], [192, 168, 1, 23], 2)[:12] + struct.pack("!HH", 0x8100, 100)
                      + arp([192, 168, 1, 1], [192, 168, 1, 23], 2)[12:],
    "ipv6-neighbour-solicitation": neighbour_solicitation(),
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "frames")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
