#include "ui/app_main.h"

#include <commctrl.h>

#include <vector>

#include "base/format.h"
#include "res/resource.h"
#include "settings/app_parameter.h"
#include "ui/folder_picker.h"

namespace {

// A stored value limited to the range of a table of choices.
template <std::size_t N>
int Limited(int value, const Choice (&choices)[N]) {
    const int low = choices[0].value;
    const int high = choices[N - 1].value;
    return value < low ? low : value > high ? high : value;
}

// Fills a combo box with a table of choices, each label (the Japanese one in the Japanese
// window, where there is one) with its value as item data, and selects the one whose value is
// `selected` (none when no value matches).
template <std::size_t N>
void FillChoices(HWND combo, const Choice (&choices)[N], int selected, bool japanese) {
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    for (const Choice& choice : choices) {
        const wchar_t* label =
            japanese && choice.japaneseLabel != nullptr ? choice.japaneseLabel : choice.label;
        LRESULT index = SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label));
        if (index < 0) continue;
        SendMessageW(combo, CB_SETITEMDATA, static_cast<WPARAM>(index), choice.value);
        if (choice.value == selected) {
            SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        }
    }
}

}  // namespace

CAppMain::~CAppMain() {
    FinishBatch();
    ClearFiles();
}

int CAppMain::Run(HINSTANCE appInstance, HINSTANCE previous, LPWSTR commandLine, int show) {
    return CAppBase::Run(appInstance, previous, commandLine, show);
}

bool CAppMain::InitInstance(HINSTANCE appInstance) {
    if (!CAppBase::InitInstance(appInstance)) return false;
    if (theSettings->outputPath.Length() > 0) {
        CString stored;
        stored.AssignString(theSettings->outputPath);
        const wchar_t* text = stored.WideText();
        // Taken whole, however long: a folder cut short would name another one.
        if (text != nullptr) outputFolder.Assign(text);
    }
    return true;
}

LPCWSTR CAppMain::GetDialogTemplate() {
    return MAKEINTRESOURCEW(JapaneseInterface() ? IDD_MAIN_JA : IDD_MAIN_EN);
}

void CAppMain::OnInitDialog(HWND dialog) {
    mainWindow = dialog;
    HICON icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APPLICATION_ICON),
                                               IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

    HWND list = GetDlgItem(dialog, IDC_FILE_LIST);
    const bool japanese = JapaneseInterface();
    const wchar_t* headers[] = {japanese ? L"WAVファイル名" : L"WAV File",
                                japanese ? L"サンプリング周波数" : L"Frequency",
                                japanese ? L"チャンネル数" : L"Channels"};
    // The layout gives the columns their widths, from the font.
    for (int i = 0; i < 3; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.cx = 0;
        column.pszText = const_cast<wchar_t*>(headers[i]);
        column.iSubItem = i;
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&column));
    }
    LRESULT style = SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 style | LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);

    FillChoices(GetDlgItem(dialog, IDC_FREQUENCY), kFrequencyChoices,
                Limited(theSettings->frequency, kFrequencyChoices), japanese);
    FillChoices(GetDlgItem(dialog, IDC_QUALITY), kQualityChoices,
                Limited(theSettings->quality, kQualityChoices), japanese);
    FillChoices(GetDlgItem(dialog, IDC_CHANNELS), kChannelChoices,
                Limited(theSettings->channels, kChannelChoices), japanese);

    ResetProgress();
    const wchar_t* folder = outputFolder.WideText();
    SetDlgItemTextW(dialog, IDC_OUTPUT_FOLDER, folder != nullptr ? folder : L"");
    DragAcceptFiles(dialog, TRUE);
    EnableWindow(GetDlgItem(dialog, IDC_CANCEL), FALSE);
    m_layout.Attach(dialog);
}

INT_PTR CAppMain::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The window's size and scale are the layout's.
    if (m_layout.HandleMessage(message, wParam, lParam)) return TRUE;
    return CAppBase::DialogProc(window, message, wParam, lParam);
}

void CAppMain::OnCommand(int commandId, int notificationCode) {
    switch (commandId) {
        case IDC_ADD:
            OnAdd();
            break;
        case IDC_DELETE:
            OnDelete();
            break;
        case IDC_ALL_DELETE:
            OnAllDelete();
            break;
        case IDC_BROWSE:
            BrowseOutputFolder();
            break;
        case IDC_CANCEL:
            CancelConversion();
            break;
        case IDC_EXECUTE:
            StartConversion();
            break;
        default:  // menu commands and Esc; the frame ignores the rest
            CAppBase::OnCommand(commandId, notificationCode);
            break;
    }
}

void CAppMain::OnExit() {
    FinishBatch();
    CAppBase::OnExit();
}

bool CAppMain::CanClose(int) {
    FinishBatch();
    return true;
}

void CAppMain::ResetProgress() {
    for (int id : {IDC_FILE_PROGRESS, IDC_BATCH_PROGRESS}) {
        SendDlgItemMessageW(mainWindow, id, PBM_SETRANGE32, 0, 100);
        SendDlgItemMessageW(mainWindow, id, PBM_SETPOS, 0, 0);
    }
}

int CAppMain::SelectedValue(int comboId) const {
    LRESULT index = SendDlgItemMessageW(mainWindow, comboId, CB_GETCURSEL, 0, 0);
    if (index < 0) return 0;
    return static_cast<int>(
        SendDlgItemMessageW(mainWindow, comboId, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
}

void CAppMain::BrowseOutputFolder() {
    // Opened at the folder in the edit box, or the nearest one of its parents that exists.
    HWND folderEdit = GetDlgItem(mainWindow, IDC_OUTPUT_FOLDER);
    std::vector<wchar_t> text(static_cast<std::size_t>(GetWindowTextLengthW(folderEdit)) + 1,
                              L'\0');
    GetWindowTextW(folderEdit, text.data(), static_cast<int>(text.size()));
    std::wstring chosen;
    if (!PickFolder(
            mainWindow,
            JapaneseInterface() ? L"出力先フォルダを選択してください" : L"Select output folder",
            NearestExistingFolder(text.data()), chosen)) {
        return;
    }
    outputFolder.Assign(chosen.c_str());
    theSettings->outputPath.Assign(chosen.c_str());
    theSettings->Save();
    SetDlgItemTextW(mainWindow, IDC_OUTPUT_FOLDER, chosen.c_str());
}

void CAppMain::StartConversion() {
    if (m_count == 0) return;

    // Store what changed in the output controls, and save once.
    bool changed = false;
    // The folder is read whole, however long: a folder cut short would name another one.
    HWND folderEdit = GetDlgItem(mainWindow, IDC_OUTPUT_FOLDER);
    std::vector<wchar_t> text(static_cast<std::size_t>(GetWindowTextLengthW(folderEdit)) + 1,
                              L'\0');
    GetWindowTextW(folderEdit, text.data(), static_cast<int>(text.size()));
    const wchar_t* folder = text.data();
    if (!outputFolder.Equals(folder)) {
        outputFolder.Assign(folder);
        theSettings->outputPath.Assign(folder);
        changed = true;
    }
    const int frequency = SelectedValue(IDC_FREQUENCY);
    if (frequency != Limited(theSettings->frequency, kFrequencyChoices)) {
        theSettings->frequency = frequency;
        changed = true;
    }
    const int quality = SelectedValue(IDC_QUALITY);
    if (quality != Limited(theSettings->quality, kQualityChoices)) {
        theSettings->quality = quality;
        changed = true;
    }
    const int channels = SelectedValue(IDC_CHANNELS);
    if (channels != Limited(theSettings->channels, kChannelChoices)) {
        theSettings->channels = channels;
        changed = true;
    }
    if (changed) theSettings->Save();
    ResetProgress();
    if (BatchRunning()) return;

    // The batch converts its own copy of the list, folder and targets: the window's controls
    // stay usable and what changes there applies to the next batch.
    auto batch = std::make_unique<BatchSnapshot>();
    for (int i = 0; i < m_count; ++i) {
        auto copy = std::make_unique<FileEntry>();
        copy->SetPath(m_entries[i]->FullPath.Bytes());
        copy->params = m_entries[i]->params;
        batch->entries.push_back(std::move(copy));
    }
    batch->outputFolder.AssignString(outputFolder);
    batch->frequency = frequency;
    batch->channels = channels;
    batch->quality = static_cast<Quality>(quality);

    if (m_workerHandle != nullptr) {
        // The previous worker has finished with the window (its id is 0): let it go.
        WaitForSingleObject(m_workerHandle, INFINITE);
        CloseHandle(m_workerHandle);
        m_workerHandle = nullptr;
    }
    m_batch = std::move(batch);
    m_workerHandle = CreateThread(nullptr, 0, WorkerRoutine, this, 0, nullptr);
    if (m_workerHandle == nullptr) return;
    for (int i = 0; i < 1000 && m_workerId.load() == 0; ++i) Sleep(10);
    Sleep(10);
}

void CAppMain::CancelConversion() {
    if (BatchRunning()) m_stop.store(1);
}

DWORD WINAPI CAppMain::WorkerRoutine(LPVOID parameter) {
    if (parameter != nullptr) static_cast<CAppMain*>(parameter)->RunBatch();
    return 0;
}

void CAppMain::RunBatch() {
    m_workerId.store(GetCurrentThreadId());
    m_stop.store(0);
    EnableWindow(GetDlgItem(mainWindow, IDC_CANCEL), TRUE);
    EnableWindow(GetDlgItem(mainWindow, IDC_EXECUTE), FALSE);

    std::vector<const CFileName*> sources;
    for (const auto& entry : m_batch->entries) sources.push_back(entry.get());
    int failed = 0;
    m_failures.clear();
    ConversionTarget target;
    target.folder.AssignString(m_batch->outputFolder);
    target.frequency = m_batch->frequency;
    target.channels = m_batch->channels;
    target.quality = m_batch->quality;
    const bool stopped = RunConversionBatch(sources, target, m_stop, this, 1, &failed);

    // No report when the window is closing: it is waiting for this thread to end.
    if (!m_closing.load()) {
        CString text = FinalReport(stopped, failed);
        const UINT icon = stopped      ? MB_ICONEXCLAMATION
                          : failed > 0 ? MB_ICONWARNING
                                       : MB_ICONINFORMATION;
        MessageBoxW(mainWindow, text.WideText(),
                    JapaneseInterface() ? L"周波数変換" : L"Resampling Audio Frequency",
                    MB_OK | icon);
    }
    EnableWindow(GetDlgItem(mainWindow, IDC_CANCEL), FALSE);
    EnableWindow(GetDlgItem(mainWindow, IDC_EXECUTE), TRUE);
    // The last touch of the window object: from here on a new batch may start.
    m_workerId.store(0);
}

void CAppMain::OnBatchBegin(int fileCount) {
    SendDlgItemMessageW(mainWindow, IDC_BATCH_PROGRESS, PBM_SETRANGE32, 0, fileCount);
    SendDlgItemMessageW(mainWindow, IDC_BATCH_PROGRESS, PBM_SETPOS, 0, 0);
}

void CAppMain::OnFileBegin(int) {
    SendDlgItemMessageW(mainWindow, IDC_FILE_PROGRESS, PBM_SETPOS, 0, 0);
}

void CAppMain::OnFileProgress(unsigned percent) {
    SendDlgItemMessageW(mainWindow, IDC_FILE_PROGRESS, PBM_SETPOS, percent, 0);
}

void CAppMain::OnFileEnd(int filesDone) {
    SendDlgItemMessageW(mainWindow, IDC_BATCH_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(filesDone),
                        0);
    SendDlgItemMessageW(mainWindow, IDC_FILE_PROGRESS, PBM_SETPOS, 100, 0);
}

void CAppMain::FinishBatch() {
    if (m_workerHandle == nullptr) return;
    if (BatchRunning()) {
        m_closing.store(true);
        m_stop.store(1);
        // Nothing else may start while the batch winds down.
        if (mainWindow != nullptr) EnableWindow(mainWindow, FALSE);
        bool quit = false;
        WPARAM quitCode = 0;
        while (MsgWaitForMultipleObjects(1, &m_workerHandle, FALSE, INFINITE, QS_ALLINPUT) ==
               WAIT_OBJECT_0 + 1) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == WM_QUIT) {
                    quit = true;  // handed on once the worker has ended
                    quitCode = message.wParam;
                    continue;
                }
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        if (mainWindow != nullptr) EnableWindow(mainWindow, TRUE);
        if (quit) PostQuitMessage(static_cast<int>(quitCode));
    } else {
        WaitForSingleObject(m_workerHandle, INFINITE);
    }
    CloseHandle(m_workerHandle);
    m_workerHandle = nullptr;
}
