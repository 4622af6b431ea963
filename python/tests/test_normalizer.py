"""Library errors come out as the module's error classes, with the
library's message and number; a tool that refuses stays as it was."""

import numpy as np
import pytest

import imgnorm
from imgnorm import Method

from helpers import gradient_image, trained

REFERENCE = gradient_image((64, 80), seed=1)
IMAGE = (gradient_image((64, 80), seed=2) // 2 + 30).astype(np.uint8)


def corner_tool():
    mask = np.zeros(REFERENCE.shape, dtype=np.uint8)
    mask[:4, :4] = 1
    return trained(REFERENCE, mask, methods=Method.MEAN_STDDEV | Method.HISTOGRAM)


CASES = {
    "bad parameter": (lambda: imgnorm.Normalizer(neighborhood=(0, 5)), imgnorm.BadParams, ValueError,
                      0x10007A01, "Both elements of neighborhoodSize must be >= 1"),
    "two methods": (lambda: trained(REFERENCE).run(IMAGE, Method.HISTOGRAM | Method.TAILS), imgnorm.BadParams,
                    ValueError, 0x10007A01, "Cannot run with more than one normalization method."),
    "unknown method": (lambda: trained(REFERENCE, methods=Method.LOCAL).train(REFERENCE, methods=1 << 40),
                       imgnorm.CanNotTrain, ValueError, 0x10007A03,
                       "<methods> contains an unknown normalization method."),
    "not trained": (lambda: trained(REFERENCE, methods=Method.HISTOGRAM).run(IMAGE, Method.LINEAR_FIT),
                    imgnorm.NotTrained, RuntimeError, 0x10007A02,
                    "This tool was not trained for the specified  method."),
    "empty histogram": (lambda: corner_tool().run(REFERENCE, Method.HISTOGRAM, offset=(10, 10)),
                        imgnorm.NormalizationFailed, RuntimeError, None,
                        "Cannot normalize since histogram is empty."),
    "no tool file": (lambda: imgnorm.Normalizer.from_bytes(b"not a tool file at all"), imgnorm.HostError,
                     RuntimeError, None, None),
    "no image file": (lambda: imgnorm.read_image("/nonexistent/missing.png"), imgnorm.ImageFileError,
                      OSError, None, "/nonexistent/missing.png: cannot open: No such file or directory"),
}


@pytest.mark.parametrize("case", CASES)
def test_each_library_error_maps_to_its_class(case):
    action, error, base, number, message = CASES[case]
    with pytest.raises(error) as caught:
        action()
    assert isinstance(caught.value, base) and isinstance(caught.value, imgnorm.Error)
    if number is not None:
        assert caught.value.error_number == number
    if message is not None:
        assert str(caught.value) == message


def test_refused_changes_leave_the_tool_as_it_was():
    tool = trained(REFERENCE, methods=Method.TAILS, neighborhood=(9, 9))
    with pytest.raises(imgnorm.BadParams, match="^intensityVariationRange must be: x <= 0 and y >= 0$"):
        tool.set(tail_fractions=(0.3, 0.4), intensity_range=(5, 6))
    assert tool.tail_fractions == (0.0, 1.0) and tool.trained_methods == Method.TAILS
    tool.set(tail_fractions=(0.1, 0.9), keep_masked_pixels=True)
    assert tool.trained_methods == Method.TAILS and tool.tail_fractions == (0.1, 0.9)
    with pytest.raises(imgnorm.CanNotTrain):
        tool.train(REFERENCE, methods=-1)
    assert tool.trained_methods == Method.TAILS


def test_an_empty_reference_histogram_fails_only_the_global_methods():
    # As in C++: the tool keeps the new images and the other methods.
    tool = trained(REFERENCE, methods=Method.HISTOGRAM, neighborhood=(5, 5))
    empty = np.zeros_like(REFERENCE)
    with pytest.raises(imgnorm.CanNotTrain, match="^Histogram must be non-empty for the specified methods.$"):
        tool.train(REFERENCE, empty, methods=Method.HISTOGRAM | Method.LOCAL)
    assert tool.trained_methods == Method.LOCAL and np.array_equal(tool.mask, empty)
    assert tool.run(IMAGE, Method.LOCAL).shape == REFERENCE.shape
    with pytest.raises(imgnorm.NotTrained):
        tool.run(IMAGE, Method.HISTOGRAM)
