// What a walk does with damage. A salvage recovers: it finds the save's
// record headers again after a record that fails its checks (dumpscan.h),
// rebuilds a meta header it lost, leaves out blocks whose section header was
// lost and records the input cut short, ends what the input left open, and
// says each of these on standard error; a salvaged copy keeps those lines in
// its note. A check keeps the first damage for its line, and --records a
// line a record. Every decision a salvage makes is here: the walk asks at
// its hooks, and each hook answers for the plain walk too.
#include "dumpwalk.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "common.h"
#include "dumpfile.h"

namespace trelkit::dump {

namespace {

// Where the line of text that starts at at ends: at its newline, or at the end.
size_t lineEnd(std::span<const uint8_t> text, size_t at)
{
    return static_cast<size_t>(std::find(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(), '\n') -
                               text.begin());
}

} // namespace

void Note::add(const char *line)
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

void Note::take(std::span<const uint8_t> text)
{
    used_ = std::min(text.size(), text_.size());
    memcpy(text_.data(), text.data(), used_);
}

std::span<const uint8_t> Note::text()
{
    if (dropped_ > 0) {
        used_ += static_cast<size_t>(snprintf(reinterpret_cast<char *>(&text_[used_]), kRoomForCount,
                                              "%u more line%s not kept\n", dropped_, plural(dropped_)));
        dropped_ = 0;
    }
    return std::span(text_).first(used_);
}

// ---- the choke point's answers ----------------------------------------------

Step Walk::recover(Fault fault, uint64_t at, uint64_t end, bool begun)
{
    if (fault == Fault::Meta)
        return restartDump(told_);
    if (fault == Fault::WrongKind)
        return wrongKind(at, end);
    const Damage d = damage(fault, at, end);
    switch (fault) {
    case Fault::Header:
        if (!failure_.inputEnded)
            return resync(d);
        break;
    case Fault::SkippedCut: // not recovered; a block with no section is left out either way
        if (state_ != State::Orphans) {
            --blocks_;
            dataBytes_ -= skipped_->dsz;
        }
        break;
    case Fault::Attribute:
        // A section whose attribute record the input cuts short is not
        // recovered; one of another version is: the block's bounds hold,
        // since its header did.
        if (!failure_.inputEnded) {
            salvageReport(d, "%s", "");
            return Step::Next;
        }
        --sections_;
        enter(State::BetweenSections);
        return cutShort(d, 0, false);
    case Fault::Extension:
        enter(State::BetweenSections); // the list and the copy still end
        return cutShort(d, end, begun);
    case Fault::AttributeCut: // a section whose attribute record the copy leaves out gets no end either
        if (!begun)
            enter(State::BetweenSections);
        return cutShort(d, end, begun);
    case Fault::BlockCut:
        return cutShort(d, end, begun);
    default:
        break;
    }
    salvageReport(d, "%s", "");
    return Step::EndOfInput;
}

// A header of the wrong kind: between sections, the first of data blocks
// whose section header was lost; in a section, its end, lost. Where a scan
// found the header, the header it should follow was in the bytes skipped,
// which the scan has said.
Step Walk::wrongKind(uint64_t at, uint64_t end)
{
    const bool news = at != resumedAt_;
    if (state_ == State::InSection) {
        if (news)
            salvageReport(damage(Fault::WrongKind, at, end), "; section %d ends there", sections_);
        return closeSection(true, at) ? Step::Next : Step::OutputFailed;
    }
    if (news)
        salvageReport(damage(Fault::WrongKind, at, end), "%s", "");
    orphansAt_ = at;
    enter(State::Orphans);
    return Step::Next;
}

// ---- the meta header --------------------------------------------------------

// A salvage takes no header size it cannot use; a salvage and a check take
// no meta header of another save.
std::optional<Step> Walk::doubtMeta()
{
    if (pd_salvage && !headerSizeHolds())
        return failed(Fault::Meta, 0, kMetaSize);
    if (!pd_salvage && !checking())
        return std::nullopt;
    told_ = otherSave();
    return told_ ? std::optional(failed(Fault::Meta, 0, kMetaSize)) : std::nullopt;
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
        fail(failure_, kMetaReader, __LINE__, false,
             "meta header of another save: time stamp %d taken from %u record header%s", told->tim, told->headers,
             plural(told->headers));
    else
        fail(failure_, kMetaReader, __LINE__, false,
             "meta header sizes contradicted: records from byte %llu and header size %u taken from %u record header%s",
             static_cast<ull>(told->first), told->hsz, told->headers, plural(told->headers));
    return told;
}

// A salvage whose meta header fails its checks goes by the save's time stamp
// and header size as the meta header gives them where its checksum holds, or
// else as the record headers near the start of the input tell them; the copy
// gets a meta header rebuilt around them, without the extension.
Step Walk::restartDump(std::optional<Save> given)
{
    const Damage d = damage(Fault::Meta, 0, kMetaSize);
    const bool fieldsHold = !failure_.inputEnded && metaChecksumHolds(raw_);
    const uint16_t hsz = be16(&raw_[kMetaHeaderSize]);
    Save save = given.value_or(
        Save{static_cast<int32_t>(be32(&raw_[kMetaTime])), std::max<uint16_t>(hsz, kHeaderSize), 0, 0, false});
    in_.rewind(0); // a header may begin anywhere after byte 0, and a pipe still holds them all
    if (!given && (!fieldsHold || hsz < kHeaderSize)) {
        if (const std::optional<Save> told = inferSave(in_, save.hsz))
            save = fieldsHold ? Save{save.tim, told->hsz, told->headers, told->first, told->chained} : *told;
    }
    refTime = save.tim;
    setHeaderSize(save.hsz);
    // Where neither a meta header nor a record header passes its checks
    // there is no dump to recover, and nothing is made of it.
    const bool found = !failure_.inputEnded && scanFrom(1);
    if (!found && !(fieldsHold && idMatches(raw_)))
        return noDump();
    raw_ = rebuildMeta(raw_, save.tim, save.hsz);
    meta_ = decodeMeta(raw_);
    enter(State::BetweenSections);
    openOutput();
    if (copying() && putHeader(Written::Meta) != Moved::All)
        return Step::OutputFailed;
    recordLine("meta", 0, 0, 0);
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

// A salvaged copy takes the extension only whole: where the input cuts it
// short, the copy's meta header has none.
bool Walk::keepsExtension(uint64_t size)
{
    return !pd_salvage || !copying() || holdsNext(size);
}

// ---- what a salvaged copy holds -------------------------------------------

// A plain copy holds the input's bytes as they are; a salvaged copy holds
// other bytes (records left out, headers rebuilt), and so never mirrors.
bool Walk::copiesInput() const
{
    return copying() && !pd_salvage;
}

// A salvaged copy writes the header the walk is at once it knows the record
// is kept: its block is whole.
bool Walk::keepHeader()
{
    return !copying() || !pd_salvage || putHeader() == Moved::All;
}

// A salvaged copy reads the attribute record the plain copy moves unread: the
// copy must pass the plain walk, so a version it refuses is written as 1.
std::optional<Step> Walk::copyWholeSection(uint64_t at)
{
    if (!pd_salvage)
        return std::nullopt;
    const uint64_t start = at + rheaderSize, end = start + header_.bsz;
    AttrBytes raw;
    const size_t head = std::min<size_t>(header_.bsz, kAttrSize);
    const size_t got = takeAttr(in_, attr_, raw, header_.bsz); // the name, for what is said of the section
    if (got < head || !holdsNext(header_.bsz - head))
        return moved(Moved::InputEnded, Fault::AttributeCut, start, end, false);
    if (!attrVersionHolds(attr_, failure_)) {
        salvageReport(damage(Fault::Attribute, start, end), "; version 1 in the copy");
        putBe32(&raw[kAttrVersion], 1);
    }
    if (!keepHeader() || !put(std::span(raw).first(got), Piece::Block))
        return Step::OutputFailed;
    return moved(out_.move(in_, header_.bsz - head, Piece::Block), Fault::AttributeCut, start, end);
}

// A salvage writes none of a block the input cuts short, and an extraction
// counts it as a list does: not recovered.
std::optional<Step> Walk::leaveOutCut(uint64_t start, uint64_t end)
{
    if (!pd_salvage || holdsNext(end - start))
        return std::nullopt;
    const Step step = moved(Moved::InputEnded, Fault::BlockCut, start, end, false);
    if (!copying() && state_ != State::Orphans) {
        --blocks_;
        dataBytes_ -= header_.dsz;
    }
    return step;
}

// ---- record headers in damaged bytes ----------------------------------------

// A header whose checksum holds may still be damaged: two flips of one bit
// in two words cancel. Where its block ends in bytes no record of the save
// begins with, or past the input's end, and a record of the save begins
// inside what it claims, its BSZ is what was damaged: the walk picks up at
// that record.
std::optional<Step> Walk::doubtSize(uint64_t at)
{
    const std::optional<uint64_t> record = pd_salvage ? recordInside(at) : std::nullopt;
    if (!record)
        return std::nullopt;
    fail(failure_, kWalker, __LINE__, false, "%s", sizeWhy_);
    const Damage d = damage(Fault::Header, at, at + rheaderSize);
    in_.rewind(*record);
    return resumed(d, true);
}

// A record found within the header's carried bytes of the block's end tells
// of bytes lost from those (which no checksum covers), not of a wrong BSZ:
// the header stands, and the walk finds that record after the next one
// fails. Only a seekable input can look and come back.
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

// A salvage picks up again at the first valid header after the start of the
// record that failed, and says what it skipped to get there. The search
// starts where the last header that passed its checks ends: a byte lost
// before the failing one puts the next header before it. A pipe looks back
// only as far as its buffer still reaches.
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
    resumedAt_ = found ? to : UINT64_MAX;
    if (to <= damage.at) {
        salvageReport(damage, "; the next record starts at byte %llu", static_cast<ull>(to));
    } else {
        salvageReport(damage, "; bytes %llu to %llu skipped", static_cast<ull>(damage.at), static_cast<ull>(to - 1));
        recordLine("skipped", damage.at, to - damage.at, 0, damage.why);
    }
    return found ? Step::Next : Step::EndOfInput;
}

// Data blocks whose section header was lost: passed over, counted, and said
// where they end.
Step Walk::orphan(uint64_t at)
{
    if (!magicIs(header_, "pD")) {
        closeOrphans(at);
        return betweenSections(at);
    }
    if (header_.bsz == 0) {
        recordLine("orphanend", at, 0, 0);
        closeOrphans(at + rheaderSize);
        return Step::Next;
    }
    ++blocks_;
    dataBytes_ += header_.dsz;
    recordLine("orphan", at, header_.bsz, header_.dsz);
    in_.skip(header_.bsz);
    skipped_ = Skipped{at + rheaderSize, at + rheaderSize + header_.bsz, header_.dsz};
    return Step::Next;
}

void Walk::closeOrphans(uint64_t end)
{
    tell("bytes %llu to %llu left out: %d data block%s with no section header", static_cast<ull>(orphansAt_),
         static_cast<ull>(end - 1), blocks_, plural(static_cast<uint64_t>(blocks_)));
    enter(State::BetweenSections);
    blocks_ = 0;
    dataBytes_ = 0;
}

// After damage an end-of-dump header may have been the end of a section
// whose header was lost: a salvage looks on for records of the save after
// it. A shorter save written over a longer one leaves the older save's
// records after its end: a salvage says so, as a check counts the bytes
// there.
std::optional<Step> Walk::pastEnd(uint64_t at)
{
    if (!pd_salvage)
        return std::nullopt;
    const std::optional<Save> older = anotherSaveAfter();
    if (damaged_ && findHeader(in_, refTime, rheaderSize)) {
        const char *why = "an end-of-dump header with records of the save after it";
        const uint64_t to = in_.position();
        tell("bytes %llu to %llu skipped: %s", static_cast<ull>(at), static_cast<ull>(to - 1), why);
        recordLine("skipped", at, to - at, 0, why);
        return Step::Next;
    }
    if (older)
        tell("bytes from %llu on, after the end-of-dump header: records of another save (time stamp %d from byte %llu)",
             static_cast<ull>(at + rheaderSize), older->tim, static_cast<ull>(older->first));
    return std::nullopt;
}

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

// ---- the end of a salvage ---------------------------------------------------

// The input ended inside a record, up to end. A salvaged copy leaves the
// record out where it knew beforehand; where it had begun to write it (a
// record larger than a pipe's buffer) it completes it with zeros, so that
// the copy stays a dump.
Step Walk::cutShort(const Damage &damage, uint64_t end, bool begun)
{
    if (!copying() || !begun) {
        salvageReport(damage, "%s", copying() ? "; left out of the copy" : "");
        return Step::EndOfInput;
    }
    if (!out_.zeros(end - in_.position(), Piece::Block))
        return Step::OutputFailed;
    salvageReport(damage, "; filled with zeros in the copy");
    return Step::EndOfInput;
}

// A salvage ends what the input left open: the section, and in a copy the dump.
Step Walk::closeDump(Step step)
{
    if (!pd_salvage)
        return step;
    const uint64_t end = std::min(in_.position(), in_.end().value_or(UINT64_MAX));
    if ((state_ == State::InSection || state_ == State::Orphans) && !closeSection(true, end))
        return Step::OutputFailed;
    if (copying() && damaged_ && !(putHeader(Written::LostEnd) == Moved::All && putNote()))
        return Step::OutputFailed;
    return step;
}

// A salvaged copy's note names each section it marked damaged.
void Walk::noteSection(bool cut)
{
    if (!copying() || !(sectionDamaged_ || cut))
        return;
    char line[64];
    snprintf(line, sizeof line, "section %d \"%s\" damaged", sections_, shown(attr_.name).text);
    note_.add(line);
}

// ---- the note ---------------------------------------------------------------

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
        recordLine("note", at, note.size() - kHeaderSize, 0);
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

// ---- what is said of damage -------------------------------------------------

// A record failed its checks; failure_ says why. The plain commands report
// it in their own form; the first is kept for the check line.
Damage Walk::damage(Fault fault, uint64_t at, uint64_t end)
{
    const bool inSection = state_ == State::InSection || state_ == State::Orphans;
    damaged_ = true;
    sectionDamaged_ = sectionDamaged_ || inSection;
    Damage d{at, {}, {}, state_ == State::InSection ? sections_ : 0};
    describe(fault, d.what, sizeof d.what);
    const bool told = pd_salvage || checking(); // the plain commands say less, and need not look
    const uint64_t inputEnd = failure_.inputEnded && told ? in_.end().value_or(UINT64_MAX) : UINT64_MAX;
    char shortBy[96] = "";
    if (inputEnd < end)
        snprintf(shortBy, sizeof shortBy, ": the input ends at byte %llu, %llu byte%s short",
                 static_cast<ull>(inputEnd), static_cast<ull>(end - inputEnd), plural(end - inputEnd));
    if (!failure_.inputEnded)
        snprintf(d.why, sizeof d.why, "%s", failure_.message.data());
    else if (in_.readError())
        snprintf(d.why, sizeof d.why, "unreadable from byte %llu: %s", static_cast<ull>(in_.readErrorAt()),
                 strerror(in_.readError()));
    else
        snprintf(d.why, sizeof d.why, "premature EOF%s", shortBy);
    if (!first_)
        first_ = d;
    if (!told)
        reportError(failure_.function, failure_.line, "%s", failure_.message.data());
    return d;
}

void Walk::describe(Fault fault, char *out, size_t size) const
{
    switch (fault) {
    case Fault::Meta:
        snprintf(out, size, "meta header");
        return;
    case Fault::Extension:
        snprintf(out, size, "meta header extension");
        return;
    case Fault::Attribute:
    case Fault::AttributeCut:
        snprintf(out, size, "attribute record of section %d \"%s\"", sections_, shown(attr_.name).text);
        return;
    case Fault::SkippedCut:
    case Fault::BlockCut:
        if (state_ == State::Orphans)
            snprintf(out, size, "block %d with no section header", blocks_);
        else
            snprintf(out, size, "block of data header %d of section %d \"%s\"", blocks_, sections_,
                     shown(attr_.name).text);
        return;
    case Fault::Header:
    case Fault::WrongKind:
        if (state_ == State::Orphans) // only ever inside a section
            snprintf(out, size, "data header %d with no section header", blocks_ + 1);
        else if (state_ == State::InSection)
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

// ---- --check and --records --------------------------------------------------

// --records: a line a record, tab-separated: offset, kind, HSZ, BSZ, DSZ,
// section, name. The meta header's BSZ is its extension's size; a skipped
// range's BSZ is its length and its name the reason.
void Walk::recordLine(const char *kind, uint64_t at, uint64_t bsz, uint32_t dsz, const char *name) const
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
    return end ? *end - std::min(*end, after) : 0;
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
    if (state_ != State::Start) {
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

} // namespace trelkit::dump
