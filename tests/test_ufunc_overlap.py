"""undarix_ufuncs with out= overlapping an input: the values are those of copied inputs.

NumPy leaves an input that runs ahead of the output uncopied (reading the elements in
order never sees a value already written), so the loops must not split such a call
across threads."""
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import undarix_ufuncs
from conftest import ALL_FUNCTIONS, VALID_SCALARS, bits, run_python

pytestmark = pytest.mark.filterwarnings("ignore:(overflow|invalid value) encountered in:RuntimeWarning")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMPILER = os.environ.get("CXX", "c++")
THREADS = ["1", "2", "3", "7"]
# A short call (the calling thread alone, or the team when it follows another within the workers'
# spin time), a call split among the team for itself, and a long call.
SIZES = [1_000, 20_000, 300_000]


def base(size):
    return np.linspace(-40.0, 160.0, size)


# Each layout takes a fresh base array and returns (time input, output view) over it.
TIME_LAYOUTS = {
    "ahead-by-one": lambda x: (x[1:], x[:-1]),
    "ahead-by-many": lambda x: (x[257:], x[:-257]),
    "double-stride": lambda x: (x[::2], x[:(x.size + 1) // 2]),
    "reversed-ahead": lambda x: (x[::-1][1:], x[::-1][:-1]),
    "in-place": lambda x: (x, x),
    "interleaved": lambda x: (x[0:-1:2], x[1::2]),
}


@pytest.mark.parametrize("layout", sorted(TIME_LAYOUTS))
@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_time_overlapping_out_gives_the_values_of_a_copy(name, size, layout, monkeypatch):
    function = getattr(undarix_ufuncs, name)
    for threads in THREADS:
        monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
        x = base(size)
        time, out = TIME_LAYOUTS[layout](x)
        expected = function(time.copy(), *VALID_SCALARS[name])
        assert function(time, *VALID_SCALARS[name], out=out) is out
        assert (bits(out) == bits(expected)).all(), "%s threads" % threads


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("size", SIZES)
def test_parameter_arrays_overlapping_out(size, threads, monkeypatch):
    # Amplitude and omega are both views of the output's memory, ahead of it.
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    x = np.linspace(0.5, 3.0, size + 2)
    time = np.linspace(0.0, 30.0, size)
    amplitude, omega, out = x[1:-1], x[2:], x[:-2]
    expected = undarix_ufuncs.harmonic_oscillator(time, amplitude.copy(), -0.01, omega.copy(), 0.2, 0.5)
    undarix_ufuncs.harmonic_oscillator(time, amplitude, -0.01, omega, 0.2, 0.5, out=out)
    assert (bits(out) == bits(expected)).all()


@pytest.mark.parametrize("threads", THREADS)
def test_rows_of_a_sweep_overlapping_out(threads, monkeypatch):
    # Each row is one loop call whose time runs one element ahead of its output.
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    grid = np.linspace(0.0, 60.0, 40 * 2_001).reshape(40, 2_001)
    amplitude = np.linspace(0.5, 2.0, 40)[:, None]
    expected = undarix_ufuncs.fourier_square_wave(grid[:, 1:].copy(), amplitude, -0.05, 1.5, 0.0, 0.0, 3)
    undarix_ufuncs.fourier_square_wave(grid[:, 1:], amplitude, -0.05, 1.5, 0.0, 0.0, 3, out=grid[:, :-1])
    assert (bits(grid[:, :-1]) == bits(expected)).all()


@pytest.mark.parametrize("threads", THREADS)
def test_broadcast_parameter_overwritten_by_out(threads, monkeypatch):
    # The amplitude is the output's first element: NumPy copies it or the loop must read it
    # again for each element; either way the result is that of the copied inputs.
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    x = np.linspace(1.0, 2.0, 5_000)
    amplitude = x[:1]
    expected = undarix_ufuncs.harmonic_oscillator(x.copy(), amplitude.copy(), 0.0, 1.0, 0.0, 0.0)
    undarix_ufuncs.harmonic_oscillator(x, amplitude, 0.0, 1.0, 0.0, 0.0, out=x)
    assert (bits(x) == bits(expected)).all()


@pytest.mark.parametrize("threads", ["2", "3"])
@pytest.mark.parametrize("size", [1_000, 10_000])
def test_repeated_short_calls_overlapping_out(size, threads, monkeypatch):
    # Short calls made one right after another form a run and go to the worker team, whose threads
    # may or may not reach a part before the caller has done it: many calls, so that some are split.
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    x0 = base(size)
    expected = undarix_ufuncs.pseudo_cycloid_wave(x0[1:].copy(), 1.0, -0.1, 2.0, 0.3, 0.5)
    wrong = 0
    for _ in range(300):
        x = x0.copy()
        undarix_ufuncs.pseudo_cycloid_wave(x[1:], 1.0, -0.1, 2.0, 0.3, 0.5, out=x[:-1])
        wrong += not (bits(x[:-1]) == bits(expected)).all()
    assert wrong == 0


@pytest.mark.skipif(shutil.which(COMPILER) is None, reason="needs a C++ compiler")
def test_overlap_test_on_every_small_layout(tmp_path):
    # The test the loops make (src/ufuncs/operand_overlap.hpp), against brute force over
    # every offset, stride and length up to small bounds: never misses an overlap, and keeps
    # disjoint, in-place and interleaved operands on the threaded path.
    program = tmp_path / "operand_overlap_check"
    subprocess.run([COMPILER, "-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-I", os.path.join(ROOT, "src"),
                    os.path.join(ROOT, "tests", "native", "operand_overlap_check.cpp"), "-o", str(program)],
                   check=True)
    result = subprocess.run([str(program)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "1946880 layouts checked"


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("points", [64, 3_000], ids=["numpy-keeps-the-lock", "numpy-releases-it"])
def test_ctrl_c_stops_an_overlapping_call(points):
    # Evaluated forward on one thread, a call with many harmonics per element must still
    # run the signal handlers: without, it would take days (run_python's timeout fails it).
    code = """
        import os, signal, threading, numpy as np, undarix_ufuncs as uf
        x = np.linspace(0.0, 1.0, %d + 1)
        threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        try:
            uf.fourier_square_wave(x[1:], 1.0, 0.0, 1.0, 0.0, 0.0, 10**12, out=x[:-1])
        except KeyboardInterrupt:
            print("interrupted")
    """ % points
    assert run_python(code).stdout.strip() == "interrupted"


@pytest.mark.parametrize("layout", ["ahead-by-one", "double-stride", "reversed-ahead"])
@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_jacobian_outputs_overlapping_time_give_the_values_of_a_copy(name, size, layout, monkeypatch):
    # Each output in turn is written over the time it runs behind; the other
    # outputs are separate arrays.
    jacobian = getattr(undarix_ufuncs, name + "_jacobian")
    for threads in THREADS:
        monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
        for shared in range(jacobian.nout):
            x = base(size)
            time, view = TIME_LAYOUTS[layout](x)
            expected = jacobian(time.copy(), *VALID_SCALARS[name])
            outs = tuple(view if k == shared else np.empty_like(expected[k]) for k in range(jacobian.nout))
            jacobian(time, *VALID_SCALARS[name], out=outs)
            for k in range(jacobian.nout):
                assert (bits(outs[k]) == bits(expected[k])).all(), "%s threads, output %d over time" % (threads, k)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("name", ["pseudo_cycloid_wave", "pseudo_cycloid_wave_jacobian", "fourier_square_wave"])
def test_output_of_stride_zero_keeps_the_last_elements_value(name, dtype, monkeypatch):
    # Every element is written to one place: a plain loop leaves the last element's value
    # there, as np.multiply does on the same output.
    function = getattr(undarix_ufuncs, name)
    scalars = VALID_SCALARS[name.replace("_jacobian", "")]
    time = np.linspace(0.0, 50.0, 200_000).astype(dtype)
    last = function(time[-1:], *scalars)
    last = last if isinstance(last, tuple) else (last,)
    for threads in THREADS:
        monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
        for _ in range(5):
            buffers = [np.full(1, np.nan, dtype) for _ in last]
            outs = tuple(np.lib.stride_tricks.as_strided(b, shape=time.shape, strides=(0,)) for b in buffers)
            function(time, *scalars, out=outs)
            for buffer, value in zip(buffers, last):
                assert buffer.tobytes() == value.astype(dtype).tobytes(), "%s threads" % threads
    plain = np.full(1, np.nan)
    np.multiply(np.linspace(0.0, 1.0, 7), 2.0, out=np.lib.stride_tricks.as_strided(plain, shape=(7,), strides=(0,)))
    assert plain[0] == 2.0


@pytest.mark.parametrize("size", SIZES[1:])
@pytest.mark.parametrize("name", ["harmonic_oscillator", "transient_impulse"])
def test_jacobian_outputs_overlapping_each_other_give_one_threads_bytes(name, size, monkeypatch):
    # Output k is the output before it shifted by one element: element i's derivative k
    # lands where element i + 1's derivative k - 1 is written next, and only the plain
    # loop's order says which stays.
    jacobian = getattr(undarix_ufuncs, name + "_jacobian")
    time = np.linspace(0.0, 40.0, size)

    def written():
        x = np.full(size + jacobian.nout - 1, np.nan)
        jacobian(time, *VALID_SCALARS[name], out=tuple(x[k:k + size] for k in range(jacobian.nout)))
        return bits(x)

    monkeypatch.setenv("UNDARIX_NUM_THREADS", "1")
    expected = written()
    for threads in THREADS[1:]:
        monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
        for _ in range(10):
            assert (written() == expected).all(), "%s threads" % threads
