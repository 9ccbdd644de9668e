"""Evaluates a waveform over a time axis too large for one call, block by block
with dask.array.map_blocks, and reduces it without ever holding it whole.

    python examples/dask_map_blocks.py [--points N] [--chunk C] [--workers K]

Each block is one call of the module function on a contiguous float64 block of
times; as every value depends only on its own time point, the blocks put
together are bit for bit the result of one call over the whole array. Blocks
run in parallel: on threads of this process by default (the module releases
the interpreter lock while it evaluates a large block, each on one thread), or, with --workers, in
K worker processes of a dask.distributed cluster on this machine. The same
code runs on many machines when the Client is given the address of a
dask.distributed scheduler instead of a LocalCluster.
"""

import argparse
import os
import time as clock

import dask.array as da
import numpy as np

import undarix

FUNCTION = undarix.fourier_square_wave
PARAMETERS = (1.0, -1e-8, 2.0 * np.pi / 86400.0, 0.0, 0.0, 9)  # one cycle a day, time in seconds


def _evaluate_block(block, function, *parameters):
    # The module reads contiguous memory only; blocks of a strided or transposed
    # dask array are made contiguous first (a no-op for the blocks here).
    return function(np.ascontiguousarray(block, dtype=np.float64), *parameters)


def evaluate(function, time, *parameters):
    """function(time, *parameters) over a one-dimensional dask array, one call per block."""
    return time.map_blocks(_evaluate_block, function, *parameters,
                           dtype=np.float64, meta=np.empty((0,), dtype=np.float64))


def time_axis(points, chunk, step=1.0):
    """points time values 0, step, 2*step, ... as a dask array in blocks of chunk."""
    return da.arange(points, chunks=chunk, dtype=np.float64) * step


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=200_000_000,
                        help="length of the time axis (default 2e8: 1.6 GB of times, 1.6 GB of values)")
    parser.add_argument("--chunk", type=int, default=10_000_000, help="points per block")
    parser.add_argument("--workers", type=int, default=0,
                        help="run on a local dask.distributed cluster of this many worker processes")
    args = parser.parse_args(argv)

    client = None
    if not args.workers:
        # Dask's threads already use every core: one thread of the module's
        # own per block keeps them from oversubscribing it.
        os.environ.setdefault("UNDARIX_NUM_THREADS", "1")
    if args.workers:
        from dask.distributed import Client, LocalCluster
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                     host="127.0.0.1", dashboard_address=None))
    try:
        values = evaluate(FUNCTION, time_axis(args.points, args.chunk), *PARAMETERS)
        start = clock.perf_counter()
        low, high, mean = da.compute(values.min(), values.max(), values.mean())
        elapsed = clock.perf_counter() - start
    finally:
        if client is not None:
            client.close()
            client.cluster.close()
    print("%s over %d points (%d blocks of up to %d) on %s" % (
        FUNCTION.__name__, args.points, values.numblocks[0], args.chunk,
        "%d worker processes" % args.workers if args.workers else "threads"))
    print("min %.12g  max %.12g  mean %.12g  in %.2f s" % (low, high, mean, elapsed))


if __name__ == "__main__":
    main()
