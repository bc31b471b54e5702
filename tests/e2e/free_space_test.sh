#!/usr/bin/env bash
# The free-space mode on a FAT32 image: recordings that were deleted come back, a recording that
# is still on the file system does not, and only free clusters are read. By default each deleted
# recording comes back in a file of its own with its frames byte for byte behind a header that
# describes them; with --plain as the sample's header and the recording's chunks, byte for byte.
set -uo pipefail
cli=${1:?usage: free_space_test.sh KORVID_CLI}
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

rec=$work/rec
mkdir "$rec"
record "$rec/e2e-free-space-sample.avi" testsrc 1 mjpeg
record "$rec/gone1.avi" testsrc 3 mjpeg
record "$rec/gone2.avi" smptebars 2 mjpeg
record "$rec/live.avi" testsrc2 3 mjpeg

fat=$work/card.img
truncate -s 48M "$fat"
mkfs.vfat -F 32 -n CARD "$fat" >/dev/null
mcopy -i "$fat" "$rec/gone1.avi" ::/GONE1.AVI
mcopy -i "$fat" "$rec/live.avi" ::/LIVE.AVI
mcopy -i "$fat" "$rec/gone2.avi" ::/GONE2.AVI
python3 "$tool" fat-manifest "$fat" "$work/deleted.manifest" GONE1.AVI="$rec/gone1.avi" GONE2.AVI="$rec/gone2.avi"
python3 "$tool" fat-manifest "$fat" "$work/live.manifest" LIVE.AVI="$rec/live.avi"
mdel -i "$fat" ::/GONE1.AVI ::/GONE2.AVI
check "the card keeps only the live recording" test "$(mdir -b -i "$fat" ::/)" = "::/LIVE.AVI"

free_space() {  # free_space NAME OPTION...: korvid-cli --mode free-space into $work/NAME, JSON in $work/NAME.json
  local name=$1 code=0
  shift
  mkdir "$work/$name"
  "$cli" recover --mode free-space --source "$fat" --sample "$rec/e2e-free-space-sample.avi" \
    --output "$work/$name" --json "$@" > "$work/$name.json" 2> "$work/$name.err" || code=$?
  check "$name: free-space recovery exits with 0" test "$code" -eq 0
  check "$name: it tells how much free space there is" grep -q "^free space: " "$work/$name.err"
}

# checked NAME PLAIN: the checks of a free-space run; PLAIN is 1 when the files are plain copies
checked() {
  tally "$1" python3 - "$tool" "$work/$1.json" "$rec/e2e-free-space-sample.avi" "$work/$1" \
    "$work/deleted.manifest" "$work/live.manifest" "$2" <<'PY'
import json, os, sys
sys.path.insert(0, os.path.dirname(sys.argv[1]))
import avi_tool

report = json.load(open(sys.argv[2]))
header = avi_tool.header_of(open(sys.argv[3], 'rb').read())
outdir, deleted, live = sys.argv[4], json.load(open(sys.argv[5])), json.load(open(sys.argv[6]))[0]
plain = sys.argv[7] == '1'

def check(name, ok, why=''):
    print(f'ok {name}' if ok else f'FAIL {name}: {why}')

check('only part of the card is scanned', 0 < report['bytes_scanned'] < report['source_size'],
      f'{report["bytes_scanned"]} of {report["source_size"]}')
names = sorted((n for n in os.listdir(outdir) if n != 'korvid-files.tsv'), key=lambda n: (len(n), n))
check('one file per deleted recording', names == [f'{i}.AVI' for i in range(1, len(deleted) + 1)], names)
for i, e in enumerate(deleted, 1):
    data = open(e['clip'], 'rb').read()
    info = avi_tool.chunk_info(e['clip'])
    path = os.path.join(outdir, f'{i}.AVI')
    got = open(path, 'rb').read() if os.path.exists(path) else b''
    clip = os.path.basename(e['clip'])
    if plain:
        check(f'{i}.AVI is {clip}, byte for byte', got == header + data[info['first']:info['end']],
              f'{len(got)} bytes')
    else:
        have, want = avi_tool.chunk_keys(got), avi_tool.chunk_keys(data)
        check(f'{i}.AVI holds the {len(want)} frames of {clip}, byte for byte', have == want,
              avi_tool.first_difference(have, want))
        entry = next((f for f in report['files'] if f['path'].endswith(f'/{i}.AVI')), {})
        check(f'{i}.AVI: the report says it was repaired', entry.get('repaired') is True,
              f'repaired={entry.get("repaired")!r}')
    errors = avi_tool.decode_errors(path) if got else 'missing'
    check(f'{i}.AVI decodes without errors', not errors, errors.splitlines()[0] if errors else '')
live_end = live['offset'] + live['length']
overlap = [f['path'] for f in report['files'] if f['source_start'] < live_end and live['offset'] < f['source_end']]
check('nothing is recovered from the live recording', not overlap, overlap)
PY
}

free_space deleted
checked deleted 0
tally deleted python3 "$tool" repaired "$work/deleted.json"
free_space deleted-plain --plain
checked deleted-plain 1

# A source without a file system whose free space can be read is scanned whole, and says why.
head -c $((4 * 1048576)) /dev/zero > "$work/plain.img"
dd if="$rec/gone1.avi" of="$work/plain.img" bs=4096 seek=100 conv=notrunc status=none
mkdir "$work/plain"
code=0
"$cli" recover --mode free-space --source "$work/plain.img" --sample "$rec/e2e-free-space-sample.avi" \
  --output "$work/plain" --json > "$work/plain.json" 2> "$work/plain.err" || code=$?
check "no file system: exit 0" test "$code" -eq 0
check "no file system: the user is told why" grep -q "scanning the whole source" "$work/plain.err"
check "no file system: the whole source is scanned and the recording found" python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
sys.exit(not (d["bytes_scanned"] == d["source_size"] and d["files_written"] == 1))' "$work/plain.json"

finish
