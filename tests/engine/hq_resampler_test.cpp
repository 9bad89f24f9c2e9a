#include "engine/high/hq_resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "engine/high/hq_filter.h"
#include "engine/high/hq_kernel.h"

namespace {

constexpr double kPi = 3.141592653589793;

// Feeds `in` in chunks of `chunk` frames, taking at most `capacity` values per call, then drains.
std::vector<float> Feed(FloatResampler& r, const std::vector<float>& in, int channels,
                        int chunk = 2560, int capacity = 1 << 20) {
    std::vector<float> out, buffer(static_cast<std::size_t>(capacity));
    const std::size_t step = static_cast<std::size_t>(chunk) * channels;
    for (std::size_t start = 0; start < in.size(); start += step) {
        int count = static_cast<int>(std::min(step, in.size() - start));
        for (bool first = true;; first = false) {
            const int n = r.Process(first ? in.data() + start : nullptr, first ? count : 0,
                                    buffer.data(), capacity);
            out.insert(out.end(), buffer.begin(), buffer.begin() + n);
            if (n < capacity - capacity % channels) break;
        }
    }
    while (int n = r.Drain(buffer.data(), capacity))
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    return out;
}

std::vector<float> Resample(const std::vector<float>& in, int from, int to, int channels,
                            const HqKernel& kernel = HqBestKernel(), const HqOptions& options = {},
                            int chunk = 2560, int capacity = 1 << 20) {
    auto r = MakeHighQualityResampler(kernel, options);
    r->Reset(from, to, channels);
    return Feed(*r, in, channels, chunk, capacity);
}

// Magnitudes in dB of an FIR filter's response at k / size of its rate, k <= size / 2 (size a
// power of two).
std::vector<double> ResponseDb(const std::vector<double>& taps, std::size_t size) {
    std::vector<std::complex<double>> a(size);
    for (std::size_t i = 0; i < taps.size(); ++i) a[i % size] += taps[i];
    for (std::size_t i = 1, j = 0; i < size; ++i) {
        std::size_t bit = size >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= size; len <<= 1) {
        for (std::size_t i = 0; i < size; i += len) {
            for (std::size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> w =
                    std::polar(1.0, -2.0 * kPi * static_cast<double>(k) / static_cast<double>(len));
                const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
    std::vector<double> db(size / 2 + 1);
    for (std::size_t k = 0; k < db.size(); ++k) db[k] = 20.0 * std::log10(std::abs(a[k]) + 1e-300);
    return db;
}

struct Pair {
    int from, to;
};

// Every pair of an item of `a` and an item of `b`.
template <typename A, std::size_t N, typename B>
std::vector<std::pair<A, B>> Combine(const A (&a)[N], std::initializer_list<B> b) {
    std::vector<std::pair<A, B>> all;
    for (const A& x : a) {
        for (const B& y : b) all.emplace_back(x, y);
    }
    return all;
}
const Pair kPairs[] = {{44100, 48000}, {48000, 16000}, {96000, 44100}, {8000, 48000},
                       {44100, 44101}, {1000, 384000}, {384000, 1000}, {48000, 44100}};

// The steep filter runs at twice the lower rate, so its passband comes back from its rate minus
// the lower Nyquist frequency up, where the polyphase stage must stop. Together: flat within
// +-0.01 dB to 0.95 of the lower Nyquist frequency, 140 dB down from it on (155 dB for the
// double-precision stages); the minimum-phase filters too.
TEST(HqFilters, MeetThePassbandAndStopbandFigures) {
    for (const auto& [p, kind] : Combine(kPairs, {0, 1, 2, 3})) {
        const FilterPhase phase = kind % 2 == 1 ? FilterPhase::Minimum : FilterPhase::Linear;
        const bool precise = kind >= 2;
        const double floor = precise ? -155.0 : -140.0;
        const std::string what = std::to_string(p.from) + " -> " + std::to_string(p.to) +
                                 (phase == FilterPhase::Minimum ? " minimum" : "") +
                                 (precise ? " double" : "");
        const std::vector<HqFilterTaps> filters = HqFilters(p.from, p.to, phase, precise);
        ASSERT_FALSE(filters.empty()) << what;
        const double nyquist = std::min(p.from, p.to) / 2.0;
        const HqFilterTaps& steep = filters[0];
        const std::size_t size = 1 << 16;
        const std::vector<double> s = ResponseDb(steep.taps, size);
        double passband = 0.0, stopband = -400.0;
        for (std::size_t k = 0; k < s.size(); ++k) {
            const double f = steep.rate * static_cast<double>(k) / static_cast<double>(size);
            if (f <= 0.95 * nyquist) passband = std::max(passband, std::abs(s[k]));
            if (f >= nyquist) stopband = std::max(stopband, s[k]);
        }
        EXPECT_LE(stopband, floor) << what;
        // (The polyphase stage is the same for either phase.)
        if (filters.size() == 2 && phase == FilterPhase::Linear) {
            const HqFilterTaps& poly = filters[1];
            std::size_t fine = 1024;
            while (fine < 8 * poly.taps.size()) fine *= 2;
            const std::vector<double> q = ResponseDb(poly.taps, fine);
            const double phases = poly.rate / (p.from < p.to ? steep.rate : p.from);
            for (std::size_t k = 0; k < q.size(); ++k) {
                const double f = poly.rate * static_cast<double>(k) / static_cast<double>(fine);
                const double gain = q[k] - 20.0 * std::log10(phases);
                const std::size_t at = static_cast<std::size_t>(std::lround(f / steep.rate * size));
                if (f <= 0.95 * nyquist) passband = std::max(passband, std::abs(gain + s[at]));
                if (f >= steep.rate - nyquist) stopband = std::max(stopband, gain);
            }
            EXPECT_LE(stopband, floor) << what << " (polyphase stage)";
        }
        EXPECT_LE(passband, 0.01) << what;
    }
}

// An impulse comes out where it went in (its largest sample within half an output sample, one
// with the asymmetric minimum-phase response), a sine where and as it went in, and the output
// lasts as long as the source: ceil(frames x to / from). In double
// precision the sine is ten times closer (float's rounding in the FFTs and sums is gone). With
// the minimum-phase filter the impulse keeps its place and its length, and what comes more than
// four samples of the lower rate before its peak (where its rise begins) is 60 dB below it (the
// linear filter's symmetric ringing puts about -20 dB there); a sine is delayed by its phase, so
// only its level is compared.
TEST(HqResampler, KeepsTimeLevelAndLength) {
    const Pair pairs[] = {{44100, 48000}, {48000, 16000}, {96000, 44100}, {8000, 48000},
                          {44100, 44101}, {1000, 384000}, {384000, 1000}, {44100, 44100},
                          {22050, 44100}, {32000, 16000}};
    const HqOptions kinds[] = {{false, FilterPhase::Linear},
                               {true, FilterPhase::Linear},
                               {false, FilterPhase::Minimum},
                               {true, FilterPhase::Minimum}};
    for (const auto& [p, kind] : Combine(pairs, {0, 1, 2, 3})) {
        const HqOptions options = kinds[kind];
        const bool minimum = options.phase == FilterPhase::Minimum;
        for (int channels : {1, 2}) {
            const std::string what = std::to_string(p.from) + " -> " + std::to_string(p.to) + " x" +
                                     std::to_string(channels) + (options.precise ? " double" : "") +
                                     (minimum ? " minimum" : "");
            const int low = std::min(p.from, p.to);
            const int frames = p.from / 3 + 17 + 2000 * (p.from / low);
            const double ratio = static_cast<double>(p.to) / p.from;
            // Impulses at a third and two thirds of the source.
            std::vector<float> in(static_cast<std::size_t>(frames) * channels, 0.0f);
            const int at[2] = {frames / 3, 2 * frames / 3};
            for (int c = 0; c < channels; ++c)
                in[static_cast<std::size_t>(at[c]) * channels + c] = 1.0f;
            std::vector<float> out = Resample(in, p.from, p.to, channels, HqBestKernel(), options);
            const std::int64_t expected =
                (static_cast<std::int64_t>(frames) * p.to + p.from - 1) / p.from;
            ASSERT_EQ(static_cast<std::int64_t>(out.size()), expected * channels) << what;
            for (int c = 0; c < channels; ++c) {
                std::size_t peak = 0;
                double energy = 0.0, early = 0.0;
                for (std::size_t n = 0; n < static_cast<std::size_t>(expected); ++n) {
                    if (out[n * channels + c] > out[peak * channels + c]) peak = n;
                }
                EXPECT_LE(std::abs(static_cast<double>(peak) - at[c] * ratio), minimum ? 1.0 : 0.5)
                    << what;
                const double before = static_cast<double>(peak) - 4.0 * std::max(1.0, ratio);
                for (std::size_t n = 0; n < static_cast<std::size_t>(expected); ++n) {
                    const double v = out[n * channels + c];
                    energy += v * v;
                    if (static_cast<double>(n) < before) early += v * v;
                }
                if (minimum && p.from != p.to) {
                    EXPECT_LE(early, 1e-6 * energy) << what;
                }
            }
            // A sine at 0.3 of the lower Nyquist frequency, compared away from the ends.
            const double f = 0.15 * std::min(p.from, p.to);
            for (std::size_t i = 0; i < in.size(); ++i) {
                in[i] = static_cast<float>(
                    0.5 * std::sin(2 * kPi * f * static_cast<double>(i / channels) / p.from +
                                   static_cast<double>(i % channels)));
            }
            out = Resample(in, p.from, p.to, channels, HqBestKernel(), options);
            double error = 0.0, ss = 0.0, cc = 0.0, sc = 0.0, ys = 0.0, yc = 0.0;
            for (std::size_t n = expected / 4; n < static_cast<std::size_t>(3 * expected / 4);
                 ++n) {
                const double phase = 2 * kPi * f * static_cast<double>(n) / p.to;
                const double y = out[n * channels], s = std::sin(phase), co = std::cos(phase);
                ss += s * s, cc += co * co, sc += s * co, ys += y * s, yc += y * co;
                for (int c = 0; c < channels; ++c) {
                    const double exact = 0.5 * std::sin(phase + c);
                    error = std::max(error, std::abs(out[n * channels + c] - exact));
                }
            }
            if (minimum) {
                // The least-squares sine through the first channel.
                const double det = ss * cc - sc * sc;
                EXPECT_NEAR(std::hypot((ys * cc - yc * sc) / det, (yc * ss - ys * sc) / det), 0.5,
                            1e-6)
                    << what;
            } else {
                EXPECT_LE(error, options.precise ? 1e-7 : 1e-6) << what;
            }
        }
    }
}

// However the source is cut into calls and however little each call may return, the output is
// the same; successive resets start afresh.
TEST(HqResampler, ChunksAndCapacitiesDoNotChangeTheOutput) {
    const Pair pairs[] = {{44100, 48000}, {48000, 16000}, {44100, 44101}, {8000, 96000}};
    for (const Pair& p : pairs) {
        for (int channels : {1, 2}) {
            std::vector<float> in(static_cast<std::size_t>(p.from / 2) * channels);
            for (std::size_t i = 0; i < in.size(); ++i) {
                in[i] = static_cast<float>(std::sin(0.001 * static_cast<double>(i * i / channels)) *
                                           0.7);
            }
            auto r = MakeHighQualityResampler();
            r->Reset(p.from, p.to, channels);
            const std::vector<float> expected = Feed(*r, in, channels, 1 << 20);
            for (const auto& [chunk, capacity] :
                 {std::make_pair(1, 1 << 20), std::make_pair(2560, 2), std::make_pair(997, 4099)}) {
                r->Reset(p.from, p.to, channels);
                EXPECT_TRUE(Feed(*r, in, channels, chunk, capacity * channels) == expected)
                    << p.from << " -> " << p.to << " x" << channels << " chunk " << chunk
                    << " capacity " << capacity;
            }
        }
    }
}

// The same bytes on every instruction set this machine has, in either precision.
TEST(HqResampler, InstructionSetsGiveTheSameBytes) {
    const Pair pairs[] = {{44100, 48000}, {48000, 16000}, {44100, 44101}, {96000, 44100}};
    for (const auto& [p, precise] : Combine(pairs, {false, true})) {
        const HqOptions options{precise, FilterPhase::Linear};
        for (int channels : {1, 2}) {
            std::vector<float> in(static_cast<std::size_t>(p.from / 4) * channels);
            for (std::size_t i = 0; i < in.size(); ++i) {
                in[i] = static_cast<float>(std::sin(0.0003 * static_cast<double>(i * i)) * 0.9);
            }
            const std::vector<float> expected =
                Resample(in, p.from, p.to, channels, kHqKernelSse2, options);
            for (const HqKernel* kernel : {&kHqKernelAvx2, &kHqKernelAvx512}) {
                if (!KernelSupported(*kernel)) continue;
                const std::vector<float> got =
                    Resample(in, p.from, p.to, channels, *kernel, options);
                EXPECT_TRUE(got.size() == expected.size() &&
                            std::memcmp(got.data(), expected.data(), got.size() * 4) == 0)
                    << kernel->name << " " << p.from << " -> " << p.to << " x" << channels
                    << (precise ? " double" : "");
            }
        }
    }
}

}  // namespace
