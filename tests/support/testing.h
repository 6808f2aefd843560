// Shared helpers of the test suites: a fresh host per test, the plug-in
// loaded as the host loads it, temporary folders, files and the CLI.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TMZRPluginInterface.h"
#include "host.h"

namespace support {

namespace fs = std::filesystem;

// A test that starts with a fresh host state: version 2.8.0, an FMR as the
// current document, no parameters.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override;
    host::State& hostState() { return host::state(); }
};

// The built plug-in, loaded once with dlopen(RTLD_GLOBAL) as the host does.
void* pluginLibrary();
// A new plug-in object from createPlugin.
TMZRPluginInterface* createPlugin();
// A host function of this executable, found by name as the plug-in finds it.
void* hostSymbol(const char* name);
template <typename F>
F* hostFunction(const char* name) { return reinterpret_cast<F*>(hostSymbol(name)); }
// createPlugin + initPlugin + execute of one task + delete; returns initPlugin's result.
bool runTask(const std::string& task);

// A new empty folder for this test, removed at the end of the process.
fs::path tempDir(const std::string& name = "t");

std::string readFile(const fs::path& path);
void writeFile(const fs::path& path, const std::string& text);
std::vector<unsigned char> readBytes(const fs::path& path);
// The rows of a tab-separated text, each split into its cells.
std::vector<std::vector<std::string>> tsvRows(const std::string& text);

// The tremora program run as a separate process; status is -1 when it ended
// by a signal. With a time limit (seconds, 0 for none) a program that is still
// running then is stopped and the status is 124.
struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};
CliResult runCli(const std::vector<std::string>& args, const std::string& input = std::string(), int timeLimit = 0);

// The shared real motion data folder.
fs::path sharedData(const std::string& file);

} // namespace support
