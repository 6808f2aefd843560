#include "mapwriter.h"

#include <algorithm>
#include <exception>
#include <system_error>

#include "mapfile.h"

namespace host {

MapWriter::MapWriter(int workers) : workers_(std::max(1, workers)) {}

MapWriter::~MapWriter() { finish(); }

bool MapWriter::busyWith(const std::string& file) const
{
    if (std::find(writing_.begin(), writing_.end(), file) != writing_.end()) return true;
    return std::any_of(queue_.begin(), queue_.end(), [&](const MapJob& job) { return job.file == file; });
}

namespace {

MapWritten write(MapJob& job, MapScratch& scratch)
{
    MapWritten outcome{job.file, job.savedIndex, std::string()};
    try {
        writeMapBytes(job.file, job.head, job.voxels.data(), job.voxels.size(), scratch);
    } catch (const std::exception& e) {
        outcome.error = e.what();
    }
    return outcome;
}

} // namespace

void MapWriter::submit(MapJob job)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
        return queue_.size() < static_cast<std::size_t>(workers_) && !busyWith(job.file);
    });
    // A worker for every map in hand, up to the limit.
    if (threads_.size() < static_cast<std::size_t>(workers_) && threads_.size() < writing_.size() + queue_.size() + 1) {
        try {
            threads_.emplace_back(&MapWriter::work, this);
        } catch (const std::system_error&) {
        }
    }
    if (threads_.empty()) {
        // The system refused every thread: the map is written here and now.
        lock.unlock();
        MapScratch scratch;
        MapWritten outcome = write(job, scratch);
        lock.lock();
        done_.push_back(std::move(outcome));
        return;
    }
    queue_.push_back(std::move(job));
    changed_.notify_all();
}

void MapWriter::work()
{
    MapScratch scratch;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        MapJob job = std::move(queue_.front());
        queue_.pop_front();
        writing_.push_back(job.file);
        changed_.notify_all(); // room in the queue
        lock.unlock();
        MapWritten outcome = write(job, scratch);
        lock.lock();
        writing_.erase(std::find(writing_.begin(), writing_.end(), outcome.file));
        done_.push_back(std::move(outcome));
        // The voxel buffer may serve the host's next map.
        if (spare_.size() < static_cast<std::size_t>(workers_)) spare_.push_back(std::move(job.voxels));
        changed_.notify_all();
    }
}

MapVoxels MapWriter::spareBuffer()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.empty()) return {};
    MapVoxels buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
}

std::vector<MapWritten> MapWriter::finish()
{
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
    std::vector<std::thread> threads;
    threads.swap(threads_);
    lock.unlock();
    for (std::thread& thread : threads) thread.join(); // each leaves once the queue is empty
    lock.lock();
    stopping_ = false;
    spare_.clear();
    std::vector<MapWritten> outcomes;
    outcomes.swap(done_);
    std::sort(outcomes.begin(), outcomes.end(),
              [](const MapWritten& a, const MapWritten& b) { return a.savedIndex < b.savedIndex; });
    return outcomes;
}

} // namespace host
