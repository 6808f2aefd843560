// The one job of a run, for tremora process, batch and bids: the import
// (when the run comes as NIfTI with another package's motion file), then the
// confound, displacement and report commands in this process, each on a
// fresh host, as the program's main would run them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "niftiimport.h"

namespace tool {

// Each step's own options, without --plugin and --threads.
struct RunSteps {
    std::vector<std::string> confound, displacement, report;
};

struct RunJob {
    std::optional<ImportRequest> import; // when the run is imported first
    // The steps' options, worked out once the run's documents exist (after the import).
    std::function<RunSteps()> steps;
    std::string plugin;  // to the steps that take --plugin ("" for the default)
    std::string threads; // to the steps that take --threads ("" for their default)
};

// What the steps left: the maps they saved, by the name the plug-in gave and the file written.
struct RunJobResult {
    struct Map {
        std::string name, file;
    };
    std::vector<Map> maps;
};

// The import as a command runs it: a bad request is a usage error
// (cli::UsageError), any other refusal a failure of the run (cli::RunError).
ImportResult importForCommand(const ImportRequest& request);

// Runs the job; a step that fails throws cli::RunError naming the step and what went wrong.
RunJobResult runJob(const RunJob& job);

} // namespace tool
