// The resampler's inner loops for SSE2 (see sinc_kernel_impl.h; CMake sets the flags).
#define SINC_KERNEL_NAMESPACE sinc_kernel_sse2
#define SINC_KERNEL_BYTES 16
#include "engine/standard/sinc_kernel_impl.h"

#include "engine/standard/sinc_kernel.h"

const SincKernel kSincKernelSse2 = {"SSE2", InstructionSet::Sse2, sinc_kernel_sse2::Mono,
                                    sinc_kernel_sse2::Stereo};
