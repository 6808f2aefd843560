#include "taskdesign.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "atomicfile.h"
#include "mySDM.h"

namespace tool::models {

namespace {

std::vector<std::string> cellsOf(const std::string& line)
{
    std::vector<std::string> cells;
    std::string cell;
    std::istringstream in(line);
    while (std::getline(in, cell, '\t')) {
        if (!cell.empty() && cell.back() == '\r') cell.pop_back();
        cells.push_back(cell);
    }
    if (!line.empty() && line.back() == '\t') cells.emplace_back();
    return cells;
}

} // namespace

double canonicalHrf(double t)
{
    if (t <= 0) return 0;
    // Gamma densities of unit scale: t^(a-1) e^-t / Gamma(a).
    const auto gamma = [t](double shape) { return std::exp((shape - 1) * std::log(t) - t - std::lgamma(shape)); };
    return gamma(6) - gamma(16) / 6;
}

std::vector<Event> readEvents(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read the events table " + path);
    std::string line;
    if (!std::getline(in, line)) throw std::runtime_error("the events table " + path + " is empty");
    const std::vector<std::string> header = cellsOf(line);
    const auto column = [&](const std::string& name) {
        const auto it = std::find(header.begin(), header.end(), name);
        return it == header.end() ? -1 : static_cast<int>(it - header.begin());
    };
    const int onset = column("onset"), duration = column("duration"), type = column("trial_type");
    if (onset < 0 || duration < 0) throw std::runtime_error("the events table " + path + " has no onset or duration column");
    std::vector<Event> events;
    for (int row = 2; std::getline(in, line); ++row) {
        if (line.empty() || line == "\r") continue;
        const std::vector<std::string> cells = cellsOf(line);
        const auto cell = [&](int c) { return c < static_cast<int>(cells.size()) ? cells[std::size_t(c)] : std::string(); };
        if (cell(onset) == "n/a" || cell(duration) == "n/a") continue;
        Event e;
        try {
            std::size_t used = 0;
            e.onset = std::stod(cell(onset), &used);
            if (used != cell(onset).size()) throw std::invalid_argument("trailing text");
            e.duration = std::stod(cell(duration), &used);
            if (used != cell(duration).size()) throw std::invalid_argument("trailing text");
        } catch (const std::exception&) {
            throw std::runtime_error("the events table " + path + ", line " + std::to_string(row) +
                                     ": onset and duration must be numbers of seconds");
        }
        e.trialType = type >= 0 && !cell(type).empty() && cell(type) != "n/a" ? cell(type) : "trial";
        events.push_back(e);
    }
    return events;
}

TaskDesign taskDesign(const std::vector<Event>& events, double tr, int volumes)
{
    TaskDesign design;
    const double dt = tr / kMicrotimeBins;
    const int bins = volumes * kMicrotimeBins;
    // The response sampled at the centres of the fine grid's bins, so that a
    // bin stands for the whole of its stretch of time: bin b of the boxcar,
    // [b dt, (b+1) dt), reaches time t through h(t - (b + 1/2) dt).
    std::vector<double> kernel;
    for (double t = dt / 2; t < kHrfLength; t += dt) kernel.push_back(canonicalHrf(t));
    double sum = 0;
    for (double k : kernel) sum += k;
    for (double& k : kernel) k /= sum;

    std::map<std::string, std::vector<const Event*>> byType;
    for (const Event& e : events) byType[e.trialType].push_back(&e);
    for (const auto& [type, list] : byType) {
        std::vector<double> boxcar(static_cast<std::size_t>(bins), 0.0);
        for (const Event* e : list) {
            // Bins whose start lies within [onset, onset + duration); an event
            // shorter than a bin still takes the bin it begins in.
            const int first = static_cast<int>(std::ceil(e->onset / dt - 1e-9));
            int last = static_cast<int>(std::ceil((e->onset + e->duration) / dt - 1e-9));
            last = std::max(last, first + 1);
            for (int b = std::max(first, 0); b < std::min(last, bins); ++b) boxcar[std::size_t(b)] = 1.0;
        }
        std::vector<double> column(static_cast<std::size_t>(volumes), 0.0);
        for (int v = 0; v < volumes; ++v) {
            const int at = v * kMicrotimeBins;
            double value = 0;
            for (std::size_t k = 0; k < kernel.size() && static_cast<int>(k) < at; ++k)
                value += kernel[k] * boxcar[std::size_t(at) - 1 - k];
            column[std::size_t(v)] = value;
        }
        design.names.push_back(type);
        design.columns.push_back(std::move(column));
    }
    design.names.push_back("constant");
    design.columns.emplace_back(static_cast<std::size_t>(volumes), 1.0);
    return design;
}

SDM designSdm(const TaskDesign& design)
{
    SDM sdm;
    sdm.NrOfDataPoints = design.columns.empty() ? 0 : static_cast<int>(design.columns[0].size());
    sdm.IncludesConstant = true;
    for (std::size_t c = 0; c < design.columns.size(); ++c) {
        const bool constant = c + 1 == design.columns.size();
        sdm.AddPredictor(std::vector<float>(design.columns[c].begin(), design.columns[c].end()), design.names[c],
                         constant ? 255 : 40 + int(c * 70 % 200), constant ? 255 : 120, constant ? 255 : 200);
    }
    sdm.FirstConfoundPredictor = static_cast<int>(design.columns.size());
    return sdm;
}

void writeDesignTable(const TaskDesign& design, const std::string& path)
{
    saveTextAtomically(path, [&](std::ostream& out) {
        out.precision(9);
        for (std::size_t c = 0; c < design.names.size(); ++c) out << (c ? "\t" : "") << design.names[c];
        out << '\n';
        const std::size_t rows = design.columns.empty() ? 0 : design.columns[0].size();
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < design.columns.size(); ++c) out << (c ? "\t" : "") << design.columns[c][r];
            out << '\n';
        }
    });
}

} // namespace tool::models
