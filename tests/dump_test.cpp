// pdex and pdcp end to end: exact stdout, stderr and exit status.
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixture/fixture.h"
#include "harness.h"

using fixture::Attr;
using fixture::Dump;
using fixture::Header;
using fixture::Meta;
using harness::Options;
using harness::report;
using harness::Result;
using harness::run;

namespace {

constexpr const char *kHeading = "Sec  Blks  Data size  Prio  Created                   Name\n";
constexpr const char *kMetaTrace = "META HEADER:ID=Halvern Linux Panic Dump\n"
                                   "     VER=1 TIM=1700000000 SIZ=64 HSZ=16 CS=c14c(OK)\n";

Attr attr(std::string name, int16_t pri = 0, int32_t ver = 1)
{
    return Attr{std::move(name), fixture::kDefaultTime - 10, 0, ver, pri};
}

std::string total(int sections)
{
    return "Total " + std::to_string(sections) + " sections saved for kernel panic at Tue Nov 14 22:13:20 2023\n";
}

std::string row(const char *columns, const std::string &name)
{
    return std::string(columns) + "  Tue Nov 14 22:13:10 2023  " + name + "\n";
}

// Two sections: "console" with two blocks (one with filler), "regs" with one.
Dump sampleDump(Meta meta = {})
{
    Dump d(std::move(meta));
    d.section(attr("console", 1)).data("hello ", 10).data("world\n").endSection();
    d.section(attr("regs", -2)).data("r1=0\n").endSection();
    return d;
}

class Dumps : public ::testing::Test {
protected:
    harness::TempDir dir;
    std::string file(const Dump &d, const std::string &name = "dump")
    {
        EXPECT_TRUE(d.write(dir.path(name)));
        return dir.path(name);
    }
};

// Every operation on whole dumps and on dumps each reader refuses: the walk
// ends at the first failure, and a list still prints its summary.
TEST_F(Dumps, ListExtractTimeStampAndEveryReaderFailure)
{
    const std::string name31(31, 'n'), one = kHeading + row("  1     0          0     0", "a");
    Dump twice = sampleDump();
    twice.section(attr("console")).data("again").endSection().endDump();
    Dump longName;
    longName.section(attr(name31 + "X")).data("long").endSection().endDump();
    struct Case {
        const char *title;
        Dump dump;
        std::vector<std::string> command; // "DUMP" stands for the dump's path
        Result result;
    };
    std::vector<Case> cases = {
        {"list", sampleDump().endDump(), {"pdex", "DUMP"},
         {kHeading + row("  1     2         12     1", "console") + row("  2     1          5    -2", "regs") + total(2), "", 0}},
        {"no sections", Dump().endDump("pH"), {"pdex", "DUMP"}, {total(0), "", 0}},
        {"31 significant characters", longName, {"pdex", "DUMP"},
         {kHeading + row("  1     1          4     0", name31) + total(1), "", 0}},
        {"extract every match, data only", twice, {"pdex", "DUMP", "console"}, {"hello world\nagain", "", 0}},
        {"extract a 31-character name", longName, {"pdex", "DUMP", name31}, {"long", "", 0}},
        {"extract a large block", Dump().section(attr("z")).filledData(200000, 'z').endSection().endDump(),
         {"pdex", "DUMP", "z"}, {std::string(200000, 'z'), "", 0}},
        {"DSZ equal to BSZ, VER -1",
         Dump().section(attr("old", 0, -1)).header(Header{.dsz = 4, .bsz = 4}).bytes("abcd").data("", 8).endSection().endDump(),
         {"pdex", "DUMP", "old"}, {"abcd", "", 0}},
        {"no such name", twice, {"pdex", "DUMP", "Console"}, {"", "", 2}},
        {"an empty name", twice, {"pdex", "DUMP", ""}, {"", "", 2}},
        {"time stamp, the rest unread", Dump(Meta{.savedFor = "sixteen chars!!!"}).bytes("damaged"), {"pdcp", "DUMP"},
         {"1700000000 sixteen chars!!! Tue Nov 14 22:13:20 2023\n", "", 0}},
        {"time stamp trace", sampleDump(), {"pdcp", "-d", "-d", "DUMP"},
         {"1700000000 kernel panic Tue Nov 14 22:13:20 2023\n", kMetaTrace, 0}},
        {"trace in file order, option after the file", Dump().section(attr("a", 3)).data("xy").endSection().endDump(),
         {"pdex", "DUMP", "-d"},
         {kHeading + row("  1     1          2     3", "a") + total(1),
          std::string(kMetaTrace) + "HEADER:MAG=pH TIM=1700000000 BSZ=46 DSZ=0 CS=e435(good)\n"
                                    "ATTR:TIM=1699999990 VER=1 SIZ=0 PRI=3\n"
                                    "HEADER:MAG=pD TIM=1700000000 BSZ=2 DSZ=2 CS=e417(good)\n"
                                    "HEADER:MAG=pD TIM=1700000000 BSZ=0 DSZ=0 CS=e417(good)\n"
                                    "HEADER:MAG=pD TIM=1700000000 BSZ=0 DSZ=0 CS=e417(good)\n",
          0}},
        {"a copy traces no attribute record", Dump().section(attr("a")).endSection().endDump(),
         {"pdcp", "-d", "DUMP", "/dev/null"},
         {"", std::string(kMetaTrace) + "HEADER:MAG=pH TIM=1700000000 BSZ=46 DSZ=0 CS=e435(good)\n" +
                  "HEADER:MAG=pD TIM=1700000000 BSZ=0 DSZ=0 CS=e417(good)\n" +
                  "HEADER:MAG=pD TIM=1700000000 BSZ=0 DSZ=0 CS=e417(good)\n",
          0}},
        {"an attribute block shorter than its record", Dump().section(attr("c", 7), 10).data("x").endSection().endDump(),
         {"pdex", "DUMP"}, {std::string(kHeading) + "  1     1          1     0  Thu Jan  1 00:00:00 1970  c\n" + total(1), "", 0}},
        {"trace before the check that follows it", Dump(Meta{.siz = 40}), {"pdex", "-d", "DUMP"},
         {"", "META HEADER:ID=Halvern Linux Panic Dump\n     VER=1 TIM=1700000000 SIZ=40 HSZ=16 CS=c124(OK)\n" +
                  report("pdex", "readMetaHeader", "too small meta header size", "too small meta header size (40<64)"),
          2}},
        {"empty", Dump().truncateTo(0), {"pdex", "DUMP"},
         {"", report("pdex", "readMetaHeader", "error in fread for meta header"), 2}},
        {"short meta", Dump().truncateTo(63), {"pdex", "DUMP"},
         {"", report("pdex", "readMetaHeader", "error in fread for meta header"), 2}},
        {"id with a tail", Dump(Meta{.id = "Halvern Linux Panic Dumpster"}), {"pdex", "DUMP"},
         {"", report("pdex", "readMetaHeader", "Input not a panic_dump file"), 2}},
        {"meta checksum", Dump(Meta{.badChecksum = true}), {"pdex", "DUMP"},
         {"", report("pdex", "readMetaHeader", "Bad meta header checksum"), 2}},
        {"short extension", Dump(Meta{.siz = 100}).bytes("abc"), {"pdex", "DUMP"},
         {"", report("pdex", "readMetaHeader", "error in fread for extra of meta header"), 2}},
        {"header size", Dump(Meta{.hsz = 15}), {"pdex", "DUMP"},
         {"", report("pdex", "readMetaHeader", "too small header size", "too small header size (15<16)"), 2}},
        {"no end of dump", Dump(), {"pdex", "DUMP"}, {total(0), report("pdex", "readHeader", "error in fread for header"), 2}},
        {"header checksum", Dump().header(Header{.badChecksum = true}), {"pdex", "DUMP"},
         {total(0), report("pdex", "readHeader", "Bad header checksum"), 2}},
        {"magic", Dump().header(Header{.mag = "pX"}), {"pdex", "DUMP"},
         {total(0), report("pdex", "readHeader", "invalid header magic=", "invalid header magic=7058"), 2}},
        {"other save", Dump().header(Header{.tim = 1700000001}), {"pdex", "DUMP"},
         {total(0),
          report("pdex", "readHeader", "invalid save timestamp", "invalid save timestamp ref=1700000000 hdr=1700000001"), 2}},
        {"dsz over bsz", Dump().section(attr("a")).header(Header{.dsz = 11, .bsz = 10}), {"pdex", "DUMP"},
         {total(1), report("pdex", "readHeader", "Data size bigger than block size"), 2}},
        {"attr version", Dump().section(attr("v2", 0, 2)), {"pdex", "DUMP"},
         {total(1), report("pdex", "readAttr", "file format version mimatch"), 2}},
        {"short attr", Dump().section(attr("a")).truncateTo(64 + 16 + 20), {"pdex", "DUMP"},
         {total(1), report("pdex", "readAttr", "error in fread for attr"), 2}},
        {"unclosed section", Dump().section(attr("a")).section(attr("b")), {"pdex", "DUMP"},
         {total(1), report("pdex", "dopd", "Bad header type %.2s (pD", "Bad header type pH (pD expected)"), 2}},
        {"data between sections", Dump().section(attr("a")).endSection().data("x"), {"pdex", "DUMP"},
         {one + total(1), report("pdex", "dopd", "Bad header type %.2s (pH", "Bad header type pD (pH expected)"), 2}},
        {"after an end of section", Dump().section(attr("a")).endSection(), {"pdex", "DUMP"},
         {one + total(1), report("pdex", "readHeader", "error in fread for header"), 2}},
        {"a block past the end", Dump().section(attr("a")).holeData(0x80000000u, 1).truncateTo(300), {"pdex", "DUMP"},
         {total(1), report("pdex", "readHeader", "error in fread for header"), 2}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args(c.command.begin() + 1, c.command.end());
        std::replace(args.begin(), args.end(), std::string("DUMP"), file(c.dump));
        EXPECT_EQ(run(c.command[0], args), c.result) << c.title;
    }
}

// A copy is the bytes the walk checked, whichever way they move: kernel
// copies (stopping short or failing, so that reading and writing takes over),
// a pipe in or out, an output opened for appending. Messages never land in
// it, even where standard error starts closed.
TEST_F(Dumps, EveryWayOfCopyingGivesTheSameBytes)
{
    Dump complete = sampleDump(Meta{.hsz = 24, .extension = "extension bytes"});
    complete.section(attr("x")).header(Header{.extra = "12345678"}).endDump();
    Dump big, large = sampleDump(Meta{.extension = std::string(70000, 'e')}).endDump(),
              cutExtension = Dump(Meta{.siz = 64 + 70000}).bytes(std::string(100, 'e'));
    big.section(attr("big")).filledData(200000, 'z').endSection().endDump();
    Dump afterBlock = sampleDump();
    afterBlock.section(attr("a")).data("abc");
    const uint64_t sample = sampleDump().size(), cut = sampleDump().str().find("world") + 2;
    const std::string premature = report("pdcp", "dopd", "premature EOF");
    struct Copy {
        const char *title;
        Dump in;
        uint64_t copied; // how much of the input the copy holds
        std::string err;
        int status;
    };
    std::vector<Copy> cases = {
        {"complete, garbage after", Dump(complete).bytes("garbage"), complete.size(), "", 0},
        {"a large extension", large, large.size(), "", 0},
        {"cut inside a block", sampleDump().truncateTo(cut), cut, premature, 2},
        {"cut inside a large block", big.truncateTo(65537), 65537, premature, 2},
        {"cut inside a section header's block", sampleDump().section(attr("a")).truncateTo(sample + 30), sample + 30,
         premature, 2},
        {"cut after a block", afterBlock, afterBlock.size(),
         report("pdcp", "readHeader", "error in fread for header"), 2},
        {"a bad header after good records", sampleDump().header(Header{.badChecksum = true}), sample,
         report("pdcp", "readHeader", "Bad header checksum"), 2},
        {"a large extension cut short", cutExtension, cutExtension.size(),
         report("pdcp", "readMetaHeader", "error in fread for extra of meta header"), 2},
    };
    for (const Copy &c : cases) {
        const std::string in = file(c.in), bytes = c.in.str(), out = dir.path("out");
        const std::string copy = bytes.substr(0, c.copied);
        auto copied = [&](const Result &r) { return std::make_pair(r, harness::readFile(out)); };
        const auto wanted = std::make_pair(Result{"", c.err, c.status}, copy);
        for (const char *kernel : {"", "COPY_RANGE=0", "COPY_RANGE=1", "COPY_RANGE=-38"})
            EXPECT_EQ(copied(run("pdcp", {in, out}, Options{.env = {kernel}, .doubles = true})), wanted) << c.title << kernel;
        const auto calls = run("pdcp", {in, out}, Options{.doubles = true}).calls;
        EXPECT_NE(std::find(calls.begin(), calls.end(), "copy_file_range"), calls.end()) << c.title;
        EXPECT_EQ(copied(run("pdcp", {"-", out}, Options{.input = bytes, .trickle = 4099})), wanted) << c.title;
        EXPECT_EQ(run("pdcp", {in, "-"}), (Result{copy, c.err, c.status})) << c.title;
        EXPECT_EQ(copied(run("pdcp", {"-d", in, out}, Options{.closed = {2}})), std::make_pair(Result{"", "", c.status}, copy));
        dir.write("out", "head:");
        EXPECT_EQ(copied(run("pdcp", {in, "-"}, Options{.stdoutFile = out, .append = true})),
                  std::make_pair(Result{"", c.err, c.status}, "head:" + copy))
            << c.title;
    }
}

// Files in /proc report a size of 0 whatever they hold: the environment of a
// process started with the dump's bytes as its environment strings is one.
TEST_F(Dumps, ACopyDoesNotTrustTheSizeAFileReports)
{
    std::string bytes = sampleDump().endDump().bytes(std::string(1, '\0')).str();
    std::vector<char *> envp;
    for (size_t at = 0; at < bytes.size(); at += strlen(&bytes[at]) + 1)
        envp.push_back(&bytes[at]);
    envp.push_back(nullptr);
    pid_t holder = fork();
    if (holder == 0) {
        char sleep[] = "sleep", seconds[] = "60";
        char *argv[] = {sleep, seconds, nullptr};
        _exit(execve("/bin/sleep", argv, envp.data()));
    }
    std::string proc = "/proc/" + std::to_string(holder) + "/environ";
    for (int wait = 0; wait < 5000 && harness::readFile(proc) != bytes; ++wait)
        usleep(1000); // until the holder has started
    struct stat st;
    EXPECT_EQ(stat(proc.c_str(), &st) == 0 ? st.st_size : -1, 0);
    EXPECT_EQ(run("pdcp", {proc, dir.path("out")}), (Result{"", "", 0}));
    EXPECT_EQ(harness::readFile(dir.path("out")), bytes.substr(0, bytes.size() - 1));
    EXPECT_EQ(run("pdex", {proc, "regs"}), (Result{"r1=0\n", "", 0}));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

// Offsets and sizes are 64-bit on every build: a block of 4 GiB lists,
// extracts and copies on a 32-bit device too. The copy is real data: it goes
// to memory, where writing 4 GiB takes seconds, not minutes.
TEST_F(Dumps, SparseDumpsPast4GiB)
{
    Dump d;
    d.section(attr("big", 1)).holeData(0xFFFFFFF0u, 0xFFFFFFF0u).holeData(0x90000000u, 0x10).endSection();
    d.section(attr("tail", 2)).data("after 6 GiB").endSection().endDump();
    std::string p = file(d);
    EXPECT_EQ(run("pdex", {p}).out,
              kHeading + row("  1     2  4294967296     1", "big") + row("  2     1         11     2", "tail") + total(2));
    EXPECT_EQ(run("pdex", {p, "tail"}), (Result{"after 6 GiB", "", 0}));

    harness::TempDir shm(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    Dump four;
    four.section(attr("big")).holeData(0xFFFFFFF0u, 0xFFFFFFF0u).endSection().endDump();
    ASSERT_TRUE(four.write(shm.path("four")));
    ASSERT_EQ(run("pdcp", {shm.path("four"), shm.path("copy")}), (Result{"", "", 0}));
    auto tail = [&](const std::string &path) {
        std::string bytes(4096, '?');
        FILE *f = fopen(path.c_str(), "rb");
        fseeko(f, -static_cast<off_t>(bytes.size()), SEEK_END);
        bytes.resize(fread(bytes.data(), 1, bytes.size(), f));
        bytes += std::to_string(ftello(f));
        fclose(f);
        return bytes;
    };
    EXPECT_EQ(tail(shm.path("copy")), tail(shm.path("four")));
}

// Memory stays bounded whatever the input claims or holds, and running out
// of it is a message and a failure, never an abort: from the least address
// space the executable starts in, upwards.
TEST_F(Dumps, MemoryStaysBoundedAndRunningOutIsAReportedFailure)
{
    if (std::string why = harness::cannotLimitMemory(); !why.empty())
        GTEST_SKIP() << why;
    const Options limited{.addressSpace = 32 << 20};
    Dump big;
    big.section(attr("big")).holeData(0xFFFFFFF0u, 0xFFFFFFF0u).endSection();
    big.section(attr("tail")).data("after 4 GiB").endSection().endDump();
    EXPECT_EQ(run("pdex", {file(big), "tail"}, limited), (Result{"after 4 GiB", "", 0}));
    EXPECT_EQ(run("pdex", {file(Dump().section(attr("huge"), 0xFFFFFFF0u).truncateTo(200))}, limited),
              (Result{total(1), report("pdex", "readAttr", "error in fread for attr"), 2}));
    const std::string one = fixture::LockRecord{.text1 = "spin_lock"}.encode(), locks = dir.path("locks");
    FILE *f = fopen(locks.c_str(), "wb");
    for (int i = 0; i < 20000; ++i) // 44 MB, more than the limit
        fwrite(one.data(), 1, one.size(), f);
    fclose(f);
    EXPECT_EQ(run("syslockdump", {locks}, limited).out.size(), run("syslockdump", {dir.write("one", one)}).out.size() * 20000);

    size_t least = 1 << 20;
    while (least < (256 << 20) && run("pdcp", {}, Options{.addressSpace = least}).status != 1)
        least += 64 << 10;
    const std::string p = file(sampleDump().endDump());
    int reported = 0;
    for (std::vector<std::string> command : {std::vector<std::string>{"pdex", p}, {"pdex", p, "regs"}, {"pdcp", p, dir.path("out")}}) {
        const std::string tool = command[0];
        command.erase(command.begin());
        const Result done = run(tool, command), noMemory{"", report(tool, "dopd", "malloc failed"), 2};
        for (size_t limit = least; limit < least + (4 << 20); limit += 128 << 10) {
            Result r = run(tool, command, Options{.addressSpace = limit});
            reported += r == noMemory;
            EXPECT_TRUE(r == done || r == noMemory || (r.status == 1 && r.err.ends_with("Cannot allocate memory\n")))
                << limit << ": " << testing::PrintToString(r);
        }
    }
    EXPECT_GT(reported, 0);
    // pdmap's block list: a block size of 1 makes it four times the file's size.
    ASSERT_EQ(truncate(dir.write("map", "m").c_str(), 64 << 20), 0);
    EXPECT_EQ(run("pdmap", {dir.path("map")}, Options{.env = {"ATA_FIGETBSZ=1"}, .addressSpace = least + (64 << 20), .doubles = true}),
              (Result{"", "pdmap: malloc failed\n", 1}));
}

TEST_F(Dumps, RefusesToCopyADumpOntoItself)
{
    std::string p = file(sampleDump().endDump()), before = harness::readFile(p);
    ASSERT_EQ(link(p.c_str(), dir.path("hard").c_str()), 0);
    ASSERT_EQ(symlink(p.c_str(), dir.path("soft").c_str()), 0);
    for (std::string out : {p, dir.path("hard"), dir.path("soft"), dir.path("./dump")})
        EXPECT_EQ(run("pdcp", {p, out}), (Result{"", "pdcp: '" + p + "' and '" + out + "' are the same file\n", 1}));
    EXPECT_EQ(run("pdcp", {p, "-"}, Options{.stdoutFile = p}).status, 1);
    EXPECT_EQ(run("pdcp", {"-", p}, Options{.stdinFile = p}).status, 1);
    EXPECT_EQ(harness::readFile(p), before);
}

// A write that fails part way keeps what was written, reports the block and
// the reason, and fails: each way out, from a file and from a pipe.
TEST_F(Dumps, AWriteThatFailsInsideABlockStopsTheWalk)
{
    Dump d;
    d.section(attr("big")).filledData(1 << 20, 'z').endSection().endDump();
    const std::string p = file(d), out = dir.path("out"), bytes = d.str();
    auto into = [&](const Result &r) { return std::make_pair(r, harness::readFile(out)); };
    auto tooLarge = [&](const std::string &tool, const std::string &name) {
        return Result{"", report(tool, "dopd", "fwrite failed for block.") + tool + ": error writing " + name + ": File too large\n", 2};
    };
    const std::string head = bytes.substr(0, 100000);
    EXPECT_EQ(into(run("pdcp", {p, out}, Options{.fileSize = 100000})), std::make_pair(tooLarge("pdcp", out), head));
    EXPECT_EQ(into(run("pdcp", {"-", out}, Options{.input = bytes, .fileSize = 100000})), std::make_pair(tooLarge("pdcp", out), head));
    // The block fits the input's buffer: it is gathered whole and fails when written out at the end.
    EXPECT_EQ(into(run("pdex", {p, "big"}, Options{.stdoutFile = out, .fileSize = 100000})),
              std::make_pair(Result{"", "pdex: error writing standard output: File too large\n", 2}, std::string(100000, 'z')));
    EXPECT_EQ(run("pdcp", {p, "/dev/full"}),
              (Result{"", report("pdcp", "dopd", "fwrite failed for block.") + "pdcp: error writing /dev/full: No space left on device\n", 2}));
}

} // namespace
