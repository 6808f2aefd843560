// tremora report: the page's sections, its summary figures against the
// motion measures of the same data, the spike list against the confound
// task's own spike SDM, the embedded pictures (PNGs of the mid slices and
// their masks, read with libpng), and that nothing outside the page is referenced.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <regex>
#include <sstream>

#include "bidsconfounds.h"
#include "motionmeasures.h"
#include "myFMR.h"
#include "mySDM.h"
#include "stringmanipulation.h"
#include "testing.h"
#include "tremora.h"

namespace fs = std::filesystem;

namespace {

fs::path synthRun(const fs::path& dir, const std::string& name, int volumes, int nx, int ny, int nz)
{
    const auto r = support::runCli({"synth", "--out", dir.string(), "--name", name, "--volumes", std::to_string(volumes),
                                    "--dims", std::to_string(nx), std::to_string(ny), std::to_string(nz)});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir / name;
}

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

std::vector<int> integers(const std::string& text)
{
    std::vector<int> out;
    std::istringstream in(text);
    for (int v; in >> v;) out.push_back(v);
    return out;
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

std::string decodeBase64(const std::string& text)
{
    std::string out;
    int bits = 0;
    std::uint32_t value = 0;
    for (char c : text) {
        int d;
        if (c >= 'A' && c <= 'Z') d = c - 'A';
        else if (c >= 'a' && c <= 'z') d = c - 'a' + 26;
        else if (c >= '0' && c <= '9') d = c - '0' + 52;
        else if (c == '+') d = 62;
        else if (c == '/') d = 63;
        else if (c == '=') break;
        else throw std::runtime_error(std::string("not base64: ") + c);
        value = (value << 6) | static_cast<std::uint32_t>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xff);
        }
    }
    return out;
}

struct Picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
};

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

int greyPixels(const Picture& p)
{
    int n = 0;
    for (std::size_t i = 0; i + 2 < p.rgb.size(); i += 3) n += p.rgb[i] == 48 && p.rgb[i + 1] == 48 && p.rgb[i + 2] == 48;
    return n;
}

struct Report {
    support::CliResult result;
    std::string html;
};

Report runReport(const std::vector<std::string>& args, const fs::path& out)
{
    std::vector<std::string> words = {"report", "--out", out.string()};
    words.insert(words.end(), args.begin(), args.end());
    Report r;
    r.result = support::runCli(words);
    if (fs::exists(out)) r.html = support::readFile(out);
    return r;
}

} // namespace

TEST(ReportCommand, SyntheticRunHasEverySectionAndTheFiguresOfItsData)
{
    const fs::path dir = support::tempDir("report_synth");
    const fs::path base = synthRun(dir, "sub01", 90, 20, 18, 9);
    const std::string fmr = base.string() + ".fmr", motion = base.string() + "_3DMC.sdm";
    const Report r = runReport({"--fmr", fmr, "--sdm", motion, "--threshold", "400"}, dir / "qc" / "report.html");
    ASSERT_EQ(r.result.status, 0) << r.result.err;
    ASSERT_FALSE(r.html.empty());
    EXPECT_NE(r.result.out.find("wrote " + (dir / "qc" / "report.html").string()), std::string::npos) << r.result.out;

    for (const char* part : {"id=\"summary\"", "id=\"spikes\"", "id=\"parameters\"", "id=\"displacement\"", "id=\"maps\"",
                             "<svg id=\"plot-translations\"", "<svg id=\"plot-rotations\"", "<svg id=\"plot-fd\"",
                             "<svg id=\"plot-rmsd\"", "id=\"map-max-absolute\"", "id=\"map-mean-relative\"",
                             ">translation (mm)<", ">rotation (degrees)<", ">displacement (mm)<", "volume (counted from 0)",
                             "class=\"colourbar\"", "spike threshold 0.5 mm", "threshold 0.5 mm", "<title>Head motion of sub01.fmr</title>"})
        EXPECT_NE(r.html.find(part), std::string::npos) << part;

    // The summary figures are those of the motion measures on the same data.
    const SDM sdm(motion);
    const MotionParameters parameters = motionParametersFromSDM(sdm);
    const MotionSeriesSummary fd = summarizeSeries(framewiseDisplacement(parameters, 50.0), 0.5);
    const std::vector<float> d = spikeDetectionDisplacement(sdm);
    const MotionSeriesSummary rmsd = summarizeSeries(std::vector<double>(d.begin(), d.end()), double(0.5f));
    const struct {
        const char* id;
        double expected;
    } figures[] = {{"volumes", 90.0},
                   {"fd-mean", fd.mean},
                   {"fd-max", fd.max},
                   {"fd-above", double(fd.above.size())},
                   {"rmsd-mean", rmsd.mean},
                   {"rmsd-max", rmsd.max},
                   {"spike-count", double(rmsd.above.size())},
                   {"spike-percent", rmsd.percentAbove}};
    for (const auto& f : figures) EXPECT_EQ(number(r.html, f.id), f.expected) << f.id; // written with 17 digits: exact

    // The spikes are those the confound task finds: its spike SDM says so.
    const auto confound = support::runCli({"confound", "--sdm", motion, "--sets", "spikes"});
    ASSERT_EQ(confound.status, 0) << confound.err;
    const std::vector<int> spikes = spikeVolumesOfSDM(SDM(addToFileName(motion, "_spikes")));
    ASSERT_FALSE(spikes.empty()) << "the synthetic run has jumps";
    EXPECT_EQ(integers(attribute(r.html, "spike-list", "data-volumes")), spikes);
    EXPECT_EQ(marks(r.html, "plot-fd"), spikes);
    EXPECT_EQ(marks(r.html, "plot-rmsd"), spikes);
    std::string listed;
    for (int s : spikes) listed += (listed.empty() ? "" : ", ") + std::to_string(s);
    EXPECT_NE(r.html.find("): " + listed + "</p>"), std::string::npos) << listed;

    // Six mid slices: axial, coronal, sagittal of each map, as PNGs of the
    // slice's voxels, the voxels outside the mask grey.
    const std::vector<Picture> views = pictures(r.html);
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
        int wrong = 0;
        std::vector<std::pair<float, int>> greens;
        for (int row = 0; row < view.height; ++row)
            for (int col = 0; col < view.width; ++col) {
                const int x = k % 3 == 2 ? 10 : col, y = k % 3 == 0 ? row : k % 3 == 1 ? 9 : col, z = k % 3 == 0 ? 4 : 8 - row;
                const unsigned char* px = &view.rgb[(std::size_t(row) * view.width + col) * 3];
                const bool grey = px[0] == 48 && px[1] == 48 && px[2] == 48;
                wrong += dark(x, y, z) != grey;
                if (!grey) greens.emplace_back(map.at(x, y, z), px[1]);
            }
        EXPECT_EQ(wrong, 0) << "view " << k << ": pixels whose mask state differs from their voxel's";
        std::sort(greens.begin(), greens.end());
        for (std::size_t i = 1; i < greens.size(); ++i)
            ASSERT_LE(greens[i - 1].second, greens[i].second)
                << "view " << k << ": value " << greens[i - 1].first << " is greener than " << greens[i].first;
        EXPECT_LT(greyPixels(view), view.width * view.height) << "view " << k << " shows no voxel of the head";
    }
    // The colour scales end at the maps' largest values, as the displacement task computes them.
    EXPECT_EQ(std::strtod(attribute(r.html, "map-max-absolute", "data-max").c_str(), nullptr), double(maps.maxAbsolute.max()));
    EXPECT_EQ(std::strtod(attribute(r.html, "map-mean-relative", "data-max").c_str(), nullptr), double(maps.meanRelative.max()));

    // Self-contained: no address, script, style sheet or file outside the page.
    // (Base64 data may hold "//": the pictures' data are left out of that search.)
    // (Cut by hand: std::regex recurses once per character and overflows the
    // stack on a picture of a hundred kilobytes, such as the carpet plot.)
    std::string text;
    for (std::size_t at = 0; at < r.html.size();) {
        const std::size_t data = r.html.find("base64,", at);
        text += r.html.substr(at, data == std::string::npos ? std::string::npos : data + 7 - at);
        if (data == std::string::npos) break;
        at = r.html.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=", data + 7);
        if (at == std::string::npos) break;
    }
    for (const char* external : {"http:", "https:", "//", "<script", "<link", "@import", "<iframe", "file:", "<object", "<embed"})
        EXPECT_EQ(text.find(external), std::string::npos) << external;
    for (std::size_t at = r.html.find("src=\""); at != std::string::npos; at = r.html.find("src=\"", at + 1))
        EXPECT_EQ(r.html.compare(at + 5, 5, "data:"), 0) << r.html.substr(at, 40);
    for (std::size_t at = r.html.find("url("); at != std::string::npos; at = r.html.find("url(", at + 1))
        EXPECT_EQ(r.html.compare(at + 4, 1, "#"), 0) << r.html.substr(at, 40);
    for (std::size_t at = r.html.find("href="); at != std::string::npos; at = r.html.find("href=", at + 1))
        EXPECT_EQ(r.html.compare(at + 6, 1, "#"), 0) << r.html.substr(at, 40);

    // Nothing but the page is written.
    EXPECT_FALSE(fs::exists(base.string() + "_3DMC_MaxAbsolute.nii.gz"));
}

TEST(ReportCommand, OptionsTitleThresholdsAndWarnings)
{
    const fs::path dir = support::tempDir("report_options");
    const fs::path base = synthRun(dir, "r", 40, 12, 12, 6);
    const std::string fmr = base.string() + ".fmr", motion = base.string() + "_3DMC.sdm";

    Report r = runReport({"--fmr", fmr, "--sdm", motion, "--title", "sub <01> & \"rest\"", "--spike-threshold", "0.05",
                          "--fd-threshold", "0.2", "--radius-fd", "80"},
                         dir / "a.html");
    ASSERT_EQ(r.result.status, 0) << r.result.err;
    EXPECT_NE(r.html.find("<h1>sub &lt;01&gt; &amp; &quot;rest&quot;</h1>"), std::string::npos);
    EXPECT_NE(r.html.find("spike threshold 0.05 mm"), std::string::npos);
    const SDM sdm(motion);
    const MotionSeriesSummary fd = summarizeSeries(framewiseDisplacement(motionParametersFromSDM(sdm), 80.0), 0.2);
    EXPECT_EQ(number(r.html, "fd-mean"), fd.mean);
    EXPECT_EQ(number(r.html, "fd-above"), double(fd.above.size()));
    const std::vector<int> spikes = spikeVolumes(spikeDetectionDisplacement(sdm), 0.05f);
    EXPECT_EQ(integers(attribute(r.html, "spike-list", "data-volumes")), spikes);
    EXPECT_EQ(r.html.find("class=\"warning\""), std::string::npos);

    // A motion SDM of another length: the page says so.
    const fs::path other = synthRun(dir / "other", "o", 30, 12, 12, 6);
    r = runReport({"--fmr", fmr, "--sdm", other.string() + "_3DMC.sdm", "--spike-threshold", "100"}, dir / "b.html");
    ASSERT_EQ(r.result.status, 0) << r.result.err;
    EXPECT_NE(r.html.find("class=\"warning\""), std::string::npos);
    EXPECT_NE(r.result.err.find("30 volumes, the run 40"), std::string::npos) << r.result.err;
    EXPECT_NE(r.html.find("No volume has a relative RMS displacement above 100 mm."), std::string::npos);
    EXPECT_EQ(attribute(r.html, "spike-list", "data-volumes"), "");
    EXPECT_TRUE(marks(r.html, "plot-fd").empty());
}

TEST(ReportCommand, RealMotionTrace)
{
    // The real trace (rot x, y, z rad, then trans x, y, z mm) as the motion of a synthetic run of as many volumes.
    std::ifstream in(support::sharedData("mcflirt_movpar.txt"));
    SDM sdm;
    std::vector<std::vector<float>> columns(6);
    for (double v[6]; in >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5];)
        for (int k = 0; k < 3; ++k) {
            columns[std::size_t(k)].push_back(float(v[3 + k]));
            columns[std::size_t(3 + k)].push_back(float(v[k] * 180.0 / std::numbers::pi));
        }
    ASSERT_EQ(columns[0].size(), 365u);
    sdm.NrOfDataPoints = 365;
    for (int k = 0; k < 6; ++k) sdm.AddPredictor(columns[std::size_t(k)], "p" + std::to_string(k), 255, 0, 0);
    const fs::path dir = support::tempDir("report_real");
    const fs::path base = synthRun(dir, "real", 365, 10, 10, 5);
    sdm.SaveAs(base.string() + "_3DMC.sdm");

    const Report r = runReport({"--fmr", base.string() + ".fmr", "--sdm", base.string() + "_3DMC.sdm", "--spike-threshold", "0.2"},
                               dir / "real.html");
    ASSERT_EQ(r.result.status, 0) << r.result.err;
    const SDM saved(base.string() + "_3DMC.sdm");
    EXPECT_EQ(integers(attribute(r.html, "spike-list", "data-volumes")),
              spikeVolumes(spikeDetectionDisplacement(saved), 0.2f));
    // The peer tool's largest framewise displacement; six printed digits
    // and the SDM's six decimals of degrees keep them within 1e-5 mm.
    std::ifstream peer(support::sharedData("fsl_motion_outliers_fd.txt"));
    double peerMax = 0, peerSum = 0;
    for (double v; peer >> v;) peerMax = std::max(peerMax, v), peerSum += v;
    EXPECT_NEAR(number(r.html, "fd-max"), peerMax, 1e-5);
    EXPECT_NEAR(number(r.html, "fd-mean"), peerSum / 365.0, 1e-5);
    EXPECT_EQ(number(r.html, "volumes"), 365.0);
}
