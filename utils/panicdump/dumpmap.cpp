// pdmap: tells the dump device which disk blocks hold a map file, then arms it.
// Under the platform's hypervisor the map file is handed to the hypervisor
// side instead and the device is never touched.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

} // namespace

int pdmapMain(int argc, char **argv)
{
    if (argc != 2) {
        puts("Usage: pdmap <name of map file>");
        return 1;
    }
    const char *path = argv[1];
    if (hv_running()) {
        // The result is the status, but the exit status keeps only its low 8
        // bits: a failure that has none (256) must not end as success.
        const int result = hv_map_dump_file(path, kHypervisorMapFlags);
        return result != 0 && (result & 0xff) == 0 ? 1 : result;
    }

    int map = open(path, O_RDONLY | O_NONBLOCK); // a FIFO given as the map file must not hang the run
    if (map < 0)
        return fail("pdmap: open of map file failed");
    // Only a regular file has blocks on a disk: anything else (a FIFO, a
    // device, a mistyped path) would clear the device's map and arm it empty.
    struct stat st;
    if (fstat(map, &st) == 0 && !S_ISREG(st.st_mode)) {
        fprintf(stderr, "pdmap: %s: not a regular file\n", path);
        return 1;
    }
    int blockSize = 0;
    if (ioctl(map, FIGETBSZ, &blockSize) != 0)
        return fail("pdmap: FIGETBZ failed"); // the system's own spelling: scripts match it
    if (blockSize <= 0) {
        errno = EINVAL; // nothing can be mapped in blocks of no size
        return fail("pdmap: FIGETBZ failed");
    }
    if (fstat(map, &st) != 0)
        return fail("pdmap: fstat failed");
    if (st.st_size > kMaxMapSize) {
        errno = EOVERFLOW; // as the platform's own stat fails, on every build
        return fail("pdmap: fstat failed");
    }

    const auto size = static_cast<uint32_t>(blockSize);
    const uint32_t nblocks = (size - 1 + static_cast<uint32_t>(st.st_size)) / size;
    // calloc: the count times 4 cannot wrap around a 32-bit size_t unnoticed.
    BlockList blocks(static_cast<uint32_t *>(calloc(nblocks, sizeof(uint32_t))));
    if (!blocks) {
        fwrite("pdmap: malloc failed\n", 1, 21, stderr);
        return 1;
    }
    for (uint32_t i = 0; i < nblocks; ++i) {
        int block = static_cast<int>(i);
        if (ioctl(map, FIBMAP, &block) != 0)
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
        blocks[i] = static_cast<uint32_t>(block);
    }

    int dev = open(DUMPDEV, O_RDWR);
    if (dev < 0)
        return fail("pdmap: open of DUMPDEV failed"); // the system's own text: the constant's name, not the path
    DumpMapRequest request{kDumpId, static_cast<uint32_t>(st.st_dev), nblocks, blocks.get()};
    if (int status = armDevice(dev, request); status != 0)
        return status;
    close(dev);
    close(map);
    return 0;
}
