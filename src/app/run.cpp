#include "app/run.h"

#include "app/all.h"
#include "app/report.h"

#include "common/ending.h"
#include "common/status.h"
#include "image/image.h"
#include "image/sha256.h"
#include "midi/midi.h"
#include "platform.h"
#include "protocol/protocol.h"

#include <stdio.h>

#define BANNER "TELVARIN Update V0.2 -> Quellam System\n"

// Windows' MIDI service lets any program send to the device meanwhile, and
// times out a device slow to take what it is sent; the classic driver
// model does neither.
#define MSG_SERVICE_ADVICE                                                                                          \
    "Windows passes MIDI through its MIDI service here, which lets other programs send to the device during the "  \
    "update: close every other program that uses MIDI and run update again.\n"                                     \
    "If it keeps failing, give the device Windows' classic MIDI driver: in Device Manager, under \"Sound, video "  \
    "and game controllers\", right-click the device, choose Update driver > Browse my computer for drivers > Let " \
    "me pick from a list of available drivers > \"USB Audio Device\" > Next; then unplug the device, plug it in "  \
    "again and run update again. Or put the whole computer back on the classic model: run Command Prompt as "      \
    "administrator, enter\n"                                                                                       \
    "  reg add \"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32\" "                              \
    "/v UseLegacyMidi /t REG_DWORD /d 1 /f\n"                                                                      \
    "and restart Windows.\n\n"

// The file as the trace names it, for a replay to find the same image.
static void TraceImage(const char* file)
{
    uint64_t bytes;
    char digest[65], size[24];
    if (!Tracing() || !HashFile(file, &bytes, digest))
        return;
    snprintf(size, sizeof size, "%llu", (unsigned long long)bytes);
    TraceFields("image", file, size, digest);
}

static void TraceStatus(int status)
{
    char text[16];
    snprintf(text, sizeof text, "status %d", status);
    TraceNote(text);
}

// Before any port is open the run ends by pausing alone; from the device
// stage on, both ports are closed first (each close does nothing when its
// port is not open). The report's line is written last, once the ports
// are closed.
static int EarlyExit(const RunOptions* options, const FirmwareImage* image, int status)
{
    WriteReport(options, image, status);
    if (options->pause)
        PauseConsole();
    return status;
}

static int LateExit(const RunOptions* options, const FirmwareImage* image, int status)
{
    CloseMidiIn();
    CloseMidiOut();
    return EarlyExit(options, image, status);
}

// An interruption ends the run at once, without the pause: the user learns
// whether the target may now hold part of the image, which only a record's
// data can leave there.
static int EndByInterruption(const RunOptions* options, const FirmwareImage* image, bool transferring,
                             bool written)
{
    TraceNote("interrupted");
    CloseMidiIn();
    CloseMidiOut();
    if (written)
        PrintEnding("\nInterrupted: the target may hold part of the image. Run update again to complete it.\n\n");
    else
        PrintEnding("%sInterrupted: nothing was written to the target.\n\n", transferring ? "\n" : "");
    WriteReport(options, image, ENDED_BY_SIGNAL);
    TraceStatus(InterruptedStatus());
    EndInterrupted();
    return ENDED_BY_SIGNAL;
}

int ReadyImage(const RunOptions* options, TargetCode* targetCode, FirmwareImage* image)
{
    printf(BANNER);
    TraceNote(DescribeMidiStack());
    image->file[0] = '\0';
    if (!OpenReport(options))
        return EXIT_USAGE;
    if (ReadImageFile(options->image, targetCode, image) != IMAGE_READ)
        return EXIT_NO_IMAGE;
    if (!ValidateImage(image)) {
        PrintEnding(MSG_BAD_IMAGE);
        return EXIT_NO_IMAGE;
    }
    TraceImage(image->file);
    return 0;
}

int RunUpdate(const RunOptions* options)
{
    TargetCode targetCode;
    static FirmwareImage image;

    int ready = ReadyImage(options, &targetCode, &image);
    if (ready != 0)
        return EarlyExit(options, image.file[0] != '\0' ? &image : NULL, ready);
    bool open = !Interrupted() && (options->port != NULL ? OpenChosenPorts(options->port) : OpenTargetPorts());
    int status = open ? Handshake(targetCode) : Interrupted() ? ENDED_BY_SIGNAL : EXIT_NO_DEVICE;
    unsigned greetings = MessagesSent();
    if (status == 0) {
        status = TransferImage(&image);
        if (status == ENDED_BY_SIGNAL)
            return EndByInterruption(options, &image, true, MessagesSent() != greetings);
    }
    if (status == ENDED_BY_SIGNAL)
        return EndByInterruption(options, &image, false, false);
    bool failed = status == EXIT_NO_TARGET || status == EXIT_TRANSFER_FAILED || (status != 0 && MessagesQueued() != 0);
    if (failed && GetMidiStack() == MIDI_STACK_SERVICE)
        printf(MSG_SERVICE_ADVICE);
    return LateExit(options, &image, status);
}

// The image stage alone, and what a user checking an image wants to know:
// nothing more where no file was found or its name is not an image's.
static int CheckImage(const RunOptions* options)
{
    TargetCode targetCode;
    FirmwareImage image;
    printf(BANNER);
    ImageEnd end = ReadImageFile(options->image, &targetCode, &image);
    if (end == IMAGE_NOT_FOUND || end == IMAGE_NOT_NAMED)
        return EXIT_NO_IMAGE;
    return ReportImage(&image) ? EXIT_DONE : EXIT_NO_IMAGE;
}

static int Dispatch(Action action, const RunOptions* options, const char* program)
{
    switch (action) {
    case ACTION_HELP:
        PrintHelp(program);
        return EXIT_DONE;
    case ACTION_VERSION:
        printf("%s %s\n", program, UPDATE_VERSION);
        return EXIT_DONE;
    case ACTION_LIST:
        ListMidiPorts();
        return EXIT_DONE;
    case ACTION_UNITS:
        return ListUnits() ? EXIT_DONE : EXIT_NO_DEVICE;
    case ACTION_CHECK:
        return CheckImage(options);
    case ACTION_USAGE:
        return EXIT_USAGE;
    case ACTION_ALL:
        return RunAll(options);
    case ACTION_UPDATE:
        break;
    }
    return RunUpdate(options);
}

// The trace ends with the exit status, so that a replay can tell a run
// that ended otherwise.
int RunCommandLine(int argc, char** argv)
{
    RunOptions options;
    const char* program = ProgramName(argc > 0 ? argv[0] : NULL);
    Action action = ParseOptions(argc, argv, &options);
    if (options.verbose)
        StartTrace(argc, argv);
    int status = Dispatch(action, &options, program);
    TraceStatus(status);
    return status;
}
