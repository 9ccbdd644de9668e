"""The worked examples in examples/: the main job, curve fitting, evaluation block by block with dask."""
import functools
import os
import runpy
import subprocess
import sys

import numpy as np
import pytest

import undarix
from conftest import ALL_FUNCTIONS, VALID_SCALARS, assert_same_floats

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


@functools.lru_cache(maxsize=None)
def example(name):
    return runpy.run_path(os.path.join(EXAMPLES, name + ".py"), run_name="example")


def test_main_job_prints_table_and_writes_figure(tmp_path):
    import matplotlib.image

    output = tmp_path / "figures" / "waveforms.png"
    completed = subprocess.run([sys.executable, os.path.join(EXAMPLES, "waveforms.py"), "--output", str(output)],
                               capture_output=True, text=True, timeout=300, cwd=str(tmp_path))
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    assert lines[-1] == "figure written to %s" % output
    summary = lines[lines.index("summary over all points") + 2:][:len(ALL_FUNCTIONS)]
    assert [line.split()[0] for line in summary] == ALL_FUNCTIONS
    image = matplotlib.image.imread(str(output))
    assert image.ndim == 3 and min(image.shape[:2]) >= 600
    assert (image[..., :3] < 0.5).mean() > 0.01  # curves, text and axes were drawn


@pytest.mark.parametrize("true", [
    dict(amplitude=2.0, gamma=-0.15, omega=3.0, phi=0.2, y=0.5),
    dict(amplitude=0.7, gamma=0.05, omega=1.3, phi=-0.9, y=-2.0),
    dict(amplitude=3.0, gamma=-0.4, omega=5.0, phi=0.25, y=1.0),
])
def test_curve_fit_recovers_parameters(true):
    fit = example("fit_damped_oscillation")
    time, values = fit["measure"](true, seed=3)
    best, errors = fit["fit"](time, values)
    for name in fit["NAMES"]:
        assert 0.0 < errors[name] < 0.05, name
        assert abs(best[name] - true[name]) < 5.0 * errors[name], (name, best[name], errors[name])


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("points, chunk", [(100_003, 7_919), (4_096, 4_096), (1, 1)])
def test_map_blocks_gives_the_bits_of_one_call(name, points, chunk):
    blocks = example("dask_map_blocks")
    function = getattr(undarix, name)
    time = blocks["time_axis"](points, chunk, step=0.013)
    values = blocks["evaluate"](function, time, *VALID_SCALARS[name])
    assert values.numblocks == (-(-points // chunk),)
    assert_same_floats(values.compute(), function(time.compute(), *VALID_SCALARS[name]))


def test_map_blocks_over_strided_blocks():
    import dask.array as da

    blocks = example("dask_map_blocks")
    whole = np.linspace(-50.0, 50.0, 30_001)
    time = da.from_array(whole[::3], chunks=1_000)
    values = blocks["evaluate"](undarix.transient_impulse, time, *VALID_SCALARS["transient_impulse"])
    assert_same_floats(values.compute(), undarix.transient_impulse(whole[::3].copy(),
                                                                   *VALID_SCALARS["transient_impulse"]))


def test_map_blocks_on_distributed_worker_processes():
    from dask.distributed import Client, LocalCluster

    blocks = example("dask_map_blocks")
    time = blocks["time_axis"](50_001, 6_000, step=17.0)
    values = blocks["evaluate"](blocks["FUNCTION"], time, *blocks["PARAMETERS"])
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, \
            Client(cluster) as client:
        got = client.compute(values).result()
        workers = client.run(lambda: os.getpid())
    assert len(set(workers.values()) - {os.getpid()}) == 2
    assert_same_floats(got, blocks["FUNCTION"](time.compute(), *blocks["PARAMETERS"]))
