#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a bounded time, each on a scratch copy of
# its seed corpus, and fails when any target finds a crash, leak or timeout.
#
# Usage: tests/fuzz/run-all.sh BUILD_DIR SECONDS
#   BUILD_DIR  a build configured with the fuzz preset (targets BUILD_DIR/tests/fuzz/fuzz_*,
#              each seeded from corpus/<its name>/ beside this script)
#   SECONDS    time per target
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS" >&2
    exit 2
fi
build_dir=$(cd "$1" && pwd)
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
targets_dir=$build_dir/tests/fuzz

mapfile -t targets < <(find "$targets_dir" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x 2>/dev/null | sort)
if [ ${#targets[@]} -eq 0 ]; then
    echo "run-all.sh: no fuzz targets in $targets_dir (configure with the fuzz preset and build)" >&2
    exit 1
fi

artifacts=$build_dir/fuzz-artifacts
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
for target in "${targets[@]}"; do
    name=$(basename "$target")
    corpus=$scratch/$name
    mkdir -p "$corpus"
    if [ -d "$here/corpus/$name" ]; then
        cp -r "$here/corpus/$name/." "$corpus/"
    fi
    log=$scratch/$name.log
    if (cd "$scratch" && "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$corpus") >"$log" 2>&1; then
        echo "ok      $name ($(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || echo '?') runs)"
    else
        echo "FAILED  $name"
        tail -n 40 "$log"
        echo "(reproducer in $artifacts)"
        failed=$((failed + 1))
    fi
done

echo "fuzz targets: $(( ${#targets[@]} - failed )) clean, $failed with findings"
[ "$failed" -eq 0 ]
