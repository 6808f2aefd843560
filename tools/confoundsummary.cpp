#include "confoundsummary.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace tool {

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
        values.push_back(std::strtod(cell.c_str(), nullptr));
    }
    return values;
}

ConfoundsSummary summarizeConfounds(const std::filesystem::path& table, const std::filesystem::path& sidecarPath)
{
    ConfoundsSummary s;
    s.volumes = int(tableColumn(table, "framewise_displacement").size());
    if (tableHasColumn(table, "std_dvars")) {
        const std::vector<double> std = tableColumn(table, "std_dvars");
        double sum = 0.0, max = 0.0;
        for (std::size_t t = 1; t < std.size(); ++t) sum += std[t], max = std::max(max, std[t]);
        s.meanStdDVARS = std.size() > 1 ? sum / double(std.size() - 1) : 0.0;
        s.maxStdDVARS = max;
    }
    std::ifstream in(sidecarPath);
    const auto sidecar = nlohmann::json::parse(in, nullptr, false);
    if (!sidecar.is_object()) throw std::runtime_error("cannot read the sidecar " + sidecarPath.string());
    s.rule = {"rmsd"};
    if (sidecar.contains("framewise_displacement") && sidecar["framewise_displacement"].contains("OutliersBy"))
        s.rule = sidecar["framewise_displacement"]["OutliersBy"].get<std::vector<std::string>>();
    // Where each rule's volumes are listed.
    const auto listed = [&](const std::string& rule) {
        const char* column = rule == "fd" ? "framewise_displacement" : rule == "dvars" ? "std_dvars" : "rmsd";
        const char* key = rule == "rmsd" ? "Spikes" : "Outliers";
        if (!sidecar.contains(column) || !sidecar[column].contains(key))
            throw std::runtime_error("the sidecar " + sidecarPath.string() + " lists no " + key + " of " + column);
        return sidecar[column][key].get<std::vector<int>>();
    };
    std::set<int> flagged;
    for (const auto& rule : s.rule)
        for (const int volume : listed(rule)) flagged.insert(volume);
    s.outliers = int(flagged.size());
    s.outlierShare = s.volumes > 0 ? double(s.outliers) / s.volumes : 0.0;
    return s;
}

} // namespace tool
