"""Normalizes a batch of image files on a local Dask cluster, then one image
too large to hold twice as a lazy dask array.

Run with Debian's interpreter: /usr/bin/python3 examples/dask_batch.py [SCHEDULER]
SCHEDULER is the address of a running Dask scheduler (tcp://host:8786); without
it the batch runs on a local cluster of one worker process per core.
"""

import os
import sys
import tempfile

import dask.array as da
import numpy as np

import imgnorm
import imgnorm.dask
from imgnorm import Method


def scene(shape, gain, offset):
    rows, cols = np.indices(shape)
    texture = ((rows // 24 + cols // 24) % 2) * 60 + 90 + (rows + cols) // 16
    return np.clip(texture * gain + offset, 0, 255).astype(np.uint8)


def batch(scheduler):
    """Files with their own exposure each, plus one broken file."""
    reference = scene((480, 640), 1.0, 0)
    tool = imgnorm.Normalizer(neighborhood=(61, 61))
    tool.train(reference, methods=Method.HISTOGRAM | Method.LOCAL)

    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for i in range(24):
            paths.append(os.path.join(folder, f"shot{i:02d}.png"))
            imgnorm.write_image(paths[-1], scene(reference.shape, 0.6 + i / 40, 30 - i))
        paths.append(os.path.join(folder, "broken.png"))
        with open(paths[-1], "wb") as f:
            f.write(b"not an image")

        if scheduler:
            from dask.distributed import Client

            with Client(scheduler) as client:
                records = imgnorm.dask.normalize_files(tool, Method.HISTOGRAM, paths,
                                                       os.path.join(folder, "out"), client=client)
        else:
            records = imgnorm.dask.normalize_files(tool, Method.HISTOGRAM, paths,
                                                   os.path.join(folder, "out"))
        done = [r for r in records if r["success"]]
        print(f"normalized {len(done)} of {len(records)} files, "
              f"{sum(r['milliseconds'] for r in done) / len(done):.1f} ms each")
        for r in records:
            if not r["success"]:
                print(f"  failed: {r['message']}")
        first = imgnorm.read_image(done[0]["output"])
        print(f"  {os.path.basename(done[0]['input'])}: mean |result - reference| "
              f"{np.abs(first.astype(int) - reference).mean():.2f}")


def giant_image():
    """A 3000 x 4000 image in chunks, lit unevenly, flattened by LOCAL. A real
    one comes from a chunked file: da.from_zarr("scan.zarr"). The tool's
    reference must cover the image."""
    reference = scene((3000, 4000), 1.0, 0)
    tool = imgnorm.Normalizer(neighborhood=(61, 61))
    tool.train(reference, methods=Method.LOCAL)
    cols = da.arange(4000, chunks=1000)[None, :]
    image = (da.from_array(reference, chunks=(750, 1000)) * 0.9 - cols / 100).clip(0, 255)
    image = image.astype(np.uint8)
    flat = imgnorm.dask.normalize_array(tool, Method.LOCAL, image)
    error, before = da.compute(abs(flat.astype(int) - reference).mean(),
                               abs(image.astype(int) - reference).mean())
    print(f"3000 x 4000 in {flat.npartitions} chunks: mean |result - reference| "
          f"{error:.2f} (before: {before:.2f})")

if __name__ == "__main__":
    # Worker processes start by importing this file: the guard keeps them
    # from running it.
    batch(sys.argv[1] if len(sys.argv) > 1 else None)
    giant_image()
