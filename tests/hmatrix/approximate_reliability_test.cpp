// Approximate reliabilities against the exact ones of the same model: the mixed model equations
// with H^-1 (or A^-1) formed and inverted whole, on a pedigree of a few generations with sires of
// many progeny, herds as fixed effects and genotypes dropped down the pedigree.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hmatrix/hmatrix.h"
#include "pedigree/pedigree.h"

namespace {

using Eigen::Index;

constexpr double kReliabilityGenetic = 1.0, kReliabilityResidual = 2.0;

struct Population {
    Pedigree pedigree;
    std::vector<Index> genotyped;  // pedigree positions, ascending
    Eigen::MatrixXd G;             // + 0.0001 I, over `genotyped`
    std::vector<Index> animal_of_record;
    Eigen::MatrixXd X;  // intercept and herds (the first held at 0)
};

// 30 founders, then four generations of 120, each with 6 sires and 50 dams of the one before;
// records on 70 % of the non-founders, in 6 herds; 500 markers dropped from the founders; the
// sires and every fifth animal genotyped.
Population simulated_population() {
    std::mt19937 engine(2027);
    std::vector<PedigreeTriple> triples;
    std::vector<std::string> previous;
    for (int i = 0; i < 30; ++i) {
        triples.push_back({"f" + std::to_string(i), "0", "0"});
        previous.push_back("f" + std::to_string(i));
    }
    std::vector<std::string> sires_of_all;
    for (int generation = 1; generation <= 4; ++generation) {
        std::vector<std::string> current;
        std::vector<std::string> sires(previous.begin(), previous.begin() + 6),
            dams(previous.begin() + 6, previous.begin() + 6 + std::min<std::size_t>(50, previous.size() - 6));
        sires_of_all.insert(sires_of_all.end(), sires.begin(), sires.end());
        for (int k = 0; k < 120; ++k) {
            const std::string id = "g" + std::to_string(generation) + "_" + std::to_string(k);
            const std::string sire = sires[engine() % sires.size()];
            const std::string dam = engine() % 10 == 0 ? "0" : dams[engine() % dams.size()];
            triples.push_back({id, sire, dam});
            current.push_back(id);
        }
        std::shuffle(current.begin(), current.end(), engine);
        previous = current;
    }
    Population population;
    population.pedigree = prepare_pedigree(triples);
    const Pedigree& pedigree = population.pedigree;
    const auto n = static_cast<Index>(pedigree.ids.size());

    // Genotypes: founders' alleles at frequencies drawn per marker, one allele of each parent after.
    const int markers = 500;
    std::uniform_real_distribution<double> uniform(0.05, 0.95);
    std::vector<double> frequency(markers);
    for (double& p : frequency) p = uniform(engine);
    std::vector<std::vector<int>> alleles(static_cast<std::size_t>(n), std::vector<int>(2 * markers));
    for (Index i = 0; i < n; ++i) {
        for (int j = 0; j < markers; ++j) {
            for (int copy = 0; copy < 2; ++copy) {
                const std::int32_t parent = copy == 0 ? pedigree.sire_index[static_cast<std::size_t>(i)]
                                                      : pedigree.dam_index[static_cast<std::size_t>(i)];
                alleles[static_cast<std::size_t>(i)][static_cast<std::size_t>(2 * j + copy)] =
                    parent < 0 ? (uniform(engine) < frequency[static_cast<std::size_t>(j)] ? 1 : 0)
                               : alleles[static_cast<std::size_t>(parent)][static_cast<std::size_t>(2 * j + engine() % 2)];
            }
        }
    }
    for (Index i = 0; i < n; ++i) {
        const std::string& id = pedigree.ids[static_cast<std::size_t>(i)];
        const bool sire = std::find(sires_of_all.begin(), sires_of_all.end(), id) != sires_of_all.end();
        if (sire || i % 5 == 0) population.genotyped.push_back(i);
    }
    const auto g = static_cast<Index>(population.genotyped.size());
    Eigen::MatrixXd M(g, markers);
    for (Index k = 0; k < g; ++k) {
        const auto& own = alleles[static_cast<std::size_t>(population.genotyped[static_cast<std::size_t>(k)])];
        for (int j = 0; j < markers; ++j) M(k, j) = own[static_cast<std::size_t>(2 * j)] + own[static_cast<std::size_t>(2 * j + 1)];
    }
    const Eigen::RowVectorXd twice_p = M.colwise().mean();
    const double two_pq = (twice_p.array() * (1.0 - twice_p.array() / 2.0)).sum();
    const Eigen::MatrixXd Z = M.rowwise() - twice_p;
    population.G = Z * Z.transpose() / two_pq;
    population.G.diagonal().array() += kGenomicRidge;

    std::vector<int> herd;
    for (Index i = 0; i < n; ++i) {
        if (pedigree.ids[static_cast<std::size_t>(i)][0] == 'f' || engine() % 10 >= 7) continue;
        population.animal_of_record.push_back(i);
        herd.push_back(static_cast<int>(engine() % 6));
    }
    population.X = Eigen::MatrixXd::Zero(static_cast<Index>(herd.size()), 6);
    for (std::size_t r = 0; r < herd.size(); ++r) {
        population.X(static_cast<Index>(r), 0) = 1.0;
        if (herd[r] > 0) population.X(static_cast<Index>(r), herd[r]) = 1.0;
    }
    return population;
}

// 1 - PEV / (s2a K_ii) from the inverse of the whole mixed model equations with K^-1 given.
Eigen::VectorXd exact_reliabilities(const Population& population, const Eigen::MatrixXd& K) {
    const Index n = K.rows(), p = population.X.cols(), records = population.X.rows();
    Eigen::MatrixXd Z = Eigen::MatrixXd::Zero(records, n);
    for (Index r = 0; r < records; ++r) Z(r, population.animal_of_record[static_cast<std::size_t>(r)]) = 1.0;
    Eigen::MatrixXd W(records, p + n);
    W << population.X, Z;
    Eigen::MatrixXd C = W.transpose() * W / kReliabilityResidual;
    C.bottomRightCorner(n, n) += K.inverse() / kReliabilityGenetic;
    const Eigen::MatrixXd inverse = C.inverse();
    Eigen::VectorXd reliability(n);
    for (Index i = 0; i < n; ++i) reliability[i] = 1.0 - inverse(p + i, p + i) / (kReliabilityGenetic * K(i, i));
    return reliability;
}

Eigen::VectorXd approximate(const Population& population, bool genomic) {
    const Pedigree& pedigree = population.pedigree;
    const auto n = static_cast<Index>(pedigree.ids.size());
    ReliabilityInputs inputs;
    inputs.sire_index = pedigree.sire_index;
    inputs.dam_index = pedigree.dam_index;
    inputs.inbreeding = pedigree_inbreeding(pedigree);
    inputs.genetic_variance = kReliabilityGenetic;
    inputs.record_information = absorbed_record_information(
        population.X, Eigen::VectorXd::Constant(population.X.rows(), 1.0 / kReliabilityResidual),
        population.animal_of_record, n);
    if (genomic) {
        inputs.genotyped = population.genotyped;
        inputs.genotyped_prior = population.G.inverse();  // tau = omega = 1
        inputs.genotyped_variances = population.G.diagonal();
    }
    const ApproximateReliabilities result = approximate_reliabilities(inputs);
    return Eigen::VectorXd::Ones(n) - result.error_variances.cwiseQuotient(result.prior_variances);
}

double correlation_of(const Eigen::VectorXd& x, const Eigen::VectorXd& y) {
    const Eigen::ArrayXd dx = x.array() - x.mean(), dy = y.array() - y.mean();
    return (dx * dy).sum() / std::sqrt(dx.square().sum() * dy.square().sum());
}

}  // namespace

TEST(ApproximateReliability, FollowsTheExactReliabilitiesOfPedigreeAndSingleStepModels) {
    const Population population = simulated_population();
    const Eigen::MatrixXd A = build_relationship_matrix(population.pedigree);

    const Eigen::VectorXd exact_a = exact_reliabilities(population, A);
    const Eigen::VectorXd approximate_a = approximate(population, false);
    const double pedigree_correlation = correlation_of(approximate_a, exact_a);
    EXPECT_GT(pedigree_correlation, 0.95);

    // H = A + [A12 A22^-1; I] (G - A22) [A22^-1 A21, I], genotyped last within the positions.
    const auto n = A.rows();
    const auto g = static_cast<Index>(population.genotyped.size());
    std::vector<Index> others;
    for (Index i = 0, k = 0; i < n; ++i) {
        if (k < g && population.genotyped[static_cast<std::size_t>(k)] == i) {
            ++k;
        } else {
            others.push_back(i);
        }
    }
    const Eigen::MatrixXd A22 = A(population.genotyped, population.genotyped);
    Eigen::MatrixXd T = Eigen::MatrixXd::Zero(n, g);  // [A12 A22^-1; I] in the pedigree's order
    T(others, Eigen::all) = A(others, population.genotyped) * A22.inverse();
    T(population.genotyped, Eigen::all) = Eigen::MatrixXd::Identity(g, g);
    const Eigen::MatrixXd H = A + T * (population.G - A22) * T.transpose();
    const Eigen::VectorXd exact_h = exact_reliabilities(population, H);
    const Eigen::VectorXd approximate_h = approximate(population, true);
    const double single_step_correlation = correlation_of(approximate_h, exact_h);
    EXPECT_GT(single_step_correlation, 0.95);
    // The genotyped animals on their own, where G does the work.
    EXPECT_GT(correlation_of(approximate_h(population.genotyped), exact_h(population.genotyped)), 0.95);
    // Reliabilities stay reliabilities, and animals without records or relatives with records have none.
    EXPECT_GE(approximate_h.minCoeff(), 0.0);
    EXPECT_LT(approximate_h.maxCoeff(), 1.0);
    RecordProperty("pedigree_correlation", std::to_string(pedigree_correlation));
    RecordProperty("single_step_correlation", std::to_string(single_step_correlation));
    std::printf("correlation with exact reliabilities: pedigree %.4f, single-step %.4f\n", pedigree_correlation,
                single_step_correlation);
}

// One animal alone with its records is exact: its information is that of the records after the
// fixed effects, and a sire with no records knows only what its recorded progeny tell.
TEST(ApproximateReliability, IsExactForAnAnimalAloneAndASireOfUnrelatedProgeny) {
    const std::vector<PedigreeTriple> triples = {{"s", "0", "0"}, {"o1", "s", "0"}, {"o2", "s", "0"}, {"o3", "s", "0"}};
    const Pedigree pedigree = prepare_pedigree(triples);
    std::vector<Index> animal_of_record;
    for (const char* id : {"o1", "o2", "o3"}) animal_of_record.push_back(pedigree.id_to_index.at(id));
    ReliabilityInputs inputs;
    inputs.sire_index = pedigree.sire_index;
    inputs.dam_index = pedigree.dam_index;
    inputs.inbreeding = pedigree_inbreeding(pedigree);
    inputs.genetic_variance = 2.0;
    inputs.record_information =
        absorbed_record_information(Eigen::MatrixXd(3, 0), Eigen::VectorXd::Constant(3, 1.0 / 3.0), animal_of_record, 4);
    const ApproximateReliabilities result = approximate_reliabilities(inputs);
    // The sire: each progeny is 1/2 a_s + (3/4 s2a + s2e), independent given the sire.
    const double sire_information = 1.0 / 2.0 + 3.0 * 0.25 / (0.75 * 2.0 + 3.0);
    EXPECT_NEAR(result.error_variances[pedigree.id_to_index.at("s")], 1.0 / sire_information, 1e-12);

    // A fixed effect takes its share of the records: two records of one class in two animals.
    const Eigen::VectorXd information = absorbed_record_information(
        Eigen::MatrixXd::Ones(2, 1), Eigen::Vector2d(1.0, 3.0), {0, 1}, 2);
    // Leverages w_r / sum w: 1/4 and 3/4.
    EXPECT_NEAR(information[0], 1.0 * 0.75, 1e-12);
    EXPECT_NEAR(information[1], 3.0 * 0.25, 1e-12);
}
