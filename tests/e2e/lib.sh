# shellcheck shell=bash
# shellcheck disable=SC2034,SC2154  # `cli` comes from, `tool` and `work` go to the sourcing script
# Shared by the end-to-end test scripts: check counting, a work folder, recordings made by ffmpeg.
# Sourced after `cli` is set; defines `work`, `tool`, check, tally, record, finish.

tool=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/avi_tool.py
work=$(mktemp -d)
passed=0 failed=0
cleanup_hooks=()
cleanup() {
  local hook
  for hook in "${cleanup_hooks[@]}"; do eval "$hook"; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ ! -x "$cli" ]; then
  echo "FAIL korvid-cli not found: $cli"
  echo "0 passed, 1 failed"
  exit 1
fi
export MTOOLS_SKIP_CHECK=1

pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; }

check() {  # check NAME COMMAND...: passes when COMMAND succeeds
  local name=$1; shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}

tally() {  # tally LABEL COMMAND...: counts the "ok NAME" / "FAIL NAME: why" lines COMMAND prints
  local label=$1 line out status=0
  shift
  out=$("$@" 2>&1) || status=$?
  while IFS= read -r line; do
    case $line in
      "ok "*) pass "$label: ${line#ok }" ;;
      "FAIL "*) fail "$label: ${line#FAIL }" ;;
      "") ;;
      *) echo "     $line" ;;
    esac
  done <<<"$out"
  if [ "$status" -ne 0 ]; then fail "$label: the checker ended with exit $status"; fi
}

record() {  # record OUT SOURCE SECONDS CODEC: a video-only recording of an ffmpeg test source
  local out=$1 source=$2 seconds=$3 codec=$4
  ffmpeg -nostdin -v error -y -f lavfi -i "$source=size=320x240:rate=25" -t "$seconds" \
    -c:v "$codec" -q:v 5 -an "$out"
}

empty_dir() { [ -d "$1" ] && [ -z "$(ls -A "$1")" ]; }

finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
