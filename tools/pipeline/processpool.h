// Jobs in child processes, at most a given number at once: the runs of
// tremora batch and tremora bids. The one place the program forks.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tool {

class ProcessPool {
public:
    explicit ProcessPool(long width) : width_(width) {}

    bool full() const { return long(running_.size()) >= width_; }
    bool empty() const { return running_.empty(); }
    std::size_t size() const { return running_.size(); }
    // The jobs' keys, in the order of their process ids.
    std::vector<std::size_t> running() const;

    // Runs job in a child process with its standard output and error in log
    // (made afresh; the log's folder is made by prepare, which runs in the
    // child first) and no input; the child exits with what job returns.
    void start(std::size_t key, const std::string& log, const std::function<void()>& prepare, const std::function<int()>& job);

    struct Ended {
        std::size_t key;
        int status; // as waitpid gives it
    };
    // The next job to end; with poll, nothing when none has ended yet.
    std::optional<Ended> next(bool poll = false);

private:
    long width_;
    std::map<pid_t, std::size_t> running_;
};

// How a job's process ended, when it did not say itself: "exited with status
// N" or "ended by signal N".
std::string howItEnded(int status);

} // namespace tool
