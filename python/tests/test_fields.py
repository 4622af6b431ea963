"""The local methods' two models, and the correction fields they apply."""

import os
import subprocess

import numpy as np
import pytest
import tifffile

import imgnorm
from imgnorm import Method

from helpers import gradient_image, random_image

CLI = os.environ.get("IMGNORM_CLI")


def applied(image, field, top):
    """The result a field gives by its stated rule."""
    if field.dtype == np.float32:
        return (np.minimum(image.astype(np.float32) / field, np.float32(top)) + np.float32(0.5)).astype(np.int64)
    return np.clip(image.astype(np.int64) - field, 0, top)


def tool_and_image(bits, model, method, masked):
    top = 2 ** bits - 1
    scale = top / 255
    reference = (gradient_image((48, 61), seed=5) * scale).astype(np.uint8 if bits == 8 else np.uint16)
    image = (gradient_image((52, 57), seed=6) * scale * 0.7).astype(reference.dtype)
    mask = random_image(reference.shape, seed=7) > 40 if masked else None
    tool = imgnorm.Normalizer(neighborhood=(15, 11), intensity_range=(-top, top), keep_masked_pixels=masked,
                              model=model)
    tool.train(reference, mask, methods=method, bits=None if bits == 8 else bits)
    return tool, image, top


@pytest.mark.parametrize("bits", [8, 12])
@pytest.mark.parametrize("model", ["subtract", "divide"])
@pytest.mark.parametrize("method", [Method.LOCAL, Method.LOCAL_ENHANCED], ids=lambda m: m.name)
@pytest.mark.parametrize("masked", [False, True], ids=["unmasked", "masked"])
def test_the_field_applied_gives_the_result(bits, model, method, masked):
    tool, image, top = tool_and_image(bits, model, method, masked)
    result, field = tool.run_with_field(image, method, offset=(1, -2))
    np.testing.assert_array_equal(result, tool.run(image, method, offset=(1, -2)))
    assert field.shape == result.shape
    assert field.dtype == (np.float32 if model == "divide" else np.int32)
    covered = image[2:2 + result.shape[0], :result.shape[1]]
    np.testing.assert_array_equal(applied(covered, field, top), result)


def test_fields_refuse_global_methods_and_colour_tools():
    tool, image, _ = tool_and_image(8, "divide", Method.LOCAL | Method.HISTOGRAM, False)
    with pytest.raises(imgnorm.BadParams, match="^A correction field comes from a local method only.$"):
        tool.run_with_field(image, Method.HISTOGRAM)
    with pytest.raises(TypeError, match="this tool is for uint8 images, not uint16"):
        tool.run_with_field(image.astype(np.uint16), Method.LOCAL)
    colour = imgnorm.Normalizer()
    colour.train(np.stack([gradient_image((20, 20), seed=s) for s in range(3)], axis=-1), channel_axis=-1,
                 methods=Method.LOCAL)
    with pytest.raises(ValueError, match="a colour tool corrects each channel by its own field"):
        colour.run_with_field(gradient_image((20, 20), seed=4), Method.LOCAL)


@pytest.mark.skipif(not CLI, reason="IMGNORM_CLI does not name the command-line tool")
@pytest.mark.parametrize("bits, model", [(8, "subtract"), (8, "divide"), (12, "divide"), (16, "subtract")])
def test_the_saved_field_read_with_tifffile_reproduces_the_result(tmp_path, bits, model):
    tool, image, top = tool_and_image(bits, model, Method.LOCAL, False)
    reference = tool.reference[:48, :57]
    imgnorm.write_image(tmp_path / "reference.tif", reference, **({} if bits == 8 else {"bits": bits}))
    imgnorm.write_image(tmp_path / "image.tif", image[:48, :57], **({} if bits == 8 else {"bits": bits}))
    done = subprocess.run([CLI, "normalize", "--reference", str(tmp_path / "reference.tif"), "--method", "local",
                           "--neighborhood", "15x11", "--model", model, "--field-out", str(tmp_path / "field.tif"),
                           str(tmp_path / "image.tif"), "-o", str(tmp_path / "out.tif")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    with tifffile.TiffFile(tmp_path / "field.tif") as tif:
        field = tif.asarray()
        description = tif.pages[0].description
    expected_dtype = np.float32 if model == "divide" else (np.int16 if bits == 8 else np.int32)
    assert field.dtype == expected_dtype
    assert f"model {model}" in description and f"{top}" in description
    result = imgnorm.read_image(tmp_path / "out.tif")
    np.testing.assert_array_equal(applied(image[:48, :57], field, top), result)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_a_stack_of_frames_trains_on_its_mean_or_median(dtype):
    rng = np.random.default_rng(3)
    clean = (gradient_image((40, 50), seed=8).astype(np.int64) * (1 if dtype == np.uint8 else 200))
    frames = []
    for _ in range(16):
        frame = clean + rng.integers(-3, 4, size=clean.shape)
        y, x = rng.integers(0, 32), rng.integers(0, 42)
        frame[y:y + 8, x:x + 8] = 0  # a small object, elsewhere in each frame
        frames.append(np.clip(frame, 0, np.iinfo(dtype).max).astype(dtype))
    bits = None if dtype == np.uint8 else 16
    for combine, expected in [("mean", np.floor(np.mean(frames, axis=0, dtype=np.float64) + 0.5)),
                              ("median", np.sort(frames, axis=0)[7])]:
        tool = imgnorm.Normalizer()
        tool.train(frames if combine == "mean" else np.stack(frames), methods=Method.LOCAL, bits=bits,
                   combine=combine)
        np.testing.assert_array_equal(tool.reference, expected.astype(dtype))
    median = np.abs(tool.reference.astype(np.int64) - clean).mean()
    assert all(median < np.abs(frame.astype(np.int64) - clean).mean() for frame in frames)
    with pytest.raises(ValueError, match="^combine must be 'mean' or 'median', not 'max'$"):
        tool.train(frames, combine="max")


@pytest.mark.skipif(not CLI, reason="IMGNORM_CLI does not name the command-line tool")
def test_the_command_line_combines_16_bit_frames_as_python_does(tmp_path):
    rng = np.random.default_rng(9)
    frames = [rng.integers(0, 4096, size=(30, 41)).astype(np.uint16) for _ in range(4)]
    paths = []
    for i, frame in enumerate(frames):
        paths.append(str(tmp_path / f"f{i}.tif"))
        imgnorm.write_image(paths[-1], frame, bits=12)
    for combine in ("mean", "median"):
        done = subprocess.run([CLI, "train", "--reference", *paths, "--combine", combine, "--methods", "local",
                               "-o", str(tmp_path / "tool.imgn")], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        expected = imgnorm.Normalizer()
        expected.train(frames, methods=Method.LOCAL, bits=12, combine=combine)
        loaded = imgnorm.Normalizer.load(tmp_path / "tool.imgn")
        assert loaded.bits == 12
        np.testing.assert_array_equal(loaded.reference, expected.reference)
