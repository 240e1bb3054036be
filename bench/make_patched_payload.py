"""Writes a new main program of SIZE bytes made from an old one, for the patched
updater benchmarks: the old program repeated, each copy with 16 bytes changed at
seeded random offsets, so that a patch from the old program is mostly copies.

Usage: make_patched_payload.py OLD_PROGRAM SIZE OUT
"""
import random
import sys

old = open(sys.argv[1], "rb").read()
size = int(sys.argv[2])
rng = random.Random(7)
with open(sys.argv[3], "wb") as out:
    left = size
    while left > 0:
        chunk = bytearray(old[:min(len(old), left)])
        for _ in range(16):
            chunk[rng.randrange(len(chunk))] = rng.randrange(256)
        out.write(chunk)
        left -= len(chunk)
