#!/usr/bin/env python3
"""Makes the benchmark tree: about 300 000 files in about 15 000 folders, one file in ten
a picture (.jpg/.JPEG/.Jpg), some names with blanks and umlauts. Deterministic."""
import os
import random
import sys

root = sys.argv[1]
rng = random.Random(4711)
others = [".txt", ".png", ".dat", ".mp3", ".html", ".jpg.bak", ".jpeg~", ".xjpg"]
pictures = [".jpg", ".JPEG", ".Jpg", ".jpeg", ".JPG"]
stems = ["IMG_", "Bild ", "Übersicht ", "Straße_", "scan-", "Ärger ", "photo"]

folders = []
for a in range(30):
    for b in range(20):
        for c in range(25):
            folders.append(os.path.join(root, f"Ordner {a:02d}", f"sub{b:02d}", f"Tiefe ä{c:02d}"))
made = set()
for f in folders:
    os.makedirs(f, exist_ok=True)
    made.add(f)

files = 0
total = 300_000
per_folder = total // len(folders)
extra = total - per_folder * len(folders)
flags = os.O_CREAT | os.O_WRONLY | os.O_EXCL
for i, f in enumerate(folders):
    n = per_folder + (1 if i < extra else 0)
    for k in range(n):
        stem = rng.choice(stems)
        ext = rng.choice(pictures) if rng.random() < 0.1 else rng.choice(others)
        fd = os.open(os.path.join(f, f"{stem}{i:05d}_{k:02d}{ext}"), flags, 0o644)
        os.close(fd)
        files += 1
print(f"{files} files in {len(made)} leaf folders", file=sys.stderr)
