// The command line: options of the GNU style (--name, --name=value,
// --name value, and short forms, -p NAME or -pNAME), the same in every
// build; /? asks for help too, as on Windows. One argument that is not an
// option names the image file, as when a file is dropped onto the program.
#pragma once

#include <stdio.h>

enum Action { ACTION_UPDATE, ACTION_ALL, ACTION_HELP, ACTION_VERSION, ACTION_LIST, ACTION_UNITS, ACTION_CHECK, ACTION_USAGE };

struct RunOptions {
    const char* image;  // the image file, or NULL to find it in the current directory
    const char* port;   // the port chosen by number, lasting name, id or name, or NULL
    const char* report; // the file the run's line is appended to, or NULL
    bool pause;         // wait for a key at the end
    bool verbose;       // trace the messages on standard error
};

// Reads the arguments; a wrong one is said on standard error with a short
// usage, and gives ACTION_USAGE.
Action ParseOptions(int argc, char** argv, RunOptions* options);
void PrintHelp(const char* program);
// The program's name as it was started, without its folder.
const char* ProgramName(const char* argv0);
