#!/usr/bin/env python3
"""The Dask example on a two-process LocalCluster: time and peak memory per worker for files of
N and 2N records, with channel b common (6) and rare (9).

    python3 bench/bench_dask.py [N]          (default 20000000; the files go to /dev/shm)

Prints one line per file size and channel: records, b, seconds, the workers' peak RSS in MiB.
"""
import os
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
import distributed  # noqa: E402

EXAMPLE = os.path.join(HERE, "..", "python", "examples", "dask_counts.py")


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000_000
    folder = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    for records in (n, 2 * n):
        path = os.path.join(folder, f"bench-{records}.h5")
        # Made in a process of its own: a worker started later would otherwise count this
        # process's peak memory (the peak carries over into a started program) as its own.
        subprocess.run([sys.executable, "-c", "import sys; sys.path[:0] = sys.argv[3:]; "
                        "from test_dask_cluster import make_file; "
                        "make_file(sys.argv[1], int(sys.argv[2]))", path, str(records),
                        os.path.join(HERE, "..", "python"),
                        os.path.join(HERE, "..", "python", "tests")], check=True)
        for b in (6, 9):
            # Fresh workers for each run, so that their peak memory is this run's.
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                          dashboard_address=None) as cluster, \
                    distributed.Client(cluster) as client:
                start = time.monotonic()
                subprocess.run([sys.executable, EXAMPLE, path, "--a", "1", "--b", str(b),
                                "--window", "4000", "--bin-width", "250", "--scheduler",
                                cluster.scheduler_address], check=True, stdout=subprocess.DEVNULL)
                seconds = time.monotonic() - start
                peaks = sorted(client.run(peak_mib).values())
            print(f"{records} records, b={b}: {seconds:.1f} s, worker peak RSS "
                  + ", ".join(f"{p:.0f}" for p in peaks) + " MiB", flush=True)
        os.unlink(path)
    os.rmdir(folder)


if __name__ == "__main__":
    main()
