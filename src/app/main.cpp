#include "app/app.h"

int main(int argc, char* argv[]) {
    configure_parallel_runtime(argv);
    return zelkora_main(argc, argv);
}
