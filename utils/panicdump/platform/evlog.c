/* Event log stand-in for a generic Linux host: the event log is the system log.
 * Each event becomes one syslog record carrying the tag, the message id, the
 * writer's file:function:line and the text. */
#include "evlog.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

static char ident[64];
static uint32_t opened_instance;

int evlog_open(const char *context, int instance, const char *module)
{
    (void)context;
    /* openlog keeps the pointer, so the ident must outlive the caller's string. */
    snprintf(ident, sizeof ident, "%s", module ? module : "trelkit");
    opened_instance = (uint32_t)instance;
    openlog(ident, LOG_PID, LOG_USER);
    return 0;
}

evlog_handle_t evlog_get_handle(void)
{
    evlog_handle_t h = {{opened_instance}};
    return h;
}

int evlog_write(const char *file, const char *function, int line, const char *tag, ...)
{
    va_list ap;
    va_start(ap, tag);
    evlog_handle_t handle = va_arg(ap, evlog_handle_t);
    int fixed1 = va_arg(ap, int);
    int fixed2 = va_arg(ap, int);
    int msgid = va_arg(ap, int);
    const char *text = va_arg(ap, const char *);
    va_end(ap);
    (void)handle;
    (void)fixed1;
    (void)fixed2;
    /* The text is data, never a format. */
    syslog(LOG_NOTICE, "%s %#x %s:%s:%d %s", tag ? tag : "", (unsigned)msgid, file ? file : "",
           function ? function : "", line, text ? text : "");
    return 0;
}

int evlog_close(void)
{
    closelog();
    return 0;
}
