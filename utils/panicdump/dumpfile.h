// pdex and pdcp: the readers that check each record of a panic dump, the walk
// that lists, extracts, copies, time-stamps or checks one (and salvages a
// damaged one), and their command lines. The format is in dumpformat.h.
#pragma once

#include <cstdint>
#include <cstdio>

#include "dumpformat.h"
#include "dumpio.h"

namespace trelkit::dump {
struct Failure;
}

// The first four are the operation codes callers know; the walk's own two follow.
enum : int32_t { PD_EXTRACT = 0, PD_LIST = 1, PD_COPY = 2, PD_TIME = 3, PD_CHECK, PD_RECORDS };
// The walker's state: which kind of header comes next.
enum : int32_t { PD_BETWEEN_SECTIONS, PD_IN_SECTION };

extern int32_t pd_op;
extern int32_t pd_state;
extern int32_t refTime;
extern uint32_t rheaderSize;
extern uint8_t *rheader;
extern FILE *infp;
extern FILE *outfp;
// A failed check does not end the walk: it is reported and the walk picks up
// again at the next valid record header.
extern bool pd_salvage;
extern const char *pd_inputName;  // the input as check lines and salvage reports name it
extern const char *pd_outputPath; // a copy's output, opened by the walk once the input shows a dump
extern int32_t pd_section;        // PD_EXTRACT without a name: the number of the section to extract

// The readers: 1 when the record passes every check, 0 with why filled in.
int readMetaHeader(trelkit::dump::DumpInput &stream, PanicDumpMetaHeader &meta, trelkit::dump::MetaBytes &raw,
                   trelkit::dump::Failure &why);
int readHeader(trelkit::dump::DumpInput &stream, PanicDumpHeader &header, uint8_t *buffer, uint32_t size,
               trelkit::dump::Failure &why);
int readAttr(trelkit::dump::DumpInput &stream, PanicDumpAttr &attr, uint32_t blockSize, trelkit::dump::Failure &why);
int dopd(const char *name);
void flushInfo(const PanicDumpAttr &attr, int32_t section, int32_t blocks, uint64_t dataBytes, bool damaged = false);
void showTime(const PanicDumpMetaHeader &meta);
int pdMain(int argc, char **argv);
