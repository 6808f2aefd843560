#include "processpool.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "cli.h"

namespace tool {

std::vector<std::size_t> ProcessPool::running() const
{
    std::vector<std::size_t> keys;
    for (const auto& [pid, key] : running_) keys.push_back(key);
    return keys;
}

void ProcessPool::start(std::size_t key, const std::string& log, const std::function<void()>& prepare,
                        const std::function<int()>& job)
{
    // What this process has buffered must not be written twice.
    std::cout.flush();
    std::cerr.flush();
    const pid_t pid = fork();
    if (pid < 0) throw cli::RunError(std::string("cannot start a process: ") + std::strerror(errno));
    if (pid > 0) {
        running_[pid] = key;
        return;
    }
    int status = 1;
    try {
        if (prepare) prepare();
        const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
        const int outFd = logFd >= 0 ? logFd : nullFd;
        if (nullFd >= 0) dup2(nullFd, STDIN_FILENO);
        if (outFd >= 0) {
            dup2(outFd, STDOUT_FILENO);
            dup2(outFd, STDERR_FILENO);
        }
        if (logFd < 0) {
            const std::string message = "cannot write " + log + "\n";
            (void)!write(STDERR_FILENO, message.data(), message.size());
        }
        status = job();
    } catch (const std::exception& e) {
        std::cout << "error: " << e.what() << std::endl;
    }
    std::cout.flush();
    std::cerr.flush();
    _exit(status);
}

std::optional<ProcessPool::Ended> ProcessPool::next(bool poll)
{
    while (!running_.empty()) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, poll ? WNOHANG : 0);
        if (pid < 0 && errno == EINTR) continue;
        if (pid < 0) throw cli::RunError(std::string("waiting for the runs failed: ") + std::strerror(errno));
        if (pid == 0) return std::nullopt;
        const auto it = running_.find(pid);
        if (it == running_.end()) continue;
        const Ended ended{it->second, status};
        running_.erase(it);
        return ended;
    }
    return std::nullopt;
}

std::string howItEnded(int status)
{
    if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

} // namespace tool
