#!/usr/bin/env python3
"""Small reads of an HDF5 output, compressed against uncompressed: the cost of reading it in
pieces of a few thousand records, front to back, with h5py's default chunk cache (1 MiB).

    python3 bench/bench_hdf5_read.py PLAIN.h5 COMPRESSED.h5 [RECORDS_PER_READ]

Prints the microseconds per read of each file and their ratio.
"""
import sys
import time

import h5py


def per_read(path, piece):
    with h5py.File(path, "r") as f:
        times, detectors = f["photon_data/timestamps"], f["photon_data/detectors"]
        size = min(times.shape[0], 4 << 20)
        start = time.perf_counter()
        reads = 0
        for lo in range(0, size - piece, piece):
            times[lo:lo + piece]
            detectors[lo:lo + piece]
            reads += 1
        return (time.perf_counter() - start) / reads * 1e6


def main():
    plain, compressed = sys.argv[1], sys.argv[2]
    piece = int(sys.argv[3]) if len(sys.argv) > 3 else 4096
    a, b = per_read(plain, piece), per_read(compressed, piece)
    print(f"{piece} records per read: plain {a:.0f} us, compressed {b:.0f} us, ratio {b / a:.1f}")


if __name__ == "__main__":
    main()
