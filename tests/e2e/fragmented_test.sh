#!/usr/bin/env bash
# Fragmented recordings: four devices' recordings (made by ffmpeg) written to FAT32 and exFAT
# cards through the FUSE drivers fusefat and exfat-fuse, three channels at once in interleaved
# appends of 16-256 KiB, then deleted or the card quick-formatted. Each recording lies in many
# pieces; a recovery must bring back each recording's video frames and sound chunks with their
# own recording, in few files that decode without an error, and no file may mix two recordings
# (the levels are LEVELS in fragmented_tool.py).
# On the free-space card a fourth, live recording is written beside the three on a channel of
# its own and kept when they are deleted: a recovery of the free space must bring the deleted
# ones back joined without a byte of the live one's clusters or a chunk of it.
#
#   fragmented_test.sh KORVID_CLI [CARD]     CARD: run only that card (names below)
#   KORVID_FRAGMENTED_KEEP=DIR               keep each card's image, recordings, sample, manifest,
#                                            report and recovered files in DIR/CARD
#   KORVID_FRAGMENTED_PEER=1                 also run PhotoRec on each card and print its figures
set -uo pipefail
cli=${1:?usage: fragmented_test.sh KORVID_CLI [CARD]}
only=${2:-}
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"
ftool=$(dirname "$tool")/fragmented_tool.py
keep=${KORVID_FRAGMENTED_KEEP:-}

# NAME SET FS WIPE MODE SEED RECORDING...: RECORDING is LAVFI_SOURCE@SECONDS, in the order the
# channels open them (a fourth one starts when the first channel's recording ends), or
# keep:LAVFI_SOURCE@SECONDS, a live recording on a channel of its own that the delete keeps. FS is
# fat32-4k, fat32-32k or exfat, FS@MIB for an image of MIB MiB; MODE is korvid-cli's --mode.
cards=(
  "mjpeg-fat32-4k-deleted mjpeg fat32-4k delete whole-disk 1 testsrc@3 testsrc2@16 cellauto@8"
  "mpeg4-exfat-formatted mpeg4-pcm exfat format whole-disk 2 testsrc@20 testsrc2@12 sierpinski@8"
  "h264-fat32-32k-formatted h264 fat32-32k format whole-disk 3 sierpinski@3 cellauto@15 testsrc2@20 mandelbrot@6"
  "mjpeg-pcm-exfat-deleted mjpeg-pcm exfat delete whole-disk 4 testsrc2@6 testsrc@10 sierpinski@5.5"
  "mjpeg-pcm-fat32-4k-live-free-space mjpeg-pcm fat32-4k@320 delete free-space 5 testsrc2@5 testsrc@6 mandelbrot@2.5 keep:sierpinski@1.6"
  "mpeg4-fat32-4k-deleted mpeg4-pcm fat32-4k delete whole-disk 7 testsrc@20 testsrc2@12 sierpinski@8"
  "h264-fat32-4k-deleted h264 fat32-4k delete whole-disk 6 sierpinski@3 cellauto@15 testsrc2@20 mandelbrot@6"
)

missing=()
for t in fusefat mount.exfat-fuse fusermount losetup mkfs.vfat fsck.vfat mkfs.exfat fsck.exfat ffmpeg; do
  command -v "$t" >/dev/null || missing+=("$t")
done
[ -c /dev/fuse ] || missing+=(/dev/fuse)
if [ ${#missing[@]} -gt 0 ]; then
  fail "the cards are written through FUSE and need: ${missing[*]} (scripts/install-deps installs them: fusefat, exfat-fuse, dosfstools, exfatprogs, util-linux, ffmpeg)"
  finish
  exit
fi

ran=
for spec in "${cards[@]}"; do
  read -r name set fs wipe mode seed recordings <<<"$spec"
  [ -z "$only" ] || [ "$only" = "$name" ] || continue
  ran=1
  dir=$work/$name
  mkdir -p "$dir/out"
  # The sample's name is this test's own, as the header cache is keyed by name.
  sample=$dir/e2e-fragmented-$set.avi
  python3 "$ftool" record "$set" smptebars 2 9 "$sample" || { fail "$name: making the sample"; continue; }
  clips=() live=() i=0
  for r in $recordings; do
    src=${r#keep:} clip=$dir/rec$i-${src%@*}.avi
    if [ "$src" = "$r" ]; then clips+=("$clip"); else live+=("$clip"); fi
    python3 "$ftool" record "$set" "${src%@*}" "${src#*@}" "$i" "$clip" || fail "$name: recording $r"
    i=$((i + 1))
  done

  tally "$name" python3 "$ftool" card "$dir/card.img" "$dir/manifest.json" "$fs" "$wipe" "$seed" \
    "${clips[@]}" "${live[@]/#/keep:}"
  [ -f "$dir/manifest.json" ] || continue
  tally "$name" python3 "$ftool" selftest "$dir/manifest.json" "$dir/selftest" "${clips[@]}" "${live[@]}"

  # Without --quiet on the free-space card, for the line that tells the free space scanned.
  quiet=(--quiet)
  [ "$mode" = whole-disk ] || quiet=()
  status=0 started=$SECONDS
  "$cli" recover --mode "$mode" --source "$dir/card.img" --sample "$sample" --output "$dir/out" --json \
    "${quiet[@]}" > "$dir/report.json" 2> "$dir/recover.err" || status=$?
  echo "     korvid-cli recover --mode $mode took $((SECONDS - started)) s"
  check "$name: korvid-cli exits with 0" test "$status" -eq 0
  [ "$status" -eq 0 ] || head -20 "$dir/recover.err"
  if [ "$mode" = free-space ]; then
    free=$(grep -m1 '^free space:' "$dir/recover.err")
    echo "     korvid-cli: ${free:-no free space line}"
    check "$name: korvid-cli tells the free space it scanned" test -n "$free"
  fi
  tally "$name" python3 "$ftool" score "$dir/manifest.json" "$dir/report.json" "$dir/out"

  if [ -n "${KORVID_FRAGMENTED_PEER:-}" ]; then
    tally "$name photorec" python3 "$ftool" peer "$dir/manifest.json" "$dir/card.img" "$dir/photorec"
  fi
  if [ -n "$keep" ]; then
    if mkdir -p "$keep" && rm -rf "${keep:?}/$name" && cp -r "$dir" "$keep/$name"; then
      echo "     kept in $keep/$name; again:"
      echo "     $cli recover --mode $mode --source $keep/$name/card.img --sample $keep/$name/$(basename "$sample") --output OUT --json --quiet > OUT.json"
      echo "     python3 $ftool score $keep/$name/manifest.json OUT.json OUT"
    else
      fail "$name: keeping the card in $keep"
    fi
  fi
done
if [ -z "$ran" ]; then
  names=$(printf '%s\n' "${cards[@]}" | cut -d' ' -f1 | tr '\n' ' ')
  fail "no card named $only (the cards: $names)"
fi
finish
