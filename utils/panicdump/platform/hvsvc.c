/* Hypervisor services stand-in: a generic host runs no platform hypervisor. */
#include "hvsvc.h"

#include <errno.h>

int hv_running(void)
{
    return 0;
}

int hv_map_dump_file(const char *path, int flags)
{
    (void)path;
    (void)flags;
    errno = ENOSYS;
    return -1;
}
