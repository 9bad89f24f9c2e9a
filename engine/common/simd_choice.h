// The choice among kernels compiled for several instruction sets: each kernel says what it needs,
// and the widest one this processor (and its operating system) runs is taken. Kernel files
// include this header for the enumeration only: the functions below are compiled with the
// program's own flags.
#pragma once

#include <cstddef>

enum class InstructionSet {
    Sse2,     // part of every x86-64 processor
    Avx2,     // AVX2
    Avx2Fma,  // AVX2 with fused multiply-adds
    Avx512,   // AVX-512 F, VL and DQ
};

bool InstructionSetSupported(InstructionSet set);

// Whether this processor can run a kernel (a struct with a member `instructionSet`).
template <typename Kernel>
bool KernelSupported(const Kernel& kernel) {
    return InstructionSetSupported(kernel.instructionSet);
}

// The first kernel of a list, widest first, that this processor runs; the last one is the
// fallback that every processor runs.
template <typename Kernel, std::size_t N>
const Kernel& WidestSupportedKernel(const Kernel* const (&widestFirst)[N]) {
    for (std::size_t i = 0; i + 1 < N; ++i) {
        if (KernelSupported(*widestFirst[i])) return *widestFirst[i];
    }
    return *widestFirst[N - 1];
}
