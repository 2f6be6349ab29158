// objectdump on arbitrary input arriving in arbitrary pieces: the dump must
// not depend on how the input was cut.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "viewers.h"

using namespace trelkit::viewers;

namespace {

// The dump of data fed in pieces of the given size (0: all at once).
std::string dump(const uint8_t *data, size_t size, size_t piece)
{
    char *text = nullptr;
    size_t length = 0;
    FILE *memory = open_memstream(&text, &length);
    FILE *saved = stdout;
    stdout = memory;
    static std::optional<HexDumper> dumper; // static storage: no large allocation per run
    dumper.emplace();
    for (size_t at = 0; at < size; at += piece ? piece : size)
        dumper->feed({data + at, std::min(size - at, piece ? piece : size)});
    dumper->finish();
    stdout = saved;
    fclose(memory);
    std::string out(text, length);
    free(text);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t piece = size > 0 ? data[0] % 23 + 1 : 1;
    if (dump(data, size, 0) != dump(data, size, piece))
        abort();
    return 0;
}
