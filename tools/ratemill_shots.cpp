// ratemill-shots: runs the window program and sets it up for a screenshot, the way a user
// would: files dropped on the window, optionally converted. Used by scripts/screenshots.sh.
//
//   ratemill-shots.exe READY DONE [--execute | --quit-question | --stopped-report | --time-add]
//                      [--size WIDTHxHEIGHT] [--remove FILE] FILE...
//
// --execute converts the files and dismisses the report; --quit-question starts the batch and
// asks to quit while it runs (the question stays for the screenshot, then No is answered and the
// batch cancelled); --stopped-report starts it, cancels it in its last file and keeps the final
// report. --size gives the window that outer size first; --remove deletes a file once it is in
// the list, so that the batch finds it gone. --time-add (for bench/tree_bench.sh) drops the files
// or folders, waits until the list holds them and writes to READY the seconds that took, the
// rows and how much the process's private bytes and working set grew, in bytes; the window
// closes without waiting for DONE. Once the window shows what it should, READY is
// written: the rectangle on the screen of the window with its frame, and of the question or
// report over it, as "LEFT TOP WIDTH HEIGHT" in pixels, for cropping the screenshot. When DONE
// appears (or after a minute) the window is closed. Exit code: the program's, or 3 when the
// window never came.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>
// After windows.h:
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "app/app_base.h"
#include "res/resource.h"

namespace {

struct Search {
    HWND found = nullptr;
    bool wantMain = true;
    HWND owner = nullptr;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId()) return TRUE;
    wchar_t className[32];
    GetClassNameW(window, className, 32);
    if (std::wcscmp(className, L"#32770") != 0 || !IsWindowVisible(window)) return TRUE;
    const bool isMain = GetDlgItem(window, IDC_FILE_LIST) != nullptr;
    if (search->wantMain ? isMain : (!isMain && GetWindow(window, GW_OWNER) == search->owner)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Waits up to `seconds` for the main dialog, or for a dialog owned by `owner` (the report box
// comes from the conversion thread, so all of the process's windows are searched).
HWND WaitForDialog(bool wantMain, HWND owner, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        Search search;
        search.wantMain = wantMain;
        search.owner = owner;
        EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) return search.found;
        Sleep(50);
    }
    return nullptr;
}

// A drop handle as the shell makes it: DROPFILES, then the wide paths, then an empty one.
HDROP MakeDrop(const std::vector<std::wstring>& paths) {
    size_t chars = 1;
    for (const auto& p : paths) chars += p.size() + 1;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + chars * 2);
    if (memory == nullptr) return nullptr;
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    auto* text = reinterpret_cast<wchar_t*>(drop + 1);
    for (const auto& p : paths) {
        std::wmemcpy(text, p.c_str(), p.size() + 1);
        text += p.size() + 1;
    }
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

void WriteText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

// "LEFT TOP WIDTH HEIGHT" of the window with its frame, and of the box over it, in screen
// pixels.
std::string RectangleOf(HWND window, HWND box) {
    RECT r{};
    GetWindowRect(window, &r);
    if (box != nullptr) {
        RECT b{};
        GetWindowRect(box, &b);
        UnionRect(&r, &r, &b);
    }
    char text[64];
    std::snprintf(text, sizeof text, "%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left,
                  r.bottom - r.top);
    return text;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Waits until the status line beside Cancel names the batch's last file.
void WaitForLastFile(HWND main, const std::wstring& last) {
    const std::wstring name = last.substr(last.find_last_of(L"\\/") + 1);
    for (int i = 0; i < 600; ++i) {
        wchar_t text[512] = L"";
        GetDlgItemTextW(main, IDC_PROGRESS_TEXT, text, 512);
        if (std::wcsstr(text, name.c_str()) != nullptr) return;
        Sleep(50);
    }
}

enum class Mode { Show, Execute, QuitQuestion, StoppedReport, TimeAdd };

PROCESS_MEMORY_COUNTERS_EX Memory() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    K32GetProcessMemoryInfo(GetCurrentProcess(),
                            reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    return counters;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int show) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) return 2;
    const std::wstring ready = argv[1];
    const std::wstring done = argv[2];
    Mode mode = Mode::Show;
    int width = 0, height = 0;
    std::wstring removed;
    std::vector<std::wstring> files;
    for (int i = 3; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--execute") == 0) {
            mode = Mode::Execute;
        } else if (std::wcscmp(argv[i], L"--quit-question") == 0) {
            mode = Mode::QuitQuestion;
        } else if (std::wcscmp(argv[i], L"--stopped-report") == 0) {
            mode = Mode::StoppedReport;
        } else if (std::wcscmp(argv[i], L"--time-add") == 0) {
            mode = Mode::TimeAdd;
        } else if (std::wcscmp(argv[i], L"--size") == 0 && i + 1 < argc) {
            std::swscanf(argv[++i], L"%dx%d", &width, &height);
        } else if (std::wcscmp(argv[i], L"--remove") == 0 && i + 1 < argc) {
            wchar_t full[MAX_PATH];
            if (GetFullPathNameW(argv[++i], MAX_PATH, full, nullptr) != 0) removed = full;
        } else {
            wchar_t full[MAX_PATH];
            if (GetFullPathNameW(argv[i], MAX_PATH, full, nullptr) != 0) files.emplace_back(full);
        }
    }
    LocalFree(argv);

    bool sawWindow = false;
    std::thread driver([&] {
        HWND main = WaitForDialog(true, nullptr, 60);
        if (main == nullptr) return;
        sawWindow = true;
        if (width > 0 && height > 0) {
            SetWindowPos(main, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
        }
        if (mode == Mode::TimeAdd) {
            const PROCESS_MEMORY_COUNTERS_EX before = Memory();
            const ULONGLONG start = GetTickCount64();
            SendMessageW(main, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(files)), 0);
            HWND list = GetDlgItem(main, IDC_FILE_LIST);
            LRESULT rows = 0;
            for (int i = 0; i < 60000 && (rows = SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) == 0;
                 ++i) {
                Sleep(10);
            }
            const double seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;
            const PROCESS_MEMORY_COUNTERS_EX after = Memory();
            char line[256];
            std::snprintf(line, sizeof line, "%.2f %ld %lld %lld\n", seconds,
                          static_cast<long>(rows),
                          static_cast<long long>(after.PrivateUsage) -
                              static_cast<long long>(before.PrivateUsage),
                          static_cast<long long>(after.WorkingSetSize) -
                              static_cast<long long>(before.WorkingSetSize));
            WriteText(ready, line);
            PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
            return;
        }
        if (!files.empty()) {
            SendMessageW(main, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(files)), 0);
            // A dropped folder's files join the list once the window has looked at them all.
            HWND list = GetDlgItem(main, IDC_FILE_LIST);
            for (int i = 0; i < 100 && SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 0; ++i) {
                Sleep(100);
            }
        }
        if (!removed.empty()) DeleteFileW(removed.c_str());
        HWND box = nullptr;
        if (mode != Mode::Show) {
            PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_EXECUTE, BN_CLICKED), 0);
        }
        if (mode == Mode::Execute) {
            // The report box closes the batch; dismiss it so the window shows the result.
            HWND report = WaitForDialog(false, main, 300);
            if (report != nullptr) SendMessageW(report, WM_COMMAND, IDOK, 0);
        } else if (mode == Mode::QuitQuestion && !files.empty()) {
            WaitForLastFile(main, files.back());
            PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
            box = WaitForDialog(false, main, 30);
        } else if (mode == Mode::StoppedReport && !files.empty()) {
            WaitForLastFile(main, files.back());
            Sleep(1500);  // far enough into the file for its time to show
            PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_CANCEL, BN_CLICKED), 0);
            box = WaitForDialog(false, main, 300);
        }
        Sleep(500);
        WriteText(ready, RectangleOf(main, box));
        for (int i = 0; i < 600 && !Exists(done); ++i) Sleep(100);
        if (mode == Mode::QuitQuestion && box != nullptr) {
            SendMessageW(box, WM_COMMAND, IDNO, 0);
            PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_CANCEL, BN_CLICKED), 0);
            box = WaitForDialog(false, main, 300);
        }
        if (box != nullptr && IsWindow(box)) SendMessageW(box, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 100 && !IsWindowEnabled(GetDlgItem(main, IDC_EXECUTE)); ++i) Sleep(100);
        PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
    });
    int code = RunApplication(instance, commandLine, show);
    driver.join();
    return sawWindow ? code : 3;
}
