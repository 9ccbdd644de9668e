"""fit_many(): one fit per row of a 2-D array, on one process, on a pool of
threads or of processes, or on a Dask cluster."""

import multiprocessing
import os
import threading

import numpy as np

from ._fit import fit
from ._samples import as_float_vector
from ._waveforms import Waveform


class ManyFitResult(object):
    """The fits of :func:`fit_many`, one entry per row.

    Attributes
    ----------
    params, stderr : dict of numpy.ndarray
        Per parameter name, the fitted values and their standard errors, one
        per row (NaN for a row that could not be fitted).
    chisqr, redchi : numpy.ndarray
    nfev : numpy.ndarray of int
    success : numpy.ndarray of bool
    messages : list of str
        The solver's message, or the error that stopped the row's fit.
    """

    def __init__(self, names, rows):
        count = len(rows)
        self.params = {name: np.full(count, np.nan) for name in names}
        self.stderr = {name: np.full(count, np.nan) for name in names}
        self.chisqr = np.full(count, np.nan)
        self.redchi = np.full(count, np.nan)
        self.nfev = np.zeros(count, dtype=np.int64)
        self.success = np.zeros(count, dtype=bool)
        self.messages = []
        for index, row in enumerate(rows):
            self.messages.append(row["message"])
            if "params" not in row:
                continue
            for name in names:
                self.params[name][index] = row["params"][name]
                self.stderr[name][index] = row["stderr"][name]
            self.chisqr[index] = row["chisqr"]
            self.redchi[index] = row["redchi"]
            self.nfev[index] = row["nfev"]
            self.success[index] = row["success"]

    def __len__(self):
        return self.success.size

    def __repr__(self):
        return "<ManyFitResult: %d rows, %d succeeded>" % (len(self), int(self.success.sum()))


def fit_rows(name, time, rows, arguments, stop=None):
    """The summaries of the fits of `rows` (a 2-D array); run in a worker.
    A thread of this process stops between two rows once `stop` is set."""
    summaries = []
    for row in rows:
        if stop is not None and stop.is_set():
            break
        try:
            result = fit(name, time, row, **arguments)
        except (ValueError, TypeError) as error:
            summaries.append({"message": "not fitted: %s" % error})
            continue
        summaries.append({"params": result.params, "stderr": result.stderr, "chisqr": result.chisqr,
                          "redchi": result.redchi, "nfev": result.nfev, "success": result.success,
                          "message": result.message})
    return summaries


def fit_many(name, time, data_2d, p0=None, sigma=None, bounds=None, fixed=None, num_harmonics=None,
             processes=None, client=None, chunks=None, threads=None, **options):
    """Fit waveform `name` to every row of `data_2d` (each row one signal over the
    shared `time`), with the same arguments as :func:`fit`.

    Parameters
    ----------
    name, p0, sigma, bounds, fixed, num_harmonics, **options
        As for :func:`fit`, the same for every row (``sigma`` a number or an
        array of ``time``'s length).
    time : array_like
        One-dimensional, strictly increasing, shared by all rows.
    data_2d : array_like
        Of shape (signals, len(time)); NaNs are left out row by row.
    processes : int, optional
        Fit on a pool of this many worker processes (``concurrent.futures``);
        by default, and with 1, every row is fitted in this process.
    client : dask.distributed.Client, optional
        Fit on this Dask cluster instead (``processes`` is then ignored).
    threads : int, optional
        Fit on a pool of this many threads of this process instead
        (``concurrent.futures``); not with ``processes`` or ``client``.  On
        a free-threaded CPython the threads fit at once; with the
        interpreter lock they share it, and only the evaluations run side by
        side, so a process pool is then usually faster.
    chunks : int, optional
        Rows per task sent to a worker (by default about four tasks per
        worker); a positive int.

    Returns
    -------
    ManyFitResult
        Arrays of parameters and standard errors, one entry per row.  A row
        that cannot be fitted (all NaN, too few points) has NaN parameters,
        ``success`` False and the reason in ``messages``.

    Notes
    -----
    A worker process that dies (killed, out of memory) loses no row: the
    rows it held are fitted again, one by one in a fresh worker, and a row
    whose worker dies again is reported as not fitted, with that reason in
    ``messages``.  Ctrl-C ends the workers and raises KeyboardInterrupt at
    once.  The worker processes import the calling script again: in a
    script, call fit_many under ``if __name__ == "__main__":``.
    """
    names = Waveform(name, num_harmonics).names
    time = as_float_vector(time, "time")
    data_2d = np.asarray(data_2d, dtype=np.float64)
    if data_2d.ndim != 2 or data_2d.shape[1] != time.size:
        raise ValueError("data_2d must be of shape (signals, %d), one row per signal over time, not %s"
                         % (time.size, data_2d.shape))
    arguments = dict(options, p0=p0, sigma=sigma, bounds=bounds, fixed=fixed, num_harmonics=num_harmonics)
    for value, what in ((processes, "processes"), (chunks, "chunks"), (threads, "threads")):
        if value is not None and (isinstance(value, bool) or not isinstance(value, (int, np.integer))
                                  or value < 1):
            raise ValueError("%s must be a positive int, not %r" % (what, value))
    if threads is not None and (processes is not None or client is not None):
        raise ValueError("give threads, processes or client, not more than one: each names where the rows "
                         "are fitted")
    if client is None and (processes or 1) == 1 and (threads or 1) == 1:
        return ManyFitResult(names, fit_rows(name, time, data_2d, arguments))
    if client is not None:
        workers = max(1, len(client.scheduler_info().get("workers", {})))
    else:
        workers = int(threads or processes)
    size = int(chunks) if chunks else max(1, -(-data_2d.shape[0] // (4 * workers)))
    pieces = [data_2d[start:start + size] for start in range(0, data_2d.shape[0], size)]
    if client is not None:
        futures = [client.submit(fit_rows, name, time, piece, arguments, pure=False) for piece in pieces]
        parts = client.gather(futures)
    elif threads is not None:
        parts = thread_fit(name, time, pieces, arguments, workers)
    else:
        parts = pool_fit(name, time, pieces, arguments, workers)
    rows = [row for part in parts for row in part]
    if len(rows) != data_2d.shape[0]:
        raise RuntimeError("fit_many lost rows: %d results for %d rows" % (len(rows), data_2d.shape[0]))
    return ManyFitResult(names, rows)


MAIN_GUARD_HINT = ("the worker processes died before fitting any row. If this runs in a script, call fit_many "
                   "under `if __name__ == \"__main__\":` (each worker imports the script again, and without "
                   "the guard starts fit_many anew); or fit on one process (processes=None)")


# A pool that starts its workers as it is given tasks can break in submit()
# already: the fork server that starts them died (EOFError as it reads the
# new worker's pid), as it does when the main script it imports fails.
STARTS_BROKEN = (EOFError,)


def new_pool(workers):
    from concurrent.futures import ProcessPoolExecutor
    # Forking a process that runs threads (the module's own, BLAS's) can
    # leave a lock held in the child: workers start from a fresh server.
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
    return ProcessPoolExecutor(max_workers=workers, mp_context=context)


def end_pool(pool):
    """Stop a pool now: queued tasks cancelled, running workers ended (a
    worker deep in a fit would otherwise finish its task first)."""
    for future in getattr(pool, "_pending_work_items", {}).values():
        future.future.cancel()
    for process in list(getattr(pool, "_processes", {}).values()):
        try:
            process.terminate()
        except (OSError, AttributeError):  # pragma: no cover - already gone
            pass
    pool.shutdown(wait=False)


def thread_fit(name, time, pieces, arguments, workers):
    """The summaries of every piece, fitted on a pool of threads.  On an
    exception (Ctrl-C included) the queued pieces are cancelled and the
    running ones stop after their current row: a thread cannot be ended
    from outside, but one row is a single fit."""
    from concurrent.futures import ThreadPoolExecutor
    stop = threading.Event()
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="undarix_fit")
    futures = []
    try:
        futures = [pool.submit(fit_rows, name, time, piece, arguments, stop) for piece in pieces]
        return [future.result() for future in futures]
    except BaseException:
        stop.set()
        for future in futures:
            future.cancel()
        raise
    finally:
        pool.shutdown(wait=False)


def pool_fit(name, time, pieces, arguments, workers):
    """The summaries of every piece, fitted on a process pool; the pieces of a
    pool that broke (a worker died) are retried row by row."""
    from concurrent.futures.process import BrokenProcessPool
    parts = [None] * len(pieces)
    pool = new_pool(workers)
    try:
        futures = []
        try:
            for piece in pieces:
                futures.append(pool.submit(fit_rows, name, time, piece, arguments))
        except (BrokenProcessPool,) + STARTS_BROKEN:
            pass    # a worker died meanwhile: the rows not given out are retried below
        for index, future in enumerate(futures):
            try:
                parts[index] = future.result()
            except BrokenProcessPool:
                pass
    except BaseException:
        end_pool(pool)
        raise
    pool.shutdown(wait=True)
    lost = [index for index, part in enumerate(parts) if part is None]
    if not lost:
        return parts
    if len(lost) == len(pieces) and multiprocessing.parent_process() is None and not main_is_guarded():
        raise RuntimeError(MAIN_GUARD_HINT)
    for index in lost:
        parts[index] = [retried_row(name, time, row, arguments) for row in pieces[index]]
    return parts


def retried_row(name, time, row, arguments):
    """The summary of one row fitted again in a fresh worker, or its failure
    if that worker dies too."""
    from concurrent.futures.process import BrokenProcessPool
    pool = new_pool(1)
    try:
        return pool.submit(fit_rows, name, time, row[None, :], arguments).result()[0]
    except (BrokenProcessPool,) + STARTS_BROKEN as error:
        return {"message": "not fitted: its worker process died twice (%s)" % (error,)}
    except BaseException:
        end_pool(pool)
        raise
    finally:
        pool.shutdown(wait=True)


def main_is_guarded():
    """Whether the main script (if any) holds an `if __name__ == "__main__"`
    guard: without one, the workers that import it fail at once."""
    import sys
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    if not path or not os.path.exists(path):
        return True
    try:
        with open(path) as source:
            text = source.read()
    except (OSError, UnicodeDecodeError):
        return True
    return "__main__" in text
