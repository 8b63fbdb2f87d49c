#include <iostream>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "pedigree/pedigree.h"

namespace {

const std::string& read_missing(const std::string& field) {
    return field == "NA" ? kUnknownParent : field;
}

}  // namespace

std::vector<PedigreeRow> pedcheck(const std::vector<PedigreeRow>& rows, const ConsoleLines& console) {
    if (rows.empty() || rows.front().size() < 3) {
        throw std::runtime_error("Pedigree needs at least three columns and cannot be empty!");
    }
    for (std::size_t r = 1; r < rows.size(); ++r) {
        if (rows[r].size() < 3) {
            throw ShortPedigreeRow(r, rows[r].size());
        }
    }

    std::unordered_set<std::string> offspring;
    std::unordered_set<std::string> sires;
    std::unordered_set<std::string> dams;
    for (const PedigreeRow& row : rows) {
        const std::string& id = read_missing(row[0]);
        if (id != kUnknownParent && !offspring.insert(id).second) {
            throw std::runtime_error("Duplicate offspring ID found: " + id +
                                     "\nProgram terminated due to duplicate offspring ID.");
        }
        const std::string& sire = read_missing(row[1]);
        const std::string& dam = read_missing(row[2]);
        if (sire != kUnknownParent) {
            sires.insert(sire);
        }
        if (dam != kUnknownParent) {
            dams.insert(dam);
        }
    }

    // The founder rows come out in the iteration order of these sets; that order reaches the
    // ID order of A but no value.
    std::unordered_set<std::string> missing_sires;
    std::unordered_set<std::string> missing_dams;
    for (const PedigreeRow& row : rows) {
        const std::string& sire = read_missing(row[1]);
        const std::string& dam = read_missing(row[2]);
        if (sire != kUnknownParent && offspring.count(sire) == 0) {
            missing_sires.insert(sire);
        }
        if (dam != kUnknownParent && offspring.count(dam) == 0) {
            missing_dams.insert(dam);
        }
    }

    std::vector<PedigreeRow> checked;
    checked.reserve(missing_sires.size() + missing_dams.size() + rows.size());
    for (const std::string& sire : missing_sires) {
        checked.push_back({sire, kUnknownParent, kUnknownParent});
    }
    for (const std::string& dam : missing_dams) {
        checked.push_back({dam, kUnknownParent, kUnknownParent});
    }
    for (const PedigreeRow& row : rows) {
        PedigreeRow& converted = checked.emplace_back();
        converted.reserve(row.size());
        for (const std::string& field : row) {
            converted.push_back(read_missing(field));
        }
    }

    std::vector<std::string> crossover;
    for (const std::string& sire : sires) {
        if (dams.count(sire) != 0) {
            crossover.push_back(sire);
        }
    }
    if (!crossover.empty()) {
        std::string message = "Crossover found between parental individuals: ";
        for (const std::string& id : crossover) {
            message += id + " ";
        }
        throw std::runtime_error(message + "\nProgram terminated due to parents crossover.");
    }

    say(console, "Check parents crossover: Pass!\nPedigree includes " + std::to_string(checked.size()) +
                     " individuals.\nSire number: " + std::to_string(sires.size()) + "\nDam number: " +
                     std::to_string(dams.size()) + "\n");
    return checked;
}
