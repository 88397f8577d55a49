#pragma once

// The bytes of the wire, read as numbers.

#include <cstddef>
#include <cstdint>
#include <span>

using ByteView = std::span<const std::uint8_t>;

inline std::uint16_t ReadBigEndian16(ByteView bytes, std::size_t offset)
{
    return std::uint16_t((bytes[offset] << 8) | bytes[offset + 1]);
}

inline std::uint32_t ReadBigEndian32(ByteView bytes, std::size_t offset)
{
    return std::uint32_t(ReadBigEndian16(bytes, offset)) << 16 | ReadBigEndian16(bytes, offset + 2);
}
