// The sequencer's hardware ports as MIDI devices: counts, names, and the
// device interface query, which the sequencer cannot answer.
#include "alsa/alsa.h"

#include <string.h>

#define MAX_DEVICES 32

const unsigned IN_CAPS = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
const unsigned OUT_CAPS = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

static snd_seq_t* g_seq;

static void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

snd_seq_t* OpenClient(const char* name, int mode)
{
    snd_lib_error_set_handler(IgnoreAlsaError);
    snd_seq_t* seq = NULL;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, mode) < 0)
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

// Lists the hardware ports with both capabilities; no sequencer, no devices.
static int ListDevices(unsigned caps, Device* list)
{
    snd_seq_t* seq = MainClient();
    if (seq == NULL)
        return 0;
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    int n = 0;
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        int id = snd_seq_client_info_get_client(client);
        if (id == SND_SEQ_CLIENT_SYSTEM || id == snd_seq_client_id(seq))
            continue;
        snd_seq_port_info_set_client(port, id);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0 && n < MAX_DEVICES) {
            if ((snd_seq_port_info_get_capability(port) & caps) != caps ||
                (snd_seq_port_info_get_type(port) & SND_SEQ_PORT_TYPE_HARDWARE) == 0)
                continue;
            list[n].client = id;
            list[n].port = snd_seq_port_info_get_port(port);
            list[n].userland = snd_seq_client_info_get_type(client) == SND_SEQ_USER_CLIENT;
            list[n].card = list[n].userland ? -1 : snd_seq_client_info_get_card(client);
            snprintf(list[n].name, sizeof list[n].name, "%s", snd_seq_port_info_get_name(port));
            ++n;
        }
    }
    return n;
}

bool FindDevice(unsigned caps, UINT id, Device* device)
{
    Device list[MAX_DEVICES];
    if (id >= (UINT)ListDevices(caps, list))
        return false;
    *device = list[id];
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

UINT midiInGetNumDevs(void)
{
    Device list[MAX_DEVICES];
    return (UINT)ListDevices(IN_CAPS, list);
}

UINT midiOutGetNumDevs(void)
{
    Device list[MAX_DEVICES];
    return (UINT)ListDevices(OUT_CAPS, list);
}

MMRESULT midiInGetDevCapsA(UINT id, MIDIINCAPSA* caps, UINT)
{
    return CopyName(IN_CAPS, id, caps->szPname);
}

MMRESULT midiOutGetDevCapsA(UINT id, MIDIOUTCAPSA* caps, UINT)
{
    return CopyName(OUT_CAPS, id, caps->szPname);
}

// Every hardware port is a device.
MMRESULT midiInMessage(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR)
{
    return MMSYSERR_NOTSUPPORTED;
}

MMRESULT midiOutMessage(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR)
{
    return MMSYSERR_NOTSUPPORTED;
}
