/* The dump device's request set: "/dev/ata_dumper" takes a map of the disk
 * blocks of a map file and writes the next panic dump into them. C and C++. */
#ifndef TRELKIT_DUMPMAP_H
#define TRELKIT_DUMPMAP_H

#include <stdint.h>
#include <sys/ioctl.h>

/* The argument of IOC_ADD_MAP: 16 bytes on the device, whose pointers are
 * 32-bit; on a host with wider pointers the record and its code grow. */
struct DumpMapRequest {
    uint32_t dump_id;
    uint32_t dev; /* low 32 bits of the map file's st_dev */
    uint32_t nblocks;
    uint32_t *blocks; /* physical block of each logical block of the map file */
};

static const unsigned long IOC_CLEAR_MAP = _IOW('a', 0, int);
static const unsigned long IOC_ADD_MAP = _IOW('a', 1, struct DumpMapRequest);
static const unsigned long IOC_ARM = _IOW('a', 2, int);
static const unsigned long IOC_DISARM = _IOW('a', 3, int);
static const unsigned long IOC_ALLOC = _IOW('a', 6, int);

#endif
