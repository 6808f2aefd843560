#include "testing.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace support {

void HostTest::SetUp()
{
    host::reset();
    host::State& s = host::state();
    s.documentId = 1;
    s.documentType = 1;
}

void* pluginLibrary()
{
    static void* library = [] {
        void* handle = dlopen(TREMORA_PLUGIN_PATH, RTLD_LAZY | RTLD_GLOBAL);
        if (handle == nullptr) throw std::runtime_error(std::string("cannot load plug-in: ") + dlerror());
        return handle;
    }();
    return library;
}

TMZRPluginInterface* createPlugin()
{
    using Create = TMZRPluginInterface* (*)();
    auto create = reinterpret_cast<Create>(dlsym(pluginLibrary(), "createPlugin"));
    if (create == nullptr) throw std::runtime_error("plug-in has no createPlugin");
    return create();
}

void* hostSymbol(const char* name)
{
    void* symbol = dlsym(RTLD_DEFAULT, name);
    if (symbol == nullptr) throw std::runtime_error(std::string("this executable lacks ") + name);
    return symbol;
}

bool runTask(const std::string& task)
{
    host::state().parameters["task"] = task;
    TMZRPluginInterface* plugin = createPlugin();
    const bool ok = plugin->initPlugin();
    if (ok) plugin->execute();
    delete plugin;
    return ok;
}

namespace {

fs::path& processRoot()
{
    static fs::path root = [] {
        fs::path r = fs::temp_directory_path() / ("tremora-tests-" + std::to_string(getpid()));
        fs::remove_all(r);
        fs::create_directories(r);
        return r;
    }();
    return root;
}

struct Cleanup {
    ~Cleanup()
    {
        std::error_code ec;
        if (!std::getenv("TREMORA_KEEP_TEST_FILES")) fs::remove_all(processRoot(), ec);
    }
} cleanup;

std::string quote(const std::string& word)
{
    std::string q = "'";
    for (char c : word) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

} // namespace

fs::path tempDir(const std::string& name)
{
    static std::atomic<int> counter{0};
    fs::path dir = processRoot() / (name + "-" + std::to_string(counter++));
    fs::create_directories(dir);
    return dir;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<unsigned char> readBytes(const fs::path& path)
{
    const std::string text = readFile(path);
    return std::vector<unsigned char>(text.begin(), text.end());
}

std::vector<std::vector<std::string>> tsvRows(const std::string& text)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cells;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, '\t');) cells.push_back(f);
        rows.push_back(cells);
    }
    return rows;
}

CliResult runCli(const std::vector<std::string>& args, const std::string& input, int timeLimit)
{
    const fs::path dir = tempDir("cli");
    writeFile(dir / "in", input);
    std::string command = timeLimit > 0 ? "timeout -k 2 " + std::to_string(timeLimit) + " " : std::string();
    command += quote(TREMORA_CLI_PATH);
    for (const auto& a : args) command += " " + quote(a);
    command += " <" + quote((dir / "in").string()) + " >" + quote((dir / "out").string()) + " 2>" +
               quote((dir / "err").string());
    CliResult result;
    const int raw = std::system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = readFile(dir / "out");
    result.err = readFile(dir / "err");
    return result;
}

fs::path sharedData(const std::string& file) { return fs::path(TREMORA_SHARED_DATA) / file; }

} // namespace support
