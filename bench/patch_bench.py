#!/usr/bin/env python3
"""Patch sizes against bsdiff, xdelta3 -9 and zstd --patch-from, on real
Windows programs and DLLs from two consecutive releases of npm packages that
ship them (fetched with `npm pack` into CACHE, once), plus the time and peak
memory of making a patch against bsdiff's on the largest pair, and the host
decode speed. Writes OUT/patches.txt (the table), OUT/patches.dat and the plot
OUT/patch_sizes.png (gnuplot).

Usage: patch_bench.py PAYLOADTOOL CACHE OUT [UPDATER_OLD UPDATER_NEW]
  The two updater exes, when given, are one more pair: two builds of this
  project's own updater from different commits.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

payloadtool, cache, out = sys.argv[1], sys.argv[2], sys.argv[3]
updaters = sys.argv[4:6]

# Package, the two releases: Windows x64 and x86 programs and native modules.
PACKAGES = [
    ("@biomejs/cli-win32-x64", "2.5.14", "2.5.15"),
    ("@esbuild/win32-x64", "0.25.11", "0.25.12"),
    ("@esbuild/win32-ia32", "0.25.11", "0.25.12"),
    ("@img/sharp-win32-x64", "0.33.4", "0.33.5"),
    ("lightningcss-win32-x64-msvc", "1.30.1", "1.30.2"),
    ("@napi-rs/canvas-win32-x64-msvc", "1.0.10", "1.0.11"),
    ("@rollup/rollup-win32-x64-msvc", "4.68.8", "4.68.9"),
]
BINARY = (".exe", ".dll", ".node")
SMALLEST = 64 * 1024  # smaller files say little about a patch method


def fetch(name, version):
    """The package's folder under CACHE, fetched and unpacked the first time."""
    stem = name.lstrip("@").replace("/", "-") + "-" + version
    folder = os.path.join(cache, stem)
    if not os.path.isdir(folder):
        tgz = os.path.join(cache, stem + ".tgz")
        if not os.path.exists(tgz):
            subprocess.run(["npm", "pack", "--silent", f"{name}@{version}", "--pack-destination", cache],
                           check=True, stdout=subprocess.DEVNULL)
        with tarfile.open(tgz) as t:
            t.extractall(folder + ".part", filter="data")
        os.rename(folder + ".part", folder)
    return folder


def binaries(folder):
    found = {}
    for root, _, files in os.walk(folder):
        for f in files:
            path = os.path.join(root, f)
            if f.lower().endswith(BINARY) and os.path.getsize(path) >= SMALLEST:
                found[os.path.relpath(path, folder)] = path
    return found


def run(command):
    """CPU seconds (user and system) and peak resident KiB of one command (GNU
    time): on a shared machine the CPU time is what compares, not the wall."""
    with tempfile.NamedTemporaryFile("r") as stats:
        subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", stats.name] + command, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        user, system, kib = stats.read().split()
    return float(user) + float(system), int(kib)


os.makedirs(cache, exist_ok=True)
os.makedirs(out, exist_ok=True)
pairs = []  # (label, old path, new path)
for name, old_version, new_version in PACKAGES:
    old, new = binaries(fetch(name, old_version)), binaries(fetch(name, new_version))
    for rel in sorted(old.keys() & new.keys()):
        with open(old[rel], "rb") as a, open(new[rel], "rb") as b:
            if a.read() == b.read():
                continue  # unchanged between the releases: no patch to make
        label = os.path.basename(rel)
        if "ia32" in name:
            label += " (x86)"  # esbuild ships the same name for both
        pairs.append((f"{label} {old_version}-{new_version}", old[rel], new[rel]))
if updaters:
    pairs.append(("updater (two commits)", updaters[0], updaters[1]))
# Smallest first, and the table rewritten after each pair: a run cut short
# still leaves what it measured.
pairs.sort(key=lambda p: os.path.getsize(p[2]))

def report():
    # The table, the plot's data and the goals.
    lines = []
    header = f"{'pair':<44} {'old':>10} {'new':>10} " + " ".join(f"{m:>9}" for m in METHODS) + \
        "  ours/bsdiff  ours/best"
    lines.append(header)
    to_bsdiff, to_best = [], []
    with open(os.path.join(out, "patches.dat"), "w") as dat:
        dat.write("# pair, then each method's patch size over bsdiff's\n")
        for label, old_size, new_size, sizes, _, _ in results:
            best = min(sizes["bsdiff"], sizes["xdelta3"], sizes["zstd"])
            to_bsdiff.append(sizes["ours"] / sizes["bsdiff"])
            to_best.append(sizes["ours"] / best)
            lines.append(f"{label:<44} {old_size:>10} {new_size:>10} " +
                         " ".join(f"{sizes[m]:>9}" for m in METHODS) +
                         f"  {to_bsdiff[-1]:>10.3f}x {to_best[-1]:>8.3f}x")
            dat.write(f'"{label}" ' + " ".join(f"{sizes[m] / sizes['bsdiff']:.4f}" for m in METHODS) + "\n")
    median = statistics.median(to_bsdiff)
    lines.append("")
    lines.append(f"median ours/bsdiff over {len(results)} pairs: {median:.3f}x "
                 f"(goal <= 1.0x: {'PASS' if median <= 1.0 else 'FAIL'}; stretch <= 0.8x: "
                 f"{'PASS' if median <= 0.8 else 'not met'})")
    worst = max(range(len(results)), key=lambda i: to_best[i])
    lines.append(f"largest ours/best of the three: {to_best[worst]:.3f}x on {results[worst][0]} "
                 f"(goal <= 1.1x: {'PASS' if to_best[worst] <= 1.1 else 'FAIL'})")
    largest = max(results, key=lambda r: r[2])
    label, _, new_size, _, costs, decode = largest
    (ours_s, ours_kib), (bs_s, bs_kib) = costs["ours"], costs["bsdiff"]
    lines.append(f"making a patch of the largest pair ({label}, {new_size} bytes), CPU time and peak memory: "
                 f"ours {ours_s:.1f} s, "
                 f"{ours_kib / 1024:.0f} MiB peak; bsdiff {bs_s:.1f} s, {bs_kib / 1024:.0f} MiB peak "
                 f"(time {ours_s / bs_s:.2f}x, memory {ours_kib / bs_kib:.2f}x; goal <= 1x: "
                 f"{'PASS' if ours_s <= bs_s and ours_kib <= bs_kib else 'FAIL'})")
    lines.append("other methods there: " + ", ".join(f"{m} {costs[m][0]:.1f} s {costs[m][1] / 1024:.0f} MiB"
                                                      for m in ("xdelta3", "zstd")))
    for label, _, new_size, _, _, (seconds, kib) in results:
        lines.append(f"host decode (payloadtool patch: files read, applied, checked, written): {label}: "
                     f"{seconds:.2f} s CPU, {new_size / max(seconds, 0.01) / 1e6:.0f} MB/s, {kib / 1024:.0f} MiB peak")
    table = "\n".join(lines) + "\n"
    with open(os.path.join(out, "patches.txt"), "w") as f:
        f.write(table)
    print(table, end="")

    plot = os.path.join(out, "patch_sizes.gp")
    with open(plot, "w") as f:
        f.write(f"""set terminal pngcairo size 1100,560 font ",10"
set output "{out}/patch_sizes.png"
set title "Patch size per pair and method, relative to bsdiff (lower is smaller)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set yrange [0:*]
set ylabel "patch size / bsdiff's"
set xtics rotate by -30 left
set grid ytics
set key top left
set bmargin 9
set rmargin 14
plot "{out}/patches.dat" using 2:xtic(1) title "ours (payloadtool diff)", \\
     "" using 3 title "bsdiff", "" using 4 title "xdelta3 -9", \\
     "" using 5 title "zstd --patch-from --long=31 --ultra -22", 1 notitle lc rgb "black" dt 2
""")
    subprocess.run(["gnuplot", plot], check=True)


METHODS = ["ours", "bsdiff", "xdelta3", "zstd"]
work = tempfile.mkdtemp(prefix="patch-bench-")
results = []  # (label, old size, new size, {method: size}, {method: (s, KiB)})
try:
    for label, old, new in pairs:
        print(f"patch bench: {label}", file=sys.stderr, flush=True)
        commands = {
            "ours": [payloadtool, "diff", old, new, f"{work}/ours"],
            "bsdiff": ["bsdiff", old, new, f"{work}/bsdiff"],
            "xdelta3": ["xdelta3", "-9", "-f", "-e", "-s", old, new, f"{work}/xdelta3"],
            "zstd": ["zstd", "-q", "-f", f"--patch-from={old}", "--long=31", "--ultra", "-22", new,
                     "-o", f"{work}/zstd"],
        }
        sizes, costs = {}, {}
        for method in METHODS:
            costs[method] = run(commands[method])
            sizes[method] = os.path.getsize(f"{work}/{method}")
        # Our patch makes the new file exactly (payloadtool exits 0 only then);
        # its time over the file made is the host decode speed.
        decode = run([payloadtool, "patch", old, f"{work}/ours", f"{work}/made"])
        with open(f"{work}/made", "rb") as a, open(new, "rb") as b:
            assert a.read() == b.read(), label
        results.append((label, os.path.getsize(old), os.path.getsize(new), sizes, costs, decode))
        report()
finally:
    shutil.rmtree(work)
