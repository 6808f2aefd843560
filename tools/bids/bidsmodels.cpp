#include "bidsmodels.h"

#include <iostream>
#include <system_error>

#include "modelcomparison.h"
#include "stringmanipulation.h"

namespace tool::bids {

fs::path eventsOf(const Run& run, const fs::path& root)
{
    std::error_code ec;
    const fs::path beside = fs::path(run.bold).parent_path() / (run.stem() + "_events.tsv");
    if (fs::is_regular_file(beside, ec)) return beside;
    const std::string task = run.name.get("task");
    if (task.empty()) return {};
    const std::string acq = run.name.get("acq");
    const std::vector<std::string> names = {
        (acq.empty() ? "" : "task-" + task + "_acq-" + acq + "_events.tsv"), "task-" + task + "_events.tsv"};
    const fs::path top = fs::absolute(root).lexically_normal();
    for (fs::path folder = fs::absolute(run.bold).parent_path().parent_path(); !folder.empty(); folder = folder.parent_path()) {
        for (const std::string& name : names)
            if (!name.empty() && fs::is_regular_file(folder / name, ec)) return folder / name;
        if (folder.lexically_normal() == top || folder == folder.parent_path()) break;
    }
    return {};
}

std::vector<fs::path> compareRunModels(const Run& run, const fs::path& root, const fs::path& output,
                                       const std::string& confoundsTable, const std::vector<std::string>& families,
                                       int threads)
{
    const fs::path folder = output / run.folder;
    fs::create_directories(folder);
    models::ComparisonRequest request;
    request.fmr = run.stem() + ".fmr";
    request.confoundsTable = confoundsTable;
    request.events = eventsOf(run, root).string();
    request.mask = run.brainMask;
    request.families = families;
    request.threads = threads;
    request.outputPath = [&](const std::string& desc, const std::string& suffix, const std::string& extension) {
        return (output / outputName(run, desc, suffix, extension)).string();
    };
    std::cout << "\n== confound models " << joined(families, ",") << " on " << request.fmr
              << (request.events.empty() ? " (no events: the constant alone)" : " with " + request.events) << std::endl;
    const models::ComparisonResult result = models::compareModels(request);
    for (const std::string& message : result.messages) std::cout << "warning: confound models: " << message << "\n";
    std::cout.flush();
    std::vector<fs::path> names;
    for (const std::string& file : result.files) names.push_back(fs::path(file).filename());
    return names;
}

} // namespace tool::bids
