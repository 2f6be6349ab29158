// catconsole on arbitrary captures: whatever the header says, only the text
// area is read.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "viewers.h"

using namespace trelkit::viewers;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::array<uint8_t, kCaptureHeader + kCaptureText> capture;
    capture.fill(0);
    size_t got = std::min(size, capture.size());
    memcpy(capture.data(), data, got);
    showCapture(capture, static_cast<long>(got));
    return 0;
}
