// Scanning damaged dumps for record headers; see dumpscan.h.
#include "dumpscan.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "dumpformat.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace trelkit::dump {

namespace {

struct Candidate {
    uint64_t at;
    int32_t tim;
    uint32_t bsz;
};

// The value most entries have (the first of them on a tie), and how many have it.
template <typename T> std::pair<T, unsigned> mostCommon(std::span<const T> values)
{
    std::pair<T, unsigned> best{};
    for (size_t i = 0; i < values.size(); ++i) {
        const auto count = static_cast<unsigned>(std::count(values.begin(), values.end(), values[i]));
        if (count > best.second)
            best = {values[i], count};
    }
    return best;
}

// The time stamp of the first candidate that another of its time stamp
// follows where a next header would begin: past its block, by a gap a
// header size can be.
std::optional<int32_t> firstChained(std::span<const Candidate> candidates)
{
    for (size_t i = 0; i < candidates.size(); ++i)
        for (size_t j = i + 1; j < candidates.size(); ++j) {
            const uint64_t end = candidates[i].at + candidates[i].bsz;
            if (candidates[j].at > end + UINT16_MAX)
                break;
            if (candidates[j].tim == candidates[i].tim && candidates[j].at >= end + kHeaderSize)
                return candidates[i].tim;
        }
    return std::nullopt;
}

// The starts in size bytes with a header's 16 bytes behind them.
size_t starts(size_t size)
{
    return size < kHeaderSize ? 0 : size - kHeaderSize + 1;
}

} // namespace

StampScan::StampScan(std::span<const uint8_t> bytes, std::span<const uint8_t, 2> stamp, bool plain)
    : bytes_(bytes), stamp_(stamp), stop_(starts(bytes.size())), plain_(plain)
{
}

size_t StampScan::nextPlain()
{
    for (size_t i = from_; i < stop_; ++i) {
        const void *p = memchr(&bytes_[i], stamp_[0], stop_ - i);
        if (!p)
            break;
        i = static_cast<size_t>(static_cast<const uint8_t *>(p) - bytes_.data());
        if (bytes_[i + 1] == stamp_[1]) {
            from_ = i + 1;
            return i;
        }
    }
    from_ = stop_;
    return bytes_.size();
}

size_t StampScan::look()
{
#if defined(__SSE2__)
    if (!plain_) {
        const __m128i first = _mm_set1_epi8(static_cast<char>(stamp_[0])),
                      second = _mm_set1_epi8(static_cast<char>(stamp_[1]));
        // The stamp's two bytes match at the starts whose bits are set.
        const uint8_t *bytes = bytes_.data();
        const auto matches = [&](size_t at) {
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + at)),
                          next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + at + 1));
            return _mm_and_si128(_mm_cmpeq_epi8(here, first), _mm_cmpeq_epi8(next, second));
        };
        const auto bits = [](__m128i m) { return uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(m))}; };
        // 64 starts at a time, while all 64 are starts: the loads reach 64 bytes on, within the 16 behind the
        // last. Most of a damaged stretch holds no stamp: one test lets 64 starts go by.
        size_t from = from_;
        for (; from + 64 <= stop_; from += 64) {
            const __m128i m0 = matches(from), m1 = matches(from + 16), m2 = matches(from + 32),
                          m3 = matches(from + 48);
            if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(m0, m1), _mm_or_si128(m2, m3))) == 0)
                continue;
            found_ = bits(m0) | bits(m1) << 16 | bits(m2) << 32 | bits(m3) << 48;
            base_ = from;
            from_ = from + 64;
            return next();
        }
        from_ = from;
    }
#endif
    return nextPlain(); // the plain search; on SSE2 the last starts, fewer than 64
}

Successor successorOf(DumpInput &in, uint64_t at, uint32_t hsz, uint32_t bsz, int32_t tim)
{
    // One read from the block's last byte: that it is there, then the next header.
    std::array<uint8_t, 1 + kHeaderSize> bytes;
    const std::optional<size_t> got = in.readAt(at + hsz + bsz - 1, bytes);
    if (!got)
        return Successor::Unknown;
    if (*got == 0)
        return Successor::PastEnd;
    if (*got < bytes.size())
        return *got == 1 ? Successor::Holds : Successor::Cut;
    return headerPasses(HeaderBytes(&bytes[1], kHeaderSize), tim) ? Successor::Holds : Successor::Fails;
}

bool findHeader(DumpInput &in, int32_t tim, uint32_t hsz, uint64_t limit)
{
    // The time stamp opens every header: its first two bytes are what is
    // looked for, a buffer at a time, and the rest is checked only where they are.
    const std::array<uint8_t, 2> stamp{static_cast<uint8_t>(static_cast<uint32_t>(tim) >> 24),
                                       static_cast<uint8_t>(static_cast<uint32_t>(tim) >> 16)};
    while (in.position() < limit) {
        std::span<const uint8_t> bytes = in.window(kHeaderSize);
        if (bytes.size() < kHeaderSize) {
            in.consume(bytes.size());
            return false;
        }
        const size_t stop = static_cast<size_t>(std::min<uint64_t>(starts(bytes.size()), limit - in.position()));
        StampScan scan(bytes, stamp);
        size_t at;
        uint32_t bsz = 0;
        while ((at = scan.next()) < stop) {
            // A stamp whose successor lies within these bytes and fails is passed over without a look
            // at the rest of its header: whether that passes or not, the scan goes on. What follows a
            // header of BSZ 0 may be the end of the dump: anything. A successor beyond these bytes is read.
            if (be32(&bytes[at]) != static_cast<uint32_t>(tim))
                continue;
            bsz = be32(&bytes[at + 8]);
            const uint64_t next = uint64_t{at} + hsz + bsz;
            const bool within = bsz != 0 && next + kHeaderSize <= bytes.size();
            if (within && !quickHeaderPasses(&bytes[static_cast<size_t>(next)], tim))
                continue;
            if (quickHeaderPasses(&bytes[at], tim))
                break;
        }
        if (at >= stop) {
            in.consume(stop);
            continue;
        }
        // The successor's read may refill the buffer: bytes is not used after it.
        in.consume(at);
        const Successor next = bsz == 0 ? Successor::Holds : successorOf(in, in.position(), hsz, bsz, tim);
        if (next == Successor::Holds || next == Successor::Cut || next == Successor::Unknown)
            return true;
        in.consume(1);
    }
    return false;
}

std::optional<Save> inferSave(DumpInput &in, uint16_t fallbackHsz)
{
    constexpr size_t kMostCandidates = 1024;
    static std::array<Candidate, kMostCandidates> found;
    static std::array<int32_t, kMostCandidates> stamps;
    static std::array<uint16_t, kMostCandidates> sizes;
    size_t count = 0;
    std::span<const uint8_t> bytes = in.window(DumpInput::kCapacity);
    // A header's MAG is "pH" or "pD" at its offset 12.
    for (size_t at = 0; at + kHeaderSize <= bytes.size() && count < found.size(); ++at) {
        const HeaderBytes header(&bytes[at], kHeaderSize);
        if (header[12] != 'p' || (header[13] != 'H' && header[13] != 'D'))
            continue;
        const PanicDumpHeader h = decodeHeader(header);
        if (headerChecksumHolds(header) && h.dsz <= h.bsz)
            found[count++] = {in.position() + at, h.tim, h.bsz};
    }
    if (count == 0)
        return std::nullopt;
    for (size_t i = 0; i < count; ++i)
        stamps[i] = found[i].tim;
    const std::span<const Candidate> candidates = std::span(found).first(count);
    // A save written over a longer one leaves more of the older save's
    // headers behind its own: the records that come first decide.
    const std::optional<int32_t> chained = firstChained(candidates);
    const int32_t tim = chained ? *chained : mostCommon<int32_t>(std::span(stamps).first(count)).first;
    const auto headers = static_cast<unsigned>(std::count(stamps.begin(), stamps.begin() + count, tim));
    const uint64_t first = std::find_if(candidates.begin(), candidates.end(), [&](const Candidate &c) {
                               return c.tim == tim;
                           })->at;
    // A header of the save is followed, HSZ plus its BSZ bytes on, by the next.
    size_t gaps = 0;
    const Candidate *last = nullptr;
    for (const Candidate &c : std::span(found).first(count)) {
        if (c.tim != tim)
            continue;
        // A candidate inside the last one's block wraps to a gap no header has.
        const uint64_t gap = last ? c.at - last->at - last->bsz : UINT64_MAX;
        if (gap >= kHeaderSize && gap <= UINT16_MAX)
            sizes[gaps++] = static_cast<uint16_t>(gap);
        last = &c;
    }
    const uint16_t hsz = gaps ? mostCommon<uint16_t>(std::span(sizes).first(gaps)).first : fallbackHsz;
    return Save{tim, hsz, headers, first, chained.has_value()};
}

} // namespace trelkit::dump
