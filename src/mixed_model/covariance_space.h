#pragma once

#include <optional>

#include "mixed_model/ai_reml.h"
#include "mixed_model/model.h"

// ---- The space of covariance blocks ----------------------------------------------------------
// Components that form covariance matrices (a term's block among its parts and traits, the
// residual's among the traits), each block's lower triangle row by row in theta: every block
// positive semi-definite, a residual block positive definite with every eigenvalue at least its
// limit. What the driver needs of such a space, for any evaluator whose terms have covariances:
// the nearest point inside, the functionals held on its boundary where the likelihood falls into
// it and the information a step along that curved boundary adds, a covariance's change measured
// against its variances, and the EM-REML point M + M S M / q of every block (S the score as a
// matrix, q the individuals), which keeps them inside.
class CovarianceSpace {
public:
    struct Block {
        Eigen::Index offset = 0;  // of its first component in theta
        Eigen::Index size = 0;    // d, with d (d + 1) / 2 components
        bool residual = false;
        double limit = 0.0;       // a residual block's least eigenvalue
        Eigen::Index individuals = 0;  // those it covers (a residual class's), for the EM step; 0: all
    };
    CovarianceSpace() = default;
    // `count`: the components in theta (those in no block are left as they are).
    CovarianceSpace(std::vector<Block> blocks, Eigen::Index count, Eigen::Index individuals);

    // Position of element (a, b) of a block of any size within it, in either order.
    static Eigen::Index position(Eigen::Index a, Eigen::Index b);
    Eigen::MatrixXd matrix(const Eigen::VectorXd& theta, std::size_t block) const;
    void set_matrix(Eigen::VectorXd& theta, std::size_t block, const Eigen::MatrixXd& M) const;

    Eigen::VectorXd feasible(const Eigen::VectorXd& theta) const;
    // The directions (columns of d x k) in which a block is at the boundary at theta: a variance
    // block's eigenvectors of eigenvalue 0, a residual block's at its limit.
    Eigen::MatrixXd boundary_vectors(const Eigen::VectorXd& theta, std::size_t block) const;
    Eigen::MatrixXd held_directions(const Eigen::VectorXd& theta, const Eigen::VectorXd& score) const;
    Eigen::MatrixXd boundary_information(const Eigen::VectorXd& theta, const Eigen::VectorXd& score) const;
    Eigen::VectorXd change_scale(const Eigen::VectorXd& theta) const;
    // M + step M S M / q for every block, brought into the space.
    Eigen::VectorXd em_point(const Eigen::VectorXd& theta, const Eigen::VectorXd& score, double step) const;

private:
    Eigen::MatrixXd score_matrix(const Eigen::VectorXd& score, std::size_t block) const;
    bool held_at(const Eigen::MatrixXd& Z, const Eigen::VectorXd& score, std::size_t block) const;
    double tolerance(const Eigen::VectorXd& theta) const;

    std::vector<Block> blocks_;
    Eigen::Index count_ = 0;
    Eigen::Index individuals_ = 0;
};

// An evaluator whose components may form covariance blocks: the driver keeps each positive
// semi-definite through the space it is given (none: every component on its own).
class SpacedEvaluator : public LikelihoodEvaluator {
public:
    void set_covariance_space(CovarianceSpace space) { space_ = std::move(space); }
    // The least eigenvalue a block of several components keeps: 0 where the likelihood is formed
    // at a singular block; above 0 where the evaluator needs each block's inverse.
    virtual double block_limit() const { return 0.0; }
    Eigen::VectorXd feasible(const Eigen::VectorXd& theta) const override {
        return space_ ? space_->feasible(theta) : theta;
    }
    Eigen::MatrixXd held_directions(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const override {
        return space_ ? space_->held_directions(theta, point.score) : Eigen::MatrixXd(theta.size(), 0);
    }
    Eigen::MatrixXd boundary_information(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const override {
        return space_ ? space_->boundary_information(theta, point.score)
                      : Eigen::MatrixXd(Eigen::MatrixXd::Zero(theta.size(), theta.size()));
    }
    Eigen::VectorXd change_scale(const Eigen::VectorXd& theta) const override {
        return space_ ? space_->change_scale(theta) : theta;
    }

private:
    std::optional<CovarianceSpace> space_;
};
