// What the providers of the MIDI functions share where Windows is not: the
// input's queue of receive buffers, and the answer to the device interface
// query.
#pragma once

#include "platform.h"

#define MAX_QUEUED 4

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
