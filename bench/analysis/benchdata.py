"""The analysis benchmark's data, made once per size and kept in its folder.

Land cover: SIZE x SIZE cells of 30 m, a GeoTIFF tiled in 256 x 256 blocks and compressed
with DEFLATE, as land cover is distributed; 8-bit class values in patches of a few hundred
metres with scattered single cells, NoData (0) only in the first rows, so that the polygons
below them hold no NoData cell. UNKNOWN of the cells (default 2%) hold a class without a
CLASS line.

Blocks: a tessellation of the raster's extent into about POLYGONS census-block-like polygons
that share their boundaries: jittered quadrilaterals whose sides bend through 1 to 4 shared
points each (8 to 20 vertices), about 4% with a hole holding an island, half of the islands
blocks of their own and half the second part of the neighbouring block (2% multipart).
Fields PID (1, 2, ...), GEOID (text), POP (integer) and DENS (persons per hectare, real).

Developments: rectangles over about one block in 200, the scenario theme.

A later year (landcover_later.tif, for change runs): the land cover with the developments
built as class 24, the same grid and compression.
"""
import math
import os
import struct

import numpy as np
from osgeo import gdal, ogr, osr

gdal.UseExceptions()

CELL = 30.0
X0, Y0 = 300000.0, 5000000.0
EPSG = 32617
# NLCD classes with CLASS lines (High, Medium, Low); UNKNOWN_CLASS has none.
CLASSES = {11: (0, 0, 0), 21: (20, 15, 10), 22: (40, 35, 30), 23: (70, 65, 60),
           24: (90, 85, 80), 31: (5, 4, 3), 41: (1, 1, 1), 42: (1, 1, 1), 43: (1, 1, 1),
           52: (2, 2, 2), 71: (2, 2, 1), 81: (3, 2, 1), 82: (3, 2, 1), 90: (1, 1, 1)}
UNKNOWN_CLASS = 95
NODATA_ROWS = 40


def srs():
    s = osr.SpatialReference()
    s.ImportFromEPSG(EPSG)
    return s


def make_raster(path, size, unknown):
    ds = gdal.GetDriverByName("GTiff").Create(
        path, size, size, 1, gdal.GDT_Byte,
        ["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "COMPRESS=DEFLATE",
         "BIGTIFF=IF_SAFER"])
    ds.SetGeoTransform((X0, CELL, 0, Y0, 0, -CELL))
    ds.SetProjection(srs().ExportToWkt())
    band = ds.GetRasterBand(1)
    band.SetNoDataValue(0)
    rng = np.random.default_rng(10000)
    known = np.array(sorted(CLASSES), dtype=np.uint8)
    # Developed and forest classes are common, the others rarer, as in a county's land cover.
    weights = np.array([4, 8, 6, 4, 2, 1, 10, 8, 3, 5, 3, 8, 10, 4], dtype=float)
    weights /= weights.sum()
    patch = 12  # cells: 360 m
    for row in range(0, size, 1024):
        rows = min(1024, size - row)
        grid = rng.choice(known, p=weights, size=(rows // patch + 2, size // patch + 2))
        strip = np.repeat(np.repeat(grid, patch, axis=0), patch, axis=1)[:rows, :size]
        noise = rng.random((rows, size)) < 0.05
        strip[noise] = rng.choice(known, p=weights, size=int(noise.sum()))
        strip[rng.random((rows, size)) < unknown] = UNKNOWN_CLASS
        if row < NODATA_ROWS:
            strip[:NODATA_ROWS - row, :] = 0
        band.WriteArray(strip, 0, row)
    ds = None


def ring_wkb(points):
    pts = np.asarray(points + points[:1], dtype="<f8")
    return struct.pack("<I", len(pts)) + pts.tobytes()


def polygon_wkb(rings):
    return struct.pack("<BII", 1, 3, len(rings)) + b"".join(ring_wkb(r) for r in rings)


def multipolygon_wkb(parts):
    return struct.pack("<BII", 1, 6, len(parts)) + b"".join(polygon_wkb(p) for p in parts)


def make_blocks(path, size, polygons):
    """Returns the number of features written."""
    n = max(1, round(math.sqrt(polygons / 1.02)))
    step = size * CELL / n
    rng = np.random.default_rng(7)
    corners = np.empty((n + 1, n + 1, 2))
    corners[..., 0] = X0 + step * np.arange(n + 1)[None, :]
    corners[..., 1] = Y0 - step * np.arange(n + 1)[:, None]
    corners[1:-1, 1:-1] += rng.uniform(-0.25, 0.25, (n - 1, n - 1, 2)) * step

    def bends(a, b, border):
        """1 to 4 points between corners a and b, shared by the blocks on either side."""
        k = int(rng.integers(1, 5))
        t = np.sort(rng.uniform(0.15, 0.85, k))
        normal = np.array([a[1] - b[1], b[0] - a[0]]) / max(math.dist(a, b), 1e-9)
        off = 0 if border else 1
        return [tuple(a + (b - a) * s + normal * off * rng.uniform(-0.05, 0.05) * step)
                for s in t]

    across = [[bends(corners[j, i], corners[j, i + 1], j in (0, n)) for i in range(n)]
              for j in range(n + 1)]
    down = [[bends(corners[j, i], corners[j + 1, i], i in (0, n)) for i in range(n + 1)]
            for j in range(n)]
    holed = rng.random((n, n)) < 0.04

    drv = ogr.GetDriverByName("ESRI Shapefile")
    out = drv.CreateDataSource(path)
    lyr = out.CreateLayer(os.path.splitext(os.path.basename(path))[0], srs(), ogr.wkbPolygon)
    for name, kind, width in (("PID", ogr.OFTInteger, 10), ("GEOID", ogr.OFTString, 15),
                              ("POP", ogr.OFTInteger, 8), ("DENS", ogr.OFTReal, 12)):
        field = ogr.FieldDefn(name, kind)
        field.SetWidth(width)
        if kind == ogr.OFTReal:
            field.SetPrecision(3)
        lyr.CreateField(field)
    defn = lyr.GetLayerDefn()
    pid = 0

    def write(wkb):
        nonlocal pid
        pid += 1
        f = ogr.Feature(defn)
        f.SetField(0, pid)
        f.SetField(1, "36061%010d" % pid)
        dens = float(rng.lognormal(2.5, 1.0))
        f.SetField(2, int(dens * step * step / 10000))
        f.SetField(3, round(dens, 3))
        f.SetGeometryDirectly(ogr.CreateGeometryFromWkb(wkb))
        lyr.CreateFeature(f)

    def hole(j, i):
        """An 8-gon around the block's middle, counter-clockwise, as a shapefile's holes run."""
        centre = corners[j:j + 2, i:i + 2].reshape(4, 2).mean(axis=0)
        r = step * rng.uniform(0.08, 0.14, 8)
        a = np.arange(8) * (2 * math.pi / 8)
        return [tuple(p) for p in np.stack([centre[0] + r * np.cos(a),
                                            centre[1] + r * np.sin(a)], axis=1)]

    holes = {(j, i): hole(j, i) for j in range(n) for i in range(n) if holed[j, i]}
    islands = {key: ring[::-1] for key, ring in holes.items()}  # those not yet written
    for j in range(n):
        for i in range(n):
            # Clockwise in map coordinates, as a shapefile's outer rings run.
            ring = ([tuple(corners[j, i])] + across[j][i] + [tuple(corners[j, i + 1])] +
                    down[j][i + 1] + [tuple(corners[j + 1, i + 1])] +
                    across[j + 1][i][::-1] + [tuple(corners[j + 1, i])] + down[j][i][::-1])
            rings = [ring] + ([holes[(j, i)]] if (j, i) in holes else [])
            parts = [rings]
            # Every other island is the second part of the block on the left of its hole.
            if i + 1 < n and (j, i + 1) in islands and (j + i) % 2 == 0:
                parts.append([islands.pop((j, i + 1))])
            write(polygon_wkb(rings) if len(parts) == 1 else multipolygon_wkb(parts))
            if (j, i) in islands:
                write(polygon_wkb([islands.pop((j, i))]))
    out = None
    return pid


def make_developments(path, size, polygons):
    rng = np.random.default_rng(11)
    drv = ogr.GetDriverByName("ESRI Shapefile")
    out = drv.CreateDataSource(path)
    lyr = out.CreateLayer("developments", srs(), ogr.wkbPolygon)
    extent = size * CELL
    block = extent / math.sqrt(max(polygons, 1))
    for _ in range(max(5, polygons // 200)):
        w, h = rng.uniform(0.5, 2.5, 2) * block
        x = X0 + rng.uniform(0, extent - w)
        y = Y0 - rng.uniform(0, extent - h)
        f = ogr.Feature(lyr.GetLayerDefn())
        f.SetGeometryDirectly(ogr.CreateGeometryFromWkb(
            polygon_wkb([[(x, y), (x + w, y), (x + w, y - h), (x, y - h)]])))
        lyr.CreateFeature(f)
    out = None


def make_later_year(folder):
    """landcover_later.tif beside landcover.tif (kept when there already)."""
    later = os.path.join(folder, "landcover_later.tif")
    if not os.path.exists(later):
        src = gdal.Open(os.path.join(folder, "landcover.tif"))
        ds = gdal.GetDriverByName("GTiff").CreateCopy(
            later, src, options=["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256",
                                 "COMPRESS=DEFLATE", "BIGTIFF=IF_SAFER"])
        dev = ogr.Open(os.path.join(folder, "developments.shp"))
        gdal.RasterizeLayer(ds, [1], dev.GetLayer(0), burn_values=[24])
        ds = None
    return later


def make_data(folder, size, polygons, unknown=0.02):
    """The raster, blocks and developments in folder (kept when there already)."""
    os.makedirs(folder, exist_ok=True)
    raster = os.path.join(folder, "landcover.tif")
    if not os.path.exists(raster):
        make_raster(raster, size, unknown)
    blocks = os.path.join(folder, "blocks.shp")
    if not os.path.exists(blocks):
        make_blocks(blocks, size, polygons)
    developments = os.path.join(folder, "developments.shp")
    if not os.path.exists(developments):
        make_developments(developments, size, polygons)
    return raster, blocks


def write_params(path, out, popdensity=0, scenarios=(), theme="blocks"):
    """A model_params.txt for the blocks; scenarios: (theme, class) pairs."""
    lines = ["VIEW#View1", "LCTHEME#landcover", "LCUNITS#Meters", "ANALYSISTHEME#" + theme,
             "ANALYSISUNIT#PID", "POPDENSITY#%d" % popdensity]
    if popdensity == 3:
        lines += ["POPDENSITYTHEME#blocks", "POPDENSITYFLD#DENS", "POPDENSITYHIGH#30",
                  "POPDENSITYMED#5#30", "POPDENSITYLOW#5"]
    lines += ["OUTTHEME#" + out, "OUTTHEMENAME#" + os.path.splitext(os.path.basename(out))[0]]
    lines += ["CLASS#%d#c%d#%g#%g#%g" % ((k, k) + v) for k, v in CLASSES.items()]
    lines += ["DS#%d#%s#c%d#%d" % (k + 1, theme, cls, cls)
              for k, (theme, cls) in enumerate(scenarios)]
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")


def write_coefficients(path):
    """CLASSES as a coefficient text file, for runs described by options."""
    with open(path, "w", newline="") as f:
        f.write("Value,ClassName,High,Medium,Low\r\n")
        f.writelines("%d,c%d,%g,%g,%g\r\n" % ((k, k) + v) for k, v in CLASSES.items())
