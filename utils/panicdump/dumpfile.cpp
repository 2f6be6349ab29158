// pdex and pdcp: list, extract, copy and time-stamp panic dump files.
#include "dumpfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <sys/uio.h>
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

std::vector<uint8_t> rheaderStorage;
constexpr size_t kOutputBuffer = 128 * 1024;
constexpr int kPipeSize = 1 << 20;

int outputErrno; // the first failed write to outfp, 0 while all went out
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

bool noteWriteError()
{
    if (!outputErrno)
        outputErrno = errno ? errno : EIO;
    return false;
}

bool writeOut(const void *data, size_t size)
{
    return size == 0 || fwrite(data, 1, size, outfp) == size || noteWriteError();
}

bool writeOut(std::span<const uint8_t> bytes)
{
    return writeOut(bytes.data(), bytes.size());
}

} // namespace

DumpInput::DumpInput(FILE *stream) : fd_(fileno(stream)), buffer_(new uint8_t[kLargeRead])
{
    offset_ = lseek(fd_, 0, SEEK_CUR);
    seekable_ = offset_ >= 0;
}

DumpInput::~DumpInput() = default;

size_t DumpInput::fill(uint8_t *to, size_t size)
{
    for (;;) {
        ssize_t n = seekable_ ? pread(fd_, to, size, offset_) : ::read(fd_, to, size);
        if (n >= 0)
            return static_cast<size_t>(n);
        if (seekable_ && errno == ESPIPE && offset_ == 0) {
            seekable_ = false; // a device that seeks but cannot pread: stream it
            continue;
        }
        if (errno != EINTR)
            return 0; // a read error ends the input as its end does
    }
}

bool DumpInput::refill()
{
    if (onRefill_)
        onRefill_();
    offset_ += static_cast<off_t>(end_);
    begin_ = end_ = 0;
    // Right after a skip the next read is a record header: read a little, so
    // walking a file of large skipped blocks costs a small pread per header.
    end_ = fill(buffer_.get(), afterSkip_ ? kSmallRead : kLargeRead);
    afterSkip_ = false;
    return end_ > 0;
}

std::span<const uint8_t> DumpInput::peek(size_t max)
{
    if (begin_ == end_ && !refill())
        return {};
    return {buffer_.get() + begin_, std::min(max, end_ - begin_)};
}

void DumpInput::consume(size_t size)
{
    begin_ += std::min(size, end_ - begin_);
}

size_t DumpInput::read(void *into, size_t size)
{
    auto *to = static_cast<uint8_t *>(into);
    size_t done = 0;
    while (done < size) {
        std::span<const uint8_t> bytes = peek(size - done);
        if (bytes.empty())
            break;
        memcpy(to + done, bytes.data(), bytes.size());
        consume(bytes.size());
        done += bytes.size();
    }
    return done;
}

uint64_t DumpInput::discard(uint64_t size)
{
    uint64_t done = 0;
    while (done < size) {
        std::span<const uint8_t> bytes = peek(static_cast<size_t>(std::min<uint64_t>(size - done, kLargeRead)));
        if (bytes.empty())
            break;
        consume(bytes.size());
        done += bytes.size();
    }
    return done;
}

void DumpInput::skip(uint64_t size)
{
    uint64_t buffered = end_ - begin_;
    if (!seekable_ || size <= buffered) {
        discard(size);
        return;
    }
    // On a seekable input a skip only moves the offset of the next pread.
    offset_ += static_cast<off_t>(end_ + (size - buffered));
    begin_ = end_ = 0;
    afterSkip_ = true;
}

int64_t DumpInput::tell() const
{
    return seekable_ ? offset_ + static_cast<off_t>(begin_) : -1;
}

bool DumpInput::seek(int64_t to)
{
    if (!seekable_)
        return false;
    offset_ = to;
    begin_ = end_ = 0;
    afterSkip_ = true;
    return true;
}

namespace {

enum class Move { Done, InputEnded, OutputFailed };

// Extracted data leaves straight from the input buffer, several blocks to a
// writev, without a copy through stdio: the buffered ranges are written
// before the input buffer is refilled, and at the end.
class GatheredOutput {
public:
    bool add(std::span<const uint8_t> bytes)
    {
        if (failed_)
            return false;
        if (count_ == pieces_.size() && !flush())
            return false;
        pieces_[count_++] = {const_cast<uint8_t *>(bytes.data()), bytes.size()};
        return true;
    }
    bool flush()
    {
        for (size_t first = 0; first < count_ && !failed_;) {
            ssize_t n = writev(fileno(outfp), &pieces_[first], static_cast<int>(count_ - first));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
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
        count_ = 0;
        return !failed_;
    }

private:
    std::array<iovec, 64> pieces_;
    size_t count_ = 0;
    bool failed_ = false;
};

GatheredOutput *gathered; // set while a walk extracts

// Copies size bytes of the input to outfp straight from the input buffer;
// what was read before an early end of input is written all the same.
Move copyOut(DumpInput &in, uint64_t size)
{
    for (uint64_t done = 0; done < size;) {
        std::span<const uint8_t> bytes = in.peek(static_cast<size_t>(std::min<uint64_t>(size - done, SIZE_MAX)));
        if (bytes.empty())
            return Move::InputEnded;
        if (!(gathered ? gathered->add(bytes) : writeOut(bytes)))
            return Move::OutputFailed;
        in.consume(bytes.size());
        done += bytes.size();
    }
    return Move::Done;
}

// A data block of a selected section: the DSZ data bytes out, the filler dropped.
Move extractBlock(DumpInput &in, const PanicDumpHeader &header)
{
    Move moved = copyOut(in, header.dsz);
    if (moved != Move::Done)
        return moved;
    uint64_t filler = header.bsz - header.dsz;
    return in.discard(filler) == filler ? Move::Done : Move::InputEnded;
}

// A copy of a dump is a prefix of its input, byte for byte. From a seekable
// input into a regular file the walker therefore only checks the records and
// notes how far the copy reaches; the bytes move in a few large copies inside
// the kernel, as cp moves them. Elsewhere (pipes, devices) they stream.
class CopyRange {
public:
    bool begin(const DumpInput &in)
    {
        struct stat src, dst;
        from_ = committed_ = in.tell();
        active_ = from_ >= 0 && fstat(in.fd(), &src) == 0 && S_ISREG(src.st_mode) &&
                  fstat(fileno(outfp), &dst) == 0 && S_ISREG(dst.st_mode);
        inputSize_ = active_ ? src.st_size : 0;
        fd_ = in.fd();
        return active_;
    }
    // The input up to offset is part of the copy.
    bool commit(int64_t offset)
    {
        committed_ = offset;
        return committed_ - from_ < kFlushAt || flush();
    }

    // Moves past a block, stopping at the end of input; false if it ended inside.
    bool takeBlock(DumpInput &in, uint64_t size)
    {
        uint64_t left = static_cast<uint64_t>(std::max<int64_t>(inputSize_ - in.tell(), 0));
        in.skip(std::min(size, left));
        return size <= left;
    }

    // Writes out what was committed and not yet written.
    bool flush()
    {
        if (!active_ || committed_ <= from_)
            return true;
        if (fflush(outfp) != 0)
            return noteWriteError();
        while (from_ < committed_ && kernelCopy_) {
            loff_t at = from_;
            ssize_t n = copy_file_range(fd_, &at, fileno(outfp), nullptr, static_cast<size_t>(committed_ - from_), 0);
            if (n > 0)
                from_ = at;
            else if (n == 0)
                return true; // the input shrank under us: the copy ends there
            else if (errno != EINTR)
                kernelCopy_ = false; // not between these two files: stream instead
        }
        return streamRest();
    }

private:
    static constexpr int64_t kFlushAt = int64_t{1} << 28;

    bool streamRest()
    {
        static std::array<uint8_t, 64 * 1024> chunk;
        while (from_ < committed_) {
            size_t want = static_cast<size_t>(std::min<int64_t>(committed_ - from_, chunk.size()));
            ssize_t n = pread(fd_, chunk.data(), want, from_);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n == 0 || noteWriteError();
            if (!writeOut(chunk.data(), static_cast<size_t>(n)))
                return false;
            from_ += n;
        }
        return true;
    }

    bool active_ = false;
    bool kernelCopy_ = true;
    int fd_ = -1;
    int64_t from_ = 0;      // the input offset the output has reached
    int64_t committed_ = 0; // the input offset the copy reaches
    int64_t inputSize_ = 0;
};

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
bool copyExtension(DumpInput &in, const MetaExtension &extra)
{
    if (extra.held())
        return writeOut(extra.bytes.data(), extra.bytes.size());
    int64_t resume = in.tell();
    if (!in.seek(extra.offset))
        return false;
    Move moved = copyOut(in, extra.size);
    return in.seek(resume) && moved == Move::Done;
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

int readMetaHeader(DumpInput &stream, PanicDumpMetaHeader &meta, std::array<uint8_t, kMetaSize> &raw,
                   MetaExtension &extra)
{
    if (stream.read(raw.data(), raw.size()) != raw.size()) {
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
        if (stream.read(extra.bytes.data(), extra.size) != extra.size) {
            pdReport("error in fread for extra of meta header");
            return 0;
        }
    } else {
        extra.offset = stream.tell();
        if (pd_op == PD_COPY && extra.offset < 0) {
            pdReport("meta header extension of %llu bytes too large to copy from a pipe", static_cast<unsigned long long>(extra.size));
            return 0;
        }
        if (stream.discard(extra.size) != extra.size) {
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

int readHeader(DumpInput &stream, PanicDumpHeader &header, uint8_t *buffer, uint32_t size)
{
    if (size < kHeaderSize || stream.read(buffer, size) != size) {
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
    // Data leaves in large writes: a write per block costs more than the
    // copy. Into a pipe, a larger pipe buffer saves switches to its reader.
    static std::array<char, kOutputBuffer> outputBuffer;
    struct stat st;
    if (fstat(fileno(outfp), &st) == 0 && S_ISFIFO(st.st_mode))
        fcntl(fileno(outfp), F_SETPIPE_SZ, kPipeSize);
    setvbuf(outfp, outputBuffer.data(), _IOFBF, outputBuffer.size());
    DumpInput in(infp);
    GatheredOutput gather;
    if (pd_op == PD_EXTRACT && fflush(outfp) == 0) {
        gathered = &gather;
        in.onRefill([&] { gather.flush(); });
    }
    // However the walk ends, what was gathered is written and the hook goes.
    struct EndGather {
        DumpInput &in;
        GatheredOutput &gather;
        ~EndGather()
        {
            gather.flush();
            in.onRefill(nullptr);
            gathered = nullptr;
        }
    } endGather{in, gather};
    CopyRange range;
    bool ranged = pd_op == PD_COPY && range.begin(in);
    // What a copy writes: in ranged mode the input bytes up to where the walk is.
    auto emit = [&](const void *bytes, size_t size) { return ranged ? range.commit(in.tell()) : writeOut(bytes, size); };
    auto copyBlock = [&](uint64_t size) {
        if (!ranged)
            return copyOut(in, size);
        bool whole = range.takeBlock(in, size);
        if (!range.commit(in.tell()))
            return Move::OutputFailed;
        return whole ? Move::Done : Move::InputEnded;
    };

    PanicDumpMetaHeader meta{};
    std::array<uint8_t, kMetaSize> raw{};
    MetaExtension extra;
    if (!readMetaHeader(in, meta, raw, extra))
        return 0;
    if (pd_op == PD_COPY) {
        if (!(ranged ? range.commit(in.tell()) : writeOut(raw.data(), raw.size()))) {
            pdReport("fwrite failed for meta header.");
            return 0;
        }
        if (extra.size > 0 && !(ranged ? range.commit(in.tell()) : copyExtension(in, extra))) {
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

    while (readHeader(in, header, rheader, rheaderSize)) {
        if (pd_op == PD_COPY && !emit(rheader, rheaderSize)) {
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
                moved = copyBlock(header.bsz);
            } else {
                if (!readAttr(in, attr, header.bsz))
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
                moved = copyBlock(header.bsz);
            else if (selected)
                moved = extractBlock(in, header);
            else
                in.skip(header.bsz);
        }
        if (moved == Move::InputEnded) {
            range.flush();
            pdReport("premature EOF");
            break;
        }
        if (moved == Move::OutputFailed) {
            pdReport("fwrite failed for block.");
            return 0;
        }
    }
    if (!range.flush()) {
        pdReport("fwrite failed for block.");
        return 0;
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
