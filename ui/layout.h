// The geometry of the conversion window: where each control goes for the window's size, from the
// measures of its font (so that longer texts, such as the Japanese labels, get the room they
// need); the smallest size at which everything fits; the size at start (the one the user left it
// at, else the template's) within the screen's work area; the window's scale when it moves to a
// display of another DPI; and the size kept in the settings when the user changed it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// The window's dots per inch: GetDpiForWindow where the system has it (Windows 10 from 1607 on),
// else the screen's.
int WindowDpi(HWND window);

class WindowLayout {
  public:
    WindowLayout() = default;
    WindowLayout(const WindowLayout&) = delete;
    WindowLayout& operator=(const WindowLayout&) = delete;
    ~WindowLayout();

    // Takes over the dialog's geometry once its controls exist (WM_INITDIALOG, after the list's
    // columns are inserted): measures the texts, gives the window its size at start and lays it
    // out.
    void Attach(HWND dialog);
    // The window's messages about its size and scale: lays the window out at WM_SIZE, answers
    // WM_GETMINMAXINFO with the smallest size at which everything fits, scales the window and
    // its fonts at WM_DPICHANGED (true: the message was handled). At WM_DESTROY it stores the
    // window's size in the settings and saves them when the user changed the size (false: the
    // message goes on).
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  private:
    // What the layout needs of the font, in pixels.
    struct Metrics {
        int unitX = 1;  // dialog units: 4 across an average character
        int unitY = 1;  // and 8 down a line
        int frequencyLabel = 0, channelsLabel = 0, qualityLabel = 0;  // text widths
        int formatLabel = 0;
        int clipping = 0;  // the check boxes: each box and its text
        int keepSubfolders = 0, skipExisting = 0;
        int add = 0, addFolder = 0, remove = 0, removeAll = 0, browse = 0, cancel = 0, execute = 0;
        int comboHeight = 0;  // the closed combo box
        int frequencyColumn = 0, channelsColumn = 0;
        int scrollBar = 0;  // the width of the list's vertical scroll bar
    };

    int X(int units) const { return MulDiv(units, m_metrics.unitX, 4); }
    int Y(int units) const { return MulDiv(units, m_metrics.unitY, 8); }
    void Measure();
    void Arrange(int width, int height);
    // The path column takes what the other two leave of the list's inner width.
    void FitColumns();
    static LRESULT CALLBACK ListProcedure(HWND list, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR id, DWORD_PTR layout);
    SIZE MinimumClient() const;
    // The height of everything below the list, from its bottom edge to the window's.
    int BelowList() const;
    void SetFontForDpi(int dpi);
    // Sets the window's rectangle as the program's own move, not the user's.
    void Place(int left, int top, int width, int height);
    SIZE FrameSize() const;
    int ToStored(int pixels) const { return MulDiv(pixels, 96, m_dpi); }
    int FromStored(int stored) const { return MulDiv(stored, m_dpi, 96); }

    HWND m_dialog = nullptr;
    int m_dpi = 96;
    Metrics m_metrics;
    LOGFONTW m_templateFont = {};  // the dialog's font at m_templateDpi
    int m_templateDpi = 96;
    HFONT m_scaledFont = nullptr;  // the font at another DPI than the template's, when made
    bool m_placing = false;        // the window is being moved by the program itself
    bool m_userSized = false;      // the user changed the window's size
    SIZE m_normal = {};            // the client size when last neither minimised nor maximised
    SIZE m_startStored = {};       // the size at start, in the settings' units
};
