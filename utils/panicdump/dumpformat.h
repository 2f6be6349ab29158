// The panic dump format: its records, how they decode, and what makes a
// record header valid.
//
// A dump is a 64-byte meta header (plus an uninterpreted extension when its
// SIZ exceeds 64), then sections, then an end-of-dump header. A section is a
// "pH" header whose block starts with the 46-byte attribute record, any number
// of "pD" data headers each followed by BSZ bytes (DSZ of data, the rest
// filler), and a "pD" header with BSZ 0. The end-of-dump header is any header
// with BSZ 0 between sections. Every record header is HSZ bytes, of which only
// the first 16 are defined. All integers are big-endian.
//
//   meta header   0 ID[32]  32 VER  36 SIZ  40 TIM  44 savedFor[16]  60 HSZ  62 CS
//   record header 0 TIM  4 DSZ  8 BSZ  12 MAG[2]  14 CS   (then HSZ - 16 carried bytes)
//   attribute     0 name[32]  32 TIM  36 SIZ  40 VER  44 PRI
//
// CS is the XOR of the big-endian 16-bit words before it (31 for the meta
// header, 7 for a record header). A record header is valid when its checksum
// holds, its TIM is the meta header's, its MAG is "pH" or "pD" and its DSZ is
// not above its BSZ: some 64 bits that random bytes almost never satisfy.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "bytes.h"

namespace trelkit::dump {

constexpr std::string_view kDumpId = "Halvern Linux Panic Dump";
constexpr size_t kMetaSize = 64;
constexpr size_t kHeaderSize = 16; // the defined part of a record header
constexpr size_t kAttrSize = 46;
constexpr size_t kSavedForSize = 16;
constexpr size_t kNameSize = 31; // significant characters of a section name
constexpr size_t kAttrVersion = 40;
constexpr size_t kMetaTime = 40, kMetaHeaderSize = 60;
constexpr size_t kMetaChecksum = kMetaSize - 2, kHeaderChecksum = kHeaderSize - 2; // the last word of each

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

namespace trelkit::dump {

using MetaBytes = std::array<uint8_t, kMetaSize>;
using HeaderBytes = std::span<const uint8_t, kHeaderSize>;

// The ID is a NUL-terminated string within its 32 bytes: the 24 characters
// and the NUL must match, whatever follows.
inline bool idMatches(const MetaBytes &raw)
{
    return memcmp(raw.data(), kDumpId.data(), kDumpId.size()) == 0 && raw[kDumpId.size()] == 0;
}

inline bool metaChecksumHolds(const MetaBytes &raw)
{
    return xorWords(std::span(raw).first(kMetaChecksum)) == be16(&raw[kMetaChecksum]);
}

inline bool headerChecksumHolds(HeaderBytes raw)
{
    return xorWords(raw.first(kHeaderChecksum)) == be16(&raw[kHeaderChecksum]);
}

inline void copyText(char *to, const uint8_t *from, size_t max)
{
    size_t n = strnlen(reinterpret_cast<const char *>(from), max);
    memcpy(to, from, n);
    to[n] = '\0';
}

inline PanicDumpMetaHeader decodeMeta(const MetaBytes &raw)
{
    PanicDumpMetaHeader meta{};
    meta.ver = be32(&raw[32]);
    meta.siz = be32(&raw[36]);
    meta.tim = static_cast<int32_t>(be32(&raw[kMetaTime]));
    copyText(meta.savedFor, &raw[44], kSavedForSize);
    meta.hsz = be16(&raw[kMetaHeaderSize]);
    meta.cs = be16(&raw[kMetaChecksum]);
    return meta;
}

inline PanicDumpHeader decodeHeader(HeaderBytes raw)
{
    PanicDumpHeader header{};
    header.tim = static_cast<int32_t>(be32(&raw[0]));
    header.dsz = be32(&raw[4]);
    header.bsz = be32(&raw[8]);
    header.mag[0] = static_cast<char>(raw[12]);
    header.mag[1] = static_cast<char>(raw[13]);
    header.cs = be16(&raw[kHeaderChecksum]);
    return header;
}

// A block shorter than the record leaves its missing fields zero.
inline PanicDumpAttr decodeAttr(std::span<const uint8_t> block)
{
    std::array<uint8_t, kAttrSize> raw{};
    memcpy(raw.data(), block.data(), std::min(block.size(), raw.size()));
    PanicDumpAttr attr{};
    copyText(attr.name, raw.data(), kNameSize);
    attr.tim = static_cast<int32_t>(be32(&raw[32]));
    attr.siz = be32(&raw[36]);
    attr.ver = static_cast<int32_t>(be32(&raw[kAttrVersion]));
    attr.pri = static_cast<int16_t>(be16(&raw[44]));
    return attr;
}

inline bool magicIs(const PanicDumpHeader &header, std::string_view magic)
{
    return header.mag[0] == magic[0] && header.mag[1] == magic[1];
}

// Every check a reader makes of a record header, at once.
inline bool headerPasses(HeaderBytes raw, int32_t tim)
{
    // The time stamp first: a scan asks this of many candidates, and most bytes are no stamp.
    if (static_cast<int32_t>(be32(&raw[0])) != tim || !headerChecksumHolds(raw))
        return false;
    const PanicDumpHeader h = decodeHeader(raw);
    return (magicIs(h, "pH") || magicIs(h, "pD")) && h.dsz <= h.bsz;
}

// An end-of-section or end-of-dump header of the save (BSZ 0), with a
// correct checksum: what a salvaged copy writes where the input lost one.
inline std::array<uint8_t, kHeaderSize> endHeader(int32_t tim, std::string_view mag)
{
    std::array<uint8_t, kHeaderSize> out{};
    putBe32(&out[0], static_cast<uint32_t>(tim));
    out[12] = static_cast<uint8_t>(mag[0]);
    out[13] = static_cast<uint8_t>(mag[1]);
    putBe16(&out[kHeaderChecksum], xorWords(std::span(out).first(kHeaderChecksum)));
    return out;
}

// A salvaged copy's note: what the salvage lost, said once, where every
// later reader finds it. It follows the end-of-dump header, where no walk of
// the format reads, so the plain tools take the copy as they take any dump;
// a check (and a plain copy, which carries it on) looks for it there. Its
// head is shaped as a record header of magic "pN", which no walk takes for a
// section or a block:
//
//   0 TIM  4 LEN  8 VER  10 TCS  12 MAG "pN"  14 CS     then LEN bytes of text
//
// TIM is the save's, LEN at most kNoteText, VER 1, TCS the XOR of the text's
// big-endian words (an odd last byte as the high byte of a word), CS the XOR
// of the seven words before it. The text is lines of printable ASCII, each
// ending in a newline: the damage lines of the salvage that made the copy
// (offsets of its input) and a line for each section it marked damaged.
constexpr size_t kNoteText = 4096;
constexpr uint16_t kNoteVersion = 1;
using NoteHead = std::array<uint8_t, kHeaderSize>;

constexpr uint16_t textChecksum(std::span<const uint8_t> text)
{
    const uint16_t odd = text.size() % 2 ? static_cast<uint16_t>(text.back() << 8) : 0;
    return static_cast<uint16_t>(xorWords(text) ^ odd);
}

inline NoteHead noteHead(int32_t tim, std::span<const uint8_t> text)
{
    NoteHead head{};
    putBe32(&head[0], static_cast<uint32_t>(tim));
    putBe32(&head[4], static_cast<uint32_t>(text.size()));
    putBe16(&head[8], kNoteVersion);
    putBe16(&head[10], textChecksum(text));
    head[12] = 'p';
    head[13] = 'N';
    putBe16(&head[kHeaderChecksum], xorWords(std::span(head).first(kHeaderChecksum)));
    return head;
}

// The length of the text a note head announces for the save tim, or 0 when
// the bytes are no note head of it.
inline size_t noteLength(HeaderBytes head, int32_t tim)
{
    const uint32_t length = be32(&head[4]);
    const bool holds = headerChecksumHolds(head) && static_cast<int32_t>(be32(&head[0])) == tim &&
                       be16(&head[8]) == kNoteVersion && head[12] == 'p' && head[13] == 'N' && length > 0 &&
                       length <= kNoteText;
    return holds ? length : 0;
}

inline bool noteTextHolds(HeaderBytes head, std::span<const uint8_t> text)
{
    return textChecksum(text) == be16(&head[10]);
}

// A meta header rebuilt around the save's time stamp and header size, with no
// extension: what is left of the original is kept where its ID still holds.
inline MetaBytes rebuildMeta(const MetaBytes &damaged, int32_t tim, uint16_t hsz)
{
    MetaBytes raw{};
    if (idMatches(damaged))
        raw = damaged;
    else
        putBe32(&raw[32], 1);
    memset(raw.data(), 0, 32);
    memcpy(raw.data(), kDumpId.data(), kDumpId.size());
    putBe32(&raw[36], kMetaSize);
    putBe32(&raw[kMetaTime], static_cast<uint32_t>(tim));
    putBe16(&raw[kMetaHeaderSize], hsz);
    putBe16(&raw[kMetaChecksum], xorWords(std::span(raw).first(kMetaChecksum)));
    return raw;
}

} // namespace trelkit::dump
