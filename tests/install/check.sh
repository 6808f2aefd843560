#!/usr/bin/env bash
# Installs the built project into a fresh prefix, then builds and runs a
# consumer project that finds it with find_package(tremora).
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/tremora"
test -f "$work/prefix/include/tremora/tremora.h"
cmake -S "$source/tests/install/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
out=$("$work/consumer/consumer")
test "$out" = "2.0"
# The plug-in folder: the help page the library names, beside the library.
plugin=$(find "$work/prefix" -name libtremora.so)
test "$(echo "$plugin" | wc -l)" -eq 1
cmp "$(dirname "$plugin")/HelpFolder/index.html" "$build/bin/HelpFolder/index.html"
# The installed program finds the installed plug-in beside it, and loads it when named.
printf '\nFileVersion:          7\nNrOfVolumes:          1\n' > "$work/run.fmr"
"$work/prefix/bin/tremora" run nothing --fmr "$work/run.fmr" | grep -q "Plugin finished"
"$work/prefix/bin/tremora" run nothing --fmr "$work/run.fmr" --plugin "$plugin" | grep -q "Plugin finished"
echo "installed project found, built against and run; help page beside the plug-in"
