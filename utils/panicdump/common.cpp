// The services every tool shares; see common.h.
#include "common.h"

#include <cerrno>
#include <climits>
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

int takeWriteError()
{
    const int err = writeErrno;
    writeErrno = 0;
    return err;
}

bool parseSize(const char *text, uint64_t &value)
{
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *p = hex ? text + 2 : text;
    const uint64_t base = hex ? 16 : 10, limit = INT64_MAX;
    uint64_t v = 0;
    const char *digits = p;
    for (;; ++p) {
        const char c = *p;
        const int d = c >= '0' && c <= '9' ? c - '0' : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                    : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0)
            break;
        if (v > (limit - static_cast<uint64_t>(d)) / base)
            return false;
        v = v * base + static_cast<uint64_t>(d);
    }
    const char unit = static_cast<char>(*p & ~0x20); // upper case
    const unsigned shift = unit == 'K' ? 10 : unit == 'M' ? 20 : unit == 'G' ? 30 : 0;
    if (p == digits || (*p && (!shift || p[1])) || v > limit >> shift)
        return false;
    value = v << shift;
    return true;
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
