// Helpers shared by every tool's tests: run a built tool as a user would
// (arguments, standard input from data, a pipe, a file or a pseudo-terminal,
// environment, working directory, limits, an unprivileged user), run a piece
// of code in a child process with its output captured, and scratch folders.
#pragma once

#include <sys/types.h>
#include <time.h>

// The tests that substitute the clock at link time (-Wl,--wrap=clock_gettime)
// define __wrap_clock_gettime and call __real_clock_gettime. On a 32-bit
// system built with a 64-bit time the C library's entry is __clock_gettime64,
// which those links wrap too; the names here follow it.
#if defined(__USE_TIME_BITS64) && defined(__TIMESIZE) && __TIMESIZE == 32
#define __wrap_clock_gettime __wrap___clock_gettime64
#define __real_clock_gettime __real___clock_gettime64
#endif

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

enum class StdinKind {
    Null,   // /dev/null
    Pipe,   // a pipe fed with `input`, then closed
    File,   // a regular file holding `input`
    Path,   // the file named by `stdinPath`
    Pty,    // the slave side of a pseudo-terminal; `input` is typed into it
    Closed  // descriptor 0 closed
};

struct RunOptions {
    std::vector<std::string> args;          // argv[1..]
    StdinKind stdinKind = StdinKind::Null;
    std::string input;                      // for Pipe, File and Pty
    std::string stdinPath;                  // for Path
    std::vector<std::string> env;           // "NAME=VALUE" sets, "NAME" unsets
    std::string cwd;                        // empty: the test's own
    long long fileSizeLimit = -1;           // RLIMIT_FSIZE in bytes; SIGXFSZ ignored
    int openFileLimit = -1;                 // RLIMIT_NOFILE, with every descriptor above 2 closed
    bool asNobody = false;                  // drop to uid/gid 65534 before exec
    std::optional<std::string> argv0;       // default: the path
    std::string stdoutPath;                 // empty: captured; else opened O_WRONLY|O_CREAT|O_TRUNC
};

struct RunResult {
    std::string out;      // standard output (empty when redirected to stdoutPath)
    std::string err;      // standard error
    bool exited = false;  // ended normally
    int status = -1;      // exit status when exited
    int signal = 0;       // terminating signal otherwise
};

// A tool started in the background, for tests that signal it while it runs.
struct Running {
    pid_t pid = -1;
    std::string dir;      // scratch folder with its captured output
    int ptyMaster = -1;
};

RunResult runTool(const std::string &path, const RunOptions &options = {});
Running startTool(const std::string &path, const RunOptions &options = {});
// Waits until the tool's standard error holds `needle` (true) or the time runs out.
bool waitForStderr(const Running &running, const std::string &needle, int timeoutMs = 10000);
RunResult finishTool(Running &running);

// Runs `body` in a forked child with standard output and error captured;
// the child exits 0 if `body` returns.
RunResult runInChild(const std::function<void()> &body);

// Makes this process the reaper of its orphaned descendants, so that a test
// sees a process that outlived the tool that started it: it becomes a child
// of the test. False where the system refuses.
bool adoptOrphans();
// The children of `parent` that it has not reaped, running or ended.
std::vector<pid_t> childrenOf(pid_t parent);
// This process's own: childrenOf(getpid()).
std::vector<pid_t> unreapedChildren();
// Kills and reaps them (after a test that found some).
void killChildren();

// A scratch folder removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Opens the folder to every user (for tests run as an unprivileged user).
    void openToAll() const;

private:
    std::string path_;
};

// A tmpfs of a given size, mounted on a fresh folder for one test (this
// needs root) and unmounted when the object goes: a small disk that fills
// up for real. When mounting is refused, mounted() is false and why() says
// what the system answered, for the test to skip itself visibly.
class SmallTmpfs {
public:
    explicit SmallTmpfs(long long bytes);
    ~SmallTmpfs();
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;
    bool mounted() const { return mounted_; }
    const std::string &why() const { return why_; }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
    bool mounted_ = false;
    std::string why_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &data, unsigned mode = 0644);
// Runs a shell command line and returns its standard output (for oracles
// such as sha256sum or expand); the exit status goes to *status if given.
std::string shellOutput(const std::string &command, int *status = nullptr);
bool commandExists(const std::string &name);
// Whether this system's C library can load a UTF-8 locale (C.UTF-8). Under
// an emulator of a big-endian processor it cannot load the host's locale
// files, which are of the other byte order, and a tool then takes the
// system as having none.
bool utf8LocaleLoads();

}  // namespace testing_support
