// What every tool shares: the name it was started under, its diagnostics, and
// the one way its output ends. Nothing here knows a tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

extern const char *progname;
extern bool debugopt; // -d of the dump commands: the readers trace what they decode

// Formats like printf onto standard error; returns the characters written.
int printfstderr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The dump commands' error report: "prog:function:line message\n".
void reportError(const char *function, int line, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// A trace line, only with -d; the format carries its own newline.
#define pdTrace(...)                                                                                                   \
    do {                                                                                                               \
        if (debugopt)                                                                                                  \
            printfstderr(__VA_ARGS__);                                                                                 \
    } while (0)

// Output ends the same way in every tool. A write that fails is noted where it
// happens (noteWriteError keeps the first errno and returns false, so that a
// caller can return it); the tool ends its output with outputWritten, which
// flushes the stream, closes it unless it is standard output, and reports a
// failure once: "<prog>: error writing <name>: <reason>". Standard error that
// could not be written (closed, full) fails the run too, with no report: there
// is nowhere left to make one.
bool noteWriteError();
bool outputWritten(FILE *out, const char *name);
// The noted write error, taken: for an output that reports its own failure
// under its own name (a file the tool creates and closes itself).
int takeWriteError();
// A pipe on fd gets a larger buffer: fewer switches between writer and reader.
void enlargePipe(int fd);
// A count of bytes as the command lines take it: decimal, or hexadecimal
// after 0x, then optionally K, M or G (times 1024, 1024^2, 1024^3; either
// case). False for anything else, and for a value past 2^63 - 1.
bool parseSize(const char *text, uint64_t &value);
// Owns what malloc gave, as unique_ptr<T[], FreeMemory>.
struct FreeMemory {
    void operator()(void *p) const { free(p); }
};

// Writing out into in would destroy in (a copy) or feed the output back into
// the input without end (a dump of a file appended to itself).
bool sameStorage(const struct stat &in, const struct stat &out);
