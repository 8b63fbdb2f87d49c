#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "app/app.h"
#include "distributed/distributed.h"

extern "C" char* openblas_get_corename(void);

namespace {

// OpenBLAS chooses its kernels from the CPU model when the library loads. Virtual machines that
// hide the model make it fall back to generic SSE3 kernels ("Prescott"), four to five times
// slower on the products that dominate G, H and REML than the kernels the CPU can run.
// Returns the kernels to ask for, or null when the choice is fine.
const char* better_blas_kernels() {
    const char* chosen = openblas_get_corename();
    const bool generic = chosen == nullptr || std::strcmp(chosen, "Prescott") == 0 ||
                         std::strcmp(chosen, "Core2") == 0 || std::strcmp(chosen, "Penryn") == 0 ||
                         std::strcmp(chosen, "Nehalem") == 0;
    if (!generic) {
        return nullptr;
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
    if (better != nullptr && chosen != nullptr && std::strcmp(chosen, better) == 0) {
        return nullptr;
    }
    return better;
}

}  // namespace

void configure_parallel_runtime(char* argv[]) {
    bool changed = false;
    if (std::getenv("OPENBLAS_CORETYPE") == nullptr) {
        if (const char* kernels = better_blas_kernels()) {
            ::setenv("OPENBLAS_CORETYPE", kernels, 1);
            changed = true;
        }
    }
    // Idle OpenMP threads spin for a long while before they sleep. When other programs (or a
    // second run) share the cores, a thread that spins waits for one that cannot run, and the
    // many small parallel BLAS calls of REML became hundreds of times slower. A short spin
    // costs nothing measurable on an idle machine.
    if (std::getenv("OMP_WAIT_POLICY") == nullptr && std::getenv("GOMP_SPINCOUNT") == nullptr) {
        ::setenv("GOMP_SPINCOUNT", "1000", 1);
        changed = true;
    }
    if (changed) {
        // Both settings are read when the libraries load: restart once with them.
        ::execv("/proc/self/exe", argv);
        // The restart failed: carry on with the defaults.
    }
}

void quiet_unless_first_rank() {
    if (world_rank() == 0) {
        return;
    }
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        ::dup2(null_fd, STDOUT_FILENO);
        ::dup2(null_fd, STDERR_FILENO);
        ::close(null_fd);
    }
}
