// The high-quality resampler's inner loops (see hq_kernel.h), written once and compiled for each
// instruction set by a file that defines HQ_KERNEL_NAMESPACE, a namespace of its own, before
// including this one. The compiler vectorises the element-wise loops to the set's width; the
// polyphase sums use eight-lane vectors of the compiler's own, so their order is fixed whatever
// the width. Only C library functions are called from here, never inline code of shared
// headers, so no instruction of a wider set can reach a machine that lacks it.
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

typedef float Lanes __attribute__((vector_size(32)));
typedef float Quad __attribute__((vector_size(16)));

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
template <bool kInverse, int kQuarter>
void RadixPass(float* __restrict re, float* __restrict im, int size, int span,
               const float* __restrict tw) {
    const int q = kQuarter > 0 ? kQuarter : span / 2;
    const float* w1r = tw;
    const float* w1i = tw + q;
    const float* w2r = tw + 2 * q;
    const float* w2i = tw + 3 * q;
    const float* w3r = tw + 4 * q;
    const float* w3i = tw + 5 * q;
    for (int block = 0; block < size; block += 2 * span) {
        float* r0 = re + block;
        float* i0 = im + block;
        float* r1 = r0 + q;
        float* i1 = i0 + q;
        float* r2 = r0 + span;
        float* i2 = i0 + span;
        float* r3 = r2 + q;
        float* i3 = i2 + q;
        if constexpr (kInverse) {
            HQ_INDEPENDENT
            for (int j = 0; j < q; ++j) {
                const float ur = r1[j] * w2r[j] + i1[j] * w2i[j];
                const float ui = i1[j] * w2r[j] - r1[j] * w2i[j];
                const float pr = r0[j] + ur, pi = i0[j] + ui;
                const float mr = r0[j] - ur, mi = i0[j] - ui;
                const float sr = r2[j] * w1r[j] + i2[j] * w1i[j];
                const float si = i2[j] * w1r[j] - r2[j] * w1i[j];
                const float tr = r3[j] * w3r[j] + i3[j] * w3i[j];
                const float ti = i3[j] * w3r[j] - r3[j] * w3i[j];
                const float bigPr = sr + tr, bigPi = si + ti;
                const float qr = ti - si, qi = sr - tr;  // -i (t - s)
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
                const float ar = r0[j] + r2[j], ai = i0[j] + i2[j];
                const float br = r0[j] - r2[j], bi = i0[j] - i2[j];
                const float cr = r1[j] + r3[j], ci = i1[j] + i3[j];
                const float dr = r1[j] - r3[j], di = i1[j] - i3[j];
                r0[j] = ar + cr;
                i0[j] = ai + ci;
                const float er = ar - cr, ei = ai - ci;
                r1[j] = er * w2r[j] - ei * w2i[j];
                i1[j] = er * w2i[j] + ei * w2r[j];
                const float fr = br + di, fi = bi - dr;  // b - i d
                r2[j] = fr * w1r[j] - fi * w1i[j];
                i2[j] = fr * w1i[j] + fi * w1r[j];
                const float gr = br - di, gi = bi + dr;  // b + i d
                r3[j] = gr * w3r[j] - gi * w3i[j];
                i3[j] = gr * w3i[j] + gi * w3r[j];
            }
        }
    }
}

// The last two stages together (span 2): blocks of four values, no twiddles.
void ForwardLast4(float* __restrict re, float* __restrict im, int size) {
    for (int k = 0; k < size; k += 4) {
        const float ar = re[k] + re[k + 2], ai = im[k] + im[k + 2];
        const float br = re[k] - re[k + 2], bi = im[k] - im[k + 2];
        const float cr = re[k + 1] + re[k + 3], ci = im[k + 1] + im[k + 3];
        const float dr = re[k + 1] - re[k + 3], di = im[k + 1] - im[k + 3];
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

void Radix2(float* __restrict re, float* __restrict im, int size) {
    for (int k = 0; k < size; k += 2) {
        const float ar = re[k], ai = im[k], br = re[k + 1], bi = im[k + 1];
        re[k] = ar + br;
        im[k] = ai + bi;
        re[k + 1] = ar - br;
        im[k + 1] = ai - bi;
    }
}

void Forward(float* re, float* im, int size, const float* twiddles) {
    int span = size / 2;
    for (; span > 2; span /= 4) {
        HQ_PASS(false, re, im, size, span, twiddles);
        twiddles += 3 * span;
    }
    if (span == 2) ForwardLast4(re, im, size);
    if (span == 1) Radix2(re, im, size);
}

void InverseFirst4(float* __restrict re, float* __restrict im, int size) {
    for (int k = 0; k < size; k += 4) {
        const float pr = re[k] + re[k + 1], pi = im[k] + im[k + 1];
        const float mr = re[k] - re[k + 1], mi = im[k] - im[k + 1];
        const float bigPr = re[k + 2] + re[k + 3], bigPi = im[k + 2] + im[k + 3];
        const float qr = im[k + 3] - im[k + 2], qi = re[k + 2] - re[k + 3];
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

void Inverse(float* re, float* im, int size, const float* twiddles) {
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

void SpreadMultiply(const float* __restrict xr, const float* __restrict xi,
                    const float* __restrict er, const float* __restrict ei,
                    const float* __restrict orr, const float* __restrict oi, float* __restrict yr,
                    float* __restrict yi, int half) {
    for (int i = 0; i < half; ++i) {
        yr[2 * i] = xr[i] * er[i] - xi[i] * ei[i];
        yi[2 * i] = xr[i] * ei[i] + xi[i] * er[i];
        yr[2 * i + 1] = xr[i] * orr[i] - xi[i] * oi[i];
        yi[2 * i + 1] = xr[i] * oi[i] + xi[i] * orr[i];
    }
}

void FoldMultiply(const float* __restrict yr, const float* __restrict yi,
                  const float* __restrict er, const float* __restrict ei,
                  const float* __restrict orr, const float* __restrict oi, float* __restrict zr,
                  float* __restrict zi, int half) {
    for (int i = 0; i < half; ++i) {
        const float ar = yr[2 * i] * er[i] - yi[2 * i] * ei[i];
        const float ai = yr[2 * i] * ei[i] + yi[2 * i] * er[i];
        const float br = yr[2 * i + 1] * orr[i] - yi[2 * i + 1] * oi[i];
        const float bi = yr[2 * i + 1] * oi[i] + yi[2 * i + 1] * orr[i];
        zr[i] = ar + br;
        zi[i] = ai + bi;
    }
}

// The lanes' sum in a fixed order: ((0 + 4) + (2 + 6)) + ((1 + 5) + (3 + 7)).
inline float Fold(const Lanes& sum) {
    Quad low, high;
    std::memcpy(&low, &sum, sizeof low);
    std::memcpy(&high, reinterpret_cast<const char*>(&sum) + sizeof low, sizeof high);
    const Quad s = low + high;
    return (s[0] + s[2]) + (s[1] + s[3]);
}

template <int kChannels>
void PolyRun(HqPolyRun& run) {
    const int taps = run.taps;
    std::int64_t index = run.index, phase = run.phase;
    const std::int64_t whole = run.step / run.phases, part = run.step % run.phases;
    for (int n = 0; n < run.count; ++n) {
        const float* w;
        if (run.slopes == nullptr) {
            w = run.weights + phase * taps;
        } else {
            const std::int64_t fine = phase * run.rows;
            const std::int64_t row = fine / run.phases;
            const float f = static_cast<float>(static_cast<double>(fine - row * run.phases) /
                                               static_cast<double>(run.phases));
            const float* a = run.weights + row * taps;
            const float* s = run.slopes + row * taps;
            float* out = run.scratch;
            for (int k = 0; k < taps; ++k) out[k] = a[k] + f * s[k];
            w = run.scratch;
        }
        const float* x0 = run.in[0] + index;
        const float* x1 = run.in[kChannels - 1] + index;
        Lanes s0 = {0, 0, 0, 0, 0, 0, 0, 0}, s1 = s0;
        for (int k = 0; k < taps; k += 8) {
            Lanes a, b;
            std::memcpy(&a, w + k, sizeof a);
            std::memcpy(&b, x0 + k, sizeof b);
            s0 += a * b;
            if (kChannels == 2) {
                std::memcpy(&b, x1 + k, sizeof b);
                s1 += a * b;
            }
        }
        run.out[0][n] = Fold(s0);
        if (kChannels == 2) run.out[1][n] = Fold(s1);
        index += whole;
        phase += part;
        if (phase >= run.phases) {
            phase -= run.phases;
            ++index;
        }
    }
    run.index = index;
    run.phase = phase;
}

void Poly(HqPolyRun& run) {
    if (run.channels == 2) {
        PolyRun<2>(run);
    } else {
        PolyRun<1>(run);
    }
}

}  // namespace
}  // namespace HQ_KERNEL_NAMESPACE
