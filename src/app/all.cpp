// update --all: every unit the device view counts, updated at once, each
// by a run of this program of its own on the unit's word, so that a unit
// fails alone and the run of one unit stays as it is. The image is read
// and checked once, before any port. Each run appends its line to the
// report, which tells its ending, status and seconds for the summary; where
// the user names no report, a file of the runs' own is kept meanwhile.
#include "app/all.h"

#include "app/report.h"
#include "app/run.h"
#include "common/ending.h"
#include "common/printable.h"
#include "common/status.h"
#include "midi/midi.h"
#include "platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct Unit {
    char word[256];         // the word after --port that chooses it
    char name[MAXPNAMELEN];
    char shown[80];         // what its run shows now: its latest line
    char line[80];          // the line its run is writing
    size_t lineLength;
    bool ended;
    int status;             // its run's exit status, once ended
    char ending[256];       // from its line of the report, or ""
    double seconds;         // from its line of the report, or -1
};

struct Bench {
    Unit units[MAX_UNIT_PROCESSES];
    UnitProcess runs[MAX_UNIT_PROCESSES];  // the units', in their order
    unsigned count;
    unsigned running;
    bool console;           // redrawn in place
    bool changed;           // since it was drawn
};

// The inputs the device view counts that a word chooses.
static bool FindUnits(Bench* bench)
{
    char name[MAXPNAMELEN];
    bench->count = 0;
    for (UINT index = 0, inputs = CountMidiIns(); index < inputs; ++index) {
        const char* word = CountedUnit(index, name);
        if (word == NULL)
            continue;
        if (bench->count == MAX_UNIT_PROCESSES) {
            fprintf(stderr, "update: in %u: %s is left out: --all updates %d units at most\n", MidiInId(index) + 1,
                    Printable(name), MAX_UNIT_PROCESSES);
            continue;
        }
        Unit* unit = &bench->units[bench->count++];
        snprintf(unit->word, sizeof unit->word, "%s", word);
        memcpy(unit->name, name, sizeof name);
    }
    if (bench->count != 0)
        return true;
    const char* problem = MidiSystemProblem();
    PrintEnding("Error: Did not find the USB Audio device, please check!\n\n");
    if (problem != NULL)
        printf("%s\n", problem);
    return false;
}

static void StartUnits(Bench* bench, const RunOptions* options, const char* image, const char* report)
{
    for (unsigned i = 0; i < bench->count; ++i) {
        Unit* unit = &bench->units[i];
        const char* args[] = {"update", "--no-pause", "--port", unit->word,      "--report",
                              report,   "--image",    image,    options->verbose ? "-v" : NULL, NULL};
        unit->ended = !StartUnitProcess(args, &bench->runs[i]);
        unit->status = EXIT_NO_DEVICE;
        unit->seconds = -1;
        const char* shown = unit->ended ? "Its run could not be started." : "Starting..";
        snprintf(unit->ending, sizeof unit->ending, "%s", unit->ended ? shown : "");
        snprintf(unit->shown, sizeof unit->shown, "%s", shown);
        unit->lineLength = 0;
        bench->running += !unit->ended;
    }
}

// Each run's output, taken as it comes: the latest line that shows
// anything is what the unit shows, a spinner's line as it is redrawn.
static void TakeOutput(Unit* unit, const char* bytes, int n)
{
    for (int i = 0; i < n; ++i) {
        char c = bytes[i];
        if (c == '\r' || c == '\n') {
            unit->lineLength = 0;
            continue;
        }
        if (unit->lineLength + 1 < sizeof unit->line)
            unit->line[unit->lineLength++] = c;
        unit->line[unit->lineLength] = '\0';
        if (c != ' ')
            snprintf(unit->shown, sizeof unit->shown, "%s", unit->line);
    }
}

// A line drawn again in place must not wrap: on a console it is cut to
// CONSOLE_COLUMNS - 1 bytes (where no UTF-8 letter goes on), and where a
// unit's word and name leave less than STATUS_COLUMNS for what its run
// shows (the interface paths that are words on Windows), the units' lines
// are written as they end instead, as elsewhere.
#define CONSOLE_COLUMNS 80
#define STATUS_COLUMNS 42

static void ShowUnit(const Bench* bench, const Unit* unit, int wordWidth, int nameWidth)
{
    char line[640];
    int n = snprintf(line, sizeof line, "%-*s  %-*s  ", wordWidth, unit->word, nameWidth, Printable(unit->name));
    snprintf(line + n, sizeof line - (size_t)n, "%s",
             Printable(unit->ended && unit->ending[0] != '\0' ? unit->ending : unit->shown));
    size_t cut = strlen(line);
    if (bench->console && cut >= CONSOLE_COLUMNS) {
        cut = CONSOLE_COLUMNS - 1;
        while (cut > 0 && (line[cut] & 0xC0) == 0x80)
            --cut;
    }
    printf("%s%.*s\n", bench->console ? "\r\x1b[K" : "", (int)cut, line);
}

static int Width(const Bench* bench, bool names)
{
    int width = 0;
    for (unsigned i = 0; i < bench->count; ++i) {
        int n = (int)strlen(names ? bench->units[i].name : bench->units[i].word);
        width = n > width ? n : width;
    }
    return width;
}

// On a console every unit's line is drawn again in place; elsewhere a
// unit's line is written once, when it ends.
static void Show(Bench* bench, bool first)
{
    if (!bench->console || !(first || bench->changed))
        return;
    bench->changed = false;
    if (!first)
        printf("\x1b[%uA", bench->count);
    for (unsigned i = 0; i < bench->count; ++i)
        ShowUnit(bench, &bench->units[i], Width(bench, false), Width(bench, true));
    fflush(stdout);
}

// The unit's line of the report, among those appended since the runs began.
static void ReadEnding(Unit* unit, const char* report, long from)
{
    static char line[32768];
    char value[256];
    FILE* file = fopen(report, "rb");
    if (file == NULL || fseek(file, from, SEEK_SET) != 0) {
        if (file != NULL)
            fclose(file);
        return;
    }
    while (fgets(line, sizeof line, file) != NULL) {
        if (!ReportValue(line, "port", value, sizeof value) || strcmp(value, unit->word) != 0)
            continue;
        ReportValue(line, "ending", unit->ending, sizeof unit->ending);
        if (ReportValue(line, "seconds", value, sizeof value))
            unit->seconds = atof(value);
    }
    fclose(file);
}

static void EndUnit(Bench* bench, unsigned i, const char* report, long from)
{
    Unit* unit = &bench->units[i];
    unit->status = EndUnitProcess(&bench->runs[i]);
    unit->ended = true;
    bench->changed = true;
    --bench->running;
    ReadEnding(unit, report, from);
    if (!bench->console)
        ShowUnit(bench, unit, Width(bench, false), Width(bench, true));
}

// Until every run has ended; an interruption is passed on to each run
// still going, which says whether its unit may hold part of the image.
static void Watch(Bench* bench, const char* report, long from)
{
    char bytes[4096];
    bool passedOn = false;
    Show(bench, true);
    while (bench->running != 0) {
        WaitForUnitOutput(bench->runs, bench->count, 100);
        for (unsigned i = 0; i < bench->count; ++i) {
            Unit* unit = &bench->units[i];
            if (unit->ended)
                continue;
            if (Interrupted() && !passedOn)
                InterruptUnitProcess(&bench->runs[i]);
            int n;
            while ((n = ReadUnitOutput(&bench->runs[i], bytes, sizeof bytes)) > 0) {
                TakeOutput(unit, bytes, n);
                bench->changed = true;
            }
            if (n < 0)
                EndUnit(bench, i, report, from);
        }
        passedOn = Interrupted();
        Show(bench, false);
    }
}

// A line a unit: its word, name, exit status, seconds and ending; then how
// many hold the whole image. The worst status is the run's.
static int Summarize(const Bench* bench)
{
    int worst = 0;
    unsigned whole = 0;
    int wordWidth = Width(bench, false), nameWidth = Width(bench, true);
    printf("\n");
    for (unsigned i = 0; i < bench->count; ++i) {
        const Unit* unit = &bench->units[i];
        char seconds[32];
        snprintf(seconds, sizeof seconds, unit->seconds >= 0 ? "%.1f s" : "? s", unit->seconds);
        printf("%-*s  %-*s  ", wordWidth, unit->word, nameWidth, Printable(unit->name));
        printf("status %-3d %8s  %s\n", unit->status, seconds, Printable(unit->ending));
        whole += unit->status == EXIT_DONE;
        worst = unit->status > worst ? unit->status : worst;
    }
    printf("\n%u of %u unit%s hold%s the whole image.\n\n", whole, bench->count, bench->count == 1 ? "" : "s",
           bench->count == 1 ? "s" : "");
    return worst;
}

static long FileSize(const char* path)
{
    FILE* file = fopen(path, "rb");
    long size = file != NULL && fseek(file, 0, SEEK_END) == 0 ? ftell(file) : 0;
    if (file != NULL)
        fclose(file);
    return size < 0 ? 0 : size;
}

static int EndAll(const RunOptions* options, int status)
{
    if (options->pause)
        PauseConsole();
    return status;
}

int RunAll(const RunOptions* options)
{
    static Bench bench;
    static FirmwareImage image;
    TargetCode targetCode;
    static char own[IMAGE_PATH_SIZE];
    int status = ReadyImage(options, &targetCode, &image);
    if (status != 0 || !FindUnits(&bench))
        return EndAll(options, status != 0 ? status : EXIT_NO_DEVICE);
    const char* report = options->report;
    if (report == NULL && !MakeTempFile(own, sizeof own)) {
        PrintEnding("Error: No file for the units' reports can be made: the folder for temporary files is not "
                    "writable.\n\n");
        return EndAll(options, EXIT_NO_DEVICE);
    }
    report = report != NULL ? report : own;
    long from = FileSize(report);
    int fixed = Width(&bench, false) + Width(&bench, true) + 4;
    bench.console = fixed + STATUS_COLUMNS < CONSOLE_COLUMNS && OutputIsConsole();
    printf("Updating %u unit%s at once:\n", bench.count, bench.count == 1 ? "" : "s");
    StartUnits(&bench, options, image.file, report);
    Watch(&bench, report, from);
    status = Summarize(&bench);
    if (report == own)
        remove(own);
    if (Interrupted())
        EndInterrupted();
    return EndAll(options, status);
}
