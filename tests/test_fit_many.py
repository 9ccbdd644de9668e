"""undarix_fit.fit_many: one fit per row, the same results on one process, on a
process pool and on a Dask cluster; rows that cannot be fitted are marked."""

import os
import signal
import subprocess
import sys
import time

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


@pytest.mark.parametrize("where", [dict(processes=2), dict(processes=2, chunks=2), dict(threads=2),
                                   dict(threads=3, chunks=1)], ids=repr)
def test_pools_give_the_same_results(where):
    _, data = rows(7, seed=1)
    one = undarix_fit.fit_many("harmonic_oscillator", TIME, data)
    pool = undarix_fit.fit_many("harmonic_oscillator", TIME, data, **where)
    same_results(one, pool)
    assert np.array_equal(one.chisqr, pool.chisqr) and np.array_equal(one.nfev, pool.nfev)


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


@pytest.mark.parametrize("keywords, message", [
    pytest.param(dict(chunks=-1, processes=2), "chunks must be a positive int", id="negative-chunks"),
    pytest.param(dict(chunks=0, processes=2), "chunks must be a positive int", id="zero-chunks"),
    pytest.param(dict(chunks=1.5, processes=2), "chunks must be a positive int", id="float-chunks"),
    pytest.param(dict(processes=0), "processes must be a positive int", id="zero-processes"),
    pytest.param(dict(threads=-2), "threads must be a positive int", id="negative-threads"),
    pytest.param(dict(threads=2, processes=2), "not more than one", id="threads-and-processes"),
])
def test_arguments_that_would_lose_rows_are_refused(keywords, message):
    _, data = rows(3)
    with pytest.raises(ValueError, match=message):
        undarix_fit.fit_many("harmonic_oscillator", TIME, data, **keywords)


@pytest.mark.parametrize("once", [pytest.param(True, id="dies-once"), pytest.param(False, id="dies-always")])
def test_a_row_whose_worker_dies_is_retried_then_reported(tmp_path, once):
    from fit_worker_faults import DieOnSize
    _, data = rows(5, seed=3)
    data[2, :4] = np.nan       # the row the loss recognises by its point count
    loss = DieOnSize(TIME.size - 4, str(tmp_path / "died"), once)
    many = undarix_fit.fit_many("harmonic_oscillator", TIME, data, processes=2, chunks=2, loss=loss)
    assert len(many) == 5
    others = [0, 1, 3, 4]
    assert many.success[others].all() and np.isfinite(many.params["omega"][others]).all()
    if once:
        assert many.success[2], many.messages[2]
    else:
        assert not many.success[2] and "worker process died" in many.messages[2]


def test_a_script_without_the_main_guard_gets_the_hint(tmp_path):
    script = tmp_path / "unguarded.py"
    script.write_text("import numpy as np, undarix_fit\n"
                      "t = np.linspace(0.0, 30.0, 300)\n"
                      "undarix_fit.fit_many('harmonic_oscillator', t, np.ones((2, 300)), processes=2)\n")
    completed = subprocess.run([sys.executable, str(script)], cwd=str(tmp_path), capture_output=True, text=True,
                               timeout=300)
    assert completed.returncode != 0
    assert 'if __name__ == "__main__":' in completed.stderr


def test_ctrl_c_ends_the_workers_at_once(tmp_path):
    # Every loss call takes a second, and a row's fit makes several: SIGINT,
    # sent once two calls have begun, must end the workers where they are.
    # Waiting for the running rows to finish would make the calls they have
    # left (at least five), before the call returned.
    counter = tmp_path / "calls"
    script = tmp_path / "interrupted.py"
    script.write_text(
        "import sys\n"
        "sys.path[:0] = %r\n"
        "import numpy as np, undarix_fit, undarix_ufuncs\n"
        "from fit_worker_faults import Slow\n"
        "if __name__ == '__main__':\n"
        "    t = np.linspace(0.0, 30.0, 300)\n"
        "    data = undarix_ufuncs.harmonic_oscillator(t, 1.5, -0.03, np.linspace(1, 3, 40)[:, None], 0.2, 0.4)\n"
        "    try:\n"
        "        undarix_fit.fit_many('harmonic_oscillator', t, data, processes=2, chunks=1, loss=Slow(%r))\n"
        "    except KeyboardInterrupt:\n"
        "        print('interrupted')\n"
        "    else:\n"
        "        print('finished')\n" % (sys.path[:3] + [os.path.dirname(__file__)], str(counter)))
    process = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True)
    while not (counter.exists() and counter.stat().st_size >= 2):
        assert process.poll() is None
        time.sleep(0.02)
    process.send_signal(signal.SIGINT)
    at_signal = counter.stat().st_size
    output, _ = process.communicate(timeout=300)
    assert output.strip() == "interrupted"
    assert counter.stat().st_size - at_signal <= 2


def test_lmfit_models_and_results_pickle():
    pytest.importorskip("lmfit")
    import pickle
    _, data = rows(1, seed=4)
    model = undarix_fit.lmfit_model("fourier_square_wave", num_harmonics=3)
    again = pickle.loads(pickle.dumps(model))
    assert again.param_names == model.param_names
    damped = undarix_fit.lmfit_model("harmonic_oscillator")
    result = damped.fit(data[0], damped.guess(data[0], x=TIME), x=TIME)
    copy = pickle.loads(pickle.dumps(result))
    assert np.array_equal(copy.eval(x=TIME), result.best_fit)


class FailOnSize(object):
    """Raises at the first call on a row of `size` points, and holds every other row's first
    call until then; records every row's size."""

    def __init__(self, size):
        import threading
        self.size, self.seen, self.failed = size, [], threading.Event()

    def __call__(self, z):
        self.seen.append(z.size)
        if z.size == self.size:
            self.failed.set()
            raise RuntimeError("this row's loss fails")
        self.failed.wait(timeout=60)
        return np.vstack([z, np.ones_like(z), np.zeros_like(z)])


def test_a_failing_row_on_threads_raises_and_the_other_rows_stop():
    import threading
    _, data = rows(12, seed=5)
    for index in range(12):
        data[index, :index] = np.nan        # each row known to the loss by its point count
    loss = FailOnSize(TIME.size)            # the first row
    with pytest.raises(RuntimeError, match="this row's loss fails"):
        undarix_fit.fit_many("harmonic_oscillator", TIME, data, threads=2, chunks=6, loss=loss)
    for thread in threading.enumerate():
        if thread.name.startswith("undarix_fit"):
            thread.join(timeout=60)
    # Two pieces of six rows.  The other thread's first row waits for the failure, then ends;
    # the thread must stop there instead of fitting the five rows after it.
    assert len(set(loss.seen)) <= 2, sorted(set(loss.seen))
