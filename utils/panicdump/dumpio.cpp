// The dump commands' input and output; see dumpio.h.
#include "dumpio.h"

#include <algorithm>
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
// Blocks from this size on move inside the kernel, where it can.
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
    return n > 0 ? static_cast<size_t>(n) : 0;
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
        const size_t ask = afterSkip_ ? std::max(want - end_, kSmallRead) : kCapacity - end_;
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
    uint64_t done = 0;
    while (done < size) {
        std::span<const uint8_t> bytes = peek(upTo(size - done, kCapacity));
        if (bytes.empty())
            break;
        consume(bytes.size());
        done += bytes.size();
    }
    return done;
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

bool DumpInput::rewind(uint64_t to)
{
    if (to >= offset_ && to <= offset_ + end_) {
        begin_ = static_cast<size_t>(to - offset_);
        return true;
    }
    if (!seekable_)
        return false;
    offset_ = to;
    begin_ = end_ = 0;
    afterSkip_ = true;
    return true;
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
    case Piece::Block:
        break;
    }
    return "block";
}

DumpSink::DumpSink(int fd, bool kernelCopies) : fd_(fd), kernel_(kernelCopies)
{
    enlargePipe(fd_);
}

bool DumpSink::put(std::span<const uint8_t> bytes, Piece piece)
{
    return bytes.empty() || gather(bytes, piece);
}

bool DumpSink::zeros(uint64_t size, Piece piece)
{
    static const std::array<uint8_t, 256 * 1024> none{};
    for (; size > 0 && !failed_; size -= std::min<uint64_t>(size, none.size()))
        put(std::span(none).first(upTo(size, none.size())), piece);
    return !failed_;
}

Moved DumpSink::move(DumpInput &in, uint64_t size, Piece piece)
{
    bool kernelStopped = false;
    while (size > 0) {
        // What the input holds already leaves from its buffer; the kernel
        // copies the rest of a large block.
        if (kernel_ && !kernelStopped && in.buffered() == 0 && size >= kKernelCopyMin) {
            const uint64_t copied = kernelCopy(in, size);
            if (failed_)
                return Moved::OutputFailed;
            kernelStopped = copied == 0;
            size -= copied;
            continue;
        }
        std::span<const uint8_t> bytes = in.peek(upTo(size, DumpInput::kCapacity));
        if (bytes.empty())
            return Moved::InputEnded;
        if (!gather(bytes, piece))
            return Moved::OutputFailed;
        in.consume(bytes.size());
        size -= bytes.size();
    }
    return Moved::All;
}

// Returns the bytes the kernel copied, 0 when it copied none: the input
// ended, or the kernel stopped for another reason and reading and writing
// find out which.
uint64_t DumpSink::kernelCopy(DumpInput &in, uint64_t size)
{
    if (!flush())
        return 0;
    loff_t at = in.fileOffset();
    ssize_t n = copy_file_range(in.fd(), &at, fd_, nullptr, upTo(size, kKernelCopyMax), 0);
    if (n < 0) {
        kernel_ = false; // these two files cannot be copied between inside the kernel
        return 0;
    }
    in.skip(static_cast<uint64_t>(n));
    return static_cast<uint64_t>(n);
}

bool DumpSink::gather(std::span<const uint8_t> bytes, Piece piece)
{
    const bool aside = bytes.size() < kStraightWrite;
    if (count_ == pieces_.size() || (aside && aside_ + bytes.size() > scratch_.size()))
        flush();
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
    return aside || flush();
}

bool DumpSink::flush()
{
    for (size_t first = 0; first < count_ && !failed_;) {
        ssize_t n = writev(fd_, &pieces_[first], static_cast<int>(count_ - first));
        if (n <= 0) {
            failed_ = !noteWriteError();
            failedPiece_ = kinds_[first];
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
