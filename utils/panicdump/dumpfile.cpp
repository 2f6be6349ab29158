// pdex and pdcp: list, extract, copy and time-stamp panic dump files.
//
//   $ pdex dump                  $ pdcp dump
//   Sec  Blks  Data size  Prio  Created                   Name
//     1     2         91     1  Tue Nov 14 22:13:10 2023  console
//   Total 1 sections saved for watchdog reset at Tue Nov 14 22:13:20 2023
//                                1700000000 watchdog reset Tue Nov 14 22:13:20 2023
#include "dumpfile.h"

#include <algorithm>
#include <cstring>
#include <ctime>
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

// Reports made by the walk's own steps name the walk.
#define walkReport(...) reportError("dopd", __LINE__, __VA_ARGS__)

namespace {

// HSZ and a held extension are at most 64 KiB each: their storage is fixed,
// so reading them can never fail for want of memory.
std::array<uint8_t, UINT16_MAX> rheaderStorage;
std::array<uint8_t, MetaExtension::kHeldMax> heldExtension;

// Pieces of at least this size are written from where they lie in the
// input's buffer; smaller ones are copied aside, so that many leave at once.
constexpr size_t kStraightWrite = 16 * 1024;
// The most one kernel copy is asked for, so that the length fits size_t on
// every build: a dump past 4 GiB must not be cut on a 32-bit device.
constexpr uint64_t kKernelCopyMax = 1u << 30;
// The output's own bytes: small pieces copied aside, or what is read and
// written where the kernel does not copy. It holds the largest header.
std::array<uint8_t, 64 * 1024> scratch;

bool isRegular(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

// ---- the input ------------------------------------------------------------

bool DumpInput::open(FILE *stream)
{
    fd_ = fileno(stream);
    buffer_.reset(static_cast<uint8_t *>(malloc(kLargeRead)));
    offset_ = lseek(fd_, 0, SEEK_CUR);
    // Some devices seek but cannot be read at an offset: they are streamed,
    // as a pipe is, from the start.
    seekable_ = offset_ >= 0 && pread(fd_, buffer_.get(), 0, offset_) == 0;
    return buffer_ != nullptr;
}

// The tools install no signal handlers, so no call here or elsewhere returns
// EINTR: a failed call is a failure.
size_t DumpInput::fill(uint8_t *to, size_t size)
{
    ssize_t n = seekable_ ? pread(fd_, to, size, offset_) : ::read(fd_, to, size);
    return n > 0 ? static_cast<size_t>(n) : 0; // a read error ends the input as its end does
}

void DumpInput::refill()
{
    if (borrower_)
        borrower_->drain();
    offset_ += static_cast<int64_t>(end_);
    begin_ = end_ = 0;
    // Right after a skip the next read is a record header: read a little, so
    // walking a file of large skipped blocks costs a small pread per header.
    end_ = fill(buffer_.get(), afterSkip_ ? kSmallRead : kLargeRead);
    afterSkip_ = false;
}

std::span<const uint8_t> DumpInput::peek(size_t max)
{
    if (begin_ == end_)
        refill();
    return {buffer_.get() + begin_, std::min(max, end_ - begin_)};
}

void DumpInput::consume(size_t size)
{
    begin_ += size; // at most what peek() gave
}

uint64_t DumpInput::take(uint8_t *into, uint64_t size)
{
    uint64_t done = 0;
    while (done < size) {
        std::span<const uint8_t> bytes = peek(static_cast<size_t>(std::min<uint64_t>(size - done, kLargeRead)));
        if (bytes.empty())
            break;
        if (into)
            memcpy(into + done, bytes.data(), bytes.size());
        consume(bytes.size());
        done += bytes.size();
    }
    return done;
}

size_t DumpInput::read(void *into, size_t size)
{
    return static_cast<size_t>(take(static_cast<uint8_t *>(into), size));
}

uint64_t DumpInput::discard(uint64_t size)
{
    return take(nullptr, size);
}

void DumpInput::skip(uint64_t size)
{
    const uint64_t buffered = end_ - begin_;
    if (!seekable_ || size <= buffered) {
        discard(size);
        return;
    }
    // On a seekable input a skip only moves the offset of the next pread.
    offset_ += static_cast<int64_t>(end_ + (size - buffered));
    begin_ = end_ = 0;
    afterSkip_ = true;
}

bool DumpInput::pass(uint64_t size)
{
    // The last byte is read, not skipped: it shows that the input holds the
    // whole block (the size a file reports is no proof: procfs reports 0),
    // and the read that brings it brings the next header too.
    skip(size - 1);
    return discard(1) == 1;
}

int64_t DumpInput::tell() const
{
    return offset_ + static_cast<int64_t>(begin_);
}

// ---- the output -----------------------------------------------------------

DumpOutput::DumpOutput(DumpInput &in, FILE *out, bool copy) : in_(in), fd_(fileno(out))
{
    enlargePipe(fd_);
    from_ = reached_ = in.tell();
    if (copy && in.seekable() && isRegular(in.fd()) && isRegular(fd_))
        way_ = Way::InputRange;
    else
        in.borrower_ = this;
}

DumpOutput::~DumpOutput()
{
    in_.borrower_ = nullptr;
}

bool DumpOutput::write(std::span<const uint8_t> header)
{
    if (way_ == Way::InputRange) {
        reached_ = in_.tell(); // the header is what the input just gave
        return true;
    }
    return gather(header, false);
}

Taken DumpOutput::take(uint64_t size)
{
    if (way_ == Way::InputRange) {
        const bool whole = in_.pass(size);
        reached_ = in_.tell();
        // Cut short: what there is goes out now, and shows where the input ends.
        return whole ? Taken::All : finish();
    }
    for (uint64_t left = size; left > 0;) {
        std::span<const uint8_t> piece = in_.peek(static_cast<size_t>(std::min<uint64_t>(left, SIZE_MAX)));
        if (piece.empty())
            return Taken::InputEnded;
        if (!gather(piece, true))
            return Taken::OutputFailed;
        in_.consume(piece.size());
        left -= piece.size();
    }
    return Taken::All;
}

// Adds bytes to the next writev. Large bytes borrowed from the input's buffer
// stay where they are; the rest are copied aside (a header's storage takes
// the next header).
bool DumpOutput::gather(std::span<const uint8_t> bytes, bool borrowed)
{
    const bool aside = !borrowed || bytes.size() < kStraightWrite;
    if (count_ == pieces_.size() || (aside && aside_ + bytes.size() > scratch.size()))
        drain();
    if (failed_)
        return false;
    const uint8_t *at = bytes.data();
    if (aside) {
        at = static_cast<uint8_t *>(memcpy(&scratch[aside_], bytes.data(), bytes.size()));
        aside_ += bytes.size();
    }
    pieces_[count_++] = {const_cast<uint8_t *>(at), bytes.size()};
    return true;
}

void DumpOutput::drain()
{
    for (size_t first = 0; first < count_ && !failed_;) {
        ssize_t n = writev(fd_, &pieces_[first], static_cast<int>(count_ - first));
        if (n <= 0) {
            failed_ = !noteWriteError();
            break;
        }
        // Past what was written: whole pieces, then into a partly written one.
        auto left = static_cast<size_t>(n);
        for (; first < count_ && left >= pieces_[first].iov_len; ++first)
            left -= pieces_[first].iov_len;
        if (first < count_) {
            pieces_[first].iov_base = static_cast<uint8_t *>(pieces_[first].iov_base) + left;
            pieces_[first].iov_len -= left;
        }
    }
    count_ = aside_ = 0;
}

Taken DumpOutput::finish()
{
    if (way_ == Way::Gathered) {
        drain(); // a failure is the output's, reported when it is closed
        return Taken::All;
    }
    Taken taken = copyRange();
    reached_ = from_; // a failure is reported once
    return taken;
}

// The input from from_ to reached_, appended at the output's position.
Taken DumpOutput::copyRange()
{
    while (from_ < reached_) {
        loff_t at = from_;
        const auto want = static_cast<size_t>(std::min<uint64_t>(reached_ - from_, kKernelCopyMax));
        ssize_t n = copy_file_range(in_.fd(), &at, fd_, nullptr, want, 0);
        if (n <= 0)
            return streamRange(); // no kernel copy between these files, or it stopped short
        from_ += n;
    }
    return Taken::All;
}

// Reads and writes what the kernel did not copy; the input's real end shows here.
Taken DumpOutput::streamRange()
{
    while (from_ < reached_) {
        const auto want = static_cast<size_t>(std::min<uint64_t>(reached_ - from_, scratch.size()));
        ssize_t n = pread(in_.fd(), scratch.data(), want, from_);
        if (n <= 0)
            return Taken::InputEnded;
        if (!writeAll(fd_, scratch.data(), static_cast<size_t>(n)))
            return Taken::OutputFailed;
        from_ += n;
    }
    return Taken::All;
}

// ---- records --------------------------------------------------------------

namespace {

bool idMatches(std::span<const uint8_t, kMetaSize> raw)
{
    // The ID is a NUL-terminated string within its 32 bytes: the 24
    // characters and the NUL must match, whatever follows.
    return memcmp(raw.data(), kDumpId.data(), kDumpId.size()) == 0 && raw[kDumpId.size()] == 0;
}

void copyText(char *to, const uint8_t *from, size_t max)
{
    size_t n = strnlen(reinterpret_cast<const char *>(from), max);
    memcpy(to, from, n);
    to[n] = '\0';
}

PanicDumpMetaHeader decodeMeta(std::span<const uint8_t, kMetaSize> raw)
{
    PanicDumpMetaHeader meta{};
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

bool magicIs(const PanicDumpHeader &header, std::string_view magic)
{
    return header.mag[0] == magic[0] && header.mag[1] == magic[1];
}

// Held when small, passed over when not.
Taken takeExtension(DumpInput &in, MetaExtension &extra)
{
    if (extra.size > MetaExtension::kHeldMax)
        return in.discard(extra.size) == extra.size ? Taken::All : Taken::InputEnded;
    extra.held = std::span<const uint8_t>(heldExtension.data(), static_cast<size_t>(extra.size));
    return in.read(heldExtension.data(), extra.held.size()) == extra.size ? Taken::All : Taken::InputEnded;
}

// A copy starts with the meta header and its extension as they were read; an
// extension too large to hold streams from the input to the output as it comes.
Taken copyExtension(DumpInput &in, std::span<const uint8_t> raw, MetaExtension &extra, DumpOutput &out)
{
    const bool held = extra.size <= MetaExtension::kHeldMax;
    if (held && takeExtension(in, extra) != Taken::All)
        return Taken::InputEnded;
    if (!out.write(raw)) {
        walkReport("fwrite failed for meta header.");
        return Taken::OutputFailed;
    }
    Taken taken = !held ? out.take(extra.size) : out.write(extra.held) ? Taken::All : Taken::OutputFailed;
    if (taken == Taken::OutputFailed)
        walkReport("fwrite failed for extra meta header.");
    return taken;
}

} // namespace

int readMetaHeader(DumpInput &stream, PanicDumpMetaHeader &meta, std::array<uint8_t, kMetaSize> &raw,
                   MetaExtension &extra, DumpOutput *copy)
{
    if (stream.read(raw.data(), raw.size()) != raw.size()) {
        pdReport("error in fread for meta header");
        return 0;
    }
    if (!idMatches(raw)) {
        pdReport("Input not a panic_dump file");
        return 0;
    }
    if (xorWords(std::span(raw).first(62)) != be16(&raw[62])) {
        pdReport("Bad meta header checksum");
        return 0;
    }
    meta = decodeMeta(raw);
    refTime = meta.tim;
    pdTrace("META HEADER:ID=%s\n     VER=%d TIM=%d SIZ=%d HSZ=%d CS=%04x(OK)\n", kDumpId.data(),
            static_cast<int>(meta.ver), meta.tim, static_cast<int>(meta.siz), meta.hsz, meta.cs);

    if (meta.siz < kMetaSize) {
        pdReport("too small meta header size (%d<%d)", static_cast<int>(meta.siz), static_cast<int>(kMetaSize));
        return 0;
    }
    extra = MetaExtension{};
    extra.size = meta.siz - kMetaSize;
    // A copy writes the meta header and extension as they come, unless the
    // header size checked below already dooms the walk.
    Taken got =
        copy && meta.hsz >= kHeaderSize ? copyExtension(stream, raw, extra, *copy) : takeExtension(stream, extra);
    if (got == Taken::InputEnded) {
        pdReport("error in fread for extra of meta header");
        return 0;
    }
    if (got == Taken::OutputFailed)
        return 0;

    if (meta.hsz < kHeaderSize) {
        pdReport("too small header size (%d<%d)", meta.hsz, static_cast<int>(kHeaderSize));
        return 0;
    }
    rheaderSize = meta.hsz;
    rheader = rheaderStorage.data();
    return meta.hsz;
}

int readHeader(DumpInput &stream, PanicDumpHeader &header, uint8_t *buffer, uint32_t size)
{
    if (size < kHeaderSize || stream.read(buffer, size) != size) {
        pdReport("error in fread for header");
        return 0;
    }
    std::span<const uint8_t, kHeaderSize> defined(buffer, kHeaderSize);
    if (xorWords(defined.first(14)) != be16(&defined[14])) {
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

int readAttr(DumpInput &stream, PanicDumpAttr &attr, uint32_t blockSize)
{
    // Only the 46-byte record is kept, however large the block claims to be;
    // a block shorter than the record leaves its missing fields zero.
    std::array<uint8_t, kAttrSize> raw{};
    size_t head = std::min<size_t>(blockSize, kAttrSize);
    uint64_t rest = blockSize - head;
    if (stream.read(raw.data(), head) != head || stream.discard(rest) != rest) {
        pdReport("error in fread for attr");
        return 0;
    }
    PanicDumpAttr decoded = decodeAttr(raw);
    if (decoded.ver > 1) {
        pdReport("file format version mimatch"); // the system's own spelling
        return 0;
    }
    attr = decoded;
    pdTrace("ATTR:TIM=%d VER=%d SIZ=%d PRI=%d\n", attr.tim, attr.ver, static_cast<int>(attr.siz), attr.pri);
    return 1;
}

// ---- the walk -------------------------------------------------------------

namespace {

const char *timeText(int32_t stamp)
{
    time_t t = stamp;
    const char *text = ctime(&t);
    return text ? text : "??? ??? ?? ??:??:?? ????\n";
}

// What a walk has seen so far.
struct Walk {
    const char *name; // the section to extract, or null
    int32_t sections = 0;
    int32_t blocks = 0;     // of the current section
    uint64_t dataBytes = 0; // of the current section
    bool selected = false;  // the current section is extracted
    bool found = false;     // some section was
    PanicDumpAttr attr{};
};

enum class Step { Next, EndOfDump, Stop, OutputFailed };

// A block that did not wholly move ends the walk.
Step moved(Taken taken)
{
    if (taken == Taken::All)
        return Step::Next;
    if (taken == Taken::InputEnded) {
        walkReport("premature EOF");
        return Step::Stop;
    }
    walkReport("fwrite failed for block.");
    return Step::OutputFailed;
}

// Between sections: a section header, or the end of the dump.
Step atSectionHeader(Walk &walk, const PanicDumpHeader &header, DumpInput &in, DumpOutput &out)
{
    if (header.bsz == 0)
        return Step::EndOfDump;
    if (!magicIs(header, "pH")) {
        walkReport("Bad header type %.2s (pH expected)", header.mag);
        return Step::Stop;
    }
    ++walk.sections; // counted even when its attribute record fails
    pd_state = PD_IN_SECTION;
    if (pd_op == PD_COPY)
        return moved(out.take(header.bsz));
    if (!readAttr(in, walk.attr, header.bsz))
        return Step::Stop;
    walk.selected = pd_op == PD_EXTRACT && walk.name && strcmp(walk.attr.name, walk.name) == 0;
    walk.found = walk.found || walk.selected;
    return Step::Next;
}

// Inside a section: a data block, or the end of the section.
Step atDataHeader(Walk &walk, const PanicDumpHeader &header, DumpInput &in, DumpOutput &out)
{
    if (!magicIs(header, "pD")) {
        walkReport("Bad header type %.2s (pD expected)", header.mag);
        return Step::Stop;
    }
    if (header.bsz == 0) {
        if (pd_op == PD_LIST)
            flushInfo(walk.attr, walk.sections, walk.blocks, walk.dataBytes);
        pd_state = PD_BETWEEN_SECTIONS;
        walk.blocks = 0; // the next section header decides what is selected
        walk.dataBytes = 0;
        return Step::Next;
    }
    ++walk.blocks;
    walk.dataBytes += header.dsz;
    if (pd_op == PD_COPY)
        return moved(out.take(header.bsz));
    if (!walk.selected) {
        in.skip(header.bsz);
        return Step::Next;
    }
    // The DSZ data bytes out, the filler dropped.
    const uint64_t filler = header.bsz - header.dsz;
    Step step = moved(out.take(header.dsz));
    if (step == Step::Next && in.discard(filler) != filler)
        step = moved(Taken::InputEnded);
    return step;
}

} // namespace

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
    printf("%3d  %4d  %9llu  %4d  %.24s  %s\n", section, blocks, static_cast<unsigned long long>(dataBytes), attr.pri,
           timeText(attr.tim), attr.name);
}

int dopd(const char *name)
{
    pd_state = PD_BETWEEN_SECTIONS;
    DumpInput in;
    if (!in.open(infp)) {
        pdReport("malloc failed");
        return 0;
    }
    DumpOutput out(in, outfp, pd_op == PD_COPY);
    PanicDumpMetaHeader meta{};
    std::array<uint8_t, kMetaSize> raw{};
    MetaExtension extra;
    if (!readMetaHeader(in, meta, raw, extra, pd_op == PD_COPY ? &out : nullptr))
        return 0;
    if (pd_op == PD_TIME) {
        showTime(meta);
        return 1;
    }

    Walk walk{name};
    PanicDumpHeader header{};
    Step step = Step::Next;
    while (step == Step::Next) {
        if (!readHeader(in, header, rheader, rheaderSize))
            break;
        if (pd_op == PD_COPY && !out.write({rheader, rheaderSize})) {
            pdReport("fwrite failed for header.");
            return 0;
        }
        step = pd_state == PD_BETWEEN_SECTIONS ? atSectionHeader(walk, header, in, out)
                                               : atDataHeader(walk, header, in, out);
    }
    if (step == Step::OutputFailed)
        return 0;
    const Step owed = moved(out.finish()); // a copy's bytes still to move

    if (pd_op == PD_EXTRACT && !walk.found)
        return 0;
    if (pd_op == PD_LIST)
        printf("Total %d sections saved for %.*s at %s", walk.sections, static_cast<int>(kSavedForSize), meta.savedFor,
               timeText(meta.tim));
    return step == Step::EndOfDump && owed == Step::Next ? 1 : 0;
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

    const int status = dopd(name) ? 0 : 2;
    return outputWritten(outfp, outfp == stdout ? "standard output" : operand[1]) ? status : 2;
}
