// The services every tool shares; see common.h.
#include "common.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

const char *progname = "";
bool debugopt;

namespace {

int writeErrno; // of the first write that failed; 0 while everything went out
constexpr int kPipeSize = 1 << 20;

} // namespace

int printfstderr(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(stderr, fmt, ap);
    va_end(ap);
    return n;
}

void reportError(const char *function, int line, const char *fmt, ...)
{
    printfstderr("%s:%s:%d ", progname, function, line);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    printfstderr("\n");
}

bool noteWriteError()
{
    if (!writeErrno)
        writeErrno = errno ? errno : EIO;
    return false;
}

bool outputWritten(FILE *out, const char *name)
{
    if (fflush(out) != 0 || ferror(out))
        noteWriteError();
    if (out != stdout && fclose(out) != 0)
        noteWriteError();
    if (writeErrno)
        printfstderr("%s: error writing %s: %s\n", progname, name, strerror(writeErrno));
    return !writeErrno && !ferror(stderr);
}

void enlargePipe(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode))
        fcntl(fd, F_SETPIPE_SZ, kPipeSize);
}

bool sameStorage(const struct stat &in, const struct stat &out)
{
    return (S_ISREG(in.st_mode) || S_ISBLK(in.st_mode)) && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}
