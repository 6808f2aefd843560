#include "plots.h"

#include <filesystem>

#include "atomicfile.h"
#include "plotfile.h"

namespace host {

namespace {

PlotLine makeLine(int count, const float* x, const float* y, const std::string& name)
{
    PlotLine line;
    line.name = name;
    if (count > 0 && x != nullptr && y != nullptr) {
        line.x.assign(x, x + count);
        line.y.assign(y, y + count);
    }
    return line;
}

} // namespace

int plotLine(State& state, int count, const float* x, const float* y, const std::string& name)
{
    Plot plot;
    plot.handle = state.nextPlotHandle++;
    plot.lines.push_back(makeLine(count, x, y, name));
    const int handle = plot.handle;
    state.plots[handle] = std::move(plot);
    return handle;
}

void addLineToPlot(State& state, int plot, int count, const float* x, const float* y, const std::string& name)
{
    if (Plot* p = findPlot(state, plot)) p->lines.push_back(makeLine(count, x, y, name));
}

Plot* findPlot(State& state, int plot)
{
    auto it = state.plots.find(plot);
    return it == state.plots.end() ? nullptr : &it->second;
}

void showPlot(State& state, int plot, int x, int y)
{
    Plot* p = findPlot(state, plot);
    if (p == nullptr) return;
    p->shown = true;
    p->x = x;
    p->y = y;
    if (!state.writePlotFiles) return;

    namespace fs = std::filesystem;
    fs::path folder = state.plotFolder;
    if (folder.empty()) folder = fs::path(state.run.fmrPath).parent_path();
    if (folder.empty()) folder = ".";
    // A second window of the same title does not replace the first one's picture.
    const std::string name = plotFileName(p->title);
    fs::path file = folder / name;
    for (int k = 2; state.plotFilesWritten.count(file.string()) != 0; ++k)
        file = folder / (name.substr(0, name.size() - 4) + "-" + std::to_string(k) + ".svg");
    const std::string text = plotSvg(*p);
    saveTextAtomically(file.string(), [&text](std::ostream& out) { out << text; });
    state.plotFilesWritten.insert(file.string());
    p->file = file.string();
    if (state.onFileWritten) state.onFileWritten(p->file);
}

} // namespace host
