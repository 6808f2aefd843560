// What became of each run of a tremora bids call, kept in the derivatives so
// that the group level can account for every run: a small status record per
// run, and the advisory lock that keeps two calls on one OUTPUT_DIR from
// processing the same run at once. The provenance record stays the one mark
// of a complete run; the status record says what happened otherwise.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bidslayout.h"

namespace tool::bids {

// A run's status as the participant level leaves it:
//   queued   found and to be processed by a call that has not started it yet
//   started  its process is running (or was, when the call was killed)
//   done     processed; its provenance record says the outputs are complete
//   failed   its process failed: reason, and the log kept in its work folder
//   skipped  it cannot be processed: reason (e.g. no motion estimates)
struct RunStatus {
    std::string status;
    std::string reason;                // failed, skipped
    std::string log;                   // failed: the log, relative to OUTPUT_DIR
    std::vector<std::string> warnings; // the run's "warning:" lines, without the prefix
};

// <folder>/<stem>_desc-tremora_status.json, relative to OUTPUT_DIR.
fs::path statusName(const Run& run);
bool isStatusName(const std::string& fileName);

// Saved under a temporary name and renamed into place; throws std::runtime_error.
void writeStatus(const fs::path& path, const RunStatus& status);
// Nothing when the file is missing or is no status record.
std::optional<RunStatus> readStatus(const fs::path& path);

// The "warning: " lines of a run's log, without the prefix, each once.
std::vector<std::string> warningsOf(const fs::path& log);

// OUTPUT_DIR/work/<stem>: the intermediate files and the log of a run.
fs::path workFolder(const fs::path& output, const std::string& stem);

// An exclusive flock(2) on OUTPUT_DIR/work/<stem>.lock. The kernel drops it
// when the process holding it ends, however it ends, so a killed call never
// leaves a run locked. Released (the file removed, then closed) on
// destruction; a process forked while it is held holds it too.
class RunLock {
public:
    // The lock, or nothing when another process holds it. Throws
    // std::runtime_error when the lock file cannot be made.
    static std::optional<RunLock> tryTake(const fs::path& output, const std::string& stem);
    RunLock(RunLock&& other) noexcept;
    RunLock& operator=(RunLock&&) = delete;
    ~RunLock();

private:
    RunLock(int fd, fs::path path) : fd_(fd), path_(std::move(path)) {}
    int fd_ = -1;
    fs::path path_;
};

// Whether another process holds the run's lock now (the file is only read).
bool lockedElsewhere(const fs::path& output, const std::string& stem);

} // namespace tool::bids
