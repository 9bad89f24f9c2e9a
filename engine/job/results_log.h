// The results log of a batch: one row per source with how it ended, written as CSV (RFC 4180:
// a header row, CR LF line ends, fields with commas, quotes or line breaks quoted with doubled
// quotes) or as JSON Lines (one object per line). Both are UTF-8 whatever the names hold: a
// wide character that has no UTF-8 form (on POSIX U+DC80 to U+DCFF, each a byte of a name that
// is not UTF-8; on Windows a lone surrogate) is written as the escape "\udcXX" in JSON, which
// Python's json and os.fsencode turn back into the byte, and in CSV as "\xNN" (POSIX) or
// "\uXXXX" (Windows), a backslash being doubled on POSIX so that the escape is never ambiguous.
#pragma once

#include <string>
#include <vector>

#include "base/cstring.h"
#include "engine/job/conversion.h"

enum class ResultsLogFormat { Csv, JsonLines };

// JSON Lines for a name ending in ".jsonl" (case ignored), else CSV.
ResultsLogFormat ResultsLogFormatFor(const CString& path);

// One source of the batch as it was given and what became of it (NotStarted by default).
struct ResultsLogRow {
    CString source;
    FileResult result;
};

// A copy of a result (FileResult holds a CString, which is copied only on purpose).
FileResult CopyOfResult(const FileResult& result);

// The log's columns, in their order: the CSV header and the JSON keys.
extern const char* const kResultsLogColumns[];
extern const int kResultsLogColumnCount;

// The whole log as UTF-8 bytes. The target format is the target's for every row; values that
// are not known (the formats of a source that did not open, the peak of digital silence) are
// empty in CSV and null in JSON.
std::string ResultsLogText(const std::vector<ResultsLogRow>& rows, const ConversionTarget& target,
                           ResultsLogFormat format);

// Writes the log to path as a whole: into a new temporary file beside it, which then replaces
// path in one step, so that an existing log is either kept or replaced, never half-written.
// False with *systemError (when given) the system's code when the log could not be written.
bool WriteResultsLog(const CString& path, const std::vector<ResultsLogRow>& rows,
                     const ConversionTarget& target, int* systemError = nullptr);
