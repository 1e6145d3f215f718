// Console and directory services on Windows.
#include "platform.h"

#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char g_stdoutBuffer[4096];

void PrepareConsole(void)
{
    if (_isatty(_fileno(stdout)))
        setvbuf(stdout, NULL, _IONBF, 0);
    else
        setvbuf(stdout, g_stdoutBuffer, _IOFBF, sizeof g_stdoutBuffer);
}

bool FindFirstMatch(const char* pattern, char* name, size_t size)
{
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    size_t length = strlen(data.cFileName);
    if (length >= size)
        return false;
    memcpy(name, data.cFileName, length + 1);
    return true;
}

// The command interpreter writes its own prompt straight to the console, so
// the program's buffered lines go out first.
void PauseConsole(void)
{
    fflush(stdout);
    system("pause");
}

// A device name such as CON opens as a file too; only a disk file is one.
FILE* OpenRegularFile(const char* path)
{
    FILE* file = fopen(path, "rb");
    if (file != NULL && GetFileType((HANDLE)_get_osfhandle(_fileno(file))) != FILE_TYPE_DISK) {
        fclose(file);
        return NULL;
    }
    return file;
}

// Windows always lists its MIDI ports.
const char* MidiSystemProblem(void)
{
    return NULL;
}
