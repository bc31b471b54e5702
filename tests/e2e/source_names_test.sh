#!/usr/bin/env bash
# Names and times from the source: DVR recordings (made by ffmpeg, named by channel and time)
# copied onto a FAT32 card with mtools keeping their times, some in a folder, then deleted but
# one; korvid-cli must match every recovered file to its directory entry (name, first letter
# aside, size, modification time), name it "N <name>" with --name-from-source and give it that
# time, and list them in its text summary. One recording states its own time in an IDIT chunk,
# which wins over its entry's. The same card quick-formatted gives no names, but the IDIT time.
# On an exFAT card (written through exfat-fuse on a loop device: root, /dev/fuse) the names
# come back whole.
set -uo pipefail
cli=${1:?usage: source_names_test.sh KORVID_CLI}
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"
ntool=$(dirname "$tool")/source_names_tool.py
# FAT holds local times: mtools writes and The Sleuth Kit reads them in this zone.
export TZ=UTC

for t in ffmpeg mcopy mdel mmd mkfs.fat python3; do
  command -v "$t" >/dev/null || { fail "needs $t (scripts/install-deps: ffmpeg, mtools, dosfstools, python3)"; finish; exit; }
done

# NAME SECONDS MODIFIED FOLDER FATE [IDIT]: FOLDER "" is the root; FATE "delete" or "keep".
recordings=(
  "CH01_20261208_150000.AVI|2|2026-12-08 15:00:00||delete|"
  "CH02_20261208_150500.AVI|3|2026-12-08 15:05:00|DVR|delete|"
  "CH03_20261209_081530.AVI|4|2026-12-09 08:15:30|DVR|delete|"
  "CH04_20261210_235958.AVI|5|2026-12-10 23:59:58||keep|"
  "CH05_20261211_120000.AVI|6|2026-12-11 12:00:00||delete|FRI DEC 11 12:00:04 2026"
  "CH06.AVI|7|2026-12-12 06:30:00||delete|"
)

record "$work/one.avi" testsrc 3 mjpeg
mkdir -p "$work/rec"
# manifest NAMED: the recordings as source_names_tool.py check reads them.
manifest() {
  local named=$1 line name seconds modified folder fate idit first=1
  printf '['
  for line in "${recordings[@]}"; do
    IFS='|' read -r name seconds modified folder fate idit <<<"$line"
    [ $first -eq 1 ] || printf ','
    first=0
    printf '{"name":"%s","seconds":%s,"size":%s,"modified":%s,"recording_time":%s,"named":%s}' "$name" "$seconds" \
      "$(stat -c %s "$work/rec/$name")" "$(python3 "$ntool" timestamp "$modified")" \
      "$([ -n "$idit" ] && python3 "$ntool" timestamp "$(date -u -d "${idit#* }" '+%Y-%m-%d %H:%M:%S')" || echo null)" \
      "$named"
  done
  printf ']\n'
}
for line in "${recordings[@]}"; do
  IFS='|' read -r name seconds modified folder fate idit <<<"$line"
  record "$work/rec/plain.avi" testsrc "$seconds" mjpeg
  if [ -n "$idit" ]; then
    python3 "$ntool" idit "$work/rec/plain.avi" "$work/rec/$name" "$idit"
  else
    mv "$work/rec/plain.avi" "$work/rec/$name"
  fi
  rm -f "$work/rec/plain.avi"
  touch -d "$modified" "$work/rec/$name"
done

# recover IMAGE OUT: the JSON report in OUT.json, the text summary of a second run in OUT.txt.
recover() {
  "$cli" recover --source "$1" --sample "$work/one.avi" --output "$2" --json --name-from-source --quiet >"$2.json"
  "$cli" recover --source "$1" --sample "$work/one.avi" --output "$2-text" --name-from-source 2>/dev/null >"$2.txt"
}

img=$work/card.img
mkfs.fat -F 32 -C "$img" 65536 >/dev/null
mmd -i "$img" ::DVR
for line in "${recordings[@]}"; do
  IFS='|' read -r name seconds modified folder fate idit <<<"$line"
  mcopy -m -i "$img" "$work/rec/$name" "::${folder:+$folder/}$name"
done
for line in "${recordings[@]}"; do
  IFS='|' read -r name seconds modified folder fate idit <<<"$line"
  [ "$fate" = delete ] && mdel -i "$img" "::${folder:+$folder/}$name"
done

manifest true >"$work/named.json"
recover "$img" "$work/deleted"
tally "fat32 deleted" python3 "$ntool" check "$work/deleted.json" "$work/named.json"
tally "fat32 summary" python3 "$ntool" table "$work/deleted.txt" "$work/deleted.json"
check "a deleted short FAT name has lost its first letter: _H06.AVI" \
  python3 -c 'import json,sys; sys.exit(0 if [f["source_name"] for f in json.load(open(sys.argv[1]))["files"]].count("_H06.AVI") == 1 else 1)' \
  "$work/deleted.json"
before=$(ls "$work/deleted" | sort)
"$cli" recover --source "$img" --sample "$work/one.avi" --output "$work/deleted" --quiet 2>"$work/again.err"
check "a second run into the named files is refused" test $? -eq 2
check "and names the file it would replace" grep -q "already holds recovered files (" "$work/again.err"
check "and changes nothing" test "$(ls "$work/deleted" | sort)" = "$before"

# Quick format: the same parameters over the same card, which wipes the root directory and FATs.
mkfs.fat -F 32 "$img" >/dev/null
manifest false >"$work/unnamed.json"
recover "$img" "$work/formatted"
tally "fat32 formatted" python3 "$ntool" check "$work/formatted.json" "$work/unnamed.json"

# exFAT keeps a deleted entry's name whole.
if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/fuse ] || ! command -v mkfs.exfat >/dev/null || ! command -v mount.exfat-fuse >/dev/null ||
  ! command -v losetup >/dev/null; then
  echo "     exFAT not checked: it needs root, /dev/fuse, mkfs.exfat (exfatprogs), mount.exfat-fuse (exfat-fuse), losetup"
else
  recordings=("${recordings[@]:0:3}")
  ex=$work/exfat.img
  truncate -s 64M "$ex"
  mkfs.exfat "$ex" >/dev/null
  loop=$(losetup -f --show "$ex")
  cleanup_hooks+=("losetup -d '$loop' 2>/dev/null")
  mkdir -p "$work/mnt"
  if mount.exfat-fuse "$loop" "$work/mnt" 2>"$work/exfat.err"; then
    cleanup_hooks=("fusermount -u '$work/mnt' 2>/dev/null" "${cleanup_hooks[@]}")
    mkdir -p "$work/mnt/DVR"
    for line in "${recordings[@]}"; do
      IFS='|' read -r name seconds modified folder fate idit <<<"$line"
      cp "$work/rec/$name" "$work/mnt/${folder:+$folder/}$name"
      touch -d "$modified" "$work/mnt/${folder:+$folder/}$name"
    done
    sync
    for line in "${recordings[@]}"; do
      IFS='|' read -r name seconds modified folder fate idit <<<"$line"
      rm "$work/mnt/${folder:+$folder/}$name"
    done
    fusermount -u "$work/mnt"
    manifest true >"$work/exfat-names.json"
    recover "$ex" "$work/exfat"
    tally "exfat deleted" python3 "$ntool" check "$work/exfat.json" "$work/exfat-names.json"
    check "exFAT names keep their first letter" grep -q '"source_name":"CH01_20261208_150000.AVI"' "$work/exfat.json"
  else
    fail "exfat-fuse did not mount the card: $(cat "$work/exfat.err")"
  fi
fi
finish
