#include "confoundsummary.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>
#include <simdjson.h>

#include "bidsconfounds.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

namespace {

const std::string kOutlierMask = std::string(kOwnPrefix) + "outlier";

// A cell as a number: n/a is NaN, anything else what strtod makes of it.
double cellValue(const char* begin, const char* end)
{
    if (end - begin == 3 && std::memcmp(begin, "n/a", 3) == 0) return std::nan("");
    const std::string cell(begin, end);
    return std::strtod(cell.c_str(), nullptr);
}

} // namespace

std::string fileText(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    std::string text;
    in.seekg(0, std::ios::end);
    text.resize(std::size_t(std::max<std::streamoff>(0, in.tellg())));
    in.seekg(0);
    in.read(text.data(), std::streamsize(text.size()));
    if (!in) throw std::runtime_error("cannot read " + file.string());
    return text;
}

namespace {

// The first tab in [p, end), or end: eight bytes at a time. A table's cells
// are short, and a call to memchr for each cost more than the search.
const char* nextTab(const char* p, const char* end)
{
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull, tabs = ones * '\t';
        for (; end - p >= 8; p += 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            const std::uint64_t x = word ^ tabs;
            // The lowest byte that is zero (a tab) is found exactly.
            if (const std::uint64_t zero = (x - ones) & ~x & highs) return p + std::countr_zero(zero) / 8;
        }
    }
    while (p < end && *p != '\t') ++p;
    return p;
}

// The start of the cell n cells after the one at p, or nullptr when the row
// (ending at end) has fewer: the tabs of eight bytes are counted at once.
const char* skipCells(const char* p, const char* end, std::size_t n)
{
    if (n == 0) return p;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t lows = 0x7f7f7f7f7f7f7f7full, highs = 0x8080808080808080ull, tabs = 0x0909090909090909ull;
        for (; end - p >= 8; p += 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            const std::uint64_t x = word ^ tabs;
            // The high bit of each byte that is a tab, exactly.
            std::uint64_t zero = ~(((x & lows) + lows) | x) & highs;
            // One bit per byte at most: their sum by a multiplication (the
            // portable build has no popcount instruction).
            const auto count = std::size_t(((zero >> 7) * 0x0101010101010101ull) >> 56);
            if (count < n) {
                n -= count;
                continue;
            }
            while (--n > 0) zero &= zero - 1;
            return p + std::countr_zero(zero) / 8 + 1;
        }
    }
    for (; p < end; ++p)
        if (*p == '\t' && --n == 0) return p + 1;
    return nullptr;
}

} // namespace

TableColumns tableColumns(const std::filesystem::path& table, const std::vector<std::string>& names)
{
    std::string text;
    try {
        text = fileText(table);
    } catch (const std::runtime_error&) {
        throw std::runtime_error("cannot read the table " + table.string());
    }
    const char* at = text.data();
    const char* const stop = text.data() + text.size();
    const auto lineEnd = [&](const char* from) {
        const void* newline = std::memchr(from, '\n', std::size_t(stop - from));
        return newline ? static_cast<const char*>(newline) : stop;
    };
    if (text.empty()) throw std::runtime_error("cannot read the table " + table.string());
    // Which column of the table each name is, and the names each column feeds.
    std::vector<std::vector<std::size_t>> wanted;
    TableColumns columns(names.size());
    {
        const char* end = lineEnd(at);
        std::size_t index = 0;
        for (const char* cell = at; cell <= end; ++index) {
            const void* tab = std::memchr(cell, '\t', std::size_t(end - cell));
            const char* cellEnd = tab ? static_cast<const char*>(tab) : end;
            const std::string_view header(cell, std::size_t(cellEnd - cell));
            for (std::size_t n = 0; n < names.size(); ++n)
                if (!columns[n] && header == names[n]) {
                    if (wanted.size() <= index) wanted.resize(index + 1);
                    wanted[index].push_back(n);
                    columns[n].emplace();
                }
            cell = cellEnd + 1;
        }
        at = end == stop ? stop : end + 1;
    }
    std::vector<std::size_t> targets; // the columns read, in order
    for (std::size_t index = 0; index < wanted.size(); ++index)
        if (!wanted[index].empty()) targets.push_back(index);
    std::vector<std::pair<const char*, const char*>> cells(targets.size());
    while (at < stop) {
        const char* end = lineEnd(at);
        // From cell to cell read, over those between at once.
        std::size_t found = 0;
        for (const char* cell = at; found < targets.size(); ++found) {
            cell = skipCells(cell, end, targets[found] - (found == 0 ? 0 : targets[found - 1]));
            if (cell == nullptr) break;
            cells[found] = {cell, nextTab(cell, end)};
        }
        if (found == targets.size()) {
            for (std::size_t k = 0; k < targets.size(); ++k) {
                const double value = cellValue(cells[k].first, cells[k].second);
                for (std::size_t n : wanted[targets[k]]) columns[n]->push_back(value);
            }
            at = end == stop ? stop : end + 1;
            continue;
        }
        // A row shorter than a column gives that column its last cell, as a
        // cell-by-cell reader left it.
        const char* last = at;
        const char* lastEnd = at;
        const char* cell = at;
        for (std::size_t index = 0; index < wanted.size(); ++index) {
            if (cell <= end) {
                last = cell;
                lastEnd = nextTab(cell, end);
                cell = lastEnd + 1;
            }
            if (wanted[index].empty()) continue;
            const double value = cellValue(last, lastEnd);
            for (std::size_t n : wanted[index]) columns[n]->push_back(value);
        }
        at = end == stop ? stop : end + 1;
    }
    return columns;
}

const std::vector<std::string>& summaryColumns()
{
    static const std::vector<std::string> names = {kOutlierMask, "std_dvars"};
    return names;
}

nlohmann::json sidecarEntries(const std::filesystem::path& sidecar, const std::vector<std::string>& also)
{
    // A sidecar describes every column and a study has tens of thousands of
    // them; the summaries need two entries. The whole file is checked by
    // simdjson (a damaged one is refused, as before) and only the entries
    // kept are turned into nlohmann's JSON. One parser per thread, reused.
    thread_local simdjson::dom::parser parser;
    simdjson::dom::object top;
    if (parser.load(sidecar.string()).get_object().get(top) != simdjson::SUCCESS) return nullptr;
    nlohmann::json kept = nlohmann::json::object();
    for (const auto field : top) {
        const std::string key(field.key);
        if (key == kOutlierMask || std::find(also.begin(), also.end(), key) != also.end())
            kept[key] = nlohmann::json::parse(simdjson::minify(field.value));
    }
    return kept;
}

ConfoundsSummary summarizeConfounds(const TableColumns& columns, const nlohmann::json& sidecar,
                                    const std::filesystem::path& table, const std::filesystem::path& sidecarPath)
{
    ConfoundsSummary s;
    if (columns.size() < 2 || !columns[0]) throw std::runtime_error(table.string() + " has no column " + kOutlierMask);
    const std::vector<double>& outliers = *columns[0];
    s.volumes = int(outliers.size());
    if (columns[1]) {
        const std::vector<double>& std = *columns[1];
        double sum = 0.0, max = 0.0;
        for (std::size_t t = 1; t < std.size(); ++t)
            if (!std::isnan(std[t])) sum += std[t], max = std::max(max, std[t]);
        s.meanStdDVARS = std.size() > 1 ? sum / double(std.size() - 1) : 0.0;
        s.maxStdDVARS = max;
    }
    if (!sidecar.is_object()) throw std::runtime_error("cannot read the sidecar " + sidecarPath.string());
    if (!sidecar.contains(kOutlierMask) || !sidecar[kOutlierMask].contains("OutliersBy"))
        throw std::runtime_error("the sidecar " + sidecarPath.string() + " names no outlier rule (" + kOutlierMask + ")");
    s.rule = sidecar[kOutlierMask]["OutliersBy"].get<std::vector<std::string>>();
    s.outliers = int(std::count(outliers.begin(), outliers.end(), 1.0));
    s.outlierShare = s.volumes > 0 ? double(s.outliers) / s.volumes : 0.0;
    return s;
}

ConfoundsSummary summarizeConfounds(const std::filesystem::path& table, const std::filesystem::path& sidecarPath)
{
    return summarizeConfounds(tableColumns(table, summaryColumns()), sidecarEntries(sidecarPath), table, sidecarPath);
}

} // namespace tool
