import copy
import pickle

import numpy as np
import pytest

import imgnorm
from imgnorm import Method

from helpers import gradient_image, random_image

METHODS = Method.HISTOGRAM | Method.LINEAR_FIT | Method.LOCAL


@pytest.fixture
def tool():
    reference = gradient_image((40, 56), seed=31)
    mask = random_image(reference.shape, seed=32) > 30
    tool = imgnorm.Normalizer(
        tail_fractions=(0.05, 0.95), neighborhood=(11, 7), granularity=(2, 3), intensity_range=(-40, 60)
    )
    tool.train(reference, mask, methods=METHODS, reference_offset=(2, 1), mask_offset=(0, 3))
    tool.set(keep_masked_pixels=True)
    return tool


def assert_same_tool(a, b):
    assert a == b
    assert a.trained_methods == b.trained_methods == METHODS
    for name in ("tail_fractions", "neighborhood", "granularity", "intensity_range", "keep_masked_pixels",
                 "reference_offset", "mask_offset"):
        assert getattr(a, name) == getattr(b, name), name
    np.testing.assert_array_equal(a.reference, b.reference)
    np.testing.assert_array_equal(a.mask, b.mask)
    image = gradient_image((44, 60), seed=33)
    for method in (Method.HISTOGRAM, Method.LINEAR_FIT, Method.LOCAL):
        np.testing.assert_array_equal(a.run(image, method), b.run(image, method))


def test_save_and_load_round_trip(tool, tmp_path):
    path = tmp_path / "tool.bin"
    tool.save(path)
    assert_same_tool(imgnorm.Normalizer.load(path), tool)
    assert_same_tool(imgnorm.Normalizer.load(str(path)), tool)


def test_files_hold_the_library_archive(tool, tmp_path):
    path = tmp_path / "tool.bin"
    tool.save(path)
    assert path.read_bytes() == tool.to_bytes()
    assert path.read_bytes().startswith(b"kcImgNrm")
    assert_same_tool(imgnorm.Normalizer.from_bytes(tool.to_bytes()), tool)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(tool, protocol):
    assert_same_tool(pickle.loads(pickle.dumps(tool, protocol=protocol)), tool)


def test_copies_are_independent(tool):
    for duplicate in (copy.copy(tool), copy.deepcopy(tool)):
        assert_same_tool(duplicate, tool)
        duplicate.set(tail_fractions=(0.0, 0.5))
        assert duplicate != tool
        assert tool.tail_fractions == (0.05, 0.95)


def test_equality_follows_configuration_images_and_methods(tool):
    reference = tool.reference
    other = imgnorm.Normalizer(
        tail_fractions=(0.05, 0.95), neighborhood=(11, 7), granularity=(2, 3), intensity_range=(-40, 60),
        keep_masked_pixels=True,
    )
    other.train(reference, tool.mask, methods=METHODS, reference_offset=(2, 1), mask_offset=(0, 3))
    assert other == tool
    reference[5, 5] ^= 1
    other.train(reference, tool.mask, methods=METHODS, reference_offset=(2, 1), mask_offset=(0, 3))
    assert other != tool
    nan_tool = imgnorm.Normalizer(tail_fractions=(float("nan"), 1.0))
    assert nan_tool == nan_tool
    assert copy.copy(nan_tool) != nan_tool
    with pytest.raises(TypeError):
        hash(tool)


def test_bad_files_raise_host_errors_with_the_library_message(tmp_path):
    missing = tmp_path / "missing.bin"
    with pytest.raises(imgnorm.HostError) as caught:
        imgnorm.Normalizer.load(missing)
    assert str(caught.value) == f'Cannot load tool file "{missing}": Cannot open archive file "{missing}".'
    assert caught.value.error_number == 0x10000301
    assert isinstance(caught.value, RuntimeError)
    with pytest.raises(imgnorm.HostError, match="signature is missing"):
        imgnorm.Normalizer.from_bytes(b"not a tool file at all")
    truncated = imgnorm.Normalizer().to_bytes()[:-3]
    with pytest.raises(imgnorm.HostError, match="^Truncated archive"):
        imgnorm.Normalizer.from_bytes(truncated)