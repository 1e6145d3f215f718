// The MIDI functions the program uses, over the ALSA sequencer: the parts
// that devices.cpp, input.cpp and output.cpp share.
//
// The ports are the sequencer's, in client and port order, but the system
// client's and this program's own; the interface query tells each one's
// client:port and kind (#SEQ_HARDWARE, #SEQ_SYNTH, #SEQ_THROUGH or
// #SEQ_PROGRAM), from which the program's device view decides which are
// devices.
#pragma once

#include "platform.h"
#include "provider.h"

#include <alsa/asoundlib.h>
#include <errno.h>

struct Device {
    int client;
    int port;
    int card;       // the sound card of a device's driver, or -1
    bool userland;  // a program's port, not a driver's
    char name[MAXPNAMELEN];
    char path[160];  // "CLIENT:PORT #KIND" and a USB unit's lasting names, what the interface query tells
};

// An open port: this program's own port on a sequencer client, and the
// device's port it is joined to.
struct MidiPort {
    snd_seq_t* seq;
    int port;
    Device device;
    bool open;
};

// A raw MIDI device that another program has open: the raw open says
// EBUSY, and the kernel's own open for the sequencer's bridge EAGAIN.
static inline bool IsBusy(int error)
{
    return error == -EBUSY || error == -EAGAIN;
}

// Capabilities that a device's port has, seen from this program: it reads
// from an input and writes to an output.
extern const unsigned IN_CAPS;
extern const unsigned OUT_CAPS;

snd_seq_t* OpenClient(const char* name, int mode);
// The client that lists the devices and sends the output's messages.
snd_seq_t* MainClient(void);
bool FindDevice(unsigned caps, UINT id, Device* device);
// The first line of a small file of the system's, without its line end;
// empty and false when it cannot be read (unit.cpp).
bool ReadFirstLine(const char* file, char* line, size_t size);
// Appends to path the lasting names of the sound card's USB unit, where it
// is one (unit.cpp): " usb:PLACE serial:NUMBER".
void AppendUnitNames(int card, char* path, size_t size);
// The raw MIDI substream behind a driver's port, from /proc (users.cpp),
// whose path lands in procPath; false where it cannot be read.
bool RawmidiUseOf(const Device* device, bool output, RawmidiUse* use, char* procPath, size_t size);
// The events' room, in cells of 28 bytes, left in the queue of a userland
// client, through the sequencer's descriptor fd; -1 when it cannot be told.
int ReaderRoom(int fd, int client);
