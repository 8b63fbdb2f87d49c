// The restricted likelihood of several traits, its derivatives and average information: in the
// kinship's eigenvector basis when every trait is recorded on every individual, densely over the
// values present otherwise. The derivative of V by a component (a, b) of Vg is E_ab (x) K, of Ve
// E_ab (x) I, with E_ab = e_a e_b' + e_b e_a' (a != b) or e_a e_a'.

#include <cblas.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "linear_algebra/lapack.h"
#include "mixed_model/band_solves.h"
#include "mixed_model/mixed_model.h"

namespace {

using Small = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor, kMostTraits, kMostTraits>;

LikelihoodPoint not_finite(Eigen::Index count, const std::string& problem) {
    LikelihoodPoint result;
    result.log_likelihood = -kInfinity;
    result.score = Eigen::VectorXd::Zero(count);
    result.ai = Eigen::MatrixXd::Zero(count, count);
    result.problem = problem;
    return result;
}

const char* const kNotPositiveDefinite =
    "V = Vg (x) K + Ve (x) I is not positive definite over the records (Vg must be positive semi-definite and Ve "
    "positive definite)";
const char* const kFixedEffectsSingular =
    "X'V^-1 X is not positive definite (the fixed effects cannot be estimated from the records)";

// The finished point from the parts every evaluator computes: log L, the score from y'P V_k P y
// and tr(P V_k), and AI = (F'V^-1 F - G'C^-1 G) / 2 from F (the V_k P y) with `inner` = F'V^-1 F
// and G = X'V^-1 F.
LikelihoodPoint finish(double log_likelihood, const Eigen::VectorXd& quadratic, const Eigen::VectorXd& traces,
                       const Eigen::MatrixXd& inner, const Eigen::MatrixXd& G, const Eigen::MatrixXd& C_inverse) {
    LikelihoodPoint result;
    result.log_likelihood = log_likelihood;
    result.score = 0.5 * (quadratic - traces);
    result.ai = 0.5 * (inner - G.transpose() * (C_inverse * G));
    result.ai = 0.5 * (result.ai + result.ai.transpose()).eval();
    result.finite = std::isfinite(log_likelihood) && result.score.allFinite() && result.ai.allFinite();
    if (!result.finite) {
        result.problem = "the log-likelihood or its derivatives are not finite";
    }
    return result;
}

// C^-1 and log det C by Cholesky; false when C is not positive definite.
bool invert_fixed(const Eigen::MatrixXd& C, Eigen::MatrixXd& C_inverse, double& log_det) {
    const Eigen::Index p = C.rows();
    const Eigen::LLT<Eigen::MatrixXd> chol(C);
    if (p > 0 && (chol.info() != Eigen::Success || !C.allFinite())) {
        return false;
    }
    C_inverse = chol.solve(Eigen::MatrixXd::Identity(p, p));
    log_det = p == 0 ? 0.0 : 2.0 * chol.matrixLLT().diagonal().array().log().sum();
    return std::isfinite(log_det);
}

}  // namespace

// ---- Every trait recorded: the kinship's eigenvector basis ----------------------------------

struct RotatedTraitsEvaluator::Factors {
    Eigen::MatrixXd W;  // (t t) x q: V_j^-1 of each individual j, column-major
    double log_det_V = 0.0;
    Eigen::MatrixXd C_inverse;  // t p x t p, trait-major: (X'V^-1 X)^-1
    double log_det_C = 0.0;
    Eigen::MatrixXd B;   // p x t
    Eigen::MatrixXd R;   // q x t: Y - X B
    Eigen::MatrixXd PY;  // q x t: P y
    std::string problem;
};

RotatedTraitsEvaluator::RotatedTraitsEvaluator(const ReducedKinship& eigen_form, const Eigen::MatrixXd& X,
                                               const Eigen::MatrixXd& Y, double residual_limit,
                                               const std::vector<std::vector<Eigen::Index>>& trait_columns)
    : TraitEvaluator(Y.cols(), Y.rows(), residual_limit), eigen_form_(eigen_form) {
    if (!trait_columns.empty()) {
        if (static_cast<Eigen::Index>(trait_columns.size()) != Y.cols()) {
            throw std::invalid_argument("The rotated evaluator needs the columns of every trait.");
        }
        for (std::size_t a = 0; a < trait_columns.size(); ++a) {
            for (const Eigen::Index j : trait_columns[a]) {
                selected_.push_back(static_cast<Eigen::Index>(a) * X.cols() + j);
            }
        }
    }
    if (X.rows() != Y.rows() || eigen_form.eigenvalues.size() != Y.rows() || !Y.allFinite()) {
        throw std::invalid_argument("The rotated evaluator needs X, Y and the kinship of the same individuals, every "
                                    "trait recorded.");
    }
    Eigen::MatrixXd columns(X.rows(), X.cols() + Y.cols());
    columns << X, Y;
    columns = rotate_to_reduced(eigen_form, std::move(columns));
    X_ = columns.leftCols(X.cols());
    Y_ = columns.rightCols(Y.cols());
}

bool RotatedTraitsEvaluator::factor(const Eigen::VectorXd& theta, Factors& f) const {
    const Eigen::Index t = layout_.traits, q = Y_.rows(), p = X_.cols();
    const Eigen::MatrixXd G = layout_.genetic(theta), R = layout_.residual(theta);
    const Eigen::VectorXd& d = eigen_form_.eigenvalues;
    f.W.resize(t * t, q);
    f.log_det_V = 0.0;
    for (Eigen::Index j = 0; j < q; ++j) {
        const Small V = d[j] * G + R;
        const Eigen::LLT<Small> chol(V);
        if (chol.info() != Eigen::Success || !V.allFinite()) {
            f.problem = kNotPositiveDefinite;
            return false;
        }
        f.log_det_V += 2.0 * chol.matrixLLT().diagonal().array().log().sum();
        const Small inverse = chol.solve(Small::Identity(t, t));
        f.W.col(j) = Eigen::Map<const Eigen::VectorXd>(inverse.data(), t * t);
    }
    if (!std::isfinite(f.log_det_V)) {
        f.problem = kNotPositiveDefinite;
        return false;
    }
    // C = sum_j V_j^-1 (x) x_j x_j' and X'V^-1 y, block by block of traits.
    Eigen::MatrixXd C(t * p, t * p);
    Eigen::MatrixXd WY(q, t);
    for (Eigen::Index a = 0; a < t; ++a) {
        WY.col(a).setZero();
        for (Eigen::Index b = 0; b < t; ++b) {
            WY.col(a).array() += f.W.row(a + b * t).transpose().array() * Y_.col(b).array();
            if (b <= a) {
                const Eigen::MatrixXd weighted = X_.array().colwise() * f.W.row(a + b * t).transpose().array();
                C.block(a * p, b * p, p, p) = X_.transpose() * weighted;
                C.block(b * p, a * p, p, p) = C.block(a * p, b * p, p, p).transpose();
            }
        }
    }
    Eigen::VectorXd right(t * p);
    for (Eigen::Index a = 0; a < t; ++a) {
        right.segment(a * p, p) = X_.transpose() * WY.col(a);
    }
    if (selected_.empty()) {
        if (!invert_fixed(C, f.C_inverse, f.log_det_C)) {
            f.problem = kFixedEffectsSingular;
            return false;
        }
    } else {
        // The pairs not estimated: zero rows and columns of C^-1, so that they stay at 0.
        Eigen::MatrixXd inverse;
        if (!invert_fixed(C(selected_, selected_), inverse, f.log_det_C)) {
            f.problem = kFixedEffectsSingular;
            return false;
        }
        f.C_inverse = Eigen::MatrixXd::Zero(t * p, t * p);
        f.C_inverse(selected_, selected_) = inverse;
    }
    const Eigen::VectorXd beta = f.C_inverse * right;
    f.B = Eigen::Map<const Eigen::MatrixXd>(beta.data(), p, t);
    f.R = Y_ - X_ * f.B;
    f.PY.resize(q, t);
    for (Eigen::Index a = 0; a < t; ++a) {
        f.PY.col(a).setZero();
        for (Eigen::Index b = 0; b < t; ++b) {
            f.PY.col(a).array() += f.W.row(a + b * t).transpose().array() * f.R.col(b).array();
        }
    }
    return true;
}

LikelihoodPoint RotatedTraitsEvaluator::evaluate(const Eigen::VectorXd& theta) const {
    const Eigen::Index t = layout_.traits, q = Y_.rows(), p = X_.cols(), count = layout_.count();
    const Eigen::Index half = layout_.genetic_count();
    Factors f;
    if (!factor(theta, f)) {
        return not_finite(count, f.problem);
    }
    const double yPy = (f.R.array() * f.PY.array()).sum();
    const double log_likelihood = -0.5 * (f.log_det_V + f.log_det_C + yPy);

    // The diagonal blocks of P: V_j^-1 - V_j^-1 H_j V_j^-1 with H_j(a, b) = x_j' C^-1_ab x_j.
    Eigen::MatrixXd H(t * t, q);
    for (Eigen::Index a = 0; a < t; ++a) {
        for (Eigen::Index b = 0; b <= a; ++b) {
            const Eigen::MatrixXd XC = X_ * f.C_inverse.block(a * p, b * p, p, p);
            H.row(a + b * t) = (XC.array() * X_.array()).rowwise().sum().transpose();
            H.row(b + a * t) = H.row(a + b * t);
        }
    }
    Eigen::MatrixXd P_blocks(t * t, q);
    for (Eigen::Index j = 0; j < q; ++j) {
        const Small W = Eigen::Map<const Small>(f.W.col(j).data(), t, t);
        const Small Hj = Eigen::Map<const Small>(H.col(j).data(), t, t);
        const Small P = W - W * Hj * W;
        P_blocks.col(j) = Eigen::Map<const Eigen::VectorXd>(P.data(), t * t);
    }

    // F: column k holds V_k P y as q x t, column-major; V^-1 F per individual, X'V^-1 F.
    const Eigen::VectorXd& d = eigen_form_.eigenvalues;
    Eigen::MatrixXd F = Eigen::MatrixXd::Zero(q * t, count), WF(q * t, count), G(t * p, count);
    Eigen::VectorXd quadratic(count), traces(count);
    for (Eigen::Index k = 0; k < count; ++k) {
        const auto [a, b] = layout_.element(k);
        const bool genetic = k < half;
        Eigen::Map<Eigen::MatrixXd> Fk(F.col(k).data(), q, t);
        const Eigen::ArrayXd weight = genetic ? Eigen::ArrayXd(d.array()) : Eigen::ArrayXd::Ones(q);
        Fk.col(a).array() += weight * f.PY.col(b).array();
        if (a != b) {
            Fk.col(b).array() += weight * f.PY.col(a).array();
        }
        quadratic[k] = (Fk.array() * f.PY.array()).sum();
        traces[k] = (a == b ? 1.0 : 2.0) * (weight * P_blocks.row(a + b * t).transpose().array()).sum();
        Eigen::Map<Eigen::MatrixXd> WFk(WF.col(k).data(), q, t);
        for (Eigen::Index c = 0; c < t; ++c) {
            WFk.col(c).setZero();
            for (Eigen::Index e = 0; e < t; ++e) {
                WFk.col(c).array() += f.W.row(c + e * t).transpose().array() * Fk.col(e).array();
            }
            G.block(c * p, k, p, 1) = X_.transpose() * WFk.col(c);
        }
    }
    return finish(log_likelihood, quadratic, traces, F.transpose() * WF, G, f.C_inverse);
}

TraitSolution RotatedTraitsEvaluator::solve(const Eigen::VectorXd& theta) const {
    const Eigen::Index t = layout_.traits, p = X_.cols();
    TraitSolution solution;
    auto f = std::make_shared<Factors>();
    if (!factor(theta, *f)) {
        solution.problem = f->problem;
        return solution;
    }
    solution.beta = f->B;
    for (Eigen::Index a = 0; a < t; ++a) {
        solution.beta_covariance.push_back(f->C_inverse.block(a * p, a * p, p, p));
    }
    solution.Py = rotate_from_reduced(eigen_form_, f->PY);
    solution.finite = solution.beta.allFinite() && solution.Py.allFinite();
    // g_b = X'V^-1 (e_b (x) k~) for rotated columns k~ = U' k, each t p x w.
    const auto products = [this, f, t, p](const Eigen::MatrixXd& rotated) {
        std::vector<Eigen::MatrixXd> g(static_cast<std::size_t>(t), Eigen::MatrixXd(t * p, rotated.cols()));
        for (Eigen::Index b = 0; b < t; ++b) {
            for (Eigen::Index a = 0; a < t; ++a) {
                g[static_cast<std::size_t>(b)].middleRows(a * p, p) =
                    X_.transpose() * (rotated.array().colwise() * f->W.row(a + b * t).transpose().array()).matrix();
            }
        }
        return g;
    };
    solution.group_terms = [this, f, t, p, products](const Eigen::MatrixXd& columns, const Eigen::MatrixXd& shifts,
                                                     const Eigen::MatrixXd& genetic) {
        const std::vector<Eigen::MatrixXd> g = products(rotate_to_reduced(eigen_form_, columns));
        const Eigen::Index w = columns.cols();
        Eigen::MatrixXd terms(t, w);
        for (Eigen::Index a = 0; a < t; ++a) {
            Eigen::MatrixXd cross = Eigen::MatrixXd::Zero(p, w);  // trait a's rows of C X'V^-1 sum_b ... Vg(b, a)
            for (Eigen::Index b = 0; b < t; ++b) {
                cross += genetic(b, a) * (f->C_inverse.middleRows(a * p, p) * g[static_cast<std::size_t>(b)]);
            }
            const Eigen::MatrixXd C_aa = f->C_inverse.block(a * p, a * p, p, p);
            terms.row(a) = ((C_aa * shifts).array() * shifts.array()).colwise().sum() -
                           2.0 * (cross.array() * shifts.array()).colwise().sum();
        }
        return terms;
    };
    solution.kinship_forms = [this, f, t, products](const Eigen::MatrixXd& columns) {
        // In the eigenvector basis: F(b, c) = sum_j k~_j^2 V_j^-1(b, c) - g_b' C^-1 g_c with
        // g_b = X'V^-1 (e_b (x) k~), k~ = U' k.
        const Eigen::MatrixXd rotated = rotate_to_reduced(eigen_form_, columns);
        const Eigen::MatrixXd squared = rotated.array().square().matrix();
        const Eigen::Index w = columns.cols();
        const std::vector<Eigen::MatrixXd> g = products(rotated);
        Eigen::MatrixXd forms(t * t, w);
        for (Eigen::Index b = 0; b < t; ++b) {
            const Eigen::MatrixXd Cg = f->C_inverse * g[static_cast<std::size_t>(b)];
            for (Eigen::Index c = 0; c <= b; ++c) {
                const Eigen::RowVectorXd value =
                    f->W.row(b + c * t) * squared -
                    (g[static_cast<std::size_t>(c)].array() * Cg.array()).colwise().sum().matrix();
                forms.row(b + c * t) = value;
                forms.row(c + b * t) = value;
            }
        }
        return forms;
    };
    return solution;
}

// ---- Any pattern of missing values: dense over the values present --------------------------

struct DenseTraitsEvaluator::Factors {
    Eigen::MatrixXd V_inverse;  // lower triangle
    double log_det_V = 0.0;
    Eigen::MatrixXd VX;  // V^-1 Xo
    Eigen::MatrixXd C_inverse;
    double log_det_C = 0.0;
    Eigen::VectorXd beta;
    Eigen::VectorXd Py;
    std::string problem;
};

namespace {

// C = A B for the symmetric A given by its lower triangle (BLAS dsymm).
Eigen::MatrixXd symmetric_product(const Eigen::MatrixXd& A, const Eigen::MatrixXd& B) {
    Eigen::MatrixXd C(A.rows(), B.cols());
    if (C.size() > 0) {
        cblas_dsymm(CblasColMajor, CblasLeft, CblasLower, static_cast<int>(A.rows()), static_cast<int>(B.cols()), 1.0,
                    A.data(), static_cast<int>(A.rows()), B.data(), static_cast<int>(B.rows()), 0.0, C.data(),
                    static_cast<int>(C.rows()));
    }
    return C;
}

}  // namespace

std::vector<Eigen::Index> class_sizes(const std::vector<Eigen::Index>& classes) {
    std::vector<Eigen::Index> sizes;
    for (const Eigen::Index c : classes) {
        if (c < 0) throw std::invalid_argument("A residual class is numbered from 0.");
        if (static_cast<std::size_t>(c) >= sizes.size()) sizes.resize(static_cast<std::size_t>(c) + 1, 0);
        ++sizes[static_cast<std::size_t>(c)];
    }
    return sizes.size() > 1 ? sizes : std::vector<Eigen::Index>{};
}

DenseTraitsEvaluator::DenseTraitsEvaluator(Eigen::MatrixXd K, const Eigen::MatrixXd& X, const Eigen::MatrixXd& Y,
                                           double residual_limit,
                                           const std::vector<std::vector<Eigen::Index>>& trait_columns,
                                           const Eigen::VectorXd& weights, const std::vector<Eigen::Index>& classes)
    : TraitEvaluator(Y.cols(), Y.rows(), residual_limit, class_sizes(classes)), K_(std::move(K)), p_(X.cols()) {
    const Eigen::Index t = Y.cols(), q = Y.rows();
    if (X.rows() != q || K_.rows() != q || K_.cols() != q || (weights.size() != 0 && weights.size() != q) ||
        (!classes.empty() && static_cast<Eigen::Index>(classes.size()) != q)) {
        throw std::invalid_argument("The dense evaluator of several traits needs X, Y and K of the same individuals.");
    }
    class_ = classes.empty() ? std::vector<Eigen::Index>(static_cast<std::size_t>(q), 0) : classes;
    // One class given: every individual is in it.
    if (layout_.residual_classes == 1) std::fill(class_.begin(), class_.end(), 0);
    rows_.resize(static_cast<std::size_t>(t));
    Eigen::Index values = 0;
    for (Eigen::Index a = 0; a < t; ++a) {
        offset_.push_back(values);
        for (Eigen::Index j = 0; j < q; ++j) {
            if (!std::isnan(Y(j, a))) {
                rows_[static_cast<std::size_t>(a)].push_back(j);
            }
        }
        values += static_cast<Eigen::Index>(rows_[static_cast<std::size_t>(a)].size());
    }
    if (!fits_lapack(values)) {
        throw RunFailure(std::to_string(values) + " trait values are more than the " +
                         std::to_string(kLargestLapackOrder) + " that the matrix decomposition can index.");
    }
    y_.resize(values);
    inverse_weight_ = Eigen::VectorXd::Ones(values);
    Eigen::Index columns = 0;
    std::vector<Eigen::Index> in_order(static_cast<std::size_t>(p_));
    for (Eigen::Index c = 0; c < p_; ++c) {
        in_order[static_cast<std::size_t>(c)] = c;
    }
    for (Eigen::Index a = 0; a < t; ++a) {
        const std::vector<Eigen::Index>& rows = rows_[static_cast<std::size_t>(a)];
        for (std::size_t i = 0; i < rows.size(); ++i) {
            y_[offset_[static_cast<std::size_t>(a)] + static_cast<Eigen::Index>(i)] = Y(rows[i], a);
            if (weights.size() != 0) {
                inverse_weight_[offset_[static_cast<std::size_t>(a)] + static_cast<Eigen::Index>(i)] = 1.0 / weights[rows[i]];
            }
        }
        kept_.push_back(independent_columns(X(rows, Eigen::all),
                                            trait_columns.empty() ? in_order : trait_columns.at(static_cast<std::size_t>(a))));
        columns += static_cast<Eigen::Index>(kept_.back().size());
    }
    Xo_ = Eigen::MatrixXd::Zero(values, columns);
    for (Eigen::Index a = 0, column = 0; a < t; ++a) {
        const std::vector<Eigen::Index>& rows = rows_[static_cast<std::size_t>(a)];
        const std::vector<Eigen::Index>& kept = kept_[static_cast<std::size_t>(a)];
        Xo_.block(offset_[static_cast<std::size_t>(a)], column, static_cast<Eigen::Index>(rows.size()),
                  static_cast<Eigen::Index>(kept.size())) = X(rows, kept);
        column += static_cast<Eigen::Index>(kept.size());
    }
    shared_.resize(static_cast<std::size_t>(t));
    for (Eigen::Index a = 0; a < t; ++a) {
        shared_[static_cast<std::size_t>(a)].resize(static_cast<std::size_t>(a));
        for (Eigen::Index b = 0; b < a; ++b) {
            std::unordered_map<Eigen::Index, Eigen::Index> value_of;
            const std::vector<Eigen::Index>& rows_b = rows_[static_cast<std::size_t>(b)];
            for (std::size_t j = 0; j < rows_b.size(); ++j) {
                value_of.emplace(rows_b[j], static_cast<Eigen::Index>(j));
            }
            const std::vector<Eigen::Index>& rows_a = rows_[static_cast<std::size_t>(a)];
            for (std::size_t i = 0; i < rows_a.size(); ++i) {
                const auto found = value_of.find(rows_a[i]);
                if (found != value_of.end()) {
                    shared_[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)].emplace_back(
                        static_cast<Eigen::Index>(i), found->second);
                }
            }
        }
    }
}

std::vector<TraitPairs> DenseTraitsEvaluator::unshared_pairs() const {
    std::vector<TraitPairs> pairs(static_cast<std::size_t>(layout_.residual_classes));
    for (Eigen::Index a = 0; a < layout_.traits; ++a) {
        const std::vector<Eigen::Index>& rows_a = rows_[static_cast<std::size_t>(a)];
        for (Eigen::Index b = 0; b < a; ++b) {
            std::vector<bool> shared(pairs.size(), false);
            for (const auto& [i, j] : shared_[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)]) {
                shared[static_cast<std::size_t>(class_[static_cast<std::size_t>(rows_a[static_cast<std::size_t>(i)])])] = true;
            }
            for (std::size_t c = 0; c < pairs.size(); ++c) {
                if (!shared[c]) pairs[c].emplace_back(a, b);
            }
        }
    }
    return pairs;
}

bool DenseTraitsEvaluator::factor(const Eigen::VectorXd& theta, Factors& f) const {
    const Eigen::Index t = layout_.traits, n = y_.size();
    const Eigen::MatrixXd G = layout_.genetic(theta);
    std::vector<Eigen::MatrixXd> R;
    for (Eigen::Index c = 0; c < layout_.residual_classes; ++c) {
        R.push_back(layout_.residual(theta, c));
        if (!R.back().allFinite()) {
            f.problem = kNotPositiveDefinite;
            return false;
        }
    }
    if (!G.allFinite()) {
        f.problem = kNotPositiveDefinite;
        return false;
    }
    const auto residual_of = [&](Eigen::Index individual) -> const Eigen::MatrixXd& {
        return R[static_cast<std::size_t>(class_[static_cast<std::size_t>(individual)])];
    };
    // The lower triangle of V, block (a, b) of the values of traits a >= b.
    Eigen::MatrixXd& V = f.V_inverse;
    V.resize(n, n);
    for (Eigen::Index a = 0; a < t; ++a) {
        const std::vector<Eigen::Index>& rows_a = rows_[static_cast<std::size_t>(a)];
        const Eigen::Index off_a = offset_[static_cast<std::size_t>(a)];
        for (Eigen::Index b = 0; b <= a; ++b) {
            const std::vector<Eigen::Index>& rows_b = rows_[static_cast<std::size_t>(b)];
            const Eigen::Index off_b = offset_[static_cast<std::size_t>(b)];
            const double genetic = G(a, b);
#pragma omp parallel for schedule(static)
            for (Eigen::Index j = 0; j < static_cast<Eigen::Index>(rows_b.size()); ++j) {
                const Eigen::Index first = a == b ? j : 0;
                const Eigen::Index column = rows_b[static_cast<std::size_t>(j)];
                for (Eigen::Index i = first; i < static_cast<Eigen::Index>(rows_a.size()); ++i) {
                    V(off_a + i, off_b + j) = genetic * K_(rows_a[static_cast<std::size_t>(i)], column);
                }
            }
            const auto n_a = static_cast<Eigen::Index>(rows_a.size());
            if (a == b) {
                for (Eigen::Index i = 0; i < n_a; ++i) {
                    V(off_a + i, off_a + i) +=
                        residual_of(rows_a[static_cast<std::size_t>(i)])(a, a) * inverse_weight_[off_a + i];
                }
            } else {
                for (const auto& [i, j] : shared_[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)]) {
                    V(off_a + i, off_b + j) +=
                        residual_of(rows_a[static_cast<std::size_t>(i)])(a, b) * inverse_weight_[off_a + i];
                }
            }
        }
    }
    const int order = static_cast<int>(n);
    int info = 0;
    if (n > 0) {
        dpotrf_("L", &order, V.data(), &order, &info, 1);
    }
    if (info != 0) {
        f.problem = kNotPositiveDefinite;
        return false;
    }
    f.log_det_V = 2.0 * V.diagonal().array().log().sum();
    if (n > 0) {
        dpotri_("L", &order, V.data(), &order, &info, 1);
    }
    if (info != 0 || !std::isfinite(f.log_det_V)) {
        f.problem = kNotPositiveDefinite;
        return false;
    }
    f.VX = symmetric_product(f.V_inverse, Xo_);
    if (!invert_fixed(Xo_.transpose() * f.VX, f.C_inverse, f.log_det_C)) {
        f.problem = kFixedEffectsSingular;
        return false;
    }
    f.beta = f.C_inverse * (f.VX.transpose() * y_);
    f.Py = symmetric_product(f.V_inverse, y_) - f.VX * f.beta;
    return true;
}

LikelihoodPoint DenseTraitsEvaluator::evaluate(const Eigen::VectorXd& theta) const {
    const Eigen::Index t = layout_.traits, n = y_.size(), count = layout_.count(), q = K_.rows();
    const Eigen::Index half = layout_.genetic_count();
    Factors f;
    if (!factor(theta, f)) {
        return not_finite(count, f.problem);
    }
    const Eigen::MatrixXd& Vi = f.V_inverse;  // lower triangle
    const double log_likelihood = -0.5 * (f.log_det_V + f.log_det_C + y_.dot(f.Py));
    auto segment = [&](const Eigen::VectorXd& v, Eigen::Index a) {
        return v.segment(offset_[static_cast<std::size_t>(a)],
                         static_cast<Eigen::Index>(rows_[static_cast<std::size_t>(a)].size()));
    };
    // K S_b' w for the values of each trait b: of P y, and of V^-1 X.
    Eigen::MatrixXd KPy(q, t);
    std::vector<Eigen::MatrixXd> KVX(static_cast<std::size_t>(t));
    for (Eigen::Index b = 0; b < t; ++b) {
        const std::vector<Eigen::Index>& rows = rows_[static_cast<std::size_t>(b)];
        const auto size = static_cast<Eigen::Index>(rows.size());
        const Eigen::MatrixXd K_b = K_(Eigen::all, rows);
        KPy.col(b) = K_b * segment(f.Py, b);
        KVX[static_cast<std::size_t>(b)] = K_b * f.VX.middleRows(offset_[static_cast<std::size_t>(b)], size);
    }

    Eigen::MatrixXd F = Eigen::MatrixXd::Zero(n, count);
    Eigen::VectorXd quadratic(count), traces(count);
    for (Eigen::Index k = 0; k < count; ++k) {
        const auto [a, b] = layout_.element(k);
        const std::vector<Eigen::Index>& rows_a = rows_[static_cast<std::size_t>(a)];
        const std::vector<Eigen::Index>& rows_b = rows_[static_cast<std::size_t>(b)];
        const Eigen::Index off_a = offset_[static_cast<std::size_t>(a)], off_b = offset_[static_cast<std::size_t>(b)];
        const auto n_a = static_cast<Eigen::Index>(rows_a.size()), n_b = static_cast<Eigen::Index>(rows_b.size());
        Eigen::MatrixXd XVVX(f.VX.cols(), f.VX.cols());  // (V^-1 X)' V_k (V^-1 X)
        double trace_V = 0.0;                            // tr(V^-1 V_k)
        if (k < half) {
            // V_k = S_a K S_b' (+ its transpose): the values of trait a take K S_b' of trait b's.
            F.col(k).segment(off_a, n_a) += KPy.col(b)(rows_a);
            if (a != b) {
                F.col(k).segment(off_b, n_b) += KPy.col(a)(rows_b);
            }
            const Eigen::MatrixXd M =
                f.VX.middleRows(off_a, n_a).transpose() * KVX[static_cast<std::size_t>(b)](rows_a, Eigen::all);
            XVVX = a == b ? M : Eigen::MatrixXd(M + M.transpose());
            double sum = 0.0;
            const bool diagonal_block = a == b;  // a structured binding cannot enter the parallel region
#pragma omp parallel for reduction(+ : sum) schedule(static)
            for (Eigen::Index j = 0; j < n_b; ++j) {
                const Eigen::Index column = rows_b[static_cast<std::size_t>(j)];
                const Eigen::Index first = diagonal_block ? j : 0;
                for (Eigen::Index i = first; i < n_a; ++i) {
                    // Within the diagonal block the lower triangle counts twice, its diagonal once.
                    const double weight = (diagonal_block && i == j) ? 1.0 : 2.0;
                    sum += weight * Vi(off_a + i, off_b + j) * K_(rows_a[static_cast<std::size_t>(i)], column);
                }
            }
            trace_V = sum;
        } else if (a == b) {
            // V_k = diag(1 / w) over the values of trait a of the component's class.
            const Eigen::Index c = layout_.residual_class(k);
            Eigen::VectorXd inverse_weight = inverse_weight_.segment(off_a, n_a);
            for (Eigen::Index i = 0; i < n_a; ++i) {
                if (class_[static_cast<std::size_t>(rows_a[static_cast<std::size_t>(i)])] != c) inverse_weight[i] = 0.0;
            }
            F.col(k).segment(off_a, n_a) = segment(f.Py, a).cwiseProduct(inverse_weight);
            const auto VX_a = f.VX.middleRows(off_a, n_a);
            XVVX = VX_a.transpose() * inverse_weight.asDiagonal() * VX_a;
            trace_V = Vi.diagonal().segment(off_a, n_a).dot(inverse_weight);
        } else {
            Eigen::MatrixXd M = Eigen::MatrixXd::Zero(f.VX.cols(), f.VX.cols());
            const Eigen::Index c = layout_.residual_class(k);
            for (const auto& [i, j] : shared_[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)]) {
                if (class_[static_cast<std::size_t>(rows_a[static_cast<std::size_t>(i)])] != c) continue;
                const double inverse_weight = inverse_weight_[off_a + i];
                F(off_a + i, k) += inverse_weight * f.Py[off_b + j];
                F(off_b + j, k) += inverse_weight * f.Py[off_a + i];
                M += inverse_weight * f.VX.row(off_a + i).transpose() * f.VX.row(off_b + j);
                trace_V += 2.0 * inverse_weight * Vi(off_a + i, off_b + j);
            }
            XVVX = M + M.transpose();
        }
        quadratic[k] = F.col(k).dot(f.Py);
        traces[k] = trace_V - (f.C_inverse.array() * XVVX.array()).sum();
    }
    const Eigen::MatrixXd VF = symmetric_product(Vi, F);
    return finish(log_likelihood, quadratic, traces, F.transpose() * VF, f.VX.transpose() * F, f.C_inverse);
}

TraitSolution DenseTraitsEvaluator::solve(const Eigen::VectorXd& theta) const {
    const Eigen::Index t = layout_.traits;
    TraitSolution solution;
    auto f = std::make_shared<Factors>();
    if (!factor(theta, *f)) {
        solution.problem = f->problem;
        return solution;
    }
    solution.beta = Eigen::MatrixXd::Zero(p_, t);
    solution.Py = Eigen::MatrixXd::Zero(K_.rows(), t);
    for (Eigen::Index a = 0, column = 0; a < t; ++a) {
        const std::vector<Eigen::Index>& kept = kept_[static_cast<std::size_t>(a)];
        const auto width = static_cast<Eigen::Index>(kept.size());
        Eigen::MatrixXd covariance = Eigen::MatrixXd::Zero(p_, p_);
        for (Eigen::Index i = 0; i < width; ++i) {
            solution.beta(kept[static_cast<std::size_t>(i)], a) = f->beta[column + i];
            for (Eigen::Index j = 0; j < width; ++j) {
                covariance(kept[static_cast<std::size_t>(i)], kept[static_cast<std::size_t>(j)]) =
                    f->C_inverse(column + i, column + j);
            }
        }
        solution.beta_covariance.push_back(covariance);
        column += width;
        const std::vector<Eigen::Index>& rows = rows_[static_cast<std::size_t>(a)];
        for (std::size_t i = 0; i < rows.size(); ++i) {
            solution.Py(rows[i], a) = f->Py[offset_[static_cast<std::size_t>(a)] + static_cast<Eigen::Index>(i)];
        }
    }
    solution.finite = solution.beta.allFinite() && solution.Py.allFinite();
    // The values' columns S_b k_i (trait b's values take k at their individuals), n x t w.
    const auto spread_of = [this, t](const Eigen::MatrixXd& columns) {
        const Eigen::Index w = columns.cols();
        Eigen::MatrixXd spread = Eigen::MatrixXd::Zero(y_.size(), t * w);
        for (Eigen::Index b = 0; b < t; ++b) {
            const std::vector<Eigen::Index>& rows = rows_[static_cast<std::size_t>(b)];
            spread.block(offset_[static_cast<std::size_t>(b)], b * w, static_cast<Eigen::Index>(rows.size()), w) =
                columns(rows, Eigen::all);
        }
        return spread;
    };
    solution.group_terms = [this, f, t, spread_of](const Eigen::MatrixXd& columns, const Eigen::MatrixXd& shifts,
                                                   const Eigen::MatrixXd& genetic) {
        const Eigen::Index w = columns.cols();
        const Eigen::MatrixXd Cg = f->C_inverse * (f->VX.transpose() * spread_of(columns));
        Eigen::MatrixXd terms(t, w);
        for (Eigen::Index a = 0, first = 0; a < t; ++a) {
            // Trait a's shift over its estimated columns, in the stacked coefficients.
            const std::vector<Eigen::Index>& kept = kept_[static_cast<std::size_t>(a)];
            Eigen::MatrixXd stacked = Eigen::MatrixXd::Zero(f->C_inverse.rows(), w);
            stacked.middleRows(first, static_cast<Eigen::Index>(kept.size())) = shifts(kept, Eigen::all);
            first += static_cast<Eigen::Index>(kept.size());
            Eigen::MatrixXd cross = Eigen::MatrixXd::Zero(stacked.rows(), w);
            for (Eigen::Index b = 0; b < t; ++b) {
                cross += genetic(b, a) * Cg.middleCols(b * w, w);
            }
            terms.row(a) = ((f->C_inverse * stacked).array() * stacked.array()).colwise().sum() -
                           2.0 * (cross.array() * stacked.array()).colwise().sum();
        }
        return terms;
    };
    solution.kinship_forms = [f, t, spread_of](const Eigen::MatrixXd& columns) {
        // c'P c' = c'V^-1 c' - (X'V^-1 c)' C^-1 (X'V^-1 c').
        const Eigen::Index w = columns.cols();
        const Eigen::MatrixXd spread = spread_of(columns);
        const Eigen::MatrixXd Vc = symmetric_product(f->V_inverse, spread);
        const Eigen::MatrixXd g = f->VX.transpose() * spread;
        const Eigen::MatrixXd Cg = f->C_inverse * g;
        Eigen::MatrixXd forms(t * t, w);
        for (Eigen::Index b = 0; b < t; ++b) {
            for (Eigen::Index c = 0; c <= b; ++c) {
                const Eigen::RowVectorXd value =
                    (spread.middleCols(b * w, w).array() * Vc.middleCols(c * w, w).array()).colwise().sum() -
                    (g.middleCols(b * w, w).array() * Cg.middleCols(c * w, w).array()).colwise().sum();
                forms.row(b + c * t) = value;
                forms.row(c + b * t) = value;
            }
        }
        return forms;
    };
    return solution;
}
