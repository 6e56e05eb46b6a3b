"""The Processing algorithm "Impervious surface change": the analysis of several land cover
rasters of one place (years of a series) in one run, as the single algorithm runs one, with the
change from the first to the last; its output is coloured by that change."""

import re

from qgis.core import (QgsProcessing, QgsProcessingException,
                       QgsProcessingParameterMultipleLayers, QgsProcessingParameterString)

from .processing_provider import ImperviousSurfaceAlgorithm, raster_file


def default_labels(names):
    """Labels for rasters of these layer names: the year each names (landcover_2016 ->
    2016) where every one names another, else their places, 1, 2, ..."""
    years = [re.findall(r"(?<!\d)(?:19|20)\d\d(?!\d)", name) for name in names]
    labels = [found[-1] if found else "" for found in years]
    if all(labels) and len(set(labels)) == len(labels):
        return labels
    return [str(number) for number in range(1, len(names) + 1)]


class ImperviousSurfaceChangeAlgorithm(ImperviousSurfaceAlgorithm):
    LANDCOVERS = "LANDCOVERS"
    LABELS = "LABELS"

    def name(self):
        return "impervioussurfacechange"

    def displayName(self):
        return self.tr("Impervious surface change")

    def shortHelpString(self):
        return self.tr(
            "The impervious area of every polygon from several land cover rasters of one place "
            "(for example the years of a land cover series), in one run that reads the "
            "polygons once, with the coefficients and options of \"Impervious surface by land "
            "cover coefficients\". The rasters may differ in grid and coordinate system; give "
            "them from the first year to the last. Labels name each raster's fields, in the "
            "rasters' order and separated by commas (\"2016,2021\"), 1 to 6 letters, digits "
            "or underscores each; without them each raster is labelled by the year in its "
            "name, else by its place. Per raster the output holds LCA_, ISA_, ISP_, NOD_ and "
            "UNK_ and the label (LC_AREA, IS_AREA, IS_PCT, NODATA_CT and UNK_CT of that "
            "raster; with watershed classes ICM_ and the label), then IS_CHG, the impervious "
            "area of the last raster less that of the first, and IS_CHG_PCT, the change of "
            "IS_PCT in percentage points. Loaded into the project, the output is coloured by "
            "IS_CHG_PCT: less impervious cover blue, more red. Class areas are for one land "
            "cover only.")

    def createInstance(self):
        return ImperviousSurfaceChangeAlgorithm()

    def addParameter(self, parameter, createOutput=True):
        # The one land cover of the base algorithm becomes several, in its place; class
        # areas are for one land cover only.
        if parameter.name() == self.LANDCOVER:
            rasters = QgsProcessingParameterMultipleLayers(
                self.LANDCOVERS, self.tr("Land cover rasters, first year to last"),
                QgsProcessing.TypeRaster)
            rasters.setMinimumNumberInputs(2)
            labels = QgsProcessingParameterString(
                self.LABELS, self.tr("Labels of the rasters (comma-separated, e.g. 2016,2021)"),
                optional=True)
            return (super().addParameter(rasters, createOutput)
                    and super().addParameter(labels, createOutput))
        if parameter.name() == self.CLASS_AREAS:
            return True
        return super().addParameter(parameter, createOutput)

    def _land_cover_arguments(self, parameters, context):
        rasters = self.parameterAsLayerList(parameters, self.LANDCOVERS, context)
        if len(rasters) < 2:
            raise QgsProcessingException(self.tr(
                "A change needs two land cover rasters or more; {} given").format(len(rasters)))
        text = self.parameterAsString(parameters, self.LABELS, context)
        labels = ([label.strip() for label in text.split(",")] if text.strip()
                  else default_labels([raster.name() for raster in rasters]))
        if len(labels) != len(rasters):
            raise QgsProcessingException(self.tr(
                "Give one label for each land cover raster: {} rasters, {} labels").format(
                    len(rasters), len(labels)))
        arguments = []
        for label, raster in zip(labels, rasters):
            arguments += ["--land-cover", "%s=%s" % (label, raster_file(raster))]
        return arguments
