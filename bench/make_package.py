#!/usr/bin/env python3
"""Writes a package like the installer's: FILES entries in nested folders,
about TOTAL_MB of data, a mix of text-like (deflated well) and binary-like
(deflated poorly) content. Deterministic for a given size.

  make_package.py PATH FILES TOTAL_MB [PER_FOLDER]

Without PER_FOLDER every file has a folder of its own (the harder case:
each file costs a folder creation too); with it, PER_FOLDER files in a row
share one."""
import random
import sys
import zipfile

path, files, total_mb = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
per_folder = int(sys.argv[4]) if len(sys.argv) > 4 else 0
rng = random.Random(7)
noise = rng.randbytes(8 << 20)
words = [b"kavimor", b"quote ", b"order\r\n", b"price=", b"0123456789", b"<tick/>", b"\t"]
text = bytearray()
while len(text) < (8 << 20):
    text += rng.choice(words)
text = bytes(text)
average = total_mb * (1 << 20) // files
with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=1) as zf:
    for i in range(files):
        size = rng.randint(average // 2, average * 3 // 2)
        pool = noise if i % 3 == 0 else text
        start = rng.randrange(0, len(pool) - size)
        if per_folder:
            folder = f"runtime/module{i // per_folder % 40:02d}/part{i // per_folder:03d}"
        else:
            folder = f"runtime/module{i % 40:02d}/part{i // 40:03d}"
        zf.writestr(f"{folder}/file{i:05d}.dat", pool[start:start + size])
