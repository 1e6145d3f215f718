// Interruptions in a browser tab: the page's Cancel button sets a flag
// that every wait and send of the program looks at, as Ctrl-C does on a
// console, and the run then ends with the status a console gives a program
// that Ctrl-C ended.
#include "webmidi/webmidi.h"

#include <stdio.h>
#include <stdlib.h>

void CatchInterruptions(void) {}

bool Interrupted(void)
{
    return WebMidiCancelled() != 0;
}

int InterruptedStatus(void)
{
    return 130;
}

void EndInterrupted(void)
{
    fflush(stdout);
    exit(130);
}
