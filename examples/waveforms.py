"""Evaluates the five undarix waveforms on a time grid and prints them as a table."""

import numpy as np

import undarix

CASES = [
    ("harmonic_oscillator", "A=1, gamma=-0.1, omega=2, phi=0, y=0.5",
     lambda t: undarix.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.0, 0.5)),
    ("pseudo_square_wave", "A=1, gamma=-0.05, omega=1.5, phi=0, y=0",
     lambda t: undarix.pseudo_square_wave(t, 1.0, -0.05, 1.5, 0.0, 0.0)),
    ("fourier_square_wave", "A=1, gamma=0, omega=1, phi=0, y=0, N=25",
     lambda t: undarix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 25)),
    ("pseudo_cycloid_wave", "A=1, gamma=-0.02, omega=1, phi=0, y=3",
     lambda t: undarix.pseudo_cycloid_wave(t, 1.0, -0.02, 1.0, 0.0, 3.0)),
    ("transient_impulse", "A=2, period=6 h, width=0.3, E=0.1",
     lambda t: undarix.transient_impulse(t, 2.0, 6.0, 0.3, 0.1)),
]


def main():
    time = np.linspace(0.0, 12.0, 1001)
    results = [(name, params, evaluate(time)) for name, params, evaluate in CASES]

    print("undarix: five waveforms on %d points, t in [%g, %g]\n" % (time.size, time[0], time[-1]))
    shown = np.arange(0, time.size, 100)
    header = "%8s" % "t" + "".join("%22s" % name for name, _, _ in results)
    print(header)
    print("-" * len(header))
    for i in shown:
        print("%8.2f" % time[i] + "".join("%22.12g" % values[i] for _, _, values in results))

    print("\nsummary over all points")
    print("%-22s %-42s %12s %12s %12s" % ("function", "parameters", "min", "max", "mean"))
    for name, params, values in results:
        print("%-22s %-42s %12.6g %12.6g %12.6g" % (name, params, values.min(), values.max(), values.mean()))


if __name__ == "__main__":
    main()
