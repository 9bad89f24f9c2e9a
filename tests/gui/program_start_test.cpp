// ratemill.exe itself, started as a user starts it: its window comes up in the language of
// the settings file in the working folder, and Exit ends it with exit code 1. (The window's
// behaviour is tested in-process by the GUI tests; this checks the shipped program and its
// resources start at all.)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "res/resource.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

std::wstring ProgramBesideThisOne() {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.erase(folder.find_last_of(L"\\/") + 1);
    return folder + L"ratemill.exe";
}

struct Search {
    DWORD process = 0;
    HWND found = nullptr;
};

BOOL CALLBACK FindMainDialog(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[32] = L"";
    GetClassNameW(window, className, 32);
    if (process == search->process && std::wstring(className) == L"#32770" &&
        IsWindowVisible(window) && GetDlgItem(window, IDC_FILE_LIST) != nullptr) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

std::wstring TextOf(HWND window) {
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    return text;
}

void ExpectStartAndExit(int language, const std::wstring& title, const std::wstring& execute) {
    TempFolder folder;
    std::ofstream(folder.File("ratemill.ini"), std::ios::binary)
        << "<?xml version=\"1.0\" ?>\r\n<config><language>" << language
        << "</language></config>\r\n";
    std::wstring command = L"\"" + ProgramBesideThisOne() + L"\"";
    const std::wstring workingFolder = Str(folder.Path()).WideText();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               workingFolder.c_str(), &startup, &process))
        << GetLastError();

    Search search;
    search.process = process.dwProcessId;
    for (int i = 0; i < 600 && search.found == nullptr; ++i) {  // a minute at most
        EnumWindows(FindMainDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found == nullptr) Sleep(100);
    }
    EXPECT_NE(search.found, nullptr) << "the window never came";
    if (search.found != nullptr) {
        EXPECT_EQ(TextOf(search.found), title);
        EXPECT_EQ(TextOf(GetDlgItem(search.found, IDC_EXECUTE)), execute);
        PostMessageW(search.found, WM_COMMAND, IDM_EXIT, 0);
    }
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the program did not end";
        TerminateProcess(process.hProcess, 9);
        WaitForSingleObject(process.hProcess, 10000);
    } else if (search.found != nullptr) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        EXPECT_EQ(code, 1u);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

TEST(ProgramStart, ComesUpInEnglishAndEndsWithExit) {
    ExpectStartAndExit(0, L"Ratemill - Resampling Audio Frequency", L"Execute");
}

TEST(ProgramStart, ComesUpInJapaneseAndEndsWithExit) {
    ExpectStartAndExit(1,
                       L"Ratemill - \u30b5\u30f3\u30d7\u30ea\u30f3\u30b0\u5468\u6ce2\u6570"
                       L"\u5909\u63db\u30c4\u30fc\u30eb",
                       L"\u5b9f\u884c");
}

}  // namespace
