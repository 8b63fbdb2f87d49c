#include "app/app.h"

int main(int argc, char* argv[]) {
    select_blas_kernels(argv);
    return zelkora_main(argc, argv);
}
