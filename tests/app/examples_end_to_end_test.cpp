// Every job of the demo on examples/, its result files checked against plain formulas computed
// here from the inputs: G by the textbook formula, A by the recursive
// definition of coancestry, H by its block formulas, REML by the literal dense iteration and the
// breeding values by Henderson's mixed model equations with the inverse of the kinship; the
// console and log lines of REML and prediction in their order. A change anywhere that alters a
// result fails one of these.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "app/app.h"
#include "genomic/genomic.h"
#include "genomic/genotype_files.h"
#include "kinship_io/kinship_io.h"
#include "mixed_model/dense_reml.h"
#include "mixed_model/reml_reference.h"
#include "mixed_model/test_data.h"
#include "test_support.h"

namespace {

const std::string kDemo = std::string(ZELKORA_SOURCE_DIR) + "/examples/demo";

// The blank- or tab-separated words of every line of `text`.
std::vector<std::vector<std::string>> words_of(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : lines_of(text)) {
        std::istringstream fields(line);
        rows.emplace_back(std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>());
    }
    return rows;
}

// The numbers after the first word of each line of `console` whose first word is `key`.
std::vector<std::vector<double>> numbers_after(const std::string& console, const std::string& key) {
    std::vector<std::vector<double>> rows;
    for (const std::vector<std::string>& words : words_of(console)) {
        if (!words.empty() && words[0] == key) {
            rows.emplace_back(words.size() - 1);
            std::transform(words.begin() + 1, words.end(), rows.back().begin(), [](auto& w) { return std::stod(w); });
        }
    }
    return rows;
}

// The position in `all` of each of `ids`.
std::vector<Eigen::Index> positions_of(const std::vector<std::string>& ids, const std::vector<std::string>& all) {
    std::vector<Eigen::Index> positions;
    for (const std::string& id : ids) {
        const auto found = std::find(all.begin(), all.end(), id);
        positions.push_back(found != all.end() ? found - all.begin() : throw std::out_of_range("no " + id));
    }
    return positions;
}

// The written kinship file (read by the library's reader), rows and columns in the order of `ids`.
Eigen::MatrixXd kinship_in_order(const std::string& path, const std::vector<std::string>& ids) {
    const KinshipText text = load_kinship_text(path);
    const std::vector<Eigen::Index> lines = positions_of(ids, text.ids);
    return kinship_rows(text, std::vector<std::size_t>(lines.begin(), lines.end()));
}

struct Demo {
    std::string dir = make_scratch_dir();
    std::vector<CommandResult> runs;
    std::vector<std::string> genotyped, pedigree_ids, genotyped_families;
    Eigen::MatrixXd G, A;
    int informative_markers = 0;  // markers whose calls are not all the same
};

// Runs every job once, and builds G and A from the raw inputs.
const Demo& demo() {
    static const Demo runs = [] {
        Demo d;
        const std::vector<std::vector<std::string>> jobs = {
            {"--kinship", "--bedfile", kDemo, "--threads", "2", "--out", "G"},
            {"--kinship", "--pedigree", kDemo + ".ped", "--out", "A"},
            {"--kinship", "--pedigree", kDemo + ".ped", "--bedfile", kDemo, "--threads", "2", "--out", "H"},
            {"--reml", "--predict", "--kin-file", "G.kinship.txt", "--phefile", kDemo + ".phe", "--phe-pos", "4",
             "--covar-pos", "2,3", "--out", "reml"},
            {"--predict", "--kin-file", "H.kinship.txt", "--phefile", kDemo + ".phe", "--phe-pos", "4",
             "--covar-pos", "2,3", "--out", "predict"},
            {"--kinship", "--bedfile", kDemo, "--kin-gcta", "--kin-bin", "--out", "Gbin"},
            {"--predict", "--kin-file", "Gbin.grm.bin", "--phefile", kDemo + ".phe", "--phe-pos", "4", "--covar-pos",
             "2,3", "--out", "gcta"},
            {"--predict", "--kin-file", "Gbin.bin", "--phefile", kDemo + ".phe", "--phe-pos", "4", "--covar-pos",
             "2,3", "--out", "bin"}};
        for (const auto& job : jobs) {
            d.runs.push_back(run_zelkora(job, d.dir));
            EXPECT_EQ(d.runs.back().status, 0) << d.runs.back().out << d.runs.back().err;
        }
        // The demo's calls decoded longhand, proven exact by the encoding giving back the file.
        for (const auto& line : words_of(read_file(kDemo + ".fam"))) {
            d.genotyped.push_back(line.at(1));
        }
        const std::string bed = read_file(kDemo + ".bed");
        const int n_markers = static_cast<int>(words_of(read_file(kDemo + ".bim")).size());
        const Eigen::MatrixXd dosages = decode_bed(bed, static_cast<int>(d.genotyped.size()), n_markers);
        EXPECT_TRUE(encode_bed(dosages) == bed);
        d.G = textbook_grm(dosages, 1, 1.0);
        for (Eigen::Index j = 0; j < dosages.cols(); ++j) {
            double first = -1.0;
            bool varies = false;
            for (Eigen::Index i = 0; i < dosages.rows(); ++i) {
                const double call = dosages(i, j);
                varies = varies || (call >= 0.0 && first >= 0.0 && call != first);
                first = first >= 0.0 ? first : call;
            }
            d.informative_markers += varies ? 1 : 0;
        }
        for (const auto& line : words_of(read_file(kDemo + ".fam"))) {
            d.genotyped_families.push_back(line.at(0));
        }

        // A by the tabular method, parents before offspring as the demo pedigree lists them.
        const auto pedigree = words_of(read_file(kDemo + ".ped"));  // header "ID Sire Dam" first
        std::map<std::string, int> index = {{"0", -1}};
        std::vector<std::pair<int, int>> parents;
        for (std::size_t line = 1; line < pedigree.size(); ++line) {
            parents.emplace_back(index.at(pedigree[line].at(1)), index.at(pedigree[line].at(2)));
            index[pedigree[line].at(0)] = static_cast<int>(line) - 1;
            d.pedigree_ids.push_back(pedigree[line].at(0));
        }
        d.A = tabular_relationships(parents);
        return d;
    }();
    return runs;
}

// The phenotype records whose ID is in `ids`: trait in column 4, covariates in columns 2 and 3.
auto records(const std::vector<std::string>& ids) {
    const Model m = readPhenotype(kDemo + ".phe", 3, {1, 2}, {ids.begin(), ids.end()});
    return std::tuple(m.response.y, m.fixed.full, m.fixed.reduced, m.response.record_ids, m.fixed.labels);
}

// The masked console of a REML run on the demo up to its estimates: `gap` after the first 👉 (none
// for --reml), the individuals of the kinship file and the records used, then `size_line`.
std::string reml_console(const std::string& gap, const std::string& kinship, int individuals, int records,
                         const std::string& size_line) {
    return kStartLines + "👉" + gap + "Loading kinship file: " + kinship + ".kinship.txt\n\t" +
           std::to_string(individuals) + " individuals were detected in the kinship file.\n👉 Loading phenotype file: " +
           kDemo + ".phe\n\t" + std::to_string(records) + " effective records without missing covariate and kinship "
           "and will be used for REML analysis.\n" + size_line + "\n🏃 Start REML analysis!\n\n Iteration         "
           "LogLik       Sigma_a2       Sigma_e2     Changed_a2     Changed_e2\n<trace>\n✅ Converged!!!\n\nComp\tVar"
           "\tVar_SE\nAdd\t#\t#\ne\t#\t#\n\n👏 Heritability: # with SE #\n\n";
}

// The breeding values in `path` against the mixed model equations at the REML maximum, for the
// kinship K_all of `ids`; `fixed` receives the fixed effects of those equations.
void expect_breeding_values(const Eigen::MatrixXd& K_all, const std::vector<std::string>& ids, const std::string& path,
                            Eigen::MatrixXd& fixed) {
    const auto [y, full, X, record_ids, labels] = records(ids);
    Eigen::MatrixXd Z = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(record_ids.size()), static_cast<Eigen::Index>(ids.size()));
    const std::vector<Eigen::Index> columns = positions_of(record_ids, ids);
    for (std::size_t i = 0; i < columns.size(); ++i) {
        Z(static_cast<Eigen::Index>(i), columns[i]) = 1.0;
    }
    // At the REML maximum; the run stops within its convergence tolerance of it, which moves the
    // solutions by up to about 1e-5 of their size.
    const DenseRemlFit reml = dense_reml_maximum(Z * K_all * Z.transpose(), X, y);
    const auto [b, u] = reference_mme(Z, K_all, X, y, reml.sigma_a2 / (reml.sigma_a2 + reml.sigma_e2));
    fixed = b;

    const auto lines = words_of(read_file(path));
    ASSERT_EQ(lines.size(), ids.size() + 1);
    EXPECT_EQ(lines[0], std::vector<std::string>{"Sample_ID,Ran_Effects"});
    for (std::size_t k = 0; k < ids.size(); ++k) {
        ASSERT_EQ(lines[k + 1].at(0), ids[k]);
        const double expected = u(static_cast<Eigen::Index>(k), 0);
        EXPECT_NEAR(std::stod(lines[k + 1].at(1)), expected, 5e-5 * std::abs(expected) + 1e-7) << ids[k];
    }
}

// Values are written with 4 decimals: half a unit of the last one, and a little for the binary
// representation of the rounded value.
constexpr double kFileRounding = 0.5e-4 + 1e-9;

}  // namespace

TEST(ExamplesEndToEnd, GenomicAndPedigreeMatricesFollowTheirDefinitions) {
    const Demo& d = demo();
    EXPECT_LE((kinship_in_order(d.dir + "/G.kinship.txt", d.genotyped) - d.G).cwiseAbs().maxCoeff(), kFileRounding);
    EXPECT_LE((kinship_in_order(d.dir + "/A.kinship.txt", d.pedigree_ids) - d.A).cwiseAbs().maxCoeff(),
              kFileRounding);
}

TEST(ExamplesEndToEnd, SingleStepMatrixFollowsTheBlockFormulas) {
    const Demo& d = demo();
    // Non-genotyped individuals in pedigree order, then the genotyped in .fam order.
    const std::set<std::string> genotyped(d.genotyped.begin(), d.genotyped.end());
    std::vector<std::string> order;
    std::copy_if(d.pedigree_ids.begin(), d.pedigree_ids.end(), std::back_inserter(order),
                 [&](const std::string& id) { return genotyped.count(id) == 0; });
    const auto u = static_cast<Eigen::Index>(order.size());
    const auto g = static_cast<Eigen::Index>(d.genotyped.size());
    order.insert(order.end(), d.genotyped.begin(), d.genotyped.end());
    const std::vector<Eigen::Index> rows = positions_of(order, d.pedigree_ids);
    const Eigen::MatrixXd A = d.A(rows, rows);
    const Eigen::MatrixXd A22_inverse = A.bottomRightCorner(g, g).inverse();
    const Eigen::MatrixXd D = d.G - A.bottomRightCorner(g, g);
    Eigen::MatrixXd H = A;
    H.topLeftCorner(u, u) += A.topRightCorner(u, g) * A22_inverse * D * A22_inverse * A.bottomLeftCorner(g, u);
    H.topRightCorner(u, g) += A.topRightCorner(u, g) * A22_inverse * D;
    H.bottomLeftCorner(g, u) += D * A22_inverse * A.bottomLeftCorner(g, u);
    H.bottomRightCorner(g, g) = d.G;
    EXPECT_LE((kinship_in_order(d.dir + "/H.kinship.txt", order) - H).cwiseAbs().maxCoeff(), kFileRounding);
}

TEST(ExamplesEndToEnd, RemlTraceAndEstimatesFollowTheLiteralIteration) {
    const Demo& d = demo();
    const auto [y, full, X, record_ids, labels] = records(d.genotyped);
    // The run reads the written G: the reference uses the same 4-decimal values.
    const Eigen::MatrixXd K = kinship_in_order(d.dir + "/G.kinship.txt", record_ids);
    const std::string& console = d.runs[3].out;
    // The printed trace is the textbook AI iteration (the example takes full steps throughout).
    std::size_t printed = 0;
    while (!numbers_after(console, std::to_string(printed + 1)).empty()) {
        ++printed;
    }
    ASSERT_GE(printed, 2u);
    const std::vector<TraceRow> trace = literal_ai_iterations(K, X, y, static_cast<int>(printed), 0.3);
    for (std::size_t k = 0; k < printed; ++k) {
        const auto rows = numbers_after(console, std::to_string(k + 1));
        const TraceRow& step = trace[k];
        const double expected[5] = {step.log_likelihood, step.sigma_a2, step.sigma_e2, step.change_a2, step.change_e2};
        for (std::size_t column = 0; column < 5; ++column) {
            EXPECT_NEAR(rows[0].at(column), expected[column], 1e-5 * std::abs(expected[column]))
                << "iteration " << k + 1 << ", column " << column;
        }
    }
    // The estimate is the maximum of the dense likelihood; its standard error comes from the
    // average information there.
    const DenseRemlFit best = dense_reml_maximum(K, X, y);
    const auto add = numbers_after(console, "Add").at(0);
    EXPECT_NEAR(add.at(0), best.sigma_a2, 1e-4 * best.sigma_a2);
    const double se_a2 = std::sqrt(dense_average_information(K, X, y, add.at(0), numbers_after(console, "e").at(0).at(0))
                                       .inverse()(0, 0));
    EXPECT_NEAR(add.at(1), se_a2, 1e-4 * se_a2);
    // The lines in their order; with --predict as well only REML is run.
    expect_console_and_log(console, read_file(d.dir + "/reml.log"),
                           reml_console("", "G", 400, 370, "👉 kinship matrix size: 370 x 370 used for REML analysis.\n")
                               + "😊 All finished!\n\n");
    EXPECT_EQ(d.runs[3].err, "👏 Variance components were saved in reml.vc.txt\n");
    EXPECT_FALSE(file_exists(d.dir + "/reml.random.txt"));
}

TEST(ExamplesEndToEnd, BreedingValuesSolveTheMixedModelEquations) {
    const Demo& d = demo();
    const std::vector<std::string> h_ids = load_kinship_text(d.dir + "/H.kinship.txt").ids;
    Eigen::MatrixXd b;
    expect_breeding_values(kinship_in_order(d.dir + "/H.kinship.txt", h_ids), h_ids, d.dir + "/predict.random.txt", b);
    const auto lines = words_of(read_file(d.dir + "/predict.random.txt"));
    EXPECT_NEAR(numbers_after(d.runs[4].out, "Intercept").at(0).at(0), b(0, 0), 1e-5 * std::abs(b(0, 0)));
    // The lines in their order. Fixed effects: the intercept, then each covariate's levels with
    // the first-met one at 0.
    expect_console_and_log(d.runs[4].out, read_file(d.dir + "/predict.log"),
                           reml_console(" ", "H", 600, 558, "") +
                               "🏃 Start predict breeding values!\n\n👉 Breeding values of 600 individuals will be "
                               "predicted\n\n👏 Fixed effects were shown:\n\nIntercept\t#\nCovar2_F\t0\nCovar2_M\t#\n"
                               "Covar3_H2\t0\nCovar3_H1\t#\nCovar3_H3\t#\n\n😊 All finished!\n\n");
    EXPECT_EQ(d.runs[4].err, "\n👏 Predicted breeding values were saved in predict.random.txt\n👏 Their standard "
                             "errors and reliabilities were saved in predict.reliability.txt\n👏 Variance components "
                             "were saved in predict.vc.txt\n");
    // The reliability file: the same individuals and breeding values, reliabilities in [0, 1].
    const auto reliabilities = words_of(read_file(d.dir + "/predict.reliability.txt"));
    ASSERT_EQ(reliabilities.size(), lines.size());
    EXPECT_EQ(reliabilities[0], (std::vector<std::string>{"ID", "EBV", "SE", "Reliability"}));
    for (std::size_t k = 1; k < lines.size(); ++k) {
        ASSERT_EQ(reliabilities[k].size(), 4u);
        EXPECT_EQ(reliabilities[k][0], lines[k].at(0));
        EXPECT_EQ(reliabilities[k][1], lines[k].at(1));
        const double reliability = std::stod(reliabilities[k][3]);
        EXPECT_TRUE(reliability >= 0.0 && reliability <= 1.0) << reliabilities[k][0];
    }
}

// The trio for other tools holds G as floats, the .fam's family and individual IDs and the
// markers behind every pair; both binary layouts read back as --kin-file give the breeding
// values of those floats.
TEST(ExamplesEndToEnd, BinaryKinshipFilesRoundTripIntoThePrediction) {
    const Demo& d = demo();
    const std::size_t n = d.genotyped.size();
    const std::string matrix_bytes = read_file(d.dir + "/Gbin.grm.bin");
    ASSERT_EQ(matrix_bytes.size(), 4 * n * (n + 1) / 2);
    EXPECT_EQ(read_file(d.dir + "/Gbin.bin"), matrix_bytes);
    const std::string count_bytes = read_file(d.dir + "/Gbin.grm.N.bin");
    ASSERT_EQ(count_bytes.size(), matrix_bytes.size());
    Eigen::MatrixXd K(n, n);
    for (std::size_t i = 0, t = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j, ++t) {
            float value = 0.0f, count = 0.0f;
            std::memcpy(&value, matrix_bytes.data() + 4 * t, 4);
            std::memcpy(&count, count_bytes.data() + 4 * t, 4);
            K(i, j) = K(j, i) = value;
            ASSERT_EQ(count, static_cast<float>(d.informative_markers)) << i << ", " << j;
        }
    }
    EXPECT_LE((K - d.G).cwiseAbs().maxCoeff(), 1e-6 * d.G.cwiseAbs().maxCoeff());
    const auto id_lines = words_of(read_file(d.dir + "/Gbin.grm.id"));
    ASSERT_EQ(id_lines.size(), n);
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_EQ(id_lines[k], (std::vector<std::string>{d.genotyped_families[k], d.genotyped[k]}));
    }
    EXPECT_NE(read_file(d.dir + "/Gbin.grm.id").find(d.genotyped_families[0] + "\t" + d.genotyped[0] + "\n"),
              std::string::npos);
    EXPECT_FALSE(file_exists(d.dir + "/Gbin.kinship.txt"));
    EXPECT_NE(d.runs[5].out.find("👏 Kinship matrix written to Gbin.grm.bin, Gbin.grm.id and Gbin.grm.N.bin.\n"),
              std::string::npos);

    Eigen::MatrixXd b;
    expect_breeding_values(K, d.genotyped, d.dir + "/gcta.random.txt", b);
    EXPECT_EQ(read_file(d.dir + "/bin.random.txt"), read_file(d.dir + "/gcta.random.txt"));
}

// The log-likelihood of a model with several random effects is on the scale of the one-kinship
// REML: the same model through the band path (--kin-file) and the grouped path (--pe that the
// records leave out) agrees, and the worked figures of the guide stay what they are.
TEST(ExamplesEndToEnd, LogLikelihoodsAgreeAcrossPathsAndKeepTheGuidesFigures) {
    const Demo& d = demo();
    const auto log_likelihood = [&](const std::vector<std::string>& args, const std::string& out) {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--out", out});
        const CommandResult run = run_zelkora(all, d.dir);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        for (const std::string& line : lines_of(read_file(d.dir + "/" + out + ".vc.txt"))) {
            if (line.rfind("logL\t", 0) == 0) return std::stod(line.substr(5));
        }
        ADD_FAILURE() << out << ".vc.txt has no logL row";
        return 0.0;
    };
    const std::vector<std::string> demo_trait = {"--reml", "--kin-file", "G.kinship.txt", "--phefile", kDemo + ".phe",
                                                 "--phe-pos", "4", "--covar-pos", "2,3"};
    std::vector<std::string> grouped = demo_trait;
    grouped.push_back("--pe");  // one record each: left out, the model stays that of --kin-file
    const double band = log_likelihood(demo_trait, "band");
    EXPECT_NEAR(band, -997.533, 5e-4);
    EXPECT_NEAR(log_likelihood(grouped, "grouped"), band, 1e-6 * std::abs(band));

    write_file(d.dir + "/two.list", "G.kinship.txt\nA.kinship.txt\n");
    EXPECT_NEAR(log_likelihood({"--reml", "--mkin-file", "two.list", "--phefile", kDemo + ".phe", "--phe-pos", "4",
                                "--covar-pos", "2,3"}, "two"),
                -997.533, 5e-4);
    EXPECT_NEAR(log_likelihood({"--reml", "--kin-file", "G.kinship.txt", "--phefile", kDemo + ".rep.phe", "--phe-pos",
                                "5", "--covar-pos", "2,3", "--pe", "--rand-pos", "4"}, "repeated"),
                -1802.1, 0.05);
}
