// The application framework: the life of the process from the entry point to the exit code,
// message routing to virtual operations, the standard menu commands (Exit, Help Topics,
// Choose Language, About) and the interface language.
//
// Of the three ways the framework can arrange its main window, this program uses the dialog
// mode: the main window is a modal dialog built from a template. The single-window and MDI
// modes, and toolbar and status-bar hosting, are not built; their routing and commands are in
// place and do nothing without the windows they address.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <shellapi.h>

#include <cstdint>
#include <string>

// Arrangements of the main window.
constexpr std::int32_t kDialogMode = 0;
constexpr std::int32_t kSingleWindowMode = 1;
constexpr std::int32_t kMdiMode = 2;

// The private message that the window modes route to OnAppMessage.
constexpr UINT kAppMessage = WM_USER + 2;

// Listener interfaces the application implements; nothing calls them yet.
class CEventListener {
  public:
    virtual ~CEventListener() = default;
    virtual void OnAttach() {}
    virtual void OnDetach() {}
    virtual void OnEvent(int, void*) {}
    virtual void OnIdle() {}
};

class CAppEventListener : public CEventListener {
  public:
    void OnAttach() override {}
    void OnDetach() override {}
    void OnEvent(int, void*) override {}
    void OnIdle() override {}
};

class CAppBase {
  public:
    CAppBase() = default;
    CAppBase(const CAppBase&) = delete;
    CAppBase& operator=(const CAppBase&) = delete;
    virtual ~CAppBase() = default;

    // The whole life of the main window; returns the exit code (the dialog's result).
    virtual int Run(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);
    virtual LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    virtual INT_PTR DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    virtual void OnCreate(HWND window, const CREATESTRUCTW* create);
    virtual void OnClose(HWND window);
    virtual void OnDestroy(HWND window);
    virtual RECT OnSize(int width, int height, UINT sizeType);
    virtual void OnNotify(int controlId, NMHDR* notification);
    virtual void OnCommand(int commandId, int notificationCode);
    virtual void OnDropFiles(HDROP drop);
    virtual void OnTimer(UINT_PTR timerId);
    virtual void OnAppMessage(WPARAM wParam);
    virtual void OnExit();
    virtual void OnHelp();
    virtual void OnAbout();
    virtual void OnViewToolbar();
    virtual void OnViewStatusBar();
    // The language dialog; returns the chosen language (0 English, 1 Japanese).
    virtual int ChooseLanguage(int firstStart);
    virtual void OnInitDialog(HWND dialog);
    virtual void OnTileVertical();
    virtual void OnTileHorizontal();
    virtual void OnCascade();
    virtual void OnCloseAll();
    virtual bool InitInstance(HINSTANCE instance);
    virtual void ExitInstance(HINSTANCE instance);
    virtual bool ActivatePreviousInstance();
    virtual void OnStart(LPCWSTR commandLine);
    // Whether the main window may close now; reason 0 when the user closes it.
    virtual bool CanClose(int reason);
    virtual void CheckCommand(int commandId, bool checked);
    virtual void EnableCommand(int commandId, bool enabled);
    virtual LPCWSTR GetDialogTemplate();

    std::int32_t windowMode = kDialogMode;
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;
    HWND mdiClient = nullptr;
    DWORD_PTR helpCookie = 0;
    std::int32_t allowMultipleInstances = 0;
};

// The current application object, through which the window procedures reach it.
extern CAppBase* theApplication;

// The window procedures registered with the system; each forwards to theApplication.
LRESULT CALLBACK MainWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK MainDialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Whether the interface of this run is Japanese: currentLanguage of the settings is 1 (any other
// value means English). Every text with a Japanese and an English variant is chosen by it.
bool JapaneseInterface();

// The running program's folder with its final separator; empty when its path cannot be had.
std::wstring ProgramFolder();

// What Help Topics opens for an interface language (1 Japanese, any other value English): the
// readme of that language shipped beside the program (readme-ja.txt or readme.txt in
// programFolder, which ends in its separator), by its full path, when it is a file there;
// otherwise helpAddress, the help page on the web.
std::wstring HelpDocument(int language, const std::wstring& programFolder,
                          const wchar_t* helpAddress);

// Takes the working folder out of the places searched for libraries loaded by name, for the
// rest of the process.
void RestrictDllSearch();
// Loads traceout64.dll from the program's own folder only; null when it is not there.
HMODULE LoadTraceLibrary();

// The program's start-up and shut-down around an application object (what wWinMain does):
// diagnostic output, settings, Run, tear-down. Returns the exit code.
int RunApplication(HINSTANCE instance, LPWSTR commandLine, int show);
