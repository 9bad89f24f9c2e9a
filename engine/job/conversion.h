// The conversion job: converts a list of WAV files into new PCM WAV files at a target sampling
// frequency and channel count, one after the other or several at once. It needs no window: it
// runs on the calling thread (and threads of its own when asked) and reports through an
// observer, so the window, the command line and the tests all drive the same code.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/cstring.h"
#include "base/filename.h"
#include "engine/resampler.h"
#include "media/wave_file.h"

// How a batch resamples: the design's resampler on 16-bit samples (the default), or the
// high-quality resampler on float samples.
enum class Quality { Standard = 0, High = 1 };

// The samples an output holds. The standard quality writes Int16 only; the values are the
// ones the settings file stores.
enum class SampleType { Int16 = 0, Int24 = 1, Float32 = 2 };

// What the high quality adds to a 16- or 24-bit output before rounding it: triangular (TPDF)
// noise of +-1 step, the same noise shaped towards high frequencies (44.1 and 48 kHz outputs;
// others get Tpdf), or nothing. The values are the ones the settings file stores.
enum class Dither { Tpdf = 0, None = 1, Shaped = 2 };

// What a batch makes of each source. An empty folder means beside the source. gainDb scales
// the output (0: the samples as they are); preventClipping lowers it further for a file whose
// output would otherwise clip, by a first pass that measures the file's peak. With keepMetadata the
// source's tags, cues, loops and broadcast details (see media/wave_metadata.h) follow the samples
// of an output converted or stopped.
struct ConversionTarget {
    CString folder;
    int frequency = 0;
    int channels = 0;
    Quality quality = Quality::Standard;
    SampleType format = SampleType::Int16;
    Dither dither = Dither::Tpdf;
    double gainDb = 0.0;
    bool preventClipping = false;
    bool keepMetadata = true;
    FilterPhase phase = FilterPhase::Linear;  // the high quality's filter
    // Output names: a template of {name}, {rate}, {khz}, {channels}, {bits} and {quality}
    // ("take_{khz}k"); empty means the source's base name. The extension is the source's.
    CString nameTemplate{};
    // A source whose output name already holds a complete output of this target is skipped
    // instead of getting a numbered name.
    bool skipExisting = false;
};

// The peak that preventClipping leaves, at most, in dBFS.
constexpr double kPreventClippingPeakDb = -0.1;

// Source frames read per chunk.
constexpr int kChunkFrames = 2560;
// Suffix numbers 0 to 9998 are tried for an output name.
constexpr int kOutputNameCandidates = 9999;

// How one file of a batch ended.
enum class FileStatus {
    Converted,
    Stopped,           // the stop flag ended it; the output holds what was converted
    NotStarted,        // the batch was stopped before this file
    Skipped,           // its output is there already, complete (skipExisting, or the same batch
                       // run again after it was stopped); outputPath names it
    SourceUnreadable,  // the source no longer opens as a WAV file this program reads
    UnsupportedRatio,  // the source's rate is 1024 times the target's or more, or 1/1024 or less
    OutputFailed,      // the output could not be created (folder missing, no access, ...)
    NoFreeName,        // all output name candidates are taken; with systemError
                       // platform::kErrorNotRegularFile the system takes them for a device
    UnusableName,      // the source's base name is empty, "." or "..": no output name is made
    UnusableTemplate,  // the name template has an unknown field, or makes an empty, "." or ".."
                       // name or one with a path separator or a control character
    OutOfMemory,
    ReadFailed,   // the source ended before its data size (changed while converting)
    WriteFailed,  // the output could not be written completely (disk full, ...)
    SizeLimit,    // the output reached the largest size a WAV file can describe
};

// The output's base name that the target's nameTemplate makes for a source's base name (both
// UTF-8, as CString stores them): {name} the source's, {rate} the frequency in Hz, {khz} in kHz
// (48, 44.1, 22.05), {channels}, {bits} (16, 24, 32f), {quality} (standard, high). False for a
// field it does not know, a '{' without its '}', a path separator or a control character in the
// template, and a name that comes out empty, "." or "..".
bool ExpandNameTemplate(const std::string& nameTemplate, const std::string& baseName,
                        const ConversionTarget& target, std::string* name);

// The name an output has while it is written, beside the one it takes when it is complete:
// "take.partial.wav" for "take.wav" (the tag before the extension). A stopped, failed or
// killed conversion leaves it there, a valid WAV file of the part converted.
constexpr char kPartialTag[] = ".partial";

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
    // The source's channels and bits per sample (with sourceFloat: float samples), known once
    // it opened.
    std::uint16_t sourceChannels = 0;
    std::uint16_t sourceBits = 0;
    bool sourceFloat = false;
    // Samples of the output that did not fit its integer range and were limited to it (in the
    // standard quality, whose resampler limits them itself: those at full scale), and the
    // largest magnitude before that, in dBFS (above 0 for a float output or a clipped one;
    // -infinity for digital silence).
    std::uint64_t clipped = 0;
    double peakDb = -HUGE_VAL;
    // With preventClipping, how far the gain was lowered, in dB (0: not at all).
    double gainLoweredDb = 0.0;
};

// The source's length and the part converted, in seconds (0 when the rate is unknown).
double SourceSeconds(const FileResult& result);
double SecondsDone(const FileResult& result);

// A one-line English description of a failed or stopped file ("cannot create ...", "stopped
// at 2:18 of 10:00; ... holds the part converted so far"), with the output's name as showName
// shows it (as it is without one).
CString DescribeFileResult(const FileResult& result,
                           CString (*showName)(const CString& name) = nullptr);

// Progress of a batch. OnBatchBegin and OnBatchEnd come on the thread that called
// RunConversionBatch; the calls about a file (OnFileBegin to OnFileEnd) come on the thread that
// converts it. With one job that is the calling thread; with several it is any of the batch's
// threads, so calls about different files can come at the same time, and an observer of such a
// batch guards its own state.
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

// The PCM format of an output. The job makes mono or stereo outputs of 16 bits, or 24 bits or
// 32-bit floats with the high quality; it passes any other count or size as 0, which no output
// is created with.
struct OutputFormat {
    int frequency = 0;
    int channels = 0;
    int bitsPerSample = 0;
    bool floatSamples = false;
};

enum class OutputCreation {
    Created,
    Failed,     // the format is invalid, or the file could not be made for another reason
    NameTaken,  // a file of that name exists, or the name cannot be made new
};

// Builds the candidate output name for a suffix number (folder, separator, base name, "(n)"
// above 0, ".", extension or "wav" when the source has none; an empty folder means the
// source's own folder) and creates it in the format without overwriting. Where the name with
// "(n)" at the end is a device name (Windows: NUL.tar(1).wav), the number goes before the base
// name's first dot instead (NUL(1).tar.wav).
OutputCreation CreateOutputFile(CWaveFile& output, const OutputFormat& format,
                                const CString& outputFolder, const CFileName& entry, int index);

// Converts one source into the first free name in the target's folder with the given
// resampler: 16-bit samples from decoding to the output (16-bit outputs only), or floats from
// decoding to the output's quantization. Writes "Resampling... start\n" once the source opened
// and "Resampling... complete\n" when both files are closed.
FileResult ConvertFile(const CFileName& entry, const ConversionTarget& target,
                       const std::atomic<int>& stopFlag, ConversionObserver* observer,
                       Pcm16Resampler& resampler);
FileResult ConvertFile(const CFileName& entry, const ConversionTarget& target,
                       const std::atomic<int>& stopFlag, ConversionObserver* observer,
                       FloatResampler& resampler);

// Makes a 16-bit resampler for one conversion thread (null: not enough memory).
using ResamplerFactory = std::unique_ptr<Pcm16Resampler> (*)();

// Converts the sources (a null entry is skipped) on up to `jobs` threads, the calling one
// among them: with one job, one file after the other on the calling thread alone. Each thread
// makes its own resampler: the high-quality one for Quality::High, else makeResampler's (null:
// MakeSincResampler). The stop flag is tested before each file and chunk. Outputs are named in
// list order, so they get exactly the names a one-at-a-time run gives. The observer gets
// OnBatchBegin, then for each file taken OnFileBegin(i), OnFileProgressOf(i, percent),
// OnFileResult(i, ...) for a present entry and OnFileEnd(files done), then OnBatchEnd (see
// ConversionObserver for the threads). Returns whether the stop flag ended the batch;
// *failedFiles (when given) receives the number of files that failed.
bool RunConversionBatch(const std::vector<const CFileName*>& sources,
                        const ConversionTarget& target, const std::atomic<int>& stopFlag,
                        ConversionObserver* observer, int jobs = 1, int* failedFiles = nullptr,
                        ResamplerFactory makeResampler = nullptr);

// One source of a batch: the file (null: skipped) and the folder below the target's folder
// that its output goes to, made as needed ("" the target's folder itself; path elements
// separated by the platform's separator; not used when outputs go beside their sources).
struct BatchSource {
    const CFileName* file = nullptr;
    CString subfolder;
};

// The same batch with a subfolder for each source.
bool RunSourceBatch(const std::vector<BatchSource>& sources, const ConversionTarget& target,
                    const std::atomic<int>& stopFlag, ConversionObserver* observer, int jobs = 1,
                    int* failedFiles = nullptr, ResamplerFactory makeResampler = nullptr);
