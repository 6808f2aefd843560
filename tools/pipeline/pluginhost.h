// Running one task of the plug-in the way the desktop host does: load the
// library with dlopen, create the object, initPlugin, set "task", execute,
// delete the object.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tool {

struct TaskOptions {
    std::string plugin;                                     // --plugin, or empty to search
    std::optional<std::string> fmr;                         // the current document
    bool emptyRun = false;                                  // present an empty run document without --fmr
    std::vector<std::pair<std::string, std::string>> parameters; // script parameters
    std::vector<std::string> choose;                        // queued file-dialog answers
    int version[3] = {2, 8, 0};                             // the host version reported
    std::string plotFolder;                                 // empty: the run's folder
    int threads = 0;                                        // --threads; 0: the cores the process may use
};

// The plug-in library to load: the given path, $TREMORA_PLUGIN, or
// libtremora.so beside the executable (or in ../lib). Throws cli::RunError.
std::string findPlugin(const std::string& explicitPath);

// The plug-in library is there and loads as a plug-in (it has createPlugin);
// for commands that hand it to child processes and want to know before they
// start. Throws cli::RunError "OPTION: ...".
void checkPlugin(const std::string& option, const std::string& explicitPath);

// Parses "X.Y.Z" into version; false (and version unchanged) for any other text.
bool parseVersion(const std::string& text, int version[3]);

// Runs the task; returns the exit status: 0 success, 1 when initPlugin
// refused or the plug-in showed an error. The plug-in's computations run on
// options.threads threads (set through its setPluginThreads, when it has
// one), and as many host threads compress and write its maps.
int runTask(const std::string& task, const TaskOptions& options);

} // namespace tool
