// tremora run: raw access to a task, with script parameters set by hand.
#include "commands.h"
#include "inputs.h"
#include "options.h"
#include "pluginhost.h"

namespace tool {

namespace {

int run(const cli::Args& args)
{
    TaskOptions options;
    options.plugin = args.text("--plugin");
    // Raw access: a document the reader cannot open is the host's to report,
    // but a folder or a pipe is refused before anything waits on it.
    if (args.has("--fmr")) {
        requireFileIfPresent("--fmr", args.text("--fmr"));
        options.fmr = args.text("--fmr");
    }
    for (const auto& assignment : args.all("--param")) {
        const auto eq = assignment.find('=');
        const std::string value = assignment.substr(eq + 1);
        cli::checkPathLength("--param " + assignment.substr(0, eq), value);
        if (assignment.substr(0, eq) == "sdmfile" && !value.empty()) requireFileIfPresent("--param sdmfile", value);
        options.parameters.emplace_back(assignment.substr(0, eq), value);
    }
    options.choose = args.all("--choose");
    for (const auto& answer : options.choose) requireFileIfPresent("--choose", answer);
    options.plotFolder = args.text("--plots");
    parseVersion(args.text("--host-version"), options.version);
    options.threads = threadsOf(args);
    return runTask(args.positionals().at(0), options);
}

} // namespace

cli::Command runCommand()
{
    return {
        .name = "run",
        .summary = "run one plug-in task as the desktop host does, with raw script parameters",
        .description =
            "Loads libtremora.so, creates the plug-in, calls initPlugin, sets the script parameter\n"
            "\"task\" to TASK and calls execute. Log text goes to standard output as it arrives,\n"
            "message boxes to standard error. Exit status: 0 on success, 1 when the plug-in\n"
            "refused to start or showed an error, 2 on bad command-line use.",
        .positionals = {{"TASK", "select_3dmcsdm, displacement or confound (any other text runs nothing)"}},
        .options =
            {
                runOption("the FMR document that is the current document (none without it)"),
                cli::text("--param", "NAME=VALUE", "set a script parameter")
                    .many()
                    .means("NAME=VALUE")
                    .only([](const std::string& v) { return v.find('=') != std::string::npos && v[0] != '='; }),
                cli::path("--choose", "PATH",
                          "queue an answer for the file dialog (without one, on a terminal, the dialog asks on standard input)")
                    .many(),
                plotsOption(),
                pluginOption(),
                cli::text("--host-version", "X.Y.Z", "the host version reported to the plug-in")
                    .means("a version X.Y.Z")
                    .only([](const std::string& v) {
                        int version[3];
                        return parseVersion(v, version);
                    })
                    .byDefault("2.8.0"),
                threadsOption(),
            },
        .examples = {"tremora run select_3dmcsdm --fmr run1.fmr --choose run1_3DMC.sdm",
                     "tremora run confound --fmr run1.fmr --param sdmfile=run1_3DMC.sdm --param create_detrended=1"},
        .run = run,
    };
}

} // namespace tool
