#!/usr/bin/env python3
"""Helpers for runs on failing_medium: bad-sector lists, zeroed copies of an image, and what the
medium's read log tells of a run (how soon the good sectors came, how often each bad one was
tried, where the first pass ended). Checks print "ok NAME" / "FAIL NAME: why" lines."""
import bisect
import filecmp
import json
import os
import random
import subprocess
import sys
import time

SECTOR = 512
MIB = 1 << 20


def read_bad(path):
    """The sorted bad sector numbers of a failing_medium list."""
    out = set()
    for line in open(path):
        line = line.split('#')[0].strip()
        if not line:
            continue
        first, _, last = line.partition('-')
        out.update(range(int(first), int(last or first) + 1))
    return sorted(out)


def read_log(path):
    """[(seconds, offset, length, ok)] in the order the requests were answered."""
    out = []
    for line in open(path):
        t, offset, length, status = line.split()
        out.append((float(t), int(offset), int(length), status == 'ok'))
    return out


def sectors_of(offset, length, size):
    """The sectors a request of `length` bytes at `offset` lies in, within the medium."""
    end = min(offset + length, size)
    if end <= offset:
        return range(0)
    return range(offset // SECTOR, (end - 1) // SECTOR + 1)


def to_ranges(sectors):
    """Sorted sector numbers as merged [start, end) byte ranges."""
    out = []
    for s in sectors:
        if out and out[-1][1] == s * SECTOR:
            out[-1][1] += SECTOR
        else:
            out.append([s * SECTOR, (s + 1) * SECTOR])
    return out


def bad_list(layout_path, out_path, seed):
    """A 1 MiB damaged stretch 20 MiB in, and 200 single bad sectors inside the recordings
    (away from the stretch), seeded so that every run damages the same sectors."""
    stretch = (20 * MIB // SECTOR, 21 * MIB // SECTOR - 1)
    inside = []
    for entry in json.load(open(layout_path)):
        for start, end in entry['runs']:
            inside.extend(range(-(-start // SECTOR), end // SECTOR))
    inside = [s for s in inside if not stretch[0] - 256 <= s <= stretch[1] + 256]
    singles = sorted(random.Random(seed).sample(inside, 200))
    with open(out_path, 'w') as f:
        f.write(f'# a damaged stretch\n{stretch[0]}-{stretch[1]}\n# single bad sectors\n')
        f.writelines(f'{s}\n' for s in singles)


def zeroed(image_path, out_path, ranges):
    """A copy of the image with the [start, end) byte ranges zeroed."""
    data = bytearray(open(image_path, 'rb').read())
    for start, end in ranges:
        data[start:end] = bytes(end - start)
    open(out_path, 'wb').write(data)


def measure(log_path, times_path, size, bad_path):
    """What a run's read log tells: seconds from the tool's start until it had read 90% of the
    readable sectors (each counted the first time a successful read brought it), seconds in all,
    and how often each bad sector lay in a requested read."""
    start, end = map(float, open(times_path).read().split())
    bad = read_bad(bad_path)
    readable = -(-size // SECTOR) - len(bad)
    goal = 0.9 * readable
    seen = bytearray(-(-size // SECTOR))
    count, t90 = 0, None
    tries = dict.fromkeys(bad, 0)
    requests = {s: [] for s in bad}  # the reads that tried each bad sector
    for t, offset, length, ok in read_log(log_path):
        sectors = sectors_of(offset, length, size)
        inside = bad[bisect.bisect_left(bad, sectors.start):bisect.bisect_left(bad, sectors.stop)]
        if ok == bool(inside):  # the medium fails exactly the requests that touch a bad sector
            raise SystemExit(f'{log_path}: a read of {length} bytes at {offset} that touches'
                             f' {len(inside)} bad sectors ended {"ok" if ok else "in EIO"}')
        for s in inside:
            tries[s] += 1
            requests[s].append([offset, length])
        if ok:
            for s in sectors:
                if not seen[s]:
                    seen[s] = 1
                    count += 1
            if t90 is None and count >= goal:
                t90 = t - start
    worst = max(bad, key=tries.get, default=None)
    return {'t90': t90, 'seconds': end - start, 'readable_sectors': readable,
            'worst': {'sector': worst, 'requests': requests[worst] if bad else []},
            'sectors_read': count, 'tries': {str(s): n for s, n in tries.items()},
            'max_tries': max(tries.values(), default=0), 'total_tries': sum(tries.values())}


def check_first_pass(name, log_path, size):
    """The run ends after its first pass, which never asks twice for a sector: coming back would
    ask again for the sectors of the requests that failed. (What it skipped stays unread: the
    ranges check holds every sector never read.)"""
    log = read_log(log_path)
    failed, again = set(), []
    for _, offset, length, ok in log:
        sectors = set(sectors_of(offset, length, size))
        if sectors & failed:
            again.append((offset, length))
        if not ok:
            failed |= sectors
    print(('ok' if not again else 'FAIL') + f' {name}: no sector of a failed request is asked for again'
          + ('' if not again else f': {len(again)} requests do, the first at offset {again[0][0]} ({again[0][1]} bytes)'))


def check_ranges(name, report_path, log_path, size, bad_path=None):
    """The report's unreadable_ranges, sorted and merged, hold every sector the run never read
    (with bad_path: they are exactly the bad sectors), and unreadable_scan_bytes counts them."""
    report = json.load(open(report_path))
    if 'unreadable_ranges' not in report:
        print(f'FAIL {name}: the JSON report has "unreadable_ranges": it has not')
        return
    ranges = report['unreadable_ranges']
    ordered = all(a[0] < a[1] < b[0] for a, b in zip(ranges, ranges[1:])) and all(s < e for s, e in ranges)
    print(('ok' if ordered else 'FAIL') + f' {name}: "unreadable_ranges" are sorted and merged')
    got = bytearray(-(-size // SECTOR))
    for _, offset, length, ok in read_log(log_path):
        if ok:
            for s in sectors_of(offset, length, size):
                got[s] = 1
    claimed = bytearray(len(got))
    for start, end in ranges:
        claimed[start // SECTOR:-(-end // SECTOR)] = b'\1' * (-(-end // SECTOR) - start // SECTOR)
    unclaimed = to_ranges(s for s, g in enumerate(got) if not g and not claimed[s])
    print(('ok' if not unclaimed else 'FAIL') + f' {name}: "unreadable_ranges" hold every sector it never read'
          + ('' if not unclaimed else f': {len(unclaimed)} ranges are not, the first {unclaimed[0]}'))
    if bad_path:
        want = to_ranges(read_bad(bad_path))
        if ranges == want:
            print(f'ok {name}: "unreadable_ranges" are the bad sectors ({len(want)} ranges)')
        else:
            extra = [r for r in ranges if r not in want][:3]
            missing = [r for r in want if r not in ranges][:3]
            print(f'FAIL {name}: "unreadable_ranges" are the bad sectors: {len(ranges)} ranges for'
                  f' {len(want)}; not wanted {extra}, missing {missing}')
    total = sum(end - start for start, end in ranges)
    ok = report.get('unreadable_scan_bytes') == total
    print(('ok' if ok else 'FAIL') + f' {name}: "unreadable_scan_bytes" is the length of the ranges'
          + ('' if ok else f': {report.get("unreadable_scan_bytes")} for {total}'))


def check_same_files(name, got_dir, want_dir):
    """The two runs wrote the same files, byte for byte."""
    got, want = sorted(os.listdir(got_dir)), sorted(os.listdir(want_dir))
    if not want:
        print(f'FAIL {name}: the run on the copy wrote files: it wrote none')
    elif got != want:
        print(f'FAIL {name}: the same files: {len(got)} files for {len(want)}')
    else:
        differ = [f for f in got if not filecmp.cmp(os.path.join(got_dir, f), os.path.join(want_dir, f),
                                                    shallow=False)]
        print(('ok' if not differ else 'FAIL') + f' {name}: {len(got)} files, byte for byte the same'
              + ('' if not differ else f': {len(differ)} differ ({", ".join(differ[:5])})'))


def compare(korvid_path, ddrescue_path, ratio):
    """korvid reads 90% of the readable sectors within `ratio` times ddrescue's time, and tries no
    bad sector more often than ddrescue tries it."""
    k, d = json.load(open(korvid_path)), json.load(open(ddrescue_path))
    if k['t90'] is None or d['t90'] is None:
        print('FAIL 90% of the readable sectors read: ' +
              ', '.join(f'{n} read {m["sectors_read"]} of {m["readable_sectors"]}'
                        for n, m in (('korvid', k), ('ddrescue', d)) if m['t90'] is None))
    else:
        ok = k['t90'] <= ratio * d['t90']
        print(('ok' if ok else 'FAIL') + f' korvid reads 90% of the readable sectors within {ratio} x'
              f' ddrescue\'s time: {k["t90"]:.2f} s, ddrescue {d["t90"]:.2f} s')
    more = [(int(s), n, d['tries'][s]) for s, n in k['tries'].items() if n > d['tries'][s]]
    print(('ok' if not more else 'FAIL') + ' korvid tries each bad sector no more often than ddrescue:'
          f' max {k["max_tries"]} (ddrescue {d["max_tries"]}), total {k["total_tries"]}'
          f' (ddrescue {d["total_tries"]})' + ('' if not more else
          f'; {len(more)} sectors tried more often, e.g. sector {more[0][0]}: {more[0][1]} times,'
          f' ddrescue {more[0][2]}'))
    if more:
        print(f'     korvid\'s reads over sector {k["worst"]["sector"]} (offset bytes):'
              f' {", ".join(f"{o} {n}" for o, n in k["worst"]["requests"])}')


def table(rows):
    """The bench's table: one row per tool's measures file."""
    print(f'{"tool":<10} {"90% read (s)":>13} {"total (s)":>10} {"bad tries max":>14} {"bad tries total":>16}')
    for tool, path in rows:
        m = json.load(open(path))
        t90 = f'{m["t90"]:.2f}' if m['t90'] is not None else 'never'
        print(f'{tool:<10} {t90:>13} {m["seconds"]:>10.2f} {m["max_tries"]:>14} {m["total_tries"]:>16}')


def timed(times_path, command):
    """Runs the command; writes its start and end on the monotonic clock the log uses."""
    start = time.monotonic()
    status = subprocess.call(command)
    open(times_path, 'w').write(f'{start} {time.monotonic()}\n')
    return status


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == 'timed':
        sys.exit(timed(args[0], args[1:]))
    elif cmd == 'bad-list':
        bad_list(args[0], args[1], int(args[2]))
    elif cmd == 'zero-bad':
        zeroed(args[0], args[1], to_ranges(read_bad(args[2])))
    elif cmd == 'zero-report':
        zeroed(args[0], args[1], json.load(open(args[2])).get('unreadable_ranges', []))
    elif cmd == 'measure':
        json.dump(measure(args[0], args[1], int(args[2]), args[3]), open(args[4], 'w'))
    elif cmd == 'first-pass':
        check_first_pass(args[0], args[1], int(args[2]))
    elif cmd == 'ranges':
        check_ranges(args[0], args[1], args[2], int(args[3]), *args[4:])
    elif cmd == 'same-files':
        check_same_files(*args)
    elif cmd == 'compare':
        compare(args[0], args[1], float(args[2]))
    elif cmd == 'table':
        table(list(zip(args[0::2], args[1::2])))
    else:
        raise SystemExit(f'unknown command {cmd}')


if __name__ == '__main__':
    main()
