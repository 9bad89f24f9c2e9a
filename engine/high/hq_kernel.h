// The high-quality resampler's inner loops, compiled once per instruction set (hq_kernel_*.cpp
// include hq_kernel_impl.h with their own compiler flags). Every value is computed by the same
// operations in the same order on every set: the FFT's butterflies and the spectrum products
// are element-wise, and each polyphase sum runs in eight lanes folded in a fixed order; no fused
// multiply-adds. So the output bytes do not depend on the processor.
#pragma once

#include <cstdint>

#include "engine/common/simd_choice.h"

// Complex FFTs on split real and imaginary arrays of a power-of-two size, in passes of two radix-2
// stages (and a last radix-2 stage when the size is an odd power of two). `twiddles` is the
// table HqFftTwiddles builds for the size.
//   forward: decimation in frequency, natural order in, bit-reversed order out.
//   inverse: the inverse transform without the 1/size factor, bit-reversed order in, natural
//            order out.
// A filter runs on the spectrum in bit-reversed order: no reordering pass is needed.

// One run of a polyphase stage: outputs stand `step` / `phases` input samples apart; output n
// takes `taps` inputs from in[c][index] on with the weights of its phase (0 <= phase < phases).
template <typename T>
struct HqPolyRunOf {
    const T* in[2];
    T* out[2];
    int channels;
    int taps;  // a multiple of 8 in single precision, of 4 in double precision
    int count;
    std::int64_t index;
    std::int64_t phase;
    std::int64_t step;
    std::int64_t phases;
    // Exact phases: row `phase` of `weights`. Otherwise the table holds `rows` + 1 rows at
    // offsets k / rows and `slopes` their differences, and the weights are interpolated
    // linearly between the two rows around phase / phases.
    const T* weights;
    const T* slopes;  // null for exact phases
    std::int64_t rows;
};

// The loops on one sample type.
template <typename T>
struct HqKernelOps {
    void (*forward)(T* re, T* im, int size, const T* twiddles);
    void (*inverse)(T* re, T* im, int size, const T* twiddles);
    // y[2i] = x[i] h[2i], y[2i + 1] = x[i] h[2i + 1] for i < half (h as its even and odd
    // entries): the spectrum of x with a zero after each sample, filtered.
    void (*spreadMultiply)(const T* xr, const T* xi, const T* evenR, const T* evenI, const T* oddR,
                           const T* oddI, T* yr, T* yi, int half);
    // z[i] = y[2i] h[2i] + y[2i + 1] h[2i + 1] for i < half: the filtered spectrum of every
    // other sample.
    void (*foldMultiply)(const T* yr, const T* yi, const T* evenR, const T* evenI, const T* oddR,
                         const T* oddI, T* zr, T* zi, int half);
    // Runs `count` outputs; returns the index and phase after them in run.index and run.phase.
    void (*poly)(HqPolyRunOf<T>& run);
};

// A stretch of output values (floats, full scale 1.0) turned into integer steps, with or
// without TPDF dither. The dither of a value is a function of its place alone: value i of a
// stream of `channels` interleaved channels, frame f = i / channels of channel c, gets the
// difference of two uniform 32-bit hashes, of 2f + salts[c] and of 2f + 1 + salts[c] (modulo
// 2^32), over 2^32, triangular on (-1, 1). So any piece of a stream is made on its own and in
// vectors, with the same values on every instruction set. A value that is exactly 0 gets none.
struct HqQuantizeRun {
    const float* in;
    int count;
    int channels;         // 1 or 2
    std::uint32_t index;  // the first value's place in the stream, modulo 2^32
    std::uint32_t salts[2];
    bool dither;
    double scale;  // steps per full scale (gain included)
    double full;   // 32768 or 8388608: steps from -full to full - 1, the rest limited
    // Results: how many values were limited to the range, and the largest magnitude among the
    // floats (NaN passed over).
    int limited;
    float peak;
};

// The loops in single precision (16-bit outputs) and in double precision (finer outputs), the
// same operations in the same order; and the output values' quantizer.
struct HqKernel {
    const char* name;
    InstructionSet instructionSet;
    HqKernelOps<float> single;
    HqKernelOps<double> precise;
    // Rounds run.count values to the nearest step (ties to even) after their dither, into out.
    void (*quantize)(HqQuantizeRun& run, std::int32_t* out);
    // Only the dither of run.count values (0 where a value is 0), for noise shaping.
    void (*tpdf)(const HqQuantizeRun& run, double* dither);
    template <typename T>
    const HqKernelOps<T>& Ops() const;
};

template <>
inline const HqKernelOps<float>& HqKernel::Ops<float>() const {
    return single;
}
template <>
inline const HqKernelOps<double>& HqKernel::Ops<double>() const {
    return precise;
}

extern const HqKernel kHqKernelSse2;
extern const HqKernel kHqKernelAvx2;
extern const HqKernel kHqKernelAvx512;

// The widest kernel this processor supports.
const HqKernel& HqBestKernel();
