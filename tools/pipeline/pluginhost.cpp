#include "pluginhost.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <thread>

#include "TMZRPluginInterface.h"
#include "cli.h"
#include "host.h"
#include "parallel.h"
#include "run.h"

namespace tool {

namespace fs = std::filesystem;

std::string findPlugin(const std::string& explicitPath)
{
    if (!explicitPath.empty()) {
        if (!fs::is_regular_file(explicitPath)) throw cli::RunError("plug-in not found: " + explicitPath);
        return explicitPath;
    }
    if (const char* env = std::getenv("TREMORA_PLUGIN"); env != nullptr && *env != '\0') {
        if (!fs::is_regular_file(env)) throw cli::RunError(std::string("plug-in not found: ") + env + " (from $TREMORA_PLUGIN)");
        return env;
    }
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (const fs::path& candidate : {self.parent_path() / "libtremora.so",
                                          self.parent_path() / ".." / "code" / "cpp" / "libtremora.so",
                                          self.parent_path() / TREMORA_LIBDIR_FROM_BIN / "libtremora.so"})
            if (fs::is_regular_file(candidate)) return candidate.lexically_normal().string();
    }
    throw cli::RunError("cannot find libtremora.so beside the program; give --plugin PATH or set TREMORA_PLUGIN");
}

void checkPlugin(const std::string& option, const std::string& explicitPath)
{
    std::string path;
    try {
        path = findPlugin(explicitPath);
    } catch (const cli::RunError& e) {
        throw cli::RunError(option + ": " + e.what());
    }
    void* library = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr) throw cli::RunError(option + ": cannot load the plug-in: " + dlerror());
    const bool plugin = dlsym(library, "createPlugin") != nullptr;
    dlclose(library);
    if (!plugin) throw cli::RunError(option + ": " + path + " is not a plug-in: it has no createPlugin");
}

bool parseVersion(const std::string& text, int version[3])
{
    int parts[3] = {0, 0, 0};
    std::size_t start = 0;
    for (int k = 0; k < 3; ++k) {
        const std::size_t end = k < 2 ? text.find('.', start) : text.size();
        if (end == std::string::npos) return false;
        const std::string piece = text.substr(start, end - start);
        if (piece.empty() || piece.size() > 9 || piece.find_first_not_of("0123456789") != std::string::npos) return false;
        parts[k] = std::stoi(piece);
        start = end + 1;
    }
    for (int k = 0; k < 3; ++k) version[k] = parts[k];
    return true;
}

namespace {

// Elapsed seconds on standard error while the busy cursor is on.
class ActivityIndicator {
public:
    ActivityIndicator() : enabled_(isatty(STDERR_FILENO) != 0) {}
    ~ActivityIndicator() { set(false); }

    void set(bool busy)
    {
        if (!enabled_) return;
        if (busy && !thread_.joinable()) {
            stop_ = false;
            thread_ = std::thread([this] { loop(); });
        } else if (!busy && thread_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                stop_ = true;
            }
            wake_.notify_all();
            thread_.join();
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
        }
    }

private:
    void loop()
    {
        const auto start = std::chrono::steady_clock::now();
        static const char spinner[] = "|/-\\";
        int tick = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
            std::fprintf(stderr, "\r%c working... %lds", spinner[tick++ % 4], static_cast<long>(seconds));
            std::fflush(stderr);
            wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop_; });
        }
    }

    bool enabled_;
    bool stop_ = false;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
};

} // namespace

int runTask(const std::string& task, const TaskOptions& options)
{
    const std::string pluginPath = findPlugin(options.plugin);
    // A library that is no plug-in is refused before anything is set up or created.
    void* library = dlopen(pluginPath.c_str(), RTLD_LAZY | RTLD_GLOBAL);
    if (library == nullptr) throw cli::RunError(std::string("cannot load the plug-in: ") + dlerror());
    using Create = TMZRPluginInterface* (*)();
    auto create = reinterpret_cast<Create>(dlsym(library, "createPlugin"));
    if (create == nullptr) throw cli::RunError(pluginPath + " is not a plug-in: it has no createPlugin");

    host::State& state = host::state();
    state.major = options.version[0];
    state.minor = options.version[1];
    state.revision = options.version[2];
    if (options.fmr) {
        host::openRun(state, *options.fmr);
    } else if (options.emptyRun) {
        host::openEmptyRun(state);
    }
    state.plotFolder = options.plotFolder;
    if (!options.plotFolder.empty()) {
        std::error_code ec;
        fs::create_directories(options.plotFolder, ec);
        if (ec) throw cli::RunError("--plots: cannot create the plot folder " + options.plotFolder + ": " + ec.message());
    }
    state.keepMapData = false; // maps go to files; the program needs no copies
    for (const auto& [name, value] : options.parameters) state.parameters[name] = value;
    state.parameters["task"] = task;
    for (const auto& path : options.choose) state.dialogAnswers.emplace_back(path);
    if (isatty(STDIN_FILENO)) {
        state.dialogFallback = [](const host::DialogRequest& request) -> std::optional<std::string> {
            std::cerr << request.title << "\n  (" << request.filter << ")\n  path: " << std::flush;
            std::string line;
            if (!std::getline(std::cin, line) || line.empty()) return std::nullopt;
            return line;
        };
    }

    ActivityIndicator indicator;
    // Each log call is one line of the host's log pane.
    state.onLog = [](const std::string& text) {
        if (text.empty()) return;
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (text.back() != '\n') std::fputc('\n', stdout);
        std::fflush(stdout);
    };
    state.onMessage = [&indicator](const std::string& text) {
        indicator.set(false);
        std::cerr << "message: " << text << std::endl;
    };
    state.onBusy = [&indicator](bool busy) { indicator.set(busy); };

    // The plug-in's threads, set before it is created; a plug-in without the
    // setting runs on its own default.
    using SetThreads = void (*)(int);
    if (auto setThreads = reinterpret_cast<SetThreads>(dlsym(library, "setPluginThreads"))) setThreads(options.threads);
    const int threads = options.threads > 0 ? options.threads : parallel::availableCores();
    state.mapWriters = threads > 1 ? threads : 0;

    TMZRPluginInterface* plugin = create();
    int status = 0;
    if (plugin->initPlugin()) {
        plugin->execute();
        // The request ends when its maps are on the disk.
        host::finishMapWrites(state);
    } else {
        status = 1;
    }
    delete plugin;
    indicator.set(false);
    state.onBusy = nullptr;
    state.onMessage = nullptr;
    std::fflush(stdout);
    if (!state.errors.empty()) status = 1;
    return status;
}

} // namespace tool
