#include "common/ending.h"

#include "common/printable.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static char g_ending[512];

// Room for the longest text and a name as Printable shows it.
void PrintEnding(const char* format, ...)
{
    static char text[PRINTABLE_SIZE + 1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fputs(text, stdout);
    const char* line = text + strspn(text, "\r\n");
    snprintf(g_ending, sizeof g_ending, "%.*s", (int)strcspn(line, "\r\n"), line);
}

const char* RunEnding(void)
{
    return g_ending;
}
