// tremora synth: a synthetic functional run to try the tasks on: an FMR
// document with its slice data (a head-shaped phantom with noise and a small
// signal over time), its motion SDM (slow drift and a few sudden jumps) and,
// on request, a block-design task SDM whose signal is added to one region.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <vector>

#include "atomicfile.h"
#include "commands.h"
#include "confoundtruth.h"
#include "inputs.h"
#include "mySDM.h"
#include "options.h"
#include "rundocument.h"
#include "synthrun.h"

namespace tool {

// The sample BIDS study of synth --bids (bidssample.cpp).
int writeSampleStudy(const std::string& dir, int participants, std::uint64_t seed, const std::string& confoundTruth);

namespace {

namespace fs = std::filesystem;

constexpr double Pi = 3.14159265358979323846;

// A small, fast generator (splitmix64) with Gaussian samples by the
// Box-Muller transform; the same seed gives the same run on every platform.
class Noise {
public:
    explicit Noise(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}
    double uniform() // in (0, 1]
    {
        return (double(next() >> 11) + 1.0) * (1.0 / 9007199254740992.0);
    }
    float gauss()
    {
        if (hasSpare_) {
            hasSpare_ = false;
            return spare_;
        }
        const double r = std::sqrt(-2.0 * std::log(uniform()));
        const double phi = 2.0 * Pi * uniform();
        spare_ = float(r * std::sin(phi));
        hasSpare_ = true;
        return float(r * std::cos(phi));
    }

private:
    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t state_;
    float spare_ = 0.0f;
    bool hasSpare_ = false;
};

struct Settings {
    int nx = 64, ny = 64, nz = 30;
    int volumes = 200;
    float voxel[3] = {3.0f, 3.0f, 3.5f};
    std::uint64_t seed = 1;
    bool floats = true;
    std::string name = "synth";
    bool task = false;
    int tr = 2000; // ms
};

// ------------------------------------------------------------ the phantom

// Mean intensities of the tissues of a T2*-weighted echo-planar image.
constexpr float WhiteMatter = 800.0f, GreyMatter = 600.0f, Csf = 300.0f, Skull = 60.0f, Scalp = 450.0f;
constexpr float TissueNoise = 8.0f;     // thermal noise in the head (SD)
constexpr float BackgroundNoise = 6.0f; // per channel; the magnitude is Rayleigh-distributed, mostly 0 to 20
constexpr float TaskAmplitude = 0.02f;  // 2 % signal change at the response's peak

// One slice of the phantom: its baseline intensities and where the task acts.
struct Slice {
    std::vector<float> base;  // 0 for background
    std::vector<float> task;  // 1 inside the task region
};

Slice phantomSlice(const Settings& s, int z)
{
    Slice slice;
    slice.base.assign(std::size_t(s.nx) * s.ny, 0.0f);
    slice.task.assign(slice.base.size(), 0.0f);
    // An ellipsoid head filling most of the field of view, coordinates in mm
    // from the centre of the volume.
    const double fx = s.nx * s.voxel[0], fy = s.ny * s.voxel[1], fz = s.nz * s.voxel[2];
    const double a = 0.40 * fx, b = 0.46 * fy, c = 0.48 * fz;
    const double pz = (z + 0.5) * s.voxel[2] - fz / 2;
    for (int y = 0; y < s.ny; ++y)
        for (int x = 0; x < s.nx; ++x) {
            const double px = (x + 0.5) * s.voxel[0] - fx / 2, py = (y + 0.5) * s.voxel[1] - fy / 2;
            const double ux = px / a, uy = py / b, uz = pz / c;
            const double r = std::sqrt(ux * ux + uy * uy + uz * uz);
            float value = 0.0f;
            if (r <= 1.0) {
                // Cortex folds: the grey/white boundary undulates with direction.
                const double theta = std::atan2(uy, ux), phi = std::acos(std::clamp(uz / std::max(r, 1e-9), -1.0, 1.0));
                const double boundary = 0.62 + 0.07 * std::sin(6 * theta) * std::sin(5 * phi);
                if (r > 0.94)
                    value = Scalp;
                else if (r > 0.88)
                    value = Skull;
                else if (r > 0.82)
                    value = Csf;
                else if (r > boundary)
                    value = GreyMatter;
                else
                    value = WhiteMatter;
                // Two lateral ventricles near the centre.
                for (double side : {-1.0, 1.0}) {
                    const double vx = (ux - side * 0.12) / 0.07, vy = (uy - 0.05) / 0.28, vz = (uz - 0.10) / 0.14;
                    if (vx * vx + vy * vy + vz * vz <= 1.0) value = Csf;
                }
                // The task region: a ball of cortex at the back of the head.
                const double tx = ux / 0.22, ty = (uy + 0.70) / 0.22, tz = (uz - 0.10) / 0.30;
                if (value == GreyMatter && tx * tx + ty * ty + tz * tz <= 1.0) slice.task[std::size_t(y) * s.nx + x] = 1.0f;
            }
            slice.base[std::size_t(y) * s.nx + x] = value;
        }
    return slice;
}

// ------------------------------------------------------------ time courses

// A two-gamma haemodynamic response (peak near 5 s, undershoot near 15 s),
// sampled at the repetition time, scaled to a peak of 1.
std::vector<double> haemodynamicResponse(double trSeconds)
{
    std::vector<double> h;
    const auto gammaPdf = [](double t, double shape) {
        return t <= 0 ? 0.0 : std::exp((shape - 1) * std::log(t) - t - std::lgamma(shape));
    };
    for (double t = 0; t < 30.0; t += trSeconds) h.push_back(gammaPdf(t, 6.0) - gammaPdf(t, 16.0) / 6.0);
    const double peak = *std::max_element(h.begin(), h.end());
    for (double& v : h) v /= peak;
    return h;
}

// Blocks of 20 volumes of rest and 20 of task, convolved with the response.
std::vector<float> taskTimeCourse(const Settings& s)
{
    const std::vector<double> h = haemodynamicResponse(s.tr / 1000.0);
    std::vector<float> course(std::size_t(s.volumes), 0.0f);
    for (int v = 0; v < s.volumes; ++v) {
        double sum = 0;
        for (std::size_t k = 0; k < h.size() && int(k) <= v; ++k)
            if (((v - int(k)) / 20) % 2 == 1) sum += h[k];
        course[std::size_t(v)] = float(sum);
    }
    const float peak = *std::max_element(course.begin(), course.end());
    if (peak > 0)
        for (float& c : course) c /= peak;
    return course;
}

// Global signal over time: a slow scanner drift and a weak low-frequency oscillation.
std::vector<float> globalTimeCourse(const Settings& s)
{
    std::vector<float> g(std::size_t(s.volumes));
    for (int v = 0; v < s.volumes; ++v) {
        const double t = s.volumes > 1 ? double(v) / (s.volumes - 1) : 0.0;
        g[std::size_t(v)] = float(1.0 + 0.004 * t + 0.003 * std::sin(2 * Pi * v * (s.tr / 1000.0) / 12.0));
    }
    return g;
}

// The volumes at which the head moves suddenly: three for runs of ten or more
// volumes (near 30, 55 and 80 % of the run, shifted a little by the seed), one
// in the middle of shorter runs of three or more, none otherwise.
std::vector<int> jumpVolumes(const Settings& s, Noise& noise)
{
    std::vector<int> jumps;
    if (s.volumes >= 10) {
        for (double at : {0.30, 0.55, 0.80}) {
            const int shift = int(std::floor((noise.uniform() - 0.5) * s.volumes / 10.0));
            jumps.push_back(std::clamp(int(std::lround(at * s.volumes)) + shift, 1, s.volumes - 1));
        }
        std::sort(jumps.begin(), jumps.end());
        jumps.erase(std::unique(jumps.begin(), jumps.end()), jumps.end());
    } else if (s.volumes >= 3) {
        jumps.push_back(s.volumes / 2);
    }
    return jumps;
}

// Six rigid-body parameters per volume: translations in mm, rotations in
// degrees. Slow drift and breathing-like wobble, tiny jitter, and at each jump
// a sudden step of 0.6 to 1.2 mm and 0.4 to 0.8 degrees that the head keeps.
std::vector<std::vector<float>> motion(const Settings& s, const std::vector<int>& jumps, Noise& noise)
{
    std::vector<std::vector<float>> p(6, std::vector<float>(std::size_t(s.volumes)));
    const double drift[6] = {0.15, -0.25, 0.6, 0.3, -0.1, 0.15};
    double step[6] = {0, 0, 0, 0, 0, 0};
    std::size_t nextJump = 0;
    for (int v = 0; v < s.volumes; ++v) {
        if (nextJump < jumps.size() && jumps[nextJump] == v) {
            ++nextJump;
            const int mainTranslation = int(noise.uniform() * 3) % 3, mainRotation = 3 + int(noise.uniform() * 3) % 3;
            for (int k = 0; k < 6; ++k) {
                const double sign = noise.uniform() < 0.5 ? -1.0 : 1.0;
                double size = 0.1 * noise.uniform();
                if (k == mainTranslation) size = 0.6 + 0.6 * noise.uniform();
                if (k == mainRotation) size = 0.4 + 0.4 * noise.uniform();
                step[k] += sign * size;
            }
        }
        const double t = s.volumes > 1 ? double(v) / (s.volumes - 1) : 0.0;
        const double breathing = std::sin(2 * Pi * v * (s.tr / 1000.0) / 4.0);
        for (int k = 0; k < 6; ++k) {
            double value = drift[k] * (k == 2 ? std::pow(t, 1.3) : t) + step[k] + 0.004 * noise.gauss();
            if (k == 2) value += 0.01 * breathing; // the head rises and falls with the chest
            if (k == 3) value += 0.01 * breathing; // and nods a little
            p[std::size_t(k)][std::size_t(v)] = float(value);
        }
    }
    return p;
}

// ------------------------------------------------------------ files

void writeDocument(std::ostream& out, const Settings& s)
{
    RunDocument d;
    d.nx = s.nx, d.ny = s.ny, d.nz = s.nz, d.volumes = s.volumes;
    d.floats = s.floats;
    d.trMs = s.tr;
    d.teMs = 30;
    d.sliceOrder = 1; // ascending
    d.sliceOrderVerified = true;
    for (int a = 0; a < 3; ++a) d.voxel[a] = s.voxel[a];
    d.prefix = s.name;
    // Axial slices through the centre of the head.
    const float halfStack = float(0.5 * (s.nz - 1) * s.voxel[2]);
    d.slice1Center[2] = -halfStack;
    d.sliceNCenter[2] = halfStack;
    d.firstDataSource = "synthetic phantom, seed " + std::to_string(s.seed);
    for (int z = 0; z < s.nz; ++z) d.sliceTimes.push_back(float(double(z) * s.tr / s.nz));
    writeRunDocument(out, d);
}

// The slice data in file order (slice, volume, row, voxel), one slice image
// of every volume after the other, little-endian.
void writeSlices(std::ostream& out, const Settings& s, const std::vector<float>& taskCourse)
{
    Noise noise(s.seed * 2 + 1);
    const std::vector<float> global = globalTimeCourse(s);
    const std::size_t image = std::size_t(s.nx) * s.ny;
    const std::size_t elementSize = s.floats ? 4 : 2;
    std::vector<unsigned char> bytes(image * elementSize);
    for (int z = 0; z < s.nz; ++z) {
        const Slice slice = phantomSlice(s, z);
        for (int v = 0; v < s.volumes; ++v) {
            const float g = global[std::size_t(v)];
            const float t = s.task ? TaskAmplitude * taskCourse[std::size_t(v)] : 0.0f;
            unsigned char* p = bytes.data();
            for (std::size_t i = 0; i < image; ++i, p += elementSize) {
                float value;
                if (slice.base[i] > 0.0f) {
                    value = slice.base[i] * (g + t * slice.task[i]) + TissueNoise * noise.gauss();
                } else {
                    const float re = BackgroundNoise * noise.gauss(), im = BackgroundNoise * noise.gauss();
                    value = std::sqrt(re * re + im * im);
                }
                if (s.floats) {
                    std::uint32_t bits;
                    std::memcpy(&bits, &value, 4);
                    p[0] = std::uint8_t(bits), p[1] = std::uint8_t(bits >> 8), p[2] = std::uint8_t(bits >> 16),
                    p[3] = std::uint8_t(bits >> 24);
                } else {
                    const auto stored =
                        std::int16_t(std::clamp(std::lround(value), long(INT16_MIN), long(INT16_MAX)));
                    p[0] = std::uint8_t(std::uint16_t(stored)), p[1] = std::uint8_t(std::uint16_t(stored) >> 8);
                }
            }
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        }
    }
}

void saveMotion(const std::string& path, const Settings& s, const std::vector<std::vector<float>>& parameters)
{
    static const char* const names[6] = {"Translation X [mm]", "Translation Y [mm]", "Translation Z [mm]",
                                         "Rotation X [deg]",   "Rotation Y [deg]",   "Rotation Z [deg]"};
    static const int colours[6][3] = {{255, 0, 0}, {0, 200, 0}, {0, 0, 255}, {255, 200, 0}, {200, 0, 200}, {0, 200, 200}};
    SDM sdm;
    sdm.NrOfDataPoints = s.volumes;
    sdm.FirstConfoundPredictor = 1;
    for (int k = 0; k < 6; ++k)
        sdm.AddPredictor(parameters[std::size_t(k)], names[k], colours[k][0], colours[k][1], colours[k][2]);
    sdm.SaveAs(path);
}

void saveTask(const std::string& path, const Settings& s, const std::vector<float>& course)
{
    SDM sdm;
    sdm.NrOfDataPoints = s.volumes;
    sdm.IncludesConstant = true;
    sdm.FirstConfoundPredictor = 2;
    sdm.AddPredictor(course, "Task", 255, 80, 0);
    sdm.AddPredictor(std::vector<float>(std::size_t(s.volumes), 1.0f), "Constant", 255, 255, 255);
    sdm.SaveAs(path);
}

// ------------------------------------------------------------ the command

Settings settingsFrom(const cli::Args& args)
{
    Settings s;
    const auto integers = [&](const std::string& option, int* into, int count) {
        const auto values = args.all(option);
        for (int k = 0; k < count && k < int(values.size()); ++k) into[k] = int(std::stol(values[std::size_t(k)]));
    };
    int dims[3] = {s.nx, s.ny, s.nz};
    integers("--dims", dims, 3);
    s.nx = dims[0], s.ny = dims[1], s.nz = dims[2];
    // Each size is checked by the declaration; their product is not.
    if (std::int64_t(s.nx) * s.ny * s.nz > 2147483647)
        throw cli::UsageError("--dims must give at most 2147483647 voxels in a volume, got " + std::to_string(s.nx) + " x " +
                              std::to_string(s.ny) + " x " + std::to_string(s.nz));
    s.volumes = int(args.integer("--volumes"));
    const auto voxel = args.all("--voxel");
    for (int k = 0; k < 3 && k < int(voxel.size()); ++k) s.voxel[k] = std::stof(voxel[std::size_t(k)]);
    s.seed = std::uint64_t(args.integer("--seed"));
    s.floats = args.text("--data-type") == "float";
    s.name = args.text("--name");
    s.task = args.has("--task-sdm");
    return s;
}

int synth(const cli::Args& args)
{
    if (args.has("--bids")) {
        if (args.has("--out")) throw cli::UsageError("give --out (one run) or --bids (a sample study), not both");
        requireOutputFolder("--bids", args.text("--bids"));
        return writeSampleStudy(args.text("--bids"), int(args.integer("--participants")), std::uint64_t(args.integer("--seed")),
                                args.has("--confound-truth") ? args.text("--confound-truth") : "");
    }
    if (args.has("--participants")) throw cli::UsageError("--participants goes with --bids");
    if (args.has("--confound-truth")) throw cli::UsageError("--confound-truth goes with --bids");
    if (!args.has("--out")) throw cli::UsageError("--out is required (or --bids for a sample study)");
    const Settings s = settingsFrom(args);
    const fs::path out = args.text("--out");
    const std::string base = (out / s.name).string();
    const std::string fmrPath = base + ".fmr", stcPath = base + ".stc";
    const std::string motionPath = base + "_3DMC.sdm", taskPath = base + "_task.sdm";
    // The folder and the base name together make the paths the host is given;
    // they are checked before anything is created.
    cli::checkPathLength("--out and --name", fmrPath);
    cli::checkPathLength("--out and --name", motionPath);
    std::error_code ec;
    fs::create_directories(out, ec);
    if (!fs::is_directory(out))
        throw cli::RunError("--out: cannot create the folder " + out.string() +
                            (ec ? ": " + ec.message() : std::string(": a file of that name exists")));

    Noise motionNoise(s.seed * 2);
    const std::vector<int> jumps = jumpVolumes(s, motionNoise);
    const auto parameters = motion(s, jumps, motionNoise);
    const std::vector<float> course = taskTimeCourse(s);

    saveTextAtomically(stcPath, [&](std::ostream& os) { writeSlices(os, s, course); }, "Failed opening STC for writing: " + stcPath);
    saveTextAtomically(fmrPath, [&](std::ostream& os) { writeDocument(os, s); });
    saveMotion(motionPath, s, parameters);
    if (s.task) saveTask(taskPath, s, course);

    const std::string size = std::to_string(s.nx) + "x" + std::to_string(s.ny) + "x" + std::to_string(s.nz);
    std::cout << "wrote " << fmrPath << " (run of " << s.volumes << " volumes of " << size << " voxels)\n";
    std::cout << "wrote " << stcPath << " (" << (s.floats ? "float" : "16-bit") << " slice data)\n";
    std::cout << "wrote " << motionPath << " (6 motion predictors; jumps at volumes";
    if (jumps.empty()) std::cout << ": none";
    for (std::size_t k = 0; k < jumps.size(); ++k) std::cout << (k ? ", " : " ") << jumps[k];
    std::cout << ")\n";
    if (s.task) std::cout << "wrote " << taskPath << " (task blocks of 20 volumes and a constant)\n";
    return 0;
}

} // namespace

SyntheticRun syntheticRun(int nx, int ny, int nz, int volumes, const float voxel[3], std::uint64_t seed, int trMs, bool task)
{
    Settings s;
    s.nx = nx, s.ny = ny, s.nz = nz, s.volumes = volumes, s.seed = seed, s.tr = trMs, s.task = task;
    for (int a = 0; a < 3; ++a) s.voxel[a] = voxel[a];
    Noise motionNoise(s.seed * 2);
    SyntheticRun run;
    run.nx = nx, run.ny = ny, run.nz = nz, run.volumes = volumes;
    run.jumps = jumpVolumes(s, motionNoise);
    run.motion = motion(s, run.jumps, motionNoise);
    // The slice data in file order (slice, volume, row, voxel), reordered.
    std::ostringstream slices;
    writeSlices(slices, s, taskTimeCourse(s));
    const std::string bytes = slices.str();
    const std::size_t plane = std::size_t(nx) * std::size_t(ny), volume = plane * std::size_t(nz);
    run.voxels.resize(volume * std::size_t(volumes));
    for (int z = 0; z < nz; ++z)
        for (int v = 0; v < volumes; ++v)
            std::memcpy(&run.voxels[std::size_t(v) * volume + std::size_t(z) * plane],
                        bytes.data() + (std::size_t(z) * std::size_t(volumes) + std::size_t(v)) * plane * 4, plane * 4);
    return run;
}

cli::Command synthCommand()
{
    return {
        .name = "synth",
        .summary = "write a synthetic run: FMR document, slice data, motion SDM, optionally a task SDM",
        .description =
            "Writes NAME.fmr and NAME.stc into DIR: a head-shaped phantom (white matter ~800,\n"
            "grey matter ~600, cerebrospinal fluid ~300, a dark background of ~0-20) with Gaussian\n"
            "noise, a slow drift and a weak oscillation over time. NAME_3DMC.sdm holds the head's\n"
            "motion (translations in mm, rotations in degrees): slow drift and a few sudden jumps,\n"
            "whose volumes are printed. With --task-sdm, NAME_task.sdm holds a block design (20\n"
            "volumes of rest, 20 of task, convolved with a haemodynamic response, then a constant),\n"
            "and a 2 % task signal is added to a region of cortex. The same seed gives the same files.\n\n"
            "With --bids DIR, a small BIDS study instead: --participants participants with two sessions of\n"
            "two tasks (rest, and two runs of a motor task with its events), NIfTI runs of such a phantom\n"
            "with a little motion each on a slightly tilted grid, the sidecars, and in\n"
            "DIR/derivatives/fmriprep the derivatives in fMRIPrep's layout: the confounds table with the\n"
            "motion (in fMRIPrep's convention), the boldref and the brain mask of each run.",
        .options = {
            // Required unless --bids asks for a sample study instead.
            [] {
                cli::Option out = outFolderOption();
                out.required = false;
                return out;
            }(),
            cli::integer("--dims", "N", "voxels along x, y and z").values(3).means("a whole number of voxels").from(1).to(4096).byDefault("64 64 30"),
            cli::integer("--volumes", "N", "number of volumes").means("a whole number of volumes").from(1).to(100000).byDefault("200"),
            cli::number("--voxel", "MM", "voxel size along x, y and z").values(3).means("a number of millimetres").from(0.1).to(100).byDefault("3 3 3.5"),
            cli::integer("--seed", "S", "seed of the noise and of the motion").from(0).byDefault("1"),
            cli::text("--data-type", "TYPE", "element type of the slice data").oneOf({"float", "int16"}).byDefault("float"),
            nameOption("synth", ""),
            cli::flag("--task-sdm", "also write NAME_task.sdm and add its signal to the data"),
            cli::path("--bids", "DIR", "instead of one run, a sample BIDS study with fMRIPrep-style derivatives"),
            cli::integer("--participants", "N", "with --bids: how many participants")
                .means("a whole number of participants")
                .from(1)
                .to(99)
                .byDefault("3"),
            cli::text("--confound-truth", "FAMILY",
                      "with --bids: every brain voxel follows exactly the confound model of the default sequence up to "
                      "this family (tremora bids --compare-models), with noise and the task's effect")
                .oneOf(confoundTruths()),
        },
        .examples = {
            "tremora synth --out demo",
            "tremora synth --out big --dims 96 96 60 --volumes 500 --data-type int16 --task-sdm",
            "tremora synth --bids study --participants 2",
            "tremora synth --bids study --confound-truth 24p",
        },
        .run = synth,
    };
}

} // namespace tool
