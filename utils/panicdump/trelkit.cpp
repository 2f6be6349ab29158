// The multi-call entry: one executable, installed under several names; the
// base name it was started under picks the tool.
#include "trelkit.h"

#include <cstdarg>
#include <cstring>
#include <string_view>
#include <strings.h>

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

#ifndef TRELKIT_NO_ENTRY
namespace {

enum class Match { EqualIgnoringCase, Contains, Any };

struct Tool {
    const char *name;
    Match match;
    int (*run)(int, char **);
    bool alwaysSucceeds; // the front end ends with 0 whatever the tool returns
};

// Tried in order; the first match wins. The last row catches every other
// name: the dump commands decide what pdex, pdcp and the rest mean.
constexpr Tool kTools[] = {
    {"pdmap", Match::EqualIgnoringCase, pdmapMain, false},
    {"errloginfo", Match::EqualIgnoringCase, errloginfo_main, true},
    {"catconsole", Match::EqualIgnoringCase, catconsoleMain, false},
    {"objectdump", Match::EqualIgnoringCase, objectdumpMain, true},
    {"syslockdump", Match::Contains, syslockdumpMain, false},
    {"", Match::Any, pdMain, false},
};

bool matches(const Tool &tool, const char *name)
{
    switch (tool.match) {
    case Match::EqualIgnoringCase:
        return strcasecmp(name, tool.name) == 0;
    case Match::Contains:
        return std::string_view(name).find(tool.name) != std::string_view::npos;
    case Match::Any:
        return true;
    }
    return false;
}

const char *baseName(const char *path)
{
    if (!path)
        return "";
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

} // namespace

int main(int argc, char **argv)
{
    evlog_open("chassis", 0, "trelkit");
    infp = stdin;
    outfp = stdout;
    progname = baseName(argc > 0 ? argv[0] : nullptr);

    for (const Tool &tool : kTools) {
        if (!matches(tool, progname))
            continue;
        int status = tool.run(argc, argv);
        evlog_close();
        return tool.alwaysSucceeds ? 0 : status;
    }
    return 1; // unreachable: the last row matches every name
}
#endif
