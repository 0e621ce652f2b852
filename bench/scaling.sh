#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures how the cost of lexspot and lexspot-parallel grows with their
# input, against the tools of bench/compare.sh, on growing prefixes of compare.sh's medium list (the C
# sources of kernel/ mm/ fs/ net/ipv4/ include/, sorted by path).
#
#   bench/scaling.sh [path/to/lexspot]
#
# Uses bench/kernel_sources.sh for packages and sources, as compare.sh does.
# For each prefix it counts the distinct identifiers, the occurrences, the
# entries (distinct identifier, file pairs: one file table binding each) and
# the records (distinct identifier, file, line triples: one line number each)
# once with grep, independently of lexspot, and once from lexspot's report,
# and stops if the two disagree; then it runs every tool $LEXSPOT_BENCH_RUNS times
# (default 3), taking the tools in turn. It writes the medians to
# doc/scaling.tsv and draws doc/scaling.png from them with gnuplot. Set
# LEXSPOT_SCALING_PREFIXES to measure other prefix lengths.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
lexspot=$(realpath "${1:-$repo/build/release/lexspot}")
lexspot_parallel=$(dirname "$lexspot")/lexspot-parallel
runs=${LEXSPOT_BENCH_RUNS:-3}
read -r -a prefixes <<< "${LEXSPOT_SCALING_PREFIXES:-250 500 1000 2000 4000 8606}"
tsv=$repo/doc/scaling.tsv
png=$repo/doc/scaling.png

[[ -x $lexspot && -x $lexspot_parallel ]] ||
    { echo "scaling.sh: no lexspot and lexspot-parallel in $(dirname "$lexspot") (build the release preset first)" >&2; exit 1; }

# shellcheck source=bench/kernel_sources.sh
source "$repo/bench/kernel_sources.sh"
kernel_sources_prepare

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# lexspot's report is kept for counting; every run writes it to this file.
# lexspot-parallel's must be the same.
lexspot_output=$work/lexspot.out
lexspot_parallel_output=$work/lexspot-parallel.out

{
    echo "# bench/scaling.sh, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores," \
         "$(lscpu | sed -n 's/^Model name: *//p'), median of $runs runs"
    echo "# cpu_s = user + system CPU seconds (primary figure); wall_s also counts the time"
    echo "# lost to other work on the machine; peak_kib = peak resident set of the"
    echo "# command's largest process. Counts, from grep: distinct identifiers, occurrences"
    echo "# (grep -o matches), entries (distinct identifier/file pairs) and records"
    echo "# (distinct identifier/file/line triples)."
    printf '%s\t' files bytes identifiers occurrences entries records tool runs wall_s user_s sys_s \
           cpu_s
    echo peak_kib
} > "$tsv.new"

medium=$cache/medium.list
total=$(wc -l < "$medium")
for files in "${prefixes[@]}"; do
    ((files <= total)) || { echo "scaling.sh: the medium list has only $total files" >&2; exit 1; }
    list=$work/prefix.list
    head -n "$files" "$medium" > "$list"
    bytes=$(xargs cat < "$list" | wc -c)

    # Counted with grep, by the same identifier rule: the longest run of
    # letters, digits and "_" that ends with a letter or "_".
    LC_ALL=C grep -HnoE '[A-Za-z0-9_]*[A-Za-z_]' $(cat "$list") > "$work/matches"
    occurrences=$(wc -l < "$work/matches")
    records=$(LC_ALL=C sort -u "$work/matches" | wc -l)
    entries=$(cut -d: -f1,3 "$work/matches" | LC_ALL=C sort -u | wc -l)
    identifiers=$(cut -d: -f3 "$work/matches" | LC_ALL=C sort -u | wc -l)
    rm -f "$work/matches"

    bench_commands "$list" "$work"
    : > "$work/runs"
    for ((r = 1; r <= runs; r++)); do
        for i in "${!names[@]}"; do
            measure "${names[$i]}" "${commands[$i]}"
        done
    done

    cmp "$lexspot_output" "$lexspot_parallel_output" ||
        { echo "scaling.sh: $files files: lexspot-parallel's report differs from lexspot's" >&2; exit 1; }

    # The same counts from lexspot's report: a line that does not begin
    # with a tab begins with an identifier, every line is an entry and every
    # number is a record.
    own=$(awk '
        !/^\t/ { ids++ }
        { for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+$/) n++ }
        END { print ids + 0, NR, n + 0 }' "$lexspot_output")
    if [[ $own != "$identifiers $entries $records" ]]; then
        echo "scaling.sh: $files files: grep counts $identifiers identifiers, $entries entries," \
             "$records records; lexspot's report has $own" >&2
        exit 1
    fi

    summarise | while read -r name n wall user sys cpu peak; do
        printf '%s\t' "$files" "$bytes" "$identifiers" "$occurrences" "$entries" "$records" \
               "$name" "$n" \
               "$wall" "$user" "$sys" "$cpu"
        echo "$peak"
    done >> "$tsv.new"
    echo "scaling.sh: $files files, $identifiers identifiers done" >&2
done
mv "$tsv.new" "$tsv"

gnuplot <<PLOT
set terminal pngcairo size 2000,540 font ",10"
set output "$png"
set datafile separator "\t"
set multiplot layout 1,4 title "lexspot and its peers on prefixes of the C sources of the Linux kernel's kernel/ mm/ fs/ net/ipv4/ include/\n(median of $runs runs; $(nproc) cores, $(date -u +%Y-%m-%d))"
tools = "lexspot lexspot-parallel ctags cscope mkid grep-sort cat"
select(tool) = sprintf("< awk -F'\t' '\$7 == \"%s\"' $tsv", tool)
set style line 1 lw 2 pt 7 lc rgb "#d62728"
set style line 2 lw 2 pt 7 lc rgb "#8c1a1a" dt 3
set style line 3 lw 1.5 pt 5 lc rgb "#1f77b4"
set style line 4 lw 1.5 pt 9 lc rgb "#2ca02c"
set style line 5 lw 1.5 pt 11 lc rgb "#9467bd"
set style line 6 lw 1.5 pt 13 lc rgb "#ff7f0e"
set style line 7 lw 1.5 pt 6 lc rgb "#7f7f7f" dt 2
set logscale xy
set grid
set key top left
set xlabel "distinct identifiers in the input"
set format x "%.0s%c"
set title "CPU time (user + system)"
set ylabel "seconds"
plot for [i = 1:words(tools)] select(word(tools, i)) \
    using 3:12 with linespoints ls i title word(tools, i)
set title "wall time"
plot for [i = 1:words(tools)] select(word(tools, i)) \
    using 3:9 with linespoints ls i title word(tools, i)
set title "peak resident memory"
set ylabel "MiB"
plot for [i = 1:words(tools)] select(word(tools, i)) \
    using 3:(\$13 / 1024) with linespoints ls i title word(tools, i)
set title "CPU time per record (identifier, file, line)"
set ylabel "microseconds"
plot for [i = 1:words(tools)] select(word(tools, i)) \
    using 3:(\$12 * 1e6 / \$6) with linespoints ls i title word(tools, i)
unset multiplot
PLOT
echo "scaling.sh: wrote $tsv and $png" >&2
