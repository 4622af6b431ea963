"""Normalization on Dask: batches of image files over a cluster, and images
larger than memory as dask arrays.

    from dask.distributed import Client
    import imgnorm, imgnorm.dask

    records = imgnorm.dask.normalize_files(tool, imgnorm.Method.HISTOGRAM,
                                           paths, "out/", client=Client(address))
    flat = imgnorm.dask.normalize_array(tool, imgnorm.Method.LOCAL, giant)

Both give the pels of the tool's in-memory run. Needs the dask and
distributed packages.
"""

import math
import numbers
import os
import time
from typing import TYPE_CHECKING, Any

import dask
import dask.array as da
import numpy as np
from dask.array.overlap import ensure_minimum_chunksize, overlap, trim_internal

from . import (
    BadImage,
    Error,
    Method,
    Normalizer,
    NotTrained,
    _methods_of_kind,
    read_image,
    write_image,
)

# Names for annotations only, private so that the module offers no more
# than at run time.
if TYPE_CHECKING:
    from collections.abc import Iterable as _Iterable
    from collections.abc import Sequence as _Sequence
    from typing import TypedDict as _TypedDict

    from dask.array.core import Array as _Array  # dask.array hides it from strict mypy
    from dask.distributed import Client as _Client

    _Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

    class _FileRecord(_TypedDict):
        """What normalize_files reports of one input."""

        input: str | bytes
        output: str | bytes
        method: str
        success: bool
        message: str
        milliseconds: float

_IMAGE_EXTENSIONS = {".png", ".tif", ".tiff", ".pgm"}
_LOCAL_METHODS = _methods_of_kind("local")

# ------------------------------------------------------------ many files


def normalize_files(
    tool: Normalizer,
    method: int,
    inputs: "_Iterable[_Path]",
    output_dir: "_Path",
    client: "_Client | None" = None,
    *,
    files_per_task: int | None = None,
) -> "list[_FileRecord]":
    """Normalizes image files with a trained tool on a Dask cluster.

    tool: a trained imgnorm.Normalizer, sent to every worker once.
    method: the imgnorm.Method to run.
    inputs: paths of PNG, TIFF or PGM files.
    output_dir: folder of the results (made when missing). A result keeps its
        input's file name, or gets .png when that name has no image
        extension, as the command line names them.
    client: a dask.distributed.Client; None runs on a local cluster of one
        single-threaded worker process per core, closed afterwards.
    files_per_task: files one task reads, normalizes and writes in turn, at
        least 1; None (the default) gives enough for about four tasks per
        worker thread, at most 64.

    Files are read and written by the library's own readers and atomic
    writers: a result file is either absent or whole, also when a worker
    dies and Dask runs its task again elsewhere.

    Returns one record per input, in input order: a dict of input, output,
    method (its name), success, message (why it failed, else "") and
    milliseconds (read, run and write). A file that cannot be read,
    normalized or written fails its record only; the batch goes on.
    """
    _check_files_per_task(files_per_task)
    method = Method(method)
    if method not in tool.trained_methods:
        raise NotTrained(f"the tool was not trained for {method!r} (trained for: "
                         f"{tool.trained_methods!r})")
    jobs = _plan_jobs(inputs, output_dir)
    if client is None:
        return _on_local_cluster(lambda c: _run_jobs(c, tool, method, jobs, files_per_task))
    return _run_jobs(client, tool, method, jobs, files_per_task)


def _output_path(output_dir, path):
    name = os.path.basename(os.fspath(path))
    stem, extension = os.path.splitext(name)
    if extension.lower() not in _IMAGE_EXTENSIONS:
        name = stem + ".png"
    return os.path.join(os.fspath(output_dir), name)


def _check_files_per_task(files_per_task):
    if files_per_task is None:
        return
    if isinstance(files_per_task, bool) or not isinstance(files_per_task, numbers.Integral):
        raise TypeError(f"files_per_task must be an integer or None, not {type(files_per_task).__name__}")
    if files_per_task < 1:
        raise ValueError(f"files_per_task must be at least 1, not {files_per_task}")


def _checked_path(path, name):
    """The path as a str or bytes; a NUL would end the name at the operating
    system, so it is refused as open() refuses it."""
    path = os.fspath(path)
    if ("\0" if isinstance(path, str) else b"\0") in path:
        raise ValueError(f"{name} must not contain a NUL character: {path!r}")
    return path


def _plan_jobs(inputs, output_dir):
    """(input, output) pairs; refuses a plan that would lose a result or an
    input before anything is written."""
    inputs = [_checked_path(path, f"inputs[{i}]") for i, path in enumerate(inputs)]
    output_dir = _checked_path(output_dir, "output_dir")
    jobs = [(path, _output_path(output_dir, path)) for path in inputs]
    outputs = [os.path.realpath(output) for _, output in jobs]
    if len(set(outputs)) != len(outputs):
        raise ValueError("two inputs have the same file name: their results would overwrite each other")
    overwritten = set(outputs) & {os.path.realpath(path) for path, _ in jobs}
    if overwritten:
        raise ValueError(f"a result would overwrite its input: {sorted(overwritten)[0]}")
    os.makedirs(output_dir, exist_ok=True)
    return jobs


def _on_local_cluster(work):
    from dask.distributed import Client, LocalCluster

    workers = len(os.sched_getaffinity(0))
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True) as cluster:
        with Client(cluster) as client:
            return work(client)


def _run_jobs(client, tool, method, jobs, files_per_task):
    if not jobs:
        return []
    if files_per_task is None:
        threads = max(1, sum(client.nthreads().values()))
        files_per_task = min(64, math.ceil(len(jobs) / (4 * threads)))
    # Broadcast: every worker holds the tool before the tasks arrive, and a
    # worker that dies does not take the only copy with it.
    scattered = client.scatter(tool, broadcast=True)
    chunks = [jobs[i : i + files_per_task] for i in range(0, len(jobs), files_per_task)]
    # Not pure: the tasks write files, a batch run twice writes them twice.
    futures = client.map(_normalize_chunk, chunks, tool=scattered, method=int(method), pure=False)
    return [record for records in client.gather(futures) for record in records]


def _normalize_chunk(chunk, tool, method):
    """Runs on a worker: one record per (input, output) pair."""
    return [_normalize_file(tool, Method(method), path, output) for path, output in chunk]


def _normalize_file(tool, method, path, output):
    start = time.perf_counter()
    try:
        result = tool.run(read_image(path, as_gray=True), method)
        if result.size == 0:
            raise ValueError("the image does not overlap the reference")
        write_image(output, result)
        success, message = True, ""
    except (Error, OSError, ValueError) as error:
        success, message = False, str(error)
    milliseconds = (time.perf_counter() - start) * 1e3
    return {"input": path, "output": output, "method": method.name, "success": success,
            "message": message, "milliseconds": milliseconds}


# ---------------------------------------------------------- one big image


def normalize_array(
    tool: Normalizer, method: int, array: Any, *, offset: "_Sequence[int] | None" = None
) -> "_Array":
    """A lazy dask array of the pels tool.run(array, method, offset=offset)
    gives, computed chunk by chunk.

    array: any 2-D uint8 array, or uint16 for a tool of 16-bit images
        (dask, numpy, zarr: anything dask.array takes), its top-left pel at
        offset (x, y); None places it at the
        origin and, as for run, maps an array of another shape than the
        reference whole with a global method or LINEAR_FIT when the tool has
        no mask.

    The global methods and LINEAR_FIT take two passes: the counts of every
    chunk (histogram, or joint gray-level pairs with the reference; the
    histogram of every pel for an array mapped whole) summed as a
    reduction, one gray-level map from the sum, then the map applied chunk
    by chunk. The local methods run each chunk with the margin their
    filter reaches, at the chunk's place against the reference and mask.
    The method is checked now; a run that cannot build its map raises
    NormalizationFailed when the array is computed. Local methods at a
    granularity above (1, 1) are refused (ValueError): their reduced grid
    follows the whole image.

    The tool travels in the graph once: keep the reference and mask to what
    the workers can hold (each worker holds one copy).
    """
    array = da.asarray(array)
    if array.dtype not in (np.uint8, np.uint16):
        raise TypeError(f"array must be a 2-D uint8 or uint16 array, not {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"array must be a 2-D {array.dtype} array, not {array.ndim}-D")
    if array.dtype != tool._dtype:
        bits = f" of {tool.bits} bits" if tool._dtype == np.uint16 else ""
        raise TypeError(f"this tool is for {tool._dtype} images{bits}, not {array.dtype}")
    method = Method(method)
    if method == Method.IDENTITY:
        return array.copy()
    if not method & _LOCAL_METHODS:
        _check_method(tool, method, (0, 0))
        if offset is None and tool._maps_whole(array.shape, method):
            return _mapped_whole(tool, method, array)
    offset = (0, 0) if offset is None else tuple(offset)
    covered = tool._covered(array.shape, offset)
    if covered is None:
        _check_method(tool, method, offset)
        return da.zeros((0, 0), dtype=array.dtype)
    x, y, width, height = covered
    part = array[y - offset[1] : y - offset[1] + height, x - offset[0] : x - offset[0] + width]
    if method & _LOCAL_METHODS:
        return _locally_corrected(tool, method, part, (x, y))
    return _mapped(tool, method, part, (x, y))


def _check_method(tool, method, origin):
    """Raises what run raises for a method it refuses; for a global method
    or the fit, gives the number of counts a part gives."""
    if method & _LOCAL_METHODS:
        tool._local_margin(method)
        return 0
    return tool._count(np.zeros((1, 1), tool._dtype), method, tuple(origin)).size


def _meta(dtype):
    return np.empty((0, 0), dtype=dtype)


def _chunk_offset(origin, block_info):
    (y0, _), (x0, _) = block_info[0]["array-location"]
    return origin[0] + x0, origin[1] + y0


def _count_chunk(chunk, tool, method, origin, block_info=None):
    counts = tool._count(chunk, method, _chunk_offset(origin, block_info))
    return counts.reshape(1, 1, -1)


def _map_chunk(chunk, tool, levels, origin, block_info=None):
    return tool._map_part(chunk, levels, _chunk_offset(origin, block_info))


def _summed_counts(part, count_chunk, bins, *args):
    """The counts count_chunk takes from every chunk, summed: a reduction."""
    rows, cols = part.numblocks
    counts = part.map_blocks(count_chunk, *args, new_axis=2,
                             chunks=((1,) * rows, (1,) * cols, (bins,)), dtype=np.uint64,
                             meta=np.empty((0, 0, 0), np.uint64))
    return counts.sum(axis=(0, 1), dtype=np.uint64)


def _mapped(tool, method, part, origin):
    # Levels, or (run-time, reference) pairs followed at 16 bits by levels.
    bins = _check_method(tool, method, origin)
    tool = dask.delayed(tool)
    total = _summed_counts(part, _count_chunk, bins, tool, int(method), origin)
    levels = dask.delayed(_map_of)(tool, int(method), total)
    return part.map_blocks(_map_chunk, tool, levels, origin, dtype=part.dtype,
                           meta=_meta(part.dtype))


def _map_of(tool, method, counts):
    return tool._map(method, counts)


def _histogram_chunk(chunk, levels):
    """The histogram of every pel, and last the pels above the levels."""
    counts = np.bincount(chunk.ravel(), minlength=levels).astype(np.uint64)
    above = counts[levels:].sum(dtype=np.uint64)
    return np.append(counts[:levels], above).reshape(1, 1, -1)


def _whole_map_of(tool, method, histogram):
    if histogram[-1]:
        raise BadImage(f"The image has {histogram[-1]} pels above its {tool.bits} bits.")
    return tool._whole_map(method, histogram[:-1])


def _lookup_chunk(chunk, levels):
    return levels[chunk]


def _mapped_whole(tool, method, array):
    """Every pel through the map of the whole array's histogram, as run maps
    an image of another size than the reference."""
    levels = 2 ** tool.bits
    histogram = _summed_counts(array, _histogram_chunk, levels + 1, levels)
    table = dask.delayed(_whole_map_of)(dask.delayed(tool), int(method), histogram)
    return array.map_blocks(_lookup_chunk, table, dtype=array.dtype, meta=_meta(array.dtype))


def _locally_corrected(tool, method, part, origin):
    margin = tool._local_margin(method)
    if margin is None:
        raise ValueError("local methods run in chunks only at granularity (1, 1); "
                         f"this tool's is {tool.granularity}")
    # Every chunk at least as wide as the margin, so that the margin lies
    # within its neighbours; an axis of one chunk needs none.
    depth, chunks = {}, []
    for axis, reach in enumerate(reversed(margin)):
        sizes = part.chunks[axis]
        if sum(sizes) <= reach:
            sizes, reach = (sum(sizes),), 0
        chunks.append(ensure_minimum_chunksize(reach, sizes))
        depth[axis] = reach if len(chunks[-1]) > 1 else 0
    part = part.rechunk(tuple(chunks))
    starts = [np.cumsum((0,) + sizes[:-1]) for sizes in part.chunks]

    def run_chunk(chunk, tool, block_id=None):
        # Chunks but the first of an axis start one margin early.
        (i, j) = block_id
        y = origin[1] + starts[0][i] - (depth[0] if i else 0)
        x = origin[0] + starts[1][j] - (depth[1] if j else 0)
        return tool.run(chunk, method, offset=(int(x), int(y)))

    extended = overlap(part, depth=depth, boundary="none")
    results = extended.map_blocks(run_chunk, dask.delayed(tool), dtype=part.dtype,
                                  meta=_meta(part.dtype))
    return trim_internal(results, depth, boundary="none")
