// Loaded into the tool under test (LD_PRELOAD): the parent is held back for a
// while after every fork, as a busy machine may hold it back, so that the
// command runs, and may even end, before the parent goes on. The tool starts
// its command with vfork; here that becomes a fork (a function that returns
// twice cannot share its caller's stack) followed by the same pause. The
// parent says "fork delayed" on standard error, so that a test can tell that
// the library was loaded at all.
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

namespace {

pid_t forkThenPause() {
    using ForkFunction = pid_t (*)(void);
    static ForkFunction realFork = reinterpret_cast<ForkFunction>(dlsym(RTLD_NEXT, "fork"));
    pid_t pid = realFork();
    if (pid > 0) {
        struct timespec pause = {0, 300000000};
        while (nanosleep(&pause, &pause) == -1) {
        }
        static const char said[] = "fork delayed\n";
        ssize_t ignored = write(STDERR_FILENO, said, sizeof said - 1);
        (void)ignored;
    }
    return pid;
}

}  // namespace

extern "C" pid_t fork(void) { return forkThenPause(); }
extern "C" pid_t vfork(void) { return forkThenPause(); }
