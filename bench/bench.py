#!/usr/bin/env python3
"""Generates the bench images and measures korvid-cli against cat and cp.

Called by bench/run.sh as:  bench.py KORVID_CLI WORKDIR PEAK_RSS
(PEAK_RSS: bench/peak_rss.c, built by run.sh)
Every figure is a ratio against a baseline measured in the same run, so the numbers compare
across machines. Images are generated into WORKDIR and removed after their phase.
"""

import json
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import time

GIB = 1 << 30
MIB = 1 << 20
BLOCK = 16 * MIB  # images are written in blocks of about this size
RUNS = 3  # timed runs of the write figure; the best counts
SCAN_RUNS = 9  # timed runs of the scan figure (each takes well under a second)

SCAN_IMAGE_SIZE = 2 * GIB
SCAN_CHAINS = 300  # chains in the scan image
SCAN_CHAIN_CHUNKS = 8  # chunks per chain
WRITE_CHUNK = 64 * 1024  # bytes per chunk in the write image, id and size word included
WRITE_CHUNKS = GIB // WRITE_CHUNK  # one chain of 1 GiB
WRITE_PAD = MIB  # filler before and after the chain
MEMORY_UNIT = 96  # two records ("00db", "00dc") every 96 bytes
MEMORY_IMAGE_SIZE = 2 * GIB
MEMORY_CHUNK_SIZE_WORD = 1000  # no neighbour at 1008/1009 bytes: every record stands alone
RECORD_BYTES = 16
MEMORY_ALLOWANCE = 64 * MIB
TINY_IMAGE_SIZE = MIB

SCAN_TARGET = 0.70
DEEP_SCAN_TARGET = 0.50  # --deep: every movi chunk id instead of two
WRITE_TARGET = 0.50

rng = random.Random(20240601)
PEAK_RSS = None  # the peak_rss program


def log(text=""):
    print(text, flush=True)


def gib(n):
    return f"{n / GIB:.2f} GiB"


def rate(n):
    return f"{n / 1e9:.2f} GB/s"


# ---------------------------------------------------------------- generation


def filler(size):
    """Random bytes without any "00d", so that filler never holds a chunk id."""
    data = os.urandom(size)
    while b"00d" in data:
        data = data.replace(b"00d", b"01d")
    return data


def chunk(size, payload_source, offset=0):
    """One "00dc" chunk with `size` payload bytes, plus the pad byte an odd size needs."""
    body = payload_source[offset:offset + size]
    assert len(body) == size
    return b"00dc" + struct.pack("<I", size) + body + (b"\0" if size & 1 else b"")


def write_sample(path):
    """A minimal AVI whose header ends with the "movi" list id."""
    avih = b"avih" + struct.pack("<I", 56) + bytes(56)
    hdrl = b"LIST" + struct.pack("<I", 4 + len(avih)) + b"hdrl" + avih
    movi = b"LIST" + struct.pack("<I", 4) + b"movi"
    body = b"AVI " + hdrl + movi
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def finish(path):
    """Writes the image out to disk so that background writeback does not disturb timings;
    its pages stay in the page cache."""
    os.sync()
    log(f"  {os.path.basename(path)}: {os.path.getsize(path)} bytes")


def make_scan_image(path):
    """Random filler with SCAN_CHAINS short chains of small chunks (a few MB to write)."""
    base = filler(BLOCK)
    payload = filler(64 * 1024)
    blocks = SCAN_IMAGE_SIZE // BLOCK
    per_block = [0] * blocks
    for i in range(SCAN_CHAINS):
        per_block[i * blocks // SCAN_CHAINS] += 1
    expected = 0
    with open(path, "wb") as f:
        for b in range(blocks):
            shift = rng.randrange(BLOCK)
            data = bytearray(base[shift:] + base[:shift])
            slot = BLOCK // max(per_block[b], 1)
            for c in range(per_block[b]):
                run = b"".join(chunk(rng.randrange(200, 4000), payload, rng.randrange(4096))
                               for _ in range(SCAN_CHAIN_CHUNKS))
                at = c * slot + rng.randrange(slot - len(run))
                data[at:at + len(run)] = run
                expected += 1
            f.write(data)
    finish(path)
    return expected


def make_write_image(path):
    """One chain of WRITE_CHUNKS back-to-back chunks of WRITE_CHUNK bytes, filler around it."""
    size = WRITE_CHUNK - 8
    payload = filler(4 * MIB)
    per_block = BLOCK // WRITE_CHUNK
    with open(path, "wb") as f:
        f.write(filler(WRITE_PAD))
        for first in range(0, WRITE_CHUNKS, per_block):
            f.write(b"".join(chunk(size, payload, rng.randrange(len(payload) - size))
                             for _ in range(first, min(first + per_block, WRITE_CHUNKS))))
        f.write(filler(WRITE_PAD))
    finish(path)


def make_memory_image(path):
    """Records every MEMORY_UNIT / 2 bytes, none continuing into the next: no file is written."""
    half = MEMORY_UNIT // 2
    word = struct.pack("<I", MEMORY_CHUNK_SIZE_WORD)
    unit = (b"00db" + word + filler(half - 8)) + (b"00dc" + word + filler(half - 8))
    block = unit * (BLOCK // MEMORY_UNIT)
    blocks = MEMORY_IMAGE_SIZE // len(block)
    with open(path, "wb") as f:
        for _ in range(blocks):
            f.write(block)
    finish(path)
    return blocks * len(block) // half


def make_tiny_image(path):
    """A little filler and one chain of two chunks."""
    payload = filler(4096)
    with open(path, "wb") as f:
        f.write(filler(TINY_IMAGE_SIZE // 2) + chunk(1000, payload) + chunk(1001, payload) +
                filler(TINY_IMAGE_SIZE // 2))
    finish(path)


# ---------------------------------------------------------------- measuring


def cat_to_null(path):
    """Seconds `cat path > /dev/null` takes."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        subprocess.run(["cat", path], stdout=null, check=True)
        return time.perf_counter() - start


def clear_folder(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.mkdir(folder)
    os.sync()  # no writeback of an earlier run's output during the next one


def run_korvid(cli, source, sample, output, extra=()):
    """Runs korvid-cli recover once; its JSON summary plus its peak RSS in bytes."""
    clear_folder(output)
    work = os.path.dirname(output)
    rss_file = os.path.join(work, "korvid.rss")
    with open(os.path.join(work, "korvid.stderr"), "w+b") as err:
        proc = subprocess.run([PEAK_RSS, rss_file, cli, "recover", "--source", source, "--sample", sample,
                               "--output", output, "--json", "--quiet", *extra],
                              stdout=subprocess.PIPE, stderr=err)
        err.seek(0)
        message = err.read().decode(errors="replace")
    if proc.returncode != 0:
        raise SystemExit(f"korvid-cli failed ({proc.returncode}): {message}")
    summary = json.loads(proc.stdout)
    with open(rss_file) as f:
        summary["peak_rss_bytes"] = int(f.read()) * 1024
    return summary


def scan_phase(cli, work, sample, output):
    log("\n== Scan speed ==")
    image = os.path.join(work, "scan.img")
    start = time.perf_counter()
    chains = make_scan_image(image)
    log(f"  generated in {time.perf_counter() - start:.1f} s ({chains} chains of "
        f"{SCAN_CHAIN_CHUNKS} chunks in random filler)")
    cat_to_null(image)  # into the page cache
    size = os.path.getsize(image)
    # Alternated, so that a passing load on the machine weighs on both alike.
    cat_times, runs, deep_runs = [], [], []
    for _ in range(SCAN_RUNS):
        cat_times.append(cat_to_null(image))
        runs.append(run_korvid(cli, image, sample, output))
        deep_runs.append(run_korvid(cli, image, sample, output, ["--deep"]))
    cat_best = min(cat_times)
    best = max(runs, key=lambda r: r["scan_bytes_per_second"])
    deep_best = max(deep_runs, key=lambda r: r["scan_bytes_per_second"])
    os.remove(image)
    shutil.rmtree(output, ignore_errors=True)

    cat_rate = size / cat_best
    korvid_rate = best["scan_bytes_per_second"]
    korvid_median = statistics.median(r["scan_bytes_per_second"] for r in runs)
    log(f"  cat > /dev/null  best {rate(cat_rate)}, median {rate(size / statistics.median(cat_times))} "
        f"({SCAN_RUNS} runs)")
    log(f"  korvid scan      best {rate(korvid_rate)}, median {rate(korvid_median)} ({SCAN_RUNS} runs)")
    log(f"  korvid --deep    best {rate(deep_best['scan_bytes_per_second'])}, median "
        f"{rate(statistics.median(r['scan_bytes_per_second'] for r in deep_runs))} ({SCAN_RUNS} runs)")
    log(f"  korvid found {best['fragments_found']} records in {best['chains']} chains and wrote "
        f"{best['bytes_written']} bytes in {best['write_seconds']:.3f} s")
    if best["chains"] != chains:
        log(f"  note: {chains} chains were generated but {best['chains']} were found")
    return {
        "image_bytes": size,
        "baseline": "cat IMAGE > /dev/null, image in the page cache",
        "baseline_seconds": cat_best,
        "baseline_bytes_per_second": cat_rate,
        "korvid_scan_seconds": best["scan_seconds"],
        "korvid_bytes_per_second": korvid_rate,
        "korvid_elapsed_seconds": best["elapsed_seconds"],
        "baseline_all_bytes_per_second": [size / t for t in cat_times],
        "korvid_all_bytes_per_second": [r["scan_bytes_per_second"] for r in runs],
        "fragments_found": best["fragments_found"],
        "chains": best["chains"],
        "ratio": korvid_rate / cat_rate,
        "target": SCAN_TARGET,
        "pass": korvid_rate / cat_rate >= SCAN_TARGET,
        "deep_bytes_per_second": deep_best["scan_bytes_per_second"],
        "deep_all_bytes_per_second": [r["scan_bytes_per_second"] for r in deep_runs],
        "deep_ratio": deep_best["scan_bytes_per_second"] / cat_rate,
        "deep_target": DEEP_SCAN_TARGET,
        "deep_pass": deep_best["scan_bytes_per_second"] / cat_rate >= DEEP_SCAN_TARGET,
    }


def write_phase(cli, work, sample, output):
    log("\n== Write speed ==")
    image = os.path.join(work, "write.img")
    copy_source = os.path.join(work, "copy-source.bin")
    start = time.perf_counter()
    make_write_image(image)
    log(f"  generated in {time.perf_counter() - start:.1f} s (one chain of {WRITE_CHUNKS} chunks "
        f"of {WRITE_CHUNK} bytes)")
    cat_to_null(image)
    # A first run gives the number of bytes written; it is not counted.
    written = run_korvid(cli, image, sample, output)["bytes_written"]

    # The copy's source: as many bytes as korvid writes, in the page cache like korvid's source.
    with open(image, "rb") as src, open(copy_source, "wb") as dst:
        left = written
        while left > 0:
            piece = src.read(min(BLOCK, left))
            dst.write(piece)
            left -= len(piece)
    os.sync()
    cat_to_null(copy_source)
    cat_to_null(image)

    # Alternated, so that a passing load on the machine weighs on both alike.
    cp_times, runs = [], []
    for _ in range(RUNS):
        clear_folder(output)
        start = time.perf_counter()
        subprocess.run(["cp", "--reflink=never", copy_source, os.path.join(output, "copy.bin")], check=True)
        cp_times.append(time.perf_counter() - start)
        runs.append(run_korvid(cli, image, sample, output))
    best = max(runs, key=lambda r: r["write_bytes_per_second"])
    os.remove(image)
    cp_best = min(cp_times)
    os.remove(copy_source)
    shutil.rmtree(output, ignore_errors=True)

    cp_rate = written / cp_best
    korvid_rate = best["write_bytes_per_second"]
    korvid_median = statistics.median(r["write_bytes_per_second"] for r in runs)
    log(f"  cp               best {rate(cp_rate)}, median {rate(written / statistics.median(cp_times))} "
        f"({RUNS} runs of {written} bytes)")
    log(f"  korvid write     best {rate(korvid_rate)}, median {rate(korvid_median)} ({RUNS} runs; "
        f"{best['chains']} chain, {best['files_written']} file)")
    if best["chains"] != 1:
        log(f"  note: one chain was generated but {best['chains']} were found")
    return {
        "bytes_written": written,
        "baseline": "cp --reflink=never of a file of as many bytes, into the same folder, no fsync",
        "baseline_seconds": cp_best,
        "baseline_bytes_per_second": cp_rate,
        "korvid_write_seconds": best["write_seconds"],
        "korvid_bytes_per_second": korvid_rate,
        "korvid_scan_seconds": best["scan_seconds"],
        "baseline_all_bytes_per_second": [written / t for t in cp_times],
        "korvid_all_bytes_per_second": [r["write_bytes_per_second"] for r in runs],
        "chains": best["chains"],
        "ratio": korvid_rate / cp_rate,
        "target": WRITE_TARGET,
        "pass": korvid_rate / cp_rate >= WRITE_TARGET,
    }


def memory_phase(cli, work, sample, output):
    log("\n== Memory ==")
    tiny = os.path.join(work, "tiny.img")
    make_tiny_image(tiny)
    base = run_korvid(cli, tiny, sample, output)
    os.remove(tiny)

    image = os.path.join(work, "memory.img")
    start = time.perf_counter()
    records = make_memory_image(image)
    log(f"  generated in {time.perf_counter() - start:.1f} s ({records} records standing alone)")
    cat_to_null(image)
    big = run_korvid(cli, image, sample, output)
    os.remove(image)
    shutil.rmtree(output, ignore_errors=True)

    found = big["fragments_found"]
    peak = big["peak_rss_bytes"]
    limit = RECORD_BYTES * found + MEMORY_ALLOWANCE
    per_record = (peak - base["peak_rss_bytes"]) / found if found else float("nan")
    log(f"  tiny image          peak RSS {base['peak_rss_bytes'] / MIB:.1f} MiB")
    log(f"  dense image         peak RSS {peak / MIB:.1f} MiB for {found} records; limit "
        f"{limit / MIB:.1f} MiB (16 B x records + 64 MiB)")
    log(f"  korvid on the dense image: scan {big['scan_seconds']:.2f} s, elapsed {big['elapsed_seconds']:.2f} s")
    if found != records:
        log(f"  note: {records} records were generated but {found} were found")
    return {
        "records": found,
        "baseline_peak_rss_bytes": base["peak_rss_bytes"],
        "peak_rss_bytes": peak,
        "limit_bytes": limit,
        "bytes_per_record_above_baseline": per_record,
        "scan_seconds": big["scan_seconds"],
        "elapsed_seconds": big["elapsed_seconds"],
        "pass": peak <= limit,
    }


def table(results):
    s, w, m = results["scan"], results["write"], results["memory"]
    verdict = lambda ok: "pass" if ok else "FAIL"
    rows = [
        ("figure", "korvid", "baseline", "ratio", "target", ""),
        ("scan speed", rate(s["korvid_bytes_per_second"]), "cat " + rate(s["baseline_bytes_per_second"]),
         f"{s['ratio']:.2f}", f">= {SCAN_TARGET:.2f}", verdict(s["pass"])),
        ("deep scan speed", rate(s["deep_bytes_per_second"]), "cat " + rate(s["baseline_bytes_per_second"]),
         f"{s['deep_ratio']:.2f}", f">= {DEEP_SCAN_TARGET:.2f}", verdict(s["deep_pass"])),
        ("write speed", rate(w["korvid_bytes_per_second"]), "cp " + rate(w["baseline_bytes_per_second"]),
         f"{w['ratio']:.2f}", f">= {WRITE_TARGET:.2f}", verdict(w["pass"])),
        ("peak memory", f"{m['peak_rss_bytes'] / MIB:.0f} MiB", f"tiny {m['baseline_peak_rss_bytes'] / MIB:.0f} MiB",
         f"{m['bytes_per_record_above_baseline']:.1f} B/rec", f"<= {m['limit_bytes'] / MIB:.0f} MiB",
         verdict(m["pass"])),
    ]
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    log("\n== Results ==")
    for r in rows:
        log("  " + "  ".join(c.ljust(widths[i]) for i, c in enumerate(r)).rstrip())
    log("""
  scan speed:  bytes scanned / scan seconds (korvid's own JSON) on a 2 GiB image of random
               filler with sparse chains, against cat of the same image to /dev/null; both read
               from the page cache. Best of 9 each, alternated: korvid reads on one thread and
               searches on another, so its runs drop far when the machine has less than two
               free cores, and the median shows how often that happened.
  deep scan:   the same with --deep, which looks for every chunk id a movi list can hold
               (sound, indexes, padding, lists) instead of two video ids.
  write speed: bytes written / write seconds (korvid's JSON) for one 1 GiB chain, against cp of
               a page-cached file of as many bytes into the same folder; outputs removed and
               synced between runs, no fsync in either. Best of 3 each, alternated.
  peak memory: korvid-cli's peak RSS on a 2 GiB image of records that chain with nothing, against
               16 bytes per record + 64 MiB. B/rec is the RSS above a run on a 1 MiB image,
               divided by the records found (16 means nothing but the records grows).""")


def main():
    global PEAK_RSS
    cli, work, PEAK_RSS = sys.argv[1], sys.argv[2], sys.argv[3]
    sample = os.path.join(work, "korvid-bench-sample.avi")
    output = os.path.join(work, "out")
    write_sample(sample)
    started = time.perf_counter()
    results = {"korvid_cli": cli, "workdir": work, "cpus": os.cpu_count(),
               "load_average_before": os.getloadavg()[0]}
    if results["load_average_before"] > 0.5:
        log(f"  note: load average {results['load_average_before']:.2f} before the bench; other work on "
            "the machine lowers korvid's figures more than cat's and cp's (korvid reads and scans on "
            "two threads)")
    results["scan"] = scan_phase(cli, work, sample, output)
    results["write"] = write_phase(cli, work, sample, output)
    results["memory"] = memory_phase(cli, work, sample, output)
    results["bench_seconds"] = time.perf_counter() - started
    results["load_average_after"] = os.getloadavg()[0]
    for leftover in (sample, os.path.join(work, "korvid.rss"), os.path.join(work, "korvid.stderr")):
        os.remove(leftover)
    table(results)
    with open(os.path.join(work, "results.json"), "w") as f:
        json.dump(results, f, indent=2)
        f.write("\n")
    log(f"\n  bench took {results['bench_seconds']:.0f} s")


if __name__ == "__main__":
    main()
