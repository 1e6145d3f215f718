// Runs of this program on other units, for update --all: each a process
// started from the program's own file, its standard output a pipe.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

bool StartUnitProcess(const char* const* args, UnitProcess* run)
{
#ifdef __EMSCRIPTEN__
    (void)args;
    (void)run;
    return false;
#else
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    int ends[2];
    if (n <= 0 || pipe2(ends, O_CLOEXEC) != 0)
        return false;
    self[n] = '\0';
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    pid_t pid;
    int error = posix_spawn(&pid, self, &actions, NULL, const_cast<char* const*>(args), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (error != 0) {
        close(ends[0]);
        return false;
    }
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    run->process = pid;
    run->output = ends[0];
    return true;
#endif
}

void WaitForUnitOutput(const UnitProcess* runs, unsigned count, DWORD ms)
{
    struct pollfd fds[MAX_UNIT_PROCESSES];
    nfds_t n = 0;
    for (unsigned i = 0; i < count && n < MAX_UNIT_PROCESSES; ++i)
        if (runs[i].output >= 0)
            fds[n++] = {(int)runs[i].output, POLLIN, 0};
    poll(fds, n, (int)ms);
}

int ReadUnitOutput(UnitProcess* run, char* buffer, size_t size)
{
    if (run->output < 0)
        return -1;
    ssize_t n = read((int)run->output, buffer, size);
    if (n > 0)
        return (int)n;
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    close((int)run->output);
    run->output = -1;
    return -1;
}

int EndUnitProcess(UnitProcess* run)
{
    int status;
    while (waitpid((pid_t)run->process, &status, 0) < 0)
        if (errno != EINTR)
            return 128;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

void InterruptUnitProcess(const UnitProcess* run)
{
    kill((pid_t)run->process, SIGINT);
}

bool MakeTempFile(char* path, size_t size)
{
    const char* folder = getenv("TMPDIR");
    int n = snprintf(path, size, "%s/update-report-XXXXXX", folder != NULL && *folder != '\0' ? folder : "/tmp");
    int fd = n > 0 && (size_t)n < size ? mkstemp(path) : -1;
    return fd >= 0 && close(fd) == 0;
}
