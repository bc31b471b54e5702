#!/usr/bin/env bash
# Peak memory of a whole deep recovery (scan, reassembly, writing) against the chunks on the
# source: korvid-scale-bench on synthetic cards of 10^5 (the baseline, taken in the same run) to
# 10^8 chunks, about 2000 chunks a piece, generated as they are read. Prints a table: the peak
# resident memory when the scan had ended and at the end, and its growth per million chunks
# over the baseline's.
#
#   bench/scale_bench.sh [BUILD_DIR] [CHUNKS...]     # default: build, 10000000 100000000
#
# The files written go to a folder under /var/tmp, removed after each size: about 36 bytes of
# output per chunk (3.6 GB at 10^8; 10^9 chunks needs 36 GB free and about half an hour).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000000 100000000)
bench=$build/bin/korvid-scale-bench
if [[ ! -x $bench ]]; then
  echo "bench: $bench is missing; building it" >&2
  cmake --build "$build" --target korvid-scale-bench >&2
fi
out=$(mktemp -d /var/tmp/korvid-scale.XXXXXX)
trap 'rm -rf -- "$out"' EXIT

run() {  # run CHUNKS: one JSON line
  rm -rf -- "${out:?}"/*
  "$bench" "$1" "$out"
}
baseline=$(run 100000)
printf '%s\n' "$baseline" >&2
{
  printf '%s\n' "$baseline"
  for n in "${sizes[@]}"; do
    line=$(run "$n")
    printf '%s\n' "$line" >&2
    printf '%s\n' "$line"
  done
} | python3 "$repo/bench/scale_table.py"
