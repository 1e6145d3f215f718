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

// A console of Windows 10 or later moves the cursor as a terminal does,
// once asked to.
bool OutputIsConsole(void)
{
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    return GetConsoleMode(output, &mode) && SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
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

// The console's events come on a thread of their own. Closing the console
// ends the process once the handler returns, so the handler waits, within
// the system's 5 s of grace, until the main thread has closed the ports.
static volatile LONG g_interrupted;
static volatile LONG g_ended;

static BOOL WINAPI NoteConsoleEvent(DWORD event)
{
    InterlockedExchange(&g_interrupted, 1);
    for (int waits = 0; event == CTRL_CLOSE_EVENT && g_ended == 0 && waits < 80; ++waits)
        Sleep(50);
    return TRUE;
}

void CatchInterruptions(void)
{
    SetConsoleCtrlHandler(NoteConsoleEvent, TRUE);
}

bool Interrupted(void)
{
    return g_interrupted != 0;
}

int InterruptedStatus(void)
{
    return 130;
}

void EndInterrupted(void)
{
    fflush(stdout);
    InterlockedExchange(&g_ended, 1);
    exit(130);
}

// FILE_APPEND_DATA alone makes every write land whole at the file's end;
// the C runtime's append mode seeks first, which another writer can
// overtake.
intptr_t OpenAppending(const char* path, const char** why)
{
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        error = ERROR_INVALID_NAME;
    }
    *why = file != INVALID_HANDLE_VALUE    ? NULL
           : error == ERROR_ACCESS_DENIED  ? "access is denied"
           : error == ERROR_PATH_NOT_FOUND ? "its folder does not exist"
           : error == ERROR_INVALID_NAME   ? "it is no disk file"
                                           : "Windows cannot open it";
    return file == INVALID_HANDLE_VALUE ? -1 : (intptr_t)file;
}

bool AppendWhole(intptr_t file, const char* text, size_t n)
{
    DWORD written = 0;
    bool whole = WriteFile((HANDLE)file, text, (DWORD)n, &written, NULL) && written == n;
    return CloseHandle((HANDLE)file) && whole;
}
