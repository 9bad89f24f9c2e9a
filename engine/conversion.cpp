#include "engine/conversion.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "base/diagnostic.h"
#include "base/format.h"
#include "engine/block_reader.h"
#include "engine/channels.h"
#include "engine/sample_writer.h"

namespace {

// A source rate at or above this multiple of the target would let the resampler's output
// position lap its 1024-sample ring; a target rate at or above it makes outputs three orders of
// magnitude longer than their sources (a 1 Hz source of a few bytes would fill a disk).
constexpr std::uint64_t kMaxRatio = 1024;

bool IsSupportedRatio(std::uint64_t sourceRate, std::uint64_t targetRate) {
    return sourceRate < kMaxRatio * targetRate && targetRate < kMaxRatio * sourceRate;
}

// An output is named after its source's base name (trimmed when the path was split): one that
// is empty, "." or ".." would name a hidden file, the folder itself or its parent.
bool IsUsableBaseName(const CString& base) {
    const char* b = base.Bytes();
    const int n = base.Length();
    if (b == nullptr || n == 0) return false;
    return !(b[0] == '.' && (n == 1 || (n == 2 && b[1] == '.')));
}

template <typename T>
std::unique_ptr<T[]> Allocate(std::size_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// The bytes of path up to and including its last separator ("" when it has none).
int FolderPrefixLength(const CString& path) {
    int prefix = 0;
    for (int i = 0; i < path.Length(); ++i) {
        if (path.Bytes()[i] == '\\' || path.Bytes()[i] == '/') prefix = i + 1;
    }
    return prefix;
}

// The source is read this many bytes at a time (in whole chunks), then converted chunk by chunk.
constexpr std::uint32_t kReadAheadBytes = 256 * 1024;

// Most output frames one input frame can trigger: about 1 / ratio, plus a margin for the
// rounding of the accumulated output position.
int MaxOutputsPerInput(double ratio) {
    return static_cast<int>(1.0 / ratio) + 2;
}

// Everything one file's conversion needs, allocated once per file.
struct Buffers {
    std::uint32_t rawBytes = 0;  // the source is read in blocks of whole chunks, at least one
    std::unique_ptr<std::int16_t[]> decoded;    // as 16-bit samples, source channels
    std::unique_ptr<std::int16_t[]> mixed;      // mixed down to stereo (3+ channels only)
    std::unique_ptr<std::int16_t[]> converted;  // in the target's channel count
    int outputCapacity = 0;                     // resampled values per kernel call, at most
    bool wholeOutput = false;  // the file's output fits in one block of outputCapacity values

    bool Allocate(const SampleFormat& format, std::uint64_t frames, int targetChannels,
                  double ratio) {
        const std::uint32_t chunkBytes =
            static_cast<std::uint32_t>(kChunkFrames) * format.blockAlign;
        rawBytes =
            chunkBytes * (kReadAheadBytes / chunkBytes > 1 ? kReadAheadBytes / chunkBytes : 1);
        decoded =
            ::Allocate<std::int16_t>(static_cast<std::size_t>(kChunkFrames) * format.channels);
        if (format.channels > 2) mixed = ::Allocate<std::int16_t>(2 * kChunkFrames);
        converted = ::Allocate<std::int16_t>(2 * kChunkFrames);
        // Room for at least one input frame's outputs, so that no sample is ever dropped.
        long need = static_cast<long>(MaxOutputsPerInput(ratio)) * targetChannels;
        outputCapacity =
            need > kResamplerOutputCapacity ? static_cast<int>(need) : kResamplerOutputCapacity;
        // A short file's output is gathered in one buffer of about its size. The estimate
        // counts an output for every instant in the source, and more: should it still fall
        // short, the block is written when full and filled again.
        const double expected =
            (static_cast<double>(frames) / ratio + MaxOutputsPerInput(ratio)) * targetChannels;
        if (expected < outputCapacity) {
            wholeOutput = true;
            const int estimate = static_cast<int>(expected) + 1;
            outputCapacity = estimate > need ? estimate : static_cast<int>(need);
        }
        return decoded && (format.channels <= 2 || mixed) && converted;
    }
};

// The chunk loop of one prepared file.
class FileConverter {
  public:
    FileConverter(FileJob& job, int index, const std::atomic<int>& stopFlag,
                  ConversionObserver* observer, Resampler& resampler)
        : m_job(job),
          m_index(index),
          m_stop(stopFlag),
          m_observer(observer),
          m_resampler(resampler) {}

    FileStatus Run(Buffers& buffers);

  private:
    FileStatus ChunkLoop(Buffers& buffers, SampleWriter& writer);
    // Resamples count values and appends them to the output, in as many kernel calls as the
    // output buffer needs. False when the output could not take them.
    bool ResampleAndWrite(const std::int16_t* values, int count, Buffers& buffers,
                          SampleWriter& writer);

    FileJob& m_job;
    int m_index;
    const std::atomic<int>& m_stop;
    ConversionObserver* m_observer;
    Resampler& m_resampler;
};

FileStatus FileConverter::Run(Buffers& buffers) {
    // Writing runs beside the conversion; what it could not write decides the result.
    SampleWriter writer(m_job.output, buffers.outputCapacity, buffers.wholeOutput);
    if (!writer.Ready()) return FileStatus::OutOfMemory;
    FileStatus status = ChunkLoop(buffers, writer);
    if (!writer.Finish() && !IsFailure(status)) {
        status = m_job.output.LimitReached() ? FileStatus::SizeLimit : FileStatus::WriteFailed;
    }
    return status;
}

FileStatus FileConverter::ChunkLoop(Buffers& buffers, SampleWriter& writer) {
    CWaveFile& source = m_job.source;
    const int targetChannels = m_job.targetChannels;
    const SampleFormat& format = source.Format();
    const int sourceChannels = format.channels;
    const std::uint64_t total = source.FrameCount();
    DownmixMatrix downmix;
    if (sourceChannels > 2) downmix = MakeDownmix(sourceChannels, format.channelMask);

    const bool nativeSamples = IsNativePcm16(format);
    // The sample data arrives in blocks read ahead; `used` bytes of the block are converted.
    BlockReader reader(source, total * format.blockAlign, buffers.rawBytes);
    if (!reader.Ready()) return FileStatus::OutOfMemory;
    const std::uint8_t* block = nullptr;
    std::uint32_t held = 0, used = 0;
    for (std::uint64_t done = 0; done < total; done += kChunkFrames) {
        if (m_stop.load() != 0) return FileStatus::Stopped;

        // Whole frames up to the end of the sample data; a partial frame is dropped.
        const std::uint64_t left = total - done;
        const std::uint32_t want = left < kChunkFrames ? static_cast<std::uint32_t>(left)
                                                       : static_cast<std::uint32_t>(kChunkFrames);
        if (used == held) {
            block = reader.Next(&held);
            held -= held % format.blockAlign;
            used = 0;
        }
        const std::uint32_t available = (held - used) / format.blockAlign;
        const int frames = static_cast<int>(available < want ? available : want);
        if (frames == 0) return FileStatus::ReadFailed;
        // 16-bit samples are used where they were read; others are decoded first.
        const std::int16_t* samples;
        if (nativeSamples) {
            samples = reinterpret_cast<const std::int16_t*>(block + used);
        } else {
            DecodeFrames(format, block + used, static_cast<std::uint32_t>(frames),
                         buffers.decoded.get());
            samples = buffers.decoded.get();
        }
        used += static_cast<std::uint32_t>(frames) * format.blockAlign;

        // Channel conversion: more than two channels are mixed down to stereo first.
        int channels = sourceChannels;
        if (channels > 2) {
            DownmixToStereo(downmix, samples, frames, buffers.mixed.get());
            samples = buffers.mixed.get();
            channels = 2;
        }
        const std::int16_t* values = samples;
        int count = frames * channels;
        if (channels == 2 && targetChannels == 1) {
            StereoToMono(samples, frames, buffers.converted.get());
            values = buffers.converted.get();
            count = frames;
        }
        // A mono source going to stereo is resampled as mono and each output written twice:
        // equal channels give exactly the values of the mono kernel, at half the work.

        if (!ResampleAndWrite(values, count, buffers, writer)) {
            writer.Finish();
            return m_job.output.LimitReached() ? FileStatus::SizeLimit : FileStatus::WriteFailed;
        }
        if (m_observer != nullptr) {
            m_observer->OnFileProgressOf(m_index, static_cast<unsigned>(done * 100 / total));
        }
        if (static_cast<std::uint32_t>(frames) < want) return FileStatus::ReadFailed;
    }
    return FileStatus::Converted;
}

bool FileConverter::ResampleAndWrite(const std::int16_t* values, int count, Buffers& buffers,
                                     SampleWriter& writer) {
    const int targetChannels = m_job.targetChannels;
    const int channels = m_job.kernelChannels;  // of the values resampled
    const int copies = targetChannels / channels;
    // Input frames per kernel call such that their outputs always fit the room reserved.
    const int perInput = MaxOutputsPerInput(m_resampler.Ratio());
    int piece = buffers.outputCapacity / targetChannels / perInput;
    if (piece < 1) piece = 1;
    const int pieceValues = piece * channels;
    for (int start = 0; start < count; start += pieceValues) {
        const int n = count - start < pieceValues ? count - start : pieceValues;
        // The most this piece can produce.
        const int most = (n / channels) * perInput * channels;
        std::int16_t* room = writer.Reserve(most * copies);
        if (room == nullptr) return false;
        const int produced = m_resampler.Process(values + start, n, room, most);
        if (copies == 2) {
            for (int i = produced - 1; i >= 0; --i) room[2 * i] = room[2 * i + 1] = room[i];
        }
        writer.Commit(produced * copies);
    }
    return true;
}

}  // namespace

bool IsFailure(FileStatus status) {
    return status != FileStatus::Converted && status != FileStatus::Stopped &&
           status != FileStatus::NotStarted;
}

CString DescribeFileResult(const FileResult& result) {
    wchar_t system[256] = L"";
    if (result.systemError != 0) platform::ErrorText(result.systemError, system, 256);
    CString path;
    path.AssignString(result.outputPath);
    const wchar_t* out = path.WideText();
    switch (result.status) {
        case FileStatus::Converted:
            return FormatString(L"converted to %s", out);
        case FileStatus::Stopped:
            return FormatString(L"stopped; %s holds the part converted so far", out);
        case FileStatus::NotStarted:
            return FormatString(L"not converted (the batch was stopped)");
        case FileStatus::SourceUnreadable:
            if (result.sourceError == WaveError::CannotOpen) {
                return FormatString(L"cannot be opened: %s", system);
            }
            return FormatString(L"not a WAV file that can be converted: %s",
                                WaveErrorText(result.sourceError));
        case FileStatus::UnsupportedRatio:
            return FormatString(
                L"its sampling frequency is 1024 or more times the target's, or 1/1024 of it or "
                L"less");
        case FileStatus::OutputFailed:
            return FormatString(L"cannot create %s: %s", out, system);
        case FileStatus::NoFreeName:
            return FormatString(L"no free output name: name.wav to name(%d).wav are all taken",
                                kOutputNameCandidates - 1);
        case FileStatus::UnusableName:
            return FormatString(
                L"no output name can be made from its name (empty, \".\" or \"..\" before the "
                L"extension)");
        case FileStatus::OutOfMemory:
            return FormatString(L"not enough memory; %s is empty", out);
        case FileStatus::ReadFailed:
            return FormatString(
                L"the source ended early (changed while converting); %s holds "
                L"the part converted",
                out);
        case FileStatus::WriteFailed:
            return FormatString(L"cannot write %s: %s; it holds the whole frames written", out,
                                system);
        case FileStatus::SizeLimit:
            return FormatString(L"%s reached the 4 GiB limit of a WAV file and was cut there", out);
    }
    return CString();
}

int CreateOutputFile(CWaveFile& output, const CString& outputFolder, const CFileName& entry,
                     int index) {
    CString candidate;
    if (outputFolder.Length() > 0) {
        candidate.AssignString(outputFolder);
        const wchar_t separator[] = {platform::kPathSeparator, 0};
        candidate.Append(separator);
    } else {
        // No folder: beside the source.
        candidate.AppendBytes(entry.FullPath.Bytes(), FolderPrefixLength(entry.FullPath));
    }
    candidate.AppendString(entry.BaseName);
    if (index > 0) {
        wchar_t suffix[64];
        FormatTextN(suffix, 64, L"(%d)", index);
        candidate.Append(suffix);
    }
    candidate.Append(L".");
    candidate.AppendString(entry.Extension);

    int result = output.Create(candidate, false);
    DiagnosticPrint(L"output file = %s (%d)\n", candidate.WideText(), result);
    return result;
}

void PrepareFile(FileJob& job, const CFileName& entry, const CString& outputFolder,
                 int targetFrequency, int targetChannels) {
    FileResult& result = job.result;
    CWaveFile& source = job.source;
    if (!source.OpenFile(entry.FullPath)) {
        result.status = FileStatus::SourceUnreadable;
        result.sourceError = source.OpenError();
        result.systemError = source.LastError();
        return;
    }
    DiagnosticPrint(L"Resampling... start\n");

    // Only mono and stereo outputs are made; any other count counts as "nothing selected",
    // which the output's format check refuses.
    MediaParams params;
    params.kind = 1;
    params.samplingFrequency = targetFrequency;
    params.channels = (targetChannels == 1 || targetChannels == 2) ? targetChannels : 0;
    params.bitsPerSample = 16;
    job.output.SetParams(&params);
    job.targetChannels = params.channels;

    if (targetFrequency > 0 && params.channels != 0 &&
        !IsSupportedRatio(source.Format().samplesPerSecond,
                          static_cast<std::uint64_t>(targetFrequency))) {
        result.status = FileStatus::UnsupportedRatio;
        source.Close();
        return;
    }
    if (!IsUsableBaseName(entry.BaseName)) {
        result.status = FileStatus::UnusableName;
        source.Close();
        return;
    }

    // Only "the name is taken" moves on to the next candidate.
    int created = -2;
    for (int index = 0; index < kOutputNameCandidates && created == -2; ++index) {
        created = CreateOutputFile(job.output, outputFolder, entry, index);
    }
    if (created != 0) {
        result.status = created == -1 ? FileStatus::OutputFailed : FileStatus::NoFreeName;
        result.systemError = job.output.LastError();
        if (created == -1) result.outputPath.AssignString(job.output.Name());
        source.Close();
        return;
    }
    result.outputPath.AssignString(job.output.Name());
    job.ready = true;
}

void ConvertPrepared(FileJob& job, int index, const std::atomic<int>& stopFlag,
                     ConversionObserver* observer, Resampler& resampler) {
    if (!job.ready) return;
    FileResult& result = job.result;
    const SampleFormat& format = job.source.Format();
    const int targetFrequency = job.output.GetParams()->samplingFrequency;
    Buffers buffers;
    const double ratio =
        static_cast<double>(format.samplesPerSecond) / static_cast<double>(targetFrequency);
    if (!buffers.Allocate(format, job.source.FrameCount(), job.targetChannels, ratio)) {
        result.status = FileStatus::OutOfMemory;
    } else {
        job.kernelChannels =
            (format.channels == 1 && job.targetChannels == 2) ? 1 : job.targetChannels;
        resampler.Reset(static_cast<int>(format.samplesPerSecond), targetFrequency,
                        job.kernelChannels);
        FileConverter converter(job, index, stopFlag, observer, resampler);
        result.status = converter.Run(buffers);
    }

    job.source.Close();
    if (!job.output.Finish() && !IsFailure(result.status)) result.status = FileStatus::WriteFailed;
    if (result.status == FileStatus::WriteFailed) result.systemError = job.output.LastError();
    result.framesWritten = job.output.FrameCount();
    job.ready = false;
    DiagnosticPrint(L"Resampling... complete\n");
}

FileResult ConvertFile(const CFileName& entry, const CString& outputFolder, int targetFrequency,
                       int targetChannels, const std::atomic<int>& stopFlag,
                       ConversionObserver* observer, Resampler* resampler) {
    FileJob job;
    PrepareFile(job, entry, outputFolder, targetFrequency, targetChannels);
    ConvertPrepared(job, 0, stopFlag, observer, resampler != nullptr ? *resampler : theResampler);
    return std::move(job.result);
}

bool RunConversionBatch(const std::vector<const CFileName*>& sources, const CString& outputFolder,
                        int targetFrequency, int targetChannels, const std::atomic<int>& stopFlag,
                        ConversionObserver* observer, int* failedFiles) {
    const int n = static_cast<int>(sources.size());
    int failed = 0;
    if (observer != nullptr) observer->OnBatchBegin(n);
    for (int i = 0; i < n; ++i) {
        if (stopFlag.load() != 0) break;
        if (observer != nullptr) observer->OnFileBegin(i);
        if (sources[static_cast<std::size_t>(i)] != nullptr) {
            FileJob job;
            PrepareFile(job, *sources[static_cast<std::size_t>(i)], outputFolder, targetFrequency,
                        targetChannels);
            ConvertPrepared(job, i, stopFlag, observer, theResampler);
            const FileResult& result = job.result;
            if (IsFailure(result.status)) ++failed;
            if (observer != nullptr) observer->OnFileResult(i, result);
        }
        if (observer != nullptr) observer->OnFileEnd(i + 1);
    }
    const bool stopped = stopFlag.load() != 0;
    if (observer != nullptr) observer->OnBatchEnd(stopped);
    if (failedFiles != nullptr) *failedFiles = failed;
    return stopped;
}

bool RunParallelConversionBatch(const std::vector<const CFileName*>& sources,
                                const CString& outputFolder, int targetFrequency,
                                int targetChannels, const std::atomic<int>& stopFlag,
                                ConversionObserver* observer, int jobs,
                                ResamplerFactory makeResampler, int* failedFiles) {
    const int n = static_cast<int>(sources.size());
    if (jobs > n) jobs = n;
    if (observer != nullptr) observer->OnBatchBegin(n);

    std::mutex claim;  // taking the next file and naming its output happen in list order
    int next = 0;
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    auto work = [&]() {
        std::unique_ptr<Resampler> resampler = makeResampler();
        while (true) {
            FileJob job;
            int i;
            {
                std::lock_guard<std::mutex> lock(claim);
                if (next >= n || stopFlag.load() != 0) return;
                i = next++;
                if (observer != nullptr) observer->OnFileBegin(i);
                const CFileName* entry = sources[static_cast<std::size_t>(i)];
                if (entry != nullptr) {
                    PrepareFile(job, *entry, outputFolder, targetFrequency, targetChannels);
                }
            }
            if (sources[static_cast<std::size_t>(i)] != nullptr) {
                if (resampler) {
                    ConvertPrepared(job, i, stopFlag, observer, *resampler);
                } else if (job.ready) {
                    job.result.status = FileStatus::OutOfMemory;
                    job.source.Close();
                    job.output.Finish();
                }
                if (IsFailure(job.result.status)) ++failed;
                if (observer != nullptr) observer->OnFileResult(i, job.result);
            }
            if (observer != nullptr) observer->OnFileEnd(++done);
        }
    };

    std::vector<std::thread> threads;
    for (int t = 1; t < jobs; ++t) {
        try {
            threads.emplace_back(work);
        } catch (...) {
            break;  // fewer threads than asked: the others share the work
        }
    }
    work();
    for (std::thread& thread : threads) thread.join();

    const bool stopped = stopFlag.load() != 0;
    if (observer != nullptr) observer->OnBatchEnd(stopped);
    if (failedFiles != nullptr) *failedFiles = failed.load();
    return stopped;
}
