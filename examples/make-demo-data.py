#!/usr/bin/python3
"""Generates examples/demo-data/: a small town for trying the impervious surface analysis.

landcover_2016.tif  land cover, 300 x 240 cells of 30 m, the bundled NLCD class values,
                    NoData (0) along part of the western edge
parcels.shp         parcels: PARCEL_ID (integer), APN and ZONING (string), ACRES (real)
census_blocks.shp   census blocks: BLOCK_ID (string), POP2010 (integer), POP_DENS (real,
                    persons per hectare)
new_development.shp a planned development, for a land cover change scenario
landcover_2021.tif  the 2016 land cover with the planned development built: the cells whose
                    centre lies in it are class 24 (NoData stays), as the scenario line
                    DS#1#new_development#Developed High Intensity#24 makes them

All in UTM zone 18N (NAD83, metres). The output is the same on every run.
Needs python3-gdal (Debian); run with /usr/bin/python3.
"""
import math
import os
import random
import sys

from osgeo import gdal, ogr, osr

gdal.UseExceptions()

OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "demo-data")
EPSG = 26918
CELL = 30.0
COLS, ROWS = 300, 240
X0, Y0 = 500010.0, 4401000.0  # upper left corner
rng = random.Random(2016)

os.makedirs(OUT, exist_ok=True)
srs = osr.SpatialReference()
srs.ImportFromEPSG(EPSG)


def land_cover(col, row):
    """The class of a cell: a town centre, suburbs, farmland, forest, a river and a lake."""
    x, y = col / COLS, row / ROWS
    if col < 6 and row > 150:
        return 0  # outside the survey
    river = abs(y - (0.55 + 0.12 * math.sin(x * 7.0)))
    if river < 0.018:
        return 11
    if (x - 0.8) ** 2 + (y - 0.2) ** 2 < 0.006:
        return 11
    if (x - 0.12) ** 2 + (y - 0.85) ** 2 < 0.004:
        return rng.choice((90, 95))
    d = math.hypot(x - 0.45, (y - 0.35) * 1.2)
    noise = rng.random() * 0.06
    if d + noise < 0.08:
        return 24
    if d + noise < 0.15:
        return 23
    if d + noise < 0.24:
        return 22
    if d + noise < 0.32:
        return rng.choice((21, 22, 21))
    if y > 0.6:
        return rng.choice((81, 82, 82, 71))
    if x > 0.7:
        return rng.choice((41, 42, 43, 52))
    return rng.choice((81, 41, 21, 71, 52))


def write_raster():
    path = os.path.join(OUT, "landcover_2016.tif")
    ds = gdal.GetDriverByName("GTiff").Create(path, COLS, ROWS, 1, gdal.GDT_Byte,
                                               ["COMPRESS=DEFLATE", "TILED=YES",
                                                "BLOCKXSIZE=128", "BLOCKYSIZE=128"])
    ds.SetGeoTransform((X0, CELL, 0, Y0, 0, -CELL))
    ds.SetProjection(srs.ExportToWkt())
    band = ds.GetRasterBand(1)
    band.SetNoDataValue(0)
    data = bytearray(land_cover(c, r) for r in range(ROWS) for c in range(COLS))
    band.WriteRaster(0, 0, COLS, ROWS, bytes(data))
    ds = None


def layer(name, fields):
    path = os.path.join(OUT, name + ".shp")
    drv = ogr.GetDriverByName("ESRI Shapefile")
    if os.path.exists(path):
        drv.DeleteDataSource(path)
    ds = drv.CreateDataSource(path)
    lyr = ds.CreateLayer(name, srs, ogr.wkbPolygon, ["ENCODING=UTF-8"])
    for fname, ftype, width in fields:
        f = ogr.FieldDefn(fname, ftype)
        if width:
            f.SetWidth(width)
        if ftype == ogr.OFTReal:
            f.SetPrecision(3)
        lyr.CreateField(f)
    return ds, lyr


def polygon(points):
    ring = ogr.Geometry(ogr.wkbLinearRing)
    for x, y in points + points[:1]:
        ring.AddPoint_2D(x, y)
    poly = ogr.Geometry(ogr.wkbPolygon)
    poly.AddGeometry(ring)
    return poly


def box(x, y, w, h, jitter=0.0):
    j = lambda: rng.uniform(-jitter, jitter)
    return polygon([(x + j(), y + j()), (x + w + j(), y + j()),
                    (x + w + j(), y - h + j()), (x + j(), y - h + j())])


def write_parcels():
    ds, lyr = layer("parcels", [("PARCEL_ID", ogr.OFTInteger, 9), ("APN", ogr.OFTString, 12),
                                ("ZONING", ogr.OFTString, 8), ("ACRES", ogr.OFTReal, 12)])
    zones = ["R-1", "R-2", "C-1", "M-1", "AG"]
    pid = 1000
    # Blocks of parcels across the town, some reaching past the raster's western edge.
    for by in range(6):
        for bx in range(8):
            pid += 1
            x = X0 - 400 + bx * 1150 + rng.uniform(0, 80)
            y = Y0 - 300 - by * 1150 - rng.uniform(0, 80)
            g = box(x, y, rng.uniform(600, 1000), rng.uniform(500, 950), jitter=25)
            f = ogr.Feature(lyr.GetLayerDefn())
            f.SetField("PARCEL_ID", pid)
            f.SetField("APN", "%03d-%03d-%02d" % (by + 101, bx * 7 + 3, pid % 97))
            dist = math.hypot(bx - 3.5, by - 2)
            f.SetField("ZONING", zones[min(int(dist), 4)])
            f.SetField("ACRES", round(g.GetArea() / 4046.8564224, 3))
            f.SetGeometry(g)
            lyr.CreateFeature(f)
    ds = None


def write_blocks():
    ds, lyr = layer("census_blocks", [("BLOCK_ID", ogr.OFTString, 15),
                                      ("POP2010", ogr.OFTInteger, 9),
                                      ("POP_DENS", ogr.OFTReal, 12)])
    w, h = COLS * CELL / 4, ROWS * CELL / 3
    for j in range(3):
        for i in range(4):
            g = box(X0 + i * w, Y0 - j * h, w, h)
            cx, cy = (i + 0.5) / 4, (j + 0.5) / 3
            dens = round(max(0.5, 60 * math.exp(-8 * ((cx - 0.45) ** 2 + (cy - 0.35) ** 2))
                             + rng.uniform(-2, 2)), 2)
            f = ogr.Feature(lyr.GetLayerDefn())
            f.SetField("BLOCK_ID", "360%02d%04d" % (j, i * 11 + 1001))
            f.SetField("POP2010", int(dens * g.GetArea() / 10000))
            f.SetField("POP_DENS", dens)
            f.SetGeometry(g)
            lyr.CreateFeature(f)
    ds = None


def write_development():
    ds, lyr = layer("new_development", [("NAME", ogr.OFTString, 30)])
    f = ogr.Feature(lyr.GetLayerDefn())
    f.SetField("NAME", "Riverside Commons")
    cx, cy = X0 + 0.62 * COLS * CELL, Y0 - 0.7 * ROWS * CELL
    pts = [(cx + 900 * math.cos(a) * (1 + 0.2 * math.sin(3 * a)),
            cy + 600 * math.sin(a)) for a in [k * 2 * math.pi / 24 for k in range(24)]]
    f.SetGeometry(polygon(pts))
    lyr.CreateFeature(f)
    ds = None


def write_raster_2021():
    """The 2016 grid with the development applied: gdal_rasterize's cell-centre rule."""
    src = gdal.Open(os.path.join(OUT, "landcover_2016.tif"))
    path = os.path.join(OUT, "landcover_2021.tif")
    ds = gdal.GetDriverByName("GTiff").CreateCopy(path, src, options=[
        "COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=128", "BLOCKYSIZE=128"])
    band = ds.GetRasterBand(1)
    before = bytearray(band.ReadRaster())
    dev = ogr.Open(os.path.join(OUT, "new_development.shp"))
    gdal.RasterizeLayer(ds, [1], dev.GetLayer(0), burn_values=[24])
    after = bytearray(band.ReadRaster())
    for k, value in enumerate(before):
        if value == 0:
            after[k] = 0
    band.WriteRaster(0, 0, COLS, ROWS, bytes(after))
    ds = None


write_raster()
write_parcels()
write_blocks()
write_development()
write_raster_2021()
print("demo data written to", os.path.abspath(OUT))
