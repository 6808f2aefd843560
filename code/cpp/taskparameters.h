// The script parameters of the plug-in's tasks, declared once.
//
// The tasks read their parameters only through these declarations: a task
// that asks for a parameter its declaration does not list, or asks for it with
// another host type, does not compile. The help page (HelpFolder/index.html)
// and the README's script reference are generated from the same tables, so
// what a task reads, what a script may set and what the documentation says
// cannot drift apart. Each task's list is in the order the task reads it.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace script {

// How the host is asked for a value, which is also the type the script sets.
enum class HostType {
    Float, // zrGetFloatParameter
    Int,   // zrGetIntParameter; every Int parameter is a yes/no switch: 0 no, any other value yes
    Text,  // zrGetStringParameter into a 512-byte buffer (at most 511 bytes)
};

// Whether the task reads the parameter or hands it back to the script.
enum class Direction { Read, Written };

struct Parameter {
    const char* name;
    HostType type;
    Direction direction = Direction::Read;
    const char* unit = "";      // of the value; "" when it has none
    // Texts for the documentation; `backticks` mark code.
    const char* meaning = "";   // what the value is for
    const char* yes = "";       // switches: what a nonzero value does
    const char* no = "";        // switches: what 0 does
    const char* suggested = ""; // a sensible value to start a script from
    // The file a switch asks for: the suffix added to the motion SDM's name,
    // before its extension ("_detr") or replacing it ("_MaxAbsolute.map").
    const char* output = "";
    const char* contents = "";   // what that file holds
    const char* outputUnit = ""; // the unit of its values
};

struct Task {
    const char* name;    // the value of "task" that runs it
    const char* title;   // a few words
    const char* summary; // what it does, one or two sentences
    std::span<const Parameter> parameters;
};

// The parameter every request sets: which task execute runs.
inline constexpr Parameter taskParameter{
    .name = "task",
    .type = HostType::Text,
    .meaning = "Which task to run: `select_3dmcsdm`, `displacement` or `confound`, spelled exactly so "
               "(any other text runs nothing).",
    .suggested = "`select_3dmcsdm` first, then `displacement` or `confound`",
};

inline constexpr Parameter selectParameters[] = {
    {.name = "sdmfile",
     .type = HostType::Text,
     .direction = Direction::Written,
     .unit = "path",
     .meaning = "The motion file chosen in the dialog, exactly as chosen: the run's `_3DMC.sdm`, or an "
                "`.mdm` that lists one per run. The other two tasks read it.",
     .suggested = "set by this task"},
};

inline constexpr Parameter displacementParameters[] = {
    {.name = "fmr_threshold",
     .type = HostType::Float,
     .unit = "intensity",
     .meaning = "A voxel takes part when its value in the run's first volume is greater than this; the "
                "others stay 0 in every map.",
     .suggested = "just above the background: a tenth of the first volume's 98th percentile"},
    {.name = "map_max_abs",
     .type = HostType::Int,
     .meaning = "Maximum absolute displacement map.",
     .yes = "writes the map",
     .no = "no map",
     .suggested = "1",
     .output = "_MaxAbsolute.map",
     .contents = "per voxel, the largest distance from its reference position over all volumes",
     .outputUnit = "mm"},
    {.name = "map_mean_abs",
     .type = HostType::Int,
     .meaning = "Mean absolute displacement map.",
     .yes = "writes the map",
     .no = "no map",
     .suggested = "1",
     .output = "_MeanAbsolute.map",
     .contents = "per voxel, the mean distance from its reference position over all volumes",
     .outputUnit = "mm"},
    {.name = "map_max_rel",
     .type = HostType::Int,
     .meaning = "Maximum relative displacement map.",
     .yes = "writes the map",
     .no = "no map",
     .suggested = "1",
     .output = "_MaxRelative.map",
     .contents = "per voxel, the largest distance moved from one volume to the next",
     .outputUnit = "mm"},
    {.name = "map_mean_rel",
     .type = HostType::Int,
     .meaning = "Mean relative displacement map.",
     .yes = "writes the map",
     .no = "no map",
     .suggested = "1",
     .output = "_MeanRelative.map",
     .contents = "per voxel, the mean distance moved from one volume to the next",
     .outputUnit = "mm"},
    {.name = "map_max_abs_x",
     .type = HostType::Int,
     .meaning = "Maximum absolute displacement along x.",
     .yes = "writes the map",
     .no = "no map",
     .suggested = "1",
     .output = "_MaxAbsoluteX.map",
     .contents = "per voxel, the largest x component of its displacement from the reference position, "
                 "as an absolute value",
     .outputUnit = "mm"},
    {.name = "map_max_abs_y",
     .type = HostType::Int,
     .meaning = "Maximum absolute displacement along y.",
     .yes = "writes the map",
     .no = "no map",
     .suggested = "1",
     .output = "_MaxAbsoluteY.map",
     .contents = "the same along y",
     .outputUnit = "mm"},
    {.name = "map_max_abs_z",
     .type = HostType::Int,
     .meaning = "Maximum absolute displacement along z.",
     .yes = "writes the map",
     .no = "no map",
     .suggested = "1",
     .output = "_MaxAbsoluteZ.map",
     .contents = "the same along z",
     .outputUnit = "mm"},
    {.name = "plot_regular",
     .type = HostType::Int,
     .meaning = "Plot of the six motion parameters as read.",
     .yes = "shows the plot",
     .no = "no plot",
     .suggested = "0"},
    {.name = "plot_detrended",
     .type = HostType::Int,
     .meaning = "Plot of the detrended motion parameters with the relative RMS displacement.",
     .yes = "shows the plot",
     .no = "no plot",
     .suggested = "0"},
    {.name = "sdmfile",
     .type = HostType::Text,
     .unit = "path",
     .meaning = "The motion SDM or MDM, as the selection task set it; empty stops the task with an error.",
     .suggested = "left as `select_3dmcsdm` set it"},
};

inline constexpr Parameter confoundParameters[] = {
    {.name = "spike_threshold",
     .type = HostType::Float,
     .unit = "mm",
     .meaning = "A volume is a spike when its relative RMS displacement (from the previous volume, of the "
                "detrended parameters, over a 65 mm ball) is greater than this.",
     .suggested = "0.5"},
    {.name = "create_detrended",
     .type = HostType::Int,
     .meaning = "Detrended set.",
     .yes = "writes the set",
     .no = "no file",
     .suggested = "1",
     .output = "_detr",
     .contents = "the six motion parameters, linearly detrended, z-scored",
     .outputUnit = "z-score"},
    {.name = "create_derivative",
     .type = HostType::Int,
     .meaning = "Temporal derivative set.",
     .yes = "writes the set",
     .no = "no file",
     .suggested = "1",
     .output = "_deriv",
     .contents = "the temporal derivative (central difference) of the detrended parameters, z-scored",
     .outputUnit = "z-score"},
    {.name = "create_spikes",
     .type = HostType::Int,
     .meaning = "Spike detection and spike set.",
     .yes = "finds and logs the spikes, writes the spike set",
     .no = "no spike detection",
     .suggested = "1",
     .output = "_spikes",
     .contents = "one predictor per spike volume, 1 in that volume and 0 elsewhere (not z-scored); only "
                 "written when there is at least one spike",
     .outputUnit = "0 or 1"},
    {.name = "create_squared",
     .type = HostType::Int,
     .meaning = "Squared set.",
     .yes = "writes the set",
     .no = "no file",
     .suggested = "1",
     .output = "_sqr",
     .contents = "the squares of the detrended parameters, z-scored",
     .outputUnit = "z-score"},
    {.name = "create_delayed1",
     .type = HostType::Int,
     .meaning = "Set delayed by one volume.",
     .yes = "writes the set",
     .no = "no file",
     .suggested = "1",
     .output = "_t1",
     .contents = "the detrended parameters delayed by one volume (0 in the first volume), z-scored",
     .outputUnit = "z-score"},
    {.name = "create_delayed1sq",
     .type = HostType::Int,
     .meaning = "Squares of the set delayed by one volume.",
     .yes = "writes the set",
     .no = "no file",
     .suggested = "1",
     .output = "_t1sqr",
     .contents = "the squares of the parameters delayed by one volume, z-scored",
     .outputUnit = "z-score"},
    {.name = "create_delayed2",
     .type = HostType::Int,
     .meaning = "Set delayed by two volumes.",
     .yes = "writes the set",
     .no = "no file",
     .suggested = "1",
     .output = "_t2",
     .contents = "the detrended parameters delayed by two volumes (0 in the first two), z-scored",
     .outputUnit = "z-score"},
    {.name = "create_delayed2sq",
     .type = HostType::Int,
     .meaning = "Squares of the set delayed by two volumes.",
     .yes = "writes the set",
     .no = "no file",
     .suggested = "1",
     .output = "_t2sqr",
     .contents = "the squares of the parameters delayed by two volumes, z-scored",
     .outputUnit = "z-score"},
    {.name = "plot_regular",
     .type = HostType::Int,
     .meaning = "Plot of the six motion parameters as read.",
     .yes = "shows the plot",
     .no = "no plot",
     .suggested = "0"},
    {.name = "plot_detrended",
     .type = HostType::Int,
     .meaning = "Plot of the detrended parameters with the relative RMS displacement and the spike threshold.",
     .yes = "shows the plot",
     .no = "no plot",
     .suggested = "0"},
    {.name = "sdmfile",
     .type = HostType::Text,
     .unit = "path",
     .meaning = "The motion SDM or MDM, as the selection task set it; empty stops the task with an error.",
     .suggested = "left as `select_3dmcsdm` set it"},
};

inline constexpr Task selectTask{
    "select_3dmcsdm", "Select the motion file",
    "Asks for the run's motion correction file, checks its number of volumes against the current run and "
    "hands its path to the script.",
    selectParameters};

inline constexpr Task displacementTask{
    "displacement", "Voxel displacement maps",
    "Computes for every voxel of the run how far it moved during the run and writes the maps asked for "
    "beside the motion SDM.",
    displacementParameters};

inline constexpr Task confoundTask{
    "confound", "Confound predictor sets",
    "Derives confound predictors from the motion parameters (detrended, derivative, squared, delayed, "
    "spikes) and writes each set asked for as an SDM beside the motion SDM.",
    confoundParameters};

// The tasks in the order a user runs them.
inline constexpr Task tasks[] = {selectTask, displacementTask, confoundTask};

// A parameter that a task declares with host type Type: the only way the
// tasks name a parameter. Made by declared() at compile time.
template <HostType Type>
struct Declared {
    const Parameter* parameter;
};

// The declaration of `name` in `task`. An undeclared name, another host type
// or another direction is not a constant expression: the call does not compile.
template <HostType Type>
consteval Declared<Type> declared(const Task& task, std::string_view name, Direction direction = Direction::Read)
{
    for (const Parameter& p : task.parameters) {
        if (std::string_view(p.name) != name) continue;
        if (p.type != Type) throw "the task declares this parameter with another host type";
        if (p.direction != direction) throw "the task declares this parameter in the other direction";
        return Declared<Type>{&p};
    }
    throw "the task does not declare this parameter";
}

// The host function that reads (or, for Written text, sets) a parameter.
const char* hostFunction(const Parameter& parameter);
// The type as the script sets it: "float", "int", "text".
const char* typeName(HostType type);

// The file a switch asks for, named from the motion SDM: with "run1_3DMC.sdm",
// "_detr" gives "run1_3DMC_detr.sdm" and "_MaxAbsolute.map" gives
// "run1_3DMC_MaxAbsolute.map". Empty for a parameter without a file.
std::string outputFileName(const Parameter& parameter, const std::string& motionSdm);

} // namespace script
