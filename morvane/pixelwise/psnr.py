"""Peak signal-to-noise ratio of one image pair, or of every pair of two batches."""

import math

import numpy as np

from morvane._arguments import data_range_of, image_pair, thread_count
from morvane.pixelwise._kernel._difference_kernel import ssd_matrix


def psnr(a, b, *, data_range=None):
    """Peak signal-to-noise ratio of two images, in decibels.

    ``10 log10(L^2 / MSE)`` with the mean squared error taken in float64
    over every element of the pair; +inf for identical images.

    :param a, b: Images of one shape and any real dtype.
    :param data_range: Span L of the values the images can take; None takes
        it from an integer dtype (255 for uint8) and is an error for floats.
    """
    a, b = image_pair(a, b)
    if a.size == 0:
        raise ValueError(f"Images have no pixels, got shape {a.shape}.")
    peak = data_range_of(data_range, a, b)
    errors = a.astype(np.float64) - b.astype(np.float64)
    return float(_decibels(peak, np.mean(errors * errors)))


def psnr_matrix(batch1, batch2, *, data_range=255, num_threads=None):
    """PSNR, in decibels, of every image of one uint8 batch against every
    image of another.

    :param batch1: ``(N, ...)`` uint8 array of N images.
    :param batch2: ``(M, ...)`` uint8 array of M images shaped like those of
        ``batch1``.
    :param data_range: Span L of the pixel values; None means 255.
    :param num_threads: Threads to compute with; None uses every core
        available to the process.
    :return: The ``(N, M)`` float64 matrix; entry ``[i, j]`` compares image i
        of ``batch1`` with image j of ``batch2`` and is +inf where they are equal.
    """
    batch1 = _uint8_batch("batch1", batch1)
    batch2 = _uint8_batch("batch2", batch2)
    image_shape = batch1.shape[1:]
    if image_shape != batch2.shape[1:]:
        raise ValueError(f"Images of batch1 and batch2 must have the same shape, "
                         f"got {image_shape} vs {batch2.shape[1:]}.")
    pixels = math.prod(image_shape)
    if pixels == 0:
        raise ValueError(f"Images have no pixels, got shape {image_shape}.")
    peak = data_range_of(data_range, batch1, batch2)
    ssd = ssd_matrix(_as_rows(batch1, pixels), _as_rows(batch2, pixels),
                     thread_count(num_threads))
    return _decibels(peak, ssd / pixels)


def _uint8_batch(name, batch):
    """`batch` as a uint8 array with a batch axis and at least one image axis."""
    batch = np.asarray(batch)
    if batch.dtype != np.uint8:
        raise TypeError(f"{name} must be a uint8 array, got dtype {batch.dtype}.")
    if batch.ndim < 2:
        raise ValueError(f"{name} must have shape (N, ...) with at least one axis per "
                         f"image, got shape {batch.shape}.")
    return batch


def _as_rows(batch, pixels):
    """The batch as the C-contiguous (N, P) rows the kernel reads; a copy only
    when the images cannot be viewed that way."""
    return np.ascontiguousarray(batch.reshape(len(batch), pixels))


def _decibels(peak, mean_squared_error):
    """10 log10(L^2 / MSE), +inf where the error is 0."""
    with np.errstate(divide="ignore"):
        return 10 * np.log10(peak**2 / mean_squared_error)
