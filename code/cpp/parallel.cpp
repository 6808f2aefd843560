#include "parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace parallel {

namespace {

// 0: none set, the affinity mask decides at each call (it may change).
std::atomic<int> chosenThreads{0};

} // namespace

int availableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int>(hardware) : 1;
}

int threadCount()
{
    const int chosen = chosenThreads.load(std::memory_order_relaxed);
    return chosen > 0 ? chosen : availableCores();
}

void setThreadCount(int threads) { chosenThreads.store(threads > 0 ? threads : 0, std::memory_order_relaxed); }

int resolve(int threads) { return threads > 0 ? threads : threadCount(); }

int workersFor(std::size_t parts, int threads)
{
    const std::size_t wanted = static_cast<std::size_t>(resolve(threads));
    return static_cast<int>(std::max<std::size_t>(1, std::min(wanted, parts)));
}

void forEach(std::size_t parts, int threads, const std::function<void(std::size_t part, int worker)>& body)
{
    if (parts == 0) return;
    const int workers = workersFor(parts, threads);
    if (workers == 1) {
        for (std::size_t part = 0; part < parts; ++part) body(part, 0);
        return;
    }

    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex errorMutex;
    const auto work = [&](int worker) {
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            const std::size_t part = next.fetch_add(1, std::memory_order_relaxed);
            if (part >= parts) return;
            try {
                body(part, worker);
            } catch (...) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!error) error = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
                return;
            }
        }
    };

    std::vector<std::thread> started;
    started.reserve(static_cast<std::size_t>(workers - 1));
    for (int worker = 1; worker < workers; ++worker) {
        try {
            started.emplace_back(work, worker);
        } catch (const std::system_error&) {
            break; // the threads started so far, and this one, share the parts
        }
    }
    work(0);
    for (std::thread& thread : started) thread.join();
    if (error) std::rethrow_exception(error);
}

} // namespace parallel
