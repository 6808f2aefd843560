#include "sourcespace.h"

#include <fstream>

#include <nlohmann/json.hpp>

#include "atomicfile.h"

namespace host {

using Json = nlohmann::ordered_json;

std::string sourceSpacePath(const std::string& fmrPath)
{
    std::string stem = fmrPath;
    if (stem.size() >= 4 && (stem.compare(stem.size() - 4, 4, ".fmr") == 0 || stem.compare(stem.size() - 4, 4, ".FMR") == 0))
        stem.resize(stem.size() - 4);
    return stem + "_space.json";
}

void writeSourceSpace(const std::string& path, const SourceSpace& s)
{
    Json json;
    json["Description"] = "The spatial header fields of the NIfTI this run was imported from, as stored; "
                          "the maps of the run are written with them.";
    json["Source"] = s.source;
    json["Dimensions"] = s.dims;
    json["PixDim"] = s.pixdim;
    json["XYZUnits"] = s.xyzUnits;
    json["QFormCode"] = s.qformCode;
    json["QuaternBCD"] = s.quatern;
    json["QOffsetXYZ"] = s.qoffset;
    json["SFormCode"] = s.sformCode;
    json["SRowXYZ"] = s.srow;
    if (!s.nonFiniteVoxels.empty()) json["NonFiniteVoxels"] = s.nonFiniteVoxels;
    // Every value is a float32 widened to double: it prints and reads back exactly.
    saveTextAtomically(path, [&](std::ostream& out) { out << json.dump(2) << "\n"; },
                       "Cannot write " + path);
}

std::optional<SourceSpace> readSourceSpace(const std::string& path)
{
    std::ifstream in(path);
    if (!in) return std::nullopt;
    const Json json = Json::parse(in, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    try {
        SourceSpace s;
        s.source = json.value("Source", std::string());
        s.dims = json.at("Dimensions").get<std::array<int, 3>>();
        s.pixdim = json.at("PixDim").get<std::array<float, 4>>();
        s.xyzUnits = json.at("XYZUnits").get<int>();
        s.qformCode = json.at("QFormCode").get<int>();
        s.quatern = json.at("QuaternBCD").get<std::array<float, 3>>();
        s.qoffset = json.at("QOffsetXYZ").get<std::array<float, 3>>();
        s.sformCode = json.at("SFormCode").get<int>();
        s.srow = json.at("SRowXYZ").get<std::array<std::array<float, 4>, 3>>();
        if (json.contains("NonFiniteVoxels")) s.nonFiniteVoxels = json.at("NonFiniteVoxels").get<std::vector<std::array<long long, 2>>>();
        return s;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

} // namespace host
