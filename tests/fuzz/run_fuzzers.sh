#!/usr/bin/env bash
# Builds the engine's fuzz targets with clang's libFuzzer, AddressSanitizer and UBSan into the
# folder given as the first argument, makes seed inputs with ffmpeg and runs each target for
# KORVID_FUZZ_SECONDS (default 10) seconds; KORVID_FUZZ_TARGETS (space-separated) picks some of
# them. Fails on any crash, leak or broken invariant; exits 77 (skipped) when clang++ or
# libFuzzer is missing.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
seconds=${KORVID_FUZZ_SECONDS:-10}
cxx=${KORVID_FUZZ_CXX:-clang++}
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I "$repo")

if ! command -v "$cxx" >/dev/null; then
  echo "skipped: no $cxx" >&2
  exit 77
fi
probe="$out/probe"
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
  'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$probe.cpp"
if ! "$cxx" "${flags[@]}" "$probe.cpp" -o "$probe" 2>"$probe.log"; then
  cat "$probe.log" >&2
  echo "skipped: $cxx cannot link with libFuzzer (Debian: libclang-rt-14-dev)" >&2
  exit 77
fi

# Each target: its source in tests/fuzz and the engine sources it needs.
declare -A sources=(
  [avi_header]="engine/avi/avi_header.cpp"
  [movi_chunks]="engine/avi/movi_chunks.cpp engine/fragment.cpp"
  [keyframe]="engine/keyframe.cpp"
  [container_files]="engine/container_files.cpp engine/iso_media/movie_box.cpp engine/iso_media/top_level_walk.cpp
                     engine/mxf/klv_walk.cpp engine/source_bytes.cpp engine/sector_reader.cpp engine/signatures.cpp
                     engine/candidate_filter.cpp engine/fragment.cpp engine/run_control.cpp"
  [moov_rebuild]="engine/iso_media/movie_box.cpp engine/iso_media/media_data_split.cpp engine/iso_media/moov_rebuild.cpp
                  engine/iso_media/audio_frames_avcodec.cpp engine/iso_media/picture_order_avcodec.cpp
                  engine/source_bytes.cpp engine/sector_reader.cpp"
  [preview]="app/preview/keyframe_picture.cpp app/preview/avi_keyframes.cpp app/preview/jpeg_picture.cpp
             app/preview/huffman_tables.cpp app/preview/avcodec_picture_avcodec.cpp engine/avi/avi_header.cpp
             engine/avi/movi_chunks.cpp engine/keyframe.cpp engine/fragment.cpp"
)
# Libraries a target links beyond the sanitizers' runtime.
declare -A libs=(
  [moov_rebuild]="$(pkg-config --libs libavcodec libavutil 2>/dev/null || echo -lavcodec -lavutil)"
  [preview]="-fPIC $(pkg-config --cflags --libs Qt6Core Qt6Gui libavformat libavcodec libswscale libavutil 2>/dev/null)"
)
read -r -a targets <<<"${KORVID_FUZZ_TARGETS:-avi_header movi_chunks keyframe container_files moov_rebuild preview}"

for t in "${targets[@]}"; do
  files=("$repo/tests/fuzz/${t}_fuzz.cpp")
  for s in ${sources[$t]}; do files+=("$repo/$s"); done
  echo "building ${t}_fuzz"
  # shellcheck disable=SC2086  # the libraries are words
  "$cxx" "${flags[@]}" "${files[@]}" ${libs[$t]:-} -o "$out/${t}_fuzz"
done

# Seeds. Without ffmpeg the targets start from nothing, which still finds shallow faults.
seeds="$out/seeds"
rm -rf "$seeds"
mkdir -p "$seeds/avi_header" "$seeds/movi_chunks" "$seeds/keyframe" "$seeds/container_files" "$seeds/moov_rebuild" "$seeds/preview"
if command -v ffmpeg >/dev/null; then
  media="$out/media"
  mkdir -p "$media"
  ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
  picture=(-f lavfi -i testsrc=size=160x120:rate=10)
  movi_offset() {  # of the first "movi" in the file
    local hits
    hits=$(grep -obUa -m 1 movi "$1")
    echo "${hits%%:*}"
  }

  # Headers of AVI files, cut just after their "movi": one and two streams, several codecs.
  ff "${picture[@]}" -f lavfi -i sine -t 0.2 -c:v mjpeg -c:a pcm_s16le "$media/mjpeg.avi"
  ff "${picture[@]}" -t 0.2 -c:v mpeg4 -vtag XVID "$media/mpeg4.avi"
  ff "${picture[@]}" -f lavfi -i sine -t 0.2 -c:v libx264 -c:a pcm_u8 "$media/h264.avi" 2>/dev/null ||
    rm -f "$media/h264.avi"  # ffmpeg without libx264
  for f in "$media"/*.avi; do
    head -c $(($(movi_offset "$f") + 4)) "$f" >"$seeds/avi_header/$(basename "$f" .avi)"
  done

  # Chunk search: 8 KiB pieces of the movi data of a few MB of recording with sound, behind
  # control bytes for source offset 0x100000, 16 MiB of source beyond, 2 streams, no search end.
  ff -f lavfi -i testsrc=size=640x480:rate=10 -f lavfi -i sine -t 14 -c:v mjpeg -q:v 3 \
    -c:a pcm_s16le "$media/long.avi"
  dd if="$media/long.avi" of="$media/movi" bs=64K skip=$(($(movi_offset "$media/long.avi") + 4)) \
    count=$((4 << 20)) iflag=skip_bytes,count_bytes status=none
  split -b 8192 -a 3 "$media/movi" "$media/piece."
  for p in "$media"/piece.*; do
    { printf '\x00\x00\x10\x00\x00\x00\x00\x00\x01\x02\xff\xff'; cat "$p"; } \
      >"$seeds/movi_chunks/$(basename "$p")"
  done

  # Keyframe test: the start of each codec's raw stream; the first two bytes pick the codec.
  raw() {  # codec, muxer, tag-index byte
    ff "${picture[@]}" -t 1 -g 5 -c:v "$1" -f "$2" "$media/raw.$2" 2>/dev/null || return 0
    { printf "\\x$3\\x$3"; head -c 6000 "$media/raw.$2"; } >"$seeds/keyframe/$2"
  }
  raw mpeg4 m4v 03
  raw libx264 h264 05
  raw libx265 hevc 07
  raw mjpeg mjpeg 01

  # Container files: whole small MP4, MOV and MXF files, and an MP4 cut off before its movie box.
  ff "${picture[@]}" -t 0.2 -c:v libx264 "$media/c.mp4" 2>/dev/null && cp "$media/c.mp4" "$seeds/container_files/mp4"
  ff "${picture[@]}" -t 0.2 -c:v mpeg4 -movflags faststart "$seeds/container_files/faststart.mov"
  ff -f lavfi -i testsrc=size=720x576:rate=25 -t 0.2 -c:v mpeg2video -f mxf "$seeds/container_files/mxf"
  [ -f "$media/c.mp4" ] && head -c "$(($(stat -c %s "$media/c.mp4") * 7 / 10))" "$media/c.mp4" \
    >"$seeds/container_files/cut.mp4"

  # Rebuild: an MP4's moov, then a declared size of 0 and the first 40 KB of its media data.
  for codec in "libx264 -c:a aac" "libx265 -c:a aac" "libx264 -c:a pcm_s16le"; do
    ext=mp4
    [[ $codec == *pcm* ]] && ext=mov
    # shellcheck disable=SC2086  # the codec options are words
    ff "${picture[@]}" -f lavfi -i sine -t 0.5 -c:v $codec "$media/r.$ext" 2>/dev/null || continue
    python3 - "$media/r.$ext" "$seeds/moov_rebuild/${codec%% *}-${ext}" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
boxes, at = {}, 0
while at + 8 <= len(data):
    size, kind = struct.unpack('>I4s', data[at:at + 8])
    boxes[kind] = (at, size)
    at += size if size >= 8 else len(data)
moov_at, moov_size = boxes[b'moov']
mdat_at, _ = boxes[b'mdat']
moov = data[moov_at:moov_at + moov_size]
open(sys.argv[2], 'wb').write(struct.pack('>I', len(moov)) + moov + struct.pack('>I', 0) +
                              data[mdat_at + 8:mdat_at + 8 + 40000])
PY
  done
  # Preview: whole small recordings of each codec the preview decodes, and their first halves.
  for codec in mjpeg mpeg4 libx264 libx265; do
    ff "${picture[@]}" -t 0.3 -c:v "$codec" "$media/p-$codec.avi" 2>/dev/null || continue
    cp "$media/p-$codec.avi" "$seeds/preview/$codec.avi"
    head -c "$(($(stat -c %s "$media/p-$codec.avi") / 2))" "$media/p-$codec.avi" >"$seeds/preview/$codec-half.avi"
  done
  ff "${picture[@]}" -t 0.3 -c:v libx264 "$seeds/preview/h264.mp4" 2>/dev/null || true
  rm -rf "$media"
fi

failed=()
for t in "${targets[@]}"; do
  corpus="$out/corpus/$t"
  mkdir -p "$corpus" "$out/crashes"
  echo "running ${t}_fuzz for ${seconds}s"
  if ! "$out/${t}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$out/crashes/${t}-" "$corpus" "$seeds/$t" \
      >"$out/$t.log" 2>&1; then
    tail -n 60 "$out/$t.log" >&2
    failed+=("$t")
  else
    grep -E '^stat::number_of_executed_units|^Done' "$out/$t.log" || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]} (inputs in $out/crashes)" >&2
  exit 1
fi
