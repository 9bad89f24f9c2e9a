// Modal dialogs built from templates: a static dialog procedure per class forwards each
// message to the object currently shown, whose virtual operations handle it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <shellapi.h>

#include <cstdint>

class CDialog {
  public:
    CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;
    virtual ~CDialog() = default;

    // Returns whether the message was handled.
    virtual INT_PTR DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    virtual void OnInitDialog(HWND window);
    // 1 (OK) ends the dialog with 1 when OnOK agrees, 2 (Cancel) with 0 when OnCancel agrees.
    virtual void OnCommand(HWND window, int controlId, int notificationCode);
    virtual bool OnOK(HWND window);
    virtual bool OnCancel(HWND window);
    virtual void OnNotify(HWND window, int controlId, NMHDR* notification);
    virtual bool OnDropFiles(HDROP drop, wchar_t* name, int size);

    HWND window = nullptr;

  protected:
    // Shows the template modally with this object in the class's current-instance slot.
    // Returns the dialog's result: 1 for OK, 0 for Cancel or closing, -1 when it could not be
    // shown.
    INT_PTR RunModalIn(CDialog** slot, DLGPROC procedure, HINSTANCE instance, int templateId,
                       HWND owner);
};

// The About box: version and edition texts; everything else comes from the template.
class CAboutDialog : public CDialog {
  public:
    INT_PTR RunModal(HINSTANCE instance, int templateId, HWND owner);
    void OnInitDialog(HWND window) override;

  private:
    static INT_PTR CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM);
    static CDialog* current;
};

// The choice of interface language: entry 0 English, entry 1 Japanese, named in the dialog's
// own language.
class CChooseLanguageDialog : public CDialog {
  public:
    INT_PTR RunModal(HINSTANCE instance, int templateId, HWND owner);
    void OnInitDialog(HWND window) override;
    bool OnOK(HWND window) override;

    std::int32_t uiLanguage = 0;  // 1 Japanese, anything else English
    std::int32_t selection = -1;  // in: preselected entry (-1 none); after OK: the chosen one

  private:
    static INT_PTR CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM);
    static CDialog* current;
};
