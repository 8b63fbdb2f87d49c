#include <sys/utsname.h>

#include <iostream>
#include <string>

#include "app/app.h"

namespace {

constexpr const char* kProgramVersion = "v1.1.0 (2025-2-11 Release)";
constexpr int kBannerTextWidth = 38;  // columns 14..51, between the two emoji

// "*", 8 spaces, emoji, 2 spaces, text padded to 38 columns, emoji, 6 spaces, "*":
// 60 display columns with two double-width emoji.
std::string banner_line(const std::string& emoji, const std::string& text) {
    std::string padded = text;
    padded.resize(kBannerTextWidth, ' ');
    return "*        " + emoji + "  " + padded + emoji + "      *";
}

// The system the program runs on, as the kernel reports it ("Linux x86_64"); the name of the
// build machine would be wrong for a copied binary.
std::string platform_name() {
    struct utsname system {};
    if (::uname(&system) != 0) {
        return "unknown";
    }
    const std::string name = system.sysname;
    return (name == "Darwin" ? std::string("MacOS") : name) + " " + system.machine;
}

}  // namespace

void printDeveloperInfo() {
    const std::string stars(60, '*');
    const std::string frame = "*" + std::string(58, ' ') + "*";
    std::string welcome = "*        ~~~ Welcome to use Zelkora software! ~~~";
    welcome.resize(59, ' ');
    welcome += "*";

    std::cout << stars << std::endl;
    std::cout << frame << std::endl;
    std::cout << welcome << std::endl;
    std::cout << frame << std::endl;
    std::cout << banner_line("🚀", std::string("Version: ") + kProgramVersion) << std::endl;
    std::cout << banner_line("🌐", "Platform: " + platform_name()) << std::endl;
    std::cout << banner_line("🔗", "Homepage: https://zelkora.org") << std::endl;
    std::cout << frame << std::endl;
    std::cout << banner_line("👥", "Developers: Zelkora core team") << std::endl;
    std::cout << banner_line("📧", "Contact: dev@zelkora.org") << std::endl;
    std::cout << frame << std::endl;
    std::cout << stars << std::endl;
}

void kinshipHelp() {
    std::cout << "\n👪 Build genomic relationship matrix\n"
              << "Usage: Zelkora --kinship\n"
              << "Options:\n"
              << "  --bedfile <prefix>    Specify the prefix of PLINK binary genotype file (Optional) \n"
              << "                        PREFIX.bed, PREFIX.bim and PREFIX.fam; alone it gives G, with --pedigree H\n"
              << "  --pedigree <file>     Specify the pedigree file with three columns (Optional)\n"
              << "                        a header line (always skipped), then ID, sire, dam per line; 0 or NA = unknown\n"
              << "  --kin-method <1|2|3>  Kinship method(Optional, default:1), 1:sum[2p(1-p)]; 2:Independent 2p(1-p); 3:Independent variance\n"
              << "                        methods 2 and 3 are scaled to a mean diagonal of 1; also the G inside H\n"
              << "  --kin-lambda <number> The power of Independent 2p(1-p) or variance, only useful for kin-method 2 or 3, default lambda = 1 \n"
              << "                        (G only: the G inside H always takes lambda 2)\n"
              << "  --kin-tau <number>    Scaling factor (tau) of the inverse of G22 in H, greater than 0. Default tau=1 \n"
              << "  --kin-omega <number>  Scaling factor (1-omega) of the inverse of A22 in H. Default omega=1.\n"
              << "  --threads <int>       Threads of every run of the command, 1 to 1024 (Optional, default: 1 for --kinship)\n"
              << "  --kin-bin             if used, kinship saved for binary format(Optional), if not given, kinship saved for txt format\n"
              << "                        PREFIX.bin (lower triangle as 4-byte floats) and PREFIX.id; text: PREFIX.kinship.txt\n"
              << "  --kin-gcta            G saved as PREFIX.grm.bin, PREFIX.grm.id and PREFIX.grm.N.bin for other tools (Optional; --bedfile only)\n"
              << "  --kin-parts <int>     G in N parts for a job array (Optional; --bedfile and --kin-bin only), with --kin-part\n"
              << "  --kin-part <int>      The part I (1 to N) this run writes: PREFIX.part_N_I.bin and PREFIX.part_N_I.id;\n"
              << "                        cat of the parts in order of I gives PREFIX.bin and PREFIX.id\n"
              << "  --kin-inverse         Write the inverse of A (of H with --bedfile) as PREFIX.inverse.txt (row col value,\n"
              << "                        lower triangle) and PREFIX.inverse.id, without forming A or H (Optional)\n"
              << "  --apy-core <int>      The genotyped block of the inverse of H by APY, with a core of N genotyped\n"
              << "                        individuals drawn at random (Optional)\n"
              << "  --apy-core-file <file> The same with the core's IDs, one per line (Optional)\n"
              << "  --ped-groups <file>   Unknown parent groups, one code a line: a sire or dam given as a code is an\n"
              << "                        unknown parent of that group; with --kin-inverse, the groups' rows follow (Optional)\n"
              << "  --out <prefix>        Specify the output prefix (Optional, default: Results); its folder must exist.\n"
              << "                        The log is PREFIX.log (PREFIX.part_N_I.log for a part)\n"
              << "Checks before G and H (Optional; PLINK's names and meanings, applied in PLINK 2's order):\n"
              << "  --keep <file>, --remove <file>  Individuals to keep or remove (ID, or family ID and ID, per line)\n"
              << "  --extract <file>, --exclude <file>  Markers to keep or remove (marker IDs)\n"
              << "  --chr <list>          Chromosomes to keep, codes as in the .bim, ranges allowed (1-29,X)\n"
              << "  --mind <rate>         Remove individuals with more than this share of missing calls\n"
              << "  --geno <rate>         Remove markers with more than this share of missing calls\n"
              << "  --hwe <p>             Remove markers whose Hardy-Weinberg exact test p is below this\n"
              << "  --maf <freq>          Remove markers whose minor allele frequency is below this\n"
              << "  --parent-conflict <rate>  Flag a parent whose opposing homozygotes exceed this share (default 0.01)\n"
              << "  --parent-conflict-action <report|unlink>  unlink: a flagged parent is set unknown for A and H\n"
              << "  --geno-founders        Add genotyped individuals missing from the pedigree to it as founders\n"
              << "  --kin-tune             Rescale G so its mean diagonal and off-diagonal equal those of A22 (H)\n"
              << "  --kin-alpha <a>, --kin-beta <b>  G in H becomes a G + b A22 (usual 0.95 and 0.05; default 1 and 0)\n";
}

namespace {

void mixed_model_options() {
    std::cout << "  --kin-file <file>    Specify the kinship file: text, PREFIX.bin or PREFIX.grm.bin (Required)\n"
              << "  --mkin-file <file>  A list of kinship files, one per line: several kinships K1, K2, ...\n"
              << "                      (instead of --kin-file)\n"
              << "  --phefile <file>    Specify the phenotype file (Required): tab-separated, the ID in column 1, NA missing\n"
              << "  --phe-pos <int>     Specify the column for phenotype data (Required), counting from 1 (column 1 is the ID);\n"
              << "                      2 to 6 columns a,b,... fit several traits together\n"
              << "  --covar-pos <list>  Specify the columns for covariates, separated by commas(Optional);\n"
              << "                      class variables (every distinct text a level), counting from 1\n"
              << "  --qcovar-pos <list> Columns of numeric covariates (age, weight), each fitted as a regression,\n"
              << "                      separated by commas (Optional)\n"
              << "  --rand-pos <list>   Class columns fitted as random effects (herd-year, litter) (Optional)\n"
              << "  --pe                A permanent environment shared by an individual's repeated records (Optional)\n"
              << "  --model <text|@file> The model by the phenotype header's names, in place of --phe-pos, --covar-pos,\n"
              << "                      --qcovar-pos, --rand-pos and --pe (Optional): \"Trait ~ Sex + Herd + animal\";\n"
              << "                      terms: class, cov(x), animal, kin(k), pe, rand(col); traits \"Y1, Y2 ~ ...\"\n"
              << "                      or \"Y1 ~ ...; Y2 ~ ...\"; @file reads it from a file (# comments)\n"
              << "  --weights <col>, --residual-by <col>  With --model: record weights (residual V(e) / w), one\n"
              << "                      residual variance (several traits: matrix) per class of a column\n"
              << "                      (Optional)\n"
              << "  --vc-start <list|PREFIX.vc.txt>  REML's starting values, in --vc's order or from a results file\n"
              << "  --lrt               Likelihood-ratio test of every random component (Optional)\n"
              << "  --threads <int>     Threads of the run, 1 to 1024 (Optional, default: every core)\n";
}

void max_iter_and_out(const char* results) {
    std::cout << "  --max-iter <int>    Specify the maximum iterations of REML (Optional, default: 30)\n"
              << "                      at most max-iter - 1 iterations are run, and never more than 1000\n"
              << "  --out <prefix>      Specify the output prefix (Optional, default: Results); its folder must exist.\n"
              << "                      " << results << "\n";
}

}  // namespace

namespace {

// How REML on the sparse equations of a pedigree is run.
void sparse_reml_options() {
    std::cout << "  --reml-method <m>   exact (the factored equations) or mc (Monte Carlo traces, every solve by\n"
              << "                      PCG, no logL) (Optional, default: exact when the factor fits in memory)\n"
              << "  --mc-samples <int>  Random vectors of Monte Carlo REML, at least 10 (Optional, default: 50,\n"
              << "                      then more until each variance ratio's Monte Carlo SE is below a tenth of\n"
              << "                      its SE, at most 2000)\n"
              << "  --seed <int>        Seed of the random vectors (Optional, default: 20270101)\n"
              << "  --pcg-tol, --pcg-max-iter  Of each solve of Monte Carlo REML (as for --predict)\n";
}

}  // namespace

void remlHelp() {
    std::cout << "\n🔁 Perform REML analysis\n"
              << "Usage: Zelkora --reml\n"
              << "Options:\n";
    mixed_model_options();
    max_iter_and_out("Writes PREFIX.vc.txt (the fixed effects: PREFIX.fixed.txt); the log is PREFIX.log");
    std::cout << "  Without --kin-file, from a pedigree (large pedigrees):\n"
              << "  --pedigree <file>   REML on the sparse mixed model equations of A^-1 (H^-1 with --bedfile),\n"
              << "                      factored by CHOLMOD; one trait, the additive effect and the residual\n";
    sparse_reml_options();
}

void predictHelp() {
    std::cout << "\n🔢 Perform prediction of breeding values\n"
              << "Usage: Zelkora --predict\n"
              << "Options:\n";
    mixed_model_options();
    max_iter_and_out("Writes PREFIX.random.txt, PREFIX.reliability.txt and PREFIX.vc.txt (the fixed effects:\n"
                     "                      PREFIX.fixed.txt); the log is PREFIX.log");
    std::cout << "  --vc <list>         Variances to predict at, without REML: the V(...) rows of PREFIX.vc.txt,\n"
              << "                      the residual last (Optional)\n";
    std::cout << "  Without --kin-file, from a pedigree (large pedigrees, by iteration):\n"
              << "  --pedigree <file>   Breeding values of every pedigree individual from the sparse inverse of A\n"
              << "                      (of H with --bedfile; also --kin-method, --kin-tau, --kin-omega, --apy-core)\n"
              << "                      at --vc <a>,<e>, or without --vc at the REML estimates of the sparse\n"
              << "                      equations (as --reml --pedigree; also --reml-method, --mc-samples, --seed)\n"
              << "  --pcg-tol <number>  Relative residual at which the iteration stops (Optional, default: 1e-8)\n"
              << "  --pcg-max-iter <int> Most iterations (Optional, default: 10000)\n"
              << "  --ped-groups <file> Unknown parent groups of the pedigree, one code a line (Optional; with\n"
              << "                      --kin-file or --mkin-file, as fixed covariates, --pedigree naming the pedigree)\n"
              << "  With --kin-file a genomic G (one trait):\n"
              << "  --snp-effects       The marker effects behind the breeding values, PREFIX.snp.txt, from the\n"
              << "                      genotypes of G (--bedfile, with its --kin-method, --kin-lambda and filters)\n"
              << "  --snp-window <int>  Markers of each window share (Optional, default: 20)\n";
}

void scoreHelp() {
    std::cout << "\n🔢 Score new genotypes with the marker effects of an evaluation\n"
              << "Usage: Zelkora --score PREFIX.snp.txt --bedfile <prefix>\n"
              << "Options:\n"
              << "  --score <file>      The marker effects (PREFIX.snp.txt of --predict --snp-effects)\n"
              << "  --bedfile <prefix>  The genotypes to score (markers matched by ID and alleles)\n"
              << "  --score-offset <x>  Added to every score: the level the evaluation's log gives (Optional)\n"
              << "  --out <prefix>      Writes PREFIX.score.txt; the log is PREFIX.log (Optional, default: Results)\n"
              << "  --threads <int>     Threads of the run (Optional)\n";
}

void generalHelp() {
    std::cout << "\nOther options:\n"
              << "  --help, -h          Show this help (with a mode, the help of that mode)\n"
              << "  --version           Print the version and exit\n";
}

std::string version_text() { return kProgramVersion; }

void printVersion() { std::cout << "Zelkora " << kProgramVersion << std::endl; }

ConsoleLines console_lines() {
    return [](const std::string& text) { std::cout << text << std::flush; };
}
