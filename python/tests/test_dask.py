"""imgnorm.dask: pel-for-pel equality with the in-memory run on each path
(global map, linear fit, local), failures reported per file, and a batch
that survives a killed worker."""

import os
import signal
import threading
import time

import numpy as np
import pytest

distributed = pytest.importorskip(
    "dask.distributed", reason="dask and distributed are not installed (python3-dask, python3-distributed)")
import dask.array as da  # noqa: E402

import imgnorm  # noqa: E402
import imgnorm.dask  # noqa: E402
from imgnorm import Method  # noqa: E402

from helpers import METHODS, gradient_image  # noqa: E402


def deepened(image, bits):
    """8-bit levels spread over 12 bits, with the low bits of a ramp; as is at 8."""
    if bits == 8:
        return image
    rows, cols = np.indices(image.shape)
    return (image.astype(np.uint16) << 4) + ((rows + 3 * cols) % 16).astype(np.uint16)


def scene(shape, seed, bits=8):
    return deepened((gradient_image(shape, seed).astype(int) * 3 // 4 + 10).astype(np.uint8), bits)


def trained_tool(mask=True, bits=8, **params):
    reference = deepened(gradient_image((150, 170), seed=1), bits)
    holes = np.ones(reference.shape, dtype=bool)
    holes[40:70, 50:120] = False
    if bits > 8:
        params.setdefault("intensity_range", (-4095, 4095))
    tool = imgnorm.Normalizer(tail_fractions=(0.05, 0.95), **params)
    tool.train(reference, holes if mask else None, bits=None if bits == 8 else bits)
    return tool


@pytest.mark.parametrize("method, params", [
    (Method.HISTOGRAM, dict(mask=False)),
    (Method.LINEAR_FIT, dict(neighborhood=(31, 21), keep_masked_pixels=True)),
    (Method.LOCAL, dict(mask=False)),  # default neighbourhood: margins wider than the chunks
    (Method.LOCAL_ENHANCED, dict(neighborhood=(31, 21), keep_masked_pixels=True)),
    (Method.LOCAL, dict(neighborhood=(21, 25), model="divide")),
], ids=lambda v: getattr(v, "name", ""))
@pytest.mark.parametrize("bits", [8, 12])
def test_array_has_the_pels_of_the_in_memory_run(method, params, bits):
    tool = trained_tool(bits=bits, **params)
    # Larger than the reference and shifted: only the covered part comes back.
    image = scene((170, 200), seed=2, bits=bits)
    lazy = imgnorm.dask.normalize_array(tool, method, da.from_array(image, chunks=(37, 50)), offset=(-12, -7))
    np.testing.assert_array_equal(lazy.compute(scheduler="sync"), tool.run(image, method, offset=(-12, -7)))


@pytest.mark.parametrize("shape", [(170, 200), (120, 230)], ids=["larger", "other shape"])
@pytest.mark.parametrize("method", METHODS, ids=lambda m: m.name)
@pytest.mark.parametrize("bits", [8, 12])
def test_array_of_another_size_without_offset_is_mapped_as_the_run_maps_it(method, shape, bits):
    # Without a mask and an offset, run maps the global methods and the
    # linear fit over the whole image; the local methods keep the overlap.
    tool = trained_tool(mask=False, bits=bits, neighborhood=(31, 21))
    image = scene(shape, seed=4, bits=bits)
    lazy = imgnorm.dask.normalize_array(tool, method, da.from_array(image, chunks=(37, 50)))
    expected = tool.run(image, method)
    assert lazy.shape == expected.shape
    np.testing.assert_array_equal(lazy.compute(scheduler="sync"), expected)


def test_array_errors_are_the_runs():
    flat = da.full((64, 64), 90, dtype=np.uint8, chunks=32)
    for tool in (trained_tool(), trained_tool(mask=False)):  # the overlap's map, the whole array's
        with pytest.raises(imgnorm.NormalizationFailed, match="standard deviation"):
            imgnorm.dask.normalize_array(tool, Method.MEAN_STDDEV, flat).compute(scheduler="sync")
    with pytest.raises(imgnorm.BadParams, match="more than one"):
        imgnorm.dask.normalize_array(trained_tool(), Method(3), flat)
    coarse = imgnorm.Normalizer(neighborhood=(31, 31), granularity=(4, 4))
    coarse.train(gradient_image((64, 64), seed=3), methods=Method.LOCAL)
    with pytest.raises(ValueError, match="granularity"):
        imgnorm.dask.normalize_array(coarse, Method.LOCAL, flat)
    # Depths: refused when the array is given, or, for pels above the bits
    # of an array mapped whole, when it is computed.
    deep = trained_tool(mask=False, bits=12)
    with pytest.raises(TypeError, match="this tool is for uint16 images of 12 bits, not uint8"):
        imgnorm.dask.normalize_array(deep, Method.LOCAL, flat)
    with pytest.raises(TypeError, match="this tool is for uint8 images, not uint16"):
        imgnorm.dask.normalize_array(trained_tool(), Method.HISTOGRAM, flat.astype(np.uint16))
    with pytest.raises(TypeError, match="uint8 or uint16 array, not int16"):
        imgnorm.dask.normalize_array(deep, Method.HISTOGRAM, flat.astype(np.int16))
    above = da.full((64, 64), 4096, dtype=np.uint16, chunks=32)
    with pytest.raises(imgnorm.BadImage, match="The image has 4096 pels above its 12 bits."):
        imgnorm.dask.normalize_array(deep, Method.HISTOGRAM, above).compute(scheduler="sync")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


def write_inputs(folder, count, shape=(128, 160)):
    folder.mkdir()
    paths = [str(folder / f"image{i:03d}.png") for i in range(count)]
    for i, path in enumerate(paths):
        imgnorm.write_image(path, scene(shape, seed=10 + i))
    return paths


def assert_results_of_the_in_memory_run(tool, method, records):
    for record in records:
        assert record["success"] and record["method"] == method.name, record
        expected = tool.run(imgnorm.read_image(record["input"]), method)
        np.testing.assert_array_equal(imgnorm.read_image(record["output"]), expected)


def test_files_give_records_and_results_of_the_in_memory_run(client, tmp_path):
    tool = trained_tool()
    paths = write_inputs(tmp_path / "in", 5)
    (tmp_path / "in" / "broken.pgm").write_bytes(b"P5\n10 10\n255\nshort")
    paths.insert(2, str(tmp_path / "in" / "broken.pgm"))
    records = imgnorm.dask.normalize_files(tool, Method.HISTOGRAM, paths, tmp_path / "out",
                                           client=client, files_per_task=2)
    assert [r["input"] for r in records] == paths
    broken = records.pop(2)
    assert not broken["success"] and "broken.pgm" in broken["message"]
    assert not os.path.exists(broken["output"])
    assert_results_of_the_in_memory_run(tool, Method.HISTOGRAM, records)


@pytest.mark.parametrize("files_per_task, error, message", [
    (0, ValueError, "^files_per_task must be at least 1, not 0$"),
    (-1, ValueError, "^files_per_task must be at least 1, not -1$"),
    (2.0, TypeError, "^files_per_task must be an integer or None, not float$"),
])
def test_files_per_task_below_one_is_refused_before_anything_is_written(client, tmp_path, files_per_task,
                                                                         error, message):
    paths = write_inputs(tmp_path / "in", 2)
    with pytest.raises(error, match=message):
        imgnorm.dask.normalize_files(trained_tool(), Method.HISTOGRAM, paths, tmp_path / "out",
                                     client=client, files_per_task=files_per_task)
    assert not (tmp_path / "out").exists()


def test_paths_with_a_nul_are_refused_before_anything_is_written(client, tmp_path):
    paths = write_inputs(tmp_path / "in", 2)
    tool, out = trained_tool(), tmp_path / "out"
    with pytest.raises(ValueError, match=r"^inputs\[1\] must not contain a NUL character: "):
        imgnorm.dask.normalize_files(tool, Method.HISTOGRAM, [paths[0], paths[1] + "\0.png"], out, client=client)
    with pytest.raises(ValueError, match=r"^output_dir must not contain a NUL character: "):
        imgnorm.dask.normalize_files(tool, Method.HISTOGRAM, paths, str(out) + "\0x", client=client)
    assert not out.exists()


def test_files_survive_a_worker_killed_mid_batch(client, tmp_path):
    tool = trained_tool(neighborhood=(61, 61))
    paths = write_inputs(tmp_path / "in", 48, shape=(384, 384))
    out = tmp_path / "out"
    pids = list(client.run(os.getpid).values())
    records = []
    batch = threading.Thread(target=lambda: records.extend(imgnorm.dask.normalize_files(
        tool, Method.LOCAL, paths, out, client=client, files_per_task=1)))
    batch.start()
    while not (out.exists() and any(out.iterdir())):
        time.sleep(0.005)
    done_before_kill = len(list(out.iterdir()))
    os.kill(pids[0], signal.SIGKILL)
    batch.join(timeout=50)
    assert done_before_kill < len(paths) / 2
    assert len(records) == len(paths)
    # Visible files are whole results; a killed writer leaves at most a
    # hidden temporary beside them.
    visible = sorted(p.name for p in out.iterdir() if not p.name.startswith("."))
    assert visible == sorted(os.path.basename(p) for p in paths)
    assert_results_of_the_in_memory_run(tool, Method.LOCAL, records)
