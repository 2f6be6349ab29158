// catconsole, objectdump and syslockdump end to end.
#include <climits>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

#include "fixture/fixture.h"
#include "harness.h"

using harness::Options;
using harness::run;

namespace {

constexpr const char *kHead = "\n=============  START OF HEAD  =========================\n";
constexpr const char *kTail = "\n=============    END OF HEAD  & START OF TAIL =========\n";
constexpr const char *kEnd = "\n=============  END OF TAIL    =========================\n";

class Viewers : public ::testing::Test {
protected:
    harness::TempDir dir;
    std::string file(const std::string &bytes, const std::string &name = "input")
    {
        std::string p = dir.path(name);
        EXPECT_TRUE(fixture::writeFile(p, bytes));
        return p;
    }
};

fixture::Console capture(int32_t dataEnd, int32_t headLen, int32_t writePos, int32_t wrapped, std::string text)
{
    fixture::Console c;
    c.dataEnd = dataEnd;
    c.headLen = headLen;
    c.writePos = writePos;
    c.wrapped = wrapped;
    c.text = std::move(text);
    return c;
}

// ---- catconsole

TEST_F(Viewers, ConsoleNotWrappedPrintsUpToTheWritePosition)
{
    auto r = run("catconsole", {file(capture(0, 0, 5, 0, "hello world").encode())});
    EXPECT_EQ(r.out, "hello");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    for (int32_t pos : {0, -1, INT_MIN}) {
        auto none = run("catconsole", {file(capture(100, 3, pos, 0, "text").encode())});
        EXPECT_EQ(none.out, "") << pos;
        EXPECT_EQ(none.status, 0) << pos;
    }
}

TEST_F(Viewers, ConsoleWrappedPrintsHeadThenTheRingOldestFirst)
{
    //                      head    ring: newest | oldest
    std::string text = std::string("HEAD") + "new" + "OLD!";
    auto r = run("catconsole", {file(capture(11, 4, 7, 1, text).encode())});
    EXPECT_EQ(r.out, std::string(kHead) + "HEAD" + kTail + "OLD!" + "new" + kEnd);
    EXPECT_EQ(r.status, 0);

    auto noHead = run("catconsole", {file(capture(6, 0, 3, 1, "abcdef").encode())});
    EXPECT_EQ(noHead.out, std::string(kHead) + kTail + "def" + "abc" + kEnd);
    auto atEnd = run("catconsole", {file(capture(6, 2, 6, 1, "hhring").encode())});
    EXPECT_EQ(atEnd.out, std::string(kHead) + "hh" + kTail + "ring" + kEnd);
    auto behindHead = run("catconsole", {file(capture(6, 4, 2, 1, "hhhhrr").encode())});
    EXPECT_EQ(behindHead.out, std::string(kHead) + "hhhh" + kTail + "hhrr" + kEnd);
}

TEST_F(Viewers, ConsoleDropsControlAndHighBytes)
{
    std::string text = "a\r\nb\tc\bd\x1b[0m\x7f\x80\xff\x0b\x0c\x01 e";
    auto r = run("catconsole", {file(capture(0, 0, static_cast<int32_t>(text.size()), 0, text).encode())});
    EXPECT_EQ(r.out, "a\nb\tc\bd[0m e");
}

TEST_F(Viewers, ConsoleHeaderValuesNeverReachOutsideTheTextArea)
{
    std::string text(64000, 'x');
    text.back() = 'Y';
    for (int32_t v : {INT_MIN, -1, 64000, 64001, INT_MAX}) {
        for (int32_t wrapped : {0, 1}) {
            auto r = run("catconsole", {file(capture(v, v, v, wrapped, text).encode())});
            EXPECT_EQ(r.status, 0) << v;
            EXPECT_EQ(r.err, "") << v;
        }
    }
    auto extremes = run("catconsole", {file(capture(INT_MAX, INT_MAX, INT_MIN, 1, text).encode())});
    EXPECT_EQ(extremes.out, std::string(kHead) + text + kTail + text + kEnd);
    auto all = run("catconsole", {file(capture(0, 0, INT_MAX, 0, text + "beyond the capture").encode())});
    EXPECT_EQ(all.out, text);
}

TEST_F(Viewers, ConsoleReadsAPipeWhole)
{
    std::string text(30000, 'p');
    std::string bytes = capture(0, 0, 30000, 0, text).encode();
    auto trickled = run("catconsole", {}, Options{.input = bytes, .trickle = 3000});
    EXPECT_EQ(trickled.out, text);
    EXPECT_EQ(trickled.status, 0);
}

TEST_F(Viewers, ConsoleRefusesWhatIsNotACapture)
{
    auto empty = run("catconsole", {file("")});
    EXPECT_EQ(empty.out, "Invalid size encountered(0)!\n");
    EXPECT_EQ(empty.status, 1);
    auto nine = run("catconsole", {}, Options{.input = std::string("\xa1\xb2\xcc\xff\0\0\0\0\0", 9)});
    EXPECT_EQ(nine.out, "Invalid size encountered(9)!\n");
    auto magic = run("catconsole", {file(std::string(20, '\0'))});
    EXPECT_EQ(magic.out, "catconsole: invalid input file!\n");
    EXPECT_EQ(magic.status, 1);
    auto ten = run("catconsole", {file(capture(0, 0, 0, 0, "").encode().substr(0, 10))});
    EXPECT_EQ(ten.out, "");
    EXPECT_EQ(ten.status, 0);
    auto directory = run("catconsole", {dir.path("")});
    EXPECT_EQ(directory.out, "Invalid size encountered(-1)!\n");
    auto missing = run("catconsole", {dir.path("missing")});
    EXPECT_EQ(missing.out, "Can't open " + dir.path("missing") + " (err 2)\n");
    EXPECT_EQ(missing.status, 1);
    for (auto args : std::vector<std::vector<std::string>>{{"a", "b"}, {"a", "b", "c"}}) {
        auto usage = run("catconsole", args);
        EXPECT_EQ(usage.out, "Usage: catconsole input CONSLOE_LOG client's file\n");
        EXPECT_EQ(usage.status, 0);
    }
}

// ---- objectdump

constexpr const char *kZeroLine =
    "00000000 00000000 00000000 00000000         . . . . . . . . . . . . . . . . \n";

TEST_F(Viewers, HexDumpLayout)
{
    EXPECT_EQ(run("objectdump", {file("")}).out, "");
    EXPECT_EQ(run("objectdump", {file(std::string(16, '\0'))}).out, kZeroLine);
    auto r = run("objectdump", {file(std::string("0123456789abcdef") + "\x7f\x80 ~\x1f")});
    EXPECT_EQ(r.out, "30313233 34353637 38396162 63646566         0 1 2 3 4 5 6 7 8 9 a b c d e f \n"
                     "7f80207e 1f              . .   ~ . \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(run("objectdump", {}, Options{.input = "ABCD"}).out, "41424344         A B C D \n");
}

TEST_F(Viewers, HexDumpFoldsRepeatedLines)
{
    std::string line(16, 'z');
    auto tail = run("objectdump", {file(line + line + line)});
    EXPECT_EQ(tail.out.substr(tail.out.find('\n') + 1), " Last datarepeated 2 times\n");
    auto middle = run("objectdump", {file(std::string(32, '\0') + "x")});
    EXPECT_EQ(middle.out, std::string(kZeroLine) + " Last repeated 1 times\n" + "78              x \n");
    // A short last line is always printed, even when it starts like the last one.
    auto shortLast = run("objectdump", {file(line + line + "zzz")});
    EXPECT_EQ(shortLast.out, run("objectdump", {file(line)}).out + " Last repeated 1 times\n" +
                                 "7a7a7a              z z z \n");
}

TEST_F(Viewers, HexDumpOfATricklingPipeMatchesTheFile)
{
    std::string bytes;
    for (int i = 0; i < 1000; ++i)
        bytes += static_cast<char>(i % 7 == 0 ? i : 0);
    bytes += std::string(100, 'q');
    auto fromFile = run("objectdump", {file(bytes)});
    auto fromPipe = run("objectdump", {}, Options{.input = bytes, .trickle = 3});
    EXPECT_EQ(fromPipe.out, fromFile.out);
    EXPECT_EQ(fromPipe.status, 0);
}

TEST_F(Viewers, HexDumpErrors)
{
    auto usage = run("objectdump", {"a", "b"});
    EXPECT_EQ(usage.out, "Usage: objectdump [one-input-file]\n       use stdin if input-file omitted\n");
    EXPECT_EQ(usage.status, 1);
    auto missing = run("objectdump", {dir.path("missing")});
    EXPECT_EQ(missing.out, "Can't open " + dir.path("missing") + " (err 2)\n");
    EXPECT_EQ(missing.status, 1);
    auto directory = run("objectdump", {dir.path("")});
    EXPECT_EQ(directory.err, "objectdump: error reading " + dir.path("") + ": Is a directory\n");
    EXPECT_EQ(directory.status, 1);
}

// ---- syslockdump

fixture::LockRecord sampleRecord()
{
    fixture::LockRecord r;
    r.id = 0x1234;
    r.text1 = "spin_lock";
    r.text2 = "mutexA";
    r.text3 = "held";
    r.text4 = "CPU0";
    r.taskp = 0xc0ffee00;
    r.timeSec = 5;
    r.timeFrac = 42;
    r.pid = 412;
    r.taskName = "ipsecd";
    r.preemptCount = -1;
    r.cpu = 3;
    r.irqsDisabled = 1;
    r.frames = {{0xc0012345, "do_panic", "", 0x10, 0x200}, {0xc0055555, "", "ignored", 1, 2},
                {0xd0001000, "mod_fn", "mymod", 0, 0x40}};
    return r;
}

const std::string kSampleText = "CPU0             spin_lock            mutexA           held            \n"
                                "ID[0x1234] TIME[5.42] CPU[3] TASKP[0xc0ffee00]\n"
                                "PID[412(ipsecd)] PREEMPT_COUNT[-1] IRQS_DISABLED[1]\n"
                                ">\n"
                                "> 0xc0012345: do_panic+0x10/0x200\n"
                                "> 0xc0055555\n"
                                "> 0xd0001000: mod_fn+0/0x40 [mymod]\n"
                                "\n";

TEST_F(Viewers, LockDumpPrintsEveryWholeRecord)
{
    std::string one = sampleRecord().encode();
    ASSERT_EQ(one.size(), fixture::kLockRecordSize);
    auto r = run("syslockdump", {file(one + one + std::string(4500 - 2 * one.size(), 'x'))});
    EXPECT_EQ(r.out, kSampleText + kSampleText);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(run("syslockdump", {file("")}).out, "");
    auto shortFile = run("syslockdump", {file(one.substr(0, 2211))});
    EXPECT_EQ(shortFile.out, "");
    EXPECT_EQ(shortFile.status, 0);
}

TEST_F(Viewers, LockDumpFieldsAtTheirLimits)
{
    fixture::LockRecord r;
    r.text1 = std::string(32, 'a'); // no NUL anywhere in these fields
    r.text2 = std::string(32, 'b');
    r.text3 = "c";
    r.text4 = std::string(17, 'd');
    r.taskName = std::string(16, 't');
    for (uint32_t k = 0; k < 10; ++k)
        r.frames.push_back({0x1000 + k, std::string(129, 's'), std::string(63, 'm'), k, 0});
    std::string expected = std::string(16, 'd') + " " + std::string(20, 'a') + " " + std::string(16, 'b') + " c" +
                           std::string(15, ' ') + "\nID[(nil)] TIME[0.0] CPU[0] TASKP[(nil)]\nPID[0(" +
                           std::string(16, 't') + ")] PREEMPT_COUNT[0] IRQS_DISABLED[0]\n>\n";
    for (uint32_t k = 0; k < 10; ++k) {
        char offset[16];
        snprintf(offset, sizeof offset, "%#x", k);
        expected += "> 0x" + std::to_string(1000 + k) + ": " + std::string(129, 's') + "+" + offset + "/0 [" +
                    std::string(63, 'm') + "]\n";
    }
    auto out = run("syslockdump", {file(r.encode())});
    EXPECT_EQ(out.out, expected + "\n");

    fixture::LockRecord none = sampleRecord();
    none.frames.clear();
    std::string text = run("syslockdump", {file(none.encode())}).out;
    EXPECT_EQ(text, kSampleText.substr(0, kSampleText.find(">\n") + 2) + "\n");
}

TEST_F(Viewers, LockDumpStreamsFromAFifo)
{
    std::string fifo = dir.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string one = sampleRecord().encode();
    std::thread writer([&] {
        int fd = open(fifo.c_str(), O_WRONLY);
        for (char c : one + one + "tail") // a byte at a time: reads come short
            (void)!write(fd, &c, 1);
        close(fd);
    });
    auto r = run("syslockdump", {fifo});
    writer.join();
    EXPECT_EQ(r.out, kSampleText + kSampleText);
    EXPECT_EQ(r.status, 0);
}

TEST_F(Viewers, LockDumpErrors)
{
    for (auto args : std::vector<std::vector<std::string>>{{}, {"a", "b"}}) {
        auto usage = run("syslockdump", args, Options{.input = sampleRecord().encode()});
        EXPECT_EQ(usage.out, "Usage: syslockdump [one-input-file]\n");
        EXPECT_EQ(usage.status, 1);
    }
    auto missing = run("syslockdump", {dir.path("missing")});
    EXPECT_EQ(missing.err, "Unable to open file " + dir.path("missing"));
    EXPECT_EQ(missing.status, 255);
    auto directory = run("syslockdump", {dir.path("")});
    EXPECT_EQ(directory.err, "syslockdump: error reading " + dir.path("") + ": Is a directory\n");
    EXPECT_EQ(directory.status, 255);
}

TEST_F(Viewers, ALargeLockDumpStaysInBoundedMemory)
{
    std::string one = sampleRecord().encode();
    std::string path = dir.path("large");
    FILE *f = fopen(path.c_str(), "wb");
    for (int i = 0; i < 30000; ++i) // 66 MB
        fwrite(one.data(), 1, one.size(), f);
    fclose(f);
    auto r = run("syslockdump", {path}, Options{.addressSpaceMiB = 64}); // less than the file
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.size(), kSampleText.size() * 30000);
}

TEST_F(Viewers, AFailedWriteToStdoutFails)
{
    std::string console = file(capture(0, 0, 4, 0, "text").encode(), "console");
    std::string lock = file(sampleRecord().encode(), "lock");
    struct Case {
        const char *tool;
        std::string input;
    };
    for (const Case &c : {Case{"catconsole", console}, Case{"objectdump", console}, Case{"syslockdump", lock}}) {
        auto r = run(c.tool, {c.input}, Options{.outputFile = "/dev/full"});
        EXPECT_EQ(r.err, std::string(c.tool) + ": error writing standard output: No space left on device\n");
        EXPECT_EQ(r.status, 1) << c.tool;
    }
}

} // namespace
