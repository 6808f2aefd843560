#!/bin/sh
# analyzeConfounds against the same computation in numpy, on one synthetic
# run (64x64x36, 300 volumes). Usage: bench/run_analyze.sh [BUILD_DIR]
# Builds BUILD_DIR (default build-bench) in Release with the benchmarks on.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTREMORA_BENCH=ON -DTREMORA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_analyze >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

# One thread for both, so that the comparison is of the computation itself.
export OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1
timed() { # run a command under /usr/bin/time -v, keep its output and the peak memory
    name=$1; shift
    /usr/bin/time -v "$@" >"$work/$name.out" 2>"$work/$name.time"
    cat "$work/$name.out"
    grep -E "Maximum resident set size|Elapsed \(wall clock\)" "$work/$name.time" | sed 's/^[[:space:]]*/  /'
}
echo "== libtremora ($(uname -m), $(nproc) cores)"
timed cpp "$build/bin/bench_analyze" --write "$work"
echo "== numpy $(/usr/bin/python3 -c 'import numpy; print(numpy.__version__)') (OPENBLAS_NUM_THREADS=1)"
timed numpy /usr/bin/python3 "$here/analyze_numpy.py" "$work"
timed numpy_noreuse /usr/bin/python3 "$here/analyze_numpy.py" "$work" --repeat 1 --no-reuse

cpp=$(sed -n 's/^RESULT cpp best_s=\([0-9.]*\).*/\1/p' "$work/cpp.out")
np=$(sed -n 's/^RESULT numpy best_s=\([0-9.]*\).*/\1/p' "$work/numpy.out")
npn=$(sed -n 's/^RESULT numpy_noreuse best_s=\([0-9.]*\).*/\1/p' "$work/numpy_noreuse.out")
/usr/bin/python3 -c "print('== ratio: numpy / libtremora = %.2f (numpy refitting the model before each addition: %.2f)' % ($np / $cpp, $npn / $cpp))"
