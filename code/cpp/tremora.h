// The plug-in: its seven plain exports, the plug-in object with its task
// dispatch and tasks, and the log stream into the host's log pane.
#pragma once

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <glm/glm.hpp>

#include "TMZRPluginInterface.h"
#include "mySDM.h"
#include "volume.h"

// An output stream whose text reaches the host when it is flushed: each flush
// hands everything written since the previous flush to the output function in
// one call (also when nothing was written).
class TMZRLog : public std::ostream {
public:
    class TMZRBuf : public std::stringbuf {
    public:
        explicit TMZRBuf(void (*output)(const char*));
        ~TMZRBuf() override;

    protected:
        int sync() override;

    private:
        void (*output_)(const char*);
    };

    explicit TMZRLog(void (*output)(const char*));
    ~TMZRLog() override;
};

// The plug-in object the host creates with createPlugin and drives through
// initPlugin and execute.
class tremora : public TMZRPluginInterface {
public:
    tremora() = default;
    ~tremora() override;
    bool execute() override;
    bool initPlugin() override;

    // Tasks, selected by the script parameter "task".
    void select_3dmcsdm();
    void calculate_displacement();
    void create_confounds();

    // The motion SDMs named by a path: one SDM, every SDM an MDM lists, or none.
    std::vector<SDM> get_3dmcsdms(std::string fileName);

private:

    std::unique_ptr<TMZRLog> log_;
};

// Hands a volume to the host as a map of type 1 of the current run (x and y
// exchanged first when transpose is set) and has the host save it.
void saveMap(Volume<float> const& vol, bool transpose, float threshold1, float threshold2,
             std::string const& fileName);

// How far every masked voxel of a run moved, in millimetres, according to the
// run's motion parameters (the first six predictors of a 3D motion correction
// SDM). Absolute displacement is measured from the voxel's reference position,
// relative displacement from its position in the previous volume; maxima and
// means are over all volumes. Voxels outside the mask stay 0.
struct DisplacementMaps {
    Volume<float> maxAbsolute;
    Volume<float> meanAbsolute;
    Volume<float> maxRelative;
    Volume<float> meanRelative;
    Volume<float> maxAbsoluteX;
    Volume<float> maxAbsoluteY;
    Volume<float> maxAbsoluteZ;
};

// dims and extent (voxel count times voxel size per axis) describe the run's
// grid, centred at the origin; mask lists voxel indices x + nx*(y + ny*z) in
// increasing order. Needs at least six predictors and one data point. The
// voxels are shared among `threads` worker threads (0: the library's count,
// see setPluginThreads); the results are the same bits for any count.
DisplacementMaps computeDisplacementMaps(const SDM& motion, glm::tvec3<int> dims, glm::tvec3<float> extent,
                                         const std::vector<int>& mask, int threads = 0);

// The confound predictor sets of one motion SDM, spikes judged against
// spikeThreshold (mm). The seven parameter sets start from the detrended
// motion parameters and are z-transformed; the spike set holds one predictor
// per spike volume, 1.0 there and 0.0 elsewhere.
struct ConfoundSets {
    SDM detrended;
    SDM derivative; // temporal derivative of the detrended parameters
    SDM squared;
    SDM delayed1; // delayed by one volume
    SDM delayed2; // delayed by two volumes
    SDM delayed1sq;
    SDM delayed2sq;
    SDM spikes;
    // Volume-to-volume RMS displacement of the detrended parameters (mm), and
    // the volumes where it exceeds the spike threshold, in increasing order.
    std::vector<float> displacement;
    std::vector<int> spikeVolumes;
    // The detrended parameters in their own units, before the z-transformation.
    SDM detrendedMotion;
};

ConfoundSets buildConfoundSets(const SDM& motion, float spikeThreshold);

extern "C" {
TMZRPluginInterface* createPlugin();
const char* getPluginName();
const char* getPluginDescription();
const char* getAuthor();
const char* getHelpFile();
const char* getPluginVersion();
const char* getGUIScript();
// Worker threads of the displacement computation and the confound model
// analysis. Without a call, as when the desktop host loads the plug-in, they
// are the cores the process may run on (its affinity mask); a program that
// loads the plug-in may resolve setPluginThreads with dlsym and set another
// count (0 or less returns to the default). getPluginThreads gives the count
// in force.
void setPluginThreads(int threads);
int getPluginThreads();
}
