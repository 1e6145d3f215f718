// The platform services the program uses, by their Windows names.
//
// On Windows these are the real kernel32 and winmm functions. Elsewhere this
// header declares the same subset with the same values, and exactly one
// provider is linked: the ALSA sequencer for the shipped program, or the
// simulated platform for tests and rehearsals.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef _WIN32

#define NOMINMAX
#include <windows.h>
#include <mmsystem.h>

// The program has a LoadImage of its own; the user interface's is not used.
#undef LoadImage

// The device interface queries of midiInMessage and midiOutMessage, from the
// driver kit's header.
#ifndef DRV_QUERYDEVICEINTERFACE
#define DRV_QUERYDEVICEINTERFACE 0x080C
#define DRV_QUERYDEVICEINTERFACESIZE 0x080D
#endif

#define PATH_BUFFER_SIZE MAX_PATH

#else

#include <limits.h>

#define PATH_BUFFER_SIZE (NAME_MAX + 1)

#define CALLBACK

typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef uintptr_t DWORD_PTR;
typedef UINT MMRESULT;
typedef char* LPSTR;
typedef uint16_t WCHAR;
typedef struct MidiPort* HMIDIIN;
typedef struct MidiPort* HMIDIOUT;

#define MAXPNAMELEN 32

typedef struct {
    char szPname[MAXPNAMELEN];
} MIDIINCAPSA, MIDIOUTCAPSA;

typedef struct midihdr_tag {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
} MIDIHDR;

typedef void(CALLBACK* MIDIINPROC)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

enum {
    MMSYSERR_NOERROR = 0,
    MMSYSERR_ERROR = 1,
    MMSYSERR_BADDEVICEID = 2,
    MMSYSERR_ALLOCATED = 4,
    MMSYSERR_INVALHANDLE = 5,
    MMSYSERR_NOMEM = 7,
    MMSYSERR_NOTSUPPORTED = 8,
    MMSYSERR_INVALPARAM = 11,
    MIDIERR_UNPREPARED = 64,
    MIDIERR_STILLPLAYING = 65,
    MIDIERR_NOTREADY = 67,
};

enum {
    MIM_OPEN = 0x3C1,
    MIM_CLOSE = 0x3C2,
    MIM_DATA = 0x3C3,
    MIM_LONGDATA = 0x3C4,
    MIM_ERROR = 0x3C5,
    MIM_LONGERROR = 0x3C6,
};

#define MHDR_DONE 0x01u
#define MHDR_PREPARED 0x02u
#define MHDR_INQUEUE 0x04u

#define DRV_QUERYDEVICEINTERFACE 0x080C
#define DRV_QUERYDEVICEINTERFACESIZE 0x080D

#define CALLBACK_NULL 0x00000u
#define CALLBACK_FUNCTION 0x30000u

UINT midiInGetNumDevs(void);
MMRESULT midiInGetDevCapsA(UINT id, MIDIINCAPSA* caps, UINT size);
MMRESULT midiInOpen(HMIDIIN* in, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
MMRESULT midiInPrepareHeader(HMIDIIN in, MIDIHDR* hdr, UINT size);
MMRESULT midiInUnprepareHeader(HMIDIIN in, MIDIHDR* hdr, UINT size);
MMRESULT midiInAddBuffer(HMIDIIN in, MIDIHDR* hdr, UINT size);
MMRESULT midiInStart(HMIDIIN in);
MMRESULT midiInStop(HMIDIIN in);
MMRESULT midiInReset(HMIDIIN in);
MMRESULT midiInClose(HMIDIIN in);
// Asked with a device index cast to a handle.
MMRESULT midiInMessage(HMIDIIN device, UINT msg, DWORD_PTR param1, DWORD_PTR param2);

UINT midiOutGetNumDevs(void);
MMRESULT midiOutGetDevCapsA(UINT id, MIDIOUTCAPSA* caps, UINT size);
MMRESULT midiOutOpen(HMIDIOUT* out, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
MMRESULT midiOutPrepareHeader(HMIDIOUT out, MIDIHDR* hdr, UINT size);
MMRESULT midiOutUnprepareHeader(HMIDIOUT out, MIDIHDR* hdr, UINT size);
MMRESULT midiOutLongMsg(HMIDIOUT out, MIDIHDR* hdr, UINT size);
MMRESULT midiOutReset(HMIDIOUT out);
MMRESULT midiOutClose(HMIDIOUT out);
MMRESULT midiOutMessage(HMIDIOUT device, UINT msg, DWORD_PTR param1, DWORD_PTR param2);

void Sleep(DWORD ms);
// Milliseconds since a moment of the system's, wrapping at 2^32; on the
// simulated platform its clock, virtual time included.
DWORD GetTickCount(void);

// A wall-clock sleep, with the calling thread's timer slack at its least so
// that a 1 ms pause is not stretched; Sleep over real devices is this.
void SleepMilliseconds(DWORD ms);

// A thread of the platform's own calls this first, so that the
// interruptions reach the main thread.
void BlockInterruptions(void);

#endif

// Console, file and directory services; the same on every platform.

// Puts standard output in the mode the program writes in: each message
// written at once on a console, blocks of 4,096 bytes to a file or pipe.
void PrepareConsole(void);

// Finds the first entry of the current directory whose name matches the
// wildcard pattern by Windows' rules, and copies its name into name.
bool FindFirstMatch(const char* pattern, char* name, size_t size);

// Opens a file for reading if it is a regular file (a disk file on
// Windows), without waiting on a FIFO or a device; NULL for anything else.
FILE* OpenRegularFile(const char* path);

// Flushes standard output, then waits for a key as "pause" does.
void PauseConsole(void);
// Standard output is a console that takes the cursor's moves.
bool OutputIsConsole(void);
// The report, opened for appending before any port: -1, with why, where it
// cannot be. AppendWhole writes the text in one write, which the system
// puts whole at the file's end, so that the lines of several runs
// appending at once never mingle; then closes the file.
intptr_t OpenAppending(const char* path, const char** why);
bool AppendWhole(intptr_t file, const char* text, size_t n);

// Runs of this program on other units (update --all), each started with
// args (NULL-ended; args[0] its name), the same standard input and error,
// and its standard output a pipe this process reads. StartUnitProcess fails
// where no process can be started (in a browser). WaitForUnitOutput waits
// in real time up to ms for any run's output; ReadUnitOutput reads what has
// come without waiting: 0 where nothing has, -1 once the output ended.
// EndUnitProcess waits for the run's end: its exit status as a shell tells
// it. InterruptUnitProcess passes an interruption on, where the system
// does not give it to each run itself. MakeTempFile makes an empty file
// for the runs' reports where none is named.
#define MAX_UNIT_PROCESSES 64
struct UnitProcess {
    intptr_t process;
    intptr_t output;
};
bool StartUnitProcess(const char* const* args, UnitProcess* run);
void WaitForUnitOutput(const UnitProcess* runs, unsigned count, DWORD ms);
int ReadUnitOutput(UnitProcess* run, char* buffer, size_t size);
int EndUnitProcess(UnitProcess* run);
void InterruptUnitProcess(const UnitProcess* run);
bool MakeTempFile(char* path, size_t size);
// Why the system's MIDI ports cannot be seen at all, with what to do about
// it, or NULL.
const char* MidiSystemProblem(void);

// What the system tells beyond Windows' functions; Windows tells none of it.
// The other programs that use the system's port id, named as the system
// names them ("a2j (client 129)", "cat (process 812)"), or NULL.
const char* MidiPortUsers(bool input, UINT id);
// How the open output is written, for the trace, or NULL.
const char* MidiOutputRoute(void);
// Bytes the open output has taken that have not yet gone on to the device.
DWORD MidiOutputHeld(void);
// The device has answered: it has heard all the output was given before.
void MidiOutputHeard(void);

// How winmm reaches the devices: through Windows' MIDI service, or by the
// classic driver model; unknown where the system does not tell, as
// everywhere but on Windows.
enum MidiStack { MIDI_STACK_UNKNOWN, MIDI_STACK_CLASSIC, MIDI_STACK_SERVICE };
MidiStack GetMidiStack(void);

// Ctrl-C, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and closing the
// console) set a flag that every wait and send of the main thread looks at.
void CatchInterruptions(void);
bool Interrupted(void);
// Ends the program as the interruption would have: the output flushed and
// on POSIX the signal raised again, on Windows exit status 130.
void EndInterrupted(void);
// The exit status that ends it: 128 and the signal's number on POSIX, 130
// on Windows and in a browser.
int InterruptedStatus(void);
