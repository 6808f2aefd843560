#!/usr/bin/env bash
# The plug-in holds what it runs: libtremora.so defines none of the symbols
# of the quality-control library, and still exports the host's entry points.
set -euo pipefail
plugin=$1
qc=$2
defined() { nm -D --defined-only "$1" | awk '{print $3}' | sort -u; }
# The quality-control library's own functions and data (not the inline and
# template code, weak symbols, that every library using them holds a copy of).
qcSymbols=$(nm -D --defined-only "$qc" | awk '$2 ~ /^[TDBR]$/ {print $3}' | sort -u)
test -n "$qcSymbols" || { echo "no symbols read from $qc"; exit 1; }
both=$(comm -12 <(defined "$plugin") <(echo "$qcSymbols"))
if [ -n "$both" ]; then
  echo "libtremora.so defines quality-control symbols:"; echo "$both" | c++filt | head -20; exit 1
fi
for export in createPlugin getPluginName getPluginDescription getAuthor getHelpFile getPluginVersion getGUIScript; do
  defined "$plugin" | grep -qx "$export" || { echo "libtremora.so does not export $export"; exit 1; }
done
echo "libtremora.so: $(defined "$plugin" | wc -l) symbols, none of the $(echo "$qcSymbols" | wc -l) of the quality-control library"
