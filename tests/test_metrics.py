"""The Python metrics against scikit-image, a float64 model, and their own contracts."""

import math

import numpy as np
import pytest
from skimage.metrics import peak_signal_noise_ratio, structural_similarity

import morvane
from morvane.pixelwise import psnr as psnr_module
from morvane.structural import ssim as ssim_module

SSIM_TOLERANCE = 1e-5
PSNR_TOLERANCE = 1e-9


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)


def smooth_image(rng, shape):
    """Float64 values in [0.1, 0.9]: slow waves in random directions, so the
    local variances are small next to the squared means."""
    height, width = shape[-2:]
    y, x = np.mgrid[0:height, 0:width] / max(height, width)
    waves = np.zeros(shape)
    for _ in range(3):
        fy, fx, phase = rng.uniform(0.5, 3, size=3)
        waves = waves + np.sin(2 * np.pi * (fy * y + fx * x) + phase)
    return 0.5 + 0.4 * waves / 3


def noisy_copy(rng, image, noise):
    return np.clip(image + rng.normal(0.0, noise, image.shape), 0.0, 1.0)


def as_integers(image, dtype):
    return np.round(image * np.iinfo(dtype).max).astype(dtype)


def skimage_ssim(a, b, data_range, **options):
    return structural_similarity(a, b, gaussian_weights=True, use_sample_covariance=False,
                                 data_range=data_range, **{"sigma": 1.5, **options})


def random_pair(rng):
    """Random uint8 pixels and a copy shifted by one column."""
    a = rng.integers(0, 256, size=(41, 67), dtype=np.uint8)
    return a, np.roll(a, 1, axis=1)


def smooth_pair(rng, dtype, distortion):
    """A smooth image and a distorted copy, as floats in [0, 1] or spanning
    an integer dtype."""
    a = smooth_image(rng, (96, 120))
    b = noisy_copy(rng, a, 0.01) if distortion == "noise" else 0.98 * a + 0.01
    return (a, b) if dtype is None else (as_integers(a, dtype), as_integers(b, dtype))


# (images from rng, data_range given to morvane, data_range given to skimage)
SKIMAGE_CASES = {
    "random uint8": (random_pair, None, 255),
    "smooth float64, noise": (lambda rng: smooth_pair(rng, None, "noise"), 1.0, 1.0),
    "smooth float64, affine": (lambda rng: smooth_pair(rng, None, "affine"), 1.0, 1.0),
    "smooth uint8, noise": (lambda rng: smooth_pair(rng, np.uint8, "noise"), None, 255),
    "smooth uint8, affine": (lambda rng: smooth_pair(rng, np.uint8, "affine"), None, 255),
    "smooth uint16, affine": (lambda rng: smooth_pair(rng, np.uint16, "affine"), None, 65535),
    "float32 in [-1, 1]": (lambda rng: tuple(
        (2 * image - 1).astype(np.float32) for image in smooth_pair(rng, None, "noise")), 2.0, 2.0),
}


# -------------------------------------------------------------------- SSIM --

@pytest.mark.parametrize("case", SKIMAGE_CASES.values(), ids=SKIMAGE_CASES.keys())
def test_ssim_matches_skimage(rng, case):
    make_images, data_range, reference_range = case
    a, b = make_images(rng)
    # Float64 copies, as skimage would keep float32 images in float32.
    expected = skimage_ssim(a.astype(np.float64), b.astype(np.float64), reference_range)
    assert morvane.ssim(a, b, data_range=data_range) == pytest.approx(expected, abs=SSIM_TOLERANCE)


@pytest.mark.parametrize("parameters, skimage_parameters", [
    # With Gaussian weights skimage cuts its window at 3.5 sigma: these
    # (win_size, sigma) pairs are windows both libraries build alike.
    ({"win_size": 9, "sigma": 1.0}, {"win_size": 9, "sigma": 1.0}),
    ({"win_size": 15, "sigma": 2.0}, {"win_size": 15, "sigma": 2.0}),
    ({"k1": 0.02, "k2": 0.05}, {"K1": 0.02, "K2": 0.05}),
])
def test_ssim_window_and_constants_match_skimage(rng, parameters, skimage_parameters):
    a = as_integers(smooth_image(rng, (64, 70)), np.uint8)
    b = np.clip(a + rng.normal(0, 12, a.shape), 0, 255).astype(np.uint8)
    expected = skimage_ssim(a, b, 255, **skimage_parameters)
    assert morvane.ssim(a, b, **parameters) == pytest.approx(expected, abs=SSIM_TOLERANCE)


@pytest.mark.parametrize("shape, channel_axis", [
    ((3, 40, 50), None),
    ((2, 2, 33, 35), None),
    ((40, 50, 3), -1),
    ((2, 3, 40, 50), 1),
    ((2, 40, 50, 4), 3),
    ((3, 40, 2, 50), 2),
])
def test_ssim_scores_each_image_of_a_batch_and_averages_channels(rng, shape, channel_axis):
    a = rng.integers(0, 256, size=shape, dtype=np.uint8)
    b = np.clip(a + rng.normal(0, 20, shape), 0, 255).astype(np.uint8)
    if channel_axis is None:
        batch_a, batch_b = a, b
    else:
        batch_a, batch_b = np.moveaxis(a, channel_axis, -1), np.moveaxis(b, channel_axis, -1)
    image_axes = 2 if channel_axis is None else 3
    batch_shape = batch_a.shape[:-image_axes]
    expected = np.empty(batch_shape)
    for index in np.ndindex(batch_shape):
        expected[index] = skimage_ssim(batch_a[index], batch_b[index], 255,
                                       channel_axis=None if channel_axis is None else -1)

    result = morvane.ssim(a, b, channel_axis=channel_axis)

    if batch_shape:
        assert isinstance(result, np.ndarray) and result.shape == batch_shape
    else:
        assert isinstance(result, float)
    np.testing.assert_allclose(result, expected, rtol=0, atol=SSIM_TOLERANCE)


@pytest.mark.parametrize("win_size, sigma", [(11, 1.5), (7, 1.0), (1, 1.5), (31, 0.5), (9, 100.0)])
def test_gaussian_window_is_a_symmetric_gaussian_summing_to_exactly_one(win_size, sigma):
    # Taps that miss 1 bias every variance estimate by a share of the mean squared.
    window = ssim_module.gaussian_window(win_size, sigma)
    assert window.dtype == np.float32
    assert math.fsum(window.tolist()) == 1.0
    np.testing.assert_array_equal(window, window[::-1])
    offsets = np.arange(win_size) - win_size // 2
    gaussian = np.exp(-0.5 * (offsets / sigma) ** 2)
    np.testing.assert_allclose(window, gaussian / gaussian.sum(), rtol=0, atol=1e-7)


@pytest.mark.parametrize("dtype, data_range", [
    (np.uint8, 255), (np.uint16, 65535), (np.int8, 255), (np.int16, 65535), (np.bool_, 1),
])
def test_ssim_takes_the_data_range_from_an_integer_dtype(rng, dtype, data_range):
    if dtype is np.bool_:
        a = rng.random((30, 30)) < 0.5
    else:
        limits = np.iinfo(dtype)
        a = rng.integers(limits.min, limits.max, size=(30, 30), endpoint=True, dtype=dtype)
    b = np.flipud(a)
    assert morvane.ssim(a, b) == morvane.ssim(a.astype(np.float64), b.astype(np.float64),
                                              data_range=data_range)


@pytest.mark.parametrize("unit", [1e-22, 1e-12, 1e12, 1e22])
def test_ssim_does_not_depend_on_the_unit_of_float_images(rng, unit):
    # Squares of pixels in these units underflow or overflow float32.
    a = smooth_image(rng, (40, 40))
    b = noisy_copy(rng, a, 0.05)
    expected = morvane.ssim(a, b, data_range=1.0)
    assert morvane.ssim(a * unit, b * unit, data_range=unit) == pytest.approx(expected, abs=1e-6)


def test_ssim_of_an_empty_batch_is_an_empty_array():
    images = np.zeros((0, 16, 16), dtype=np.uint8)
    result = morvane.ssim(images, images)
    assert isinstance(result, np.ndarray) and result.shape == (0,)


# ----------------------------------------------------------------- MS-SSIM --

def valid_window_mean(image, window):
    """Separable float64 correlation of a 2-D image, keeping only the pixels
    whose window lies inside the image."""
    rows = np.lib.stride_tricks.sliding_window_view(image, len(window), axis=0) @ window
    return np.lib.stride_tricks.sliding_window_view(rows, len(window), axis=1) @ window


def halved(image):
    """2 x 2 means, the missing partner of an odd last row or column being
    its mirror image about the edge."""
    height, width = image.shape
    padded = np.pad(image, ((0, height % 2), (0, width % 2)), mode="symmetric")
    return padded.reshape(len(padded) // 2, 2, -1, 2).mean(axis=(1, 3))


def ms_ssim_model(x, y, data_range, weights, win_size=11, sigma=1.5, k1=0.01, k2=0.03):
    """Float64 MS-SSIM of two 2-D images."""
    offsets = np.arange(win_size) - win_size // 2
    window = np.exp(-0.5 * (offsets / sigma) ** 2)
    window /= window.sum()
    c1, c2 = (k1 * data_range) ** 2, (k2 * data_range) ** 2
    x, y = x.astype(np.float64), y.astype(np.float64)
    score = 1.0
    for scale, weight in enumerate(weights):
        if scale:
            x, y = halved(x), halved(y)
        mu_x, mu_y = valid_window_mean(x, window), valid_window_mean(y, window)
        var_x = valid_window_mean(x * x, window) - mu_x**2
        var_y = valid_window_mean(y * y, window) - mu_y**2
        covariance = valid_window_mean(x * y, window) - mu_x * mu_y
        similarity = (2 * covariance + c2) / (var_x + var_y + c2)
        if scale == len(weights) - 1:
            similarity = similarity * (2 * mu_x * mu_y + c1) / (mu_x**2 + mu_y**2 + c1)
        score *= max(similarity.mean(), 0.0) ** weight
    return score


@pytest.mark.parametrize("shape, noise", [
    ((161, 161), 0.02),  # the smallest images five scales take
    ((173, 190), 0.05),  # odd sides at several scales
    ((256, 201), 0.2),
])
def test_ms_ssim_matches_a_float64_model(rng, shape, noise):
    a = as_integers(smooth_image(rng, shape), np.uint8)
    b = as_integers(noisy_copy(rng, a / 255, noise), np.uint8)
    expected = ms_ssim_model(a, b, 255, ssim_module.MS_SSIM_WEIGHTS)
    assert morvane.ms_ssim(a, b) == pytest.approx(expected, abs=SSIM_TOLERANCE)


def test_ms_ssim_with_other_scales_window_and_float_data_matches_the_model(rng):
    a = smooth_image(rng, (2, 3, 53, 47))
    b = noisy_copy(rng, a, 0.1)
    weights = (0.2, 0.3, 0.5)
    per_channel = [[ms_ssim_model(a[n, c], b[n, c], 1.0, weights, win_size=7, sigma=1.0)
                    for c in range(3)] for n in range(2)]
    result = morvane.ms_ssim(a, b, data_range=1.0, weights=weights, win_size=7, sigma=1.0,
                             channel_axis=1)
    np.testing.assert_allclose(result, np.mean(per_channel, axis=1), rtol=0, atol=SSIM_TOLERANCE)


def test_ms_ssim_counts_negative_similarity_as_zero(rng):
    a = rng.integers(0, 256, size=(170, 170), dtype=np.uint8)
    inverted = 255 - a
    assert ms_ssim_model(a, inverted, 255, ssim_module.MS_SSIM_WEIGHTS) == 0.0
    assert morvane.ms_ssim(a, inverted) == 0.0


@pytest.mark.parametrize("size, weights, win_size, smallest", [
    (160, ssim_module.MS_SSIM_WEIGHTS, 11, 161),
    (24, (0.5, 0.25, 0.25), 7, 25),
    (20, (0.5, 0.5), 11, 21),
])
def test_ms_ssim_names_the_smallest_image_it_takes(rng, size, weights, win_size, smallest):
    small = rng.integers(0, 256, size=(size, size + 40), dtype=np.uint8)
    with pytest.raises(ValueError, match=f"both sides must be at least {smallest} pixels"):
        morvane.ms_ssim(small, small, weights=weights, win_size=win_size)
    large = rng.integers(0, 256, size=(smallest, smallest), dtype=np.uint8)
    assert morvane.ms_ssim(large, large, weights=weights, win_size=win_size) == 1.0


# ------------------------------------------------ shared contracts of SSIM --

def test_identical_images_score_exactly_one_and_infinite_psnr(rng):
    image = rng.integers(0, 256, size=(2, 170, 180, 3), dtype=np.uint8)
    np.testing.assert_array_equal(morvane.ssim(image, image, channel_axis=-1), 1.0)
    np.testing.assert_array_equal(morvane.ms_ssim(image, image, channel_axis=-1), 1.0)
    assert morvane.psnr(image, image) == math.inf
    np.testing.assert_array_equal(morvane.psnr_matrix(image, image).diagonal(), math.inf)


def test_one_scale_ms_ssim_is_ssim(rng):
    a = rng.integers(0, 256, size=(3, 50, 60), dtype=np.uint8)
    b = np.clip(a + rng.normal(0, 30, a.shape), 0, 255).astype(np.uint8)
    np.testing.assert_array_equal(morvane.ms_ssim(a, b, weights=[1.0]), morvane.ssim(a, b))


def test_scores_do_not_depend_on_the_thread_count(rng):
    a = rng.integers(0, 256, size=(3, 170, 181), dtype=np.uint8)
    b = np.clip(a + rng.normal(0, 25, a.shape), 0, 255).astype(np.uint8)
    runs = [(morvane.ssim(a, b, num_threads=threads), morvane.ms_ssim(a, b, num_threads=threads),
             morvane.psnr_matrix(a, b, num_threads=threads)) for threads in (1, 2, 5)]
    for run in runs[1:]:
        for result, first in zip(run, runs[0]):
            np.testing.assert_array_equal(result, first)


def test_default_thread_count_is_the_cores_the_process_may_use(rng, monkeypatch):
    requested = []

    def recording(kernel):
        def call(*arguments):
            requested.append(arguments[-1])
            return kernel(*arguments)
        return call

    monkeypatch.setattr("os.sched_getaffinity", lambda pid: {0, 3, 5})
    monkeypatch.setattr(ssim_module, "ssim_plane_sums", recording(ssim_module.ssim_plane_sums))
    monkeypatch.setattr(psnr_module, "ssd_matrix", recording(psnr_module.ssd_matrix))
    images = rng.integers(0, 256, size=(2, 170, 170), dtype=np.uint8)
    morvane.ssim(images, images)
    morvane.ms_ssim(images, images)
    morvane.psnr_matrix(images, images)
    assert requested == [3] * 7


# -------------------------------------------------------------------- PSNR --

@pytest.mark.parametrize("dtype, data_range", [
    (np.uint8, None), (np.uint16, None), (np.float64, 1.0), (np.float64, 2.5), (np.uint8, 100),
])
def test_psnr_matches_skimage(rng, dtype, data_range):
    image = smooth_image(rng, (3, 37, 41))
    a, b = image, noisy_copy(rng, image, 0.03)
    if dtype is not np.float64:
        a, b = as_integers(a, dtype), as_integers(b, dtype)
    expected = peak_signal_noise_ratio(a, b, data_range=data_range)
    assert morvane.psnr(a, b, data_range=data_range) == pytest.approx(expected, abs=PSNR_TOLERANCE)


def test_psnr_of_float32_images_is_computed_in_float64(rng):
    a = smooth_image(rng, (40, 40)).astype(np.float32)
    b = noisy_copy(rng, a, 0.01).astype(np.float32)
    expected = peak_signal_noise_ratio(a.astype(np.float64), b.astype(np.float64), data_range=1.0)
    assert morvane.psnr(a, b, data_range=1.0) == pytest.approx(expected, abs=PSNR_TOLERANCE)


@pytest.mark.parametrize("make_batches", [
    lambda images: (images[:3], images[3:]),
    lambda images: (images[:3].transpose(0, 2, 1, 3), images[3:].transpose(0, 2, 1, 3)),
    lambda images: (images[::2, ::2], images[1::2, ::2]),
    lambda images: (images[:3, ..., 0], images[3:, ..., 0]),
], ids=["contiguous", "transposed", "strided", "one channel"])
def test_psnr_matrix_holds_the_psnr_of_every_pair(rng, make_batches):
    images = rng.integers(0, 256, size=(7, 12, 10, 3), dtype=np.uint8)
    images[5] = images[1]
    batch1, batch2 = make_batches(images)
    result = morvane.psnr_matrix(batch1, batch2, data_range=200)
    assert result.shape == (len(batch1), len(batch2)) and result.dtype == np.float64
    for i, j in np.ndindex(result.shape):
        assert result[i, j] == pytest.approx(morvane.psnr(batch1[i], batch2[j], data_range=200),
                                             abs=PSNR_TOLERANCE)


def test_psnr_matrix_of_an_empty_batch_is_empty(rng):
    images = rng.integers(0, 256, size=(4, 8, 8), dtype=np.uint8)
    assert morvane.psnr_matrix(images[:0], images).shape == (0, 4)
    assert morvane.psnr_matrix(images, images[:0]).shape == (4, 0)


# ------------------------------------------------------------------ errors --

IMAGE = np.zeros((20, 20), dtype=np.uint8)
FLOATS = np.zeros((20, 20))
LARGE = np.zeros((170, 170), dtype=np.uint8)


@pytest.mark.parametrize("call, error, message", [
    # images
    (lambda: morvane.ssim(IMAGE, IMAGE[:, :19]), ValueError,
     r"same shape, got \(20, 20\) vs \(20, 19\)"),
    (lambda: morvane.ssim(IMAGE[:8], IMAGE[:8]), ValueError,
     "Images of size 8x20 are smaller than the 11x11 window"),
    (lambda: morvane.ssim(IMAGE[0], IMAGE[0]), ValueError, "at least 2 axes"),
    # checked before the window is built, which would not fit in memory
    (lambda: morvane.ssim(IMAGE, IMAGE, win_size=2**40 + 1), ValueError,
     "smaller than the 1099511627777x1099511627777 window"),
    (lambda: morvane.ms_ssim(IMAGE, IMAGE, weights=[1.0] * 1000), ValueError,
     "too small for MS-SSIM with 1000 scales"),
    (lambda: morvane.ssim(IMAGE.astype(complex), IMAGE.astype(complex), data_range=1),
     TypeError, "real dtype, got complex128"),
    (lambda: morvane.ssim(IMAGE.astype(object), IMAGE.astype(object), data_range=1),
     TypeError, "real dtype"),
    (lambda: morvane.ssim(IMAGE, IMAGE.astype(np.uint16)), ValueError, "different dtypes"),
    # data range
    (lambda: morvane.ssim(FLOATS, FLOATS), ValueError, "must specify data_range"),
    (lambda: morvane.ssim(FLOATS, FLOATS, data_range=float("nan")), ValueError, "data_range"),
    (lambda: morvane.ssim(FLOATS, FLOATS, data_range=float("inf")), ValueError, "data_range"),
    (lambda: morvane.ssim(FLOATS, FLOATS, data_range=0), ValueError, "data_range"),
    (lambda: morvane.ssim(FLOATS, FLOATS, data_range=-1.0), ValueError, "data_range"),
    (lambda: morvane.ssim(FLOATS, FLOATS, data_range="1"), TypeError, "data_range"),
    # window and constants
    (lambda: morvane.ssim(IMAGE, IMAGE, win_size=10), ValueError, "win_size must be odd"),
    (lambda: morvane.ssim(IMAGE, IMAGE, win_size=-3), ValueError, "win_size must be odd"),
    (lambda: morvane.ssim(IMAGE, IMAGE, win_size=7.0), TypeError, "win_size must be an integer"),
    (lambda: morvane.ssim(IMAGE, IMAGE, sigma=0), ValueError, "sigma"),
    (lambda: morvane.ssim(IMAGE, IMAGE, sigma=float("nan")), ValueError, "sigma"),
    (lambda: morvane.ssim(IMAGE, IMAGE, k1=-0.01), ValueError, "k1"),
    (lambda: morvane.ssim(IMAGE, IMAGE, k2=None), TypeError, "k2"),
    # channels
    (lambda: morvane.ssim(IMAGE, IMAGE, channel_axis=-1), ValueError, "at least 3 axes"),
    (lambda: morvane.ssim(IMAGE[None], IMAGE[None], channel_axis=3), ValueError,
     "channel_axis 3 is out of range"),
    (lambda: morvane.ssim(IMAGE[None], IMAGE[None], channel_axis=0.0), TypeError, "channel_axis"),
    (lambda: morvane.ssim(IMAGE[..., None, :0], IMAGE[..., None, :0], channel_axis=-1), ValueError,
     "no channels"),
    # threads
    (lambda: morvane.ssim(IMAGE, IMAGE, num_threads=0), ValueError,
     "num_threads must be positive, got 0"),
    (lambda: morvane.psnr_matrix(IMAGE, IMAGE, num_threads=-2), ValueError,
     "num_threads must be positive, got -2"),
    (lambda: morvane.ssim(IMAGE, IMAGE, num_threads=1.5), TypeError, "num_threads"),
    # MS-SSIM weights
    (lambda: morvane.ms_ssim(LARGE, LARGE, weights=()), ValueError, "non-empty"),
    (lambda: morvane.ms_ssim(LARGE, LARGE, weights=[[0.5, 0.5]]), ValueError, "non-empty"),
    (lambda: morvane.ms_ssim(LARGE, LARGE, weights=(0.5, -0.5)), ValueError, "at least 0"),
    (lambda: morvane.ms_ssim(LARGE, LARGE, weights=(0.5, math.nan)), ValueError, "finite"),
    (lambda: morvane.ms_ssim(LARGE, LARGE, weights=("a", "b")), TypeError, "weights"),
    # PSNR
    (lambda: morvane.psnr(IMAGE, IMAGE.T[:3]), ValueError, "same shape"),
    (lambda: morvane.psnr(IMAGE[:0], IMAGE[:0]), ValueError, "no pixels"),
    (lambda: morvane.psnr(FLOATS, FLOATS), ValueError, "must specify data_range"),
    (lambda: morvane.psnr_matrix(IMAGE.astype(np.int16), IMAGE), TypeError,
     "batch1 must be a uint8 array, got dtype int16"),
    (lambda: morvane.psnr_matrix(IMAGE, FLOATS), TypeError, "batch2 must be a uint8 array"),
    (lambda: morvane.psnr_matrix(IMAGE[0], IMAGE[0]), ValueError, r"shape \(N, \.\.\.\)"),
    (lambda: morvane.psnr_matrix(IMAGE.reshape(4, 10, 10), IMAGE.reshape(4, 100)), ValueError,
     r"same shape, got \(10, 10\) vs \(100,\)"),
    (lambda: morvane.psnr_matrix(IMAGE[:, :0], IMAGE[:, :0]), ValueError, "no pixels"),
    (lambda: morvane.psnr_matrix(IMAGE, IMAGE, data_range=math.nan), ValueError, "data_range"),
])
def test_bad_arguments_raise_an_explanation(call, error, message):
    with pytest.raises(error, match=message):
        call()
