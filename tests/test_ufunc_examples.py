"""The worked example of the ufuncs (examples/ufunc_recipes.py): each recipe's result
against the strict module."""
import functools
import os
import runpy
import subprocess
import sys

import numpy as np
import pytest

import undarix
from conftest import assert_same_floats

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
pytest.importorskip("pandas")
pytest.importorskip("xarray")


@functools.lru_cache(maxsize=None)
def recipes():
    return runpy.run_path(os.path.join(EXAMPLES, "ufunc_recipes.py"), run_name="example")


def test_pandas_recipe_keeps_the_index():
    series = recipes()["pandas_series"]()
    assert len(series) == 48 and str(series.index[0]) == "2024-03-01 00:00:00"
    radians = (series.index.hour + series.index.minute / 60.0).to_numpy() / 24.0 * 2.0 * np.pi
    assert_same_floats(series.to_numpy(), undarix.transient_impulse(radians, 3.0, 6.0, 0.4, 1.0))


def test_xarray_recipe_keeps_coordinates():
    sweep = recipes()["xarray_sweep"]()
    assert sweep.dims == ("time", "gamma")
    for column, gamma in enumerate(sweep.coords["gamma"].values):
        expected = undarix.harmonic_oscillator(np.ascontiguousarray(sweep.coords["time"].values), 1.0, float(gamma),
                                               2.0, 0.0, 0.0)
        assert_same_floats(sweep.values[:, column], expected)


def test_dask_recipe_is_lazy_and_exact():
    lazy = recipes()["dask_blocks"](points=50_000, chunk=7_000)
    assert lazy.numblocks == (8,)
    import dask.array as da
    time = da.linspace(0.0, 1_000.0, 50_000, chunks=7_000).compute()  # Dask's times, block by block
    assert_same_floats(lazy.compute(), undarix.pseudo_square_wave(time, 1.0, -0.001, 2.0, 0.0, 0.0))


def test_sweep_recipe_rows_match_one_strict_call_each():
    time, (amplitude, gamma, omega), values = recipes()["parameter_sweep"](sets=300, points=500)
    assert values.shape == (300, 500)
    for row in (0, 17, 299):
        expected = undarix.harmonic_oscillator(time, amplitude[row], gamma[row], omega[row], 0.0, 0.0)
        assert_same_floats(values[row], expected)


def test_curve_fit_recipe_recovers_the_parameters():
    true, best, errors = recipes()["curve_fit_example"]()
    assert np.all(errors > 0) and np.all(np.abs(best - true) < 5 * errors + 1e-12)


def test_script_runs():
    completed = subprocess.run([sys.executable, os.path.join(EXAMPLES, "ufunc_recipes.py")], capture_output=True,
                               text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    assert "sweep: 2000 parameter sets x 1000 points in one call" in completed.stdout
