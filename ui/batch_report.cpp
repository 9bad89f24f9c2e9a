// The final report of a batch: the outcome with how many files were converted and how many
// failed, the file a stop cut short with the time it reached and, for up to five failed files,
// the file's name with a short reason in the interface language. It is shown in a box of its own
// that can open the output folder and save the batch's results log.
#include "ui/app_main.h"

#include <objbase.h>
#include <shellapi.h>

#include <commdlg.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

#include "app/dialogs.h"
#include "base/format.h"
#include "engine/job/results_log.h"
#include "res/resource.h"

namespace {

// Failed files named one by one in the report; the others are counted.
constexpr int kNamedFailures = 5;

// The id of the report's text, the one a message box gives its text.
constexpr int kReportTextId = 0xFFFF;

bool IsOneOf(int code, std::initializer_list<DWORD> codes) {
    for (DWORD listed : codes) {
        if (static_cast<DWORD>(code) == listed) return true;
    }
    return false;
}

bool DiskFull(int code) {
    return IsOneOf(code, {ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL});
}

// The report box: an icon, the text, "Save report" and OK, with "Open folder" when there is a
// folder to open. It sizes itself to its text, as a message box does. Save report keeps it open.
class CReportDialog : public CDialog {
  public:
    INT_PTR RunModal(HINSTANCE instance, int templateId, HWND owner) {
        return RunModalIn(&current, Procedure, instance, templateId, owner);
    }
    INT_PTR DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override {
        const INT_PTR handled = CDialog::DialogProc(hwnd, message, wParam, lParam);
        if (message != WM_INITDIALOG) return handled;
        SetFocus(GetDlgItem(hwnd, IDOK));
        return FALSE;  // the focus is set
    }
    void OnInitDialog(HWND hwnd) override;
    void OnCommand(HWND hwnd, int controlId, int notificationCode) override {
        if (controlId == IDC_OPEN_FOLDER) {
            EndDialog(hwnd, IDC_OPEN_FOLDER);
            return;
        }
        if (controlId == IDC_SAVE_REPORT) {
            if (onSave) onSave(hwnd);
            return;
        }
        CDialog::OnCommand(hwnd, controlId, notificationCode);
    }

    const wchar_t* text = L"";
    HICON icon = nullptr;
    bool offerFolder = false;
    std::function<void(HWND)> onSave;

  private:
    static INT_PTR CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        return current != nullptr ? current->DialogProc(hwnd, message, wParam, lParam) : FALSE;
    }
    static CDialog* current;
};

CDialog* CReportDialog::current = nullptr;

void CReportDialog::OnInitDialog(HWND hwnd) {
    HWND textControl = GetDlgItem(hwnd, kReportTextId);
    HWND ok = GetDlgItem(hwnd, IDOK);
    HWND open = GetDlgItem(hwnd, IDC_OPEN_FOLDER);
    HWND save = GetDlgItem(hwnd, IDC_SAVE_REPORT);
    SetWindowTextW(textControl, text);
    SendDlgItemMessageW(hwnd, IDC_REPORT_ICON, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
    if (!offerFolder) ShowWindow(open, SW_HIDE);

    // The screen the report comes on: the owner's.
    HWND owner = GetWindow(hwnd, GW_OWNER);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(owner != nullptr ? owner : hwnd, MONITOR_DEFAULTTONEAREST),
                    &monitor);
    const int screenWidth = monitor.rcWork.right - monitor.rcWork.left;

    // Sizes in dialog units, as the template gives them, then in pixels.
    auto pixels = [&](int x, int y) {
        RECT r = {0, 0, x, y};
        MapDialogRect(hwnd, &r);
        return r;
    };
    const RECT margin = pixels(7, 7), gap = pixels(4, 4), button = pixels(50, 14);
    const RECT widest = pixels(300, 0), narrowest = pixels(120, 0), spacing = pixels(0, 10);
    HDC dc = GetDC(textControl);
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(textControl, WM_GETFONT, 0, 0));
    HGDIOBJ previous = SelectObject(dc, font);
    // Lines are broken between words, and a word wider than the line (a long file name) within
    // it, as the text control does with its edit-control style.
    const int iconSize = GetSystemMetrics(SM_CXICON);
    const int textLeft = margin.right + iconSize + 2 * gap.right;
    const int roomOnScreen = screenWidth - textLeft - margin.right - 2 * margin.right;
    RECT bounds = {0, 0, std::max<int>(narrowest.right, std::min<int>(widest.right, roomOnScreen)),
                   0};
    DrawTextW(dc, text, -1, &bounds,
              DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_EXPANDTABS | DT_NOPREFIX);
    // A button is as wide as its label needs, and at least as the template's.
    auto labelWidth = [&](HWND control) {
        wchar_t label[64] = L"";
        GetWindowTextW(control, label, 64);
        RECT labelBounds = {0, 0, 0, 0};
        DrawTextW(dc, label, -1, &labelBounds, DT_CALCRECT | DT_SINGLELINE);
        return labelBounds.right;
    };
    const int openLabel = labelWidth(open), saveLabel = labelWidth(save);
    SelectObject(dc, previous);
    ReleaseDC(textControl, dc);

    const int textWidth = std::max<int>(bounds.right, narrowest.right);
    const int textHeight = bounds.bottom;
    const int contentHeight = std::max(iconSize, textHeight);
    const int okWidth = button.right;
    const int openWidth = std::max<int>(button.right, openLabel + 2 * margin.right);
    const int saveWidth = std::max<int>(button.right, saveLabel + 2 * margin.right);
    const int buttonsWidth =
        okWidth + gap.right + saveWidth + (offerFolder ? gap.right + openWidth : 0);
    const int width =
        std::max(textLeft + textWidth + margin.right, buttonsWidth + 2 * margin.right);
    const int buttonsTop = margin.bottom + contentHeight + spacing.bottom;
    const int height = buttonsTop + button.bottom + margin.bottom;

    SetWindowPos(GetDlgItem(hwnd, IDC_REPORT_ICON), nullptr, margin.right, margin.bottom, iconSize,
                 iconSize, SWP_NOZORDER);
    SetWindowPos(textControl, nullptr, textLeft,
                 margin.bottom + std::max(0, (iconSize - textHeight) / 2), textWidth, textHeight,
                 SWP_NOZORDER);
    SetWindowPos(ok, nullptr, width - margin.right - okWidth, buttonsTop, okWidth, button.bottom,
                 SWP_NOZORDER);
    const int openLeft = width - margin.right - okWidth - gap.right - openWidth;
    SetWindowPos(open, nullptr, openLeft, buttonsTop, openWidth, button.bottom, SWP_NOZORDER);
    const int saveRight =
        offerFolder ? openLeft - gap.right : width - margin.right - okWidth - gap.right;
    SetWindowPos(save, nullptr, saveRight - saveWidth, buttonsTop, saveWidth, button.bottom,
                 SWP_NOZORDER);

    // The frame around that client area, centred on the owner within its screen's work area.
    RECT frame = {0, 0, width, height};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE)));
    const int frameWidth = frame.right - frame.left, frameHeight = frame.bottom - frame.top;
    RECT around = {};
    if (owner == nullptr || !GetWindowRect(owner, &around)) around = monitor.rcWork;
    int left = (around.left + around.right - frameWidth) / 2;
    int top = (around.top + around.bottom - frameHeight) / 2;
    left =
        std::max<int>(monitor.rcWork.left, std::min<int>(left, monitor.rcWork.right - frameWidth));
    top =
        std::max<int>(monitor.rcWork.top, std::min<int>(top, monitor.rcWork.bottom - frameHeight));
    SetWindowPos(hwnd, nullptr, left, top, frameWidth, frameHeight, SWP_NOZORDER);
}

}  // namespace

FailureReason ReasonForFailure(const FileResult& result) {
    const int code = result.systemError;
    switch (result.status) {
        case FileStatus::SourceUnreadable:
            if (result.sourceError != WaveError::CannotOpen) {
                return {L"not a WAV file that can be converted",
                        L"変換できるWAVファイルではありません"};
            }
            if (IsOneOf(code, {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE,
                               ERROR_BAD_NETPATH, ERROR_BAD_NET_NAME})) {
                return {L"the file no longer exists", L"ファイルが見つかりません"};
            }
            return {L"the file cannot be opened", L"ファイルを開けません"};
        case FileStatus::UnsupportedRatio:
            return {L"its sampling frequency is too far from the target's",
                    L"サンプリング周波数が変換先と離れすぎています"};
        case FileStatus::UnusableName:
            return {L"no output name can be made from its name",
                    L"このファイル名から出力ファイル名を作れません"};
        case FileStatus::OutputFailed:
            if (code == platform::kErrorNotFolder) {
                return {L"a file or a link has the name of a folder its output needs",
                        L"出力先に必要なフォルダと同じ名前のファイルかリンクがあります"};
            }
            if (IsOneOf(code, {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE,
                               ERROR_BAD_NETPATH, ERROR_BAD_NET_NAME, ERROR_DIRECTORY})) {
                return {L"the output folder does not exist", L"出力先フォルダがありません"};
            }
            if (IsOneOf(code, {ERROR_ACCESS_DENIED, ERROR_WRITE_PROTECT, ERROR_SHARING_VIOLATION,
                               ERROR_NETWORK_ACCESS_DENIED})) {
                return {L"the output folder cannot be written", L"出力先フォルダに書き込めません"};
            }
            if (DiskFull(code)) return {L"the disk is full", L"ディスクの空きがありません"};
            if (IsOneOf(code, {ERROR_INVALID_NAME, ERROR_FILENAME_EXCED_RANGE})) {
                return {L"the output folder's name is not valid",
                        L"出力先フォルダの名前が正しくありません"};
            }
            return {L"the output file cannot be created", L"出力ファイルを作成できません"};
        case FileStatus::NoFreeName:
            if (code == platform::kErrorNotRegularFile) {
                return {L"its output name is a device name, not a file",
                        L"出力ファイル名がデバイス名で、ファイルになりません"};
            }
            return {L"every output name is taken", L"出力ファイル名がすべて使われています"};
        case FileStatus::OutOfMemory:
            return {L"not enough memory", L"メモリが足りません"};
        case FileStatus::ReadFailed:
            return {L"the file changed while it was converted",
                    L"変換中にファイルが変更されました"};
        case FileStatus::WriteFailed:
            if (DiskFull(code)) return {L"the disk is full", L"ディスクの空きがありません"};
            return {L"the output file could not be written", L"出力ファイルに書き込めませんでした"};
        case FileStatus::SizeLimit:
            return {L"the output reached the 4 GiB limit of a WAV file",
                    L"出力がWAVファイルの上限 (4 GiB) に達しました"};
        case FileStatus::UnusableTemplate:
            return {L"the name template makes no usable output name from its name",
                    L"名前のテンプレートからこのファイルの出力ファイル名を作れません"};
        case FileStatus::Converted:
        case FileStatus::Stopped:
        case FileStatus::NotStarted:
        case FileStatus::Skipped:
            break;
    }
    return {L"", L""};
}

void CAppMain::OnFileResult(int index, const FileResult& result) {
    // A file whose output was there already, complete, counts as converted.
    if (result.status == FileStatus::Converted || result.status == FileStatus::Skipped) {
        ++m_converted;
    }
    // The batch itself holds up without the names: a failed allocation only shortens the lists.
    try {
        const std::size_t count = m_batch->entries.size();
        if (m_results.size() != count) m_results.resize(count);
        if (index >= 0 && static_cast<std::size_t>(index) < count) {
            m_results[static_cast<std::size_t>(index)] = CopyOfResult(result);
        }
        if (result.status == FileStatus::Stopped) {
            // The bars show exactly where it stopped, and stay there.
            m_currentStopped = true;
            if (result.sourceFrames > 0) {
                ShowProgress(static_cast<double>(result.sourceFramesDone) /
                                 static_cast<double>(result.sourceFrames),
                             false);
            }
            // The output, under whatever name it got, holds the part converted.
            CFileName output;
            output.SetPath(result.outputPath.Bytes());
            StoppedFile stopped{index, CString(), SecondsDone(result), SourceSeconds(result)};
            stopped.output.AssignString(
                output.FileName.Length() > 0
                    ? output.FileName
                    : m_batch->entries[static_cast<std::size_t>(index)]->FileName);
            m_stoppedFiles.push_back(std::move(stopped));
        }
        if (IsFailure(result.status)) m_failures.push_back({index, ReasonForFailure(result)});
        if (result.clipped > 0) m_clippedFiles.push_back({index, result.clipped, result.peakDb});
    } catch (const std::bad_alloc&) {
    }
}

CString CAppMain::FinalReport(bool stopped, int failed) {
    const bool japanese = JapaneseInterface();
    const int total = static_cast<int>(m_batch->entries.size());
    CString text;
    if (!stopped && failed == 0) {
        text.Assign(japanese ? L"周波数の変換が完了しました" : L"Resampling complete.");
        AppendClippedFiles(text, japanese);
        return text;
    }
    // The counts; the Japanese sentence names the total first.
    if (japanese) {
        text.Assign(stopped ? L"周波数の変換を中断しました。" : L"周波数の変換が終わりました。");
        text.AppendString(
            failed == 0
                ? FormatString(L"%d 個中 %d 個のファイルを変換しました。", total, m_converted)
                : FormatString(L"%d 個中 %d 個のファイルを変換し、%d 個は変換できませんでした。",
                               total, m_converted, failed));
    } else if (failed == 0) {
        text = FormatString(L"Resampling stopped: %d of %d files converted.", m_converted, total);
    } else {
        text = FormatString(stopped ? L"Resampling stopped: %d of %d files converted, %d could "
                                      L"not be."
                                    : L"Resampling finished: %d of %d files converted, %d could "
                                      L"not be.",
                            m_converted, total, failed);
    }
    // The names are passed as arguments, never used as formats.
    for (StoppedFile& file : m_stoppedFiles) {
        CString reached = FormatClock(file.secondsDone), length = FormatClock(file.seconds);
        text.Append(L"\n");
        text.AppendString(
            japanese ? FormatString(L"%s は %s のうち %s まで変換したところで中断しました。",
                                    file.output.WideText(), length.WideText(), reached.WideText())
                     : FormatString(L"%s was stopped at %s of %s.", file.output.WideText(),
                                    reached.WideText(), length.WideText()));
    }
    if (failed == 0) {
        AppendClippedFiles(text, japanese);
        return text;
    }
    text.Append(L"\n");
    int named = 0;
    for (const FailedFile& failure : m_failures) {
        if (named == kNamedFailures) break;
        if (failure.index < 0 || failure.index >= total) continue;
        text.Append(L"\n");
        text.AppendString(m_batch->entries[static_cast<std::size_t>(failure.index)]->FileName);
        text.Append(L": ");
        text.Append(japanese ? failure.reason.japanese : failure.reason.english);
        ++named;
    }
    if (failed > named) {
        text.AppendString(
            FormatString(japanese ? L"\nほか %d 個" : L"\nand %d more", failed - named));
    }
    AppendClippedFiles(text, japanese);
    return text;
}

void CAppMain::AppendClippedFiles(CString& text, bool japanese) const {
    if (m_clippedFiles.empty()) return;
    const int total = static_cast<int>(m_batch->entries.size());
    text.Append(japanese ? L"\n\nクリップしたファイル:" : L"\n\nClipped:");
    int named = 0;
    for (const ClippedFile& file : m_clippedFiles) {
        if (named == kNamedFailures) break;
        if (file.index < 0 || file.index >= total) continue;
        CString peak = FormatTenths(file.peakDb, true);
        text.Append(L"\n");
        text.AppendString(m_batch->entries[static_cast<std::size_t>(file.index)]->FileName);
        std::wstring count = std::to_wstring(file.samples);
        for (int at = static_cast<int>(count.size()) - 3; at > 0; at -= 3) {
            count.insert(static_cast<std::size_t>(at), 1, L',');
        }
        text.AppendString(FormatString(
            japanese ? L": %s サンプル (ピーク %s dBFS)" : L": %s samples (peak %s dBFS)",
            count.c_str(), peak.WideText()));
        ++named;
    }
    const int others = static_cast<int>(m_clippedFiles.size()) - named;
    if (others > 0) {
        text.AppendString(FormatString(japanese ? L"\nほか %d 個" : L"\nand %d more", others));
    }
}

namespace {

bool AskReportName(HWND owner, bool japanese, std::wstring& chosen) {
    wchar_t name[MAX_PATH * 4] = L"report.csv";
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter =
        japanese ? L"CSV ファイル (*.csv)\0*.csv\0JSON Lines ファイル (*.jsonl)\0*.jsonl\0"
                 : L"CSV files (*.csv)\0*.csv\0JSON Lines files (*.jsonl)\0*.jsonl\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = name;
    dialog.nMaxFile = sizeof name / sizeof name[0];
    dialog.lpstrTitle = japanese ? L"レポートを保存" : L"Save report";
    dialog.lpstrDefExt = L"csv";
    dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_OVERWRITEPROMPT;
    if (!GetSaveFileNameW(&dialog)) return false;
    chosen = name;
    // The JSON Lines choice gives its extension to a name typed without it.
    const std::wstring jsonl = L".jsonl";
    if (dialog.nFilterIndex == 2 &&
        (chosen.size() < jsonl.size() ||
         _wcsicmp(chosen.c_str() + chosen.size() - jsonl.size(), jsonl.c_str()) != 0)) {
        if (chosen.size() > 4 && _wcsicmp(chosen.c_str() + chosen.size() - 4, L".csv") == 0) {
            chosen.resize(chosen.size() - 4);
        }
        chosen += jsonl;
    }
    return true;
}

// The folder part of a path ("" when it has none).
std::wstring FolderOf(const CString& path) {
    CString copy;
    copy.AssignString(path);
    const wchar_t* text = copy.WideText();
    const std::wstring whole = text != nullptr ? text : L"";
    const std::size_t last = whole.find_last_of(L"\\/");
    return last == std::wstring::npos ? std::wstring() : whole.substr(0, last);
}

}  // namespace

bool (*askReportName)(HWND owner, bool japanese, std::wstring& chosen) = AskReportName;

void CAppMain::SaveReport(HWND owner) {
    const bool japanese = JapaneseInterface();
    std::wstring name;
    if (askReportName == nullptr || !askReportName(owner, japanese, name) || name.empty()) return;
    std::vector<ResultsLogRow> rows;
    ConversionTarget target;
    try {
        const std::size_t count = m_batch->entries.size();
        for (std::size_t i = 0; i < count; ++i) {
            ResultsLogRow row;
            row.source.AssignString(m_batch->entries[i]->FullPath);
            if (i < m_results.size()) row.result = CopyOfResult(m_results[i]);
            rows.push_back(std::move(row));
        }
    } catch (const std::bad_alloc&) {
        rows.clear();
    }
    target.frequency = m_batch->frequency;
    target.channels = m_batch->channels;
    target.quality = m_batch->quality;
    target.format = m_batch->format;
    CString path(name.c_str());
    if (!rows.empty() && WriteResultsLog(path, rows, target)) return;
    MessageBoxW(owner,
                japanese ? L"レポートを保存できませんでした。" : L"The report could not be saved.",
                japanese ? L"周波数変換" : L"Resampling Audio Frequency", MB_OK | MB_ICONWARNING);
}

void CAppMain::ShowFinalReport(bool stopped, int failed) {
    CString text = FinalReport(stopped, failed);
    // The output folder, or without one the folder of the first output made beside its source.
    CString folder;
    folder.AssignString(m_batch->outputFolder);
    if (folder.Length() == 0) {
        for (const FileResult& result : m_results) {
            if (result.outputPath.Length() == 0) continue;
            folder = CString(FolderOf(result.outputPath).c_str());
            break;
        }
    }
    const wchar_t* folderText = folder.WideText();

    CReportDialog report;
    report.text = text.WideText() != nullptr ? text.WideText() : L"";
    const UINT kind = stopped      ? MB_ICONEXCLAMATION
                      : failed > 0 ? MB_ICONWARNING
                                   : MB_ICONINFORMATION;
    report.icon = LoadIconW(nullptr, stopped      ? IDI_EXCLAMATION
                                     : failed > 0 ? IDI_WARNING
                                                  : IDI_INFORMATION);
    report.offerFolder = folderText != nullptr && platform::IsFolder(folderText);
    report.onSave = [this](HWND owner) { SaveReport(owner); };
    MessageBeep(kind);
    const INT_PTR answer =
        report.RunModal(instance, JapaneseInterface() ? IDD_REPORT_JA : IDD_REPORT_EN, mainWindow);
    if (answer != IDC_OPEN_FOLDER || !report.offerFolder) return;

    // The shell opens the folder by its full path; it may need COM on this thread.
    std::vector<wchar_t> full(static_cast<std::size_t>(folder.Length()) + 1, L'\0');
    int length = platform::FullPath(folderText, full.data(), static_cast<int>(full.size()));
    if (length >= static_cast<int>(full.size())) {
        full.assign(static_cast<std::size_t>(length) + 1, L'\0');
        length = platform::FullPath(folderText, full.data(), static_cast<int>(full.size()));
    }
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const bool whole = length > 0 && length < static_cast<int>(full.size());
    ShellExecuteW(mainWindow, L"open", whole ? full.data() : folderText, nullptr, nullptr,
                  SW_SHOWNORMAL);
    if (SUCCEEDED(com)) CoUninitialize();
}
