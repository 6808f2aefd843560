#!/bin/sh
# analyzeConfounds against the same computation in numpy with OpenBLAS, on one
# synthetic run (64x64x36, 300 volumes), both on one thread and both on all
# the cores. Usage: bench/run_analyze.sh [BUILD_DIR]
# Builds BUILD_DIR (default build-bench) in Release with the benchmarks on.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTREMORA_BENCH=ON -DTREMORA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_analyze >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
. "$here/openblas.sh"
load() { echo "  (load average: $(cut -d' ' -f1-3 /proc/loadavg))"; }

timed() { # run a command under /usr/bin/time -v, keep its output and the peak memory
    name=$1; shift
    /usr/bin/time -v "$@" >"$work/$name.out" 2>"$work/$name.time"
    cat "$work/$name.out"
    grep -E "Maximum resident set size|Elapsed \(wall clock\)" "$work/$name.time" | sed 's/^[[:space:]]*/  /'
}
best() { sed -n "s/^RESULT $1 best_s=\([0-9.]*\).*/\1/p" "$work/$2.out"; }

"$build/bin/bench_analyze" --write "$work" --repeat 0 | head -1
cores=$(env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc) # the cores this process may use
numpy_info
for threads in 1 "$cores"; do
    echo "== $threads thread(s): libtremora ($(uname -m)), then numpy with OPENBLAS_NUM_THREADS=$threads"
    load
    timed "cpp$threads" "$build/bin/bench_analyze" --threads "$threads"
    OPENBLAS_NUM_THREADS=$threads OMP_NUM_THREADS=$threads timed "numpy$threads" $numpy_env /usr/bin/python3 "$here/analyze_numpy.py" "$work"
    OPENBLAS_NUM_THREADS=$threads OMP_NUM_THREADS=$threads timed "numpy_noreuse$threads" $numpy_env /usr/bin/python3 "$here/analyze_numpy.py" "$work" --repeat 1 --no-reuse
    cpp=$(best cpp "cpp$threads")
    np=$(best numpy "numpy$threads")
    npn=$(best numpy_noreuse "numpy_noreuse$threads")
    /usr/bin/python3 -c "print('== %s thread(s): numpy / libtremora = %.2f (numpy refitting the model before each addition: %.2f)' % ('$threads', $np / $cpp, $npn / $cpp))"
done
load
