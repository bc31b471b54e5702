#!/usr/bin/env bash
# korvid-cli on real block devices (root only, loop devices): a partitioned card image is offered
# as a disk, a bare file system as a volume too; both open by the names `sources` gives and
# their free space is recovered, the deleted recording in one repaired file holding its frames
# byte for byte.
set -uo pipefail
cli=${1:?usage: loop_sources_test.sh KORVID_CLI}
work=$(mktemp -d)
passed=0 failed=0
loops=()
cleanup() {
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
check() {
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok   $name"; else failed=$((failed + 1)); echo "FAIL $name"; fi
}
if [ "$(id -u)" -ne 0 ] || ! command -v losetup >/dev/null || ! command -v sfdisk >/dev/null; then
  echo "skipped: loop devices need root, losetup and sfdisk"
  echo "0 passed, 0 failed, 1 skipped"
  exit 0
fi
export MTOOLS_SKIP_CHECK=1

ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 1 -c:v mjpeg -an "$work/loop-test-sample.avi"
ffmpeg -nostdin -v error -f lavfi -i smptebars=size=320x240:rate=25 -t 2 -c:v mjpeg -an "$work/gone.avi"

# A card image with a partition table and one FAT32 partition from sector 2048, the recording
# copied in and deleted; and a bare FAT32 file system with the same.
truncate -s 64M "$work/card.img"
echo 'start=2048, type=c' | sfdisk -q "$work/card.img"
mformat -i "$work/card.img@@1M" -F -v CARD -T $(( (64 - 1) * 2048 )) -h 64 -s 32 ::
mcopy -i "$work/card.img@@1M" "$work/gone.avi" ::/GONE.AVI && mdel -i "$work/card.img@@1M" ::/GONE.AVI
truncate -s 48M "$work/bare.img"
mkfs.vfat -F 32 -n BARE "$work/bare.img" >/dev/null
mcopy -i "$work/bare.img" "$work/gone.avi" ::/GONE.AVI && mdel -i "$work/bare.img" ::/GONE.AVI

card=$(losetup -f --show "$work/card.img") && loops+=("$card")
bare=$(losetup -f --show "$work/bare.img") && loops+=("$bare")

"$cli" sources --json > "$work/sources.json"
entry() {  # entry KIND PATH: prints the entry's name and source text, or fails
  python3 -c '
import json, sys
for e in json.load(open(sys.argv[1]))["sources"]:
    if e["kind"] == sys.argv[2] and e["path"] == sys.argv[3]:
        print(e["name"], e["source"], e["caption"]); break
else:
    sys.exit(1)' "$work/sources.json" "$1" "$2"
}
listed() { entry "$@" >/dev/null; }
absent() { ! listed "$@"; }
check "the partitioned card is listed as a disk" listed disk "$card"
check "the partitioned card is not listed as a volume" absent volume "$card"
check "the bare file system is listed as a disk" listed disk "$bare"
check "the bare file system is listed as a volume" listed volume "$bare"
caption=$(entry volume "$bare" | cut -d' ' -f3-)
check "its caption names label, device, kind, disk and file system: $caption" \
  grep -qE "^BARE \\(${bare#/dev/}\\), HD[0-9]+, vfat, \\[" <<<"$caption"

recover() {  # recover NAME SOURCE: free-space recovery into $work/NAME
  mkdir "$work/$1"
  "$cli" recover --mode free-space --source "$2" --sample "$work/loop-test-sample.avi" --output "$work/$1" \
    --quiet --json > "$work/$1.json" 2> "$work/$1.err"
}
tool=$(cd "$(dirname "$0")/../e2e" && pwd)/avi_tool.py
recovered() {  # recovered NAME: the run wrote one file, repaired, holding gone.avi's frames byte for byte
  python3 -c 'import json,sys; f=json.load(open(sys.argv[1]))["files"]; sys.exit(not (len(f) == 1 and f[0]["repaired"]))' \
    "$work/$1.json" && python3 "$tool" same-data "$work/$1/1.AVI" "$work/gone.avi" &&
    test -z "$(ffmpeg -nostdin -v error -i "$work/$1/1.AVI" -f null - 2>&1 || echo "ffmpeg failed")"
}

disk_name=$(entry disk "$card" | cut -d' ' -f1)
recover card "$disk_name"
check "the card opens as $disk_name and its partition's free space is scanned" \
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); sys.exit(not (0 < d["bytes_scanned"] < d["source_size"] and d["files_written"] == 1))' "$work/card.json"
check "the deleted recording comes back from the card in one repaired file, its frames byte for byte, decoding" \
  recovered card
check "the cluster grid for joining pieces is the partition's file system's" python3 -c '
import json, struct, sys
boot = open(sys.argv[2], "rb").read()[1 << 20:(1 << 20) + 512]
cluster = struct.unpack_from("<H", boot, 11)[0] * boot[13]
r = json.load(open(sys.argv[1]))["reassembly"] or {}
sys.exit(not (r.get("geometry") == "file system" and r.get("cluster_size") == cluster))' "$work/card.json" "$work/card.img"

recover bare "$bare"
check "the bare volume's free space is scanned" \
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); sys.exit(not (0 < d["bytes_scanned"] < d["source_size"]))' "$work/bare.json"
check "the deleted recording comes back from the volume in one repaired file, its frames byte for byte, decoding" \
  recovered bare

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
