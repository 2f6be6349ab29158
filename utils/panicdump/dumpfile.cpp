// pdex and pdcp: list, extract, copy and time-stamp panic dump files.
#include "dumpfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "bytes.h"
#include "trelkit.h"

using namespace trelkit;
using namespace trelkit::dump;

int32_t pd_op = PD_EXTRACT;
int32_t pd_state;
int32_t refTime;
uint32_t rheaderSize;
uint8_t *rheader;

namespace {

// Block data streams through this one buffer; nothing scales with the input.
constexpr size_t kChunkSize = 128 * 1024;
std::array<uint8_t, kChunkSize> chunk;
std::vector<uint8_t> rheaderStorage;

bool inputSeekable; // relative seeks work on infp; decided when a walk starts
int outputErrno;    // the first failed write to outfp, 0 while all went out
const char *outName = "standard output";

bool allocate(std::vector<uint8_t> &buffer, size_t size)
{
    try {
        buffer.assign(size, 0);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool writeOut(const void *data, size_t size)
{
    if (size == 0 || fwrite(data, 1, size, outfp) == size)
        return true;
    if (!outputErrno)
        outputErrno = errno ? errno : EIO;
    return false;
}

// Reads and drops up to size bytes; returns how many there were.
uint64_t discard(FILE *in, uint64_t size)
{
    uint64_t done = 0;
    while (done < size) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, chunk.size()));
        size_t got = fread(chunk.data(), 1, want, in);
        done += got;
        if (got < want)
            break;
    }
    return done;
}

// Moves past size bytes: a seek where the input allows, reading otherwise. An
// end of input inside the range is left for the next read to find.
void skipForward(FILE *in, uint64_t size)
{
    if (inputSeekable && fseeko(in, static_cast<off_t>(size), SEEK_CUR) == 0)
        return;
    discard(in, size);
}

enum class Move { Done, InputEnded, OutputFailed };

// Copies size bytes from in to outfp; what was read before an early end of
// input is written all the same.
Move copyOut(FILE *in, uint64_t size)
{
    uint64_t done = 0;
    while (done < size) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, chunk.size()));
        size_t got = fread(chunk.data(), 1, want, in);
        if (!writeOut(chunk.data(), got))
            return Move::OutputFailed;
        done += got;
        if (got < want)
            return Move::InputEnded;
    }
    return Move::Done;
}

// A data block of a selected section: the DSZ data bytes out, the filler dropped.
Move extractBlock(FILE *in, const PanicDumpHeader &header)
{
    Move moved = copyOut(in, header.dsz);
    if (moved != Move::Done)
        return moved;
    uint64_t filler = header.bsz - header.dsz;
    return discard(in, filler) == filler ? Move::Done : Move::InputEnded;
}

const char *timeText(int32_t stamp)
{
    time_t t = stamp;
    const char *text = ctime(&t);
    return text ? text : "??? ??? ?? ??:??:?? ????\n";
}

bool magicIs(const PanicDumpHeader &header, std::string_view magic)
{
    return header.mag[0] == magic[0] && header.mag[1] == magic[1];
}

void copyText(char *to, const uint8_t *from, size_t max)
{
    size_t n = strnlen(reinterpret_cast<const char *>(from), max);
    memcpy(to, from, n);
    to[n] = '\0';
}

// A held extension is written from memory; a large one is read again from
// its place in the (seekable) input, which then returns to where it was.
bool copyExtension(const MetaExtension &extra)
{
    if (extra.held())
        return writeOut(extra.bytes.data(), extra.bytes.size());
    off_t resume = ftello(infp);
    if (resume < 0 || fseeko(infp, extra.offset, SEEK_SET) != 0)
        return false;
    Move moved = copyOut(infp, extra.size);
    return fseeko(infp, resume, SEEK_SET) == 0 && moved == Move::Done;
}

} // namespace

namespace trelkit::dump {

bool idMatches(std::span<const uint8_t, kMetaSize> raw)
{
    // The ID is a NUL-terminated string within its 32 bytes: the 24
    // characters and the NUL must match, whatever follows.
    return memcmp(raw.data(), kDumpId.data(), kDumpId.size()) == 0 && raw[kDumpId.size()] == 0;
}

uint16_t metaChecksum(std::span<const uint8_t, kMetaSize> raw)
{
    return xorWords(raw.first(62));
}

uint16_t headerChecksum(std::span<const uint8_t, kHeaderSize> raw)
{
    return xorWords(raw.first(14));
}

PanicDumpMetaHeader decodeMeta(std::span<const uint8_t, kMetaSize> raw)
{
    PanicDumpMetaHeader meta{};
    copyText(meta.id, raw.data(), kIdSize);
    meta.ver = be32(&raw[32]);
    meta.siz = be32(&raw[36]);
    meta.tim = static_cast<int32_t>(be32(&raw[40]));
    copyText(meta.savedFor, &raw[44], kSavedForSize);
    meta.hsz = be16(&raw[60]);
    meta.cs = be16(&raw[62]);
    return meta;
}

PanicDumpHeader decodeHeader(std::span<const uint8_t, kHeaderSize> raw)
{
    PanicDumpHeader header{};
    header.tim = static_cast<int32_t>(be32(&raw[0]));
    header.dsz = be32(&raw[4]);
    header.bsz = be32(&raw[8]);
    header.mag[0] = static_cast<char>(raw[12]);
    header.mag[1] = static_cast<char>(raw[13]);
    header.cs = be16(&raw[14]);
    return header;
}

PanicDumpAttr decodeAttr(std::span<const uint8_t, kAttrSize> raw)
{
    PanicDumpAttr attr{};
    copyText(attr.name, raw.data(), kNameSize);
    attr.tim = static_cast<int32_t>(be32(&raw[32]));
    attr.siz = be32(&raw[36]);
    attr.ver = static_cast<int32_t>(be32(&raw[40]));
    attr.pri = static_cast<int16_t>(be16(&raw[44]));
    return attr;
}

} // namespace trelkit::dump

int readMetaHeader(FILE *stream, PanicDumpMetaHeader &meta, std::array<uint8_t, kMetaSize> &raw,
                   MetaExtension &extra)
{
    if (fread(raw.data(), 1, raw.size(), stream) != raw.size()) {
        pdReport("error in fread for meta header");
        return 0;
    }
    if (!idMatches(raw)) {
        pdReport("Input not a panic_dump file");
        return 0;
    }
    if (metaChecksum(raw) != be16(&raw[62])) {
        pdReport("Bad meta header checksum");
        return 0;
    }
    meta = decodeMeta(raw);
    refTime = meta.tim;
    pdTrace("META HEADER:ID=%s\n     VER=%d TIM=%d SIZ=%d HSZ=%d CS=%04x(OK)\n", meta.id,
            static_cast<int>(meta.ver), meta.tim, static_cast<int>(meta.siz), meta.hsz, meta.cs);

    if (meta.siz < kMetaSize) {
        pdReport("too small meta header size (%d<%d)", static_cast<int>(meta.siz), static_cast<int>(kMetaSize));
        return 0;
    }
    extra = MetaExtension{};
    extra.size = meta.siz - kMetaSize;
    if (extra.size <= MetaExtension::kHeldMax) {
        if (!allocate(extra.bytes, extra.size)) {
            pdReport("malloc failed");
            return 0;
        }
        if (fread(extra.bytes.data(), 1, extra.size, stream) != extra.size) {
            pdReport("error in fread for extra of meta header");
            return 0;
        }
    } else {
        extra.offset = inputSeekable ? ftello(stream) : -1;
        if (pd_op == PD_COPY && extra.offset < 0) {
            pdReport("meta header extension of %llu bytes too large to copy from a pipe", static_cast<unsigned long long>(extra.size));
            return 0;
        }
        if (discard(stream, extra.size) != extra.size) {
            pdReport("error in fread for extra of meta header");
            return 0;
        }
    }

    if (meta.hsz < kHeaderSize) {
        pdReport("too small header size (%d<%d)", meta.hsz, static_cast<int>(kHeaderSize));
        return 0;
    }
    if (!allocate(rheaderStorage, meta.hsz)) {
        pdReport("malloc failed");
        return 0;
    }
    rheaderSize = meta.hsz;
    rheader = rheaderStorage.data();
    return meta.hsz;
}

int readHeader(FILE *stream, PanicDumpHeader &header, uint8_t *buffer, uint32_t size)
{
    if (size < kHeaderSize || fread(buffer, 1, size, stream) != size) {
        pdReport("error in fread for header");
        return 0;
    }
    std::span<const uint8_t, kHeaderSize> defined(buffer, kHeaderSize);
    if (headerChecksum(defined) != be16(&defined[14])) {
        pdReport("Bad header checksum");
        return 0;
    }
    header = decodeHeader(defined);
    pdTrace("HEADER:MAG=%.2s TIM=%d BSZ=%d DSZ=%d CS=%04x(good)\n", header.mag, header.tim,
            static_cast<int>(header.bsz), static_cast<int>(header.dsz), header.cs);

    if (!magicIs(header, "pH") && !magicIs(header, "pD")) {
        pdReport("invalid header magic=%02x%02x", defined[12], defined[13]);
        return 0;
    }
    if (header.tim != refTime) {
        pdReport("invalid save timestamp ref=%d hdr=%d", refTime, header.tim);
        return 0;
    }
    if (header.dsz > header.bsz) {
        pdReport("Data size bigger than block size");
        return 0;
    }
    return 1;
}

int readAttr(FILE *stream, PanicDumpAttr &attr, uint32_t blockSize)
{
    // Only the 46-byte record is kept, however large the block claims to be;
    // a block shorter than the record leaves its missing fields zero.
    std::array<uint8_t, kAttrSize> raw{};
    size_t head = std::min<size_t>(blockSize, kAttrSize);
    uint64_t rest = blockSize - head;
    if (fread(raw.data(), 1, head, stream) != head || discard(stream, rest) != rest) {
        pdReport("error in fread for attr");
        return 0;
    }
    PanicDumpAttr decoded = decodeAttr(raw);
    if (decoded.ver > 1) {
        pdReport("file format version mimatch");
        return 0;
    }
    attr = decoded;
    pdTrace("ATTR:TIM=%d VER=%d SIZ=%d PRI=%d\n", attr.tim, attr.ver, static_cast<int>(attr.siz), attr.pri);
    return 1;
}

void showTime(const PanicDumpMetaHeader &meta)
{
    printf("%d %.*s %s", meta.tim, static_cast<int>(kSavedForSize), meta.savedFor, timeText(meta.tim));
}

void flushInfo(const PanicDumpAttr &attr, int32_t section, int32_t blocks, uint64_t dataBytes)
{
    static bool headingPrinted;
    if (!headingPrinted) {
        printf("Sec  Blks  Data size  Prio  Created                   Name\n");
        headingPrinted = true;
    }
    // The data size is a 64-bit sum: a section past 2 GiB must not print negative.
    printf("%3d  %4d  %9llu  %4d  %.24s  %s\n", section, blocks, static_cast<unsigned long long>(dataBytes),
           attr.pri, timeText(attr.tim), attr.name);
}

int dopd(const char *name)
{
    pd_state = 0;
    inputSeekable = lseek(fileno(infp), 0, SEEK_CUR) >= 0;

    PanicDumpMetaHeader meta{};
    std::array<uint8_t, kMetaSize> raw{};
    MetaExtension extra;
    if (!readMetaHeader(infp, meta, raw, extra))
        return 0;
    if (pd_op == PD_COPY) {
        if (!writeOut(raw.data(), raw.size())) {
            pdReport("fwrite failed for meta header.");
            return 0;
        }
        if (extra.size > 0 && !copyExtension(extra)) {
            pdReport("fwrite failed for extra meta header.");
            return 0;
        }
    }
    if (pd_op == PD_TIME) {
        showTime(meta);
        return 1;
    }

    int32_t sections = 0;
    int32_t blocks = 0;
    uint64_t dataBytes = 0;
    bool selected = false;
    bool found = false;
    bool ok = false;
    PanicDumpHeader header{};
    PanicDumpAttr attr{};

    while (readHeader(infp, header, rheader, rheaderSize)) {
        if (pd_op == PD_COPY && !writeOut(rheader, rheaderSize)) {
            pdReport("fwrite failed for header.");
            return 0;
        }
        Move moved = Move::Done;
        if (pd_state == 0) {
            if (header.bsz == 0) {
                ok = true;
                break;
            }
            if (!magicIs(header, "pH")) {
                pdReport("Bad header type %.2s (pH expected)", header.mag);
                break;
            }
            ++sections;
            pd_state = 1;
            if (pd_op == PD_COPY) {
                moved = copyOut(infp, header.bsz);
            } else {
                if (!readAttr(infp, attr, header.bsz))
                    break;
                if (pd_op == PD_EXTRACT && name && strcmp(attr.name, name) == 0)
                    selected = found = true;
            }
        } else {
            if (!magicIs(header, "pD")) {
                pdReport("Bad header type %.2s (pD expected)", header.mag);
                break;
            }
            if (header.bsz == 0) {
                if (pd_op == PD_LIST)
                    flushInfo(attr, sections, blocks, dataBytes);
                pd_state = 0;
                blocks = 0;
                dataBytes = 0;
                selected = false;
                continue;
            }
            ++blocks;
            dataBytes += header.dsz;
            if (pd_op == PD_COPY)
                moved = copyOut(infp, header.bsz);
            else if (selected)
                moved = extractBlock(infp, header);
            else
                skipForward(infp, header.bsz);
        }
        if (moved == Move::InputEnded) {
            pdReport("premature EOF");
            break;
        }
        if (moved == Move::OutputFailed) {
            pdReport("fwrite failed for block.");
            return 0;
        }
    }

    if (pd_op == PD_EXTRACT && !found)
        return 0;
    if (pd_op == PD_LIST)
        printf("Total %d sections saved for %.*s at %s", sections, static_cast<int>(kSavedForSize),
               meta.savedFor, timeText(meta.tim));
    return ok ? 1 : 0;
}

// ---- the command lines ------------------------------------------------------

namespace {

constexpr const char *kPdexUsage =
    "file [name]\n\tExtract panic data \"name\" from \"file\" to stdout\n\tOr list panic data in \"file\"";
constexpr const char *kPdcpUsage = "infile [outfile]\n\tCopy panic data from \"infile\" to \"outfile\"\n\tOr "
                                   "print time stamp of panic data in \"infile\"";

[[noreturn]] void help()
{
    std::string_view name = progname;
    const char *text = name == "pdex" ? kPdexUsage : name == "pdcp" ? kPdcpUsage : "";
    printfstderr("Usage: %s ", progname);
    printfstderr("%s", text);
    printfstderr("\n");
    exit(1);
}

[[noreturn]] void tooFewOrTooMany()
{
    printfstderr("Too few or too many arguments\n");
    help();
}

bool isStdio(const char *path)
{
    return strcmp(path, "-") == 0;
}

void openInFile(const char *path)
{
    if (isStdio(path))
        return;
    infp = fopen(path, "r");
    if (!infp) {
        perror(path);
        exit(1);
    }
}

void openOutFile(const char *path)
{
    if (isStdio(path))
        return;
    outfp = fopen(path, "w");
    if (!outfp) {
        perror(path);
        exit(1);
    }
    outName = path;
}

bool statOperand(const char *path, int stdioFd, struct stat &st)
{
    return (isStdio(path) ? fstat(stdioFd, &st) : stat(path, &st)) == 0;
}

// Opening the output truncates it: when it is the input under any name (the
// same path, a hard or symbolic link, a redirection) the dump would be lost.
void refuseCopyOntoItself(const char *in, const char *out)
{
    struct stat src, dst;
    if (!statOperand(in, STDIN_FILENO, src) || !statOperand(out, STDOUT_FILENO, dst))
        return;
    bool storage = S_ISREG(src.st_mode) || S_ISBLK(src.st_mode);
    if (storage && src.st_dev == dst.st_dev && src.st_ino == dst.st_ino) {
        printfstderr("%s: '%s' and '%s' are the same file\n", progname, in, out);
        exit(1);
    }
}

// Everything written must have reached its file: a full disk is a failure.
bool finishOutput()
{
    int err = outputErrno;
    const char *what = outName;
    if (outfp != stdout && fclose(outfp) != 0 && !err)
        err = errno;
    outfp = stdout;
    if (!err && (fflush(stdout) != 0 || ferror(stdout))) {
        err = errno ? errno : EIO;
        what = "standard output";
    }
    if (!err)
        return true;
    printfstderr("%s: error writing %s: %s\n", progname, what, strerror(err));
    return false;
}

} // namespace

int pdMain(int argc, char **argv)
{
    for (int opt; (opt = getopt(argc, argv, "d")) != -1;) {
        if (opt != 'd')
            help();
        debugopt = 1;
    }
    int operands = argc - optind;
    char **operand = argv + optind;
    const char *name = nullptr;
    std::string_view tool = progname;

    if (tool == "pdex") {
        if (operands == 1)
            pd_op = PD_LIST;
        else if (operands == 2) {
            pd_op = PD_EXTRACT;
            name = operand[1];
        } else
            tooFewOrTooMany();
        openInFile(operand[0]);
    } else if (tool == "pdcp") {
        if (operands == 1) {
            pd_op = PD_TIME;
            openInFile(operand[0]);
        } else if (operands == 2) {
            pd_op = PD_COPY;
            refuseCopyOntoItself(operand[0], operand[1]);
            openOutFile(operand[1]);
            openInFile(operand[0]);
        } else
            tooFewOrTooMany();
    }

    int status = dopd(name) ? 0 : 2;
    if (!finishOutput())
        status = 2;
    return status;
}
