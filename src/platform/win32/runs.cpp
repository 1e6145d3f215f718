// Runs of this program on other units, for update --all: each a process
// started from the program's own file, its standard output a pipe. The
// console gives Ctrl-C to every process attached to it, runs included.
#include "platform.h"

#include <stdio.h>
#include <string.h>

// One argument as the C runtime reads it back: in double quotes, a quote
// inside after a backslash, the backslashes before a quote doubled.
static size_t AddQuoted(char* line, size_t size, size_t n, const char* arg)
{
    line[n++] = ' ';
    line[n++] = '"';
    for (const char* c = arg;; ++c) {
        size_t slashes = strspn(c, "\\");
        c += slashes;
        size_t twice = *c == '"' || *c == '\0' ? 2 * slashes + (*c == '"') : slashes;
        for (size_t i = 0; i < twice && n + 4 < size; ++i)
            line[n++] = '\\';
        if (*c == '\0' || n + 4 >= size)
            break;
        line[n++] = *c;
    }
    line[n++] = '"';
    line[n] = '\0';
    return n;
}

bool StartUnitProcess(const char* const* args, UnitProcess* run)
{
    char self[MAX_PATH];
    static char line[32768];
    DWORD length = GetModuleFileNameA(NULL, self, sizeof self);
    if (length == 0 || length == sizeof self)
        return false;
    size_t n = AddQuoted(line, sizeof line, 0, self) - 1;
    memmove(line, line + 1, n + 1);
    for (const char* const* arg = args + 1; *arg != NULL; ++arg)
        n = AddQuoted(line, sizeof line, n, *arg);
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0))
        return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    BOOL started = CreateProcessA(self, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return false;
    }
    CloseHandle(process.hThread);
    run->process = (intptr_t)process.hProcess;
    run->output = (intptr_t)readEnd;
    return true;
}

// An anonymous pipe cannot be waited on: it is looked at every 10 ms.
void WaitForUnitOutput(const UnitProcess* runs, unsigned count, DWORD ms)
{
    for (DWORD waited = 0; waited < ms; waited += 10) {
        for (unsigned i = 0; i < count; ++i) {
            DWORD waiting = 0;
            if (runs[i].output >= 0 && (!PeekNamedPipe((HANDLE)runs[i].output, NULL, 0, NULL, &waiting, NULL) ||
                                         waiting != 0))
                return;
        }
        Sleep(10);
    }
}

int ReadUnitOutput(UnitProcess* run, char* buffer, size_t size)
{
    DWORD waiting = 0, read = 0;
    if (run->output < 0)
        return -1;
    if (PeekNamedPipe((HANDLE)run->output, NULL, 0, NULL, &waiting, NULL) && waiting == 0)
        return 0;
    if (ReadFile((HANDLE)run->output, buffer, (DWORD)size, &read, NULL) && read != 0)
        return (int)read;
    CloseHandle((HANDLE)run->output);
    run->output = -1;
    return -1;
}

int EndUnitProcess(UnitProcess* run)
{
    DWORD status = 128;
    WaitForSingleObject((HANDLE)run->process, INFINITE);
    GetExitCodeProcess((HANDLE)run->process, &status);
    CloseHandle((HANDLE)run->process);
    return (int)status;
}

void InterruptUnitProcess(const UnitProcess* run)
{
    (void)run;
}

bool MakeTempFile(char* path, size_t size)
{
    char folder[MAX_PATH];
    DWORD n = GetTempPathA(sizeof folder, folder);
    return n != 0 && n < sizeof folder && size >= MAX_PATH && GetTempFileNameA(folder, "upd", 0, path) != 0;
}
