#!/usr/bin/env python3
"""Linux's own view of updaters running under Wine: the peak resident set
(VmHWM) and the peak anonymous resident memory (RssAnon, what the process
holds privately) of every process started from one of the given exes,
sampled every few milliseconds until STOP_FILE appears. Writes, per name,
the median over its processes of each peak, in KiB, and how many there were.

Usage: sample_memory.py OUT STOP_FILE NAME=EXE [NAME=EXE]...
"""
import os
import sys
import time

out, stop = sys.argv[1], sys.argv[2]


def normal(text):
    # Wine shows a host path as Z:\...; compare without case or slashes.
    text = text.lower().replace("\\", "/")
    return text[2:] if text.startswith("z:/") else text


exes = {}
for pair in sys.argv[3:]:
    name, _, exe = pair.partition("=")
    exes[normal(os.path.realpath(exe))] = name

peaks = {}  # pid -> [name, hwm, anon]
while not os.path.exists(stop):
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                argv0 = f.read().split(b"\0")[0].decode("utf-8", "replace")
            name = exes.get(normal(argv0))
            if name is None:
                continue
            fields = {}
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    key, _, value = line.partition(":")
                    fields[key] = value.strip()
            hwm = int(fields.get("VmHWM", "0 kB").split()[0])
            anon = int(fields.get("RssAnon", "0 kB").split()[0])
        except (OSError, ValueError):
            continue
        entry = peaks.setdefault(pid, [name, 0, 0])
        entry[1] = max(entry[1], hwm)
        entry[2] = max(entry[2], anon)
    time.sleep(0.005)

with open(out, "w") as f:
    for name in sorted(set(exes.values())):
        runs = [v for v in peaks.values() if v[0] == name]
        for i, key in ((1, "hwm"), (2, "rss_anon")):
            values = sorted(v[i] for v in runs)
            f.write(f"{name}_linux_{key}_kib {values[len(values) // 2] if values else 0}\n")
        f.write(f"{name}_linux_processes {len(runs)}\n")
