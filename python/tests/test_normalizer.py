"""The tool object: library errors come out as the module's error classes,
with the library's message and number; a tool that refuses stays as it was;
tools saved, loaded, pickled, copied and compared; the GIL released and one
tool's state kept whole across threads."""

import copy
import pickle
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import imgnorm
from imgnorm import Method

from helpers import METHODS, gradient_image, random_image, trained

REFERENCE = gradient_image((64, 80), seed=1)
IMAGE = (gradient_image((64, 80), seed=2) // 2 + 30).astype(np.uint8)


def corner_tool():
    mask = np.zeros(REFERENCE.shape, dtype=np.uint8)
    mask[:4, :4] = 1
    return trained(REFERENCE, mask, methods=Method.MEAN_STDDEV | Method.HISTOGRAM)


def colour_tool(methods):
    tool = imgnorm.Normalizer()
    tool.train(np.dstack([REFERENCE] * 3), methods=methods, channel_axis=2)
    return tool


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
                    "This tool was not trained for the specified  method. Asked for LINEAR_FIT; "
                    "trained for HISTOGRAM."),
    "not trained for colour": (
        lambda: colour_tool(Method.HISTOGRAM | Method.TAILS).explain(np.dstack([IMAGE] * 3), Method.LOCAL,
                                                                     channel_axis=2),
        imgnorm.NotTrained, RuntimeError, 0x10007A02,
        "This tool was not trained for the specified  method. Asked for LOCAL; trained for HISTOGRAM|TAILS."),
    "untrained": (lambda: imgnorm.Normalizer().run(IMAGE, Method.LOCAL), imgnorm.NotTrained, RuntimeError,
                  0x10007A02, "This tool was not trained for the specified  method. Asked for LOCAL; "
                  "trained for no method."),
    "empty histogram": (lambda: corner_tool().run(REFERENCE, Method.HISTOGRAM, offset=(10, 10)),
                        imgnorm.NormalizationFailed, RuntimeError, None,
                        "Cannot normalize since histogram is empty."),
    "no tool file": (lambda: imgnorm.Normalizer.load("/nonexistent/t"), imgnorm.HostError, RuntimeError, 0x10000301,
                     'Cannot load tool file "/nonexistent/t": Cannot open archive file "/nonexistent/t".'),
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
    with pytest.raises(ValueError, match="^model must be 'subtract' or 'divide', not 'multiply'$"):
        tool.set(tail_fractions=(0.3, 0.4), model="multiply")
    assert tool.tail_fractions == (0.0, 1.0) and tool.model == "subtract"
    tool.set(tail_fractions=(0.1, 0.9), keep_masked_pixels=True, model="divide")
    assert tool.trained_methods == Method.TAILS and tool.tail_fractions == (0.1, 0.9)
    assert tool.model == "divide"
    with pytest.raises(imgnorm.CanNotTrain):
        tool.train(REFERENCE, methods=-1)
    assert tool.trained_methods == Method.TAILS


SAVED_METHODS = Method.HISTOGRAM | Method.LINEAR_FIT | Method.LOCAL
SAVED_PARAMS = dict(tail_fractions=(0.05, 0.95), neighborhood=(11, 7), granularity=(2, 3),
                    intensity_range=(-40, 60), keep_masked_pixels=True, model="divide")


def make_tool(reference=None):
    reference = gradient_image((40, 56), seed=31) if reference is None else reference
    tool = imgnorm.Normalizer(**SAVED_PARAMS)
    tool.train(reference, random_image(reference.shape, seed=32) > 30, methods=SAVED_METHODS,
               reference_offset=(2, 1), mask_offset=(0, 3))
    return tool


def assert_same_tool(a, b):
    assert a == b and a.trained_methods == b.trained_methods == SAVED_METHODS
    for name in list(SAVED_PARAMS) + ["reference_offset", "mask_offset"]:
        assert getattr(a, name) == getattr(b, name), name
    np.testing.assert_array_equal(a.mask, b.mask)
    image = gradient_image((44, 60), seed=33)
    for method in (Method.HISTOGRAM, Method.LINEAR_FIT, Method.LOCAL):
        np.testing.assert_array_equal(a.run(image, method), b.run(image, method))


def test_files_bytes_and_pickles_hold_the_whole_tool(tmp_path):
    tool = make_tool()
    tool.save(tmp_path / "tool.bin")
    assert (tmp_path / "tool.bin").read_bytes() == tool.to_bytes()
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


def test_threads_running_one_tool_agree_with_sequential_runs():
    mask = np.ones((96, 128), dtype=bool)
    mask[30:60, 40:90] = False
    tool = trained(gradient_image((96, 128), seed=41), mask, neighborhood=(15, 15),
                   tail_fractions=(0.02, 0.98), keep_masked_pixels=True)
    jobs = [(gradient_image((96 + i % 3, 128 - i % 5), seed=100 + i), m) for i in range(6) for m in METHODS]
    expected = [tool.run(image, method) for image, method in jobs]
    with ThreadPoolExecutor(max_workers=6) as pool:
        for got, want in zip(pool.map(lambda job: tool.run(*job), jobs * 2), expected * 2):
            np.testing.assert_array_equal(got, want)


def test_changes_during_runs_never_mix_states():
    image = gradient_image((64, 64), seed=52)
    tool = trained(gradient_image((64, 64), seed=51), methods=Method.TAILS)
    narrow = tool.run(image, Method.TAILS)
    tool.set(tail_fractions=(0.2, 0.8))
    wide = tool.run(image, Method.TAILS)
    assert not np.array_equal(narrow, wide)

    def flip(i):
        tool.set(tail_fractions=(0.0, 1.0) if i % 2 else (0.2, 0.8))

    def run(_):
        result = tool.run(image, Method.TAILS)
        return np.array_equal(result, narrow) or np.array_equal(result, wide)

    with ThreadPoolExecutor(max_workers=4) as pool:
        changes = pool.map(flip, range(200))
        assert all(pool.map(run, range(200)))
        list(changes)


def test_threads_share_the_rows_of_one_image():
    # Strips against one run are the library's tests' work; this is the binding's.
    reference, image = gradient_image((1200, 800), seed=61), gradient_image((1200, 800), seed=62)
    tool = trained(reference, reference > 60, neighborhood=(21, 21))  # three strips
    one = tool.run(image, Method.LOCAL)
    # None is the default, one thread; counts past any use mean as many as useful.
    for threads in (3, np.int64(3), None, 2**40):
        np.testing.assert_array_equal(tool.run(image, Method.LOCAL, threads=threads), one)


@pytest.mark.parametrize("threads, error, message", [
    (0, ValueError, "^threads must be at least 1, not 0$"),
    (-1, ValueError, "^threads must be at least 1, not -1$"),
    (-2**70, ValueError, f"^threads must be at least 1, not {-2**70}$"),
    (2.0, TypeError, "^threads must be an integer or None, not float$"),
    ("2", TypeError, "^threads must be an integer or None, not str$"),
])
def test_thread_counts_are_checked(threads, error, message):
    with pytest.raises(error, match=message):
        trained(REFERENCE, methods=Method.LOCAL).run(IMAGE, Method.LOCAL, threads=threads)
