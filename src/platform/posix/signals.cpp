// Interruptions on POSIX: SIGINT, SIGTERM and SIGHUP set a flag that the
// main thread's waits and sends look at. The handlers are installed without
// SA_RESTART, so that a read waiting for a key returns at once; threads of
// the platform's own block these signals, so that the main thread gets
// them.
#include "platform.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static volatile sig_atomic_t g_signal;
static const int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

static void NoteSignal(int number)
{
    g_signal = number;
}

void CatchInterruptions(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    for (int number : SIGNALS)
        sigaction(number, &action, NULL);
}

void BlockInterruptions(void)
{
    sigset_t set;
    sigemptyset(&set);
    for (int number : SIGNALS)
        sigaddset(&set, number);
    pthread_sigmask(SIG_BLOCK, &set, NULL);
}

bool Interrupted(void)
{
    return g_signal != 0;
}

int InterruptedStatus(void)
{
    return 128 + g_signal;
}

// The shell must see the program killed by the signal (status 130, 143 or
// 129), so that a loop around it stops too.
void EndInterrupted(void)
{
    fflush(stdout);
    int number = g_signal;
    signal(number, SIG_DFL);
    raise(number);
    _exit(128 + number);
}
