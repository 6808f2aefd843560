#!/bin/sh
# Builds the fuzz targets with clang, ASan and UBSan, then runs each for a
# bounded time on a working corpus seeded from fuzz/seeds/. Fails on any
# crash, sanitizer report, leak, hang (over 5 s for one input) or memory use
# beyond 1 GiB. Findings land in BUILD/artifacts/TARGET/.
#   FUZZ_SECONDS  seconds per target (default 60)
#   FUZZ_TARGETS  targets to run (default: all)
set -eu
BUILD=${1:-build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
TARGETS=${FUZZ_TARGETS:-"sdm mdm fmr line motion nifti"}
ROOT=$(cd "$(dirname "$0")/.." && pwd)

CXX=clang++-14 CC=clang-14 cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTREMORA_FUZZ=ON -DTREMORA_TESTS=OFF >/dev/null
set --
for t in $TARGETS; do set -- "$@" "fuzz_$t"; done
cmake --build "$BUILD" -j "$(nproc)" --target "$@"

failed=""
for t in $TARGETS; do
    corpus="$BUILD/corpus/$t"
    artifacts="$BUILD/artifacts/$t"
    mkdir -p "$corpus" "$artifacts"
    log="$BUILD/fuzz_$t.log"
    echo "fuzz_$t: $SECONDS_EACH s ..."
    if ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$BUILD/bin/fuzz_$t" -max_total_time="$SECONDS_EACH" -timeout=5 -rss_limit_mb=1024 \
        -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" "$ROOT/fuzz/seeds/$t" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        echo "fuzz_$t: ok, ${runs:-?} executions, corpus $(ls "$corpus" | wc -l) inputs"
    else
        echo "fuzz_$t: FAILED, see $log and $artifacts/"
        grep -E "ERROR|SUMMARY|changed|differs|Test unit written" "$log" | head -n 8 || true
        failed="$failed $t"
    fi
done
[ -z "$failed" ] || { echo "fuzz targets failed:$failed"; exit 1; }
