#!/usr/bin/env bash
# korvid-cli.exe under Wine against the Linux build's korvid-cli: from the same images both must
# write the same files, byte for byte, and report the same chains. The images hold recordings made
# by ffmpeg at unaligned offsets and across the scan's 256 KiB pieces, hand-made chunk chains,
# MP4, MOV and MXF files for the container mode, and deleted recordings on FAT32. The Windows build does not read an
# image's file system, so its free-space mode scans the whole image: what it writes must be what
# the whole-disk mode of the Linux build writes.
set -uo pipefail
usage="usage: recover_test.sh LINUX_CLI WINDOWS_CLI [RUNNER...]"
linux_cli=${1:?$usage}
windows_cli=${2:?$usage}
shift 2
runner=("$@")  # how the .exe is started: the Wine wrapper and its prefix
cli=$linux_cli
# shellcheck source=../e2e/lib.sh
. "$(dirname "$0")/../e2e/lib.sh"

if [ ! -f "$windows_cli" ]; then
  fail "korvid-cli.exe not found: $windows_cli"
  finish
  exit 1
fi

# Wine shows the host's root as drive Z:.
winpath() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

# Wine reads the host's file names in the host's locale: UTF-8, so that any name passes.
export LC_ALL=C.UTF-8

linux() {  # linux NAME MODE IMAGE SAMPLE [OPTION...]: the Linux build into $work/linux-NAME
  local name=$1 mode=$2 image=$3 sample=$4 status=0
  shift 4
  mkdir "$work/linux-$name"
  "$linux_cli" recover --source "$image" --sample "$sample" --output "$work/linux-$name" --mode "$mode" \
    --json --quiet "$@" > "$work/linux-$name.json" 2> "$work/linux-$name.err" || status=$?
  check "$name: korvid-cli exits with 0" test "$status" -eq 0
}

windows() {  # windows NAME MODE IMAGE SAMPLE [OPTION...]: korvid-cli.exe into $work/windows-NAME
  local name=$1 mode=$2 image=$3 sample=$4 status=0
  shift 4
  mkdir "$work/windows-$name"
  "${runner[@]}" "$windows_cli" recover --source "$(winpath "$image")" --sample "$(winpath "$sample")" \
    --output "$(winpath "$work/windows-$name")" --mode "$mode" --json --quiet "$@" \
    > "$work/windows-$name.json" 2> "$work/windows-$name.err" || status=$?
  check "$name: korvid-cli.exe exits with 0" test "$status" -eq 0
  [ "$status" -eq 0 ] || cat "$work/windows-$name.err"
}

same_files() {  # same_files NAME LINUX_RUN WINDOWS_RUN MINIMUM: equal file names and bytes, at least MINIMUM files
  local name=$1 a=$work/linux-$2 b=$work/windows-$3 minimum=$4 file all=0
  local listed
  listed=$(cd "$a" && ls)
  check "$name: the same files ($(echo "$listed" | wc -w) from Linux)" test "$listed" = "$(cd "$b" && ls)"
  check "$name: at least $minimum files" test "$(echo "$listed" | wc -w)" -ge "$minimum"
  for file in $listed; do
    if [ "$file" = korvid-files.tsv ]; then
      # Only the Linux build reads the source's file systems: the names and times they give aside,
      # the lists are the same.
      cmp -s <(cut -f1,4- "$a/$file") <(cut -f1,4- "$b/$file" | tr -d '\r') || { all=1; echo "     $file differs"; }
    else
      cmp -s "$a/$file" "$b/$file" || { all=1; echo "     $file differs"; }
    fi
  done
  check "$name: every file byte for byte the same" test "$all" -eq 0
}

same_report() {  # same_report NAME LINUX_RUN WINDOWS_RUN: the same counts and chains in both reports
  python3 - "$work/linux-$2.json" "$work/windows-$3.json" <<'PY'
import json, sys
a, b = (json.load(open(p)) for p in sys.argv[1:3])
keys = ['source_size', 'bytes_scanned', 'fragments_found', 'chains', 'files_written', 'bytes_written',
        'unreadable_scan_bytes', 'unreadable_written_bytes', 'stopped', 'error']
file_keys = ['source_start', 'source_end', 'records', 'bytes', 'unreadable_bytes', 'complete']
diff = [k for k in keys if a.get(k) != b.get(k)]
files = lambda d: [[f[k] for k in file_keys] for f in d['files']]
if files(a) != files(b):
    diff.append('files')
if diff:
    print('differ: ' + ', '.join(f'{k} {a.get(k)!r} / {b.get(k)!r}' for k in diff))
sys.exit(1 if diff else 0)
PY
}

compare() {  # compare NAME LINUX_RUN WINDOWS_RUN MINIMUM
  same_files "$@"
  check "$1: the same report" same_report "$1" "$2" "$3"
}

rec=$work/rec
mkdir "$rec"
record "$rec/e2e-windows-mjpeg.avi" testsrc 1 mjpeg
record "$rec/e2e-windows-mpeg4.avi" testsrc 1 mpeg4
record "$rec/m1.avi" testsrc 3 mjpeg
record "$rec/m2.avi" smptebars 2 mjpeg
record "$rec/p1.avi" testsrc2 2 mpeg4
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=size=320x240:rate=25" -t 1 -c:v mpeg4 -an "$rec/c1.mp4"

# --- AVI recordings on a raw image: unaligned, and across the piece borders at 1 and 2 MiB.
python3 "$tool" place "$work/mixed.img" $((3 * 1048576 + 333333)) 7 "$work/mixed.manifest" \
  "$rec/m1.avi@12345" "$rec/m2.avi#5@$((1048576 - 2))" "$rec/p1.avi#3@$((2097152 - 5))" \
  || fail "mixed: building the image"
linux mixed whole-disk "$work/mixed.img" "$rec/e2e-windows-mjpeg.avi"
windows mixed whole-disk "$work/mixed.img" "$rec/e2e-windows-mjpeg.avi"
compare mixed mixed mixed 3
linux mixed-plain whole-disk "$work/mixed.img" "$rec/e2e-windows-mjpeg.avi" --plain
windows mixed-plain whole-disk "$work/mixed.img" "$rec/e2e-windows-mjpeg.avi" --plain
compare "mixed, --plain" mixed-plain mixed-plain 3

# --- The same with a sample and an output folder named outside any local code page.
cp "$rec/e2e-windows-mjpeg.avi" "$rec/样本 ü€.avi"
windows "恢复 ü€" whole-disk "$work/mixed.img" "$rec/样本 ü€.avi"
compare "names outside the code page" mixed "恢复 ü€" 3

# --- Hand-made chains of plain copies: pad bytes, a lone chunk, a chain cut by the end of the image.
python3 "$tool" chain-image "$work/chains.img" "$work/piece"
linux chains whole-disk "$work/chains.img" "$rec/e2e-windows-mpeg4.avi" --plain
windows chains whole-disk "$work/chains.img" "$rec/e2e-windows-mpeg4.avi" --plain
compare chains chains chains 3

# --- The container mode: MP4, MOV and MXF files made by ffmpeg, one across the piece border at
# 512 KiB, and a sample of each kind the modes refuse.
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=320x240:rate=25" -t 1 -c:v mpeg4 -movflags faststart "$rec/c2.mov"
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=size=720x576:rate=25" -t 0.4 -c:v mpeg2video "$rec/c3.mxf"
python3 - "$work/container.img" "$tool" "$rec/c1.mp4" "$rec/c2.mov" "$rec/c3.mxf" <<'PY' || fail "container: building the image"
import importlib.util, sys
spec = importlib.util.spec_from_file_location('avi_tool', sys.argv[2])
tool = importlib.util.module_from_spec(spec)
spec.loader.exec_module(tool)
mp4, mov, mxf = (open(f, 'rb').read() for f in sys.argv[3:6])
image = bytes(tool.noise(300001, 9)) + mp4 + bytes(tool.noise(4096, 10))
image += bytes(tool.noise(524288 - 1500 - len(image), 11)) + mov + bytes(tool.noise(7777, 12)) + mxf
open(sys.argv[1], 'wb').write(image + bytes(tool.noise(5000, 13)))
PY
linux container container "$work/container.img" "$rec/c1.mp4"
windows container container "$work/container.img" "$rec/c1.mp4"
compare container container container 3
check "container: the files are the recordings, byte for byte" cmp "$work/windows-container/1.MP4" "$rec/c1.mp4"
check "container: the MOV" cmp "$work/windows-container/2.MOV" "$rec/c2.mov"
check "container: the MXF" cmp "$work/windows-container/3.MXF" "$rec/c3.mxf"

# --- Deleted recordings on FAT32, in an image whose name is outside any local code page.
fat="$work/录像 FAT32.img"
truncate -s 40M "$fat"
if mkfs.vfat -F 32 -n E2E "$fat" >/dev/null && mcopy -i "$fat" "$rec/m1.avi" ::/M1.AVI &&
   mcopy -i "$fat" "$rec/p1.avi" ::/P1.AVI && mdel -i "$fat" ::/M1.AVI ::/P1.AVI; then
  linux fat-whole whole-disk "$fat" "$rec/e2e-windows-mjpeg.avi"
  windows fat-whole whole-disk "$fat" "$rec/e2e-windows-mjpeg.avi"
  compare fat32 fat-whole fat-whole 2
  windows fat-free free-space "$fat" "$rec/e2e-windows-mjpeg.avi"
  check "fat32 free space: the Windows build says it scans the whole image" \
    grep -qF "scanning the whole source" "$work/windows-fat-free.err"
  compare "fat32 free space" fat-whole fat-free 2
else
  fail "fat32: building the image with mkfs.vfat and mtools"
fi

# --- A source that is not there: exit 2 and the system's text after the path.
mkdir "$work/missing"
status=0
"${runner[@]}" "$windows_cli" recover --source "$(winpath "$work/none.img")" \
  --sample "$(winpath "$rec/e2e-windows-mjpeg.avi")" --output "$(winpath "$work/missing")" \
  > /dev/null 2> "$work/missing.err" || status=$?
check "missing source: exit 2" test "$status" -eq 2
check "missing source: Cannot open file with the path and the system's text" \
  grep -qE "^korvid-cli: Cannot open file \"Z:.*\\\\none\.img\"\. [A-Za-z]" "$work/missing.err"
check "missing source: nothing written" empty_dir "$work/missing"

# --- The sources listing runs and gives JSON.
status=0
"${runner[@]}" "$windows_cli" sources --json > "$work/sources.json" 2> "$work/sources.err" || status=$?
check "sources: exit 0" test "$status" -eq 0
check "sources: a JSON list" python3 -c 'import json,sys; assert isinstance(json.load(open(sys.argv[1]))["sources"], list)' \
  "$work/sources.json"

finish
