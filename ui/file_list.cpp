// The file list of the conversion window: adding (open-file dialog, folders, dropping), the
// duplicate and WAV tests, the list view rows (a virtual list: the rows are asked for as they
// are shown), Delete and All Delete.
#include "ui/app_main.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "base/diagnostic.h"
#include "base/format.h"
#include "media/folder_walk.h"
#include "media/wave_file.h"
#include "res/resource.h"
#include "ui/folder_picker.h"

namespace {

// The open-file dialog's buffer: 2,097,152 wide characters.
constexpr DWORD kSelectionChars = 2097152;

// What the folder thread posts to the window: how many files it has looked at (wParam) of how
// many (lParam), and a folder's result (lParam: a FolderResult the window takes over).
constexpr UINT kFolderProgressMessage = WM_APP + 20;
constexpr UINT kFolderAddedMessage = WM_APP + 21;
// How often the line under the list counts the files looked at, and how many threads open
// them, each taking so many at a time.
constexpr ULONGLONG kFolderProgressMs = 200;
constexpr int kOpeningThreads = 4;
constexpr int kFilesPerTake = 32;

struct FolderResult {
    std::vector<std::unique_ptr<ListedFile>> entries;
    int notWav = 0;
    int unreadableFolders = 0;
};

// "20,000"
std::wstring Grouped(int count) {
    std::wstring digits = std::to_wstring(count);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), 1, L',');
    }
    return digits;
}

// A path's stored bytes, as the set of listed paths keeps them (the entry's own storage).
std::string_view Key(const CString& path) {
    return std::string_view(path.Bytes() != nullptr ? path.Bytes() : "",
                            static_cast<std::size_t>(path.Length()));
}

}  // namespace

CString FolderAddedLine(int added, int notWav, int unreadableFolders, bool japanese) {
    CString line;
    if (notWav <= 0 && unreadableFolders <= 0) return line;
    if (japanese) {
        line = FormatString(L"%s 個を追加", Grouped(added).c_str());
        if (notWav > 0) {
            line.AppendString(
                FormatString(L"、WAVファイル以外の %s 個をスキップ", Grouped(notWav).c_str()));
        }
        if (unreadableFolders > 0) {
            line.AppendString(
                FormatString(L"、読めないフォルダ %s 個", Grouped(unreadableFolders).c_str()));
        }
        return line;
    }
    line = FormatString(L"%s %s added", Grouped(added).c_str(), added == 1 ? L"file" : L"files");
    if (notWav > 0) {
        line.AppendString(FormatString(L", %s skipped: not %s", Grouped(notWav).c_str(),
                                       notWav == 1 ? L"a WAV file" : L"WAV files"));
    }
    if (unreadableFolders > 0) {
        line.AppendString(FormatString(L", %s %s could not be read",
                                       Grouped(unreadableFolders).c_str(),
                                       unreadableFolders == 1 ? L"folder" : L"folders"));
    }
    return line;
}

CString ListCountText(int files, bool japanese) {
    if (files <= 0) return CString();
    if (japanese) return FormatString(L"%s 個のファイル", Grouped(files).c_str());
    return FormatString(L"%s %s", Grouped(files).c_str(), files == 1 ? L"file" : L"files");
}

CAppMain::AddResult CAppMain::AddFile(const wchar_t* folder, const wchar_t* name) {
    CString path(folder);
    path.Append(L"\\");
    path.Append(name);
    return AddFilePath(path.WideText());
}

CAppMain::AddResult CAppMain::AddFilePath(const wchar_t* path) {
    CString fullPath(path);
    if (fullPath.Length() == 0) return AddResult::NotWav;
    if (m_listed.count(Key(fullPath)) != 0) return AddResult::AlreadyListed;
    CWaveFile wave;
    if (!wave.OpenFile(fullPath)) {
        DiagnosticPrint(L"Not WAV file : %s\n", path);
        return AddResult::NotWav;
    }
    auto entry = std::unique_ptr<ListedFile>(new (std::nothrow) ListedFile());
    if (!entry) return AddResult::NoMemory;
    entry->path = std::move(fullPath);
    entry->params = *wave.GetParams();
    entry->frames = wave.FrameCount();
    return Append(std::move(entry)) ? AddResult::Added : AddResult::NoMemory;
}

bool CAppMain::Append(std::unique_ptr<ListedFile> entry) {
    if (m_count == m_capacity) {
        // Half as much again, so that a folder of 20,000 files is not copied over and over.
        const int capacity = m_capacity + std::max(10, m_capacity / 2);
        ListedFile** grown = new (std::nothrow) ListedFile*[static_cast<size_t>(capacity)]();
        if (grown == nullptr) return false;
        for (int i = 0; i < m_count; ++i) grown[i] = m_entries[i];
        delete[] m_entries;
        m_entries = grown;
        m_capacity = capacity;
    }
    try {
        m_listed.insert(Key(entry->path));
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_entries[m_count++] = entry.release();
    return true;
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
    // The list asks for each row's texts as it shows it (LVN_GETDISPINFO); the selection starts
    // anew, as the rows may have moved.
    HWND list = GetDlgItem(mainWindow, IDC_FILE_LIST);
    LVITEMW none = {};
    none.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
    SendMessageW(list, LVM_SETITEMCOUNT, static_cast<WPARAM>(m_count), 0);
    InvalidateRect(list, nullptr, FALSE);
    CString count = ListCountText(m_count, JapaneseInterface());
    SetDlgItemTextW(mainWindow, IDC_LIST_GROUP,
                    count.WideText() != nullptr ? count.WideText() : L"");
}

void CAppMain::ShowRow(NMLVDISPINFOW* info) {
    LVITEMW& item = info->item;
    if ((item.mask & LVIF_TEXT) == 0 || item.pszText == nullptr || item.cchTextMax <= 0) return;
    item.pszText[0] = 0;
    if (item.iItem < 0 || item.iItem >= m_count) return;
    ListedFile* entry = m_entries[item.iItem];
    wchar_t text[64];
    const wchar_t* shown = text;
    if (item.iSubItem == 0) {
        shown = entry->path.WideText();
    } else if (item.iSubItem == 1) {
        FormatTextN(text, 64, L"%dHz", entry->params.samplingFrequency);
    } else {
        FormatTextN(text, 64, L"%dCH", entry->params.channels);
    }
    lstrcpynW(item.pszText, shown != nullptr ? shown : L"", item.cchTextMax);
}

void CAppMain::ClearFiles() {
    m_listed.clear();
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
        // A folder adds the WAV files below it, off the window's thread.
        if (platform::IsFolder(path.get())) {
            AddFolder(path.get());
            continue;
        }
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
            m_listed.erase(Key(m_entries[i]->path));
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
    ClearFiles();
    RefreshFileList();
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
        notification->code == LVN_GETDISPINFOW) {
        ShowRow(reinterpret_cast<NMLVDISPINFOW*>(notification));
        return;
    }
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

// ---- Folders ---------------------------------------------------------------------------------

void CAppMain::OnAddFolder() {
    std::wstring chosen;
    if (!PickFolder(
            mainWindow,
            JapaneseInterface() ? L"追加するフォルダを選択してください" : L"Select a folder to add",
            L"", chosen)) {
        return;
    }
    AddFolder(chosen.c_str());
}

void CAppMain::AddFolder(const wchar_t* folder) {
    std::lock_guard<std::mutex> lock(m_folderLock);
    m_folderQueue.emplace_back(folder);
    if (m_addingFolders) return;  // the running thread takes it next
    if (m_folderHandle != nullptr) {
        // The previous thread has taken its last folder: let it go.
        WaitForSingleObject(m_folderHandle, INFINITE);
        CloseHandle(m_folderHandle);
        m_folderHandle = nullptr;
    }
    m_folderStop.store(0);
    m_addingFolders = true;
    m_folderHandle = CreateThread(nullptr, 0, FolderRoutine, this, 0, nullptr);
    if (m_folderHandle == nullptr) {
        m_addingFolders = false;
        m_folderQueue.clear();
    }
}

bool CAppMain::AddingFolders() {
    std::lock_guard<std::mutex> lock(m_folderLock);
    return m_addingFolders;
}

DWORD WINAPI CAppMain::FolderRoutine(LPVOID parameter) {
    if (parameter != nullptr) static_cast<CAppMain*>(parameter)->AddQueuedFolders();
    return 0;
}

void CAppMain::AddQueuedFolders() {
    for (;;) {
        std::wstring folder;
        {
            std::lock_guard<std::mutex> lock(m_folderLock);
            if (m_folderQueue.empty() || m_folderStop.load() != 0) {
                m_folderQueue.clear();
                m_addingFolders = false;
                return;
            }
            folder = std::move(m_folderQueue.front());
            m_folderQueue.erase(m_folderQueue.begin());
        }
        auto result = std::unique_ptr<FolderResult>(new (std::nothrow) FolderResult());
        if (!result) continue;
        FolderWalk walk = WalkFolder(folder.c_str(), &m_folderStop);
        result->unreadableFolders = walk.unreadableFolders + (walk.readable ? 0 : 1);
        // Opening each file to test it is what takes the time: several threads share the
        // files (in blocks, each file's entry in its own slot, so the list keeps the walk's
        // order), and this one counts them on the line under the list as they go.
        const int total = static_cast<int>(walk.files.size());
        std::vector<std::unique_ptr<ListedFile>> slots(static_cast<std::size_t>(total));
        std::atomic<int> next{0}, looked{0}, notWav{0};
        auto open = [&] {
            for (;;) {
                const int first = next.fetch_add(kFilesPerTake);
                if (first >= total || m_folderStop.load() != 0) return;
                const int last = std::min(total, first + kFilesPerTake);
                for (int i = first; i < last; ++i) {
                    WalkedFile& file = walk.files[static_cast<std::size_t>(i)];
                    CString path(walk.PathOf(file).c_str());
                    file.name = std::wstring();
                    CWaveFile wave;
                    if (!wave.OpenFile(path)) {
                        DiagnosticPrint(L"Not WAV file : %s\n", path.WideText());
                        ++notWav;
                        continue;
                    }
                    auto entry = std::unique_ptr<ListedFile>(new (std::nothrow) ListedFile());
                    if (!entry) continue;
                    entry->path = std::move(path);
                    entry->params = *wave.GetParams();
                    entry->frames = wave.FrameCount();
                    entry->subfolder.Assign(walk.SubfolderOf(file).c_str());
                    slots[static_cast<std::size_t>(i)] = std::move(entry);
                }
                looked += last - first;
            }
        };
        std::vector<std::thread> helpers;
        const int threads = std::min(kOpeningThreads, 1 + total / kFilesPerTake);
        for (int t = 1; t < threads; ++t) {
            try {
                helpers.emplace_back(open);
            } catch (const std::system_error&) {
                break;  // fewer threads, the same files
            }
        }
        std::thread counter;
        std::atomic<bool> opened{false};
        try {
            counter = std::thread([&] {
                while (!opened.load()) {
                    Sleep(static_cast<DWORD>(kFolderProgressMs));
                    if (opened.load()) break;
                    PostMessageW(mainWindow, kFolderProgressMessage,
                                 static_cast<WPARAM>(looked.load()), static_cast<LPARAM>(total));
                }
            });
        } catch (const std::system_error&) {
        }
        open();
        for (std::thread& helper : helpers) helper.join();
        opened.store(true);
        if (counter.joinable()) counter.join();
        result->notWav = notWav.load();
        for (auto& entry : slots) {
            if (entry) result->entries.push_back(std::move(entry));
        }
        if (m_folderStop.load() != 0) continue;  // the window is closing: nothing is posted
        FolderResult* posted = result.release();
        if (!PostMessageW(mainWindow, kFolderAddedMessage, 0, reinterpret_cast<LPARAM>(posted))) {
            delete posted;
        }
    }
}

void CAppMain::OnFolderProgress(int looked, int found) {
    CString line = FormatString(JapaneseInterface() ? L"フォルダを追加しています... %s / %s"
                                                    : L"Adding folder... %s of %s files",
                                Grouped(looked).c_str(), Grouped(found).c_str());
    SetDlgItemTextW(mainWindow, IDC_LIST_STATUS, line.WideText());
}

void CAppMain::OnFolderAdded(LPARAM posted) {
    std::unique_ptr<FolderResult> result(reinterpret_cast<FolderResult*>(posted));
    if (!result) return;
    int added = 0;
    for (auto& entry : result->entries) {
        if (m_listed.count(Key(entry->path)) != 0) continue;
        if (!Append(std::move(entry))) break;
        ++added;
    }
    RefreshFileList();
    CString line =
        FolderAddedLine(added, result->notWav, result->unreadableFolders, JapaneseInterface());
    SetDlgItemTextW(mainWindow, IDC_LIST_STATUS,
                    line.WideText() != nullptr ? line.WideText() : L"");
}

bool CAppMain::HandleFolderMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kFolderProgressMessage) {
        OnFolderProgress(static_cast<int>(wParam), static_cast<int>(lParam));
        return true;
    }
    if (message == kFolderAddedMessage) {
        OnFolderAdded(lParam);
        return true;
    }
    return false;
}

void CAppMain::FinishAdding() {
    HANDLE thread = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_folderLock);
        m_folderStop.store(1);
        thread = m_folderHandle;
        m_folderHandle = nullptr;
    }
    if (thread == nullptr) return;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    // A folder's files posted before the stop are freed with the messages left.
    MSG message;
    while (
        PeekMessageW(&message, mainWindow, kFolderAddedMessage, kFolderAddedMessage, PM_REMOVE)) {
        delete reinterpret_cast<FolderResult*>(message.lParam);
    }
}
