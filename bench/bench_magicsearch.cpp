// Cost of looking for a magic packet anywhere in a payload, per payload size, for
// the kinds of payload the link-layer capture meets: ones without a single 0xFF
// byte, random bytes, 0xFF-heavy noise, and magic packets or near misses at the end.

#include "wireframe.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

using Payload = std::vector<std::uint8_t>;

const std::uint8_t kMac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

Payload WithMagicAtEnd(std::size_t size, bool nearMiss)
{
    Payload payload(size, 'x');
    if (size < 102)
        return payload;
    const std::size_t start = size - 102;
    for (std::size_t i = 0; i < 6; ++i)
        payload[start + i] = 0xFF;
    for (std::size_t copy = 0; copy < 16; ++copy)
        for (std::size_t i = 0; i < 6; ++i)
            payload[start + 6 + copy * 6 + i] = kMac[i];
    if (nearMiss)
        payload[size - 1] ^= 0x01;
    return payload;
}

Payload Random(std::size_t size, std::mt19937 &random)
{
    Payload payload(size);
    for (std::uint8_t &byte : payload)
        byte = std::uint8_t(random());
    return payload;
}

// Runs of six or more 0xFF bytes between single other bytes: every place is a candidate.
Payload FfNoise(std::size_t size)
{
    Payload payload(size, 0xFF);
    for (std::size_t i = 12; i < size; i += 13)
        payload[i] = 0x00;
    return payload;
}

std::uint64_t g_sink = 0;

double NanosecondsPerSearch(long iterations, const Payload &payload)
{
    const ByteView view(payload.data(), payload.size());
    for (long i = 0; i < iterations / 10; ++i)
        g_sink += std::uint64_t(FindMagic(view).kind);
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < iterations; ++i)
        g_sink += std::uint64_t(FindMagic(view).kind) + FindMagic(view).offset;
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / double(2 * iterations);
}

} // namespace

int main(int argc, char **argv)
{
    const long iterations = argc > 1 ? std::atol(argv[1]) : 500000;
    if (iterations <= 0) {
        std::fprintf(stderr, "usage: %s [iterations]\n", argv[0]);
        return 2;
    }
    std::mt19937 random(12);
    const std::size_t sizes[] = {12, 64, 102, 108, 256, 512, 1472, 8972};

    std::printf("FindMagic, ns per payload (%ld searches each):\n", iterations);
    std::printf("  %6s %10s %10s %10s %12s %12s\n", "bytes", "no 0xFF", "random", "0xFF runs", "magic at end",
                "near miss");
    for (std::size_t size : sizes) {
        std::printf("  %6zu %10.1f %10.1f %10.1f %12.1f %12.1f\n", size,
                    NanosecondsPerSearch(iterations, Payload(size, 'x')),
                    NanosecondsPerSearch(iterations, Random(size, random)),
                    NanosecondsPerSearch(iterations, FfNoise(size)),
                    NanosecondsPerSearch(iterations, WithMagicAtEnd(size, false)),
                    NanosecondsPerSearch(iterations, WithMagicAtEnd(size, true)));
    }
    std::printf("(checksum %llu)\n", static_cast<unsigned long long>(g_sink));
    return 0;
}
