#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks `measure` of bench/kernel_sources.sh without the kernel sources: a
# run that fails, in any stage of a pipeline, stops the measurement with a
# failure and records nothing; a run that succeeds is recorded.
#
#   tests/bench_measure_test.sh REPO
#
# Like the benchmarks, it needs GNU time as /usr/bin/time (Debian package
# `time`); without it, it says so and exits 77, which CTest counts as skipped.
set -euo pipefail

repo=${1:?usage: bench_measure_test.sh REPO}
if [[ ! -x /usr/bin/time ]]; then
    echo "skipped: no GNU time at /usr/bin/time (Debian package time)"
    exit 77
fi

# shellcheck source=bench/kernel_sources.sh
source "$repo/bench/kernel_sources.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'int x;\nchar *y;\n' > "$work/input.c"

# expected outcome | command measured. `grep | sort -u` is the shape of the
# benchmarks' grep-sort command; its grep fails on a missing file.
cases=(
    "ok|LC_ALL=C grep -noE '[A-Za-z_]+' $work/input.c | LC_ALL=C sort -u > /dev/null"
    "fail|LC_ALL=C grep -noE '[A-Za-z_]+' $work/missing.c | LC_ALL=C sort -u > /dev/null"
    "fail|cat $work/input.c | false | cat > /dev/null"
    "fail|cat $work/missing.c > /dev/null"
)

failures=0
for case in "${cases[@]}"; do
    expected=${case%%|*} command=${case#*|}
    : > "$work/runs"
    # measure exits on a failed run, so it runs in a subshell.
    if (measure probe "$command") 2> "$work/stderr"; then outcome=ok; else outcome=fail; fi
    runs=$(cat "$work/runs") stderr=$(cat "$work/stderr")
    if [[ $expected == ok ]]; then
        # One record: the name, wall, user and sys seconds, peak KiB.
        [[ $outcome == ok && $runs =~ ^probe\ [0-9.]+\ [0-9.]+\ [0-9.]+\ [0-9]+$ ]] && continue
        echo "FAIL: expected a recorded run of: $command"
    else
        [[ $outcome == fail && -z $runs && $stderr == *'probe failed'* ]] && continue
        echo "FAIL: expected the measurement to stop at: $command"
    fi
    echo "  outcome $outcome, runs '$runs', stderr '$stderr'"
    failures=$((failures + 1))
done
((failures == 0)) || exit 1
echo "measure: ${#cases[@]} cases passed"
