// Runs the built executable under a tool name and captures what it does.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

struct Options {
    std::string input;                     // fed through a pipe
    std::optional<std::string> inputFile;  // stdin opened from this file instead
    std::optional<std::string> outputFile; // stdout opened onto this file (no truncation)
    bool appendOutput = false;             // open outputFile with O_APPEND
    size_t trickle = 0;                    // feed the pipe this many bytes at a time
    std::vector<std::string> env;          // extra NAME=value entries
    std::optional<std::string> argv0;      // default: the tool name
    size_t addressSpaceMiB = 0;            // a limit on the child's address space (0: none)
};

struct Result {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal
};

// Where a runner is set (TRELKIT_RUNNER, or the emulator of a cross build:
// "qemu-ppc -L sysroot", "valgrind ..."), each child runs under it.
std::vector<std::string> runner();
bool runnerSetsArgv0();   // whether a child can be given any argv[0]
bool limitsMemory();      // a child's address space can be limited (no runner, no sanitizer)

// The argv and environment that run path as argv0 with args, through the runner.
void commandLine(const std::string &path, const std::string &argv0, const std::vector<std::string> &args,
                 std::vector<std::string> env, std::vector<std::string> &argv, std::vector<std::string> &envp);

// For the few checks that need a child's argv[0] to differ from its path.
#define SKIP_UNLESS_ARGV0_IS_SET()                                                                 \
    do {                                                                                           \
        if (!harness::runnerSetsArgv0())                                                           \
            GTEST_SKIP() << "the runner cannot give a child its own argv[0]";                      \
    } while (0)

// Runs build/bin/<tool> (or any path containing a slash) with TZ=UTC.
Result run(const std::string &tool, const std::vector<std::string> &args, const Options &options = {});

// A fresh directory for one test's files, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string path(std::string_view name) const;
    // A link to the executable under another name, for the dispatch rules.
    std::string linkAs(std::string_view name) const;

private:
    std::string dir_;
};

// The line of the n-th (1-based) source line of a product file that contains
// needle: error reports carry the line of their reporting statement.
int sourceLine(const std::string &file, std::string_view needle, int nth = 1);

// "prog:function:line message\n" for the report whose format starts with
// needle; rendered is the message as printed when it has arguments.
std::string report(const std::string &prog, const std::string &function, std::string_view needle,
                   std::string_view rendered = {}, int nth = 1, const std::string &file = "dumpfile.cpp");

std::string readFile(const std::string &path);
std::vector<std::string> lines(const std::string &text);
bool writeFileAt(const std::string &path, const std::string &bytes);
std::string executable();

} // namespace harness
