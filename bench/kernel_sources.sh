# SPDX-License-Identifier: MIT
# Shared by bench/compare.sh and bench/scaling.sh; source it, don't run it.
#
# kernel_sources_prepare: installs the Debian packages the benchmarks need
# when missing (run as root), extracts the Linux kernel's sources once into
# $LEXSPOT_BENCH_CACHE (default ~/.cache/lexspot-bench), and writes there the
# two file lists, sorted by path:
#   small.list   the C sources of kernel/
#   medium.list  the C sources of kernel/ mm/ fs/ net/ipv4/ include/
# It sets `cache` and `tree` and leaves the shell in $tree, so the lists'
# relative paths resolve.
#
# kernel_full_prepare: the same for the whole tree, for bench/kernel_counts.sh
# and bench/whole_tree.sh: installs linux-source-6.1 when missing, extracts
# it whole once into $LEXSPOT_BENCH_CACHE/full (about 1.3 GB) and leaves the
# shell at the top of the tree.
#
# bench_commands LIST WORK: sets `names` and `commands`, lexspot ($lexspot),
# lexspot-parallel ($lexspot_parallel, with as many jobs as there are
# processors) and the tools a user would pick instead, each reading the
# files of LIST as one process would get them from a user's command line;
# their databases go into WORK, lexspot's report to $lexspot_output and
# lexspot-parallel's to $lexspot_parallel_output (default /dev/null).
#
# measure NAME COMMAND: runs COMMAND once with `bash -o pipefail -c` under
# GNU time and appends "NAME wall user sys peak_kib" to $work/runs. user and
# sys include every process of the command (a pipeline's stages add up); the
# peak is that of its largest process.
#
# summarise: prints, per name in first-seen order, the median of each column
# of $work/runs as "NAME runs wall user sys cpu peak_kib" (cpu = user + sys,
# the median of the per-run sums).

kernel_sources_prepare() {
    local packages=(linux-source-6.1 universal-ctags cscope id-utils time xz-utils gnuplot-nox)
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "bench: installing ${missing[*]}" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi

    cache=${LEXSPOT_BENCH_CACHE:-$HOME/.cache/lexspot-bench}
    tree=$cache/linux-source-6.1
    local dirs=(kernel mm fs net/ipv4 include)
    if [[ ! -f $tree/.extracted ]]; then
        echo "bench: extracting kernel sources into $cache" >&2
        mkdir -p "$cache"
        tar -xf /usr/src/linux-source-6.1.tar.xz -C "$cache" "${dirs[@]/#/linux-source-6.1/}"
        touch "$tree/.extracted"
    fi
    cd "$tree"
    find kernel -type f -name '*.[ch]' | LC_ALL=C sort > "$cache/small.list"
    find "${dirs[@]}" -type f -name '*.[ch]' | LC_ALL=C sort > "$cache/medium.list"
}

kernel_full_prepare() {
    if ! dpkg-query -W -f='${Status}' linux-source-6.1 2>/dev/null | grep -q 'install ok installed'; then
        echo "bench: installing linux-source-6.1" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq linux-source-6.1 >/dev/null
    fi
    local full=${LEXSPOT_BENCH_CACHE:-$HOME/.cache/lexspot-bench}/full
    if [[ ! -f $full/.extracted ]]; then
        echo "bench: extracting the kernel sources into $full" >&2
        mkdir -p "$full"
        tar -xf /usr/src/linux-source-6.1.tar.xz -C "$full"
        touch "$full/.extracted"
    fi
    cd "$full/linux-source-6.1"
}

bench_commands() {
    local list=$1 work=$2
    names=(lexspot lexspot-parallel ctags cscope mkid grep-sort cat)
    commands=(
        "$lexspot \$(cat $list) > ${lexspot_output:-/dev/null}"
        "$lexspot_parallel -j $(nproc) -- \$(cat $list) > ${lexspot_parallel_output:-/dev/null}"
        "ctags -x -L $list > /dev/null"
        "cscope -b -k -u -i $list -f $work/cscope.out"
        "mkid -f $work/ID \$(cat $list)"
        "LC_ALL=C grep -noE '[A-Za-z0-9_]*[A-Za-z_]' \$(cat $list) | LC_ALL=C sort -u > /dev/null"
        "cat \$(cat $list) > /dev/null"
    )
}

measure() {
    local name=$1 command=$2 t
    t=$(mktemp)
    # A run that fails (or is killed, say for want of memory) is no
    # measurement: stop rather than record its figures. pipefail, because
    # without it a pipeline's status is its last stage's, and a grep that
    # failed before `| sort -u` would pass for a run.
    if ! /usr/bin/time -f '%e %U %S %M' -o "$t" bash -o pipefail -c "$command" 2>/dev/null; then
        echo "${0##*/}: $name failed: $(head -n 1 "$t")" >&2
        rm -f "$t"
        exit 1
    fi
    echo "$name $(tail -n 1 "$t")" >> "$work/runs"
    rm -f "$t"
}

summarise() {
    awk '
        function median(list, n,    a, i, j, x) {
            n = split(list, a, " ")
            for (i = 2; i <= n; i++) {            # insertion sort, n is small
                x = a[i] + 0
                for (j = i - 1; j >= 1 && a[j] + 0 > x; j--) a[j + 1] = a[j]
                a[j + 1] = x
            }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        !($1 in runs) { order[++names] = $1 }
        {
            runs[$1]++
            wall[$1] = wall[$1] " " $2; user[$1] = user[$1] " " $3
            sys[$1] = sys[$1] " " $4;   cpu[$1] = cpu[$1] " " ($3 + $4)
            peak[$1] = peak[$1] " " $5
        }
        END {
            for (i = 1; i <= names; i++) {
                n = order[i]
                printf "%s %d %.2f %.2f %.2f %.2f %d\n", n, runs[n], median(wall[n]),
                       median(user[n]), median(sys[n]), median(cpu[n]), median(peak[n])
            }
        }' "$work/runs"
}
