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

# The command line's name of each method, from the library's table.
CLI_NAMES = {Method(flag): name for name, flag, _ in imgnorm._METHODS} | {Method.IDENTITY: "identity"}


def cpp_result(tmp_path, reference, image, mask, method, params):
    files = {"reference": reference, "image": image}
    if mask is not None:
        files["mask"] = mask.astype(np.uint8) * 255
    for name, pels in files.items():
        imgnorm.write_image(tmp_path / f"{name}.pgm", pels)
    command = [CLI, "normalize", "--reference", str(tmp_path / "reference.pgm"), "--method", CLI_NAMES[method],
               "--neighborhood", "%dx%d" % params["neighborhood"], "--granularity", "%dx%d" % params["granularity"],
               "--tails", "%r,%r" % params["tail_fractions"], "--range", "%d,%d" % params["intensity_range"],
               str(tmp_path / "image.pgm"), "-o", str(tmp_path / "out.pgm")]
    if mask is not None:
        command += ["--mask", str(tmp_path / "mask.pgm")]
    if params["keep_masked_pixels"]:
        command.append("--keep-masked")
    if "model" in params:
        command += ["--model", params["model"]]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return imgnorm.read_image(tmp_path / "out.pgm")


def scene(shape, seed):
    """Gradient, blocks and noise: every method has something to correct."""
    rows, cols = np.indices(shape)
    blocks = ((rows // 13 + cols // 11) % 3) * 25
    return np.clip(gradient_image(shape, seed).astype(int) // 2 + blocks + 20, 0, 255).astype(np.uint8)


PARAMS = [
    dict(neighborhood=(101, 101), granularity=(1, 1), tail_fractions=(0.0, 1.0),
         intensity_range=(-127, 127), keep_masked_pixels=False),
    dict(neighborhood=(23, 41), granularity=(3, 2), tail_fractions=(0.05, 0.8),
         intensity_range=(-30, 127), keep_masked_pixels=True),
    dict(neighborhood=(31, 17), granularity=(1, 2), tail_fractions=(0.0, 1.0),
         intensity_range=(-127, 127), keep_masked_pixels=True, model="divide"),
]


@pytest.mark.parametrize("params", PARAMS, ids=["defaults-unmasked", "uneven-masked", "divide-masked"])
@pytest.mark.parametrize("method", list(CLI_NAMES), ids=lambda m: CLI_NAMES[m])
def test_every_method_equals_the_cpp_run(tmp_path, method, params):
    reference = scene((83, 97), seed=3)
    image = (scene((83, 97), seed=4).astype(int) * 3 // 4 + 10).astype(np.uint8)
    rows, cols = np.indices(reference.shape)
    ellipse = ((rows - 41) / 37.35) ** 2 + ((cols - 48) / 46.56) ** 2 < 1.0
    mask = ellipse | (random_image(reference.shape, seed=10) > 200) if params["keep_masked_pixels"] else None
    tool = imgnorm.Normalizer(**params)
    if method != Method.IDENTITY:
        tool.train(reference, mask, methods=method)
    np.testing.assert_array_equal(tool.run(image, method), cpp_result(tmp_path, reference, image, mask, method, params))


def test_version_is_the_programs():
    done = subprocess.run([CLI, "--version"], capture_output=True, text=True, timeout=60)
    assert done.stdout == f"imgnorm {imgnorm.__version__}\n"
    assert imgnorm.__version__.count(".") == 2
