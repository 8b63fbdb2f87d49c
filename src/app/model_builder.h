#pragma once

// The one builder of a run's model. The options (today the column flags) say what the model is
// made of before any data is read (ModelPlan): its traits, fixed covariates, relationships and
// random terms, and so the route that fits it. Once a route has read its records, the same
// description fills the random terms of the model (add_random_terms), whichever route runs it.

#include <string>
#include <vector>

#include "app/app.h"
#include "mixed_model/model.h"

enum class TermKind {
    relationship,           // the additive effect of the record's individual with a relationship
    permanent_environment,  // of the record's individual, independent
    random_class,           // the levels of a phenotype column, independent
    maternal,               // the dam's additive maternal effect: a second part of the relationship's term
};
struct TermPlan {
    TermKind kind = TermKind::relationship;
    int relationship = -1;  // which of the model's relationships, for TermKind::relationship
    int column = -1;        // the phenotype column (0-based) of a random class; the dam's (maternal, a dam's PE)
    std::string name;       // as the tables name it; a class's is its header's, given by the builder
    int degree = -1;        // a random regression's (animal:leg(x, k), pe:leg(x, k)): k; its column is RunOptions::curve_pos
};

// Which evaluator and front end fit the model.
enum class ModelShape {
    one_kinship,      // one relationship alone (the band path, in one process or over ranks)
    several_effects,  // more than one kinship, a permanent environment, random classes
    several_traits,   // one kinship, several traits
    sparse_inverse,   // one relationship as the sparse inverse of A or H, solved by iteration
};

struct ModelPlan {
    std::vector<int> traits;                      // phenotype columns, 0-based
    std::vector<int> classes;                     // fixed class covariates
    std::vector<int> covariates;                  // fixed numeric covariates
    std::vector<std::string> relationship_files;  // --kin-file, or the files of --mkin-file (none
                                                  // for a sparse inverse, which the pedigree gives)
    std::vector<TermPlan> terms;                  // random terms in the order of the tables
    ModelShape shape = ModelShape::one_kinship;
    // Per trait, the columns of its own fixed terms (a formula's "Y1 ~ ...; Y2 ~ ..."); empty
    // when every trait takes every fixed covariate.
    std::vector<std::vector<int>> trait_fixed_columns;
};

// The column flags filled from --model: the formula parsed and resolved against the phenotype
// file's header, kept in options.formula. Throws InputCheckFailure for a formula it cannot fit
// and for --model given with the column flags.
void apply_model_formula(RunOptions& options);

// The model of the column flags, or of the formula (its terms in the order written, named as
// written; a single trait always on the several-effects route, as its layout is the long one).
// Throws InputCheckFailure for a random column given twice or
// also as a fixed covariate or the trait, and for an unusable --mkin-file list.
ModelPlan model_from_options(const RunOptions& options);

// Records grouped by a key (an individual, a class level): the level of each record and the
// levels, in the order first met.
struct RecordLevels {
    std::vector<Eigen::Index> level_of_record;
    std::vector<std::string> levels;
};
RecordLevels levels_first_met(const std::vector<std::string>& keys);

// The random terms of `plan` added to `model`, whose records are read: a relationship's effect
// over `relationship_levels` (the individuals with records where the relationship is read at
// them; every individual of a sparse inverse), the permanent environment over the individuals
// with records, a random class over its levels (`records.random_levels` and `random_names`, in
// the order of the model's class terms; a name taken already gets "_<column>").
void add_random_terms(Model& model, const ModelPlan& plan, RecordLevels relationship_levels,
                      const PhenotypeRecords* records = nullptr);
