#include "engine/high/hq_filter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numeric>
#include <type_traits>
#include <utility>

#include "engine/common/recent_cache.h"

namespace {

constexpr double kPi = 3.141592653589793;
// The Kaiser windows of a stopband attenuation (dB): Kaiser's estimates of the window's shape
// and of its length times the transition width.
struct Kaiser {
    explicit constexpr Kaiser(double attenuation)
        : beta(0.1102 * (attenuation - 8.7)), lengthTimesWidth((attenuation - 7.95) / 14.36) {}
    double beta, lengthTimesWidth;
};
// For float stages (the steep filter reaches 142 dB), and for double ones (160 dB), whose
// images and aliases would otherwise stand above a 24-bit output's rounding.
constexpr Kaiser kKaiser[2] = {Kaiser(145.0), Kaiser(165.0)};
// The steep filter: transition from 0.95 to 1.0 of the lower Nyquist frequency, a quarter of
// its rate.
constexpr double kSteepPassEdge = 0.95 * 0.25;
constexpr double kSteepStopEdge = 0.25;
// Largest exact-phase table (phases and floats); beyond it, interpolated offsets.
constexpr std::int64_t kMaxExactPhases = 4096;
constexpr std::int64_t kMaxExactFloats = 131072;
constexpr std::int64_t kMaxRows = 4096;
// Samples of the minimum-phase filter kept before its start (see MinimumSteep).
constexpr double kMinimumLead = 4.0;

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
double KaiserSinc(double t, double r, double fc, double beta) {
    const double x = 2.0 * fc * t;
    const double sinc = x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x);
    const double w = BesselI0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / BesselI0(beta);
    return 2.0 * fc * sinc * w;
}

int BitReverse(int k, int bits) {
    int r = 0;
    for (int b = 0; b < bits; ++b) r |= ((k >> b) & 1) << (bits - 1 - b);
    return r;
}

template <typename T>
std::shared_ptr<const HqPolyTable<T>> BuildPolyTable(const HqPolyDesign& design) {
    auto table = std::make_shared<HqPolyTable<T>>();
    table->design = design;
    const std::size_t width = static_cast<std::size_t>(design.paddedTaps);
    const std::size_t rows = static_cast<std::size_t>(design.rows) + (design.exact ? 0 : 1);
    table->weights.assign(rows * width, T(0));
    std::vector<double> row(static_cast<std::size_t>(design.taps));
    std::vector<double> previous;
    if (!design.exact) table->slopes.assign((rows - 1) * width, T(0));
    for (std::size_t k = 0; k < rows; ++k) {
        HqPolyWeights(design, static_cast<double>(k) / static_cast<double>(design.rows),
                      row.data());
        for (std::size_t m = 0; m < row.size(); ++m) {
            table->weights[k * width + m] = static_cast<T>(row[m]);
            if (k > 0 && !design.exact) {
                table->slopes[(k - 1) * width + m] = static_cast<T>(row[m] - previous[m]);
            }
        }
        previous = row;
    }
    return table;
}

// In-place complex FFT of a power-of-two size (inverse: conjugate twiddles, no 1/size).
void ComplexFft(std::vector<std::complex<double>>& a, bool inverse) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const double angle = (inverse ? 2.0 : -2.0) * kPi / static_cast<double>(len);
        for (std::size_t k = 0; k < len / 2; ++k) {
            const std::complex<double> w = std::polar(1.0, angle * static_cast<double>(k));
            for (std::size_t i = k; i < n; i += len) {
                const std::complex<double> u = a[i], v = a[i + len / 2] * w;
                a[i] = u + v;
                a[i + len / 2] = u - v;
            }
        }
    }
}

// The band-limited signal between the samples of an impulse response (a Hann-windowed sinc over
// 32 samples each side).
double Between(const std::vector<double>& h, double t) {
    double sum = 0.0;
    const std::int64_t first = static_cast<std::int64_t>(std::floor(t)) - 31;
    for (std::int64_t n = std::max<std::int64_t>(0, first);
         n < first + 64 && n < static_cast<std::int64_t>(h.size()); ++n) {
        const double u = t - static_cast<double>(n);
        const double sinc = std::fabs(u) < 1e-12 ? 1.0 : std::sin(kPi * u) / (kPi * u);
        sum += h[static_cast<std::size_t>(n)] * sinc * 0.5 * (1.0 + std::cos(kPi * u / 32.0));
    }
    return sum;
}

std::vector<double> DesignSteep(const Kaiser& kaiser) {
    const double width = kSteepStopEdge - kSteepPassEdge;
    int intervals = static_cast<int>(std::ceil(kaiser.lengthTimesWidth / width));
    intervals = (intervals + 3) / 4 * 4;
    std::vector<double> h(static_cast<std::size_t>(intervals) + 1);
    const double centre = intervals / 2.0;
    const double fc = (kSteepPassEdge + kSteepStopEdge) / 2.0;
    for (std::size_t n = 0; n < h.size(); ++n) {
        const double t = static_cast<double>(n) - centre;
        h[n] = KaiserSinc(t, t / centre, fc, kaiser.beta);
    }
    return h;
}

const std::vector<double>& LinearSteep(bool precise) {
    static const std::vector<double> single = DesignSteep(kKaiser[0]);
    if (!precise) return single;
    static const std::vector<double> fine = DesignSteep(kKaiser[1]);
    return fine;
}

struct SteepMinimum {
    std::vector<double> taps;
    int delay = 0;
};

// The minimum-phase filter of the linear one's magnitude, by the cepstrum: the log magnitude's
// cepstrum folded onto its causal half is the minimum-phase filter's log spectrum. Its peak,
// found on the band-limited response, usually stands between two samples: the filter is delayed
// (a linear phase on its spectrum) so that the peak stands on an even sample at least
// kMinimumLead samples after the start, the delay the stages compensate in whole input samples.
// Delayed rather than advanced: what the band-limited response holds before its first sample
// (about -70 dB) stays in the taps instead of being cut off, which would cost the stopband as
// much.
SteepMinimum DesignMinimum(const std::vector<double>& h) {
    const std::size_t n = std::size_t(1) << 17;
    std::vector<std::complex<double>> a(n);
    for (std::size_t i = 0; i < h.size(); ++i) a[i] = h[i];
    ComplexFft(a, false);
    // The stopband's zeros have no logarithm: a floor 200 dB down, far below its 144 dB.
    for (auto& v : a) v = std::log(std::max(std::abs(v), 1e-10));
    ComplexFft(a, true);
    for (std::size_t i = 0; i < n; ++i) {
        const double c = a[i].real() / static_cast<double>(n);
        a[i] = i == 0 || i == n / 2 ? c : i < n / 2 ? 2.0 * c : 0.0;
    }
    ComplexFft(a, false);
    for (auto& v : a) v = std::exp(v);
    std::vector<std::complex<double>> b = a;
    ComplexFft(b, true);
    std::vector<double> response(h.size());
    for (std::size_t i = 0; i < h.size(); ++i) response[i] = b[i].real() / static_cast<double>(n);
    std::size_t top = 0;
    for (std::size_t i = 0; i < response.size(); ++i) {
        if (std::fabs(response[i]) > std::fabs(response[top])) top = i;
    }
    // Golden sections on the band-limited response within a sample of the largest one.
    double lo = static_cast<double>(top) - 1.0, hi = static_cast<double>(top) + 1.0;
    const double golden = (std::sqrt(5.0) - 1.0) / 2.0;
    for (int i = 0; i < 60; ++i) {
        const double c = hi - golden * (hi - lo), d = lo + golden * (hi - lo);
        if (std::fabs(Between(response, c)) > std::fabs(Between(response, d))) {
            hi = d;
        } else {
            lo = c;
        }
    }
    const double peak = 0.5 * (lo + hi);
    SteepMinimum m;
    m.delay = static_cast<int>(std::ceil((peak + kMinimumLead) / 2.0)) * 2;
    const double shift = m.delay - peak;
    for (std::size_t k = 0; k < n; ++k) {
        const double f = k <= n / 2 ? static_cast<double>(k) : static_cast<double>(k) - n;
        a[k] *= k == n / 2 ? std::cos(kPi * shift)
                           : std::polar(1.0, -2.0 * kPi * f * shift / static_cast<double>(n));
    }
    ComplexFft(a, true);
    m.taps.resize(h.size());
    for (std::size_t i = 0; i < h.size(); ++i) m.taps[i] = a[i].real() / static_cast<double>(n);
    return m;
}

const SteepMinimum& MinimumSteep(bool precise) {
    static const SteepMinimum single = DesignMinimum(LinearSteep(false));
    if (!precise) return single;
    static const SteepMinimum fine = DesignMinimum(LinearSteep(true));
    return fine;
}

}  // namespace

const std::vector<double>& HqSteepTaps(FilterPhase phase, bool precise) {
    return phase == FilterPhase::Minimum ? MinimumSteep(precise).taps : LinearSteep(precise);
}

int HqSteepDelay(FilterPhase phase, bool precise) {
    if (phase == FilterPhase::Minimum) return MinimumSteep(precise).delay;
    return static_cast<int>(LinearSteep(precise).size() - 1) / 2;
}

HqPolyDesign HqPlanPoly(std::int64_t inRate, std::int64_t outRate, std::int64_t lowRate,
                        bool precise) {
    HqPolyDesign d;
    const Kaiser& kaiser = kKaiser[precise ? 1 : 0];
    d.beta = kaiser.beta;
    const std::int64_t g = std::gcd(inRate, outRate);
    d.step = inRate / g;
    d.phases = outRate / g;
    // Passband to half the lower rate, stopband from 1.5 x it: the transition is lowRate wide.
    const double width = static_cast<double>(lowRate) / static_cast<double>(inRate);
    d.cutoff = width;
    // (4 % longer than the estimate: long windows at low cut-offs fall short of it.)
    d.taps = static_cast<int>(std::ceil(1.04 * kaiser.lengthTimesWidth / width));
    d.taps += d.taps % 2;
    // Single precision sums eight lanes at a time, double precision four (two halves of eight).
    const int eights = (d.taps + 7) / 8 * 8;
    d.paddedTaps = precise ? (d.taps + 3) / 4 * 4 : eights;
    d.exact = d.phases <= kMaxExactPhases && d.phases * eights <= kMaxExactFloats;
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
        weights[k] = KaiserSinc(t, t / half, design.cutoff, design.beta);
    }
}

template <typename T>
std::shared_ptr<const HqPolyTable<T>> HqFindPolyTable(std::int64_t inRate, std::int64_t outRate,
                                                      std::int64_t lowRate) {
    static RecentCache<std::array<std::int64_t, 3>, HqPolyTable<T>> recent;
    return recent.Find({inRate, outRate, lowRate}, [&] {
        return BuildPolyTable<T>(
            HqPlanPoly(inRate, outRate, lowRate, std::is_same<T, double>::value));
    });
}
template std::shared_ptr<const HqPolyTable<float>> HqFindPolyTable<float>(std::int64_t,
                                                                          std::int64_t,
                                                                          std::int64_t);
template std::shared_ptr<const HqPolyTable<double>> HqFindPolyTable<double>(std::int64_t,
                                                                            std::int64_t,
                                                                            std::int64_t);

std::vector<HqFilterTaps> HqFilters(int sourceFrequency, int targetFrequency, FilterPhase phase,
                                    bool precise) {
    std::vector<HqFilterTaps> filters;
    if (sourceFrequency == targetFrequency) return filters;
    const std::int64_t low = std::min(sourceFrequency, targetFrequency);
    filters.push_back({2.0 * static_cast<double>(low), HqSteepTaps(phase, precise)});
    const std::int64_t in = sourceFrequency < targetFrequency ? 2 * low : sourceFrequency;
    const std::int64_t out = sourceFrequency < targetFrequency ? targetFrequency : 2 * low;
    if (in == out) return filters;
    const HqPolyDesign d = HqPlanPoly(in, out, low, precise);
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

template <typename T>
std::vector<T> HqFftTwiddles(int size) {
    std::vector<T> table;
    for (int span = size / 2; span > 2; span /= 4) {
        const int q = span / 2;
        for (int m = 1; m <= 3; ++m) {
            for (int part = 0; part < 2; ++part) {
                for (int j = 0; j < q; ++j) {
                    const double angle = kPi * m * j / span;
                    table.push_back(static_cast<T>(part == 0 ? std::cos(angle) : -std::sin(angle)));
                }
            }
        }
    }
    return table;
}
template std::vector<float> HqFftTwiddles<float>(int);
template std::vector<double> HqFftTwiddles<double>(int);

namespace {

// Frequency k of the steep filter's spectrum, scaled for each use, at its bit-reversed position.
template <typename T>
void Store(HqSteepSpectrum<T>& s, int k, int bits, double re, double im) {
    // The inverse transforms are unscaled: 1 / n; a zero after each source sample
    // halves the level: 2 / n.
    const int n = kHqFftSize;
    const int position = BitReverse(k, bits);
    const std::size_t i = static_cast<std::size_t>(position / 2);
    const double up = 2.0 / n, down = 1.0 / n;
    if (position % 2 == 0) {
        s.upEvenR[i] = static_cast<T>(re * up);
        s.upEvenI[i] = static_cast<T>(im * up);
        s.downEvenR[i] = static_cast<T>(re * down);
        s.downEvenI[i] = static_cast<T>(im * down);
    } else {
        s.upOddR[i] = static_cast<T>(re * up);
        s.upOddI[i] = static_cast<T>(im * up);
        s.downOddR[i] = static_cast<T>(re * down);
        s.downOddI[i] = static_cast<T>(im * down);
    }
}

template <typename T>
HqSteepSpectrum<T> BuildSteepSpectrum(FilterPhase phase) {
    HqSteepSpectrum<T> s;
    const bool precise = std::is_same<T, double>::value;
    const std::vector<double>& h = HqSteepTaps(phase, precise);
    s.taps = static_cast<int>(h.size());
    s.delay = HqSteepDelay(phase, precise);
    s.twiddles = HqFftTwiddles<T>(kHqFftSize);
    s.halfTwiddles = HqFftTwiddles<T>(kHqFftSize / 2);
    const int n = kHqFftSize;
    int bits = 0;
    while ((1 << bits) < n) ++bits;
    const std::size_t half = static_cast<std::size_t>(n / 2);
    for (auto* v : {&s.upEvenR, &s.upEvenI, &s.upOddR, &s.upOddI, &s.downEvenR, &s.downEvenI,
                    &s.downOddR, &s.downOddI}) {
        v->assign(half, T(0));
    }
    // The taps' frequency response by a double-precision FFT, in a fraction of a millisecond (the
    // first file waits for it): its rounding stays about 300 dB below the passband, far under the
    // 165 dB stopband.
    std::vector<std::complex<double>> response(static_cast<std::size_t>(n));
    std::copy(h.begin(), h.end(), response.begin());
    ComplexFft(response, false);
    for (int k = 0; k < n; ++k) {
        const std::complex<double> v = response[static_cast<std::size_t>(k)];
        Store(s, k, bits, v.real(), v.imag());
    }
    return s;
}

}  // namespace

template <typename T>
const HqSteepSpectrum<T>& HqSteep(FilterPhase phase) {
    static const HqSteepSpectrum<T> linear = BuildSteepSpectrum<T>(FilterPhase::Linear);
    if (phase == FilterPhase::Linear) return linear;
    static const HqSteepSpectrum<T> minimum = BuildSteepSpectrum<T>(FilterPhase::Minimum);
    return minimum;
}
template const HqSteepSpectrum<float>& HqSteep<float>(FilterPhase);
template const HqSteepSpectrum<double>& HqSteep<double>(FilterPhase);
