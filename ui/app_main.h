// The conversion window, which is also the application: the file list (upper group), the
// output folder, frequency, quality and channel choices (middle group), the two progress bars,
// Cancel and Execute. Execute converts a snapshot of the list on a worker thread; the window stays
// usable, and changes made during a batch apply to the next one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "app/app_base.h"

#include <commctrl.h>

#include "base/filename.h"
#include "engine/job/conversion.h"
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
// outside a table's range is limited to its first or last value; the frequency box also takes
// any rate typed in it from kLowestTypedFrequency to kHighestTypedFrequency, and shows a stored
// one in that range as it is.
inline constexpr Choice kFrequencyChoices[] = {{8000, L" 8000Hz"},  {16000, L"16000Hz"},
                                               {32000, L"32000Hz"}, {44100, L"44100Hz"},
                                               {48000, L"48000Hz"}, {96000, L"96000Hz"}};
inline constexpr Choice kQualityChoices[] = {
    {static_cast<int>(Quality::Standard), L"Standard", L"標準"},
    {static_cast<int>(Quality::High), L"High", L"高品質"}};
inline constexpr Choice kChannelChoices[] = {{1, L"1CH"}, {2, L"2CH"}};
// The high quality's sample formats, by their SampleType values; the standard quality writes
// the first.
inline constexpr Choice kSampleFormatChoices[] = {
    {static_cast<int>(SampleType::Int16), L"16-bit", L"16ビット"},
    {static_cast<int>(SampleType::Int24), L"24-bit", L"24ビット"},
    {static_cast<int>(SampleType::Float32), L"32-bit float", L"32ビット浮動小数点"}};
constexpr int kLowestTypedFrequency = 1000;
constexpr int kHighestTypedFrequency = 384000;

// A frequency typed in the frequency box: a number of Hz, with or without "Hz" after it and
// blanks around either ("22050", "22050Hz", " 22050 Hz"). False for any other text and for a
// rate outside the typed range.
bool ParseFrequency(const wchar_t* text, int* hz);

// The line beside Cancel while a batch runs: the file being converted, its place in the batch
// and, once the batch has run for a second, the time left, estimated from the time so far and
// the share of the batch's source duration done (0 to 1).
CString ProgressLine(const wchar_t* name, int position, int files, double elapsedSeconds,
                     double doneShare, bool japanese);

// One file of a batch: its full path, split, and its format and length as read when it was
// added to the list.
struct FileEntry : CFileName {
    MediaParams params;
    std::uint64_t frames = 0;
    // For a file added with its folder: the folders between that folder and the file ("" for
    // one directly in it), which its output keeps below the output folder.
    CString subfolder;
};

// One row of the list: the file's full path as it was added, the subfolder it was found in (""
// for a file added by itself or directly in the folder added), and its format and length as read
// then. Kept small, for lists of many thousand files; a batch splits the path when it starts.
struct ListedFile {
    CString path;
    CString subfolder;
    MediaParams params;
    std::uint64_t frames = 0;
};

// The line under the list after folders were added, when any file or folder was left out:
// "214 files added, 3 skipped: not WAV files" (and "1 folder could not be read"). Empty when
// nothing was left out.
CString FolderAddedLine(int added, int notWav, int unreadableFolders, bool japanese);
// The list's count as its group shows it: "20,000 files"; empty for an empty list.
CString ListCountText(int files, bool japanese);

// A short reason why a file of a batch was not converted, in English and in Japanese ("the
// output folder does not exist"), from how it ended and the system's error code. Empty texts
// for a file that did not fail.
struct FailureReason {
    const wchar_t* english;
    const wchar_t* japanese;
};
FailureReason ReasonForFailure(const FileResult& result);

// Asks where to save a batch's results log, in the interface language: the save-file dialog,
// offering CSV and JSON Lines. True with the name chosen. A test may put its own function here.
extern bool (*askReportName)(HWND owner, bool japanese, std::wstring& chosen);

// What one batch converts, taken on the window thread when Execute is pressed.
struct BatchSnapshot {
    std::vector<std::unique_ptr<FileEntry>> entries;
    // Where each file starts in the batch, as a share of the whole by source duration; one
    // more value, 1, closes the list.
    std::vector<double> startShare;
    CString outputFolder;
    int frequency = 0;
    int channels = 0;
    Quality quality = Quality::Standard;
    bool keepMetadata = true;
    // From the settings: the sample format (16-bit with the standard quality), the dither and
    // whether clipping is prevented.
    SampleType format = SampleType::Int16;
    Dither dither = Dither::Tpdf;
    bool preventClipping = false;
    // Outputs of files added with folders go to their subfolders; converted ones are skipped.
    bool keepSubfolders = true;
    bool skipExisting = false;
    CString nameTemplate;
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
    // The list's keys: Delete removes the selected rows, Ctrl+A selects them all.
    void OnNotify(int controlId, NMHDR* notification) override;
    void OnDropFiles(HDROP drop) override;
    // Exit and Esc, and the close box: while a conversion runs, only after the user agreed to
    // stop it (Esc alone never quits then).
    void OnExit() override;
    bool CanClose(int reason) override;

    // The file list.
    enum class AddResult { Added, AlreadyListed, NotWav, NoMemory };
    // Adds folder + "\" + name when it is a WAV file not yet in the list; the list view is
    // refreshed by the caller.
    AddResult AddFile(const wchar_t* folder, const wchar_t* name);
    // Adds a file by its full path exactly as given.
    AddResult AddFilePath(const wchar_t* path);
    // The result buffer of the open-file dialog: one full path, or a folder and names. Returns
    // how many of the files were left out as not WAV files.
    int AddSelectedFiles(const wchar_t* buffer);
    // Adds every WAV file below a folder, with its subfolder, on a thread of its own: the
    // window stays usable, the line under the list counts the files looked at, and the files
    // join the list (in the walk's order, those not yet listed) once the folder is done.
    // Folders given while one is added wait their turn.
    void AddFolder(const wchar_t* folder);
    bool AddingFolders();
    void RefreshFileList();
    void ClearFiles();
    int FileCount() const { return m_count; }
    const ListedFile* Entry(int index) const { return m_entries[index]; }

    void BrowseOutputFolder();
    // Execute: checks the typed frequency and the output folder, stores changed settings,
    // resets the bars and starts a batch unless one runs.
    void StartConversion();
    // Cancel: asks a running batch to stop after its current chunk.
    void CancelConversion();
    bool BatchRunning() const { return m_workerId.load() != 0; }

    // Progress of the running batch, shown with the two bars and the line beside Cancel (called
    // on the worker thread).
    void OnBatchBegin(int fileCount) override;
    void OnFileBegin(int index) override;
    void OnFileProgress(unsigned percent) override;
    void OnFileEnd(int filesDone) override;
    // Keeps the outcome of each file of the running batch for its final report.
    void OnFileResult(int index, const FileResult& result) override;

    CString outputFolder;  // the window's copy of the output folder

  private:
    static DWORD WINAPI WorkerRoutine(LPVOID parameter);
    static DWORD WINAPI FolderRoutine(LPVOID parameter);
    void AddQueuedFolders();
    // The messages the folder thread posts: how far it got, and a folder's files.
    void OnFolderProgress(int looked, int found);
    void OnFolderAdded(LPARAM result);
    // Before the window closes: stops adding folders and waits for that thread.
    void FinishAdding();
    void OnAddFolder();
    bool HandleFolderMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // Puts an entry at the end of the list; false when there is no memory for it.
    bool Append(std::unique_ptr<ListedFile> entry);
    // A row's text, asked for by the list.
    void ShowRow(NMLVDISPINFOW* info);
    void RunBatch();
    // The text of the final report: the outcome with the counts, the stopped file with the time
    // it reached, and the failed files, five of them by name.
    CString FinalReport(bool stopped, int failed);
    // The report's last part: the files whose outputs clipped, five of them by name with the
    // count and the peak.
    void AppendClippedFiles(CString& text, bool japanese) const;
    // Shows the final report (with "Open folder" when the batch wrote into a folder that
    // exists, or beside its sources, and "Save report") and opens the folder when asked.
    void ShowFinalReport(bool stopped, int failed);
    // Asks for a name and writes the batch's results log there, saying so when it fails.
    void SaveReport(HWND owner);
    void ResetProgress();
    // Moves the bars to a share (0 to 1) of the current file, each only when its position
    // changes, and, at most a few times a second unless `now`, the line with the current file and
    // the time left.
    void ShowProgress(double fileShare, bool now);
    void OnAdd();
    void OnDelete();
    void OnAllDelete();
    bool AskRemove(int files);
    void SelectAllRows();
    // The line under the list after it changed: how many files were left out, or nothing.
    void ShowLeftOut(int notWav);
    // Whether the window may quit now: asks first while a conversion runs.
    bool AgreeToQuit();
    // The typed output folder does not exist: asks whether to create it and does so. True
    // when the batch may start.
    bool MakeOutputFolder(const wchar_t* folder);
    // Before the window closes: stops a running batch and waits for the worker, still
    // dispatching messages (its window calls are synchronous).
    void FinishBatch();
    // Waits for the worker thread to end (it has let go of the window object).
    void WaitForWorker();
    int SelectedValue(int comboId) const;
    // The sample format box follows the quality: with High it shows the high quality's format
    // and can be changed, with Standard it shows 16-bit, greyed.
    void ShowSampleFormat();
    // The format chosen for the high quality, kept while Standard is selected (a SampleType).
    int m_highFormat = 0;
    int MessageText(const wchar_t* text, UINT type);

    ListedFile** m_entries = nullptr;
    int m_capacity = 0;
    int m_count = 0;
    // The full paths in the list, as stored bytes: views of the entries' own paths.
    std::unordered_set<std::string_view> m_listed;

    HANDLE m_folderHandle = nullptr;
    std::mutex m_folderLock;  // guards the two below
    std::vector<std::wstring> m_folderQueue;
    bool m_addingFolders = false;
    std::atomic<int> m_folderStop{0};

    HANDLE m_workerHandle = nullptr;
    std::atomic<DWORD> m_workerId{0};
    std::atomic<int> m_stop{0};
    std::atomic<bool> m_closing{false};
    // True while the worker converts (before its final report).
    std::atomic<bool> m_converting{false};
    bool m_askingToQuit = false;
    std::unique_ptr<BatchSnapshot> m_batch;
    // The outcome of the running batch (written and read by its worker only).
    struct FailedFile {
        int index;
        FailureReason reason;
    };
    std::vector<FailedFile> m_failures;
    struct StoppedFile {
        int index;
        CString output;  // the output's file name, which holds the part converted
        double secondsDone;
        double seconds;
    };
    std::vector<StoppedFile> m_stoppedFiles;
    struct ClippedFile {
        int index;
        std::uint64_t samples;
        double peakDb;
    };
    std::vector<ClippedFile> m_clippedFiles;
    std::vector<FileResult> m_results;  // each file's, by its index (NotStarted when not reached)
    int m_converted = 0;
    // Progress shown (worker only): the current file, whether it stopped, the bars' positions,
    // and when the batch began and the line last changed.
    int m_currentFile = 0;
    bool m_currentStopped = false;
    int m_filePosition = -1;
    int m_batchPosition = -1;
    ULONGLONG m_batchBegan = 0;
    ULONGLONG m_lineShown = 0;
    WindowLayout m_layout;
};
