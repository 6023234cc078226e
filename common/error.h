// The support module every tool carries: the tool's identity parsed from its
// own identity string, the version banner, and the diagnostic routines.
#pragma once

#include <cstdarg>
#include <cstdio>

// Set once at start-up by getNameVersionAndDate; they point into the tool's
// identity string (or at the parser's "(null)" text after a failed parse).
extern char *progName;
extern char *version;
extern char *date;

// How messages name the standard streams.
extern const char standardInputName[];   // "<standard input>"
extern const char standardOutputName[];  // "<standard output>"

// The last step of writing a tool's output: flushes the stream and tests its
// error indicator, since output that never reached its reader is no success.
// On failure it ends the process with "Cannot write to NAME" and the
// system's text, status 1.
void checkOutput(FILE *stream, const char *name);

// The build's date ("Nov 24 2024") and time ("09:13:44") in the banner's
// build text: the moment of the build in Eastern Standard Time, which the
// text labels EST. The build system passes both in (from SOURCE_DATE_EPOCH
// where it is set), so every compiler and every build of one moment gives
// the same text. There is no fallback: a build that does not pass them
// fails to compile rather than fall back on the compiler's clock.

// Shown by every tool's version banner.
extern const char author[];
extern const char email[];

// Splits an identity string ("$Id: name.c,v 1.2 2024-01-02 ...") in place into
// the program name, the version and the date. Returns 0, or -1 when the
// string is null or too short, in which case all outputs point to "(null)".
// Null output places are skipped.
int getNameVersionAndDate(char *identity, char **name, char **versionOut, char **dateOut);

// One diagnostic line on standard error: "prog: message[: system text]".
// A non-zero status ends the process with that status. This is the suite's
// own routine with C++ linkage; the C library's function of the same name
// lives only in <error.h>, which nothing in the suite includes, so the two
// never meet.
[[gnu::format(printf, 3, 4)]] void error(int status, int errnum, const char *format, ...);

// The diagnostic routine of octetTally: like error, but the format may be
// null, only positive error numbers add system text, a help hint may follow,
// and neither stream is flushed.
[[gnu::format(printf, 4, 5)]] void errorMsg(int status, int errnum, int helpHint,
                                            const char *format, ...);

// Each tool defines its own usage with its own help text: writes an optional
// message and the help text to the stream, then exits with 1 when the stream
// is standard error and 0 otherwise.
[[noreturn]] [[gnu::format(printf, 2, 3)]] void usage(FILE *stream, const char *format, ...);

// The parts every tool's usage shares. writeUsageMessage writes, for a
// non-empty format, pending standard output first and then "prog: message"
// and a newline to the stream; endUsage ends the process with 1 when the
// stream is standard error and 0 otherwise (a null stream included), once
// help written to standard output is known to have reached it.
void writeUsageMessage(FILE *stream, const char *format, va_list args);
[[noreturn]] void endUsage(FILE *stream);

// Writes the start-up failure text for a failed identity parse; the caller
// names its own line and source file and ends with status 1. `ending` is what
// follows the text ("" or "\n").
void reportIdentityFailure(int line, const char *file, const char *ending);

// Writes the three-line version banner to standard output. `tail` follows the
// build text: "." for most tools, ", public domain." for one. A banner that
// cannot be written ends the process with status 1 and a diagnostic.
void printVersionBanner(const char *buildText, const char *tail);
