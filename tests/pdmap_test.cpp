// pdmap end to end, with the dump device and the platform services replaced
// by preloaded doubles; the block numbers come from the real FIBMAP.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <regex>
#include <sstream>
#include <sys/ioctl.h>
#include <unistd.h>

#include "harness.h"

using harness::Options;

namespace {

struct DumpMapRequest {
    uint32_t dump_id, dev, nblocks;
    uint32_t *blocks;
};

std::string code(unsigned long request)
{
    char text[32];
    snprintf(text, sizeof text, "%#lx", request);
    return text;
}

const std::string kAlloc = "ioctl " + code(_IOW('a', 6, int)) + " arg=2";
const std::string kDisarm = "ioctl " + code(_IOW('a', 3, int)) + " arg=2";
const std::string kClear = "ioctl " + code(_IOW('a', 0, int)) + " arg=2";
const std::string kAddMap = "ioctl " + code(_IOW('a', 1, DumpMapRequest)) + " dump_id=2 dev=";
const std::string kArm = "ioctl " + code(_IOW('a', 2, int)) + " arg=2";
constexpr const char *kOpenDevice = "open /dev/ata_dumper O_RDWR";

#if defined(__powerpc__) && !defined(__powerpc64__)
TEST(PdmapCodes, AreThePlatformTable)
{
    EXPECT_EQ(kAlloc, "ioctl 0x80046106 arg=2");
    EXPECT_EQ(kAddMap, "ioctl 0x80106101 dump_id=2 dev=");
}
#endif

class Pdmap : public ::testing::Test {
protected:
    harness::TempDir dir;
    std::vector<std::string> log;

    harness::Result pdmap(std::vector<std::string> args, std::vector<std::string> env = {})
    {
        env.push_back("DOUBLE_LOG=" + dir.path("log"));
        env.push_back(std::string("LD_PRELOAD=") + ATA_DOUBLE + ":" + PLATFORM_DOUBLE);
        auto r = harness::run("pdmap", args, Options{.env = env});
        log = harness::lines(harness::readFile(dir.path("log")));
        unlink(dir.path("log").c_str());
        return r;
    }

    std::string mapFile(const std::string &name, size_t size)
    {
        std::string path = dir.path(name);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::string bytes(size, 'm');
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(size));
        fsync(fd); // blocks are only placed on disk when written back
        close(fd);
        return path;
    }

    std::string devOf(const std::string &path)
    {
        struct stat st;
        stat(path.c_str(), &st);
        return std::to_string(static_cast<uint32_t>(st.st_dev));
    }

    std::vector<std::string> sequence(const std::string &addMap)
    {
        return {"evlog_open chassis 0 trelkit", "hv_running", kOpenDevice, kAlloc, kDisarm, kClear, addMap, kArm,
                "evlog_close"};
    }
};

// The physical blocks of a file as filefrag -v reports them, in logical order.
std::optional<std::vector<uint32_t>> filefragBlocks(const std::string &path)
{
    FILE *p = popen(("filefrag -v '" + path + "' 2>&1").c_str(), "r");
    if (!p)
        return std::nullopt;
    std::string out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    if (pclose(p) != 0)
        return std::nullopt;
    std::vector<uint32_t> blocks;
    std::regex extent(R"(^\s*\d+:\s*(\d+)\.\.\s*(\d+):\s*(\d+)\.\.\s*(\d+):)");
    for (const std::string &line : harness::lines(out)) {
        std::smatch m;
        if (!std::regex_search(line, m, extent))
            continue;
        uint32_t logical = std::stoul(m[1]), last = std::stoul(m[2]), physical = std::stoul(m[3]);
        blocks.resize(std::max<size_t>(blocks.size(), last + 1));
        for (uint32_t l = logical; l <= last; ++l)
            blocks[l] = physical + (l - logical);
    }
    return blocks;
}

std::string join(const std::vector<uint32_t> &blocks)
{
    std::string out;
    for (size_t i = 0; i < blocks.size(); ++i)
        out += (i ? "," : "") + std::to_string(blocks[i]);
    return out;
}

bool canMapBlocks(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    int size = 0, block = 0;
    bool ok = ioctl(fd, FIGETBSZ, &size) == 0 && size == 4096 && ioctl(fd, FIBMAP, &block) == 0;
    close(fd);
    return ok;
}

TEST_F(Pdmap, RegistersTheRealBlocksOfMapFilesAndArmsTheDevice)
{
    std::string probe = mapFile("probe", 4096);
    if (!canMapBlocks(probe))
        GTEST_SKIP() << "the file system of " << probe << " cannot map blocks with FIBMAP in 4096-byte blocks";
    struct Case {
        size_t size;
        size_t blocks;
    };
    for (Case c : {Case{0, 0}, Case{8192, 2}, Case{10000, 3}, Case{(1 << 20) + 1, 257}}) {
        std::string path = mapFile("map" + std::to_string(c.size), c.size);
        auto expected = filefragBlocks(path);
        if (!expected)
            GTEST_SKIP() << "filefrag cannot report the blocks of " << path;
        ASSERT_EQ(expected->size(), c.blocks);
        auto r = pdmap({path});
        EXPECT_EQ(r.out, "") << c.size;
        EXPECT_EQ(r.err, "") << c.size;
        EXPECT_EQ(r.status, 0) << c.size;
        EXPECT_EQ(log, sequence(kAddMap + devOf(path) + " nblocks=" + std::to_string(c.blocks) +
                                " blocks=" + join(*expected)))
            << c.size;
    }
}

TEST_F(Pdmap, AnAllocatedDumpIsNoFailure)
{
    std::string path = mapFile("map", 0);
    auto r = pdmap({path}, {"ATA_FAIL=6:98"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(log, sequence(kAddMap + devOf(path) + " nblocks=0 blocks="));
}

TEST_F(Pdmap, ADeviceFailureStopsTheSequenceWhereItHappens)
{
    std::string path = mapFile("map", 0);
    std::string addMap = kAddMap + devOf(path) + " nblocks=0 blocks=";
    struct Case {
        const char *fail;
        const char *message;
        std::vector<std::string> issued;
    };
    std::vector<Case> cases = {
        {"6:5", "pdmap: IOC_ALLOC failed: Input/output error", {kAlloc}},
        {"3:16", "pdmap: IOC_DISARM failed: Device or resource busy", {kAlloc, kDisarm}},
        {"0:22", "pdmap: IOC_CLEAR_MAP failed: Invalid argument", {kAlloc, kDisarm, kClear}},
        {"1:12", "pdmap: IOC_ADD_MAP failed: Cannot allocate memory", {kAlloc, kDisarm, kClear, addMap}},
        {"2:5", "pdmap: IOC_ARM failed: Input/output error", {kAlloc, kDisarm, kClear, addMap, kArm}},
    };
    for (const Case &c : cases) {
        auto r = pdmap({path}, {std::string("ATA_FAIL=") + c.fail});
        EXPECT_EQ(r.out, "") << c.fail;
        EXPECT_EQ(r.err, std::string(c.message) + "\n") << c.fail;
        EXPECT_EQ(r.status, 1) << c.fail;
        std::vector<std::string> expected = {"evlog_open chassis 0 trelkit", "hv_running", kOpenDevice};
        expected.insert(expected.end(), c.issued.begin(), c.issued.end());
        expected.push_back("evlog_close");
        EXPECT_EQ(log, expected) << c.fail;
    }
}

TEST_F(Pdmap, FileAndDeviceFailures)
{
    std::string missing = dir.path("missing");
    auto absent = pdmap({missing});
    EXPECT_EQ(absent.err, "pdmap: open of map file failed: No such file or directory\n");
    EXPECT_EQ(absent.status, 1);

    auto noDevice = pdmap({mapFile("map", 10)}, {"ATA_OPEN_ERRNO=2"});
    EXPECT_EQ(noDevice.err, "pdmap: open of DUMPDEV failed: No such file or directory\n");
    EXPECT_EQ(noDevice.status, 1);

    auto zero = pdmap({mapFile("map", 10)}, {"ATA_FIGETBSZ=0"});
    EXPECT_EQ(zero.err, "pdmap: FIGETBZ failed: Invalid argument\n");
    EXPECT_EQ(zero.status, 1);
    EXPECT_EQ(log, (std::vector<std::string>{"evlog_open chassis 0 trelkit", "hv_running", "evlog_close"}));

    // Past the platform's 32-bit size field, whatever the build's.
    std::string huge = dir.path("huge");
    int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 31), 0);
    close(fd);
    auto tooLarge = pdmap({huge});
    EXPECT_EQ(tooLarge.err, "pdmap: fstat failed: Value too large for defined data type\n");
    EXPECT_EQ(tooLarge.status, 1);
}

TEST_F(Pdmap, AFileSystemWithoutBlockMapsFailsInFibmap)
{
    std::string path = "/dev/shm/trelkit-pdmap-" + std::to_string(getpid());
    if (!harness::writeFileAt(path, "tmpfs has no block map"))
        GTEST_SKIP() << "no /dev/shm to make a file without a block map";
    auto r = pdmap({path});
    unlink(path.c_str());
    EXPECT_EQ(r.err, "pdmap: FIBMAP failed: Invalid argument\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Pdmap, UnderTheHypervisorTheFileIsHandedOverUntouched)
{
    for (std::string result : {"0", "-1", "7"}) {
        auto r = pdmap({"no/such/map"}, {"HV_RUNNING=1", "HV_RESULT=" + result});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, std::stoi(result) & 0xff);
        EXPECT_EQ(log, (std::vector<std::string>{"evlog_open chassis 0 trelkit", "hv_running",
                                                 "hv_map_dump_file no/such/map 1", "evlog_close"}));
    }
}

TEST_F(Pdmap, UsageNeedsExactlyOneOperand)
{
    for (auto args : std::vector<std::vector<std::string>>{{}, {"a", "b"}}) {
        auto r = pdmap(args, {"HV_RUNNING=1"});
        EXPECT_EQ(r.out, "Usage: pdmap <name of map file>\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(log, (std::vector<std::string>{"evlog_open chassis 0 trelkit", "evlog_close"}));
    }
}

} // namespace
