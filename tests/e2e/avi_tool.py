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
"""
import json
import random
import re
import struct
import subprocess
import sys

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
    written = sorted(os.listdir(outdir), key=lambda n: (len(n), n))
    wanted = [f'{i}.AVI' for i in range(1, len(entries) + 1)]
    check(f'{len(entries)} files written, one per recording', written == wanted,
          f'folder holds {written}')
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
    else:
        raise SystemExit(f'unknown command {cmd}')


if __name__ == '__main__':
    main()
