// The older diagnostic routine used by octetTally: it may print only the
// system's text, and may add a hint about the help option.
#include "error.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

void errorMsg(int status, int errnum, int helpHint, const char *format, ...) {
    if (format) {
        if (progName) std::fprintf(stderr, "%s: ", progName);
        va_list args;
        va_start(args, format);
        std::vfprintf(stderr, format, args);
        va_end(args);
    }
    // Zero and negative numbers carry no system error.
    if (errnum > 0) {
        std::fprintf(stderr, format ? ": %s" : "%s", std::strerror(errnum));
    }
    std::fputc('\n', stderr);
    if (helpHint) {
        if (progName) {
            std::fprintf(stderr, "\"%s -h\" for help.\n", progName);
        } else {
            std::fputs("Help option is -h.\n", stderr);
        }
    }
    if (status != 0) {
        std::exit(status);
    }
}
