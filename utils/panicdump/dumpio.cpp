// The dump commands' input and output; see dumpio.h.
#include "dumpio.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
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
    origin_ = lseek(fd_, 0, SEEK_CUR);
    // Some devices seek but cannot be read at an offset: they are streamed,
    // as a pipe is, from the start.
    seekable_ = origin_ >= 0 && buffer_ && pread(fd_, buffer_.get(), 0, origin_) == 0;
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
        n = ::read(fd_, buffer_.get() + at, size);
    else if (from <= static_cast<uint64_t>(INT64_MAX - origin_))
        n = pread(fd_, buffer_.get() + at, size, origin_ + static_cast<int64_t>(from));
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
        // What is left moves to the front and the rest of the buffer fills up.
        memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        offset_ += begin_;
        end_ -= begin_;
        begin_ = 0;
        // Right after a skip the next read is a record header: read a little,
        // so that walking large skipped blocks costs a small pread a header.
        const size_t ask = afterSkip_ ? std::max(want - end_, kSmallRead) : std::max(want - end_, size_t{128 * 1024});
        afterSkip_ = false;
        for (size_t n; end_ < want && (n = fill(end_, std::min(ask, kCapacity - end_))) > 0;)
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
        if (at > static_cast<uint64_t>(INT64_MAX - origin_))
            return 0;
        const ssize_t n = pread(fd_, out.data(), out.size(), origin_ + static_cast<int64_t>(at));
        return static_cast<size_t>(std::max<ssize_t>(n, 0));
    }
    if (at < position() || at - position() > kCapacity - out.size())
        return std::nullopt;
    const size_t skip = static_cast<size_t>(at - position());
    const std::span<const uint8_t> bytes = window(skip + out.size());
    const size_t n = bytes.size() > skip ? std::min(out.size(), bytes.size() - skip) : 0;
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(skip), n, out.begin());
    return n;
}

bool DumpInput::holds(uint64_t at) const
{
    uint8_t byte;
    if (!seekable_)
        return true;
    return at <= static_cast<uint64_t>(INT64_MAX - origin_) &&
           pread(fd_, &byte, 1, origin_ + static_cast<int64_t>(at)) == 1;
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

void DumpSink::open(int fd, int mirror, int64_t mirrorAt)
{
    fd_ = fd;
    mirror_ = mirror;
    mirrorAt_ = mirrorAt;
    enlargePipe(fd_);
}

Moved DumpSink::put(std::span<const uint8_t> bytes, Piece piece)
{
    if (mirror_ < 0)
        return bytes.empty() || gather(bytes, piece) ? Moved::All : Moved::OutputFailed;
    if (settle() != Moved::All)
        return stopped();
    if ((keptCount_ == kept_.size() || keptBytes_ + bytes.size() > keptStore_.size()) && endRun() != Moved::All)
        return stopped();
    // Held: kept if a large block follows, gathered if not.
    memcpy(&keptStore_[keptBytes_], bytes.data(), bytes.size());
    kept_[keptCount_++] = {mirrorAt_, keptBytes_, bytes.size(), piece};
    keptBytes_ += bytes.size();
    mirrorAt_ += static_cast<int64_t>(bytes.size());
    held_ = true;
    return Moved::All;
}

bool DumpSink::zeros(uint64_t size, Piece piece)
{
    static std::array<uint8_t, 256 * 1024> none; // zero, and in .bss: a const one would fill the executable
    for (; size > 0 && !failed_; size -= std::min<uint64_t>(size, none.size()))
        put(std::span(none).first(upTo(size, none.size())), piece);
    return !failed_;
}

Moved DumpSink::move(DumpInput &in, uint64_t size, Piece piece)
{
    if (failed_ || ended_)
        return stopped();
    // A large block the input holds whole joins the run, with the record
    // held before it; the kernel moves it when the run ends.
    if (mirror_ >= 0 && size >= kKernelCopyMin && in.holds(in.position() + size - 1)) {
        if (runFrom_ < 0)
            runFrom_ = held_ ? kept_[keptCount_ - 1].at : mirrorAt_;
        held_ = false;
        mirrorAt_ += static_cast<int64_t>(size);
        runTo_ = mirrorAt_;
        extensionEnd_ = piece == Piece::Extension ? mirrorAt_ : extensionEnd_;
        in.skip(size);
        return Moved::All;
    }
    if (mirror_ >= 0 && settle() != Moved::All)
        return stopped();
    while (size > 0) {
        std::span<const uint8_t> bytes = in.peek(upTo(size, DumpInput::kCapacity));
        if (bytes.empty())
            return Moved::InputEnded;
        if (!gather(bytes, piece))
            return Moved::OutputFailed;
        in.consume(bytes.size());
        size -= bytes.size();
        mirrorAt_ += static_cast<int64_t>(bytes.size());
    }
    return Moved::All;
}

Moved DumpSink::flush()
{
    const Moved run = settle() == Moved::All ? endRun() : stopped();
    return drain() ? run : Moved::OutputFailed;
}

// The held record is gathered; a run never reaches over gathered bytes, so
// it ends first.
Moved DumpSink::settle()
{
    if (failed_ || ended_ || !held_)
        return failed_ || ended_ ? stopped() : Moved::All;
    held_ = false;
    const Kept held = kept_[--keptCount_];
    keptBytes_ = held.offset;
    if (endRun() != Moved::All)
        return stopped();
    return gather(std::span(keptStore_).subspan(held.offset, held.size), held.piece) ? Moved::All : Moved::OutputFailed;
}

// The run moves, after what was gathered before it, then its checked
// records are written over their places. Where the input ends under the
// run, the copy ends there: what the walk checked past it cannot be placed.
Moved DumpSink::endRun()
{
    if (runFrom_ >= 0 && drain()) {
        const int64_t outAt = lseek(fd_, 0, SEEK_CUR), from = runFrom_;
        int64_t copied = runFrom_;
        ended_ = !copyRun(copied, runTo_) && !failed_;
        for (const Kept &k : std::span(kept_).first(keptCount_)) {
            if (failed_ || k.at + static_cast<int64_t>(k.size) > copied)
                break;
            if (pwrite(fd_, &keptStore_[k.offset], k.size, outAt + (k.at - from)) != static_cast<ssize_t>(k.size))
                failWith(k.piece);
        }
    }
    runFrom_ = -1;
    keptCount_ = keptBytes_ = 0;
    return failed_ || ended_ ? stopped() : Moved::All;
}

// The input from from to to, appended to the output: by the kernel where it
// can, else read and written. False when the input ends first or a write
// fails; from is then where the copy stopped.
bool DumpSink::copyRun(int64_t &from, int64_t to)
{
    while (kernel_ && from < to) {
        loff_t at = from;
        ssize_t n =
            copy_file_range(mirror_, &at, fd_, nullptr, upTo(static_cast<uint64_t>(to - from), kKernelCopyMax), 0);
        if (n <= 0) {
            kernel_ = n == 0; // an error says these two files cannot be copied between inside the kernel
            break;
        }
        from += n;
    }
    while (from < to) {
        ssize_t n = pread(mirror_, scratch_.data(), upTo(static_cast<uint64_t>(to - from), scratch_.size()), from);
        if (n <= 0)
            return false;
        for (ssize_t done = 0; done < n;) {
            const ssize_t written = write(fd_, scratch_.data() + done, static_cast<size_t>(n - done));
            if (written <= 0) {
                failWith(pieceAt(from));
                return false;
            }
            done += written;
            from += written;
        }
    }
    return true;
}

// What a byte of a run is, for a write that fails on it.
Piece DumpSink::pieceAt(int64_t at) const
{
    for (const Kept &k : std::span(kept_).first(keptCount_))
        if (k.at <= at && at < k.at + static_cast<int64_t>(k.size))
            return k.piece;
    return at < extensionEnd_ ? Piece::Extension : Piece::Block;
}

void DumpSink::failWith(Piece piece)
{
    if (!failed_) {
        failed_ = !noteWriteError();
        failedPiece_ = piece;
    }
}

bool DumpSink::gather(std::span<const uint8_t> bytes, Piece piece)
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

bool DumpSink::drain()
{
    for (size_t first = 0; first < count_ && !failed_;) {
        ssize_t n = writev(fd_, &pieces_[first], static_cast<int>(count_ - first));
        if (n <= 0) {
            failWith(kinds_[first]);
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

} // namespace trelkit::dump
