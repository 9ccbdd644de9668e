"""Evaluates the five undarix waveforms, prints them as a table and draws them.

    python examples/waveforms.py [--output PATH]

The figure (one panel per waveform, a few parameter sets each) is written as a
PNG to out/waveforms.png in the source tree unless --output names another path.
"""

import argparse
import os

import numpy as np

import undarix

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUTPUT = os.path.normpath(os.path.join(HERE, "..", "out", "waveforms.png"))
FULL_TURN = 2.0 * np.pi

# Panels of the figure: title, formula, time grid, axis label and the parameter
# sets drawn (keyword arguments after `time`).
PANELS = [
    ("harmonic_oscillator", r"$\cos((t+\varphi)\,\omega)\,e^{\gamma t}A + y$",
     np.linspace(0.0, 30.0, 3001), "time t", [
         dict(amplitude=1.0, gamma=-0.1, omega=2.0, phi=0.0, y=0.0),
         dict(amplitude=1.0, gamma=-0.3, omega=2.0, phi=0.0, y=0.0),
         dict(amplitude=0.25, gamma=0.05, omega=1.0, phi=0.5, y=0.0),
     ]),
    ("pseudo_square_wave", r"$(\frac{1}{2}\sin 3x + \sin x)\,e^{\gamma t}A + y,\ x=(t+\varphi)\,\omega$",
     np.linspace(0.0, 30.0, 3001), "time t", [
         dict(amplitude=1.0, gamma=0.0, omega=1.0, phi=0.0, y=0.0),
         dict(amplitude=1.0, gamma=-0.08, omega=1.0, phi=1.0, y=-1.5),
     ]),
    ("fourier_square_wave", r"$e^{\gamma t}A\,(1 + \frac{4}{\pi}\sum_{k=1,3,\ldots}^{2N-1}"
                            r"\frac{\sin(k\omega(t+\varphi))}{k}) + y$",
     np.linspace(0.0, 4.0 * np.pi, 4001), "time t", [
         dict(amplitude=1.0, gamma=0.0, omega=1.0, phi=0.0, y=0.0, num_harmonics=1),
         dict(amplitude=1.0, gamma=0.0, omega=1.0, phi=0.0, y=0.0, num_harmonics=5),
         dict(amplitude=1.0, gamma=0.0, omega=1.0, phi=0.0, y=0.0, num_harmonics=50),
     ]),
    ("pseudo_cycloid_wave", r"$(\cos 2\omega u - 2\cos u\omega)\,e^{\gamma t}A + y,\ u=t+\varphi$",
     np.linspace(0.0, 30.0, 3001), "time t", [
         dict(amplitude=1.0, gamma=0.0, omega=1.0, phi=0.0, y=0.0),
         dict(amplitude=1.0, gamma=-0.05, omega=0.5, phi=0.0, y=3.0),
     ]),
    ("transient_impulse", r"$e^{-\frac{1}{2}(d/W)^2}A + E$ if $d \geq 0$, else $E$;"
                          r"  $d = \mathrm{fmod}(t, 2\pi) - \frac{P}{24}2\pi$",
     np.linspace(0.0, 3.0 * FULL_TURN, 3001), "time t (one full turn 2π = 24 h, marked in hours)", [
         dict(amplitude=1.0, period=6.0, width=0.3, equilibrium=0.0),
         dict(amplitude=0.6, period=12.0, width=0.8, equilibrium=0.2),
         dict(amplitude=1.5, period=20.0, width=0.1, equilibrium=0.0),
     ]),
]

SYMBOLS = {"amplitude": "A", "gamma": "γ", "omega": "ω", "phi": "φ", "y": "y", "num_harmonics": "N",
           "period": "P", "width": "W", "equilibrium": "E"}


def label(parameters):
    return ", ".join("%s=%g" % (SYMBOLS[key], value) for key, value in parameters.items())


# The table shows the first parameter set of each panel: the figure's own
# parameters, so that the numbers and the curves can be compared.
CASES = [(name, label(parameter_sets[0]),
          lambda t, name=name, parameters=parameter_sets[0]: getattr(undarix, name)(t, **parameters))
         for name, _, _, _, parameter_sets in PANELS]


def print_table(time):
    results = [(name, params, evaluate(time)) for name, params, evaluate in CASES]

    print("undarix: five waveforms on %d points, t in [%g, %g]\n" % (time.size, time[0], time[-1]))
    shown = np.arange(0, time.size, 100)
    header = "%8s" % "t" + "".join("%22s" % name for name, _, _ in results)
    print(header)
    print("-" * len(header))
    for i in shown:
        print("%8.2f" % time[i] + "".join("%22.12g" % values[i] for _, _, values in results))

    print("\nsummary over all points")
    print("%-22s %-46s %12s %12s %12s" % ("function", "parameters", "min", "max", "mean"))
    for name, params, values in results:
        print("%-22s %-46s %12.6g %12.6g %12.6g" % (name, params, values.min(), values.max(), values.mean()))


def draw_panels():
    """Draws the figure's panels with pyplot; returns the figure."""
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(len(PANELS), 1, figsize=(12, 3.0 * len(PANELS)))
    for ax, (name, formula, time, xlabel, parameter_sets) in zip(axes, PANELS):
        function = getattr(undarix, name)
        for parameters in parameter_sets:
            ax.plot(time, function(time, **parameters), linewidth=1.2, label=label(parameters))
        ax.set_title("%s:  %s" % (name, formula), fontsize=11)
        ax.set_xlabel(xlabel)
        ax.set_ylabel("value")
        ax.set_xlim(time[0], time[-1])
        ax.grid(True, linewidth=0.4, alpha=0.5)
        ax.legend(loc="center left", bbox_to_anchor=(1.01, 0.5), fontsize=8, frameon=False)
    axes[-1].set_xticks(np.arange(0.0, 3.0 * FULL_TURN + 1e-9, FULL_TURN / 2))
    axes[-1].set_xticklabels(["%g h" % (12 * k) for k in range(7)])
    figure.tight_layout()
    return figure


def draw_figure(path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure = draw_panels()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    figure.savefig(path, dpi=100, metadata={"Software": None})
    plt.close(figure)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=DEFAULT_OUTPUT, help="where to write the PNG figure")
    args = parser.parse_args(argv)

    print_table(np.linspace(0.0, 12.0, 1001))
    draw_figure(args.output)
    print("\nfigure written to %s" % os.path.abspath(args.output))


if __name__ == "__main__":
    main()
