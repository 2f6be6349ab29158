#include "harness.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace harness {

std::string executable()
{
    return TRELKIT_BUILD_DIR "/trelkit";
}

namespace {

void check(bool ok, const char *what)
{
    if (!ok)
        throw std::runtime_error(std::string(what) + ": " + strerror(errno));
}

// Takes what a child wrote on fd; its end closes the stream.
void drain(int fd, std::string &into, bool &open)
{
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        into.append(buf, static_cast<size_t>(n));
    else
        open = false;
}

void setNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

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

namespace {

bool runnerIsQemu()
{
    auto r = runner();
    return !r.empty() && r[0].find("qemu-") != std::string::npos;
}

} // namespace

bool runnerSetsArgv0()
{
    return runner().empty() || runnerIsQemu();
}

bool limitsMemory()
{
#ifdef TRELKIT_SANITIZED
    return false;
#else
    return runner().empty();
#endif
}

void commandLine(const std::string &path, const std::string &argv0, const std::vector<std::string> &args,
                 std::vector<std::string> env, std::vector<std::string> &argv, std::vector<std::string> &envp)
{
    envp = {"TZ=UTC", "PATH=/usr/bin:/bin", "LC_ALL=C"};
    // Sanitizer settings reach the children; a preloaded double may come
    // before the sanitizer runtime.
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        std::string value = getenv(name) ? getenv(name) : "";
#ifdef TRELKIT_SANITIZED
        if (std::string_view(name) == "ASAN_OPTIONS")
            value = "verify_asan_link_order=0:" + value;
#endif
        if (!value.empty())
            envp.push_back(std::string(name) + "=" + value);
    }
    argv = runner();
    if (argv.empty()) {
        argv.push_back(argv0); // path is executed directly
    } else if (runnerIsQemu()) {
        // The emulator is a host program: the guest's argv[0] and preloads go
        // through its options, not its own argv and environment.
        argv.insert(argv.end(), {"-0", argv0});
        for (auto it = env.begin(); it != env.end();) {
            if (it->rfind("LD_PRELOAD=", 0) == 0) {
                argv.insert(argv.end(), {"-E", *it});
                it = env.erase(it);
            } else {
                ++it;
            }
        }
        argv.push_back(path);
    } else {
        argv.push_back(path); // the child's argv[0] is then the path
    }
    envp.insert(envp.end(), env.begin(), env.end());
    argv.insert(argv.end(), args.begin(), args.end());
}

Result run(const std::string &tool, const std::vector<std::string> &args, const Options &options)
{
    std::string path = tool.find('/') == std::string::npos ? TRELKIT_BUILD_DIR "/bin/" + tool : tool;
    std::vector<std::string> argvStrings, envStrings;
    commandLine(path, options.argv0.value_or(tool), args, options.env, argvStrings, envStrings);
    std::string exec = runner().empty() ? path : argvStrings[0];
    std::vector<char *> argv;
    for (auto &a : argvStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (auto &e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int in[2], out[2], err[2];
    check(pipe(in) == 0 && pipe(out) == 0 && pipe(err) == 0, "pipe");
    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        if (options.addressSpaceMiB && limitsMemory()) {
            // A tool that took memory in proportion to its input fails here.
            rlim_t bytes = options.addressSpaceMiB << 20;
            rlimit limit{bytes, bytes};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (options.inputFile) {
            int fd = open(options.inputFile->c_str(), O_RDONLY);
            dup2(fd, 0);
        } else {
            dup2(in[0], 0);
        }
        if (options.outputFile) {
            int fd = open(options.outputFile->c_str(), O_WRONLY | (options.appendOutput ? O_APPEND : 0));
            dup2(fd, 1);
        } else {
            dup2(out[1], 1);
        }
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        execvpe(exec.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    setNonBlocking(in[1]);
    signal(SIGPIPE, SIG_IGN);

    Result result;
    size_t fed = 0;
    bool inOpen = true;
    if (options.inputFile || options.input.empty()) {
        close(in[1]);
        inOpen = false;
    }
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3] = {{outOpen ? out[0] : -1, POLLIN, 0},
                         {errOpen ? err[0] : -1, POLLIN, 0},
                         {inOpen ? in[1] : -1, POLLOUT, 0}};
        poll(fds, 3, 10000);
        if (fds[0].revents)
            drain(out[0], result.out, outOpen);
        if (fds[1].revents)
            drain(err[0], result.err, errOpen);
        if (inOpen && fds[2].revents) {
            size_t step = options.trickle ? options.trickle : options.input.size() - fed;
            ssize_t n = write(in[1], options.input.data() + fed, std::min(step, options.input.size() - fed));
            if (n > 0)
                fed += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN)
                fed = options.input.size();
            if (options.trickle)
                usleep(200);
            if (fed == options.input.size()) {
                close(in[1]);
                inOpen = false;
            }
        }
    }
    if (inOpen)
        close(in[1]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

TempDir::TempDir()
{
    char templ[] = "/tmp/trelkit-test-XXXXXX";
    check(mkdtemp(templ) != nullptr, "mkdtemp");
    dir_ = templ;
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

std::string TempDir::path(std::string_view name) const
{
    return dir_ + "/" + std::string(name);
}

std::string TempDir::linkAs(std::string_view name) const
{
    std::string link = path(name);
    check(symlink(executable().c_str(), link.c_str()) == 0, "symlink");
    return link;
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
                   std::string_view rendered, int nth, const std::string &file)
{
    std::string quoted = "\"" + std::string(needle);
    std::string message(rendered.empty() ? needle : rendered);
    return prog + ":" + function + ":" + std::to_string(sourceLine(file, quoted, nth)) + " " + message + "\n";
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace harness

namespace harness {

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

bool writeFileAt(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return static_cast<bool>(out.flush());
}

} // namespace harness
