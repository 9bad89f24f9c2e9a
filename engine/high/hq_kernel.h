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

// The loops in single precision (16-bit outputs) and in double precision (finer outputs), the
// same operations in the same order.
struct HqKernel {
    const char* name;
    InstructionSet instructionSet;
    HqKernelOps<float> single;
    HqKernelOps<double> precise;
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
