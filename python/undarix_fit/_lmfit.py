"""lmfit_model(): an lmfit.Model of a waveform, evaluated by its ufunc, whose
guess() is undarix_fit.guess."""

from ._fit import guess
from ._waveforms import Waveform


def model_function(waveform):
    """f(x, <parameters>) with the waveform's parameter names as its arguments,
    which is how lmfit learns them (the family knows them)."""
    function = waveform.family.model_function(waveform)
    function.__name__ = waveform.name
    return function


def lmfit_model(name, num_harmonics=None, **kwargs):
    """An ``lmfit.Model`` of waveform `name`, evaluated by its ``undarix_ufuncs``
    ufunc, whose ``guess(data, x)`` uses :func:`guess`.

    ``num_harmonics`` (``fourier_square_wave`` only, required there) is bound
    into the model, not a parameter.  Other keywords go to ``lmfit.Model``.
    lmfit must be installed (``pip install lmfit``).
    """
    try:
        import lmfit
    except ImportError:
        raise ImportError("lmfit_model needs lmfit, which is not installed: pip install lmfit")
    waveform = Waveform(name, num_harmonics)

    class WaveformModel(lmfit.Model):
        def guess(self, data, x, **kws):
            values = guess(name, x, data, **(dict(num_harmonics=num_harmonics) if num_harmonics is not None else {}))
            parameters = self.make_params(**values)
            return lmfit.models.update_param_vals(parameters, self.prefix, **kws)

    WaveformModel.__name__ = "WaveformModel"
    return WaveformModel(model_function(waveform), **kwargs)
