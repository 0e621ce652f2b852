#!/usr/bin/env bash
# Times lexspot against the tools a user would pick instead, on the Linux
# kernel's sources: ctags -x, cscope -b -k, mkid, a grep | sort -u pipeline,
# and cat of the same files as the floor.
#
#   bench/compare.sh [path/to/lexspot]
#
# Installs what it needs with apt-get when missing (run as root), extracts the
# kernel sources once into $LEXSPOT_BENCH_CACHE (default ~/.cache/lexspot-bench),
# and prints each tool's median time, peak memory and ratio to lexspot for a
# small list (kernel/) and a medium one (kernel/ mm/ fs/ net/ipv4/ include/).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
lexspot=$(realpath "${1:-$repo/build/release/lexspot}")
cache=${LEXSPOT_BENCH_CACHE:-$HOME/.cache/lexspot-bench}
runs=${LEXSPOT_BENCH_RUNS:-5}

[[ -x $lexspot ]] || { echo "compare.sh: no lexspot at $lexspot (build the release preset first)" >&2; exit 1; }

packages=(linux-source-6.1 universal-ctags cscope id-utils hyperfine time python3 xz-utils)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "compare.sh: installing ${missing[*]}" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

tree=$cache/linux-source-6.1
dirs=(kernel mm fs net/ipv4 include)
if [[ ! -f $tree/.extracted ]]; then
    echo "compare.sh: extracting kernel sources into $cache" >&2
    mkdir -p "$cache"
    tar -xf /usr/src/linux-source-6.1.tar.xz -C "$cache" "${dirs[@]/#/linux-source-6.1/}"
    touch "$tree/.extracted"
fi
cd "$tree"

find kernel -type f -name '*.[ch]' | sort > "$cache/small.list"
find "${dirs[@]}" -type f -name '*.[ch]' | sort > "$cache/medium.list"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for size in small medium; do
    list=$cache/$size.list
    files=$(wc -l < "$list")
    bytes=$(xargs cat < "$list" | wc -c)
    echo
    echo "== $size: $files files, $((bytes / 1024 / 1024)) MiB =="

    # name, then the command; each reads the files of $list from its arguments.
    names=(lexspot ctags cscope mkid grep-sort cat)
    # One process gets the whole list, as a user would type it.
    commands=(
        "$lexspot \$(cat $list) > /dev/null"
        "ctags -x -L $list > /dev/null"
        "cscope -b -k -u -i $list -f $work/cscope.out"
        "mkid -f $work/ID \$(cat $list)"
        "grep -noE '[A-Za-z0-9_]*[A-Za-z_]' \$(cat $list) | sort -u > /dev/null"
        "cat \$(cat $list) > /dev/null"
    )
    hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/$size.json" \
        -n lexspot -n ctags -n cscope -n mkid -n grep-sort -n cat "${commands[@]}" >&2

    # Peak resident memory of one run of each (largest process of the command).
    for i in "${!names[@]}"; do
        /usr/bin/time -f '%M' -o "$work/${names[$i]}.rss" bash -c "${commands[$i]}" 2>/dev/null || true
    done

    python3 - "$work/$size.json" "$work" "${names[@]}" <<'PY'
import json, statistics, sys
results = json.load(open(sys.argv[1]))["results"]
work, names = sys.argv[2], sys.argv[3:]
median = {n: statistics.median(r["times"]) for n, r in zip(names, results)}
rss = {n: int(open(f"{work}/{n}.rss").read().split()[-1]) for n in names}
print(f"{'tool':<10} {'median s':>10} {'peak MiB':>10} {'time/lexspot':>13} {'mem/lexspot':>12}")
for n in names:
    print(f"{n:<10} {median[n]:>10.3f} {rss[n] / 1024:>10.1f} "
          f"{median[n] / median['lexspot']:>13.2f} {rss[n] / rss['lexspot']:>12.2f}")
PY
done
