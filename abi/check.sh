#!/bin/sh
# SPDX-License-Identifier: MIT
# check.sh READELF ABIDIFF BASELINE SUPPRESSIONS LIBRARY
#
# Compares LIBRARY's ABI with BASELINE, reading the types from its debugging
# information, and exits with abidiff's status. Exits with 77 (skipped)
# instead when that information cannot show the ABI: when there is none for
# the library's own sources (a build without -g), where abidiff would see
# no types and pass whatever their layout; and in an LTO build, whose
# debugging information drops the `...` of variadic functions, which abidiff
# would report as a change.
set -eu
readelf=$1 abidiff=$2 baseline=$3 suppressions=$4 library=$5

info=$("$readelf" --debug-dump=info "$library" 2> /dev/null || true)
if ! printf '%s\n' "$info" | grep -q 'DW_AT_name.*src/fmt\.cpp'; then
    echo "abi: $library has no debugging information for its sources (built without -g?): skipped"
    exit 77
fi
if printf '%s\n' "$info" | grep 'DW_AT_producer' | grep -q -e 'GNU GIMPLE' -e ' -flto'; then
    echo "abi: $library was built with link-time optimisation, whose debugging information drops the ... of variadic functions: skipped"
    exit 77
fi
exec "$abidiff" --fail-no-debug-info --suppressions "$suppressions" "$baseline" "$library"
