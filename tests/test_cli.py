"""The morvane command, run in a separate interpreter as a user runs it."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import morvane
from morvane import cli
from morvane.pixelwise._kernel import _difference_kernel
from morvane.structural._kernel import _structure_kernels

# The command prints SSIM and MS-SSIM with 6 decimals, PSNR with 4.
PRINTED_PRECISION = {"SSIM": 5e-7, "MS-SSIM": 5e-7, "PSNR": 5e-5}


def run_command(*arguments, cwd, python=("-m", "morvane")):
    """Runs the command outside the source tree, so the installed package is used."""
    return subprocess.run([sys.executable, *python, *map(str, arguments)],
                          capture_output=True, text=True, cwd=cwd)


def printed_scores(stdout):
    """{"SSIM": ..., "MS-SSIM": ..., "PSNR": ...} as printed; "n/a" for a missing score."""
    return {name: value for name, value in
            re.findall(r"^(SSIM|MS-SSIM|PSNR) +(n/a|[-+\d.e]+|inf)", stdout, re.MULTILINE)}


def assert_printed_scores(stdout, a, b, *, ms_ssim_defined=True):
    channel_axis = -1 if a.ndim == 3 else None
    expected = {"SSIM": morvane.ssim(a, b, channel_axis=channel_axis),
                "PSNR": morvane.psnr(a, b)}
    if ms_ssim_defined:
        expected["MS-SSIM"] = morvane.ms_ssim(a, b, channel_axis=channel_axis)
    printed = printed_scores(stdout)
    assert printed.keys() == PRINTED_PRECISION.keys(), stdout
    for name, value in expected.items():
        assert float(printed[name]) == pytest.approx(value, abs=PRINTED_PRECISION[name]), name
    if not ms_ssim_defined:
        assert printed["MS-SSIM"] == "n/a"


def test_without_arguments_it_scores_the_built_in_pair_and_times_the_kernels(tmp_path):
    completed = run_command(cwd=tmp_path)

    assert completed.returncode == 0, completed.stderr
    reference, distorted = cli.demo_pair()
    assert_printed_scores(completed.stdout, reference, distorted)
    # A distortion that leaves the scores informative, neither near 0 nor near 1.
    assert 0.5 < morvane.ssim(reference, distorted) < 0.95
    assert re.search(rf"ssim_plane_sums +{_structure_kernels.__simd_path__} +\d+\.\d Mpix/s",
                     completed.stdout), completed.stdout
    assert re.search(rf"ssd_matrix +{_difference_kernel.__simd_path__} +\d+\.\d\d Gpairs/s",
                     completed.stdout), completed.stdout


def test_the_built_in_pair_is_the_same_on_every_run():
    first, second = cli.demo_pair(), cli.demo_pair()
    for image, again in zip(first, second):
        assert image.dtype == np.uint8 and image.shape == (cli.DEMO_SIZE, cli.DEMO_SIZE)
        np.testing.assert_array_equal(image, again)


def grey(rng, shape, dtype=np.uint8):
    return rng.integers(0, np.iinfo(dtype).max, size=shape, endpoint=True, dtype=dtype)


def similar(rng, image):
    noisy = image + rng.normal(0, 0.05 * np.iinfo(image.dtype).max, image.shape)
    return np.clip(noisy, 0, np.iinfo(image.dtype).max).astype(image.dtype)


def save(tmp_path, name, image):
    path = tmp_path / name
    image.save(path)
    return path


@pytest.mark.parametrize("shape, dtype, as_palette", [
    ((180, 200), np.uint8, False),
    ((170, 170, 3), np.uint8, False),
    ((170, 180), np.uint16, False),
    ((170, 175, 3), np.uint8, True),
    ((64, 64), np.uint8, False),  # too small for five scales
], ids=["grey", "RGB", "16-bit grey", "palette", "small"])
def test_it_scores_two_image_files(tmp_path, shape, dtype, as_palette):
    rng = np.random.default_rng(5)
    a = grey(rng, shape, dtype)
    b = similar(rng, a)
    images = [Image.fromarray(a), Image.fromarray(b)]
    if as_palette:
        images = [image.quantize(64) for image in images]
        a, b = (np.asarray(image.convert("RGB")) for image in images)
    paths = [save(tmp_path, name, image) for name, image in zip(("a.png", "b.png"), images)]

    completed = run_command(*paths, cwd=tmp_path)

    assert completed.returncode == 0, completed.stderr
    small = min(shape[:2]) < 161
    assert_printed_scores(completed.stdout, a, b, ms_ssim_defined=not small)
    if small:
        assert "at least 161 pixels" in completed.stdout


def test_the_console_script_runs_the_command(tmp_path):
    script = Path(sys.executable).with_name("morvane")
    completed = subprocess.run([script, "--help"], capture_output=True, text=True, cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.startswith("usage: morvane")


def image_files(tmp_path, *images):
    return [save(tmp_path, f"{index}.tif", image) for index, image in enumerate(images)]


@pytest.mark.parametrize("make_arguments, status, message", [
    (lambda tmp: image_files(tmp, Image.new("L", (32, 32)))[:1], 2,
     "expected two image files or none, got 1"),
    (lambda tmp: [tmp / "missing.png", *image_files(tmp, Image.new("L", (32, 32)))], 1,
     "No such file or directory"),
    (lambda tmp: [*image_files(tmp, Image.new("L", (32, 32))), Path(__file__)], 1,
     "cannot identify image file"),
    (lambda tmp: image_files(tmp, Image.new("L", (32, 32)), Image.new("L", (32, 33))), 1,
     r"same shape, got \(32, 32\) vs \(33, 32\)"),
    (lambda tmp: image_files(tmp, Image.new("L", (32, 32)), Image.new("RGB", (32, 32))), 1,
     r"same shape, got \(32, 32\) vs \(32, 32, 3\)"),
    (lambda tmp: image_files(tmp, Image.new("F", (32, 32)), Image.new("F", (32, 32))), 1,
     r"32-bit samples \(mode F\) are not supported"),
], ids=["one file", "missing file", "not an image", "sizes differ", "grey and colour",
        "float samples"])
def test_bad_arguments_end_with_a_message_and_a_failure_status(tmp_path, make_arguments,
                                                                 status, message):
    completed = run_command(*make_arguments(tmp_path), cwd=tmp_path)
    assert completed.returncode == status
    assert completed.stdout == ""
    assert re.search(message, completed.stderr), completed.stderr
    assert "Traceback" not in completed.stderr


def test_without_pillow_it_says_how_to_install_it(tmp_path):
    paths = image_files(tmp_path, Image.new("L", (32, 32)), Image.new("L", (32, 32)))
    source = ("import sys; sys.modules['PIL'] = None; from morvane.cli import main; "
              "sys.exit(main(sys.argv[1:]))")
    completed = run_command(*paths, cwd=tmp_path, python=("-c", source))
    assert completed.returncode == 1
    assert "morvane: error: reading image files needs Pillow" in completed.stderr
    assert "pip install 'morvane[images]'" in completed.stderr
