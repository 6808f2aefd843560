// Per-run numbers read back from a BIDS confounds table and its sidecar as
// tremora confound --tsv writes them: for the batch summary and the group
// table.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

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

// Columns of a tab-separated table with a header line, n/a as NaN, read in
// one pass over the file: for each name its column, or nothing when the
// table has none. Throws std::runtime_error when the table cannot be read.
using TableColumns = std::vector<std::optional<std::vector<double>>>;
TableColumns tableColumns(const std::filesystem::path& table, const std::vector<std::string>& names);

// The columns a summary takes from the table, first among those that a
// caller reads with them.
const std::vector<std::string>& summaryColumns();

// The sidecar's entries that a summary reads (and those named in also), the
// rest left out as it is parsed; a JSON null when it cannot be read.
nlohmann::json sidecarEntries(const std::filesystem::path& sidecar, const std::vector<std::string>& also = {});

// From the table's summaryColumns() (as tableColumns reads them) and the
// sidecar's entries. Throws std::runtime_error for a table without the
// outlier mask, or a sidecar that cannot be read or names no outlier rule.
ConfoundsSummary summarizeConfounds(const TableColumns& columns, const nlohmann::json& sidecarEntries,
                                    const std::filesystem::path& table, const std::filesystem::path& sidecar);
// The same from the files.
ConfoundsSummary summarizeConfounds(const std::filesystem::path& table, const std::filesystem::path& sidecar);

// A whole file's bytes; throws std::runtime_error when it cannot be read.
std::string fileText(const std::filesystem::path& file);

} // namespace tool
