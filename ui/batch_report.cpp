// The final report of a batch: the outcome, how many files failed and, for up to five of them,
// the file's name with a short reason in the interface language.
#include "ui/app_main.h"

#include <initializer_list>
#include <new>

#include "base/format.h"

namespace {

// Failed files named one by one in the report; the others are counted.
constexpr int kNamedFailures = 5;

bool IsOneOf(int code, std::initializer_list<DWORD> codes) {
    for (DWORD listed : codes) {
        if (static_cast<DWORD>(code) == listed) return true;
    }
    return false;
}

bool DiskFull(int code) {
    return IsOneOf(code, {ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL});
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
        case FileStatus::Converted:
        case FileStatus::Stopped:
        case FileStatus::NotStarted:
            break;
    }
    return {L"", L""};
}

void CAppMain::OnFileResult(int index, const FileResult& result) {
    if (!IsFailure(result.status)) return;
    // The batch itself holds up without the names: a failed allocation only shortens the list.
    try {
        m_failures.push_back({index, ReasonForFailure(result)});
    } catch (const std::bad_alloc&) {
    }
}

CString CAppMain::FinalReport(bool stopped, int failed) {
    const bool japanese = JapaneseInterface();
    const int total = static_cast<int>(m_batch->entries.size());
    CString text;
    if (failed == 0) {
        if (stopped) {
            text.Assign(japanese ? L"周波数の変換を中断しました" : L"Resampling stopped.");
        } else {
            text.Assign(japanese ? L"周波数の変換が完了しました" : L"Resampling complete.");
        }
        return text;
    }
    // The Japanese sentence names the total first.
    if (japanese) {
        text = FormatString(stopped ? L"周波数の変換を中断しました。%d 個中 %d 個のファイルを"
                                      L"変換できませんでした。"
                                    : L"周波数の変換が完了しました。%d 個中 %d 個のファイルを"
                                      L"変換できませんでした。",
                            total, failed);
    } else {
        text = FormatString(stopped ? L"Resampling stopped. %d of %d files could not be converted."
                                    : L"Resampling complete. %d of %d files could not be "
                                      L"converted.",
                            failed, total);
    }
    text.Append(L"\n");
    int named = 0;
    for (const FailedFile& failure : m_failures) {
        if (named == kNamedFailures) break;
        if (failure.index < 0 || failure.index >= total) continue;
        // The name is appended as it is, never used as a format.
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
    return text;
}
