// Millisecond sleeps and the clock on POSIX systems.
#include "platform.h"

#include <time.h>

void Sleep(DWORD ms)
{
    SleepMilliseconds(ms);
}

DWORD GetTickCount(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (DWORD)((uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000);
}
