#include "cli/wildcards.h"

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <string>
#include <utility>

namespace {

// The length of the folder part: up to and including the last \, / or drive colon.
std::size_t FolderPartLength(const std::wstring& path) {
    const std::size_t last = path.find_last_of(L"\\/:");
    return last == std::wstring::npos ? 0 : last + 1;
}

// Names as Windows compares them (case ignored), with the case deciding between equals.
bool NameBefore(const std::wstring& a, const std::wstring& b) {
    const int order = CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE);
    return order != CSTR_EQUAL ? order == CSTR_LESS_THAN : a < b;
}

// The files (not folders) whose names match the pattern, sorted by name.
std::vector<std::wstring> MatchingFiles(const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            names.emplace_back(found.cFileName);
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(names.begin(), names.end(), NameBefore);
    return names;
}

}  // namespace

void ExpandWildcards(std::vector<CString>* files) {
    std::vector<CString> expanded;
    for (CString& file : *files) {
        const wchar_t* text = file.WideText();
        const std::wstring pattern = text != nullptr ? text : L"";
        const std::size_t folder = FolderPartLength(pattern);
        std::vector<std::wstring> names;
        if (pattern.find_first_of(L"*?", folder) != std::wstring::npos) {
            names = MatchingFiles(pattern);
        }
        if (names.empty()) {
            expanded.push_back(std::move(file));
            continue;
        }
        for (const std::wstring& name : names) {
            expanded.emplace_back((pattern.substr(0, folder) + name).c_str());
        }
    }
    files->swap(expanded);
}

#else

void ExpandWildcards(std::vector<CString>*) {}

#endif
