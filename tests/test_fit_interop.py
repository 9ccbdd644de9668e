"""undarix_fit with pandas, xarray and lmfit, and without SciPy."""

import numpy as np
import pytest

import undarix_fit  # noqa: E402  (part of the distribution: never skipped)

import undarix_ufuncs  # noqa: E402
from conftest import run_python  # noqa: E402
from fit_signals import TRUE, rms, signal  # noqa: E402


@pytest.mark.parametrize("wrap", ["pandas", "xarray"])
def test_series_and_dataarrays_give_the_numpy_results(wrap):
    time, data, _, _ = signal("pseudo_cycloid_wave", seed=11)
    data[10:20] = np.nan
    if wrap == "pandas":
        pandas = pytest.importorskip("pandas")
        wrapped_time = pandas.Series(time, index=np.arange(time.size) * 3)
        wrapped_data = pandas.Series(data, index=wrapped_time.index, name="volts")
    else:
        xarray = pytest.importorskip("xarray")
        wrapped_time = xarray.DataArray(time, dims="t")
        wrapped_data = xarray.DataArray(data, dims="t", coords={"t": time})
    plain = undarix_fit.fit("pseudo_cycloid_wave", time, data)
    wrapped = undarix_fit.fit("pseudo_cycloid_wave", wrapped_time, wrapped_data)
    assert wrapped.params == plain.params
    assert undarix_fit.guess("pseudo_cycloid_wave", wrapped_time, wrapped_data) == \
        undarix_fit.guess("pseudo_cycloid_wave", time, data)


@pytest.mark.parametrize("name, extra", [
    ("harmonic_oscillator", {}),
    ("fourier_square_wave", {"num_harmonics": 4}),
    ("transient_impulse", {}),
])
def test_lmfit_model_guesses_evaluates_with_the_ufunc_and_fits(name, extra):
    pytest.importorskip("lmfit")
    time, data, clean, sigma = signal(name, seed=12)
    model = undarix_fit.lmfit_model(name, **extra)
    assert tuple(model.param_names) == undarix_fit.PARAMETERS[name]
    parameters = model.guess(data, x=time)
    start = undarix_fit.guess(name, time, data, **extra)
    assert {key: parameters[key].value for key in start} == start
    values = list(TRUE[name].values())
    assert np.array_equal(model.eval(model.make_params(**TRUE[name]), x=time),
                          getattr(undarix_ufuncs, name)(time, *(values + list(extra.values()))))
    result = model.fit(data, parameters, x=time)
    assert rms(result.best_fit - clean) < 0.3 * sigma


def test_lmfit_guess_takes_parameter_hints():
    pytest.importorskip("lmfit")
    time, data, _, _ = signal("harmonic_oscillator", seed=13)
    parameters = undarix_fit.lmfit_model("harmonic_oscillator").guess(data, x=time, gamma=0.0)
    assert parameters["gamma"].value == 0.0


def test_without_scipy_the_import_error_says_what_to_install():
    completed = run_python("""
        import sys
        sys.modules["scipy"] = None      # as if SciPy were not installed
        try:
            import undarix_fit
        except ImportError as error:
            print(error)
        else:
            raise SystemExit("imported without SciPy")
    """)
    assert "pip install undarix[fit]" in completed.stdout
