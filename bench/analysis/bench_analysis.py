#!/usr/bin/python3
"""Times tarn-analyze against a bare read of the raster and a peer on the same data, in the
same run.

Data: a land cover raster of SIZE x SIZE cells (default 10,000; tiled GeoTIFF, NLCD class
values, NoData 0) and a shapefile of POLYGONS parcels (default 10,000, a jittered grid, no
overlaps, so that one id raster holds them all).

Peer: gdal_rasterize (gdal.Rasterize, the same rasterizer in process) burns the polygon ids
into an in-memory Int32 raster; NumPy then counts cells per polygon and class in strips of
rows and weighs them with the same coefficients.

Floor: bench_read (beside tarn-analyze) reads band 1 whole through GDAL in C++, on one
thread and on THREADS threads.

Prints the times, the ratios tarn-analyze / bare read (cell-centre rule, on THREADS threads),
exact / centre, peer / tarn-analyze, the peak memory (maximum resident set) of each
tarn-analyze run, and the largest difference between the impervious areas of tarn-analyze
and the peer, which must be 0 up to rounding.

Each program runs REPEAT times (default 5), in turn; the medians are printed.

usage: bench_analysis.py TARN_ANALYZE [--size N] [--polygons N] [--dir DIR] [--threads N]
                         [--repeat N] [--no-peer]
Needs python3-gdal, python3-numpy and time (scripts/deps.sh python3-gdal python3-numpy time).
"""
import argparse
import math
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
from osgeo import gdal, ogr, osr

gdal.UseExceptions()

CLASSES = {11: (0, 0, 0), 21: (20, 15, 10), 22: (40, 35, 30), 23: (70, 65, 60),
           24: (90, 85, 80), 41: (1, 1, 1), 42: (1, 1, 1), 52: (2, 2, 2), 71: (2, 2, 1),
           81: (3, 2, 1), 82: (3, 2, 1), 90: (1, 1, 1)}
CELL = 30.0
X0, Y0 = 300000.0, 5000000.0


def make_data(folder, size, polygons):
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32617)
    raster = os.path.join(folder, "landcover.tif")
    if not os.path.exists(raster):
        ds = gdal.GetDriverByName("GTiff").Create(
            raster, size, size, 1, gdal.GDT_Byte,
            ["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "BIGTIFF=IF_SAFER"])
        ds.SetGeoTransform((X0, CELL, 0, Y0, 0, -CELL))
        ds.SetProjection(srs.ExportToWkt())
        band = ds.GetRasterBand(1)
        band.SetNoDataValue(0)
        rng = np.random.default_rng(10000)
        values = np.array(sorted(CLASSES) + [99, 0], dtype=np.uint8)  # 99: no CLASS line
        for row in range(0, size, 1000):
            rows = min(1000, size - row)
            patches = rng.integers(0, len(values), size=(rows // 10 + 1, size // 10 + 1))
            strip = np.repeat(np.repeat(values[patches], 10, axis=0), 10, axis=1)
            noise = rng.random((rows, size)) < 0.2
            strip = strip[:rows, :size]
            strip[noise] = rng.choice(values, size=int(noise.sum()))
            band.WriteArray(strip, 0, row)
        ds = None

    shp = os.path.join(folder, "parcels.shp")
    if not os.path.exists(shp):
        drv = ogr.GetDriverByName("ESRI Shapefile")
        out = drv.CreateDataSource(shp)
        lyr = out.CreateLayer("parcels", srs, ogr.wkbPolygon)
        lyr.CreateField(ogr.FieldDefn("PID", ogr.OFTInteger))
        n = int(math.ceil(math.sqrt(polygons)))
        step = size * CELL / n
        rng = np.random.default_rng(7)
        pid = 0
        for j in range(n):
            for i in range(n):
                if pid >= polygons:
                    break
                pid += 1
                x, y = X0 + i * step, Y0 - j * step
                pts = []
                for k in range(12):  # a jittered 12-gon inside its grid square
                    a = 2 * math.pi * k / 12
                    r = step * (0.3 + 0.18 * rng.random())
                    pts.append((x + step / 2 + r * math.cos(a), y - step / 2 + r * math.sin(a)))
                ring = ogr.Geometry(ogr.wkbLinearRing)
                for px, py in pts + pts[:1]:
                    ring.AddPoint_2D(px, py)
                poly = ogr.Geometry(ogr.wkbPolygon)
                poly.AddGeometry(ring)
                f = ogr.Feature(lyr.GetLayerDefn())
                f.SetField("PID", pid)
                f.SetGeometry(poly)
                lyr.CreateFeature(f)
        out = None
    return raster, shp


def timed(args):
    """Seconds and peak resident memory in MB of a program. /usr/bin/time measures the
    memory: a child of this Python process would report the Python process' own peak."""
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + args, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, check=True)
    seconds = time.perf_counter() - start
    peak_kb = float(done.stderr.decode().strip().splitlines()[-1])
    return seconds, peak_kb / 1024.0, done.stdout


def run_read(tarn, raster, threads):
    reader = os.path.join(os.path.dirname(tarn), "bench_read")
    seconds, _, _ = timed([reader, raster, str(threads)])
    return seconds


def run_tarn(tarn, folder, threads, coverage):
    params = os.path.join(folder, "model_params.txt")
    out = os.path.join(folder, "out", "result.shp")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    lines = ["VIEW#View1", "LCTHEME#landcover", "LCUNITS#Meters", "ANALYSISTHEME#parcels",
             "ANALYSISUNIT#PID", "POPDENSITY#0", "OUTTHEME#" + out, "OUTTHEMENAME#result"]
    lines += ["CLASS#%d#c%d#%g#%g#%g" % ((k, k) + v) for k, v in CLASSES.items()]
    with open(params, "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")
    seconds, peak, _ = timed([tarn, params, "--data", folder, "--threads", str(threads),
                              "--coverage", coverage])
    ds = ogr.Open(out)
    areas = {f.GetField("PID"): f.GetField("IS_AREA") for f in ds.GetLayer(0)}
    return seconds, peak, areas


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
    for k, v in CLASSES.items():
        weights[k] = v[0]
    area = CELL * CELL
    is_area = counts @ weights * area / 100
    seconds = time.perf_counter() - start
    return seconds, {pid: is_area[pid] for pid in range(1, n + 1)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tarn_analyze")
    ap.add_argument("--size", type=int, default=10000)
    ap.add_argument("--polygons", type=int, default=10000)
    ap.add_argument("--dir")
    ap.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--no-peer", action="store_true", help="leave out the NumPy peer")
    args = ap.parse_args()
    folder = args.dir or os.path.join(tempfile.gettempdir(),
                                      "tarn-bench-%d-%d" % (args.size, args.polygons))
    os.makedirs(folder, exist_ok=True)
    t = time.perf_counter()
    raster, shp = make_data(folder, args.size, args.polygons)
    print("data: %s (%d x %d cells, %d polygons), ready in %.1f s"
          % (folder, args.size, args.size, args.polygons, time.perf_counter() - t))
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    run_read(args.tarn_analyze, raster, 1)  # the file into the page cache for everyone
    # Every program in turn, REPEAT times, so that a busy moment does not fall on one alone.
    runs = {key: [] for key in ("read1", "readn", "centre", "exact", "one")}
    for _ in range(max(1, args.repeat)):
        runs["read1"].append((run_read(args.tarn_analyze, raster, 1), 0, None))
        runs["readn"].append((run_read(args.tarn_analyze, raster, args.threads), 0, None))
        runs["centre"].append(run_tarn(args.tarn_analyze, folder, args.threads, "centre"))
        runs["exact"].append(run_tarn(args.tarn_analyze, folder, args.threads, "exact"))
        runs["one"].append(run_tarn(args.tarn_analyze, folder, 1, "centre"))
    median = {key: sorted(values, key=lambda r: r[0])[len(values) // 2]
              for key, values in runs.items()}
    read1_s = median["read1"][0]
    readn_s = median["readn"][0]
    tarn_s, tarn_mb, tarn_areas = median["centre"]
    exact_s, exact_mb, _ = median["exact"]
    one_s = median["one"][0]
    print("bare GDAL read, 1 thread:            %.2f s" % read1_s)
    print("bare GDAL read, %d threads:           %.2f s" % (args.threads, readn_s))
    print("tarn-analyze centre, 1 thread:       %.2f s" % one_s)
    print("tarn-analyze centre, %d threads:      %.2f s, peak %.0f MB"
          % (args.threads, tarn_s, tarn_mb))
    print("tarn-analyze exact, %d threads:       %.2f s, peak %.0f MB"
          % (args.threads, exact_s, exact_mb))
    print("ratio tarn-analyze / read (1 thread):  %.2f" % (tarn_s / read1_s))
    print("ratio tarn-analyze / read (%d threads): %.2f" % (args.threads, tarn_s / readn_s))
    print("ratio exact / centre:                %.2f" % (exact_s / tarn_s))
    print("per polygon beyond the read:         %.2f us"
          % ((tarn_s - readn_s) / args.polygons * 1e6))
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())
    if args.no_peer:
        return 0
    peer_s, peer_areas = run_peer(raster, shp)
    worst = max(abs(tarn_areas[k] - peer_areas[k]) for k in peer_areas)
    print("peer (rasterize + NumPy):            %.2f s" % peer_s)
    print("ratio peer / tarn-analyze:           %.2f" % (peer_s / tarn_s))
    print("largest IS_AREA difference:          %.4f square metres" % worst)
    return 0 if worst < 0.01 else 1


if __name__ == "__main__":
    sys.exit(main())
