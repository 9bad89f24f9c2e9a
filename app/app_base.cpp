#include "app/app_base.h"

#include <commctrl.h>
#include <htmlhelp.h>
#include <objbase.h>
#include <shellapi.h>

#include "app/dialogs.h"
#include "res/resource.h"
#include "settings/app_parameter.h"

CAppBase* theApplication = nullptr;

LRESULT CALLBACK MainWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (theApplication == nullptr) return 0;
    return theApplication->WindowProc(window, message, wParam, lParam);
}

INT_PTR CALLBACK MainDialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (theApplication == nullptr) return FALSE;
    return theApplication->DialogProc(window, message, wParam, lParam);
}

int CAppBase::Run(HINSTANCE appInstance, HINSTANCE, LPWSTR commandLine, int) {
    instance = appInstance;
    // The shell's dialogs (the folder browser among them) need COM on the window thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_COOL_CLASSES};
    InitCommonControlsEx(&controls);
    INT_PTR result = 0;
    if (InitInstance(appInstance)) {
        OnStart(commandLine);
        result = DialogBoxParamW(appInstance, GetDialogTemplate(), nullptr, MainDialogProcedure, 0);
        ExitInstance(appInstance);
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return static_cast<int>(result);
}

LRESULT CAppBase::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate(window, reinterpret_cast<const CREATESTRUCTW*>(lParam));
            return 0;
        case WM_DESTROY:
            OnDestroy(window);
            return 0;
        case WM_SIZE:
            OnSize(LOWORD(lParam), HIWORD(lParam), static_cast<UINT>(wParam));
            return 0;
        case WM_CLOSE:
            OnClose(window);
            return 0;
        case WM_NOTIFY:
            OnNotify(static_cast<int>(wParam), reinterpret_cast<NMHDR*>(lParam));
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            if (mdiClient != nullptr)
                return DefFrameProcW(window, mdiClient, message, wParam, lParam);
            return 0;
        case WM_TIMER:
            OnTimer(wParam);
            return 0;
        case WM_DROPFILES:
            OnDropFiles(reinterpret_cast<HDROP>(wParam));
            return 0;
        case kAppMessage:
            OnAppMessage(wParam);
            return 0;
        default:
            if (mdiClient != nullptr)
                return DefFrameProcW(window, mdiClient, message, wParam, lParam);
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

INT_PTR CAppBase::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            OnInitDialog(window);
            return TRUE;
        case WM_NOTIFY:
            OnNotify(static_cast<int>(wParam), reinterpret_cast<NMHDR*>(lParam));
            return TRUE;
        case WM_CLOSE:
            OnClose(window);
            return TRUE;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_TIMER:
            OnTimer(wParam);
            return TRUE;
        case WM_DROPFILES:
            OnDropFiles(reinterpret_cast<HDROP>(wParam));
            return TRUE;
        default:
            return FALSE;
    }
}

void CAppBase::OnCreate(HWND window, const CREATESTRUCTW*) {
    mainWindow = window;
}

void CAppBase::OnClose(HWND window) {
    if (!CanClose(0)) return;
    if (windowMode == kDialogMode) {
        EndDialog(window, 1);
    } else {
        DestroyWindow(window);
    }
}

void CAppBase::OnDestroy(HWND) {
    HtmlHelpW(nullptr, nullptr, HH_UNINITIALIZE, helpCookie);
    PostQuitMessage(0);
}

RECT CAppBase::OnSize(int width, int height, UINT) {
    RECT area = {0, 0, width, height};
    if (mdiClient != nullptr) {
        MoveWindow(mdiClient, 0, 0, width, height, TRUE);
    }
    return area;
}

void CAppBase::OnNotify(int, NMHDR*) {}

namespace {

// The commands of the menu bar and of the frame, each with the operation it runs. The only
// list of them: the application's own OnCommand passes every id it does not handle here.
struct FrameCommand {
    int id;
    void (*run)(CAppBase& application);
};

const FrameCommand kFrameCommands[] = {
    {IDCANCEL, [](CAppBase& a) { a.OnExit(); }},  // Esc in dialog mode
    {IDM_EXIT, [](CAppBase& a) { a.OnExit(); }},
    {IDM_VIEW_TOOLBAR, [](CAppBase& a) { a.OnViewToolbar(); }},
    {IDM_VIEW_STATUSBAR, [](CAppBase& a) { a.OnViewStatusBar(); }},
    {IDM_ABOUT, [](CAppBase& a) { a.OnAbout(); }},
    {IDM_HELP, [](CAppBase& a) { a.OnHelp(); }},
    {IDM_CHOOSE_LANGUAGE, [](CAppBase& a) { a.ChooseLanguage(0); }},
    {IDM_TILE_VERTICAL, [](CAppBase& a) { a.OnTileVertical(); }},
    {IDM_TILE_HORIZONTAL, [](CAppBase& a) { a.OnTileHorizontal(); }},
    {IDM_CASCADE, [](CAppBase& a) { a.OnCascade(); }},
    {IDM_CLOSE_ALL, [](CAppBase& a) { a.OnCloseAll(); }},
};

}  // namespace

bool JapaneseInterface() {
    return theSettings != nullptr && theSettings->currentLanguage == 1;
}

void CAppBase::OnCommand(int commandId, int notificationCode) {
    for (const FrameCommand& command : kFrameCommands) {
        if (command.id == commandId) {
            command.run(*this);
            return;
        }
    }
    // Any other id: the window modes pass it on; the dialog mode ignores it (among them Enter,
    // id 1, and the notifications of the dialog's controls).
    if (windowMode != kDialogMode && mainWindow != nullptr) {
        DefWindowProcW(mainWindow, WM_COMMAND, MAKEWPARAM(commandId, notificationCode), 0);
    }
}

void CAppBase::OnDropFiles(HDROP) {}
void CAppBase::OnTimer(UINT_PTR) {}
void CAppBase::OnAppMessage(WPARAM) {}

void CAppBase::OnExit() {
    if (windowMode == kDialogMode) {
        EndDialog(mainWindow, 1);
    } else {
        SendMessageW(mainWindow, WM_CLOSE, 0, 0);
    }
}

std::wstring HelpDocument(int language, const std::wstring& programFolder,
                          const wchar_t* helpAddress) {
    if (!programFolder.empty()) {
        const std::wstring readme =
            programFolder + (language == 1 ? L"readme-ja.txt" : L"readme.txt");
        const DWORD attributes = GetFileAttributesW(readme.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return readme;
        }
    }
    return helpAddress != nullptr ? helpAddress : L"";
}

void CAppBase::OnHelp() {
    // The readme that came with the program, in the interface's language; the web page only
    // when it is not there (a copy of the program on its own).
    const int language = theSettings->currentLanguage;
    const std::wstring document =
        HelpDocument(language, ProgramFolder(), theSettings->GetHelpUrl(language));
    ShellExecuteW(nullptr, L"open", document.c_str(), nullptr, L"", SW_SHOW);
}

void CAppBase::OnAbout() {
    CAboutDialog about;
    about.RunModal(instance, JapaneseInterface() ? IDD_ABOUT_JA : IDD_ABOUT_EN, mainWindow);
}

// Neither bar exists in this program, and neither may be hidden (both hideable flags are 0).
void CAppBase::OnViewToolbar() {}
void CAppBase::OnViewStatusBar() {}

int CAppBase::ChooseLanguage(int firstStart) {
    // The dialog's own language and its preselection: the stored choice, or at the first
    // start the language of the user's default locale.
    const int saved = theSettings->savedLanguage;
    int dialogLanguage;
    int selection;
    if (saved == 0 || saved == 1) {
        dialogLanguage = theSettings->currentLanguage;
        selection = saved;
    } else {
        dialogLanguage = GetUserDefaultLangID() == 0x0411 ? 1 : 0;
        selection = dialogLanguage;
    }
    CChooseLanguageDialog dialog;
    dialog.uiLanguage = dialogLanguage;
    dialog.selection = selection;
    INT_PTR result =
        dialog.RunModal(instance, dialogLanguage == 1 ? IDD_LANGUAGE_JA : IDD_LANGUAGE_EN,
                        firstStart ? nullptr : mainWindow);
    // At the first start the selection is taken whatever way the dialog ended; from the menu
    // only OK (or a dialog that could not be shown) stores it, for the next start.
    if (firstStart != 0 || result != 0) {
        if (firstStart != 0) theSettings->currentLanguage = dialog.selection;
        theSettings->savedLanguage = dialog.selection;
        theSettings->Save();
    }
    return dialog.selection;
}

void CAppBase::OnInitDialog(HWND dialog) {
    mainWindow = dialog;
}

// The MDI commands address the MDI client, which exists only in MDI mode.
void CAppBase::OnTileVertical() {
    if (mdiClient != nullptr) SendMessageW(mdiClient, WM_MDITILE, MDITILE_VERTICAL, 0);
}

void CAppBase::OnTileHorizontal() {
    if (mdiClient != nullptr) SendMessageW(mdiClient, WM_MDITILE, MDITILE_HORIZONTAL, 0);
}

void CAppBase::OnCascade() {
    if (mdiClient != nullptr) SendMessageW(mdiClient, WM_MDICASCADE, 0, 0);
}

void CAppBase::OnCloseAll() {}

bool CAppBase::InitInstance(HINSTANCE) {
    const int saved = theSettings->savedLanguage;
    if (saved == 0 || saved == 1) {
        theSettings->currentLanguage = saved;
    } else {
        theSettings->currentLanguage = 0;
        ChooseLanguage(1);
    }
    if (ActivatePreviousInstance()) return false;
    // Only the dialog mode is built: its window comes from the template in Run.
    if (windowMode != kDialogMode) return false;
    HtmlHelpW(nullptr, nullptr, HH_INITIALIZE, reinterpret_cast<DWORD_PTR>(&helpCookie));
    return true;
}

void CAppBase::ExitInstance(HINSTANCE) {}

bool CAppBase::ActivatePreviousInstance() {
    if (allowMultipleInstances != 0) return false;
    CString className;
    className.AssignString(theSettings->mainWindowClass);
    HWND running = FindWindowW(className.WideText(), nullptr);
    if (running == nullptr) return false;
    if (IsIconic(running)) {
        ShowWindow(running, SW_SHOW);
    } else {
        BringWindowToTop(running);
    }
    return true;
}

void CAppBase::OnStart(LPCWSTR) {}

bool CAppBase::CanClose(int) {
    return true;
}

void CAppBase::CheckCommand(int commandId, bool checked) {
    HMENU menu = GetMenu(mainWindow);
    if (menu != nullptr) {
        CheckMenuItem(menu, static_cast<UINT>(commandId),
                      MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
    }
}

void CAppBase::EnableCommand(int commandId, bool enabled) {
    HMENU menu = GetMenu(mainWindow);
    if (menu != nullptr) {
        EnableMenuItem(menu, static_cast<UINT>(commandId),
                       MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
    }
}

LPCWSTR CAppBase::GetDialogTemplate() {
    return L"";
}
