#include "runjob.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "cli.h"
#include "host.h"
#include "motionfiles.h"
#include "rundvars.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

namespace {

bool takes(const cli::Command& command, const std::string& option)
{
    return std::any_of(command.options.begin(), command.options.end(), [&](const cli::Option& o) { return o.name == option; });
}

void importStep(const ImportRequest& request)
{
    std::cout << "== import " << request.bold << " with " << request.motion << " (" << motionFormatName(request.format) << ")"
              << std::endl;
    const ImportResult r = importForCommand(request);
    for (const auto& note : r.notes) std::cout << "note: " << note << "\n";
    for (const auto& warning : r.warnings) std::cout << "warning: " << warning << "\n";
    std::cout << "wrote " << r.fmr << ", " << r.stc << ", " << r.sdm << " and " << r.sidecar << "\n"
              << "motion convention: " << r.convention << "\nreference: " << r.reference << "\ncentre of rotation: " << r.centre
              << std::endl;
}

// One subcommand in this process on a fresh host; the error is the last one
// the host was shown, else what the command threw.
void step(const std::string& name, std::vector<std::string> words, const RunJob& job, RunJobResult& result)
{
    const cli::Command* command = cli::find(name);
    if (command == nullptr) throw cli::RunError("no command " + name);
    words.erase(std::remove(words.begin(), words.end(), std::string()), words.end());
    if (!job.plugin.empty() && takes(*command, "--plugin")) words.insert(words.end(), {"--plugin", job.plugin});
    if (!job.threads.empty() && takes(*command, "--threads")) words.insert(words.end(), {"--threads", job.threads});
    std::cout << "\n== tremora " << name;
    for (const auto& w : words) std::cout << " " << w;
    std::cout << std::endl;
    host::reset();
    std::string error;
    try {
        if (command->run(cli::parse(*command, words)) != 0) {
            const std::vector<std::string>& errors = host::state().errors;
            error = errors.empty() ? name + " failed" : name + ": " + errors.back();
        }
    } catch (const std::exception& e) {
        error = name + ": " + e.what();
    }
    std::cout.flush();
    if (!error.empty()) throw cli::RunError(error);
    for (const auto& map : host::state().savedMaps)
        if (!map.file.empty()) result.maps.push_back({map.name, map.file});
}

} // namespace

ImportResult importForCommand(const ImportRequest& request)
{
    try {
        return importRun(request);
    } catch (const ImportError& e) {
        if (e.badRequest) throw cli::UsageError(e.what());
        throw cli::RunError(e.what());
    }
}

RunJobResult runJob(const RunJob& job)
{
    if (!job.threads.empty()) setDVARSThreads(std::atoi(job.threads.c_str()));
    if (job.import) importStep(*job.import);
    const RunSteps steps = job.steps();
    RunJobResult result;
    step("confound", steps.confound, job, result);
    step("displacement", steps.displacement, job, result);
    step("report", steps.report, job, result);
    return result;
}

} // namespace tool
