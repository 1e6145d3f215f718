#include "app/run.h"

#include "image/image.h"
#include "midi/midi.h"
#include "platform.h"
#include "protocol/protocol.h"

#include <stdio.h>

// Before any port is open the run ends by pausing alone; from the device
// stage on, both ports are closed first (each close does nothing when its
// port is not open).
static int EarlyExit(void)
{
    PauseConsole();
    return 0;
}

static int LateExit(void)
{
    CloseMidiIn();
    CloseMidiOut();
    return EarlyExit();
}

int RunUpdate(void)
{
    char path[PATH_BUFFER_SIZE];
    TargetCode targetCode;
    FirmwareImage image;

    printf("TELVARIN Update V0.2 -> Quellam System\n");
    if (!FindImageFile(path, sizeof path, &targetCode) || !LoadImage(path, &image))
        return EarlyExit();
    if (!ValidateImage(&image)) {
        printf(MSG_BAD_IMAGE);
        return EarlyExit();
    }
    if (OpenTargetPorts() && Handshake(targetCode))
        TransferImage(&image);
    return LateExit();
}
