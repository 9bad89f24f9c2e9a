// The high-quality resampler's inner loops for AVX2 (see hq_kernel_impl.h; CMake sets the flags).
#define HQ_KERNEL_NAMESPACE hq_kernel_avx2
#include "engine/high/hq_kernel_impl.h"

const HqKernel kHqKernelAvx2 = {"AVX2",
                                InstructionSet::Avx2,
                                hq_kernel_avx2::Ops<float>(),
                                hq_kernel_avx2::Ops<double>(),
                                hq_kernel_avx2::Quantize,
                                hq_kernel_avx2::TpdfValues};
