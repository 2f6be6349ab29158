// The multi-call entry: one executable, installed under several names; the
// base name it was started under picks the tool (tools.def). Under its own
// name it takes the tool from its first operand:
//
//   $ trelkit pdcp dump             as if started as pdcp
//   $ trelkit --list                the tool names, one a line
//   $ pdmap --help                  any tool's usage; --version, the version
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "common.h"
#include "platform/evlog.h"

// A tool's entry takes the whole argument vector and returns the exit status,
// or ends the process itself where its command line says so. Its usage text
// (name##Usage) lists its command lines and every option of its own.
#define TOOL(name, match, entry, source, directory)                                                                    \
    int entry(int argc, char **argv);                                                                                  \
    extern const char name##Usage[];
#include "tools.def"
#undef TOOL

namespace {

enum class Match { Exact, EqualIgnoringCase, Contains };

struct Tool {
    const char *name;
    Match match;
    int (*run)(int, char **);
    const char *usage;
};

constexpr Tool kTools[] = {
#define TOOL(name, match, entry, source, directory) {#name, Match::match, entry, name##Usage},
#include "tools.def"
#undef TOOL
};

// As a shell answers a command it cannot find.
constexpr int kUnknownTool = 127;

bool matches(const Tool &tool, const char *name)
{
    switch (tool.match) {
    case Match::Exact:
        return strcmp(name, tool.name) == 0;
    case Match::EqualIgnoringCase:
        return strcasecmp(name, tool.name) == 0;
    case Match::Contains:
        break;
    }
    return strstr(name, tool.name) != nullptr;
}

// The first row that matches the name; none for a name no row matches.
const Tool *toolFor(const char *name)
{
    for (const Tool &tool : kTools)
        if (matches(tool, name))
            return &tool;
    return nullptr;
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
    for (const Tool &tool : kTools)
        if (strcmp(name, tool.name) == 0)
            return true;
    return false;
}

void usage(FILE *to)
{
    fprintf(to, "Usage: trelkit TOOL [ARG...]\n"
                "       trelkit --list | --version | --help\n"
                "Runs TOOL as if started under its name. Tools:\n");
    for (const Tool &tool : kTools)
        fprintf(to, "  %s\n", tool.name);
}

int answered()
{
    return outputWritten(stdout, "standard output") ? 0 : 1;
}

int version()
{
    printf("trelkit %s\n", TRELKIT_VERSION);
    return answered();
}

bool asksForHelp(const char *arg)
{
    return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0; // no tool has an -h of its own
}

// Alone on a tool's command line, --help (or -h) and --version are answered
// here, the same way for every tool; any other command line is the tool's.
// A name no row matches runs the dump commands, which decide what it means.
int runTool(const Tool *tool, int argc, char **argv)
{
    if (!tool)
        return pdMain(argc, argv);
    if (argc == 2 && asksForHelp(argv[1])) {
        printf("%s  -h, --help  this usage\n  --version   the version\n", tool->usage);
        return answered();
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0)
        return version();
    return tool->run(argc, argv);
}

// Started as trelkit: a front-end option is answered here; a tool's name and
// what follows it become the command line.
int frontEnd(int argc, char **argv)
{
    const char *first = argv[1]; // argv[argc] is null
    if (!first) {
        usage(stderr);
        return 1;
    }
    if (strcmp(first, "--list") == 0) {
        for (const Tool &tool : kTools)
            printf("%s\n", tool.name);
        return answered();
    }
    if (strcmp(first, "--version") == 0)
        return version();
    if (asksForHelp(first)) {
        usage(stdout);
        return answered();
    }
    if (!isToolName(first)) {
        fprintf(stderr, "trelkit: unknown tool '%s'\n", first);
        return kUnknownTool;
    }
    progname = first;
    return runTool(toolFor(first), argc - 1, argv + 1);
}

// A standard descriptor the tool starts without is taken by /dev/null, so
// that no file opened later lands on it and receives what is meant for the
// terminal; read-only, so that writing to a closed standard output or error
// still fails, as it would with nothing there, and is never taken for success.
void holdStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDONLY);
}

} // namespace

int main(int argc, char **argv)
{
    holdStandardDescriptors();
    evlog_open("chassis", 0, "trelkit");
    progname = baseName(argv[0]); // NULL when argc is 0
    const int status = strcmp(progname, "trelkit") == 0 ? frontEnd(argc, argv) : runTool(toolFor(progname), argc, argv);
    evlog_close();
    return status;
}
