#!/usr/bin/env python3
"""Old and new installation trees for the package benchmark.

make_trees.py WORK SIZE_MB

new/ holds ten files that together carry SIZE_MB megabytes (ADDF sections)
and two large files that differ from old/ in scattered places (MODI
sections); old/ also holds a file the package deletes. The bytes come from
os.urandom mapped onto 16 letters, so bzip2 packs them to about half.
"""
import os
import sys

work, size_mb = sys.argv[1], int(sys.argv[2])
table = bytes(ord("a") + (i % 16) for i in range(256))


def data(n):
    return os.urandom(n).translate(table)


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)


files = 10
per_file = size_mb * 1000 * 1000 // files
for i in range(files):
    write(f"{work}/new/data/pack{i:02d}.bin", data(per_file))

for i in range(2):
    old = bytearray(data(32 << 20))
    write(f"{work}/old/res/archive{i}.rz1", old)
    for k in range(2000):
        at = (k * 16769023 + i) % (len(old) - 64)
        old[at:at + 40] = data(40)
    write(f"{work}/new/res/archive{i}.rz1", old)

write(f"{work}/old/obsolete.dat", data(1 << 20))
write(f"{work}/old/update.ini", b"[Setting]\r\nVersion=1.0.0\r\n")
write(f"{work}/new/update.ini", b"[Setting]\r\nVersion=1.0.1\r\n")
write(f"{work}/old/res.ini", b"[Setting]\r\nVersion=1.0.0\r\n")
write(f"{work}/new/res.ini", b"[Setting]\r\nVersion=1.0.0\r\n")
