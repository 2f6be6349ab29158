// Big-endian field access. Every on-disk and device format of the platform is
// big-endian; fields are decoded byte by byte on any host (the tools never
// encode one: a copy moves the input's own bytes).
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

// XOR of the big-endian 16-bit words of an even-length range.
constexpr uint16_t xorWords(std::span<const uint8_t> bytes)
{
    uint16_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        sum ^= be16(bytes.data() + i);
    return sum;
}

} // namespace trelkit
