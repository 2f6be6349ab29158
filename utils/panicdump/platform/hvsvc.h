/* The platform's hypervisor services. On the device the platform's own library
 * provides these; elsewhere a stand-in built from hvsvc.c does. */
#ifndef TRELKIT_PLATFORM_HVSVC_H
#define TRELKIT_PLATFORM_HVSVC_H

#ifdef __cplusplus
extern "C" {
#endif

int hv_running(void);
int hv_map_dump_file(const char *path, int flags);

#ifdef __cplusplus
}
#endif

#endif
