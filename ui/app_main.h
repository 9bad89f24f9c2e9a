// The conversion window, which is also the application: the file list (upper group), the
// output folder, frequency, quality and channel choices (middle group), the two progress bars,
// Cancel and Execute. Execute converts a snapshot of the list on a worker thread; the window stays
// usable, and changes made during a batch apply to the next one.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "app/app_base.h"
#include "base/filename.h"
#include "engine/conversion.h"
#include "media/media_file.h"
#include "ui/layout.h"

// A choice of the output controls: the value it stands for and the label the drop-down shows,
// with a label of its own in the Japanese window where that differs.
struct Choice {
    int value;
    const wchar_t* label;
    const wchar_t* japaneseLabel = nullptr;
};

// The target frequencies, qualities and channel counts offered, in the order shown. A stored value
// outside a table's range is limited to its first or last value.
inline constexpr Choice kFrequencyChoices[] = {{8000, L" 8000Hz"},  {16000, L"16000Hz"},
                                               {32000, L"32000Hz"}, {44100, L"44100Hz"},
                                               {48000, L"48000Hz"}, {96000, L"96000Hz"}};
inline constexpr Choice kQualityChoices[] = {
    {static_cast<int>(Quality::Standard), L"Standard", L"標準"},
    {static_cast<int>(Quality::High), L"High", L"高品質"}};
inline constexpr Choice kChannelChoices[] = {{1, L"1CH"}, {2, L"2CH"}};

// One file of the list: its full path, split, and its format as read when it was added.
struct FileEntry : CFileName {
    MediaParams params;
};

// A short reason why a file of a batch was not converted, in English and in Japanese ("the
// output folder does not exist"), from how it ended and the system's error code. Empty texts
// for a file that did not fail.
struct FailureReason {
    const wchar_t* english;
    const wchar_t* japanese;
};
FailureReason ReasonForFailure(const FileResult& result);

// What one batch converts, taken on the window thread when Execute is pressed.
struct BatchSnapshot {
    std::vector<std::unique_ptr<FileEntry>> entries;
    CString outputFolder;
    int frequency = 0;
    int channels = 0;
    Quality quality = Quality::Standard;
};

class CAppMain : public CAppBase, public CAppEventListener, public ConversionObserver {
  public:
    CAppMain() = default;
    ~CAppMain() override;

    int Run(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) override;
    bool InitInstance(HINSTANCE instance) override;
    LPCWSTR GetDialogTemplate() override;
    void OnInitDialog(HWND dialog) override;
    // Hands the window's size and scale messages to the layout, the rest to the base.
    INT_PTR DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnCommand(int commandId, int notificationCode) override;
    void OnDropFiles(HDROP drop) override;
    void OnExit() override;
    bool CanClose(int reason) override;

    // The file list.
    // Adds folder + "\" + name when it is a WAV file not yet in the list; the list view is
    // refreshed by the caller.
    void AddFile(const wchar_t* folder, const wchar_t* name);
    // Adds a file by its full path exactly as given.
    void AddFilePath(const wchar_t* path);
    // The result buffer of the open-file dialog: one full path, or a folder and names.
    void AddSelectedFiles(const wchar_t* buffer);
    void RefreshFileList();
    void ClearFiles();
    int FileCount() const { return m_count; }
    const FileEntry* Entry(int index) const { return m_entries[index]; }

    void BrowseOutputFolder();
    // Execute: stores changed settings, resets the bars and starts a batch unless one runs.
    void StartConversion();
    // Cancel: asks a running batch to stop after its current chunk.
    void CancelConversion();
    bool BatchRunning() const { return m_workerId.load() != 0; }

    // Progress of the running batch, shown with the two bars (called on the worker thread).
    void OnBatchBegin(int fileCount) override;
    void OnFileBegin(int index) override;
    void OnFileProgress(unsigned percent) override;
    void OnFileEnd(int filesDone) override;
    // Keeps the failed files of the running batch for its final report.
    void OnFileResult(int index, const FileResult& result) override;

    CString outputFolder;  // the window's copy of the output folder

  private:
    static DWORD WINAPI WorkerRoutine(LPVOID parameter);
    void RunBatch();
    // The text of the final report: the outcome, and the failed files, five of them by name.
    CString FinalReport(bool stopped, int failed);
    void ResetProgress();
    void OnAdd();
    void OnDelete();
    void OnAllDelete();
    bool AskRemove();
    // Before the window closes: stops a running batch and waits for the worker, still
    // dispatching messages (its window calls are synchronous).
    void FinishBatch();
    int SelectedValue(int comboId) const;

    FileEntry** m_entries = nullptr;
    int m_capacity = 0;
    int m_count = 0;

    HANDLE m_workerHandle = nullptr;
    std::atomic<DWORD> m_workerId{0};
    std::atomic<int> m_stop{0};
    std::atomic<bool> m_closing{false};
    std::unique_ptr<BatchSnapshot> m_batch;
    // The failed files of the running batch (written and read by its worker only).
    struct FailedFile {
        int index;
        FailureReason reason;
    };
    std::vector<FailedFile> m_failures;
    WindowLayout m_layout;
};
