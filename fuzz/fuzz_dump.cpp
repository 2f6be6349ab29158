// The dump walker on arbitrary input, in one of its four operations
// (PD_OPERATION). A walk must come out the same from a seekable file as from
// a pipe: the same result and, extracting or copying, the same bytes, whether
// they moved by kernel copies or through the walk's own gathered writes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "dumpfile.h"
#include "common.h"

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

struct Walked {
    int result;
    std::string output;
    bool operator==(const Walked &) const = default;
};

Walked walk(const uint8_t *data, size_t size, bool piped)
{
    infp = inputFrom(data, size, piped);
    const bool writes = pd_op == PD_COPY || pd_op == PD_EXTRACT;
    outfp = writes ? fdopen(memfd_create("out", 0), "w") : stdout;
    Walked walked{dopd(pd_op == PD_EXTRACT ? "console" : nullptr), {}};
    fflush(outfp);
    if (writes) {
        walked.output.resize(static_cast<size_t>(lseek(fileno(outfp), 0, SEEK_END)));
        if (pread(fileno(outfp), walked.output.data(), walked.output.size(), 0) !=
            static_cast<ssize_t>(walked.output.size()))
            abort();
        fclose(outfp);
    }
    fclose(infp);
    return walked;
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
    debugopt = size % 2;
    Walked fromFile = walk(data, size, false);
    if (size < kPipeMax && !(walk(data, size, true) == fromFile))
        abort();
    return 0;
}
