// update --all: every unit at once, one display, a summary line a unit.
#pragma once

#include "app/options.h"

// The exit status is the worst of the units': 0 only where every unit holds
// the whole image.
int RunAll(const RunOptions* options);
