// The dump walker on arbitrary input, in one of its four operations
// (PD_OPERATION), from a seekable file or from a pipe.
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "dumpfile.h"
#include "trelkit.h"

namespace {

FILE *inputFrom(const uint8_t *data, size_t size)
{
    // Odd sizes that fit a pipe's buffer arrive through a pipe: the walker
    // must skip by reading there.
    if (size % 2 == 1 && size < 60000) {
        int fds[2];
        if (pipe(fds) != 0)
            return nullptr;
        if (size > 0 && write(fds[1], data, size) != static_cast<ssize_t>(size))
            abort();
        close(fds[1]);
        return fdopen(fds[0], "r");
    }
    int fd = memfd_create("dump", 0);
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))
        abort();
    lseek(fd, 0, SEEK_SET);
    return fdopen(fd, "r");
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
    debugopt = 0;
    infp = inputFrom(data, size);
    if (!infp)
        return 0;
    // A copy goes into a regular file (moved by the kernel) or onto stdout.
    outfp = pd_op == PD_COPY && size % 2 == 0 ? fdopen(memfd_create("copy", 0), "w") : stdout;
    dopd(pd_op == PD_EXTRACT ? "console" : nullptr);
    fclose(infp);
    if (outfp != stdout)
        fclose(outfp);
    return 0;
}
