#!/usr/bin/env python3
"""Recordings, cards and measures for the end-to-end test of korvid-cli's container mode.

MP4, MOV, 3GP, M4V and MXF recordings made by ffmpeg are put on FAT32 (mtools) and exFAT
(exfat-fuse) card images, then deleted or the card quick-formatted; what a recovery gives back is
measured against the recordings themselves. Everything here is worked out independently of
korvid: the kinds from the files' own first bytes, where a file lies by searching the image for
it, the frames of a cut-off recording from ffprobe's packets of the original.

  record KIND SOURCE SECONDS INDEX OUT
        a recording of KIND (see KINDS) of the lavfi video SOURCE; INDEX picks the sound's tone
        and the seed of the sources that draw at random
  cutoff ORIG OUT FRACTION [--zero-size]
        ORIG (an MP4 whose moov follows its mdat) cut at FRACTION of its length, before the
        moov; --zero-size also sets the mdat's size field to 0. Prints the video frames and
        sound packets whose bytes lie wholly in the cut; OUT.json keeps them with their hashes
  card IMAGE FS WIPE MANIFEST FILE...
        an image of FS (fat32, exfat) with the FILEs copied in in order, then WIPE: delete (every
        FILE not given as keep:FILE), format (quick format) or none. Prints "ok"/"FAIL" lines;
        MANIFEST (JSON) holds each file's name, md5, size, kind and offset in the image, and for
        a cut-off file (one with a cutoff OUT.json beside it) the frames of its cut
  score MANIFEST REPORT OUTDIR [--json FIGURES]
        measures korvid-cli's JSON REPORT and the files in OUTDIR against MANIFEST; prints
        "ok"/"FAIL" lines and exits 1 on a FAIL
  peer IMAGE OUTDIR MANIFEST [--json FIGURES]
        runs PhotoRec (mov and mxf families, whole space) on IMAGE into OUTDIR and prints the same
        figures for what it gives back; no pass or fail
  selftest WORKDIR
        the measures of cutoff and score on recordings whose figures are known
  scoretest MANIFEST WORKDIR
        score on the outputs a faultless recovery of MANIFEST's card would give, then on those
        outputs with one fault each: every fault must fail the checks it is about
"""
import collections
import glob
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fragmented_tool import Mount, fsck  # noqa: E402  (the same FUSE mounting as the fragmented cards)

# A rebuilt recording must hold this share of what its cut holds.
LEVELS = {'video': 95.0, 'audio': 90.0}
MXF_KEY = bytes.fromhex('060e2b34020501010d010201')  # an MXF partition pack's key, up to its kind
KINDS = {
    'mp4': {'format': 'mp4', 'size': '320x240', 'rate': 25,
            'video': ['-c:v', 'libx264', '-preset', 'veryfast', '-crf', '23', '-g', '25', '-pix_fmt', 'yuv420p'],
            'audio': ['-c:a', 'aac', '-b:a', '64k', '-ar', '44100', '-ac', '2']},
    'mp4-h265': {'format': 'mp4', 'size': '320x240', 'rate': 25,
                 'video': ['-c:v', 'libx265', '-preset', 'veryfast', '-pix_fmt', 'yuv420p',
                           '-x265-params', 'log-level=error:keyint=25:frame-threads=1:pools=none'],
                 'audio': ['-c:a', 'aac', '-b:a', '64k', '-ar', '44100', '-ac', '2']},
    'm4v': {'format': 'ipod', 'size': '320x240', 'rate': 25,
            'video': ['-c:v', 'libx264', '-preset', 'veryfast', '-crf', '23', '-g', '25', '-pix_fmt', 'yuv420p'],
            'audio': ['-c:a', 'aac', '-b:a', '64k', '-ar', '44100', '-ac', '2']},
    'mov': {'format': 'mov', 'size': '320x240', 'rate': 25,
            'video': ['-c:v', 'libx264', '-preset', 'veryfast', '-crf', '23', '-g', '25', '-pix_fmt', 'yuv420p'],
            'audio': ['-c:a', 'pcm_s16le', '-ar', '48000', '-ac', '2']},
    '3gp': {'format': '3gp', 'size': '176x144', 'rate': 15,
            'video': ['-c:v', 'h263', '-q:v', '5', '-g', '15'],
            'audio': ['-c:a', 'aac', '-b:a', '32k', '-ar', '16000', '-ac', '1']},
    '3gp-h264': {'format': '3gp', 'size': '176x144', 'rate': 15,
                 'video': ['-c:v', 'libx264', '-preset', 'veryfast', '-crf', '25', '-g', '15', '-pix_fmt', 'yuv420p',
                           '-profile:v', 'baseline'],
                 'audio': ['-c:a', 'aac', '-b:a', '32k', '-ar', '16000', '-ac', '1']},
    # ffmpeg's generic MXF muxer takes MPEG-2 at broadcast frame rates; PCM at 48 kHz only.
    'mxf': {'format': 'mxf', 'size': '352x288', 'rate': 25,
            'video': ['-c:v', 'mpeg2video', '-b:v', '2M', '-g', '12'],
            'audio': ['-c:a', 'pcm_s16le', '-ar', '48000', '-ac', '2']},
}
# An old QuickTime file: a 'mov' recording with its ftyp box taken out.
OLD_QUICKTIME = 'mov-old'
SEEDED = {'cellauto': 'random_seed', 'sierpinski': 'seed', 'life': 'random_seed'}
EXTENSIONS = {'MP4', 'MOV', '3GP', 'M4V', 'MXF'}
PEER_EXTENSIONS = ('.mp4', '.mov', '.3gp', '.3g2', '.m4v', '.mxf', '.mdat')


def fail_exit(message):
    print(f'FAIL {message}')
    sys.exit(1)


FAILED = []  # the names of the checks that failed in this run


def line(name, ok, why=''):
    print(f'ok {name}' if ok else f'FAIL {name}: {why}')
    if not ok:
        FAILED.append(name)
    return ok


def md5_of(path):
    h = hashlib.md5()
    with open(path, 'rb') as f:
        for block in iter(lambda: f.read(1 << 20), b''):
            h.update(block)
    return h.hexdigest()


# ---------------------------------------------------------------------------------------------
# ISO media boxes


def boxes(data, start, end):
    """(type, offset, header length, size) of the boxes in data[start:end]; raises ValueError
    where a size does not fit."""
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack_from('>I4s', data, pos)
        head = 8
        if size == 1:
            size, head = struct.unpack_from('>Q', data, pos + 8)[0], 16
        elif size == 0:
            size = end - pos
        if size < head or pos + size > end:
            raise ValueError(f'box {kind!r} at {pos} of {size} bytes does not fit in {end}')
        yield kind, pos, head, size
        pos += size


def top_boxes(data):
    return list(boxes(data, 0, len(data)))


def chunk_offset_tables(data, start, end):
    """(type, offset) of the stco and co64 boxes under the container boxes in data[start:end]."""
    out = []
    for kind, pos, head, size in boxes(data, start, end):
        if kind in (b'moov', b'trak', b'mdia', b'minf', b'stbl'):
            out += chunk_offset_tables(data, pos + head, pos + size)
        elif kind in (b'stco', b'co64'):
            out.append((kind, pos))
    return out


def kind_of(data):
    """The kind a file's own first bytes give: MXF by its partition key, MOV without an ftyp,
    else by the ftyp's major brand."""
    if data[:12] == MXF_KEY:
        return 'MXF'
    if data[4:8] != b'ftyp':
        return 'MOV'
    brand = data[8:12]
    if brand == b'qt  ':
        return 'MOV'
    if brand[:3] in (b'3gp', b'3g2'):
        return '3GP'
    if brand[:3] == b'M4V':
        return 'M4V'
    return 'MP4'


def strip_ftyp(path, out):
    """path without its leading ftyp box, every chunk offset moved back by the box's size."""
    data = bytearray(open(path, 'rb').read())
    top = top_boxes(data)
    if top[0][0] != b'ftyp':
        fail_exit(f'{path} does not begin with an ftyp box')
    cut = top[0][3]
    moov = [b for b in top if b[0] == b'moov']
    if len(moov) != 1:
        fail_exit(f'{path}: {len(moov)} moov boxes')
    tables = chunk_offset_tables(data, moov[0][1], moov[0][1] + moov[0][3])
    if not tables:
        fail_exit(f'{path}: no chunk offset table')
    for kind, pos in tables:
        count = struct.unpack_from('>I', data, pos + 12)[0]
        width, fmt = (8, '>Q') if kind == b'co64' else (4, '>I')
        for i in range(count):
            at = pos + 16 + i * width
            struct.pack_into(fmt, data, at, struct.unpack_from(fmt, data, at)[0] - cut)
    with open(out, 'wb') as f:
        f.write(data[cut:])


# ---------------------------------------------------------------------------------------------
# Recordings


def decode_problem(path):
    """The first line ffmpeg prints decoding every stream of path ('' when clean)."""
    out = subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', '-i', path, '-map', '0', '-f', 'null', '-'],
                         capture_output=True, text=True)
    text = (out.stdout + out.stderr).strip()
    return text.splitlines()[0][:160] if text else ('' if out.returncode == 0 else f'exit {out.returncode}')


def packets(path):
    """(codec type, stream index, pos, size) of every packet ffprobe reads from path."""
    out = subprocess.run(['ffprobe', '-v', 'error', '-show_entries', 'packet=codec_type,stream_index,pos,size',
                          '-of', 'json', path], capture_output=True, text=True)
    if out.returncode != 0:
        return []
    return [(p.get('codec_type'), int(p['stream_index']), int(p.get('pos', -1)), int(p['size']))
            for p in json.loads(out.stdout).get('packets', [])]


def packet_hashes(path, data=None):
    """{codec type: the hashes of its packets' payloads in the order ffprobe reads them}."""
    if data is None:
        data = open(path, 'rb').read()
    out = collections.defaultdict(list)
    for kind, _, pos, size in packets(path):
        if pos >= 0 and pos + size <= len(data):
            out[kind].append(hashlib.md5(data[pos:pos + size]).hexdigest())
    return out


def in_order(hashes, order):
    """Whether the hashes found in order (a recording's frames, in its order) come in that order."""
    where = collections.defaultdict(collections.deque)
    for i, h in enumerate(order):
        where[h].append(i)
    seen = [where[h].popleft() for h in hashes if where[h]]
    return seen == sorted(seen)


def record(kind, source, seconds, index, out):
    base = 'mov' if kind == OLD_QUICKTIME else kind
    spec = KINDS[base]
    seed = f':{SEEDED[source]}={1000 + int(index)}' if source in SEEDED else ''
    tone = 300 + 71.3 * int(index)
    rate = spec['audio'][spec['audio'].index('-ar') + 1]
    target = out + '.with-ftyp' if kind == OLD_QUICKTIME else out
    subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', '-y', '-f', 'lavfi',
                    '-i', f'{source}=size={spec["size"]}:rate={spec["rate"]}{seed}',
                    '-f', 'lavfi', '-i', f'sine=frequency={tone}:sample_rate={rate}',
                    '-t', str(seconds), *spec['video'], *spec['audio'], '-f', spec['format'], target], check=True)
    if kind == OLD_QUICKTIME:
        strip_ftyp(target, out)
        os.remove(target)
    problem = decode_problem(out)
    streams = {k for k, _, _, _ in packets(out)}
    if problem or streams != {'video', 'audio'}:
        fail_exit(f'{out} ({kind}) does not play: {problem or "streams " + str(sorted(streams))}')


# ---------------------------------------------------------------------------------------------
# Cut-off recordings


def cutoff(orig, out, fraction, zero_size):
    data = open(orig, 'rb').read()
    top = top_boxes(data)
    kinds = [b[0] for b in top]
    if kinds[0] != b'ftyp' or b'mdat' not in kinds or b'moov' not in kinds or \
            kinds.index(b'moov') < kinds.index(b'mdat'):
        fail_exit(f'{orig}: boxes {kinds}; an ftyp, then the mdat, then the moov are needed')
    _, mdat, head, _ = top[kinds.index(b'mdat')]
    moov = top[kinds.index(b'moov')][1]
    cut = int(len(data) * float(fraction))
    if not mdat + head < cut <= moov:
        fail_exit(f'{orig}: a cut at {cut} is not inside the mdat [{mdat + head}, {moov})')
    piece = bytearray(data[:cut])
    if zero_size:
        if head != 8:
            fail_exit(f'{orig}: the mdat has a 64-bit size')
        struct.pack_into('>I', piece, mdat, 0)
    with open(out, 'wb') as f:
        f.write(piece)
    want = collections.defaultdict(collections.Counter)
    total = collections.Counter()
    biggest, order = (0, 0), []
    for kind, _, pos, size in packets(orig):
        total[kind] += 1
        if pos + size <= cut:
            want[kind][hashlib.md5(data[pos:pos + size]).hexdigest()] += 1
            if kind == 'video':
                order.append(hashlib.md5(data[pos:pos + size]).hexdigest())
                biggest = max(biggest, (size, pos))
    # What tells a rebuild of this cut apart: bytes from inside its biggest frame (a frame's
    # first bytes can be alike in every recording of a camera, an encoder's SEI for one).
    size, pos = biggest
    probe = data[pos + size // 4:pos + size // 4 + min(2048, size // 2)]
    video, audio = sum(want['video'].values()), sum(want['audio'].values())
    if not video or not audio:
        fail_exit(f'{out}: the cut holds {video} video frames and {audio} sound packets')
    info = {'original': os.path.basename(orig), 'cut': cut, 'zero_size': zero_size,
            'probe': probe.hex(), 'video': video, 'audio': audio,
            'video_total': total['video'], 'audio_total': total['audio'],
            'hashes': {k: dict(v) for k, v in want.items()}, 'video_order': order}
    with open(out + '.json', 'w') as f:
        json.dump(info, f)
    print(f'{os.path.basename(out)}: {cut} of {len(data)} bytes{" (mdat size 0)" if zero_size else ""}; '
          f'{video} of {total["video"]} video frames and {audio} of {total["audio"]} sound packets '
          'lie wholly in the cut')


# ---------------------------------------------------------------------------------------------
# Cards


def mkfs(image, fs):
    cmd = ['mkfs.exfat', '-L', 'CAM'] if fs == 'exfat' else ['mkfs.fat', '--invariant', '-F', '32', '-s', '1']
    subprocess.run(cmd + [image], check=True, capture_output=True)


def fat_names(image):
    """The names of the files in a FAT32 image's root folder, as mtools lists them."""
    out = subprocess.run(['mdir', '-b', '-i', image, '::'], capture_output=True, text=True).stdout
    return sorted(os.path.basename(n.strip()).upper() for n in out.splitlines() if n.strip())


def card(image, fs, wipe, manifest_path, files):
    if fs not in ('fat32', 'exfat') or wipe not in ('delete', 'format', 'none'):
        fail_exit(f'unknown file system {fs} or wipe {wipe}')
    kept = {f[len('keep:'):] for f in files if f.startswith('keep:')}
    files = [f[len('keep:'):] if f.startswith('keep:') else f for f in files]
    names = [os.path.basename(f).upper() for f in files]
    total = sum(os.path.getsize(f) for f in files)
    # 64 MiB at least: FAT32 of 512-byte clusters has then the 65525 clusters it needs.
    with open(image, 'wb') as f:
        f.truncate(max(64 << 20, (total * 3 // 2 + (16 << 20)) >> 20 << 20))
    mkfs(image, fs)
    log = image + '.fuse.log'
    if fs == 'fat32':
        for path, name in zip(files, names):
            subprocess.run(['mcopy', '-i', image, path, f'::{name}'], check=True)
        listed = fat_names(image)
    else:
        try:
            with Mount(image, fs, log) as m:
                for path, name in zip(files, names):
                    shutil.copyfile(path, os.path.join(m.dir, name))
                listed = sorted(os.listdir(m.dir))
        except (RuntimeError, subprocess.CalledProcessError, OSError) as e:
            fail_exit(f'writing the card through FUSE: {e}')
    line('the card lists every file', listed == sorted(names), f'{listed}')
    clean, text = fsck(image, fs)
    line(f'{fs} is consistent after writing', clean, text[-300:])

    gone = [n for p, n in zip(files, names) if p not in kept]
    if wipe == 'delete' and fs == 'fat32':
        subprocess.run(['mdel', '-i', image] + [f'::{n}' for n in gone], check=True)
        left = fat_names(image)
    elif wipe == 'delete':
        try:
            with Mount(image, fs, log) as m:
                for n in gone:
                    os.remove(os.path.join(m.dir, n))
                left = sorted(os.listdir(m.dir))
        except (RuntimeError, OSError) as e:
            fail_exit(f'deleting through FUSE: {e}')
    elif wipe == 'format':
        mkfs(image, fs)
        left = []
    else:
        left = sorted(names)
    want_left = sorted(n for p, n in zip(files, names) if p in kept or wipe == 'none')
    line(f'after the {wipe} the card lists {want_left or "no file"}', left == want_left, f'{left}')
    clean, text = fsck(image, fs)
    line(f'{fs} is consistent after the {wipe}', clean, text[-300:])

    img = open(image, 'rb').read()
    entries = []
    for path, name in zip(files, names):
        data = open(path, 'rb').read()
        at = img.find(data)
        line(f'{name} lies whole and in one piece on the card after the {wipe}', at >= 0)
        line(f'{name} lies once on the card', at < 0 or img.find(data, at + 1) < 0)
        entry = {'name': name, 'file': os.path.relpath(path, os.path.dirname(os.path.abspath(manifest_path))),
                 'md5': hashlib.md5(data).hexdigest(),
                 'size': len(data), 'offset': at, 'live': path in kept}
        if os.path.exists(path + '.json'):
            entry['cut'] = json.load(open(path + '.json'))
            entry['kind'] = 'MP4'
            probe = bytes.fromhex(entry['cut']['probe'])
            at_probe = img.find(probe)
            line(f'the bytes that tell a rebuild of {name} apart lie once on the card',
                  at_probe >= 0 and img.find(probe, at_probe + 1) < 0)
        else:
            entry['kind'] = kind_of(data)
        entries.append(entry)
        print(f"{name}: {entry['kind']}{' cut off' if 'cut' in entry else ''}, {len(data)} bytes at {at}"
              f"{' (live)' if entry['live'] else ''}")
    manifest = {'fs': fs, 'wipe': wipe, 'image_size': len(img),
                'files': entries}
    with open(manifest_path, 'w') as f:
        json.dump(manifest, f, indent=1)


# ---------------------------------------------------------------------------------------------
# Measuring recovered files


def load_manifest(path):
    """A manifest, its files' paths (kept relative to it, so that a card's folder can be moved)
    made whole."""
    manifest = json.load(open(path))
    for e in manifest['files']:
        e['file'] = os.path.join(os.path.dirname(os.path.abspath(path)), e['file'])
    return manifest


def share(have, want):
    return 100.0 * have / want if want else 100.0


def rebuilt_figures(path, cut):
    """How much of a cut's video frames and sound packets the file at path holds, and whether
    its streams decode."""
    got = packet_hashes(path)
    want = {k: collections.Counter(v) for k, v in cut['hashes'].items()}
    held = {k: sum((collections.Counter(got.get(k, [])) & want[k]).values()) for k in want}
    return {'video': held.get('video', 0), 'audio': held.get('audio', 0),
            'in_order': in_order(got.get('video', []), cut['video_order']),
            'has_audio': bool(got.get('audio')), 'problem': decode_problem(path)}


def common_prefix(a, b):
    n = min(len(a), len(b))
    lo = 0
    while lo < n and a[lo:lo + 4096] == b[lo:lo + 4096]:
        lo += 4096
    while lo < n and a[lo] == b[lo]:
        lo += 1
    return lo


def match(manifest, paths):
    """Each output path's manifest entry, {path: index}: the whole file it is a byte-for-byte
    copy of, else the cut-off file whose video frames it holds the most of, else the cut-off
    file whose probe bytes it holds (a file no demuxer reads), else the whole file whose first
    64 KiB it begins with (a copy cut short or run long). Also the paths that are copies."""
    by_md5 = {e['md5']: i for i, e in enumerate(manifest['files']) if 'cut' not in e}
    cuts = [(i, e['cut']) for i, e in enumerate(manifest['files']) if 'cut' in e]
    heads = [(i, open(e['file'], 'rb').read(1 << 16)) for i, e in enumerate(manifest['files']) if 'cut' not in e]
    owner, exact = {}, set()
    for p in paths:
        digest = md5_of(p)
        if digest in by_md5:
            owner[p] = by_md5[digest]
            exact.add(p)
            continue
        data = open(p, 'rb').read()
        if cuts:
            video = collections.Counter(packet_hashes(p, data).get('video', []))
            held, i = max((sum((video & collections.Counter(c['hashes'].get('video', {}))).values()), i)
                          for i, c in cuts)
            if held:
                owner[p] = i
                continue
            probed = [i for i, c in cuts if bytes.fromhex(c['probe']) in data]
            if probed:
                owner[p] = probed[0]
                continue
        starts = [(common_prefix(data, head), i) for i, head in heads if data.startswith(head)]
        if starts:
            owner[p] = max(starts)[1]
    return owner, exact


def figures(manifest, paths):
    """What both score and peer print: the files back byte for byte, the outputs decoding clean,
    and for each cut-off file the best rebuild among the outputs."""
    owner, exact = match(manifest, paths)
    problems = {p: decode_problem(p) for p in paths}
    whole = [e for e in manifest['files'] if 'cut' not in e]
    back = {owner[p] for p in exact}
    cuts = {}
    for i, e in enumerate(manifest['files']):
        if 'cut' in e:
            rebuilt = [(rebuilt_figures(p, e['cut']), p) for p, j in owner.items() if j == i]
            best = max(rebuilt, key=lambda r: (r[0]['video'], r[0]['audio'])) if rebuilt else None
            cuts[e['name']] = {'outputs': len(rebuilt), 'want_video': e['cut']['video'],
                               'want_audio': e['cut']['audio'],
                               **(best[0] if best else {'video': 0, 'audio': 0, 'in_order': False,
                                                        'has_audio': False, 'problem': 'no output'})}
    return {'outputs': len(paths), 'clean': sum(1 for p in paths if not problems[p]),
            'whole': len(whole), 'byte_for_byte': len(back), 'unmatched': [p for p in paths if p not in owner],
            'cuts': cuts, 'owner': owner, 'exact': exact, 'problems': problems}


def print_figures(label, fig, seconds=None):
    took = f' in {seconds:.1f} s' if seconds is not None else ''
    cuts = ''.join(f"; {name}: {c['video']}/{c['want_video']} frames, {c['audio']}/{c['want_audio']} sound packets"
                   f"{', decodes' if c['outputs'] and not c['problem'] else ''}"
                   for name, c in fig['cuts'].items())
    print(f"{label}{took}: {fig['byte_for_byte']} of {fig['whole']} files back byte for byte, "
          f"{fig['clean']} of {fig['outputs']} outputs decode clean, {len(fig['unmatched'])} from nothing{cuts}")


def save_figures(path, fig, seconds=None):
    if path:
        keep = {k: v for k, v in fig.items() if k not in ('owner', 'exact', 'problems')}
        keep['unmatched'] = [os.path.basename(p) for p in fig['unmatched']]
        keep['seconds'] = seconds
        with open(path, 'w') as f:
            json.dump(keep, f, indent=1)


def score(manifest_path, report_path, outdir, figures_path=None):
    manifest = load_manifest(manifest_path)
    try:
        report = json.load(open(report_path))
    except ValueError as e:
        fail_exit(f'the JSON report cannot be read: {e}')
    files = report.get('files')
    if not isinstance(files, list):
        fail_exit(f'the report has no "files" list: {sorted(report)}')
    names = [os.path.basename(f.get('path', '')) for f in files]
    paths = [os.path.join(outdir, n) for n in names]
    present = sorted(n for n in os.listdir(outdir) if n != 'korvid-files.tsv')
    line('the report lists every file in the output folder, and only those', sorted(names) == present,
         f'{sorted(names)} against {present}')
    paths = [p for p in paths if os.path.isfile(p)]
    report_of = {os.path.join(outdir, n): f for n, f in zip(names, files)}

    by_start = sorted(files, key=lambda f: f.get('source_start', -1))
    numbered = [os.path.basename(f.get('path', '')) for f in by_start]
    stems = [n.partition('.')[0] for n in numbered]
    line('the files are numbered from 1 in source order', stems == [str(i + 1) for i in range(len(files))],
         f'by source_start: {numbered}')
    wrong_ext = [n for n, f in zip(names, files) if n.partition('.')[2] not in EXTENSIONS
                 or n.partition('.')[2] != f.get('kind')]
    line('every file is named N.KIND by its kind', not wrong_ext, f'{wrong_ext}')

    fig = figures(manifest, paths)
    owner = fig['owner']
    for i, e in enumerate(manifest['files']):
        mine = [p for p, j in owner.items() if j == i]
        label = f"{e['name']} ({e['kind']}{', cut off' if 'cut' in e else ''}{', live' if e['live'] else ''})"
        if not line(f'{label} comes back once', len(mine) == 1,
                    f"{len(mine)} output files hold it: {[os.path.basename(p) for p in mine]}"):
            continue
        p = mine[0]
        r = report_of[p]
        name = os.path.basename(p)
        if 'cut' not in e and not line(f'{label} as {name}: byte for byte', p in fig['exact'],
                                       f'{os.path.getsize(p)} bytes against {e["size"]}, the first '
                                       f'{common_prefix(open(p, "rb").read(), open(e["file"], "rb").read())} alike'):
            continue
        want = {'kind': e['kind'], 'rebuilt': 'cut' in e, 'source_start': e['offset']}
        if 'cut' not in e:
            want.update({'complete': True, 'source_end': e['offset'] + e['size'], 'bytes': e['size']})
        got = {k: r.get(k) for k in want}
        line(f'{label} as {name}: the report says {want}', got == want, f'it says {got}')
        frames = r.get('frames')
        frames = list(frames.values()) if isinstance(frames, dict) else frames
        video = sum(1 for k, _, _, _ in packets(p) if k == 'video')
        line(f'{label} as {name}: the report counts the {video} frames of its video track',
             isinstance(frames, list) and frames[:1] == [video], f'it says frames {r.get("frames")}')
        if 'cut' in e:
            c = fig['cuts'][e['name']]
            line(f'{label} as {name}: decodes without an error', not c['problem'], c['problem'])
            line(f"{label} as {name}: holds {LEVELS['video']:g}% of the {c['want_video']} video frames of the cut",
                 share(c['video'], c['want_video']) >= LEVELS['video'], f"{c['video']}")
            line(f'{label} as {name}: its video frames come in the order of the recording', c['in_order'])
            line(f"{label} as {name}: has a sound stream holding {LEVELS['audio']:g}% of the "
                 f"{c['want_audio']} sound packets of the cut",
                 c['has_audio'] and share(c['audio'], c['want_audio']) >= LEVELS['audio'],
                 f"{c['audio']}{'' if c['has_audio'] else ', no sound stream'}")
    unclean = [f'{os.path.basename(p)}: {q}' for p, q in fig['problems'].items() if q]
    line('every output decodes without an error', not unclean, '; '.join(unclean[:5]))
    line('no file comes from nothing (every output is a file of the card)', not fig['unmatched'],
         f"{[os.path.basename(p) for p in fig['unmatched']]}")
    print_figures('korvid', fig)
    save_figures(figures_path, fig)


def peer(image, outdir, manifest_path, figures_path=None):
    manifest = load_manifest(manifest_path)
    image, outdir = os.path.abspath(image), os.path.abspath(outdir)
    if not os.path.isfile(image):
        fail_exit(f'no image {image}')
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(outdir)
    started = time.time()
    out = subprocess.run(['photorec', '/log', '/d', os.path.join(outdir, 'recup_dir'), '/cmd', image,
                          'partition_none,options,keep_corrupted_file,fileopt,everything,disable,'
                          'mov,enable,mov/mdat,enable,mxf,enable,wholespace,search'],
                         capture_output=True, text=True, cwd=outdir, stdin=subprocess.DEVNULL)
    took = time.time() - started
    paths = sorted(p for p in glob.glob(os.path.join(outdir, 'recup_dir*', '*'))
                   if p.lower().endswith(PEER_EXTENSIONS))
    if out.returncode != 0 or not paths:
        print(f'photorec exit {out.returncode}, {len(paths)} files: {out.stdout[-300:]}{out.stderr[-300:]}')
    fig = figures(manifest, paths)
    print_figures('photorec', fig, took)
    save_figures(figures_path, fig, took)


# ---------------------------------------------------------------------------------------------
# The measures on files whose figures are known


def selftest(workdir):
    os.makedirs(workdir, exist_ok=True)
    orig = os.path.join(workdir, 'orig.mp4')
    record('mp4', 'testsrc2', 4, 1, orig)
    cut = os.path.join(workdir, 'cut.mp4')
    cutoff(orig, cut, 0.7, False)
    info = json.load(open(cut + '.json'))
    full = rebuilt_figures(orig, info)
    line('the recording itself holds every frame and sound packet of its cut',
          full['video'] == info['video'] and full['audio'] == info['audio'] and not full['problem']
          and 0 < info['video'] < info['video_total'], f'{full} of {info["video"]}/{info["audio"]}')
    # The first half of the recording's packets, as a stream copy: fewer frames than the cut.
    half = os.path.join(workdir, 'half.mp4')
    subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', '-y', '-i', orig, '-t', '1', '-c', 'copy', half], check=True)
    part = rebuilt_figures(half, info)
    line('a copy of its first second holds fewer frames than the cut, counted exactly',
          0 < part['video'] < LEVELS['video'] / 100 * info['video'] and part['video'] == sum(
              1 for k, _, _, _ in packets(half) if k == 'video'), f"{part['video']} of {info['video']}")
    order = info['video_order']
    line('the order check passes the frames of the cut in their order and fails two swapped',
         in_order(order, order) and in_order(order[:10], order) and
         not in_order(order[:3] + [order[4], order[3]], order))
    other = os.path.join(workdir, 'other.mp4')
    record('mp4', 'mandelbrot', 2, 2, other)
    line('another recording holds none of its frames', rebuilt_figures(other, info)['video'] == 0)
    broken = os.path.join(workdir, 'broken.mp4')
    data = bytearray(open(orig, 'rb').read())
    mdat = [b for b in top_boxes(data) if b[0] == b'mdat'][0]
    data[mdat[1] + 4000:mdat[1] + 40000] = bytes(36000)
    open(broken, 'wb').write(data)
    line('a recording with zeroed frames does not decode clean', decode_problem(broken) != '')
    old = os.path.join(workdir, 'old.mov')
    record(OLD_QUICKTIME, 'testsrc', 2, 3, old)
    head = open(old, 'rb').read(8)
    line('the old QuickTime file has no ftyp, plays, and counts as a MOV',
          head[4:8] != b'ftyp' and not decode_problem(old) and kind_of(open(old, 'rb').read()) == 'MOV', f'{head}')


def ideal_recovery(manifest, outdir):
    """The files and report a faultless recovery of the manifest's card writes; a cut-off file
    rebuilt is stood in for by its original recording, which holds every frame of the cut."""
    os.makedirs(outdir, exist_ok=True)
    files = []
    for n, e in enumerate(sorted(manifest['files'], key=lambda e: e['offset']), 1):
        path = os.path.join(outdir, f"{n}.{e['kind']}")
        src = os.path.join(os.path.dirname(e['file']), e['cut']['original']) if 'cut' in e else e['file']
        shutil.copyfile(src, path)
        counts = collections.Counter(k for k, _, _, _ in packets(path))
        files.append({'path': path, 'source_start': e['offset'],
                      'source_end': e['offset'] + (e['cut']['cut'] if 'cut' in e else e['size']),
                      'bytes': os.path.getsize(path), 'complete': 'cut' not in e, 'kind': e['kind'],
                      'rebuilt': 'cut' in e, 'frames': [counts['video'], counts['audio']]})
    return files


def scoretest(manifest_path, workdir):
    manifest = load_manifest(manifest_path)
    me = os.path.abspath(__file__)

    def run_score(name, files, outdir):
        report = os.path.join(workdir, name + '.json')
        with open(report, 'w') as f:
            json.dump({'files': files}, f)
        out = subprocess.run([sys.executable, me, 'score', manifest_path, report, outdir],
                             capture_output=True, text=True)
        return out.returncode, [l[5:] for l in out.stdout.splitlines() if l.startswith('FAIL ')]

    def faulted(name, change, expect):
        outdir = os.path.join(workdir, name)
        shutil.rmtree(outdir, ignore_errors=True)
        files = ideal_recovery(manifest, outdir)
        change(files, outdir)
        status, fails = run_score(name, files, outdir)
        missed = [w for w in expect if not any(w in f for f in fails)]
        line(f'score fails a recovery that {name.replace("-", " ")}', status == 1 and fails and not missed,
             f'exit {status}, no FAIL line about {missed}; it failed {fails}')

    outdir = os.path.join(workdir, 'faultless')
    shutil.rmtree(outdir, ignore_errors=True)
    status, fails = run_score('faultless', ideal_recovery(manifest, outdir), outdir)
    line('score passes a faultless recovery', status == 0 and not fails, f'exit {status}: {fails}')

    whole = [e for e in sorted(manifest['files'], key=lambda e: e['offset']) if 'cut' not in e]
    first = whole[0]
    at = sorted(manifest['files'], key=lambda e: e['offset']).index(first)

    def drop(files, outdir):
        os.remove(files[at]['path'])
        del files[at]
    faulted('misses-a-file', drop, [f"{first['name']} ("])

    def flip_byte(files, outdir):
        data = bytearray(open(files[at]['path'], 'rb').read())
        data[len(data) // 2] ^= 0x55
        open(files[at]['path'], 'wb').write(data)
    faulted('changes-a-byte', flip_byte, [f"{first['name']} ("])

    def wrong_kind(files, outdir):
        files[at]['kind'] = 'MXF' if first['kind'] != 'MXF' else 'MP4'
    faulted('tells-a-wrong-kind', wrong_kind, [f"{first['name']} (", 'named N.KIND'])

    def from_nothing(files, outdir):
        path = os.path.join(outdir, f'{len(files) + 1}.MP4')
        open(path, 'wb').write(os.urandom(100000))
        files.append(dict(files[-1], path=path, source_start=manifest['image_size'] - 100000,
                          source_end=manifest['image_size']))
    faulted('writes-a-file-from-nothing', from_nothing, ['from nothing', 'decodes without an error'])

    def twice(files, outdir):
        path = os.path.join(outdir, f'{len(files) + 1}.{first["kind"]}')
        shutil.copyfile(files[at]['path'], path)
        files.append(dict(files[at], path=path, source_start=manifest['image_size']))
    faulted('writes-a-file-twice', twice, [f"{first['name']} ("])

    def misnumbered(files, outdir):
        a, b = files[0]['path'], files[1]['path']
        os.rename(a, a + '.x')
        os.rename(b, os.path.join(outdir, os.path.basename(a)))
        os.rename(a + '.x', os.path.join(outdir, os.path.basename(b)))
        files[0]['path'], files[1]['path'] = files[1]['path'], files[0]['path']
    if files_of_one_kind(manifest):
        faulted('numbers-out-of-source-order', misnumbered, ['source order'])

    cut_at = [i for i, e in enumerate(sorted(manifest['files'], key=lambda e: e['offset'])) if 'cut' in e]
    if cut_at:
        c = sorted(manifest['files'], key=lambda e: e['offset'])[cut_at[0]]

        def unplayable(files, outdir):
            shutil.copyfile(c['file'], files[cut_at[0]]['path'])
        faulted('gives-a-cut-off-file-back-as-it-lies', unplayable, [f"{c['name']} (", 'decodes'])

        def short(files, outdir):
            path = files[cut_at[0]]['path']
            subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', '-y', '-i', path, '-t', '1', '-c', 'copy',
                            '-f', 'mp4', path + '.short'], check=True)
            os.replace(path + '.short', path)
        faulted('rebuilds-a-cut-off-file-short-of-frames', short, ['video frames of the cut'])

        def mute(files, outdir):
            path = files[cut_at[0]]['path']
            subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', '-y', '-i', path, '-an', '-c', 'copy',
                            '-f', 'mp4', path + '.mute'], check=True)
            os.replace(path + '.mute', path)
        faulted('rebuilds-a-cut-off-file-without-sound', mute, ['sound stream'])


def files_of_one_kind(manifest):
    """Whether the card's first two files (in source order) share a kind, so that swapping their
    numbers leaves every name's kind right and only the order wrong."""
    e = sorted(manifest['files'], key=lambda e: e['offset'])
    return len(e) >= 2 and e[0]['kind'] == e[1]['kind']


def main():
    cmd, args = (sys.argv[1], sys.argv[2:]) if len(sys.argv) > 1 else ('', [])
    opts = {}
    if '--json' in args:
        at = args.index('--json')
        opts['figures_path'] = args[at + 1]
        del args[at:at + 2]
    if cmd == 'record' and len(args) == 5:
        record(*args)
    elif cmd == 'cutoff' and len(args) in (3, 4):
        cutoff(args[0], args[1], args[2], args[3:] == ['--zero-size'])
    elif cmd == 'card' and len(args) >= 5:
        card(args[0], args[1], args[2], args[3], args[4:])
    elif cmd == 'score' and len(args) == 3:
        score(*args, **opts)
    elif cmd == 'peer' and len(args) == 3:
        peer(*args, **opts)
    elif cmd == 'selftest' and len(args) == 1:
        selftest(args[0])
    elif cmd == 'scoretest' and len(args) == 2:
        scoretest(*args)
    else:
        raise SystemExit(__doc__)
    sys.exit(1 if FAILED else 0)


if __name__ == '__main__':
    main()
