// syslockdump's record formatting on arbitrary bytes: unterminated fields
// and any frame contents stay inside the record.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "viewers.h"

using namespace trelkit::viewers;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *sink = fopen("/dev/null", "w");
    for (size_t at = 0; at + kLockRecordSize <= size; at += kLockRecordSize) {
        std::array<uint8_t, kLockRecordSize> record; // exactly one record, no slack to read into
        memcpy(record.data(), data + at, kLockRecordSize);
        printLockRecord(record, sink);
    }
    return 0;
}
