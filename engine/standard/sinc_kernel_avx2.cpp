// The resampler's inner loops for AVX2 (see sinc_kernel_impl.h; CMake sets the flags).
#define SINC_KERNEL_NAMESPACE sinc_kernel_avx2
#define SINC_KERNEL_BYTES 32
#include "engine/standard/sinc_kernel_impl.h"

#include "engine/standard/sinc_kernel.h"

const SincKernel kSincKernelAvx2 = {"AVX2", InstructionSet::Avx2Fma, sinc_kernel_avx2::Mono,
                                    sinc_kernel_avx2::Stereo};
