#!/usr/bin/python3
"""Writes examples/demo-data/demo.qgz: the demo data as a QGIS project, styled, with paths
relative to the project so it opens wherever the repository lies.

    QT_QPA_PLATFORM=offscreen /usr/bin/python3 examples/make-demo-project.py
"""

import os
import sys

from qgis.core import (QgsApplication, QgsCoordinateReferenceSystem, QgsFillSymbol,
                       QgsPalettedRasterRenderer, QgsProject, QgsRasterLayer, QgsRectangle,
                       QgsReferencedRectangle, QgsVectorLayer)
from qgis.PyQt.QtGui import QColor

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "demo-data")

# The land cover classes' customary colours.
LAND_COVER = {
    11: ("Open Water", "#466b9f"), 21: ("Developed, Open Space", "#dec5c5"),
    22: ("Developed, Low Intensity", "#d99282"), 23: ("Developed, Medium Intensity", "#eb0000"),
    24: ("Developed, High Intensity", "#ab0000"), 31: ("Barren Land", "#b3ac9f"),
    41: ("Deciduous Forest", "#68ab5f"), 42: ("Evergreen Forest", "#1c5f2c"),
    43: ("Mixed Forest", "#b5c58f"), 52: ("Shrub/Scrub", "#ccb879"),
    71: ("Grassland/Herbaceous", "#dfdfc2"), 81: ("Pasture/Hay", "#dcd939"),
    82: ("Cultivated Crops", "#ab6c28"), 90: ("Woody Wetlands", "#b8d9eb"),
    95: ("Emergent Herbaceous Wetlands", "#6c9fb8"),
}


def outline(colour, width, style="solid", fill="transparent"):
    return QgsFillSymbol.createSimple({"color": fill, "outline_color": colour,
                                       "outline_width": str(width), "outline_style": style})


def main():
    app = QgsApplication([], False)
    app.initQgis()
    project = QgsProject.instance()
    project.setCrs(QgsCoordinateReferenceSystem("EPSG:26918"))

    # The second year under the first, hidden: for change runs.
    years = []
    for year in ("2021", "2016"):
        landcover = QgsRasterLayer(os.path.join(DATA, "landcover_%s.tif" % year),
                                   "landcover_" + year)
        present = {int(c.value) for c in QgsPalettedRasterRenderer.classDataFromRaster(
            landcover.dataProvider(), 1)}
        classes = [QgsPalettedRasterRenderer.Class(value, QColor(colour),
                                                   "%d %s" % (value, name))
                   for value, (name, colour) in sorted(LAND_COVER.items()) if value in present]
        landcover.setRenderer(QgsPalettedRasterRenderer(landcover.dataProvider(), 1, classes))
        years.append(landcover)

    layers = list(years)
    for name, symbol in [("census_blocks", outline("#6a3d9a", 0.6, "dash")),
                         ("parcels", outline("#303030", 0.3)),
                         ("new_development", outline("#ff7f00", 0.8, fill="255,127,0,90"))]:
        layer = QgsVectorLayer(os.path.join(DATA, name + ".shp"), name, "ogr")
        layer.renderer().setSymbol(symbol)
        layers.append(layer)
    for layer in layers:
        if not layer.isValid():
            sys.exit("cannot read " + layer.source())
    # Added bottom first: the land cover under the outlines.
    project.addMapLayers(layers, False)
    root = project.layerTreeRoot()
    for layer in reversed(layers):
        root.addLayer(layer)
    root.findLayer(years[0].id()).setItemVisibilityChecked(False)
    # Opens on the whole town.
    extent = QgsRectangle(landcover.extent())
    extent.scale(1.05)
    project.viewSettings().setDefaultViewExtent(QgsReferencedRectangle(extent, landcover.crs()))
    project.writeEntry("Paths", "/Absolute", False)
    if not project.write(os.path.join(DATA, "demo.qgz")):
        sys.exit("cannot write demo.qgz: " + project.error())
    app.exitQgis()


if __name__ == "__main__":
    main()
