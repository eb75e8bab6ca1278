"""Checks and conversions of the arguments that every metric shares.

Each function either returns the argument in the form the metrics compute
with or raises a TypeError (wrong kind of object) or a ValueError (right kind,
unusable value) whose message names the argument and what was given.
"""

import math
import numbers
import operator
import os

import numpy as np

# Boolean, signed and unsigned integer, and floating-point dtypes.
_REAL_DTYPE_KINDS = "biuf"


def image_pair(a, b):
    """Both images as NumPy arrays of a real dtype and one shape."""
    a = np.asarray(a)
    b = np.asarray(b)
    for image in (a, b):
        if image.dtype.kind not in _REAL_DTYPE_KINDS:
            raise TypeError(f"Images must have a real dtype, got {image.dtype}.")
    if a.shape != b.shape:
        raise ValueError(f"Images must have the same shape, got {a.shape} vs {b.shape}.")
    return a, b


def data_range_of(data_range, a, b):
    """The data range L (largest minus smallest possible value) as a float.

    None takes it from the images' dtype: the full span of an integer dtype,
    1 for booleans. A floating-point dtype has no such span, so it must be
    given, and two dtypes would imply two spans.
    """
    if data_range is not None:
        return positive_number("data_range", data_range)
    if a.dtype != b.dtype:
        raise ValueError(
            f"Images of different dtypes ({a.dtype} and {b.dtype}) imply different "
            "data ranges; pass data_range."
        )
    if a.dtype.kind == "f":
        raise ValueError(
            f"Since the image dtype is floating point ({a.dtype}), you must specify "
            "data_range: the difference between the largest and the smallest "
            "value the images can take."
        )
    if a.dtype.kind == "b":
        return 1.0
    limits = np.iinfo(a.dtype)
    return float(limits.max - limits.min)


def positive_number(name, value):
    """`value` as a float, required to be finite and above 0."""
    number = _real_number(name, value)
    if not (math.isfinite(number) and number > 0):
        raise ValueError(f"{name} must be a finite number above 0, got {value!r}.")
    return number


def non_negative_number(name, value):
    """`value` as a float, required to be finite and at least 0."""
    number = _real_number(name, value)
    if not (math.isfinite(number) and number >= 0):
        raise ValueError(f"{name} must be a finite number of at least 0, got {value!r}.")
    return number


def integer(name, value):
    """`value` as a Python int; floats are refused rather than truncated."""
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}.") from None


def thread_count(num_threads):
    """The team size handed to the kernels, which always take an explicit count.

    None means every core this process may run on, which under a CPU
    affinity mask (containers, taskset) is fewer than the machine has.
    """
    if num_threads is None:
        return len(os.sched_getaffinity(0))
    count = integer("num_threads", num_threads)
    if count < 1:
        raise ValueError(f"num_threads must be positive, got {count}.")
    return count


def _real_number(name, value):
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}.")
    return float(value)
