// SNP effects behind GBLUP against SNP-BLUP solved in the test: the marker model y = 1 mu + W a
// + e with a ~ N(0, s2a / (2 sum pq) I) is GBLUP with G = Z Z' / (2 sum pq), so its effects,
// their p from Var(a^) = s2_snp - PEV, and the windows' shares of Z a are what the run must give.

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "genomic/genomic.h"
#include "genomic/genotype_files.h"
#include "test_support.h"

namespace {

constexpr int kSnpAnimals = 40;
constexpr int kSnpRecorded = 30;
constexpr int kSnpMarkers = 60;
constexpr double kSnpGenetic = 2.0, kSnpResidual = 3.0;

// The centred genotypes as the textbook has them (a missing call at the marker's mean), and
// 2 sum pq.
Eigen::MatrixXd centred_genotypes(const Eigen::MatrixXd& dosages, double& two_pq) {
    Eigen::MatrixXd Z(dosages.rows(), dosages.cols());
    two_pq = 0.0;
    for (Eigen::Index j = 0; j < dosages.cols(); ++j) {
        double sum = 0.0;
        int called = 0;
        for (Eigen::Index i = 0; i < dosages.rows(); ++i) {
            if (dosages(i, j) >= 0.0) {
                sum += dosages(i, j);
                ++called;
            }
        }
        const double mean = called > 0 ? sum / called : 0.0, p = mean / 2.0;
        two_pq += 2.0 * p * (1.0 - p);
        for (Eigen::Index i = 0; i < dosages.rows(); ++i) Z(i, j) = (dosages(i, j) >= 0.0 ? dosages(i, j) : mean) - 2.0 * p;
    }
    return Z;
}

struct MarkerData {
    Eigen::MatrixXd dosages = random_dosages(kSnpAnimals, kSnpMarkers, 91, 0.03);
    double two_pq = 0.0;  // set with Z, so declared before it
    Eigen::MatrixXd Z;    // centred, missing calls at the marker's mean
    Eigen::VectorXd y;

    MarkerData() : Z(centred_genotypes(dosages, two_pq)), y(kSnpRecorded) {
        std::mt19937 engine(92);
        std::normal_distribution<double> normal;
        Eigen::VectorXd a(kSnpMarkers);
        for (int j = 0; j < kSnpMarkers; ++j) a[j] = normal(engine) * std::sqrt(kSnpGenetic / two_pq);
        for (int i = 0; i < kSnpRecorded; ++i) y[i] = 50.0 + Z.row(i).dot(a) + std::sqrt(kSnpResidual) * normal(engine);
    }
    Eigen::MatrixXd G() const { return Z * Z.transpose() / two_pq; }
};

std::string snp_kinship_text(const Eigen::MatrixXd& G) {
    std::ostringstream text;
    for (int j = 0; j < kSnpAnimals; ++j) text << "\tID" << j + 1;
    text << "\n";
    char number[40];
    for (int i = 0; i < kSnpAnimals; ++i) {
        text << "ID" << i + 1;
        for (int j = 0; j < kSnpAnimals; ++j) {
            std::snprintf(number, sizeof(number), "%.14f", G(i, j));
            text << "\t" << number;
        }
        text << "\n";
    }
    return text.str();
}

// The scratch folder with the genotypes (markers 1-30 on chromosome 1, 31-60 on 2), G as text
// and the records of the first 30 animals.
std::string write_snp_inputs(const MarkerData& data, const Eigen::MatrixXd& G) {
    const std::string dir = make_scratch_dir();
    write_genotype_set(dir + "/geno", data.dosages);
    std::string bim;
    for (int j = 0; j < kSnpMarkers; ++j) {
        bim += std::string(j < 30 ? "1" : "2") + "\tsnp" + std::to_string(j + 1) + "\t0\t" +
               std::to_string(1000 * (j + 1)) + "\tA\tG\n";
    }
    write_file(dir + "/geno.bim", bim);
    write_file(dir + "/G.txt", snp_kinship_text(G));
    std::ostringstream phenotypes;
    phenotypes.precision(12);
    phenotypes << "ID\tTrait\n";
    for (int i = 0; i < kSnpRecorded; ++i) phenotypes << "ID" << i + 1 << "\t" << data.y[i] << "\n";
    write_file(dir + "/p.txt", phenotypes.str());
    return dir;
}

const std::vector<std::string> kSnpEffectsRun = {"--predict", "--kin-file", "G.txt", "--phefile", "p.txt", "--phe-pos", "2",
                                       "--vc", "2,3", "--bedfile", "geno", "--snp-effects", "--snp-window", "5",
                                       "--out", "s"};

// Columns Effect, Window_share and P of PREFIX.snp.txt by marker, NaN for NA.
std::vector<std::vector<double>> snp_columns(const std::string& path) {
    std::vector<std::vector<double>> columns(3);
    const std::vector<std::string> lines = lines_of(read_file(path));
    EXPECT_EQ(lines.at(0), "SNP\tChr\tPos\tA1\tA2\tFreq_A1\tEffect\tWindow_share\tP");
    for (std::size_t r = 1; r < lines.size(); ++r) {
        std::istringstream fields(lines[r]);
        std::vector<std::string> cells;
        for (std::string cell; std::getline(fields, cell, '\t');) cells.push_back(cell);
        for (int c = 0; c < 3; ++c) {
            const std::string& cell = cells.at(static_cast<std::size_t>(6 + c));
            columns[static_cast<std::size_t>(c)].push_back(cell == "NA" ? std::nan("") : std::stod(cell));
        }
    }
    return columns;
}

// SNP-BLUP with record weights w (R = s2e diag(1/w)): [1'W1 1'WM; M'W1 M'WM + lambda I] with
// lambda = s2e / s2_snp. Checks the effects and P of `path` against it and returns the effects.
Eigen::VectorXd expect_snp_blup(const MarkerData& data, const std::string& path, const Eigen::VectorXd& w) {
    const double snp_variance = kSnpGenetic / data.two_pq;
    const Eigen::MatrixXd M = data.Z.topRows(kSnpRecorded);
    Eigen::MatrixXd design(kSnpRecorded, 1 + kSnpMarkers);
    design << Eigen::VectorXd::Ones(kSnpRecorded), M;
    Eigen::MatrixXd C = design.transpose() * w.asDiagonal() * design;
    C.bottomRightCorner(kSnpMarkers, kSnpMarkers).diagonal().array() += kSnpResidual / snp_variance;
    const Eigen::MatrixXd inverse = C.inverse();
    const Eigen::VectorXd solution = inverse * (design.transpose() * w.asDiagonal() * data.y);
    const Eigen::VectorXd effects = solution.tail(kSnpMarkers);

    const auto columns = snp_columns(path);
    EXPECT_EQ(columns[0].size(), static_cast<std::size_t>(kSnpMarkers));
    const double largest = effects.cwiseAbs().maxCoeff();
    for (int j = 0; j < kSnpMarkers && columns[0].size() == static_cast<std::size_t>(kSnpMarkers); ++j) {
        const auto k = static_cast<std::size_t>(j);
        if (data.Z.col(j).cwiseAbs().maxCoeff() == 0.0) {
            EXPECT_TRUE(std::isnan(columns[0][k])) << "marker " << j + 1 << " does not vary: no effect";
            continue;
        }
        EXPECT_NEAR(columns[0][k], effects[j], 1e-9 * largest) << "marker " << j + 1;
        // A marker the records do not tell about (it varies only among the animals without a
        // record) has no variance of its estimate to test against.
        const double variance = snp_variance - kSnpResidual * inverse(1 + j, 1 + j);
        if (variance < 1e-6 * snp_variance) continue;
        EXPECT_NEAR(columns[2][k], std::erfc(std::fabs(effects[j]) / std::sqrt(2.0 * variance)), 1e-7)
            << "marker " << j + 1;
    }
    return effects;
}

}  // namespace

TEST(MarkerEffects, GblupEffectsAreTheSnpBlupSolutionWithTheirPAndWindows) {
    const MarkerData data;
    const std::string dir = write_snp_inputs(data, data.G());
    const CommandResult run = run_zelkora(kSnpEffectsRun, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const Eigen::VectorXd effects = expect_snp_blup(data, dir + "/s.snp.txt", Eigen::VectorXd::Ones(kSnpRecorded));
    const auto columns = snp_columns(dir + "/s.snp.txt");
    ASSERT_EQ(columns[0].size(), static_cast<std::size_t>(kSnpMarkers));
    // Windows of 5 markers within each chromosome, over every animal.
    const auto variance_of = [](const Eigen::VectorXd& v) { return (v.array() - v.mean()).square().mean(); };
    Eigen::VectorXd clean = effects;
    for (int j = 0; j < kSnpMarkers; ++j) {
        if (data.Z.col(j).cwiseAbs().maxCoeff() == 0.0) clean[j] = 0.0;
    }
    const double total = variance_of(data.Z * clean);
    for (int j = 0; j < kSnpMarkers; ++j) {
        if (std::isnan(columns[0][static_cast<std::size_t>(j)])) continue;
        const int end = std::min(j + 5, j < 30 ? 30 : kSnpMarkers);
        const Eigen::VectorXd window = data.Z.middleCols(j, end - j) * clean.segment(j, end - j);
        EXPECT_NEAR(columns[1][static_cast<std::size_t>(j)], variance_of(window) / total, 1e-9) << "marker " << j + 1;
    }
    // And Z a^ is every animal's breeding value, those without records too.
    const Eigen::VectorXd values = data.Z * clean;
    int animals = 0;
    for (const std::string& line : lines_of(read_file(dir + "/s.random.txt"))) {
        std::istringstream fields(line);
        std::string id;
        double value = 0.0;
        if (!(fields >> id >> value)) continue;  // the header
        const double expected = values[std::stoi(id.substr(2)) - 1];
        EXPECT_NEAR(value, expected, 1e-5 * (1.0 + std::fabs(expected))) << line;  // written to 6 digits
        ++animals;
    }
    EXPECT_EQ(animals, kSnpAnimals);
}

// Daughter yield deviations of unequal information: with --weights the effects back-solved from
// GBLUP are those of SNP-BLUP with the same weights.
TEST(MarkerEffects, WeightedGblupEffectsAreTheWeightedSnpBlupSolution) {
    const MarkerData data;
    const std::string dir = write_snp_inputs(data, data.G());
    Eigen::VectorXd w(kSnpRecorded);
    std::ostringstream phenotypes;
    phenotypes.precision(12);
    phenotypes << "ID\tTrait\tDaughters\n";
    for (int i = 0; i < kSnpRecorded; ++i) {
        w[i] = 0.5 + (i * 7 % 11) / 2.0;  // 0.5 to 5.5
        phenotypes << "ID" << i + 1 << "\t" << data.y[i] << "\t" << w[i] << "\n";
    }
    write_file(dir + "/p.txt", phenotypes.str());
    const CommandResult run =
        run_zelkora({"--predict", "--kin-file", "G.txt", "--phefile", "p.txt", "--model", "Trait ~ animal", "--weights",
                     "Daughters", "--vc", "2,3", "--bedfile", "geno", "--snp-effects", "--out", "w"},
                    dir);
    ASSERT_EQ(run.status, 0) << run.err;
    expect_snp_blup(data, dir + "/w.snp.txt", w);
}

// A kinship that is not the G of the genotypes by the run's method is refused before any effect
// is written, naming the value that differs; so is --snp-effects without the genotypes.
TEST(MarkerEffects, AKinshipOfOtherGenotypesOrMethodIsRefused) {
    const MarkerData data;
    Eigen::MatrixXd other = data.G();
    other(3, 3) += 0.01;
    const std::string dir = write_snp_inputs(data, other);
    const CommandResult run = run_zelkora(kSnpEffectsRun, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("--snp-effects: G.txt is not the G of geno by --kin-method 1: its diagonal at ID4 is"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(file_exists(dir + "/s.snp.txt"));
    std::vector<std::string> method_two = kSnpEffectsRun;
    method_two.insert(method_two.end(), {"--kin-method", "2"});
    write_file(dir + "/G.txt", snp_kinship_text(data.G()));
    EXPECT_NE(run_zelkora(method_two, dir).err.find("is not the G of geno by --kin-method 2"), std::string::npos);
    // --reml beside --predict runs REML alone: the effects are not made, and the run says so.
    const CommandResult with_reml = run_zelkora({"--reml", "--predict", "--kin-file", "G.txt", "--phefile", "p.txt",
                                                 "--phe-pos", "2", "--bedfile", "geno", "--snp-effects", "--out", "r"},
                                                dir);
    EXPECT_EQ(with_reml.status, 0) << with_reml.err;
    EXPECT_NE(with_reml.err.find("--snp-effects is an option of --predict, which does not run when --reml is given: "
                                 "it is ignored."),
              std::string::npos)
        << with_reml.err;
    EXPECT_FALSE(file_exists(dir + "/r.snp.txt"));
    std::vector<std::string> without = {"--predict", "--kin-file", "G.txt", "--phefile", "p.txt", "--phe-pos", "2",
                                        "--vc", "2,3", "--snp-effects", "--out", "s"};
    const CommandResult refused = run_zelkora(without, dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("--snp-effects needs the genotypes behind the kinship: give --bedfile PREFIX"),
              std::string::npos)
        << refused.err;
}

// The evaluation's own animals scored with its effects get their breeding values, however the
// new genotypes code the alleles: A1 and A2 swapped (the dosage of the other allele), the other
// strand, or both. Too few markers matched is refused with the counts.
TEST(MarkerEffects, ScoresAreTheBreedingValuesWhateverTheAlleleCoding) {
    const MarkerData data;
    const std::string dir = write_snp_inputs(data, data.G());
    ASSERT_EQ(run_zelkora(kSnpEffectsRun, dir).status, 0);
    // Markers 1-10 swapped, 11-20 on the other strand, 21-25 both.
    Eigen::MatrixXd recoded = data.dosages;
    std::string bim;
    for (int j = 0; j < kSnpMarkers; ++j) {
        const bool swapped = j < 10 || (j >= 20 && j < 25), strand = j >= 10 && j < 25;
        if (swapped) {
            for (int i = 0; i < kSnpAnimals; ++i) {
                if (recoded(i, j) >= 0.0) recoded(i, j) = 2.0 - recoded(i, j);
            }
        }
        const std::string a1 = strand ? "T" : "A", a2 = strand ? "C" : "G";
        bim += std::string(j < 30 ? "1" : "2") + "\tsnp" + std::to_string(j + 1) + "\t0\t" +
               std::to_string(1000 * (j + 1)) + "\t" + (swapped ? a2 + "\t" + a1 : a1 + "\t" + a2) + "\n";
    }
    write_genotype_set(dir + "/new", recoded);
    write_file(dir + "/new.bim", bim);
    const std::map<std::string, double> breeding_values = [&] {
        std::map<std::string, double> values;
        for (const std::string& line : lines_of(read_file(dir + "/s.random.txt"))) {
            std::istringstream fields(line);
            std::string id;
            double value = 0.0;
            if (fields >> id >> value) values[id] = value;
        }
        return values;
    }();
    std::map<std::string, double> scores[2];
    for (int set = 0; set < 2; ++set) {
        const CommandResult run =
            run_zelkora({"--score", "s.snp.txt", "--bedfile", set == 0 ? "geno" : "new", "--out", "scored"}, dir);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<std::string> lines = lines_of(read_file(dir + "/scored.score.txt"));
        EXPECT_EQ(lines.at(0), "ID\tValue\tMarkers_used");
        for (std::size_t r = 1; r < lines.size(); ++r) {
            std::istringstream fields(lines[r]);
            std::string id;
            double value = 0.0;
            int used = 0;
            ASSERT_TRUE(fields >> id >> value >> used) << lines[r];
            scores[set][id] = value;
            const double expected = breeding_values.at(id);
            EXPECT_NEAR(value, expected, 1e-5 * (1.0 + std::fabs(expected))) << lines[r];
        }
        EXPECT_EQ(scores[set].size(), static_cast<std::size_t>(kSnpAnimals));
    }
    for (const auto& [id, value] : scores[0]) EXPECT_NEAR(scores[1].at(id), value, 1e-12) << id;

    // Seven of the 56 markers with an effect renamed: 49 match, below 90 %.
    for (int j = 40; j < 47; ++j) {
        const std::string name = "\tsnp" + std::to_string(j + 1) + "\t";
        bim.replace(bim.find(name), name.size(), "\tother" + std::to_string(j + 1) + "\t");
    }
    write_file(dir + "/new.bim", bim);
    const CommandResult few = run_zelkora({"--score", "s.snp.txt", "--bedfile", "new", "--out", "few"}, dir);
    EXPECT_EQ(few.status, 1);
    EXPECT_NE(few.err.find("--score: only 49 of the 56 markers with an effect matched"), std::string::npos) << few.err;
    EXPECT_FALSE(file_exists(dir + "/few.score.txt"));

    // The scores never overwrite the effects they read.
    write_file(dir + "/o.score.txt", read_file(dir + "/s.snp.txt"));
    const CommandResult clash = run_zelkora({"--score", "o.score.txt", "--bedfile", "geno", "--out", "o"}, dir);
    EXPECT_EQ(clash.status, 1);
    EXPECT_NE(clash.err.find("the output file o.score.txt (--out o) is the input file o.score.txt of --score"),
              std::string::npos)
        << clash.err;
    EXPECT_EQ(read_file(dir + "/o.score.txt"), read_file(dir + "/s.snp.txt"));
}

// The alleles of new genotypes against those of an effect: an A/T or C/G pair read the other
// way round could be a swap or the other strand, and is not guessed.
TEST(MarkerEffects, AllelesAreMatchedAsSwapsAndStrandsWithoutGuessingPalindromes) {
    EXPECT_EQ(match_alleles("A", "G", "A", "G"), AlleleMatch::same);
    EXPECT_EQ(match_alleles("g", "a", "A", "G"), AlleleMatch::swapped);
    EXPECT_EQ(match_alleles("T", "C", "A", "G"), AlleleMatch::strand);
    EXPECT_EQ(match_alleles("C", "T", "A", "G"), AlleleMatch::strand_swapped);
    EXPECT_EQ(match_alleles("A", "T", "A", "T"), AlleleMatch::same);
    EXPECT_EQ(match_alleles("T", "A", "A", "T"), AlleleMatch::palindromic);
    EXPECT_EQ(match_alleles("G", "C", "C", "G"), AlleleMatch::palindromic);
    EXPECT_EQ(match_alleles("A", "C", "A", "G"), AlleleMatch::other);
    EXPECT_EQ(match_alleles("AT", "A", "A", "AT"), AlleleMatch::swapped);
    EXPECT_EQ(match_alleles("AT", "A", "T", "AT"), AlleleMatch::other);
}

// The picture of the window shares draws every marker up to 10,000; beyond, the top 1 % and an
// even thinning of the others, and says so.
TEST(MarkerEffects, ThePictureKeepsTheTopPercentAndThinsTheRest) {
    const int animals = 12, markers = 12000;
    const Eigen::MatrixXd dosages = random_dosages(animals, markers, 93, 0.0);
    const std::string dir = make_scratch_dir();
    write_genotype_set(dir + "/geno", dosages);
    ASSERT_EQ(run_zelkora({"--kinship", "--bedfile", "geno", "--out", "G"}, dir).status, 0);
    std::string phenotypes = "ID\tTrait\n";
    for (int i = 0; i < animals; ++i) phenotypes += "ID" + std::to_string(i + 1) + "\t" + std::to_string(i % 5) + "\n";
    write_file(dir + "/p.txt", phenotypes);
    const CommandResult run = run_zelkora({"--predict", "--kin-file", "G.kinship.txt", "--phefile", "p.txt",
                                           "--phe-pos", "2", "--vc", "1,1", "--bedfile", "geno", "--snp-effects",
                                           "--out", "s"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string svg = read_file(dir + "/s.manhattan.svg");
    std::size_t circles = 0;
    for (std::size_t at = svg.find("<circle"); at != std::string::npos; at = svg.find("<circle", at + 1)) ++circles;
    const auto columns = snp_columns(dir + "/s.snp.txt");
    std::size_t with_share = 0;
    for (const double share : columns[1]) with_share += std::isfinite(share) ? 1 : 0;
    ASSERT_GT(with_share, 10000u);
    EXPECT_EQ(circles, 10000u);
    EXPECT_NE(svg.find("10000 of " + std::to_string(with_share) +
                       " markers: the top 1 % and an even thinning of the others"),
              std::string::npos);
    // The largest share is drawn, and named.
    double largest = 0.0;
    for (const double share : columns[1]) largest = std::isfinite(share) ? std::max(largest, share) : largest;
    std::ostringstream label;
    label << "largest: " << 100.0 * largest << " %";
    EXPECT_NE(svg.find(label.str()), std::string::npos) << label.str();
}

// Single-step: the effects behind the genotyped animals' values are a = D Z' (G + 0.0001 I)^-1 u2,
// so Z a = G (G + 0.0001 I)^-1 u2, close to u2 but not equal; the log says how close. A pedigree
// of 60 animals, the 40 youngest genotyped, records on 50.
TEST(MarkerEffects, SingleStepEffectsStandBehindTheGenotypedAnimalsValues) {
    const int animals = 60, genotyped = 40, markers = 300;
    const Eigen::MatrixXd dosages = random_dosages(genotyped, markers, 95, 0.02);
    const std::string dir = make_scratch_dir();
    std::vector<std::string> ids;
    for (int i = animals - genotyped; i < animals; ++i) ids.push_back("A" + std::to_string(i + 1));
    write_genotype_set(dir + "/geno", dosages, 0, ids);
    std::mt19937 engine(96);
    std::string pedigree;
    for (int i = 0; i < animals; ++i) {
        std::string sire = "0", dam = "0";
        if (i >= 20) {
            sire = "A" + std::to_string(std::uniform_int_distribution<int>(1, 10)(engine));
            dam = "A" + std::to_string(std::uniform_int_distribution<int>(11, i)(engine));
        }
        pedigree += "A" + std::to_string(i + 1) + " " + sire + " " + dam + "\n";
    }
    write_file(dir + "/ped.txt", pedigree);
    std::normal_distribution<double> normal;
    std::ostringstream phenotypes;
    phenotypes << "ID\tTrait\n";
    for (int i = 10; i < animals; ++i) phenotypes << "A" << i + 1 << "\t" << 10.0 + 2.0 * normal(engine) << "\n";
    write_file(dir + "/p.txt", phenotypes.str());
    const CommandResult run = run_zelkora({"--predict", "--pedigree", "ped.txt", "--bedfile", "geno", "--phefile",
                                           "p.txt", "--phe-pos", "2", "--vc", "2,3", "--snp-effects", "--out", "ss"},
                                          dir);
    ASSERT_EQ(run.status, 0) << run.err;

    // G and Z as the textbook has them, over the genotyped animals.
    double two_pq = 0.0;
    const Eigen::MatrixXd Z = centred_genotypes(dosages, two_pq);
    const Eigen::MatrixXd G = Z * Z.transpose() / two_pq;
    Eigen::VectorXd u2(genotyped);
    for (const std::string& line : lines_of(read_file(dir + "/ss.random.txt"))) {
        std::istringstream fields(line);
        std::string id;
        double value = 0.0;
        if (!(fields >> id >> value)) continue;
        const int k = std::stoi(id.substr(1)) - 1 - (animals - genotyped);
        if (k >= 0) u2[k] = value;
    }
    const auto columns = snp_columns(dir + "/ss.snp.txt");
    Eigen::VectorXd effects(markers);
    for (int j = 0; j < markers; ++j) {
        const double effect = columns[0][static_cast<std::size_t>(j)];
        effects[j] = std::isnan(effect) ? 0.0 : effect;
        EXPECT_EQ(std::isnan(columns[2][static_cast<std::size_t>(j)]), std::isnan(effect)) << "a p where there is an effect";
    }
    const Eigen::VectorXd from_effects = Z * effects;
    const Eigen::VectorXd expected =
        G * (G + 1e-4 * Eigen::MatrixXd::Identity(genotyped, genotyped)).ldlt().solve(u2);
    for (int i = 0; i < genotyped; ++i) {
        EXPECT_NEAR(from_effects[i], expected[i], 1e-4 * (1.0 + u2.cwiseAbs().maxCoeff())) << "animal " << i;
    }
    const double correlation = ((from_effects.array() - from_effects.mean()) * (u2.array() - u2.mean())).sum() /
                               std::sqrt((from_effects.array() - from_effects.mean()).square().sum() *
                                         (u2.array() - u2.mean()).square().sum());
    EXPECT_GT(correlation, 0.99);
    EXPECT_NE(run.out.find("single-step: Z a = G (G + 0.0001 I)^-1 u2"), std::string::npos) << run.out;

    // The level the log gives puts the scores of the genotyped animals on the breeding values'.
    std::smatch level;
    ASSERT_TRUE(std::regex_search(run.out, level, std::regex("--score-offset (\\S+) puts"))) << run.out;
    const CommandResult scored =
        run_zelkora({"--score", "ss.snp.txt", "--bedfile", "geno", "--score-offset", level[1], "--out", "scored"}, dir);
    ASSERT_EQ(scored.status, 0) << scored.err;
    double sum = 0.0;
    int count = 0;
    for (const std::string& line : lines_of(read_file(dir + "/scored.score.txt"))) {
        std::istringstream fields(line);
        std::string id;
        double value = 0.0;
        if (fields >> id >> value) {
            sum += value;
            ++count;
        }
    }
    ASSERT_EQ(count, genotyped);
    EXPECT_NEAR(sum / count, u2.mean(), 1e-4 * (1.0 + u2.cwiseAbs().maxCoeff()));
}

// Single-step's P and reliabilities follow Var(a^) = D Z' Gw^-1 (s2a Gw - C22^-1) Gw^-1 Z D with
// C22 = E + Gw^-1 / s2a. Every animal genotyped and a founder with one record: E is what the
// records tell once the intercept has its share, (1 - 1/n) / s2e each.
TEST(MarkerEffects, SingleStepPFollowsFromTheApproximatePredictionErrorVariances) {
    const int animals = 30, markers = 80;
    const double genetic = 2.0, residual = 3.0;
    const Eigen::MatrixXd dosages = random_dosages(animals, markers, 97, 0.0);
    const std::string dir = make_scratch_dir();
    std::vector<std::string> ids;
    std::string pedigree = "ID Sire Dam\n";
    std::ostringstream phenotypes;
    phenotypes.precision(12);
    phenotypes << "ID\tTrait\n";
    std::mt19937 engine(98);
    std::normal_distribution<double> normal;
    for (int i = 0; i < animals; ++i) {
        ids.push_back("B" + std::to_string(i + 1));
        pedigree += ids.back() + " 0 0\n";
        phenotypes << ids.back() << "\t" << 5.0 * normal(engine) << "\n";
    }
    write_genotype_set(dir + "/geno", dosages, 0, ids);
    write_file(dir + "/ped.txt", pedigree);
    write_file(dir + "/p.txt", phenotypes.str());
    const CommandResult run =
        run_zelkora({"--predict", "--pedigree", "ped.txt", "--bedfile", "geno", "--phefile", "p.txt", "--phe-pos", "2",
                     "--vc", "2,3", "--snp-effects", "--out", "exact"},
                    dir);
    ASSERT_EQ(run.status, 0) << run.err;

    double two_pq = 0.0;
    const Eigen::MatrixXd Z = centred_genotypes(dosages, two_pq);
    Eigen::MatrixXd Gw = Z * Z.transpose() / two_pq;
    Gw.diagonal().array() += 1e-4;
    const Eigen::MatrixXd Gw_inverse = Gw.inverse();
    const Eigen::MatrixXd C22 =
        Eigen::MatrixXd::Identity(animals, animals) * (1.0 - 1.0 / animals) / residual + Gw_inverse / genetic;
    const Eigen::MatrixXd pev = C22.inverse();
    Eigen::VectorXd u2(animals);
    int rows = 0;
    for (const std::string& line : lines_of(read_file(dir + "/exact.reliability.txt"))) {
        std::istringstream fields(line);
        std::string id, method;
        double value = 0.0, se = 0.0, reliability = 0.0;
        if (!(fields >> id >> value >> se >> reliability >> method)) continue;  // the header
        const int i = std::stoi(id.substr(1)) - 1;
        u2[i] = value;
        EXPECT_EQ(method, "approximate");
        EXPECT_NEAR(se, std::sqrt(pev(i, i)), 1e-5 * std::sqrt(pev(i, i))) << id;
        EXPECT_NEAR(reliability, 1.0 - pev(i, i) / (genetic * Gw(i, i)), 1e-5) << id;
        ++rows;
    }
    EXPECT_EQ(rows, animals);
    const Eigen::MatrixXd variance_of_alpha = Gw_inverse * (genetic * Gw - pev) * Gw_inverse;
    const auto columns = snp_columns(dir + "/exact.snp.txt");
    int tested = 0;
    for (int j = 0; j < markers; ++j) {
        const double effect = columns[0][static_cast<std::size_t>(j)];
        if (std::isnan(effect)) continue;
        const double variance = Z.col(j).dot(variance_of_alpha * Z.col(j)) / (two_pq * two_pq);
        const double expected = (Z.col(j).dot(Gw_inverse * u2)) / two_pq;
        EXPECT_NEAR(effect, expected, 1e-4 * std::sqrt(variance)) << "marker " << j + 1;  // u2 read to 6 digits
        EXPECT_NEAR(columns[2][static_cast<std::size_t>(j)],
                    std::erfc(std::fabs(effect) / std::sqrt(2.0 * variance)), 1e-6)
            << "marker " << j + 1;
        ++tested;
    }
    EXPECT_GT(tested, markers / 2);
    EXPECT_NE(run.out.find("👉 P from Var(a) = D Z' Gw^-1 (sa2 Gw - C22) Gw^-1 Z D"), std::string::npos) << run.out;
}
