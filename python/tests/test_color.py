"""Colour images (channel_axis, color), images of another size, explain()."""

import pickle

import numpy as np
import pytest

import imgnorm
from imgnorm import Method

from helpers import gradient_image, random_image, trained

MAPS = Method.HISTOGRAM | Method.LINEAR_FIT


def colour_image(shape, seed, gain=1.0, offset=0):
    planes = [gradient_image(shape, seed + c) * gain + offset for c in range(3)]
    return np.clip(np.stack(planes, axis=-1), 0, 255).astype(np.uint8)


REFERENCE = colour_image((40, 56), seed=1)
IMAGE = colour_image((40, 56), seed=11, gain=0.6, offset=30)


def colour_tool(color="channels", methods=MAPS):
    tool = imgnorm.Normalizer()
    tool.train(REFERENCE, methods=methods, channel_axis=-1, color=color)
    return tool


def test_channels_run_as_gray_tools_on_either_axis_and_alpha_is_kept():
    tool = colour_tool()
    result = tool.run(IMAGE, Method.HISTOGRAM, channel_axis=-1)
    assert tool.color == "channels" and result.shape == IMAGE.shape and result.dtype == np.uint8
    for c in range(3):
        gray = trained(REFERENCE[..., c], methods=Method.HISTOGRAM)
        np.testing.assert_array_equal(result[..., c], gray.run(IMAGE[..., c], Method.HISTOGRAM))
    first = tool.run(np.moveaxis(IMAGE, -1, 0), Method.HISTOGRAM, channel_axis=0)
    np.testing.assert_array_equal(first, np.moveaxis(result, -1, 0))
    alpha = random_image(IMAGE.shape[:2], seed=5)
    with_alpha = tool.run(np.dstack([IMAGE, alpha]), Method.HISTOGRAM, channel_axis=-1)
    np.testing.assert_array_equal(with_alpha, np.dstack([result, alpha]))


@pytest.mark.parametrize("method", [Method.HISTOGRAM, Method.LINEAR_FIT])
def test_explain_gives_the_maps_run_applies(method):
    gray = trained(REFERENCE[..., 0], methods=MAPS)
    record = gray.explain(IMAGE[..., 0], method)
    assert (record["method"], record["color"], record["success"], record["message"]) == (method, "gray", True, "")
    (plane,) = record["maps"]
    assert plane["map"].dtype == np.uint8 and plane["map"].shape == (256,)
    assert ("fit" in plane) == (method == Method.LINEAR_FIT)
    if method == Method.LINEAR_FIT:
        assert plane["fit"]["line_found"]
        flat = gray.explain(np.full_like(IMAGE[..., 0], 77), method)["maps"][0]
        assert not flat["fit"]["line_found"] and (flat["fit"]["gain"], flat["fit"]["offset"]) == (0, 0)
        assert not flat["map"].any()
    assert plane["reference"]["count"] == REFERENCE[..., 0].size
    np.testing.assert_array_equal(plane["map"][IMAGE[..., 0]], gray.run(IMAGE[..., 0], method))
    tool = colour_tool()
    maps = [p["map"] for p in tool.explain(IMAGE, method, channel_axis=-1)["maps"]]
    mapped = np.stack([maps[c][IMAGE[..., c]] for c in range(3)], axis=-1)
    np.testing.assert_array_equal(mapped, tool.run(IMAGE, method, channel_axis=-1))


def test_explain_reports_a_map_it_cannot_build_and_refuses_local_methods():
    tool = trained(REFERENCE[..., 0], methods=Method.MEAN_STDDEV | Method.LOCAL, neighborhood=(5, 5))
    record = tool.explain(np.full((40, 56), 9, np.uint8), Method.MEAN_STDDEV)
    assert not record["success"] and "standard deviation" in record["message"]
    assert record["maps"][0]["map"].size == 0
    with pytest.raises(imgnorm.BadParams):
        tool.explain(REFERENCE[..., 0], Method.LOCAL)


def test_an_image_of_another_size_is_mapped_whole_unless_placed():
    tool = trained(REFERENCE[..., 0], methods=Method.HISTOGRAM | Method.LOCAL, neighborhood=(5, 5))
    large = gradient_image((50, 70), seed=3) // 2
    assert tool.run(large, Method.HISTOGRAM).shape == (50, 70)
    assert tool.run(large, Method.HISTOGRAM, offset=(0, 0)).shape == tool.run(large, Method.LOCAL).shape == (40, 56)
    assert colour_tool().run(colour_image((50, 70), 3), Method.LINEAR_FIT, channel_axis=-1).shape == (50, 70, 3)


@pytest.mark.parametrize("color", ["channels", "luminance"])
def test_a_colour_tool_pickles_and_saves(color, tmp_path):
    tool = colour_tool(color)
    copy = pickle.loads(pickle.dumps(tool))
    assert copy == tool and copy.color == color and copy.trained_methods == MAPS
    np.testing.assert_array_equal(copy.run(IMAGE, Method.LINEAR_FIT, channel_axis=-1),
                                  tool.run(IMAGE, Method.LINEAR_FIT, channel_axis=-1))
    tool.save(tmp_path / "tool.imgn")
    assert imgnorm.Normalizer.load(tmp_path / "tool.imgn") == tool


def test_colour_arguments_are_checked():
    tool = imgnorm.Normalizer()
    for kwargs, message in [(dict(reference=REFERENCE[..., :2], channel_axis=-1), r"3 \(RGB\) or 4 \(RGBA\)"),
                            (dict(reference=REFERENCE, channel_axis=-1, color="hsv"), "'channels' or 'luminance'"),
                            (dict(reference=REFERENCE[..., 0], color="luminance"), "color needs channel_axis")]:
        with pytest.raises(ValueError, match=message):
            tool.train(**kwargs)
    with pytest.raises(ValueError, match="not trained on colour images"):
        tool.run(IMAGE, Method.HISTOGRAM, channel_axis=-1)
    tool.train(REFERENCE, methods=Method.HISTOGRAM, channel_axis=-1)
    with pytest.raises(ValueError, match="trained on colour images"):
        tool.run(IMAGE[..., 0], Method.HISTOGRAM)
    with pytest.raises(TypeError, match="uint8"):
        tool.run(IMAGE.astype(np.uint16), Method.HISTOGRAM, channel_axis=-1)
