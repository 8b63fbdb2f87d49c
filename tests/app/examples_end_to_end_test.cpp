// Every job of the demo on examples/, its result files checked against plain formulas computed
// here from the raw inputs: G from a bit-by-bit decode of the .bed, A by the recursive
// definition of coancestry, H by its block formulas, REML by the literal dense iteration and the
// breeding values by Henderson's mixed model equations with the inverse of the kinship.
// A change anywhere that alters a result fails one of these.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "genomic/genotype_files.h"
#include "kinship_io/kinship_io.h"
#include "mixed_model/reml_reference.h"
#include "test_support.h"

namespace {

const std::string kExamples = std::string(ZELKORA_SOURCE_DIR) + "/examples/demo";

std::vector<std::vector<std::string>> words_of_lines(const std::string& path, char separator) {
    std::ifstream file(path);
    std::vector<std::vector<std::string>> lines;
    for (std::string line; std::getline(file, line);) {
        std::vector<std::string> words;
        std::istringstream fields(line);
        for (std::string word; separator == ' ' ? static_cast<bool>(fields >> word)
                                                : static_cast<bool>(std::getline(fields, word, separator));) {
            words.push_back(word);
        }
        lines.push_back(words);
    }
    return lines;
}

// Dosages of the first .bim allele, -1 = missing, decoded two bits at a time.
Eigen::MatrixXd decode_examples_bed(Eigen::Index n, Eigen::Index m) {
    const std::string bytes = read_file(kExamples + ".bed");
    const Eigen::Index per_marker = (n + 3) / 4;
    EXPECT_EQ(static_cast<Eigen::Index>(bytes.size()), 3 + per_marker * m);
    Eigen::MatrixXd dosages(n, m);
    const double value_of_code[4] = {2.0, -1.0, 1.0, 0.0};
    for (Eigen::Index j = 0; j < m; ++j) {
        for (Eigen::Index i = 0; i < n; ++i) {
            const auto byte = static_cast<unsigned char>(bytes[static_cast<std::size_t>(3 + j * per_marker + i / 4)]);
            dosages(i, j) = value_of_code[(byte >> (2 * (i % 4))) & 3];
        }
    }
    return dosages;
}

// A by the definition: a(i, i) = 1 + a(sire, dam) / 2 and, for j born after i,
// a(i, j) = (a(i, sire of j) + a(i, dam of j)) / 2, with unknown parents contributing 0.
Eigen::MatrixXd pedigree_relationships(const std::vector<std::string>& ids,
                                       const std::map<std::string, std::pair<std::string, std::string>>& parents) {
    std::unordered_map<std::string, Eigen::Index> position;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        position[ids[k]] = static_cast<Eigen::Index>(k);
    }
    const Eigen::Index n = static_cast<Eigen::Index>(ids.size());
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(n, n);
    auto at = [&](const std::string& a, Eigen::Index j) { return a == "0" ? 0.0 : A(position.at(a), j); };
    for (Eigen::Index j = 0; j < n; ++j) {
        const auto& [sire, dam] = parents.at(ids[static_cast<std::size_t>(j)]);
        for (Eigen::Index i = 0; i < j; ++i) {
            A(i, j) = A(j, i) = 0.5 * (at(sire, i) + at(dam, i));
        }
        A(j, j) = 1.0 + (sire == "0" || dam == "0" ? 0.0 : 0.5 * A(position.at(sire), position.at(dam)));
    }
    return A;
}

// The written kinship file, rows and columns in the order of `ids`.
Eigen::MatrixXd kinship_in_order(const std::string& path, const std::vector<std::string>& ids) {
    const KinshipText text = load_kinship_text(path);
    std::unordered_map<std::string, std::size_t> line_of;
    for (std::size_t line = 0; line < text.ids.size(); ++line) {
        line_of[text.ids[line]] = line;
    }
    std::vector<std::size_t> lines;
    for (const std::string& id : ids) {
        lines.push_back(line_of.at(id));
    }
    return kinship_rows(text, lines);
}

double largest_difference(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
    return (a - b).cwiseAbs().maxCoeff();
}

// Numbers of the lines that start with `key` in the console text (tab or blank separated).
std::vector<std::vector<double>> numbers_after(const std::string& console, const std::string& key) {
    std::vector<std::vector<double>> rows;
    std::istringstream lines(console);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first != key) {
            continue;
        }
        std::vector<double> numbers;
        for (double value; words >> value;) {
            numbers.push_back(value);
        }
        rows.push_back(numbers);
    }
    return rows;
}

class ExamplesEndToEnd : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(make_scratch_dir());
        const std::vector<std::vector<std::string>> jobs = {
            {"--kinship", "--bedfile", kExamples, "--threads", "2", "--out", "G"},
            {"--kinship", "--pedigree", kExamples + ".ped", "--out", "A"},
            {"--kinship", "--pedigree", kExamples + ".ped", "--bedfile", kExamples, "--threads", "2", "--out", "H"},
            {"--reml", "--kin-file", "G.kinship.txt", "--phefile", kExamples + ".phe", "--phe-pos", "4",
             "--covar-pos", "2,3", "--out", "reml"},
            {"--predict", "--kin-file", "H.kinship.txt", "--phefile", kExamples + ".phe", "--phe-pos", "4",
             "--covar-pos", "2,3", "--out", "predict"}};
        consoles_ = new std::vector<std::string>();
        for (const auto& job : jobs) {
            const CommandResult run = run_zelkora(job, *dir_);
            ASSERT_EQ(run.status, 0) << run.out << run.err;
            consoles_->push_back(run.out);
        }

        for (const auto& words : words_of_lines(kExamples + ".fam", ' ')) {
            genotyped_.push_back(words.at(1));
        }
        const auto pedigree_lines = words_of_lines(kExamples + ".ped", ' ');
        for (std::size_t line = 1; line < pedigree_lines.size(); ++line) {
            const auto& words = pedigree_lines[line];
            pedigree_ids_.push_back(words.at(0));
            parents_[words.at(0)] = {words.at(1), words.at(2)};
        }
        const auto markers = words_of_lines(kExamples + ".bim", ' ').size();
        G_ = new Eigen::MatrixXd(textbook_grm(decode_examples_bed(static_cast<Eigen::Index>(genotyped_.size()),
                                                                 static_cast<Eigen::Index>(markers)),
                                             1, 1.0));
        // The demo pedigree lists parents before offspring, so file order is a valid order.
        A_ = new Eigen::MatrixXd(pedigree_relationships(pedigree_ids_, parents_));
    }

    // Records of the phenotype file with a trait, both covariates and an ID in `ids`, with the
    // design that leaves out each covariate's first-met level.
    static void records(const std::vector<std::string>& ids, Eigen::MatrixXd& y, Eigen::MatrixXd& X,
                        std::vector<std::string>& record_ids) {
        const std::unordered_map<std::string, int> known = [&] {
            std::unordered_map<std::string, int> set;
            for (const auto& id : ids) {
                set[id] = 1;
            }
            return set;
        }();
        std::vector<double> trait;
        std::vector<std::vector<std::string>> levels;
        std::vector<std::map<std::string, int>> codes(2);
        for (const auto& words : words_of_lines(kExamples + ".phe", '\t')) {
            if (words.size() < 4 || !known.count(words[0]) || words[3] == "NA" || words[1] == "NA" ||
                words[2] == "NA") {
                continue;
            }
            record_ids.push_back(words[0]);
            trait.push_back(std::stod(words[3]));
            levels.push_back({words[1], words[2]});
            for (int c = 0; c < 2; ++c) {
                codes[static_cast<std::size_t>(c)].emplace(words[static_cast<std::size_t>(c) + 1],
                                                           static_cast<int>(codes[static_cast<std::size_t>(c)].size()));
            }
        }
        const Eigen::Index n = static_cast<Eigen::Index>(trait.size());
        const Eigen::Index columns = 1 + static_cast<Eigen::Index>(codes[0].size() + codes[1].size()) - 2;
        y = Eigen::Map<Eigen::VectorXd>(trait.data(), n);
        X = Eigen::MatrixXd::Zero(n, columns);
        X.col(0).setOnes();
        for (Eigen::Index i = 0; i < n; ++i) {
            Eigen::Index offset = 1;
            for (int c = 0; c < 2; ++c) {
                const int code = codes[static_cast<std::size_t>(c)].at(levels[static_cast<std::size_t>(i)][static_cast<std::size_t>(c)]);
                if (code > 0) {
                    X(i, offset + code - 1) = 1.0;
                }
                offset += static_cast<Eigen::Index>(codes[static_cast<std::size_t>(c)].size()) - 1;
            }
        }
    }

    static std::string* dir_;
    static std::vector<std::string>* consoles_;
    static std::vector<std::string> genotyped_;
    static std::vector<std::string> pedigree_ids_;
    static std::map<std::string, std::pair<std::string, std::string>> parents_;
    static Eigen::MatrixXd* G_;
    static Eigen::MatrixXd* A_;
};

std::string* ExamplesEndToEnd::dir_ = nullptr;
std::vector<std::string>* ExamplesEndToEnd::consoles_ = nullptr;
std::vector<std::string> ExamplesEndToEnd::genotyped_;
std::vector<std::string> ExamplesEndToEnd::pedigree_ids_;
std::map<std::string, std::pair<std::string, std::string>> ExamplesEndToEnd::parents_;
Eigen::MatrixXd* ExamplesEndToEnd::G_ = nullptr;
Eigen::MatrixXd* ExamplesEndToEnd::A_ = nullptr;

// Values are written with 4 decimals: half a unit of the last one, and a little for the binary
// representation of the rounded value.
constexpr double kFileRounding = 0.5e-4 + 1e-9;

}  // namespace

TEST_F(ExamplesEndToEnd, GenomicMatrixFollowsTheFormula) {
    EXPECT_LE(largest_difference(kinship_in_order(*dir_ + "/G.kinship.txt", genotyped_), *G_), kFileRounding);
}

TEST_F(ExamplesEndToEnd, PedigreeMatrixFollowsTheDefinition) {
    EXPECT_LE(largest_difference(kinship_in_order(*dir_ + "/A.kinship.txt", pedigree_ids_), *A_), kFileRounding);
}

TEST_F(ExamplesEndToEnd, SingleStepMatrixFollowsTheBlockFormulas) {
    // Non-genotyped individuals in pedigree order, then the genotyped in .fam order.
    std::unordered_map<std::string, Eigen::Index> position;
    for (std::size_t k = 0; k < pedigree_ids_.size(); ++k) {
        position[pedigree_ids_[k]] = static_cast<Eigen::Index>(k);
    }
    std::vector<std::string> order;
    std::unordered_map<std::string, int> is_genotyped;
    for (const auto& id : genotyped_) {
        is_genotyped[id] = 1;
    }
    for (const auto& id : pedigree_ids_) {
        if (!is_genotyped.count(id)) {
            order.push_back(id);
        }
    }
    const Eigen::Index u = static_cast<Eigen::Index>(order.size());
    order.insert(order.end(), genotyped_.begin(), genotyped_.end());
    const Eigen::Index n = static_cast<Eigen::Index>(order.size());
    Eigen::MatrixXd A(n, n);
    for (Eigen::Index r = 0; r < n; ++r) {
        for (Eigen::Index c = 0; c < n; ++c) {
            A(r, c) = (*A_)(position.at(order[static_cast<std::size_t>(r)]), position.at(order[static_cast<std::size_t>(c)]));
        }
    }
    const Eigen::Index g = n - u;
    const Eigen::MatrixXd A22_inverse = A.bottomRightCorner(g, g).inverse();
    const Eigen::MatrixXd D = *G_ - A.bottomRightCorner(g, g);
    Eigen::MatrixXd H = A;
    H.topLeftCorner(u, u) += A.topRightCorner(u, g) * A22_inverse * D * A22_inverse * A.bottomLeftCorner(g, u);
    H.topRightCorner(u, g) += A.topRightCorner(u, g) * A22_inverse * D;
    H.bottomLeftCorner(g, u) += D * A22_inverse * A.bottomLeftCorner(g, u);
    H.bottomRightCorner(g, g) = *G_;
    EXPECT_LE(largest_difference(kinship_in_order(*dir_ + "/H.kinship.txt", order), H), kFileRounding);
}

TEST_F(ExamplesEndToEnd, RemlTraceAndEstimatesFollowTheLiteralIteration) {
    Eigen::MatrixXd y, X;
    std::vector<std::string> record_ids;
    records(genotyped_, y, X, record_ids);
    // The run reads the written G: the reference uses the same 4-decimal values.
    const Eigen::MatrixXd K = kinship_in_order(*dir_ + "/G.kinship.txt", record_ids);
    const RemlResult reference = reference_reml(K, X, y, 30, 0.3, 1e-5);
    ASSERT_TRUE(reference.converged);

    const std::string& console = (*consoles_)[3];
    std::vector<std::vector<double>> trace;
    for (std::size_t k = 1; k <= reference.iterations.size(); ++k) {
        const auto rows = numbers_after(console, std::to_string(k));
        ASSERT_FALSE(rows.empty()) << "iteration " << k;
        trace.push_back(rows.front());
    }
    for (std::size_t k = 0; k < trace.size(); ++k) {
        const RemlIteration& step = reference.iterations[k];
        const double expected[5] = {step.log_likelihood, step.sigma_a2, step.sigma_e2, step.change_a2, step.change_e2};
        for (int column = 0; column < 5; ++column) {
            EXPECT_NEAR(trace[k][static_cast<std::size_t>(column)], expected[column], 1e-5 * std::abs(expected[column]))
                << "iteration " << k + 1 << ", column " << column;
        }
    }
    const auto additive = numbers_after(console, "Add");
    ASSERT_EQ(additive.size(), 1u);
    EXPECT_NEAR(additive[0][0], reference.sigma_a2, 1e-5 * reference.sigma_a2);
    EXPECT_NEAR(additive[0][1], reference.se_a2, 1e-5 * reference.se_a2);
    EXPECT_NE(console.find("👏 Heritability: "), std::string::npos);
}

TEST_F(ExamplesEndToEnd, BreedingValuesSolveTheMixedModelEquations) {
    Eigen::MatrixXd y, X;
    std::vector<std::string> record_ids;
    const std::vector<std::string> h_ids = load_kinship_text(*dir_ + "/H.kinship.txt").ids;
    records(h_ids, y, X, record_ids);
    const Eigen::MatrixXd K_all = kinship_in_order(*dir_ + "/H.kinship.txt", h_ids);
    std::unordered_map<std::string, Eigen::Index> column_of;
    for (std::size_t k = 0; k < h_ids.size(); ++k) {
        column_of[h_ids[k]] = static_cast<Eigen::Index>(k);
    }
    Eigen::MatrixXd Z = Eigen::MatrixXd::Zero(y.rows(), K_all.rows());
    for (std::size_t i = 0; i < record_ids.size(); ++i) {
        Z(static_cast<Eigen::Index>(i), column_of.at(record_ids[i])) = 1.0;
    }
    const RemlResult reml = reference_reml(Z * K_all * Z.transpose(), X, y, 30, 0.3, 1e-5);
    ASSERT_TRUE(reml.converged);
    const auto [b, u] = reference_mme(Z, K_all, X, y, reml.h2);

    const auto lines = words_of_lines(*dir_ + "/predict.random.txt", '\t');
    ASSERT_EQ(lines.size(), h_ids.size() + 1);
    EXPECT_EQ(lines[0], std::vector<std::string>{"Sample_ID,Ran_Effects"});
    for (std::size_t k = 0; k < h_ids.size(); ++k) {
        ASSERT_EQ(lines[k + 1].at(0), h_ids[k]);
        const double expected = u(static_cast<Eigen::Index>(k), 0);
        EXPECT_NEAR(std::stod(lines[k + 1].at(1)), expected, 1e-5 * std::abs(expected) + 1e-9) << h_ids[k];
    }
    // Fixed effects: the intercept, then each covariate's levels with the first-met one at 0.
    const std::string& console = (*consoles_)[4];
    EXPECT_NEAR(numbers_after(console, "Intercept").at(0).at(0), b(0, 0), 1e-5 * std::abs(b(0, 0)));
    EXPECT_NE(console.find("Covar2_F\t0\n"), std::string::npos);
    EXPECT_NE(console.find("Covar3_H2\t0\n"), std::string::npos);
}
