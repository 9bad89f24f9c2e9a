#include "engine/high/hq_filter.h"

#include <array>
#include <cmath>
#include <complex>
#include <numeric>
#include <utility>

#include "engine/common/recent_cache.h"

namespace {

constexpr double kPi = 3.141592653589793;
// Stopband attenuation the Kaiser windows are designed for (dB); the filters reach about 144 dB.
constexpr double kAttenuation = 145.0;
// Kaiser's estimates: the window's shape, and its length times the transition width.
const double kBeta = 0.1102 * (kAttenuation - 8.7);
constexpr double kLengthTimesWidth = (kAttenuation - 7.95) / 14.36;
// The steep filter: transition from 0.95 to 1.0 of the lower Nyquist frequency, a quarter of
// its rate.
constexpr double kSteepPassEdge = 0.95 * 0.25;
constexpr double kSteepStopEdge = 0.25;
// Largest exact-phase table (phases and floats); beyond it, interpolated offsets.
constexpr std::int64_t kMaxExactPhases = 4096;
constexpr std::int64_t kMaxExactFloats = 131072;
constexpr std::int64_t kMaxRows = 4096;

double BesselI0(double x) {
    double sum = 1.0, term = 1.0;
    const double quarter = x * x / 4.0;
    for (int k = 1; k < 500; ++k) {
        term *= quarter / (static_cast<double>(k) * k);
        sum += term;
        if (term < 1e-17 * sum) break;
    }
    return sum;
}

// The Kaiser window at r (-1 <= r <= 1) times the ideal low-pass cut at fc cycles per sample, at
// t samples from its centre.
double KaiserSinc(double t, double r, double fc) {
    const double x = 2.0 * fc * t;
    const double sinc = x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x);
    const double w = BesselI0(kBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) / BesselI0(kBeta);
    return 2.0 * fc * sinc * w;
}

int BitReverse(int k, int bits) {
    int r = 0;
    for (int b = 0; b < bits; ++b) r |= ((k >> b) & 1) << (bits - 1 - b);
    return r;
}

std::shared_ptr<const HqPolyTable> BuildPolyTable(const HqPolyDesign& design) {
    auto table = std::make_shared<HqPolyTable>();
    table->design = design;
    const std::size_t width = static_cast<std::size_t>(design.paddedTaps);
    const std::size_t rows = static_cast<std::size_t>(design.rows) + (design.exact ? 0 : 1);
    table->weights.assign(rows * width, 0.0f);
    std::vector<double> row(static_cast<std::size_t>(design.taps));
    std::vector<double> previous;
    if (!design.exact) table->slopes.assign((rows - 1) * width, 0.0f);
    for (std::size_t k = 0; k < rows; ++k) {
        HqPolyWeights(design, static_cast<double>(k) / static_cast<double>(design.rows),
                      row.data());
        for (std::size_t m = 0; m < row.size(); ++m) {
            table->weights[k * width + m] = static_cast<float>(row[m]);
            if (k > 0 && !design.exact) {
                table->slopes[(k - 1) * width + m] = static_cast<float>(row[m] - previous[m]);
            }
        }
        previous = row;
    }
    return table;
}

}  // namespace

const std::vector<double>& HqSteepTaps() {
    static const std::vector<double> taps = [] {
        const double width = kSteepStopEdge - kSteepPassEdge;
        int intervals = static_cast<int>(std::ceil(kLengthTimesWidth / width));
        intervals = (intervals + 3) / 4 * 4;
        std::vector<double> h(static_cast<std::size_t>(intervals) + 1);
        const double centre = intervals / 2.0;
        const double fc = (kSteepPassEdge + kSteepStopEdge) / 2.0;
        for (std::size_t n = 0; n < h.size(); ++n) {
            const double t = static_cast<double>(n) - centre;
            h[n] = KaiserSinc(t, t / centre, fc);
        }
        return h;
    }();
    return taps;
}

HqPolyDesign HqPlanPoly(std::int64_t inRate, std::int64_t outRate, std::int64_t lowRate) {
    HqPolyDesign d;
    const std::int64_t g = std::gcd(inRate, outRate);
    d.step = inRate / g;
    d.phases = outRate / g;
    // Passband to half the lower rate, stopband from 1.5 x it: the transition is lowRate wide.
    const double width = static_cast<double>(lowRate) / static_cast<double>(inRate);
    d.cutoff = width;
    // (4 % longer than the estimate: long windows at low cut-offs fall short of it.)
    d.taps = static_cast<int>(std::ceil(1.04 * kLengthTimesWidth / width));
    d.taps += d.taps % 2;
    d.paddedTaps = (d.taps + 7) / 8 * 8;
    d.exact = d.phases <= kMaxExactPhases && d.phases * d.paddedTaps <= kMaxExactFloats;
    if (d.exact) {
        d.rows = d.phases;
    } else {
        // Linear interpolation between rows k / rows apart puts images of the band below the
        // lower Nyquist frequency f at (f / (rows x inRate))^2 of its level: keep them below
        // -150 dB.
        const double needed = 16384.0 * 0.5 * width;
        d.rows = 2;
        while (d.rows < kMaxRows && static_cast<double>(d.rows) < needed) d.rows *= 2;
    }
    return d;
}

void HqPolyWeights(const HqPolyDesign& design, double offset, double* weights) {
    const double half = design.taps / 2.0;
    for (int k = 0; k < design.taps; ++k) {
        const double t = k - half + 1.0 - offset;
        weights[k] = KaiserSinc(t, t / half, design.cutoff);
    }
}

std::shared_ptr<const HqPolyTable> HqFindPolyTable(std::int64_t inRate, std::int64_t outRate,
                                                   std::int64_t lowRate) {
    static RecentCache<std::array<std::int64_t, 3>, HqPolyTable> recent;
    return recent.Find({inRate, outRate, lowRate},
                       [&] { return BuildPolyTable(HqPlanPoly(inRate, outRate, lowRate)); });
}

std::vector<HqFilterTaps> HqFilters(int sourceFrequency, int targetFrequency) {
    std::vector<HqFilterTaps> filters;
    if (sourceFrequency == targetFrequency) return filters;
    const std::int64_t low = std::min(sourceFrequency, targetFrequency);
    filters.push_back({2.0 * static_cast<double>(low), HqSteepTaps()});
    const std::int64_t in = sourceFrequency < targetFrequency ? 2 * low : sourceFrequency;
    const std::int64_t out = sourceFrequency < targetFrequency ? targetFrequency : 2 * low;
    if (in == out) return filters;
    const HqPolyDesign d = HqPlanPoly(in, out, low);
    HqFilterTaps poly;
    poly.rate = static_cast<double>(in) * static_cast<double>(d.rows);
    // Sample m of the prototype stands at m / rows - taps / 2 input samples from its centre.
    poly.taps.assign(static_cast<std::size_t>(d.rows * d.taps), 0.0);
    std::vector<double> row(static_cast<std::size_t>(d.taps));
    for (std::int64_t k = 0; k < d.rows; ++k) {
        HqPolyWeights(d, static_cast<double>(k) / static_cast<double>(d.rows), row.data());
        // Weight j of offset k / rows is the prototype at j - taps / 2 + 1 - k / rows (the
        // last one, at the window's end, is 0).
        for (int j = 0; j < d.taps; ++j) {
            const std::int64_t m = (j + 1) * d.rows - k;  // in fine samples from the left end
            if (m < static_cast<std::int64_t>(poly.taps.size())) {
                poly.taps[static_cast<std::size_t>(m)] = row[static_cast<std::size_t>(j)];
            }
        }
    }
    filters.push_back(std::move(poly));
    return filters;
}

std::vector<float> HqFftTwiddles(int size) {
    std::vector<float> table;
    for (int span = size / 2; span > 2; span /= 4) {
        const int q = span / 2;
        for (int m = 1; m <= 3; ++m) {
            for (int part = 0; part < 2; ++part) {
                for (int j = 0; j < q; ++j) {
                    const double angle = kPi * m * j / span;
                    table.push_back(
                        static_cast<float>(part == 0 ? std::cos(angle) : -std::sin(angle)));
                }
            }
        }
    }
    return table;
}

const HqSteepSpectrum& HqSteep() {
    static const HqSteepSpectrum spectrum = [] {
        HqSteepSpectrum s;
        const std::vector<double>& h = HqSteepTaps();
        s.taps = static_cast<int>(h.size());
        s.twiddles = HqFftTwiddles(kHqFftSize);
        s.halfTwiddles = HqFftTwiddles(kHqFftSize / 2);
        const int n = kHqFftSize;
        int bits = 0;
        while ((1 << bits) < n) ++bits;
        std::vector<double> cosine(n), sine(n);
        for (int k = 0; k < n; ++k) {
            cosine[k] = std::cos(2.0 * kPi * k / n);
            sine[k] = std::sin(2.0 * kPi * k / n);
        }
        const std::size_t half = static_cast<std::size_t>(n / 2);
        for (auto* v : {&s.upEvenR, &s.upEvenI, &s.upOddR, &s.upOddI, &s.downEvenR, &s.downEvenI,
                        &s.downOddR, &s.downOddI}) {
            v->assign(half, 0.0f);
        }
        for (int k = 0; k < n; ++k) {
            double re = 0.0, im = 0.0;
            // index = k x m modulo n, n a power of two.
            int index = 0;
            for (std::size_t m = 0; m < h.size(); ++m) {
                re += h[m] * cosine[static_cast<std::size_t>(index)];
                im -= h[m] * sine[static_cast<std::size_t>(index)];
                index = (index + k) & (n - 1);
            }
            // The inverse transforms are unscaled: 1 / n; a zero after each source sample
            // halves the level: 2 / n.
            const int position = BitReverse(k, bits);
            const std::size_t i = static_cast<std::size_t>(position / 2);
            const double up = 2.0 / n, down = 1.0 / n;
            if (position % 2 == 0) {
                s.upEvenR[i] = static_cast<float>(re * up);
                s.upEvenI[i] = static_cast<float>(im * up);
                s.downEvenR[i] = static_cast<float>(re * down);
                s.downEvenI[i] = static_cast<float>(im * down);
            } else {
                s.upOddR[i] = static_cast<float>(re * up);
                s.upOddI[i] = static_cast<float>(im * up);
                s.downOddR[i] = static_cast<float>(re * down);
                s.downOddI[i] = static_cast<float>(im * down);
            }
        }
        return s;
    }();
    return spectrum;
}
