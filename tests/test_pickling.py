"""A PanicException reaches the caller across processes: pickling, process pools, dask."""
import copy
import os
import pickle
import sys

import numpy as np
import pytest

import undarix
from conftest import NOT_CONTIGUOUS, VALID_SCALARS, run_python

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def column_call(name):
    """The commonest trigger: a column of a 2-D array is not contiguous."""
    data = np.linspace(0.0, 1.0, 40).reshape(20, 2)
    return getattr(undarix, name)(data[:, 0], *VALID_SCALARS[name])


def raised(name="harmonic_oscillator"):
    try:
        column_call(name)
    except BaseException as exc:  # noqa: B902 - PanicException derives from BaseException
        return exc
    raise AssertionError("a column must fail")


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_round_trip_keeps_type_args_and_attributes(protocol):
    exc = raised()
    exc.extra = [1, 2]
    again = pickle.loads(pickle.dumps(exc, protocol))
    assert type(again) is type(exc)
    assert again.args == (NOT_CONTIGUOUS,) and str(again) == NOT_CONTIGUOUS
    assert again.extra == [1, 2]
    for copied in (copy.copy(exc), copy.deepcopy(exc)):
        assert type(copied) is type(exc) and copied.args == exc.args


def test_any_args_survive():
    panic = type(raised())
    again = pickle.loads(pickle.dumps(panic("a", 2, None)))
    assert type(again) is panic and again.args == ("a", 2, None)


def test_type_keeps_its_documented_identity():
    panic = type(raised())
    assert (panic.__name__, panic.__module__, panic.__bases__) == (
        "PanicException", "pyo3_runtime", (BaseException,))
    assert "pyo3_runtime" not in sys.modules


def test_subclasses_and_other_panic_types_pickle_as_before():
    panic = type(raised())
    sub = type("SubPanic", (panic,), {})("x")
    assert sub.__reduce__()[0] is type(sub)
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(sub)  # not importable, as for any local class
    foreign = type("PanicException", (BaseException,), {"__module__": "pyo3_runtime"})("y")
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(foreign)


def test_unpickled_in_a_process_that_had_not_imported_undarix():
    data = pickle.dumps(raised())
    completed = run_python("""
        import pickle, sys
        exc = pickle.loads(%r)
        print(type(exc).__module__, type(exc).__name__, exc.args, "undarix" in sys.modules)
        import undarix, numpy as np
        try:
            undarix.harmonic_oscillator(np.zeros(4)[::2], 1.0, 0.0, 1.0, 0.0, 0.0)
        except BaseException as own:
            print(type(own) is type(exc))
    """ % data)
    assert completed.stdout == "pyo3_runtime PanicException %r True\nTrue\n" % ((NOT_CONTIGUOUS,),)


def test_a_name_taken_in_sys_modules_is_left_alone():
    completed = run_python("""
        import pickle, sys, types
        taken = types.ModuleType("undarix._panic")
        sys.modules["undarix._panic"] = taken
        import numpy as np, undarix
        try:
            undarix.harmonic_oscillator(np.zeros(4)[::2], 1.0, 0.0, 1.0, 0.0, 0.0)
        except BaseException as exc:
            raised = exc
        print(sys.modules["undarix._panic"] is taken, vars(taken).keys() - {"__name__", "__doc__",
              "__package__", "__loader__", "__spec__"})
        try:
            pickle.dumps(raised)
        except pickle.PicklingError:
            print("not picklable")
    """)
    assert completed.stdout == "True set()\nnot picklable\n"


POOL = """
import concurrent.futures, multiprocessing, sys
sys.path.insert(0, %r)
from test_pickling import column_call, raised
own = type(raised())
with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context(%r)) as pool:
    future = pool.submit(column_call, "pseudo_square_wave")
    try:
        future.result(timeout=60)
    except BaseException as exc:
        print(type(exc) is own, exc.args)
    # The pool survives: the next task runs.
    print(pool.submit(column_call.__globals__["np"].add, 1, 2).result(timeout=60))
"""


@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_process_pool_delivers_the_panic(method):
    completed = run_python(POOL % (TESTS_DIR, method))
    assert completed.stdout == "True %r\n3\n" % ((NOT_CONTIGUOUS,),)


def test_dask_distributed_client_receives_the_panic():
    pytest.importorskip("distributed")
    # Future.exception() rather than result(): recent releases of distributed wait on results
    # in a tornado coroutine that lets any BaseException other than the interpreter's own
    # escape, so result() never returns for one (see the README's section on errors).
    completed = run_python("""
        import sys
        sys.path.insert(0, %r)
        from dask.distributed import Client, LocalCluster
        from test_pickling import column_call, raised
        own = type(raised())
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            exc = client.submit(column_call, "transient_impulse", pure=False).exception(timeout=60)
            print(type(exc) is own, exc.args)
    """ % TESTS_DIR)
    assert completed.stdout.splitlines()[-1] == "True %r" % ((NOT_CONTIGUOUS,),)
