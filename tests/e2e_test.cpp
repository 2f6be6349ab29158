// Every tool end to end under its own names: exact output and status; doubles stand in where a test says so.
#include <climits>
#include <functional>
#include <map>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <regex>
#include <sched.h>
#include <set>
#include <span>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <tuple>

#include "dumpmap.h"
#include "fixture/fixture.h"
#include "harness.h"

using namespace fixture;
using namespace harness;

namespace {

constexpr const char *kHeading = "Sec  Blks  Data size  Prio  Created                   Name\n";
constexpr const char *kMetaTrace = "META HEADER:ID=Halvern Linux Panic Dump\n"
                                   "     VER=1 TIM=1700000000 SIZ=64 HSZ=16 CS=c14c(OK)\n";

const std::string kLogOpen = "evlog_open chassis 0 trelkit", kLogClose = "evlog_close";

Attr attr(std::string name, int16_t pri = 0, int32_t ver = 1)
{
    return Attr{std::move(name), kDefaultTime - 10, 0, ver, pri};
}

Result ok(std::string out, std::string err = "")
{
    return {std::move(out), std::move(err), 0};
}

std::string total(int sections)
{
    return "Total " + std::to_string(sections) + " sections saved for kernel panic at Tue Nov 14 22:13:20 2023\n";
}

std::string row(const char *columns, const std::string &name)
{
    return std::string(columns) + "  Tue Nov 14 22:13:10 2023  " + name + "\n";
}

// A command line's words.
std::vector<std::string> words(const std::string &line)
{
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), {}};
}

// Two sections: "console" with two blocks (one with filler), "regs" with one.
Dump sampleDump(Meta meta = {})
{
    Dump d(std::move(meta));
    d.section(attr("console", 1)).data("hello ", 10).data("world\n").endSection();
    d.section(attr("regs", -2)).data("r1=0\n").endSection();
    return d;
}

LockRecord sampleRecord(bool frames = true)
{
    LockRecord r{0x1234, "spin_lock", "mutexA", "held", "CPU0", 0xc0ffee00, 5, 42, 412, "ipsecd", -1, 3, 1};
    if (frames) // the frames after the first of address 0 are not printed
        r.frames = {{0xc0012345, "do_panic", "", 0x10, 0x200},
                    {0xc0055555, "", "ignored", 1, 2},
                    {0xd0001000, "mod_fn", "mymod", 0, 0x40},
                    {},
                    {0xd0002000, "after_end", "", 0, 0x40}};
    return r;
}

const std::string kSampleRecord = "CPU0             spin_lock            mutexA           held            \n"
                                  "ID[0x1234] TIME[5.42] CPU[3] TASKP[0xc0ffee00]\n"
                                  "PID[412(ipsecd)] PREEMPT_COUNT[-1] IRQS_DISABLED[1]\n>\n"
                                  "> 0xc0012345: do_panic+0x10/0x200\n"
                                  "> 0xc0055555\n"
                                  "> 0xd0001000: mod_fn+0/0x40 [mymod]\n\n";

// A test's own directory, and dumps written into it, holes kept.
class EndToEnd : public ::testing::Test {
protected:
    TempDir dir;
    std::string file(const Dump &d, const std::string &name = "dump")
    {
        EXPECT_TRUE(d.write(dir.path(name)));
        return dir.path(name);
    }
};

// Every operation on whole dumps and on dumps each reader refuses: the walk ends at the first failure, and a list still
// prints its summary. Each runs in 32 MiB of address space (where a limit binds the tool), whatever the dump claims.
TEST_F(EndToEnd, ListExtractTimeStampAndEveryReaderFailure)
{
    const std::string name31(31, 'n'), one = kHeading + row("  1     0          0     0", "a");
    Dump twice = sampleDump(), longName, full, sparse; // offsets and sizes are 64-bit on every build
    sparse.section(attr("big", 1)).holeData(0xFFFFFFF0u, 0xFFFFFFF0u).holeData(0x90000000u, 0x10).endSection();
    sparse.section(attr("tail", 2)).data("after 6 GiB").endSection().endDump();
    twice.section(attr("console")).data("again").endSection().endDump();
    longName.section(attr(name31 + "X")).data("long").endSection().endDump();
    full.section(attr("old", 0, -1)).header(Header{.dsz = 4, .bsz = 4}).bytes("abcd").data("", 8).endSection();
    const std::string section = "HEADER:MAG=pH TIM=1700000000 BSZ=46 DSZ=0 CS=e435(good)\n",
                      end = "HEADER:MAG=pD TIM=1700000000 BSZ=0 DSZ=0 CS=e417(good)\n",
                      traced = kMetaTrace + section + "ATTR:TIM=1699999990 VER=1 SIZ=7 PRI=3\n" +
                               "HEADER:MAG=pD TIM=1700000000 BSZ=2 DSZ=2 CS=e417(good)\n" + end + end,
                      tooSmall = "META HEADER:ID=Halvern Linux Panic Dump\n     VER=1 TIM=1700000000 SIZ=40 HSZ=16 "
                                 "CS=c124(OK)\n" +
                                 report("pdex", "readMetaHeader", "too small meta header size (%d<%d)",
                                        "too small meta header size (40<64)");
    auto fails = [](std::string out, const char *reader, std::string_view needle, std::string_view rendered = {}) {
        return Result{std::move(out), report("pdex", reader, needle, rendered), 2};
    };
    struct Case {
        const char *title;
        Dump dump;
        Result result;
        std::string command = "pdex DUMP"; // words; DUMP stands for the dump's path
    } cases[] = {
        {"list", sampleDump().endDump(),
         ok(kHeading + row("  1     2         12     1", "console") + row("  2     1          5    -2", "regs") +
            total(2))},
        {"no sections", Dump().endDump("pH"), ok(total(0))},
        {"after an extension of 70,000 bytes", sampleDump(Meta{.extension = std::string(70000, 'e')}).endDump(),
         ok("r1=0\n"), "pdex DUMP regs"},
        {"31 characters", longName, ok(kHeading + row("  1     1          4     0", name31) + total(1))},
        {"every match, data only", twice, ok("hello world\nagain"), "pdex DUMP console"},
        {"a 31-character name", longName, ok("long"), "pdex DUMP " + name31},
        {"DSZ equal to BSZ, VER -1", full.endDump(), ok("abcd"), "pdex DUMP old"},
        {"past 4 GiB", sparse,
         ok(kHeading + row("  1     2  4294967296     1", "big") + row("  2     1         11     2", "tail") +
            total(2))},
        {"after 6 GiB", sparse, ok("after 6 GiB"), "pdex DUMP tail"},
        {"no such name", twice, {"", "", 2}, "pdex DUMP Console"},
        {"time stamp, HSZ printable", Dump(Meta{.savedFor = "sixteen chars!!!", .hsz = 0x4110}).bytes("damaged"),
         ok("1700000000 sixteen chars!!! Tue Nov 14 22:13:20 2023\n"), "pdcp DUMP"},
        {"trace in file order, option last",
         Dump().section({"a", kDefaultTime - 10, 7, 1, 3}).data("xy").endSection().endDump(),
         ok(kHeading + row("  1     1          2     3", "a") + total(1), traced), "pdex DUMP -d"},
        {"a copy traces no attribute record", Dump().section(attr("a")).endSection().endDump(),
         ok("", kMetaTrace + section + end + end), "pdcp -d DUMP /dev/null"},
        {"an attribute block shorter than its record",
         Dump().section(attr("c", 7), 10).data("x").endSection().endDump(),
         ok(kHeading + std::string("  1     1          1     0  Thu Jan  1 00:00:00 1970  c\n") + total(1))},
        {"trace before the check that follows it", Dump(Meta{.siz = 40}), {"", tooSmall, 2}, "pdex -d DUMP"},
        {"id with a tail", Dump(Meta{.id = "Halvern Linux Panic Dumpster"}),
         fails("", "readMetaHeader", "Input not a panic_dump file")},
        {"meta checksum", Dump(Meta{.badChecksum = true}), fails("", "readMetaHeader", "Bad meta header checksum")},
        {"short extension", Dump(Meta{.siz = 100}).bytes("abc"),
         fails("", "readMetaHeader", "error in fread for extra of meta header")},
        {"header size", Dump(Meta{.hsz = 15}),
         fails("", "readMetaHeader", "too small header size (%d<%d)", "too small header size (15<16)")},
        {"no end of dump", Dump(), fails(total(0), "readHeader", "error in fread for header")},
        {"header checksum", Dump().header(Header{.badChecksum = true}),
         fails(total(0), "readHeader", "Bad header checksum")},
        {"magic", Dump().header(Header{.mag = "pX"}),
         fails(total(0), "readHeader", "invalid header magic=%02x%02x", "invalid header magic=7058")},
        {"other save", Dump().header(Header{.tim = 1700000001}),
         fails(total(0), "readHeader", "invalid save timestamp ref=%d hdr=%d",
               "invalid save timestamp ref=1700000000 hdr=1700000001")},
        {"dsz over bsz", Dump().section(attr("a")).header(Header{.dsz = 11, .bsz = 10}),
         fails(total(1), "readHeader", "Data size bigger than block size")},
        {"attr version", Dump().section(attr("v2", 0, 2)), fails(total(1), "readAttr", "file format version mimatch")},
        {"short attr", Dump().section(attr("a")).truncateTo(64 + 16 + 20),
         fails(total(1), "readAttr", "error in fread for attr")},
        {"unclosed section", Dump().section(attr("a")).section(attr("b")),
         fails(total(1), "dopd", "Bad header type %.2s (pD expected)", "Bad header type pH (pD expected)")},
        {"data between sections", Dump().section(attr("a")).endSection().data("x"),
         fails(one + total(1), "dopd", "Bad header type %.2s (pH expected)", "Bad header type pD (pH expected)")},
        {"after an end of section", Dump().section(attr("a")).endSection(),
         fails(one + total(1), "readHeader", "error in fread for header")},
        {"an attribute of 4 GiB", Dump().section(attr("huge"), 0xFFFFFFF0u).truncateTo(200),
         fails(total(1), "readAttr", "error in fread for attr")},
        {"a block past the end", Dump().section(attr("a")).holeData(0x80000000u, 1).truncateTo(300),
         fails(total(1), "readHeader", "error in fread for header")},
    };
    const Options limited{.addressSpace = cannotRun({.addressSpace = 1}).empty() ? size_t{32} << 20 : 0};
    for (const Case &c : cases) {
        std::vector<std::string> args = words(c.command);
        std::ranges::replace(args, std::string("DUMP"), file(c.dump));
        EXPECT_EQ(run(args[0], {args.begin() + 1, args.end()}, limited), c.result) << c.title;
        if (c.result.status == 0 && args[0] == "pdex") { // nothing to salvage: the plain command's result
            args.insert(args.begin() + 1, "--salvage");
            EXPECT_EQ(run(args[0], {args.begin() + 1, args.end()}, limited), c.result) << c.title << " salvaged";
        }
    }
}

// A copy is the bytes the walk checked, whichever way they move: kernel copies or none, an input that cannot be read
// at an offset or reports a size of 0 (as /proc does), pipes, writes that take part of what they are given, an output
// appended to. Messages never land in it, even where standard error starts closed. An input cut under the kernel's
// copy never passes for a good copy; 4 GiB copy on 32 bits too.
TEST_F(EndToEnd, EveryWayOfCopyingGivesTheSameBytes)
{
    // many: more small pieces than a gathered write holds
    Dump complete = sampleDump(Meta{.hsz = 24, .extension = "extension bytes"}), many;
    complete.section(attr("x")).header(Header{.extra = "12345678"}).endDump().bytes("garbage");
    many.section(attr("m"));
    for (int i = 0; i < 300; ++i)
        many.data(std::string(400, static_cast<char>('a' + i % 26)));
    many.endSection().endDump();
    Dump runs; // longer than a run keeps headers for
    runs.section(attr("r"));
    for (int i = 0; i < 1030; ++i)
        runs.holeData(65536, 65536);
    runs.endSection().endDump();
    const std::string premature = report("pdcp", "dopd", "premature EOF");
    struct Copy {
        const char *title;
        Dump in;
        std::string err = ""; // and status 2
        size_t dropped = 0;   // bytes at the end of the input that the copy leaves out
        long kernel = 0;      // at most this many kernel copies, at least one: a run of large blocks is one
    };
    std::vector<Copy> cases = {
        {"complete, garbage after", complete, "", 7},
        {"many small blocks", many},
        {"a large block", Dump().section(attr("big")).filledData(200000, 'z').endSection().endDump(), "", 0, 1},
        {"cut inside a large block", Dump().section(attr("big")).filledData(200000, 'z').truncateTo(165537), premature},
        {"a bad header after good records", sampleDump().header(Header{.badChecksum = true}),
         report("pdcp", "readHeader", "Bad header checksum"), 16},
    };
    for (const Copy &c : cases) {
        const std::string in = file(c.in), bytes = c.in.str(), out = dir.path("out");
        const std::string copy = bytes.substr(0, bytes.size() - c.dropped);
        const int status = c.err.empty() ? 0 : 2;
        auto copied = [&](const Result &r) { return std::make_pair(r, readFile(out)); };
        const auto wanted = std::make_pair(Result{"", c.err, status}, copy);
        for (const char *quirk :
             {"", "COPY_RANGE=-38", "PREAD_ESPIPE=1", "FSTAT_SIZE=0"})
            EXPECT_EQ(copied(run("pdcp", {in, out}, Options{.env = {quirk, "WRITEV_STEP=5000"}, .doubles = true})),
                      wanted)
                << c.title << quirk;
        auto inKernel = [&](const Result &r) {
            const long n = std::ranges::count(r.calls, "copy_file_range copied");
            return (n > 0) == (c.kernel > 0) && n <= c.kernel;
        };
        EXPECT_TRUE(inKernel(run("pdcp", {in, out}, Options{.doubles = true}))) << c.title;
        const Options pipe{.input = bytes, .env = {"READ_STEP=4099", "WRITEV_STEP=1000"}, .doubles = true};
        EXPECT_EQ(copied(run("pdcp", {"-", out}, pipe)), wanted) << c.title;
        const Result fromStdin = run("pdcp", {"-", out}, Options{.stdinFile = in, .doubles = true});
        EXPECT_EQ(copied(fromStdin), wanted) << c.title; // a regular file on descriptor 0 is copied as any
        EXPECT_TRUE(inKernel(fromStdin)) << c.title;
        const Result toPipe = run("pdcp", {in, "-"});
        EXPECT_EQ(std::pair(toPipe, toPipe.pipeSize), std::pair(Result{copy, c.err, status}, 1 << 20)) << c.title;
        if (const Options closed{.closed = {2}}; runnable(closed, c.title)) {
            EXPECT_EQ(copied(run("pdcp", {"-d", in, out}, closed)), std::make_pair(Result{"", "", 2}, copy));
        }
        dir.write("out", "head:");
        EXPECT_EQ(copied(run("pdcp", {in, "-"}, Options{.stdoutFile = out, .append = true})),
                  std::make_pair(Result{"", c.err, status}, "head:" + copy))
            << c.title;
    }
    const std::string out = dir.path("out");
    const Result two = run("pdcp", {file(runs, "runs"), out}, Options{.doubles = true});
    EXPECT_EQ(std::tuple(two, std::ranges::count(two.calls, "copy_file_range copied"), readFile(out) == runs.str()),
              std::tuple(ok(""), 2, true));
    // A run cut as the kernel begins (a read then gets 0), also just before a held header and in the last run, after
    // the walk has ended: the copy ends there.
    for (auto [change, cut] : {std::pair{"COPY_SCRIBBLE=-9000", 9000}, {"COPY_SCRIBBLE=-65670", 65670}}) {
        const Result r = run("pdcp", {file(runs, "runs"), out}, {.env = {"COPY_RANGE=-5", change}, .doubles = true});
        EXPECT_EQ(std::make_pair(r, readFile(out)), std::make_pair(Result{"", premature, 2}, runs.str().substr(0, cut)));
    }
    // Real data, to memory, where writing 4 GiB takes seconds, not minutes.
    TempDir shm(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    ASSERT_TRUE(
        Dump().section(attr("big")).holeData(0xFFFFFFF0u, 0xFFFFFFF0u).endSection().endDump().write(shm.path("4")));
    ASSERT_EQ(run("pdcp", {shm.path("4"), shm.path("copy")}), ok(""));
    const std::string both = " " + shm.path("4") + " " + shm.path("copy"); // their zeros aside: the ends, and the size
    EXPECT_EQ(system(("cmp -s -n 65536" + both + " && cmp -s -i 4294901760" + both).c_str()), 0);
}

// Memory stays bounded whatever the input holds, and running out of it is a message and a failure, never an abort: from
// the least address space the executable starts in, upwards.
TEST_F(EndToEnd, MemoryStaysBoundedAndRunningOutIsAReportedFailure)
{
    if (std::string why = cannotRun({.addressSpace = 1}); !why.empty())
        GTEST_SKIP() << why;
    const Options limited{.addressSpace = 32 << 20};
    std::string locks; // 44 MB of lock records, more than the limit
    while (locks.size() < 20000 * kLockRecordSize)
        locks += sampleRecord().encode();
    EXPECT_EQ(run("syslockdump", {dir.write("locks", locks)}, limited).out.size(), 20000 * kSampleRecord.size());

    size_t least = 1 << 20;
    while (least < (256 << 20) && run("pdcp", {}, Options{.addressSpace = least}).status != 1)
        least += 64 << 10;
    // Every tool that walks a dump takes its buffer in the same place: a copy stands for them all.
    const std::vector<std::string> copy = {file(sampleDump().endDump()), dir.path("out")};
    const Result noMemory{"", report("pdcp", "dopd", "malloc failed"), 2};
    int reported = 0;
    for (size_t limit = least; limit < least + (4 << 20); limit += 128 << 10) {
        Result r = run("pdcp", copy, Options{.addressSpace = limit});
        reported += r == noMemory;
        EXPECT_TRUE(r == ok("") || r == noMemory || (r.status == 1 && r.err.ends_with("Cannot allocate memory\n")))
            << limit << ": " << testing::PrintToString(r);
    }
    EXPECT_GT(reported, 0);
    // pdmap's block list: a block size of 1 makes it four times the file's size (its holes go unseen without FIEMAP).
    ASSERT_EQ(truncate(dir.write("map", "m").c_str(), 64 << 20), 0);
    EXPECT_EQ(
        run("pdmap", {dir.path("map")},
            Options{.env = {"ATA_FIGETBSZ=1", "FIEMAP_ERRNO=95"}, .addressSpace = least + (64 << 20), .doubles = true}),
        (Result{"", "pdmap: malloc failed\n", 1}));
}

// A write that fails part way keeps what was written, reports the block or header and the reason, and fails: each way
// out, from a file and from a pipe.
TEST_F(EndToEnd, AWriteThatFailsStopsTheWalk)
{
    const Dump d = Dump().section(attr("big")).filledData(1 << 20, 'z').endSection().endDump();
    const std::string p = file(d), out = dir.path("out"), bytes = d.str();
    auto into = [&](const Result &r) { return std::make_pair(r, readFile(out)); };
    auto failed = [](const std::string &tool, const std::string &name, const char *why, const char *what) {
        const std::string where =
            what ? report(tool, "dopd", "fwrite failed for %s.", "fwrite failed for " + std::string(what)) : "";
        return Result{"", where + tool + ": error writing " + name + ": " + why + "\n", 2};
    };
    EXPECT_EQ(into(run("pdcp", {p, out}, Options{.fileSize = 100000})),
              std::make_pair(failed("pdcp", out, "File too large", "block."), bytes.substr(0, 100000)));
    // However much of a block went out before the write failed, one line says so.
    for (size_t limit : {1, 100000}) {
        dir.write("out", "");
        EXPECT_EQ(
            into(run("pdex", {p, "big"}, Options{.stdoutFile = out, .fileSize = limit})),
            std::make_pair(failed("pdex", "standard output", "File too large", nullptr), std::string(limit, 'z')));
    }
    // Here the second block's header (from byte 70142), gathered from a pipe.
    const Dump two = Dump().section(attr("two")).filledData(70000, 'a').filledData(70000, 'b').endSection().endDump();
    EXPECT_EQ(into(run("pdcp", {"-", out}, Options{.input = two.str(), .fileSize = 70142})),
              std::make_pair(failed("pdcp", out, "File too large", "header."), two.str().substr(0, 70142)));
}

std::string flipped(std::string bytes, size_t at)
{
    bytes[at] = static_cast<char>(~bytes[at]);
    return bytes;
}

std::string without(std::string bytes, size_t from, size_t to)
{
    return bytes.erase(from, to - from);
}

// Three sections, filler, headers of 20 bytes, an extension, and a block large enough to move inside the kernel.
Dump threeSections()
{
    Dump d(Meta{.hsz = 20, .extension = "ext"});
    d.section(attr("one", 1)).data("first", 5).data("second").endSection();
    d.section(attr("two", 2)).filledData(100000, 'z', 3).endSection();
    d.section(attr("three")).endSection().endDump();
    return d;
}

// A dump cut a byte either side of any record edge (a header's start, a block's start and end) gives the same status,
// messages and bytes from every operation, whichever way they come and go: from a file or a pipe, a file that reports
// no size or a device that cannot be read at an offset, into a file or a pipe. A copy holds everything before the cut
// but a header the cut leaves short.
TEST_F(EndToEnd, ADumpCutAnywhereGivesTheSameResultEveryWay)
{
    const std::string whole = threeSections().str(), in = dir.path("in"), out = dir.path("out");
    const bool thorough = runner().empty();         // under an emulator or valgrind: fewer cuts and ways
    // In the meta header and in its extension, in the last header, and none; then around each header and its block.
    std::set<size_t> cuts = {10, 66, whole.size() - 1, whole.size()};
    const Dump three = threeSections();
    for (const uint64_t header : three.headers())
        for (size_t edge : {header, header + 20})
            for (size_t cut : {edge - 1, edge, edge + 1})
                if (cut < whole.size() && (thorough || cut != edge))
                    cuts.insert(cut);
    struct Way {
        const char *title, *in, *out; // "-": standard input or output
        std::vector<std::string> env = {};
    };
    // A pipe giving 7 bytes a read gives 1 at some ends.
    // clang-format off
    const Way ways[] = {{"file to file", "IN", "OUT"}, {"pipe to pipe", "-", "-", {"READ_STEP=7"}},
                        {"a size of 0", "IN", "OUT", {"FSTAT_SIZE=0"}}, {"file to pipe", "IN", "-"},
                        {"pipe to file", "-", "OUT"}, {"no pread", "IN", "OUT", {"PREAD_ESPIPE=1"}}};
    // clang-format on
    const std::vector<std::string> commands[] = {{"pdex", "IN"}, {"pdex", "IN", "two"}, {"pdcp", "IN", "OUT"}};
    for (size_t cut : cuts) {
        const std::string bytes = whole.substr(0, cut);
        dir.write("in", bytes);
        for (const std::vector<std::string> &command : commands) {
            std::optional<Result> first;
            for (const Way &w : std::span(ways).first(thorough ? std::size(ways) : 3)) {
                std::vector<std::string> args = command;
                std::ranges::replace(args, std::string("IN"), *w.in == '-' ? "-" : in);
                std::ranges::replace(args, std::string("OUT"), *w.out == '-' ? "-" : out);
                const bool toFile = *w.out != '-';
                dir.write("out", "");
                Result r = run(args[0], {args.begin() + 1, args.end()},
                               {.input = *w.in == '-' ? bytes : "",
                                .stdoutFile = toFile ? std::optional(out) : std::nullopt,
                                .env = cut < 1000 || *w.in != '-' ? w.env : std::vector<std::string>{},
                                .doubles = !w.env.empty()});
                r.out = toFile ? readFile(out) : r.out;
                EXPECT_EQ(r.status, cut == whole.size() ? 0 : 2) << cut << " " << w.title;
                first = first.value_or(r);
                EXPECT_EQ(r, *first) << "cut at " << cut << ": " << args[0] << " " << args.size() << ", " << w.title;
            }
            const size_t kept = first->out.size(); // a copy leaves out no more than a header cut short
            EXPECT_TRUE(command[0] != "pdcp" || (bytes.starts_with(first->out) && cut - kept < (cut < 64 ? 64u : 20u)))
                << cut;
        }
    }
}

// Damage of each kind at each record header in turn: every section the damage does not touch lists and extracts as in
// the intact dump, and a salvaged copy is a dump the plain walk accepts, in which those sections list as before.
TEST_F(EndToEnd, SalvageRecoversEverySectionTheDamageDoesNotTouch)
{
    const std::string whole = threeSections().str(), damaged = dir.path("damaged"), out = dir.path("out");
    const std::vector<uint64_t> records = threeSections().headers();
    // Each section's name, and its records: the section header to the end-of-section header.
    const std::tuple<std::string, size_t, size_t> sections[] = {{"one", 0, 3}, {"two", 4, 6}, {"three", 7, 8}};
    const std::string intact = file(threeSections(), "intact"), listed = run("pdex", {intact}).out;
    auto rowOf = [&](const std::string &name) { // a section's row, without its number
        std::istringstream lines(listed);
        for (std::string line; std::getline(lines, line);)
            if (line.ends_with("  " + name))
                return line.substr(5) + "\n";
        return std::string("no row");
    };
    // The same header, of another time stamp: the stamp's last byte flips, and the checksum's with it.
    auto otherSave = [](std::string b, size_t at) { return flipped(flipped(b, at + 3), at + 15); };
    const std::pair<const char *, std::function<std::string(std::string, size_t)>> kinds[] = {
        {"garbage before it", [](std::string b, size_t at) { return b.insert(at, 37, 'Z'); }},
        {"bytes deleted", [](std::string b, size_t at) { return b.erase(at + 2, 7); }},
        {"overwritten", [](std::string b, size_t at) { return b.replace(at, 16, 16, '#'); }},
        {"another save's", otherSave},
        {"cut", [](std::string b, size_t at) { return b.substr(0, std::min(at + 25, b.size() - 1)); }}, // in a block
        // Bytes 16 to 19 of a header carry no checksum; two flips of one bit in two words keep one.
        {"a carried byte lost", [](std::string b, size_t at) { return b.erase(at + 18, 1); }},
        {"a carried byte gained", [](std::string b, size_t at) { return b.insert(at + 18, 1, 'G'); }},
        {"DSZ and BSZ bytes flipped", [](std::string b, size_t at) { return flipped(flipped(b, at + 7), at + 11); }},
        {"BSZ 4 GiB off", [](std::string b, size_t at) { return flipped(flipped(b, at + 8), at + 10); }},
    };
    for (size_t r = 0; r < records.size(); r += runner().empty() ? 1 : 2) {
        for (const auto &[kind, apply] : kinds) {
            if (r + 1 == records.size() && std::string_view(kind) == "a carried byte gained")
                continue; // after the end-of-dump header: no damage
            const std::string where = std::string(kind) + " header " + std::to_string(r);
            dir.write("damaged", apply(whole, records[r]));
            const Result list = run("pdex", {"--salvage", damaged}), copy = run("pdcp", {"--salvage", damaged, out}),
                         copyList = run("pdex", {out});
            EXPECT_EQ(std::tuple(list.status, copy.status, copyList.status), std::tuple(2, 2, 0)) << where;
            // What a salvage lists is what its copy holds.
            EXPECT_EQ(std::regex_replace(list.out, std::regex(" \\(damaged\\)"), ""), copyList.out) << where;
            for (const auto &[name, first, last] : sections) {
                if (std::string(kind) == "cut" ? last >= r : first <= r && r <= last)
                    continue; // touched
                EXPECT_NE(list.out.find(rowOf(name)), std::string::npos) << where << ": " << name;
                EXPECT_EQ(run("pdex", {"--salvage", damaged, name}),
                          (Result{run("pdex", {intact, name}).out, list.err, 2}))
                    << where << ": " << name;
                // A pipe looks back within its buffer, but cannot look inside a block and come back.
                if (std::string_view(kind).starts_with("a carried byte")) {
                    EXPECT_NE(run("pdex", {"--salvage", "-"}, {.input = readFile(damaged)}).out.find(rowOf(name)),
                              std::string::npos) << where << ": " << name << " from a pipe";
                }
            }
        }
    }
}

constexpr const char *kPdexUsage = "Usage: pdex file [name]\n\tExtract panic data \"name\" from \"file\" to stdout\n"
                                   "\tOr list panic data in \"file\"\n";
constexpr const char *kPdcpUsage = "Usage: pdcp infile [outfile]\n\tCopy panic data from \"infile\" to "
                                   "\"outfile\"\n\tOr print time stamp of panic data in \"infile\"\n";

// A wrapped capture as catconsole prints it: the head, then the ring from its oldest byte.
std::string wrapped(const std::string &head, const std::string &ring)
{
    return "\n=============  START OF HEAD  =========================\n" + head +
           "\n=============    END OF HEAD  & START OF TAIL =========\n" + ring +
           "\n=============  END OF TAIL    =========================\n";
}

std::string capture(int32_t dataEnd, int32_t headLen, int32_t writePos, int32_t wrapped, std::string text)
{
    return Console{0xA1B2CCFF, dataEnd, headLen, writePos, wrapped, std::move(text)}.encode();
}

// Names a tool starts under, wrong operands, files that cannot be opened, output that cannot be written; names in a
// dump reach a terminal with their bytes outside printable ASCII as '?', a file or a pipe byte for byte.
TEST_F(EndToEnd, StartsAndFailuresOfEveryTool)
{
    const std::string dump = dir.write("dump", Dump().endDump().str()), missing = dir.path("missing"),
                      sample = file(sampleDump().endDump(), "sample"),
                      console = dir.write("console", capture(0, 0, 4, 0, "text")),
                      lock = dir.write("lock", sampleRecord().encode()), folder = dir.path(""), self = dir.path("x"),
                      named = file(Dump(Meta{.savedFor = "for\x1b]0;x\x07"}).section(attr("esc\x1b[2J\x07"))
                                       .endSection().endDump(), "n");
    ASSERT_EQ(symlink(TRELKIT_BUILD_DIR "/trelkit", self.c_str()) + link(dump.c_str(), dir.path("hard").c_str()) +
                  symlink(dump.c_str(), dir.path("soft").c_str()),
              0);
    const std::string before = readFile(dump), sameCopy = "' are the same file\n",
                      same = ": input file is output file\n";
    const Options full{.stdoutFile = "/dev/full"}, closed{.closed = {1}};
    const std::string noSpace = ": error writing standard output: No space left on device\n",
                      badFd = ": error writing standard output: Bad file descriptor\n",
                      metaHeader = report("pdcp", "dopd", "fwrite failed for %s.", "fwrite failed for meta header."),
                      objectdumpUsage = "Usage: objectdump [one-input-file]\n       use stdin if input-file omitted\n";
    std::string names, usage = "Usage: trelkit TOOL [ARG...]\n       trelkit --list | --version | --help\n"
                               "Runs TOOL as if started under its name. Tools:\n";
    for (const std::string &name : toolNames()) {
        names += name + "\n";
        usage += "  " + name + "\n";
    }
    auto errloginfoUsage = [](const std::string &name) {
        return Result{"usage:\n" + name + ": [-t (if trap required)] \"log string\"\n", "", 1};
    };
    auto listed = [](const std::string &name, const std::string &saved) {
        return ok(kHeading + row("  1     0          0     0", name) + "Total 1 sections saved for " + saved +
                  " at Tue Nov 14 22:13:20 2023\n");
    };
    auto unknown = [](const char *name) { // a name no tool has: a dump on stdin
        return report(name, "readMetaHeader", "error in fread for meta header");
    };
    // A tool in bin/, or with Options::argv0 the executable under that name; arguments; how it runs; the result.
    // clang-format off
    const std::vector<std::tuple<std::string, std::vector<std::string>, Options, Result>> cases = {
        {self, {}, {.argv0 = "/usr/sbin/PDMAP"}, {"Usage: pdmap <name of map file>\n", "", 1}},
        {self, {}, {.argv0 = "my_syslockdump_v2"}, {"Usage: syslockdump [one-input-file]\n", "", 1}},
        {self, {"ignored"}, {.argv0 = "PDEX"}, {"", unknown("PDEX"), 2}},
        {self, {}, {.argv0 = "dir/"}, {"", unknown(""), 2}},
        {self, {"-q"}, {.argv0 = "other"}, {"", "other: invalid option -- 'q'\nUsage: other \n", 1}},
        {self, {"--salvage"}, {.argv0 = "other"}, {"", "other: unrecognized option '--salvage'\nUsage: other \n", 1}},
        {"pdcp", {"--check", dump}, {}, {"", "pdcp: unrecognized option '--check'\n" + std::string(kPdcpUsage), 1}},
        {self, {"--list"}, {.argv0 = "/usr/bin/trelkit"}, ok(names)},
        {self, {"--version"}, {.argv0 = "trelkit"}, ok("trelkit " TRELKIT_VERSION "\n")},
        {self, {"--help"}, {.argv0 = "trelkit"}, ok(usage)},
        {self, {"-h"}, {.argv0 = "trelkit"}, ok(usage)},
        {self, {}, {.argv0 = "trelkit"}, {"", usage, 1}},
        {self, {"pdx"}, {.argv0 = "trelkit"}, {"", "trelkit: unknown tool 'pdx'\n", 127}},
        {self, {"pdcp"}, {.argv0 = "trelkit"}, {"", std::string("Too few or too many arguments\n") + kPdcpUsage, 1}},
        {self, {"errloginfo"}, {.argv0 = "trelkit"}, errloginfoUsage("errloginfo")},
        {self, {"-t"}, {.argv0 = "/opt/errloginfo"}, errloginfoUsage("/opt/errloginfo")},
        {self, {"syslockdump", "-"}, {.input = sampleRecord().encode(), .argv0 = "trelkit"}, ok(kSampleRecord)},
        {"pdex", {"--help", dump}, {}, {"", "pdex: unrecognized option '--help'\n" + std::string(kPdexUsage), 1}},
        {"pdmap", {"--dry-run"}, {}, {"", "pdmap: open of map file failed: No such file or directory\n", 1}},
        {"pdmap", {"--pin", "--dry", "x"}, {}, {"Usage: pdmap <name of map file>\n", "", 1}},
        {self, {"--list"}, {.stdoutFile = "/dev/full", .argv0 = "trelkit"}, {"", "trelkit" + noSpace, 1}},
        {self, {"--list"}, {.closed = {1}, .argv0 = "trelkit"}, {"", "trelkit" + badFd, 1}},
        {"pdex", {"-x", dump}, {}, {"", "pdex: invalid option -- 'x'\n" + std::string(kPdexUsage), 1}},
        {"pdex", {}, {}, {"", std::string("Too few or too many arguments\n") + kPdexUsage, 1}},
        {"pdcp", {"--salvage", dump}, {}, {"", std::string("Too few or too many arguments\n") + kPdcpUsage, 1}},
        {"pdex", {"--section", "1", "--extract-all", folder, dump}, {}, {"", "pdex: --check, --records, --section and "
         "--extract-all are an operation each; --force goes with --extract-all\n" + std::string(kPdexUsage), 1}},
        {"pdex", {"--check", "--salvage", dump}, {},
         {"", std::string("pdex: --check stops at the first damage: it takes no --salvage\n") + kPdexUsage, 1}},
        {"pdex", {missing}, {}, {"", missing + ": No such file or directory\n", 1}},
        {"pdcp", {missing, dir.path("created")}, {}, {"", missing + ": No such file or directory\n", 1}},
        {"pdcp", {dump, missing + "/out"}, {}, {"", missing + "/out: No such file or directory\n", 1}},
        {"pdcp", {dump, dump}, {}, {"", "pdcp: '" + dump + "' and '" + dump + sameCopy, 1}},
        {"pdcp", {dump, dir.path("hard")}, {}, {"", "pdcp: '" + dump + "' and '" + dir.path("hard") + sameCopy, 1}},
        {"pdcp", {dump, dir.path("soft")}, {}, {"", "pdcp: '" + dump + "' and '" + dir.path("soft") + sameCopy, 1}},
        {"pdcp", {dump, "-"}, {.stdoutFile = dump}, {"", "pdcp: '" + dump + "' and '-" + sameCopy, 1}},
        {"pdcp", {"-", dump}, {.stdinFile = dump}, {"", "pdcp: '-' and '" + dump + sameCopy, 1}},
        {"pdmap", {"a", "b"}, {}, {"Usage: pdmap <name of map file>\n", "", 1}},
        {"pdmap", {missing}, {}, {"", "pdmap: open of map file failed: No such file or directory\n", 1}},
        {"catconsole", {"a", "b"}, {}, {"Usage: catconsole input CONSLOE_LOG client's file\n", "", 0}},
        {"catconsole", {missing}, {}, {"Can't open " + missing + " (err 2)\n", "", 1}},
        {"catconsole", {folder}, {}, {"Invalid size encountered(-1)!\n", "", 1}},
        {"objectdump", {"a", "b"}, {}, {objectdumpUsage, "", 1}},
        {"objectdump", {missing}, {}, {"Can't open " + missing + " (err 2)\n", "", 1}},
        {"pdex", {"--check", folder}, {},
         {folder + ": damaged at byte 0: meta header: unreadable from byte 0: Is a directory\n", "", 2}},
        {"objectdump", {console}, {.env = {"READ_EIO=1"}, .doubles = true, .mergedErr = true}, // what was read first
         {"a1b2ccff 00000000 00000000 00000004         . . . . . . . . . . . . . . . . \n00000000 74657874         "
          ". . . . t e x t \nobjectdump: error reading " + console + ": Input/output error\n", "", 1}},
        {"objectdump", {dir.write("abcd", "abcd")}, {.closed = {0}}, ok("61626364         a b c d \n")},
        {"syslockdump", {}, {.input = sampleRecord().encode()}, {"Usage: syslockdump [one-input-file]\n", "", 1}},
        {"syslockdump", {"a", "b"}, {}, {"Usage: syslockdump [one-input-file]\n", "", 1}},
        {"syslockdump", {missing}, {}, {"", "Unable to open file " + missing, 255}},
        {"syslockdump", {folder}, {}, {"", "syslockdump: error reading " + folder + ": Is a directory\n", 255}},
        {"pdcp", {dump, "/dev/full"}, {},
         {"", metaHeader + "pdcp: error writing /dev/full: No space left on device\n", 2}},
        {"pdcp", {dump, folder + "c"}, {.env = {"FCLOSE_ERRNO=5"}, .doubles = true},
         {"", "pdcp: error writing " + folder + "c: Input/output error\n", 2}},
        {"pdex", {dump}, full, {"", "pdex" + noSpace, 2}},
        {"catconsole", {console}, full, {"", "catconsole" + noSpace, 1}},
        {"pdcp", {sample, "-"}, closed, {"", metaHeader + "pdcp" + badFd, 2}},
        {"pdex", {sample, "console"}, closed, {"", "pdex" + badFd, 2}},
        {"pdex", {sample}, closed, {"", "pdex" + badFd, 2}},
        {"catconsole", {console}, closed, {"", "catconsole" + badFd, 1}},
        {"objectdump", {console}, closed, {"", "objectdump" + badFd, 1}},
        {"syslockdump", {lock}, closed, {"", "syslockdump" + badFd, 1}},
        {"syslockdump", {lock}, {.env = {"READ_EIO=1"}, .doubles = true, .mergedErr = true},
         {kSampleRecord + "syslockdump: error reading " + lock + ": Input/output error\n", "", 255}},
        {"objectdump", {console}, {.stdoutFile = console, .append = true}, {"", "objectdump: " + console + same, 1}},
        {"objectdump", {}, {.stdinFile = console, .stdoutFile = console}, {"", "objectdump: standard input" + same, 1}},
        {"catconsole", {console}, {.stdoutFile = console, .append = true}, {"", "catconsole: " + console + same, 1}},
        {"syslockdump", {lock}, {.stdoutFile = lock, .append = true}, {"", "syslockdump: " + lock + same, 1}},
        {"pdex", {named}, {.terminal = true}, listed("esc?[2J?", "for?]0;x?")},
        {"pdex", {named}, {}, listed("esc\x1b[2J\x07", "for\x1b]0;x\x07")},
        {"pdcp", {named}, {.terminal = true}, ok("1700000000 for?]0;x? Tue Nov 14 22:13:20 2023\n")},
        {"pdcp", {named}, {}, ok("1700000000 for\x1b]0;x\x07 Tue Nov 14 22:13:20 2023\n")},
    };
    // clang-format on
    for (const auto &[tool, args, options, result] : cases) {
        std::string title = options.argv0.value_or(tool); // the command line as a shell would give it
        for (const std::string &word : options.env)
            title = word + " " + title;
        for (const std::string &word : args)
            title += " " + word;
        for (int fd : options.closed)
            title += " " + std::to_string(fd) + ">&-";
        title += options.stdoutFile ? (options.append ? " >>" : " >") + *options.stdoutFile : "";
        title += options.terminal ? " >/dev/tty" : "";
        if (runnable(options, title)) {
            EXPECT_EQ(run(tool, args, options), result) << title;
        }
    }
    EXPECT_EQ(readFile(console), capture(0, 0, 4, 0, "text")); // never written into itself
    EXPECT_FALSE(std::filesystem::exists(dir.path("created"))); // a missing input costs no output
    EXPECT_EQ(readFile(dump), before);                         // never copied onto itself
    // Output that fails stops the viewers at the first write, however much input is left.
    std::string records(2000 * kLockRecordSize, '\0'); // lines that never repeat, for objectdump
    for (size_t i = 0; i < records.size(); ++i)
        records[i] = static_cast<char>((i * 2654435761u) >> 13);
    for (const auto &[tool, args] : {std::pair{"objectdump", std::vector<std::string>{}},
                                     std::pair{"syslockdump", std::vector<std::string>{"/dev/stdin"}}}) {
        const Result r = run(tool, args, {.input = records, .stdoutFile = "/dev/full"});
        EXPECT_EQ(r, (Result{"", tool + noSpace, 1})) << tool;
        EXPECT_LT(r.fed, records.size() / 8) << tool << " read on after its output failed";
    }
}

// Alone on the command line, --help and -h print a tool's usage with every option it takes and --version the version,
// under the tool's name and through trelkit; the tool itself does not run (no event, no hypervisor, no device).
TEST_F(EndToEnd, EveryToolAnswersHelpAndVersion)
{
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"pdex", {"-d", "--check", "--records", "--salvage", "--section", "--extract-all", "--force", "--json"}},
        {"pdcp", {"-d", "--salvage", "--json"}},
        {"pdmap", {"--dry-run", "--pin"}},
        {"errloginfo", {"-t"}},
        {"catconsole", {}},
        {"objectdump", {"--offsets", "--skip", "--length"}},
        {"syslockdump", {}}};
    ASSERT_EQ(cases.size(), toolNames().size());
    for (auto [name, options] : cases) {
        const Result help = run(name, {"--help"}, {.doubles = true});
        EXPECT_EQ(help.status + help.err.size(), 0u) << help.err;
        EXPECT_TRUE(help.out.starts_with("Usage: " + name + " ")) << help.out;
        options.insert(options.end(), {"-h, --help", "--version"});
        for (const std::string &option : options)
            EXPECT_NE(help.out.find(option), std::string::npos) << name << " " << option;
        EXPECT_EQ(help.calls, (std::vector<std::string>{kLogOpen, kLogClose})) << name;
        EXPECT_EQ(run(name, {"-h"}), help) << name;
        EXPECT_EQ(run(TRELKIT_BUILD_DIR "/trelkit", {name, "--help"}, {.argv0 = "trelkit"}), help) << name;
        EXPECT_EQ(run(name, {"--version"}), ok("trelkit " TRELKIT_VERSION "\n")) << name;
        EXPECT_EQ(run(name, {"--help"}, {.stdoutFile = "/dev/full"}),
                  (Result{"", name + ": error writing standard output: No space left on device\n", 1}));
    }
}

// What --check, --records and --salvage say of damaged dumps, exactly, and the copies they make. The sample dump's
// record headers: "console" at 64, its data at 126 and 158, its end at 180; "regs" at 196, its data at 258, its end at
// 279; the end of the dump at 295.
TEST_F(EndToEnd, CheckRecordsAndSalvageSayWhereTheDamageIs)
{
    const std::vector<uint64_t> rec = sampleDump().endDump().headers();
    const std::string sample = sampleDump().endDump().str(), badHeader = flipped(sample, rec[2] + 15),
                      cut = sample.substr(0, 277), two = row("  2     1          5    -2", "regs");
    Dump orphan, unclosed, version2, stray;
    const std::string fit = Dump().section(attr("s")).filledData(70000, 'q').endSection().endDump().str();
    stray.section(attr("a")).endSection().header(Header{.badChecksum = true}).endSection();
    stray.section(attr("b")).endSection().endDump();
    const std::string attrs = Dump().section(attr("big"), 2 << 20).str(), badMeta = flipped(sample, 35),
                      big = Dump().section(attr("big")).filledData(1200000, 'z').endSection().endDump().str();
    std::string lots = badMeta.substr(0, 64); // 400 sections, 1,200 record headers: more than a vote takes
    for (int i = 0; i < 400; ++i)
        lots += Dump().section(attr("m")).data("d").endSection().str().substr(64);
    auto badMetaErr = [](const std::string &tool, const char *taken = "16 taken from 8 record headers") {
        return tool + ": -: damaged at byte 0: meta header: Bad meta header checksum; bytes 0 to 63 skipped\n" + tool +
               ": -: save time stamp 1700000000 and header size " + taken + "\n";
    };
    orphan.section(attr("a")).endSection().data("x").section(attr("b")).endSection().endDump();
    unclosed.section(attr("a")).data("x").section(attr("b")).endSection().endDump();
    version2.section(attr(std::string(27, 'v') + " ~\1772X", 0, 2)).data("x").endSection().endDump(); // 31, ' ~', '?'
    const std::string v2 =
        "attribute record of section 1 \"" + std::string(27, 'v') + " ~?2\": file format version mimatch";
    const std::string version1 = version2.str().replace(version2.headers()[0] + 16 + 43, 1, 1, '\1'); // VER's low byte
    const std::string at158 = "damaged at byte 158: data header 2 of section 1 \"console\": Bad header checksum",
                      damaged158 = "pdex: -: " + at158 + "; bytes 158 to 179 skipped\n",
                      tail =
                          "180\tendsection\t16\t0\t0\t1\t\n196\tsection\t16\t46\t0\t2\tregs\n258\tdata\t16\t5\t5\t2\t\n"
                          "279\tendsection\t16\t0\t0\t2\t\n295\tenddump\t16\t0\t0\t2\t\n",
                      cut274 = "damaged at byte 274: block of data header 1 of section 2 \"regs\": premature EOF: "
                               "the input ends at byte 277, 2 bytes short",
                      head = "0\tmeta\t16\t0\t0\t0\t\n64\tsection\t16\t46\t0\t1\tconsole\n126\tdata\t16\t16\t6\t1\t\n",
                      ab = kHeading + row("  1     0          0     0", "a") + row("  2     0          0     0", "b") +
                           total(2);
    auto pdcp = [](const std::string &err) { return std::regex_replace(err, std::regex("pdex: -: "), "pdcp: -: "); };
    // A salvaged copy's note: what the salvage said, then the sections it marked damaged.
    auto noted = [](const std::string &err, const std::string &section = "") {
        return encodeNote(std::regex_replace(err, std::regex("pd(ex|cp): -: "), "") +
                          (section.empty() ? "" : "section " + section + " damaged\n"));
    };
    auto noDump = [](const std::string &tool, const std::string &name = "-") {
        return tool + ": " + name + ": no panic dump found: no meta header or record header passes its checks\n";
    };
    const Result notADump{"", report("pdcp", "readMetaHeader", "Input not a panic_dump file"), 2};
    const std::string text(400, 'r'), missing = dir.path("missing"), out = dir.path("out");
    auto salvaged = [&](const std::string &copy, const std::string &err, const std::string &section = "") {
        return Result{copy + noted(err, section), err, 2};
    };
    // The bad header's salvaged copy: its note follows the end-of-dump header, the plain list takes it as any dump, a
    // check and the records read the note and fail.
    const std::string note = noted(damaged158, "1 \"console\""), copy = without(sample, rec[2], rec[3]) + note,
                      checked = "-: salvaged copy: 2 sections, end-of-dump header at byte 273\n-: salvage: " + at158 +
                                "; bytes 158 to 179 skipped\n-: salvage: section 1 \"console\" damaged\n",
                      intact = "-: intact: 2 sections, end-of-dump header at byte 273, ";
    // The dump device's meta header write was lost: the one there is an hour older than every record. A shorter save
    // written over a longer one of the day before, its meta header damaged.
    const std::string stale = encodeMeta(Meta{.tim = kDefaultTime - 3600}) + sample.substr(rec[0]),
                      staleLine = "damaged at byte 0: meta header: meta header of another save: time stamp 1700000000 "
                                  "taken from 8 record headers";
    Dump older(Meta{.tim = kDefaultTime - 86400});
    for (const char *name : {"old1", "old2", "old3", "old4"})
        older.section(attr(name)).data("yesterday's").endSection();
    const std::string newer = Dump().section(attr("new")).data("new!").endSection().endDump().str(),
                      over = flipped(newer + older.endDump().str().substr(newer.size()), 35);
    const std::string noMetaErr =
        "pdex: -: damaged at byte 0: meta header: Input not a panic_dump file; bytes 0 to "
        "61 skipped\npdex: -: save time stamp 1700000000 and header size 16 taken from 8 "
        "record headers\npdex: -: bytes 62 to 131 left out: 2 data blocks with no section header\n";
    // clang-format off
    struct Row {
        const char *title;
        std::string input;
        const char *command;
        Result expect;
        bool fromFile = true; // from a file on standard input too: not where only a pipe's buffer cuts the record
        std::optional<std::string> before = std::nullopt, after = before; // OUT's bytes, or none; after: as before
    } rows[] = {
        // The only copy of the evidence: a copy costs its output nothing before the input shows a dump, and a
        // salvage makes no dump of bytes that hold none.
        {"swapped operands", "", "pdcp MISSING OUT", {"", missing + ": No such file or directory\n", 1}, false, sample},
        {"a missing input", "", "pdcp MISSING OUT", {"", missing + ": No such file or directory\n", 1}, false},
        {"not a dump", text, "pdcp - OUT", notADump, true, sample},
        {"not a dump, none there", text, "pdcp - OUT", notADump},
        {"salvaging no dump", text, "pdcp --salvage - OUT", {"", noDump("pdcp"), 2}, true, sample},
        {"salvaging nothing", "", "pdcp --salvage - OUT", {"", noDump("pdcp"), 2}},
        {"a meta header cut short", sample.substr(0, 63), "pdcp - OUT",
         {"", report("pdcp", "readMetaHeader", "error in fread for meta header"), 2}, true, sample},
        {"a header size too small, copied", Dump(Meta{.hsz = 15}).endDump().str(), "pdcp - OUT",
         {"", report("pdcp", "readMetaHeader", "too small header size (%d<%d)", "too small header size (15<16)"), 2},
         true, sample},
        {"listing no dump", "", "pdex --salvage /dev/null", {"", noDump("pdex", "/dev/null"), 2}},
        {"a cut meta header", sample.substr(0, 40), "pdex --salvage -", {"", noDump("pdex"), 2}},
        {"extracting from no dump", text, "pdex --salvage - console", {"", noDump("pdex"), 2}},
        {"records of no dump", std::string(4096, '\xff'), "pdex --records --salvage -", {"", noDump("pdex"), 2}},
        {"a dump replaces the output", sample, "pdcp - OUT", ok(""), true, "old bytes", sample},
        {"a meta header whose checksum holds is a dump", Dump(Meta{.hsz = 15}).endDump().str().substr(0, 64) + "xx",
         "pdcp --salvage - OUT", {"", "pdcp: -: damaged at byte 0: meta header: too small header size (15<16); bytes "
         "0 to 65 skipped\n", 2}, true, "old bytes", encodeMeta(Meta{.hsz = 16}) + Dump().endDump().str().substr(64) +
         encodeNote("damaged at byte 0: meta header: too small header size (15<16); bytes 0 to 65 skipped\n")},
        {"intact", sample, "pdex --check -", ok("-: intact: 2 sections, end-of-dump header at byte 295\n")},
        {"a salvaged copy, listed", copy, "pdex -",
         ok(kHeading + row("  1     1          6     1", "console") + two + total(2))},
        {"a salvaged copy, checked", copy, "pdex --check -", {checked, "", 2}},
        {"a salvaged copy, records", copy, "pdex --records -", {head + "158\tendsection\t16\t0\t0\t1\t\n174\tsection\t16"
         "\t46\t0\t2\tregs\n236\tdata\t16\t5\t5\t2\t\n257\tendsection\t16\t0\t0\t2\t\n273\tenddump\t16\t0\t0\t2\t\n"
         "289\tnote\t16\t" +
         std::to_string(note.size() - 16) + "\t0\t2\t\n" + checked, "", 2}},
        {"a salvaged copy, copied", copy, "pdcp - -", ok(copy)},
        {"a salvaged copy, salvaged again", copy, "pdcp --salvage - -", ok(copy)},
        {"a note whose text fails its checksum", flipped(copy, copy.size() - 1), "pdex --check -",
         ok(intact + std::to_string(note.size()) + " bytes after it\n")},
        {"a note of another save", copy.substr(0, 289) + encodeNote(at158 + "\n", kDefaultTime + 1), "pdex --check -",
         ok(intact + std::to_string(16 + at158.size() + 1) + " bytes after it\n")},
        {"a note cut short", copy.substr(0, copy.size() - 1), "pdex --check -",
         ok(intact + std::to_string(note.size() - 1) + " bytes after it\n")},
        {"a byte after the end", sample + "t", "pdex --check -",
         ok("-: intact: 2 sections, end-of-dump header at byte 295, 1 byte after it\n")},
        {"a bad header", badHeader, "pdex --check -", {"-: " + at158 + "\n", "", 2}},
        {"a bad header, listed", badHeader, "pdex --salvage -",
         {kHeading + row("  1     1          6     1", "console (damaged)") + two + total(2), damaged158, 2}},
        {"a bad header, extracted", badHeader, "pdex --salvage - console", {"hello ", damaged158, 2}},
        {"a header among the skipped bytes whose successor fails", badHeader.substr(0, 164) +
         encodeHeader(Header{.dsz = 1, .bsz = 2}, 16, kDefaultTime) + sample.substr(rec[3]), "pdex --salvage - console",
         {"hello ", damaged158, 2}},
        {"a bad header, records", badHeader, "pdex --records -", {head + "-: " + at158 + "\n", "", 2}},
        {"a bad header, records salvaged", badHeader, "pdex --records --salvage -",
         {head + "158\tskipped\t16\t22\t0\t1\tBad header checksum\n" + tail + "-: " + at158 + "\n", damaged158, 2}},
        {"cut in a block", cut, "pdex --check -", {"-: " + cut274 + "\n", "", 2}},
        {"cut in a block, listed", cut, "pdex --salvage -", {kHeading + row("  1     2         12     1", "console") +
         row("  2     0          0    -2", "regs (damaged)") + total(2), "pdex: -: " + cut274 + "\n", 2}},
        {"cut in a block, copied", cut, "pdcp --salvage - -",
         {without(sample, rec[5], rec[6]) + noted(cut274 + "; left out of the copy\n", "2 \"regs\""),
          "pdcp: -: " + cut274 + "; left out of the copy\n", 2}},
        {"cut in a block, extracted", cut, "pdex --salvage - regs", {"", "pdex: -: " + cut274 + "\n", 2}},
        {"a 1-byte block cut at its start", unclosed.str().substr(0, 142), "pdcp --salvage - -", salvaged(
         Dump().section(attr("a")).endSection().endDump().str(), "pdcp: -: damaged at byte 142: block of data header 1 "
         "of section 1 \"a\": premature EOF: the input ends at byte 142, 1 byte short; left out of the copy\n",
         "1 \"a\"")},
        {"cut in an attribute record", sample.substr(0, 100), "pdcp --salvage - -",
         salvaged(without(sample, rec[0], rec[7]), "pdcp: -: damaged at byte 80: attribute record of section "
          "1 \"console\": premature EOF: the input ends at byte 100, 26 bytes short; left out of the copy\n")},
        {"a large attribute record cut beyond a pipe's buffer", attrs.substr(0, 1500000), "pdcp --salvage - -",
         salvaged(attrs.substr(0, 1500000) + std::string(597232, '\0') + sample.substr(rec[6]), "pdcp: -: damaged at byte "
          "80: attribute record of section 1 \"big\": premature EOF: the input ends at byte 1500000, 597232 bytes "
          "short; filled with zeros in the copy\n", "1 \"big\""), false},
        {"the end of a section lost", flipped(sample, 195), "pdex --salvage -",
         {kHeading + row("  1     2         12     1", "console (damaged)") + two + total(2), "pdex: -: damaged at "
          "byte 180: data header 3 of section 1 \"console\": Bad header checksum; bytes 180 to 195 skipped\n", 2}},
        {"a bad meta header", badMeta, "pdex --salvage -",
         {run("pdex", {"-"}, {.input = sample}).out, badMetaErr("pdex"), 2}},
        {"a bad meta header, copied", badMeta, "pdcp --salvage - -",
         salvaged(encodeMeta(Meta{.ver = 0xfe}) + sample.substr(rec[0]), badMetaErr("pdcp"))},
        {"a bad meta header, records", badMeta, "pdex --records --salvage -",
         {"0\tmeta\t16\t0\t0\t0\t\n0\tskipped\t16\t64\t0\t0\tBad meta header checksum\n" +
          head.substr(head.find("64")) +
          "158\tdata\t16\t6\t6\t1\t\n" + tail + "-: damaged at byte 0: meta header: Bad meta header checksum\n",
          badMetaErr("pdex"), 2}},
        {"garbage before a large block", fit.substr(0, 126) + "ZZZZZ" + fit.substr(126), "pdex --salvage -",
         {kHeading + row("  1     1      70000     0", "s (damaged)") + total(1), "pdex: -: damaged at byte 126: data "
          "header 1 of section 1 \"s\": Bad header checksum; bytes 126 to 130 skipped\n", 2}},
        {"an end of the dump with more after it", stray.str(), "pdex --records --salvage -",
         {"0\tmeta\t16\t0\t0\t0\t\n64\tsection\t16\t46\t0\t1\ta\n126\tendsection\t16\t0\t0\t1\t\n142\tskipped\t16\t16\t"
          "0\t1\tBad header checksum\n158\tskipped\t16\t16\t0\t1\tan end-of-dump header with records of the save after "
          "it\n"
          "174\tsection\t16\t46\t0\t2\tb\n236\tendsection\t16\t0\t0\t2\t\n252\tenddump\t16\t0\t0\t2\t\n-: damaged at "
          "byte 142: record header after section 1 \"a\": Bad header checksum\n",
          "pdex: -: damaged at byte 142: record header after section 1 \"a\": Bad header checksum; bytes 142 to 157 "
          "skipped\npdex: -: bytes 158 to 173 skipped: an end-of-dump header with records of the save after it\n", 2}},
        {"no meta header", sample.substr(rec[0]), "pdex --salvage -",
         {kHeading + row("  1     1          5    -2", "regs") + "Total 1 sections saved for  at Tue Nov 14 22:13:20 "
          "2023\n", noMetaErr, 2}},
        {"no meta header, copied", sample.substr(rec[0]), "pdcp --salvage - -",
         salvaged(encodeMeta(Meta{.savedFor = ""}) + sample.substr(rec[4]), pdcp(noMetaErr))},
        {"a bad meta header, checked", badMeta, "pdex --check -",
         {"-: damaged at byte 0: meta header: Bad meta header checksum\n", "", 2}},
        {"a cut extension, copied", Dump(Meta{.siz = 164}).bytes("abc").str(), "pdcp --salvage - -",
         salvaged(Dump().endDump().str(), "pdcp: -: damaged at byte 64: meta header extension: premature EOF: the "
          "input ends at byte 67, 97 bytes short; left out of the copy\n")},
        {"a header size too small", Dump(Meta{.hsz = 15}).str(), "pdex --check -",
         {"-: damaged at byte 0: meta header: too small header size (15<16)\n", "", 2}},
        {"a block cut beyond a pipe's buffer", big.substr(0, 1200141), "pdcp --salvage - -",
         salvaged(big.substr(0, 1200141) + std::string(1, '\0') + big.substr(1200142), "pdcp: -: damaged at byte "
          "142: block of data header 1 of section 1 \"big\": premature EOF: the input ends at byte 1200141, 1 byte "
          "short; filled with zeros in the copy\n", "1 \"big\""), false},
        {"a block cut within a pipe's buffer", big.substr(0, 1000000), "pdcp --salvage - -",
         salvaged(big.substr(0, 126) + big.substr(1200142), "pdcp: -: damaged at byte 142: block of data header 1 of "
          "section 1 \"big\": premature EOF: the input ends at byte 1000000, 200142 bytes short; left out of the "
          "copy\n", "1 \"big\"")},
        {"the first header, its save's after it", flipped(sample, rec[0] + 15), "pdex --check -",
         {"-: damaged at byte 64: first record header: Bad header checksum\n", "", 2}},
        {"blocks with no section, to a cut header", Dump().section(attr("a")).endSection().data("x").data("y").str()
         .substr(0, 165), "pdex --salvage -", {kHeading + row("  1     0          0     0", "a") + total(1), "pdex: -: "
         "damaged at byte 142: record header after section 1 \"a\": Bad header type pD (pH expected)\npdex: -: damaged "
         "at byte 159: data header 2 with no section header: premature EOF: the input ends at byte 165, 10 bytes "
         "short\npdex: -: bytes 142 to 164 left out: 1 data block with no section header\n", 2}},
        {"blocks with no section, to a cut block", Dump().section(attr("a")).endSection().data("xyz").str().substr(0, 160), "pdex --salvage -",
         {kHeading + row("  1     0          0     0", "a") + total(1), "pdex: -: damaged at byte 142: record header after section 1 \"a\": Bad header type pD (pH expected)\npdex: -: damaged at byte 158: block 1 with no section header: premature EOF: the input ends at byte 160, 1 byte short\npdex: -: bytes 142 to 159 left out: 1 data block with no section header\n", 2}},
        {"blocks with no section, to an end of section", Dump().section(attr("a")).endSection().data("x").endSection().endDump()
         .str(), "pdex --records --salvage -", {"0\tmeta\t16\t0\t0\t0\t\n64\tsection\t16\t46\t0\t1\ta\n126\tendsection\t16\t0\t0\t1\t\n"
         "142\torphan\t16\t1\t1\t1\t\n159\torphanend\t16\t0\t0\t1\t\n175\tenddump\t16\t0\t0\t1\t\n-: damaged at byte 142: record header "
         "after section 1 \"a\": Bad header type pD (pH expected)\n", "pdex: -: damaged at byte 142: record header after section 1 "
         "\"a\": Bad header type pD (pH expected)\npdex: -: bytes 142 to 174 left out: 1 data block with no section header\n", 2}},
        {"blocks with no section", orphan.str(), "pdex --salvage -",
         {ab, "pdex: -: damaged at byte 142: record header after section 1 \"a\": Bad header type pD (pH expected)\n"
          "pdex: -: bytes 142 to 158 left out: 1 data block with no section header\n", 2}},
        {"a section not closed", unclosed.str(), "pdex --salvage -",
         {kHeading + row("  1     1          1     0", "a (damaged)") + row("  2     0          0     0", "b") +
          total(2), "pdex: -: damaged at byte 143: data header 2 of section 1 \"a\": Bad header type pH (pD expected); "
          "section 1 ends there\n", 2}},
        {"attributes of version 2", version2.str(), "pdcp --salvage - -",
         salvaged(version1, "pdcp: -: damaged at byte 80: " + v2 + "; version 1 in the copy\n",
                  "1 \"" + std::string(27, 'v') + " ~?2\"")},
        {"attributes of v2, listed", version2.str(), "pdex --salvage -", {kHeading + row("  1     1          1     0",
         std::string(27, 'v') + " ~\1772 (damaged)") + total(1), "pdex: -: damaged at byte 80: " + v2 + "\n", 2}},
        {"cut in an attribute record, checked", sample.substr(0, 100), "pdex --check -", {"-: damaged at byte 80: "
         "attribute record of section 1 \"console\": premature EOF: the input ends at byte 100, 26 bytes "
         "short\n", "", 2}},
        {"more headers than a vote takes", lots + sample.substr(rec[7]), "pdex --salvage - m",
         {std::string(400, 'd'), badMetaErr("pdex", "16 taken from 1024 record headers"), 2}},
        {"one header to vote", Dump(Meta{.badChecksum = true}).endDump().header(Header{.mag = "xD"}).str(),
         "pdex --salvage -", {total(0), badMetaErr("pdex", "16 taken from 1 record header"), 2}},
        {"a bad meta header size of 20", flipped(sampleDump(Meta{.hsz = 20}).endDump().str(), 60), "pdex --salvage -",
         {run("pdex", {"-"}, {.input = sample}).out, badMetaErr("pdex", "20 taken from 8 record headers"), 2}},
        {"cut at a block's end", sample.substr(0, 279), "pdex --check -", {"-: damaged at byte 279: data header 2 of "
         "section 2 \"regs\": premature EOF: the input ends at byte 279, 16 bytes short\n", "", 2}},
        {"cut in a data header", sample.substr(0, 129), "pdex --check -", {"-: damaged at byte 126: data header 1 of "
         "section 1 \"console\": premature EOF: the input ends at byte 129, 13 bytes short\n", "", 2}},
        {"cut in a section header", sample.substr(0, 200), "pdex --check -", {"-: damaged at byte 196: record header "
         "after section 1 \"console\": premature EOF: the input ends at byte 200, 12 bytes short\n", "", 2}},
        {"a bad meta header's padding", flipped(sample, 30), "pdcp --salvage - -", salvaged(sample, badMetaErr("pdcp"))},
        {"a meta header of another save", stale, "pdex --check -", {"-: " + staleLine + "\n", "", 2}},
        {"a meta header of another save, salvaged", stale, "pdex --salvage -",
         {run("pdex", {"-"}, {.input = sample}).out, "pdex: -: " + staleLine + "; bytes 0 to 63 skipped\n", 2}},
        {"a meta header's SIZ of 2 GiB", encodeMeta(Meta{.siz = 2u << 30}) + sample.substr(rec[0]), "pdex --salvage -",
         {run("pdex", {"-"}, {.input = sample}).out, "pdex: -: damaged at byte 0: meta header: meta header sizes "
          "contradicted: records from byte 64 and header size 16 taken from 8 record headers; bytes 0 to 63 skipped\n",
          2}},
        {"a shorter save over a longer one", over, "pdex --salvage -", {kHeading + row("  1     1          4     0",
         "new") + total(1), badMetaErr("pdex", "16 taken from 4 record headers") + "pdex: -: bytes from 178 on, after "
         "the end-of-dump header: records of another save (time stamp 1699913600 from byte 231)\n", 2}},
    };
    // clang-format on
    for (const Row &r : rows)
        for (bool fromFile : {false, true}) {
            if (fromFile && !r.fromFile)
                continue;
            std::vector<std::string> args = words(r.command);
            std::ranges::replace(args, std::string("OUT"), out);
            std::ranges::replace(args, std::string("MISSING"), missing);
            std::filesystem::remove(out);
            if (r.before)
                dir.write("out", *r.before);
            const Options o = fromFile ? Options{.stdinFile = dir.write("in", r.input)} : Options{.input = r.input};
            EXPECT_EQ(run(args[0], {args.begin() + 1, args.end()}, o), r.expect) << r.title << (fromFile ? " (file)" : "");
            const std::optional<std::string> after = r.after ? r.after : r.before;
            EXPECT_EQ(std::filesystem::exists(out) ? std::optional(readFile(out)) : std::nullopt, after) << r.title;
        }
}

// A salvaged copy's note goes with every copy of it, and is bounded (what readers make of it: the check table).
TEST_F(EndToEnd, ASalvagedCopyKeepsItsDamageMarks)
{
    const std::vector<uint64_t> at = sampleDump().endDump().headers();
    const std::string sample = sampleDump().endDump().str(), rec = dir.path("rec");
    dir.write("damaged", flipped(sample, at[2] + 15));
    const std::string line = "damaged at byte 158: data header 2 of section 1 \"console\": Bad header checksum; bytes "
                             "158 to 179 skipped",
                      note = encodeNote(line + "\nsection 1 \"console\" damaged\n"),
                      copy = without(sample, at[2], at[3]) + note; // the second data header of "console" left out
    ASSERT_EQ(run("pdcp", {"--salvage", dir.path("damaged"), rec}),
              (Result{"", "pdcp: " + dir.path("damaged") + ": " + line + "\n", 2}));
    ASSERT_EQ(readFile(rec), copy);
    std::string many = sample.substr(0, 64); // more damage than a note holds: 300 sections, each with a bad header
    for (int i = 0; i < 300; ++i)
        many += Dump().section(attr("m")).header(Header{.dsz = 1, .bsz = 1, .badChecksum = true}).bytes("d")
                    .endSection().str().substr(64);
    many += sample.substr(295);
    const Result bounded = run("pdcp", {"--salvage", "-", "-"}, {.input = many});
    const size_t noteAt = many.size() - 300 * 17;
    ASSERT_GT(bounded.out.size(), noteAt);
    // A plain copy between files, through the kernel, carries the note too.
    EXPECT_EQ(run("pdcp", {rec, dir.path("again")}), ok(""));
    EXPECT_EQ(readFile(dir.path("again")), copy);
    // The note is bounded: what does not fit is counted in its last line.
    EXPECT_LE(bounded.out.size() - noteAt, 16u + 4096u);
    EXPECT_TRUE(std::regex_search(bounded.out.substr(noteAt), std::regex("\n[0-9]+ more lines not kept\n$")));
}

std::string request(unsigned long code, const std::string &rest = "arg=2")
{
    return "ioctl " + std::to_string(code) + " " + rest;
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

bool mapsBlocks(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY), size = 0, block = 0;
    return ioctl(fd, FIGETBSZ, &size) + ioctl(fd, FIBMAP, &block) + close(fd) == 0 && size == 4096 && block != 0;
}

// The inode flags of a file, after clearing those of clear.
int inodeFlags(const std::string &path, int clear = 0)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK), flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & clear))
        flags &= ~clear, ioctl(fd, FS_IOC_SETFLAGS, &flags);
    close(fd);
    return flags;
}

// What a shell command prints, all of it, or that it failed when it printed nothing.
std::string commandOutput(const std::string &command)
{
    FILE *p = popen(command.c_str(), "r");
    std::string out;
    for (int c; p && (c = fgetc(p)) != EOF;)
        out += static_cast<char>(c);
    const int status = p ? pclose(p) : -1;
    return status == 0 || !out.empty() ? out : "failed: " + command;
}

// What filefrag -v (or pdmap --dry-run) says of a file: size line, extents (logical, physical, length), count line.
std::vector<std::string> filefrag(const std::string &text)
{
    static const std::regex line(
        R"(^File size of .*|^ *\d+: *(\d+)\.\. *(\d+): *(\d+)\.\. *(\d+): *(\d+):.*|.* found$)");
    std::vector<std::string> kept;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (std::smatch m; std::regex_match(l, m, line))
            kept.push_back(m[1].matched ? m.str(1) + ".." + m.str(2) + " " + m.str(3) + ".." + m.str(4) + " " + m.str(5)
                                        : l);
    return kept;
}

// Every block of the map file goes to the device, which is then armed. A failure ends the run where it happens: nothing
// is undone, no later request reaches the device, and a map file with a hole never reaches it at all. --pin pins the
// map file before the device is opened, never on a dry run or a refusal; a dry run checks all, reaches no device.
TEST_F(EndToEnd, PdmapMapsEveryBlockAndStopsAtTheFirstFailure)
{
    // A map file of size bytes (default: its 4096-byte blocks), a block per letter: 'd' data, '.' a hole,
    // 'f' space preallocated and never written. fsync places blocks on disk.
    auto map = [&](const char *name, const std::string &pattern, std::optional<size_t> size = {}) {
        int fd = open(dir.path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (off_t i = 0; i < static_cast<off_t>(pattern.size()); ++i)
            EXPECT_EQ(pattern[i] == 'd'   ? pwrite(fd, std::string(4096, 'm').data(), 4096, i * 4096) - 4096
                      : pattern[i] == 'f' ? fallocate(fd, 0, i * 4096, 4096)
                                          : 0,
                      0);
        EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size.value_or(pattern.size() * 4096))) + fsync(fd) + close(fd), 0);
        return dir.path(name);
    };
    if (!mapsBlocks(map("probe", "d")))
        GTEST_SKIP() << "the file system of " << dir.path("") << " does not map 4096-byte blocks with FIBMAP";
    TempDir shm(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    const std::string empty = map("empty", ""), one = map("one", "d", 10), three = map("three", "ddd", 10000),
                      many = map("many", std::string(257, 'd'), 1 << 20 | 1), middle = map("middle", "d.d"),
                      reserved = map("reserved", "df"), tail = map("tail", "d", 10000),
                      largest = map("largest", "", INT32_MAX), huge = map("huge", "", size_t{1} << 31),
                      noMap = shm.write("map", "no block map"), fifo = dir.path("fifo"),
                      unsynced = dir.path("unsynced");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Written and left to the page cache: pdmap syncs it before asking where its blocks are.
    std::ofstream(unsynced) << std::string(10000, 'u');
    // clang-format off
    auto failed = [](const char *what, const char *why) {
        return Result{"", std::string("pdmap: ") + what + " failed: " + why + "\n", 1}; };
    auto notRegular = [](const std::string &p) { return Result{"", "pdmap: " + p + ": not a regular file\n", 1}; };
    auto refused = [](const std::string &path, uint64_t first, uint64_t last, const char *why) { return Result{"",
        "pdmap: " + path + ": bytes " + std::to_string(first) + " to " + std::to_string(last) + ": " + why + "\n", 1};
    };
    struct Map {
        std::vector<std::string> env;
        std::string map;
        Result result;
        int sent; // how many of the device's requests reach it; -1: it is never opened
        uint32_t blocks = 0;
        std::vector<std::string> calls = {}; // instead, when the hypervisor maps the file
        std::vector<std::string> options = {};
        bool pinned = false; // the map file left immutable
    };
    const Result dryRun = run("pdmap", {"--dry-run", three}, {.doubles = true});
    const std::vector<std::string> handedOver = {kLogOpen, "hv_running", "hv_map_dump_file no/such/map 1", kLogClose};
    std::vector<Map> cases = {
        {{}, empty, ok(""), 5},
        {{}, three, ok(""), 5, 3},
        {{}, many, ok(""), 5, 257},
        {{}, fifo, notRegular(fifo), -1}, // and no wait for a writer
        {{}, "/dev/null", notRegular("/dev/null"), -1},
        {{}, unsynced, ok(""), 5, 3},
        {{}, middle, refused(middle, 4096, 8191, "a hole, with no disk blocks"), -1},
        {{}, reserved, refused(reserved, 4096, 8191, "preallocated and never written"), -1},
        {{}, largest, refused(largest, 0, INT32_MAX - 1, "a hole, with no disk blocks"), -1},
        {{}, tail, refused(tail, 4096, 9999, "a hole, with no disk blocks"), -1},
        {{"FIEMAP_ERRNO=95"}, middle, {"", "pdmap: " + middle + ": block 1 has no disk block (a hole, or space "
         "preallocated and never written)\n", 1}, -1}, // not answered: FIBMAP's check, as before FIEMAP
        {{"FIEMAP_ERRNO=5"}, three, failed("FIEMAP", "Input/output error"), -1},
        {{"FIEMAP_FLAGS=0:0x4"}, three, refused(three, 0, 9999, "not yet on disk"), -1},
        {{"FIEMAP_FLAGS=0:0x2"}, three, refused(three, 0, 9999, "at no known place on disk"), -1},
        {{"FIEMAP_FLAGS=0:0x200"}, one, refused(one, 0, 9, "stored inline with the file system's metadata"), -1},
        {{"FIEMAP_FLAGS=0:0x400"}, three, refused(three, 0, 9999, "packed into a block with other files' data"), -1},
        {{"FIEMAP_FLAGS=0:0x100"}, three, refused(three, 0, 9999, "not aligned to blocks"), -1},
        {{"FIEMAP_FLAGS=0:0x8"}, three, refused(three, 0, 9999, "compressed or encoded"), -1},
        {{"FIEMAP_FLAGS=0:0x80"}, three, refused(three, 0, 9999, "encrypted"), -1},
        {{"FIEMAP_FLAGS=0:0x2000"}, three, refused(three, 0, 9999, "shared with another file"), -1},
        {{"FIEMAP_FLAGS=0:0x1001"}, three, ok(""), 5, 3}, // merged, last: harmless
        {{"FIEMAP_FLAGS=1:0x2000"}, reserved, refused(reserved, 4096, 8191, "preallocated and never written"), -1},
        {{"ATA_FAIL=6:98"}, empty, ok(""), 5},
        {{"ATA_FAIL=6:5"}, empty, failed("IOC_ALLOC", "Input/output error"), 1},
        {{"ATA_FAIL=3:16"}, empty, failed("IOC_DISARM", "Device or resource busy"), 2},
        {{"ATA_FAIL=0:22"}, empty, failed("IOC_CLEAR_MAP", "Invalid argument"), 3},
        {{"ATA_FAIL=1:12"}, empty, failed("IOC_ADD_MAP", "Cannot allocate memory"), 4},
        {{"ATA_FAIL=2:5"}, empty, failed("IOC_ARM", "Input/output error"), 5},
        {{"ATA_OPEN_ERRNO=2"}, one, failed("open of DUMPDEV", "No such file or directory"), 0},
        {{}, dir.path("missing"), failed("open of map file", "No such file or directory"), -1},
        {{"ATA_FIGETBSZ=0"}, one, failed("FIGETBZ", "Invalid argument"), -1},
        {{}, huge, failed("fstat", "Value too large for defined data type"), -1},
        {{}, noMap, failed("FIBMAP", "Invalid argument"), -1},
        {{"HV_RUNNING=1", "HV_RESULT=-1"}, "no/such/map", {"", "", 255}, 0, 0, handedOver},
        {{"HV_RUNNING=1", "HV_RESULT=7"}, "no/such/map", {"", "", 7}, 0, 0, handedOver},
        {{"HV_RUNNING=1", "HV_RESULT=256"}, "no/such/map", {"", "", 1}, 0, 0, handedOver},
        {{"HV_RUNNING=1", "HV_RESULT=0"}, "no/such/map", ok(""), 0, 0, handedOver},
        {{"HV_RUNNING=1", "HV_RESULT=-512"}, "no/such/map", {"", "", 1}, 0, 0, handedOver},
        {.map = three, .result = ok(""), .sent = 5, .blocks = 3, .options = {"--pin"}, .pinned = true},
        {.env = {"ATA_OPEN_ERRNO=2"}, .map = three, .result = failed("open of DUMPDEV", "No such file or directory"),
         .sent = 0, .options = {"--pin"}, .pinned = true}, // pinned before the device is opened
        {.map = three, .result = dryRun, .sent = -1, .options = {"--dry-run", "--pin"}},
        {.map = middle, .result = refused(middle, 4096, 8191, "a hole, with no disk blocks"), .sent = -1,
         .options = {"--pin"}},
        {.env = {"HV_RUNNING=1"}, .map = three,
         .result = ok(three + ": would be handed to the hypervisor, which maps it itself\n"), .sent = -1,
         .options = {"--dry-run"}},
    };
    // clang-format on
    for (const Map &c : cases) {
        std::vector<std::string> calls = {kLogOpen, "hv_running"};
        if (c.sent >= 0)
            calls.push_back("open /dev/ata_dumper O_RDWR");
        const std::string requests[] = {request(IOC_ALLOC), request(IOC_DISARM), request(IOC_CLEAR_MAP),
                                        addMap(c.map, c.blocks), request(IOC_ARM)};
        calls.insert(calls.end(), requests, requests + std::max(c.sent, 0));
        calls.push_back(kLogClose);
        std::vector<std::string> args = c.options;
        args.push_back(c.map);
        Result r = run("pdmap", args, Options{.env = c.env, .doubles = true});
        EXPECT_EQ(r, c.result) << args[0] << " " << c.map;
        EXPECT_EQ(r.calls, c.calls.empty() ? calls : c.calls) << args[0] << " " << c.map;
        EXPECT_EQ((inodeFlags(c.map) & FS_IMMUTABLE_FL) != 0, c.pinned) << args[0] << " " << c.map;
        inodeFlags(c.map, FS_IMMUTABLE_FL); // retired, so that the directory can go
    }
    // A dry run prints the map as filefrag -v shows the file, and nothing reaches the device.
    for (const std::string &path : {three, many, empty, one}) {
        Result r = run("pdmap", {"--dry-run", path}, {.env = {"ATA_OPEN_ERRNO=2"}, .doubles = true});
        struct stat st {};
        stat(path.c_str(), &st);
        const std::string dev =
            std::to_string(static_cast<uint32_t>(st.st_dev)) + " (" + std::to_string(major(st.st_dev));
        EXPECT_NE(r.out.find("\nDevice: " + dev + ":" + std::to_string(minor(st.st_dev)) + ")\n"), std::string::npos);
        EXPECT_EQ(filefrag(r.out), filefrag(commandOutput("filefrag -v " + path))) << r.out;
        EXPECT_EQ(std::pair(r.calls, r.status), std::pair(decltype(r.calls){kLogOpen, "hv_running", kLogClose}, 0));
        EXPECT_EQ(run("pdmap", {"--dry-run", path}, {.stdoutFile = "/dev/full"}).status, 1) << path; // a write failed
    }
    Result usage = run("pdmap", {}, {.env = {"HV_RUNNING=1"}, .doubles = true});
    EXPECT_EQ(usage, (Result{"Usage: pdmap <name of map file>\n", "", 1}));
    EXPECT_EQ(usage.calls, (std::vector<std::string>{kLogOpen, kLogClose}));
}

// On a copy-on-write file system a block may be shared with another file (a reflink), and a file written in place
// moves unless it is NOCOW: pdmap refuses both. A btrfs image on a loop device, where this machine allows one.
TEST_F(EndToEnd, PdmapRefusesSharedAndCopiedOnWriteBlocks)
{
    const std::string mnt = dir.path("mnt"), image = dir.path("image");
    if (system(("truncate -s 128M " + image + " && mkfs.btrfs -q " + image + " >/dev/null 2>&1 && mkdir " + mnt +
                " && mount -o loop " + image + " " + mnt + " 2>/dev/null")
                   .c_str()) != 0)
        GTEST_SKIP() << "no btrfs image on a loop device here (mkfs.btrfs, a loop device and mount are needed)";
    const std::string make =
        "cd " + mnt +
        " && head -c 65536 /dev/zero >solo && head -c 65536 /dev/zero >orig && "
        "cp --reflink=always orig copy && touch nocow && chattr +C nocow && cat solo >>nocow && sync";
    EXPECT_EQ(system(make.c_str()), 0);
    auto refused = [&](const char *name, const char *why) {
        return Result{"", "pdmap: " + mnt + "/" + name + ": bytes 0 to 65535: " + why + "\n", 1};
    };
    for (const auto &[name, result] : std::vector<std::pair<std::string, Result>>{
             {"copy", refused("copy", "shared with another file")},
             {"solo", refused("solo", "on a copy-on-write file system, and not NOCOW (chattr +C)")},
             {"nocow", {"", "pdmap: FIBMAP failed: Invalid argument\n", 1}}}) { // its blocks are btrfs's own numbers
        Result r = run("pdmap", {mnt + "/" + name}, {.doubles = true});
        EXPECT_EQ(r, result) << name;
        EXPECT_EQ(r.calls, (std::vector<std::string>{kLogOpen, "hv_running", kLogClose})) << name;
    }
    EXPECT_EQ(umount(mnt.c_str()), 0);
}

// The record of a run that wrote text, in events of 150 characters.
std::vector<std::string> events(const std::string &text, bool trap)
{
    int line = sourceLine(trap ? "kTrapId, chunk.data()" : "kPlainId, chunk.data()");
    std::vector<std::string> out{"evlog_open chassis 0 trelkit"};
    for (unsigned n = 1; 150 * (n - 1) < text.size(); ++n) {
        std::string handle;
        for (unsigned i = 0; i < 7; ++i)
            handle += (i ? "," : "") + std::to_string(n * 100 + i);
        out.push_back("evlog_get_handle " + std::to_string(n));
        out.push_back("evlog_write utils/panicdump/trelkit log_err_str " + std::to_string(line) + " QMX handle=" +
                      handle + " 0 1 " + (trap ? "0x3d0002 [" : "0x3d0001 [") + text.substr(150 * (n - 1), 150) + "]");
    }
    out.push_back("evlog_close");
    return out;
}

TEST_F(EndToEnd, ErrloginfoWritesTheMessageInEventsOf150Characters)
{
    std::string longest(7996, 'x'), mixed; // plus 3 reaches the limit exactly
    for (int i = 0; i < 400; ++i)
        mixed += static_cast<char>('a' + i % 26);
    auto cut = [](size_t logged, size_t whole) { // a message that does not fit: what was logged, and a failure
        return Result{"", "errloginfo: message too long: " + std::to_string(logged) + " of its " +
                              std::to_string(whole) + " characters logged, the last " +
                              std::to_string(whole - logged) + " left out\n", 1};
    };
    const std::vector<std::tuple<std::vector<std::string>, std::string, bool, Result>> cases = {
        // arguments, text, trap, and what the run says when the message does not fit
        {{"disk", "full"}, "  disk full", false, {}},
        {{"-t", "disk", "full"}, "  disk full", true, {}},
        {{"-t", "word"}, "  word", true, {}},
        {{"disk", "-t"}, "  disk -t", false, {}},
        {{"-tt", "-x", "--"}, "  -tt -x --", false, {}},
        {{"100%s", "%n%x", ""}, "  100%s %n%x ", false, {}},
        {{std::string(148, 'a')}, "  " + std::string(148, 'a'), false, {}},
        {{std::string(149, 'b')}, "  " + std::string(149, 'b'), false, {}},
        {{mixed}, "  " + mixed, false, {}},
        {{longest}, "  " + longest, false, {}},
        {{longest + "x", "short"}, "  " + longest, false, cut(7998, 8005)},
        {{"first", longest, "short"}, "  first " + longest.substr(6), false, cut(7998, 8010)},
        {{"-t", std::string(9000, 'y')}, "  " + std::string(7996, 'y'), true, cut(7998, 9002)},
        {{longest, ""}, "  " + longest, false, cut(7998, 7999)},
    };
    for (const auto &[args, text, trap, failed] : cases) {
        Result r = run("errloginfo", args, Options{.doubles = true});
        EXPECT_EQ(r, failed.status < 0 ? (Result{"", "", 0}) : failed) << args[0];
        EXPECT_EQ(r.calls, events(text, trap)) << args[0];
    }
}

// The syslog stand-in, observed for real: inside a private mount namespace a datagram socket at /dev/log receives
// what the system log would.
TEST_F(EndToEnd, ErrloginfoStandInWritesARealSyslogRecord)
{
    if (fork() == 0) {
        int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{AF_UNIX, "/dev/log"};
        std::string record = "SKIP no private /dev/log";
        char buf[2048] = "";
        if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("none", "/dev", "tmpfs", 0, nullptr) == 0 &&
            bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
            record = std::to_string(run("errloginfo", {"disk", "50%s"}).status) + " ";
        record.append(buf, static_cast<size_t>(std::max<ssize_t>(recv(sock, buf, sizeof buf, MSG_DONTWAIT), 0)));
        dir.write("record", record);
        _exit(0);
    }
    wait(nullptr);
    const std::string record = readFile(dir.path("record"));
    if (record.starts_with("SKIP"))
        GTEST_SKIP() << record;
    const std::string line = std::to_string(sourceLine("kPlainId, chunk.data()"));
    EXPECT_TRUE(std::regex_match(record, std::regex("^0 <13>... .. ..:..:.. trelkit\\[[0-9]+\\]: QMX 0x3d0001 "
                                                    "utils/panicdump/trelkit:log_err_str:" +
                                                    line + "   disk 50%s$")))
        << record;
}

// What each viewer prints, byte for byte, from a file and from a pipe read 23 bytes at a time (a line or a record cut
// between reads, and a read that holds more than a line).
TEST_F(EndToEnd, ViewersPrintExactly)
{
    const std::string whole = std::string(63999, 'x') + "Y";
    const std::string zeros = "00000000 00000000 00000000 00000000         . . . . . . . . . . . . . . . . \n",
                      zs = "7a7a7a7a 7a7a7a7a 7a7a7a7a 7a7a7a7a         z z z z z z z z z z z z z z z z \n",
                      line(16, 'z'), one = sampleRecord().encode();
    const std::string a(32, 'a'), b(32, 'b'), c(17, 'c'), d(17, 'd'), t(16, 't'), symbol(129, 's');
    LockRecord limits{0, a, b, c, d, 0, 0, 0, 0, t}; // no NUL in the fields
    std::string limitText = d.substr(1) + " " + a.substr(12) + " " + b.substr(16) + " " + c.substr(1) +
                            "\nID[(nil)] TIME[0.0] CPU[0] TASKP[(nil)]\nPID[0(" + t +
                            ")] PREEMPT_COUNT[0] IRQS_DISABLED[0]\n>\n";
    for (uint32_t k = 0; k < 10; ++k) {
        const std::string module(k % 2 ? 1 : 63, 'm'), offset = k ? "0x" + std::to_string(k) : "0";
        limits.frames.push_back({0x1000 + k, symbol, module, k, 0});
        limitText += "> 0x" + std::to_string(1000 + k) + ": " + symbol + "+" + offset + "/0 [" + module + "]\n";
    }
    struct View {
        const char *tool, *title;
        std::string bytes, out;
        int status = 0;
    };
    std::vector<View> cases = {
        {"catconsole", "not wrapped", capture(0, 0, 5, 0, "hello world"), "hello"},
        {"catconsole", "not wrapped, nothing written", capture(100, 3, 0, 0, "text"), ""},
        {"catconsole", "wrapped: head, oldest, newest", capture(11, 4, 7, 1, "HEADnewOLD!"),
         wrapped("HEAD", "OLD!new")},
        {"catconsole", "wrapped without a head", capture(6, 0, 3, 1, "abcdef"), wrapped("", "defabc")},
        {"catconsole", "a head of one", capture(6, 1, 3, 1, "abcdef"), wrapped("a", "defbc")},
        {"catconsole", "written up to the end", capture(6, 2, 6, 1, "hhring"), wrapped("hh", "ring")},
        {"catconsole", "text past the data's end", capture(6, 2, 4, 1, "hhabcdXY"), wrapped("hh", "cdab")},
        {"catconsole", "written behind the head", capture(6, 4, 2, 1, "hhhhrr"), wrapped("hhhh", "hhrr")},
        {"catconsole", "control and high bytes", capture(0, 0, 25, 0, "a\r\nb\tc\bd\x1b[0m\x7f\x80\xff\x0b\x0c\x01 e\x1f~"),
         "a\nb\tc\bd[0m e~"},
        {"catconsole", "extremes stay in the text", capture(INT_MAX, INT_MAX, INT_MIN, 1, whole),
         wrapped(whole, whole)},
        {"catconsole", "negative and past the end", capture(64001, -1, -1, 1, whole), wrapped("", whole)},
        {"catconsole", "past the capture", capture(0, 0, INT_MAX, 0, whole + "beyond"), whole},
        {"catconsole", "ten bytes", capture(0, 0, 0, 0, "").substr(0, 10), ""},
        {"catconsole", "empty", "", "Invalid size encountered(0)!\n", 1},
        {"catconsole", "nine bytes", capture(0, 0, 0, 0, "").substr(0, 9), "Invalid size encountered(9)!\n", 1},
        {"catconsole", "no magic", std::string(20, '\0'), "catconsole: invalid input file!\n", 1},
        {"objectdump", "empty", "", ""},
        {"objectdump", "a short last line", "0123456789abcdef\x7f\x80 ~\x1f",
         "30313233 34353637 38396162 63646566         0 1 2 3 4 5 6 7 8 9 a b c d e f \n"
         "7f80207e 1f              . .   ~ . \n"},
        {"objectdump", "repeats at the end", line + line, zs + " Last datarepeated 1 times\n"},
        {"objectdump", "repeats before a change", std::string(32, '\0') + "x",
         zeros + " Last repeated 1 times\n78              x \n"},
        {"objectdump", "a short line is no repeat", line + line + "zzz",
         zs + " Last repeated 1 times\n7a7a7a              z z z \n"},
        {"objectdump", "counts start again", line + line + "y" + line + line + line,
         zs + " Last repeated 1 times\n797a7a7a 7a7a7a7a 7a7a7a7a 7a7a7a7a         y z z z z z z z z z z z z z z z \n" +
             zs + " Last repeated 1 times\n7a              z \n"},
        {"objectdump", "lines and repeats across pieces", std::string(165, 'z') + "y" + std::string(4834, 'z') + "end",
         zs + " Last repeated 9 times\n7a7a7a7a 7a797a7a 7a7a7a7a 7a7a7a7a         z z z z z y z z z z z z z z z z \n" +
             zs + " Last repeated 300 times\n7a7a7a7a 7a7a7a7a 656e64              z z z z z z z z e n d \n"},
        {"syslockdump", "two records and a tail", one + one + std::string(76, 'x'), kSampleRecord + kSampleRecord},
        {"syslockdump", "short of a record", one.substr(0, 2211), ""},
        {"syslockdump", "fields at their limits", limits.encode(), limitText + "\n"},
        {"syslockdump", "no frames", sampleRecord(false).encode(),
         kSampleRecord.substr(0, kSampleRecord.find(">\n") + 2) + "\n"},
    };
    for (const View &c : cases) {
        const Result wanted{c.out, "", c.status};
        const Result r = run(c.tool, {dir.write("in", c.bytes)});
        EXPECT_EQ(r, wanted) << c.tool << ": " << c.title;
        EXPECT_EQ(r.pipeSize >= 1 << 20, c.tool == std::string("objectdump")) << c.title; // fewer switches
        EXPECT_EQ(run(c.tool, {"-"}, Options{.input = c.bytes, .env = {"READ_STEP=23"}, .doubles = true}), wanted)
            << c.title << " from a pipe";
        EXPECT_EQ(run(c.tool, {"-"}, Options{.stdinFile = dir.path("in")}), wanted) << c.title << " on stdin";
    }
}

// The bytes a listing shows at each offset: od's "-A x -t x1 -v" lines, or objectdump's --offsets lines with their
// folds unfolded (each fold repeats the line before it at the next offsets).
std::map<uint64_t, unsigned> shownBytes(const std::string &text, bool od)
{
    std::map<uint64_t, unsigned> bytes;
    std::istringstream lines(text);
    std::vector<unsigned> last;
    uint64_t at = 0;
    for (std::string line; std::getline(lines, line);) {
        if (long long n = 0; !od && sscanf(line.c_str(), " Last %*[a-z] %lld times", &n) == 1) {
            for (; n > 0; --n, at += last.size())
                for (size_t k = 0; k < last.size(); ++k)
                    bytes[at + k] = last[k];
            continue;
        }
        std::istringstream fields(line.substr(0, od ? std::string::npos : line.find("  ")));
        std::string word;
        fields >> std::hex >> at >> word; // objectdump's offset ends in a colon
        last.clear();
        for (word = od ? word : ""; !word.empty() || fields >> word; word.clear())
            for (size_t k = 0; k + 1 < word.size(); k += 2)
                last.push_back(static_cast<unsigned>(std::stoul(word.substr(k, 2), nullptr, 16)));
        for (size_t k = 0; k < last.size(); ++k)
            bytes[at + k] = last[k];
        at += last.size();
    }
    return bytes;
}

// A window shows the bytes od shows of it, at the same offsets, from a file (seeking, across 4 GiB too) or a pipe (read
// and dropped); lines start at the window's start, 16 bytes apart.
TEST_F(EndToEnd, ObjectdumpWindowsShowWhatOdShows)
{
    std::string bytes;
    for (int i = 0; i < 4400; ++i) // lines across 256 bytes and 4 KiB, and across 4 GiB in the big file
        bytes += static_cast<char>(i * 37 % 251);
    bytes += std::string(70, 'z') + "tail of the input";
    const std::string small = dir.write("small", bytes), big = file(Dump().zeros((4ull << 30) - 40).bytes(bytes), "big");
    struct Window {
        std::string skip, length, odSkip, odLength;
        bool big = false;
    };
    const std::vector<Window> windows = {
        {"", "", "0", "9999"},       {"0x20", "40", "32", "40"}, {"3", "100", "3", "100"}, {"1", "", "1", "9999"},
        {"95", "22", "95", "22"},    {"170", "", "170", "9999"},    {"8K", "", "8192", "1"},  {"0", "0", "0", "0"},
        {"4294967256", "", "4294967256", "9999", true}, {"0xfffffff0", "30", "4294967280", "30", true},
        {"4G", "", "4294967296", "9999", true},
    };
    for (const Window &w : windows) {
        std::vector<std::string> args = {"--offsets"};
        for (auto [option, value] : {std::pair{"--skip", w.skip}, {"--length", w.length}})
            if (!value.empty())
                args.insert(args.end(), {option, value});
        const std::string path = w.big ? big : small;
        const auto wanted = shownBytes(commandOutput("od -A x -t x1 -v -j " + w.odSkip + " -N " + w.odLength + " " + path + " 2>/dev/null; true"), true);
        ASSERT_FALSE(wanted.empty() && w.odLength != "0" && w.skip != "8K") << w.skip;
        args.push_back(path);
        const Result r = run("objectdump", args);
        EXPECT_EQ(shownBytes(r.out, false), wanted) << w.skip << " " << w.length;
        EXPECT_EQ(r.status, 0) << r.err;
        char first[32]; // 8 digits, 9 from 4 GiB on
        snprintf(first, sizeof first, "%08llx: ", std::stoull(w.odSkip));
        EXPECT_TRUE(r.out.empty() || r.out.starts_with(first)) << r.out;
        if (!w.big) {
            args.pop_back();
            EXPECT_EQ(run("objectdump", args, Options{.input = bytes, .env = {"READ_STEP=7"}, .doubles = true}), r)
                << w.skip << " from a pipe";
        }
    }
    const std::string plain = run("objectdump", {small}).out;
    const std::string withOffsets = run("objectdump", {"--offsets", small}).out;
    EXPECT_EQ(std::regex_replace(withOffsets, std::regex("(^|\n)[0-9a-f]{8}: "), "$1"), plain) << "the rest of each line and the folds unchanged";
    EXPECT_EQ(run("objectdump", {"--length", "2x", small}),
              (Result{"", "objectdump: --length takes a number of bytes (decimal, 0x hex, K, M or G after it), not '2x'\n", 1}));
}

// The files of a directory and what they hold.
std::map<std::string, std::string> filesIn(const std::string &path)
{
    std::map<std::string, std::string> files;
    for (const auto &f : std::filesystem::directory_iterator(path))
        files[f.path().filename()] = readFile(f.path());
    return files;
}

// One pass writes each section into a file of its own that no name can move out of the directory or hide, the list
// printed as a list prints it; each file holds what --section of its number writes. A file is never replaced unless
// --force, a section not wholly written is named so, and a directory that cannot take files is said at once.
TEST_F(EndToEnd, ExtractAllWritesEachSectionIntoItsOwnFileAndNowhereElse)
{
    Dump hostile;
    for (const char *name : {"a/b", "..", "", "\x01z\xff", "console", "console", "-"})
        hostile.section(attr(name)).data(std::string(name) + " data", 3).data("+").endSection();
    hostile.endDump();
    Dump many;
    for (int i = 0; i < 10000; ++i)
        many.section(attr("s")).data(std::to_string(i)).endSection();
    const std::string in = file(hostile.endDump(), "hostile"), cut = file(sampleDump().endDump().truncateTo(277), "cut"),
                      out = dir.path("out"), notDir = dir.write("plain", "x");
    const std::vector<std::string> names = {"001-a_b",   "002-..",      "003-unnamed", "004-_z_",
                                            "005-console", "006-console", "007--"};
    struct Row {
        const char *title;
        std::vector<std::string> args;
        Options options;
        Result wanted;
        std::vector<std::string> files; // in out
    };
    const std::string salvageErr = "pdex: " + cut + ": damaged at byte 274: block of data header 1 of section 2 \"regs\": "
                                   "premature EOF: the input ends at byte 277, 2 bytes short\npdex: " + cut + ": " + out +
                                   "/002-regs.damaged: what was recovered of the section\n";
    const std::vector<Row> rows = {
        {"hostile names", {"--extract-all", out, in}, {}, run("pdex", {in}), names},
        {"from a pipe", {"--extract-all", out, "-"}, {.input = readFile(in)}, run("pdex", {in}), names},
        {"salvaged", {"--extract-all", out, "--salvage", cut}, {}, {run("pdex", {"--salvage", cut}).out, salvageErr, 2},
         {"001-console", "002-regs.damaged"}},
        {"a full disk", {"--extract-all", out, in}, {.fileSize = 5},
         {kHeading + row("  1     2          9     0", "a/b"), "pdex: error writing " + out + "/001-a_b: File too large\npdex: " + in + ": " + out +
                  "/001-a_b.damaged: what was recovered of the section\n", 2},
         {"001-a_b.damaged"}},
        {"into a file", {"--extract-all", notDir, in}, {}, {"", "pdex: cannot write files into " + notDir + ": Not a directory\n", 1}, {}},
        {"under a file", {"--extract-all", notDir + "/d", in}, {}, {"", "pdex: cannot create the directory " + notDir + "/d: Not a directory\n", 1}, {}},
    };
    for (const Row &r : rows) {
        std::filesystem::remove_all(out);
        EXPECT_EQ(run("pdex", r.args, r.options), r.wanted) << r.title;
        std::vector<std::string> made;
        for (const auto &[name, bytes] : std::filesystem::exists(out) ? filesIn(out) : std::map<std::string, std::string>{}) {
            made.push_back(name);
            const std::string number = std::to_string(std::stoi(name)), salvaging = r.wanted.status ? "--salvage" : "-d";
            const std::string section =
                run("pdex", {salvaging, "--section", number, r.args.back() == "-" ? in : r.args.back()}).out;
            EXPECT_EQ(bytes, name.ends_with(".damaged") ? section.substr(0, bytes.size()) : section) << r.title << name;
        }
        EXPECT_EQ(made, r.files) << r.title;
    }
    EXPECT_EQ(filesIn(dir.path("")).size(), 3u) << "nothing written beside the directory";
    run("pdex", {"--extract-all", out, "--salvage", cut}); // what a salvage recovered of a section is not replaced either
    std::filesystem::remove(out + "/001-console");
    EXPECT_EQ(run("pdex", {"--extract-all", out, "--salvage", cut}).err, "pdex: will not replace " + out + "/002-regs.damaged: File exists\n");
    EXPECT_EQ(run("pdex", {"--extract-all", out, in}).status, 0);
    EXPECT_EQ(run("pdex", {"--extract-all", out, in}).err, "pdex: will not replace " + out + "/001-a_b: File exists\n");
    dir.write("out/001-a_b", "longer than the section");
    std::filesystem::remove(out + "/002-..");
    std::filesystem::create_symlink(dir.path("plain"), out + "/002-..");
    EXPECT_EQ(run("pdex", {"--extract-all", out, "--force", in}).status, 2) << "no link followed";
    EXPECT_EQ(readFile(dir.path("plain")), "x");
    EXPECT_EQ(readFile(out + "/001-a_b"), "a/b data+");
    std::filesystem::remove_all(out);
    EXPECT_EQ(run("pdex", {"--extract-all", out, file(many.endDump(), "many")}).status, 0);
    EXPECT_EQ(filesIn(out).size(), 10000u);
    EXPECT_EQ(readFile(out + "/10000-s"), "9999");
    EXPECT_EQ(run("pdex", {"--section", "8", in}), (Result{"", "pdex: " + in + ": no section 8: the dump holds 7\n", 2}));
    EXPECT_EQ(run("pdex", {"--section", "0", in}).err.substr(0, 68),
              "pdex: --section takes a section number as the list shows it, not '0'");
}

// What the plain commands print, made from their --json documents by python3's json (tools/jsonlines.py): every field a
// line shows is there, with the same values and every byte of each name.
TEST_F(EndToEnd, JsonSaysWhatThePlainOutputSays)
{
    Dump names;
    names.section(attr("a\"b\\c\x01\x1f \x7f~\xff\xc3\xa9/..", 7)).filledData(1u << 20, 'x').endSection();
    const std::string intact = file(sampleDump().endDump(), "intact"), cut = file(sampleDump().endDump().truncateTo(277), "cut"),
                      hostile = file(names.endDump().bytes("after"), "hostile"), copy = dir.path("copy"),
                      between = file(sampleDump().endDump().truncateTo(sampleDump().endDump().str().size() - 5), "between"),
                      script = TRELKIT_SOURCE_DIR "/tools/jsonlines.py";
    run("pdcp", {"--salvage", cut, copy});
    for (const std::string &f : {intact, cut, hostile, copy, between})
        for (const char *how : {"pdex", "pdex --salvage", "pdex --check", "pdex --records", "pdex --records --salvage",
                                "pdcp"}) {
            std::vector<std::string> args = words(how);
            const std::string tool = args[0];
            args[0] = f;
            const Result plain = run(tool, args);
            args.insert(args.begin(), "--json");
            const Result json = run(tool, args);
            EXPECT_EQ(json.status, plain.status) << f << " " << how;
            EXPECT_EQ(json.err, plain.err) << f << " " << how;
            EXPECT_EQ(commandOutput("python3 " + script + " " + dir.write("doc", json.out)), plain.out)
                << f << " " << how << "\n" << json.out;
        }
}

} // namespace
