#!/usr/bin/env bash
# Recovery of recordings made by ffmpeg (MJPEG and MPEG-4, video only): laid at known offsets
# into raw images, and copied onto a FAT32 image with mtools and deleted. With --plain every
# recovered file must be the sample's header followed by the recording's chunks, byte for byte,
# must decode without errors and hold the recording's frame count. By default every recording
# must come back in one file of its own holding its chunks, byte for byte, behind a header that
# describes them.
set -uo pipefail
cli=${1:?usage: recordings_test.sh KORVID_CLI}
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

rec=$work/rec
mkdir "$rec"
# The samples are recordings of their own, not copies of any recording on the images: only
# their header is used. Their names are this test's own, as the header cache is keyed by name.
record "$rec/e2e-recordings-mjpeg.avi" testsrc 1 mjpeg
record "$rec/e2e-recordings-mpeg4.avi" testsrc 1 mpeg4
record "$rec/m1.avi" testsrc 3 mjpeg
record "$rec/m2.avi" smptebars 2 mjpeg    # a still picture: every frame the same odd size
record "$rec/m3.avi" testsrc2 3 mjpeg
record "$rec/p1.avi" testsrc 3 mpeg4
record "$rec/p2.avi" testsrc2 3 mpeg4
record "$rec/p3.avi" smptebars 2 mpeg4
record "$rec/f1.avi" testsrc2 2 mjpeg
record "$rec/f2.avi" smptebars 3 mjpeg
record "$rec/f3.avi" testsrc 2 mjpeg

odd_chunks() { python3 "$tool" chunks "$1" | python3 -c 'import json,sys; print(json.load(sys.stdin)["odd"])'; }
check "the MJPEG recordings hold odd-sized chunks (chains across pad bytes)" \
  test "$(odd_chunks "$rec/m2.avi")" -gt 0
check "the MPEG-4 recordings hold odd-sized chunks" test "$(odd_chunks "$rec/p1.avi")" -gt 0

size_of() { stat -c %s "$1"; }

recover() {  # recover NAME IMAGE SAMPLE [OPTION...]: korvid-cli into $work/NAME, JSON in $work/NAME.json
  local name=$1 image=$2 sample=$3 status=0
  shift 3
  mkdir "$work/$name"
  "$cli" recover --source "$image" --sample "$sample" --output "$work/$name" --json --quiet "$@" \
    > "$work/$name.json" 2> "$work/$name.err" || status=$?
  check "$name: korvid-cli exits with 0" test "$status" -eq 0
  [ "$status" -eq 0 ] || cat "$work/$name.err"
}

# --- MJPEG on a raw image. The scan reads 256 KiB pieces: one recording has a chunk id across
# the border at 1 MiB, another a size word across the border at 2 MiB. Offsets are unaligned.
python3 "$tool" place "$work/mjpeg.img" $((3 * 1048576 + 333333)) 1 "$work/mjpeg.manifest" \
  "$rec/m1.avi@12345" "$rec/m2.avi#5@$((1048576 - 2))" "$rec/m3.avi#7@$((2097152 - 5))" \
  || fail "mjpeg: building the image"
recover mjpeg "$work/mjpeg.img" "$rec/e2e-recordings-mjpeg.avi" --plain
tally mjpeg python3 "$tool" verify "$work/mjpeg.json" "$rec/e2e-recordings-mjpeg.avi" "$work/mjpeg.img" "$work/mjpeg" "$work/mjpeg.manifest"
recover mjpeg-default "$work/mjpeg.img" "$rec/e2e-recordings-mjpeg.avi"
tally mjpeg-default python3 "$tool" whole "$work/mjpeg-default.json" "$work/mjpeg.manifest"
tally mjpeg-default python3 "$tool" repaired "$work/mjpeg-default.json"

# --- MPEG-4 on a raw image, at sector-aligned offsets, the last one right behind the one before.
o1=4096
o2=$(( (o1 + $(size_of "$rec/p1.avi") + 65535) / 512 * 512 ))
o3=$(( o2 + $(size_of "$rec/p2.avi") ))
python3 "$tool" place "$work/mpeg4.img" $((o3 + $(size_of "$rec/p3.avi") + 4096)) 2 "$work/mpeg4.manifest" \
  "$rec/p1.avi@$o1" "$rec/p2.avi@$o2" "$rec/p3.avi@$o3" || fail "mpeg4: building the image"
recover mpeg4 "$work/mpeg4.img" "$rec/e2e-recordings-mpeg4.avi" --plain
tally mpeg4 python3 "$tool" verify "$work/mpeg4.json" "$rec/e2e-recordings-mpeg4.avi" "$work/mpeg4.img" "$work/mpeg4" "$work/mpeg4.manifest"
recover mpeg4-default "$work/mpeg4.img" "$rec/e2e-recordings-mpeg4.avi"
tally mpeg4-default python3 "$tool" whole "$work/mpeg4-default.json" "$work/mpeg4.manifest"
tally mpeg4-default python3 "$tool" repaired "$work/mpeg4-default.json"

# --- FAT32: recordings copied in with mtools, then deleted. Their clusters keep the bytes.
fat=$work/fat32.img
truncate -s 48M "$fat"
if mkfs.vfat -F 32 -n E2E "$fat" >/dev/null && mcopy -i "$fat" "$rec/f1.avi" ::/F1.AVI &&
   mcopy -i "$fat" "$rec/f2.avi" ::/F2.AVI && mcopy -i "$fat" "$rec/f3.avi" ::/F3.AVI &&
   python3 "$tool" fat-manifest "$fat" "$work/fat32.manifest" \
     F1.AVI="$rec/f1.avi" F2.AVI="$rec/f2.avi" F3.AVI="$rec/f3.avi" &&
   mdel -i "$fat" ::/F1.AVI ::/F2.AVI ::/F3.AVI; then
  check "fat32: the deleted files are gone from the folder" test -z "$(mdir -b -i "$fat" ::/ 2>/dev/null)"
  recover fat32 "$fat" "$rec/e2e-recordings-mjpeg.avi" --plain
  tally fat32 python3 "$tool" verify "$work/fat32.json" "$rec/e2e-recordings-mjpeg.avi" "$fat" "$work/fat32" "$work/fat32.manifest"
  recover fat32-default "$fat" "$rec/e2e-recordings-mjpeg.avi"
  tally fat32-default python3 "$tool" whole "$work/fat32-default.json" "$work/fat32.manifest" "$fat"
  tally fat32-default python3 "$tool" repaired "$work/fat32-default.json"
else
  fail "fat32: building the image with mkfs.vfat and mtools"
fi

finish
