"""Fitting the undarix waveforms to measured signals.

:func:`guess` reads first estimates of every parameter from the data (the
frequency from the spectrum, the damping from the envelope), :func:`fit` runs
a lean Levenberg-Marquardt loop (with bounds ``scipy.optimize.least_squares``)
with the exact Jacobian of the ``undarix_ufuncs`` Jacobian ufuncs,
:func:`fit_many` fits every row of a 2-D array (on one process, several, or
a Dask cluster), and :func:`lmfit_model` gives an ``lmfit.Model`` of a
waveform.  SciPy is needed:
``pip install undarix[fit]``.
"""

try:
    import scipy.optimize  # noqa: F401
    import scipy.signal  # noqa: F401
except ImportError as error:  # pragma: no cover - exercised in a subprocess
    raise ImportError("undarix_fit needs SciPy, which is not installed: pip install undarix[fit]  (%s)"
                      % error) from error

from ._fit import fit, guess
from ._lmfit import lmfit_model
from ._many import ManyFitResult, fit_many
from ._result import FitResult
from ._waveforms import PARAMETERS

__all__ = ["guess", "fit", "FitResult", "fit_many", "ManyFitResult", "lmfit_model", "PARAMETERS"]
