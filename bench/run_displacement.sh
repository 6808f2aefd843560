#!/bin/sh
# The voxel displacement computation against the same computation in numpy,
# on one thread and on all, and the whole displacement task through the
# tremora program with its peak memory, for two volume counts.
#
# Usage: bench/run_displacement.sh [BUILD_DIR] [--baseline REV]
#   BUILD_DIR      default build-bench (built in Release with the benchmarks)
#   --baseline REV also builds the tremora program of the git revision REV
#                  (say main) and times its whole task back to back with this one's
#
# The machine is shared: each figure is the best of several runs, and the load
# average is printed so that the figures can be read with it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$root/build-bench
baseline=
while [ $# -gt 0 ]; do
  case $1 in
    --baseline) baseline=$2; shift 2 ;;
    *) build=$1; shift ;;
  esac
done
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTREMORA_BENCH=ON -DTREMORA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_displacement bench_deflate tremora_cli >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
. "$here/openblas.sh"
cores=$(env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc) # the cores this process may use
load() { echo "  (load average: $(cut -d' ' -f1-3 /proc/loadavg))"; }
ratio() { /usr/bin/python3 -c "print(f'{$1/$2:.1f}')"; }
seconds() { sed -n 's/.*seconds=\([0-9.]*\).*/\1/p'; }

echo "== the computation: masked voxel-volume updates (40 % of voxels in the mask), best of five"
echo "   tremora on 1 thread and on all $cores, numpy (float32, vectorised over the voxels) with OpenBLAS on as many"
numpy_info
load
for size in "64 64 36 300" "96 96 60 500"; do
  for threads in 1 "$cores"; do
    # shellcheck disable=SC2086
    cpp=$("$build/bin/bench_displacement" $size 0.4 --threads "$threads")
    # shellcheck disable=SC2086
    np=$(OPENBLAS_NUM_THREADS=$threads $numpy_env /usr/bin/python3 "$here/displacement_numpy.py" $size 0.4 --repeat 3)
    echo "$size: $cpp"
    echo "$size: $np (OPENBLAS_NUM_THREADS=$threads)"
    echo "$size: tremora on $threads thread(s) is $(ratio "$(echo "$np" | seconds)" "$(echo "$cpp" | seconds)")x faster than numpy"
  done
done
load

# The whole task, program start to last map written: best and median of five
# runs, with the largest peak resident memory among them.
wholeTask() { # NAME PROGRAM RUN [threads...]
  name=$1 program=$2 run=$3; shift 3
  for k in 1 2 3 4 5; do
    /usr/bin/time -f "%e %M" -o "$work/$name.$k" "$program" displacement --fmr "$run.fmr" --sdm "$run"_3DMC.sdm "$@" \
      >"$work/$name.out"
  done
  grep -c '^wrote' "$work/$name.out" | sed "s/^/  $name: maps written: /"
  cat "$work/$name".[1-5] | sort -n | awk -v name="$name" '
    { s[NR] = $1; if ($2 > m) m = $2 }
    END { printf "  %s: best %.2f s, median %.2f s, peak RSS %.1f MB\n", name, s[1], s[3], m / 1024 }'
}

if [ -n "$baseline" ]; then
  echo "== today's program: $baseline ($(git -C "$root" rev-parse --short "$baseline")), built for the comparison"
  mkdir "$work/baseline"
  git -C "$root" archive "$baseline" | tar -x -C "$work/baseline"
  cmake -S "$work/baseline" -B "$work/baseline/build" -DCMAKE_BUILD_TYPE=Release -DTREMORA_TESTS=OFF >/dev/null
  cmake --build "$work/baseline/build" -j2 --target tremora_cli >/dev/null
fi

for volumes in 500 1000; do
  echo "== the whole task: program start to last map written (96x96x60, $volumes volumes, int16 run)"
  "$build/bin/tremora" synth --out "$work" --name run$volumes --dims 96 96 60 --volumes "$volumes" --data-type int16 >/dev/null
  load
  if [ -n "$baseline" ]; then
    wholeTask "today ($baseline)" "$work/baseline/build/bin/tremora" "$work/run$volumes"
  fi
  wholeTask "tremora, 1 thread" "$build/bin/tremora" "$work/run$volumes" --threads 1
  wholeTask "tremora, $cores threads" "$build/bin/tremora" "$work/run$volumes" --threads "$cores"
  load
  rm -f "$work/run$volumes".stc
done
echo "  (the seven result volumes: 96x96x60 x 4 bytes x 7 = 15.5 MB)"

echo "== gzip of the seven maps, one after the other, by zlib and libdeflate (the host writes with libdeflate level 6)"
"$build/bin/tremora" synth --out "$work" --name maps --dims 96 96 60 --volumes 100 --data-type int16 >/dev/null
"$build/bin/tremora" displacement --fmr "$work/maps.fmr" --sdm "$work/maps_3DMC.sdm" >/dev/null
"$build/bin/bench_deflate" "$work"/maps_3DMC_*.nii.gz
load
