// The MIDI transport: the target's two ports, one System Exclusive message
// out at a time, and the mailbox that holds the target's latest reply.
#pragma once

#include "platform.h"

#include <atomic>
#include <stdint.h>

#define RX_BUFFER_SIZE 200
#define MAX_SYSEX_PAYLOAD 46
#define RELEASE_WAITS 100
#define RELEASE_WAIT_MS 100

// Port state shared by the port operations, the output and the input
// callback; the callback queues the buffer again only while g_inOpen is set.
extern HMIDIOUT g_hMidiOut;
extern std::atomic<uint8_t> g_inOpen;
extern uint8_t g_rxBuffer[RX_BUFFER_SIZE];

// The reply mailbox. The callback publishes the byte count of the last
// message received (low 16 bits) together with its status byte (bits 16 to
// 23), so that a count and a status are always seen and taken as one pair.
extern std::atomic<uint32_t> g_rxReply;

// Device stage: exactly one input, the output past the system synthesizer.
// Prints the ending's message and returns false when the run cannot go on.
bool OpenTargetPorts(void);
UINT SelectOutputStart(void);
uint16_t OpenMidiIn(UINT deviceId);
uint16_t OpenMidiOut(UINT deviceId);
int CloseMidiIn(void);
int CloseMidiOut(void);

// Frames payload as F0 ... F7 and returns once the output is done with it.
uint16_t SendSysEx(const uint8_t* payload, uint16_t n);

void CALLBACK MidiInCallback(HMIDIIN in, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

// Byte count of the message in the mailbox: 0 for nothing new, 1 for a
// message too short to be a reply.
int16_t PeekReplyCount(void);
// Takes a reply of two or more bytes out of the mailbox and gives its status.
bool TakeReply(uint8_t* status);
