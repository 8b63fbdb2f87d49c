// The malformed inputs a user can plausibly hand the program, run through the built executable.
// For each: the message (naming the file, and the line where there is one), the exit status,
// and that no result file was created, or, when one existed from an earlier run, replaced.

#include <gtest/gtest.h>

#include <dirent.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// A small valid data set: 5 genotyped individuals (G1..G5, n not a multiple of 4) at 3 markers,
// a pedigree of 7 whose parents P1 and P2 are not genotyped, a kinship file and phenotypes.
const std::string kFam = "F G1 0 0 1 -9\nF G2 0 0 2 -9\nF G3 0 0 1 -9\nF G4 0 0 2 -9\nF G5 0 0 1 -9\n";
const std::string kBim = "1 m1 0 1 A G\n1 m2 0 2 A G\n1 m3 0 3 A G\n";
// 2 bytes per marker; codes chosen so that every marker is polymorphic.
const std::string kBed = std::string("\x6C\x1B\x01", 3) + std::string("\xE4\x02\x1B\x03\x39\x00", 6);
const std::string kPedigree = "ID Sire Dam\nP1 0 0\nP2 0 0\nG1 P1 P2\nG2 P1 P2\nG3 P1 0\nG4 G1 G2\nG5 P1 G2\n";
const std::string kKinship =
    "\tA\tB\tC\nA\t1.0000\t0.2500\t0.0000\t\nB\t0.2500\t1.0000\t0.1250\t\nC\t0.0000\t0.1250\t1.0000\t\n";
const std::string kPhenotypes = "ID\tSex\tTrait\nA\tM\t10.5\nB\tF\t12.0\nC\tM\t9.0\n";

struct BadInput {
    std::string what;                           // what the user did
    std::map<std::string, std::string> files;   // the inputs, over the valid set
    std::vector<std::string> args;
    std::string stream;                         // where the message appears: "err" or "log"
    std::string message;                        // a part of it
    std::vector<std::string> results;           // result files that must not appear
};

std::map<std::string, std::string> valid_files() {
    return {{"d.fam", kFam}, {"d.bim", kBim}, {"d.bed", kBed}, {"ped.txt", kPedigree},
            {"k.txt", kKinship}, {"phe.txt", kPhenotypes}};
}

const std::vector<std::string> kGenomic = {"--kinship", "--bedfile", "d", "--out", "r"};
const std::vector<std::string> kPedigreeRun = {"--kinship", "--pedigree", "ped.txt", "--out", "r"};
const std::vector<std::string> kSingleStep = {"--kinship", "--pedigree", "ped.txt", "--bedfile", "d", "--out", "r"};
const std::vector<std::string> kReml = {"--reml", "--kin-file", "k.txt", "--phefile", "phe.txt", "--phe-pos", "3",
                                        "--out", "r"};
const std::vector<std::string> kPredict = {"--predict", "--kin-file", "k.txt", "--phefile", "phe.txt", "--phe-pos", "3",
                                           "--out", "r"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

const std::vector<std::string> kKinshipResult = {"r.kinship.txt"};
const std::vector<std::string> kBinaryResult = {"r.bin", "r.id"};
const std::vector<std::string> kBreedingValues = {"r.random.txt"};

std::vector<BadInput> catalogue() {
    const std::string bed_header(kBed.substr(0, 3));
    return {
        // Genotypes.
        {"empty .fam", {{"d.fam", ""}}, kGenomic, "log", "No individuals in d.fam", kKinshipResult},
        {"empty .bim", {{"d.bim", ""}}, kGenomic, "log", "No markers in d.bim", kKinshipResult},
        {"empty .bed", {{"d.bed", ""}}, kGenomic, "log", "Invalid BED file format", kKinshipResult},
        {".bed with its header only", {{"d.bed", bed_header}}, kGenomic, "log", "Truncated BED file d.bed",
         kKinshipResult},
        {"truncated .bed", {{"d.bed", kBed.substr(0, 8)}}, kGenomic, "log", "Truncated BED file d.bed",
         kKinshipResult},
        {".bed in individual-major mode", {{"d.bed", std::string("\x6C\x1B\x00", 3) + kBed.substr(3)}}, kGenomic,
         "log", "Invalid BED file format", kBinaryResult},
        {".bim with a marker more than the .bed holds", {{"d.bim", kBim + "1 m4 0 4 A G\n"}}, kGenomic, "log",
         "Truncated BED file d.bed", kKinshipResult},
        {".fam with fewer individuals than the .bed holds", {{"d.fam", kFam.substr(0, kFam.rfind("F G5"))}}, kGenomic,
         "log", "is longer than its .bim and .fam describe", kKinshipResult},
        {"duplicate individual in the .fam", {{"d.fam", kFam + "F G2 0 0 2 -9\n"}}, kGenomic, "log",
         "Duplicate individual ID G2 in d.fam (lines 2 and 6)", kKinshipResult},
        {"missing .bim", {{"d.bim", "<none>"}}, kGenomic, "log", "File not found: d.bim or d.fam", kKinshipResult},
        {"every marker monomorphic",
         {{"d.bed", bed_header + std::string(6, '\0')}}, kGenomic, "log",
         "every marker is monomorphic or has no calls", kKinshipResult},
        // Pedigrees.
        {"empty pedigree", {{"ped.txt", ""}}, kPedigreeRun, "log",
         "Pedigree needs at least three columns and cannot be empty!", kKinshipResult},
        {"pedigree with its header only", {{"ped.txt", "ID Sire Dam\n"}}, kPedigreeRun, "log",
         "Pedigree needs at least three columns and cannot be empty!", kKinshipResult},
        {"short pedigree row", {{"ped.txt", "ID Sire Dam\nA 0 0\nB A\n"}}, kPedigreeRun, "log",
         "Pedigree file ped.txt, line 3 has 2 field(s)", kKinshipResult},
        {"pedigree loop", {{"ped.txt", "ID Sire Dam\nA C 0\nB A 0\nC B 0\n"}}, kPedigreeRun, "log",
         "is its own ancestor", kBinaryResult},
        {"duplicate pedigree ID", {{"ped.txt", kPedigree + "G1 0 0\n"}}, kPedigreeRun, "log",
         "Program terminated due to duplicate offspring ID.", kKinshipResult},
        {"sire used as dam", {{"ped.txt", kPedigree + "X G1 G1\n"}}, kPedigreeRun, "log",
         "Program terminated due to parents crossover.", kKinshipResult},
        {"missing pedigree file", {{"ped.txt", "<none>"}}, kPedigreeRun, "err",
         "Error: Could not open input file ped.txt", kKinshipResult},
        {"pedigree that names none of the genotyped", {{"ped.txt", "ID Sire Dam\nX 0 0\nY X 0\n"}}, kSingleStep,
         "log", "None of the 2 pedigree individuals is among the 5 genotyped individuals", kKinshipResult},
        {"blend without an inverse (tau 0)", {}, with(kSingleStep, {"--kin-tau", "0"}), "log", "Cannot build H",
         kKinshipResult},
        // Kinship files.
        {"missing kinship file", {{"k.txt", "<none>"}}, kReml, "err", "Could not open the kinship file: k.txt", {}},
        {"kinship file that is a folder", {{"k.txt", "<folder>"}}, kReml, "err",
         "Could not open the kinship file: k.txt", {}},
        {"empty kinship file", {{"k.txt", ""}}, kPredict, "err", "No kinship data found in file.", kBreedingValues},
        {"kinship file with its header only", {{"k.txt", "\tA\tB\tC\n"}}, kPredict, "err",
         "No kinship data found in file.", kBreedingValues},
        {"non-numeric kinship value",
         {{"k.txt", "\tA\tB\tC\nA\t1\t0.25\t0\t\nB\t0.25\tx\t0.125\t\nC\t0\t0.125\t1\t\n"}}, kPredict, "err",
         "kinship file k.txt, line 3: expected 3 values, found 1 (reading stopped at \"x\")", kBreedingValues},
        {"ragged kinship row", {{"k.txt", "\tA\tB\tC\nA\t1\t0.25\t0\t\nB\t0.25\t1\t\nC\t0\t0.125\t1\t\n"}}, kPredict,
         "err", "line 3: expected 3 values, found 2", kBreedingValues},
        {"duplicate kinship ID", {{"k.txt", kKinship + "B\t0.25\t1\t0.125\t\n"}}, kPredict, "err",
         "individual \"B\" has two data lines", kBreedingValues},
        {"kinship header in another order",
         {{"k.txt", "\tB\tA\tC\n" + kKinship.substr(kKinship.find('\n') + 1)}}, kPredict, "err",
         "the header lists the individuals in another order than the data lines", kBreedingValues},
        // Phenotypes.
        {"missing phenotype file", {{"phe.txt", "<none>"}}, kPredict, "err",
         "Could not open the phenotype file: phe.txt", kBreedingValues},
        {"empty phenotype file", {{"phe.txt", ""}}, kPredict, "log", "REML needs at least two records",
         kBreedingValues},
        {"phenotype file with its header only", {{"phe.txt", "ID\tSex\tTrait\n"}}, kReml, "log",
         "REML needs at least two records", {}},
        {"trait column out of range", {}, with(kPredict, {"--phe-pos", "4"}), "err",
         "The specified phenotype column is out of bound of phenotype file", kBreedingValues},
        {"covariate column out of range", {}, with(kPredict, {"--covar-pos", "9"}), "err",
         "The specified covariate column 8 is out of bounds.", kBreedingValues},
        {"covariate column given twice", {}, with(kPredict, {"--covar-pos", "2,2"}), "err",
         "column 2 is given twice in --covar-pos", kBreedingValues},
        {"non-numeric trait", {{"phe.txt", kPhenotypes + "C\tF\tO.5\n"}}, kPredict, "err",
         "phenotype file phe.txt, line 5: the trait value \"O.5\"", kBreedingValues},
        {"REML that does not converge before a prediction", {}, with(kPredict, {"--max-iter", "1"}), "log",
         "r.random.txt was not written", kBreedingValues},
        // Result paths.
        {"output folder that does not exist", {}, with(kGenomic, {"--out", "no/such/r"}), "err",
         "Unable to open log file: no/such/r.log", {}},
    };
}

std::string list_folder(const std::string& dir) {
    std::string names;
    if (DIR* folder = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(folder)) {
            names += std::string(entry->d_name) + " ";
        }
        ::closedir(folder);
    }
    return names;
}

void prepare(const std::string& dir, const BadInput& bad) {
    std::map<std::string, std::string> files = valid_files();
    for (const auto& [name, content] : bad.files) {
        files[name] = content;
    }
    for (const auto& [name, content] : files) {
        if (content == "<folder>") {
            ::mkdir((dir + "/" + name).c_str(), 0755);
        } else if (content != "<none>") {
            write_file(dir + "/" + name, content);
        }
    }
}

}  // namespace

TEST(BadInputCatalogue, EachStopsWithItsMessageAndLeavesResultsAlone) {
    for (const BadInput& bad : catalogue()) {
        SCOPED_TRACE(bad.what);
        // Once on a fresh folder (no result may appear), once over the results of an earlier run
        // (they must survive unchanged).
        for (const bool earlier_results : {false, true}) {
            const std::string dir = make_scratch_dir();
            prepare(dir, bad);
            if (earlier_results) {
                for (const std::string& result : bad.results) {
                    write_file(dir + "/" + result, "earlier result\n");
                }
            }
            const CommandResult run = run_zelkora(bad.args, dir);
            EXPECT_EQ(run.status, 1) << run.out << run.err;
            const std::string& shown = bad.stream == "err" ? run.err : run.out;
            EXPECT_NE(shown.find(bad.message), std::string::npos) << "stdout:\n" << run.out << "stderr:\n" << run.err;
            if (bad.stream == "log" && file_exists(dir + "/r.log")) {
                EXPECT_NE(read_file(dir + "/r.log").find(bad.message), std::string::npos);
            }
            for (const std::string& result : bad.results) {
                if (earlier_results) {
                    EXPECT_EQ(read_file(dir + "/" + result), "earlier result\n") << result;
                } else {
                    EXPECT_FALSE(file_exists(dir + "/" + result)) << result;
                }
            }
            EXPECT_EQ(list_folder(dir).find(".part"), std::string::npos) << list_folder(dir);
        }
    }
}

TEST(BadInputCatalogue, FullDiskIsReportedForEveryResultFile) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {});
    struct FullTarget {
        std::string link;
        std::vector<std::string> args;
        std::string stream;
    };
    const std::vector<FullTarget> targets = {
        {"r.kinship.txt", kGenomic, "log"},
        {"r.bin", with(kPedigreeRun, {"--kin-bin"}), "log"},
        {"r.random.txt", kPredict, "err"},
    };
    for (const FullTarget& target : targets) {
        SCOPED_TRACE(target.link);
        const std::string link = dir + "/" + target.link;
        ASSERT_EQ(::symlink("/dev/full", link.c_str()), 0);
        const CommandResult run = run_zelkora(target.args, dir);
        EXPECT_EQ(run.status, 1);
        const std::string& shown = target.stream == "err" ? run.err : run.out;
        EXPECT_NE(shown.find("No space left on device"), std::string::npos) << run.out << run.err;
        EXPECT_EQ(run.err.find("saved"), std::string::npos);
        std::remove(link.c_str());
    }
}

// Files written on Windows (CR LF line ends) are read exactly like their Unix twins.
TEST(BadInputCatalogue, WindowsLineEndsGiveTheSameResults) {
    auto crlf = [](const std::string& text) {
        std::string converted;
        for (char c : text) {
            if (c == '\n') {
                converted += '\r';
            }
            converted += c;
        }
        return converted;
    };
    const std::vector<std::vector<std::string>> runs = {
        with(kSingleStep, {"--kin-bin"}), kPedigreeRun, with(kReml, {"--covar-pos", "2"})};
    for (const auto& args : runs) {
        std::string results[2];
        for (int windows = 0; windows < 2; ++windows) {
            const std::string dir = make_scratch_dir();
            prepare(dir, {});
            if (windows == 1) {
                for (const char* name : {"d.fam", "d.bim", "ped.txt", "k.txt", "phe.txt"}) {
                    write_file(dir + "/" + name, crlf(read_file(dir + "/" + name)));
                }
            }
            const CommandResult run = run_zelkora(args, dir);
            ASSERT_EQ(run.status, 0) << run.out << run.err;
            // The console without the lines that carry times, and every result file.
            std::istringstream console(run.out);
            for (std::string line; std::getline(console, line);) {
                const bool timed = line.find("Start analysis") != std::string::npos ||
                                   line.find("Building G matrix") != std::string::npos ||
                                   line.find("Time = ") != std::string::npos ||
                                   line.find("Run times") != std::string::npos;
                if (!timed) {
                    results[windows] += line + "\n";
                }
            }
            for (const char* name : {"r.kinship.txt", "r.bin", "r.id"}) {
                results[windows] += name + std::string(":") + read_file(dir + "/" + name);
            }
        }
        EXPECT_EQ(results[0], results[1]) << args[1];
        EXPECT_EQ(results[1].find('\r'), std::string::npos);
    }
}
