// The malformed inputs a user can plausibly hand the program, run through the built executable.
// For each: the message (naming the file, and the line where there is one), the exit status,
// and that no result file was created, or, when one existed from an earlier run, replaced.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// A small valid data set: 5 genotyped individuals (G1..G5, n not a multiple of 4) at 3 markers,
// a pedigree of 7 whose parents P1 and P2 are not genotyped, a kinship file (its triangles differ
// by the rounding of the text format, which must pass) and phenotypes.
const std::string kFam = "F G1 0 0 1 -9\nF G2 0 0 2 -9\nF G3 0 0 1 -9\nF G4 0 0 2 -9\nF G5 0 0 1 -9\n";
const std::string kBim = "1 m1 0 1 A G\n1 m2 0 2 A G\n1 m3 0 3 A G\n";
// 2 bytes per marker; codes chosen so that every marker is polymorphic.
const std::string kBedHeader("\x6C\x1B\x01", 3);
const std::string kBed = kBedHeader + std::string("\xE4\x02\x1B\x03\x39\x00", 6);
const std::string kPedigree = "ID Sire Dam\nP1 0 0\nP2 0 0\nG1 P1 P2\nG2 P1 P2\nG3 P1 0\nG4 G1 G2\nG5 P1 G2\n";
const std::string kKinship =
    "\tA\tB\tC\nA\t1.0000\t0.2500\t0.0000\t\nB\t0.2500\t1.0000\t0.1250\t\nC\t0.0000\t0.1251\t1.0000\t\n";
const std::string kKinshipRows = kKinship.substr(kKinship.find('\n') + 1);
// The same matrix in the binary layout: the lower triangle row by row as floats.
std::string floats(const std::vector<float>& values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
}
const std::string kKinshipBin = floats({1.0f, 0.25f, 1.0f, 0.0f, 0.125f, 1.0f});
const std::string kPhenotypes = "ID\tSex\tTrait\nA\tM\t10.5\nB\tF\t12.0\nC\tM\t9.0\n";
const std::string kTwoTraits = "ID\tSex\tT1\tT2\nA\tM\t10.5\t3.1\nB\tF\t12.0\tNA\nC\tM\t9.0\t2.2\n";
// Records of pedigree individuals, for the breeding values by iteration.
const std::string kPedigreeRecords = "ID\tSex\tTrait\nG1\tM\t10.5\nG2\tF\t12.0\nP1\tM\t9.0\nG4\tF\t11.0\n";

// Writes the valid set into `dir` with `changes` over it: "<none>" leaves a file out, "<folder>"
// puts a folder in its place, "<fifo>" a named pipe, "<full>" a link to a full device.
void prepare(const std::string& dir, const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string> files = changes;  // the changes win over the valid set
    files.insert({{"d.fam", kFam}, {"d.bim", kBim}, {"d.bed", kBed}, {"ped.txt", kPedigree}, {"k.txt", kKinship},
                  {"phe.txt", kPhenotypes}, {"pp.txt", kPedigreeRecords}});
    for (const auto& [name, content] : files) {
        if (content == "<folder>") {
            std::filesystem::create_directory(dir + "/" + name);
        } else if (content == "<fifo>") {
            ::mkfifo((dir + "/" + name).c_str(), 0600);
        } else if (content == "<full>") {
            std::filesystem::create_symlink("/dev/full", dir + "/" + name);
        } else if (content != "<none>") {
            write_file(dir + "/" + name, content);
        }
    }
}

using Args = std::vector<std::string>;
const Args kGen = {"--kinship", "--bedfile", "d", "--out", "r"};
const Args kPed = {"--kinship", "--pedigree", "ped.txt", "--out", "r"};
const Args kBlend = {"--kinship", "--pedigree", "ped.txt", "--bedfile", "d", "--out", "r"};
const Args kReml = {"--reml", "--kin-file", "k.txt", "--phefile", "phe.txt", "--phe-pos", "3", "--out", "r"};
const Args kPred = {"--predict", "--kin-file", "k.txt", "--phefile", "phe.txt", "--phe-pos", "3", "--out", "r"};
const Args kPredBin = {"--predict", "--kin-file", "k.bin", "--phefile", "phe.txt", "--phe-pos", "3", "--out", "r"};
// Breeding values by iteration from the pedigree, with records of pedigree individuals.
const Args kFromPedigree = {"--predict", "--pedigree", "ped.txt", "--phefile", "pp.txt", "--phe-pos", "3", "--out", "r"};
const Args kPedPred = {"--predict", "--pedigree", "ped.txt", "--phefile", "pp.txt", "--phe-pos", "3", "--vc", "2,3",
                       "--out", "r"};
const Args kStepPred = {"--predict", "--pedigree", "ped.txt", "--bedfile", "d", "--phefile", "pp.txt", "--phe-pos", "3",
                        "--vc", "2,3", "--out", "r"};
const Args kRemlGcta = {"--reml", "--kin-file", "k.grm.bin", "--phefile", "phe.txt", "--phe-pos", "3", "--out", "r"};

Args with(Args args, const Args& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Where the message appears: on standard error only, for a command line (or a log) that fails
// before the log can hold anything; on standard error and in the log for a run that fails.
enum Stream { kCommandLine, kRun };
// Result files that must not appear, or be replaced.
const std::vector<std::string> kText = {"r.kinship.txt"}, kBin = {"r.bin", "r.id"},
                               kValues = {"r.random.txt", "r.reliability.txt"},
                               kGcta = {"r.grm.bin", "r.grm.id", "r.grm.N.bin"},
                               kPart = {"r.part_2_1.bin", "r.part_2_1.id"},
                               kSparse = {"r.random.txt", "r.vc.txt"}, kInverse = {"r.inverse.txt", "r.inverse.id"};
const Args kParts = {"--kin-bin", "--kin-parts", "2", "--kin-part", "1"};

struct BadInput {
    std::string what;                           // what the user did
    std::map<std::string, std::string> files;   // the inputs, over the valid set
    Args args;
    Stream stream;
    std::string message;                        // a part of it
    std::vector<std::string> results;
};

std::vector<BadInput> catalogue() {
    return {
        // Genotypes.
        {"empty .fam", {{"d.fam", ""}}, kGen, kRun, "No individuals in d.fam", kText},
        {"empty .bim", {{"d.bim", ""}}, kGen, kRun, "No markers in d.bim", kText},
        {"empty .bed", {{"d.bed", ""}}, kGen, kRun,
         "Invalid BED file format: d.bed holds 0 byte(s), fewer than the 3 of its header (6C 1B 01).", kText},
        {".bed that is a text file", {{"d.bed", "F G1 0 0 1 A A G G\n"}}, kGen, kRun,
         "Invalid BED file format: d.bed begins with the bytes 46 20 instead of the magic bytes 6C 1B", kText},
        {"missing .bed", {{"d.bed", "<none>"}}, kGen, kRun,
         "Could not open BED file d.bed (No such file or directory)", kText},
        {".bed that is a folder", {{"d.bed", "<folder>"}}, kGen, kRun, "Could not open BED file d.bed: it is a folder",
         kText},
        {".fam that is a named pipe", {{"d.fam", "<fifo>"}}, kGen, kRun,
         "Could not read d.fam: it is a named pipe", kText},
        {".bim that is a folder", {{"d.bim", "<folder>"}}, kGen, kRun, "Could not read d.bim: it is a folder", kText},
        {".bed that is a named pipe", {{"d.bed", "<fifo>"}}, kBlend, kRun,
         "Could not open BED file d.bed: it is a named pipe; give the prefix of a regular .bed/.bim/.fam set.", kText},
        {".bed with its header only", {{"d.bed", kBedHeader}}, kGen, kRun, "Truncated BED file d.bed", kText},
        {"truncated .bed", {{"d.bed", kBed.substr(0, 8)}}, kGen, kRun,
         "Truncated BED file d.bed: expected 9 bytes (3 + 2 bytes per marker x 3 markers, for 5 individuals in d.fam "
         "and 3 markers in d.bim) but the file holds 8 bytes.", kText},
        {".bed in individual-major mode", {{"d.bed", std::string("\x6C\x1B\x00", 3) + kBed.substr(3)}}, kGen,
         kRun, "Invalid BED file format: d.bed has the mode byte 00 (individual-major) instead of 01 (marker-major)",
         kBin},
        {".bim with a marker more than the .bed holds", {{"d.bim", kBim + "1 m4 0 4 A G\n"}}, kGen, kRun,
         "Truncated BED file d.bed", kText},
        {".fam with fewer individuals than the .bed holds", {{"d.fam", kFam.substr(0, kFam.rfind("F G5"))}},
         kGen, kRun, "BED file d.bed is longer than its .bim and .fam describe: expected 6 bytes (3 + 1 bytes per "
         "marker x 3 markers, for 4 individuals in d.fam and 3 markers in d.bim) but the file holds 9 bytes.", kText},
        {"duplicate individual in the .fam", {{"d.fam", kFam + "F G2 0 0 2 -9\n"}}, kGen, kRun,
         "Duplicate individual ID G2 in d.fam (lines 2 and 6)", kText},
        {"missing .bim", {{"d.bim", "<none>"}}, kGen, kRun, "File not found: d.bim or d.fam", kText},
        {".fam line without its six fields (every later individual would shift)",
         {{"d.fam", "F G1 0 0 1 -9\nF G2\nF G3 0 0 1 -9\nF G4 0 0 2 -9\nF G5 0 0 1 -9\nF G6 0 0 1 -9\n"}}, kGen, kRun,
         "d.fam, line 2 has 2 field(s) (\"F G2\") where every line needs 6: family ID, individual ID, father, mother, "
         "sex, phenotype. Complete or remove the line (a header line must be the first line and begin with #).", kText},
        {".bim line with a seventh field", {{"d.bim", "1 m1 0 1 A G\n1 m2 0 2 A G C\n1 m3 0 3 A G\n"}}, kGen, kRun,
         "d.bim, line 2 has 7 field(s) (\"1 m2 0 2 A G C\") where every line needs 6: chromosome, marker ID, genetic "
         "position, base-pair position, allele 1, allele 2.", kText},
        {"every marker monomorphic", {{"d.bed", kBedHeader + std::string(6, '\0')}}, kGen, kRun,
         "every marker is monomorphic or has no calls", kText},
        {"one genotyped individual", {{"d.fam", "F G1 0 0 1 -9\n"}, {"d.bed", kBedHeader + std::string("\x00\x02\x03", 3)}},
         kGen, kRun, "Cannot build G from d.fam: it lists one individual (G1); relationships need at least two", kText},
        {"every marker heterozygous in everyone", {{"d.bed", kBedHeader + std::string("\xAA\x02\xAA\x02\xAA\x02", 6)}},
         kGen, kRun, "Cannot build G by method 1 from d.bed: no marker varies between the individuals", kText},
        {"unknown G method", {}, with(kGen, {"--kin-method", "4"}), kRun, "Invalid kinship method!", kText},
        {"unknown G method and no .bed", {{"d.bed", "<none>"}}, with(kBlend, {"--kin-method", "0"}), kRun,
         "Invalid kinship method!", kText},
        {"lambda whose weights underflow", {}, with(kGen, {"--kin-method", "2", "--kin-lambda", "-1100"}), kRun,
         "Cannot build G by method 2 from d.bed: with lambda -1100 the marker weights underflow to 0, so the markers "
         "would drop out of G. Use a lambda closer to 0 (--kin-lambda).", kText},
        {"lambda whose weights underflow (method 3)", {}, with(kGen, {"--kin-method", "3", "--kin-lambda", "-1100"}),
         kRun, "Cannot build G by method 3 from d.bed: with lambda -1100 the marker weights underflow", kText},
        // Pedigrees.
        {"empty pedigree", {{"ped.txt", ""}}, kPed, kRun,
         "Pedigree needs at least three columns and cannot be empty!", kText},
        {"pedigree with its header only", {{"ped.txt", "ID Sire Dam\n"}}, kPed, kRun,
         "Pedigree needs at least three columns and cannot be empty!", kText},
        {"short pedigree row", {{"ped.txt", "ID Sire Dam\nA 0 0\nB A\n"}}, kPed, kRun,
         "Pedigree file ped.txt, line 3 has 2 field(s)", kText},
        {"pedigree row for individual 0", {{"ped.txt", "ID Sire Dam\nA 0 0\n0 A 0\nB A 0\n"}}, kPed, kRun,
         "Pedigree file ped.txt, line 3: the individual ID is \"0\", a code for an unknown individual", kText},
        {"pedigree row for individual NA", {{"ped.txt", "ID Sire Dam\nNA 0 0\nB 0 0\n"}}, kPed, kRun,
         "Pedigree file ped.txt, line 2: the individual ID is \"NA\"", kText},
        {"unknown sire written as a dot", {{"ped.txt", "ID Sire Dam\nA 0 0\nB . A\n"}}, kPed, kRun,
         "Pedigree file ped.txt, line 3: the sire \".\" is not a code for an unknown parent; write 0 or NA.", kText},
        {"unknown dam written as na", {{"ped.txt", "ID Sire Dam\nA 0 0\nB A na\n"}}, kBlend, kRun,
         "line 3: the dam \"na\" is not a code for an unknown parent", kText},
        {"pedigree is a folder", {{"ped.txt", "<folder>"}}, kPed, kRun,
         "Error: Could not open input file ped.txt (it is a folder)", kText},
        {"pedigree loop through sires and dams", {{"ped.txt", "ID Sire Dam\nF 0 0\nA F B\nB C 0\nC 0 A\n"}}, kPed,
         kRun, "is its own ancestor: the pedigree has a loop through it.", kBin},
        {"its own dam", {{"ped.txt", "ID Sire Dam\nA 0 A\n"}}, kPed, kRun, "Individual A is its own ancestor", kText},
        {"duplicate pedigree ID", {{"ped.txt", kPedigree + "G1 0 0\n"}}, kPed, kRun,
         "Duplicate offspring ID found: G1\nProgram terminated due to duplicate offspring ID.", kText},
        {"sire used as dam", {{"ped.txt", kPedigree + "X G1 G1\n"}}, kPed, kRun,
         "Crossover found between parental individuals: G1 \nProgram terminated due to parents crossover.", kText},
        {"no pedigree file", {{"ped.txt", "<none>"}}, kPed, kRun, "Error: Could not open input file ped.txt", kText},
        {"pedigree that names none of the genotyped", {{"ped.txt", "ID Sire Dam\nX 0 0\nY X 0\n"}}, kBlend,
         kRun, "None of the 2 pedigree individuals is among the 5 genotyped individuals", kText},
        {"blend without an inverse (tau 0)", {}, with(kBlend, {"--kin-tau", "0"}), kCommandLine,
         "Invalid argument for --kin-tau - 0: tau scales the inverse of G22 in H and must be greater than 0.", kText},
        {"negative tau", {}, with(kBlend, {"--kin-tau", "-1"}), kCommandLine, "Invalid argument for --kin-tau - -1", kText},
        {"blend that is not positive definite (omega 3)", {}, with(kBlend, {"--kin-omega", "3"}), kRun,
         "with tau = 1 and omega = 3 is not positive definite", kText},
        // Kinship files.
        {"missing kinship file", {{"k.txt", "<none>"}}, kReml, kRun, "Could not open the kinship file: k.txt", {}},
        {"kinship is a folder", {{"k.txt", "<folder>"}}, kReml, kRun, "Could not open the kinship file: k.txt", {}},
        {"empty kinship file", {{"k.txt", ""}}, kPred, kRun, "No kinship data found in file.", kValues},
        {"kinship header only", {{"k.txt", "\tA\tB\tC\n"}}, kPred, kRun, "No kinship data found in file.", kValues},
        {"non-numeric kinship value",
         {{"k.txt", "\tA\tB\tC\nA\t1\t0.25\t0\t\nB\t0.25\tx\t0.125\t\nC\t0\t0.125\t1\t\n"}}, kPred, kRun,
         "kinship file k.txt, line 3: expected 3 values, found 1 (reading stopped at \"x\")", kValues},
        {"kinship value beyond the range of a number",
         {{"k.txt", "\tA\tB\tC\nA\t1\t1e400\t0\t\nB\t1e400\t1\t0.125\t\nC\t0\t0.125\t1\t\n"}}, kPred, kRun,
         "kinship file k.txt, line 2: expected 3 values, found 1 (reading stopped at \"1e400\", a value too large for a "
         "64-bit number).", kValues},
        {"hexadecimal kinship value",
         {{"k.txt", "\tA\tB\tC\nA\t1\t0.25\t0\t\nB\t0.25\t1\t0x0\t\nC\t0\t0.125\t1\t\n"}}, kPred, kRun,
         "kinship file k.txt, line 3: expected 3 values, found 2 (reading stopped at \"0x0\").", kValues},
        {"kinship value with text after it",
         {{"k.txt", "\tA\tB\tC\nA\t1\t0.25\t0\t\nB\t0.25\t1\t0.125\t\nC\t0\t0.125\t1kg\t\n"}}, kReml, kRun,
         "kinship file k.txt, line 4: expected 3 values, found 2 (reading stopped at \"1kg\").", {}},
        {"binary kinship under an upper-case ending", {{"k.BIN", kKinshipBin}, {"k.id", "A\nB\nC\n"}},
         with(kReml, {"--kin-file", "k.BIN"}), kRun,
         "❎ Error: kinship file k.BIN is not a text file: its size is that of a binary kinship matrix of 3 "
         "individuals (6 4-byte floats). A kinship file is read as text unless its name ends in .bin (with its IDs in "
         "PREFIX.id beside it) or .grm.bin (with PREFIX.grm.id).", {}},
        {"binary kinship named .grm", {{"k.grm", kKinshipBin.substr(0, 20)}}, with(kPred, {"--kin-file", "k.grm"}),
         kRun, "❎ Error: kinship file k.grm is not a text file: it holds binary data (byte 1 is 00).", kValues},
        {"compressed kinship", {{"k.bin.gz", std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8) + "xyz"}},
         with(kReml, {"--kin-file", "k.bin.gz"}), kRun,
         "❎ Error: kinship file k.bin.gz is compressed with gzip: decompress it first (gunzip).", {}},
        {"ragged kinship row", {{"k.txt", "\tA\tB\tC\nA\t1\t0.25\t0\t\nB\t0.25\t1\t\nC\t0\t0.125\t1\t\n"}}, kPred,
         kRun, "line 3: expected 3 values, found 2", kValues},
        {"kinship row with more values than IDs (all)",
         {{"k.txt", "\tA\tB\tC\nA\t1\t0.25\t0\t\nB\t0.25\t1\t0.125\t0.5\t\nC\t0\t0.125\t1\t\n"}}, kPred, kRun,
         "kinship file k.txt, line 3: 4 values for the 3 individuals of the file", kValues},
        {"kinship row with more values than IDs (records)", {{"phe.txt",
         "ID\tSex\tTrait\nA\tM\t10.5\nB\tF\t12.0\n"}, {"k.txt", "\tA\tB\tC\nA\t1\t0.25\t0\t7\t\nB\t0.25\t1\t0.125\t\n"
         "C\t0\t0.125\t1\t\n"}}, kReml, kRun, "kinship file k.txt, line 2: 4 values for the 3 individuals", {}},
        {"duplicate kinship ID", {{"k.txt", kKinship + "B\t0.25\t1\t0.125\t\n"}}, kPred, kRun,
         "individual \"B\" has two data lines", kValues},
        {"kinship header in another order", {{"k.txt", "\tB\tA\tC\n" + kKinshipRows}}, kPred, kRun,
         "the header lists the individuals in another order than the data lines", kValues},
        {"kinship header with a corner title", {{"k.txt", "ID" + kKinship}}, kPred, kRun,
         "kinship file k.txt: the header names \"ID\" (column 1) but no data line belongs to it", kValues},
        {"kinship header short of an ID", {{"k.txt", "\tA\tB\n" + kKinshipRows}}, kReml, kRun,
         "the header lists 2 IDs but there are 3 data lines; the header must list the IDs of the data lines", {}},
        {"asymmetric kinship (records)", {{"k.txt", std::regex_replace(kKinship, std::regex("0.1251"), "0.0100")}},
         kReml, kRun, "k.txt is not symmetric: the value for \"C\" and \"B\" is 0.01 in one triangle and 0.125", {}},
        {"asymmetric kinship (all)", {{"k.txt", std::regex_replace(kKinship, std::regex("0.2500\t1"), "0.2\t1")}},
         kPred, kRun, "the value for \"B\" and \"A\" is 0.2 in one triangle and 0.25 in the other.", kValues},
        {"binary kinship without its ID file", {{"k.bin", kKinshipBin}}, kPredBin, kRun,
         "❎ Error: kinship file k.bin needs its ID file k.id beside it, which could not be opened", kValues},
        {"binary kinship of another size than its IDs", {{"k.bin", kKinshipBin.substr(4)}, {"k.id", "A\nB\nC\n"}},
         kPredBin, kRun, "❎ Error: kinship file k.bin holds 5 values (20 bytes), but the 3 individuals of k.id need 6 "
         "values (24 bytes, n(n+1)/2 floats)", kValues},
        {"binary kinship with a NaN", {{"k.bin", floats({1, 0.25f, 1, 0, NAN, 1})}, {"k.id", "A\nB\nC\n"}}, kPredBin,
         kRun, "kinship file k.bin: the value for \"C\" and \"B\" (row 3, column 2) is nan; every value must be a "
         "finite number.", kValues},
        {"binary kinship ID listed twice", {{"k.bin", kKinshipBin}, {"k.id", "A\nB\nA\n"}}, kPredBin, kRun,
         "ID file k.id: individual \"A\" is listed twice (lines 1 and 3)", kValues},
        {".grm.id without family IDs", {{"k.grm.bin", kKinshipBin}, {"k.grm.id", "A\nB\nC\n"}}, kRemlGcta, kRun,
         "ID file k.grm.id, line 1: expected 2 fields (family ID, individual ID), found 1.", {}},
        {"marker counts asked for A or H", {}, with(kBlend, {"--kin-gcta"}), kCommandLine,
         "--kin-gcta writes the number of markers behind every relationship, which only G (--bedfile alone) has",
         kGcta},
        // G in parts.
        {"part count without the part", {}, with(kGen, {"--kin-bin", "--kin-parts", "2"}), kCommandLine,
         "❎ Error: --kin-parts needs --kin-part: give the number of parts (--kin-parts N) and the part this run "
         "writes (--kin-part I, 1 to N) together.", kPart},
        {"part without the part count", {}, with(kGen, {"--kin-bin", "--kin-part", "1"}), kCommandLine,
         "❎ Error: --kin-part needs --kin-parts", kPart},
        {"no parts", {}, with(kGen, {"--kin-bin", "--kin-parts", "0", "--kin-part", "1"}), kCommandLine,
         "❎ Error: Invalid argument for --kin-parts - 0: give a number of parts of 1 or more.", kPart},
        {"part beyond the part count", {}, with(kGen, {"--kin-bin", "--kin-parts", "2", "--kin-part", "3"}), kCommandLine,
         "❎ Error: Invalid argument for --kin-part - 3: parts count from 1 to 2 (--kin-parts 2).", kPart},
        {"part 0", {}, with(kGen, {"--kin-bin", "--kin-parts", "2", "--kin-part", "0"}), kCommandLine,
         "Invalid argument for --kin-part - 0: parts count from 1 to 2", kPart},
        {"part count that is not a whole number", {}, with(kGen, {"--kin-bin", "--kin-parts", "2x", "--kin-part", "1"}),
         kCommandLine, "Invalid argument for --kin-parts - \"2x\" is not a whole number", kPart},
        {"parts of H", {}, with(kBlend, kParts), kCommandLine,
         "❎ Error: --kin-parts splits G, which --bedfile alone builds; it cannot be used with --pedigree", kPart},
        {"parts of a text G", {}, with(kGen, {"--kin-parts", "2", "--kin-part", "1"}), kCommandLine,
         "❎ Error: --kin-parts writes the binary pair only: give --kin-bin", kPart},
        {"parts with the marker counts", {}, with(with(kGen, kParts), {"--kin-gcta"}), kCommandLine,
         "without --kin-gcta", kPart},
        {"more parts than individuals", {}, with(kGen, {"--kin-bin", "--kin-parts", "6", "--kin-part", "6"}), kRun,
         "❎ Error: Invalid argument for --kin-parts - 6 is more than the 5 individuals of d.fam; every part needs a "
         "row of G, so give at most 5 parts.", {"r.part_6_6.bin", "r.part_6_6.id"}},
        // The checks before G and H.
        {"minor allele frequency above one half", {}, with(kGen, {"--maf", "0.7"}), kCommandLine,
         "❎ Error: Invalid argument for --maf - 0.7: a minor allele frequency lies from 0 to 0.5.", kText},
        {"negative missing rate", {}, with(kGen, {"--geno", "-0.1"}), kCommandLine,
         "❎ Error: Invalid argument for --geno - -0.1: a missing rate lies from 0 to 1.", kText},
        {"p-value in percent", {}, with(kGen, {"--hwe", "5%"}), kCommandLine,
         "Invalid argument for --hwe - \"5%\" is not a decimal number", kText},
        {"unknown parentage action", {}, with(kBlend, {"--parent-conflict-action", "drop"}), kCommandLine,
         "❎ Error: Invalid argument for --parent-conflict-action - \"drop\": give report (the default: the conflicts "
         "are reported) or unlink (a flagged parent is set unknown for A and H).", kText},
        {"blend of nothing", {}, with(kBlend, {"--kin-alpha", "0", "--kin-beta", "0"}), kCommandLine,
         "❎ Error: Invalid arguments for --kin-alpha and --kin-beta - 0 and 0: the blend alpha G + beta A22 needs "
         "alpha + beta > 0 (usual: 0.95 and 0.05).", kText},
        {"genotype filter without genotypes", {}, with(kPed, {"--maf", "0.05"}), kCommandLine,
         "❎ Error: --maf filters the genotypes of --bedfile, which was not given.", kText},
        {"tuning G without a pedigree", {}, with(kGen, {"--kin-tune"}), kCommandLine,
         "❎ Error: --kin-tune compares the genotypes with the pedigree: it needs both --bedfile and --pedigree (H).",
         kText},
        {"backward chromosome range", {}, with(kGen, {"--chr", "5-3"}), kCommandLine,
         "❎ Error: Invalid argument for --chr - \"5-3\" is no range: a range joins two whole numbers in order with a "
         "dash, for example 1-29.", kText},
        {"missing ID list", {}, with(kGen, {"--keep", "keep.txt"}), kRun, "Could not open the ID list keep.txt.", kText},
        {"ID list that keeps nobody", {{"keep.txt", "X1\nX2\n"}}, with(kGen, {"--keep", "keep.txt"}), kRun,
         "The filters left 0 of the 5 individuals of d.fam (--keep removed 5); relationships need at least two. Check "
         "the ID lists and the --mind limit.", kText},
        {"chromosome the .bim does not hold", {}, with(kGen, {"--chr", "2-29"}), kRun,
         "The filters removed all 3 markers of d.bim (--chr removed 3); check the lists and chromosome codes given.",
         kText},
        {"thresholds that remove every marker", {}, with(kBlend, {"--maf", "0.5", "--geno", "0"}), kRun,
         "The filters removed all 3 markers left for G from d.bim (", kText},
        {"tuning G to the A22 of one genotyped individual", {{"ped.txt", "ID Sire Dam\nG1 0 0\nX G1 0\n"}},
         with(kBlend, {"--kin-tune"}), kRun, "Cannot tune G to A22 (--kin-tune): G22 of the 1 genotyped individuals", kText},
        // Phenotypes.
        {"missing phenotype file", {{"phe.txt", "<none>"}}, kPred, kRun,
         "Could not open the phenotype file: phe.txt", kValues},
        {"phenotype file is a folder", {{"phe.txt", "<folder>"}}, kReml, kRun,
         "Could not open the phenotype file: phe.txt", {}},
        {"empty phenotype file", {{"phe.txt", ""}}, kPred, kRun, "REML needs at least two records", kValues},
        {"phenotype file with its header only", {{"phe.txt", "ID\tSex\tTrait\n"}}, kReml, kRun,
         "REML needs at least two records", {}},
        {"trait column out of range", {}, with(kPred, {"--phe-pos", "4"}), kRun,
         "The specified phenotype column is out of bound of phenotype file\n--phe-pos 4: phenotype file phe.txt has 3 "
         "columns in its first line (columns count from 1, column 1 being the ID).", kValues},
        {"covariate column out of range", {}, with(kPred, {"--covar-pos", "9"}), kRun,
         "The specified covariate column 8 is out of bounds.\n--covar-pos 9: phenotype file phe.txt has 3 columns in "
         "its first line (columns count from 1, column 1 being the ID).", kValues},
        {"phenotype file separated by spaces", {{"phe.txt", "ID Sex Trait\nA M 10.5\nB F 12.0\nC M 9.0\n"}}, kPred,
         kRun, "The specified phenotype column is out of bound of phenotype file\n--phe-pos 3: phenotype file phe.txt "
         "has 1 column in its first line (columns count from 1, column 1 being the ID).\nIts first line is one field "
         "with spaces in it: the file must be tab-separated (a tab between fields, not spaces).", kValues},
        {"covariate column given twice", {}, with(kPred, {"--covar-pos", "2,2"}), kRun,
         "column 2 is given twice in --covar-pos", kValues},
        {"non-numeric trait", {{"phe.txt", kPhenotypes + "C\tF\tO.5\n"}}, kPred, kRun,
         "phenotype file phe.txt, line 5: the trait value \"O.5\"", kValues},
        {"kinship with a negative eigenvalue",
         {{"k.txt", "\tA\tB\tC\nA\t1\t0.9\t-0.9\t\nB\t0.9\t1\t0.9\t\nC\t-0.9\t0.9\t1\t\n"}}, kPred, kRun,
         "the kinship matrix of the 3 records is not positive semi-definite: its smallest eigenvalue is -0.8 and 1 "
         "eigenvalue(s) lie below", kValues},
        {"records that cannot tell genetic from residual variance", {}, with(kPred, {"--covar-pos", "2"}), kRun,
         "the average information matrix is singular", kValues},
        {"a trait no variance is left of after the fixed effects",
         {{"phe.txt", "ID\tSex\tTrait\nA\tM\t10.5\nB\tF\t12.0\nC\tM\t10.5\n"}}, with(kPred, {"--covar-pos", "2"}),
         kRun, "the fixed effects explain the trait exactly", kValues},
        {"trait in units too large to estimate", {{"phe.txt", "ID\tSex\tTrait\nA\tM\t1e200\nB\tF\t-1e200\nC\tM\t0\n"}},
         kPred, kRun, "so their variance is too large to compute", kValues},
        {"text in a numeric covariate", {{"phe.txt", "ID\tAge\tTrait\nA\t3\t10.5\nB\t3y\t12.0\nC\t4\t9.0\n"}},
         with(kPred, {"--qcovar-pos", "2"}), kRun,
         "phenotype file phe.txt, line 3: the covariate value \"3y\" in column 2 (--qcovar-pos) is not a finite number.",
         kValues},
        {"a column both class and numeric covariate", {}, with(kPred, {"--covar-pos", "2", "--qcovar-pos", "2"}), kRun,
         "column 2 is given both in --covar-pos and in --qcovar-pos", kValues},
        {"a numeric covariate given twice", {}, with(kPred, {"--qcovar-pos", "2,2"}), kRun,
         "column 2 is given twice in --qcovar-pos", kValues},
        {"a numeric covariate beyond the row", {{"phe.txt", "ID\tAge\tTrait\nA\t3\t10.5\nB\t12.0\nC\t4\t9.0\n"}},
         with(kPred, {"--qcovar-pos", "3", "--phe-pos", "2"}), kRun,
         "phenotype file phe.txt, line 3 has 2 field(s), so it has no column 3 (--qcovar-pos).", kValues},
        {"a numeric covariate beyond the header", {}, with(kPred, {"--qcovar-pos", "7"}), kRun,
         "The specified covariate column 6 is out of bounds.\n--qcovar-pos 7: phenotype file phe.txt has 3 columns", kValues},
        {"hexadecimal numeric covariate", {{"phe.txt", "ID\tAge\tTrait\nA\t3\t10.5\nB\t0x10\t12.0\nC\t4\t9.0\n"}},
         with(kPred, {"--qcovar-pos", "2"}), kRun,
         "phenotype file phe.txt, line 3: the covariate value \"0x10\" in column 2 (--qcovar-pos) is not a finite number.",
         kValues},
        {"numeric covariate beyond the range of a double",
         {{"phe.txt", "ID\tAge\tTrait\nA\t3\t10.5\nB\t-1e400\t12.0\nC\t4\t9.0\n"}}, with(kPred, {"--qcovar-pos", "2"}),
         kRun, "line 3: the covariate value \"-1e400\" in column 2 (--qcovar-pos) is not a finite number.", kValues},
        {"trait beyond the range of a double", {{"phe.txt", kPhenotypes + "C\tF\t1e400\n"}}, kReml, kRun,
         "phenotype file phe.txt, line 5: the trait value \"1e400\" in column 3 is out of the range of a double.", {}},
        // No usable record with a numeric covariate: the message of too few records, no crash.
        {"numeric covariate, no phenotype ID in the kinship",
         {{"phe.txt", "ID\tAge\tTrait\nX\t3\t10.5\nY\t4\t12.0\n"}}, with(kPred, {"--qcovar-pos", "2"}), kRun,
         "REML needs at least two records", kValues},
        {"numeric covariate, header only", {{"phe.txt", "ID\tAge\tTrait\n"}}, with(kReml, {"--qcovar-pos", "2"}),
         kRun, "REML needs at least two records", {}},
        {"numeric covariate, the trait all NA", {{"phe.txt", "ID\tAge\tTrait\nA\t3\tNA\nB\t4\tNA\n"}},
         with(kPred, {"--qcovar-pos", "2"}), kRun, "REML needs at least two records", kValues},
        {"numeric covariate all NA", {{"phe.txt", "ID\tAge\tTrait\nA\tNA\t3\nB\tNA\t4\n"}},
         with(kReml, {"--qcovar-pos", "2"}), kRun, "REML needs at least two records", {}},
        // The breeding values and their reliabilities are put in place together or not at all.
        {"reliability file that is a folder", {{"r.reliability.txt", "<folder>"}}, kPred, kRun,
         "无法打开文件 r.reliability.txt", {"r.random.txt"}},
        // Models with several random effects, and given variances.
        {"kinship list naming a missing file", {{"list.txt", "k.txt\nmissing.txt\n"}},
         with(kPred, {"--kin-file", "", "--mkin-file", "list.txt"}), kRun,
         "kinship list list.txt, line 2: missing.txt does not exist", kValues},
        {"empty kinship list", {{"list.txt", "\n\n"}}, with(kPred, {"--kin-file", "", "--mkin-file", "list.txt"}), kRun,
         "the kinship list list.txt names no kinship file", kValues},
        {"kinship list naming itself", {{"list.txt", "list.txt\n"}},
         with(kPred, {"--kin-file", "", "--mkin-file", "list.txt"}), kRun,
         "kinship list list.txt, line 1 names the list itself", kValues},
        {"--kin-file with --mkin-file", {{"list.txt", "k.txt\n"}}, with(kPred, {"--mkin-file", "list.txt"}), kCommandLine,
         "--kin-file and --mkin-file cannot be given together", kValues},
        {"a column both fixed and random", {}, with(kPred, {"--covar-pos", "2", "--rand-pos", "2"}), kRun,
         "column 2 is given both as a fixed covariate and in --rand-pos", kValues},
        // Several traits.
        {"a trait column twice", {{"phe2.txt", kTwoTraits}}, with(kPred, {"--phefile", "phe2.txt", "--phe-pos", "3,3"}),
         kRun, "column 3 is given twice in --phe-pos; give each trait column once.", kValues},
        {"more than 6 traits", {{"phe2.txt", kTwoTraits}},
         with(kPred, {"--phefile", "phe2.txt", "--phe-pos", "3,4,5,6,7,8,9"}), kRun,
         "--phe-pos names 7 trait columns; a run fits at most 6 traits together.", kValues},
        {"a constant trait", {{"phe2.txt", "ID\tT1\tT2\nA\t10.5\t1\nB\t12.0\t1\nC\t9.0\t1\n"}},
         with(kPred, {"--phefile", "phe2.txt", "--phe-pos", "2,3"}), kRun,
         "trait T2 (column 3) has the same value in all its 3 records; there is no variance to estimate.", kValues},
        {"a trait with no usable record", {{"phe2.txt", "ID\tT1\tT2\nA\t10.5\tNA\nB\t12.0\tNA\nC\t9.0\tNA\n"}},
         with(kPred, {"--phefile", "phe2.txt", "--phe-pos", "2,3"}), kRun,
         "trait T2 (column 3) has no usable record in phe2.txt", kValues},
        {"repeated IDs with several traits",
         {{"phe2.txt", "ID\tT1\tT2\nA\t10.5\t2\nB\t12.0\t3\nA\t9.0\t1\n"}},
         with(kPred, {"--phefile", "phe2.txt", "--phe-pos", "2,3"}), kRun,
         "phenotype file phe2.txt: 1 individual(s) have several records (A); several traits take one record per "
         "individual", kValues},
        {"--pe with several traits", {{"phe2.txt", kTwoTraits}},
         with(kPred, {"--phefile", "phe2.txt", "--phe-pos", "3,4", "--pe"}), kRun,
         "--pe is not available with several traits (--phe-pos a,b,...) yet", kValues},
        {"--rand-pos with several traits", {{"phe2.txt", kTwoTraits}},
         with(kPred, {"--phefile", "phe2.txt", "--phe-pos", "3,4", "--rand-pos", "2"}), kRun,
         "--rand-pos is not available with several traits (--phe-pos a,b,...) yet", kValues},
        {"--mkin-file with several traits", {{"phe2.txt", kTwoTraits}, {"list.txt", "k.txt\n"}},
         with(kPred, {"--kin-file", "", "--mkin-file", "list.txt", "--phefile", "phe2.txt", "--phe-pos", "3,4"}), kRun,
         "--mkin-file is not available with several traits (--phe-pos a,b,...) yet", kValues},
        {"--vc of the wrong length for two traits", {{"phe2.txt", kTwoTraits}},
         with(kPred, {"--phefile", "phe2.txt", "--phe-pos", "3,4", "--vc", "1,0.5,1,1"}), kRun,
         "--vc gives 4 value(s) but 2 traits have 6 variance components: Vg(T1), Vg(T1,T2), Vg(T2), Ve(T1), "
         "Ve(T1,T2), Ve(T2), in this order.", kValues},
        {"--vc whose Vg is not positive semi-definite", {{"phe2.txt", kTwoTraits}},
         with(kPred, {"--phefile", "phe2.txt", "--phe-pos", "3,4", "--vc", "1,2,1,1,0,1"}), kRun,
         "--vc: the values of Vg do not form a positive semi-definite matrix", kValues},
        {"--vc with the wrong count", {}, with(kPred, {"--vc", "1,2,3"}), kRun,
         "--vc gives 3 value(s) but the model has 2 variance components: Add, e", kValues},
        {"--vc with a negative value", {}, with(kPred, {"--vc", "1,-2"}), kCommandLine,
         "the variance -2 is negative", kValues},
        {"--vc with a residual of 0", {}, with(kPred, {"--vc", "1,0"}), kRun,
         "--vc: the residual variance, the last value, must be above 0.", kValues},
        {"--vc with --reml", {}, with(kReml, {"--vc", "1,2"}), kRun, "--vc gives the variances of a prediction", {}},
        {"trait with a thousands separator", {{"phe.txt", kPhenotypes + "C\tF\t53,682\n"}}, kPred, kRun,
         "phenotype file phe.txt, line 5: the trait value \"53,682\" in column 3 is not a number.", kValues},
        {"hexadecimal trait", {{"phe.txt", kPhenotypes + "C\tF\t0x40\n"}}, kReml, kRun,
         "phenotype file phe.txt, line 5: the trait value \"0x40\" in column 3 is not a number.", {}},
        {"trait with a unit", {{"phe.txt", kPhenotypes + "C\tF\t12kg\n"}}, kReml, kRun,
         "line 5: the trait value \"12kg\" in column 3 is not a number.", {}},
        {"numeric covariate option where a value belongs", {}, with(kPred, {"--covar-pos", "--qcovar-pos", "2"}), kCommandLine,
         "❎ Error: --covar-pos needs a value but is followed by the option --qcovar-pos.", kValues},
        {"covariate list with a semicolon", {}, with(kPred, {"--covar-pos", "2;3"}), kCommandLine,
         "Invalid argument for --covar-pos - \"2;3\" is not a whole number", kValues},
        {"decimal comma in a factor", {}, with(kBlend, {"--kin-tau", "1,5"}), kCommandLine,
         "Invalid argument for --kin-tau - \"1,5\" is not a decimal number", kText},
        {"hexadecimal factor", {}, with(kBlend, {"--kin-omega", "0x1"}), kCommandLine,
         "Invalid argument for --kin-omega - \"0x1\" is not a decimal number", kText},
        {"decimal thread count", {}, with(kGen, {"--threads", "2.5"}), kCommandLine,
         "Invalid argument for --threads - \"2.5\" is not a whole number", kText},
        {"trait column also a covariate", {}, with(kReml, {"--covar-pos", "2,3"}), kCommandLine,
         "column 3 is given both as the trait (--phe-pos) and as a covariate (--covar-pos)", {}},
        {"trait column beyond the integer range", {}, with(kPred, {"--phe-pos", "99999999999"}), kCommandLine,
         "❎ Error: Out of range argument for --phe-pos - 99999999999 (must be between -2147483647 and 2147483647)",
         kValues},
        {"--out followed by another option", {}, {"--kinship", "--pedigree", "ped.txt", "--out", "--kin-bin"}, kCommandLine,
         "❎ Error: --out needs a value but is followed by the option --kin-bin.", kText},
        {"negative trait column", {}, with(kPred, {"--phe-pos", "-2"}), kCommandLine,
         "Invalid argument for --phe-pos - -2: columns count from 1", kValues},
        {"trait values too small for a variance", {{"phe.txt", "ID\tSex\tTrait\nA\tM\t1e-200\nB\tF\t3e-200\n"}},
         kReml, kRun, "the trait values range from 1e-200 to 3e-200, so their variance is too small to compute", {}},
        {"trait values too large for a variance", {{"phe.txt", "ID\tSex\tTrait\nA\tM\t1e200\nB\tF\t-3e200\n"}},
         kPred, kRun, "the trait values range from -3e+200 to 1e+200, so their variance is too large", kValues},
        {"REML that does not converge before a prediction", {}, with(kPred, {"--max-iter", "1"}), kRun,
         "❎ Not Converged!!! Please set a larger number of iterations using --max-iter!\n❎ Error: without converged "
         "variance components there are no breeding values to predict; r.random.txt was not written.", kValues},
        // Breeding values by iteration and the inverses of A and H.
        {"likelihood-ratio tests of Monte Carlo REML", {}, with(kFromPedigree, {"--reml-method", "mc", "--lrt"}),
         kCommandLine, "--lrt compares log-likelihoods, which Monte Carlo REML (--reml-method mc) does not compute",
         kSparse},
        {"an unknown REML method", {}, with(kFromPedigree, {"--reml-method", "ai"}), kCommandLine,
         "❎ Error: Invalid argument for --reml-method - ai: give exact (the factored equations) or mc (Monte Carlo).",
         kSparse},
        {"too few Monte Carlo vectors", {}, with(kFromPedigree, {"--mc-samples", "5"}), kCommandLine,
         "❎ Error: Invalid argument for --mc-samples - 5: give 10 or more random vectors.", kSparse},
        {"--reml from a pedigree with --vc", {}, with(kFromPedigree, {"--reml", "--vc", "2,3"}), kCommandLine,
         "--vc gives the variances of a prediction (--predict) instead of estimating them; --reml estimates them.",
         kSparse},
        {"--vc with one value for a pedigree", {}, with(kFromPedigree, {"--vc", "2"}), kCommandLine,
         "Invalid argument for --vc - 1 value(s) for --predict --pedigree", kSparse},
        {"--vc with a residual of 0 for a pedigree", {}, with(kFromPedigree, {"--vc", "2,0"}), kCommandLine,
         "Invalid argument for --vc - the residual variance (the last value) is 0", kSparse},
        {"--vc with a negative variance", {}, with(kFromPedigree, {"--vc", "2,-1"}), kCommandLine,
         "Invalid argument for --vc - the variance -1 is negative", kSparse},
        {"prediction from a pedigree that fails its checks", {{"ped.txt", kPedigree + "G1 P1 P2\n"}}, kPedPred, kRun,
         "Program terminated due to duplicate offspring ID.", kSparse},
        {"prediction from a pedigree without a record of its individuals", {{"pp.txt", kPhenotypes}}, kPedPred, kRun,
         "no record of pp.txt has a trait value, complete covariates and an individual in the pedigree ped.txt",
         kSparse},
        {"breeding values that cannot converge within --pcg-max-iter", {}, with(kPedPred, {"--pcg-max-iter", "1"}),
         kRun, "the breeding values did not converge: after 1 iteration(s) (--pcg-max-iter) the relative residual is",
         kSparse},
        {"a tolerance of 0", {}, with(kPedPred, {"--pcg-tol", "0"}), kCommandLine,
         "Invalid argument for --pcg-tol - 0: the relative residual to reach must be greater than 0 and less than 1.",
         kSparse},
        {"an APY core larger than the genotyped", {}, with(kStepPred, {"--apy-core", "6"}), kRun,
         "--apy-core 6 is more than the 5 genotyped individuals of the pedigree", kSparse},
        {"an APY core naming an individual that is not genotyped", {{"core.txt", "G1\nP1\n"}},
         with(kStepPred, {"--apy-core-file", "core.txt"}), kRun,
         "APY core file core.txt, line 2: \"P1\" is not a genotyped individual of the pedigree", kSparse},
        {"an APY core file of two IDs a line", {{"core.txt", "G1 G2\nG3\n"}},
         with(kStepPred, {"--apy-core-file", "core.txt"}), kRun,
         "APY core file core.txt, line 1 holds more than one field (\"G1 G2\"); the core file is one ID per line.",
         kSparse},
        {"an APY core file that is a folder", {{"core.txt", "<folder>"}}, with(kStepPred, {"--apy-core-file", "core.txt"}),
         kRun, "Could not read the APY core file core.txt: it is a folder", kSparse},
        // Model terms the iteration does not fit are refused, never dropped.
        {"SNP effects of several traits", {}, with(kStepPred, {"--phe-pos", "3,2", "--snp-effects"}), kRun,
         "❎ Error: --snp-effects takes one trait in this version; give each trait its own run with --snp-effects.",
         kSparse},
        {"a permanent environment by iteration", {}, with(kPedPred, {"--pe"}), kCommandLine,
         "❎ Error: --pe is not fitted by --predict --pedigree (breeding values by iteration) yet", kSparse},
        {"a random class by iteration", {}, with(kPedPred, {"--rand-pos", "2"}), kCommandLine,
         "❎ Error: --rand-pos is not fitted by --predict --pedigree (breeding values by iteration) yet", kSparse},
        {"a tolerance below the rounding of the equations", {}, with(kPedPred, {"--pcg-tol", "1e-300"}), kRun,
         ", the rounding of these equations; --pcg-tol 1e-300 cannot be reached", kSparse},
        {"--vc far beyond the residual", {}, with(kPred, {"--vc", "1e300,2"}), kCommandLine,
         "Invalid argument for --vc - 1e+300 (value 1) is more than 1e12 times the residual 2 (the last value)",
         kValues},
        {"--vc far below the residual", {}, with(kPred, {"--vc", "1e-300,2"}), kCommandLine,
         "Invalid argument for --vc - 1e-300 (value 1) is below 1e-12 times the residual 2", kValues},
        {"a trait column 0 among several", {}, with(kPred, {"--phe-pos", "3,0"}), kCommandLine,
         "❎ Error: Invalid argument for --phe-pos - 0: columns count from 1 (column 1 is the ID).", kValues},
        {"a random class column 0", {}, with(kPred, {"--rand-pos", "0"}), kCommandLine,
         "❎ Error: Invalid argument for --rand-pos - 0: columns count from 1", kValues},
        // Models the records cannot identify, named before REML instead of a singular information.
        {"one trait given twice", {{"phe.txt", "ID\tSex\tT1\tT2\nA\tM\t10.5\t21\nB\tF\t12\t24\nC\tM\t9\tNA\n"}},
         with(kPred, {"--phe-pos", "3,4"}), kRun,
         "traits T1 (column 3) and T2 (column 4) are one trait given twice: exactly proportional on every one of the 2 "
         "individuals with both. Give it once.", kValues},
        {"a random class of one level", {{"phe.txt", "ID\tSex\tHerd\tTrait\nA\tM\tH1\t10.5\nB\tF\tH1\t12\nC\tM\tH1\t9\n"}},
         with(kPred, {"--phe-pos", "4", "--rand-pos", "3"}), kRun,
         "the random class Herd (column 3) has one level (H1) among the 3 records used", kValues},
        {"a random class that is a fixed class under other names",
         {{"phe.txt", "ID\tSex\tGroup\tTrait\nA\tM\tg1\t10.5\nB\tF\tg2\t12\nC\tM\tg1\t9\n"}},
         with(kPred, {"--phe-pos", "4", "--covar-pos", "2", "--rand-pos", "3"}), kRun,
         "the random class Group (column 3) groups the records exactly as the fixed class of column 2 (--covar-pos) "
         "does", kValues},
        {"several effects that do not converge", {}, with(kPred, {"--pe", "--max-iter", "1"}), kRun,
         "❎ Not Converged!!! Please set a larger number of iterations using --max-iter!", kValues},
        {"an APY core without genotypes", {}, with(kPedPred, {"--apy-core", "2"}), kCommandLine,
         "--apy-core chooses the core of APY, which inverts G: give the genotypes (--bedfile).", kSparse},
        {"the inverse of G alone", {}, with(kGen, {"--kin-inverse"}), kCommandLine,
         "--kin-inverse writes the inverse of A or H, which start from a pedigree", kInverse},
        {"the inverse in the binary format", {}, with(kPed, {"--kin-inverse", "--kin-bin"}), kCommandLine,
         "--kin-inverse writes PREFIX.inverse.txt and PREFIX.inverse.id instead of the matrix", kInverse},
        // Result paths.
        {"output folder that does not exist", {}, with(kGen, {"--out", "no/such/r"}), kCommandLine,
         "Unable to open log file: no/such/r.log", {}},
        {"thread count no machine has", {}, with(kPed, {"--threads", "100000"}), kCommandLine,
         "Invalid argument for --threads - 100000 is more than 1024", kText},
        {"no threads for REML", {}, with(kReml, {"--threads", "0"}), kCommandLine,
         "❎ Error: Number of threads must be greater than 0.", {}},
        {"thread count no machine has (prediction)", {}, with(kPred, {"--threads", "2000"}), kCommandLine,
         "Invalid argument for --threads - 2000 is more than 1024", kValues},
        {"log on a full device (kinship)", {{"r.log", "<full>"}}, kPed, kCommandLine,
         "the log file r.log could not be written (No space left on device)", kText},
        {"log on a full device (REML)", {{"r.log", "<full>"}}, kReml, kCommandLine,
         "the log file r.log could not be written (No space left on device)", {}},
        {"log on a full device (prediction)", {{"r.log", "<full>"}}, kPred, kCommandLine,
         "the log file r.log could not be written (No space left on device)", kValues},
        {"log name that is a folder", {{"r.log", "<folder>"}}, kPed, kCommandLine,
         "Unable to open log file: r.log (Is a directory)", kText},
        {"breeding-value file that is a folder", {{"r.random.txt", "<folder>"}}, kPred, kRun,
         "无法打开文件 r.random.txt", {}},
    };
}

}  // namespace

// The catalogue in shards, so that ctest runs them side by side (the whole takes minutes under
// the sanitizers).
constexpr int kCatalogueShards = 4;
class BadInputCatalogueShard : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(BadInputCatalogue, BadInputCatalogueShard, ::testing::Range(0, kCatalogueShards));

TEST_P(BadInputCatalogueShard, EachStopsWithItsMessageAndLeavesResultsAlone) {
    const std::vector<BadInput> entries = catalogue();
    for (std::size_t entry = static_cast<std::size_t>(GetParam()); entry < entries.size(); entry += kCatalogueShards) {
        const BadInput& bad = entries[entry];
        SCOPED_TRACE(bad.what);
        // Once on a fresh folder (no result may appear), once over the results of an earlier run
        // (they must survive unchanged).
        for (const bool earlier_results : {false, true}) {
            const std::string dir = make_scratch_dir();
            prepare(dir, bad.files);
            for (const std::string& result : earlier_results ? bad.results : std::vector<std::string>{}) {
                write_file(dir + "/" + result, "earlier result\n");
            }
            const CommandResult run = run_zelkora(bad.args, dir);
            EXPECT_EQ(run.status, 1) << run.out << run.err;
            // Once on the terminal, on standard error (also when standard output is redirected).
            EXPECT_NE(run.err.find(bad.message), std::string::npos) << "stdout:\n" << run.out << "stderr:\n" << run.err;
            EXPECT_EQ(run.err.find(bad.message, run.err.find(bad.message) + 1), std::string::npos) << run.err;
            EXPECT_EQ(run.out.find(bad.message.substr(bad.message.rfind('\n') + 1)), std::string::npos) << run.out;
            // A run that fails says so in its log too, which never ends like a success cut short;
            // a command line refused before the log writes none.
            if (bad.stream == kRun) {
                const auto part = std::find(bad.args.begin(), bad.args.end(), "--kin-part");
                const std::string log = part == bad.args.end()
                                            ? "r.log"
                                            : "r.part_" + *(std::find(bad.args.begin(), bad.args.end(), "--kin-parts") + 1) +
                                                  "_" + *(part + 1) + ".log";
                EXPECT_NE(read_file(dir + "/" + log).find(bad.message), std::string::npos) << read_file(dir + "/" + log);
            } else if (bad.files.count("r.log") == 0) {
                EXPECT_FALSE(file_exists(dir + "/r.log"));
            }
            for (const std::string& result : bad.results) {
                EXPECT_EQ(file_exists(dir + "/" + result) ? read_file(dir + "/" + result) : "<none>",
                          earlier_results ? "earlier result\n" : "<none>") << result;
            }
            // No temporary file (TARGET.part<pid>) is left behind; parts of G are .part_N_I.
            for (const auto& left : std::filesystem::directory_iterator(dir)) {
                EXPECT_FALSE(std::regex_search(left.path().string(), std::regex("\\.part[0-9]"))) << left.path();
            }
        }
    }
}

// The ID file of an earlier binary result stays when the matrix cannot be written.
TEST(BadInputCatalogue, FullDiskIsReportedForEveryResultFile) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {});
    for (const auto& [link, args] : {std::pair{"r.kinship.txt", kGen}, std::pair{"r.bin", with(kPed, {"--kin-bin"})},
                                     std::pair{"r.random.txt", kPred}}) {
        SCOPED_TRACE(link);
        ASSERT_EQ(::symlink("/dev/full", (dir + "/" + link).c_str()), 0);
        write_file(dir + "/r.id", "earlier result\n");
        const CommandResult run = run_zelkora(args, dir);
        EXPECT_EQ(read_file(dir + "/r.id"), "earlier result\n");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.out << run.err;
        EXPECT_EQ(run.err.find("saved"), std::string::npos);
        std::filesystem::remove(dir + "/" + link);
    }
}

// One result of a prediction that cannot be written (a full device, a folder in its place)
// leaves every earlier result of the set as it was, on every route: nothing is renamed before
// all can be.
TEST(BadInputCatalogue, APredictionThatCannotWriteOneResultKeepsTheEarlierSetWhole) {
    const std::vector<std::pair<std::string, Args>> routes = {
        {"one kinship", with(kPred, {"--vc", "2,3"})},
        {"several effects", with(kPred, {"--pe", "--vc", "2,1,3"})},
        {"several traits", {"--predict", "--kin-file", "k.txt", "--phefile", "two.txt", "--phe-pos", "3,4", "--vc",
                            "2,0.5,1,3,0.2,2", "--out", "r"}},
        {"by iteration", kPedPred}};
    for (const auto& [route, args] : routes) {
        for (const char* failing : {"<full>", "<folder>"}) {
            for (const std::string& broken : {std::string("r.vc.txt"), std::string("r.random.txt")}) {
                SCOPED_TRACE(route + ", " + failing + " as " + broken);
                const std::string dir = make_scratch_dir();
                prepare(dir, {{"two.txt", kTwoTraits}, {broken, failing}});
                const std::vector<std::string> earlier = {"r.random.txt", "r.vc.txt", "r.reliability.txt"};
                for (const std::string& name : earlier) {
                    if (name != broken) write_file(dir + "/" + name, "earlier result\n");
                }
                const CommandResult run = run_zelkora(args, dir);
                EXPECT_EQ(run.status, 1) << run.out << run.err;
                EXPECT_NE(run.err.find(std::string(failing) == "<full>" ? "No space left on device" : "无法打开文件 " + broken + " (Is a directory)"),
                          std::string::npos) << run.err;
                for (const std::string& name : earlier) {
                    if (name != broken) {
                        EXPECT_EQ(read_file(dir + "/" + name), "earlier result\n") << name;
                    }
                }
                for (const auto& entry : std::filesystem::directory_iterator(dir)) {
                    EXPECT_FALSE(std::regex_search(entry.path().string(), std::regex("\\.part[0-9]"))) << entry.path();
                }
            }
        }
    }
}

// Every file a run writes is checked against every input before anything is read: a report, a
// kinship list's line that names a file this run makes, and a result name too long for the file
// system (refused with --out before the log opens, so no lone result appears).
TEST(BadInputCatalogue, EveryOutputOfARunSparesEveryInput) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {{"pp.inbreeding.txt", kPedigree}});
    const CommandResult report = run_zelkora({"--kinship", "--pedigree", "pp.inbreeding.txt", "--out", "pp"}, dir);
    EXPECT_EQ(report.status, 1);
    EXPECT_NE(report.err.find("the output file pp.inbreeding.txt (--out pp) is the input file pp.inbreeding.txt of "
                              "--pedigree"), std::string::npos) << report.err;
    EXPECT_EQ(read_file(dir + "/pp.inbreeding.txt"), kPedigree);

    std::filesystem::create_directory(dir + "/comb");
    write_file(dir + "/comb/Q.random.txt", kKinship);
    write_file(dir + "/list.txt", "comb/Q.kinship.txt\ncomb/Q.random.txt\n");
    const CommandResult listed = run_zelkora({"--kinship", "--pedigree", "ped.txt", "--out", "comb/Q", "--predict",
                                              "--mkin-file", "list.txt", "--phefile", "pp.txt", "--phe-pos", "3"}, dir);
    EXPECT_EQ(listed.status, 1);
    EXPECT_NE(listed.err.find("the output file comb/Q.random.txt (--out comb/Q) is the input file comb/Q.random.txt of "
                              "--mkin-file"), std::string::npos) << listed.err;
    EXPECT_EQ(read_file(dir + "/comb/Q.random.txt"), kKinship);
    EXPECT_FALSE(file_exists(dir + "/comb/Q.kinship.txt"));

    const std::string prefix(241, 'p');  // .random.txt fits the 255 of a name, .reliability.txt does not
    const CommandResult long_name = run_zelkora(with(kPred, {"--out", prefix}), dir);
    EXPECT_EQ(long_name.status, 1);
    EXPECT_NE(long_name.err.find("is longer than the 255 characters a file name may have here. Choose a shorter --out."),
              std::string::npos) << long_name.err;
    EXPECT_FALSE(file_exists(dir + "/" + prefix + ".random.txt"));
    EXPECT_FALSE(file_exists(dir + "/" + prefix + ".log"));
}

// Runs that succeed on data at an edge say what they could not do instead of printing a number
// that is none: G against A22 of one genotyped animal has no pairs, and a herd without a record
// of a trait has no effect on it.
TEST(BadInputCatalogue, EdgesOfTheDataAreSaidNotPrintedAsNumbers) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {{"ped.txt", "ID Sire Dam\nP1 0 0\nP2 0 0\nG1 P1 P2\n"},
                  {"two.txt", "ID\tHerd\tT1\tT2\nA\tH1\t10.5\t3.1\nB\tH2\t12.0\tNA\nC\tH1\t9.0\t2.2\n"}});
    const CommandResult one = run_zelkora(kBlend, dir);
    ASSERT_EQ(one.status, 0) << one.out << one.err;
    const std::string picture = read_file(dir + "/r.gvsa22.svg");
    EXPECT_NE(picture.find("no pairs to plot"), std::string::npos);
    EXPECT_EQ(picture.find("nan"), std::string::npos);

    const CommandResult traits = run_zelkora({"--predict", "--kin-file", "k.txt", "--phefile", "two.txt", "--phe-pos",
                                              "3,4", "--covar-pos", "2", "--vc", "2,0.5,1,3,0.2,2", "--out", "t"},
                                             dir);
    ASSERT_EQ(traits.status, 0) << traits.out << traits.err;
    EXPECT_NE(traits.out.find("\nT2\tCovar2_H2\tNA\tNA\n"), std::string::npos) << traits.out;
    EXPECT_NE(traits.out.find("👉 T2: Covar2_H2 has no record of this trait; its effect is not estimable (NA)."),
              std::string::npos);
    EXPECT_EQ(traits.out.find("\nT1\tCovar2_H2\tNA"), std::string::npos);
}

// A prefix whose result names just fit the file-name limit (255) works: the temporary names
// beside them are kept short enough too.
TEST(BadInputCatalogue, LongestValidPrefixWritesEveryResult) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {});
    const std::string prefix(236, 'p');  // + ".kinship.txt" = 248 characters
    for (const Args& args : {with(kPed, {"--out", prefix}), with(kPed, {"--out", prefix, "--kin-bin"})}) {
        const CommandResult run = run_zelkora(args, dir);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
    }
    EXPECT_EQ(lines_of(read_file(dir + "/" + prefix + ".kinship.txt")).size(), 8u);
    EXPECT_EQ(lines_of(read_file(dir + "/" + prefix + ".id")).size(), 7u);
    EXPECT_EQ(std::filesystem::file_size(dir + "/" + prefix + ".bin"), 4u * 7 * 8 / 2);
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
    }
}

// A matrix too large for the memory stops with what it needs, not with std::bad_alloc.
TEST(BadInputCatalogue, MatrixTooLargeForTheMemoryIsReportedWithItsSize) {
#if defined(ZELKORA_SANITIZED)
    // The sanitizer's shadow memory cannot start under a 2 GB address-space limit.
    GTEST_SKIP() << "not under AddressSanitizer";
#endif
    const std::string dir = make_scratch_dir();
    std::string pedigree = "ID Sire Dam\n", fam;
    for (int i = 0; i < 30000; ++i) {
        pedigree += "X" + std::to_string(i) + " 0 0\n";
    }
    for (int i = 0; i < 60000; ++i) {
        fam += "F I" + std::to_string(i) + " 0 0 1 -9\n";
    }
    prepare(dir, {{"ped.txt", pedigree}, {"d.fam", fam}, {"d.bim", "1 m1 0 1 A G\n"},
                  {"d.bed", kBedHeader + std::string(15000, '\x1B')}});
    for (const auto& [args, message] :
         {std::pair{kPed, "not enough memory for A: 30000 individuals need 7.2 GB for the 30000 x 30000 matrix"},
          std::pair{kGen, "not enough memory for G: 60000 individuals need 28.8 GB"}}) {
        std::string command = "cd " + shell_quote(dir) + " && ulimit -v 2000000 && " + shell_quote(ZELKORA_EXE);
        for (const std::string& arg : args) {
            command += " " + shell_quote(arg);
        }
        const int raw = std::system((command + " >out.txt 2>&1").c_str());
        EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1);
        EXPECT_NE(read_file(dir + "/out.txt").find(message), std::string::npos) << read_file(dir + "/out.txt");
        EXPECT_FALSE(file_exists(dir + "/r.kinship.txt"));
    }
}

// Spreadsheet exports begin with a UTF-8 byte-order mark: the files read as without it, also a
// phenotype file without a header (whose first record would otherwise be lost).
TEST(BadInputCatalogue, ByteOrderMarksAreSkipped) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string headless = kPhenotypes.substr(kPhenotypes.find('\n') + 1);
    for (const Args& args : {kGen, kReml}) {
        std::string results[2];
        for (int marked = 0; marked < 2; ++marked) {
            const std::string dir = make_scratch_dir();
            const std::string mark = marked ? bom : "";
            prepare(dir, {{"d.fam", mark + " " + kFam}, {"d.bim", mark + kBim}, {"k.txt", mark + kKinship},
                          {"phe.txt", mark + headless}});
            const CommandResult run = run_zelkora(args, dir);
            ASSERT_EQ(run.status, 0) << run.out << run.err;
            results[marked] = std::regex_replace(run.out, std::regex("[^\n]*(Start analysis|Building G|Run times)"
                                                                     "[^\n]*\n"), "") +
                              read_file(dir + "/r.kinship.txt");
        }
        EXPECT_EQ(results[0], results[1]) << args[1];
        if (args[0] == "--reml") {
            EXPECT_NE(results[0].find("\t3 effective records"), std::string::npos) << results[0];
        }
    }
}

// A .fam and .bim with the header line PLINK 2 writes (# first) give the G of the files without it.
TEST(BadInputCatalogue, HeaderLinesOfTheFamAndBimAreSkipped) {
    std::string results[2];
    for (int header = 0; header < 2; ++header) {
        const std::string dir = make_scratch_dir();
        prepare(dir, header ? std::map<std::string, std::string>{{"d.fam", "#FID IID PAT MAT SEX PHENOTYPE\n" + kFam},
                                                                  {"d.bim", "#CHROM ID CM POS ALT REF\n" + kBim}}
                            : std::map<std::string, std::string>{});
        const CommandResult run = run_zelkora(kGen, dir);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        results[header] = read_file(dir + "/r.kinship.txt");
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(lines_of(results[1]).size(), 6u);
}

// Files written on Windows (CR LF line ends) are read exactly like their Unix twins; so are a
// .fam and .bim with old Mac line ends (CR alone), which must not read as one individual.
TEST(BadInputCatalogue, WindowsLineEndsGiveTheSameResults) {
    const std::regex timed("[^\n]*(Start analysis|Building G matrix|Time = |Run times)[^\n]*\n");
    for (const Args& args : {with(kBlend, {"--kin-bin"}), kPed, kReml}) {
        std::string results[3];
        for (int windows = 0; windows < 3; ++windows) {
            const std::string dir = make_scratch_dir();
            prepare(dir, {});
            for (const std::string name : {"d.fam", "d.bim", "ped.txt", "k.txt", "phe.txt"}) {
                const std::string text = read_file(dir + "/" + name);
                const bool mac = windows == 2 && (name == "d.fam" || name == "d.bim");
                write_file(dir + "/" + name, windows == 1 ? std::regex_replace(text, std::regex("\n"), "\r\n")
                                             : mac        ? std::regex_replace(text, std::regex("\n"), "\r")
                                                          : text);
            }
            const CommandResult run = run_zelkora(args, dir);
            ASSERT_EQ(run.status, 0) << run.out << run.err;
            // The console without the lines that carry times, and every result file.
            results[windows] = std::regex_replace(run.out, timed, "");
            for (const char* name : {"r.kinship.txt", "r.bin", "r.id"}) {
                results[windows] += name + std::string(":") + read_file(dir + "/" + name);
            }
        }
        EXPECT_EQ(results[0], results[1]) << args[1];
        EXPECT_EQ(results[0], results[2]) << args[1];
        EXPECT_EQ(results[1].find('\r'), std::string::npos);
    }
}

// A kinship value below the smallest 64-bit number (1e-400) is a number, read as 0.
TEST(BadInputCatalogue, UnderflowingKinshipValueReadsAsZero) {
    const std::regex timed("[^\n]*(Start analysis|Time = |Run times)[^\n]*\n");
    std::string outputs[2];
    for (int tiny = 0; tiny < 2; ++tiny) {
        const std::string dir = make_scratch_dir();
        prepare(dir, {{"k.txt", tiny ? std::regex_replace(kKinship, std::regex("0\\.0000"), "1e-400") : kKinship}});
        const CommandResult run = run_zelkora(kReml, dir);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        outputs[tiny] = std::regex_replace(run.out, timed, "");
    }
    EXPECT_EQ(outputs[0], outputs[1]);
}

// An iteration limit beyond what a run makes is capped (with a note), and a kinship close to
// the identity, whose likelihood is a nearly flat ridge, still reaches its estimate.
TEST(BadInputCatalogue, EndlessIterationLimitIsCapped) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {{"k.txt", "\tA\tB\tC\tD\nA\t1\t1e-4\t0\t0\t\nB\t1e-4\t1\t1e-4\t0\t\nC\t0\t1e-4\t1\t1e-4\t\n"
                            "D\t0\t0\t1e-4\t1\t\n"},
                  {"phe.txt", "ID\tSex\tTrait\nA\tM\t10.5\nB\tF\t12.0\nC\tM\t9.0\nD\tF\t11\n"}});
    const CommandResult run = run_zelkora(with(kPred, {"--max-iter", "2147483647"}), dir);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("--max-iter 2147483647 is more than a run makes: REML stops after 1000 iterations."),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find("✅ Converged!!!"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("lies on the boundary of the parameter space"), std::string::npos) << run.out;
    EXPECT_LT(std::count(run.out.begin(), run.out.end(), '\n'), 120);
    EXPECT_TRUE(file_exists(dir + "/r.random.txt"));
}

// A numeric covariate that is the same in every record is aliased with the intercept: a note,
// and its effect printed as 0.
TEST(BadInputCatalogue, ConstantNumericCovariateIsAliased) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {{"phe.txt", "ID\tAge\tTrait\nA\t3\t10.5\nB\t3\t12.0\nC\t3\t9.0\n"}});
    const CommandResult run = run_zelkora(with(kPred, {"--qcovar-pos", "2"}), dir);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("👉 The numeric covariate Age (column 2) has the same value in every record: it is "
                           "aliased with the intercept, and its effect is shown as 0."),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nAge\t0\n"), std::string::npos) << run.out;
}

// A class level whose records are those of a level of another covariate is aliased: named in a
// note, its effect 0; the reference levels are no news and get no note.
TEST(BadInputCatalogue, DuplicateCovariateLevelsAreNamedAsAliased) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {{"k.txt", "\tA\tB\tC\tD\nA\t1\t1e-4\t0\t0\t\nB\t1e-4\t1\t1e-4\t0\t\nC\t0\t1e-4\t1\t1e-4\t\n"
                            "D\t0\t0\t1e-4\t1\t\n"},
                  {"phe.txt", "ID\tSex\tHerd\tTrait\nA\tM\tH1\t10.5\nB\tF\tH2\t12.0\nC\tM\tH1\t9.0\nD\tF\tH2\t11\n"}});
    const Args predict = {"--predict", "--kin-file", "k.txt", "--phefile", "phe.txt", "--phe-pos", "4", "--out", "r"};
    const CommandResult run = run_zelkora(with(predict, {"--covar-pos", "2,3"}), dir);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\nCovar2_F\t0\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("👉 Covar2_F is aliased: its records are a combination of those of other fixed effects"),
              std::string::npos) << run.out;
    std::size_t notes = 0;  // only F: the reference levels M and H1 are no news
    for (std::size_t at = run.out.find("is aliased"); at != std::string::npos; at = run.out.find("is aliased", at + 1)) {
        ++notes;
    }
    EXPECT_EQ(notes, 1u);
    const CommandResult single = run_zelkora(with(predict, {"--covar-pos", "3"}), dir);
    EXPECT_EQ(single.status, 0) << single.out << single.err;
    EXPECT_EQ(single.out.find("aliased"), std::string::npos) << single.out;
}

// Options that only a mode not asked for reads are named as ignored, even with a bad value.
TEST(BadInputCatalogue, OptionsOfAModeNotAskedForAreNamedAsIgnored) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {});
    const CommandResult kinship = run_zelkora(with(kPed, {"--max-iter", "-5", "--phe-pos", "3", "--max-iter", "2"}), dir);
    EXPECT_EQ(kinship.status, 0) << kinship.err;
    EXPECT_EQ(kinship.err, "⚠️ Warning: --max-iter, --phe-pos are options of --reml and --predict, which were not "
                           "asked for: they are ignored.\n");
    EXPECT_TRUE(file_exists(dir + "/r.kinship.txt"));
    // --threads belongs to every run.
    const CommandResult reml = run_zelkora(with(kReml, {"--threads", "4"}), dir);
    EXPECT_EQ(reml.status, 0) << reml.err;
    EXPECT_EQ(reml.err, "👏 Variance components were saved in r.vc.txt\n");
    const CommandResult none = run_zelkora({"--threads", "0", "--kin-tau", "-1", "--out", "r"}, dir);
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.err, "⚠️ Warning: --kin-tau is an option of --kinship, which was not asked for: it is ignored.\n"
                        "⚠️ Warning: --threads is an option of --kinship, --reml and --predict, none of which was "
                        "asked for: it is ignored.\n");
    // The checks before G belong to the runs that build G, parentage and tuning to the dense H.
    const CommandResult filters = run_zelkora(with(kReml, {"--maf", "0.05", "--kin-tune"}), dir);
    EXPECT_EQ(filters.status, 0) << filters.err;
    EXPECT_NE(filters.err.find("⚠️ Warning: --maf is an option of the genotype filters, which need G"), std::string::npos)
        << filters.err;
    EXPECT_NE(filters.err.find("⚠️ Warning: --kin-tune is an option of H as a matrix"), std::string::npos) << filters.err;
    // Parentage and the founders act on the inverse of H too; the tuning of G does not.
    const CommandResult inverse =
        run_zelkora(with(kBlend, {"--kin-inverse", "--kin-tune", "--geno-founders", "--maf", "0.01"}), dir);
    EXPECT_EQ(inverse.status, 0) << inverse.err;
    EXPECT_NE(inverse.err.find("⚠️ Warning: --kin-tune is an option of H as a matrix (--kinship without "
                               "--kin-inverse), which was not asked for: it is ignored."),
              std::string::npos)
        << inverse.err;
    EXPECT_EQ(inverse.err.find("--geno-founders"), std::string::npos) << inverse.err;
    EXPECT_EQ(inverse.err.find("--maf"), std::string::npos) << inverse.err;
    EXPECT_EQ(run_zelkora(with(kBlend, {"--reml", "--kin-file", "r.kinship.txt", "--phefile", "phe.txt", "--phe-pos",
                                        "3", "--threads", "2"}), dir).err.find("Warning"),
              std::string::npos);
}

// The files of a binary result (the pair, or the trio of --kin-gcta) are replaced together or
// not at all.
TEST(BadInputCatalogue, BinaryFilesAreKeptWholeWhenOneOfThemFails) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {});
    write_file(dir + "/r.bin", "earlier result\n");
    ASSERT_EQ(::symlink("/dev/full", (dir + "/r.id").c_str()), 0);
    const CommandResult run = run_zelkora(with(kPed, {"--kin-bin"}), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Error writing r.id: No space left on device"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(dir + "/r.bin"), "earlier result\n");
    // The same for the three files of --kin-gcta.
    write_file(dir + "/r.grm.bin", "earlier result\n");
    write_file(dir + "/r.grm.id", "earlier result\n");
    ASSERT_EQ(::symlink("/dev/full", (dir + "/r.grm.N.bin").c_str()), 0);
    EXPECT_EQ(run_zelkora(with(kGen, {"--kin-gcta"}), dir).status, 1);
    EXPECT_EQ(read_file(dir + "/r.grm.bin") + read_file(dir + "/r.grm.id"), "earlier result\nearlier result\n");
}

// Runs on one prefix at the same time leave a matrix file that fits its ID file.
TEST(BadInputCatalogue, ConcurrentBinaryRunsOnOnePrefixLeaveAMatchingPair) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {});
    std::string large = "ID Sire Dam\n";
    for (int i = 0; i < 400; ++i) {
        large += "L" + std::to_string(i) + (i < 20 ? " 0 0\n" : " L" + std::to_string(i % 10) + " L" +
                                                                std::to_string(10 + i % 10) + "\n");
    }
    write_file(dir + "/large.txt", large);
    const std::string exe = shell_quote(ZELKORA_EXE);
    const std::string small_run = exe + " --kinship --kin-bin --pedigree ped.txt --out r >/dev/null 2>&1";
    const std::string large_run = exe + " --kinship --kin-bin --pedigree large.txt --out r >/dev/null 2>&1";
    for (int round = 0; round < 6; ++round) {
        const std::string both = "cd " + shell_quote(dir) + " && { " + small_run + " & " + large_run + " & " +
                                 small_run + " & wait; }";
        ASSERT_EQ(std::system(both.c_str()), 0);
        const std::size_t n = lines_of(read_file(dir + "/r.id")).size();
        ASSERT_TRUE(n == 7 || n == 400) << n;
        EXPECT_EQ(std::filesystem::file_size(dir + "/r.bin"), 4 * n * (n + 1) / 2) << "round " << round;
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
    }
}

// A console that goes away (`Zelkora ... | head -1`) does not stop the run: the result and the
// log are complete.
TEST(BadInputCatalogue, ClosedConsoleStillGivesTheResultAndTheLog) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {});
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ::close(pipe_ends[0]);  // nobody reads: every write to standard output fails
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(pipe_ends[1], STDOUT_FILENO);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, STDERR_FILENO);
        if (::chdir(dir.c_str()) != 0) {
            ::_exit(99);
        }
        ::execl(ZELKORA_EXE, ZELKORA_EXE, "--kinship", "--pedigree", "ped.txt", "--out", "r", nullptr);
        ::_exit(98);
    }
    ::close(pipe_ends[1]);
    int raw = 0;
    ASSERT_EQ(::waitpid(child, &raw, 0), child);
    ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << WTERMSIG(raw);
    EXPECT_EQ(WEXITSTATUS(raw), 0);
    EXPECT_EQ(lines_of(read_file(dir + "/r.kinship.txt")).size(), 8u);
    EXPECT_NE(read_file(dir + "/r.log").find("All finished!"), std::string::npos);
}

// An individual without a single call is kept (its row is the population mean), with a warning.
TEST(BadInputCatalogue, IndividualWithoutCallsIsNamedInAWarning) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {{"d.bed", kBedHeader + std::string("\xE4\x01\x1B\x01\x39\x01", 6)}});
    const CommandResult run = run_zelkora(kGen, dir);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("1 individual(s) of d.fam have no genotype call at any marker (first: G5)"),
              std::string::npos) << run.out;
    const std::string valid_dir = make_scratch_dir();
    prepare(valid_dir, {});
    EXPECT_EQ(run_zelkora(kGen, valid_dir).out.find("no genotype call"), std::string::npos);
}

// Every file of `dir` with its content (links by their target's content), the links marked.
std::map<std::string, std::string> folder_contents(const std::string& dir) {
    std::map<std::string, std::string> contents;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        contents[name] = entry.is_directory() ? "<folder>"
                                              : (entry.is_symlink() ? "link:" : "") + read_file(entry.path().string());
    }
    return contents;
}

// An output prefix whose log or result is an input of the run (by name, by a link or a second
// name of the same file) is refused before any file is opened for writing: the inputs, and
// everything else in the folder, stay as they were.
TEST(BadInputCatalogue, OutputThatIsAnInputIsRefusedBeforeAnythingIsWritten) {
    struct Clash {
        Args args;
        std::string link;     // a symbolic link made first: "name=target"
        std::string hard;     // a hard link made first: "name=target"
        std::string message;  // a part of it
    };
    const std::vector<Clash> clashes = {
        {{"--kinship", "--pedigree", "r.log", "--out", "r"}, "", "",
         "❎ Error: the output file r.log (--out r) is the input file r.log of --pedigree: writing it would destroy "
         "the input. Choose another --out."},
        {{"--kinship", "--pedigree", "./sub/../r.log", "--out", "r"}, "", "", "is the input file ./sub/../r.log"},
        {{"--kinship", "--pedigree", "ped.txt", "--out", "r"}, "r.log=ped.txt", "",
         "the output file r.log (--out r) is the input file ped.txt of --pedigree"},
        {{"--kinship", "--bedfile", "d", "--kin-bin", "--out", "r"}, "", "r.id=d.fam",
         "the output file r.id (--out r) is the input file d.fam of --bedfile"},
        {with(kPred, {"--phefile", "r.random.txt"}), "", "", "is the input file r.random.txt of --phefile"},
        {with(kPred, {"--kin-file", "r.reliability.txt"}), "", "",
         "the output file r.reliability.txt (--out r) is the input file r.reliability.txt of --kin-file"},
        {with(kReml, {"--kin-file", "r.log"}), "", "", "is the input file r.log of --kin-file"},
        {with(kGen, {"--reml", "--kin-file", "r.kinship.txt", "--phefile", "r.kinship.txt", "--phe-pos", "3"}), "", "",
         "the output file r.kinship.txt (--out r) is the input file r.kinship.txt of --phefile"},
        {with(kGen, {"--kin-bin", "--kin-parts", "2", "--kin-part", "1"}), "r.part_2_1.log=d.bim", "",
         "the output file r.part_2_1.log (--out r) is the input file d.bim of --bedfile"},
    };
    for (const Clash& clash : clashes) {
        SCOPED_TRACE(clash.message);
        const std::string dir = make_scratch_dir();
        prepare(dir, {{"r.log", kPedigree}, {"r.random.txt", kPhenotypes}, {"r.reliability.txt", kKinship},
                      {"r.part_2_1.log", kPedigree}});
        std::filesystem::create_directory(dir + "/sub");
        for (const auto& [text, hard] : {std::pair{clash.link, false}, std::pair{clash.hard, true}}) {
            if (!text.empty()) {
                const std::string name = dir + "/" + text.substr(0, text.find('='));
                std::filesystem::remove(name);
                if (hard) {
                    std::filesystem::create_hard_link(dir + "/" + text.substr(text.find('=') + 1), name);
                } else {
                    std::filesystem::create_symlink(text.substr(text.find('=') + 1), name);
                }
            }
        }
        const auto before = folder_contents(dir);
        const CommandResult run = run_zelkora(clash.args, dir);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(clash.message), std::string::npos) << run.err;
        EXPECT_EQ(folder_contents(dir), before);
    }
    // A combined run reads the kinship file it has just written.
    const std::string dir = make_scratch_dir();
    prepare(dir, {{"phe.txt", "ID\tSex\tTrait\nG1\tM\t10.5\nG2\tF\t12.0\nG3\tM\t9.0\nG4\tF\t11\nG5\tM\t10\n"}});
    const CommandResult combined =
        run_zelkora(with(kGen, {"--reml", "--kin-file", "r.kinship.txt", "--phefile", "phe.txt", "--phe-pos", "3"}), dir);
    EXPECT_EQ(combined.err.find("is the input file"), std::string::npos) << combined.err;
    EXPECT_NE(combined.out.find("5 individuals were detected in the kinship file."), std::string::npos) << combined.out;
}

// One reader for the numbers of every file: a subnormal value is read as it is and a value below
// every double as 0, in the trait, a numeric covariate and the kinship, so that each gives the
// run of a plain 0 there (the other values dwarf them).
TEST(BadInputCatalogue, TinyValuesReadAsTheyAreInEveryFile) {
    // Two families of three full sibs; "Z" marks the zeros.
    const std::string kinship = "\tA\tB\tC\tD\tE\tF\n"
                                "A\t1\t0.5\t0.5\tZ\tZ\tZ\nB\t0.5\t1\t0.5\tZ\tZ\tZ\nC\t0.5\t0.5\t1\tZ\tZ\tZ\n"
                                "D\tZ\tZ\tZ\t1\t0.5\t0.5\nE\tZ\tZ\tZ\t0.5\t1\t0.5\nF\tZ\tZ\tZ\t0.5\t0.5\t1\n";
    const std::string phenotypes =
        "ID\tAge\tTrait\nA\t3\t10.5\nB\tZ\t12.0\nC\t4\t11.2\nD\t2\t7.9\nE\t5\t8.4\nF\t1\tZ\n";
    const Args args = with(kPred, {"--qcovar-pos", "2"});
    const std::regex timed("[^\n]*(Start analysis|Command line|Time = |Run times)[^\n]*\n");
    std::string plain;
    for (const std::string tiny : {"0", "1e-320", "-4e-324", "1e-400", "-1e-999"}) {
        SCOPED_TRACE(tiny);
        const std::string dir = make_scratch_dir();
        prepare(dir, {{"phe.txt", std::regex_replace(phenotypes, std::regex("Z"), tiny)},
                      {"k.txt", std::regex_replace(kinship, std::regex("Z"), tiny)}});
        const CommandResult run = run_zelkora(args, dir);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        const std::string result = std::regex_replace(run.out, timed, "") + run.err +
                                   read_file(dir + "/r.random.txt") + read_file(dir + "/r.reliability.txt");
        if (plain.empty()) {
            plain = result;
        }
        EXPECT_EQ(result, plain);
    }
}

// --kin-method is checked as soon as the log is open, before the pedigree or the genotypes are
// read.
TEST(BadInputCatalogue, UnknownMethodIsRefusedBeforeAnyFileIsRead) {
    const std::string dir = make_scratch_dir();
    prepare(dir, {});
    const CommandResult run = run_zelkora(with(kBlend, {"--kin-method", "4"}), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Invalid kinship method!\n");
    EXPECT_EQ(run.out.find("Reading:"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Pedigree includes"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("using method"), std::string::npos) << run.out;
    EXPECT_NE(read_file(dir + "/r.log").find("Command line:"), std::string::npos);
    EXPECT_EQ(read_file(dir + "/r.log").substr(read_file(dir + "/r.log").find("\n\n")), "\n\nInvalid kinship method!\n");
}

// A pedigree whose first line is an animal (no header) loses it: a warning says so, on the
// console and in the log, and the run goes on as before; a real header gets no warning.
TEST(BadInputCatalogue, PedigreeWithoutHeaderIsWarnedAbout) {
    const std::string rows = kPedigree.substr(kPedigree.find('\n') + 1);  // P1 0 0, P2 0 0, G1 P1 P2, ...
    const std::string advice = "). If the file has no header line, add one (ID Sire Dam): the first line is never read "
                               "as an animal.\n";
    const std::vector<std::pair<std::string, std::string>> files = {
        {rows, "the first line, \"P1 0 0\", is skipped as the header, but it looks like an animal's line (its sire or "
               "dam is 0 or NA"},
        {"G1 P1 P2\r\n" + rows, "the first line, \"G1 P1 P2\", is skipped as the header, but it looks like an "
                                "animal's line (G1 is a parent on line 7"},
        {kPedigree, ""}};
    for (const auto& [pedigree, reason] : files) {
        SCOPED_TRACE(pedigree.substr(0, pedigree.find('\n')));
        const std::string dir = make_scratch_dir();
        prepare(dir, {{"ped.txt", pedigree}});
        const CommandResult run = run_zelkora(kPed, dir);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(file_exists(dir + "/r.kinship.txt"));
        if (reason.empty()) {
            EXPECT_EQ(run.out.find("Warning"), std::string::npos) << run.out;
            continue;
        }
        const std::string warning = "⚠️ Warning: pedigree file ped.txt: " + reason + advice;
        EXPECT_NE(run.out.find(warning), std::string::npos) << run.out;
        EXPECT_NE(read_file(dir + "/r.log").find(warning), std::string::npos);
    }
}
