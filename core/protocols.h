#pragma once

// The numbers of the wire that more than one reader of frames needs, each written once.

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kEthernetDestinationOffset = 0;
inline constexpr std::size_t kEthernetSourceOffset = 6;
inline constexpr std::size_t kEtherTypeOffset = 12;
inline constexpr std::size_t kEthernetHeaderSize = 14;

inline constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr std::uint16_t kEtherTypeArp = 0x0806;
inline constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;
inline constexpr std::uint16_t kEtherTypeVlan = 0x8100;
inline constexpr std::uint16_t kEtherTypeQinQ = 0x88A8;
inline constexpr std::uint16_t kEtherTypeQinQLegacy = 0x9100;

inline constexpr std::size_t kIpv4ProtocolOffset = 9;
inline constexpr std::size_t kIpv4SourceOffset = 12;
inline constexpr std::size_t kIpv4MinimumHeaderSize = 20;
inline constexpr std::size_t kIpv6NextHeaderOffset = 6;
inline constexpr std::size_t kIpv6SourceOffset = 8;
inline constexpr std::size_t kIpv6HeaderSize = 40;

inline constexpr std::uint8_t kProtocolUdp = 17;
inline constexpr std::size_t kUdpHeaderSize = 8;
