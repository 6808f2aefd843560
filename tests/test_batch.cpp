// tremora batch and tremora process: what a run folder must hold, one child
// per run folder, a failed run reported beside the finished ones, and the
// summary table's numbers checked against a hand-worked step. (A synthetic
// run's table is in the golden tier.)
#include <gtest/gtest.h>

#include <nifti1_io.h>

#include <cmath>
#include <sstream>

#include "mySDM.h"
#include "nifti.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::runCli;

namespace {

const int kNx = 6, kNy = 6, kNz = 4;

// A bright ball in a dark field, the same in every volume, RAS-stored.
void writeHead(const fs::path& path, int volumes)
{
    support::NiftiLayout layout;
    layout.dims = {kNx, kNy, kNz, volumes};
    layout.datatype = NIFTI_TYPE_INT16;
    layout.pixdim = {2, 2, 2, 2};
    layout.affine = {{{2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}}};
    std::vector<double> stored;
    for (int v = 0; v < volumes; ++v)
        for (int z = 0; z < kNz; ++z)
            for (int y = 0; y < kNy; ++y)
                for (int x = 0; x < kNx; ++x) {
                    const double u = (x - 2.5) / 2.6, w = (y - 2.5) / 2.6, s = (z - 1.5) / 2.0;
                    stored.push_back(u * u + w * w + s * s <= 1.0 ? 900 : 5);
                }
    support::writeNifti(path.string(), layout, stored);
}

// SPM rows (x y z mm, pitch roll yaw rad): still, then 2 mm to the right
// from volume `jump` on.
std::string spmStep(int volumes, int jump)
{
    std::string text;
    for (int v = 0; v < volumes; ++v) text += v < jump ? "0 0 0 0 0 0\n" : "2 0 0 0 0 0\n";
    return text;
}

} // namespace

TEST(Batch, TwoGoodRunsAndABrokenOne)
{
    const fs::path root = support::tempDir("batch");
    const fs::path spm = root / "spm", broken = root / "broken";
    fs::create_directories(spm);
    fs::create_directories(broken);
    writeHead(spm / "rest_bold.nii.gz", 20);
    support::writeFile(spm / "rp_rest_bold.txt", spmStep(20, 10));
    writeHead(broken / "rest.nii", 20);
    std::string nineteen;
    for (int v = 0; v < 19; ++v) nineteen += "0 0 0 0 0 0\n";
    support::writeFile(broken / "rest.par", nineteen);

    const fs::path summary = root / "qc" / "summary.tsv";
    fs::create_directories(summary.parent_path());
    const auto r = runCli({"batch", "--jobs", "2", "--summary", summary.string(), spm.string(), broken.string()});
    EXPECT_EQ(r.status, 1) << "a failed run makes the batch fail\n" << r.err;
    const std::string written = support::readFile(summary);
    EXPECT_NE(r.out.find(written), std::string::npos) << "the table is printed too";
    EXPECT_NE(r.err.find("batch: 2/2 finished, 1 failed"), std::string::npos) << r.err;

    const auto rows = support::tsvRows(written);
    ASSERT_EQ(rows.size(), 3u) << written;
    EXPECT_EQ(rows[0], (std::vector<std::string>{"run", "status", "volumes", "mean_fd", "max_fd", "spikes",
                                                 "max_displacement_mm", "error", "mean_std_dvars", "max_std_dvars",
                                                 "outlier_share"}));
    for (const auto& row : rows) ASSERT_EQ(row.size(), 11u) << written;

    // The SPM run: one step of 2 mm, so FD is 2 at volume 10 and 0 elsewhere
    // (mean over the 19 volumes that have a predecessor), one spike, and every
    // head voxel 2 mm from its place after the step.
    EXPECT_EQ(std::vector<std::string>(rows[1].begin(), rows[1].begin() + 8),
              (std::vector<std::string>{spm.string(), "ok", "20", "0.1053", "2.0000", "1", "2.0000", "n/a"}));
    EXPECT_TRUE(fs::exists(spm / "rest_bold.fmr"));
    EXPECT_EQ(SDM((spm / "rest_bold_3DMC_spikes.sdm").string()).NrOfPredictors.value(), 1);

    // The broken run is reported with its reason; nothing was imported.
    EXPECT_EQ(rows[2][0], broken.string());
    EXPECT_EQ(rows[2][1], "failed");
    for (int k = 2; k < 7; ++k) EXPECT_EQ(rows[2][std::size_t(k)], "n/a");
    EXPECT_NE(rows[2][7].find("has 19 rows but the run"), std::string::npos) << rows[2][7];
    EXPECT_FALSE(fs::exists(broken / "rest.fmr"));
    EXPECT_NE(support::readFile(broken / "tremora_batch.log").find("has 19 rows but the run"), std::string::npos);

    // Every good run got its BIDS table and its report page.
    for (const fs::path& p : {spm / "rest_desc-confounds_timeseries.tsv", spm / "rest_bold_report.html"})
        EXPECT_TRUE(fs::exists(p)) << p;
}

// Folders that hold a run, and some that do not (more in the golden tier). A
// brain mask in the folder goes to the report's carpet where it fits, and to
// the confound step only when that computes DVARS (the table is not an input).
TEST(Batch, WhatARunFolderMustHoldAndWhereItsMaskGoes)
{
    const fs::path root = support::tempDir("folders");
    const std::string fmriprep = "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\n0\t0\t0\t0\t0\t0\n0.5\t0\t0\t0\t0\t0\n"
                                 "0.5\t0\t0\t0\t0\t0\n0.5\t0\t0\t0\t0\t0\n";
    const std::string still = "0 0 0 0 0 0\n0 0 0 0 0 0\n0 0 0 0 0 0\n", fsl = still + "0 0 0 0.5 0 0\n";
    const std::string mask = "sub-01_task-rest_desc-brain_mask.nii.gz";
    struct Case {
        std::string dir;
        std::vector<std::pair<std::string, std::string>> files; // "nifti N": a head of N volumes; "mask N": N slices of ones
        std::string status, volumes, error, says, masked;      // masked: the steps given --mask
    } cases[] = {
        // A run named so that its BIDS table would take the name of its input: the table is kept.
        {"named", {{"sub-01_task-rest_bold.nii.gz", "nifti 4"}, {"sub-01_task-rest_desc-confounds_timeseries.tsv", fmriprep}, {mask, "mask 4"}},
         "ok", "4", "n/a", "", "report"},
        {"othergrid", {{"sub-01_task-rest_bold.nii.gz", "nifti 4"}, {"sub-01_task-rest_bold.par", fsl}, {mask, "mask 5"}},
         "ok", "4", "n/a", "is not on the run's grid", ""},
        {"fits", {{"sub-01_task-rest_bold.nii.gz", "nifti 4"}, {"sub-01_task-rest_bold.par", fsl}, {mask, "mask 4"}}, "ok", "4", "n/a", "--mask",
         "confound report"},
        {"nomotion", {{"a.nii", "nifti 3"}}, "failed", "n/a", "holds a.nii but no motion file", "", ""},
        {"twomotions", {{"a.nii", "nifti 3"}, {"a.par", still}, {"rp_a.txt", still}}, "failed", "n/a", "several motion files (a.par, rp_a.txt)", "", ""},
        // fMRIPrep's folder: the run among a mask and a reference, the confounds by name.
        {"fmriprep",
         {{"sub-01_task-rest_desc-preproc_bold.nii.gz", "nifti 4"}, {mask, "nifti 1"}, {"sub-01_task-rest_boldref.nii.gz", "nifti 1"},
          {"sub-01_task-rest_desc-confounds_timeseries.tsv",
           "csf\ttrans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\nn/a\t0\t0\t0\t0\t0\t0\n1\t0.5\t0\t0\t0\t0\t0\n1\t0.5\t0\t0\t0\t0\t0\n1\t0.5\t0\t0\t0\t0\t0\n"}},
         "ok", "4", "n/a", "", "confound report"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        fs::create_directories(root / c.dir);
        for (const auto& [name, content] : c.files) {
            const int n = std::atoi(content.c_str() + content.find(' ') + 1);
            if (content.rfind("nifti ", 0) == 0) writeHead(root / c.dir / name, n);
            else if (content.rfind("mask ", 0) == 0) {
                support::NiftiLayout layout;
                layout.dims = {kNx, kNy, n, 1};
                layout.ndim = 3;
                support::writeNifti((root / c.dir / name).string(), layout, std::vector<double>(std::size_t(kNx * kNy * n), 1.0));
            } else support::writeFile(root / c.dir / name, content);
        }
        const auto r = runCli({"process", (root / c.dir).string()});
        EXPECT_EQ(r.status, c.status == "ok" ? 0 : 1) << r.err;
        const auto rows = support::tsvRows(r.out.substr(std::min(r.out.size(), r.out.rfind("run\tstatus"))));
        ASSERT_EQ(rows.size(), 2u) << r.out;
        ASSERT_EQ(rows[1].size(), 11u) << r.out;
        EXPECT_EQ((std::vector<std::string>{rows[1][1], rows[1][2]}), (std::vector<std::string>{c.status, c.volumes}));
        EXPECT_NE(rows[1][7].find(c.error), std::string::npos) << rows[1][7];
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        for (const std::string step : {"confound", "report"}) {
            const std::size_t at = r.out.find("== tremora " + step);
            if (c.status != "ok") continue;
            ASSERT_NE(at, std::string::npos) << r.out;
            EXPECT_EQ(r.out.substr(at, r.out.find('\n', at) - at).find("--mask") != std::string::npos, c.masked.find(step) != std::string::npos)
                << r.out.substr(at, r.out.find('\n', at) - at);
        }
    }
    EXPECT_EQ(support::readFile(root / "named" / "sub-01_task-rest_desc-confounds_timeseries.tsv"), fmriprep) << "the input is kept";
    const fs::path prep = root / "fmriprep";
    EXPECT_TRUE(fs::exists(prep / "sub-01_task-rest_desc-preproc_desc-confounds_timeseries.tsv"));
    // The imported fMRIPrep run is reused the next time rather than imported again.
    EXPECT_TRUE(fs::exists(prep / "sub-01_task-rest_desc-preproc_bold.fmr"));
    const auto again = runCli({"process", prep.string()});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out.find("== import"), std::string::npos) << again.out;
}
