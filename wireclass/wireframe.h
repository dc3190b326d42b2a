#pragma once

#include <cstdint>

// The frame on the robot's TCP stream, all fields little-endian: the start mark, Length (signed
// 32-bit, counting everything after itself), Version, Reserved, then the payload. CHeader, the
// session's frame reader and its sender all read and write it through these names.
namespace wireframe {

constexpr std::uint16_t kStartMark = 0x1234;
constexpr std::uint16_t kVersion = 1;
constexpr int kStartMarkSize = 2;
constexpr int kLengthOffset = kStartMarkSize;
constexpr int kVersionOffset = 6;
constexpr int kReservedOffset = 8;
constexpr int kHeaderSize = 10;
// Length counts Version, Reserved and the payload.
constexpr int kLengthOverhead = kHeaderSize - kVersionOffset;

inline void put16(unsigned char *p, std::uint16_t value)
{
    p[0] = static_cast<unsigned char>(value & 0xff);
    p[1] = static_cast<unsigned char>(value >> 8);
}

inline void put32(unsigned char *p, std::int32_t value)
{
    const auto u = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(u >> (8 * i));
}

inline std::uint16_t get16(const unsigned char *p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::int32_t get32(const unsigned char *p)
{
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<std::uint32_t>(p[i]) << (8 * i);
    return static_cast<std::int32_t>(u);
}

} // namespace wireframe
