// The system's folder picker for the output folder.
#pragma once

#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// The folder nearest to `path` that exists: the path itself when it names a folder, else its
// closest parent folder that does, by full path (a relative path is taken from the working
// folder). Empty when there is none, or for an empty path.
std::wstring NearestExistingFolder(const std::wstring& path);

// Shows the folder picker owned by `owner` with `title`, opened at `start` when that names a
// folder (else where the system opens it), with its own path box and New Folder button. True
// with the chosen folder's path in `chosen`; false when the user cancelled, the choice has no
// file-system path or the picker could not be shown.
bool PickFolder(HWND owner, const wchar_t* title, const std::wstring& start, std::wstring& chosen);
