"""ssd_matrix end to end: exact sums, team sizes, SIMD paths, failures and NumPy use."""

import builtins
import threading

import numpy as np
import pytest

from conftest import (DIFFERENCE, SIMD_PATHS, compiled_entries, np_rebinding,
                      results_on_simd_path)

BLOCK = 32768  # pixels per block sum
ROUTINE = DIFFERENCE + ".ssd_matrix"
SOURCE = "morvane/pixelwise/_kernel/_difference_kernel.cpp"

# Around every vector width (16, 32 and 64 bytes, two vectors a step) and the block length.
PIXEL_COUNTS = [1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129,
                BLOCK - 1, BLOCK, BLOCK + 1, 3 * BLOCK + 5]
# Batch sizes from 1 to beyond two tiles of pairs (tiles are 2 x 3 or 4 x 4 images,
# by SIMD path), so that the tiles at the edges of the matrix take every smaller shape.
TILE_COUNTS = range(1, 10)


def reference(flat1, flat2):
    """The exact matrix in NumPy int64 arithmetic."""
    first = flat1.astype(np.int64)[:, None, :]
    second = flat2.astype(np.int64)[None, :, :]
    return ((first - second) ** 2).sum(axis=2)


def batch(seed, count, pixels):
    """Random 8-bit images whose rows start at odd addresses (unaligned loads)."""
    values = np.random.default_rng(seed).integers(0, 256, size=count * pixels, dtype=np.uint8)
    storage = np.empty(count * pixels + 1, dtype=np.uint8)
    storage[1:] = values
    return storage[1:].reshape(count, pixels)


def extremes(pixels):
    """An all-0 and an all-255 image against each other, both ways round."""
    dark = np.zeros((1, pixels), dtype=np.uint8)
    light = np.full((1, pixels), 255, dtype=np.uint8)
    return np.concatenate([dark, light]), np.concatenate([light, dark])


def stripes(count, pixels, first):
    """`count` images, alternately all `first` and all 255 - `first`."""
    values = np.where(np.arange(count) % 2 == 0, first, 255 - first).astype(np.uint8)
    return np.repeat(values[:, None], pixels, axis=1)


def simd_cases():
    """(flat1, flat2) pairs that exercise every loop and tail of the block kernel,
    and every shape of its tiles of pairs."""
    cases = [(batch(p, 2, p), batch(p + 1, 3, p)) for p in PIXEL_COUNTS]
    cases += [extremes(p) for p in (129, 2 * BLOCK, 3 * BLOCK + 5)]
    cases += [(batch(n, n, 200), batch(m + 10, m, 200)) for n in TILE_COUNTS for m in TILE_COUNTS]
    cases += [(batch(5, 5, 2 * BLOCK + 100), batch(6, 6, 2 * BLOCK + 100)),
              (stripes(5, BLOCK + 1, 0), stripes(7, BLOCK + 1, 255))]
    return cases


def u8(*shape):
    return np.ones(shape, dtype=np.uint8)


def assert_entry(error, line):
    assert compiled_entries(error) == [(ROUTINE, SOURCE, line)]


@pytest.mark.parametrize("pixels", PIXEL_COUNTS)
def test_exact_against_numpy(difference_module, pixels):
    flat1, flat2 = batch(pixels, 3, pixels), batch(pixels + 1, 2, pixels)
    result = difference_module.ssd_matrix(flat1, flat2, 2)
    assert result.dtype == np.int64 and result.shape == (3, 2)
    np.testing.assert_array_equal(result, reference(flat1, flat2))


@pytest.mark.parametrize("pixels", [1, 129, BLOCK, 2 * BLOCK, 3 * BLOCK + 5])
def test_extremes_sum_to_65025_per_pixel(difference_module, pixels):
    flat1, flat2 = extremes(pixels)
    result = difference_module.ssd_matrix(flat1, flat2, 2)
    np.testing.assert_array_equal(result, [[65025 * pixels, 0], [0, 65025 * pixels]])


def test_batch_against_itself_is_symmetric_with_zero_diagonal(difference_module):
    flat = batch(7, 4, 1000)
    result = difference_module.ssd_matrix(flat, flat, 3)
    np.testing.assert_array_equal(np.diag(result), 0)
    np.testing.assert_array_equal(result, result.T)


@pytest.mark.parametrize(
    "shape1, shape2",
    [((5, 4), (4, 4)),
     ((5, BLOCK + 100), (4, BLOCK + 100)),
     ((1, 10 * BLOCK + 7), (1, 10 * BLOCK + 7))],
    ids=["pairs only", "pairs and blocks", "one pair of many blocks"],
)
def test_result_does_not_depend_on_team_size(difference_module, shape1, shape2):
    flat1, flat2 = batch(1, *shape1), batch(2, *shape2)
    expected = reference(flat1, flat2)
    work_count = shape1[0] * shape2[0] * -(-shape1[1] // BLOCK)
    for num_threads in [1, 2, 3, work_count + 5, 1000000]:
        result = difference_module.ssd_matrix(flat1, flat2, num_threads)
        np.testing.assert_array_equal(result, expected, err_msg=f"num_threads={num_threads}")


@pytest.mark.parametrize("count1", TILE_COUNTS)
def test_every_tile_shape_for_any_team_size(difference_module, count1):
    """Partly filled tiles of pairs; a team of 16 exceeds the work of the small shapes."""
    for count2 in TILE_COUNTS:
        flat1, flat2 = batch(count1, count1, 100), batch(count2 + 10, count2, 100)
        expected = reference(flat1, flat2)
        for num_threads in [1, 2, 16]:
            np.testing.assert_array_equal(difference_module.ssd_matrix(flat1, flat2, num_threads),
                                          expected, err_msg=f"{count1} x {count2} images, "
                                                            f"num_threads={num_threads}")


def test_concurrent_calls_from_python_threads(difference_module):
    flat1, flat2 = batch(3, 3, 2 * BLOCK), batch(4, 3, 2 * BLOCK)
    expected = reference(flat1, flat2)
    results = [None] * 4

    def compute(slot):
        results[slot] = difference_module.ssd_matrix(flat1, flat2, 2)

    threads = [threading.Thread(target=compute, args=(slot,)) for slot in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        np.testing.assert_array_equal(result, expected)


SIMD_RUN = """
    import json
    import morvane.pixelwise._kernel._difference_kernel as module
    from test_ssd_matrix import simd_cases

    results = [module.ssd_matrix(flat1, flat2, 3).tolist() for flat1, flat2 in simd_cases()]
    print(json.dumps({"path": module.__simd_path__, "results": results}))
"""


@pytest.mark.parametrize("path", SIMD_PATHS)
def test_every_simd_path_is_exact(path):
    results = results_on_simd_path(path, SIMD_RUN)
    for (flat1, flat2), result in zip(simd_cases(), results, strict=True):
        np.testing.assert_array_equal(result, reference(flat1, flat2),
                                      err_msg=f"{path}, {flat1.shape[1]} pixels")


# --- NumPy stand-ins ------------------------------------------------------------

class RecordingNumpy:
    """Stands in for NumPy: records the driver's calls and delegates them.

    Arrays made by `empty` record their `sum` and `reshape` calls too.
    """

    def __init__(self):
        self.calls = []
        self.names = []
        calls = self.calls

        class RecordingArray(np.ndarray):
            def sum(self, *args, **kwargs):
                returned = super().sum(*args, **kwargs)
                calls.append(("sum", args, kwargs, returned))
                return returned

            def reshape(self, *args, **kwargs):
                returned = super().reshape(*args, **kwargs)
                calls.append(("reshape", args, kwargs, returned))
                return returned

        self.array_type = RecordingArray

    def __getattr__(self, name):
        self.names.append(name)
        return getattr(np, name)

    def empty(self, *args, **kwargs):
        returned = np.empty(*args, **kwargs).view(self.array_type)
        self.calls.append(("empty", args, kwargs, returned))
        return returned

    def zeros(self, *args, **kwargs):
        returned = np.zeros(*args, **kwargs)
        self.calls.append(("zeros", args, kwargs, returned))
        return returned


@pytest.fixture
def rebind_np(difference_module):
    """rebind_np(value) sets the module's `np` to value (deletes it for None)
    until the test ends."""
    with np_rebinding(difference_module) as rebind:
        yield rebind


# --- empty problems -----------------------------------------------------------

@pytest.mark.parametrize(
    "flat1, flat2, shape",
    [(u8(0, 4), u8(3, 4), (0, 3)),
     (u8(2, 4), u8(0, 4), (2, 0)),
     (u8(2, 0), u8(3, 0), (2, 3)),
     (None, None, (0, 0)),
     (u8(2, 0), None, (2, 0))],
    ids=["N=0", "M=0", "P=0", "None/None", "P=0 against None"],
)
def test_empty_problem_is_zeros_from_np_zeros(difference_module, rebind_np, flat1, flat2, shape):
    numpy = rebind_np(RecordingNumpy())
    result = difference_module.ssd_matrix(flat1, flat2, 1)
    assert result.dtype == np.int64 and result.shape == shape
    assert not result.any()
    [(name, args, kwargs, returned)] = numpy.calls
    assert (name, args, kwargs) == ("zeros", (shape,), {"dtype": np.int64})
    assert all(type(extent) is int for extent in args[0])
    assert result is returned


# --- NumPy reached through the module global `np` -----------------------------

def test_numpy_calls_of_a_call(difference_module, rebind_np):
    numpy = rebind_np(RecordingNumpy())
    flat1, flat2 = batch(1, 3, 2 * BLOCK + 1), batch(2, 2, 2 * BLOCK + 1)
    result = difference_module.ssd_matrix(flat1, flat2, 2)
    [empty, total, shaped] = numpy.calls
    assert empty[:3] == ("empty", ((6, 3),), {"dtype": np.int64})
    assert all(type(extent) is int for extent in empty[1][0])
    assert total[:3] == ("sum", (), {"axis": 1})
    assert shaped[:3] == ("reshape", (3, 2), {})
    assert all(type(value) is int for value in shaped[1])
    assert "int64" in numpy.names  # the dtype is taken from the rebound module too
    assert result is shaped[3]
    np.testing.assert_array_equal(result, reference(flat1, flat2))


def test_a_rebinding_is_seen_by_the_next_call(difference_module, rebind_np):
    flat = u8(2, 3)
    first = rebind_np(RecordingNumpy())
    difference_module.ssd_matrix(flat, flat, 1)
    second = rebind_np(RecordingNumpy())
    difference_module.ssd_matrix(flat, flat, 1)
    difference_module.ssd_matrix(flat[:0], flat, 1)
    assert [call[0] for call in first.calls] == ["empty", "sum", "reshape"]
    assert [call[0] for call in second.calls] == ["empty", "sum", "reshape", "zeros"]


@pytest.mark.parametrize("flat1, line", [(u8(0, 3), 51), (u8(2, 3), 55)], ids=["zeros", "empty"])
def test_deleted_np_is_a_name_error_at_its_statement(difference_module, rebind_np, flat1, line):
    rebind_np(None)
    with pytest.raises(NameError) as info:
        difference_module.ssd_matrix(flat1, u8(2, 3), 1)
    assert str(info.value) == "name 'np' is not defined"
    assert_entry(info.value, line)


def test_deleted_np_falls_back_to_builtins(difference_module, rebind_np):
    rebind_np(None)
    numpy = RecordingNumpy()
    builtins.np = numpy
    try:
        result = difference_module.ssd_matrix(u8(2, 3), u8(1, 3), 1)
    finally:
        del builtins.np
    np.testing.assert_array_equal(result, [[0], [0]])
    assert [call[0] for call in numpy.calls] == ["empty", "sum", "reshape"]


def test_overflowing_pair_count_is_refused_before_allocating(difference_module, rebind_np):
    count = 3037000500  # count * count exceeds 2**63 - 1
    try:
        flat = np.zeros((count, 1), dtype=np.uint8)  # mapped lazily: no memory is touched
    except MemoryError:
        pytest.skip("the address space cannot map a 3 GB zero array")
    numpy = rebind_np(RecordingNumpy())
    with pytest.raises(OverflowError) as info:
        difference_module.ssd_matrix(flat, flat, 1)
    assert f"{count} x {count}" in str(info.value)
    assert numpy.calls == []


def test_huge_allocation_fails_in_numpy(difference_module):
    # 2**62 partial sums fit the count but not NumPy's byte size, so NumPy
    # refuses them however the system hands out memory.
    try:
        flat = np.zeros((2**31, 1), dtype=np.uint8)  # mapped lazily
    except MemoryError:
        pytest.skip("the address space cannot map a 2 GB zero array")
    with pytest.raises((MemoryError, ValueError)) as info:
        difference_module.ssd_matrix(flat, flat, 1)
    assert_entry(info.value, 55)


# --- failures: the driver's table, in the order of its checks -----------------

@pytest.mark.parametrize(
    "args, error, message, line",
    [
        ((u8(2, 3), u8(2, 3)), TypeError,
         "ssd_matrix() takes exactly 3 positional arguments (2 given)", 22),
        ((u8(3, 5).view(np.int8), u8(0, 4), 0), ValueError,
         "Buffer dtype mismatch, expected 'const unsigned char' but got 'signed char'", 23),
        ((u8(3, 5), u8(0, 4).view(np.int8), 0), ValueError,
         "Buffer dtype mismatch, expected 'const unsigned char' but got 'signed char'", 24),
        ((u8(3, 5), u8(0, 4), None), TypeError, "an integer is required", 25),
        ((u8(3, 5), u8(0, 4), 0), ValueError,
         "Batches must share the pixel count, got 5 and 4.", 44),
        ((None, u8(2, 3), 1), ValueError, "Batches must share the pixel count, got 0 and 3.", 44),
        ((u8(0, 4), u8(0, 4), 0), ValueError, "num_threads must be positive, got 0.", 49),
        ((None, None, -7), ValueError, "num_threads must be positive, got -7.", 49),
        ((u8(2, 4), u8(3, 4), -2**31), ValueError,
         "num_threads must be positive, got -2147483648.", 49),
    ],
    ids=["binding", "flat1 view", "flat2 view", "num_threads conversion", "pixel count",
         "pixel count against None", "zero threads on an empty problem", "negative threads",
         "most negative threads"],
)
def test_failure_table(difference_module, args, error, message, line):
    with pytest.raises(error) as info:
        difference_module.ssd_matrix(*args)
    assert type(info.value) is error
    assert str(info.value) == message
    assert_entry(info.value, line)


class Refused(Exception):
    pass


def refuse(*args, **kwargs):
    raise Refused("refused")


class RefusingNumpy(RecordingNumpy):
    """RecordingNumpy with some members replaced: numpy_members by module-level
    functions, array_members by methods of the arrays that `empty` returns."""

    def __init__(self, numpy_members=(), array_members=()):
        super().__init__()
        for name, value in numpy_members:
            setattr(self, name, value)
        for name, value in array_members:
            setattr(self.array_type, name, value)


@pytest.mark.parametrize(
    "numpy, flat1, error, line",
    [
        (RefusingNumpy(numpy_members=[("zeros", refuse)]), u8(0, 3), Refused, 51),
        (RefusingNumpy(numpy_members=[("empty", refuse)]), u8(2, 3), Refused, 55),
        (RefusingNumpy(array_members=[("sum", refuse)]), u8(2, 3), Refused, 76),
        (RefusingNumpy(array_members=[("reshape", refuse)]), u8(2, 3), Refused, 76),
        (RefusingNumpy(numpy_members=[("empty", lambda shape, dtype: [[0]])]), u8(2, 3),
         TypeError, 56),
    ],
    ids=["zeros", "empty", "sum", "reshape", "empty returns no buffer"],
)
def test_numpy_failures_pass_unchanged(difference_module, rebind_np, numpy, flat1, error, line):
    rebind_np(numpy)
    with pytest.raises(error) as info:
        difference_module.ssd_matrix(flat1, u8(1, 3), 1)
    assert_entry(info.value, line)


def read_only_empty(shape, dtype):
    array = np.empty(shape, dtype=dtype)
    array.setflags(write=False)
    return array


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda shape, dtype: np.empty((1, 1), dtype=dtype), "shape"),
        (lambda shape, dtype: np.empty((shape[0] - 1, shape[1]), dtype=dtype), "shape"),
        (lambda shape, dtype: np.empty(shape, dtype=np.float64),
         "Buffer dtype mismatch, expected 'long long' but got 'double'"),
        (lambda shape, dtype: np.empty((2 * shape[0], shape[1]), dtype=dtype)[::2],
         "not C-contiguous"),
        (read_only_empty, "read-only"),
    ],
    ids=["too small", "one pair short", "float64", "every other row", "read-only"],
)
def test_unusable_partials_array_is_refused(difference_module, rebind_np, make, message):
    """A rebound `np.empty` must not make the loop write outside what it returned."""
    rebind_np(RefusingNumpy(numpy_members=[("empty", make)]))
    with pytest.raises(ValueError) as info:
        difference_module.ssd_matrix(u8(4, 3), u8(3, 3), 1)
    assert message in str(info.value)
    assert_entry(info.value, 56)
