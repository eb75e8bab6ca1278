"""The ``morvane`` command: scores two image files, or runs a built-in example.

    morvane IMAGE1 IMAGE2   print SSIM, MS-SSIM and PSNR of two image files
    morvane                 score a synthetic image against a distorted copy
                            and time the compiled kernels
"""

import argparse
import math
import sys
import time

import numpy as np

import morvane
from morvane._arguments import thread_count
from morvane.pixelwise._kernel import _difference_kernel
from morvane.structural._kernel import _structure_kernels
from morvane.structural.ssim import gaussian_window

DEMO_SIZE = 512
TIMING_REPEATS = 3


def main(argv=None):
    """Runs the command on `argv` (default: the process arguments); returns the exit status."""
    parser = argparse.ArgumentParser(
        prog="morvane",
        description="Print SSIM, MS-SSIM and PSNR of two images. Without "
                    "arguments, run on a built-in example and time the kernels.",
    )
    parser.add_argument("images", nargs="*", metavar="IMAGE",
                        help="two image files of the same size")
    paths = parser.parse_args(argv).images
    if len(paths) not in (0, 2):
        parser.error(f"expected two image files or none, got {len(paths)}")
    if not paths:
        run_demo()
        return 0
    try:
        first, second = (read_image(path) for path in paths)
        print_scores(first, second)
    except (ImportError, OSError, ValueError) as error:
        print(f"morvane: error: {error}", file=sys.stderr)
        return 1
    return 0


def read_image(path):
    """The pixels of an image file as a (H, W) or (H, W, 3) integer array.

    8-bit grey and RGB and 16-bit grey samples are kept as stored; other
    8-bit modes (bilevel, palette, with alpha, CMYK, ...) are converted to
    grey or RGB. 32-bit samples are refused: Pillow would clip them to 8 bits.
    """
    try:
        from PIL import Image
    except ImportError:
        raise ImportError("reading image files needs Pillow; install it with "
                          "pip install 'morvane[images]'") from None
    with Image.open(path) as image:
        if image.mode in ("I", "F"):
            raise ValueError(f"{path}: images of 32-bit samples (mode {image.mode}) "
                             "are not supported")
        if image.mode.startswith("I;16"):
            # Native byte order, so that big- and little-endian files compare.
            return np.asarray(image).astype(np.uint16)
        if image.mode not in ("L", "RGB"):
            image = image.convert("L" if image.mode in ("1", "LA", "La") else "RGB")
        return np.asarray(image)


def print_scores(first, second):
    """Prints SSIM, MS-SSIM and PSNR of two integer (H, W) or (H, W, C) images."""
    channel_axis = -1 if first.ndim == 3 else None
    print(f"SSIM     {morvane.ssim(first, second, channel_axis=channel_axis):.6f}")
    try:
        print(f"MS-SSIM  {morvane.ms_ssim(first, second, channel_axis=channel_axis):.6f}")
    except ValueError as error:
        # Small images still have SSIM and PSNR; say why this one is missing.
        print(f"MS-SSIM  n/a ({error})")
    print(f"PSNR     {morvane.psnr(first, second):.4f} dB")


def run_demo():
    """Scores the built-in pair, then prints each kernel's throughput."""
    reference, distorted = demo_pair()
    print(f"morvane {morvane.__version__}: a {DEMO_SIZE}x{DEMO_SIZE} test pattern "
          "against a blurred, noisy copy")
    print_scores(reference, distorted)
    threads = thread_count(None)
    print(f"\nKernel throughput with num_threads={threads}:")
    time_structure_kernel(reference, distorted, threads)
    time_difference_kernel(np.random.default_rng(11), threads)


def demo_pair():
    """The built-in example: a structured uint8 image and a distorted copy,
    the same on every run."""
    reference = structured_image(DEMO_SIZE)
    return reference, distort(reference, np.random.default_rng(7))


def structured_image(size):
    """A deterministic uint8 image with smooth ramps, rings of rising frequency
    and sharp edges: structure at every scale SSIM looks at."""
    y, x = np.mgrid[0:size, 0:size] / size
    ramps = 0.45 * x + 0.25 * y
    radius = np.hypot(x - 0.5, y - 0.5)
    rings = 0.2 * np.cos(2 * np.pi * 60 * radius**2) * (radius < 0.45)
    checkers = 0.25 * (((x * 16).astype(int) + (y * 16).astype(int)) % 2) * (x > 0.75) * (y < 0.25)
    bar = 0.3 * ((np.abs(x - 0.2) < 0.04) & (y > 0.6))
    pixels = np.clip(ramps + rings + checkers + bar, 0.0, 1.0) * 255
    return np.round(pixels).astype(np.uint8)


def distort(image, rng):
    """`image` blurred by a 5 x 5 binomial filter, plus Gaussian noise of
    standard deviation 6, back in uint8."""
    blurred = blur_columns(blur_columns(image.astype(np.float64)).T).T
    noisy = blurred + rng.normal(0.0, 6.0, size=image.shape)
    return np.clip(np.round(noisy), 0, 255).astype(np.uint8)


def blur_columns(image):
    """Every column of a 2-D image filtered by the taps 1 4 6 4 1 / 16, the
    edge samples repeated beyond the border."""
    padded = np.pad(image, ((2, 2), (0, 0)), mode="edge")
    height = len(image)
    return sum(tap / 16 * padded[shift:shift + height]
               for shift, tap in enumerate((1, 4, 6, 4, 1)))


def best_seconds(run):
    """The shortest wall time of a few calls of run(), after a warm-up call."""
    run()
    best = math.inf
    for _ in range(TIMING_REPEATS):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def time_structure_kernel(reference, distorted, threads):
    """Prints the SSIM map pixels per second of `ssim_plane_sums` on 8 copies
    of the demo pair with the default 11-tap window."""
    planes = 8
    planes1 = np.ascontiguousarray(np.broadcast_to(reference, (planes, *reference.shape)),
                                   dtype=np.float32)
    planes2 = np.ascontiguousarray(np.broadcast_to(distorted, planes1.shape), dtype=np.float32)
    window = gaussian_window(11, 1.5)
    c1, c2 = (0.01 * 255) ** 2, (0.03 * 255) ** 2
    seconds = best_seconds(lambda: _structure_kernels.ssim_plane_sums(
        planes1, planes2, window, c1, c2, threads))
    height, width = reference.shape
    map_pixels = planes * (height - len(window) + 1) * (width - len(window) + 1)
    print(f"  ssim_plane_sums  {_structure_kernels.__simd_path__:<10} "
          f"{map_pixels / seconds / 1e6:8.1f} Mpix/s    "
          f"SSIM map pixels, {planes} planes of {height}x{width}, {len(window)}-tap window")


def time_difference_kernel(rng, threads):
    """Prints the pixel pairs per second of `ssd_matrix` on two batches of
    32 random 256 x 256 uint8 images."""
    count, pixels = 32, 256 * 256
    flat1 = rng.integers(0, 256, size=(count, pixels), dtype=np.uint8)
    flat2 = rng.integers(0, 256, size=(count, pixels), dtype=np.uint8)
    seconds = best_seconds(lambda: _difference_kernel.ssd_matrix(flat1, flat2, threads))
    print(f"  ssd_matrix       {_difference_kernel.__simd_path__:<10} "
          f"{count * count * pixels / seconds / 1e9:8.2f} Gpairs/s  "
          f"pixel pairs, {count} x {count} images of 256x256")
