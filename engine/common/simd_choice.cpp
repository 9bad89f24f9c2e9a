#include "engine/common/simd_choice.h"

bool InstructionSetSupported(InstructionSet set) {
    __builtin_cpu_init();
    switch (set) {
        case InstructionSet::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("avx512dq");
        case InstructionSet::Avx2Fma:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case InstructionSet::Avx2:
            return __builtin_cpu_supports("avx2");
        case InstructionSet::Sse2:
            break;
    }
    return true;
}
