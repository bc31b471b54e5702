#!/usr/bin/env bash
# Measures korvid-cli's scan speed, write speed and peak memory, and a whole default recover run
# (deep scan, reassembly, writing) on fragmented recordings, each against a baseline taken in the
# same run (cat, cp, a run on a tiny image); then the reassembly stage alone on synthetic media
# of 10^4 to 10^6 pieces (korvid-reassembly-bench: times, their growth against n log n, memory,
# joins checked against the layout). Prints a table.
#
#   bench/run.sh [WORKDIR]
#   KORVID_BENCH_PHASES=fragmented,reassembly_stage bench/run.sh   # some phases only
#
# WORKDIR holds the generated images (up to about 4 GiB at a time; 6 GiB free is asked for) and
# keeps results.json. Without it a folder under /var/tmp is used and removed at the end; the
# results are then printed as JSON on stdout as well. KORVID_CLI overrides the program
# (default: build/bin/korvid-cli, built with cmake when missing), KORVID_REASSEMBLY_BENCH the
# stage's bench (default: build/bin/korvid-reassembly-bench, built likewise). Phases: scan, write,
# memory, fragmented, reassembly_stage. All of them take about a quarter of an hour.
# Container mode (MP4/MOV/3GP/MXF) has a bench of its own, against cat and PhotoRec:
# bench/container_bench.sh.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cli=${KORVID_CLI:-$repo/build/bin/korvid-cli}

if [[ ! -x $cli ]]; then
  if [[ -n ${KORVID_CLI:-} ]]; then
    echo "bench: KORVID_CLI=$cli is not an executable" >&2
    exit 2
  fi
  echo "bench: $cli is missing; building it" >&2
  [[ -f $repo/build/CMakeCache.txt ]] || cmake -S "$repo" -B "$repo/build" -G Ninja >&2
  cmake --build "$repo/build" >&2
fi
cli=$(realpath "$cli")

stage_bench=${KORVID_REASSEMBLY_BENCH:-$repo/build/bin/korvid-reassembly-bench}
if [[ ! -x $stage_bench ]]; then
  if [[ -n ${KORVID_REASSEMBLY_BENCH:-} ]]; then
    echo "bench: KORVID_REASSEMBLY_BENCH=$stage_bench is not an executable" >&2
    exit 2
  fi
  echo "bench: $stage_bench is missing; building it" >&2
  [[ -f $repo/build/CMakeCache.txt ]] || cmake -S "$repo" -B "$repo/build" -G Ninja >&2
  cmake --build "$repo/build" --target korvid-reassembly-bench >&2
fi
stage_bench=$(realpath "$stage_bench")

keep=1
if [[ $# -ge 1 ]]; then
  work=$1
  mkdir -p "$work"
else
  work=$(mktemp -d /var/tmp/korvid-bench.XXXXXX)
  keep=0
fi
work=$(realpath "$work")
cleanup() {
  if [[ $keep == 0 ]]; then
    rm -rf -- "$work"
  else
    rm -rf -- "$work/out" "$work"/*.img "$work/copy-source.bin" "$work/korvid-bench-sample.avi" \
      "$work/korvid-bench-recorder-sample.avi" "$work/korvid.stderr" "$work/korvid.rss" "$work/peak_rss"
  fi
}
trap cleanup EXIT

free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if (( free_kib < 6 * 1024 * 1024 )); then
  echo "bench: $work has $((free_kib / 1024)) MiB free; 6 GiB are needed" >&2
  exit 2
fi

# Measures korvid-cli's peak RSS; see peak_rss.c for why python does not measure it itself.
cc=$(command -v cc || command -v gcc || command -v clang || true)
if [[ -z $cc ]]; then
  echo "bench: no C compiler (cc, gcc or clang) for bench/peak_rss.c" >&2
  exit 2
fi
"$cc" -O2 -o "$work/peak_rss" "$repo/bench/peak_rss.c"

echo "korvid-cli: $cli"
echo "stage bench: $stage_bench"
echo "workdir:    $work"
python3 "$repo/bench/bench.py" "$cli" "$work" "$work/peak_rss" "$stage_bench"

if [[ $keep == 0 ]]; then
  echo
  echo "results.json:"
  cat "$work/results.json"
else
  echo
  echo "results: $work/results.json"
fi
