#include <string>
#include <vector>

#include "mixed_model/mixed_model.h"

std::vector<std::string> Model::component_names() const {
    std::vector<std::string> names;
    for (const RandomTerm& term : terms) {
        const auto name = [&](std::size_t a) { return term.parts[a].name.empty() ? term.name : term.parts[a].name; };
        for (std::size_t a = 0; a < term.parts.size(); ++a) {
            for (std::size_t b = 0; b < a; ++b) names.push_back(name(b) + "," + name(a));
            names.push_back(name(a));
        }
    }
    const std::vector<std::string> residuals = residual.component_names();
    names.insert(names.end(), residuals.begin(), residuals.end());
    return names;
}

std::vector<std::string> ResidualTerm::component_names() const {
    if (classes.empty()) {
        return {name};
    }
    std::vector<std::string> names;
    for (const std::string& level : classes) {
        names.push_back(name + ":" + level);
    }
    return names;
}

std::vector<CovarianceBlock> variance_blocks(
    const std::vector<std::string>& terms, const std::string& residual_name, const std::vector<std::string>& traits,
    const std::vector<Eigen::MatrixXd>& starts, double residual_limit,
    const std::function<std::string(const std::string&, const std::string&)>& name) {
    std::vector<CovarianceBlock> blocks(terms.size() + 1);
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        CovarianceBlock& block = blocks[k];
        const std::string& block_name = k < terms.size() ? terms[k] : residual_name;
        for (std::size_t a = 0; a < std::max<std::size_t>(traits.size(), 1); ++a) {
            for (std::size_t b = 0; b <= a; ++b) {
                block.names.push_back(name(block_name, traits.size() <= 1 ? std::string()
                                                       : a == b             ? traits[a]
                                                                            : traits[b] + "," + traits[a]));
            }
        }
        block.start = starts.at(k);
    }
    blocks.back().residual = true;
    blocks.back().limit = residual_limit;
    return blocks;
}
