// Worker threads for the library's computations. A computation divides its
// work into independent parts; parallel::forEach runs them on threads it
// starts for the call and joins before it returns, so no thread outlives the
// call and the host is only ever called from the calling thread (the workers
// touch nothing but the computation's own data).
#pragma once

#include <cstddef>
#include <functional>

namespace parallel {

// The cores this process may run on (its CPU affinity mask), at least 1.
int availableCores();

// The number of threads the library's computations use: the count set with
// setThreadCount, or availableCores() when none is set.
int threadCount();
// Sets the library-wide count; 0 or less returns to availableCores().
void setThreadCount(int threads);

// threads when it is positive, else threadCount().
int resolve(int threads);

// Calls body(part, worker) once for every part from 0 to parts - 1 on at most
// `threads` threads (resolved as above), the calling thread among them.
// worker (0 .. threads-1) names the thread, for scratch space of its own.
// Parts are handed out in increasing order to whichever thread is free: the
// results must not depend on which thread runs a part. The first exception a
// part throws stops the handing out; it is rethrown once every thread has
// ended. When the system refuses a thread, fewer threads do the same work.
void forEach(std::size_t parts, int threads, const std::function<void(std::size_t part, int worker)>& body);

// The number of threads forEach starts for that many parts (parts = 0 gives 1).
int workersFor(std::size_t parts, int threads);

} // namespace parallel
