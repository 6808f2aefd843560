#!/bin/sh
# How the study-level steps grow with the study: tremora bids --list (the
# discovery), Snakemake's dry run of workflow/Snakefile (its plan) and the group
# level, each with its wall time and peak resident memory, for studies of
# N participants of six runs each, made of links to one participant's files
# (bench/link_study.py: nothing is computed, what grows is what is walked and read).
# Usage: bench/run_scale.sh [BUILD_DIR] [N...]   (default build-bench, 1000 5000 20000)
# REPEATS=N (default 3): runs of each step, of which the median counts.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$(realpath -m "${1:-$root/build-bench}")
[ $# -gt 0 ] && shift
sizes=${*:-1000 5000 20000}
repeats=${REPEATS:-3}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTREMORA_BENCH=ON -DTREMORA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target tremora_cli >/dev/null
tremora=$build/bin/tremora
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
"$tremora" synth --bids "$work/one" --participants 1 >/dev/null
"$tremora" bids "$work/one" "$work/one-out" participant --jobs 2 >/dev/null

# measure NAME COMMAND...: one row, the median wall time of REPEATS runs with
# every run's in order (the first reads a study its making has just left: the
# kernel's caches of names and the access times of the files it walks are
# fresh to it), the largest peak memory and the last exit status.
measure() {
    name=$1
    shift
    walls="" peak=0 i=0
    while [ "$i" -lt "$repeats" ]; do
        /usr/bin/time -v "$@" >"$work/out.txt" 2>"$work/time.txt" || true
        wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt" |
            awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }')
        p=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
        status=$(sed -n 's/.*Exit status: //p' "$work/time.txt")
        [ "$status" = 0 ] || { echo "$name exited with $status:" >&2; tail -n 5 "$work/out.txt" "$work/time.txt" >&2; }
        [ "$p" -gt "$peak" ] && peak=$p
        walls="$walls $wall"
        i=$((i + 1))
    done
    median=$(echo $walls | tr ' ' '\n' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    printf '| %s | %s | %s s (%s) | %s MB | %s |\n' "$n" "$name" "$median" "$(echo $walls | sed 's/ /, /g')" "$((peak / 1024))" "$status"
}
echo
echo "| participants (runs) | step | wall: median ($repeats runs, in order) | peak memory | exit status |"
echo "|---|---|---|---|---|"
for n in $sizes; do
    python3 "$here/link_study.py" "$work/one" "$work/one-out" "$n" "$work/study" "$work/out"
    # The study as it stands on a disk, not the writing-back of its making.
    sync
    n="$n ($((n * 6)))"
    measure "tremora bids --list" "$tremora" bids "$work/study" "$work/out" participant --list
    measure "snakemake --dry-run" snakemake -s "$root/workflow/Snakefile" --dry-run --quiet --cores 2 \
        --directory "$work" --config bids_dir="$work/study" output_dir="$work/out" tremora="$tremora"
    measure "group level" "$tremora" bids "$work/study" "$work/out" group --allow-incomplete
    rm -rf "$work/study" "$work/out" "$work/.snakemake"
done
