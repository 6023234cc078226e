// Process and file helpers for the tests; see testing.h.
#include "testing.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <signal.h>
#if defined(__linux__)
#include <sys/mount.h>
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <clocale>
#include <locale.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace {

[[noreturn]] void childFail(const char *what) {
    // In the child, before exec: say what failed and leave with a status the
    // tools never use, without running the parent's atexit handlers.
    dprintf(2, "test harness: %s: %s\n", what, strerror(errno));
    _exit(127);
}

void writeAll(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // the reader went away: what it read is what it gets
        }
        done += static_cast<size_t>(n);
    }
}

std::string makeTempDir() {
    char pattern[] = "/tmp/suite-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void removeTree(const std::string &path) {
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void applyEnvironment(const std::vector<std::string> &env) {
    for (const std::string &entry : env) {
        size_t eq = entry.find('=');
        if (eq == std::string::npos) {
            unsetenv(entry.c_str());
        } else {
            setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        }
    }
}

// Everything the child does between fork and exec.
[[noreturn]] void execChild(const std::string &path, const RunOptions &o, const std::string &dir,
                            int stdinFd, const char *ptySlave) {
    if (ptySlave) {
        setsid();
        int slave = open(ptySlave, O_RDWR);  // becomes the controlling terminal
        if (slave < 0) childFail("open pty slave");
        stdinFd = slave;
    }
    if (stdinFd >= 0) {
        dup2(stdinFd, 0);
        if (stdinFd != 0) close(stdinFd);
    } else if (o.stdinKind == StdinKind::Closed) {
        close(0);
    }
    std::string outPath = o.stdoutPath.empty() ? dir + "/stdout" : o.stdoutPath;
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) childFail("open output");
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) childFail("chdir");
    applyEnvironment(o.env);
    if (o.fileSizeLimit >= 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(o.fileSizeLimit);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) childFail("setrlimit");
    }
    if (o.openFileLimit >= 0) {
        // Only the three standard streams count against the limit.
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(o.openFileLimit);
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) childFail("setrlimit");
    }
    if (o.asNobody) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) childFail("drop privileges");
    }
    // The test process may ignore or block signals; the tool starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGQUIT, SIGHUP}) signal(sig, SIG_DFL);

    std::vector<char *> argv;
    std::string argv0 = o.argv0.value_or(path);
    argv.push_back(argv0.data());
    std::vector<std::string> args = o.args;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    childFail("exec");
}

}  // namespace

Running startTool(const std::string &path, const RunOptions &o) {
    Running r;
    r.dir = makeTempDir();
    int stdinFd = -1;
    int feed = -1;
    std::string slaveName;
    switch (o.stdinKind) {
    case StdinKind::Null:
        stdinFd = open("/dev/null", O_RDONLY);
        break;
    case StdinKind::File: {
        writeFile(r.dir + "/stdin", o.input);
        stdinFd = open((r.dir + "/stdin").c_str(), O_RDONLY);
        break;
    }
    case StdinKind::Path:
        stdinFd = open(o.stdinPath.c_str(), O_RDONLY);
        if (stdinFd < 0) throw std::runtime_error("cannot open " + o.stdinPath);
        break;
    case StdinKind::Pipe: {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
        stdinFd = fds[0];
        feed = fds[1];
        break;
    }
    case StdinKind::Pty: {
        r.ptyMaster = posix_openpt(O_RDWR | O_NOCTTY);
        if (r.ptyMaster < 0 || grantpt(r.ptyMaster) != 0 || unlockpt(r.ptyMaster) != 0)
            throw std::runtime_error("pseudo-terminal unavailable");
        slaveName = ptsname(r.ptyMaster);
        break;
    }
    case StdinKind::Closed:
        break;
    }
    fflush(nullptr);
    r.pid = fork();
    if (r.pid < 0) throw std::runtime_error("fork failed");
    if (r.pid == 0) {
        if (feed >= 0) close(feed);
        if (r.ptyMaster >= 0) close(r.ptyMaster);
        execChild(path, o, r.dir, stdinFd, slaveName.empty() ? nullptr : slaveName.c_str());
    }
    if (stdinFd >= 0) close(stdinFd);
    if (feed >= 0) {
        signal(SIGPIPE, SIG_IGN);
        writeAll(feed, o.input);
        close(feed);
    }
    if (r.ptyMaster >= 0 && !o.input.empty()) {
        writeAll(r.ptyMaster, o.input);
    }
    return r;
}

bool waitForStderr(const Running &r, const std::string &needle, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (readFile(r.dir + "/stderr").find(needle) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

RunResult finishTool(Running &r) {
    RunResult result;
    int wstatus = 0;
    while (waitpid(r.pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus)) {
        result.exited = true;
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    if (r.ptyMaster >= 0) close(r.ptyMaster);
    result.out = readFile(r.dir + "/stdout");
    result.err = readFile(r.dir + "/stderr");
    removeTree(r.dir);
    r.pid = -1;
    return result;
}

RunResult runTool(const std::string &path, const RunOptions &options) {
    Running r = startTool(path, options);
    return finishTool(r);
}

RunResult runInChild(const std::function<void()> &body) {
    std::string dir = makeTempDir();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out = open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        body();
        fflush(nullptr);
        _exit(0);
    }
    Running r;
    r.pid = pid;
    r.dir = dir;
    return finishTool(r);
}

namespace {

// Whether an orphan of this process's descendants comes to it: a grandchild
// whose parent ended is looked up in /proc. Under qemu-user, which refuses
// the request, a process made a reaper before the emulator started in it
// (testing/adoptingLauncher.cpp) still is one.
bool orphansComeHere() {
    int gate[2], told[2];
    if (pipe(gate) != 0) return false;
    if (pipe(told) != 0) {
        close(gate[0]);
        close(gate[1]);
        return false;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(gate[1]);
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            char byte;
            (void)!read(gate[0], &byte, 1);  // until the test closes the gate
            _exit(0);
        }
        (void)!write(told[1], &grandchild, sizeof grandchild);
        _exit(0);
    }
    close(gate[0]);
    close(told[1]);
    pid_t grandchild = -1;
    const bool heard = child > 0 && read(told[0], &grandchild, sizeof grandchild) == sizeof grandchild;
    close(told[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    bool adopted = false;
    if (heard && grandchild > 0) {
        for (pid_t mine : childrenOf(getpid())) adopted = adopted || mine == grandchild;
    }
    close(gate[1]);
    if (adopted) waitpid(grandchild, nullptr, 0);
    return adopted;
}

}  // namespace

bool adoptOrphans() {
#if defined(__linux__) && defined(PR_SET_CHILD_SUBREAPER)
    return prctl(PR_SET_CHILD_SUBREAPER, 1L, 0L, 0L, 0L) == 0 || orphansComeHere();
#else
    return false;  // no way to adopt orphans here: the tests that need it skip themselves
#endif
}

std::vector<pid_t> childrenOf(pid_t self) {
    // Every process whose parent is `self`, ended ones included; the kernel's
    // list of children is not always there, /proc's stat files are.
    std::vector<pid_t> children;
    std::unique_ptr<DIR, int (*)(DIR *)> proc(opendir("/proc"), closedir);
    if (!proc) return children;
    while (struct dirent *entry = readdir(proc.get())) {
        char *end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        std::string stat = readFile(std::string("/proc/") + entry->d_name + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        // After the name: " S ppid ..."
        long parent = std::strtol(stat.c_str() + close + 4, nullptr, 10);
        if (parent == self) children.push_back(static_cast<pid_t>(pid));
    }
    return children;
}

std::vector<pid_t> unreapedChildren() { return childrenOf(getpid()); }

void killChildren() {
    for (pid_t child : unreapedChildren()) {
        kill(child, SIGKILL);
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

TempDir::TempDir() : path_(makeTempDir()) {}
TempDir::~TempDir() { removeTree(path_); }
void TempDir::openToAll() const { chmod(path_.c_str(), 0777); }

SmallTmpfs::SmallTmpfs(long long bytes) : path_(makeTempDir()) {
#if defined(__linux__)
    std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0) {
        mounted_ = true;
    } else {
        why_ = std::string("mounting a tmpfs was refused: ") + std::strerror(errno);
    }
#else
    (void)bytes;
    why_ = "this system's tests mount no tmpfs";
#endif
}

SmallTmpfs::~SmallTmpfs() {
#if defined(__linux__)
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
#endif
    removeTree(path_);
}

std::string readFile(const std::string &path) {
    std::string data;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return data;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
    close(fd);
    return data;
}

void writeFile(const std::string &path, const std::string &data, unsigned mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) throw std::runtime_error("cannot write " + path);
    writeAll(fd, data);
    fchmod(fd, mode);
    close(fd);
}

std::string shellOutput(const std::string &command, int *status) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) throw std::runtime_error("popen failed");
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int s = pclose(p);
    if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return out;
}

bool commandExists(const std::string &name) {
    int status = 0;
    shellOutput("command -v '" + name + "' >/dev/null 2>&1", &status);
    return status == 0;
}

bool utf8LocaleLoads() {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 == static_cast<locale_t>(nullptr)) return false;
    freelocale(utf8);
    return true;
}

}  // namespace testing_support
