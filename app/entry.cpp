#include <new>
#include <vector>

#include "app/app_base.h"
#include "base/diagnostic.h"
#include "platform/platform.h"
#include "settings/app_parameter.h"
#include "ui/app_main.h"

namespace {

constexpr wchar_t kTraceLibraryName[] = L"traceout64.dll";

}  // namespace

std::wstring ProgramFolder() {
    const int length = platform::ProgramPath(nullptr, 0);
    if (length <= 0) return {};
    std::vector<wchar_t> path(static_cast<std::size_t>(length) + 1, L'\0');
    if (platform::ProgramPath(path.data(), length + 1) != length) return {};
    std::wstring folder(path.data(), static_cast<std::size_t>(length));
    const std::size_t separator = folder.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return {};
    folder.resize(separator + 1);
    return folder;
}

void RestrictDllSearch() {
    // Windows 8 and later, and Windows 7 with its loader update, have SetDefaultDllDirectories:
    // the program's folder, System32 and folders added on purpose, never the working folder.
    using SetDefaultDirectories = BOOL(WINAPI*)(DWORD);
    const auto setDefault = reinterpret_cast<SetDefaultDirectories>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault != nullptr) setDefault(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    // Everywhere: the empty text takes the working folder out of the classic search order.
    SetDllDirectoryW(L"");
}

HMODULE LoadTraceLibrary() {
    const std::wstring folder = ProgramFolder();
    if (folder.empty()) return nullptr;
    const std::wstring path = folder + kTraceLibraryName;
    // By full path, its own dependencies from its folder and System32 only. A system without
    // these flags refuses them as an invalid parameter: then the classic form, in which the
    // library's folder stands in for the program's.
    HMODULE library = LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        library = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return library;
}

int RunApplication(HINSTANCE instance, LPWSTR commandLine, int show) {
    // No library is looked for in the working folder, where the settings file is looked for
    // first and where anybody's files may lie.
    RestrictDllSearch();
    // Diagnostic lines go to the debug-output library when it lies beside the program, from
    // the first one on (the settings object writes some while it starts).
    HMODULE trace = LoadTraceLibrary();
    if (trace != nullptr) {
        FARPROC print = GetProcAddress(trace, "towprintf");
        if (print != nullptr) {
            InstallDiagnosticPrint(
                reinterpret_cast<DiagnosticPrintFunction>(reinterpret_cast<void*>(print)));
        }
    }

    int exitCode;
    {
        CAppParameter* settings = new (std::nothrow) CAppParameter();
        CAppMain application;
        application.windowMode = kDialogMode;
        application.allowMultipleInstances = 1;
        theApplication = &application;
        exitCode = settings != nullptr ? application.Run(instance, nullptr, commandLine, show) : 0;

        // Nothing is saved here: every setting was saved when it changed.
        delete settings;
        theSettings = nullptr;
        InstallDiagnosticPrint(nullptr);
        if (trace != nullptr) FreeLibrary(trace);
        theApplication = nullptr;
    }  // the application object goes last, with its file list
    return exitCode;
}
