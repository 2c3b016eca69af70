/* Preloaded into a whole update (the updater and the PowerShell it starts):
   every fsync and fdatasync waits FLUSH_DELAY_MS milliseconds first, a model
   of a disk whose cache flush is slow, and is counted as one line naming the
   calling program in the file FLUSH_LOG (when set). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void before_flush(void) {
    const int saved = errno;
    const char* log = getenv("FLUSH_LOG");
    if (log) {
        const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char line[256];
            const size_t n = strlen(program_invocation_short_name);
            if (n < sizeof line) {
                memcpy(line, program_invocation_short_name, n);
                line[n] = '\n';
                (void)!write(fd, line, n + 1);
            }
            close(fd);
        }
    }
    const char* delay = getenv("FLUSH_DELAY_MS");
    const long ms = delay ? atol(delay) : 0;
    if (ms > 0) {
        struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    errno = saved;
}

int fsync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    before_flush();
    return real(fd);
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    before_flush();
    return real(fd);
}
