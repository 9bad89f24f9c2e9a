// The program's resampling kernels against the literal ones: for every pair of the window's
// rates and the command line's extremes, in mono and stereo and in every instruction set this
// machine has, the same number of samples, each within 1, and at least 99.99% identical.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/standard/sinc_kernel.h"
#include "engine/standard/sinc_state.h"
#include "reference/reference_resampler.h"

namespace {

struct Comparison {
    long long samples = 0;
    long long different = 0;
    int largest = 0;
};

// Full-scale noise mixed with a sweep, so that sums land everywhere; half a second unless
// told otherwise.
std::vector<std::int16_t> Signal(int rate, int channels, int halfSeconds = 1) {
    std::mt19937 random(static_cast<unsigned>(rate * 7 + channels));
    std::uniform_int_distribution<int> noise(-16000, 16000);
    const int frames = rate / 2 * halfSeconds;
    std::vector<std::int16_t> v(static_cast<std::size_t>(frames) * channels);
    double phase = 0.0;
    for (int i = 0; i < frames; ++i) {
        phase += 0.001 + 0.3 * i / frames;
        for (int c = 0; c < channels; ++c) {
            int s = static_cast<int>(16000.0 * std::sin(phase + c)) + noise(random);
            v[static_cast<std::size_t>(i) * channels + c] = static_cast<std::int16_t>(s);
        }
    }
    return v;
}

// Feeds the signal in chunks of 2560 frames, as the conversion job does.
template <typename Process>
std::vector<std::int16_t> Run(const std::vector<std::int16_t>& in, int channels, Process process) {
    std::vector<std::int16_t> out;
    std::vector<std::int16_t> buffer(1 << 21);
    const std::size_t chunk = 2560u * static_cast<std::size_t>(channels);
    for (std::size_t start = 0; start < in.size(); start += chunk) {
        const int n = static_cast<int>(std::min(chunk, in.size() - start));
        const int produced =
            process(in.data() + start, n, buffer.data(), static_cast<int>(buffer.size()));
        out.insert(out.end(), buffer.begin(), buffer.begin() + produced);
    }
    return out;
}

std::vector<std::int16_t> Literal(const std::vector<std::int16_t>& in, int from, int to,
                                  int channels) {
    auto literal = std::make_unique<reference::ResamplerState>();
    reference::ResamplerReset(*literal, from, to, channels);
    return Run(in, channels, [&](const std::int16_t* s, int n, std::int16_t* d, int cap) {
        return channels == 2 ? reference::ResampleStereo(*literal, s, n, d, cap)
                             : reference::ResampleMono(*literal, s, n, d, cap);
    });
}

void Compare(const SincKernel& kernel, const std::vector<std::int16_t>& in,
             const std::vector<std::int16_t>& expected, int from, int to, int channels,
             Comparison& total) {
    auto fast = std::make_unique<ResamplerState>();
    ResamplerReset(*fast, from, to, channels);
    const std::vector<std::int16_t> got =
        Run(in, channels, [&](const std::int16_t* s, int n, std::int16_t* d, int cap) {
            return channels == 2 ? kernel.stereo(*fast, s, n, d, cap)
                                 : kernel.mono(*fast, s, n, d, cap);
        });
    const std::string what = std::string(kernel.name) + " " + std::to_string(from) + " -> " +
                             std::to_string(to) + " x" + std::to_string(channels);
    ASSERT_EQ(got.size(), expected.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const int difference = std::abs(got[i] - expected[i]);
        ASSERT_LE(difference, 1) << what << " sample " << i;
        if (difference != 0) ++total.different;
        total.largest = std::max(total.largest, difference);
    }
    total.samples += static_cast<long long>(got.size());
}

void Compare(const SincKernel& kernel, int from, int to, int channels, Comparison& total) {
    const std::vector<std::int16_t> in = Signal(from, channels);
    Compare(kernel, in, Literal(in, from, to, channels), from, to, channels, total);
}

class KernelEquivalence : public ::testing::TestWithParam<const SincKernel*> {
  protected:
    void SetUp() override {
        if (!KernelSupported(*GetParam())) GTEST_SKIP() << "instruction set not available";
    }
};

TEST_P(KernelEquivalence, MatchesTheLiteralKernelsAtTheWindowsRates) {
    const int rates[] = {8000, 16000, 32000, 44100, 48000, 96000};
    Comparison total;
    for (int from : rates) {
        for (int to : rates) {
            Compare(*GetParam(), from, to, from == to ? 1 : (from + to) % 3 == 0 ? 2 : 1, total);
        }
    }
    EXPECT_GE(total.samples - total.different, total.samples * 9999 / 10000)
        << total.different << " of " << total.samples << " differ";
}

TEST_P(KernelEquivalence, MatchesTheLiteralKernelsAtOddAndExtremeRates) {
    // 44100 -> 44101 has a phase period too long for tables, 22050 -> 384000 and 48000 -> 1153
    // have tables but too many phases to keep weights per row; 1000 <-> 384000 are the command
    // line's limits; the others have short and long periods, up and down.
    const int pairs[][2] = {{44100, 44101}, {22050, 384000}, {48000, 1153},  {1000, 384000},
                            {384000, 1000}, {22050, 16000},  {11025, 48000}, {48000, 11025},
                            {44100, 88200}, {96000, 44100}};
    Comparison total;
    for (const auto& pair : pairs) {
        for (int channels : {1, 2}) Compare(*GetParam(), pair[0], pair[1], channels, total);
    }
    EXPECT_GE(total.samples - total.different, total.samples * 9999 / 10000)
        << total.different << " of " << total.samples << " differ";
}

// Far into a stream an output instant n x ratio carries a rounding offset from its exact
// phase that grows with n; the tabulated weights must follow it as the literal sines do.
TEST(KernelEquivalenceLongStream, StaysWithTheLiteralKernelsFarIntoAStream) {
    for (const auto& pair : {std::make_pair(44100, 48000), std::make_pair(8000, 22050)}) {
        const std::vector<std::int16_t> in = Signal(pair.first, 1, 60);
        const std::vector<std::int16_t> expected = Literal(in, pair.first, pair.second, 1);
        for (const SincKernel* kernel : {&kSincKernelSse2, &kSincKernelAvx2, &kSincKernelAvx512}) {
            if (!KernelSupported(*kernel)) continue;
            Comparison total;
            Compare(*kernel, in, expected, pair.first, pair.second, 1, total);
            EXPECT_GE(total.samples - total.different, total.samples * 99999 / 100000)
                << kernel->name << " " << pair.first << " -> " << pair.second << ": "
                << total.different << " of " << total.samples << " differ";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(InstructionSets, KernelEquivalence,
                         ::testing::Values(&kSincKernelSse2, &kSincKernelAvx2, &kSincKernelAvx512),
                         [](const auto& parameter) {
                             std::string name = parameter.param->name;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

}  // namespace
