// The base name the executable is started under selects the tool.
#include <gtest/gtest.h>

#include "harness.h"

using harness::Options;
using harness::run;

namespace {

constexpr const char *kPdmapUsage = "Usage: pdmap <name of map file>\n";
constexpr const char *kLockUsage = "Usage: syslockdump [one-input-file]\n";

TEST(Dispatch, NamesAreMatchedByBaseNameAndRule)
{
    harness::TempDir dir;
    // Exact names ignore case and the directory part.
    auto pdmap = run(dir.linkAs("PDMAP"), {}, Options{.argv0 = std::string("/usr/sbin/PDMAP")});
    EXPECT_EQ(pdmap.out, kPdmapUsage);
    EXPECT_EQ(pdmap.status, 1);
    // The lock dump viewer is found by a case-sensitive substring.
    auto lock = run(dir.linkAs("my_syslockdump_v2"), {}, Options{.argv0 = std::string("my_syslockdump_v2")});
    EXPECT_EQ(lock.out, kLockUsage);
    EXPECT_EQ(lock.status, 1);
    auto upper = run(dir.linkAs("SYSLOCKDUMP"), {}, Options{.argv0 = std::string("SYSLOCKDUMP")});
    EXPECT_EQ(upper.out, "");
    EXPECT_EQ(upper.err, "SYSLOCKDUMP:readMetaHeader:" +
                             std::to_string(harness::sourceLine("dumpfile.cpp", "\"error in fread for meta header")) +
                             " error in fread for meta header\n");
    EXPECT_EQ(upper.status, 2); // the dump commands, reading an empty stdin
}

TEST(Dispatch, AnEmptyBaseNameSelectsTheDumpCommands)
{
    SKIP_UNLESS_ARGV0_IS_SET();
    auto r = run(harness::executable(), {}, Options{.argv0 = std::string("dir/")});
    EXPECT_EQ(r.err, ":readMetaHeader:" +
                         std::to_string(harness::sourceLine("dumpfile.cpp", "\"error in fread for meta header")) +
                         " error in fread for meta header\n");
    EXPECT_EQ(r.status, 2);
}

} // namespace
