// Fuzzes the WAV reader and the conversion job: each input is written to a file, opened as a
// source, then converted to two target settings, in the standard quality or (chosen by the
// input's bytes) the high quality, there to 16 or 24 bits or floats, at times with clipping
// prevented. What must hold whatever the bytes are:
// - a header that opens describes sample data inside the file, in whole frames;
// - a source that opens converts completely (it cannot change while it is read) or is
//   refused for its ratio (1024 or 1/1024 and beyond), and the output holds as many frames as the
//   ratio makes, give or take the rounding of the output instants;
// - every output written is a WAV file of the asked format whose header sizes match its length,
//   the source's metadata after its samples as whole chunks, positions within the output.
// A violation aborts, so libFuzzer records the input.
//
// Speed: under AddressSanitizer a thread start costs about half a millisecond on a small
// virtual machine. The job reads a source shorter than one block and gathers an output that fits
// one block without threads; a longer output is written by a thread of its own. Most inputs are
// converted with thread creation refused, which the job handles by writing on the calling thread
// (its fallback when no thread can be started): the same data path, faster. One input in eight,
// chosen by its bytes so that a run can be repeated, is converted with the threads.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/cstring.h"
#include "base/filename.h"
#include "engine/high/hq_resampler.h"
#include "engine/job/conversion.h"
#include "engine/standard/sinc_resampler.h"
#include "media/wave_file.h"
#include "media/wave_metadata.h"
#include "tests/fuzz/fuzz_check.h"

// The sanitizer runtime's pthread_create, which this file's definition replaces (the runtime's
// own is a weak alias of it).
extern "C" int __interceptor_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                            void* (*start)(void*), void* argument);

namespace {

// While set, thread creation fails as it does when the system has no threads to spare.
bool refuseThreads = false;

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
    if (refuseThreads) return EAGAIN;
    return __interceptor_pthread_create(thread, attributes, start, argument);
}

namespace {

// Conversions that would write more frames than this are skipped (the parse is still done):
// a 1 Hz source upsampled to 96 kHz would otherwise write megabytes for a few input bytes.
constexpr double kMaxOutputFrames = 1 << 17;

struct Target {
    int frequency;
    int channels;
};
constexpr Target kTargets[] = {{8000, 1}, {96000, 2}};

CString Utf8String(const std::string& text) {
    CString s;
    s.AssignBytes(text.c_str());
    return s;
}

// The folders of this process, made once: in /dev/shm when it is there (no disk traffic), else
// in TMPDIR or /tmp. Removed at exit.
struct Folders {
    std::string root, input, output;

    Folders() {
        const char* bases[] = {"/dev/shm", std::getenv("TMPDIR"), "/tmp"};
        for (const char* base : bases) {
            if (base == nullptr) continue;
            std::string pattern = std::string(base) + "/ratemill-fuzz-XXXXXX";
            if (mkdtemp(&pattern[0]) != nullptr) {
                root = pattern;
                break;
            }
        }
        Check(!root.empty(), "a temporary folder can be made");
        input = root + "/input.wav";
        output = root + "/out";
        Check(mkdir(output.c_str(), 0700) == 0, "the output folder can be made");
    }
    ~Folders() {
        unlink(input.c_str());
        unlink((output + "/input.wav").c_str());
        rmdir(output.c_str());
        rmdir(root.c_str());
    }
};

void WriteInput(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Check(fd >= 0, "the input file can be written");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        Check(n > 0, "the input file can be written");
        done += static_cast<std::size_t>(n);
    }
    close(fd);
}

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Progress reports of one file: percentages from 0 to 99 that never go back.
class ProgressCheck : public ConversionObserver {
  public:
    void OnFileProgress(unsigned percent) override {
        Check(percent < 100 && (m_last < 0 || static_cast<int>(percent) >= m_last),
              "progress rises from 0 to 99");
        m_last = static_cast<int>(percent);
    }

  private:
    int m_last = -1;
};

// An output file of the program: a 56-byte header that opens as PCM of the asked sample size at
// the target's settings, with every size field matching the file's length.
void CheckOutput(const CString& path, const Target& target, int bits, const FileResult& result) {
    CWaveFile output;
    Check(output.OpenFile(path), "the output opens as a WAV file");
    const SampleFormat& format = output.Format();
    Check(format.formatTag == (bits == 32 ? 3 : 1) && format.bitsPerSample == bits,
          "the output is PCM (float for 32 bits) of its size");
    Check(format.channels == target.channels, "the output has the target's channels");
    Check(format.samplesPerSecond == static_cast<std::uint32_t>(target.frequency),
          "the output has the target's frequency");
    Check(format.blockAlign == bits / 8 * target.channels &&
              format.averageBytesPerSecond ==
                  static_cast<std::uint32_t>(target.frequency) * format.blockAlign,
          "the output's block align and byte rate agree with its format");
    const std::uint64_t fileSize = output.Size();
    const std::uint64_t dataBytes = result.framesWritten * format.blockAlign;
    Check(output.DataOffset() == kWaveHeaderBytes, "the samples follow the 56-byte header");
    Check(output.DataBytes() == dataBytes, "the data size holds the frames written");
    Check(output.FrameCount() == result.framesWritten, "the frames read back are those written");

    std::uint8_t header[kWaveHeaderBytes];
    Check(output.Read(header, sizeof header, 0) == sizeof header, "the header reads back");
    Check(Le32(header + 4) == fileSize - 8, "the RIFF size is the file's length less 8");
    Check(std::memcmp(header + 36, "fact", 4) == 0 && Le32(header + 44) == result.framesWritten,
          "the fact chunk counts the frames");
    Check(Le32(header + 52) == dataBytes, "the data size field is exact");

    // What follows the samples (and their pad byte) is the source's metadata: whole chunks that
    // read back as they were written, every position within the output.
    const std::uint64_t metadataAt = kWaveHeaderBytes + dataBytes + (dataBytes & 1);
    Check(fileSize == kWaveHeaderBytes + dataBytes || metadataAt <= fileSize,
          "the metadata follows the samples");
    std::vector<std::uint8_t> after(
        static_cast<std::size_t>(fileSize > metadataAt ? fileSize - metadataAt : 0));
    Check(after.empty() || output.Read(after.data(), static_cast<std::uint32_t>(after.size()),
                                       metadataAt) == after.size(),
          "the metadata reads back");
    const WaveMetadata metadata = ReadWaveMetadata(output);
    const std::uint32_t rate = format.samplesPerSecond;
    Check(RetimedMetadata(metadata, rate, rate, result.framesWritten) == after,
          "the metadata is whole chunks of the kinds kept, with positions within the output");
    output.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Folders folders;
    // One resampler per target and quality, so that each keeps the tables of its rate pair.
    static std::unique_ptr<Pcm16Resampler> resamplers[2] = {MakeSincResampler(),
                                                            MakeSincResampler()};
    static std::unique_ptr<FloatResampler> highQuality[2] = {MakeHighQualityResampler(),
                                                             MakeHighQualityResampler()};
    WriteInput(folders.input, data, size);
    const CString inputPath = Utf8String(folders.input);

    CWaveFile source;
    if (!source.OpenFile(inputPath)) {
        Check(source.OpenError() != WaveError::None, "a refused file says why");
        Check(!source.IsOpen(), "a refused file is closed");
        return 0;
    }
    const SampleFormat format = source.Format();
    const std::uint64_t frames = source.FrameCount();
    Check(source.Size() == size, "the size opened is the size written");
    Check(format.channels >= 1 && format.channels <= 64 && format.blockAlign != 0 &&
              format.blockAlign % format.channels == 0 && format.samplesPerSecond != 0,
          "an accepted format is usable");
    Check(source.DataOffset() >= 20 && source.DataOffset() <= size &&
              source.DataBytes() <= size - source.DataOffset(),
          "the sample data lies inside the file");
    Check(frames == source.DataBytes() / format.blockAlign, "the frames are whole blocks of data");
    source.Close();

    CFileName entry;
    entry.SetPath(folders.input.c_str());
    const CString outputFolder = Utf8String(folders.output);
    const std::string outputFile = folders.output + "/input.wav";
    const std::atomic<int> stop{0};
    // FNV-1a of the bytes picks the inputs converted with threads.
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    refuseThreads = hash % 8 != 0;
    const bool high = (hash >> 3) % 2 != 0;
    const int bits = high ? 16 + 8 * static_cast<int>((hash >> 4) % 3) : 16;  // 32: floats

    for (int t = 0; t < 2; ++t) {
        const Target& target = kTargets[t];
        const double ratio = static_cast<double>(format.samplesPerSecond) / target.frequency;
        const double expected = static_cast<double>(frames) / ratio;
        const std::uint64_t sourceRate = format.samplesPerSecond;
        const std::uint64_t targetRate = static_cast<std::uint64_t>(target.frequency);
        const bool refused = sourceRate >= 1024 * targetRate || targetRate >= 1024 * sourceRate;
        if (!refused && expected > kMaxOutputFrames) continue;

        ProgressCheck progress;
        ConversionTarget asked;
        asked.folder.AssignString(outputFolder);
        asked.frequency = target.frequency;
        asked.channels = target.channels;
        asked.quality = high ? Quality::High : Quality::Standard;
        asked.format = bits == 16   ? SampleType::Int16
                       : bits == 24 ? SampleType::Int24
                                    : SampleType::Float32;
        asked.preventClipping = (hash >> 6) % 4 == 0;
        const FileResult result = high ? ConvertFile(entry, asked, stop, &progress, *highQuality[t])
                                       : ConvertFile(entry, asked, stop, &progress, *resamplers[t]);
        if (refused) {
            Check(result.status == FileStatus::UnsupportedRatio,
                  "a ratio of 1024 or 1/1024 and beyond is refused");
            Check(access(outputFile.c_str(), F_OK) != 0, "a refused ratio creates no output");
            continue;
        }
        Check(result.status == FileStatus::Converted, "an accepted source converts");
        // Standard: an output is made once the 25 inputs after its instant have arrived, so the
        // last 25 source frames only complete earlier windows. High: the output lasts as long as
        // the source.
        const double lagging = frames > 25 ? static_cast<double>(frames - 25) / ratio : 0.0;
        Check(std::fabs(static_cast<double>(result.framesWritten) - (high ? expected : lagging)) <=
                  (high ? 1.0 : 2.0),
              "the output has as many frames as the ratio gives");
        CheckOutput(result.outputPath, target, bits, result);
        Check(unlink(outputFile.c_str()) == 0, "the output is where it was named");
    }
    refuseThreads = false;
    return 0;
}
