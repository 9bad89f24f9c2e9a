// The standard quality's resampler: the 50-tap sinc interpolator with its 65-tap low-pass
// filter on 16-bit samples (engine/standard/sinc_state.h describes it).
#pragma once

#include <memory>

#include "engine/resampler.h"

// Null only when there is not enough memory for it.
std::unique_ptr<Pcm16Resampler> MakeSincResampler();
// The instruction set its kernels use on this machine: "AVX-512", "AVX2" or "SSE2".
const char* ResamplerInstructionSet();
