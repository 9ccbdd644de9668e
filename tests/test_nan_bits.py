"""Where NaN and infinite inputs meet, the NaN that comes out has the same bits in the strict
module, in the ufuncs' float64 loops and (rounded) in their float32 loops: a sum or product of
two NaNs keeps the one its formula writes first, whatever order a compiler gives the operands.
And a NaN input raises no floating-point flag in a Jacobian (float64 loops only) that its value
does not raise."""
import itertools

import numpy as np
import pytest

import undarix
import undarix_ufuncs
from conftest import ALL_FUNCTIONS, PARAMETERS, assert_same_float32, bits

pytestmark = pytest.mark.filterwarnings("ignore:(overflow|invalid value|divide by zero) encountered in:RuntimeWarning")

# Both signs of NaN (the default NaN x86 makes, inf*0, is the negative one), both
# infinities, and two ordinary values.
EDGES = [np.nan, -np.nan, np.inf, -np.inf, 0.0, 1.5]
COUNT = 3


def edge_grid(name):
    """Every combination of the edges for every real parameter after the time, one per
    row; the time takes every edge along the last axis."""
    reals = len(PARAMETERS[name]) - 1 - (name == "fourier_square_wave")
    rows = np.array(list(itertools.product(EDGES, repeat=reals)))
    time = np.array(EDGES)
    return time, [rows[:, k:k + 1] for k in range(reals)]


def counted(name, parameters):
    return parameters + [COUNT] if name == "fourier_square_wave" else parameters


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_strict_module_float64_and_float32_loops_give_the_same_nan(name):
    time, parameters = edge_grid(name)
    wide = getattr(undarix_ufuncs, name)(time, *counted(name, parameters))
    strict = np.array([getattr(undarix, name)(time, *counted(name, [float(p[row, 0]) for p in parameters]))
                       for row in range(parameters[0].shape[0])])
    assert np.isnan(wide).any()
    different = bits(strict) != bits(wide)
    assert not different.any(), "%d of %d differ" % (different.sum(), different.size)
    narrow = getattr(undarix_ufuncs, name)(time.astype(np.float32),
                                           *counted(name, [p.astype(np.float32) for p in parameters]))
    assert_same_float32(narrow, wide)


@pytest.mark.parametrize("nan_at", ["time", "period"])
def test_transient_jacobian_is_as_quiet_as_its_value_for_nan(nan_at):
    time = np.linspace(0.0, 12.0, 7)
    arguments = {"time": time, "amplitude": 1.0, "period": 6.0, "width": 0.5, "equilibrium": 0.25}
    arguments[nan_at] = np.nan if nan_at == "period" else np.where(time > 6.0, np.nan, time)
    cast = [np.asarray(arguments[p], dtype=np.float64) for p in PARAMETERS["transient_impulse"]]
    with np.errstate(invalid="raise"):
        value = undarix_ufuncs.transient_impulse(*cast)
        derivatives = undarix_ufuncs.transient_impulse_jacobian(*cast)
    # A NaN d is before the onset: the value is the equilibrium, and nothing moves it.
    assert np.isfinite(value).all() and all(np.isfinite(d).all() for d in derivatives)
