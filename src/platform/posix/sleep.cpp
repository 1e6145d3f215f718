// Millisecond sleeps on POSIX systems.
#include "platform.h"

#include <errno.h>
#include <time.h>

void Sleep(DWORD ms)
{
    struct timespec left = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR)
        ;
}
