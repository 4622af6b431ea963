"""Throughput of imgnorm.dask.normalize_files against `imgnorm run -j N` on
the same batch of PNG files (histogram matching by default).

Usage: PYTHONPATH=<build>/python/site /usr/bin/python3 python/bench_dask.py \\
           --cli <build>/tools/imgnorm [--images 2000] [--side 512] [--workers 1,2]

Each configuration runs --repeats times, alternating with the others so that
a slow spell of the machine hits all of them; the best and the median are
printed. The Dask cluster (single-threaded worker processes) is started
before the clock starts: its start-up is a one-off cost, printed apart.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

# This folder holds the package's sources without the compiled module; the
# built package comes from PYTHONPATH.
sys.path = [p for p in sys.path if os.path.abspath(p or ".") != os.path.dirname(os.path.abspath(__file__))]

import imgnorm  # noqa: E402
import imgnorm.dask  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

METHODS = {"histogram": imgnorm.Method.HISTOGRAM, "local": imgnorm.Method.LOCAL,
           "linear-fit": imgnorm.Method.LINEAR_FIT}


def scene(side, seed):
    rng = np.random.default_rng(seed)
    rows, cols = np.indices((side, side))
    texture = ((rows // 32 + cols // 32) % 2) * 60 + 80 + rows // 8
    gain, offset = rng.uniform(0.6, 1.1), rng.uniform(-20, 40)
    noise = rng.integers(-6, 7, size=texture.shape)
    return np.clip(texture * gain + offset + noise, 0, 255).astype(np.uint8)


def make_inputs(folder, count, side):
    os.makedirs(folder)
    paths = [os.path.join(folder, f"image{i:05d}.png") for i in range(count)]
    with ThreadPoolExecutor() as pool:
        list(pool.map(lambda i: imgnorm.write_image(paths[i], scene(side, i)), range(count)))
    return paths


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def run_cli(cli, tool_path, method, threads, paths, out):
    shutil.rmtree(out, ignore_errors=True)
    subprocess.run([cli, "run", "--tool", tool_path, "--method", method, "-j", str(threads),
                    "-o", out + "/", *paths], check=True, stdout=subprocess.DEVNULL)


def run_dask(client, tool, method, paths, out):
    shutil.rmtree(out, ignore_errors=True)
    records = imgnorm.dask.normalize_files(tool, METHODS[method], paths, out, client=client)
    failed = [r for r in records if not r["success"]]
    if failed:
        raise RuntimeError(f"{len(failed)} files failed, first: {failed[0]['message']}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", default=os.environ.get("IMGNORM_CLI", "build/default/tools/imgnorm"))
    parser.add_argument("--images", type=int, default=2000)
    parser.add_argument("--side", type=int, default=512)
    parser.add_argument("--method", choices=sorted(METHODS), default="histogram")
    parser.add_argument("--workers", default="1,2", help="worker counts (and -j values) to time")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    workers = [int(w) for w in args.workers.split(",")]

    with tempfile.TemporaryDirectory(prefix="imgnorm-bench-") as work:
        paths = make_inputs(os.path.join(work, "in"), args.images, args.side)
        tool = imgnorm.Normalizer(neighborhood=(61, 61))
        tool.train(scene(args.side, 10**6), methods=METHODS[args.method])
        tool_path = os.path.join(work, "tool.imgn")
        tool.save(tool_path)
        out = os.path.join(work, "out")

        times = {}
        clusters = {}
        try:
            for n in workers:
                start = time.perf_counter()
                cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                       dashboard_address=":0")
                clusters[n] = (cluster, Client(cluster))
                print(f"cluster of {n} worker(s) started in {time.perf_counter() - start:.1f} s")
            for _ in range(args.repeats):
                for n in workers:
                    times.setdefault(f"imgnorm run -j {n}", []).append(
                        timed(lambda: run_cli(args.cli, tool_path, args.method, n, paths, out)))
                    times.setdefault(f"normalize_files, {n} worker(s)", []).append(
                        timed(lambda: run_dask(clusters[n][1], tool, args.method, paths, out)))
        finally:
            for cluster, client in clusters.values():
                client.close()
                cluster.close()

    print(f"{args.images} images of {args.side} x {args.side}, {args.method}, "
          f"{os.cpu_count()} cores, {args.repeats} runs each")
    for name, values in times.items():
        best, median = min(values), statistics.median(values)
        print(f"  {name:<28} best {args.images / best:7.1f} images/s   "
              f"median {args.images / median:7.1f} images/s   (runs: "
              + ", ".join(f"{v:.1f}" for v in values) + " s)")
    for n in workers:
        cli = min(times[f"imgnorm run -j {n}"])
        ours = min(times[f"normalize_files, {n} worker(s)"])
        print(f"  {n} worker(s): normalize_files at {cli / ours:.2f} x the command line's throughput")


if __name__ == "__main__":
    main()
