#include "mixed_model/sparse_reml.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

namespace {

using Triplet = Eigen::Triplet<double, std::int64_t>;

// A variance at 0 leaves K^-1 / s2 without a value: the equations take this share of the
// residual variance instead, which moves the log-likelihood and its derivatives by far less than
// their rounding.
constexpr double kZeroVarianceShare = 1e-10;
// A block's G0^-1 enters the score against G0^-1 (T + S) G0^-1, which cancel: a block keeps its
// eigenvalues above this share of the records' variance, so that the difference keeps its digits.
constexpr double kSingularBlockShare = 1e-6;

// The position in `total` (compressed, sorted columns) of every non-zero of `part`, whose pattern
// is part of total's.
std::vector<std::int64_t> positions_in(const SparseLower& total, const SparseLower& part) {
    std::vector<std::int64_t> positions;
    positions.reserve(static_cast<std::size_t>(part.nonZeros()));
    for (Index j = 0; j < part.outerSize(); ++j) {
        const std::int64_t* begin = total.innerIndexPtr() + total.outerIndexPtr()[j];
        const std::int64_t* end = total.innerIndexPtr() + total.outerIndexPtr()[j + 1];
        for (SparseLower::InnerIterator it(part, j); it; ++it) {
            positions.push_back(std::lower_bound(begin, end, it.row()) - total.innerIndexPtr());
        }
    }
    return positions;
}

// `part`'s values spread over total's pattern (0 elsewhere).
VectorXd aligned(const SparseLower& total, const SparseLower& part) {
    VectorXd values = VectorXd::Zero(total.nonZeros());
    const std::vector<std::int64_t> positions = positions_in(total, part);
    for (std::size_t k = 0; k < positions.size(); ++k) values[positions[k]] += part.valuePtr()[k];
    return values;
}

}  // namespace

SparseEquations::SparseEquations(const MatrixXd& X_, const VectorXd& y_, std::vector<SparseTerm> terms_,
                                 ResidualStructure residual, RecordTraits record_traits, bool compact)
    : X(X_), y(y_), terms(std::move(terms_)), weights(std::move(residual.weights)),
      class_of_record(std::move(residual.class_of_record)), classes(std::max<Index>(residual.classes, 1)) {
    n = y.size();
    const double spread = n > 1 ? (y.array() - y.mean()).square().sum() / static_cast<double>(n - 1) : 0.0;
    block_floor = kSingularBlockShare * (spread > 0.0 ? spread : 1.0);
    set_up_traits(std::move(record_traits));
    p = X.cols();
    class_sizes.assign(static_cast<std::size_t>(classes), 0);
    for (Index r = 0; r < n; ++r) {
        ++class_sizes[static_cast<std::size_t>(class_of(r))];
        log_weights += std::log(weight(r));
    }
    order = p;
    for (std::size_t k = 0; k < terms.size(); ++k) {
        offsets.push_back(order);
        first_component.push_back(residual_offset);
        order += terms[k].levels * parts_of(k);
        residual_offset += parts_of(k) * (parts_of(k) + 1) / 2;
    }
    assemble();
    if (!compact) spread_parts();
}

void SparseEquations::spread_parts() {
    for (const SparseLower& part : compact_parts) parts.push_back(aligned(C, part));
    compact_parts = {};
}

namespace {

// Every (equation, coefficient) of record r in the random terms' columns of M.
template <typename Visit>
void for_each_incidence(const SparseEquations& e, Index r, Visit visit) {
    for (std::size_t k = 0; k < e.terms.size(); ++k) {
        const std::vector<SparsePart>& parts = e.terms[k].parts;
        for (std::size_t a = 0; a < parts.size(); ++a) {
            const Index level = parts[a].level_of_record[static_cast<std::size_t>(r)];
            if (level < 0) continue;
            visit(e.equation(k, level, static_cast<Index>(a)),
                  parts[a].covariate.size() == 0 ? 1.0 : parts[a].covariate[r]);
        }
    }
}

// A block's element (a, b) enters the score and the traces twice off the diagonal.
double multiplicity(Index a, Index b) { return a == b ? 1.0 : 2.0; }

// The symmetric matrix of a block's components (lower triangle row by row) from `values` at `first`.
MatrixXd block_matrix(const VectorXd& values, Index first, Index size) {
    MatrixXd M(size, size);
    for (Index a = 0; a < size; ++a) {
        for (Index b = 0; b <= a; ++b) M(a, b) = M(b, a) = values[first + CovarianceSpace::position(a, b)];
    }
    return M;
}

}  // namespace

MatrixXd SparseEquations::block(std::size_t k, const VectorXd& values) const {
    return block_matrix(values, first_component[k], parts_of(k));
}

void SparseEquations::set_up_traits(RecordTraits record_traits) {
    traits = std::max<Index>(record_traits.traits, 1);
    if (!several_traits()) return;
    Index groups = 0;
    for (const Index g : record_traits.group_of_record) groups = std::max(groups, g + 1);
    group_records.assign(static_cast<std::size_t>(groups), {});
    for (Index r = 0; r < n; ++r) group_records[static_cast<std::size_t>(record_traits.group_of_record[static_cast<std::size_t>(r)])].push_back(r);
    // A pattern is a residual class and the traits recorded together in it.
    std::vector<std::vector<Index>> pattern_of_mask(static_cast<std::size_t>(classes));
    const auto trait_of = [&](Index r) { return record_traits.trait_of_record[static_cast<std::size_t>(r)]; };
    for (std::vector<Index>& records : group_records) {
        std::sort(records.begin(), records.end(), [&](Index a, Index b) { return trait_of(a) < trait_of(b); });
        std::size_t mask = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (i > 0 && trait_of(records[i]) == trait_of(records[i - 1])) {
                throw std::invalid_argument("an individual has two records of one trait");
            }
            if (class_of(records[i]) != class_of(records.front()) || weight(records[i]) != weight(records.front())) {
                throw std::invalid_argument("an individual's records have two residual classes or weights");
            }
            mask |= std::size_t{1} << trait_of(records[i]);
        }
        if (mask == 0) {
            pattern_of_group.push_back(-1);
            continue;
        }
        const Index c = class_of(records.front());
        std::vector<Index>& of_mask = pattern_of_mask[static_cast<std::size_t>(c)];
        if (of_mask.size() <= mask) of_mask.resize(mask + 1, -1);
        if (of_mask[mask] < 0) {
            of_mask[mask] = static_cast<Index>(patterns.size());
            Pattern pattern;
            for (const Index r : records) pattern.traits.push_back(trait_of(r));
            pattern.residual_class = c;
            patterns.push_back(std::move(pattern));
        }
        pattern_of_group.push_back(of_mask[mask]);
        ++patterns[static_cast<std::size_t>(of_mask[mask])].groups;
    }
}

Index SparseEquations::residual_component(const Pattern& pattern, Index i, Index j) const {
    return residual_offset + pattern.residual_class * traits * (traits + 1) / 2 +
           CovarianceSpace::position(pattern.traits[static_cast<std::size_t>(i)], pattern.traits[static_cast<std::size_t>(j)]);
}

double SparseEquations::group_weight(std::size_t g) const { return weight(group_records[g].front()); }

MatrixXd SparseEquations::residual_block(const VectorXd& values, Index residual_class) const {
    return block_matrix(values, residual_offset + residual_class * traits * (traits + 1) / 2, traits);
}

MatrixXd SparseEquations::pattern_block(const VectorXd& values, const Pattern& pattern) const {
    return residual_block(values, pattern.residual_class)(pattern.traits, pattern.traits);
}

std::vector<MatrixXd> SparseEquations::pattern_inverses(const VectorXd& values) const {
    std::vector<MatrixXd> inverses;
    for (const Pattern& pattern : patterns) {
        const auto m = static_cast<Index>(pattern.traits.size());
        inverses.push_back(pattern_block(values, pattern).llt().solve(MatrixXd::Identity(m, m)));
    }
    return inverses;
}

MatrixXd SparseEquations::residual_inverse_product(const MatrixXd& v, const VectorXd& values) const {
    MatrixXd scaled = v;
    if (!several_traits()) {
        const VectorXd residuals = values.tail(classes);
        for (Index r = 0; r < n; ++r) scaled.row(r) *= weight(r) / residuals[class_of(r)];
        return scaled;
    }
    const std::vector<MatrixXd> inverses = pattern_inverses(values);
    for (std::size_t g = 0; g < group_records.size(); ++g) {
        if (pattern_of_group[g] < 0) continue;
        const std::vector<Index>& records = group_records[g];
        scaled(records, Eigen::all) =
            group_weight(g) * (inverses[static_cast<std::size_t>(pattern_of_group[g])] * v(records, Eigen::all));
    }
    return scaled;
}

MatrixXd SparseEquations::weighted_design_product(const MatrixXd& v, const VectorXd& values) const {
    const MatrixXd scaled = residual_inverse_product(v, values);
    MatrixXd out = MatrixXd::Zero(order, v.cols());
    out.topRows(p).noalias() = X.transpose() * scaled;
    for (Index r = 0; r < n; ++r) {
        for_each_incidence(*this, r, [&](Index at, double coefficient) {
            if (coefficient == 1.0) {
                out.row(at) += scaled.row(r);
            } else {
                out.row(at) += coefficient * scaled.row(r);
            }
        });
    }
    return out;
}

VectorXd SparseEquations::fitted(const VectorXd& s) const {
    VectorXd out = X * s.head(p);
    for (Index r = 0; r < n; ++r) {
        for_each_incidence(*this, r, [&](Index at, double coefficient) { out[r] += coefficient * s[at]; });
    }
    return out;
}

MatrixXd SparseEquations::residual_draws(const MatrixXd& z, const VectorXd& values) const {
    MatrixXd out(n, z.cols());
    if (!several_traits()) {
        const VectorXd residuals = values.tail(classes);
        for (Index r = 0; r < n; ++r) out.row(r) = std::sqrt(residuals[class_of(r)] / weight(r)) * z.row(r);
        return out;
    }
    std::vector<MatrixXd> roots;
    for (const Pattern& pattern : patterns) roots.push_back(pattern_block(values, pattern).llt().matrixL());
    for (std::size_t g = 0; g < group_records.size(); ++g) {
        if (pattern_of_group[g] < 0) continue;
        const std::vector<Index>& records = group_records[g];
        out(records, Eigen::all) =
            (roots[static_cast<std::size_t>(pattern_of_group[g])] * z(records, Eigen::all)) / std::sqrt(group_weight(g));
    }
    return out;
}

MatrixXd SparseEquations::residual_spread(const MatrixXd& e, const VectorXd& values) const {
    const Index count = e.cols();
    if (!several_traits()) {
        const VectorXd residuals = values.tail(classes);
        MatrixXd spread(classes, count);
        for (Index c = 0; c < classes; ++c) {
            spread.row(c).setConstant(static_cast<double>(class_sizes[static_cast<std::size_t>(c)]) * residuals[c]);
        }
        for (Index r = 0; r < n; ++r) spread.row(class_of(r)) -= weight(r) * e.row(r).cwiseProduct(e.row(r));
        return spread;
    }
    MatrixXd spread(features() - residual_offset, count);
    for (const Pattern& pattern : patterns) {
        const MatrixXd R = pattern_block(values, pattern);
        for (Index i = 0; i < R.rows(); ++i) {
            for (Index j = 0; j <= i; ++j) {
                spread.row(pattern.first_part - residual_offset + CovarianceSpace::position(i, j))
                    .setConstant(static_cast<double>(pattern.groups) * R(i, j));
            }
        }
    }
    for (std::size_t g = 0; g < group_records.size(); ++g) {
        if (pattern_of_group[g] < 0) continue;
        const Pattern& pattern = patterns[static_cast<std::size_t>(pattern_of_group[g])];
        const std::vector<Index>& records = group_records[g];
        const double w = group_weight(g);
        for (std::size_t i = 0; i < records.size(); ++i) {
            for (std::size_t j = 0; j <= i; ++j) {
                spread.row(pattern.first_part - residual_offset +
                           CovarianceSpace::position(static_cast<Index>(i), static_cast<Index>(j))) -=
                    w * e.row(records[i]).cwiseProduct(e.row(records[j]));
            }
        }
    }
    return spread;
}

std::vector<SparseLower> SparseEquations::pattern_matrices() const {
    std::vector<SparseLower> matrices;
    std::vector<std::pair<Index, double>> at_r, at_s;
    for (std::size_t P = 0; P < patterns.size(); ++P) {
        const auto m = static_cast<Index>(patterns[P].traits.size());
        // The records of each position of the pattern, individual by individual, and their weights.
        std::vector<std::vector<Index>> rows(static_cast<std::size_t>(m));
        std::vector<double> w;
        for (std::size_t g = 0; g < group_records.size(); ++g) {
            if (pattern_of_group[g] != static_cast<Index>(P)) continue;
            for (Index i = 0; i < m; ++i) rows[static_cast<std::size_t>(i)].push_back(group_records[g][static_cast<std::size_t>(i)]);
            w.push_back(group_weight(g));
        }
        const Eigen::Map<const VectorXd> group_weights(w.data(), static_cast<Index>(w.size()));
        for (Index i = 0; i < m; ++i) {
            for (Index j = 0; j <= i; ++j) {
                // (M_i'M_j + M_j'M_i) / 2, lower triangle; M_i'M_i on the diagonal.
                const std::vector<Index>& rows_i = rows[static_cast<std::size_t>(i)];
                const std::vector<Index>& rows_j = rows[static_cast<std::size_t>(j)];
                std::vector<Triplet> triplets;
                MatrixXd XX = X(rows_i, Eigen::all).transpose() * group_weights.asDiagonal() * X(rows_j, Eigen::all);
                if (i != j) XX = 0.5 * (XX + XX.transpose()).eval();
                for (Index c = 0; c < p; ++c) {
                    for (Index d = c; d < p; ++d) triplets.emplace_back(d, c, XX(d, c));
                }
                for (std::size_t k = 0; k < rows_i.size(); ++k) {
                    const Index r = rows_i[k], s = rows_j[k];
                    const double half = (i == j ? 1.0 : 0.5) * w[k];
                    at_r.clear();
                    at_s.clear();
                    for_each_incidence(*this, r, [&](Index equation, double coefficient) { at_r.emplace_back(equation, coefficient); });
                    for_each_incidence(*this, s, [&](Index equation, double coefficient) { at_s.emplace_back(equation, coefficient); });
                    for (const auto& [equation, coefficient] : at_r) {
                        for (Index c = 0; c < p; ++c) {
                            if (X(s, c) != 0.0) triplets.emplace_back(equation, c, half * coefficient * X(s, c));
                        }
                    }
                    if (i != j) {
                        for (const auto& [equation, coefficient] : at_s) {
                            for (Index c = 0; c < p; ++c) {
                                if (X(r, c) != 0.0) triplets.emplace_back(equation, c, half * coefficient * X(r, c));
                            }
                        }
                    }
                    for (const auto& [x, a] : at_r) {
                        for (const auto& [z, b] : at_s) {
                            if (i == j) {
                                if (x >= z) triplets.emplace_back(x, z, w[k] * a * b);
                                continue;
                            }
                            triplets.emplace_back(std::max(x, z), std::min(x, z), (x == z ? 2.0 : 1.0) * half * a * b);
                        }
                    }
                }
                SparseLower part(order, order);
                part.setFromTriplets(triplets.begin(), triplets.end());
                matrices.push_back(std::move(part));
            }
        }
    }
    return matrices;
}

void SparseEquations::assemble() {
    std::vector<SparseLower> class_matrices;
    std::vector<std::pair<Index, double>> at;
    if (several_traits()) {
        class_matrices = pattern_matrices();
        Index first = residual_offset;
        for (Pattern& pattern : patterns) {
            pattern.first_part = first;
            const auto m = static_cast<Index>(pattern.traits.size());
            first += m * (m + 1) / 2;
        }
    }
    for (Index c = 0; c < classes && !several_traits(); ++c) {
        std::vector<Triplet> triplets;
        VectorXd w = VectorXd::Zero(n);
        for (Index r = 0; r < n; ++r) {
            if (class_of(r) == c) w[r] = weight(r);
        }
        const MatrixXd XtWX = X.transpose() * w.asDiagonal() * X;
        for (Index j = 0; j < p; ++j) {
            for (Index i = j; i < p; ++i) triplets.emplace_back(i, j, XtWX(i, j));
        }
        for (Index r = 0; r < n; ++r) {
            if (w[r] == 0.0) continue;
            at.clear();
            for_each_incidence(*this, r, [&](Index equation, double coefficient) { at.emplace_back(equation, coefficient); });
            for (std::size_t a = 0; a < at.size(); ++a) {
                const double wz = w[r] * at[a].second;
                for (Index j = 0; j < p; ++j) {
                    if (X(r, j) != 0.0) triplets.emplace_back(at[a].first, j, wz * X(r, j));
                }
                for (std::size_t b = 0; b < at.size(); ++b) {
                    if (at[a].first >= at[b].first) triplets.emplace_back(at[a].first, at[b].first, wz * at[b].second);
                }
            }
        }
        SparseLower part(order, order);
        part.setFromTriplets(triplets.begin(), triplets.end());
        class_matrices.push_back(std::move(part));
    }
    // Element (a, b) of a term's block: F_ab (x) K^-1, lower triangle. A level's parts are
    // together, so below K's diagonal every pair of parts is below C's.
    std::vector<SparseLower> term_matrices;
    for (std::size_t k = 0; k < terms.size(); ++k) {
        const SparseTerm& term = terms[k];
        const Index q = parts_of(k);
        for (Index a = 0; a < q; ++a) {
            for (Index b = 0; b <= a; ++b) {
                std::vector<Triplet> triplets;
                const double half = a == b ? 1.0 : 0.5;
                const auto add = [&](Index i, Index j, double value) {
                    triplets.emplace_back(equation(k, i, a), equation(k, j, b), half * value);
                    if (a != b && i != j) triplets.emplace_back(equation(k, i, b), equation(k, j, a), half * value);
                };
                if (term.inverse.rows() == 0) {
                    for (Index i = 0; i < term.levels; ++i) add(i, i, 1.0);
                } else {
                    for (Index j = 0; j < term.inverse.outerSize(); ++j) {
                        for (SparseLower::InnerIterator it(term.inverse, j); it; ++it) {
                            if (it.row() >= j) add(it.row(), j, it.value());
                        }
                    }
                }
                SparseLower part(order, order);
                part.setFromTriplets(triplets.begin(), triplets.end());
                term_matrices.push_back(std::move(part));
            }
        }
    }
    // The pattern of the sum; explicit zeros keep every part's positions.
    std::vector<Triplet> pattern;
    for (const std::vector<SparseLower>* group : {&class_matrices, &term_matrices}) {
        for (const SparseLower& part : *group) {
            for (Index j = 0; j < part.outerSize(); ++j) {
                for (SparseLower::InnerIterator it(part, j); it; ++it) pattern.emplace_back(it.row(), j, 0.0);
            }
        }
    }
    C.resize(order, order);
    C.setFromTriplets(pattern.begin(), pattern.end());
    C.makeCompressed();
    pattern = {};
    compact_parts = std::move(term_matrices);
    for (SparseLower& part : class_matrices) compact_parts.push_back(std::move(part));
}

VectorXd SparseEquations::effective(const VectorXd& theta) const {
    VectorXd values = theta;
    double largest = several_traits() ? 0.0 : theta.tail(classes).maxCoeff();
    for (Index c = 0; c < classes && several_traits(); ++c) largest = std::max(largest, residual_block(theta, c).diagonal().maxCoeff());
    const double floor = kZeroVarianceShare * largest;
    for (std::size_t k = 0; k < terms.size(); ++k) {
        const Index first = first_component[k];
        if (parts_of(k) == 1) {
            values[first] = std::max(theta[first], floor);
            continue;
        }
        const VectorXd eigenvalues =
            Eigen::SelfAdjointEigenSolver<MatrixXd>(block(k, theta), Eigen::EigenvaluesOnly).eigenvalues();
        const double least = std::max(floor, block_floor);
        if (eigenvalues.minCoeff() >= least) continue;
        for (Index a = 0; a < parts_of(k); ++a) {
            values[first + CovarianceSpace::position(a, a)] += least - eigenvalues.minCoeff();
        }
    }
    return values;
}

bool SparseEquations::start_point(const VectorXd& theta, VectorXd& values, LikelihoodPoint& point) const {
    point.score = VectorXd::Zero(components());
    point.ai = MatrixXd::Zero(components(), components());
    values = effective(theta);
    if (several_traits()) {
        for (Index c = 0; c < classes; ++c) {
            const MatrixXd R0 = residual_block(values, c);
            if (R0.llt().info() != Eigen::Success || !(R0.diagonal().array() > 0.0).all()) {
                point.problem = "the residual covariance matrix is not positive definite";
                return false;
            }
        }
        return true;
    }
    if (!(values.tail(classes).array() > 0.0).all()) {
        point.problem = "a residual variance is not above 0";
        return false;
    }
    return true;
}

void SparseEquations::set_coefficients(const VectorXd& values) {
    Eigen::Map<VectorXd> c(C.valuePtr(), C.nonZeros());
    c.setZero();
    // Part k over C's non-zeros: spread already, or spread now from its compact form.
    VectorXd spread;
    const auto part = [&](Index k) -> const VectorXd& {
        if (compact_parts.empty()) return parts[static_cast<std::size_t>(k)];
        spread = aligned(C, compact_parts[static_cast<std::size_t>(k)]);
        return spread;
    };
    if (several_traits()) {
        const std::vector<MatrixXd> inverses = pattern_inverses(values);
        for (std::size_t P = 0; P < patterns.size(); ++P) {
            const auto m = static_cast<Index>(patterns[P].traits.size());
            for (Index i = 0; i < m; ++i) {
                for (Index j = 0; j <= i; ++j) {
                    c += (multiplicity(i, j) * inverses[P](i, j)) *
                         part(patterns[P].first_part + CovarianceSpace::position(i, j));
                }
            }
        }
    }
    for (Index k = 0; k < classes && !several_traits(); ++k) {
        c += part(residual_offset + k) / values[residual_offset + k];
    }
    for (std::size_t k = 0; k < terms.size(); ++k) {
        const Index first = first_component[k];
        if (parts_of(k) == 1) {
            c += part(first) / values[first];
            continue;
        }
        const MatrixXd inverse = block(k, values).llt().solve(MatrixXd::Identity(parts_of(k), parts_of(k)));
        for (Index a = 0; a < parts_of(k); ++a) {
            for (Index b = 0; b <= a; ++b) {
                const Index component = first + CovarianceSpace::position(a, b);
                c += (multiplicity(a, b) * inverse(a, b)) * part(component);
            }
        }
    }
}

std::vector<Index> SparseEquations::diagonal_blocks() const {
    std::vector<Index> blocks;
    bool several = false;
    for (std::size_t k = 0; k < terms.size(); ++k) {
        several = several || parts_of(k) > 1;
        for (Index level = 0; level < terms[k].levels; ++level) blocks.push_back(equation(k, level, 0));
    }
    if (!several) return {};
    blocks.push_back(order);
    return blocks;
}

FactorFigures SparseEquations::foreseen_factor() const {
    const std::vector<Index> starts = diagonal_blocks();
    if (starts.empty() || !dense_rows().empty()) return {};
    // Each fixed effect its own block, then each level of the terms (a level's parts together).
    std::vector<std::int64_t> block_of(static_cast<std::size_t>(order));
    std::int64_t blocks = 0;
    for (Index i = 0; i < p; ++i) block_of[static_cast<std::size_t>(i)] = blocks++;
    for (std::size_t b = 0; b + 1 < starts.size(); ++b, ++blocks) {
        for (Index i = starts[b]; i < starts[b + 1]; ++i) block_of[static_cast<std::size_t>(i)] = blocks;
    }
    return block_factor_figures(C, block_of, blocks);
}

std::vector<std::int64_t> SparseEquations::dense_rows() const {
    std::vector<std::int64_t> rows;
    for (std::size_t k = 0; k < terms.size(); ++k) {
        for (const Index level : terms[k].dense_levels) {
            for (Index a = 0; a < parts_of(k); ++a) rows.push_back(equation(k, level, a));
        }
    }
    return rows;
}

SparseEquations::AtSolution SparseEquations::at_solution(const VectorXd& values, const VectorXd& rhs,
                                                         const VectorXd& s) const {
    const VectorXd residuals = values.tail(classes);
    const VectorXd residual = y - fitted(s);
    AtSolution at;
    at.quadratic = VectorXd::Zero(features());
    at.variates = MatrixXd::Zero(n, components());
    double yRy = 0.0, log_R = -log_weights;
    if (several_traits()) {
        yRy = y.dot(residual_inverse_product(y, values).col(0));
        const std::vector<MatrixXd> inverses = pattern_inverses(values);
        for (const Pattern& pattern : patterns) {
            log_R += static_cast<double>(pattern.groups) * std::log(pattern_block(values, pattern).determinant());
        }
        for (std::size_t g = 0; g < group_records.size(); ++g) {
            if (pattern_of_group[g] < 0) continue;
            const Pattern& pattern = patterns[static_cast<std::size_t>(pattern_of_group[g])];
            const std::vector<Index>& records = group_records[g];
            const VectorXd e = residual(records);
            const VectorXd scaled = inverses[static_cast<std::size_t>(pattern_of_group[g])] * e;
            const auto m = static_cast<Index>(records.size());
            const double w = group_weight(g);
            for (Index i = 0; i < m; ++i) {
                for (Index j = 0; j <= i; ++j) {
                    at.quadratic[pattern.first_part + CovarianceSpace::position(i, j)] += w * e[i] * e[j];
                    // dR/dR0(a, b) R^-1 e, the weight in both: each of the pair's records takes the
                    // other's share.
                    const Index component = residual_component(pattern, i, j);
                    at.variates(records[static_cast<std::size_t>(i)], component) += scaled[j];
                    if (i != j) at.variates(records[static_cast<std::size_t>(j)], component) += scaled[i];
                }
            }
        }
    }
    for (Index i = 0; i < n && !several_traits(); ++i) {
        const Index c = class_of(i);
        yRy += weight(i) * y[i] * y[i] / residuals[c];
        at.quadratic[residual_offset + c] += weight(i) * residual[i] * residual[i];
    }
    for (Index c = 0; c < classes && !several_traits(); ++c) {
        log_R += static_cast<double>(class_sizes[static_cast<std::size_t>(c)]) * std::log(residuals[c]);
        for (Index i = 0; i < n; ++i) at.variates(i, residual_offset + c) = class_of(i) == c ? residual[i] / residuals[c] : 0.0;
    }
    double log_G = 0.0;
    for (std::size_t k = 0; k < terms.size(); ++k) {
        const SparseTerm& term = terms[k];
        const Index q = parts_of(k), first = first_component[k];
        // U: levels x parts, and U G0^-1, whose columns give the working variates.
        const MatrixXd U = Eigen::Map<const MatrixXd>(s.data() + offsets[k], q, term.levels).transpose();
        const MatrixXd G0 = block(k, values);
        const MatrixXd scaled = q == 1 ? MatrixXd(U / G0(0, 0)) : MatrixXd(U * G0.llt().solve(MatrixXd::Identity(q, q)));
        log_G += static_cast<double>(term.levels) * (q == 1 ? std::log(G0(0, 0)) : std::log(G0.determinant())) +
                 static_cast<double>(q) * term.log_determinant;
        const MatrixXd KU = term.inverse.rows() == 0 ? U : MatrixXd(term.inverse.selfadjointView<Eigen::Lower>() * U);
        for (Index a = 0; a < q; ++a) {
            const SparsePart& part_a = term.parts[static_cast<std::size_t>(a)];
            for (Index b = 0; b <= a; ++b) {
                const Index component = first + CovarianceSpace::position(a, b);
                at.quadratic[component] = U.col(a).dot(KU.col(b));
                const SparsePart& part_b = term.parts[static_cast<std::size_t>(b)];
                for (Index i = 0; i < n; ++i) {
                    double f = 0.0;
                    const auto add = [&](const SparsePart& part, Index column) {
                        const Index level = part.level_of_record[static_cast<std::size_t>(i)];
                        if (level < 0) return;
                        f += (part.covariate.size() == 0 ? 1.0 : part.covariate[i]) * scaled(level, column);
                    };
                    add(part_a, b);
                    if (a != b) add(part_b, a);
                    at.variates(i, component) = f;
                }
            }
        }
    }
    at.log_likelihood_part = -0.5 * (log_R + log_G + yRy - s.dot(rhs));
    return at;
}

VectorXd SparseEquations::score(const VectorXd& values, const AtSolution& at, const VectorXd& traces) const {
    VectorXd score = VectorXd::Zero(components());
    if (several_traits()) {
        // Per pattern, d logL / dR_P = -(n_P R_P^-1 - R_P^-1 (T + S) R_P^-1) / 2, gathered into R0.
        const std::vector<MatrixXd> inverses = pattern_inverses(values);
        for (std::size_t P = 0; P < patterns.size(); ++P) {
            const Pattern& pattern = patterns[P];
            const auto m = static_cast<Index>(pattern.traits.size());
            const MatrixXd& inverse = inverses[P];
            const MatrixXd W = inverse * (block_matrix(traces, pattern.first_part, m) +
                                          block_matrix(at.quadratic, pattern.first_part, m)) * inverse;
            for (Index i = 0; i < m; ++i) {
                for (Index j = 0; j <= i; ++j) {
                    score[residual_component(pattern, i, j)] +=
                        -0.5 * multiplicity(i, j) * (static_cast<double>(pattern.groups) * inverse(i, j) - W(i, j));
                }
            }
        }
    }
    for (Index c = 0; c < classes && !several_traits(); ++c) {
        const Index k = residual_offset + c;
        const double v = values[k];
        score[k] = -0.5 * (static_cast<double>(class_sizes[static_cast<std::size_t>(c)]) / v - traces[k] / (v * v) -
                           at.quadratic[k] / (v * v));
    }
    for (std::size_t k = 0; k < terms.size(); ++k) {
        const Index first = first_component[k], q = parts_of(k);
        const auto levels = static_cast<double>(terms[k].levels);
        if (q == 1) {
            const double v = values[first];
            score[first] = -0.5 * (levels / v - traces[first] / (v * v) - at.quadratic[first] / (v * v));
            continue;
        }
        // d logL / dG0 = -(L G0^-1 - G0^-1 (T + S) G0^-1) / 2, T and S the traces and quadratics.
        const MatrixXd inverse = block(k, values).llt().solve(MatrixXd::Identity(q, q));
        const MatrixXd W = inverse * (block_matrix(traces, first, q) + block_matrix(at.quadratic, first, q)) * inverse;
        for (Index a = 0; a < q; ++a) {
            for (Index b = 0; b <= a; ++b) {
                score[first + CovarianceSpace::position(a, b)] =
                    -0.5 * multiplicity(a, b) * (levels * inverse(a, b) - W(a, b));
            }
        }
    }
    return score;
}

MatrixXd SparseEquations::trace_slope(const VectorXd& values) const {
    MatrixXd slope = MatrixXd::Zero(components(), features());
    if (several_traits()) {
        const std::vector<MatrixXd> inverses = pattern_inverses(values);
        for (std::size_t P = 0; P < patterns.size(); ++P) {
            const Pattern& pattern = patterns[P];
            const auto m = static_cast<Index>(pattern.traits.size());
            for (Index c = 0; c < m; ++c) {
                for (Index d = 0; d <= c; ++d) {
                    MatrixXd unit = MatrixXd::Zero(m, m);
                    unit(c, d) = unit(d, c) = 1.0;
                    const MatrixXd moved = inverses[P] * unit * inverses[P];
                    for (Index i = 0; i < m; ++i) {
                        for (Index j = 0; j <= i; ++j) {
                            slope(residual_component(pattern, i, j), pattern.first_part + CovarianceSpace::position(c, d)) +=
                                0.5 * multiplicity(i, j) * moved(i, j);
                        }
                    }
                }
            }
        }
    }
    for (Index c = residual_offset; c < components() && !several_traits(); ++c) slope(c, c) = 0.5 / (values[c] * values[c]);
    for (std::size_t k = 0; k < terms.size(); ++k) {
        const Index first = first_component[k], q = parts_of(k);
        const MatrixXd inverse = block(k, values).llt().solve(MatrixXd::Identity(q, q));
        for (Index c = 0; c < q; ++c) {
            for (Index d = 0; d <= c; ++d) {
                MatrixXd unit = MatrixXd::Zero(q, q);
                unit(c, d) = unit(d, c) = 1.0;
                const MatrixXd moved = inverse * unit * inverse;
                for (Index a = 0; a < q; ++a) {
                    for (Index b = 0; b <= a; ++b) {
                        slope(first + CovarianceSpace::position(a, b), first + CovarianceSpace::position(c, d)) =
                            0.5 * multiplicity(a, b) * moved(a, b);
                    }
                }
            }
        }
    }
    return slope;
}

MatrixXd SparseEquations::average_information(const VectorXd& values, const MatrixXd& variates, const MatrixXd& g,
                                              const MatrixXd& solved) const {
    const MatrixXd weighted = residual_inverse_product(variates, values);
    MatrixXd ai = 0.5 * (variates.transpose() * weighted - g.transpose() * solved);
    return 0.5 * (ai + ai.transpose());
}

struct SparseMmeEvaluator::State {
    std::shared_ptr<SparseEquations> equations;
    VectorXd trace_weights;  // 1 on the diagonal, 2 off it: trace(A B) over lower triangles
    std::unique_ptr<SparseFactor> factor;
    std::unique_ptr<SparseFactor::Located> located;

    SparseEquations::AtSolution at_last;  // of the last likelihood evaluated, at at_values
    VectorXd at_values;
    VectorXd factored_values;  // those of the factor

    // C at these variances, factored; "" or what failed.
    std::string factor_at(const VectorXd& values) {
        factored_values = values;
        equations->set_coefficients(values);
        std::int64_t column = -1;
        if (!factor->factorize(equations->C, &column)) {
            return "the mixed model equations are not positive definite (equation " + std::to_string(column + 1) +
                   ")";
        }
        return "";
    }

    // C^-1 on C's own pattern.
    VectorXd inverse_on_pattern() {
        const SparseLower& C = equations->C;
        if (!located) {
            std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
            pairs.reserve(static_cast<std::size_t>(C.nonZeros()));
            for (Index j = 0; j < C.outerSize(); ++j) {
                for (std::int64_t at = C.outerIndexPtr()[j]; at < C.outerIndexPtr()[j + 1]; ++at) {
                    pairs.emplace_back(C.innerIndexPtr()[at], j);
                }
            }
            located = std::make_unique<SparseFactor::Located>(factor->locate(pairs));
        }
        return factor->selected_inverse(*located);
    }
};

SparseMmeEvaluator::SparseMmeEvaluator(const MatrixXd& X, const VectorXd& y, std::vector<SparseTerm> terms,
                                       ResidualStructure residual, RecordTraits traits)
    : SparseMmeEvaluator(std::make_shared<SparseEquations>(X, y, std::move(terms), std::move(residual), std::move(traits))) {}

SparseMmeEvaluator::SparseMmeEvaluator(std::shared_ptr<SparseEquations> equations) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.equations = std::move(equations);
    const SparseLower& C = s.equations->C;
    s.trace_weights = VectorXd::Constant(C.nonZeros(), 2.0);
    for (Index j = 0; j < C.outerSize(); ++j) {
        for (std::int64_t at = C.outerIndexPtr()[j]; at < C.outerIndexPtr()[j + 1]; ++at) {
            if (C.innerIndexPtr()[at] == j) s.trace_weights[at] = 1.0;
        }
    }
    s.factor = std::make_unique<SparseFactor>(C, s.equations->dense_rows());
}

SparseMmeEvaluator::~SparseMmeEvaluator() = default;

double SparseMmeEvaluator::block_limit() const { return state_->equations->block_floor; }

Index SparseMmeEvaluator::equations() const { return state_->equations->order; }

const FactorFigures& SparseMmeEvaluator::figures() const { return state_->factor->figures(); }

void SparseMmeEvaluator::set_progress(SparseFactor::Progress progress) { state_->factor->set_progress(std::move(progress)); }

LikelihoodPoint SparseMmeEvaluator::evaluate(const VectorXd& theta) const {
    LikelihoodPoint point = evaluate_likelihood(theta);
    add_score(theta, point);
    return point;
}

LikelihoodPoint SparseMmeEvaluator::evaluate_likelihood(const VectorXd& theta) const {
    State& state = *state_;
    const SparseEquations& e = *state.equations;
    LikelihoodPoint point;
    VectorXd values;
    if (!e.start_point(theta, values, point)) return point;
    point.problem = state.factor_at(values);
    if (!point.problem.empty()) return point;

    const VectorXd r = e.weighted_design_product(e.y, values).col(0);
    const VectorXd s = state.factor->solve(r).col(0);
    SparseEquations::AtSolution at = e.at_solution(values, r, s);
    point.log_likelihood = at.log_likelihood_part - 0.5 * state.factor->log_determinant();
    const MatrixXd g = e.weighted_design_product(at.variates, values);
    point.ai = e.average_information(values, at.variates, g, state.factor->solve(g));
    point.finite = std::isfinite(point.log_likelihood) && point.ai.allFinite();
    if (!point.finite) point.problem = "the log-likelihood or its derivatives are not finite";
    point.scored = false;
    // What the score takes beside the traces, kept with the factor it was had from.
    state.at_last = std::move(at);
    state.at_values = values;
    return point;
}

void SparseMmeEvaluator::add_score(const VectorXd& theta, LikelihoodPoint& point) const {
    if (point.scored || !point.finite) return;
    State& state = *state_;
    const SparseEquations& e = *state.equations;
    // The factor and the solution must be this point's: another evaluation since starts afresh.
    if (state.at_values.size() == 0 || state.at_values != e.effective(theta) || state.factored_values != state.at_values) {
        point = evaluate(theta);
        return;
    }
    // Traces from the selected inverse: tr(C^-1 part_k) of every component.
    const VectorXd weighted_inverse = state.inverse_on_pattern().cwiseProduct(state.trace_weights);
    VectorXd traces(e.features());
    for (Index k = 0; k < e.features(); ++k) traces[k] = weighted_inverse.dot(e.parts[static_cast<std::size_t>(k)]);
    point.score = e.score(state.at_values, state.at_last, traces);
    point.scored = true;
    point.finite = point.score.allFinite();
    if (!point.finite) point.problem = "the log-likelihood or its derivatives are not finite";
}

SparseMmeEvaluator::Solution SparseMmeEvaluator::solve(const VectorXd& theta, bool fixed_columns) const {
    State& state = *state_;
    const SparseEquations& e = *state.equations;
    Solution solution;
    const VectorXd values = e.effective(theta);
    solution.problem = state.factor_at(values);
    if (!solution.problem.empty()) return solution;
    const VectorXd s = state.factor->solve(e.weighted_design_product(e.y, values)).col(0);
    solution.beta = s.head(e.p);
    // The fixed effects' block of C^-1, column by column.
    MatrixXd unit = MatrixXd::Zero(e.order, e.p);
    for (Index j = 0; j < e.p; ++j) unit(j, j) = 1.0;
    MatrixXd columns = state.factor->solve(unit);
    solution.beta_covariance = columns.topRows(e.p);
    if (fixed_columns) solution.fixed_columns = std::move(columns);
    const VectorXd inverse = state.inverse_on_pattern();
    VectorXd diagonal(e.order);
    for (Index j = 0; j < e.order; ++j) {
        for (std::int64_t at = e.C.outerIndexPtr()[j]; at < e.C.outerIndexPtr()[j + 1]; ++at) {
            if (e.C.innerIndexPtr()[at] == j) diagonal[j] = inverse[at];
        }
    }
    for (std::size_t k = 0; k < e.terms.size(); ++k) {
        const Index q = e.parts_of(k), size = e.terms[k].levels * q;
        solution.effects.push_back(s.segment(e.offsets[k], size));
        solution.error_variances.push_back(diagonal.segment(e.offsets[k], size));
        if (q == 1) {
            solution.error_blocks.emplace_back();
            continue;
        }
        // A level's parts are neighbours in C, and its block is on C's pattern.
        MatrixXd blocks(e.terms[k].levels, q * q);
        for (Index level = 0; level < e.terms[k].levels; ++level) {
            for (Index b = 0; b < q; ++b) {
                const Index j = e.equation(k, level, b);
                for (std::int64_t at = e.C.outerIndexPtr()[j]; at < e.C.outerIndexPtr()[j + 1]; ++at) {
                    const Index a = e.C.innerIndexPtr()[at] - e.equation(k, level, 0);
                    if (a < b || a >= q) continue;
                    blocks(level, a + b * q) = blocks(level, b + a * q) = inverse[at];
                }
            }
        }
        solution.error_blocks.push_back(std::move(blocks));
    }
    solution.finite = s.allFinite() && diagonal.allFinite();
    if (!solution.finite) solution.problem = "the solution is not finite";
    return solution;
}
