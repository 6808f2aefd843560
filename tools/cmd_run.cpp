// tremora run: raw access to a task, with script parameters set by hand.
#include "commands.h"
#include "inputs.h"
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
        if (eq == std::string::npos || eq == 0)
            throw cli::UsageError("--param must be NAME=VALUE, got '" + assignment + "'");
        const std::string value = assignment.substr(eq + 1);
        cli::checkPathLength("--param " + assignment.substr(0, eq), value);
        if (assignment.substr(0, eq) == "sdmfile" && !value.empty()) requireFileIfPresent("--param sdmfile", value);
        options.parameters.emplace_back(assignment.substr(0, eq), value);
    }
    options.choose = args.all("--choose");
    for (const auto& answer : options.choose) requireFileIfPresent("--choose", answer);
    options.plotFolder = args.text("--plots");
    parseVersion(args.text("--host-version"), options.version);
    return runTask(args.positionals().at(0), options);
}

} // namespace

cli::Command runCommand()
{
    cli::Command c;
    c.name = "run";
    c.summary = "run one plug-in task as the desktop host does, with raw script parameters";
    c.description =
        "Loads libtremora.so, creates the plug-in, calls initPlugin, sets the script parameter\n"
        "\"task\" to TASK and calls execute. Log text goes to standard output as it arrives,\n"
        "message boxes to standard error. Exit status: 0 on success, 1 when the plug-in\n"
        "refused to start or showed an error, 2 on bad command-line use.";
    c.positionals = {{"TASK", "select_3dmcsdm, displacement or confound (any other text runs nothing)"}};
    c.options = {
        {"--fmr", cli::Kind::Path, "FILE", "the FMR document that is the current document (none without it)"},
        {"--param", cli::Kind::Text, "NAME=VALUE", "set a script parameter", "", true},
        {"--choose", cli::Kind::Path, "PATH", "queue an answer for the file dialog (without one, on a terminal, the dialog asks on standard input)", "", true},
        {"--plots", cli::Kind::Path, "DIR", "folder for the plot pictures", "the folder of the run"},
        {"--plugin", cli::Kind::Path, "PATH", "the plug-in library to load", "libtremora.so beside the program, or $TREMORA_PLUGIN"},
        {"--host-version", cli::Kind::Text, "X.Y.Z", "the host version reported to the plug-in", "2.8.0"},
    };
    c.options[3].defaultText.clear();
    c.options[4].defaultText.clear();
    c.examples = {
        "tremora run select_3dmcsdm --fmr run1.fmr --choose run1_3DMC.sdm",
        "tremora run confound --fmr run1.fmr --param sdmfile=run1_3DMC.sdm --param create_detrended=1",
    };
    c.run = run;
    return c;
}

} // namespace tool
