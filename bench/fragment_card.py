#!/usr/bin/env python3
"""Puts files of a formatted FAT32 card image in two pieces, in place.

   fragment_card.py IMAGE [PERCENT]

Files written one after the other on an empty card lie in consecutive
clusters. For PERCENT of the pictures (every n-th pair of neighbouring
JPEGs) and for the last movie followed by a picture, the clusters of the
file F and of the file G after it are rewritten as F's first half, G whole,
F's second half: F in two pieces around G, as a card filled, emptied in
places and filled again holds them. Prints how many files it cut."""
import struct
import sys


def main():
    path = sys.argv[1]
    percent = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0
    with open(path, 'r+b') as f:
        boot = f.read(512)
        bps = struct.unpack_from('<H', boot, 11)[0]
        cs = bps * boot[13]
        data = (struct.unpack_from('<H', boot, 14)[0] + boot[16] * struct.unpack_from('<I', boot, 36)[0]) * bps
        f.seek(0, 2)
        clusters = (f.tell() - data) // cs
        heads = []  # (cluster, kind) of every file header at a cluster's start
        for c in range(clusters):
            f.seek(data + c * cs)
            h = f.read(12)
            if h[:3] == b'\xff\xd8\xff':
                heads.append((c, 'J'))
            elif h[4:8] == b'ftyp':
                heads.append((c, 'M'))

        def cut(first, second, end):
            """first..second is F, second..end is G: F's halves around G."""
            f.seek(data + first * cs)
            region = f.read((end - first) * cs)
            n = second - first
            k = n // 2
            f_bytes, g_bytes = region[:n * cs], region[n * cs:]
            f.seek(data + first * cs)
            f.write(f_bytes[:k * cs] + g_bytes + f_bytes[k * cs:])

        pictures = sum(1 for _, kind in heads if kind == 'J')
        want = int(pictures * percent / 100 + 0.5)
        step = max(3, len(heads) // max(want, 1))
        cut_pictures = 0
        for i in range(0, len(heads) - 2, step):
            if cut_pictures == want:
                break
            if heads[i][1] == heads[i + 1][1] == heads[i + 2][1] == 'J':
                cut(heads[i][0], heads[i + 1][0], heads[i + 2][0])
                cut_pictures += 1
        movies = [i for i in range(len(heads) - 2) if heads[i][1] == 'M' and heads[i + 1][1] == 'J']
        if movies:
            i = movies[-1]
            cut(heads[i][0], heads[i + 1][0], heads[i + 2][0])
        print(f'{cut_pictures} pictures and {1 if movies else 0} movie in two pieces')


main()
