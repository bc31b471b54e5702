"""Prints korvid-scale-bench's JSON lines (stdin; the first is the baseline) as a table."""
import json
import sys

rows = [json.loads(line) for line in sys.stdin if line.strip()]
base = rows[0]
print(f"{'chunks':>11} {'pieces':>7} {'source MB':>9} {'files':>5} {'pieces joined':>13} "
      f"{'peak after scan MiB':>19} {'peak MiB':>8} {'MiB per 10^6 chunks over the baseline':>38}")
for r in rows:
    if r is base:
        growth = "baseline"
    else:
        growth = f"{(r['peak_kib'] - base['peak_kib']) / 1024 / ((r['chunks'] - base['chunks']) / 1e6):.1f}"
    # Cards too large to write are scanned and joined only.
    written = r.get("written", True)
    files = r['files'] if written else "-"
    joined = r['pieces_in_joined'] if written else "-"
    print(f"{r['chunks']:>11} {r['pieces']:>7} {r['source_bytes'] / 1e6:>9.0f} {files:>5} "
          f"{joined:>13} {r['peak_kib_scan'] / 1024:>19.0f} {r['peak_kib'] / 1024:>8.0f} {growth:>38}")
