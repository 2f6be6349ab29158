// The capture viewers: catconsole, objectdump, syslockdump.
#include "viewers.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "bytes.h"
#include "trelkit.h"

namespace trelkit::viewers {

namespace {

// A failed write to stdout is a failure, whichever viewer made it.
void finishStdout(const char *tool)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: error writing standard output: %s\n", tool, strerror(errno ? errno : EIO));
        exit(1);
    }
}

// Reads until size bytes are in or the input ends; -1 on a read error.
ssize_t readUpTo(int fd, uint8_t *to, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, to + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int openOrExit(const char *path)
{
    if (!path)
        return STDIN_FILENO;
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        printf("Can't open %s (err %d)\n", path, errno);
        exit(1);
    }
    return fd;
}

} // namespace

// ---- catconsole ------------------------------------------------------------

namespace {

constexpr auto kConsoleBytes = [] {
    std::array<bool, 256> table{};
    for (int b = 0; b < 256; ++b)
        table[b] = b == 8 || b == 9 || b == 10 || (b >= 32 && b <= 126);
    return table;
}();

constexpr const char *kHeadBanner = "\n=============  START OF HEAD  =========================";
constexpr const char *kTailBanner = "\n=============    END OF HEAD  & START OF TAIL =========";
constexpr const char *kEndBanner = "\n=============  END OF TAIL    =========================";

void printRange(std::span<const uint8_t, kCaptureText> text, int64_t first, int64_t last)
{
    std::string bytes = consoleRange(text, first, last);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
}

[[noreturn]] void catConsole(const char *path)
{
    int fd = openOrExit(path);
    // The whole capture, header and text; positions beyond what was read stay zero.
    static std::array<uint8_t, kCaptureHeader + kCaptureText> capture;
    ssize_t got = readUpTo(fd, capture.data(), capture.size());
    int status = showCapture(capture, got);
    if (status == 0)
        finishStdout("catconsole");
    exit(status);
}

} // namespace

int showCapture(std::span<const uint8_t, kCaptureHeader + kCaptureText> capture, long got)
{
    if (got <= 9) {
        printf("Invalid size encountered(%d)!\n", static_cast<int>(got));
        return 1;
    }
    if (be32(capture.data()) != kCaptureMagic) {
        printf("catconsole: invalid input file!\n");
        return 1;
    }
    auto field = [&](size_t offset) { return int64_t{static_cast<int32_t>(be32(&capture[offset]))}; };
    const int64_t dataEnd = field(4), headLen = field(8), writePos = field(12), wrapped = field(16);
    std::span<const uint8_t, kCaptureText> text(capture.data() + kCaptureHeader, kCaptureText);

    if (wrapped == 0) {
        if (writePos > 0)
            printRange(text, 0, writePos - 1);
        return 0;
    }
    puts(kHeadBanner);
    if (headLen > 0)
        printRange(text, 0, headLen - 1);
    puts(kTailBanner);
    if (dataEnd > writePos)
        printRange(text, writePos, dataEnd - 1); // the oldest part of the ring
    if (headLen < writePos)
        printRange(text, headLen, writePos - 1); // the newest part
    puts(kEndBanner);
    return 0;
}

bool isConsoleByte(uint8_t byte)
{
    return kConsoleBytes[byte];
}

std::string consoleRange(std::span<const uint8_t, kCaptureText> text, int64_t first, int64_t last)
{
    // Header values come from a damaged capture as often as not: whatever
    // they say, only positions inside the text area are read.
    first = std::max<int64_t>(first, 0);
    last = std::min<int64_t>(last, kCaptureText - 1);
    std::string out;
    for (int64_t i = first; i <= last; ++i)
        if (kConsoleBytes[text[static_cast<size_t>(i)]])
            out += static_cast<char>(text[static_cast<size_t>(i)]);
    return out;
}

// ---- objectdump ------------------------------------------------------------

namespace {

constexpr size_t kLineBytes = 16;
constexpr int kPipeSize = 1 << 20;

constexpr auto kHexPairs = [] {
    std::array<std::array<char, 2>, 256> table{};
    constexpr char digits[] = "0123456789abcdef";
    for (int b = 0; b < 256; ++b)
        table[b] = {digits[b >> 4], digits[b & 15]};
    return table;
}();

int objectDump(const char *path)
{
    int fd = openOrExit(path);
    // A dump is some five times its input: into a pipe (less, grep) a larger
    // pipe buffer saves most of the switches between writer and reader.
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode))
        fcntl(STDOUT_FILENO, F_SETPIPE_SZ, kPipeSize);
    static std::array<uint8_t, 64 * 1024> input;
    static HexDumper dumper;
    for (;;) {
        ssize_t n = read(fd, input.data(), input.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            dumper.finish();
            fflush(stdout);
            fprintf(stderr, "objectdump: error reading %s: %s\n", path ? path : "standard input", strerror(err));
            exit(1);
        }
        if (n == 0)
            break;
        dumper.feed(std::span<const uint8_t>(input.data(), static_cast<size_t>(n)));
    }
    dumper.finish();
    finishStdout("objectdump");
    return 0;
}

} // namespace

// Each byte as the two characters of its column: itself (or '.') and a blank.
constexpr auto kCharPairs = [] {
    std::array<std::array<char, 2>, 256> table{};
    for (int b = 0; b < 256; ++b)
        table[b] = {b >= 32 && b <= 126 ? static_cast<char>(b) : '.', ' '};
    return table;
}();

namespace {

// The common line of sixteen bytes at fixed offsets: four words, eight
// blanks, sixteen characters. This is the whole cost of a large dump.
#if defined(__SSE2__)
// All sixteen bytes at once: the digits of both nibbles of every byte, and
// every byte as shown, each interleaved into its column.
void formatFullLine(const uint8_t *bytes, char *out)
{
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
    const __m128i nibble = _mm_set1_epi8(0x0f);
    auto digits = [](__m128i n) {
        __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(n, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
        return _mm_add_epi8(_mm_add_epi8(n, _mm_set1_epi8('0')), letter);
    };
    const __m128i high = digits(_mm_and_si128(_mm_srli_epi16(b, 4), nibble));
    const __m128i low = digits(_mm_and_si128(b, nibble));
    char hex[32];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(hex), _mm_unpacklo_epi8(high, low));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(hex + 16), _mm_unpackhi_epi8(high, low));
    for (size_t g = 0; g < 4; ++g) {
        memcpy(out + 9 * g, hex + 8 * g, 8);
        out[9 * g + 8] = ' ';
    }
    memcpy(out + 36, "        ", 8);
    // Signed compares: bytes from 128 up are negative, so not printable.
    const __m128i printable =
        _mm_and_si128(_mm_cmpgt_epi8(b, _mm_set1_epi8(31)), _mm_cmplt_epi8(b, _mm_set1_epi8(127)));
    const __m128i shown = _mm_or_si128(_mm_and_si128(printable, b), _mm_andnot_si128(printable, _mm_set1_epi8('.')));
    const __m128i blanks = _mm_set1_epi8(' ');
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 44), _mm_unpacklo_epi8(shown, blanks));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 60), _mm_unpackhi_epi8(shown, blanks));
    out[76] = '\n';
}
#else
void formatFullLine(const uint8_t *bytes, char *out)
{
    for (size_t g = 0; g < 4; ++g) {
        for (size_t k = 0; k < 4; ++k)
            memcpy(out + 9 * g + 2 * k, kHexPairs[bytes[4 * g + k]].data(), 2);
        out[9 * g + 8] = ' ';
    }
    memcpy(out + 36, "        ", 8);
    for (size_t k = 0; k < kLineBytes; ++k)
        memcpy(out + 44 + 2 * k, kCharPairs[bytes[k]].data(), 2);
    out[76] = '\n';
}
#endif

} // namespace

size_t formatHexLine(std::span<const uint8_t> bytes, char *out)
{
    const size_t n = std::min(bytes.size(), kLineBytes);
    if (n == kLineBytes) {
        formatFullLine(bytes.data(), out);
        return kMaxLine;
    }
    char *p = out;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (size_t k = 0; k < 4; ++k, p += 2)
            memcpy(p, kHexPairs[bytes[i + k]].data(), 2);
        *p++ = ' ';
    }
    if (i < n) {
        for (; i < n; ++i, p += 2)
            memcpy(p, kHexPairs[bytes[i]].data(), 2);
        memcpy(p, "      ", 6);
        p += 6;
    }
    memcpy(p, "        ", 8);
    p += 8;
    for (size_t k = 0; k < n; ++k, p += 2)
        memcpy(p, kCharPairs[bytes[k]].data(), 2);
    *p++ = '\n';
    return static_cast<size_t>(p - out);
}

void HexDumper::feed(std::span<const uint8_t> data)
{
    while (!data.empty()) {
        if (pending_.size == 0 && data.size() >= kLineBytes) {
            emit(data.first(kLineBytes));
            data = data.subspan(kLineBytes);
            continue;
        }
        size_t n = std::min(kLineBytes - pending_.size, data.size());
        memcpy(&pending_.bytes[pending_.size], data.data(), n);
        pending_.size += n;
        data = data.subspan(n);
        if (pending_.size == kLineBytes) {
            emit(std::span<const uint8_t>(pending_.bytes.data(), kLineBytes));
            pending_.size = 0;
        }
    }
}

void HexDumper::finish()
{
    if (pending_.size > 0)
        emit(std::span<const uint8_t>(pending_.bytes.data(), pending_.size));
    pending_.size = 0;
    if (repeats_ > 0)
        print(" Last datarepeated %lld times\n", repeats_);
    repeats_ = 0;
    flush();
}

void HexDumper::emit(std::span<const uint8_t> bytes)
{
    // A line folds only into an equal last printed line of the same length.
    // (Full lines are compared and kept with a fixed size: the hot path.)
    const bool full = bytes.size() == kLineBytes;
    if (!first_ && bytes.size() == last_.size &&
        (full ? memcmp(bytes.data(), last_.bytes.data(), kLineBytes) : memcmp(bytes.data(), last_.bytes.data(), bytes.size())) == 0) {
        ++repeats_;
        return;
    }
    if (repeats_ > 0) {
        print(" Last repeated %lld times\n", repeats_);
        repeats_ = 0;
    }
    if (used_ + kMaxLine > out_.size())
        flush();
    used_ += formatHexLine(bytes, out_.data() + used_);
    if (full)
        memcpy(last_.bytes.data(), bytes.data(), kLineBytes);
    else
        std::copy(bytes.begin(), bytes.end(), last_.bytes.begin());
    last_.size = bytes.size();
    first_ = false;
}

void HexDumper::print(const char *fmt, long long count)
{
    flush();
    printf(fmt, count);
}

void HexDumper::flush()
{
    fwrite(out_.data(), 1, used_, stdout);
    used_ = 0;
}

// ---- syslockdump -----------------------------------------------------------

namespace {

constexpr size_t kFrames = 10;
constexpr size_t kFrameSize = 204;
constexpr size_t kFramesAt = 172;

// A text field ends at its first NUL or, lacking one, at its width.
std::string field(std::span<const uint8_t> record, size_t offset, size_t width)
{
    const char *start = reinterpret_cast<const char *>(record.data() + offset);
    return std::string(start, strnlen(start, width));
}

// %p of a 32-bit address as the platform's C library prints it.
std::string pointer(uint32_t value)
{
    char text[16];
    if (value == 0)
        return "(nil)";
    snprintf(text, sizeof text, "0x%" PRIx32, value);
    return text;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *text = nullptr;
    int n = vasprintf(&text, fmt, ap);
    va_end(ap);
    std::string out = n >= 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
    free(text);
    return out;
}

int sysLockDump(const char *path)
{
    FILE *in = fopen(path, "rb");
    if (!in) {
        fprintf(stderr, "Unable to open file %s", path);
        exit(255);
    }
    // Record by record: memory stays one record whatever the file's size,
    // and a pipe or FIFO works as a file does. A short last record is ignored.
    std::array<uint8_t, kLockRecordSize> record;
    while (fread(record.data(), 1, record.size(), in) == record.size()) {
        std::string text = formatLockRecord(record);
        fwrite(text.data(), 1, text.size(), stdout);
    }
    if (ferror(in)) {
        fprintf(stderr, "syslockdump: error reading %s: %s\n", path, strerror(errno));
        exit(255);
    }
    fclose(in);
    finishStdout("syslockdump");
    return 0;
}

} // namespace

std::string formatLockRecord(std::span<const uint8_t, kLockRecordSize> r)
{
    std::string out = format("%-16.16s %-20.20s %-16.16s %-16.16s\n", field(r, 100, 32).c_str(),
                             field(r, 4, 32).c_str(), field(r, 36, 32).c_str(), field(r, 68, 32).c_str());
    out += format("ID[%s] TIME[%lu.%lu] CPU[%d] TASKP[%s]\nPID[%d(%s)] PREEMPT_COUNT[%d] IRQS_DISABLED[%d]\n>\n",
                  pointer(be32(&r[0])).c_str(), static_cast<unsigned long>(be32(&r[136])),
                  static_cast<unsigned long>(be32(&r[140])), r[168], pointer(be32(&r[132])).c_str(),
                  static_cast<int32_t>(be32(&r[144])), field(r, 148, 16).c_str(),
                  static_cast<int32_t>(be32(&r[164])), r[169]);
    for (size_t k = 0; k < kFrames; ++k) {
        std::span<const uint8_t> frame = r.subspan(kFramesAt + k * kFrameSize, kFrameSize);
        uint32_t addr = be32(&frame[0]);
        if (addr == 0)
            break;
        std::string symbol = field(frame, 4, 129), module = field(frame, 133, 63);
        unsigned long offset = be32(&frame[196]), size = be32(&frame[200]);
        if (symbol.empty())
            out += "> " + pointer(addr) + "\n";
        else if (!module.empty())
            out += format("> %s: %s+%#lx/%#lx [%s]\n", pointer(addr).c_str(), symbol.c_str(), offset, size,
                          module.c_str());
        else
            out += format("> %s: %s+%#lx/%#lx\n", pointer(addr).c_str(), symbol.c_str(), offset, size);
    }
    return out + "\n";
}

} // namespace trelkit::viewers

using namespace trelkit::viewers;

int catconsoleMain(int argc, char **argv)
{
    if (argc > 2) {
        printf("Usage: catconsole input CONSLOE_LOG client's file\n");
        exit(0);
    }
    catConsole(argc == 2 ? argv[1] : nullptr);
}

int objectdumpMain(int argc, char **argv)
{
    if (argc > 2) {
        printf("Usage: objectdump [one-input-file]\n       use stdin if input-file omitted\n");
        exit(1);
    }
    return objectDump(argc == 2 ? argv[1] : nullptr);
}

int syslockdumpMain(int argc, char **argv)
{
    if (argc != 2) {
        printf("Usage: syslockdump [one-input-file]\n");
        exit(1);
    }
    return sysLockDump(argv[1]);
}
