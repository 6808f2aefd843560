#include "motionfiles.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "ioerror.h"

namespace qc {

namespace {

struct TextLine {
    int number = 0; // 1-based
    std::string text;
};

[[noreturn]] void fail(std::string const& path, std::string const& what)
{
    throw IOError("Motion file " + path + ": " + what);
}

[[noreturn]] void failAt(std::string const& path, int line, std::string const& what)
{
    fail(path, "line " + std::to_string(line) + ": " + what);
}

[[noreturn]] void failAt(std::string const& path, int line, int column, std::string const& what)
{
    fail(path, "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what);
}

// The lines that carry data: CR of CR LF endings removed, a UTF-8 byte-order
// mark dropped, blank lines and '#' comments skipped.
std::vector<TextLine> dataLines(std::string const& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) fail(path, "cannot be opened for reading");
    std::vector<TextLine> lines;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (number == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
        const std::size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos || text[first] == '#') continue;
        lines.push_back({number, text});
    }
    if (in.bad()) fail(path, "reading failed");
    if (lines.empty()) fail(path, "holds no motion parameters (no data rows)");
    return lines;
}

std::vector<std::string> splitWhitespace(std::string const& text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::vector<std::string> splitTabs(std::string const& text)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t tab = text.find('\t', start);
        fields.push_back(text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return fields;
}

// One cell as a finite number; the message names where it stands.
double number(std::string const& path, int line, int column, std::string const& cell, std::string const& name = "")
{
    const std::string where = name.empty() ? "" : " (" + name + ")";
    if (cell.empty()) failAt(path, line, column, "empty cell" + where);
    char* end = nullptr;
    const double value = std::strtod(cell.c_str(), &end);
    if (end == cell.c_str() || *end != '\0') {
        if (cell == "n/a") failAt(path, line, column, "n/a" + where + " where a motion parameter is needed");
        failAt(path, line, column, "'" + cell + "'" + where + " is not a number");
    }
    // NaN, infinity and numbers beyond double range (read as infinity).
    if (!std::isfinite(value)) failAt(path, line, column, "'" + cell + "'" + where + " is not a finite number");
    return value;
}

// What each of a row's six numbers is (in the package's order): its unit
// decides its bound.
enum class Quantity { Millimetres, Radians, Degrees };
using RowQuantities = std::array<Quantity, 6>;

std::string shortNumber(double value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

// A motion parameter within the bounds of any head motion.
double bounded(std::string const& path, int line, int column, double value, Quantity quantity, std::string const& name = "")
{
    const double limit = quantity == Quantity::Millimetres ? kMaxTranslationMm
                         : quantity == Quantity::Radians   ? kMaxRotationRad
                                                           : kMaxRotationDeg;
    if (std::fabs(value) <= limit) return value;
    const char* unit = quantity == Quantity::Millimetres ? " mm" : quantity == Quantity::Radians ? " rad" : " degrees";
    const char* kind = quantity == Quantity::Millimetres ? "translations" : "rotations";
    const std::string limitText = quantity == Quantity::Radians ? "2 pi rad" : shortNumber(limit) + unit;
    failAt(path, line, column, shortNumber(value) + unit + (name.empty() ? "" : " (" + name + ")") +
                                   (std::fabs(value) > double(std::numeric_limits<float>::max()) ? ", beyond single precision," : "") +
                                   " is beyond any head motion (" + kind + " lie within +-" + limitText + ")");
}

// Rows of six numbers separated by blanks or tabs.
PackageRows sixColumns(std::string const& path, std::string const& columns, RowQuantities const& quantities)
{
    PackageRows rows;
    for (const TextLine& line : dataLines(path)) {
        const auto words = splitWhitespace(line.text);
        if (words.size() != 6)
            failAt(path, line.number,
                   std::to_string(words.size()) + " columns, expected 6 (" + columns + ")");
        std::array<double, 6> row{};
        for (int k = 0; k < 6; ++k)
            row[std::size_t(k)] = bounded(path, line.number, k + 1, number(path, line.number, k + 1, words[std::size_t(k)]),
                                          quantities[std::size_t(k)]);
        rows.push_back(row);
    }
    return rows;
}

// trans_x, trans_y, trans_z, rot_x, rot_y, rot_z of a tab-separated table
// with a header line; the other columns may hold anything, n/a included.
PackageRows confoundsTable(std::string const& path)
{
    static const char* const names[6] = {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"};
    const std::vector<TextLine> lines = dataLines(path);
    const std::vector<std::string> header = splitTabs(lines.front().text);
    std::array<std::size_t, 6> at{};
    for (int k = 0; k < 6; ++k) {
        const auto found = std::find(header.begin(), header.end(), names[k]);
        if (found == header.end())
            failAt(path, lines.front().number,
                   std::string("the header has no column ") + names[k] +
                       " (an fMRIPrep confounds table names trans_x, trans_y, trans_z, rot_x, rot_y and rot_z)");
        if (std::find(found + 1, header.end(), names[k]) != header.end())
            failAt(path, lines.front().number, std::string("the header names the column ") + names[k] + " twice");
        at[std::size_t(k)] = std::size_t(found - header.begin());
    }
    PackageRows rows;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const TextLine& line = lines[i];
        const auto fields = splitTabs(line.text);
        if (fields.size() != header.size())
            failAt(path, line.number,
                   std::to_string(fields.size()) + " tab-separated fields, the header has " + std::to_string(header.size()));
        std::array<double, 6> row{};
        for (int k = 0; k < 6; ++k) {
            const std::size_t c = at[std::size_t(k)];
            row[std::size_t(k)] = bounded(path, line.number, int(c) + 1, number(path, line.number, int(c) + 1, fields[c], names[k]),
                                          k < 3 ? Quantity::Millimetres : Quantity::Radians, names[k]);
        }
        rows.push_back(row);
    }
    if (rows.empty()) fail(path, "holds a header but no motion parameters (no data rows)");
    return rows;
}


std::string fileNameOf(std::string const& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

MotionFormat motionFormatFromName(std::string const& name)
{
    if (name == "fsl") return MotionFormat::FSL;
    if (name == "spm") return MotionFormat::SPM;
    if (name == "afni") return MotionFormat::AFNI;
    if (name == "fmriprep") return MotionFormat::FMRIPrep;
    throw std::invalid_argument("Unknown motion file format '" + name + "' (fsl, spm, afni or fmriprep)");
}

std::string motionFormatName(MotionFormat format)
{
    switch (format) {
    case MotionFormat::FSL: return "fsl";
    case MotionFormat::SPM: return "spm";
    case MotionFormat::AFNI: return "afni";
    case MotionFormat::FMRIPrep: return "fmriprep";
    }
    return "";
}

std::optional<MotionFormat> motionFormatOfFileName(std::string const& path)
{
    const std::string name = fileNameOf(path);
    if (name.ends_with("_desc-confounds_timeseries.tsv") || name.ends_with("_desc-confounds_regressors.tsv"))
        return MotionFormat::FMRIPrep;
    if (name.ends_with(".par")) return MotionFormat::FSL;
    if (name.rfind("rp_", 0) == 0 && name.ends_with(".txt")) return MotionFormat::SPM;
    if (name.ends_with(".1D")) return MotionFormat::AFNI;
    return std::nullopt;
}

PackageRows readMotionFile(std::string const& path, MotionFormat format)
{
    using Q = Quantity;
    static const RowQuantities radiansFirst = {Q::Radians, Q::Radians, Q::Radians, Q::Millimetres, Q::Millimetres, Q::Millimetres};
    static const RowQuantities millimetresFirst = {Q::Millimetres, Q::Millimetres, Q::Millimetres, Q::Radians, Q::Radians, Q::Radians};
    static const RowQuantities degreesFirst = {Q::Degrees, Q::Degrees, Q::Degrees, Q::Millimetres, Q::Millimetres, Q::Millimetres};
    switch (format) {
    case MotionFormat::FSL: return sixColumns(path, "rotations x, y, z in radians, then translations x, y, z in mm", radiansFirst);
    case MotionFormat::FMRIPrep: return confoundsTable(path);
    case MotionFormat::SPM: return sixColumns(path, "translations x, y, z in mm, then pitch, roll, yaw in radians", millimetresFirst);
    case MotionFormat::AFNI: return sixColumns(path, "roll, pitch, yaw in degrees, then dS, dL, dP in mm", degreesFirst);
    }
    return {};
}

std::string motionPackageName(MotionFormat format)
{
    switch (format) {
    case MotionFormat::FSL: return "FSL";
    case MotionFormat::SPM: return "SPM";
    case MotionFormat::AFNI: return "AFNI";
    case MotionFormat::FMRIPrep: return "fMRIPrep";
    }
    return "";
}

PackageRows fmriprepLayout(PackageRows const& rows, MotionFormat format)
{
    constexpr double radiansPerDegree = 3.14159265358979323846 / 180.0;
    PackageRows result;
    result.reserve(rows.size());
    for (const PackageRow& r : rows) switch (format) {
        case MotionFormat::FSL: result.push_back({r[3], r[4], r[5], r[0], r[1], r[2]}); break;
        case MotionFormat::FMRIPrep:
        case MotionFormat::SPM: result.push_back(r); break;
        case MotionFormat::AFNI:
            result.push_back({r[4], r[5], r[3], r[1] * radiansPerDegree, r[2] * radiansPerDegree, r[0] * radiansPerDegree});
            break;
        }
    return result;
}

std::string fmriprepLayoutConvention(MotionFormat format)
{
    switch (format) {
    case MotionFormat::FSL:
        return "mcflirt's rx ry rz (rad) tx ty tz (mm) as trans_x = tx, trans_y = ty, trans_z = tz, rot_x = rx, rot_y = ry, "
               "rot_z = rz, as fMRIPrep up to release 24 lists them";
    case MotionFormat::SPM:
        return "SPM's realignment x y z (mm) pitch roll yaw (rad) as trans_x = x, trans_y = y, trans_z = z, rot_x = pitch, "
               "rot_y = roll, rot_z = yaw";
    case MotionFormat::AFNI:
        return "3dvolreg's roll pitch yaw (deg) dS dL dP (mm) as trans_x = dL, trans_y = dP, trans_z = dS, rot_x = pitch, "
               "rot_y = yaw, rot_z = roll, angles in radians";
    case MotionFormat::FMRIPrep: return "fMRIPrep's table as written";
    }
    return {};
}

} // namespace qc
