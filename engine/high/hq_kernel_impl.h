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

// The widest vector registers of the set the file is compiled for.
#if defined(__AVX512F__)
constexpr int kVectorBytes = 64;
#elif defined(__AVX__)
constexpr int kVectorBytes = 32;
#else
constexpr int kVectorBytes = 16;
#endif

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

// The butterflies of a pass on four values a quarter block apart (see RadixPass), on single
// values or on vectors of them: the same operations either way.
template <typename V>
inline void ForwardButterfly(V& r0, V& i0, V& r1, V& i1, V& r2, V& i2, V& r3, V& i3, const V& w1r,
                             const V& w1i, const V& w2r, const V& w2i, const V& w3r, const V& w3i) {
    const V ar = r0 + r2, ai = i0 + i2;
    const V br = r0 - r2, bi = i0 - i2;
    const V cr = r1 + r3, ci = i1 + i3;
    const V dr = r1 - r3, di = i1 - i3;
    r0 = ar + cr;
    i0 = ai + ci;
    const V er = ar - cr, ei = ai - ci;
    r1 = er * w2r - ei * w2i;
    i1 = er * w2i + ei * w2r;
    const V fr = br + di, fi = bi - dr;  // b - i d
    r2 = fr * w1r - fi * w1i;
    i2 = fr * w1i + fi * w1r;
    const V gr = br - di, gi = bi + dr;  // b + i d
    r3 = gr * w3r - gi * w3i;
    i3 = gr * w3i + gi * w3r;
}

template <typename V>
inline void InverseButterfly(V& r0, V& i0, V& r1, V& i1, V& r2, V& i2, V& r3, V& i3, const V& w1r,
                             const V& w1i, const V& w2r, const V& w2i, const V& w3r, const V& w3i) {
    const V ur = r1 * w2r + i1 * w2i;
    const V ui = i1 * w2r - r1 * w2i;
    const V pr = r0 + ur, pi = i0 + ui;
    const V mr = r0 - ur, mi = i0 - ui;
    const V sr = r2 * w1r + i2 * w1i;
    const V si = i2 * w1r - r2 * w1i;
    const V tr = r3 * w3r + i3 * w3i;
    const V ti = i3 * w3r - r3 * w3i;
    const V bigPr = sr + tr, bigPi = si + ti;
    const V qr = ti - si, qi = sr - tr;  // -i (t - s)
    r0 = pr + bigPr;
    i0 = pi + bigPi;
    r2 = pr - bigPr;
    i2 = pi - bigPi;
    r1 = mr + qr;
    i1 = mi + qi;
    r3 = mr - qr;
    i3 = mi - qi;
}

// (Vectors are passed by reference only: wider ones than the set's registers have no agreed way
// to be returned.)
template <typename V, typename T>
inline void Load(V& v, const T* p) {
    std::memcpy(&v, p, sizeof v);
}
template <typename V, typename T>
inline void Store(T* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

// A pass over blocks of 2 span values: four values a quarter block apart, two radix-2 stages
// with the twiddles w^j, w^2j, w^3j (w = exp(-2 pi i / (2 span))); the inverse pass undoes the
// forward one (times 4) with the conjugate twiddles.
template <bool kInverse, int kQuarter, typename T>
void RadixPass(T* __restrict re, T* __restrict im, int size, int span, const T* __restrict tw) {
    if constexpr (kQuarter > 0 && kQuarter * sizeof(T) <= 32) {
        // Short quarters, each one vector: the twiddles stay in registers for the whole pass.
        typedef T V __attribute__((vector_size(kQuarter * sizeof(T))));
        V w1r, w1i, w2r, w2i, w3r, w3i;
        Load(w1r, tw);
        Load(w1i, tw + kQuarter);
        Load(w2r, tw + 2 * kQuarter);
        Load(w2i, tw + 3 * kQuarter);
        Load(w3r, tw + 4 * kQuarter);
        Load(w3i, tw + 5 * kQuarter);
        for (int block = 0; block < size; block += 4 * kQuarter) {
            T* r = re + block;
            T* i = im + block;
            V r0, r1, r2, r3, i0, i1, i2, i3;
            Load(r0, r);
            Load(r1, r + kQuarter);
            Load(r2, r + 2 * kQuarter);
            Load(r3, r + 3 * kQuarter);
            Load(i0, i);
            Load(i1, i + kQuarter);
            Load(i2, i + 2 * kQuarter);
            Load(i3, i + 3 * kQuarter);
            if constexpr (kInverse) {
                InverseButterfly(r0, i0, r1, i1, r2, i2, r3, i3, w1r, w1i, w2r, w2i, w3r, w3i);
            } else {
                ForwardButterfly(r0, i0, r1, i1, r2, i2, r3, i3, w1r, w1i, w2r, w2i, w3r, w3i);
            }
            Store(r, r0);
            Store(r + kQuarter, r1);
            Store(r + 2 * kQuarter, r2);
            Store(r + 3 * kQuarter, r3);
            Store(i, i0);
            Store(i + kQuarter, i1);
            Store(i + 2 * kQuarter, i2);
            Store(i + 3 * kQuarter, i3);
        }
        (void)span;
        return;
    }
    const int q = kQuarter > 0 ? kQuarter : span / 2;
    const T* w1r = tw;
    const T* w1i = tw + q;
    const T* w2r = tw + 2 * q;
    const T* w2i = tw + 3 * q;
    const T* w3r = tw + 4 * q;
    const T* w3i = tw + 5 * q;
    // The quarters here (8 doubles and more, 16 floats and more) are whole vectors of the set's
    // width, even of AVX-512's: each value is loaded once and stored once (left to itself the
    // compiler loads some twice, for want of registers).
    typedef T V __attribute__((vector_size(kVectorBytes)));
    constexpr int kLanes = static_cast<int>(kVectorBytes / sizeof(T));
    for (int block = 0; block < size; block += 2 * span) {
        T* r0 = re + block;
        T* i0 = im + block;
        T* r1 = r0 + q;
        T* i1 = i0 + q;
        T* r2 = r0 + span;
        T* i2 = i0 + span;
        T* r3 = r2 + q;
        T* i3 = i2 + q;
        for (int j = 0; j < q; j += kLanes) {
            V a0, a1, a2, a3, b0, b1, b2, b3, v1r, v1i, v2r, v2i, v3r, v3i;
            Load(a0, r0 + j);
            Load(a1, r1 + j);
            Load(a2, r2 + j);
            Load(a3, r3 + j);
            Load(b0, i0 + j);
            Load(b1, i1 + j);
            Load(b2, i2 + j);
            Load(b3, i3 + j);
            Load(v1r, w1r + j);
            Load(v1i, w1i + j);
            Load(v2r, w2r + j);
            Load(v2i, w2i + j);
            Load(v3r, w3r + j);
            Load(v3i, w3i + j);
            if constexpr (kInverse) {
                InverseButterfly(a0, b0, a1, b1, a2, b2, a3, b3, v1r, v1i, v2r, v2i, v3r, v3i);
            } else {
                ForwardButterfly(a0, b0, a1, b1, a2, b2, a3, b3, v1r, v1i, v2r, v2i, v3r, v3i);
            }
            Store(r0 + j, a0);
            Store(r1 + j, a1);
            Store(r2 + j, a2);
            Store(r3 + j, a3);
            Store(i0 + j, b0);
            Store(i1 + j, b1);
            Store(i2 + j, b2);
            Store(i3 + j, b3);
        }
    }
}

// The last two stages together (span 2): blocks of four values, no twiddles. x0 to x3 are the
// values of a block, or vectors of the same values of several blocks.
template <typename V>
inline void Last4(V& r0, V& i0, V& r1, V& i1, V& r2, V& i2, V& r3, V& i3) {
    const V ar = r0 + r2, ai = i0 + i2;
    const V br = r0 - r2, bi = i0 - i2;
    const V cr = r1 + r3, ci = i1 + i3;
    const V dr = r1 - r3, di = i1 - i3;
    r0 = ar + cr;
    i0 = ai + ci;
    r1 = ar - cr;
    i1 = ai - ci;
    r2 = br + di;
    i2 = bi - dr;
    r3 = br - di;
    i3 = bi + dr;
}

// Four vectors of four values, rows to columns.
template <typename Q>
inline void Transpose(Q& a, Q& b, Q& c, Q& d) {
    const Q t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6);
    const Q t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
    const Q t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6);
    const Q t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
    a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Runs `stage` (Last4 or First4) on every block of four values: four blocks at a time as vectors
// (transposed, so that each lane holds one block), the rest one by one.
template <typename T, typename Stage>
inline void Blocks4(T* __restrict re, T* __restrict im, int size, Stage stage) {
    typedef typename Vectors<T>::Quad Q;
    int k = 0;
    for (; k + 16 <= size; k += 16) {
        Q r0, r1, r2, r3, i0, i1, i2, i3;
        Load(r0, re + k);
        Load(r1, re + k + 4);
        Load(r2, re + k + 8);
        Load(r3, re + k + 12);
        Load(i0, im + k);
        Load(i1, im + k + 4);
        Load(i2, im + k + 8);
        Load(i3, im + k + 12);
        Transpose(r0, r1, r2, r3);
        Transpose(i0, i1, i2, i3);
        stage(r0, i0, r1, i1, r2, i2, r3, i3);
        Transpose(r0, r1, r2, r3);
        Transpose(i0, i1, i2, i3);
        Store(re + k, r0);
        Store(re + k + 4, r1);
        Store(re + k + 8, r2);
        Store(re + k + 12, r3);
        Store(im + k, i0);
        Store(im + k + 4, i1);
        Store(im + k + 8, i2);
        Store(im + k + 12, i3);
    }
    for (; k < size; k += 4) {
        stage(re[k], im[k], re[k + 1], im[k + 1], re[k + 2], im[k + 2], re[k + 3], im[k + 3]);
    }
}

template <typename T>
void ForwardLast4(T* __restrict re, T* __restrict im, int size) {
    Blocks4(re, im, size, [](auto&... x) { Last4(x...); });
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

// The passes on blocks of at most this many values run block by block, all of a block's passes
// before the next block's: its real and imaginary parts (16 KiB in double precision) stay in the
// first-level cache between them. Each butterfly computes the same values as in pass order.
constexpr int kLocalValues = 1024;

template <typename T>
void Forward(T* re, T* im, int size, const T* twiddles) {
    int span = size / 2;
    for (; span > 2 && 2 * span > kLocalValues; span /= 4) {
        HQ_PASS(false, re, im, size, span, twiddles);
        twiddles += 3 * span;
    }
    const int block = 2 * span;
    for (int first = 0; first < size; first += block) {
        T* r = re + first;
        T* i = im + first;
        const T* tw = twiddles;
        int s = span;
        for (; s > 2; s /= 4) {
            HQ_PASS(false, r, i, block, s, tw);
            tw += 3 * s;
        }
        if (s == 2) ForwardLast4(r, i, block);
        if (s == 1) Radix2(r, i, block);
    }
}

// The inverse's first two stages together: blocks of four values, no twiddles.
template <typename V>
inline void First4(V& r0, V& i0, V& r1, V& i1, V& r2, V& i2, V& r3, V& i3) {
    const V pr = r0 + r1, pi = i0 + i1;
    const V mr = r0 - r1, mi = i0 - i1;
    const V bigPr = r2 + r3, bigPi = i2 + i3;
    const V qr = i3 - i2, qi = r2 - r3;
    r0 = pr + bigPr;
    i0 = pi + bigPi;
    r2 = pr - bigPr;
    i2 = pi - bigPi;
    r1 = mr + qr;
    i1 = mi + qi;
    r3 = mr - qr;
    i3 = mi - qi;
}

template <typename T>
void InverseFirst4(T* __restrict re, T* __restrict im, int size) {
    Blocks4(re, im, size, [](auto&... x) { First4(x...); });
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
    // The passes on blocks of at most kLocalValues values block by block, as in Forward.
    int wide = 0;  // the passes on larger blocks, run afterwards on the whole array
    while (wide < passes && 2 * spans[wide] > kLocalValues) ++wide;
    const int block = wide < passes ? 2 * spans[wide] : 2 * span;
    for (int first = 0; first < size; first += block) {
        T* r = re + first;
        T* i = im + first;
        if (span == 1) Radix2(r, i, block);
        if (span == 2) InverseFirst4(r, i, block);
        for (int p = passes - 1; p >= wide; --p) {
            HQ_PASS(true, r, i, block, spans[p], twiddles + offsets[p]);
        }
    }
    while (wide > 0) {
        --wide;
        HQ_PASS(true, re, im, size, spans[wide], twiddles + offsets[wide]);
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
    // The sum of the halves: the first step of Fold.
    void Halves(Vectors<float>::Quad& s) const {
        Vectors<float>::Quad low, high;
        std::memcpy(&low, &lanes, sizeof low);
        std::memcpy(&high, reinterpret_cast<const char*>(&lanes) + sizeof low, sizeof high);
        s = low + high;
    }
    float Fold() const {
        Vectors<float>::Quad s;
        Halves(s);
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
    void Halves(Vectors<double>::Quad& s) const { s = low + high; }
    double Fold() const {
        const Vectors<double>::Quad s = low + high;
        return (s[0] + s[2]) + (s[1] + s[3]);
    }
};

// Four sums folded at once, each as Fold does it: their halves' sums transposed, so that each
// lane holds one sum, and folded lane by lane.
template <typename T>
inline void Fold4(const Sum8<T>* const* sums, T* out) {
    typename Vectors<T>::Quad s0, s1, s2, s3;
    sums[0]->Halves(s0);
    sums[1]->Halves(s1);
    sums[2]->Halves(s2);
    sums[3]->Halves(s3);
    Transpose(s0, s1, s2, s3);
    s0 = (s0 + s2) + (s1 + s3);
    Store(out, s0);
}

// Outputs n + g x stride (g < kTogether) of a run, whose inputs start at at[g] with the weights
// of phase[g]. Their sums do not depend on one another: computed side by side, each one's
// additions overlap the others' instead of waiting for the one before.
// kOnePhase: all of them have phase[0] (exact phases only), and each weight is loaded once.
template <int kChannels, int kTogether, bool kOnePhase = false, typename T>
inline __attribute__((always_inline)) void PolyOutputs(const HqPolyRunOf<T>& run, int n, int stride,
                                                       const std::int64_t* at,
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
        for (int g = 0; g < kTogether; ++g) {
            w[g] = run.weights + (kOnePhase ? phase[0] : phase[g]) * taps;
        }
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
    if constexpr (kTogether * kChannels == 4) {
        const Sum8<T>* sums[4];
        T folded[4];
        for (int g = 0; g < kTogether; ++g) {
            for (int c = 0; c < kChannels; ++c) sums[g * kChannels + c] = &sum[g][c];
        }
        Fold4(sums, folded);
        for (int g = 0; g < kTogether; ++g) {
            for (int c = 0; c < kChannels; ++c) {
                run.out[c][n + g * stride] = folded[g * kChannels + c];
            }
        }
    } else {
        for (int g = 0; g < kTogether; ++g) {
            for (int c = 0; c < kChannels; ++c) run.out[c][n + g * stride] = sum[g][c].Fold();
        }
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
    if (run.slopes == nullptr) {
        // Exact phases: outputs `phases` apart have the same phase, their windows `step` inputs
        // apart. Taken side by side they share each weight's load, where neighbours would load
        // a row each: in rounds of kTogether x phases outputs, each phase's in turn.
        const std::int64_t round = kTogether * run.phases;
        const int stride = static_cast<int>(run.phases);
        for (; n + round <= run.count; n += static_cast<int>(round)) {
            const std::int64_t start = index + kTogether * run.step;
            for (int r = 0; r < stride; ++r) {
                next(0);
                for (int g = 1; g < kTogether; ++g) at[g] = at[0] + g * run.step;
                PolyOutputs<kChannels, kTogether, true>(run, n + r, stride, at, phases);
            }
            index = start;
        }
    }
    for (; n + kTogether <= run.count; n += kTogether) {
        for (int g = 0; g < kTogether; ++g) next(g);
        PolyOutputs<kChannels, kTogether>(run, n, 1, at, phases);
    }
    for (; n < run.count; ++n) {
        next(0);
        PolyOutputs<kChannels, 1>(run, n, 1, at, phases);
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

// A 32-bit hash whose outputs are uniform for counting inputs (two multiply-xorshift rounds).
inline std::uint32_t Hash(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x21F0AAADu;
    x ^= x >> 15;
    x *= 0xD35A2D97u;
    x ^= x >> 15;
    return x;
}

// The dither of value i of a run (see HqQuantizeRun), in steps.
template <int kChannels>
inline double Tpdf(const HqQuantizeRun& run, std::uint32_t i) {
    const std::uint32_t at = run.index + i;
    std::uint32_t key;
    if (kChannels == 2) {
        // Frame at / 2 of channel at % 2: the salt of the right channel where at is odd.
        const std::uint32_t right = 0u - (at & 1u);
        key = (at & ~1u) + (run.salts[0] ^ (right & (run.salts[0] ^ run.salts[1])));
    } else {
        key = 2u * at + run.salts[0];
    }
    // As signed values both are shifted by 2^31: their difference stays the same.
    const auto a = static_cast<std::int32_t>(Hash(key) ^ 0x80000000u);
    const auto b = static_cast<std::int32_t>(Hash(key + 1u) ^ 0x80000000u);
    return (static_cast<double>(a) - static_cast<double>(b)) * (1.0 / 4294967296.0);
}

template <int kChannels>
void TpdfRun(const HqQuantizeRun& run, double* __restrict dither) {
    const float* __restrict x = run.in;
    for (int i = 0; i < run.count; ++i) {
        const double d = Tpdf<kChannels>(run, static_cast<std::uint32_t>(i));
        dither[i] = x[i] != 0.0f ? d : 0.0;
    }
}

void TpdfValues(const HqQuantizeRun& run, double* dither) {
    if (run.channels == 2) {
        TpdfRun<2>(run, dither);
    } else {
        TpdfRun<1>(run, dither);
    }
}

// Adding 1.5 x 2^52 to a double of smaller magnitude leaves no bits for a fraction, so the sum
// is rounded to an integer (ties to even); subtracting it again gives that integer exactly.
constexpr double kRounding = 6755399441055744.0;

template <int kChannels, bool kDither>
void QuantizeRun(HqQuantizeRun& run, std::int32_t* __restrict out) {
    const float* __restrict x = run.in;
    const double scale = run.scale;
    const double top = run.full - 0.5, bottom = -run.full - 0.5;
    const double highest = run.full - 1.0, lowest = -run.full;
    int limited = 0;
    std::int32_t largest = 0;
    for (int i = 0; i < run.count; ++i) {
        // The magnitude's bits order as the magnitude does; NaN counts as 0.
        std::int32_t bits;
        std::memcpy(&bits, &x[i], sizeof bits);
        bits &= 0x7FFFFFFF;
        bits = bits > 0x7F800000 ? 0 : bits;
        largest = bits > largest ? bits : largest;
        double d = 0.0;
        if (kDither) {
            d = Tpdf<kChannels>(run, static_cast<std::uint32_t>(i));
            d = x[i] != 0.0f ? d : 0.0;
        }
        const double v = static_cast<double>(x[i]) * scale + d;
        const bool up = v >= top;
        const bool down = !(v >= bottom);  // NaN too
        double q = (v + kRounding) - kRounding;
        q = up ? highest : q;
        q = down ? lowest : q;
        limited += up || down ? 1 : 0;
        out[i] = static_cast<std::int32_t>(q);
    }
    run.limited = limited;
    std::memcpy(&run.peak, &largest, sizeof largest);
}

void Quantize(HqQuantizeRun& run, std::int32_t* out) {
    if (!run.dither) {
        QuantizeRun<1, false>(run, out);
    } else if (run.channels == 2) {
        QuantizeRun<2, true>(run, out);
    } else {
        QuantizeRun<1, true>(run, out);
    }
}

}  // namespace

// The loops for one sample type.
template <typename T>
constexpr HqKernelOps<T> Ops() {
    return {Forward<T>, Inverse<T>, SpreadMultiply<T>, FoldMultiply<T>, Poly<T>};
}

}  // namespace HQ_KERNEL_NAMESPACE
