// The front end, pdmap, errloginfo and the capture viewers end to end, with
// the dump device and the platform services replaced by preloaded doubles.
#include <climits>
#include <optional>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <regex>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dumpmap.h"
#include "fixture/fixture.h"
#include "harness.h"

using harness::Options;
using harness::Result;
using harness::run;

namespace {

constexpr const char *kPdexUsage = "Usage: pdex file [name]\n\tExtract panic data \"name\" from \"file\" to stdout\n"
                                   "\tOr list panic data in \"file\"\n";
constexpr const char *kPdcpUsage = "Usage: pdcp infile [outfile]\n\tCopy panic data from \"infile\" to "
                                   "\"outfile\"\n\tOr print time stamp of panic data in \"infile\"\n";
constexpr const char *kTools = "pdex\npdcp\npdmap\nerrloginfo\ncatconsole\nobjectdump\nsyslockdump\n";
constexpr const char *kHead = "\n=============  START OF HEAD  =========================\n";
constexpr const char *kTail = "\n=============    END OF HEAD  & START OF TAIL =========\n";
constexpr const char *kEnd = "\n=============  END OF TAIL    =========================\n";

class Tools : public ::testing::Test {
protected:
    harness::TempDir dir;
};

std::string capture(int32_t dataEnd, int32_t headLen, int32_t writePos, int32_t wrapped, std::string text)
{
    return fixture::Console{0xA1B2CCFF, dataEnd, headLen, writePos, wrapped, std::move(text)}.encode();
}

fixture::LockRecord sampleRecord()
{
    return {0x1234,     "spin_lock", "mutexA", "held", "CPU0", 0xc0ffee00, 5, 42, 412, "ipsecd", -1, 3, 1,
            {{0xc0012345, "do_panic", "", 0x10, 0x200},
             {0xc0055555, "", "ignored", 1, 2},
             {0xd0001000, "mod_fn", "mymod", 0, 0x40}}};
}

const std::string kSampleRecord = "CPU0             spin_lock            mutexA           held            \n"
                                  "ID[0x1234] TIME[5.42] CPU[3] TASKP[0xc0ffee00]\n"
                                  "PID[412(ipsecd)] PREEMPT_COUNT[-1] IRQS_DISABLED[1]\n>\n"
                                  "> 0xc0012345: do_panic+0x10/0x200\n"
                                  "> 0xc0055555\n"
                                  "> 0xd0001000: mod_fn+0/0x40 [mymod]\n\n";

// ---- every tool

// The name a tool is started under, wrong operands, files that cannot be
// opened and output that cannot be written.
TEST_F(Tools, StartsAndFailuresOfEveryTool)
{
    const std::string dump = dir.write("dump", fixture::Dump().endDump().str()), missing = dir.path("missing"),
                      console = dir.write("console", capture(0, 0, 4, 0, "text")),
                      lock = dir.write("lock", sampleRecord().encode()), folder = dir.path(""), self = dir.linkAs("x");
    const Options full{.stdoutFile = "/dev/full"};
    const std::string noSpace = ": error writing standard output: No space left on device\n",
                      usage = "Usage: trelkit TOOL [ARG...]\n       trelkit --list | --version | --help\n"
                              "Runs TOOL as if started under its name. Tools:\n  pdex\n  pdcp\n  pdmap\n"
                              "  errloginfo\n  catconsole\n  objectdump\n  syslockdump\n",
                      emptyStdin = ":readMetaHeader:" +
                                   std::to_string(harness::sourceLine("dumpfile.cpp", "\"error in fread for meta header")) +
                                   " error in fread for meta header\n";
    struct Start {
        std::string tool; // a name in bin/, or with Options::argv0 the executable under that name
        std::vector<std::string> args;
        Options options;
        Result result;
    };
    std::vector<Start> cases = {
        {self, {}, {.argv0 = "/usr/sbin/PDMAP"}, {"Usage: pdmap <name of map file>\n", "", 1}},
        {self, {}, {.argv0 = "my_syslockdump_v2"}, {"Usage: syslockdump [one-input-file]\n", "", 1}},
        {self, {}, {.argv0 = "SYSLOCKDUMP"}, {"", "SYSLOCKDUMP" + emptyStdin, 2}},
        {self, {}, {.argv0 = "dir/"}, {"", emptyStdin, 2}},
        {self, {"ignored"}, {.argv0 = "PDEX"}, {"", "PDEX" + emptyStdin, 2}},
        {self, {"-q"}, {.argv0 = "other"}, {"", "other: invalid option -- 'q'\nUsage: other \n", 1}},
        {self, {"--list"}, {.argv0 = "/usr/bin/trelkit"}, {kTools, "", 0}},
        {self, {"--version"}, {.argv0 = "trelkit"}, {"trelkit " TRELKIT_VERSION "\n", "", 0}},
        {self, {"--help"}, {.argv0 = "trelkit"}, {usage, "", 0}},
        {self, {}, {.argv0 = "trelkit"}, {"", usage, 1}},
        {self, {"pdx"}, {.argv0 = "trelkit"}, {"", "trelkit: unknown tool 'pdx'\n", 1}},
        {self, {"pdcp"}, {.argv0 = "trelkit"}, {"", std::string("Too few or too many arguments\n") + kPdcpUsage, 1}},
        {self, {"errloginfo"}, {.argv0 = "trelkit"}, {"usage:\nerrloginfo: [-t (if trap required)] \"log string\"\n", "", 1}},
        {self, {"syslockdump", "-"}, {.argv0 = "trelkit"}, {"", "Unable to open file -", 255}},
        {self, {"--list"}, {.stdoutFile = "/dev/full", .argv0 = "trelkit"}, {"", "trelkit" + noSpace, 1}},
        {"pdex", {"-x", dump}, {}, {"", "pdex: invalid option -- 'x'\n" + std::string(kPdexUsage), 1}},
        {"pdex", {}, {}, {"", std::string("Too few or too many arguments\n") + kPdexUsage, 1}},
        {"pdex", {"a", "b", "c"}, {}, {"", std::string("Too few or too many arguments\n") + kPdexUsage, 1}},
        {"pdcp", {}, {}, {"", std::string("Too few or too many arguments\n") + kPdcpUsage, 1}},
        {"pdex", {missing}, {}, {"", missing + ": No such file or directory\n", 1}},
        {"pdcp", {missing, dir.path("created")}, {}, {"", missing + ": No such file or directory\n", 1}},
        {"pdcp", {dump, missing + "/out"}, {}, {"", missing + "/out: No such file or directory\n", 1}},
        {"pdmap", {"a", "b"}, {}, {"Usage: pdmap <name of map file>\n", "", 1}},
        {"catconsole", {"a", "b"}, {}, {"Usage: catconsole input CONSLOE_LOG client's file\n", "", 0}},
        {"catconsole", {"a", "b", "c"}, {}, {"Usage: catconsole input CONSLOE_LOG client's file\n", "", 0}},
        {"catconsole", {missing}, {}, {"Can't open " + missing + " (err 2)\n", "", 1}},
        {"catconsole", {folder}, {}, {"Invalid size encountered(-1)!\n", "", 1}},
        {"objectdump", {"a", "b"}, {}, {"Usage: objectdump [one-input-file]\n       use stdin if input-file omitted\n", "", 1}},
        {"objectdump", {missing}, {}, {"Can't open " + missing + " (err 2)\n", "", 1}},
        {"objectdump", {folder}, {}, {"", "objectdump: error reading " + folder + ": Is a directory\n", 1}},
        {"objectdump", {console}, {.closed = {0}}, {run("objectdump", {console}).out, "", 0}},
        {"syslockdump", {}, {.input = sampleRecord().encode()}, {"Usage: syslockdump [one-input-file]\n", "", 1}},
        {"syslockdump", {"a", "b"}, {}, {"Usage: syslockdump [one-input-file]\n", "", 1}},
        {"syslockdump", {missing}, {}, {"", "Unable to open file " + missing, 255}},
        {"syslockdump", {folder}, {}, {"", "syslockdump: error reading " + folder + ": Is a directory\n", 255}},
        {"pdcp", {dump, "/dev/full"}, {}, {"", "pdcp: error writing /dev/full: No space left on device\n", 2}},
        {"pdcp", {dump, "-"}, full, {"", "pdcp" + noSpace, 2}},
        {"pdcp", {dump}, full, {"", "pdcp" + noSpace, 2}},
        {"pdex", {dump}, full, {"", "pdex" + noSpace, 2}},
        {"catconsole", {console}, full, {"", "catconsole" + noSpace, 1}},
        {"objectdump", {console}, full, {"", "objectdump" + noSpace, 1}},
        {"syslockdump", {lock}, full, {"", "syslockdump" + noSpace, 1}},
    };
    for (const Start &c : cases) {
        if (c.options.argv0 && !harness::cannotSetArgv0().empty())
            continue; // the runner gives the child its own argv[0]
        EXPECT_EQ(run(c.tool, c.args, c.options), c.result) << c.options.argv0.value_or(c.tool) << " " << c.args.size();
    }
    struct stat st;
    EXPECT_EQ(stat(dir.path("created").c_str(), &st), 0); // the output is made before the input is opened
}

// A pipe, however its writer cuts the input, reads as the file does.
TEST_F(Tools, APipeReadsAsTheFile)
{
    std::string hex;
    for (int i = 0; i < 1000; ++i)
        hex += static_cast<char>(i % 7 == 0 ? i : 0);
    const std::string dump = fixture::Dump().section({"console"}).data("text").endSection().endDump().str(),
                      lock = sampleRecord().encode();
    struct Input {
        std::string tool, bytes;
        std::vector<std::string> args; // "IN": the file, or the pipe's name
        std::string pipe;              // "": no operand
        size_t trickle;                // the pipe's pieces
    } inputs[] = {
        {"pdex", dump, {"IN"}, "-", 1},
        {"pdex", dump, {"IN", "console"}, "-", 1},
        {"pdcp", dump, {"IN"}, "-", 1},
        {"catconsole", capture(0, 0, 70000, 0, std::string(70000, 'p')), {"IN"}, "", 3001},
        {"objectdump", hex + std::string(100, 'q'), {"IN"}, "", 17},
        {"syslockdump", lock + lock + "tail", {"IN"}, "/dev/stdin", 1000},
    };
    for (const Input &in : inputs) {
        std::string path = dir.write("in", in.bytes);
        std::vector<std::string> fromFile, fromPipe;
        for (const std::string &a : in.args) {
            fromFile.push_back(a == "IN" ? path : a);
            if (a != "IN" || !in.pipe.empty())
                fromPipe.push_back(a == "IN" ? in.pipe : a);
        }
        Result file = run(in.tool, fromFile);
        EXPECT_EQ(file.status, 0) << in.tool;
        EXPECT_NE(file.out, "") << in.tool;
        EXPECT_EQ(run(in.tool, fromPipe, Options{.input = in.bytes, .trickle = in.trickle}), file) << in.tool;
        EXPECT_EQ(run(in.tool, fromPipe, Options{.stdinFile = path}), file) << in.tool;
    }
}

// ---- pdmap

std::string request(unsigned long code, const std::string &rest = "arg=2")
{
    char text[32];
    snprintf(text, sizeof text, "ioctl %#lx ", code);
    return text + rest;
}

const std::string kAlloc = request(IOC_ALLOC), kDisarm = request(IOC_DISARM), kClear = request(IOC_CLEAR_MAP),
                  kArm = request(IOC_ARM);

// What the doubles see of a run that sends the device these requests.
std::vector<std::string> sequence(std::vector<std::string> issued, bool opened = true)
{
    if (opened)
        issued.insert(issued.begin(), "open /dev/ata_dumper O_RDWR");
    issued.insert(issued.begin(), {"evlog_open chassis 0 trelkit", "hv_running"});
    issued.push_back("evlog_close");
    return issued;
}

// A map file of size bytes (by default all its 4096-byte blocks): data in the
// blocks where the pattern has 'd', holes for '.', and space preallocated but
// never written for 'f'.
std::string mapFile(const std::string &path, const std::string &pattern, std::optional<size_t> size = {})
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const size_t bytes = size.value_or(pattern.size() * 4096);
    std::string block(4096, 'm');
    for (size_t i = 0; i < pattern.size(); ++i) {
        const size_t length = pattern[i] == 'd' ? std::min<size_t>(4096, bytes - i * 4096) : 0;
        EXPECT_EQ(pwrite(fd, block.data(), length, static_cast<off_t>(i * 4096)), static_cast<ssize_t>(length));
        EXPECT_EQ(pattern[i] == 'f' ? fallocate(fd, 0, static_cast<off_t>(i * 4096), 4096) : 0, 0);
    }
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(bytes)), 0);
    fsync(fd); // blocks are placed on disk when written back
    close(fd);
    return path;
}

// The device's map request for a file as this test sees it through FIBMAP.
std::string addMap(const std::string &path, uint32_t count)
{
    struct stat st;
    stat(path.c_str(), &st);
    std::string map = "dump_id=2 dev=" + std::to_string(static_cast<uint32_t>(st.st_dev)) +
                      " nblocks=" + std::to_string(count) + " blocks=";
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    for (uint32_t i = 0; i < count; ++i) {
        int block = static_cast<int>(i);
        map += (i ? "," : "") + std::to_string(ioctl(fd, FIBMAP, &block) == 0 ? block : -1);
    }
    close(fd);
    return request(IOC_ADD_MAP, map);
}

// Every block of the map file goes to the device, which is then armed. A
// failure ends the run where it happens: nothing is undone, no later request
// reaches the device, and a map file with a hole never reaches it at all.
TEST_F(Tools, PdmapMapsEveryBlockAndStopsAtTheFirstFailure)
{
    int fd = open(mapFile(dir.path("probe"), "d").c_str(), O_RDONLY), size = 0, block = 0;
    bool maps = ioctl(fd, FIGETBSZ, &size) == 0 && size == 4096 && ioctl(fd, FIBMAP, &block) == 0 && block > 0;
    close(fd);
    if (!maps)
        GTEST_SKIP() << "the file system of " << dir.path("") << " does not map 4096-byte blocks with FIBMAP";
    harness::TempDir shm(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    auto map = [&](const char *name, const std::string &pattern, std::optional<size_t> size = {}) {
        return mapFile(dir.path(name), pattern, size);
    };
    const std::string empty = map("empty", ""), one = map("one", "d", 10), two = map("two", "dd"),
                      three = map("three", "ddd", 10000), many = map("many", std::string(257, 'd'), 1 << 20 | 1),
                      holes = map("holes", ".."), middle = map("middle", "d.d"), start = map("start", ".d"),
                      end = map("end", "dd."), reserved = map("reserved", "df"), largest = map("largest", "", INT32_MAX),
                      huge = map("huge", "", size_t{1} << 31), noMap = shm.write("map", "no block map"),
                      fifo = dir.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto armed = [](const std::string &path, uint32_t blocks) {
        return sequence({kAlloc, kDisarm, kClear, addMap(path, blocks), kArm});
    };
    auto hole = [](const std::string &path, int at) {
        return Result{"", "pdmap: " + path + ": block " + std::to_string(at) +
                              " has no disk block (a hole, or space preallocated and never written)\n", 1};
    };
    const std::string added = addMap(empty, 0);
    const std::vector<std::string> untouched = sequence({}, false);
    struct Map {
        std::vector<std::string> env, args;
        Result result;
        std::vector<std::string> calls;
    };
    std::vector<Map> cases = {
        {{}, {empty}, {"", "", 0}, armed(empty, 0)},
        {{}, {two}, {"", "", 0}, armed(two, 2)},
        {{}, {three}, {"", "", 0}, armed(three, 3)},
        {{}, {many}, {"", "", 0}, armed(many, 257)},
        {{}, {fifo}, {"", "", 0}, armed(fifo, 0)}, // no blocks, and no wait for a writer
        {{}, {holes}, hole(holes, 0), untouched},
        {{}, {middle}, hole(middle, 1), untouched},
        {{}, {start}, hole(start, 0), untouched},
        {{}, {end}, hole(end, 2), untouched},
        {{}, {reserved}, hole(reserved, 1), untouched},
        {{}, {largest}, hole(largest, 0), untouched},
        {{"ATA_FAIL=6:98"}, {empty}, {"", "", 0}, armed(empty, 0)},
        {{"ATA_FAIL=6:5"}, {empty}, {"", "pdmap: IOC_ALLOC failed: Input/output error\n", 1}, sequence({kAlloc})},
        {{"ATA_FAIL=3:16"}, {empty}, {"", "pdmap: IOC_DISARM failed: Device or resource busy\n", 1},
         sequence({kAlloc, kDisarm})},
        {{"ATA_FAIL=0:22"}, {empty}, {"", "pdmap: IOC_CLEAR_MAP failed: Invalid argument\n", 1},
         sequence({kAlloc, kDisarm, kClear})},
        {{"ATA_FAIL=1:12"}, {empty}, {"", "pdmap: IOC_ADD_MAP failed: Cannot allocate memory\n", 1},
         sequence({kAlloc, kDisarm, kClear, added})},
        {{"ATA_FAIL=2:5"}, {empty}, {"", "pdmap: IOC_ARM failed: Input/output error\n", 1},
         sequence({kAlloc, kDisarm, kClear, added, kArm})},
        {{"ATA_OPEN_ERRNO=2"}, {one}, {"", "pdmap: open of DUMPDEV failed: No such file or directory\n", 1}, sequence({})},
        {{}, {dir.path("missing")}, {"", "pdmap: open of map file failed: No such file or directory\n", 1}, untouched},
        {{"ATA_FIGETBSZ=0"}, {one}, {"", "pdmap: FIGETBZ failed: Invalid argument\n", 1}, untouched},
        {{}, {huge}, {"", "pdmap: fstat failed: Value too large for defined data type\n", 1}, untouched},
        {{}, {noMap}, {"", "pdmap: FIBMAP failed: Invalid argument\n", 1}, untouched},
        {{"HV_RUNNING=1", "HV_RESULT=-1"}, {"no/such/map"}, {"", "", 255},
         {"evlog_open chassis 0 trelkit", "hv_running", "hv_map_dump_file no/such/map 1", "evlog_close"}},
        {{"HV_RUNNING=1", "HV_RESULT=7"}, {"map"}, {"", "", 7},
         {"evlog_open chassis 0 trelkit", "hv_running", "hv_map_dump_file map 1", "evlog_close"}},
        {{"HV_RUNNING=1"}, {}, {"Usage: pdmap <name of map file>\n", "", 1}, {"evlog_open chassis 0 trelkit", "evlog_close"}},
    };
    for (const Map &c : cases) {
        Result r = run("pdmap", c.args, Options{.env = c.env, .doubles = true});
        EXPECT_EQ(r, c.result) << (c.args.empty() ? "" : c.args[0]);
        EXPECT_EQ(r.calls, c.calls) << c.result.err;
    }
}

// ---- errloginfo

// The record of a run that wrote these events.
std::vector<std::string> events(const std::vector<std::string> &texts, bool trap = false)
{
    int line = harness::sourceLine("errlog.cpp", trap ? "kTrapId, chunk.data()" : "kPlainId, chunk.data()");
    std::vector<std::string> out{"evlog_open chassis 0 trelkit"};
    for (unsigned n = 1; n <= texts.size(); ++n) {
        std::string handle;
        for (unsigned i = 0; i < 7; ++i)
            handle += (i ? "," : "") + std::to_string(n * 100 + i);
        out.push_back("evlog_get_handle " + std::to_string(n));
        out.push_back("evlog_write utils/panicdump/trelkit log_err_str " + std::to_string(line) +
                      " QMX handle=" + handle + " 0 1 " + (trap ? "0x3d0002" : "0x3d0001") + " [" +
                      texts[n - 1] + "]");
    }
    out.push_back("evlog_close");
    return out;
}

TEST_F(Tools, ErrloginfoWritesTheMessageInEventsOf150Characters)
{
    std::string longest(7996, 'x'), mixed; // plus 3 reaches the limit exactly
    for (int i = 0; i < 400; ++i)
        mixed += static_cast<char>('a' + i % 26);
    std::vector<std::string> chunks;
    for (std::string all = "  " + longest; !all.empty(); all.erase(0, 150))
        chunks.push_back(all.substr(0, 150));
    struct Message {
        std::vector<std::string> args;
        std::vector<std::string> events;
        bool trap = false;
    };
    std::vector<Message> cases = {
        {{"disk", "full"}, {"  disk full"}},
        {{"-t", "disk", "full"}, {"  disk full"}, true},
        {{"-t", "one"}, {"  one"}, true},
        {{"disk", "-t"}, {"  disk -t"}},
        {{"-tt", "-x", "--"}, {"  -tt -x --"}},
        {{"100%s", "%n%x", ""}, {"  100%s %n%x "}},
        {{""}, {"  "}},
        {{std::string(148, 'a')}, {"  " + std::string(148, 'a')}},
        {{std::string(149, 'b')}, {"  " + std::string(148, 'b'), "b"}},
        {{mixed}, {("  " + mixed).substr(0, 150), ("  " + mixed).substr(150, 150), ("  " + mixed).substr(300)}},
        {{longest}, chunks},
        {{longest + "x", "short"}, {" "}},
        {{"first", longest, "short"}, {"  first"}},
    };
    for (const Message &c : cases) {
        Result r = run("errloginfo", c.args, Options{.doubles = true});
        EXPECT_EQ(r, (Result{"", "", 0})) << c.args[0];
        EXPECT_EQ(r.calls, events(c.events, c.trap)) << c.args[0];
    }
    if (harness::cannotSetArgv0().empty())
        for (auto args : std::vector<std::vector<std::string>>{{}, {"-t"}}) {
            Result r = run("errloginfo", args, Options{.argv0 = "/opt/tools/errloginfo", .doubles = true});
            EXPECT_EQ(r, (Result{"usage:\n/opt/tools/errloginfo: [-t (if trap required)] \"log string\"\n", "", 1}));
            EXPECT_EQ(r.calls, std::vector<std::string>{"evlog_open chassis 0 trelkit"}); // left open
        }
}

// The syslog stand-in, observed for real: inside a private mount namespace a
// datagram socket at /dev/log receives what the system log would.
TEST(ErrloginfoSyslog, TheStandInWritesARealRecord)
{
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    if (fork() == 0) {
        auto say = [&](const std::string &s) {
            (void)!write(report[1], s.data(), s.size());
            _exit(0);
        };
        int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{AF_UNIX, "/dev/log"};
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/dev", "tmpfs", 0, nullptr) != 0 ||
            bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            say(std::string("SKIP no private /dev/log: ") + strerror(errno));
        Result r = run("errloginfo", {"disk", "50%s"});
        char buf[2048];
        ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
        say(n > 0 ? std::string(buf, static_cast<size_t>(n)) : "NOTHING status " + std::to_string(r.status));
    }
    close(report[1]);
    std::string got;
    char buf[2048];
    for (ssize_t n; (n = read(report[0], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    wait(nullptr);
    if (got.starts_with("SKIP"))
        GTEST_SKIP() << got.substr(5);
    int line = harness::sourceLine("errlog.cpp", "kPlainId, chunk.data()");
    std::regex record("^<13>... .. ..:..:.. trelkit\\[[0-9]+\\]: QMX 0x3d0001 utils/panicdump/trelkit:log_err_str:" +
                      std::to_string(line) + "   disk 50%s$");
    EXPECT_TRUE(std::regex_match(got, record)) << got;
}

// ---- catconsole, objectdump, syslockdump

// What each viewer prints, byte for byte.
TEST_F(Tools, ViewersPrintExactly)
{
    std::string whole(64000, 'x');
    whole.back() = 'Y';
    const std::string zeros = "00000000 00000000 00000000 00000000         . . . . . . . . . . . . . . . . \n",
                      zs = "7a7a7a7a 7a7a7a7a 7a7a7a7a 7a7a7a7a         z z z z z z z z z z z z z z z z \n",
                      line(16, 'z'), one = sampleRecord().encode();
    fixture::LockRecord limits{.text1 = std::string(32, 'a'), // no NUL in the fields
                               .text2 = std::string(32, 'b'),
                               .text3 = std::string(17, 'c'),
                               .text4 = std::string(17, 'd'),
                               .taskName = std::string(16, 't')};
    std::string limitText = std::string(16, 'd') + " " + std::string(20, 'a') + " " + std::string(16, 'b') + " " +
                            std::string(16, 'c') + "\nID[(nil)] TIME[0.0] CPU[0] TASKP[(nil)]\nPID[0(" +
                            std::string(16, 't') + ")] PREEMPT_COUNT[0] IRQS_DISABLED[0]\n>\n";
    for (uint32_t k = 0; k < 10; ++k) {
        const std::string module(k % 2 ? 1 : 63, 'm');
        limits.frames.push_back({0x1000 + k, std::string(129, 's'), module, k, 0});
        char offset[16];
        snprintf(offset, sizeof offset, "%#x", k);
        limitText += "> 0x" + std::to_string(1000 + k) + ": " + std::string(129, 's') + "+" + offset + "/0 [" +
                     module + "]\n";
    }
    fixture::LockRecord noFrames = sampleRecord();
    noFrames.frames.clear();
    struct View {
        const char *tool, *title;
        std::string bytes, out;
        int status = 0;
    };
    std::vector<View> cases = {
        {"catconsole", "not wrapped", capture(0, 0, 5, 0, "hello world"), "hello"},
        {"catconsole", "not wrapped, nothing written", capture(100, 3, 0, 0, "text"), ""},
        {"catconsole", "wrapped: head, oldest, newest", capture(11, 4, 7, 1, "HEADnewOLD!"),
         kHead + std::string("HEAD") + kTail + "OLD!new" + kEnd},
        {"catconsole", "wrapped without a head", capture(6, 0, 3, 1, "abcdef"), kHead + std::string(kTail) + "defabc" + kEnd},
        {"catconsole", "a head of one", capture(6, 1, 3, 1, "abcdef"), kHead + std::string("a") + kTail + "defbc" + kEnd},
        {"catconsole", "written up to the end", capture(6, 2, 6, 1, "hhring"), kHead + std::string("hh") + kTail + "ring" + kEnd},
        {"catconsole", "written behind the head", capture(6, 4, 2, 1, "hhhhrr"),
         kHead + std::string("hhhh") + kTail + "hhrr" + kEnd},
        {"catconsole", "control and high bytes", capture(0, 0, 23, 0, "a\r\nb\tc\bd\x1b[0m\x7f\x80\xff\x0b\x0c\x01 e"),
         "a\nb\tc\bd[0m e"},
        {"catconsole", "extremes stay in the text", capture(INT_MAX, INT_MAX, INT_MIN, 1, whole),
         kHead + whole + kTail + whole + kEnd},
        {"catconsole", "negative and past the end", capture(64001, -1, -1, 1, whole), kHead + std::string(kTail) + whole + kEnd},
        {"catconsole", "past the capture", capture(0, 0, INT_MAX, 0, whole + "beyond"), whole},
        {"catconsole", "ten bytes", capture(0, 0, 0, 0, "").substr(0, 10), ""},
        {"catconsole", "empty", "", "Invalid size encountered(0)!\n", 1},
        {"catconsole", "nine bytes", capture(0, 0, 0, 0, "").substr(0, 9), "Invalid size encountered(9)!\n", 1},
        {"catconsole", "no magic", std::string(20, '\0'), "catconsole: invalid input file!\n", 1},
        {"objectdump", "empty", "", ""},
        {"objectdump", "zeros first", std::string(16, '\0'), zeros},
        {"objectdump", "a short last line", "0123456789abcdef\x7f\x80 ~\x1f",
         "30313233 34353637 38396162 63646566         0 1 2 3 4 5 6 7 8 9 a b c d e f \n"
         "7f80207e 1f              . .   ~ . \n"},
        {"objectdump", "four bytes", "ABCD", "41424344         A B C D \n"},
        {"objectdump", "repeats at the end", line + line + line, zs + " Last datarepeated 2 times\n"},
        {"objectdump", "repeats before a change", std::string(32, '\0') + "x", zeros + " Last repeated 1 times\n78              x \n"},
        {"objectdump", "a short line is no repeat", line + line + "zzz", zs + " Last repeated 1 times\n7a7a7a              z z z \n"},
        {"objectdump", "counts start again", line + line + "y" + line + line + line,
         zs + " Last repeated 1 times\n797a7a7a 7a7a7a7a 7a7a7a7a 7a7a7a7a         y z z z z z z z z z z z z z z z \n" +
             zs + " Last repeated 1 times\n7a              z \n"},
        {"syslockdump", "two records and a tail", one + one + std::string(76, 'x'), kSampleRecord + kSampleRecord},
        {"syslockdump", "empty", "", ""},
        {"syslockdump", "short of a record", one.substr(0, 2211), ""},
        {"syslockdump", "fields at their limits", limits.encode(), limitText + "\n"},
        {"syslockdump", "no frames", noFrames.encode(), kSampleRecord.substr(0, kSampleRecord.find(">\n") + 2) + "\n"},
    };
    for (const View &c : cases)
        EXPECT_EQ(run(c.tool, {dir.write("in", c.bytes)}), (Result{c.out, "", c.status})) << c.tool << ": " << c.title;
}

} // namespace
