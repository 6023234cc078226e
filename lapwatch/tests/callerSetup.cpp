// A caller that leaves the signal state behind as scripts, shells and
// supervisors do, then becomes the program it was given, which inherits that
// state through the exec:
//   ignore SIG      SIG ignored (a number)
//   block SIG       SIG blocked
//   block-all       every signal blocked
//   alarm SECONDS   SIGALRM due in that many seconds
//   new-session     a session of its own (as setsid does)
//   own-group       a process group of its own in the same session
// Usage: callerSetup [STEP]... -- PROGRAM [ARGUMENT]...
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    sigset_t blocked;
    sigemptyset(&blocked);
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const char *step = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : "0";
        if (std::strcmp(step, "ignore") == 0) {
            signal(std::atoi(value), SIG_IGN);
            ++i;
        } else if (std::strcmp(step, "block") == 0) {
            sigaddset(&blocked, std::atoi(value));
            ++i;
        } else if (std::strcmp(step, "block-all") == 0) {
            sigfillset(&blocked);
        } else if (std::strcmp(step, "alarm") == 0) {
            alarm(static_cast<unsigned>(std::atoi(value)));
            ++i;
        } else if (std::strcmp(step, "new-session") == 0) {
            if (setsid() == -1) std::perror("setsid");
        } else if (std::strcmp(step, "own-group") == 0) {
            if (setpgid(0, 0) == -1) std::perror("setpgid");
        } else {
            std::fprintf(stderr, "callerSetup: unknown step %s\n", step);
            return 2;
        }
    }
    if (i + 1 >= argc) return 2;
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    execvp(argv[i + 1], argv + i + 1);
    std::perror(argv[i + 1]);
    return 127;
}
