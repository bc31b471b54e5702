#!/usr/bin/env bash
# korvid-cli end to end on its edges: the chain rules of --plain on hand-made chunks (pad bytes,
# a lone chunk, a chain cut by the end of the source), a zero-size source, bad input (exit 2,
# nothing written), --help, and an output disk that fills up during the run (root only: tmpfs).
set -uo pipefail
cli=${1:?usage: cli_test.sh KORVID_CLI}
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

# A sample whose header is the bytes up to its first "movi"; what follows must not be copied.
sample=$work/e2e-cli-sample.avi
printf 'RIFF\x10\0\0\0AVI LIST\x08\0\0\0hdrlavihLIST\0\0\0\0movi00dc\x04\0\0\0tailmovi' > "$sample"
header=$work/header.bin
printf 'RIFF\x10\0\0\0AVI LIST\x08\0\0\0hdrlavihLIST\0\0\0\0movi' > "$header"

run() {  # run OUTDIR ARGS...: korvid-cli recover into OUTDIR; exit code in $code, stderr in $work/err
  local out=$1; shift
  code=0
  "$cli" recover --output "$out" "$@" > "$work/stdout" 2> "$work/err" || code=$?
}

json() {  # json EXPRESSION: evaluates a Python expression over the JSON object `d` of $work/stdout
  python3 -c '
import json, sys
try:
    d = json.load(open(sys.argv[1]))
    ok = bool(eval(sys.argv[2]))
except Exception as e:
    print(f"     {sys.argv[2]}: {e!r}")
    ok = False
sys.exit(0 if ok else 1)' "$work/stdout" "$1"
}

# --- Chain rules of plain copies on hand-made chunks.
python3 "$tool" chain-image "$work/chains.img" "$work/piece"
mkdir "$work/chains"
run "$work/chains" --source "$work/chains.img" --sample "$sample" --json --quiet --plain
check "chains: exit 0" test "$code" -eq 0
check "chains: three files, the lone chunk is not written" \
  test "$(cd "$work/chains" && echo *.AVI)" = "1.AVI 2.AVI 3.AVI"
check "chains: odd-sized chunks chain across their pad bytes, the last pad byte included" \
  cmp -s "$work/chains/1.AVI" <(cat "$header" "$work/piece1.bin")
check "chains: even-sized chunks and 00db chunks chain" \
  cmp -s "$work/chains/2.AVI" <(cat "$header" "$work/piece2.bin")
check "chains: a last chunk that runs past the end of the source is cut there" \
  cmp -s "$work/chains/3.AVI" <(cat "$header" "$work/piece3.bin")
check "chains: the report counts the chunks of each chain" \
  json '[f["records"] for f in d["files"]] == [3, 2, 2] and d["chains"] == 3'
check "chains: the report gives each chain's place on the source" \
  json 'd["files"][0]["source_start"] == 1000 and d["files"][0]["source_end"] == 1000 + 14 + 12 + 16 and d["files"][2]["source_end"] == d["source_size"]'
check "chains: every chunk id with a non-zero size is a record" json 'd["fragments_found"] == 8'

# --- A zero-size source.
: > "$work/empty.img"
mkdir "$work/zero"
run "$work/zero" --source "$work/empty.img" --sample "$sample" --json --quiet
check "zero-size source: exit 0" test "$code" -eq 0
check "zero-size source: nothing written" empty_dir "$work/zero"
check "zero-size source: the report says so" \
  json 'd["source_size"] == 0 and d["files_written"] == 0 and d["files"] == [] and d["error"] is None'

# --- Bad input: exit 2 and nothing written, with a message. The source holds chains, so a run
# that went ahead would write files.
printf 'RIFF\x10\0\0\0AVI LIST\x08\0\0\0hdrlavihLIST\0\0\0\0mov' > "$work/nomovi.avi"
: > "$work/empty.avi"
echo "a file, not a folder" > "$work/plain"
cp "$work/plain" "$work/plain.orig"
bad() {  # bad NAME NEEDLE OUTDIR ARGS...: expects exit 2, an empty OUTDIR, NEEDLE on stderr
  local name=$1 needle=$2 out=$3; shift 3
  run "$out" "$@"
  check "$name: exit 2" test "$code" -eq 2
  check "$name: the message names the problem" grep -qF -- "$needle" "$work/err"
}
for c in missing-source missing-sample sample-without-movi empty-sample bad-mode no-sample-option deep-container \
  repair-pair plain-deep no-reassemble-container keep-undecodable-container; do
  mkdir "$work/$c"
done
bad "missing source" "$work/none.img" "$work/missing-source" --source "$work/none.img" --sample "$sample"
check "missing source: nothing written" empty_dir "$work/missing-source"
bad "missing sample" "$work/none.avi" "$work/missing-sample" --source "$work/chains.img" --sample "$work/none.avi"
check "missing sample: nothing written" empty_dir "$work/missing-sample"
bad "sample without movi" "nomovi.avi" "$work/sample-without-movi" --source "$work/chains.img" --sample "$work/nomovi.avi"
check "sample without movi: nothing written" empty_dir "$work/sample-without-movi"
bad "empty sample" "empty.avi" "$work/empty-sample" --source "$work/chains.img" --sample "$work/empty.avi"
check "empty sample: nothing written" empty_dir "$work/empty-sample"
run "$work/absent/made" --source "$work/chains.img" --sample "$sample" --quiet --plain
check "output folder missing: made, and the files written there" test "$code" -eq 0 -a -f "$work/absent/made/1.AVI"
bad "output folder missing, its sample too" "none.avi" "$work/absent2" --source "$work/chains.img" --sample "$work/none.avi"
check "output folder missing, its sample too: not made" test ! -e "$work/absent2"
bad "--resume, output folder missing" "no progress file" "$work/absent3" --source "$work/chains.img" --sample "$sample" --resume
check "--resume, output folder missing: not made" test ! -e "$work/absent3"
bad "output folder that cannot be made" "cannot be made" "$work/plain/sub" --source "$work/chains.img" --sample "$sample"
check "output folder that cannot be made: the file in its way is untouched" cmp -s "$work/plain" "$work/plain.orig"
version=$("$cli" --version)
check "--version: the version the window's update check sends" test "$version" = "korvid-cli $(sed -n 's/.*ProgramVersion = "\(.*\)";/\1/p' "$(dirname "$0")/../../engine/program_version.h")"
bad "output folder is a file" "$work/plain" "$work/plain" --source "$work/chains.img" --sample "$sample"
check "output folder is a file: the file is untouched" cmp -s "$work/plain" "$work/plain.orig"
bad "unknown mode" "--mode" "$work/bad-mode" --source "$work/chains.img" --sample "$sample" --mode fast
check "unknown mode: nothing written" empty_dir "$work/bad-mode"
bad "no --sample option" "--sample" "$work/no-sample-option" --source "$work/chains.img"
check "no --sample option: nothing written" empty_dir "$work/no-sample-option"
bad "--deep with the container mode" "--deep" "$work/deep-container" --source "$work/chains.img" --sample "$sample" \
  --mode container --deep
check "--deep with the container mode: nothing written" empty_dir "$work/deep-container"
bad "--repair-headers with --no-repair-headers" "excludes" "$work/repair-pair" --source "$work/chains.img" \
  --sample "$sample" --repair-headers --no-repair-headers
check "--repair-headers with --no-repair-headers: nothing written" empty_dir "$work/repair-pair"
bad "--plain with --deep" "excludes" "$work/plain-deep" --source "$work/chains.img" --sample "$sample" --plain --deep
check "--plain with --deep: nothing written" empty_dir "$work/plain-deep"
bad "--no-reassemble with the container mode" "--no-reassemble" "$work/no-reassemble-container" \
  --source "$work/chains.img" --sample "$sample" --mode container --no-reassemble
check "--no-reassemble with the container mode: nothing written" empty_dir "$work/no-reassemble-container"
bad "--keep-undecodable with the container mode" "--keep-undecodable" "$work/keep-undecodable-container" \
  --source "$work/chains.img" --sample "$sample" --mode container --keep-undecodable
check "--keep-undecodable with the container mode: nothing written" empty_dir "$work/keep-undecodable-container"

# --- A second run into a folder that holds an earlier run's files.
cp "$work/chains/1.AVI" "$work/first-run.AVI"
run "$work/chains" --source "$work/chains.img" --sample "$sample" --quiet --plain
check "earlier output: exit 2" test "$code" -eq 2
check "earlier output: the message says what would be replaced" grep -qF -- "--overwrite" "$work/err"
check "earlier output: the earlier files stay" cmp -s "$work/chains/1.AVI" "$work/first-run.AVI"
echo "not a recovery" > "$work/chains/1.AVI"
run "$work/chains" --source "$work/chains.img" --sample "$sample" --quiet --plain --overwrite
check "earlier output: --overwrite replaces them" cmp -s "$work/chains/1.AVI" "$work/first-run.AVI"

# --- --help.
code=0
"$cli" --help > "$work/help" 2>&1 || code=$?
check "--help: exit 0" test "$code" -eq 0
for c in 0 1 2 130; do
  check "--help: explains exit code $c" grep -qE "^[[:space:]]*${c}[[:space:]]+[a-z]" "$work/help"
done
code=0
"$cli" recover --help > "$work/help" 2>&1 || code=$?
check "recover --help: exit 0" test "$code" -eq 0
check "recover --help: lists the options" grep -q -- '--source PATH\|--source TEXT' "$work/help"
check "recover --help: explains the exit codes" grep -qE '^[[:space:]]*130[[:space:]]+[a-z]' "$work/help"
for option in --plain --no-reassemble --keep-undecodable --deep; do
  check "recover --help: explains $option" grep -qE -- "^[[:space:]]*$option([[:space:]]|$)" "$work/help"
done

# --- An output disk that fills up: a 1 MiB tmpfs, four recordings of about 400 KB each, recovered
# the default way (repaired headers).
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: full output disk (needs root to mount a tmpfs)"
else
  full=$work/full
  mkdir "$full"
  if ! mount -t tmpfs -o size=1m tmpfs "$full" 2>/dev/null; then
    echo "skipped: full output disk (tmpfs cannot be mounted here)"
  else
    cleanup_hooks+=("umount '$full'")
    args=()
    for i in 1 2 3 4; do
      record "$work/full$i.avi" testsrc2 1.7 mjpeg
      args+=("$work/full$i.avi@$((i * 600000))")
    done
    record "$work/e2e-cli-full-sample.avi" testsrc2 1 mjpeg
    python3 "$tool" place "$work/full.img" 3000000 5 "$work/full.manifest" "${args[@]}"
    run "$full" --source "$work/full.img" --sample "$work/e2e-cli-full-sample.avi" --json --quiet
    check "full disk: exit 1" test "$code" -eq 1
    check "full disk: the message names the file that did not fit" grep -q "$full/3.AVI" "$work/err"
    check "full disk: the message gives the reason" grep -qi "space" "$work/err"
    for i in 1 2; do
      check "full disk: $i.AVI, completed before the failure, holds the recording's frames byte for byte" \
        python3 "$tool" same-data "$full/$i.AVI" "$work/full$i.avi"
      check "full disk: $i.AVI decodes without errors" \
        test -z "$(ffmpeg -nostdin -v error -i "$full/$i.AVI" -f null - 2>&1 || echo "ffmpeg failed")"
    done
    check "full disk: the report gives the error and marks which files are complete" \
      json 'd["error"] and "3.AVI" in d["error"] and [f["complete"] for f in d["files"]][:3] == [True, True, False]'
  fi
fi

finish
