// The genotype filters and the parentage counts against references written out longhand on the
// decoded dosages: each filter's rule as a plain count, the Hardy-Weinberg exact test from its
// probability formula, and G of the data filtered by hand.

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "genomic/genomic.h"
#include "genomic/genotype_files.h"

namespace {

// P(k heterozygotes | N genotypes with r copies of the rare allele) = N! r! (2N - r)! 2^k /
// (a! k! b! (2N)!), a and b the homozygote counts; the p-value sums the probabilities of the
// counts no more likely than the observed one.
double enumerated_hwe_p(int aa, int ab, int bb) {
    const int n = aa + ab + bb;
    const int copies = 2 * aa + ab;
    const auto probability = [&](int hets) {
        const int homozygotes_a = (copies - hets) / 2;
        const int homozygotes_b = n - hets - homozygotes_a;
        return std::exp(std::lgamma(n + 1.0) + std::lgamma(copies + 1.0) + std::lgamma(2.0 * n - copies + 1.0) +
                        hets * std::log(2.0) - std::lgamma(homozygotes_a + 1.0) - std::lgamma(hets + 1.0) -
                        std::lgamma(homozygotes_b + 1.0) - std::lgamma(2.0 * n + 1.0));
    };
    const double observed = probability(ab);
    double p = 0.0;
    for (int hets = copies % 2; hets <= std::min(copies, 2 * n - copies); hets += 2) {
        const double q = probability(hets);
        if (q <= observed * (1.0 + 1e-7)) {
            p += q;
        }
    }
    return std::min(1.0, p);
}

TEST(GenotypeFilters, HardyWeinbergExactTestFollowsItsProbabilityFormula) {
    for (int aa = 0; aa <= 14; ++aa) {
        for (int ab = 0; ab <= 14; ++ab) {
            for (int bb = 0; bb <= 14; bb += 3) {
                if (aa + ab + bb == 0) {
                    continue;
                }
                EXPECT_NEAR(hardy_weinberg_p(aa, ab, bb), enumerated_hwe_p(aa, ab, bb), 1e-10)
                    << aa << " " << ab << " " << bb;
            }
        }
    }
    // Large counts, far from and at equilibrium (p^2, 2pq, q^2 of p = 0.3 and 1000 genotypes).
    EXPECT_NEAR(hardy_weinberg_p(90, 420, 490), enumerated_hwe_p(90, 420, 490), 1e-9);
    EXPECT_LT(hardy_weinberg_p(300, 0, 700), 1e-100);
    EXPECT_DOUBLE_EQ(hardy_weinberg_p(0, 0, 0), 1.0);
}

TEST(GenotypeFilters, ChromosomeListsTakeCodesAndRanges) {
    const ChromosomeList list("1-3, X,chr7 25-29");
    for (const char* in : {"1", "2", "3", "01", "chr2", "X", "x", "7", "Chr7", "25", "29"}) {
        EXPECT_TRUE(list.contains(in)) << in;
    }
    for (const char* out : {"0", "4", "6", "24", "30", "Y", "MT", "1-3", "chrX2"}) {
        EXPECT_FALSE(list.contains(out)) << out;
    }
    for (const char* bad : {"", " , ", "3-1", "1-X", "1-", "a-b"}) {
        EXPECT_THROW(ChromosomeList{bad}, std::invalid_argument) << bad;
    }
}

// 48 individuals x 300 markers with the faults the filters exist for: markers with most calls
// missing, rare and monomorphic markers, markers without heterozygotes, individuals with half
// their calls missing; markers on chromosomes 1 to 3.
struct FaultyData {
    Eigen::MatrixXd dosages;
    std::string prefix = make_scratch_dir() + "/geno";

    FaultyData() {
        std::mt19937 rng(91);
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        dosages = random_dosages(48, 300, 3, 0.02);
        for (int j = 0; j < 300; ++j) {
            for (int i = 0; i < 48; ++i) {
                if (j % 25 == 7 && uniform(rng) < 0.5) {
                    dosages(i, j) = -1.0;  // poorly called markers
                }
                if (j % 25 == 11) {
                    dosages(i, j) = i == j % 48 ? 1.0 : 2.0;  // rare: one heterozygote
                }
                if (j % 25 == 13 && dosages(i, j) == 1.0) {
                    dosages(i, j) = i % 2 == 0 ? 0.0 : 2.0;  // no heterozygotes
                }
                if ((i == 5 || i == 30) && uniform(rng) < 0.5) {
                    dosages(i, j) = -1.0;  // poorly called individuals
                }
            }
        }
        write_genotype_set(prefix, dosages);
        std::string bim;
        for (int j = 0; j < 300; ++j) {
            bim += std::to_string(1 + j / 100) + "\tsnp" + std::to_string(j + 1) + "\t0\t" + std::to_string(j + 1) +
                   "\tA\tG\n";
        }
        write_file(prefix + ".bim", bim);
    }
};

struct Subset {
    std::vector<int> individuals;
    std::vector<int> markers;
};

Eigen::MatrixXd subset_of(const Eigen::MatrixXd& dosages, const Subset& subset) {
    Eigen::MatrixXd result(subset.individuals.size(), subset.markers.size());
    for (std::size_t a = 0; a < subset.individuals.size(); ++a) {
        for (std::size_t b = 0; b < subset.markers.size(); ++b) {
            result(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b)) =
                dosages(subset.individuals[a], subset.markers[b]);
        }
    }
    return result;
}

// The markers of `columns` of `dosages` that the plain rule of each threshold keeps.
std::vector<int> markers_kept_by_hand(const Eigen::MatrixXd& dosages, const std::vector<int>& rows, double geno,
                                      double hwe, double maf) {
    std::vector<int> kept;
    for (int j = 0; j < dosages.cols(); ++j) {
        int missing = 0, aa = 0, ab = 0, bb = 0;
        for (const int i : rows) {
            const double x = dosages(i, j);
            missing += x == -1.0;
            aa += x == 2.0;
            ab += x == 1.0;
            bb += x == 0.0;
        }
        const int called = aa + ab + bb;
        const double minor = std::min(2.0 * aa + ab, 2.0 * bb + ab) / (2.0 * called);
        const bool removed = (geno >= 0 && static_cast<double>(missing) / rows.size() > geno) ||
                             (hwe >= 0 && enumerated_hwe_p(aa, ab, bb) < hwe) || (maf >= 0 && called > 0 && minor < maf);
        if (!removed) {
            kept.push_back(j);
        }
    }
    return kept;
}

std::vector<int> all_of(int count) {
    std::vector<int> all(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
        all[static_cast<std::size_t>(k)] = k;
    }
    return all;
}

// G after each filter alone, and after all of them in their order, is the G of the dosages that
// the filters' rules keep when applied by hand; the lists of what was removed agree with them.
TEST(GenotypeFilters, GOfAFilteredSetIsTheGOfTheDataFilteredByHand) {
    const FaultyData data;
    const SilentStdout silent;
    const std::string dir = data.prefix.substr(0, data.prefix.rfind('/'));
    write_file(dir + "/keep.txt", "#FID IID\nFAM ID3\nID4\nFAM ID5 extra\n\nFAM ID9\nFAM ID10\nFAM ID30\nFAM ID31\nX ID99\n");
    write_file(dir + "/remove.txt", "ID1\nID2\n");
    write_file(dir + "/extract.txt", "snp1 snp2\nsnp150\nsnp299\nsnp7\n");
    write_file(dir + "/exclude.txt", "snp3\n");

    struct Case {
        const char* name;
        GenotypeFilters filters;
        Subset expected;
    };
    const std::vector<int> everyone = all_of(48);
    const auto markers_where = [&](auto keep) {
        std::vector<int> kept;
        for (int j = 0; j < 300; ++j) {
            if (keep(j)) {
                kept.push_back(j);
            }
        }
        return kept;
    };
    // --mind 0.3 by hand: the missing rate of each individual over the first `markers` markers.
    const auto mind_rows = [&](int markers) {
        std::vector<int> kept;
        for (int i = 0; i < 48; ++i) {
            if ((data.dosages.row(i).head(markers).array() == -1.0).count() <= 0.3 * markers) {
                kept.push_back(i);
            }
        }
        return kept;
    };
    const std::vector<int> mind_kept = mind_rows(300);
    ASSERT_EQ(mind_kept.size(), 46u);  // individuals 6 and 31 (rows 5 and 30)
    std::vector<Case> cases;
    GenotypeFilters keep;
    keep.keep_file = dir + "/keep.txt";
    cases.push_back({"--keep", keep, {{2, 3, 4, 8, 9, 29, 30}, all_of(300)}});
    GenotypeFilters remove;
    remove.remove_file = dir + "/remove.txt";
    cases.push_back({"--remove", remove, {std::vector<int>(everyone.begin() + 2, everyone.end()), all_of(300)}});
    GenotypeFilters extract;
    extract.extract_file = dir + "/extract.txt";
    cases.push_back({"--extract", extract, {everyone, {0, 1, 6, 149, 298}}});
    GenotypeFilters exclude;
    exclude.exclude_file = dir + "/exclude.txt";
    cases.push_back({"--exclude", exclude, {everyone, markers_where([](int j) { return j != 2; })}});
    GenotypeFilters chr;
    chr.chromosomes = "1,3";
    cases.push_back({"--chr", chr, {everyone, markers_where([](int j) { return j < 100 || j >= 200; })}});
    GenotypeFilters mind;
    mind.mind = 0.3;
    cases.push_back({"--mind", mind, {mind_kept, all_of(300)}});
    for (const double geno : {0.1, 0.25}) {
        GenotypeFilters filters;
        filters.markers.geno = geno;
        cases.push_back({"--geno", filters, {everyone, markers_kept_by_hand(data.dosages, everyone, geno, -1, -1)}});
    }
    GenotypeFilters hwe;
    hwe.markers.hwe = 1e-4;
    cases.push_back({"--hwe", hwe, {everyone, markers_kept_by_hand(data.dosages, everyone, -1, 1e-4, -1)}});
    GenotypeFilters maf;
    maf.markers.maf = 0.05;
    cases.push_back({"--maf", maf, {everyone, markers_kept_by_hand(data.dosages, everyone, -1, -1, 0.05)}});
    // Everything at once in PLINK 2's order: the ID lists and chromosomes, --mind over the markers
    // they leave, the markers' thresholds on the individuals left.
    GenotypeFilters all = mind;
    all.remove_file = remove.remove_file;
    all.chromosomes = "1-2";
    all.markers = {0.2, 1e-4, 0.05};
    std::vector<int> all_rows;
    for (const int i : mind_rows(200)) {
        if (i >= 2) {
            all_rows.push_back(i);
        }
    }
    std::vector<int> all_markers;
    for (const int j : markers_kept_by_hand(data.dosages, all_rows, 0.2, 1e-4, 0.05)) {
        if (j < 200) {
            all_markers.push_back(j);
        }
    }
    cases.push_back({"all", all, {all_rows, all_markers}});

    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        BedSet bed = read_bed(data.prefix, false);
        const FilterReport report = select_genotypes(bed, test.filters);
        MarkerOutcome outcome;
        const Eigen::MatrixXd G = gkin_cpp(bed, 1, 1.0, &outcome);
        const Eigen::MatrixXd reference = textbook_grm(subset_of(data.dosages, test.expected), 1, 1.0);
        ASSERT_EQ(G.rows(), reference.rows());
        EXPECT_LE((G - reference).cwiseAbs().maxCoeff(), 1e-12);
        ASSERT_EQ(bed.individual_ids.size(), test.expected.individuals.size());
        for (std::size_t a = 0; a < test.expected.individuals.size(); ++a) {
            EXPECT_EQ(bed.individual_ids[a], "ID" + std::to_string(test.expected.individuals[a] + 1));
        }
        EXPECT_EQ(bed.marker_ids.size() - outcome.removed.size(), test.expected.markers.size());
        EXPECT_EQ(report.removed.size() + outcome.removed.size() + test.expected.markers.size() +
                      test.expected.individuals.size(),
                  348u);
    }
}

// The keep list names ID99, which the .fam does not hold: counted for the warning. A --mind that
// leaves one individual, and thresholds that remove every marker, are refused naming them.
TEST(GenotypeFilters, UnmatchedIdsAreCountedAndEmptyResultsRefused) {
    const FaultyData data;
    const SilentStdout silent;
    const std::string dir = data.prefix.substr(0, data.prefix.rfind('/'));
    write_file(dir + "/keep.txt", "ID1\nID99\nID98\nID2\n");
    BedSet bed = read_bed(data.prefix, false);
    GenotypeFilters keep;
    keep.keep_file = dir + "/keep.txt";
    const FilterReport report = select_genotypes(bed, keep);
    EXPECT_EQ(report.unmatched_counts[static_cast<int>(GenotypeFilter::keep)], 2);
    EXPECT_EQ(report.unmatched_first[static_cast<int>(GenotypeFilter::keep)], (std::vector<std::string>{"ID99", "ID98"}));
    EXPECT_EQ(report.counts[static_cast<int>(GenotypeFilter::keep)], 46);

    write_file(dir + "/keep.txt", "ID1\n");
    BedSet one = read_bed(data.prefix, false);
    EXPECT_EQ(error_of([&] { select_genotypes(one, keep); }).find("The filters left 1 of the 48 individuals of " +
                                                                    data.prefix + ".fam (--keep removed 47)"),
              0u);
    Eigen::MatrixXd rare = Eigen::MatrixXd::Constant(6, 5, 2.0);
    rare.row(2).setConstant(1.0);  // one heterozygote per marker: minor allele frequency 1/12
    write_genotype_set(dir + "/rare", rare);
    BedSet none = read_bed(dir + "/rare", false);
    GenotypeFilters strict;
    strict.markers.maf = 0.1;
    select_genotypes(none, strict);
    EXPECT_EQ(error_of([&] { gkin_cpp(none, 1, 1.0); }),
              "The filters removed all 5 markers left for G from " + dir +
                  "/rare.bim (--maf removed 5); relax --geno, --hwe or --maf.");
    EXPECT_THROW(read_id_list(dir + "/absent.txt", true), std::runtime_error);
}

// A filtered set is summed in the blocks of the same data filtered beforehand: its G is that
// G bit for bit, over several blocks of markers and on both kernels of method 1.
TEST(GenotypeFilters, GOfAFilteredSetIsTheGOfTheFilteredFilesBitForBit) {
    Eigen::MatrixXd dosages = random_dosages(41, 9000, 8, 0.03);
    for (int j = 0; j < 9000; j += 7) {
        dosages.col(j).setConstant(2.0);  // monomorphic: --maf removes every seventh
        dosages(j % 41, j) = 1.0;
    }
    const std::string dir = make_scratch_dir();
    write_genotype_set(dir + "/raw", dosages);
    const SilentStdout silent;
    BedSet raw = read_bed(dir + "/raw", false);
    GenotypeFilters filters;
    filters.markers.maf = 0.05;
    select_genotypes(raw, filters);
    const std::vector<int> kept = markers_kept_by_hand(dosages, all_of(41), -1, -1, 0.05);
    ASSERT_LT(kept.size(), 9000u * 6 / 7);
    write_genotype_set(dir + "/kept", subset_of(dosages, {all_of(41), kept}));
    const BedSet prefiltered = read_bed(dir + "/kept", false);
    for (const char* kernel : {"integer", "double"}) {
        setenv("ZELKORA_GRM_KERNEL", kernel, 1);
        const Eigen::MatrixXd filtered = gkin_cpp(raw, 1, 1.0);
        const Eigen::MatrixXd reference = gkin_cpp(prefiltered, 1, 1.0);
        EXPECT_TRUE(filtered == reference) << kernel << ": " << (filtered - reference).cwiseAbs().maxCoeff();
    }
    unsetenv("ZELKORA_GRM_KERNEL");
}

// The rows of a part and the tiles of a rank of a filtered set are the whole filtered G's.
TEST(GenotypeFilters, PartsAndTilesSeeTheFilteredSet) {
    const FaultyData data;
    const SilentStdout silent;
    BedSet bed = read_bed(data.prefix, false);
    GenotypeFilters filters;
    filters.mind = 0.3;
    filters.chromosomes = "2-3";
    filters.markers = {0.2, 1e-4, 0.05};
    select_genotypes(bed, filters);
    for (const int method : {1, 2}) {
        const Eigen::MatrixXd whole = gkin_cpp(bed, method, 1.0);
        const RowRange rows{20, 46};
        const Eigen::MatrixXd part = gkin_cpp(bed, method, 1.0, nullptr, &rows);
        EXPECT_LE((part - whole.block(20, 0, 26, 46)).cwiseAbs().maxCoeff(), 1e-12) << method;
        const std::vector<TilePosition> tiles = {{0, 0}, {2, 1}, {5, 5}};
        const std::vector<Eigen::MatrixXd> values = gkin_tiles_cpp(bed, method, 1.0, 8, tiles, false);
        for (std::size_t t = 0; t < tiles.size(); ++t) {
            const Eigen::MatrixXd expected =
                whole.block(tiles[t].row_block * 8, tiles[t].col_block * 8, values[t].rows(), values[t].cols());
            const Eigen::MatrixXd lower = tiles[t].row_block == tiles[t].col_block
                                              ? Eigen::MatrixXd(expected.triangularView<Eigen::Lower>())
                                              : expected;
            EXPECT_LE((values[t] - lower).cwiseAbs().maxCoeff(), 1e-12) << method << " tile " << t;
        }
    }
}

// Opposing homozygotes and trio conflicts by bit operations against a count over the decoded
// calls, on the markers the thresholds keep, on 1 and 2 threads.
TEST(Parentage, ConflictCountsAreThoseOfThePlainCount) {
    const FaultyData data;
    const SilentStdout silent;
    BedSet bed = read_bed(data.prefix, false);
    GenotypeFilters filters;
    filters.markers.geno = 0.2;
    select_genotypes(bed, filters);
    const std::vector<int> kept = markers_kept_by_hand(data.dosages, all_of(48), 0.2, -1, -1);
    const std::vector<GenotypePair> pairs = {{0, 1}, {5, 7}, {47, 30}, {12, 12}};
    const std::vector<GenotypeTrio> trios = {{0, 1, 2}, {30, 5, 47}, {9, 10, 11}};
    for (const int threads : {1, 2}) {
        omp_set_num_threads(threads);
        const ParentageCounts counts = count_parentage_conflicts(bed, pairs, trios);
        EXPECT_EQ(counts.markers, static_cast<std::int64_t>(kept.size()));
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            std::int64_t compared = 0, conflicts = 0;
            for (const int j : kept) {
                const double o = data.dosages(pairs[p].offspring, j);
                const double q = data.dosages(pairs[p].parent, j);
                if (o >= 0 && q >= 0) {
                    ++compared;
                    conflicts += std::abs(o - q) == 2.0;
                }
            }
            EXPECT_EQ(counts.pairs[p].compared, compared) << p;
            EXPECT_EQ(counts.pairs[p].conflicts, conflicts) << p;
        }
        for (std::size_t t = 0; t < trios.size(); ++t) {
            std::int64_t compared = 0, conflicts = 0;
            for (const int j : kept) {
                const double o = data.dosages(trios[t].offspring, j);
                const double s = data.dosages(trios[t].sire, j);
                const double d = data.dosages(trios[t].dam, j);
                if (o < 0 || s < 0 || d < 0) {
                    continue;
                }
                ++compared;
                // Some pair of gametes (one allele of each parent) gives the offspring's dosage.
                bool possible = false;
                for (const int from_sire : {0, 1}) {
                    for (const int from_dam : {0, 1}) {
                        const bool sire_has = from_sire == 1 ? s >= 1 : s <= 1;
                        const bool dam_has = from_dam == 1 ? d >= 1 : d <= 1;
                        possible = possible || (sire_has && dam_has && from_sire + from_dam == o);
                    }
                }
                conflicts += !possible;
            }
            EXPECT_EQ(counts.trios[t].compared, compared) << t;
            EXPECT_EQ(counts.trios[t].conflicts, conflicts) << t;
        }
    }
}

}  // namespace
