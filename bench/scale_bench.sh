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
# output per chunk (3.6 GB at 10^8). Cards of more chunks than KORVID_SCALE_WRITE_UP_TO (default
# 10^8) are scanned and their pieces joined, but no file is written: 2*10^9 chunks would write
# 72 GB. The scan generates about 100 MB of card a second: 10^9 chunks take some 7 minutes.
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

write_up_to=${KORVID_SCALE_WRITE_UP_TO:-100000000}
run() {  # run CHUNKS: one JSON line
  rm -rf -- "${out:?}"/*
  if (($1 > write_up_to)); then
    "$bench" "$1" "$out" 2000 join-only
  else
    "$bench" "$1" "$out"
  fi
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
