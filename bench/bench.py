#!/usr/bin/env python3
"""Generates the bench images and measures korvid-cli against cat and cp.

Called by bench/run.sh as:  bench.py KORVID_CLI WORKDIR PEAK_RSS [REASSEMBLY_BENCH]
(PEAK_RSS: bench/peak_rss.c, built by run.sh; REASSEMBLY_BENCH: korvid-reassembly-bench, from
bench/reassembly_bench.cpp). KORVID_BENCH_PHASES picks phases, comma-separated, of: scan, write,
memory, fragmented, reassembly_stage (default: all).
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

FRAG_IMAGE_SIZE = 2 * GIB
FRAG_CLUSTER = 4096  # the grid the recordings are laid on, from the image's first byte
FRAG_CHANNELS = 3  # recordings written at the same time
FRAG_RUN_CLUSTERS = (4, 64)  # clusters a run takes
FRAG_FILLER_RUN_EVERY = 8  # about one run in this many holds filler noise instead of a recording
FRAG_FRAMES = (600, 6000)  # video chunks per recording, each followed by a sound chunk
FRAG_FRAME_BYTES = (3072, 12288)  # video chunk data
FRAG_SOUND_BYTES = 2048  # sound chunk data
FRAG_HEADER_BYTES = 2048  # a recording's header, its movi list's 12 bytes included
FRAG_RUNS = 3  # timed runs of cat and of korvid, alternated; the best counts

SCAN_TARGET = 0.90  # --plain: the two video chunk ids
DEEP_SCAN_TARGET = 0.90  # the default: every movi chunk id instead of two
COLD_SCAN_TARGET = 0.95  # both scans with the page cache dropped before each run
COLD_RUNS = 5
WRITE_TARGET = 0.50
FRAG_TARGET = 0.60  # deep scan + reassembly (before any file is written), against cat

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


def le32(value):
    return struct.pack("<I", value)


def riff_chunk(cid, data):
    return cid + le32(len(data)) + data + (b"\0" if len(data) & 1 else b"")


def recorder_header(movi_bytes=4):
    """A DVR recording's header up to its movi list's id: one video stream of a codec the
    engine cannot decode (the frames are noise, and every frame counts as a keyframe) and one
    8 kHz PCM sound stream, padded with JUNK to FRAG_HEADER_BYTES. `movi_bytes` is the movi
    list's size word."""
    avih = riff_chunk(b"avih", struct.pack("<14I", 40000, 0, 0, 0x10, 0, 0, 2, 0, 704, 576, 0, 0, 0, 0))
    vids = riff_chunk(b"strh", b"vids" + b"KVBN" + struct.pack("<IHHIIIIIIIIhhhh", 0, 0, 0, 0, 1, 25, 0, 0,
                                                               65536, 0xFFFFFFFF, 0, 0, 0, 704, 576))
    vidf = riff_chunk(b"strf", struct.pack("<IiiHH", 40, 704, 576, 1, 24) + b"KVBN" + bytes(20))
    auds = riff_chunk(b"strh", b"auds" + bytes(4) + struct.pack("<IHHIIIIIIIIhhhh", 0, 0, 0, 0, 1, 8000, 0, 0,
                                                                 4096, 0xFFFFFFFF, 2, 0, 0, 0, 0))
    audf = riff_chunk(b"strf", struct.pack("<HHIIHHH", 1, 1, 8000, 16000, 2, 16, 0))
    strl_v = b"LIST" + le32(4 + len(vids) + len(vidf)) + b"strl" + vids + vidf
    strl_a = b"LIST" + le32(4 + len(auds) + len(audf)) + b"strl" + auds + audf
    hdrl_body = b"hdrl" + avih + strl_v + strl_a
    hdrl = b"LIST" + le32(len(hdrl_body)) + hdrl_body
    head = b"RIFF" + le32(0) + b"AVI " + hdrl
    junk = FRAG_HEADER_BYTES - len(head) - 8 - 12
    assert junk >= 0
    head += b"JUNK" + le32(junk) + bytes(junk)
    riff_size = len(head) - 8 + 12 + movi_bytes - 4
    return b"RIFF" + le32(riff_size) + head[8:] + b"LIST" + le32(movi_bytes) + b"movi"


def write_recorder_sample(path):
    """The sample: a recording's header with an empty movi list."""
    with open(path, "wb") as f:
        f.write(recorder_header())


class FragRecording:
    """One recording's bytes, made as its runs are laid: the header, then video and sound
    chunks in turn."""

    def __init__(self, index, payload):
        self.index = index
        frames = rng.randrange(FRAG_FRAMES[0], FRAG_FRAMES[1] + 1)
        self.sizes = []
        for _ in range(frames):
            self.sizes.append(rng.randrange(FRAG_FRAME_BYTES[0], FRAG_FRAME_BYTES[1] + 1))
            self.sizes.append(FRAG_SOUND_BYTES)
        movi = 4 + sum(8 + n + (n & 1) for n in self.sizes)
        self.pending = bytearray(recorder_header(movi))
        self.next_chunk = 0
        self.payload = payload
        self.runs = 0
        self.data_chunks = len(self.sizes)

    def take(self, length):
        """The recording's next `length` bytes (fewer at its end)."""
        while len(self.pending) < length and self.next_chunk < len(self.sizes):
            n = self.sizes[self.next_chunk]
            cid = b"00dc" if self.next_chunk % 2 == 0 else b"01wb"
            at = rng.randrange(len(self.payload) - n)
            self.pending += cid + le32(n) + self.payload[at:at + n] + (b"\0" if n & 1 else b"")
            self.next_chunk += 1
        piece = bytes(self.pending[:length])
        del self.pending[:length]
        return piece

    def done(self):
        return not self.pending and self.next_chunk == len(self.sizes)


def make_fragmented_image(path):
    """FRAG_IMAGE_SIZE bytes on a grid of FRAG_CLUSTER-byte clusters: recordings written
    FRAG_CHANNELS at a time, each taking a run of FRAG_RUN_CLUSTERS clusters in turn, as a
    recorder writing three channels onto FAT32 leaves them; now and then a run of filler noise
    (other data); the last run of a recording ends in noise. Every byte is written."""
    noise = filler(BLOCK)
    payload = filler(64 * 1024)
    clusters = FRAG_IMAGE_SIZE // FRAG_CLUSTER
    channels = [None] * FRAG_CHANNELS
    recordings = []
    laid = 0
    true_joins = 0
    out = bytearray()
    with open(path, "wb") as f:
        def emit(data):
            nonlocal out
            out += data
            if len(out) >= BLOCK:
                f.write(out)
                out = bytearray()

        def noise_bytes(n):
            at = rng.randrange(len(noise) - n) if n < len(noise) else 0
            return noise[at:at + n]

        c = 0
        while laid < clusters:
            run = min(rng.randrange(FRAG_RUN_CLUSTERS[0], FRAG_RUN_CLUSTERS[1] + 1), clusters - laid)
            if rng.randrange(FRAG_FILLER_RUN_EVERY) == 0:
                emit(noise_bytes(run * FRAG_CLUSTER))
                laid += run
                continue
            rec = channels[c]
            if rec is None or rec.done():
                rec = channels[c] = FragRecording(len(recordings), payload)
                recordings.append(rec)
            data = rec.take(run * FRAG_CLUSTER)
            if rec.runs > 0:
                true_joins += 1
            rec.runs += 1
            emit(data + noise_bytes(run * FRAG_CLUSTER - len(data)))
            laid += run
            c = (c + 1) % FRAG_CHANNELS
        f.write(out)
    finish(path)
    whole = [r for r in recordings if r.done()]
    return {
        "recordings": len(recordings),
        "recordings_whole": len(whole),  # the others are cut off by the image's end
        "runs": sum(r.runs for r in recordings),
        "true_joins": true_joins,
    }


# ---------------------------------------------------------------- measuring


def cat_to_null(path):
    """Seconds `cat path > /dev/null` takes."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        subprocess.run(["cat", path], stdout=null, check=True)
        return time.perf_counter() - start


def drop_page_cache():
    """Writes dirty pages out and drops the page cache; False where this user may not."""
    os.sync()
    try:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3")
    except OSError:
        return False
    return True


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


def scan_figure(korvid_rates, cat_rates, target):
    """One scan figure: the medians of korvid's and cat's rates, taken in turns, and their ratio."""
    korvid, cat = statistics.median(korvid_rates), statistics.median(cat_rates)
    return {"korvid_bytes_per_second": korvid, "baseline_bytes_per_second": cat, "ratio": korvid / cat,
            "target": target, "pass": korvid / cat >= target, "runs": len(korvid_rates),
            "korvid_all_bytes_per_second": korvid_rates, "baseline_all_bytes_per_second": cat_rates}


def scan_phase(cli, work, sample, output):
    log("\n== Scan speed ==")
    image = os.path.join(work, "scan.img")
    start = time.perf_counter()
    chains = make_scan_image(image)
    log(f"  generated in {time.perf_counter() - start:.1f} s ({chains} chains of "
        f"{SCAN_CHAIN_CHUNKS} chunks in random filler)")
    cat_to_null(image)  # into the page cache
    size = os.path.getsize(image)
    # cat, the plain scan and the deep scan in turns, so that a passing load on the machine weighs
    # on all alike; the figures are medians.
    cat_rates, plain, deep = [], [], []
    for _ in range(SCAN_RUNS):
        cat_rates.append(size / cat_to_null(image))
        plain.append(run_korvid(cli, image, sample, output, ["--plain"]))
        deep.append(run_korvid(cli, image, sample, output, ["--deep"]))
    figures = {
        "warm_plain": scan_figure([r["scan_bytes_per_second"] for r in plain], cat_rates, SCAN_TARGET),
        "warm_deep": scan_figure([r["scan_bytes_per_second"] for r in deep], cat_rates, DEEP_SCAN_TARGET),
    }
    # From the disk: the page cache dropped before each run of each, where root may drop it.
    if drop_page_cache():
        cold_cat, cold_plain, cold_deep = [], [], []
        for _ in range(COLD_RUNS):
            drop_page_cache()
            cold_cat.append(size / cat_to_null(image))
            drop_page_cache()
            cold_plain.append(run_korvid(cli, image, sample, output, ["--plain"])["scan_bytes_per_second"])
            drop_page_cache()
            cold_deep.append(run_korvid(cli, image, sample, output, ["--deep"])["scan_bytes_per_second"])
        figures["cold_plain"] = scan_figure(cold_plain, cold_cat, COLD_SCAN_TARGET)
        figures["cold_deep"] = scan_figure(cold_deep, cold_cat, COLD_SCAN_TARGET)
    else:
        log("  cold cache: not measured (dropping the page cache needs root)")
    os.remove(image)
    shutil.rmtree(output, ignore_errors=True)

    for name, f in figures.items():
        log(f"  {name:<11} korvid median {rate(f['korvid_bytes_per_second'])}, cat median "
            f"{rate(f['baseline_bytes_per_second'])} ({f['runs']} runs each): {f['ratio']:.2f} x cat")
    found = {(r["fragments_found"], r["chains"], r["bytes_written"]) for r in plain}
    log(f"  the plain runs found {plain[0]['fragments_found']} records in {plain[0]['chains']} chains"
        + ("" if len(found) == 1 else "; NOTE: the runs did not all find the same"))
    if plain[0]["chains"] != chains:
        log(f"  note: {chains} chains were generated but {plain[0]['chains']} were found")
    return {"image_bytes": size, "baseline": "cat IMAGE > /dev/null", "figures": figures,
            "fragments_found": plain[0]["fragments_found"], "chains": plain[0]["chains"],
            "same_results": len(found) == 1}


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


def fragmented_phase(cli, work, output):
    log("\n== Deep scan + reassembly of fragmented recordings ==")
    image = os.path.join(work, "fragmented.img")
    sample = os.path.join(work, "korvid-bench-recorder-sample.avi")
    write_recorder_sample(sample)
    start = time.perf_counter()
    laid = make_fragmented_image(image)
    log(f"  generated in {time.perf_counter() - start:.1f} s ({laid['recordings']} recordings, "
        f"{laid['recordings_whole']} of them whole, in {laid['runs']} runs of {FRAG_RUN_CLUSTERS[0]} to "
        f"{FRAG_RUN_CLUSTERS[1]} clusters of {FRAG_CLUSTER} bytes, {FRAG_CHANNELS} at a time; "
        f"{laid['true_joins']} joins to find)")
    size = os.path.getsize(image)
    cat_to_null(image)  # into the page cache
    # Alternated, so that a passing load on the machine weighs on both alike. Each korvid run
    # writes the recordings out (most of the image) into a folder emptied and synced before it.
    cat_times, runs, walls = [], [], []
    for _ in range(FRAG_RUNS):
        cat_times.append(cat_to_null(image))
        start = time.perf_counter()
        runs.append(run_korvid(cli, image, sample, output))
        walls.append(time.perf_counter() - start)
    os.remove(image)
    os.remove(sample)
    shutil.rmtree(output, ignore_errors=True)

    cat_best = min(cat_times)
    cat_rate = size / cat_best
    best_i = min(range(FRAG_RUNS), key=lambda i: runs[i]["elapsed_seconds"])
    best = runs[best_i]
    elapsed_rate = size / best["elapsed_seconds"]
    wall_rate = size / min(walls)
    scan_rate = best["scan_bytes_per_second"]
    re = best.get("reassembly") or {}
    staged_seconds = best["scan_seconds"] + re.get("seconds", 0.0)
    staged_rate = size / staged_seconds
    log(f"  cat > /dev/null      best {rate(cat_rate)} ({FRAG_RUNS} runs)")
    log(f"  korvid recover       best {rate(elapsed_rate)} over its elapsed {best['elapsed_seconds']:.2f} s "
        f"(scan {best['scan_seconds']:.2f} s, write {best['write_seconds']:.2f} s); "
        f"{rate(wall_rate)} over the wall time of the process")
    log(f"  korvid scan alone    {rate(scan_rate)}")
    log(f"  korvid scan + joins  {rate(staged_rate)} (reassembly {re.get('seconds', 0.0):.2f} s)")
    log(f"  korvid found {best['fragments_found']} records, {re.get('pieces')} pieces, geometry "
        f"{re.get('geometry')} ({re.get('cluster_size')}-byte clusters); {re.get('joined_recordings')} recordings "
        f"joined from {re.get('pieces_joined')} pieces; {best['files_written']} files, "
        f"{best['bytes_written']} bytes written")
    return {
        "image_bytes": size,
        "layout": {
            "cluster_bytes": FRAG_CLUSTER, "channels": FRAG_CHANNELS, "run_clusters": list(FRAG_RUN_CLUSTERS),
            "filler_run_every": FRAG_FILLER_RUN_EVERY, "frames_per_recording": list(FRAG_FRAMES),
            "frame_bytes": list(FRAG_FRAME_BYTES), "sound_bytes": FRAG_SOUND_BYTES,
            "header_bytes": FRAG_HEADER_BYTES, **laid,
        },
        "baseline": "cat IMAGE > /dev/null, image in the page cache",
        "baseline_seconds": cat_best,
        "baseline_bytes_per_second": cat_rate,
        "baseline_all_seconds": cat_times,
        "korvid": "korvid-cli recover --json --quiet (default: deep chunks, repaired headers, reassembly)",
        "korvid_elapsed_seconds": best["elapsed_seconds"],
        "korvid_wall_seconds": walls[best_i],
        "korvid_all_elapsed_seconds": [r["elapsed_seconds"] for r in runs],
        "korvid_all_wall_seconds": walls,
        "scan_seconds": best["scan_seconds"],
        "write_seconds": best["write_seconds"],
        "korvid_bytes_per_second": elapsed_rate,
        "run_ratio": elapsed_rate / cat_rate,
        "wall_ratio": wall_rate / cat_rate,
        "scan_ratio": scan_rate / cat_rate,
        "reassembly_seconds": re.get("seconds", 0.0),
        "staged_bytes_per_second": staged_rate,
        "ratio": staged_rate / cat_rate,
        "target": FRAG_TARGET,
        "pass": staged_rate / cat_rate >= FRAG_TARGET,
        "fragments_found": best["fragments_found"],
        "files_written": best["files_written"],
        "bytes_written": best["bytes_written"],
        "reassembly": re,
    }


def reassembly_stage_phase(bench, work):
    """The reassembly stage alone on synthetic record lists (bench/reassembly_bench.cpp)."""
    log("\n== Reassembly stage on synthetic media (korvid-reassembly-bench) ==")
    path = os.path.join(work, "reassembly.json")
    subprocess.run([bench, "--json", path], check=True)
    with open(path) as f:
        return json.load(f)


def table(results):
    verdict = lambda ok: "pass" if ok else "FAIL"
    rows = [("figure", "korvid", "baseline", "ratio", "target", "")]
    s, w, m = results.get("scan"), results.get("write"), results.get("memory")
    fr, st = results.get("fragmented"), results.get("reassembly_stage")
    if s:
        names = {"warm_plain": "scan --plain, warm", "warm_deep": "scan (deep), warm",
                 "cold_plain": "scan --plain, cold", "cold_deep": "scan (deep), cold"}
        for key, f in s["figures"].items():
            rows.append((f"{names[key]} (median of {f['runs']})", rate(f["korvid_bytes_per_second"]),
                         "cat " + rate(f["baseline_bytes_per_second"]), f"{f['ratio']:.2f}", f">= {f['target']:.2f}",
                         verdict(f["pass"])))
    if w:
        rows.append(("write speed", rate(w["korvid_bytes_per_second"]), "cp " + rate(w["baseline_bytes_per_second"]),
                     f"{w['ratio']:.2f}", f">= {WRITE_TARGET:.2f}", verdict(w["pass"])))
    if m:
        rows.append(("peak memory", f"{m['peak_rss_bytes'] / MIB:.0f} MiB",
                     f"tiny {m['baseline_peak_rss_bytes'] / MIB:.0f} MiB",
                     f"{m['bytes_per_record_above_baseline']:.1f} B/rec", f"<= {m['limit_bytes'] / MIB:.0f} MiB",
                     verdict(m["pass"])))
    if fr:
        rows.append(("deep + reassembly", rate(fr["staged_bytes_per_second"]),
                     "cat " + rate(fr["baseline_bytes_per_second"]), f"{fr['ratio']:.2f}", f">= {FRAG_TARGET:.2f}",
                     verdict(fr["pass"])))
        rows.append(("  its scan alone", rate(fr["scan_ratio"] * fr["baseline_bytes_per_second"]),
                     "cat " + rate(fr["baseline_bytes_per_second"]), f"{fr['scan_ratio']:.2f}", "", ""))
        rows.append(("  the whole run", rate(fr["korvid_bytes_per_second"]),
                     "cat " + rate(fr["baseline_bytes_per_second"]), f"{fr['run_ratio']:.2f}", "", ""))
    if st:
        for size in st["sizes"]:
            g = size["grid_given"]
            rows.append((f"stage, {g['pieces']} pieces", f"{size['seconds']:.3f} s",
                         f"{1e6 * size['seconds_per_piece']:.2f} us/piece",
                         f"x{size['growth_vs_previous']:.2f} nlgn" if size["growth_vs_previous"] else "-",
                         "~x1 nlgn", ""))
        big = st["sizes"][-1]
        c = big["grid_given_counted"]
        rows.append((f"stage memory, {c['pieces']}", f"{big['stage_bytes_per_piece']:.0f} B/piece",
                     f"{big['bytes_per_record']:.0f} B/record", "", "<= 64 B/piece", verdict(st["budget_holds"])))
        rows.append((f"stage joins, {c['pieces']}", f"{c['joins_right']} right, {c['joins_wrong']} wrong",
                     f"{big['true_joins']} true", "", "0 wrong", verdict(c["joins_wrong"] == 0)))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    log("\n== Results ==")
    for r in rows:
        log("  " + "  ".join(c.ljust(widths[i]) for i, c in enumerate(r)).rstrip())
    notes = []
    if s:
        notes.append("""  scan:        bytes scanned / scan seconds (korvid's own JSON) of `recover --plain` (two video
               chunk ids) and of the deep scan (--deep, the default: every chunk id a movi
               list can hold) on a 2 GiB image of random filler with sparse chains, against
               cat of the same image to /dev/null. Warm: from the page cache, 9 runs of each
               in turns; cold: the page cache dropped (sync, drop_caches) before every run of
               each, 5 runs in turns. Each figure is the ratio of the medians.""")
    if w:
        notes.append("""  write speed: bytes written / write seconds (korvid's JSON) for one 1 GiB chain, against cp of
               a page-cached file of as many bytes into the same folder; outputs removed and
               synced between runs, no fsync in either. Best of 3 each, alternated.""")
    if m:
        notes.append("""  peak memory: korvid-cli's peak RSS on a 2 GiB image of records that chain with nothing, against
               16 bytes per record + 64 MiB. B/rec is the RSS above a run on a 1 MiB image,
               divided by the records found (16 means nothing but the records grows).""")
    if fr:
        notes.append("""  deep + reassembly: image bytes / (scan seconds + reassembly seconds, from korvid-cli's JSON)
               of a default recover run on a 2 GiB image of recordings laid three at a time in
               runs of 4 KiB clusters, against cat of the same page-cached image. "its scan
               alone" is bytes / scan seconds of the same run; "the whole run" is bytes /
               elapsed seconds, with the repaired files (most of the image) written out.""")
    if st:
        notes.append("""  stage:       CollectPieces + ReassemblePieces on synthetic record lists, grid given, no
               content check (see bench/reassembly_bench.cpp). The ratio is seconds / (n log2 n)
               against the size before: x1 is n log n growth, x10 per tenfold size is n^2.""")
    log("\n" + "\n".join(notes))


PHASES = ("scan", "write", "memory", "fragmented", "reassembly_stage")


def main():
    global PEAK_RSS
    cli, work, PEAK_RSS = sys.argv[1], sys.argv[2], sys.argv[3]
    stage_bench = sys.argv[4] if len(sys.argv) > 4 else None
    wanted = os.environ.get("KORVID_BENCH_PHASES", ",".join(PHASES)).split(",")
    unknown = [p for p in wanted if p not in PHASES]
    if unknown:
        raise SystemExit(f"bench: unknown phase(s) {', '.join(unknown)}; phases: {', '.join(PHASES)}")
    sample = os.path.join(work, "korvid-bench-sample.avi")
    output = os.path.join(work, "out")
    write_sample(sample)
    started = time.perf_counter()
    results = {"korvid_cli": cli, "workdir": work, "cpus": os.cpu_count(), "phases": wanted,
               "load_average_before": os.getloadavg()[0]}
    if results["load_average_before"] > 0.5:
        log(f"  note: load average {results['load_average_before']:.2f} before the bench; other work on "
            "the machine lowers korvid's figures more than cat's and cp's (korvid reads and scans on "
            "every core)")
    if "scan" in wanted:
        results["scan"] = scan_phase(cli, work, sample, output)
    if "write" in wanted:
        results["write"] = write_phase(cli, work, sample, output)
    if "memory" in wanted:
        results["memory"] = memory_phase(cli, work, sample, output)
    if "fragmented" in wanted:
        results["fragmented"] = fragmented_phase(cli, work, output)
    if "reassembly_stage" in wanted:
        if stage_bench is None:
            raise SystemExit("bench: the reassembly stage needs korvid-reassembly-bench (4th argument)")
        results["reassembly_stage"] = reassembly_stage_phase(stage_bench, work)
    results["bench_seconds"] = time.perf_counter() - started
    results["load_average_after"] = os.getloadavg()[0]
    for leftover in (sample, os.path.join(work, "korvid.rss"), os.path.join(work, "korvid.stderr")):
        if os.path.exists(leftover):
            os.remove(leftover)
    table(results)
    with open(os.path.join(work, "results.json"), "w") as f:
        json.dump(results, f, indent=2)
        f.write("\n")
    log(f"\n  bench took {results['bench_seconds']:.0f} s")


if __name__ == "__main__":
    main()
