// The device stages, without --port and with it, and the word after
// --port that chooses each port, which every list of candidates shows.
// Every port the system lists is a candidate, whether the device view
// counts it or not, and its name is not passed over: the user has seen the
// list.
//
// The word is read as the first of these it can be:
// - a port's id made of digits (a browser's on macOS): the ports of that id;
// - a number: the input --list numbers so, and nothing else;
// - a lasting name as --list shows a USB unit's, usb:... or serial:...:
//   the ports of that unit;
// - a port's id as --list shows it (client:port, an interface path): the
//   ports of that id;
// - a name, or part of one: the ports named exactly so if there are any,
//   else those whose names hold it.
// Where a number, a lasting name or an id gives one side and not the
// other, the other is the chosen port's partner: the port of the same id,
// else the one port of the same unit, else the port of the same name, the
// same one among several of that name.
#include "midi/midi.h"

#include "common/ascii.h"
#include "common/ending.h"
#include "common/printable.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define WORD_CHARS 256

static const char* const LASTING_PREFIXES[] = {"serial:", "usb:"};

enum WordKind { BY_NUMBER, BY_LASTING_NAME, BY_ID, BY_NAME };

// What a word gives on each side: how many ports, and the last of them.
struct Sides {
    UINT in, out;
    UINT inputs, outputs;
};

static UINT CountPorts(bool input)
{
    return input ? midiInGetNumDevs() : midiOutGetNumDevs();
}

// Copies the first word of text into word; gives what follows it, or NULL
// when text holds no word.
static const char* TakeWord(const char* text, char word[WORD_CHARS])
{
    text += strspn(text, " ");
    size_t n = strcspn(text, " ");
    if (n == 0 || n >= WORD_CHARS)
        return NULL;
    memcpy(word, text, n);
    word[n] = '\0';
    return text + n;
}

static bool Fits(bool input, UINT id, const char* word, WordKind kind, bool exact)
{
    char name[MAXPNAMELEN];
    if (kind == BY_LASTING_NAME)
        return HasLastingName(input, id, word);
    if (kind == BY_ID)
        return EqualsFolded(PortId(input, id), word);
    PortName(input, id, name);
    return exact ? EqualsFolded(name, word) : ContainsFolded(name, word);
}

// How many ports of one side the word fits, and the last of them; by name,
// those named exactly so where there are any. Lists them if asked.
static UINT Fitting(bool input, const char* word, WordKind kind, UINT* last, bool list)
{
    UINT exact = 0, any = 0, ports = CountPorts(input);
    for (UINT id = 0; id < ports; ++id) {
        exact += kind == BY_NAME && Fits(input, id, word, kind, true);
        any += Fits(input, id, word, kind, false);
    }
    for (UINT id = 0; id < ports; ++id) {
        if (!Fits(input, id, word, kind, exact != 0))
            continue;
        *last = id;
        if (list)
            PrintChoosablePort(input, id);
    }
    return exact != 0 ? exact : any;
}

// Of the ports of the other side named as port id is, the same one among
// them as it is among its own side's.
static UINT SameNameAndPlace(bool input, UINT id)
{
    char name[MAXPNAMELEN], other[MAXPNAMELEN];
    PortName(input, id, name);
    UINT ordinal = 0;
    for (UINT before = 0; before < id; ++before) {
        PortName(input, before, other);
        ordinal += EqualsFolded(other, name);
    }
    for (UINT candidate = 0, ports = CountPorts(!input); candidate < ports; ++candidate) {
        PortName(!input, candidate, other);
        if (EqualsFolded(other, name) && ordinal-- == 0)
            return candidate;
    }
    return NO_PORT;
}

// The port of the other side that belongs with port id.
static UINT Partner(bool input, UINT id)
{
    char portId[WORD_CHARS], unit[WORD_CHARS];
    snprintf(portId, sizeof portId, "%s", PortId(input, id));
    bool lasting = TakeWord(LastingNames(input, id), unit) != NULL;
    UINT found = NO_PORT;
    if ((*portId != '\0' && Fitting(!input, portId, BY_ID, &found, false) == 1) ||
        (lasting && Fitting(!input, unit, BY_LASTING_NAME, &found, false) == 1))
        return found;
    return SameNameAndPlace(input, id);
}

// A port's id made of digits (a browser's on macOS) is that port before it
// is a number: the advice and --units print ids, and each must choose its
// port; a number no port has for its id stays an input's number.
static WordKind KindOf(const char* word)
{
    UINT last;
    bool id = Fitting(true, word, BY_ID, &last, false) + Fitting(false, word, BY_ID, &last, false) != 0;
    // As --list writes numbers: "0002" is no number, but may be a name.
    if (!id && strspn(word, "0123456789") == strlen(word) && (word[0] != '0' || word[1] == '\0'))
        return BY_NUMBER;
    for (const char* prefix : LASTING_PREFIXES)
        if (strncmp(word, prefix, strlen(prefix)) == 0)
            return BY_LASTING_NAME;
    return id ? BY_ID : BY_NAME;
}

static Sides Resolve(const char* word, WordKind kind)
{
    Sides s = {NO_PORT, NO_PORT, 0, 0};
    if (kind == BY_NUMBER) {
        unsigned long n = strtoul(word, NULL, 10);
        s.inputs = n >= 1 && n <= CountPorts(true) ? 1 : 0;
        s.in = (UINT)n - 1;
    } else {
        s.inputs = Fitting(true, word, kind, &s.in, false);
        s.outputs = Fitting(false, word, kind, &s.out, false);
    }
    if (kind != BY_NAME && s.inputs == 1 && s.outputs == 0)
        s.outputs = (s.out = Partner(true, s.in)) != NO_PORT ? 1 : 0;
    if (kind != BY_NAME && s.outputs == 1 && s.inputs == 0)
        s.inputs = (s.in = Partner(false, s.out)) != NO_PORT ? 1 : 0;
    return s;
}

// Whether --port word chooses port id of its side, and one port of the
// other, and can be typed in the platform's shells.
static bool Chooses(const char* word, bool input, UINT id)
{
    Sides s = Resolve(word, KindOf(word));
    return s.inputs == 1 && s.outputs == 1 && (input ? s.in : s.out) == id && TypedWord(word) != NULL;
}

// The word after --port that chooses the port, the longest-lasting first:
// a serial number follows the unit, a USB place the socket, an id and a
// number only the present listing. NULL where none chooses it. It is
// printed as it must be typed (TypedWord).
const char* PortHandle(bool input, UINT id)
{
    static char handle[WORD_CHARS];
    char words[WORD_CHARS];
    snprintf(words, sizeof words, "%s", LastingNames(input, id));
    for (const char* prefix : LASTING_PREFIXES)
        for (const char* rest = TakeWord(words, handle); rest != NULL; rest = TakeWord(rest, handle))
            if (strncmp(handle, prefix, strlen(prefix)) == 0 && Chooses(handle, input, id))
                return handle;
    snprintf(handle, sizeof handle, "%s", PortId(input, id));
    if (*handle != '\0' && Chooses(handle, input, id))
        return handle;
    snprintf(handle, sizeof handle, "%u", id + 1);
    return input && Chooses(handle, input, id) ? handle : NULL;
}

void PrintChoosablePort(bool input, UINT id)
{
    PrintMidiPort(input, id);
    const char* handle = PortHandle(input, id);
    if (handle != NULL)
        printf("  (--port %s)\n", TypedWord(handle));
    else if (!input && *PortId(input, id) == '\0')
        printf("  (--port cannot choose it here: the system tells no id of it)\n");
    else
        printf("  (--port cannot choose it: no %s goes with it here)\n", input ? "output" : "input");
}

// Says why no port, or more than one, is chosen on one side, and lists the
// candidates: every port of that side when none matched.
static bool Told(bool input, const char* word, WordKind kind, UINT count)
{
    if (count == 1)
        return true;
    const char* side = input ? "input" : "output";
    UINT last;
    if (count == 0) {
        PrintEnding("Error: No MIDI %s matches '%s'. The MIDI %ss are:\n", side, Printable(word), side);
        for (UINT id = 0, ports = CountPorts(input); id < ports; ++id)
            PrintChoosablePort(input, id);
    } else {
        PrintEnding("Error: %u MIDI %ss match '%s'; choose one with the --port beside it:\n", count, side,
                    Printable(word));
        Fitting(input, word, kind, &last, true);
    }
    printf("\n");
    return false;
}

// The device stage without --port: exactly one input the device view
// counts, the output past the system synthesizer; with several, the advice
// lists them, each with the word that chooses it.
bool OpenTargetPorts(void)
{
    uint16_t inputs = (uint16_t)CountMidiIns();
    if (inputs == 0) {
        PrintEnding("Error: Did not find the USB Audio device, please check!\n\n");
        return false;
    }
    if (inputs > 1) {
        PrintEnding("Error:Does your computer have identified %d USB audiol devices, Please remove the other USB "
                    "audiol devices!\n\nOr choose one with the --port beside it:\n",
                    inputs);
        for (UINT index = 0; index < inputs; ++index)
            PrintChoosablePort(true, MidiInId(index));
        printf("\n");
        return false;
    }
    UINT firstOut = SelectOutputStart();
    uint16_t result = OpenMidiIn(0);
    if (result != 0)
        return TellOpenFailure(true, result);
    result = OpenMidiOut(firstOut);
    if (result != 0)
        return TellOpenFailure(false, result);
    return BothPortsOpen();
}

bool OpenChosenPorts(const char* port)
{
    char name[MAXPNAMELEN];
    WordKind kind = KindOf(port);
    Sides s = Resolve(port, kind);
    if (kind == BY_NUMBER && s.inputs == 0) {
        PrintEnding("Error: There is no MIDI input %s. 'update --list' shows the inputs and their numbers.\n\n",
                    Printable(port));
        return false;
    }
    if (!Told(true, port, kind, s.inputs) || !Told(false, port, kind, s.outputs))
        return false;
    uint16_t result = OpenInputPort(s.in, name);
    if (result != 0)
        return TellOpenFailure(true, result);
    result = OpenOutputPort(s.out, name);
    if (result != 0)
        return TellOpenFailure(false, result);
    return BothPortsOpen();
}

// A script's list: each input the device view counts, as the word --port
// takes to choose it, typed as the shell takes it, a tab, and its name. An
// input no word chooses (one with no output beside it) is left out, and said so
// on standard error, as is why none is listed: a script's loop then runs
// over what it can update, and its user learns why not the rest.
const char* CountedUnit(UINT index, char name[MAXPNAMELEN])
{
    UINT id = MidiInId(index);
    const char* handle = PortHandle(true, id);
    PortName(true, id, name);
    if (handle == NULL)
        fprintf(stderr, "update: in %u: %s is left out: no word after --port chooses it here\n", id + 1,
                Printable(name));
    return handle;
}

bool ListUnits(void)
{
    char name[MAXPNAMELEN];
    const char* problem = MidiSystemProblem();
    unsigned listed = 0;
    for (UINT index = 0, inputs = CountMidiIns(); index < inputs; ++index) {
        const char* handle = CountedUnit(index, name);
        if (handle == NULL)
            continue;
        printf("%s\t%s\n", TypedWord(handle), Printable(name));
        ++listed;
    }
    if (problem != NULL)
        fputs(problem, stderr);
    else if (listed == 0)
        fputs("update: no MIDI device is connected\n", stderr);
    return listed != 0;
}
