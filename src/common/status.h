// The program's exit statuses: how a run ended, for a script to tell.
#pragma once

enum ExitStatus {
    EXIT_DONE = 0,        // the target holds the whole image; or help, version, a list, a check passed
    EXIT_NO_IMAGE = 1,    // the image was not found, not readable or refused: nothing was sent
    EXIT_USAGE = 2,       // the command line could not be read
    EXIT_NO_DEVICE = 3,   // no usable device or port, or the output refused a greeting
    EXIT_NO_TARGET = 4,   // the handshake failed: nothing was written
    EXIT_TRANSFER_FAILED = 5, // the transfer failed after it began: the target may hold part of the image
    ENDED_BY_SIGNAL = 128,    // interrupted: the program ends as the signal would have
};
