#!/usr/bin/env bash
# make demo: runs the plug-in through the tremora program on a sample run.
set -euo pipefail
build=${1:-build}
tremora="$build/bin/tremora"
out=demo
rm -rf "$out"
mkdir -p "$out"

# A minimal run document: enough for the plug-in to start and say goodbye.
printf '\nFileVersion:          7\nNrOfVolumes:          10\n' > "$out/minimal.fmr"
echo "== tremora run nothing --fmr $out/minimal.fmr: the plug-in starts, runs no task and says goodbye"
"$tremora" run nothing --fmr "$out/minimal.fmr"
