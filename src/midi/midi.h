// The MIDI transport: the device view of the system's ports, the target's
// two ports, one System Exclusive message out at a time, the receive path
// that fills the ReplyMailbox with the target's latest reply, and the wire
// trace.
#pragma once

#include "platform.h"

#include <atomic>
#include <stdint.h>

#define RX_BUFFER_SIZE 200
#define RX_BUFFERS 8
#define REPLY_BYTES_KEPT 6  // of a reply, after its F0: the status and five more
#define MAX_SYSEX_PAYLOAD 46
#define RELEASE_QUICK_ASKS 100  // after a 1 ms pause each ...
#define RELEASE_SLOW_ASKS 100   // ... then after RELEASE_SLOW_MS each
#define RELEASE_SLOW_MS 100
#define SENT_POLLS 2000  // a 4,096-byte buffer passes on in 1.3 s at a DIN device's pace

// The device view (devices.cpp): the system's MIDI ports less those that
// are not devices: a MIDI service's own loopback, app-to-app and
// diagnostic endpoints, and on Linux synthesizers that cannot be read,
// through ports and programs' ports. Indices count the view; a view index
// past the last gives the system's own count, an index no port has.
UINT CountMidiIns(void);
UINT CountMidiOuts(void);
UINT MidiInId(UINT index);
UINT MidiOutId(UINT index);
// Why the view leaves out the system's port id, or NULL for a device.
const char* WhyNotADevice(bool input, UINT id);
// The name of the system's port id, empty when the query fails.
void PortName(bool input, UINT id, char name[MAXPNAMELEN]);
// The system's own id of the port, which its interface path begins with:
// an ALSA client:port, a Windows interface path; empty where the system
// tells none.
const char* PortId(bool input, UINT id);
// A USB unit's lasting names, each with its prefix, where the system tells
// them: "usb:" and where it is plugged, "serial:" and its serial number,
// apart by spaces; empty otherwise.
const char* LastingNames(bool input, UINT id);
// What the system's device interface query answers for the port, or "".
const char* InterfacePath(bool input, UINT id);
bool HasLastingName(bool input, UINT id, const char* name);
// The names the device stage passes over: the system synthesizer on the
// output side, and any port named after the system's maker.
bool IsSystemSynthesizer(const char* name);
bool IsPassedOverByName(const char* name);
// Every port the system lists, numbered from 1 on each side, with the
// interface path the system tells and what the device stage does with it,
// a line each: "in 2: NAME [PATH] (not counted: WHY)". PrintMidiPort
// leaves the line open.
void ListMidiPorts(void);
void PrintMidiPort(bool input, UINT id);
// Which way winmm reaches the devices, as a line for --list and the
// trace; NULL where the system does not tell.
const char* DescribeMidiStack(void);

// The target's ports (ports.cpp), which the device stages open: the
// output past the system synthesizer, the input and output by view index
// (passing over a port named after the system's maker) or by the system's
// id as they are. A port that fails to open is told as missing, and as in
// use by another program where the system says so (TellOpenFailure); with
// both open, the trace says how the output is written, and standard error
// names other programs that can send to the device meanwhile
// (BothPortsOpen).
bool TellOpenFailure(bool input, uint16_t result);
bool BothPortsOpen(void);
UINT SelectOutputStart(void);
uint16_t OpenMidiIn(UINT deviceId);
uint16_t OpenMidiOut(UINT deviceId);
// Open the system's port id as it is, whatever its name, and name it.
uint16_t OpenInputPort(UINT id, char name[MAXPNAMELEN]);
uint16_t OpenOutputPort(UINT id, char name[MAXPNAMELEN]);
int CloseMidiIn(void);
int CloseMidiOut(void);
// Whether the system still lists the open output: a port of its id where
// the system tells one, else a port of its name in its place.
bool OutputListed(void);
// The device stages (choose.cpp), which print the ending's message and
// return false when the run cannot go on. Without --port: exactly one
// input the device view counts, the output past the system synthesizer.
// For a port the user chose: an input's number in the list, a unit's
// lasting name, a port's id, a name or part of one (a port named exactly
// so wins); the input and the output are opened as they are. Where the
// choice is not one port a side, the candidates are listed, each with the
// word after --port that chooses it (PortHandle), NULL where none does.
#define NO_PORT 0xFFFFFFFFu
bool OpenTargetPorts(void);
bool OpenChosenPorts(const char* port);
const char* PortHandle(bool input, UINT id);
// The input this run opened or tried to, or NO_PORT.
UINT ChosenInput(void);
void PrintChoosablePort(bool input, UINT id);
// For scripts: a line for each input the device view counts, the word that
// chooses it, a tab and its name; false where none is listed.
bool ListUnits(void);
// The word that chooses the index-th input the device view counts, and its
// name; NULL, said on standard error, where no word chooses it.
const char* CountedUnit(UINT index, char name[MAXPNAMELEN]);

// Frames payload as F0 ... F7 and returns once the output is done with it
// (sysex.cpp). Where the system still holds what the output has taken,
// WaitUntilSent waits, polling every 1 ms at most SENT_POLLS times, until
// it has passed all of it on to the device: the device cannot answer a
// message before it has all of it.
//
// Windows' MIDI service fails a send that the device has not taken within
// its time-out, and every send after it until the device takes again, but
// keeps each in its buffer for the device (it drops one only when its
// buffer stays full). Such a send to a device still listed ends in
// SEND_QUEUED: the message is counted as sent, and will most likely reach
// the device late.
#define SEND_QUEUED 0xFFFFu
extern HMIDIOUT g_hMidiOut;
uint16_t SendSysEx(const uint8_t* payload, uint16_t n);
void WaitUntilSent(void);
// How many messages the output has taken so far, and how many of them the
// MIDI service kept unconfirmed.
unsigned MessagesSent(void);
unsigned MessagesQueued(void);

// The receive path (receive.cpp). The input callback may make no MIDI
// call, so the main thread queues each buffer that has come back again, at
// every poll of the mailbox, before every message it sends and at every
// wait for the output; meanwhile the other buffers stay queued, so that a
// message is lost only when all are out at once. A buffer the input
// refuses is tried again at the next hand-back.
void QueueRxBuffers(HMIDIIN in);
void HandBackRxBuffers(void);
// Stops the input and takes every buffer back, so that it can be closed.
void WithdrawRxBuffers(void);

// The ReplyMailbox holds the latest reply only. The input callback
// publishes the byte count of the last reply received (bits 0 to 15, 0 for
// nothing new) together with its first bytes after the F0 (a byte each
// from bit 16, the status first) in g_rxCount, so that a count and its
// bytes are always seen and taken as one. A reply is a message of two or
// more bytes that begins with F0: a single byte is noise, and a buffer that
// does not begin with F0 carries the rest of a message longer than one
// buffer. Then the callback sets the buffer's bit (its header's dwUser) in
// g_rxReturned: it has come back from the input.
extern std::atomic<uint64_t> g_rxCount;
extern std::atomic<uint32_t> g_rxReturned;
extern uint8_t g_rxBuffer[RX_BUFFERS][RX_BUFFER_SIZE];

void CALLBACK MidiInCallback(HMIDIIN in, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

int16_t ReplyCount(void);
// Polls every 1 ms, at most polls times, until a reply is there.
void WaitForReply(int polls);
// Takes the reply out of the mailbox and gives its status.
bool TakeReply(uint8_t* status);
// Takes a reply that is owed to an earlier sending out of the mailbox.
bool DropReply(void);

// The trace on standard error (trace.cpp), once started: its head (the
// program, its arguments, the stack and the ports listed), then every
// message sent, every reply taken or dropped, every record sent again and
// what the system answered, a line each with the milliseconds since the
// start.
void StartTrace(int argc, char** argv);
bool Tracing(void);
// The first shown of a message's n bytes, and a note if any.
void TraceMessage(char direction, const uint8_t* bytes, unsigned shown, unsigned n, const char* note);
void TraceRecordAgain(unsigned record, unsigned attempt);
void TraceNote(const char* text);
// A note of up to three fields after its key, tab apart; NULL ends them.
void TraceFields(const char* key, const char* first, const char* second, const char* third);
// A port call's answer: "midiInOpen(2) = 0".
void TraceCall(const char* call, UINT id, unsigned result);
