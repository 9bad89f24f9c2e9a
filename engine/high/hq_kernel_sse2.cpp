// The high-quality resampler's inner loops for SSE2 (see hq_kernel_impl.h; CMake sets the flags).
#define HQ_KERNEL_NAMESPACE hq_kernel_sse2
#include "engine/high/hq_kernel_impl.h"

const HqKernel kHqKernelSse2 = {"SSE2",
                                InstructionSet::Sse2,
                                hq_kernel_sse2::Ops<float>(),
                                hq_kernel_sse2::Ops<double>(),
                                hq_kernel_sse2::Quantize,
                                hq_kernel_sse2::TpdfValues};
