#include "engine/resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "support/test_support.h"

namespace {

struct Resampler {
    std::unique_ptr<ResamplerState> state = std::make_unique<ResamplerState>();
    std::vector<std::int16_t> out = std::vector<std::int16_t>(kResamplerOutputCapacity);

    Resampler(int from, int to, int channels) { ResamplerReset(*state, from, to, channels); }

    std::vector<std::int16_t> Mono(const std::vector<std::int16_t>& in) {
        int n = ResampleMono(*state, in.data(), static_cast<int>(in.size()), out.data());
        return std::vector<std::int16_t>(out.begin(), out.begin() + n);
    }
    std::vector<std::int16_t> Stereo(const std::vector<std::int16_t>& in) {
        int n = ResampleStereo(*state, in.data(), static_cast<int>(in.size()), out.data());
        return std::vector<std::int16_t>(out.begin(), out.begin() + n);
    }
};

std::vector<std::int16_t> Ramp(int count, int seed = 0) {
    return testing_support::Sine(count, 20000.0, 0.05, seed);
}

TEST(ResamplerFilter, DesignMatchesTheWorkedFigures) {
    Resampler down(44100, 8000, 1);
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
    Resampler up(44100, 48000, 1);
    Resampler back(48000, 44100, 1);
    EXPECT_EQ(up.state->ratio, 0.91875);
    EXPECT_EQ(up.state->coefficients[32], 2 * 0.459375);
    EXPECT_EQ(back.state->coefficients[32], 2 * 0.459375);
}

TEST(ResamplerMono, EqualRatesScaleBy32767Over32768AndDrop25Samples) {
    std::vector<std::int16_t> in(1000);
    for (int i = 0; i < 1000; ++i)
        in[static_cast<std::size_t>(i)] = static_cast<std::int16_t>((i * 977) % 65536 - 32768);
    in[0] = 32767;
    in[1] = 1000;
    in[2] = -32768;
    Resampler r(44100, 44100, 1);
    std::vector<std::int16_t> out = r.Mono(in);
    ASSERT_EQ(out.size(), 975u);
    for (std::size_t n = 0; n < out.size(); ++n) {
        EXPECT_EQ(out[n], static_cast<std::int16_t>(std::trunc(in[n] * 32767.0 / 32768.0)))
            << "sample " << n;
    }
    EXPECT_EQ(out[0], 32766);
    EXPECT_EQ(out[1], 999);
}

TEST(ResamplerMono, SplitCallsContinueTheSameStream) {
    std::vector<std::int16_t> in = Ramp(1000);
    Resampler whole(44100, 44100, 1);
    std::vector<std::int16_t> expected = whole.Mono(in);

    Resampler split(44100, 44100, 1);
    std::vector<std::int16_t> first = split.Mono({in.begin(), in.begin() + 500});
    std::vector<std::int16_t> second = split.Mono({in.begin() + 500, in.end()});
    EXPECT_EQ(first.size(), 475u);
    EXPECT_EQ(second.size(), 500u);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, expected);
}

TEST(ResamplerMono, UpsamplingBy12GivesTwelvePerInputFromThe26th) {
    Resampler r(8000, 96000, 1);
    std::vector<std::int16_t> out = r.Mono(Ramp(2560));
    EXPECT_EQ(out.size(), 30420u);

    Resampler first(8000, 96000, 1);
    std::vector<std::int16_t> in = Ramp(26);
    EXPECT_EQ(first.Mono({in.begin(), in.begin() + 25}).size(), 0u);
    EXPECT_EQ(first.Mono({in.begin() + 25, in.end()}).size(), 12u);
}

TEST(ResamplerMono, FullScaleStepClipsInsteadOfWrapping) {
    std::vector<std::int16_t> in(2000, 32767);
    Resampler r(44100, 48000, 1);
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

TEST(ResamplerStereo, EqualChannelsGiveTheMonoResultUpAndDown) {
    for (int target : {48000, 8000, 96000, 44100}) {
        std::vector<std::int16_t> mono = Ramp(3000, target);
        std::vector<std::int16_t> stereo;
        for (std::int16_t s : mono) {
            stereo.push_back(s);
            stereo.push_back(s);
        }
        Resampler m(44100, target, 1);
        Resampler s(44100, target, 2);
        std::vector<std::int16_t> monoOut = m.Mono(mono);
        std::vector<std::int16_t> stereoOut = s.Stereo(stereo);
        ASSERT_EQ(stereoOut.size(), 2 * monoOut.size()) << target;
        for (std::size_t i = 0; i < monoOut.size(); ++i) {
            ASSERT_EQ(stereoOut[2 * i], monoOut[i]) << target << " frame " << i;
            ASSERT_EQ(stereoOut[2 * i + 1], monoOut[i]) << target << " frame " << i;
        }
    }
}

TEST(ResamplerKernels, NonPositiveCountsConsumeNothing) {
    Resampler r(44100, 48000, 2);
    std::int16_t in[4] = {1, 2, 3, 4};
    EXPECT_EQ(ResampleMono(*r.state, in, 0, r.out.data()), 0);
    EXPECT_EQ(ResampleStereo(*r.state, in, -2, r.out.data()), 0);
    EXPECT_EQ(r.state->inCount, 0);
    EXPECT_EQ(r.state->writeIndex, 0);
}

TEST(ResamplerStereo, IncompleteLastFrameIsIgnored) {
    Resampler odd(44100, 44100, 2);
    Resampler even(44100, 44100, 2);
    std::vector<std::int16_t> in = Ramp(101);
    odd.Stereo(in);
    even.Stereo({in.begin(), in.end() - 1});
    EXPECT_EQ(odd.state->inCount, 50);
    EXPECT_EQ(even.state->inCount, 50);
}

TEST(ResamplerKernels, OutputBeyondTheCapacityIsDroppedNotWrittenPastTheBuffer) {
    Resampler r(8000, 96000, 1);
    std::vector<std::int16_t> in = Ramp(200);
    std::vector<std::int16_t> out(100 + 8, 0x5555);
    int n = ResampleMono(*r.state, in.data(), 200, out.data(), 100);
    EXPECT_EQ(n, 100);
    for (int i = 100; i < 108; ++i) EXPECT_EQ(out[static_cast<std::size_t>(i)], 0x5555);
}

}  // namespace
