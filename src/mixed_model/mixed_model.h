#pragma once

// The mixed-model core, a header per part (each includes the parts before it): the records'
// kinship in band form, the one AI-REML driver, the evaluators of several random effects and of
// several traits, AI-REML of one kinship, breeding values (direct and by iteration), and the
// result files; REML on the sparse equations of a pedigree beside them.
#include "mixed_model/sparse_reml.h"
#include "mixed_model/variance_file.h"
