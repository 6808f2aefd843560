#include "plots.h"

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
}

} // namespace host
