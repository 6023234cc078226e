// Safe file replacement: every refusal, begin then abort, finish with and
// without preserved times, links, a target elsewhere, and the failures that
// must leave the target alone.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "replaceFile.h"
#include "temporaryFiles.h"
#include "testing.h"

using testing_support::readFile;
using testing_support::RunResult;
using testing_support::runInChild;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

struct stat statusOf(const std::string &path) {
    struct stat s {};
    lstat(path.c_str(), &s);
    return s;
}

void setTimes(const std::string &path, time_t access, time_t modification) {
    struct utimbuf t;
    t.actime = access;
    t.modtime = modification;
    ASSERT_EQ(utime(path.c_str(), &t), 0);
}

const char *finishReplacement() { return replaceFile(nullptr, nullptr, 0, nullptr); }
const char *abortReplacement() { return replaceFile(replaceFileAbortFlag, nullptr, 0, nullptr); }

// Every test runs in a scratch working directory, where the temporary files go.
class ReplaceFile : public ::testing::Test {
protected:
    void SetUp() override {
        char buffer[4096];
        ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
        oldCwd_ = buffer;
        ASSERT_EQ(chdir(work_.path().c_str()), 0);
    }
    void TearDown() override {
        abortReplacement();
        EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
    }
    std::string file(const std::string &name) const { return work_.file(name); }
    const std::string &dir() const { return work_.path(); }

    TempDir work_;
    std::string oldCwd_;
};

TEST_F(ReplaceFile, RefusesWithTheReason) {
    ASSERT_EQ(mkdir(file("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(file("fifo").c_str(), 0644), 0);
    writeFile(file("plain"), "x");
    writeFile(file("noread"), "x", 0200);
    writeFile(file("nowrite"), "x", 0444);
    writeFile(file("ownerOnlyWrite"), "x", 0266);
    int listening = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", file("socket").c_str());
    ASSERT_EQ(bind(listening, reinterpret_cast<const struct sockaddr *>(&address), sizeof address), 0);
    struct Case {
        std::string name;
        const char *message;
    } cases[] = {
        {"sub/", "(1) Name must not end in /"},
        {"plain/", "(1) Name must not end in /"},
        {"missing", "(1) Cannot find [stat()] the file"},
        {"", "(1) Cannot find [stat()] the file"},
        {"fifo", "(1) FIFO/pipe"},
        {"socket", "(1) socket"},
        {"/dev/null", "(1) character device"},
        {"sub", "(1) directory"},
        {"noread", "(1) do not have read permission"},
        {"ownerOnlyWrite", "(1) do not have read permission"},
        {"nowrite", "(1) do not have write permission"},
    };
    for (const Case &c : cases) {
        FILE *stream = nullptr;
        const char *message = replaceFile(c.name.c_str(), "w", 0, &stream);
        ASSERT_NE(message, nullptr) << c.name;
        EXPECT_STREQ(message, c.message) << c.name;
        EXPECT_EQ(getRFErrorNumber(message), 1) << c.name;
        EXPECT_STREQ(getRFErrorString(message), c.message + 4) << c.name;
        EXPECT_EQ(stream, nullptr) << c.name;
        EXPECT_TRUE(temporaryFiles(dir()).empty()) << c.name;
        EXPECT_EQ(abortReplacement(), nullptr) << c.name;
        if (c.name != "" && c.name[0] != '/') {
            EXPECT_STREQ(cantprocess(c.name.c_str()), c.message) << c.name;
        }
    }
    EXPECT_EQ(cantprocess("plain"), nullptr);
    EXPECT_EQ(readFile(file("nowrite")), "x");
    close(listening);
}

TEST_F(ReplaceFile, BeginThenAbortLeavesTheTargetAsItWas) {
    writeFile(file("t"), "old contents\n", 0640);
    setTimes(file("t"), 1000000000, 1100000000);
    FILE *stream = nullptr;
    ASSERT_EQ(replaceFile("t", "w", 1, &stream), nullptr);
    ASSERT_NE(stream, nullptr);
    // The copy in the making has no replFileXXXXXX name.
    EXPECT_TRUE(temporaryFiles(dir()).empty());
    std::fputs("new contents\n", stream);
    EXPECT_EQ(abortReplacement(), nullptr);
    EXPECT_TRUE(temporaryFiles(dir()).empty());
    // Status first: reading the file would update its access time.
    struct stat s = statusOf(file("t"));
    EXPECT_EQ(s.st_atime, 1000000000);
    EXPECT_EQ(s.st_mtime, 1100000000);
    EXPECT_EQ(s.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(file("t")), "old contents\n");
    // A second abort, and one with nothing ever begun, do nothing.
    EXPECT_EQ(abortReplacement(), nullptr);
}

TEST_F(ReplaceFile, FinishReplacesContentsAndKeepsPermissions) {
    for (int preserve : {0, 1}) {
        SCOPED_TRACE(preserve);
        writeFile(file("t"), "old\n", 0604);
        setTimes(file("t"), 1000000000, 1100000000);
        ino_t inode = statusOf(file("t")).st_ino;
        time_t before = std::time(nullptr);
        FILE *stream = nullptr;
        ASSERT_EQ(replaceFile("t", "w", preserve, &stream), nullptr);
        std::fputs("new and longer\n", stream);
        EXPECT_EQ(finishReplacement(), nullptr);
        struct stat s = statusOf(file("t"));
        EXPECT_EQ(readFile(file("t")), "new and longer\n");
        EXPECT_EQ(s.st_mode & 07777, 0604u);
        EXPECT_EQ(s.st_ino, inode);  // the same file, rewritten
        if (preserve) {
            EXPECT_EQ(s.st_atime, 1000000000);
            EXPECT_EQ(s.st_mtime, 1100000000);
        } else {
            EXPECT_GE(s.st_mtime, before);
        }
        EXPECT_TRUE(temporaryFiles(dir()).empty());
        EXPECT_EQ(abortReplacement(), nullptr);  // nothing pending any more
        EXPECT_EQ(readFile(file("t")), "new and longer\n");
    }
}

TEST_F(ReplaceFile, WritesThroughASymbolicLinkAndAHardLink) {
    writeFile(file("real"), "old\n");
    ASSERT_EQ(symlink("real", file("soft").c_str()), 0);
    ASSERT_EQ(link(file("real").c_str(), file("hard").c_str()), 0);
    FILE *stream = nullptr;
    ASSERT_EQ(replaceFile("soft", "w", 0, &stream), nullptr);
    std::fputs("via link\n", stream);
    ASSERT_EQ(finishReplacement(), nullptr);
    EXPECT_TRUE(S_ISLNK(statusOf(file("soft")).st_mode));
    EXPECT_EQ(readFile(file("real")), "via link\n");
    EXPECT_EQ(readFile(file("hard")), "via link\n");
    EXPECT_EQ(statusOf(file("real")).st_nlink, 2u);
}

TEST_F(ReplaceFile, TemporaryFileLiesInTheWorkingDirectory) {
    TempDir elsewhere;
    std::string target = elsewhere.file("t");
    writeFile(target, "old\n");
    FILE *stream = nullptr;
    ASSERT_EQ(replaceFile(target.c_str(), "w", 0, &stream), nullptr);
    // Nameless until complete (or named replPartXXXXXX), but in the working
    // directory all the same.
    char link[64];
    char where[4096] = "";
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(stream));
    ASSERT_GT(readlink(link, where, sizeof where - 1), 0);
    EXPECT_EQ(std::string(where).rfind(dir() + "/", 0), 0u) << where;
    EXPECT_TRUE(temporaryFiles(dir()).empty());
    EXPECT_TRUE(temporaryFiles(elsewhere.path()).empty());
    std::fputs("new\n", stream);
    ASSERT_EQ(finishReplacement(), nullptr);
    EXPECT_EQ(readFile(target), "new\n");
    EXPECT_TRUE(temporaryFiles(dir()).empty());
}

// The abort flag is recognised by identity: a file carrying its text as a
// name is an ordinary target, and an abort never touches such a file.
TEST_F(ReplaceFile, AFileNamedLikeTheAbortFlagIsAFile) {
    std::string name = replaceFileAbortFlag;
    writeFile(file(name), "old\n");
    EXPECT_EQ(abortReplacement(), nullptr);
    EXPECT_EQ(readFile(file(name)), "old\n");
    FILE *stream = nullptr;
    ASSERT_EQ(replaceFile(name.c_str(), "w", 0, &stream), nullptr);
    ASSERT_NE(stream, nullptr);
    std::fputs("new\n", stream);
    ASSERT_EQ(finishReplacement(), nullptr);
    EXPECT_EQ(readFile(file(name)), "new\n");
    EXPECT_TRUE(temporaryFiles(dir()).empty());
}

TEST_F(ReplaceFile, UnusableModeRemovesTheEmptyTemporaryFile) {
    writeFile(file("t"), "old\n");
    FILE *stream = nullptr;
    const char *message = replaceFile("t", "x", 0, &stream);
    EXPECT_STREQ(message, "(4) Cannot fdopen() temporary file's file descriptor");
    EXPECT_EQ(getRFErrorNumber(message), 4);
    EXPECT_EQ(stream, nullptr);
    EXPECT_TRUE(temporaryFiles(dir()).empty());
    EXPECT_EQ(abortReplacement(), nullptr);
    // The module is ready for the next replacement.
    ASSERT_EQ(replaceFile("t", "w", 0, &stream), nullptr);
    std::fputs("new\n", stream);
    EXPECT_EQ(finishReplacement(), nullptr);
    EXPECT_EQ(readFile(file("t")), "new\n");
}

// A target that is no longer the file that was read (here its name now leads
// to a new file) is never written: its new contents are the user's and stay,
// and the temporary file goes.
TEST_F(ReplaceFile, ATargetThatChangedIsLeftAlone) {
    writeFile(file("t"), "old\n");
    FILE *stream = nullptr;
    ASSERT_EQ(replaceFile("t", "w", 0, &stream), nullptr);
    std::fputs("new\n", stream);
    ASSERT_EQ(remove(file("t").c_str()), 0);
    writeFile(file("t"), "the user's own\n");
    const char *message = finishReplacement();
    EXPECT_STREQ(message, "(11) The file changed during the conversion; it was left as it is now");
    EXPECT_EQ(getRFErrorNumber(message), 11);
    EXPECT_EQ(readFile(file("t")), "the user's own\n");
    EXPECT_TRUE(temporaryFiles(dir()).empty());
    EXPECT_EQ(abortReplacement(), nullptr);

    // Written to under the same name since it was read: left alone as well.
    ASSERT_EQ(replaceFile("t", "w", 0, &stream), nullptr);
    std::fputs("new\n", stream);
    FILE *other = std::fopen(file("t").c_str(), "a");
    ASSERT_NE(other, nullptr);
    std::fputs("more\n", other);
    std::fclose(other);
    EXPECT_EQ(getRFErrorNumber(finishReplacement()), 11);
    EXPECT_EQ(readFile(file("t")), "the user's own\nmore\n");
    EXPECT_TRUE(temporaryFiles(dir()).empty());
}

// The stream for reading the target reads the file that was checked, even
// when its name has been pointed elsewhere since.
TEST_F(ReplaceFile, ReadsTheFileThatWasChecked) {
    writeFile(file("t"), "checked\n");
    FILE *stream = nullptr;
    ASSERT_EQ(replaceFile("t", "w", 0, &stream), nullptr);
    ASSERT_EQ(rename(file("t").c_str(), file("moved").c_str()), 0);
    writeFile(file("t"), "impostor\n");
    FILE *in = openReplacedFile();
    ASSERT_NE(in, nullptr);
    char line[32] = {};
    ASSERT_NE(std::fgets(line, sizeof line, in), nullptr);
    EXPECT_STREQ(line, "checked\n");
    std::fclose(in);
    EXPECT_EQ(abortReplacement(), nullptr);
    EXPECT_TRUE(temporaryFiles(dir()).empty());
}

// A second replacement of a file that is being replaced is refused at once,
// before anything is created; so is a file that the caller may read but not
// write.
TEST_F(ReplaceFile, RefusedBeforeAnythingIsCreated) {
    // Another process's hold on the file, as a second run would find it.
    writeFile(file("t"), "old\n");
    int held = open(file("t").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    FILE *stream = nullptr;
    EXPECT_STREQ(replaceFile("t", "w", 0, &stream),
                 "(10) The file is being converted by another process; original file left unchanged");
    close(held);
    EXPECT_TRUE(temporaryFiles(dir()).empty());
    EXPECT_EQ(abortReplacement(), nullptr);
    EXPECT_EQ(readFile(file("t")), "old\n");

    work_.openToAll();
    writeFile(file("shared"), "old\n", 0644);
    writeFile(file("closed"), "old\n", 0600);
    RunResult r = runInChild([] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return;
        for (const char *name : {"shared", "closed"}) {
            FILE *s = nullptr;
            const char *message = replaceFile(name, "w", 0, &s);
            std::printf("%s|%s\n", message ? message : "null", std::strerror(errno));
        }
    });
    EXPECT_EQ(r.out, "(8) Cannot open the file for writing: " + std::string(std::strerror(EACCES)) +
                         ": original file left unchanged|" + std::strerror(EACCES) + "\n" +
                         "(9) Cannot open the file for reading|" + std::strerror(EACCES) + "\n");
    EXPECT_TRUE(temporaryFiles(dir()).empty());
}

// The last write-out happens when the temporary stream is closed at finish.
// When it fails (here the file-size limit), the target must stay untouched
// and the incomplete temporary file must go.
TEST_F(ReplaceFile, FailedLastWriteOutLeavesTheTargetUntouched) {
    const std::string old(3000, 'o');
    writeFile(file("t"), old);
    RunResult r = runInChild([] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = 4096;
        setrlimit(RLIMIT_FSIZE, &limit);
        FILE *stream = nullptr;
        if (replaceFile("t", "w", 0, &stream) != nullptr) return;
        // Keep everything in the stream's buffer until the finish.
        static char big[1 << 16];
        setvbuf(stream, big, _IOFBF, sizeof big);
        std::string contents(6000, 'n');
        std::fwrite(contents.data(), 1, contents.size(), stream);
        const char *message = replaceFile(nullptr, nullptr, 0, nullptr);
        std::printf("%s", message ? message : "null");
    });
    // The message names the temporary file only where it has a name on disk.
    EXPECT_EQ(r.out.rfind(SUITE_HAVE_O_TMPFILE ? "(7) Error while writing [write()] the temporary file: "
                                               : "(7) Error while writing [write()] the temporary file \"replPart",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find(std::strerror(EFBIG)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("original file left unchanged"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(file("t")), old);
    EXPECT_TRUE(temporaryFiles(dir()).empty());
}

// Root may create files anywhere, so the unwritable working directory is
// tried as an unprivileged user.
TEST_F(ReplaceFile, UnwritableWorkingDirectory) {
    work_.openToAll();
    writeFile(file("t"), "old\n", 0666);
    TempDir locked;  // 0700, owned by root: closed to nobody
    ASSERT_EQ(chmod(locked.path().c_str(), 0755), 0);
    std::string target = file("t");
    std::string lockedPath = locked.path();
    RunResult r = runInChild([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0 || chdir(lockedPath.c_str()) != 0) {
            std::printf("setup failed");
            return;
        }
        FILE *stream = nullptr;
        const char *message = replaceFile(target.c_str(), "w", 0, &stream);
        std::printf("%s", message ? message : "null");
    });
    EXPECT_EQ(r.out, "(3) Cannot open a temporary file for read/write access");
    EXPECT_EQ(readFile(target), "old\n");
    EXPECT_TRUE(temporaryFiles(locked.path()).empty());
}

TEST(RFError, NumberAndText) {
    EXPECT_EQ(getRFErrorNumber("(1) directory"), 1);
    EXPECT_EQ(getRFErrorNumber("(6) Cannot set original file date"), 6);
    EXPECT_EQ(getRFErrorNumber("(12345) x"), -1);
    EXPECT_EQ(getRFErrorNumber("() x"), -1);
    EXPECT_EQ(getRFErrorNumber("directory"), -1);
    EXPECT_EQ(getRFErrorNumber(nullptr), -1);
    EXPECT_STREQ(getRFErrorString("(1) directory"), "directory");
    EXPECT_STREQ(getRFErrorString("no number"), "no number");
}

}  // namespace
