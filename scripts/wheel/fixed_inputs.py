"""Evaluates a fixed set of inputs with the installed module and writes the results, or compares
two such files bit for bit.

    python fixed_inputs.py evaluate OUT.npy     all five functions over the same inputs
    python fixed_inputs.py compare A.npy B.npy  how many values differ between two runs

The inputs are made from integers only (NumPy's PCG64 stream and bit patterns), so every
machine evaluates the very same doubles: a grid of ordinary times, random times at every
binary exponent, and the edges (zeros, subnormals, the largest doubles, infinities, NaN,
times where the impulse's remainder changes method).  scripts/test-aarch64 runs it on
x86_64 and on aarch64.
"""
import sys

import numpy as np

import undarix

PARAMETER_SETS = {
    "harmonic_oscillator": [(1.0, -0.1, 2.0, 0.3, 0.5), (3.5, 0.02, 0.7, -1.25, -2.0), (1e-3, -1e-4, 50.0, 0.0, 0.0)],
    "pseudo_square_wave": [(1.0, -0.1, 2.0, 0.3, 0.5), (3.5, 0.02, 0.7, -1.25, -2.0), (1e-3, -1e-4, 50.0, 0.0, 0.0)],
    "fourier_square_wave": [(1.0, -0.1, 2.0, 0.3, 0.5, 5), (3.5, 0.02, 0.7, -1.25, -2.0, 1), (1.0, 0.0, 1.0, 0.0, 0.0, 12)],
    "pseudo_cycloid_wave": [(1.0, -0.1, 2.0, 0.3, 0.5), (3.5, 0.02, 0.7, -1.25, -2.0), (1e-3, -1e-4, 50.0, 0.0, 0.0)],
    "transient_impulse": [(1.0, 6.0, 0.5, 0.25), (2.0, 23.5, 0.05, -1.0), (0.5, 0.0, 3.0, 0.0)],
}


def times():
    """The fixed time points (float64): about 100,000 of them."""
    ordinary = np.linspace(-50.0, 50.0, 60001)
    rng = np.random.Generator(np.random.PCG64(20261208))
    # Random mantissas and signs at every exponent of a double, NaN and infinity excluded.
    mantissas = rng.integers(0, 1 << 52, size=2046 * 16, dtype=np.uint64)
    exponents = np.repeat(np.arange(0, 2046, dtype=np.uint64), 16)
    signs = rng.integers(0, 2, size=mantissas.size, dtype=np.uint64)
    spread = ((signs << np.uint64(63)) | (exponents << np.uint64(52)) | mantissas).view(np.float64)
    largest = np.finfo(np.float64).max
    tiny = np.finfo(np.float64).tiny
    edges = np.array([0.0, -0.0, 5e-324, -5e-324, tiny, -tiny, largest, -largest, np.inf, -np.inf, np.nan,
                      1023.9999999999999, 1024.0, 1024.0000000000002, 2 * np.pi, -2 * np.pi, 1e6, 1e9,
                      1e15, 2.0 ** 53, 2.0 ** 53 + 2, 1e300, 700.0, 709.78, 710.0, -745.0, -746.0])
    return np.concatenate([ordinary, spread, edges, -edges])


def evaluate():
    t = times()
    results = [getattr(undarix, name)(t, *parameters)
               for name, sets in PARAMETER_SETS.items() for parameters in sets]
    return np.concatenate(results)


def compare(a, b):
    if a.shape != b.shape:
        raise SystemExit("the runs evaluated different inputs: %s vs %s values" % (a.shape, b.shape))
    both_nan = np.isnan(a) & np.isnan(b)
    differ = ~both_nan & (a.view(np.uint64) != b.view(np.uint64))
    nan_payloads = both_nan & (a.view(np.uint64) != b.view(np.uint64))
    print("%d values compared (%d NaN in both), %d differ" % (a.size, both_nan.sum(), differ.sum()))
    if nan_payloads.any():
        print("(%d NaN results carry another NaN bit pattern, not counted as a difference)" % nan_payloads.sum())
    for index in np.flatnonzero(differ)[:10]:
        print("  value %d: %r vs %r" % (index, a[index], b[index]))
    return int(differ.sum())


def main(argv):
    if len(argv) == 3 and argv[1] == "evaluate":
        np.save(argv[2], evaluate())
        return 0
    if len(argv) == 4 and argv[1] == "compare":
        return 1 if compare(np.load(argv[2]), np.load(argv[3])) else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
