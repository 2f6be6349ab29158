// Panic dump files: the record layout, the readers that validate each record,
// and the walker behind pdex and pdcp.
//
// A dump is a 64-byte meta header (plus an uninterpreted extension when its
// SIZ exceeds 64), then sections, then an end-of-dump header. A section is a
// "pH" header whose block starts with the 46-byte attribute record, any number
// of "pD" data headers each followed by BSZ bytes (DSZ of data, the rest
// filler), and a "pD" header with BSZ 0. Every record header is HSZ bytes, of
// which only the first 16 are defined. All integers are big-endian.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

enum : int32_t { PD_EXTRACT = 0, PD_LIST = 1, PD_COPY = 2, PD_TIME = 3 };

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
constexpr size_t kIdSize = 32;
constexpr size_t kSavedForSize = 16;
constexpr size_t kNameSize = 31; // significant characters of a section name

} // namespace trelkit::dump

struct PanicDumpMetaHeader {
    char id[trelkit::dump::kIdSize + 1];
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

// The meta header's extension. Small ones (all real ones) are held; a larger
// one is only passed over, and a copy reads it again from the input.
struct MetaExtension {
    static constexpr uint64_t kHeldMax = 64 * 1024;
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
    int64_t offset = -1; // where it starts in a seekable input
    bool held() const { return bytes.size() == size; }
};

// The dump input: infp's descriptor read through a buffer of its own. On a
// seekable input a skip costs nothing and the next read is one pread; on a
// pipe skipped bytes are read and dropped, so a pipe walks like a file.
class DumpInput {
public:
    explicit DumpInput(FILE *stream);
    ~DumpInput();
    DumpInput(const DumpInput &) = delete;
    DumpInput &operator=(const DumpInput &) = delete;

    size_t read(void *into, size_t size); // short only at the end of input
    uint64_t discard(uint64_t size);      // returns the bytes there were
    void skip(uint64_t size);             // an end of input is left to the next read
    // The buffered bytes, at most max, reading more when none are left; empty
    // at the end of input. consume() takes them.
    std::span<const uint8_t> peek(size_t max);
    void consume(size_t size);
    int64_t tell() const; // -1 when not seekable
    bool seek(int64_t offset);
    int fd() const { return fd_; }
    // Called before the buffer is refilled, for whoever still points into it.
    void onRefill(std::function<void()> hook) { onRefill_ = std::move(hook); }

private:
    size_t fill(uint8_t *to, size_t size);
    bool refill();

    static constexpr size_t kSmallRead = 512;
    static constexpr size_t kLargeRead = 1024 * 1024;
    int fd_;
    bool seekable_;
    bool afterSkip_ = true;
    int64_t offset_;   // input offset of buffer_[0]
    size_t begin_ = 0; // unread bytes are buffer_[begin_, end_)
    size_t end_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
    std::function<void()> onRefill_;
};

namespace trelkit::dump {

bool idMatches(std::span<const uint8_t, kMetaSize> raw);
uint16_t metaChecksum(std::span<const uint8_t, kMetaSize> raw);
uint16_t headerChecksum(std::span<const uint8_t, kHeaderSize> raw);
PanicDumpMetaHeader decodeMeta(std::span<const uint8_t, kMetaSize> raw);
PanicDumpHeader decodeHeader(std::span<const uint8_t, kHeaderSize> raw);
PanicDumpAttr decodeAttr(std::span<const uint8_t, kAttrSize> raw);

} // namespace trelkit::dump

int readMetaHeader(DumpInput &stream, PanicDumpMetaHeader &meta,
                   std::array<uint8_t, trelkit::dump::kMetaSize> &raw, MetaExtension &extra);
int readHeader(DumpInput &stream, PanicDumpHeader &header, uint8_t *buffer, uint32_t size);
int readAttr(DumpInput &stream, PanicDumpAttr &attr, uint32_t blockSize);
int dopd(const char *name);
void flushInfo(const PanicDumpAttr &attr, int32_t section, int32_t blocks, uint64_t dataBytes);
void showTime(const PanicDumpMetaHeader &meta);
