// tremora analyze: the voxel-wise comparison of confound models on a run.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "TMZRPluginInterface.h"
#include "commands.h"
#include "host.h"
#include "inputs.h"
#include "myGLMfunctions.h"
#include "mySDM.h"
#include "options.h"
#include "parallel.h"
#include "run.h"
#include "tremora.h"

namespace tool {

namespace {

// The log's text on standard output, one message per line.
void logToStdout(const char* text)
{
    const std::size_t length = std::strlen(text);
    if (length == 0) return;
    std::fwrite(text, 1, length, stdout);
    if (text[length - 1] != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
}

SDM readSdm(const std::string& option, const std::string& path)
{
    requireFileIfPresent(option, path);
    try {
        return SDM(path);
    } catch (const std::exception& e) {
        throw cli::RunError(e.what());
    }
}

int analyze(const cli::Args& args)
{
    const SDM task = readSdm("--task-sdm", args.text("--task-sdm"));
    std::vector<SDM> confounds;
    for (const std::string& path : args.positionals()) confounds.push_back(readSdm("CONFOUND.sdm", path));

    host::State& state = host::state();
    requireRunDocument("--fmr", args.text("--fmr"));
    host::openRun(state, args.text("--fmr"));
    // The library is linked into this program: bind its host functions to
    // the ones this program exports, as the desktop host's loader would.
    if (!InitZRAccess()) throw cli::RunError("cannot bind the host functions of this program");
    const int threads = threadsOf(args);
    parallel::setThreadCount(threads);
    const int cores = threads > 0 ? threads : parallel::availableCores();
    state.mapWriters = cores > 1 ? cores : 0;
    // Every map saved is listed, written or not; a map whose file could not
    // be written is reported as an error.
    const auto listMaps = [&] {
        const int failed = host::finishMapWrites(state);
        for (const auto& map : state.savedMaps) std::printf("map %s\n", (map.file.empty() ? map.name : map.file).c_str());
        std::fflush(stdout);
        if (failed > 0) throw cli::RunError(state.errors.back());
    };
    {
        TMZRLog log(&logToStdout);
        try {
            analyzeConfounds(task, confounds, state.run.header, log);
        } catch (const std::exception& e) {
            listMaps();
            throw cli::RunError(e.what());
        }
    }
    listMaps();
    return 0;
}

} // namespace

cli::Command analyzeCommand()
{
    return {
        .name = "analyze",
        .summary = "compare confound models voxel by voxel: tSNR, adjusted R2 and F maps",
        .description =
            "Adds the confound sets CONFOUND.sdm one after the other to the task design and writes,\n"
            "for every voxel of the run whose values all exceed 100, the tSNR of the data and of the\n"
            "data with the confounds removed, the adjusted R2 before and after each addition, their\n"
            "difference and the F value of the addition, as maps beside the files. Prints each map\n"
            "written. Exit status: 0 on success, 1 when a file cannot be read or a model cannot be\n"
            "fitted (maps of earlier steps stay written), 2 on bad command-line use.",
        .positionals = {{"CONFOUND.sdm", "the confound sets, in the order in which they are added", true, true, cli::Kind::Path}},
        .options = {runOption().mandatory(), cli::path("--task-sdm", "TASK.sdm", "the task design").mandatory(),
                    threadsOption()},
        .examples = {"tremora analyze --fmr run1.fmr --task-sdm run1_task.sdm run1_3DMC_detr.sdm run1_3DMC_deriv.sdm"},
        .run = analyze,
    };
}

} // namespace tool
