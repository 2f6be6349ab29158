// Program-wide state of the multi-call executable, its diagnostics, its one
// way of ending output, and the entry point of each tool.
#pragma once

#include <cstddef>
#include <cstdio>

extern const char *progname;
extern FILE *infp;
extern FILE *outfp;
extern int debugopt;

// Formats like printf onto standard error; returns the characters written.
int printfstderr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The panic dump tool's error report: "prog:function:line message\n".
void reportError(const char *function, int line, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Reports from the statement that invokes it, naming the enclosing function.
#define pdReport(...) reportError(__func__, __LINE__, __VA_ARGS__)
// A trace line, only with -d; the format carries its own newline.
#define pdTrace(...)                                                                                                   \
    do {                                                                                                               \
        if (debugopt)                                                                                                  \
            printfstderr(__VA_ARGS__);                                                                                 \
    } while (0)

// Output ends the same way in every tool. A write that fails is noted where it
// happens (noteWriteError keeps the first errno and returns false, so a caller
// can return its result); the tool then ends its output with outputWritten,
// which flushes the stream, closes it unless it is standard output, and
// reports any failure once: "<prog>: error writing <name>: <reason>".
bool noteWriteError();
bool outputWritten(FILE *out, const char *name);
// Writes all of data to fd, across partial writes and interruptions.
bool writeAll(int fd, const void *data, size_t size);
// A pipe on fd gets a larger buffer: fewer switches between writer and reader.
void enlargePipe(int fd);

// Tool entries. Each takes the whole argument vector and returns the exit
// status, or ends the process itself where its command line says so.
int pdMain(int argc, char **argv);
int pdmapMain(int argc, char **argv);
int errloginfo_main(int argc, char **argv);
int catconsoleMain(int argc, char **argv);
int objectdumpMain(int argc, char **argv);
int syslockdumpMain(int argc, char **argv);
