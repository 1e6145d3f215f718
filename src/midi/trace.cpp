// The trace that --verbose writes on standard error: a whole record of the
// run, for support to read and to replay (update-sim --replay) when an
// update fails at a user's desk. Its head says which program ran where,
// with which arguments, and the ports as the system listed them; then,
// timed in milliseconds since the start, as update-sim's wire log is: the
// image, what the system answered to the port calls, every message to the
// target and every reply taken or dropped, the interruption, and the exit
// status. A name or argument shows a control byte or a backslash as \xNN,
// so that it reads back as it was. Standard output is the same with it or
// without it.
#include "midi/midi.h"

#include "common/ascii.h"

#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#define SYSTEM_NAME "Windows"
#elif defined(__EMSCRIPTEN__)
#define SYSTEM_NAME "a browser"
#else
#define SYSTEM_NAME "Linux"
#endif

#define TRACE_LINE 2048

static bool g_tracing;
static DWORD g_traceStart;

static unsigned long Elapsed(void)
{
    return (unsigned long)(DWORD)(GetTickCount() - g_traceStart);
}

// Appends a tab and text to line at *at, escaped; a line goes out in one
// write, as standard error writes at once.
static void AddField(char* line, int* at, const char* text)
{
    *at += snprintf(line + *at, 2, "\t");
    for (const unsigned char* c = (const unsigned char*)text; *c != '\0' && *at < TRACE_LINE - 8; ++c)
        *at += *c < 0x20 || *c == 0x7F || *c == '\\' ? snprintf(line + *at, 8, "\\x%02X", *c)
                                                     : snprintf(line + *at, 2, "%c", *c);
}

static void PutLine(char* line, int at)
{
    snprintf(line + at, TRACE_LINE - (size_t)at, "\n");
    fputs(line, stderr);
}

static void TracePorts(bool input)
{
    char line[TRACE_LINE], name[MAXPNAMELEN];
    for (UINT id = 0, ports = input ? midiInGetNumDevs() : midiOutGetNumDevs(); id < ports; ++id) {
        int at = snprintf(line, sizeof line, "# %s %u", input ? "in" : "out", id + 1);
        PortName(input, id, name);
        AddField(line, &at, name);
        AddField(line, &at, InterfacePath(input, id));
        PutLine(line, at);
    }
}

void StartTrace(int argc, char** argv)
{
    static const char* const STACKS[] = {"unknown", "classic", "service"};
    char line[TRACE_LINE];
    g_tracing = true;
    g_traceStart = GetTickCount();
    fprintf(stderr, "# update %s trace, on %s\n", UPDATE_VERSION, SYSTEM_NAME);
    int at = snprintf(line, sizeof line, "# args");
    for (int i = 0; i < argc; ++i) {
        // The program's own folder tells nothing of the run, and may name its user.
        AddField(line, &at, i == 0 ? BaseName(argv[i]) : argv[i]);
    }
    PutLine(line, at);
    fprintf(stderr, "# stack %s\n", STACKS[GetMidiStack()]);
    TracePorts(true);
    TracePorts(false);
}

bool Tracing(void)
{
    return g_tracing;
}

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

// A note of fields: its key, then each field after a tab, escaped.
void TraceFields(const char* key, const char* first, const char* second, const char* third)
{
    if (!g_tracing)
        return;
    char line[TRACE_LINE];
    int at = snprintf(line, sizeof line, "%8lu %s", Elapsed(), key);
    const char* const fields[] = {first, second, third};
    for (const char* field : fields)
        if (field != NULL)
            AddField(line, &at, field);
    PutLine(line, at);
}

void TraceCall(const char* call, UINT id, unsigned result)
{
    if (g_tracing)
        fprintf(stderr, "%8lu %s(%u) = %u\n", Elapsed(), call, id, result);
}
