// What the providers of the MIDI functions share where Windows is not: the
// input's queue of receive buffers, the answer to the device interface
// query, and the pace of an output held by the ALSA sequencer's bridge.
#pragma once

#include "platform.h"

#define MAX_QUEUED 8

// Buffers given to the input with midiInAddBuffer, in order.
struct RxQueue {
    MIDIHDR* headers[MAX_QUEUED];
    int count;
};

MMRESULT PrepareRx(MIDIHDR* hdr);
// A buffer still queued cannot be unprepared.
MMRESULT UnprepareRx(MIDIHDR* hdr);
// midiInAddBuffer: a prepared buffer joins the queue, empty, while it has room.
MMRESULT AddRx(RxQueue* queue, MIDIHDR* hdr);
// The first buffer leaves the queue, done.
MIDIHDR* TakeRx(RxQueue* queue);

// The device interface query for a port whose path is path, asked with a
// device index for a handle: the size in bytes of the path with its
// terminating NUL, then the path as 16-bit characters. A port without a
// path does not support it.
MMRESULT AnswerInterfaceQuery(const char* path, UINT msg, DWORD_PTR param1, DWORD_PTR param2);

// A raw MIDI substream as the kernel tells it in /proc/asound/cardN/midiD.
struct RawmidiUse {
    long ownerPid;    // 0 while no one has it open
    long bufferSize;  // bytes; -1 while it is closed
    long avail;       // bytes of room (output) or waiting (input)
};
// Reads the lines of output or input substream subdevice from the file's
// text; false when the text has no such substream.
bool ParseRawmidiProc(const char* text, bool output, unsigned subdevice, RawmidiUse* use);

// The sequencer's bridge to a raw MIDI device that another program holds
// drops what does not fit the device's buffer, and still reports success.
// A message waits until the buffer has room for all of it and a margin for
// what other programs send meanwhile. Where the room cannot be read, the
// output goes at the pace a device behind a DIN link keeps, up to three
// quarters of the smallest buffer (a page of 4 KiB) ahead of it, which the
// buffer absorbs; a device's answer says it has heard all that went
// before, so the count starts afresh there (HearPace), and a record that
// fits that much is never held back. What the device has yet to hear is
// reckoned at the slowest device's pace, so that the wait for its answer
// does not begin before such a device can give it.
#define HELD_ROOM_MARGIN 64
#define DIN_BYTES_PER_SECOND 3125u
#define SLOWEST_BYTES_PER_SECOND 500u
#define PACE_AHEAD_BYTES 3072u
struct Pace {
    uint64_t freeAtUs;   // when all counted so far has passed at the DIN pace
    uint64_t heardAtUs;  // ... and at the slowest device's
};
// Whether bytes may go at nowUs; counts them if so.
bool TakePace(Pace* pace, uint64_t nowUs, DWORD bytes);
// Bytes counted that the slowest device would not yet have heard at nowUs.
DWORD PaceHeld(const Pace* pace, uint64_t nowUs);
// The device has heard all that was counted.
void HearPace(Pace* pace, uint64_t nowUs);
// The trace's line on how the output is written: through the raw MIDI
// device; through the sequencer to a program; or through the sequencer's
// bridge to a device held for another program, paced by its room (use,
// read from procPath) or, where use is NULL, at the DIN pace.
enum Route { ROUTE_RAW, ROUTE_PROGRAM, ROUTE_HELD };
const char* DescribeRoute(Route route, const char* device, const char* procPath, const RawmidiUse* use);
