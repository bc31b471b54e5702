#!/usr/bin/env bash
# A 96 MiB FAT32 card of AVI recordings (MJPEG and MPEG-4 with PCM sound, made by ffmpeg, most
# of them deleted) served through a failing disk (tests/tools/failing_medium): a 1 MiB damaged
# stretch 20 MiB in and 200 single bad sectors inside the recordings, 5 ms per failed read.
# GNU ddrescue copies it and korvid-cli recovers from it, each on a fresh mount whose read log
# tells how soon each tool had 90% of the readable sectors and how often it tried each bad one.
# korvid must get there within 1.5 x ddrescue's time and try no bad sector more often than
# ddrescue; its files must be those of a run on the image with the bad sectors zeroed, and its
# "unreadable_ranges" the bad sectors. With --max-bad-time 0 or --retry-passes 0 it stops after
# the first pass, and its files are those of the image with what it reports unreadable zeroed.
# A run killed part way and resumed writes the files of an uninterrupted run.
# With --bench as third argument: only the measures, as a table, and no checks.
set -uo pipefail
cli=${1:?usage: failing_test.sh KORVID_CLI FAILING_MEDIUM [--bench]}
medium_tool=${2:?usage: failing_test.sh KORVID_CLI FAILING_MEDIUM [--bench]}
bench=${3:-}
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"
log_tool=$(cd "$(dirname "$0")/../tools" && pwd)/failing_log.py

missing=()
for t in ddrescue fusermount3 ffmpeg mkfs.vfat mcopy python3; do
  command -v "$t" >/dev/null || missing+=("$t")
done
[ -x "$medium_tool" ] || missing+=("$medium_tool")
[ -c /dev/fuse ] || missing+=(/dev/fuse)
if [ ${#missing[@]} -gt 0 ]; then
  fail "missing (scripts/install-deps: gddrescue fuse3 libfuse3-dev ...): ${missing[*]}"
  finish
  exit 1
fi

rec=$work/rec
mkdir "$rec"
with_sound() {  # with_sound OUT SOURCE SECONDS CODEC
  ffmpeg -nostdin -v error -y -f lavfi -i "$2=size=320x240:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=22050" -t "$3" \
    -c:v "$4" -q:v 5 -g 10 -c:a pcm_s16le -ac 1 "$1"
}
# The sample's name is this test's own, as the header cache is keyed by name.
sample=$rec/e2e-failing-mjpeg.avi
with_sound "$sample" testsrc 2 mjpeg
clips=()
i=0
for spec in "testsrc2 20 mjpeg" "testsrc 40 mpeg4" "smptebars 15 mjpeg" "testsrc 20 mjpeg" \
            "testsrc2 45 mpeg4" "smptebars 30 mpeg4" "testsrc2 25 mjpeg" "testsrc 20 mjpeg"; do
  read -r source seconds codec <<<"$spec"
  i=$((i + 1))
  with_sound "$rec/r$i.avi" "$source" "$seconds" "$codec" || { fail "ffmpeg: recording $i"; finish; exit 1; }
  clips+=("$rec/r$i.avi")
done

# The sample and every recording are copied in turn; all but the sample and two recordings
# are deleted. card.layout tells where each lay.
card=$work/card.img
truncate -s 96M "$card"
pairs=() deleted=()
mkfs.vfat -F 32 -n CARD "$card" >/dev/null && mcopy -i "$card" "$sample" ::/SAMPLE.AVI || exit 1
for clip in "${clips[@]}"; do
  name=$(basename "$clip" .avi).avi
  mcopy -i "$card" "$clip" "::/$name" || exit 1
  pairs+=("$name=$clip")
  case $name in r3.avi | r6.avi) ;; *) deleted+=("::/$name") ;; esac
done
python3 "$tool" fat-layout "$card" "$card.layout" "${pairs[@]}" && mdel -i "$card" "${deleted[@]}" || exit 1
size=$(stat -c %s "$card")
bad=$work/bad.txt
python3 "$log_tool" bad-list "$card.layout" "$bad" 1 || exit 1
python3 "$log_tool" zero-bad "$card" "$work/zeroed.img" "$bad" || exit 1

# serve NAME: mounts the failing medium on $work/NAME.mnt, its read log in $work/NAME.log
serve() {
  local mnt=$work/$1.mnt
  mkdir "$mnt"
  cleanup_hooks+=("fusermount3 -u '$mnt' 2>/dev/null")
  "$medium_tool" "$card" "$mnt" --bad "$bad" --delay-ms 5 --log "$work/$1.log"
}
unserve() { fusermount3 -u "$work/$1.mnt"; }

ddrescue_run() {  # ddrescue_run NAME: ddrescue's copy in $work/NAME.img, its mapfile NAME.map
  serve "$1" || { fail "$1: mounting the failing medium"; return 1; }
  local status=0
  python3 "$log_tool" timed "$work/$1.times" \
    ddrescue "$work/$1.mnt/medium" "$work/$1.img" "$work/$1.map" > "$work/$1.out" 2>&1 || status=$?
  unserve "$1"
  [ "$status" -eq 0 ] || { fail "$1: ddrescue exits with 0 (exit $status)"; cat "$work/$1.out"; return 1; }
  python3 "$log_tool" measure "$work/$1.log" "$work/$1.times" "$size" "$bad" "$work/$1.measures" ||
    { fail "$1: the read log"; return 1; }
}

# recover NAME SOURCE ARGS...: korvid-cli into $work/NAME, JSON in NAME.json; SOURCE "medium"
# is a fresh mount of the failing medium, whose read log goes to NAME.log and measures to
# NAME.measures.
recover() {
  local name=$1 source=$2 status=0
  shift 2
  mkdir "$work/$name"
  if [ "$source" = medium ]; then
    serve "$name" || { fail "$name: mounting the failing medium"; return 1; }
    source=$work/$name.mnt/medium
  fi
  python3 "$log_tool" timed "$work/$name.times" "$cli" recover --source "$source" --sample "$sample" \
    --output "$work/$name" --json --overwrite --quiet "$@" > "$work/$name.json" 2> "$work/$name.err" ||
    status=$?
  if [ -d "$work/$name.mnt" ]; then
    unserve "$name"
    python3 "$log_tool" measure "$work/$name.log" "$work/$name.times" "$size" "$bad" "$work/$name.measures" ||
      fail "$name: the read log"
  fi
  [ -n "$bench" ] && return "$status"
  check "$name: korvid-cli exits with 0" test "$status" -eq 0
  [ "$status" -eq 0 ] || { head -5 "$work/$name.err"; return 1; }
}

if [ -n "$bench" ]; then
  ddrescue_run ddrescue && recover korvid medium || exit 1
  echo "96 MiB card, 1 MiB damaged stretch and 200 single bad sectors, 5 ms per failed read"
  python3 "$log_tool" table korvid "$work/korvid.measures" ddrescue "$work/ddrescue.measures"
  exit 0
fi

# The medium itself: ddrescue's copy is the image with the bad sectors zeroed, and its mapfile
# calls exactly them bad.
if ddrescue_run ddrescue; then
  check "medium: ddrescue's copy is the card with the bad sectors zeroed" cmp -s "$work/ddrescue.img" "$work/zeroed.img"
  check "medium: ddrescue's mapfile marks the bad sectors bad, and nothing else" python3 -c '
import sys
sys.path.insert(0, sys.argv[1])
import failing_log
bad = []
for line in open(sys.argv[2]):
    parts = line.split()
    # data lines: position, size, status; the status line has no size
    if len(parts) == 3 and parts[1].startswith("0x") and parts[2] != "+":
        start, length = int(parts[0], 16), int(parts[1], 16)
        bad.append([start, start + length])
sys.exit(bad != failing_log.to_ranges(failing_log.read_bad(sys.argv[3])))' \
    "$(dirname "$log_tool")" "$work/ddrescue.map" "$bad"
fi

recover zeroed "$work/zeroed.img"
check "zeroed: korvid-cli finds recordings on the card" test -n "$(ls -A "$work/zeroed")"

# The default: every readable byte comes back, as soon as and with no more tries than ddrescue.
if recover korvid medium; then
  tally korvid python3 "$log_tool" same-files "files as from the card with the bad sectors zeroed" \
    "$work/korvid" "$work/zeroed"
  tally korvid python3 "$log_tool" ranges unreadable "$work/korvid.json" "$work/korvid.log" "$size" "$bad"
fi
[ -f "$work/korvid.measures" ] && [ -f "$work/ddrescue.measures" ] &&
  tally "korvid vs ddrescue" python3 "$log_tool" compare "$work/korvid.measures" "$work/ddrescue.measures" 1.5

# First pass only: nothing skipped or failed is read again, and what was read is in the files.
for option in max-bad-time retry-passes; do
  name=$option-0
  recover "$name" medium "--$option" 0 || continue
  tally "$name" python3 "$log_tool" first-pass "first pass only" "$work/$name.log" "$size"
  tally "$name" python3 "$log_tool" ranges unreadable "$work/$name.json" "$work/$name.log" "$size"
  python3 "$log_tool" zero-report "$card" "$work/$name.img" "$work/$name.json" &&
    recover "$name-zeroed" "$work/$name.img" &&
    tally "$name" python3 "$log_tool" same-files "files as from the card with its unreadable ranges zeroed" \
      "$work/$name" "$work/$name-zeroed"
done

# Resume: a run on a slow disk (4 ms a read, no bad sector) killed with SIGKILL at 30, 60 and 90 %
# of its scan, and once its scan has ended and it writes its files, then run again with --resume,
# writes the files of an uninterrupted run, and its scan reads no chunk before where the killed
# run's progress file says its first pass stood.
: > "$work/none.txt"
recover whole "$card"
for percent in 30 60 90 writing; do
  name=resume-$percent mnt=$work/resume-$percent.mnt
  mkdir "$mnt" "$work/$name"
  cleanup_hooks+=("fusermount3 -u '$mnt' 2>/dev/null")
  "$medium_tool" "$card" "$mnt" --bad "$work/none.txt" --delay-ms 0 --read-delay-us 4000 --log "$work/$name.log" ||
    { fail "$name: mounting the slow medium"; continue; }
  "$cli" recover --source "$mnt/medium" --sample "$sample" --output "$work/$name" --json --quiet \
    > /dev/null 2> "$work/$name.err" &
  pid=$!
  # Killed once its chunk reads reach the share of the medium, or once it has begun its files.
  until if [ "$percent" = writing ]; then compgen -G "$work/$name/*.AVI" >/dev/null; else python3 -c '
import sys
size, share = int(sys.argv[2]), int(sys.argv[3])
reach = max((int(o) + int(n) for _, o, n, _ in (l.split() for l in open(sys.argv[1])) if int(n) == 262144), default=0)
sys.exit(0 if reach * 100 >= size * share else 1)' "$work/$name.log" "$size" "$percent" 2>/dev/null; fi; do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  check "$name: the killed run left its progress file" test -f "$work/$name/korvid-progress.map"
  [ "$percent" = writing ] &&
    check "$name: the killed run had ended its scan" grep -q "^# korvid:.* complete 1 " "$work/$name/korvid-progress.map"
  saved=$(awk '!/^#/ { print $1; exit }' "$work/$name/korvid-progress.map" 2>/dev/null)
  before=$(wc -l < "$work/$name.log")
  status=0
  "$cli" recover --source "$mnt/medium" --sample "$sample" --output "$work/$name" --json --quiet --resume \
    > "$work/$name.json" 2>> "$work/$name.err" || status=$?
  fusermount3 -u "$mnt"
  check "$name: the resumed run exits with 0" test "$status" -eq 0
  [ "$status" -eq 0 ] || head -5 "$work/$name.err"
  tally "$name" python3 "$log_tool" same-files "files as from an uninterrupted run" "$work/$name" "$work/whole"
  check "$name: the resumed scan reads no chunk before $saved, where the killed one stood" python3 -c '
import sys
saved, before = int(sys.argv[2], 0), int(sys.argv[3])
lines = open(sys.argv[1]).read().split("\n")[before:]
early = [l for l in lines if l and int(l.split()[2]) == 262144 and int(l.split()[1]) < saved]
print(f"     the killed run stood at {saved} of {sys.argv[4]} bytes; {len(early)} chunks read again")
sys.exit(1 if early or saved == 0 else 0)' "$work/$name.log" "${saved:-0}" "$before" "$size"
  check "$name: no progress file is left once the files are written" test ! -e "$work/$name/korvid-progress.map"
done

python3 "$log_tool" table korvid "$work/korvid.measures" ddrescue "$work/ddrescue.measures" 2>/dev/null |
  sed 's/^/     /'
finish
