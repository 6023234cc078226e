// In-place conversion under real faults: a disk that fills up, signals at
// many moments of a large conversion, two runs on one file, a hostile
// working directory, a memory limit, I/O errors injected at the C library,
// a caller who may write a file without owning it, and times kept to the
// nanosecond. After each, every file named must hold exactly its original
// bytes or exactly their full conversion, and no temporary file may be left
// unless it holds the only complete copy and is named in a message.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fileCalls.h"
#include "temporaryFiles.h"
#include "testing.h"

using testing_support::readFile;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::Running;
using testing_support::runTool;
using testing_support::shellOutput;
using testing_support::SmallTmpfs;
using testing_support::startTool;
using testing_support::finishTool;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t largeFile = 12u << 20;  // the sanitizers slow the tool down several times
#else
constexpr size_t largeFile = 64u << 20;
#endif

const char unset[] = "BLANKFILL_SPACING";

// What /proc/self/fd shows of the temporary file until it is complete: a
// nameless file, or one named replPartXXXXXX where none can be made. A
// message about it names it only where it has that name on disk, so the
// expected text stops at the name's random part.
#if SUITE_HAVE_O_TMPFILE
const char temporaryInTheMaking[] = "(deleted)";
std::string notWritten(const char *call, const std::string &cause) {
    return std::string("Error while writing [") + call + "()] the temporary file: " + cause +
           ": original file left unchanged\n";
}
#else
const char temporaryInTheMaking[] = "replPart";
std::string notWritten(const char *call, const std::string &) {
    return std::string("Error while writing [") + call + "()] the temporary file \"replPart";
}
#endif

// Source-like text of about `bytes` bytes: each line begins with tabs and
// has tabs inside, so that the conversion grows it by about a half.
std::string makeText(size_t bytes, unsigned seed = 1) {
    std::string text;
    text.reserve(bytes + 64);
    unsigned state = seed;
    while (text.size() < bytes) {
        state = state * 1103515245u + 12345u;
        text.append((state >> 16) % 3 + 1, '\t');
        text += "value";
        text += static_cast<char>('a' + (state >> 20) % 26);
        text += "\t= 42;\t// note\n";
    }
    return text;
}

// Every tab to the next stop of 4; the text holds no backspaces.
std::string expanded(const std::string &text) {
    std::string out;
    out.reserve(text.size() * 2);
    size_t column = 0;
    for (char c : text) {
        if (c == '\t') {
            size_t n = 4 - column % 4;
            out.append(n, ' ');
            column += n;
        } else {
            out += c;
            column = c == '\n' ? 0 : column + 1;
        }
    }
    return out;
}

RunOptions inPlace(std::vector<std::string> files, const std::string &cwd) {
    RunOptions options;
    options.args = {"-i"};
    options.args.insert(options.args.end(), files.begin(), files.end());
    options.env = {unset};
    options.cwd = cwd;
    return options;
}

RunResult runInPlace(std::vector<std::string> files, const std::string &cwd) {
    return runTool(BLANKFILL_PATH, inPlace(std::move(files), cwd));
}

std::string counts(int converted, int notConverted) {
    auto line = [](int n, const char *what) {
        return std::to_string(n) + (n == 1 ? " file was " : " files were ") + what + ".\n";
    };
    return line(converted, "converted") + (notConverted != 0 ? line(notConverted, "not converted") : "");
}

// Large contents are compared whole; a difference shows only their sizes.
::testing::AssertionResult same(const std::string &actual, const std::string &expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                         << " were expected";
}

struct stat statusOf(const std::string &path) {
    struct stat s {};
    stat(path.c_str(), &s);
    return s;
}

// ---- A disk that fills up ----------------------------------------------------

// Where the new contents cannot all be had on the target's file system, the
// target is never touched: no room for the temporary copy, room for it but
// not for the target's growth, and the working directory on another file
// system than a full target's; through a symbolic link and a second hard
// link alike.
TEST(InPlaceSafety, FullDiskLeavesTheFileUnchanged) {
    SmallTmpfs disk(2 << 20);
    if (!disk.mounted()) GTEST_SKIP() << disk.why();
    TempDir elsewhere;
    const std::string fits = makeText(780 << 10);        // converted: about 1.1 MiB
    const std::string tooLarge = makeText(1600 << 10);   // converted: about 2.2 MiB
    const std::string small = "\tsmall\n";
    const std::string noRoom =
        ": Cannot make room for the new contents: No space left on device: original file left unchanged\n";
    struct Case {
        const char *label;
        std::string contents;
        std::string cwd;
        std::vector<std::string> names;  // as given to the tool: victim, then perhaps others
        std::string expectedStart;       // of standard error
    } cases[] = {
        {"room for the copy, not for the growth", fits, disk.path(), {"victim"}, "blankfill: \"victim\"" + noRoom},
        {"through a symbolic link", fits, disk.path(), {"link"}, "blankfill: \"link\"" + noRoom},
        {"through a second hard link", fits, disk.path(), {"hard"}, "blankfill: \"hard\"" + noRoom},
        {"working directory on another disk", tooLarge, elsewhere.path(), {disk.file("victim")},
         "blankfill: \"" + disk.file("victim") + "\"" + noRoom},
        {"no room for the copy; the run goes on", tooLarge, disk.path(), {"victim", "small"},
         "blankfill: \"victim\": " + notWritten("write", std::strerror(ENOSPC))},
    };
    for (const Case &c : cases) {
        writeFile(disk.file("victim"), c.contents);
        writeFile(disk.file("small"), small);
        unlink(disk.file("link").c_str());
        unlink(disk.file("hard").c_str());
        ASSERT_EQ(symlink("victim", disk.file("link").c_str()), 0);
        ASSERT_EQ(link(disk.file("victim").c_str(), disk.file("hard").c_str()), 0);
        ino_t inode = statusOf(disk.file("victim")).st_ino;

        RunResult r = runInPlace(c.names, c.cwd);
        EXPECT_EQ(r.status, 0) << c.label;
        EXPECT_EQ(r.err.rfind(c.expectedStart, 0), 0u) << c.label << ": " << r.err;
        EXPECT_TRUE(same(readFile(disk.file("victim")), c.contents)) << c.label;
        EXPECT_EQ(statusOf(disk.file("victim")).st_ino, inode) << c.label;
        EXPECT_EQ(statusOf(disk.file("victim")).st_nlink, 2u) << c.label;
        EXPECT_TRUE(temporaryFiles(disk.path()).empty()) << c.label;
        EXPECT_TRUE(temporaryFiles(elsewhere.path()).empty()) << c.label;
        if (c.names.size() == 2) {
            EXPECT_NE(r.err.find("No space left on device: original file left unchanged\n"), std::string::npos);
            EXPECT_TRUE(same(readFile(disk.file("small")), expanded(small)));
            EXPECT_NE(r.err.find(counts(1, 1)), std::string::npos) << r.err;
        } else {
            EXPECT_NE(r.err.find(counts(0, 1)), std::string::npos) << r.err;
        }
    }
}

// Several files in one run on a disk that fills part-way: every file is
// original or converted, and the counts say which.
TEST(InPlaceSafety, DiskFillingDuringARun) {
    SmallTmpfs disk(2 << 20);
    if (!disk.mounted()) GTEST_SKIP() << disk.why();
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a", makeText(200 << 10, 1)}, {"b", makeText(600 << 10, 2)},
        {"c", makeText(200 << 10, 3)}, {"d", makeText(600 << 10, 4)}};
    std::vector<std::string> names;
    for (const auto &[name, text] : files) {
        writeFile(disk.file(name), text);
        names.push_back(name);
    }
    RunResult r = runInPlace(names, disk.path());
    EXPECT_EQ(r.status, 0);
    int converted = 0;
    int unchanged = 0;
    for (const auto &[name, text] : files) {
        std::string now = readFile(disk.file(name));
        if (now == expanded(text)) {
            ++converted;
        } else {
            EXPECT_TRUE(same(now, text)) << name << " is neither original nor converted";
            ++unchanged;
        }
    }
    // Where the kind of file system cannot be told, every one is taken for
    // copy-on-write, and the whole new size must be free: all may be refused.
    if (SUITE_HAVE_FSTATFS) {
        EXPECT_GE(converted, 1) << r.err;
    }
    EXPECT_GE(unchanged, 1) << r.err;
    EXPECT_NE(r.err.find(counts(converted, unchanged)), std::string::npos) << r.err;
    EXPECT_TRUE(temporaryFiles(disk.path()).empty());
}

// A file-size limit makes the writes fail rather than kill the tool, also
// when the caller left SIGXFSZ at its default (a shell's ulimit -f); a limit
// on open files is named as the cause, and the run goes on either way.
TEST(InPlaceSafety, LimitsAreReportedWithTheirCause) {
    struct Case {
        const char *limit;
        int cause;
        int converted;
    } cases[] = {
        // The copy fails to be written: the file is named, but no temporary
        // file that never had a name on disk is.
        {"file size", EFBIG, 1},
        // No descriptor to look the name up with: that is said, not that
        // the file cannot be found.
        {"open files", EMFILE, 0},
    };
    for (const Case &c : cases) {
        TempDir dir;
        const std::string big = makeText(100 << 10);
        writeFile(dir.file("big"), big);
        writeFile(dir.file("small"), "\tx\n");
        RunResult r;
        if (c.cause == EFBIG) {
            r.status = 0;
            r.err = shellOutput("cd " + dir.path() + " && ulimit -f 100 && exec env -u " + unset + " " +
                                    BLANKFILL_PATH + " -i big small 2>&1",
                                &r.status);
        } else {
            RunOptions options = inPlace({"big", "small"}, dir.path());
            options.openFileLimit = 4;
            r = runTool(BLANKFILL_PATH, options);
        }
        const std::string &out = r.err;
        EXPECT_EQ(r.status, 0) << c.limit << ": -1 means ended by a signal: " << out;
        // (Where names are looked up without handles, the open of the file
        // itself is what runs out of descriptors, and says so.)
        EXPECT_EQ(out.find("blankfill: "), 0u) << c.limit << ": " << out;
        EXPECT_LT(out.find("\"big\""), out.find('\n')) << c.limit << ": " << out;
        EXPECT_NE(out.find(std::strerror(c.cause)), std::string::npos) << c.limit << ": " << out;
        EXPECT_EQ(out.find("Cannot find"), std::string::npos) << c.limit << ": " << out;
        if (SUITE_HAVE_O_TMPFILE) {
            EXPECT_EQ(out.find("replFile"), std::string::npos) << c.limit << ": " << out;
        }
        EXPECT_NE(out.find(counts(c.converted, 2 - c.converted)), std::string::npos) << c.limit << ": " << out;
        EXPECT_TRUE(same(readFile(dir.file("big")), big)) << c.limit;
        EXPECT_EQ(readFile(dir.file("small")), c.converted ? "    x\n" : "\tx\n") << c.limit;
        EXPECT_TRUE(temporaryFiles(dir.path()).empty()) << c.limit;
    }
}

// ---- Signals and crashes -------------------------------------------------------

double secondsOf(const std::chrono::steady_clock::duration &d) {
    return std::chrono::duration<double>(d).count();
}

// SIGINT, SIGTERM and SIGHUP at a dozen moments spread over a large
// conversion, timed from a reference run: each time the file is original or
// converted, the tool ends by the signal (or has finished), says nothing of
// counts, and leaves no temporary file.
TEST(InPlaceSafety, SignalsAtManyMoments) {
    TempDir dir;
    const std::string original = makeText(largeFile);
    const std::string converted = expanded(original);
    writeFile(dir.file("f"), original);
    auto start = std::chrono::steady_clock::now();
    RunResult reference = runInPlace({"f"}, dir.path());
    double duration = secondsOf(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(reference.err, counts(1, 0));
    ASSERT_TRUE(same(readFile(dir.file("f")), converted));

    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    int endedBySignal = 0;
    for (int moment = 0; moment < 12; ++moment) {
        int signalNumber = signals[moment % 4];
        writeFile(dir.file("f"), original);
        Running running = startTool(BLANKFILL_PATH, inPlace({"f"}, dir.path()));
        std::this_thread::sleep_for(std::chrono::duration<double>(duration * (moment + 0.5) / 12));
        kill(running.pid, signalNumber);
        RunResult r = finishTool(running);
        std::string label = "moment " + std::to_string(moment) + ", signal " + std::to_string(signalNumber);
        std::string now = readFile(dir.file("f"));
        EXPECT_TRUE(now == original || now == converted) << label << ": " << now.size() << " bytes";
        EXPECT_TRUE(temporaryFiles(dir.path()).empty()) << label;
        if (r.exited) {
            EXPECT_EQ(r.status, 0) << label;
            EXPECT_TRUE(same(now, converted)) << label;
        } else {
            EXPECT_EQ(r.signal, signalNumber) << label;
            // A signal may still come after the counts were written, while
            // the process ends (the sanitizers' checks at exit take a
            // while): the run was then complete.
            if (r.err.find("converted") != std::string::npos) {
                EXPECT_EQ(r.err, counts(1, 0)) << label;
                EXPECT_TRUE(same(now, converted)) << label;
                continue;
            }
            ++endedBySignal;
        }
    }
    EXPECT_GE(endedBySignal, 6) << "most moments should fall inside the run";
}

// SIGKILL cannot be caught: after it, at any moment, a complete copy of the
// original or of the new contents still exists, in the file itself or in
// the temporary file left in the working directory; and every file left
// under a replFileXXXXXX name holds the complete new contents, so that the
// recovery advice (cat replFileXXXXXX > file) never loses anything.
TEST(InPlaceSafety, KillAtAnyMomentLeavesACompleteCopy) {
    TempDir dir;
    const std::string original = makeText(largeFile / 2);
    const std::string converted = expanded(original);
    writeFile(dir.file("f"), original);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(runInPlace({"f"}, dir.path()).err, counts(1, 0));
    double duration = secondsOf(std::chrono::steady_clock::now() - start);
    int moments = 12;
    for (int moment = 0; moment < moments; ++moment) {
        writeFile(dir.file("f"), original);
        Running running = startTool(BLANKFILL_PATH, inPlace({"f"}, dir.path()));
        std::this_thread::sleep_for(std::chrono::duration<double>(duration * (moment + 0.5) / moments));
        kill(running.pid, SIGKILL);
        finishTool(running);
        std::string now = readFile(dir.file("f"));
        bool whole = now == original || now == converted;
        for (const std::string &name : temporaryFiles(dir.path())) {
            bool complete = readFile(dir.file(name)) == converted;
            EXPECT_TRUE(complete) << "moment " << moment << ": " << name << " is incomplete";
            whole = whole || complete;
            unlink(dir.file(name).c_str());
        }
        // Where no nameless file can be made, a partial copy says so by its name.
        if (DIR *d = opendir(dir.path().c_str())) {
            while (struct dirent *entry = readdir(d)) {
                if (std::strncmp(entry->d_name, "replPart", 8) == 0) unlink(dir.file(entry->d_name).c_str());
            }
            closedir(d);
        }
        EXPECT_TRUE(whole) << "moment " << moment << ": no complete copy is left";
    }
}

// ---- Other processes -----------------------------------------------------------

bool stillRunning(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

// A second run that finds the file being converted leaves it alone. On a
// busy machine the two runs may not meet; the attempt is then made again on
// a larger file.
TEST(InPlaceSafety, TwoRunsOnOneFile) {
    TempDir dir;
    TempDir first;
    TempDir second;
    bool overlapped = false;
    for (size_t size = largeFile; size <= 4 * largeFile && !overlapped; size *= 2) {
        const std::string original = makeText(size);
        // The second run starts a fifth of the way into the first, as long
        // as a plain run of this size takes on this machine (the temporary
        // file has no name to wait for until it is complete).
        writeFile(dir.file("f"), original);
        const auto start = std::chrono::steady_clock::now();
        runInPlace({dir.file("f")}, first.path());
        const double duration = secondsOf(std::chrono::steady_clock::now() - start);
        writeFile(dir.file("f"), original);
        Running running = startTool(BLANKFILL_PATH, inPlace({dir.file("f")}, first.path()));
        std::this_thread::sleep_for(std::chrono::duration<double>(duration / 5));
        RunResult other = runInPlace({dir.file("f")}, second.path());
        RunResult r = finishTool(running);
        EXPECT_EQ(r.err, counts(1, 0));
        EXPECT_TRUE(same(readFile(dir.file("f")), expanded(original)));
        EXPECT_TRUE(temporaryFiles(second.path()).empty());
        // The second run either met the first converting and left the file
        // alone, or ran wholly before or after it (a busy machine).
        overlapped = other.err.find("being converted by another process") != std::string::npos;
        if (overlapped) {
            EXPECT_EQ(other.err, "blankfill: \"" + dir.file("f") +
                                     "\": The file is being converted by another process; original file left unchanged\n" +
                                     counts(0, 1));
            EXPECT_EQ(other.status, 0);
        } else {
            EXPECT_EQ(other.err, counts(1, 0));
        }
    }
    EXPECT_TRUE(overlapped) << "the second run never met the first one converting";
}

// One run naming a file twice converts it (the second time changes nothing).
TEST(InPlaceSafety, OneFileNamedTwice) {
    TempDir dir;
    writeFile(dir.file("f"), "\ta\tb\n");
    RunResult r = runInPlace({"f", "f"}, dir.path());
    EXPECT_EQ(r.err, counts(2, 0));
    EXPECT_EQ(readFile(dir.file("f")), "    a   b\n");
}

// A helper running as nobody that waits for the tool's temporary file in
// `dir` (or, with a delay given, that long) and then tries `attack` once.
// It ends with status 0 when the attack was made while the tool was still
// converting, and gives up after ten seconds.
pid_t startAttacker(const std::string &dir, bool (*attack)(const std::string &dir, const std::string &temporary),
                    int delayMicroseconds = -1) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        if (delayMicroseconds >= 0) {
            usleep(static_cast<useconds_t>(delayMicroseconds));
            _exit(attack(dir, "") ? 0 : 3);
        }
        for (int tries = 0; tries < 100000; ++tries) {
            std::vector<std::string> found = temporaryFiles(dir);
            if (!found.empty()) _exit(attack(dir, found[0]) ? 0 : 3);
            usleep(100);
        }
        _exit(1);
    }
    return pid;
}

bool attackMade(pid_t attacker) {
    int status = 0;
    waitpid(attacker, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string secretPath;  // a root-only file the attacks point at

// The temporary file swapped for a link to the secret.
bool swapTemporary(const std::string &dir, const std::string &temporary) {
    std::string path = dir + "/" + temporary;
    return unlink(path.c_str()) == 0 && symlink(secretPath.c_str(), path.c_str()) == 0;
}

// The target's name swapped for a link to the secret, soon after the run
// starts: the copy in the making has no name to wait for.
bool swapTarget(const std::string &dir, const std::string &) {
    std::string target = dir + "/g";
    return rename(target.c_str(), (target + ".moved").c_str()) == 0 && symlink(secretPath.c_str(), target.c_str()) == 0;
}

// Anyone who may write the working directory can swap the temporary file,
// or the target's name, for a symbolic link while the conversion runs:
// nothing outside the target is ever read or written. On a busy machine the
// helper may come too late; the attempt is then made again on a larger file.
TEST(InPlaceSafety, HostileWorkingDirectory) {
    TempDir shared;
    shared.openToAll();
    TempDir vault;  // 0700, root's
    secretPath = vault.file("key");
    const std::string secret = "PRIVATE KEY 0123456789\n";
    writeFile(secretPath, secret, 0600);

    bool temporarySwapped = false;
    bool targetSwapped = false;
    for (size_t size = largeFile / 2; size <= 4 * largeFile && !(temporarySwapped && targetSwapped); size *= 2) {
        const std::string original = makeText(size);
        if (!temporarySwapped) {
            writeFile(shared.file("f"), original);
            pid_t attacker = startAttacker(shared.path(), swapTemporary);
            RunResult r = runInPlace({"f"}, shared.path());
            temporarySwapped = attackMade(attacker);
            EXPECT_EQ(r.err, counts(1, 0));
            EXPECT_TRUE(same(readFile(shared.file("f")), expanded(original)));
            EXPECT_EQ(readFile(secretPath), secret);
            EXPECT_EQ(statusOf(secretPath).st_mode & 07777, 0600u);
        }
        if (!targetSwapped) {
            // The swap comes a third of the way into a run of this size, as
            // long as a plain run of it takes on this machine.
            writeFile(shared.file("g"), original);
            const auto start = std::chrono::steady_clock::now();
            runInPlace({"g"}, shared.path());
            const double duration = secondsOf(std::chrono::steady_clock::now() - start);
            writeFile(shared.file("g"), original);
            unlink(shared.file("g.moved").c_str());
            pid_t attacker = startAttacker(shared.path(), swapTarget, static_cast<int>(duration * 1e6 / 3));
            RunResult r = runInPlace({"g"}, shared.path());
            bool swapped = attackMade(attacker);
            EXPECT_EQ(readFile(secretPath), secret);
            // A swap that came as the file was already being written back
            // finds it converted under its old inode: safe, but no proof.
            targetSwapped = swapped && r.err.find("changed during the conversion") != std::string::npos;
            if (targetSwapped) {
                EXPECT_EQ(r.err, "blankfill: \"g\": The file changed during the conversion; it was left as it is now\n" +
                                     counts(0, 1));
                EXPECT_TRUE(same(readFile(shared.file("g.moved")), original));
                EXPECT_TRUE(temporaryFiles(shared.path()).empty());
            } else if (swapped && r.err.find("belongs to another user") != std::string::npos) {
                EXPECT_TRUE(same(readFile(shared.file("g.moved")), original));  // swapped before the run began
            } else if (swapped) {
                EXPECT_TRUE(same(readFile(shared.file("g.moved")), expanded(original)));
            }
            unlink(shared.file("g").c_str());
        }
    }
    EXPECT_TRUE(temporarySwapped) << "the helper never swapped the temporary file in time";
    EXPECT_TRUE(targetSwapped) << "the helper never swapped the target's name in time";
}

// ---- Memory ----------------------------------------------------------------------

// A memory cgroup of the given limit for one command, where this machine
// offers one (the first version's memory controller, or the second's).
class MemoryLimit {
public:
    explicit MemoryLimit(long long bytes) {
        for (const char *root : {"/sys/fs/cgroup/memory", "/sys/fs/cgroup"}) {
            std::string own = ownGroup(root);
            if (own.empty()) continue;
            std::string group = std::string(root) + own + "/blankfill-test-" + std::to_string(getpid());
            if (mkdir(group.c_str(), 0755) != 0) continue;
            bool set = writeTo(group + "/memory.limit_in_bytes", std::to_string(bytes)) ||
                       writeTo(group + "/memory.max", std::to_string(bytes));
            if (set) {
                writeTo(group + "/memory.memsw.limit_in_bytes", std::to_string(bytes));
                writeTo(group + "/memory.swap.max", "0");
                path_ = group;
                return;
            }
            rmdir(group.c_str());
        }
    }
    ~MemoryLimit() {
        if (!path_.empty()) rmdir(path_.c_str());
    }
    const std::string &path() const { return path_; }
    // Whether the group ever hit its limit and had a process killed.
    std::string events() const { return readFile(path_ + "/memory.oom_control") + readFile(path_ + "/memory.events"); }

private:
    static bool writeTo(const std::string &file, const std::string &value) {
        std::ofstream out(file);
        out << value;
        out.flush();
        return static_cast<bool>(out);
    }
    // This process's group under the controller mounted at `root`.
    static std::string ownGroup(const char *root) {
        std::ifstream groups("/proc/self/cgroup");
        std::string line;
        bool unified = std::strcmp(root, "/sys/fs/cgroup") == 0;
        while (std::getline(groups, line)) {
            if (!unified && line.find(":memory:") != std::string::npos) return line.substr(line.find(":memory:") + 8);
            if (unified && line.rfind("0::", 0) == 0 && access("/sys/fs/cgroup/cgroup.controllers", F_OK) == 0)
                return line.substr(3);
        }
        return "";
    }
    std::string path_;
};

// Under a memory limit far below the file's size, the conversion of a file
// of over 100 MiB needs no memory that the limit denies: the file ends
// converted, or at worst original, never cut short.
TEST(InPlaceSafety, MemoryLimitDuringALargeConversion) {
    MemoryLimit limit(96ll << 20);
    if (limit.path().empty()) GTEST_SKIP() << "no memory cgroup can be made here";
    TempDir dir;
    // Long lines, made and compared by whole lines: quick in every build.
    const std::string line = "\t" + std::string(4000, 'x') + "\t\n";
    const std::string convertedLine = "    " + std::string(4000, 'x') + "    \n";
    std::string original;
    std::string converted;
    while (original.size() < (105u << 20)) {
        original += line;
        converted += convertedLine;
    }
    writeFile(dir.file("f"), original);
    int status = 0;
    std::string out = shellOutput("cd " + dir.path() + " && echo $$ > " + limit.path() +
                                      "/cgroup.procs && exec env -u " + unset + " " + BLANKFILL_PATH + " -i f 2>&1",
                                  &status);
    std::string now = readFile(dir.file("f"));
    EXPECT_TRUE(now == original || now == converted) << now.size() << " bytes left";
    EXPECT_EQ(status, 0) << "-1 means ended by a signal: " << out << limit.events();
    EXPECT_EQ(out, counts(1, 0));
    EXPECT_TRUE(same(now, converted));
}

// ---- I/O errors, injected at the C library -----------------------------------------

RunResult runWithFault(const std::string &calls, const std::string &file, const std::vector<std::string> &names,
                       const std::string &cwd) {
    RunOptions options = inPlace(names, cwd);
    options.env.push_back(std::string("LD_PRELOAD=") + FAULT_INJECTOR_PATH);
    options.env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    options.env.push_back("FAULT_CALL=" + calls);
    options.env.push_back("FAULT_FILE=" + file);
    return runTool(BLANKFILL_DYNAMIC_PATH, options);
}

// An I/O error once the target has begun to change never removes the
// target: the temporary file, the only complete copy, stays and is named,
// and the run ends with status 1 after the counts. Before that point an
// error leaves the file unchanged and the run goes on.

TEST(InPlaceSafety, InjectedIOErrors) {
    const std::string original = makeText(300 << 10);
    const std::string converted = expanded(original);
    const std::string damaged = ": original file may be damaged or lost\n";
    const std::string eio = std::strerror(EIO);
    // A call failing with an error by this system's number: MIPS has its
    // own (its EOPNOTSUPP is 122, and 95 is ENOTSOCK there).
    auto failing = [](const char *call, int error) { return std::string(call).append("=").append(std::to_string(error)); };
    struct Case {
        std::string calls;
        std::string file;  // the descriptor's path contains this
        bool keepsTemporary;
        std::string message;  // what the line about "victim" says after its name
        int status;
    } cases[] = {
        {"copy_file_range", "victim", true, "Error while writing the output file: " + eio + damaged, 1},
        {failing("copy_file_range", EXDEV) + ",pwrite", "victim", true, "Error while writing the output file: " + eio + damaged, 1},
        {"fsync", "victim", true, "Error while writing the output file: " + eio + damaged, 1},
        {"ftruncate", "victim", true, "Error while writing the output file: " + eio + damaged, 1},
        {"fsync", temporaryInTheMaking, false, notWritten("fsync", eio), 0},
        {failing("fallocate", ENOSPC), "victim", false,
         "Cannot make room for the new contents: No space left on device: original file left unchanged\n", 0},
        {"read,fread", "victim", false, "Error while reading the file: " + eio + ": original file left unchanged\n",
         0},
        {failing("fallocate", EOPNOTSUPP), "victim", false, "", 0},  // a file system that cannot reserve: converted all the same
        {failing("copy_file_range", EXDEV), "victim", false, "", 0},  // no kernel copy: the plain copy does it
    };
    for (const Case &c : cases) {
        // The calls that this build makes at all.
        if ((!SUITE_HAVE_COPY_FILE_RANGE && c.calls.rfind("copy_file_range", 0) == 0) ||
            (!SUITE_HAVE_FALLOCATE && c.calls.rfind("fallocate", 0) == 0)) {
            continue;
        }
        TempDir dir;
        writeFile(dir.file("victim"), original);
        writeFile(dir.file("next"), "\tnext\n");
        RunResult r = runWithFault(c.calls, c.file, {"victim", "next"}, dir.path());
        std::string label = c.calls + " on " + c.file;
        EXPECT_TRUE(r.exited) << label;
        EXPECT_EQ(r.status, c.status) << label << ": " << r.err;
        EXPECT_EQ(readFile(dir.file("next")), "    next\n") << label;
        std::vector<std::string> kept = temporaryFiles(dir.path());
        std::string now = readFile(dir.file("victim"));
        if (c.message.empty()) {
            EXPECT_EQ(r.err, counts(2, 0)) << label;
            EXPECT_TRUE(same(now, converted)) << label;
            EXPECT_TRUE(kept.empty()) << label;
            continue;
        }
        EXPECT_EQ(r.err.rfind("blankfill: \"victim\": ", 0), 0u) << label << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << label << ": " << r.err;
        EXPECT_NE(r.err.find(counts(1, 1)), std::string::npos) << label << ": " << r.err;
        ASSERT_EQ(access(dir.file("victim").c_str(), F_OK), 0) << label << ": the target is gone";
        if (c.keepsTemporary) {
            ASSERT_EQ(kept.size(), 1u) << label;
            EXPECT_NE(r.err.find("\"" + kept[0] + "\""), std::string::npos) << label << ": not named";
            EXPECT_TRUE(same(readFile(dir.file(kept[0])), converted)) << label;
        } else {
            EXPECT_TRUE(kept.empty()) << label;
            EXPECT_TRUE(same(now, original)) << label;
        }
    }
}

// ---- Rights and times -----------------------------------------------------------------

// A caller who may write a file without owning it converts it: the file
// keeps its owner and mode, and nothing is reported as failed.
TEST(InPlaceSafety, NonOwnerAllowedToWrite) {
    TempDir dir;
    dir.openToAll();
    writeFile(dir.file("open"), "\tx\n", 0666);
    RunOptions options = inPlace({"open"}, dir.path());
    options.asNobody = true;
    RunResult r = runTool(BLANKFILL_PATH, options);
    EXPECT_EQ(r.err, counts(1, 0));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(dir.file("open")), "    x\n");
    EXPECT_EQ(statusOf(dir.file("open")).st_uid, 0u);
    EXPECT_EQ(statusOf(dir.file("open")).st_mode & 07777, 0666u);
}

bool notOlder(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// -p keeps the times to the nanosecond; without it a converted file is
// never older than a file made just before the conversion (so a build tool
// sees that it changed).
TEST(InPlaceSafety, TimesToTheNanosecond) {
    TempDir dir;
    writeFile(dir.file("kept"), "\tx\n");
    const struct timespec old[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.file("kept").c_str(), old, 0), 0);
    RunOptions options = inPlace({"kept"}, dir.path());
    options.args.insert(options.args.begin(), "-p");
    RunResult r = runTool(BLANKFILL_PATH, options);
    EXPECT_EQ(r.err, counts(1, 0));
    struct stat s = statusOf(dir.file("kept"));
    long expectedNanoseconds[2] = {old[0].tv_nsec, old[1].tv_nsec};
    if (!kFileTimesHaveNanoseconds) expectedNanoseconds[0] = expectedNanoseconds[1] = 0;
    EXPECT_EQ(fileTime(s, FileTime::modification).tv_sec, old[1].tv_sec);
    EXPECT_EQ(fileTime(s, FileTime::modification).tv_nsec, expectedNanoseconds[1]);
    EXPECT_EQ(fileTime(s, FileTime::access).tv_sec, old[0].tv_sec);
    EXPECT_EQ(fileTime(s, FileTime::access).tv_nsec, expectedNanoseconds[0]);

    for (int round = 0; round < 5; ++round) {
        writeFile(dir.file("source"), "\ty\n");
        writeFile(dir.file("object"), "built\n");
        r = runInPlace({"source"}, dir.path());
        EXPECT_EQ(r.err, counts(1, 0));
        EXPECT_TRUE(notOlder(fileTime(statusOf(dir.file("source")), FileTime::modification),
                             fileTime(statusOf(dir.file("object")), FileTime::modification)))
            << "round " << round;
    }
}

// With -V the names come out in order with the diagnostics about them.
TEST(InPlaceSafety, VerboseLinesInOrderWithTheDiagnostics) {
    TempDir dir;
    writeFile(dir.file("a"), "\ta\n");
    writeFile(dir.file("b"), "\tb\n");
    std::string out = shellOutput("cd " + dir.path() + " && env -u " + unset + " " + BLANKFILL_PATH +
                                  " -i -V a missing b 2>&1 | cat");
    EXPECT_EQ(out,
              "Processing \"a\"\nProcessing \"missing\"\n"
              "blankfill: \"missing\": Cannot find [stat()] the file\nProcessing \"b\"\n" +
                  counts(2, 1));
}

// ---- Second round: links, swapped names, every signal, other writers, room, copy-on-write ----

// Runs `body` as nobody in a child and waits for it; true when it returned true.
bool asNobody(const std::function<bool()> &body) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// nobody plants links, in a directory that all may write and in a
// directory of its own that only it may write (a home): to a root-only file
// and to a root-only directory. Root's run converts none of their targets
// and names the link. A link that root owns is followed, and so is a link
// of nobody's to nobody's own file; a link of nobody's to a file of root's
// is refused wherever it lies, even in a directory that only root may write.
TEST(InPlaceSafety, LinksPlantedByAnotherUserAreRefused) {
    TempDir shared;
    shared.openToAll();
    TempDir vault;  // 0700, root's
    TempDir trusted;
    chmod(trusted.path().c_str(), 0755);
    TempDir home;
    ASSERT_EQ(chown(home.path().c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(home.path().c_str(), 0755), 0);
    const std::string secret = "\tPRIVATE\tKEY\n";
    writeFile(vault.file("conf"), secret, 0600);
    writeFile(trusted.file("real"), "\tt\n");
    ASSERT_TRUE(asNobody([&] {
        std::string mine = shared.file("mine.c");
        int fd = open(mine.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        return fd >= 0 && write(fd, "\tm\n", 3) == 3 && close(fd) == 0 &&
               symlink(vault.file("conf").c_str(), shared.file("evil.c").c_str()) == 0 &&
               symlink(vault.path().c_str(), shared.file("sub").c_str()) == 0 &&
               symlink("mine.c", shared.file("theirs.c").c_str()) == 0 &&
               symlink(vault.file("conf").c_str(), home.file("evil.c").c_str()) == 0;
    }));
    ASSERT_EQ(symlink("mine.c", shared.file("root.c").c_str()), 0);
    ASSERT_EQ(symlink("real", trusted.file("nobodys").c_str()), 0);
    ASSERT_EQ(lchown(trusted.file("nobodys").c_str(), 65534, 65534), 0);

    RunOptions options = inPlace({"-V", "mine.c", "evil.c", "sub/conf", shared.file("sub") + "/conf", "root.c",
                                  "theirs.c", trusted.file("nobodys"), home.file("evil.c")},
                                 shared.path());
    RunResult r = runTool(BLANKFILL_PATH, options);
    EXPECT_EQ(readFile(vault.file("conf")), secret);
    EXPECT_EQ(readFile(shared.file("mine.c")), "    m\n");
    EXPECT_EQ(readFile(trusted.file("real")), "\tt\n");
    const std::string refused = " belongs to another user and leads to what that user does not own; not followed\n";
    for (const std::string &line :
         {"blankfill: \"evil.c\": symbolic link \"evil.c\"" + refused,
          "blankfill: \"sub/conf\": symbolic link \"sub\"" + refused, "/conf\": symbolic link \"sub\"" + refused,
          "/nobodys\": symbolic link \"nobodys\"" + refused, home.file("evil.c") + "\": symbolic link \"evil.c\"" + refused}) {
        EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
    }
    EXPECT_NE(r.err.find(counts(3, 5)), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 0);
}

// The name swapped, again and again, between a regular file and a FIFO
// whose reader waits for a writer: the tool refuses or converts, and never
// opens the FIFO, so the reader is never woken.
TEST(InPlaceSafety, ANameSwappedForAFifoIsNeverOpened) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0666), 0);
    writeFile(dir.file("regular"), "no tab here\n");
    int wakes[2];
    ASSERT_EQ(pipe(wakes), 0);
    pid_t reader = fork();
    if (reader == 0) {
        close(wakes[0]);
        std::string fifo = dir.file("fifo");
        for (;;) {
            int fd = open(fifo.c_str(), O_RDONLY);  // waits for a writer
            if (fd >= 0) {
                if (write(wakes[1], "w", 1) != 1) _exit(1);
                close(fd);
            }
        }
    }
    close(wakes[1]);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        const std::string name = dir.file("f");
        const std::string next = dir.file("next");
        for (unsigned i = 0; !stop; ++i) {
            if (link(dir.file(i % 2 ? "fifo" : "regular").c_str(), next.c_str()) == 0) {
                rename(next.c_str(), name.c_str());
            }
        }
    });
    std::vector<std::string> names(200, "f");
    for (int run = 0; run < 15; ++run) runInPlace(names, dir.path());
    stop = true;
    swapper.join();
    kill(reader, SIGKILL);
    waitpid(reader, nullptr, 0);
    fcntl(wakes[0], F_SETFL, O_NONBLOCK);
    char sink[4096];
    ssize_t woken = read(wakes[0], sink, sizeof sink);
    close(wakes[0]);
    // Without O_PATH the name is opened once, without blocking, and checked
    // at once; a FIFO swapped in just then is opened, and refused.
    if (SUITE_HAVE_O_PATH) {
        EXPECT_LE(woken, 0) << "the FIFO's reader was woken " << woken << " times";
    } else {
        std::printf("without O_PATH, the FIFO's reader was woken %zd times\n", woken > 0 ? woken : 0);
    }
    EXPECT_TRUE(temporaryFiles(dir.path()).empty());
}

// Whether a temporary file under its complete name exists in `dir`: the
// write-back is about to start or has started.
bool writeBackStarted(const std::string &dir) {
    for (const std::string &name : temporaryFiles(dir)) {
        if (name.size() == 14) return true;
    }
    return false;
}

// Waits until the write-back starts; false when the tool ended first.
bool waitForWriteBack(const Running &running, const std::string &dir) {
    while (!writeBackStarted(dir)) {
        if (!stillRunning(running.pid)) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Signals outside the four that a user sends (a user's own, a timer's, a
// broken pipe's, a processor-time limit's) during the write-back of a large
// file: the file is converted in full before the tool ends by the signal.
TEST(InPlaceSafety, EverySignalIsHeldDuringTheWriteBack) {
    TempDir dir;
    const std::string original = makeText(largeFile);
    const std::string converted = expanded(original);
    const int signals[] = {SIGUSR1, SIGALRM, SIGVTALRM, SIGPROF, SIGPIPE, SIGXCPU, SIGUSR2};
    int caught = 0;
    for (int signalNumber : signals) {
        writeFile(dir.file("f"), original);
        Running running = startTool(BLANKFILL_PATH, inPlace({"f"}, dir.path()));
        bool during = waitForWriteBack(running, dir.path());
        kill(running.pid, signalNumber);
        RunResult r = finishTool(running);
        std::string label = "signal " + std::to_string(signalNumber);
        std::string now = readFile(dir.file("f"));
        EXPECT_TRUE(now == original || now == converted) << label << ": " << now.size() << " bytes";
        if (!during) continue;
        ++caught;
        EXPECT_TRUE(same(now, converted)) << label;
        EXPECT_FALSE(r.exited) << label;
        EXPECT_EQ(r.signal, signalNumber) << label;
        EXPECT_TRUE(temporaryFiles(dir.path()).empty()) << label;
    }
    EXPECT_GE(caught, 4) << "the write-back was seldom reached in time";
}

// Before the write-back, every signal whose default ends the process
// removes the temporary file and ends the tool by that signal.
TEST(InPlaceSafety, EveryEndingSignalBeforeTheWriteBackRemovesTheCopy) {
    TempDir dir;
    const std::string original = makeText(largeFile / 4);
    const int signals[] = {SIGUSR1, SIGALRM, SIGPIPE, SIGTERM};
    for (int signalNumber : signals) {
        writeFile(dir.file("f"), original);
        Running running = startTool(BLANKFILL_PATH, inPlace({"f"}, dir.path()));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        kill(running.pid, signalNumber);
        RunResult r = finishTool(running);
        std::string now = readFile(dir.file("f"));
        EXPECT_TRUE(now == original || now == expanded(original)) << signalNumber;
        EXPECT_TRUE(temporaryFiles(dir.path()).empty()) << signalNumber;
        if (!r.exited) {
            EXPECT_EQ(r.signal, signalNumber);
        }
    }
}

// Another process appends a line while the file is converted or written
// back (as the copy gets its name, and at moments late in a run timed from
// a reference run): the line survives (a writer waits for the lease, or the
// file is left as it is now), or the run says so with status 1 and keeps
// the copy.
TEST(InPlaceSafety, AnAppendIsNeverLost) {
    TempDir dir;
    const std::string original = makeText(largeFile);
    const std::string converted = expanded(original);
    const std::string line = "appended by another process\n";
    writeFile(dir.file("f"), original);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(runInPlace({"f"}, dir.path()).err, counts(1, 0));
    double duration = secondsOf(std::chrono::steady_clock::now() - start);
    for (double moment : {-1.0, 0.1, 0.55, 0.65, 0.75, 0.85}) {
        writeFile(dir.file("f"), original);
        Running running = startTool(BLANKFILL_PATH, inPlace({"f"}, dir.path()));
        if (moment < 0) {
            waitForWriteBack(running, dir.path());
        } else {
            std::this_thread::sleep_for(std::chrono::duration<double>(duration * moment));
        }
        // As a shell's >> does it (an open that waits while a lease is held).
        int appender = open(dir.file("f").c_str(), O_WRONLY | O_APPEND);
        int appendStatus = appender >= 0 && write(appender, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
                                   close(appender) == 0
                               ? 0
                               : 1;
        RunResult r = finishTool(running);
        std::string label = moment < 0 ? "as the write-back starts" : "at " + std::to_string(moment);
        std::string now = readFile(dir.file("f"));
        EXPECT_EQ(appendStatus, 0) << label;
        if (r.status == 1) {
            EXPECT_NE(r.err.find("Another process changed the file while it was written back"), std::string::npos)
                << label << ": " << r.err;
            std::vector<std::string> kept = temporaryFiles(dir.path());
            ASSERT_EQ(kept.size(), 1u) << label;
            EXPECT_TRUE(same(readFile(dir.file(kept[0])), converted)) << label;
            unlink(dir.file(kept[0]).c_str());
            continue;
        }
        EXPECT_EQ(r.status, 0) << label << ": " << r.err;
        EXPECT_TRUE(now == original + line || now == converted + line) << label << ": " << now.size() << " bytes";
        if (now == original + line) {
            EXPECT_EQ(r.err, "blankfill: \"f\": The file changed during the conversion; it was left as it is now\n" +
                                 counts(0, 1))
                << label;
        } else {
            EXPECT_EQ(r.err, counts(1, 0)) << label;
        }
        EXPECT_TRUE(temporaryFiles(dir.path()).empty()) << label;
    }
}

// A file system of `type` in an image of `bytes` on a loop device, mounted
// on a fresh folder for one test; mounted() false with the reason when the
// tools, the loop devices or the mount are missing.
class LoopImage {
public:
    LoopImage(const std::string &type, long long bytes) {
        if (!testing_support::commandExists("mkfs." + type)) {
            why_ = "mkfs." + type + " is not installed";
            return;
        }
        int status = 0;
        std::string free = shellOutput("losetup -f 2>&1", &status);
        if (status != 0) {
            why_ = "no loop device: " + free;
            return;
        }
        image_ = work_.file("image");
        std::string out = shellOutput("truncate -s " + std::to_string(bytes) + " " + image_ + " && mkfs." + type +
                                          " -q " + (type == "btrfs" ? "-f " : "-F -m 0 ") + image_ + " >/dev/null 2>&1 && mkdir " +
                                          work_.file("mnt") + " && mount -o loop " + image_ + " " + work_.file("mnt") +
                                          " 2>&1",
                                      &status);
        if (status != 0) {
            why_ = "cannot make or mount a " + type + " image on a loop device: " + out;
            return;
        }
        mounted_ = true;
    }
    ~LoopImage() {
        if (mounted_) shellOutput("umount " + work_.file("mnt") + " 2>&1");
    }
    bool mounted() const { return mounted_; }
    const std::string &why() const { return why_; }
    std::string file(const std::string &name) const { return work_.file("mnt") + "/" + name; }
    // Bytes free for a user now.
    long long available() const {
        sync();
        struct statvfs fs {};
        statvfs(work_.file("mnt").c_str(), &fs);
        return static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
    }
    // Takes all but `left` of the free space with a file.
    void fillLeaving(long long left, const std::string &name = "filler") const {
        long long take = available() - left;
        if (take <= 0) return;
        int fd = open(file(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::string block(1 << 20, 'f');
        while (take > 0) {
            size_t piece = static_cast<size_t>(take < (1 << 20) ? take : (1 << 20));
            if (write(fd, block.data(), piece) <= 0) break;
            take -= static_cast<long long>(piece);
        }
        fsync(fd);
        close(fd);
        sync();
    }

private:
    TempDir work_;
    std::string image_;
    bool mounted_ = false;
    std::string why_;
};

// A failed reservation gives the room back: the file's block count is as
// before, on ext4, which keeps what a failed reservation took; also for a
// sparse file of many holes, each of which the reservation filled.
TEST(InPlaceSafety, AFailedReservationGivesTheRoomBack) {
    LoopImage disk("ext4", 16 << 20);
    if (!disk.mounted()) GTEST_SKIP() << disk.why();
    TempDir elsewhere;  // the copy is made on another disk
    // 25 MiB with a line of text at the start of every 256 KiB and holes
    // between: the reservation fills some fifty holes before the disk is
    // full, each of which must be punched again.
    const std::string line = "\tvalue = 42;\n";
    std::string sparse(100 << 18, '\0');
    for (size_t at = 0; at < sparse.size(); at += 1 << 18) sparse.replace(at, line.size(), line);
    struct Case {
        const char *label;
        std::string original;
        size_t written;   // of every 256 KiB; the rest stays a hole
        long long left;  // free space left on the disk (-1: all it has)
        blkcnt_t mapSlack;
    } cases[] = {
        {"dense", makeText(2 << 20), 1 << 18, 512 << 10, 0},
        {"sparse, 100 holes", sparse, line.size(), -1, 64},
    };
    for (const Case &c : cases) {
        int fd = open(disk.file("victim").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        for (size_t at = 0; at < c.original.size(); at += 1 << 18) {
            size_t piece = std::min(c.written, c.original.size() - at);
            ASSERT_EQ(pwrite(fd, c.original.data() + at, piece, static_cast<off_t>(at)), static_cast<ssize_t>(piece));
        }
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(c.original.size())), 0);
        close(fd);
        sync();
        unlink(disk.file("filler").c_str());
        if (c.left >= 0) disk.fillLeaving(c.left);
        struct stat before = statusOf(disk.file("victim"));
        RunResult r = runInPlace({disk.file("victim")}, elsewhere.path());
        struct stat after = statusOf(disk.file("victim"));
        EXPECT_NE(r.err.find("Cannot make room for the new contents: No space left on device"), std::string::npos)
            << c.label << ": " << r.err;
        EXPECT_TRUE(same(readFile(disk.file("victim")), c.original)) << c.label;
        // Every data block goes back; the file system may keep a few more
        // blocks of its own to map a file of a hundred pieces.
        EXPECT_GE(after.st_blocks, before.st_blocks) << c.label;
        EXPECT_LE(after.st_blocks, before.st_blocks + c.mapSlack) << c.label;
        EXPECT_EQ(after.st_size, before.st_size) << c.label;
        EXPECT_TRUE(temporaryFiles(elsewhere.path()).empty()) << c.label;
    }
}

// On a nearly full btrfs, whose overwrites need new blocks, the file is
// original or converted, at every fill level; the copy lies on a tmpfs.
TEST(InPlaceSafety, CopyOnWriteDiskNearlyFull) {
    LoopImage disk("btrfs", 300 << 20);
    if (!disk.mounted()) GTEST_SKIP() << disk.why();
    SmallTmpfs work(64 << 20);
    if (!work.mounted()) GTEST_SKIP() << work.why();
    const std::string original = makeText(8 << 20);
    const std::string converted = expanded(original);
    for (long long left : {4ll << 20, 10ll << 20, 14ll << 20, 20ll << 20, 64ll << 20}) {
        unlink(disk.file("filler").c_str());
        writeFile(disk.file("victim"), original);
        disk.fillLeaving(left);
        RunResult r = runInPlace({disk.file("victim")}, work.path());
        std::string now = readFile(disk.file("victim"));
        std::string label = std::to_string(left >> 20) + " MiB left";
        EXPECT_TRUE(now == original || now == converted) << label << ": " << now.size() << " bytes; " << r.err;
        EXPECT_EQ(r.status, 0) << label << ": " << r.err;
        if (now == original) {
            EXPECT_NE(r.err.find("Cannot make room for the new contents"), std::string::npos) << label << ": " << r.err;
        }
        EXPECT_TRUE(temporaryFiles(work.path()).empty()) << label;
    }
    // With room enough, it is converted.
    unlink(disk.file("filler").c_str());
    writeFile(disk.file("victim"), original);
    RunResult r = runInPlace({disk.file("victim")}, work.path());
    EXPECT_EQ(r.err, counts(1, 0));
    EXPECT_TRUE(same(readFile(disk.file("victim")), converted));
}

// A file with nothing to expand is not written: its inode, contents and
// modification and change times stay, to the nanosecond, and it counts as
// converted.
TEST(InPlaceSafety, NothingToExpandWritesNothing) {
    TempDir dir;
    const std::string text = "no tabs at all\n    only spaces\n";
    writeFile(dir.file("plain"), text);
    const struct timespec old[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.file("plain").c_str(), old, 0), 0);
    struct stat before = statusOf(dir.file("plain"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (bool preserve : {false, true}) {
        RunOptions options = inPlace({"plain"}, dir.path());
        if (preserve) options.args.insert(options.args.begin(), "-p");
        RunResult r = runTool(BLANKFILL_PATH, options);
        EXPECT_EQ(r.err, counts(1, 0));
        struct stat after = statusOf(dir.file("plain"));
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(readFile(dir.file("plain")), text);
        for (FileTime which : {FileTime::modification, FileTime::change}) {
            EXPECT_EQ(fileTime(after, which).tv_sec, fileTime(before, which).tv_sec) << preserve;
            EXPECT_EQ(fileTime(after, which).tv_nsec, fileTime(before, which).tv_nsec) << preserve;
        }
        EXPECT_TRUE(temporaryFiles(dir.path()).empty());
    }
}

// With -p, a file that is only read keeps its access time too: one with
// nothing to expand, and the second name of a file converted earlier in the
// same run. Its access time is older than its modification time, which a
// read moves on every mount that records access times.
TEST(InPlaceSafety, PreservedTimesOfAFileOnlyRead) {
    TempDir dir;
    writeFile(dir.file("plain"), "no tabs at all\n");
    writeFile(dir.file("tabs"), "\ttab\n");
    ASSERT_EQ(link(dir.file("tabs").c_str(), dir.file("again").c_str()), 0);
    const struct timespec old[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
    for (const char *name : {"plain", "tabs"}) {
        ASSERT_EQ(utimensat(AT_FDCWD, dir.file(name).c_str(), old, 0), 0);
    }
    RunResult r = runTool(BLANKFILL_PATH, inPlace({"-p", "plain", "tabs", "again"}, dir.path()));
    EXPECT_EQ(r.err, counts(3, 0));
    for (const char *name : {"plain", "again"}) {
        struct stat after = statusOf(dir.file(name));
        for (FileTime which : {FileTime::access, FileTime::modification}) {
            struct timespec expected = old[which == FileTime::access ? 0 : 1];
            EXPECT_EQ(fileTime(after, which).tv_sec, expected.tv_sec) << name;
            if (kFileTimesHaveNanoseconds) {
                EXPECT_EQ(fileTime(after, which).tv_nsec, expected.tv_nsec) << name;
            }
        }
    }
    EXPECT_EQ(readFile(dir.file("again")), "    tab\n");  // read last: a read moves the access time
}

// An overlay whose upper layer is a nearly full btrfs, as container images
// are: its kind is neither btrfs nor a file system known to overwrite in
// place, so the whole new size must be free, and the file is refused
// cleanly, never left half-written.
TEST(InPlaceSafety, CopyOnWriteUnderAnOverlay) {
    LoopImage disk("btrfs", 200 << 20);
    if (!disk.mounted()) GTEST_SKIP() << disk.why();
    TempDir lower;
    TempDir merged;
    SmallTmpfs work(128 << 20);
    if (!work.mounted()) GTEST_SKIP() << work.why();
    ASSERT_EQ(mkdir(disk.file("upper").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(disk.file("work").c_str(), 0755), 0);
    int status = 0;
    std::string out = shellOutput("mount -t overlay overlay -o lowerdir=" + lower.path() + ",upperdir=" +
                                      disk.file("upper") + ",workdir=" + disk.file("work") + " " + merged.path() +
                                      " 2>&1",
                                  &status);
    if (status != 0) GTEST_SKIP() << "cannot mount an overlay: " << out;
    const std::string original = makeText(40 << 20);
    const std::string converted = expanded(original);
    writeFile(merged.file("victim"), original);
    sync();
    disk.fillLeaving(24 << 20);
    RunResult r = runInPlace({merged.file("victim")}, work.path());
    std::string now = readFile(merged.file("victim"));
    shellOutput("umount " + merged.path() + " 2>&1");
    EXPECT_TRUE(same(now, original)) << now.size() << " bytes; " << r.err;
    EXPECT_NE(r.err.find("Cannot make room for the new contents: No space left on device"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(temporaryFiles(work.path()).empty());
}

}  // namespace
