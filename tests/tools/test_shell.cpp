// The plug-in shell as the host sees it: exports, the version check, the
// document checks, unknown tasks and the log stream. (Its start, farewell and
// the refusal of an old host or of no document are in the golden tier.)
#include <dlfcn.h>

#include <cstdio>
#include <memory>

#include "testing.h"
#include "tremora.h"

using support::HostTest;

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

TEST(Version, LexicographicOrder)
{
    // {major, minor, revision, at least 2.8.0}
    const std::tuple<int, int, int, bool> cases[] = {{2, 8, 0, true},  {2, 8, 5, true},   {2, 9, 0, true},  {3, 0, 0, true},
                                                     {10, 0, 0, true}, {2, 7, 99, false}, {2, 7, 9, false}, {1, 9, 9, false},
                                                     {2, 8, -1, false}};
    for (const auto& [major, minor, revision, expected] : cases)
        EXPECT_EQ(checkVersionGreaterEqualVersion(major, minor, revision, 2, 8, 0), expected) << major << "." << minor << "." << revision;
}

class Shell : public HostTest {};

TEST_F(Shell, ADocumentOfAnotherTypeIsRefused)
{
    hostState().documentId = 4;
    hostState().documentType = 2;
    std::unique_ptr<TMZRPluginInterface> other(support::createPlugin());
    EXPECT_FALSE(other->initPlugin());
    EXPECT_EQ(hostState().messages, std::vector<std::string>{"The currently active document is not a FMR document."});
}

TEST_F(Shell, UnknownTaskTextsRunNothingInsideOneBusyCursor)
{
    for (const std::string task : {"", "Confound", "confound ", "DISPLACEMENT", "select_3dmcsdm "}) {
        SetUp();
        hostState().parameters["task"] = task;
        std::unique_ptr<TMZRPluginInterface> plugin(support::createPlugin());
        ASSERT_TRUE(plugin->initPlugin());
        EXPECT_TRUE(plugin->execute());
        const host::State& s = hostState();
        EXPECT_TRUE(s.busyShown == 1 && s.busyStopped == 1 && s.messages.empty() && s.dialogs.empty()) << "'" << task << "'";
    }
}

TEST(LogStream, FlushesHandOverEverythingSinceTheLastFlush)
{
    static std::vector<std::string> calls;
    {
        TMZRLog log([](const char* text) { calls.emplace_back(text); });
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
}
