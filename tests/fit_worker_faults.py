"""Losses for fit_many's worker tests: least_squares calls them in the worker
processes, where they make a worker die or record that it is working."""

import os
import time

import numpy as np


def linear(z):
    return np.vstack([z, np.ones_like(z), np.zeros_like(z)])


class DieOnSize(object):
    """Ends the worker process at once when it fits a row of `size` points;
    with `once`, only the first time (a marker file records it)."""

    def __init__(self, size, marker, once):
        self.size, self.marker, self.once = size, marker, once

    def __call__(self, z):
        if z.size == self.size:
            if not (self.once and os.path.exists(self.marker)):
                open(self.marker, "a").close()
                os._exit(3)
        return linear(z)


class Slow(object):
    """Appends a byte to `counter` at every call, then takes a second."""

    def __init__(self, counter):
        self.counter = counter

    def __call__(self, z):
        with open(self.counter, "a") as out:
            out.write(".")
        time.sleep(1.0)
        return linear(z)
