"""Throughput of the compiled kernels against plain NumPy.

Run after ``pip install .``:

    python benchmarks/bench_kernels.py

Set MORVANE_SIMD=baseline|avx2|avx512|avx512vnni to time a narrower vector path. Each
section prints one table; the references (NumPy for the difference matrix,
scikit-image for SSIM) are timed on part of the problem and scaled to the
whole, so that they stay quick.
"""

import math
import time

import numpy as np

KERNEL_REPEATS = 3
THREAD_COUNTS = (1, 2)
# The NumPy reference of a case handles about this many pixel pairs.
NUMPY_PAIR_BUDGET = 100_000_000
# Bytes of int32 differences the NumPy reference holds at once.
NUMPY_CHUNK_BYTES = 32 * 1024 * 1024


def best_seconds(run, repeats):
    """Shortest wall time of `repeats` calls of run()."""
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def print_table(headers, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows)]
    for line in (headers, ["-" * width for width in widths], *rows):
        print("  ".join(str(cell).rjust(width) for cell, width in zip(line, widths)))
    print()


def random_pixels(rng, shape):
    return rng.integers(0, 256, size=shape, dtype=np.uint8)


def numpy_ssd_rows(flat1, flat2):
    """Summed squared differences of every row of flat1 with every row of
    flat2, in int32 differences over column chunks to bound the memory."""
    count2, pixels = flat2.shape
    chunk = max(1, NUMPY_CHUNK_BYTES // (4 * count2))
    result = np.zeros((flat1.shape[0], count2), dtype=np.int64)
    for row, image in enumerate(flat1):
        for start in range(0, pixels, chunk):
            stop = min(start + chunk, pixels)
            differences = flat2[:, start:stop].astype(np.int32)
            differences -= image[start:stop]
            np.square(differences, out=differences)
            result[row] += differences.sum(axis=1, dtype=np.int64)
    return result


def bench_ssd_matrix():
    from morvane.pixelwise._kernel import _difference_kernel as module

    cases = [
        # (label, N, M, pixels per image)
        ("1 x 1 of 4096x4096x4", 1, 1, 4096 * 4096 * 4),
        ("64 x 64 of 256x256x3", 64, 64, 256 * 256 * 3),
        ("512 x 512 of 64x64", 512, 512, 64 * 64),
    ]
    print(f"ssd_matrix  (SIMD path: {getattr(module, '__simd_path__', '?')})")
    rng = np.random.default_rng(2024)
    headers = ["case", "threads", "kernel Gpairs/s", "NumPy Gpairs/s", "kernel/NumPy", "exact"]
    rows = []
    notes = []
    for label, count1, count2, pixels in cases:
        flat1 = random_pixels(rng, (count1, pixels))
        flat2 = random_pixels(rng, (count2, pixels))
        pairs = count1 * count2 * pixels

        # The reference sees only the first rows of flat1; its time is scaled.
        numpy_rows = min(count1, max(1, NUMPY_PAIR_BUDGET // (count2 * pixels)))
        start = time.perf_counter()
        expected = numpy_ssd_rows(flat1[:numpy_rows], flat2)
        numpy_seconds = (time.perf_counter() - start) * count1 / numpy_rows
        notes.append(f"{label}: NumPy timed once on {numpy_rows} of {count1} rows, scaled")

        for threads in THREAD_COUNTS:
            result = module.ssd_matrix(flat1, flat2, threads)
            exact = np.array_equal(result[:numpy_rows], expected)
            seconds = best_seconds(lambda: module.ssd_matrix(flat1, flat2, threads),
                                   KERNEL_REPEATS)
            rows.append([label, threads, f"{pairs / seconds / 1e9:.2f}",
                         f"{pairs / numpy_seconds / 1e9:.3f}",
                         f"{numpy_seconds / seconds:.0f}x", "yes" if exact else "NO"])
    print_table(headers, rows)
    for note in notes:
        print(note)
    print(f"Kernel: best of {KERNEL_REPEATS} calls; pairs = N * M * pixels.")
    print()


def gaussian_window(taps, sigma):
    offsets = np.arange(taps, dtype=np.float64) - (taps - 1) / 2
    weights = np.exp(-0.5 * (offsets / sigma) ** 2)
    return (weights / weights.sum()).astype(np.float32)


def bench_ssim_plane_sums():
    from morvane.structural._kernel import _structure_kernels as module

    try:
        from skimage.metrics import structural_similarity
    except ImportError:
        structural_similarity = None
    cases = [
        # (label, planes, height, width)
        ("4 x 1080x1920", 4, 1080, 1920),
        ("64 x 256x256", 64, 256, 256),
    ]
    taps, sigma, data_range = 11, 1.5, 255.0
    kernel = gaussian_window(taps, sigma)
    c1 = (0.01 * data_range) ** 2
    c2 = (0.03 * data_range) ** 2
    print(f"ssim_plane_sums, {taps}-tap Gaussian window "
          f"(SIMD path: {getattr(module, '__simd_path__', '?')})")
    rng = np.random.default_rng(2024)
    headers = ["case", "threads", "kernel Mpix/s", "scikit-image Mpix/s", "kernel/scikit-image",
               "max |SSIM difference|"]
    rows = []
    for label, count, height, width in cases:
        planes1 = rng.uniform(0, data_range, (count, height, width)).astype(np.float32)
        planes2 = np.clip(planes1 + rng.normal(0, 20, planes1.shape), 0, data_range)
        planes2 = planes2.astype(np.float32)
        map_pixels = count * (height - taps + 1) * (width - taps + 1)

        reference_seconds = math.nan
        difference = "n/a"
        if structural_similarity is not None:
            # scikit-image is timed on one plane and scaled to the batch.
            start = time.perf_counter()
            expected = structural_similarity(
                planes1[0], planes2[0], gaussian_weights=True, sigma=sigma,
                use_sample_covariance=False, data_range=data_range)
            reference_seconds = (time.perf_counter() - start) * count

        for threads in THREAD_COUNTS:
            sum_l_cs, _ = module.ssim_plane_sums(planes1, planes2, kernel, c1, c2, threads)
            if structural_similarity is not None:
                score = sum_l_cs[0] / ((height - taps + 1) * (width - taps + 1))
                difference = f"{abs(score - expected):.1e}"
            seconds = best_seconds(
                lambda: module.ssim_plane_sums(planes1, planes2, kernel, c1, c2, threads),
                KERNEL_REPEATS)
            rows.append([label, threads, f"{map_pixels / seconds / 1e6:.0f}",
                         f"{map_pixels / reference_seconds / 1e6:.1f}",
                         f"{reference_seconds / seconds:.0f}x", difference])
    print_table(headers, rows)
    print("Map pixels = N * (H - k + 1) * (W - k + 1); scikit-image: structural_similarity("
          "gaussian_weights=True, sigma=1.5, use_sample_covariance=False, data_range=255), "
          "timed on one plane and scaled.")
    print()


def main():
    bench_ssd_matrix()
    bench_ssim_plane_sums()


if __name__ == "__main__":
    main()
