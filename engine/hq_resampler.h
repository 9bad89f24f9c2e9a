// The high-quality resampler: a linear-phase low-pass at the lower of the two Nyquist
// frequencies, with the filter's delay compensated and the end of the source flushed, on float
// samples.
#pragma once

#include <memory>

#include "engine/resampler.h"

std::unique_ptr<Resampler> MakeHighQualityResampler();
