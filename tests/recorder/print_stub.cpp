/* The one platform call the recorder's file steps make, for the recorder's
 * unit tests, which link those steps without the platform: each line goes
 * to standard output as "<module>/<level> <text>", so that a test's
 * tvrtest::LogCapture sees which module and level it was logged with. */
#include <stdarg.h>
#include <stdio.h>

#include "ozi_sdk.h"

extern "C" int ozi_print(int module, int level, const char *fmt, ...)
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
