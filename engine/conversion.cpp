#include "engine/conversion.h"

#include <cstring>
#include <memory>
#include <new>

#include "base/diagnostic.h"
#include "base/format.h"
#include "engine/channels.h"

namespace {

// A source rate at or above this multiple of the target would let the resampler's output
// position lap its 1024-sample ring.
constexpr double kMaxRatio = 1024.0;

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

// Most output frames one input frame can trigger: about 1 / ratio, plus a margin for the
// rounding of the accumulated output position.
int MaxOutputsPerInput(double ratio) {
    return static_cast<int>(1.0 / ratio) + 2;
}

// Everything one file's conversion needs, allocated once per file.
struct Buffers {
    std::unique_ptr<std::uint8_t[]> raw;        // one chunk as stored in the source
    std::unique_ptr<std::int16_t[]> decoded;    // as 16-bit samples, source channels
    std::unique_ptr<std::int16_t[]> mixed;      // mixed down to stereo (3+ channels only)
    std::unique_ptr<std::int16_t[]> converted;  // in the target's channel count
    std::unique_ptr<std::int16_t[]> output;     // resampled
    int outputCapacity = 0;

    bool Allocate(const SampleFormat& format, int targetChannels, double ratio) {
        raw = ::Allocate<std::uint8_t>(static_cast<std::size_t>(kChunkFrames) * format.blockAlign);
        decoded =
            ::Allocate<std::int16_t>(static_cast<std::size_t>(kChunkFrames) * format.channels);
        if (format.channels > 2) mixed = ::Allocate<std::int16_t>(2 * kChunkFrames);
        converted = ::Allocate<std::int16_t>(2 * kChunkFrames);
        // Room for at least one input frame's outputs, so that no sample is ever dropped.
        long need = static_cast<long>(MaxOutputsPerInput(ratio)) * targetChannels;
        outputCapacity =
            need > kResamplerOutputCapacity ? static_cast<int>(need) : kResamplerOutputCapacity;
        output = ::Allocate<std::int16_t>(static_cast<std::size_t>(outputCapacity));
        return raw && decoded && (format.channels <= 2 || mixed) && converted && output;
    }
};

class FileConverter {
  public:
    FileConverter(const std::atomic<int>& stopFlag, ConversionObserver* observer,
                  ResamplerState& resampler)
        : m_stop(stopFlag), m_observer(observer), m_resampler(resampler) {}

    FileResult Run(const CFileName& entry, const CString& outputFolder, int targetFrequency,
                   int targetChannels);

  private:
    FileStatus ChunkLoop(CWaveFile& source, CWaveFile& output, int targetChannels,
                         Buffers& buffers);
    // Resamples count values and appends them to the output, in as many kernel calls as the
    // output buffer needs. False when the output could not take them.
    bool ResampleAndWrite(const std::int16_t* values, int count, int targetChannels,
                          CWaveFile& output, Buffers& buffers);

    const std::atomic<int>& m_stop;
    ConversionObserver* m_observer;
    ResamplerState& m_resampler;
};

FileResult FileConverter::Run(const CFileName& entry, const CString& outputFolder,
                              int targetFrequency, int targetChannels) {
    FileResult result;
    CWaveFile source;
    if (!source.OpenFile(entry.FullPath)) {
        result.status = FileStatus::SourceUnreadable;
        result.sourceError = source.OpenError();
        result.systemError = source.LastError();
        return result;
    }
    DiagnosticPrint(L"Resampling... start\n");

    // Only mono and stereo outputs are made; any other count counts as "nothing selected",
    // which the output's format check refuses.
    CWaveFile output;
    MediaParams params;
    params.kind = 1;
    params.samplingFrequency = targetFrequency;
    params.channels = (targetChannels == 1 || targetChannels == 2) ? targetChannels : 0;
    params.bitsPerSample = 16;
    output.SetParams(&params);

    const SampleFormat& format = source.Format();
    const double ratio = targetFrequency > 0 ? static_cast<double>(format.samplesPerSecond) /
                                                   static_cast<double>(targetFrequency)
                                             : 0.0;
    if (targetFrequency > 0 && params.channels != 0 && ratio >= kMaxRatio) {
        result.status = FileStatus::UnsupportedRatio;
        return result;
    }

    // Only "the name is taken" moves on to the next candidate.
    int created = -2;
    for (int index = 0; index < kOutputNameCandidates && created == -2; ++index) {
        created = CreateOutputFile(output, outputFolder, entry, index);
    }
    if (created != 0) {
        result.status = created == -1 ? FileStatus::OutputFailed : FileStatus::NoFreeName;
        result.systemError = output.LastError();
        if (created == -1) result.outputPath.AssignString(output.Name());
        return result;
    }
    result.outputPath.AssignString(output.Name());

    Buffers buffers;
    if (!buffers.Allocate(format, params.channels, ratio)) {
        result.status = FileStatus::OutOfMemory;
    } else {
        ResamplerReset(m_resampler, static_cast<int>(format.samplesPerSecond), targetFrequency,
                       params.channels);
        result.status = ChunkLoop(source, output, params.channels, buffers);
    }

    source.Close();
    if (!output.Finish() && !IsFailure(result.status)) result.status = FileStatus::WriteFailed;
    if (result.status == FileStatus::WriteFailed) result.systemError = output.LastError();
    result.framesWritten = output.FrameCount();
    DiagnosticPrint(L"Resampling... complete\n");
    return result;
}

FileStatus FileConverter::ChunkLoop(CWaveFile& source, CWaveFile& output, int targetChannels,
                                    Buffers& buffers) {
    const SampleFormat& format = source.Format();
    const int sourceChannels = format.channels;
    const std::uint64_t total = source.FrameCount();
    DownmixMatrix downmix;
    if (sourceChannels > 2) downmix = MakeDownmix(sourceChannels, format.channelMask);

    for (std::uint64_t done = 0; done < total; done += kChunkFrames) {
        if (m_stop.load() != 0) return FileStatus::Stopped;

        // Read whole frames up to the end of the sample data; a partial frame is dropped.
        const std::uint64_t left = total - done;
        const std::uint32_t want = left < kChunkFrames ? static_cast<std::uint32_t>(left)
                                                       : static_cast<std::uint32_t>(kChunkFrames);
        const std::uint32_t got = source.Read(buffers.raw.get(), want * format.blockAlign);
        const int frames = static_cast<int>(got / format.blockAlign);
        if (frames == 0) return FileStatus::ReadFailed;
        DecodeFrames(format, buffers.raw.get(), static_cast<std::uint32_t>(frames),
                     buffers.decoded.get());

        // Channel conversion: more than two channels are mixed down to stereo first.
        const std::int16_t* samples = buffers.decoded.get();
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
        } else if (channels == 1 && targetChannels == 2) {
            MonoToStereo(samples, frames, buffers.converted.get());
            values = buffers.converted.get();
            count = 2 * frames;
        }

        if (!ResampleAndWrite(values, count, targetChannels, output, buffers)) {
            return output.LimitReached() ? FileStatus::SizeLimit : FileStatus::WriteFailed;
        }
        if (m_observer != nullptr) {
            m_observer->OnFileProgress(static_cast<unsigned>(done * 100 / total));
        }
        if (static_cast<std::uint32_t>(frames) < want) return FileStatus::ReadFailed;
    }
    return FileStatus::Converted;
}

bool FileConverter::ResampleAndWrite(const std::int16_t* values, int count, int targetChannels,
                                     CWaveFile& output, Buffers& buffers) {
    // Input frames per kernel call such that their outputs always fit the buffer.
    const int capacityFrames = buffers.outputCapacity / targetChannels;
    int piece = capacityFrames / MaxOutputsPerInput(m_resampler.ratio);
    if (piece < 1) piece = 1;
    const int pieceValues = piece * targetChannels;
    for (int start = 0; start < count; start += pieceValues) {
        const int n = count - start < pieceValues ? count - start : pieceValues;
        const int produced = targetChannels == 2
                                 ? ResampleStereo(m_resampler, values + start, n,
                                                  buffers.output.get(), buffers.outputCapacity)
                                 : ResampleMono(m_resampler, values + start, n,
                                                buffers.output.get(), buffers.outputCapacity);
        const std::uint32_t bytes = static_cast<std::uint32_t>(produced) * 2;
        if (bytes > 0 && !output.WriteSamples(buffers.output.get(), bytes)) return false;
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
            return FormatString(L"its sampling frequency is 1024 or more times the target's");
        case FileStatus::OutputFailed:
            return FormatString(L"cannot create %s: %s", out, system);
        case FileStatus::NoFreeName:
            return FormatString(L"no free output name: name.wav to name(%d).wav are all taken",
                                kOutputNameCandidates - 1);
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

FileResult ConvertFile(const CFileName& entry, const CString& outputFolder, int targetFrequency,
                       int targetChannels, const std::atomic<int>& stopFlag,
                       ConversionObserver* observer, ResamplerState* resampler) {
    FileConverter converter(stopFlag, observer, resampler != nullptr ? *resampler : theResampler);
    return converter.Run(entry, outputFolder, targetFrequency, targetChannels);
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
            FileResult result = ConvertFile(*sources[static_cast<std::size_t>(i)], outputFolder,
                                            targetFrequency, targetChannels, stopFlag, observer);
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
