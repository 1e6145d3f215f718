// Where a sound card's USB device is plugged and its serial number: the
// names that stay with a unit when the sound cards are numbered anew, as
// they are at every plug and boot.
//
// The place is the controller and port that the card's long name gives
// (" at usb-0000:00:14.0-2, high speed"), not the bus number, which follows
// the order the controllers were found in. The serial number is the one the
// USB device reports, from sysfs; shown as a word, so that a space or a
// control character in it becomes '_'.
#include "alsa/alsa.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define SERIAL_CHARS 64

static void AppendPlace(int card, char* path, size_t size)
{
    char* longName = NULL;
    if (snd_card_get_longname(card, &longName) < 0 || longName == NULL)
        return;
    const char* at = strstr(longName, " at usb-");
    if (at != NULL) {
        at += 4;
        size_t used = strlen(path);
        snprintf(path + used, size - used, " usb:%.*s", (int)strcspn(at, ", "), at);
    }
    free(longName);
}

bool ReadFirstLine(const char* file, char* line, size_t size)
{
    FILE* f = fopen(file, "r");
    bool read = f != NULL && fgets(line, (int)size, f) != NULL;
    if (f != NULL)
        fclose(f);
    line[read ? strcspn(line, "\n") : 0] = '\0';
    return read;
}

static void AppendSerial(int card, char* path, size_t size)
{
    char file[64], serial[SERIAL_CHARS + 1];
    snprintf(file, sizeof file, "/sys/class/sound/card%d/device/../serial", card);
    ReadFirstLine(file, serial, sizeof serial);
    for (char* c = serial; *c != '\0'; ++c)
        *c = *c > ' ' && *c < 0x7F ? *c : '_';
    size_t used = strlen(path);
    if (*serial != '\0')
        snprintf(path + used, size - used, " serial:%s", serial);
}

void AppendUnitNames(int card, char* path, size_t size)
{
    AppendPlace(card, path, size);
    AppendSerial(card, path, size);
}
