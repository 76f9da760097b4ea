"""Sweeps the signal delay of slave 1's input 1 in five steps and prints, for each, where the
correlation of two channels (by default 1 and 6: input 1 of the master and of slave 1) peaks.
The peak moves by the delay steps.

    python3 delay_scan.py --simulate
"""
import argparse

import numpy as np

import ravik


def peak_centre(corr):
    """The mean delay of the pairs within 50 ps of the fullest bin: the peak's position, which
    the devices' timing jitter spreads over a few bins."""
    counts = corr.data()
    edges = corr.bin_edges_ps()
    centres = (edges[:-1] + edges[1:]) / 2
    near = np.abs(centres - centres[np.argmax(counts)]) <= 50
    return float(np.sum(centres[near] * counts[near]) / max(1, np.sum(counts[near])))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--simulate", action="store_true", help="also find simulated devices")
    parser.add_argument("--seconds", type=float, default=0.5, help="recording time of each step")
    parser.add_argument("--step-ns", type=float, default=1.0,
                        help="delay step in ns (the devices keep whole ns)")
    parser.add_argument("--a", type=int, default=1, help="first channel (the start of a delay)")
    parser.add_argument("--b", type=int, default=6, help="second channel (the end of a delay)")
    args = parser.parse_args()

    with ravik.Chain(simulate=args.simulate) as chain:
        corr = ravik.Correlation(chain, args.a, args.b, bin_width_ps=10, n_bins=4000)
        print(f"{'delay_ns':>8} {'peak_ps':>8} {'pairs':>8}")
        for step in range(5):
            delay = step * args.step_ns
            # Input 1 of slave 1 (chain position 1); the other inputs keep their settings.
            chain.set_parameters(1, {"channels": [{}, {"signal_delay_ns": delay}]})
            corr.clear()
            chain.start()
            chain.sleep(args.seconds)
            chain.stop()
            counts = corr.data()
            print(f"{delay:8.2f} {peak_centre(corr):8.0f} {counts.max():8d}")
        chain.set_parameters(1, {"channels": [{}, {"signal_delay_ns": 0.0}]})


if __name__ == "__main__":
    main()
