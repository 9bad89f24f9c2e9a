#include "app/dialogs.h"

#include "base/format.h"
#include "res/resource.h"
#include "settings/app_parameter.h"

INT_PTR CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            window = hwnd;
            OnInitDialog(hwnd);
            return TRUE;
        case WM_COMMAND:
            OnCommand(hwnd, LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_NOTIFY:
            OnNotify(hwnd, static_cast<int>(wParam), reinterpret_cast<NMHDR*>(lParam));
            return TRUE;
        case WM_DROPFILES:
            OnDropFiles(reinterpret_cast<HDROP>(wParam), nullptr, 0);
            return TRUE;
        default:
            return FALSE;
    }
}

void CDialog::OnInitDialog(HWND) {}

void CDialog::OnCommand(HWND hwnd, int controlId, int) {
    if (controlId == IDOK) {
        if (OnOK(hwnd)) EndDialog(hwnd, 1);
    } else if (controlId == IDCANCEL) {
        if (OnCancel(hwnd)) EndDialog(hwnd, 0);
    }
}

bool CDialog::OnOK(HWND) {
    return true;
}
bool CDialog::OnCancel(HWND) {
    return true;
}
void CDialog::OnNotify(HWND, int, NMHDR*) {}
bool CDialog::OnDropFiles(HDROP, wchar_t*, int) {
    return false;
}

INT_PTR CDialog::RunModalIn(CDialog** slot, DLGPROC procedure, HINSTANCE instance, int templateId,
                            HWND owner) {
    *slot = this;
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(templateId), owner, procedure, 0);
}

CDialog* CAboutDialog::current = nullptr;

INT_PTR CALLBACK CAboutDialog::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return current != nullptr ? current->DialogProc(hwnd, message, wParam, lParam) : FALSE;
}

INT_PTR CAboutDialog::RunModal(HINSTANCE instance, int templateId, HWND owner) {
    return RunModalIn(&current, Procedure, instance, templateId, owner);
}

void CAboutDialog::OnInitDialog(HWND hwnd) {
    wchar_t version[32];
    FormatTextN(version, 32, L"Version %s", theSettings->GetVersionText());
    SetDlgItemTextW(hwnd, IDC_VERSION, version);
    SetDlgItemTextW(hwnd, IDC_EDITION,
                    theSettings->currentLanguage == 1 ? L"64ビット版" : L"64bit edition");
}

CDialog* CChooseLanguageDialog::current = nullptr;

INT_PTR CALLBACK CChooseLanguageDialog::Procedure(HWND hwnd, UINT message, WPARAM wParam,
                                                  LPARAM lParam) {
    return current != nullptr ? current->DialogProc(hwnd, message, wParam, lParam) : FALSE;
}

INT_PTR CChooseLanguageDialog::RunModal(HINSTANCE instance, int templateId, HWND owner) {
    return RunModalIn(&current, Procedure, instance, templateId, owner);
}

void CChooseLanguageDialog::OnInitDialog(HWND hwnd) {
    HWND list = GetDlgItem(hwnd, IDC_LANGUAGE_LIST);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    const bool japanese = uiLanguage == 1;
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(japanese ? L"英語" : L"English"));
    SendMessageW(list, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(japanese ? L"日本語" : L"Japanese"));
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
}

bool CChooseLanguageDialog::OnOK(HWND hwnd) {
    selection =
        static_cast<std::int32_t>(SendDlgItemMessageW(hwnd, IDC_LANGUAGE_LIST, CB_GETCURSEL, 0, 0));
    return true;
}
