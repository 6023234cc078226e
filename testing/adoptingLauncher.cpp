// Starts a test executable as the reaper of its orphaned descendants.
// Built for this machine, not the target: qemu-user refuses a process's
// own request to become a reaper, but the kernel keeps the mark across
// exec, and the emulator runs the target's test in this same process. So
// the tests that look for a command left running by the tool under test
// find it under emulation too.
//   adoptingLauncher PROGRAM [ARG...]
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    // Refused here too: the tests find that out for themselves and skip.
    (void)prctl(PR_SET_CHILD_SUBREAPER, 1L, 0L, 0L, 0L);
    execv(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
