"""A second, independent implementation of the shared array-borrow registry, as another
extension module would bring its own: a Python table behind a version-1 capsule record whose
four operations are ctypes callbacks.  Its region functions also serve as a model of which
borrows conflict."""
import math

import numpy as np

from conftest import (ACQUIRE, BORROW_API_ATTRIBUTE, RELEASE, BorrowApiRecord, _multiarray,
                      make_capsule)

GRANTED, ALREADY, NOT_WRITEABLE = 0, -1, -2
WRITEABLE = 0x0400


def memory_owner(array):
    """The object that owns the memory: the end of the array's chain of bases."""
    while array.base is not None:
        if not isinstance(array.base, np.ndarray):
            return array.base
        array = array.base
    return array


def region_key(array):
    """(start, end, data, stride_gcd) of the bytes the array can reach."""
    data = array.__array_interface__["data"][0]
    if array.ndim == 0:
        return data, data, data, 1
    low = high = 0
    if 0 not in array.shape:
        for size, stride in zip(array.shape, array.strides):
            extent = (size - 1) * stride
            low, high = (low + extent, high) if extent < 0 else (low, high + extent)
        high += array.itemsize
    gcd = array.strides[0]
    for stride in array.strides[1:]:
        gcd = math.gcd(gcd, stride)
    return data + low, data + high, data, gcd


def regions_conflict(new, stored):
    """True or False; None where the answer is left open (both keys have stride gcd 0)."""
    if stored[0] >= new[1] or new[0] >= stored[1]:
        return False
    step = math.gcd(new[3], stored[3])
    if step == 0:
        return None
    return abs(new[2] - stored[2]) % step == 0


class ModelRegistry:
    """The table: owner address -> {region key: count}, count -1 for an exclusive borrow."""

    def __init__(self):
        self.table = {}
        self.log = []  # (operation, code or None, count of the region afterwards)

        def entry(method):
            return lambda state, array: self._logged(method, array)

        self.record = BorrowApiRecord(
            1, 0, ACQUIRE(entry(self.acquire_shared)), ACQUIRE(entry(self.acquire_exclusive)),
            RELEASE(entry(self.release_shared)), RELEASE(entry(self.release_exclusive)))
        self.capsule = make_capsule(self.record)

    @classmethod
    def install_unless_present(cls, module=_multiarray):
        """Installs a new model registry on `module` (NumPy's multiarray module by default; a
        module built to the NumPy 1 convention uses numpy.core.multiarray) when none is found
        there; returns it, or None."""
        if hasattr(module, BORROW_API_ATTRIBUTE):
            return None
        registry = cls()
        setattr(module, BORROW_API_ATTRIBUTE, registry.capsule)
        return registry

    def _logged(self, method, array):
        code = method(array)
        regions = self.table.get(id(memory_owner(array)), {})
        self.log.append((method.__name__, code, regions.get(region_key(array), 0)))
        return code

    def acquire_shared(self, array):
        regions = self.table.setdefault(id(memory_owner(array)), {})
        key = region_key(array)
        count = regions.get(key)
        if count is not None:
            if count < 0 or count == 2**63 - 1:
                return ALREADY
            regions[key] = count + 1
            return GRANTED
        if any(held < 0 and regions_conflict(key, other) for other, held in regions.items()):
            return ALREADY
        regions[key] = 1
        return GRANTED

    def acquire_exclusive(self, array):
        if not array.flags.writeable:
            return NOT_WRITEABLE
        regions = self.table.setdefault(id(memory_owner(array)), {})
        key = region_key(array)
        if key in regions or any(regions_conflict(key, other) for other in regions):
            return ALREADY
        regions[key] = -1
        return GRANTED

    def _release(self, array, exclusive):
        owner = id(memory_owner(array))
        regions = self.table.get(owner, {})
        key = region_key(array)
        if key in regions:
            regions[key] = 0 if exclusive else regions[key] - 1
            if regions[key] == 0:
                del regions[key]
        if not regions:
            self.table.pop(owner, None)

    def release_shared(self, array):
        self._release(array, exclusive=False)

    def release_exclusive(self, array):
        self._release(array, exclusive=True)
