// The capture viewers' cores, shared with the unit tests and fuzz targets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace trelkit::viewers {

// Console captures: a 20-byte header, then 64,000 positions of text.
constexpr size_t kCaptureHeader = 20;
constexpr size_t kCaptureText = 64000;
constexpr uint32_t kCaptureMagic = 0xA1B2CCFF;

bool isConsoleByte(uint8_t byte);
// Prints a capture of which got bytes were read (-1: a read error) to
// standard output; returns the exit status.
int showCapture(std::span<const uint8_t, kCaptureHeader + kCaptureText> capture, long got);

// Hex dump: lines of 16 bytes.
constexpr size_t kLineBytes = 16;
// One line of 1 to 16 bytes, as objectdump prints it. Returns the
// characters written to out, which holds at least kMaxLine. The longest line
// has 15 bytes: three words, three remainder bytes and their filler.
constexpr size_t kMaxLine = 3 * 9 + 3 * 2 + 6 + 8 + 15 * 2 + 1;
constexpr size_t kMaxOffset = 16 + 2; // 16 hex digits, a colon and a blank
// The offset as a line starts with it; returns the characters written.
size_t formatOffset(uint64_t at, char *out);
size_t formatHexLine(std::span<const uint8_t> bytes, char *out);

// Cuts the input into 16-byte lines however it arrives (only the last may be
// shorter) and prints them to standard output, folding a line equal to the
// last printed one.
class HexDumper {
public:
    // Each printed line starts with the offset of its first byte, the first
    // line's being first: "%08llx: ", wider from 4 GiB on, as xxd shows it.
    void showOffsets(uint64_t first);
    void feed(std::span<const uint8_t> data);
    void finish(); // the last call: the last line and the pending count; flushes

private:
    struct Line {
        std::array<uint8_t, kLineBytes> bytes{};
        size_t size = 0;
    };
    void emit(std::span<const uint8_t> bytes);
    void print(const char *fmt, long long count);
    void flush();

    Line pending_;
    Line last_;
    long long repeats_ = 0; // wider than any count a real input reaches
    bool offsets_ = false;
    uint64_t at_ = 0; // the offset of the next line
    std::array<char, 256 * 1024> out_;
    size_t used_ = 0;
};

// Lock dumps: records of 2,212 bytes.
constexpr size_t kLockRecordSize = 2212;
void printLockRecord(std::span<const uint8_t, kLockRecordSize> record, FILE *out);

} // namespace trelkit::viewers
