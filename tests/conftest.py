import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import undarix

DAMPED = ["harmonic_oscillator", "pseudo_square_wave", "pseudo_cycloid_wave"]
ALL_FUNCTIONS = ["harmonic_oscillator", "pseudo_square_wave", "fourier_square_wave",
                 "pseudo_cycloid_wave", "transient_impulse"]

# A valid scalar argument list (after `time`) for each function.
VALID_SCALARS = {
    "harmonic_oscillator": (1.0, -0.1, 2.0, 0.3, 0.5),
    "pseudo_square_wave": (1.0, -0.1, 2.0, 0.3, 0.5),
    "fourier_square_wave": (1.0, -0.1, 2.0, 0.3, 0.5, 5),
    "pseudo_cycloid_wave": (1.0, -0.1, 2.0, 0.3, 0.5),
    "transient_impulse": (1.0, 6.0, 0.5, 0.25),
}

PARAMETERS = {
    "harmonic_oscillator": ("time", "amplitude", "gamma", "omega", "phi", "y"),
    "pseudo_square_wave": ("time", "amplitude", "gamma", "omega", "phi", "y"),
    "fourier_square_wave": ("time", "amplitude", "gamma", "omega", "phi", "y", "num_harmonics"),
    "pseudo_cycloid_wave": ("time", "amplitude", "gamma", "omega", "phi", "y"),
    "transient_impulse": ("time", "amplitude", "period", "width", "equilibrium"),
}


def bits(values):
    """The IEEE bit patterns of a float64 array (or sequence), for exact comparison."""
    return np.ascontiguousarray(np.asarray(values, dtype=np.float64)).view(np.uint64)


def run_python(code, check=True):
    """Runs `code` in a fresh interpreter with the same environment; returns the CompletedProcess."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=dict(os.environ), timeout=120,
    )
    if check and completed.returncode != 0:
        raise AssertionError(
            "subprocess failed with %d\nstdout:\n%s\nstderr:\n%s"
            % (completed.returncode, completed.stdout, completed.stderr))
    return completed


@pytest.fixture
def panic_type():
    """The module's PanicException type, obtained from a failing call."""
    try:
        undarix.harmonic_oscillator(np.arange(4.0)[::2], 1.0, 0.0, 1.0, 0.0, 0.0)
    except BaseException as exc:  # noqa: B902 - PanicException derives from BaseException
        return type(exc)
    raise AssertionError("a strided time array must fail")
