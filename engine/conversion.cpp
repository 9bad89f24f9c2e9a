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
#include "engine/hq_resampler.h"
#include "engine/sample_writer.h"
#include "platform/platform.h"

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

// An output name candidate: the folder (or the source's own), the base name with "(n)" for a
// suffix number above 0, ".", the extension, "wav" when the source has none (a name ending in
// a dot would lose it on Windows). With beforeFirstDot the number goes before the base name's
// first dot instead of at its end.
CString OutputName(const CString& folder, const CFileName& entry, int index, bool beforeFirstDot) {
    CString name;
    if (folder.Length() > 0) {
        name.AssignString(folder);
        const wchar_t separator[] = {platform::kPathSeparator, 0};
        name.Append(separator);
    } else {
        name.AppendBytes(entry.FullPath.Bytes(), FolderPrefixLength(entry.FullPath));
    }
    const char* base = entry.BaseName.Bytes();
    const int length = entry.BaseName.Length();
    int split = length;
    if (beforeFirstDot) {
        const void* dot =
            length > 0 ? std::memchr(base, '.', static_cast<std::size_t>(length)) : nullptr;
        if (dot != nullptr) split = static_cast<int>(static_cast<const char*>(dot) - base);
    }
    name.AppendBytes(base, split);
    if (index > 0) {
        wchar_t suffix[64];
        FormatTextN(suffix, 64, L"(%d)", index);
        name.Append(suffix);
    }
    if (split < length) name.AppendBytes(base + split, length - split);
    name.Append(L".");
    if (entry.Extension.Length() > 0) {
        name.AppendString(entry.Extension);
    } else {
        name.Append(L"wav");
    }
    return name;
}

// The source is read this many bytes at a time (in whole chunks), then converted chunk by chunk.
constexpr std::uint32_t kReadAheadBytes = 256 * 1024;

// Most output frames one input frame can trigger: about 1 / ratio, plus a margin for the
// rounding of the accumulated output position.
int MaxOutputsPerInput(double ratio) {
    return static_cast<int>(1.0 / ratio) + 2;
}

// Float outputs taken from the resampler per call, at most: a block that stays in the cache.
constexpr int kFloatOutputValues = 16384;

// Everything one file's conversion needs, allocated once per file. The 16-bit path uses the
// 16-bit buffers, the float path the float ones.
struct Buffers {
    std::uint32_t rawBytes = 0;  // the source is read in blocks of whole chunks, at least one
    std::unique_ptr<std::int16_t[]> decoded;    // as 16-bit samples, source channels
    std::unique_ptr<std::int16_t[]> mixed;      // mixed down to stereo (3+ channels only)
    std::unique_ptr<std::int16_t[]> converted;  // in the target's channel count
    std::unique_ptr<float[]> decodedFloat, mixedFloat, convertedFloat;  // the same as floats
    std::unique_ptr<float[]> resampled;  // the float resampler's outputs
    int resampledCapacity = 0;           // values, a whole number of frames
    int outputCapacity = 0;              // resampled values per kernel call, at most
    bool wholeOutput = false;  // the file's output fits in one block of outputCapacity values

    bool Allocate(const SampleFormat& format, std::uint64_t frames, int targetChannels,
                  int kernelChannels, double ratio, bool floats) {
        const std::uint32_t chunkBytes =
            static_cast<std::uint32_t>(kChunkFrames) * format.blockAlign;
        rawBytes =
            chunkBytes * (kReadAheadBytes / chunkBytes > 1 ? kReadAheadBytes / chunkBytes : 1);
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
        const std::size_t chunkValues = static_cast<std::size_t>(kChunkFrames) * format.channels;
        if (floats) {
            decodedFloat = ::Allocate<float>(chunkValues);
            if (format.channels > 2) mixedFloat = ::Allocate<float>(2 * kChunkFrames);
            convertedFloat = ::Allocate<float>(kChunkFrames);
            // Room for what one block of output holds, counted before a mono stream is doubled.
            resampledCapacity = outputCapacity / targetChannels * kernelChannels;
            if (resampledCapacity > kFloatOutputValues) resampledCapacity = kFloatOutputValues;
            resampledCapacity -= resampledCapacity % kernelChannels;
            resampled = ::Allocate<float>(static_cast<std::size_t>(resampledCapacity));
            return decodedFloat && (format.channels <= 2 || mixedFloat) && convertedFloat &&
                   resampled;
        }
        decoded = ::Allocate<std::int16_t>(chunkValues);
        if (format.channels > 2) mixed = ::Allocate<std::int16_t>(2 * kChunkFrames);
        converted = ::Allocate<std::int16_t>(2 * kChunkFrames);
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
    // Converts frames of raw sample data and appends the outputs: as 16-bit samples, or as
    // floats. False when the output could not take them.
    bool Convert16(const std::uint8_t* raw, int frames, const DownmixMatrix& downmix,
                   Buffers& buffers, SampleWriter& writer);
    bool ConvertFloat(const std::uint8_t* raw, int frames, const DownmixMatrix& downmix,
                      Buffers& buffers, SampleWriter& writer);
    // Resamples count values and appends them to the output, in as many kernel calls as the
    // output buffer needs. False when the output could not take them.
    bool ResampleAndWrite(const std::int16_t* values, int count, Buffers& buffers,
                          SampleWriter& writer);
    // The same for floats; with drain, the outputs the resampler still owes after the last
    // input instead.
    bool ResampleAndWriteFloat(const float* values, int count, bool drain, Buffers& buffers,
                               SampleWriter& writer);

    FileJob& m_job;
    int m_index;
    const std::atomic<int>& m_stop;
    ConversionObserver* m_observer;
    Resampler& m_resampler;
};

FileStatus FileConverter::Run(Buffers& buffers) {
    // Writing runs beside the conversion; what it could not write decides the result.
    SampleWriter writer(m_job.output, buffers.outputCapacity, buffers.wholeOutput,
                        m_job.output.Format().bitsPerSample / 8, m_job.overlapInputOutput);
    if (!writer.Ready()) return FileStatus::OutOfMemory;
    FileStatus status = ChunkLoop(buffers, writer);
    if (!writer.Finish() && !IsFailure(status)) {
        status = m_job.output.LimitReached() ? FileStatus::SizeLimit : FileStatus::WriteFailed;
    }
    return status;
}

FileStatus FileConverter::ChunkLoop(Buffers& buffers, SampleWriter& writer) {
    CWaveFile& source = m_job.source;
    const SampleFormat& format = source.Format();
    const std::uint64_t total = source.FrameCount();
    DownmixMatrix downmix;
    if (format.channels > 2) downmix = MakeDownmix(format.channels, format.channelMask);
    const bool floats = m_resampler.Form() == SampleForm::Float;
    auto writeFailed = [&]() {
        writer.Finish();
        return m_job.output.LimitReached() ? FileStatus::SizeLimit : FileStatus::WriteFailed;
    };

    // The sample data arrives in blocks read ahead; `used` bytes of the block are converted.
    BlockReader reader(source, total * format.blockAlign, buffers.rawBytes,
                       m_job.overlapInputOutput);
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
        const std::uint8_t* raw = block + used;
        used += static_cast<std::uint32_t>(frames) * format.blockAlign;
        if (!(floats ? ConvertFloat(raw, frames, downmix, buffers, writer)
                     : Convert16(raw, frames, downmix, buffers, writer))) {
            return writeFailed();
        }
        m_job.result.sourceFramesDone = done + static_cast<std::uint64_t>(frames);
        if (m_observer != nullptr) {
            m_observer->OnFileProgressOf(m_index, static_cast<unsigned>(done * 100 / total));
        }
        if (static_cast<std::uint32_t>(frames) < want) return FileStatus::ReadFailed;
    }
    // The float resampler holds the outputs of its filter's delay until the end.
    if (floats && !ResampleAndWriteFloat(nullptr, 0, true, buffers, writer)) return writeFailed();
    return FileStatus::Converted;
}

bool FileConverter::Convert16(const std::uint8_t* raw, int frames, const DownmixMatrix& downmix,
                              Buffers& buffers, SampleWriter& writer) {
    const SampleFormat& format = m_job.source.Format();
    // 16-bit samples are used where they were read; others are decoded first.
    const std::int16_t* samples;
    if (IsNativePcm16(format)) {
        samples = reinterpret_cast<const std::int16_t*>(raw);
    } else {
        DecodeFrames(format, raw, static_cast<std::uint32_t>(frames), buffers.decoded.get());
        samples = buffers.decoded.get();
    }

    // Channel conversion: more than two channels are mixed down to stereo first.
    int channels = format.channels;
    if (channels > 2) {
        DownmixToStereo(downmix, samples, frames, buffers.mixed.get());
        samples = buffers.mixed.get();
        channels = 2;
    }
    const std::int16_t* values = samples;
    int count = frames * channels;
    if (channels == 2 && m_job.targetChannels == 1) {
        StereoToMono(samples, frames, buffers.converted.get());
        values = buffers.converted.get();
        count = frames;
    }
    // A mono source going to stereo is resampled as mono and each output written twice:
    // equal channels give exactly the values of the mono kernel, at half the work.
    return ResampleAndWrite(values, count, buffers, writer);
}

bool FileConverter::ConvertFloat(const std::uint8_t* raw, int frames, const DownmixMatrix& downmix,
                                 Buffers& buffers, SampleWriter& writer) {
    const SampleFormat& format = m_job.source.Format();
    float* samples = buffers.decodedFloat.get();
    DecodeFramesToFloat(format, raw, static_cast<std::uint32_t>(frames), samples);
    // The same channel conversions as the 16-bit path, except stereo to mono: the average of
    // the two sides, which cannot clip.
    int channels = format.channels;
    if (channels > 2) {
        DownmixToStereo(downmix, samples, frames, buffers.mixedFloat.get());
        samples = buffers.mixedFloat.get();
        channels = 2;
    }
    if (channels == 2 && m_job.targetChannels == 1) {
        StereoToMonoAverage(samples, frames, buffers.convertedFloat.get());
        samples = buffers.convertedFloat.get();
        channels = 1;
    }
    return ResampleAndWriteFloat(samples, frames * channels, false, buffers, writer);
}

bool FileConverter::ResampleAndWriteFloat(const float* values, int count, bool drain,
                                          Buffers& buffers, SampleWriter& writer) {
    const int copies = m_job.targetChannels / m_job.kernelChannels;
    float* out = buffers.resampled.get();
    const int capacity = buffers.resampledCapacity;
    // Outputs that do not fit come with the next calls, which bring no input.
    while (true) {
        const int made = drain ? m_resampler.Drain(out, capacity)
                               : m_resampler.ProcessFloat(values, count, out, capacity);
        if (made <= 0) return true;
        if (!writer.WriteFloat(out, made, copies)) return false;
        count = 0;
    }
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

double SourceSeconds(const FileResult& result) {
    return result.sourceRate != 0
               ? static_cast<double>(result.sourceFrames) / static_cast<double>(result.sourceRate)
               : 0.0;
}

double SecondsDone(const FileResult& result) {
    return result.sourceRate != 0 ? static_cast<double>(result.sourceFramesDone) /
                                        static_cast<double>(result.sourceRate)
                                  : 0.0;
}

bool IsFailure(FileStatus status) {
    return status != FileStatus::Converted && status != FileStatus::Stopped &&
           status != FileStatus::NotStarted;
}

CString DescribeFileResult(const FileResult& result, CString (*showName)(const CString& name)) {
    wchar_t system[256] = L"";
    if (result.systemError != 0) platform::ErrorText(result.systemError, system, 256);
    CString path;
    if (showName != nullptr) {
        path = showName(result.outputPath);
    } else {
        path.AssignString(result.outputPath);
    }
    const wchar_t* out = path.WideText();
    switch (result.status) {
        case FileStatus::Converted:
            return FormatString(L"converted to %s", out);
        case FileStatus::Stopped: {
            CString done = FormatClock(SecondsDone(result));
            CString whole = FormatClock(SourceSeconds(result));
            return FormatString(L"stopped at %s of %s; %s holds the part converted so far",
                                done.WideText(), whole.WideText(), out);
        }
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
            if (result.systemError == platform::kErrorNotRegularFile) {
                return FormatString(L"no output name makes a file: %s is a device", out);
            }
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
    CString candidate = OutputName(outputFolder, entry, index, false);
    // The system takes a name for a device by what comes before its first dot (NUL.tar.wav):
    // there a number at the end only gives more device names, and one before the dot a file.
    if (index > 0 && platform::NamesDevice(candidate.WideText())) {
        candidate = OutputName(outputFolder, entry, index, true);
    }
    int result = output.Create(candidate, false);
    DiagnosticPrint(L"output file = %s (%d)\n", candidate.WideText(), result);
    return result;
}

void PrepareFile(FileJob& job, const CFileName& entry, const ConversionTarget& target) {
    FileResult& result = job.result;
    CWaveFile& source = job.source;
    if (!source.OpenFile(entry.FullPath)) {
        result.status = FileStatus::SourceUnreadable;
        result.sourceError = source.OpenError();
        result.systemError = source.LastError();
        return;
    }
    DiagnosticPrint(L"Resampling... start\n");
    result.sourceFrames = source.FrameCount();
    result.sourceRate = source.Format().samplesPerSecond;

    // Only mono and stereo outputs of 16 bits (24 with the high quality) are made; any other
    // count or size counts as "nothing selected", which the output's format check refuses.
    const int channels = target.channels;
    const int bits = target.bitsPerSample;
    MediaParams params;
    params.kind = 1;
    params.samplingFrequency = target.frequency;
    params.channels = (channels == 1 || channels == 2) ? channels : 0;
    params.bitsPerSample = bits == 16 || (bits == 24 && target.quality == Quality::High) ? bits : 0;
    job.output.SetParams(&params);
    job.targetChannels = params.channels;

    if (target.frequency > 0 && params.channels != 0 && params.bitsPerSample != 0 &&
        !IsSupportedRatio(source.Format().samplesPerSecond,
                          static_cast<std::uint64_t>(target.frequency))) {
        result.status = FileStatus::UnsupportedRatio;
        source.Close();
        return;
    }
    if (!IsUsableBaseName(entry.BaseName)) {
        result.status = FileStatus::UnusableName;
        source.Close();
        return;
    }

    // Only "the name is taken" moves on to the next candidate. A numbered name that is still
    // no file on disk (a device or a pipe) means that none will be.
    int created = -2;
    bool noDiskFile = false;
    for (int index = 0; index < kOutputNameCandidates && created == -2 && !noDiskFile; ++index) {
        created = CreateOutputFile(job.output, target.folder, entry, index);
        noDiskFile =
            created == -2 && index > 0 && job.output.LastError() == platform::kErrorNotRegularFile;
    }
    if (created != 0) {
        result.status = created == -1 ? FileStatus::OutputFailed : FileStatus::NoFreeName;
        result.systemError = job.output.LastError();
        if (created == -1 || noDiskFile) result.outputPath.AssignString(job.output.Name());
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
    job.kernelChannels = (format.channels == 1 && job.targetChannels == 2) ? 1 : job.targetChannels;
    if (!buffers.Allocate(format, job.source.FrameCount(), job.targetChannels, job.kernelChannels,
                          ratio, resampler.Form() == SampleForm::Float)) {
        result.status = FileStatus::OutOfMemory;
    } else {
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

FileResult ConvertFile(const CFileName& entry, const ConversionTarget& target,
                       const std::atomic<int>& stopFlag, ConversionObserver* observer,
                       Resampler& resampler) {
    FileJob job;
    PrepareFile(job, entry, target);
    ConvertPrepared(job, 0, stopFlag, observer, resampler);
    return std::move(job.result);
}

bool RunConversionBatch(const std::vector<const CFileName*>& sources,
                        const ConversionTarget& target, const std::atomic<int>& stopFlag,
                        ConversionObserver* observer, int jobs, int* failedFiles,
                        ResamplerFactory makeResampler) {
    const ResamplerFactory make = target.quality == Quality::High ? MakeHighQualityResampler
                                  : makeResampler != nullptr      ? makeResampler
                                                                  : MakeSincResampler;
    const int n = static_cast<int>(sources.size());
    if (jobs > n) jobs = n;
    if (observer != nullptr) observer->OnBatchBegin(n);

    std::mutex claim;  // taking the next file and naming its output happen in list order
    int next = 0;
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    auto work = [&]() {
        std::unique_ptr<Resampler> resampler = make();
        while (true) {
            FileJob job;
            job.overlapInputOutput = jobs == 1;
            int i;
            {
                std::lock_guard<std::mutex> lock(claim);
                if (next >= n || stopFlag.load() != 0) return;
                i = next++;
                if (observer != nullptr) observer->OnFileBegin(i);
                const CFileName* entry = sources[static_cast<std::size_t>(i)];
                if (entry != nullptr) PrepareFile(job, *entry, target);
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
