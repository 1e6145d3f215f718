#include "app/run.h"

#include "common/status.h"
#include "image/image.h"
#include "midi/midi.h"
#include "platform.h"
#include "protocol/protocol.h"

#include <stdio.h>

#define BANNER "TELVARIN Update V0.2 -> Quellam System\n"

// Before any port is open the run ends by pausing alone; from the device
// stage on, both ports are closed first (each close does nothing when its
// port is not open).
static int EarlyExit(const RunOptions* options, int status)
{
    if (options->pause)
        PauseConsole();
    return status;
}

static int LateExit(const RunOptions* options, int status)
{
    CloseMidiIn();
    CloseMidiOut();
    return EarlyExit(options, status);
}

// An interruption ends the run at once, without the pause: the user learns
// whether the target may now hold part of the image.
static int EndByInterruption(bool transferring)
{
    CloseMidiIn();
    CloseMidiOut();
    if (transferring)
        printf("\nInterrupted: the target may hold part of the image. Run update again to complete it.\n\n");
    else
        printf("Interrupted: nothing was written to the target.\n\n");
    EndInterrupted();
    return ENDED_BY_SIGNAL;
}

// The image stage: the file the user named, or the first one found here.
static bool LoadImageFile(const RunOptions* options, TargetCode* targetCode, FirmwareImage* image)
{
    char path[PATH_BUFFER_SIZE];
    if (options->image != NULL)
        return NameImageFile(options->image, targetCode) && LoadImage(options->image, image);
    return FindImageFile(path, sizeof path, targetCode) && LoadImage(path, image);
}

int RunUpdate(const RunOptions* options)
{
    TargetCode targetCode;
    FirmwareImage image;

    printf(BANNER);
    if (!LoadImageFile(options, &targetCode, &image))
        return EarlyExit(options, EXIT_NO_IMAGE);
    if (!ValidateImage(&image)) {
        printf(MSG_BAD_IMAGE);
        return EarlyExit(options, EXIT_NO_IMAGE);
    }
    bool open = !Interrupted() && (options->port != NULL ? OpenChosenPorts(options->port) : OpenTargetPorts());
    int status = open ? Handshake(targetCode) : Interrupted() ? ENDED_BY_SIGNAL : EXIT_NO_DEVICE;
    if (status == 0) {
        status = TransferImage(&image);
        if (status == ENDED_BY_SIGNAL)
            return EndByInterruption(true);
    }
    if (status == ENDED_BY_SIGNAL)
        return EndByInterruption(false);
    return LateExit(options, status);
}

// The image stage alone, and what a user checking an image wants to know.
static int CheckImage(const RunOptions* options)
{
    TargetCode targetCode;
    FirmwareImage image;
    image.textEnd = TEXT_WHOLE;
    printf(BANNER);
    bool loaded = LoadImageFile(options, &targetCode, &image);
    if (!loaded && (image.textEnd == TEXT_WHOLE || image.textEnd == TEXT_STOPPED))
        return EXIT_NO_IMAGE;  // not found, or not named as an image
    return ReportImage(&image) ? EXIT_DONE : EXIT_NO_IMAGE;
}

int RunCommandLine(int argc, char** argv)
{
    RunOptions options;
    const char* program = ProgramName(argc > 0 ? argv[0] : NULL);
    switch (ParseOptions(argc, argv, &options)) {
    case ACTION_HELP:
        PrintHelp(program);
        return EXIT_DONE;
    case ACTION_VERSION:
        printf("%s %s\n", program, UPDATE_VERSION);
        return EXIT_DONE;
    case ACTION_LIST:
        ListMidiPorts();
        return EXIT_DONE;
    case ACTION_CHECK:
        return CheckImage(&options);
    case ACTION_USAGE:
        return EXIT_USAGE;
    case ACTION_UPDATE:
        break;
    }
    return RunUpdate(&options);
}
