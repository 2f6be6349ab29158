// The multi-call entry: one executable, installed under several names; the
// base name it was started under picks the tool. Under its own name it takes
// the tool from its first operand:
//
//   $ trelkit pdcp dump             as if started as pdcp
//   $ trelkit --list                the tool names, one a line
#include "trelkit.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/evlog.h"

const char *progname = "";
FILE *infp;
FILE *outfp;
int debugopt;

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

// ---- output -----------------------------------------------------------------

namespace {

int writeErrno; // of the first write that failed; 0 while everything went out
constexpr int kPipeSize = 1 << 20;

} // namespace

bool noteWriteError()
{
    if (!writeErrno)
        writeErrno = errno ? errno : EIO;
    return false;
}

bool writeAll(int fd, const void *data, size_t size)
{
    auto *bytes = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n <= 0)
            return noteWriteError();
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool outputWritten(FILE *out, const char *name)
{
    if (fflush(out) != 0 || ferror(out))
        noteWriteError();
    if (out != stdout && fclose(out) != 0)
        noteWriteError();
    if (!writeErrno)
        return true;
    printfstderr("%s: error writing %s: %s\n", progname, name, strerror(writeErrno));
    return false;
}

void enlargePipe(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode))
        fcntl(fd, F_SETPIPE_SZ, kPipeSize);
}

#ifndef TRELKIT_NO_ENTRY
namespace {

enum class Match { EqualIgnoringCase, Contains, Any };

// A tool's entry returns the exit status. errloginfo and objectdump return 0
// whenever they return at all: their failures end the process.
struct Tool {
    const char *name;
    Match match;
    int (*run)(int, char **);
};

// Tried in order; the first match wins. The last row catches every other
// name: the dump commands decide what pdex, pdcp and the rest mean.
// clang-format off
constexpr Tool kTools[] = {
    {"pdmap", Match::EqualIgnoringCase, pdmapMain},
    {"errloginfo", Match::EqualIgnoringCase, errloginfo_main},
    {"catconsole", Match::EqualIgnoringCase, catconsoleMain},
    {"objectdump", Match::EqualIgnoringCase, objectdumpMain},
    {"syslockdump", Match::Contains, syslockdumpMain},
    {"", Match::Any, pdMain},
};
// clang-format on

// The names the executable is installed under.
constexpr const char *kToolNames[] = {"pdex", "pdcp", "pdmap", "errloginfo", "catconsole", "objectdump", "syslockdump"};

bool matches(const Tool &tool, const char *name)
{
    if (tool.match == Match::Contains)
        return strstr(name, tool.name) != nullptr;
    return tool.match == Match::Any || strcasecmp(name, tool.name) == 0;
}

const char *baseName(const char *path)
{
    if (!path)
        return "";
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool isToolName(const char *name)
{
    for (const char *tool : kToolNames)
        if (strcmp(name, tool) == 0)
            return true;
    return false;
}

void usage(FILE *to)
{
    fprintf(to, "Usage: trelkit TOOL [ARG...]\n"
                "       trelkit --list | --version | --help\n"
                "Runs TOOL as if started under its name. Tools:\n");
    for (const char *tool : kToolNames)
        fprintf(to, "  %s\n", tool);
}

// Started as trelkit: either a front-end option, answered here (true, with
// the status), or a tool and its arguments, which become the command line.
bool ownName(int &argc, char **&argv, int &status)
{
    const char *first = argv[1]; // argv[argc] is null
    status = 0;
    if (!first) {
        usage(stderr);
        status = 1;
    } else if (strcmp(first, "--list") == 0) {
        for (const char *tool : kToolNames)
            printf("%s\n", tool);
    } else if (strcmp(first, "--version") == 0) {
        printf("trelkit %s\n", TRELKIT_VERSION);
    } else if (strcmp(first, "--help") == 0) {
        usage(stdout);
    } else if (!isToolName(first)) {
        fprintf(stderr, "trelkit: unknown tool '%s'\n", first);
        status = 1;
    } else {
        --argc;
        ++argv;
        progname = first;
        return false;
    }
    if (status == 0 && !outputWritten(stdout, "standard output"))
        status = 1;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // Standard input, output and error are open: a file opened later must not
    // take one of their numbers and receive messages meant for the terminal.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    evlog_open("chassis", 0, "trelkit");
    infp = stdin;
    outfp = stdout;
    progname = baseName(argv[0]); // NULL when argc is 0
    int status = 0;
    if (strcmp(progname, "trelkit") == 0 && ownName(argc, argv, status)) {
        evlog_close();
        return status;
    }
    const Tool *tool = kTools;
    while (!matches(*tool, progname))
        ++tool; // the last row matches every name
    status = tool->run(argc, argv);
    evlog_close();
    return status;
}
#endif
