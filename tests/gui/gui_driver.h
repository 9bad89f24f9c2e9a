// Drives the real conversion window from a second thread while the program runs on the test
// thread, the way a user would: through the window's own controls and dialogs, with messages
// only (no keyboard focus, no mouse), and with a deadline on every wait.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <commctrl.h>
#include <dlgs.h>
#include <gtest/gtest.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/app_base.h"
#include "res/resource.h"

namespace gui {

// A step that could not be done before its deadline; ends the script.
struct StepFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Calls into a window of a busy thread give up after this long.
constexpr UINT kSendTimeoutMs = 10000;

inline std::wstring ClassOf(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

inline std::wstring TextOf(HWND window) {
    wchar_t text[1024] = L"";
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                        kSendTimeoutMs, &copied);
    return text;
}

// Visible dialog windows (class "#32770") of this process, on any of its threads: the
// conversion worker's report box lives on the worker's thread.
inline std::vector<HWND> ProcessDialogs() {
    std::vector<HWND> found;
    EnumWindows(
        [](HWND window, LPARAM list) -> BOOL {
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
                ClassOf(window) == L"#32770") {
                reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// The number of threads of this process.
inline int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    int count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

// A message box: its window and the text of its text control (id 0xFFFF).
struct Box {
    HWND window;
    std::wstring text;
};

class Driver {
  public:
    // Calls probe every few milliseconds until it gives true; throws after `seconds`.
    void WaitUntil(const std::function<bool()>& probe, const std::string& what,
                   double seconds = 20) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
        while (!probe()) {
            if (std::chrono::steady_clock::now() > deadline) {
                throw StepFailed("timed out waiting for " + what);
            }
            Sleep(5);
        }
    }

    HWND FindDialog(const std::wstring& caption) {
        for (HWND window : ProcessDialogs()) {
            if (TextOf(window) == caption) return window;
        }
        return nullptr;
    }
    HWND WaitDialog(const std::wstring& caption, double seconds = 20) {
        HWND found = nullptr;
        WaitUntil([&] { return (found = FindDialog(caption)) != nullptr; },
                  "dialog \"" + std::filesystem::path(caption).u8string() + "\"", seconds);
        return found;
    }
    // Any visible dialog other than the conversion window, or null.
    HWND OtherDialog() {
        for (HWND window : ProcessDialogs()) {
            if (window != main) return window;
        }
        return nullptr;
    }
    void WaitGone(HWND window) {
        WaitUntil([&] { return !IsWindow(window); }, "a window to close");
    }
    // Waits for the conversion window ("Ratemill - ..." in either language).
    HWND WaitMain() {
        WaitUntil(
            [&] {
                for (HWND window : ProcessDialogs()) {
                    if (TextOf(window).rfind(L"Ratemill - ", 0) == 0) main = window;
                }
                return main != nullptr;
            },
            "the conversion window", 30);
        return main;
    }
    Box WaitBox(const std::wstring& caption, double seconds = 20) {
        HWND window = WaitDialog(caption, seconds);
        return {window, TextOf(GetDlgItem(window, 0xFFFF))};
    }
    HICON BoxIcon(HWND box) {
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            if (ClassOf(child) == L"Static" && (GetWindowLongW(child, GWL_STYLE) & SS_ICON)) {
                return reinterpret_cast<HICON>(Send(child, STM_GETICON));
            }
        }
        return nullptr;
    }

    LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs,
                                 &result)) {
            throw StepFailed("message " + std::to_string(message) + " was not answered");
        }
        return static_cast<LRESULT>(result);
    }
    void Post(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        if (!PostMessageW(window, message, wParam, lParam)) {
            throw StepFailed("message " + std::to_string(message) + " could not be posted");
        }
    }

    // Controls of `dialog`, the conversion window when null.
    HWND Item(int id, HWND dialog = nullptr) { return GetDlgItem(dialog ? dialog : main, id); }
    void Click(int id, HWND dialog = nullptr) { Post(Item(id, dialog), BM_CLICK); }
    void MenuCommand(int id) { Post(main, WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    std::wstring Text(int id, HWND dialog = nullptr) { return TextOf(Item(id, dialog)); }
    void SetText(int id, const std::wstring& text) {
        Send(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    void Choose(int combo, int index, HWND dialog = nullptr) {
        Send(Item(combo, dialog), CB_SETCURSEL, static_cast<WPARAM>(index));
    }
    int Selection(int combo, HWND dialog = nullptr) {
        return static_cast<int>(Send(Item(combo, dialog), CB_GETCURSEL));
    }
    // Selects the item of a drop-down list whose item data is `value`.
    void ChooseValue(int combo, int value) {
        const int count = static_cast<int>(Send(Item(combo), CB_GETCOUNT));
        for (int i = 0; i < count; ++i) {
            if (Send(Item(combo), CB_GETITEMDATA, static_cast<WPARAM>(i)) == value) {
                Choose(combo, i);
                // As a choice made with the mouse or the keys, the window hears of it.
                Send(main, WM_COMMAND, MAKEWPARAM(combo, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(Item(combo)));
                return;
            }
        }
        throw StepFailed("no item with the value " + std::to_string(value));
    }
    // The item data of the selection, -1 without one.
    int SelectedValue(int combo) {
        const int index = Selection(combo);
        if (index < 0) return -1;
        return static_cast<int>(Send(Item(combo), CB_GETITEMDATA, static_cast<WPARAM>(index)));
    }
    std::wstring SelectedText(int combo) {
        wchar_t text[64] = L"";
        Send(Item(combo), CB_GETLBTEXT, static_cast<WPARAM>(Selection(combo)),
             reinterpret_cast<LPARAM>(text));
        return text;
    }
    bool Enabled(int id) { return IsWindowEnabled(Item(id)) != FALSE; }
    int Position(int bar) { return static_cast<int>(Send(Item(bar), PBM_GETPOS)); }
    int RangeHigh(int bar) { return static_cast<int>(Send(Item(bar), PBM_GETRANGE, FALSE)); }

    // Drops files on the conversion window with a real drop handle (wide names), which the
    // window releases.
    void Drop(const std::vector<std::wstring>& paths) {
        std::size_t chars = 1;
        for (const auto& path : paths) chars += path.size() + 1;
        HGLOBAL memory =
            GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + chars * sizeof(wchar_t));
        auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
        drop->pFiles = sizeof(DROPFILES);
        drop->fWide = TRUE;
        auto* names = reinterpret_cast<wchar_t*>(drop + 1);
        for (const auto& path : paths) names += path.copy(names, path.size()) + 1;
        GlobalUnlock(memory);
        Send(main, WM_DROPFILES, reinterpret_cast<WPARAM>(memory));
    }
    int Rows() { return static_cast<int>(Send(Item(IDC_FILE_LIST), LVM_GETITEMCOUNT)); }
    std::wstring Cell(int row, int column) {
        wchar_t text[1024] = L"";
        LVITEMW item = {};
        item.iSubItem = column;
        item.pszText = text;
        item.cchTextMax = 1024;
        Send(Item(IDC_FILE_LIST), LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
             reinterpret_cast<LPARAM>(&item));
        return text;
    }
    void SelectRow(int row) {
        LVITEMW item = {};
        item.stateMask = item.state = LVIS_SELECTED;
        Send(Item(IDC_FILE_LIST), LVM_SETITEMSTATE, static_cast<WPARAM>(row),
             reinterpret_cast<LPARAM>(&item));
    }

    // The system's folder picker once it shows a folder; Wine's is a dialog with an explorer
    // browser, whose shell view lists the folder.
    HWND WaitFolderPicker() {
        HWND found = nullptr;
        WaitUntil(
            [&] {
                found = OtherDialog();
                return found != nullptr && PickerList(found) != nullptr;
            },
            "the folder picker");
        return found;
    }
    static HWND PickerList(HWND picker) {
        HWND browser = FindWindowExW(picker, nullptr, L"ExplorerBrowserControl", nullptr);
        HWND view =
            browser ? FindWindowExW(browser, nullptr, L"SHELLDLL_DefView", nullptr) : nullptr;
        return view ? FindWindowExW(view, nullptr, L"SysListView32", nullptr) : nullptr;
    }
    // The names the picker lists in the folder it shows.
    std::vector<std::wstring> PickerNames(HWND picker) {
        HWND list = PickerList(picker);
        std::vector<std::wstring> names;
        const int count = list ? static_cast<int>(Send(list, LVM_GETITEMCOUNT)) : 0;
        for (int i = 0; i < count; ++i) {
            wchar_t text[MAX_PATH] = L"";
            LVITEMW item = {};
            item.pszText = text;
            item.cchTextMax = MAX_PATH;
            Send(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
            names.push_back(text);
        }
        return names;
    }
    // Types a folder's path into the picker's name box and presses its OK button.
    void PickFolder(HWND picker, const std::wstring& folder) {
        Send(GetDlgItem(picker, edt1), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(folder.c_str()));
        Click(IDOK, picker);
    }

    // Ends the program whatever state it is in: keeps cancelling every dialog, the conversion
    // window included, until RunApplication has returned; ends the process after a minute.
    void EndApplication() {
        for (int round = 0; !appEnded.load(); ++round) {
            if (round == 300) {
                std::fprintf(stderr, "The program did not end; giving up.\n");
                std::fflush(stderr);
                TerminateProcess(GetCurrentProcess(), 3);
            }
            for (HWND window : ProcessDialogs()) {
                PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
                if (window != main) PostMessageW(window, WM_COMMAND, IDNO, 0);
            }
            Sleep(200);
        }
    }

    HWND main = nullptr;
    std::atomic<bool> appEnded{false};
};

// A crash on the conversion worker would otherwise go unnoticed under Wine.
inline LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
    std::fprintf(stderr, "Crash (exception 0x%08lx) on thread %lu.\n",
                 exception->ExceptionRecord->ExceptionCode, GetCurrentThreadId());
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 4);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Runs the program on the calling thread (the window thread) and `script` on a second thread.
// The script may fail at any step; the program is ended in every case. Returns the exit code.
inline int RunWithDriver(const std::function<void(Driver&)>& script) {
    SetUnhandledExceptionFilter(ReportCrash);
    Driver driver;
    std::thread thread([&] {
        try {
            script(driver);
        } catch (const std::exception& failure) {
            ADD_FAILURE() << failure.what();
        }
        driver.EndApplication();
    });
    wchar_t commandLine[] = L"";
    const int exitCode = RunApplication(GetModuleHandleW(nullptr), commandLine, SW_SHOWNORMAL);
    driver.appEnded.store(true);
    thread.join();
    return exitCode;
}

}  // namespace gui
