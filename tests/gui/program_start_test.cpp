// ratemill.exe itself, started as a user starts it: its window comes up in the language of
// the settings file in the working folder, and Exit ends it with exit code 1. (The window's
// behaviour is tested in-process by the GUI tests; this checks the shipped program and its
// resources start at all, and which debug-output library it loads, and that the shipped files
// carry the program's version where Explorer shows it.)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/version.h"
#include "res/resource.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// A file of the build's program folder, where this test program lies too.
fs::path BesideThisOne(const wchar_t* name) {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path() / name;
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

// Starts the program in a working folder, checks its window's title and Execute's text, and
// ends it with Exit.
void ExpectStartAndExit(const fs::path& program, const fs::path& workingFolder,
                        const std::wstring& title, const std::wstring& execute) {
    std::wstring command = L"\"" + program.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               workingFolder.wstring().c_str(), &startup, &process))
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

void WriteSettings(const fs::path& folder, int language) {
    std::ofstream(folder / L"ratemill.ini", std::ios::binary)
        << "<?xml version=\"1.0\" ?>\r\n<config><language>" << language
        << "</language></config>\r\n";
}

const std::wstring kEnglishTitle = L"Ratemill - Resampling Audio Frequency";

TEST(ProgramStart, ComesUpInEnglishAndEndsWithExit) {
    TempFolder folder;
    WriteSettings(fs::u8path(folder.Path()), 0);
    ExpectStartAndExit(BesideThisOne(L"ratemill.exe"), fs::u8path(folder.Path()), kEnglishTitle,
                       L"Execute");
}

TEST(ProgramStart, ComesUpInJapaneseAndEndsWithExit) {
    TempFolder folder;
    WriteSettings(fs::u8path(folder.Path()), 1);
    ExpectStartAndExit(BesideThisOne(L"ratemill.exe"), fs::u8path(folder.Path()),
                       L"Ratemill - \u30b5\u30f3\u30d7\u30ea\u30f3\u30b0\u5468\u6ce2\u6570"
                       L"\u5909\u63db\u30c4\u30fc\u30eb",
                       L"\u5b9f\u884c");
}

// A library named like the debug-output library in the working folder (where the settings
// file is looked for first) is never loaded: not when the program has none beside it, and not
// besides the one beside it, which is used.
TEST(ProgramStart, LoadsTheTraceLibraryOnlyFromItsOwnFolder) {
    TempFolder folder;
    const fs::path program = fs::u8path(folder.Path()) / L"program";
    const fs::path work = fs::u8path(folder.Path()) / L"work";
    fs::create_directory(program);
    fs::create_directory(work);
    fs::copy_file(BesideThisOne(L"ratemill.exe"), program / L"ratemill.exe");
    fs::copy_file(BesideThisOne(L"planted_traceout.dll"), work / L"traceout64.dll");
    WriteSettings(work, 0);
    for (const bool besideProgram : {false, true}) {
        if (besideProgram) {
            fs::copy_file(BesideThisOne(L"traceout64.dll"), program / L"traceout64.dll");
        }
        fs::remove(work / L"planted.txt");
        ExpectStartAndExit(program / L"ratemill.exe", work, kEnglishTitle, L"Execute");
        EXPECT_FALSE(fs::exists(work / L"planted.txt")) << "beside the program: " << besideProgram;
        EXPECT_EQ(besideProgram, fs::exists(program / L"traceout.log"));
    }
}

// Explorer's Properties > Details of the programs and the library: the version of the About
// box, in numbers and as text, and each file's own name.
TEST(ProgramStart, ShippedFilesCarryTheVersion) {
    for (const wchar_t* name : {L"ratemill.exe", L"ratemill-cli.exe", L"traceout64.dll"}) {
        const std::wstring path = BesideThisOne(name).wstring();
        DWORD ignored = 0;
        std::vector<char> block(GetFileVersionInfoSizeW(path.c_str(), &ignored));
        ASSERT_FALSE(block.empty()) << name;
        ASSERT_TRUE(
            GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        const std::wstring numbers = std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                                     std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                                     std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
                                     std::to_wstring(LOWORD(fixed->dwFileVersionLS));
        EXPECT_EQ(numbers, kRatemillVersion) << name;
        const auto text = [&](const wchar_t* key) {
            wchar_t* value = nullptr;
            const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
            return VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value),
                                  &length) &&
                           value != nullptr
                       ? std::wstring(value)
                       : std::wstring(L"(none)");
        };
        EXPECT_EQ(text(L"FileVersion"), kRatemillVersion) << name;
        EXPECT_EQ(text(L"OriginalFilename"), name);
    }
}

}  // namespace
