#!/bin/sh
# One run's whole participant-level job beside its floor and its peer, side by
# side: gzip -dc of the BOLD (the data must be decompressed once), tremora bids
# on the run (program start to provenance record: import, confounds table with
# DVARS, displacement maps, report), DVARS alone on the job's imported run,
# and nipype's compute_dvars on the same run
# and brain mask (what fMRIPrep runs for DVARS alone); each with its wall time
# and peak resident memory. The run is made here (bench/make_run_study.py).
# Usage: bench/run_run.sh [BUILD_DIR] [NX NY NZ VOLUMES]   (default build-bench, 96 96 60 500)
# REPEATS=N (default 3): runs of each step but nipype's, of which the median counts.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$(realpath -m "${1:-$root/build-bench}")
dims=${2:-96 96 60 500}
repeats=${REPEATS:-3}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTREMORA_BENCH=ON -DTREMORA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target tremora_cli >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
set -- $dims
/usr/bin/python3 "$here/make_run_study.py" "$work/study" "$1" "$2" "$3" "$4"
bold=$work/study/sub-01/func/sub-01_task-rest_bold.nii.gz
mask=$work/study/derivatives/fmriprep/sub-01/func/sub-01_task-rest_desc-brain_mask.nii.gz

# measure NAME REPEATS COMMAND...: one row of the table, the median wall time
# of REPEATS runs (this machine's times vary by a fifth from run to run) with
# every run's, and the largest peak memory; $before, when set, runs untimed
# before each.
measure() {
    name=$1 count=$2
    shift 2
    : >"$work/walls.txt"
    peak=0 i=0
    while [ "$i" -lt "$count" ]; do
        ${before:-true}
        /usr/bin/time -v "$@" >"$work/out.txt" 2>"$work/time.txt" || { echo "$name failed:"; tail -n 20 "$work/out.txt" "$work/time.txt"; exit 1; }
        sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt" |
            awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }' >>"$work/walls.txt"
        p=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
        [ "$p" -gt "$peak" ] && peak=$p
        i=$((i + 1))
    done
    # seconds and megabytes of the last step, for the ratios below
    secs=$(sort -n "$work/walls.txt" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    megabytes=$((peak / 1024))
    printf '| %s | %s s (%s) | %s MB |\n' "$name" "$secs" "$(sort -n "$work/walls.txt" | paste -sd ' ')" "$megabytes"
}
echo
echo "One run of $1 x $2 x $3 voxels and $4 volumes (int16: $(($1 * $2 * $3 * $4 * 2 / 1000000)) MB raw, $(($(stat -c %s "$bold") / 1000000)) MB gzipped), $(nproc) cores"
echo
echo "| step | wall: median ($repeats runs; nipype one) | peak memory |"
echo "|---|---|---|"
measure "gzip -dc of the BOLD" "$repeats" sh -c "gzip -dc '$bold' >/dev/null"
floor=$secs
before="rm -rf $work/out"
measure "tremora bids, the whole per-run job" "$repeats" "$build/bin/tremora" bids "$work/study" "$work/out" participant --jobs 1 --keep-work
job=$secs
# DVARS alone, as the confound step computes it on the job's imported run
# (its slice data in the run's own type, in the page cache).
run=$work/out/work/sub-01_task-rest
before=
measure "tremora DVARS alone (confound --tsv on the imported run)" "$repeats" "$build/bin/tremora" confound \
    --sdm "$run/sub-01_task-rest_3DMC.sdm" --fmr "$run/sub-01_task-rest.fmr" --mask "$mask" --tsv --sets detr
dvars=$secs dvarsMemory=$megabytes
measure "nipype compute_dvars (same run and mask)" 1 /usr/bin/python3 -c \
    "import sys; from nipype.algorithms.confounds import compute_dvars; compute_dvars(sys.argv[1], sys.argv[2], remove_zerovariance=True)" \
    "$bold" "$mask"
echo
awk -v floor="$floor" -v job="$job" -v dvars="$dvars" -v dm="$dvarsMemory" -v peer="$secs" -v pm="$megabytes" 'BEGIN {
    printf "The job took %.2fx the time of gzip -dc; DVARS alone was %.1fx faster than nipype, at %.1f %% of its memory.\n",
        job / floor, peer / dvars, 100 * dm / pm }'
