// tremora synth --bids: a small BIDS study to try tremora bids on. Every run
// is a synthetic phantom (as tremora synth makes it) stored as NIfTI on a
// slightly tilted grid, with fMRIPrep-style derivatives beside the dataset:
// the confounds table holding the run's motion, the boldref and a brain mask.
#include <nifti1_io.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "atomicfile.h"
#include "bidsconfounds.h"
#include "confoundtruth.h"
#include "taskdesign.h"
#include "dvars.h"
#include "motionmeasures.h"
#include "cli.h"
#include "synthrun.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr double Pi = 3.14159265358979323846;
constexpr int Nx = 24, Ny = 24, Nz = 14, Volumes = 80, TrMs = 2000;
constexpr float Voxel[3] = {4.0f, 4.0f, 4.5f};

void saveText(const fs::path& path, const std::string& text)
{
    saveTextAtomically(path.string(), [&](std::ostream& out) { out << text; },
                       "--bids: cannot write " + path.string());
}

// Voxel to scanner millimetres (RAS): voxel sizes, the slab tilted about the
// left-right axis (as an oblique acquisition along the AC-PC line), the
// volume centred near the middle of the head.
mat44 tiltedAffine(double degrees)
{
    const double t = degrees * Pi / 180.0, c = std::cos(t), s = std::sin(t);
    const double R[3][3] = {{1, 0, 0}, {0, c, -s}, {0, s, c}};
    const double centre[3] = {0.0, -12.0, 14.0};
    const double mid[3] = {0.5 * (Nx - 1) * Voxel[0], 0.5 * (Ny - 1) * Voxel[1], 0.5 * (Nz - 1) * Voxel[2]};
    mat44 m{};
    for (int r = 0; r < 3; ++r) {
        double offset = centre[r];
        for (int k = 0; k < 3; ++k) {
            m.m[r][k] = float(R[r][k] * Voxel[k]);
            offset -= R[r][k] * mid[k];
        }
        m.m[r][3] = float(offset);
    }
    m.m[3][3] = 1.0f;
    return m;
}

// One NIfTI file (3D when volumes is 1), saved under a hidden name first.
void writeImage(const fs::path& path, int datatype, int volumes, const std::vector<float>& values, const mat44& affine)
{
    const int dims[8] = {volumes > 1 ? 4 : 3, Nx, Ny, Nz, volumes, 1, 1, 1};
    nifti_image* image = nifti_make_new_nim(dims, datatype, 1);
    if (image == nullptr) throw cli::RunError("--bids: out of memory");
    for (int a = 0; a < 3; ++a) image->pixdim[a + 1] = Voxel[a];
    image->dx = Voxel[0], image->dy = Voxel[1], image->dz = Voxel[2];
    if (volumes > 1) image->dt = image->pixdim[4] = TrMs / 1000.0f;
    image->xyz_units = NIFTI_UNITS_MM;
    image->time_units = NIFTI_UNITS_SEC;
    image->qform_code = image->sform_code = NIFTI_XFORM_SCANNER_ANAT;
    image->qto_xyz = image->sto_xyz = affine;
    nifti_mat44_to_quatern(affine, &image->quatern_b, &image->quatern_c, &image->quatern_d, &image->qoffset_x,
                           &image->qoffset_y, &image->qoffset_z, nullptr, nullptr, nullptr, &image->qfac);
    for (std::size_t i = 0; i < image->nvox; ++i) {
        const float v = values[i];
        if (datatype == NIFTI_TYPE_INT16) static_cast<short*>(image->data)[i] = short(std::lround(std::fmin(std::fmax(v, -32768.f), 32767.f)));
        else if (datatype == NIFTI_TYPE_UINT8) static_cast<unsigned char*>(image->data)[i] = v > 0 ? 1 : 0;
        else static_cast<float*>(image->data)[i] = v;
    }
    const fs::path temporary = path.parent_path() / (".tmp-" + std::to_string(getpid()) + "-" + path.filename().string());
    const int failed = nifti_set_filenames(image, temporary.c_str(), 0, 1);
    if (failed == 0) nifti_image_write(image);
    nifti_image_free(image);
    std::error_code ec;
    if (failed || !fs::is_regular_file(temporary, ec)) throw cli::RunError("--bids: cannot write " + path.string());
    fs::rename(temporary, path, ec);
    if (ec) throw cli::RunError("--bids: cannot write " + path.string() + ": " + ec.message());
}

std::string number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.8g", v + 0.0);
    return text;
}

// A column of fMRIPrep's table: its name and one value per volume (NaN: n/a).
using Column = std::pair<std::string, std::vector<double>>;

// x, then fMRIPrep's expansions of it: backward difference (n/a first),
// square, squared difference.
void addExpanded(std::vector<Column>& table, const std::string& name, const std::vector<double>& x)
{
    std::vector<double> d(x.size(), std::nan("")), x2(x.size()), d2(x.size(), std::nan(""));
    for (std::size_t t = 0; t < x.size(); ++t) {
        x2[t] = x[t] * x[t];
        if (t > 0) d[t] = x[t] - x[t - 1], d2[t] = d[t] * d[t];
    }
    table.insert(table.end(), {{name, x}, {name + "_derivative1", d}, {name + "_power2", x2}, {name + "_derivative1_power2", d2}});
}

// Unit-norm columns standing for CompCor components: slow cosines of the given
// phase, with a little noise, centred.
std::vector<double> component(int volumes, double frequency, double phase, std::uint64_t& state)
{
    std::vector<double> c(static_cast<std::size_t>(volumes));
    double mean = 0.0, norm = 0.0;
    for (int t = 0; t < volumes; ++t) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double noise = double(state >> 11) / double(1ULL << 53) - 0.5;
        c[std::size_t(t)] = std::cos(Pi * frequency * t / volumes + phase) + 0.3 * noise;
        mean += c[std::size_t(t)] / volumes;
    }
    for (double& v : c) v -= mean, norm += v * v;
    for (double& v : c) v /= std::sqrt(norm);
    return c;
}

// fMRIPrep's table of a run with every family of columns fMRIPrep writes (in
// its order): global, CSF and white-matter signals with their expansions,
// DVARS, framewise displacement, rmsd, the CompCor components, cosine drifts,
// the non-steady-state volume, the motion with its expansions and the motion
// outliers; and its sidecar, with the CompCor metadata (a component left out
// too). The signals and DVARS are of the run itself; the components and rmsd
// are stand-ins of the right shape, not fMRIPrep's computation.
std::pair<std::string, Json> confoundsTable(const SyntheticRun& run, const std::vector<float>& mask,
                                            const std::vector<double>* csfSignal = nullptr,
                                            const std::vector<double>* wmSignal = nullptr)
{
    const int n = run.volumes;
    const std::size_t volume = std::size_t(run.nx) * run.ny * run.nz;
    std::vector<std::size_t> brain;
    for (std::size_t i = 0; i < volume; ++i)
        if (mask[i] > 0) brain.push_back(i);
    // White matter: the brighter half of the brain's voxels by their first value; CSF: the darker.
    std::vector<float> first(brain.size());
    for (std::size_t k = 0; k < brain.size(); ++k) first[k] = run.voxels[brain[k]];
    std::vector<float> sorted = first;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const float median = sorted[sorted.size() / 2];
    const std::size_t nn = static_cast<std::size_t>(n);
    std::vector<double> global(nn), csf(nn), wm(nn), csfwm(nn);
    std::vector<std::vector<float>> series(brain.size(), std::vector<float>(std::size_t(n)));
    for (int t = 0; t < n; ++t) {
        double all = 0, dark = 0, bright = 0;
        std::size_t darkCount = 0;
        for (std::size_t k = 0; k < brain.size(); ++k) {
            const float v = run.voxels[std::size_t(t) * volume + brain[k]];
            series[k][std::size_t(t)] = v;
            all += v;
            if (first[k] < median) dark += v, ++darkCount;
            else bright += v;
        }
        global[std::size_t(t)] = all / double(brain.size());
        csf[std::size_t(t)] = dark / double(darkCount);
        wm[std::size_t(t)] = bright / double(brain.size() - darkCount);
        csfwm[std::size_t(t)] = global[std::size_t(t)];
    }
    const DVARS dvars = computeDVARS(series);
    MotionParameters motion(static_cast<std::size_t>(n));
    std::vector<std::vector<double>> layout(6, std::vector<double>(std::size_t(n)));
    for (int t = 0; t < n; ++t)
        for (std::size_t k = 0; k < 6; ++k) {
            motion[std::size_t(t)][k] = run.motion[k][std::size_t(t)];
            layout[k][std::size_t(t)] = run.motion[k][std::size_t(t)] * (k < 3 ? 1.0 : Pi / 180.0);
        }
    std::vector<double> fd(std::size_t(n), std::nan("")), rmsd = relativeRMSDisplacement(motion, 80.0);
    for (int t = 1; t < n; ++t) {
        fd[std::size_t(t)] = 0;
        for (std::size_t k = 0; k < 6; ++k)
            fd[std::size_t(t)] += std::fabs(layout[k][std::size_t(t)] - layout[k][std::size_t(t - 1)]) * (k < 3 ? 1.0 : 50.0);
    }
    const auto firstNA = [](std::vector<double> v) {
        v[0] = std::nan("");
        return v;
    };

    std::vector<Column> table;
    Json sidecar;
    addExpanded(table, "global_signal", global);
    // A study with a known confound model puts its own tissue signals here.
    addExpanded(table, "csf", csfSignal ? *csfSignal : csf);
    addExpanded(table, "white_matter", wmSignal ? *wmSignal : wm);
    std::uint64_t state = 0x9e3779b97f4a7c15ULL + std::uint64_t(n);
    table.insert(table.end(), {{"csf_wm", csfwm},
                               {"tcompcor", component(n, 3.0, 0.2, state)},
                               {"std_dvars", firstNA(dvars.standardized)},
                               {"dvars", firstNA(dvars.dvars)},
                               {"framewise_displacement", fd},
                               {"rmsd", firstNA(rmsd)}});
    // CompCor: (prefix, mask, count kept); each a unit-norm component with its metadata.
    const std::tuple<const char*, const char*, const char*, int> compcor[] = {
        {"t_comp_cor", "tCompCor", "", 3}, {"c_comp_cor", "aCompCor", "CSF", 2}, {"w_comp_cor", "aCompCor", "WM", 2},
        {"a_comp_cor", "aCompCor", "combined", 4}};
    for (const auto& [prefix, method, maskName, kept] : compcor) {
        double cumulative = 0.0;
        for (int k = 0; k <= kept; ++k) {
            char name[32];
            std::snprintf(name, sizeof name, "%s_%02d", prefix, k);
            const double explained = 0.4 / (k + 1);
            cumulative += explained;
            Json entry = {{"CumulativeVarianceExplained", cumulative}};
            if (*maskName) entry["Mask"] = maskName;
            entry["Method"] = method;
            entry["Retained"] = k < kept; // the last one is listed, left out of the table
            entry["SingularValue"] = 40.0 / (k + 1);
            entry["VarianceExplained"] = explained;
            sidecar[name] = entry;
            if (k < kept) table.push_back({name, component(n, 1.0 + k, 0.5 * k, state)});
        }
    }
    // The discrete cosine basis of a 128 s high-pass filter.
    const int cosines = int(std::floor(2.0 * n * (TrMs / 1000.0) / 128.0));
    for (int k = 0; k < cosines; ++k) {
        std::vector<double> c(static_cast<std::size_t>(n));
        for (int t = 0; t < n; ++t) c[std::size_t(t)] = std::sqrt(2.0 / n) * std::cos(Pi * (2.0 * t + 1.0) * (k + 1) / (2.0 * n));
        char name[16];
        std::snprintf(name, sizeof name, "cosine%02d", k);
        table.push_back({name, c});
    }
    std::vector<double> dummy(std::size_t(n), 0.0);
    dummy[0] = 1.0; // the first volume, before the magnetisation settles
    table.push_back({"non_steady_state_outlier00", dummy});
    const char* names[6] = {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"};
    for (std::size_t k = 0; k < 6; ++k) addExpanded(table, names[k], layout[k]);
    int outliers = 0;
    for (int t = 0; t < n; ++t)
        if (fd[std::size_t(t)] > 0.5 || (t > 0 && dvars.standardized[std::size_t(t)] > 1.5)) {
            std::vector<double> spike(std::size_t(n), 0.0);
            spike[std::size_t(t)] = 1.0;
            char name[32];
            std::snprintf(name, sizeof name, "motion_outlier%02d", outliers++);
            table.push_back({name, spike});
        }
    for (std::size_t k = 0; k < 6; ++k)
        sidecar[names[k]] = {{"Description", std::string(k < 3 ? "Translation along " : "Rotation about ") + "xyz"[k % 3]},
                             {"Units", k < 3 ? "mm" : "rad"}};

    std::string tsv;
    for (std::size_t c = 0; c < table.size(); ++c) tsv += (c ? "\t" : "") + table[c].first;
    tsv += "\n";
    for (int t = 0; t < n; ++t) {
        for (std::size_t c = 0; c < table.size(); ++c) {
            const double v = table[c].second[std::size_t(t)];
            tsv += (c ? "\t" : "") + (std::isnan(v) ? std::string("n/a") : number(v));
        }
        tsv += "\n";
    }
    return {tsv, sidecar};
}

// The motor task's blocks: 20 volumes of rest, then 20 of finger tapping.
std::string events()
{
    std::string tsv = "onset\tduration\ttrial_type\n";
    for (int start = 20; start < Volumes; start += 40)
        tsv += number(start * TrMs / 1000.0) + "\t" + number(20 * TrMs / 1000.0) + "\tfinger_tapping\n";
    return tsv;
}

} // namespace

int writeSampleStudy(const std::string& dir, int participants, std::uint64_t seed, const std::string& confoundTruth)
{
    const fs::path root(dir);
    const fs::path derivatives = root / "derivatives" / "fmriprep";
    std::error_code ec;
    fs::create_directories(derivatives, ec);
    if (!fs::is_directory(derivatives)) throw cli::RunError("--bids: cannot create the folder " + derivatives.string());

    Json description;
    description["Name"] = "tremora sample study";
    description["BIDSVersion"] = "1.9.0";
    description["DatasetType"] = "raw";
    description["License"] = "CC0";
    description["Authors"] = {"tremora synth"};
    saveText(root / "dataset_description.json", description.dump(2) + "\n");
    saveText(root / "README", "A synthetic study written by tremora synth --bids: head-shaped phantoms with a little head\n"
                              "motion, to try tremora bids on. derivatives/fmriprep holds derivatives in fMRIPrep's layout\n"
                              "(not made by fMRIPrep): the motion of each run, its reference image and a brain mask.\n");
    saveText(root / "CHANGES", "1.0.0 2024-01-01\n  - Written by tremora synth --bids.\n");
    std::string participantsTsv = "participant_id\n";
    for (int p = 1; p <= participants; ++p) participantsTsv += "sub-" + std::string(p < 10 ? "0" : "") + std::to_string(p) + "\n";
    saveText(root / "participants.tsv", participantsTsv);
    Json slices = Json::array();
    for (int z = 0; z < Nz; ++z) slices.push_back(std::round(1e4 * z * (TrMs / 1000.0) / Nz) / 1e4);
    for (const char* task : {"rest", "motor"}) {
        Json sidecar;
        sidecar["TaskName"] = task;
        sidecar["RepetitionTime"] = TrMs / 1000.0;
        sidecar["SliceTiming"] = slices;
        saveText(root / (std::string("task-") + task + "_bold.json"), sidecar.dump(2) + "\n");
    }
    saveText(root / "task-motor_events.json",
             Json{{"trial_type", {{"Description", "Finger tapping block"}}}}.dump(2) + "\n");

    Json derived;
    derived["Name"] = "tremora sample study: fMRIPrep-style derivatives";
    derived["BIDSVersion"] = "1.9.0";
    derived["DatasetType"] = "derivative";
    derived["GeneratedBy"] = Json::array({Json{{"Name", "fMRIPrep"},
                                               {"Version", "24.1.1"},
                                               {"Description", "Not run: synthetic derivatives written by tremora synth --bids in "
                                                               "fMRIPrep's layout, the motion in the convention of this release"}}});
    saveText(derivatives / "dataset_description.json", derived.dump(2) + "\n");

    int written = 0;
    for (int p = 1; p <= participants; ++p) {
        const std::string sub = "sub-" + std::string(p < 10 ? "0" : "") + std::to_string(p);
        for (int session = 1; session <= 2; ++session) {
            const std::string ses = "ses-" + std::to_string(session);
            const fs::path func = root / sub / ses / "func", derivedFunc = derivatives / sub / ses / "func";
            fs::create_directories(func, ec);
            fs::create_directories(derivedFunc, ec);
            const mat44 affine = tiltedAffine(6.0 + 2.0 * p + session);
            const std::vector<std::pair<std::string, std::string>> runs = {{"rest", ""}, {"motor", "1"}, {"motor", "2"}};
            for (std::size_t r = 0; r < runs.size(); ++r) {
                const auto& [task, index] = runs[r];
                const std::string stem = sub + "_" + ses + "_task-" + task + (index.empty() ? "" : "_run-" + index);
                const std::uint64_t runSeed = seed * 1000 + std::uint64_t(p) * 10 + std::uint64_t(session) * 3 + r;
                SyntheticRun run = syntheticRun(Nx, Ny, Nz, Volumes, Voxel, runSeed, TrMs, task == "motor");
                if (task == "motor") saveText(func / (stem + "_events.tsv"), events());

                const std::size_t volume = std::size_t(Nx) * Ny * Nz;
                std::vector<float> mean(volume, 0.0f), mask(volume, 0.0f);
                for (int v = 0; v < Volumes; ++v)
                    for (std::size_t i = 0; i < volume; ++i) mean[i] += run.voxels[std::size_t(v) * volume + i] / Volumes;
                for (std::size_t i = 0; i < volume; ++i) mask[i] = mean[i] > 100.0f ? 1.0f : 0.0f;
                const fs::path tablePath = derivedFunc / (stem + "_desc-confounds_timeseries.tsv");
                std::vector<double> csf, wm;
                if (!confoundTruth.empty()) {
                    // The voxels follow the truth's model of the table's own
                    // columns; the table is then made again from those voxels.
                    csf = tissueSignal(Volumes, runSeed * 2 + 1);
                    wm = tissueSignal(Volumes, runSeed * 2 + 2);
                    saveText(tablePath, confoundsTable(run, mask, &csf, &wm).first);
                    const models::TaskDesign design =
                        models::taskDesign(task == "motor" ? models::readEvents((func / (stem + "_events.tsv")).string())
                                                           : std::vector<models::Event>{},
                                           TrMs / 1000.0, Volumes);
                    addConfoundTruth(run, mask, readFMRIPrepTable(tablePath.string()), confoundTruth, design.columns, runSeed);
                    std::fill(mean.begin(), mean.end(), 0.0f);
                    for (int v = 0; v < Volumes; ++v)
                        for (std::size_t i = 0; i < volume; ++i) mean[i] += run.voxels[std::size_t(v) * volume + i] / Volumes;
                }
                writeImage(func / (stem + "_bold.nii.gz"), NIFTI_TYPE_INT16, Volumes, run.voxels, affine);
                const auto [table, sidecar] =
                    confoundsTable(run, mask, csf.empty() ? nullptr : &csf, wm.empty() ? nullptr : &wm);
                saveText(tablePath, table);
                saveText(derivedFunc / (stem + "_desc-confounds_timeseries.json"), sidecar.dump(2) + "\n");
                writeImage(derivedFunc / (stem + "_desc-hmc_boldref.nii.gz"), NIFTI_TYPE_FLOAT32, 1, mean, affine);
                writeImage(derivedFunc / (stem + "_desc-brain_mask.nii.gz"), NIFTI_TYPE_UINT8, 1, mask, affine);
                ++written;
            }
        }
    }
    std::cout << "wrote " << root.string() << ": " << participants << " participant" << (participants == 1 ? "" : "s") << ", "
              << written << " runs of " << Nx << "x" << Ny << "x" << Nz << " voxels and " << Volumes
              << " volumes (two sessions; task rest, and motor with two runs), and fMRIPrep-style derivatives in "
              << derivatives.string() << "\n";
    return 0;
}

} // namespace tool
