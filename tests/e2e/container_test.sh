#!/usr/bin/env bash
# Container mode: MP4, M4V, MOV, 3GP and MXF recordings made by ffmpeg, and an old QuickTime MOV
# without an ftyp, on FAT32 (mtools) and exFAT (exfat-fuse) cards, deleted or the card
# quick-formatted, must come back byte for byte, each once, named and numbered by kind and
# source order, and nothing else. MP4s cut off before their moov (the mdat's size kept or
# zeroed; H.264 and H.265) must come back rebuilt with the sample's moov: decoding clean, with
# the frames and sound of the cut. Samples korvid-cli cannot use for a mode are refused, and a
# medium of random bytes gives no file.
#
#   container_test.sh KORVID_CLI [CARD]      CARD: run only that card (names below)
#   KORVID_CONTAINER_RANDOM_MIB=N            the random medium's size (default 1024; 0 skips it)
#   KORVID_CONTAINER_KEEP=DIR                keep each card's image, files, sample, manifest,
#                                            report and recovered files in DIR/CARD
#   KORVID_CONTAINER_PEER=1                  also run PhotoRec on each card and print its figures
set -uo pipefail
cli=${1:?usage: container_test.sh KORVID_CLI [CARD]}
only=${2:-}
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"
ctool=$(dirname "$tool")/container_tool.py
keep=${KORVID_CONTAINER_KEEP:-}
mib=${KORVID_CONTAINER_RANDOM_MIB:-1024}

missing=()
for t in ffmpeg ffprobe mcopy mdel mdir mkfs.fat fsck.vfat mkfs.exfat fsck.exfat mount.exfat-fuse fusermount losetup; do
  command -v "$t" >/dev/null || missing+=("$t")
done
[ -c /dev/fuse ] || missing+=(/dev/fuse)
if [ ${#missing[@]} -gt 0 ]; then
  fail "the cards need: ${missing[*]} (scripts/install-deps installs them: ffmpeg, mtools, dosfstools, exfatprogs, exfat-fuse, util-linux)"
  finish
  exit
fi

rec=$work/rec
mkdir -p "$rec"
made() {  # made KIND SOURCE SECONDS INDEX OUT: a recording, or a FAIL line
  python3 "$ctool" record "$@" || fail "recording $*"
}
# Samples: each card's recordings are made with its sample's settings. Their names are this
# test's own, as the header cache is keyed by name.
made mp4 smptebars 2 0 "$rec/e2e-container-h264.mp4"
made mp4-h265 smptebars 2 0 "$rec/e2e-container-h265.mp4"
made mxf smptebars 2 0 "$rec/e2e-container-sample.mxf"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 1 -c:v mjpeg -an \
  "$rec/e2e-container-sample.avi" || fail "recording the AVI sample"
tally "the measures" python3 "$ctool" selftest "$work/selftest"

# CARD SAMPLE FS WIPE FILE...: FILE is KIND:SOURCE@SECONDS, cut:FRACTION:KIND:SOURCE@SECONDS (an
# MP4 of KIND cut off at FRACTION), cutzero:... (the same, its mdat's size zeroed), each with
# keep: in front for a live file the delete leaves.
cards=(
  "cut-h264-fat32-deleted e2e-container-h264.mp4 fat32 delete cut:0.7:mp4:testsrc2@6 mp4:mandelbrot@4 cutzero:0.7:mp4:cellauto@6"
  "mp4-fat32-deleted e2e-container-h264.mp4 fat32 delete mp4:testsrc2@4 keep:mp4:life@5 mp4:mandelbrot@3 m4v:cellauto@3"
  "mov-3gp-mxf-exfat-formatted e2e-container-sample.mxf exfat format mov:testsrc@4 3gp:rgbtestsrc@3 3gp-h264:testsrc2@3 mxf:mandelbrot@3 mov-old:sierpinski@3"
  "cut-h265-exfat-deleted e2e-container-h265.mp4 exfat delete cut:0.7:mp4-h265:testsrc@6 mp4-h265:life@3"
)

index=1 ran=
for spec in "${cards[@]}"; do
  read -r name sample fs wipe files <<<"$spec"
  if [ -n "$only" ] && [ "$only" != "$name" ]; then
    # The index picks tones and seeds: a card alone is made as in a run of them all.
    read -ra skipped <<<"$files"
    index=$((index + ${#skipped[@]}))
    continue
  fi
  ran=1
  dir=$work/$name
  mkdir -p "$dir/out"
  cp "$rec/$sample" "$dir/$sample"
  paths=()
  for f in $files; do
    live=
    case $f in keep:*) live=keep: f=${f#keep:} ;; esac
    cut=
    case $f in cut:* | cutzero:*) cut=$f f=${f#*:*:} ;; esac
    kind=${f%%:*} src=${f#*:}
    ext=${kind%%-*}
    [ "$kind" = mov-old ] && ext=mov
    clip=$dir/clip$index-${src%@*}.$ext
    made "$kind" "${src%@*}" "${src#*@}" "$index" "$clip"
    if [ -n "$cut" ]; then
      whole=$clip clip=${clip%.*}-cut.$ext zero=()
      [ "${cut%%:*}" = cutzero ] && zero=(--zero-size)
      fraction=${cut#*:} fraction=${fraction%%:*}
      tally "$name" python3 "$ctool" cutoff "$whole" "$clip" "$fraction" "${zero[@]}"
    fi
    paths+=("$live$clip")
    index=$((index + 1))
  done
  tally "$name" python3 "$ctool" card "$dir/card.img" "$fs" "$wipe" "$dir/manifest.json" "${paths[@]}"
  [ -f "$dir/manifest.json" ] || continue
  tally "$name" python3 "$ctool" scoretest "$dir/manifest.json" "$dir/scoretest"

  status=0 started=$SECONDS
  "$cli" recover --mode container --source "$dir/card.img" --sample "$dir/$sample" --output "$dir/out" --json \
    --quiet >"$dir/report.json" 2>"$dir/recover.err" || status=$?
  echo "     korvid-cli recover --mode container took $((SECONDS - started)) s"
  check "$name: korvid-cli exits with 0" test "$status" -eq 0
  [ "$status" -eq 0 ] || head -5 "$dir/recover.err"
  tally "$name" python3 "$ctool" score "$dir/manifest.json" "$dir/report.json" "$dir/out"

  if [ -n "${KORVID_CONTAINER_PEER:-}" ]; then
    tally "$name photorec" python3 "$ctool" peer "$dir/card.img" "$dir/photorec" "$dir/manifest.json"
  fi
  if [ -n "$keep" ]; then
    if mkdir -p "$keep" && rm -rf "${keep:?}/$name" && cp -r "$dir" "$keep/$name"; then
      echo "     kept in $keep/$name; again:"
      echo "     $cli recover --mode container --source $keep/$name/card.img --sample $keep/$name/$sample --output OUT --json --quiet > OUT.json"
      echo "     python3 $ctool score $keep/$name/manifest.json OUT.json OUT"
    else
      fail "$name: keeping the card in $keep"
    fi
  fi
done
if [ -z "$ran" ] && [ -n "$only" ] && [ "$only" != refusals ] && [ "$only" != random ]; then
  names=$(printf '%s\n' "${cards[@]}" | cut -d' ' -f1 | tr '\n' ' ')
  fail "no card named $only (the cards: ${names}refusals random)"
fi

refused() {  # refused NAME MODE SAMPLE: korvid-cli refuses SAMPLE for MODE with exit 2 and says why
  local out=$work/refused-$1 status=0
  mkdir -p "$out"
  "$cli" recover --mode "$2" --source "$rec/e2e-container-h264.mp4" --sample "$3" --output "$out" --json \
    --quiet >"$out.json" 2>"$out.err" || status=$?
  check "$1: exit 2" test "$status" -eq 2
  check "$1: a message on stderr" test -s "$out.err"
  check "$1: no file written" empty_dir "$out"
  echo "     $(head -c 300 "$out.err")"
}
if [ -z "$only" ] || [ "$only" = refusals ]; then
  refused "an AVI sample in container mode" container "$rec/e2e-container-sample.avi"
  refused "an MP4 sample in whole-disk mode" whole-disk "$rec/e2e-container-h264.mp4"
fi

if { [ -z "$only" ] || [ "$only" = random ]; } && [ "$mib" -gt 0 ]; then
  image=$work/random.img
  head -c "${mib}M" /dev/urandom >"$image"
  mkdir -p "$work/random-out"
  status=0 started=$(date +%s%N)
  "$cli" recover --mode container --source "$image" --sample "$rec/e2e-container-h264.mp4" \
    --output "$work/random-out" --json --quiet >"$work/random.json" 2>"$work/random.err" || status=$?
  echo "     korvid-cli recover --mode container on $mib MiB of random bytes took $((($(date +%s%N) - started) / 1000000)) ms"
  rm -f "$image"
  check "random $mib MiB: korvid-cli exits with 0" test "$status" -eq 0
  [ "$status" -eq 0 ] || head -5 "$work/random.err"
  tally "random $mib MiB" python3 - "$work/random.json" "$((mib << 20))" <<'PY'
import json, sys
try:
    report = json.load(open(sys.argv[1]))
except ValueError as e:
    report = {'files': f'no JSON report: {e}'}
files, scanned = report.get('files'), report.get('bytes_scanned')
print('ok the report lists no file' if files == [] else f'FAIL the report lists no file: {str(files)[:300]}')
print('ok every byte is scanned' if scanned == int(sys.argv[2]) else
      f'FAIL every byte is scanned: {scanned} of {sys.argv[2]}')
PY
  check "random $mib MiB: no file written" empty_dir "$work/random-out"
fi
finish
