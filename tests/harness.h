// Runs the built executable under a tool name and captures what it does.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

struct Options {
    std::string input;                     // fed through a pipe...
    size_t trickle = 0;                    // ...this many bytes at a time
    std::optional<std::string> stdinFile;  // stdin opened from this file instead
    std::vector<int> closed;               // standard descriptors the tool starts without
    std::optional<std::string> stdoutFile; // stdout opened onto this file (not truncated)...
    bool append = false;                   // ...with O_APPEND
    std::vector<std::string> env;          // extra NAME=value entries
    std::optional<std::string> argv0;      // default: the tool name
    size_t addressSpace = 0;               // limits, in bytes, on the child's address space
    size_t fileSize = 0;                   // and on the files it writes
    bool doubles = false;                  // preload the test doubles and collect what they see
};

struct Result {
    std::string out, err;
    int status = -1;                // exit status, or 128 + signal
    std::vector<std::string> calls; // what the doubles saw, a line each
    bool operator==(const Result &r) const { return out == r.out && err == r.err && status == r.status; }
};
void PrintTo(const Result &r, std::ostream *os);

// Runs build/bin/<tool> (or a path containing a slash) with TZ=UTC, through
// the runner when one is set (TRELKIT_RUNNER, or the emulator of a cross
// build: "qemu-ppc -L sysroot", "valgrind ...").
Result run(const std::string &tool, const std::vector<std::string> &args, const Options &options = {});

// Why a run with these options cannot be made here, or empty when it can: a
// memory limit would bind the runner or the sanitizer, not the tool; a runner
// other than qemu cannot start a tool under a path or without standard error.
std::string cannotRun(const Options &o);

// "prog:function:line message\n" for the report whose format starts with
// needle (rendered: the message as printed, when it has arguments), at the
// line of the statement in dumpfile.cpp that makes it.
std::string report(const std::string &prog, const std::string &function, std::string_view needle,
                   std::string_view rendered = {});
// The number of the first line of a product file that holds needle.
int sourceLine(const std::string &file, std::string_view needle);

std::string readFile(const std::string &path);

// A fresh directory for one test's files, removed with the object.
class TempDir {
public:
    explicit TempDir(const char *in = "/tmp");
    ~TempDir();
    std::string path(std::string_view name) const;
    std::string write(std::string_view name, std::string_view bytes) const; // returns the path

private:
    std::string dir_;
};

} // namespace harness
