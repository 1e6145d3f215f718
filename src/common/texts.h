// Texts that more than one stage of the run prints.
#pragma once

#define MSG_BAD_IMAGE "Error: The upgrade file is error!\n\n"
#define MSG_IN_MISSING "Error: The MIDI In of device is missing!\n\n"
#define MSG_OUT_MISSING "Error: The MIDI Out of device is missing!\n\n"
