#include "app/app.h"
#include "distributed/distributed.h"

int main(int argc, char* argv[]) {
    configure_parallel_runtime(argv);
    start_distributed(&argc, &argv);
    quiet_unless_first_rank();
    const int status = zelkora_main(argc, argv);
    finish_distributed();
    return status;
}
