// pdex and pdcp: list, extract, copy, time-stamp, check and salvage panic dumps.
//
//   $ pdex dump                  $ pdcp dump
//   Sec  Blks  Data size  Prio  Created                   Name
//     1     2         91     1  Tue Nov 14 22:13:10 2023  console
//   Total 1 sections saved for watchdog reset at Tue Nov 14 22:13:20 2023
//                                1700000000 watchdog reset Tue Nov 14 22:13:20 2023
//   $ pdex --check dump
//   dump: damaged at byte 233: data header 2 of section 1 "console": Bad header checksum
//
// Here: the readers, the walk as the format's state machine (each record
// read in the state that expects it, and what each operation does with it),
// and the command lines. A failed check is answered in Walk::failed; what a
// salvage does then, and every line said of damage, is in dumprecover.cpp.
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
#include "dumpwalk.h"

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
// HSZ is at most 64 KiB: a header's storage is fixed, so that reading one can
// never fail for want of memory.
std::array<uint8_t, UINT16_MAX> rheaderStorage;
} // namespace

namespace trelkit::dump {

std::optional<JsonWriter> json;
SectionFiles sectionFiles;

bool fail(Failure &failure, const char *function, int line, bool inputEnded, const char *fmt, ...)
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

} // namespace trelkit::dump

// A failed check of the reader it stands in; ranOut: the input ended first.
#define rejected(...) fail(why, __func__, __LINE__, false, __VA_ARGS__)
#define ranOut(...) fail(why, __func__, __LINE__, true, __VA_ARGS__)

// ---- records --------------------------------------------------------------

int readMetaHeader(DumpInput &stream, PanicDumpMetaHeader &meta, MetaBytes &raw, Failure &why)
{
    std::span<const uint8_t> bytes = stream.window(kMetaSize);
    const size_t got = std::min(bytes.size(), kMetaSize);
    raw = {};
    std::copy_n(bytes.begin(), got, raw.begin());
    stream.consume(got);
    if (got != kMetaSize)
        return ranOut("error in fread for meta header");
    if (!idMatches(raw))
        return rejected("Input not a panic_dump file");
    if (!metaChecksumHolds(raw))
        return rejected("Bad meta header checksum");
    meta = decodeMeta(raw);
    refTime = meta.tim;
    pdTrace("META HEADER:ID=%s\n     VER=%d TIM=%d SIZ=%d HSZ=%d CS=%04x(OK)\n", kDumpId.data(),
            static_cast<int>(meta.ver), meta.tim, static_cast<int>(meta.siz), meta.hsz, meta.cs);
    if (meta.siz < kMetaSize)
        return rejected("too small meta header size (%d<%d)", static_cast<int>(meta.siz), static_cast<int>(kMetaSize));
    // The extension and the header size are the walk's to take: a copy
    // writes the extension as it comes.
    return 1;
}

int readHeader(DumpInput &stream, PanicDumpHeader &header, uint8_t *buffer, uint32_t size, Failure &why)
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
        return rejected("Bad header checksum");
    header = decodeHeader(defined);
    pdTrace("HEADER:MAG=%.2s TIM=%d BSZ=%d DSZ=%d CS=%04x(good)\n", header.mag, header.tim,
            static_cast<int>(header.bsz), static_cast<int>(header.dsz), header.cs);
    if (!magicIs(header, "pH") && !magicIs(header, "pD"))
        return rejected("invalid header magic=%02x%02x", defined[12], defined[13]);
    if (header.tim != refTime)
        return rejected("invalid save timestamp ref=%d hdr=%d", refTime, header.tim);
    if (header.dsz > header.bsz)
        return rejected("Data size bigger than block size");
    return 1;
}

namespace trelkit::dump {

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

bool attrVersionHolds(const PanicDumpAttr &attr, Failure &why)
{
    // "mimatch": the system's own spelling
    return attr.ver <= 1 || fail(why, kAttrReader, __LINE__, false, "file format version mimatch");
}

} // namespace trelkit::dump

int readAttr(DumpInput &stream, PanicDumpAttr &attr, uint32_t blockSize, Failure &why)
{
    // Only the record is kept, however large the block claims to be; a block
    // shorter than the record leaves its missing fields zero.
    AttrBytes raw;
    const size_t head = std::min<size_t>(blockSize, kAttrSize);
    const uint64_t rest = blockSize - head;
    if (takeAttr(stream, attr, raw, blockSize) != head || stream.discard(rest) != rest)
        return ranOut("error in fread for attr");
    if (!attrVersionHolds(attr, why))
        return 0;
    pdTrace("ATTR:TIM=%d VER=%d SIZ=%d PRI=%d\n", attr.tim, attr.ver, static_cast<int>(attr.siz), attr.pri);
    return 1;
}

#undef rejected
#undef ranOut

// ---- the command lines' streams, and what they print ----------------------

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

} // namespace

namespace trelkit::dump {

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

// ---- the walk: the format ---------------------------------------------------

// The walk's state, and the program-wide pd_state that follows it: a run of
// blocks with no section header is inside a section too.
void Walk::enter(State state)
{
    state_ = state;
    pd_state = state == State::InSection || state == State::Orphans ? PD_IN_SECTION : PD_BETWEEN_SECTIONS;
}

bool Walk::copying() const
{
    return pd_op == PD_COPY;
}

bool Walk::checking() const
{
    return pd_op == PD_CHECK || pd_op == PD_RECORDS;
}

void Walk::setHeaderSize(uint32_t hsz)
{
    rheaderSize = hsz;
    rheader = rheaderStorage.data();
}

bool Walk::run()
{
    enter(State::Start);
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
// costs the file it names. A copy of the input as it is, from one regular
// file into another (not appended to, as the mirror writes over its own
// output), mirrors its input.
void Walk::openOutput()
{
    if (opened_)
        return;
    opened_ = true;
    if (copying() && pd_outputPath)
        openOutFile(pd_outputPath);
    const int out = fileno(outfp);
    const bool mirror = copiesInput() && in_.seekable() && isRegularFile(in_.fd()) && isRegularFile(out) &&
                        !(fcntl(out, F_GETFL) & O_APPEND);
    out_.open(out, mirror ? in_.fd() : -1, in_.origin());
}

Step Walk::startDump()
{
    if (!readMetaHeader(in_, meta_, raw_, failure_))
        return failed(Fault::Meta, 0, kMetaSize);
    if (const std::optional<Step> step = doubtMeta())
        return *step;
    return extension();
}

// The meta header's extension, then its header size: both belong to reading
// the meta header and are reported under its reader's name.
Step Walk::extension()
{
    const uint64_t size = meta_.siz - kMetaSize;
    setHeaderSize(meta_.hsz);
    const bool whole = keepsExtension(size);
    if (!whole) // where the copy cannot take the extension, its meta header has none
        raw_ = rebuildMeta(raw_, meta_.tim, meta_.hsz);
    // A copy writes the meta header and its extension as they come, unless
    // the header size checked after them dooms the walk.
    const bool copy = copying() && meta_.hsz >= kHeaderSize;
    if (copy)
        openOutput();
    if (copy && putHeader(Written::Meta) != Moved::All)
        return Step::OutputFailed;
    Moved moved = Moved::All;
    if (copy && whole)
        moved = out_.move(in_, size, Piece::Extension);
    else if (in_.discard(size) != size)
        moved = Moved::InputEnded;
    if (moved == Moved::OutputFailed)
        return Step::OutputFailed;
    if (moved == Moved::InputEnded) {
        fail(failure_, kMetaReader, __LINE__, true, "error in fread for extra of meta header");
        return failed(Fault::Extension, kMetaSize, kMetaSize + size, copy && whole);
    }
    if (!headerSizeHolds())
        return failed(Fault::Meta, 0, kMetaSize);
    enter(State::BetweenSections);
    recordLine("meta", 0, size, 0);
    return Step::Next;
}

bool Walk::headerSizeHolds()
{
    return meta_.hsz >= kHeaderSize || fail(failure_, kMetaReader, __LINE__, false, "too small header size (%d<%d)",
                                            meta_.hsz, static_cast<int>(kHeaderSize));
}

Step Walk::next()
{
    const uint64_t at = in_.position();
    if (!readHeader(in_, header_, rheader, rheaderSize, failure_))
        return headerFailed(at);
    lastGood_ = at + kHeaderSize;
    if (const std::optional<Step> step = doubtSize(at))
        return *step;
    // A copy of the input as it is holds each header that was read whole and
    // passed its checks, one of the wrong kind included; a salvaged copy holds
    // those it keeps (keepHeader).
    if (const Moved put = copiesInput() ? putHeader() : Moved::All; put != Moved::All)
        return moved(put, Fault::BlockCut, at, at);
    switch (state_) {
    case State::InSection:
        return inSection(at);
    case State::Orphans:
        return orphan(at);
    default:
        return betweenSections(at);
    }
}

Step Walk::headerFailed(uint64_t at)
{
    // A block passed over by seeking may be what the input cut short.
    const std::optional<uint64_t> end = failure_.inputEnded ? in_.end() : std::nullopt;
    if (skipped_ && end && *end < skipped_->end)
        return failed(Fault::SkippedCut, skipped_->start, skipped_->end);
    return failed(Fault::Header, at, at + rheaderSize);
}

// Between sections: a section header, or the end of the dump.
Step Walk::betweenSections(uint64_t at)
{
    if (header_.bsz == 0)
        return endOfDump(at);
    if (magicIs(header_, "pH"))
        return sectionHeader(at);
    fail(failure_, kWalker, __LINE__, false, "Bad header type %.2s (pH expected)", header_.mag);
    const Step step = failed(Fault::WrongKind, at, at + rheaderSize);
    return step == Step::Next ? orphan(at) : step; // the first of blocks whose section header was lost
}

// A section header: the section counts even when its attribute record fails.
// A copy moves its block unread.
Step Walk::sectionHeader(uint64_t at)
{
    ++sections_;
    enter(State::InSection);
    if (!copying())
        return attributes(at);
    if (const std::optional<Step> step = copyWholeSection(at))
        return *step;
    return moved(out_.move(in_, header_.bsz, Piece::Block), Fault::AttributeCut, at + rheaderSize,
                 at + rheaderSize + header_.bsz);
}

Step Walk::attributes(uint64_t at)
{
    if (!readAttr(in_, attr_, header_.bsz, failure_))
        if (const Step step = failed(Fault::Attribute, at + rheaderSize, at + rheaderSize + header_.bsz);
            step != Step::Next)
            return step;
    recordLine("section", at, header_.bsz, header_.dsz, shown(attr_.name).text);
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

// Inside a section: a data block, or the end of the section.
Step Walk::inSection(uint64_t at)
{
    if (!magicIs(header_, "pD")) {
        fail(failure_, kWalker, __LINE__, false, "Bad header type %.2s (pD expected)", header_.mag);
        const Step step = failed(Fault::WrongKind, at, at + rheaderSize);
        return step == Step::Next ? betweenSections(at) : step; // the section ended there
    }
    if (header_.bsz == 0)
        return endSection(at);
    ++blocks_;
    dataBytes_ += header_.dsz;
    recordLine("data", at, header_.bsz, header_.dsz);
    return dataBlock(at);
}

Step Walk::endSection(uint64_t at)
{
    recordLine("endsection", at, 0, 0);
    if (!keepHeader())
        return Step::OutputFailed;
    return closeSection(false, at + rheaderSize) ? Step::Next : Step::OutputFailed;
}

// A copy moves the block; an extraction writes the DSZ data bytes of a
// selected one and drops the filler; every other walk seeks past it.
Step Walk::dataBlock(uint64_t at)
{
    const uint64_t start = at + rheaderSize, end = start + header_.bsz;
    if (const std::optional<Step> step = copying() || selected_ ? leaveOutCut(start, end) : std::nullopt)
        return *step;
    if (copying())
        return keepHeader() ? moved(out_.move(in_, header_.bsz, Piece::Block), Fault::BlockCut, start, end)
                            : Step::OutputFailed;
    if (!selected_) {
        in_.skip(header_.bsz);
        skipped_ = Skipped{start, end, header_.dsz};
        return Step::Next;
    }
    const uint64_t filler = header_.bsz - header_.dsz;
    Moved data = out_.move(in_, header_.dsz, Piece::Block);
    if (data == Moved::All && in_.discard(filler) != filler)
        data = Moved::InputEnded;
    return moved(data, Fault::BlockCut, start, end);
}

Step Walk::endOfDump(uint64_t at)
{
    if (const std::optional<Step> step = pastEnd(at))
        return *step;
    endAt_ = at;
    recordLine("enddump", at, 0, 0);
    if (copying() && !damaged_ && !(keepHeader() && carryNote()))
        return Step::OutputFailed;
    if (checking())
        readNote(at + rheaderSize);
    return Step::EndOfDump;
}

// A block that did not wholly move ends the walk; begun: whether the output
// had taken part of it.
Step Walk::moved(Moved moved, Fault fault, uint64_t at, uint64_t end, bool begun)
{
    if (moved == Moved::All)
        return Step::Next;
    if (moved == Moved::OutputFailed)
        return Step::OutputFailed;
    fail(failure_, kWalker, __LINE__, true, "premature EOF");
    return failed(fault, at, end, begun);
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
    if (state_ == State::Orphans) {
        closeOrphans(end);
        return true;
    }
    if (pd_op == PD_LIST)
        flushInfo(attr_, sections_, blocks_, dataBytes_, sectionDamaged_ || cut);
    if (sectionFiles.active() && (out_.flush() != Moved::All || !sectionFiles.close(sectionDamaged_ || cut)))
        return false;
    noteSection(cut);
    enter(State::BetweenSections);
    blocks_ = 0; // the next section header decides what is selected
    dataBytes_ = 0;
    sectionDamaged_ = false;
    return !(cut && copying()) || putHeader(Written::LostEnd) == Moved::All;
}

// Every header a copy writes. An end header the input lost, which a salvaged
// copy needs, is of the save and "pD" (BSZ 0 ends a section, and between
// sections the dump), its carried bytes zero.
Moved Walk::putHeader(Written what)
{
    if (what == Written::Meta)
        return out_.put(raw_, Piece::MetaHeader);
    if (what == Written::AsRead)
        return out_.put({rheader, rheaderSize}, Piece::Header);
    const Moved moved = out_.put(endHeader(refTime, "pD"), Piece::Header);
    if (moved != Moved::All || out_.zeros(rheaderSize - kHeaderSize, Piece::Header))
        return moved;
    return Moved::OutputFailed;
}

// A failed check, answered in one place: a plain walk reports it and ends
// (the readers' report lines), a check keeps it for its line and ends, a
// salvage recovers and says how the walk goes on.
Step Walk::failed(Fault fault, uint64_t at, uint64_t end, bool begun)
{
    if (pd_salvage)
        return recover(fault, at, end, begun);
    damage(fault, at, end);
    return Step::Stop;
}

bool Walk::finish(Step step)
{
    if (state_ != State::Start && step != Step::OutputFailed)
        step = closeDump(step);
    // What is still held goes out; a copy whose input shrank after the walk
    // checked it ends there.
    const Moved owed = step == Step::OutputFailed ? Moved::OutputFailed : out_.flush();
    if (owed == Moved::OutputFailed || (owed == Moved::InputEnded && step != Step::Stop))
        step = moved(owed, Fault::BlockCut, in_.position(), in_.position());
    if (step == Step::OutputFailed) {
        if (copying())
            reportError(kWalker, __LINE__, "fwrite failed for %s.", pieceName(out_.failedPiece()));
        if (sectionFiles.active())
            sectionFiles.writeFailed();
        return false;
    }
    sectionFiles.close(true); // a section the walk did not end
    Shown savedFor;
    if (json && pd_op != PD_EXTRACT)
        finishJson(step);
    else if (pd_op == PD_LIST && state_ != State::Start)
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

} // namespace trelkit::dump

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
