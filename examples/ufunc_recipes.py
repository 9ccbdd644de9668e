"""The waveforms as NumPy ufuncs (undarix_ufuncs) with pandas, xarray, Dask, a
parameter sweep and scipy's curve_fit.

    python examples/ufunc_recipes.py

Every recipe passes the library's own objects straight to the ufunc: NumPy's
ufunc protocol gives pandas back a Series with its index, xarray a DataArray
with its coordinates, and Dask a lazy array evaluated block by block.
"""

import numpy as np

import undarix_ufuncs as uf


def pandas_series():
    """A daily pulse on a pandas time index: the result keeps the index."""
    import pandas as pd

    index = pd.date_range("2024-03-01", periods=48, freq="h")
    hours = pd.Series((index.hour + index.minute / 60.0).to_numpy(), index=index)
    radians = hours / 24.0 * 2.0 * np.pi  # time as radians of the daily cycle
    return uf.transient_impulse(radians, 3.0, 6.0, 0.4, 1.0)  # a Series on the same index


def xarray_sweep():
    """A sweep over named dimensions: the result keeps both coordinates."""
    import xarray as xr

    time = xr.DataArray(np.linspace(0.0, 20.0, 201), dims="time", attrs={"units": "s"})
    time = time.assign_coords(time=time.values)
    gamma = xr.DataArray([-0.05, -0.1, -0.2], dims="gamma", coords={"gamma": [-0.05, -0.1, -0.2]})
    return uf.harmonic_oscillator(time, 1.0, gamma, 2.0, 0.0, 0.0)  # dims ("time", "gamma")


def dask_blocks(points=1_000_000, chunk=100_000):
    """A long series evaluated lazily, block by block, with the same bits as one call."""
    import dask.array as da

    time = da.linspace(0.0, 1_000.0, points, chunks=chunk)
    return uf.pseudo_square_wave(time, 1.0, -0.001, 2.0, 0.0, 0.0)  # lazy until .compute()


def parameter_sweep(sets=2_000, points=1_000, seed=0):
    """Every row a different (amplitude, gamma, omega): one broadcasting call."""
    rng = np.random.default_rng(seed)
    time = np.linspace(0.0, 20.0, points)
    amplitude = rng.uniform(0.5, 2.0, sets)
    gamma = rng.uniform(-0.3, -0.01, sets)
    omega = rng.uniform(0.5, 5.0, sets)
    values = uf.harmonic_oscillator(time[None, :], amplitude[:, None], gamma[:, None], omega[:, None], 0.0, 0.0)
    return time, (amplitude, gamma, omega), values  # values.shape == (sets, points)


def curve_fit_example(seed=3):
    """curve_fit with the ufunc as the model: it takes the time array and NumPy scalars."""
    from scipy.optimize import curve_fit

    true = (2.0, -0.15, 3.0, 0.2, 0.5)
    time = np.linspace(0.0, 15.0, 500)
    values = uf.harmonic_oscillator(time, *true) + np.random.default_rng(seed).normal(0.0, 0.05, time.size)
    best, covariance = curve_fit(uf.harmonic_oscillator, time, values, p0=[1.5, 0.0, 2.9, 0.0, 0.4])
    return true, best, np.sqrt(np.diag(covariance))


def main():
    series = pandas_series()
    print("pandas: %d values on %s .. %s, peak %.3f" % (len(series), series.index[0], series.index[-1], series.max()))
    sweep = xarray_sweep()
    print("xarray: dims %s, gamma coordinates %s" % (sweep.dims, list(sweep.coords["gamma"].values)))
    lazy = dask_blocks()
    print("dask: %d blocks, first values %s" % (lazy.numblocks[0], lazy[:3].compute()))
    _, _, values = parameter_sweep()
    print("sweep: %d parameter sets x %d points in one call" % values.shape)
    true, best, errors = curve_fit_example()
    print("curve_fit: true %s\n           fit  %s\n           err  %s" % (
        np.round(true, 4), np.round(best, 4), np.round(errors, 4)))


if __name__ == "__main__":
    main()
