// The processor's instruction sets and the processors this process may use;
// see processors.h.
#include "processors.h"

#include <sched.h>
#include <unistd.h>

namespace {

// One bit for each instruction set that the processor runs.
unsigned setBit(InstructionSet set) { return 1u << static_cast<unsigned>(set); }

unsigned setsThisProcessorRuns() {
    unsigned runs = setBit(InstructionSet::portable);
#if SUITE_X86_64_KERNELS
    // The compiler's own question answers for the operating system too: a
    // set whose registers the system does not save is not run.
    __builtin_cpu_init();
    runs |= setBit(InstructionSet::sse2);
    // The wide kernels count bits and take the lowest set bit with their
    // own instructions (POPCNT, BMI1), which every processor with AVX2 has;
    // a set counts only with them, so that none of its kernels can meet an
    // instruction the processor lacks.
    const bool bitInstructions = __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
    if (__builtin_cpu_supports("avx2") && bitInstructions) runs |= setBit(InstructionSet::avx2);
    if (__builtin_cpu_supports("avx512f") && bitInstructions) runs |= setBit(InstructionSet::avx512f);
    if (__builtin_cpu_supports("avx512bw")) runs |= setBit(InstructionSet::avx512bw);
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vpopcntdq") && __builtin_cpu_supports("gfni")) {
        runs |= setBit(InstructionSet::avx512PopcountGfni);
    }
#endif
    return runs;
}

}  // namespace

bool processorRuns(InstructionSet set) {
    // Asked once, whichever thread asks first (the initialisation of a local
    // static is made safe between threads).
    static const unsigned runs = setsThisProcessorRuns();
    return (runs & setBit(set)) != 0;
}

int affinityProcessorCount() {
#if SUITE_HAVE_SCHED_GETAFFINITY && SUITE_HAVE_CPU_COUNT
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
#endif
    return 0;
}

int onlineProcessorCount() {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 && online < 4096 ? static_cast<int>(online) : 1;
}
