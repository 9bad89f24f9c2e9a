#include "ui/folder_picker.h"

#include <objbase.h>
#include <shobjidl.h>

#include <vector>

namespace {

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Releases a COM interface when it goes out of scope.
template <typename Interface>
struct Released {
    Interface* pointer = nullptr;
    ~Released() {
        if (pointer != nullptr) pointer->Release();
    }
};

}  // namespace

std::wstring NearestExistingFolder(const std::wstring& path) {
    if (path.empty()) return {};
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) return {};
    std::vector<wchar_t> full(length + 1, L'\0');
    const DWORD got = GetFullPathNameW(path.c_str(), length + 1, full.data(), nullptr);
    if (got == 0 || got > length) return {};
    std::wstring folder(full.data(), got);
    while (!folder.empty()) {
        if (IsFolder(folder)) return folder;
        const std::size_t separator = folder.find_last_of(L"\\/");
        if (separator == std::wstring::npos) break;
        // A drive's root keeps its separator: "C:\" is a folder, "C:" the drive's current one.
        const std::size_t keep =
            separator == 2 && folder[1] == L':' && folder.size() > 3 ? separator + 1 : separator;
        if (keep <= 1 || keep >= folder.size()) break;  // never above a share's name
        folder.resize(keep);
    }
    return {};
}

bool PickFolder(HWND owner, const wchar_t* title, const std::wstring& start, std::wstring& chosen) {
    Released<IFileOpenDialog> dialog;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IFileOpenDialog, reinterpret_cast<void**>(&dialog.pointer)))) {
        return false;
    }
    FILEOPENDIALOGOPTIONS options = 0;
    dialog.pointer->GetOptions(&options);
    // Folders only, with a path on disk; the working folder stays where it is (the settings
    // file is looked for there).
    dialog.pointer->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST |
                               FOS_NOCHANGEDIR);
    if (title != nullptr) dialog.pointer->SetTitle(title);
    if (!start.empty()) {
        Released<IShellItem> folder;
        if (SUCCEEDED(SHCreateItemFromParsingName(start.c_str(), nullptr, IID_IShellItem,
                                                  reinterpret_cast<void**>(&folder.pointer)))) {
            dialog.pointer->SetFolder(folder.pointer);
        }
    }
    if (FAILED(dialog.pointer->Show(owner))) return false;  // cancelled among others
    Released<IShellItem> result;
    if (FAILED(dialog.pointer->GetResult(&result.pointer))) return false;
    PWSTR path = nullptr;
    if (FAILED(result.pointer->GetDisplayName(SIGDN_FILESYSPATH, &path)) || path == nullptr) {
        return false;
    }
    chosen.assign(path);
    CoTaskMemFree(path);
    return !chosen.empty();
}
