// The high-quality resampler's inner loops for SSE2 (see hq_kernel_impl.h; CMake sets the flags).
#define HQ_KERNEL_NAMESPACE hq_kernel_sse2
#include "engine/high/hq_kernel_impl.h"

const HqKernel kHqKernelSse2 = {"SSE2",
                                InstructionSet::Sse2,
                                hq_kernel_sse2::Forward,
                                hq_kernel_sse2::Inverse,
                                hq_kernel_sse2::SpreadMultiply,
                                hq_kernel_sse2::FoldMultiply,
                                hq_kernel_sse2::Poly};
