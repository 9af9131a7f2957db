#!/bin/sh
# Runs every fuzz target of a build for a while: run.sh BUILD_DIR SECONDS.
# New inputs collect in BUILD_DIR/fuzz/corpus, crash inputs in
# BUILD_DIR/fuzz/artifacts; the seeds in fuzz/corpus are only read. Stops
# at the first target that finds a crash and names its input.
set -eu
build=${1:?usage: run.sh BUILD_DIR SECONDS}
seconds=${2:?usage: run.sh BUILD_DIR SECONDS}
src=$(cd "$(dirname "$0")" && pwd)
# Absolute, since a target may change its working directory.
build=$(cd "$build" && pwd)
for name in read_request decode_percent normalize_path evaluate_request; do
    bin="$build/fuzz/fuzz_$name"
    if [ ! -x "$bin" ]; then
        echo "$bin is missing: the build needs clang and CORVANSEL_SANITIZE=ON" >&2
        exit 1
    fi
    mkdir -p "$build/fuzz/corpus/$name" "$build/fuzz/artifacts"
    echo "fuzz_$name: $seconds s"
    "$bin" -max_total_time="$seconds" -timeout=10 -max_len=8192 \
        -print_final_stats=1 \
        -artifact_prefix="$build/fuzz/artifacts/$name-" \
        "$build/fuzz/corpus/$name" "$src/corpus/$name" 2>"$build/fuzz/$name.log" || {
        tail -n 40 "$build/fuzz/$name.log" >&2
        exit 1
    }
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$build/fuzz/$name.log"
done
