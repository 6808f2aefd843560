// The summary row of a processed run folder, as tremora process prints it
// and tremora batch gathers it (tab-separated, n/a for a missing value), and
// what a run folder must hold.
#pragma once

#include <string>
#include <vector>

#include "cli.h"

namespace tool {

extern const std::vector<std::string> kSummaryColumnNames;
// What a run folder holds and what is run on it, for --help.
extern const char* const kFolderRules;
// The summary's columns, for --help.
extern const char* const kSummaryColumns;

struct RunSummary {
    std::string run, status = "failed", volumes, meanFD, maxFD, spikes, maxDisplacement, meanStdDVARS, maxStdDVARS,
        outlierShare, error;
    std::vector<std::string> cells() const
    {
        return {run, status, volumes, meanFD, maxFD, spikes, maxDisplacement, error, meanStdDVARS, maxStdDVARS, outlierShare};
    }
};

// One line of the table: the cells tab-separated ("" as n/a; tabs and line breaks in a cell as blanks).
std::string summaryLine(const std::vector<std::string>& cells);
inline std::string summaryHeader() { return summaryLine(kSummaryColumnNames); }

// The plug-in, when one is given, is checked before any run starts.
void checkRunOptions(const cli::Args& args);

} // namespace tool
