// Console and directory services on POSIX systems.
#include "platform.h"

#include "common/ascii.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

static char g_stdoutBuffer[4096];

// Windows matches '*' against any run of characters and '?' against one,
// folding ASCII letters only.
static bool MatchesWildcard(const char* pattern, const char* name)
{
    if (*pattern == '\0')
        return *name == '\0';
    if (*pattern == '*')
        return MatchesWildcard(pattern + 1, name) || (*name != '\0' && MatchesWildcard(pattern, name + 1));
    if (*name == '\0')
        return false;
    if (*pattern != '?' && FoldAscii((unsigned char)*pattern) != FoldAscii((unsigned char)*name))
        return false;
    return MatchesWildcard(pattern + 1, name + 1);
}

static int UpperAscii(int c)
{
    return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
}

// Orders names the way NTFS lists them: folded to upper case, so that
// "Quellam.kit" comes before "_old.kit"; names that differ only in case in
// byte order.
static int CompareNames(const char* a, const char* b)
{
    for (size_t i = 0;; ++i) {
        int fa = UpperAscii((unsigned char)a[i]), fb = UpperAscii((unsigned char)b[i]);
        if (fa != fb)
            return fa - fb;
        if (a[i] == '\0')
            return strcmp(a, b);
    }
}

// Standard descriptors that the parent left closed are opened on /dev/null,
// so that no file or device the program opens later is mistaken for them.
static void OpenMissingStandardFiles(void)
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) == -1)
            return;
}

// Linux ends a sleep up to the thread's timer slack late, 50 us unless the
// thread asks for less; over the thousands of 1 ms pauses of an update that
// is several percent of its time. Asking costs far less than the pause.
void SleepMilliseconds(DWORD ms)
{
#ifdef __linux__
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    struct timespec left = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR)
        ;
}

// A reader that goes away (a pipe to a pager closed early) must not stop an
// update half-way: a write to it fails instead of ending the process.
void PrepareConsole(void)
{
    signal(SIGPIPE, SIG_IGN);
    OpenMissingStandardFiles();
    if (isatty(STDOUT_FILENO))
        setvbuf(stdout, NULL, _IONBF, 0);
    else
        setvbuf(stdout, g_stdoutBuffer, _IOFBF, sizeof g_stdoutBuffer);
}

bool FindFirstMatch(const char* pattern, char* name, size_t size)
{
    DIR* dir = opendir(".");
    if (dir == NULL)
        return false;
    bool found = false;
    for (struct dirent* entry; (entry = readdir(dir)) != NULL;) {
        size_t length = strlen(entry->d_name);
        if (!MatchesWildcard(pattern, entry->d_name) || length >= size)
            continue;
        if (!found || CompareNames(entry->d_name, name) < 0) {
            memcpy(name, entry->d_name, length + 1);
            found = true;
        }
    }
    closedir(dir);
    return found;
}

// One raw key press on a terminal; on a pipe or file one byte, or the end.
static void WaitForKey(void)
{
    struct termios saved, raw;
    bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        raw = saved;
        raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    // Polled, so that a signal that comes just before the read still ends
    // the wait.
    struct pollfd in = {STDIN_FILENO, POLLIN, 0};
    char key;
    while (!Interrupted()) {
        int ready = poll(&in, 1, 100);
        if (ready > 0 && (read(STDIN_FILENO, &key, 1) >= 0 || errno != EINTR))
            break;
        if (ready < 0 && errno != EINTR)
            break;
    }
    if (terminal)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

// An interruption ends the wait, and nothing more is printed.
void PauseConsole(void)
{
    printf("Press any key to continue . . . ");
    fflush(stdout);
    WaitForKey();
    if (!Interrupted())
        printf("\n");
    fflush(stdout);
}

bool OutputIsConsole(void)
{
    const char* term = getenv("TERM");
    return isatty(STDOUT_FILENO) && term != NULL && strcmp(term, "dumb") != 0;
}

// Opening a FIFO for reading would wait for a writer: the file is opened
// without waiting, and looked at before it is read.
FILE* OpenRegularFile(const char* path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return NULL;
    struct stat info;
    FILE* file = NULL;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && fcntl(fd, F_SETFL, 0) == 0)
        file = fdopen(fd, "rb");
    if (file == NULL)
        close(fd);
    return file;
}

intptr_t OpenAppending(const char* path, const char** why)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        fd = -1;
        errno = EINVAL;
    }
    *why = fd < 0 ? (errno == EINVAL ? "it is no regular file" : strerror(errno)) : NULL;
    return fd;
}

// A regular file takes a write whole, at its end at that moment.
bool AppendWhole(intptr_t file, const char* text, size_t n)
{
    bool whole = write((int)file, text, n) == (ssize_t)n;
    return close((int)file) == 0 && whole;
}
