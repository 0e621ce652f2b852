#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs lexspot-parallel on the C sources of the whole Linux kernel, as a user
# would on a tree whose paths do not fit on one command line:
#
#   find . -name '*.[ch]' -print0 | lexspot-parallel --files0-from=- > report
#
#   bench/whole_tree.sh [path/to/lexspot-parallel]
#
# Extracts /usr/src/linux-source-6.1.tar.xz (package linux-source-6.1,
# installed when missing; run as root) once into
# $LEXSPOT_BENCH_CACHE/full (default ~/.cache/lexspot-bench/full, about
# 1.3 GB), with bench/kernel_sources.sh. Prints the run's wall time, CPU
# time (user + system, of every process) and the peak resident memory of its
# largest process, from GNU time, then what the report holds: distinct
# identifiers, entries (identifier/file pairs) and records (line numbers),
# to hold against bench/kernel_counts.sh's counts. $LEXSPOT_BENCH_JOBS sets
# -j (default: every processor).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
parallel=$(realpath "${1:-$repo/build/release/lexspot-parallel}")
[[ -x $parallel ]] || { echo "whole_tree.sh: no lexspot-parallel at $parallel" >&2; exit 1; }
jobs=${LEXSPOT_BENCH_JOBS:-$(nproc)}

for p in time xz-utils; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null
    fi
done
# shellcheck source=bench/kernel_sources.sh
source "$repo/bench/kernel_sources.sh"
kernel_full_prepare

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=$(find . -type f -name '*.[ch]' | wc -l)
bytes=$(find . -type f -name '*.[ch]' -print0 | xargs -0 cat | wc -c)
find . -type f -name '*.[ch]' -print0 | xargs -0 cat > /dev/null # into the page cache
echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p')"
echo "C sources of linux-source-6.1: $files files, $bytes bytes; lexspot-parallel -j $jobs"
if ! /usr/bin/time -f '%e %U %S %M' -o "$work/time" bash -o pipefail -c \
    "find . -name '*.[ch]' -print0 | '$parallel' -j $jobs --files0-from=- > '$work/report'"; then
    echo "whole_tree.sh: the run failed: $(cat "$work/time")" >&2
    exit 1
fi
read -r wall user sys peak < <(tail -n 1 "$work/time")
awk -v wall="$wall" -v user="$user" -v sys="$sys" -v peak="$peak" 'BEGIN {
    printf "wall %.1f s, CPU %.1f s (user %.1f, system %.1f), largest process %.0f MiB\n",
           wall, user + sys, user, sys, peak / 1024 }'
awk '
    !/^\t/ { ids++ }
    { for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+$/) n++ }
    END { printf "report: %d identifiers, %d entries, %d records\n", ids, NR, n }' "$work/report"
echo "report: $(wc -c < "$work/report") bytes"
