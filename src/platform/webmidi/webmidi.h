// The MIDI functions the program uses, over Web MIDI in a browser tab.
//
// The page asks the browser for MIDI access with System Exclusive and hands
// it to the module; the functions below, written in JavaScript
// (webmidi.js), reach the ports through it. The program runs on the page's
// own thread, the only one with Web MIDI, and its waits give the page back
// to the browser: that is when messages arrive. The input keeps them until
// the wait ends and delivers them then, on the program's thread, to its
// queued buffers and its callback.
#pragma once

#include "platform.h"

extern "C" {
// The ports in the order MIDIAccess lists them, taken once per run; 0 with
// no MIDI access.
int WebMidiCount(int input);
// The port's name and its id, each cut to size - 1 bytes of UTF-8 and ended
// by a NUL.
void WebMidiName(int input, int id, char* name, int size);
void WebMidiId(int input, int id, char* portId, int size);
// Why the page has no MIDI access, in the page's words, cut to size - 1
// bytes; nonzero when it has none.
int WebMidiProblem(char* text, int size);
// Listens to input id (input true) or sends to output id, once the browser
// has opened the port; nonzero when it is gone or cannot be opened.
int WebMidiOpen(int input, int id);
void WebMidiClose(int input);
// Hands a whole message to the output; nonzero when the port is gone or
// refuses it.
int WebMidiSend(const void* bytes, int size);
// The oldest System Exclusive message received and not yet taken: copies
// at most size bytes of it and gives its whole length, 0 when none waits.
int WebMidiTake(void* bytes, int size);
// Nonzero once the page's Cancel button has been pressed.
int WebMidiCancelled(void);
// The page's clock, in milliseconds.
double WebMidiNow(void);
// Gives the page back to the browser for ms milliseconds. It does not end
// early: the pause after each chunk paces the device, and a wait for a reply
// polls every millisecond anyway.
void WebMidiSleep(int ms);
}
