// A series of runs written for other programs: every run and each command's
// summary, as one JSON document or as CSV with a header row. Times are in
// seconds, as plain decimals, peak memory in KiB.
#pragma once

#include <cstdio>

#include "series.h"
#include "seriesReport.h"

void writeJson(FILE *stream, const Series &series, const CommandFigures *figures);
void writeCsv(FILE *stream, const Series &series, const CommandFigures *figures);

// `text` as a JSON string, quotes included: the quote, the backslash and the
// control characters escaped, and each byte that is not part of valid UTF-8
// written as U+FFFD, so that the document is valid UTF-8 whatever the
// command's arguments held.
void writeJsonString(FILE *stream, const char *text);
