#!/usr/bin/env bash
# No false joins: recordings with sound, written three at a time in interleaved runs of 16-256
# KiB of 4 KiB clusters, lie inside random bytes with no file system (so the cluster grid must be
# inferred). Every chunk of every recovered file must be one of the recordings' own, and no file
# may mix two recordings: random data never joins a recording.
#
#   random_test.sh KORVID_CLI      KORVID_RANDOM_MIB: the size of the medium (default 512)
set -uo pipefail
cli=${1:?usage: random_test.sh KORVID_CLI}
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"
mib=${KORVID_RANDOM_MIB:-512}

rec=$work/rec
mkdir "$rec"
with_sound() {  # with_sound OUT SOURCE SECONDS FREQUENCY
  ffmpeg -nostdin -v error -y -f lavfi -i "$2=size=320x240:rate=25" \
    -f lavfi -i "sine=frequency=$4:sample_rate=22050" -t "$3" \
    -c:v mjpeg -q:v 5 -c:a pcm_s16le -ac 1 "$1"
}
with_sound "$rec/e2e-random-sample.avi" testsrc 1 200
with_sound "$rec/r1.avi" testsrc2 6 300
with_sound "$rec/r2.avi" mandelbrot 5 500
with_sound "$rec/r3.avi" testsrc 7 700

image=$work/random.img
python3 - "$image" "$mib" "$rec/r1.avi" "$rec/r2.avi" "$rec/r3.avi" <<'PY' || fail "laying the recordings into random bytes"
import os, random, sys
image, mib, clips = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
size, cluster = mib << 20, 4096
rnd = random.Random(5)
with open(image, 'wb') as out:
    left = size
    while left:
        n = min(left, 64 << 20)
        out.write(os.urandom(n))
        left -= n
files = [open(c, 'rb').read() for c in clips]
# The recordings take turns, each run of 16-256 KiB, from a cluster a third of the way in.
at, done = (size // 3) // cluster * cluster + 1536, [0] * len(files)
with open(image, 'r+b') as out:
    while any(d < len(f) for d, f in zip(done, files)):
        for i, f in enumerate(files):
            if done[i] >= len(f):
                continue
            run = rnd.randrange(16384, 262145) // cluster * cluster
            out.seek(at)
            out.write(f[done[i]:done[i] + run])
            done[i] += run
            at += run
PY

mkdir "$work/out"
status=0
"$cli" recover --source "$image" --sample "$rec/e2e-random-sample.avi" --output "$work/out" --json --quiet \
  > "$work/report.json" 2> "$work/err" || status=$?
check "korvid-cli exits with 0" test "$status" -eq 0
[ "$status" -eq 0 ] || cat "$work/err"

tally "random ${mib} MiB" python3 - "$work/report.json" "$rec/r1.avi" "$rec/r2.avi" "$rec/r3.avi" <<'PY'
import hashlib, json, struct, sys

def chunks(data, start):
    """(id, payload hash) of the data chunks of a movi list from `start` on, up to idx1."""
    out, pos = [], start
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack_from('<I', data, pos + 4)[0]
        if cid == b'LIST':
            pos += 12
            continue
        if cid[2:] not in (b'dc', b'db', b'wb'):
            break
        out.append((cid, hashlib.md5(data[pos + 8:pos + 8 + size]).hexdigest()))
        pos += 8 + size + (size & 1)
    return out

report = json.load(open(sys.argv[1]))
owner, total = {}, 0
for i, clip in enumerate(sys.argv[2:]):
    data = open(clip, 'rb').read()
    for _, h in chunks(data, data.find(b'movi') + 4):
        owner.setdefault(h, set()).add(i)
        total += 1
stray, mixed, found = 0, 0, set()
for f in report['files']:
    data = open(f['path'], 'rb').read()
    recs = set()
    for _, h in chunks(data, data.find(b'movi') + 4):
        if h not in owner:
            stray += 1
        elif len(owner[h]) == 1:
            recs |= owner[h]
            found.add(h)
    mixed += len(recs) > 1
r = report['reassembly'] or {}
print(f"{len(report['files'])} files, {len(found)} of {total} chunks back; grid {r.get('geometry')} "
      f"{r.get('cluster_size')}, {r.get('joined_recordings')} recordings joined from {r.get('pieces_joined')} pieces")
print(f"{'ok' if stray == 0 else 'FAIL'} every chunk written is a recording's own" + ("" if stray == 0 else f": {stray} are not"))
print(f"{'ok' if mixed == 0 else 'FAIL'} no file mixes two recordings" + ("" if mixed == 0 else f": {mixed} do"))
print(f"{'ok' if r.get('cluster_size') == 4096 else 'FAIL'} the 4 KiB cluster grid is inferred from the pieces")
print(f"{'ok' if len(found) >= 0.9 * total else 'FAIL'} 90% of the chunks come back")
PY
finish
