"""Throughput of the compiled kernels against plain NumPy.

Run after ``pip install .``:

    python benchmarks/bench_kernels.py

Set MORVANE_SIMD=baseline|avx2|avx512 to time a narrower vector path. Each
section prints one table; the NumPy reference is timed on a subset of rows
and scaled to the whole problem, so that it stays quick.
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


def main():
    bench_ssd_matrix()


if __name__ == "__main__":
    main()
