#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace harness {

namespace {

void check(bool ok, const char *what)
{
    if (!ok)
        throw std::runtime_error(std::string(what) + ": " + strerror(errno));
}

std::vector<std::string> runner()
{
    const char *set = getenv("TRELKIT_RUNNER");
#ifdef TRELKIT_DEFAULT_RUNNER
    if (!set)
        set = TRELKIT_DEFAULT_RUNNER;
#endif
    std::vector<std::string> words;
    std::istringstream in(set ? set : "");
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

bool isQemu(const std::vector<std::string> &r)
{
    return !r.empty() && r[0].find("qemu-") != std::string::npos;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (auto &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

void limit(int resource, size_t bytes)
{
    rlimit l{bytes, bytes};
    if (bytes)
        setrlimit(resource, &l);
}

// The child: its streams, its limits, then the tool.
[[noreturn]] void child(const std::string &exec, std::vector<std::string> argv, std::vector<std::string> env,
                        const Options &o, int in, int out, int err)
{
    if (o.stdinFile)
        in = open(o.stdinFile->c_str(), O_RDONLY);
    if (o.stdoutFile)
        out = open(o.stdoutFile->c_str(), O_WRONLY | (o.append ? O_APPEND : 0));
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    limit(RLIMIT_AS, o.addressSpace);
    limit(RLIMIT_FSIZE, o.fileSize);
    signal(SIGXFSZ, SIG_IGN); // past the file size limit a write fails instead
    execvpe(exec.c_str(), pointers(argv).data(), pointers(env).data());
    _exit(127);
}

} // namespace

std::string cannotSetArgv0()
{
    auto r = runner();
    return r.empty() || isQemu(r) ? "" : "the runner cannot give a child its own argv[0]";
}

std::string cannotLimitMemory()
{
#ifdef TRELKIT_SANITIZED
    return "the sanitizer's shadow memory needs more address space than any limit";
#else
    return runner().empty() ? "" : "a limit would apply to the runner, not to the tool";
#endif
}

Result run(const std::string &tool, const std::vector<std::string> &args, const Options &o)
{
    std::string path = tool.find('/') == std::string::npos ? TRELKIT_BUILD_DIR "/bin/" + tool : tool;
    std::string argv0 = o.argv0.value_or(tool);
    std::vector<std::string> env = {"TZ=UTC", "PATH=/usr/bin:/bin", "LC_ALL=C"};
    // Sanitizer settings reach the children; a preloaded double may come
    // before the sanitizer runtime.
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (getenv(name))
            env.push_back(std::string(name) + "=verify_asan_link_order=0:" + getenv(name));
    std::vector<std::string> argv = runner();
    if (argv.empty()) {
        argv = {argv0};
    } else if (isQemu(argv)) {
        // The emulator is a host program: the guest's argv[0] and preloads
        // go through its options, not its own argv and environment.
        argv.insert(argv.end(), {"-0", argv0});
        for (const std::string &e : o.env)
            if (e.starts_with("LD_PRELOAD="))
                argv.insert(argv.end(), {"-E", e});
        argv.push_back(path);
    } else {
        argv.push_back(path); // the child's argv[0] is then the path
    }
    for (const std::string &e : o.env)
        if (!e.empty() && !(isQemu(runner()) && e.starts_with("LD_PRELOAD=")))
            env.push_back(e);
    argv.insert(argv.end(), args.begin(), args.end());
    std::string exec = runner().empty() ? path : argv[0];

    int in[2], out[2], err[2];
    check(pipe(in) == 0 && pipe(out) == 0 && pipe(err) == 0, "pipe");
    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        child(exec, argv, env, o, in[0], out[1], err[1]);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    fcntl(in[1], F_SETFL, O_NONBLOCK);

    Result result;
    size_t fed = 0;
    if (o.stdinFile || o.input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    struct Stream {
        int fd;
        std::string &into;
    } streams[] = {{out[0], result.out}, {err[0], result.err}};
    while (streams[0].fd >= 0 || streams[1].fd >= 0) {
        pollfd fds[3] = {{streams[0].fd, POLLIN, 0}, {streams[1].fd, POLLIN, 0}, {in[1], POLLOUT, 0}};
        poll(fds, 3, 10000);
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents)
                continue;
            char buf[65536];
            ssize_t n = read(streams[i].fd, buf, sizeof buf);
            if (n > 0) {
                streams[i].into.append(buf, static_cast<size_t>(n));
            } else {
                close(streams[i].fd);
                streams[i].fd = -1;
            }
        }
        if (in[1] >= 0 && fds[2].revents) {
            size_t step = std::min(o.trickle ? o.trickle : o.input.size(), o.input.size() - fed);
            ssize_t n = write(in[1], o.input.data() + fed, step);
            if (n > 0)
                fed += static_cast<size_t>(n);
            else if (errno != EAGAIN)
                fed = o.input.size(); // the tool stopped reading
            if (o.trickle)
                usleep(200);
            if (fed == o.input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    if (in[1] >= 0)
        close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void PrintTo(const Result &r, std::ostream *os)
{
    *os << "status " << r.status << ", stdout \"" << r.out.substr(0, 2000) << "\", stderr \"" << r.err << "\"";
}

int sourceLine(const std::string &file, std::string_view needle, int nth)
{
    std::ifstream in(TRELKIT_SOURCE_DIR "/utils/panicdump/" + file);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number)
        if (line.find(needle) != std::string::npos && --nth == 0)
            return number;
    throw std::runtime_error("no line with '" + std::string(needle) + "' in " + file);
}

std::string report(const std::string &prog, const std::string &function, std::string_view needle,
                   std::string_view rendered, int nth)
{
    int line = sourceLine("dumpfile.cpp", "\"" + std::string(needle), nth);
    return prog + ":" + function + ":" + std::to_string(line) + " " +
           std::string(rendered.empty() ? needle : rendered) + "\n";
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TempDir::TempDir(const char *in)
{
    std::string templ = std::string(in) + "/trelkit-test-XXXXXX";
    check(mkdtemp(templ.data()) != nullptr, "mkdtemp");
    dir_ = templ;
}

TempDir::~TempDir()
{
    if (system(("rm -rf '" + dir_ + "'").c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

std::string TempDir::path(std::string_view name) const
{
    return dir_ + "/" + std::string(name);
}

std::string TempDir::write(std::string_view name, std::string_view bytes) const
{
    std::string p = path(name);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    check(static_cast<bool>(out.flush()), "write");
    return p;
}

std::string TempDir::linkAs(std::string_view name) const
{
    std::string link = path(name);
    check(symlink(TRELKIT_BUILD_DIR "/trelkit", link.c_str()) == 0, "symlink");
    return link;
}

} // namespace harness
