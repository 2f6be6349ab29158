// Record decoding and checksums of the panic dump format.
#include <cctype>
#include <gtest/gtest.h>

#include "bytes.h"
#include "dumpfile.h"
#include "fixture/fixture.h"

using namespace trelkit;
using namespace trelkit::dump;

namespace {

template <size_t N> std::array<uint8_t, N> bytesOf(const std::string &s)
{
    std::array<uint8_t, N> a{};
    std::copy_n(s.begin(), std::min(N, s.size()), a.begin());
    return a;
}

TEST(DumpFormat, ChecksumIsTheXorOfBigEndianWords)
{
    const uint8_t words[] = {0x12, 0x34, 0xF0, 0x0F, 0x00, 0xFF};
    EXPECT_EQ(xorWords(words), 0x1234 ^ 0xF00F ^ 0x00FF);
    auto meta = bytesOf<kMetaSize>(fixture::encodeMeta({}));
    EXPECT_EQ(metaChecksum(meta), be16(&meta[62]));
    // Including the checksum word, a valid record XORs to zero.
    EXPECT_EQ(xorWords(meta), 0);
}

TEST(DumpFormat, DecodesTheMetaHeaderBigEndian)
{
    fixture::Meta m;
    m.ver = 0x01020304;
    m.tim = -5;
    m.hsz = 0x0102;
    m.savedFor = "0123456789abcdefTAIL"; // a full field without NUL
    m.extension = "xy";
    auto raw = bytesOf<kMetaSize>(fixture::encodeMeta(m));
    EXPECT_TRUE(idMatches(raw));
    PanicDumpMetaHeader meta = decodeMeta(raw);
    EXPECT_STREQ(meta.id, "Halvern Linux Panic Dump");
    EXPECT_EQ(meta.ver, 0x01020304u);
    EXPECT_EQ(meta.siz, 66u);
    EXPECT_EQ(meta.tim, -5);
    EXPECT_STREQ(meta.savedFor, "0123456789abcdef");
    EXPECT_EQ(meta.hsz, 0x0102);
}

TEST(DumpFormat, TheIdMustEndWithItsNul)
{
    fixture::Meta tail;
    tail.idTail = "free bytes";
    EXPECT_TRUE(idMatches(bytesOf<kMetaSize>(fixture::encodeMeta(tail))));
    fixture::Meta longer;
    longer.id = "Halvern Linux Panic Dump!";
    EXPECT_FALSE(idMatches(bytesOf<kMetaSize>(fixture::encodeMeta(longer))));
    fixture::Meta shorter;
    shorter.id = "Halvern Linux Panic Dum";
    EXPECT_FALSE(idMatches(bytesOf<kMetaSize>(fixture::encodeMeta(shorter))));
}

TEST(DumpFormat, DecodesHeadersAndAttributes)
{
    fixture::Header h;
    h.mag = "pH";
    h.dsz = 0x80000001u;
    h.bsz = 0xFFFFFFFFu;
    h.tim = 7;
    auto raw = bytesOf<kHeaderSize>(fixture::encodeHeader(h, 16, 0));
    PanicDumpHeader header = decodeHeader(raw);
    EXPECT_EQ(header.tim, 7);
    EXPECT_EQ(header.dsz, 0x80000001u);
    EXPECT_EQ(header.bsz, 0xFFFFFFFFu);
    EXPECT_EQ(std::string(header.mag, 2), "pH");
    EXPECT_EQ(headerChecksum(raw), header.cs);

    fixture::Attr a{std::string(40, 'n'), -1, 0xDEADBEEF, -2, -300};
    PanicDumpAttr attr = decodeAttr(bytesOf<kAttrSize>(fixture::encodeAttr(a)));
    EXPECT_EQ(std::string(attr.name), std::string(31, 'n'));
    EXPECT_EQ(attr.tim, -1);
    EXPECT_EQ(attr.siz, 0xDEADBEEFu);
    EXPECT_EQ(attr.ver, -2);
    EXPECT_EQ(attr.pri, -300);
}

} // namespace

// ---- viewers and errloginfo

#include "errlog.h"
#include "viewers.h"

namespace {

using namespace trelkit::viewers;

std::string hexLine(const std::string &bytes)
{
    char out[kMaxLine];
    size_t n = formatHexLine(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()), out);
    return std::string(out, n);
}

TEST(HexLine, GroupsWordsThenTheRemainderThenCharacters)
{
    EXPECT_EQ(hexLine("\x01\x02\x03\x04"), "01020304         . . . . \n");
    EXPECT_EQ(hexLine("abcde"), "61626364 65              a b c d e \n");
    EXPECT_EQ(hexLine(" "), "20" + std::string(6 + 8, ' ') + "  \n");
    std::string full = hexLine("0123456789ABCDEF");
    EXPECT_EQ(full.size(), 36u + 8 + 32 + 1);
    EXPECT_EQ(full.size(), kMaxLine);
}

// The printf formats the line is defined by, as a reference for the fast path.
std::string referenceLine(const uint8_t *b)
{
    std::string out;
    char text[16];
    for (int g = 0; g < 4; ++g) {
        snprintf(text, sizeof text, "%08x ", b[4 * g] << 24 | b[4 * g + 1] << 16 | b[4 * g + 2] << 8 | b[4 * g + 3]);
        out += text;
    }
    out += "        ";
    for (int k = 0; k < 16; ++k) {
        snprintf(text, sizeof text, "%c ", isprint(b[k]) ? b[k] : '.');
        out += text;
    }
    return out + "\n";
}

TEST(HexLine, FullLinesMatchTheirPrintfFormatsForEveryByte)
{
    std::array<uint8_t, 16> line;
    for (int first = 0; first < 256; first += 16) {
        for (int k = 0; k < 16; ++k)
            line[k] = static_cast<uint8_t>(first + k * 17 % 256); // every value, in every column
        char out[kMaxLine];
        size_t n = formatHexLine(line, out);
        EXPECT_EQ(std::string(out, n), referenceLine(line.data())) << first;
    }
}

TEST(ConsoleBytes, OnlyBackspaceTabLineFeedAndPrintables)
{
    std::string kept;
    for (int b = 0; b < 256; ++b)
        if (isConsoleByte(static_cast<uint8_t>(b)))
            kept += static_cast<char>(b);
    std::string expected = "\b\t\n";
    for (int b = 32; b <= 126; ++b)
        expected += static_cast<char>(b);
    EXPECT_EQ(kept, expected);
}

TEST(ConsoleBytes, RangesAreClampedToTheTextArea)
{
    std::array<uint8_t, kCaptureText> text{};
    text.fill('a');
    text[0] = 'F';
    text[kCaptureText - 1] = 'L';
    EXPECT_EQ(consoleRange(text, -5, 0), "F");
    EXPECT_EQ(consoleRange(text, kCaptureText - 1, int64_t{1} << 40), "L");
    EXPECT_EQ(consoleRange(text, 10, 9), "");
    EXPECT_EQ(consoleRange(text, INT32_MIN, INT32_MAX).size(), kCaptureText);
}

std::string assemble(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    static std::array<char, kMessageSize> message;
    size_t n = assembleMessage(argv, message);
    EXPECT_EQ(n, strlen(message.data()));
    return message.data();
}

TEST(ErrlogMessage, JoinsBehindTwoBlanksAndStopsAtTheLimit)
{
    EXPECT_EQ(assemble({"disk", "full"}), "  disk full");
    EXPECT_EQ(assemble({}), " ");
    EXPECT_EQ(assemble({"", ""}), "   ");
    EXPECT_EQ(assemble({std::string(7996, 'x')}).size(), 7998u);
    EXPECT_EQ(assemble({std::string(7997, 'x'), "a"}), " ");
    EXPECT_EQ(assemble({"a", std::string(7995, 'x'), "b"}), "  a");
    EXPECT_EQ(assemble({"a", std::string(7994, 'x')}).size(), 7999u - 1);
}

} // namespace
