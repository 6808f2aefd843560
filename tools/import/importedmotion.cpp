#include "importedmotion.h"

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "cli.h"

namespace tool {

namespace fs = std::filesystem;

std::string importSidecarPath(const std::string& sdmPath)
{
    return fs::path(sdmPath).replace_extension(".json").string();
}

std::optional<ImportedMotion> importedMotion(const std::string& sdmPath)
{
    ImportedMotion m;
    m.sidecar = importSidecarPath(sdmPath);
    std::error_code ec;
    if (!fs::is_regular_file(m.sidecar, ec)) return std::nullopt;
    std::ifstream in(m.sidecar);
    const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
    const auto text = [&](const char* key) {
        return json.contains(key) && json[key].is_string() ? json[key].get<std::string>() : std::string();
    };
    try {
        if (json.is_discarded() || !json.is_object()) throw std::runtime_error("not a JSON object");
        m.format = motionFormatFromName(text("MotionFormat"));
        if (json.contains("Sources") && json["Sources"].is_array() && !json["Sources"].empty())
            m.source = json["Sources"][0].get<std::string>();
        m.convention = text("Convention");
        m.reference = text("Reference");
        m.centre = text("CentreOfRotation");
        // Without the package's numbers, framewise displacement falls back on the SDM's rows.
        const nlohmann::json none = nlohmann::json::array();
        const nlohmann::json& rows =
            json.contains("PackageParameters") && json["PackageParameters"].contains("Rows") ? json["PackageParameters"]["Rows"] : none;
        for (const auto& row : rows) {
            PackageRow r{};
            if (!row.is_array() || row.size() != 6) throw std::runtime_error("a row without six numbers");
            for (std::size_t k = 0; k < 6; ++k) r[k] = row[k].get<double>();
            m.rows.push_back(r);
        }
    } catch (const std::exception& e) {
        throw cli::RunError(m.sidecar + " (the record tremora import keeps of the motion) cannot be read: " + e.what());
    }
    return m;
}

std::optional<PackageMotion> packageMotionOf(const std::string& sdmPath, std::size_t rows)
{
    const std::optional<ImportedMotion> imported = importedMotion(sdmPath);
    if (!imported || imported->rows.size() != rows) return std::nullopt;
    return PackageMotion{packageParameterRows(imported->rows, imported->format),
                         motionPackageName(imported->format) + "'s own parameters in " + imported->source};
}

} // namespace tool
