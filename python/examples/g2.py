"""Records the chain for a while and prints the normalised g(2) of two channels: the pairs at
each delay divided by what uncorrelated events at the two channels' rates would give (1 far
from any correlation). Rates and duration are those of the stream time the measurement saw.

    python3 g2.py --simulate --a 1 --b 6
"""
import argparse

import numpy as np

import ravik


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--simulate", action="store_true", help="also find simulated devices")
    parser.add_argument("--seconds", type=float, default=1.0, help="recording time")
    parser.add_argument("--a", type=int, default=1, help="first channel")
    parser.add_argument("--b", type=int, default=6, help="second channel")
    parser.add_argument("--bin-width", type=int, default=100, help="bin width in ps")
    parser.add_argument("--bins", type=int, default=200, help="number of bins")
    parser.add_argument("--show", type=int, default=5, help="bins shown on each side of the peak")
    args = parser.parse_args()

    with ravik.Chain(simulate=args.simulate) as chain:
        corr = ravik.Correlation(chain, args.a, args.b, bin_width_ps=args.bin_width,
                                 n_bins=args.bins)
        rate = ravik.CountRate(chain, [args.a, args.b])
        chain.start()
        chain.sleep(args.seconds)
        chain.stop()

    g2 = corr.normalized()
    edges = corr.bin_edges_ps()
    rates = rate.data()
    print(f"channels {args.a} and {args.b}: {rates[0]:.0f} and {rates[1]:.0f} events/s over "
          f"{corr.span_ps * 1e-12:.3f} s of stream time")
    peak = int(np.argmax(g2))
    away = np.abs(np.arange(len(g2)) - peak) > args.show
    print(f"g2 away from the peak: {g2[away].mean():.3f}")
    print(f"{'delay_ps':>9} {'g2':>10}")
    for i in range(max(0, peak - args.show), min(len(g2), peak + args.show + 1)):
        print(f"{edges[i]:9d} {g2[i]:10.3f}")


if __name__ == "__main__":
    main()
