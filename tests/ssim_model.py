"""A NumPy model of ``ssim_plane_sums`` that reproduces its bits.

Every float32 step of the kernel is one NumPy element-wise operation here,
which rounds on its own, applied in the kernel's order; every float64 sum is a
strict left-to-right chain starting from 0.0. The model is therefore an exact
oracle, not an approximation: tests compare the module's results with it bit
for bit. It works on whole batches at once, vectorised across planes and rows,
so that planes of about 128 x 128 stay quick.
"""

import numpy as np


def _correlate(windows, taps):
    """The tap-by-tap window sum: taps[0] * s_0, then (s_j * taps[j]) + sum.

    ``windows(j)`` is the array of the samples that tap ``j`` weights.
    """
    total = windows(0) * taps[0]
    for j in range(1, len(taps)):
        total = windows(j) * taps[j] + total
    return total


def _strict_sums(terms):
    """Float64 sums along the last axis, each a left-to-right chain from 0.0.

    ``np.sum`` adds pairwise, and a chain seeded with the first term instead
    of 0.0 would keep a lone -0.0; so the chain is spelled out.
    """
    sums = np.zeros(terms.shape[:-1], dtype=np.float64)
    for index in range(terms.shape[-1]):
        sums = sums + terms[..., index].astype(np.float64)
    return sums


@np.errstate(all="ignore")
def window_moments_model(planes1, planes2, kernel):
    """The horizontal and vertical window sums of the five moments.

    Returns ``(hsum, moments)``: ``hsum`` of shape (5, N, H, W - k + 1) holds
    the rows filtered along the columns, ``moments`` of shape
    (5, N, H - k + 1, W - k + 1) the finished window sums, both in component
    order x, y, x*x, y*y, x*y.
    """
    x = np.asarray(planes1, dtype=np.float32)
    y = np.asarray(planes2, dtype=np.float32)
    taps = np.asarray(kernel, dtype=np.float32)
    out_w = x.shape[2] - len(taps) + 1
    out_h = x.shape[1] - len(taps) + 1
    components = np.stack([x, y, x * x, y * y, x * y])
    hsum = _correlate(lambda j: components[..., j : j + out_w], taps)
    moments = _correlate(lambda j: hsum[..., j : j + out_h, :], taps)
    return hsum, moments


@np.errstate(all="ignore")
def ssim_row_sums_model(planes1, planes2, kernel, c1, c2):
    """Per output row, the sums of lum * cs and of cs: two (N, H - k + 1) arrays."""
    c1 = np.float32(c1)
    c2 = np.float32(c2)
    two = np.float32(2.0)
    mu1, mu2, e11, e22, e12 = window_moments_model(planes1, planes2, kernel)[1]
    mu11 = mu1 * mu1
    mu12 = mu1 * mu2
    mu22 = mu2 * mu2
    lum = (two * mu12 + c1) / ((mu11 + mu22) + c1)
    cs = ((e12 - mu12) * two + c2) / (((e11 - mu11) + (e22 - mu22)) + c2)
    return _strict_sums(lum * cs), _strict_sums(cs)


def ssim_plane_sums_model(planes1, planes2, kernel, c1, c2):
    """What ``ssim_plane_sums`` returns: the per-plane map sums ``(sum_l_cs, sum_cs)``.

    Each is a float64 array of shape (N,), the strict in-order sum of the
    plane's row sums.
    """
    row_l_cs, row_cs = ssim_row_sums_model(planes1, planes2, kernel, c1, c2)
    return _strict_sums(row_l_cs), _strict_sums(row_cs)
