"""lmfit_model(): an lmfit.Model of a waveform, evaluated by its ufunc, whose
guess() is undarix_fit.guess."""

from ._fit import guess
from ._waveforms import Waveform


def model_function(waveform):
    """f(x, <parameters>) with the waveform's parameter names as its arguments,
    which is how lmfit learns them (the family knows them).  A model pickles
    by its waveform's name (WaveformModel.__reduce__), not by this function."""
    function = waveform.family.model_function(waveform)
    function.__name__ = waveform.name
    return function


_MODEL_CLASS = []


def model_class():
    """The lmfit.Model subclass, made once lmfit is imported."""
    if not _MODEL_CLASS:
        import lmfit

        class WaveformModel(lmfit.Model):
            def guess(self, data, x, **kws):
                extra = {} if self._undarix[1] is None else {"num_harmonics": self._undarix[1]}
                values = guess(self._undarix[0], x, data, **extra)
                parameters = self.make_params(**values)
                return lmfit.models.update_param_vals(parameters, self.prefix, **kws)

            def __reduce__(self):
                name, num_harmonics, kwargs = self._undarix
                return rebuild_model, (name, num_harmonics, kwargs, self.param_hints)

        WaveformModel.__module__ = __name__
        _MODEL_CLASS.append(WaveformModel)
    return _MODEL_CLASS[0]


def rebuild_model(name, num_harmonics, kwargs, hints):
    model = lmfit_model(name, num_harmonics, **kwargs)
    model.param_hints = hints
    return model


def lmfit_model(name, num_harmonics=None, **kwargs):
    """An ``lmfit.Model`` of waveform `name`, evaluated by its ``undarix_ufuncs``
    ufunc, whose ``guess(data, x)`` uses :func:`guess`.

    ``num_harmonics`` (``fourier_square_wave`` only, required there) is bound
    into the model, not a parameter.  Other keywords go to ``lmfit.Model``.
    The model and its fit results pickle (for process pools and Dask).
    lmfit must be installed (``pip install lmfit``).
    """
    try:
        import lmfit  # noqa: F401
    except ImportError:
        raise ImportError("lmfit_model needs lmfit, which is not installed: pip install lmfit")
    waveform = Waveform(name, num_harmonics)
    model = model_class()(model_function(waveform), **kwargs)
    model._undarix = (name, num_harmonics, dict(kwargs))
    return model
