"""Every method on arrays gives the pels of the C++ library's own run.

The C++ side is the command-line tool (its path comes in IMGNORM_CLI): it
reads the same images as PGM files, trains and runs in C++ and writes the
result, which must equal the module's array pel for pel.
"""

import os
import subprocess

import numpy as np
import pytest

import imgnorm
from imgnorm import Method

from helpers import gradient_image, random_image

CLI = os.environ.get("IMGNORM_CLI")
pytestmark = pytest.mark.skipif(not CLI, reason="IMGNORM_CLI does not name the command-line tool")

CLI_NAMES = {
    Method.HISTOGRAM: "histogram",
    Method.MEAN_STDDEV: "mean-stddev",
    Method.TAILS: "tails",
    Method.LINEAR_FIT: "linear-fit",
    Method.LOCAL: "local",
    Method.LOCAL_ENHANCED: "local-enhanced",
    Method.IDENTITY: "identity",
}


def write_pgm(path, pels):
    height, width = pels.shape
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (width, height))
        f.write(np.ascontiguousarray(pels).tobytes())


def read_pgm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = data.split(maxsplit=4)
    assert fields[0] == b"P5" and fields[3] == b"255"
    width, height = int(fields[1]), int(fields[2])
    return np.frombuffer(fields[4][: width * height], dtype=np.uint8).reshape(height, width)


def cpp_result(tmp_path, reference, image, mask, method, params):
    files = {"reference": reference, "image": image}
    if mask is not None:
        files["mask"] = mask.astype(np.uint8) * 255
    for name, pels in files.items():
        write_pgm(tmp_path / f"{name}.pgm", pels)
    command = [CLI, "normalize", "--reference", str(tmp_path / "reference.pgm"),
               "--method", CLI_NAMES[method],
               "--neighborhood", "%dx%d" % params["neighborhood"],
               "--granularity", "%dx%d" % params["granularity"],
               "--tails", "%r,%r" % params["tail_fractions"],
               "--range", "%d,%d" % params["intensity_range"],
               str(tmp_path / "image.pgm"), "-o", str(tmp_path / "out.pgm")]
    if mask is not None:
        command[2:2] = ["--mask", str(tmp_path / "mask.pgm")]
    if params["keep_masked_pixels"]:
        command.append("--keep-masked")
    done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return read_pgm(tmp_path / "out.pgm")


def scene(shape, seed):
    """Gradient, blocks and noise: every method has something to correct."""
    rows, cols = np.indices(shape)
    base = gradient_image(shape, seed).astype(int)
    blocks = ((rows // 13 + cols // 11) % 3) * 25
    return np.clip(base // 2 + blocks + 20, 0, 255).astype(np.uint8)


def ellipse_mask(shape):
    rows, cols = np.indices(shape)
    cy, cx = (shape[0] - 1) / 2, (shape[1] - 1) / 2
    return ((rows - cy) / (0.45 * shape[0])) ** 2 + ((cols - cx) / (0.48 * shape[1])) ** 2 < 1.0


PARAMS = [
    dict(neighborhood=(101, 101), granularity=(1, 1), tail_fractions=(0.0, 1.0),
         intensity_range=(-127, 127), keep_masked_pixels=False),
    dict(neighborhood=(15, 9), granularity=(1, 1), tail_fractions=(0.05, 0.9),
         intensity_range=(-60, 80), keep_masked_pixels=True),
    dict(neighborhood=(31, 31), granularity=(4, 4), tail_fractions=(0.1, 0.95),
         intensity_range=(-127, 127), keep_masked_pixels=False),
    dict(neighborhood=(23, 41), granularity=(3, 2), tail_fractions=(0.0, 0.8),
         intensity_range=(-30, 127), keep_masked_pixels=True),
]


@pytest.mark.parametrize("params", PARAMS, ids=["defaults", "small-kept", "granularity4", "uneven"])
@pytest.mark.parametrize("masked", [False, True], ids=["unmasked", "masked"])
@pytest.mark.parametrize("method", list(CLI_NAMES), ids=lambda m: CLI_NAMES[m])
def test_every_method_equals_the_cpp_run(tmp_path, method, masked, params):
    reference = scene((83, 97), seed=3)
    image = (scene((83, 97), seed=4).astype(int) * 3 // 4 + 10).astype(np.uint8)
    mask = ellipse_mask(reference.shape) if masked else None
    tool = imgnorm.Normalizer(**params)
    if method != Method.IDENTITY:
        tool.train(reference, mask, methods=method)
    ours = tool.run(image, method)
    np.testing.assert_array_equal(ours, cpp_result(tmp_path, reference, image, mask, method, params))


def test_random_noise_with_a_random_mask_equals_the_cpp_run(tmp_path):
    reference = random_image((57, 64), seed=8)
    image = random_image((57, 64), seed=9, low=20, high=200)
    mask = random_image((57, 64), seed=10) > 100
    params = PARAMS[1]
    tool = imgnorm.Normalizer(**params)
    tool.train(reference, mask, methods=Method(63))
    for method in CLI_NAMES:
        if method != Method.IDENTITY:
            np.testing.assert_array_equal(
                tool.run(image, method), cpp_result(tmp_path, reference, image, mask, method, params))
