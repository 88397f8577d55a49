#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_datagram: real-looking IPv4/UDP datagrams, each
behind the control byte that tells the fuzz target how the receive call behaves
(see fuzz_datagram.cpp). Run it by hand when the seeds need to change."""
import os
import struct
import sys

HONEST, CLAIMED, FAILED, NO_HANDLER, TWICE = 0, 1, 2, 3, 4


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4(src, dst, udp, options=b"", total=None):
    ihl = 5 + len(options) // 4
    length = total if total is not None else ihl * 4 + len(udp)
    header = struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, length, 0x1234, 0x4000, 64, 17, 0,
                         bytes(src), bytes(dst)) + options
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + udp


def udp(sport, dport, payload, length=None):
    return struct.pack("!HHHH", sport, dport, length if length is not None else 8 + len(payload), 0) + payload


def magic(mac, extra=b""):
    return b"\xff" * 6 + bytes(mac) * 16 + extra


LOOP = [127, 0, 0, 1]
MAC = [0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E]

seeds = {
    "magic-port9": (HONEST, ipv4(LOOP, LOOP, udp(40000, 9, magic(MAC)))),
    "magic-port7-broadcast": (HONEST, ipv4([192, 168, 1, 10], [255, 255, 255, 255], udp(1234, 7, magic(MAC)))),
    "magic-low-bytes": (HONEST, ipv4([0, 0, 0, 0], [10, 0, 0, 1], udp(0, 0, magic([10, 11, 12, 13, 14, 15])))),
    "magic-all-ff": (HONEST, ipv4(LOOP, LOOP, udp(65535, 65535, b"\xff" * 102))),
    "magic-twice": (TWICE, ipv4(LOOP, LOOP, udp(40001, 9, magic(MAC)))),
    "magic-no-handler": (NO_HANDLER, ipv4(LOOP, LOOP, udp(40002, 9, magic(MAC)))),
    "magic-ip-options": (HONEST, ipv4(LOOP, LOOP, udp(40003, 9, magic(MAC)), options=b"\x01\x01\x01\x00")),
    "magic-ip-options-max": (HONEST, ipv4(LOOP, LOOP, udp(40004, 9, magic(MAC)),
                                          options=b"\x07\x27\x04" + b"\0" * 37)),
    "near-magic-copy": (HONEST, ipv4(LOOP, LOOP, udp(40005, 9, magic(MAC)[:95] + b"\x5f" + magic(MAC)[96:]))),
    "near-magic-sync": (HONEST, ipv4(LOOP, LOOP, udp(40006, 9, b"\xfe" + magic(MAC)[1:]))),
    "password-4": (HONEST, ipv4(LOOP, LOOP, udp(40007, 9, magic(MAC, b"\x01\x02\x03\x04")))),
    "password-6": (HONEST, ipv4(LOOP, LOOP, udp(40008, 9, magic(MAC, b"\x01\x02\x03\x04\x05\x06")))),
    "truncated-28": (HONEST, ipv4(LOOP, LOOP, udp(40009, 9, b""))),
    "truncated-29": (HONEST, ipv4(LOOP, LOOP, udp(40010, 9, b"\xff"))),
    "truncated-magic": (HONEST, ipv4(LOOP, LOOP, udp(40011, 9, magic(MAC)))[:129]),
    "udp-length-long": (HONEST, ipv4(LOOP, LOOP, udp(40012, 9, magic(MAC), length=111))),
    "udp-length-short": (HONEST, ipv4(LOOP, LOOP, udp(40013, 9, magic(MAC) + b"\0", length=110))),
    "claimed-oversized": (CLAIMED, struct.pack("!H", 3000) + ipv4(LOOP, LOOP, udp(40014, 9, magic(MAC)))),
    "claimed-longer-than-data": (CLAIMED, struct.pack("!H", 130) + ipv4(LOOP, LOOP, udp(40015, 9, magic(MAC)))[:60]),
    "failed-would-block": (FAILED, bytes([11])),
    "failed-message-size": (FAILED, bytes([90])),
    "oversized": (HONEST, ipv4(LOOP, LOOP, udp(40016, 9, b"\xa5" * 2072))),
    "plain-dns-query": (HONEST, ipv4(LOOP, [127, 0, 0, 53], udp(53000, 53, bytes.fromhex(
        "123401000001000000000000076578616d706c6503636f6d0000010001")))),
}

directory = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(directory, exist_ok=True)
for name, (control, body) in sorted(seeds.items()):
    with open(os.path.join(directory, name), "wb") as seed:
        seed.write(bytes([control]) + body)
print(f"{len(seeds)} seeds in {directory}")
