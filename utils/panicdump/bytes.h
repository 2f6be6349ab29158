// Big-endian field access. Every on-disk and device format of the platform is
// big-endian; fields are decoded and encoded byte by byte on any host, never
// by laying a struct over a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace trelkit {

constexpr uint16_t be16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

constexpr uint32_t be32(const uint8_t *p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

constexpr void putBe16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

constexpr void putBe32(uint8_t *p, uint32_t v)
{
    putBe16(p, static_cast<uint16_t>(v >> 16));
    putBe16(p + 2, static_cast<uint16_t>(v));
}

// XOR of the big-endian 16-bit words of an even-length range.
constexpr uint16_t xorWords(std::span<const uint8_t> bytes)
{
    uint16_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        sum ^= be16(bytes.data() + i);
    return sum;
}

} // namespace trelkit
