#include "mixed_model/test_data.h"

#include <cmath>
#include <random>

Eigen::MatrixXd random_kinship(Eigen::Index n, Eigen::Index markers, unsigned seed, double ridge) {
    std::mt19937 engine(seed);
    std::uniform_real_distribution<double> frequency(0.1, 0.9);
    Eigen::MatrixXd W(n, markers);
    double scale = 0.0;
    for (Eigen::Index j = 0; j < markers; ++j) {
        const double p = frequency(engine);
        std::binomial_distribution<int> genotype(2, p);
        for (Eigen::Index i = 0; i < n; ++i) {
            W(i, j) = genotype(engine);
        }
        W.col(j).array() -= W.col(j).mean();
        scale += 2.0 * p * (1.0 - p);
    }
    Eigen::MatrixXd G = W * W.transpose() / scale;
    G.diagonal().array() += ridge;
    return G;
}

Eigen::MatrixXd class_design(Eigen::Index n, int levels) {
    Eigen::MatrixXd X = Eigen::MatrixXd::Zero(n, levels);
    for (Eigen::Index i = 0; i < n; ++i) {
        X(i, 0) = X(i, i % levels) = 1.0;
    }
    return X;
}

Eigen::MatrixXd simulate_trait(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, double sigma_a2,
                               double sigma_e2, unsigned seed) {
    std::mt19937 engine(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    const Eigen::Index n = K.rows();
    Eigen::VectorXd z(n), e(n), b(X.cols());
    for (Eigen::Index i = 0; i < n; ++i) {
        z[i] = normal(engine);
        e[i] = normal(engine);
    }
    b = Eigen::VectorXd::LinSpaced(X.cols(), 0.0, 0.5 * static_cast<double>(X.cols() - 1));  // 0, 0.5, 1, ...
    b[0] = 10.0;
    // A symmetric square root through the eigenvalues copes with a singular K.
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(K);
    const Eigen::VectorXd root = eigen.eigenvalues().cwiseMax(0.0).cwiseSqrt();
    const Eigen::VectorXd u = eigen.eigenvectors() * root.asDiagonal() * eigen.eigenvectors().transpose() * z;
    return X * b + std::sqrt(sigma_a2) * u + std::sqrt(sigma_e2) * e;
}

Eigen::MatrixXd tabular_relationships(const std::vector<std::pair<int, int>>& parents) {
    const int n = static_cast<int>(parents.size());
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(n + 1, n + 1);  // row n: an unknown parent, related to nobody
    for (int j = 0; j < n; ++j) {
        const int sire = parents[j].first < 0 ? n : parents[j].first;
        const int dam = parents[j].second < 0 ? n : parents[j].second;
        for (int i = 0; i < j; ++i) {
            A(i, j) = A(j, i) = 0.5 * (A(i, sire) + A(i, dam));
        }
        A(j, j) = 1.0 + 0.5 * A(sire, dam);
    }
    return A.topLeftCorner(n, n);
}

Eigen::MatrixXd incidence(const std::vector<Eigen::Index>& level_of_record, Eigen::Index levels) {
    Eigen::MatrixXd Z = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(level_of_record.size()), levels);
    for (std::size_t r = 0; r < level_of_record.size(); ++r) {
        Z(static_cast<Eigen::Index>(r), level_of_record[r]) = 1.0;
    }
    return Z;
}
