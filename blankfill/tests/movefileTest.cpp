// File move: every message the file system can produce here, successful
// moves onto a file and into a directory, the copy buffer's size threshold,
// the refusal of a file onto itself, and the message accessors. Cases that
// depend on who may open or remove a file run as the unprivileged user
// nobody, since root ignores permission bits.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "allocationHook.h"
#include "movefile.h"
#include "testing.h"

using testing_support::readFile;
using testing_support::runInChild;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

constexpr uid_t kNobody = 65534;

std::string moveResult(const std::string &source, const std::string &destination) {
    const char *message = movefile(source.c_str(), destination.c_str());
    return message ? message : "null";
}

std::string moveAsNobody(const std::string &source, const std::string &destination) {
    auto run = runInChild([&] {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
            printf("cannot become nobody");
            return;
        }
        printf("%s", moveResult(source, destination).c_str());
    });
    return run.out;
}

bool exists(const std::string &path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

struct stat statOf(const std::string &path) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status;
}

void setTimes(const std::string &path, time_t access, time_t modification) {
    struct utimbuf times = {access, modification};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
}

// A file of the given size that takes no disk space.
void makeSparse(const std::string &path, off_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

TEST(Movefile, OntoExistingFileKeepsItsPermissions) {
    TempDir dir;
    std::string source = dir.file("source"), target = dir.file("target");
    writeFile(source, "new contents\n", 0600);
    setTimes(source, 1000000000, 1100000000);
    writeFile(target, "old contents, longer than the new ones\n", 0640);
    ASSERT_EQ(link(target.c_str(), dir.file("second-name").c_str()), 0);

    EXPECT_EQ(moveResult(source, target), "null");
    EXPECT_FALSE(exists(source));
    struct stat status = statOf(target);  // before any read changes the access time
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(status.st_atime, 1000000000);
    EXPECT_EQ(status.st_mtime, 1100000000);
    EXPECT_EQ(status.st_nlink, 2u) << "the target is written in place, its links stay";
    EXPECT_EQ(readFile(target), "new contents\n");
    EXPECT_EQ(readFile(dir.file("second-name")), "new contents\n");
}

TEST(Movefile, IntoDirectoryAndEmptyFile) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("from").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("into").c_str(), 0755), 0);
    writeFile(dir.file("from/notes.txt"), "text\n");
    EXPECT_EQ(moveResult(dir.file("from/notes.txt"), dir.file("into")), "null");
    EXPECT_FALSE(exists(dir.file("from/notes.txt")));
    EXPECT_EQ(readFile(dir.file("into/notes.txt")), "text\n");

    // A source name without '/' is used whole; the directory given with a
    // trailing separator still gives one '/'.
    writeFile(dir.file("plain"), "");
    auto run = runInChild([&] {
        if (chdir(dir.path().c_str()) != 0) return;
        printf("%s", moveResult("plain", "into/").c_str());
    });
    EXPECT_EQ(run.out, "null");
    EXPECT_FALSE(exists(dir.file("plain")));
    ASSERT_TRUE(exists(dir.file("into/plain")));
    EXPECT_EQ(statOf(dir.file("into/plain")).st_size, 0);
}

TEST(Movefile, RefusalsThatTouchNothing) {
    TempDir dir;
    std::string source = dir.file("source");
    writeFile(source, "data");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("locked").c_str(), 0555), 0);
    writeFile(dir.file("noread"), "data", 0200);
    writeFile(dir.file("nowrite"), "data", 0400);

    struct Case {
        std::string source, destination, message;
    };
    std::vector<Case> cases = {
        {dir.file("missing"), dir.file("out"), "(1) Cannot get the file status of the file to move"},
        {dir.file("sub"), dir.file("out"), "(2) Cannot move entire directories"},
        {source, dir.file("locked"), "(3) No write permission for destination directory"},
        {dir.file("noread"), dir.file("out"), "(5) The input file is marked as no read"},
        {dir.file("nowrite"), dir.file("out"), "(6) Cannot remove the old file; nothing done"},
        {source, dir.file("missing/out"), "(9) Cannot open the output file for writing"},
    };
    struct stat device;
    if (stat("/dev/loop0", &device) == 0 && S_ISBLK(device.st_mode))
        cases.push_back({"/dev/loop0", dir.file("out"), "(2) Cannot move entire directories"});
    for (const Case &c : cases) {
        EXPECT_EQ(moveResult(c.source, c.destination), c.message) << c.source << " -> " << c.destination;
        EXPECT_FALSE(exists(dir.file("out")));
    }
    EXPECT_EQ(readFile(source), "data");
    EXPECT_EQ(readFile(dir.file("noread")), "data");
    EXPECT_EQ(readFile(dir.file("nowrite")), "data");
    EXPECT_FALSE(exists(dir.file("locked/source")));
}

TEST(Movefile, PermissionFailuresAsNobody) {
    TempDir dir;
    dir.openToAll();
    // Owner bits allow reading, but the owner is root and nobody may not read.
    writeFile(dir.file("private"), "secret", 0600);
    EXPECT_EQ(moveAsNobody(dir.file("private"), dir.file("out")), "(8) Cannot open the input file for reading");
    EXPECT_FALSE(exists(dir.file("out")));

    writeFile(dir.file("mine"), "data", 0644);
    ASSERT_EQ(chown(dir.file("mine").c_str(), kNobody, kNobody), 0);
    writeFile(dir.file("roots"), "root's", 0644);
    EXPECT_EQ(moveAsNobody(dir.file("mine"), dir.file("roots")), "(9) Cannot open the output file for writing");
    EXPECT_EQ(readFile(dir.file("mine")), "data");
    EXPECT_EQ(readFile(dir.file("roots")), "root's");

    // The last write-out fails when the output is closed.
    EXPECT_EQ(moveAsNobody(dir.file("mine"), "/dev/full"), "(12) Error while closing the output file");
    EXPECT_EQ(readFile(dir.file("mine")), "data");

    // Copied, but the source's folder does not let nobody remove it.
    ASSERT_EQ(mkdir(dir.file("kept").c_str(), 0755), 0);
    writeFile(dir.file("kept/file"), "complete copy", 0644);
    EXPECT_EQ(moveAsNobody(dir.file("kept/file"), dir.file("copy")),
              "(15) Cannot remove the input file after copying it");
    EXPECT_EQ(readFile(dir.file("kept/file")), "complete copy");
    EXPECT_EQ(readFile(dir.file("copy")), "complete copy");

    // Moved into a file that nobody may write but not stamp.
    writeFile(dir.file("shared"), "old", 0666);
    setTimes(dir.file("mine"), 1000000000, 1000000000);
    EXPECT_EQ(moveAsNobody(dir.file("mine"), dir.file("shared")),
              "(16) Cannot set destination_name's 'modified' date");
    EXPECT_FALSE(exists(dir.file("mine")));
    EXPECT_EQ(readFile(dir.file("shared")), "data");
    EXPECT_NE(statOf(dir.file("shared")).st_mtime, 1000000000);
}

TEST(Movefile, ReadErrorRemovesTheDestination) {
    TempDir dir;
    writeFile(dir.file("out"), "old");
    // Reading this file at offset 0 fails: the address is never mapped.
    EXPECT_EQ(moveResult("/proc/self/mem", dir.file("out")), "(10) Error while reading the input file");
    EXPECT_FALSE(exists(dir.file("out")));
}

TEST(Movefile, WriteErrorRemovesTheDestination) {
    TempDir dir;
    std::string data(50000, 'w');
    writeFile(dir.file("source"), data);
    auto run = runInChild([&] {
        struct rlimit limit = {10000, 10000};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string message = moveResult(dir.file("source"), dir.file("out"));
        printf("%s|%s", message.c_str(), strerror(errno));
    });
    EXPECT_EQ(run.out, std::string("(11) Error while writing the output file|") + strerror(EFBIG));
    EXPECT_FALSE(exists(dir.file("out")));
    EXPECT_EQ(readFile(dir.file("source")), data);
}

TEST(Movefile, SameFileThroughAnyNameIsRefused) {
    TempDir dir;
    std::string file = dir.file("file");
    writeFile(file, "precious");
    ASSERT_EQ(symlink(file.c_str(), dir.file("symlink").c_str()), 0);
    ASSERT_EQ(link(file.c_str(), dir.file("hardlink").c_str()), 0);
    const std::string destinations[] = {file, dir.file("symlink"), dir.file("hardlink"), dir.path(),
                                        dir.path() + "//./file"};
    for (const std::string &destination : destinations) {
        EXPECT_EQ(moveResult(file, destination), "(17) Source and destination are the same file; nothing done")
            << destination;
        EXPECT_EQ(readFile(file), "precious") << destination;
    }
    EXPECT_EQ(moveResult(dir.file("symlink"), file), "(17) Source and destination are the same file; nothing done");
    EXPECT_EQ(readFile(file), "precious");
    EXPECT_TRUE(exists(dir.file("symlink")));
}

// The copy buffer is 64 KiB below 100 MiB of source and 512 MiB from there
// on, with 64 KiB as the fallback. The destination cannot be opened, so the
// sizes are seen without copying 100 MiB.
TEST(Movefile, BufferSizeThreshold) {
    TempDir dir;
    std::string source = dir.file("sparse"), nowhere = dir.file("missing/out");
    constexpr size_t kSmall = 65536, kLarge = 536870912;
    struct Case {
        off_t size;
        size_t refuseFrom;
        int refuseCount;
        std::string message;
        std::vector<size_t> sizes;
    };
    const Case cases[] = {
        {104857599, SIZE_MAX, 0, "(9) Cannot open the output file for writing", {kSmall}},
        {104857600, SIZE_MAX, 0, "(9) Cannot open the output file for writing", {kLarge}},
        {104857600, kLarge, 0, "(9) Cannot open the output file for writing", {kLarge, kSmall}},
        {104857600, SIZE_MAX, 2, "(7) Cannot get memory for move buffer", {kLarge, kSmall}},
        {10, SIZE_MAX, 1, "(7) Cannot get memory for move buffer", {kSmall}},
    };
    for (const Case &c : cases) {
        makeSparse(source, c.size);
        allocation_hook::arm(c.refuseFrom, c.refuseCount);
        std::string message = moveResult(source, nowhere);
        EXPECT_EQ(allocation_hook::disarm(), c.sizes) << c.size;
        EXPECT_EQ(message, c.message) << c.size;
        EXPECT_TRUE(exists(source));
    }
}

// A source of 100 MiB goes through the large buffer; its bytes arrive whole.
TEST(Movefile, LargeSourceCopiedWhole) {
    TempDir dir;
    std::string source = dir.file("large");
    makeSparse(source, 104857600 - 6);
    FILE *tail = fopen(source.c_str(), "a");
    fputs("-tail-", tail);
    fclose(tail);
    EXPECT_EQ(moveResult(source, dir.file("moved")), "null");
    EXPECT_FALSE(exists(source));
    EXPECT_EQ(statOf(dir.file("moved")).st_size, 104857600);
    FILE *moved = fopen(dir.file("moved").c_str(), "r");
    char last[7] = {};
    fseek(moved, -6, SEEK_END);
    EXPECT_EQ(fread(last, 1, 6, moved), 6u);
    fclose(moved);
    EXPECT_STREQ(last, "-tail-");
}

TEST(Movefile, NoMemoryForTheJoinedName) {
    TempDir dir;
    writeFile(dir.file("source"), "data");
    allocation_hook::arm(SIZE_MAX, 1);
    std::string message = moveResult(dir.file("source"), dir.path());
    allocation_hook::disarm();
    EXPECT_EQ(message, "(4) Cannot get memory for  directory + file name");
    EXPECT_EQ(readFile(dir.file("source")), "data");
}

TEST(Movefile, MessageAccessors) {
    struct Case {
        const char *message;
        int number;
    };
    const Case numbers[] = {
        {"(16) Cannot set destination_name's 'modified' date", 16},
        {"(2) Cannot move entire directories", 2},
        {"(9999) x", 9999},
        {"(12345) x", -1},
        {"() x", -1},
        {"12) x", -1},
        {"(12 x", -1},
        {"(1a) x", -1},
        {"", -1},
        {nullptr, -1},
    };
    for (const Case &c : numbers) EXPECT_EQ(getMFErrorNumber(c.message), c.number) << (c.message ? c.message : "null");

    EXPECT_STREQ(getMFErrorString("(2) Cannot move entire directories"), "Cannot move entire directories");
    EXPECT_STREQ(getMFErrorString("no parenthesis here"), "no parenthesis here");
    EXPECT_STREQ(getMFErrorString("(3)no space"), "(3)no space");
    EXPECT_STREQ(getMFErrorString("a) b) c"), "b) c");
}

}  // namespace
