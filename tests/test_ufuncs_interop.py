"""undarix_ufuncs through other libraries' ufunc overrides: pandas, xarray and Dask."""
import numpy as np
import pytest

import undarix_ufuncs
from conftest import ALL_FUNCTIONS, VALID_SCALARS, assert_same_floats

pd = pytest.importorskip("pandas")
xr = pytest.importorskip("xarray")
da = pytest.importorskip("dask.array")


def ufunc(name):
    return getattr(undarix_ufuncs, name)


def eager(name, time):
    return ufunc(name)(np.asarray(time, dtype=np.float64), *VALID_SCALARS[name])


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_pandas_series_keeps_its_index_and_name(name):
    index = pd.date_range("2024-01-01", periods=50, freq="h")
    series = pd.Series(np.linspace(0.0, 20.0, 50), index=index, name="t")
    got = ufunc(name)(series, *VALID_SCALARS[name])
    assert isinstance(got, pd.Series)
    assert got.index.equals(index) and got.name == "t"
    assert_same_floats(got.to_numpy(), eager(name, series))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_dataframe_columns_as_arguments(name):
    frame = pd.DataFrame({"t": np.linspace(0.0, 20.0, 30), "a": np.linspace(1.0, 2.0, 30)},
                         index=pd.RangeIndex(100, 130))
    strided = frame.iloc[::2]
    got = ufunc(name)(strided["t"], strided["a"], *VALID_SCALARS[name][1:])
    assert got.index.equals(strided.index)
    expected = ufunc(name)(strided["t"].to_numpy(), strided["a"].to_numpy(), *VALID_SCALARS[name][1:])
    assert_same_floats(got.to_numpy(), expected)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_xarray_keeps_coordinates_and_attributes(name):
    time = xr.DataArray(np.linspace(0.0, 20.0, 40), dims="time",
                        coords={"time": np.arange(40), "label": ("time", ["p%d" % i for i in range(40)])},
                        attrs={"units": "s"})
    amplitude = xr.DataArray([1.0, 2.0, 3.0], dims="run", coords={"run": ["a", "b", "c"]})
    with xr.set_options(keep_attrs=True):
        got = ufunc(name)(time, amplitude, *VALID_SCALARS[name][1:])
    assert isinstance(got, xr.DataArray)
    assert set(got.dims) == {"time", "run"}
    assert (got.coords["label"] == time.coords["label"]).all() and list(got.coords["run"].values) == ["a", "b", "c"]
    assert got.attrs == {"units": "s"}
    expected = ufunc(name)(time.values[None, :], amplitude.values[:, None], *VALID_SCALARS[name][1:])
    assert_same_floats(got.transpose("run", "time").values, expected)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_dask_arrays_stay_lazy_and_match_with_the_threaded_scheduler(name):
    time = da.linspace(0.0, 50.0, 10_007, chunks=1_000)
    lazy = ufunc(name)(time, *VALID_SCALARS[name])
    assert isinstance(lazy, da.Array) and lazy.numblocks == time.numblocks
    got = lazy.compute(scheduler="threads")
    assert_same_floats(got, eager(name, time.compute()))


def test_dask_distributed_local_cluster_gives_the_eager_result():
    distributed = pytest.importorskip("distributed")
    time = da.linspace(-5.0, 95.0, 40_000, chunks=10_000)
    amplitude = da.from_array(np.linspace(1.0, 2.0, 40_000), chunks=10_000)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        futures = [client.compute(ufunc(name)(time, amplitude, *VALID_SCALARS[name][1:])) for name in ALL_FUNCTIONS]
        results = client.gather(futures)
    for name, got in zip(ALL_FUNCTIONS, results):
        expected = ufunc(name)(time.compute(), amplitude.compute(), *VALID_SCALARS[name][1:])
        assert_same_floats(got, expected)
