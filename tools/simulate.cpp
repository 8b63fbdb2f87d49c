// zelkora-simulate: deterministic test data for Zelkora.
//
// A multi-generation pedigree is grown from founders; founder haplotypes are drawn from random
// allele frequencies and passed on by Mendelian inheritance with crossovers (one Morgan per
// chromosome). The youngest individuals are genotyped (PLINK .bed/.bim/.fam, with missing calls),
// every individual gets a pedigree row, a phenotype record (sex, herd, trait of the requested
// heritability, some "NA") and a true breeding value.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/app.h"

namespace {

struct Settings {
    std::string out;
    long individuals = 500;
    long genotyped = -1;  // default: 70 % of the individuals
    long markers = 5000;
    std::uint64_t seed = 1;
    double missing = 0.01;
    double h2 = 0.4;
    int herds = 3;
    int generations = 5;
    int chromosomes = 10;
    int qtl = 200;
    // Repeated records (PREFIX.rep.phe): up to `records` per animal, a permanent environment
    // and a herd-year class taking these shares of the phenotypic variance of 100.
    int records = 0;
    double pe_share = 0.2;
    int herd_years = 12;
    double herd_year_share = 0.1;
    // PREFIX.mt.phe: a second trait with this genetic correlation to the first, heritability 0.3,
    // residual correlation 0.2, recorded on 40 % of the animals (a trait measured late or on few).
    double rg = 0.6;
    double second_share = 0.4;  // of the animals with the second trait recorded
    int test_days = 10;         // PREFIX.td.phe: 1 to this many test days per cow
};

// Errors planted for the checks that run before G and H (all off unless asked for).
struct PlantSettings {
    long duplicates = 0;        // genotyped animals that carry another one's genotypes
    long wrong_sires = 0;       // genotyped offspring recorded with a wrong (genotyped) sire
    long poor_markers = 0;      // markers with 60 % of the calls missing
    long poor_individuals = 0;  // genotyped animals with half their calls missing
    long hwe_markers = 0;       // markers whose heterozygotes are called homozygous
    long rare_markers = 0;      // markers with a minor allele frequency of about 1 %
    long unpedigreed = 0;       // genotyped animals left out of the pedigree file
    bool any() const {
        return duplicates + wrong_sires + poor_markers + poor_individuals + hwe_markers + rare_markers + unpedigreed > 0;
    }
};

// xoshiro256** seeded by splitmix64: the same stream on every platform and library.
struct Random {
    std::uint64_t state[4];

    explicit Random(std::uint64_t seed) {
        for (std::uint64_t& word : state) {
            seed += 0x9E3779B97F4A7C15ULL;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            word = z ^ (z >> 31);
        }
    }
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t next() {
        const std::uint64_t result = rotl(state[1] * 5, 7) * 9;
        const std::uint64_t t = state[1] << 17;
        state[2] ^= state[0];
        state[3] ^= state[1];
        state[1] ^= state[2];
        state[0] ^= state[3];
        state[2] ^= t;
        state[3] = rotl(state[3], 45);
        return result;
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }  // [0, 1)
    long below(long bound) { return static_cast<long>(uniform() * static_cast<double>(bound)); }
    bool chance(double probability) { return uniform() < probability; }
    double normal() {  // Box-Muller
        const double u1 = 1.0 - uniform();
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }
    long poisson(double mean) {
        const double limit = std::exp(-mean);
        long count = 0;
        for (double product = uniform(); product > limit; product *= uniform()) {
            ++count;
        }
        return count;
    }
};

// One haplotype: bit j = 1 when the allele at marker j is the first listed allele (A1).
using Haplotype = std::vector<std::uint64_t>;

void copy_bits(Haplotype& target, const Haplotype& source, long begin, long end) {
    for (long bit = begin; bit < end;) {
        const long word = bit / 64;
        const long offset = bit % 64;
        const long count = std::min<long>(64 - offset, end - bit);
        const std::uint64_t mask = (count == 64 ? ~0ULL : ((1ULL << count) - 1)) << offset;
        target[static_cast<std::size_t>(word)] =
            (target[static_cast<std::size_t>(word)] & ~mask) | (source[static_cast<std::size_t>(word)] & mask);
        bit += count;
    }
}

int allele(const Haplotype& haplotype, long marker) {
    return static_cast<int>((haplotype[static_cast<std::size_t>(marker / 64)] >> (marker % 64)) & 1ULL);
}

struct Animal {
    long sire = -1;
    long dam = -1;
    bool male = false;
    int generation = 0;
    Haplotype paternal;
    Haplotype maternal;
};

Haplotype founder_haplotype(const std::vector<double>& frequency, Random& random) {
    Haplotype haplotype((frequency.size() + 63) / 64, 0);
    for (std::size_t j = 0; j < frequency.size(); ++j) {
        if (random.chance(frequency[j])) {
            haplotype[j / 64] |= 1ULL << (j % 64);
        }
    }
    return haplotype;
}

// A gamete of `parent`: per chromosome a random start haplotype and Poisson(1) crossovers.
Haplotype gamete(const Animal& parent, const std::vector<long>& chromosome_start, Random& random) {
    Haplotype result(parent.paternal.size(), 0);
    for (std::size_t c = 0; c + 1 < chromosome_start.size(); ++c) {
        const long begin = chromosome_start[c];
        const long end = chromosome_start[c + 1];
        std::vector<long> cuts;
        const long crossovers = random.poisson(1.0);
        for (long k = 0; k < crossovers; ++k) {
            cuts.push_back(begin + random.below(end - begin));
        }
        std::sort(cuts.begin(), cuts.end());
        cuts.push_back(end);
        bool from_paternal = random.chance(0.5);
        long position = begin;
        for (long cut : cuts) {
            copy_bits(result, from_paternal ? parent.paternal : parent.maternal, position, cut);
            position = cut;
            from_paternal = !from_paternal;
        }
    }
    return result;
}

long pick_parent(const std::vector<std::vector<long>>& by_generation, int generation, Random& random) {
    // Mostly the previous generation; sometimes an older one, so generations overlap.
    int source = generation - 1;
    if (source > 0 && random.chance(0.2)) {
        source = static_cast<int>(random.below(source));
    }
    const std::vector<long>& pool = by_generation[static_cast<std::size_t>(source)];
    return pool[static_cast<std::size_t>(random.below(static_cast<long>(pool.size())))];
}

void write_or_fail(std::ofstream& file, const std::string& name) {
    file.close();
    if (!file) {
        throw std::runtime_error("cannot write " + name);
    }
}

std::string id_of(long index) { return "I" + std::to_string(index + 1); }

// Where the planted errors are; the .bed loop asks planted_code for every call. Drawn from a
// random stream of their own, so that the data without them stay the same.
struct PlantedErrors {
    std::vector<long> genotypes_of;    // per genotyped animal: whose genotypes it carries (itself)
    std::vector<long> recorded_sire;   // per animal: the sire written in the pedigree
    std::vector<char> unpedigreed;     // per animal: no line in the pedigree
    std::vector<char> poor_marker;     // per marker
    std::vector<char> hwe_marker;      // per marker
    std::vector<double> rare_frequency;  // per marker: > 0 for a planted rare marker
    std::vector<char> poor_individual;   // per genotyped animal
    std::string report;                // PREFIX.planted.txt
};

// `count` distinct values of [0, bound) that `allowed` accepts, or fewer when there are not so many.
template <typename Allowed>
std::vector<long> distinct_draws(long count, long bound, Random& random, Allowed allowed) {
    std::vector<long> candidates;
    for (long v = 0; v < bound; ++v) {
        if (allowed(v)) {
            candidates.push_back(v);
        }
    }
    std::vector<long> drawn;
    for (long c = 0; c < count && !candidates.empty(); ++c) {
        const long at = random.below(static_cast<long>(candidates.size()));
        drawn.push_back(candidates[static_cast<std::size_t>(at)]);
        candidates.erase(candidates.begin() + at);
    }
    return drawn;
}

PlantedErrors plan_errors(const PlantSettings& plant, const std::vector<Animal>& animals, long first_genotyped,
                          long markers, std::uint64_t seed) {
    const long n = static_cast<long>(animals.size());
    const long genotyped = n - first_genotyped;
    PlantedErrors planted;
    planted.genotypes_of.resize(static_cast<std::size_t>(genotyped));
    for (long k = 0; k < genotyped; ++k) {
        planted.genotypes_of[static_cast<std::size_t>(k)] = k;
    }
    planted.recorded_sire.resize(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i) {
        planted.recorded_sire[static_cast<std::size_t>(i)] = animals[static_cast<std::size_t>(i)].sire;
    }
    planted.unpedigreed.assign(static_cast<std::size_t>(n), 0);
    planted.poor_marker.assign(static_cast<std::size_t>(markers), 0);
    planted.hwe_marker.assign(static_cast<std::size_t>(markers), 0);
    planted.rare_frequency.assign(static_cast<std::size_t>(markers), 0.0);
    planted.poor_individual.assign(static_cast<std::size_t>(genotyped), 0);
    if (!plant.any()) {
        return planted;
    }
    Random random(seed ^ 0x5EED0F5EEDULL);
    std::vector<char> has_offspring(static_cast<std::size_t>(n), 0);
    std::vector<char> is_sire(static_cast<std::size_t>(n), 0);
    for (const Animal& animal : animals) {
        if (animal.sire >= 0) {
            has_offspring[static_cast<std::size_t>(animal.sire)] = 1;
            is_sire[static_cast<std::size_t>(animal.sire)] = 1;
        }
        if (animal.dam >= 0) {
            has_offspring[static_cast<std::size_t>(animal.dam)] = 1;
        }
    }
    std::vector<char> touched(static_cast<std::size_t>(n), 0);  // one error per animal
    const auto genotyped_animal = [&](long i) { return i >= first_genotyped; };
    std::string& report = planted.report;
    report = "Error\tID\tDetail\n";

    // Offspring with a genotyped sire, recorded with another genotyped sire of the pedigree.
    for (const long i : distinct_draws(plant.wrong_sires, n, random, [&](long i) {
             const long sire = animals[static_cast<std::size_t>(i)].sire;
             return genotyped_animal(i) && sire >= 0 && genotyped_animal(sire) && !touched[static_cast<std::size_t>(i)];
         })) {
        const long sire = animals[static_cast<std::size_t>(i)].sire;
        const std::vector<long> other = distinct_draws(1, n, random, [&](long s) {
            return is_sire[static_cast<std::size_t>(s)] && genotyped_animal(s) && s != sire && s != i &&
                   animals[static_cast<std::size_t>(s)].generation < animals[static_cast<std::size_t>(i)].generation;
        });
        if (other.empty()) {
            continue;
        }
        planted.recorded_sire[static_cast<std::size_t>(i)] = other[0];
        touched[static_cast<std::size_t>(i)] = 1;
        report += "wrong_sire\t" + id_of(i) + "\trecorded sire " + id_of(other[0]) + ", true sire " + id_of(sire) + "\n";
    }
    // A genotyped animal whose sample carries the genotypes of another (a duplicated sample).
    for (const long i : distinct_draws(plant.duplicates, n, random, [&](long i) {
             return genotyped_animal(i) && !touched[static_cast<std::size_t>(i)];
         })) {
        const std::vector<long> source = distinct_draws(1, n, random, [&](long s) {
            return genotyped_animal(s) && s != i && !touched[static_cast<std::size_t>(s)];
        });
        if (source.empty()) {
            continue;
        }
        planted.genotypes_of[static_cast<std::size_t>(i - first_genotyped)] = source[0] - first_genotyped;
        touched[static_cast<std::size_t>(i)] = touched[static_cast<std::size_t>(source[0])] = 1;
        report += "duplicate\t" + id_of(i) + "\tgenotypes of " + id_of(source[0]) + "\n";
    }
    for (const long i : distinct_draws(plant.poor_individuals, n, random, [&](long i) {
             return genotyped_animal(i) && !touched[static_cast<std::size_t>(i)];
         })) {
        planted.poor_individual[static_cast<std::size_t>(i - first_genotyped)] = 1;
        touched[static_cast<std::size_t>(i)] = 1;
        report += "poor_individual\t" + id_of(i) + "\thalf the calls missing\n";
    }
    // Animals without offspring, so that the pedigree of the others stays whole.
    for (const long i : distinct_draws(plant.unpedigreed, n, random, [&](long i) {
             return genotyped_animal(i) && !has_offspring[static_cast<std::size_t>(i)] && !touched[static_cast<std::size_t>(i)];
         })) {
        planted.unpedigreed[static_cast<std::size_t>(i)] = 1;
        touched[static_cast<std::size_t>(i)] = 1;
        report += "unpedigreed\t" + id_of(i) + "\tno line in the pedigree\n";
    }
    std::vector<char> marker_touched(static_cast<std::size_t>(markers), 0);
    const auto plant_markers = [&](long count, const char* kind, const char* detail, auto mark) {
        for (const long j : distinct_draws(count, markers, random,
                                           [&](long candidate) { return !marker_touched[static_cast<std::size_t>(candidate)]; })) {
            marker_touched[static_cast<std::size_t>(j)] = 1;
            mark(j);
            report += std::string(kind) + "\tsnp" + std::to_string(j + 1) + "\t" + detail + "\n";
        }
    };
    plant_markers(plant.poor_markers, "poor_marker", "60 % of the calls missing",
                  [&](long j) { planted.poor_marker[static_cast<std::size_t>(j)] = 1; });
    plant_markers(plant.hwe_markers, "hwe_marker", "heterozygotes called homozygous",
                  [&](long j) { planted.hwe_marker[static_cast<std::size_t>(j)] = 1; });
    plant_markers(plant.rare_markers, "rare_marker", "minor allele frequency about 0.01",
                  [&](long j) { planted.rare_frequency[static_cast<std::size_t>(j)] = 0.01; });
    return planted;
}

// The .bed code of genotyped animal k at marker j after the planted errors: `code` is its own
// call (01 when missing), `code_of(k2)` the call of animal k2 before any error.
template <typename CodeOf>
unsigned planted_code(const PlantedErrors& planted, Random& random, long j, long k, unsigned code, CodeOf code_of) {
    const long source = planted.genotypes_of[static_cast<std::size_t>(k)];
    if (source != k && code != 1) {
        code = code_of(source);
    }
    const double rare = planted.rare_frequency[static_cast<std::size_t>(j)];
    if (rare > 0.0 && code != 1) {
        static const unsigned kCodeOfDosage[3] = {3, 2, 0};
        code = kCodeOfDosage[random.chance(rare) + random.chance(rare)];
    }
    if (planted.hwe_marker[static_cast<std::size_t>(j)] && code == 2) {
        code = random.chance(0.5) ? 0 : 3;
    }
    if ((planted.poor_marker[static_cast<std::size_t>(j)] && random.chance(0.6)) ||
        (planted.poor_individual[static_cast<std::size_t>(k)] && random.chance(0.5))) {
        code = 1;
    }
    return code;
}

// The first trait's record of an animal, as PREFIX.phe has it.
struct FirstTrait {
    bool male;
    int herd;
    std::string herd_text, trait_text;
    double residual;  // standardised
};

// A genetic value of every animal from `qtl` QTL of its own (drawn from `random`), for a trait
// beside the first.
std::vector<double> qtl_values(const std::vector<Animal>& animals, long qtl, long markers, Random& random) {
    const auto n = static_cast<long>(animals.size());
    std::vector<double> values(static_cast<std::size_t>(n), 0.0);
    for (long q = 0; q < std::min<long>(qtl, markers); ++q) {
        const long j = random.below(markers);
        const double effect = random.normal();
        for (long i = 0; i < n; ++i) {
            const Animal& animal = animals[static_cast<std::size_t>(i)];
            values[static_cast<std::size_t>(i)] += effect * (allele(animal.paternal, j) + allele(animal.maternal, j));
        }
    }
    return values;
}

// Values centred and scaled to variance 1 (0 for values that do not vary).
void standardise(std::vector<double>& values) {
    const auto n = static_cast<double>(values.size());
    double mean = 0.0, variance = 0.0;
    for (double v : values) mean += v / n;
    for (double v : values) variance += (v - mean) * (v - mean) / std::max(n - 1.0, 1.0);
    for (double& v : values) v = variance > 0.0 ? (v - mean) / std::sqrt(variance) : 0.0;
}

// PREFIX.mt.phe: ID, Sex, Herd, Growth (the trait of PREFIX.phe) and Carcass, a second trait whose
// breeding value correlates settings.rg with the first (its own QTL for the rest). A stream of
// its own keeps every other file as it was.
void write_two_traits(const Settings& settings, const std::vector<Animal>& animals, const std::vector<double>& tbv,
                      const std::vector<FirstTrait>& first_trait, long markers) {
    Random random(settings.seed ^ 0x5A5A5A5AULL);
    const auto n = static_cast<long>(animals.size());
    std::vector<double> own = qtl_values(animals, settings.qtl, markers, random);
    std::vector<double> first(tbv);
    standardise(first);
    standardise(own);
    constexpr double kH2 = 0.3, kResidualCorrelation = 0.2;
    const double rg = settings.rg;
    std::ofstream phenotypes(settings.out + ".mt.phe");
    phenotypes << "ID\tSex\tHerd\tGrowth\tCarcass\n";
    char number[64];
    for (long i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const FirstTrait& record = first_trait[k];
        const double genetic = std::sqrt(100.0 * kH2) * (rg * first[k] + std::sqrt(1.0 - rg * rg) * own[k]);
        const double residual = std::sqrt(100.0 * (1.0 - kH2)) *
                                (kResidualCorrelation * record.residual +
                                 std::sqrt(1.0 - kResidualCorrelation * kResidualCorrelation) * random.normal());
        const double value = 30.0 + (record.male ? 2.0 : 0.0) + 2.0 * record.herd + genetic + residual;
        std::snprintf(number, sizeof(number), "%.3f", value);
        phenotypes << id_of(i) << '\t' << (record.male ? "M" : "F") << '\t' << record.herd_text << '\t'
                   << record.trait_text << '\t' << (random.chance(settings.second_share) ? number : "NA") << '\n';
    }
    write_or_fail(phenotypes, settings.out + ".mt.phe");
}

// PREFIX.mat.phe: ID, Dam, Sex, Herd, Age, WW, a weaning weight with a maternal effect: the
// calf's direct breeding value (sigma2_a 25), its dam's maternal breeding value (sigma2_m 10,
// correlated -0.3 with the direct one, its own QTL for the rest) and permanent environment
// (sigma2_pe 8), a residual of 57, sex, herd and age at weaning (0.8 a day). A calf of an unknown
// dam has Dam 0 and none of her effects. Its own random stream, so the other files stay as they
// were.
// PREFIX.mat2.phe: the same calves with a yearling weight YW beside WW: a direct effect of 60
// (correlated 0.6 with WW's), a maternal effect of 8 (correlated 0.7 with WW's), a residual of
// 90 (correlated 0.4 with WW's), 20 kg for a bull, 10 a herd, and 1 in 5 calves without it (gone
// before a year: NA). A second random stream, so that PREFIX.mat.phe stays as it was.
void write_maternal_trait(const Settings& settings, const std::vector<Animal>& animals, const std::vector<double>& tbv,
                          long markers) {
    Random random(settings.seed ^ 0x4D415445524E4CULL);
    const auto n = static_cast<long>(animals.size());
    std::vector<double> own = qtl_values(animals, settings.qtl, markers, random);
    std::vector<double> direct(tbv);
    standardise(direct);
    standardise(own);
    constexpr double kDirect = 25.0, kMaternal = 10.0, kCorrelation = -0.3, kDamPe = 8.0, kResidual = 57.0;
    std::vector<double> permanent(static_cast<std::size_t>(n));
    for (double& value : permanent) value = std::sqrt(kDamPe) * random.normal();
    std::ofstream phenotypes(settings.out + ".mat.phe");
    phenotypes << "ID\tDam\tSex\tHerd\tAge\tWW\n";
    // The yearling weight's own stream and QTL.
    Random yearling(settings.seed ^ 0x594541524C4E47ULL);
    std::vector<double> own_direct = qtl_values(animals, settings.qtl, markers, yearling);
    std::vector<double> own_maternal = qtl_values(animals, settings.qtl, markers, yearling);
    standardise(own_direct);
    standardise(own_maternal);
    constexpr double kYearDirect = 60.0, kYearMaternal = 8.0, kYearResidual = 90.0;
    constexpr double kDirectCorrelation = 0.6, kMaternalCorrelation = 0.7, kResidualCorrelation = 0.4;
    const auto across = [](double r, double shared, double other) { return r * shared + std::sqrt(1.0 - r * r) * other; };
    std::ofstream two_traits(settings.out + ".mat2.phe");
    two_traits << "ID\tDam\tSex\tHerd\tAge\tWW\tYW\n";
    char number[64], second[64];
    for (long i = 0; i < n; ++i) {
        const Animal& animal = animals[static_cast<std::size_t>(i)];
        const long age = 180 + random.below(41);
        const int herd = static_cast<int>(random.below(settings.herds));
        const double residual = random.normal();
        double value = 220.0 + (animal.male ? 12.0 : 0.0) + 6.0 * herd + 0.8 * static_cast<double>(age - 200) +
                       std::sqrt(kDirect) * direct[static_cast<std::size_t>(i)] + std::sqrt(kResidual) * residual;
        double year = 380.0 + (animal.male ? 20.0 : 0.0) + 10.0 * herd +
                      std::sqrt(kYearDirect) *
                          across(kDirectCorrelation, direct[static_cast<std::size_t>(i)], own_direct[static_cast<std::size_t>(i)]) +
                      std::sqrt(kYearResidual) * across(kResidualCorrelation, residual, yearling.normal());
        if (animal.dam >= 0) {
            const auto d = static_cast<std::size_t>(animal.dam);
            const double maternal = across(kCorrelation, direct[d], own[d]);
            value += std::sqrt(kMaternal) * maternal + permanent[d];
            year += std::sqrt(kYearMaternal) * across(kMaternalCorrelation, maternal, own_maternal[d]);
        }
        std::snprintf(number, sizeof(number), "%.1f", value);
        std::snprintf(second, sizeof(second), "%.1f", year);
        const std::string line = id_of(i) + '\t' + (animal.dam >= 0 ? id_of(animal.dam) : std::string("0")) + '\t' +
                                 (animal.male ? "M" : "F") + "\tH" + std::to_string(herd + 1) + '\t' +
                                 std::to_string(age) + '\t' + number;
        phenotypes << line << '\n';
        two_traits << line << '\t' << (yearling.chance(0.2) ? std::string("NA") : std::string(second)) << '\n';
    }
    write_or_fail(phenotypes, settings.out + ".mat.phe");
    write_or_fail(two_traits, settings.out + ".mat2.phe");
}

// PREFIX.td.phe: ID, HTD, DIM, Milk, test-day yields of the cows: every cow of the younger half
// of the pedigree has 1 to settings.test_days test days at 5 to 305 days in milk, in herd-test-days (HTD, 30 per
// herd). Her lactation curve over the normalised Legendre polynomials phi_0..phi_2 of DIM has
// genetic coefficients of covariance G0 = [9 1.5 -0.5; 1.5 2 0.3; -0.5 0.3 0.5] (from the
// trait's QTL and two draws of its own QTL), a permanent environment of covariance
// [6 0.5 0; 0.5 1 0.1; 0 0.1 0.3], and a residual of 4. Its own random stream, so the other
// files stay as they were.
void write_test_days(const Settings& settings, const std::vector<Animal>& animals, const std::vector<double>& tbv,
                     long markers) {
    Random random(settings.seed ^ 0x5445535444415953ULL);
    const auto n = static_cast<long>(animals.size());
    std::vector<std::vector<double>> sources = {tbv, qtl_values(animals, settings.qtl, markers, random),
                                                qtl_values(animals, settings.qtl, markers, random)};
    for (std::vector<double>& source : sources) standardise(source);
    // Lower Cholesky factors of the two covariances.
    const auto factor = [](const double (&M)[3][3], double (&L)[3][3]) {
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j <= i; ++j) {
                double sum = M[i][j];
                for (int k = 0; k < j; ++k) sum -= L[i][k] * L[j][k];
                L[i][j] = i == j ? std::sqrt(sum) : sum / L[j][j];
            }
            for (int j = i + 1; j < 3; ++j) L[i][j] = 0.0;
        }
    };
    const double genetic[3][3] = {{9.0, 1.5, -0.5}, {1.5, 2.0, 0.3}, {-0.5, 0.3, 0.5}};
    const double permanent[3][3] = {{6.0, 0.5, 0.0}, {0.5, 1.0, 0.1}, {0.0, 0.1, 0.3}};
    double Lg[3][3], Lp[3][3];
    factor(genetic, Lg);
    factor(permanent, Lp);
    constexpr double kResidual = 4.0;
    std::ofstream phenotypes(settings.out + ".td.phe");
    phenotypes << "ID\tHTD\tDIM\tMilk\n";
    char number[64];
    for (long i = n / 2; i < n; ++i) {
        if (animals[static_cast<std::size_t>(i)].male) continue;
        double a[3], p[3], z[3] = {random.normal(), random.normal(), random.normal()};
        for (int j = 0; j < 3; ++j) {
            a[j] = p[j] = 0.0;
            for (int k = 0; k <= j; ++k) {
                a[j] += Lg[j][k] * sources[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)];
                p[j] += Lp[j][k] * z[k];
            }
        }
        const int herd = static_cast<int>(random.below(settings.herds));
        const long days = 1 + random.below(settings.test_days);
        for (long t = 0; t < days; ++t) {
            const long dim = 5 + random.below(301);
            const double x = 2.0 * static_cast<double>(dim - 5) / 300.0 - 1.0;
            const double phi[3] = {std::sqrt(0.5), std::sqrt(1.5) * x, std::sqrt(2.5) * 0.5 * (3.0 * x * x - 1.0)};
            const long test_day = random.below(30);
            double value = 30.0 + 6.0 * phi[1] - 4.0 * phi[2] + 1.5 * static_cast<double>(test_day % 5) +
                           std::sqrt(kResidual) * random.normal();
            for (int j = 0; j < 3; ++j) value += phi[j] * (a[j] + p[j]);
            std::snprintf(number, sizeof(number), "%.2f", value);
            phenotypes << id_of(i) << "\tH" << herd + 1 << "T" << test_day + 1 << '\t' << dim << '\t' << number << '\n';
        }
    }
    write_or_fail(phenotypes, settings.out + ".td.phe");
}

// PREFIX.rep.phe: repeated records of every animal (1 to settings.records; one in ten has none)
// sharing its breeding value and a permanent environment, in herd-years of a random class, with
// parity as a fixed class. Its own random stream, so that the other files do not change.
void write_repeated_records(const Settings& settings, const std::vector<Animal>& animals,
                            const std::vector<double>& tbv) {
    const double residual_share = 1.0 - settings.h2 - settings.pe_share - settings.herd_year_share;
    if (residual_share < 0.0) {
        throw std::invalid_argument("--h2, --pe-share and --herd-year-share leave no residual variance");
    }
    Random random(settings.seed ^ 0x52455045415445ULL);
    std::vector<double> herd_year(static_cast<std::size_t>(settings.herd_years));
    for (double& effect : herd_year) {
        effect = std::sqrt(100.0 * settings.herd_year_share) * random.normal();
    }
    std::ofstream phenotypes(settings.out + ".rep.phe");
    phenotypes << "ID\tSex\tParity\tHerdYear\tYield\n";
    char number[64];
    for (std::size_t i = 0; i < animals.size(); ++i) {
        const double permanent = std::sqrt(100.0 * settings.pe_share) * random.normal();
        const long count = random.chance(0.1) ? 0 : 1 + random.below(settings.records);
        for (long parity = 1; parity <= count; ++parity) {
            const long level = random.below(settings.herd_years);
            const double value = 50.0 + (animals[i].male ? 3.0 : 0.0) + 2.0 * static_cast<double>(parity - 1) +
                                 tbv[i] + permanent + herd_year[static_cast<std::size_t>(level)] +
                                 std::sqrt(100.0 * residual_share) * random.normal();
            std::snprintf(number, sizeof(number), "%.3f", value);
            phenotypes << id_of(static_cast<long>(i)) << '\t' << (animals[i].male ? "M" : "F") << '\t' << parity
                       << "\tHY" << level + 1 << '\t' << number << '\n';
        }
    }
    write_or_fail(phenotypes, settings.out + ".rep.phe");
}

void simulate(const Settings& settings, const PlantSettings& plant) {
    Random random(settings.seed);
    const long n = settings.individuals;
    const long m = settings.markers;
    const long genotyped = settings.genotyped < 0 ? (n * 7) / 10 : settings.genotyped;

    std::vector<double> frequency(static_cast<std::size_t>(m));
    for (double& p : frequency) {
        p = 0.02 + 0.96 * random.uniform();
    }
    std::vector<long> chromosome_start;
    for (int c = 0; c <= settings.chromosomes; ++c) {
        chromosome_start.push_back(m * c / settings.chromosomes);
    }

    // Pedigree: generation sizes as even as possible; within each generation a limited set of
    // sires (about a tenth of the males) so that half-sib families form.
    const int generations = std::max(1, settings.generations);
    std::vector<Animal> animals(static_cast<std::size_t>(n));
    std::vector<std::vector<long>> males(static_cast<std::size_t>(generations) + 1);
    std::vector<std::vector<long>> females(static_cast<std::size_t>(generations) + 1);
    std::vector<std::vector<long>> sires(static_cast<std::size_t>(generations) + 1);
    for (long i = 0; i < n; ++i) {
        Animal& animal = animals[static_cast<std::size_t>(i)];
        animal.generation = static_cast<int>(i * (generations + 1) / n);
        animal.male = random.chance(0.5);
        // A generation needs parents of both sexes before it; until then animals join the last one.
        while (animal.generation > 0 && (males[static_cast<std::size_t>(animal.generation - 1)].empty() ||
                                         females[static_cast<std::size_t>(animal.generation - 1)].empty())) {
            --animal.generation;
        }
        const std::size_t g = static_cast<std::size_t>(animal.generation);
        (animal.male ? males : females)[g].push_back(i);
    }
    for (int g = 0; g <= generations; ++g) {
        std::vector<long>& pool = males[static_cast<std::size_t>(g)];
        const long sire_count = std::max<long>(1, static_cast<long>(pool.size()) / 10);
        for (long k = 0; k < sire_count && k < static_cast<long>(pool.size()); ++k) {
            sires[static_cast<std::size_t>(g)].push_back(pool[static_cast<std::size_t>(random.below(static_cast<long>(pool.size())))]);
        }
    }
    for (long i = 0; i < n; ++i) {
        Animal& animal = animals[static_cast<std::size_t>(i)];
        if (animal.generation == 0) {
            animal.paternal = founder_haplotype(frequency, random);
            animal.maternal = founder_haplotype(frequency, random);
            continue;
        }
        animal.sire = pick_parent(sires, animal.generation, random);
        animal.dam = pick_parent(females, animal.generation, random);
        animal.paternal = gamete(animals[static_cast<std::size_t>(animal.sire)], chromosome_start, random);
        if (random.chance(0.03)) {
            // An unrecorded dam: the gamete comes from the base population.
            animal.dam = -1;
            animal.maternal = founder_haplotype(frequency, random);
        } else {
            animal.maternal = gamete(animals[static_cast<std::size_t>(animal.dam)], chromosome_start, random);
        }
    }

    // Trait: additive QTL scaled to the requested heritability on a phenotypic variance of 100.
    const long qtl_count = std::min<long>(settings.qtl, m);
    std::vector<long> qtl(static_cast<std::size_t>(qtl_count));
    std::vector<double> effect(static_cast<std::size_t>(qtl_count));
    for (long q = 0; q < qtl_count; ++q) {
        qtl[static_cast<std::size_t>(q)] = random.below(m);
        effect[static_cast<std::size_t>(q)] = random.normal();
    }
    std::vector<double> tbv(static_cast<std::size_t>(n), 0.0);
    for (long i = 0; i < n; ++i) {
        const Animal& animal = animals[static_cast<std::size_t>(i)];
        for (long q = 0; q < qtl_count; ++q) {
            const long j = qtl[static_cast<std::size_t>(q)];
            tbv[static_cast<std::size_t>(i)] += effect[static_cast<std::size_t>(q)] * (allele(animal.paternal, j) + allele(animal.maternal, j));
        }
    }
    double mean = 0.0;
    for (double value : tbv) {
        mean += value;
    }
    mean /= static_cast<double>(std::max<long>(n, 1));
    double variance = 0.0;
    for (double value : tbv) {
        variance += (value - mean) * (value - mean);
    }
    variance /= static_cast<double>(std::max<long>(n - 1, 1));
    const double scale = variance > 0.0 ? std::sqrt(100.0 * settings.h2 / variance) : 0.0;
    for (double& value : tbv) {
        value = (value - mean) * scale;
    }
    const double residual_sd = std::sqrt(100.0 * (1.0 - settings.h2));

    const std::string& out = settings.out;
    const PlantedErrors planted = plan_errors(plant, animals, n - genotyped, m, settings.seed);
    std::ofstream pedigree(out + ".ped");
    pedigree << "ID Sire Dam\n";
    for (long i = 0; i < n; ++i) {
        const Animal& animal = animals[static_cast<std::size_t>(i)];
        const long sire = planted.recorded_sire[static_cast<std::size_t>(i)];
        if (planted.unpedigreed[static_cast<std::size_t>(i)]) {
            continue;
        }
        pedigree << id_of(i) << ' ' << (sire < 0 ? "0" : id_of(sire)) << ' '
                 << (animal.dam < 0 ? "0" : id_of(animal.dam)) << '\n';
    }
    write_or_fail(pedigree, out + ".ped");

    std::ofstream phenotypes(out + ".phe");
    std::ofstream breeding_values(out + ".tbv");
    std::vector<FirstTrait> first_trait;
    phenotypes << "ID\tSex\tHerd\tTrait\n";
    breeding_values << "ID\tTBV\n";
    char number[64];
    for (long i = 0; i < n; ++i) {
        const Animal& animal = animals[static_cast<std::size_t>(i)];
        const int herd = static_cast<int>(random.below(settings.herds));
        const double fixed = 50.0 + (animal.male ? 3.0 : 0.0) + 4.0 * (herd - (settings.herds - 1) / 2.0);
        const double residual = residual_sd * random.normal();
        const double trait = fixed + tbv[static_cast<std::size_t>(i)] + residual;
        std::snprintf(number, sizeof(number), "%.3f", trait);
        const std::string herd_text = random.chance(0.01) ? std::string("NA") : "H" + std::to_string(herd + 1);
        const std::string trait_text = random.chance(0.05) ? "NA" : number;
        phenotypes << id_of(i) << '\t' << (animal.male ? "M" : "F") << '\t' << herd_text << '\t' << trait_text << '\n';
        first_trait.push_back({animal.male, herd, herd_text, trait_text, residual / std::max(residual_sd, 1e-300)});
        std::snprintf(number, sizeof(number), "%.6f", tbv[static_cast<std::size_t>(i)]);
        breeding_values << id_of(i) << '\t' << number << '\n';
    }
    write_or_fail(phenotypes, out + ".phe");
    write_or_fail(breeding_values, out + ".tbv");
    if (settings.records > 0) {
        write_repeated_records(settings, animals, tbv);
    }
    write_two_traits(settings, animals, tbv, first_trait, m);
    write_maternal_trait(settings, animals, tbv, m);
    write_test_days(settings, animals, tbv, m);

    // Genotypes of the youngest `genotyped` individuals, in pedigree order.
    const long first = n - genotyped;
    std::ofstream fam(out + ".fam");
    for (long i = first; i < n; ++i) {
        const Animal& animal = animals[static_cast<std::size_t>(i)];
        // Parents stay in the pedigree file: peers such as PLINK would otherwise take the
        // allele frequencies from the few genotyped founders only.
        fam << "F1 " << id_of(i) << " 0 0 " << (animal.male ? 1 : 2) << " -9\n";
    }
    write_or_fail(fam, out + ".fam");
    std::ofstream bim(out + ".bim");
    for (long j = 0; j < m; ++j) {
        long chromosome = 1;
        while (chromosome < settings.chromosomes && j >= chromosome_start[static_cast<std::size_t>(chromosome)]) {
            ++chromosome;
        }
        bim << chromosome << "\tsnp" << j + 1 << "\t0\t" << (j - chromosome_start[static_cast<std::size_t>(chromosome - 1)] + 1) * 10000
            << "\tA\tG\n";
    }
    write_or_fail(bim, out + ".bim");

    // .bed codes by copies of A1: 2 -> 00, 1 -> 10, 0 -> 11, missing -> 01. Missing calls are
    // placed by geometric gaps, so their cost does not grow with the number of calls.
    std::FILE* bed = std::fopen((out + ".bed").c_str(), "wb");
    if (bed == nullptr) {
        throw std::runtime_error("cannot write " + out + ".bed");
    }
    const unsigned char header[3] = {0x6C, 0x1B, 0x01};
    std::fwrite(header, 1, 3, bed);
    static const unsigned char code_of_dosage[3] = {3, 2, 0};
    const long bytes_per_marker = (genotyped + 3) / 4;
    std::vector<unsigned char> marker_bytes(static_cast<std::size_t>(bytes_per_marker));
    const double log_keep = settings.missing > 0.0 ? std::log(1.0 - std::min(settings.missing, 0.999999)) : 0.0;
    auto next_gap = [&]() -> long {
        if (settings.missing <= 0.0) {
            return -1;
        }
        return static_cast<long>(std::floor(std::log(1.0 - random.uniform()) / log_keep));
    };
    long until_missing = next_gap();
    Random plant_random(settings.seed ^ 0xBADCA11ULL);
    for (long j = 0; j < m; ++j) {
        std::fill(marker_bytes.begin(), marker_bytes.end(), 0);
        for (long k = 0; k < genotyped; ++k) {
            const Animal& animal = animals[static_cast<std::size_t>(first + k)];
            unsigned code = code_of_dosage[allele(animal.paternal, j) + allele(animal.maternal, j)];
            if (until_missing == 0) {
                code = 1;
                until_missing = next_gap();
            } else if (until_missing > 0) {
                --until_missing;
            }
            if (plant.any()) {
                code = planted_code(planted, plant_random, j, k, code, [&](long other) {
                    const Animal& source = animals[static_cast<std::size_t>(first + other)];
                    return code_of_dosage[allele(source.paternal, j) + allele(source.maternal, j)];
                });
            }
            marker_bytes[static_cast<std::size_t>(k / 4)] |= static_cast<unsigned char>(code << (2 * (k % 4)));
        }
        std::fwrite(marker_bytes.data(), 1, marker_bytes.size(), bed);
    }
    if (std::fclose(bed) != 0) {
        throw std::runtime_error("cannot write " + out + ".bed");
    }
    if (plant.any()) {
        std::ofstream report(out + ".planted.txt");
        report << planted.report;
        write_or_fail(report, out + ".planted.txt");
    }
}

long read_number(const std::string& option, const char* text, long low, long high) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < low || value > high) {
        throw std::invalid_argument(option + " needs a whole number from " + std::to_string(low) + " to " +
                                    std::to_string(high) + ", not \"" + text + "\"");
    }
    return value;
}

double read_fraction(const std::string& option, const char* text, double low, double high) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (*text == '\0' || *end != '\0' || !(value >= low && value <= high)) {
        throw std::invalid_argument(option + " needs a number from " + std::to_string(low) + " to " +
                                    std::to_string(high) + ", not \"" + text + "\"");
    }
    return value;
}

// The --plant-* options; false for any other option.
bool read_plant_option(const std::string& option, const char* value, PlantSettings& plant) {
    long* const targets[] = {&plant.duplicates,  &plant.wrong_sires,  &plant.poor_markers, &plant.poor_individuals,
                             &plant.hwe_markers, &plant.rare_markers, &plant.unpedigreed};
    const char* const names[] = {"--plant-duplicates",  "--plant-wrong-sires",  "--plant-poor-markers",
                                 "--plant-poor-individuals", "--plant-hwe-markers", "--plant-rare-markers",
                                 "--plant-unpedigreed"};
    for (std::size_t k = 0; k < 7; ++k) {
        if (option == names[k]) {
            *targets[k] = read_number(option, value, 0, 10000000);
            return true;
        }
    }
    return false;
}

void usage(std::ostream& out) {
    out << "Usage: zelkora-simulate --out PREFIX [--individuals N] [--genotyped G] [--markers M]\n"
                 "       [--seed S] [--missing RATE] [--h2 H] [--herds L] [--generations K]\n"
                 "       [--chromosomes C] [--qtl Q]\n"
                 "       [--records R [--pe-share P] [--herd-years L] [--herd-year-share C]]\n"
                 "       [--rg R] [--second-share S] [--test-days T]\n"
                 "       [--plant-duplicates K] [--plant-wrong-sires K] [--plant-poor-markers K]\n"
                 "       [--plant-poor-individuals K] [--plant-hwe-markers K] [--plant-rare-markers K]\n"
                 "       [--plant-unpedigreed K]\n"
                 "       zelkora-simulate --help | --version\n"
                 "Writes PREFIX.bed/.bim/.fam (the G youngest individuals), PREFIX.ped, PREFIX.phe\n"
                 "(ID, Sex, Herd, Trait; tab-separated) and PREFIX.tbv (true breeding values).\n"
                 "With --records R also PREFIX.rep.phe: 1 to R records per animal (ID, Sex, Parity,\n"
                 "HerdYear, Yield) with a permanent environment (share P, default 0.2) and a random\n"
                 "herd-year class of L levels (share C, default 0.1), the residual the rest.\n"
                 "Also PREFIX.mt.phe: ID, Sex, Herd, Growth (the trait of PREFIX.phe) and Carcass, a\n"
                 "second trait (h2 0.3) on a share S of the animals (default 0.4) with genetic correlation --rg R\n"
                 "(default 0.6) to the first and residual correlation 0.2.\n"
                 "Also PREFIX.mat.phe: ID, Dam, Sex, Herd, Age and WW, a weaning weight with the\n"
                 "calf's direct and its dam's maternal effect (correlated -0.3) and permanent environment.\n"
                 "Also PREFIX.mat2.phe: the same calves with a yearling weight YW beside WW (its own direct and\n"
                 "maternal effects, correlated with WW's), NA for 1 in 5.\n"
                 "Also PREFIX.td.phe: ID, HTD, DIM and Milk, 1 to T (default 10) test-day yields of each cow of the\n"
                 "younger half, with genetic and permanent lactation curves on Legendre polynomials of DIM.\n"
                 "The --plant-* options plant K errors of a kind for the checks before G and H and list them\n"
                 "in PREFIX.planted.txt: duplicated samples, wrong sires, markers with 60 % missing calls,\n"
                 "animals with half their calls missing, markers out of Hardy-Weinberg equilibrium, rare\n"
                 "markers, genotyped animals left out of the pedigree.\n";
}

}  // namespace

int main(int argc, char* argv[]) {
    Settings settings;
    PlantSettings plant;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string option = argv[i];
            if (option == "--help" || option == "-h") {
                usage(std::cout);
                return 0;
            }
            if (option == "--version") {
                std::cout << "zelkora-simulate " << version_text() << std::endl;
                return 0;
            }
            if (i + 1 >= argc) {
                throw std::invalid_argument("missing value for " + option);
            }
            const char* value = argv[++i];
            if (option == "--out") {
                settings.out = value;
            } else if (option == "--individuals") {
                settings.individuals = read_number(option, value, 2, 10000000);
            } else if (option == "--genotyped") {
                settings.genotyped = read_number(option, value, 0, 10000000);
            } else if (option == "--markers") {
                settings.markers = read_number(option, value, 1, 100000000);
            } else if (option == "--seed") {
                settings.seed = static_cast<std::uint64_t>(read_number(option, value, 0, 2147483647));
            } else if (option == "--missing") {
                settings.missing = read_fraction(option, value, 0.0, 0.9);
            } else if (option == "--h2") {
                settings.h2 = read_fraction(option, value, 0.0, 1.0);
            } else if (option == "--test-days") {
                settings.test_days = static_cast<int>(read_number(option, value, 1, 1000));
            } else if (option == "--herds") {
                settings.herds = static_cast<int>(read_number(option, value, 1, 100000));
            } else if (option == "--generations") {
                settings.generations = static_cast<int>(read_number(option, value, 1, 1000));
            } else if (option == "--chromosomes") {
                settings.chromosomes = static_cast<int>(read_number(option, value, 1, 1000));
            } else if (option == "--qtl") {
                settings.qtl = static_cast<int>(read_number(option, value, 0, 1000000));
            } else if (option == "--records") {
                settings.records = static_cast<int>(read_number(option, value, 0, 1000));
            } else if (option == "--pe-share") {
                settings.pe_share = read_fraction(option, value, 0.0, 1.0);
            } else if (option == "--herd-years") {
                settings.herd_years = static_cast<int>(read_number(option, value, 1, 1000000));
            } else if (option == "--second-share") {
                settings.second_share = read_fraction(option, value, 0.0, 1.0);
            } else if (option == "--rg") {
                settings.rg = read_fraction(option, value, -1.0, 1.0);
            } else if (option == "--herd-year-share") {
                settings.herd_year_share = read_fraction(option, value, 0.0, 1.0);
            } else if (read_plant_option(option, value, plant)) {
            } else {
                throw std::invalid_argument("unknown option " + option);
            }
        }
        if (settings.out.empty()) {
            throw std::invalid_argument("--out PREFIX is required");
        }
        if (settings.genotyped > settings.individuals) {
            throw std::invalid_argument("--genotyped cannot exceed --individuals");
        }
        if (settings.chromosomes > settings.markers) {
            settings.chromosomes = static_cast<int>(settings.markers);
        }
        simulate(settings, plant);
    } catch (const std::exception& error) {
        std::cerr << "zelkora-simulate: " << error.what() << "\n";
        usage(std::cerr);
        return 1;
    }
    return 0;
}
