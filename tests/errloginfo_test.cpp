// errloginfo end to end, with the event log replaced by a preloaded double
// that records every call, and once against the real syslog stand-in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <regex>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

using harness::Options;

namespace {

constexpr const char *kOpen = "evlog_open chassis 0 trelkit";
constexpr const char *kClose = "evlog_close";

// The record of the n-th event: the handle fetched for it, then the write.
std::vector<std::string> event(unsigned n, const std::string &text, bool trap = false)
{
    int line = harness::sourceLine("errlog.cpp", trap ? "kTrapId, chunk.data()" : "kPlainId, chunk.data()");
    std::string handle;
    for (unsigned i = 0; i < 7; ++i)
        handle += (i ? "," : "") + std::to_string(n * 100 + i);
    return {"evlog_get_handle " + std::to_string(n),
            "evlog_write utils/panicdump/trelkit log_err_str " + std::to_string(line) + " QMX handle=" + handle +
                " 0 1 " + (trap ? "0x3d0002" : "0x3d0001") + " len=" + std::to_string(text.size()) + " [" + text +
                "]"};
}

class Errloginfo : public ::testing::Test {
protected:
    harness::TempDir dir;
    std::vector<std::string> log;

    harness::Result errloginfo(std::vector<std::string> args, Options o = {})
    {
        o.env.push_back("DOUBLE_LOG=" + dir.path("log"));
        o.env.push_back(std::string("LD_PRELOAD=") + PLATFORM_DOUBLE);
        auto r = harness::run("errloginfo", args, o);
        log = harness::lines(harness::readFile(dir.path("log")));
        unlink(dir.path("log").c_str());
        return r;
    }

    // The whole record of a run that wrote these events.
    static std::vector<std::string> logged(const std::vector<std::string> &texts, bool trap = false)
    {
        std::vector<std::string> out{kOpen};
        for (size_t i = 0; i < texts.size(); ++i) {
            auto e = event(static_cast<unsigned>(i + 1), texts[i], trap);
            out.insert(out.end(), e.begin(), e.end());
        }
        out.push_back(kClose);
        return out;
    }
};

TEST_F(Errloginfo, WritesTheMessageBehindTwoBlanks)
{
    auto r = errloginfo({"disk", "full"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(log, logged({"  disk full"}));
}

TEST_F(Errloginfo, OnlyAFirstDashTSelectsTheTrapId)
{
    errloginfo({"-t", "disk", "full"});
    EXPECT_EQ(log, logged({"  disk full"}, true));
    errloginfo({"disk", "-t"});
    EXPECT_EQ(log, logged({"  disk -t"}));
    errloginfo({"-tt", "-x", "--"});
    EXPECT_EQ(log, logged({"  -tt -x --"}));
}

TEST_F(Errloginfo, TextIsLoggedLiterally)
{
    errloginfo({"100%s", "%n%x", ""});
    EXPECT_EQ(log, logged({"  100%s %n%x "}));
    errloginfo({""});
    EXPECT_EQ(log, logged({"  "}));
}

TEST_F(Errloginfo, EventsHoldAtMost150CharactersInTextOrder)
{
    errloginfo({std::string(148, 'a')});
    EXPECT_EQ(log, logged({"  " + std::string(148, 'a')}));
    std::string text = "  " + std::string(149, 'b');
    errloginfo({text.substr(2)});
    EXPECT_EQ(log, logged({text.substr(0, 150), "b"}));
    std::string mixed;
    for (int i = 0; i < 400; ++i)
        mixed += static_cast<char>('a' + i % 26);
    errloginfo({mixed}, {});
    std::string all = "  " + mixed;
    EXPECT_EQ(log, logged({all.substr(0, 150), all.substr(150, 150), all.substr(300)}));
}

TEST_F(Errloginfo, ArgumentsPastTheLimitAreDroppedWithAllThatFollow)
{
    std::string longest(7996, 'x'); // plus 3 reaches the limit exactly
    auto r = errloginfo({longest});
    EXPECT_EQ(r.status, 0);
    std::string all = "  " + longest;
    std::vector<std::string> chunks;
    for (size_t at = 0; at < all.size(); at += 150)
        chunks.push_back(all.substr(at, 150));
    EXPECT_EQ(chunks.size(), 54u);
    EXPECT_EQ(log, logged(chunks));

    errloginfo({longest + "x", "short"});
    EXPECT_EQ(log, logged({" "}));
    errloginfo({"first", longest, "short"});
    EXPECT_EQ(log, logged({"  first"}));
}

TEST_F(Errloginfo, UsageShowsThePathAsStartedAndLeavesTheLogOpen)
{
    SKIP_UNLESS_ARGV0_IS_SET();
    const std::string usage = "usage:\n/opt/tools/errloginfo: [-t (if trap required)] \"log string\"\n";
    for (auto args : std::vector<std::vector<std::string>>{{}, {"-t"}}) {
        auto r = errloginfo(args, Options{.argv0 = std::string("/opt/tools/errloginfo")});
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(log, std::vector<std::string>{kOpen});
    }
}

// The syslog stand-in, observed for real: inside a private mount namespace a
// datagram socket at /dev/log receives what the system log would.
TEST(ErrloginfoSyslog, TheStandInWritesARealRecord)
{
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        auto say = [&](const std::string &s) {
            (void)!write(report[1], s.data(), s.size());
            _exit(0);
        };
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/dev", "tmpfs", 0, nullptr) != 0)
            say(std::string("SKIP no private mount namespace: ") + strerror(errno));
        int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strcpy(addr.sun_path, "/dev/log");
        if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            say(std::string("SKIP no socket at /dev/log: ") + strerror(errno));
        pid_t tool = fork();
        if (tool == 0) {
            dup2(2, 1); // keep the tool's stdout away from the report pipe
            std::vector<std::string> argvStrings, envStrings;
            std::string path = TRELKIT_BUILD_DIR "/bin/errloginfo";
            harness::commandLine(path, "errloginfo", {"disk", "50%s"}, {}, argvStrings, envStrings);
            std::vector<char *> argv, envp;
            for (auto &a : argvStrings)
                argv.push_back(a.data());
            for (auto &e : envStrings)
                envp.push_back(e.data());
            argv.push_back(nullptr);
            envp.push_back(nullptr);
            std::string exec = harness::runner().empty() ? path : argvStrings[0];
            execvpe(exec.c_str(), argv.data(), envp.data());
            _exit(127);
        }
        int status = 0;
        waitpid(tool, &status, 0);
        char buf[2048];
        ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
        say(n > 0 ? std::string(buf, static_cast<size_t>(n)) : "NOTHING status " + std::to_string(status));
    }
    close(report[1]);
    std::string got;
    char buf[2048];
    for (ssize_t n; (n = read(report[0], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    close(report[0]);
    waitpid(pid, nullptr, 0);
    if (got.rfind("SKIP", 0) == 0)
        GTEST_SKIP() << got.substr(5);
    // "<13>Mon Dd hh:mm:ss trelkit[pid]: QMX 0x3d0001 file:function:line text"
    int line = harness::sourceLine("errlog.cpp", "kPlainId, chunk.data()");
    std::regex record("^<13>... .. ..:..:.. trelkit\\[[0-9]+\\]: QMX 0x3d0001 utils/panicdump/trelkit:log_err_str:" +
                      std::to_string(line) + "   disk 50%s$");
    EXPECT_TRUE(std::regex_match(got, record)) << got;
}

} // namespace
