/* Doubles preloaded into the executable (LD_PRELOAD). What they see goes to the file DOUBLE_LOG names, opened for
 * each line: nothing is lost when a tool ends by exit(). What they do is set in the environment:
 *   ATA_OPEN_ERRNO=e: opening /dev/ata_dumper fails (otherwise it is a stand-in whose requests are recorded);
 *     ATA_FAIL=nr:e: request nr fails; ATA_FIGETBSZ=n: FIGETBSZ reports n. HV_RUNNING=n, HV_RESULT=n.
 *   FIEMAP_FLAGS=k:f: the file system's FIEMAP answer gets flags f on its extent k (flags no file system here gives);
 *     FIEMAP_ERRNO=e: FIEMAP fails with e.
 *   COPY_RANGE=-e: kernel copies fail with errno e; COPY_SCRIBBLE=-n: the first one first cuts the input to n bytes.
 *   PREAD_ESPIPE=1: pread fails, as on a device that seeks but cannot read at an offset. FSTAT_SIZE=n: every regular
 *     file reports size n.
 *   WRITEV_STEP=n: a write or gathered write takes at most n bytes (a signal, a pipe). READ_STEP=n: a read gives at
 *     most n bytes; READ_EIO=1: reads after the first fail. FCLOSE_ERRNO=e: fclose closes, then fails with e (an NFS).
 * Only the 64-bit open, pread and fstat, which these builds call (nm), are here. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "dumpmap.h"
#include "evlog.h"
#include "hvsvc.h"

static int real_fclose(FILE *stream)
{
    int (*fclose_)(FILE *) = dlsym(RTLD_NEXT, "fclose");
    return fclose_(stream);
}

/* Leaves errno as the tool had it. */
__attribute__((format(printf, 1, 2))) static void record(const char *fmt, ...)
{
    const int saved = errno;
    FILE *log = getenv("DOUBLE_LOG") ? fopen(getenv("DOUBLE_LOG"), "a") : NULL;
    if (log) {
        va_list ap;
        va_start(ap, fmt);
        vfprintf(log, fmt, ap);
        va_end(ap);
        real_fclose(log);
    }
    errno = saved;
}

static int env(const char *name, int fallback)
{
    return getenv(name) ? atoi(getenv(name)) : fallback;
}

/* size, but at most the variable's value when that is positive */
static size_t capped(size_t size, const char *name)
{
    const int step = env(name, 0);
    return step > 0 && size > (size_t)step ? (size_t)step : size;
}

/* ---- the dump device */

static int device_fd = -1;

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    int (*open_)(const char *, int, ...) = dlsym(RTLD_NEXT, "open64");
    if (strcmp(path, "/dev/ata_dumper") != 0)
        return open_(path, flags, mode);
    record("open /dev/ata_dumper %s\n", (flags & O_ACCMODE) == O_RDWR ? "O_RDWR" : "other");
    errno = env("ATA_OPEN_ERRNO", 0);
    return errno ? -1 : (device_fd = open_("/dev/null", O_RDWR));
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (request == FIGETBSZ && getenv("ATA_FIGETBSZ")) {
        *(int *)arg = env("ATA_FIGETBSZ", 0);
        return 0;
    }
    if (fd < 0 || fd != device_fd) {
        int (*ioctl_)(int, unsigned long, ...) = dlsym(RTLD_NEXT, "ioctl");
        if (request == FS_IOC_FIEMAP && env("FIEMAP_ERRNO", 0))
            return errno = env("FIEMAP_ERRNO", 0), -1;
        const int done = ioctl_(fd, request, arg);
        unsigned k, flags;
        struct fiemap *map = arg;
        if (done == 0 && request == FS_IOC_FIEMAP && getenv("FIEMAP_FLAGS") &&
            sscanf(getenv("FIEMAP_FLAGS"), "%u:%x", &k, &flags) == 2 && k < map->fm_mapped_extents)
            map->fm_extents[k].fe_flags |= flags;
        return done;
    }
    if (request == IOC_ADD_MAP) {
        const struct DumpMapRequest *map = arg;
        record("ioctl %lu dump_id=%u dev=%u nblocks=%u blocks=", request, map->dump_id, map->dev, map->nblocks);
        for (uint32_t i = 0; i < map->nblocks; ++i)
            record(i ? ",%u" : "%u", map->blocks[i]);
        record("\n");
    } else {
        record("ioctl %lu arg=%lu\n", request, (unsigned long)arg);
    }
    unsigned nr;
    int err;
    const char *fail = getenv("ATA_FAIL");
    return fail && sscanf(fail, "%u:%d", &nr, &err) == 2 && nr == (request & 0xff) ? (errno = err, -1) : 0;
}

/* ---- the platform's services */

int evlog_open(const char *context, int instance, const char *module)
{
    record("evlog_open %s %d %s\n", context, instance, module);
    return 0;
}

/* Each handle differs in all seven words: a test sees which one a write carried and that it arrived whole. */
evlog_handle_t evlog_get_handle(void)
{
    static unsigned handles;
    evlog_handle_t h;
    for (unsigned i = 0, n = ++handles; i < 7; ++i)
        h.word[i] = n * 100 + i;
    record("evlog_get_handle %u\n", handles);
    return h;
}

int evlog_write(const char *file, const char *function, int line, const char *tag, ...)
{
    va_list ap;
    va_start(ap, tag);
    evlog_handle_t h = va_arg(ap, evlog_handle_t);
    int a = va_arg(ap, int), b = va_arg(ap, int), id = va_arg(ap, int);
    const char *text = va_arg(ap, const char *);
    va_end(ap);
    record("evlog_write %s %s %d %s handle=%u,%u,%u,%u,%u,%u,%u %d %d %#x [%s]\n", file, function, line, tag, h.word[0],
           h.word[1], h.word[2], h.word[3], h.word[4], h.word[5], h.word[6], a, b, id, text);
    return -1; /* a failing log must not stop the remaining chunks */
}

int evlog_close(void)
{
    record("evlog_close\n");
    return 0;
}

int hv_running(void)
{
    record("hv_running\n");
    return env("HV_RUNNING", 0);
}

int hv_map_dump_file(const char *path, int flags)
{
    record("hv_map_dump_file %s %d\n", path, flags);
    return env("HV_RESULT", 0);
}

/* ---- kernel copies */

ssize_t copy_file_range(int in, loff_t *inAt, int out, loff_t *outAt, size_t size, unsigned flags)
{
    static int scribbled;
    if (getenv("COPY_SCRIBBLE") && !scribbled++) {
        char path[64];
        snprintf(path, sizeof path, "/proc/self/fd/%d", in);
        if (truncate(path, -atoll(getenv("COPY_SCRIBBLE"))) != 0)
            record("not cut\n");
    }
    if (env("COPY_RANGE", 0) < 0)
        return errno = -env("COPY_RANGE", 0), -1;
    ssize_t (*copy)(int, loff_t *, int, loff_t *, size_t, unsigned) = dlsym(RTLD_NEXT, "copy_file_range");
    ssize_t n = copy(in, inAt, out, outAt, size, flags);
    record("copy_file_range %s\n", n > 0 ? "copied" : "none");
    return n;
}

/* ---- reads at an offset, and sizes */

ssize_t pread64(int fd, void *to, size_t size, off64_t at)
{
    ssize_t (*pread_)(int, void *, size_t, off64_t) = dlsym(RTLD_NEXT, "pread64");
    return env("PREAD_ESPIPE", 0) ? (errno = ESPIPE, -1) : pread_(fd, to, size, at);
}

int fstat64(int fd, struct stat64 *st)
{
    int (*fstat_)(int, struct stat64 *) = dlsym(RTLD_NEXT, "fstat64");
    int done = fstat_(fd, st);
    if (done == 0 && getenv("FSTAT_SIZE") && S_ISREG(st->st_mode))
        st->st_size = env("FSTAT_SIZE", 0);
    return done;
}

/* ---- reads, writes and closes */

ssize_t read(int fd, void *to, size_t size)
{
    static int reads;
    ssize_t (*read_)(int, void *, size_t) = dlsym(RTLD_NEXT, "read");
    if (env("READ_EIO", 0) && reads++ > 0)
        return errno = EIO, -1;
    return read_(fd, to, capped(size, "READ_STEP"));
}

ssize_t write(int fd, const void *from, size_t size)
{
    ssize_t (*write_)(int, const void *, size_t) = dlsym(RTLD_NEXT, "write");
    return write_(fd, from, capped(size, "WRITEV_STEP"));
}

ssize_t writev(int fd, const struct iovec *pieces, int count)
{
    ssize_t (*writev_)(int, const struct iovec *, int) = dlsym(RTLD_NEXT, "writev");
    struct iovec cut[64];
    int n = 0;
    for (size_t left = (size_t)env("WRITEV_STEP", 0); left && n < count && n < 64; left -= cut[n++].iov_len) {
        cut[n] = pieces[n];
        cut[n].iov_len = cut[n].iov_len < left ? cut[n].iov_len : left;
    }
    return n ? writev_(fd, cut, n) : writev_(fd, pieces, count);
}

int fclose(FILE *stream)
{
    const int fails = env("FCLOSE_ERRNO", 0);
    if (real_fclose(stream) != 0)
        return EOF;
    return fails ? (errno = fails, EOF) : 0;
}
