#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures lexspot and lexspot-parallel (found beside it, run with as many
# jobs as there are processors) against the tools a user would pick instead,
# on the Linux kernel's sources: ctags -x, cscope -b -k, mkid, a
# grep | sort -u pipeline, and cat of the same files as the floor. The two
# reports must be byte-identical.
#
#   bench/compare.sh [path/to/lexspot]
#
# Installs what it needs with apt-get when missing (run as root) and extracts
# the kernel sources once into $LEXSPOT_BENCH_CACHE (default
# ~/.cache/lexspot-bench); see bench/kernel_sources.sh. For a small list
# (kernel/) and a medium one (kernel/ mm/ fs/ net/ipv4/ include/) it runs
# every tool $LEXSPOT_BENCH_RUNS times (default 3), taking the tools in turn
# so that a change in the machine's load hits them alike, and prints the
# medians of CPU time (user + system, the primary figure: it does not grow
# when other work shares the machine), wall time and peak resident memory,
# and both ratios to lexspot.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
lexspot=$(realpath "${1:-$repo/build/release/lexspot}")
lexspot_parallel=$(dirname "$lexspot")/lexspot-parallel
runs=${LEXSPOT_BENCH_RUNS:-3}

[[ -x $lexspot && -x $lexspot_parallel ]] ||
    { echo "compare.sh: no lexspot and lexspot-parallel in $(dirname "$lexspot") (build the release preset first)" >&2; exit 1; }

# shellcheck source=bench/kernel_sources.sh
source "$repo/bench/kernel_sources.sh"
kernel_sources_prepare

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
lexspot_output=$work/lexspot.out
lexspot_parallel_output=$work/lexspot-parallel.out

echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p')"
for size in small medium; do
    list=$cache/$size.list
    files=$(wc -l < "$list")
    bytes=$(xargs cat < "$list" | wc -c)
    echo
    echo "== $size: $files files, $((bytes / 1024 / 1024)) MiB, median of $runs runs =="

    bench_commands "$list" "$work"
    : > "$work/runs"
    xargs cat < "$list" > /dev/null # the files into the page cache
    for ((r = 1; r <= runs; r++)); do
        for i in "${!names[@]}"; do
            measure "${names[$i]}" "${commands[$i]}"
        done
    done

    cmp "$lexspot_output" "$lexspot_parallel_output" ||
        { echo "compare.sh: lexspot-parallel's report differs from lexspot's" >&2; exit 1; }
    summarise | awk '
        { name[NR] = $1; wall[NR] = $3; cpu[NR] = $6; peak[NR] = $7 }
        END {
            printf "%-16s %8s %8s %10s %12s %11s\n", "tool", "cpu s", "wall s", "peak MiB",
                   "cpu/lexspot", "mem/lexspot"
            for (i = 1; i <= NR; i++)
                printf "%-16s %8.2f %8.2f %10.1f %12.3f %11.3f\n", name[i], cpu[i], wall[i],
                       peak[i] / 1024, (cpu[1] > 0 ? cpu[i] / cpu[1] : 0), peak[i] / peak[1]
        }'
done
