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
#include <sys/uio.h>

#include "common.h"

namespace trelkit::dump {

// A descriptor read through a buffer of its own. On a seekable input a skip
// costs nothing and the next read is one pread; on a pipe skipped bytes are
// read and dropped, so that a pipe walks like a file. Positions count from
// where the dump starts.
class DumpInput {
public:
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

    static constexpr size_t kSmallRead = 512;
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

// Where the bytes of a walk go, on the walk's own steps: put() the bytes of a
// record it has checked, move() the next bytes of the input. Small pieces are
// copied aside and leave together in one writev; a large piece of the input
// leaves at once, straight from the input's buffer, so that nothing points
// into the buffer when the input reads again.
//
// A plain copy between two regular files mirrors its input (mirror: the
// input's descriptor, and the file offset where the dump starts in it). There
// a run of large blocks, with the headers before them, moves inside the
// kernel in one go, as cp moves a file, and the headers the walk checked are
// then written over their places: the copy holds them as checked whatever
// the input held when the kernel read it. Where the kernel stops short or
// cannot copy, the run is read and written.
class DumpSink {
public:
    // Nothing goes out before open: a copy opens its output only once the
    // input has shown a dump.
    void open(int fd, int mirror = -1, int64_t mirrorAt = 0);
    // InputEnded, from a mirror: the input ended (shrank, or could not be
    // read) under a run the walk had checked; nothing more is written.
    Moved put(std::span<const uint8_t> bytes, Piece piece);
    bool zeros(uint64_t size, Piece piece);
    Moved move(DumpInput &in, uint64_t size, Piece piece);
    Moved flush();                                     // writes out what is held
    Piece failedPiece() const { return failedPiece_; } // the first piece not written

private:
    // A checked record kept to be written over its place once its run has moved.
    struct Kept {
        int64_t at; // in the input
        size_t offset, size;
        Piece piece;
    };
    bool gather(std::span<const uint8_t> bytes, Piece piece);
    bool drain();
    void failWith(Piece piece);
    Moved stopped() const { return failed_ ? Moved::OutputFailed : Moved::InputEnded; }
    Moved settle();
    Moved endRun();
    bool copyRun(int64_t &from, int64_t to);
    Piece pieceAt(int64_t at) const;

    int fd_ = -1;
    bool failed_ = false;
    Piece failedPiece_ = Piece::Block;
    std::array<iovec, 64> pieces_; // what is to be written, in order
    std::array<Piece, 64> kinds_;
    size_t count_ = 0;
    size_t aside_ = 0; // bytes copied aside
    std::array<uint8_t, 64 * 1024> scratch_;
    // Mirroring: where the next byte comes from in the input, the run the
    // kernel is to move, and the records kept for it; the last one is held
    // until the next step says whether a large block follows it.
    int mirror_ = -1;
    int64_t mirrorAt_ = 0;
    int64_t runFrom_ = -1, runTo_ = -1;
    bool held_ = false;
    bool kernel_ = true;
    bool ended_ = false;         // a run found the input ended
    int64_t extensionEnd_ = -1;  // the extension, when it went into a run
    std::array<Kept, 128> kept_; // a run moves at least every 128 large blocks
    size_t keptCount_ = 0, keptBytes_ = 0;
    std::array<uint8_t, 64 * 1024> keptStore_;
};

bool isRegularFile(int fd);

} // namespace trelkit::dump
