// How the dump commands read and write: an input read through one large
// buffer, which skips by seeking, and an output that gathers small pieces into
// few writes and lets the kernel move large blocks between regular files.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <sys/types.h>
#include <sys/uio.h>

#include "common.h"

namespace trelkit::dump {

// The calls the input and the output make into the system, in a table a
// test can fill with its own.
struct SystemCalls {
    ssize_t (*read)(int fd, void *bytes, size_t size);
    ssize_t (*write)(int fd, const void *bytes, size_t size);
    ssize_t (*writev)(int fd, const iovec *pieces, int count);
    ssize_t (*pread)(int fd, void *bytes, size_t size, off_t at);
    ssize_t (*pwrite)(int fd, const void *bytes, size_t size, off_t at);
    ssize_t (*copyRange)(int in, loff_t *inAt, int out, loff_t *outAt, size_t size, unsigned flags);
    off_t (*lseek)(int fd, off_t at, int whence);
};
extern const SystemCalls systemCalls;

// A descriptor read through a buffer of its own. On a seekable input a skip
// costs nothing and the next read is one pread; on a pipe skipped bytes are
// read and dropped, so that a pipe walks like a file. Positions count from
// where the dump starts.
class DumpInput {
public:
    explicit DumpInput(const SystemCalls &calls = systemCalls) : calls_(calls) {}
    bool open(int fd); // false when no buffer can be had
    // The unread bytes: at least want of them in a row (want at most 1 MiB),
    // fewer only where the input ends. consume() takes them.
    std::span<const uint8_t> window(size_t want);
    std::span<const uint8_t> peek(size_t max); // at most max unread bytes; empty at the end
    void consume(size_t size);
    size_t buffered() const { return end_ - begin_; }
    uint64_t discard(uint64_t size); // returns the bytes there were
    void skip(uint64_t size);        // an end of input is left to the next read
    // Back to an earlier position: anywhere on a seekable input, on a pipe
    // only as far as the buffer still reaches (further back, it stays put).
    void rewind(uint64_t to);
    // Back towards to: on a pipe as far as the buffer still reaches.
    void rewindWithin(uint64_t to);
    // Up to out's size of the bytes at position at, without moving: on a
    // seekable input wherever they are; on a pipe only ahead, within what the
    // buffer can hold (nothing is known beyond: nullopt). Fewer where the
    // input ends.
    std::optional<size_t> readAt(uint64_t at, std::span<uint8_t> out);
    uint64_t position() const { return offset_ + begin_; }
    bool seekable() const { return seekable_; }
    int fd() const { return fd_; }
    int64_t origin() const { return origin_; } // the descriptor's offset where the dump starts
    // Where the input ends: probed on a seekable input (the size a file
    // reports is no proof: procfs reports 0); on a pipe known once read.
    std::optional<uint64_t> end();
    // On a seekable input, whether it holds a byte at position; a pipe cannot tell.
    bool holds(uint64_t at) const;
    // A read that failed (an unreadable sector, a directory) ends the input as
    // its end does; the first such failure: its errno, and where it was.
    int readError() const { return readError_; }
    uint64_t readErrorAt() const { return readErrorAt_; }

    static constexpr size_t kCapacity = 1024 * 1024;

private:
    size_t fill(size_t at, size_t size);
    // Where a position lies in the descriptor. Past 2^63 it wraps to a
    // negative offset, which every read refuses: no input reaches so far.
    off_t placeOf(uint64_t at) const { return static_cast<off_t>(static_cast<uint64_t>(origin_) + at); }

    static constexpr size_t kSmallRead = 512;
    const SystemCalls &calls_;
    int fd_ = -1;
    bool seekable_ = false;
    bool afterSkip_ = true; // the next read is a record header: read little
    bool ended_ = false;    // a read found the end
    int readError_ = 0;
    uint64_t readErrorAt_ = 0;
    int64_t origin_ = 0;  // the descriptor's offset where the dump starts
    uint64_t offset_ = 0; // the position of buffer_[0]
    size_t begin_ = 0;    // unread bytes are buffer_[begin_, end_)
    size_t end_ = 0;
    std::unique_ptr<uint8_t[], FreeMemory> buffer_;
};

// Which part of a dump a piece of output is: named when its write fails.
enum class Piece : uint8_t { MetaHeader, Extension, Header, Block, Note };
const char *pieceName(Piece piece);

// How much of what the walk asked for moved: all of it, or not, and why.
enum class Moved { All, InputEnded, OutputFailed };

// Pieces of output gathered into few writes: small ones are copied aside and
// leave together in one writev; a large one leaves at once, with those before
// it, straight from where it lies, so that nothing points into the input's
// buffer when the input reads again. The first write that fails is the
// output's failure: its errno is noted for the report, the piece it was
// kept, and nothing more is written.
class Gathering {
public:
    explicit Gathering(const SystemCalls &calls) : calls_(calls) {}
    void open(int fd) { fd_ = fd; }
    bool put(std::span<const uint8_t> bytes, Piece piece);
    bool drain();           // writes out what is gathered
    bool fail(Piece piece); // returns false
    bool failed() const { return failed_; }
    Piece failedPiece() const { return failedPiece_; }
    int fd() const { return fd_; }
    const SystemCalls &calls() const { return calls_; }
    // Room a copy can pass through, once what was gathered has been written.
    std::span<uint8_t> spare() { return scratch_; }

private:
    const SystemCalls &calls_;
    int fd_ = -1;
    bool failed_ = false;
    Piece failedPiece_ = Piece::Block;
    std::array<iovec, 64> pieces_; // what is to be written, in order
    std::array<Piece, 64> kinds_;
    size_t count_ = 0;
    size_t aside_ = 0; // bytes copied aside
    std::array<uint8_t, 64 * 1024> scratch_;
};

// A plain copy between two regular files mirrors its input (the input's
// descriptor, and the file offset where the dump starts in it): a run of
// large blocks, with the headers before them, moves inside the kernel in one
// go, as cp moves a file, and the headers the walk checked are then written
// over their places, so that the copy holds them as checked whatever the
// input held when the kernel read it (read back first, as they nearly always
// are: a read costs less than a write). Where the kernel stops short, the rest
// of the run is read and written; where it cannot copy, it is not asked again.
class Mirroring {
public:
    Mirroring() = default;
    Mirroring(const Mirroring &) = delete;
    Mirroring &operator=(const Mirroring &) = delete;
    ~Mirroring();
    void open(int input, int64_t at, int output);
    bool active() const { return input_ >= 0; }
    // The input ended (shrank, or could not be read) under a run the walk
    // had checked: nothing more is written.
    bool ended() const { return ended_; }
    // A checked record (at most 64 KiB), held until the next step says
    // whether a large block follows it: kept for the run if one does,
    // gathered if not.
    Moved hold(std::span<const uint8_t> bytes, Piece piece, Gathering &out);
    // A large block the input holds whole joins the run; false when the
    // block is not one to join.
    bool join(DumpInput &in, uint64_t size, Piece piece);
    // Before bytes are gathered: the run moves, then the held record is gathered.
    Moved release(Gathering &out);
    void passed(size_t size) { at_ += static_cast<int64_t>(size); } // bytes gathered from the input

private:
    // A checked record kept to be written over its place once its run has moved.
    struct Kept {
        int64_t at; // in the input
        size_t offset, size;
        Piece piece;
    };
    Moved state(const Gathering &out) const;
    Moved endRun(Gathering &out);
    bool copy(int64_t &from, int64_t to, Gathering &out);
    bool placed(const Kept &record, int64_t at, Gathering &out);
    Piece pieceAt(int64_t at) const;

    int input_ = -1;
    int readBack_ = -1; // the output, open for reading; -1 when it cannot be
    int64_t at_ = 0; // where the next byte comes from in the input
    std::optional<int64_t> runFrom_; // where the run moving in the kernel starts, while there is one
    int64_t runTo_ = 0;
    bool held_ = false; // the last record kept
    bool kernel_ = true;
    bool ended_ = false;
    int64_t extensionEnd_ = -1;  // the extension, when it went into a run
    std::array<Kept, 1024> kept_; // a run moves at least every 1,024 large blocks
    size_t keptCount_ = 0, keptBytes_ = 0;
    std::array<uint8_t, 64 * 1024> store_;
};

// Where the bytes of a walk go, on the walk's own steps: put() the bytes of a
// record it has checked, move() the next bytes of the input. They are
// gathered, or, from a mirror, kept for a run.
class DumpSink {
public:
    explicit DumpSink(const SystemCalls &calls = systemCalls) : out_(calls) {}
    // Nothing goes out before open: a copy opens its output only once the
    // input has shown a dump.
    void open(int fd, int mirror = -1, int64_t mirrorAt = 0);
    // InputEnded, from a mirror: the input ended under a run the walk had
    // checked; nothing more is written.
    Moved put(std::span<const uint8_t> bytes, Piece piece);
    bool zeros(uint64_t size, Piece piece);
    Moved move(DumpInput &in, uint64_t size, Piece piece);
    Moved flush();                                           // writes out what is held
    Piece failedPiece() const { return out_.failedPiece(); } // the first piece not written

private:
    Moved state() const;

    Gathering out_;
    Mirroring mirror_;
};

bool isRegularFile(int fd);

} // namespace trelkit::dump
