"""The Processing provider "TARN" and its one algorithm, so the analysis runs from the
Toolbox, in models, in batch mode and from qgis_process."""

import json
import os
import re
import shutil
import subprocess
import tempfile

from qgis.core import (QgsFeatureSink, QgsProcessing, QgsProcessingAlgorithm,
                       QgsProcessingException, QgsProcessingOutputLayerDefinition,
                       QgsProcessingParameterBoolean, QgsProcessingParameterEnum,
                       QgsProcessingParameterFeatureSink, QgsProcessingParameterFeatureSource,
                       QgsProcessingParameterField, QgsProcessingParameterMultipleLayers,
                       QgsProcessingParameterNumber, QgsProcessingParameterRasterLayer,
                       QgsProcessingParameterString, QgsProcessingProvider, QgsProperty,
                       QgsVectorLayer)
from qgis.PyQt.QtGui import QIcon

from . import analysis, settings
from .projectview import file_source

COEFFICIENTS = ["High", "Medium", "Low", "By population density"]
# Files tarn-analyze writes itself, chosen by extension. For other destinations (memory
# layers, database tables, other formats) it writes FlatGeobuf, which QGIS copies into the
# sink: no fid column to carry over, and no limit on size or field names.
DIRECT_OUTPUTS = ("shp", "gpkg", "geojson", "json", "fgb", "csv")


def store_sets():
    program = settings.find_program("tarn-store")
    if not program:
        return []
    try:
        done = subprocess.run([program, "list"], capture_output=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return []
    return done.stdout.decode("utf-8").splitlines() if done.returncode == 0 else []


def set_classes(name):
    """The set's classes as (value, name, high, medium, low) texts, from `tarn-store show`."""
    program = settings.find_program("tarn-store")
    if not program:
        raise QgsProcessingException("tarn-store not found: set the TARN programs' folder in "
                                     "TARN > Settings…")
    done = subprocess.run([program, "show", name], capture_output=True, timeout=60)
    if done.returncode != 0:
        raise QgsProcessingException(done.stderr.decode("utf-8", "replace").strip())
    classes = []
    for line in done.stdout.decode("utf-8").splitlines()[1:]:
        parts = line.split(",")
        if len(parts) >= 5:
            classes.append((parts[0], ",".join(parts[1:-3]), parts[-3], parts[-2], parts[-1]))
    return classes


class ImperviousSurfaceAlgorithm(QgsProcessingAlgorithm):
    def name(self):
        return "impervioussurface"

    def displayName(self):
        return "Impervious surface by land cover coefficients"

    def shortHelpString(self):
        return ("The impervious area of every polygon, from a land cover raster and a set of "
                "percent-impervious coefficients per land cover class. Scenario layers set "
                "the cells they cover to a class, given in the same order as the layers "
                "(for example \"22,24\"). The coverage rule says which cells belong to a "
                "polygon: those whose centre lies inside, each cell by its share inside, or "
                "every cell touched. The output holds LC_AREA, IS_AREA, IS_PCT, NODATA_CT and "
                "UNK_CT per polygon, and with class areas one field A_<value> per land cover "
                "class.")

    def createInstance(self):
        return ImperviousSurfaceAlgorithm()

    def initAlgorithm(self, config=None):
        self.addParameter(QgsProcessingParameterRasterLayer("LANDCOVER", "Land cover raster"))
        self.addParameter(QgsProcessingParameterFeatureSource(
            "POLYGONS", "Polygon layer", [QgsProcessing.TypeVectorPolygon]))
        self.addParameter(QgsProcessingParameterField(
            "FIELD", "Identifier field", parentLayerParameterName="POLYGONS",
            type=QgsProcessingParameterField.Any))
        sets = store_sets()
        self.addParameter(QgsProcessingParameterEnum(
            "SET", "Coefficient set", sets, defaultValue=sets[0] if sets else None,
            usesStaticStrings=True))
        self.addParameter(QgsProcessingParameterEnum(
            "COEFFICIENT", "Coefficient", COEFFICIENTS, defaultValue=0))
        self.addParameter(QgsProcessingParameterEnum(
            "UNITS", "Area units", ["Meters", "Feet"], defaultValue=0))
        self.addParameter(QgsProcessingParameterFeatureSource(
            "DENSITY", "Population density layer", [QgsProcessing.TypeVectorPolygon],
            optional=True))
        self.addParameter(QgsProcessingParameterField(
            "DENSITY_FIELD", "Population density field", parentLayerParameterName="DENSITY",
            type=QgsProcessingParameterField.Numeric, optional=True))
        self.addParameter(QgsProcessingParameterNumber(
            "DENSITY_HIGH", "High coefficient from density", QgsProcessingParameterNumber.Double,
            optional=True))
        self.addParameter(QgsProcessingParameterNumber(
            "DENSITY_LOW", "Low coefficient up to density", QgsProcessingParameterNumber.Double,
            optional=True))
        self.addParameter(QgsProcessingParameterMultipleLayers(
            "SCENARIOS", "Scenario layers", QgsProcessing.TypeVectorPolygon, optional=True))
        self.addParameter(QgsProcessingParameterString(
            "SCENARIO_CLASSES", "Class value of each scenario layer", optional=True))
        self.addParameter(QgsProcessingParameterEnum(
            "COVERAGE", "Coverage rule", [text for _, text in settings.COVERAGES],
            defaultValue=0))
        self.addParameter(QgsProcessingParameterBoolean(
            "CLASS_AREAS", "Class areas: the area of each land cover class", defaultValue=False))
        self.addParameter(QgsProcessingParameterFeatureSink(
            "OUTPUT", "Impervious surface", QgsProcessing.TypeVectorPolygon))

    def _vector_file(self, parameters, name, context, feedback):
        path, layer = self.parameterAsCompatibleSourceLayerPathAndLayerName(
            parameters, name, context, ["shp", "gpkg"], "gpkg", feedback)[:2]
        return os.path.abspath(path), layer

    def _direct_output(self, parameters, context):
        """The output file when tarn-analyze can write the destination itself, else ""."""
        value = parameters.get("OUTPUT")
        if isinstance(value, QgsProcessingOutputLayerDefinition):
            value = value.sink
        if isinstance(value, QgsProperty):
            value = value.valueAsString(context.expressionContext())[0]
        value = str(value or "")
        if (re.match(r"^\w{2,}:", value) or "|" in value
                or os.path.splitext(value)[1][1:].lower() not in DIRECT_OUTPUTS):
            return ""
        return os.path.abspath(self.parameterAsOutputLayer(parameters, "OUTPUT", context))

    @staticmethod
    def _layer_file(layer, folder, theme):
        source = file_source(layer)
        if source:
            return source
        gpkg = os.path.join(folder, "layers.gpkg")
        problem = analysis.write_geopackage(layer, gpkg, theme)
        if problem:
            raise QgsProcessingException("Layer %s cannot be written to a file for the "
                                         "analysis: %s" % (layer.name(), problem))
        return gpkg, theme

    def processAlgorithm(self, parameters, context, feedback):
        program = settings.find_program("tarn-analyze")
        if not program:
            raise QgsProcessingException("tarn-analyze not found: set the TARN programs' "
                                         "folder in TARN > Settings…")
        raster = self.parameterAsRasterLayer(parameters, "LANDCOVER", context)
        raster_path = os.path.abspath(raster.source()) if raster else ""
        if raster is None or raster.providerType() != "gdal" or not os.path.isfile(raster_path):
            raise QgsProcessingException("The land cover raster must be a raster file")
        set_name = self.parameterAsEnumString(parameters, "SET", context)
        classes = set_classes(set_name)
        coefficient = self.parameterAsEnum(parameters, "COEFFICIENT", context)
        folder = tempfile.mkdtemp(prefix="tarn-processing-")
        try:
            files = {"landcover": raster_path}
            lines = ["VIEW#View1", "LCTHEME#landcover",
                     "LCUNITS#" + ["Meters", "Feet"][self.parameterAsEnum(parameters, "UNITS",
                                                                         context)]]
            path, layer = self._vector_file(parameters, "POLYGONS", context, feedback)
            files["polygons"] = {"path": path, "layer": layer}
            lines += ["ANALYSISTHEME#polygons",
                      "ANALYSISUNIT#" + self.parameterAsString(parameters, "FIELD", context),
                      "POPDENSITY#%d" % coefficient]
            if coefficient == 3:
                if any(parameters.get(key) in (None, "") for key in
                       ("DENSITY", "DENSITY_FIELD", "DENSITY_HIGH", "DENSITY_LOW")):
                    raise QgsProcessingException(
                        "By population density needs the density layer, its field and both "
                        "thresholds")
                path, layer = self._vector_file(parameters, "DENSITY", context, feedback)
                files["density"] = {"path": path, "layer": layer}
                high = self.parameterAsDouble(parameters, "DENSITY_HIGH", context)
                low = self.parameterAsDouble(parameters, "DENSITY_LOW", context)
                lines += ["POPDENSITYTHEME#density",
                          "POPDENSITYFLD#" + self.parameterAsString(parameters, "DENSITY_FIELD",
                                                                    context),
                          "POPDENSITYHIGH#%r" % high, "POPDENSITYMED#%r#%r" % (low, high),
                          "POPDENSITYLOW#%r" % low]
            direct = self._direct_output(parameters, context)
            output = direct or os.path.join(folder, "impervious.fgb")
            lines += ["OUTTHEME#" + output, "OUTTHEMENAME#impervious"]
            scenarios = self.parameterAsLayerList(parameters, "SCENARIOS", context)
            values = [v.strip() for v in self.parameterAsString(
                parameters, "SCENARIO_CLASSES", context).split(",") if v.strip()]
            if len(values) != len(scenarios):
                raise QgsProcessingException(
                    "Give one class value for each scenario layer: %d layers, %d values"
                    % (len(scenarios), len(values)))
            names = {c[0]: c[1] for c in classes}
            for number, (layer, value) in enumerate(zip(scenarios, values), 1):
                theme = "scenario%d" % number
                path, name = self._layer_file(layer, folder, theme)
                files[theme] = {"path": path, "layer": name}
                lines.append("DS#%d#%s#%s#%s" % (number, theme, names.get(value, ""), value))
            lines += ["CLASS#" + "#".join(c) for c in classes]
            params = os.path.join(folder, "model_params.txt")
            with open(params, "wb") as out:
                out.write(("\r\n".join(lines) + "\r\n").encode("utf-8"))
            description = os.path.join(folder, "project.json")
            with open(description, "w", encoding="utf-8") as out:
                out.write(json.dumps({"files": files}))
            arguments = [params, "--project", description, "--coverage", settings.COVERAGES[
                self.parameterAsEnum(parameters, "COVERAGE", context)][0]]
            if self.parameterAsBoolean(parameters, "CLASS_AREAS", context):
                arguments.append("--class-areas")
            status, error, log = analysis.run_analysis(
                program, arguments, output,
                lambda percent: feedback.setProgress(percent * (1 if direct else 0.9)),
                feedback.isCanceled, feedback.pushInfo)
            if status == "failed":
                raise QgsProcessingException(error)
            if status == "cancelled":
                return {}
            if direct:
                self._report(log, feedback)
                return {"OUTPUT": self._loaded_by_layer(direct, context)}
            return self._copy(output, log, parameters, context, feedback)
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def _copy(self, output, log, parameters, context, feedback):
        if feedback.isCanceled():
            return {}
        result = QgsVectorLayer(output, "impervious", "ogr")
        if not result.isValid():
            raise QgsProcessingException("The analysis output cannot be read: " + output)
        sink, dest = self.parameterAsSink(parameters, "OUTPUT", context, result.fields(),
                                          result.wkbType(), result.crs())
        if sink is None:
            raise QgsProcessingException(self.invalidSinkError(parameters, "OUTPUT"))
        total = max(result.featureCount(), 1)
        for i, feature in enumerate(result.getFeatures()):
            if feedback.isCanceled():
                return {}
            sink.addFeature(feature, QgsFeatureSink.FastInsert)
            feedback.setProgress(90 + 10 * (i + 1) / total)
        self._report(log, feedback)
        return {"OUTPUT": dest}

    @staticmethod
    def _report(log, feedback):
        numbers = analysis.summary(log)
        if numbers:
            feedback.pushInfo("%d polygons, impervious area %.2f square %s"
                              % (numbers[0], numbers[2], numbers[3].lower()))

    @staticmethod
    def _loaded_by_layer(path, context):
        """The output's source; QGIS loads it by that, not by the file (a GeoPackage may
        hold other layers)."""
        source = analysis.layer_source(path)
        layers = context.layersToLoadOnCompletion()
        if source != path and path in layers:
            layers[source] = layers.pop(path)
            context.setLayersToLoadOnCompletion(layers)
        return source


class TarnProvider(QgsProcessingProvider):
    def id(self):
        return "tarn"

    def name(self):
        return "TARN"

    def icon(self):
        return QIcon(os.path.join(settings.PLUGIN_DIR, "icon.svg"))

    def loadAlgorithms(self):
        self.addAlgorithm(ImperviousSurfaceAlgorithm())
