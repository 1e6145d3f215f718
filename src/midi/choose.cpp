// The port the user chose with --port. Every port the system lists is a
// candidate, whether the device view counts it or not, and its name is not
// passed over: the user has seen the list.
#include "midi/midi.h"

#include "common/ascii.h"
#include "common/printable.h"
#include "common/texts.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define NO_PORT 0xFFFFFFFFu

static UINT CountPorts(bool input)
{
    return input ? midiInGetNumDevs() : midiOutGetNumDevs();
}

// The ports named exactly so if there are any, else those whose names hold
// it; with ordinal, only the ordinal-th (from 0) of them. Gives how many
// there are and, when there is one, which; lists them if asked.
static UINT Match(bool input, const char* wanted, UINT ordinal, bool list, UINT* found)
{
    char name[MAXPNAMELEN];
    UINT exact = 0, held = 0, ports = CountPorts(input);
    for (UINT id = 0; id < ports; ++id) {
        PortName(input, id, name);
        exact += EqualsFolded(name, wanted);
        held += ContainsFolded(name, wanted);
    }
    UINT n = 0;
    for (UINT id = 0; id < ports; ++id) {
        PortName(input, id, name);
        if (!(exact != 0 ? EqualsFolded(name, wanted) : ContainsFolded(name, wanted)) ||
            (ordinal != NO_PORT && n++ != ordinal))
            continue;
        *found = id;
        if (list)
            PrintMidiPort(input, id);
    }
    return ordinal != NO_PORT ? (n > ordinal ? 1 : 0) : (exact != 0 ? exact : held);
}

// The input of the number the list gives it, or NO_PORT.
static UINT Numbered(const char* port)
{
    char* end = NULL;
    unsigned long n = strtoul(port, &end, 10);
    if (*port < '0' || *port > '9' || *end != '\0' || n == 0 || n > CountPorts(true))
        return NO_PORT;
    return (UINT)n - 1;
}

// The port whose id the system tells as port, or NO_PORT.
static UINT WithId(bool input, const char* port)
{
    for (UINT id = 0, ports = CountPorts(input); id < ports; ++id)
        if (EqualsFolded(PortId(input, id), port))
            return id;
    return NO_PORT;
}

// An input chosen by number or id has a name, and an ordinal among the
// inputs of that name, by which its output is found.
static void NameAndOrdinal(UINT input, char name[MAXPNAMELEN], UINT* ordinal)
{
    char other[MAXPNAMELEN];
    PortName(true, input, name);
    *ordinal = 0;
    for (UINT id = 0; id < input; ++id) {
        PortName(true, id, other);
        *ordinal += EqualsFolded(other, name);
    }
}

// Says why no port, or more than one, is chosen on one side, and lists the
// candidates: every port when none matched.
static bool Chosen(bool input, const char* wanted, UINT ordinal, const char* port, UINT* id)
{
    UINT n = Match(input, wanted, ordinal, false, id);
    if (n == 1)
        return true;
    const char* side = input ? "input" : "output";
    if (n == 0) {
        printf("Error: No MIDI %s matches '%s'. The MIDI %ss are:\n", side, Printable(port), side);
        for (UINT other = 0, ports = CountPorts(input); other < ports; ++other)
            PrintMidiPort(input, other);
    } else {
        printf("Error: %u MIDI %ss match '%s'; choose one by its number:\n", n, side, Printable(port));
        Match(input, wanted, NO_PORT, true, id);
    }
    printf("\n");
    return false;
}

// By number, the output is the port of the same name, the same one among
// several of that name; by id, the output of that id if there is one.
bool OpenChosenPorts(const char* port)
{
    char name[MAXPNAMELEN];
    UINT ordinal = NO_PORT, out = NO_PORT, in = Numbered(port);
    if (in == NO_PORT) {
        in = WithId(true, port);
        out = in != NO_PORT ? WithId(false, port) : NO_PORT;
    }
    if (in != NO_PORT)
        NameAndOrdinal(in, name, &ordinal);
    const char* wanted = in != NO_PORT ? name : port;
    if ((in == NO_PORT && !Chosen(true, wanted, NO_PORT, port, &in)) ||
        (out == NO_PORT && !Chosen(false, wanted, ordinal, port, &out)))
        return false;
    if (OpenInputPort(in, name) != 0) {
        printf(MSG_IN_MISSING);
        return false;
    }
    if (OpenOutputPort(out, name) != 0) {
        printf(MSG_OUT_MISSING);
        return false;
    }
    return true;
}
