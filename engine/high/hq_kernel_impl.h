// The high-quality resampler's inner loops (see hq_kernel.h), written once and compiled for each
// instruction set by a file that defines HQ_KERNEL_NAMESPACE, a namespace of its own, before
// including this one. Every loop is a template over the sample type, float or double (the
// precise path of outputs finer than 16 bits). The compiler vectorises the element-wise loops to
// the set's width; the polyphase sums use eight-lane vectors of the compiler's own, so their order
// is fixed whatever the width. Only C library functions are called from here, never inline code of
// shared headers, so no instruction of a wider set can reach a machine that lacks it.
#include <cstdint>
#include <cstring>

#include "engine/high/hq_kernel.h"

namespace HQ_KERNEL_NAMESPACE {
namespace {

// The four quarters a pass works on do not overlap: lets the compiler vectorise without checks.
#if defined(__clang__)
#define HQ_INDEPENDENT _Pragma("clang loop vectorize(assume_safety)")
#else
#define HQ_INDEPENDENT _Pragma("GCC ivdep")
#endif

// Eight lanes of single precision and their halves; four of double precision.
template <typename T>
struct Vectors;
template <>
struct Vectors<float> {
    typedef float Lanes __attribute__((vector_size(32)));
    typedef float Quad __attribute__((vector_size(16)));
};
template <>
struct Vectors<double> {
    typedef double Quad __attribute__((vector_size(32)));
};

// Each pass is also compiled for the short quarters of the last passes, where a loop of known
// length vectorises across the four quarters instead of along them.
#define HQ_PASS(inverse, re, im, size, span, tw)           \
    switch (span) {                                        \
        case 4:                                            \
            RadixPass<inverse, 2>(re, im, size, span, tw); \
            break;                                         \
        case 8:                                            \
            RadixPass<inverse, 4>(re, im, size, span, tw); \
            break;                                         \
        case 16:                                           \
            RadixPass<inverse, 8>(re, im, size, span, tw); \
            break;                                         \
        default:                                           \
            RadixPass<inverse, 0>(re, im, size, span, tw); \
    }

// A pass over blocks of 2 span values: four values a quarter block apart, two radix-2 stages
// with the twiddles w^j, w^2j, w^3j (w = exp(-2 pi i / (2 span))); the inverse pass undoes the
// forward one (times 4) with the conjugate twiddles.
template <bool kInverse, int kQuarter, typename T>
void RadixPass(T* __restrict re, T* __restrict im, int size, int span, const T* __restrict tw) {
    const int q = kQuarter > 0 ? kQuarter : span / 2;
    const T* w1r = tw;
    const T* w1i = tw + q;
    const T* w2r = tw + 2 * q;
    const T* w2i = tw + 3 * q;
    const T* w3r = tw + 4 * q;
    const T* w3i = tw + 5 * q;
    for (int block = 0; block < size; block += 2 * span) {
        T* r0 = re + block;
        T* i0 = im + block;
        T* r1 = r0 + q;
        T* i1 = i0 + q;
        T* r2 = r0 + span;
        T* i2 = i0 + span;
        T* r3 = r2 + q;
        T* i3 = i2 + q;
        if constexpr (kInverse) {
            HQ_INDEPENDENT
            for (int j = 0; j < q; ++j) {
                const T ur = r1[j] * w2r[j] + i1[j] * w2i[j];
                const T ui = i1[j] * w2r[j] - r1[j] * w2i[j];
                const T pr = r0[j] + ur, pi = i0[j] + ui;
                const T mr = r0[j] - ur, mi = i0[j] - ui;
                const T sr = r2[j] * w1r[j] + i2[j] * w1i[j];
                const T si = i2[j] * w1r[j] - r2[j] * w1i[j];
                const T tr = r3[j] * w3r[j] + i3[j] * w3i[j];
                const T ti = i3[j] * w3r[j] - r3[j] * w3i[j];
                const T bigPr = sr + tr, bigPi = si + ti;
                const T qr = ti - si, qi = sr - tr;  // -i (t - s)
                r0[j] = pr + bigPr;
                i0[j] = pi + bigPi;
                r2[j] = pr - bigPr;
                i2[j] = pi - bigPi;
                r1[j] = mr + qr;
                i1[j] = mi + qi;
                r3[j] = mr - qr;
                i3[j] = mi - qi;
            }
        } else {
            HQ_INDEPENDENT
            for (int j = 0; j < q; ++j) {
                const T ar = r0[j] + r2[j], ai = i0[j] + i2[j];
                const T br = r0[j] - r2[j], bi = i0[j] - i2[j];
                const T cr = r1[j] + r3[j], ci = i1[j] + i3[j];
                const T dr = r1[j] - r3[j], di = i1[j] - i3[j];
                r0[j] = ar + cr;
                i0[j] = ai + ci;
                const T er = ar - cr, ei = ai - ci;
                r1[j] = er * w2r[j] - ei * w2i[j];
                i1[j] = er * w2i[j] + ei * w2r[j];
                const T fr = br + di, fi = bi - dr;  // b - i d
                r2[j] = fr * w1r[j] - fi * w1i[j];
                i2[j] = fr * w1i[j] + fi * w1r[j];
                const T gr = br - di, gi = bi + dr;  // b + i d
                r3[j] = gr * w3r[j] - gi * w3i[j];
                i3[j] = gr * w3i[j] + gi * w3r[j];
            }
        }
    }
}

// The last two stages together (span 2): blocks of four values, no twiddles.
template <typename T>
void ForwardLast4(T* __restrict re, T* __restrict im, int size) {
    for (int k = 0; k < size; k += 4) {
        const T ar = re[k] + re[k + 2], ai = im[k] + im[k + 2];
        const T br = re[k] - re[k + 2], bi = im[k] - im[k + 2];
        const T cr = re[k + 1] + re[k + 3], ci = im[k + 1] + im[k + 3];
        const T dr = re[k + 1] - re[k + 3], di = im[k + 1] - im[k + 3];
        re[k] = ar + cr;
        im[k] = ai + ci;
        re[k + 1] = ar - cr;
        im[k + 1] = ai - ci;
        re[k + 2] = br + di;
        im[k + 2] = bi - dr;
        re[k + 3] = br - di;
        im[k + 3] = bi + dr;
    }
}

template <typename T>
void Radix2(T* __restrict re, T* __restrict im, int size) {
    for (int k = 0; k < size; k += 2) {
        const T ar = re[k], ai = im[k], br = re[k + 1], bi = im[k + 1];
        re[k] = ar + br;
        im[k] = ai + bi;
        re[k + 1] = ar - br;
        im[k + 1] = ai - bi;
    }
}

template <typename T>
void Forward(T* re, T* im, int size, const T* twiddles) {
    int span = size / 2;
    for (; span > 2; span /= 4) {
        HQ_PASS(false, re, im, size, span, twiddles);
        twiddles += 3 * span;
    }
    if (span == 2) ForwardLast4(re, im, size);
    if (span == 1) Radix2(re, im, size);
}

template <typename T>
void InverseFirst4(T* __restrict re, T* __restrict im, int size) {
    for (int k = 0; k < size; k += 4) {
        const T pr = re[k] + re[k + 1], pi = im[k] + im[k + 1];
        const T mr = re[k] - re[k + 1], mi = im[k] - im[k + 1];
        const T bigPr = re[k + 2] + re[k + 3], bigPi = im[k + 2] + im[k + 3];
        const T qr = im[k + 3] - im[k + 2], qi = re[k + 2] - re[k + 3];
        re[k] = pr + bigPr;
        im[k] = pi + bigPi;
        re[k + 2] = pr - bigPr;
        im[k + 2] = pi - bigPi;
        re[k + 1] = mr + qr;
        im[k + 1] = mi + qi;
        re[k + 3] = mr - qr;
        im[k + 3] = mi - qi;
    }
}

template <typename T>
void Inverse(T* re, T* im, int size, const T* twiddles) {
    // The forward passes' spans and twiddle offsets, walked backwards.
    int spans[16], offsets[16], passes = 0, offset = 0;
    int span = size / 2;
    for (; span > 2; span /= 4) {
        spans[passes] = span;
        offsets[passes++] = offset;
        offset += 3 * span;
    }
    if (span == 1) Radix2(re, im, size);
    if (span == 2) InverseFirst4(re, im, size);
    while (passes > 0) {
        --passes;
        HQ_PASS(true, re, im, size, spans[passes], twiddles + offsets[passes]);
    }
}

template <typename T>
void SpreadMultiply(const T* __restrict xr, const T* __restrict xi, const T* __restrict er,
                    const T* __restrict ei, const T* __restrict orr, const T* __restrict oi,
                    T* __restrict yr, T* __restrict yi, int half) {
    for (int i = 0; i < half; ++i) {
        yr[2 * i] = xr[i] * er[i] - xi[i] * ei[i];
        yi[2 * i] = xr[i] * ei[i] + xi[i] * er[i];
        yr[2 * i + 1] = xr[i] * orr[i] - xi[i] * oi[i];
        yi[2 * i + 1] = xr[i] * oi[i] + xi[i] * orr[i];
    }
}

template <typename T>
void FoldMultiply(const T* __restrict yr, const T* __restrict yi, const T* __restrict er,
                  const T* __restrict ei, const T* __restrict orr, const T* __restrict oi,
                  T* __restrict zr, T* __restrict zi, int half) {
    for (int i = 0; i < half; ++i) {
        const T ar = yr[2 * i] * er[i] - yi[2 * i] * ei[i];
        const T ai = yr[2 * i] * ei[i] + yi[2 * i] * er[i];
        const T br = yr[2 * i + 1] * orr[i] - yi[2 * i + 1] * oi[i];
        const T bi = yr[2 * i + 1] * oi[i] + yi[2 * i + 1] * orr[i];
        zr[i] = ar + br;
        zi[i] = ai + bi;
    }
}

// Eight lanes of products summed per lane, then folded in a fixed order:
// ((0 + 4) + (2 + 6)) + ((1 + 5) + (3 + 7)).
template <typename T>
struct Sum8;
// In single precision the eight lanes are one vector (a register from AVX2 on).
template <>
struct Sum8<float> {
    Vectors<float>::Lanes lanes = {0, 0, 0, 0, 0, 0, 0, 0};
    void Add(const float* w, const float* x) {
        Vectors<float>::Lanes a, b;
        std::memcpy(&a, w, sizeof a);
        std::memcpy(&b, x, sizeof b);
        lanes += a * b;
    }
    float Fold() const {
        Vectors<float>::Quad low, high;
        std::memcpy(&low, &lanes, sizeof low);
        std::memcpy(&high, reinterpret_cast<const char*>(&lanes) + sizeof low, sizeof high);
        const Vectors<float>::Quad s = low + high;
        return (s[0] + s[2]) + (s[1] + s[3]);
    }
};
// In double precision as two halves of four lanes: a vector of eight doubles is wider than any
// register below AVX-512 and would live on the stack. The same sums lane by lane.
template <>
struct Sum8<double> {
    Vectors<double>::Quad low = {0, 0, 0, 0}, high = low;
    void Add(const double* w, const double* x) {
        Vectors<double>::Quad a, b;
        std::memcpy(&a, w, sizeof a);
        std::memcpy(&b, x, sizeof b);
        low += a * b;
        std::memcpy(&a, w + 4, sizeof a);
        std::memcpy(&b, x + 4, sizeof b);
        high += a * b;
    }
    // Four products into the low half: the last four taps of a row whose length is four more
    // than a multiple of eight (the high half would only add products of zero weights).
    void AddLow(const double* w, const double* x) {
        Vectors<double>::Quad a, b;
        std::memcpy(&a, w, sizeof a);
        std::memcpy(&b, x, sizeof b);
        low += a * b;
    }
    double Fold() const {
        const Vectors<double>::Quad s = low + high;
        return (s[0] + s[2]) + (s[1] + s[3]);
    }
};

// Outputs n to n + kTogether - 1 of a run, whose inputs start at at[g] with the weights of
// phase[g]. Their sums do not depend on one another: computed side by side, each one's additions
// overlap the others' instead of waiting for the one before.
template <int kChannels, int kTogether, typename T>
void PolyOutputs(const HqPolyRunOf<T>& run, int n, const std::int64_t* at,
                 const std::int64_t* phase) {
    // Rows of double precision may end in four taps past a multiple of eight.
    constexpr bool kFours = sizeof(T) == sizeof(double);
    const int taps = run.taps, eights = taps & ~7;
    Sum8<T> sum[kTogether][kChannels];
    const T* x[kTogether][kChannels];
    for (int g = 0; g < kTogether; ++g) {
        for (int c = 0; c < kChannels; ++c) x[g][c] = run.in[c] + at[g];
    }
    if (run.slopes == nullptr) {
        const T* w[kTogether];
        for (int g = 0; g < kTogether; ++g) w[g] = run.weights + phase[g] * taps;
        for (int k = 0; k < eights; k += 8) {
            for (int g = 0; g < kTogether; ++g) {
                for (int c = 0; c < kChannels; ++c) sum[g][c].Add(w[g] + k, x[g][c] + k);
            }
        }
        if constexpr (kFours) {
            if (eights < taps) {
                for (int g = 0; g < kTogether; ++g) {
                    for (int c = 0; c < kChannels; ++c) {
                        sum[g][c].AddLow(w[g] + eights, x[g][c] + eights);
                    }
                }
            }
        }
    } else {
        const T* a[kTogether];
        const T* s[kTogether];
        T f[kTogether];
        for (int g = 0; g < kTogether; ++g) {
            const std::int64_t fine = phase[g] * run.rows;
            const std::int64_t row = fine / run.phases;
            f[g] = static_cast<T>(static_cast<double>(fine - row * run.phases) /
                                  static_cast<double>(run.phases));
            a[g] = run.weights + row * taps;
            s[g] = run.slopes + row * taps;
        }
        // Eight interpolated weights at a time, used while they are still in registers.
        for (int k = 0; k < eights; k += 8) {
            for (int g = 0; g < kTogether; ++g) {
                T w[8];
                for (int j = 0; j < 8; ++j) w[j] = a[g][k + j] + f[g] * s[g][k + j];
                for (int c = 0; c < kChannels; ++c) sum[g][c].Add(w, x[g][c] + k);
            }
        }
        if constexpr (kFours) {
            if (eights < taps) {
                for (int g = 0; g < kTogether; ++g) {
                    T w[4];
                    for (int j = 0; j < 4; ++j) w[j] = a[g][eights + j] + f[g] * s[g][eights + j];
                    for (int c = 0; c < kChannels; ++c) sum[g][c].AddLow(w, x[g][c] + eights);
                }
            }
        }
    }
    for (int g = 0; g < kTogether; ++g) {
        for (int c = 0; c < kChannels; ++c) run.out[c][n + g] = sum[g][c].Fold();
    }
}

template <int kChannels, typename T>
void PolyRun(HqPolyRunOf<T>& run) {
    // Four sums side by side: four outputs of mono, two of stereo.
    constexpr int kTogether = 4 / kChannels;
    std::int64_t index = run.index, phase = run.phase;
    const std::int64_t whole = run.step / run.phases, part = run.step % run.phases;
    std::int64_t at[kTogether], phases[kTogether];
    int n = 0;
    const auto next = [&](int g) {
        at[g] = index;
        phases[g] = phase;
        index += whole;
        phase += part;
        if (phase >= run.phases) {
            phase -= run.phases;
            ++index;
        }
    };
    for (; n + kTogether <= run.count; n += kTogether) {
        for (int g = 0; g < kTogether; ++g) next(g);
        PolyOutputs<kChannels, kTogether>(run, n, at, phases);
    }
    for (; n < run.count; ++n) {
        next(0);
        PolyOutputs<kChannels, 1>(run, n, at, phases);
    }
    run.index = index;
    run.phase = phase;
}

template <typename T>
void Poly(HqPolyRunOf<T>& run) {
    if (run.channels == 2) {
        PolyRun<2, T>(run);
    } else {
        PolyRun<1, T>(run);
    }
}

}  // namespace

// The loops for one sample type.
template <typename T>
constexpr HqKernelOps<T> Ops() {
    return {Forward<T>, Inverse<T>, SpreadMultiply<T>, FoldMultiply<T>, Poly<T>};
}

}  // namespace HQ_KERNEL_NAMESPACE
