#!/usr/bin/env python3
"""Helpers of source_names_test.sh.

  source_names_tool.py idit IN OUT TEXT        copy the AVI IN to OUT with an IDIT chunk holding
                                               TEXT at the end of its hdrl list, sizes mended
  source_names_tool.py timestamp "Y-M-D H:M:S"  the UTC time as seconds since 1970
  source_names_tool.py table TEXT REPORT       check that the text summary TEXT has a line per
                                               file of REPORT: number, source name, time, frames
  source_names_tool.py check REPORT MANIFEST   check korvid-cli's JSON report against the
                                               recordings in MANIFEST (JSON: a list of
                                               {seconds, name, size, modified, recording_time,
                                               named}); prints "ok NAME" / "FAIL NAME: why"

A recovered file is told apart by its video frames (the recordings differ in length, 25 frames a
second). `named` false: its entry is gone, the file must have no source name at all. A FAT name
may have lost its first letter ("_").
"""
import calendar
import json
import os
import struct
import sys
import time


def idit(src, dst, text):
    data = bytearray(open(src, 'rb').read())
    if data[0:4] != b'RIFF' or data[8:12] != b'AVI ' or data[12:16] != b'LIST' or data[20:24] != b'hdrl':
        sys.exit(f'{src}: no RIFF AVI form starting with its hdrl list')
    body = text.encode() + b'\0'
    chunk = b'IDIT' + struct.pack('<I', len(body)) + body + (b'\0' if len(body) % 2 else b'')
    hdrl_size = struct.unpack_from('<I', data, 16)[0]
    end = 20 + hdrl_size
    data[end:end] = chunk
    struct.pack_into('<I', data, 16, hdrl_size + len(chunk))
    struct.pack_into('<I', data, 4, struct.unpack_from('<I', data, 4)[0] + len(chunk))
    open(dst, 'wb').write(data)


def iso(seconds):
    return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(seconds)) if seconds is not None else None


def same_name(got, want):
    return got == want or (got is not None and len(got) == len(want) and got[0] == '_' and got[1:] == want[1:])


def check(report_path, manifest_path):
    report = json.load(open(report_path))
    recordings = json.load(open(manifest_path))
    files = report['files']
    by_frames = {round(r['seconds'] * 25): r for r in recordings}
    seen = set()
    for n, f in enumerate(files, 1):
        label = os.path.basename(f['path'])
        r = by_frames.get(f['frames'][0] if f['frames'] else -1)
        if r is None:
            print(f'FAIL {label}: {f["frames"]} frames are no recording\'s')
            continue
        seen.add(r['name'])
        problems = []
        want_time = r['recording_time'] if r['recording_time'] is not None else (
            r['modified'] if r['named'] else None)
        if r['named']:
            if not same_name(f['source_name'], r['name']):
                problems.append(f'named {f["source_name"]!r}, not {r["name"]!r}')
            if f['source_size'] != r['size']:
                problems.append(f'source size {f["source_size"]}, not {r["size"]}')
            times = f['source_times'] or {}
            if times.get('modified') != iso(r['modified']):
                problems.append(f'modified {times.get("modified")}, not {iso(r["modified"])}')
            want_file = f'{n} {f["source_name"]}'
            if os.path.basename(f['path']) != want_file:
                problems.append(f'written as {os.path.basename(f["path"])!r}, not {want_file!r}')
        else:
            if f['source_name'] is not None or f['source_size'] is not None or f['source_times'] is not None:
                problems.append(f'named {f["source_name"]!r} though its entry is gone')
            if os.path.basename(f['path']) != f'{n}.AVI':
                problems.append(f'written as {os.path.basename(f["path"])!r}, not {n}.AVI')
        if f['recording_time'] != iso(r['recording_time']):
            problems.append(f'recording time {f["recording_time"]}, not {iso(r["recording_time"])}')
        if not os.path.exists(f['path']):
            problems.append('the file is missing')
        elif want_time is not None and int(os.stat(f['path']).st_mtime) != want_time:
            problems.append(f'modified {iso(int(os.stat(f["path"]).st_mtime))} on disk, not {iso(want_time)}')
        if problems:
            print(f'FAIL {r["name"]}: ' + '; '.join(problems))
        else:
            print(f'ok {r["name"]} as {label}')
    for r in recordings:
        if r['name'] not in seen:
            print(f'FAIL {r["name"]}: not recovered')
    if len(files) != len(recordings):
        print(f'FAIL {len(files)} files written for {len(recordings)} recordings')


def table(text_path, report_path):
    lines = open(text_path).read().splitlines()
    for n, f in enumerate(json.load(open(report_path))['files'], 1):
        seconds = f['recording_time'] or (f['source_times'] or {}).get('modified')
        when = seconds.replace('T', ' ').rstrip('Z') if seconds else '-'
        frames = '+'.join(str(x) for x in f['frames'])
        want = [str(n), f['source_name'] or '-', *when.split(' '), frames]
        if any(line.split()[:3] == want[:3] and line.split()[-1] == frames and
               ' '.join(line.split()[2:2 + len(when.split(' '))]) == when for line in lines):
            print(f'ok table line {n}: {" ".join(want)}')
        else:
            print(f'FAIL table line {n}: no line "{" ".join(want)}" in the summary')


def timestamp(text):
    return calendar.timegm(time.strptime(text, '%Y-%m-%d %H:%M:%S'))


if __name__ == '__main__':
    if sys.argv[1] == 'idit':
        idit(sys.argv[2], sys.argv[3], sys.argv[4])
    elif sys.argv[1] == 'check':
        check(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == 'table':
        table(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == 'timestamp':
        print(timestamp(sys.argv[2]))
    else:
        sys.exit(__doc__)
