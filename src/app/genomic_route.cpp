#include <stdexcept>

#include "app/app.h"

std::optional<KinshipResult> genomic_route(const RunOptions&, Logger&) {
    throw std::runtime_error("The genomic relationship matrix is not available in this build.");
}
