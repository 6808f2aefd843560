// The tremora program under bad use, cases generated from the commands'
// declarations: the parser refuses each with one line naming the option and
// takes the values just inside. A sample, and unusable paths for every path a
// command takes, go through the program: one line on standard error, status 2
// for bad use and 1 for work that cannot be done, nothing written, no wait.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "cli.h"
#include "commands.h"
#include "nifti.h"
#include "testing.h"

namespace fs = std::filesystem;

namespace {

// A program that waits on a pipe is stopped after this many seconds.
constexpr int TimeLimit = 30;

const std::vector<cli::Command>& commands()
{
    [[maybe_unused]] static const bool added = (tool::addAllCommands(), true);
    return cli::commands();
}

// Where the generated command lines point their paths: nothing may appear here.
const fs::path& scratch()
{
    static const fs::path dir = support::tempDir("baduse-scratch");
    return dir;
}

std::string joined(const std::vector<std::string>& words)
{
    std::string s = "tremora";
    for (const auto& w : words) s += " " + (w.size() > 80 ? w.substr(0, 40) + "...(" + std::to_string(w.size()) + " bytes)" : w);
    return s;
}

std::string numberText(double v)
{
    std::ostringstream out;
    out.precision(15);
    out << v;
    return out.str();
}

// Options whose values follow a rule of their own: a value that follows it and one that does not.
const std::map<std::string, std::pair<std::string, std::string>> kRuleExamples = {
    {"--name", {"run1", "a/b"}}, {"--param", {"create_detrended=1", "novalue"}}, {"--host-version", {"2.8.0", "2.8.x"}}, {"--fmriprep-version", {"25.0", "latest"}}};

// A value the declaration takes.
std::string goodValue(const cli::Option& o)
{
    if (auto it = kRuleExamples.find(o.name); it != kRuleExamples.end()) return it->second.first;
    switch (o.kind) {
    case cli::Kind::Number:
    case cli::Kind::Integer:
        if (!o.defaultText.empty()) return o.defaultText.substr(0, o.defaultText.find(' '));
        if (o.min) return numberText(o.min->value + (o.min->inclusive ? 0 : 1));
        return "1";
    case cli::Kind::Path: return (scratch() / ("p" + o.name.substr(2))).string();
    case cli::Kind::List:
    case cli::Kind::Text: return o.choices.empty() ? "x" : o.choices.front();
    case cli::Kind::Flag: return "";
    }
    return "";
}

// The option with `count` good values.
std::vector<std::string> given(const cli::Option& o)
{
    std::vector<std::string> words = {o.name};
    if (o.kind != cli::Kind::Flag) words.insert(words.end(), std::size_t(o.count), goodValue(o));
    return words;
}

// A command line the parser takes: every required positional and option.
std::vector<std::string> baseWords(const cli::Command& c, const std::string& leaveOut = "")
{
    std::vector<std::string> words;
    for (const auto& p : c.positionals)
        if (p.required && p.name != leaveOut) words.push_back(p.kind == cli::Kind::Path ? (scratch() / "positional").string() : "confound");
    for (const auto& o : c.options)
        if (o.required && o.name != leaveOut)
            for (const auto& w : given(o)) words.push_back(w);
    return words;
}

// Values just outside the option's range (refused) and just inside (taken);
// a whole number must fit an int where no range is declared.
std::vector<std::pair<std::string, bool>> edges(const cli::Option& o)
{
    const bool whole = o.kind == cli::Kind::Integer;
    const auto lo = o.min ? o.min : whole ? std::optional(cli::Bound{-double(INT_MAX)}) : std::nullopt;
    const auto hi = o.max ? o.max : whole ? std::optional(cli::Bound{double(INT_MAX)}) : std::nullopt;
    // One for whole numbers, else well above the parser's rounding.
    const double step = whole ? 1.0 : 1e-6;
    std::vector<std::pair<std::string, bool>> values;
    if (lo) values.insert(values.end(), {{numberText(lo->inclusive ? lo->value - step : lo->value), false},
                                         {numberText(lo->inclusive ? lo->value : lo->value + step), true}});
    if (hi) values.insert(values.end(), {{numberText(hi->value + step), false}, {numberText(hi->value), true}});
    return values;
}

// A generated command line and the word its refusal must name (empty: the parser takes it).
struct Case { const cli::Command* command; std::string what; std::vector<std::string> words; std::string names; };

std::vector<Case> generatedCases()
{
    std::vector<Case> cases;
    for (const cli::Command& c : commands()) {
        const auto add = [&](const std::string& what, std::vector<std::string> words, const std::string& names) { cases.push_back({&c, what, std::move(words), names}); };
        // The required words (but the option tried) followed by words.
        const auto with = [&](std::vector<std::string> words, const std::string& tried = "") {
            auto line = baseWords(c, tried);
            line.insert(line.end(), words.begin(), words.end());
            return line;
        };
        add("the required words", baseWords(c), "");
        add("an unknown option", with({"--no-such-option", "1"}), "--no-such-option");
        for (const auto& p : c.positionals) {
            if (p.required) add("missing positional", baseWords(c, p.name), p.name);
            if (p.kind == cli::Kind::Path) {
                // In the positional's own place among the others.
                auto words = baseWords(c, p.name);
                const auto at = std::size_t(&p - c.positionals.data());
                words.insert(words.begin() + std::ptrdiff_t(std::min(at, words.size())), std::string(512, 'p'));
                add("positional over the host's buffers", words, p.name);
            }
        }
        for (const cli::Option& o : c.options) {
            const auto withIt = [&](std::vector<std::string> words) { return with(std::move(words), o.name); };
            if (o.required) add("required left out", baseWords(c, o.name), o.name);
            add("given once", withIt(given(o)), "");
            auto twice = given(o);
            for (const auto& w : given(o)) twice.push_back(w);
            add(o.repeatable ? "repeated" : "given twice", withIt(twice), o.repeatable ? "" : o.name);
            if (o.kind == cli::Kind::Flag) {
                add("a flag with a value", withIt({o.name + "=1"}), o.name);
                continue;
            }
            // Without its value (or its last one), at the end of the line.
            auto missing = given(o);
            missing.pop_back();
            add("missing value", withIt(missing), o.name);
            // A bad value in the last place.
            const auto bad = [&](const std::string& what, const std::string& value, bool refused) {
                auto words = given(o);
                words.back() = value;
                add(what + " '" + value.substr(0, 20) + "'", withIt(words), refused ? o.name : "");
            };
            if (!o.defaultText.empty() && o.kind != cli::Kind::Path) {
                std::vector<std::string> words = {o.name};
                std::istringstream values(o.defaultText);
                for (std::string v; values >> v;) words.push_back(v);
                add("its default", withIt(words), "");
            }
            if (o.kind == cli::Kind::Number || o.kind == cli::Kind::Integer) {
                bad("not a number", "abc", true);
                bad("a number with a unit", goodValue(o) + "mm", true);
                if (o.kind == cli::Kind::Integer) bad("not whole", "1.5", true);
                if (o.kind == cli::Kind::Number) bad("not finite", "nan", true);
                for (const auto& [value, inside] : edges(o)) bad(inside ? "just inside its range" : "just outside its range", value, !inside);
            }
            if (!o.choices.empty()) bad("not a choice", "nonesuch", true);
            if (o.kind == cli::Kind::List) bad("no word", "", true), bad("every word", "all", false);
            if (auto it = kRuleExamples.find(o.name); it != kRuleExamples.end()) bad("against its rule", it->second.second, true);
            if (o.kind == cli::Kind::Path) {
                bad("empty", "", true);
                bad("the longest the host holds", (scratch() / std::string(cli::MaxPathBytes - scratch().string().size() - 1, 'p')).string(), false);
                bad("over the host's buffers", std::string(cli::MaxPathBytes + 1, 'p'), true);
            }
        }
    }
    return cases;
}

// One line on standard error naming `mentions`, the status, nothing on standard output for bad use.
void expectOneLineError(const std::vector<std::string>& args, int status, const std::string& mentions)
{
    SCOPED_TRACE(joined(args));
    const support::CliResult r = support::runCli(args, "", TimeLimit);
    EXPECT_NE(r.status, 124) << "still running after " << TimeLimit << " s";
    EXPECT_EQ(r.status, status) << "stderr: " << r.err;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line ending in a line feed: " << r.err;
    EXPECT_NE(r.err.find(mentions), std::string::npos) << "names " << mentions << ": " << r.err;
    if (status == 2) EXPECT_EQ(r.out, "") << "nothing is done on bad use";
}

} // namespace

TEST(CliBadUse, EveryDeclaredOptionIsCheckedByTheParserAndASampleByTheProgram)
{
    const std::vector<Case> cases = generatedCases();
    std::size_t refusals = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what + ": " + c.command->name + " " + joined(c.words));
        try {
            const cli::Args args = cli::parse(*c.command, c.words);
            EXPECT_TRUE(c.names.empty()) << "taken, but must be refused naming " << c.names;
        } catch (const cli::UsageError& e) {
            const std::string message = e.what();
            EXPECT_FALSE(c.names.empty()) << "refused: " << message;
            EXPECT_NE(message.find(c.names), std::string::npos) << "must name " << c.names << ": " << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << "one line: " << message;
            ++refusals;
        }
    }
    EXPECT_GT(refusals, 300u) << "every command declares its options";
    // The ranges the work relies on are declared.
    const std::vector<std::vector<std::string>> outOfRange = {
        {"confound", "--radius-fd", "0"},       {"report", "--radius-fd", "0"},     {"report", "--fd-threshold", "-0.1"},
        {"report", "--spike-threshold", "-0.1"}, {"process", "--spike-threshold", "-1"}, {"confound", "--censor-after", "-1"},
        {"batch", "--jobs", "0"},               {"synth", "--volumes", "0"},        {"synth", "--dims", "4", "0", "4"},
        {"synth", "--voxel", "3", "3", "0.05"}, {"synth", "--seed", "-1"},          {"import", "--tr", "0"},
        {"import", "--reference-volume", "-1"}, {"confound", "--censor-before", "-1"},
    };
    for (const auto& words : outOfRange) {
        const cli::Command& c = *cli::find(words[0]);
        std::vector<std::string> line = baseWords(c, words[1]);
        line.insert(line.end(), words.begin() + 1, words.end());
        EXPECT_THROW(cli::parse(c, line), cli::UsageError) << joined(words);
    }
    // A sample through the program: one refusal per command, of a kind not sampled yet where it has one.
    const auto kind = [](const Case& c) { return c.what.substr(0, c.what.find(" '")); };
    std::set<std::string> sampled;
    for (const cli::Command& command : commands()) {
        const Case* pick = nullptr;
        for (const Case& c : cases)
            if (c.command == &command && !c.names.empty() && (!pick || sampled.count(kind(*pick)))) pick = &c;
        ASSERT_NE(pick, nullptr) << command.name;
        sampled.insert(kind(*pick));
        std::vector<std::string> args = {command.name};
        args.insert(args.end(), pick->words.begin(), pick->words.end());
        expectOneLineError(args, 2, pick->names);
    }
    expectOneLineError({"frobnicate"}, 2, "unknown command 'frobnicate'");
    EXPECT_TRUE(fs::is_empty(scratch())) << "nothing is written on bad use";
}

namespace {

// The files the path cases need, made once: a synthetic run, a NIfTI run with
// its FSL motion, and the bad things; placeholders for the paths that work.
struct Files { fs::path dir; std::map<std::string, std::string> good; };

const Files& files()
{
    static const Files f = [] {
        Files made;
        const fs::path d = made.dir = support::tempDir("baduse"), ok = d / "ok";
        const auto synth = support::runCli({"synth", "--out", ok.string(), "--dims", "4", "4", "2", "--volumes", "8", "--task-sdm"});
        if (synth.status != 0) throw std::runtime_error("cannot make the test run: " + synth.err);
        made.good = {{"{run}", (ok / "synth.fmr").string()},     {"{motion}", (ok / "synth_3DMC.sdm").string()},
                     {"{task}", (ok / "synth_task.sdm").string()}, {"{plugin}", TREMORA_PLUGIN_PATH},
                     {"{rundir}", ok.string()},                    {"{emptydir}", (d / "norun").string()}};
        for (const char* name : {"plots", "out", "bold.nii", "mc.par", "imported", "report.html", "mask.nii", "result.tsv", "summary.tsv"})
            made.good["{" + fs::path(name).stem().string() + "}"] = (d / name).string();
        made.good["{seg}"] = made.good.at("{mask}"), made.good["{ref}"] = made.good.at("{bold}");
        support::NiftiLayout bold{.dims = {4, 4, 2, 8}, .pixdim = {3, 3, 3, 2}};
        support::writeNifti(made.good.at("{bold}"), bold, std::vector<double>(4 * 4 * 2 * 8, 100.0));
        bold.dims[3] = 1, bold.ndim = 3;
        support::writeNifti(made.good.at("{mask}"), bold, std::vector<double>(4 * 4 * 2, 1.0));
        std::string rows;
        for (int v = 0; v < 8; ++v) rows += "0 0 0 0 0 0\n";
        support::writeFile(made.good.at("{mc}"), rows);
        for (const char* folder : {"norun", "brokenrun"}) fs::create_directories(d / folder);
        support::writeFile(d / "brokenrun" / "r.fmr", "no run document here\n");
        for (const char* copy : {"brokenrun/r_3DMC.sdm", "motion.txt"}) support::writeFile(d / copy, support::readFile(ok / "synth_3DMC.sdm"));
        support::writeFile(d / "afile", "a file, not a folder\n");
        support::writeFile(d / "two.mdm", "FileVersion: 3\n");
        for (const std::string ext : {".sdm", ".fmr", ".nii", ".par", ".so"}) {
            fs::create_directories(d / ("folder" + ext));
            support::writeFile(d / ("garbage" + ext), "nothing of the kind here\n");
            if (::mkfifo((d / ("pipe" + ext)).c_str(), 0666) != 0) throw std::runtime_error("cannot make a pipe");
        }
        return made;
    }();
    return f;
}

std::vector<std::string> withGoodPaths(std::vector<std::string> words)
{
    for (auto& w : words)
        if (auto it = files().good.find(w); it != files().good.end()) w = it->second;
    return words;
}

// How a path is used decides the paths it cannot use (Raw: handed to the host
// as it is; RunDir: process's, whose failure is its summary row; RunDirs:
// checked before any run).
enum class Use { Motion, Sdm, Run, Raw, Library, Folder, Output, Nifti, Table, RunDir, RunDirs };
// A placeholder in `words`, its use, and the positional it stands for (an option: the word before it).
struct Slot { std::string placeholder; Use use; std::string positional = ""; };
struct PathCommand { std::vector<std::string> words; std::vector<Slot> slots; };

const std::vector<PathCommand>& pathCommands()
{
    static const std::vector<PathCommand> all = {
        {{"select", "--fmr", "{run}", "{motion}", "--plugin", "{plugin}"}, {{"{run}", Use::Run}, {"{motion}", Use::Motion, "MOTION"}, {"{plugin}", Use::Library}}},
        {{"confound", "--sdm", "{motion}", "--fmr", "{run}", "--sets", "detr", "--plots", "{plots}", "--tsv", "--plugin", "{plugin}"},
         {{"{motion}", Use::Motion}, {"{run}", Use::Run}, {"{plots}", Use::Folder}, {"{plugin}", Use::Library}}},
        {{"confound", "--sdm", "{motion}", "--fmr", "{run}", "--sets", "detr", "--tsv", "--mask", "{bold}"}, {{"{bold}", Use::Nifti}}},
        {{"confound", "--sdm", "{motion}", "--sets", "detr", "--tsv", "--fmriprep-confounds", "{mc}"}, {{"{mc}", Use::Table}}},
        {{"displacement", "--sdm", "{motion}", "--fmr", "{run}", "--maps", "max-abs", "--plots", "{plots}", "--plugin", "{plugin}"},
         {{"{motion}", Use::Motion}, {"{run}", Use::Run}, {"{plots}", Use::Folder}, {"{plugin}", Use::Library}}},
        {{"analyze", "--fmr", "{run}", "--task-sdm", "{task}", "{motion}"}, {{"{run}", Use::Run}, {"{task}", Use::Sdm}, {"{motion}", Use::Sdm, "CONFOUND.sdm"}}},
        {{"run", "confound", "--fmr", "{run}", "--param", "create_detrended=0", "--plots", "{plots}", "--plugin", "{plugin}"},
         {{"{run}", Use::Raw}, {"{plots}", Use::Folder}, {"{plugin}", Use::Library}}},
        {{"run", "select_3dmcsdm", "--fmr", "{run}", "--choose", "{motion}"}, {{"{motion}", Use::Raw}}},
        {{"synth", "--out", "{out}", "--dims", "4", "4", "2", "--volumes", "8"}, {{"{out}", Use::Folder}}},
        {{"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}"}, {{"{run}", Use::Run}, {"{motion}", Use::Motion}, {"{report}", Use::Output}}},
        {{"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}", "--mask", "{mask}", "--segmentation", "{seg}"}, {{"{mask}", Use::Nifti}, {"{seg}", Use::Nifti}}},
        {{"import", "--bold", "{bold}", "--motion", "{mc}", "--motion-format", "fsl", "--out", "{imported}", "--reference-image", "{ref}"},
         {{"{bold}", Use::Nifti}, {"{mc}", Use::Table}, {"{imported}", Use::Folder}, {"{ref}", Use::Nifti}}},
        {{"process", "{rundir}", "--result", "{result}", "--plugin", "{plugin}"}, {{"{rundir}", Use::RunDir, "RUNDIR"}, {"{result}", Use::Output}, {"{plugin}", Use::Library}}},
        {{"batch", "--jobs", "1", "{rundir}", "--summary", "{summary}", "--plugin", "{plugin}"},
         {{"{rundir}", Use::RunDirs, "RUNDIR"}, {"{summary}", Use::Output}, {"{plugin}", Use::Library}}},
        {{"bids", "{rundir}", "{out}", "participant", "--derivatives", "{emptydir}", "--plugin", "{plugin}", "--list"},
         {{"{rundir}", Use::RunDirs, "BIDS_DIR"}, {"{out}", Use::Folder, "OUTPUT_DIR"}, {"{emptydir}", Use::RunDirs}, {"{plugin}", Use::Library}}},
        {{"synth", "--bids", "{out}", "--participants", "1"}, {{"{out}", Use::Folder}}},
    };
    return all;
}

// The unusable paths for a use, each named in the error.
std::vector<std::string> badPaths(Use use)
{
    const fs::path d = files().dir;
    const auto paths = [](std::initializer_list<fs::path> list) { return std::vector<std::string>(list.begin(), list.end()); };
    switch (use) {
    case Use::Folder: return paths({d / "afile", d / "afile" / "sub"});
    case Use::Output: return paths({d / "folder.sdm", d / "pipe.sdm", d / "afile" / "x.sdm"});
    case Use::RunDir: return paths({d / "missing", d / "afile", d / "pipe.fmr", d / "norun", d / "brokenrun"});
    case Use::RunDirs: return paths({d / "missing", d / "afile", d / "afile" / "sub", d / "pipe.fmr"});
    case Use::Library: return paths({d / "missing.so", d / "garbage.so"});
    case Use::Raw: return paths({d / "folder.fmr", d / "pipe.fmr"});
    default: break;
    }
    const std::string ext = use == Use::Run ? ".fmr" : use == Use::Nifti ? ".nii" : use == Use::Table ? ".par" : ".sdm";
    auto bad = paths({d / ("missing" + ext), d / ("folder" + ext), d / ("pipe" + ext), d / ("garbage" + ext)});
    if (use == Use::Motion) bad.push_back((d / "motion.txt").string());
    return bad;
}

} // namespace

TEST(CliBadUse, UnusablePathsAreOneLineNamingThePath)
{
    std::map<std::string, std::vector<std::string>> covered;
    for (const PathCommand& c : pathCommands())
        for (const Slot& slot : c.slots) {
            covered[c.words[0]].push_back(slot.positional.empty() ? *(std::find(c.words.begin(), c.words.end(), slot.placeholder) - 1) : slot.positional);
            for (const std::string& path : badPaths(slot.use)) {
                std::vector<std::string> words = c.words;
                std::replace(words.begin(), words.end(), slot.placeholder, path);
                expectOneLineError(withGoodPaths(words), 1, path);
            }
        }
    // Every path a command declares is in the table.
    for (const cli::Command& c : commands()) {
        const auto check = [&](const auto& declared) {
            if (declared.kind == cli::Kind::Path)
                EXPECT_GE(std::count(covered[c.name].begin(), covered[c.name].end(), declared.name), 1) << c.name << " " << declared.name << " has no row";
        };
        std::for_each(c.options.begin(), c.options.end(), check), std::for_each(c.positionals.begin(), c.positionals.end(), check);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(files().dir / "ok"), fs::directory_iterator()), 4) << "no task ran on a bad input: only the synthetic run";
    // A check of the run function's own: the report of an MDM of two runs.
    expectOneLineError(withGoodPaths({"report", "--fmr", "{run}", "--sdm", (files().dir / "two.mdm").string(), "--out", "{report}"}), 2,
                       "a report covers one run");
    for (const char* made : {"{plots}", "{imported}", "{report}", "{summary}", "{out}"})
        EXPECT_FALSE(fs::exists(files().good.at(made))) << made << " is written only when every input is good";
}
