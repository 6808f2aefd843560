// The golden tier: a short table of tremora commands on small runs that
// `tremora synth` makes with a fixed seed, their outputs compared with the
// expected files in tests/golden/<case>/. Numbers agree within a relative
// 1e-5 or an absolute 1e-6 (printed values and float maps; a change of
// compiler may move the last digits), everything else exactly. The temporary
// folder is written as {dir}.
//
// GOLDEN_UPDATE=1 ctest -R Golden rewrites the expected files from the
// program's output. A regenerated file is only the program's word on itself:
// check it by eye and against an oracle (the library suites' references, the
// peer data) before it is committed. The numbers the science relies on are
// tested against independent oracles in the library suites, not here.
#include <gtest/gtest.h>

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
    // Commands run before, from the case's folder, whose outputs are not compared.
    std::vector<std::vector<std::string>> setup;
    std::vector<std::string> command;
    int status;
    std::vector<std::string> files; // outputs compared, below the case's folder
};

// A 30-volume run with jumps and a task design, and the same as a BIDS study.
const std::vector<std::string> Synth = {"synth", "--out", "{dir}/run", "--dims", "8", "8", "4", "--volumes", "30", "--seed", "3",
                                        "--task-sdm"};
const std::vector<std::string> SynthBids = {"synth", "--bids", "{dir}/bids", "--participants", "1", "--seed", "3"};
// One of its runs imported with its fMRIPrep motion.
const std::vector<std::string> ImportBids = {
    "import", "--bold", "{dir}/bids/sub-01/ses-1/func/sub-01_ses-1_task-rest_bold.nii.gz", "--motion",
    "{dir}/bids/derivatives/fmriprep/sub-01/ses-1/func/sub-01_ses-1_task-rest_desc-confounds_timeseries.tsv", "--motion-format",
    "fmriprep", "--out", "{dir}/imported"};

std::vector<std::string> Forced(std::vector<std::string> words)
{
    words.push_back("--force");
    return words;
}

const std::vector<Case>& cases()
{
    static const std::vector<Case> all = {
        {"synth", {}, Synth, 0, {"run/synth.fmr", "run/synth_3DMC.sdm", "run/synth_task.sdm"}},
        {"confound_tsv",
         {Synth},
         {"confound", "--sdm", "{dir}/run/synth_3DMC.sdm", "--fmr", "{dir}/run/synth.fmr", "--sets", "detr,t1,sqr,spikes", "--tsv",
          "--censor-before", "1", "--censor-after", "2"},
         0,
         {"run/synth_3DMC_detr.sdm", "run/synth_3DMC_spikes.sdm", "run/synth_desc-confounds_timeseries.tsv",
          "run/synth_desc-confounds_timeseries.json"}},
        {"displacement",
         {Synth},
         {"displacement", "--sdm", "{dir}/run/synth_3DMC.sdm", "--fmr", "{dir}/run/synth.fmr", "--maps", "all"},
         0,
         {"run/synth_3DMC_MaxAbsolute.nii.gz", "run/synth_3DMC_MeanRelative.nii.gz"}},
        {"analyze",
         {Synth, {"confound", "--sdm", "{dir}/run/synth_3DMC.sdm", "--sets", "detr"}},
         {"analyze", "--fmr", "{dir}/run/synth.fmr", "--task-sdm", "{dir}/run/synth_task.sdm", "{dir}/run/synth_3DMC_detr.sdm"},
         0,
         {}},
        {"run_task",
         {Synth},
         {"run", "confound", "--fmr", "{dir}/run/synth.fmr", "--param", "sdmfile={dir}/run/synth_3DMC.sdm", "--param",
          "create_spikes=1", "--param", "spike_threshold=0.5"},
         0,
         {"run/synth_3DMC_spikes.sdm"}},
        {"run_on_an_old_host", {Synth}, {"run", "nothing", "--fmr", "{dir}/run/synth.fmr", "--host-version", "2.7.9"}, 1, {}},
        {"run_without_a_document", {}, {"run", "confound", "--fmr", "{dir}/missing.fmr"}, 1, {}},
        {"process", {Synth}, {"process", "{dir}/run"}, 0, {"run/synth_desc-confounds_timeseries.tsv"}},
        {"batch_with_a_broken_run",
         {Synth, {"synth", "--out", "{dir}/short", "--dims", "8", "8", "4", "--volumes", "12", "--seed", "4"}},
         // {dir} holds no run of its own.
         {"batch", "--jobs", "1", "--summary", "{dir}/summary.tsv", "{dir}/run", "{dir}/short", "{dir}"},
         1,
         {}},
        {"import_bids_run",
         {SynthBids},
         ImportBids,
         0,
         {"imported/sub-01_ses-1_task-rest_bold.fmr", "imported/sub-01_ses-1_task-rest_bold_3DMC.sdm",
          "imported/sub-01_ses-1_task-rest_bold_3DMC.json"}},
        {"import_over_existing_outputs", {SynthBids, ImportBids}, ImportBids, 1, {}},
        {"import_forced", {SynthBids, ImportBids}, Forced(ImportBids), 0, {}},
        {"report", {Synth}, {"report", "--fmr", "{dir}/run/synth.fmr", "--sdm", "{dir}/run/synth_3DMC.sdm", "--out", "{dir}/qc.html"}, 0, {}},
    };
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
    const auto r = support::runCli(substituted(c.command, dir));
    EXPECT_EQ(r.status, c.status) << r.err;
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
