#!/bin/sh
# The voxel displacement computation against the same computation in numpy,
# on two synthetic runs, and the whole task through the tremora program.
# Usage: bench/run_displacement.sh [BUILD_DIR]   (default build-bench)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTREMORA_BENCH=ON -DTREMORA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_displacement tremora_cli >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
export OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1

echo "== the computation: masked voxel-volume updates (40 % of voxels in the mask)"
for size in "64 64 36 300" "96 96 60 500"; do
  # shellcheck disable=SC2086
  cpp=$("$build/bin/bench_displacement" $size 0.4)
  # shellcheck disable=SC2086
  np=$(/usr/bin/python3 "$here/displacement_numpy.py" $size 0.4)
  echo "$size: $cpp"
  echo "$size: $np"
  c=$(echo "$cpp" | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p')
  n=$(echo "$np" | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p')
  echo "$size: tremora is $(/usr/bin/python3 -c "print(f'{$n/$c:.1f}')")x faster than numpy"
done

echo "== the whole task: plug-in load to last map written (96x96x60, 500 volumes, int16 run)"
"$build/bin/tremora" synth --out "$work" --name big --dims 96 96 60 --volumes 500 --data-type int16 >/dev/null
/usr/bin/time -v "$build/bin/tremora" displacement --fmr "$work/big.fmr" --sdm "$work/big_3DMC.sdm" \
  >"$work/task.out" 2>"$work/task.time"
grep -c '^wrote' "$work/task.out" | sed 's/^/  maps written: /'
grep -E "Maximum resident set size|Elapsed \(wall clock\)" "$work/task.time" | sed 's/^[[:space:]]*/  /'
echo "  (reference grid 96x96x60 x 12 bytes = 6.6 MB; seven result volumes = 15.5 MB)"
