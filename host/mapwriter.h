// Map files compressed and written on the host's own threads, one map per
// worker, while the plug-in goes on with the next map. The plug-in still
// calls the host from its one thread; only the host's work after a save is
// shared out.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "largebuffer.h"

namespace host {

// A map to write: its file, the bytes before the voxels and the voxels.
struct MapJob {
    std::string file;
    std::string head;
    MapVoxels voxels;
    std::size_t savedIndex = 0; // which of the host's saved maps it is
};

// The outcome of one job: error is empty when the file was written.
struct MapWritten {
    std::string file;
    std::size_t savedIndex = 0;
    std::string error;
};

class MapWriter {
public:
    // At most `workers` maps are written at once (at least one); as many
    // more may wait, so the memory held stays bounded.
    explicit MapWriter(int workers);
    // Waits for the maps handed over; their outcome is dropped.
    ~MapWriter();
    MapWriter(const MapWriter&) = delete;
    MapWriter& operator=(const MapWriter&) = delete;

    int workers() const { return workers_; }

    // Hands a map over. Waits while the queue is full, and while a map of
    // the same file is still being written (the later save must win).
    void submit(MapJob job);

    // Waits until every map handed over is written or has failed, ends the
    // worker threads and returns the outcomes in the order of submission.
    std::vector<MapWritten> finish();

    // The voxel buffer of a map already written, for the next map (its
    // pages are in memory already), or an empty one.
    MapVoxels spareBuffer();

private:
    void work();
    bool busyWith(const std::string& file) const;

    const int workers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<MapJob> queue_;
    std::vector<std::string> writing_; // files being written now
    std::vector<MapWritten> done_;
    std::vector<MapVoxels> spare_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

} // namespace host
