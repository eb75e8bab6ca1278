"""Both functions called from several interpreter threads at once.

The parallel loops run with the interpreter lock released, so the calls of
different threads overlap, each on a thread team of its own size. Every call
must give exactly the result of a serial call on one thread, and every thread
must finish: a hang fails the test once the deadline has passed.
"""

import threading
import time

import numpy as np

THREADS = 4
CALLS_PER_THREAD = 100
DEADLINE_SECONDS = 120
# Team size of each interpreter thread: ssim_plane_sums takes 0 as the
# runtime's default team, ssd_matrix needs at least one thread.
SSIM_TEAMS = (1, 2, 3, 0)
SSD_TEAMS = (1, 2, 3, 4)
C1, C2 = 0.01**2, 0.03**2


def ssim_inputs():
    """Three plane pairs of 128 x 160 under an 11-tap window."""
    rng = np.random.default_rng(31)
    planes1 = rng.random((3, 128, 160), dtype=np.float32)
    planes2 = (planes1 + rng.normal(0, 0.1, planes1.shape)).astype(np.float32)
    taps = np.exp(-0.5 * ((np.arange(11) - 5) / 1.5) ** 2)
    return planes1, planes2, (taps / taps.sum()).astype(np.float32)


def ssd_inputs():
    """8 x 6 images of four blocks each, the last one partial."""
    rng = np.random.default_rng(32)
    return (rng.integers(0, 256, (8, 100000), dtype=np.uint8),
            rng.integers(0, 256, (6, 100000), dtype=np.uint8))


def same_bits(got, expected):
    return all(a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
               for a, b in zip(got, expected, strict=True))


def test_concurrent_calls_with_different_team_sizes_give_the_serial_results(
        structure_module, difference_module):
    ssim_plane_sums, ssd_matrix = structure_module.ssim_plane_sums, difference_module.ssd_matrix
    planes1, planes2, kernel = ssim_inputs()
    flat1, flat2 = ssd_inputs()
    expected_sums = ssim_plane_sums(planes1, planes2, kernel, C1, C2, 1)
    expected_matrix = ssd_matrix(flat1, flat2, 1)

    start = threading.Barrier(THREADS)
    failures = []

    def call_both(index):
        calls = [
            lambda: same_bits(ssim_plane_sums(planes1, planes2, kernel, C1, C2,
                                              SSIM_TEAMS[index]), expected_sums),
            lambda: same_bits([ssd_matrix(flat1, flat2, SSD_TEAMS[index])], [expected_matrix]),
        ]
        if index % 2:
            calls.reverse()  # half of the threads start with the other function
        try:
            start.wait(timeout=DEADLINE_SECONDS)
            for _ in range(CALLS_PER_THREAD):
                for call in calls:
                    if not call():
                        failures.append(f"thread {index}: a result differs from the serial one")
        except Exception as error:
            failures.append(f"thread {index}: {error!r}")

    # Daemon threads: a hung one must not keep the test process alive.
    threads = [threading.Thread(target=call_both, args=(index,), daemon=True)
               for index in range(THREADS)]
    deadline = time.monotonic() + DEADLINE_SECONDS
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=max(0.0, deadline - time.monotonic()))

    hung = [index for index, thread in enumerate(threads) if thread.is_alive()]
    assert not hung, f"threads {hung} still running after {DEADLINE_SECONDS} s"
    assert failures == []
