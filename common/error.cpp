// Identity parsing, the version banner and the general diagnostic routine.
#include "error.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

char RCS_ID[] = "$Id: error.c,v 1.15 2016-02-01 10:21:07-05 devteam Exp $";

char *progName = nullptr;
char *version = nullptr;
char *date = nullptr;

const char author[] = "The Suite Developers";
const char email[] = "suite-devs@example.org";

const char standardInputName[] = "<standard input>";
const char standardOutputName[] = "<standard output>";

namespace {

// What every output place points to after a failed parse. Writable, because
// callers hold plain char pointers to it.
char nullText[] = "(null)";

// The program name is the last path component (a backslash path wins over a
// slash path) without its last extension, so "dir/x.y.c,v" gives "x.y".
char *nameFromToken(char *token) {
    char *name = token;
    if (char *backslash = std::strrchr(name, '\\')) {
        name = backslash + 1;
    } else if (char *slash = std::strrchr(name, '/')) {
        name = slash + 1;
    }
    if (char *dot = std::strrchr(name, '.')) {
        *dot = '\0';
    }
    return name;
}

void storeOutputs(char **name, char **versionOut, char **dateOut, char *n, char *v, char *d) {
    if (name) *name = n;
    if (versionOut) *versionOut = v;
    if (dateOut) *dateOut = d;
}

}  // namespace

int getNameVersionAndDate(char *identity, char **name, char **versionOut, char **dateOut) {
    if (identity == nullptr) {
        storeOutputs(name, versionOut, dateOut, nullText, nullText, nullText);
        return -1;
    }
    // The first token is the "$Id:" keyword; the next three are what we need.
    char *token = std::strtok(identity, " ");
    char *nameToken = token ? std::strtok(nullptr, " ") : nullptr;
    char *versionToken = nameToken ? std::strtok(nullptr, " ") : nullptr;
    char *dateToken = versionToken ? std::strtok(nullptr, " ") : nullptr;
    if (dateToken == nullptr) {
        storeOutputs(name, versionOut, dateOut, nullText, nullText, nullText);
        return -1;
    }
    for (char *p = dateToken; *p; ++p) {
        if (*p == '/') *p = '-';
    }
    storeOutputs(name, versionOut, dateOut, nameFromToken(nameToken), versionToken, dateToken);
    return 0;
}

void error(int status, int errnum, const char *format, ...) {
    // Pending normal output comes before the diagnostic.
    std::fflush(stdout);
    std::fprintf(stderr, "%s: ", progName ? progName : nullText);
    if (format) {
        va_list args;
        va_start(args, format);
        std::vfprintf(stderr, format, args);
        va_end(args);
    }
    if (errnum != 0) {
        std::fprintf(stderr, ": %s", std::strerror(errnum));
    }
    std::fputc('\n', stderr);
    std::fflush(stderr);
    if (status != 0) {
        std::exit(status);
    }
}

void reportIdentityFailure(int line, const char *file, const char *ending) {
    std::fprintf(stderr,
                 "Internal error at line %d in file \"%s\":\n"
                 "Cannot get my program name, version or date.%s",
                 line, file, ending);
}

void printVersionBanner(const char *buildText, const char *tail) {
    std::printf("%s version %s (%s)\nby %s <%s>,\n%s%s\n", progName, version, date, author, email,
                buildText, tail);
    checkOutput(stdout, standardOutputName);
}

void checkOutput(FILE *stream, const char *name) {
    if (std::fflush(stream) != 0 || std::ferror(stream)) {
        error(1, errno, "Cannot write to %s", name);
    }
}

void writeUsageMessage(FILE *stream, const char *format, va_list args) {
    if (format == nullptr || *format == '\0') return;
    std::fflush(stdout);
    std::fprintf(stream, "%s: ", progName);
    std::vfprintf(stream, format, args);
    std::fputc('\n', stream);
}

void endUsage(FILE *stream) {
    if (stream == stdout) {
        checkOutput(stdout, standardOutputName);
    }
    std::exit(stream == stderr ? 1 : 0);
}
