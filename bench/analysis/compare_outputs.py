#!/usr/bin/python3
"""Runs two tarn-analyze builds on the benchmark data (benchdata.py) with every output format,
every coverage rule, class areas, every field, scenarios and density levels, and checks that
they write the same: the same bytes in every output file (a GeoPackage, which stamps the time
of writing, the same layers, fields, values and geometries), the same log and exit status.
For a change meant to leave every result as it was.

usage: compare_outputs.py OLD NEW [--size N] [--polygons N] [--dir DIR] [--quick]
Needs python3-gdal and python3-numpy.
"""
import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile

from osgeo import gdal, ogr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchdata  # noqa: E402

FORMATS = ("shp", "gpkg", "geojson", "fgb", "csv")
RULES = ("centre", "exact", "touched")


def cases(quick):
    """(name, extension, tarn-analyze options, POPDENSITY, scenarios, analysis theme) for
    each run."""
    out = []
    for rule in RULES:
        for ext in FORMATS[:2] if quick else FORMATS:
            out.append(("%s-%s" % (rule, ext), ext, ["--coverage", rule], 0, False, "blocks"))
        out.append(("%s-classes" % rule, "shp", ["--coverage", rule, "--class-areas"], 1, False,
                    "blocks"))
        out.append(("%s-scenarios" % rule, "shp", ["--coverage", rule], 2, True, "blocks"))
        out.append(("%s-density" % rule, "gpkg", ["--coverage", rule, "--class-areas"], 3,
                    True, "blocks"))
        out.append(("%s-fields" % rule, "shp", ["--coverage", rule, "--keep-fields"], 0, False,
                    "blocks"))
    out.append(("exact-fields-classes-1", "shp",
                ["--coverage", "exact", "--keep-fields", "--class-areas", "--threads", "1"], 0,
                False, "blocks"))
    # A shapefile written by GDAL's writer, not copied from the theme.
    out.append(("centre-shp-from-gpkg", "shp", ["--keep-fields"], 0, False, "blocks_gpkg"))
    return out


def dump(path):
    """A GeoPackage as text: each layer's fields and features, without its time stamps."""
    ds = ogr.Open(path)
    lines = []
    for layer in ds:
        defn = layer.GetLayerDefn()
        lines.append("layer %s %s" % (layer.GetName(), [
            (defn.GetFieldDefn(i).GetName(), defn.GetFieldDefn(i).GetTypeName())
            for i in range(defn.GetFieldCount())]))
        for f in layer:
            g = f.GetGeometryRef()
            lines.append("%r %s" % ([f.GetField(i) for i in range(defn.GetFieldCount())],
                                    g.ExportToWkb().hex() if g else None))
    return lines


def run(tarn, folder, case, work):
    name, ext, options, popdensity, scenarios, theme = case
    out = os.path.join(work, name, "result." + ext)
    os.makedirs(os.path.dirname(out), exist_ok=True)
    params = os.path.join(work, name + ".txt")
    benchdata.write_params(params, out, popdensity,
                           [("developments", 23), ("developments", 99)] if scenarios else (),
                           theme)
    done = subprocess.run([tarn, params, "--data", folder] + options, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    # The store beside each build is named by its folder.
    log = (done.stdout + done.stderr).decode().replace(work, "WORK").replace(
        os.path.dirname(os.path.abspath(tarn)), "PROGRAMS")
    return done.returncode, log, os.path.dirname(out)


def same_files(a, b):
    names = sorted(os.listdir(a))
    if names != sorted(os.listdir(b)):
        return "files %s, %s" % (names, sorted(os.listdir(b)))
    for n in names:
        pa, pb = os.path.join(a, n), os.path.join(b, n)
        if n.endswith(".gpkg") and dump(pa) == dump(pb):
            continue
        if not filecmp.cmp(pa, pb, shallow=False):
            return "%s differs" % n
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--size", type=int, default=2000)
    ap.add_argument("--polygons", type=int, default=10000)
    ap.add_argument("--dir")
    ap.add_argument("--quick", action="store_true", help="shapefiles and GeoPackages only")
    args = ap.parse_args()
    folder = args.dir or os.path.join(tempfile.gettempdir(), "tarn-bench-%d-%d-0.02" % (
        args.size, args.polygons))
    benchdata.make_data(folder, args.size, args.polygons)
    gpkg = os.path.join(folder, "blocks_gpkg.gpkg")
    if not os.path.exists(gpkg):
        gdal.VectorTranslate(gpkg, os.path.join(folder, "blocks.shp"), layerName="blocks_gpkg",
                             geometryType="PROMOTE_TO_MULTI")
    differ = 0
    for case in cases(args.quick):
        results = []
        for who, tarn in (("old", args.old), ("new", args.new)):
            work = tempfile.mkdtemp(prefix="tarn-compare-%s-" % who)
            results.append(run(tarn, folder, case, work) + (work,))
        (code_a, log_a, out_a, work_a), (code_b, log_b, out_b, work_b) = results
        problem = ("exit status %d, %d" % (code_a, code_b) if code_a != code_b
                   else "log differs:\n%s\n--\n%s" % (log_a, log_b) if log_a != log_b
                   else same_files(out_a, out_b))
        print("%-24s %s" % (case[0], problem or "the same"))
        differ += problem is not None
        shutil.rmtree(work_a)
        shutil.rmtree(work_b)
    print("%d of %d runs differ" % (differ, len(cases(args.quick))))
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
