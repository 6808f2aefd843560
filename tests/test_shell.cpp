// The plug-in shell as the host sees it: exports, initPlugin, execute, the
// destructor, the log stream, the binding of host functions. (The CLI host's
// start, farewell and refusals are in the golden tier.)
#include <dlfcn.h>

#include <cstdio>
#include <memory>

#include "testing.h"
#include "tremora.h"

using support::HostTest;

namespace {

std::string exportedString(const char* name)
{
    using Getter = const char* (*)();
    auto getter = reinterpret_cast<Getter>(dlsym(support::pluginLibrary(), name));
    if (getter == nullptr) return "<missing " + std::string(name) + ">";
    return getter();
}

} // namespace

TEST(Exports, DescriptiveStrings)
{
    EXPECT_EQ(exportedString("getPluginName"), "Tremora");
    EXPECT_EQ(exportedString("getPluginDescription"),
              "Process the motion predictor SDM in different ways to create a variety of confound models.");
    EXPECT_EQ(exportedString("getHelpFile"), "HelpFolder/index.html");
    EXPECT_EQ(exportedString("getPluginVersion"), "2.0");
    EXPECT_EQ(exportedString("getGUIScript"), "Tremora.js");
    const std::string author = exportedString("getAuthor");
    EXPECT_EQ(author.rfind("<i>", 0), 0u) << author;
    EXPECT_EQ(author.substr(author.size() - 4), "</i>") << author;
}

TEST(Exports, DynamicSymbolTableHoldsTheSevenExportsAndNoHostName)
{
    FILE* nm = popen("nm -D --defined-only '" TREMORA_PLUGIN_PATH "'", "r");
    ASSERT_NE(nm, nullptr);
    std::string table;
    char line[4096];
    while (std::fgets(line, sizeof line, nm) != nullptr) table += line;
    ASSERT_EQ(pclose(nm), 0);
    for (const char* name : {"createPlugin", "getPluginName", "getPluginDescription", "getAuthor", "getHelpFile",
                             "getPluginVersion", "getGUIScript"})
        EXPECT_NE(table.find(std::string(" ") + name + "\n"), std::string::npos) << name;
    EXPECT_EQ(table.find(" zr"), std::string::npos) << "a host name leaked into the dynamic symbol table";
}

TEST(Binding, EveryHostNameResolvesToTheExecutable)
{
    support::pluginLibrary();
    void* process = dlopen(nullptr, RTLD_LAZY);
    ASSERT_NE(process, nullptr);
    const char* names[] = {"zrGetVersionOfTalmoraZR", "zrShowLogTab", "zrShowBusyCursor", "zrStopBusyCursor",
                           "zrLogText", "zrMessageBox", "zrGetIDOfCurrentDocument", "zrGetDocumentType",
                           "zrGetStringParameter", "zrSetStringParameter", "zrGetIntParameter",
                           "zrGetFloatParameter", "zrGetOpenFileName", "zrGetHeaderOfCurrentFMR",
                           "zrGetSTCFloatDataOfCurrentFMR", "zrCreateMAPForCurrentFMR", "zrGetMAPOfCurrentFMR",
                           "zrSetMAPParametersOfCurrentFMR", "zrSaveMAPsOfCurrentFMR", "zrPlotLine",
                           "zrAddLineToPlot", "zrSetPlotLineSizeAndColor", "zrSetPlotColorTheme",
                           "zrShowPlotLegend", "zrResizePlot", "zrShowPlotAtPosition", "zrSetPlotTitle",
                           "zrSetPlotYAxisRange"};
    EXPECT_EQ(std::size(names), 28u);
    for (const char* name : names) {
        void* symbol = dlsym(process, name);
        ASSERT_NE(symbol, nullptr) << name;
        Dl_info info{};
        ASSERT_NE(dladdr(symbol, &info), 0) << name;
        EXPECT_EQ(std::string(info.dli_fname).find("libtremora"), std::string::npos)
            << name << " resolved into " << info.dli_fname;
    }
}

TEST(Version, LexicographicOrder)
{
    struct Case {
        int major, minor, revision;
        bool expected;
    };
    const Case cases[] = {{2, 8, 0, true},  {2, 8, 5, true},  {2, 9, 0, true},  {3, 0, 0, true},
                          {2, 7, 99, false}, {2, 7, 9, false}, {1, 9, 9, false}, {2, 8, -1, false},
                          {10, 0, 0, true}};
    for (const auto& c : cases)
        EXPECT_EQ(checkVersionGreaterEqualVersion(c.major, c.minor, c.revision, 2, 8, 0), c.expected)
            << c.major << "." << c.minor << "." << c.revision;
}

class Shell : public HostTest {};

TEST_F(Shell, StartLogsOneRunningMessageAndFarewell)
{
    TMZRPluginInterface* plugin = support::createPlugin();
    ASSERT_TRUE(plugin->initPlugin());
    ASSERT_EQ(hostState().logCalls.size(), 1u);
    EXPECT_EQ(hostState().logCalls[0], "\nTremora>  Running...");
    EXPECT_EQ(hostState().logTabShown, 1);
    EXPECT_TRUE(hostState().messages.empty());
    delete plugin;
    // The farewell flush, then the stream's own flush on destruction with nothing left.
    ASSERT_EQ(hostState().logCalls.size(), 3u);
    EXPECT_EQ(hostState().logCalls[1], "\nTremora>  Plugin finished!\n");
    EXPECT_EQ(hostState().logCalls[2], "");
}

TEST_F(Shell, OldHostIsRefusedAndStillSaysFarewell)
{
    hostState().major = 2;
    hostState().minor = 7;
    hostState().revision = 99;
    TMZRPluginInterface* plugin = support::createPlugin();
    EXPECT_FALSE(plugin->initPlugin());
    EXPECT_EQ(hostState().messages,
              std::vector<std::string>{"Can not execute this plugin - TalmoraZR version 2.8 or higher required."});
    EXPECT_TRUE(hostState().logCalls.empty()) << "no start message";
    delete plugin;
    ASSERT_FALSE(hostState().logCalls.empty());
    EXPECT_EQ(hostState().logCalls[0], "\nTremora>  Plugin finished!\n");
}

TEST_F(Shell, DocumentChecks)
{
    hostState().documentId = -1;
    std::unique_ptr<TMZRPluginInterface> none(support::createPlugin());
    EXPECT_FALSE(none->initPlugin());
    ASSERT_EQ(hostState().messages.size(), 1u);
    EXPECT_EQ(hostState().messages[0], "No current document available.");
    // The start message is logged before the document is looked at.
    EXPECT_EQ(hostState().logCalls.at(0), "\nTremora>  Running...");

    host::reset();
    hostState().documentId = 4;
    hostState().documentType = 2;
    std::unique_ptr<TMZRPluginInterface> other(support::createPlugin());
    EXPECT_FALSE(other->initPlugin());
    ASSERT_EQ(hostState().messages.size(), 1u);
    EXPECT_EQ(hostState().messages[0], "The currently active document is not a FMR document.");
}

TEST_F(Shell, UnknownTaskTextsRunNothingInsideOneBusyCursor)
{
    for (const std::string task : {"", "Confound", "confound ", "DISPLACEMENT", "select_3dmcsdm "}) {
        host::reset();
        hostState().documentId = 1;
        hostState().parameters["task"] = task;
        std::unique_ptr<TMZRPluginInterface> plugin(support::createPlugin());
        ASSERT_TRUE(plugin->initPlugin());
        EXPECT_TRUE(plugin->execute());
        EXPECT_EQ(hostState().busyShown, 1) << "'" << task << "'";
        EXPECT_EQ(hostState().busyStopped, 1) << "'" << task << "'";
        EXPECT_TRUE(hostState().messages.empty()) << "'" << task << "'";
        EXPECT_TRUE(hostState().dialogs.empty()) << "'" << task << "'";
    }
}

// ---------------------------------------------------------------- log stream

namespace {
std::vector<std::string>* captured = nullptr;
void capture(const char* text) { captured->emplace_back(text); }
} // namespace

TEST(LogStream, FlushesHandOverEverythingSinceTheLastFlush)
{
    std::vector<std::string> calls;
    captured = &calls;
    {
        TMZRLog log(&capture);
        log << "first\n" << 42 << " second";
        EXPECT_TRUE(calls.empty());
        log << std::flush;
        log.flush();
        log << "a" << std::endl;
        log << "left over";
        EXPECT_TRUE(log.good());
        EXPECT_EQ(calls, (std::vector<std::string>{"first\n42 second", "", "a\n"}));
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"first\n42 second", "", "a\n", "left over"}));
    captured = nullptr;
}
