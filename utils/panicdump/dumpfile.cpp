// pdex and pdcp: list, extract, copy, time-stamp, check and salvage panic dumps.
//
//   $ pdex dump                  $ pdcp dump
//   Sec  Blks  Data size  Prio  Created                   Name
//     1     2         91     1  Tue Nov 14 22:13:10 2023  console
//   Total 1 sections saved for watchdog reset at Tue Nov 14 22:13:20 2023
//                                1700000000 watchdog reset Tue Nov 14 22:13:20 2023
//   $ pdex --check dump
//   dump: damaged at byte 233: data header 2 of section 1 "console": Bad header checksum
#include "dumpfile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "common.h"
#include "dumpscan.h"
#include "json.h"

using namespace trelkit;
using namespace trelkit::dump;

int32_t pd_op = PD_EXTRACT;
int32_t pd_state;
int32_t refTime;
uint32_t rheaderSize;
uint8_t *rheader;
FILE *infp;
FILE *outfp;
bool pd_salvage;
const char *pd_inputName = "-";
const char *pd_outputPath;
int32_t pd_section;

namespace {

// --json: what the list, the check, the records and the time stamp print
// instead of their lines (the schema is in pdex(1)).
constexpr int kJsonVersion = 1;
std::optional<JsonWriter> json;

// HSZ is at most 64 KiB: a header's storage is fixed, so that reading one can
// never fail for want of memory.
std::array<uint8_t, UINT16_MAX> rheaderStorage;

// The check that failed last: whose check it is and the line that noticed it
// (a report opens with both), its message, and whether the input ran out.
struct Failure {
    const char *function;
    int line;
    std::array<char, 128> message;
    bool inputEnded;
};
Failure failure; // set by every failed check before it is read

__attribute__((format(printf, 4, 5))) bool fail(const char *function, int line, bool inputEnded, const char *fmt, ...)
{
    failure.function = function;
    failure.line = line;
    failure.inputEnded = inputEnded;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(failure.message.data(), failure.message.size(), fmt, ap);
    va_end(ap);
    return false;
}

} // namespace

// A failed check of the function it stands in; ranOut: the input ended first.
#define failed(...) fail(__func__, __LINE__, false, __VA_ARGS__)
#define ranOut(...) fail(__func__, __LINE__, true, __VA_ARGS__)
// The walk's own checks are reported under the walk's name.
#define walkFailed(...) fail("dopd", __LINE__, false, __VA_ARGS__)

// ---- records --------------------------------------------------------------

int readMetaHeader(DumpInput &stream, PanicDumpMetaHeader &meta, MetaBytes &raw)
{
    std::span<const uint8_t> bytes = stream.window(kMetaSize);
    const size_t got = std::min(bytes.size(), kMetaSize);
    raw = {};
    std::copy_n(bytes.begin(), got, raw.begin());
    stream.consume(got);
    if (got != kMetaSize)
        return ranOut("error in fread for meta header");
    if (!idMatches(raw))
        return failed("Input not a panic_dump file");
    if (!metaChecksumHolds(raw))
        return failed("Bad meta header checksum");
    meta = decodeMeta(raw);
    refTime = meta.tim;
    pdTrace("META HEADER:ID=%s\n     VER=%d TIM=%d SIZ=%d HSZ=%d CS=%04x(OK)\n", kDumpId.data(),
            static_cast<int>(meta.ver), meta.tim, static_cast<int>(meta.siz), meta.hsz, meta.cs);
    if (meta.siz < kMetaSize)
        return failed("too small meta header size (%d<%d)", static_cast<int>(meta.siz), static_cast<int>(kMetaSize));
    // The extension and the header size are the walk's to take: a copy
    // writes the extension as it comes.
    return 1;
}

int readHeader(DumpInput &stream, PanicDumpHeader &header, uint8_t *buffer, uint32_t size)
{
    // Read whole into the input's buffer, so that a salvage can look again
    // from the byte after its start.
    std::span<const uint8_t> bytes = stream.window(size);
    if (bytes.size() < size) {
        stream.consume(bytes.size());
        return ranOut("error in fread for header");
    }
    std::copy_n(bytes.begin(), size, buffer);
    stream.consume(size);
    const HeaderBytes defined(buffer, kHeaderSize);
    if (!headerChecksumHolds(defined))
        return failed("Bad header checksum");
    header = decodeHeader(defined);
    pdTrace("HEADER:MAG=%.2s TIM=%d BSZ=%d DSZ=%d CS=%04x(good)\n", header.mag, header.tim,
            static_cast<int>(header.bsz), static_cast<int>(header.dsz), header.cs);
    if (!magicIs(header, "pH") && !magicIs(header, "pD"))
        return failed("invalid header magic=%02x%02x", defined[12], defined[13]);
    if (header.tim != refTime)
        return failed("invalid save timestamp ref=%d hdr=%d", refTime, header.tim);
    if (header.dsz > header.bsz)
        return failed("Data size bigger than block size");
    return 1;
}

namespace {

using AttrBytes = std::array<uint8_t, kAttrSize>;

// The attribute record at the start of a section header's block: at most 46
// bytes of it are taken and decoded, zero where the block is shorter. Returns
// how many there were.
size_t takeAttr(DumpInput &stream, PanicDumpAttr &attr, AttrBytes &raw, uint32_t blockSize)
{
    const size_t head = std::min<size_t>(blockSize, kAttrSize);
    std::span<const uint8_t> bytes = stream.window(head);
    const size_t got = std::min(head, bytes.size());
    raw = {};
    std::copy_n(bytes.begin(), got, raw.begin());
    stream.consume(got);
    attr = decodeAttr(raw);
    return got;
}

bool attrVersionHolds(const PanicDumpAttr &attr)
{
    return attr.ver <= 1 ||
           fail("readAttr", __LINE__, false, "file format version mimatch"); // the system's own spelling
}

} // namespace

int readAttr(DumpInput &stream, PanicDumpAttr &attr, uint32_t blockSize)
{
    // Only the record is kept, however large the block claims to be; a block
    // shorter than the record leaves its missing fields zero.
    AttrBytes raw;
    const size_t head = std::min<size_t>(blockSize, kAttrSize);
    const uint64_t rest = blockSize - head;
    if (takeAttr(stream, attr, raw, blockSize) != head || stream.discard(rest) != rest)
        return ranOut("error in fread for attr");
    if (!attrVersionHolds(attr))
        return 0;
    pdTrace("ATTR:TIM=%d VER=%d SIZ=%d PRI=%d\n", attr.tim, attr.ver, static_cast<int>(attr.siz), attr.pri);
    return 1;
}

// ---- the walk -------------------------------------------------------------

namespace {

bool isStdio(const char *path)
{
    return strcmp(path, "-") == 0;
}

// "-" keeps the standard stream; any other path is opened, or the process ends.
void openOperand(const char *path, const char *mode, FILE *&stream)
{
    if (isStdio(path))
        return;
    stream = fopen(path, mode);
    if (!stream) {
        perror(path);
        exit(1);
    }
}

void openOutFile(const char *path)
{
    openOperand(path, "w", outfp);
}

const char *timeText(int32_t stamp)
{
    time_t t = stamp;
    const char *text = ctime(&t);
    return text ? text : "??? ??? ?? ??:??:?? ????\n";
}

using ull = unsigned long long;

const char *plural(uint64_t count)
{
    return count == 1 ? "" : "s";
}

// A section name as check lines, salvage reports and record lines show it:
// bytes outside printable ASCII as '?', so that no name breaks a line or a
// column of what scripts read.
struct Shown {
    char text[kNameSize + 1];
};

Shown shown(const char *name)
{
    Shown s{};
    for (size_t i = 0; i + 1 < sizeof s.text && name[i]; ++i) // the name's significant characters
        s.text[i] = name[i] >= ' ' && name[i] <= '~' ? name[i] : '?';
    return s;
}

// Shown on a terminal, kept byte for byte into a file or pipe: a name must
// not move the cursor or clear the screen of whoever lists a dump.
int terminal = -1; // standard output is one: asked once

const char *forTerminal(const char *text, Shown &storage)
{
    if (terminal < 0)
        terminal = isatty(STDOUT_FILENO);
    if (!terminal)
        return text;
    storage = shown(text);
    return storage.text;
}

// Where the line of text that starts at at ends: at its newline, or at the end.
size_t lineEnd(std::span<const uint8_t> text, size_t at)
{
    return static_cast<size_t>(std::find(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(), '\n') -
                               text.begin());
}

// A salvaged copy's note (see dumpformat.h): lines added as the salvage says
// them, or as a check reads them. Its size is bounded: the lines that do not
// fit are counted, and the last line says how many.
class Note {
public:
    void add(const char *line)
    {
        const size_t length = strlen(line) + 1;
        if (used_ + length > text_.size() - kRoomForCount) {
            ++dropped_;
            return;
        }
        memcpy(&text_[used_], line, length - 1);
        text_[used_ + length - 1] = '\n';
        used_ += length;
    }
    void take(std::span<const uint8_t> text)
    {
        used_ = std::min(text.size(), text_.size());
        memcpy(text_.data(), text.data(), used_);
    }
    std::span<const uint8_t> text()
    {
        if (dropped_ > 0) {
            used_ += static_cast<size_t>(snprintf(reinterpret_cast<char *>(&text_[used_]), kRoomForCount,
                                                  "%u more line%s not kept\n", dropped_, plural(dropped_)));
            dropped_ = 0;
        }
        return std::span(text_).first(used_);
    }

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
SectionFiles sectionFiles;

void SectionFiles::setUp(const char *dir, bool force)
{
    path_ = dir;
    force_ = force;
    if (mkdir(dir, 0777) != 0 && errno != EEXIST)
        say("cannot create the directory", errno), exit(1);
    dir_ = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_ < 0 || faccessat(dir_, ".", W_OK | X_OK, AT_EACCESS) != 0)
        say("cannot write files into", errno), exit(1);
}

int SectionFiles::create(int32_t number, const char *name)
{
    char safe[kNameSize + 1] = "unnamed";
    for (size_t i = 0; name[i]; ++i)
        safe[i] = isalnum(static_cast<unsigned char>(name[i])) || strchr("._-", name[i]) ? name[i] : '_';
    if (name[0])
        safe[strlen(name)] = '\0';
    snprintf(name_, sizeof name_, "%03d-%s.damaged", number, safe);
    struct stat st;
    if (!force_ && fstatat(dir_, name_, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        say("will not replace", EEXIST);
        return -1;
    }
    name_[strlen(name_) - strlen(".damaged")] = '\0';
    // A file replaced is written over, not emptied first: emptying frees its
    // blocks and, on some file systems, makes closing it wait for the new
    // bytes to reach the disk. It is cut where the section's bytes end.
    fd_ = openat(dir_, name_, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (force_ ? 0 : O_EXCL), 0666);
    if (fd_ < 0)
        say(errno == EEXIST ? "will not replace" : "cannot create", errno);
    return fd_;
}

bool SectionFiles::close(bool damaged)
{
    if (fd_ < 0)
        return true;
    const int cut = !force_ || !isRegularFile(fd_) || ftruncate(fd_, lseek(fd_, 0, SEEK_CUR)) == 0 ? 0 : errno;
    const int err = ::close(fd_) == 0 ? cut : errno;
    fd_ = -1;
    if (err)
        say("error writing", err);
    char to[sizeof name_ + 8];
    snprintf(to, sizeof to, "%s.damaged", name_);
    if (damaged && renameat2(dir_, name_, dir_, to, force_ ? 0 : RENAME_NOREPLACE) != 0)
        return say("cannot rename", errno), false;
    if (damaged)
        printfstderr("%s: %s: %s/%s: what was recovered of the section\n", progname, pd_inputName, path_, to);
    return err == 0;
}

void SectionFiles::writeFailed()
{
    if (const int err = takeWriteError(); err && fd_ >= 0)
        say("error writing", err);
    close(true);
}

void SectionFiles::say(const char *what, int err) const
{
    if (name_[0])
        printfstderr("%s: %s %s/%s: %s\n", progname, what, path_, name_, strerror(err));
    else
        printfstderr("%s: %s %s: %s\n", progname, what, path_, strerror(err));
}

enum class Step {
    Next,         // the walk goes on
    NoDump,       // a salvage found neither a meta header nor a record header
    EndOfDump,    // at the end-of-dump header
    Stop,         // a check failed and ends the walk
    EndOfInput,   // a salvage has read all there is
    OutputFailed, // a write failed
};

// What failed, for check lines and salvage reports.
enum class Record { Meta, Extension, Header, Attribute, Block };

struct Damage {
    uint64_t at; // where the record starts
    char what[128];
    char why[160];
    int32_t section; // the section it is in, or 0
};

struct Block {
    uint64_t start, end;
    uint32_t dsz;
};

// One walk over a dump, record by record, for one operation. A plain walk
// ends at the first record that fails its checks; a salvage reports it and
// goes on: after a bad header at the next valid one, after a header of the
// wrong kind by closing the section or leaving blocks with no section out.
class Walk {
public:
    Walk(DumpInput &in, DumpSink &out, const char *name) : in_(in), out_(out), name_(name) {}
    bool run(); // walked whole, undamaged, and (extracting) the section found

private:
    void openOutput();
    Step startDump();
    Step restartDump(std::optional<Save> given = std::nullopt);
    std::optional<Save> otherSave();
    Step noDump();
    Step next();
    Step headerFailed(uint64_t at);
    Step atSectionHeader(uint64_t at);
    Step attributes(uint64_t at);
    Step copySectionHeader(uint64_t at);
    Step atDataHeader(uint64_t at);
    Step dataBlock(uint64_t at);
    Step endOfDump(uint64_t at);
    std::optional<Save> anotherSaveAfter();
    Step moved(Moved moved, Record record, uint64_t at, uint64_t end, bool wentOut = true);
    Step cutShort(const Damage &damage, uint64_t end, bool wentOut);
    bool holdsNext(uint64_t size);
    bool headerSizeHolds();
    bool closeSection(bool cut, uint64_t end);
    void closeOrphans(uint64_t end);
    Step closeDump(Step step);
    bool finish(Step step);

    Damage damage(Record record, uint64_t at, uint64_t end);
    Step resync(const Damage &damage);
    bool scanFrom(uint64_t at);
    std::optional<uint64_t> recordInside(uint64_t at);
    Step wrongSize(uint64_t at, uint64_t record);
    Step resumed(const Damage &damage, bool found);
    std::span<const uint8_t> noteAhead();
    bool carryNote();
    void readNote(uint64_t at);
    bool putNote();
    void tell(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void describe(Record record, char *out, size_t size) const;
    void salvageReport(const Damage &damage, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    void record(const char *kind, uint64_t at, uint64_t bsz, uint32_t dsz, const char *name = "") const;
    bool putEndHeader(std::string_view mag); // one the copy needs and the input lost
    void printCheck();
    void printNote();
    uint64_t bytesAfterEnd();
    void startJson();
    void finishJson(Step step);

    bool copying() const { return pd_op == PD_COPY; }
    bool put(std::span<const uint8_t> bytes, Piece piece) { return out_.put(bytes, piece) == Moved::All; }
    bool checking() const { return pd_op == PD_CHECK || pd_op == PD_RECORDS; }

    DumpInput &in_;
    DumpSink &out_;
    const char *name_; // the section to extract, or null
    PanicDumpMetaHeader meta_{};
    MetaBytes raw_{};
    PanicDumpHeader header_{};
    PanicDumpAttr attr_{};
    bool opened_ = false;  // the output
    bool started_ = false; // past the meta header
    int32_t sections_ = 0;
    int32_t blocks_ = 0;     // of the current section
    uint64_t dataBytes_ = 0; // of the current section
    bool selected_ = false;  // the current section is extracted
    bool found_ = false;     // some section was
    bool damaged_ = false;   // some record failed its checks
    bool sectionDamaged_ = false;
    bool orphans_ = false; // the blocks read belong to a section whose header was lost
    bool resumed_ = false; // the header was found by a resync: its kind is no news
    uint64_t orphansAt_ = 0;
    uint64_t lastGood_ = 0;       // where the checked bytes of the last header that passed end
    const char *sizeWhy_ = "";    // why a header's BSZ is not believed
    uint64_t endAt_ = 0;                // of the end-of-dump header
    std::optional<Block> skippedBlock_; // the last block skipped (a header read after it proves it whole)
    std::optional<Damage> first_;
    Note note_;         // what a salvaged copy lost, or what a checked one says it lost
    bool noted_ = false; // the input is a salvaged copy with a note
};

bool Walk::run()
{
    if (!copying())
        openOutput();
    if (json && pd_op != PD_TIME)
        startJson();
    Step step = startDump();
    if (pd_op == PD_TIME && step == Step::Next) {
        showTime(meta_);
        return true;
    }
    while (step == Step::Next)
        step = next();
    return finish(step);
}

// A copy creates or truncates its output only once the input has shown a
// dump, as cp opens its source first: a mistyped or swapped operand never
// costs the file it names. A plain copy from one regular file into another
// (not appended to, as the mirror writes over its own output) mirrors its
// input.
void Walk::openOutput()
{
    if (opened_)
        return;
    opened_ = true;
    if (copying() && pd_outputPath)
        openOutFile(pd_outputPath);
    const int out = fileno(outfp);
    const bool mirror = copying() && !pd_salvage && in_.seekable() && isRegularFile(in_.fd()) && isRegularFile(out) &&
                        !(fcntl(out, F_GETFL) & O_APPEND);
    out_.open(out, mirror ? in_.fd() : -1, in_.origin());
}

// The meta header, then its extension and the header size, which belong to
// reading it and are reported under its reader's name.
Step Walk::startDump()
{
    if (!readMetaHeader(in_, meta_, raw_) || (pd_salvage && !headerSizeHolds()))
        return pd_salvage ? restartDump() : (damage(Record::Meta, 0, kMetaSize), Step::Stop);
    if (const std::optional<Save> other = pd_salvage || checking() ? otherSave() : std::nullopt)
        return pd_salvage ? restartDump(other) : (damage(Record::Meta, 0, kMetaSize), Step::Stop);
    const uint64_t extension = meta_.siz - kMetaSize;
    rheaderSize = meta_.hsz;
    rheader = rheaderStorage.data();
    // A salvaged copy takes the extension only whole: where the input cuts
    // it short, the copy's meta header has none.
    const bool whole = !pd_salvage || !copying() || holdsNext(extension);
    if (!whole)
        raw_ = rebuildMeta(raw_, meta_.tim, meta_.hsz);
    // A copy writes the meta header and its extension as they come, unless
    // the header size checked after them dooms the walk.
    const bool copy = copying() && meta_.hsz >= kHeaderSize;
    if (copy)
        openOutput();
    if (copy && !put(raw_, Piece::MetaHeader))
        return Step::OutputFailed;
    Moved moved = Moved::All;
    if (copy && whole)
        moved = out_.move(in_, extension, Piece::Extension);
    else if (in_.discard(extension) != extension)
        moved = Moved::InputEnded;
    if (moved == Moved::OutputFailed)
        return Step::OutputFailed;
    if (moved == Moved::InputEnded) {
        fail("readMetaHeader", __LINE__, true, "error in fread for extra of meta header");
        const Damage d = damage(Record::Extension, kMetaSize, kMetaSize + extension);
        if (!pd_salvage)
            return Step::Stop; // a failed meta header: no summary line
        started_ = true;       // a salvage still ends its list and its copy
        return cutShort(d, kMetaSize + extension, copy && whole);
    }
    if (!headerSizeHolds()) {
        damage(Record::Meta, 0, kMetaSize);
        return Step::Stop;
    }
    started_ = true;
    record("meta", 0, extension, 0);
    return Step::Next;
}

// The records after a meta header that passes its checks are its save's.
// Where the first of them does not pass with the meta header's time stamp
// and sizes, the record headers after it tell: a save they agree on with
// another time stamp, another header size, or records from before the end
// the meta header claims, makes the meta header the damage (another save's,
// left by a write the dump device lost, or one whose sizes were hit).
std::optional<Save> Walk::otherSave()
{
    std::array<uint8_t, kHeaderSize> first;
    if (meta_.hsz < kHeaderSize)
        return std::nullopt;
    // A pipe that cannot reach the first record still holds those after the meta header to vote.
    const std::optional<size_t> got = in_.readAt(meta_.siz, first);
    if (got && ((*got == kHeaderSize && headerPasses(first, meta_.tim)) || (*got > 0 && *got < kHeaderSize)))
        return std::nullopt;
    // Random bytes give a lone header that passes now and then; two in a row they do not.
    const std::optional<Save> told = inferSave(in_, meta_.hsz);
    if (!told || !told->chained || (told->tim == meta_.tim && told->hsz == meta_.hsz && told->first >= meta_.siz))
        return std::nullopt;
    if (told->tim != meta_.tim)
        fail("readMetaHeader", __LINE__, false, "meta header of another save: time stamp %d taken from %u record header%s",
             told->tim, told->headers, plural(told->headers));
    else
        fail("readMetaHeader", __LINE__, false, "meta header sizes contradicted: records from byte %llu and header size "
             "%u taken from %u record header%s", static_cast<ull>(told->first), told->hsz, told->headers,
             plural(told->headers));
    return told;
}

bool Walk::headerSizeHolds()
{
    return meta_.hsz >= kHeaderSize || fail("readMetaHeader", __LINE__, false, "too small header size (%d<%d)",
                                            meta_.hsz, static_cast<int>(kHeaderSize));
}

// A salvage whose meta header fails its checks goes by the save's time stamp
// and header size as the meta header gives them where its checksum holds, or
// else as the record headers near the start of the input tell them; the copy
// gets a meta header rebuilt around them, without the extension.
Step Walk::restartDump(std::optional<Save> given)
{
    const Damage d = damage(Record::Meta, 0, kMetaSize);
    const bool fieldsHold = !failure.inputEnded && metaChecksumHolds(raw_);
    const uint16_t hsz = be16(&raw_[kMetaHeaderSize]);
    Save save = given.value_or(Save{static_cast<int32_t>(be32(&raw_[kMetaTime])), std::max<uint16_t>(hsz, kHeaderSize), 0, 0, false});
    in_.rewind(0); // a header may begin anywhere after byte 0, and a pipe still holds them all
    if (!given && (!fieldsHold || hsz < kHeaderSize)) {
        if (const std::optional<Save> told = inferSave(in_, save.hsz))
            save = fieldsHold ? Save{save.tim, told->hsz, told->headers, told->first, told->chained} : *told;
    }
    refTime = save.tim;
    rheaderSize = save.hsz;
    rheader = rheaderStorage.data();
    // Where neither a meta header nor a record header passes its checks
    // there is no dump to recover, and nothing is made of it.
    const bool found = !failure.inputEnded && scanFrom(1);
    if (!found && !(fieldsHold && idMatches(raw_)))
        return noDump();
    raw_ = rebuildMeta(raw_, save.tim, save.hsz);
    meta_ = decodeMeta(raw_);
    started_ = true;
    openOutput();
    if (copying() && !put(raw_, Piece::MetaHeader))
        return Step::OutputFailed;
    record("meta", 0, 0, 0);
    const Step step = resumed(d, found);
    if (save.headers > 0 && !given)
        tell("save time stamp %d and header size %u taken from %u record header%s", save.tim, save.hsz, save.headers,
             plural(save.headers));
    return step;
}

Step Walk::noDump()
{
    printfstderr("%s: %s: no panic dump found: no meta header or record header passes its checks\n", progname,
                 pd_inputName);
    return Step::NoDump;
}

Step Walk::next()
{
    const uint64_t at = in_.position();
    if (!readHeader(in_, header_, rheader, rheaderSize))
        return headerFailed(at);
    lastGood_ = at + kHeaderSize;
    if (const std::optional<uint64_t> record = pd_salvage ? recordInside(at) : std::nullopt)
        return wrongSize(at, *record);
    // A copy holds each header that was read whole and passed its checks,
    // one of the wrong kind included; a salvaged copy only those it keeps.
    if (const Moved put = copying() && !pd_salvage ? out_.put({rheader, rheaderSize}, Piece::Header) : Moved::All;
        put != Moved::All)
        return moved(put, Record::Block, at, at);
    const Step step = pd_state == PD_BETWEEN_SECTIONS ? atSectionHeader(at) : atDataHeader(at);
    resumed_ = false;
    return step;
}

// A header whose checksum holds may still be damaged: two flips of one bit
// in two words cancel. Where its block ends in bytes no record of the save
// begins with, or past the input's end, and a record of the save begins
// inside what it claims, its BSZ is what was damaged. A record found within
// the header's carried bytes of the block's end tells of bytes lost from
// those (which no checksum covers), not of a wrong BSZ: the header stands,
// and the walk finds that record after the next one fails. Only a seekable
// input can look and come back.
std::optional<uint64_t> Walk::recordInside(uint64_t at)
{
    if (!in_.seekable() || header_.bsz == 0)
        return std::nullopt;
    const Successor next = successorOf(in_, at, rheaderSize, header_.bsz, refTime);
    if (next == Successor::Holds || next == Successor::Unknown)
        return std::nullopt;
    const uint64_t after = in_.position();
    in_.rewind(at + 1);
    const bool found = findHeader(in_, refTime, rheaderSize, at + rheaderSize + header_.bsz);
    const uint64_t record = in_.position();
    in_.rewind(after);
    sizeWhy_ = next == Successor::PastEnd ? "its block runs past the end of the input, over records of the save"
                                          : "the record its BSZ points to fails its checks";
    const uint64_t end = at + rheaderSize + header_.bsz;
    if (found && record + (rheaderSize - kHeaderSize) < end)
        return record;
    if (!found)
        lastGood_ = end; // nothing of the save inside: no scan need look there again
    return std::nullopt;
}

Step Walk::wrongSize(uint64_t at, uint64_t record)
{
    fail("dopd", __LINE__, false, "%s", sizeWhy_);
    const Damage d = damage(Record::Header, at, at + rheaderSize);
    in_.rewind(record);
    return resumed(d, true);
}

Step Walk::headerFailed(uint64_t at)
{
    if (!failure.inputEnded) {
        const Damage d = damage(Record::Header, at, at + rheaderSize);
        return pd_salvage ? resync(d) : Step::Stop;
    }
    // A block passed over by seeking may be what the input cut short.
    const std::optional<uint64_t> end = in_.end();
    const bool blockCut = skippedBlock_ && end && *end < skippedBlock_->end;
    const Damage d = blockCut ? damage(Record::Block, skippedBlock_->start, skippedBlock_->end)
                              : damage(Record::Header, at, at + rheaderSize);
    if (!pd_salvage)
        return Step::Stop;
    if (blockCut) { // not recovered
        --blocks_;
        dataBytes_ -= skippedBlock_->dsz;
    }
    salvageReport(d, "%s", "");
    return Step::EndOfInput;
}

// Between sections: a section header, or the end of the dump.
Step Walk::atSectionHeader(uint64_t at)
{
    if (header_.bsz == 0)
        return endOfDump(at);
    if (!magicIs(header_, "pH")) {
        // After a resync the section header was in the bytes skipped.
        if (!resumed_) {
            walkFailed("Bad header type %.2s (pH expected)", header_.mag);
            const Damage d = damage(Record::Header, at, at + rheaderSize);
            if (!pd_salvage)
                return Step::Stop;
            salvageReport(d, "%s", "");
        }
        orphans_ = true;
        orphansAt_ = at;
        pd_state = PD_IN_SECTION;
        return atDataHeader(at);
    }
    ++sections_; // counted even when its attribute record fails
    pd_state = PD_IN_SECTION;
    if (copying())
        return pd_salvage ? copySectionHeader(at)
                          : moved(out_.move(in_, header_.bsz, Piece::Block), Record::Attribute, at + rheaderSize,
                                  at + rheaderSize + header_.bsz);
    return attributes(at);
}

Step Walk::attributes(uint64_t at)
{
    if (!readAttr(in_, attr_, header_.bsz)) {
        const Damage d = damage(Record::Attribute, at + rheaderSize, at + rheaderSize + header_.bsz);
        if (!pd_salvage)
            return Step::Stop;
        // A section whose attribute record the input cuts short is not
        // recovered; one of another version is: the block's bounds hold,
        // since its header did.
        if (failure.inputEnded) {
            --sections_;
            pd_state = PD_BETWEEN_SECTIONS;
            return cutShort(d, 0, false);
        }
        salvageReport(d, "%s", "");
    }
    record("section", at, header_.bsz, header_.dsz, shown(attr_.name).text);
    selected_ = pd_op == PD_EXTRACT && (name_ ? strcmp(attr_.name, name_) == 0 : sections_ == pd_section);
    found_ = found_ || selected_;
    if (sectionFiles.active()) {
        const int fd = sectionFiles.create(sections_, attr_.name);
        if (fd < 0)
            return Step::OutputFailed;
        out_.open(fd);
        selected_ = true;
    }
    return Step::Next;
}

// A salvaged copy reads the attribute record the plain copy moves unread: the
// copy must pass the plain walk, so a version it refuses is written as 1.
Step Walk::copySectionHeader(uint64_t at)
{
    const uint64_t start = at + rheaderSize, end = start + header_.bsz;
    AttrBytes raw;
    const size_t head = std::min<size_t>(header_.bsz, kAttrSize);
    const size_t got = takeAttr(in_, attr_, raw, header_.bsz); // the name, for what is said of the section
    if (got < head || !holdsNext(header_.bsz - head))
        return moved(Moved::InputEnded, Record::Attribute, start, end, false);
    if (!attrVersionHolds(attr_)) {
        salvageReport(damage(Record::Attribute, start, end), "; version 1 in the copy");
        putBe32(&raw[kAttrVersion], 1);
    }
    if (!put({rheader, rheaderSize}, Piece::Header) || !put(std::span(raw).first(got), Piece::Block))
        return Step::OutputFailed;
    return moved(out_.move(in_, header_.bsz - head, Piece::Block), Record::Attribute, start, end);
}

// Inside a section: a data block, or the end of the section.
Step Walk::atDataHeader(uint64_t at)
{
    if (!magicIs(header_, "pD")) {
        if (!orphans_ && !resumed_) { // after a resync the section's end was in the bytes skipped
            walkFailed("Bad header type %.2s (pD expected)", header_.mag);
            const Damage d = damage(Record::Header, at, at + rheaderSize);
            if (!pd_salvage)
                return Step::Stop;
            salvageReport(d, "; section %d ends there", sections_);
        }
        return closeSection(true, at) ? atSectionHeader(at) : Step::OutputFailed;
    }
    if (header_.bsz == 0) {
        record(orphans_ ? "orphanend" : "endsection", at, 0, 0);
        if (copying() && pd_salvage && !orphans_ && !put({rheader, rheaderSize}, Piece::Header))
            return Step::OutputFailed;
        return closeSection(false, at + rheaderSize) ? Step::Next : Step::OutputFailed;
    }
    ++blocks_;
    dataBytes_ += header_.dsz;
    record(orphans_ ? "orphan" : "data", at, header_.bsz, header_.dsz);
    return dataBlock(at);
}

Step Walk::dataBlock(uint64_t at)
{
    const uint64_t start = at + rheaderSize, end = start + header_.bsz;
    if (copying() && !orphans_) {
        if (pd_salvage && !holdsNext(header_.bsz))
            return moved(Moved::InputEnded, Record::Block, start, end, false);
        if (pd_salvage && !put({rheader, rheaderSize}, Piece::Header))
            return Step::OutputFailed;
        return moved(out_.move(in_, header_.bsz, Piece::Block), Record::Block, start, end);
    }
    if (!selected_ || orphans_) {
        in_.skip(header_.bsz);
        skippedBlock_ = Block{start, end, header_.dsz};
        return Step::Next;
    }
    // The DSZ data bytes out, the filler dropped; a salvage writes none of a
    // block the input cuts short, and counts it as a list does: not recovered.
    if (pd_salvage && !holdsNext(header_.bsz)) {
        const Step step = moved(Moved::InputEnded, Record::Block, start, end, false);
        --blocks_;
        dataBytes_ -= header_.dsz;
        return step;
    }
    const uint64_t filler = header_.bsz - header_.dsz;
    Moved data = out_.move(in_, header_.dsz, Piece::Block);
    if (data == Moved::All && in_.discard(filler) != filler)
        data = Moved::InputEnded;
    return moved(data, Record::Block, start, end);
}

// After damage an end-of-dump header may have been the end of a section
// whose header was lost: a salvage looks on for records of the save after it.
Step Walk::endOfDump(uint64_t at)
{
    const std::optional<Save> older = pd_salvage ? anotherSaveAfter() : std::nullopt;
    if (pd_salvage && damaged_ && findHeader(in_, refTime, rheaderSize)) {
        const char *why = "an end-of-dump header with records of the save after it";
        const uint64_t to = in_.position();
        tell("bytes %llu to %llu skipped: %s", static_cast<ull>(at), static_cast<ull>(to - 1), why);
        record("skipped", at, to - at, 0, why);
        return Step::Next;
    }
    endAt_ = at;
    record("enddump", at, 0, 0);
    if (older)
        tell("bytes from %llu on, after the end-of-dump header: records of another save (time stamp %d from byte "
             "%llu)", static_cast<ull>(at + rheaderSize), older->tim, static_cast<ull>(older->first));
    if (copying() && pd_salvage && !damaged_ && !put({rheader, rheaderSize}, Piece::Header))
        return Step::OutputFailed;
    if (copying() && !damaged_ && !carryNote())
        return Step::OutputFailed;
    if (checking())
        readNote(at + rheaderSize);
    return Step::EndOfDump;
}

// A shorter save written over a longer one leaves the older save's records
// after its end: a salvage says so, as a check counts the bytes there.
std::optional<Save> Walk::anotherSaveAfter()
{
    constexpr size_t kLook = 64 * 1024; // the older save's next header is near: most blocks are smaller
    const std::span<const uint8_t> bytes = in_.window(kLook);
    for (size_t i = 0; i + kHeaderSize <= bytes.size(); ++i) {
        const HeaderBytes header(&bytes[i], kHeaderSize);
        const int32_t tim = decodeHeader(header).tim;
        if (tim != refTime && headerPasses(header, tim))
            return Save{tim, 0, 1, in_.position() + i, false};
    }
    return std::nullopt;
}

// A block that did not wholly move ends the walk. A salvage recovers no
// block and no section the input cuts short: wentOut, whether it had begun
// to write it.
Step Walk::moved(Moved moved, Record record, uint64_t at, uint64_t end, bool wentOut)
{
    if (moved == Moved::All)
        return Step::Next;
    if (moved == Moved::OutputFailed)
        return Step::OutputFailed;
    fail("dopd", __LINE__, true, "premature EOF");
    const Damage d = damage(record, at, end);
    if (!pd_salvage)
        return Step::Stop;
    // The walk ends here. A section whose attribute record the copy leaves
    // out gets no end-of-section header either.
    if (!wentOut && record == Record::Attribute)
        pd_state = PD_BETWEEN_SECTIONS;
    return cutShort(d, end, wentOut);
}

// The input ended inside a record, up to end. A salvaged copy leaves the
// record out where it knew beforehand; where it had begun to write it (a
// record larger than a pipe's buffer) it completes it with zeros, so that
// the copy stays a dump.
Step Walk::cutShort(const Damage &damage, uint64_t end, bool wentOut)
{
    if (!copying() || !wentOut) {
        salvageReport(damage, "%s", copying() ? "; left out of the copy" : "");
        return Step::EndOfInput;
    }
    if (!out_.zeros(end - in_.position(), Piece::Block))
        return Step::OutputFailed;
    salvageReport(damage, "; filled with zeros in the copy");
    return Step::EndOfInput;
}

// Whether the input holds the next size bytes: a seekable input is asked; a
// pipe reads them ahead into its buffer, and of a record larger than the
// buffer cannot tell, once the buffer is full, before it gets there.
bool Walk::holdsNext(uint64_t size)
{
    if (in_.seekable())
        return size == 0 || in_.holds(in_.position() + size - 1);
    const size_t ahead = static_cast<size_t>(std::min<uint64_t>(size, DumpInput::kCapacity));
    return in_.window(ahead).size() >= ahead;
}

// The end of a section, at end: its row; in a salvaged copy, where the input
// lost the end-of-section header (cut), one in its place.
bool Walk::closeSection(bool cut, uint64_t end)
{
    if (orphans_) {
        closeOrphans(end);
        return true;
    }
    if (pd_op == PD_LIST)
        flushInfo(attr_, sections_, blocks_, dataBytes_, sectionDamaged_ || cut);
    if (sectionFiles.active() && (out_.flush() != Moved::All || !sectionFiles.close(sectionDamaged_ || cut)))
        return false;
    if (copying() && (sectionDamaged_ || cut)) {
        char line[64];
        snprintf(line, sizeof line, "section %d \"%s\" damaged", sections_, shown(attr_.name).text);
        note_.add(line);
    }
    pd_state = PD_BETWEEN_SECTIONS;
    blocks_ = 0; // the next section header decides what is selected
    dataBytes_ = 0;
    sectionDamaged_ = false;
    return !(cut && copying()) || putEndHeader("pD");
}

void Walk::closeOrphans(uint64_t end)
{
    tell("bytes %llu to %llu left out: %d data block%s with no section header", static_cast<ull>(orphansAt_),
         static_cast<ull>(end - 1), blocks_, plural(static_cast<uint64_t>(blocks_)));
    orphans_ = false;
    pd_state = PD_BETWEEN_SECTIONS;
    blocks_ = 0;
    dataBytes_ = 0;
}

// A salvage ends what the input left open: the section, and in a copy the dump.
Step Walk::closeDump(Step step)
{
    const uint64_t end = std::min(in_.position(), in_.end().value_or(UINT64_MAX));
    if (pd_state == PD_IN_SECTION && !closeSection(true, end))
        return Step::OutputFailed;
    if (copying() && damaged_ && !(putEndHeader("pD") && putNote()))
        return Step::OutputFailed;
    return step;
}

bool Walk::finish(Step step)
{
    if (pd_salvage && started_ && step != Step::OutputFailed)
        step = closeDump(step);
    // What is still held goes out; a copy whose input shrank after the walk
    // checked it ends there.
    const Moved owed = step == Step::OutputFailed ? Moved::OutputFailed : out_.flush();
    if (owed == Moved::OutputFailed || (owed == Moved::InputEnded && step != Step::Stop))
        step = moved(owed, Record::Block, in_.position(), in_.position());
    if (step == Step::OutputFailed) {
        if (copying())
            reportError("dopd", __LINE__, "fwrite failed for %s.", pieceName(out_.failedPiece()));
        if (sectionFiles.active())
            sectionFiles.writeFailed();
        return false;
    }
    sectionFiles.close(true); // a section the walk did not end
    Shown savedFor;
    if (json && pd_op != PD_EXTRACT)
        finishJson(step);
    else if (pd_op == PD_LIST && started_)
        printf("Total %d sections saved for %.*s at %s", sections_, static_cast<int>(kSavedForSize),
               forTerminal(meta_.savedFor, savedFor), timeText(meta_.tim));
    if (checking() && step != Step::NoDump && !json)
        printCheck();
    if (pd_section && !found_ && step == Step::EndOfDump)
        printfstderr("%s: %s: no section %d: the dump holds %d\n", progname, pd_inputName, pd_section, sections_);
    if (pd_op == PD_EXTRACT && !found_)
        return false;
    return step == Step::EndOfDump && !damaged_ && !noted_;
}

// ---- damage ---------------------------------------------------------------

// A record failed its checks; failure says why. The plain commands report it
// in their own form; the first is kept for the check line.
Damage Walk::damage(Record record, uint64_t at, uint64_t end)
{
    damaged_ = true;
    sectionDamaged_ = sectionDamaged_ || pd_state == PD_IN_SECTION;
    Damage d{at, {}, {}, pd_state == PD_IN_SECTION && !orphans_ ? sections_ : 0};
    describe(record, d.what, sizeof d.what);
    const bool told = pd_salvage || checking(); // the plain commands say less, and need not look
    const uint64_t inputEnd = failure.inputEnded && told ? in_.end().value_or(UINT64_MAX) : UINT64_MAX;
    if (!failure.inputEnded)
        snprintf(d.why, sizeof d.why, "%s", failure.message.data());
    else if (in_.readError())
        snprintf(d.why, sizeof d.why, "unreadable from byte %llu: %s", static_cast<ull>(in_.readErrorAt()),
                 strerror(in_.readError()));
    else if (inputEnd < end)
        snprintf(d.why, sizeof d.why, "premature EOF: the input ends at byte %llu, %llu byte%s short",
                 static_cast<ull>(inputEnd), static_cast<ull>(end - inputEnd), plural(end - inputEnd));
    else
        snprintf(d.why, sizeof d.why, "premature EOF");
    if (!first_)
        first_ = d;
    if (!told)
        reportError(failure.function, failure.line, "%s", failure.message.data());
    return d;
}

// A salvage picks up again at the first valid header after the start of the
// record that failed, and says what it skipped to get there.
// The search starts where the last header that passed its checks ends: a
// byte lost before the failing one puts the next header before it. A pipe
// looks back only as far as its buffer still reaches.
Step Walk::resync(const Damage &damage)
{
    return resumed(damage, scanFrom(std::min(lastGood_, damage.at + 1)));
}

// Moves to the first valid header from at on (or as near to at as a pipe's
// buffer reaches back).
bool Walk::scanFrom(uint64_t at)
{
    in_.rewindWithin(at);
    return findHeader(in_, refTime, rheaderSize);
}

// The scan after a damage has ended, at the header it found or at the end:
// after the damaged record, or where a byte lost before it put the next.
Step Walk::resumed(const Damage &damage, bool found)
{
    const uint64_t to = in_.position();
    if (to <= damage.at) {
        salvageReport(damage, "; the next record starts at byte %llu", static_cast<ull>(to));
        resumed_ = found;
        return found ? Step::Next : Step::EndOfInput;
    }
    salvageReport(damage, "; bytes %llu to %llu skipped", static_cast<ull>(damage.at), static_cast<ull>(to - 1));
    record("skipped", damage.at, to - damage.at, 0, damage.why);
    resumed_ = found;
    return found ? Step::Next : Step::EndOfInput;
}

void Walk::describe(Record record, char *out, size_t size) const
{
    switch (record) {
    case Record::Meta:
        snprintf(out, size, "meta header");
        return;
    case Record::Extension:
        snprintf(out, size, "meta header extension");
        return;
    case Record::Attribute:
        snprintf(out, size, "attribute record of section %d \"%s\"", sections_, shown(attr_.name).text);
        return;
    case Record::Block:
        if (orphans_)
            snprintf(out, size, "block %d with no section header", blocks_);
        else
            snprintf(out, size, "block of data header %d of section %d \"%s\"", blocks_, sections_,
                     shown(attr_.name).text);
        return;
    case Record::Header:
        if (orphans_) // only ever inside a section
            snprintf(out, size, "data header %d with no section header", blocks_ + 1);
        else if (pd_state == PD_IN_SECTION)
            snprintf(out, size, "data header %d of section %d \"%s\"", blocks_ + 1, sections_, shown(attr_.name).text);
        else if (sections_ > 0)
            snprintf(out, size, "record header after section %d \"%s\"", sections_, shown(attr_.name).text);
        else
            snprintf(out, size, "first record header");
        return;
    }
}

void Walk::salvageReport(const Damage &damage, const char *fmt, ...)
{
    char more[96];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(more, sizeof more, fmt, ap);
    va_end(ap);
    tell("damaged at byte %llu: %s: %s%s", static_cast<ull>(damage.at), damage.what, damage.why, more);
}

// A line of what a salvage did, on standard error after the input's name; a
// salvaged copy also keeps it in its note.
void Walk::tell(const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    printfstderr("%s: %s: %s\n", progname, pd_inputName, line);
    if (copying() && pd_salvage)
        note_.add(line);
}

// --records: a line a record, tab-separated: offset, kind, HSZ, BSZ, DSZ,
// section, name. The meta header's BSZ is its extension's size; a skipped
// range's BSZ is its length and its name the reason.
void Walk::record(const char *kind, uint64_t at, uint64_t bsz, uint32_t dsz, const char *name) const
{
    if (pd_op == PD_RECORDS && json) {
        json->begin('{');
        json->key("offset").number(static_cast<int64_t>(at));
        json->key("kind").string(kind);
        json->key("hsz").number(rheaderSize);
        json->key("bsz").number(static_cast<int64_t>(bsz));
        json->key("dsz").number(dsz);
        json->key("section").number(sections_);
        if (strcmp(kind, "section") == 0)
            json->key("name").string(attr_.name);
        else if (*name)
            json->key("reason").string(name);
        json->end('}');
    } else if (pd_op == PD_RECORDS)
        printf("%llu\t%s\t%u\t%llu\t%u\t%d\t%s\n", static_cast<ull>(at), kind, rheaderSize, static_cast<ull>(bsz), dsz,
               sections_, name);
}

// A salvaged copy's note right at the input's position, whole and holding
// its checks; empty when there is none.
std::span<const uint8_t> Walk::noteAhead()
{
    std::span<const uint8_t> bytes = in_.window(kHeaderSize);
    if (bytes.size() < kHeaderSize)
        return {};
    const size_t length = noteLength(HeaderBytes(bytes.data(), kHeaderSize), refTime);
    if (length == 0 || (bytes = in_.window(kHeaderSize + length)).size() < kHeaderSize + length ||
        !noteTextHolds(HeaderBytes(bytes.data(), kHeaderSize), bytes.subspan(kHeaderSize, length)))
        return {};
    return bytes.first(kHeaderSize + length);
}

// A copy of a salvaged copy keeps its note: the copy says what the dump lost.
bool Walk::carryNote()
{
    const std::span<const uint8_t> note = noteAhead();
    if (note.empty())
        return true;
    if (!put(note, Piece::Note))
        return false;
    in_.consume(note.size());
    return true;
}

void Walk::readNote(uint64_t at)
{
    const std::span<const uint8_t> note = noteAhead();
    if (note.empty())
        return;
    noted_ = true;
    note_.take(note.subspan(kHeaderSize));
    if (json)
        record("note", at, note.size() - kHeaderSize, 0);
    else if (pd_op == PD_RECORDS) // the note's head is 16 bytes, whatever HSZ is
        printf("%llu\tnote\t%zu\t%zu\t0\t%d\t\n", static_cast<ull>(at), kHeaderSize, note.size() - kHeaderSize,
               sections_);
    in_.consume(note.size());
}

// After the end-of-dump header of a salvaged copy that lost anything.
bool Walk::putNote()
{
    const std::span<const uint8_t> text = note_.text(); // every damage a salvage meets is told
    return text.empty() || (put(noteHead(refTime, text), Piece::Note) && put(text, Piece::Note));
}

// Its carried bytes are zero; rheader keeps the header the walk is at.
bool Walk::putEndHeader(std::string_view mag)
{
    return put(endHeader(refTime, mag), Piece::Header) && out_.zeros(rheaderSize - kHeaderSize, Piece::Header);
}

// One line: intact, with the sections and where the end-of-dump header is, or
// the first damage and its reason.
void Walk::printCheck()
{
    if (first_) {
        printf("%s: damaged at byte %llu: %s: %s\n", pd_inputName, static_cast<ull>(first_->at), first_->what,
               first_->why);
        return;
    }
    const uint64_t after = bytesAfterEnd();
    printf("%s: %s: %d section%s, end-of-dump header at byte %llu", pd_inputName, noted_ ? "salvaged copy" : "intact",
           sections_, plural(static_cast<uint64_t>(sections_)), static_cast<ull>(endAt_));
    if (after > 0)
        printf(", %llu byte%s after it", static_cast<ull>(after), plural(after));
    printf("\n");
    printNote();
}

// A shorter save written over a longer one leaves bytes after its end.
uint64_t Walk::bytesAfterEnd()
{
    const uint64_t after = in_.position();
    const std::optional<uint64_t> end = in_.seekable() ? in_.end() : after + in_.discard(UINT64_MAX);
    return end && *end > after ? *end - after : 0;
}

// The document opens before the walk: the rows of the list and the records
// go out as the walk meets them.
void Walk::startJson()
{
    json->begin('{');
    json->key("version").number(kJsonVersion);
    json->key("file").string(pd_inputName);
    if (pd_op == PD_LIST || pd_op == PD_RECORDS)
        json->key(pd_op == PD_LIST ? "sections" : "records").begin('[');
}

// What the summary line and the check line say.
void Walk::finishJson(Step step)
{
    if (pd_op == PD_LIST || pd_op == PD_RECORDS)
        json->end(']');
    if (started_) {
        json->key("saved_for").string(meta_.savedFor);
        json->key("time").time(meta_.tim);
    }
    json->key("count").number(sections_);
    json->key("complete").boolean(step == Step::EndOfDump && !damaged_ && !noted_);
    json->key("end_of_dump");
    step == Step::EndOfDump ? json->number(static_cast<int64_t>(endAt_)) : json->null();
    if (checking())
        json->key("bytes_after").number(static_cast<int64_t>(step == Step::EndOfDump ? bytesAfterEnd() : 0));
    json->key("damage");
    if (first_) {
        json->begin('{');
        json->key("offset").number(static_cast<int64_t>(first_->at));
        json->key("record").string(first_->what);
        json->key("section").number(first_->section);
        json->key("reason").string(first_->why);
        json->end('}');
    } else {
        json->null();
    }
    if (checking()) {
        json->key("salvaged");
        noted_ ? json->begin('[') : json->null();
        const std::span<const uint8_t> text = noted_ ? note_.text() : std::span<const uint8_t>();
        for (size_t at = 0, end; at < text.size(); at = end + 1) {
            end = lineEnd(text, at);
            json->string(reinterpret_cast<const char *>(&text[at]), end - at);
        }
        if (noted_)
            json->end(']');
    }
    json->end('}');
    putchar('\n');
}

// What the salvage that made the copy said, a line each, in its input's offsets.
void Walk::printNote()
{
    const std::span<const uint8_t> text = note_.text();
    for (size_t at = 0, end; noted_ && at < text.size(); at = end + 1) {
        end = lineEnd(text, at);
        printf("%s: salvage: %.*s\n", pd_inputName, static_cast<int>(end - at), &text[at]);
    }
}

} // namespace

void showTime(const PanicDumpMetaHeader &meta)
{
    if (json) {
        json->begin('{');
        json->key("version").number(kJsonVersion);
        json->key("file").string(pd_inputName);
        json->key("saved_for").string(meta.savedFor);
        json->key("time").time(meta.tim);
        json->end('}');
        putchar('\n');
        return;
    }
    Shown savedFor;
    printf("%d %.*s %s", meta.tim, static_cast<int>(kSavedForSize), forTerminal(meta.savedFor, savedFor),
           timeText(meta.tim));
}

void flushInfo(const PanicDumpAttr &attr, int32_t section, int32_t blocks, uint64_t dataBytes, bool damaged)
{
    if (json) {
        json->begin('{');
        json->key("number").number(section);
        json->key("name").string(attr.name);
        json->key("blocks").number(blocks);
        json->key("data_size").number(static_cast<int64_t>(dataBytes));
        json->key("priority").number(attr.pri);
        json->key("created").time(attr.tim);
        json->key("damaged").boolean(damaged);
        json->end('}');
        return;
    }
    static bool headingPrinted;
    if (!headingPrinted) {
        printf("Sec  Blks  Data size  Prio  Created                   Name\n");
        headingPrinted = true;
    }
    // The data size is a 64-bit sum: a section past 2 GiB must not print negative.
    Shown name;
    printf("%3d  %4d  %9llu  %4d  %.24s  %s%s\n", section, blocks, static_cast<ull>(dataBytes), attr.pri,
           timeText(attr.tim), forTerminal(attr.name, name), damaged ? " (damaged)" : "");
}

int dopd(const char *name)
{
    pd_state = PD_BETWEEN_SECTIONS;
    DumpInput in;
    if (!in.open(fileno(infp))) {
        reportError(__func__, __LINE__, "malloc failed");
        return 0;
    }
    DumpSink sink;
    return Walk(in, sink, name).run();
}

// ---- the command lines ------------------------------------------------------

// What --help prints (the entry adds --help and --version); the usage on a
// wrong command line stays the system's own, below.
extern const char pdexUsage[] = "Usage: pdex [-d] file [name]\n"
                                "       pdex [-d] --check file\n"
                                "       pdex [-d] --records [--salvage] file\n"
                                "       pdex [-d] --salvage file [name]\n"
                                "       pdex [--salvage] --section n file\n"
                                "       pdex [--salvage] [--force] --extract-all dir file\n"
                                "  -d          trace each record decoded\n"
                                "  --check     say where the first damage is\n"
                                "  --records   a line a record\n"
                                "  --salvage   recover what damage left\n"
                                "  --json      the list, check or records as JSON\n";
extern const char pdcpUsage[] = "Usage: pdcp [-d] infile [outfile]\n"
                                "       pdcp [-d] --salvage infile outfile\n"
                                "  -d          trace each record decoded\n"
                                "  --salvage   copy what damage left\n"
                                "  --json      the time stamp as JSON\n";

namespace {

constexpr const char *kPdexUsage =
    "file [name]\n\tExtract panic data \"name\" from \"file\" to stdout\n\tOr list panic data in \"file\"";
constexpr const char *kPdcpUsage = "infile [outfile]\n\tCopy panic data from \"infile\" to \"outfile\"\n\tOr "
                                   "print time stamp of panic data in \"infile\"";

[[noreturn]] void help()
{
    std::string_view name = progname;
    const char *text = name == "pdex" ? kPdexUsage : name == "pdcp" ? kPdcpUsage : "";
    printfstderr("Usage: %s ", progname);
    printfstderr("%s", text);
    printfstderr("\n");
    exit(1);
}

[[noreturn]] void tooFewOrTooMany()
{
    printfstderr("Too few or too many arguments\n");
    help();
}

void openInFile(const char *path)
{
    pd_inputName = path;
    openOperand(path, "r", infp);
}

bool statOperand(const char *path, int stdioFd, struct stat &st)
{
    return (isStdio(path) ? fstat(stdioFd, &st) : stat(path, &st)) == 0;
}

// Opening the output truncates it: when it is the input under any name (the
// same path, a hard or symbolic link, a redirection) the dump would be lost.
void refuseCopyOntoItself(const char *in, const char *out)
{
    struct stat src, dst;
    if (statOperand(in, STDIN_FILENO, src) && statOperand(out, STDOUT_FILENO, dst) && sameStorage(src, dst)) {
        printfstderr("%s: '%s' and '%s' are the same file\n", progname, in, out);
        exit(1);
    }
}

// The options beyond -d are long ones, and only pdex and pdcp know them.
enum LongOption { kCheck = 'C', kRecords = 'R', kSalvage = 'S', kSection = 'N', kExtractAll = 'X', kForce = 'F', kJson = 'J' };
constexpr option kPdexOptions[] = {
    {"check", no_argument, nullptr, kCheck},
    {"records", no_argument, nullptr, kRecords},
    {"salvage", no_argument, nullptr, kSalvage},
    {"section", required_argument, nullptr, kSection},
    {"extract-all", required_argument, nullptr, kExtractAll},
    {"force", no_argument, nullptr, kForce},
    {"json", no_argument, nullptr, kJson},
    {},
};

// --section N: a section's number as the list shows it.
int32_t sectionNumber(const char *text)
{
    uint64_t n = 0;
    if (!parseSize(text, n) || n == 0 || n > INT32_MAX) {
        printfstderr("%s: --section takes a section number as the list shows it, not '%s'\n", progname, text);
        help();
    }
    return static_cast<int32_t>(n);
}
constexpr option kPdcpOptions[] = {{"salvage", no_argument, nullptr, kSalvage}, {"json", no_argument, nullptr, kJson}, {}};
constexpr option kNoOptions[] = {{}};

} // namespace

int pdMain(int argc, char **argv)
{
    infp = stdin;
    outfp = stdout;
    std::string_view tool = progname;
    const option *longOptions = tool == "pdex" ? kPdexOptions : tool == "pdcp" ? kPdcpOptions : kNoOptions;
    int32_t walk = PD_LIST; // or --check, or --records
    const char *extractDir = nullptr;
    bool force = false;
    for (int opt; (opt = getopt_long(argc, argv, "d", longOptions, nullptr)) != -1;) {
        if (opt == 'd')
            debugopt = true;
        else if (opt == kCheck || opt == kRecords)
            walk = std::max<int32_t>(walk, opt == kCheck ? PD_CHECK : PD_RECORDS);
        else if (opt == kSalvage)
            pd_salvage = true;
        else if (opt == kSection)
            pd_section = sectionNumber(optarg);
        else if (opt == kExtractAll)
            extractDir = optarg;
        else if (opt == kForce)
            force = true;
        else if (opt == kJson)
            json.emplace(stdout);
        else
            help();
    }
    const int operands = argc - optind;
    char **operand = argv + optind;
    const char *name = nullptr;

    if (tool == "pdex") {
        if ((walk != PD_LIST) + (pd_section > 0) + (extractDir != nullptr) > 1 || (force && !extractDir)) {
            printfstderr("%s: --check, --records, --section and --extract-all are an operation each; --force goes "
                         "with --extract-all\n",
                         progname);
            help();
        }
        if (json && (operands != 1 || pd_section)) {
            printfstderr("%s: --json goes with a list, --check and --records\n", progname);
            help();
        }
        if (operands == 1)
            pd_op = pd_section ? PD_EXTRACT : walk;
        else if (operands == 2 && walk == PD_LIST && !pd_section && !extractDir) {
            pd_op = PD_EXTRACT;
            name = operand[1];
        } else
            tooFewOrTooMany();
        if (pd_op == PD_CHECK && pd_salvage) {
            printfstderr("%s: --check stops at the first damage: it takes no --salvage\n", progname);
            help();
        }
        openInFile(operand[0]);
        if (extractDir)
            sectionFiles.setUp(extractDir, force);
    } else if (tool == "pdcp") {
        if (json && operands != 1) {
            printfstderr("%s: --json goes with the time stamp\n", progname);
            help();
        }
        if (operands == 1 && !pd_salvage) {
            pd_op = PD_TIME;
            openInFile(operand[0]);
        } else if (operands == 2) {
            pd_op = PD_COPY;
            refuseCopyOntoItself(operand[0], operand[1]);
            pd_outputPath = operand[1]; // opened once the input shows a dump
            openInFile(operand[0]);
        } else
            tooFewOrTooMany();
    }

    const int status = dopd(name) ? 0 : 2;
    return outputWritten(outfp, outfp == stdout ? "standard output" : operand[1]) ? status : 2;
}
