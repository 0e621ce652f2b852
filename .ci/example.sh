# SPDX-License-Identifier: MIT
# The README's library example and the checks of a program built from it,
# shared by .ci/consumer and .ci/packages; source it, don't run it. Expects
# $root, the source tree.

# The fenced block that follows the line "<!-- name -->" in README.md, or in
# the page given second.
readme_block() {
    awk -v marker="<!-- $1 -->" '
        $0 == marker { found = 1; next }
        found == 1 && /^```/ { found = 2; next }
        found == 2 && /^```/ { exit }
        found == 2 { print }' "${2:-$root/README.md}"
}

# Writes the example into directory $1: fib.cpp, and a CMakeLists.txt that
# finds the installed package exactly as the README writes it, linking the
# target the README names ($2 = static: lexspot::lexspot_static, as
# doc/linking.md says to choose the static library).
write_example() {
    mkdir -p "$1"
    readme_block consumer-program > "$1/fib.cpp"
    {
        echo 'cmake_minimum_required(VERSION 3.25)'
        echo 'project(fib LANGUAGES CXX)'
        if [[ ${2:-} == static ]]; then
            readme_block consumer-cmake | sed 's/lexspot::lexspot)$/lexspot::lexspot_static)/'
        else
            readme_block consumer-cmake
        fi
    } > "$1/CMakeLists.txt"
    if [[ ${2:-} == static ]] && ! grep -q 'lexspot::lexspot_static)$' "$1/CMakeLists.txt"; then
        echo "example: no target_link_libraries line to choose lexspot::lexspot_static in" >&2
        exit 1
    fi
    local f
    for f in fib.cpp CMakeLists.txt; do
        [[ -s $1/$f ]] || { echo "example: no $f in README.md" >&2; exit 1; }
    done
}

# Builds fib.cpp in directory $1 with the README's pkg-config line, run there.
build_example_with_pkg_config() {
    local line
    line=$(readme_block consumer-pkg-config)
    [[ -n $line ]] || { echo "example: no pkg-config line in README.md" >&2; exit 1; }
    (cd "$1" && eval "$line")
}

# The program's last two lines at 64 bits, and its refusal of widths it cannot
# take: a usage line on standard error and exit status 2.
check_example() {
    local out status arg
    out=$("$@" 64 | tail -n 2)
    if [[ $out != $'F(93) = 12200160415121876738\nF(94) needs more than 64 bits' ]]; then
        echo "example: $* 64 printed:" >&2
        echo "$out" >&2
        exit 1
    fi
    for arg in abc 1 0 -5 64x 99999999999999999999; do
        status=0
        out=$("$@" "$arg" 2>&1 >/dev/null) || status=$?
        if [[ $status != 2 || $out != *sage* ]]; then
            echo "example: $* $arg exited with $status, printing: $out" >&2
            exit 1
        fi
    done
}

# Whether the binary $1 needs a shared liblexspot ($2 = shared), and that it
# is the versioned one, or none ($2 = static).
check_linkage() {
    local binary=$1 kind=$2 needed
    needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(liblexspot[^]]*\)\].*/\1/p')
    if [[ $kind == static ]]; then
        [[ -z $needed ]] || { echo "example: static $binary needs $needed" >&2; exit 1; }
    else
        [[ $needed =~ ^liblexspot\.so\.[0-9] ]] ||
            { echo "example: shared $binary needs '$needed', not a versioned liblexspot.so" >&2; exit 1; }
        echo "example: $binary needs $needed"
    fi
}

# Whether the lexspot program $1 cross-references a file correctly.
check_program() {
    local report parallel
    report=$("$1" "$root/src/mem.hpp" "$root/src/fmt.hpp") || { echo "example: $1 failed" >&2; exit 1; }
    grep -q '^mem_release' <<< "$report" || { echo "example: $1 printed no mem_release" >&2; exit 1; }
    # lexspot-parallel lies beside it and prints the same report.
    parallel=$(dirname "$1")/lexspot-parallel
    [[ $("$parallel" -j 2 --shards=2 -- "$root/src/mem.hpp" "$root/src/fmt.hpp") == "$report" ]] ||
        { echo "example: $parallel does not print what $1 prints" >&2; exit 1; }
}

# Copies the source tree as it stands, tracked and untracked files alike but
# nothing ignored (build trees), into directory $1.
copy_tree() {
    mkdir -p "$1"
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [[ -e $f ]] && printf '%s\0' "$f"; done |
        tar --null -T - -cf -) | tar -xf - -C "$1"
}

# Whether every path that the FILES section of the manual page $1 (roff,
# compressed or not) names exists: each entry is a .TP followed by
# ".I /path". With $2 and $3, a path under prefix $2 is looked for under $3,
# for a tree installed elsewhere than it was configured for.
check_man_files() {
    local page=$1 from=${2:-} to=${3:-} paths path
    mapfile -t paths < <(zcat -f "$page" | awk '
        /^\.SH / { files = ($0 == ".SH FILES") }
        files && entry { if (/^\.I \//) print substr($0, 4); else print "?" $0 }
        { entry = files && $0 == ".TP" }')
    ((${#paths[@]} > 0)) || { echo "example: $page names no file under FILES" >&2; exit 1; }
    for path in "${paths[@]}"; do
        [[ $path == /* ]] ||
            { echo "example: $page has a FILES entry that is no .I path: ${path#\?}" >&2; exit 1; }
        [[ -n $from && $path == "$from"/* ]] && path=$to${path#"$from"}
        [[ -e $path ]] || { echo "example: $page names $path under FILES, which is not there" >&2; exit 1; }
    done
    echo "example: what $page names under FILES is there (${#paths[@]} of them)"
}
