#include "engine/job/conversion.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "base/diagnostic.h"
#include "base/format.h"
#include "engine/high/hq_resampler.h"
#include "engine/job/batch_journal.h"
#include "engine/job/block_reader.h"
#include "engine/job/channels.h"
#include "engine/job/sample_writer.h"
#include "engine/standard/sinc_resampler.h"
#include "media/wave_metadata.h"
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
// suffix number above 0, the partial tag while it is written, ".", the extension, "wav" when
// the source has none (a name ending in a dot would lose it on Windows). With beforeFirstDot
// the number goes before the base name's first dot instead of at its end.
CString OutputName(const CString& folder, const CFileName& entry, const std::string& baseName,
                   int index, bool beforeFirstDot, bool partial = false) {
    CString name;
    if (folder.Length() > 0) {
        name.AssignString(folder);
        const wchar_t separator[] = {platform::kPathSeparator, 0};
        name.Append(separator);
    } else {
        name.AppendBytes(entry.FullPath.Bytes(), FolderPrefixLength(entry.FullPath));
    }
    const char* base = baseName.data();
    const int length = static_cast<int>(baseName.size());
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
    if (partial) name.AppendBytes(kPartialTag);
    name.Append(L".");
    if (entry.Extension.Length() > 0) {
        name.AppendString(entry.Extension);
    } else {
        name.Append(L"wav");
    }
    return name;
}

std::string BytesOf(const CString& text) {
    return std::string(text.Bytes() != nullptr ? text.Bytes() : "",
                       static_cast<std::size_t>(text.Length()));
}

// Candidate `index` of an output name, complete or partial. The system takes a name for a
// device by what comes before its first dot (NUL.tar.wav): there a number at the end only gives
// more device names, and one before the dot a file.
CString CandidateName(const CString& folder, const CFileName& entry, const std::string& base,
                      int index, bool partial) {
    CString name = OutputName(folder, entry, base, index, false);
    const bool device = index > 0 && platform::NamesDevice(name.WideText());
    if (!partial && !device) return name;
    return OutputName(folder, entry, base, index, device, partial);
}

// Whether a name (as recorded) is one of the candidates for this source, complete or partial:
// a record never makes the job touch any other file.
bool IsCandidate(const std::string& name, const CString& folder, const CFileName& entry,
                 const std::string& base, bool partial) {
    for (int index = 0; index < kOutputNameCandidates; ++index) {
        if (BytesOf(CandidateName(folder, entry, base, index, partial)) == name) return true;
    }
    return false;
}

// The output frames a whole conversion of `frames` source frames gives. The high quality keeps
// the source's duration, rounded up to a whole output frame. The standard quality makes output n
// once the input trunc(t) + 25 has come, where t is its time in source frames as the resampler
// accumulates it (adding the ratio in double precision, within its 1024-frame ring): that sum is
// followed step by step, since where it lands near a whole frame decides the last output.
std::uint64_t CompleteFrames(std::uint64_t frames, std::uint64_t sourceRate,
                             std::uint64_t targetRate, bool high) {
    if (sourceRate == 0 || targetRate == 0) return 0;
    if (high) return (frames * targetRate + sourceRate - 1) / sourceRate;
    constexpr std::uint64_t kAfter = 25;
    constexpr double kRing = 1024.0;
    if (frames <= kAfter) return 0;
    const double ratio = static_cast<double>(sourceRate) / static_cast<double>(targetRate);
    double position = 0.0;
    std::uint64_t wrapped = 0;  // ring lengths passed
    std::uint64_t made = 0;
    while (wrapped + static_cast<std::uint64_t>(position) + kAfter < frames) {
        ++made;
        position = position + ratio;
        if (position >= kRing) {
            position = position - kRing;
            wrapped += 1024;
        }
    }
    return made;
}

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Whether the file holds a WAV file of the output format whose header is complete: its RIFF
// size counts the whole file (an output being written, or cut off while it was, counts less).
bool HasOutputFormat(const CString& path, const OutputFormat& format, bool wholeFile,
                     std::uint64_t* frames) {
    CString name;
    name.AssignString(path);
    if (wholeFile) {
        platform::FileHandle file = platform::OpenForRead(name.WideText());
        if (file == platform::kNoFile) return false;
        std::uint8_t head[12] = {};
        std::uint32_t got = 0;
        std::uint64_t size = 0;
        const bool read = platform::Read(file, head, sizeof head, &got) && got == sizeof head &&
                          platform::FileSize(file, &size);
        platform::Close(file);
        const std::uint64_t counted = static_cast<std::uint64_t>(Le32(head + 4)) + 8;
        if (!read || std::memcmp(head, "RIFF", 4) != 0 ||
            (counted != size && counted + 1 != size)) {
            return false;
        }
    }
    CWaveFile wave;
    if (!wave.OpenFile(name)) return false;
    const SampleFormat& f = wave.Format();
    const bool same =
        f.channels == format.channels &&
        f.samplesPerSecond == static_cast<std::uint32_t>(format.frequency) &&
        f.bitsPerSample == format.bitsPerSample &&
        f.encoding == (format.floatSamples ? SampleEncoding::Float : SampleEncoding::Pcm);
    *frames = wave.FrameCount();
    wave.Close();
    return same;
}

// A whole conversion's length, worked out once it is needed.
struct CompleteLength {
    std::uint64_t sourceFrames, sourceRate, targetRate;
    bool high;
    std::uint64_t Frames() const {
        return CompleteFrames(sourceFrames, sourceRate, targetRate, high);
    }
};

// Whether path holds a complete output of the job's target for its source.
bool HoldsCompleteOutput(const CString& path, const OutputFormat& format,
                         const CompleteLength& complete) {
    std::uint64_t frames = 0;
    return HasOutputFormat(path, format, true, &frames) && frames == complete.Frames();
}

bool SameFile(const wchar_t* a, const wchar_t* b) {
    platform::FileId first, second;
    return platform::GetFileId(a, &first) && platform::GetFileId(b, &second) && first == second;
}

// The source is read this many bytes at a time (in whole chunks), then converted chunk by chunk.
constexpr std::uint32_t kReadAheadBytes = 256 * 1024;
// Output values gathered per block written, at least (a short file's output is gathered whole).
constexpr int kOutputBlockValues = 204800;

// Most output frames one input frame can trigger: about 1 / ratio, plus a margin for the
// rounding of the accumulated output position.
int MaxOutputsPerInput(double ratio) {
    return static_cast<int>(1.0 / ratio) + 2;
}

// Float outputs taken from the resampler per call, at most: a block that stays in the cache.
constexpr int kFloatOutputValues = 16384;

// The peak that preventing clipping aims at: a little below kPreventClippingPeakDb, leaving room
// for the dither and the rounding (up to about 18 steps of 16 bits with the shaped dither), so
// that the samples written stay at or below it.
constexpr double kPreventClippingAimDb = -0.11;

double DbToGain(double db) {
    return std::pow(10.0, db / 20.0);
}

// One file between naming its output and converting it.
struct FileJob {
    CWaveFile source;
    CWaveFile output;
    FileResult result;
    OutputFormat format;     // the output's, as the target asks for it
    int kernelChannels = 0;  // the channels resampled (a mono source is resampled as mono)
    double ratio = 1.0;      // source frequency / target frequency
    // Reading ahead and writing behind on threads of their own, so that a slow disk does not
    // hold the conversion up. A batch of several jobs turns them off: there the other
    // conversions keep the processors busy while one waits for its files, and the threads'
    // hand-offs and their copies through the caches would only cost time.
    bool overlapInputOutput = true;
    bool keepMetadata = true;
    bool ready = false;  // the source is open and the output created
    double gain = 1.0;   // linear; exactly 1 for a gain of 0 dB
    bool preventClipping = false;
    FloatQuantizer::Noise noise = FloatQuantizer::Noise::None;  // the high quality's dither
    // The output is written under a partial name and takes this one once it is complete.
    CString folder;         // where the output goes ("" beside the source)
    std::string baseName;   // the output's base name (from the name template)
    std::string finalName;  // "" while there is no output
};

// What the outputs of one batch share: the names that outputs being written will take (the
// disk does not show them yet), and the batch's journal.
struct BatchNames {
    std::mutex lock;  // taking the next file and naming its output happen in list order
    std::set<std::string> reserved;
    BatchJournal* journal = nullptr;
};

// The blocks one file's samples are read and written in.
struct Blocks {
    std::uint32_t rawBytes = 0;  // the source is read in blocks of whole chunks, at least one
    int outputCapacity = 0;      // resampled values per kernel call, at most
    bool wholeOutput = false;    // the file's output fits in one block of outputCapacity values

    explicit Blocks(const FileJob& job) {
        const SampleFormat& format = job.source.Format();
        const int targetChannels = job.format.channels;
        const std::uint32_t chunkBytes =
            static_cast<std::uint32_t>(kChunkFrames) * format.blockAlign;
        rawBytes =
            chunkBytes * (kReadAheadBytes / chunkBytes > 1 ? kReadAheadBytes / chunkBytes : 1);
        // Room for at least one input frame's outputs, so that no sample is ever dropped.
        long need = static_cast<long>(MaxOutputsPerInput(job.ratio)) * targetChannels;
        outputCapacity = need > kOutputBlockValues ? static_cast<int>(need) : kOutputBlockValues;
        // A short file's output is gathered in one buffer of about its size. The estimate
        // counts an output for every instant in the source, and more: should it still fall
        // short, the block is written when full and filled again.
        const double expected = (static_cast<double>(job.source.FrameCount()) / job.ratio +
                                 MaxOutputsPerInput(job.ratio)) *
                                targetChannels;
        if (expected < outputCapacity) {
            wholeOutput = true;
            const int estimate = static_cast<int>(expected) + 1;
            outputCapacity = estimate > need ? estimate : static_cast<int>(need);
        }
    }
};

// What a path of samples from decoding to the output works on: a prepared file, its blocks and
// a resampler of the path's sample type.
template <typename R>
class SamplePath {
  public:
    using Resampler = R;

    SamplePath(const FileJob& job, const Blocks& blocks, R& resampler)
        : m_job(job), m_blocks(blocks), m_resampler(resampler) {}

  protected:
    const FileJob& m_job;
    const Blocks& m_blocks;
    R& m_resampler;
};

// 16-bit samples from decoding to the output: the standard quality. A gain other than 1 scales
// the decoded samples (rounded, saturated) before the channels are converted and resampled, so
// that lowering it also keeps the resampler's and the mono mix's own limits from clipping.
class Pcm16Path : public SamplePath<Pcm16Resampler> {
  public:
    using SamplePath::SamplePath;

    // A pass over the file at this gain; a measuring one writes nothing, and resamples at half
    // the gain (at most half of 1), so that its outputs are not limited at full scale and show
    // the peak that the gain will give.
    void BeginPass(double gain, bool measuring) {
        m_measuring = measuring;
        m_gain = measuring ? 0.5 * (gain < 1.0 ? gain : 1.0) : gain;
        m_peakScale = gain / m_gain;
        m_peak = 0;
        m_clipped = 0;
        m_resampler.Reset(static_cast<int>(m_job.source.Format().samplesPerSecond),
                          m_job.format.frequency, m_job.kernelChannels);
    }
    double Peak() const { return m_peak / 32768.0 * m_peakScale; }
    std::uint64_t Clipped() const { return m_clipped; }

    bool Allocate() {
        const int channels = m_job.source.Format().channels;
        m_decoded = ::Allocate<std::int16_t>(static_cast<std::size_t>(kChunkFrames) * channels);
        if (channels > 2) m_mixed = ::Allocate<std::int16_t>(2 * kChunkFrames);
        m_converted = ::Allocate<std::int16_t>(2 * kChunkFrames);
        return m_decoded && (channels <= 2 || m_mixed) && m_converted;
    }

    // Converts frames of raw sample data and appends the outputs; false when the output could
    // not take them.
    bool Convert(const std::uint8_t* raw, int frames, const DownmixMatrix& downmix,
                 SampleWriter& writer) {
        const SampleFormat& format = m_job.source.Format();
        // 16-bit samples are used where they were read; others are decoded first.
        const std::int16_t* samples;
        if (IsNativePcm16(format)) {
            samples = reinterpret_cast<const std::int16_t*>(raw);
        } else {
            DecodeFrames(format, raw, static_cast<std::uint32_t>(frames), m_decoded.get());
            samples = m_decoded.get();
        }
        if (m_gain != 1.0) {
            ApplyGain(samples, frames * format.channels, m_decoded.get());
            samples = m_decoded.get();
        }

        // Channel conversion: more than two channels are mixed down to stereo first.
        int channels = format.channels;
        if (channels > 2) {
            DownmixToStereo(downmix, samples, frames, m_mixed.get());
            samples = m_mixed.get();
            channels = 2;
        }
        const std::int16_t* values = samples;
        int count = frames * channels;
        if (channels == 2 && m_job.format.channels == 1) {
            StereoToMono(samples, frames, m_converted.get());
            values = m_converted.get();
            count = frames;
        }
        // A mono source going to stereo is resampled as mono and each output written twice:
        // equal channels give exactly the values of the mono kernel, at half the work.
        return ResampleAndWrite(values, count, writer);
    }

    // The resampler holds nothing back at the end.
    bool Finish(SampleWriter&) { return true; }

  private:
    // Resamples count values and appends them to the output, in as many kernel calls as the
    // output buffer needs.
    bool ResampleAndWrite(const std::int16_t* values, int count, SampleWriter& writer) {
        const int targetChannels = m_job.format.channels;
        const int channels = m_job.kernelChannels;  // of the values resampled
        const int copies = targetChannels / channels;
        // Input frames per kernel call such that their outputs always fit the room reserved.
        const int perInput = MaxOutputsPerInput(m_job.ratio);
        int piece = m_blocks.outputCapacity / targetChannels / perInput;
        if (piece < 1) piece = 1;
        const int pieceValues = piece * channels;
        for (int start = 0; start < count; start += pieceValues) {
            const int n = count - start < pieceValues ? count - start : pieceValues;
            // The most this piece can produce.
            const int most = (n / channels) * perInput * channels;
            std::int16_t* room = writer.Reserve(most * copies);
            if (room == nullptr) return false;
            const int produced = m_resampler.Process(values + start, n, room, most);
            // The resampler and the mono mix limit their values themselves, and the resampler
            // scales by 32767/32768: an output within a step of full scale (32766 and above,
            // -32767 and below) counts as clipped. A measuring pass leaves the room unwritten.
            int peak = m_peak;
            std::uint64_t clipped = 0;
            for (int i = 0; i < produced; ++i) {
                const int v = room[i];
                const int magnitude = v < 0 ? -v : v;
                if (magnitude > peak) peak = magnitude;
                clipped += v >= 32766 || v <= -32767 ? 1 : 0;
            }
            m_peak = peak;
            m_clipped += clipped * static_cast<std::uint64_t>(copies);
            if (m_measuring) continue;
            if (copies == 2) {
                for (int i = produced - 1; i >= 0; --i) room[2 * i] = room[2 * i + 1] = room[i];
            }
            writer.Commit(produced * copies);
        }
        return true;
    }

    // Each of count samples times the gain, rounded (ties to even) and saturated, into out
    // (which may be in).
    void ApplyGain(const std::int16_t* in, int count, std::int16_t* out) const {
        for (int i = 0; i < count; ++i) {
            double v = std::nearbyint(in[i] * m_gain);
            v = v > 32767.0 ? 32767.0 : v < -32768.0 ? -32768.0 : v;
            out[i] = static_cast<std::int16_t>(v);
        }
    }

    double m_gain = 1.0;
    double m_peakScale = 1.0;  // from the measured peak to the peak at the pass's gain
    bool m_measuring = false;
    int m_peak = 0;  // the largest output magnitude
    std::uint64_t m_clipped = 0;

    std::unique_ptr<std::int16_t[]> m_decoded;    // as 16-bit samples, source channels
    std::unique_ptr<std::int16_t[]> m_mixed;      // mixed down to stereo (3+ channels only)
    std::unique_ptr<std::int16_t[]> m_converted;  // in the target's channel count
};

// Floats from decoding to the output's quantization: the high quality. The gain, the dither
// and the counting of peak and clipped samples come last, in the quantizer.
class FloatPath : public SamplePath<FloatResampler> {
  public:
    FloatPath(const FileJob& job, const Blocks& blocks, FloatResampler& resampler)
        : SamplePath(job, blocks, resampler),
          m_quantizer(job.format.floatSamples ? 4 : job.format.bitsPerSample / 8, job.noise,
                      job.kernelChannels) {}

    // A pass over the file at this gain; a measuring one only measures the peak.
    void BeginPass(double gain, bool measuring) {
        m_measuring = measuring;
        m_quantizer.SetGain(gain);
        m_quantizer.Restart();
        m_resampler.Reset(static_cast<int>(m_job.source.Format().samplesPerSecond),
                          m_job.format.frequency, m_job.kernelChannels);
    }
    double Peak() const { return m_quantizer.Peak(); }
    std::uint64_t Clipped() const { return m_quantizer.Clipped(); }

    bool Allocate() {
        const int channels = m_job.source.Format().channels;
        const int targetChannels = m_job.format.channels;
        const int kernelChannels = m_job.kernelChannels;
        m_decoded = ::Allocate<float>(static_cast<std::size_t>(kChunkFrames) * channels);
        if (channels > 2) m_mixed = ::Allocate<float>(2 * kChunkFrames);
        m_converted = ::Allocate<float>(kChunkFrames);
        // Room for what one block of output holds, counted before a mono stream is doubled.
        m_capacity = m_blocks.outputCapacity / targetChannels * kernelChannels;
        if (m_capacity > kFloatOutputValues) m_capacity = kFloatOutputValues;
        m_capacity -= m_capacity % kernelChannels;
        m_resampled = ::Allocate<float>(static_cast<std::size_t>(m_capacity));
        return m_decoded && (channels <= 2 || m_mixed) && m_converted && m_resampled;
    }

    bool Convert(const std::uint8_t* raw, int frames, const DownmixMatrix& downmix,
                 SampleWriter& writer) {
        const SampleFormat& format = m_job.source.Format();
        float* samples = m_decoded.get();
        DecodeFramesToFloat(format, raw, static_cast<std::uint32_t>(frames), samples);
        // The same channel conversions as the 16-bit path, except stereo to mono: the average
        // of the two sides, which cannot clip.
        int channels = format.channels;
        if (channels > 2) {
            DownmixToStereo(downmix, samples, frames, m_mixed.get());
            samples = m_mixed.get();
            channels = 2;
        }
        if (channels == 2 && m_job.format.channels == 1) {
            StereoToMonoAverage(samples, frames, m_converted.get());
            samples = m_converted.get();
            channels = 1;
        }
        return ResampleAndWrite(samples, frames * channels, false, writer);
    }

    // The resampler holds the outputs of its filter's delay until the end.
    bool Finish(SampleWriter& writer) { return ResampleAndWrite(nullptr, 0, true, writer); }

  private:
    // With drain, the outputs the resampler still owes after the last input instead.
    bool ResampleAndWrite(const float* values, int count, bool drain, SampleWriter& writer) {
        const int copies = m_job.format.channels / m_job.kernelChannels;
        float* out = m_resampled.get();
        // Outputs that do not fit come with the next calls, which bring no input.
        while (true) {
            const int made = drain ? m_resampler.Drain(out, m_capacity)
                                   : m_resampler.Process(values, count, out, m_capacity);
            if (made <= 0) return true;
            if (m_measuring) {
                m_quantizer.Measure(out, made);
            } else if (!writer.WriteFloat(out, made, copies, &m_quantizer)) {
                return false;
            }
            count = 0;
        }
    }

    std::unique_ptr<float[]> m_decoded, m_mixed, m_converted;  // as in Pcm16Path
    std::unique_ptr<float[]> m_resampled;                      // the resampler's outputs
    int m_capacity = 0;  // of m_resampled, in values: a whole number of frames
    FloatQuantizer m_quantizer;
    bool m_measuring = false;
};

// The chunk loop of one prepared file.
class FileConverter {
  public:
    FileConverter(FileJob& job, int index, const std::atomic<int>& stopFlag,
                  ConversionObserver* observer)
        : m_job(job), m_index(index), m_stop(stopFlag), m_observer(observer) {}

    // Converts the file over a path, with the output written beside it.
    template <typename Path>
    FileStatus Run(const Blocks& blocks, Path& path) {
        // Writing runs beside the conversion; what it could not write decides the result.
        SampleWriter writer(m_job.output, blocks.outputCapacity, blocks.wholeOutput,
                            m_job.output.Format().bitsPerSample / 8, m_job.overlapInputOutput);
        if (!writer.Ready()) return FileStatus::OutOfMemory;
        double gain = m_job.gain;
        if (m_job.preventClipping) {
            // A first pass measures the peak the gain gives; the second writes at a gain that
            // keeps it below full scale.
            m_passes = 2;
            path.BeginPass(gain, true);
            const FileStatus measured = ChunkLoop(blocks, path, writer);
            if (measured != FileStatus::Converted) {
                m_job.result.sourceFramesDone = 0;
                return measured;
            }
            const double aim = DbToGain(kPreventClippingAimDb);
            if (path.Peak() > aim) {
                const double lowered = gain * (aim / path.Peak());
                m_job.result.gainLoweredDb = 20.0 * std::log10(gain / lowered);
                gain = lowered;
            }
            m_job.source.Rewind();
            m_pass = 1;
        }
        path.BeginPass(gain, false);
        FileStatus status = ChunkLoop(blocks, path, writer);
        if (!writer.Finish() && !IsFailure(status)) status = WriteStatus();
        m_job.result.clipped = path.Clipped();
        m_job.result.peakDb = path.Peak() > 0.0 ? 20.0 * std::log10(path.Peak()) : -HUGE_VAL;
        return status;
    }

  private:
    template <typename Path>
    FileStatus ChunkLoop(const Blocks& blocks, Path& path, SampleWriter& writer);
    FileStatus WriteStatus() const {
        return m_job.output.LimitReached() ? FileStatus::SizeLimit : FileStatus::WriteFailed;
    }

    FileJob& m_job;
    int m_index;
    const std::atomic<int>& m_stop;
    ConversionObserver* m_observer;
    int m_passes = 1;  // over the source: 2 when a first one measures the peak
    int m_pass = 0;
};

template <typename Path>
FileStatus FileConverter::ChunkLoop(const Blocks& blocks, Path& path, SampleWriter& writer) {
    CWaveFile& source = m_job.source;
    const SampleFormat& format = source.Format();
    const std::uint64_t total = source.FrameCount();
    DownmixMatrix downmix;
    if (format.channels > 2) downmix = MakeDownmix(format.channels, format.channelMask);
    auto writeFailed = [&]() {
        writer.Finish();
        return WriteStatus();
    };

    // The sample data arrives in blocks read ahead; `used` bytes of the block are converted.
    BlockReader reader(source, total * format.blockAlign, blocks.rawBytes,
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
        if (!path.Convert(raw, frames, downmix, writer)) return writeFailed();
        m_job.result.sourceFramesDone = done + static_cast<std::uint64_t>(frames);
        if (m_observer != nullptr) {
            const std::uint64_t percent = (m_pass * total + done) * 100 / (m_passes * total);
            m_observer->OnFileProgressOf(m_index, static_cast<unsigned>(percent));
        }
        if (static_cast<std::uint32_t>(frames) < want) return FileStatus::ReadFailed;
    }
    if (!path.Finish(writer)) return writeFailed();
    return FileStatus::Converted;
}

// Header rewrites while an output is written: about every 1 MiB of samples.
constexpr std::uint32_t kHeaderRefreshBytes = 1u << 20;

// Creates an output file of the format under a name, without overwriting.
OutputCreation CreateAt(CWaveFile& output, const OutputFormat& format, const CString& name) {
    MediaParams params;
    params.kind = 1;
    params.samplingFrequency = format.frequency;
    params.channels = format.channels;
    params.bitsPerSample = format.bitsPerSample;
    params.floatSamples = format.floatSamples;
    output.SetParams(&params);
    const int result = output.Create(name, false);
    CString shown;
    shown.AssignString(name);
    DiagnosticPrint(L"output file = %s (%d)\n", shown.WideText(), result);
    return result == 0    ? OutputCreation::Created
           : result == -2 ? OutputCreation::NameTaken
                          : OutputCreation::Failed;
}

bool IsSeparator(char c) {
    return c == '/' || (platform::kPathSeparator == L'\\' && c == '\\');
}

// The folder a source's output goes to: the target's folder and the source's subfolder below it,
// each missing level made. A level that a file, a device or a link has the name of is not
// followed, nor is a "." or ".." level: the file fails, with *result saying where. Beside the
// source (no target folder) the subfolder is not used.
bool PrepareOutputFolder(const CString& targetFolder, const CString& subfolder, CString* folder,
                         FileResult* result) {
    folder->AssignString(targetFolder);
    if (targetFolder.Length() == 0) return true;
    const std::string levels = BytesOf(subfolder);
    std::size_t start = 0;
    while (start < levels.size()) {
        std::size_t end = start;
        while (end < levels.size() && !IsSeparator(levels[end])) ++end;
        const std::string level = levels.substr(start, end - start);
        start = end + 1;
        if (level.empty()) continue;
        const wchar_t separator[] = {platform::kPathSeparator, 0};
        if (folder->Length() > 0 && !IsSeparator(folder->Bytes()[folder->Length() - 1])) {
            folder->Append(separator);
        }
        folder->AppendBytes(level.data(), static_cast<int>(level.size()));
        platform::FolderResult made = platform::FolderResult::NotAFolder;
        int error = platform::kErrorNotFolder;
        if (level != "." && level != "..") {
            made = platform::MakeOutputFolder(folder->WideText());
            error = platform::LastError();
        }
        if (made != platform::FolderResult::Ready) {
            result->status = FileStatus::OutputFailed;
            result->systemError =
                made == platform::FolderResult::NotAFolder ? platform::kErrorNotFolder : error;
            result->outputPath.AssignString(*folder);
            return false;
        }
    }
    return true;
}

// Whether the source's output is there already: recorded complete by an earlier run of the same
// batch, written completely by one that was cut off before recording it, or (skipExisting) found
// under the first output name. A partial output that an earlier run recorded for the source is
// removed, so that this run writes it again under the same name. Sets the result's outputPath
// to the complete output found.
bool FindDone(FileJob& job, const CFileName& entry, const OutputFormat& out,
              const CompleteLength& complete, const ConversionTarget& target, BatchNames& names,
              int index) {
    FileResult& result = job.result;
    const BatchJournal::Entry* record =
        names.journal != nullptr ? names.journal->Find(index) : nullptr;
    if (record != nullptr) {
        CString output, partial;
        output.AssignBytes(record->output.data(), static_cast<int>(record->output.size()));
        partial.AssignBytes(record->partial.data(), static_cast<int>(record->partial.size()));
        const bool ownOutput = IsCandidate(record->output, job.folder, entry, job.baseName, false);
        const bool ownPartial = !record->partial.empty() &&
                                IsCandidate(record->partial, job.folder, entry, job.baseName, true);
        const bool outputComplete = ownOutput && HoldsCompleteOutput(output, out, complete);
        if (record->done && outputComplete) {
            result.outputPath.AssignString(output);
            return true;
        }
        if (!record->done && ownPartial) {
            const bool partialThere = platform::PathExists(partial.WideText());
            // Killed between giving the output its name and recording it (a hard link made, the
            // partial name not yet removed).
            if (outputComplete &&
                (!partialThere || SameFile(partial.WideText(), output.WideText()))) {
                if (partialThere) platform::DeleteFilePath(partial.WideText());
                names.journal->RecordDone(index, record->output);
                result.outputPath.AssignString(output);
                return true;
            }
            std::uint64_t frames = 0;
            if (partialThere && HasOutputFormat(partial, out, false, &frames)) {
                DiagnosticPrint(L"%s: the partial output of an earlier run, converted again\n",
                                partial.WideText());
                platform::DeleteFilePath(partial.WideText());
            }
        }
    }
    if (!target.skipExisting) return false;
    // Beside the source the first name is usually the source itself, which is no output.
    CString first = CandidateName(job.folder, entry, job.baseName, 0, false);
    CString source;
    source.AssignString(entry.FullPath);
    if (SameFile(first.WideText(), source.WideText())) {
        first = CandidateName(job.folder, entry, job.baseName, 1, false);
    }
    if (!HoldsCompleteOutput(first, out, complete)) return false;
    result.outputPath.AssignString(first);
    return true;
}

// Opens the source and creates its output under the first free name; on failure the job's
// result says why and nothing is left open. Writes "Resampling... start\n" once the source
// opened.
void PrepareFile(FileJob& job, const CFileName& entry, const CString& subfolder,
                 const ConversionTarget& target, BatchNames& names, int index) {
    FileResult& result = job.result;
    CWaveFile& source = job.source;
    if (!source.OpenFile(entry.FullPath)) {
        result.status = FileStatus::SourceUnreadable;
        result.sourceError = source.OpenError();
        result.systemError = source.LastError();
        return;
    }
    DiagnosticPrint(L"Resampling... start\n");
    const SampleFormat& format = source.Format();
    result.sourceFrames = source.FrameCount();
    result.sourceRate = format.samplesPerSecond;
    result.sourceChannels = format.channels;
    result.sourceBits = format.bitsPerSample;
    result.sourceFloat = format.encoding == SampleEncoding::Float;

    // Only mono and stereo outputs of 16 bits (24 bits or floats with the high quality) are
    // made; any other count or size counts as "nothing selected", which creating the output
    // refuses.
    const int channels = target.channels;
    const bool high = target.quality == Quality::High;
    OutputFormat& out = job.format;
    out.frequency = target.frequency;
    out.channels = (channels == 1 || channels == 2) ? channels : 0;
    out.bitsPerSample = target.format == SampleType::Int16     ? 16
                        : !high                                ? 0
                        : target.format == SampleType::Int24   ? 24
                        : target.format == SampleType::Float32 ? 32
                                                               : 0;
    out.floatSamples = target.format == SampleType::Float32;
    job.gain = target.gainDb != 0.0 && std::isfinite(target.gainDb) ? DbToGain(target.gainDb) : 1.0;
    job.preventClipping = target.preventClipping;
    // The shaped dither's curve is made for 44.1 and 48 kHz; other outputs get plain TPDF.
    using Noise = FloatQuantizer::Noise;
    const bool shapeable = target.frequency == 44100 || target.frequency == 48000;
    job.noise = target.dither == Dither::None                  ? Noise::None
                : target.dither == Dither::Shaped && shapeable ? Noise::Shaped
                                                               : Noise::Tpdf;

    if (out.frequency > 0 && out.channels != 0 && out.bitsPerSample != 0 &&
        !IsSupportedRatio(format.samplesPerSecond, static_cast<std::uint64_t>(out.frequency))) {
        result.status = FileStatus::UnsupportedRatio;
        source.Close();
        return;
    }
    if (!IsUsableBaseName(entry.BaseName)) {
        result.status = FileStatus::UnusableName;
        source.Close();
        return;
    }
    job.baseName = BytesOf(entry.BaseName);
    if (target.nameTemplate.Length() > 0 &&
        !ExpandNameTemplate(BytesOf(target.nameTemplate), BytesOf(entry.BaseName), target,
                            &job.baseName)) {
        result.status = FileStatus::UnusableTemplate;
        source.Close();
        return;
    }
    if (!PrepareOutputFolder(target.folder, subfolder, &job.folder, &result)) {
        source.Close();
        return;
    }
    const CompleteLength complete{result.sourceFrames, format.samplesPerSecond,
                                  static_cast<std::uint64_t>(out.frequency > 0 ? out.frequency : 0),
                                  high};
    if (FindDone(job, entry, out, complete, target, names, index)) {
        result.status = FileStatus::Skipped;
        source.Close();
        return;
    }

    // Only "the name is taken" moves on to the next candidate. A numbered name that is still
    // no file on disk (a device or a pipe) means that none will be. A name is taken when the
    // complete output or the partial one is there, or when an output being written will take it.
    OutputCreation created = OutputCreation::NameTaken;
    bool noDiskFile = false;
    CString finalName;
    for (int k = 0;
         k < kOutputNameCandidates && created == OutputCreation::NameTaken && !noDiskFile; ++k) {
        finalName = CandidateName(job.folder, entry, job.baseName, k, false);
        if (k > 0 && platform::NamesDevice(finalName.WideText())) {
            noDiskFile = true;
            result.systemError = platform::kErrorNotRegularFile;
            result.outputPath.AssignString(finalName);
            break;
        }
        if (names.reserved.count(BytesOf(finalName)) != 0 ||
            platform::PathExists(finalName.WideText())) {
            continue;
        }
        created =
            CreateAt(job.output, out, CandidateName(job.folder, entry, job.baseName, k, true));
        noDiskFile = created == OutputCreation::NameTaken && k > 0 &&
                     job.output.LastError() == platform::kErrorNotRegularFile;
    }
    if (created != OutputCreation::Created) {
        const bool failed = created == OutputCreation::Failed;
        result.status = failed ? FileStatus::OutputFailed : FileStatus::NoFreeName;
        if (result.systemError == 0) result.systemError = job.output.LastError();
        if ((failed || noDiskFile) && result.outputPath.Length() == 0) {
            result.outputPath.AssignString(job.output.Name());
        }
        source.Close();
        return;
    }
    result.outputPath.AssignString(job.output.Name());
    job.finalName = BytesOf(finalName);
    names.reserved.insert(job.finalName);
    if (names.journal != nullptr) {
        names.journal->RecordPartial(index, BytesOf(result.outputPath), job.finalName);
    }
    // Readers that go by the header's sizes (SoX) then read most of a partial output too.
    job.output.SetHeaderRefresh(kHeaderRefreshBytes);
    job.ratio = static_cast<double>(format.samplesPerSecond) / static_cast<double>(out.frequency);
    job.kernelChannels = (format.channels == 1 && out.channels == 2) ? 1 : out.channels;
    job.keepMetadata = target.keepMetadata;
    job.ready = true;
}

// A converted output takes its name from the partial one, without replacing anything: the name
// reserved for it, or (when another program took that one meanwhile) the first free one. An
// output that is not complete keeps its partial name.
void FinishOutput(FileJob& job, const CFileName& entry, BatchNames& names, int index) {
    if (job.finalName.empty()) return;
    FileResult& result = job.result;
    std::lock_guard<std::mutex> lock(names.lock);
    names.reserved.erase(job.finalName);
    if (result.status != FileStatus::Converted) return;
    CString partial;
    partial.AssignString(result.outputPath);
    CString name;
    name.AssignBytes(job.finalName.data(), static_cast<int>(job.finalName.size()));
    platform::CreateResult renamed = platform::RenameNew(partial.WideText(), name.WideText());
    for (int k = 0; k < kOutputNameCandidates && renamed == platform::CreateResult::Exists; ++k) {
        name = CandidateName(job.folder, entry, job.baseName, k, false);
        if (names.reserved.count(BytesOf(name)) != 0) continue;
        renamed = platform::RenameNew(partial.WideText(), name.WideText());
    }
    if (renamed != platform::CreateResult::Created) {
        result.status = renamed == platform::CreateResult::Exists ? FileStatus::NoFreeName
                                                                  : FileStatus::WriteFailed;
        result.systemError = platform::LastError();
        return;
    }
    result.outputPath.AssignString(name);
    if (names.journal != nullptr) names.journal->RecordDone(index, BytesOf(name));
}

// Converts a prepared file over a path, reporting progress as file `index`, and closes both
// files.
template <typename Path>
void ConvertPrepared(FileJob& job, int index, const std::atomic<int>& stopFlag,
                     ConversionObserver* observer, typename Path::Resampler& resampler) {
    if (!job.ready) return;
    FileResult& result = job.result;
    // Read before the samples, which then start from the beginning again; kept until the output's
    // length is known.
    WaveMetadata metadata;
    if (job.keepMetadata) {
        metadata = ReadWaveMetadata(job.source);
        job.source.Rewind();
    }
    const Blocks blocks(job);
    Path path(job, blocks, resampler);
    if (!path.Allocate()) {
        result.status = FileStatus::OutOfMemory;
    } else {
        FileConverter converter(job, index, stopFlag, observer);
        result.status = converter.Run(blocks, path);
    }

    // Every sample is written by now. A stopped output keeps the metadata too, its positions
    // limited to the part converted; an output that failed gets none.
    if (!metadata.chunks.empty() &&
        (result.status == FileStatus::Converted || result.status == FileStatus::Stopped)) {
        job.output.SetTrailer(RetimedMetadata(metadata, job.source.Format().samplesPerSecond,
                                              static_cast<std::uint32_t>(job.format.frequency),
                                              job.output.FrameCount()));
    }
    job.source.Close();
    if (!job.output.Finish() && !IsFailure(result.status)) result.status = FileStatus::WriteFailed;
    if (result.status == FileStatus::WriteFailed) result.systemError = job.output.LastError();
    result.framesWritten = job.output.FrameCount();
    job.ready = false;
    DiagnosticPrint(L"Resampling... complete\n");
}

template <typename Path>
FileResult ConvertOne(const CFileName& entry, const ConversionTarget& target,
                      const std::atomic<int>& stopFlag, ConversionObserver* observer,
                      typename Path::Resampler& resampler) {
    FileJob job;
    BatchNames names;
    PrepareFile(job, entry, CString(), target, names, 0);
    ConvertPrepared<Path>(job, 0, stopFlag, observer, resampler);
    FinishOutput(job, entry, names, 0);
    return std::move(job.result);
}

// Where a batch keeps its journal: the output folder, or beside the first source when the
// outputs go beside their sources. False for a batch without sources.
bool JournalFolder(const std::vector<BatchSource>& sources, const ConversionTarget& target,
                   std::string* folder) {
    if (target.folder.Length() > 0) {
        *folder = BytesOf(target.folder);
        return true;
    }
    for (const BatchSource& source : sources) {
        if (source.file == nullptr) continue;
        const std::string path = BytesOf(source.file->FullPath);
        *folder =
            path.substr(0, static_cast<std::size_t>(FolderPrefixLength(source.file->FullPath)));
        return true;
    }
    return false;
}

// What makes a batch the same batch: every choice that shapes its outputs, and its sources in
// their order with their subfolders.
std::uint64_t BatchFingerprint(const std::vector<BatchSource>& sources,
                               const ConversionTarget& target) {
    Fingerprint print;
    print.AddString(BytesOf(target.folder));
    print.AddNumber(static_cast<std::uint64_t>(target.frequency));
    print.AddNumber(static_cast<std::uint64_t>(target.channels));
    print.AddNumber(static_cast<std::uint64_t>(target.quality));
    print.AddNumber(static_cast<std::uint64_t>(target.format));
    print.AddNumber(static_cast<std::uint64_t>(target.dither));
    print.Add(&target.gainDb, sizeof target.gainDb);
    print.AddNumber(target.preventClipping ? 1 : 0);
    print.AddNumber(target.keepMetadata ? 1 : 0);
    print.AddNumber(static_cast<std::uint64_t>(target.phase));
    print.AddString(BytesOf(target.nameTemplate));
    print.AddNumber(sources.size());
    for (const BatchSource& source : sources) {
        print.AddString(source.file != nullptr ? BytesOf(source.file->FullPath) : std::string());
        print.AddString(BytesOf(source.subfolder));
    }
    return print.Value();
}

// The batch over one path; each thread makes its resampler with make.
template <typename Path, typename Make>
bool RunBatch(const std::vector<BatchSource>& sources, const ConversionTarget& target,
              const std::atomic<int>& stopFlag, ConversionObserver* observer, int jobs,
              int* failedFiles, Make make) {
    const int n = static_cast<int>(sources.size());
    if (jobs > n) jobs = n;
    if (observer != nullptr) observer->OnBatchBegin(n);

    BatchJournal journal;
    BatchNames names;
    std::string journalFolder;
    if (JournalFolder(sources, target, &journalFolder) &&
        journal.Open(journalFolder, BatchFingerprint(sources, target), n)) {
        names.journal = &journal;
    }
    std::mutex& claim = names.lock;
    int next = 0;
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    auto work = [&]() {
        std::unique_ptr<typename Path::Resampler> resampler = make();
        while (true) {
            FileJob job;
            job.overlapInputOutput = jobs == 1;
            int i;
            {
                std::lock_guard<std::mutex> lock(claim);
                if (next >= n || stopFlag.load() != 0) return;
                i = next++;
                if (observer != nullptr) observer->OnFileBegin(i);
                const BatchSource& source = sources[static_cast<std::size_t>(i)];
                if (source.file != nullptr) {
                    PrepareFile(job, *source.file, source.subfolder, target, names, i);
                }
            }
            const CFileName* entry = sources[static_cast<std::size_t>(i)].file;
            if (entry != nullptr) {
                if (resampler) {
                    ConvertPrepared<Path>(job, i, stopFlag, observer, *resampler);
                } else if (job.ready) {
                    job.result.status = FileStatus::OutOfMemory;
                    job.source.Close();
                    job.output.Finish();
                }
                FinishOutput(job, *entry, names, i);
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
    // A batch that went through has nothing to resume: a run of it again converts anew.
    if (!stopped) journal.Remove();
    if (observer != nullptr) observer->OnBatchEnd(stopped);
    if (failedFiles != nullptr) *failedFiles = failed.load();
    return stopped;
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
           status != FileStatus::NotStarted && status != FileStatus::Skipped;
}

bool ExpandNameTemplate(const std::string& nameTemplate, const std::string& baseName,
                        const ConversionTarget& target, std::string* name) {
    const bool high = target.quality == Quality::High;
    const int rate = target.frequency;
    std::string khz = std::to_string(rate / 1000);
    if (rate % 1000 != 0) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03d", rate % 1000);
        std::string digits(fraction);
        while (digits.back() == '0') digits.pop_back();
        khz += digits;
    }
    const char* bits = !high || target.format == SampleType::Int16 ? "16"
                       : target.format == SampleType::Int24        ? "24"
                                                                   : "32f";
    const std::pair<const char*, std::string> fields[] = {
        {"name", baseName}, {"rate", std::to_string(rate)},
        {"khz", khz},       {"channels", std::to_string(target.channels)},
        {"bits", bits},     {"quality", high ? "high" : "standard"},
    };
    std::string made;
    for (std::size_t i = 0; i < nameTemplate.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(nameTemplate[i]);
        // Controls: C0, DEL, and C1 (U+0080 to U+009F, 0xC2 0x80..0x9F in UTF-8).
        const bool c1 = c == 0xC2 && i + 1 < nameTemplate.size() &&
                        static_cast<unsigned char>(nameTemplate[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(nameTemplate[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F || c1 || c == '/' || c == '\\') return false;
        if (c != '{') {
            made.push_back(static_cast<char>(c));
            continue;
        }
        const std::size_t close = nameTemplate.find('}', i);
        if (close == std::string::npos) return false;
        const std::string field = nameTemplate.substr(i + 1, close - i - 1);
        bool known = false;
        for (const auto& f : fields) {
            if (field == f.first) {
                made += f.second;
                known = true;
            }
        }
        if (!known) return false;
        i = close;
    }
    if (made.empty() || made == "." || made == "..") return false;
    *name = std::move(made);
    return true;
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
        case FileStatus::Skipped:
            return FormatString(L"skipped, %s is already converted", out);
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
        case FileStatus::UnusableTemplate:
            return FormatString(
                L"the name template makes no usable output name from its name (an unknown "
                L"field, a path separator or a control character, or an empty, \".\" or \"..\" "
                L"name)");
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

OutputCreation CreateOutputFile(CWaveFile& output, const OutputFormat& format,
                                const CString& outputFolder, const CFileName& entry, int index) {
    return CreateAt(output, format,
                    CandidateName(outputFolder, entry, BytesOf(entry.BaseName), index, false));
}

FileResult ConvertFile(const CFileName& entry, const ConversionTarget& target,
                       const std::atomic<int>& stopFlag, ConversionObserver* observer,
                       Pcm16Resampler& resampler) {
    return ConvertOne<Pcm16Path>(entry, target, stopFlag, observer, resampler);
}

FileResult ConvertFile(const CFileName& entry, const ConversionTarget& target,
                       const std::atomic<int>& stopFlag, ConversionObserver* observer,
                       FloatResampler& resampler) {
    return ConvertOne<FloatPath>(entry, target, stopFlag, observer, resampler);
}

bool RunConversionBatch(const std::vector<const CFileName*>& sources,
                        const ConversionTarget& target, const std::atomic<int>& stopFlag,
                        ConversionObserver* observer, int jobs, int* failedFiles,
                        ResamplerFactory makeResampler) {
    std::vector<BatchSource> list(sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) list[i].file = sources[i];
    return RunSourceBatch(list, target, stopFlag, observer, jobs, failedFiles, makeResampler);
}

bool RunSourceBatch(const std::vector<BatchSource>& sources, const ConversionTarget& target,
                    const std::atomic<int>& stopFlag, ConversionObserver* observer, int jobs,
                    int* failedFiles, ResamplerFactory makeResampler) {
    if (target.quality == Quality::High) {
        const HqOptions options{target.format != SampleType::Int16, target.phase};
        return RunBatch<FloatPath>(sources, target, stopFlag, observer, jobs, failedFiles,
                                   [options] { return MakeHighQualityResampler(options); });
    }
    return RunBatch<Pcm16Path>(sources, target, stopFlag, observer, jobs, failedFiles,
                               makeResampler != nullptr ? makeResampler : MakeSincResampler);
}
