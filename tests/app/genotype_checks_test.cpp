// The checks before G and H on simulated data with planted faults (a duplicated sample, wrong
// sires, poorly called markers and animals, markers out of equilibrium, rare markers, genotyped
// animals outside the pedigree), through the built executable: each filter against PLINK 2, the
// planted faults found, parentage, the reports of G against A22 and of inbreeding.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kinship_io/kinship_io.h"
#include "test_support.h"

namespace {

std::vector<std::vector<std::string>> table_of(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : lines_of(text)) {
        std::vector<std::string> fields;
        std::istringstream words(line);
        for (std::string field; std::getline(words, field, '\t');) {
            fields.push_back(field);
        }
        rows.push_back(fields);
    }
    return rows;
}

// A binary kinship pair as a matrix with its IDs.
struct Kinship {
    std::vector<std::string> ids;
    Eigen::MatrixXd values;
    std::map<std::string, Eigen::Index> position;
    double at(const std::string& a, const std::string& b) const { return values(position.at(a), position.at(b)); }
};

Kinship load(const std::string& bin) {
    const KinshipFile file = read_kinship_file(bin);
    Kinship kinship;
    kinship.ids = getKinshipIds(file).second;
    kinship.values = filterKinshipMatrix(file, kinship.ids);
    for (std::size_t k = 0; k < kinship.ids.size(); ++k) {
        kinship.position[kinship.ids[k]] = static_cast<Eigen::Index>(k);
    }
    return kinship;
}

bool plink2_installed() { return std::system("command -v plink2 >/dev/null 2>&1") == 0; }

// The pedigree text with the parents that a parentage report flags set unknown, by hand; the
// number of offspring that lose a parent in `flagged_count`.
std::string pedigree_without_flagged(const std::string& parentage, const std::string& pedigree,
                                     std::size_t& flagged_count) {
    std::map<std::string, std::pair<std::string, std::string>> flagged;  // offspring -> (sire, dam) to drop
    for (const auto& row : table_of(parentage)) {
        if (row[6] == "flagged" && row[2] != "trio") {
            (row[2] == "sire" ? flagged[row[0]].first : flagged[row[0]].second) = row[1];
        }
    }
    flagged_count = flagged.size();
    std::string edited;
    for (const std::string& line : lines_of(pedigree)) {
        std::istringstream words(line);
        std::string id, sire, dam;
        words >> id >> sire >> dam;
        const auto found = flagged.find(id);
        if (found != flagged.end()) {
            sire = found->second.first == sire ? "0" : sire;
            dam = found->second.second == dam ? "0" : dam;
        }
        edited += id + " " + sire + " " + dam + "\n";
    }
    return edited;
}

class GenotypeChecks : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = make_scratch_dir();
        const CommandResult simulated = run_program(
            ZELKORA_SIMULATE_EXE,
            {"--out", "sim", "--individuals", "700", "--genotyped", "450", "--markers", "2500", "--seed", "7",
             "--plant-duplicates", "1", "--plant-wrong-sires", "3", "--plant-poor-markers", "20",
             "--plant-poor-individuals", "3", "--plant-hwe-markers", "10", "--plant-rare-markers", "30",
             "--plant-unpedigreed", "4"},
            dir_);
        if (simulated.status != 0) {
            setup_failure_ = "the simulator failed: " + simulated.err;
            return;
        }
        for (const auto& row : table_of(read_file(dir_ + "/sim.planted.txt"))) {
            if (row.size() == 3 && row[0] != "Error") {
                planted_.insert({row[0], {row[1], row[2]}});
            }
        }
        if (planted_.size() != 71u) {
            setup_failure_ = "the simulator planted " + std::to_string(planted_.size()) + " faults, not 71";
        }
    }
    // A failed set-up of the suite fails every test (an assertion in SetUpTestSuite would mark
    // them skipped, which ctest counts as passed).
    void SetUp() override { ASSERT_TRUE(setup_failure_.empty()) << setup_failure_; }

    static std::vector<std::string> planted(const std::string& kind) {
        std::vector<std::string> ids;
        for (auto [at, end] = planted_.equal_range(kind); at != end; ++at) {
            ids.push_back(at->second.first);
        }
        return ids;
    }
    // The word after `label` in the planted detail of `id` ("recorded sire I312, true sire I464").
    static std::string detail_word(const std::string& kind, const std::string& id, const std::string& label) {
        for (auto [at, end] = planted_.equal_range(kind); at != end; ++at) {
            if (at->second.first == id) {
                const std::string& detail = at->second.second;
                const std::size_t start = detail.find(label) + label.size();
                return detail.substr(start, detail.find(',', start) - start);
            }
        }
        return "";
    }

    // G of the whole set, unfiltered, run once.
    static const Kinship& whole_g() {
        static const Kinship G = [] {
            run({"--kinship", "--bedfile", "sim", "--kin-bin", "--out", "whole"});
            return load(dir_ + "/whole.bin");
        }();
        return G;
    }

    static CommandResult run(const std::vector<std::string>& args) {
        const CommandResult result = run_zelkora(args, dir_);
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        return result;
    }

    static std::string dir_;
    static std::string setup_failure_;
    static std::multimap<std::string, std::pair<std::string, std::string>> planted_;
};
std::string GenotypeChecks::dir_;
std::string GenotypeChecks::setup_failure_;
std::multimap<std::string, std::pair<std::string, std::string>> GenotypeChecks::planted_;

// Each filter alone gives the G of the data that PLINK 2 filtered first (with --nonfounders,
// since the frequencies and the equilibrium come from every individual kept), the same IDs and
// values within the floats' rounding.
TEST_F(GenotypeChecks, EachFilterAloneGivesTheGOfTheDataPlink2Filtered) {
    if (!plink2_installed()) {
        GTEST_SKIP() << "plink2 is not installed (scripts/setup installs it): the filters are not compared with "
                        "PLINK 2";
    }
    // Every third individual kept, every 17th removed (family ID and ID, as PLINK reads them);
    // every second marker extracted, every 7th excluded.
    std::string keep, remove, extract, exclude;
    const std::vector<std::string> fam = lines_of(read_file(dir_ + "/sim.fam"));
    for (std::size_t k = 0; k < fam.size(); ++k) {
        const std::string ids = fam[k].substr(0, fam[k].find(' ', fam[k].find(' ') + 1)) + "\n";
        keep += k % 3 == 0 ? ids : "";
        remove += k % 17 == 0 ? ids : "";
    }
    for (int j = 1; j <= 2500; ++j) {
        extract += j % 2 == 0 ? "snp" + std::to_string(j) + "\n" : "";
        exclude += j % 7 == 0 ? "snp" + std::to_string(j) + "\n" : "";
    }
    write_file(dir_ + "/keep.txt", keep);
    write_file(dir_ + "/remove.txt", remove);
    write_file(dir_ + "/extract.txt", extract);
    write_file(dir_ + "/exclude.txt", exclude);
    const std::vector<std::vector<std::string>> filters = {
        {"--maf", "0.05"},       {"--geno", "0.1"},           {"--mind", "0.1"},
        {"--hwe", "1e-6"},       {"--keep", "keep.txt"},      {"--remove", "remove.txt"},
        {"--extract", "extract.txt"}, {"--exclude", "exclude.txt"}, {"--chr", "1-3,5"}};
    for (const std::vector<std::string>& filter : filters) {
        SCOPED_TRACE(filter[0]);
        std::vector<std::string> plink = {"--bfile", "sim", "--nonfounders", "--make-bed", "--out", "plink"};
        plink.insert(plink.end(), filter.begin(), filter.end());
        ASSERT_EQ(run_program("plink2", plink, dir_).status, 0) << read_file(dir_ + "/plink.log");
        std::vector<std::string> ours = {"--kinship", "--bedfile", "sim", "--kin-bin", "--out", "filtered"};
        ours.insert(ours.end(), filter.begin(), filter.end());
        run(ours);
        run({"--kinship", "--bedfile", "plink", "--kin-bin", "--out", "reference"});
        ASSERT_EQ(read_file(dir_ + "/filtered.id"), read_file(dir_ + "/reference.id"));
        const Kinship filtered = load(dir_ + "/filtered.bin");
        const Kinship reference = load(dir_ + "/reference.bin");
        EXPECT_LE((filtered.values - reference.values).cwiseAbs().maxCoeff(), 1e-6);
        // Every marker and individual PLINK 2 dropped is listed with this filter.
        const std::size_t dropped = 450 + 2500 - lines_of(read_file(dir_ + "/plink.fam")).size() -
                                    lines_of(read_file(dir_ + "/plink.bim")).size();
        const auto removed = table_of(read_file(dir_ + "/filtered.removed.txt"));
        EXPECT_EQ(removed.size(), dropped + 1);
        for (std::size_t k = 1; k < removed.size(); ++k) {
            EXPECT_EQ(removed[k][2], filter[0]);
        }
    }
}

// The thresholds remove what was planted for them, each with its reason, and say how many in
// the log; a part of G writes the same list under its own name and none of the reports that
// need all of G.
TEST_F(GenotypeChecks, PlantedFaultsAreRemovedWithTheirReasons) {
    const std::vector<std::string> filters = {"--geno", "0.1", "--mind", "0.1", "--hwe", "1e-6", "--maf", "0.05"};
    std::vector<std::string> args = {"--kinship", "--bedfile", "sim", "--kin-bin", "--out", "qc"};
    args.insert(args.end(), filters.begin(), filters.end());
    const CommandResult result = run(args);
    std::map<std::string, std::string> reason;
    for (const auto& row : table_of(read_file(dir_ + "/qc.removed.txt"))) {
        reason[row[1]] = row[2];
    }
    for (const std::string& id : planted("poor_marker")) {
        EXPECT_EQ(reason[id], "--geno") << id;
    }
    for (const std::string& id : planted("poor_individual")) {
        EXPECT_EQ(reason[id], "--mind") << id;
    }
    for (const std::string& id : planted("hwe_marker")) {
        EXPECT_EQ(reason[id], "--hwe") << id;
    }
    for (const std::string& id : planted("rare_marker")) {
        EXPECT_EQ(reason[id], "--maf") << id;
    }
    const std::string log = read_file(dir_ + "/qc.log");
    EXPECT_NE(log.find("👉 --mind 0.1 removed 3 individuals (more than 10% of their calls missing).\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("👉 --geno 0.1 removed 20 markers (more than 10% of its calls missing).\n"), std::string::npos);
    EXPECT_NE(log.find("👉 --hwe 1e-06 removed 10 markers (Hardy-Weinberg exact test p below 1e-06).\n"),
              std::string::npos);
    EXPECT_NE(log.find(" markers (minor allele frequency below 0.05).\n"), std::string::npos);
    EXPECT_NE(log.find("👉 447 of 450 individuals and "), std::string::npos);

    std::vector<std::string> part_args = args;
    part_args.insert(part_args.end(), {"--kin-parts", "2", "--kin-part", "1"});
    run(part_args);
    EXPECT_EQ(read_file(dir_ + "/qc.part_2_1.removed.txt"), read_file(dir_ + "/qc.removed.txt"));
    EXPECT_FALSE(file_exists(dir_ + "/qc.part_2_1.duplicates.txt"));
    EXPECT_FALSE(file_exists(dir_ + "/qc.part_2_1.gdiag.svg"));
    EXPECT_NE(read_file(dir_ + "/qc.part_2_1.log").find("--geno 0.1 removed 20 markers"), std::string::npos);
}

// The duplicated sample is the one pair of G above a genomic correlation of 0.95.
TEST_F(GenotypeChecks, DuplicatedSampleIsFound) {
    const CommandResult result = run({"--kinship", "--bedfile", "sim", "--kin-bin", "--out", "dup"});
    const auto rows = table_of(read_file(dir_ + "/dup.duplicates.txt"));
    ASSERT_EQ(rows.size(), 2u);
    const std::string copy = planted("duplicate").at(0);
    const std::string source = detail_word("duplicate", copy, "genotypes of ");
    EXPECT_EQ(std::set<std::string>({rows[1][0], rows[1][1]}), std::set<std::string>({copy, source}));
    EXPECT_GT(std::stod(rows[1][5]), 0.95);
    EXPECT_NE(result.out.find("⚠️ Warning: 1 pair(s) of individuals have a genomic correlation"), std::string::npos);
    const std::string svg = read_file(dir_ + "/dup.gdiag.svg");
    EXPECT_EQ(svg.rfind("<svg", 0), 0u);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
}

// Every planted wrong sire is flagged and its true sire suggested; no other sire or dam is
// flagged than those of the duplicated sample (whose genotypes are another animal's).
TEST_F(GenotypeChecks, ParentageFlagsThePlantedSiresAndSuggestsTheTrueOnes) {
    run({"--kinship", "--bedfile", "sim", "--pedigree", "sim.ped", "--kin-bin", "--geno", "0.1", "--mind", "0.1",
         "--hwe", "1e-6", "--maf", "0.05", "--out", "h"});
    const auto rows = table_of(read_file(dir_ + "/h.parentage.txt"));
    ASSERT_GT(rows.size(), 300u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"Offspring", "Parent", "Role", "Markers", "Conflicts", "Rate", "Flag",
                                                 "Suggested", "Suggested_rate"}));
    const std::vector<std::string> wrong = planted("wrong_sire");
    const std::string duplicate = planted("duplicate").at(0);
    std::size_t found = 0;
    for (std::size_t k = 1; k < rows.size(); ++k) {
        const auto& row = rows[k];
        const bool planted_offspring = std::find(wrong.begin(), wrong.end(), row[0]) != wrong.end();
        if (planted_offspring && row[2] == "sire") {
            ++found;
            EXPECT_EQ(row[1], detail_word("wrong_sire", row[0], "recorded sire "));
            EXPECT_EQ(row[6], "flagged") << row[0];
            EXPECT_EQ(row[7], detail_word("wrong_sire", row[0], "true sire ")) << row[0];
            EXPECT_LT(std::stod(row[8]), 0.01);
        } else if (row[6] == "flagged") {
            EXPECT_TRUE(row[0] == duplicate || row[1] == duplicate || row[1].find(duplicate + "+") == 0 ||
                        (planted_offspring && row[2] == "trio"))
                << row[0] << " " << row[1] << " " << row[2];
        }
    }
    EXPECT_EQ(found, wrong.size());
}

// With unlink, H is the H of the pedigree whose flagged parents were written as unknown.
TEST_F(GenotypeChecks, UnlinkSetsExactlyTheFlaggedParentsUnknown) {
    const CommandResult unlinked = run({"--kinship", "--bedfile", "sim", "--pedigree", "sim.ped", "--kin-bin",
                                        "--parent-conflict-action", "unlink", "--out", "unlinked"});
    std::size_t flagged = 0;
    const std::string edited =
        pedigree_without_flagged(read_file(dir_ + "/unlinked.parentage.txt"), read_file(dir_ + "/sim.ped"), flagged);
    ASSERT_GE(flagged, 4u);
    EXPECT_NE(unlinked.out.find("--parent-conflict-action unlink: "), std::string::npos);
    write_file(dir_ + "/edited.ped", edited);
    run({"--kinship", "--bedfile", "sim", "--pedigree", "edited.ped", "--kin-bin", "--out", "edited"});
    const Kinship a = load(dir_ + "/unlinked.bin");
    const Kinship b = load(dir_ + "/edited.bin");
    ASSERT_EQ(a.ids.size(), b.ids.size());
    double largest = 0.0;
    for (const std::string& x : a.ids) {
        for (const std::string& y : a.ids) {
            largest = std::max(largest, std::abs(a.at(x, y) - b.at(x, y)));
        }
    }
    EXPECT_LE(largest, 1e-6);
}

// Genotyped animals outside the pedigree are named; --geno-founders keeps them in H.
TEST_F(GenotypeChecks, GenotypedAnimalsOutsideThePedigreeAreNamedOrKeptAsFounders) {
    const CommandResult dropped = run({"--kinship", "--bedfile", "sim", "--pedigree", "sim.ped", "--kin-bin", "--out",
                                       "outside"});
    EXPECT_NE(dropped.out.find("⚠️ Warning: 4 genotyped individual(s) of sim.fam are not in the pedigree sim.ped "
                               "(first: "),
              std::string::npos)
        << dropped.out;
    const std::string ids = read_file(dir_ + "/outside.id");
    for (const std::string& id : planted("unpedigreed")) {
        EXPECT_NE(dropped.out.find(id), std::string::npos) << id;
        EXPECT_EQ(ids.find(id + "\n"), std::string::npos);
    }
    const CommandResult kept = run({"--kinship", "--bedfile", "sim", "--pedigree", "sim.ped", "--kin-bin",
                                    "--geno-founders", "--out", "founders"});
    EXPECT_NE(kept.out.find("👉 --geno-founders: 4 genotyped individual(s) outside the pedigree added to it as "
                            "founders"),
              std::string::npos);
    const Kinship H = load(dir_ + "/founders.bin");
    const Kinship& G = whole_g();
    for (const std::string& id : planted("unpedigreed")) {
        ASSERT_EQ(H.position.count(id), 1u) << id;
        // A founder outside the pedigree has no pedigree relatives: its H row is its G row.
        EXPECT_NEAR(H.at(id, id), G.at(id, id), 1e-6);
    }
}

// The sparse routes check the genotypes against the pedigree as the dense H does, before G22 is
// inverted: the same parentage and duplicates reports, the animals outside the pedigree named in
// the log, the inbreeding written; with unlink, the inverse is that of the pedigree edited by hand.
TEST_F(GenotypeChecks, SparseRoutesRunTheChecksOfTheDenseH) {
    run({"--kinship", "--bedfile", "sim", "--pedigree", "sim.ped", "--kin-bin", "--out", "dense"});
    run({"--kinship", "--bedfile", "sim", "--pedigree", "sim.ped", "--kin-inverse", "--out", "inverse"});
    run({"--predict", "--bedfile", "sim", "--pedigree", "sim.ped", "--phefile", "sim.phe", "--phe-pos", "4", "--vc",
         "30,60", "--out", "iterated"});
    for (const std::string prefix : {"inverse", "iterated"}) {
        SCOPED_TRACE(prefix);
        for (const char* report : {".parentage.txt", ".duplicates.txt", ".inbreeding.txt"}) {
            EXPECT_EQ(read_file(dir_ + "/" + prefix + report), read_file(dir_ + "/dense" + report)) << report;
        }
        EXPECT_NE(read_file(dir_ + "/" + prefix + ".log")
                      .find("⚠️ Warning: 4 genotyped individual(s) of sim.fam are not in the pedigree sim.ped"),
                  std::string::npos);
    }
    run({"--kinship", "--bedfile", "sim", "--pedigree", "sim.ped", "--kin-inverse", "--parent-conflict-action",
         "unlink", "--out", "unlinked_inverse"});
    std::size_t flagged = 0;
    const std::string edited = pedigree_without_flagged(read_file(dir_ + "/unlinked_inverse.parentage.txt"),
                                                        read_file(dir_ + "/sim.ped"), flagged);
    ASSERT_GE(flagged, 1u);
    write_file(dir_ + "/by_hand.ped", edited);
    run({"--kinship", "--bedfile", "sim", "--pedigree", "by_hand.ped", "--kin-inverse", "--out", "by_hand_inverse"});
    EXPECT_EQ(read_file(dir_ + "/unlinked_inverse.inverse.txt"), read_file(dir_ + "/by_hand_inverse.inverse.txt"));
}

// PREFIX.inbreeding.txt: the pedigree's F is A's diagonal minus 1, and G_ii - 1 for the genotyped.
TEST_F(GenotypeChecks, InbreedingFileHoldsTheDiagonalsOfAAndG) {
    run({"--kinship", "--pedigree", ZELKORA_SOURCE_DIR "/examples/demo.ped", "--kin-bin", "--out", "A"});
    const Kinship A = load(dir_ + "/A.bin");
    const auto rows = table_of(read_file(dir_ + "/A.inbreeding.txt"));
    ASSERT_EQ(rows.size(), 601u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"ID", "F_pedigree", "F_genomic"}));
    for (std::size_t k = 1; k < rows.size(); ++k) {
        EXPECT_NEAR(std::stod(rows[k][1]), A.at(rows[k][0], rows[k][0]) - 1.0, 1e-6) << rows[k][0];
        EXPECT_EQ(rows[k][2], "NA");
    }
    run({"--kinship", "--bedfile", "sim", "--pedigree", "sim.ped", "--kin-bin", "--out", "inbred"});
    const Kinship& G = whole_g();
    std::size_t genomic = 0;
    for (const auto& row : table_of(read_file(dir_ + "/inbred.inbreeding.txt"))) {
        if (row[0] != "ID" && row[2] != "NA") {
            ++genomic;
            EXPECT_NEAR(std::stod(row[2]), G.at(row[0], row[0]) - 1.0, 1e-5) << row[0];
        }
    }
    EXPECT_EQ(genomic, 446u);  // the 450 genotyped but the 4 outside the pedigree
    // The textbook pedigree: ID5 and ID6 are the offspring of half sibs (F = 1/8), the others 0.
    write_file(dir_ + "/textbook.ped", "ID Sire Dam\nID3 ID1 ID2\nID4 ID1 0\nID5 ID4 ID3\nID6 ID5 ID2\n");
    run({"--kinship", "--pedigree", "textbook.ped", "--out", "textbook"});
    std::map<std::string, double> expected = {{"ID1", 0}, {"ID2", 0}, {"ID3", 0}, {"ID4", 0}, {"ID5", 0.125},
                                              {"ID6", 0.125}};
    for (const auto& row : table_of(read_file(dir_ + "/textbook.inbreeding.txt"))) {
        if (row[0] != "ID") {
            EXPECT_DOUBLE_EQ(std::stod(row[1]), expected.at(row[0])) << row[0];
        }
    }
}

// PREFIX.gvsa22.txt for G and for the G that enters H: tuned to A22's means, then blended; the
// block of the genotyped in H is alpha (a + b G) + beta A22. IDs shuffled among the genotyped
// bring the off-diagonal correlation below 0.5 and a warning.
TEST_F(GenotypeChecks, GAgainstA22IsReportedAndAdjustedAsAsked) {
    const CommandResult tuned = run({"--kinship", "--bedfile", "sim", "--pedigree", "sim.ped", "--kin-bin",
                                     "--kin-tune", "--kin-alpha", "0.95", "--kin-beta", "0.05", "--out", "tuned"});
    std::map<std::string, std::pair<double, double>> statistic;
    for (const auto& row : table_of(read_file(dir_ + "/tuned.gvsa22.txt"))) {
        if (row[0] != "Statistic") {
            statistic[row[0]] = {std::stod(row[1]), std::stod(row[2])};
        }
    }
    ASSERT_EQ(statistic.size(), 14u);
    EXPECT_NEAR(statistic["Mean_diagonal_G"].second, statistic["Mean_diagonal_A22"].first, 1e-10);
    EXPECT_NEAR(statistic["Mean_offdiagonal_G"].second, statistic["Mean_offdiagonal_A22"].first, 1e-10);
    EXPECT_GT(statistic["Correlation_offdiagonal"].first, 0.5);
    EXPECT_NE(tuned.out.find("👉 G entering H: tuned to A22 (--kin-tune: G = a + b G with a = "), std::string::npos);
    EXPECT_NE(tuned.out.find("then blended 0.95 G + 0.05 A22 (--kin-alpha, --kin-beta)"), std::string::npos);
    run({"--kinship", "--pedigree", "sim.ped", "--kin-bin", "--out", "pedigree"});
    const Kinship H = load(dir_ + "/tuned.bin");
    const Kinship& G = whole_g();
    const Kinship A = load(dir_ + "/pedigree.bin");
    const double a = statistic["Tuning_a"].second;
    const double b = statistic["Tuning_b"].second;
    for (const auto& [x, y] : {std::pair{"I400", "I401"}, std::pair{"I450", "I450"}, std::pair{"I500", "I650"}}) {
        EXPECT_NEAR(H.at(x, y), 0.95 * (a + b * G.at(x, y)) + 0.05 * A.at(x, y), 1e-5) << x << " " << y;
    }
    EXPECT_EQ(read_file(dir_ + "/tuned.gvsa22.svg").rfind("<svg", 0), 0u);

    // The .fam's IDs in another order: the genotypes belong to other animals than the pedigree's.
    std::string shuffled;
    const std::vector<std::string> fam = lines_of(read_file(dir_ + "/sim.fam"));
    for (std::size_t k = 0; k < fam.size(); ++k) {
        std::istringstream words(fam[(k * 7) % fam.size()]);
        std::string family, id;
        words >> family >> id;
        shuffled += family + " " + id + " 0 0 0 -9\n";
    }
    for (const char* part : {".bed", ".bim"}) {
        write_file(dir_ + "/shuffled" + part, read_file(dir_ + "/sim" + part));
    }
    write_file(dir_ + "/shuffled.fam", shuffled);
    const CommandResult wrong = run({"--kinship", "--bedfile", "shuffled", "--pedigree", "sim.ped", "--kin-bin",
                                     "--out", "wrong"});
    EXPECT_NE(wrong.out.find("⚠️ Warning: the off-diagonal elements of G and A22 correlate at only "), std::string::npos)
        << wrong.out;
}

}  // namespace
