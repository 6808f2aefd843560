// tremora process: what a run folder must hold, where its mask goes, and the
// summary row's numbers against hand-worked steps. (Batches of synthetic runs,
// a broken one among them, are in the golden tier.)
#include <gtest/gtest.h>

#include <nifti1_io.h>

#include <cstdlib>

#include "nifti.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::runCli;

namespace {

const int kNx = 6, kNy = 6, kNz = 4;

// A bright ball in a dark field, the same in every volume, RAS-stored.
void writeHead(const fs::path& path, int volumes)
{
    const support::NiftiLayout layout{
        .dims = {kNx, kNy, kNz, volumes}, .datatype = NIFTI_TYPE_INT16, .pixdim = {2, 2, 2, 2}, .affine = {{{2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}}}};
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

} // namespace

// Folders that hold a run, and some that do not (more in the golden tier), each
// with a hand-worked summary: FD is the step at the one volume that moves, its
// mean over the volumes that have a predecessor, and every voxel moves by the
// step. A brain mask in the folder goes to the report's carpet, and to the
// confound step only when that computes DVARS (the table is not an input);
// the steps take the bright voxels in place of one off the run's grid, and say so.
TEST(Batch, WhatARunFolderMustHoldAndWhereItsMaskGoes)
{
    const fs::path root = support::tempDir("folders");
    const std::string fmriprep = "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\n0\t0\t0\t0\t0\t0\n0.5\t0\t0\t0\t0\t0\n"
                                 "0.5\t0\t0\t0\t0\t0\n0.5\t0\t0\t0\t0\t0\n";
    // FSL: three still volumes, then 2 mm along x (radians first, then mm).
    const std::string still = "0 0 0 0 0 0\n0 0 0 0 0 0\n0 0 0 0 0 0\n", fsl = still + "0 0 0 2 0 0\n";
    // Spikes: the steps of the detrended trace above 0.5 mm. Of 0, 0, 0, 2 that is 0.4, -0.2, -0.8, 0.6:
    // three; of fMRIPrep's 0, 0.5, 0.5, 0.5 it is -0.15, 0.2, 0.05, -0.1: none.
    const std::string step = "ok 4 0.6667 2.0000 3 2.0000", halfStep = "ok 4 0.1667 0.5000 0 0.5000", failed = "failed n/a n/a n/a n/a n/a";
    const std::string mask = "sub-01_task-rest_desc-brain_mask.nii.gz";
    struct Case {
        std::string dir;
        std::vector<std::pair<std::string, std::string>> files; // "nifti N": a head of N volumes; "mask N": N slices of ones
        std::string summary, error, says, masked; // summary: status to max_displacement_mm; masked: the steps given --mask
    } cases[] = {
        // A run named so that its BIDS table would take the name of its input: the table is kept.
        {"named", {{"sub-01_task-rest_bold.nii.gz", "nifti 4"}, {"sub-01_task-rest_desc-confounds_timeseries.tsv", fmriprep}, {mask, "mask 4"}},
         halfStep, "n/a", "", "report"},
        {"othergrid", {{"sub-01_task-rest_bold.nii.gz", "nifti 4"}, {"sub-01_task-rest_bold.par", fsl}, {mask, "mask 5"}},
         step, "n/a", "is not on the run's grid: DVARS is taken over the bright voxels", "confound report"},
        {"fits", {{"sub-01_task-rest_bold.nii.gz", "nifti 4"}, {"sub-01_task-rest_bold.par", fsl}, {mask, "mask 4"}}, step, "n/a",
         "--mask", "confound report"},
        {"nomotion", {{"a.nii", "nifti 3"}}, failed, "holds a.nii but no motion file", "", ""},
        {"twomotions", {{"a.nii", "nifti 3"}, {"a.par", still}, {"rp_a.txt", still}}, failed, "several motion files (a.par, rp_a.txt)", "", ""},
        {"short", {{"a.nii", "nifti 4"}, {"a.par", still}}, failed, "has 3 rows but the run", "", ""},
        // fMRIPrep's folder: the run among a mask and a reference, the confounds by name.
        {"fmriprep",
         {{"sub-01_task-rest_desc-preproc_bold.nii.gz", "nifti 4"}, {mask, "nifti 1"}, {"sub-01_task-rest_boldref.nii.gz", "nifti 1"},
          {"sub-01_task-rest_desc-confounds_timeseries.tsv",
           "csf\ttrans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\nn/a\t0\t0\t0\t0\t0\t0\n1\t0.5\t0\t0\t0\t0\t0\n1\t0.5\t0\t0\t0\t0\t0\n1\t0.5\t0\t0\t0\t0\t0\n"}},
         halfStep, "n/a", "", "confound report"},
    };
    std::vector<std::vector<std::string>> summaries;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        fs::create_directories(root / c.dir);
        for (const auto& [name, content] : c.files) {
            const int n = std::atoi(content.c_str() + content.find(' ') + 1);
            if (content.rfind("nifti ", 0) == 0) writeHead(root / c.dir / name, n);
            else if (content.rfind("mask ", 0) == 0)
                support::writeNifti((root / c.dir / name).string(), {.dims = {kNx, kNy, n, 1}, .ndim = 3}, std::vector<double>(std::size_t(kNx * kNy * n), 1.0));
            else support::writeFile(root / c.dir / name, content);
        }
        const auto r = runCli({"process", (root / c.dir).string()});
        const bool ok = c.summary.rfind("ok", 0) == 0;
        EXPECT_EQ(r.status, ok ? 0 : 1) << r.err;
        const auto rows = support::tsvRows(r.out.substr(std::min(r.out.size(), r.out.rfind("run\tstatus"))));
        ASSERT_EQ(rows.size(), 2u) << r.out;
        ASSERT_EQ(rows[1].size(), 11u) << r.out;
        if (summaries.empty()) summaries.push_back(rows[0]);
        summaries.push_back(rows[1]);
        std::string summary = rows[1][1];
        for (std::size_t k = 2; k < 7; ++k) summary += " " + rows[1][k];
        EXPECT_EQ(summary, c.summary);
        EXPECT_NE(rows[1][7].find(c.error), std::string::npos) << rows[1][7];
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
        for (const std::string command : {"confound", "report"}) {
            const std::size_t at = r.out.find("== tremora " + command);
            if (!ok) continue;
            ASSERT_NE(at, std::string::npos) << r.out;
            EXPECT_EQ(r.out.substr(at, r.out.find('\n', at) - at).find("--mask") != std::string::npos, c.masked.find(command) != std::string::npos)
                << r.out.substr(at, r.out.find('\n', at) - at);
        }
    }
    EXPECT_EQ(support::readFile(root / "named" / "sub-01_task-rest_desc-confounds_timeseries.tsv"), fmriprep) << "the input is kept";
    const fs::path prep = root / "fmriprep";
    EXPECT_TRUE(fs::exists(prep / "sub-01_task-rest_desc-preproc_desc-confounds_timeseries.tsv"));
    // Every folder again, two at once: the table keeps their order and the rows
    // process gave; the imported fMRIPrep run is reused rather than imported again.
    std::vector<std::string> args = {"batch", "--jobs", "2", "--summary", (root / "summary.tsv").string()};
    for (const auto& c : cases) args.push_back((root / c.dir).string());
    const auto batch = runCli(args);
    EXPECT_EQ(batch.status, 1) << batch.err;
    EXPECT_EQ(support::tsvRows(support::readFile(root / "summary.tsv")), summaries);
    EXPECT_EQ(support::readFile(prep / "tremora_batch.log").find("== import"), std::string::npos);
}
