// traceout64.dll: the optional debug-output library. Its one export, towprintf, is a wide
// printf ("%s" a wide string, "%d" a 32-bit integer) that sends each line to the debugger
// (OutputDebugStringW) and appends it in UTF-8 to traceout.log beside the library. Safe to call
// from several threads at once.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdarg>

#include "base/cstring.h"
#include "base/format.h"

namespace {

CRITICAL_SECTION lock;
wchar_t logPath[32768];

// traceout.log in the folder of this library.
void FindLogPath(HMODULE module) {
    DWORD n = GetModuleFileNameW(module, logPath, 32768);
    if (n == 0 || n >= 32768) {
        logPath[0] = 0;
        return;
    }
    while (n > 0 && logPath[n - 1] != L'\\' && logPath[n - 1] != L'/') --n;
    const wchar_t name[] = L"traceout.log";
    if (n + sizeof name / sizeof name[0] > 32768) {
        logPath[0] = 0;
        return;
    }
    lstrcpyW(logPath + n, name);
}

void AppendToLog(const CString& text) {
    if (logPath[0] == 0 || text.Length() == 0) return;
    HANDLE file = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(file, text.Bytes(), static_cast<DWORD>(text.Length()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

extern "C" __declspec(dllexport) int towprintf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CString text = FormatStringV(format, args);
    va_end(args);
    CString copy;
    copy.AssignString(text);
    const wchar_t* wide = copy.WideText();
    EnterCriticalSection(&lock);
    if (wide != nullptr) OutputDebugStringW(wide);
    AppendToLog(text);  // the stored form of a CString is UTF-8
    LeaveCriticalSection(&lock);
    return text.Length();
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&lock);
        FindLogPath(module);
    } else if (reason == DLL_PROCESS_DETACH) {
        DeleteCriticalSection(&lock);
    }
    return TRUE;
}
