#!/usr/bin/env bash
# make demo: a synthetic run, then the plug-in's tasks on it through the
# tremora program, and a list of what was written.
set -euo pipefail
build=${1:-build}
tremora="$build/bin/tremora"
out=demo
rm -rf "$out"
mkdir -p "$out/plots"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "A synthetic run: 64x64x30 voxels of 3x3x3.5 mm, 200 volumes, slow drift and three jumps"
"$tremora" synth --out "$out" --name sub01 --task-sdm

step "Select the motion SDM (checks its rows against the run's volumes)"
"$tremora" select --fmr "$out/sub01.fmr" "$out/sub01_3DMC.sdm"

step "Confound predictor sets: all of them, with both plots, and as a BIDS confounds table"
"$tremora" confound --fmr "$out/sub01.fmr" --sdm "$out/sub01_3DMC.sdm" --sets all --tsv \
  --plot regular,detrended --plots "$out/plots"

step "Voxel displacement maps"
"$tremora" displacement --fmr "$out/sub01.fmr" --sdm "$out/sub01_3DMC.sdm" --maps all \
  --plot regular,detrended --plots "$out/plots"

if "$tremora" --help | grep -q '^  analyze'; then
  step "Confound model analysis: what each set adds to the block-design task"
  "$tremora" analyze --fmr "$out/sub01.fmr" --task-sdm "$out/sub01_task.sdm" \
    "$out/sub01_3DMC_detr.sdm" "$out/sub01_3DMC_deriv.sdm" "$out/sub01_3DMC_spikes.sdm"
fi

step "A motion report: one HTML page with the traces, spikes and map slices"
"$tremora" report --fmr "$out/sub01.fmr" --sdm "$out/sub01_3DMC.sdm" --out "$out/sub01_report.html"

step "A sample BIDS study: 2 participants, two sessions, tasks rest and motor, fMRIPrep-style derivatives"
"$tremora" synth --bids "$out/study" --participants 2

step "The BIDS App, participant level: every run into the derivatives dataset $out/study/derivatives/tremora"
"$tremora" bids "$out/study" "$out/study/derivatives/tremora" participant --jobs 2

step "Again: every run is up to date, nothing is redone"
"$tremora" bids "$out/study" "$out/study/derivatives/tremora" participant --jobs 2 | tail -n 1

step "The BIDS App, group level: one table and one page over the runs"
"$tremora" bids "$out/study" "$out/study/derivatives/tremora" group
column -t -s $'\t' "$out/study/derivatives/tremora/group_motion.tsv"

step "Files written"
describe() {
  case "$1" in
    *.fmr) echo "run document (header of the functional run)";;
    *.stc) echo "slice data of the run (float, slice by slice)";;
    *_3DMC.sdm) echo "motion parameters: translations mm, rotations degrees";;
    *_task.sdm) echo "block-design task predictors";;
    *_detr.sdm) echo "detrended motion parameters, z-scored";;
    *_deriv.sdm) echo "their temporal derivative, z-scored";;
    *_sqr.sdm) echo "their squares, z-scored";;
    *_t1.sdm) echo "delayed by one volume, z-scored";;
    *_t2.sdm) echo "delayed by two volumes, z-scored";;
    *_t1sqr.sdm) echo "squares of the one-volume delay, z-scored";;
    *_t2sqr.sdm) echo "squares of the two-volume delay, z-scored";;
    *_derivsqr.sdm) echo "squares of the temporal derivative, z-scored (36-parameter model)";;
    *_spikes.sdm) echo "one spike predictor per volume above 0.5 mm relative RMS displacement";;
    *_MaxAbsolute.nii.gz) echo "map: largest displacement from the reference position (mm)";;
    *_MeanAbsolute.nii.gz) echo "map: mean displacement from the reference position (mm)";;
    *_MaxRelative.nii.gz) echo "map: largest volume-to-volume displacement (mm)";;
    *_MeanRelative.nii.gz) echo "map: mean volume-to-volume displacement (mm)";;
    *_MaxAbsoluteX.nii.gz) echo "map: largest displacement along x (mm)";;
    *_MaxAbsoluteY.nii.gz) echo "map: largest displacement along y (mm)";;
    *_MaxAbsoluteZ.nii.gz) echo "map: largest displacement along z (mm)";;
    *_tSNR_data.nii.gz) echo "map: temporal SNR of the data";;
    *_task_R2adj.nii.gz) echo "map: adjusted R² of the task model";;
    *_tSNR_residuals.nii.gz) echo "map: temporal SNR once the confounds are removed";;
    *_tSNR_perc_increase.nii.gz) echo "map: tSNR gain from the confounds (%)";;
    *_R2adj.nii.gz) echo "map: adjusted R² of task plus confounds";;
    *_R2adj_diff*.nii.gz) echo "map: adjusted R² gained by adding the set";;
    *_Fval_diff*.nii.gz) echo "map: F of adding the set";;
    *.svg) echo "plot";;
    *_desc-confounds_timeseries.tsv) echo "BIDS confounds table: motion, framewise displacement, DVARS, outliers";;
    *_desc-confounds_timeseries.json) echo "its sidecar: what each column holds";;
    *_desc-*_displacement.nii.gz) echo "map of the BIDS App (mm), on the run's own affine";;
    *_desc-*_displacement.json) echo "its sidecar: units, mask threshold, sources";;
    *_desc-motion_report.html) echo "motion report of the run";;
    *_desc-tremora_provenance.json) echo "written last: the run's outputs are complete";;
    group_motion.tsv|*/group_motion.tsv) echo "one row per run: FD, spikes, displacement, exclude";;
    *group_report.html) echo "the group's distributions and the runs beyond the criteria";;
    *_report.html) echo "motion report (open in a browser)";;
    *) echo "";;
  esac
}
# Of the sample study: its top files and the outputs of one session.
find "$out" -type f -not -path "$out/study/sub-*" -not -path "$out/study/derivatives/fmriprep/*" \
  -not -path "$out/study/derivatives/tremora/sub-0[2-9]/*" -not -path "$out/study/derivatives/tremora/sub-01/ses-2/*" \
  | sort | while read -r f; do
  printf '  %-52s %s\n' "$f" "$(describe "$f")"
done
