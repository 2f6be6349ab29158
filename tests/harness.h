// Runs the built executable under a tool name and captures what it does.
#pragma once

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <pty.h>
#include <termios.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "fixture/fixture.h"

namespace harness {

struct Options {
    std::string input;                     // fed through a pipe
    std::optional<std::string> stdinFile;  // stdin opened from this file instead
    std::vector<int> closed;               // standard descriptors the tool starts without
    std::optional<std::string> stdoutFile; // stdout opened onto this file (not truncated)...
    bool append = false;                   // ...with O_APPEND
    std::vector<std::string> env;          // extra NAME=value entries
    std::optional<std::string> argv0;      // default: the tool name
    size_t addressSpace = 0;               // limits, in bytes, on the child's address space
    size_t fileSize = 0;                   // and on the files it writes
    bool doubles = false;                  // preload the test doubles and collect what they see
    bool mergedErr = false;                // standard error into standard output, as 2>&1 does
    bool terminal = false;                 // standard output a terminal (raw: no newline translation)
};

struct Result {
    std::string out, err;
    int status = -1;                // exit status, or 128 + signal
    int pipeSize = 0;               // of the pipe standard output went into, as the tool left it
    std::vector<std::string> calls; // what the doubles saw, a line each
    size_t fed = 0;                 // bytes of the input the tool took before it ended
    bool operator==(const Result &r) const { return out == r.out && err == r.err && status == r.status; }
};

inline void PrintTo(const Result &r, std::ostream *os)
{
    *os << "status " << r.status << ", stdout \"" << r.out.substr(0, 2000) << "\", stderr \"" << r.err << "\"";
}

inline void check(bool ok, const char *what)
{
    if (!ok)
        throw std::runtime_error(std::string(what) + ": " + strerror(errno));
}

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A fresh directory for one test's files, removed with the object.
class TempDir {
public:
    explicit TempDir(const char *in = "/tmp") : dir_(std::string(in) + "/trelkit-test-XXXXXX")
    {
        check(mkdtemp(dir_.data()) != nullptr, "mkdtemp");
    }
    ~TempDir() { std::filesystem::remove_all(dir_, ignored_); }
    std::string path(std::string_view name) const { return dir_ + "/" + std::string(name); }
    std::string write(std::string_view name, std::string_view bytes) const
    {
        check(fixture::writeFile(path(name), bytes), "write");
        return path(name);
    }

private:
    std::string dir_;
    std::error_code ignored_;
};

// The runner the tools start under, if any: TRELKIT_RUNNER, or the emulator of a cross build ("qemu-ppc -L sysroot",
// "valgrind ...").
inline std::vector<std::string> runner()
{
    std::istringstream in(getenv("TRELKIT_RUNNER") ? getenv("TRELKIT_RUNNER") : TRELKIT_DEFAULT_RUNNER);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// Why a run with these options cannot be made here, or empty when it can: a memory limit would bind the runner or the
// sanitizer, not the tool; a runner other than qemu cannot start a tool under a path or without standard error.
inline std::string cannotRun(const Options &o)
{
    const auto r = runner();
    if (TRELKIT_SANITIZED && o.addressSpace)
        return "the sanitizer's shadow memory needs more address space than any limit";
    if (o.addressSpace && !r.empty())
        return "a limit would apply to the runner, not to the tool";
    if (r.empty() || r[0].find("qemu-") != std::string::npos)
        return "";
    if (o.argv0 && o.argv0->find('/') != std::string::npos)
        return "the runner cannot give a child an argv[0] that is a path";
    if (std::find(o.closed.begin(), o.closed.end(), 2) != o.closed.end())
        return "the runner needs its standard error";
    return "";
}

// Whether a row can run here; when it cannot, says why, so that a skipped row never passes for a tested one.
inline bool runnable(const Options &o, const std::string &row)
{
    const std::string why = cannotRun(o);
    if (!why.empty())
        std::cout << "[ SKIPPED  ] " << row << ": " << why << std::endl;
    return why.empty();
}

// The child: its streams, its limits, then the tool.
[[noreturn]] inline void child(const std::string &exec, std::vector<std::string> argv, std::vector<std::string> env,
                               const Options &o, int in, int out, int err)
{
    for (int to = 0; int fd : {in, out, err})
        dup2(fd, to++);
    for (int fd : o.closed)
        close(fd);
    // A tool gone wrong that writes without end stops at 5 GiB (past the largest copy), not a full disk.
    const rlim_t fileSize = o.fileSize ? o.fileSize : rlim_t{5} << 30;
    for (auto [resource, bytes] : {std::pair{RLIMIT_AS, rlim_t{o.addressSpace}}, {RLIMIT_FSIZE, fileSize}})
        if (const rlimit limit{bytes, bytes}; bytes)
            setrlimit(resource, &limit);
    signal(SIGXFSZ, SIG_IGN); // past the file size limit a write fails instead
    alarm(300);               // a tool that hangs ends, and takes no test run with it
    auto pointers = [](std::vector<std::string> &strings) {
        std::vector<char *> p(strings.size() + 1); // the last stays null
        std::ranges::transform(strings, p.begin(), [](std::string &s) { return s.data(); });
        return p;
    };
    execvpe(exec.c_str(), pointers(argv).data(), pointers(env).data());
    _exit(127);
}

// Runs build/bin/<tool> (or a path containing a slash) with TZ=UTC, through the runner when there is one.
inline Result run(const std::string &tool, const std::vector<std::string> &args, const Options &options = {})
{
    Options o = options;
    TempDir scratch; // what the doubles saw, and the links another runner starts the tool through
    if (o.doubles)
        o.env.insert(o.env.end(), {"DOUBLE_LOG=" + scratch.path("calls"), std::string("LD_PRELOAD=") + DOUBLES});
    const std::string path = tool.find('/') == std::string::npos ? TRELKIT_BUILD_DIR "/bin/" + tool : tool;
    std::vector<std::string> env = {"TZ=UTC", "PATH=/usr/bin:/bin", "LC_ALL=C"};
    if (getenv("ASAN_OPTIONS")) // a preloaded double comes before the sanitizer's runtime
        env.push_back(std::string("ASAN_OPTIONS=verify_asan_link_order=0:") + getenv("ASAN_OPTIONS"));
    std::vector<std::string> argv = runner();
    const bool direct = argv.empty(), qemu = !direct && argv[0].find("qemu-") != std::string::npos;
    if (qemu) // a host program: the guest's argv[0] and preloads are its options
        argv.push_back("-0");
    if (direct || qemu)
        argv.push_back(o.argv0.value_or(tool));
    for (const std::string &e : o.env)
        if (qemu && e.starts_with("LD_PRELOAD="))
            argv.insert(argv.end(), {"-E", e});
        else if (!e.empty())
            env.push_back(e);
    if (qemu) {
        argv.push_back(path);
    } else if (!direct) {
        // Another runner finds the tool through PATH, as a link under the name it is to be started as, and passes
        // that name on as argv[0].
        const std::string name = o.argv0.value_or(tool.substr(tool.rfind('/') + 1));
        check(symlink(path.c_str(), scratch.path(name).c_str()) == 0, "symlink");
        env[1] = "PATH=" + scratch.path("") + ":/usr/bin:/bin";
        argv.push_back(name);
    }
    argv.insert(argv.end(), args.begin(), args.end());

    int in[2], out[2], err[2];
    // Close-on-exec: the tool holds only the ends it is given, as 0, 1 and 2.
    check(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0, "pipe");
    if (o.terminal) { // the terminal's far end is read as the pipe's would be
        termios raw{};
        cfmakeraw(&raw);
        close(out[0]);
        close(out[1]);
        check(openpty(&out[0], &out[1], nullptr, &raw, nullptr) == 0, "openpty");
        fcntl(out[0], F_SETFD, FD_CLOEXEC);
        fcntl(out[1], F_SETFD, FD_CLOEXEC);
    }
    // A file given as standard input or output that cannot be opened fails the test, not the tool.
    const int stdinFd = o.stdinFile ? open(o.stdinFile->c_str(), O_RDONLY | O_CLOEXEC) : in[0];
    const int stdoutFd =
        o.stdoutFile ? open(o.stdoutFile->c_str(), O_WRONLY | O_CLOEXEC | (o.append ? O_APPEND : 0)) : out[1];
    check(stdinFd >= 0 && stdoutFd >= 0, "open of the standard input or output file");
    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0)
        child(direct ? path : argv[0], argv, env, o, stdinFd, stdoutFd, o.mergedErr ? stdoutFd : err[1]);
    for (int fd : {in[0], out[1], err[1], o.stdinFile ? stdinFd : -1, o.stdoutFile ? stdoutFd : -1})
        close(fd);
    signal(SIGPIPE, SIG_IGN);
    Result result;
    std::thread feed([&] { // until the tool stops reading
        ssize_t at = 0;
        for (ssize_t n = 0; !o.stdinFile && at < std::ssize(o.input) && (n = write(in[1], o.input.data() + at, o.input.size() - static_cast<size_t>(at))) > 0;)
            at += n;
        close(in[1]);
        result.fed = static_cast<size_t>(at);
    });
    auto drain = [](int fd) { // what the child writes, to its end
        std::string text;
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<size_t>(n));
        return text;
    };
    std::thread errors([&] { result.err = drain(err[0]); });
    result.out = drain(out[0]);
    errors.join();
    feed.join();
    result.pipeSize = fcntl(out[0], F_GETPIPE_SZ);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream log(scratch.path("calls"));
    for (std::string line; std::getline(log, line);)
        result.calls.push_back(line);
    return result;
}

// The names the executable answers to, in the order of the table the entry and the build read them from.
inline std::vector<std::string> toolNames()
{
    std::ifstream in(TRELKIT_SOURCE_DIR "/utils/panicdump/tools.def");
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("TOOL("))
            names.push_back(line.substr(5, line.find(',') - 5));
    return names;
}

// The number of the one line of the product's sources that holds text. Text found on two lines could be either, and
// fails the test that names it.
inline int sourceLine(std::string_view text)
{
    std::vector<int> found;
    for (const auto &file : std::filesystem::directory_iterator(TRELKIT_SOURCE_DIR "/utils/panicdump"))
        if (std::ifstream in(file.path()); file.path().extension() == ".cpp")
            for (auto [line, number] = std::pair{std::string(), 1}; std::getline(in, line); ++number)
                if (line.find(text) != std::string::npos)
                    found.push_back(number);
    if (found.size() != 1)
        throw std::runtime_error(std::string(text) + " is on " + std::to_string(found.size()) + " lines, not one");
    return found[0];
}

// "prog:function:line message\n" for the report made from the format fmt (rendered: the message as printed, when it
// has arguments), at the line of the statement that makes it: the one that holds fmt as a whole literal.
inline std::string report(const std::string &prog, const std::string &function, std::string_view fmt,
                          std::string_view rendered = {})
{
    return prog + ":" + function + ":" + std::to_string(sourceLine("\"" + std::string(fmt) + "\"")) + " " +
           std::string(rendered.empty() ? fmt : rendered) + "\n";
}

} // namespace harness
