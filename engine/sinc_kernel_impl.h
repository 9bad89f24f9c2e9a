// The resampler's inner loops, written once with the compiler's generic vectors and compiled
// for each instruction set by a file that defines, before including this one:
//   SINC_KERNEL_NAMESPACE   a namespace of its own (nothing here may be shared between sets)
//   SINC_KERNEL_BYTES       the vector width in bytes (16, 32 or 64)
// Only C library functions are called from here, never inline code of shared headers, so no
// instruction of a wider set can reach a machine that lacks it.
//
// Each sum runs in vector lanes and is folded to a scalar at the end, always in the same lane
// order, so a channel's value does not depend on the other channel: equal channels in stereo give
// exactly the mono result.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/resampler.h"

namespace SINC_KERNEL_NAMESPACE {
namespace {

constexpr int kLanes = SINC_KERNEL_BYTES / 8;
typedef double Vector __attribute__((vector_size(SINC_KERNEL_BYTES)));
typedef double Pair __attribute__((vector_size(16)));
#if SINC_KERNEL_BYTES >= 32
typedef double Quad __attribute__((vector_size(32)));
#endif

constexpr int kMask = kResamplerRingSize - 1;
constexpr double kInputScale = 0.000030517578125;  // 1 / 32768
constexpr double kPi = 3.141592653589793;

// The sums run as vectors over the older values of each window and as scalars over the newest:
// those were stored one value at a time a moment ago, and a vector load across a value still on
// its way to the cache would wait for that store (and so for the previous output).
constexpr int kSincTaps = 2 * kResamplerHalfWidth;
constexpr int kSincVector = 48;  // of 50
static_assert(kSincVector % (2 * kLanes) == 0 && kFilterSpan % (2 * kLanes) == 0,
              "the vector parts are whole pairs of vectors");

// Rings are written at index i and, where a window running past the end of the ring reads it,
// at its mirror i + 1024 (windows are at most kMirrorSpan long).
constexpr int kMirrorSpan = 128;
static_assert(kSincSpan <= kMirrorSpan && kFilterSpan + 1 <= kMirrorSpan, "mirrors cover windows");

inline Vector Load(const double* p) {
    Vector v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void Put(double* ring, int i, double value) {
    ring[i] = value;
    if (i < kMirrorSpan) ring[i + kResamplerRingSize] = value;
}

// ---- Folding lanes -----------------------------------------------------------------------
// Every fold adds lane i and lane i + half, down to one lane: the same order for one, two or four
// vectors at a time.

inline Pair Fold2(Vector a, Vector b) {  // {sum of a, sum of b}
#if SINC_KERNEL_BYTES == 64
    const Vector four = __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11) +
                        __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15);
    const Quad two = __builtin_shufflevector(four, four, 0, 1, 4, 5) +
                     __builtin_shufflevector(four, four, 2, 3, 6, 7);
    return __builtin_shufflevector(two, two, 0, 2) + __builtin_shufflevector(two, two, 1, 3);
#elif SINC_KERNEL_BYTES == 32
    const Vector two =
        __builtin_shufflevector(a, b, 0, 1, 4, 5) + __builtin_shufflevector(a, b, 2, 3, 6, 7);
    return __builtin_shufflevector(two, two, 0, 2) + __builtin_shufflevector(two, two, 1, 3);
#else
    return __builtin_shufflevector(a, b, 0, 2) + __builtin_shufflevector(a, b, 1, 3);
#endif
}

struct Four {  // the sums of four vectors
    double sum[4];
};

inline Four Fold4(Vector a, Vector b, Vector c, Vector d) {
#if SINC_KERNEL_BYTES == 64
    const Vector ab = __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11) +
                      __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15);
    const Vector cd = __builtin_shufflevector(c, d, 0, 1, 2, 3, 8, 9, 10, 11) +
                      __builtin_shufflevector(c, d, 4, 5, 6, 7, 12, 13, 14, 15);
    const Vector two = __builtin_shufflevector(ab, cd, 0, 1, 4, 5, 8, 9, 12, 13) +
                       __builtin_shufflevector(ab, cd, 2, 3, 6, 7, 10, 11, 14, 15);
    const Quad one = __builtin_shufflevector(two, two, 0, 2, 4, 6) +
                     __builtin_shufflevector(two, two, 1, 3, 5, 7);
    return Four{{one[0], one[1], one[2], one[3]}};
#else
    const Pair ab = Fold2(a, b), cd = Fold2(c, d);
    return Four{{ab[0], ab[1], cd[0], cd[1]}};
#endif
}

inline double Fold1(Vector a) {
    return Fold2(a, a)[0];
}

// ---- Window sums --------------------------------------------------------------------------

// Lane sums of a window: left channel, right channel (stereo only).
struct Lanes {
    Vector left = {};
    Vector right = {};
};

// Products of `n` values (whole pairs of vectors) with the coefficients c, into lanes.
template <int channels, int n>
inline Lanes Products(const double* c, const double* left, const double* right) {
    Vector l0 = {}, l1 = {}, r0 = {}, r1 = {};
#pragma GCC unroll 16
    for (int i = 0; i < n; i += 2 * kLanes) {
        const Vector c0 = Load(c + i), c1 = Load(c + i + kLanes);
        l0 += c0 * Load(left + i);
        l1 += c1 * Load(left + i + kLanes);
        if (channels == 2) {
            r0 += c0 * Load(right + i);
            r1 += c1 * Load(right + i + kLanes);
        }
    }
    Lanes sums;
    sums.left = l0 + l1;
    if (channels == 2) sums.right = r0 + r1;
    return sums;
}

// The interpolation sums of an output: lanes over inputs 0 .. 47 of its window, and the two
// newest inputs as scalars. The weights come from the table row of the nearest phase corrected
// by the offset from it (weights and slopes side by side in the row), or from `w`.
template <int channels>
inline Lanes Interpolation(const double* row, double offset, const double* w, const double* left,
                           const double* right, double* tails) {
    Lanes sums;
    double w48, w49;
    if (row != nullptr) {
        const Vector d = offset + Vector{};
        Vector l0 = {}, l1 = {}, r0 = {}, r1 = {};
#pragma GCC unroll 16
        for (int i = 0; i < kSincVector; i += 2 * kLanes) {
            const Vector w0 = Load(row + i) + d * Load(row + kSincSpan + i);
            const Vector w1 = Load(row + i + kLanes) + d * Load(row + kSincSpan + i + kLanes);
            l0 += w0 * Load(left + i);
            l1 += w1 * Load(left + i + kLanes);
            if (channels == 2) {
                r0 += w0 * Load(right + i);
                r1 += w1 * Load(right + i + kLanes);
            }
        }
        sums.left = l0 + l1;
        if (channels == 2) sums.right = r0 + r1;
        w48 = row[kSincVector] + offset * row[kSincSpan + kSincVector];
        w49 = row[kSincVector + 1] + offset * row[kSincSpan + kSincVector + 1];
    } else {
        sums = Products<channels, kSincVector>(w, left, right);
        w48 = w[kSincVector];
        w49 = w[kSincVector + 1];
    }
    tails[0] = w48 * left[kSincVector] + w49 * left[kSincVector + 1];
    if (channels == 2) tails[1] = w48 * right[kSincVector] + w49 * right[kSincVector + 1];
    return sums;
}

// The 50 weights of an output at fraction f of an input step past its window's centre, for
// rates without tables. One sine for all: sin((f + j) pi) = (-1)^j sin(f pi).
inline void Weights(double f, double* w) {
    const double sine = std::sin(f * kPi);
    for (int m = 0; m < kSincTaps; ++m) {
        const int j = kResamplerHalfWidth - m;
        const double u = (f + j) * kPi;
        w[m] = u == 0.0 ? 1.0 : ((j & 1) != 0 ? -sine : sine) / u;
    }
}

// The filter over the 65 ring values ending at index: taps 0 and 64 are 0 (the window's ends);
// taps 65 .. 2 (with a zero) run as lanes over index - 65 .. index - 2, and tap 1 on its own:
// the value at index - 1 was stored one at a time a moment ago.
template <int channels>
inline Lanes FilterLanes(const double* filter, const double* left, const double* right, int index) {
    const int start = (index - kFilterSpan - 1) & kMask;
    return Products<channels, kFilterSpan>(filter, left + start, right + start);
}

inline double FilterTail(double tap1, const double* ring, int index) {
    return tap1 * ring[(index - 1) & kMask];
}

// value x 32767, truncated toward zero and saturated to 16 bits (clamping first gives the same).
inline std::int16_t ToSample(double value) {
    double scaled = value * 32767.0;
    scaled = scaled < -32768.0 ? -32768.0 : scaled;
    scaled = scaled > 32767.0 ? 32767.0 : scaled;
    return static_cast<std::int16_t>(scaled);
}

// ---- The kernel ---------------------------------------------------------------------------

// Inputs are taken in blocks: first all inputs of a block go into the rings, then the outputs
// they trigger are made, in order. An output triggered by input i reads inputs up to i only, and
// a block is far shorter than the ring, so the outputs are those of taking one input at a time.
constexpr int kBlockInputs = 256;
static_assert(kBlockInputs + 2 * kResamplerHalfWidth < kResamplerRingSize, "blocks fit the ring");

// Mono (channels 1) or interleaved stereo (channels 2). The state's fields are kept in locals
// while the call runs: the rings are written through pointers, and fields of the state itself
// would have to be read back after every such store.
template <int channels>
int Resample(ResamplerState& state, const std::int16_t* src, int count, std::int16_t* dst,
             int capacity) {
    if (count <= 0) return 0;
    const double ratio = state.ratio;
    double position = state.position;
    std::int64_t outCount = state.outCount;
    int outIndex = state.outIndex;
    const int phases = state.phases;
    const double* const weights = state.weights;
    const double* const phaseStart = state.phaseStart;
    const std::int32_t* const phaseRow = state.phaseRow;
    const double* const filter = state.filter;
    const double tap1 = state.coefficients[1];
    double* const a[2] = {state.a, state.ar};
    double* const x[2] = {state.x, state.xr};
    double* const y[2] = {state.y, state.yr};
    alignas(64) double w[kSincSpan];
    const bool down = ratio > 1.0;
    const bool up = ratio < 1.0;
    const int frames = count / channels;
    int written = 0;

    // Inputs are counted from the reset; input i sits at ring index i & 1023.
    const std::int64_t first = state.inCount;
    for (int blockStart = 0; blockStart < frames; blockStart += kBlockInputs) {
        const int blockFrames =
            frames - blockStart < kBlockInputs ? frames - blockStart : kBlockInputs;
        for (int n = blockStart; n < blockStart + blockFrames; ++n) {
            const int wi = static_cast<int>((first + n) & kMask);
            double in[2] = {0.0, 0.0};
            for (int c = 0; c < channels; ++c) in[c] = src[channels * n + c] * kInputScale;
            if (down) {
                // Only the pre-filter reads the raw inputs, and only the post-filter the output
                // history: the rings a rate change does not use are left alone.
                for (int c = 0; c < channels; ++c) Put(a[c], wi, in[c]);
                const Lanes lanes = FilterLanes<channels>(filter, a[0], a[1], wi);
                const Pair sums = Fold2(lanes.left, lanes.right);
                for (int c = 0; c < channels; ++c) in[c] = sums[c] + FilterTail(tap1, a[c], wi);
            }
            for (int c = 0; c < channels; ++c) Put(x[c], wi, in[c]);
        }

        // An output is made when the input with ring index trunc(position) + 25 arrives: the
        // first such input from `cursor` on. Output n stands at t = n x ratio; its window is
        // the 50 inputs around trunc(t).
        std::int64_t cursor = first + blockStart;
        const std::int64_t last = cursor + blockFrames - 1;
        while (true) {
            const int due = static_cast<int>(position);
            cursor += (due - ((cursor - kResamplerHalfWidth) & kMask)) & kMask;
            if (cursor > last) break;

            const double t = static_cast<double>(outCount) * ratio;
            const std::int64_t centre = static_cast<std::int64_t>(t);
            const double f = t - static_cast<double>(centre);
            const int base = static_cast<int>((centre - kResamplerHalfWidth) & kMask);
            const double* row = nullptr;
            double offset = 0.0;
            if (phases > 0) {
                const int k = static_cast<int>(f * phases + 0.5);
                row = weights + static_cast<std::ptrdiff_t>(phaseRow[k]) * 2 * kSincSpan;
                offset = f - phaseStart[k];
            } else {
                Weights(f, w);
            }
            double tails[2] = {0.0, 0.0};
            const Lanes sinc =
                Interpolation<channels>(row, offset, w, x[0] + base, x[1] + base, tails);
            double out[2];
            if (up) {
                // The filter reads the output history before this output, so both sums are
                // folded together.
                const Lanes history = FilterLanes<channels>(filter, y[0], y[1], outIndex);
                const Four sums = Fold4(sinc.left, sinc.right, history.left, history.right);
                for (int c = 0; c < channels; ++c) {
                    Put(y[c], outIndex, sums.sum[c] + tails[c]);
                    out[c] = sums.sum[2 + c] + FilterTail(tap1, y[c], outIndex);
                }
            } else {
                const Pair sums = Fold2(sinc.left, sinc.right);
                for (int c = 0; c < channels; ++c) out[c] = sums[c] + tails[c];
            }
            if (written <= capacity - channels) {
                for (int c = 0; c < channels; ++c) dst[written++] = ToSample(out[c]);
                ++outCount;
            }
            position = position + ratio;
            if (position >= static_cast<double>(kResamplerRingSize)) {
                position = position - static_cast<double>(kResamplerRingSize);
            }
            outIndex = (outIndex + 1) & kMask;
        }
    }
    state.position = position;
    state.outCount = outCount;
    state.outIndex = outIndex;
    state.inCount = first + frames;
    state.writeIndex = static_cast<int>(state.inCount & kMask);
    return written;
}

int Mono(ResamplerState& s, const std::int16_t* src, int count, std::int16_t* dst, int capacity) {
    return Resample<1>(s, src, count, dst, capacity);
}

int Stereo(ResamplerState& s, const std::int16_t* src, int count, std::int16_t* dst, int capacity) {
    return Resample<2>(s, src, count, dst, capacity);
}

}  // namespace
}  // namespace SINC_KERNEL_NAMESPACE
