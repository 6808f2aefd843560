#!/bin/sh
# Memory and time of the run report with its carpet plot and DVARS: the run is
# read a few volumes at a time, so the peak resident memory should stay far
# below the size of the run's slice data.
# Usage: bench/run_carpet.sh [BUILD_DIR] [X Y Z VOLUMES]   (default build-bench, 64 64 36 600)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
dims=${2:-64 64 36 600}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTREMORA_BENCH=ON -DTREMORA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target tremora_cli >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
set -- $dims
"$build/bin/tremora" synth --out "$work" --name run --dims "$1" "$2" "$3" --volumes "$4" >/dev/null
stc=$(stat -c %s "$work/run.stc")
/usr/bin/time -v "$build/bin/tremora" report --fmr "$work/run.fmr" --sdm "$work/run_3DMC.sdm" --out "$work/report.html" \
  >/dev/null 2>"$work/time.txt"
peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt")
echo "report of $1 x $2 x $3 voxels, $4 volumes (slice data $((stc / 1048576)) MiB): wall $wall, peak resident $((peak / 1024)) MiB"
