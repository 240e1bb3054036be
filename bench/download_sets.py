#!/usr/bin/env python3
"""Makes the payloads of the download-size comparison, each as a folder with
its files and the title profiles that build updaters from them:

  sample    the sample title's new files, as the sample profile carries them;
  binaries  real Windows binaries from this machine's mingw-w64 and Wine
            packages, about 30 MB;
  mix       binaries, C headers (text) and data that is compressed already
            (gzip files and PNG images from /usr/share), about 20 MB.

For each set, OUT/<set>-raw/profile.cmake carries the files as they are and
OUT/<set>-deflated/profile.cmake deflated (UPDATER_COMPRESS); OUT/<set>/payload
holds the files
and OUT/<set>/files.txt lists them, for the installers built from the same
files. Files are picked in name order, so one machine always gets the same
sets, and each content once: Debian ships some icons and changelogs in several
places, and a title ships no file twice (makensis would store such a file
once, the updater twice). Usage: download_sets.py OUT SAMPLE_NEW_DIR
"""
import glob
import hashlib
import os
import shutil
import sys

out, sample_new = sys.argv[1], sys.argv[2]
MB = 1000 * 1000


seen = set()  # contents picked so far, by SHA-256


def pick(patterns, budget, smallest=0):
    """Files of `smallest` bytes or more matching the patterns, in name order,
    until `budget` bytes, skipping contents picked already."""
    found = sorted({f for p in patterns for f in glob.glob(p, recursive=True)
                    if os.path.isfile(f) and not os.path.islink(f) and os.path.getsize(f) >= smallest})
    chosen, total = [], 0
    for f in found:
        if total >= budget:
            break
        with open(f, "rb") as data:
            digest = hashlib.sha256(data.read()).digest()
        if digest in seen:
            continue
        seen.add(digest)
        chosen.append(f)
        total += os.path.getsize(f)
    return chosen


WINE = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
MINGW_DLLS = ["/usr/lib/gcc/x86_64-w64-mingw32/*-posix/*.dll", "/usr/x86_64-w64-mingw32/lib/*.dll"]

sets = {
    "sample": [(os.path.join(sample_new, "TumbleTrain.exe"), "TumbleTrain.exe"),
               (os.path.join(sample_new, "dll", "RESOURCE.dll"), "dll/RESOURCE.dll")],
}
binaries = pick(MINGW_DLLS, 10 * MB) + pick([WINE + "/*.dll", WINE + "/*.exe"], 20 * MB)
sets["binaries"] = [(f, os.path.basename(f)) for f in binaries]
seen.clear()  # each set on its own
mix = []
# Larger files only, so that a few hundred files make the set, as in a title.
for kind, patterns, budget, smallest in (
        ("bin", MINGW_DLLS, 6 * MB, 0),
        ("inc", ["/usr/share/mingw-w64/include/*.h"], 5 * MB, 32 * 1024),
        ("doc", ["/usr/share/doc/**/*.gz"], 5 * MB, 16 * 1024),
        ("img", ["/usr/share/**/*.png"], 4 * MB, 16 * 1024)):
    for i, f in enumerate(pick(patterns, budget, smallest)):
        # Prefixed: files from different folders share names (changelog.gz).
        mix.append((f, f"{kind}{i:04d}-{os.path.basename(f)}"))
sets["mix"] = mix

for name, files in sets.items():
    folder = os.path.join(out, name)
    shutil.rmtree(folder, ignore_errors=True)
    for source, path in files:
        target = os.path.join(folder, "payload", path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
    with open(os.path.join(folder, "files.txt"), "w") as f:
        f.writelines(path + "\n" for _, path in files)
    quoted = " ".join(f'"{path}"' for _, path in files)
    for variant, compress in (("raw", "OFF"), ("deflated", "ON")):
        profile = os.path.join(out, f"{name}-{variant}")
        os.makedirs(profile, exist_ok=True)
        with open(os.path.join(profile, "profile.cmake"), "w") as f:
            f.write("# Written by bench/download_sets.py for the download-size comparison.\n"
                    "include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)\n"
                    f"set(UPDATER_PAYLOAD {quoted})\n"
                    f'set(UPDATER_PAYLOAD_DIR "{folder}/payload")\n'
                    "set(UPDATER_RECORDS_MAY_DIFFER ON)\n"
                    f"set(UPDATER_COMPRESS {compress})\n")
    size = sum(os.path.getsize(s) for s, _ in files)
    print(f"{name} {len(files)} {size}")
