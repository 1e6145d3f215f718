// Which way winmm reaches the devices. Under Windows' MIDI service winmm's
// MIDI driver is wdmaud2.drv, named by a midi value of the Drivers32 key;
// the classic driver model names wdmaud.drv or a maker's driver there. The
// key changes with a restart, as the service does.
#include "platform.h"

#include <string.h>

#define DRIVERS32 "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32"
#define MIDI_SERVICE_DRIVER "wdmaud2.drv"

static bool NamesServiceDriver(HKEY key, const char* value)
{
    char driver[64];
    DWORD type = 0, size = sizeof driver - 1;
    if (RegQueryValueExA(key, value, NULL, &type, (BYTE*)driver, &size) != ERROR_SUCCESS || type != REG_SZ)
        return false;
    driver[size] = '\0';
    return _stricmp(driver, MIDI_SERVICE_DRIVER) == 0;
}

MidiStack GetMidiStack(void)
{
    static const char* const VALUES[] = {"midi",  "midi1", "midi2", "midi3", "midi4",
                                         "midi5", "midi6", "midi7", "midi8", "midi9"};
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, DRIVERS32, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return MIDI_STACK_UNKNOWN;
    MidiStack stack = MIDI_STACK_CLASSIC;
    for (const char* value : VALUES)
        if (NamesServiceDriver(key, value))
            stack = MIDI_STACK_SERVICE;
    RegCloseKey(key);
    return stack;
}
