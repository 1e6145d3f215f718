// A line of the report, on one line in the file:
// {"began":"2026-12-09T02:47:36Z","port":"serial:0001","name":"Quellam MIDI 1",
//  "lasting":["usb:usb-dummy_hcd.0-1","serial:0001"],"image":"Quellam_demo.kit","bytes":12411,
//  "sha256":"…","ending":"Target update successfully!","status":0,"seconds":12.345,"again":0}
// Where there is nothing to say, as of a port never chosen, the value is
// null.
#include "app/report.h"

#include "common/ending.h"
#include "common/printable.h"
#include "common/status.h"
#include "image/sha256.h"
#include "midi/midi.h"
#include "platform.h"
#include "protocol/protocol.h"

#include <stdarg.h>
#include <string.h>
#include <time.h>

#define MSG_NO_REPORT "Error: The report '%s' cannot be opened for appending: %s.\n\n"

// A value is cut after so many bytes; the line has room for all of them
// escaped.
#define REPORT_VALUE_CHARS 4096

static intptr_t g_report = -1;
static time_t g_began;
static DWORD g_start;

struct Line {
    char text[8 * REPORT_VALUE_CHARS];
    size_t n;
};

static void Add(Line* line, const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;

static void Add(Line* line, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line->text + line->n, sizeof line->text - line->n, format, args);
    va_end(args);
    if (n > 0)
        line->n = line->n + (size_t)n < sizeof line->text ? line->n + (size_t)n : sizeof line->text - 1;
}

// How many bytes of a UTF-8 sequence begin at c, or 0 where none does.
static size_t Utf8Length(const unsigned char* c)
{
    size_t length = *c >= 0xC2 && *c <= 0xDF ? 2 : *c >= 0xE0 && *c <= 0xEF ? 3 : *c >= 0xF0 && *c <= 0xF4 ? 4 : 0;
    for (size_t i = 1; i < length; ++i)
        if ((c[i] & 0xC0) != 0x80)
            return 0;
    return length;
}

// A JSON string, or null; a byte that is not UTF-8 (from a device's name)
// becomes U+FFFD, so that the line stays JSON.
static void AddString(Line* line, const char* value)
{
    if (value == NULL) {
        Add(line, "null");
        return;
    }
    Add(line, "\"");
    const unsigned char* end = (const unsigned char*)value + strnlen(value, REPORT_VALUE_CHARS);
    for (const unsigned char* c = (const unsigned char*)value; c < end;) {
        size_t length = Utf8Length(c);
        if (length != 0)
            Add(line, "%.*s", (int)length, (const char*)c);
        else if (*c == '"' || *c == '\\')
            Add(line, "\\%c", *c);
        else if (*c < 0x20 || *c == 0x7F)
            Add(line, "\\u%04x", *c);
        else if (*c < 0x80)
            Add(line, "%c", *c);
        else
            Add(line, "\\ufffd");
        c += length != 0 ? length : 1;
    }
    Add(line, "\"");
}

static void AddLasting(Line* line, UINT input)
{
    const char* names = input != NO_PORT ? LastingNames(true, input) : "";
    char word[256];
    const char* comma = "";
    Add(line, ",\"lasting\":[");
    for (const char* at = names + strspn(names, " "); *at != '\0'; at += strspn(at, " "), comma = ",") {
        size_t n = strcspn(at, " ");
        snprintf(word, sizeof word, "%.*s", (int)n, at);
        Add(line, "%s", comma);
        AddString(line, word);
        at += n;
    }
    Add(line, "]");
}

// The port as a word that chooses it again: the user's, else the one the
// device view found.
static void AddUnit(Line* line, const RunOptions* options)
{
    char name[MAXPNAMELEN];
    UINT input = ChosenInput();
    if (input != NO_PORT)
        PortName(true, input, name);
    Add(line, ",\"port\":");
    AddString(line, options->port != NULL ? options->port : input != NO_PORT ? PortHandle(true, input) : NULL);
    Add(line, ",\"name\":");
    AddString(line, input != NO_PORT ? name : NULL);
    AddLasting(line, input);
}

static void AddImage(Line* line, const RunOptions* options, const FirmwareImage* image)
{
    const char* file = image != NULL ? image->file : options->image;
    uint64_t bytes;
    char digest[65];
    bool hashed = file != NULL && HashFile(file, &bytes, digest);
    Add(line, ",\"image\":");
    AddString(line, file);
    if (hashed)
        Add(line, ",\"bytes\":%llu,\"sha256\":\"%s\"", (unsigned long long)bytes, digest);
    else
        Add(line, ",\"bytes\":null,\"sha256\":null");
}

bool OpenReport(const RunOptions* options)
{
    g_began = time(NULL);
    g_start = GetTickCount();
    if (options->report == NULL)
        return true;
    const char* why;
    g_report = OpenAppending(options->report, &why);
    if (g_report < 0)
        PrintEnding(MSG_NO_REPORT, Printable(options->report), why);
    return g_report >= 0;
}

void WriteReport(const RunOptions* options, const FirmwareImage* image, int status)
{
    if (g_report < 0)
        return;
    static Line line;
    char began[32];
    strftime(began, sizeof began, "%Y-%m-%dT%H:%M:%SZ", gmtime(&g_began));
    line.n = 0;
    Add(&line, "{\"began\":\"%s\"", began);
    AddUnit(&line, options);
    AddImage(&line, options, image);
    Add(&line, ",\"ending\":");
    AddString(&line, RunEnding());
    int code = status == ENDED_BY_SIGNAL ? InterruptedStatus() : status;
    Add(&line, ",\"status\":%d,\"seconds\":%.3f,\"again\":%u}\n", code, (GetTickCount() - g_start) / 1000.0,
        RecordsSentAgain());
    if (!AppendWhole(g_report, line.text, line.n))
        fprintf(stderr, "update: the report '%s' could not be written whole\n", options->report);
    g_report = -1;
}

bool ReportValue(const char* line, const char* key, char* value, size_t size)
{
    char pattern[32];
    snprintf(pattern, sizeof pattern, "\"%s\":", key);
    const char* at = strstr(line, pattern);
    if (at == NULL)
        return false;
    at += strlen(pattern);
    if (*at != '"') {
        snprintf(value, size, "%.*s", (int)strcspn(at, ",}"), at);
        return true;
    }
    size_t n = 0;
    for (++at; *at != '\0' && *at != '"' && n + 1 < size; ++at) {
        if (at[0] == '\\' && at[1] == 'u') {
            value[n++] = '?';
            at += strnlen(at, 6) - 1;
            continue;
        }
        if (at[0] == '\\' && at[1] != '\0')
            ++at;
        value[n++] = *at;
    }
    value[n] = '\0';
    return true;
}
