// The file list of the conversion window: adding (open-file dialog, dropping), the duplicate
// and WAV tests, the list view rows, Delete and All Delete.
#include "ui/app_main.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <memory>
#include <new>
#include <vector>

#include "base/diagnostic.h"
#include "base/format.h"
#include "media/wave_file.h"
#include "res/resource.h"

namespace {

// The open-file dialog's buffer: 2,097,152 wide characters.
constexpr DWORD kSelectionChars = 2097152;

}  // namespace

CAppMain::AddResult CAppMain::AddFile(const wchar_t* folder, const wchar_t* name) {
    CString path(folder);
    path.Append(L"\\");
    path.Append(name);
    return AddFilePath(path.WideText());
}

CAppMain::AddResult CAppMain::AddFilePath(const wchar_t* path) {
    CString fullPath(path);
    if (fullPath.Length() == 0) return AddResult::NotWav;
    for (int i = 0; i < m_count; ++i) {
        if (m_entries[i]->FullPath.Equals(path)) return AddResult::AlreadyListed;
    }
    CWaveFile wave;
    if (!wave.OpenFile(fullPath)) {
        DiagnosticPrint(L"Not WAV file : %s\n", path);
        return AddResult::NotWav;
    }
    auto entry = std::unique_ptr<FileEntry>(new (std::nothrow) FileEntry());
    if (!entry) return AddResult::NoMemory;
    entry->SetPath(fullPath.Bytes());
    entry->params = *wave.GetParams();
    entry->frames = wave.FrameCount();
    if (m_count == m_capacity) {
        FileEntry** grown = new (std::nothrow) FileEntry*[static_cast<size_t>(m_capacity) + 10]();
        if (grown == nullptr) return AddResult::NoMemory;
        for (int i = 0; i < m_count; ++i) grown[i] = m_entries[i];
        delete[] m_entries;
        m_entries = grown;
        m_capacity += 10;
    }
    m_entries[m_count++] = entry.release();
    return AddResult::Added;
}

int CAppMain::AddSelectedFiles(const wchar_t* buffer) {
    const wchar_t* first = buffer;
    if (first[0] == 0) return 0;
    const wchar_t* next = first + lstrlenW(first) + 1;
    if (next[0] == 0) {
        // One file: its full path as the dialog gave it.
        return AddFilePath(first) == AddResult::NotWav ? 1 : 0;
    }
    int notWav = 0;
    for (; next[0] != 0; next += lstrlenW(next) + 1) {
        if (AddFile(first, next) == AddResult::NotWav) ++notWav;
    }
    return notWav;
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
        const int notWav = AddSelectedFiles(buffer.get());
        RefreshFileList();
        ShowLeftOut(notWav);
    }
}

void CAppMain::OnDropFiles(HDROP drop) {
    const UINT files = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    int notWav = 0;
    for (UINT i = 0; i < files; ++i) {
        // Paths of any length arrive whole: ask for the length first.
        const UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::unique_ptr<wchar_t[]> path(new (std::nothrow) wchar_t[length + 1]);
        if (!path || DragQueryFileW(drop, i, path.get(), length + 1) == 0) continue;
        if (AddFilePath(path.get()) == AddResult::NotWav) ++notWav;
    }
    if (files != 0) {
        RefreshFileList();
        ShowLeftOut(notWav);
    }
    DragFinish(drop);
}

void CAppMain::ShowLeftOut(int notWav) {
    CString line;
    if (notWav > 0) {
        if (JapaneseInterface()) {
            line = FormatString(L"変換できるWAVファイルでない %d 個を除外しました", notWav);
        } else if (notWav == 1) {
            line.Assign(L"1 file left out: not a WAV file that can be converted");
        } else {
            line = FormatString(L"%d files left out: not WAV files that can be converted", notWav);
        }
    }
    const wchar_t* text = line.WideText();
    SetDlgItemTextW(mainWindow, IDC_LIST_STATUS, text != nullptr ? text : L"");
}

bool CAppMain::AskRemove(int files) {
    const bool japanese = JapaneseInterface();
    CString question;
    if (files == 1) {
        question.Assign(japanese ? L"ファイル名をリストから削除しますか？"
                                 : L"Do you want to remove the file name from the list ?");
    } else {
        question =
            FormatString(japanese ? L"%d 個のファイル名をリストから削除しますか？"
                                  : L"Do you want to remove the %d file names from the list ?",
                         files);
    }
    return MessageBoxW(mainWindow, question.WideText(),
                       japanese ? L"ファイル名の削除" : L"Delete file name",
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void CAppMain::OnDelete() {
    HWND list = GetDlgItem(mainWindow, IDC_FILE_LIST);
    std::vector<bool> selected(static_cast<std::size_t>(m_count), false);
    int rows = 0;
    for (LRESULT row = -1; (row = SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(row),
                                               LVNI_SELECTED)) >= 0;) {
        if (row < m_count && !selected[static_cast<std::size_t>(row)]) {
            selected[static_cast<std::size_t>(row)] = true;
            ++rows;
        }
    }
    if (rows == 0) return;
    if (!AskRemove(rows)) return;
    // The kept entries move up in their order; the slots freed at the end are emptied.
    int kept = 0;
    for (int i = 0; i < m_count; ++i) {
        if (selected[static_cast<std::size_t>(i)]) {
            delete m_entries[i];
        } else {
            m_entries[kept++] = m_entries[i];
        }
    }
    for (int i = kept; i < m_count; ++i) m_entries[i] = nullptr;
    m_count = kept;
    RefreshFileList();
    ShowLeftOut(0);
}

void CAppMain::OnAllDelete() {
    if (m_count == 0) return;
    if (!AskRemove(m_count)) return;
    SendDlgItemMessageW(mainWindow, IDC_FILE_LIST, LVM_DELETEALLITEMS, 0, 0);
    ClearFiles();
    ShowLeftOut(0);
}

void CAppMain::SelectAllRows() {
    LVITEMW item = {};
    item.stateMask = item.state = LVIS_SELECTED;
    SendDlgItemMessageW(mainWindow, IDC_FILE_LIST, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                        reinterpret_cast<LPARAM>(&item));
}

void CAppMain::OnNotify(int controlId, NMHDR* notification) {
    if (notification != nullptr && notification->idFrom == IDC_FILE_LIST &&
        notification->code == LVN_KEYDOWN) {
        const WORD key = reinterpret_cast<const NMLVKEYDOWN*>(notification)->wVKey;
        if (key == VK_DELETE) {
            OnDelete();
        } else if (key == 'A' && GetKeyState(VK_CONTROL) < 0) {
            SelectAllRows();
        }
        return;
    }
    CAppBase::OnNotify(controlId, notification);
}
