#include "runstatus.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "atomicfile.h"

namespace tool::bids {

namespace {

using Json = nlohmann::ordered_json;
constexpr const char* kStatusEnding = "_desc-tremora_status.json";

fs::path lockPath(const fs::path& output, const std::string& stem) { return output / "work" / (stem + ".lock"); }

} // namespace

fs::path statusName(const Run& run) { return run.folder / (run.stem() + kStatusEnding); }

bool isStatusName(const std::string& fileName)
{
    const std::string ending = kStatusEnding;
    return fileName.size() > ending.size() && fileName.compare(fileName.size() - ending.size(), ending.size(), ending) == 0;
}

void writeStatus(const fs::path& path, const RunStatus& status)
{
    Json json;
    json["Status"] = status.status;
    if (!status.reason.empty()) json["Reason"] = status.reason;
    if (!status.log.empty()) json["Log"] = status.log;
    json["Warnings"] = status.warnings;
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    saveTextAtomically(path.string(), [&](std::ostream& out) { out << json.dump(2) << "\n"; }, "cannot write " + path.string());
}

std::optional<RunStatus> readStatus(const fs::path& path)
{
    std::ifstream in(path);
    if (!in) return std::nullopt;
    const Json json = Json::parse(in, nullptr, false);
    if (!json.is_object() || !json.contains("Status") || !json["Status"].is_string()) return std::nullopt;
    RunStatus status;
    status.status = json["Status"].get<std::string>();
    status.reason = json.value("Reason", "");
    status.log = json.value("Log", "");
    if (json.contains("Warnings") && json["Warnings"].is_array())
        for (const auto& w : json["Warnings"])
            if (w.is_string()) status.warnings.push_back(w.get<std::string>());
    return status;
}

std::vector<std::string> warningsOf(const fs::path& log)
{
    std::ifstream in(log);
    std::vector<std::string> warnings;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("warning: ", 0) == 0 && std::find(warnings.begin(), warnings.end(), line.substr(9)) == warnings.end())
            warnings.push_back(line.substr(9));
    return warnings;
}

fs::path workFolder(const fs::path& output, const std::string& stem) { return output / "work" / stem; }

std::optional<RunLock> RunLock::tryTake(const fs::path& output, const std::string& stem)
{
    const fs::path path = lockPath(output, stem);
    // Another call may remove an empty work/ or release (remove) this lock
    // file between our steps: the lock counts only when, once held, its file
    // is still the one at the path.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::error_code ec;
        fs::create_directories(path.parent_path(), ec);
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == ENOENT) continue;
            throw std::runtime_error("cannot make the lock file " + path.string() + ": " + std::strerror(errno));
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            if (error == EWOULDBLOCK) return std::nullopt;
            if (error == EINTR) continue;
            throw std::runtime_error("cannot lock " + path.string() + ": " + std::strerror(error));
        }
        struct stat held{}, named{};
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino && held.st_dev == named.st_dev)
            return RunLock(fd, path);
        close(fd);
    }
    throw std::runtime_error("cannot lock " + path.string() + ": it keeps being replaced");
}

RunLock::RunLock(RunLock&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }

RunLock::~RunLock()
{
    if (fd_ < 0) return;
    // Removed while still held, so that nobody locks a file that is going away.
    unlink(path_.c_str());
    close(fd_);
}

bool lockedElsewhere(const fs::path& output, const std::string& stem)
{
    const int fd = open(lockPath(output, stem).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

} // namespace tool::bids
