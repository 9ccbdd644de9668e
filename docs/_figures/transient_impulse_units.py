"""What the units of transient_impulse mean, drawn from the ufunc itself.

Two turns of time (0 to 4*pi radians, 48 hours), one pulse with its onset
at 6 h and its width marked, one later and wider pulse for comparison.
"""

import matplotlib.pyplot as plt
import numpy as np
import undarix_ufuncs

TURN = 2.0 * np.pi          # one full turn of `time`: 24 hours
HOURS_PER_RADIAN = 24.0 / TURN

t = np.linspace(0.0, 2.0 * TURN, 4001)
onset_hours, width = 6.0, 0.3
pulse = undarix_ufuncs.transient_impulse(t, 1.0, onset_hours, width, 0.0)
later = undarix_ufuncs.transient_impulse(t, 0.35, 19.0, 0.4, 0.0)

plt.rcParams.update({"font.size": 13})
figure, axis = plt.subplots(figsize=(9.0, 5.4), layout="constrained")
axis.plot(t, pulse, color="C0", linewidth=2.2,
          label="amplitude=1, period=%g (onset at %g h), width=%g" % (onset_hours, onset_hours, width))
axis.plot(t, later, color="C1", linewidth=1.8, linestyle="--",
          label="amplitude=0.35, period=19 (onset at 19 h), width=0.4")

onset = onset_hours / 24.0 * TURN
for turn in (0, 1):
    axis.axvline(turn * TURN + onset, color="C0", linewidth=0.9, linestyle=":")
axis.axvline(TURN, color="0.4", linewidth=1.2)
axis.annotate("onset = (period/24)·2π = %g h = %.3f rad" % (onset_hours, onset),
              xy=(onset, 1.0), xytext=(onset + 0.6, 1.08), va="center",
              arrowprops={"arrowstyle": "->", "color": "0.2"})
half = np.exp(-0.5)  # the pulse's height one width after the onset
axis.annotate("", xy=(onset, half), xytext=(onset + width, half),
              arrowprops={"arrowstyle": "|-|, widthA=0.4, widthB=0.4", "color": "C3", "linewidth": 1.8})
axis.annotate("width W = %g rad (%.2f h):\none W after the onset\nthe pulse is e^(−½) ≈ %.2f"
              % (width, width * HOURS_PER_RADIAN, half), xy=(onset + width, half), xytext=(2.1, 0.58),
              color="C3", va="center", arrowprops={"arrowstyle": "->", "color": "C3"})
axis.annotate("", xy=(0.0, -0.2), xytext=(TURN, -0.2),
              arrowprops={"arrowstyle": "<->", "color": "0.3"})
axis.text(TURN / 2, -0.17, "one turn: time 0 to 2π = 24 hours", ha="center", va="bottom", color="0.2")
axis.text(TURN + 0.1, 0.8, "the next turn:\nthe same pulses", color="0.3", va="top")

ticks = np.arange(0.0, 2.0 * TURN + 1e-9, np.pi / 2)
axis.set_xticks(ticks, ["0", "π/2", "π", "3π/2", "2π", "5π/2", "3π", "7π/2", "4π"])
axis.set_xlim(0.0, 2.0 * TURN)
axis.set_ylim(-0.3, 1.22)
axis.set_xlabel("time (radians: 2π per 24-hour turn)")
axis.set_ylabel("value (equilibrium = 0)")
hours = axis.secondary_xaxis("top", functions=(lambda x: x * HOURS_PER_RADIAN, lambda h: h / HOURS_PER_RADIAN))
hours.set_xticks(np.arange(0.0, 48.1, 6.0))
hours.set_xlabel("hours")
axis.grid(alpha=0.3)
axis.legend(loc="upper center", bbox_to_anchor=(0.5, -0.2), fontsize=11, frameon=False)
