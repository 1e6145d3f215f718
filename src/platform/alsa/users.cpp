// Who else uses a device's port: the programs subscribed to it through the
// sequencer, named as the sequencer names their clients, and the process
// that holds the raw MIDI device behind it, as the kernel tells it in
// /proc/asound/cardN/midiD. A process the kernel names may have gone since;
// only a living one is named.
#include "alsa/alsa.h"
#include "provider.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#define PROC_TEXT_CHARS 4096

bool RawmidiUseOf(const Device* device, bool output, RawmidiUse* use, char* procPath, size_t size)
{
    char text[PROC_TEXT_CHARS];
    if (device->card < 0)
        return false;
    snprintf(procPath, size, "/proc/asound/card%d/midi%d", device->card, device->port / 32);
    FILE* file = fopen(procPath, "r");
    if (file == NULL)
        return false;
    size_t n = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[n] = '\0';
    return ParseRawmidiProc(text, output, (unsigned)(device->port % 32), use);
}

static void Append(char* text, size_t size, const char* name, const char* what, long number)
{
    size_t used = strlen(text);
    snprintf(text + used, size - used, "%s%s (%s %ld)", used != 0 ? ", " : "", name, what, number);
}

// The subscribers that read from an input or write to an output, but this
// process's own.
static void AppendSubscribers(const Device* device, bool input, char* text, size_t size)
{
    snd_seq_t* seq = MainClient();
    snd_seq_query_subscribe_t* query;
    snd_seq_client_info_t* client;
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_client_info_alloca(&client);
    snd_seq_addr_t root = {(unsigned char)device->client, (unsigned char)device->port};
    snd_seq_query_subscribe_set_root(query, &root);
    snd_seq_query_subscribe_set_type(query, input ? SND_SEQ_QUERY_SUBS_READ : SND_SEQ_QUERY_SUBS_WRITE);
    for (int index = 0;; ++index) {
        snd_seq_query_subscribe_set_index(query, index);
        if (seq == NULL || snd_seq_query_port_subscribers(seq, query) < 0)
            return;
        int other = snd_seq_query_subscribe_get_addr(query)->client;
        if (snd_seq_get_any_client_info(seq, other, client) < 0 || snd_seq_client_info_get_pid(client) == getpid())
            continue;
        Append(text, size, snd_seq_client_info_get_name(client), "client", other);
    }
}

// The process that holds the raw MIDI device, where no subscriber does.
static void AppendHolder(const Device* device, bool input, char* text, size_t size)
{
    char path[64], name[64];
    RawmidiUse use;
    if (*text != '\0' || !RawmidiUseOf(device, !input, &use, path, sizeof path) || use.ownerPid <= 0 ||
        use.ownerPid == getpid())
        return;
    snprintf(path, sizeof path, "/proc/%ld/comm", use.ownerPid);
    if (ReadFirstLine(path, name, sizeof name))
        Append(text, size, name, "process", use.ownerPid);
}

const char* MidiPortUsers(bool input, UINT id)
{
    static char text[400];
    Device device;
    text[0] = '\0';
    if (!FindDevice(input ? IN_CAPS : OUT_CAPS, id, &device))
        return NULL;
    AppendSubscribers(&device, input, text, sizeof text);
    AppendHolder(&device, input, text, sizeof text);
    return *text != '\0' ? text : NULL;
}
