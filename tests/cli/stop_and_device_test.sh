#!/usr/bin/env bash
# korvid-cli on the paths that need a real process or a real device: Ctrl-C during a scan, and
# an output folder on the device being recovered (loop device, root only).
set -uo pipefail
cli=${1:?usage: stop_and_device_test.sh KORVID_CLI}
work=$(mktemp -d)
passed=0 failed=0
loop='' mounted=''
cleanup() {
  [ -n "$mounted" ] && umount "$mounted" 2>/dev/null
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok   $name"; else failed=$((failed + 1)); echo "FAIL $name"; fi
}

# A sample: a header ending in "movi". Two chains of 00dc chunks at the start of a large sparse
# image, so that a scan is still running when Ctrl-C arrives.
printf 'RIFF\0\0\0\0AVI LIST\0\0\0\0movi' > "$work/sample.avi"
chunk() { printf '00dc\x08\0\0\0%s' "$1"; }
{ for i in 1 2 3 4; do chunk "frame-$i!"; done; printf 'gap'; for i in 5 6; do chunk "frame-$i!"; done; } > "$work/chains"
truncate -s 64G "$work/big.img"
dd if="$work/chains" of="$work/big.img" conv=notrunc status=none

mkdir "$work/out"
"$cli" recover --source "$work/big.img" --sample "$work/sample.avi" --output "$work/out" --json --quiet \
  > "$work/stop.json" 2> "$work/stop.err" &
pid=$!
sleep 1
kill -INT "$pid"
wait "$pid"
code=$?
check "Ctrl-C exits with 130" test "$code" -eq 130
check "Ctrl-C reports a stopped run" grep -q '"stopped":true' "$work/stop.json"
check "Ctrl-C still writes what was found" cmp -s "$work/out/1.AVI" <(cat "$work/sample.avi"; head -c 64 "$work/chains")
check "Ctrl-C writes the second chain" cmp -s "$work/out/2.AVI" <(cat "$work/sample.avi"; tail -c 32 "$work/chains")
check "Ctrl-C scanned part of the source only" \
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); sys.exit(not 0 < d["bytes_scanned"] < d["source_size"])' "$work/stop.json"

if [ "$(id -u)" -ne 0 ] || ! command -v mkfs.ext4 >/dev/null; then
  echo "skipped: output on the source device (needs root and mkfs.ext4 for a loop device)"
else
  truncate -s 64M "$work/disk.img"
  dd if="$work/chains" of="$work/disk.img" bs=1M seek=40 conv=notrunc status=none
  mkfs.ext4 -q -F -E nodiscard "$work/disk.img"  # a discard would punch the chains out of the image
  loop=$(losetup -f --show "$work/disk.img")
  mkdir "$work/mnt"
  if mount "$loop" "$work/mnt" 2>/dev/null; then
    mounted="$work/mnt"
    mkdir "$work/mnt/out"
    "$cli" recover --source "$loop" --sample "$work/sample.avi" --output "$work/mnt/out" --quiet 2> "$work/same.err"
    code=$?
    check "output on the source device is refused with exit 2" test "$code" -eq 2
    check "the refusal says why" grep -q "lies on the device being recovered" "$work/same.err"
    check "the refusal writes nothing" test -z "$(ls -A "$work/mnt/out")"

    mkdir "$work/elsewhere"
    "$cli" recover --source "$loop" --sample "$work/sample.avi" --output "$work/elsewhere" --quiet 2> "$work/elsewhere.err"
    code=$?
    check "a loop device is scanned into a folder elsewhere" test "$code" -eq 0
    check "the chains on the loop device come back" \
      cmp -s "$work/elsewhere/1.AVI" <(cat "$work/sample.avi"; head -c 64 "$work/chains")

    "$cli" recover --source "$loop" --sample "$work/sample.avi" --output "$work/mnt/out" --quiet --allow-same-device
    check "--allow-same-device lets the run go on" test $? -eq 0
    check "--allow-same-device writes the chains onto the device" \
      cmp -s "$work/mnt/out/1.AVI" <(cat "$work/sample.avi"; head -c 64 "$work/chains")
  else
    echo "skipped: output on the source device (ext4 cannot be mounted here)"
  fi
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
