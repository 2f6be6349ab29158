// The walk over a panic dump, as pdex and pdcp share it: the format's state
// machine (dumpfile.cpp) and the recovery a salvage makes of damage, with the
// lines that say where the damage is (dumprecover.cpp). Both halves see the
// walk's state through this one class; neither includes the other.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "dumpformat.h"
#include "dumpio.h"
#include "dumpscan.h"
#include "json.h"

namespace trelkit::dump {

// A check that failed: the function whose check it is and the line that
// noticed it (a report opens with both), its message, and whether the input
// ran out. Each walk owns one; the readers fill it in.
struct Failure {
    const char *function = "";
    int line = 0;
    std::array<char, 128> message{};
    bool inputEnded = false;
};

// The names reports are made under: each check is its reader's, and those
// the walk makes of what the readers pass are the walk's.
constexpr const char kMetaReader[] = "readMetaHeader", kHeaderReader[] = "readHeader", kAttrReader[] = "readAttr",
                     kWalker[] = "dopd";

bool fail(Failure &failure, const char *function, int line, bool inputEnded, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

using ull = unsigned long long;

inline const char *plural(uint64_t count)
{
    return count == 1 ? "" : "s";
}

// A section name as check lines, salvage reports and record lines show it:
// bytes outside printable ASCII as '?', so that no name breaks a line or a
// column of what scripts read.
struct Shown {
    char text[kNameSize + 1];
};

inline Shown shown(const char *name)
{
    Shown s{};
    for (size_t i = 0; i + 1 < sizeof s.text && name[i]; ++i) // the name's significant characters
        s.text[i] = name[i] >= ' ' && name[i] <= '~' ? name[i] : '?';
    return s;
}

// A salvaged copy's note (see dumpformat.h): lines added as the salvage says
// them, or as a check reads them. Its size is bounded: the lines that do not
// fit are counted, and the last line says how many.
class Note {
public:
    void add(const char *line);
    void take(std::span<const uint8_t> text);
    std::span<const uint8_t> text();

private:
    static constexpr size_t kRoomForCount = 40;
    std::array<uint8_t, kNoteText> text_;
    size_t used_ = 0;
    unsigned dropped_ = 0;
};

// --extract-all: each section's data into a file of its own in one
// directory, named by its number and its name, so that order and duplicates
// survive and no name can leave the directory or hide: "001-console", a
// name's bytes outside [A-Za-z0-9._-] as '_', an empty name "unnamed". No file
// is replaced without --force, nor a link followed. A file whose section was
// not wholly written is renamed, ".damaged" after its name.
class SectionFiles {
public:
    void setUp(const char *dir, bool force); // ends the process when dir is no directory it can write in
    bool active() const { return dir_ >= 0; }
    int create(int32_t number, const char *name); // the file's descriptor; -1 when it cannot be made (reported)
    bool close(bool damaged);                     // the file of the last create, if any
    void writeFailed();                           // its write failed: reported, and named as cut

private:
    void say(const char *what, int err) const;
    int dir_ = -1;
    const char *path_ = "";
    bool force_ = false;
    int fd_ = -1;
    char name_[64] = "";
};
extern SectionFiles sectionFiles;

// --json: what the list, the check, the records and the time stamp print
// instead of their lines (the schema is in pdex(1)).
extern std::optional<JsonWriter> json;
constexpr int kJsonVersion = 1;

// Where the walk is in the format, which tells what the next record is.
enum class State {
    Start,           // before the meta header
    BetweenSections, // a section header, or the end-of-dump header
    InSection,       // a data header, or the end-of-section header
    Orphans,         // a salvage in data blocks whose section header was lost
};

enum class Step {
    Next,         // the walk goes on
    NoDump,       // a salvage found neither a meta header nor a record header
    EndOfDump,    // at the end-of-dump header
    Stop,         // a check failed and ends the walk
    EndOfInput,   // a salvage has read all there is
    OutputFailed, // a write failed
};

// What failed a check, and so how a salvage goes on after it.
enum class Fault {
    Meta,         // the meta header, or the save its records tell is another
    Extension,    // the input ends in the meta header's extension
    Header,       // a record header fails its checks, or the input ends in it
    SkippedCut,   // the input ends in the block the walk last passed by seeking
    WrongKind,    // a header of the other kind than the walk expects here
    Attribute,    // the attribute record fails its checks
    AttributeCut, // the input ends in a section header's block
    BlockCut,     // the input ends in a data block
};

// The attribute record at the start of a section header's block: at most 46
// bytes of it are taken and decoded, zero where the block is shorter. Returns
// how many there were.
using AttrBytes = std::array<uint8_t, kAttrSize>;
size_t takeAttr(DumpInput &stream, PanicDumpAttr &attr, AttrBytes &raw, uint32_t blockSize);
bool attrVersionHolds(const PanicDumpAttr &attr, Failure &why);

struct Damage {
    uint64_t at; // where the record starts
    char what[128];
    char why[160];
    int32_t section; // the section it is in, or 0
};

// A data block the walk passed by seeking: a header read after it proves it whole.
struct Skipped {
    uint64_t start, end;
    uint32_t dsz;
};

// The headers a copy writes: the record header the walk is at, the meta
// header (as read, or rebuilt), or an end header where the input lost one.
enum class Written { AsRead, Meta, LostEnd };

// One walk over a dump, record by record, for one operation. A failed check
// is answered in one place (failed): a plain walk reports it and ends, a
// check keeps it and ends, a salvage recovers and goes on.
class Walk {
public:
    Walk(DumpInput &in, DumpSink &out, const char *name) : in_(in), out_(out), name_(name) {}
    bool run(); // walked whole, undamaged, and (extracting) the section found

private:
    // The format, and what each operation does at each record (dumpfile.cpp).
    void enter(State state);
    void setHeaderSize(uint32_t hsz);
    void openOutput();
    Step startDump();
    Step extension();
    bool headerSizeHolds();
    Step next();
    Step headerFailed(uint64_t at);
    Step betweenSections(uint64_t at);
    Step sectionHeader(uint64_t at);
    Step attributes(uint64_t at);
    Step inSection(uint64_t at);
    Step endSection(uint64_t at);
    Step dataBlock(uint64_t at);
    Step endOfDump(uint64_t at);
    Step moved(Moved moved, Fault fault, uint64_t at, uint64_t end, bool begun = true);
    bool holdsNext(uint64_t size);
    bool closeSection(bool cut, uint64_t end);
    Moved putHeader(Written what = Written::AsRead);
    bool finish(Step step);
    bool copying() const;
    bool checking() const;
    bool put(std::span<const uint8_t> bytes, Piece piece) { return out_.put(bytes, piece) == Moved::All; }

    // The one place a failed check is answered.
    Step failed(Fault fault, uint64_t at, uint64_t end, bool begun = false);

    // Recovery, and what is said of damage (dumprecover.cpp). Each hook
    // answers for the plain walk too: nothing, or the plain walk's way.
    Step recover(Fault fault, uint64_t at, uint64_t end, bool begun);
    Step wrongKind(uint64_t at, uint64_t end);
    std::optional<Step> doubtMeta();
    std::optional<Save> otherSave();
    Step restartDump(std::optional<Save> given);
    Step noDump();
    bool keepsExtension(uint64_t size);
    bool copiesInput() const;
    bool keepHeader();
    std::optional<Step> copyWholeSection(uint64_t at);
    std::optional<Step> leaveOutCut(uint64_t start, uint64_t end);
    std::optional<Step> doubtSize(uint64_t at);
    std::optional<uint64_t> recordInside(uint64_t at);
    Step resync(const Damage &damage);
    bool scanFrom(uint64_t at);
    Step resumed(const Damage &damage, bool found);
    Step orphan(uint64_t at);
    void closeOrphans(uint64_t end);
    std::optional<Step> pastEnd(uint64_t at);
    std::optional<Save> anotherSaveAfter();
    Step cutShort(const Damage &damage, uint64_t end, bool begun);
    Step closeDump(Step step);
    void noteSection(bool cut);
    std::span<const uint8_t> noteAhead();
    bool carryNote();
    void readNote(uint64_t at);
    bool putNote();
    Damage damage(Fault fault, uint64_t at, uint64_t end);
    void describe(Fault fault, char *out, size_t size) const;
    void salvageReport(const Damage &damage, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    void tell(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void recordLine(const char *kind, uint64_t at, uint64_t bsz, uint32_t dsz, const char *name = "") const;
    void printCheck();
    uint64_t bytesAfterEnd();
    void printNote();
    void startJson();
    void finishJson(Step step);

    DumpInput &in_;
    DumpSink &out_;
    const char *name_; // the section to extract, or null
    Failure failure_;  // the check that failed last
    State state_ = State::Start;
    PanicDumpMetaHeader meta_{};
    MetaBytes raw_{};
    PanicDumpHeader header_{};
    PanicDumpAttr attr_{};
    bool opened_ = false; // the output
    int32_t sections_ = 0;
    int32_t blocks_ = 0;     // of the current section
    uint64_t dataBytes_ = 0; // of the current section
    bool selected_ = false;  // the current section is extracted
    bool found_ = false;     // some section was
    bool damaged_ = false;   // some record failed its checks
    bool sectionDamaged_ = false;
    uint64_t endAt_ = 0;                // of the end-of-dump header
    std::optional<Skipped> skipped_; // the last block passed by seeking
    std::optional<Damage> first_;
    // Recovery's own: where the orphans began, where the checked bytes of the
    // last header that passed end, where a scan last picked up again (the
    // header there was found, so its kind is no news), why a BSZ is doubted,
    // and the save the records told where the meta header is another's.
    uint64_t orphansAt_ = 0;
    uint64_t lastGood_ = 0;
    uint64_t resumedAt_ = UINT64_MAX;
    const char *sizeWhy_ = "";
    std::optional<Save> told_;
    Note note_;          // what a salvaged copy lost, or what a checked one says it lost
    bool noted_ = false; // the input is a salvaged copy with a note
};

} // namespace trelkit::dump
