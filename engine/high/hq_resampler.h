// The high-quality resampler: a linear-phase low-pass at the lower of the two Nyquist
// frequencies, with the filter's delay compensated and the end of the source flushed, on float
// samples.
#pragma once

#include <memory>

#include "engine/resampler.h"

struct HqKernel;

// With the widest kernel this processor runs.
std::unique_ptr<FloatResampler> MakeHighQualityResampler();
// With a given kernel (engine/high/hq_kernel.h).
std::unique_ptr<FloatResampler> MakeHighQualityResampler(const HqKernel& kernel);
