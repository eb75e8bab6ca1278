"""ssim_plane_sums end to end: bits against the float32 model, team sizes, SIMD
paths, failures, NumPy use and what a call leaves behind."""

import json
import sys
import threading
import weakref

import numpy as np
import pytest

from conftest import (SIMD_PATHS, STRUCTURE, compiled_entries, np_rebinding,
                      results_on_simd_path, run_python)
from ssim_model import ssim_plane_sums_model

ROUTINE = STRUCTURE + ".ssim_plane_sums"
SOURCE = "morvane/structural/_kernel/_structure_kernels.cpp"

# The usual constants for 8-bit data: (0.01 * 255) ** 2 and (0.03 * 255) ** 2.
C1 = 6.5025
C2 = 58.5225

# Around every vector width (4, 8 and 16 floats, two vectors a step) and the
# four output rows that the vertical pass takes together.
SIZES = [1, 3, 7, 9, 15, 17, 31, 33, 63, 65]


def unaligned(values):
    """`values` as float32 in memory that starts one float off any vector boundary."""
    values = np.asarray(values, dtype=np.float32)
    storage = np.empty(values.size + 1, dtype=np.float32)
    storage[1:] = values.ravel()
    return storage[1:].reshape(values.shape)


def pair(seed, n, height, width, scale=255.0):
    """Planes in [0, scale) and a noisy copy of them: similar, but not equal."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, scale, (n, height, width))
    y = x + rng.normal(0.0, scale / 10, x.shape)
    return unaligned(x), unaligned(y)


def taps(seed, k):
    """k positive taps summing to about 1, all different: no symmetry to hide behind."""
    weights = np.random.default_rng(seed).uniform(0.1, 1.0, k)
    return unaligned(weights / weights.sum())


def gaussian(k=11, sigma=1.5):
    offsets = np.arange(k) - (k - 1) / 2
    weights = np.exp(-(offsets**2) / (2 * sigma**2))
    return unaligned(weights / weights.sum())


def signed_wide_range(seed, n, height, width):
    """Values of both signs whose magnitudes span 24 decades."""
    rng = np.random.default_rng(seed)
    magnitudes = 10.0 ** rng.uniform(-12, 12, (2, n, height, width))
    signs = rng.choice([-1.0, 1.0], magnitudes.shape)
    x, y = magnitudes * signs
    return unaligned(x), unaligned(y)


def with_values(planes, *placements):
    """A copy of `planes` with `value` written at each (index, value) of `placements`."""
    planes = unaligned(planes)
    for index, value in placements:
        planes[index] = value
    return planes


def flat_left_half(seed, n, height, width):
    """Noisy planes whose left halves are 0 in both: windows there see no signal at all."""
    x, y = pair(seed, n, height, width)
    x[..., : width // 2] = 0.0
    y[..., : width // 2] = 0.0
    return x, y


def absorbed_terms():
    """Planes whose float64 sums come out exact only when added strictly in order.

    With one tap of 1.0 every map pixel is a plane pixel, cs is 1 and lum is
    2 * x * y / (x * x + y * y) with c1 = 0: 1 where y = x = 1, 2**-54 where
    y = 2**-55 and 0 where y = 0. Row 0 is 1 followed by 32 terms of 2**-54,
    each a quarter of an ulp of 1 and lost on its own; rows 1 to 8 each sum to
    2**-54, lost again in the plane total. Any other order of addition keeps
    some of them.
    """
    x = np.ones((1, 9, 33))
    y = np.zeros((1, 9, 33))
    y[0, 0, 0] = 1.0
    y[0, 0, 1:] = 2.0**-55
    y[0, 1:, 0] = 2.0**-55
    return unaligned(x), unaligned(y), unaligned([1.0]), 0.0, C2


def exact_cases():
    """(id, planes1, planes2, kernel, c1, c2, nan_expected) for the bit-exact comparisons."""
    cases = []
    for h, w in [*zip(SIZES, reversed(SIZES)), *zip(SIZES, SIZES)]:
        k = min(h, w, 7)
        cases.append((f"{h}x{w} k={k}", *pair(h * 100 + w, 2, h, w), taps(h + w, k),
                      C1, C2, False))
    for h, w in [(7, 65), (33, 17)]:
        cases.append((f"{h}x{w} k=1", *pair(h, 2, h, w), taps(1, 1), C1, C2, False))
    for h, w in [(17, 9), (65, 33)]:
        cases.append((f"{h}x{w} k=width", *pair(h, 2, h, w), taps(w, w), C1, C2, False))
    for h, w in [(9, 17), (33, 65)]:
        cases.append((f"{h}x{w} k=height", *pair(w, 2, h, w), taps(h, h), C1, C2, False))
    cases.append(("order of the float64 sums", *absorbed_terms(), False))
    cases.append(("15x15 k=15", *pair(15, 2, 15, 15), taps(15, 15), C1, C2, False))
    cases.append(("gaussian 64x96", *pair(11, 3, 64, 96), gaussian(), C1, C2, False))
    # Planes this wide are filtered in bands of rows (here 48 rows, the last
    # band short), and bands shorter than the window (30 rows of a 64-tap
    # window), with windows that reach across bands and across threads.
    cases.append(("bands of rows", *pair(21, 2, 300, 1100), taps(21, 11), C1, C2, False))
    cases.append(("bands shorter than a window", *pair(22, 2, 150, 1763), taps(22, 64), C1, C2,
                  False))
    # Negative taps make windowed variances negative; nothing clamps them.
    cases.append(("negative taps", *pair(23, 2, 40, 70), unaligned([-0.5, 1.5, 0.25, -0.25]),
                  C1, C2, False))
    cases.append(("signed wide range", *signed_wide_range(5, 2, 33, 65), taps(5, 5),
                  1e-4, 9e-4, False))
    # Products of about 1e-40 are subnormal float32 values, and so are the constants.
    cases.append(("subnormal products", *pair(6, 2, 17, 33, scale=1e-20), taps(6, 3),
                  1e-40, 1e-40, False))
    x, y = pair(7, 4, 17, 33)
    x = with_values(x, ((0, 0, 0), np.nan), ((2, 8, 16), np.inf))
    y = with_values(y, ((3, 16, 32), -np.inf))
    # Plane 1, between the poisoned ones, must come out finite: nothing carries over.
    cases.append(("NaN and infinities", x, y, taps(7, 5), C1, C2, True))
    cases.append(("c1 = c2 = 0 over a flat region", *flat_left_half(8, 2, 17, 33), taps(8, 3),
                  0.0, 0.0, True))
    return cases


EXACT_CASES = exact_cases()


def stacked(result):
    """The (sum_l_cs, sum_cs) pair as one (2, N) float64 array."""
    sum_l_cs, sum_cs = result
    assert sum_l_cs.dtype == sum_cs.dtype == np.float64
    assert sum_l_cs.shape == sum_cs.shape and sum_l_cs.ndim == 1
    return np.stack([sum_l_cs, sum_cs])


def assert_same_bits(actual, expected, nan_expected=False):
    """Every sum carries the bits of the model; where the model has a NaN, only
    a NaN is asked for (its payload is whatever the hardware propagated)."""
    actual, expected = stacked(actual), stacked(expected)
    nan = np.isnan(expected)
    assert nan.any() == nan_expected
    np.testing.assert_array_equal(np.isnan(actual), nan)
    np.testing.assert_array_equal(actual[~nan].view(np.uint64), expected[~nan].view(np.uint64),
                                  err_msg=f"got {actual}, expected {expected}")


def assert_entry(error, line):
    assert compiled_entries(error) == [(ROUTINE, SOURCE, line)]


# --- bits against the model ---------------------------------------------------

@pytest.mark.parametrize("case", EXACT_CASES, ids=[case[0] for case in EXACT_CASES])
def test_exact_against_model(structure_module, case):
    _, planes1, planes2, kernel, c1, c2, nan_expected = case
    result = structure_module.ssim_plane_sums(planes1, planes2, kernel, c1, c2, 2)
    assert_same_bits(result, ssim_plane_sums_model(planes1, planes2, kernel, c1, c2),
                     nan_expected)


@pytest.mark.parametrize("hot", [0, 2, 4])
def test_tap_j_weighs_the_pixel_j_rows_down_and_j_columns_right(structure_module, hot):
    """With one tap of 1.0 at j, every window is the single pixel (ho + j, wo + j):
    the variances vanish exactly, so cs = 1 and lum is that pixel's own."""
    x, y = pair(hot, 2, 12, 14)
    kernel = np.zeros(5, dtype=np.float32)
    kernel[hot] = 1.0
    sum_l_cs, sum_cs = structure_module.ssim_plane_sums(x, y, kernel, C1, C2, 2)
    a = x[:, hot : hot + 8, hot : hot + 10]
    b = y[:, hot : hot + 8, hot : hot + 10]
    c1, two = np.float32(C1), np.float32(2.0)
    lum = (two * (a * b) + c1) / ((a * a + b * b) + c1)
    for n in range(2):
        # Row sums from 0.0, then the plane total from 0.0, all left to right.
        expected = sum(sum(float(value) for value in row) for row in lum[n])
        assert sum_l_cs[n] == expected
    assert sum_cs.tolist() == [80.0, 80.0]


def test_sums_run_left_to_right_from_zero(structure_module):
    sum_l_cs, sum_cs = structure_module.ssim_plane_sums(*absorbed_terms(), 2)
    assert (sum_l_cs.tolist(), sum_cs.tolist()) == ([1.0], [9.0 * 33])


@pytest.mark.parametrize(
    "shape, kernel",
    [((2, 9, 17), taps(1, 3)), ((1, 65, 33), taps(2, 7)), ((3, 64, 96), gaussian()),
     ((1, 5, 5), taps(3, 5)), ((2, 40, 1), taps(4, 1))],
    ids=["9x17", "65x33", "gaussian 64x96", "one map pixel", "one column"],
)
def test_identical_planes_give_one_per_map_pixel(structure_module, shape, kernel):
    planes = pair(9, *shape)[0]
    out_pixels = (shape[1] - len(kernel) + 1) * (shape[2] - len(kernel) + 1)
    sum_l_cs, sum_cs = structure_module.ssim_plane_sums(planes, planes.copy(), kernel, C1, C2, 2)
    assert sum_l_cs.tolist() == sum_cs.tolist() == [float(out_pixels)] * shape[0]


def test_zero_c1_over_zero_means_poisons_only_the_luminance_sum(structure_module):
    x, y = flat_left_half(10, 2, 17, 33)
    sum_l_cs, sum_cs = structure_module.ssim_plane_sums(x, y, taps(10, 3), 0.0, C2, 2)
    assert np.isnan(sum_l_cs).all()
    assert np.isfinite(sum_cs).all()


def test_constants_are_rounded_to_float32(structure_module):
    x, y = pair(12, 2, 20, 24, scale=1.0)  # values small enough for the constants to count
    kernel = taps(12, 5)
    rounded = float(np.float32(0.1))
    assert rounded != 0.1
    calls = {
        "float": structure_module.ssim_plane_sums(x, y, kernel, 0.1, 0.1, 2),
        "rounded": structure_module.ssim_plane_sums(x, y, kernel, rounded, rounded, 2),
        "float32": structure_module.ssim_plane_sums(x, y, kernel, np.float32(0.1),
                                                     np.float32(0.1), 2),
    }
    expected = ssim_plane_sums_model(x, y, kernel, np.float32(0.1), np.float32(0.1))
    for result in calls.values():
        assert_same_bits(result, expected)
    # The constants do reach the sums: the next float32 up changes them.
    above = float(np.nextafter(np.float32(0.1), np.float32(1.0)))
    nudged = structure_module.ssim_plane_sums(x, y, kernel, above, above, 2)
    assert not np.array_equal(stacked(nudged), stacked(expected))


# Every thread count asks for its own rows of per-thread scratch: a million
# of them are a few GB of untouched address space for the narrow planes only.
@pytest.mark.parametrize("height, width, k, most_threads",
                         [(33, 65, 7, 1000000), (300, 1100, 11, 1000)],
                         ids=["one band", "bands"])
def test_result_does_not_depend_on_team_size(structure_module, height, width, k, most_threads):
    planes1, planes2 = pair(13, 2, height, width)
    kernel = taps(13, k)
    expected = ssim_plane_sums_model(planes1, planes2, kernel, C1, C2)
    for num_threads in [1, 2, 3, 0, height - k + 2, height + 1, most_threads]:
        result = structure_module.ssim_plane_sums(planes1, planes2, kernel, C1, C2, num_threads)
        assert_same_bits(result, expected)


def test_concurrent_calls_from_python_threads(structure_module):
    planes1, planes2 = pair(14, 2, 64, 96)
    kernel = gaussian()
    expected = ssim_plane_sums_model(planes1, planes2, kernel, C1, C2)
    results = [None] * 4

    def compute(slot):
        results[slot] = structure_module.ssim_plane_sums(planes1, planes2, kernel, C1, C2, 2)

    threads = [threading.Thread(target=compute, args=(slot,)) for slot in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        assert_same_bits(result, expected)


SIMD_RUN = """
    import json
    import numpy as np
    import morvane.structural._kernel._structure_kernels as module
    from test_ssim_plane_sums import EXACT_CASES

    results = [np.stack(module.ssim_plane_sums(*case[1:6], 3)).tobytes().hex()
               for case in EXACT_CASES]
    print(json.dumps({"path": module.__simd_path__, "results": results}))
"""


@pytest.mark.parametrize("path", SIMD_PATHS)
def test_every_simd_path_is_exact(path):
    results = results_on_simd_path(path, SIMD_RUN)
    for case, result in zip(EXACT_CASES, results, strict=True):
        name, planes1, planes2, kernel, c1, c2, nan_expected = case
        sums = np.frombuffer(bytes.fromhex(result), dtype=np.float64).reshape(2, -1)
        expected = ssim_plane_sums_model(planes1, planes2, kernel, c1, c2)
        try:
            assert_same_bits(tuple(sums), expected, nan_expected)
        except AssertionError as error:
            raise AssertionError(f"{path}, {name}") from error


# --- NumPy reached through the module global `np` -----------------------------

class RecordingNumpy:
    """Stands in for NumPy: notes every `empty` call and delegates it.

    `substitutes` maps the index of an `empty` call to a function of its
    arguments whose array is handed out instead; those arrays are kept in
    `substituted`. Of the arrays NumPy made, only weak references are kept, so
    that the stand-in itself holds nothing alive.
    """

    def __init__(self, substitutes=None):
        self.empty_calls = []
        self.made = []
        self.substituted = []
        self.names = []
        self.substitutes = substitutes or {}

    def __getattr__(self, name):
        self.names.append(name)
        return getattr(np, name)

    def empty(self, *args, **kwargs):
        index = len(self.empty_calls)
        self.empty_calls.append((args, kwargs))
        if index in self.substitutes:
            array = self.substitutes[index](*args, **kwargs)
            self.substituted.append(array)
        else:
            array = np.empty(*args, **kwargs)
            self.made.append(weakref.ref(array))
        return array

    def alive(self):
        """How many of the arrays NumPy made are still referenced somewhere."""
        return sum(reference() is not None for reference in self.made)


@pytest.fixture
def rebind_np(structure_module):
    """rebind_np(value) sets the module's `np` to value (deletes it for None)
    until the test ends."""
    with np_rebinding(structure_module) as rebind:
        yield rebind


def allocations(n, height, width, k, rows):
    """The `empty` calls of a call, in order: (shape, dtype); a Python int for rank 1."""
    out_h, out_w = height - k + 1, width - k + 1
    return [(n, np.float64), (n, np.float64), ((height, 5, out_w), np.float32),
            ((rows, 3, width), np.float32), ((rows, 5, out_w), np.float32),
            (out_h, np.float64), (out_h, np.float64)]


def assert_allocations(numpy, expected):
    assert [(args, kwargs) for args, kwargs in numpy.empty_calls] == [
        ((shape,), {"dtype": dtype}) for shape, dtype in expected]
    for (args, kwargs), (shape, dtype) in zip(numpy.empty_calls, expected):
        extents = args[0] if type(shape) is tuple else (args[0],)
        assert type(args[0]) is type(shape)
        assert all(type(extent) is int for extent in extents)
        assert kwargs["dtype"] is dtype


@pytest.mark.parametrize(
    "n, height, width, k, num_threads",
    [(2, 9, 17, 3, 3), (0, 9, 17, 3, 2), (1, 12, 12, 12, 1), (1, 6, 7, 2, 1000000)],
    ids=["two planes", "no planes", "one map pixel", "a million threads"],
)
def test_arrays_of_a_call(structure_module, rebind_np, n, height, width, k, num_threads):
    numpy = rebind_np(RecordingNumpy())
    planes1, planes2 = pair(15, n, height, width)
    kernel = taps(15, k)
    result = structure_module.ssim_plane_sums(planes1, planes2, kernel, C1, C2, num_threads)
    assert_allocations(numpy, allocations(n, height, width, k, num_threads))
    assert {"float32", "float64"} <= set(numpy.names)  # the dtypes come from `np` too
    # The tuple holds the only references to the sums, and the scratch is gone.
    assert type(result) is tuple and len(result) == 2
    assert sys.getrefcount(result) == 2
    assert [sys.getrefcount(result[0]), sys.getrefcount(result[1])] == [2, 2]
    assert [result[0] is numpy.made[0](), result[1] is numpy.made[1]()] == [True, True]
    assert numpy.alive() == 2
    assert_same_bits(result, ssim_plane_sums_model(planes1, planes2, kernel, C1, C2))
    del result
    assert numpy.alive() == 0


ZERO_THREADS_RUN = """
    import json
    import numpy as np
    import morvane.structural._kernel._structure_kernels as module
    from test_ssim_plane_sums import RecordingNumpy, pair, taps, C1, C2

    numpy = RecordingNumpy()
    module.np = numpy
    planes1, planes2 = pair(16, 2, 20, 30)
    kernel = taps(16, 5)
    result = np.stack(module.ssim_plane_sums(planes1, planes2, kernel, C1, C2, 0))
    print(json.dumps({"shapes": [args[0] for args, _ in numpy.empty_calls[3:5]],
                      "result": result.tobytes().hex()}))
"""


@pytest.mark.parametrize("default_team", [1, 3, 5])
def test_zero_threads_size_the_scratch_for_the_default_team(default_team):
    run = json.loads(run_python(ZERO_THREADS_RUN, OMP_NUM_THREADS=str(default_team)))
    assert run["shapes"] == [[default_team, 3, 30], [default_team, 5, 26]]
    planes1, planes2 = pair(16, 2, 20, 30)
    expected = ssim_plane_sums_model(planes1, planes2, taps(16, 5), C1, C2)
    sums = np.frombuffer(bytes.fromhex(run["result"]), dtype=np.float64).reshape(2, -1)
    assert_same_bits(tuple(sums), expected)


def test_a_rebinding_is_seen_by_the_next_call(structure_module, rebind_np):
    planes = pair(17, 1, 8, 8)[0]
    first = rebind_np(RecordingNumpy())
    structure_module.ssim_plane_sums(planes, planes, taps(17, 3), C1, C2, 1)
    second = rebind_np(RecordingNumpy())
    structure_module.ssim_plane_sums(planes, planes, taps(17, 3), C1, C2, 1)
    structure_module.ssim_plane_sums(planes, planes, taps(17, 3), C1, C2, 1)
    assert (len(first.empty_calls), len(second.empty_calls)) == (7, 14)


def test_deleted_np_is_a_name_error_at_the_first_allocation(structure_module, rebind_np):
    rebind_np(None)
    planes = pair(18, 1, 8, 8)[0]
    with pytest.raises(NameError) as info:
        structure_module.ssim_plane_sums(planes, planes, taps(18, 3), C1, C2, 1)
    assert str(info.value) == "name 'np' is not defined"
    assert_entry(info.value, 66)


# --- failures: the driver's own checks, in order -------------------------------

def f32(*shape):
    return np.ones(shape, dtype=np.float32)


@pytest.mark.parametrize(
    "planes1, planes2, kernel, message, line",
    [
        (f32(2, 8, 8), f32(2, 8, 9), f32(3),
         "planes1 and planes2 must have the same shape, got (2, 8, 8) vs (2, 8, 9).", 53),
        (f32(2, 8, 8), f32(2, 8, 9), f32(20),
         "planes1 and planes2 must have the same shape, got (2, 8, 8) vs (2, 8, 9).", 53),
        (f32(3, 8, 8), f32(2, 8, 8), f32(3),
         "planes1 and planes2 must have the same shape, got (3, 8, 8) vs (2, 8, 8).", 53),
        (f32(2, 9, 8), f32(2, 8, 8), f32(3),
         "planes1 and planes2 must have the same shape, got (2, 9, 8) vs (2, 8, 8).", 53),
        (None, f32(2, 8, 8), f32(3),
         "planes1 and planes2 must have the same shape, got (0, 0, 0) vs (2, 8, 8).", 53),
        (f32(2, 8, 8), None, None,
         "planes1 and planes2 must have the same shape, got (2, 8, 8) vs (0, 0, 0).", 53),
        (f32(2, 4, 10), f32(2, 4, 10), f32(5),
         "Planes of size 4x10 are smaller than the 5x5 window.", 59),
        (f32(2, 10, 4), f32(2, 10, 4), f32(5),
         "Planes of size 10x4 are smaller than the 5x5 window.", 59),
        (f32(0, 4, 10), f32(0, 4, 10), f32(5),
         "Planes of size 4x10 are smaller than the 5x5 window.", 59),
        (f32(1, 8, 8), f32(1, 8, 8), f32(0),
         "Planes of size 8x8 are smaller than the 0x0 window.", 59),
        (f32(1, 8, 8), f32(1, 8, 8), None,
         "Planes of size 8x8 are smaller than the 0x0 window.", 59),
        (None, None, f32(5), "Planes of size 0x0 are smaller than the 5x5 window.", 59),
        (None, None, None, "Planes of size 0x0 are smaller than the 0x0 window.", 59),
    ],
    ids=["width", "width before a longer kernel", "count", "height", "planes1 None",
         "planes2 None", "window taller", "window wider", "window check without planes",
         "no taps", "kernel None", "planes None", "all None"],
)
def test_failure_table(structure_module, rebind_np, planes1, planes2, kernel, message, line):
    numpy = rebind_np(RecordingNumpy())
    with pytest.raises(ValueError) as info:
        structure_module.ssim_plane_sums(planes1, planes2, kernel, C1, C2, 1)
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert_entry(info.value, line)
    assert numpy.empty_calls == []


@pytest.mark.parametrize("num_threads", [-1, -7, -(2**31)])
def test_negative_threads_fail_in_numpy_at_the_thread_scratch(structure_module, rebind_np,
                                                              num_threads):
    numpy = rebind_np(RecordingNumpy())
    planes1, planes2 = pair(19, 2, 9, 17)
    with pytest.raises(Exception) as info:
        structure_module.ssim_plane_sums(planes1, planes2, taps(19, 3), C1, C2, num_threads)
    with pytest.raises(Exception) as numpy_own:
        np.empty((num_threads, 3, 17), dtype=np.float32)
    assert type(info.value) is type(numpy_own.value)
    assert str(info.value) == str(numpy_own.value)
    assert_entry(info.value, 72)
    assert numpy.empty_calls[3] == (((num_threads, 3, 17),), {"dtype": np.float32})
    assert len(numpy.made) == 3 and numpy.alive() == 0


def empty_with_last_extent(change):
    def make(shape, dtype):
        shape = (shape,) if type(shape) is int else shape
        return np.full((*shape[:-1], shape[-1] + change), 7, dtype=dtype)
    return make


def empty_with_first_extent(change):
    def make(shape, dtype):
        shape = (shape,) if type(shape) is int else shape
        return np.full((shape[0] + change, *shape[1:]), 7, dtype=dtype)
    return make


def empty_of_other_dtype(shape, dtype):
    return np.full(shape, 7, dtype=np.float64 if dtype is np.float32 else np.float32)


def empty_read_only(shape, dtype):
    array = np.full(shape, 7, dtype=dtype)
    array.setflags(write=False)
    return array


def empty_every_other(shape, dtype):
    shape = (shape,) if type(shape) is int else shape
    return np.full((*shape[:-1], 2 * shape[-1]), 7, dtype=dtype)[..., ::2]


def empty_flattened(shape, dtype):
    return np.full(np.prod(shape), 7, dtype=dtype).reshape(-1, 1)


SUBSTITUTES = [
    (empty_with_first_extent(-1), "Allocated array has shape"),
    (empty_with_last_extent(-1), "Allocated array has shape"),
    (empty_with_last_extent(+1), "Allocated array has shape"),
    (empty_of_other_dtype, "Buffer dtype mismatch, expected"),
    (empty_read_only, "read-only"),
    (empty_every_other, "contiguous"),
    (empty_flattened, "Buffer has wrong number of dimensions"),
    (lambda shape, dtype: None, "Allocated array has shape (0"),  # a None view reads as empty
]
SUBSTITUTE_IDS = ["one short first", "one short last", "one long last", "other dtype",
                  "read-only", "every other element", "rank 2", "None"]
ARRAY_NAMES = ["sum_l_cs", "sum_cs", "hsum", "prod", "vrow", "row_l_cs", "row_cs"]


@pytest.mark.parametrize("make, message", SUBSTITUTES, ids=SUBSTITUTE_IDS)
@pytest.mark.parametrize("index", range(7), ids=ARRAY_NAMES)
def test_unusable_allocated_array_is_refused(structure_module, rebind_np, index, make,
                                             message):
    """A rebound `np.empty` must never make the passes write outside what it returned."""
    numpy = rebind_np(RecordingNumpy({index: make}))
    planes1, planes2 = pair(20, 2, 9, 17)
    with pytest.raises(ValueError) as info:
        structure_module.ssim_plane_sums(planes1, planes2, taps(20, 3), C1, C2, 2)
    assert message in str(info.value)
    assert_entry(info.value, 77 + index)
    [substituted] = numpy.substituted
    assert substituted is None or (substituted == 7).all()  # never written
    assert len(numpy.empty_calls) == 7 and numpy.alive() == 0


# --- argument buffers are given back --------------------------------------------

def exported(array):
    """A float32 buffer with the contents of `array` that can be released only
    while nobody holds a view of it."""
    array = np.ascontiguousarray(array, dtype=np.float32)
    return memoryview(bytearray(array.tobytes())).cast("f", array.shape)


@pytest.mark.parametrize(
    "shape2, k, num_threads, substitutes, error",
    [((2, 9, 17), 3, 2, {}, None),
     ((2, 9, 16), 3, 2, {}, ValueError),
     ((2, 9, 17), 10, 2, {}, ValueError),
     ((2, 9, 17), 3, -1, {}, ValueError),
     ((2, 9, 17), 3, 2, {5: empty_of_other_dtype}, ValueError)],
    ids=["success", "shape check", "window check", "negative threads", "allocated view"],
)
def test_no_argument_export_is_left_behind(structure_module, rebind_np, shape2, k, num_threads,
                                           substitutes, error):
    rebind_np(RecordingNumpy(substitutes))
    planes1 = exported(pair(21, 2, 9, 17)[0])
    planes2 = exported(np.ones(shape2))
    kernel = exported(taps(21, k))
    if error is None:
        structure_module.ssim_plane_sums(planes1, planes2, kernel, C1, C2, num_threads)
    else:
        with pytest.raises(error):
            structure_module.ssim_plane_sums(planes1, planes2, kernel, C1, C2, num_threads)
    for view in (planes1, planes2, kernel):
        view.release()  # BufferError while a view of it is still held
