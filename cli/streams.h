// What ratemill-cli reads from standard input and writes to standard output as bytes: lists of
// file names, a WAV stream copied into a file of its own (the conversion reads its source more
// than once and seeks in it), and a finished output or a results log copied out.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "base/cstring.h"
#include "platform/platform.h"

// The names in a list: one a line (LF or CR LF) or, with nul, each ended by a NUL byte; empty
// names are left out. The bytes are UTF-8 (a byte that is not is kept, on POSIX, as the name's
// own byte); on Windows a list that is not UTF-8 is read in the active code page.
std::vector<CString> SplitNameList(const std::string& bytes, bool nul);

// Reads a whole list from standard input (path "-") or a regular file into *bytes; false with
// *systemError the system's code when it cannot be read.
bool ReadNameList(const CString& path, std::string* bytes, int* systemError);

// How a copy between a stream and a file ended.
enum class CopyEnd { Done, ReadFailed, WriteFailed, Stopped };

// Copies standard input up to its end into a new file at path (made new, never over another),
// checking the stop flag between blocks.
CopyEnd CopyStandardInputTo(const CString& path, const std::atomic<int>& stopFlag,
                            int* systemError);

// Copies the file at path to standard output.
CopyEnd CopyToStandardOutput(const CString& path, int* systemError);

// Writes bytes to standard output.
bool WriteStandardOutput(const std::string& bytes, int* systemError);
