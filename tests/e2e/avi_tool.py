#!/usr/bin/env python3
"""AVI, disk-image and FAT32 helpers for the end-to-end tests of korvid-cli.

Everything here is worked out independently of korvid: where the video chunks of a recording
lie, what a recovered file must hold byte for byte, how many chunk ids a scan must find.

  header SAMPLE OUT                   the sample's bytes up to and including its first "movi"
  chunks CLIP                         JSON: first/end of the movi chunks, count, odd sizes
  place IMAGE SIZE SEED MANIFEST SPEC...
                                      writes an image of SIZE bytes of seeded noise (free of
                                      chunk ids) with files laid in, and a JSON manifest.
                                      SPEC is FILE@OFFSET, or FILE#J@POS to put chunk J's id at
                                      source offset POS.
  fat-manifest IMAGE MANIFEST NAME=CLIP...
                                      the offsets of files on a FAT32 image (each must be in
                                      one piece), as a manifest
  verify REPORT SAMPLE IMAGE OUTDIR MANIFEST [--no-decode]
                                      prints one "ok NAME" or "FAIL NAME: why" line per check:
                                      every manifest entry recovered byte for byte, in source
                                      order, with matching JSON fields and frame counts
  chain-image IMAGE PREFIX            a small image of hand-made chunks: a chain of odd-sized
                                      chunks with pad bytes, a lone chunk, an even chain, and a
                                      chain whose last chunk runs past the end of the image.
                                      PREFIX1.bin, PREFIX2.bin, ... hold the bytes each
                                      recovered file must hold behind the header.
  fat-layout IMAGE LAYOUT NAME=CLIP...
                                      where each file's bytes lie on a FAT32 image, in file order
                                      (the pieces of a fragmented file), as JSON
  hole-sizes IMAGE CLIP COUNT TARGET  sizes of COUNT holes of about TARGET bytes for CLIP to
                                      fill in turn on the FAT32 image, each ending inside a sound
                                      chunk
  forget-next-free IMAGE              clears the FAT32 "next free cluster" hint
  stretches REPORT LAYOUT             every run of 2 or more movi data chunks of a recording that
                                      lies in one piece on the image is in one recovered file, in
                                      order, ids and bytes the same
  repaired REPORT                     every recovered file's header describes what it holds:
                                      stream lengths and durations (as ffprobe reads them) against
                                      the packets it holds and the report's "frames", the idx1
                                      index and its keyframe flags; it decodes without errors and
                                      seeking to its middle shows the right frame
  plain REPORT SAMPLE IMAGE           every recovered file is the sample's header followed by its
                                      chain's source bytes, byte for byte, and is not repaired
  whole REPORT LAYOUT [IMAGE]         every recording of LAYOUT (fat-layout, or a manifest) comes
                                      back in one file of its own, however many pieces it lay in:
                                      all its data chunks in order, byte for byte, the file's
                                      extents inside its pieces, nothing else in any file; the
                                      report's pieces and joined counts; with IMAGE (FAT32), the
                                      cluster grid of its file system
  same-data FILE CLIP                 exit status: FILE holds the data chunks of CLIP, in order,
                                      byte for byte
  big-avi IMAGE SAMPLE FRAMES GROUPS SECONDS OUT
                                      a sparse image holding, between noise, an OpenDML recording
                                      (RIFF AVI + RIFF AVIX segments of about 1 GiB) with the
                                      sample's header: GROUPS times an audio chunk of SECONDS of
                                      silence (a hole) and the video frames of those SECONDS,
                                      taken in turn from FRAMES' chunks; OUT describes it as JSON
  big-verify REPORT IMAGE FRAMES DESCRIPTION
                                      the recording of big-avi came back whole in one file: its
                                      data chunks byte for byte, frame counts, duration, every
                                      decoded frame the right picture, a seek near its end
"""
import hashlib
import json
import mmap
import os
import random
import re
import struct
import subprocess
import sys
from fractions import Fraction

CHUNK_ID = re.compile(rb'(?=00d[bc])')


def header_of(sample_bytes):
    at = sample_bytes.find(b'movi')
    if at < 0:
        raise SystemExit('sample has no movi')
    return sample_bytes[:at + 4]


def movi_chunks(data):
    """(offset, size) of the 00dc/00db chunks that follow the first "movi", back to back."""
    pos = data.find(b'movi') + 4
    chunks = []
    while data[pos:pos + 4] in (b'00dc', b'00db') and pos + 8 <= len(data):
        size = struct.unpack_from('<I', data, pos + 4)[0]
        chunks.append((pos, size))
        pos += 8 + size + (size & 1)
    return chunks


def chunk_info(path):
    data = open(path, 'rb').read()
    chunks = movi_chunks(data)
    last_pos, last_size = chunks[-1]
    return {
        'first': chunks[0][0],
        'end': last_pos + 8 + last_size + (last_size & 1),
        'count': len(chunks),
        'odd': sum(size & 1 for _, size in chunks),
        'zero': sum(size == 0 for _, size in chunks),
    }


def expected_hits(image):
    """Chunk ids with a whole, non-zero size word: the records a scan must make."""
    n = 0
    for m in CHUNK_ID.finditer(image):
        p = m.start()
        if p + 8 <= len(image) and struct.unpack_from('<I', image, p + 4)[0] != 0:
            n += 1
    return n


def noise(size, seed):
    data = bytearray(random.Random(seed).randbytes(size))
    for m in CHUNK_ID.finditer(data):
        data[m.start()] = ord('x')
    return data


def place(image_path, size, seed, manifest_path, specs):
    image = noise(size, seed)
    entries = []
    for spec in specs:
        path, where = spec.rsplit('@', 1)
        data = open(path.split('#')[0], 'rb').read()
        if '#' in path:
            path, j = path.split('#')
            offset = int(where) - movi_chunks(data)[int(j)][0]
        else:
            offset = int(where)
        if offset < 0 or offset + len(data) > size:
            raise SystemExit(f'{path} does not fit at {offset}')
        for e in entries:
            if offset < e['offset'] + e['length'] and e['offset'] < offset + len(data):
                raise SystemExit(f'{path} overlaps {e["clip"]}')
        image[offset:offset + len(data)] = data
        entries.append({'clip': path, 'offset': offset, 'length': len(data)})
    open(image_path, 'wb').write(image)
    json.dump(sorted(entries, key=lambda e: e['offset']), open(manifest_path, 'w'), indent=1)


class Fat32:
    def __init__(self, path):
        b = self.img = open(path, 'rb').read()
        bps = struct.unpack_from('<H', b, 11)[0]
        self.cluster = bps * b[13]
        reserved = struct.unpack_from('<H', b, 14)[0]
        fat_sectors = struct.unpack_from('<I', b, 36)[0]
        self.root = struct.unpack_from('<I', b, 44)[0]
        self.fsinfo = struct.unpack_from('<H', b, 48)[0] * bps
        self.fat = reserved * bps
        self.data = (reserved + b[16] * fat_sectors) * bps

    def chain(self, first):
        out, c = [], first
        while 2 <= c < 0x0FFFFFF8 and len(out) < 1 << 22:
            out.append(c)
            c = struct.unpack_from('<I', self.img, self.fat + 4 * c)[0] & 0x0FFFFFFF
        return out

    def offset(self, cluster):
        return self.data + (cluster - 2) * self.cluster

    def extents(self, name):
        base, ext = name.upper().split('.')
        want = (base.ljust(8) + ext.ljust(3)).encode()
        entries = b''.join(self.img[self.offset(c):self.offset(c) + self.cluster]
                           for c in self.chain(self.root))
        for i in range(0, len(entries), 32):
            e = entries[i:i + 32]
            if e[0] == 0:
                break
            if e[0] != 0xE5 and e[11] != 0x0F and e[:11] == want:
                first = struct.unpack_from('<H', e, 20)[0] << 16 | struct.unpack_from('<H', e, 26)[0]
                runs = []
                for c in self.chain(first):
                    start = self.offset(c)
                    if runs and runs[-1][1] == start:
                        runs[-1][1] += self.cluster
                    else:
                        runs.append([start, start + self.cluster])
                return runs
        raise SystemExit(f'{name} is not on the image')


def fat_manifest(image_path, manifest_path, pairs):
    fs = Fat32(image_path)
    entries = []
    for pair in pairs:
        name, clip = pair.split('=', 1)
        runs = fs.extents(name)
        data = open(clip, 'rb').read()
        if len(runs) != 1:
            raise SystemExit(f'{name} lies in {len(runs)} pieces on the image, expected one')
        if fs.img[runs[0][0]:runs[0][0] + len(data)] != data:
            raise SystemExit(f'{name} on the image differs from {clip}')
        entries.append({'clip': clip, 'offset': runs[0][0], 'length': len(data)})
    json.dump(sorted(entries, key=lambda e: e['offset']), open(manifest_path, 'w'), indent=1)


def frames(path):
    out = subprocess.run(['ffprobe', '-v', 'error', '-count_frames', '-select_streams', 'v:0',
                          '-show_entries', 'stream=nb_read_frames', '-of', 'csv=p=0', path],
                         capture_output=True, text=True)
    try:
        return int(out.stdout.strip())
    except ValueError:
        return -1


FILE_LIST = 'korvid-files.tsv'


def file_list(outdir):
    """The lines of the list a run leaves in its output folder, as dicts by the head line's names."""
    path = os.path.join(outdir, FILE_LIST)
    if not os.path.exists(path):
        return []
    rows = open(path, encoding='utf-8').read().splitlines()
    head = rows[0].split('\t')
    return [dict(zip(head, r.split('\t'))) for r in rows[1:]]


def decode_errors(path):
    out = subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', '-i', path, '-f', 'null', '-'],
                         capture_output=True, text=True)
    return out.stderr.strip() or (f'ffmpeg exit {out.returncode}' if out.returncode else '')


def verify(report_path, sample, image_path, outdir, manifest_path, decode=True):
    import os
    lines = []

    def check(name, ok, why=''):
        lines.append(f'ok {name}' if ok else f'FAIL {name}: {why}')

    report = json.load(open(report_path))
    image = open(image_path, 'rb').read()
    header = header_of(open(sample, 'rb').read())
    entries = json.load(open(manifest_path))
    files = report.get('files', [])

    check('run ends without error', report.get('error') is None and not report.get('stopped'),
          f'error={report.get("error")!r} stopped={report.get("stopped")}')
    check('the whole source is scanned',
          report.get('source_size') == len(image) == report.get('bytes_scanned'),
          f'source_size={report.get("source_size")} bytes_scanned={report.get("bytes_scanned")} image={len(image)}')
    hits = expected_hits(image)
    check('every chunk id of the source is recorded', report.get('fragments_found') == hits,
          f'fragments_found={report.get("fragments_found")}, the image holds {hits}')
    written = sorted((n for n in os.listdir(outdir) if n != FILE_LIST), key=lambda n: (len(n), n))
    wanted = [f'{i}.AVI' for i in range(1, len(entries) + 1)]
    check(f'{len(entries)} files written, one per recording', written == wanted,
          f'folder holds {written}')
    listed = file_list(outdir)
    check("the folder's list tells each file's source range and frames",
          [l['file'] for l in listed] == wanted and
          all((int(l['source start']), int(l['source end'])) == (f.get('source_start'), f.get('source_end'))
              and l['frames per stream'] == '+'.join(str(n) for n in f.get('frames', []))
              for l, f in zip(listed, files)),
          f'listed {listed}')
    check('the report lists every file', report.get('files_written') == len(entries) == len(files)
          and report.get('chains') == len(entries),
          f'files_written={report.get("files_written")} chains={report.get("chains")} listed={len(files)}')

    total = 0
    for i, e in enumerate(entries, 1):
        data = open(e['clip'], 'rb').read()
        info = chunk_info(e['clip'])
        want = header + data[info['first']:info['end']]
        path = os.path.join(outdir, f'{i}.AVI')
        got = open(path, 'rb').read() if os.path.exists(path) else b''
        clip = os.path.basename(e['clip'])
        why = f'{len(got)} bytes, expected {len(want)}'
        if got != want and len(got) == len(want):
            why += f', first difference at {next(k for k in range(len(got)) if got[k] != want[k])}'
        check(f'{i}.AVI is the sample header and the chunks of {clip}, byte for byte', got == want, why)
        total += len(want)
        f = files[i - 1] if i <= len(files) else {}
        fields = {'source_start': e['offset'] + info['first'], 'source_end': e['offset'] + info['end'],
                  'records': info['count'], 'bytes': len(want), 'unreadable_bytes': 0, 'complete': True}
        bad = {k: (f.get(k), v) for k, v in fields.items() if f.get(k) != v}
        bad_path = not str(f.get('path', '')).endswith(f'/{i}.AVI')
        check(f'{i}.AVI report entry (start, end, records, bytes)', not bad and not bad_path,
              f'got/expected {bad} path={f.get("path")}')
        if decode and got:
            n_orig, n_got = frames(e['clip']), frames(path)
            check(f'{i}.AVI has the {clip} frame count', n_got == n_orig == info['count'],
                  f'recovered {n_got}, original {n_orig}, chunks {info["count"]}')
            errors = decode_errors(path)
            check(f'{i}.AVI decodes without errors', not errors, errors.splitlines()[0] if errors else '')
    check('bytes_written is the sum of the files', report.get('bytes_written') == total,
          f'bytes_written={report.get("bytes_written")}, files hold {total}')
    print('\n'.join(lines))


def chunk(cid, payload, pad=True):
    body = cid + struct.pack('<I', len(payload)) + payload
    return body + (b'\0' if pad and len(payload) & 1 else b'')


def chain_image(image_path, prefix):
    odd = chunk(b'00dc', b'AAAAA') + chunk(b'00db', b'BBB') + chunk(b'00dc', b'CCCCCCC')
    lone = chunk(b'00dc', b'DDDD')
    even = chunk(b'00dc', b'EEEEEE') + chunk(b'00db', b'FF')
    cut = chunk(b'00dc', b'GGGG') + b'00dc' + struct.pack('<I', 100) + b'H' * 10  # 90 bytes short
    image = (bytes(noise(1000, 3)) + odd + b'xyz!' + lone + b'gap!!' + even +
             bytes(noise(500, 4)) + cut)
    open(image_path, 'wb').write(image)
    for i, piece in enumerate((odd, even, cut), 1):
        open(f'{prefix}{i}.bin', 'wb').write(piece)


DATA_CHUNK = re.compile(rb'[0-9]{2}(db|dc|wb|pc|tx)')
STEP_INTO = {b'RIFF': (b'AVI ', b'AVIX'), b'LIST': (b'movi', b'rec ')}
MPEG4_VISUAL = {b'FMP4', b'XVID', b'DIVX', b'DX50', b'MP4V'}
GIB = 1 << 30


def u32(buf, pos):
    return struct.unpack_from('<I', buf, pos)[0]


def data_chunks(buf, pos=0, end=None):
    """(id, offset, size) of the stream data chunks of an AVI file's movi lists, in file order:
    RIFF AVI/AVIX and LIST movi/rec are stepped into, every other chunk is skipped."""
    end = len(buf) if end is None else end
    out = []
    while pos + 8 <= end:
        cid, size = bytes(buf[pos:pos + 4]), u32(buf, pos + 4)
        if bytes(buf[pos + 8:pos + 12]) in STEP_INTO.get(cid, ()):
            out += data_chunks(buf, pos + 12, min(pos + 8 + size, end))
        elif DATA_CHUNK.fullmatch(cid):
            out.append((cid, pos, size))
        pos += 8 + size + (size & 1)
    return out


def sub_chunks(buf, pos, end):
    """(id, offset, size) of the chunks laid back to back from pos to end."""
    while pos + 8 <= end:
        size = u32(buf, pos + 4)
        yield bytes(buf[pos:pos + 4]), pos, size
        pos += 8 + size + (size & 1)


def header_fields(buf):
    """avih/dmlh total frames, and per strl its strh fields and strf bytes, of the first hdrl."""
    info = {'total_frames': None, 'odml_frames': None, 'streams': []}
    hdrl = next((p for cid, p, n in sub_chunks(buf, 12, len(buf))
                 if cid == b'LIST' and buf[p + 8:p + 12] == b'hdrl'), None)
    if hdrl is None:
        return info
    for cid, p, n in sub_chunks(buf, hdrl + 12, hdrl + 8 + u32(buf, hdrl + 4)):
        kind = bytes(buf[p + 8:p + 12])
        if cid == b'avih':
            info['total_frames'] = u32(buf, p + 24)
        elif cid == b'LIST' and kind == b'odml':
            info['odml_frames'] = u32(buf, p + 20)
        elif cid == b'LIST' and kind == b'strl':
            s = {'indx': False}
            for c, q, m in sub_chunks(buf, p + 12, p + 8 + n):
                if c == b'strh':
                    s.update(type=bytes(buf[q + 8:q + 12]), scale=u32(buf, q + 28),
                             rate=u32(buf, q + 32), length=u32(buf, q + 40),
                             sample_size=u32(buf, q + 52))
                elif c == b'strf':
                    s['strf'] = bytes(buf[q + 8:q + 8 + m])
                elif c == b'indx':
                    s['indx'] = True
            info['streams'].append(s)
    return info


def is_keyframe(compression, payload):
    """MPEG-4 Visual: the first VOP is intra coded. Other codecs here (MJPEG) are all intra."""
    if compression.upper() not in MPEG4_VISUAL:
        return True
    vop = payload.find(b'\x00\x00\x01\xb6')
    return vop >= 0 and vop + 4 < len(payload) and payload[vop + 4] >> 6 == 0


def idx1_problem(buf, chunks, compression):
    """Why the idx1 index after the first movi list does not list `chunks`, or ''."""
    movi = idx1 = None
    for cid, p, n in sub_chunks(buf, 12, min(len(buf), 8 + u32(buf, 4))):
        if cid == b'LIST' and buf[p + 8:p + 12] == b'movi' and movi is None:
            movi = p + 8
        elif cid == b'idx1':
            idx1 = (p + 8, n // 16)
    if movi is None or idx1 is None:
        return 'no movi list followed by idx1'
    entries = [struct.unpack_from('<4sIII', buf, idx1[0] + 16 * i) for i in range(idx1[1])]
    if len(entries) != len(chunks):
        return f'{len(entries)} entries for {len(chunks)} chunks'
    base = movi if entries and entries[0][2] + movi == chunks[0][1] else 0
    for i, ((cid, flags, offset, size), (want, pos, n)) in enumerate(zip(entries, chunks)):
        if (cid, offset + base, size) != (want, pos, n):
            return f'entry {i} is {cid} at {offset} size {size}, chunk {want} at {pos} size {n}'
        if want[2:] in (b'dc', b'db'):
            key = is_keyframe(compression, bytes(buf[pos + 8:pos + 8 + n]))
            if bool(flags & 0x10) != key:
                return f'entry {i}: keyframe flag {bool(flags & 0x10)}, the frame is {"" if key else "not "}a keyframe'
    return ''


def probe_streams(path):
    out = subprocess.run(['ffprobe', '-v', 'error', '-count_packets', '-show_entries',
                          'stream=codec_type,nb_frames,duration,nb_read_packets', '-of', 'json', path],
                         capture_output=True, text=True)
    try:
        return json.loads(out.stdout)['streams']
    except (ValueError, KeyError):
        return []


def video_md5(path, seek=None, decode_all=False):
    """(pts in seconds, md5) of the decoded frames of the first video stream; with seek, of the
    first frame shown after seeking there (timestamps kept as in the file). With decode_all,
    the other streams are decoded too, and ffmpeg's error output is returned as well."""
    where = ['-ss', f'{seek:.6f}', '-copyts'] if seek is not None else []
    count = ['-frames:v', '1'] if seek is not None else []
    rest = ['-map', '0', '-map', '-0:v:0', '-f', 'null', '-'] if decode_all else []
    out = subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', *where, '-i', path, '-map', '0:v:0',
                          *count, '-f', 'framemd5', 'pipe:1', *rest], capture_output=True, text=True)
    tb, frames = Fraction(1), []
    for line in out.stdout.splitlines():
        if line.startswith('#tb 0:'):
            tb = Fraction(line.split(':')[1].strip())
        elif not line.startswith('#'):
            fields = [f.strip() for f in line.split(',')]
            frames.append((float(int(fields[2]) * tb), fields[5]))
    if decode_all:
        return frames, out.stderr.strip() or (f'ffmpeg exit {out.returncode}' if out.returncode else '')
    return frames


def seek_problem(path, target, frame_time, decoded):
    """Why seeking to `target` does not show the frame that plain decoding shows there, or ''."""
    got = video_md5(path, target)
    if not got:
        return f'nothing decoded after seeking to {target:.3f} s'
    pts, md5 = got[0]
    if abs(pts - target) > frame_time + 1e-6:
        return f'first frame after seeking to {target:.3f} s has pts {pts:.3f} s'
    if {round(t, 6): m for t, m in decoded}.get(round(pts, 6)) != md5:
        return f'the frame at {pts:.3f} s differs from the one decoding from the start shows'
    return ''


def map_file(path):
    with open(path, 'rb') as f:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if os.fstat(f.fileno()).st_size else b''


def check_repaired(check, path, entry, play=True):
    """Checks one recovered file whose header was rebuilt to describe what it holds; with play,
    also that it decodes cleanly and that seeking to its middle works."""
    name = os.path.basename(path)
    buf = map_file(path)
    hdr = header_fields(buf)
    streams = hdr['streams']
    chunks = data_chunks(buf)
    held = [[c for c in chunks if int(c[0][:2]) == i] for i in range(len(streams))]
    counts = [len(h) for h in held]
    check(f'{name}: holds chunks of declared streams only, counted per stream in the report',
          sum(counts) == len(chunks) and entry.get('frames') == counts,
          f'report frames={entry.get("frames")}, file holds {counts} of {len(chunks)} chunks')
    check(f'{name}: the report says it was repaired', entry.get('repaired') is True,
          f'repaired={entry.get("repaired")!r}')
    pos = 0
    while pos + 8 <= len(buf) and buf[pos:pos + 4] == b'RIFF':
        pos += 8 + u32(buf, pos + 4)
    check(f'{name}: its RIFF lists cover the file exactly', pos == len(buf) > 0,
          f'RIFF lists end at {pos}, file size {len(buf)}')
    probed = probe_streams(path)
    durations = []
    video = None
    for i, (s, mine) in enumerate(zip(streams, held)):
        kind = 'video' if s.get('type') == b'vids' else 'audio' if s.get('type') == b'auds' else s.get('type')
        size_held = sum(n for _, _, n in mine)
        length = size_held // s['sample_size'] if s.get('sample_size') else len(mine)
        check(f'{name}: stream {i} ({kind}) header length is what the file holds',
              s.get('length') == length, f'dwLength={s.get("length")}, holds {length}')
        if not s.get('rate'):
            continue
        durations.append(s['length'] * s['scale'] / s['rate'])
        # ffprobe leaves out the counts of a stream that holds nothing
        p = probed[i] if i < len(probed) else {'nb_read_packets': 'no such stream'}
        check(f'{name}: ffprobe reads as many stream {i} ({kind}) packets as it holds chunks',
              p.get('nb_read_packets', '0') == str(len(mine)), f'ffprobe {p.get("nb_read_packets")}, chunks {len(mine)}')
        if kind == 'video':
            video = (i, s, mine)
            want = len(mine) * s['scale'] / s['rate']
            check(f'{name}: ffprobe frame count and duration of the video are what it holds',
                  p.get('nb_frames', '0') == str(len(mine)) and abs(float(p.get('duration', 0)) - want) < 1e-3,
                  f'ffprobe nb_frames={p.get("nb_frames")} duration={p.get("duration")}, holds {len(mine)} frames, {want:.3f} s')
    if video:
        n = len(video[2])
        if hdr['odml_frames'] is None:
            check(f'{name}: avih total frames is its frame count', hdr['total_frames'] == n,
                  f'dwTotalFrames={hdr["total_frames"]}, frames {n}')
        else:
            check(f'{name}: dmlh total frames is its frame count', hdr['odml_frames'] == n,
                  f'dwTotalFrames={hdr["odml_frames"]}, frames {n}')
    longest = max(durations, default=0)
    check(f'{name}: the report gives the longest stream duration',
          abs(entry.get('duration_seconds', -1) - longest) < 1e-3,
          f'duration_seconds={entry.get("duration_seconds")}, header {longest:.3f}')
    compression = video[1].get('strf', b'')[16:20] if video else b''
    if len(buf) < GIB:
        why = idx1_problem(buf, chunks, compression)
        check(f'{name}: idx1 lists every chunk with its keyframe flag', not why, why)
    else:
        check(f'{name}: OpenDML: every stream has an indx super index and dmlh is there',
              all(s['indx'] for s in streams) and hdr['odml_frames'] is not None,
              f'indx {[s["indx"] for s in streams]}, dmlh {hdr["odml_frames"]}')
    if play:
        errors = decode_errors(path).splitlines()
        first = video[2][0] if video and video[2] else None
        label = name
        if first and not is_keyframe(compression, bytes(buf[first[1] + 8:first[1] + 8 + first[2]])):
            # A piece of a recording may begin after a keyframe: the decoder says so, and that
            # is all it may say.
            errors = [e for e in errors if not e.endswith('warning: first frame is no keyframe')]
            label += ' (first frame not a keyframe)'
        check(f'{label}: decodes without errors', not errors, errors[0] if errors else '')
    if play and video and len(video[2]) >= 2:
        s = video[1]
        target = len(video[2]) // 2 * s['scale'] / s['rate']
        why = seek_problem(path, target, s['scale'] / s['rate'], video_md5(path))
        check(f'{name}: seeking to its middle shows the frame decoding shows there', not why, why)
    return buf, chunks


def repaired(report_path):
    lines = []

    def check(name, ok, why=''):
        lines.append(f'ok {name}' if ok else f'FAIL {name}: {why}')

    files = json.load(open(report_path)).get('files', [])
    check('files were written', files, 'none')
    for entry in files:
        check_repaired(check, entry['path'], entry)
    print('\n'.join(lines))


def fat_layout(image_path, layout_path, pairs):
    fs = Fat32(image_path)
    entries = []
    for pair in pairs:
        name, clip = pair.split('=', 1)
        left, runs = os.path.getsize(clip), []
        for start, end in fs.extents(name):
            runs.append([start, start + min(end - start, left)])
            left -= runs[-1][1] - start
        entries.append({'clip': clip, 'runs': [r for r in runs if r[1] > r[0]]})
    json.dump(entries, open(layout_path, 'w'), indent=1)


def hole_sizes(image_path, clip, count, target):
    """Sizes of COUNT holes of whole clusters, about TARGET bytes each, for CLIP to fill in turn:
    each ends inside a sound chunk, past its header, so that a piece ends with a cut sound chunk
    (still decodable) rather than a cut picture."""
    cluster = Fat32(image_path).cluster
    chunks = data_chunks(open(clip, 'rb').read())
    sizes, done = [], 0
    for _ in range(count):
        size = max(cluster, target // cluster * cluster)
        while not any(cid[2:] == b'wb' and pos + 8 < done + size < pos + 8 + n for cid, pos, n in chunks):
            size += cluster
            if done + size >= chunks[-1][1]:
                raise SystemExit(f'{clip} is too short for {count} holes')
        sizes.append(size)
        done += size
    print(' '.join(map(str, sizes)))


def forget_next_free(image_path):
    """Clears the FSInfo "next free cluster" hint, so that mtools fills the first free clusters."""
    at = Fat32(image_path).fsinfo + 492
    with open(image_path, 'r+b') as f:
        f.seek(at)
        f.write(struct.pack('<I', 0xFFFFFFFF))


def stretches_of(clip, runs):
    """Runs of 2 or more consecutive movi data chunks of CLIP whose bytes lie in one of its
    pieces on the image: (piece, first chunk number, [(id, payload), ...])."""
    data = open(clip, 'rb').read()
    pieces, at = [], 0
    for start, end in runs:
        pieces.append((at, at + end - start))
        at += end - start
    out, current, current_piece = [], [], None
    for j, (cid, pos, size) in enumerate(data_chunks(data)):
        piece = next((i for i, (a, b) in enumerate(pieces) if a <= pos and pos + 8 + size <= b), None)
        if piece is None or piece != current_piece:
            if len(current) >= 2:
                out.append((current_piece, j - len(current), current))
            current = []
        current_piece = piece
        if piece is not None:
            current.append((cid, data[pos + 8:pos + 8 + size]))
    if len(current) >= 2:
        out.append((current_piece, len(data_chunks(data)) - len(current), current))
    return out


def stretches(report_path, layout_path):
    lines = []

    def check(name, ok, why=''):
        lines.append(f'ok {name}' if ok else f'FAIL {name}: {why}')

    def key(cid, payload):
        return cid, hashlib.md5(payload).digest()

    outputs = []
    for f in json.load(open(report_path)).get('files', []):
        buf = map_file(f['path'])
        outputs.append((os.path.basename(f['path']),
                        [key(cid, bytes(buf[p + 8:p + 8 + n])) for cid, p, n in data_chunks(buf)]))
    for entry in json.load(open(layout_path)):
        clip = os.path.basename(entry['clip'])
        for piece, first, run in stretches_of(entry['clip'], entry['runs']):
            want = [key(*c) for c in run]
            audio = sum(c[0][2:] == b'wb' for c in run)
            best = (0, 'no file')
            for name, have in outputs:
                for i in (i for i, k in enumerate(have) if k == want[0]):
                    n = next((m for m in range(len(want)) if i + m >= len(have) or have[i + m] != want[m]), len(want))
                    best = max(best, (n, name))
            check(f'{clip} piece {piece + 1}/{len(entry["runs"])}: chunks {first}-{first + len(run) - 1} '
                  f'({len(run) - audio} video, {audio} audio) come back in order', best[0] == len(want),
                  f'at most {best[0]} of them in order, in {best[1]}')
    print('\n'.join(lines))


def layout_of(path):
    """A fat-layout file, or a manifest of place/fat-manifest, as [{'clip', 'runs'}]."""
    return [{'clip': e['clip'],
             'runs': e['runs'] if 'runs' in e else [[e['offset'], e['offset'] + e['length']]]}
            for e in json.load(open(path))]


def chunk_keys(buf):
    """(id, md5 of the payload) of every movi data chunk of an AVI file, in file order."""
    return [(cid, hashlib.md5(bytes(buf[p + 8:p + 8 + n])).digest()) for cid, p, n in data_chunks(buf)]


def first_difference(have, want):
    i = next((i for i, (a, b) in enumerate(zip(have, want)) if a != b), min(len(have), len(want)))
    return f'{len(have)} chunks, {len(want)} recorded; first difference at chunk {i}'


def whole(report_path, layout_path, image_path=None):
    """Every recording of the layout comes back in one file of its own: the file's extents lie in
    the recording's pieces, in their order, and it holds all of the recording's data chunks, in
    order, ids and payloads the same; no file holds anything else. The report counts the pieces
    each file was joined from and the recordings joined. With IMAGE (a FAT32 image), the cluster
    grid must be the file system's."""
    lines = []

    def check(name, ok, why=''):
        lines.append(f'ok {name}' if ok else f'FAIL {name}: {why}')

    report = json.load(open(report_path))
    files = report.get('files', [])
    layout = layout_of(layout_path)
    check('files were written', files, 'none')
    owned = set()
    for entry in layout:
        clip, runs = os.path.basename(entry['clip']), entry['runs']
        label = f'{clip} ({len(runs)} piece{"s" if len(runs) > 1 else ""})'
        mine = [f for f in files if any(s < b and a < e for s, e in f.get('extents', []) for a, b in runs)]
        check(f'{label} comes back in one file', len(mine) == 1,
              f'{len(mine)} files: {[os.path.basename(f["path"]) for f in mine]}')
        if len(mine) != 1:
            continue
        f = mine[0]
        owned.add(f['path'])
        name = os.path.basename(f['path'])
        where = [next((i for i, (a, b) in enumerate(runs) if a <= s and e <= b), None) for s, e in f['extents']]
        order = [(i, s) for i, (s, _) in zip(where, f['extents'])]
        check(f'{label}: the extents of {name} lie in its pieces, in their order',
              f['extents'] and None not in where and order == sorted(order),
              f'extents {f["extents"]}, pieces {runs}')
        want = chunk_keys(open(entry['clip'], 'rb').read())
        have = chunk_keys(map_file(f['path']))
        audio = sum(cid[2:] == b'wb' for cid, _ in want)
        check(f'{label}: {name} holds its {len(want)} data chunks ({len(want) - audio} video, {audio} '
              f'audio), in order, byte for byte', have == want, first_difference(have, want))
        check(f'{label}: the report says {name} was joined from {len(runs)} piece(s), none of its frames left out',
              f.get('pieces') == len(runs) and not any(f.get('frames_left_out', [1])),
              f'pieces={f.get("pieces")} frames_left_out={f.get("frames_left_out")}')
    others = [os.path.basename(f['path']) for f in files if f['path'] not in owned]
    check('no file holds anything but a recording', not others, others)
    r = report.get('reassembly') or {}
    joined = [e for e in layout if len(e['runs']) > 1]
    check(f'the report counts {len(joined)} recording(s) joined from {sum(len(e["runs"]) for e in joined)} pieces',
          r.get('joined_recordings') == len(joined) and r.get('pieces_joined') == sum(len(e['runs']) for e in joined)
          and r.get('frames_left_out') == 0, f'reassembly={r or None}')
    if image_path:
        cluster = Fat32(image_path).cluster
        check(f'the cluster grid is the file system\'s ({cluster} bytes)',
              r.get('geometry') == 'file system' and r.get('cluster_size') == cluster,
              f'geometry={r.get("geometry")!r} cluster_size={r.get("cluster_size")}')
    print('\n'.join(lines))


def same_data(path, clip):
    """Exit status: the recovered file holds the data chunks of CLIP, in order, byte for byte."""
    have, want = chunk_keys(map_file(path)), chunk_keys(open(clip, 'rb').read())
    if have != want:
        print(f'     {path}: {first_difference(have, want)}')
    return have == want


def plain(report_path, sample, image_path):
    lines = []

    def check(name, ok, why=''):
        lines.append(f'ok {name}' if ok else f'FAIL {name}: {why}')

    header = header_of(open(sample, 'rb').read())
    image = map_file(image_path)
    files = json.load(open(report_path)).get('files', [])
    check('files were written', files, 'none')
    for f in files:
        name = os.path.basename(f['path'])
        got = open(f['path'], 'rb').read()
        want = header + bytes(image[f['source_start']:f['source_end']])
        check(f'{name} is the sample header and source bytes {f["source_start"]}-{f["source_end"]}',
              got == want and f.get('bytes') == len(got), f'{len(got)} bytes, expected {len(want)}')
        check(f'{name}: the report says it was not repaired', f.get('repaired') is False,
              f'repaired={f.get("repaired")!r}')
    print('\n'.join(lines))


def big_avi(image_path, sample, frames_clip, groups, seconds, out_path):
    header = bytearray(header_of(open(sample, 'rb').read()))
    video, audio = header_fields(header)['streams'][:2]
    if (seconds * video['rate']) % video['scale']:
        raise SystemExit('SECONDS must hold whole video frames')
    per_group = seconds * video['rate'] // video['scale']
    audio_size = seconds * u32(audio['strf'], 8)  # nAvgBytesPerSec
    clip = open(frames_clip, 'rb').read()
    frames = [clip[p + 8:p + 8 + n] for cid, p, n in data_chunks(clip) if cid[2:] in (b'dc', b'db')]
    start = (1 << 20) + 4096
    with open(image_path, 'wb') as f:
        def put(pos, data):
            f.seek(pos)
            f.write(data)
            return pos + len(data)

        put(0, noise(start, 7))
        riff, movi = start, start + len(header) - 12
        pos = put(start, header)
        index, segments, frame = [], 1, 0

        def close(pos):  # ends the segment: idx1 after the first movi list, sizes filled in
            put(movi + 4, struct.pack('<I', pos - movi - 8))
            if segments == 1:
                pos = put(pos, b'idx1' + struct.pack('<I', 16 * len(index)) + b''.join(index))
            put(riff + 4, struct.pack('<I', pos - riff - 8))
            return pos

        for g in range(groups):
            if pos - riff > GIB:
                pos = close(pos)
                riff, movi, segments = pos, pos + 12, segments + 1
                pos = put(pos, b'RIFF\0\0\0\0AVIXLIST\0\0\0\0movi')
            if segments == 1:
                index.append(struct.pack('<4sIII', b'01wb', 0x10, pos - movi - 8, audio_size))
            put(pos, b'01wb' + struct.pack('<I', audio_size))
            pos += 8 + audio_size
            for _ in range(per_group):
                data = frames[frame % len(frames)]
                if segments == 1:
                    index.append(struct.pack('<4sIII', b'00dc', 0x10, pos - movi - 8, len(data)))
                pos = put(pos, chunk(b'00dc', data))
                frame += 1
        end = close(pos)
        put(end, noise(1 << 16, 8))
    json.dump({'start': start, 'end': end, 'video_frames': frame, 'audio_chunks': groups,
               'audio_bytes': groups * audio_size, 'duration': groups * seconds,
               'segments': segments, 'cycle': len(frames)}, open(out_path, 'w'), indent=1)


def big_verify(report_path, image_path, frames_clip, description_path):
    lines = []

    def check(name, ok, why=''):
        lines.append(f'ok {name}' if ok else f'FAIL {name}: {why}')

    want = json.load(open(description_path))
    report = json.load(open(report_path))
    files = report.get('files', [])
    check(f'one file written for the recording in {want["segments"]} RIFF segments',
          len(files) == 1 and report.get('error') is None, f'{len(files)} files, error={report.get("error")!r}')
    if not files:
        print('\n'.join(lines))
        return
    entry = files[0]
    path = entry['path']
    check('the file is over 4 GiB', os.path.getsize(path) > 4 * GIB, f'{os.path.getsize(path)} bytes')
    check('the report gives the recording\'s place on the image and calls it complete',
          entry.get('source_start', -1) >= want['start'] and entry.get('source_end') == want['end']
          and entry.get('complete') is True,
          f'source {entry.get("source_start")}-{entry.get("source_end")}, recording {want["start"]}-{want["end"]}')
    buf, chunks = check_repaired(check, path, entry, play=False)
    image = map_file(image_path)
    original = data_chunks(image, want['start'], want['end'])
    same = len(chunks) == len(original) and all(
        a[0] == b[0] and a[2] == b[2] and buf[a[1] + 8:a[1] + 8 + a[2]] == image[b[1] + 8:b[1] + 8 + b[2]]
        for a, b in zip(chunks, original))
    check(f'it holds the {len(original)} data chunks of the recording, byte for byte', same,
          f'{len(chunks)} chunks')
    check('its header gives the recording\'s duration',
          abs(entry.get('duration_seconds', -1) - want['duration']) < 1e-3,
          f'duration_seconds={entry.get("duration_seconds")}, recorded {want["duration"]} s')
    cycle = [md5 for _, md5 in video_md5(frames_clip)]
    decoded, errors = video_md5(path, decode_all=True)
    check('it decodes without errors', not errors, errors.splitlines()[0] if errors else '')
    video = header_fields(buf)['streams'][0]
    frame_time = video['scale'] / video['rate']
    expected = [(i * frame_time, cycle[i % len(cycle)]) for i in range(want['video_frames'])]
    first_bad = next((i for i, (a, b) in enumerate(zip(decoded, expected)) if a[1] != b[1] or abs(a[0] - b[0]) > 1e-6), None)
    check(f'all {want["video_frames"]} frames decode to the pictures recorded, at their times, to the last',
          len(decoded) == len(expected) and first_bad is None,
          f'{len(decoded)} frames decoded, first wrong: {first_bad}')
    target = (want['video_frames'] - 5) * frame_time
    why = seek_problem(path, target, frame_time, expected)
    check(f'seeking to {target:.0f} s, 5 frames before the end, shows the frame recorded there', not why, why)
    print('\n'.join(lines))


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == 'header':
        open(args[1], 'wb').write(header_of(open(args[0], 'rb').read()))
    elif cmd == 'chunks':
        print(json.dumps(chunk_info(args[0])))
    elif cmd == 'place':
        place(args[0], int(args[1]), int(args[2]), args[3], args[4:])
    elif cmd == 'fat-manifest':
        fat_manifest(args[0], args[1], args[2:])
    elif cmd == 'verify':
        decode = '--no-decode' not in args
        verify(*[a for a in args if a != '--no-decode'], decode=decode)
    elif cmd == 'chain-image':
        chain_image(args[0], args[1])
    elif cmd == 'fat-layout':
        fat_layout(args[0], args[1], args[2:])
    elif cmd == 'hole-sizes':
        hole_sizes(args[0], args[1], int(args[2]), int(args[3]))
    elif cmd == 'forget-next-free':
        forget_next_free(args[0])
    elif cmd == 'stretches':
        stretches(*args)
    elif cmd == 'repaired':
        repaired(args[0])
    elif cmd == 'plain':
        plain(*args)
    elif cmd == 'whole':
        whole(*args)
    elif cmd == 'same-data':
        sys.exit(0 if same_data(*args) else 1)
    elif cmd == 'big-avi':
        big_avi(args[0], args[1], args[2], int(args[3]), int(args[4]), args[5])
    elif cmd == 'big-verify':
        big_verify(*args)
    else:
        raise SystemExit(f'unknown command {cmd}')


if __name__ == '__main__':
    main()
