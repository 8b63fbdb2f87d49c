#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "app/app.h"

extern "C" char* openblas_get_corename(void);

// OpenBLAS chooses its kernels from the CPU model when the library loads. Virtual machines that
// hide the model make it fall back to generic SSE3 kernels ("Prescott"), four to five times
// slower on the products that dominate G, H and REML than the kernels the CPU can run. The
// choice cannot be changed after loading, so the program restarts itself once with
// OPENBLAS_CORETYPE naming the kernels the CPU supports. A user's own setting is respected.
void select_blas_kernels(char* argv[]) {
    if (std::getenv("OPENBLAS_CORETYPE") != nullptr) {
        return;
    }
    const char* chosen = openblas_get_corename();
    const bool generic = chosen == nullptr || std::strcmp(chosen, "Prescott") == 0 ||
                         std::strcmp(chosen, "Core2") == 0 || std::strcmp(chosen, "Penryn") == 0 ||
                         std::strcmp(chosen, "Nehalem") == 0;
    if (!generic) {
        return;
    }
    __builtin_cpu_init();
    const char* better = nullptr;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
        better = "SkylakeX";
    } else if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        better = "Haswell";
    } else if (__builtin_cpu_supports("avx")) {
        better = "Sandybridge";
    }
    if (better == nullptr || (chosen != nullptr && std::strcmp(chosen, better) == 0)) {
        return;
    }
    ::setenv("OPENBLAS_CORETYPE", better, 1);
    ::execv("/proc/self/exe", argv);
    // The restart failed: carry on with the generic kernels.
}
