#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Counts, for the C sources of the whole Linux kernel, what lexspot's memory
# depends on, without running lexspot: distinct identifiers, occurrences,
# entries (distinct identifier/file pairs) and records (distinct
# identifier/file/line triples), with the identifier rule of lexspot (the
# longest run of letters, digits and "_" that ends with a letter or "_").
#
#   bench/kernel_counts.sh
#
# Extracts /usr/src/linux-source-6.1.tar.xz (package linux-source-6.1,
# installed when missing) once into $LEXSPOT_BENCH_CACHE/full (default
# ~/.cache/lexspot-bench/full, about 1.3 GB), as bench/kernel_sources.sh
# says. Lines are counted as grep counts them; lexspot reads lines longer
# than 510 characters in pieces, which the kernel's C sources rarely have.
set -euo pipefail

# shellcheck source=bench/kernel_sources.sh
source "$(dirname "$0")/kernel_sources.sh"
kernel_full_prepare

files=$(find . -type f -name '*.[ch]' | wc -l)
bytes=$(find . -type f -name '*.[ch]' -print0 | xargs -0 cat | wc -c)
echo "C sources: $files files, $bytes bytes"
# grep prints file:line:identifier in file order and line order, so the
# identifiers of one line, and of one file, arrive together.
find . -type f -name '*.[ch]' -print0 | LC_ALL=C sort -z |
    LC_ALL=C xargs -0 grep -aHnoE '[A-Za-z0-9_]*[A-Za-z_]' | LC_ALL=C awk -F: '
    {
        occurrences++
        if ($1 != file) { file = $1; delete in_file; line = "" }
        if ($2 != line) { line = $2; delete in_line }
        if (!($3 in in_line)) { in_line[$3]; records++ }
        if (!($3 in in_file)) { in_file[$3]; entries++ }
        if (!($3 in seen)) { seen[$3]; identifiers++ }
    }
    END {
        printf "identifiers %d, occurrences %d, entries %d, records %d\n",
               identifiers, occurrences, entries, records
    }'
