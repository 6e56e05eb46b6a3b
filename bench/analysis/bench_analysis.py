#!/usr/bin/python3
"""Times tarn-analyze against a bare read of the raster and a peer on the same data, in the
same run.

Data (benchdata.py): a DEFLATE-compressed tiled land cover raster of SIZE x SIZE cells
(default 10,000) and a tessellation of about POLYGONS census-block-like polygons (default
100,000; 8 to 20 vertices, 4% with holes, 2% multipart), kept in DIR for later runs.

Floor: bench_read (beside tarn-analyze) reads band 1 whole through GDAL in C++, on one
thread and on THREADS threads.

Peer: gdal_rasterize (gdal.Rasterize, the same rasterizer in process) burns the polygon ids
into an in-memory Int32 raster; NumPy then counts cells per polygon and class in strips of
rows and weighs them with the same coefficients. Its impervious areas must equal those of
the cell-centre rule.

Each program runs REPEAT times (default 5), in turn, so that a busy moment of the shared
machine does not fall on one alone; the medians are printed, wall time and CPU time (user
and system, all threads) side by side, with the ratios of each run to the bare read on as
many threads. The exact rule is checked too: every block clear of the NoData rows must get
an LC_AREA equal to its own area, to the 0.1 square metre a shapefile's area field keeps.

Change: a run of two land covers (the raster and a later year with the developments built)
against a run of the first alone, both described by options (--land-cover), on THREADS
threads: the cost of the second land cover, which must stay within twice a single run, and
the check that the change run's first-year areas are the single run's.

--against OTHER times another tarn-analyze build in the same turns, each case of both builds
side by side and each first in every other turn, and prints its ratios to this one, after
checking that both write the same bytes. --args passes options on to both
(for instance "--keep-fields --class-areas"); --output names the output's extension.

usage: bench_analysis.py TARN_ANALYZE [--size N] [--polygons N] [--dir DIR] [--threads N]
                         [--repeat N] [--no-peer] [--against OTHER] [--args ARGS]
                         [--output EXT] [--unknown SHARE]
Needs python3-gdal, python3-numpy and time (scripts/deps.sh python3-gdal python3-numpy time).
"""
import argparse
import filecmp
import os
import shlex
import subprocess
import sys
import tempfile
import time

import numpy as np
from osgeo import gdal, ogr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchdata  # noqa: E402

gdal.UseExceptions()


class Run:
    """Wall seconds, CPU seconds and peak resident MB of one process."""

    def __init__(self, args):
        # /usr/bin/time measures: a child of this Python process would report its own peak.
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%U %S %M"] + args,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.wall = time.perf_counter() - start
        if done.returncode != 0:
            sys.exit("%s failed:\n%s" % (args[0], done.stderr.decode()))
        user, system, peak = done.stderr.decode().strip().splitlines()[-1].split()
        self.cpu = float(user) + float(system)
        self.mb = float(peak) / 1024


def median(runs):
    """The run of median wall time, with the median CPU time of all."""
    middle = sorted(runs, key=lambda r: r.wall)[len(runs) // 2]
    middle.cpu = sorted(r.cpu for r in runs)[len(runs) // 2]
    return middle


def run_read(tarn, raster, threads):
    return Run([os.path.join(os.path.dirname(tarn), "bench_read"), raster, str(threads)])


def run_tarn(tarn, folder, name, threads, coverage, extra):
    params = os.path.join(folder, "params-%s.txt" % name)
    out = os.path.join(folder, "out-" + name, "result." + extra.output)
    os.makedirs(os.path.dirname(out), exist_ok=True)
    benchdata.write_params(params, out)
    return Run([tarn, params, "--data", folder, "--threads", str(threads),
                "--coverage", coverage] + shlex.split(extra.args))


def run_described(tarn, folder, name, threads, land_covers, extra):
    """A run said by options: land_covers [(label, file)], the High coefficients."""
    coefficients = os.path.join(folder, "coefficients.csv")
    benchdata.write_coefficients(coefficients)
    out = os.path.join(folder, "out-" + name, "result.shp")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    args = [tarn]
    for label, path in land_covers:
        args += ["--land-cover", "%s=%s" % (label, path)]
    return Run(args + ["--polygons", os.path.join(folder, "blocks.shp"), "--field", "PID",
                       "--coefficients", coefficients, "--coefficient", "high", "-o", out,
                       "--threads", str(threads)] + shlex.split(extra.args))


def outputs(folder, name):
    out = os.path.join(folder, "out-" + name)
    return sorted(os.path.join(out, f) for f in os.listdir(out))


def read_result(folder, name, field):
    ds = ogr.Open(os.path.join(folder, "out-" + name, "result.shp"))
    return {f.GetField("PID"): f.GetField(field) for f in ds.GetLayer(0)}


def exact_area_error(folder, name, blocks):
    """The largest difference between LC_AREA and the block's own area, over the blocks
    wholly below the NoData rows, and whether each is within the rounding to a tenth of the
    shapefile field and 1e-9 of the area."""
    lc = read_result(folder, name, "LC_AREA")
    below = benchdata.Y0 - benchdata.NODATA_ROWS * benchdata.CELL
    worst = 0.0
    exact = True
    ds = ogr.Open(blocks)
    for f in ds.GetLayer(0):
        g = f.GetGeometryRef()
        if g.GetEnvelope()[3] < below:
            error = abs(lc[f.GetField("PID")] - g.GetArea())
            worst = max(worst, error)
            exact = exact and error <= 0.05 + 1e-9 * g.GetArea()
    return worst, exact


def run_peer(raster, shp):
    start = time.perf_counter()
    lc = gdal.Open(raster)
    size_x, size_y = lc.RasterXSize, lc.RasterYSize
    ids = gdal.GetDriverByName("MEM").Create("", size_x, size_y, 1, gdal.GDT_Int32)
    ids.SetGeoTransform(lc.GetGeoTransform())
    ids.SetProjection(lc.GetProjection())
    gdal.Rasterize(ids, shp, attribute="PID")  # a new MEM raster holds zeros
    vector = ogr.Open(shp)  # kept: a layer dies with its data source
    n = vector.GetLayer(0).GetFeatureCount()
    counts = np.zeros((n + 1) * 256, dtype=np.int64)
    lc_band, id_band = lc.GetRasterBand(1), ids.GetRasterBand(1)
    for row in range(0, size_y, 1024):
        rows = min(1024, size_y - row)
        cls = lc_band.ReadAsArray(0, row, size_x, rows).astype(np.int64)
        pid = id_band.ReadAsArray(0, row, size_x, rows).astype(np.int64)
        counts += np.bincount((pid * 256 + cls).ravel(), minlength=counts.size)
    counts = counts.reshape(n + 1, 256)
    weights = np.zeros(256)
    for k, v in benchdata.CLASSES.items():
        weights[k] = v[0]
    is_area = counts @ weights * benchdata.CELL * benchdata.CELL / 100
    seconds = time.perf_counter() - start
    return seconds, {pid: is_area[pid] for pid in range(1, n + 1)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tarn_analyze")
    ap.add_argument("--size", type=int, default=10000)
    ap.add_argument("--polygons", type=int, default=100000)
    ap.add_argument("--dir")
    ap.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--unknown", type=float, default=0.02,
                    help="share of cells of a class without a CLASS line (new data only)")
    ap.add_argument("--no-peer", action="store_true", help="leave out the NumPy peer")
    ap.add_argument("--against", help="another tarn-analyze to time in the same turns")
    ap.add_argument("--args", default="", help="options for tarn-analyze")
    ap.add_argument("--output", default="shp", help="the output's extension")
    args = ap.parse_args()
    folder = args.dir or os.path.join(tempfile.gettempdir(), "tarn-bench-%d-%d-%g" % (
        args.size, args.polygons, args.unknown))
    t = time.perf_counter()
    raster, shp = benchdata.make_data(folder, args.size, args.polygons, args.unknown)
    later = benchdata.make_later_year(folder)
    blocks = ogr.Open(shp)  # kept: a layer dies with its data source
    features = blocks.GetLayer(0).GetFeatureCount()
    blocks = None
    print("data: %s (%d x %d cells, %d polygons), ready in %.1f s"
          % (folder, args.size, args.size, features, time.perf_counter() - t))
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    n = args.threads
    programs = {"": args.tarn_analyze}
    if args.against:
        programs["other "] = args.against
    run_read(args.tarn_analyze, raster, 1)  # the file into the page cache for everyone
    runs = {}
    for turn in range(max(1, args.repeat)):
        runs.setdefault("read 1", []).append(run_read(args.tarn_analyze, raster, 1))
        runs.setdefault("read %d" % n, []).append(run_read(args.tarn_analyze, raster, n))
        for coverage, threads in (("centre", n), ("exact", n), ("centre", 1)):
            # The builds side by side, first in turn: a run's cost of fresh memory depends on
            # what ran just before it.
            for who, tarn in list(programs.items())[::-1 if turn % 2 else 1]:
                key = "%s%s %d" % (who, coverage, threads)
                runs.setdefault(key, []).append(run_tarn(
                    tarn, folder, key.replace(" ", "-"), threads, coverage, args))
        for key, land_covers in (("one land cover %d" % n, [("y1", raster)]),
                                 ("change of two %d" % n, [("y1", raster), ("y2", later)])):
            runs.setdefault(key, []).append(run_described(
                args.tarn_analyze, folder, key.replace(" ", "-"), n, land_covers, args))
    m = {key: median(values) for key, values in runs.items()}
    print("%-28s %8s %8s %8s %10s %8s" % ("median of %d" % args.repeat, "wall s", "CPU s",
                                          "/ read", "CPU / read", "peak MB"))
    for key, r in m.items():
        read = m["read " + key.split()[-1]]
        ratio, cpu_ratio = ("", "") if key.startswith("read") else (
            "%8.2f" % (r.wall / read.wall), "%10.2f" % (r.cpu / read.cpu))
        print("%-28s %8.2f %8.2f %8s %10s %8.0f" % (key, r.wall, r.cpu, ratio, cpu_ratio, r.mb))
    print("exact / centre (%d threads):       wall %.2f, CPU %.2f"
          % (n, m["exact %d" % n].wall / m["centre %d" % n].wall,
             m["exact %d" % n].cpu / m["centre %d" % n].cpu))
    print("per polygon beyond the read:       %.2f us of CPU"
          % ((m["centre %d" % n].cpu - m["read %d" % n].cpu) / features * 1e6))
    one, two = m["one land cover %d" % n], m["change of two %d" % n]
    print("second land cover: change of two / one land cover (%d threads): wall %.2f, CPU %.2f"
          % (n, two.wall / one.wall, two.cpu / one.cpu))
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())
    status = 0
    if args.output == "shp":
        single = read_result(folder, "one-land-cover-%d" % n, "IS_AREA")
        first = read_result(folder, "change-of-two-%d" % n, "ISA_y1")
        same = single == first
        print("change run's first land cover equals the single run: %s" % ("yes" if same else
                                                                             "NO"))
        status |= 0 if same else 1
    if args.against:
        for key in ("centre %d" % n, "exact %d" % n, "centre 1"):
            mine = outputs(folder, key.replace(" ", "-"))
            theirs = outputs(folder, "other-" + key.replace(" ", "-"))
            same = [os.path.basename(a) == os.path.basename(b) and filecmp.cmp(a, b, False)
                    for a, b in zip(mine, theirs)]
            print("other / this, %-10s wall %.3f, CPU %.3f; outputs %s"
                  % (key + ":", m["other " + key].wall / m[key].wall,
                     m["other " + key].cpu / m[key].cpu,
                     "the same" if len(mine) == len(theirs) and all(same) else "DIFFER"))
            status |= 0 if len(mine) == len(theirs) and all(same) else 1
    if args.output == "shp":
        worst, exact = exact_area_error(folder, "exact-%d" % n, shp)
        print("exact rule, largest |LC_AREA - area|: %.3f m2 (%s)"
              % (worst, "rounding to 0.1 alone" if exact else "MORE THAN ROUNDING"))
        status |= 0 if exact else 1
    if args.no_peer or args.output != "shp":
        return status
    peer_s, peer_areas = run_peer(raster, shp)
    tarn_areas = read_result(folder, "centre-%d" % n, "IS_AREA")
    worst = max(abs(tarn_areas[k] - peer_areas[k]) for k in peer_areas)
    print("peer (rasterize + NumPy):          %.2f s, %.1f x centre on %d threads"
          % (peer_s, peer_s / m["centre %d" % n].wall, n))
    print("largest IS_AREA difference:        %.4f square metres" % worst)
    return status | (0 if worst < 0.01 else 1)


if __name__ == "__main__":
    sys.exit(main())
