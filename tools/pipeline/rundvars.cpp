#include "rundvars.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "myFMR.h"
#include "parallel.h"

namespace fs = std::filesystem;

namespace tool {

namespace {

// What a result was computed from.
struct Source {
    std::string stc;
    std::uintmax_t size = 0;
    fs::file_time_type time;
    std::vector<unsigned char> mask;
    bool operator==(const Source&) const = default;
};

std::optional<Source> sourceOf(const FMR& run, const std::vector<unsigned char>& mask)
{
    std::error_code ec;
    Source s;
    s.stc = fs::absolute(run.STCFileName(), ec).string();
    if (ec) return std::nullopt;
    s.size = fs::file_size(s.stc, ec);
    if (ec) return std::nullopt;
    s.time = fs::last_write_time(s.stc, ec);
    if (ec) return std::nullopt;
    s.mask = mask;
    return s;
}

struct Kept {
    Source source;
    qc::DVARS dvars;
};

std::optional<Kept> kept;
int threads = 0; // 0: the library's thread count (all cores unless set)

} // namespace

qc::DVARS runDVARS(FMR& run, const std::vector<unsigned char>& mask)
{
    const std::optional<Source> source = sourceOf(run, mask);
    if (source && kept && kept->source == *source) return kept->dvars;
    kept.reset();
    qc::DVARS dvars = qc::computeDVARS(run, mask, seriesMemory(run), parallel::resolve(threads));
    if (source) kept = Kept{*source, dvars};
    return dvars;
}

std::size_t seriesMemory(const FMR& run)
{
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(run.STCFileName(), ec);
    return std::max<std::size_t>(std::size_t(256) << 20, ec ? 0 : std::size_t(size / 4 * 3));
}

void setDVARSThreads(int count) { threads = std::max(1, count); }

} // namespace tool
