#!/usr/bin/env bash
# Measures korvid-cli's container mode: (a) its scan speed on a 2 GiB image of random bytes
# holding MP4, MOV, 3GP and MXF recordings, against cat of the same page-cached image taken in
# the same run (target: 0.7 x cat); (b) korvid and PhotoRec side by side on that image and on
# the cards of the e2e.container test (tests/e2e/container_test.sh builds them): files back byte
# for byte, files decoding clean, frames of the cut-off MP4s rebuilt, seconds. Prints a table.
#
#   bench/container_bench.sh [WORKDIR]
#
# WORKDIR holds the image (2 GiB; 4 GiB free is asked for), the cards and container_results.json;
# without it a folder under /var/tmp is used and removed at the end. KORVID_CLI overrides the
# program (default: build/bin/korvid-cli). Needs what the e2e.container test needs, and photorec.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cli=${KORVID_CLI:-$repo/build/bin/korvid-cli}
if [[ ! -x $cli ]]; then
  echo "bench: $cli is not an executable (build korvid-cli, or set KORVID_CLI)" >&2
  exit 2
fi
cli=$(realpath "$cli")
command -v photorec >/dev/null || { echo "bench: photorec is missing (apt-get install testdisk)" >&2; exit 2; }

keep=1
if [[ $# -ge 1 ]]; then
  work=$1
  mkdir -p "$work"
else
  work=$(mktemp -d /var/tmp/korvid-container-bench.XXXXXX)
  keep=0
fi
work=$(realpath "$work")
cleanup() {
  if [[ $keep == 0 ]]; then
    rm -rf -- "$work"
  else
    rm -rf -- "$work/scan.img" "$work/scan-out" "$work/bench-out" "$work/bench-photorec"
  fi
}
trap cleanup EXIT

free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if ((free_kib < 4 * 1024 * 1024)); then
  echo "bench: $work has $((free_kib / 1024)) MiB free; 4 GiB are needed" >&2
  exit 2
fi

echo "korvid-cli: $cli"
echo "workdir:    $work"
echo
echo "== The e2e.container cards (their checks are the test's; here they only build the cards) =="
rm -rf -- "$work/cards"
KORVID_CONTAINER_KEEP=$work/cards KORVID_CONTAINER_RANDOM_MIB=0 \
  bash "$repo/tests/e2e/container_test.sh" "$cli" | tail -1 || true

python3 - "$cli" "$work" "$repo/tests/e2e" <<'PY'
import json, os, random, shutil, statistics, subprocess, sys, time

cli, work, e2e = sys.argv[1:4]
sys.path.insert(0, e2e)
import container_tool as ct  # noqa: E402

GIB, MIB, BLOCK = 1 << 30, 1 << 20, 16 << 20
IMAGE_SIZE = 2 * GIB
RUNS = 5  # timed runs of cat and of korvid, alternated; the best counts
TARGET = 0.7
# The recordings laid into the image: KIND, SOURCE, SECONDS.
LAID = [('mp4', 'testsrc2', 6), ('mp4', 'mandelbrot', 5), ('mp4-h265', 'life', 4), ('mov', 'testsrc', 5),
        ('mov', 'cellauto', 4), ('3gp', 'rgbtestsrc', 4), ('mxf', 'smptebars', 4), ('mxf', 'sierpinski', 3)]
rng = random.Random(20261209)


def log(text=''):
    print(text, flush=True)


def cat_seconds(path):
    with open(os.devnull, 'wb') as null:
        start = time.perf_counter()
        subprocess.run(['cat', path], stdout=null, check=True)
        return time.perf_counter() - start


def korvid(image, sample, out):
    """One container-mode run: (wall seconds, its JSON summary)."""
    shutil.rmtree(out, ignore_errors=True)
    os.mkdir(out)
    os.sync()
    start = time.perf_counter()
    proc = subprocess.run([cli, 'recover', '--source', image, '--sample', sample, '--output', out,
                           '--mode', 'container', '--json', '--quiet'], capture_output=True, text=True)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit(f'korvid-cli failed ({proc.returncode}): {proc.stderr.strip()[:500]}')
    return wall, json.loads(proc.stdout)


def side_by_side(name, image, sample, manifest, dest):
    """korvid's and PhotoRec's figures on one medium (container_tool score and peer)."""
    out, report = os.path.join(dest, 'bench-out'), os.path.join(dest, 'bench-report.json')
    wall, summary = korvid(image, sample, out)
    with open(report, 'w') as f:
        json.dump(summary, f)
    row = {'name': name}
    for who, cmd in (('korvid', ['score', manifest, report, out]),
                     ('photorec', ['peer', image, os.path.join(dest, 'bench-photorec'), manifest])):
        fig = os.path.join(dest, f'bench-{who}.json')
        subprocess.run([sys.executable, os.path.join(e2e, 'container_tool.py'), *cmd, '--json', fig],
                       stdout=subprocess.DEVNULL)
        with open(fig) as f:
            row[who] = json.load(f)
    row['korvid']['seconds'] = wall
    return row


# ------------------------------------------------------------------ (a) scan speed
log('\n== Container scan speed ==')
load = os.getloadavg()[0]
if load > 0.5:
    log(f'  note: load average {load:.2f} before the timed runs; other work on the machine lowers '
        "korvid's figure more than cat's")
rec = os.path.join(work, 'recordings')
os.makedirs(rec, exist_ok=True)
sample = os.path.join(rec, 'korvid-bench-container-sample.mp4')
ct.record('mp4', 'smptebars', 2, 0, sample)
clips = []
for i, (kind, source, seconds) in enumerate(LAID, 1):
    ext = kind.split('-')[0]
    path = os.path.join(rec, f'laid{i}-{source}.{ext}')
    ct.record(kind, source, seconds, i, path)
    clips.append(path)
image = os.path.join(work, 'scan.img')
start = time.perf_counter()
# Each recording at a 4 KiB boundary of its own stretch of the image, random bytes around.
stretch = IMAGE_SIZE // len(clips)
places = []
for i, path in enumerate(clips):
    size = os.path.getsize(path)
    places.append((i * stretch + rng.randrange(0, stretch - size) // 4096 * 4096, path))
with open(image, 'wb') as f:
    for _ in range(IMAGE_SIZE // BLOCK):
        f.write(os.urandom(BLOCK))
    entries = []
    for at, path in places:
        data = open(path, 'rb').read()
        f.seek(at)
        f.write(data)
        entries.append({'name': os.path.basename(path), 'file': path, 'md5': ct.md5_of(path), 'size': len(data),
                        'offset': at, 'live': False, 'kind': ct.kind_of(data)})
os.sync()
manifest = os.path.join(work, 'scan-manifest.json')
with open(manifest, 'w') as f:
    json.dump({'image_size': IMAGE_SIZE, 'files': entries}, f, indent=1)
log(f'  generated in {time.perf_counter() - start:.1f} s: {len(clips)} recordings '
    f'({sum(e["size"] for e in entries) / MIB:.1f} MiB) in {IMAGE_SIZE / GIB:.0f} GiB of random bytes')
cat_seconds(image)  # into the page cache
out = os.path.join(work, 'scan-out')
cats, runs = [], []
for _ in range(RUNS):  # alternated, so that a passing load weighs on both alike
    cats.append(cat_seconds(image))
    runs.append(korvid(image, sample, out))
walls = [w for w, _ in runs]
scans = [s.get('scan_seconds') or w for w, s in runs]
cat_best, wall_best, scan_best = min(cats), min(walls), min(scans)
found = len(runs[0][1].get('files') or [])
scan = {'image_bytes': IMAGE_SIZE, 'recordings_laid': len(clips), 'files_found': found,
        'baseline': 'cat IMAGE > /dev/null, image in the page cache',
        'cat_seconds': cats, 'korvid_wall_seconds': walls, 'korvid_scan_seconds': scans,
        'ratio': cat_best / wall_best, 'scan_ratio': cat_best / scan_best, 'target': TARGET,
        'pass': cat_best / wall_best >= TARGET}
gb = lambda s: f'{IMAGE_SIZE / s / 1e9:.2f} GB/s'
log(f'  cat > /dev/null     best {cat_best:.3f} s ({gb(cat_best)}), median {statistics.median(cats):.3f} s')
log(f'  korvid container    best {wall_best:.3f} s ({gb(wall_best)}) over the process, median '
    f'{statistics.median(walls):.3f} s; its scan alone best {scan_best:.3f} s ({gb(scan_best)})')
log(f'  korvid found {found} files of the {len(clips)} laid')

# ------------------------------------------------------------------ (b) side by side with PhotoRec
log('\n== korvid and PhotoRec side by side ==')
rows = [side_by_side('2 GiB scan image', image, sample, manifest, work)]
rows[0]['korvid']['seconds'] = wall_best
cards = os.path.join(work, 'cards')
for name in sorted(os.listdir(cards)) if os.path.isdir(cards) else []:
    d = os.path.join(cards, name)
    samples = [p for p in os.listdir(d) if p.startswith('e2e-container-') and p.lower().endswith(('.mp4', '.mxf'))]
    if os.path.exists(os.path.join(d, 'manifest.json')) and samples:
        rows.append(side_by_side(name, os.path.join(d, 'card.img'), os.path.join(d, samples[0]),
                                 os.path.join(d, 'manifest.json'), d))


def cell(fig):
    cuts = fig['cuts'].values()
    frames = (f"{sum(c['video'] for c in cuts)}/{sum(c['want_video'] for c in cuts)}"
              if cuts else '-')
    return [f"{fig['byte_for_byte']}/{fig['whole']}", f"{fig['clean']}/{fig['outputs']}", frames,
            str(len(fig['unmatched'])), f"{fig['seconds']:.1f}"]


table = [['medium', 'tool', 'byte for byte', 'decode clean', 'cut frames', 'from nothing', 'seconds']]
table.append(['2 GiB image', 'cat', '', '', '', '', f'{cat_best:.1f}'])
for r in rows:
    for who in ('korvid', 'photorec'):
        table.append([r['name'] if who == 'korvid' else '', who] + cell(r[who]))
widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
log('\n== Results ==')
log(f"  container scan speed: {scan['ratio']:.2f} x cat over the whole process "
    f"({scan['scan_ratio']:.2f} x over its scan alone); target >= {TARGET:.2f}: "
    f"{'pass' if scan['pass'] else 'FAIL'}")
for row in table:
    log('  ' + '  '.join(c.ljust(widths[i]) for i, c in enumerate(row)).rstrip())
log("""
  byte for byte: whole files whose md5 an output file has, of those on the medium; decode clean:
  outputs that ffmpeg -v error decodes without a word, of all outputs (PhotoRec's mov/mp4/3gp/
  mxf/mdat files); cut frames: video frames of the cut-off MP4s' cuts that an output holds
  (rebuilt files); from nothing: outputs that are no file of the medium; seconds: wall time of
  one run (korvid's on the 2 GiB image: the best of its timed runs).""")
with open(os.path.join(work, 'container_results.json'), 'w') as f:
    json.dump({'korvid_cli': cli, 'cpus': os.cpu_count(), 'load_average_before': load, 'scan': scan,
               'side_by_side': rows}, f, indent=1)
log(f"\n  results: {os.path.join(work, 'container_results.json')}")
PY
