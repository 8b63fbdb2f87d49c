#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "hmatrix/hmatrix.h"
#include "mixed_model/mixed_model.h"
#include "pedigree/pedigree.h"
#include "pedigree/random_pedigree.h"

namespace {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

struct SystemData {
    SparsePlusDense inverse;
    MatrixXd X;  // intercept and one class covariate of 3 levels (reference level left out)
    std::vector<Index> levels;
    VectorXd y;
};

// Records on about two thirds of a 300-animal inbred pedigree, some animals with two; with
// `genomic`, the youngest half genotyped at 200 markers.
SystemData make_data(bool genomic) {
    std::mt19937 random(21);
    const Pedigree pedigree = prepare_pedigree(random_inbred_pedigree(random, 300));
    const std::vector<double> inbreeding = pedigree_inbreeding(pedigree);
    SystemData data{{pedigree_inverse(pedigree, inbreeding), {}, {}}, {}, {}, {}};
    const Index n = data.inverse.size();
    if (genomic) {
        for (Index k = n / 2; k < n; ++k) data.inverse.block_positions.push_back(k);
        const Index g = static_cast<Index>(data.inverse.block_positions.size());
        MatrixXd Z(g, 200);
        std::uniform_int_distribution<int> dosage(0, 2);
        for (Index j = 0; j < Z.cols(); ++j) {
            for (Index i = 0; i < g; ++i) Z(i, j) = dosage(random);
            Z.col(j).array() -= Z.col(j).mean();
        }
        data.inverse.block = Z * Z.transpose() / 200.0;
        genomic_inverse_in_place(data.inverse.block);
        MatrixXd A22 = relationship_block(pedigree, inbreeding, data.inverse.block_positions);
        pedigree_block_inverse_in_place(A22);
        combine_genotyped_block(data.inverse.block, A22, 1.0, 1.0);
    }
    std::normal_distribution<double> noise(0.0, 3.0);
    std::vector<std::array<double, 3>> rows;
    for (Index k = 0; k < n; ++k) {
        for (int record = 0; record < static_cast<int>(random() % 3); ++record) {
            const int level = static_cast<int>(random() % 3);
            data.levels.push_back(k);
            rows.push_back({level == 1 ? 1.0 : 0.0, level == 2 ? 1.0 : 0.0, 10.0 + 2.0 * level + noise(random)});
        }
    }
    const Index records = static_cast<Index>(rows.size());
    data.X.resize(records, 3);
    data.y.resize(records);
    for (Index r = 0; r < records; ++r) {
        data.X.row(r) << 1.0, rows[static_cast<std::size_t>(r)][0], rows[static_cast<std::size_t>(r)][1];
        data.y[r] = rows[static_cast<std::size_t>(r)][2];
    }
    return data;
}

// The mixed model equations written out densely and solved directly.
VectorXd direct_solution(const SystemData& data, double sigma_a2, double sigma_e2) {
    const Index n = data.inverse.size();
    const Index records = data.y.size();
    MatrixXd Z = MatrixXd::Zero(records, n);
    for (Index r = 0; r < records; ++r) Z(r, data.levels[static_cast<std::size_t>(r)]) = 1.0;
    MatrixXd R = MatrixXd(data.inverse.sparse);
    MatrixXd block = data.inverse.block;
    block.triangularView<Eigen::StrictlyUpper>() = block.transpose().triangularView<Eigen::StrictlyUpper>();
    for (std::size_t r = 0; r < data.inverse.block_positions.size(); ++r)
        for (std::size_t c = 0; c < data.inverse.block_positions.size(); ++c)
            R(data.inverse.block_positions[r], data.inverse.block_positions[c]) += block(r, c);
    MatrixXd W(records, data.X.cols() + n);
    W << data.X, Z;
    MatrixXd C = W.transpose() * W;
    C.bottomRightCorner(n, n) += sigma_e2 / sigma_a2 * R;
    return C.partialPivLu().solve(W.transpose() * data.y);
}

void expect_pcg_matches_direct(const SystemData& data) {
    const IterativeSolution pcg =
        solve_mixed_model_pcg(data.X, data.levels, data.y, data.inverse, 36.0, 60.0, 1e-12, 10000);
    ASSERT_TRUE(pcg.converged);
    EXPECT_GT(pcg.iterations, 1);
    EXPECT_LE(pcg.relative_residual, 1e-12);
    const VectorXd direct = direct_solution(data, 36.0, 60.0);
    const VectorXd u = direct.tail(data.inverse.size());
    const double sd = std::sqrt((u.array() - u.mean()).square().mean());
    EXPECT_LT((pcg.u - u).cwiseAbs().maxCoeff(), 1e-6 * sd);
    EXPECT_LT((pcg.b - direct.head(3)).cwiseAbs().maxCoeff(), 1e-6 * sd);
}

TEST(IterativeBreedingValues, PedigreeOnlyMatchesTheDirectSolve) { expect_pcg_matches_direct(make_data(false)); }

TEST(IterativeBreedingValues, SingleStepMatchesTheDirectSolve) { expect_pcg_matches_direct(make_data(true)); }

TEST(IterativeBreedingValues, ReportsNoConvergenceAndZeroAdditiveVarianceGivesLeastSquares) {
    const SystemData data = make_data(true);
    const IterativeSolution short_run =
        solve_mixed_model_pcg(data.X, data.levels, data.y, data.inverse, 36.0, 60.0, 1e-12, 3);
    EXPECT_FALSE(short_run.converged);
    EXPECT_EQ(short_run.iterations, 3);
    EXPECT_GT(short_run.relative_residual, 1e-12);

    const IterativeSolution none = solve_mixed_model_pcg(data.X, data.levels, data.y, data.inverse, 0.0, 60.0, 1e-8, 10);
    EXPECT_TRUE(none.converged);
    EXPECT_EQ(none.u.cwiseAbs().maxCoeff(), 0.0);
    const VectorXd least_squares = (data.X.transpose() * data.X).ldlt().solve(data.X.transpose() * data.y);
    EXPECT_LT((none.b - least_squares).cwiseAbs().maxCoeff(), 1e-10);
}

}  // namespace
