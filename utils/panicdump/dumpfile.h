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
    static constexpr uint64_t kHeldMax = 1 << 20;
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
    int64_t offset = -1; // where it starts in a seekable input
    bool held() const { return bytes.size() == size; }
};

namespace trelkit::dump {

bool idMatches(std::span<const uint8_t, kMetaSize> raw);
uint16_t metaChecksum(std::span<const uint8_t, kMetaSize> raw);
uint16_t headerChecksum(std::span<const uint8_t, kHeaderSize> raw);
PanicDumpMetaHeader decodeMeta(std::span<const uint8_t, kMetaSize> raw);
PanicDumpHeader decodeHeader(std::span<const uint8_t, kHeaderSize> raw);
PanicDumpAttr decodeAttr(std::span<const uint8_t, kAttrSize> raw);

} // namespace trelkit::dump

int readMetaHeader(FILE *stream, PanicDumpMetaHeader &meta,
                   std::array<uint8_t, trelkit::dump::kMetaSize> &raw, MetaExtension &extra);
int readHeader(FILE *stream, PanicDumpHeader &header, uint8_t *buffer, uint32_t size);
int readAttr(FILE *stream, PanicDumpAttr &attr, uint32_t blockSize);
int dopd(const char *name);
void flushInfo(const PanicDumpAttr &attr, int32_t section, int32_t blocks, uint64_t dataBytes);
void showTime(const PanicDumpMetaHeader &meta);
