// The dump commands' input and output; see dumpio.h.
#include "dumpio.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common.h"

namespace trelkit::dump {

namespace {

// Pieces of at least this size are written from where they lie; smaller ones
// are copied aside, so that many leave in one write.
constexpr size_t kStraightWrite = 16 * 1024;
// Blocks from this size on join a run that moves inside the kernel; smaller
// ones are gathered, as reading them costs less than a write per header.
constexpr uint64_t kKernelCopyMin = 64 * 1024;
// The most one kernel copy is asked for, so that the length fits size_t on
// every build: a dump past 4 GiB must not be cut on a 32-bit device.
constexpr uint64_t kKernelCopyMax = 1u << 30;

size_t upTo(uint64_t size, size_t max)
{
    return static_cast<size_t>(std::min<uint64_t>(size, max));
}

} // namespace

const SystemCalls systemCalls = {::read, ::write, ::writev, ::pread, ::pwrite, ::copy_file_range, ::lseek};

bool isRegularFile(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// ---- the input ------------------------------------------------------------

bool DumpInput::open(int fd)
{
    fd_ = fd;
    buffer_.reset(static_cast<uint8_t *>(malloc(kCapacity)));
    origin_ = calls_.lseek(fd_, 0, SEEK_CUR);
    // Some devices seek but cannot be read at an offset: they are streamed,
    // as a pipe is, from the start.
    seekable_ = origin_ >= 0 && buffer_ && calls_.pread(fd_, buffer_.get(), 0, origin_) == 0;
    origin_ = std::max<int64_t>(origin_, 0);
    return buffer_ != nullptr;
}

// Reads into the buffer at at. The tools install no signal handlers, so no
// read is interrupted: a read error ends the input as its end does.
size_t DumpInput::fill(size_t at, size_t size)
{
    const uint64_t from = offset_ + at;
    ssize_t n = -1;
    if (!seekable_)
        n = calls_.read(fd_, buffer_.get() + at, size);
    else
        n = calls_.pread(fd_, buffer_.get() + at, size, placeOf(from));
    ended_ = n <= 0;
    if (n < 0 && !readError_) {
        readError_ = errno;
        readErrorAt_ = from;
    }
    return static_cast<size_t>(std::max<ssize_t>(n, 0));
}

std::span<const uint8_t> DumpInput::window(size_t want)
{
    want = std::min(want, kCapacity);
    if (end_ - begin_ < want) {
        // What is left moves to the front and the rest of the buffer fills up;
        // a seekable input reads on after it while the buffer has room (a pipe
        // keeps no more behind it than it ever did: a salvage looks back as far).
        if (!seekable_ || kCapacity - begin_ < want) {
            memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
            offset_ += begin_;
            end_ -= begin_;
            begin_ = 0;
        }
        // Right after a skip the next read is a record header: read a little,
        // so that walking large skipped blocks costs a small pread a header.
        const size_t missing = want - (end_ - begin_);
        const size_t ask = std::max(missing, afterSkip_ ? kSmallRead : size_t{128 * 1024});
        afterSkip_ = false;
        for (size_t n; end_ - begin_ < want && (n = fill(end_, std::min(ask, kCapacity - end_))) > 0;)
            end_ += n;
    }
    return {buffer_.get() + begin_, end_ - begin_};
}

std::span<const uint8_t> DumpInput::peek(size_t max)
{
    std::span<const uint8_t> bytes = window(1);
    return bytes.first(std::min(max, bytes.size()));
}

void DumpInput::consume(size_t size)
{
    begin_ += size; // at most what window() or peek() gave
}

uint64_t DumpInput::discard(uint64_t size)
{
    uint64_t left = size;
    for (std::span<const uint8_t> bytes; left != 0 && !(bytes = peek(upTo(left, kCapacity))).empty();) {
        consume(bytes.size());
        left -= bytes.size();
    }
    return size - left;
}

void DumpInput::skip(uint64_t size)
{
    if (!seekable_ || size <= buffered()) {
        discard(size);
        return;
    }
    // On a seekable input a skip only moves the position of the next pread.
    offset_ = position() + size;
    begin_ = end_ = 0;
    afterSkip_ = true;
}

void DumpInput::rewind(uint64_t to)
{
    if (to >= offset_ && to <= offset_ + end_) {
        begin_ = static_cast<size_t>(to - offset_);
    } else if (seekable_) {
        offset_ = to;
        begin_ = end_ = 0;
        afterSkip_ = true;
    }
}

void DumpInput::rewindWithin(uint64_t to)
{
    rewind(seekable_ ? to : std::max(to, offset_));
}

std::optional<size_t> DumpInput::readAt(uint64_t at, std::span<uint8_t> out)
{
    // What the buffer holds costs no read: a scan asks this for every candidate.
    if (at >= offset_ && at - offset_ <= end_ && end_ - (at - offset_) >= out.size()) {
        memcpy(out.data(), buffer_.get() + (at - offset_), out.size());
        return out.size();
    }
    if (seekable_) {
        const ssize_t n = calls_.pread(fd_, out.data(), out.size(), placeOf(at));
        return static_cast<size_t>(std::max<ssize_t>(n, 0));
    }
    if (at < position() || at - position() > kCapacity - out.size())
        return std::nullopt;
    const size_t skip = static_cast<size_t>(at - position());
    const std::span<const uint8_t> bytes = window(skip + out.size());
    const size_t n = std::min(out.size(), bytes.size() - std::min(skip, bytes.size()));
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(skip), n, out.begin());
    return n;
}

bool DumpInput::holds(uint64_t at) const
{
    uint8_t byte;
    if (!seekable_)
        return true;
    return calls_.pread(fd_, &byte, 1, placeOf(at)) == 1;
}

std::optional<uint64_t> DumpInput::end()
{
    if (!seekable_)
        return ended_ ? std::optional<uint64_t>(offset_ + end_) : std::nullopt;
    // The first position that holds no byte: doubling, then halving.
    uint64_t low = 0, high = 1;
    while (holds(high - 1) && high < (uint64_t{1} << 62))
        low = high, high *= 2;
    while (high - low > 1) {
        const uint64_t middle = low + (high - low) / 2;
        (holds(middle - 1) ? low : high) = middle;
    }
    return low;
}

// ---- the output -----------------------------------------------------------

const char *pieceName(Piece piece)
{
    switch (piece) {
    case Piece::MetaHeader:
        return "meta header";
    case Piece::Extension:
        return "extra meta header";
    case Piece::Header:
        return "header";
    case Piece::Note:
        return "note";
    case Piece::Block:
        break;
    }
    return "block";
}

// ---- gathering

bool Gathering::put(std::span<const uint8_t> bytes, Piece piece)
{
    const bool aside = bytes.size() < kStraightWrite;
    if (count_ == pieces_.size() || (aside && aside_ + bytes.size() > scratch_.size()))
        drain();
    if (failed_)
        return false;
    const uint8_t *at = bytes.data();
    if (aside) {
        at = static_cast<uint8_t *>(memcpy(&scratch_[aside_], bytes.data(), bytes.size()));
        aside_ += bytes.size();
    }
    pieces_[count_] = {const_cast<uint8_t *>(at), bytes.size()};
    kinds_[count_++] = piece;
    // A large piece leaves now, while the bytes it points to are still there.
    return aside || drain();
}

bool Gathering::drain()
{
    for (size_t first = 0; first < count_;) {
        const ssize_t n = calls_.writev(fd_, &pieces_[first], static_cast<int>(count_ - first));
        if (n <= 0) {
            fail(kinds_[first]);
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
    return !failed_;
}

bool Gathering::fail(Piece piece)
{
    noteWriteError();
    failed_ = true;
    failedPiece_ = piece;
    return false;
}

// ---- mirroring

Mirroring::~Mirroring()
{
    close(readBack_);
}

// The output is read back through a descriptor of its own: the one it was
// opened by may be write-only. Where none can be had, checked records are
// written over their places every time (a read of -1 fails).
void Mirroring::open(int input, int64_t at, int output)
{
    input_ = input;
    at_ = at;
    if (!active())
        return;
    char path[40];
    snprintf(path, sizeof path, "/proc/self/fd/%d", output);
    readBack_ = ::open(path, O_RDONLY | O_CLOEXEC);
}

Moved Mirroring::state(const Gathering &out) const
{
    return out.failed() ? Moved::OutputFailed : ended_ ? Moved::InputEnded : Moved::All;
}

Moved Mirroring::hold(std::span<const uint8_t> bytes, Piece piece, Gathering &out)
{
    // The record held before this one has no large block after it.
    if (const Moved before = held_ ? release(out) : state(out); before != Moved::All)
        return before;
    if ((keptCount_ == kept_.size() || keptBytes_ + bytes.size() > store_.size()) && endRun(out) != Moved::All)
        return state(out);
    memcpy(&store_[keptBytes_], bytes.data(), bytes.size());
    kept_[keptCount_++] = {at_, keptBytes_, bytes.size(), piece};
    keptBytes_ += bytes.size();
    at_ += static_cast<int64_t>(bytes.size());
    held_ = true;
    return Moved::All;
}

bool Mirroring::join(DumpInput &in, uint64_t size, Piece piece)
{
    if (size < kKernelCopyMin || !in.holds(in.position() + size - 1))
        return false;
    if (!runFrom_)
        runFrom_ = held_ ? kept_[keptCount_ - 1].at : at_;
    held_ = false;
    at_ += static_cast<int64_t>(size);
    runTo_ = at_;
    extensionEnd_ = piece == Piece::Extension ? at_ : extensionEnd_;
    in.skip(size);
    return true;
}

// A run never reaches over gathered bytes: it ends before the held record,
// or the bytes that follow, are gathered.
Moved Mirroring::release(Gathering &out)
{
    if (state(out) != Moved::All)
        return state(out);
    const bool held = held_;
    const Kept record = held ? kept_[--keptCount_] : Kept{};
    keptBytes_ = record.offset;
    held_ = false;
    if (endRun(out) != Moved::All)
        return state(out);
    return !held || out.put(std::span(store_).subspan(record.offset, record.size), record.piece) ? Moved::All
                                                                                                 : Moved::OutputFailed;
}

// The run moves, after what was gathered before it, then its checked
// records are written over their places. Where the input ends under the
// run, the copy ends there: what the walk checked past it cannot be placed.
Moved Mirroring::endRun(Gathering &out)
{
    if (runFrom_ && out.drain()) {
        const SystemCalls &sys = out.calls();
        const int64_t outAt = sys.lseek(out.fd(), 0, SEEK_CUR), from = *runFrom_;
        int64_t copied = from;
        ended_ = !copy(copied, runTo_, out) && !out.failed();
        for (size_t i = 0;
             i < keptCount_ && !out.failed() && kept_[i].at + static_cast<int64_t>(kept_[i].size) <= copied; ++i) {
            const Kept &k = kept_[i];
            const int64_t place = outAt + (k.at - from);
            if (!placed(k, place, out) &&
                sys.pwrite(out.fd(), &store_[k.offset], k.size, place) != static_cast<ssize_t>(k.size))
                out.fail(k.piece);
        }
    }
    runFrom_.reset();
    keptCount_ = keptBytes_ = 0;
    return state(out);
}

// The input from from to to, appended to the output: by the kernel where it
// can, else read and written. False when the input ends first or a write
// fails; from is then where the copy stopped.
bool Mirroring::copy(int64_t &from, int64_t to, Gathering &out)
{
    const SystemCalls &sys = out.calls();
    while (kernel_ && from < to) {
        loff_t at = from;
        const ssize_t n =
            sys.copyRange(input_, &at, out.fd(), nullptr, upTo(static_cast<uint64_t>(to - from), kKernelCopyMax), 0);
        if (n <= 0) {
            kernel_ = n == 0; // an error says these two files cannot be copied between inside the kernel
            break;
        }
        from += n;
    }
    const std::span<uint8_t> buffer = out.spare();
    while (from < to) {
        const ssize_t n = sys.pread(input_, buffer.data(), upTo(static_cast<uint64_t>(to - from), buffer.size()), from);
        if (n <= 0)
            return false;
        for (ssize_t done = 0; done < n;) {
            const ssize_t written = sys.write(out.fd(), buffer.data() + done, static_cast<size_t>(n - done));
            if (written <= 0)
                return out.fail(pieceAt(from));
            done += written;
            from += written;
        }
    }
    return true;
}

// Whether the output holds a checked record at its place already: the kernel
// copied it as the walk checked it, unless the input changed in between.
bool Mirroring::placed(const Kept &record, int64_t at, Gathering &out)
{
    const std::span<uint8_t> back = out.spare().first(record.size);
    return out.calls().pread(readBack_, back.data(), back.size(), at) == std::ssize(back) &&
           memcmp(back.data(), &store_[record.offset], back.size()) == 0;
}

// What a byte of a run is, for a write that fails on it.
Piece Mirroring::pieceAt(int64_t at) const
{
    for (const Kept &k : std::span(kept_).first(keptCount_))
        if (k.at <= at && at < k.at + static_cast<int64_t>(k.size))
            return k.piece;
    return at < extensionEnd_ ? Piece::Extension : Piece::Block;
}

// ---- the sink

void DumpSink::open(int fd, int mirror, int64_t mirrorAt)
{
    out_.open(fd);
    mirror_.open(mirror, mirrorAt, fd);
    enlargePipe(fd);
}

Moved DumpSink::state() const
{
    return out_.failed() ? Moved::OutputFailed : mirror_.ended() ? Moved::InputEnded : Moved::All;
}

Moved DumpSink::put(std::span<const uint8_t> bytes, Piece piece)
{
    if (mirror_.active())
        return mirror_.hold(bytes, piece, out_);
    return bytes.empty() || out_.put(bytes, piece) ? Moved::All : Moved::OutputFailed;
}

bool DumpSink::zeros(uint64_t size, Piece piece)
{
    static std::array<uint8_t, 256 * 1024> none; // zero, and in .bss: a const one would fill the executable
    for (; size > 0 && !out_.failed(); size -= std::min<uint64_t>(size, none.size()))
        put(std::span(none).first(upTo(size, none.size())), piece);
    return !out_.failed();
}

Moved DumpSink::move(DumpInput &in, uint64_t size, Piece piece)
{
    if (state() != Moved::All)
        return state();
    if (mirror_.active() && (mirror_.join(in, size, piece) || mirror_.release(out_) != Moved::All))
        return state();
    while (size > 0) {
        // A block in one write where the input's buffer holds it in a row.
        const std::span<const uint8_t> ahead = in.window(upTo(size, DumpInput::kCapacity));
        const std::span<const uint8_t> bytes = ahead.first(upTo(size, ahead.size()));
        if (bytes.empty())
            return Moved::InputEnded;
        if (!out_.put(bytes, piece))
            return Moved::OutputFailed;
        in.consume(bytes.size());
        size -= bytes.size();
        mirror_.passed(bytes.size());
    }
    return Moved::All;
}

Moved DumpSink::flush()
{
    const Moved run = mirror_.active() ? mirror_.release(out_) : state();
    return out_.drain() ? run : Moved::OutputFailed;
}

} // namespace trelkit::dump
