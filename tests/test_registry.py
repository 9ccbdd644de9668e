"""The shared array-borrow registry, driven through its capsule record like another extension."""
import json
import os
import textwrap

import numpy as np
import pytest

import undarix
from conftest import (ALL_FUNCTIONS, ALREADY_BORROWED, NOT_CONTIGUOUS, VALID_SCALARS, bits,
                      run_python)

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
GRANTED, ALREADY, NOT_WRITEABLE = 0, -1, -2


def call(name, time):
    return getattr(undarix, name)(time, *VALID_SCALARS[name])


def strided(base, dtype, offset, shape, strides):
    """A view over `base` (kept as its base object) with explicit layout."""
    return np.ndarray(shape, dtype=dtype, buffer=base, offset=offset, strides=strides)


# --- Kernel calls against borrows held elsewhere ---

HELD_VIEWS = {
    "same array": (lambda a: a, lambda a: a),
    "whole base, call on slice": (lambda a: a, lambda a: a[2:6]),
    "slice, call on whole base": (lambda a: a[3:5], lambda a: a),
    "reversed view": (lambda a: a[::-1], lambda a: a[1:]),
}


@pytest.mark.parametrize("view", HELD_VIEWS)
@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_exclusive_borrow_blocks_kernel_until_released(borrow_api, panic_type, name, view):
    held_of, time_of = HELD_VIEWS[view]
    base = np.linspace(0.0, 3.0, 8)
    held, time = held_of(base), time_of(base)
    expected = call(name, time.copy())
    assert borrow_api.acquire_exclusive(held) == GRANTED
    for _ in range(2):
        with pytest.raises(panic_type) as info:
            call(name, time)
        assert info.value.args == (ALREADY_BORROWED,)
    borrow_api.release_exclusive(held)
    assert (bits(call(name, time)) == bits(expected)).all()
    assert borrow_api.acquire_exclusive(held) == GRANTED


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_shared_borrows_held_elsewhere_never_block(borrow_api, name):
    base = np.linspace(0.0, 3.0, 8)
    for view in (base, base, base[2:5], base[::-1]):
        assert borrow_api.acquire_shared(view) == GRANTED
    assert (bits(call(name, base)) == bits(call(name, base.copy()))).all()
    call(name, base[2:5])
    assert borrow_api.acquire_exclusive(base) == ALREADY
    for view in (base, base, base[2:5], base[::-1]):
        borrow_api.release_shared(view)
    assert borrow_api.acquire_exclusive(base) == GRANTED


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("failing", [False, True], ids=["succeeding", "non-contiguous"])
def test_kernel_calls_leave_no_borrow_behind(borrow_api, panic_type, name, failing):
    base = np.linspace(0.0, 3.0, 9)
    time = base[::2] if failing else base
    for _ in range(2):
        if failing:
            with pytest.raises(panic_type, match="NotContiguousError"):
                call(name, time)
        else:
            call(name, time)
    assert borrow_api.acquire_exclusive(base) == GRANTED
    assert borrow_api.acquire_exclusive(time) == ALREADY


# --- Region conflicts ---

CONFLICTS = [
    # (first kind, second kind, make both views from a fresh owner, expected code of the second)
    ("interleaved odd", "exclusive", "shared", lambda a: (a[::2], a[1::2]), GRANTED),
    ("interleaved shifted", "exclusive", "shared", lambda a: (a[::2], a[2::2]), ALREADY),
    ("disjoint halves", "exclusive", "exclusive", lambda a: (a[:5], a[5:]), GRANTED),
    ("overlapping slices", "exclusive", "shared", lambda a: (a[:5], a[4:]), ALREADY),
    ("reversed", "exclusive", "shared", lambda a: (a[::-1], a), ALREADY),
    ("shared then shared", "shared", "shared", lambda a: (a, a[3:]), GRANTED),
    ("shared then exclusive", "shared", "exclusive", lambda a: (a[3:], a), ALREADY),
    ("same region exclusive", "exclusive", "exclusive", lambda a: (a, a[:]), ALREADY),
    ("shared then exclusive same", "shared", "exclusive", lambda a: (a, a), ALREADY),
    ("exclusive then shared same", "exclusive", "shared", lambda a: (a, a), ALREADY),
    ("2-d column vs row", "exclusive", "shared",
     lambda a: (a.reshape(2, 5)[:, 1], a.reshape(2, 5)[1]), ALREADY),
    ("partial element overlap", "exclusive", "shared",
     lambda a: (strided(a, np.float64, 0, (4,), (8,)), strided(a, np.float64, 4, (4,), (8,))),
     GRANTED),
    ("broadcast held shared", "shared", "exclusive",
     lambda a: (np.broadcast_to(a[:1], (5,)), a[:1]), ALREADY),
    ("0-d inside exclusive", "exclusive", "shared", lambda a: (a, a[2, ...]), ALREADY),
    ("two 0-d views", "exclusive", "exclusive", lambda a: (a[1, ...], a[2, ...]), GRANTED),
    ("0-d twice", "exclusive", "exclusive", lambda a: (a[1, ...], a[1, ...]), ALREADY),
]


@pytest.mark.parametrize("first, second, views, expected",
                         [case[1:] for case in CONFLICTS], ids=[case[0] for case in CONFLICTS])
def test_region_conflicts(borrow_api, first, second, views, expected):
    one, two = views(np.zeros(10))
    assert borrow_api.acquire(first, one) == GRANTED
    assert borrow_api.acquire(second, two) == expected
    # A refusal records nothing: once the first borrow is gone, the second one is granted.
    borrow_api.release(first, one)
    if expected != GRANTED:
        assert borrow_api.acquire(second, two) == GRANTED


@pytest.mark.parametrize("make", [
    lambda: np.zeros(10)[:],
    lambda: np.ndarray((10,), buffer=bytes(80)),
    lambda: np.broadcast_to(np.zeros(1), (5,)),
], ids=["read-only view", "bytes buffer", "broadcast"])
def test_exclusive_borrow_of_read_only_array_is_refused_and_records_nothing(borrow_api, make):
    array = make()
    array.flags.writeable = False
    assert borrow_api.acquire_exclusive(array) == NOT_WRITEABLE
    # Nothing was recorded: the same region can still be borrowed, shared and, through a
    # writeable base, exclusively.
    assert borrow_api.acquire_shared(array) == GRANTED
    borrow_api.release_shared(array)
    if isinstance(array.base, np.ndarray) and array.base.flags.writeable:
        assert borrow_api.acquire_exclusive(array.base) == GRANTED


def test_shared_count_is_kept_per_region(borrow_api):
    a = np.zeros(10)
    assert borrow_api.acquire_shared(a) == GRANTED
    assert borrow_api.acquire_shared(a[:]) == GRANTED
    borrow_api.release_shared(a)
    assert borrow_api.acquire_exclusive(a) == ALREADY
    borrow_api.release_shared(a)
    assert borrow_api.acquire_exclusive(a) == GRANTED


@pytest.mark.parametrize("factory", [
    lambda: (np.zeros(10), np.zeros(10)),
    lambda: (lambda ba: (np.frombuffer(ba), np.frombuffer(ba)))(bytearray(80)),
], ids=["separate arrays", "separate owners of the same bytes"])
def test_different_owners_never_conflict(borrow_api, factory):
    one, two = factory()
    assert borrow_api.acquire_exclusive(one) == GRANTED
    assert borrow_api.acquire_exclusive(two) == GRANTED
    assert borrow_api.acquire_exclusive(two[1:]) == ALREADY


@pytest.mark.parametrize("buffer", [bytearray(80), np.zeros(10)], ids=["bytearray", "array"])
def test_views_over_one_owner_conflict_through_their_base_chains(borrow_api, buffer):
    one = np.ndarray((10,), buffer=buffer)[1:][::1]
    two = np.ndarray((5,), buffer=buffer, offset=32)
    assert borrow_api.acquire_exclusive(one) == GRANTED
    assert borrow_api.acquire_shared(two) == ALREADY
    assert borrow_api.acquire_shared(np.ndarray((1,), buffer=buffer)) == GRANTED


# --- Protocol misuse and degenerate layouts: no effect, no crash ---

@pytest.mark.parametrize("kind", ["shared", "exclusive"])
@pytest.mark.parametrize("held_region", [None, slice(0, 5), slice(0, 10)],
                         ids=["no borrow", "other region", "whole region shared"])
def test_release_of_a_borrow_not_held(borrow_api, kind, held_region):
    a = np.zeros(10)
    unheld = a[5:] if held_region != slice(0, 10) else a[::2]
    if held_region is not None:
        assert borrow_api.acquire_shared(a[held_region]) == GRANTED
    borrow_api.release(kind, unheld)
    borrow_api.release(kind, np.zeros(3))
    if held_region is not None:
        assert borrow_api.acquire_exclusive(a[held_region]) == ALREADY
        borrow_api.release_shared(a[held_region])
    assert borrow_api.acquire_exclusive(unheld) == GRANTED
    assert borrow_api.acquire_exclusive(a) == ALREADY


def test_zero_stride_views(borrow_api):
    base = np.zeros(2)
    wide = strided(base, np.float64, 0, (5,), (0,))
    assert wide.flags.writeable
    assert borrow_api.acquire_exclusive(wide) == GRANTED
    assert borrow_api.acquire_exclusive(strided(base, np.float64, 0, (5,), (0,))) == ALREADY
    # Zero-stride keys against each other: the outcome is open, but it must be a code.
    for other in (strided(base, np.uint8, 0, (3,), (0,)),
                  strided(base, np.uint8, 1, (2, 2), (0, 0))):
        code = borrow_api.acquire_exclusive(other)
        assert code in (GRANTED, ALREADY)
        if code == GRANTED:
            borrow_api.release_exclusive(other)
    writable = np.lib.stride_tricks.as_strided(np.zeros(1), (5,), (0,), writeable=True)
    assert borrow_api.acquire_exclusive(writable) == GRANTED
    assert borrow_api.acquire_exclusive(writable[:]) == ALREADY


def test_zero_length_and_zero_dimensional_arrays(borrow_api):
    for array in (np.zeros(()), np.zeros(0), np.zeros((3, 0))):
        assert borrow_api.acquire_exclusive(array) == GRANTED
        assert borrow_api.acquire_shared(array) == ALREADY
        borrow_api.release_exclusive(array)
        assert borrow_api.acquire_shared(array) == GRANTED
        assert borrow_api.acquire_shared(array) == GRANTED


# --- Process-wide installation (fresh interpreters) ---

PRELUDE = """
import json, sys
sys.path.insert(0, %r)
import numpy as np
import undarix
from conftest import (ALL_FUNCTIONS, BORROW_API_ATTRIBUTE, VALID_SCALARS, BorrowApi,
                      CountingRegistry, _multiarray as multiarray)
def call(name, time):
    return getattr(undarix, name)(time, *VALID_SCALARS[name])
def outcome(name, time):
    try:
        call(name, time)
        return "ok"
    except BaseException as exc:
        return [type(exc).__name__, list(exc.args)]
""" % TESTS_DIR


def run(code):
    return json.loads(run_python(PRELUDE + textwrap.dedent(code)).stdout.splitlines()[-1])


def test_first_kernel_call_installs_the_registry():
    result = run("""
        before = hasattr(multiarray, BORROW_API_ATTRIBUTE)
        failed = outcome("harmonic_oscillator", [0.0])
        after_failure = hasattr(multiarray, BORROW_API_ATTRIBUTE)
        call("harmonic_oscillator", np.zeros(3))
        capsule = getattr(multiarray, BORROW_API_ATTRIBUTE)
        call("transient_impulse", np.zeros(3))
        api = BorrowApi()
        print(json.dumps([before, failed[0], after_failure, type(capsule).__name__,
                          api.name.decode(), api.record.version,
                          getattr(multiarray, BORROW_API_ATTRIBUTE) is capsule]))
    """)
    assert result == [False, "TypeError", False, "PyCapsule", "_RUST_NUMPY_BORROW_CHECKING_API",
                      1, True]


@pytest.mark.parametrize("version", [1, 2, 2**64 - 1])
def test_registry_of_another_module_is_used_through_its_record(version):
    result = run("""
        registry = CountingRegistry(version=%d)
        registry.install()
        log = []
        for name in ALL_FUNCTIONS:
            time = np.arange(4.0) / 3
            del registry.calls[:]
            log.append([outcome(name, time), outcome(name, time[::2])])
            log[-1].append([[kind, state, arr is time or arr.base is time]
                            for kind, state, arr in registry.calls])
        print(json.dumps([log, getattr(multiarray, BORROW_API_ATTRIBUTE) is registry.capsule]))
    """ % version)
    log, kept = result
    assert kept
    shared_pair = [["acquire_shared", 0x5EED, True], ["release_shared", 0x5EED, True]]
    for ok, failed, calls in log:
        assert ok == "ok"
        assert failed == ["PanicException", [NOT_CONTIGUOUS]]
        assert calls == shared_pair * 2


@pytest.mark.parametrize("code, message", [
    (-1, ALREADY_BORROWED),
    (-2, "Unexpected return code -2 from borrow checking API"),
    (7, "Unexpected return code 7 from borrow checking API"),
])
def test_refusal_codes_of_another_registry(code, message):
    result = run("""
        registry = CountingRegistry(code=%d)
        registry.install()
        out = [outcome(name, np.zeros(3)) for name in ALL_FUNCTIONS]
        print(json.dumps([out, [kind for kind, _, _ in registry.calls]]))
    """ % code)
    assert result == [[["PanicException", [message]]] * 5, ["acquire_shared"] * 5]


LOOKUP_ERROR = "Interal borrow checking API error: PyErr { type: <class 'TypeError'>, value: %s, " \
               "traceback: None }"


@pytest.mark.parametrize("setup, value", [
    ("registry = CountingRegistry(version=0); registry.install()",
     "TypeError('Version 0 of borrow checking API is not supported by this version of "
     "rust-numpy')"),
    ("setattr(multiarray, BORROW_API_ATTRIBUTE, 5)",
     "TypeError(\"'int' object cannot be converted to 'PyCapsule'\")"),
    ("setattr(multiarray, BORROW_API_ATTRIBUTE, None)",
     "TypeError(\"'NoneType' object cannot be converted to 'PyCapsule'\")"),
], ids=["version 0", "integer", "None"])
def test_unusable_registry_fails_every_call_and_is_not_replaced(setup, value):
    result = run("""
        %s
        published = getattr(multiarray, BORROW_API_ATTRIBUTE)
        out = [outcome(name, np.zeros(3)) for name in ALL_FUNCTIONS * 2]
        kept = getattr(multiarray, BORROW_API_ATTRIBUTE) is published
        delattr(multiarray, BORROW_API_ATTRIBUTE)
        print(json.dumps([out, kept, outcome("harmonic_oscillator", np.zeros(3))]))
    """ % setup)
    assert result == [[["PanicException", [LOOKUP_ERROR % value]]] * 10, True, "ok"]


@pytest.mark.parametrize("replacement", ["delattr(multiarray, BORROW_API_ATTRIBUTE)",
                                         "setattr(multiarray, BORROW_API_ATTRIBUTE, 5)",
                                         "foreign = CountingRegistry(); foreign.install()"])
def test_own_registry_survives_removal_of_the_attribute(replacement):
    result = run("""
        import ctypes, gc
        time = np.linspace(0.0, 1.0, 6)
        expected = [call(name, time).tolist() for name in ALL_FUNCTIONS]
        api = BorrowApi()
        %s
        del api
        gc.collect()
        # Scribble over freed heap blocks, so that a record freed with its capsule is noticed.
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        sizes = (16, 24, 32, 48, 64, 80, 96, 128) * 16
        blocks = (ctypes.c_void_p * len(sizes))()  # kept, so that the leak checker sees them
        for i, size in enumerate(sizes):
            blocks[i] = libc.malloc(size)
            ctypes.memset(blocks[i], 0xAB, size)
        same = [call(name, time).tolist() == expected[i] for i, name in enumerate(ALL_FUNCTIONS)]
        foreign_calls = len(globals()["foreign"].calls) if "foreign" in globals() else 0
        print(json.dumps(same + [foreign_calls]))
    """ % replacement)
    assert result == [True] * 5 + [0]


def test_many_owners_taken_and_given_back_in_random_order(borrow_api):
    # Enough owners to make the table grow several times and to exercise
    # removal from the middle of probe chains.
    rng = np.random.default_rng(3)
    arrays = [np.zeros(2) for _ in range(300)]
    for a in arrays:
        assert borrow_api.acquire_exclusive(a) == GRANTED
    held = set(range(len(arrays)))
    for i in rng.permutation(len(arrays)):
        borrow_api.release_exclusive(arrays[i])
        held.discard(i)
        for j in rng.choice(len(arrays), 10):
            expected = ALREADY if j in held else GRANTED
            assert borrow_api.acquire_shared(arrays[j]) == expected
            if expected == GRANTED:
                borrow_api.release_shared(arrays[j])
    assert all(borrow_api.acquire_exclusive(a) == GRANTED for a in arrays)
    for a in arrays:
        borrow_api.release_exclusive(a)


# --- Two implementations of the registry in one process ---

TWO_IMPLEMENTATIONS = """
    from registry_model import ModelRegistry
    a, b = np.linspace(0.0, 1.0, 10), np.linspace(0.0, 1.0, 10)
    if %r == "undarix first":
        call("harmonic_oscillator", np.zeros(2))  # installs this module's registry
    # Another module: installs its own registry unless one is there, then uses the record.
    model = ModelRegistry.install_unless_present()
    api = BorrowApi()
    log = []
    log.append([api.acquire_shared(a), api.acquire_shared(a)])
    log.append([outcome(name, a) for name in ALL_FUNCTIONS])
    log.append(api.acquire_exclusive(a))
    api.release_shared(a)
    log.append(api.acquire_exclusive(a))
    api.release_shared(a)
    log.append(api.acquire_exclusive(a[::2]))
    log.append([outcome(name, a) for name in ALL_FUNCTIONS])
    log.append([outcome("pseudo_square_wave", view) for view in (a[1::2], a[2::2], b)])
    api.release_exclusive(a[::2])
    log.append([outcome(name, a) for name in ALL_FUNCTIONS])
    log.append([api.acquire_exclusive(a), api.acquire_exclusive(b)])
    log.append([outcome("transient_impulse", view) for view in (a, b[3:])])
    api.release_exclusive(a)
    api.release_exclusive(b)
    read_only = np.linspace(0.0, 1.0, 4)
    read_only.flags.writeable = False
    log.append([api.acquire_exclusive(read_only), outcome("harmonic_oscillator", read_only)])
    log.append([api.acquire_exclusive(a), api.acquire_exclusive(b)])
    counts = model and [count for _, _, count in model.log]
    print(json.dumps([model is not None, log, counts]))
"""


@pytest.mark.parametrize("order", ["other module first", "undarix first"])
def test_two_implementations_count_and_refuse_borrows_alike(order):
    # Whichever module installed the registry, the other one's borrows are counted with its
    # own and refused by the same rules.
    installed_by_other, log, counts = run(TWO_IMPLEMENTATIONS % order)
    assert installed_by_other == (order == "other module first")
    borrowed = ["PanicException", [ALREADY_BORROWED]]
    assert log == [
        [GRANTED, GRANTED], ["ok"] * 5, ALREADY, ALREADY, GRANTED, [borrowed] * 5,
        [["PanicException", [NOT_CONTIGUOUS]], borrowed, "ok"], ["ok"] * 5, [GRANTED, GRANTED],
        [borrowed] * 2, [NOT_WRITEABLE, "ok"], [GRANTED, GRANTED]]
    if installed_by_other:
        # The other module's table, region count after each operation: each call of this
        # module took one shared borrow (3 with the two held) and gave it back (2), and a
        # refused one changed nothing.
        assert counts == ([1, 2] + [3, 2] * 5 + [2, 1, 1, 0, -1] + [0] * 5 + [1, 0, 0, 1, 0, 0]
                          + [1, 0] * 5 + [-1, -1, -1, 0, 0, 0, 0, 1, 0, -1, -1])
