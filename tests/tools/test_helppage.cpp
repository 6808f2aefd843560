// The help page (HelpFolder/index.html) against what the tasks do: every
// parameter a task asks the host for is declared and documented, every file it
// writes is documented, and the page, as Chromium parses it, is self-contained
// with every in-page link resolving.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>

#include "run.h"
#include "stringmanipulation.h"
#include "taskparameters.h"
#include "testing.h"

namespace fs = std::filesystem;

namespace {

std::string helpPage() { return support::readFile(TREMORA_HELP_PAGE); }

// Every value of attribute `name` in a tag (double-quoted, as the page and
// Chromium write them); text that merely looks like an attribute is no tag.
std::vector<std::string> attributeValues(const std::string& html, const std::string& name)
{
    std::vector<std::string> values;
    const std::string key = name + "=\"";
    for (std::size_t open = html.find('<'); open != std::string::npos; open = html.find('<', open + 1)) {
        const std::string tag = html.substr(open, html.find('>', open) - open);
        for (std::size_t at = tag.find(key); at != std::string::npos; at = tag.find(key, at + 1)) {
            if (!std::isspace(static_cast<unsigned char>(tag[at - 1]))) continue;
            const std::size_t start = at + key.size(), end = tag.find('"', start);
            values.push_back(tag.substr(start, end - start));
        }
    }
    return values;
}

// The contents of every element that starts with `open`, up to `close`.
std::vector<std::string> elements(const std::string& html, const std::string& open, const std::string& close)
{
    std::vector<std::string> found;
    for (std::size_t at = html.find(open); at != std::string::npos; at = html.find(open, at + 1)) {
        const std::size_t start = at + open.size(), end = html.find(close, start);
        found.push_back(html.substr(start, end - start));
    }
    return found;
}

// The markup without its comments (an unclosed one runs to the end, as in a browser).
std::string withoutComments(std::string html)
{
    for (std::size_t at; (at = html.find("<!--")) != std::string::npos;) {
        const std::size_t end = html.find("-->", at + 4);
        html.erase(at, end == std::string::npos ? std::string::npos : end + 3 - at);
    }
    return html;
}

std::string unescape(std::string text)
{
    const std::pair<const char*, const char*> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&nbsp;", " "}, {"&amp;", "&"}};
    for (const auto& [entity, character] : entities)
        for (std::size_t at; (at = text.find(entity)) != std::string::npos;)
            text.replace(at, std::strlen(entity), character);
    return text;
}

// Gives every parameter of the task a value that makes it do all it can:
// switches on, thresholds that find brain voxels and spikes, the run's motion.
void prepareTask(const script::Task& task, const fs::path& dir)
{
    host::reset();
    host::openRun(host::state(), (dir / "run1.fmr").string());
    host::state().writeMapFiles = false;
    host::state().writePlotFiles = false;
    for (const script::Parameter& p : task.parameters) {
        const std::string name = p.name, motion = (dir / "run1_3DMC.sdm").string();
        if (p.direction == script::Direction::Read)
            host::state().parameters[name] = name == "fmr_threshold" ? "100" : name == "spike_threshold" ? "0.5" : name == "sdmfile" ? motion : "1";
    }
    host::state().dialogAnswers.emplace_back((dir / "run1_3DMC.sdm").string());
}

} // namespace

class HelpPage : public support::HostTest {};

// Every task on a synthetic run with jumps in volumes 3, 5 and 7: the
// parameters it asks the host for, in order, are those taskparameters.h
// declares and both the page and the README document; the files the tasks
// write are those the page's file tables list.
TEST_F(HelpPage, ParametersAndFilesOfEveryTaskAreDeclaredAndDocumented)
{
    const std::string page = helpPage(), readme = support::readFile(fs::path(TREMORA_SOURCE_DIR) / "README.md");
    const fs::path dir = support::tempDir("synth");
    const auto made = support::runCli({"synth", "--out", dir.string(), "--name", "run1", "--dims", "8", "8", "6", "--volumes", "12", "--seed", "3"});
    ASSERT_EQ(made.status, 0) << made.err;
    std::set<std::string> written;
    for (const script::Task& task : script::tasks) {
        prepareTask(task, dir);
        ASSERT_TRUE(support::runTask(task.name));
        for (const auto& m : host::state().messages) ASSERT_NE(m.rfind("Error: ", 0), 0u) << task.name << ": " << m;
        for (const auto& map : host::state().savedMaps) written.insert(getFileName(map.name));
        std::vector<std::string> asked, declared = {"zrGetStringParameter task"};
        for (const std::string& call : host::state().calls)
            for (const char* function : {"zrGetFloatParameter ", "zrGetIntParameter ", "zrGetStringParameter ", "zrSetStringParameter "})
                if (call.rfind(function, 0) == 0) asked.push_back(call);
        for (const script::Parameter& p : task.parameters) {
            declared.push_back(std::string(script::hostFunction(p)) + " " + p.name);
            EXPECT_NE(page.find(std::string("<tr id=\"parameter-") + task.name + "-" + p.name + "\"><td><code>" + p.name + "</code>"),
                      std::string::npos)
                << p.name << " of " << task.name << " is not on the page";
            EXPECT_NE(readme.find(std::string("| `") + p.name + "`"), std::string::npos) << p.name << " is not in the README";
        }
        EXPECT_EQ(asked, declared) << task.name << ": asked for, against its declaration";
    }
    for (const auto& entry : fs::directory_iterator(dir)) written.insert(entry.path().filename().string());
    for (const char* input : {"run1.fmr", "run1.stc", "run1_3DMC.sdm"}) written.erase(input);
    EXPECT_TRUE(written.count("run1_3DMC_spikes.sdm")) << "the run is meant to have spikes at 0.5 mm";
    std::set<std::string> documented;
    for (const std::string& table : elements(page, "<table class=\"files\"", "</table>"))
        for (const std::string& row : elements(table, "<tr><td><code>", "</code>")) documented.insert(unescape(row));
    EXPECT_EQ(written, documented);
}

// ================================================================ the page itself

namespace {

// What makes a page load something or run something.
void expectSelfContained(const std::string& html, const std::string& what)
{
    std::string lower = html;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const char* banned : {"<script", "<iframe", "<object", "<embed", "<link", "<base", "http-equiv", "@import",
                               "://"})
        EXPECT_EQ(lower.find(banned), std::string::npos) << what << " holds " << banned;
    EXPECT_FALSE(std::regex_search(lower, std::regex(R"(\son[a-z]+=)"))) << what << ": an event handler attribute";
    for (const char* attribute : {"href", "src", "srcset", "action", "poster", "data", "xlink:href"})
        for (const std::string& value : attributeValues(html, attribute))
            EXPECT_TRUE(value.rfind("#", 0) == 0 || value.rfind("data:", 0) == 0)
                << what << ": " << attribute << "=\"" << value << "\" points outside the page";
    for (const std::string& value : elements(lower, "url(", ")"))
        EXPECT_TRUE(value.rfind("#", 0) == 0 || value.rfind("data:", 0) == 0 || value.rfind("'data:", 0) == 0 ||
                    value.rfind("\"data:", 0) == 0)
            << what << ": url(" << value << ")";
}

// Every in-page link (#name) names an element id, and no id is given twice.
std::set<std::string> expectLinksResolve(const std::string& html, const std::string& what)
{
    std::set<std::string> ids;
    for (const std::string& id : attributeValues(html, "id")) EXPECT_TRUE(ids.insert(id).second) << what << ": id " << id << " twice";
    std::size_t links = 0;
    for (const std::string& href : attributeValues(html, "href")) {
        if (href.rfind("#", 0) != 0) continue;
        ++links;
        EXPECT_TRUE(ids.count(unescape(href.substr(1)))) << what << ": link " << href << " leads nowhere";
    }
    for (const std::string& value : elements(html, "url(#", ")"))
        EXPECT_TRUE(ids.count(value)) << what << ": url(#" << value << ") leads nowhere";
    EXPECT_GE(links, 20u) << what;
    return ids;
}

} // namespace

TEST(HelpPageFile, SelfContainedAndEveryInPageLinkResolvesAsChromiumParsesIt)
{
    const std::string source = withoutComments(helpPage());
    expectSelfContained(source, "the page");
    const std::set<std::string> ids = expectLinksResolve(source, "the page");

    // Chromium's own parse: markup that swallows part of the page (an
    // unclosed comment or attribute) loses its ids there.
    const std::string browser = "/usr/bin/chromium";
    ASSERT_TRUE(fs::exists(browser)) << "Debian's chromium is not installed (make deps installs it)";
    const fs::path dir = support::tempDir("chromium");
    const auto quoted = [](const std::string& text) { return "'" + text + "'"; };
    const std::string command = "timeout -k 5 120 " + browser +
                                " --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking --user-data-dir=" +
                                quoted((dir / "profile").string()) + " --dump-dom " + quoted(std::string("file://") + TREMORA_HELP_PAGE) +
                                " >" + quoted((dir / "dom.html").string()) + " 2>" + quoted((dir / "stderr.txt").string());
    ASSERT_EQ(std::system(command.c_str()), 0) << support::readFile(dir / "stderr.txt");
    const std::string dom = withoutComments(support::readFile(dir / "dom.html"));
    ASSERT_NE(dom.find("<title>Tremora"), std::string::npos) << "chromium did not load the page";
    expectSelfContained(dom, "chromium's document");
    EXPECT_EQ(expectLinksResolve(dom, "chromium's document"), ids);
}
