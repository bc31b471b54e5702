#!/usr/bin/env bash
# Recordings with interleaved sound (MJPEG or MPEG-4 video, PCM sound, made by ffmpeg) on FAT32
# cards built with mtools: the sample kept, the others deleted, one of them fragmented. By
# default (deep chunk following, repaired headers, reassembly) every recording comes back in
# one file of its own, the fragmented one joined from its four pieces on the file system's
# cluster grid: all its data chunks in order, byte for byte, in a file whose rebuilt header
# describes what it holds, which decodes cleanly and seeks. With --no-reassemble every stretch
# of a recording that lay in one piece comes back with its sound, in a file of its own. With
# --plain the files are plain copies; a sample whose header cannot be read gives plain copies
# and a warning.
set -uo pipefail
cli=${1:?usage: deep_test.sh KORVID_CLI}
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

rec=$work/rec
mkdir "$rec"
# Video at 25 fps with a keyframe every 10 frames, and mono 16-bit sound in chunks of 1024
# samples: ffmpeg reads each such chunk as one packet, so packets and chunks can be compared.
with_sound() {  # with_sound OUT SOURCE SECONDS CODEC
  ffmpeg -nostdin -v error -y -f lavfi -i "$2=size=320x240:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=22050" -t "$3" \
    -c:v "$4" -q:v 5 -g 10 -c:a pcm_s16le -ac 1 "$1"
}
# The samples' names are this test's own, as the header cache is keyed by name.
with_sound "$rec/e2e-deep-mjpeg.avi" testsrc 2 mjpeg
with_sound "$rec/e2e-deep-mpeg4.avi" testsrc 2 mpeg4
record "$rec/e2e-deep-video-only.avi" testsrc 1 mjpeg
with_sound "$rec/a1.avi" testsrc2 4 mjpeg
with_sound "$rec/a2.avi" testsrc 5 mjpeg
record "$rec/v1.avi" smptebars 3 mjpeg
with_sound "$rec/b1.avi" testsrc2 5 mpeg4
with_sound "$rec/b2.avi" testsrc 4 mpeg4

# card IMAGE SAMPLE FRAGMENTED CLIP...: a 64 MiB FAT32 card holding SAMPLE, the CLIPs, and
# FRAGMENTED in the holes left by deleted filler files between kept ones (the "next free" hint
# cleared, so mtools, like a recorder, fills the first free clusters). Everything but SAMPLE is
# deleted at the end. IMAGE.all and IMAGE.deleted tell where the recordings lay.
card() {
  local image=$1 sample=$2 fragmented=$3 clip name i
  shift 3
  local pairs=() names=() holes=()
  truncate -s 64M "$image"
  mkfs.vfat -F 32 -n CARD "$image" >/dev/null && mcopy -i "$image" "$sample" ::/SAMPLE.AVI || return 1
  for clip in "$@"; do
    name=$(basename "$clip" .avi).avi
    mcopy -i "$image" "$clip" "::/$name" || return 1
    pairs+=("$name=$clip") names+=("::/$name")
  done
  read -r -a holes <<<"$(python3 "$tool" hole-sizes "$image" "$fragmented" 3 200000)"
  [ "${#holes[@]}" -eq 3 ] || return 1
  head -c 32768 /dev/zero > "$work/keep.dat"
  for i in 0 1 2; do
    head -c "${holes[$i]}" /dev/zero > "$work/hole.dat"
    mcopy -i "$image" "$work/hole.dat" "::/HOLE$i.DAT" && mcopy -i "$image" "$work/keep.dat" "::/KEEP$i.DAT" || return 1
  done
  mdel -i "$image" ::/HOLE0.DAT ::/HOLE1.DAT ::/HOLE2.DAT && python3 "$tool" forget-next-free "$image" &&
    mcopy -i "$image" "$fragmented" ::/FRAG.AVI || return 1
  pairs+=("FRAG.AVI=$fragmented") names+=(::/FRAG.AVI)
  python3 "$tool" fat-layout "$image" "$image.deleted" "${pairs[@]}" &&
    python3 "$tool" fat-layout "$image" "$image.all" "SAMPLE.AVI=$sample" "${pairs[@]}" &&
    mdel -i "$image" "${names[@]}"
}

pieces() {  # pieces LAYOUT CLIP: how many pieces CLIP lies in
  python3 -c 'import json, sys
print(next(len(e["runs"]) for e in json.load(open(sys.argv[1])) if e["clip"] == sys.argv[2]))' "$1" "$2"
}

recover() {  # recover NAME IMAGE SAMPLE ARGS...: korvid-cli into $work/NAME, JSON in $work/NAME.json
  local name=$1 image=$2 sample=$3 status=0
  shift 3
  mkdir "$work/$name"
  "$cli" recover --source "$image" --sample "$sample" --output "$work/$name" --json --quiet "$@" \
    > "$work/$name.json" 2> "$work/$name.err" || status=$?
  check "$name: korvid-cli exits with 0" test "$status" -eq 0
  [ "$status" -eq 0 ] || cat "$work/$name.err"
}

for set in mjpeg mpeg4; do
  image=$work/$set.img
  if [ $set = mjpeg ]; then
    card "$image" "$rec/e2e-deep-mjpeg.avi" "$rec/a2.avi" "$rec/a1.avi" "$rec/v1.avi"
  else
    card "$image" "$rec/e2e-deep-mpeg4.avi" "$rec/b1.avi" "$rec/b2.avi"
  fi || { fail "$set: building the card with mkfs.vfat and mtools"; continue; }
  fragmented=$([ $set = mjpeg ] && echo "$rec/a2.avi" || echo "$rec/b1.avi")
  check "$set: the fragmented recording lies in 4 pieces" test "$(pieces "$image.all" "$fragmented")" -eq 4
  check "$set: only the sample is left on the card" test "$(mdir -b -i "$image" ::/ | grep -c AVI)" -eq 1

  # The default: each recording in one file, the fragmented one joined.
  recover "$set" "$image" "$rec/e2e-deep-$set.avi"
  tally "$set" python3 "$tool" whole "$work/$set.json" "$image.all" "$image"
  tally "$set" python3 "$tool" repaired "$work/$set.json"

  recover "$set-free" "$image" "$rec/e2e-deep-$set.avi" --mode free-space
  tally "$set-free" python3 "$tool" whole "$work/$set-free.json" "$image.deleted" "$image"
  tally "$set-free" python3 "$tool" repaired "$work/$set-free.json"

  # Piece by piece, as deep recovery wrote them before pieces were joined.
  recover "$set-pieces" "$image" "$rec/e2e-deep-$set.avi" --deep --no-reassemble
  tally "$set-pieces" python3 "$tool" stretches "$work/$set-pieces.json" "$image.all"
  tally "$set-pieces" python3 "$tool" repaired "$work/$set-pieces.json"
  check "$set-pieces: the fragmented recording comes back in one file per piece, not joined" python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
sys.exit(not (d["reassembly"] is None and d["files"] and all(f["pieces"] == 1 for f in d["files"])))' "$work/$set-pieces.json"

  recover "$set-pieces-free" "$image" "$rec/e2e-deep-$set.avi" --no-reassemble --mode free-space
  tally "$set-pieces-free" python3 "$tool" stretches "$work/$set-pieces-free.json" "$image.deleted"
done

image=$work/mjpeg.img
v1_range=$(python3 -c 'import json, sys
sys.path.insert(0, sys.argv[1])
import avi_tool
runs = next(e["runs"] for e in json.load(open(sys.argv[2])) if e["clip"].endswith("/v1.avi"))
info = avi_tool.chunk_info(sys.argv[3])
print(runs[0][0] + info["first"], runs[0][0] + info["end"])' "$(dirname "$tool")" "$image.deleted" "$rec/v1.avi")

# --plain: the sample's header and the chain's source bytes, byte for byte.
recover plain "$image" "$rec/e2e-deep-mjpeg.avi" --plain
tally plain python3 "$tool" plain "$work/plain.json" "$rec/e2e-deep-mjpeg.avi" "$image"
check "plain: the video-only recording is one chain, from its first chunk to its last" python3 -c '
import json, sys
ranges = [(f["source_start"], f["source_end"]) for f in json.load(open(sys.argv[1]))["files"]]
sys.exit(tuple(map(int, sys.argv[2].split())) not in ranges)' "$work/plain.json" "$v1_range"

# --plain --repair-headers, with a video-only sample: the video-only recording's file has its
# frame count in the header.
recover plain-repaired "$image" "$rec/e2e-deep-video-only.avi" --plain --repair-headers
tally plain-repaired python3 "$tool" repaired "$work/plain-repaired.json"
check "plain-repaired: ffprobe gives the video-only recording's file its frame count" python3 -c '
import json, sys
sys.path.insert(0, sys.argv[1])
import avi_tool
start, end = map(int, sys.argv[3].split())
f = next((f for f in json.load(open(sys.argv[2]))["files"] if (f["source_start"], f["source_end"]) == (start, end)), None)
n = avi_tool.chunk_info(sys.argv[4])["count"]
out = avi_tool.subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                               "stream=nb_frames", "-of", "csv=p=0", f["path"]], capture_output=True, text=True)
print(f"     {out.stdout.strip()} frames in the header, {n} recorded")
sys.exit(out.stdout.strip() != str(n))' "$(dirname "$tool")" "$work/plain-repaired.json" "$v1_range" "$rec/v1.avi"

# A sample whose first strl list has a broken size: a warning, and plain copies.
damaged=$rec/e2e-deep-damaged.avi
python3 - "$rec/e2e-deep-mjpeg.avi" "$damaged" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.find(b'strl') - 4
data[at:at + 4] = struct.pack('<I', 0xFFFFFFF0)
open(sys.argv[2], 'wb').write(data)
PY
recover damaged "$image" "$damaged" --deep
check "damaged: a warning about the sample's header" grep -qi "warning.*header" "$work/damaged.err"
tally damaged python3 "$tool" plain "$work/damaged.json" "$damaged" "$image"

finish
