#!/usr/bin/env python3
"""Target size and target visual quality on the benchmark photos.

1. Bytes at equal visual quality: for SSIMULACRA 2 scores 70, 80 and 90, Zelvan's
   --target-quality output in JPEG, WebP, AVIF and JPEG XL against cjpeg, cwebp, avifenc and
   cjxl at the lowest quality of theirs that reaches the same score (found by bisection, every
   score measured by bench's visual_quality_score on the same reference).
2. Target size: how close --target-size lands below its target (the share within 5 %).
3. Time: a target mode against one encoding at the format's default quality.

The references are the corpus photos fitted into a box (default 1600 px) as sRGB PNG, made by
zelvan-cli itself. Peers run with their defaults apart from the quality (cjpeg -optimize, cwebp
-m 4 like Zelvan's effort 4, avifenc -s 6 like Zelvan's speed 6, cjxl -e 7 like Zelvan's effort 7).

  bench/target-modes.py [--build build] [--corpus /dev/shm/zc] [--photos 6] [--box 1600]
"""
import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ap = argparse.ArgumentParser()
ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
ap.add_argument("--corpus", default="/dev/shm/zc")
ap.add_argument("--photos", type=int, default=6)
ap.add_argument("--box", type=int, default=1600)
ap.add_argument("--scores", default="70,80,90")
ap.add_argument("--sizes", default="100,250", help="target sizes in KiB")
ap.add_argument("--parts", default="scores,sizes,time", help="which of the three tables to make")
args = ap.parse_args()

cli = os.path.join(args.build, "zelvan-cli")
scorer = os.path.join(args.build, "bench", "visual_quality_score")
if not os.path.exists(scorer):
    scorer = os.path.join(args.build, "visual_quality_score")
for tool in (cli, scorer):
    if not os.access(tool, os.X_OK):
        sys.exit(f"missing {tool}: build the project (and its bench programs) first")
for peer in ("cjpeg", "cwebp", "avifenc", "cjxl"):
    if not shutil.which(peer):
        sys.exit(f"missing {peer}: apt-get install libjpeg-turbo-progs webp libavif-bin libjxl-tools")
photos = sorted(glob.glob(os.path.join(args.corpus, "jpeg", "*.jpg")))[: args.photos]
if not photos:
    sys.exit(f"no photos in {args.corpus}/jpeg: run ../shared/bench/make-corpus.sh {args.corpus}")

work = tempfile.mkdtemp(prefix="zelvan-targets-")
PLAIN = ["--set", "Rename_enabled=0", "--set", "Metadata=3", "--set", "Exif=0", "--set", "Colour_profile=1",
         "--overwrite"]


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw)


def score(ref, path):
    return float(run([scorer, ref, path]).stdout)


# The references: fitted, sRGB, PNG; and BMP for cjpeg.
refs, bmps = [], {}
for photo in photos:
    made = {}
    for fmt in ("png", "bmp"):
        res = run([cli, *PLAIN, "--json", "-f", fmt, "--resize", f"{args.box}x{args.box}", "-o",
                   os.path.join(work, "ref"), photo])
        made[fmt] = [json.loads(line) for line in res.stdout.splitlines() if '"source"' in line][0]["output"]
    refs.append(made["png"])
    bmps[made["png"]] = made["bmp"]

FORMATS = {
    # name: (zelvan -f, extension, peer scale low..high, peer command for (quality, ref png, out))
    "JPEG": ("jpeg", "jpg", (1, 100),
             lambda q, ref, out: ["cjpeg", "-optimize", "-quality", str(q), "-outfile", out, bmps[ref]]),
    "WebP": ("webp", "webp", (1, 100), lambda q, ref, out: ["cwebp", "-quiet", "-m", "4", "-q", str(q), ref, "-o", out]),
    # avifenc's scale is the quantizer, 63 (worst) to 0: quality q stands for quantizer 63 - q.
    "AVIF": ("avif", "avif", (0, 63),
             lambda q, ref, out: ["avifenc", "-s", "6", "--min", str(63 - q), "--max", str(63 - q), ref, out]),
    "JPEG XL": ("jxl", "jxl", (1, 99), lambda q, ref, out: ["cjxl", "--quiet", "-e", "7", "-q", str(q), ref, out]),
}


def zelvan(ref, fmt, extra):
    out = os.path.join(work, "z")
    started = time.perf_counter()
    res = subprocess.run([cli, *PLAIN, "-f", fmt, "--json", *extra, "-o", out, ref], capture_output=True, text=True)
    elapsed = time.perf_counter() - started
    record = [json.loads(line) for line in res.stdout.splitlines() if line.startswith("{") and '"source"' in line][0]
    return record, elapsed


def peer_at_score(name, ref, target):
    """The smallest peer file whose score reaches the target, by bisection over the peer's scale."""
    _, ext, (lo, hi), command = FORMATS[name]
    out = os.path.join(work, "peer." + ext)
    best = None
    while lo <= hi:
        q = (lo + hi) // 2
        run(command(q, ref, out))
        s = score(ref, out)
        if s >= target:
            best = (os.path.getsize(out), q, s)
            hi = q - 1
        else:
            lo = q + 1
    return best


print(f"# {len(refs)} photos fitted into {args.box}x{args.box}; scores by visual_quality_score")
parts = args.parts.split(",")
if "scores" in parts:
    print("\n## Bytes at equal visual quality (sums over the photos; ratio = Zelvan / peer)\n")
    print("| format | score | Zelvan bytes | peer bytes | ratio | photos where the peer reached it |")
    print("|---|---|---|---|---|---|")
    for name, (fmt, ext, _, _) in FORMATS.items():
        for target in [float(s) for s in args.scores.split(",")]:
            ours = theirs = 0
            counted = 0
            for ref in refs:
                record, _ = zelvan(ref, fmt, ["--target-quality", str(int(target))])
                peer = peer_at_score(name, ref, target)
                if record.get("note") or peer is None:
                    continue  # one side cannot reach the score: no pair to compare
                measured = score(ref, record["output"])
                assert measured >= target - 1e-6, (ref, fmt, measured)
                ours += record["output_bytes"]
                theirs += peer[0]
                counted += 1
            ratio = ours / theirs if theirs else float("nan")
            print(f"| {name} | {target:.0f} | {ours} | {theirs} | {ratio:.3f} | {counted}/{len(refs)} |")
            sys.stdout.flush()

if "sizes" in parts:
    print("\n## Target size: output / target (within 5 % below: 0.95 to 1.00)\n")
    print("| format | target | within 5 % | over | missed (lowest quality too large) | min ratio |")
    print("|---|---|---|---|---|---|")
    for name, (fmt, ext, _, _) in FORMATS.items():
        for kib in [int(s) for s in args.sizes.split(",")]:
            within = over = missed = 0
            ratios = []
            for ref in refs:
                record, _ = zelvan(ref, fmt, ["--target-size", f"{kib}K"])
                if record.get("note"):
                    missed += 1
                    continue
                r = record["output_bytes"] / (kib * 1024)
                ratios.append(r)
                within += 0.95 <= r <= 1.0
                over += r > 1.0
            print(f"| {name} | {kib} KiB | {within}/{len(ratios)} | {over} | {missed} | {min(ratios) if ratios else float('nan'):.3f} |")
            sys.stdout.flush()

if "time" in parts:
    print("\n## Time: a target mode against one encoding (sums over the photos, seconds, whole runs)\n")
    print("| format | one encoding | --target-size 150K | ratio | --target-quality 80 | ratio |")
    print("|---|---|---|---|---|---|")
    for name, (fmt, ext, _, _) in FORMATS.items():
        one = size = quality = 0.0
        for ref in refs:
            one += zelvan(ref, fmt, [])[1]
            size += zelvan(ref, fmt, ["--target-size", "150K"])[1]
            quality += zelvan(ref, fmt, ["--target-quality", "80"])[1]
        print(f"| {name} | {one:.2f} | {size:.2f} | {size / one:.1f} | {quality:.2f} | {quality / one:.1f} |")
        sys.stdout.flush()

shutil.rmtree(work)
