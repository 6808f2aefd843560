#include "confoundsummary.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "bidsconfounds.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

namespace {

std::vector<std::string> headerOf(const std::filesystem::path& table, std::ifstream& in)
{
    std::string line;
    if (!in || !std::getline(in, line)) throw std::runtime_error("cannot read the table " + table.string());
    std::vector<std::string> header;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) header.push_back(cell);
    return header;
}

} // namespace

bool tableHasColumn(const std::filesystem::path& table, const std::string& name)
{
    std::ifstream in(table);
    const auto header = headerOf(table, in);
    return std::find(header.begin(), header.end(), name) != header.end();
}

std::vector<double> tableColumn(const std::filesystem::path& table, const std::string& name)
{
    std::ifstream in(table);
    const auto header = headerOf(table, in);
    const auto at = std::find(header.begin(), header.end(), name);
    if (at == header.end()) throw std::runtime_error(table.string() + " has no column " + name);
    const std::size_t index = std::size_t(at - header.begin());
    std::vector<double> values;
    for (std::string line; std::getline(in, line);) {
        std::istringstream cells(line);
        std::string cell;
        for (std::size_t k = 0; k <= index && std::getline(cells, cell, '\t'); ++k) {}
        values.push_back(cell == "n/a" ? std::nan("") : std::strtod(cell.c_str(), nullptr));
    }
    return values;
}

ConfoundsSummary summarizeConfounds(const std::filesystem::path& table, const std::filesystem::path& sidecarPath)
{
    ConfoundsSummary s;
    const std::string mask = std::string(kOwnPrefix) + "outlier";
    const std::vector<double> outliers = tableColumn(table, mask);
    s.volumes = int(outliers.size());
    if (tableHasColumn(table, "std_dvars")) {
        const std::vector<double> std = tableColumn(table, "std_dvars");
        double sum = 0.0, max = 0.0;
        for (std::size_t t = 1; t < std.size(); ++t)
            if (!std::isnan(std[t])) sum += std[t], max = std::max(max, std[t]);
        s.meanStdDVARS = std.size() > 1 ? sum / double(std.size() - 1) : 0.0;
        s.maxStdDVARS = max;
    }
    std::ifstream in(sidecarPath);
    const auto sidecar = nlohmann::json::parse(in, nullptr, false);
    if (!sidecar.is_object()) throw std::runtime_error("cannot read the sidecar " + sidecarPath.string());
    if (!sidecar.contains(mask) || !sidecar[mask].contains("OutliersBy"))
        throw std::runtime_error("the sidecar " + sidecarPath.string() + " names no outlier rule (" + mask + ")");
    s.rule = sidecar[mask]["OutliersBy"].get<std::vector<std::string>>();
    s.outliers = int(std::count(outliers.begin(), outliers.end(), 1.0));
    s.outlierShare = s.volumes > 0 ? double(s.outliers) / s.volumes : 0.0;
    return s;
}

} // namespace tool
