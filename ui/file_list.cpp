// The file list of the conversion window: adding (open-file dialog, dropping), the duplicate
// and WAV tests, the list view rows, Delete and All Delete.
#include "ui/app_main.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <memory>
#include <new>

#include "base/diagnostic.h"
#include "base/format.h"
#include "media/wave_file.h"
#include "res/resource.h"

namespace {

// The open-file dialog's buffer: 2,097,152 wide characters.
constexpr DWORD kSelectionChars = 2097152;

}  // namespace

void CAppMain::AddFile(const wchar_t* folder, const wchar_t* name) {
    CString path(folder);
    path.Append(L"\\");
    path.Append(name);
    AddFilePath(path.WideText());
}

void CAppMain::AddFilePath(const wchar_t* path) {
    CString fullPath(path);
    if (fullPath.Length() == 0) return;
    for (int i = 0; i < m_count; ++i) {
        if (m_entries[i]->FullPath.Equals(path)) return;
    }
    CWaveFile wave;
    if (!wave.OpenFile(fullPath)) {
        DiagnosticPrint(L"Not WAV file : %s\n", path);
        return;
    }
    auto entry = std::unique_ptr<FileEntry>(new (std::nothrow) FileEntry());
    if (!entry) return;
    entry->SetPath(fullPath.Bytes());
    entry->params = *wave.GetParams();
    if (m_count == m_capacity) {
        FileEntry** grown = new (std::nothrow) FileEntry*[static_cast<size_t>(m_capacity) + 10]();
        if (grown == nullptr) return;
        for (int i = 0; i < m_count; ++i) grown[i] = m_entries[i];
        delete[] m_entries;
        m_entries = grown;
        m_capacity += 10;
    }
    m_entries[m_count++] = entry.release();
}

void CAppMain::AddSelectedFiles(const wchar_t* buffer) {
    const wchar_t* first = buffer;
    if (first[0] == 0) return;
    const wchar_t* next = first + lstrlenW(first) + 1;
    if (next[0] == 0) {
        // One file: its full path as the dialog gave it.
        AddFilePath(first);
        return;
    }
    for (; next[0] != 0; next += lstrlenW(next) + 1) AddFile(first, next);
}

void CAppMain::RefreshFileList() {
    HWND list = GetDlgItem(mainWindow, IDC_FILE_LIST);
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
    for (int i = 0; i < m_count; ++i) {
        CString path;
        path.AssignString(m_entries[i]->FullPath);
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = i;
        item.pszText = const_cast<wchar_t*>(path.WideText() != nullptr ? path.WideText() : L"");
        SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        wchar_t text[64];
        FormatTextN(text, 64, L"%dHz", m_entries[i]->params.samplingFrequency);
        item.iSubItem = 1;
        item.pszText = text;
        SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&item));
        FormatTextN(text, 64, L"%dCH", m_entries[i]->params.channels);
        item.iSubItem = 2;
        SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&item));
    }
}

void CAppMain::ClearFiles() {
    for (int i = 0; i < m_count; ++i) delete m_entries[i];
    delete[] m_entries;
    m_entries = nullptr;
    m_capacity = 0;
    m_count = 0;
}

void CAppMain::OnAdd() {
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[kSelectionChars]());
    if (!buffer) return;
    const bool japanese = JapaneseInterface();
    const wchar_t* filter = japanese ? L"WAVファイル(*.wav)\0*.wav\0すべてのファイル(*.*)\0*.*\0"
                                     : L"WAV files(*.wav)\0*.wav\0All files(*.*)\0*.*\0";
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = mainWindow;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = buffer.get();
    dialog.nMaxFile = kSelectionChars - 1;
    dialog.lpstrTitle = japanese ? L"ファイルを選択" : L"Selected Files";
    dialog.Flags = OFN_HIDEREADONLY | OFN_ALLOWMULTISELECT | OFN_PATHMUSTEXIST | OFN_EXPLORER;
    if (GetOpenFileNameW(&dialog) && buffer[0] != 0) {
        AddSelectedFiles(buffer.get());
        RefreshFileList();
    }
}

void CAppMain::OnDropFiles(HDROP drop) {
    const UINT files = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < files; ++i) {
        // Paths of any length arrive whole: ask for the length first.
        const UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::unique_ptr<wchar_t[]> path(new (std::nothrow) wchar_t[length + 1]);
        if (!path || DragQueryFileW(drop, i, path.get(), length + 1) == 0) continue;
        AddFilePath(path.get());
    }
    if (files != 0) RefreshFileList();
    DragFinish(drop);
}

bool CAppMain::AskRemove() {
    const bool japanese = JapaneseInterface();
    return MessageBoxW(mainWindow,
                       japanese ? L"ファイル名をリストから削除しますか？"
                                : L"Do you want to remove the file name from the list ?",
                       japanese ? L"ファイル名の削除" : L"Delete file name",
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void CAppMain::OnDelete() {
    const LRESULT row = SendDlgItemMessageW(mainWindow, IDC_FILE_LIST, LVM_GETNEXTITEM,
                                            static_cast<WPARAM>(-1), LVNI_SELECTED);
    if (row < 0) return;
    if (!AskRemove()) return;
    if (row < m_count) {
        FileEntry* removed = m_entries[row];
        for (int i = static_cast<int>(row); i < m_count - 1; ++i) m_entries[i] = m_entries[i + 1];
        --m_count;
        m_entries[m_count] = nullptr;
        delete removed;
    }
    RefreshFileList();
}

void CAppMain::OnAllDelete() {
    if (m_count == 0) return;
    if (!AskRemove()) return;
    SendDlgItemMessageW(mainWindow, IDC_FILE_LIST, LVM_DELETEALLITEMS, 0, 0);
    ClearFiles();
}
