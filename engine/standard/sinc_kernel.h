// The resampler's inner loops, compiled once per instruction set (sinc_kernel_*.cpp include
// sinc_kernel_impl.h with their own vector width and compiler flags). sinc_resampler.cpp picks
// the widest set the processor has.
#pragma once

#include <cstdint>

#include "engine/common/simd_choice.h"
#include "engine/standard/sinc_state.h"

struct SincKernel {
    const char* name;
    InstructionSet instructionSet;
    int (*mono)(ResamplerState&, const std::int16_t*, int, std::int16_t*, int);
    int (*stereo)(ResamplerState&, const std::int16_t*, int, std::int16_t*, int);
};

extern const SincKernel kSincKernelSse2;
extern const SincKernel kSincKernelAvx2;
extern const SincKernel kSincKernelAvx512;
