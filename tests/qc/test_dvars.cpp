// DVARS against a case worked by hand and against nipype's ComputeDVARS (the
// code fMRIPrep runs) on the same NIfTI run and mask.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <sstream>

#include "dvars.h"
#include "myFMR.h"
#include "nifti.h"
#include "testing.h"

using namespace qc; // the quality-control library (code/qc)

namespace fs = std::filesystem;

TEST(DVARS, HandWorkedTwoVoxels)
{
    // All ten values have median 1000, so nothing is scaled.
    // A: 1000 1010 990 1000 1020; quartiles (lower samples of 990 1000 1000
    //    1010 1020) 1000 and 1010; mean 1004, deviations -4 6 -14 -4 16:
    //    Σd² = 520, Σ d_t·d_t+1 = -24 - 84 + 56 - 64 = -116.
    // B: 980 1000 1000 1010 990; quartiles 990 and 1000; mean 996,
    //    deviations -16 4 4 14 -6: Σd² = 520, Σ d_t·d_t+1 = -64 + 16 + 56 - 84 = -76.
    // Differences A: 10 -20 10 20, B: 20 0 10 -20.
    // The same run at half the scale (median 500 is scaled to 1000) and with a
    // constant voxel, which is left out, gives the same numbers.
    const double sd = 10 / 1.349;
    const double hatA = std::sqrt(2 * (1 + 116.0 / 520)) * sd, hatB = std::sqrt(2 * (1 + 76.0 / 520)) * sd;
    const double differences[4][2] = {{10, 20}, {-20, 0}, {10, 10}, {20, -20}};
    const std::vector<std::vector<float>> runs[3] = {{{1000, 1010, 990, 1000, 1020}, {980, 1000, 1000, 1010, 990}},
                                                     {{500, 505, 495, 500, 510}, {490, 500, 500, 505, 495}},
                                                     {{1000, 1010, 990, 1000, 1020}, {980, 1000, 1000, 1010, 990}, {1000, 1000, 1000, 1000, 1000}}};
    for (int r = 0; r < 3; ++r) {
        const DVARS d = computeDVARS(runs[r]);
        EXPECT_TRUE(d.median == (r == 1 ? 500 : 1000) && d.voxels == 2 && d.constant == (r == 2 ? 1 : 0)) << "run " << r;
        ASSERT_EQ(d.dvars.size(), 5u);
        EXPECT_TRUE(d.dvars[0] == 0 && d.standardized[0] == 0) << "run " << r;
        for (int t = 1; t < 5; ++t) {
            const double a = differences[t - 1][0], b = differences[t - 1][1];
            const double plain = std::sqrt((a * a + b * b) / 2);
            EXPECT_NEAR(d.dvars[t], plain, 1e-12) << "run " << r << ", volume " << t;
            EXPECT_NEAR(d.standardized[t], plain / ((hatA + hatB) / 2), 1e-12) << "run " << r << ", volume " << t;
            EXPECT_NEAR(d.voxelwise[t], std::sqrt((a * a / (hatA * hatA) + b * b / (hatB * hatB)) / 2), 1e-12) << "run " << r << ", volume " << t;
        }
    }
    EXPECT_THROW(computeDVARS({{7, 7, 7}}), std::runtime_error);
}

// A voxel's robust spread over series where choosing its quartiles is easy to
// get wrong: many ties, an outlier that dwarfs the rest, two values only, a
// narrow spread at a large magnitude, a wide one, odd and even lengths. With
// one voxel, standardized DVARS is |x[t] - x[t-1]| over its σ̂ whatever the
// scaling; σ̂ here is from a full sort (quartiles as the lower neighbouring
// samples) and the lag-1 autocorrelation.
TEST(DVARS, RobustSpreadOfTiesOutliersAndNarrowRanges)
{
    unsigned seed = 777;
    const auto noise = [&] {
        seed = seed * 1103515245u + 12345u;
        return double((seed >> 8) % 20001) / 10000.0 - 1.0;
    };
    std::vector<std::pair<std::string, std::vector<float>>> cases;
    for (const int n : {41, 500}) {
        std::vector<float> ties, outlier, two, narrow, wide;
        for (int t = 0; t < n; ++t) {
            ties.push_back(float(1000 + (t * 7) % 5 - 2));
            outlier.push_back(t == n / 3 ? 1e9f : float(1000 + 20 * noise()));
            two.push_back((t * t) % 3 == 0 ? 1001.0f : 1000.0f);
            narrow.push_back(1e6f + float(t % 9) * 0.0625f);
            wide.push_back(float(5000 + 4900 * noise()));
        }
        const std::string length = " (" + std::to_string(n) + " volumes)";
        cases.insert(cases.end(), {{"ties" + length, ties}, {"outlier" + length, outlier}, {"two values" + length, two},
                                   {"narrow" + length, narrow}, {"wide" + length, wide}});
    }
    for (const auto& [name, x] : cases) {
        SCOPED_TRACE(name);
        const std::size_t n = x.size();
        std::vector<float> sorted(x);
        std::sort(sorted.begin(), sorted.end());
        const double q25 = sorted[std::size_t(std::floor(0.25 * double(n - 1)))], q75 = sorted[std::size_t(std::floor(0.75 * double(n - 1)))];
        double mean = 0, c0 = 0, c1 = 0;
        for (float v : x) mean += v;
        mean /= double(n);
        for (std::size_t t = 0; t < n; ++t) {
            c0 += (x[t] - mean) * (x[t] - mean);
            if (t + 1 < n) c1 += (x[t] - mean) * (x[t + 1] - mean);
        }
        const double sdHat = std::sqrt(2 * (1 - c1 / c0)) * (q75 - q25) / 1.349;
        ASSERT_GT(sdHat, 0);
        const DVARS d = computeDVARS({x});
        ASSERT_EQ(d.standardized.size(), n);
        for (std::size_t t = 1; t < n; ++t) {
            const double want = std::fabs(double(x[t]) - double(x[t - 1])) / sdHat;
            EXPECT_NEAR(d.standardized[t], want, 1e-9 * std::max(1.0, want)) << "volume " << t;
        }
    }
}

static void agreesWithNipype(int datatype)
{
    SCOPED_TRACE("NIfTI datatype " + std::to_string(datatype));
    const int nx = 9, ny = 8, nz = 5, nt = 40;
    support::NiftiLayout layout;
    layout.dims = {nx, ny, nz, nt};
    layout.datatype = datatype;
    layout.pixdim = {3, 3, 3, 2};
    layout.affine = {{{-3, 0, 0, 10}, {0, 3, 0, -10}, {0, 0, 3, 5}}};
    std::vector<double> data(std::size_t(nx * ny * nz * nt)), mask(std::size_t(nx * ny * nz), 0.0);
    unsigned seed = 12345;
    const auto noise = [&] {
        seed = seed * 1103515245u + 12345u;
        return double((seed >> 8) % 2001) / 1000.0 - 1.0;
    };
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                const std::size_t i = std::size_t((z * ny + y) * nx + x);
                mask[i] = (x > 0 && y > 0 && x < nx - 1) ? 1 : 0;
                const bool constant = (x + 2 * y + 3 * z) % 17 == 0;
                for (int t = 0; t < nt; ++t) {
                    double v = 600 + 25 * x + 10 * y + 40 * z;
                    if (!constant) v += 0.3 * t * (x - 4) + 8 * noise() + (t == 17 || t == 31 ? 35 : 0);
                    data[std::size_t(t) * mask.size() + i] = v;
                }
            }
    const fs::path dir = support::tempDir("dvars" + std::to_string(datatype));
    support::writeNifti((dir / "bold.nii").string(), layout, data);
    support::NiftiLayout maskLayout = layout;
    maskLayout.dims[3] = 1;
    maskLayout.ndim = 3;
    support::writeNifti((dir / "mask.nii").string(), maskLayout, mask);
    std::string zeros;
    for (int t = 0; t < nt; ++t) zeros += "0 0 0 0 0 0\n";
    support::writeFile(dir / "mc.par", zeros);
    const auto imported = support::runCli({"import", "--bold", (dir / "bold.nii").string(), "--motion", (dir / "mc.par").string(),
                                           "--motion-format", "fsl", "--out", (dir / "run").string(), "--name", "run"});
    ASSERT_EQ(imported.status, 0) << imported.err;

    // nipype's numbers: non-standardized, standardized and voxel-wise, one line each.
    const std::string command = "/usr/bin/python3 -c \"import sys; from nipype.algorithms.confounds import compute_dvars; "
                                "std, nstd, vx = compute_dvars(sys.argv[1], sys.argv[2], remove_zerovariance=True, "
                                "variance_tol=1e-7); [print(' '.join(repr(float(v)) for v in a)) for a in (nstd, std, vx)]; "
                                "import numpy as np, nibabel as nb; "
                                "print(repr(float(np.median(np.float32(nb.load(sys.argv[1]).dataobj)[np.bool_(nb.load(sys.argv[2]).dataobj)]))))\" " +
                                (dir / "bold.nii").string() + " " + (dir / "mask.nii").string() + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    ASSERT_EQ(pclose(pipe), 0) << "nipype (python3-nipype, python3-nitime) is needed:\n" << output;
    std::istringstream in(output);
    std::vector<std::vector<double>> peer(3, std::vector<double>(nt - 1));
    for (auto& series : peer)
        for (double& v : series) in >> v;
    double peerMedian = 0;
    std::string rest;
    ASSERT_TRUE(in >> peerMedian && !(in >> rest)) << "nt - 1 values of each series, then the median:\n" << output;

    std::vector<unsigned char> flags(mask.begin(), mask.end());
    std::string document = (dir / "run" / "run.fmr").string();
    if (datatype == 4) {
        // The slice data in the run's own type, as the per-run job keeps them.
        FMR floats(document, false);
        floats.LoadSTC();
        floats.DataType.updateValue(1);
        document = (dir / "run" / "run16.fmr").string();
        floats.SaveAs(document);
        ASSERT_EQ(fs::file_size(dir / "run" / "run16.stc"), std::uintmax_t(2 * nx * ny * nz * nt));
    }
    FMR run(document, false);
    // A small memory budget takes the voxels in several groups, and threads
    // share them: the result must not depend on either, to the bit.
    std::optional<DVARS> first;
    for (const auto& [memory, threads] : {std::pair<std::size_t, int>{std::size_t(256) << 20, 1}, {std::size_t(4000), 1},
                                          {std::size_t(256) << 20, 3}, {std::size_t(9000), 2}}) {
        const DVARS d = computeDVARS(run, flags, memory, threads);
        if (!first) first = d;
        EXPECT_TRUE(d.dvars == first->dvars && d.standardized == first->standardized && d.voxelwise == first->voxelwise &&
                    d.voxels == first->voxels && d.median == first->median)
            << "memory " << memory << ", " << threads << " threads";
        ASSERT_EQ(d.dvars.size(), std::size_t(nt));
        EXPECT_GT(d.constant, 0) << "the run has constant voxels in the mask";
        EXPECT_NEAR(d.median, peerMedian, 1e-6 * peerMedian) << "the median of the masked values";
        const std::vector<double>* ours[3] = {&d.dvars, &d.standardized, &d.voxelwise};
        const char* names[3] = {"DVARS", "standardized DVARS", "voxel-wise standardized DVARS"};
        for (int k = 0; k < 3; ++k)
            for (int t = 1; t < nt; ++t)
                EXPECT_NEAR((*ours[k])[std::size_t(t)], peer[std::size_t(k)][std::size_t(t - 1)],
                            1e-4 * peer[std::size_t(k)][std::size_t(t - 1)])
                    << names[k] << ", volume " << t << ", memory " << memory;
    }

    // The same numbers reach the confounds table's dvars and std_dvars
    // columns through the program, n/a in the first row as fMRIPrep writes it.
    const auto r = support::runCli({"confound", "--sdm", (dir / "run" / "run_3DMC.sdm").string(), "--fmr",
                                    (dir / "run" / "run.fmr").string(), "--tsv", "--sets", "detr", "--mask", (dir / "mask.nii").string()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto rows = support::tsvRows(support::readFile(dir / "run" / "run_desc-confounds_timeseries.tsv"));
    ASSERT_EQ(rows.size(), std::size_t(nt + 1));
    for (const auto& [column, k] : {std::pair<std::string, std::size_t>{"dvars", 0}, {"std_dvars", 1}}) {
        const std::size_t at = std::size_t(std::find(rows[0].begin(), rows[0].end(), column) - rows[0].begin());
        ASSERT_LT(at, rows[0].size()) << column;
        EXPECT_EQ(rows[1][at], "n/a") << column;
        for (std::size_t t = 1; t < std::size_t(nt); ++t)
            EXPECT_NEAR(std::stod(rows[t + 1][at]), peer[k][t - 1], 1e-4 * peer[k][t - 1]) << column << ", volume " << t;
    }
}

TEST(DVARS, AgreesWithNipypeOnARun)
{
    // A run with slow drifts, noise, a few constant voxels and two volumes
    // with a global jump, and a mask that leaves part of it out; stored as
    // floats and as 16-bit integers (the slice data then keep that type, and
    // DVARS reads them slice by slice).
    for (const int datatype : {16, 4})
        agreesWithNipype(datatype);
}
