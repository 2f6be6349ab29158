/* Test double for the dump device, preloaded with LD_PRELOAD. Opening
 * "/dev/ata_dumper" yields a stand-in descriptor; each request on it is
 * recorded (the DumpMapRequest with its whole block list) and can be made to
 * fail. Every other file and request reaches the real system, so FIGETBSZ and
 * FIBMAP on the map file are real.
 *
 *   DOUBLE_LOG=path           where the record is appended
 *   ATA_OPEN_ERRNO=n          opening the device fails with errno n
 *   ATA_FAIL=nr:errno         the request with number nr fails with errno
 *   ATA_FIGETBSZ=n            FIGETBSZ on any file reports a block size of n
 */
/* open and open64 are interposed separately: neither may be renamed to the other. */
#undef _FILE_OFFSET_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "record.h"
#include <linux/fs.h>
#include <sys/ioctl.h>

struct DumpMapRequest {
    uint32_t dump_id;
    uint32_t dev;
    uint32_t nblocks;
    uint32_t *blocks;
};

static int device_fd = -1;

static int open_device(int flags)
{
    record("open /dev/ata_dumper %s\n", (flags & O_ACCMODE) == O_RDWR ? "O_RDWR" : "other");
    const char *fail = getenv("ATA_OPEN_ERRNO");
    if (fail) {
        errno = atoi(fail);
        return -1;
    }
    int (*real_open)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
    device_fd = real_open("/dev/null", O_RDWR);
    return device_fd;
}

#define INTERPOSE_OPEN(name)                                                                       \
    int name(const char *path, int flags, ...)                                                     \
    {                                                                                              \
        mode_t mode = 0;                                                                           \
        if (flags & (O_CREAT | O_TMPFILE)) {                                                       \
            va_list ap;                                                                            \
            va_start(ap, flags);                                                                   \
            mode = va_arg(ap, mode_t);                                                             \
            va_end(ap);                                                                            \
        }                                                                                          \
        if (strcmp(path, "/dev/ata_dumper") == 0)                                                  \
            return open_device(flags);                                                             \
        int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, #name); \
        return real(path, flags, mode);                                                            \
    }

INTERPOSE_OPEN(open)
INTERPOSE_OPEN(open64)

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const char *blockSize = getenv("ATA_FIGETBSZ");
    if (request == FIGETBSZ && blockSize) {
        *(int *)arg = atoi(blockSize);
        return 0;
    }
    if (fd < 0 || fd != device_fd) {
        int (*real)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
        return real(fd, request, arg);
    }
    unsigned nr = (unsigned)(request & 0xff);
    if (nr == 1) {
        const struct DumpMapRequest *map = arg;
        record("ioctl %#lx dump_id=%u dev=%u nblocks=%u blocks=", request, map->dump_id, map->dev, map->nblocks);
        for (uint32_t i = 0; i < map->nblocks; ++i)
            record(i ? ",%u" : "%u", map->blocks[i]);
        record("\n");
    } else {
        record("ioctl %#lx arg=%lu\n", request, (unsigned long)(uintptr_t)arg);
    }
    const char *fail = getenv("ATA_FAIL");
    unsigned failNr;
    int failErrno;
    if (fail && sscanf(fail, "%u:%d", &failNr, &failErrno) == 2 && failNr == nr) {
        errno = failErrno;
        return -1;
    }
    return 0;
}
