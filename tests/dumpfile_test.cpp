// pdex and pdcp end to end: exact stdout, stderr and exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fixture/fixture.h"
#include "harness.h"

using fixture::Attr;
using fixture::Dump;
using fixture::Header;
using fixture::Meta;
using harness::Options;
using harness::report;
using harness::run;

namespace {

// Enough for the tool, far too little for one that slurps a large input.
constexpr size_t kSmallAddressSpace = 64;

constexpr const char *kHeading = "Sec  Blks  Data size  Prio  Created                   Name\n";
constexpr const char *kTotalTime = "Tue Nov 14 22:13:20 2023\n";
constexpr const char *kPdexUsage = "Usage: pdex file [name]\n\tExtract panic data \"name\" from \"file\" to stdout\n"
                                   "\tOr list panic data in \"file\"\n";
constexpr const char *kPdcpUsage = "Usage: pdcp infile [outfile]\n\tCopy panic data from \"infile\" to \"outfile\"\n"
                                   "\tOr print time stamp of panic data in \"infile\"\n";

Attr attr(std::string name, int16_t pri = 0, int32_t tim = fixture::kDefaultTime - 10)
{
    Attr a;
    a.name = std::move(name);
    a.pri = pri;
    a.tim = tim;
    return a;
}

std::string total(int sections, const std::string &savedFor = "kernel panic")
{
    return "Total " + std::to_string(sections) + " sections saved for " + savedFor + " at " + kTotalTime;
}

// Two sections: "console" with two blocks (one with filler), "regs" with one.
Dump sampleDump(Meta meta = {})
{
    Dump d(std::move(meta));
    d.section(attr("console", 1)).data("hello ", 10).data("world\n").endSection();
    d.section(attr("regs", -2)).data("r1=0\n").endSection();
    return d;
}

class PanicDump : public ::testing::Test {
protected:
    harness::TempDir dir;

    std::string file(const Dump &d, const std::string &name = "dump")
    {
        std::string p = dir.path(name);
        EXPECT_TRUE(d.write(p));
        return p;
    }
    harness::Result pdex(const Dump &d, std::vector<std::string> more = {}, Options o = {})
    {
        std::vector<std::string> args{file(d)};
        args.insert(args.end(), more.begin(), more.end());
        return run("pdex", args, o);
    }
};

const std::string kSampleList = std::string(kHeading) +
                                "  1     2         12     1  Tue Nov 14 22:13:10 2023  console\n"
                                "  2     1          5    -2  Tue Nov 14 22:13:10 2023  regs\n" +
                                total(2);

TEST_F(PanicDump, ListsSectionsAndSummary)
{
    auto r = pdex(sampleDump().endDump());
    EXPECT_EQ(r.out, kSampleList);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(PanicDump, ListsTheSameFromAPipeAndFromStandardInput)
{
    std::string bytes = sampleDump().endDump().str();
    auto piped = run("pdex", {"-"}, Options{.input = bytes});
    EXPECT_EQ(piped.out, kSampleList);
    EXPECT_EQ(piped.status, 0);
    auto trickled = run("pdex", {"-"}, Options{.input = bytes, .trickle = 7});
    EXPECT_EQ(trickled.out, kSampleList);
    auto redirected = run("pdex", {"-"}, Options{.inputFile = file(sampleDump().endDump())});
    EXPECT_EQ(redirected.out, kSampleList);
}

TEST_F(PanicDump, ListsADumpWithoutSectionsWithTheSummaryOnly)
{
    auto r = pdex(Dump().endDump("pH"));
    EXPECT_EQ(r.out, total(0));
    EXPECT_EQ(r.status, 0);
}

TEST_F(PanicDump, DebugTracesEveryRecordInFileOrder)
{
    Dump d;
    d.section(attr("a", 3)).data("xy").endSection().endDump();
    const std::string expected = "META HEADER:ID=Halvern Linux Panic Dump\n"
                                 "     VER=1 TIM=1700000000 SIZ=64 HSZ=16 CS=c14c(OK)\n"
                                 "HEADER:MAG=pH TIM=1700000000 BSZ=46 DSZ=0 CS=e435(good)\n"
                                 "ATTR:TIM=1699999990 VER=1 SIZ=0 PRI=3\n"
                                 "HEADER:MAG=pD TIM=1700000000 BSZ=2 DSZ=2 CS=e417(good)\n"
                                 "HEADER:MAG=pD TIM=1700000000 BSZ=0 DSZ=0 CS=e417(good)\n"
                                 "HEADER:MAG=pD TIM=1700000000 BSZ=0 DSZ=0 CS=e417(good)\n";
    std::string p = file(d);
    auto before = run("pdex", {"-d", p});
    auto after = run("pdex", {p, "-d"}); // the option parser permutes
    EXPECT_EQ(before.err, expected);
    EXPECT_EQ(after.err, expected);
    EXPECT_EQ(before.status, 0);

    // A copy decodes no attribute records; the time stamp reads the meta header only.
    auto copy = run("pdcp", {"-d", p, dir.path("copy")});
    EXPECT_EQ(copy.err, "META HEADER:ID=Halvern Linux Panic Dump\n"
                        "     VER=1 TIM=1700000000 SIZ=64 HSZ=16 CS=c14c(OK)\n"
                        "HEADER:MAG=pH TIM=1700000000 BSZ=46 DSZ=0 CS=e435(good)\n"
                        "HEADER:MAG=pD TIM=1700000000 BSZ=2 DSZ=2 CS=e417(good)\n"
                        "HEADER:MAG=pD TIM=1700000000 BSZ=0 DSZ=0 CS=e417(good)\n"
                        "HEADER:MAG=pD TIM=1700000000 BSZ=0 DSZ=0 CS=e417(good)\n");
    auto time = run("pdcp", {"-d", "-d", p});
    EXPECT_EQ(time.err, expected.substr(0, expected.find("HEADER:MAG")));
}

TEST_F(PanicDump, ExtractsOnlyTheDataBytesOfEveryMatchingSection)
{
    Dump d = sampleDump();
    d.section(attr("console")).data("again").endSection().endDump();
    auto r = pdex(d, {"console"});
    EXPECT_EQ(r.out, "hello world\nagain");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    auto piped = run("pdex", {"-", "regs"}, Options{.input = d.str(), .trickle = 5});
    EXPECT_EQ(piped.out, "r1=0\n");
    EXPECT_EQ(piped.status, 0);
}

TEST_F(PanicDump, ExtractingAnUnknownNameWritesNothingAndFails)
{
    Dump d = sampleDump().endDump();
    for (const char *name : {"nosuch", "Console", "consol", ""}) {
        auto r = pdex(d, {name});
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.err, "") << name;
        EXPECT_EQ(r.status, 2) << name;
    }
}

TEST_F(PanicDump, SectionNamesAreSignificantTo31Characters)
{
    std::string name31(31, 'n');
    Dump d;
    d.section(attr(name31 + "X")).data("long").endSection().endDump();
    EXPECT_EQ(pdex(d, {name31}).out, "long");
    EXPECT_EQ(pdex(d, {name31 + "X"}).status, 2);
    EXPECT_EQ(pdex(d).out, std::string(kHeading) + "  1     1          4     0  Tue Nov 14 22:13:10 2023  " +
                               name31 + "\n" + total(1));
}

TEST_F(PanicDump, CopiesByteForByteUpToTheEndOfDump)
{
    Meta m;
    m.hsz = 24;
    m.extension = "extension bytes";
    Dump d = sampleDump(m);
    Header extra;
    extra.mag = "pD";
    extra.extra = "12345678";
    d.section(attr("x")).header(extra).endDump();
    std::string complete = d.str();
    d.bytes("trailing garbage");
    std::string in = file(d);
    auto r = run("pdcp", {in, dir.path("out")});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(harness::readFile(dir.path("out")), complete);

    auto toStdout = run("pdcp", {in, "-"});
    EXPECT_EQ(toStdout.out, complete);
    auto fromPipe = run("pdcp", {"-", dir.path("piped")}, Options{.input = d.str(), .trickle = 11});
    EXPECT_EQ(fromPipe.status, 0);
    EXPECT_EQ(harness::readFile(dir.path("piped")), complete);
}

TEST_F(PanicDump, CopyOfATruncatedDumpKeepsWhatCameBeforeTheCut)
{
    Dump d = sampleDump().endDump();
    std::string whole = d.str();
    uint64_t cut = whole.find("world") + 2;
    d.truncateTo(cut);
    auto r = run("pdcp", {file(d), dir.path("out")});
    EXPECT_EQ(r.err, report("pdcp", "dopd", "premature EOF"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(harness::readFile(dir.path("out")), whole.substr(0, cut));
}

TEST_F(PanicDump, CopyEndsWithTheLastGoodRecordWhereverItGoes)
{
    Header bad;
    bad.badChecksum = true;
    Dump d = sampleDump();
    std::string good = d.str();
    d.header(bad).endDump();
    std::string in = file(d);
    std::string expected = report("pdcp", "readHeader", "Bad header checksum");

    auto toFile = run("pdcp", {in, dir.path("out")});
    EXPECT_EQ(toFile.err, expected);
    EXPECT_EQ(toFile.status, 2);
    EXPECT_EQ(harness::readFile(dir.path("out")), good);
    auto toPipe = run("pdcp", {in, "-"});
    EXPECT_EQ(toPipe.out, good);
    // Appending to standard output: the bytes cannot move inside the kernel.
    ASSERT_TRUE(fixture::writeFile(dir.path("appended"), "head:"));
    auto appended = run("pdcp", {in, "-"}, Options{.outputFile = dir.path("appended"), .appendOutput = true});
    EXPECT_EQ(appended.status, 2);
    EXPECT_EQ(harness::readFile(dir.path("appended")), "head:" + good);
    // Only the meta header is good.
    Dump early;
    early.header(bad);
    auto meta = run("pdcp", {file(early, "early"), dir.path("meta")});
    EXPECT_EQ(harness::readFile(dir.path("meta")), early.str().substr(0, 64));
}

TEST_F(PanicDump, ExtractionStopsAtATruncatedBlock)
{
    Dump d = sampleDump().endDump();
    d.truncateTo(d.str().find("world") + 2);
    auto r = pdex(d, {"console"});
    EXPECT_EQ(r.out, "hello wo");
    EXPECT_EQ(r.err, report("pdex", "dopd", "premature EOF"));
    EXPECT_EQ(r.status, 2);
}

TEST_F(PanicDump, PrintsTheTimeStampWithoutReadingFurther)
{
    Meta m;
    m.savedFor = "sixteen chars!!!"; // no NUL inside the field
    Dump d(m);
    d.bytes("damaged beyond the meta header");
    auto r = run("pdcp", {file(d)});
    EXPECT_EQ(r.out, std::string("1700000000 sixteen chars!!! ") + kTotalTime);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

struct ReaderCase {
    const char *title;
    Dump dump;
    std::string function, needle, rendered;
    int sections;       // in the summary line; -1: no output at all
    std::string listed; // what the list prints before the summary
};

TEST_F(PanicDump, EveryReaderFailureIsReportedAndEndsTheWalk)
{
    Meta idTail;
    idTail.id = "Halvern Linux Panic Dumpster";
    Meta badSum;
    badSum.badChecksum = true;
    Meta small;
    small.siz = 40;
    Meta shortExt;
    shortExt.siz = 100;
    Meta smallHsz;
    smallHsz.hsz = 15;
    Header pX;
    pX.mag = "pX";
    Header otherSave;
    otherSave.tim = 1700000001;
    Header badCs;
    badCs.badChecksum = true;
    Header dszOver;
    dszOver.dsz = 11;
    dszOver.bsz = 10;
    Attr v2 = attr("v2");
    v2.ver = 2;

    std::string oneSection = std::string(kHeading) + "  1     0          0     0  Tue Nov 14 22:13:10 2023  a\n";
    std::vector<ReaderCase> cases = {
        {"empty", Dump().truncateTo(0), "readMetaHeader", "error in fread for meta header", "", -1, ""},
        {"short meta", Dump().truncateTo(63), "readMetaHeader", "error in fread for meta header", "", -1, ""},
        {"id with a tail", Dump(idTail), "readMetaHeader", "Input not a panic_dump file", "", -1, ""},
        {"meta checksum", Dump(badSum), "readMetaHeader", "Bad meta header checksum", "", -1, ""},
        {"meta size", Dump(small), "readMetaHeader", "too small meta header size", "too small meta header size (40<64)", -1, ""},
        {"short extension", Dump(shortExt).bytes("abc"), "readMetaHeader", "error in fread for extra of meta header", "", -1, ""},
        {"header size", Dump(smallHsz), "readMetaHeader", "too small header size", "too small header size (15<16)", -1, ""},
        {"no end of dump", Dump(), "readHeader", "error in fread for header", "", 0, ""},
        {"header checksum", Dump().header(badCs), "readHeader", "Bad header checksum", "", 0, ""},
        {"magic", Dump().header(pX), "readHeader", "invalid header magic=", "invalid header magic=7058", 0, ""},
        {"other save", Dump().header(otherSave), "readHeader", "invalid save timestamp",
         "invalid save timestamp ref=1700000000 hdr=1700000001", 0, ""},
        {"dsz over bsz", std::move(Dump().section(attr("a")).header(dszOver)), "readHeader",
         "Data size bigger than block size", "", 1, ""},
        {"attr version", std::move(Dump().section(v2)), "readAttr", "file format version mimatch", "", 1, ""},
        {"short attr", std::move(Dump().section(attr("a")).truncateTo(64 + 16 + 20)), "readAttr",
         "error in fread for attr", "", 1, ""},
        {"unclosed section", std::move(Dump().section(attr("a")).section(attr("b"))), "dopd", "Bad header type %.2s (pD",
         "Bad header type pH (pD expected)", 1, ""},
        {"data between sections", std::move(Dump().section(attr("a")).endSection().data("x")), "dopd",
         "Bad header type %.2s (pH", "Bad header type pD (pH expected)", 1, oneSection},
        {"after an end of section", std::move(Dump().section(attr("a")).endSection()), "readHeader",
         "error in fread for header", "", 1, oneSection},
    };
    for (const ReaderCase &c : cases) {
        auto r = pdex(c.dump);
        EXPECT_EQ(r.err, report("pdex", c.function, c.needle, c.rendered)) << c.title;
        EXPECT_EQ(r.out, c.sections < 0 ? "" : c.listed + total(c.sections)) << c.title;
        EXPECT_EQ(r.status, 2) << c.title;
    }
}

TEST_F(PanicDump, TracesComeBeforeTheChecksThatFollowThem)
{
    Meta small;
    small.siz = 40;
    auto r = pdex(Dump(small), {"-d"});
    EXPECT_EQ(r.err, "META HEADER:ID=Halvern Linux Panic Dump\n     VER=1 TIM=1700000000 SIZ=40 HSZ=16 CS=c124(OK)\n" +
                         report("pdex", "readMetaHeader", "too small meta header size", "too small meta header size (40<64)"));
}

TEST_F(PanicDump, BoundaryValuesThatPass)
{
    Attr old = attr("old");
    old.ver = -1;
    Header full;
    full.dsz = 4;
    full.bsz = 4;
    Dump d;
    d.section(old).header(full).bytes("abcd").data("", 8).endSection().endDump();
    auto r = pdex(d, {"old"});
    EXPECT_EQ(r.out, "abcd");
    EXPECT_EQ(r.status, 0);
}

TEST_F(PanicDump, AnAttributeBlockShorterThanItsRecordReadsTheRestAsZero)
{
    Dump d;
    d.section(attr("console", 7), 10).data("x").endSection().endDump();
    auto r = pdex(d, {"-d"});
    EXPECT_EQ(r.out, std::string(kHeading) + "  1     1          1     0  Thu Jan  1 00:00:00 1970  console\n" + total(1));
    EXPECT_NE(r.err.find("ATTR:TIM=0 VER=0 SIZ=0 PRI=0\n"), std::string::npos);
    EXPECT_EQ(r.status, 0);
}

TEST_F(PanicDump, AHugeAttributeBlockIsNeverAllocated)
{
    Dump d;
    d.section(attr("huge"), 0xFFFFFFF0u).truncateTo(200);
    auto r = pdex(d, {}, Options{.addressSpaceMiB = kSmallAddressSpace});
    EXPECT_EQ(r.err, report("pdex", "readAttr", "error in fread for attr"));
    EXPECT_EQ(r.out, total(1));
    EXPECT_EQ(r.status, 2);
}

TEST_F(PanicDump, ABlockReachingPastTheEndIsSkippedAndTheNextReadFails)
{
    Dump d;
    d.section(attr("a")).holeData(0x80000000u, 1).truncateTo(64 + 16 + 46 + 16 + 100);
    auto r = pdex(d);
    EXPECT_EQ(r.err, report("pdex", "readHeader", "error in fread for header"));
    EXPECT_EQ(r.out, total(1));
    EXPECT_EQ(r.status, 2);
}

TEST_F(PanicDump, SparseDumpsPast4GiBListExtractAndCopy)
{
    Dump d;
    d.section(attr("big", 1)).holeData(0xFFFFFFF0u, 0xFFFFFFF0u).holeData(0x90000000u, 0x10).endSection();
    d.section(attr("tail", 2)).data("after 6 GiB").endSection().endDump();
    std::string p = file(d);
    auto list = run("pdex", {p});
    EXPECT_EQ(list.out, std::string(kHeading) + "  1     2  4294967296     1  Tue Nov 14 22:13:10 2023  big\n" +
                            "  2     1         11     2  Tue Nov 14 22:13:10 2023  tail\n" + total(2));
    EXPECT_EQ(list.status, 0);
    auto extract = run("pdex", {p, "tail"}, Options{.addressSpaceMiB = kSmallAddressSpace});
    EXPECT_EQ(extract.out, "after 6 GiB");
    EXPECT_EQ(extract.status, 0);
}

TEST_F(PanicDump, ALargeExtensionIsCopiedFromAFileButNotHeld)
{
    Meta m;
    m.extension = std::string(3 << 20, 'e');
    Dump d = sampleDump(m).endDump();
    std::string p = file(d);
    auto r = run("pdcp", {p, dir.path("out")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(harness::readFile(dir.path("out")), d.str());
    auto piped = run("pdcp", {"-", dir.path("piped")}, Options{.input = d.str()});
    EXPECT_EQ(piped.status, 2);
    EXPECT_EQ(piped.err, report("pdcp", "readMetaHeader", "meta header extension of",
                                "meta header extension of 3145728 bytes too large to copy from a pipe"));
    EXPECT_EQ(run("pdex", {"-", "regs"}, Options{.input = d.str()}).out, "r1=0\n");
}

TEST_F(PanicDump, RefusesToCopyADumpOntoItself)
{
    std::string p = file(sampleDump().endDump());
    std::string before = harness::readFile(p);
    ASSERT_EQ(link(p.c_str(), dir.path("hard").c_str()), 0);
    ASSERT_EQ(symlink(p.c_str(), dir.path("soft").c_str()), 0);
    for (std::string out : {p, dir.path("hard"), dir.path("soft"), dir.path("./dump")}) {
        auto r = run("pdcp", {p, out});
        EXPECT_EQ(r.err, "pdcp: '" + p + "' and '" + out + "' are the same file\n");
        EXPECT_EQ(r.status, 1);
    }
    auto viaStdout = run("pdcp", {p, "-"}, Options{.outputFile = p});
    EXPECT_EQ(viaStdout.status, 1);
    auto viaStdin = run("pdcp", {"-", p}, Options{.inputFile = p});
    EXPECT_EQ(viaStdin.status, 1);
    EXPECT_EQ(harness::readFile(p), before);
}

TEST_F(PanicDump, AFailedWriteIsNeverSuccess)
{
    std::string p = file(sampleDump().endDump());
    auto copy = run("pdcp", {p, "/dev/full"});
    EXPECT_EQ(copy.err, "pdcp: error writing /dev/full: No space left on device\n");
    EXPECT_EQ(copy.status, 2);
    auto toStdout = run("pdcp", {p, "-"}, Options{.outputFile = "/dev/full"});
    EXPECT_EQ(toStdout.err, "pdcp: error writing standard output: No space left on device\n");
    EXPECT_EQ(toStdout.status, 2);
    auto extract = run("pdex", {p, "console"}, Options{.outputFile = "/dev/full"});
    EXPECT_EQ(extract.err, "pdex: error writing standard output: No space left on device\n");
    EXPECT_EQ(extract.status, 2);
    auto list = run("pdex", {p}, Options{.outputFile = "/dev/full"});
    EXPECT_EQ(list.status, 2);
    auto time = run("pdcp", {p}, Options{.outputFile = "/dev/full"});
    EXPECT_EQ(time.status, 2);
}

TEST_F(PanicDump, AWriteFailureInsideABlockStopsTheCopy)
{
    Dump d;
    d.section(attr("big")).filledData(1 << 20, 'z').endSection().endDump();
    auto r = run("pdcp", {file(d), "/dev/full"});
    EXPECT_EQ(r.err, report("pdcp", "dopd", "fwrite failed for block.") +
                         "pdcp: error writing /dev/full: No space left on device\n");
    EXPECT_EQ(r.status, 2);
}

TEST_F(PanicDump, UsageAndOperandErrors)
{
    std::string p = file(sampleDump().endDump());
    for (auto args : std::vector<std::vector<std::string>>{{}, {p, "a", "b"}}) {
        auto r = run("pdex", args);
        EXPECT_EQ(r.err, std::string("Too few or too many arguments\n") + kPdexUsage);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
        auto c = run("pdcp", args);
        EXPECT_EQ(c.err, std::string("Too few or too many arguments\n") + kPdcpUsage);
        EXPECT_EQ(c.status, 1);
    }
}

TEST_F(PanicDump, AnUnknownOptionIsReportedThenTheUsage)
{
    SKIP_UNLESS_ARGV0_IS_SET(); // the option parser names argv[0]
    auto bad = run("pdex", {"-x", file(sampleDump().endDump())});
    EXPECT_EQ(bad.err, std::string("pdex: invalid option -- 'x'\n") + kPdexUsage);
    EXPECT_EQ(bad.status, 1);
    auto other = run(dir.linkAs("other"), {"-q"}, Options{.argv0 = std::string("other")});
    EXPECT_EQ(other.err, "other: invalid option -- 'q'\nUsage: other \n");
    EXPECT_EQ(other.status, 1);
}

TEST_F(PanicDump, OpenFailuresNameThePath)
{
    std::string missing = dir.path("missing");
    auto r = run("pdex", {missing});
    EXPECT_EQ(r.err, missing + ": No such file or directory\n");
    EXPECT_EQ(r.status, 1);
    // The output is created before the input is found missing.
    auto c = run("pdcp", {missing, dir.path("out")});
    EXPECT_EQ(c.err, missing + ": No such file or directory\n");
    EXPECT_EQ(c.status, 1);
    struct stat st;
    EXPECT_EQ(stat(dir.path("out").c_str(), &st), 0);
    auto o = run("pdcp", {file(sampleDump().endDump()), dir.path("nodir/out")});
    EXPECT_EQ(o.err, dir.path("nodir/out") + ": No such file or directory\n");
    EXPECT_EQ(o.status, 1);
}

TEST_F(PanicDump, OtherNamesReadADumpFromStandardInputAndWriteNothing)
{
    std::string bytes = sampleDump().endDump().str();
    for (const char *name : {"trelkit", "PDEX"}) {
        std::string link = dir.linkAs(name);
        auto r = run(link, {"ignored", "operands"}, Options{.input = bytes, .argv0 = std::string(name)});
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.err, "") << name;
        EXPECT_EQ(r.status, 2) << name;
    }
}

} // namespace
