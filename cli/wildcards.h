// Wildcards in file arguments. POSIX shells expand them before the program starts; cmd.exe
// on Windows passes them on as they were typed, so there the program expands them itself.
#pragma once

#include <vector>

#include "base/cstring.h"

// On Windows, replaces each argument with * or ? in its name part (after the last \, / or
// drive colon) by the files, not folders, of its folder whose names match it, sorted by name
// (case ignored), each with the folder part as the argument gave it. An argument that matches
// no file is kept as it is, and so is one with wildcards in its folder part only. Elsewhere
// the list is left as it is.
void ExpandWildcards(std::vector<CString>* files);
