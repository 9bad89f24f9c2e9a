// The resampler's inner loops for AVX512 (see sinc_kernel_impl.h; CMake sets the flags).
#define SINC_KERNEL_NAMESPACE sinc_kernel_avx512
#define SINC_KERNEL_BYTES 64
#include "engine/standard/sinc_kernel_impl.h"

#include "engine/standard/sinc_kernel.h"

const SincKernel kSincKernelAvx512 = {"AVX-512", InstructionSet::Avx512, sinc_kernel_avx512::Mono,
                                      sinc_kernel_avx512::Stereo};
