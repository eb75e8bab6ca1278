"""Repeated calls leave nothing behind, and huge requests fail cleanly.

Every way a call of either function can end, success or failure, runs
hundreds of times over. Afterwards every argument (and a stand-in `np`) has
the reference count it had before, the interpreter holds no more memory
blocks than before, and no argument's buffer is still exported: a call that
kept one reference, one array or one export would show it hundreds of times.

A request whose scratch or result cannot be allocated, or whose size does not
even fit a 64-bit count, ends in NumPy's exception like any other failure.
"""

import gc
import sys
from typing import Callable, NamedTuple, Optional

import numpy as np
import pytest
from _testbuffer import ND_FORTRAN, ndarray

from conftest import DIFFERENCE, STRUCTURE, compiled_entries

REPEATS = 500
WARM_UP = 20  # the first calls fill caches and free lists
# A leak of a single block per call would show as REPEATS blocks.
BLOCK_SLACK = 10

SSD_ENTRY = (DIFFERENCE + ".ssd_matrix", "morvane/pixelwise/_kernel/_difference_kernel.cpp")
SSIM_ENTRY = (STRUCTURE + ".ssim_plane_sums",
              "morvane/structural/_kernel/_structure_kernels.cpp")

RNG = np.random.default_rng(21)


class Count(int):
    """A num_threads of its own: small ints are shared, so their reference
    counts move with everything else the interpreter does."""


class Refused(Exception):
    pass


class Raising:
    """Its conversion to float and to int fails."""

    def __float__(self):
        raise Refused

    __int__ = __float__


class IntReturnsFloat:
    def __int__(self):
        return 2.5


def exported(array):
    """`array` offered by an exporter that refuses to change while exported."""
    items = array.ravel().tolist() or [0]
    return ndarray(items, shape=list(array.shape), format=array.dtype.char)


def assert_not_exported(argument):
    if isinstance(argument, ndarray):
        argument.push([0], shape=[1])  # BufferError while an export is outstanding
        argument.pop()


def flat(rows, pixels=7, dtype=np.uint8):
    return exported(RNG.integers(0, 256, (rows, pixels)).astype(dtype))


def planes(shape=(2, 5, 6), dtype=np.float32):
    return exported(RNG.random(shape).astype(dtype))


def window(taps=3):
    return exported(np.full(taps, 1 / taps, np.float32))


def ssd(**changes):
    """Valid ssd_matrix arguments by name, every one a fresh object, with `changes`."""
    return {"flat1": flat(2), "flat2": flat(3), "num_threads": Count(1), **changes}


def ssim(**changes):
    """Valid ssim_plane_sums arguments by name, every one a fresh object, with `changes`."""
    return {"planes1": planes(), "planes2": planes(), "kernel": window(),
            "c1": float("0.01"), "c2": float("0.03"), "num_threads": Count(1), **changes}


def bound(arguments, positional=None, keywords=()):
    """(args, kwargs): the first `positional` arguments (all when None) by
    position, those named in `keywords` by keyword."""
    values = list(arguments.values())
    return values[:positional], {name: arguments[name] for name in keywords}


# --- stand-ins for a module's `np` ----------------------------------------------

def refuse(shape, dtype):
    raise Refused


def not_an_array(shape, dtype):
    return [0.0]


def one_larger(shape, dtype):
    return np.empty(np.add(shape, 1), dtype=dtype)


class RefusingSum(np.ndarray):
    def sum(self, *args, **kwargs):
        raise Refused


class RefusingReshape(np.ndarray):
    def reshape(self, *args, **kwargs):
        raise Refused


def array_of(array_type):
    return lambda shape, dtype: np.empty(shape, dtype=dtype).view(array_type)


class StandInNumpy:
    """NumPy, except that of every `period` calls of its function `replaced`
    the one numbered `at` is answered by `replacement`."""

    def __init__(self, replaced, replacement, at=0, period=1):
        self.replaced, self.replacement = replaced, replacement
        self.at, self.period, self.calls = at, period, 0

    def __getattr__(self, name):
        return self.make if name == self.replaced else getattr(np, name)

    def make(self, shape, dtype):
        index = self.calls % self.period
        self.calls += 1
        if index == self.at:
            return self.replacement(shape, dtype)
        return getattr(np, self.replaced)(shape, dtype=dtype)


DELETED = "deleted"  # the module's `np` removed, and builtins have none either


# --- the table ------------------------------------------------------------------

class Case(NamedTuple):
    function: str
    call: Callable  # () -> (args, kwargs)
    error: Optional[type]  # None for a call that succeeds
    numpy: object = None  # None, DELETED or () -> a stand-in


SSIM_ARRAYS = ["sum_l_cs", "sum_cs", "hsum", "prod", "vrow", "row_l_cs", "row_cs"]

CASES = {
    # ssd_matrix
    "ssd: success": Case("ssd_matrix", lambda: bound(ssd()), None),
    "ssd: success on a team of two": Case(
        "ssd_matrix", lambda: bound(ssd(num_threads=Count(2))), None),
    "ssd: success by keyword": Case(
        "ssd_matrix", lambda: bound(ssd(), 1, ("num_threads", "flat2")), None),
    "ssd: success over two blocks": Case(
        "ssd_matrix", lambda: bound(ssd(flat1=flat(2, 32769), flat2=flat(1, 32769))), None),
    "ssd: empty problem": Case("ssd_matrix", lambda: bound(ssd(flat1=flat(0))), None),
    "ssd: None batches": Case("ssd_matrix", lambda: bound(ssd(flat1=None, flat2=None)), None),
    "ssd: too few arguments": Case("ssd_matrix", lambda: bound(ssd(), 2), TypeError),
    "ssd: unexpected keyword": Case(
        "ssd_matrix", lambda: bound(ssd(threads=Count(1)), 3, ("threads",)), TypeError),
    "ssd: repeated keyword": Case("ssd_matrix", lambda: bound(ssd(), 3, ("flat1",)), TypeError),
    "ssd: flat1 of signed bytes": Case(
        "ssd_matrix", lambda: bound(ssd(flat1=flat(2, dtype=np.int8))), ValueError),
    "ssd: flat2 of rank 1": Case(
        "ssd_matrix", lambda: bound(ssd(flat2=exported(np.zeros(7, np.uint8)))), ValueError),
    "ssd: flat1 big-endian": Case(
        "ssd_matrix", lambda: bound(ssd(flat1=ndarray(list(range(14)), shape=[2, 7],
                                                      format="!B"))), ValueError),
    "ssd: flat2 of two-byte items": Case(
        "ssd_matrix", lambda: bound(ssd(flat2=ndarray(list(range(21)), shape=[3, 7],
                                                      format="Bx"))), ValueError),
    "ssd: flat2 not a buffer": Case("ssd_matrix", lambda: bound(ssd(flat2=[1.0])), TypeError),
    "ssd: flat2 not C-contiguous": Case(
        "ssd_matrix", lambda: bound(ssd(flat2=ndarray(list(range(14)), shape=[2, 7],
                                                      format="B", flags=ND_FORTRAN))),
        BufferError),
    "ssd: num_threads without __int__": Case(
        "ssd_matrix", lambda: bound(ssd(num_threads=object())), TypeError),
    "ssd: num_threads beyond 32 bits": Case(
        "ssd_matrix", lambda: bound(ssd(num_threads=Count(2**31))), OverflowError),
    "ssd: num_threads beyond 64 bits": Case(
        "ssd_matrix", lambda: bound(ssd(num_threads=2**70)), OverflowError),
    "ssd: num_threads whose __int__ raises": Case(
        "ssd_matrix", lambda: bound(ssd(num_threads=Raising())), Refused),
    "ssd: num_threads whose __int__ gives a float": Case(
        "ssd_matrix", lambda: bound(ssd(num_threads=IntReturnsFloat())), TypeError),
    "ssd: num_threads NaN": Case(
        "ssd_matrix", lambda: bound(ssd(num_threads=float("nan"))), ValueError),
    "ssd: pixel counts differ": Case(
        "ssd_matrix", lambda: bound(ssd(flat2=flat(3, pixels=5))), ValueError),
    "ssd: no threads": Case("ssd_matrix", lambda: bound(ssd(num_threads=Count(0))), ValueError),
    "ssd: np.zeros refused": Case(
        "ssd_matrix", lambda: bound(ssd(flat1=flat(0))), Refused,
        lambda: StandInNumpy("zeros", refuse)),
    "ssd: np.empty refused": Case(
        "ssd_matrix", lambda: bound(ssd()), Refused, lambda: StandInNumpy("empty", refuse)),
    "ssd: partials not an array": Case(
        "ssd_matrix", lambda: bound(ssd()), TypeError,
        lambda: StandInNumpy("empty", not_an_array)),
    "ssd: partials of another shape": Case(
        "ssd_matrix", lambda: bound(ssd()), ValueError, lambda: StandInNumpy("empty", one_larger)),
    "ssd: sum refused": Case(
        "ssd_matrix", lambda: bound(ssd()), Refused,
        lambda: StandInNumpy("empty", array_of(RefusingSum))),
    "ssd: reshape refused": Case(
        "ssd_matrix", lambda: bound(ssd()), Refused,
        lambda: StandInNumpy("empty", array_of(RefusingReshape))),
    "ssd: np deleted, empty problem": Case(
        "ssd_matrix", lambda: bound(ssd(flat1=flat(0))), NameError, DELETED),
    "ssd: np deleted": Case("ssd_matrix", lambda: bound(ssd()), NameError, DELETED),

    # ssim_plane_sums
    "ssim: success": Case("ssim_plane_sums", lambda: bound(ssim()), None),
    "ssim: success on a team of two": Case(
        "ssim_plane_sums", lambda: bound(ssim(num_threads=Count(2))), None),
    "ssim: success by keyword": Case(
        "ssim_plane_sums", lambda: bound(ssim(), 0, ("num_threads", "c2", "c1", "kernel",
                                                     "planes2", "planes1")), None),
    "ssim: success on the default team": Case(
        "ssim_plane_sums", lambda: bound(ssim(num_threads=Count(0))), None),
    "ssim: success without planes": Case(
        "ssim_plane_sums", lambda: bound(ssim(planes1=planes((0, 5, 6)),
                                              planes2=planes((0, 5, 6)))), None),
    "ssim: too many arguments": Case(
        "ssim_plane_sums", lambda: bound(ssim(extra=float("1"))), TypeError),
    "ssim: c2 missing": Case(
        "ssim_plane_sums", lambda: bound(ssim(), 3, ("c1", "num_threads")), TypeError),
    "ssim: planes1 of float64": Case(
        "ssim_plane_sums", lambda: bound(ssim(planes1=planes(dtype=np.float64))), ValueError),
    "ssim: planes2 of rank 2": Case(
        "ssim_plane_sums", lambda: bound(ssim(planes2=planes((5, 6)))), ValueError),
    "ssim: planes2 big-endian": Case(
        "ssim_plane_sums", lambda: bound(ssim(planes2=ndarray([1.0] * 60, shape=[2, 5, 6],
                                                              format=">f"))), ValueError),
    "ssim: kernel not a buffer": Case(
        "ssim_plane_sums", lambda: bound(ssim(kernel=[0.5, 0.5])), TypeError),
    "ssim: c1 not a number": Case(
        "ssim_plane_sums", lambda: bound(ssim(c1=object())), TypeError),
    "ssim: c2 beyond the doubles": Case(
        "ssim_plane_sums", lambda: bound(ssim(c2=10**400)), OverflowError),
    "ssim: c1 whose __float__ raises": Case(
        "ssim_plane_sums", lambda: bound(ssim(c1=Raising())), Refused),
    "ssim: num_threads without __int__": Case(
        "ssim_plane_sums", lambda: bound(ssim(num_threads=object())), TypeError),
    "ssim: num_threads beyond 32 bits": Case(
        "ssim_plane_sums", lambda: bound(ssim(num_threads=Count(-2**31 - 1))), OverflowError),
    "ssim: shapes differ": Case(
        "ssim_plane_sums", lambda: bound(ssim(planes2=planes((2, 5, 7)))), ValueError),
    "ssim: window larger than the planes": Case(
        "ssim_plane_sums", lambda: bound(ssim(kernel=window(6))), ValueError),
    "ssim: negative num_threads": Case(
        "ssim_plane_sums", lambda: bound(ssim(num_threads=Count(-1))), ValueError),
    **{f"ssim: {name}_arr refused": Case(
        "ssim_plane_sums", lambda: bound(ssim()), Refused,
        lambda at=at: StandInNumpy("empty", refuse, at=at, period=at + 1))
       for at, name in enumerate(SSIM_ARRAYS)},
    **{f"ssim: {name} view refused": Case(
        "ssim_plane_sums", lambda: bound(ssim()), TypeError,
        lambda at=at: StandInNumpy("empty", not_an_array, at=at, period=len(SSIM_ARRAYS)))
       for at, name in enumerate(SSIM_ARRAYS)},
    "ssim: prod of another shape": Case(
        "ssim_plane_sums", lambda: bound(ssim()), ValueError,
        lambda: StandInNumpy("empty", one_larger, at=3, period=len(SSIM_ARRAYS))),
    "ssim: np deleted": Case("ssim_plane_sums", lambda: bound(ssim()), NameError, DELETED),
}


@pytest.fixture
def modules(structure_module, difference_module):
    return {"ssim_plane_sums": structure_module, "ssd_matrix": difference_module}


def call_repeatedly(function, args, kwargs, error, times):
    for _ in range(times):
        try:
            function(*args, **kwargs)
        except error or ():
            continue
        assert error is None, f"the call did not raise {error.__name__}"


@pytest.mark.parametrize("case", CASES)
def test_repeated_calls_leave_nothing_behind(modules, monkeypatch, case):
    function_name, call, error, numpy = CASES[case]
    module = modules[function_name]
    stand_in = None
    if numpy is DELETED:
        monkeypatch.delattr(module, "np")
    elif numpy is not None:
        stand_in = numpy()
        monkeypatch.setattr(module, "np", stand_in)
    function = getattr(module, function_name)
    args, kwargs = call()
    tracked = [value for value in (*args, *kwargs.values(), stand_in) if value is not None]

    call_repeatedly(function, args, kwargs, error, WARM_UP)
    gc.collect()
    references = [sys.getrefcount(value) for value in tracked]
    blocks = sys.getallocatedblocks()
    call_repeatedly(function, args, kwargs, error, REPEATS)
    gc.collect()

    assert [sys.getrefcount(value) for value in tracked] == references
    assert sys.getallocatedblocks() - blocks < BLOCK_SLACK
    for value in tracked:
        assert_not_exported(value)


# --- huge requests ----------------------------------------------------------------

def failure(function, *args):
    with pytest.raises(Exception) as info:
        function(*args)
    return info.value


def test_scratch_of_the_largest_team_is_memory_error(structure_module):
    # (2**31 - 1) x 3 x 16384 float32 per-thread rows are 384 TiB: beyond any address space.
    batch = np.zeros((1, 3, 16384), np.float32)
    error = failure(structure_module.ssim_plane_sums, batch, batch,
                    np.ones(3, np.float32), 0.01, 0.03, 2**31 - 1)
    assert isinstance(error, MemoryError)
    assert compiled_entries(error) == [(*SSIM_ENTRY, 72)]  # prod_arr


@pytest.mark.parametrize(
    "batch, error_type",
    [
        # hsum (H, 5, W - k + 1) is 640 TiB: beyond any address space.
        (np.empty((0, 2**45, 1), np.float32), MemoryError),
        (np.empty((0, 1, 2**45), np.float32), MemoryError),
        # hsum's byte count does not fit 64 bits (NumPy will not even make such a batch).
        (ndarray([0.0], shape=[0, 2**40, 2**40], format="f"), ValueError),
    ],
    ids=["height", "width", "height x width overflows"],
)
def test_huge_planes_of_an_empty_batch(structure_module, batch, error_type):
    error = failure(structure_module.ssim_plane_sums, batch, batch,
                    np.ones(1, np.float32), 0.01, 0.03, 1)
    assert isinstance(error, error_type)
    assert compiled_entries(error) == [(*SSIM_ENTRY, 71)]  # hsum_arr


@pytest.mark.parametrize(
    "count1, count2, error_type",
    [(2**40, 2**10, MemoryError),  # 8 PiB of int64
     (2**62, 2**62, ValueError)],  # the element count overflows
    ids=["too large", "overflows"],
)
def test_huge_zero_matrix_of_an_empty_problem(difference_module, count1, count2, error_type):
    # Images of no pixels: the batches take no memory, the result does.
    error = failure(difference_module.ssd_matrix, np.empty((count1, 0), np.uint8),
                    np.empty((count2, 0), np.uint8), 1)
    assert isinstance(error, error_type)
    assert compiled_entries(error) == [(*SSD_ENTRY, 51)]
