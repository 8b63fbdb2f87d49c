#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pedigree/pedigree.h"

namespace {

constexpr std::int32_t kNoParent = -1;

enum class VisitState : unsigned char { unvisited, on_path, placed };

// One individual on the explicit depth-first stack; `next_parent` is 0 before the sire's line
// has been entered, 1 before the dam's line, 2 once both are placed.
struct StackEntry {
    std::int32_t node;
    int next_parent;
};

}  // namespace

Pedigree prepare_pedigree(const std::vector<PedigreeTriple>& triples) {
    // Nodes are numbered by first appearance of their ID in field 1; parents are resolved to
    // node numbers once every ID is known.
    std::unordered_map<std::string, std::int32_t> node_of;
    std::vector<const std::string*> node_id;
    std::vector<const PedigreeTriple*> node_triple;  // the last triple of each ID wins
    node_of.reserve(triples.size());
    for (const PedigreeTriple& triple : triples) {
        if (triple[0] == kUnknownParent) {
            continue;
        }
        const auto [entry, inserted] = node_of.emplace(triple[0], static_cast<std::int32_t>(node_id.size()));
        if (inserted) {
            if (node_id.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
                throw std::runtime_error("The pedigree has too many individuals.");
            }
            node_id.push_back(&entry->first);
            node_triple.push_back(&triple);
        } else {
            node_triple[entry->second] = &triple;
        }
    }
    const std::size_t n_nodes = node_id.size();

    auto resolve = [&](const std::string& parent, const std::string& child) -> std::int32_t {
        if (parent == kUnknownParent) {
            return kNoParent;
        }
        const auto found = node_of.find(parent);
        if (found == node_of.end()) {
            throw std::runtime_error("Parent " + parent + " of individual " + child +
                                     " has no row of its own in the pedigree.");
        }
        return found->second;
    };
    std::vector<std::int32_t> node_sire(n_nodes);
    std::vector<std::int32_t> node_dam(n_nodes);
    for (std::size_t v = 0; v < n_nodes; ++v) {
        const PedigreeTriple& triple = *node_triple[v];
        node_sire[v] = resolve(triple[1], triple[0]);
        node_dam[v] = resolve(triple[2], triple[0]);
    }

    // Post-order depth-first visit with an explicit stack, so that a chain of any depth is
    // placed without recursion. The order is the recursive one: sire's line, dam's line, self.
    std::vector<VisitState> state(n_nodes, VisitState::unvisited);
    std::vector<std::int32_t> order;  // node numbers, ancestors first
    order.reserve(n_nodes);
    std::vector<StackEntry> stack;
    auto enter = [&](std::int32_t node) {
        if (state[node] == VisitState::placed) {
            return;
        }
        if (state[node] == VisitState::on_path) {
            throw std::runtime_error("Individual " + *node_id[node] +
                                     " is its own ancestor: the pedigree has a loop through it. "
                                     "Check the sire and dam of this individual and of its descendants.");
        }
        state[node] = VisitState::on_path;
        stack.push_back({node, 0});
    };
    for (const PedigreeTriple& triple : triples) {
        if (triple[0] == kUnknownParent) {
            continue;
        }
        enter(node_of.at(triple[0]));
        while (!stack.empty()) {
            StackEntry& top = stack.back();
            if (top.next_parent == 0) {
                top.next_parent = 1;
                if (node_sire[top.node] != kNoParent) {
                    enter(node_sire[top.node]);
                }
            } else if (top.next_parent == 1) {
                top.next_parent = 2;
                if (node_dam[top.node] != kNoParent) {
                    enter(node_dam[top.node]);
                }
            } else {
                state[top.node] = VisitState::placed;
                order.push_back(top.node);
                stack.pop_back();
            }
        }
    }

    Pedigree pedigree;
    std::vector<std::int32_t> position(n_nodes);
    pedigree.ids.reserve(n_nodes);
    pedigree.id_to_index.reserve(n_nodes);
    for (std::size_t k = 0; k < order.size(); ++k) {
        position[order[k]] = static_cast<std::int32_t>(k);
        pedigree.ids.push_back(*node_id[order[k]]);
        pedigree.id_to_index.emplace(pedigree.ids.back(), static_cast<std::int32_t>(k));
    }
    pedigree.sire_index.reserve(n_nodes);
    pedigree.dam_index.reserve(n_nodes);
    for (const std::int32_t node : order) {
        pedigree.sire_index.push_back(node_sire[node] == kNoParent ? kNoParent : position[node_sire[node]]);
        pedigree.dam_index.push_back(node_dam[node] == kNoParent ? kNoParent : position[node_dam[node]]);
    }
    return pedigree;
}
