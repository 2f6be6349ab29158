/* Test double for the platform's event log and hypervisor services, with the
 * same symbols, preloaded with LD_PRELOAD. Every call is recorded.
 *
 *   DOUBLE_LOG=path        where the record is appended
 *   HV_RUNNING=n           what hv_running returns (default 0)
 *   HV_RESULT=n            what hv_map_dump_file returns (default 0)
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "record.h"

#include "evlog.h"
#include "hvsvc.h"

static unsigned handles;

int evlog_open(const char *context, int instance, const char *module)
{
    record("evlog_open %s %d %s\n", context, instance, module);
    return 0;
}

/* Each handle is distinct in all seven words, so a test sees which one a
 * write carried and that it arrived whole. */
evlog_handle_t evlog_get_handle(void)
{
    evlog_handle_t h;
    ++handles;
    for (unsigned i = 0; i < 7; ++i)
        h.word[i] = handles * 100 + i;
    record("evlog_get_handle %u\n", handles);
    return h;
}

int evlog_write(const char *file, const char *function, int line, const char *tag, ...)
{
    va_list ap;
    va_start(ap, tag);
    evlog_handle_t h = va_arg(ap, evlog_handle_t);
    int a = va_arg(ap, int);
    int b = va_arg(ap, int);
    int id = va_arg(ap, int);
    const char *text = va_arg(ap, const char *);
    va_end(ap);
    record("evlog_write %s %s %d %s handle=%u,%u,%u,%u,%u,%u,%u %d %d %#x len=%zu [%s]\n", file, function, line, tag,
           h.word[0], h.word[1], h.word[2], h.word[3], h.word[4], h.word[5], h.word[6], a, b, id, strlen(text), text);
    return -1; /* a failing log must not stop the remaining chunks */
}

int evlog_close(void)
{
    record("evlog_close\n");
    return 0;
}

int hv_running(void)
{
    const char *v = getenv("HV_RUNNING");
    record("hv_running\n");
    return v ? atoi(v) : 0;
}

int hv_map_dump_file(const char *path, int flags)
{
    const char *v = getenv("HV_RESULT");
    record("hv_map_dump_file %s %d\n", path, flags);
    return v ? atoi(v) : 0;
}
