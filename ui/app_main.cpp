#include "ui/app_main.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "base/format.h"
#include "platform/platform.h"
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

// The frequency box shows a stored rate in the typed range as it is, any other limited to the
// choices' range.
int ShownFrequency(int stored) {
    if (stored >= kLowestTypedFrequency && stored <= kHighestTypedFrequency) return stored;
    return Limited(stored, kFrequencyChoices);
}

// The whole text of a control, however long.
std::vector<wchar_t> WindowText(HWND control) {
    std::vector<wchar_t> text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
    return text;
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Creates a folder with the folders missing above it.
bool CreateFolderTree(const wchar_t* folder) {
    std::wstring path(folder);
    while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
    // The lengths of the path's folders from the top down, the path itself last; a drive
    // ("C:") or the start of a network or \\?\ path is never made.
    std::vector<std::size_t> ends;
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (IsSeparator(path[i]) && !IsSeparator(path[i - 1]) && path[i - 1] != L':') {
            ends.push_back(i);
        }
    }
    ends.push_back(path.size());
    std::size_t missing = ends.size();
    while (missing > 0 && !platform::IsFolder(path.substr(0, ends[missing - 1]).c_str())) {
        --missing;
    }
    for (std::size_t k = missing; k < ends.size(); ++k) {
        if (!platform::CreateFolder(path.substr(0, ends[k]).c_str())) return false;
    }
    return true;
}

// The batch bar's steps, and how often at most the line beside Cancel changes.
constexpr int kBatchSteps = 1000;
constexpr ULONGLONG kLineIntervalMs = 250;

}  // namespace

bool ParseFrequency(const wchar_t* text, int* hz) {
    if (text == nullptr) return false;
    // Full-width digits, letters and blanks, as a Japanese input method types them, count as
    // their plain forms.
    auto plain = [](wchar_t c) -> wchar_t {
        if (c == 0x3000) return L' ';
        if (c >= 0xFF01 && c <= 0xFF5E) return static_cast<wchar_t>(c - 0xFEE0);
        return c;
    };
    auto skipBlanks = [&](const wchar_t* p) {
        while (plain(*p) == L' ' || plain(*p) == L'\t') ++p;
        return p;
    };
    const wchar_t* p = skipBlanks(text);
    long long value = 0;
    int digits = 0;
    for (; plain(*p) >= L'0' && plain(*p) <= L'9'; ++p, ++digits) {
        if (value <= kHighestTypedFrequency) value = value * 10 + (plain(*p) - L'0');
    }
    if (digits == 0) return false;
    p = skipBlanks(p);
    if ((plain(p[0]) == L'H' || plain(p[0]) == L'h') &&
        (plain(p[1]) == L'z' || plain(p[1]) == L'Z')) {
        p = skipBlanks(p + 2);
    }
    if (*p != 0 || value < kLowestTypedFrequency || value > kHighestTypedFrequency) return false;
    *hz = static_cast<int>(value);
    return true;
}

CString ProgressLine(const wchar_t* name, int position, int files, double elapsedSeconds,
                     double doneShare, bool japanese) {
    CString line =
        japanese ? FormatString(L"%s を変換しています (%d 個中 %d 個目)", name, files, position)
                 : FormatString(L"Converting %s (%d of %d)", name, position, files);
    // The time so far, scaled by the share still to convert.
    if (elapsedSeconds >= 1.0 && doneShare > 0.0 && doneShare < 1.0) {
        CString left = FormatClock(std::ceil(elapsedSeconds * (1.0 - doneShare) / doneShare));
        line.AppendString(
            FormatString(japanese ? L"、残り約 %s" : L", about %s left", left.WideText()));
    }
    return line;
}

CAppMain::~CAppMain() {
    FinishAdding();
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

    // A stored rate that none of the items names is shown typed in the box.
    HWND frequencyBox = GetDlgItem(dialog, IDC_FREQUENCY);
    const int frequency = ShownFrequency(theSettings->frequency);
    FillChoices(frequencyBox, kFrequencyChoices, frequency, japanese);
    if (SendMessageW(frequencyBox, CB_GETCURSEL, 0, 0) < 0) {
        CString typed = FormatString(L"%dHz", frequency);
        SetWindowTextW(frequencyBox, typed.WideText());
    }
    FillChoices(GetDlgItem(dialog, IDC_QUALITY), kQualityChoices,
                Limited(theSettings->quality, kQualityChoices), japanese);
    FillChoices(GetDlgItem(dialog, IDC_CHANNELS), kChannelChoices,
                Limited(theSettings->channels, kChannelChoices), japanese);
    m_highFormat = Limited(theSettings->sampleFormat, kSampleFormatChoices);
    FillChoices(GetDlgItem(dialog, IDC_SAMPLE_FORMAT), kSampleFormatChoices, m_highFormat,
                japanese);
    ShowSampleFormat();
    CheckDlgButton(dialog, IDC_PREVENT_CLIPPING,
                   theSettings->preventClipping == 1 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_KEEP_SUBFOLDERS,
                   theSettings->keepSubfolders != 0 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SKIP_EXISTING,
                   theSettings->skipExisting == 1 ? BST_CHECKED : BST_UNCHECKED);

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
    if (HandleFolderMessage(message, wParam, lParam)) return TRUE;
    return CAppBase::DialogProc(window, message, wParam, lParam);
}

void CAppMain::OnCommand(int commandId, int notificationCode) {
    switch (commandId) {
        case IDC_ADD:
            OnAdd();
            break;
        case IDC_ADD_FOLDER:
            OnAddFolder();
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
        case IDC_QUALITY:
            if (notificationCode == CBN_SELCHANGE) ShowSampleFormat();
            break;
        case IDCANCEL:  // Esc quits an idle window only
            if (!BatchRunning()) OnExit();
            break;
        default:  // menu commands; the frame ignores the rest
            CAppBase::OnCommand(commandId, notificationCode);
            break;
    }
}

void CAppMain::OnExit() {
    if (!AgreeToQuit()) return;
    FinishAdding();
    FinishBatch();
    CAppBase::OnExit();
}

bool CAppMain::CanClose(int) {
    if (!AgreeToQuit()) return false;
    FinishAdding();
    FinishBatch();
    return true;
}

int CAppMain::MessageText(const wchar_t* text, UINT type) {
    return MessageBoxW(mainWindow, text,
                       JapaneseInterface() ? L"周波数変換" : L"Resampling Audio Frequency", type);
}

bool CAppMain::AgreeToQuit() {
    if (!m_converting.load()) return true;
    // One question at a time: a second request while it is shown is refused.
    if (m_askingToQuit) return false;
    m_askingToQuit = true;
    const int answer =
        MessageText(JapaneseInterface() ? L"変換を実行中です。中断して終了しますか？"
                                        : L"A conversion is running. Stop it and quit?",
                    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    m_askingToQuit = false;
    return answer == IDYES;
}

void CAppMain::ResetProgress() {
    for (int id : {IDC_FILE_PROGRESS, IDC_BATCH_PROGRESS}) {
        SendDlgItemMessageW(mainWindow, id, PBM_SETRANGE32, 0, 100);
        SendDlgItemMessageW(mainWindow, id, PBM_SETPOS, 0, 0);
    }
    SetDlgItemTextW(mainWindow, IDC_PROGRESS_TEXT, L"");
}

void CAppMain::ShowSampleFormat() {
    const bool high = SelectedValue(IDC_QUALITY) == static_cast<int>(Quality::High);
    HWND box = GetDlgItem(mainWindow, IDC_SAMPLE_FORMAT);
    if (!high && IsWindowEnabled(box)) m_highFormat = SelectedValue(IDC_SAMPLE_FORMAT);
    const int shown = high ? m_highFormat : static_cast<int>(SampleType::Int16);
    const int count = static_cast<int>(SendMessageW(box, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        if (SendMessageW(box, CB_GETITEMDATA, static_cast<WPARAM>(i), 0) == shown) {
            SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
        }
    }
    EnableWindow(box, high ? TRUE : FALSE);
    EnableWindow(GetDlgItem(mainWindow, IDC_SAMPLE_FORMAT_LABEL), high ? TRUE : FALSE);
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
    const bool japanese = JapaneseInterface();

    // The frequency as chosen or typed; any other text starts nothing and is never stored.
    int frequency = 0;
    if (!ParseFrequency(WindowText(GetDlgItem(mainWindow, IDC_FREQUENCY)).data(), &frequency)) {
        MessageText(japanese ? L"サンプリング周波数には 1000 から 384000 までの数値 (Hz) を"
                               L"入力してください (例: 22050)。"
                             : L"The sampling frequency must be a number of Hz from 1000 to "
                               L"384000 (for example 22050).",
                    MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    // The folder is read whole, however long: a folder cut short would name another one. A
    // typed folder that does not exist is made first, or nothing starts.
    const std::vector<wchar_t> text = WindowText(GetDlgItem(mainWindow, IDC_OUTPUT_FOLDER));
    const wchar_t* folder = text.data();
    if (!BatchRunning() && folder[0] != 0 && !platform::PathExists(folder) &&
        !MakeOutputFolder(folder)) {
        return;
    }

    // Store what changed in the output controls, and save once.
    bool changed = false;
    if (!outputFolder.Equals(folder)) {
        outputFolder.Assign(folder);
        theSettings->outputPath.Assign(folder);
        changed = true;
    }
    if (frequency != ShownFrequency(theSettings->frequency)) {
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
    // The format box shows 16-bit with Standard; what is stored is the high quality's choice.
    if (quality == static_cast<int>(Quality::High)) m_highFormat = SelectedValue(IDC_SAMPLE_FORMAT);
    if (m_highFormat != Limited(theSettings->sampleFormat, kSampleFormatChoices)) {
        theSettings->sampleFormat = m_highFormat;
        changed = true;
    }
    // A check box's state (1 or 0), stored when it differs from what the stored value shows.
    const auto storeCheck = [&](int id, std::int32_t& stored, bool shown) {
        const int checked = IsDlgButtonChecked(mainWindow, id) == BST_CHECKED ? 1 : 0;
        if (checked != (shown ? 1 : 0)) {
            stored = checked;
            changed = true;
        }
        return checked;
    };
    const int preventClipping = storeCheck(IDC_PREVENT_CLIPPING, theSettings->preventClipping,
                                           theSettings->preventClipping == 1);
    // Keeping subfolders is on by default: only an explicit 0 turns it off.
    const int keepSubfolders = storeCheck(IDC_KEEP_SUBFOLDERS, theSettings->keepSubfolders,
                                          theSettings->keepSubfolders != 0);
    const int skipExisting =
        storeCheck(IDC_SKIP_EXISTING, theSettings->skipExisting, theSettings->skipExisting == 1);
    if (changed) theSettings->Save();
    // The bars of a running batch stay as they are.
    if (BatchRunning()) return;
    ResetProgress();

    // The batch converts its own copy of the list, folder and targets: the window's controls
    // stay usable and what changes there applies to the next batch. Each file's share of the
    // batch bar is its source's duration (all alike when no file has any length).
    auto batch = std::make_unique<BatchSnapshot>();
    std::vector<double> seconds;
    double total = 0;
    for (int i = 0; i < m_count; ++i) {
        auto copy = std::make_unique<FileEntry>();
        copy->SetPath(m_entries[i]->path.Bytes());
        copy->params = m_entries[i]->params;
        copy->frames = m_entries[i]->frames;
        if (keepSubfolders == 1) copy->subfolder.AssignString(m_entries[i]->subfolder);
        const int rate = copy->params.samplingFrequency;
        seconds.push_back(rate > 0 ? static_cast<double>(copy->frames) / rate : 0.0);
        total += seconds.back();
        batch->entries.push_back(std::move(copy));
    }
    double before = 0;
    for (double length : seconds) {
        batch->startShare.push_back(total > 0 ? before / total
                                              : static_cast<double>(batch->startShare.size()) /
                                                    static_cast<double>(seconds.size()));
        before += length;
    }
    batch->startShare.push_back(1.0);
    batch->outputFolder.AssignString(outputFolder);
    batch->frequency = frequency;
    batch->channels = channels;
    batch->quality = static_cast<Quality>(quality);
    batch->keepMetadata = theSettings->keepMetadata != 0;
    if (batch->quality == Quality::High) batch->format = static_cast<SampleType>(m_highFormat);
    batch->dither = static_cast<Dither>(theSettings->dither);
    batch->preventClipping = preventClipping == 1;
    batch->keepSubfolders = keepSubfolders == 1;
    batch->skipExisting = skipExisting == 1;
    batch->nameTemplate.AssignString(theSettings->nameTemplate);

    if (m_workerHandle != nullptr) {
        // The previous worker has finished with the window object (its id is 0): let it go.
        WaitForWorker();
        CloseHandle(m_workerHandle);
        m_workerHandle = nullptr;
    }
    m_batch = std::move(batch);
    m_workerHandle = CreateThread(nullptr, 0, WorkerRoutine, this, 0, nullptr);
    if (m_workerHandle == nullptr) return;
    for (int i = 0; i < 1000 && m_workerId.load() == 0; ++i) Sleep(10);
    Sleep(10);
}

bool CAppMain::MakeOutputFolder(const wchar_t* folder) {
    const bool japanese = JapaneseInterface();
    CString question =
        FormatString(japanese ? L"出力先フォルダ「%s」がありません。作成しますか？"
                              : L"The output folder \"%s\" does not exist. Create it?",
                     folder);
    if (MessageText(question.WideText(), MB_YESNO | MB_ICONQUESTION) != IDYES) return false;
    if (CreateFolderTree(folder)) return true;
    CString failure = FormatString(japanese ? L"出力先フォルダ「%s」を作成できませんでした。"
                                            : L"The output folder \"%s\" could not be created.",
                                   folder);
    MessageText(failure.WideText(), MB_OK | MB_ICONEXCLAMATION);
    return false;
}

void CAppMain::CancelConversion() {
    if (BatchRunning()) m_stop.store(1);
}

DWORD WINAPI CAppMain::WorkerRoutine(LPVOID parameter) {
    if (parameter != nullptr) static_cast<CAppMain*>(parameter)->RunBatch();
    return 0;
}

void CAppMain::RunBatch() {
    m_converting.store(true);
    m_workerId.store(GetCurrentThreadId());
    m_stop.store(0);
    EnableWindow(GetDlgItem(mainWindow, IDC_CANCEL), TRUE);
    EnableWindow(GetDlgItem(mainWindow, IDC_EXECUTE), FALSE);

    std::vector<BatchSource> sources;
    for (const auto& entry : m_batch->entries) {
        BatchSource source;
        source.file = entry.get();
        source.subfolder.AssignString(entry->subfolder);
        sources.push_back(std::move(source));
    }
    int failed = 0;
    m_failures.clear();
    m_stoppedFiles.clear();
    m_clippedFiles.clear();
    m_results.clear();
    m_converted = 0;
    ConversionTarget target;
    target.folder.AssignString(m_batch->outputFolder);
    target.frequency = m_batch->frequency;
    target.channels = m_batch->channels;
    target.quality = m_batch->quality;
    target.keepMetadata = m_batch->keepMetadata;
    // The filter's phase has no control in the window: it is the settings file's.
    target.phase = theSettings != nullptr && theSettings->phase == 1 ? FilterPhase::Minimum
                                                                     : FilterPhase::Linear;
    target.format = m_batch->format;
    target.dither = m_batch->dither;
    target.preventClipping = m_batch->preventClipping;
    target.skipExisting = m_batch->skipExisting;
    target.nameTemplate.AssignString(m_batch->nameTemplate);
    const bool stopped = RunSourceBatch(sources, target, m_stop, this, 1, &failed);
    m_converting.store(false);
    SetDlgItemTextW(mainWindow, IDC_PROGRESS_TEXT, L"");

    // No report when the window is closing: it is waiting for this thread to end.
    if (!m_closing.load()) ShowFinalReport(stopped, failed);
    EnableWindow(GetDlgItem(mainWindow, IDC_CANCEL), FALSE);
    const HWND execute = GetDlgItem(mainWindow, IDC_EXECUTE);
    // The last touch of the window object: from here on a new batch may start. Execute comes
    // back only then, so that a click on it is never taken for one during this batch; the
    // window's thread waits for this one to end before the next starts (WaitForWorker).
    m_workerId.store(0);
    EnableWindow(execute, TRUE);
}

void CAppMain::WaitForWorker() {
    // What the worker sends to the window on its way out (enabling Execute) is handled
    // meanwhile: a plain wait would leave both threads waiting for each other.
    while (MsgWaitForMultipleObjects(1, &m_workerHandle, FALSE, INFINITE, QS_SENDMESSAGE) ==
           WAIT_OBJECT_0 + 1) {
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void CAppMain::OnBatchBegin(int) {
    m_batchBegan = GetTickCount64();
    m_lineShown = 0;
    m_currentFile = 0;
    m_currentStopped = false;
    m_filePosition = m_batchPosition = 0;
    SendDlgItemMessageW(mainWindow, IDC_BATCH_PROGRESS, PBM_SETRANGE32, 0, kBatchSteps);
    SendDlgItemMessageW(mainWindow, IDC_BATCH_PROGRESS, PBM_SETPOS, 0, 0);
}

void CAppMain::OnFileBegin(int index) {
    m_currentFile = index;
    m_currentStopped = false;
    ShowProgress(0.0, true);
}

void CAppMain::OnFileProgress(unsigned percent) {
    ShowProgress(percent / 100.0, false);
}

void CAppMain::OnFileEnd(int filesDone) {
    // A stopped file's bars stay where it stopped.
    if (m_currentStopped) return;
    const std::vector<double>& share = m_batch->startShare;
    const std::size_t done = static_cast<std::size_t>(filesDone);
    const int position =
        static_cast<int>(std::lround((done < share.size() ? share[done] : 1.0) * kBatchSteps));
    if (position != m_batchPosition) {
        SendDlgItemMessageW(mainWindow, IDC_BATCH_PROGRESS, PBM_SETPOS,
                            static_cast<WPARAM>(position), 0);
        m_batchPosition = position;
    }
    if (m_filePosition != 100) {
        SendDlgItemMessageW(mainWindow, IDC_FILE_PROGRESS, PBM_SETPOS, 100, 0);
        m_filePosition = 100;
    }
}

void CAppMain::ShowProgress(double fileShare, bool now) {
    const std::vector<double>& share = m_batch->startShare;
    const std::size_t index = static_cast<std::size_t>(m_currentFile);
    if (index + 1 >= share.size()) return;
    fileShare = std::min(std::max(fileShare, 0.0), 1.0);
    const double done = share[index] + (share[index + 1] - share[index]) * fileShare;
    const int filePosition = static_cast<int>(fileShare * 100);
    const int batchPosition = static_cast<int>(std::lround(done * kBatchSteps));
    if (filePosition != m_filePosition) {
        SendDlgItemMessageW(mainWindow, IDC_FILE_PROGRESS, PBM_SETPOS,
                            static_cast<WPARAM>(filePosition), 0);
        m_filePosition = filePosition;
    }
    if (batchPosition != m_batchPosition) {
        SendDlgItemMessageW(mainWindow, IDC_BATCH_PROGRESS, PBM_SETPOS,
                            static_cast<WPARAM>(batchPosition), 0);
        m_batchPosition = batchPosition;
    }

    const ULONGLONG tick = GetTickCount64();
    if (!now && tick - m_lineShown < kLineIntervalMs) return;
    m_lineShown = tick;
    CString line =
        ProgressLine(m_batch->entries[index]->FileName.WideText(), m_currentFile + 1,
                     static_cast<int>(m_batch->entries.size()),
                     static_cast<double>(tick - m_batchBegan) / 1000.0, done, JapaneseInterface());
    SetDlgItemTextW(mainWindow, IDC_PROGRESS_TEXT, line.WideText());
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
        WaitForWorker();
    }
    CloseHandle(m_workerHandle);
    m_workerHandle = nullptr;
}
