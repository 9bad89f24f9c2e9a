// Win32 side of the platform layer: file handles, the ANSI code page, the module path, the
// console.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h:
#include <knownfolders.h>
#include <shlobj.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace platform {

namespace {

HANDLE Native(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

// True for a path in the \\?\ or \\.\ form, which the system takes as written: it is neither
// made absolute nor checked for device names here.
bool IsSystemForm(const wchar_t* path) {
    return path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') &&
           path[3] == L'\\';
}

// A path as the file functions take it. A path too long for the classic limit is made absolute
// and given the \\?\ form (\\?\UNC\ for a network path), so that deep folders work too.
class SystemPath {
  public:
    explicit SystemPath(const wchar_t* path) : m_path(path) {
        if (path == nullptr || lstrlenW(path) < MAX_PATH - 12 || IsSystemForm(path)) return;
        DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
        if (needed == 0) return;
        wchar_t* full = new (std::nothrow) wchar_t[needed];
        if (full == nullptr) return;
        if (GetFullPathNameW(path, needed, full, nullptr) != 0) {
            const bool unc = full[0] == L'\\' && full[1] == L'\\';
            const wchar_t* prefix = unc ? L"\\\\?\\UNC" : L"\\\\?\\";
            const wchar_t* rest = unc ? full + 1 : full;  // keep one backslash of "\\server"
            const int prefixLength = lstrlenW(prefix);
            const int restLength = lstrlenW(rest);
            m_buffer = new (std::nothrow) wchar_t[prefixLength + restLength + 1];
            if (m_buffer != nullptr) {
                lstrcpyW(m_buffer, prefix);
                lstrcpyW(m_buffer + prefixLength, rest);
                m_path = m_buffer;
            }
        }
        delete[] full;
    }
    ~SystemPath() { delete[] m_buffer; }
    SystemPath(const SystemPath&) = delete;
    SystemPath& operator=(const SystemPath&) = delete;
    operator const wchar_t*() const { return m_path; }

  private:
    const wchar_t* m_path;
    wchar_t* m_buffer = nullptr;
};

}  // namespace

// A device's full path comes back as \\.\NAME.
bool NamesDevice(const wchar_t* path) {
    if (path == nullptr || path[0] == 0 || IsSystemForm(path)) return false;
    DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (needed == 0) return false;
    wchar_t* full = new (std::nothrow) wchar_t[needed];
    if (full == nullptr) return false;
    bool device = GetFullPathNameW(path, needed, full, nullptr) != 0 && full[0] == L'\\' &&
                  full[1] == L'\\' && full[2] == L'.' && full[3] == L'\\';
    delete[] full;
    return device;
}

namespace {

// Keeps a handle that is a file on disk; otherwise (a device, a pipe) closes it unused.
bool KeepDiskFile(HANDLE h) {
    if (GetFileType(h) == FILE_TYPE_DISK) return true;
    CloseHandle(h);
    SetLastError(static_cast<DWORD>(kErrorNotRegularFile));
    return false;
}

constexpr wchar_t kNotRegularFileText[] = L"not a regular file (a device, a pipe or a FIFO)";

// Hands a path over with the length rules of ProgramPath.
int GivePath(const wchar_t* path, int length, wchar_t* out, int outCount) {
    if (out != nullptr && length < outCount) {
        lstrcpynW(out, path, length + 1);
    }
    return length;
}

std::atomic<int>* interruptFlag = nullptr;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleControl(DWORD event) {
    const bool key = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    const int status = key                                                          ? 130
                       : event == CTRL_CLOSE_EVENT                                  ? 129
                       : event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT ? 143
                                                                                    : 0;
    if (status == 0 || interruptFlag == nullptr) return FALSE;
    int none = 0;
    const bool first = interruptFlag->compare_exchange_strong(none, status);
    if (key) return first ? TRUE : FALSE;  // a second Ctrl-C ends the process
    // The system ends the process once this returns, or a few seconds after the event: wait
    // here for the batch to stop and the program to end by itself, with its files completed.
    Sleep(INFINITE);
    return TRUE;
}

HANDLE StdHandle(Stream stream) {
    return GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

}  // namespace

int MultiByteToWide(unsigned codePage, const char* bytes, int byteCount, wchar_t* out,
                    int outCount) {
    if (bytes == nullptr || byteCount <= 0) return 0;
    if (out == nullptr) outCount = 0;
    return ::MultiByteToWideChar(codePage == kCodePageSystem ? CP_ACP : codePage, 0, bytes,
                                 byteCount, out, outCount);
}

int WideToMultiByte(unsigned codePage, const wchar_t* text, int count, char* out, int outCount) {
    if (text == nullptr || count <= 0) return 0;
    if (out == nullptr) outCount = 0;
    return ::WideCharToMultiByte(codePage == kCodePageSystem ? CP_ACP : codePage, 0, text, count,
                                 out, outCount, nullptr, nullptr);
}

FileHandle OpenForRead(const wchar_t* path) {
    // A device name is refused before it is opened: opening CON waits for the console, and
    // opening a port may already change its lines.
    if (NamesDevice(path)) {
        SetLastError(static_cast<DWORD>(kErrorNotRegularFile));
        return kNoFile;
    }
    HANDLE h = CreateFileW(SystemPath(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (h == INVALID_HANDLE_VALUE || !KeepDiskFile(h)) return kNoFile;
    return reinterpret_cast<FileHandle>(h);
}

CreateResult CreateForWrite(const wchar_t* path, bool overwrite, FileHandle* handle) {
    *handle = kNoFile;
    if (NamesDevice(path)) {
        SetLastError(static_cast<DWORD>(kErrorNotRegularFile));
        return CreateResult::Exists;
    }
    HANDLE h = CreateFileW(SystemPath(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           overwrite ? CREATE_ALWAYS : CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Only "the name is taken" lets the caller try another name; a folder of that name
        // answers "access denied" here, so ask whether something is there.
        DWORD error = GetLastError();
        bool exists =
            error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
            (!overwrite && GetFileAttributesW(SystemPath(path)) != INVALID_FILE_ATTRIBUTES);
        SetLastError(error);
        return exists ? CreateResult::Exists : CreateResult::Failed;
    }
    // Whatever else the name opened (a device a name check did not know, a pipe) is left alone.
    if (!KeepDiskFile(h)) return CreateResult::Exists;
    *handle = reinterpret_cast<FileHandle>(h);
    return CreateResult::Created;
}

bool Read(FileHandle file, void* buffer, std::uint32_t bytes, std::uint32_t* done) {
    DWORD got = 0;
    BOOL ok = ReadFile(Native(file), buffer, bytes, &got, nullptr);
    *done = got;
    // A pipe whose writer has closed its end ends there.
    if (!ok && GetLastError() == ERROR_BROKEN_PIPE) return true;
    return ok != 0;
}

bool Write(FileHandle file, const void* buffer, std::uint32_t bytes, std::uint32_t* done) {
    *done = 0;
    const char* p = static_cast<const char*>(buffer);
    while (*done < bytes) {
        DWORD wrote = 0;
        if (!WriteFile(Native(file), p + *done, bytes - *done, &wrote, nullptr)) return false;
        if (wrote == 0) return false;
        *done += wrote;
    }
    return true;
}

bool Seek(FileHandle file, std::int64_t offset, SeekFrom from, std::uint64_t* newPosition) {
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER result;
    DWORD method = from == SeekFrom::Begin     ? FILE_BEGIN
                   : from == SeekFrom::Current ? FILE_CURRENT
                                               : FILE_END;
    if (!SetFilePointerEx(Native(file), distance, &result, method)) return false;
    if (newPosition != nullptr) *newPosition = static_cast<std::uint64_t>(result.QuadPart);
    return true;
}

bool FileSize(FileHandle file, std::uint64_t* size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(Native(file), &value)) return false;
    *size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
}

bool Truncate(FileHandle file, std::uint64_t size) {
    std::uint64_t position = 0;
    if (!Seek(file, 0, SeekFrom::Current, &position)) return false;
    bool ok = Seek(file, static_cast<std::int64_t>(size), SeekFrom::Begin, nullptr) &&
              SetEndOfFile(Native(file)) != 0;
    Seek(file, static_cast<std::int64_t>(position), SeekFrom::Begin, nullptr);
    return ok;
}

bool Flush(FileHandle file) {
    return FlushFileBuffers(Native(file)) != 0;
}

void Close(FileHandle file) {
    if (file != kNoFile) CloseHandle(Native(file));
}

bool RenameOver(const wchar_t* from, const wchar_t* to) {
    return MoveFileExW(SystemPath(from), SystemPath(to),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool CreateFolder(const wchar_t* path) {
    if (CreateDirectoryW(SystemPath(path), nullptr)) return true;
    const DWORD error = GetLastError();
    const bool folder = error == ERROR_ALREADY_EXISTS && IsFolder(path);
    SetLastError(error);
    return folder;
}

FolderResult MakeOutputFolder(const wchar_t* path) {
    // A device name (NUL, COM1, ...) makes no folder; CreateDirectoryW may even take it.
    if (NamesDevice(path)) {
        SetLastError(static_cast<DWORD>(kErrorNotFolder));
        return FolderResult::NotAFolder;
    }
    if (CreateDirectoryW(SystemPath(path), nullptr)) return FolderResult::Ready;
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(SystemPath(path));
    if (error != ERROR_ALREADY_EXISTS || attributes == INVALID_FILE_ATTRIBUTES) {
        SetLastError(error);
        return FolderResult::Failed;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return FolderResult::Ready;
    }
    SetLastError(static_cast<DWORD>(kErrorNotFolder));
    return FolderResult::NotAFolder;
}

CreateResult RenameNew(const wchar_t* from, const wchar_t* to) {
    // Without MOVEFILE_REPLACE_EXISTING a taken name is refused.
    if (NamesDevice(to)) return CreateResult::Exists;
    if (MoveFileExW(SystemPath(from), SystemPath(to), MOVEFILE_WRITE_THROUGH)) {
        return CreateResult::Created;
    }
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? CreateResult::Exists
                                                                       : CreateResult::Failed;
}

FileHandle OpenExclusive(const wchar_t* path, bool* busy) {
    *busy = false;
    if (NamesDevice(path)) {
        SetLastError(static_cast<DWORD>(kErrorNotRegularFile));
        return kNoFile;
    }
    // Shared for deletion only: another process that opens it to read or write is refused.
    HANDLE h =
        CreateFileW(SystemPath(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *busy = GetLastError() == ERROR_SHARING_VIOLATION;
        return kNoFile;
    }
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!KeepDiskFile(h)) return kNoFile;
    if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(h);
        SetLastError(static_cast<DWORD>(kErrorNotRegularFile));
        return kNoFile;
    }
    return reinterpret_cast<FileHandle>(h);
}

Replaceable CanReplace(const wchar_t* path) {
    if (path == nullptr || path[0] == 0) return Replaceable::Yes;
    const DWORD attributes = GetFileAttributesW(SystemPath(path));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return Replaceable::ReadOnly;
    }
    // Opening a handle with an access right runs the system's access check and changes nothing.
    // Only a refusal counts: a file that another program holds open is not replaceable now, but
    // that passes.
    auto refused = [](const wchar_t* name, DWORD access, DWORD flags) {
        HANDLE h = CreateFileW(SystemPath(name), access,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, flags, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return false;
        }
        const DWORD error = GetLastError();
        return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
    };
    // The folder: everything before the last separator, a drive's root keeping its own.
    const int length = lstrlenW(path);
    int cut = length;
    while (cut > 0 && path[cut - 1] != L'\\' && path[cut - 1] != L'/') --cut;
    if (cut > 0) {
        int end = cut - 1;
        if (end == 2 && path[1] == L':') end = cut;  // "C:\"
        if (end == 0) end = 1;                       // "\" of the current drive
        wchar_t* folder = new (std::nothrow) wchar_t[static_cast<size_t>(end) + 1];
        if (folder != nullptr) {
            lstrcpynW(folder, path, end + 1);
            const bool closed = refused(folder, FILE_ADD_FILE, FILE_FLAG_BACKUP_SEMANTICS);
            delete[] folder;
            if (closed) return Replaceable::FolderClosed;
        }
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && refused(path, DELETE, 0)) {
        return Replaceable::Protected;
    }
    return Replaceable::Yes;
}

bool PathExists(const wchar_t* path) {
    return GetFileAttributesW(SystemPath(path)) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(SystemPath(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeTemporaryFolder(std::wstring* path) {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH) return false;
    // A name of this process and a counter; one that is taken is passed over.
    static LONG counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t name[MAX_PATH + 40];
        wsprintfW(name, L"%sratemill-%lu-%ld", base, GetCurrentProcessId(),
                  InterlockedIncrement(&counter));
        if (CreateDirectoryW(name, nullptr)) {
            path->assign(name);
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

bool DeleteFolder(const wchar_t* path) {
    return RemoveDirectoryW(SystemPath(path)) != 0;
}

FileHandle StandardInput() {
    _setmode(_fileno(stdin), _O_BINARY);
    return reinterpret_cast<FileHandle>(GetStdHandle(STD_INPUT_HANDLE));
}

FileHandle StandardOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
    return reinterpret_cast<FileHandle>(GetStdHandle(STD_OUTPUT_HANDLE));
}

bool IsRegularFile(FileHandle file) {
    return GetFileType(Native(file)) == FILE_TYPE_DISK;
}

bool DeleteFilePath(const wchar_t* path) {
    return DeleteFileW(SystemPath(path)) != 0;
}

bool GetFileId(const wchar_t* path, FileId* id) {
    HANDLE h =
        CreateFileW(SystemPath(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    // The 128-bit index where the file system has one (ReFS: its 64-bit one need not be
    // unique); NTFS gives the same 64-bit index either way.
    FILE_ID_INFO info;
    BY_HANDLE_FILE_INFORMATION basic;
    bool ok = true;
    if (GetFileInformationByHandleEx(h, FileIdInfo, &info, sizeof info)) {
        id->volume = info.VolumeSerialNumber;
        std::memcpy(&id->low, info.FileId.Identifier, 8);
        std::memcpy(&id->high, info.FileId.Identifier + 8, 8);
    } else if (GetFileInformationByHandle(h, &basic)) {
        id->volume = basic.dwVolumeSerialNumber;
        id->high = 0;
        id->low = (static_cast<std::uint64_t>(basic.nFileIndexHigh) << 32) | basic.nFileIndexLow;
    } else {
        ok = false;
    }
    CloseHandle(h);
    return ok;
}

bool InSystemFolder(const wchar_t*) {
    return false;
}

bool ReadFolder(const wchar_t* path, std::vector<FolderEntry>* entries) {
    if (path == nullptr || path[0] == 0) return false;
    std::wstring pattern = path;
    if (pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW(SystemPath(pattern.c_str()), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return false;
    do {
        const wchar_t* name = found.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
        FolderEntry entry;
        entry.name = name;
        entry.link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.kind = folder                                                  ? EntryKind::Folder
                     : (found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0 ? EntryKind::Other
                                                                             : EntryKind::File;
        entries->push_back(std::move(entry));
    } while (FindNextFileW(find, &found));
    const bool ok = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    return ok;
}

bool ResolvedPath(const wchar_t* path, std::wstring* out) {
    HANDLE h =
        CreateFileW(SystemPath(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const DWORD needed = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED);
    bool ok = false;
    if (needed != 0) {
        std::wstring resolved(needed, L'\0');
        const DWORD got = GetFinalPathNameByHandleW(h, &resolved[0], needed, FILE_NAME_NORMALIZED);
        if (got != 0 && got < needed) {
            resolved.resize(got);
            *out = std::move(resolved);
            ok = true;
        }
    }
    CloseHandle(h);
    return ok;
}

std::vector<std::wstring> MatchingFiles(const wchar_t* pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            names.emplace_back(found.cFileName);
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
    // As Windows compares names (case ignored), with the case deciding between equals.
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
        const int order = CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE);
        return order != CSTR_EQUAL ? order == CSTR_LESS_THAN : a < b;
    });
    return names;
}

int LastError() {
    return static_cast<int>(GetLastError());
}

void ErrorText(int code, wchar_t* out, int outCount) {
    if (out == nullptr || outCount <= 0) return;
    if (code == kErrorNotRegularFile) {
        lstrcpynW(out, kNotRegularFileText, outCount);
        return;
    }
    if (code == kErrorNotFolder) {
        lstrcpynW(out, L"a file, a device or a link has the name of a folder needed", outCount);
        return;
    }
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT),
                             out, static_cast<DWORD>(outCount), nullptr);
    if (n == 0) {
        // No text for this code: "system error N".
        const wchar_t prefix[] = L"system error ";
        wchar_t digits[12];
        int d = 0;
        unsigned value = static_cast<unsigned>(code);
        do {
            digits[d++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value != 0);
        int i = 0;
        for (; prefix[i] != 0 && i < outCount - 1; ++i) out[i] = prefix[i];
        while (d > 0 && i < outCount - 1) out[i++] = digits[--d];
        out[i] = 0;
        return;
    }
    // The system's texts end with a line break and often a full stop; callers add their own.
    while (n > 0 && (out[n - 1] == L'\r' || out[n - 1] == L'\n' || out[n - 1] == L'.' ||
                     out[n - 1] == L' ')) {
        out[--n] = 0;
    }
}

int ProgramPath(wchar_t* out, int outCount) {
    // The module path has no length query: grow the buffer until it fits.
    for (DWORD size = MAX_PATH; size <= 32768 * 2; size *= 2) {
        wchar_t* buffer = new (std::nothrow) wchar_t[size];
        if (buffer == nullptr) return 0;
        DWORD n = GetModuleFileNameW(nullptr, buffer, size);
        int length = n < size ? GivePath(buffer, static_cast<int>(n), out, outCount) : -1;
        delete[] buffer;
        if (n == 0) return 0;
        if (length >= 0) return length;
    }
    return 0;
}

int CurrentFolder(wchar_t* out, int outCount) {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return 0;
    wchar_t* buffer = new (std::nothrow) wchar_t[needed];
    if (buffer == nullptr) return 0;
    DWORD n = GetCurrentDirectoryW(needed, buffer);
    int length = (n > 0 && n < needed) ? GivePath(buffer, static_cast<int>(n), out, outCount) : 0;
    delete[] buffer;
    return length;
}

int UserConfigFolder(wchar_t* out, int outCount) {
    // The environment first, so that a user (or a test) can point it elsewhere; only a drive
    // path or a network path counts.
    const DWORD needed = GetEnvironmentVariableW(L"APPDATA", nullptr, 0);
    if (needed > 3) {
        wchar_t* value = new (std::nothrow) wchar_t[needed];
        const DWORD n = value != nullptr ? GetEnvironmentVariableW(L"APPDATA", value, needed) : 0;
        const bool absolute = n > 2 && n < needed &&
                              ((value[1] == L':' && (value[2] == L'\\' || value[2] == L'/')) ||
                               (value[0] == L'\\' && value[1] == L'\\'));
        const int length = absolute ? GivePath(value, static_cast<int>(n), out, outCount) : 0;
        delete[] value;
        if (absolute) return length;
    }
    // Without the variable, the shell knows the folder. It is loaded only then: a console
    // program that imports the shell also loads the window system at every start (and under
    // Wine starts a desktop for it).
    using KnownFolderPath = HRESULT(WINAPI*)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);
    using TaskMemFree = void(WINAPI*)(LPVOID);
    int length = 0;
    HMODULE shell = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE ole = LoadLibraryExW(L"ole32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    auto knownFolderPath = reinterpret_cast<KnownFolderPath>(
        shell != nullptr ? reinterpret_cast<void*>(GetProcAddress(shell, "SHGetKnownFolderPath"))
                         : nullptr);
    auto taskMemFree = reinterpret_cast<TaskMemFree>(
        ole != nullptr ? reinterpret_cast<void*>(GetProcAddress(ole, "CoTaskMemFree")) : nullptr);
    PWSTR known = nullptr;
    if (knownFolderPath != nullptr && taskMemFree != nullptr &&
        SUCCEEDED(knownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &known))) {
        length = GivePath(known, lstrlenW(known), out, outCount);
        taskMemFree(known);
    }
    if (ole != nullptr) FreeLibrary(ole);
    if (shell != nullptr) FreeLibrary(shell);
    return length;
}

int FullPath(const wchar_t* path, wchar_t* out, int outCount) {
    if (path == nullptr || path[0] == 0) return 0;
    DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (needed == 0) return 0;
    wchar_t* buffer = new (std::nothrow) wchar_t[needed];
    if (buffer == nullptr) return 0;
    DWORD n = GetFullPathNameW(path, needed, buffer, nullptr);
    int length = (n > 0 && n < needed) ? GivePath(buffer, static_cast<int>(n), out, outCount) : 0;
    delete[] buffer;
    return length;
}

bool IsTerminal(Stream stream) {
    // A console that also takes the escape sequences which redraw a progress line: Windows 10
    // and later do once asked to, and show them as text otherwise.
    HANDLE h = StdHandle(stream);
    DWORD mode;
    if (GetConsoleMode(h, &mode) == 0) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void WriteText(Stream stream, const wchar_t* text) {
    if (text == nullptr) return;
    HANDLE h = StdHandle(stream);
    int length = lstrlenW(text);
    DWORD mode;
    if (GetConsoleMode(h, &mode)) {
        DWORD written;
        WriteConsoleW(h, text, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    // Redirected: the active code page, CR LF. Best-fit mappings (a look-alike for a character
    // the code page lacks) are not used, so that a name is never shown as another one.
    const UINT codePage = GetACP();
    wchar_t wide[400];
    char buffer[1600];  // 400 wide characters in any code page
    for (int start = 0; start < length;) {
        int take = length - start < 200 ? length - start : 200;
        // Keep a surrogate pair together.
        if (take == 200 && text[start + take - 1] >= 0xD800 && text[start + take - 1] <= 0xDBFF) {
            --take;
        }
        int units = 0;
        for (int i = start; i < start + take; ++i) {
            if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) wide[units++] = L'\r';
            wide[units++] = text[i];
        }
        int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, units, buffer,
                                    sizeof buffer, nullptr, nullptr);
        if (n == 0 && GetLastError() == ERROR_INVALID_FLAGS) {  // UTF-8 and a few others
            n = WideCharToMultiByte(codePage, 0, wide, units, buffer, sizeof buffer, nullptr,
                                    nullptr);
        }
        DWORD written;
        if (n > 0 && !WriteFile(h, buffer, static_cast<DWORD>(n), &written, nullptr)) return;
        start += take;
    }
}

void CatchInterrupt(std::atomic<int>* flag) {
    interruptFlag = flag;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

}  // namespace platform
