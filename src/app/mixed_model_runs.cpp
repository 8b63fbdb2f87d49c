#include "app/app.h"
#include "log/logger.h"

int run_reml(const RunOptions&, Logger& logger) {
    logger.tee << "❎ REML is not available in this build." << std::endl;
    return 1;
}

int run_predict(const RunOptions&, Logger& logger) {
    logger.tee << "❎ Prediction is not available in this build." << std::endl;
    return 1;
}
