#!/usr/bin/env python3
"""The table of scripts/bench: every figure against its goal, with PASS/FAIL
where there is one, and the plots. Reads what the bench left in OUT.

Usage: report.py OUT WIN_DIR
"""
import json
import os
import subprocess
import sys

out, win_dir = sys.argv[1], sys.argv[2]


def keyvalues(name):
    values = {}
    path = os.path.join(out, name)
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 2:
                    try:
                        values[parts[0]] = float(parts[1])
                    except ValueError:
                        values[parts[0]] = parts[1]
    return values


def medians(name):
    with open(os.path.join(out, name)) as f:
        data = json.load(f)
    found = {b["run_name"]: b for b in data["benchmarks"] if b.get("aggregate_name") == "median"}
    return data["context"], found


def bin_resources(exe, types=("BIN",)):
    """Total bytes of an exe's resources of these types (its payload as carried)."""
    listing = subprocess.run(["wrestool", "-l", exe], capture_output=True, text=True, check=True).stdout
    return sum(int(line.split("size=")[1].rstrip("]")) for line in listing.splitlines()
               if any(line.startswith(f"--type='{t}'") for t in types))


# Checksum scan.
context, scan = medians("checksum.json")


def rate(run):  # GB/s
    return scan[run]["bytes_per_second"] / 1e9


sizes = sorted({int(n.rsplit("/", 1)[1]) for n in scan if n.startswith("BM_Memchr/")})
with open(os.path.join(out, "scan.dat"), "w") as f:
    f.write("# bytes fast reference memchr sse2 avx2 avx512vnni (GB/s, medians)\n")
    for size in sizes:
        row = [rate(f"BM_ScanFileChecksum/{size}"), rate(f"BM_ScanFileChecksumReference/{size}"),
               rate(f"BM_Memchr/{size}")]
        for kernel in ("Sse2", "Avx2", "Avx512Vnni"):
            run = f"BM_ScanKernel/{kernel}/{size}"
            row.append(rate(run) if run in scan and not scan[run].get("error_occurred") else float("nan"))
        f.write(f"{size} " + " ".join(f"{v:.3f}" for v in row) + "\n")

# Merge.
_, merge = medians("merge.json")
entries = sorted({int(n.rsplit("/", 1)[1]) for n in merge if n.startswith("BM_MergePlain/")})
with open(os.path.join(out, "merge.dat"), "w") as f:
    f.write("# update entries, plain ms, linear ms (4 MiB installed list, medians)\n")
    for n in entries:
        f.write(f"{n} {merge[f'BM_MergePlain/{n}']['real_time']:.4f} {merge[f'BM_MergeLinear/{n}']['real_time']:.4f}\n")

quiet = keyvalues("writer_quiet.txt")
shown = keyvalues("writer_shown.txt")
updater = keyvalues("updater.txt")
linux = keyvalues("memory_linux.txt")
payload = keyvalues("payload_bytes.txt")
verified = keyvalues("verify.txt")
download = keyvalues("download.txt")
timed = keyvalues("download_run.txt")

# Memory against payload size, for the plot.
MEMORY_RUNS = (("sample", "sample"), ("large", "48 MiB"), ("giga", "1 GiB"))
with open(os.path.join(out, "memory.dat"), "w") as f:
    f.write("# payload MiB, peak RssAnon MiB, peak private bytes MiB, peak resident (VmHWM) MiB\n")
    for name, _ in MEMORY_RUNS:
        f.write(f"{payload.get(name, 0) / 2**20:.3f} {linux.get(f'{name}_linux_rss_anon_kib', 0) / 1024:.2f} "
                f"{updater.get(f'{name}_peak_private_kib', 0) / 1024:.2f} "
                f"{linux.get(f'{name}_linux_hwm_kib', 0) / 1024:.2f}\n")

with open(os.path.join(out, "plots.gp"), "w") as f:
    f.write(f"""set terminal pngcairo size 900,560 noenhanced
set grid
set key outside right top
set logscale xy
set xtics ('2.5 KiB' 2560, '32 KiB' 32768, '256 KiB' 262144, '4 MiB' 4194304, '32 MiB' 33554432, '256 MiB' 268435456)
set output '{out}/scan_throughput.png'
set title 'Checksum scan throughput (median of runs)'
set xlabel 'buffer size'
set ylabel 'GB/s (log scale)'
plot '{out}/scan.dat' using 1:2 with linespoints title 'fast scan (chosen kernel)', \\
     '' using 1:5 with linespoints title 'SSE2 kernel forced', \\
     '' using 1:4 with linespoints title 'memchr', \\
     '' using 1:3 with linespoints title 'byte-at-a-time reference'
set output '{out}/merge_time.png'
set title 'Update-information merge against a 4 MiB installed list (median of runs)'
set xtics autofreq
set format x '%g'
set xlabel 'entries in the update list'
set ylabel 'ms per merge'
plot '{out}/merge.dat' using 1:2 with linespoints title 'plain search', \\
     '' using 1:3 with linespoints title 'linear method'
set output '{out}/memory.png'
set title 'The updater under Wine: peak memory against payload size (median of runs)'
set key inside top left
set xtics ('0.3 MiB' 0.3125, '4 MiB' 4, '48 MiB' 48, '1 GiB' 1024)
set xrange [0.2:1600]
set yrange [1:2048]
set ytics ('1 MiB' 1, '4 MiB' 4, '16 MiB' 16, '64 MiB' 64, '256 MiB' 256, '1 GiB' 1024)
set xlabel 'payload size (log scale)'
set ylabel 'peak memory (log scale)'
plot '{out}/memory.dat' using 1:2 with linespoints lw 2 title 'private: RssAnon (Linux)', \\
     '' using 1:3 with linespoints dt 2 title 'private: peak private bytes (Windows API)', \\
     '' using 1:4 with linespoints title 'resident, with payload pages read from the file (VmHWM)'
""")
plotted = subprocess.run(["gnuplot", os.path.join(out, "plots.gp")]).returncode == 0

rows = []  # (goal, measured, target, ratio text, pass or None)


def row(goal, measured, target="", ratio="", ok=None):
    rows.append((goal, measured, target, ratio, ok))


for size, label in ((256 << 10, "256 KiB"), (256 << 20, "256 MiB")):
    fast, mem = rate(f"BM_ScanFileChecksum/{size}"), rate(f"BM_Memchr/{size}")
    row(f"1 scan {label} vs memchr", f"{fast:.1f} vs {mem:.1f} GB/s", ">= 0.80x", f"{fast / mem:.2f}x",
        fast / mem >= 0.80)
for kernel in ("Sse2", "Avx2"):
    run = f"BM_ScanKernel/{kernel}/{256 << 10}"
    if run in scan and not scan[run].get("error_occurred"):
        r = rate(run) / rate(f"BM_Memchr/{256 << 10}")
        row(f"  {kernel.upper()} kernel forced, 256 KiB", f"{rate(run):.1f} GB/s", "info", f"{r:.2f}x")
ref = rate(f"BM_ScanFileChecksumReference/{256 << 20}")
row("  byte-at-a-time reference, 256 MiB", f"{ref:.2f} GB/s", "info",
    f"{rate(f'BM_ScanFileChecksum/{256 << 20}') / ref:.0f}x faster")

w = quiet["writer_over_durable_copy"]
row("2a writer 64 MiB in 8 files, no progress, vs durable copy",
    f"{quiet['writer_ms']:.0f} vs {quiet['durable_copy_ms']:.0f} ms", "<= 1.20x", f"{w:.2f}x", w <= 1.20)
row("  journal / staging (writes, flushes) / commit record",
    f"{quiet['journal_ms']:.1f} / {quiet['staging_ms']:.0f} / {quiet['commit_mark_ms']:.1f} ms", "info")
row("  commit phase alone: the 8 replacements", f"{quiet['commit_ms']:.2f} ms", "<= 5 ms per file",
    f"{quiet['commit_ms_per_file']:.2f} ms/file", quiet["commit_ms_per_file"] <= 5)
row("  clean-up: the 8 set-aside old files removed", f"{quiet['cleanup_ms']:.1f} ms", "info")
row("  vs CopyFileA alone (copies left in the page cache)",
    f"{quiet['writer_ms']:.0f} vs {quiet['copyfile_ms']:.0f} ms", "info",
    f"{quiet['writer_ms'] / quiet['copyfile_ms']:.2f}x")
progress_ms = shown["shown_ms"] - quiet["writer_ms"]
row("2b writer 64 MiB, progress shown", f"{shown['shown_ms']:.0f} ms", "report",
    f"{shown['shown_ms'] / quiet['writer_ms']:.2f}x of quiet")
row("  split: I/O (quiet writer) / progress+pump",
    f"{quiet['writer_ms']:.0f} / {progress_ms:.0f} ms", "report",
    f"{100 * progress_ms / shown['shown_ms']:.0f}% progress")
row("  inside the two controls (measured)", f"{shown['controls_ms']:.0f} ms", "info")
row("  repaints (WM_PAINT of the controls)",
    f"{shown['paint_count']:.0f} for {shown['chunks']:.0f} chunks", "~100, not ~1,000", "",
    shown["paint_count"] <= 110)

# Memory as Linux and the Windows API see the updater's process, whole runs.
seen = all(linux.get(f"{name}_linux_processes", 0) > 0 for name, _ in MEMORY_RUNS)
for name, label in MEMORY_RUNS[1:]:
    anon = linux.get(f"{name}_linux_rss_anon_kib", 0) - linux.get("sample_linux_rss_anon_kib", 0)
    row(f"3 peak private (RssAnon), {label} vs sample",
        f"{linux.get(f'{name}_linux_rss_anon_kib', 0):.0f} vs {linux.get('sample_linux_rss_anon_kib', 0):.0f} KiB",
        "<= +1024 KiB", f"{anon:+.0f} KiB", seen and anon <= 1024)
for name, label in MEMORY_RUNS[1:]:
    grown = updater.get(f"{name}_peak_private_kib", 0) - updater.get("sample_peak_private_kib", 0)
    row(f"  peak private bytes (API), {label} vs sample",
        f"{updater.get(f'{name}_peak_private_kib', 0):.0f} vs {updater.get('sample_peak_private_kib', 0):.0f} KiB",
        "<= +1024 KiB", f"{grown:+.0f} KiB", updater.get("sample_peak_private_kib", 0) > 0 and grown <= 1024)
row("  peak resident with mapped payload (VmHWM)",
    " / ".join(f"{linux.get(f'{name}_linux_hwm_kib', 0) / 1024:.0f}" for name, _ in MEMORY_RUNS) + " MiB",
    "info (file pages)")
for name, label in MEMORY_RUNS[1:]:
    later = updater.get(f"{name}_first_box_ms", 0) - updater.get("sample_first_box_ms", 0)
    goal = name == "giga"
    row(f"{'3' if goal else ' '} start to first box, {label} vs sample",
        f"{updater.get(f'{name}_first_box_ms', 0):.0f} vs {updater.get('sample_first_box_ms', 0):.0f} ms",
        "<= +50 ms" if goal else "info", f"{later:+.0f} ms", (later <= 50) if goal else None)

exe = os.path.join(win_dir, "bin", "TumbleTrainUpdate.exe")
exe_bytes, payload_bytes = os.path.getsize(exe), bin_resources(exe)
code = exe_bytes - payload_bytes
row("4 x64 exe minus payload", f"{exe_bytes} - {payload_bytes} = {code} B", "<= 40960 B",
    f"{code / 1024:.1f} KiB", code <= 40960)
deflated_exe = os.path.join(win_dir, "download", "sample-deflated", "TumbleTrainUpdate.exe")
if os.path.exists(deflated_exe):
    exe_bytes, payload_bytes = os.path.getsize(deflated_exe), bin_resources(deflated_exe)
    code = exe_bytes - payload_bytes
    row("4 x64 exe minus payload, payload deflated", f"{exe_bytes} - {payload_bytes} = {code} B", "<= 57344 B",
        f"{code / 1024:.1f} KiB", code <= 57344)

plain = merge["BM_MergePlain/10000"]["real_time"]
linear = merge["BM_MergeLinear/10000"]["real_time"]
row("5 merge 10,000 entries x 4 MiB, plain/linear", f"{plain:.1f} vs {linear:.3f} ms", ">= 100x",
    f"{plain / linear:.0f}x", plain / linear >= 100)

# The gigabyte end to end, and write speed against the durable copy.
results = [verified.get(name, "not run")
           for name in ("sample", "large", "giga", "binraw", "bindeflated", "patched1m", "patched1g", "whole1g")]
row("6 verified: sample, 48 MiB, 1 GiB, 30 MB raw, deflated, patched 1 MB, 1 GiB, whole 1 GiB", " / ".join(results), "identical files", "",
    all(r == "identical" for r in results))
for name, label in MEMORY_RUNS:
    write_s, copy_s, size = (updater.get(f"{name}_write_s", 0), updater.get(f"{name}_copy_s", 0),
                             payload.get(name, 0))
    if write_s > 0 and copy_s > 0:
        row(f"  write phase {label} vs durable copy", f"{write_s:.2f} vs {copy_s:.2f} s", "report",
            f"{size / write_s / 1e9:.2f} vs {size / copy_s / 1e9:.2f} GB/s")
if updater.get("large_write_s") and updater.get("giga_write_s"):
    # Time against size from 48 MiB to 1 GiB as a line: what each byte costs,
    # and what the run costs whatever its size (about 100 repaints of progress).
    rate = (payload["giga"] - payload["large"]) / (updater["giga_write_s"] - updater["large_write_s"])
    fixed = updater["large_write_s"] - payload["large"] / rate
    row("  write time against size, 48 MiB to 1 GiB", f"{fixed:.2f} s + size at {rate / 1e9:.2f} GB/s", "report")

# Download size against installers made from the same files with makensis.
SETS = (("sample", "the sample"), ("binaries", "mingw and Wine binaries"),
        ("mix", "binaries, headers, gzip and PNG files"))
for name, _ in SETS:
    deflated, nsis_zlib, nsis_lzma = (download.get(f"{name}_deflated", 0), download.get(f"{name}_nsis_zlib", 0),
                                      download.get(f"{name}_nsis_lzma", 0))
    row(f"7 download, {name}: deflated vs makensis default",
        f"{deflated / 1e6:.3f} vs {nsis_zlib / 1e6:.3f} MB", "< 1.00x", f"{deflated / nsis_zlib:.3f}x",
        0 < deflated < nsis_zlib)
    row(f"  {name}: deflated vs makensis solid LZMA (stretch)",
        f"{deflated / 1e6:.3f} vs {nsis_lzma / 1e6:.3f} MB", "<= 1.25x", f"{deflated / nsis_lzma:.2f}x",
        0 < deflated <= 1.25 * nsis_lzma)

# Inflating while writing against writing the same files raw.
raw_s, deflated_s = updater.get("binraw_write_s", 0), updater.get("bindeflated_write_s", 0)
if raw_s and deflated_s:
    row("8 write phase, 30 MB binaries: deflated vs raw", f"{deflated_s:.3f} vs {raw_s:.3f} s", "<= 1.50x",
        f"{deflated_s / raw_s:.2f}x", deflated_s / raw_s <= 1.5)
    anon = linux.get("bindeflated_linux_rss_anon_kib", 0) - linux.get("binraw_linux_rss_anon_kib", 0)
    row("  peak private (RssAnon) inflating vs raw",
        f"{linux.get('bindeflated_linux_rss_anon_kib', 0):.0f} vs {linux.get('binraw_linux_rss_anon_kib', 0):.0f} KiB",
        "<= +1024 KiB", f"{anon:+.0f} KiB", linux.get("bindeflated_linux_processes", 0) > 0 and anon <= 1024)
    row("  write phase, binaries raw vs durable copy",
        f"{raw_s:.3f} vs {updater.get('binraw_copy_s', 0):.3f} s", "report",
        f"{payload.get('binaries', 0) / raw_s / 1e9:.2f} vs "
        f"{payload.get('binaries', 0) / max(updater.get('binraw_copy_s', 1e-9), 1e-9) / 1e9:.2f} GB/s")

# A main program carried as a patch from the installed one: memory from 1 MB
# to 1 GiB, the write time against the same files carried whole, and what the
# decoder adds to the deflated build.
seen = all(linux.get(f"{name}_linux_processes", 0) > 0 for name in ("sample", "patched1m", "patched1g"))
for name, label in (("patched1m", "patched 1 MB"), ("patched1g", "patched 1 GiB")):
    anon = linux.get(f"{name}_linux_rss_anon_kib", 0) - linux.get("sample_linux_rss_anon_kib", 0)
    row(f"9 peak private (RssAnon), {label} vs sample",
        f"{linux.get(f'{name}_linux_rss_anon_kib', 0):.0f} vs {linux.get('sample_linux_rss_anon_kib', 0):.0f} KiB",
        "<= +1024 KiB", f"{anon:+.0f} KiB", seen and anon <= 1024)
    grown = updater.get(f"{name}_peak_private_kib", 0) - updater.get("sample_peak_private_kib", 0)
    row(f"  peak private bytes (API), {label} vs sample",
        f"{updater.get(f'{name}_peak_private_kib', 0):.0f} vs {updater.get('sample_peak_private_kib', 0):.0f} KiB",
        "<= +1024 KiB", f"{grown:+.0f} KiB", updater.get("sample_peak_private_kib", 0) > 0 and grown <= 1024)
patched_s, whole_s = updater.get("patched1g_write_s", 0), updater.get("whole1g_write_s", 0)
row("9 write phase, 1 GiB: patched vs whole raw", f"{patched_s:.2f} vs {whole_s:.2f} s", "<= 2.00x",
    f"{patched_s / whole_s:.2f}x" if whole_s else "", 0 < patched_s <= 2 * whole_s)
patched_exe = os.path.join(win_dir, "bench", "patched1m", "TumbleTrainUpdate.exe")
if os.path.exists(patched_exe) and os.path.exists(deflated_exe):
    carried = ("BIN", "BINPATCH")
    patched_code = os.path.getsize(patched_exe) - bin_resources(patched_exe, carried)
    deflated_code = os.path.getsize(deflated_exe) - bin_resources(deflated_exe, carried)
    row("9 exe minus payload, with patches vs deflated", f"{patched_code} vs {deflated_code} B", "<= +8192 B",
        f"{patched_code - deflated_code:+d} B", patched_code - deflated_code <= 8192)

caches = ", ".join(f"L{c['level']} {c['type']} {c['size'] // 1024} KiB" for c in context.get("caches", []))
lines = [f"Machine: {context.get('num_cpus')} CPUs at {context.get('mhz_per_cpu')} MHz; {caches}",
         f"Google Benchmark library: {context.get('library_build_type')} build as packaged; the code measured is -O2; "
         f"figures are medians of the repetitions",
         ""]
header = ("Goal", "Measured", "Target", "Ratio")
widths = [max(len(str(r[i])) for r in rows + [header + (None,)]) for i in range(4)]
lines.append("  ".join(h.ljust(widths[i]) for i, h in enumerate(header)) + "  Result")
lines.append("-" * (sum(widths) + 2 * 4 + 6))
for r in rows:
    verdict = "" if r[4] is None else ("PASS" if r[4] else "FAIL")
    lines.append(("  ".join(str(r[i]).ljust(widths[i]) for i in range(4)) + "  " + verdict).rstrip())
lines.append("")
if plotted:
    lines.append(f"Plots: {out}/scan_throughput.png, {out}/merge_time.png, {out}/memory.png")
    lines.append("")
lines.append("Download size (bytes), our x64 updater and makensis's installers of the same files:")
lines.append("")
lines.append("| Payload | The files | Our updater, raw | Our updater, deflated | makensis, default (zlib) | makensis, solid LZMA |")
lines.append("|---|---|---|---|---|---|")
for name, label in SETS:
    cells = [download.get(f"{name}_{k}", 0) for k in ("payload", "raw", "deflated", "nsis_zlib", "nsis_lzma")]
    lines.append(f"| {label} | " + " | ".join(f"{int(c):,}" for c in cells) + " |")
lines.append("")
table = "\n".join(lines)
print(table)
with open(os.path.join(out, "table.txt"), "w") as f:
    f.write(table + "\n")
