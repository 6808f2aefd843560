// The confound model comparison across a study's runs: the table of every
// run's models, the choice of one model by a stated rule, and the section of
// the group report that shows the numbers behind it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tool::bids {

namespace fs = std::filesystem;

struct RunSummary {
    std::string run;     // the run's stem
    fs::path summary;    // its *_desc-models_summary.tsv
};

struct GroupModels {
    std::string tsv;              // group_models.tsv: one row per run and model
    nlohmann::ordered_json json;  // group_models.json: Choice, Rule, and the votes
    std::string section;          // HTML, for the group report
};

// The rule, in the sentence the report and the JSON state.
extern const char* const kModelChoiceRule;

// Nothing when no run has a summary. Throws std::runtime_error for a summary
// that cannot be read.
std::optional<GroupModels> groupModels(const std::vector<RunSummary>& runs);

} // namespace tool::bids
