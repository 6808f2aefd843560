// Per-run numbers read back from a BIDS confounds table and its sidecar as
// tremora confound --tsv writes them: for the batch summary and the group
// table.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tool {

struct ConfoundsSummary {
    int volumes = 0;
    // Over the volumes from the second on (the first has no predecessor);
    // none when the table has no std_dvars column.
    std::optional<double> meanStdDVARS, maxStdDVARS;
    std::vector<std::string> rule; // the sidecar's OutliersBy of the outlier mask
    int outliers = 0;              // volumes the rule flags (any of its measures) or fMRIPrep marked non-steady-state
    double outlierShare = 0.0;     // outliers / volumes
};

// One column of a tab-separated table with a header line, n/a as NaN. Throws
// std::runtime_error when the table cannot be read or has no such column.
std::vector<double> tableColumn(const std::filesystem::path& table, const std::string& name);
bool tableHasColumn(const std::filesystem::path& table, const std::string& name);

// Throws std::runtime_error for a table or sidecar that cannot be read, or a
// sidecar that does not list the volumes of a chosen rule.
ConfoundsSummary summarizeConfounds(const std::filesystem::path& table, const std::filesystem::path& sidecar);

} // namespace tool
