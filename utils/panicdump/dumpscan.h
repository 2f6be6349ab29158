// Finding the record headers of a save in damaged bytes: where the walk picks
// up again after a record fails its checks, and what the save's time stamp
// and header size were when its meta header cannot say.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

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

// The first start from from on, with 16 bytes behind it, where the first two
// bytes of a time stamp stand; the size of bytes when there is none.
// SSE2 hosts look at 16 starts at once; elsewhere (the device among them)
// memchr finds the first byte: the plain search, which the tests compare.
size_t nextStamp(std::span<const uint8_t> bytes, size_t from, std::span<const uint8_t, 2> stamp);
size_t nextStampPlain(std::span<const uint8_t> bytes, size_t from, std::span<const uint8_t, 2> stamp);

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
