"""undarix_fit.fit_many: one fit per row, the same results on one process, on a
process pool and on a Dask cluster; rows that cannot be fitted are marked."""

import numpy as np
import pytest

import undarix_fit  # noqa: E402  (part of the distribution: never skipped)

import undarix_ufuncs  # noqa: E402

TIME = np.linspace(0.0, 30.0, 300)


def rows(count=6, seed=0):
    rng = np.random.default_rng(seed)
    omega = rng.uniform(1.0, 4.0, (count, 1))
    clean = undarix_ufuncs.harmonic_oscillator(TIME, 1.5, -0.03, omega, 0.2, 0.4)
    return omega[:, 0], clean + rng.normal(0.0, 0.05, clean.shape)


def test_each_row_is_the_fit_of_that_row():
    omega, data = rows()
    many = undarix_fit.fit_many("harmonic_oscillator", TIME, data)
    assert len(many) == data.shape[0] and many.success.all()
    for index, row in enumerate(data):
        single = undarix_fit.fit("harmonic_oscillator", TIME, row)
        for name in single.params:
            assert many.params[name][index] == single.params[name]
            assert many.stderr[name][index] == single.stderr[name]
        assert many.nfev[index] == single.nfev and many.chisqr[index] == single.chisqr
    assert np.allclose(many.params["omega"], omega, rtol=1e-2)


def test_rows_that_cannot_be_fitted_are_marked_not_raised():
    _, data = rows(3)
    data[1] = np.nan
    data[2, 5:] = np.nan
    many = undarix_fit.fit_many("harmonic_oscillator", TIME, data)
    assert list(many.success) == [True, False, False]
    assert np.isnan(many.params["omega"][1:]).all()
    assert "all NaN" in many.messages[1] and "too few points" in many.messages[2]


def same_results(first, second):
    for name in first.params:
        assert np.array_equal(first.params[name], second.params[name], equal_nan=True)
        assert np.array_equal(first.stderr[name], second.stderr[name], equal_nan=True)
    assert np.array_equal(first.success, second.success)


@pytest.mark.parametrize("chunks", [None, 2])
def test_process_pool_gives_the_same_results(chunks):
    _, data = rows(7, seed=1)
    one = undarix_fit.fit_many("harmonic_oscillator", TIME, data)
    pool = undarix_fit.fit_many("harmonic_oscillator", TIME, data, processes=2, chunks=chunks)
    same_results(one, pool)


def test_dask_client_gives_the_same_results():
    distributed = pytest.importorskip("distributed")
    _, data = rows(5, seed=2)
    fixed = {"gamma": -0.03}
    one = undarix_fit.fit_many("harmonic_oscillator", TIME, data, fixed=fixed)
    with distributed.Client(processes=False, n_workers=2, threads_per_worker=1,
                            dashboard_address=None) as client:
        cluster = undarix_fit.fit_many("harmonic_oscillator", TIME, data, fixed=fixed, client=client)
    same_results(one, cluster)
    assert (cluster.params["gamma"] == -0.03).all()


def test_fourier_square_wave_needs_num_harmonics_here_too():
    data = np.ones((2, TIME.size))
    with pytest.raises(ValueError, match="needs num_harmonics"):
        undarix_fit.fit_many("fourier_square_wave", TIME, data)


@pytest.mark.parametrize("data, message", [
    pytest.param(np.ones(TIME.size), "of shape", id="1-d"),
    pytest.param(np.ones((2, TIME.size + 1)), "of shape", id="length"),
])
def test_bad_shapes_raise(data, message):
    with pytest.raises(ValueError, match=message):
        undarix_fit.fit_many("harmonic_oscillator", TIME, data)
