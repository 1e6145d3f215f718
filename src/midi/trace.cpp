// The wire trace that --verbose writes on standard error, for support to
// read when an update fails at a user's desk: what went to the target and
// what the program made of its answers, timed in milliseconds since the
// trace started, as update-sim's wire log is. Standard output is the same
// with it or without it.
#include "midi/midi.h"

#include <stdio.h>

static bool g_tracing;
static DWORD g_traceStart;

void StartTrace(void)
{
    g_tracing = true;
    g_traceStart = GetTickCount();
}

static unsigned long Elapsed(void)
{
    return (unsigned long)(DWORD)(GetTickCount() - g_traceStart);
}

// A line goes out in one write: standard error writes at once.
void TraceMessage(char direction, const uint8_t* bytes, unsigned shown, unsigned n, const char* note)
{
    if (!g_tracing)
        return;
    char line[32 + 3 * (MAX_SYSEX_PAYLOAD + 2) + 64];
    int at = snprintf(line, sizeof line, "%8lu %c", Elapsed(), direction);
    for (unsigned i = 0; i < shown && i < MAX_SYSEX_PAYLOAD + 2; ++i)
        at += snprintf(line + at, sizeof line - (size_t)at, " %02X", bytes[i]);
    snprintf(line + at, sizeof line - (size_t)at, "%s%s%s\n", shown < n ? " ..." : "", note != NULL ? "  " : "",
             note != NULL ? note : "");
    fputs(line, stderr);
}

void TraceRecordAgain(unsigned record, unsigned attempt)
{
    if (g_tracing)
        fprintf(stderr, "%8lu record %u again, attempt %u\n", Elapsed(), record, attempt);
}

void TraceNote(const char* text)
{
    if (g_tracing && text != NULL)
        fprintf(stderr, "%8lu %s\n", Elapsed(), text);
}
