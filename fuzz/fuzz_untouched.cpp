// A whole dump made from the input, with one of its records damaged as failing
// storage damages one: a flipped byte, garbage before it, bytes deleted from
// it, a byte lost from the bytes no checksum covers, a BSZ changed with its
// checksum holding. A salvage must give every section the damage did not
// touch byte for byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "common.h"
#include "dumpfile.h"
#include "fixture/fixture.h"

namespace {

struct Section {
    std::string name, data;
    size_t first, last; // its records: the section header to the end-of-section header
};

// The section's data as a salvage extracts it from bytes (empty when it is
// not found), or whether the plain walk takes the bytes whole (name null).
std::string extracted(const std::string &bytes, const char *name, bool *whole = nullptr)
{
    const int in = memfd_create("dump", 0), out = memfd_create("out", 0);
    if (write(in, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        abort();
    lseek(in, 0, SEEK_SET);
    infp = fdopen(in, "r");
    outfp = fdopen(out, "w");
    pd_op = name ? PD_EXTRACT : PD_LIST;
    pd_salvage = name != nullptr;
    const int savedErr = dup(STDERR_FILENO), quiet = open("/dev/null", O_WRONLY); // what the salvage says
    dup2(quiet, STDERR_FILENO);
    const int result = dopd(name);
    if (whole)
        *whole = result == 1;
    dup2(savedErr, STDERR_FILENO);
    close(savedErr);
    close(quiet);
    fflush(outfp);
    std::string got(static_cast<size_t>(lseek(out, 0, SEEK_END)), '\0');
    if (pread(out, got.data(), got.size(), 0) != static_cast<ssize_t>(got.size()))
        abort();
    fclose(outfp);
    fclose(infp);
    return got;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    progname = "pdex";
    freopen("/dev/null", "w", stdout); // the plain walk's list
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    const uint16_t hsz = data[0] % 2 ? 24 : 16;
    const size_t count = 1 + data[1] % 5, pick = data[2], kind = data[3] % 5, amount = data[4];
    size_t at = 5;
    auto next = [&] { return at < size ? data[at++] : 0; };
    fixture::Dump dump(fixture::Meta{.hsz = hsz});
    std::vector<Section> sections;
    std::vector<size_t> records; // where each record header starts
    size_t offset = 64;
    auto record = [&](size_t block) {
        records.push_back(offset);
        offset += hsz + block;
    };
    for (size_t s = 0; s < count; ++s) {
        Section section{"s" + std::to_string(s), "", records.size(), 0};
        dump.section(fixture::Attr{section.name});
        record(46);
        for (size_t blocks = next() % 3; blocks > 0; --blocks) {
            std::string payload;
            for (size_t n = next() % 40 + 1; n > 0; --n)
                payload += static_cast<char>(next());
            const uint32_t filler = next() % 4;
            dump.data(payload, filler);
            section.data += payload;
            record(payload.size() + filler);
        }
        dump.endSection();
        section.last = records.size();
        record(0);
        sections.push_back(section);
    }
    dump.endDump();
    record(0);
    std::string bytes = dump.str();
    const size_t r = pick % records.size(), h = records[r];
    switch (kind) {
    case 0:
        bytes[h + amount % 14] = static_cast<char>(bytes[h + amount % 14] ^ (1 + amount % 255));
        break;
    case 1:
        bytes.insert(h, 1 + amount % 40, static_cast<char>(next()));
        break;
    case 2:
        bytes.erase(h + 2, 1 + amount % 7);
        break;
    case 3:
        if (hsz == 16)
            return 0;
        bytes.erase(h + 16 + amount % (hsz - 16), 1);
        break;
    default: { // two words of the same bit flipped: the checksum holds
        bytes[h + 7] = static_cast<char>(bytes[h + 7] ^ 0xff);
        bytes[h + 11] = static_cast<char>(bytes[h + 11] ^ 0xff);
        // A BSZ that lands on another header of the save, or on the input's end, is taken at its word: nothing
        // tells it from a true one.
        const auto *raw = reinterpret_cast<const uint8_t *>(bytes.data());
        const size_t next = h + hsz + trelkit::be32(raw + h + 8);
        if (next == bytes.size() ||
            (next + 16 <= bytes.size() &&
             trelkit::dump::headerPasses(trelkit::dump::HeaderBytes(raw + next, 16), fixture::kDefaultTime)))
            return 0;
        break;
    }
    }
    // A BSZ that lands on another header of the save makes another dump, whole: nothing tells.
    bool whole = false;
    extracted(bytes, nullptr, &whole);
    if (whole)
        return 0;
    for (const Section &s : sections)
        if ((r < s.first || r > s.last) && extracted(bytes, s.name.c_str()) != s.data) {
            fprintf(stderr, "section %s lost: damage %zu at record %zu of %zu\n", s.name.c_str(), kind, r,
                    records.size());
            if (getenv("UNTOUCHED_DUMP"))
                fixture::writeFile(getenv("UNTOUCHED_DUMP"), bytes);
            abort();
        }
    return 0;
}
