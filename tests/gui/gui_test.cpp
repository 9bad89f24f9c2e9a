// The conversion window end to end: each test runs the whole program on the test thread and
// drives its window from a second thread (gui_driver.h).
#include "gui/gui_driver.h"  // windows.h ahead of the other platform headers

#include <dlgs.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "ui/app_main.h"

using namespace testing_support;
using gui::Box;
using gui::Driver;
using gui::RunWithDriver;
namespace fs = std::filesystem;

namespace {

const std::wstring kEnglishTitle = L"Ratemill - Resampling Audio Frequency";
const std::wstring kJapaneseTitle = L"Ratemill - サンプリング周波数変換ツール";
const std::wstring kReportCaption = L"Resampling Audio Frequency";

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Checks that a file is a complete WAV file as the program writes it (16-bit PCM, 56-byte
// header with a "fact" chunk, sizes that match the file) in this format; gives its frames.
long FramesOf(const fs::path& path, std::uint32_t rate, std::uint16_t channels) {
    const Bytes b = ReadFileBytes(path.u8string());
    auto id = [&](std::size_t at, const char* text) {
        return b.size() >= 56 && std::equal(text, text + 4, b.begin() + at);
    };
    if (!id(0, "RIFF") || !id(8, "WAVE") || !id(12, "fmt ") || !id(36, "fact") || !id(48, "data") ||
        Get32(b, 4) != b.size() - 8 || Get32(b, 52) != b.size() - 56 || Get16(b, 20) != 1 ||
        Get16(b, 34) != 16) {
        ADD_FAILURE() << path.u8string() << " is not a complete WAV file";
        return -1;
    }
    EXPECT_EQ(rate, Get32(b, 24)) << path.u8string();
    EXPECT_EQ(channels, Get16(b, 22)) << path.u8string();
    EXPECT_EQ(channels * 2u, Get16(b, 32));
    EXPECT_EQ(rate * channels * 2u, Get32(b, 28));
    const std::uint32_t frames = Get32(b, 52) / (channels * 2u);
    EXPECT_EQ(frames, Get32(b, 44)) << "frames in the fact chunk";
    return static_cast<long>(frames);
}

class GuiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t previous[MAX_PATH] = L"";
        GetCurrentDirectoryW(MAX_PATH, previous);
        m_previous = previous;
        ASSERT_TRUE(SetCurrentDirectoryW(Dir().c_str()));
        fs::create_directory(Out());
        WriteSettings("<language>0</language><output_path>" + Out().u8string() +
                      "</output_path><frequency>44100</frequency><channels>2</channels>");
        m_logStart = fs::exists(LogPath()) ? fs::file_size(LogPath()) : 0;
    }
    void TearDown() override { SetCurrentDirectoryW(m_previous.c_str()); }

    static fs::path LogPath() { return fs::path(ProgramFolder()) / L"traceout.log"; }

    fs::path Dir() const { return fs::u8path(m_folder.Path()); }
    fs::path Out() const { return Dir() / L"out"; }
    // The settings file in the working folder, where the program looks first.
    fs::path Ini() const { return Dir() / L"ratemill.ini"; }
    void WriteSettings(const std::string& body) const {
        std::ofstream(Ini(), std::ios::binary)
            << "<?xml version=\"1.0\" ?>\r\n<config>" << body << "</config>\r\n";
    }
    std::string Settings() const { return ReadText(Ini()); }
    // Diagnostic lines written since the test began.
    std::string NewLogText() const {
        std::string log = ReadText(LogPath());
        return log.size() > m_logStart ? log.substr(m_logStart) : std::string();
    }

    // A 16-bit PCM source in the working folder.
    std::wstring Source(const std::wstring& name, std::uint32_t rate, std::uint16_t channels,
                        double seconds, double amplitude = 8000.0) const {
        const int frames = static_cast<int>(rate * seconds);
        const fs::path path = Dir() / name;
        WriteFileBytes(path.u8string(),
                       Pcm16Wav(rate, channels, Sine(frames * channels, amplitude, 0.05)));
        return path.wstring();
    }

  private:
    TempFolder m_folder;
    std::wstring m_previous;
    std::uintmax_t m_logStart = 0;
};

// Types into the file-name box of the open-file dialog and presses Open.
void TypeFileName(Driver& d, HWND dialog, const std::wstring& text) {
    HWND nameBox = GetDlgItem(dialog, cmb13);
    HWND edit = reinterpret_cast<HWND>(d.Send(nameBox, CBEM_GETEDITCONTROL));
    d.Send(edit ? edit : nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    d.Click(IDOK, dialog);
}

// Answers a question (by default that of Delete and All Delete), checking its texts and that
// Enter would answer No.
void Answer(Driver& d, int button,
            const std::wstring& text = L"Do you want to remove the file name from the list ?",
            const std::wstring& caption = L"Delete file name") {
    Box box = d.WaitBox(caption);
    EXPECT_EQ(text, box.text);
    auto kind = [&](int id) { return GetWindowLongW(GetDlgItem(box.window, id), GWL_STYLE) & 0xF; };
    EXPECT_EQ(BS_DEFPUSHBUTTON, kind(IDNO));
    EXPECT_EQ(BS_PUSHBUTTON, kind(IDYES));
    d.Click(button, box.window);
    d.WaitGone(box.window);
}

// A key pressed in the file list, as the keyboard sends it, with Ctrl held down when asked: the
// window thread's key state says so while the key is handled (the two threads share their input
// state meanwhile).
void PressKey(Driver& d, WORD key, bool control) {
    HWND list = d.Item(IDC_FILE_LIST);
    const DWORD windowThread = GetWindowThreadProcessId(list, nullptr);
    AttachThreadInput(GetCurrentThreadId(), windowThread, TRUE);
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_CONTROL] = control ? 0x80 : 0;
    SetKeyboardState(keys);
    d.Send(list, WM_KEYDOWN, key, 1);
    keys[VK_CONTROL] = 0;
    SetKeyboardState(keys);
    AttachThreadInput(GetCurrentThreadId(), windowThread, FALSE);
}

// Dismisses the final report of a batch and waits until Execute may be pressed again.
void Dismiss(Driver& d, const Box& box) {
    d.Click(IDOK, box.window);
    d.WaitUntil([&] { return d.Enabled(IDC_EXECUTE) && !d.Enabled(IDC_CANCEL); },
                "Execute to come back");
}

}  // namespace

// The settings file has no language yet; the dialog comes in the user's language.
TEST_F(GuiTest, FirstStartAsksForTheLanguageAndSavesTheChoice) {
    const bool besideProgram = fs::exists(fs::path(ProgramFolder()) / L"ratemill.ini");
    for (const int button : {IDOK, IDCANCEL}) {
        WriteSettings("<frequency>44100</frequency>");
        int chosen = -1;
        const int exitCode = RunWithDriver([&](Driver& d) {
            HWND dialog = nullptr;
            d.WaitUntil(
                [&] {
                    dialog = d.FindDialog(L"Choose Language");
                    return dialog || (dialog = d.FindDialog(L"言語設定"));
                },
                "the language dialog");
            // OK takes the language chosen, Cancel the one preselected; Enter means OK.
            EXPECT_EQ(IDOK, LOWORD(d.Send(dialog, DM_GETDEFID)));
            if (button == IDOK) d.Choose(IDC_LANGUAGE_LIST, 1, dialog);
            chosen = d.Selection(IDC_LANGUAGE_LIST, dialog);
            d.Click(button, dialog);
            EXPECT_EQ(chosen == 1 ? kJapaneseTitle : kEnglishTitle, gui::TextOf(d.WaitMain()));
            EXPECT_EQ(chosen == 1 ? L"追加" : L"Add", d.Text(IDC_ADD));
            EXPECT_EQ(chosen == 1 ? L"標準" : L"Standard", d.SelectedText(IDC_QUALITY));
            d.MenuCommand(IDM_EXIT);
        });
        EXPECT_EQ(1, exitCode);
        EXPECT_NE(std::string::npos,
                  Settings().find("<language>" + std::to_string(chosen) + "</language>"))
            << Settings();
    }
    EXPECT_EQ(besideProgram, fs::exists(fs::path(ProgramFolder()) / L"ratemill.ini"));
}

// Choose Language from the menu stores the choice for the next start only: the running window
// keeps its language, and Cancel changes nothing.
TEST_F(GuiTest, LanguageFromTheMenuAppliesAtTheNextStart) {
    const std::string before = Settings();
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        for (const int button : {IDCANCEL, IDOK}) {
            d.MenuCommand(IDM_CHOOSE_LANGUAGE);
            HWND dialog = d.WaitDialog(L"Choose Language");
            EXPECT_EQ(0, d.Selection(IDC_LANGUAGE_LIST, dialog));
            d.Choose(IDC_LANGUAGE_LIST, 1, dialog);
            d.Click(button, dialog);
            d.WaitGone(dialog);
            if (button == IDCANCEL) {
                EXPECT_EQ(before, Settings());
            }
        }
        EXPECT_EQ(kEnglishTitle, gui::TextOf(d.main));
        EXPECT_EQ(L"Add", d.Text(IDC_ADD));
        d.MenuCommand(IDM_EXIT);
    });
    EXPECT_NE(std::string::npos, Settings().find("<language>1</language>")) << Settings();
    RunWithDriver([&](Driver& d) {
        EXPECT_EQ(kJapaneseTitle, gui::TextOf(d.WaitMain()));
        d.MenuCommand(IDM_EXIT);
    });
}

TEST_F(GuiTest, EscExitAndTheCloseBoxEndTheProgramWithCode1) {
    const std::function<void(Driver&)> ways[] = {
        [](Driver& d) { d.Post(d.main, WM_KEYDOWN, VK_ESCAPE); },
        [](Driver& d) { d.MenuCommand(IDM_EXIT); },
        [](Driver& d) { d.Post(d.main, WM_SYSCOMMAND, SC_CLOSE); },
    };
    for (const auto& close : ways) {
        bool closed = false;
        EXPECT_EQ(1, RunWithDriver([&](Driver& d) {
                      d.WaitMain();
                      close(d);
                      d.WaitGone(d.main);
                      closed = true;
                  }));
        EXPECT_TRUE(closed);
    }
}

namespace {

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi;
}

// A control's rectangle in its window's inner area.
RECT Placed(Driver& d, int id) {
    RECT r = {};
    GetWindowRect(d.Item(id), &r);
    MapWindowPoints(nullptr, d.main, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

SIZE ClientSize(HWND window) {
    RECT r = {};
    GetClientRect(window, &r);
    return {r.right, r.bottom};
}

bool Inside(const RECT& inner, const RECT& outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

int TextWidth(Driver& d, HWND control, const std::wstring& text) {
    HDC dc = GetDC(control);
    HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(d.Send(control, WM_GETFONT)));
    SIZE size = {};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, previous);
    ReleaseDC(control, dc);
    return size.cx;
}

LONG FontHeight(Driver& d, int id) {
    LOGFONTW font = {};
    GetObjectW(reinterpret_cast<HGDIOBJ>(d.Send(d.Item(id), WM_GETFONT)), sizeof font, &font);
    return font.lfHeight;
}

SIZE MinimumSize(Driver& d) {
    MINMAXINFO info = {};
    d.Send(d.main, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    return {info.ptMinTrackSize.x, info.ptMinTrackSize.y};
}

// Waits until probe has given true for a third of a second on end. Under Wine a window's size can
// change once more after it first shows the one asked for (a late event of the display), so a
// size is taken only once it holds still.
void WaitSteady(Driver& d, const std::function<bool()>& probe, const std::string& what) {
    auto since = std::chrono::steady_clock::time_point::max();
    d.WaitUntil(
        [&] {
            d.Send(d.main, WM_NULL);
            const auto now = std::chrono::steady_clock::now();
            if (!probe()) {
                since = std::chrono::steady_clock::time_point::max();
                return false;
            }
            if (since == std::chrono::steady_clock::time_point::max()) since = now;
            return now - since >= std::chrono::milliseconds(330);
        },
        what);
}

// Asks for a new size of the window without waiting on its thread, then waits until the window
// has taken it (or its smallest size) and laid itself out.
void Resize(Driver& d, int width, int height) {
    const SIZE minimum = MinimumSize(d);
    const LONG wantedWidth = std::max<LONG>(width, minimum.cx);
    const LONG wantedHeight = std::max<LONG>(height, minimum.cy);
    SetWindowPos(d.main, nullptr, 0, 0, width, height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
    WaitSteady(
        d,
        [&] {
            RECT r = {};
            GetWindowRect(d.main, &r);
            return r.right - r.left == wantedWidth && r.bottom - r.top == wantedHeight;
        },
        "the window's new size");
}

// Everything fits: the groups side by side within the window's inner area, each control within
// its group (Cancel, Execute and the line beside them below the groups), no control on top of
// another, every label and button text whole, and the list's columns across its inner width with
// the headers and values of the frequency and channels whole.
void ExpectTidy(Driver& d, const std::string& where) {
    RECT client = {};
    GetClientRect(d.main, &client);
    const struct {
        int group;  // 0: the window itself
        std::vector<int> members;
    } groups[] = {
        {IDC_LIST_GROUP,
         {IDC_FILE_LIST, IDC_ADD, IDC_ADD_FOLDER, IDC_DELETE, IDC_ALL_DELETE, IDC_LIST_STATUS}},
        {IDC_OUTPUT_GROUP,
         {IDC_OUTPUT_FOLDER, IDC_BROWSE, IDC_FREQUENCY_LABEL, IDC_FREQUENCY, IDC_CHANNELS_LABEL,
          IDC_CHANNELS, IDC_QUALITY_LABEL, IDC_QUALITY, IDC_SAMPLE_FORMAT_LABEL, IDC_SAMPLE_FORMAT,
          IDC_PREVENT_CLIPPING, IDC_KEEP_SUBFOLDERS, IDC_SKIP_EXISTING}},
        {IDC_PROGRESS_GROUP, {IDC_FILE_PROGRESS, IDC_BATCH_PROGRESS}},
        {0, {IDC_PROGRESS_TEXT, IDC_CANCEL, IDC_EXECUTE}},
    };
    std::vector<std::pair<int, RECT>> placed;
    auto place = [&](int id, const RECT& r, int group) {
        RECT both = {};
        for (const auto& [other, o] : placed) {
            EXPECT_TRUE(other == group || !IntersectRect(&both, &r, &o))
                << where << ": controls " << id << " and " << other << " overlap";
        }
        EXPECT_TRUE(r.right > r.left && r.bottom > r.top) << where << ": control " << id;
        placed.push_back({id, r});
    };
    for (const auto& g : groups) {
        const RECT outer = g.group != 0 ? Placed(d, g.group) : client;
        EXPECT_TRUE(Inside(outer, client)) << where << ": group " << g.group;
        if (g.group != 0) place(g.group, outer, 0);
        for (int id : g.members) {
            const RECT r = Placed(d, id);
            EXPECT_TRUE(Inside(r, outer)) << where << ": control " << id << " outside its group";
            place(id, r, g.group);
        }
    }
    for (int id :
         {IDC_ADD, IDC_ADD_FOLDER, IDC_DELETE, IDC_ALL_DELETE, IDC_BROWSE, IDC_FREQUENCY_LABEL,
          IDC_CHANNELS_LABEL, IDC_QUALITY_LABEL, IDC_SAMPLE_FORMAT_LABEL, IDC_PREVENT_CLIPPING,
          IDC_KEEP_SUBFOLDERS, IDC_SKIP_EXISTING, IDC_CANCEL, IDC_EXECUTE, IDC_LIST_GROUP}) {
        EXPECT_LE(TextWidth(d, d.Item(id), d.Text(id)), ClientSize(d.Item(id)).cx)
            << where << ": the text of control " << id << " is cut";
    }
    HWND list = d.Item(IDC_FILE_LIST);
    long columns = 0;
    for (int column = 0; column < 3; ++column) {
        const long width = static_cast<long>(d.Send(list, LVM_GETCOLUMNWIDTH, column));
        columns += width;
        wchar_t header[64] = L"";
        LVCOLUMNW item = {};
        item.mask = LVCF_TEXT;
        item.pszText = header;
        item.cchTextMax = 64;
        d.Send(list, LVM_GETCOLUMNW, column, reinterpret_cast<LPARAM>(&item));
        std::vector<std::wstring> texts = {header};
        for (int row = 0; row < d.Rows(); ++row) texts.push_back(d.Cell(row, column));
        // The list view keeps a margin on either side of a header's text.
        const long margins = 6 * GetSystemMetrics(SM_CXEDGE);
        for (const std::wstring& text : texts) {
            if (column == 0) continue;  // a path may be cut: its column takes what is left
            EXPECT_LE(d.Send(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text.c_str())) +
                          margins,
                      width)
                << where << ": column " << column;
        }
    }
    EXPECT_EQ(ClientSize(list).cx, columns) << where << ": the columns do not fill the list";
}

RECT WorkArea(HWND window) {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
    return monitor.rcWork;
}

}  // namespace

// The labels, buttons and list columns take their sizes from the font, in either language and at
// any scale: the Japanese labels are longer than the English ones. At start the window fits the
// screen's work area (at 150 % on a 1280 x 900 screen the template's size does not), and its size
// at start is not the user's: nothing is saved. The ctest gui_dpi144 runs this in a Wine prefix at
// 144 dots per inch, named by RATEMILL_WINE_DPI, on such a screen.
TEST_F(GuiTest, TextsFitTheirControlsInBothLanguagesAndTheWindowTheScreen) {
    if (const char* expected = std::getenv("RATEMILL_WINE_DPI")) {
        EXPECT_EQ(std::atoi(expected), ScreenDpi());
    }
    const std::wstring a = Source(L"a.wav", 44100, 2, 0.1);
    for (const int language : {0, 1}) {
        WriteSettings("<language>" + std::to_string(language) + "</language>");
        const std::string before = Settings();
        RunWithDriver([&](Driver& d) {
            d.WaitMain();
            d.Drop({a});
            RECT window = {};
            GetWindowRect(d.main, &window);
            EXPECT_TRUE(Inside(window, WorkArea(d.main))) << "language " << language;
            ExpectTidy(d, "language " + std::to_string(language));
            d.MenuCommand(IDM_EXIT);
        });
        EXPECT_EQ(before, Settings());
    }
}

// The window can be made smaller down to a size at which everything still fits, and larger:
// the list takes the height gained, the folder box and the bars the width, and the rest keeps
// to the bottom and right edges. The size the user leaves it at (the restored one when it is
// maximised) is stored at close, in pixels at 100 % scale, and comes back at the next start
// within the screen's work area.
TEST_F(GuiTest, TheWindowResizesAndKeepsTheSizeTheUserGaveIt) {
    const std::wstring a = Source(L"a.wav", 44100, 2, 0.1);
    const int dpi = ScreenDpi();
    SIZE stored = {};
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        d.Drop({a});
        const LONG style = GetWindowLongW(d.main, GWL_STYLE);
        EXPECT_EQ(WS_THICKFRAME | WS_MAXIMIZEBOX, style & (WS_THICKFRAME | WS_MAXIMIZEBOX));
        RECT start = {};
        GetWindowRect(d.main, &start);
        const SIZE client = ClientSize(d.main);
        const int ids[] = {IDC_FILE_LIST, IDC_OUTPUT_FOLDER, IDC_BROWSE,
                           IDC_FREQUENCY, IDC_OUTPUT_GROUP,  IDC_EXECUTE};
        std::vector<RECT> before;
        for (int id : ids) before.push_back(Placed(d, id));

        Resize(d, 100, 100);
        ExpectTidy(d, "smallest");
        EXPECT_GE(d.Send(d.Item(IDC_FILE_LIST), LVM_GETCOUNTPERPAGE), 2);

        d.Post(d.main, WM_SYSCOMMAND, SC_MAXIMIZE);
        // Wine marks the window maximised before its new size arrives.
        SIZE maximised = {};
        WaitSteady(
            d,
            [&] {
                const SIZE now = ClientSize(d.main);
                const bool same = now.cx == maximised.cx && now.cy == maximised.cy;
                maximised = now;
                return IsZoomed(d.main) != FALSE && same &&
                       (now.cx != client.cx || now.cy != client.cy);
            },
            "the window to be maximised");
        ExpectTidy(d, "maximised");
        const SIZE now = ClientSize(d.main);
        const LONG wider = now.cx - client.cx, taller = now.cy - client.cy;
        EXPECT_GT(wider + taller, 0);
        std::vector<RECT> after;
        for (int id : ids) after.push_back(Placed(d, id));
        EXPECT_EQ(before[0].bottom + taller, after[0].bottom) << "the list";
        EXPECT_EQ(before[0].right + wider, after[0].right) << "the list";
        EXPECT_EQ(before[1].right + wider, after[1].right) << "the folder box";
        EXPECT_EQ(before[2].left + wider, after[2].left) << "...";
        EXPECT_EQ(before[3].left - before[4].left, after[3].left - after[4].left) << "Frequency";
        EXPECT_EQ(before[3].top + taller, after[3].top) << "Frequency";
        EXPECT_EQ(before[5].right + wider, after[5].right) << "Execute";
        EXPECT_EQ(before[5].bottom + taller, after[5].bottom) << "Execute";

        d.Post(d.main, WM_SYSCOMMAND, SC_RESTORE);
        d.WaitUntil([&] { return IsZoomed(d.main) == FALSE; }, "the window to be restored");
        Resize(d, start.right - start.left - 60, start.bottom - start.top - 40);
        const SIZE chosen = ClientSize(d.main);
        stored = {MulDiv(chosen.cx, 96, dpi), MulDiv(chosen.cy, 96, dpi)};
        d.Post(d.main, WM_SYSCOMMAND, SC_MAXIMIZE);
        d.WaitUntil([&] { return IsZoomed(d.main) != FALSE; }, "the window to be maximised");
        d.MenuCommand(IDM_EXIT);
    });
    const std::string saved = Settings();
    EXPECT_NE(std::string::npos,
              saved.find("<window_width>" + std::to_string(stored.cx) + "</window_width>\r\n" +
                         "<window_height>" + std::to_string(stored.cy) + "</window_height>"))
        << saved;
    // Not resized this time: the file stays as it was.
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        const SIZE client = ClientSize(d.main);
        EXPECT_NEAR(MulDiv(stored.cx, dpi, 96), client.cx, 1);
        EXPECT_NEAR(MulDiv(stored.cy, dpi, 96), client.cy, 1);
        d.MenuCommand(IDM_EXIT);
    });
    EXPECT_EQ(saved, Settings());
    WriteSettings(
        "<language>0</language><window_width>20000</window_width>"
        "<window_height>20000</window_height>");
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        RECT window = {};
        GetWindowRect(d.main, &window);
        EXPECT_TRUE(Inside(window, WorkArea(d.main)));
        ExpectTidy(d, "a stored size larger than the screen");
        d.MenuCommand(IDM_EXIT);
    });
}

// When the window moves to a display of another scale, the system suggests its new rectangle:
// the window takes it (at least its smallest size there), its fonts are made for the new DPI and
// it is laid out anew; back on the first display, everything is as it was. Nothing of this is
// the user's size.
TEST_F(GuiTest, ADpiChangeScalesTheWindowAndItsFonts) {
    const std::wstring a = Source(L"a.wav", 44100, 2, 0.1);
    const std::string before = Settings();
    const int dpi = ScreenDpi();
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        d.Drop({a});
        const LONG font = FontHeight(d, IDC_EXECUTE);
        const SIZE client = ClientSize(d.main);
        const RECT execute = Placed(d, IDC_EXECUTE);
        for (const int to : {dpi * 2 / 3, dpi}) {
            RECT window = {};
            GetWindowRect(d.main, &window);
            const int from = to == dpi ? dpi * 2 / 3 : dpi;
            RECT suggested = {window.left, window.top,
                              window.left + MulDiv(window.right - window.left, to, from),
                              window.top + MulDiv(window.bottom - window.top, to, from)};
            d.Send(d.main, WM_DPICHANGED, MAKEWPARAM(to, to), reinterpret_cast<LPARAM>(&suggested));
            const SIZE minimum = MinimumSize(d);
            GetWindowRect(d.main, &window);
            EXPECT_EQ(std::max(suggested.right - suggested.left, minimum.cx),
                      window.right - window.left);
            EXPECT_EQ(std::max(suggested.bottom - suggested.top, minimum.cy),
                      window.bottom - window.top);
            EXPECT_EQ(MulDiv(font, to, dpi), FontHeight(d, IDC_EXECUTE)) << to << " dpi";
            ExpectTidy(d, "at " + std::to_string(to) + " dpi");
        }
        const SIZE now = ClientSize(d.main);
        const RECT back = Placed(d, IDC_EXECUTE);
        EXPECT_EQ(client.cx - execute.right, now.cx - back.right);
        EXPECT_EQ(client.cy - execute.bottom, now.cy - back.bottom);
        EXPECT_EQ(execute.right - execute.left, back.right - back.left);
        d.MenuCommand(IDM_EXIT);
    });
    EXPECT_EQ(before, Settings());
}

// Enter presses Execute, the default button; Tab runs in the order in which the window reads,
// with the frequency and channels in one column and the quality beside them.
TEST_F(GuiTest, EnterPressesExecuteAndTabFollowsTheLayout) {
    const std::wstring a = Source(L"a.wav", 8000, 1, 0.2);
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        EXPECT_EQ(MAKELONG(IDC_EXECUTE, DC_HASDEFID), d.Send(d.main, DM_GETDEFID));
        const RECT frequency = Placed(d, IDC_FREQUENCY), channels = Placed(d, IDC_CHANNELS),
                   quality = Placed(d, IDC_QUALITY);
        EXPECT_TRUE(channels.left == frequency.left && channels.top > frequency.bottom);
        EXPECT_TRUE(quality.left > frequency.right && quality.top == frequency.top);
        // Cancel, disabled while no batch runs, is passed over.
        // So is the sample format, greyed with the standard quality.
        const int order[] = {
            IDC_ADD,           IDC_ADD_FOLDER,       IDC_DELETE,          IDC_ALL_DELETE,
            IDC_OUTPUT_FOLDER, IDC_BROWSE,           IDC_FREQUENCY,       IDC_CHANNELS,
            IDC_QUALITY,       IDC_PREVENT_CLIPPING, IDC_KEEP_SUBFOLDERS, IDC_SKIP_EXISTING,
            IDC_EXECUTE,       IDC_FILE_LIST};
        HWND at = d.Item(IDC_FILE_LIST);
        for (int id : order) {
            at = GetNextDlgTabItem(d.main, at, FALSE);
            EXPECT_EQ(id, GetDlgCtrlID(at));
        }
        d.Drop({a});
        d.Post(d.main, WM_KEYDOWN, VK_RETURN);
        Box box = d.WaitBox(kReportCaption, 60);
        EXPECT_EQ(L"Resampling complete.", box.text);
        Dismiss(d, box);
        d.MenuCommand(IDM_EXIT);
    });
    EXPECT_TRUE(fs::exists(Out() / L"a.wav"));
}

TEST_F(GuiTest, AboutBoxShowsVersionAndEdition) {
    for (const int language : {0, 1}) {
        WriteSettings("<language>" + std::to_string(language) + "</language>");
        RunWithDriver([&](Driver& d) {
            d.WaitMain();
            d.MenuCommand(IDM_ABOUT);
            HWND about = d.WaitDialog(language == 1 ? L"バージョン情報" : L"About Ratemill ...");
            EXPECT_EQ(L"Version 1.0.3.0", d.Text(IDC_VERSION, about));
            EXPECT_EQ(language == 1 ? L"64ビット版" : L"64bit edition", d.Text(IDC_EDITION, about));
            d.Click(IDOK, about);
            d.WaitGone(about);
            d.MenuCommand(IDM_EXIT);
        });
    }
}

TEST_F(GuiTest, AddTakesWavFilesFromTheOpenFileDialog) {
    const fs::path folder = Dir() / L"src";
    fs::create_directory(folder);
    for (const wchar_t* name : {L"src\\c.wav", L"src\\a.wav", L"src\\b.wav", L"src\\ d.wav"}) {
        Source(name, 44100, 2, 0.1);
    }
    std::ofstream(folder / L"notes.txt") << "not a sound\n";
    auto add = [&](Driver& d, const std::wstring& typed) {
        d.Click(IDC_ADD);
        HWND dialog = d.WaitDialog(L"Selected Files");
        TypeFileName(d, dialog, folder.wstring());
        d.WaitUntil([&] { return gui::TextOf(GetDlgItem(dialog, cmb2)) == L"src"; },
                    "the open-file dialog to show the sources");
        TypeFileName(d, dialog, typed);
        d.WaitGone(dialog);
    };
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        // Three WAV files and a text file in one selection, in the order chosen; the line under
        // the list says what was left out until the list changes again.
        add(d, L"\"c.wav\" \"notes.txt\" \"a.wav\" \"b.wav\"");
        EXPECT_EQ(L"1 file left out: not a WAV file that can be converted",
                  d.Text(IDC_LIST_STATUS));
        ASSERT_EQ(3, d.Rows());
        EXPECT_EQ((folder / L"c.wav").wstring(), d.Cell(0, 0));
        EXPECT_EQ((folder / L"a.wav").wstring(), d.Cell(1, 0));
        EXPECT_EQ((folder / L"b.wav").wstring(), d.Cell(2, 0));
        EXPECT_EQ(L"44100Hz", d.Cell(0, 1));
        EXPECT_EQ(L"2CH", d.Cell(0, 2));
        // A file chosen alone comes under its full path as given, even with a name that begins
        // with a space; a file already listed is not added again.
        add(d, (folder / L" d.wav").wstring());
        EXPECT_EQ(L"", d.Text(IDC_LIST_STATUS));
        add(d, (folder / L"a.wav").wstring());
        ASSERT_EQ(4, d.Rows());
        EXPECT_EQ((folder / L" d.wav").wstring(), d.Cell(3, 0));
        d.MenuCommand(IDM_EXIT);
    });
    const std::string log = NewLogText();
    const std::string line = "Not WAV file : " + (folder / L"notes.txt").u8string() + "\n";
    EXPECT_NE(std::string::npos, log.find(line)) << log;
    EXPECT_EQ(log.find("Not WAV file"), log.rfind("Not WAV file")) << log;
}

TEST_F(GuiTest, DroppedFilesArriveWholeAndOnce) {
    const std::wstring a = Source(L"a.wav", 32000, 1, 0.1);
    const std::wstring spaced = Source(L" spaced.wav", 8000, 1, 0.1);
    // A path beyond the classic length limit.
    fs::path deep = Dir();
    for (int i = 0; i < 4; ++i) deep /= std::wstring(80, static_cast<wchar_t>(L'k' + i));
    fs::create_directories(L"\\\\?\\" + deep.wstring());
    const std::wstring longPath = (deep / L"long.wav").wstring();
    WriteFileBytes(fs::path(L"\\\\?\\" + longPath).u8string(),
                   Pcm16Wav(8000, 2, Sine(200, 1000.0, 0.1)));
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        d.Drop({a, longPath, a});
        d.Drop({a, spaced});
        ASSERT_EQ(3, d.Rows());
        EXPECT_EQ(a, d.Cell(0, 0));
        EXPECT_EQ(L"32000Hz", d.Cell(0, 1));
        EXPECT_EQ(L"1CH", d.Cell(0, 2));
        EXPECT_EQ(longPath, d.Cell(1, 0));
        EXPECT_EQ(spaced, d.Cell(2, 0));
        d.MenuCommand(IDM_EXIT);
    });
    EXPECT_EQ(std::string::npos, NewLogText().find("Not WAV file")) << NewLogText();
    // Beyond the reach of the temporary folder's own clean-up.
    std::error_code error;
    fs::remove(L"\\\\?\\" + longPath, error);
    for (; deep != Dir(); deep = deep.parent_path()) fs::remove(L"\\\\?\\" + deep.wstring(), error);
}

// A dropped folder adds the WAV files below it, off the window's thread, in the walk's order (a
// folder's files by name before its subfolders), each once; the line under the list counts the
// files left out, the list's group the files listed. Keep subfolders (on) and Skip files already
// converted (off) are stored only when changed, and the batch converts every file of the tree.
TEST_F(GuiTest, ADroppedFolderAddsTheWavFilesOfItsTree) {
    const fs::path tree = Dir() / L"tree";
    fs::create_directories(tree / L"sub" / L"deeper");
    const std::wstring loose = Source(L"loose.wav", 8000, 1, 0.1);
    const std::wstring b = Source(L"tree\\b.wav", 8000, 1, 0.1);
    const std::wstring a = Source(L"tree\\sub\\a.wav", 16000, 2, 0.1);
    const std::wstring c = Source(L"tree\\sub\\deeper\\c.wav", 8000, 1, 0.1);
    WriteFileBytes((tree / L"notes.txt").u8string(), {'n', 'o', 't', 'e', 's'});
    WriteFileBytes((tree / L"sub" / L"fake.wav").u8string(), {'R', 'I', 'F', 'F'});
    const std::string before = Settings();
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        EXPECT_EQ(BST_CHECKED, d.Send(d.Item(IDC_KEEP_SUBFOLDERS), BM_GETCHECK));
        EXPECT_EQ(BST_UNCHECKED, d.Send(d.Item(IDC_SKIP_EXISTING), BM_GETCHECK));
        EXPECT_EQ(L"", d.Text(IDC_LIST_GROUP));
        d.Drop({loose, tree.wstring(), b});
        d.WaitUntil([&] { return d.Rows() == 4; }, "the folder's files in the list");
        EXPECT_EQ(loose, d.Cell(0, 0));
        EXPECT_EQ(b, d.Cell(1, 0));
        EXPECT_EQ(a, d.Cell(2, 0));
        EXPECT_EQ(L"16000Hz", d.Cell(2, 1));
        EXPECT_EQ(c, d.Cell(3, 0));
        EXPECT_EQ(L"2 files added, 2 skipped: not WAV files", d.Text(IDC_LIST_STATUS));
        EXPECT_EQ(L"4 files", d.Text(IDC_LIST_GROUP));
        d.Click(IDC_EXECUTE);
        Dismiss(d, d.WaitBox(kReportCaption, 60));
        EXPECT_EQ(before, Settings());
        d.Send(d.Item(IDC_KEEP_SUBFOLDERS), BM_SETCHECK, BST_UNCHECKED);
        d.Send(d.Item(IDC_SKIP_EXISTING), BM_SETCHECK, BST_CHECKED);
        d.Click(IDC_EXECUTE);
        Dismiss(d, d.WaitBox(kReportCaption, 60));
        d.MenuCommand(IDM_EXIT);
    });
    const std::string settings = Settings();
    EXPECT_NE(std::string::npos, settings.find("<keep_subfolders>0</keep_subfolders>")) << settings;
    EXPECT_NE(std::string::npos, settings.find("<skip_existing>1</skip_existing>")) << settings;
    // The first run kept the tree below the output folder; the second put the files in the
    // folder itself and skipped those already converted there, so nothing is numbered.
    std::set<std::string> outputs;
    for (const auto& file : fs::recursive_directory_iterator(Out())) {
        if (!file.is_regular_file()) continue;
        FramesOf(file.path(), 44100, 2);
        outputs.insert(fs::relative(file.path(), Out()).generic_u8string());
    }
    EXPECT_EQ((std::set<std::string>{"a.wav", "b.wav", "c.wav", "loose.wav", "sub/a.wav",
                                     "sub/deeper/c.wav"}),
              outputs);
}

// Delete and All Delete ask first, with No as the answer Enter gives, naming the count when
// there are several files; the Delete key does what the button does, Ctrl+A selects every row,
// and the selection stays visible when the list loses the focus. The list grows past its first
// ten slots in order. Dropped files that are no WAV files (a text file, an MP3 file named .wav)
// are counted under the list until it changes again. Execute on the emptied list does nothing:
// nothing is saved and the bars stay as they were.
TEST_F(GuiTest, DeleteAndAllDeleteAskFirst) {
    std::vector<std::wstring> sources;
    for (int i = 0; i < 12; ++i) {
        sources.push_back(Source(L"s" + std::to_wstring(i) + L".wav", 8000, 1, 0.1));
    }
    const fs::path mp3 = Dir() / L"song.wav";
    WriteFileBytes(mp3.u8string(), {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0, 0xFF, 0xFB, 0x90, 0x64});
    const fs::path notes = Dir() / L"notes.txt";
    WriteFileBytes(notes.u8string(), {'n', 'o', 't', 'e', 's'});
    auto expectRows = [&](Driver& d) {
        ASSERT_EQ(static_cast<int>(sources.size()), d.Rows());
        for (int row = 0; row < d.Rows(); ++row) {
            EXPECT_EQ(sources[static_cast<std::size_t>(row)], d.Cell(row, 0)) << row;
        }
    };
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        HWND list = d.Item(IDC_FILE_LIST);
        EXPECT_NE(0, GetWindowLongW(list, GWL_STYLE) & LVS_SHOWSELALWAYS);
        d.Drop({sources.begin(), sources.begin() + 7});
        std::vector<std::wstring> more(sources.begin() + 7, sources.end());
        more.push_back(notes.wstring());
        more.push_back(mp3.wstring());
        d.Drop(more);
        EXPECT_EQ(L"2 files left out: not WAV files that can be converted",
                  d.Text(IDC_LIST_STATUS));
        expectRows(d);
        d.SelectRow(1);
        d.Click(IDC_DELETE);
        Answer(d, IDNO);
        EXPECT_EQ(12, d.Rows());
        d.SelectRow(4);
        d.Click(IDC_DELETE);
        Answer(d, IDYES, L"Do you want to remove the 2 file names from the list ?");
        sources.erase(sources.begin() + 4);
        sources.erase(sources.begin() + 1);
        expectRows(d);
        EXPECT_EQ(L"", d.Text(IDC_LIST_STATUS));
        d.SelectRow(0);
        d.Post(list, WM_KEYDOWN, VK_DELETE, 1);
        Answer(d, IDYES);
        sources.erase(sources.begin());
        expectRows(d);
        PressKey(d, 'A', false);
        EXPECT_EQ(0, d.Send(list, LVM_GETSELECTEDCOUNT));
        PressKey(d, 'A', true);
        EXPECT_EQ(9, d.Send(list, LVM_GETSELECTEDCOUNT));
        d.Click(IDC_ALL_DELETE);
        Answer(d, IDNO, L"Do you want to remove the 9 file names from the list ?");
        EXPECT_EQ(9, d.Rows());
        d.Click(IDC_ALL_DELETE);
        Answer(d, IDYES, L"Do you want to remove the 9 file names from the list ?");
        EXPECT_EQ(0, d.Rows());

        const std::string saved = Settings();
        d.ChooseValue(IDC_FREQUENCY, 16000);
        d.Send(d.Item(IDC_BATCH_PROGRESS), PBM_SETPOS, 50);
        d.Send(d.Item(IDC_EXECUTE), BM_CLICK);  // returns once Execute has been handled
        EXPECT_EQ(50, d.Position(IDC_BATCH_PROGRESS));
        EXPECT_EQ(nullptr, d.OtherDialog());
        EXPECT_EQ(saved, Settings());
        d.MenuCommand(IDM_EXIT);
    });
}

// A stored frequency that the items do not name shows typed in the box when it is a rate the
// box takes, else limited to the items' range, as the other settings are.
TEST_F(GuiTest, StoredValuesOutsideTheChoices) {
    const struct {
        std::string stored;
        std::wstring frequency;  // the box's text
        const Choice& channels;
        const Choice& quality;
    } cases[] = {{"<frequency>192000</frequency><channels>6</channels><quality>1</quality>",
                  L"192000Hz", kChannelChoices[1], kQualityChoices[1]},
                 {"<frequency>400000</frequency><channels>0</channels><quality>2</quality>",
                  L"96000Hz", kChannelChoices[0], kQualityChoices[0]},
                 {"<frequency>0</frequency>", L" 8000Hz", kChannelChoices[1], kQualityChoices[0]}};
    for (const auto& c : cases) {
        WriteSettings("<language>0</language>" + c.stored);
        RunWithDriver([&](Driver& d) {
            d.WaitMain();
            EXPECT_EQ(c.frequency, d.Text(IDC_FREQUENCY)) << c.stored;
            EXPECT_EQ(c.channels.value, d.SelectedValue(IDC_CHANNELS)) << c.stored;
            EXPECT_EQ(c.channels.label, d.SelectedText(IDC_CHANNELS)) << c.stored;
            EXPECT_EQ(c.quality.value, d.SelectedValue(IDC_QUALITY)) << c.stored;
            EXPECT_EQ(c.quality.label, d.SelectedText(IDC_QUALITY)) << c.stored;
            d.MenuCommand(IDM_EXIT);
        });
    }
}

// The "..." button: the system's folder picker opens at the folder in the edit box, or at the
// nearest of its parents that exists; the folder chosen there lands in the edit box and is saved
// at once; Cancel changes nothing.
TEST_F(GuiTest, BrowseChoosesTheOutputFolderAndSavesIt) {
    const fs::path chosen = Dir() / L"chosen";
    fs::create_directories(chosen / L"in chosen");
    fs::create_directory(Out() / L"in out");
    const std::string before = Settings();
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        auto opensAt = [&](const wchar_t* inside) {
            d.Click(IDC_BROWSE);
            HWND picker = d.WaitFolderPicker();
            EXPECT_EQ(L"Select output folder", gui::TextOf(picker));
            d.WaitUntil([&] { return d.PickerNames(picker) == std::vector<std::wstring>{inside}; },
                        "the picker to show the folder holding " + fs::path(inside).u8string());
            return picker;
        };
        HWND picker = opensAt(L"in out");
        d.Click(IDCANCEL, picker);
        d.WaitGone(picker);
        EXPECT_EQ(Out().wstring(), d.Text(IDC_OUTPUT_FOLDER));
        EXPECT_EQ(before, Settings());
        d.SetText(IDC_OUTPUT_FOLDER, (chosen / L"not yet" / L"made").wstring());
        picker = opensAt(L"in chosen");
        d.PickFolder(picker, chosen.wstring());
        d.WaitGone(picker);
        EXPECT_EQ(chosen.wstring(), d.Text(IDC_OUTPUT_FOLDER));
        EXPECT_NE(std::string::npos,
                  Settings().find("<output_path>" + chosen.u8string() + "</output_path>"))
            << Settings();
        d.MenuCommand(IDM_EXIT);
    });
}

// An output folder longer than the window's old 520-character field is used whole, not cut
// into the folder its first 519 characters happen to name.
TEST_F(GuiTest, ALongOutputFolderIsUsedWhole) {
    const std::wstring a = Source(L"a.wav", 8000, 1, 0.2);
    std::wstring folder = Dir().wstring();
    for (wchar_t c = L'p'; folder.size() < 600; ++c) folder += L"\\" + std::wstring(150, c);
    const std::wstring cut = folder.substr(0, 519);
    std::error_code error;
    fs::create_directories(L"\\\\?\\" + folder, error);
    ASSERT_FALSE(error) << error.message();
    fs::create_directory(L"\\\\?\\" + cut, error);  // its parent exists
    ASSERT_FALSE(error) << error.message();
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        d.Drop({a});
        d.SetText(IDC_OUTPUT_FOLDER, folder);
        d.Click(IDC_EXECUTE);
        Box box = d.WaitBox(kReportCaption, 60);
        EXPECT_EQ(L"Resampling complete.", box.text);
        Dismiss(d, box);
        d.MenuCommand(IDM_EXIT);
    });
    EXPECT_TRUE(fs::exists(L"\\\\?\\" + folder + L"\\a.wav"));
    EXPECT_TRUE(fs::is_directory(L"\\\\?\\" + cut));
    EXPECT_FALSE(fs::exists(L"\\\\?\\" + cut + L"\\a.wav"));
    EXPECT_NE(std::string::npos, Settings().find(fs::path(folder).u8string())) << Settings();
    // Beyond the reach of the temporary folder's own clean-up.
    fs::remove(L"\\\\?\\" + folder + L"\\a.wav", error);
    for (std::wstring f : {folder, cut}) {
        for (; f.size() > Dir().wstring().size(); f = f.substr(0, f.rfind(L'\\'))) {
            fs::remove(L"\\\\?\\" + f, error);
        }
    }
}

TEST_F(GuiTest, ExecuteConvertsTheListAndSavesChangedValues) {
    const std::wstring a = Source(L"a.wav", 44100, 2, 1.0);
    const std::wstring b = Source(L"b.wav", 22050, 1, 0.5);
    const fs::path out = Dir() / L"converted";
    fs::create_directory(out);
    const int exitCode = RunWithDriver([&](Driver& d) {
        d.WaitMain();
        d.Drop({a, b});
        d.SetText(IDC_OUTPUT_FOLDER, out.wstring());
        d.ChooseValue(IDC_FREQUENCY, 16000);
        d.ChooseValue(IDC_CHANNELS, 1);
        d.ChooseValue(IDC_QUALITY, static_cast<int>(Quality::High));
        d.Click(IDC_EXECUTE);
        Box box = d.WaitBox(kReportCaption, 60);
        EXPECT_EQ(L"Resampling complete.", box.text);
        EXPECT_EQ(LoadIconW(nullptr, IDI_INFORMATION), d.BoxIcon(box.window));
        // The quality is stored right after the channels.
        const std::string channels = "<channels>1</channels>", high = "<quality>1</quality>";
        std::string settings = Settings();
        const std::size_t after = settings.find(channels);
        EXPECT_TRUE(after != std::string::npos &&
                    settings.find_first_not_of(" \t\r\n", after + channels.size()) ==
                        settings.find(high))
            << settings;
        EXPECT_EQ(100, d.Position(IDC_FILE_PROGRESS));
        EXPECT_EQ(d.RangeHigh(IDC_BATCH_PROGRESS), d.Position(IDC_BATCH_PROGRESS));
        EXPECT_FALSE(d.Enabled(IDC_EXECUTE));
        Dismiss(d, box);
        // The next batch runs as well, and never overwrites; with nothing changed, the settings
        // file is not written again. A request to close the window while the report is shown
        // (the window itself is disabled then) waits for the report.
        const auto stamp = fs::last_write_time(Ini()) - std::chrono::hours(24);
        fs::last_write_time(Ini(), stamp);
        const std::string saved = Settings();
        d.Click(IDC_EXECUTE);
        box = d.WaitBox(kReportCaption, 60);
        EXPECT_EQ(L"Resampling complete.", box.text);
        EXPECT_EQ(saved, Settings());
        EXPECT_TRUE(stamp == fs::last_write_time(Ini())) << "the settings file was rewritten";
        Dismiss(d, box);
        // Standard again: the file goes back to having no quality at all.
        d.ChooseValue(IDC_QUALITY, static_cast<int>(Quality::Standard));
        d.Click(IDC_EXECUTE);
        box = d.WaitBox(kReportCaption, 60);
        settings = Settings();
        EXPECT_EQ(std::string::npos, settings.find("<quality>")) << settings;
        EXPECT_FALSE(IsWindowEnabled(d.main));
        d.Post(d.main, WM_CLOSE);
        Sleep(100);
        EXPECT_TRUE(IsWindow(box.window));
        d.Click(IDOK, box.window);
        d.WaitGone(d.main);
    });
    EXPECT_EQ(1, exitCode);
    // The two high-quality batches last exactly as long as their sources; the standard one
    // ends a few frames early.
    for (const wchar_t* name :
         {L"a.wav", L"a(1).wav", L"a(2).wav", L"b.wav", L"b(1).wav", L"b(2).wav"}) {
        const long frames = FramesOf(out / name, 16000, 1), full = name[0] == L'a' ? 16000 : 8000;
        if (std::wstring(name).find(L"(2)") == std::wstring::npos) {
            EXPECT_EQ(full, frames) << fs::path(name).u8string();
        } else {
            EXPECT_TRUE(frames < full && frames > full - 64) << fs::path(name).u8string();
        }
    }
    const std::string settings = Settings();
    for (const std::string& stored :
         {"<output_path>" + out.u8string() + "</output_path>",
          std::string("<frequency>16000</frequency>"), std::string("<channels>1</channels>")}) {
        EXPECT_NE(std::string::npos, settings.find(stored)) << settings;
    }
}

// The sample format box follows the quality: greyed at 16-bit with Standard, the high quality's
// own choice with High. Both it and Prevent clipping reach the batch and the settings file.
TEST_F(GuiTest, SampleFormatFollowsTheQualityAndReachesTheOutput) {
    const std::wstring a = Source(L"a.wav", 44100, 1, 0.5, 32767.0);
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        EXPECT_FALSE(d.Enabled(IDC_SAMPLE_FORMAT));
        EXPECT_EQ(L"16-bit", d.SelectedText(IDC_SAMPLE_FORMAT));
        d.ChooseValue(IDC_QUALITY, static_cast<int>(Quality::High));
        EXPECT_TRUE(d.Enabled(IDC_SAMPLE_FORMAT));
        d.ChooseValue(IDC_SAMPLE_FORMAT, static_cast<int>(SampleType::Float32));
        d.ChooseValue(IDC_QUALITY, static_cast<int>(Quality::Standard));
        EXPECT_EQ(L"16-bit", d.SelectedText(IDC_SAMPLE_FORMAT));
        d.ChooseValue(IDC_QUALITY, static_cast<int>(Quality::High));
        EXPECT_EQ(L"32-bit float", d.SelectedText(IDC_SAMPLE_FORMAT));
        d.Click(IDC_PREVENT_CLIPPING);
        d.Drop({a});
        d.Click(IDC_EXECUTE);
        Box box = d.WaitBox(kReportCaption, 60);
        EXPECT_EQ(L"Resampling complete.", box.text);
        Dismiss(d, box);
        d.MenuCommand(IDM_EXIT);
    });
    const std::string settings = Settings();
    for (const char* stored :
         {"<sample_format>2</sample_format>", "<prevent_clipping>1</prevent_clipping>"}) {
        EXPECT_NE(std::string::npos, settings.find(stored)) << settings;
    }
    // A float output (format tag 3, 32 bits) whose full-scale source was kept under full scale.
    const Bytes b = ReadFileBytes((Out() / L"a.wav").u8string());
    ASSERT_GT(b.size(), 56u);
    EXPECT_EQ(3, Get16(b, 20));
    EXPECT_EQ(32, Get16(b, 34));
    float peak = 0;
    for (std::size_t at = 56; at + 4 <= b.size(); at += 4) {
        float v;
        std::memcpy(&v, &b[at], 4);
        peak = std::max(peak, std::fabs(v));
    }
    EXPECT_TRUE(peak > 0.9f && peak <= 0.98855f) << peak;  // -0.1 dBFS
}

// The long source is long enough that the batch is still in it whatever the machine's speed; a
// file that failed before the stop is reported with it. The line beside Cancel names the file
// being converted; the batch bar counts the sources' durations, and after the stop both bars
// stay where the batch stopped. The report names the file cut short and how far it got.
TEST_F(GuiTest, CancelStopsInTheCurrentFileAndEditsWaitForTheNextBatch) {
    const std::wstring first = Source(L"first.wav", 44100, 2, 0.5);
    const std::wstring gone = Source(L"gone.wav", 44100, 2, 0.5);
    const std::wstring second = Source(L"second.wav", 8000, 1, 1200);
    const std::wstring third = Source(L"third.wav", 8000, 1, 0.5);
    const std::wstring later = Source(L"later.wav", 8000, 1, 1200);
    const fs::path elsewhere = Dir() / L"elsewhere";
    fs::create_directory(elsewhere);
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        d.Drop({first, gone, second, third});
        fs::remove(gone);
        d.ChooseValue(IDC_FREQUENCY, 48000);
        d.ChooseValue(IDC_CHANNELS, 2);
        d.Click(IDC_EXECUTE);
        const auto converting = [&](const std::wstring& line) {
            return d.Text(IDC_PROGRESS_TEXT).rfind(line, 0) == 0;
        };
        d.WaitUntil([&] { return converting(L"Converting second.wav (3 of 4)"); }, "the long file");
        // The window stays usable; what is changed now belongs to the next batch.
        d.ChooseValue(IDC_FREQUENCY, 96000);
        d.ChooseValue(IDC_CHANNELS, 1);
        d.SetText(IDC_OUTPUT_FOLDER, elsewhere.wstring());
        d.Click(IDC_ALL_DELETE);
        Answer(d, IDYES, L"Do you want to remove the 4 file names from the list ?");
        d.Drop({later});
        ASSERT_TRUE(converting(L"Converting second.wav")) << "the long file ended too soon";
        d.Click(IDC_CANCEL);
        Box box = d.WaitBox(kReportCaption);
        std::wsmatch reached;
        EXPECT_TRUE(std::regex_match(
            box.text, reached,
            std::wregex(L"Resampling stopped: 1 of 4 files converted, 1 could not be\\.\n"
                        L"second\\.partial\\.wav was stopped at (\\d+):(\\d\\d) of 20:00\\.\n\n"
                        L"gone\\.wav: the file no longer exists")))
            << fs::path(box.text).u8string();
        EXPECT_EQ(LoadIconW(nullptr, IDI_EXCLAMATION), d.BoxIcon(box.window));
        EXPECT_EQ(L"", d.Text(IDC_PROGRESS_TEXT));
        // The time reached is the output's length; the bar shows the durations converted, the
        // two short files and that part of the long one, out of 1201.5 seconds.
        const double seconds = FramesOf(Out() / L"second.partial.wav", 48000, 2) / 48000.0;
        if (reached.size() == 3) {
            EXPECT_NEAR(seconds, std::stoi(reached[1]) * 60 + std::stoi(reached[2]), 1.0);
        }
        EXPECT_NEAR((1.0 + seconds) / 1201.5 * d.RangeHigh(IDC_BATCH_PROGRESS),
                    d.Position(IDC_BATCH_PROGRESS), 2);
        EXPECT_LT(d.Position(IDC_FILE_PROGRESS), 100);
        Dismiss(d, box);
        ASSERT_EQ(1, d.Rows());
        EXPECT_EQ(later, d.Cell(0, 0));
        // Stopped again, with no failure this time.
        d.Click(IDC_EXECUTE);
        d.WaitUntil(
            [&] { return fs::exists(elsewhere / L"later.partial.wav") && d.Enabled(IDC_CANCEL); },
            "the next batch to write");
        EXPECT_TRUE(converting(L"Converting later.wav (1 of 1)"));
        d.Click(IDC_CANCEL);
        box = d.WaitBox(kReportCaption, 60);
        EXPECT_TRUE(std::regex_match(
            box.text, std::wregex(L"Resampling stopped: 0 of 1 files converted\\.\n"
                                  L"later\\.partial\\.wav was stopped at \\d+:\\d\\d of 20:00\\.")))
            << fs::path(box.text).u8string();
        Dismiss(d, box);
        d.MenuCommand(IDM_EXIT);
    });
    EXPECT_NEAR(24000, FramesOf(Out() / L"first.wav", 48000, 2), 64);
    EXPECT_LT(FramesOf(Out() / L"second.partial.wav", 48000, 2), 1200L * 48000);
    EXPECT_FALSE(fs::exists(Out() / L"third.wav"));
    EXPECT_LT(FramesOf(elsewhere / L"later.partial.wav", 96000, 1), 1200L * 96000);
    // The stopped output, and the journal that lets Execute finish the batch.
    const std::vector<std::string> left = FolderEntries(elsewhere.u8string());
    ASSERT_EQ(2u, left.size());
    EXPECT_EQ(0u, left[0].rfind(".ratemill-batch-", 0));
    EXPECT_EQ("later.partial.wav", left[1]);
}

// Quitting while a conversion runs asks first, in the interface's language, with No as the
// answer Enter gives; No changes nothing. Yes ends the batch after its current chunk and waits
// for it: no report, and the file being written is complete. Esc alone never quits a running
// batch.
TEST_F(GuiTest, QuittingDuringABatchAsksFirst) {
    const std::wstring source = Source(L"long.wav", 8000, 1, 1200);
    const struct {
        int language;
        std::function<void(Driver&)> quit;
        fs::path output;
    } ways[] = {
        {0, [](Driver& d) { d.Post(d.main, WM_SYSCOMMAND, SC_CLOSE); },
         Out() / L"long.partial.wav"},
        {1, [](Driver& d) { d.MenuCommand(IDM_EXIT); }, Out() / L"long.partial.wav"},
    };
    for (const auto& way : ways) {
        // The second run is the first one's batch again: its partial output is replaced.
        fs::remove(way.output);
        const bool japanese = way.language == 1;
        WriteSettings("<language>" + std::to_string(way.language) + "</language><output_path>" +
                      Out().u8string() + "</output_path>");
        const std::wstring caption = japanese ? L"周波数変換" : kReportCaption;
        const std::wstring question = japanese ? L"変換を実行中です。中断して終了しますか？"
                                               : L"A conversion is running. Stop it and quit?";
        bool sawReport = false;
        const int threads = gui::ThreadCount();
        const int exitCode = RunWithDriver([&](Driver& d) {
            d.WaitMain();
            d.Drop({source});
            d.Click(IDC_EXECUTE);
            d.WaitUntil([&] { return fs::exists(way.output) && d.Enabled(IDC_CANCEL); },
                        "the batch to write");
            EXPECT_EQ(0u, d.Text(IDC_PROGRESS_TEXT)
                              .rfind(japanese ? L"long.wav を変換しています (1 個中 1 個目)"
                                              : L"Converting long.wav (1 of 1)",
                                     0));
            // Esc is handled before the request to quit that follows it.
            d.Post(d.main, WM_KEYDOWN, VK_ESCAPE);
            way.quit(d);
            Answer(d, IDNO, question, caption);
            EXPECT_TRUE(IsWindow(d.main));
            EXPECT_TRUE(d.Enabled(IDC_CANCEL)) << "the batch ended";
            way.quit(d);
            Answer(d, IDYES, question, caption);
            const HWND window = d.main;
            d.WaitUntil(
                [&] {
                    if (HWND box = d.OtherDialog()) {
                        sawReport = true;
                        PostMessageW(box, WM_COMMAND, IDOK, 0);
                    }
                    return !IsWindow(window);
                },
                "the window to close");
        });
        EXPECT_EQ(1, exitCode) << way.language;
        EXPECT_EQ(threads, gui::ThreadCount()) << way.language << ": the worker outlived the run";
        EXPECT_FALSE(sawReport) << way.language;
        EXPECT_LT(FramesOf(way.output, 44100, 2), 1200L * 44100) << way.language;
    }
}

// A batch in which files failed says how many were converted and how many failed, in either
// language (the Japanese text names the total first), and up to five are named with the reason.
// After they were listed, gone.wav vanishes and broken.wav becomes a text file; the others fail
// when a file stands where the output folder should be. "Open folder" is offered with a folder
// to open only.
// b.wav, loud stereo made mono, clips: the report names it last, with its count and peak.
TEST_F(GuiTest, FinalReportCountsFailedFiles) {
    const std::vector<std::wstring> three = {L"a.wav", L"gone.wav", L"b.wav"};
    const std::vector<std::wstring> seven = {L"gone.wav", L"broken.wav", L"c.wav", L"d.wav",
                                             L"e.wav",    L"f.wav",      L"g.wav"};
    const struct {
        int language;
        const std::vector<std::wstring>& names;
        bool folderIsFile;
        std::wstring caption;
        std::wstring text;
    } cases[] = {
        {0, three, false, kReportCaption,
         L"Resampling finished: 2 of 3 files converted, 1 could not be.\n\n"
         L"gone.wav: the file no longer exists"},
        {0, seven, true, kReportCaption,
         L"Resampling finished: 0 of 7 files converted, 7 could not be.\n\n"
         L"gone.wav: the file no longer exists\n"
         L"broken.wav: not a WAV file that can be converted\n"
         L"c.wav: the output folder does not exist\nd.wav: the output folder does not exist\n"
         L"e.wav: the output folder does not exist\nand 2 more"},
        {1, seven, true, L"周波数変換",
         L"周波数の変換が終わりました。7 個中 0 個のファイルを変換し、7 "
         L"個は変換できませんでした。\n\n"
         L"gone.wav: ファイルが見つかりません\n"
         L"broken.wav: 変換できるWAVファイルではありません\n"
         L"c.wav: 出力先フォルダがありません\nd.wav: 出力先フォルダがありません\n"
         L"e.wav: 出力先フォルダがありません\nほか 2 個"},
    };
    for (const auto& c : cases) {
        WriteSettings("<language>" + std::to_string(c.language) +
                      "</language><channels>1</channels>");
        std::vector<std::wstring> sources;
        for (const std::wstring& name : c.names) {
            sources.push_back(name == L"b.wav" ? Source(name, 8000, 2, 0.2, 30000.0)
                                               : Source(name, 8000, 1, 0.2));
        }
        RunWithDriver([&](Driver& d) {
            d.WaitMain();
            d.Drop(sources);
            fs::remove(Dir() / L"gone.wav");
            if (fs::exists(Dir() / L"broken.wav")) std::ofstream(Dir() / L"broken.wav") << "text";
            const fs::path notAFolder = Dir() / L"not a folder";
            if (c.folderIsFile) std::ofstream(notAFolder) << "text";
            d.SetText(IDC_OUTPUT_FOLDER, (c.folderIsFile ? notAFolder : Out()).wstring());
            d.Click(IDC_EXECUTE);
            Box box = d.WaitBox(c.caption, 60);
            if (&c.names == &three) {
                const std::wregex clipped(
                    L"\n\nClipped:\nb\\.wav: [1-9][0-9,]* samples \\(peak "
                    L"\\+0\\.0 dBFS\\)");
                std::wsmatch found;
                EXPECT_TRUE(std::regex_search(box.text, found, clipped)) << Utf8(box.text.c_str());
                EXPECT_EQ(c.text, box.text.substr(0, box.text.size() - found.length()));
            } else {
                EXPECT_EQ(c.text, box.text);
            }
            EXPECT_EQ(LoadIconW(nullptr, IDI_WARNING), d.BoxIcon(box.window));
            EXPECT_EQ(!c.folderIsFile,
                      IsWindowVisible(GetDlgItem(box.window, IDC_OPEN_FOLDER)) != FALSE);
            // Save report writes the results log under the name asked for (CSV, or JSON Lines
            // for .jsonl), a row for each file, and leaves the box open.
            static fs::path report;
            report = Dir() / (c.language == 0 ? L"report.csv" : L"report.jsonl");
            fs::remove(report);
            askReportName = [](HWND, bool, std::wstring& chosen) {
                chosen = report.wstring();
                return true;
            };
            EXPECT_EQ(c.language == 0 ? L"Save report" : L"レポートを保存",
                      d.Text(IDC_SAVE_REPORT, box.window));
            d.Click(IDC_SAVE_REPORT, box.window);
            const std::size_t first = c.language == 0 ? 1 : 0;  // CSV: after its header
            std::string log;
            auto readReport = [&] {
                std::ifstream saved(report, std::ios::binary);
                log.assign(std::istreambuf_iterator<char>(saved), std::istreambuf_iterator<char>());
                return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n')) >=
                       c.names.size() + first;
            };
            d.WaitUntil(readReport, "the saved report");
            std::vector<std::string> lines;
            for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos;
                 at = end + 1) {
                lines.push_back(log.substr(at, end - at));
            }
            ASSERT_EQ(c.names.size() + first, lines.size()) << log;
            for (std::size_t i = 0; i < c.names.size(); ++i) {
                const std::wstring& name = c.names[i];
                const char* status = name == L"gone.wav" || name == L"broken.wav" ? "unreadable"
                                     : c.folderIsFile                             ? "output_failed"
                                                                                  : "converted";
                const std::string& line = lines[first + i];
                if (c.language == 0) {
                    EXPECT_EQ((Dir() / name).u8string() + ",", line.substr(0, line.find(',') + 1));
                    EXPECT_NE(std::string::npos, line.find("," + std::string(status) + ","))
                        << line;
                    EXPECT_EQ('\r', line.back());
                } else {
                    EXPECT_NE(std::string::npos,
                              line.find("\"status\":\"" + std::string(status) + "\",\"reason\":\""))
                        << line;
                }
            }
            EXPECT_TRUE(IsWindow(box.window));
            Dismiss(d, box);
            d.MenuCommand(IDM_EXIT);
        });
    }
}

// The frequency box takes any rate from 1000 to 384000 Hz, chosen or typed; a stored rate that
// none of its items names comes back typed in it and converts as it is. Any other text starts
// nothing, says why and is never stored.
TEST_F(GuiTest, TypedFrequenciesConvertAndOtherTextsStartNothing) {
    const std::wstring a = Source(L"a.wav", 44100, 1, 0.2);
    WriteSettings("<language>0</language><output_path>" + Out().u8string() +
                  "</output_path><frequency>22050</frequency>");
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        EXPECT_EQ(L"22050Hz", d.Text(IDC_FREQUENCY));
        d.Drop({a});
        d.Click(IDC_EXECUTE);
        Box box = d.WaitBox(kReportCaption, 60);
        EXPECT_EQ(L"Resampling complete.", box.text);
        Dismiss(d, box);
        const std::string saved = Settings();
        for (const wchar_t* typed : {L"abc", L"500", L"", L"22050 kHz"}) {
            d.SetText(IDC_FREQUENCY, typed);
            d.Click(IDC_EXECUTE);
            box = d.WaitBox(kReportCaption);
            EXPECT_EQ(
                L"The sampling frequency must be a number of Hz from 1000 to 384000 (for "
                L"example 22050).",
                box.text)
                << fs::path(typed).u8string();
            d.Click(IDOK, box.window);
            d.WaitGone(box.window);
        }
        EXPECT_EQ(saved, Settings());
        d.SetText(IDC_FREQUENCY, L" 16000 Hz");
        d.Click(IDC_EXECUTE);
        box = d.WaitBox(kReportCaption, 60);
        EXPECT_EQ(L"Resampling complete.", box.text);
        Dismiss(d, box);
        d.MenuCommand(IDM_EXIT);
    });
    // The standard mode ends a few frames early.
    EXPECT_NEAR(4410, FramesOf(Out() / L"a.wav", 22050, 2), 64);
    EXPECT_NEAR(3200, FramesOf(Out() / L"a(1).wav", 16000, 2), 64);
    EXPECT_EQ(2u, FolderEntries(Out().u8string()).size());
    EXPECT_NE(std::string::npos, Settings().find("<frequency>16000</frequency>")) << Settings();
}

// A typed output folder that does not exist is made at Execute when the user agrees, with the
// folders missing above it; without that, or when it cannot be made, nothing starts and nothing
// is stored.
TEST_F(GuiTest, ExecuteOffersToMakeAMissingOutputFolder) {
    const std::wstring a = Source(L"a.wav", 8000, 1, 0.2);
    const fs::path missing = Dir() / L"new" / L"deeper";
    const fs::path blocked = Dir() / L"file" / L"sub";
    std::ofstream(Dir() / L"file") << "text";
    const std::string before = Settings();
    RunWithDriver([&](Driver& d) {
        d.WaitMain();
        d.Drop({a});
        const auto execute = [&](const fs::path& folder, int button) {
            d.SetText(IDC_OUTPUT_FOLDER, folder.wstring());
            d.Click(IDC_EXECUTE);
            Box box = d.WaitBox(kReportCaption);
            EXPECT_EQ(L"The output folder \"" + folder.wstring() + L"\" does not exist. Create it?",
                      box.text);
            d.Click(button, box.window);
            d.WaitGone(box.window);
        };
        execute(missing, IDNO);
        EXPECT_FALSE(fs::exists(Dir() / L"new"));
        execute(blocked, IDYES);
        Box box = d.WaitBox(kReportCaption);
        EXPECT_EQ(L"The output folder \"" + blocked.wstring() + L"\" could not be created.",
                  box.text);
        d.Click(IDOK, box.window);
        d.WaitGone(box.window);
        EXPECT_EQ(before, Settings());
        execute(missing, IDYES);
        box = d.WaitBox(kReportCaption, 60);
        EXPECT_EQ(L"Resampling complete.", box.text);
        Dismiss(d, box);
        d.MenuCommand(IDM_EXIT);
    });
    EXPECT_NEAR(8820, FramesOf(missing / L"a.wav", 44100, 2), 200);
    EXPECT_NE(std::string::npos,
              Settings().find("<output_path>" + missing.u8string() + "</output_path>"))
        << Settings();
}

// Help Topics opens the readme of the interface's language when it lies beside the program,
// the web page when it does not; a folder by that name is no readme.
TEST(HelpDocument, ReadmeOfTheLanguageBesideTheProgramElseTheWebPage) {
    TempFolder temp;
    const std::wstring folder = fs::u8path(temp.Path()).wstring() + L"\\";
    const std::wstring english = folder + L"readme.txt", japanese = folder + L"readme-ja.txt";
    const wchar_t web[] = L"https://ratemill.example.com/help";
    EXPECT_EQ(web, HelpDocument(0, folder, web));
    EXPECT_EQ(web, HelpDocument(1, folder, web));
    std::ofstream(fs::path(english)) << "readme";
    fs::create_directory(japanese);
    EXPECT_EQ(english, HelpDocument(0, folder, web));
    EXPECT_EQ(english, HelpDocument(7, folder, web));
    EXPECT_EQ(web, HelpDocument(1, folder, web));
    fs::remove(japanese);
    std::ofstream(fs::path(japanese)) << "readme";
    EXPECT_EQ(japanese, HelpDocument(1, folder, web));
    EXPECT_EQ(web, HelpDocument(1, L"", web));
}

// The reasons the window cannot show by a real failure here: the system's error code decides
// between a missing folder, one that cannot be written and a full disk; every failure has a
// reason in both languages, and what did not fail has none.
TEST(FailureReason, FollowsTheStatusAndTheSystemError) {
    const struct {
        FileStatus status;
        WaveError sourceError;
        DWORD code;
        std::wstring english;  // empty: any non-empty text
    } cases[] = {
        {FileStatus::OutputFailed, WaveError::None, ERROR_PATH_NOT_FOUND,
         L"the output folder does not exist"},
        {FileStatus::OutputFailed, WaveError::None, ERROR_ACCESS_DENIED,
         L"the output folder cannot be written"},
        {FileStatus::OutputFailed, WaveError::None, ERROR_DISK_FULL, L"the disk is full"},
        {FileStatus::WriteFailed, WaveError::None, ERROR_HANDLE_DISK_FULL, L"the disk is full"},
        {FileStatus::WriteFailed, WaveError::None, ERROR_IO_DEVICE, L""},
        {FileStatus::SourceUnreadable, WaveError::CannotOpen, ERROR_SHARING_VIOLATION,
         L"the file cannot be opened"},
        {FileStatus::SourceUnreadable, WaveError::NoData, 0,
         L"not a WAV file that can be converted"},
        {FileStatus::UnsupportedRatio, WaveError::None, 0, L""},
        {FileStatus::NoFreeName, WaveError::None, 0, L"every output name is taken"},
        {FileStatus::NoFreeName, WaveError::None, platform::kErrorNotRegularFile,
         L"its output name is a device name, not a file"},
        {FileStatus::OutOfMemory, WaveError::None, 0, L""},
        {FileStatus::ReadFailed, WaveError::None, 0, L""},
        {FileStatus::SizeLimit, WaveError::None, 0, L""},
    };
    for (const auto& c : cases) {
        FileResult result;
        result.status = c.status;
        result.sourceError = c.sourceError;
        result.systemError = static_cast<int>(c.code);
        const FailureReason reason = ReasonForFailure(result);
        const std::wstring english = reason.english, japanese = reason.japanese;
        const auto where = "status " + std::to_string(static_cast<int>(c.status)) + ", code " +
                           std::to_string(c.code);
        EXPECT_FALSE(english.empty() || japanese.empty()) << where;
        if (!c.english.empty()) {
            EXPECT_EQ(c.english, english) << where;
        }
    }
    for (FileStatus status : {FileStatus::Converted, FileStatus::Stopped, FileStatus::NotStarted}) {
        FileResult result;
        result.status = status;
        EXPECT_EQ(std::wstring(), ReasonForFailure(result).english);
    }
}

// What the frequency box takes: a number of Hz in the typed range, "Hz" after it or not, blanks
// around either, full-width forms too.
TEST(ParseFrequency, TakesRatesInTheTypedRangeOnly) {
    const struct {
        const wchar_t* text;
        int hz;  // 0: refused
    } cases[] = {
        {L"22050", 22050},
        {L"22050Hz", 22050},
        {L" 22050 Hz", 22050},
        {L" 8000Hz", 8000},
        {L"1000", 1000},
        {L"384000 hz", 384000},
        {L"２２０５０Ｈｚ", 22050},
        {L"", 0},
        {L"  ", 0},
        {L"abc", 0},
        {L"Hz", 0},
        {L"999", 0},
        {L"384001", 0},
        {L"99999999999", 0},
        {L"22050 kHz", 0},
        {L"22 050", 0},
        {L"-22050", 0},
        {L"22050.5", 0},
        {L"22050HzHz", 0},
    };
    for (const auto& c : cases) {
        int hz = -1;
        EXPECT_EQ(c.hz != 0, ParseFrequency(c.text, &hz)) << fs::path(c.text).u8string();
        if (c.hz != 0) {
            EXPECT_EQ(c.hz, hz) << fs::path(c.text).u8string();
        }
    }
}

// The line beside Cancel: the file and its place, then, after the first second, the time left
// from the time so far and the share of the batch done.
TEST(FolderAddedLine, CountsWhatWasLeftOutInBothLanguages) {
    const struct {
        int added, notWav, unreadable;
        const wchar_t* english;
        const wchar_t* japanese;
    } cases[] = {
        {214, 0, 0, L"", L""},
        {20000, 3, 0, L"20,000 files added, 3 skipped: not WAV files",
         L"20,000 個を追加、WAVファイル以外の 3 個をスキップ"},
        {1, 1, 2, L"1 file added, 1 skipped: not a WAV file, 2 folders could not be read",
         L"1 個を追加、WAVファイル以外の 1 個をスキップ、読めないフォルダ 2 個"},
        {0, 0, 1, L"0 files added, 1 folder could not be read",
         L"0 個を追加、読めないフォルダ 1 個"},
    };
    for (const auto& c : cases) {
        CString english = FolderAddedLine(c.added, c.notWav, c.unreadable, false);
        CString japanese = FolderAddedLine(c.added, c.notWav, c.unreadable, true);
        EXPECT_EQ(Utf8(c.english), Utf8(english));
        EXPECT_EQ(Utf8(c.japanese), Utf8(japanese));
    }
    CString count = ListCountText(20000, false);
    EXPECT_EQ("20,000 files", Utf8(count));
    count = ListCountText(1, true);
    EXPECT_EQ("1 個のファイル", Utf8(count));
    EXPECT_TRUE(ListCountText(0, false).IsEmpty());
}

TEST(ProgressLine, NamesTheFileAndTheTimeLeft) {
    const struct {
        double elapsed, done;
        bool japanese;
        std::wstring line;
    } cases[] = {
        {0.5, 0.1, false, L"Converting a.wav (2 of 7)"},
        {10, 0.25, false, L"Converting a.wav (2 of 7), about 0:30 left"},
        {10, 0.25, true, L"a.wav を変換しています (7 個中 2 個目)、残り約 0:30"},
        {1800, 0.25, false, L"Converting a.wav (2 of 7), about 1:30:00 left"},
        {10, 0.375, false, L"Converting a.wav (2 of 7), about 0:17 left"},  // 16.7 s, rounded up
        {10, 0, false, L"Converting a.wav (2 of 7)"},
        {10, 1, false, L"Converting a.wav (2 of 7)"},
    };
    for (const auto& c : cases) {
        CString line = ProgressLine(L"a.wav", 2, 7, c.elapsed, c.done, c.japanese);
        EXPECT_EQ(c.line, line.WideText());
    }
}
