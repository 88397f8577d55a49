// Cost of decoding one received datagram, for the kinds of datagram the listener
// meets: magic packets, ordinary UDP traffic, and datagrams it ignores.

#include "datagram.h"
#include "stdtext.h"
#include "testdatagrams.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const HeaderSizes kSizes{20, 8, 28};

QByteArray MagicPayload()
{
    return testdatagrams::MagicPayload(QByteArray::fromHex("001A2B3C4D5E"));
}

// From 192.168.1.10 port 40000 to 192.168.1.255 port 9.
QByteArray Datagram(const QByteArray &payload, int udpLengthAdjust = 0, int ihl = 5)
{
    return testdatagrams::BuildDatagram({.ihl = ihl, .payload = payload, .udpLengthAdjust = udpLengthAdjust});
}

std::uint64_t g_sink = 0;

template<typename Step>
double NanosecondsPerCall(long iterations, Step step)
{
    for (long i = 0; i < iterations / 10; ++i)
        step();
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < iterations; ++i)
        step();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / double(iterations);
}

void Report(const char *name, const QByteArray &datagram, long iterations)
{
    const ByteView view = Bytes(datagram);
    const double ns = NanosecondsPerCall(iterations, [&] {
        const auto decoded = DecodeDatagram(view, kSizes);
        g_sink += decoded ? std::uint64_t(decoded->mac.size() + decoded->sourcePort) : 1;
    });
    std::printf("  %-42s %5lld bytes  %8.1f ns/datagram\n", name, static_cast<long long>(datagram.size()), ns);
}

} // namespace

int main(int argc, char **argv)
{
    const long iterations = argc > 1 ? std::atol(argv[1]) : 2000000;
    if (iterations <= 0) {
        std::fprintf(stderr, "usage: %s [iterations]\n", argv[0]);
        return 2;
    }

    QByteArray nearMagic = MagicPayload();
    nearMagic[101] = char(0x5F);
    const QByteArray withOptions = Datagram(MagicPayload(), 0, 6); // four NOPs

    std::printf("DecodeDatagram, %ld calls each:\n", iterations);
    Report("magic packet", Datagram(MagicPayload()), iterations);
    Report("magic packet, 4 bytes of IP options", withOptions, iterations);
    Report("near-magic (last byte differs)", Datagram(nearMagic), iterations);
    Report("magic with 6-byte password", Datagram(MagicPayload() + QByteArray(6, 'p')), iterations);
    Report("ordinary UDP, 64-byte payload", Datagram(QByteArray(64, 'x')), iterations);
    Report("ordinary UDP, 1472-byte payload", Datagram(QByteArray(1472, 'x')), iterations);
    Report("ignored: UDP length disagrees", Datagram(MagicPayload(), -4), iterations);
    Report("ignored: 28 bytes or fewer", Datagram({}), iterations);

    const QByteArray magic = MagicPayload();
    const double macNs = NanosecondsPerCall(iterations, [&] { g_sink += std::uint64_t(ExtractMagicMac(Bytes(magic)).size()); });
    const double rejectNs =
        NanosecondsPerCall(iterations, [&] { g_sink += std::uint64_t(ExtractMagicMac(Bytes(nearMagic)).size()); });
    std::printf("ExtractMagicMac alone:\n");
    std::printf("  %-42s %5d bytes  %8.1f ns/payload\n", "magic payload", int(magic.size()), macNs);
    std::printf("  %-42s %5d bytes  %8.1f ns/payload\n", "near-magic payload", int(nearMagic.size()), rejectNs);
    std::printf("(checksum %llu)\n", static_cast<unsigned long long>(g_sink));
    return 0;
}
