// The high-quality resampler: a linear-phase (or minimum-phase) low-pass at the lower of the two
// Nyquist frequencies, with the filter's delay compensated and the end of the source flushed, on
// float samples. Its stages compute in float, enough for 16-bit outputs, or in double for finer
// ones, where float's rounding in the FFTs and sums would show 135 dB below the signal.
#pragma once

#include <memory>

#include "engine/resampler.h"

struct HqKernel;

struct HqOptions {
    bool precise = false;  // the stages in double precision
    FilterPhase phase = FilterPhase::Linear;
};

// With the widest kernel this processor runs.
std::unique_ptr<FloatResampler> MakeHighQualityResampler(const HqOptions& options = {});
// With a given kernel (engine/high/hq_kernel.h).
std::unique_ptr<FloatResampler> MakeHighQualityResampler(const HqKernel& kernel,
                                                         const HqOptions& options = {});
