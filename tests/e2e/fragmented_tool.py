#!/usr/bin/env python3
"""Fragmented recordings for the end-to-end test of korvid-cli's reassembly.

Recordings made by ffmpeg are written to FAT32 and exFAT card images through the FUSE drivers
fusefat and exfat-fuse, three at a time in interleaved appends of random size, the way a
three-channel recorder fills a card, so that each lies in many pieces. Then they are deleted or
the card is quick-formatted, and what a recovery gives back is measured against the chunks of the
recordings themselves. Everything here is worked out independently of korvid.

  record SET SOURCE SECONDS INDEX OUT
                       a recording of device SET (mjpeg, mpeg4-pcm, h264, mjpeg-pcm) of the
                       lavfi video SOURCE; INDEX picks the sound's tone
  card IMAGE MANIFEST FS WIPE SEED CLIP...
                       a card image of file system FS (fat32-4k, fat32-32k, exfat; FS@MIB: an
                       image of MIB MiB, which must then be a proper FAT32 of 65525 clusters or
                       more) written as above with the CLIPs, then WIPE (delete, format). A CLIP
                       given as keep:CLIP is a live recording: written on a channel of its own
                       beside the others from the start, and kept when they are deleted (FAT32,
                       delete only). Prints "ok NAME" / "FAIL NAME: why" lines and the pieces of
                       each recording; MANIFEST (JSON) holds where each recording lay and the
                       chunks it holds, and for live recordings their clusters and the clusters
                       the card has in use after the delete
  score MANIFEST REPORT [OUTDIR]
                       measures korvid-cli's JSON REPORT against MANIFEST and prints "ok"/"FAIL"
                       lines against the thresholds (OUTDIR: where the report's files are now);
                       on a card with live recordings also that the report's files hold only
                       bytes of clusters free after the delete, none of a live recording's
  peer MANIFEST IMAGE OUTDIR
                       runs PhotoRec (RIFF files only, whole space) on IMAGE into OUTDIR and prints
                       the same figures for the .avi files it gives back; no pass or fail
  selftest MANIFEST WORKDIR CLIP...
                       the measure of score on files whose figures are known (CLIPs: the card's
                       recordings, in the manifest's order, then its live recordings)
  chunks FILE          the data chunks of an AVI file, one "offset id size hash" line each
"""
import collections
import glob
import hashlib
import json
import os
import random
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time

# What a recovery must reach on every card, in the free-space mode too.
LEVELS = {'video': 97.0, 'audio': 97.0, 'files_per_recording': 1.2, 'decode': 90.0}
APPEND_MIN, APPEND_MAX = 16 * 1024, 256 * 1024
CHANNELS = 3
IMAGE_SIZE = 64 << 20

# One device per set: every recording of a set and its sample are made with the same settings.
SETS = {
    'mjpeg': {'size': '320x240', 'video': ['-c:v', 'mjpeg', '-q:v', '5'], 'audio': None},
    'mpeg4-pcm': {'size': '640x480', 'video': ['-c:v', 'mpeg4', '-q:v', '4', '-g', '15'],
                  'audio': (16000, 1)},
    'h264': {'size': '640x480', 'video': ['-c:v', 'libx264', '-preset', 'veryfast', '-crf', '20',
                                         '-g', '25', '-bf', '0'], 'audio': None},
    'mjpeg-pcm': {'size': '640x480', 'video': ['-c:v', 'mjpeg', '-q:v', '4'], 'audio': (32000, 2)},
}
# The lavfi sources that draw at random, and their seed option: seeded, so that each run makes the
# same recordings, and so the same cards.
SEEDED = {'cellauto': 'random_seed', 'sierpinski': 'seed', 'life': 'random_seed'}
DATA_ID = re.compile(rb'[0-9]{2}(dc|db|wb)')
ANY_DATA_ID = re.compile(rb'[0-9]{2}(?:dc|db|wb)')


def fail_exit(message):
    print(f'FAIL {message}')
    sys.exit(1)


# ---------------------------------------------------------------------------------------------
# Recordings


def record(set_name, source, seconds, index, out):
    """One recording of device set_name. The sound is a tone of its own per INDEX whose loudness
    swells slowly, so that no two sound chunks of a card are alike; the video sources of a card
    differ, so that no two frames are."""
    spec = SETS[set_name]
    seed = f':{SEEDED[source]}={1000 + int(index)}' if source in SEEDED else ''
    cmd = ['ffmpeg', '-nostdin', '-v', 'error', '-y', '-f', 'lavfi',
           '-i', f'{source}=size={spec["size"]}:rate=25{seed}']
    if spec['audio']:
        rate, channels = spec['audio']
        tone = 300 + 73.7 * int(index)
        expr = f'0.4*(0.6+0.3*sin(2*PI*0.173*t))*sin(2*PI*{tone}*t)'
        expr = '|'.join([expr] * channels)
        cmd += ['-f', 'lavfi', '-i', f'aevalsrc={expr}:s={rate}:n=1024']
    cmd += ['-t', str(seconds)] + spec['video']
    cmd += ['-c:a', 'pcm_s16le'] if spec['audio'] else ['-an']
    subprocess.run(cmd + [out], check=True)


# ---------------------------------------------------------------------------------------------
# AVI chunks


def plausible_fourcc(cid):
    return all(32 <= c < 127 for c in cid)


def chunks_of(data, lenient):
    """(offset, stream, kind, payload hash, size) of the data chunks (NNdc, NNdb: video, NNwb:
    sound) in the movi lists of an AVI file, in file order. Strict: the RIFF structure of an
    intact file. Lenient (recovered files): from the first movi on, chunk after chunk, stepping
    into LIST and RIFF headers whatever their sizes say and past other chunks; where no chunk can
    be read, on to the next data chunk id whose size fits. Returns (chunks, resyncs)."""
    out, resyncs = [], 0
    start = data.find(b'movi')
    if start < 0:
        return out, resyncs
    if not lenient:
        size = struct.unpack_from('<I', data, start - 4)[0]
        end = min(len(data), start + size)
    else:
        end = len(data)
    pos = start + 4
    while pos + 8 <= end:
        cid = data[pos:pos + 4]
        size = struct.unpack_from('<I', data, pos + 4)[0]
        m = DATA_ID.fullmatch(cid)
        if m and pos + 8 + size <= end:
            payload = data[pos + 8:pos + 8 + size]
            kind = 'audio' if m.group(1) == b'wb' else 'video'
            out.append((pos, int(cid[:2]), kind, hashlib.blake2b(payload, digest_size=16).hexdigest(), size))
            pos += 8 + size + (size & 1)
            continue
        if cid in (b'LIST', b'RIFF') and plausible_fourcc(data[pos + 8:pos + 12]):
            if lenient or cid == b'RIFF' or data[pos + 8:pos + 12] in (b'rec ', b'movi'):
                pos += 12
                continue
        if not m and plausible_fourcc(cid) and pos + 8 + size <= end:
            pos += 8 + size + (size & 1)
            continue
        if not lenient:
            raise ValueError(f'unreadable chunk at {pos}')
        resyncs += 1
        nxt = None
        for hit in ANY_DATA_ID.finditer(data, pos + 1):
            p = hit.start()
            if p + 8 <= end and p + 8 + struct.unpack_from('<I', data, p + 4)[0] <= end:
                nxt = p
                break
        if nxt is None:
            break
        pos = nxt
    return out, resyncs


def strict_chunks(path):
    data = open(path, 'rb').read()
    chunks, _ = chunks_of(data, lenient=False)
    if not chunks:
        raise SystemExit(f'{path}: no data chunks')
    return chunks


# ---------------------------------------------------------------------------------------------
# File systems: where a card's files lie, read from its FAT32 or exFAT structures


class ClusterChains:
    """What FAT32 and exFAT share: a cluster heap from cluster 2 on, and a table of 32-bit
    entries that chain a file's clusters. LAST is the first entry value that ends a chain, MASK
    the bits of an entry that count."""
    LAST, MASK = 0, 0

    def offset(self, c):
        return self.heap + (c - 2) * self.cluster

    def entry(self, c):
        return struct.unpack_from('<I', self.img, self.fat + 4 * c)[0] & self.MASK

    def chain(self, first):
        out, c = [], first
        while 2 <= c < self.LAST:
            if len(out) > len(self.img) // self.cluster:
                raise ValueError('FAT chain loops')
            out.append(c)
            c = self.entry(c)
        return out


class Fat32(ClusterChains):
    LAST, MASK = 0x0FFFFFF8, 0x0FFFFFFF

    def __init__(self, img):
        self.img = img
        bps = struct.unpack_from('<H', img, 11)[0]
        spc = img[13]
        reserved = struct.unpack_from('<H', img, 14)[0]
        nfats = img[16]
        fatsz = struct.unpack_from('<I', img, 36)[0]
        self.root = struct.unpack_from('<I', img, 44)[0]
        self.fat = reserved * bps
        self.cluster = bps * spc
        self.heap = (reserved + nfats * fatsz) * bps
        total = struct.unpack_from('<H', img, 19)[0] or struct.unpack_from('<I', img, 32)[0]
        self.count = (total * bps - self.heap) // self.cluster  # clusters 2 .. count + 1

    def in_use(self):
        """The clusters the FAT marks as in use (any entry but 0: chained, last, bad)."""
        return [c for c in range(2, self.count + 2) if self.entry(c)]

    def files(self):
        """{name: (size, clusters)} of the root folder's files."""
        out, lfn = {}, {}
        data = b''.join(self.img[self.offset(c):self.offset(c) + self.cluster] for c in self.chain(self.root))
        for at in range(0, len(data), 32):
            e = data[at:at + 32]
            if e[0] == 0:
                break
            if e[0] == 0xE5:
                lfn = {}
                continue
            if e[11] == 0x0F:
                lfn[e[0] & 0x1F] = (e[1:11] + e[14:26] + e[28:32]).decode('utf-16-le', 'replace')
                continue
            if e[11] & 0x18:  # volume label or folder
                lfn = {}
                continue
            if lfn:
                name = ''.join(lfn[k] for k in sorted(lfn)).split('\0')[0]
            else:
                name = e[0:8].decode('latin-1').rstrip() + '.' + e[8:11].decode('latin-1').rstrip()
            lfn = {}
            first = struct.unpack_from('<H', e, 20)[0] << 16 | struct.unpack_from('<H', e, 26)[0]
            size = struct.unpack_from('<I', e, 28)[0]
            out[name] = (size, self.chain(first) if size else [])
        return out


class ExFat(ClusterChains):
    LAST, MASK = 0xFFFFFFF7, 0xFFFFFFFF

    def __init__(self, img):
        if img[3:11] != b'EXFAT   ':
            raise ValueError('not exFAT')
        self.img = img
        sector = 1 << img[108]
        self.cluster = sector << img[109]
        self.fat = struct.unpack_from('<I', img, 80)[0] * sector
        self.heap = struct.unpack_from('<I', img, 88)[0] * sector
        self.root = struct.unpack_from('<I', img, 96)[0]

    def files(self):
        out = {}
        data = b''.join(self.img[self.offset(c):self.offset(c) + self.cluster] for c in self.chain(self.root))
        at = 0
        while at + 32 <= len(data):
            kind = data[at]
            if kind == 0:
                break
            if kind != 0x85:
                at += 32
                continue
            count = data[at + 1]
            entries = [data[at + 32 * i:at + 32 * i + 32] for i in range(1, count + 1)]
            at += 32 * (count + 1)
            stream = entries[0]
            if stream[0] != 0xC0 or data[at - 32 * (count + 1) + 4] & 0x10:  # not a file
                continue
            flags, name_len = stream[1], stream[3]
            first = struct.unpack_from('<I', stream, 20)[0]
            size = struct.unpack_from('<Q', stream, 24)[0]
            name = b''.join(e[2:32] for e in entries[1:] if e[0] == 0xC1).decode('utf-16-le')[:name_len]
            n = -(-size // self.cluster)
            if not size:
                clusters = []
            elif flags & 2:  # NoFatChain: contiguous
                clusters = list(range(first, first + n))
            else:
                clusters = self.chain(first)[:n]
            out[name] = (size, clusters)
        return out


def file_system(img, fs):
    return ExFat(img) if fs == 'exfat' else Fat32(img)


def runs_of(fsys, size, clusters):
    """The [offset, length] pieces of a file in file order, its last piece cut at its size."""
    runs = []
    for c in clusters:
        off = fsys.offset(c)
        if runs and runs[-1][0] + runs[-1][1] == off:
            runs[-1][1] += fsys.cluster
        else:
            runs.append([off, fsys.cluster])
    excess = sum(n for _, n in runs) - size
    while runs and excess > 0:
        cut = min(excess, runs[-1][1])
        runs[-1][1] -= cut
        excess -= cut
        if runs[-1][1] == 0:
            runs.pop()
    return runs


def gather(img, runs):
    return b''.join(img[o:o + n] for o, n in runs)


# ---------------------------------------------------------------------------------------------
# Writing a card through FUSE


class Mount:
    """A card image mounted through its FUSE driver: fusefat in the foreground, or exfat-fuse on
    a loop device (exfat-fuse mounts as "fuseblk", which needs a block device; the file system is
    still exfat-fuse's, in userspace)."""

    def __init__(self, image, fs, log):
        self.dir = tempfile.mkdtemp(prefix='korvid-card-')
        self.loop = None
        self.log = open(log, 'ab')
        if fs == 'exfat':
            self.loop = subprocess.run(['losetup', '-f', '--show', image], check=True,
                                       capture_output=True, text=True).stdout.strip()
            cmd = ['mount.exfat-fuse', '-d', self.loop, self.dir]
        else:
            cmd = ['fusefat', '-f', '-o', 'rw+', image, self.dir]
        self.proc = subprocess.Popen(cmd, stdout=self.log, stderr=self.log, stdin=subprocess.DEVNULL)
        deadline = time.time() + 30
        while not os.path.ismount(self.dir):
            if self.proc.poll() is not None or time.time() > deadline:
                self.close()
                raise RuntimeError(f'{cmd[0]} did not mount {image} (see {log})')
            time.sleep(0.05)

    def close(self):
        if os.path.ismount(self.dir):
            if subprocess.run(['fusermount', '-u', self.dir]).returncode != 0:
                subprocess.run(['fusermount', '-u', '-z', self.dir])
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        if self.loop:
            subprocess.run(['losetup', '-d', self.loop], check=False)
            self.loop = None
        try:
            os.rmdir(self.dir)
        except OSError:
            pass
        self.log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def mkfs(image, fs):
    cmd = {'fat32-4k': ['mkfs.vfat', '--invariant', '-F', '32', '-s', '8'],
           'fat32-32k': ['mkfs.vfat', '--invariant', '-F', '32', '-s', '64'],
           'exfat': ['mkfs.exfat', '-L', 'DVR']}[fs]
    subprocess.run(cmd + [image], check=True, capture_output=True)


def fsck(image, fs):
    cmd = ['fsck.exfat', '-n', image] if fs == 'exfat' else ['fsck.vfat', '-n', image]
    out = subprocess.run(cmd, capture_output=True, text=True)
    return out.returncode == 0, (out.stdout + out.stderr).strip()


def write_interleaved(root, clips, names, seed, live=()):
    """CHANNELS files open at once, each appended to in turn by a random 16-256 KiB and synced,
    a channel opening its next recording when one ends; each (name, clip) of live on a channel of
    its own after those, from the start."""
    rng = random.Random(seed)
    queue = list(zip(names, clips))
    slots = [None] * CHANNELS
    for name, clip in live:
        slots.append([open(os.path.join(root, name), 'wb'), open(clip, 'rb').read(), 0, name])
    appends = []
    try:
        while queue or any(slots):
            for i in range(len(slots)):
                if slots[i] is None and queue:
                    name, clip = queue.pop(0)
                    slots[i] = [open(os.path.join(root, name), 'wb'), open(clip, 'rb').read(), 0, name]
                if slots[i] is None:
                    continue
                f, data, pos, name = slots[i]
                n = rng.randint(APPEND_MIN, APPEND_MAX)
                f.write(data[pos:pos + n])
                f.flush()
                os.fsync(f.fileno())
                appends.append((name, pos, min(n, len(data) - pos)))
                slots[i][2] = pos + n
                if pos + n >= len(data):
                    f.close()
                    slots[i] = None
    finally:
        for slot in slots:
            if slot:
                slot[0].close()
    return appends


def backward_allocations(entries, appends, cluster):
    """How many appends were given a cluster that lies before one given to an earlier append
    (0: the driver allocates forward, in the order of the writes)."""
    top, back = 0, 0
    for name, pos, n in appends:
        clusters = entries[name][1]
        new = clusters[-(-pos // cluster):(pos + n - 1) // cluster + 1]
        if new and new[0] < top:
            back += 1
        top = max([top] + new)
    return back


def cluster_runs(clusters):
    """[first, count] runs of a sorted list of cluster numbers."""
    runs = []
    for c in clusters:
        if runs and runs[-1][0] + runs[-1][1] == c:
            runs[-1][1] += 1
        else:
            runs.append([c, 1])
    return runs


def card(image, manifest_path, fs, wipe, seed, clips):
    problems = []

    def check(name, ok, why=''):
        print(f'ok {name}' if ok else f'FAIL {name}: {why}')
        if not ok:
            problems.append(name)

    fs, _, mib = fs.partition('@')
    image_size = int(mib) << 20 if mib else IMAGE_SIZE
    kept = [c[len('keep:'):] for c in clips if c.startswith('keep:')]
    clips = [c for c in clips if not c.startswith('keep:')]
    if kept and (fs == 'exfat' or wipe != 'delete'):
        fail_exit('live recordings are kept on FAT32 cards whose recordings are deleted')
    names = [f'CH{i % CHANNELS + 1:02d}_{i // CHANNELS + 1:04d}.AVI' for i in range(len(clips))]
    live_names = [f'CH{CHANNELS + i + 1:02d}_0001.AVI' for i in range(len(kept))]
    every, every_clip = names + live_names, clips + kept
    log = image + '.fuse.log'
    with open(image, 'wb') as f:
        f.truncate(image_size)
    mkfs(image, fs)
    try:
        with Mount(image, fs, log) as m:
            appends = write_interleaved(m.dir, clips, names, int(seed), list(zip(live_names, kept)))
            listed = sorted(os.listdir(m.dir))
            sizes = {n: os.path.getsize(os.path.join(m.dir, n)) for n in listed}
    except (RuntimeError, subprocess.CalledProcessError, OSError) as e:
        fail_exit(f'writing the card through FUSE: {e}')
    check('the FUSE mount lists the recordings, each of its size',
          listed == sorted(every) and all(sizes[n] == os.path.getsize(c) for n, c in zip(every, every_clip)),
          f'{sizes}')
    clean, text = fsck(image, fs)
    check(f'{fs} is consistent after writing', clean, text[-300:])

    img = open(image, 'rb').read()
    fsys = file_system(img, fs)
    if mib:
        check(f'the {mib} MiB card is a proper FAT32 (65525 clusters or more)',
              fs != 'exfat' and fsys.count >= 65525, f'{getattr(fsys, "count", "?")} clusters')
    entries = fsys.files()
    recordings, live = [], []
    for name, clip in zip(every, every_clip):
        data = open(clip, 'rb').read()
        size, clusters = entries.get(name, (0, []))
        runs = runs_of(fsys, size, clusters)
        check(f'{name}: the file system\'s allocation holds {os.path.basename(clip)} byte for byte',
              size == len(data) and gather(img, runs) == data,
              f'{size} bytes in {len(runs)} pieces, the recording {len(data)}')
        chunks = strict_chunks(clip)
        entry = {'name': name, 'clip': os.path.basename(clip), 'size': len(data),
                 'runs': runs, 'pieces': len(runs),
                 'chunks': [[s, k, h, o, n] for o, s, k, h, n in chunks]}
        if name in live_names:
            entry['clusters'] = cluster_runs(sorted(clusters))
            live.append(entry)
        else:
            recordings.append(entry)
    back = backward_allocations(entries, appends, fsys.cluster) if set(every) <= set(entries) else -1
    print(f'{fs}: {fsys.cluster // 1024} KiB clusters, {len(appends)} appends, '
          f'{back} of them given clusters before earlier ones')
    check('the driver allocated the clusters forward, in the order of the appends', back == 0,
          f'{back} appends went back')
    for r in recordings:
        print(f"{r['name']} ({r['clip']}, {r['size'] / 1e6:.1f} MB): {r['pieces']} pieces")
    check('every recording lies in 2 or more pieces', all(r['pieces'] >= 2 for r in recordings),
          ', '.join(f"{r['name']} {r['pieces']}" for r in recordings))
    for v in live:
        # The live recording's pieces that lie between two pieces of each deleted recording.
        between = {}
        for r in recordings:
            first, last = r['runs'][0][0], r['runs'][-1][0]
            between[r['name']] = sum(1 for o, _ in v['runs'] if first < o < last)
        print(f"{v['name']} ({v['clip']}, {v['size'] / 1e6:.1f} MB, live): {v['pieces']} pieces, "
              + ', '.join(f'{n} between the pieces of {r}' for r, n in between.items()))
        check(f"{v['name']} lies in pieces between the pieces of every recording",
              all(n >= 2 for n in between.values()), f'{between}')

    if wipe == 'delete':
        try:
            with Mount(image, fs, log) as m:
                for n in names:
                    os.remove(os.path.join(m.dir, n))
                left = os.listdir(m.dir)
        except (RuntimeError, OSError) as e:
            fail_exit(f'deleting through FUSE: {e}')
        check('the recordings are deleted through the FUSE mount', sorted(left) == sorted(live_names),
              f'left: {left}')
    else:
        mkfs(image, fs)
    clean, text = fsck(image, fs)
    check(f'{fs} is consistent after the {wipe}', clean, text[-300:])
    img = open(image, 'rb').read()
    fsys = file_system(img, fs)
    entries = fsys.files()
    if live:
        check(f'the {wipe} leaves only the live recordings on the card', sorted(entries) == sorted(live_names),
              f'{list(entries)}')
        for v, clip in zip(live, kept):
            size, clusters = entries.get(v['name'], (0, []))
            check(f"{v['name']} is intact after the {wipe}, in the same clusters",
                  cluster_runs(sorted(clusters)) == v['clusters'] and
                  gather(img, runs_of(fsys, size, clusters)) == open(clip, 'rb').read(),
                  f'{size} bytes in {len(clusters)} clusters')
    else:
        check(f'the {wipe} leaves no file on the card', not entries, f'{list(entries)}')
    lost = 0
    for r in recordings:
        data = gather(img, r['runs'])
        original = open(clips[names.index(r['name'])], 'rb').read()
        lost += sum(1 for c in r['chunks'] if data[c[3]:c[3] + 8 + c[4]] != original[c[3]:c[3] + 8 + c[4]])
    check(f'every chunk of every recording is still on the card after the {wipe}', lost == 0,
          f'{lost} chunks overwritten')
    manifest = {'fs': fs, 'wipe': wipe, 'seed': int(seed), 'cluster': fsys.cluster,
                'recordings': recordings}
    if live:
        in_use = fsys.in_use()
        print(f'after the {wipe}: {len(in_use)} of {fsys.count} clusters in use')
        manifest.update({'live': live, 'heap': fsys.heap, 'clusters': fsys.count,
                         'in_use': cluster_runs(in_use)})
    json.dump(manifest, open(manifest_path, 'w'), indent=1)
    return 1 if problems else 0


# ---------------------------------------------------------------------------------------------
# Measuring recovered files


def decode_problem(path):
    out = subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', '-i', path, '-f', 'null', '-'],
                         capture_output=True, text=True)
    text = (out.stdout + out.stderr).strip()
    return text.splitlines()[0][:160] if text else ('' if out.returncode == 0 else f'exit {out.returncode}')


def measure(manifest, paths):
    """Figures for the recovered files at paths against the manifest's recordings."""
    recs = manifest['recordings']
    owners = collections.defaultdict(set)  # (kind, hash) -> recordings holding it
    for i, r in enumerate(recs):
        for _, kind, h, _, _ in r['chunks']:
            owners[(kind, h)].add(i)
    shared = {key for key, who in owners.items() if len(who) > 1}
    wanted = [collections.Counter((kind, h) for _, kind, h, _, _ in r['chunks'] if (kind, h) not in shared)
              for r in recs]
    files = []
    for path in paths:
        chunks, resyncs = chunks_of(open(path, 'rb').read(), lenient=True)
        held = collections.Counter((k, h) for _, _, k, h, _ in chunks)
        per_rec = collections.Counter()
        for key, n in held.items():
            if key in owners and key not in shared:
                per_rec[next(iter(owners[key]))] += n
        frames = sum(n for (k, h), n in held.items() if k == 'video' and (k, h) in owners)
        foreign = sum(n for key, n in held.items() if key not in owners)
        files.append({'path': path, 'held': held, 'per_rec': per_rec, 'frames': frames, 'foreign': foreign,
                      'owner': per_rec.most_common(1)[0][0] if per_rec else None,
                      'chunks': len(chunks), 'resyncs': resyncs})
    got = [collections.Counter() for _ in recs]
    for f in files:
        if f['owner'] is not None:
            got[f['owner']] += f['held']
    result = {'shared': len(shared), 'files': files, 'recordings': []}
    totals = collections.Counter()
    for i, r in enumerate(recs):
        row = {'name': r['name'], 'clip': r['clip'], 'pieces': r['pieces']}
        for kind in ('video', 'audio'):
            want = sum(n for (k, _), n in wanted[i].items() if k == kind)
            have = sum(min(n, got[i][key]) for key, n in wanted[i].items() if key[0] == kind)
            row[kind] = (have, want)
            totals[kind + '_have'] += have
            totals[kind + '_want'] += want
        row['files'] = sum(1 for f in files if f['owner'] == i and f['frames'])
        result['recordings'].append(row)
    with_frames = [f for f in files if f['frames']]
    result['video'] = (totals['video_have'], totals['video_want'])
    result['audio'] = (totals['audio_have'], totals['audio_want'])
    result['with_frames'] = len(with_frames)
    result['files_per_recording'] = len(with_frames) / len(recs)
    result['contaminated'] = [f for f in files if len(f['per_rec']) > 1]
    return result


def pct(have_want):
    have, want = have_want
    return 100.0 * have / want if want else 100.0


def print_figures(res, label):
    for r in res['recordings']:
        v, a = r['video'], r['audio']
        sound = f', sound {a[0]}/{a[1]}' if a[1] else ''
        print(f"{r['name']} ({r['clip']}, {r['pieces']} pieces): frames {v[0]}/{v[1]}{sound}, "
              f"in {r['files']} files")
    audio = f", sound chunks {pct(res['audio']):.1f}% of {res['audio'][1]}" if res['audio'][1] else ''
    print(f"{label}: video frames {pct(res['video']):.1f}% of {res['video'][1]}{audio}; "
          f"{res['with_frames']} files with frames for {len(res['recordings'])} recordings "
          f"({res['files_per_recording']:.2f} per recording); {len(res['files'])} files in all; "
          f"{len(res['contaminated'])} files mixing recordings; "
          f"{sum(f['foreign'] for f in res['files'])} chunks that are in no recording; "
          f"{sum(f['resyncs'] for f in res['files'])} unreadable stretches skipped")
    if res['shared']:
        print(f"{res['shared']} payloads occur in more than one recording and are not counted")


def score(manifest_path, report_path, outdir=None):
    manifest = json.load(open(manifest_path))
    try:
        report = json.load(open(report_path))
    except ValueError as e:
        fail_exit(f'the JSON report cannot be read: {e}')
    paths = [f['path'] for f in report.get('files', [])]
    if outdir:
        paths = [os.path.join(outdir, os.path.basename(p)) for p in paths]
        listed = sorted(os.path.basename(p) for p in paths)
        present = sorted(p for p in os.listdir(outdir) if p.upper().endswith('.AVI'))
        print(f"ok the report lists every file in the output folder" if listed == present else
              f"FAIL the report lists every file in the output folder: {listed} against {present}")
    res = measure(manifest, paths)
    print_figures(res, 'korvid')
    clean = 0
    for f in res['files']:
        problem = decode_problem(f['path'])
        if not problem:
            clean += 1
        elif len(res['files']) - clean <= 5:
            print(f"{os.path.basename(f['path'])} does not decode cleanly: {problem}")
    decode = 100.0 * clean / len(res['files']) if res['files'] else 0.0
    print(f'{clean} of {len(res["files"])} files decode without an error')

    def line(name, ok, why):
        print(f'ok {name}' if ok else f'FAIL {name}: {why}')

    t = LEVELS
    line(f"{t['video']:g}% of the video frames come back with their own recording",
         pct(res['video']) >= t['video'], f"{pct(res['video']):.1f}% of {res['video'][1]}")
    if res['audio'][1]:
        line(f"{t['audio']:g}% of the sound chunks come back with their own recording",
             pct(res['audio']) >= t['audio'], f"{pct(res['audio']):.1f}% of {res['audio'][1]}")
    line(f"at most {t['files_per_recording']:g} files per recording",
         res['with_frames'] and res['files_per_recording'] <= t['files_per_recording'],
         f"{res['with_frames']} files for {len(res['recordings'])} recordings")
    line(f"{t['decode']:g}% of the files decode without an error", res['files'] and decode >= t['decode'],
         f'{clean} of {len(res["files"])}')
    line('no file mixes chunks of two recordings', not res['contaminated'],
         ', '.join(f"{os.path.basename(f['path'])} holds chunks of "
                   f"{sorted(manifest['recordings'][i]['name'] for i in f['per_rec'])}"
                   for f in res['contaminated'][:5]))
    line('no payload occurs in two recordings (the measure is sound)', not res['shared'],
         f"{res['shared']} shared payloads")
    if manifest.get('live'):
        score_live(manifest, report, res, line)


def cluster_bytes(manifest, c, n=1):
    """The source bytes [start, end) of n clusters from cluster c."""
    start = manifest['heap'] + (c - 2) * manifest['cluster']
    return start, start + n * manifest['cluster']


def extent_problems(manifest, files):
    """For the report's files: the extents that hold bytes of a live recording's clusters, and
    those that hold bytes of clusters in use after the delete or outside the clusters."""
    size = manifest['cluster']
    area = (cluster_bytes(manifest, 2)[0], cluster_bytes(manifest, 2, manifest['clusters'])[1])

    def hits(extent, runs):  # the (first, last) clusters of runs that extent overlaps
        out = []
        for c, n in runs:
            start, end = cluster_bytes(manifest, c, n)
            if extent[0] < end and start < extent[1]:
                lo, hi = max(extent[0], start), min(extent[1], end)
                out.append((c + (lo - start) // size, c + (hi - 1 - start) // size))
        return out

    taken, outside = [], []
    for f in files:
        name = os.path.basename(f['path'])
        for extent in f.get('extents') or []:
            for v in manifest['live']:
                for lo, hi in hits(extent, v['clusters']):
                    b = cluster_bytes(manifest, lo, hi - lo + 1)
                    taken.append(f"{name} extent [{extent[0]}, {extent[1]}) holds clusters {lo}-{hi} "
                                 f"of {v['name']} (bytes [{b[0]}, {b[1]}))")
            used = hits(extent, manifest['in_use'])
            if extent[0] < area[0] or extent[1] > area[1] or used:
                outside.append(f"{name} extent [{extent[0]}, {extent[1]})" +
                               (f" holds clusters in use {used[:3]}" if used else
                                f" reaches out of the clusters [{area[0]}, {area[1]})"))
    return taken, outside


def live_payloads(manifest):
    """The (kind, hash) of the live recordings' chunks that no deleted recording holds, and the
    number that one does."""
    live = {(kind, h) for v in manifest['live'] for _, kind, h, _, _ in v['chunks']}
    owned = {(kind, h) for r in manifest['recordings'] for _, kind, h, _, _ in r['chunks']}
    return live - owned, len(live & owned)


def live_held(manifest, res):
    """(file name, count) of the measured files that hold chunks of a live recording."""
    keys, _ = live_payloads(manifest)
    held = [(os.path.basename(f['path']), sum(n for key, n in f['held'].items() if key in keys))
            for f in res['files']]
    return [(name, n) for name, n in held if n]


def score_live(manifest, report, res, line):
    """On a card whose live recordings were kept: a free-space recovery takes no byte from the
    clusters in use, none from a live recording's, and no chunk of a live recording."""
    line("the report is of a free-space recovery", report.get('mode') == 'free-space',
         f"mode {report.get('mode')!r}")
    files = report.get('files', [])
    bare = [os.path.basename(f['path']) for f in files if not f.get('extents')]
    line("every file lists the source bytes it holds (extents)", files and not bare,
         f"{len(files)} files, without extents: {bare[:5]}")
    taken, outside = extent_problems(manifest, files)
    extents = [e for f in files for e in f.get('extents') or []]
    print(f"{len(extents)} extents in {len(files)} files, {sum(e - s for s, e in extents)} source bytes; "
          f"{report.get('bytes_scanned')} of {report.get('source_size')} bytes scanned")
    line("no file holds a byte of the live recording's clusters", not taken,
         f"{len(taken)} extents: " + '; '.join(taken[:5]))
    line("every file's bytes come from clusters free after the delete", not outside,
         f"{len(outside)} extents: " + '; '.join(outside[:5]))
    held = live_held(manifest, res)
    line("no file holds a chunk of the live recording", not held,
         ', '.join(f'{name} holds {n}' for name, n in held[:5]))
    _, shared = live_payloads(manifest)
    line("no payload of the live recording occurs in a deleted one (the measure is sound)",
         not shared, f"{shared} shared payloads")


def selftest(manifest_path, workdir, clips):
    """The measure itself, on files whose figures are known: the recordings themselves, a file
    mixing two of them, and the first piece of one alone."""
    manifest = json.load(open(manifest_path))
    recs = manifest['recordings']
    clips, live = clips[:len(recs)], clips[len(recs):]
    os.makedirs(workdir, exist_ok=True)

    def line(name, ok, why):
        print(f'ok {name}' if ok else f'FAIL {name}: {why}')

    res = measure(manifest, clips)
    problems = [p for p in map(decode_problem, clips) if p]
    line('the measure gives the recordings themselves full marks',
         pct(res['video']) == 100 and pct(res['audio']) == 100 and res['with_frames'] == len(recs)
         and all(r['files'] == 1 for r in res['recordings']) and not res['contaminated']
         and not problems and not res['shared'],
         f"video {res['video']}, audio {res['audio']}, {res['with_frames']} files, "
         f"{len(res['contaminated'])} mixed, {problems[:1]}")

    a, b = (open(c, 'rb').read() for c in clips[:2])
    ca, cb = strict_chunks(clips[0]), strict_chunks(clips[1])
    last = cb[-1]
    mixed = a[:ca[len(ca) // 2][0]] + b[cb[len(cb) // 2][0]:last[0] + 8 + last[4] + (last[4] & 1)]
    path = os.path.join(workdir, 'mixed.avi')
    open(path, 'wb').write(mixed)
    res = measure(manifest, [path])
    line('the measure flags a file that holds chunks of two recordings', len(res['contaminated']) == 1,
         f"{len(res['contaminated'])} mixed files")

    # The longest piece of any recording, behind that recording's header.
    pieces = []
    for i, r in enumerate(recs):
        at = 0
        for _, n in r['runs']:
            pieces.append((n, i, at))
            at += n
    n, i, at = max(pieces)
    data = open(clips[i], 'rb').read()
    path = os.path.join(workdir, 'piece.avi')
    open(path, 'wb').write(data[:data.find(b'movi') + 4] + data[max(at, data.find(b'movi') + 4):at + n])
    want = sum(1 for _, kind, _, off, size in recs[i]['chunks']
               if kind == 'video' and at <= off and off + 8 + size <= at + n)
    res = measure(manifest, [path])
    got = res['recordings'][i]['video'][0]
    line(f"the measure counts the {want} whole frames in the longest piece of {recs[i]['name']}",
         0 < want == got == res['video'][0] < res['video'][1] and res['with_frames'] == 1,
         f'{got} counted')

    if manifest.get('live'):
        # The live checks on files known to break them: the live recording itself, and extents
        # over its first cluster and over a free cluster.
        held = live_held(manifest, measure(manifest, live)) if live else []
        line('the measure finds the chunks of the live recording in the live recording itself',
             len(held) == 1 and held[0][1] == len(live_payloads(manifest)[0]), f'{held}')
        v = manifest['live'][0]
        first = v['clusters'][0][0]
        used = {c for c0, n in manifest['in_use'] for c in range(c0, c0 + n)}
        free = max(c for c in range(2, manifest['clusters'] + 2) if c not in used)
        start, end = cluster_bytes(manifest, first)
        fake = [{'path': 'on-live.avi', 'extents': [[start + 100, end + 100]]},
                {'path': 'on-free.avi', 'extents': [list(cluster_bytes(manifest, free))]}]
        taken, outside = extent_problems(manifest, fake)
        line(f"the extent check flags an extent over {v['name']}'s cluster {first} and not one over "
             f"the free cluster {free}",
             len(taken) == 1 and 'on-live.avi' in taken[0] and len(outside) == 1
             and 'on-live.avi' in outside[0], f'{taken} {outside}')


def peer(manifest_path, image, outdir):
    manifest = json.load(open(manifest_path))
    image, outdir = os.path.abspath(image), os.path.abspath(outdir)
    os.makedirs(outdir, exist_ok=True)
    started = time.time()
    out = subprocess.run(['photorec', '/log', '/d', os.path.join(outdir, 'recup_dir'), '/cmd', image,
                          'partition_none,options,keep_corrupted_file,fileopt,everything,disable,'
                          'riff,enable,wholespace,search'],
                         capture_output=True, text=True, cwd=outdir, stdin=subprocess.DEVNULL)
    took = time.time() - started
    paths = sorted(p for p in glob.glob(os.path.join(outdir, 'recup_dir*', '*'))
                   if p.lower().endswith('.avi'))
    if out.returncode != 0 or not paths:
        print(f'photorec exit {out.returncode}, {len(paths)} .avi files: {out.stdout[-300:]}{out.stderr[-300:]}')
    res = measure(manifest, paths)
    print_figures(res, f'photorec ({took:.1f} s)')
    clean = sum(1 for f in res['files'] if not decode_problem(f['path']))
    print(f'photorec: {clean} of {len(res["files"])} files decode without an error')


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == 'record':
        record(*args)
    elif cmd == 'card':
        sys.exit(card(args[0], args[1], args[2], args[3], args[4], args[5:]))
    elif cmd == 'score':
        score(*args)
    elif cmd == 'selftest':
        selftest(args[0], args[1], args[2:])
    elif cmd == 'peer':
        peer(*args)
    elif cmd == 'chunks':
        chunks, resyncs = chunks_of(open(args[0], 'rb').read(), lenient=True)
        for o, s, k, h, n in chunks:
            print(o, f'{s:02d}{k}', n, h)
        print(f'{len(chunks)} chunks, {resyncs} unreadable stretches skipped')
    else:
        raise SystemExit(__doc__)


if __name__ == '__main__':
    main()
