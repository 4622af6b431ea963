"""Tools saved, loaded, pickled, copied and compared."""

import copy
import pickle

import numpy as np
import pytest

import imgnorm
from imgnorm import Method

from helpers import gradient_image, random_image

METHODS = Method.HISTOGRAM | Method.LINEAR_FIT | Method.LOCAL
PARAMS = dict(tail_fractions=(0.05, 0.95), neighborhood=(11, 7), granularity=(2, 3), intensity_range=(-40, 60),
              keep_masked_pixels=True)


def make_tool(reference=None):
    reference = gradient_image((40, 56), seed=31) if reference is None else reference
    tool = imgnorm.Normalizer(**PARAMS)
    tool.train(reference, random_image(reference.shape, seed=32) > 30, methods=METHODS,
               reference_offset=(2, 1), mask_offset=(0, 3))
    return tool


def assert_same_tool(a, b):
    assert a == b and a.trained_methods == b.trained_methods == METHODS
    for name in list(PARAMS) + ["reference_offset", "mask_offset"]:
        assert getattr(a, name) == getattr(b, name), name
    np.testing.assert_array_equal(a.mask, b.mask)
    image = gradient_image((44, 60), seed=33)
    for method in (Method.HISTOGRAM, Method.LINEAR_FIT, Method.LOCAL):
        np.testing.assert_array_equal(a.run(image, method), b.run(image, method))


def test_files_bytes_and_pickles_hold_the_whole_tool(tmp_path):
    tool = make_tool()
    tool.save(tmp_path / "tool.bin")
    assert (tmp_path / "tool.bin").read_bytes() == tool.to_bytes()
    assert tool.to_bytes().startswith(b"kcImgNrm")
    assert_same_tool(imgnorm.Normalizer.load(tmp_path / "tool.bin"), tool)
    assert_same_tool(imgnorm.Normalizer.load(str(tmp_path / "tool.bin")), tool)
    assert_same_tool(imgnorm.Normalizer.from_bytes(tool.to_bytes()), tool)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert_same_tool(pickle.loads(pickle.dumps(tool, protocol=protocol)), tool)


def test_copies_are_independent_and_equality_follows_content():
    tool = make_tool()
    for duplicate in (copy.copy(tool), copy.deepcopy(tool)):
        assert_same_tool(duplicate, tool)
        duplicate.set(tail_fractions=(0.0, 0.5))
        assert duplicate != tool and tool.tail_fractions == (0.05, 0.95)
    reference = tool.reference
    reference[5, 5] ^= 1
    assert make_tool(reference) != tool
    nan_tool = imgnorm.Normalizer(tail_fractions=(float("nan"), 1.0))
    assert nan_tool == nan_tool and copy.copy(nan_tool) != nan_tool
    with pytest.raises(TypeError):
        hash(tool)


def test_bad_files_raise_host_errors_with_the_library_message(tmp_path):
    missing = tmp_path / "missing.bin"
    with pytest.raises(imgnorm.HostError) as caught:
        imgnorm.Normalizer.load(missing)
    assert str(caught.value) == f'Cannot load tool file "{missing}": Cannot open archive file "{missing}".'
    assert caught.value.error_number == 0x10000301
    with pytest.raises(imgnorm.HostError, match="^Truncated archive"):
        imgnorm.Normalizer.from_bytes(imgnorm.Normalizer().to_bytes()[:-3])
