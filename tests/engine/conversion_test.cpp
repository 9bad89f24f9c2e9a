#include "engine/job/conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/high/hq_kernel.h"
#include "engine/high/hq_resampler.h"
#include "engine/job/batch_journal.h"
#include "engine/job/channels.h"
#include "engine/job/results_log.h"
#include "engine/job/sample_writer.h"
#include "engine/standard/sinc_resampler.h"
#include "engine/standard/sinc_state.h"
#include "media/wave_metadata.h"
#include "platform/platform.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace testing_support;

std::vector<std::int16_t> Wave(int count, int seed = 0) {
    return Sine(count, 25000.0, 0.03, seed);
}

// An equal-rate conversion passes each sample on scaled by 32767/32768, truncated.
std::int16_t Scaled(std::int16_t s) {
    return static_cast<std::int16_t>(std::trunc(s * 32767.0 / 32768.0));
}

// 16, 24 or 32 (floats) bits per sample.
SampleType Bits(int bits) {
    return bits == 16 ? SampleType::Int16 : bits == 24 ? SampleType::Int24 : SampleType::Float32;
}

struct BatchResult {
    RecordingObserver observer;
    bool stopped = false;
    int failed = -1;
};

BatchResult RunBatch(const std::vector<const CFileName*>& sources, const std::string& folder,
                     int rate, int channels, Quality quality = Quality::Standard, int bits = 16) {
    BatchResult r;
    std::atomic<int> stop{0};
    r.stopped = RunConversionBatch(sources, {Str(folder), rate, channels, quality, Bits(bits)},
                                   stop, &r.observer, 1, &r.failed);
    return r;
}

// An output's header and samples as they would be without the chunks from `at` on: the RIFF size
// counts them exactly, and is set back.
Bytes WithoutChunksAfter(Bytes file, std::size_t at) {
    EXPECT_EQ(Get32(file, 4), file.size() - 8);
    file.resize(at);
    const std::uint32_t riff = static_cast<std::uint32_t>(at - 8);
    for (int i = 0; i < 4; ++i) file[4 + i] = static_cast<std::uint8_t>(riff >> (8 * i));
    return file;
}

// The header fields of an output and its length agree with the frames it holds.
void ExpectOutput(const Bytes& file, std::uint32_t rate, std::uint16_t channels,
                  std::uint32_t frames, std::uint16_t bits = 16) {
    const std::uint32_t align = bits / 8u * channels;
    const std::uint32_t data = frames * align;
    ASSERT_EQ(file.size(), kWaveHeaderBytes + data);
    EXPECT_EQ(Get32(file, 4), kWaveHeaderBytes - 8 + data);
    EXPECT_EQ(Get16(file, 22), channels);
    EXPECT_EQ(Get32(file, 24), rate);
    EXPECT_EQ(Get32(file, 28), rate * align);
    EXPECT_EQ(Get16(file, 32), align);
    EXPECT_EQ(Get16(file, 34), bits);
    EXPECT_EQ(Get16(file, 20), bits == 32 ? 3 : 1);  // 32 bits: IEEE floats
    EXPECT_EQ(Get32(file, 44), frames);
    EXPECT_EQ(Get32(file, 52), data);
}

TEST(ChannelConversion, StereoToMonoScalesEachSideAndSaturates) {
    const std::int16_t in[] = {20000, 20000, 32767, 32767, -32768, -32768, 3, -3};
    std::int16_t out[4] = {};
    StereoToMono(in, 4, out);
    EXPECT_EQ(out[0], 28284);  // 14142 + 14142: each side truncated before the sum
    EXPECT_EQ(out[1], 32767);
    EXPECT_EQ(out[2], -32768);
    EXPECT_EQ(out[3], 0);
}

// Floats reach the output rounded to the nearest step (ties to even) and saturated, in 16 and
// 24 bits, written once or twice (a mono stream to both sides of stereo); NaN becomes the lowest
// value, and -0 is 0.
TEST(SampleWriterFloats, AreRoundedAndSaturated) {
    for (int bytes : {2, 3}) {
        for (int copies : {1, 2}) {
            SCOPED_TRACE(std::to_string(bytes) + " bytes x " + std::to_string(copies));
            const float step = bytes == 2 ? 1.0f / 32768 : 1.0f / 8388608;
            const float inf = INFINITY;
            const std::vector<float> in{1.5f * step, 2.5f * step, -2.5f * step, 0.49f * step,
                                        1.0f,        -1.0f,       1.5f,         -1.5f,
                                        NAN,         inf,         -inf,         -0.0f};
            const std::int32_t max = bytes == 2 ? 32767 : 8388607;
            const std::vector<std::int32_t> expected{
                2, 2, -2, 0, max, -max - 1, max, -max - 1, -max - 1, max, -max - 1, 0};
            TempFolder folder;
            CWaveFile output;
            MediaParams params{1, 8000, copies, 8 * bytes};
            output.SetParams(&params);
            ASSERT_EQ(output.Create(Str(folder.File("a.wav")), false), 0);
            {
                SampleWriter writer(output, 6, false, bytes);  // several blocks
                EXPECT_TRUE(writer.WriteFloat(in.data(), static_cast<int>(in.size()), copies));
                EXPECT_TRUE(writer.Finish());
            }
            ASSERT_TRUE(output.Finish());
            const Bytes file = ReadFileBytes(folder.File("a.wav"));
            ASSERT_EQ(file.size(), kWaveHeaderBytes + in.size() * bytes * copies);
            for (std::size_t i = 0; i < in.size() * copies; ++i) {
                std::uint32_t v = 0;
                for (int b = 0; b < bytes; ++b)
                    v |= static_cast<std::uint32_t>(file[kWaveHeaderBytes + i * bytes + b])
                         << (8 * b + 32 - 8 * bytes);
                EXPECT_EQ(static_cast<std::int32_t>(v) >> (32 - 8 * bytes), expected[i / copies])
                    << i;
            }
        }
    }
}

// The dither depends on the stream alone: a value's dither on its channel and frame, so the same
// values give the same samples in any pieces and on every instruction set, the left side of
// stereo gets what the same values get in mono, and the right side noise of its own.
TEST(FloatQuantizerDither, DependsOnTheStreamAloneNotOnItsPieces) {
    std::vector<float> mono(1000), stereo;
    for (std::size_t i = 0; i < mono.size(); ++i) {
        mono[i] =
            i % 7 == 0 ? 0.0f : 0.25f * static_cast<float>(std::sin(0.05 * static_cast<double>(i)));
        stereo.insert(stereo.end(), 2, mono[i]);
    }
    for (auto noise : {FloatQuantizer::Noise::Tpdf, FloatQuantizer::Noise::Shaped}) {
        for (int bytes : {2, 3}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(noise)) + ", " + std::to_string(bytes));
            const auto convert = [&](const std::vector<float>& in, int channels,
                                     std::vector<int> pieces,
                                     const HqKernel& kernel = kHqKernelSse2) {
                FloatQuantizer q(bytes, noise, channels, kernel);
                std::vector<std::int32_t> out(in.size());
                for (std::size_t at = 0, p = 0; at < in.size(); ++p) {
                    const int n = std::min(pieces[p % pieces.size()], int(in.size() - at));
                    q.Convert(in.data() + at, n, 1, out.data() + at);
                    at += static_cast<std::size_t>(n);
                }
                return out;
            };
            const std::vector<std::int32_t> whole = convert(stereo, 2, {2000});
            EXPECT_EQ(convert(stereo, 2, {1, 255, 257, 3, 600}), whole);
            for (const HqKernel* kernel : {&kHqKernelAvx2, &kHqKernelAvx512}) {
                if (KernelSupported(*kernel)) {
                    EXPECT_EQ(convert(stereo, 2, {700, 1300}, *kernel), whole) << kernel->name;
                }
            }
            const std::vector<std::int32_t> alone = convert(mono, 1, {333});
            int own = 0;
            for (std::size_t i = 0; i < mono.size(); ++i) {
                ASSERT_EQ(whole[2 * i], alone[i]) << i;
                if (mono[i] == 0.0f) {
                    ASSERT_EQ(whole[2 * i + 1], 0) << i;
                }
                own += whole[2 * i + 1] != whole[2 * i];
            }
            EXPECT_GT(own, 300);
        }
    }
}

class ConversionJob : public ::testing::Test {
  protected:
    TempFolder source;
    TempFolder out;

    std::unique_ptr<CFileName> Source(const std::string& name, const Bytes& wav) {
        WriteFileBytes(source.File(name), wav);
        auto entry = std::make_unique<CFileName>();
        entry->SetPath(source.File(name).c_str());
        return entry;
    }
};

TEST_F(ConversionJob, EqualRateMonoLoses25FramesInOneChunk) {
    const std::vector<std::int16_t> in = Wave(1000);
    auto a = Source("a.wav", Pcm16Wav(44100, 1, in));

    BatchResult mono = RunBatch({a.get()}, out.Path(), 44100, 1);
    EXPECT_FALSE(mono.stopped);
    EXPECT_EQ(mono.failed, 0);
    EXPECT_EQ(mono.observer.calls,
              (std::vector<std::string>{"begin 1", "file 0", "progress 0", "result 0 Converted",
                                        "end 1", "batch-end 0"}));
    EXPECT_EQ(mono.observer.outputs, std::vector<std::string>{out.File("a.wav")});
    Bytes file = ReadFileBytes(out.File("a.wav"));
    ExpectOutput(file, 44100, 1, 975);
    EXPECT_EQ(file.size(), 2006u);
    EXPECT_EQ(Get32(file, 4), 1998u);
    std::vector<std::int16_t> samples = SamplesOf(file);
    for (std::size_t n = 0; n < samples.size(); ++n) ASSERT_EQ(samples[n], Scaled(in[n])) << n;

    RunBatch({a.get()}, out.Path(), 44100, 2);
    Bytes stereo = ReadFileBytes(out.File("a(1).wav"));
    ExpectOutput(stereo, 44100, 2, 975);
    EXPECT_EQ(stereo.size(), 3956u);
    samples = SamplesOf(stereo);
    for (std::size_t n = 0; n < 975; ++n) {
        ASSERT_EQ(samples[2 * n], Scaled(in[n])) << n;
        ASSERT_EQ(samples[2 * n + 1], samples[2 * n]) << n;
    }
}

TEST_F(ConversionJob, LengthThatFillsWholeChunksEndsOnTheFrameCount) {
    auto a = Source("a.wav", Pcm16Wav(44100, 1, Wave(3 * kChunkFrames)));
    BatchResult r = RunBatch({a.get()}, out.Path(), 44100, 1);
    EXPECT_EQ(r.observer.calls, (std::vector<std::string>{
                                    "begin 1", "file 0", "progress 0", "progress 33", "progress 66",
                                    "result 0 Converted", "end 1", "batch-end 0"}));
    ExpectOutput(ReadFileBytes(out.File("a.wav")), 44100, 1, 3 * kChunkFrames - 25);
}

// Other layouts of the same sound give the same output as the plain 16-bit file: wider samples
// keep their top 16 bits, the data chunk's size bounds the sound, a trailing part frame is
// dropped, RF64 reads as RIFF.
TEST_F(ConversionJob, SourceLayoutsConvertLikeThePlain16BitFile) {
    const std::vector<std::int16_t> in = Wave(2 * 3000, 7);
    Bytes pcm16;
    Bytes pcm24;
    for (std::int16_t s : in) {
        Put16(pcm16, static_cast<std::uint16_t>(s));
        pcm24.push_back(0xA5);  // below the 16 bits that are kept
        Put16(pcm24, static_cast<std::uint16_t>(s));
    }
    Bytes partFrame = pcm16;
    partFrame.insert(partFrame.end(), {0x11, 0x22});
    Bytes junk(600, 0x7F);

    const std::vector<std::pair<std::string, Bytes>> twins{
        {"bits24.wav", MakeRiff({{"fmt ", FormatBody(1, 2, 48000, 24)}, {"data", pcm24}})},
        {"extensible.wav",
         MakeRiff({{"fmt ", ExtensibleFormatBody(1, 2, 48000, 24, 20, 0x3)}, {"data", pcm24}})},
        {"list.wav",
         MakeRiff({{"fmt ", FormatBody(1, 2, 48000, 16)}, {"data", pcm16}, {"LIST", junk}})},
        {"part.wav", MakeRiff({{"fmt ", FormatBody(1, 2, 48000, 16)}, {"data", partFrame}})},
        // The 64-bit form: the data size in "ds64" bounds the samples.
        {"rf64.wav",
         MakeRf64({{"fmt ", FormatBody(1, 2, 48000, 16)}, {"data", pcm16}, {"LIST", junk}})},
        {"bw64.wav", MakeRf64({{"fmt ", FormatBody(1, 2, 48000, 16)}, {"data", pcm16}}, "BW64")}};
    std::vector<std::unique_ptr<CFileName>> entries;
    entries.push_back(Source("plain.wav", Pcm16Wav(48000, 2, in)));
    for (const auto& twin : twins) entries.push_back(Source(twin.first, twin.second));
    std::vector<const CFileName*> all;
    for (const auto& e : entries) all.push_back(e.get());

    BatchResult r = RunBatch(all, out.Path(), 44100, 2);
    EXPECT_EQ(r.failed, 0);
    const Bytes expected = ReadFileBytes(out.File("plain.wav"));
    ASSERT_GT(expected.size(), 2000u * 4);
    for (const auto& twin : twins) {
        EXPECT_TRUE(ReadFileBytes(out.File(twin.first)) == expected) << twin.first;
    }
}

// Metadata after a data chunk left empty is not sound: the source has no samples, and its
// output none either, only the metadata after its empty data chunk.
TEST_F(ConversionJob, MetadataAfterAnEmptyDataChunkIsNotConverted) {
    const std::vector<Chunk> chunks{
        {"fmt ", FormatBody(1, 2, 44100, 16)}, {"data", {}}, {"id3 ", Bytes(512000, 'I')}};
    auto riff = Source("riff.wav", MakeRiff(chunks));
    auto rf64 = Source("rf64.wav", MakeRf64(chunks));
    for (const CFileName* entry : {riff.get(), rf64.get()}) {
        std::atomic<int> stop{0};
        auto resampler = MakeSincResampler();
        const FileResult result =
            ConvertFile(*entry, {Str(out.Path()), 48000, 2}, stop, nullptr, *resampler);
        EXPECT_EQ(result.status, FileStatus::Converted);
        EXPECT_EQ(result.sourceFrames, 0u);
        EXPECT_EQ(result.framesWritten, 0u);
    }
    for (const char* name : {"riff.wav", "rf64.wav"}) {
        const Bytes file = ReadFileBytes(out.File(name));
        ASSERT_EQ(file.size(), kWaveHeaderBytes + 8 + 512000) << name;
        EXPECT_EQ(std::string(file.begin() + 56, file.begin() + 60), "id3 ");
        ExpectOutput(WithoutChunksAfter(file, kWaveHeaderBytes), 48000, 2, 0);
    }
}

// Tags and the rest pass to the output after its samples, which stay as they are without them;
// positions move to the new rate (44100 -> 48000: 44100 becomes 48000), limited to the output.
TEST_F(ConversionJob, MetadataFollowsTheSamplesWithItsPositionsAtTheNewRate) {
    const std::uint32_t day = 0x87654321;  // the time reference's high word
    Bytes bext(602, 0);
    bext[338] = 0x44, bext[339] = 0xAC;  // 44100
    bext[342] = 0x21, bext[343] = 0x43, bext[344] = 0x65, bext[345] = 0x87;
    Bytes cue;
    for (std::uint32_t v : {3u, 1u, 0u, 0x61746164u, 0u, 0u, 44100u, 2u, 44100u, 0x61746164u, 9u,
                            9u, 0u, 3u, 88200u, 0x61746164u, 0u, 0u, 88200u})
        Put32(cue, v);
    Bytes adtl{'a', 'd', 't', 'l', 'l', 't', 'x', 't', 20, 0, 0, 0};
    for (std::uint32_t v : {2u, 44100u, 0u, 0u, 0u}) Put32(adtl, v);
    Bytes smpl;
    for (std::uint32_t v :
         {0u, 0u, 22676u, 60u, 0u, 0u, 0u, 1u, 0u, 1u, 0u, 22050u, 44100u, 0u, 0u})
        Put32(smpl, v);
    const Bytes info{'I', 'N', 'F', 'O', 'I', 'C', 'M', 'T', 3, 0, 0, 0, 'h', 'i', 0, 0};
    Bytes samples;
    for (std::int16_t v : Wave(2 * 88200)) Put16(samples, static_cast<std::uint16_t>(v));
    auto plain =
        Source("plain.wav", MakeRiff({{"fmt ", FormatBody(1, 2, 44100, 16)}, {"data", samples}}));
    auto tagged = Source("tagged.wav", MakeRiff({{"fmt ", FormatBody(1, 2, 44100, 16)},
                                                 {"bext", bext},
                                                 {"PEAK", Bytes(24, 1)},
                                                 {"data", samples},
                                                 {"LIST", info},
                                                 {"cue ", cue},
                                                 {"LIST", adtl},
                                                 {"smpl", smpl}}));
    for (Quality quality : {Quality::Standard, Quality::High}) {
        SCOPED_TRACE(static_cast<int>(quality));
        TempFolder folder;
        ConversionTarget target{Str(folder.Path()), 48000, 2, quality};
        std::atomic<int> stop{0};
        EXPECT_EQ(RunConversionBatch({plain.get(), tagged.get()}, target, stop, nullptr), false);
        const Bytes without = ReadFileBytes(folder.File("plain.wav"));
        const Bytes with = ReadFileBytes(folder.File("tagged.wav"));
        ASSERT_GT(with.size(), without.size());
        // The same header and samples; only the RIFF size counts what follows them.
        EXPECT_EQ(Get32(with, 4), with.size() - 8);
        EXPECT_TRUE(std::equal(without.begin() + 8, without.end(), with.begin() + 8));

        CWaveFile output;
        ASSERT_TRUE(output.OpenFile(Str(folder.File("tagged.wav"))));
        const std::uint64_t frames = output.FrameCount();
        EXPECT_EQ(frames, quality == Quality::High ? 96000u : 95973u);
        const WaveMetadata metadata = ReadWaveMetadata(output);
        ASSERT_EQ(metadata.chunks.size(), 5u);
        const Bytes& b = metadata.chunks[0].body;
        EXPECT_EQ(std::string(metadata.chunks[0].id, 4), "bext");
        const std::uint64_t reference = (std::uint64_t{day} << 32) + 44100;
        EXPECT_EQ(Get32(b, 338) | (std::uint64_t{Get32(b, 342)} << 32),
                  ScalePosition(reference, 44100, 48000));
        EXPECT_EQ(metadata.chunks[1].body, info);
        const Bytes& c = metadata.chunks[2].body;
        const std::uint32_t end = static_cast<std::uint32_t>(frames);
        // Each point's position, then its chunk start, block start and sample offset.
        const std::vector<std::uint32_t> points{Get32(c, 8),  Get32(c, 24), Get32(c, 32),
                                                Get32(c, 40), Get32(c, 44), Get32(c, 48),
                                                Get32(c, 56), Get32(c, 72)};
        EXPECT_EQ(points, (std::vector<std::uint32_t>{0, 48000, 48000, 0, 0, 0, end, end}));
        EXPECT_EQ(Get32(metadata.chunks[3].body, 16), 48000u);  // the ltxt's length
        const Bytes& loop = metadata.chunks[4].body;
        EXPECT_EQ(Get32(loop, 8), 20833u);  // ns per sample
        EXPECT_EQ(Get32(loop, 36 + 8), 24000u);
        EXPECT_EQ(Get32(loop, 36 + 12), 48000u);

        // Left out when asked: the output is the plain one.
        target.keepMetadata = false;
        EXPECT_EQ(RunConversionBatch({tagged.get()}, target, stop, nullptr), false);
        EXPECT_EQ(ReadFileBytes(folder.File("tagged(1).wav")), without);
    }
}

TEST_F(ConversionJob, SurroundSourceIsMixedDownWithoutTheLowFrequencyChannel) {
    // 5.1 order: front left, front right, centre, low frequency, back left, back right.
    const std::int16_t frame[6] = {20000, -12000, 6000, 32000, -3000, 9000};
    Bytes data;
    for (int i = 0; i < 3000; ++i) {
        for (std::int16_t v : frame) Put16(data, static_cast<std::uint16_t>(v));
    }
    auto a = Source("a.wav", MakeRiff({{"fmt ", ExtensibleFormatBody(1, 6, 44100, 16, 16, 0x3F)},
                                       {"data", data}}));

    // Left (20000 + 0.7071 x (6000 - 3000)) / 2.4142 = 9162, right -577; mono from those
    // 6478 - 408 = 6070; the equal-rate pass takes one step toward zero.
    RunBatch({a.get()}, out.Path(), 44100, 2);
    RunBatch({a.get()}, out.Path(), 44100, 1);
    Bytes stereo = ReadFileBytes(out.File("a.wav"));
    Bytes mono = ReadFileBytes(out.File("a(1).wav"));
    ExpectOutput(stereo, 44100, 2, 2975);
    ExpectOutput(mono, 44100, 1, 2975);
    std::vector<std::int16_t> s = SamplesOf(stereo);
    std::vector<std::int16_t> m = SamplesOf(mono);
    for (std::size_t n = 0; n < 2975; ++n) {
        ASSERT_EQ(s[2 * n], 9161) << n;
        ASSERT_EQ(s[2 * n + 1], -576) << n;
        ASSERT_EQ(m[n], 6069) << n;
    }

    // The high quality mixes the same in floats (left 9162.4, right -577.2), and its mono is the
    // average of the two sides. Away from the ends, where the filter meets the silence around
    // the source, it passes them within its passband's flatness.
    RunBatch({a.get()}, out.Path(), 44100, 2, Quality::High);
    RunBatch({a.get()}, out.Path(), 44100, 1, Quality::High);
    s = SamplesOf(ReadFileBytes(out.File("a(2).wav")));
    m = SamplesOf(ReadFileBytes(out.File("a(3).wav")));
    ASSERT_EQ(s.size(), 2u * 3000);
    ASSERT_EQ(m.size(), 3000u);
    for (std::size_t n = 1000; n < 2000; ++n) {
        ASSERT_NEAR(s[2 * n], 9162.4, 15) << n;
        ASSERT_NEAR(s[2 * n + 1], -577.2, 15) << n;
        ASSERT_NEAR(m[n], 4292.6, 15) << n;
    }
}

// The high quality: outputs last as long as their sources (ceil(frames x target / source)),
// in 16 or 24 bits or floats.
TEST_F(ConversionJob, HighQualityOutputsLastAsLongAsTheirSources) {
    struct Case {
        int rate, channels, target, targetChannels, bits;
    };
    const Case cases[] = {{44100, 2, 48000, 2, 16}, {48000, 2, 16000, 1, 24},
                          {8000, 1, 48000, 2, 24},  {96000, 1, 44100, 1, 16},
                          {44100, 1, 96000, 2, 32}, {48000, 2, 8000, 1, 32}};
    constexpr std::int64_t kFrames = 10007;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " > " + std::to_string(c.target) + ", " +
                     std::to_string(c.bits) + " bits");
        TempFolder folder;
        auto a = Source("a.wav", Pcm16Wav(static_cast<std::uint32_t>(c.rate),
                                          static_cast<std::uint16_t>(c.channels),
                                          Wave(static_cast<int>(kFrames) * c.channels)));
        BatchResult r =
            RunBatch({a.get()}, folder.Path(), c.target, c.targetChannels, Quality::High, c.bits);
        ASSERT_EQ(r.failed, 0);
        const std::int64_t frames = (kFrames * c.target + c.rate - 1) / c.rate;
        ExpectOutput(ReadFileBytes(folder.File("a.wav")), static_cast<std::uint32_t>(c.target),
                     static_cast<std::uint16_t>(c.targetChannels),
                     static_cast<std::uint32_t>(frames), static_cast<std::uint16_t>(c.bits));
    }
}

// A sine of 8 steps of 24 bits (-120 dBFS), far below the 16-bit step, comes out of 24-bit and
// float sources into a 24-bit output; two full-scale sides of stereo make a mono sine of the
// same level, not clipped.
TEST_F(ConversionJob, HighQualityKeepsWhatLiesBelow16BitsAndMixesToMonoWithoutClipping) {
    constexpr int kFrames = 6000;
    constexpr double kStep = 2 * 3.141592653589793 * 1000 / 48000;
    std::vector<std::int32_t> detail(kFrames);
    Bytes pcm24, pcm32, float32;
    for (int i = 0; i < kFrames; ++i) {
        detail[i] = static_cast<std::int32_t>(std::lround(8 * std::sin(kStep * i)));
        const auto v = static_cast<std::uint32_t>(detail[i]);
        pcm24.insert(pcm24.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16)});
        Put32(pcm32, v << 8);
        const float f = static_cast<float>(detail[i]) / 8388608;
        std::uint32_t bits;
        std::memcpy(&bits, &f, 4);
        Put32(float32, bits);
    }
    const std::vector<std::pair<std::string, Bytes>> layouts{
        {"bits24.wav", MakeRiff({{"fmt ", FormatBody(1, 1, 48000, 24)}, {"data", pcm24}})},
        {"bits32.wav", MakeRiff({{"fmt ", FormatBody(1, 1, 48000, 32)}, {"data", pcm32}})},
        {"float.wav", MakeRiff({{"fmt ", FormatBody(3, 1, 48000, 32)}, {"data", float32}})}};
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.first);
        auto entry = Source(layout.first, layout.second);
        ASSERT_EQ(RunBatch({entry.get()}, out.Path(), 48000, 1, Quality::High, 24).failed, 0);
        const Bytes file = ReadFileBytes(out.File(layout.first));
        ExpectOutput(file, 48000, 1, kFrames, 24);
        for (int n = 1000; n < kFrames - 1000; ++n) {
            const std::size_t at = kWaveHeaderBytes + 3u * n;
            const auto value =
                static_cast<std::int32_t>((file[at] << 8 | file[at + 1] << 16 |
                                           static_cast<std::uint32_t>(file[at + 2]) << 24));
            ASSERT_NEAR(value / 256, detail[n], 1) << n;
        }
    }

    const std::vector<std::int16_t> loud = Sine(kFrames, 32767, kStep);
    std::vector<std::int16_t> both;
    for (std::int16_t v : loud) both.insert(both.end(), {v, v});
    auto stereo = Source("stereo.wav", Pcm16Wav(48000, 2, both));
    RunBatch({stereo.get()}, out.Path(), 48000, 1, Quality::High);
    const std::vector<std::int16_t> mono = SamplesOf(ReadFileBytes(out.File("stereo.wav")));
    ASSERT_EQ(mono.size(), loud.size());
    for (int n = 1000; n < kFrames - 1000; ++n) ASSERT_NEAR(mono[n], loud[n], 100) << n;

    // The standard quality's mono mix of it clips (3 dB too loud): the job counts the samples
    // left at its limit (within a step of full scale after the resampler's 32767/32768).
    // Preventing clipping lowers each quality's gain by what its first pass measured, and then
    // nothing reaches -0.1 dBFS (32392).
    auto sinc = MakeSincResampler();
    auto hq = MakeHighQualityResampler();
    for (Quality quality : {Quality::Standard, Quality::High}) {
        for (bool prevent : {false, true}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(quality)) + (prevent ? " prevent" : ""));
            ConversionTarget target{Str(out.Path()), 48000, 1, quality};
            target.preventClipping = prevent;
            std::atomic<int> stop{0};
            const FileResult r = quality == Quality::High
                                     ? ConvertFile(*stereo, target, stop, nullptr, *hq)
                                     : ConvertFile(*stereo, target, stop, nullptr, *sinc);
            ASSERT_EQ(r.status, FileStatus::Converted);
            std::uint64_t full = 0;
            int peak = 0;
            for (std::int16_t v : SamplesOf(ReadFileBytes(Utf8(r.outputPath)))) {
                full += v >= 32766 || v <= -32767 ? 1 : 0;
                peak = std::max(peak, std::abs(static_cast<int>(v)));
            }
            // (A full-scale source has high-quality samples at 32767 that are not clipped.)
            if (quality == Quality::Standard || prevent) {
                EXPECT_EQ(r.clipped, full);
            }
            if (prevent) {
                EXPECT_LE(peak, 32392);
                EXPECT_NEAR(r.peakDb, 20 * std::log10(peak / 32768.0), 0.01);
                EXPECT_NEAR(r.gainLoweredDb, quality == Quality::High ? 0.11 : 3.12, 0.03);
            } else {
                EXPECT_EQ(r.gainLoweredDb, 0.0);
                if (quality == Quality::Standard) {
                    EXPECT_GT(full, kFrames / 3u);
                }
            }
        }
    }
}

TEST_F(ConversionJob, LargeUpsamplingDropsNoSample) {
    // About 575 x 384 samples from one chunk: more than one resampler call holds.
    const std::vector<std::int16_t> in = Wave(600);
    auto a = Source("a.wav", Pcm16Wav(1000, 1, in));
    BatchResult r = RunBatch({a.get()}, out.Path(), 384000, 1);
    EXPECT_EQ(r.failed, 0);

    // The same stream through the resampler in one call with room to spare.
    auto state = std::make_unique<ResamplerState>();
    ResamplerReset(*state, 1000, 384000, 1);
    std::vector<std::int16_t> expected(300000);
    expected.resize(
        static_cast<std::size_t>(ResampleMono(*state, in.data(), 600, expected.data(), 300000)));
    ASSERT_GE(expected.size(), 575u * 384);
    Bytes file = ReadFileBytes(out.File("a.wav"));
    ExpectOutput(file, 384000, 1, static_cast<std::uint32_t>(expected.size()));
    EXPECT_TRUE(SamplesOf(file) == expected);
}

// The source is read in blocks of 64000 stereo frames, or all at once when shorter, and the
// output gathered in blocks of 204800 values, or in one buffer when it fits: around those sizes
// the output is still the stream the resampler makes in one call.
TEST_F(ConversionJob, OutputIsOneStreamWhateverBlocksItPassesThrough) {
    struct Case {
        int frames, channels, targetChannels;
    };
    const Case cases[] = {{63999, 2, 2}, {64000, 2, 2}, {64001, 2, 2}, {3 * 64000 + 7, 2, 2},
                          {26, 1, 2},    {0, 2, 2},     {70000, 1, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames, " + std::to_string(c.channels) + " > " +
                     std::to_string(c.targetChannels));
        const std::vector<std::int16_t> in = Wave(c.frames * c.channels, c.frames);
        TempFolder folder;
        const std::string name = "a" + std::to_string(c.frames) + ".wav";
        auto a = Source(name, Pcm16Wav(44100, static_cast<std::uint16_t>(c.channels), in));
        BatchResult r = RunBatch({a.get()}, folder.Path(), 48000, c.targetChannels);
        ASSERT_EQ(r.failed, 0);

        auto state = std::make_unique<ResamplerState>();
        ResamplerReset(*state, 44100, 48000, c.channels);
        std::vector<std::int16_t> stream(static_cast<std::size_t>(c.frames) * 4 + 8);
        const int capacity = static_cast<int>(stream.size());
        const int made =
            c.channels == 2
                ? ResampleStereo(*state, in.data(), c.frames * 2, stream.data(), capacity)
                : ResampleMono(*state, in.data(), c.frames, stream.data(), capacity);
        stream.resize(static_cast<std::size_t>(made));
        if (c.channels == 1 && c.targetChannels == 2) {
            std::vector<std::int16_t> twice;
            for (std::int16_t v : stream) twice.insert(twice.end(), {v, v});
            stream = twice;
        }
        const Bytes file = ReadFileBytes(folder.File(name));
        ExpectOutput(file, 48000, static_cast<std::uint16_t>(c.targetChannels),
                     static_cast<std::uint32_t>(stream.size() / c.targetChannels));
        EXPECT_TRUE(SamplesOf(file) == stream);
    }
}

// The standard quality ends 25 frames early; the high quality keeps every frame of a converted
// file, and of a stopped one what its filter let out of the chunks converted.
TEST_F(ConversionJob, StopDuringSecondFileKeepsItsPartAndSkipsTheRest) {
    std::vector<std::unique_ptr<CFileName>> files;
    // The second source has a cue point at its end.
    Bytes data, cue;
    for (std::int16_t v : Wave(3 * kChunkFrames)) Put16(data, static_cast<std::uint16_t>(v));
    for (std::uint32_t v : {1u, 1u, 3u * kChunkFrames, 0x61746164u, 0u, 0u, 3u * kChunkFrames})
        Put32(cue, v);
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
        files.push_back(Source(name, std::string(name) != "b.wav"
                                         ? Pcm16Wav(44100, 1, Wave(3 * kChunkFrames))
                                         : MakeRiff({{"fmt ", FormatBody(1, 1, 44100, 16)},
                                                     {"data", data},
                                                     {"cue ", cue}})));
    }
    for (Quality quality : {Quality::Standard, Quality::High}) {
        const bool high = quality == Quality::High;
        SCOPED_TRACE(high ? "high" : "standard");
        TempFolder folder;
        std::atomic<int> stop{0};
        StoppingObserver observer(stop, 1, 1);  // on the first progress call of the second file
        int failed = -1;
        EXPECT_TRUE(RunConversionBatch({files[0].get(), files[1].get(), files[2].get()},
                                       {Str(folder.Path()), 44100, 1, quality}, stop, &observer, 1,
                                       &failed));
        EXPECT_EQ(failed, 0);
        ExpectOutput(ReadFileBytes(folder.File("a.wav")), 44100, 1,
                     3 * kChunkFrames - (high ? 0 : 25));
        // The stopped output keeps the name it was written under, which says it is partial.
        EXPECT_EQ(observer.outputs.at(1), folder.File("b.partial.wav"));
        const Bytes part = ReadFileBytes(folder.File("b.partial.wav"));
        ASSERT_GE(part.size(), kWaveHeaderBytes);
        const std::uint32_t frames = Get32(part, 44);
        EXPECT_TRUE(high ? frames > 0 && frames <= kChunkFrames : frames == kChunkFrames - 25);
        // The stopped part keeps the cue point, at its own end.
        const std::size_t cueAt = kWaveHeaderBytes + 2u * frames;
        ASSERT_EQ(part.size(), cueAt + 8 + cue.size());
        EXPECT_EQ(std::string(part.begin() + cueAt, part.begin() + cueAt + 4), "cue ");
        EXPECT_EQ(Get32(part, cueAt + 8 + 8), frames);
        EXPECT_EQ(Get32(part, cueAt + 8 + 24), frames);
        ExpectOutput(WithoutChunksAfter(part, cueAt), 44100, 1, frames);
        EXPECT_FALSE(FileExists(folder.File("c.wav")));
        EXPECT_EQ(observer.statuses,
                  (std::vector<FileStatus>{FileStatus::Converted, FileStatus::Stopped}));
        ASSERT_GE(observer.calls.size(), 2u);
        EXPECT_EQ(observer.calls[observer.calls.size() - 2], "end 2");
        EXPECT_EQ(observer.calls.back(), "batch-end 1");
    }
}

// The results log of a stopped batch lists every source: converted, failed, stopped and not
// started, in the order given, with names that need quoting or escaping kept recoverable; a log
// file is replaced as a whole or not at all.
TEST_F(ConversionJob, ResultsLogListsEverySourceOfAStoppedBatch) {
    struct LogObserver : StoppingObserver {
        using StoppingObserver::StoppingObserver;
        std::vector<ResultsLogRow>* rows = nullptr;
        void OnFileResult(int index, const FileResult& result) override {
            StoppingObserver::OnFileResult(index, result);
            (*rows)[static_cast<std::size_t>(index)].result = CopyOfResult(result);
        }
    };
    const std::vector<std::string> names{"a, 1.wav", "bad.wav", "b.wav", "c.wav"};
    std::vector<std::unique_ptr<CFileName>> files;
    std::vector<ResultsLogRow> rows(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        files.push_back(
            Source(names[i], i == 1 ? Bytes(64, 'x')
                                    : Pcm16Wav(44100, 2 - (i == 2), Wave(3 * kChunkFrames))));
        rows[i].source = Str(source.File(names[i]));
    }
    std::atomic<int> stop{0};
    LogObserver observer(stop, 2, 1);  // on the first progress call of b.wav
    observer.rows = &rows;
    const ConversionTarget target{Str(out.Path()), 44100, 1};
    EXPECT_TRUE(RunConversionBatch({files[0].get(), files[1].get(), files[2].get(), files[3].get()},
                                   target, stop, &observer, 1));
    // A name with a byte that is not UTF-8 (POSIX), a backslash, a line break and a quote.
    ResultsLogRow odd;
#ifdef _WIN32
    odd.source.Assign(L"x\\\n\"y");
    const std::string oddJson = "x\\\\\\n\\\"y", oddCsv = "\"x\\\n\"\"y\"";
#else
    odd.source.Assign(L"x\xdce9\\\n\"y");
    const std::string oddJson = "x\\udce9\\\\\\n\\\"y", oddCsv = "\"x\\xe9\\\\\n\"\"y\"";
#endif
    rows.push_back(std::move(odd));

    const std::string csv = ResultsLogText(rows, target, ResultsLogFormat::Csv);
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = csv.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(csv.substr(at, end - at));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0],
              "source,output,status,reason,source_rate,source_channels,source_bits,target_rate,"
              "target_channels,target_bits,frames_in,frames_out,seconds,peak_dbfs,clipped");
    auto csvPath = [](const std::string& path) { return "\"" + path + "\""; };
    const std::string converted = csvPath(source.File(names[0])) + "," +
                                  csvPath(out.File(names[0])) +
                                  ",converted,,44100,2,16,44100,1,16,3840,3815,0.087,";
    ASSERT_EQ(lines[1].substr(0, converted.size()), converted);
    // Then the peak and the clipped samples: numbers (the mono mix of this stereo sine clips).
    const std::string level = lines[1].substr(converted.size());
    EXPECT_EQ(std::count(level.begin(), level.end(), ','), 1);
    EXPECT_EQ(level.find_first_not_of("-0123456789.,"), std::string::npos);
    const std::string unreadable = source.File("bad.wav") + ",,unreadable,not a WAV file";
    EXPECT_EQ(lines[2].substr(0, unreadable.size()), unreadable);
    EXPECT_EQ(lines[2].substr(lines[2].size() - 19), ",,,,44100,1,16,,,,,");
    const std::string stopped = source.File("b.wav") + "," + out.File("b.partial.wav") +
                                ",stopped,stopped at 0:00 of 0:00; ";
    EXPECT_EQ(lines[3].substr(0, stopped.size()), stopped);
    EXPECT_EQ(lines[4],
              source.File("c.wav") +
                  ",,not_started,not converted (the batch was stopped),,,,44100,1,16,,,,,");
    EXPECT_EQ(lines[5],
              oddCsv + ",,not_started,not converted (the batch was stopped),,,,44100,1,16,,,,,");

    const std::string json = ResultsLogText(rows, target, ResultsLogFormat::JsonLines);
    auto jsonPath = [](std::string path) {
        for (std::size_t at = 0; (at = path.find('\\', at)) != std::string::npos; at += 2)
            path.insert(at, 1, '\\');
        return path;
    };
    const std::string notStarted =
        "\",\"output\":null,\"status\":\"not_started\",\"reason\":\"not converted (the batch was "
        "stopped)\",\"source_rate\":null,\"source_channels\":null,\"source_bits\":null,"
        "\"target_rate\":44100,\"target_channels\":1,\"target_bits\":\"16\",\"frames_in\":null,"
        "\"frames_out\":null,\"seconds\":null,\"peak_dbfs\":null,\"clipped\":null}\n";
    const std::string last = "{\"source\":\"" + jsonPath(source.File("c.wav")) + notStarted +
                             "{\"source\":\"" + oddJson + notStarted;
    ASSERT_GE(json.size(), last.size());
    EXPECT_EQ(json.substr(json.size() - last.size()), last);
    EXPECT_NE(json.find("\"status\":\"converted\",\"reason\":null,\"source_rate\":44100,"
                        "\"source_channels\":2,\"source_bits\":\"16\""),
              std::string::npos);
    EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 5);

    // Written whole: a second log replaces the first, in its own format, and leaves no
    // temporary file; one that cannot be made leaves nothing.
    const std::string log = out.File("log.JSONL");
    EXPECT_TRUE(WriteResultsLog(Str(log), {}, target));
    EXPECT_EQ(FileSizeOf(log), 0u);
    EXPECT_TRUE(WriteResultsLog(Str(log), rows, target));
    const Bytes written = ReadFileBytes(log);
    EXPECT_EQ(std::string(written.begin(), written.end()), json);
    int error = 0;
    EXPECT_FALSE(
        WriteResultsLog(Str(out.File("missing") + Sep() + "log.csv"), rows, target, &error));
    EXPECT_NE(error, 0);
    // Besides the stopped batch's journal, which a run of it again would read.
    std::vector<std::string> entries = FolderEntries(out.Path());
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries[0].rfind(".ratemill-batch-", 0), 0u);
    entries.erase(entries.begin());
    EXPECT_EQ(entries, (std::vector<std::string>{names[0], "b.partial.wav", "log.JSONL"}));
}

TEST_F(ConversionJob, EmptyListReadsAndWritesNothing) {
    BatchResult r = RunBatch({}, out.Path(), 44100, 2);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.failed, 0);
    EXPECT_EQ(r.observer.calls, (std::vector<std::string>{"begin 0", "batch-end 0"}));
    EXPECT_TRUE(FolderEntries(out.Path()).empty());
}

TEST_F(ConversionJob, FailedFilesAreCountedAndTheBatchGoesOn) {
    const Bytes wav = Pcm16Wav(44100, 1, Wave(100));
    auto good = Source("good.wav", wav);
    auto text = Source("text.wav", Bytes(64, 'x'));
    auto fast = Source("fast.wav", Pcm16Wav(44100 * 1024, 1, Wave(100)));  // ratio 1024
    auto slow = Source("slow.wav", Pcm16Wav(43, 1, Wave(100)));            // ratio 1/1025.6
    // Base names that would name a hidden file, the folder or its parent.
    auto blank = Source(" .wav", wav);
    auto dots = Source("...wav", wav);
    BatchResult r =
        RunBatch({good.get(), text.get(), nullptr, fast.get(), slow.get(), blank.get(), dots.get()},
                 out.Path(), 44100, 1);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.failed, 5);
    EXPECT_EQ(r.observer.statuses,
              (std::vector<FileStatus>{FileStatus::Converted, FileStatus::SourceUnreadable,
                                       FileStatus::UnsupportedRatio, FileStatus::UnsupportedRatio,
                                       FileStatus::UnusableName, FileStatus::UnusableName}));
    // The empty slot still counts as a file done.
    const std::vector<std::string>& calls = r.observer.calls;
    auto slot = std::find(calls.begin(), calls.end(), "file 2");
    ASSERT_NE(slot, calls.end());
    EXPECT_EQ(*(slot + 1), "end 3");
    EXPECT_EQ(FolderEntries(out.Path()), std::vector<std::string>{"good.wav"});
}

// Only a taken name moves on to the next candidate: an output that cannot be made for any
// other reason gives the file up after one attempt.
TEST_F(ConversionJob, OutputThatCannotBeCreatedIsGivenUpAtOnce) {
    auto a = Source("a.wav", Pcm16Wav(44100, 1, Wave(100)));
    const std::string missing = out.File("missing");
    const std::string plainFile = source.File("plain");
    WriteFileBytes(plainFile, Bytes{1});
    struct Case {
        std::string folder;
        int rate;
        int channels;
        int bits = 16;
    };
    // Targets the job makes no output for (3 channels, 24 bits in the standard quality), and
    // folders where none can be made.
    std::vector<Case> cases{Case{out.Path(), 0, 2},     Case{out.Path(), 44100, 0},
                            Case{out.Path(), 44100, 3}, Case{out.Path(), 44100, 2, 24},
                            Case{missing, 44100, 2},    Case{plainFile, 44100, 2}};
#ifndef _WIN32
    // A folder without write permission (root writes anyway, so only other users see it).
    TempFolder readOnly;
    chmod(readOnly.Path().c_str(), 0555);
    if (geteuid() != 0) cases.push_back(Case{readOnly.Path(), 44100, 2});
#endif
    for (const Case& c : cases) {
        DiagnosticRecorder diagnostics;
        BatchResult r =
            RunBatch({a.get()}, c.folder, c.rate, c.channels, Quality::Standard, c.bits);
        EXPECT_FALSE(r.stopped);
        EXPECT_EQ(r.failed, 1);
        EXPECT_EQ(r.observer.statuses, std::vector<FileStatus>{FileStatus::OutputFailed});
        std::vector<std::wstring> lines = diagnostics.Lines();
        ASSERT_EQ(lines.size(), 2u) << c.folder;
        EXPECT_EQ(Utf8(lines[0].c_str()), "Resampling... start\n");
        EXPECT_EQ(Utf8(lines[1].c_str()),
                  "output file = " + c.folder + Sep() + "a.partial.wav (-1)\n");
    }
    EXPECT_TRUE(FolderEntries(out.Path()).empty());
}

// A source without an extension gets ".wav" (a name ending in a dot would lose the dot on
// Windows, and the program would report a name that is not the file's).
TEST_F(ConversionJob, OutputsBesideTheSourcesTakeTheFirstFreeName) {
    std::vector<std::unique_ptr<CFileName>> files;
    const Bytes original = Pcm16Wav(44100, 1, Wave(100));
    for (const char* name : {"a.wav", "b.wav", "c.wav", "noext"}) {
        files.push_back(Source(name, original));
    }
    WriteFileBytes(source.File("b(1).wav"), Bytes{1, 2, 3});
    std::vector<const CFileName*> list{files[0].get(), files[1].get(), files[2].get(),
                                       files[3].get()};

    BatchResult named = RunBatch(list, source.Path(), 22050, 1);
    BatchResult beside = RunBatch(list, "", 22050, 1);  // no folder: each source's own
    EXPECT_EQ(named.failed + beside.failed, 0);
    EXPECT_EQ(FolderEntries(source.Path()),
              (std::vector<std::string>{"a(1).wav", "a(2).wav", "a.wav", "b(1).wav", "b(2).wav",
                                        "b(3).wav", "b.wav", "c(1).wav", "c(2).wav", "c.wav",
                                        "noext", "noext(1).wav", "noext.wav"}));
    EXPECT_EQ(beside.observer.outputs[1], source.File("b(3).wav"));
    EXPECT_EQ(beside.observer.outputs[3], source.File("noext(1).wav"));
    EXPECT_EQ(ReadFileBytes(source.File("b(1).wav")), (Bytes{1, 2, 3}));
    for (const auto& f : files) EXPECT_TRUE(ReadFileBytes(Utf8(f->FullPath)) == original);

    // A name that ends in a dot has no extension either.
    CFileName dotted;
    dotted.SetPath(source.File("take.").c_str());
    CWaveFile output;
    ASSERT_EQ(CreateOutputFile(output, {8000, 1, 16}, Str(out.Path()), dotted, 1),
              OutputCreation::Created);
    EXPECT_EQ(Utf8(output.Name()), out.File("take(1).wav"));
}

// A listed source can change before its turn comes: each such file fails with its reason, no
// output is left for it, and the rest of the batch is converted.
TEST_F(ConversionJob, SourcesChangedAfterBeingListedFailAloneAndLeaveNoOutput) {
    const Bytes wav = Pcm16Wav(44100, 2, Wave(2 * 4000));
    auto deleted = Source("deleted.wav", wav);
    auto replaced = Source("replaced.wav", wav);
    auto cutHeader = Source("cut-header.wav", wav);
    auto cutData = Source("cut-data.wav", wav);
    auto kept = Source("kept.wav", wav);
    std::filesystem::remove(std::filesystem::u8path(source.File("deleted.wav")));
    WriteFileBytes(source.File("replaced.wav"), Bytes(5000, 'x'));
    WriteFileBytes(source.File("cut-header.wav"), Bytes(wav.begin(), wav.begin() + 30));
    // 1000 whole frames and half of the next remain.
    WriteFileBytes(source.File("cut-data.wav"), Bytes(wav.begin(), wav.begin() + 44 + 4002));

    BatchResult r =
        RunBatch({deleted.get(), replaced.get(), cutHeader.get(), cutData.get(), kept.get()},
                 out.Path(), 44100, 2);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.failed, 3);
    EXPECT_EQ(r.observer.statuses,
              (std::vector<FileStatus>{FileStatus::SourceUnreadable, FileStatus::SourceUnreadable,
                                       FileStatus::SourceUnreadable, FileStatus::Converted,
                                       FileStatus::Converted}));
    // A shortened data chunk is read as far as it goes.
    ExpectOutput(ReadFileBytes(out.File("cut-data.wav")), 44100, 2, 1000 - 25);
    ExpectOutput(ReadFileBytes(out.File("kept.wav")), 44100, 2, 4000 - 25);
    EXPECT_EQ(FolderEntries(out.Path()), (std::vector<std::string>{"cut-data.wav", "kept.wav"}));
}

}  // namespace

#ifndef _WIN32
namespace {

// Cuts the source short at the first progress report, while the file is being read.
class TruncatingObserver : public RecordingObserver {
  public:
    TruncatingObserver(std::string path, off_t size) : m_path(std::move(path)), m_size(size) {}
    void OnFileProgress(unsigned percent) override {
        RecordingObserver::OnFileProgress(percent);
        if (!m_done) {
            EXPECT_EQ(truncate(m_path.c_str(), m_size), 0);
            m_done = true;
        }
    }

  private:
    std::string m_path;
    off_t m_size;
    bool m_done = false;
};

// When name.wav to name(9998).wav are all taken the file is given up, not written anywhere.
TEST_F(ConversionJob, AllOutputNamesTakenFailsTheFileAndOverwritesNothing) {
    auto a = Source("a.wav", Pcm16Wav(44100, 1, Wave(100)));
    auto b = Source("b.wav", Pcm16Wav(44100, 1, Wave(100)));
    WriteFileBytes(out.File("a.wav"), Bytes{7});
    for (int n = 1; n < kOutputNameCandidates; ++n) {
        WriteFileBytes(out.File("a(" + std::to_string(n) + ").wav"), Bytes{7});
    }
    BatchResult r = RunBatch({a.get(), b.get()}, out.Path(), 44100, 1);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(r.observer.statuses,
              (std::vector<FileStatus>{FileStatus::NoFreeName, FileStatus::Converted}));
    const std::vector<std::string> names = FolderEntries(out.Path());
    EXPECT_EQ(names.size(), static_cast<std::size_t>(kOutputNameCandidates) + 1);
    for (const std::string& name : names) {
        if (name != "b.wav") {
            ASSERT_EQ(ReadFileBytes(out.File(name)), Bytes{7}) << name;
        }
    }
}

TEST_F(ConversionJob, ASourceCutShortWhileConvertingKeepsWhatWasConverted) {
    // Ten seconds cut to 200000 frames and a half, past what the reader can hold ahead by the
    // first progress report (two blocks of 64000 frames), so the cut is always met while reading.
    auto a = Source("a.wav", Pcm16Wav(44100, 2, Wave(2 * 441000)));
    auto b = Source("b.wav", Pcm16Wav(44100, 2, Wave(2 * 1000)));
    TruncatingObserver observer(source.File("a.wav"), 44 + 4 * 200000 + 2);
    std::atomic<int> stop{0};
    int failed = -1;
    EXPECT_FALSE(RunConversionBatch({a.get(), b.get()}, {Str(out.Path()), 44100, 2}, stop,
                                    &observer, 1, &failed));
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(observer.statuses,
              (std::vector<FileStatus>{FileStatus::ReadFailed, FileStatus::Converted}));
    const Bytes cut = ReadFileBytes(out.File("a.partial.wav"));
    ASSERT_GE(cut.size(), kWaveHeaderBytes);
    const std::uint32_t frames = Get32(cut, 44);
    EXPECT_GT(frames, 0u);
    EXPECT_LE(frames, 200000u - 25);
    ExpectOutput(cut, 44100, 2, frames);
    ExpectOutput(ReadFileBytes(out.File("b.wav")), 44100, 2, 1000 - 25);
}

}  // namespace
#endif

// Several files at once: the same outputs, byte for byte and name for name, as one at a time.
TEST_F(ConversionJob, ParallelBatchWritesWhatOneAtATimeWrites) {
    struct CountingObserver : ConversionObserver {
        std::mutex lock;
        std::vector<int> results;
        int lastDone = 0;
        void OnFileResult(int index, const FileResult&) override {
            std::lock_guard<std::mutex> guard(lock);
            results.push_back(index);
        }
        void OnFileEnd(int filesDone) override {
            std::lock_guard<std::mutex> guard(lock);
            lastDone = std::max(lastDone, filesDone);
        }
    };
    std::vector<std::unique_ptr<CFileName>> files;
    std::vector<const CFileName*> sources;
    for (int i = 0; i < 5; ++i) {
        const std::string folder = source.File("d" + std::to_string(i));
        std::filesystem::create_directory(folder);
        // Same names in different folders compete for the same output names. The last source
        // spans several read and write blocks, which a parallel batch handles on its own thread.
        const std::string path = folder + Sep() + (i == 3 ? "other.wav" : "take.wav");
        WriteFileBytes(path, Pcm16Wav(i % 2 ? 48000 : 22050, static_cast<std::uint16_t>(1 + i % 2),
                                      Wave(i == 4 ? 150000 : 3000 + 1000 * i, i)));
        files.push_back(std::make_unique<CFileName>());
        files.back()->SetPath(path.c_str());
        sources.push_back(files.back().get());
    }
    files.push_back(Source("notes.wav", Bytes{'n', 'o'}));
    sources.push_back(files.back().get());
    sources.push_back(nullptr);

    for (Quality quality : {Quality::Standard, Quality::High}) {
        const int bits = quality == Quality::High ? 24 : 16;
        SCOPED_TRACE(bits);
        TempFolder one, many;
        BatchResult sequential = RunBatch(sources, one.Path(), 44100, 2, quality, bits);
        std::atomic<int> stop{0};
        CountingObserver observer;
        int failed = -1;
        EXPECT_FALSE(RunConversionBatch(sources, {Str(many.Path()), 44100, 2, quality, Bits(bits)},
                                        stop, &observer, 3, &failed));
        EXPECT_EQ(failed, sequential.failed);
        EXPECT_EQ(failed, 1);
        EXPECT_EQ(observer.results.size(), 6u);  // every present entry, the empty slot has none
        EXPECT_EQ(observer.lastDone, 7);
        const std::vector<std::string> names = FolderEntries(one.Path());
        ASSERT_EQ(names, FolderEntries(many.Path()));
        EXPECT_EQ(names.size(), 5u);
        for (const std::string& name : names) {
            EXPECT_TRUE(ReadFileBytes(one.File(name)) == ReadFileBytes(many.File(name))) << name;
        }
    }
}

// Forty sources of one name converted sixteen at a time into one folder: each output's name
// follows its source's place in the list (take.wav, take(1).wav, ... take(39).wav), whichever
// thread gets there first. Source i has 100 + i frames, so its output has 75 + i.
TEST_F(ConversionJob, ParallelOutputsOfOneNameAreNumberedInListOrder) {
    constexpr int kFiles = 40;
    std::vector<std::unique_ptr<CFileName>> files;
    std::vector<const CFileName*> sources;
    for (int i = 0; i < kFiles; ++i) {
        const std::string folder = source.File("d" + std::to_string(i));
        std::filesystem::create_directory(folder);
        const std::string path = folder + Sep() + "take.wav";
        WriteFileBytes(path, Pcm16Wav(44100, 1, Wave(100 + i, i)));
        files.push_back(std::make_unique<CFileName>());
        files.back()->SetPath(path.c_str());
        sources.push_back(files.back().get());
    }
    std::atomic<int> stop{0};
    int failed = -1;
    EXPECT_FALSE(
        RunConversionBatch(sources, {Str(out.Path()), 44100, 1}, stop, nullptr, 16, &failed));
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(FolderEntries(out.Path()).size(), static_cast<std::size_t>(kFiles));
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = i == 0 ? "take.wav" : "take(" + std::to_string(i) + ").wav";
        SCOPED_TRACE(name);
        ExpectOutput(ReadFileBytes(out.File(name)), 44100, 1, static_cast<std::uint32_t>(75 + i));
    }
}

#ifndef _WIN32
// A full disk (here a file-size limit) ends the output at the last whole frame, with a header
// that describes it, and the file counts as failed.
TEST_F(ConversionJob, AFullDiskLeavesWholeFramesAndCountsTheFile) {
    auto a = Source("a.wav", Pcm16Wav(44100, 2, Wave(2 * 20000)));
    auto withFileSizeLimit = [&](rlim_t bytes) {
        struct rlimit old;
        getrlimit(RLIMIT_FSIZE, &old);
        void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
        BatchResult r = RunBatch({a.get()}, out.Path(), 44100, 2);
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, oldHandler);
        return r;
    };
    BatchResult r = withFileSizeLimit(kWaveHeaderBytes + 30003);  // not a whole number of frames
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(r.observer.statuses, std::vector<FileStatus>{FileStatus::WriteFailed});
    ExpectOutput(ReadFileBytes(out.File("a.partial.wav")), 44100, 2, 30000 / 4);

    // No room for the header: the output is removed again, so that no file that is no WAV file
    // takes the name a(1).partial.wav from the next run.
    r = withFileSizeLimit(40);
    EXPECT_EQ(r.observer.statuses, std::vector<FileStatus>{FileStatus::OutputFailed});
    EXPECT_EQ(FolderEntries(out.Path()), std::vector<std::string>{"a.partial.wav"});
}
#endif

namespace {

// A batch of sources with their subfolders into a target; stops it (with a positive `stopAt`) at
// that many progress calls in all, counted across the threads.
struct TreeRun {
    std::vector<FileStatus> statuses;  // by source
    std::vector<std::string> outputs;  // by source
    std::vector<int> systemErrors;     // by source
    bool stopped = false;
    int failed = -1;
};

TreeRun RunTree(const std::vector<BatchSource>& sources, const ConversionTarget& target,
                int jobs = 1, int stopAt = 0) {
    struct Observer : ConversionObserver {
        std::mutex lock;
        std::atomic<int>* stop = nullptr;
        std::atomic<int> calls{0};
        int stopAt = 0;
        TreeRun* run = nullptr;
        void OnFileProgressOf(int, unsigned) override {
            if (++calls == stopAt) stop->store(1);
        }
        void OnFileResult(int index, const FileResult& result) override {
            std::lock_guard<std::mutex> guard(lock);
            run->statuses[static_cast<std::size_t>(index)] = result.status;
            run->outputs[static_cast<std::size_t>(index)] = Utf8(result.outputPath);
            run->systemErrors[static_cast<std::size_t>(index)] = result.systemError;
        }
    };
    TreeRun run;
    run.statuses.assign(sources.size(), FileStatus::NotStarted);
    run.outputs.assign(sources.size(), "");
    run.systemErrors.assign(sources.size(), 0);
    std::atomic<int> stop{0};
    Observer observer;
    observer.stop = &stop;
    observer.stopAt = stopAt;
    observer.run = &run;
    run.stopped = RunSourceBatch(sources, target, stop, &observer, jobs, &run.failed);
    return run;
}

ConversionTarget TargetOf(const std::string& folder, int rate, int channels,
                          Quality quality = Quality::Standard, int bits = 16) {
    ConversionTarget target;
    target.folder = Str(folder);
    target.frequency = rate;
    target.channels = channels;
    target.quality = quality;
    target.format = Bits(bits);
    return target;
}

// A batch of one source.
std::vector<BatchSource> One(const CFileName* file, CString subfolder) {
    std::vector<BatchSource> sources;
    sources.push_back(BatchSource{file, std::move(subfolder)});
    return sources;
}

std::string Joined(const std::string& a, const std::string& b) {
    return a + Sep() + b;
}

// The names in a folder other than the batch journals.
std::vector<std::string> OutputEntries(const std::string& folder, int* journals = nullptr) {
    std::vector<std::string> names;
    int count = 0;
    for (const std::string& name : FolderEntries(folder)) {
        if (name.rfind(".ratemill-batch-", 0) == 0) {
            ++count;
        } else {
            names.push_back(name);
        }
    }
    if (journals != nullptr) *journals = count;
    return names;
}

}  // namespace

// With an output folder each source's output goes to its subfolder there, every missing level
// made; a level that a file, a link or a device has the name of, or "." or "..", fails that file
// alone and nothing is made outside the folder. Beside the sources the subfolder is not used.
TEST_F(ConversionJob, OutputsKeepTheirSubfoldersInsideTheOutputFolder) {
    auto a = Source("a.wav", Pcm16Wav(44100, 1, Wave(500)));
    TempFolder outside;
    WriteFileBytes(out.File("file"), Bytes{1});
#ifndef _WIN32
    ASSERT_EQ(symlink(outside.Path().c_str(), out.File("link").c_str()), 0);
#endif
    const std::string xyz = Joined(Joined("x", "y"), "z");
    struct Case {
        std::string subfolder;
        std::string output;  // "" the file fails
    };
    const std::vector<Case> cases{
        {"", out.File("a.wav")},
        {"x", out.File(Joined("x", "a.wav"))},
        {xyz, out.File(Joined(xyz, "a.wav"))},  // two levels made at once
        {"x", out.File(Joined("x", "a(1).wav"))},
        {Joined("x", "") + Sep(), out.File(Joined("x", "a(2).wav"))},  // empty levels
        {"file", ""},
        {Joined("file", "deeper"), ""},
        {"..", ""},
        {Joined(Joined("x", ".."), ".."), ""},
#ifdef _WIN32
        {"NUL", ""},
        {Joined("x", "COM1.d"), ""},
#else
        {"link", ""},
        {Joined("link", "inner"), ""},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subfolder);
        TreeRun run = RunTree(One(a.get(), Str(c.subfolder)), TargetOf(out.Path(), 8000, 1));
        if (c.output.empty()) {
            EXPECT_EQ(run.statuses[0], FileStatus::OutputFailed);
            EXPECT_EQ(run.systemErrors[0], platform::kErrorNotFolder);
            EXPECT_EQ(run.failed, 1);
        } else {
            EXPECT_EQ(run.statuses[0], FileStatus::Converted);
            EXPECT_EQ(run.outputs[0], c.output);
        }
    }
    EXPECT_TRUE(FolderEntries(outside.Path()).empty());
    EXPECT_EQ(ReadFileBytes(out.File("file")), Bytes{1});

    TreeRun beside = RunTree(One(a.get(), Str("x")), TargetOf("", 8000, 1));
    EXPECT_EQ(beside.outputs[0], source.File("a(1).wav"));
    EXPECT_EQ(FolderEntries(source.Path()), (std::vector<std::string>{"a(1).wav", "a.wav"}));
}

// A name template gives the outputs' base names (the extension stays the source's) and
// numbering follows it; one that makes no usable name fails each file, creating nothing.
TEST_F(ConversionJob, NameTemplatesNameTheOutputsAndNumberingFollows) {
    auto take = Source("take.one.wav", Pcm16Wav(44100, 2, Wave(800)));
    struct Case {
        const char* nameTemplate;
        int rate;
        int channels;
        Quality quality;
        int bits;
        const char* output;  // null: UnusableTemplate
    };
    const Case cases[] = {
        {"take_{khz}k", 48000, 2, Quality::Standard, 16, "take_48k.wav"},
        {"{name}-{khz}", 44100, 2, Quality::Standard, 16, "take.one-44.1.wav"},
        {"{khz}", 22050, 1, Quality::Standard, 16, "22.05.wav"},
        {"{khz}", 11025, 1, Quality::Standard, 16, "11.025.wav"},
        {"{rate}_{channels}ch_{bits}_{quality}", 96000, 1, Quality::High, 24,
         "96000_1ch_24_high.wav"},
        {"{bits}{quality}", 8000, 2, Quality::High, 32, "32fhigh.wav"},
        {"{bits}{quality}", 8000, 2, Quality::Standard, 16, "16standard.wav"},
        {"{size}", 8000, 2, Quality::Standard, 16, nullptr},
        {"{name", 8000, 2, Quality::Standard, 16, nullptr},
        {"a/b", 8000, 2, Quality::Standard, 16, nullptr},
        {"a\\b", 8000, 2, Quality::Standard, 16, nullptr},
        {"..", 8000, 2, Quality::Standard, 16, nullptr},
        {"a\tb", 8000, 2, Quality::Standard, 16, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nameTemplate);
        TempFolder folder;
        ConversionTarget target = TargetOf(folder.Path(), c.rate, c.channels, c.quality, c.bits);
        target.nameTemplate = Str(c.nameTemplate);
        TreeRun first = RunTree(One(take.get(), CString()), target);
        if (c.output == nullptr) {
            EXPECT_EQ(first.statuses[0], FileStatus::UnusableTemplate);
            EXPECT_EQ(first.failed, 1);
            EXPECT_TRUE(FolderEntries(folder.Path()).empty());
            continue;
        }
        EXPECT_EQ(first.outputs[0], folder.File(c.output));
        TreeRun second = RunTree(One(take.get(), CString()), target);
        const std::string name = c.output;
        EXPECT_EQ(second.outputs[0], folder.File(name.substr(0, name.size() - 4) + "(1).wav"));
    }
}

// With skipExisting a source whose first output name holds a complete output of the target (its
// format, the frames a whole conversion gives, a header that counts the whole file) is skipped,
// in both qualities and at rates up, down and equal. Anything else there (cut short, another
// rate, a header a killed writer left) is kept, and the output numbered.
TEST_F(ConversionJob, SkipExistingPassesOverCompleteOutputsOnly) {
    struct Case {
        int sourceRate, rate, channels;
        Quality quality;
        int bits;
    };
    const Case cases[] = {
        {44100, 48000, 2, Quality::Standard, 16}, {48000, 44100, 1, Quality::Standard, 16},
        {44100, 22050, 2, Quality::Standard, 16}, {8000, 44100, 1, Quality::Standard, 16},
        {8000, 48000, 1, Quality::Standard, 16},  {16000, 384000, 2, Quality::Standard, 16},
        {44100, 44100, 2, Quality::Standard, 16}, {96000, 44100, 2, Quality::Standard, 16},
        {44100, 48000, 2, Quality::High, 16},     {48000, 44100, 1, Quality::High, 24},
        {8000, 44100, 2, Quality::High, 32},      {44100, 44100, 1, Quality::High, 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.sourceRate) + " -> " + std::to_string(c.rate) + " " +
                     std::to_string(c.bits));
        TempFolder folder;
        auto a = Source("a.wav", Pcm16Wav(static_cast<std::uint32_t>(c.sourceRate), 2,
                                          Wave(2 * (7000 + c.sourceRate / 1000))));
        ConversionTarget target = TargetOf(folder.Path(), c.rate, c.channels, c.quality, c.bits);
        target.skipExisting = true;
        TreeRun first = RunTree(One(a.get(), CString()), target);
        ASSERT_EQ(first.statuses[0], FileStatus::Converted);
        const Bytes complete = ReadFileBytes(folder.File("a.wav"));
        TreeRun again = RunTree(One(a.get(), CString()), target);
        EXPECT_EQ(again.statuses[0], FileStatus::Skipped);
        EXPECT_EQ(again.outputs[0], folder.File("a.wav"));
        EXPECT_EQ(again.failed, 0);
        EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"a.wav"});
    }

    auto a = Source("a.wav", Pcm16Wav(44100, 2, Wave(2 * 9000)));
    const ConversionTarget plain = TargetOf(out.Path(), 48000, 2);
    ASSERT_EQ(RunTree(One(a.get(), CString()), plain).statuses[0], FileStatus::Converted);
    const Bytes complete = ReadFileBytes(out.File("a.wav"));
    Bytes shorter(complete.begin(), complete.end() - 4);  // a frame less, header to match
    for (std::size_t at : {std::size_t{4}, std::size_t{52}}) {
        const std::uint32_t value = Get32(shorter, at) - 4;
        for (int i = 0; i < 4; ++i) shorter[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    Bytes killed = complete;  // sizes as a writer killed before its last header update left them
    for (std::size_t at : {std::size_t{4}, std::size_t{52}}) {
        const std::uint32_t value = Get32(killed, at) - 4000;
        for (int i = 0; i < 4; ++i) killed[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    for (const Bytes& there : {shorter, killed}) {
        TempFolder folder;
        WriteFileBytes(folder.File("a.wav"), there);
        ConversionTarget target = TargetOf(folder.Path(), 48000, 2);
        target.skipExisting = true;
        TreeRun run = RunTree(One(a.get(), CString()), target);
        EXPECT_EQ(run.statuses[0], FileStatus::Converted);
        EXPECT_EQ(run.outputs[0], folder.File("a(1).wav"));
        EXPECT_TRUE(ReadFileBytes(folder.File("a.wav")) == there);
        EXPECT_TRUE(ReadFileBytes(folder.File("a(1).wav")) == complete);
    }
    ConversionTarget other = TargetOf(out.Path(), 44100, 2);  // a.wav is a 48 kHz output
    other.skipExisting = true;
    EXPECT_EQ(RunTree(One(a.get(), CString()), other).outputs[0], out.File("a(1).wav"));
}

// A batch stopped anywhere and run again ends with exactly the outputs of a batch that was never
// stopped, byte for byte and name for name: what was complete is not converted again, the partial
// output it left is replaced, a file that was there before keeps its name, and no partial output
// or journal is left. One at a time and several at once.
TEST_F(ConversionJob, ABatchRunAgainAfterAStopFinishesIt) {
    std::vector<std::unique_ptr<CFileName>> files;
    std::vector<BatchSource> sources;
    for (const char* name : {"a.wav", "b.wav", "c.wav", "d.wav"}) {
        files.push_back(Source(name, Pcm16Wav(44100, 1, Wave(3 * kChunkFrames, name[0]))));
        sources.push_back(BatchSource{files.back().get(), Str(name[0] == 'd' ? "sub" : "")});
    }
    TempFolder reference;
    WriteFileBytes(reference.File("b.wav"), Bytes{1, 2, 3});
    ASSERT_FALSE(RunTree(sources, TargetOf(reference.Path(), 48000, 2)).stopped);
    const std::vector<std::string> names = OutputEntries(reference.Path());
    ASSERT_EQ(names, (std::vector<std::string>{"a.wav", "b(1).wav", "b.wav", "c.wav", "sub"}));

    for (int jobs : {1, 2}) {
        for (int stopAt : {1, 2, 3, 5, 7, 9, 11}) {
            SCOPED_TRACE(std::to_string(jobs) + " jobs, stopped at " + std::to_string(stopAt));
            TempFolder folder;
            WriteFileBytes(folder.File("b.wav"), Bytes{1, 2, 3});
            const ConversionTarget target = TargetOf(folder.Path(), 48000, 2);
            TreeRun stopped = RunTree(sources, target, jobs, stopAt);
            ASSERT_TRUE(stopped.stopped);
            int journals = 0;
            OutputEntries(folder.Path(), &journals);
            EXPECT_EQ(journals, 1);
            // A second stop in the run that resumes, then one to the end. With several jobs the
            // first stop can come after the last file was done: the run that resumes then has
            // nothing left to convert, goes through and is itself the end.
            TreeRun again = RunTree(sources, target, jobs, 2);
            TreeRun rest = again.stopped ? RunTree(sources, target, jobs) : std::move(again);
            EXPECT_FALSE(rest.stopped);
            EXPECT_EQ(rest.failed, 0);
            for (std::size_t i = 0; i < sources.size(); ++i) {
                if (stopped.statuses[i] == FileStatus::Converted) {
                    EXPECT_EQ(rest.statuses[i], FileStatus::Skipped) << i;
                }
            }
            ASSERT_EQ(OutputEntries(folder.Path(), &journals), names);
            EXPECT_EQ(journals, 0);
            for (const char* name : {"a.wav", "b(1).wav", "b.wav", "c.wav"}) {
                EXPECT_TRUE(ReadFileBytes(folder.File(name)) == ReadFileBytes(reference.File(name)))
                    << name;
            }
            EXPECT_EQ(FolderEntries(folder.File("sub")), std::vector<std::string>{"d.wav"});
            EXPECT_TRUE(ReadFileBytes(folder.File(Joined("sub", "d.wav"))) ==
                        ReadFileBytes(reference.File(Joined("sub", "d.wav"))));
        }
    }
}

// Only the same batch resumes: another batch into the folder leaves the stopped one's partial
// output alone and numbers its own, and so does the same batch while another run holds its
// journal; a journal that is damaged is not used (and left alone), and one that names a file
// that is no candidate output of its source never gets it touched.
TEST_F(ConversionJob, OnlyTheSameBatchReplacesItsOwnPartialOutputs) {
    auto a = Source("a.wav", Pcm16Wav(44100, 1, Wave(3 * kChunkFrames)));
    const ConversionTarget first = TargetOf(out.Path(), 48000, 1);
    ASSERT_TRUE(RunTree(One(a.get(), CString()), first, 1, 1).stopped);
    ASSERT_TRUE(FileExists(out.File("a.partial.wav")));
    const Bytes partial = ReadFileBytes(out.File("a.partial.wav"));

    TreeRun other = RunTree(One(a.get(), CString()), TargetOf(out.Path(), 22050, 1));
    EXPECT_EQ(other.outputs[0], out.File("a(1).wav"));
    EXPECT_TRUE(ReadFileBytes(out.File("a.partial.wav")) == partial);
    TreeRun resumed = RunTree(One(a.get(), CString()), first);
    EXPECT_EQ(resumed.outputs[0], out.File("a.wav"));
    EXPECT_EQ(OutputEntries(out.Path()), (std::vector<std::string>{"a(1).wav", "a.wav"}));

    // Damaged: a byte of the journal changed. The partial output is then not known as the
    // batch's own, and the run goes as a new one.
    TempFolder damaged;
    const ConversionTarget target = TargetOf(damaged.Path(), 48000, 1);
    ASSERT_TRUE(RunTree(One(a.get(), CString()), target, 1, 1).stopped);
    std::string journal;
    for (const std::string& name : FolderEntries(damaged.Path())) {
        if (name.rfind(".ratemill-batch-", 0) == 0) journal = damaged.File(name);
    }
    ASSERT_FALSE(journal.empty());
    Bytes text = ReadFileBytes(journal);
    text[text.size() - 3] ^= 1;
    WriteFileBytes(journal, text);
    DiagnosticRecorder diagnostics;
    EXPECT_EQ(RunTree(One(a.get(), CString()), target).outputs[0], damaged.File("a(1).wav"));
    EXPECT_EQ(diagnostics.Count(L"batch journal "), 1);
    EXPECT_TRUE(ReadFileBytes(journal) == text);
    EXPECT_TRUE(FileExists(damaged.File("a.partial.wav")));

    // Held by another run of the same batch (here the test holding its journal): this run keeps
    // none, and leaves the partial output of the stopped one alone.
    TempFolder held;
    const ConversionTarget busy = TargetOf(held.Path(), 48000, 1);
    ASSERT_TRUE(RunTree(One(a.get(), CString()), busy, 1, 1).stopped);
    for (const std::string& name : FolderEntries(held.Path())) {
        if (name.rfind(".ratemill-batch-", 0) != 0) continue;
        BatchJournal holder;
        ASSERT_TRUE(holder.Open(held.Path(), std::stoull(name.substr(16, 16), nullptr, 16), 1));
        EXPECT_EQ(RunTree(One(a.get(), CString()), busy).outputs[0], held.File("a(1).wav"));
        EXPECT_TRUE(FileExists(held.File("a.partial.wav")));
    }
    EXPECT_EQ(RunTree(One(a.get(), CString()), busy).outputs[0], held.File("a.wav"));
    EXPECT_EQ(OutputEntries(held.Path()), (std::vector<std::string>{"a(1).wav", "a.wav"}));

    // Hostile: a journal of the right batch whose partial output is a file of another name.
    TempFolder hostile;
    const ConversionTarget third = TargetOf(hostile.Path(), 48000, 1);
    ASSERT_TRUE(RunTree(One(a.get(), CString()), third, 1, 1).stopped);
    const Bytes victim = ReadFileBytes(hostile.File("a.partial.wav"));
    WriteFileBytes(hostile.File("victim.wav"), victim);
    for (const std::string& name : FolderEntries(hostile.Path())) {
        if (name.rfind(".ratemill-batch-", 0) != 0) continue;
        BatchJournal record;
        const std::uint64_t print = std::stoull(name.substr(16, 16), nullptr, 16);
        ASSERT_TRUE(record.Open(hostile.Path(), print, 1));
        record.RecordPartial(0, hostile.File("victim.wav"), hostile.File("a.wav"));
        record.RecordDone(0, hostile.File("victim.wav"));
    }
    // Its record of the source now names victim.wav, so the partial output is not the batch's.
    EXPECT_EQ(RunTree(One(a.get(), CString()), third).outputs[0], hostile.File("a(1).wav"));
    EXPECT_TRUE(ReadFileBytes(hostile.File("victim.wav")) == victim);
    EXPECT_EQ(OutputEntries(hostile.Path()),
              (std::vector<std::string>{"a(1).wav", "a.partial.wav", "victim.wav"}));
}
