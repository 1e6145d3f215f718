// Run control: the command line, the stages of one update in order, and the
// two exit paths.
#pragma once

#include "app/options.h"
#include "image/image.h"

// The stages before any port, for one unit or all: the banner, the report
// opened, the image read and checked. 0, or the exit status that ends the
// run.
int ReadyImage(const RunOptions* options, TargetCode* targetCode, FirmwareImage* image);

// Runs the whole update; the result is the exit status of its ending.
int RunUpdate(const RunOptions* options);

// What the command line asks for: an update, or help, the version, the
// list of ports or a check of the image, none of which touches a port.
int RunCommandLine(int argc, char** argv);
