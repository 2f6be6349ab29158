/* The platform's event log service. On the device the platform's own library
 * provides these; elsewhere a stand-in built from evlog.c does. */
#ifndef TRELKIT_PLATFORM_EVLOG_H
#define TRELKIT_PLATFORM_EVLOG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct evlog_handle { uint32_t word[7]; } evlog_handle_t; /* 28 bytes, opaque */

int evlog_open(const char *context, int instance, const char *module);
evlog_handle_t evlog_get_handle(void);
/* variadic part: evlog_handle_t (by value), int, int, int msgid, const char *text */
int evlog_write(const char *file, const char *function, int line, const char *tag, ...);
int evlog_close(void);

#ifdef __cplusplus
}
#endif

#endif
