// The stand-in host: the state behind the 28 host functions that the plug-in
// calls (exported by whichever executable links this library). Tests set it
// up and inspect what it recorded; the tremora program uses it for real work.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "TMZRPluginInterface.h"
#include "largebuffer.h"
#include "sourcespace.h"

namespace host {

class MapWriter;

// One call of the file dialog.
struct DialogRequest {
    std::string title;
    std::string startFolder;
    std::string filter;
};

// One line of a plot window.
struct PlotLine {
    std::string name;
    std::vector<float> x;
    std::vector<float> y;
    int size = 1;
    int red = 0, green = 0, blue = 0;
};

// One plot window, as the plug-in built it.
struct Plot {
    int handle = 0;
    std::vector<PlotLine> lines;
    int colorTheme = 0;
    bool legendShown = false;
    int legendA = 0, legendB = 0;
    int width = 800, height = 350;
    std::string title;
    bool hasYRange = false;
    float yLow = 0.0f, yHigh = 0.0f;
    bool shown = false;
    int x = 0, y = 0;
    std::string file; // the picture written when the window was shown
};

// A map of the current run: its header and DimZ slices of DimX*DimY floats.
struct Map {
    MAP_Header header{};
    MapVoxels voxels;
    std::vector<float*> slices;
};

// A map as it was saved.
struct SavedMap {
    std::string name;  // the name the plug-in gave
    std::string file;  // the file the host wrote ("" when none was written)
    MAP_Header header{};
    std::vector<float> voxels;
};

// The current functional run.
struct Run {
    bool present = false;
    std::string fmrPath;
    FMR_Header header{};
    // Slice data, one array of DimX*DimY*DimZ floats per volume, loaded on first request.
    bool loaded = false;
    std::vector<std::vector<float>> volumes;
    std::vector<float*> volumePointers;
    std::string loadError; // why the slice data could not be loaded, when they could not
    // Where the voxels lie, for a run imported from NIfTI (its NAME_space.json)
    std::optional<SourceSpace> space;
};

class State {
public:
    // version triple reported to the plug-in
    int major = 2, minor = 8, revision = 0;

    // current document: a negative id means none; type 1 is an FMR
    int documentId = -1;
    int documentType = 1;

    // script parameters, kept as text; the int and float getters parse them
    std::map<std::string, std::string> parameters;

    // file dialog: queued answers (std::nullopt cancels); when the queue is
    // empty the fallback decides, and without one the dialog is cancelled
    std::deque<std::optional<std::string>> dialogAnswers;
    std::function<std::optional<std::string>(const DialogRequest&)> dialogFallback;
    std::vector<DialogRequest> dialogs;

    // log pane and message boxes
    std::vector<std::string> logCalls; // one entry per zrLogText call
    std::vector<std::string> messages;
    // the errors among the messages (boxes reading "Error: " and the text), by their text
    std::vector<std::string> errors;
    int logTabShown = 0;
    int busyShown = 0, busyStopped = 0;
    bool busy = false;

    // every host call, in order, as "function" or "function argument"
    std::vector<std::string> calls;

    Run run;

    // maps: created ones (the last is current) and saved ones; a saved map is
    // written as NIfTI beside the name it was given, and its voxels are kept
    // in savedMaps unless keepMapData is off (which also frees its buffers)
    std::vector<Map> maps;
    std::vector<SavedMap> savedMaps;
    bool writeMapFiles = true;
    bool keepMapData = true;
    // With mapWriters above 0, a saved map's file is compressed and written
    // on up to that many threads of the host while the plug-in goes on (a
    // file that cannot be written at all is still reported by the save);
    // finishMapWrites waits for them. With 0 each save writes its file.
    int mapWriters = 0;
    std::shared_ptr<MapWriter> mapWriter;

    // plot windows by handle; pictures go to plotFolder (default: the run's folder)
    std::map<int, Plot> plots;
    int nextPlotHandle = 1;
    std::string plotFolder;
    bool writePlotFiles = true;
    std::set<std::string> plotFilesWritten;

    // observers, for a host that shows things as they happen
    std::function<void(const std::string&)> onLog;
    std::function<void(const std::string&)> onMessage;
    std::function<void(bool)> onBusy;
    std::function<void(const std::string&)> onFileWritten;

    // the whole log text, all calls joined
    std::string logText() const;
    // the entries of calls that start with the given function name
    std::vector<std::string> callsOf(const std::string& function) const;
};

// The one host state of this process.
State& state();
// Replaces the state by a fresh one (after waiting for its map files).
void reset();

// A message box of the host's own: recorded as the plug-in's are, without a call.
void showMessage(State& state, const std::string& text);

// Waits for the map files being written on the host's threads. A file that
// could not be written is shown as an error message ("Error: " and why) and
// its saved map records no file; returns how many failed.
int finishMapWrites(State& state);

} // namespace host
