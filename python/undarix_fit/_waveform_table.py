"""The waveforms' continuous parameters after ``time``, in order, and the integer input
of those that have one, as the waveform table of the built modules gives them.
Written by scripts/stubs: do not edit (tests/test_stubs_match_modules.py fails
while it differs from the modules)."""

PARAMETERS = {
    "harmonic_oscillator": ("amplitude", "gamma", "omega", "phi", "y"),
    "pseudo_square_wave": ("amplitude", "gamma", "omega", "phi", "y"),
    "fourier_square_wave": ("amplitude", "gamma", "omega", "phi", "y"),
    "pseudo_cycloid_wave": ("amplitude", "gamma", "omega", "phi", "y"),
    "transient_impulse": ("amplitude", "period", "width", "equilibrium"),
}

INTEGER_INPUT = {
    "fourier_square_wave": "num_harmonics",
}
