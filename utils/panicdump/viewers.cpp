// The capture viewers:
//
//   catconsole [capture]   the head, then the ring from its oldest byte, between banners
//   objectdump [file]      00000000 41424344 ...         . . . . A B C D ...
//   syslockdump file       per record a text line, its task and time, its frames
//
// A file of - is standard input, as no file is for the first two.
#include "viewers.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "bytes.h"
#include "common.h"

namespace trelkit::viewers {

namespace {

// Output appended to its own input would feed the dump back into itself
// without end: refused, as cat refuses it, before anything is written.
void refuseOutputIntoInput(int in, const char *name)
{
    struct stat input, output;
    if (fstat(in, &input) == 0 && fstat(STDOUT_FILENO, &output) == 0 && sameStorage(input, output)) {
        fprintf(stderr, "%s: %s: input file is output file\n", progname, name);
        exit(1);
    }
}

// A read failed after part of the input was printed: that part comes
// first where both streams go to one place (2>&1).
void reportReadError(const char *tool, const char *name, int err)
{
    fflush(stdout);
    fprintf(stderr, "%s: error reading %s: %s\n", tool, name, strerror(err));
}

int openOrExit(const char *path)
{
    int fd = path ? open(path, O_RDONLY) : STDIN_FILENO;
    if (fd < 0) {
        printf("Can't open %s (err %d)\n", path, errno);
        exit(1);
    }
    refuseOutputIntoInput(fd, path ? path : "standard input");
    return fd;
}

// Fills the buffer or reads to the end of the input (a pipe gives a file in
// pieces); returns the bytes read, -1 on a read error.
ssize_t readUpTo(int fd, std::span<uint8_t> buffer)
{
    std::span<uint8_t> rest = buffer;
    while (!rest.empty()) {
        ssize_t n = read(fd, rest.data(), rest.size());
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        rest = rest.subspan(static_cast<size_t>(n));
    }
    return static_cast<ssize_t>(buffer.size() - rest.size());
}

// ---- catconsole --------------------------------------------------------------

constexpr auto kConsoleBytes = [] {
    std::array<bool, 256> table{};
    for (size_t b = 0; b < table.size(); ++b)
        table[b] = b == '\b' || b == '\t' || b == '\n' || (b >= ' ' && b <= '~');
    return table;
}();

constexpr const char *kHeadBanner = "\n=============  START OF HEAD  =========================";
constexpr const char *kTailBanner = "\n=============    END OF HEAD  & START OF TAIL =========";
constexpr const char *kEndBanner = "\n=============  END OF TAIL    =========================";

// The console bytes of text positions first to last. Header values come from
// a damaged capture as often as not: whatever they say, only positions inside
// the text area are read.
void printRange(std::span<const uint8_t, kCaptureText> text, int64_t first, int64_t last)
{
    first = std::max<int64_t>(first, 0);
    last = std::min<int64_t>(last, kCaptureText - 1);
    for (int64_t i = first; i <= last; ++i)
        if (kConsoleBytes[text[static_cast<size_t>(i)]])
            putchar(text[static_cast<size_t>(i)]);
}

[[noreturn]] void catConsole(const char *path)
{
    int fd = openOrExit(path);
    // The whole capture, header and text; positions beyond what was read stay zero.
    static std::array<uint8_t, kCaptureHeader + kCaptureText> capture;
    ssize_t got = readUpTo(fd, capture);
    int status = showCapture(capture, got);
    exit(outputWritten(stdout, "standard output") ? status : 1);
}

// ---- objectdump --------------------------------------------------------------

constexpr size_t kFullLine = 4 * 9 + 8 + kLineBytes * 2 + 1;

constexpr auto kHexPairs = [] {
    std::array<std::array<char, 2>, 256> table{};
    constexpr char digits[] = "0123456789abcdef";
    for (size_t b = 0; b < table.size(); ++b)
        table[b] = {digits[b >> 4], digits[b & 15]};
    return table;
}();

// Each byte as the two characters of its column: itself (or '.') and a blank.
constexpr auto kCharPairs = [] {
    std::array<std::array<char, 2>, 256> table{};
    for (size_t b = 0; b < table.size(); ++b)
        table[b] = {b >= ' ' && b <= '~' ? static_cast<char>(b) : '.', ' '};
    return table;
}();

// The common line of sixteen bytes at fixed offsets: four words, eight
// blanks, sixteen characters. This is the whole cost of a large dump, so
// where the host has SSE2 all sixteen bytes are done at once; elsewhere (the
// device among them) the tables above do it a byte at a time.
#if defined(__SSE2__)
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

// The text of an offset, kept from line to line. Lines are 16 bytes apart,
// so the last digit never moves; each line writes its own two digits before
// it, and the rest (the width too, 8 digits at least) changes once in 256
// lines.
struct OffsetText {
    static constexpr uint64_t kMoving = 0xff0;
    uint64_t kept = kMoving - 1; // the offset but for its moving bits; no offset's are these
    size_t length = 0;
    std::array<char, kMaxOffset> text;

    // The offset at, written to out, which holds kMaxOffset; returns its length.
    size_t put(uint64_t at, char *out)
    {
        if ((at | kMoving) != kept) {
            length = formatOffset(at, text.data());
            kept = at | kMoving;
        }
        const size_t n = length; // read once: the stores below may alias it
        memcpy(out, text.data(), text.size());
        memcpy(out + n - 5, kHexPairs[(at >> 4) & 0xff].data(), 2); // before the last digit, the colon and the blank
        return n;
    }
};

OffsetText offsetText;

// The dumper's state is static: two 16-byte lines and an output buffer.
HexDumper dumper;

// What of the input objectdump shows: from skip on, length bytes (all when
// unset), lines led by their offsets or not. Offsets count from where the
// input starts; lines start at skip, 16 bytes apart.
struct Window {
    uint64_t skip = 0;
    uint64_t length = UINT64_MAX;
    bool offsets = false;
};

std::array<uint8_t, 64 * 1024> input;

[[noreturn]] void readFailed(const char *path, int err)
{
    dumper.finish();
    reportReadError("objectdump", path ? path : "standard input", err);
    exit(1);
}

// To the window's start: a seek where the input can seek (a file, a disk),
// else its bytes read and dropped (a pipe, a terminal).
void skipTo(int fd, const char *path, uint64_t skip)
{
    struct stat st;
    const bool seekable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
    if (skip == 0 || (seekable && lseek(fd, static_cast<off_t>(skip), SEEK_CUR) >= 0))
        return;
    for (uint64_t left = skip; left != 0;) {
        const ssize_t n = read(fd, input.data(), static_cast<size_t>(std::min<uint64_t>(left, input.size())));
        if (n < 0)
            readFailed(path, errno);
        if (n == 0)
            return;
        left -= static_cast<uint64_t>(n);
    }
}

int objectDump(const char *path, const Window &window)
{
    int fd = openOrExit(path);
    // A dump is some five times its input: into a pipe (less, grep) a larger
    // pipe buffer saves most of the switches between writer and reader.
    enlargePipe(STDOUT_FILENO);
    skipTo(fd, path, window.skip);
    if (window.offsets)
        dumper.showOffsets(window.skip);
    for (uint64_t left = window.length; left != 0;) {
        ssize_t n = read(fd, input.data(), static_cast<size_t>(std::min<uint64_t>(left, input.size())));
        if (n < 0)
            readFailed(path, errno);
        if (n == 0)
            break;
        left -= static_cast<uint64_t>(n);
        dumper.feed(std::span<const uint8_t>(input.data(), static_cast<size_t>(n)));
        if (ferror(stdout))
            break; // nothing more can go out: reading on would only take time
    }
    if (!ferror(stdout))
        dumper.finish();
    if (!outputWritten(stdout, "standard output"))
        exit(1);
    return 0;
}

// ---- syslockdump -------------------------------------------------------------

// A lock dump record, 2,212 bytes, big-endian; texts end at their first NUL
// or, lacking one, at their width. The decoder reads each field where this
// table puts it, and the compiler checks that every field begins where the
// one before it ends and that the last ends with the record.
namespace lock {

struct Field {
    size_t offset, size;
};

// clang-format off
enum RecordField : size_t {
    kId, kText1, kText2, kText3, kText4, kTaskp, kTimeSec, kTimeFrac, kPid, kTaskName, kPreemptCount, kCpu,
    kIrqsDisabled, kUnused, kFrames, kRecordFields
};
constexpr std::array<Field, kRecordFields> kRecord{{
    {0, 4},       // id             ID[%p]
    {4, 32},      // text1          second column, 20 wide
    {36, 32},     // text2          third column, 16 wide
    {68, 32},     // text3          fourth column, 16 wide
    {100, 32},    // text4          first column, 16 wide
    {132, 4},     // taskp          TASKP[%p]
    {136, 4},     // timeSec        TIME[sec.frac]
    {140, 4},     // timeFrac
    {144, 4},     // pid (signed)   PID[pid(taskName)]
    {148, 16},    // taskName
    {164, 4},     // preemptCount   PREEMPT_COUNT[%d], signed
    {168, 1},     // cpu            CPU[%d]
    {169, 1},     // irqsDisabled   IRQS_DISABLED[%d]
    {170, 2},     // (unused)
    {172, 2040},  // ten frames; an address of 0 ends them
}};
// clang-format on

enum FrameField : size_t { kAddr, kSymbol, kModule, kOffset, kSize, kFrameFields };
constexpr std::array<Field, kFrameFields> kFrame{{{0, 4}, {4, 129}, {133, 63}, {196, 4}, {200, 4}}};
constexpr size_t kFrameCount = 10, kFrameSize = 204;

// The first field that does not begin where the one before it ends, or the
// count of fields when they all do and the last ends at total.
template <size_t N> constexpr size_t firstGap(const std::array<Field, N> &fields, size_t total)
{
    for (size_t i = 0, at = 0; i < N; at = fields[i].offset + fields[i].size, ++i)
        if (fields[i].offset != at)
            return i;
    return fields[N - 1].offset + fields[N - 1].size == total ? N : N - 1;
}
static_assert(firstGap(kRecord, kLockRecordSize) == kRecordFields);
static_assert(firstGap(kFrame, kFrameSize) == kFrameFields);
static_assert(kRecord[kFrames].size == kFrameCount * kFrameSize);

} // namespace lock

// A text field: its characters up to the NUL, never past its width.
struct Text {
    int length;
    const char *chars;
};

Text text(std::span<const uint8_t> bytes, lock::Field field)
{
    const char *chars = reinterpret_cast<const char *>(bytes.data() + field.offset);
    return {static_cast<int>(strnlen(chars, field.size)), chars};
}

uint32_t word(std::span<const uint8_t> bytes, lock::Field field)
{
    return be32(&bytes[field.offset]);
}

// A width-limited column takes at most that many characters.
int upTo(Text t, int width)
{
    return std::min(t.length, width);
}

// %p of a 32-bit address as the platform's C library prints it.
struct Pointer {
    char text[16];
};

Pointer pointer(uint32_t value)
{
    Pointer p;
    snprintf(p.text, sizeof p.text, value ? "0x%" PRIx32 : "(nil)", value);
    return p;
}

int sysLockDump(const char *path)
{
    int in = path ? open(path, O_RDONLY) : STDIN_FILENO;
    if (in < 0) {
        fprintf(stderr, "Unable to open file %s", path); // the system's own: no line feed, and status 255
        exit(255);
    }
    const char *name = path ? path : "standard input";
    refuseOutputIntoInput(in, name);
    // Record by record: memory stays one record whatever the file's size,
    // and a pipe or FIFO works as a file does. A short last record is
    // ignored; so is the rest of the input once a write has failed.
    std::array<uint8_t, kLockRecordSize> record;
    ssize_t got = 0;
    while (!ferror(stdout) && (got = readUpTo(in, record)) == static_cast<ssize_t>(record.size()))
        printLockRecord(record, stdout);
    if (got < 0) {
        reportReadError("syslockdump", name, errno);
        exit(255);
    }
    close(in);
    return outputWritten(stdout, "standard output") ? 0 : 1;
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
    auto signedAt = [&](size_t offset) { return int64_t{static_cast<int32_t>(be32(&capture[offset]))}; };
    const int64_t dataEnd = signedAt(4), headLen = signedAt(8), writePos = signedAt(12), wrapped = signedAt(16);
    std::span<const uint8_t, kCaptureText> text(capture.data() + kCaptureHeader, kCaptureText);

    if (wrapped == 0) {
        printRange(text, 0, writePos - 1);
        return 0;
    }
    puts(kHeadBanner);
    printRange(text, 0, headLen - 1);
    puts(kTailBanner);
    printRange(text, writePos, dataEnd - 1); // the oldest part of the ring
    printRange(text, headLen, writePos - 1); // the newest part
    puts(kEndBanner);
    return 0;
}

bool isConsoleByte(uint8_t byte)
{
    return kConsoleBytes[byte];
}

size_t formatHexLine(std::span<const uint8_t> bytes, char *out)
{
    const size_t n = std::min(bytes.size(), kLineBytes);
    if (n == kLineBytes) {
        formatFullLine(bytes.data(), out);
        return kFullLine;
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

size_t formatOffset(uint64_t at, char *out)
{
    size_t digits = 8;
    while (digits < 16 && at >> (4 * digits) != 0)
        ++digits;
    // A byte's two digits at a time: this is on every line.
    for (size_t i = digits; i >= 2; i -= 2, at >>= 8)
        memcpy(out + i - 2, kHexPairs[at & 0xff].data(), 2);
    if (digits % 2)
        out[0] = kHexPairs[at & 15][1];
    out[digits] = ':';
    out[digits + 1] = ' ';
    return digits + 2;
}

void HexDumper::showOffsets(uint64_t first)
{
    offsets_ = true;
    at_ = first;
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
            emit(pending_.bytes);
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
        print(" Last datarepeated %lld times\n", repeats_); // the system's own wording
    flush();
}

void HexDumper::emit(std::span<const uint8_t> bytes)
{
    // A line folds only into an equal last printed line of the same length
    // (none before the first: last_ starts empty and no line is).
    // Full lines, nearly all of them, compare with a fixed size: the hot path.
    const bool full = bytes.size() == kLineBytes;
    const uint64_t at = at_;
    at_ += bytes.size();
    const bool same =
        bytes.size() == last_.size && memcmp(bytes.data(), last_.bytes.data(), full ? kLineBytes : bytes.size()) == 0;
    if (same) {
        ++repeats_;
        return;
    }
    if (repeats_ > 0) {
        print(" Last repeated %lld times\n", repeats_); // the system's own: "1 times" too
        repeats_ = 0;
    }
    if (used_ + kMaxOffset + kMaxLine > out_.size())
        flush();
    size_t used = used_;
    if (offsets_)
        used += offsetText.put(at, out_.data() + used);
    used_ = used + formatHexLine(bytes, out_.data() + used);
    std::copy(bytes.begin(), bytes.end(), last_.bytes.begin());
    last_.size = bytes.size();
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

void printLockRecord(std::span<const uint8_t, kLockRecordSize> r, FILE *out)
{
    using namespace lock;
    const Text t1 = text(r, kRecord[kText1]), t2 = text(r, kRecord[kText2]), t3 = text(r, kRecord[kText3]),
               t4 = text(r, kRecord[kText4]), task = text(r, kRecord[kTaskName]);
    fprintf(out, "%-16.*s %-20.*s %-16.*s %-16.*s\n", upTo(t4, 16), t4.chars, upTo(t1, 20), t1.chars, upTo(t2, 16),
            t2.chars, upTo(t3, 16), t3.chars);
    fprintf(out, "ID[%s] TIME[%lu.%lu] CPU[%d] TASKP[%s]\n", pointer(word(r, kRecord[kId])).text,
            static_cast<unsigned long>(word(r, kRecord[kTimeSec])),
            static_cast<unsigned long>(word(r, kRecord[kTimeFrac])), r[kRecord[kCpu].offset],
            pointer(word(r, kRecord[kTaskp])).text);
    fprintf(out, "PID[%d(%.*s)] PREEMPT_COUNT[%d] IRQS_DISABLED[%d]\n", static_cast<int32_t>(word(r, kRecord[kPid])),
            task.length, task.chars, static_cast<int32_t>(word(r, kRecord[kPreemptCount])),
            r[kRecord[kIrqsDisabled].offset]);
    fputs(">\n", out);
    for (size_t k = 0; k < kFrameCount; ++k) {
        std::span<const uint8_t> frame = r.subspan(kRecord[kFrames].offset + k * kFrameSize, kFrameSize);
        const uint32_t addr = word(frame, kFrame[kAddr]);
        if (addr == 0)
            break;
        const Text symbol = text(frame, kFrame[kSymbol]), module = text(frame, kFrame[kModule]);
        const unsigned long offset = word(frame, kFrame[kOffset]), size = word(frame, kFrame[kSize]);
        if (symbol.length == 0)
            fprintf(out, "> %s\n", pointer(addr).text);
        else if (module.length > 0)
            fprintf(out, "> %s: %.*s+%#lx/%#lx [%.*s]\n", pointer(addr).text, symbol.length, symbol.chars, offset, size,
                    module.length, module.chars);
        else
            fprintf(out, "> %s: %.*s+%#lx/%#lx\n", pointer(addr).text, symbol.length, symbol.chars, offset, size);
    }
    fputc('\n', out);
}

} // namespace trelkit::viewers

using namespace trelkit::viewers;

extern const char catconsoleUsage[] = "Usage: catconsole [capture|-]\n";
extern const char objectdumpUsage[] = "Usage: objectdump [--offsets] [--skip n] [--length n] [file|-]\n";
extern const char syslockdumpUsage[] = "Usage: syslockdump file|-\n";

namespace {

// The path an operand names; none for -, standard input.
const char *inputPath(const char *operand)
{
    return strcmp(operand, "-") == 0 ? nullptr : operand;
}

} // namespace

int catconsoleMain(int argc, char **argv)
{
    if (argc > 2) {
        printf("Usage: catconsole input CONSLOE_LOG client's file\n"); // the system's own spelling
        exit(0);                                                       // and its own status: a usage that succeeds
    }
    catConsole(argc == 2 ? inputPath(argv[1]) : nullptr);
}

namespace {

// --skip N, --skip=N, --length N, --length=N: the number, or the process ends.
uint64_t windowSize(int argc, char **argv, int &i, std::string_view option)
{
    const std::string_view arg = argv[i];
    const char *text = arg.size() > option.size() ? argv[i] + option.size() + 1 : i + 1 < argc ? argv[++i] : nullptr;
    uint64_t value = 0;
    if (!text || !parseSize(text, value)) {
        fprintf(stderr, "objectdump: %.*s takes a number of bytes (decimal, 0x hex, K, M or G after it), not '%s'\n",
                static_cast<int>(option.size()), option.data(), text ? text : "");
        exit(1);
    }
    return value;
}

// The option alone, or with "=value". (No starts_with: unoptimised, it calls
// a bounds check that lives in the C++ runtime, which the program goes without.)
bool isOption(std::string_view arg, std::string_view option)
{
    return arg.size() >= option.size() && memcmp(arg.data(), option.data(), option.size()) == 0 &&
           (arg.size() == option.size() || arg[option.size()] == '=');
}

} // namespace

// Only the long options are options: any other argument is the input, as it
// has always been (a file called "-x" included).
int objectdumpMain(int argc, char **argv)
{
    Window window;
    const char *path = nullptr;
    int operands = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--offsets")
            window.offsets = true;
        else if (isOption(arg, "--skip"))
            window.skip = windowSize(argc, argv, i, "--skip");
        else if (isOption(arg, "--length"))
            window.length = windowSize(argc, argv, i, "--length");
        else
            path = operands++ == 0 ? argv[i] : path;
    }
    if (operands > 1) {
        printf("Usage: objectdump [one-input-file]\n       use stdin if input-file omitted\n");
        exit(1);
    }
    return objectDump(path ? inputPath(path) : nullptr, window);
}

int syslockdumpMain(int argc, char **argv)
{
    if (argc != 2) {
        printf("Usage: syslockdump [one-input-file]\n");
        exit(1);
    }
    return sysLockDump(inputPath(argv[1]));
}
