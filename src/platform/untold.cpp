// What Windows and a browser do not tell beyond Windows' own functions: who
// else uses a port, how the output is written, and what of a message is
// still on its way once the output has taken it (Windows: its done flag;
// a browser: send() has it).
#include "platform.h"

const char* MidiPortUsers(bool, UINT)
{
    return NULL;
}

const char* MidiOutputRoute(void)
{
    return NULL;
}

DWORD MidiOutputHeld(void)
{
    return 0;
}

void MidiOutputHeard(void)
{
}
