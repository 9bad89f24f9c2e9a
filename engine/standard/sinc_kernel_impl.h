// The resampler's inner loops, written once with the compiler's generic vectors and compiled
// for each instruction set by a file that defines, before including this one:
//   SINC_KERNEL_NAMESPACE   a namespace of its own (nothing here may be shared between sets)
//   SINC_KERNEL_BYTES       the vector width in bytes (16, 32 or 64)
// Only C library functions and the compiler's intrinsics (always inlined) are called from here,
// never inline code of shared headers, so no instruction of a wider set can reach a machine that
// lacks it.
//
// Each sum runs in vector lanes and is folded to a scalar at the end, always in the same lane
// order, so a channel's value does not depend on the other channel: equal channels in stereo give
// exactly the mono result.
#include <cmath>
#include <cstdint>
#include <cstring>
#if SINC_KERNEL_BYTES == 64
#include <immintrin.h>
#endif

#include "engine/standard/sinc_state.h"

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
static_assert(kSincSpan <= kMirrorSpan && kFilterSpan + 2 * kLanes <= kMirrorSpan,
              "mirrors cover windows");

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

// Lane l of the result is the sum of v[l], folded as Fold2 folds one vector: kLanes sums at once.
inline Vector FoldAll(const Vector* v) {
#if SINC_KERNEL_BYTES == 64
    Vector four[4], two[2];
    for (int i = 0; i < 4; ++i) {
        four[i] = __builtin_shufflevector(v[2 * i], v[2 * i + 1], 0, 1, 2, 3, 8, 9, 10, 11) +
                  __builtin_shufflevector(v[2 * i], v[2 * i + 1], 4, 5, 6, 7, 12, 13, 14, 15);
    }
    for (int i = 0; i < 2; ++i) {
        two[i] = __builtin_shufflevector(four[2 * i], four[2 * i + 1], 0, 1, 4, 5, 8, 9, 12, 13) +
                 __builtin_shufflevector(four[2 * i], four[2 * i + 1], 2, 3, 6, 7, 10, 11, 14, 15);
    }
    return __builtin_shufflevector(two[0], two[1], 0, 2, 4, 6, 8, 10, 12, 14) +
           __builtin_shufflevector(two[0], two[1], 1, 3, 5, 7, 9, 11, 13, 15);
#elif SINC_KERNEL_BYTES == 32
    const Vector ab = __builtin_shufflevector(v[0], v[1], 0, 1, 4, 5) +
                      __builtin_shufflevector(v[0], v[1], 2, 3, 6, 7);
    const Vector cd = __builtin_shufflevector(v[2], v[3], 0, 1, 4, 5) +
                      __builtin_shufflevector(v[2], v[3], 2, 3, 6, 7);
    return __builtin_shufflevector(ab, cd, 0, 2, 4, 6) +
           __builtin_shufflevector(ab, cd, 1, 3, 5, 7);
#else
    return __builtin_shufflevector(v[0], v[1], 0, 2) + __builtin_shufflevector(v[0], v[1], 1, 3);
#endif
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

// The 50 weights of an output from the table row of the nearest phase, corrected by the offset
// from it: the weights, then the slopes, side by side in the row.
inline void TableWeights(const double* row, double offset, double* w) {
    const Vector d = offset + Vector{};
#pragma GCC unroll 16
    for (int i = 0; i < kSincVector; i += kLanes) {
        const Vector weight = Load(row + i) + d * Load(row + kSincSpan + i);
        std::memcpy(w + i, &weight, sizeof weight);
    }
    w[kSincVector] = row[kSincVector] + offset * row[kSincSpan + kSincVector];
    w[kSincVector + 1] = row[kSincVector + 1] + offset * row[kSincSpan + kSincVector + 1];
}

// An output's window of inputs, left and right: inputs 0 .. 47 as vectors, 48 and 49 apart.
struct Window {
    Vector part[2][kSincVector / kLanes];
    double newest[2][2];
};

template <int channels>
inline void LoadWindow(const double* left, const double* right, Window& window) {
    for (int c = 0; c < channels; ++c) {
        const double* inputs = c == 0 ? left : right;
#pragma GCC unroll 16
        for (int k = 0; k < kSincVector / kLanes; ++k)
            window.part[c][k] = Load(inputs + k * kLanes);
        window.newest[c][0] = inputs[kSincVector];
        window.newest[c][1] = inputs[kSincVector + 1];
    }
}

// The interpolation sums of an output: lanes over inputs 0 .. 47 of its window (as Products
// adds them), and the two newest inputs as scalars.
template <int channels>
inline Lanes Interpolation(const double* w, const Window& window, double* tails) {
    Vector l0 = {}, l1 = {}, r0 = {}, r1 = {};
#pragma GCC unroll 16
    for (int k = 0; k < kSincVector / kLanes; k += 2) {
        const Vector c0 = Load(w + k * kLanes), c1 = Load(w + (k + 1) * kLanes);
        l0 += c0 * window.part[0][k];
        l1 += c1 * window.part[0][k + 1];
        if (channels == 2) {
            r0 += c0 * window.part[1][k];
            r1 += c1 * window.part[1][k + 1];
        }
    }
    Lanes sums;
    sums.left = l0 + l1;
    if (channels == 2) sums.right = r0 + r1;
    const double w48 = w[kSincVector];
    const double w49 = w[kSincVector + 1];
    tails[0] = w48 * window.newest[0][0] + w49 * window.newest[0][1];
    if (channels == 2) tails[1] = w48 * window.newest[1][0] + w49 * window.newest[1][1];
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

// The filter at `runs` x kLanes neighbouring ring indices from `index` on, lane l of out[h] the
// value at index + h x kLanes + l: each lane adds its products in the order FilterLanes, Fold2
// and FilterTail add them for one index (partial sum r of lane l there is partial sum r of one
// value here), so the values are the same. Two runs share their taps and most of their window
// loads: the second's window is the first's moved by kLanes. The ring's values up to
// index + runs x kLanes - 2 must be in place.
template <int runs>
inline void FilterRun(const double* filter, double tap1, const double* ring, int index,
                      Vector* out) {
    // Each tap is broadcast from memory once for the runs: hoisted out of the loops as whole
    // vectors instead, the taps would be loaded as wide as the values.
    __asm__("" : "+r"(filter));
    const double* window = ring + ((index - kFilterSpan - 1) & kMask);
    // Partial sums r and kLanes + r at once: for two runs they read the same three windows.
    Vector sum[runs][kLanes];
#pragma GCC unroll 16
    for (int r = 0; r < kLanes; ++r) {
        Vector low[runs] = {}, high[runs] = {};
#pragma GCC unroll 16
        for (int i = 0; i < kFilterSpan; i += 2 * kLanes) {
            const double lowTap = filter[i + r], highTap = filter[i + r + kLanes];
#pragma GCC unroll 2
            for (int h = 0; h < runs; ++h) {
                low[h] += lowTap * Load(window + i + r + h * kLanes);
                high[h] += highTap * Load(window + i + r + (h + 1) * kLanes);
            }
        }
#pragma GCC unroll 2
        for (int h = 0; h < runs; ++h) sum[h][r] = low[h] + high[h];
    }
#pragma GCC unroll 2
    for (int h = 0; h < runs; ++h) {
#pragma GCC unroll 16
        for (int half = kLanes / 2; half >= 1; half /= 2) {
#pragma GCC unroll 16
            for (int l = 0; l < half; ++l) sum[h][l] = sum[h][l] + sum[h][l + half];
        }
        out[h] = sum[h][0] + tap1 * Load(window + kFilterSpan + h * kLanes);
    }
}

// value x 32767, truncated toward zero and saturated to 16 bits (clamping first gives the same).
inline std::int16_t ToSample(double value) {
    double scaled = value * 32767.0;
    scaled = scaled < -32768.0 ? -32768.0 : scaled;
    scaled = scaled > 32767.0 ? 32767.0 : scaled;
    return static_cast<std::int16_t>(scaled);
}

typedef std::int32_t Ints __attribute__((vector_size(SINC_KERNEL_BYTES / 2)));
typedef std::int16_t Samples __attribute__((vector_size(SINC_KERNEL_BYTES / 4)));

// ToSample on every lane.
inline Samples ToSamples(Vector value) {
    Vector scaled = value * 32767.0;
    scaled = scaled < -32768.0 ? -32768.0 : scaled;
    scaled = scaled > 32767.0 ? 32767.0 : scaled;
    return __builtin_convertvector(__builtin_convertvector(scaled, Ints), Samples);
}

// ---- The kernel ---------------------------------------------------------------------------

// Inputs are taken in blocks: first all inputs of a block go into the rings, then the outputs
// they trigger are made, in order. An output triggered by input i reads inputs up to i only, and
// a block is far shorter than the ring, so the outputs are those of taking one input at a time.
constexpr int kBlockInputs = 256;
static_assert(kBlockInputs + 2 * kResamplerHalfWidth < kResamplerRingSize, "blocks fit the ring");
// Upsampling keeps the interpolated outputs in the history ring and filters them at most this
// many at a time: the filter of an output reads the 65 before it, which must still be there.
constexpr int kFilterBatch = 256;
static_assert(kFilterBatch + kFilterSpan + 2 * kLanes < kResamplerRingSize, "batches fit the ring");

// Filters `count` ring values from ring index `index` on into another ring (pre-filter).
template <int channels>
inline void FilterInto(const double* filter, double tap1, double* const* from, double* const* to,
                       int index, int count) {
    for (int done = 0; done < count; done += kLanes) {
        const int i = (index + done) & kMask;
        for (int c = 0; c < channels; ++c) {
            Vector v;
            FilterRun<1>(filter, tap1, from[c], i, &v);
            for (int l = 0; l < kLanes && done + l < count; ++l) Put(to[c], (i + l) & kMask, v[l]);
        }
    }
}

// Filters `count` ring values from ring index `index` on and writes them as 16-bit samples
// (post-filter).
template <int channels>
inline void FilterOut(const double* filter, double tap1, double* const* from, int index, int count,
                      std::int16_t* dst) {
    for (int done = 0; done < count; done += 2 * kLanes) {
        const int i = (index + done) & kMask;
        Vector v[2][2];
        for (int c = 0; c < channels; ++c) FilterRun<2>(filter, tap1, from[c], i, v[c]);
        const int n = count - done < 2 * kLanes ? count - done : 2 * kLanes;
        Samples samples[2][2];
        for (int c = 0; c < channels; ++c) {
            samples[c][0] = ToSamples(v[c][0]);
            samples[c][1] = ToSamples(v[c][1]);
        }
        if (channels == 1 && n == 2 * kLanes) {
            std::memcpy(dst + done, samples[0], sizeof samples[0]);
            continue;
        }
        for (int l = 0; l < n; ++l) {
            for (int c = 0; c < channels; ++c) {
                dst[channels * (done + l) + c] = samples[c][l / kLanes][l % kLanes];
            }
        }
    }
}

// Outputs are interpolated in batches: first each output's window and weights are found, then
// the sums run for kLanes outputs at a time and are folded together.
constexpr int kSincBatch = 32;
static_assert(kSincBatch % kLanes == 0, "batches of whole vectors");
static_assert(kFilterBatch + kSincBatch + kFilterSpan + 2 * kLanes < kResamplerRingSize,
              "the outputs waiting for the filter fit the ring");

// The outputs of a batch: where each window starts in the rings, where its weights are; weights
// made for the batch itself, and the phases of kept weights to update once the batch is done.
struct SincBatch {
    int count = 0;
    int base[kSincBatch];
    const double* weights[kSincBatch];
    int misses = 0;
    int missPhase[kSincBatch];
    double missOffset[kSincBatch];
    alignas(64) double made[kSincBatch][kSincSpan];
};

// The interpolated values of the batch's outputs: into the history ring from index `index` on
// (upsampling), or as 16-bit samples into dst (otherwise).
// Upsampling (`up`: into the ring y) gives several successive outputs per window: it is loaded
// once for them. Otherwise every output has a window of its own, loaded by its lane. The window
// is loaded before any lane reads it; the compiler cannot follow that through the lanes that take
// their input as it is.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
template <int channels, bool up>
inline void Interpolate(SincBatch& batch, double* const* x, double* const* y, int index,
                        std::int16_t* dst) {
    Window window;
    int loaded = -1;  // the ring index the window starts at
    for (int g = 0; g < batch.count; g += kLanes) {
        Vector lanes[2][kLanes];
        alignas(64) double tails[2][kLanes];
        const int n = batch.count - g < kLanes ? batch.count - g : kLanes;
#pragma GCC unroll 8
        for (int l = 0; l < kLanes; ++l) {
            // Lanes past the batch's end repeat its last output and are not stored.
            const int i = g + l < batch.count ? g + l : batch.count - 1;
            if (batch.weights[i] == nullptr) {
                // On an input: its weight is 1 and the others are 0, so the sum is that input.
                for (int c = 0; c < channels; ++c) {
                    lanes[c][l] = Vector{};
                    lanes[c][l][0] = x[c][batch.base[i] + kResamplerHalfWidth];
                    tails[c][l] = 0.0;
                }
            } else {
                double tail[2] = {0.0, 0.0};
                if (!up || batch.base[i] != loaded) {
                    loaded = batch.base[i];
                    LoadWindow<channels>(x[0] + loaded, x[1] + loaded, window);
                }
                const Lanes sums = Interpolation<channels>(batch.weights[i], window, tail);
                lanes[0][l] = sums.left;
                lanes[1][l] = sums.right;
                for (int c = 0; c < channels; ++c) tails[c][l] = tail[c];
            }
        }
        Vector out[2];
        for (int c = 0; c < channels; ++c) out[c] = FoldAll(lanes[c]) + Load(tails[c]);
        for (int l = 0; l < n; ++l) {
            for (int c = 0; c < channels; ++c) {
                if (up) {
                    Put(y[c], (index + g + l) & kMask, out[c][l]);
                } else {
                    dst[channels * (g + l) + c] = ToSample(out[c][l]);
                }
            }
        }
    }
}
#pragma GCC diagnostic pop

// Where an output's weights come from: the ratio's tables and the phases' kept weights.
struct WeightSource {
    int phases;
    const double* weights;
    const double* phaseStart;
    const std::int32_t* phaseRow;
    double* cachedOffsets;  // null: no weights are kept
    const double* cachedWeights;
};

// Adds the output at fraction f past its window's centre to the batch: its weights are null
// (f is 0: the output is the input at the centre), kept ones, or made for the batch.
inline void AddOutput(const WeightSource& source, SincBatch& batch, int base, double f) {
    const int slot = batch.count++;
    batch.base[slot] = base;
    double* made = batch.made[batch.misses];
    if (f == 0.0) {
        // The instant falls on an input (every q-th output at a ratio p / q when n x ratio is
        // exact there): the weights would be 1 at the centre and +-0 elsewhere, so the output
        // is that input, as Interpolate takes it.
        made = nullptr;
    } else if (source.phases > 0) {
        const int k = static_cast<int>(f * source.phases + 0.5);
        const int r = source.phaseRow[k];
        const double* row = source.weights + static_cast<std::ptrdiff_t>(r) * 2 * kSincSpan;
        const double offset = f - source.phaseStart[k];
        if (source.cachedOffsets == nullptr) {
            made = batch.made[slot];
            TableWeights(row, offset, made);
        } else if (std::memcmp(&source.cachedOffsets[k], &offset, sizeof offset) == 0) {
            made = const_cast<double*>(source.cachedWeights) +
                   static_cast<std::ptrdiff_t>(k) * kSincSpan;
        } else {
            // Kept for the phase once the batch, which may read its old weights, is done.
            TableWeights(row, offset, made);
            batch.missPhase[batch.misses] = k;
            batch.missOffset[batch.misses++] = offset;
        }
    } else {
        made = batch.made[slot];
        Weights(f, made);
    }
    batch.weights[slot] = made;
}

// The position of the next output and the input that makes it.
struct Clock {
    double position;  // input time of the next output, modulo the ring size
    std::int64_t outCount;
    std::int64_t cursor;  // no output is due before this input
};

// Advances the clock to the input that makes its next output: false if that is past `last`.
inline bool NextDue(Clock& clock, std::int64_t last) {
    const int due = static_cast<int>(clock.position);
    clock.cursor += (due - ((clock.cursor - kResamplerHalfWidth) & kMask)) & kMask;
    return clock.cursor <= last;
}

inline void Advance(Clock& clock, double ratio) {
    clock.position = clock.position + ratio;
    if (clock.position >= static_cast<double>(kResamplerRingSize)) {
        clock.position = clock.position - static_cast<double>(kResamplerRingSize);
    }
}

// Outputs a vector at a time, with AVX-512 only: it converts between doubles and 64-bit integers
// in one instruction and looks eight lanes up at once quickly. With narrower vectors the lanes
// cost as much as they save, or more (SSE2), and the outputs are taken one at a time.
#if SINC_KERNEL_BYTES == 64
typedef std::int64_t Longs __attribute__((vector_size(64)));

// Whether any lane of a comparison's result is true.
inline bool AnyLane(Longs mask) {
    return _mm512_test_epi64_mask((__m512i)mask, (__m512i)mask) != 0;
}

// Lane l of the result: table[index[l]] (the masked gather, with every lane on, starts from
// zeros rather than from an undefined vector).
inline Vector LookUp(const double* table, Ints index) {
    return (Vector)_mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xFF, (__m256i)index, table, 8);
}

// The next eight outputs at once, one per lane, with the values the steps of Gather below give
// them one at a time: true when each of them is due by input `last` and takes its weights from
// the kept ones or lies on an input (otherwise nothing is changed and Gather takes them singly).
inline bool GatherLanes(const WeightSource& source, double ratio, SincBatch& batch, Clock& c,
                        std::int64_t last) {
    const Longs lane = {0, 1, 2, 3, 4, 5, 6, 7};
    // The clock's position is a running sum: within one binade of the ring it grows by the same
    // step each time. That guess is checked by taking each lane's step as Advance does; a lane
    // that differs (a power of two or the ring's end crossed) sends the outputs the slow way.
    const double p0 = c.position;
    const Vector position = p0 + __builtin_convertvector(lane, Vector) * ((p0 + ratio) - p0);
    Vector next = position + ratio;
    next = next >= static_cast<double>(kResamplerRingSize)
               ? next - static_cast<double>(kResamplerRingSize)
               : next;
    // Lane l's step must give lane l + 1's position.
    if (AnyLane(next != __builtin_shufflevector(position, next, 1, 2, 3, 4, 5, 6, 7, 15))) {
        return false;
    }

    // Each output is due at the first input from the cursor on whose ring index is its due
    // index + 25. The positions rise without wrapping, so after the first output the cursor
    // moves on by the rise of the due index.
    const int firstDue = static_cast<int>(p0);
    const int lastDue = static_cast<int>(position[kLanes - 1]);
    const std::int64_t cursor = c.cursor +
                                ((firstDue - ((c.cursor - kResamplerHalfWidth) & kMask)) & kMask) +
                                (lastDue - firstDue);
    if (cursor > last) return false;

    // Output n stands at t = n x ratio; its phase and offset from the phase.
    const Vector t = __builtin_convertvector(c.outCount + lane, Vector) * ratio;
    const Longs centre = __builtin_convertvector(t, Longs);
    const Vector f = t - __builtin_convertvector(centre, Vector);
    const Ints k = __builtin_convertvector(f * static_cast<double>(source.phases) + 0.5, Ints);
    // On an input (f is 0) no weights are needed; the others' offsets must be the kept ones,
    // bit for bit.
    const Longs onInput = f == 0.0;
    // Phase k starts at k / phases, as its table entry was made.
    const Vector offset =
        f - __builtin_convertvector(k, Vector) / static_cast<double>(source.phases);
    const Vector kept = LookUp(source.cachedOffsets, k);
    if (AnyLane(~onInput & ((Longs)offset != (Longs)kept))) return false;

    const Longs weights = onInput ? Longs{}
                                  : reinterpret_cast<std::int64_t>(source.cachedWeights) +
                                        __builtin_convertvector(k, Longs) *
                                            static_cast<std::int64_t>(kSincSpan * sizeof(double));
    const Ints base = __builtin_convertvector((centre - kResamplerHalfWidth) & kMask, Ints);
    static_assert(sizeof(const double*) == sizeof(std::int64_t), "addresses fit the lanes");
    std::memcpy(&batch.weights[batch.count], &weights, sizeof weights);
    std::memcpy(&batch.base[batch.count], &base, sizeof base);
    batch.count += kLanes;
    c.position = next[kLanes - 1];
    c.outCount += kLanes;
    c.cursor = cursor;
    return true;
}
#endif

// Fills the batch with the outputs due up to input `last`, when every one of them is kept (the
// capacity has room for a whole batch): the main loop's steps without its other cases, in a
// function of its own so that its few values stay in registers. Returns the clock after them.
// With AVX-512 and kept weights, outputs are taken eight at a time where they can be; a group
// that cannot is taken singly.
__attribute__((noinline)) Clock Gather(const WeightSource& source, double ratio, SincBatch& batch,
                                       Clock c, std::int64_t last) {
#if SINC_KERNEL_BYTES == 64
    const bool lanes = source.phases > 0 && source.cachedOffsets != nullptr;
    int single = 0;  // outputs still to take one at a time
#endif
    while (batch.count < kSincBatch) {
#if SINC_KERNEL_BYTES == 64
        if (lanes && single == 0 && batch.count + kLanes <= kSincBatch) {
            if (GatherLanes(source, ratio, batch, c, last)) continue;
            single = kLanes;
        }
        if (single > 0) --single;
#endif
        if (!NextDue(c, last)) break;
        const double t = static_cast<double>(c.outCount) * ratio;
        const std::int64_t centre = static_cast<std::int64_t>(t);
        AddOutput(source, batch, static_cast<int>((centre - kResamplerHalfWidth) & kMask),
                  t - static_cast<double>(centre));
        ++c.outCount;
        Advance(c, ratio);
    }
    return c;
}

// Where the outputs have got to: the values written to dst so far, and the ring index of the
// next output frame (outputs and history ring advance together, also for an output that does
// not fit, which upsampling still interpolates).
struct OutputCursor {
    int written;
    int index;
};

// The pre-filter's stage: a block of 16-bit inputs into the rings. Only the pre-filter reads
// the raw inputs, and only the post-filter the output history: the rings a rate change does not
// use are left alone. Downsampling stores the raw inputs in `a` and filters them into `x`
// (unless every output falls on an input, which is then filtered alone); otherwise the inputs
// go to `x` as they are.
template <int channels>
inline void TakeBlock(const double* filter, double tap1, double* const* a, double* const* x,
                      bool down, bool onInputs, const std::int16_t* src, std::int64_t first,
                      int count) {
    double* const* const raw = down ? a : x;
    for (int n = 0; n < count; ++n) {
        const int wi = static_cast<int>((first + n) & kMask);
        for (int c = 0; c < channels; ++c) Put(raw[c], wi, src[channels * n + c] * kInputScale);
    }
    if (down && !onInputs) {
        FilterInto<channels>(filter, tap1, a, x, static_cast<int>(first & kMask), count);
    }
}

// The output at an input when the ratio is a whole number: that input, after the pre-filter
// when the frequency goes down.
template <int channels>
inline void OutputOnInput(const double* filter, double tap1, double* const* a, double* const* x,
                          bool down, int ci, std::int16_t* dst) {
    double out[2];
    if (down) {
        const Lanes lanes = FilterLanes<channels>(filter, a[0], a[1], ci);
        const Pair sums = Fold2(lanes.left, lanes.right);
        for (int c = 0; c < channels; ++c) out[c] = sums[c] + FilterTail(tap1, a[c], ci);
    } else {
        for (int c = 0; c < channels; ++c) out[c] = x[c][ci];
    }
    for (int c = 0; c < channels; ++c) dst[c] = ToSample(out[c]);
}

// The post-filter's queue (upsampling): outputs interpolated into the history ring y and not
// filtered yet, from ring index `index` on; the first `kept` of them fit and are written from
// dst + at, the rest only feed the filter of the later ones. Filtered once a batch's worth has
// gathered, and at the end of the call.
template <int channels>
struct PostFilterQueue {
    const double* filter;
    double tap1;
    double* const* y;
    int index;
    int at = 0;
    int pending = 0;
    int kept = 0;

    void Add(int interpolated, int fitting) {
        pending += interpolated;
        kept += fitting;
    }
    // Filters what is queued into dst and starts the queue again at `next`.
    void Flush(std::int16_t* dst, OutputCursor next) {
        FilterOut<channels>(filter, tap1, y, index, kept, dst + at);
        index = next.index;
        at = next.written;
        pending = kept = 0;
    }
    void FlushIfFull(std::int16_t* dst, OutputCursor next) {
        if (pending >= kFilterBatch) Flush(dst, next);
    }
};

// The interpolation's batch: outputs gathered with their windows and weights, then interpolated
// together into the history ring from ring index `index` on (upsampling) or as 16-bit samples
// into dst + at (otherwise). The weights made for phases whose kept ones were out of date are
// kept once the batch, which may still read the old ones, is done.
template <int channels>
struct InterpolationStage {
    SincBatch batch;
    int index;
    int at = 0;

    bool Full() const { return batch.count == kSincBatch; }
    // Interpolates the gathered outputs and starts the next batch at `next`.
    void Flush(double* const* x, double* const* y, bool up, double* cachedWeights,
               double* cachedOffsets, std::int16_t* dst, OutputCursor next) {
        if (up) {
            Interpolate<channels, true>(batch, x, y, index, dst + at);
        } else {
            Interpolate<channels, false>(batch, x, y, index, dst + at);
        }
        for (int m = 0; m < batch.misses; ++m) {
            const int k = batch.missPhase[m];
            std::memcpy(cachedWeights + static_cast<std::ptrdiff_t>(k) * kSincSpan, batch.made[m],
                        sizeof batch.made[m]);
            cachedOffsets[k] = batch.missOffset[m];
        }
        batch.count = batch.misses = 0;
        index = next.index;
        at = next.written;
    }
};

// Mono (channels 1) or interleaved stereo (channels 2). Each block of inputs goes through the
// pre-filter into the rings, then the outputs it makes are gathered into the interpolation's
// batch, and (upsampling) the interpolated outputs wait in the post-filter's queue. The state's
// fields are kept in locals while the call runs: the rings are written through pointers, and
// fields of the state itself would have to be read back after every such store.
template <int channels>
int Resample(ResamplerState& state, const std::int16_t* src, int count, std::int16_t* dst,
             int capacity) {
    if (count <= 0) return 0;
    const double ratio = state.ratio;
    Clock clock{state.position, state.outCount, 0};
    OutputCursor out{0, state.outIndex};
    const WeightSource source{state.phases,
                              state.weights,
                              state.phaseStart,
                              state.phaseRow,
                              state.cachedRows > 0 ? state.cachedOffsets : nullptr,
                              state.cachedWeights};
    double* const cachedOffsets = source.cachedOffsets;
    double* const cachedWeights = state.cachedWeights;
    const double* const filter = state.filter;
    const double tap1 = state.coefficients[1];
    double* const a[2] = {state.a, state.ar};
    double* const x[2] = {state.x, state.xr};
    double* const y[2] = {state.y, state.yr};
    const bool down = ratio > 1.0;
    const bool up = ratio < 1.0;
    // A whole ratio puts every output instant n x ratio exactly on input n x ratio (the product
    // of two whole numbers below 2^53): the interpolation gives that input.
    const bool onInputs =
        ratio >= 1.0 && static_cast<double>(static_cast<std::int64_t>(ratio)) == ratio;
    const int frames = count / channels;
    InterpolationStage<channels> stage;  // not value-initialised: its weights are made as needed
    stage.index = out.index;
    PostFilterQueue<channels> queue{filter, tap1, y, out.index};
    // A batch is interpolated, and then the queue it fed is filtered if it is long enough.
    auto flush = [&]() {
        if (stage.batch.count == 0) return;
        stage.Flush(x, y, up, cachedWeights, cachedOffsets, dst, out);
        if (up) queue.FlushIfFull(dst, out);
    };

    // Inputs are counted from the reset; input i sits at ring index i & 1023.
    const std::int64_t first = state.inCount;
    for (int blockStart = 0; blockStart < frames; blockStart += kBlockInputs) {
        const int blockFrames =
            frames - blockStart < kBlockInputs ? frames - blockStart : kBlockInputs;
        TakeBlock<channels>(filter, tap1, a, x, down, onInputs, src + channels * blockStart,
                            first + blockStart, blockFrames);

        // An output is made when the input with ring index trunc(position) + 25 arrives: the
        // first such input from `cursor` on. Output n stands at t = n x ratio; its window is
        // the 50 inputs around trunc(t).
        clock.cursor = first + blockStart;
        const std::int64_t last = clock.cursor + blockFrames - 1;
        while (true) {
            if (!onInputs &&
                out.written + (kSincBatch - stage.batch.count) * channels <= capacity) {
                // Every output up to the batch's end fits: gathered by the plain loop.
                const int before = stage.batch.count;
                clock = Gather(source, ratio, stage.batch, clock, last);
                const int added = stage.batch.count - before;
                out.written += added * channels;
                out.index = (out.index + added) & kMask;
                if (up) queue.Add(added, added);
                if (!stage.Full()) break;  // the block's inputs make no more
                flush();
                continue;
            }
            if (!NextDue(clock, last)) break;

            const double t = static_cast<double>(clock.outCount) * ratio;
            const std::int64_t centre = static_cast<std::int64_t>(t);
            const bool room = out.written <= capacity - channels;
            if (onInputs) {
                if (room) {
                    OutputOnInput<channels>(filter, tap1, a, x, down,
                                            static_cast<int>(centre & kMask), dst + out.written);
                    out.written += channels;
                    ++clock.outCount;
                }
            } else if (up || room) {
                // Upsampling interpolates an output that does not fit too: the filter of the
                // next ones reads it.
                AddOutput(source, stage.batch,
                          static_cast<int>((centre - kResamplerHalfWidth) & kMask),
                          t - static_cast<double>(centre));
                if (up) queue.Add(1, room ? 1 : 0);
                if (room) {
                    out.written += channels;
                    ++clock.outCount;
                }
            }
            Advance(clock, ratio);
            out.index = (out.index + 1) & kMask;
            if (stage.Full()) flush();
        }
        flush();
    }
    if (queue.pending > 0) queue.Flush(dst, out);
    state.position = clock.position;
    state.outCount = clock.outCount;
    state.outIndex = out.index;
    state.inCount = first + frames;
    state.writeIndex = static_cast<int>(state.inCount & kMask);
    return out.written;
}

int Mono(ResamplerState& s, const std::int16_t* src, int count, std::int16_t* dst, int capacity) {
    return Resample<1>(s, src, count, dst, capacity);
}

int Stereo(ResamplerState& s, const std::int16_t* src, int count, std::int16_t* dst, int capacity) {
    return Resample<2>(s, src, count, dst, capacity);
}

}  // namespace
}  // namespace SINC_KERNEL_NAMESPACE
