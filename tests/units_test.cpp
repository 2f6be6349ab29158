// What the end-to-end tests cannot see cheaply: each byte in each column of each hex line length; the console bytes.
#include <cctype>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <sys/mman.h>
#include <unistd.h>

#include "common.h"
#include "dumpformat.h"
#include "dumpscan.h"
#include "json.h"
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

// Each line's offset is made from the last one's text but where 256 bytes, a fold or 4 GiB (a ninth digit) pass:
// lines as their printf formats define them, from an offset at each of those, with a fold across 256 bytes.
TEST(HexLine, OffsetsMatchTheirPrintfFormatAcrossEveryChangeOfTheirHigherDigits)
{
    std::array<uint8_t, 2001> bytes; // a short line last
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i >= 200 && i < 600 ? 'x' : i * 7 % 251);
    for (uint64_t first : {uint64_t{5}, uint64_t{0xfffff900}, uint64_t{0xfffffffffff}}) {
        std::string wanted;
        char offset[32];
        for (size_t at = 0, folds = 0; at < bytes.size(); at += 16) {
            const size_t n = std::min<size_t>(16, bytes.size() - at);
            if (at > 0 && n == 16 && memcmp(&bytes[at], &bytes[at - 16], 16) == 0 && ++folds)
                continue;
            wanted += folds ? " Last repeated " + std::to_string(folds) + " times\n" : "";
            folds = 0;
            snprintf(offset, sizeof offset, "%08llx: ", static_cast<unsigned long long>(first + at));
            wanted += offset + referenceLine(&bytes[at], n);
        }
        char *text = nullptr;
        size_t length = 0;
        FILE *saved = stdout;
        stdout = open_memstream(&text, &length);
        static std::optional<HexDumper> dumper; // static storage: its buffer is large
        dumper.emplace();
        dumper->showOffsets(first);
        dumper->feed(bytes);
        dumper->finish();
        fclose(stdout);
        stdout = saved;
        EXPECT_EQ(std::string(text, length), wanted) << first;
        free(text);
    }
}

TEST(ConsoleBytes, OnlyBackspaceTabLineFeedAndPrintables)
{
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(isConsoleByte(static_cast<uint8_t>(b)), b == 8 || b == 9 || b == 10 || (b >= 32 && b <= 126)) << b;
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

// A header whose successor runs past the bytes the input's buffer holds (the first read takes 512) has it read, from a
// file and from a pipe: the scan passes over one whose successor fails there and stops at the next, whose successor
// holds there or is cut short by the input's end.
TEST(HeaderScan, ASuccessorBeyondTheBufferIsReadWhereItIs)
{
    std::array<uint8_t, 2000> bytes;
    bytes.fill(0xee);
    for (auto [at, bsz] : {std::pair<size_t, uint32_t>{50, 434}, {100, 400}, {516, 0}}) {
        auto header = trelkit::dump::endHeader(1700000000, "pD");
        trelkit::putBe32(&header[8], bsz);
        trelkit::putBe16(&header[14], trelkit::xorWords(std::span(header).first(14)));
        std::copy(header.begin(), header.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    for (size_t size : {2000, 520})
        for (bool piped : {false, true}) {
            int fds[2];
            ASSERT_EQ(piped ? pipe(fds) : (fds[1] = memfd_create("in", 0)) < 0, 0);
            ASSERT_EQ(write(fds[1], bytes.data(), size), static_cast<ssize_t>(size));
            if (!piped)
                fds[0] = dup(fds[1]), lseek(fds[0], 0, SEEK_SET);
            close(fds[1]);
            trelkit::dump::DumpInput in;
            ASSERT_TRUE(in.open(fds[0]));
            EXPECT_TRUE(trelkit::dump::findHeader(in, 1700000000, 16)) << size << " " << piped;
            EXPECT_EQ(in.position(), 100u) << size << " " << piped;
            close(fds[0]);
        }
}

TEST(SizeOperand, DecimalHexAndSuffixesUpToTwoToThe63)
{
    struct Row {
        const char *text;
        bool ok;
        uint64_t value;
    };
    for (const Row &r : std::initializer_list<Row>{
             {"0", true, 0}, {"4096", true, 4096}, {"0x1F", true, 31}, {"0XfF", true, 255}, {"2k", true, 2048},
             {"3M", true, 3 << 20}, {"0x2G", true, 2ull << 30}, {"9223372036854775807", true, INT64_MAX},
             {"0x7fffffffffffffff", true, INT64_MAX}, {"8589934591G", true, 8589934591ull << 30},
             {"9223372036854775808", false, 0}, {"8589934592G", false, 0}, {"", false, 0}, {"0x", false, 0},
             {"K", false, 0}, {"1KB", false, 0}, {"1 ", false, 0}, {"-1", false, 0}, {"1T", false, 0},
             {"12a", false, 0}, {"0x1g5", false, 0}, {"1K ", false, 0}}) {
        uint64_t value = 12345;
        EXPECT_EQ(parseSize(r.text, value), r.ok) << r.text;
        EXPECT_EQ(value, r.ok ? r.value : 12345) << r.text;
    }
}

// Every byte in a string comes back from a real parser as the code point of its value; keys, nesting and numbers too.
TEST(Json, APythonParserGetsEveryByteBack)
{
    std::string all;
    for (int b = 255; b >= 0; --b)
        all += static_cast<char>(b);
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    trelkit::JsonWriter json(out);
    json.begin('{');
    json.key("bytes").string(all.data(), all.size());
    json.key("\"\\/\x7f").begin('[');
    json.number(INT64_MIN);
    json.time(0);
    json.begin('[');
    json.end(']');
    json.boolean(false);
    json.null();
    json.string("");
    json.end(']');
    json.end('}');
    fclose(out);
    const std::string doc(text, size), path = testing::TempDir() + "/doc.json";
    free(text);
    FILE *f = fopen(path.c_str(), "w");
    fwrite(doc.data(), 1, doc.size(), f);
    fclose(f);
    FILE *p = popen(("python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); "
                     "sys.stdout.buffer.write(d[\"bytes\"].encode(\"latin-1\")); print(repr(d[\"\\\"\\\\/\\x7f\"]))' " +
                     path).c_str(), "r");
    std::string back;
    for (int c; (c = fgetc(p)) != EOF;)
        back += static_cast<char>(c);
    pclose(p);
    EXPECT_EQ(back, all + "[-9223372036854775808, {'unix': 0, 'utc': '1970-01-01T00:00:00Z'}, [], False, None, '']\n")
        << doc;
}

} // namespace
