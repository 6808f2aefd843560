#include "tremora.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <stdexcept>

#include "gridtransformations.h"
#include "myFMR.h"
#include "myGLMfunctions.h"
#include "myMDM.h"
#include "mySDM.h"
#include "mySDMfunctions.h"
#include "parallel.h"
#include "stringmanipulation.h"
#include "taskparameters.h"
#include "vector.h"

// ---------------------------------------------------------------- exports

extern "C" {
TMZRPluginInterface* createPlugin() { return new tremora(); }
const char* getPluginName() { return "Tremora"; }
const char* getPluginDescription()
{
    return "Process the motion predictor SDM in different ways to create a variety of confound models.";
}
const char* getAuthor() { return "<i>LT</i>"; }
const char* getHelpFile() { return "HelpFolder/index.html"; }
const char* getPluginVersion() { return "2.0"; }
const char* getGUIScript() { return "Tremora.js"; }
void setPluginThreads(int threads) { parallel::setThreadCount(threads); }
int getPluginThreads() { return parallel::threadCount(); }
}

// ---------------------------------------------------------------- log stream

TMZRLog::TMZRBuf::TMZRBuf(void (*output)(const char*))
    : std::stringbuf(std::ios_base::in | std::ios_base::out), output_(output) {}

TMZRLog::TMZRBuf::~TMZRBuf() { sync(); }

int TMZRLog::TMZRBuf::sync()
{
    const std::string text = str();
    if (output_ != nullptr) output_(text.c_str());
    str(std::string());
    return 0;
}

TMZRLog::TMZRLog(void (*output)(const char*)) : std::ostream(new TMZRBuf(output)) {}

TMZRLog::~TMZRLog() { delete rdbuf(); }

// ---------------------------------------------------------------- plug-in object

namespace {

// The log's output function: the host's zrLogText, or nothing when the host
// lacks it (a log call must never throw from inside the stream machinery).
void logToHost(const char* text)
{
    if (zrLogText) zrLogText(text);
}

// A text parameter (512-byte buffer, always terminated).
std::string readText(const script::Parameter& p)
{
    char buffer[512] = {};
    zrGetStringParameter(p.name, buffer);
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

// A message box that cannot fail: without the host's box the text goes to the log.
void showMessage(const std::string& text)
{
    if (zrMessageBox)
        zrMessageBox(text.c_str());
    else
        logToHost(text.c_str());
}

// One message in the host's log pane: the display name, ">  " and the parts,
// handed to the host by one flush (with whatever was written before it).
template <typename... Parts>
void logMessage(std::ostream& log, const Parts&... parts)
{
    log << getPluginName() << ">  ";
    (log << ... << parts) << std::flush;
}

} // namespace

tremora::~tremora()
{
    if (log_) {
        *log_ << '\n';
        logMessage(*log_, "Plugin finished!\n");
        log_.reset();
    }
}

bool tremora::initPlugin()
{
    if (!InitZRAccess()) return false;
    log_ = std::make_unique<TMZRLog>(&logToHost);

    int major = 0, minor = 0, revision = 0;
    zrGetVersionOfTalmoraZR(&major, &minor, &revision);
    if (!checkVersionGreaterEqualVersion(major, minor, revision, 2, 8, 0)) {
        showMessage("Can not execute this plugin - TalmoraZR version 2.8 or higher required.");
        return false;
    }
    try {
        zrShowLogTab();
        *log_ << '\n';
        logMessage(*log_, "Running...");
        const int document = zrGetIDOfCurrentDocument();
        if (document < 0) {
            showMessage("No current document available.");
            return false;
        }
        if (zrGetDocumentType(document) != 1) {
            showMessage("The currently active document is not a FMR document.");
            return false;
        }
    } catch (const std::exception& e) {
        // A host without one of these functions cannot run the plug-in.
        showMessage(std::string("Error: ") + e.what());
        return false;
    }
    return true;
}

bool tremora::execute()
{
    bool busy = false;
    try {
        const std::string task = readText(script::taskParameter);

        if (task == "select_3dmcsdm") {
            select_3dmcsdm();
            return true;
        }
        zrShowBusyCursor();
        busy = true;
        if (task == "displacement")
            calculate_displacement();
        else if (task == "confound")
            create_confounds();
        busy = false;
        zrStopBusyCursor();
    } catch (const std::exception& e) {
        if (busy) {
            try {
                zrStopBusyCursor();
            } catch (const std::exception&) {
            }
        }
        showMessage(std::string("Error: ") + e.what());
    }
    return true;
}

// ---------------------------------------------------------------- map output

void saveMap(Volume<float> const& vol, bool transpose, float threshold1, float threshold2,
             std::string const& fileName)
{
    // The typed writer with degrees of freedom of 0 leaves the host's.
    if (transpose)
        saveMap(vol.transposeXY(), 1, threshold1, threshold2, 0, 0, fileName);
    else
        saveMap(vol, 1, threshold1, threshold2, 0, 0, fileName);
}

// ---------------------------------------------------------------- voxel displacement

namespace {

// Voxels are processed in blocks of this many, one SIMD register wide on the
// widest target, so that a block's running sums and maxima stay in registers
// while it walks through all volumes.
constexpr int kBlock = 16;

// One volume's rigid transform, as the grid transform reads it:
// x' = (m[0]*x + m[1]*y) + m[2]*z + m[3], and likewise for y' (m[4..7]) and z' (m[8..11]).
using Rigid = std::array<float, 12>;

// The seven running measures of the voxels of one block, advanced through
// every volume. The arithmetic per voxel is the plain per-volume algorithm's,
// operation for operation, so the results are the same bit for bit.
__attribute__((target_clones("avx512f", "avx2", "default")))
void displacementBlock(const float* __restrict x0, const float* __restrict y0, const float* __restrict z0,
                       const Rigid* __restrict transforms, int volumes, float* __restrict out)
{
    float px[kBlock], py[kBlock], pz[kBlock];
    float sumA[kBlock], maxA[kBlock], sumR[kBlock], maxR[kBlock], maxX[kBlock], maxY[kBlock], maxZ[kBlock];
    for (int k = 0; k < kBlock; ++k) {
        px[k] = x0[k];
        py[k] = y0[k];
        pz[k] = z0[k];
        sumA[k] = maxA[k] = sumR[k] = maxR[k] = maxX[k] = maxY[k] = maxZ[k] = 0.0f;
    }
    for (int t = 0; t < volumes; ++t) {
        const Rigid& m = transforms[t];
        for (int k = 0; k < kBlock; ++k) {
            const float x = x0[k], y = y0[k], z = z0[k];
            const float gx = (m[0] * x + m[1] * y) + m[2] * z + m[3];
            const float gy = (m[4] * x + m[5] * y) + m[6] * z + m[7];
            const float gz = (m[8] * x + m[9] * y) + m[10] * z + m[11];
            const float ax = gx - x, ay = gy - y, az = gz - z;
            const float rx = gx - px[k], ry = gy - py[k], rz = gz - pz[k];
            const float a = std::sqrt((ax * ax + ay * ay) + az * az);
            const float r = std::sqrt(rx * rx + ry * ry + rz * rz);
            sumA[k] += a;
            maxA[k] = maxA[k] > a ? maxA[k] : a;
            sumR[k] += r;
            maxR[k] = maxR[k] > r ? maxR[k] : r;
            const float fx = std::fabs(ax), fy = std::fabs(ay), fz = std::fabs(az);
            maxX[k] = maxX[k] > fx ? maxX[k] : fx;
            maxY[k] = maxY[k] > fy ? maxY[k] : fy;
            maxZ[k] = maxZ[k] > fz ? maxZ[k] : fz;
            px[k] = gx;
            py[k] = gy;
            pz[k] = gz;
        }
    }
    for (int k = 0; k < kBlock; ++k) {
        out[0 * kBlock + k] = maxA[k];
        out[1 * kBlock + k] = sumA[k];
        out[2 * kBlock + k] = maxR[k];
        out[3 * kBlock + k] = sumR[k];
        out[4 * kBlock + k] = maxX[k];
        out[5 * kBlock + k] = maxY[k];
        out[6 * kBlock + k] = maxZ[k];
    }
}

} // namespace

DisplacementMaps computeDisplacementMaps(const SDM& motion, glm::tvec3<int> dims, glm::tvec3<float> extent,
                                         const std::vector<int>& mask, int threads)
{
    if (motion.NrOfPredictors.value() < 6 || motion.NrOfDataPoints.value() < 1)
        throw std::runtime_error("voxel displacement needs six motion predictors and at least one volume");
    const int volumes = motion.NrOfDataPoints.value();

    // Every volume is transformed from the reference grid; the transforms are built once.
    std::vector<Rigid> transforms(static_cast<std::size_t>(volumes));
    Vector<float> parameters(6);
    for (int t = 0; t < volumes; ++t) {
        for (int p = 0; p < 6; ++p) parameters[p] = motion.Predictors[static_cast<std::size_t>(p)][static_cast<std::size_t>(t)];
        const glm::tmat4x4<float> m = getTrfMatrixTM(parameters);
        transforms[static_cast<std::size_t>(t)] = {m[0][0], m[1][0], m[2][0], m[0][3], m[0][1], m[1][1],
                                                   m[2][1], m[1][3], m[0][2], m[1][2], m[2][2], m[2][3]};
    }

    DisplacementMaps maps{Volume<float>(dims), Volume<float>(dims), Volume<float>(dims), Volume<float>(dims),
                          Volume<float>(dims), Volume<float>(dims), Volume<float>(dims)};
    float* results[7] = {maps.maxAbsolute.data(),  maps.meanAbsolute.data(), maps.maxRelative.data(),
                         maps.meanRelative.data(), maps.maxAbsoluteX.data(), maps.maxAbsoluteY.data(),
                         maps.maxAbsoluteZ.data()};
    const std::size_t voxels = static_cast<std::size_t>(maps.maxAbsolute.size());
    const auto zero = [&](std::size_t begin, std::size_t end) {
        for (float* result : results) std::fill(result + begin, result + end, 0.0f);
    };

    // Reference positions of the voxel centres, with the volume centre at the
    // origin, computed exactly as the sampling grid computes them.
    const float stepX = extent.x / static_cast<float>(dims.x);
    const float stepY = extent.y / static_cast<float>(dims.y);
    const float stepZ = extent.z / static_cast<float>(dims.z);
    const float offX = (stepX - extent.x) * 0.5f, offY = (stepY - extent.y) * 0.5f, offZ = (stepZ - extent.z) * 0.5f;
    const int slice = dims.x * dims.y;
    const float n = static_cast<float>(volumes);

    // Voxel blocks are handed to the workers in chunks; each voxel's results
    // come from its own loop alone, so they are the same for any thread count.
    const std::size_t count = mask.size();
    const std::size_t blocks = (count + kBlock - 1) / kBlock;
    constexpr std::size_t blocksPerChunk = 64;
    constexpr std::size_t chunkVoxels = blocksPerChunk * kBlock;
    const std::size_t chunks = (blocks + blocksPerChunk - 1) / blocksPerChunk;
    // With the mask in ascending order each chunk owns the stretch of the
    // volumes from its first voxel to the next chunk's, and sets the voxels
    // outside the mask there to 0 itself: the volumes are written once, on
    // the workers, which their first writing mostly costs. Another mask gets
    // a pass of its own that zeroes the volumes first.
    const bool ascending =
        count > 0 && std::adjacent_find(mask.begin(), mask.end(), [](int a, int b) { return a >= b; }) == mask.end();
    if (!ascending) {
        constexpr std::size_t stretch = std::size_t(1) << 16;
        parallel::forEach((voxels + stretch - 1) / stretch, threads, [&](std::size_t part, int) {
            zero(part * stretch, std::min(voxels, (part + 1) * stretch));
        });
    }
    parallel::forEach(chunks, threads, [&](std::size_t chunk, int) {
        const std::size_t end = std::min(count, (chunk + 1) * chunkVoxels);
        if (ascending)
            zero(chunk == 0 ? 0 : static_cast<std::size_t>(mask[chunk * chunkVoxels]),
                 end == count ? voxels : static_cast<std::size_t>(mask[end]));
        for (std::size_t start = chunk * chunkVoxels; start < end; start += kBlock) {
            const std::size_t used = std::min<std::size_t>(kBlock, count - start);
            alignas(64) float x0[kBlock], y0[kBlock], z0[kBlock], out[7 * kBlock];
            for (std::size_t k = 0; k < kBlock; ++k) {
                // A short last block repeats its first voxel; the copies are discarded.
                const int index = mask[start + (k < used ? k : 0)];
                const int z = index / slice, y = (index % slice) / dims.x, x = index % dims.x;
                x0[k] = static_cast<float>(x) * stepX + offX;
                y0[k] = static_cast<float>(y) * stepY + offY;
                z0[k] = static_cast<float>(z) * stepZ + offZ;
            }
            displacementBlock(x0, y0, z0, transforms.data(), volumes, out);
            for (std::size_t k = 0; k < used; ++k) {
                const int index = mask[start + k];
                results[0][index] = out[0 * kBlock + k];
                results[1][index] = out[1 * kBlock + k] / n;
                results[2][index] = out[2 * kBlock + k];
                results[3][index] = out[3 * kBlock + k] / n;
                results[4][index] = out[4 * kBlock + k];
                results[5][index] = out[5 * kBlock + k];
                results[6][index] = out[6 * kBlock + k];
            }
        }
    });
    return maps;
}

// ---------------------------------------------------------------- confound sets

ConfoundSets buildConfoundSets(const SDM& motion, float spikeThreshold)
{
    ConfoundSets sets;
    // Every set starts from the detrended parameters, before any z-transformation.
    sets.detrendedMotion = motion;
    detrendAllPredictors(sets.detrendedMotion);
    sets.detrended = sets.detrendedMotion;
    sets.derivative = sets.detrendedMotion;
    derivativeAllPredictors(sets.derivative);
    sets.delayed1 = sets.detrendedMotion;
    timeDelayAllPredictors(sets.delayed1, 1);
    sets.delayed2 = sets.detrendedMotion;
    timeDelayAllPredictors(sets.delayed2, 2);
    sets.squared = sets.detrendedMotion;
    squareAllPredictors(sets.squared);
    sets.delayed1sq = sets.delayed1;
    squareAllPredictors(sets.delayed1sq);
    sets.delayed2sq = sets.delayed2;
    squareAllPredictors(sets.delayed2sq);
    for (SDM* set : {&sets.detrended, &sets.derivative, &sets.squared, &sets.delayed1, &sets.delayed2,
                     &sets.delayed1sq, &sets.delayed2sq})
        zTransformAllPredictors(*set);

    // Spikes are judged by the volume-to-volume RMS displacement of the
    // detrended motion, so that a slow drift does not count as a jump.
    sets.displacement = getDistanceRMSfrom3DMCSDM(sets.detrendedMotion);
    sets.spikeVolumes = indicesGreaterThan<float>(sets.displacement, spikeThreshold);
    sets.spikes = spikeSet(motion, sets.spikeVolumes);
    return sets;
}

// ---------------------------------------------------------------- tasks

namespace {

// Script parameters, named only through their declarations (taskparameters.h).
using script::Direction;
using script::HostType;

consteval script::Declared<HostType::Float> number(const script::Task& task, std::string_view name)
{
    return script::declared<HostType::Float>(task, name);
}
consteval script::Declared<HostType::Int> yesNo(const script::Task& task, std::string_view name)
{
    return script::declared<HostType::Int>(task, name);
}
consteval script::Declared<HostType::Text> text(const script::Task& task, std::string_view name,
                                               Direction direction = Direction::Read)
{
    return script::declared<HostType::Text>(task, name, direction);
}

float read(script::Declared<HostType::Float> p) { return zrGetFloatParameter(p.parameter->name); }
bool read(script::Declared<HostType::Int> p) { return zrGetIntParameter(p.parameter->name) != 0; }

std::string read(script::Declared<HostType::Text> p) { return readText(*p.parameter); }

void write(script::Declared<HostType::Text> p, const std::string& value)
{
    zrSetStringParameter(p.parameter->name, value.c_str());
}

// The motion SDM path of the script; the tasks that need it cannot guess it.
void requireMotionFile(const std::string& sdmfile)
{
    if (sdmfile.empty())
        throw std::runtime_error("No motion SDM selected: choose the run's _3DMC.sdm (or an MDM listing them) "
                                 "with the selection task first.");
}

// Any motion measure needs the six motion parameters and at least one volume.
void requireMotionParameters(const SDM& sdm)
{
    if (sdm.NrOfPredictors.value() < 6)
        throw std::runtime_error(sdm.FileName + " holds " + std::to_string(sdm.NrOfPredictors.value()) +
                                 " predictors; a 3D motion correction SDM has six (translations, rotations).");
    if (sdm.NrOfDataPoints.value() < 1) throw std::runtime_error(sdm.FileName + " holds no data points.");
}

// The largest voxel value, the first of equal maxima winning; a NaN never replaces.
float largestValue(const Volume<float>& vol)
{
    const int n = vol.size();
    if (n == 0) return 0.0f;
    float largest = vol[0];
    for (int i = 1; i < n; ++i)
        if (vol[i] > largest) largest = vol[i];
    return largest;
}

} // namespace

std::vector<SDM> tremora::get_3dmcsdms(std::string fileName)
{
    std::vector<SDM> sdms;
    if (hasExtension(fileName, "sdm")) {
        sdms.emplace_back(fileName);
    } else if (hasExtension(fileName, "mdm")) {
        MDM mdm(fileName);
        mdm.CheckAndCorrectPath();
        for (const std::string& path : mdm.SDMPaths) sdms.emplace_back(path);
    }
    return sdms;
}

void tremora::select_3dmcsdm()
{
    char buffer[512] = {};
    const int chosen = zrGetOpenFileName("Choose the 3DMC SDM you want to use:", "",
                                         "3D Motion Correction (*_3DMC.sdm *_3DMC.mdm)", buffer);
    if (chosen == 0) throw std::runtime_error("You must choose a valid file!");
    buffer[sizeof buffer - 1] = '\0';
    const std::string path(buffer);

    const std::vector<SDM> sdms = get_3dmcsdms(path);
    if (sdms.empty()) {
        if (hasExtension(path, "mdm"))
            throw std::runtime_error("The MDM " + path + " lists no study: there is no motion SDM to use.");
        throw std::runtime_error(path + " is neither an SDM (.sdm) nor an MDM (.mdm) file.");
    }
    FMR_Header header{};
    zrGetHeaderOfCurrentFMR(&header);
    if (header.NrOfVolumes != sdms.front().NrOfDataPoints.value())
        zrMessageBox("FMR and _3DMC.sdm don't have the same number of volumes!");
    write(text(script::selectTask, "sdmfile", Direction::Written), path);
}

void tremora::create_confounds()
{
    constexpr const script::Task& task = script::confoundTask;
    constexpr auto detrendedSet = yesNo(task, "create_detrended"), derivativeSet = yesNo(task, "create_derivative"),
                   spikeSet = yesNo(task, "create_spikes"), squaredSet = yesNo(task, "create_squared"),
                   delayed1Set = yesNo(task, "create_delayed1"), delayed1sqSet = yesNo(task, "create_delayed1sq"),
                   delayed2Set = yesNo(task, "create_delayed2"), delayed2sqSet = yesNo(task, "create_delayed2sq");
    const float spikeThreshold = read(number(task, "spike_threshold"));
    const bool createDetrended = read(detrendedSet);
    const bool createDerivative = read(derivativeSet);
    const bool createSpikes = read(spikeSet);
    const bool createSquared = read(squaredSet);
    const bool createDelayed1 = read(delayed1Set);
    const bool createDelayed1sq = read(delayed1sqSet);
    const bool createDelayed2 = read(delayed2Set);
    const bool createDelayed2sq = read(delayed2sqSet);
    const bool plotRegular = read(yesNo(task, "plot_regular"));
    const bool plotDetrended = read(yesNo(task, "plot_detrended"));
    const std::string sdmfile = read(text(task, "sdmfile"));
    requireMotionFile(sdmfile);

    const std::vector<SDM> motions = get_3dmcsdms(sdmfile);
    for (const SDM& motion : motions) requireMotionParameters(motion);

    for (const SDM& motion : motions) {
        if (plotRegular) {
            SDM regular(motion);
            plot(regular, 2, 1, 3);
        }
        ConfoundSets sets = buildConfoundSets(motion, spikeThreshold);

        if (createSpikes) {
            logMessage(*log_, "Detecting Spikes");
            for (int k : sets.spikeVolumes)
                logMessage(*log_, "Found spike at position ", k, " with displacement ",
                           sets.displacement[static_cast<std::size_t>(k)], " mm");
            if (sets.spikeVolumes.empty())
                logMessage(*log_, "No spikes found with displacement greater than ", spikeThreshold, " mm");
        }

        if (plotDetrended) {
            SDM shown(sets.detrendedMotion);
            shown.FileName += " + Displacement for Spike Detection";
            shown.AddPredictor(sets.displacement, "relative RMS displacement", 250, 250, 250);
            shown.AddPredictor(std::vector<float>(static_cast<std::size_t>(shown.NrOfDataPoints.value()), spikeThreshold),
                               "Spike threshold", 150, 0, 0);
            plot(shown, 2, 1, 3);
        }

        logMessage(*log_, "Saving SDMs");
        if (createSpikes && sets.spikes.NrOfPredictors.value() > 0)
            sets.spikes.SaveAs(script::outputFileName(*spikeSet.parameter, motion.FileName));
        const struct {
            SDM* sdm;
            bool save;
            const script::Parameter* parameter; // names the file
        } outputs[] = {{&sets.detrended, createDetrended, detrendedSet.parameter},
                       {&sets.derivative, createDerivative, derivativeSet.parameter},
                       {&sets.squared, createSquared, squaredSet.parameter},
                       {&sets.delayed1, createDelayed1, delayed1Set.parameter},
                       {&sets.delayed2, createDelayed2, delayed2Set.parameter},
                       {&sets.delayed1sq, createDelayed1sq, delayed1sqSet.parameter},
                       {&sets.delayed2sq, createDelayed2sq, delayed2sqSet.parameter}};
        for (const auto& output : outputs)
            if (output.save) output.sdm->SaveAs(script::outputFileName(*output.parameter, motion.FileName));
    }
}

void tremora::calculate_displacement()
{
    constexpr const script::Task& task = script::displacementTask;
    constexpr auto maxAbsMap = yesNo(task, "map_max_abs"), meanAbsMap = yesNo(task, "map_mean_abs"),
                   maxRelMap = yesNo(task, "map_max_rel"), meanRelMap = yesNo(task, "map_mean_rel"),
                   maxAbsXMap = yesNo(task, "map_max_abs_x"), maxAbsYMap = yesNo(task, "map_max_abs_y"),
                   maxAbsZMap = yesNo(task, "map_max_abs_z");
    const float fmrThreshold = read(number(task, "fmr_threshold"));
    const bool mapMaxAbs = read(maxAbsMap);
    const bool mapMeanAbs = read(meanAbsMap);
    const bool mapMaxRel = read(maxRelMap);
    const bool mapMeanRel = read(meanRelMap);
    const bool mapMaxAbsX = read(maxAbsXMap);
    const bool mapMaxAbsY = read(maxAbsYMap);
    const bool mapMaxAbsZ = read(maxAbsZMap);
    const bool plotRegular = read(yesNo(task, "plot_regular"));
    const bool plotDetrended = read(yesNo(task, "plot_detrended"));
    const std::string sdmfile = read(text(task, "sdmfile"));
    requireMotionFile(sdmfile);

    const std::vector<SDM> motions = get_3dmcsdms(sdmfile);
    for (const SDM& motion : motions) requireMotionParameters(motion);

    FMR_Header header{};
    zrGetHeaderOfCurrentFMR(&header);
    header.FileName[sizeof header.FileName - 1] = '\0';
    const glm::tvec3<int> dims(header.DimX, header.DimY, header.DimZ);
    // The run's physical size: the grid's voxel centres lie symmetric about the origin,
    // which is the centre the motion correction's rotations turn about.
    const glm::tvec3<float> extent(static_cast<float>(header.DimX) * header.VoxelSizeX,
                                   static_cast<float>(header.DimY) * header.VoxelSizeY,
                                   static_cast<float>(header.DimZ) * header.VoxelSizeZ);
    logMessage(*log_, "FMR size voxels: ", header.DimX, " x ", header.DimY, " x ", header.DimZ);

    // The mask: voxels brighter than the threshold in the first volume. Only that
    // volume is read from the slice data.
    FMR fmr(header.FileName, false);
    if (fmr.ResolutionX.value() != header.DimX || fmr.ResolutionY.value() != header.DimY ||
        fmr.NrOfSlices.value() != header.DimZ)
        throw std::runtime_error(std::string("The run document ") + header.FileName + " has " +
                                 std::to_string(fmr.ResolutionX.value()) + " x " +
                                 std::to_string(fmr.ResolutionY.value()) + " x " +
                                 std::to_string(fmr.NrOfSlices.value()) + " voxels, the host's run " +
                                 std::to_string(header.DimX) + " x " + std::to_string(header.DimY) + " x " +
                                 std::to_string(header.DimZ) + ".");
    std::vector<int> mask;
    {
        fmr.LoadSTCVolume(0);
        const Volume<float>& first = fmr.Volumes.at(0);
        const int voxels = first.size();
        for (int i = 0; i < voxels; ++i)
            if (first[i] > fmrThreshold) mask.push_back(i);
    }
    fmr.UnloadSTC();

    for (const SDM& motion : motions) {
        SDM copy(motion);
        if (plotRegular) plot(copy, 2, 1, 3);
        if (plotDetrended) {
            const std::vector<float> rms = getDistanceRMSfrom3DMCSDM(copy);
            SDM shown(motion);
            detrendAllPredictors(shown);
            shown.FileName += " detrended  + relative RMS displacement";
            shown.AddPredictor(rms, "relative RMS displacement", 250, 250, 250);
            plot(shown, 2, 1, 3);
        }
        logMessage(*log_, "Start calculating voxel specific motion in ", copy.NrOfDataPoints.value(), " volumes");
        const DisplacementMaps maps = computeDisplacementMaps(copy, dims, extent, mask);

        logMessage(*log_, "Saving Maps");
        const struct {
            bool save;
            const Volume<float>* volume;
            const script::Parameter* parameter; // names the map
        } outputs[] = {{mapMaxAbs, &maps.maxAbsolute, maxAbsMap.parameter},
                       {mapMeanAbs, &maps.meanAbsolute, meanAbsMap.parameter},
                       {mapMeanRel, &maps.meanRelative, meanRelMap.parameter},
                       {mapMaxRel, &maps.maxRelative, maxRelMap.parameter},
                       {mapMaxAbsX, &maps.maxAbsoluteX, maxAbsXMap.parameter},
                       {mapMaxAbsY, &maps.maxAbsoluteY, maxAbsYMap.parameter},
                       {mapMaxAbsZ, &maps.maxAbsoluteZ, maxAbsZMap.parameter}};
        for (const auto& output : outputs)
            if (output.save)
                saveMap(*output.volume, false, 0.01f, largestValue(*output.volume),
                        script::outputFileName(*output.parameter, copy.FileName));
    }
}
