// Loaded into a run of the program (LD_PRELOAD) by the thread tests: appends every thread count
// the program sets to the file named by ZELKORA_OMP_PROBE, then sets it.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

extern "C" void omp_set_num_threads(int threads) {
    if (const char* path = std::getenv("ZELKORA_OMP_PROBE")) {
        if (std::FILE* file = std::fopen(path, "a")) {
            std::fprintf(file, "%d\n", threads);
            std::fclose(file);
        }
    }
    using SetThreads = void (*)(int);
    static const auto next = reinterpret_cast<SetThreads>(dlsym(RTLD_NEXT, "omp_set_num_threads"));
    if (next != nullptr) {
        next(threads);
    }
}
