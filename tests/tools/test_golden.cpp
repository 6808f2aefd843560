// The golden tier: tremora commands on small runs that `tremora synth` makes
// with a fixed seed, their outputs compared with expected files. Each case is a
// folder tests/golden/<case>/ holding the expected files and a file `case`,
// one directive per line ({dir} is the case's temporary folder; # starts a
// comment):
//   setup WORDS...    run before, from the case's folder; must succeed; not compared
//   remove PATH       a path below {dir} removed after the setup
//   run WORDS...      the command compared (stdout and stderr always)
//   status N          its exit status
//   compare PATH      an output below {dir}, compared with the file of its name
//   absent PATH       a path below {dir} that must not exist afterwards
// Numbers agree within a relative 1e-5 or an absolute 1e-6 (printed values and
// float maps; a change of compiler may move the last digits), everything else
// exactly.
//
// GOLDEN_UPDATE=1 ctest -R Golden rewrites the expected files from the
// program's output. A regenerated file is only the program's word on itself:
// check it by eye and against an oracle (the library suites' references, the
// peer data) before it is committed. The numbers the science relies on are
// tested against independent oracles in the library suites, not here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "nifti.h"
#include "testing.h"

namespace fs = std::filesystem;

namespace {

constexpr double RelativeTolerance = 1e-5, AbsoluteTolerance = 1e-6;

const fs::path GoldenDir = fs::path(TREMORA_SOURCE_DIR) / "tests" / "golden";

struct Case {
    std::string name;
    std::vector<std::vector<std::string>> setup;
    std::vector<std::string> command;
    int status = 0;
    std::vector<std::string> files, absent, removed;
};

Case readCase(const fs::path& folder)
{
    Case c;
    c.name = folder.filename().string();
    std::istringstream lines(support::readFile(folder / "case"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string key, word;
        std::vector<std::string> words;
        in >> key;
        while (in >> word) words.push_back(word);
        if (key.empty() || key[0] == '#') continue;
        if (key == "setup") c.setup.push_back(words);
        else if (key == "run") c.command = words;
        else if (key == "status" && words.size() == 1) c.status = std::stoi(words[0]);
        else if (key == "compare" && words.size() == 1) c.files.push_back(words[0]);
        else if (key == "absent" && words.size() == 1) c.absent.push_back(words[0]);
        else if (key == "remove" && words.size() == 1) c.removed.push_back(words[0]);
        else throw std::runtime_error(c.name + "/case: cannot read \"" + line + "\"");
    }
    if (c.command.empty()) throw std::runtime_error(c.name + "/case: no run line");
    return c;
}

std::vector<Case> cases()
{
    std::vector<Case> all;
    for (const auto& entry : fs::directory_iterator(GoldenDir))
        if (fs::exists(entry.path() / "case")) all.push_back(readCase(entry.path()));
    std::sort(all.begin(), all.end(), [](const Case& a, const Case& b) { return a.name < b.name; });
    return all;
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

std::vector<std::string> substituted(std::vector<std::string> words, const fs::path& dir)
{
    for (auto& w : words)
        for (std::size_t at; (at = w.find("{dir}")) != std::string::npos;) w.replace(at, 5, dir.string());
    return words;
}

std::string withPlaceholder(std::string text, const fs::path& dir)
{
    for (std::size_t at; (at = text.find(dir.string())) != std::string::npos;) text.replace(at, dir.string().size(), "{dir}");
    return text;
}

bool asNumber(const std::string& word, double& value)
{
    char* end = nullptr;
    value = std::strtod(word.c_str(), &end);
    return !word.empty() && *end == '\0' && std::isfinite(value);
}

bool close(double actual, double expected)
{
    return std::fabs(actual - expected) <= AbsoluteTolerance + RelativeTolerance * std::fabs(expected);
}

// Texts agree line by line, word by word (blanks and tabs apart), numbers
// within the tolerances; the first difference is returned, empty if none.
std::string textDifference(const std::string& actual, const std::string& expected)
{
    std::istringstream a(actual), e(expected);
    std::string la, le;
    for (int line = 1;; ++line) {
        const bool moreA = bool(std::getline(a, la)), moreE = bool(std::getline(e, le));
        if (!moreA && !moreE) return "";
        if (moreA != moreE) return "line " + std::to_string(line) + ": " + (moreA ? "extra line " + la : "missing line " + le);
        std::istringstream wa(la), we(le);
        std::string xa, xe;
        for (;;) {
            const bool wordA = bool(wa >> xa), wordE = bool(we >> xe);
            if (!wordA && !wordE) break;
            double na = 0, ne = 0;
            const bool same = wordA && wordE && (xa == xe || (asNumber(xa, na) && asNumber(xe, ne) && close(na, ne)));
            if (!same) return "line " + std::to_string(line) + ":\n  got      " + la + "\n  expected " + le;
        }
    }
}

std::string mapDifference(const fs::path& actual, const fs::path& expected)
{
    std::array<int, 3> da{}, de{};
    const std::vector<float> a = support::readFloatNifti(actual.string(), &da), e = support::readFloatNifti(expected.string(), &de);
    if (da != de || a.size() != e.size()) return "other dimensions";
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!close(a[i], e[i])) return "voxel " + std::to_string(i) + ": " + std::to_string(a[i]) + ", expected " + std::to_string(e[i]);
    return "";
}

bool isMap(const fs::path& p) { return p.string().ends_with(".nii.gz") || p.extension() == ".nii"; }

} // namespace

class Golden : public ::testing::TestWithParam<Case> {};

TEST_P(Golden, OutputsMatchTheExpectedFiles)
{
    const Case& c = GetParam();
    const fs::path dir = support::tempDir("golden-" + c.name), expected = GoldenDir / c.name;
    for (const auto& words : c.setup) {
        const auto r = support::runCli(substituted(words, dir));
        ASSERT_EQ(r.status, 0) << r.err;
    }
    for (const auto& p : c.removed) ASSERT_TRUE(fs::remove_all(dir / p)) << p;
    const auto r = support::runCli(substituted(c.command, dir));
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const auto& p : c.absent) EXPECT_FALSE(fs::exists(dir / p)) << p << " was written";
    std::vector<std::pair<std::string, fs::path>> outputs = {{"stdout", ""}, {"stderr", ""}};
    for (const auto& f : c.files) outputs.emplace_back(fs::path(f).filename().string(), dir / f);
    const bool update = std::getenv("GOLDEN_UPDATE") != nullptr;
    if (update) fs::create_directories(expected);
    for (const auto& [name, path] : outputs) {
        SCOPED_TRACE(c.name + "/" + name);
        ASSERT_TRUE(path.empty() || fs::exists(path)) << "not written: " << path;
        const std::string text = name == "stdout"   ? withPlaceholder(r.out, dir)
                                 : name == "stderr" ? withPlaceholder(r.err, dir)
                                 : isMap(path)      ? std::string()
                                                    : withPlaceholder(support::readFile(path), dir);
        if (update) {
            if (isMap(path)) fs::copy_file(path, expected / name, fs::copy_options::overwrite_existing);
            else support::writeFile(expected / name, text);
            continue;
        }
        ASSERT_TRUE(fs::exists(expected / name)) << "no expected file; GOLDEN_UPDATE=1 writes it";
        EXPECT_EQ(isMap(path) ? mapDifference(path, expected / name) : textDifference(text, support::readFile(expected / name)), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, Golden, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });
