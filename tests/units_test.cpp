// What the end-to-end tests cannot see cheaply: each byte in each column of each hex line length; the fast scan for
// record headers against the plain one; the calls the input and the output make.
#include <cctype>
#include <climits>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <sstream>
#include <sys/mman.h>
#include <unistd.h>

#include "common.h"
#include "dumpformat.h"
#include "dumpio.h"
#include "dumpscan.h"
#include "viewers.h"

using namespace trelkit::viewers;

namespace {

// A line as its printf formats define it: words, the remainder and its filler, eight blanks, the characters.
std::string referenceLine(const uint8_t *b, size_t n)
{
    char text[128], *p = text;
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        p += sprintf(p, "%08x ", b[i] << 24 | b[i + 1] << 16 | b[i + 2] << 8 | b[i + 3]);
    for (size_t k = i; k < n; ++k)
        p += sprintf(p, "%02x", b[k]);
    p += sprintf(p, "%s        ", i < n ? "      " : "");
    for (size_t k = 0; k < n; ++k)
        p += sprintf(p, "%c ", isprint(b[k]) ? b[k] : '.');
    return std::string(text, p) + "\n";
}

TEST(HexLine, EveryLengthAndEveryByteInEveryColumnMatchesItsPrintfFormats)
{
    for (size_t n = 1; n <= 16; ++n)
        for (int first = 0; first < 256; ++first) {
            std::array<uint8_t, 16> line;
            for (size_t k = 0; k < line.size(); ++k)
                line[k] = static_cast<uint8_t>(first + k);
            std::array<char, kMaxLine + 1> out;
            out.fill('#');
            size_t length = formatHexLine(std::span(line).first(n), out.data());
            ASSERT_EQ(std::string(out.data(), length), referenceLine(line.data(), n)) << n << " " << first;
            ASSERT_EQ(out[kMaxLine], '#') << n;
        }
}

// The scan for record headers in damaged bytes looks at 16 or 64 starts at once where the host has SSE2: it finds
// what the plain search finds, up to the last start with 16 bytes behind it, and never reads past a page's end.
TEST(HeaderScan, TheFastSearchFindsWhatThePlainOneFindsAndReadsNoFurther)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto *area =
        static_cast<uint8_t *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(mprotect(area + page, page, PROT_NONE), 0);
    const std::array<uint8_t, 2> stamp{1, 2};
    // Stamps now near, now far, and first bytes without the second; or a stamp at the first start, one at the first
    // with fewer than 16 bytes behind it, and nothing between for the search that skips 64 starts at a time.
    for (size_t size : {0, 15, 16, 17, 18, 31, 32, 33, 1000, 4000})
        for (bool two : {false, true}) {
            const std::span<uint8_t> b(area + page - size, size);
            std::minstd_rand random(static_cast<unsigned>(size));
            for (size_t i = 0; i < size; ++i)
                b[i] = static_cast<uint8_t>(two ? (i < 2 ? i + 1 : (i == size - 15) + 2 * (i == size - 14))
                                                : random() % 8);
            // Every start's scan meets the page's end at another point of its 64 starts at a time; a stamp of two
            // equal bytes starts again at its second byte.
            for (const std::array<uint8_t, 2> &s : {stamp, std::array<uint8_t, 2>{1, 1}})
                for (size_t from = 0; from < size; ++from) {
                    trelkit::dump::StampScan fast(b.subspan(from), s), plain(b.subspan(from), s, true);
                    for (size_t at = 0; at < size - from;) {
                        at = fast.next();
                        ASSERT_EQ(at, plain.next()) << size << " from " << from << " stamp " << int{s[1]};
                    }
                }
            ASSERT_TRUE(!two || trelkit::dump::StampScan(b, stamp).next() == (size < 16 ? size : 0)) << size;
            ASSERT_TRUE(!two || size < 2 || trelkit::dump::StampScan(b.subspan(1), stamp).next() == size - 1) << size;
        }
    munmap(area, 2 * page);
}

// The scan's own check of a header agrees with the reader's on a header of each kind with DSZ at BSZ and every one
// or two of its bits flipped: two flips at one place in two words keep the checksum and change what it covers.
TEST(HeaderScan, TheQuickCheckPassesWhatTheReaderPasses)
{
    for (const char *mag : {"pH", "pD"}) {
        const auto valid = trelkit::dump::endHeader(1700000000, mag);
        for (size_t i = 0; i <= 128; ++i)
            for (size_t j = i; j <= 128; ++j) {
                auto h = valid;
                h[11] = h[7] = 8; // DSZ = BSZ = 8, the checksum kept
                for (size_t bit : {i, j == i ? 128 : j})
                    if (bit < 128)
                        h[bit / 8] ^= static_cast<uint8_t>(1 << bit % 8);
                ASSERT_TRUE(i < 128 || trelkit::dump::quickHeaderPasses(h.data(), 1700000000));
                ASSERT_EQ(trelkit::dump::quickHeaderPasses(h.data(), 1700000000),
                          trelkit::dump::headerPasses(trelkit::dump::HeaderBytes(h), 1700000000))
                    << mag << " " << i << " " << j;
            }
    }
}

TEST(SizeOperand, DecimalHexAndSuffixesUpToTwoToThe63)
{
    // clang-format off
    for (auto [text, size] : std::initializer_list<std::pair<const char *, std::optional<uint64_t>>>{
             {"0", 0}, {"4096", 4096}, {"0x1F", 31}, {"0XfF", 255}, {"2k", 2048}, {"3M", 3 << 20}, {"0x2G", 2ull << 30},
             {"9223372036854775807", INT64_MAX}, {"0x7fffffffffffffff", INT64_MAX}, {"8589934591G", 8589934591ull << 30},
             {"9223372036854775808", {}}, {"8589934592G", {}}, {"", {}}, {"0x", {}}, {"K", {}}, {"1KB", {}}, {"1 ", {}},
             {"-1", {}}, {"0x1g5", {}}}) { // clang-format on
        uint64_t value = 12345;
        EXPECT_EQ(parseSize(text, value), size.has_value()) << text;
        EXPECT_EQ(value, size.value_or(12345)) << text;
    }
}

// The input and the sink over calls of their own: what a row sets goes wrong, what the calls saw ("R" a read, "r" a
// read at an offset @, "c" a kernel copy asked for, "w" a write, "v" a gathered write, "p" a write over a place), a
// letter a step for what moved (All, input Ended, output Failed), and the output: the first bytes of the input as it
// was, as many as kept.
struct Faults {
    int copyErrno = 0;          // kernel copies fail with it
    long copyTotal = LONG_MAX;  // kernel copies copy this many bytes in all, then none
    off_t shortAt = -1;         // a read at this offset gives one byte
    size_t readMax = SIZE_MAX;  // a read gives at most this many bytes
    int pwriteErrno = 0;        // writes over a place fail with it
    long writeLimit = LONG_MAX; // the output takes this many bytes, then File too large
} faults;
std::string calls;
long copied, written; // by the kernel copies, to the end of the output

ssize_t saw(const std::string &call, size_t size, ssize_t result, off_t at = -1)
{
    calls += " " + call + std::to_string(size) + (at < 0 ? "" : "@" + std::to_string(at));
    return result;
}

ssize_t limitedWrite(int fd, const void *bytes, size_t size)
{
    const size_t room = std::min<size_t>(size, faults.writeLimit - written);
    const ssize_t n = room == 0 ? (errno = EFBIG, -1) : write(fd, bytes, room);
    written += std::max<ssize_t>(n, 0);
    return n;
}

const trelkit::dump::SystemCalls fakeCalls = {
    [](int fd, void *bytes, size_t size) { return saw("R", size, read(fd, bytes, std::min(size, faults.readMax))); },
    [](int fd, const void *bytes, size_t size) { return saw("w", size, limitedWrite(fd, bytes, size)); },
    [](int fd, const iovec *pieces, int count) {
        std::string all;
        for (const iovec &v : std::span(pieces, count))
            all.append(static_cast<const char *>(v.iov_base), v.iov_len);
        return saw("v", all.size(), limitedWrite(fd, all.data(), all.size()));
    },
    [](int fd, void *bytes, size_t size, off_t at) {
        return saw("r", size, pread(fd, bytes, at == faults.shortAt ? std::min<size_t>(size, 1) : size, at), at);
    },
    [](int fd, const void *bytes, size_t size, off_t at) {
        return saw("p", size, faults.pwriteErrno ? (errno = faults.pwriteErrno, -1) : pwrite(fd, bytes, size, at), at);
    },
    [](int in, loff_t *inAt, int out, loff_t *, size_t size, unsigned) {
        std::string bytes(std::min<size_t>(size, faults.copyTotal - copied), '\0');
        ssize_t n = faults.copyErrno ? (errno = faults.copyErrno, -1) : pread(in, &bytes[0], bytes.size(), *inAt);
        n = n > 0 ? limitedWrite(out, bytes.data(), n) : n;
        copied += std::max<ssize_t>(n, 0);
        *inAt += std::max<ssize_t>(n, 0);
        return saw("c", size, n);
    },
    lseek,
};

TEST(Sink, RowsOfStepsGiveTheseBytesThroughTheseCalls)
{
    using trelkit::dump::Piece;
    struct Row {
        const char *title;
        char way; // m: a file mirrored into a file; f: a file gathered into a file; p: a pipe gathered into a file
        std::string steps; // hN: the next N bytes put as a header; xN, bN: moved as the extension, a block; dN, kN:
                           // discarded, skipped; RN: back towards N (@: where to); aN: 16 bytes read at N (a: how many,
                           // -: none can be); e: where the input ends (?: not known); ~N: the input's byte N flipped;
                           // tN: the input cut to N bytes; f: flush
        Faults faults;
        std::string moved, calls;
        size_t kept = SIZE_MAX;
        int err = 0; // noted for the report
        Piece failed = Piece::Block;
    };
    const char *twoRuns = "h16 b65536 h16 b100 h16 b65536 f";
    std::string manyPieces, oneByteReads, fills; // 65 small pieces; 16 reads of a byte; a file's buffer filled
    for (int i = 0; i < 65; ++i)
        manyPieces += "h1 ", oneByteReads += i < 16 ? " R131072" : "",
            fills += i < 7 ? " r131072@" + std::to_string(512 + 131072 * i) : "";
    std::string bytes(1100000, '\0'); // a pipe holds the first 300000
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    // clang-format off
    for (const Row &r : std::initializer_list<Row>{
             {"a run in one kernel copy, its headers then written over their places", 'm', "h16 b65536 h16 b65536 f",
              {}, "AAAAA", " r0@0 r512@0 r1@65551 r512@65552 r1@131103 c131104 r16@0 r16@65552", 131104},
             {"a run's kept headers full, then one more", 'm', "h32768 b65536 h32768 b65536 h16 f", {}, "AAAAAA",
              " r0@0 r32768@0 r1@98303 r32768@98304 r1@196607 r512@196608 c196608 r32768@0 r32768@98304 v16", 196624},
             {"the input rewritten, then cut, under the run: the copy ends there and holds the header as checked", 'm',
              "h16 b65536 ~3 t16 f", {}, "AAE", " r0@0 r512@0 r1@65551 c65552 c65536 r65536@16 r16@0 p16@0", 16},
             {"a kernel copy that fails is not asked again", 'm', twoRuns, {.copyErrno = EXDEV}, "AAAAAAA",
              " r0@0 r512@0 r1@65551 r512@65552 c65552 r65536@0 w65536 r16@65536 w16 r16@0 r1@131219 v116"
              " r65536@65668 w65536 r16@131204 w16 r16@65668", 131220},
             {"one that stops short: the rest is read and written, and the next run asks again", 'm', twoRuns,
              {.copyTotal = 1}, "AAAAAAA", " r0@0 r512@0 r1@65551 r512@65552 c65552 c65551 r65536@1 w65536 r15@65537"
              " w15 r16@0 r1@131219 v116 c65552 r65536@65668 w65536 r16@131204 w16 r16@65668", 131220},
             {"a read that gives less", 'm', "h16 b65536 f", {.copyErrno = ENOSYS, .shortAt = 0}, "AAA",
              " r0@0 r512@0 r512@1 r1@65551 c65552 r65536@0 w1 r65536@1 w65536 r15@65537 w15 r16@0 p16@0", 65552},
             {"a header that cannot be written over its place fails the output: nothing more is written", 'm',
              "h16 b65536 h16 b65536 f h16 b100", {.shortAt = 0, .pwriteErrno = EIO}, "AAAAFFF",
              " r0@0 r512@0 r512@1 r1@65551 r512@65552 r1@131103 c131104 r16@0 p16@0 r512@131104", 131104, EIO,
              Piece::Header},
             {"a write of a run that fails in a header names it", 'm', "h64 x65536 h16 b65536 f",
              {.copyErrno = EINVAL, .writeLimit = 65605}, "AAAAF", " r0@0 r512@0 r1@65599 r512@65600 r1@131151"
              " c131152 r65536@0 w65536 r65536@65536 w65536 w65467", 65605, EFBIG, Piece::Header},
             {"in the extension", 'm', "h64 x65536 h16 b65536 f", {.copyErrno = EINVAL, .writeLimit = 100}, "AAAAF",
              " r0@0 r512@0 r1@65599 r512@65600 r1@131151 c131152 r65536@0 w65536 w65436", 100, EFBIG,
              Piece::Extension},
             {"gathered, a large piece leaves with those before it; a failure names the first piece not written", 'f',
              "h16 b16384 h16 b100 b20000 f", {.writeLimit = 16470}, "AAAAFF",
              " r0@0 r512@0 r131072@512 v16400 v20116 v20046", 16470, EFBIG},
             {"small pieces that fill the room for them exactly leave in one write", 'f', "h16000 h16000 h16000 h16000"
              " h1536 f", {}, "AAAAAA", " r0@0 r16000@0 r131072@16000 v65536"},
             {"a file read on into the buffer while it has room, a block in a write", 'f',
              "h600 b100 b130972 b131072 k2000 h16 b30000 f", {}, "AAAAAAA",
              " r0@0 r600@0 r131072@600 v131672 r131072@131672 v131072 r512@264744 r131072@265256 v30016"},
             {"a window up to the buffer's end reads on into it; one past it moves what is left to the front first",
              'f', "h2 d917998 h130576 h16 f", {}, "AAAA",
              " r0@0 r512@0" + fills + " d917998 r130560@918016 v130578 r131072@1048576 v16"},
             {"a skip of what the buffer holds reads on", 'f', "h2 k510 h16 f", {}, "AAA", " r0@0 r512@0 r131072@512 v18"},
             {"a pipe's last byte in the buffer is taken with no read", 'p', "h2 d509 d1 e f", {}, "AA", " R512 d509 d1 e? v2"},
             {"a file rewound to before its buffer reads there", 'f', "k1000000 h16 R10 h16 f", {}, "AAA",
              " r0@0 r512@1000000 @10 r512@10 v32"},
             {"a pipe looks back only as far as what its buffer kept when it last read", 'p',
              "h2 d100 b200000 R50 d300000 e", {}, "AA",
              " R512 d100 R199590 v200002 @102 R131072 R131072 d299898 e300000"},
             {"a pipe that gives a byte a read has not ended", 'p', "h2 a2 e f", {.readMax = 1}, "AA",
              " R512 R512" + oneByteReads + " a16 e? v2"},
             {"where a file ends: doubling, then halving", 'f', "t20 e", {}, "",
              " r0@0 r1@0 r1@1 r1@3 r1@7 r1@15 r1@31 r1@23 r1@19 r1@21 r1@20 e20"},
             {"more pieces than a gathered write takes", 'f', manyPieces + "f", {}, std::string(66, 'A'), " r0@0 r512@0 v64 v1"},
             {"read at an offset: from the buffer where it holds them, else from the file", 'f', "k2000 h16 a2000 a2010 a5000 f",
              {}, "AA", " r0@0 r512@2000 a16 a16 r16@5000 a16 v16"},
             {"a pipe reads ahead for them as far as its buffer reaches, and to its end", 'p',
              "h2 a600 a2000000 a1048563 a1048562 d299990 a299995 a300010 R300000 f", {}, "AA",
              " R512 R131072 a16 a- a- R916994 R748578 a0 d299990 R131072 a5 R131072 a0 @300000 v2"},
         }) {
        faults = r.faults; // clang-format on
        calls.clear();
        copied = written = takeWriteError();
        int in = memfd_create("in", 0), pipeEnds[2];
        const int out = memfd_create("out", 0);
        ASSERT_EQ(pwrite(in, bytes.data(), bytes.size(), 0), std::ssize(bytes));
        if (r.way == 'p') {
            ASSERT_EQ(pipe(pipeEnds), 0);
            fcntl(pipeEnds[1], F_SETPIPE_SZ, 1 << 20);
            ASSERT_EQ(write(pipeEnds[1], bytes.data(), 300000), 300000);
            close(pipeEnds[1]);
            close(in);
            in = pipeEnds[0];
        }
        trelkit::dump::DumpInput input(fakeCalls);
        ASSERT_TRUE(input.open(in));
        trelkit::dump::DumpSink sink(fakeCalls);
        sink.open(out, r.way == 'm' ? in : -1, 0);
        std::istringstream steps(r.steps);
        std::string moved, wanted;
        for (std::string step; steps >> step;) {
            const size_t n = step.size() > 1 ? std::stoul(step.substr(1)) : 0, at = input.position();
            const char flipped = static_cast<char>(~bytes[std::min(n, bytes.size() - 1)]);
            if (step[0] == 't' || step[0] == '~') {
                ASSERT_TRUE(step[0] == 't' ? ftruncate(in, n) == 0 : pwrite(in, &flipped, 1, n) == 1);
            } else if (step[0] == 'd' || step[0] == 'k') {
                step[0] == 'd' ? calls += " d" + std::to_string(input.discard(n)) : (input.skip(n), calls);
            } else if (step[0] == 'a') {
                std::array<uint8_t, 16> got{};
                const std::optional<size_t> k = input.readAt(n, got);
                calls += " a" + (k ? std::to_string(*k) : "-");
                const size_t m = k.value_or(0);
                EXPECT_EQ(std::string(got.begin(), got.begin() + m), m ? bytes.substr(n, m) : "") << r.title;
            } else if (step[0] == 'R' || step[0] == 'e') {
                const auto end =
                    step[0] == 'R' ? (input.rewindWithin(n), std::optional(input.position())) : input.end();
                calls += (step[0] == 'R' ? " @" : " e") + (end ? std::to_string(*end) : "?");
            } else {
                const std::span<const uint8_t> record = step[0] == 'h' ? input.window(n).first(n) : input.window(0);
                const auto m = step[0] == 'h'   ? sink.put(std::vector(record.begin(), record.end()), Piece::Header)
                               : step[0] == 'f' ? sink.flush()
                                                : sink.move(input, n, step[0] == 'x' ? Piece::Extension : Piece::Block);
                wanted += step[0] == 'f' ? "" : bytes.substr(at, n);
                input.consume(step[0] == 'h' ? n : 0);
                moved += "AEF"[static_cast<int>(m)];
            }
        }
        std::string got(lseek(out, 0, SEEK_END), '\0');
        ASSERT_EQ(pread(out, got.data(), got.size(), 0), std::ssize(got));
        EXPECT_TRUE(got == wanted.substr(0, r.kept)) << r.title << ": " << got.size() << " bytes";
        EXPECT_EQ(std::tuple(moved, calls, takeWriteError(), sink.failedPiece()),
                  std::tuple(std::string(r.moved), std::string(r.calls), r.err, r.failed))
            << r.title;
        close(in);
        close(out);
    }
}

} // namespace
