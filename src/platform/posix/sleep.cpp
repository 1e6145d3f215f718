// Millisecond sleeps on POSIX systems.
#include "platform.h"

void Sleep(DWORD ms)
{
    SleepMilliseconds(ms);
}
