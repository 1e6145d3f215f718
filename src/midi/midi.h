// The MIDI transport: the target's two ports, one System Exclusive message
// out at a time, and the ReplyMailbox that holds the target's latest reply.
#pragma once

#include "platform.h"

#include <atomic>
#include <stdint.h>

#define RX_BUFFER_SIZE 200
#define MAX_SYSEX_PAYLOAD 46
#define RELEASE_WAITS 100
#define RELEASE_WAIT_MS 100

// The device view: the system's MIDI ports less its own software endpoints
// (loopback, app-to-app and diagnostic ports of a MIDI service), which are
// not devices. Indices count the view; a view index past the last gives the
// system's own count, an index no port has.
UINT CountMidiIns(void);
UINT CountMidiOuts(void);
UINT MidiInId(UINT index);
UINT MidiOutId(UINT index);

// Device stage: exactly one input, the output past the system synthesizer.
// Prints the ending's message and returns false when the run cannot go on.
// Device ids here are indices of the view.
bool OpenTargetPorts(void);
UINT SelectOutputStart(void);
uint16_t OpenMidiIn(UINT deviceId);
uint16_t OpenMidiOut(UINT deviceId);
int CloseMidiIn(void);
int CloseMidiOut(void);

// Queues the receive buffer on the input again once the input has given it
// back, unless the input is closing. The input callback may make no MIDI
// call, so the main thread does this at every poll of the mailbox and
// before every message it sends.
void HandBackRxBuffer(void);

// Frames payload as F0 ... F7 and returns once the output is done with it.
extern HMIDIOUT g_hMidiOut;
uint16_t SendSysEx(const uint8_t* payload, uint16_t n);

// The ReplyMailbox. The input callback publishes the byte count of the last
// message received (low 16 bits, 0 for nothing new, 1 for a message too
// short to be a reply) together with its status byte (bits 16 to 23) in
// g_rxCount, so that a count and its status are always seen and taken as
// one; the message itself stays in g_rxBuffer until the next one. Then it
// sets g_rxReturned: the buffer has come back from the input.
extern std::atomic<uint32_t> g_rxCount;
extern std::atomic<bool> g_rxReturned;
extern uint8_t g_rxBuffer[RX_BUFFER_SIZE];

void CALLBACK MidiInCallback(HMIDIIN in, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

int16_t ReplyCount(void);
// Polls every 1 ms, at most polls times, until any message is there.
void WaitForAnything(int polls);
// The same until a reply of two or more bytes is there.
void WaitForReply(int polls);
// Takes a reply of two or more bytes out of the mailbox and gives its status.
bool TakeReply(uint8_t* status);
