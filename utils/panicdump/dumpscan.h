// Finding the record headers of a save in damaged bytes: where the walk picks
// up again after a record fails its checks, and what the save's time stamp
// and header size were when its meta header cannot say.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "bytes.h"
#include "dumpio.h"

namespace trelkit::dump {

// What lies where a record header's block ends: the next record header of
// the save (or the input's end right there), a header the input cuts short,
// bytes that fail a header's checks, nothing (the block runs past the
// input's end), or, on a pipe, bytes the buffer cannot reach yet.
enum class Successor { Holds, Cut, Fails, PastEnd, Unknown };
Successor successorOf(DumpInput &in, uint64_t at, uint32_t hsz, uint32_t bsz, int32_t tim);

// Moves the input to the first position from which a record header of the
// save (time stamp tim) begins that passes every check a reader makes, whose
// block lies within the input and whose successor does not fail or is cut (a header of
// BSZ 0 may end the dump: what follows it is not asked): two records in a
// row are evidence random bytes do not give. Stops at limit
// (then false, at limit) or where the input ends (false, at its end). The
// scan only moves forward.
bool findHeader(DumpInput &in, int32_t tim, uint32_t hsz, uint64_t limit = UINT64_MAX);

// Whether a record header in memory passes every check a reader makes, as
// headerPasses() says, in a few instructions: a scan asks it of every
// candidate.
inline bool quickHeaderPasses(const uint8_t *header, int32_t tim)
{
    // The checksum holds where the XOR of all eight words is zero: where the
    // bytes at even offsets XOR to zero, and those at odd ones. Folding two
    // 8-byte loads down to 16 bits pairs them up so in either byte order.
    uint64_t front, back;
    memcpy(&front, header, sizeof front);
    memcpy(&back, header + 8, sizeof back);
    uint64_t sum = front ^ back;
    sum ^= sum >> 32;
    sum ^= sum >> 16;
    return static_cast<int32_t>(be32(header)) == tim && static_cast<uint16_t>(sum) == 0 && header[12] == 'p' &&
           (header[13] == 'H' || header[13] == 'D') && be32(header + 4) <= be32(header + 8);
}

// The starts in bytes, each with 16 bytes behind it, where the first two
// bytes of a time stamp stand, in order: next() gives one after another, then
// the size of bytes. SSE2 hosts look at 64 starts at once and hand out those
// found; elsewhere (the device among them), or when asked to be plain,
// memchr finds each first byte: the plain search, which the tests compare.
class StampScan {
public:
    StampScan(std::span<const uint8_t> bytes, std::span<const uint8_t, 2> stamp, bool plain = false);
    size_t next()
    {
        if (found_ == 0)
            return look();
        const size_t at = base_ + static_cast<size_t>(std::countr_zero(found_));
        found_ &= found_ - 1;
        return at;
    }

private:
    size_t look(); // the next start, when none found is left to give out
    size_t nextPlain();

    std::span<const uint8_t> bytes_;
    std::span<const uint8_t, 2> stamp_;
    size_t stop_;        // the starts are those before it
    size_t from_ = 0;    // the first start not looked at yet
    size_t base_ = 0;    // the start of bit 0 of found_
    uint64_t found_ = 0; // the starts looked at and not given out yet
    bool plain_;
};

struct Save {
    int32_t tim;
    uint16_t hsz;
    unsigned headers; // how many record headers told
    uint64_t first;   // where the first of them starts
    bool chained;     // one of them is followed by another where a next header begins
};

// Reads off the first MiB of the input, from its current position and
// without taking anything, the save whose records come first (the first
// valid-looking header followed, at a header size's distance past its block,
// by another of its time stamp; failing that, the time stamp most such
// headers share) and the header size most often found between one of its
// headers and the next.
std::optional<Save> inferSave(DumpInput &in, uint16_t fallbackHsz);

} // namespace trelkit::dump
