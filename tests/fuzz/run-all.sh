#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build (BUILD_DIR/tests/fuzz/fuzz_*) for SECONDS each, on
# a scratch copy of its seed corpus (corpus/<its name>/ beside this script), and fails when any
# target finds a crash, leak or timeout; reproducers go to BUILD_DIR/fuzz-artifacts.
# Usage: tests/fuzz/run-all.sh BUILD_DIR SECONDS
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR SECONDS" >&2; exit 2; }
build_dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
artifacts=$build_dir/fuzz-artifacts
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$artifacts"

targets=0 failed=0
for target in "$build_dir"/tests/fuzz/fuzz_*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    name=$(basename "$target") targets=$((targets + 1))
    mkdir "$scratch/$name"
    [ ! -d "$here/corpus/$name" ] || cp -r "$here/corpus/$name/." "$scratch/$name/"
    if (cd "$scratch" && "$target" -max_total_time="$2" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$artifacts/$name-" "$name") >"$scratch/$name.log" 2>&1; then
        echo "ok      $name ($(grep -Eo 'number_of_executed_units: *[0-9]+' "$scratch/$name.log" | grep -Eo '[0-9]+$' || echo '?') runs)"
    else
        echo "FAILED  $name (reproducer in $artifacts)"
        tail -n 40 "$scratch/$name.log"
        failed=$((failed + 1))
    fi
done
[ "$targets" -gt 0 ] || { echo "run-all.sh: no fuzz targets in $build_dir/tests/fuzz (configure with the fuzz preset)" >&2; exit 1; }
echo "fuzz targets: $((targets - failed)) clean, $failed with findings"
[ "$failed" -eq 0 ]
