#include "ui/layout.h"

#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "res/resource.h"
#include "settings/app_parameter.h"

namespace {

// What the system offers from Windows 10 on, looked up so that the program also starts where it
// is missing.
template <typename Function>
Function User32Function(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

int SystemMetricForDpi(int index, int dpi) {
    using Function = int(WINAPI*)(int, UINT);
    static const auto forDpi = User32Function<Function>("GetSystemMetricsForDpi");
    if (forDpi != nullptr) return forDpi(index, static_cast<UINT>(dpi));
    return GetSystemMetrics(index);
}

int TextWidth(HDC dc, const wchar_t* text, int length) {
    SIZE size = {};
    if (length <= 0 || !GetTextExtentPoint32W(dc, text, length, &size)) return 0;
    return static_cast<int>(size.cx);
}

int WindowTextWidth(HDC dc, HWND window) {
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) return 0;
    std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(window, text.data(), length + 1);
    return TextWidth(dc, text.data(), got);
}

int HeaderWidth(HDC dc, HWND list, int column) {
    wchar_t text[128] = L"";
    LVCOLUMNW item = {};
    item.mask = LVCF_TEXT;
    item.pszText = text;
    item.cchTextMax = 128;
    if (!SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(column),
                      reinterpret_cast<LPARAM>(&item))) {
        return 0;
    }
    return TextWidth(dc, text, lstrlenW(text));
}

// The widest texts the list's frequency and channel columns show in practice.
constexpr wchar_t kWidestFrequency[] = L"768000Hz";
constexpr wchar_t kWidestChannels[] = L"64CH";

// The list's smallest height, and the smallest widths of the lines that give way when the
// window narrows, in dialog units.
constexpr int kMinimumListHeight = 40;
constexpr int kMinimumStatusWidth = 50;
constexpr int kMinimumFolderWidth = 100;
constexpr int kMinimumProgressTextWidth = 60;
constexpr int kMinimumPathColumn = 60;
constexpr int kComboWidth = 80;
// The output group: the folder, then three rows of choices and check boxes.
constexpr int kOutputGroupHeight = 100;

}  // namespace

int WindowDpi(HWND window) {
    using Function = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = User32Function<Function>("GetDpiForWindow");
    if (getDpiForWindow != nullptr) {
        const UINT dpi = getDpiForWindow(window);
        if (dpi != 0) return static_cast<int>(dpi);
    }
    HDC screen = GetDC(window);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
    if (screen != nullptr) ReleaseDC(window, screen);
    return dpi > 0 ? dpi : 96;
}

WindowLayout::~WindowLayout() {
    if (m_scaledFont != nullptr) DeleteObject(m_scaledFont);
}

void WindowLayout::Attach(HWND dialog) {
    m_dialog = dialog;
    m_dpi = WindowDpi(dialog);
    // From Windows 10 1703 on the dialog manager would rescale a dialog at a DPI change by its
    // own rules, against this layout: the window scales itself.
    using SetBehavior = BOOL(WINAPI*)(HWND, int, int);
    static const auto setBehavior = User32Function<SetBehavior>("SetDialogDpiChangeBehavior");
    constexpr int kDisableAll = 1;  // DDC_DISABLE_ALL
    if (setBehavior != nullptr) setBehavior(dialog, kDisableAll, kDisableAll);
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
    if (font == nullptr || GetObjectW(font, sizeof m_templateFont, &m_templateFont) == 0) {
        m_templateFont = {};
    }
    m_templateDpi = m_dpi;
    Measure();
    SetWindowSubclass(GetDlgItem(dialog, IDC_FILE_LIST), ListProcedure, 1,
                      reinterpret_cast<DWORD_PTR>(this));

    // The size the user left the window at, else the template's; at least the smallest size at
    // which everything fits, and within the screen's work area where that is larger.
    RECT client = {};
    GetClientRect(dialog, &client);
    SIZE size = {client.right, client.bottom};
    if (theSettings != nullptr && theSettings->windowWidth > 0 && theSettings->windowHeight > 0) {
        size = {FromStored(theSettings->windowWidth), FromStored(theSettings->windowHeight)};
    }
    const SIZE frame = FrameSize();
    RECT window = {};
    GetWindowRect(dialog, &window);
    POINT place = {window.left, window.top};
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    const bool screenKnown =
        GetMonitorInfoW(MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST), &monitor) != FALSE;
    const RECT& work = monitor.rcWork;
    if (screenKnown) {
        size.cx = std::min<LONG>(size.cx, work.right - work.left - frame.cx);
        size.cy = std::min<LONG>(size.cy, work.bottom - work.top - frame.cy);
    }
    const SIZE minimum = MinimumClient();
    size.cx = std::max(size.cx, minimum.cx);
    size.cy = std::max(size.cy, minimum.cy);
    if (screenKnown) {
        place.x =
            std::max<LONG>(std::min<LONG>(place.x, work.right - size.cx - frame.cx), work.left);
        place.y =
            std::max<LONG>(std::min<LONG>(place.y, work.bottom - size.cy - frame.cy), work.top);
    }
    Place(place.x, place.y, size.cx + frame.cx, size.cy + frame.cy);
    GetClientRect(dialog, &client);
    m_normal = {client.right, client.bottom};
    m_startStored = {ToStored(m_normal.cx), ToStored(m_normal.cy)};
    Arrange(client.right, client.bottom);
}

bool WindowLayout::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_dialog == nullptr) return false;
    switch (message) {
        case WM_SIZE:
            if (wParam == SIZE_MINIMIZED) return true;
            if (wParam == SIZE_RESTORED) {
                m_normal = {LOWORD(lParam), HIWORD(lParam)};
                if (!m_placing) m_userSized = true;
            }
            Arrange(LOWORD(lParam), HIWORD(lParam));
            return true;
        case WM_GETMINMAXINFO: {
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            const SIZE minimum = MinimumClient();
            const SIZE frame = FrameSize();
            info->ptMinTrackSize.x = minimum.cx + frame.cx;
            info->ptMinTrackSize.y = minimum.cy + frame.cy;
            return true;
        }
        case WM_DPICHANGED: {
            const int dpi = LOWORD(wParam);
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            if (dpi <= 0 || suggested == nullptr) return false;
            m_dpi = dpi;
            SetFontForDpi(dpi);
            Measure();
            Place(suggested->left, suggested->top, suggested->right - suggested->left,
                  suggested->bottom - suggested->top);
            RECT client = {};
            GetClientRect(m_dialog, &client);
            Arrange(client.right, client.bottom);
            return true;
        }
        case WM_DESTROY: {
            // The one save at close, and only for a size the user changed.
            if (!m_userSized || theSettings == nullptr) return false;
            const SIZE stored = {ToStored(m_normal.cx), ToStored(m_normal.cy)};
            if (stored.cx == m_startStored.cx && stored.cy == m_startStored.cy) return false;
            theSettings->windowWidth = stored.cx;
            theSettings->windowHeight = stored.cy;
            theSettings->Save();
            return false;
        }
        default:
            return false;
    }
}

void WindowLayout::Measure() {
    HFONT font = m_scaledFont != nullptr
                     ? m_scaledFont
                     : reinterpret_cast<HFONT>(SendMessageW(m_dialog, WM_GETFONT, 0, 0));
    HDC dc = GetDC(m_dialog);
    if (dc == nullptr) return;
    HGDIOBJ previous = font != nullptr ? SelectObject(dc, font) : nullptr;
    // The dialog units of the font, reckoned as the dialog manager reckons them.
    static const wchar_t alphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    TEXTMETRICW text = {};
    GetTextMetricsW(dc, &text);
    Metrics& m = m_metrics;
    m.unitX = std::max(1, (TextWidth(dc, alphabet, 52) / 26 + 1) / 2);
    m.unitY = std::max(1, static_cast<int>(text.tmHeight));

    auto width = [&](int id) { return WindowTextWidth(dc, GetDlgItem(m_dialog, id)); };
    // Labels as wide as their texts, buttons at least as the template makes them.
    m.frequencyLabel = width(IDC_FREQUENCY_LABEL) + 1;
    m.channelsLabel = width(IDC_CHANNELS_LABEL) + 1;
    m.qualityLabel = width(IDC_QUALITY_LABEL) + 1;
    m.formatLabel = width(IDC_SAMPLE_FORMAT_LABEL) + 1;
    const int checkBox = SystemMetricForDpi(SM_CXMENUCHECK, m_dpi) + X(4);
    m.clipping = checkBox + width(IDC_PREVENT_CLIPPING);
    m.keepSubfolders = checkBox + width(IDC_KEEP_SUBFOLDERS);
    m.skipExisting = checkBox + width(IDC_SKIP_EXISTING);
    const int padding = X(12);
    m.add = std::max(X(50), width(IDC_ADD) + padding);
    m.addFolder = std::max(X(50), width(IDC_ADD_FOLDER) + padding);
    m.remove = std::max(X(50), width(IDC_DELETE) + padding);
    m.removeAll = std::max(X(50), width(IDC_ALL_DELETE) + padding);
    m.browse = std::max(X(45), width(IDC_BROWSE) + padding);
    m.cancel = std::max(X(50), width(IDC_CANCEL) + padding);
    m.execute = std::max(X(50), width(IDC_EXECUTE) + padding);
    // The frequency and channel columns fit their headers and their widest values.
    HWND list = GetDlgItem(m_dialog, IDC_FILE_LIST);
    m.frequencyColumn =
        std::max(HeaderWidth(dc, list, 1), TextWidth(dc, kWidestFrequency, 8)) + padding;
    m.channelsColumn =
        std::max(HeaderWidth(dc, list, 2), TextWidth(dc, kWidestChannels, 4)) + padding;
    if (previous != nullptr) SelectObject(dc, previous);
    ReleaseDC(m_dialog, dc);

    RECT combo = {};
    GetWindowRect(GetDlgItem(m_dialog, IDC_FREQUENCY), &combo);
    m.comboHeight = std::max(1, static_cast<int>(combo.bottom - combo.top));
    m.scrollBar = SystemMetricForDpi(SM_CXVSCROLL, m_dpi);
}

int WindowLayout::BelowList() const {
    // The gap to the list's buttons, the buttons, the rest of the list's group and the gap to
    // the next; the output and progress groups with the gap between them; the gap to Cancel and
    // Execute, the buttons and the margin under them.
    return Y(5) + Y(14) + Y(8) + Y(8) + Y(kOutputGroupHeight) + Y(5) + Y(60) + Y(15) + Y(14) +
           Y(11);
}

SIZE WindowLayout::MinimumClient() const {
    const Metrics& m = m_metrics;
    const int labels = std::max(m.frequencyLabel, m.channelsLabel);
    const int border = 2 * GetSystemMetrics(SM_CXBORDER);
    const int rows[] = {
        X(10) + m.add + X(10) + m.addFolder + X(10) + m.remove + X(10) + m.removeAll + X(10) +
            X(kMinimumStatusWidth),
        X(10) + labels + X(5) + X(kComboWidth) + X(15) + std::max(m.qualityLabel, m.formatLabel) +
            X(5) + X(kComboWidth) + X(15) +
            std::max({m.clipping, m.keepSubfolders, m.skipExisting}),
        X(10) + X(kMinimumFolderWidth) + X(3) + m.browse,
        X(10) + X(kMinimumProgressTextWidth) + X(5) + m.cancel + X(5) + m.execute,
        X(10) + border + X(kMinimumPathColumn) + m.frequencyColumn + m.channelsColumn + m.scrollBar,
    };
    return {*std::max_element(std::begin(rows), std::end(rows)) + X(10),
            Y(20) + Y(kMinimumListHeight) + BelowList()};
}

SIZE WindowLayout::FrameSize() const {
    RECT window = {}, client = {};
    GetWindowRect(m_dialog, &window);
    GetClientRect(m_dialog, &client);
    return {(window.right - window.left) - client.right,
            (window.bottom - window.top) - client.bottom};
}

void WindowLayout::Place(int left, int top, int width, int height) {
    m_placing = true;
    SetWindowPos(m_dialog, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    m_placing = false;
}

void WindowLayout::SetFontForDpi(int dpi) {
    HFONT font = nullptr;
    if (dpi == m_templateDpi || m_templateFont.lfHeight == 0) {
        font = reinterpret_cast<HFONT>(SendMessageW(m_dialog, WM_GETFONT, 0, 0));
    } else {
        LOGFONTW scaled = m_templateFont;
        scaled.lfHeight = MulDiv(scaled.lfHeight, dpi, m_templateDpi);
        scaled.lfWidth = MulDiv(scaled.lfWidth, dpi, m_templateDpi);
        font = CreateFontIndirectW(&scaled);
    }
    if (font == nullptr) return;
    for (HWND child = GetWindow(m_dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    if (m_scaledFont != nullptr) DeleteObject(m_scaledFont);
    m_scaledFont = dpi == m_templateDpi || m_templateFont.lfHeight == 0 ? nullptr : font;
}

void WindowLayout::Arrange(int width, int height) {
    const Metrics& m = m_metrics;
    struct Spot {
        int id;
        RECT rect;
    };
    std::vector<Spot> spots;
    auto put = [&](int id, int left, int top, int right, int bottom) {
        spots.push_back({id, {left, top, right, bottom}});
        return spots.back().rect;
    };
    const int right = width - X(10);
    const int button = Y(14);
    const int line = Y(8);  // a line of text

    // The list grows with the window; everything below it keeps to the bottom edge.
    const int listBottom = std::max(Y(20) + 1, height - BelowList());
    const int listButtons = listBottom + Y(5);
    const int listGroupBottom = listButtons + button + Y(8);
    put(IDC_LIST_GROUP, X(5), Y(5), width - X(5), listGroupBottom);
    put(IDC_FILE_LIST, X(10), Y(20), right, listBottom);
    const RECT add = put(IDC_ADD, X(10), listButtons, X(10) + m.add, listButtons + button);
    const RECT addFolder = put(IDC_ADD_FOLDER, add.right + X(10), listButtons,
                               add.right + X(10) + m.addFolder, listButtons + button);
    const RECT remove = put(IDC_DELETE, addFolder.right + X(10), listButtons,
                            addFolder.right + X(10) + m.remove, listButtons + button);
    const RECT removeAll = put(IDC_ALL_DELETE, remove.right + X(10), listButtons,
                               remove.right + X(10) + m.removeAll, listButtons + button);
    const int statusTop = listButtons + (button - line) / 2;
    put(IDC_LIST_STATUS, removeAll.right + X(10), statusTop, right, statusTop + line);

    // The folder stretches across, with "..." at the right; the frequency and channels in one
    // column, the quality and the sample format in the next, the check boxes last.
    const int output = listGroupBottom + Y(8);
    put(IDC_OUTPUT_GROUP, X(5), output, width - X(5), output + Y(kOutputGroupHeight));
    const RECT browse =
        put(IDC_BROWSE, right - m.browse, output + Y(15), right, output + Y(15) + button);
    put(IDC_OUTPUT_FOLDER, X(10), browse.top, browse.left - X(3), browse.bottom);
    const int labels = std::max(m.frequencyLabel, m.channelsLabel);
    const int comboLeft = X(10) + labels + X(5);
    const int labelShift = (m.comboHeight - line) / 2;
    const int rows[] = {output + Y(38), output + Y(58), output + Y(78)};
    put(IDC_FREQUENCY_LABEL, X(10), rows[0] + labelShift, X(10) + labels,
        rows[0] + labelShift + line);
    const RECT frequency =
        put(IDC_FREQUENCY, comboLeft, rows[0], comboLeft + X(kComboWidth), rows[0] + Y(80));
    put(IDC_CHANNELS_LABEL, X(10), rows[1] + labelShift, X(10) + labels,
        rows[1] + labelShift + line);
    put(IDC_CHANNELS, comboLeft, rows[1], comboLeft + X(kComboWidth), rows[1] + Y(80));
    const int secondLabels = std::max(m.qualityLabel, m.formatLabel);
    const int secondLabel = frequency.right + X(15);
    put(IDC_QUALITY_LABEL, secondLabel, rows[0] + labelShift, secondLabel + secondLabels,
        rows[0] + labelShift + line);
    put(IDC_SAMPLE_FORMAT_LABEL, secondLabel, rows[1] + labelShift, secondLabel + secondLabels,
        rows[1] + labelShift + line);
    const int secondLeft = secondLabel + secondLabels + X(5);
    const RECT quality =
        put(IDC_QUALITY, secondLeft, rows[0], secondLeft + X(kComboWidth), rows[0] + Y(80));
    put(IDC_SAMPLE_FORMAT, secondLeft, rows[1], secondLeft + X(kComboWidth), rows[1] + Y(80));
    const int box = std::max(line, Y(10));
    // The check boxes in a column of their own, one to a row.
    const int clippingLeft = quality.right + X(15);
    const struct {
        int id;
        int width;
    } boxes[] = {{IDC_PREVENT_CLIPPING, m.clipping},
                 {IDC_KEEP_SUBFOLDERS, m.keepSubfolders},
                 {IDC_SKIP_EXISTING, m.skipExisting}};
    for (int row = 0; row < 3; ++row) {
        const int boxTop = rows[row] + (m.comboHeight - box) / 2;
        put(boxes[row].id, clippingLeft, boxTop, std::min(right, clippingLeft + boxes[row].width),
            boxTop + box);
    }

    // The bars stretch across; Cancel and Execute keep to the right, the status line beside them
    // takes the rest.
    const int progress = output + Y(kOutputGroupHeight) + Y(5);
    put(IDC_PROGRESS_GROUP, X(5), progress, width - X(5), progress + Y(60));
    put(IDC_FILE_PROGRESS, X(10), progress + Y(15), right, progress + Y(30));
    put(IDC_BATCH_PROGRESS, X(10), progress + Y(35), right, progress + Y(50));
    const int buttons = progress + Y(60) + Y(15);
    const RECT execute = put(IDC_EXECUTE, right - m.execute, buttons, right, buttons + button);
    const RECT cancel = put(IDC_CANCEL, execute.left - X(5) - m.cancel, buttons,
                            execute.left - X(5), buttons + button);
    const int textTop = buttons + (button - line) / 2;
    put(IDC_PROGRESS_TEXT, X(10), textTop, cancel.left - X(5), textTop + line);

    HDWP moves = BeginDeferWindowPos(static_cast<int>(spots.size()));
    for (const Spot& spot : spots) {
        HWND control = GetDlgItem(m_dialog, spot.id);
        if (control == nullptr) continue;
        const RECT& r = spot.rect;
        const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS;
        if (moves != nullptr) {
            moves = DeferWindowPos(moves, control, nullptr, r.left, r.top,
                                   std::max<LONG>(0, r.right - r.left),
                                   std::max<LONG>(0, r.bottom - r.top), flags);
        } else {
            SetWindowPos(control, nullptr, r.left, r.top, std::max<LONG>(0, r.right - r.left),
                         std::max<LONG>(0, r.bottom - r.top), flags);
        }
    }
    if (moves != nullptr) EndDeferWindowPos(moves);

    FitColumns();
    InvalidateRect(m_dialog, nullptr, TRUE);
}

void WindowLayout::FitColumns() {
    HWND list = GetDlgItem(m_dialog, IDC_FILE_LIST);
    RECT inside = {};
    GetClientRect(list, &inside);
    const int columns[] = {
        std::max<int>(X(20), inside.right - m_metrics.frequencyColumn - m_metrics.channelsColumn),
        m_metrics.frequencyColumn, m_metrics.channelsColumn};
    for (int i = 0; i < 3; ++i) {
        if (SendMessageW(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(i), 0) != columns[i]) {
            SendMessageW(list, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(i),
                         MAKELPARAM(columns[i], 0));
        }
    }
}

LRESULT CALLBACK WindowLayout::ListProcedure(HWND list, UINT message, WPARAM wParam, LPARAM lParam,
                                             UINT_PTR id, DWORD_PTR layout) {
    if (message == WM_NCDESTROY) RemoveWindowSubclass(list, ListProcedure, id);
    const LRESULT result = DefSubclassProc(list, message, wParam, lParam);
    // The list's inner width changes with the window and when its vertical scroll bar comes
    // or goes.
    if (message == WM_SIZE) reinterpret_cast<WindowLayout*>(layout)->FitColumns();
    return result;
}
