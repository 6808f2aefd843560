// tremora report: the page's sections, its summary figures against the
// motion measures of the same data, the spike list against the confound
// task's spike rule, the embedded pictures (PNGs of the mid slices and
// their masks, read with libpng), and that nothing outside the page is referenced.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "bidsconfounds.h"
#include "confoundsummary.h"
#include "motionmeasures.h"
#include "myFMR.h"
#include "mySDM.h"
#include "nifti.h"
#include "testing.h"
#include "tremora.h"

using namespace qc; // the quality-control library (code/qc)

namespace fs = std::filesystem;

namespace {

// The value of attribute `attribute` of the element with the given id.
std::string attribute(const std::string& html, const std::string& id, const std::string& attribute)
{
    const std::size_t at = html.find("id=\"" + id + "\"");
    if (at == std::string::npos) return "(no element " + id + ")";
    const std::size_t tagStart = html.rfind('<', at), tagEnd = html.find('>', at);
    const std::string tag = html.substr(tagStart, tagEnd - tagStart);
    const std::size_t a = tag.find(" " + attribute + "=\"");
    if (a == std::string::npos) return "(no attribute " + attribute + " on " + id + ")";
    const std::size_t start = a + attribute.size() + 3;
    return tag.substr(start, tag.find('"', start) - start);
}

double number(const std::string& html, const std::string& id)
{
    const std::string text = attribute(html, id, "data-value");
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    EXPECT_TRUE(end != text.c_str() && *end == '\0') << id << ": " << text;
    return v;
}

// The volumes a plot marks as spikes.
std::vector<int> marks(const std::string& html, const std::string& plotId)
{
    const std::size_t start = html.find("<svg id=\"" + plotId + "\"");
    if (start == std::string::npos) return {-1};
    const std::string svg = html.substr(start, html.find("</svg>", start) - start);
    std::vector<int> out;
    const std::regex mark("class=\"mark\" data-volume=\"([0-9]+)\"");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), mark); it != std::sregex_iterator(); ++it)
        out.push_back(std::stoi((*it)[1]));
    return out;
}

const std::string Base64Digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string decodeBase64(const std::string& text)
{
    std::string out;
    int bits = 0;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c == '=') break;
        const std::size_t d = Base64Digits.find(c);
        if (d == std::string::npos) throw std::runtime_error(std::string("not base64: ") + c);
        value = (value << 6) | std::uint32_t(d);
        if ((bits += 6) >= 8) out += char((value >> (bits -= 8)) & 0xff);
    }
    return out;
}

struct Picture { int width = 0, height = 0; std::vector<unsigned char> rgb; };

// Reads a PNG with libpng, which checks the signature, the chunks' CRCs and
// the compressed data; the picture must be stored as 8-bit RGB, so that its
// pixels are the report's colours as they were written.
Picture readPng(const std::string& png)
{
    Picture p;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) {
        ADD_FAILURE() << "not a PNG: " << image.message;
        return p;
    }
    EXPECT_EQ(image.format, png_uint_32(PNG_FORMAT_RGB)) << "8-bit RGB";
    image.format = PNG_FORMAT_RGB;
    p.width = int(image.width), p.height = int(image.height);
    p.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr)) ADD_FAILURE() << "broken PNG: " << image.message;
    return p;
}

// Every picture embedded in the page, in order.
std::vector<Picture> pictures(const std::string& html)
{
    std::vector<Picture> out;
    const std::string prefix = "src=\"data:image/png;base64,";
    for (std::size_t at = html.find(prefix); at != std::string::npos; at = html.find(prefix, at + 1)) {
        const std::size_t start = at + prefix.size();
        out.push_back(readPng(decodeBase64(html.substr(start, html.find('"', start) - start))));
    }
    return out;
}

} // namespace

// A synthetic run with jumps, the options' thresholds and title given.
TEST(ReportCommand, SyntheticRunHasTheFiguresOfItsDataAndItsPictures)
{
    const fs::path dir = support::tempDir("report_synth"), base = dir / "sub01", page = dir / "qc" / "report.html";
    const auto made = support::runCli({"synth", "--out", dir.string(), "--name", "sub01", "--volumes", "90", "--dims", "20", "18", "9"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string fmr = base.string() + ".fmr", motion = base.string() + "_3DMC.sdm";
    const auto r = support::runCli({"report", "--out", page.string(), "--fmr", fmr, "--sdm", motion, "--threshold", "400", "--title", "sub <01> & \"rest\"",
                                    "--spike-threshold", "0.3", "--fd-threshold", "0.2", "--radius-fd", "80"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string html = support::readFile(page);
    for (const char* part : {"<h1>sub &lt;01&gt; &amp; &quot;rest&quot;</h1>", "spike threshold 0.3 mm", "<svg id=\"plot-translations\"",
                             "<svg id=\"plot-rotations\"", "class=\"colourbar\""})
        EXPECT_NE(html.find(part), std::string::npos) << part;
    EXPECT_EQ(html.find("class=\"warning\""), std::string::npos);

    // The summary figures are those of the motion measures on the same data.
    const SDM sdm(motion);
    MotionSeriesSummary fd = summarizeSeries(framewiseDisplacement(motionParametersFromSDM(sdm), 80.0), 0.2);
    // The mean FD as MRIQC's fd_mean: over the volumes from the second on.
    const std::vector<double> fdSeries = framewiseDisplacement(motionParametersFromSDM(sdm), 80.0);
    double sum = 0.0;
    for (std::size_t t = 1; t < fdSeries.size(); ++t) sum += fdSeries[t];
    fd.mean = sum / double(fdSeries.size() - 1);
    const std::vector<float> d = spikeDetectionDisplacement(sdm);
    const MotionSeriesSummary rmsd = summarizeSeries(std::vector<double>(d.begin(), d.end()), double(0.3f));
    const std::pair<const char*, double> figures[] = {{"volumes", 90.0},         {"fd-mean", fd.mean},
                                                      {"fd-max", fd.max},        {"fd-above", double(fd.above.size())},
                                                      {"rmsd-mean", rmsd.mean},  {"rmsd-max", rmsd.max},
                                                      {"spike-count", double(rmsd.above.size())}, {"spike-percent", rmsd.percentAbove}};
    for (const auto& [id, expected] : figures) EXPECT_EQ(number(html, id), expected) << id; // written with 17 digits: exact

    // The spikes are those the confound task finds.
    const std::vector<int> spikes = spikeVolumes(d, 0.3f);
    ASSERT_FALSE(spikes.empty()) << "the synthetic run has jumps";
    EXPECT_EQ(marks(html, "plot-fd"), spikes);
    EXPECT_EQ(marks(html, "plot-rmsd"), spikes);
    std::string listed, spaced;
    for (int s : spikes) {
        listed += (listed.empty() ? "" : ", ") + std::to_string(s);
        spaced += (spaced.empty() ? "" : " ") + std::to_string(s);
    }
    EXPECT_EQ(attribute(html, "spike-list", "data-volumes"), spaced);
    EXPECT_NE(html.find("): " + listed + "</p>"), std::string::npos) << listed;

    // Six mid slices: axial, coronal, sagittal of each map, as PNGs of the
    // slice's voxels, the voxels outside the mask grey.
    const std::vector<Picture> views = pictures(html);
    ASSERT_EQ(views.size(), 7u) << "the six slices, then the carpet plot";
    const int sizes[3][2] = {{20, 18}, {20, 9}, {18, 9}};
    FMR run(fmr, false);
    run.LoadSTCVolume(0);
    const Volume<float>& first = run.Volumes.at(0);
    std::vector<int> mask;
    for (int i = 0; i < first.size(); ++i)
        if (first[i] > 400.0f) mask.push_back(i);
    const auto dark = [&](int x, int y, int z) { return !(first.at(x, y, z) > 400.0f); };
    const DisplacementMaps maps = computeDisplacementMaps(sdm, {20, 18, 9}, {60.0f, 54.0f, 31.5f}, mask);
    for (std::size_t k = 0; k < 6; ++k) {
        const Picture& view = views[k];
        ASSERT_EQ(view.width, sizes[k % 3][0]) << "view " << k;
        ASSERT_EQ(view.height, sizes[k % 3][1]) << "view " << k;
        // Axial: x across, y down (slice z = 4); coronal: x across, z up (y = 9); sagittal: y across, z up (x = 10).
        // The colour scale's green rises with the value: sorted by their
        // voxels' values, the pixels' green must not fall.
        const Volume<float>& map = k < 3 ? maps.maxAbsolute : maps.meanRelative;
        int wrong = 0, greys = 0;
        std::vector<std::pair<float, int>> greens;
        for (int row = 0; row < view.height; ++row)
            for (int col = 0; col < view.width; ++col) {
                const int x = k % 3 == 2 ? 10 : col, y = k % 3 == 0 ? row : k % 3 == 1 ? 9 : col, z = k % 3 == 0 ? 4 : 8 - row;
                const unsigned char* px = &view.rgb[(std::size_t(row) * view.width + col) * 3];
                const bool grey = px[0] == 48 && px[1] == 48 && px[2] == 48;
                wrong += dark(x, y, z) != grey;
                greys += grey;
                if (!grey) greens.emplace_back(map.at(x, y, z), px[1]);
            }
        EXPECT_EQ(wrong, 0) << "view " << k << ": pixels whose mask state differs from their voxel's";
        std::sort(greens.begin(), greens.end());
        for (std::size_t i = 1; i < greens.size(); ++i)
            ASSERT_LE(greens[i - 1].second, greens[i].second)
                << "view " << k << ": value " << greens[i - 1].first << " is greener than " << greens[i].first;
        EXPECT_LT(greys, view.width * view.height) << "view " << k << " shows no voxel of the head";
    }
    // The colour scales end at the maps' largest values, as the displacement task computes them.
    EXPECT_EQ(std::strtod(attribute(html, "map-max-absolute", "data-max").c_str(), nullptr), double(maps.maxAbsolute.max()));
    EXPECT_EQ(std::strtod(attribute(html, "map-mean-relative", "data-max").c_str(), nullptr), double(maps.meanRelative.max()));

    // Self-contained: no address, script, style sheet or file outside the page
    // (the pictures' base64 data, which may hold "//", left out).
    std::string text = html;
    for (std::size_t at; (at = text.find("base64,")) != std::string::npos;)
        text.erase(at, text.find_first_not_of(Base64Digits + "=", at + 7) - at);
    for (const char* external : {"http:", "https:", "//", "<script", "<link", "@import", "<iframe", "file:", "<object", "<embed"})
        EXPECT_EQ(text.find(external), std::string::npos) << external;
    for (const auto& [attribute, start] : {std::pair<std::string, std::string>{"src=\"", "data:"}, {"url(", "#"}, {"href=\"", "#"}})
        for (std::size_t at = text.find(attribute); at != std::string::npos; at = text.find(attribute, at + 1))
            EXPECT_EQ(text.compare(at + attribute.size(), start.size(), start), 0) << text.substr(at, 40);
}

// The map slices carry the anatomical direction each edge faces, from the
// source NIfTI's affine (flipped and permuted axes, a tilt), and the page
// names the run by the files it came from: a BIDS URI within --dataset,
// never the intermediate files.
TEST(ReportCommand, MapSlicesAreLabelledFromTheAffineAndInputsAreNamedByTheirSource)
{
    struct Case {
        std::string name;
        std::array<std::array<float, 4>, 3> affine;
        std::string edges;  // left right top bottom of the axial-, coronal-, sagittal-position views
        std::string planes; // the names of the three views
    };
    const float c = std::cos(0.17f) * 2, s = std::sin(0.17f) * 2; // a tilt of about 10 degrees
    const std::vector<Case> cases = {
        {"radiological (LAS)", {{{-2, 0, 0, 10}, {0, 2, 0, -4}, {0, 0, 2, 3}}}, "RLPA RLSI PASI", "axial coronal sagittal"},
        {"j and k flipped", {{{2, 0, 0, 0}, {0, -2, 0, 0}, {0, 0, -2, 0}}}, "LRAP LRIS APIS", "axial coronal sagittal"},
        {"sagittal slices, tilted: i to A, j to S, k to R",
         {{{0, 0, 2, 0}, {c, -s, 0, 0}, {s, c, 0, 0}}}, "PAIS PARL ISRL", "sagittal axial coronal"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const fs::path dir = support::tempDir("report_axes"), bold = dir / "raw" / "run_bold.nii.gz";
        fs::create_directories(bold.parent_path());
        support::NiftiLayout layout;
        layout.dims = {6, 5, 4, 4};
        layout.pixdim = {1, 2, 2, 2};
        layout.affine = k.affine;
        std::vector<double> voxels(6 * 5 * 4 * 4);
        for (std::size_t i = 0; i < voxels.size(); ++i) voxels[i] = 500 + double(i % 7) * 10 + double(i / 120);
        support::writeNifti(bold.string(), layout, voxels);
        support::writeFile(dir / "raw" / "run.par", "0 0 0 0 0 0\n0.01 0 0 0.2 0 0\n0 0.01 0 0 0.3 0\n0 0 0.02 0 0 0.1\n");
        ASSERT_EQ(support::runCli({"import", "--bold", bold.string(), "--motion", (dir / "raw" / "run.par").string(), "--motion-format", "fsl",
                                   "--out", (dir / "work").string(), "--name", "run"}).status, 0);
        const fs::path page = dir / "page.html";
        const auto r = support::runCli({"report", "--fmr", (dir / "work" / "run.fmr").string(), "--sdm", (dir / "work" / "run_3DMC.sdm").string(),
                                        "--out", page.string(), "--dataset", "raw=" + (dir / "raw").string()});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string html = support::readFile(page);
        std::string edges, planes;
        for (std::size_t at = html.find("data-edges=\""); at != std::string::npos && edges.size() < 14; at = html.find("data-edges=\"", at + 1))
            edges += (edges.empty() ? "" : " ") + html.substr(at + 12, 4);
        const std::string label = "class=\"vlabel\">";
        for (std::size_t at = html.find(label); at != std::string::npos && planes.size() < 40; at = html.find(label, at + 1))
            planes += (planes.empty() ? "" : " ") + html.substr(at + label.size(), html.find(',', at) - at - label.size());
        EXPECT_EQ(edges, k.edges);
        EXPECT_EQ(planes.substr(0, k.planes.size()), k.planes);
        EXPECT_NE(html.find("Run: bids:raw:run_bold.nii.gz ("), std::string::npos);
        EXPECT_NE(html.find("Motion: bids:raw:run.par ("), std::string::npos);
        EXPECT_EQ(html.find(dir.string()), std::string::npos) << "no path of the machine";
        // The carpet's grey scale runs from black at z = -2 to white at z = 2.
        const std::size_t bar = html.find("<g class=\"greyscale\""), end = html.find("</g>", bar);
        ASSERT_NE(bar, std::string::npos);
        std::vector<int> greys;
        const std::string step = "height=\"12\" fill=\"#";
        for (std::size_t at = html.find(step, bar); at < end; at = html.find(step, at + 1))
            greys.push_back(std::stoi(html.substr(at + step.size(), 2), nullptr, 16));
        ASSERT_GE(greys.size(), 10u);
        EXPECT_LT(greys.front(), 16);
        EXPECT_GT(greys.back(), 240);
        EXPECT_TRUE(std::is_sorted(greys.begin(), greys.end()));
        EXPECT_NE(html.find("&#8722;2</text>", bar), std::string::npos);
    }
}


// The columns the summaries read from a confounds table (the group level reads
// one per run), against a reader that splits each row at its tabs: wide rows
// of cells of every length, empty cells, n/a, the last column, a name asked
// twice, and rows too short for a column (which then gets the row's last cell).
TEST(ConfoundsSummary, TableColumnsAsASplittingReaderReadsThem)
{
    const int width = 131;
    std::vector<std::string> header;
    for (int c = 0; c < width; ++c) header.push_back("col" + std::to_string(c));
    std::vector<std::vector<std::string>> rows;
    unsigned seed = 7;
    for (int r = 0; r < 40; ++r) {
        std::vector<std::string> row;
        const int cells = r == 5 ? 1 : r == 9 ? 17 : r == 12 ? 130 : width; // three short rows
        for (int c = 0; c < cells; ++c) {
            seed = seed * 1103515245u + 12345u;
            const int kind = int((seed >> 16) % 7);
            row.push_back(kind == 0 ? "" : kind == 1 ? "n/a" : std::to_string(r) + "." + std::string(std::size_t(kind * 2), '1') +
                                                                  std::to_string(c));
        }
        rows.push_back(row);
    }
    std::string text;
    for (const auto& row : std::vector<std::vector<std::string>>{{header}})
        for (std::size_t c = 0; c < row.size(); ++c) text += row[c] + (c + 1 < row.size() ? "\t" : "\n");
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) text += row[c] + (c + 1 < row.size() ? "\t" : "\n");
    const fs::path file = support::tempDir("columns") / "run_desc-confounds_timeseries.tsv";
    support::writeFile(file, text);

    const std::vector<std::string> names = {"col130", "col0", "col7", "col8", "missing", "col64", "col7", "col129"};
    const tool::TableColumns columns = tool::tableColumns(file, names);
    ASSERT_EQ(columns.size(), names.size());
    EXPECT_FALSE(columns[4]) << "a column the table lacks";
    for (std::size_t n : {0u, 1u, 2u, 3u, 5u, 6u, 7u}) { // col7 asked twice: both get it
        ASSERT_TRUE(columns[n]) << names[n];
        const std::size_t c = std::size_t(std::stoi(names[n].substr(3)));
        ASSERT_EQ(columns[n]->size(), rows.size()) << names[n];
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const std::string& cell = c < rows[r].size() ? rows[r][c] : rows[r].back();
            const double want = cell == "n/a" ? std::nan("") : std::strtod(cell.c_str(), nullptr);
            const double got = (*columns[n])[r];
            EXPECT_TRUE(std::isnan(want) ? std::isnan(got) : got == want) << names[n] << ", row " << r << ": " << got << " for \"" << cell << "\"";
        }
    }
}

// The entries of a confounds sidecar that the summaries read (the group level
// reads one per run): each as a whole parse of the file gives it, escapes and
// numbers included, the others left out; a sidecar that is cut short, is no
// object or is missing gives none.
TEST(ConfoundsSummary, SidecarEntriesAreThoseOfTheWholeFileAndADamagedSidecarGivesNone)
{
    const fs::path dir = support::tempDir("sidecar"), file = dir / "run_desc-confounds_timeseries.json";
    const std::string text = R"({"a_comp_cor_00": {"Method": "aCompCor", "Mask": "combined", "VarianceExplained": 0.1234, "Retained": true},
 "tremora_rmsd": {"Description": "RMS \"displacement\" \u00b5m\ttab", "Spikes": [3, 17, 250], "Threshold": 5e-1},
 "trans_x": {"Units": "mm"},
 "tremora_outlier": {"OutliersBy": ["fd", "dvars"], "Volumes": [], "Nested": {"deep": [1, {"x": null}]}}})";
    support::writeFile(file, text);
    const nlohmann::json whole = nlohmann::json::parse(text);
    const nlohmann::json kept = tool::sidecarEntries(file, {"tremora_rmsd"});
    EXPECT_EQ(kept, (nlohmann::json{{"tremora_outlier", whole["tremora_outlier"]}, {"tremora_rmsd", whole["tremora_rmsd"]}}));
    EXPECT_EQ(tool::sidecarEntries(file), (nlohmann::json{{"tremora_outlier", whole["tremora_outlier"]}}));

    for (const std::string& damaged : {text.substr(0, text.size() / 2), std::string("[1, 2]"), std::string("")}) {
        support::writeFile(file, damaged);
        EXPECT_TRUE(tool::sidecarEntries(file, {"tremora_rmsd"}).is_null()) << damaged;
    }
    EXPECT_TRUE(tool::sidecarEntries(dir / "none.json").is_null());
}
