#include "provider.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

MMRESULT PrepareRx(MIDIHDR* hdr)
{
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT UnprepareRx(MIDIHDR* hdr)
{
    if ((hdr->dwFlags & MHDR_INQUEUE) != 0)
        return MIDIERR_STILLPLAYING;
    hdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT AddRx(RxQueue* queue, MIDIHDR* hdr)
{
    if ((hdr->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    if (queue->count == MAX_QUEUED)
        return MMSYSERR_NOMEM;
    hdr->dwFlags = (hdr->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    hdr->dwBytesRecorded = 0;
    queue->headers[queue->count++] = hdr;
    return MMSYSERR_NOERROR;
}

MIDIHDR* TakeRx(RxQueue* queue)
{
    MIDIHDR* header = queue->headers[0];
    --queue->count;
    for (int i = 0; i < queue->count; ++i)
        queue->headers[i] = queue->headers[i + 1];
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    return header;
}

MMRESULT AnswerInterfaceQuery(const char* path, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    DWORD size = (DWORD)(strlen(path) + 1) * sizeof(WCHAR);
    if (*path == '\0' || (msg != DRV_QUERYDEVICEINTERFACESIZE && msg != DRV_QUERYDEVICEINTERFACE))
        return MMSYSERR_NOTSUPPORTED;
    if (msg == DRV_QUERYDEVICEINTERFACESIZE) {
        *(DWORD*)param1 = size;
        return MMSYSERR_NOERROR;
    }
    if (param2 < size)
        return MMSYSERR_INVALPARAM;
    WCHAR* out = (WCHAR*)param1;
    for (size_t i = 0; i * sizeof(WCHAR) < size; ++i)
        out[i] = (WCHAR)(unsigned char)path[i];
    return MMSYSERR_NOERROR;
}

// "Output 0" and its indented lines, "  Owner PID    : 812", up to the next
// substream's heading.
bool ParseRawmidiProc(const char* text, bool output, unsigned subdevice, RawmidiUse* use)
{
    char heading[32];
    snprintf(heading, sizeof heading, "\n%s %u\n", output ? "Output" : "Input", subdevice);
    const char* at = strstr(text, heading);
    if (at == NULL)
        return false;
    *use = RawmidiUse{0, -1, 0};
    for (const char* line = at + strlen(heading); *line == ' '; line = strchr(line, '\n') + 1) {
        const char* colon = strchr(line, ':');
        const char* end = strchr(line, '\n');
        if (colon == NULL || end == NULL || colon > end)
            break;
        long value = strtol(colon + 1, NULL, 10);
        if (strncmp(line, "  Owner PID", 11) == 0)
            use->ownerPid = value;
        else if (strncmp(line, "  Buffer size", 13) == 0)
            use->bufferSize = value;
        else if (strncmp(line, "  Avail", 7) == 0)
            use->avail = value;
    }
    return true;
}

static uint64_t PassingUs(DWORD bytes, unsigned bytesPerSecond)
{
    return (uint64_t)bytes * 1000000u / bytesPerSecond;
}

static uint64_t Later(uint64_t a, uint64_t b)
{
    return a > b ? a : b;
}

static uint64_t Earlier(uint64_t a, uint64_t b)
{
    return a < b ? a : b;
}

bool TakePace(Pace* pace, uint64_t nowUs, DWORD bytes)
{
    if (pace->freeAtUs > nowUs + PassingUs(PACE_AHEAD_BYTES, DIN_BYTES_PER_SECOND))
        return false;
    pace->freeAtUs = Later(pace->freeAtUs, nowUs) + PassingUs(bytes, DIN_BYTES_PER_SECOND);
    pace->heardAtUs = Later(pace->heardAtUs, nowUs) + PassingUs(bytes, SLOWEST_BYTES_PER_SECOND);
    return true;
}

DWORD PaceHeld(const Pace* pace, uint64_t nowUs)
{
    return pace->heardAtUs > nowUs ? (DWORD)((pace->heardAtUs - nowUs) * SLOWEST_BYTES_PER_SECOND / 1000000u) : 0;
}

void HearPace(Pace* pace, uint64_t nowUs)
{
    pace->freeAtUs = Earlier(pace->freeAtUs, nowUs);
    pace->heardAtUs = Earlier(pace->heardAtUs, nowUs);
}

const char* DescribeRoute(Route route, const char* device, const char* procPath, const RawmidiUse* use)
{
    static char text[300];
    if (route == ROUTE_RAW)
        snprintf(text, sizeof text, "output: the raw MIDI device %s, as fast as it takes", device);
    else if (route == ROUTE_PROGRAM)
        snprintf(text, sizeof text, "output: through the sequencer to a program's port, as fast as it reads");
    else if (use != NULL)
        snprintf(text, sizeof text,
                 "output: through the sequencer, which holds the raw MIDI device %s for another program; each "
                 "message waits for room in its buffer, as %s tells it (%ld bytes, %ld free)",
                 device, procPath, use->bufferSize, use->avail);
    else
        snprintf(text, sizeof text,
                 "output: through the sequencer, which holds the raw MIDI device %s for another program; %s "
                 "does not tell its room, so messages go at %u bytes a second past %u bytes since the device's "
                 "last answer, and each answer is waited for as a device of %u bytes a second needs",
                 device, procPath, DIN_BYTES_PER_SECOND, PACE_AHEAD_BYTES, SLOWEST_BYTES_PER_SECOND);
    return text;
}
