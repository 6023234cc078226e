// Input that comes through a pipe; see inputPipe.h.
#include "inputPipe.h"

#include <fcntl.h>
#include <sys/stat.h>

void widenInputPipe(int fd) {
#if SUITE_HAVE_PIPE_SIZE
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) return;
    const int held = fcntl(fd, F_GETPIPE_SZ);
    if (held >= 0 && held < kWidePipe) (void)fcntl(fd, F_SETPIPE_SZ, kWidePipe);
#else
    (void)fd;
#endif
}
