#!/usr/bin/env bash
# A recording over 4 GiB recovered with --deep plays to its end. The recording is OpenDML as a
# recorder writes it (RIFF AVI, then RIFF AVIX segments of about 1 GiB, each with a movi list)
# with a real MJPEG+PCM header from ffmpeg: real MJPEG frames between 47 MB sound chunks of
# silence, which stay holes in a sparse image. The recovered file is written out in full, so
# the test needs 12 GB free where the work folder is (TMPDIR), and skips (77) otherwise.
set -uo pipefail
cli=${1:?usage: large_recording_test.sh KORVID_CLI}
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

free_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if [ "$(stat -f -c %T "$work")" = tmpfs ] || [ "$free_kb" -lt $((12 * 1000 * 1000 * 1000 / 1024)) ]; then
  echo "SKIP needs 12 GB free on a disk (not tmpfs) at $work: $((free_kb / 1024)) MiB free"
  exit 77
fi

# Unsigned 8-bit mono sound is read by ffmpeg one chunk per packet, whatever the chunk size; at
# 768 kHz a 64-second chunk is 49152000 bytes, and 87 of them stay below 2^32 samples, the most
# a stream header can count. Big pictures, two a second, take the file past 4.2 GiB.
av() {  # av OUT SOURCE SECONDS
  ffmpeg -nostdin -v error -y -f lavfi -i "$2=size=640x480:rate=2" \
    -f lavfi -i "sine=frequency=440:sample_rate=768000" -t "$3" \
    -c:v mjpeg -q:v 2 -c:a pcm_u8 -ac 1 "$1"
}
av "$work/e2e-large-sample.avi" testsrc 2
av "$work/frames.avi" testsrc2 20

image=$work/large.img
groups=87 seconds=64
start=$(date +%s)
python3 "$tool" big-avi "$image" "$work/e2e-large-sample.avi" "$work/frames.avi" $groups $seconds "$work/large.json" ||
  fail "building the image"
echo "     image: $(du -h --apparent-size "$image" | cut -f1) ($(du -h "$image" | cut -f1) on disk)"

mkdir "$work/out"
code=0
"$cli" recover --source "$image" --sample "$work/e2e-large-sample.avi" --output "$work/out" --deep --json --quiet \
  > "$work/run.json" 2> "$work/run.err" || code=$?
check "korvid-cli --deep exits with 0" test "$code" -eq 0
[ "$code" -eq 0 ] || cat "$work/run.err"
echo "     recovery took $(($(date +%s) - start)) s since the image was begun"

tally large python3 "$tool" big-verify "$work/run.json" "$image" "$work/frames.avi" "$work/large.json"
echo "     $(($(date +%s) - start)) s in all"

finish
