// The sequencer's ports as MIDI devices: counts, names, and the device
// interface query, which tells each port's kind as a path would on
// Windows.
//
// Every port this program could read from or write to is listed, in client
// and port order, but the system client's and this program's own; the
// program's device view decides which are devices. The lists are made
// when the program counts the ports, and the later calls use them.
#include "alsa/alsa.h"
#include "provider.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <vector>

const unsigned IN_CAPS = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
const unsigned OUT_CAPS = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

#define LIST_FRESH_MS 1000

static snd_seq_t* g_seq;
static int g_seqError;  // why the sequencer could not be opened
static std::vector<Device> g_ins, g_outs;

static void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

snd_seq_t* OpenClient(const char* name, int mode)
{
    snd_lib_error_set_handler(IgnoreAlsaError);
    snd_seq_t* seq = NULL;
    g_seqError = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, mode);
    if (g_seqError < 0)
        return NULL;
    snd_seq_set_client_name(seq, name);
    return seq;
}

snd_seq_t* MainClient(void)
{
    if (g_seq == NULL)
        g_seq = OpenClient("update", 0);
    return g_seq;
}

// A device's port, unless it is a synthesizer's that cannot be read (a
// sound card's own); a "Midi Through" port; any other synthesizer; or a
// program's port.
static const char* KindOf(const snd_seq_port_info_t* port)
{
    const unsigned synth = SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_DIRECT_SAMPLE | SND_SEQ_PORT_TYPE_SAMPLE |
                           SND_SEQ_PORT_TYPE_SYNTHESIZER;
    unsigned type = snd_seq_port_info_get_type(port);
    bool readable = (snd_seq_port_info_get_capability(port) & SND_SEQ_PORT_CAP_READ) != 0;
    if ((type & SND_SEQ_PORT_TYPE_HARDWARE) != 0)
        return (type & synth) != 0 && !readable ? "SEQ_SYNTH" : "SEQ_HARDWARE";
    if ((type & SND_SEQ_PORT_TYPE_PORT) != 0)
        return "SEQ_THROUGH";
    return (type & synth) != 0 ? "SEQ_SYNTH" : "SEQ_PROGRAM";
}

static Device DeviceOf(const snd_seq_client_info_t* client, const snd_seq_port_info_t* port)
{
    Device device;
    device.client = snd_seq_client_info_get_client(client);
    device.port = snd_seq_port_info_get_port(port);
    device.userland = snd_seq_client_info_get_type(client) == SND_SEQ_USER_CLIENT;
    device.card = device.userland ? -1 : snd_seq_client_info_get_card(client);
    snprintf(device.name, sizeof device.name, "%s", snd_seq_port_info_get_name(port));
    snprintf(device.path, sizeof device.path, "%d:%d #%s", device.client, device.port, KindOf(port));
    if (device.card >= 0)
        AppendUnitNames(device.card, device.path, sizeof device.path);
    return device;
}

// No sequencer, no ports.
static void ListPorts(unsigned caps, std::vector<Device>* list)
{
    list->clear();
    snd_seq_t* seq = MainClient();
    if (seq == NULL)
        return;
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        int id = snd_seq_client_info_get_client(client);
        if (id == SND_SEQ_CLIENT_SYSTEM || id == snd_seq_client_id(seq))
            continue;
        snd_seq_port_info_set_client(port, id);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0)
            if ((snd_seq_port_info_get_capability(port) & caps) == caps)
                list->push_back(DeviceOf(client, port));
    }
}

static std::vector<Device>* Listed(unsigned caps)
{
    std::vector<Device>* list = caps == IN_CAPS ? &g_ins : &g_outs;
    if (list->empty())
        ListPorts(caps, list);
    return list;
}

bool FindDevice(unsigned caps, UINT id, Device* device)
{
    std::vector<Device>* list = Listed(caps);
    if (id >= list->size())
        return false;
    *device = (*list)[id];
    return true;
}

static MMRESULT CopyName(unsigned caps, UINT id, char* name)
{
    Device device;
    if (!FindDevice(caps, id, &device))
        return MMSYSERR_BADDEVICEID;
    memcpy(name, device.name, MAXPNAMELEN);
    return MMSYSERR_NOERROR;
}

// Choosing a port, or the word for each unit, asks for the count many
// times within a moment, and a listing asks the sequencer and each card:
// the ports are listed anew only once LIST_FRESH_MS have passed since they
// were last, and a device plugged in or out meanwhile is seen then.
static UINT Count(unsigned caps, std::vector<Device>* list, DWORD* listedAt)
{
    DWORD now = GetTickCount();
    if (list->empty() || now - *listedAt >= LIST_FRESH_MS) {
        ListPorts(caps, list);
        *listedAt = now;
    }
    return (UINT)list->size();
}

UINT midiInGetNumDevs(void)
{
    static DWORD listedAt;
    return Count(IN_CAPS, &g_ins, &listedAt);
}

UINT midiOutGetNumDevs(void)
{
    static DWORD listedAt;
    return Count(OUT_CAPS, &g_outs, &listedAt);
}

MMRESULT midiInGetDevCapsA(UINT id, MIDIINCAPSA* caps, UINT)
{
    return CopyName(IN_CAPS, id, caps->szPname);
}

MMRESULT midiOutGetDevCapsA(UINT id, MIDIOUTCAPSA* caps, UINT)
{
    return CopyName(OUT_CAPS, id, caps->szPname);
}

// The port's id and kind, as a path that the device view reads.
static MMRESULT QueryInterface(unsigned caps, UINT id, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    Device device;
    if (!FindDevice(caps, id, &device))
        return MMSYSERR_BADDEVICEID;
    return AnswerInterfaceQuery(device.path, msg, param1, param2);
}

MMRESULT midiInMessage(HMIDIIN device, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    return QueryInterface(IN_CAPS, (UINT)(uintptr_t)device, msg, param1, param2);
}

MMRESULT midiOutMessage(HMIDIOUT device, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    return QueryInterface(OUT_CAPS, (UINT)(uintptr_t)device, msg, param1, param2);
}

// A sequencer device that is not there is no matter of access: the system
// has no sound devices, or its sequencer module is not loaded.
const char* MidiSystemProblem(void)
{
    static char text[400];
    if (MainClient() != NULL)
        return NULL;
    if (g_seqError == -ENOENT)
        snprintf(text, sizeof text,
                 "The ALSA sequencer cannot be opened: %s. The MIDI devices are seen through it (/dev/snd/seq),\n"
                 "which this system lacks: it has no sound devices, or the ALSA sequencer module is not loaded\n"
                 "(sudo modprobe snd-seq; a container needs the host's /dev/snd).\n",
                 snd_strerror(g_seqError));
    else
        snprintf(text, sizeof text,
                 "The ALSA sequencer cannot be opened: %s. The MIDI devices are seen through it (/dev/snd/seq).\n"
                 "To be let in, join the 'audio' group (sudo usermod -aG audio $USER, then log in again),\n"
                 "or run from a desktop session, which has the seat's access.\n",
                 snd_strerror(g_seqError));
    return text;
}

// Linux has no MIDI service of Windows' to tell of.
MidiStack GetMidiStack(void)
{
    return MIDI_STACK_UNKNOWN;
}
