// The host's pictures and maps: plot windows as SVG, saved maps as NIfTI
// read back with nifti_clib.
#include <dlfcn.h>
#include <nifti1_io.h>
#include <zlib.h>

#include <cmath>
#include <memory>
#include <regex>

#include "mapfile.h"
#include "nifti.h"
#include "testing.h"

using support::HostTest;
using support::hostFunction;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> all(const std::string& text, const std::string& pattern)
{
    std::vector<std::string> found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        found.push_back((*it)[1].str());
    return found;
}

// A saved map read with nifti_clib.
using NiftiImage = std::unique_ptr<nifti_image, decltype(&nifti_image_free)>;

NiftiImage readNifti(const std::string& path)
{
    nifti_set_debug_level(0);
    NiftiImage image(nifti_image_read(path.c_str(), 1), nifti_image_free);
    if (image == nullptr || image->data == nullptr) throw std::runtime_error("cannot read " + path);
    return image;
}

} // namespace

class Pictures : public HostTest {};

TEST_F(Pictures, OnePolylinePerLineMappedIntoThePlotArea)
{
    hostState().plotFolder = support::tempDir("pictures").string();
    std::vector<float> x = {1, 2, 3, 4, 5}, a = {0, 1, 2, 1, 0}, b = {-1, -1, 5, -1, -1};
    const int plot = hostFunction<int (int, float*, float*, const char*)>("zrPlotLine")(5, x.data(), a.data(), "first <a&b>");
    hostFunction<void (int, int, float*, float*, const char*)>("zrAddLineToPlot")(plot, 5, x.data(), b.data(), "second");
    hostFunction<void (int, int, int, int, int, int, int)>("zrSetPlotLineSizeAndColor")(plot, 0, 2, 255, 0, 0, 0);
    hostFunction<void (int, int, int, int, int, int, int)>("zrSetPlotLineSizeAndColor")(plot, 1, 3, 250, 250, 250, 0);
    hostFunction<void (int, int, int)>("zrShowPlotLegend")(plot, 1, 3);
    hostFunction<void (int, const char*)>("zrSetPlotTitle")(plot, "..run/1: motion \"x\"");
    hostFunction<void (int, int, int)>("zrResizePlot")(plot, 800, 350);
    hostFunction<void (int, float, float)>("zrSetPlotYAxisRange")(plot, -2.0f, 2.0f);
    EXPECT_TRUE(hostState().plots.at(plot).file.empty()) << "nothing is drawn before the window is shown";
    hostFunction<void (int, int, int)>("zrShowPlotAtPosition")(plot, 50, 50);

    const std::string file = hostState().plots.at(plot).file;
    EXPECT_EQ(fs::path(file).filename(), "run_1__motion__x_.svg");
    const std::string svg = support::readFile(file);
    EXPECT_NE(svg.find("width=\"800\" height=\"350\""), std::string::npos);
    EXPECT_NE(svg.find("run/1: motion &quot;x&quot;"), std::string::npos) << "the title, escaped";
    EXPECT_NE(svg.find("first &lt;a&amp;b&gt;"), std::string::npos) << "legend names are escaped";
    EXPECT_EQ(svg.find("<a&b>"), std::string::npos);

    const auto strokes = all(svg, "<polyline class=\"line\" stroke=\"([^\"]+)\"");
    ASSERT_EQ(strokes.size(), 2u);
    EXPECT_EQ(strokes[0], "#ff0000");
    EXPECT_NE(strokes[1], "#fafafa") << "near-white would vanish on the white background";
    EXPECT_EQ(all(svg, "<polyline class=\"line\" stroke=\"[^\"]+\" stroke-width=\"([0-9]+)\""),
              (std::vector<std::string>{"2", "3"}));

    // The area spans x from the left margin to the legend and y from 2 (top) to -2 (bottom).
    const auto area = all(svg, "<clipPath id=\"area\"><rect ([^/]+)/>");
    ASSERT_EQ(area.size(), 1u);
    const std::regex numbers("x=\"([0-9.]+)\" y=\"([0-9.]+)\" width=\"([0-9.]+)\" height=\"([0-9.]+)\"");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(area[0], m, numbers)) << area[0];
    const double left = std::stod(m[1]), top = std::stod(m[2]), w = std::stod(m[3]), h = std::stod(m[4]);
    const auto points = all(svg, "points=\"([^\"]+)\"");
    ASSERT_EQ(points.size(), 2u);
    std::istringstream first(points[0]);
    std::vector<std::pair<double, double>> xy;
    std::string pair;
    while (first >> pair) xy.emplace_back(std::stod(pair.substr(0, pair.find(','))), std::stod(pair.substr(pair.find(',') + 1)));
    ASSERT_EQ(xy.size(), 5u);
    EXPECT_NEAR(xy[0].first, left, 0.01);
    EXPECT_NEAR(xy[4].first, left + w, 0.01);
    EXPECT_NEAR(xy[0].second, top + h / 2, 0.01) << "y = 0 lies in the middle of -2..2";
    EXPECT_NEAR(xy[2].second, top, 0.01) << "y = 2 is the top edge";
    // The second line reaches 5, beyond the range: it is drawn but clipped.
    EXPECT_NE(svg.find("clip-path=\"url(#area)\""), std::string::npos);
    for (const char* label : {">-2<", ">0<", ">2<"}) EXPECT_NE(svg.find(label), std::string::npos) << label;

    // A window of the same title gets a file of its own; NaN and infinity break its line.
    std::vector<float> gaps = {0, NAN, 1, INFINITY, 2};
    const int again = hostFunction<int (int, float*, float*, const char*)>("zrPlotLine")(5, x.data(), gaps.data(), "gaps");
    hostFunction<void (int, const char*)>("zrSetPlotTitle")(again, "..run/1: motion \"x\"");
    hostFunction<void (int, int, int)>("zrShowPlotAtPosition")(again, 0, 0);
    EXPECT_EQ(fs::path(hostState().plots.at(again).file).filename(), "run_1__motion__x_-2.svg");
    const std::string broken = support::readFile(hostState().plots.at(again).file);
    for (const char* number : {"nan", "inf"}) EXPECT_EQ(broken.find(number), std::string::npos) << number;
    EXPECT_EQ(all(broken, "(<polyline class=\"line\")").size(), 3u) << "the points between NaN and infinity, apart";
}

class Maps : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        dir = support::tempDir("maps");
        auto& run = hostState().run.header;
        run.DimX = 4, run.DimY = 3, run.DimZ = 2;
        run.VoxelSizeX = 2.0f, run.VoxelSizeY = 3.0f, run.VoxelSizeZ = 4.5f;
    }
    // One map through the four map functions, as the plug-in hands it over.
    std::string save(const std::string& name, int type, float t1, float t2, int df1, int df2)
    {
        hostFunction<void ()>("zrCreateMAPForCurrentFMR")();
        MAP_Header header{};
        float** slices = hostFunction<float** (void*)>("zrGetMAPOfCurrentFMR")(&header);
        EXPECT_NE(slices, nullptr);
        EXPECT_EQ(header.DimX, 4);
        for (int z = 0; z < header.DimZ; ++z)
            for (int i = 0; i < header.DimX * header.DimY; ++i) slices[z][i] = static_cast<float>(100 * z + i);
        header.MapType = type, header.Threshold1 = t1, header.Threshold2 = t2, header.DF1 = df1, header.DF2 = df2;
        hostFunction<void (void*)>("zrSetMAPParametersOfCurrentFMR")(&header);
        hostFunction<void (const char*)>("zrSaveMAPsOfCurrentFMR")((dir / name).c_str());
        return hostState().savedMaps.back().file;
    }
    fs::path dir;
};

// A displacement map: a single NIfTI-1 file of floats, x fastest, then y, then
// z; voxel centres symmetric about 0: the first at -(n-1)/2 voxel sizes. An F
// map carries its test and degrees of freedom.
TEST_F(Maps, DisplacementAndFMapsAsNifti)
{
    const std::string file = save("run_3DMC_MaxAbsolute.map", 1, 0.01f, 3.5f, 0, 0);
    EXPECT_EQ(fs::path(file).filename(), "run_3DMC_MaxAbsolute.nii.gz");
    const NiftiImage h = readNifti(file);
    EXPECT_EQ((std::vector<int>{h->nifti_type, h->ndim, h->nx, h->ny, h->nz, h->datatype, h->qform_code > 0, h->sform_code > 0, h->intent_code}),
              (std::vector<int>{NIFTI_FTYPE_NIFTI1_1, 3, 4, 3, 2, NIFTI_TYPE_FLOAT32, 1, 1, 0}));
    EXPECT_EQ((std::vector<float>{h->dx, h->dy, h->dz, h->sto_xyz.m[0][0], h->sto_xyz.m[0][3], h->sto_xyz.m[1][3], h->sto_xyz.m[2][3],
                                  h->cal_min, h->cal_max}),
              (std::vector<float>{2.0f, 3.0f, 4.5f, 2.0f, -3.0f, -3.0f, -2.25f, 0.01f, 3.5f}));
    EXPECT_STREQ(h->descrip, "maximum absolute displacement (mm)");
    ASSERT_EQ(h->nvox, 24u);
    const float* data = static_cast<const float*>(h->data);
    EXPECT_EQ((std::vector<float>{data[0], data[5], data[12 + 7]}), (std::vector<float>{0.0f, 5.0f, 107.0f}));

    const NiftiImage f = readNifti(save("run_detr_Fval_difftask.map", 4, 2.0f, 12.5f, 1, 298));
    EXPECT_EQ((std::vector<float>{float(f->intent_code), f->intent_p1, f->intent_p2}), (std::vector<float>{NIFTI_INTENT_FTEST, 1.0f, 298.0f}));
    EXPECT_STREQ(f->descrip, "F of adding the confound set");
}

// The largest finite voxel of a map, as the group level reads it from each
// run: of the host's own maps, and the same whatever way the file is stored
// (plain, gzip of one member or of two, by another writer); NaN and
// infinities are not voxels' values; a map of integers is refused.
TEST_F(Maps, LargestFiniteVoxelOfAMapHoweverItIsStored)
{
    // 100 z + i written, z < 2 and i < 12: the largest is 111.
    EXPECT_EQ(host::mapFileMaximum(save("run_3DMC_MaxAbsolute.map", 1, 0.0f, 0.0f, 0, 0)), 111.0);

    support::NiftiLayout layout;
    layout.dims = {3, 2, 2, 1};
    layout.ndim = 3;
    const double nan = std::nan(""), inf = INFINITY;
    const std::vector<double> voxels = {0.5, -7.0, nan, 2.25, inf, 1.0, -inf, 3.75, 0.0, 2.5, 1.5, 3.0};
    for (const char* name : {"map.nii", "map.nii.gz"}) {
        support::writeNifti((dir / name).string(), layout, voxels);
        EXPECT_EQ(host::mapFileMaximum((dir / name).string()), 3.75) << name;
    }
    // Two gzip members (what concatenating gzip files gives) hold the same image.
    const std::string plain = support::readFile(dir / "map.nii");
    const auto gzip = [](const std::string& bytes) {
        std::string packed(bytes.size() + 64, '\0');
        z_stream z{};
        deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data())), z.avail_in = uInt(bytes.size());
        z.next_out = reinterpret_cast<Bytef*>(packed.data()), z.avail_out = uInt(packed.size());
        EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        packed.resize(z.total_out);
        deflateEnd(&z);
        return packed;
    };
    support::writeFile(dir / "two.nii.gz", gzip(plain.substr(0, 200)) + gzip(plain.substr(200)));
    EXPECT_EQ(host::mapFileMaximum((dir / "two.nii.gz").string()), 3.75);

    layout.datatype = 4; // int16
    support::writeNifti((dir / "int.nii.gz").string(), layout, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    EXPECT_THROW(host::mapFileMaximum((dir / "int.nii.gz").string()), std::runtime_error);
}
