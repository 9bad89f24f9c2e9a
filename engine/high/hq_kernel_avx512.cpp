// The high-quality resampler's inner loops for AVX-512 (see hq_kernel_impl.h; CMake sets the
// flags).
#define HQ_KERNEL_NAMESPACE hq_kernel_avx512
#include "engine/high/hq_kernel_impl.h"

const HqKernel kHqKernelAvx512 = {"AVX-512",
                                  InstructionSet::Avx512,
                                  hq_kernel_avx512::Ops<float>(),
                                  hq_kernel_avx512::Ops<double>(),
                                  hq_kernel_avx512::Quantize,
                                  hq_kernel_avx512::TpdfValues};
