#include <stdexcept>

#include "app/app.h"

std::optional<KinshipResult> pedigree_route(const RunOptions&, Logger&) {
    throw std::runtime_error("The pedigree relationship matrix is not available in this build.");
}

std::optional<KinshipResult> single_step_route(const RunOptions&, Logger&) {
    throw std::runtime_error("The single-step relationship matrix is not available in this build.");
}
