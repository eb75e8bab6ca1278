"""SSIM and multi-scale SSIM of images and batches of images.

The compiled kernel reduces each pair of float32 planes to two map sums; this
module turns images of any layout into such planes and the sums into scores.
"""

import math
from typing import NamedTuple

import numpy as np

from morvane._arguments import (
    data_range_of,
    image_pair,
    integer,
    non_negative_number,
    positive_number,
    thread_count,
)
from morvane.structural._kernel._structure_kernels import ssim_plane_sums

MS_SSIM_WEIGHTS = (0.0448, 0.2856, 0.3001, 0.2363, 0.1333)
# Window taps are whole multiples of 1 / _TAP_UNITS (see gaussian_window).
_TAP_UNITS = 2**24


def ssim(a, b, *, data_range=None, win_size=11, sigma=1.5, k1=0.01, k2=0.03,
         channel_axis=None, num_threads=None):
    """Structural similarity of two images, or of two aligned batches.

    The images have shape ``(..., H, W)``, or carry one more axis of channels
    at ``channel_axis``; leading axes form a batch. Each image pair scores the
    mean, over the "valid" part of the SSIM map (where the window lies inside
    the image), of luminance x contrast-structure, the local statistics being
    weighted by a Gaussian window. Channels are scored apart and averaged.

    :param a, b: Images of one shape and any real dtype.
    :param data_range: Span L of the values the images can take; None takes
        it from an integer dtype (255 for uint8) and is an error for floats.
    :param win_size: Odd number of taps of the window along each axis.
    :param sigma: Standard deviation of the Gaussian window, in pixels.
    :param k1, k2: Stabilising constants, c1 = (k1 L)^2 and c2 = (k2 L)^2.
    :param channel_axis: Axis of colour channels, or None for none.
    :param num_threads: Threads to compute with; None uses every core
        available to the process.
    :return: A float for one image pair, else an array of the batch shape.
    :raises ValueError: If the images differ in shape, are smaller than the
        window, or an argument is out of range.
    :raises TypeError: If the images are not real numbers or an argument is
        of the wrong type.
    """
    images, structure = _prepare(a, b, data_range, win_size, sigma, k1, k2,
                                 channel_axis, num_threads, scales=1)
    mean_ssim, _ = structure.map_means(images.first, images.second)
    return images.per_image(mean_ssim)


def ms_ssim(a, b, *, data_range=None, weights=MS_SSIM_WEIGHTS, win_size=11, sigma=1.5,
            k1=0.01, k2=0.03, channel_axis=None, num_threads=None):
    """Multi-scale structural similarity of two images, or of two aligned batches.

    Scale 1 is the images themselves and each further scale halves them by
    2 x 2 means (an odd last row or column is paired with itself). The score
    is the product over the scales of the mean contrast-structure, and at the
    last scale of the mean SSIM, each clamped at 0 and raised to the scale's
    weight. Layout, channels and the other parameters are those of `ssim`.

    :param weights: One exponent per scale; their number sets the scales.
    :return: A float for one image pair, else an array of the batch shape.
    :raises ValueError: Where `ssim` does, and if a side of the images is
        too short for the window at the last scale; the message names the
        shortest side allowed.
    """
    exponents = _scale_weights(weights)
    images, structure = _prepare(a, b, data_range, win_size, sigma, k1, k2,
                                 channel_axis, num_threads, scales=len(exponents))
    planes1, planes2 = images.first, images.second
    last_scale = len(exponents) - 1
    factors = []
    for scale in range(last_scale + 1):
        if scale > 0:
            planes1, planes2 = _halve(planes1), _halve(planes2)
        mean_ssim, mean_cs = structure.map_means(planes1, planes2)
        factors.append(mean_ssim if scale == last_scale else mean_cs)
    # A negative similarity has no real fractional power: it counts as 0.
    powers = np.maximum(np.array(factors), 0.0) ** exponents[:, np.newaxis]
    return images.per_image(np.prod(powers, axis=0))


def gaussian_window(win_size, sigma):
    """The one-dimensional SSIM window: `win_size` float32 taps of a Gaussian
    of standard deviation `sigma` that sum to exactly 1.

    A window whose taps sum to 1 + e estimates every variance about
    2e mean^2 too low; with e at float32's rounding error that alone shifts
    the scores of bright, smooth images by several 1e-6. So the taps are
    rounded to multiples of 2**-24, exact in float32, and the centre tap
    takes up the remainder.
    """
    offsets = np.arange(win_size) - (win_size - 1) / 2
    weights = np.exp(-0.5 * (offsets / sigma) ** 2)
    units = np.round(weights / weights.sum() * _TAP_UNITS)
    units[win_size // 2] += _TAP_UNITS - units.sum()
    return (units / _TAP_UNITS).astype(np.float32)


class _ImagePlanes(NamedTuple):
    """Two image batches laid out as aligned float32 planes."""

    first: np.ndarray  # (N, H, W), C-contiguous float32
    second: np.ndarray
    # The leading axes of the images followed by the channel axis (extent 1
    # without channels): one plane per element, in C order.
    plane_grid: tuple

    def per_image(self, plane_values):
        """Per-plane values averaged over channels; a float for a single image."""
        values = plane_values.reshape(self.plane_grid).mean(axis=-1)
        return float(values) if values.ndim == 0 else values


class _StructureKernel(NamedTuple):
    """The arguments of `ssim_plane_sums` other than the planes."""

    window: np.ndarray  # float32 taps
    c1: float
    c2: float
    num_threads: int

    def map_means(self, planes1, planes2):
        """Per plane pair, the map means of luminance x contrast-structure and
        of contrast-structure."""
        taps = len(self.window)
        height, width = planes1.shape[1:]
        sum_ssim, sum_cs = ssim_plane_sums(planes1, planes2, self.window,
                                           self.c1, self.c2, self.num_threads)
        map_pixels = (height - taps + 1) * (width - taps + 1)
        return sum_ssim / map_pixels, sum_cs / map_pixels


def _prepare(a, b, data_range, win_size, sigma, k1, k2, channel_axis, num_threads, scales):
    """Checks the arguments shared by `ssim` and `ms_ssim` and sets up the kernel call."""
    a, b = image_pair(a, b)
    peak = data_range_of(data_range, a, b)
    win_size = integer("win_size", win_size)
    if win_size < 1 or win_size % 2 == 0:
        raise ValueError(f"win_size must be odd and positive, got {win_size}.")
    # The kernel squares pixels in float32, which overflows above 1.8e19 and
    # loses everything below 1e-19. Images and constants are therefore
    # measured in units of a power of two that brings the data range into
    # [0.5, 1): a change of unit that changes no rounding.
    unit = 2.0 ** math.frexp(peak)[1]
    images = _image_planes(a, b, channel_axis, unit)
    _check_image_size(*images.first.shape[1:], win_size, scales)
    window = gaussian_window(win_size, positive_number("sigma", sigma))
    c1 = (non_negative_number("k1", k1) * peak / unit) ** 2
    c2 = (non_negative_number("k2", k2) * peak / unit) ** 2
    return images, _StructureKernel(window, c1, c2, thread_count(num_threads))


def _check_image_size(height, width, win_size, scales):
    """Raises unless the window fits images of height x width at the last
    of `scales` scales."""
    # Halving leaves ceil(side / 2) pixels, so the last scale has
    # ceil(side / 2**(scales - 1)), which reaches win_size from this side on.
    shortest = (win_size - 1) * 2 ** (scales - 1) + 1
    if min(height, width) >= shortest:
        return
    if scales == 1:
        raise ValueError(f"Images of size {height}x{width} are smaller than the "
                         f"{win_size}x{win_size} window.")
    raise ValueError(
        f"Images of size {height}x{width} are too small for MS-SSIM with {scales} "
        f"scales and the {win_size}x{win_size} window: both sides must be at least "
        f"{shortest} pixels."
    )


def _image_planes(a, b, channel_axis, unit):
    """Float32 planes, in multiples of `unit`, of two same-shaped images, with
    channels moved next to the rows."""
    if channel_axis is None:
        if a.ndim < 2:
            raise ValueError(f"Images must have at least 2 axes (height, width), "
                             f"got shape {a.shape}.")
        a, b = a[..., np.newaxis, :, :], b[..., np.newaxis, :, :]
    else:
        axis = _axis_index(channel_axis, a.shape)
        if a.shape[axis] == 0:
            raise ValueError(f"Images have no channels along axis {channel_axis}, "
                             f"got shape {a.shape}.")
        a, b = np.moveaxis(a, axis, -3), np.moveaxis(b, axis, -3)
    plane_grid = a.shape[:-2]
    plane_shape = (math.prod(plane_grid), *a.shape[-2:])
    scale = np.float32(1 / unit)
    # order="C": a ufunc would otherwise lay its result out like its input,
    # and the kernel reads C-contiguous planes only.
    return _ImagePlanes(np.multiply(a.reshape(plane_shape), scale, dtype=np.float32, order="C"),
                        np.multiply(b.reshape(plane_shape), scale, dtype=np.float32, order="C"),
                        plane_grid)


def _axis_index(channel_axis, shape):
    """`channel_axis` as an index from 0, leaving height and width after it."""
    axis = integer("channel_axis", channel_axis)
    if len(shape) < 3:
        raise ValueError(f"Images with a channel axis must have at least 3 axes, "
                         f"got shape {shape}.")
    if not -len(shape) <= axis < len(shape):
        raise ValueError(f"channel_axis {axis} is out of range for images of shape {shape}.")
    return axis % len(shape)


def _scale_weights(weights):
    """The MS-SSIM exponents as a float64 array of at least one scale."""
    try:
        exponents = np.asarray(weights, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"weights must be a sequence of numbers, got {weights!r}.") from None
    if exponents.ndim != 1 or exponents.size == 0:
        raise ValueError(f"weights must be a non-empty sequence of numbers, got {weights!r}.")
    if not np.all(np.isfinite(exponents) & (exponents >= 0)):
        raise ValueError(f"weights must be finite and at least 0, got {weights!r}.")
    return exponents


def _halve(planes):
    """The 2 x 2 means of (N, H, W) float32 planes.

    An odd last row or column is mirrored about the edge, i.e. paired with
    itself, so the halves have ceil(H / 2) x ceil(W / 2) pixels.
    """
    height, width = planes.shape[1:]
    padded = np.pad(planes, ((0, 0), (0, height % 2), (0, width % 2)), mode="edge")
    row_pairs = padded[:, 0::2] + padded[:, 1::2]
    quads = row_pairs[:, :, 0::2] + row_pairs[:, :, 1::2]
    return np.ascontiguousarray(quads * np.float32(0.25))
