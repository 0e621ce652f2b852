#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the library's benchmarks and prints, for each operation, lexspot's
# median CPU time beside the reference's (snprintf, std::unordered_map,
# native integers, GMP) and their ratio, as a Markdown table.
#
#   bench/ratios.sh [BENCH_DIR [BEFORE_DIR]]
#
# BENCH_DIR holds the benchmark programs (default build/bench/bench, from
# `cmake --preset bench && cmake --build --preset bench`). BEFORE_DIR, when
# given, holds the same programs built from other sources (an earlier
# version); they take turns with BENCH_DIR's, program by program, so that a
# change in the machine's load hits both alike, and the table gets a column
# of their times and ratios. The references' times come from BENCH_DIR's
# run. Each program runs $LEXSPOT_BENCH_REPETITIONS times (default 3) and the
# median is taken; table_bench runs its 100,000-key cases only. The raw
# results are kept in $LEXSPOT_BENCH_OUT (default a temporary directory,
# removed afterwards).
set -euo pipefail

dir=${1:-build/bench/bench}
before=${2:-}
repetitions=${LEXSPOT_BENCH_REPETITIONS:-3}
out=${LEXSPOT_BENCH_OUT:-}
if [[ -z "$out" ]]; then
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
fi
mkdir -p "$out/after"
[[ -n "$before" ]] && mkdir -p "$out/before"

run() { # directory results program [filter]
    local args=(--benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true
        --benchmark_format=csv)
    [[ $# -gt 3 ]] && args+=(--benchmark_filter="$4")
    "$1/$3" "${args[@]}" > "$2/$3.csv" 2> "$2/$3.log"
}
for program in fmt_bench table_bench xp_bench mp_bench; do
    filter=()
    [[ $program == table_bench ]] && filter=('keys:100000$')
    [[ -n "$before" ]] && run "$before" "$out/before" "$program" "${filter[@]}"
    run "$dir" "$out/after" "$program" "${filter[@]}"
done

# Lines "$2 name time": each benchmark's median CPU time in ns, from the
# CSVs in directory $1 (names are quoted there). With one repetition there
# are no aggregates: the single run counts.
medians() {
    cat "$1"/*.csv | awk -F, -v single=$((repetitions == 1)) -v tag="$2" '
        single ? $1 ~ /^"BM_/ : $1 ~ /_median"$/ {
            name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
            t = $4; unit = $5
            if (unit == "us") t *= 1e3; else if (unit == "ms") t *= 1e6; else if (unit == "s") t *= 1e9
            print tag, name, t
        }'
}
times=$(medians "$out/after" after)
[[ -n "$before" ]] && times+=$'\n'$(medians "$out/before" before)

# lexspot's benchmark | the reference's | what they do
pairs=(
    "BM_fmt_int|BM_snprintf_int|fmt: an integer"
    "BM_fmt_string|BM_snprintf_string|fmt: a string"
    "BM_fmt_fields|BM_snprintf_fields|fmt: several fields"
    "BM_fmt_float|BM_snprintf_float|fmt: a double"
    "BM_fmt_literal|BM_snprintf_literal|fmt: literal text"
    "BM_TableStore<hash_shift_add>/buckets:8191/keys:100000|BM_MapStore<hash_shift_add>/keys:100000|table: store 100,000 keys"
    "BM_TableLookup<hash_shift_add>/buckets:8191/keys:100000|BM_MapLookup<hash_shift_add>/keys:100000|table: look up 100,000 keys"
    "BM_TableStore<hash_fnv1a>/buckets:8191/keys:100000|BM_MapStore<hash_fnv1a>/keys:100000|table: store, FNV-1a"
    "BM_TableLookup<hash_fnv1a>/buckets:8191/keys:100000|BM_MapLookup<hash_fnv1a>/keys:100000|table: look up, FNV-1a"
)
for n in 4 16 64; do
    pairs+=("BM_xp_plus/$n|BM_gmp_mpn_add_n/$n|xp_plus, $n bytes")
done
for n in 4 16 64; do
    pairs+=("BM_xp_times/$n|BM_gmp_mpn_mul/$n|xp_times, $n × $n bytes")
done
for n in 2 4 16 64; do
    pairs+=("BM_xp_divide/$n|BM_gmp_mpn_tdiv_qr/$n|xp_divide, $((2 * n)) by $n bytes")
done
for n in 3 16 64; do
    pairs+=("BM_xp_render_base10/$n|BM_gmp_mpn_get_str/$n|xp_render base 10, $n bytes")
done
for n in 3 16 64; do
    pairs+=("BM_xp_parse_base10/$n|BM_gmp_mpn_set_str/$n|xp_parse base 10, $n bytes")
done
pairs+=(
    "BM_mp_add_si_24|BM_native_add_24|mp_add_si at 24 bits (native int32_t)"
    "BM_mp_compare_s_24|BM_native_compare_24|mp_compare_s at 24 bits (native int32_t)"
    "BM_mp_mul_s/24|BM_native_mul_24|mp_mul_s at 24 bits (native int32_t)"
    "BM_mp_mul_s/64|BM_native_mul_64|mp_mul_s at 64 bits (native int64_t)"
    "BM_mp_div_s/24|BM_native_div_24|mp_div_s at 24 bits (native int32_t)"
    "BM_mp_div_s/64|BM_native_div_64|mp_div_s at 64 bits (native int64_t)"
    "BM_mp_mul_s/256|BM_gmp_mul_256|mp_mul_s at 256 bits (mpz_mul)"
    "BM_mp_div_s/256|BM_gmp_div_256|mp_div_s at 256 bits (mpz_fdiv_q)"
)

if [[ -n "$before" ]]; then
    echo "| operation | before | lexspot | reference | ratio before | ratio |"
    echo "|---|---|---|---|---|---|"
else
    echo "| operation | lexspot | reference | ratio |"
    echo "|---|---|---|---|"
fi
for pair in "${pairs[@]}"; do
    IFS='|' read -r ours theirs what <<< "$pair"
    awk -v ours="$ours" -v theirs="$theirs" -v what="$what" -v with_before="${before:+1}" '
        function show(t) { return t >= 1e6 ? sprintf("%.2f ms", t / 1e6) : t >= 100 ? sprintf("%.0f ns", t) : sprintf("%.3g ns", t) }
        function ratio(t) { return t == "" ? "" : sprintf("%.1f×", t / b) }
        $1 == "after" && $2 == ours { a = $3 }
        $1 == "after" && $2 == theirs { b = $3 }
        $1 == "before" && $2 == ours { p = $3 }
        END {
            if (a == "" || b == "") { printf "| %s | missing | | | |\n", what; exit }
            if (with_before)
                printf "| %s | %s | %s | %s | %s | %s |\n", what, p == "" ? "missing" : show(p), show(a), show(b), ratio(p), ratio(a)
            else
                printf "| %s | %s | %s | %s |\n", what, show(a), show(b), ratio(a)
        }' <<< "$times"
done
