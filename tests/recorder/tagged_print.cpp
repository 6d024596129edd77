/* The platform's log for the recorder's tests, linked with
 * -Wl,--wrap=ozi_print: each line goes to standard output as
 * "<module>/<level> <text>", so that a test's tvrtest::LogCapture sees the
 * module and level it was logged with.  The unit test links the
 * recorder's file steps without the platform; this is then the only
 * ozi_print they reach. */
#include <stdarg.h>
#include <stdio.h>

extern "C" int __wrap_ozi_print(int module, int level, const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    printf("%d/%d %s", module, level, buf);
    fflush(stdout);
    return 0;
}
