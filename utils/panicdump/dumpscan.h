// Finding the record headers of a save in damaged bytes: where the walk picks
// up again after a record fails its checks, and what the save's time stamp
// and header size were when its meta header cannot say.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "dumpio.h"

namespace trelkit::dump {

// Moves the input to the first position from which a record header of the
// save (time stamp tim) begins that passes every check a reader makes and,
// on a seekable input, whose block lies within the input. False when the
// input ends first; it is then at its end. The scan only moves forward.
bool findHeader(DumpInput &in, int32_t tim, uint32_t hsz);

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
};

// Reads off the first MiB of the input, from its current position and
// without taking anything, the time stamp most valid-looking record headers
// share and the header size most often found between one and the next.
std::optional<Save> inferSave(DumpInput &in, uint16_t fallbackHsz);

} // namespace trelkit::dump
