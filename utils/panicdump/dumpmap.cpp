// pdmap: tells the dump device which disk blocks hold a map file, then arms it.
// Under the platform's hypervisor the map file is handed to the hypervisor
// side instead and the device is never touched.
//
//   pdmap mapfile              check, map, arm
//   pdmap --dry-run mapfile    check and map; print the map as filefrag -v does
//   pdmap --pin mapfile        check, map, make mapfile immutable, arm
//
// The device writes into those blocks at crash time, behind the file
// system's back: a block the file system may move, share or not have placed
// yet would take another file's data. Before the device is opened the file is
// synced and its extents are checked with FIEMAP where the file system
// answers it; FIBMAP then names each block, and refuses a hole where FIEMAP
// is not answered.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "common.h"
#include "dumpmap.h"
#include "platform/hvsvc.h"

namespace {

constexpr const char *DUMPDEV = "/dev/ata_dumper";
constexpr uint32_t kDumpId = 2; // the dump every request of the sequence names
constexpr int kHypervisorMapFlags = 1;
constexpr off_t kMaxMapSize = INT32_MAX; // the platform's stat size field is 32-bit

// The device's own codes, pinned for the device's build.
#if defined(__powerpc__) && !defined(__powerpc64__)
static_assert(sizeof(DumpMapRequest) == 16);
static_assert(FIBMAP == 0x20000001 && FIGETBSZ == 0x20000002);
static_assert(IOC_CLEAR_MAP == 0x80046100 && IOC_ADD_MAP == 0x80106101 && IOC_ARM == 0x80046102);
static_assert(IOC_DISARM == 0x80046103 && IOC_ALLOC == 0x80046106);
static_assert(FS_IOC_FIEMAP == 0xc020660b && FS_IOC_GETFLAGS == 0x40046601 && FS_IOC_SETFLAGS == 0x80046602);
static_assert(sizeof(fiemap) == 32 && offsetof(fiemap, fm_extent_count) == 24 && offsetof(fiemap, fm_extents) == 32);
static_assert(sizeof(fiemap_extent) == 56 && offsetof(fiemap_extent, fe_length) == 16);
static_assert(offsetof(fiemap_extent, fe_flags) == 40);
#endif

using BlockList = std::unique_ptr<uint32_t[], FreeMemory>;

int fail(const char *message)
{
    perror(message);
    return 1;
}

// The device sequence: allocate (already allocated is fine), disarm, clear,
// add the map, arm. A failure stops it where it is: nothing is undone, and a
// device disarmed by this run stays disarmed.
int armDevice(int dev, DumpMapRequest &request)
{
    const unsigned long id = kDumpId; // passed as the value itself, not its address
    if (ioctl(dev, IOC_ALLOC, id) < 0 && errno != EADDRINUSE)
        return fail("pdmap: IOC_ALLOC failed");
    if (ioctl(dev, IOC_DISARM, id) < 0)
        return fail("pdmap: IOC_DISARM failed");
    if (ioctl(dev, IOC_CLEAR_MAP, id) < 0)
        return fail("pdmap: IOC_CLEAR_MAP failed");
    if (ioctl(dev, IOC_ADD_MAP, &request) < 0)
        return fail("pdmap: IOC_ADD_MAP failed");
    if (ioctl(dev, IOC_ARM, id) < 0)
        return fail("pdmap: IOC_ARM failed");
    return 0;
}

// ---- the checks before the device is touched ------------------------------

// FIEMAP's flags that make an extent's blocks unfit for writing behind the
// file system, with why; the first that an extent carries is named.
struct ExtentFault {
    uint32_t flag;
    const char *why;
};
constexpr ExtentFault kExtentFaults[] = {
    {FIEMAP_EXTENT_DELALLOC, "not yet on disk"},
    {FIEMAP_EXTENT_UNKNOWN, "at no known place on disk"},
    {FIEMAP_EXTENT_DATA_INLINE, "stored inline with the file system's metadata"},
    {FIEMAP_EXTENT_DATA_TAIL, "packed into a block with other files' data"},
    {FIEMAP_EXTENT_NOT_ALIGNED, "not aligned to blocks"},
    {FIEMAP_EXTENT_ENCODED, "compressed or encoded"},
    {FIEMAP_EXTENT_DATA_ENCRYPTED, "encrypted"},
    {FIEMAP_EXTENT_UNWRITTEN, "preallocated and never written"},
    {FIEMAP_EXTENT_SHARED, "shared with another file"},
};
constexpr const char *kHole = "a hole, with no disk blocks";
constexpr uint32_t kBcachefsMagic = 0xca451a4e; // copy-on-write too; not in every kernel's headers

enum class Extents { Fit, Refused, NotAnswered };

Extents refuse(const char *path, uint64_t first, uint64_t end, const char *why)
{
    fprintf(stderr, "pdmap: %s: bytes %" PRIu64 " to %" PRIu64 ": %s\n", path, first, end - 1, why);
    return Extents::Refused;
}

// Data written in place on a copy-on-write file system goes to new blocks
// unless the file is NOCOW (chattr +C, set while it is empty).
bool copiedOnWrite(int map)
{
    struct statfs fs;
    int flags = 0;
    if (fstatfs(map, &fs) != 0)
        return false;
    const auto type = static_cast<uint32_t>(fs.f_type);
    if (type != BTRFS_SUPER_MAGIC && type != kBcachefsMagic)
        return false;
    return ioctl(map, FS_IOC_GETFLAGS, &flags) != 0 || !(flags & FS_NOCOW_FL);
}

// Every byte of the file in extents fit for the device: no hole, and no
// extent with a fault. FIEMAP_FLAG_SYNC places delayed data first.
Extents checkExtents(int map, const char *path, uint64_t size)
{
    constexpr uint32_t kPerCall = 64;
    alignas(fiemap) static uint8_t buffer[sizeof(fiemap) + kPerCall * sizeof(fiemap_extent)];
    auto *answer = reinterpret_cast<fiemap *>(buffer);
    uint64_t covered = 0; // bytes before this are in fit extents
    for (bool last = false; covered < size && !last;) {
        memset(buffer, 0, sizeof buffer);
        answer->fm_start = covered;
        answer->fm_length = size - covered;
        answer->fm_flags = FIEMAP_FLAG_SYNC;
        answer->fm_extent_count = kPerCall;
        if (ioctl(map, FS_IOC_FIEMAP, answer) != 0) {
            if (covered == 0 && (errno == EOPNOTSUPP || errno == ENOTTY || errno == EBADR))
                return Extents::NotAnswered;
            fail("pdmap: FIEMAP failed");
            return Extents::Refused;
        }
        const uint64_t before = covered;
        const uint32_t answered = std::min(answer->fm_mapped_extents, kPerCall);
        for (uint32_t i = 0; i < answered && covered < size && !last; ++i) {
            const fiemap_extent &e = answer->fm_extents[i];
            const uint64_t end = std::min<uint64_t>(e.fe_logical + e.fe_length, size);
            if (e.fe_logical > covered)
                return refuse(path, covered, std::min<uint64_t>(e.fe_logical, size), kHole);
            for (const ExtentFault &fault : kExtentFaults)
                if (e.fe_flags & fault.flag)
                    return refuse(path, covered, end, fault.why);
            covered = std::max(covered, end);
            last = e.fe_flags & FIEMAP_EXTENT_LAST;
        }
        if (covered == before)
            break; // no extent at or after it: the rest is a hole
    }
    if (covered < size)
        return refuse(path, covered, size, kHole);
    if (size > 0 && copiedOnWrite(map))
        return refuse(path, 0, size, "on a copy-on-write file system, and not NOCOW (chattr +C)");
    return Extents::Fit;
}

// The map file as the checks leave it; its descriptor stays open to the end.
struct MapFile {
    int fd = -1;
    struct stat st {};
    uint32_t blockSize = 0, nblocks = 0;
    BlockList blocks;
};

// Opens the map file and checks it: a regular file with a block size and a
// size the platform's stat can give, synced, with extents fit for the device.
int examine(const char *path, MapFile &file)
{
    file.fd = open(path, O_RDONLY | O_NONBLOCK); // a FIFO given as the map file must not hang the run
    if (file.fd == -1)
        return fail("pdmap: open of map file failed");
    // Only a regular file has blocks on a disk: anything else (a FIFO, a
    // device, a mistyped path) would clear the device's map and arm it empty.
    struct stat &st = file.st;
    if (fstat(file.fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        fprintf(stderr, "pdmap: %s: not a regular file\n", path);
        return 1;
    }
    int blockSize = 0;
    if (ioctl(file.fd, FIGETBSZ, &blockSize) != 0)
        return fail("pdmap: FIGETBZ failed"); // the system's own spelling: scripts match it
    if (blockSize <= 0) {
        errno = EINVAL; // nothing can be mapped in blocks of no size
        return fail("pdmap: FIGETBZ failed");
    }
    if (fstat(file.fd, &st) != 0)
        return fail("pdmap: fstat failed");
    if (st.st_size > kMaxMapSize) {
        errno = EOVERFLOW; // as the platform's own stat fails, on every build
        return fail("pdmap: fstat failed");
    }
    if (fsync(file.fd) != 0)
        return fail("pdmap: fsync of map file failed");
    if (checkExtents(file.fd, path, static_cast<uint64_t>(st.st_size)) == Extents::Refused)
        return 1;
    file.blockSize = static_cast<uint32_t>(blockSize);
    file.nblocks = (file.blockSize - 1 + static_cast<uint32_t>(st.st_size)) / file.blockSize;
    return 0;
}

// The physical block of each logical block, as FIBMAP names it.
int mapBlocks(const char *path, MapFile &file)
{
    // calloc: the count times 4 cannot wrap around a 32-bit size_t unnoticed.
    file.blocks.reset(static_cast<uint32_t *>(calloc(file.nblocks, sizeof(uint32_t))));
    if (!file.blocks) {
        fwrite("pdmap: malloc failed\n", 1, 21, stderr);
        return 1;
    }
    for (uint32_t i = 0; i < file.nblocks; ++i) {
        int block = static_cast<int>(i);
        if (ioctl(file.fd, FIBMAP, &block) != 0)
            return fail("pdmap: FIBMAP failed");
        // A hole, or space preallocated and never written, maps to block 0:
        // the device would write the next panic over the start of the file system.
        if (block == 0) {
            fprintf(stderr,
                    "pdmap: %s: block %" PRIu32
                    " has no disk block (a hole, or space preallocated and never written)\n",
                    path, i);
            return 1;
        }
        file.blocks[i] = static_cast<uint32_t>(block);
    }
    return 0;
}

// ---- what is registered ----------------------------------------------------

int printed()
{
    return outputWritten(stdout, "standard output") ? 0 : 1;
}

// The map as filefrag -v shows a file: runs of consecutive physical blocks.
void printMap(const char *path, const MapFile &file)
{
    const struct stat &st = file.st;
    const uint32_t blockSize = file.blockSize, nblocks = file.nblocks, *blocks = file.blocks.get();
    printf("File size of %s is %lld (%" PRIu32 " block%s of %" PRIu32 " bytes)\n", path,
           static_cast<long long>(st.st_size), nblocks, nblocks == 1 ? "" : "s", blockSize);
    printf("Device: %" PRIu32 " (%u:%u)\n", static_cast<uint32_t>(st.st_dev), major(st.st_dev), minor(st.st_dev));
    printf(" ext:     logical_offset:        physical_offset: length:\n");
    uint32_t extents = 0;
    for (uint32_t first = 0, last; first < nblocks; first = last + 1, ++extents) {
        for (last = first; last + 1 < nblocks && blocks[last + 1] == blocks[last] + 1;)
            ++last;
        printf("%4" PRIu32 ": %10" PRIu32 "..%10" PRIu32 ": %10" PRIu32 "..%10" PRIu32 ": %6" PRIu32 ":\n", extents,
               first, last, blocks[first], blocks[last], last - first + 1);
    }
    printf("%s: %" PRIu32 " extent%s found\n", path, extents, extents == 1 ? "" : "s");
}

// Immutable, the file can no longer be moved, rewritten or removed (by root
// too) until chattr -i.
int pin(int map)
{
    int flags = 0;
    if (ioctl(map, FS_IOC_GETFLAGS, &flags) != 0)
        return fail("pdmap: FS_IOC_GETFLAGS failed");
    flags |= FS_IMMUTABLE_FL;
    if (ioctl(map, FS_IOC_SETFLAGS, &flags) != 0)
        return fail("pdmap: FS_IOC_SETFLAGS failed");
    return 0;
}

// The long options come before the map file; any other command line is the
// system's own usage error.
struct Command {
    bool dryRun = false, pin = false;
    const char *path = nullptr;
};

bool parse(int argc, char **argv, Command &command)
{
    if (argc < 2)
        return false;
    for (int i = 1; i < argc - 1; ++i) {
        if (strcmp(argv[i], "--dry-run") == 0)
            command.dryRun = true;
        else if (strcmp(argv[i], "--pin") == 0)
            command.pin = true;
        else
            return false;
    }
    command.path = argv[argc - 1];
    return true;
}

} // namespace

extern const char pdmapUsage[] = "Usage: pdmap [--dry-run] [--pin] mapfile\n"
                                 "  --dry-run   check, print the map, touch no device\n"
                                 "  --pin       make mapfile immutable before arming\n";

int pdmapMain(int argc, char **argv)
{
    Command command;
    if (!parse(argc, argv, command)) {
        puts("Usage: pdmap <name of map file>");
        return 1;
    }
    const char *path = command.path;
    if (hv_running()) {
        if (command.dryRun) {
            printf("%s: would be handed to the hypervisor, which maps it itself\n", path);
            return printed();
        }
        // The result is the status, but the exit status keeps only its low 8
        // bits: a failure that has none (256) must not end as success.
        const int result = hv_map_dump_file(path, kHypervisorMapFlags);
        return result != 0 && (result & 0xff) == 0 ? 1 : result;
    }

    MapFile file;
    if (int status = examine(path, file); status != 0)
        return status;
    if (int status = mapBlocks(path, file); status != 0)
        return status;
    if (command.dryRun) {
        printMap(path, file);
        return printed();
    }
    if (command.pin && pin(file.fd) != 0)
        return 1;

    int dev = open(DUMPDEV, O_RDWR);
    if (dev < 0)
        return fail("pdmap: open of DUMPDEV failed"); // the system's own text: the constant's name, not the path
    DumpMapRequest request{kDumpId, static_cast<uint32_t>(file.st.st_dev), file.nblocks, file.blocks.get()};
    if (int status = armDevice(dev, request); status != 0)
        return status;
    close(dev);
    close(file.fd);
    return 0;
}
