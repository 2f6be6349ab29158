// Panic dump files: the record layout, the readers that validate each record,
// and the walker behind pdex and pdcp.
//
// A dump is a 64-byte meta header (plus an uninterpreted extension when its
// SIZ exceeds 64), then sections, then an end-of-dump header. A section is a
// "pH" header whose block starts with the 46-byte attribute record, any number
// of "pD" data headers each followed by BSZ bytes (DSZ of data, the rest
// filler), and a "pD" header with BSZ 0. Every record header is HSZ bytes, of
// which only the first 16 are defined. All integers are big-endian.
//
//   meta header   0 ID[32]  32 VER  36 SIZ  40 TIM  44 savedFor[16]  60 HSZ  62 CS
//   record header 0 TIM  4 DSZ  8 BSZ  12 MAG[2]  14 CS   (then HSZ - 16 carried bytes)
//   attribute     0 name[32]  32 TIM  36 SIZ  40 VER  44 PRI
//
// CS is the XOR of the big-endian 16-bit words before it (31 for the meta
// header, 7 for a record header).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>
#include <sys/uio.h>

enum : int32_t { PD_EXTRACT = 0, PD_LIST = 1, PD_COPY = 2, PD_TIME = 3 };
// The walker's state: which kind of header comes next.
enum : int32_t { PD_BETWEEN_SECTIONS, PD_IN_SECTION };

extern int32_t pd_op;
extern int32_t pd_state;
extern int32_t refTime;
extern uint32_t rheaderSize;
extern uint8_t *rheader;

namespace trelkit::dump {

constexpr std::string_view kDumpId = "Halvern Linux Panic Dump";
constexpr size_t kMetaSize = 64;
constexpr size_t kHeaderSize = 16; // the defined part of a record header
constexpr size_t kAttrSize = 46;
constexpr size_t kSavedForSize = 16;
constexpr size_t kNameSize = 31; // significant characters of a section name

struct Free {
    void operator()(void *p) const { free(p); }
};
using Buffer = std::unique_ptr<uint8_t[], Free>;

} // namespace trelkit::dump

// The meta header's ID is only ever kDumpId: it is checked, not kept.
struct PanicDumpMetaHeader {
    uint32_t ver;
    uint32_t siz;
    int32_t tim;
    char savedFor[trelkit::dump::kSavedForSize + 1];
    uint16_t hsz;
    uint16_t cs;
};

struct PanicDumpHeader {
    int32_t tim;
    uint32_t dsz;
    uint32_t bsz;
    char mag[3];
    uint16_t cs;
};

struct PanicDumpAttr {
    char name[trelkit::dump::kNameSize + 1];
    int32_t tim;
    uint32_t siz;
    int32_t ver;
    int16_t pri;
};

// The meta header's extension. Real ones are small and held in memory; a
// larger one (a damaged SIZ claims up to 4 GiB) is never held: it is passed
// over, or a copy streams it from the input to the output as it comes.
struct MetaExtension {
    static constexpr uint64_t kHeldMax = 64 * 1024;
    std::span<const uint8_t> held; // the extension, when held
    uint64_t size = 0;
};

class DumpOutput;

// The dump input: infp's descriptor read through a buffer of its own. On a
// seekable input a skip costs nothing and the next read is one pread; on a
// pipe skipped bytes are read and dropped, so a pipe walks like a file.
class DumpInput {
public:
    bool open(FILE *stream);              // false when no buffer can be had
    size_t read(void *into, size_t size); // short only at the end of input
    uint64_t discard(uint64_t size);      // returns the bytes there were
    void skip(uint64_t size);             // an end of input is left to the next read
    bool pass(uint64_t size);             // skips 1 or more; false when the input ends inside
    // The buffered bytes, at most max, reading more when none are left; empty
    // at the end of input. consume() takes them.
    std::span<const uint8_t> peek(size_t max);
    void consume(size_t size);
    bool seekable() const { return seekable_; }
    int64_t tell() const; // where the next byte comes from, when seekable
    int fd() const { return fd_; }

private:
    friend class DumpOutput;
    uint64_t take(uint8_t *into, uint64_t size); // read into, or drop when null
    size_t fill(uint8_t *to, size_t size);
    void refill();

    static constexpr size_t kSmallRead = 512;
    static constexpr size_t kLargeRead = 1024 * 1024;
    int fd_ = -1;
    bool seekable_ = false;
    bool afterSkip_ = true;
    int64_t offset_ = 0; // input offset of buffer_[0]
    size_t begin_ = 0;   // unread bytes are buffer_[begin_, end_)
    size_t end_ = 0;
    trelkit::dump::Buffer buffer_;
    DumpOutput *borrower_ = nullptr; // writes out what points into buffer_ before it is refilled
};

// How much of what the walk asked for moved: all of it, or not, and why.
enum class Taken { All, InputEnded, OutputFailed };

// Where the bytes of a walk go, decided once when the walk starts. The walk
// only asks it to write a header it has just read, or to take the next bytes
// of the input.
//  - Gathered: pieces leave in one writev for many blocks. Large pieces are
//    written from where they lie in the input's buffer, which therefore
//    writes them out before it is refilled; small ones (headers, short
//    blocks) are copied aside first.
//  - InputRange: a copy from a regular file into a regular file is a prefix
//    of its input, so the walk only checks the records and notes how far the
//    copy reaches; at the end the bytes move by kernel copies, as cp moves
//    them (by reading and writing where the kernel cannot copy).
class DumpOutput {
public:
    DumpOutput(DumpInput &in, FILE *out, bool copy);
    ~DumpOutput();
    DumpOutput(const DumpOutput &) = delete;
    DumpOutput &operator=(const DumpOutput &) = delete;
    bool write(std::span<const uint8_t> header);
    Taken take(uint64_t size);
    Taken finish(); // the bytes still owed; InputEnded when the input shrank
    void drain();   // writes out what is gathered

private:
    enum class Way { Gathered, InputRange };
    bool gather(std::span<const uint8_t> bytes, bool borrowed);
    Taken copyRange();
    Taken streamRange();

    DumpInput &in_;
    int fd_;
    Way way_ = Way::Gathered;
    std::array<iovec, 64> pieces_; // Gathered: what is to be written, in order
    size_t count_ = 0;
    size_t aside_ = 0; // Gathered: bytes copied aside
    bool failed_ = false;
    int64_t from_;    // InputRange: the input offset the output has reached
    int64_t reached_; // InputRange: the input offset the copy reaches
};

// copy: the output of a copy, which an extension too large to hold streams to
// (it then writes the meta header first); null for the other operations.
int readMetaHeader(DumpInput &stream, PanicDumpMetaHeader &meta, std::array<uint8_t, trelkit::dump::kMetaSize> &raw,
                   MetaExtension &extra, DumpOutput *copy = nullptr);
int readHeader(DumpInput &stream, PanicDumpHeader &header, uint8_t *buffer, uint32_t size);
int readAttr(DumpInput &stream, PanicDumpAttr &attr, uint32_t blockSize);
int dopd(const char *name);
void flushInfo(const PanicDumpAttr &attr, int32_t section, int32_t blocks, uint64_t dataBytes);
void showTime(const PanicDumpMetaHeader &meta);
