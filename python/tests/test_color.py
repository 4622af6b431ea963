"""Colour images (channel_axis), images of another size and explain()."""

import pickle

import numpy as np
import pytest

import imgnorm
from imgnorm import Method

from helpers import gradient_image, random_image

MAPS = Method.HISTOGRAM | Method.LINEAR_FIT


def colour_image(shape, seed, gain=1.0, offset=0):
    planes = [gradient_image(shape, seed + c) * gain + offset for c in range(3)]
    return np.clip(np.stack(planes, axis=-1), 0, 255).astype(np.uint8)


@pytest.fixture
def reference():
    return colour_image((40, 56), seed=1)


@pytest.fixture
def image():
    return colour_image((40, 56), seed=11, gain=0.6, offset=30)


def colour_tool(reference, color="channels", methods=MAPS):
    tool = imgnorm.Normalizer()
    tool.train(reference, methods=methods, channel_axis=-1, color=color)
    return tool


def test_channels_mode_runs_each_channel_as_a_gray_tool(reference, image):
    tool = colour_tool(reference)
    result = tool.run(image, Method.HISTOGRAM, channel_axis=-1)
    assert tool.color == "channels" and result.shape == image.shape and result.dtype == np.uint8
    for c in range(3):
        gray = imgnorm.Normalizer()
        gray.train(reference[..., c], methods=Method.HISTOGRAM)
        np.testing.assert_array_equal(result[..., c], gray.run(image[..., c], Method.HISTOGRAM))
    # Channels first come back channels first.
    first = tool.run(np.moveaxis(image, -1, 0), Method.HISTOGRAM, channel_axis=0)
    np.testing.assert_array_equal(first, np.moveaxis(result, -1, 0))


def test_luminance_moves_the_three_channels_alike(reference, image):
    result = colour_tool(reference, "luminance").run(image, Method.HISTOGRAM, channel_axis=-1)
    shift = result.astype(int) - image
    unclipped = ((result > 0) & (result < 255)).all(axis=-1)
    # Equal shifts keep B - Y' and R - Y' (the chroma); each channel rounds on its own.
    assert (np.ptp(shift, axis=-1)[unclipped] <= 1).all()
    assert np.abs(shift).max() > 10


@pytest.mark.parametrize("color", ["channels", "luminance"])
def test_alpha_is_carried_through(reference, image, color):
    tool = colour_tool(reference, color)
    alpha = random_image(image.shape[:2], seed=5)
    result = tool.run(np.dstack([image, alpha]), Method.HISTOGRAM, channel_axis=-1)
    np.testing.assert_array_equal(result[..., 3], alpha)
    np.testing.assert_array_equal(result[..., :3], tool.run(image, Method.HISTOGRAM, channel_axis=-1))


@pytest.mark.parametrize("method", [Method.HISTOGRAM, Method.LINEAR_FIT])
def test_explain_gives_the_maps_run_applies(reference, image, method):
    gray = imgnorm.Normalizer()
    gray.train(reference[..., 0], methods=MAPS)
    record = gray.explain(image[..., 0], method)
    assert (record["method"], record["color"], record["success"], record["message"]) == (method, "gray", True, "")
    (plane,) = record["maps"]
    assert plane["map"].dtype == np.uint8 and plane["map"].shape == (256,)
    assert ("fit" in plane) == (method == Method.LINEAR_FIT)
    assert plane["reference"]["count"] == reference[..., 0].size
    np.testing.assert_array_equal(plane["map"][image[..., 0]], gray.run(image[..., 0], method))

    tool = colour_tool(reference)
    maps = [p["map"] for p in tool.explain(image, method, channel_axis=-1)["maps"]]
    mapped = np.stack([maps[c][image[..., c]] for c in range(3)], axis=-1)
    np.testing.assert_array_equal(mapped, tool.run(image, method, channel_axis=-1))


def test_explain_reports_a_map_it_cannot_build_and_refuses_local_methods(reference):
    tool = imgnorm.Normalizer(neighborhood=(5, 5))
    tool.train(reference[..., 0], methods=Method.MEAN_STDDEV | Method.LOCAL)
    record = tool.explain(np.full((40, 56), 9, np.uint8), Method.MEAN_STDDEV)
    assert not record["success"] and "standard deviation" in record["message"]
    assert record["maps"][0]["map"].size == 0
    with pytest.raises(imgnorm.BadParams):
        tool.explain(reference[..., 0], Method.LOCAL)


def test_an_image_of_another_size_is_mapped_whole(reference):
    tool = imgnorm.Normalizer(neighborhood=(5, 5))
    tool.train(reference[..., 0], methods=Method.HISTOGRAM | Method.LOCAL)
    large = gradient_image((50, 70), seed=3) // 2
    result = tool.run(large, Method.HISTOGRAM)
    assert result.shape == large.shape
    assert abs(result.mean() - reference[..., 0].mean()) < 3
    np.testing.assert_array_equal(result, tool.explain(large, Method.HISTOGRAM)["maps"][0]["map"][large])
    # An offset pairs pels by position, and local methods need them paired: the overlap, as before.
    assert tool.run(large, Method.HISTOGRAM, offset=(0, 0)).shape == (40, 56)
    assert tool.run(large, Method.LOCAL).shape == (40, 56)
    assert colour_tool(reference).run(colour_image((50, 70), 3), Method.LINEAR_FIT, channel_axis=-1).shape == (50, 70, 3)


@pytest.mark.parametrize("color", ["channels", "luminance"])
def test_a_colour_tool_pickles_and_saves(reference, image, color, tmp_path):
    tool = colour_tool(reference, color)
    copy = pickle.loads(pickle.dumps(tool))
    assert copy == tool and copy.color == color and copy.trained_methods == MAPS
    np.testing.assert_array_equal(copy.run(image, Method.LINEAR_FIT, channel_axis=-1),
                                  tool.run(image, Method.LINEAR_FIT, channel_axis=-1))
    tool.save(tmp_path / "tool.imgn")
    assert imgnorm.Normalizer.load(tmp_path / "tool.imgn") == tool


def test_colour_arguments_are_checked(reference, image):
    tool = imgnorm.Normalizer()
    with pytest.raises(ValueError, match=r"3 \(RGB\) or 4 \(RGBA\) channels"):
        tool.train(reference[..., :2], channel_axis=-1)
    with pytest.raises(ValueError, match="color must be 'channels' or 'luminance'"):
        tool.train(reference, channel_axis=-1, color="hsv")
    with pytest.raises(ValueError, match="color needs channel_axis"):
        tool.train(reference[..., 0], color="luminance")
    with pytest.raises(ValueError, match="not trained on colour images"):
        tool.run(image, Method.HISTOGRAM, channel_axis=-1)
    tool.train(reference, methods=Method.HISTOGRAM, channel_axis=-1)
    with pytest.raises(ValueError, match="trained on colour images"):
        tool.run(image[..., 0], Method.HISTOGRAM)
    with pytest.raises(TypeError, match="uint8"):
        tool.run(image.astype(np.uint16), Method.HISTOGRAM, channel_axis=-1)
    with pytest.raises(imgnorm.NotTrained):
        tool.run(image, Method.TAILS, channel_axis=-1)
