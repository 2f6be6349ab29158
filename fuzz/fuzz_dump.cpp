// The dump walker on arbitrary input, in one of its four operations
// (PD_OPERATION), or salvaging (SALVAGE). A walk must come out the same from a
// seekable file as from a pipe: the same result and, extracting or copying,
// the same bytes, whether they moved by kernel copies or through the walk's
// own gathered writes. A salvage must end, report damage at offsets that
// never go back, and make a copy that the plain walk accepts (or, of bytes
// with no dump in them, none).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

#include "common.h"
#include "dumpfile.h"

namespace {

// Inputs that fit a pipe's buffer go through a pipe too.
constexpr size_t kPipeMax = 60000;

FILE *inputFrom(const uint8_t *data, size_t size, bool piped)
{
    int fds[2];
    if (piped && pipe(fds) != 0)
        abort();
    int in = piped ? fds[1] : memfd_create("dump", 0);
    if (size > 0 && write(in, data, size) != static_cast<ssize_t>(size))
        abort();
    if (piped)
        close(fds[1]);
    else
        lseek(in, 0, SEEK_SET);
    return fdopen(piped ? fds[0] : in, "r");
}

std::string contents(int fd)
{
    std::string bytes(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
    if (pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        abort();
    return bytes;
}

struct Walked {
    int result;
    std::string output, errors;
    bool operator==(const Walked &) const = default;
};

// One walk of the input; what it writes, and what it says on standard error.
Walked walk(const uint8_t *data, size_t size, bool piped, const char *into = nullptr)
{
    infp = inputFrom(data, size, piped);
    const bool writes = pd_op == PD_COPY || pd_op == PD_EXTRACT;
    outfp = into ? fopen(into, "w") : writes ? fdopen(memfd_create("out", 0), "w") : stdout;
    const int err = memfd_create("err", 0), savedErr = dup(STDERR_FILENO);
    dup2(err, STDERR_FILENO);
    Walked walked{dopd(pd_op == PD_EXTRACT ? "console" : nullptr), {}, contents(err)};
    dup2(savedErr, STDERR_FILENO);
    close(savedErr);
    close(err);
    fflush(outfp);
    if (writes && !into)
        walked.output = contents(fileno(outfp));
    if (outfp != stdout)
        fclose(outfp);
    fclose(infp);
    return walked;
}

// Where each damage report says the damage is: a later report never before
// an earlier one (two may tell of one record), nor before where a report
// said the walk picked up again when that was before its damage (a byte
// lost ahead of a header).
[[maybe_unused]] void offsetsGrow(const std::string &errors) // used by the salvage target
{
    constexpr std::string_view kReport = "pdex: -: damaged at byte ", kBack = "; the next record starts at byte ";
    long long last = -1;
    for (size_t line = 0; line < errors.size(); line = std::min(errors.find('\n', line), errors.size()) + 1) {
        if (errors.compare(line, kReport.size(), kReport) != 0)
            continue;
        const long long offset = strtoll(errors.c_str() + line + kReport.size(), nullptr, 10);
        if (offset < last) {
            fprintf(stderr, "%s", errors.c_str());
            abort();
        }
        const size_t back = errors.find(kBack, line), end = errors.find('\n', line);
        last = back < end ? strtoll(errors.c_str() + back + kBack.size(), nullptr, 10) : offset;
    }
}

// A salvage's copy, walked plainly.
[[maybe_unused]] void accepted(const std::string &copy) // used by the salvage target
{
    pd_salvage = false;
    pd_op = PD_LIST;
    const bool debug = debugopt;
    debugopt = false;
    if (walk(reinterpret_cast<const uint8_t *>(copy.data()), copy.size(), false).result != 1)
        abort();
    debugopt = debug;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    progname = "pdex";
    freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    pd_op = PD_OPERATION;
    debugopt = size % 2 == 1;
#ifdef SALVAGE
    pd_salvage = true;
    const Walked salvaged = walk(data, size, false);
    offsetsGrow(salvaged.errors);
    // Of bytes that hold no dump nothing is made, and that is said.
    if (!salvaged.output.empty())
        accepted(salvaged.output);
    else if (salvaged.errors.find("no panic dump found") == std::string::npos)
        abort();
    // From a pipe a block beyond its buffer may go out before it is known to
    // be cut: it is completed with zeros, here into nothing.
    pd_salvage = true;
    pd_op = PD_OPERATION;
    if (size < kPipeMax)
        offsetsGrow(walk(data, size, true, "/dev/null").errors);
#else
    Walked fromFile = walk(data, size, false);
    if (size < kPipeMax && !(walk(data, size, true) == fromFile))
        abort();
#endif
    return 0;
}
