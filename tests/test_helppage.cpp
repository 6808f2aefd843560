// The help page (HelpFolder/index.html) against what the tasks do: every
// parameter a task asks the host for is declared and documented, every file it
// writes and every message or log line a user can see is documented, and the
// page, as Chromium parses it, is self-contained with every in-page link
// resolving.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <set>

#include "myMDM.h"
#include "mySDM.h"
#include "run.h"
#include "stringmanipulation.h"
#include "taskparameters.h"
#include "testing.h"

using support::HostTest;
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

// Runs of blanks as one blank, none at either end: the log's line feeds and a
// page's line breaks are not part of what a message says.
std::string normalised(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// The messages the page documents (<code class="message">), each as a pattern
// in which a <var>PLACEHOLDER</var> stands for any text.
std::vector<std::pair<std::string, std::regex>> documentedMessages(const std::string& page)
{
    std::vector<std::pair<std::string, std::regex>> patterns;
    for (const std::string& inner : elements(page, "<code class=\"message\">", "</code>")) {
        std::string pattern, literal;
        std::size_t at = 0, literalLength = 0;
        while (at <= inner.size()) {
            const std::size_t var = inner.find("<var>", at);
            literal = normalised(unescape(inner.substr(at, var - at)));
            literalLength += literal.size();
            pattern += std::regex_replace(literal, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
            if (var == std::string::npos) break;
            pattern += ".+";
            at = inner.find("</var>", var) + 6;
        }
        // A pattern of placeholders alone would document every message.
        EXPECT_GE(literalLength, 10u) << "documented message without text of its own: " << inner;
        patterns.emplace_back(normalised(unescape(inner)), std::regex(pattern));
    }
    return patterns;
}

// A copy of the synthetic run run1.fmr, run1.stc with its motion run1_3DMC.sdm
// (sudden jumps in volumes 3, 5 and 7), made once by the tremora program.
fs::path freshRun()
{
    static const fs::path original = [] {
        const fs::path dir = support::tempDir("synth");
        const auto made = support::runCli({"synth", "--out", dir.string(), "--name", "run1", "--dims", "8", "8",
                                           "6", "--volumes", "12", "--seed", "3"});
        if (made.status != 0) throw std::runtime_error("tremora synth failed: " + made.err);
        return dir;
    }();
    const fs::path dir = support::tempDir("run");
    for (const char* name : {"run1.fmr", "run1.stc", "run1_3DMC.sdm"}) fs::copy_file(original / name, dir / name);
    return dir;
}

// Opens the run in the host and gives every parameter of the task a value
// that makes it do all it can: switches on, thresholds that find brain voxels
// and spikes, the run's motion file.
void prepareTask(const script::Task& task, const fs::path& dir)
{
    host::openRun(host::state(), (dir / "run1.fmr").string());
    host::state().writeMapFiles = false;
    host::state().writePlotFiles = false;
    for (const script::Parameter& p : task.parameters) {
        if (p.direction != script::Direction::Read) continue;
        const std::string name = p.name;
        std::string value = "1";
        if (name == "fmr_threshold") value = "100";
        if (name == "spike_threshold") value = "0.5";
        if (name == "sdmfile") value = (dir / "run1_3DMC.sdm").string();
        host::state().parameters[name] = value;
    }
    host::state().dialogAnswers.emplace_back((dir / "run1_3DMC.sdm").string());
}

std::vector<std::string> errors()
{
    std::vector<std::string> found;
    for (const auto& m : host::state().messages)
        if (m.rfind("Error: ", 0) == 0) found.push_back(m);
    return found;
}

} // namespace

// ================================================================ parameters

class HelpPage : public HostTest {};

TEST_F(HelpPage, EveryParameterATaskAsksForIsDeclaredInOrderAndDocumented)
{
    const std::string page = helpPage();
    const std::string readme = support::readFile(fs::path(TREMORA_SOURCE_DIR) / "README.md");
    for (const script::Task& task : script::tasks) {
        host::reset();
        const fs::path dir = freshRun();
        prepareTask(task, dir);
        ASSERT_TRUE(support::runTask(task.name));
        ASSERT_EQ(errors(), std::vector<std::string>{}) << task.name;

        std::vector<std::string> asked, declared = {"zrGetStringParameter task"};
        for (const std::string& call : host::state().calls)
            for (const char* function :
                 {"zrGetFloatParameter ", "zrGetIntParameter ", "zrGetStringParameter ", "zrSetStringParameter "})
                if (call.rfind(function, 0) == 0) asked.push_back(call);
        for (const script::Parameter& p : task.parameters) {
            declared.push_back(std::string(script::hostFunction(p)) + " " + p.name);
            const std::string row = std::string("<tr id=\"parameter-") + task.name + "-" + p.name +
                                    "\"><td><code>" + p.name + "</code>";
            EXPECT_NE(page.find(row), std::string::npos) << p.name << " of " << task.name << " is not on the page";
            EXPECT_NE(readme.find(std::string("| `") + p.name + "`"), std::string::npos)
                << p.name << " is not in the README's script reference";
        }
        EXPECT_EQ(asked, declared) << "the parameters " << task.name
                                   << " asks the host for, against its declaration in taskparameters.h";
    }
}

// ================================================================ files

TEST_F(HelpPage, FilesWrittenAreTheFilesDocumented)
{
    const fs::path dir = freshRun();
    std::set<std::string> written;
    for (const script::Task* task : {&script::displacementTask, &script::confoundTask}) {
        host::reset();
        prepareTask(*task, dir);
        ASSERT_TRUE(support::runTask(task->name));
        ASSERT_EQ(errors(), std::vector<std::string>{}) << task->name;
        for (const auto& map : host::state().savedMaps) written.insert(getFileName(map.name));
    }
    for (const auto& entry : fs::directory_iterator(dir)) written.insert(entry.path().filename().string());
    for (const char* input : {"run1.fmr", "run1.stc", "run1_3DMC.sdm"}) written.erase(input);
    EXPECT_TRUE(written.count("run1_3DMC_spikes.sdm")) << "the run is meant to have spikes at 0.5 mm";

    // The file tables' first column: every file the page says the tasks write.
    std::set<std::string> documented;
    for (const std::string& table : elements(helpPage(), "<table class=\"files\"", "</table>"))
        for (const std::string& row : elements(table, "<tr><td><code>", "</code>")) documented.insert(unescape(row));
    EXPECT_EQ(written, documented);
}

// ================================================================ messages

TEST_F(HelpPage, MessagesAndLogLinesAreDocumented)
{
    // Each case provokes the message whose text contains `shows`.
    struct Case {
        const char* shows;
        const script::Task* task;
        std::function<void(host::State&, const fs::path&)> setUp;
    };
    const auto answer = [](const fs::path& path) {
        return [path](host::State& s, const fs::path& dir) {
            s.dialogAnswers.clear();
            s.dialogAnswers.emplace_back((dir / path).string());
        };
    };
    const auto motionFile = [](const std::function<void(const fs::path&)>& write) {
        return [write](host::State& s, const fs::path& dir) {
            write(dir / "other_3DMC.sdm");
            s.parameters["sdmfile"] = (dir / "other_3DMC.sdm").string();
        };
    };
    const auto predictors = [](int count, int points) {
        return [count, points](const fs::path& path) {
            SDM sdm;
            sdm.NrOfDataPoints = points;
            for (int p = 0; p < count; ++p) sdm.AddPredictor(std::vector<float>(points, 0.0f), "p", 0, 0, 0);
            sdm.SaveAs(path.string());
        };
    };
    const auto select = &script::selectTask, confound = &script::confoundTask, displacement = &script::displacementTask;
    const Case cases[] = {
        {"version 2.8", select, [](host::State& s, const fs::path&) { s.minor = 7; }},
        {"No current document", select, [](host::State& s, const fs::path&) { s.documentId = -1; }},
        {"not a FMR document", select, [](host::State& s, const fs::path&) { s.documentType = 2; }},
        {"You must choose a valid file!", select,
         [](host::State& s, const fs::path&) { s.dialogAnswers = {std::nullopt}; }},
        {"same number of volumes", select, [](host::State& s, const fs::path&) { s.run.header.NrOfVolumes = 11; }},
        {"neither an SDM", select,
         [&](host::State& s, const fs::path& dir) {
             support::writeFile(dir / "notes.txt", "motion");
             answer("notes.txt")(s, dir);
         }},
        {"lists no study", select,
         [&](host::State& s, const fs::path& dir) {
             MDM().SaveAs((dir / "runs.mdm").string());
             answer("runs.mdm")(s, dir);
         }},
        {"Failed opening for reading", select,
         [](host::State& s, const fs::path& dir) {
             MDM moved;
             moved.DataPaths = {(dir / "old" / "run1.fmr").string()};
             moved.SDMPaths = {(dir / "old" / "run1_3DMC.sdm").string()};
             moved.NrOfStudies = 1;
             moved.SaveAs((dir / "runs.mdm").string());
             s.dialogAnswers = {(dir / "runs.mdm").string(), std::nullopt}; // then cancel the repair
         }},
        {"Invalid SDM file", select,
         [&](host::State& s, const fs::path& dir) {
             support::writeFile(dir / "broken_3DMC.sdm", "NrOfPredictors: six\n");
             answer("broken_3DMC.sdm")(s, dir);
         }},
        {"Invalid MDM file", select,
         [&](host::State& s, const fs::path& dir) {
             support::writeFile(dir / "broken.mdm", "NrOfStudies: two\n");
             answer("broken.mdm")(s, dir);
         }},
        {"No motion SDM selected", confound, [](host::State& s, const fs::path&) { s.parameters["sdmfile"] = ""; }},
        {"Found spike at position", confound, nullptr},
        {"No spikes found", confound, [](host::State& s, const fs::path&) { s.parameters["spike_threshold"] = "1000"; }},
        {"holds 3 predictors", confound, motionFile(predictors(3, 12))},
        {"holds no data points", confound, motionFile(predictors(6, 0))},
        {"Cannot Create file", confound,
         [](host::State&, const fs::path& dir) { fs::create_directory(dir / "run1_3DMC_deriv.sdm"); }},
        {"Saving Maps", displacement, nullptr},
        {"The run document", displacement, [](host::State& s, const fs::path&) { ++s.run.header.DimZ; }},
        {"Failed opening STC for reading", displacement,
         [](host::State&, const fs::path& dir) { fs::remove(dir / "run1.stc"); }},
        {"requested from a run of 0 volumes", displacement,
         [](host::State& s, const fs::path& dir) {
             std::string fmr = support::readFile(dir / "run1.fmr");
             fmr = std::regex_replace(fmr, std::regex("NrOfVolumes: +12"), "NrOfVolumes:           0");
             support::writeFile(dir / "run1.fmr", fmr);
             host::openRun(s, (dir / "run1.fmr").string());
         }},
    };

    const auto documented = documentedMessages(helpPage());
    ASSERT_GE(documented.size(), 20u);
    for (const Case& c : cases) {
        host::reset();
        const fs::path dir = freshRun();
        prepareTask(*c.task, dir);
        if (c.setUp) c.setUp(host::state(), dir);
        support::runTask(c.task->name);

        std::vector<std::string> seen = host::state().messages;
        for (const auto& line : host::state().logCalls) seen.push_back(line);
        for (const auto& dialog : host::state().dialogs) seen.push_back(dialog.title);
        EXPECT_TRUE(std::any_of(seen.begin(), seen.end(),
                                [&](const std::string& s) { return s.find(c.shows) != std::string::npos; }))
            << "the case meant to show '" << c.shows << "' did not";
        for (const std::string& text : seen) {
            const std::string shown = normalised(text);
            if (shown.empty()) continue;
            EXPECT_TRUE(std::any_of(documented.begin(), documented.end(),
                                    [&](const auto& d) { return std::regex_match(shown, d.second); }))
                << "not on the help page: \"" << shown << "\" (case '" << c.shows << "')";
        }
    }
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

std::string chromium()
{
    for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (fs::exists(candidate)) return candidate;
    return "";
}

} // namespace

TEST(HelpPageFile, SelfContainedAndEveryInPageLinkResolvesAsChromiumParsesIt)
{
    const std::string source = withoutComments(helpPage());
    expectSelfContained(source, "the page");
    const std::set<std::string> ids = expectLinksResolve(source, "the page");

    // Chromium's own parse: markup that swallows part of the page (an
    // unclosed comment or attribute) loses its ids there.
    const std::string browser = chromium();
    ASSERT_FALSE(browser.empty()) << "Debian's chromium is not installed (make deps installs it)";
    const fs::path dir = support::tempDir("chromium");
    const auto quoted = [](const std::string& text) { return "'" + text + "'"; };
    const std::string command =
        "timeout -k 5 120 " + browser +
        " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking"
        " --disable-component-update --disable-sync --user-data-dir=" + quoted((dir / "profile").string()) +
        " --log-net-log=" + quoted((dir / "net.json").string()) + " --dump-dom " +
        quoted(std::string("file://") + TREMORA_HELP_PAGE) + " >" + quoted((dir / "dom.html").string()) + " 2>" +
        quoted((dir / "stderr.txt").string());
    ASSERT_EQ(std::system(command.c_str()), 0) << support::readFile(dir / "stderr.txt");
    const std::string dom = withoutComments(support::readFile(dir / "dom.html"));
    ASSERT_NE(dom.find("<title>Tremora"), std::string::npos) << "chromium did not load the page";
    expectSelfContained(dom, "chromium's document");
    EXPECT_EQ(expectLinksResolve(dom, "chromium's document"), ids);

    // What the page made the browser load: requests on behalf of a file://
    // document must stay file: or data: (the browser's own background
    // requests have another isolation key).
    std::istringstream netLog(support::readFile(dir / "net.json"));
    std::size_t events = 0;
    for (std::string line; std::getline(netLog, line);) {
        ++events;
        if (line.find("\"network_isolation_key\":\"file://") == std::string::npos) continue;
        for (const std::string& url : elements(line, "\"url\":\"", "\""))
            EXPECT_TRUE(url.rfind("file:", 0) == 0 || url.rfind("data:", 0) == 0) << "the page loaded " << url;
    }
    EXPECT_GT(events, 10u) << "chromium wrote no network log";
}
