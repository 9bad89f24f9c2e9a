#include "engine/standard/sinc_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "engine/common/recent_cache.h"
#include "engine/standard/sinc_kernel.h"
#include "reference/reference_resampler.h"
#include "support/test_support.h"

// The worked figures hold for the literal kernels and for the program's kernels in every
// instruction set this machine has.
namespace {

struct Literal {
    using State = reference::ResamplerState;
    static bool Available() { return true; }
    static void Reset(State& s, int from, int to, int channels) {
        reference::ResamplerReset(s, from, to, channels);
    }
    static int Mono(State& s, const std::int16_t* in, int n, std::int16_t* out, int capacity) {
        return reference::ResampleMono(s, in, n, out, capacity);
    }
    static int Stereo(State& s, const std::int16_t* in, int n, std::int16_t* out, int capacity) {
        return reference::ResampleStereo(s, in, n, out, capacity);
    }
};

template <const SincKernel& kernel>
struct Fast {
    using State = ResamplerState;
    static bool Available() { return KernelSupported(kernel); }
    static void Reset(State& s, int from, int to, int channels) {
        ResamplerReset(s, from, to, channels);
    }
    static int Mono(State& s, const std::int16_t* in, int n, std::int16_t* out, int capacity) {
        return kernel.mono(s, in, n, out, capacity);
    }
    static int Stereo(State& s, const std::int16_t* in, int n, std::int16_t* out, int capacity) {
        return kernel.stereo(s, in, n, out, capacity);
    }
};

template <typename Kernel>
struct Resampler {
    std::unique_ptr<typename Kernel::State> state = std::make_unique<typename Kernel::State>();
    std::vector<std::int16_t> out = std::vector<std::int16_t>(kResamplerOutputCapacity);

    Resampler(int from, int to, int channels) { Kernel::Reset(*state, from, to, channels); }

    std::vector<std::int16_t> Mono(const std::vector<std::int16_t>& in) {
        int n = Kernel::Mono(*state, in.data(), static_cast<int>(in.size()), out.data(),
                             kResamplerOutputCapacity);
        return std::vector<std::int16_t>(out.begin(), out.begin() + n);
    }
    std::vector<std::int16_t> Stereo(const std::vector<std::int16_t>& in) {
        int n = Kernel::Stereo(*state, in.data(), static_cast<int>(in.size()), out.data(),
                               kResamplerOutputCapacity);
        return std::vector<std::int16_t>(out.begin(), out.begin() + n);
    }
};

template <typename Kernel>
class ResamplerKernel : public ::testing::Test {
  protected:
    using R = Resampler<Kernel>;
    void SetUp() override {
        if (!Kernel::Available()) GTEST_SKIP() << "instruction set not available here";
    }
};

using Kernels = ::testing::Types<Literal, Fast<kSincKernelSse2>, Fast<kSincKernelAvx2>,
                                 Fast<kSincKernelAvx512>>;
TYPED_TEST_SUITE(ResamplerKernel, Kernels);

std::vector<std::int16_t> Ramp(int count, int seed = 0) {
    return testing_support::Sine(count, 20000.0, 0.05, seed);
}

TYPED_TEST(ResamplerKernel, DesignMatchesTheWorkedFigures) {
    typename TestFixture::R down(44100, 8000, 1);
    EXPECT_EQ(down.state->ratio, 5.5125);
    EXPECT_EQ(down.state->coefficients[32], 0.18140589569160998);
    EXPECT_EQ(down.state->coefficients[31], 0.17133083769463509);
    EXPECT_EQ(down.state->coefficients[33], 0.17133083769463509);
    EXPECT_EQ(down.state->coefficients[0], 0.0);
    EXPECT_EQ(down.state->coefficients[64], 0.0);
    // The exact sum of the taps, rounded once (compensated summation).
    double sum = 0.0, compensation = 0.0;
    for (double c : down.state->coefficients) {
        double t = sum + c;
        compensation += std::fabs(sum) >= std::fabs(c) ? (sum - t) + c : (c - t) + sum;
        sum = t;
    }
    EXPECT_EQ(sum + compensation, 1.0003727736998378);

    // 44100 -> 48000 and back use the same cut-off 22050 / 48000 (post- and pre-filter).
    typename TestFixture::R up(44100, 48000, 1);
    typename TestFixture::R back(48000, 44100, 1);
    EXPECT_EQ(up.state->ratio, 0.91875);
    EXPECT_EQ(up.state->coefficients[32], 2 * 0.459375);
    EXPECT_EQ(back.state->coefficients[32], 2 * 0.459375);
}

TYPED_TEST(ResamplerKernel, EqualRatesScaleBy32767Over32768AndDrop25Samples) {
    std::vector<std::int16_t> in(1000);
    for (int i = 0; i < 1000; ++i)
        in[static_cast<std::size_t>(i)] = static_cast<std::int16_t>((i * 977) % 65536 - 32768);
    in[0] = 32767;
    in[1] = 1000;
    in[2] = -32768;
    typename TestFixture::R r(44100, 44100, 1);
    std::vector<std::int16_t> out = r.Mono(in);
    ASSERT_EQ(out.size(), 975u);
    for (std::size_t n = 0; n < out.size(); ++n) {
        EXPECT_EQ(out[n], static_cast<std::int16_t>(std::trunc(in[n] * 32767.0 / 32768.0)))
            << "sample " << n;
    }
    EXPECT_EQ(out[0], 32766);
    EXPECT_EQ(out[1], 999);
}

TYPED_TEST(ResamplerKernel, SplitCallsContinueTheSameStream) {
    std::vector<std::int16_t> in = Ramp(1000);
    typename TestFixture::R whole(44100, 44100, 1);
    std::vector<std::int16_t> expected = whole.Mono(in);

    typename TestFixture::R split(44100, 44100, 1);
    std::vector<std::int16_t> first = split.Mono({in.begin(), in.begin() + 500});
    std::vector<std::int16_t> second = split.Mono({in.begin() + 500, in.end()});
    EXPECT_EQ(first.size(), 475u);
    EXPECT_EQ(second.size(), 500u);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, expected);
}

TYPED_TEST(ResamplerKernel, UpsamplingBy12GivesTwelvePerInputFromThe26th) {
    typename TestFixture::R r(8000, 96000, 1);
    std::vector<std::int16_t> out = r.Mono(Ramp(2560));
    EXPECT_EQ(out.size(), 30420u);

    typename TestFixture::R first(8000, 96000, 1);
    std::vector<std::int16_t> in = Ramp(26);
    EXPECT_EQ(first.Mono({in.begin(), in.begin() + 25}).size(), 0u);
    EXPECT_EQ(first.Mono({in.begin() + 25, in.end()}).size(), 12u);
}

TYPED_TEST(ResamplerKernel, FullScaleStepClipsInsteadOfWrapping) {
    std::vector<std::int16_t> in(2000, 32767);
    typename TestFixture::R r(44100, 48000, 1);
    std::vector<std::int16_t> out = r.Mono(in);
    ASSERT_GT(out.size(), 1000u);
    int clipped = 0;
    bool negativeOnset = false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] == 32767) ++clipped;
        if (i < 100 && out[i] < 0) negativeOnset = true;
        // A wrapped overshoot would show as a large negative value after the onset.
        if (i > 200) {
            EXPECT_GT(out[i], 30000) << i;
        }
    }
    EXPECT_GT(clipped, 0);
    EXPECT_TRUE(negativeOnset);
}

TYPED_TEST(ResamplerKernel, EqualChannelsGiveTheMonoResultUpAndDown) {
    for (int target : {48000, 8000, 96000, 44100}) {
        std::vector<std::int16_t> mono = Ramp(3000, target);
        std::vector<std::int16_t> stereo;
        for (std::int16_t s : mono) {
            stereo.push_back(s);
            stereo.push_back(s);
        }
        typename TestFixture::R m(44100, target, 1);
        typename TestFixture::R s(44100, target, 2);
        std::vector<std::int16_t> monoOut = m.Mono(mono);
        std::vector<std::int16_t> stereoOut = s.Stereo(stereo);
        ASSERT_EQ(stereoOut.size(), 2 * monoOut.size()) << target;
        for (std::size_t i = 0; i < monoOut.size(); ++i) {
            ASSERT_EQ(stereoOut[2 * i], monoOut[i]) << target << " frame " << i;
            ASSERT_EQ(stereoOut[2 * i + 1], monoOut[i]) << target << " frame " << i;
        }
    }
}

TYPED_TEST(ResamplerKernel, NonPositiveCountsConsumeNothing) {
    typename TestFixture::R r(44100, 48000, 2);
    std::int16_t in[4] = {1, 2, 3, 4};
    EXPECT_EQ(TypeParam::Mono(*r.state, in, 0, r.out.data(), 10), 0);
    EXPECT_EQ(TypeParam::Stereo(*r.state, in, -2, r.out.data(), 10), 0);
    EXPECT_EQ(r.state->inCount, 0);
    EXPECT_EQ(r.state->writeIndex, 0);
}

TYPED_TEST(ResamplerKernel, IncompleteLastFrameIsIgnored) {
    typename TestFixture::R odd(44100, 44100, 2);
    typename TestFixture::R even(44100, 44100, 2);
    std::vector<std::int16_t> in = Ramp(101);
    odd.Stereo(in);
    even.Stereo({in.begin(), in.end() - 1});
    EXPECT_EQ(odd.state->inCount, 50);
    EXPECT_EQ(even.state->inCount, 50);
}

// The outputs that fit are the literal kernel's, and so are those of the next call.
TYPED_TEST(ResamplerKernel, OutputBeyondTheCapacityIsDroppedNotWrittenPastTheBuffer) {
    typename TestFixture::R r(8000, 96000, 1);
    Resampler<Literal> literal(8000, 96000, 1);
    std::vector<std::int16_t> in = Ramp(200);
    for (int call = 0; call < 2; ++call) {
        std::vector<std::int16_t> out(100 + 8, 0x5555), expected(100);
        int n = TypeParam::Mono(*r.state, in.data(), 200, out.data(), 100);
        EXPECT_EQ(n, 100);
        Literal::Mono(*literal.state, in.data(), 200, expected.data(), 100);
        for (int i = 0; i < 100; ++i) {
            EXPECT_NEAR(out[static_cast<std::size_t>(i)], expected[static_cast<std::size_t>(i)], 1)
                << "call " << call << " sample " << i;
        }
        for (int i = 100; i < 108; ++i) EXPECT_EQ(out[static_cast<std::size_t>(i)], 0x5555);
    }
}

// The kernels take an output's 50 weights from the table row of the nearest phase k / phases,
// each corrected by its slope times the offset d from that phase. Between phases that is
// sin(u) / u up to the second-order term, at most (pi d)^2 / 6; a slope of the wrong sign or
// size is off by about |slope| x d, far more.
TEST(WeightTables, NearestPhasePlusSlopeGivesTheSincBetweenPhases) {
    for (auto [from, to] :
         {std::pair{44100, 48000}, {48000, 44100}, {8000, 96000}, {44100, 8000}}) {
        constexpr double kPi = 3.141592653589793;
        auto state = std::make_unique<ResamplerState>();
        ResamplerReset(*state, from, to, 1);
        const int phases = state->phases;
        ASSERT_GT(phases, 0) << from << " > " << to;
        double worst = 0.0;  // the largest error as a fraction of its bound
        for (int step = 0; step < 7 * phases; ++step) {
            const double f = (step + 0.5) / (7.0 * phases);
            const int k = static_cast<int>(f * phases + 0.5);
            const double* row = state->weights + state->phaseRow[k] * 2 * kSincSpan;
            const double d = f - state->phaseStart[k];
            // The centre weight's error comes within rounding of the bound: a little room.
            const double bound = 1.001 * kPi * kPi * d * d / 6 + 1e-13;
            for (int m = 0; m < 2 * kResamplerHalfWidth; ++m) {
                const double u = (f + kResamplerHalfWidth - m) * kPi;
                const double error = row[m] + d * row[kSincSpan + m] - std::sin(u) / u;
                worst = std::max(worst, std::fabs(error) / bound);
            }
        }
        EXPECT_LE(worst, 1.0) << from << " > " << to;
    }
}

// The rate tables both resamplers share: the last four keys used are kept (a key used again
// moves to the front), and a table that could not be built is not kept.
TEST(RecentCache, KeepsTheTablesOfTheFourKeysUsedLast) {
    RecentCache<std::pair<int, int>, int> cache;
    int built = 0;
    auto find = [&](int a, int b) {
        return *cache.Find({a, b}, [&] {
            ++built;
            return std::make_shared<const int>(10 * a + b);
        });
    };
    for (auto [a, b] : {std::pair{1, 2}, {2, 1}, {1, 3}, {3, 1}, {1, 2}, {4, 4}}) {
        EXPECT_EQ(find(a, b), 10 * a + b);
    }
    EXPECT_EQ(built, 5);
    for (auto [a, b] : {std::pair{1, 2}, {1, 3}, {3, 1}, {4, 4}}) find(a, b);
    EXPECT_EQ(built, 5);  // {2, 1} was the least recently used
    find(2, 1);
    EXPECT_EQ(built, 6);
    EXPECT_EQ(cache.Find({5, 5}, [] { return std::shared_ptr<const int>(); }), nullptr);
    EXPECT_EQ(find(5, 5), 55);
}

}  // namespace
