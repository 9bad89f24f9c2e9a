// The conversion job: converts a list of WAV files into new PCM WAV files at a target sampling
// frequency and channel count, one after the other or several at once. It needs no window: it
// runs on the calling thread (and threads of its own when asked) and reports through an
// observer, so the window, the command line and the tests all drive the same code.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/cstring.h"
#include "base/filename.h"
#include "engine/resampler.h"
#include "media/wave_file.h"

// How a batch resamples: the design's resampler on 16-bit samples (the default), or the
// high-quality resampler on float samples.
enum class Quality { Standard = 0, High = 1 };

// What a batch makes of each source. An empty folder means beside the source; bitsPerSample is
// 16, or 24 with the high quality.
struct ConversionTarget {
    CString folder;
    int frequency = 0;
    int channels = 0;
    Quality quality = Quality::Standard;
    int bitsPerSample = 16;
};

// Source frames read per chunk.
constexpr int kChunkFrames = 2560;
// Suffix numbers 0 to 9998 are tried for an output name.
constexpr int kOutputNameCandidates = 9999;

// How one file of a batch ended.
enum class FileStatus {
    Converted,
    Stopped,           // the stop flag ended it; the output holds what was converted
    NotStarted,        // the batch was stopped before this file
    SourceUnreadable,  // the source no longer opens as a WAV file this program reads
    UnsupportedRatio,  // the source's rate is 1024 times the target's or more, or 1/1024 or less
    OutputFailed,      // the output could not be created (folder missing, no access, ...)
    NoFreeName,        // all output name candidates are taken; with systemError
                       // platform::kErrorNotRegularFile the system takes them for a device
    UnusableName,      // the source's base name is empty, "." or "..": no output name is made
    OutOfMemory,
    ReadFailed,   // the source ended before its data size (changed while converting)
    WriteFailed,  // the output could not be written completely (disk full, ...)
    SizeLimit,    // the output reached the largest size a WAV file can describe
};

// True for the statuses that mean the file was not converted as asked.
bool IsFailure(FileStatus status);

struct FileResult {
    FileStatus status = FileStatus::NotStarted;
    WaveError sourceError = WaveError::None;  // with SourceUnreadable
    int systemError = 0;                      // the system's error code, where there is one
    CString outputPath;                       // the output's name, once it was created
    std::uint64_t framesWritten = 0;
    // The source's length and how far the conversion got in it, in source frames (known once
    // the source opened), so that a stopped or cut file can say where it ends.
    std::uint64_t sourceFrames = 0;
    std::uint64_t sourceFramesDone = 0;
    std::uint32_t sourceRate = 0;
};

// The source's length and the part converted, in seconds (0 when the rate is unknown).
double SourceSeconds(const FileResult& result);
double SecondsDone(const FileResult& result);

// A one-line English description of a failed or stopped file ("cannot create ...", "stopped
// at 2:18 of 10:00; ... holds the part converted so far"), with the output's name as showName
// shows it (as it is without one).
CString DescribeFileResult(const FileResult& result,
                           CString (*showName)(const CString& name) = nullptr);

// Progress of a batch. Every call comes on the thread that runs the batch.
class ConversionObserver {
  public:
    virtual ~ConversionObserver() = default;
    virtual void OnBatchBegin(int fileCount) { (void)fileCount; }
    virtual void OnFileBegin(int index) { (void)index; }
    virtual void OnFileProgress(unsigned percent) { (void)percent; }
    // The same with the file's index, for batches that convert several files at once; by
    // default it passes the percentage on.
    virtual void OnFileProgressOf(int index, unsigned percent) {
        (void)index;
        OnFileProgress(percent);
    }
    // How the file with this index ended; comes before its OnFileEnd.
    virtual void OnFileResult(int index, const FileResult& result) {
        (void)index;
        (void)result;
    }
    virtual void OnFileEnd(int filesDone) { (void)filesDone; }
    virtual void OnBatchEnd(bool stopped) { (void)stopped; }
};

// Builds the candidate output name for a suffix number (folder, separator, base name, "(n)"
// above 0, ".", extension or "wav" when the source has none; an empty folder means the
// source's own folder) and creates it without overwriting. Where the name with "(n)" at the end
// is a device name (Windows: NUL.tar(1).wav), the number goes before the base name's first dot
// instead (NUL(1).tar.wav). 0 created, -1 error, -2 the name is taken.
int CreateOutputFile(CWaveFile& output, const CString& outputFolder, const CFileName& entry,
                     int index);

// One file between naming its output and converting it.
struct FileJob {
    CWaveFile source;
    CWaveFile output;
    FileResult result;
    int targetChannels = 0;
    int kernelChannels = 0;  // the channels resampled (a mono source is resampled as mono)
    // Reading ahead and writing behind on threads of their own, so that a slow disk does not
    // hold the conversion up. A batch of several jobs turns them off: there the other
    // conversions keep the processors busy while one waits for its files, and the threads'
    // hand-offs and their copies through the caches would only cost time.
    bool overlapInputOutput = true;
    bool ready = false;  // the source is open and the output created
};

// Opens the source and creates its output under the first free name; on failure the job's
// result says why and nothing is left open. Writes "Resampling... start\n" once the source
// opened. Outputs are 16-bit, or 24-bit when the target asks for it with the high quality; a
// target of other channels or sample sizes fails as an output that cannot be created.
void PrepareFile(FileJob& job, const CFileName& entry, const ConversionTarget& target);
// Converts a prepared file, reporting progress as file `index`, and closes both files. The
// resampler's form decides the path: 16-bit samples for Pcm16 (16-bit outputs only), floats
// from decoding to the output's quantization for Float.
void ConvertPrepared(FileJob& job, int index, const std::atomic<int>& stopFlag,
                     ConversionObserver* observer, Resampler& resampler);

// Converts one source into the first free name in the target's folder with the given resampler.
FileResult ConvertFile(const CFileName& entry, const ConversionTarget& target,
                       const std::atomic<int>& stopFlag, ConversionObserver* observer,
                       Resampler& resampler);

// Makes a resampler for one conversion thread.
using ResamplerFactory = std::unique_ptr<Resampler> (*)();

// Converts the sources (a null entry is skipped) on up to `jobs` threads, the calling one
// among them: with one job, one file after the other on the calling thread alone. Each thread
// makes its own resampler: the high-quality one for Quality::High, else makeResampler's (null:
// MakeSincResampler). The stop flag is tested before each file and chunk. Outputs are named in
// list order, so they get exactly the names a one-at-a-time run gives. The observer is called
// from all threads (OnBatchBegin and OnBatchEnd from the calling one): OnFileBegin(i) when file
// i is taken, OnFileProgressOf(i, percent), OnFileResult(i, ...) for a present entry, then
// OnFileEnd(files done). Returns whether the stop flag ended the batch; *failedFiles (when
// given) receives the number of files that failed.
bool RunConversionBatch(const std::vector<const CFileName*>& sources,
                        const ConversionTarget& target, const std::atomic<int>& stopFlag,
                        ConversionObserver* observer, int jobs = 1, int* failedFiles = nullptr,
                        ResamplerFactory makeResampler = nullptr);
