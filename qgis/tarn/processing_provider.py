"""The Processing provider "TARN" and its one algorithm, so the analysis runs from the
Toolbox, in models, in batch mode and from qgis_process, as the menu's runs do."""

import os
import re
import shutil
import subprocess
import tempfile

from qgis.core import (QgsFeatureSink, QgsProcessing, QgsProcessingAlgorithm,
                       QgsProcessingException, QgsProcessingFeatureSourceDefinition,
                       QgsProcessingLayerPostProcessorInterface,
                       QgsProcessingOutputLayerDefinition, QgsProcessingParameterBoolean,
                       QgsProcessingParameterEnum, QgsProcessingParameterFeatureSink,
                       QgsProcessingParameterFeatureSource, QgsProcessingParameterField,
                       QgsProcessingParameterMultipleLayers, QgsProcessingParameterNumber,
                       QgsProcessingParameterRasterLayer, QgsProcessingParameterString,
                       QgsProcessingProvider, QgsProject, QgsProperty, QgsVectorLayer)
from qgis.PyQt.QtCore import QCoreApplication, QThread
from qgis.PyQt.QtGui import QIcon

from . import analysis, settings, tr
from .hostlink import split_lines
from .projectview import ProjectView, field_problem, file_source

COEFFICIENTS = ["High", "Medium", "Low", "By population density"]
# tarn-analyze's --coefficient for the first three.
COEFFICIENT_OPTIONS = ["high", "medium", "low"]
UNITS = ["Meters", "Feet"]
# Files tarn-analyze writes itself, chosen by extension. For other destinations (memory
# layers, database tables, other formats) it writes FlatGeobuf, which QGIS copies into the
# sink: no fid column to carry over, and no limit on size or field names.
DIRECT_OUTPUTS = ("shp", "gpkg", "geojson", "json", "fgb", "csv")
WIDGETS = __package__ + ".processing_widgets."


def store_sets():
    """The store's set names, in store order, and "" or why they cannot be listed."""
    program = settings.find_program("tarn-store")
    if not program:
        return [], tr("tarn-store not found: set the TARN programs' folder in TARN > Settings…")
    try:
        done = subprocess.run([program, "list"], capture_output=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return [], tr("cannot run {}: {}").format(program, error)
    if done.returncode != 0:
        return [], analysis.last_error(done.stderr.decode("utf-8", "replace").replace(
            "tarn-store: ", ""), tr("tarn-store list failed (status {})").format(done.returncode))
    # The link's own line rule: a set name may hold U+2028 or other breaks of splitlines().
    return split_lines(done.stdout.decode("utf-8")), ""


def set_name(value):
    """The name of the set that value names, by its name or its number in the store's list
    (from 0), in the store as it is now."""
    names, reason = store_sets()
    if reason:
        raise QgsProcessingException(tr("The coefficient sets cannot be listed: {}").format(
            reason))
    if value in names:
        return value
    if value.strip().isdigit() and int(value) < len(names):
        return names[int(value)]
    raise QgsProcessingException(tr("The store has no coefficient set {}; its sets: {}").format(
        value, ", ".join("%d %s" % pair for pair in enumerate(names))))


def layer_argument(source):
    """tarn-analyze's FILE[:LAYER] for a (path, layer name) source."""
    path, layer = source
    return "%s:%s" % (path, layer) if layer else path


def raster_file(raster):
    """The file of a land cover raster layer; a layer that is no raster file is refused."""
    path = os.path.abspath(raster.source()) if raster else ""
    if raster is None or raster.providerType() != "gdal" or not os.path.isfile(path):
        raise QgsProcessingException(tr("The land cover raster must be a raster file"))
    return path


class ScratchLayers:
    """Layers that are no files (memory layers, selections, filtered layers), written to one
    GeoPackage of the run, each as a layer named after the user's layer, so that messages
    name it."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "layers.gpkg")
        self.names = set()

    def write(self, copy, feedback=None):
        """(GeoPackage, layer name) of the copy, written now."""
        name = re.sub(r"[\x00-\x1f\x7f]", "_", copy.name).strip() or "layer"
        base, number = name, 2
        while name.lower() in self.names:  # GeoPackage layer names ignore letter case
            name, number = "%s %d" % (base, number), number + 1
        self.names.add(name.lower())
        problem = copy.write(self.path, name, feedback)
        if problem:
            raise QgsProcessingException(problem)
        return self.path, name


class OutputStyle(QgsProcessingLayerPostProcessorInterface):
    """Styles a loaded output by IS_PCT, as the menu's runs are."""
    instance = None

    def postProcessLayer(self, layer, context, feedback):
        analysis.style_output(layer)

    @staticmethod
    def create():
        OutputStyle.instance = OutputStyle()  # alive until QGIS has called it
        return OutputStyle.instance


class ImperviousSurfaceAlgorithm(QgsProcessingAlgorithm):
    LANDCOVER = "LANDCOVER"
    POLYGONS = "POLYGONS"
    FIELD = "FIELD"
    SET = "SET"
    COEFFICIENT = "COEFFICIENT"
    UNITS = "UNITS"
    DENSITY = "DENSITY"
    DENSITY_FIELD = "DENSITY_FIELD"
    DENSITY_HIGH = "DENSITY_HIGH"
    DENSITY_LOW = "DENSITY_LOW"
    SCENARIOS = "SCENARIOS"
    SCENARIO_CLASSES = "SCENARIO_CLASSES"
    COVERAGE = "COVERAGE"
    CLASS_AREAS = "CLASS_AREAS"
    KEEP_FIELDS = "KEEP_FIELDS"
    ICM = "ICM"
    OUTPUT = "OUTPUT"

    @staticmethod
    def tr(text):
        return tr(text)

    def name(self):
        return "impervioussurface"

    def displayName(self):
        return self.tr("Impervious surface by land cover coefficients")

    def shortHelpString(self):
        return self.tr(
            "The impervious area of every polygon, from a land cover raster and a set of "
            "percent-impervious coefficients per land cover class. The coefficient set is "
            "named, or numbered from 0 in the store's order. By population density, a cell "
            "takes the High coefficient where the density is at or above the High threshold, "
            "the Low one at or below the Low threshold, otherwise Medium. Scenario layers set "
            "the cells they cover to a class, given in the same order as the layers (for "
            "example \"22,24\"). The coverage rule says which cells belong to a polygon: "
            "those whose centre lies inside, each cell by its share inside, or every cell "
            "touched; it defaults to the rule of TARN > Settings. The output holds LC_AREA, "
            "IS_AREA, IS_PCT, NODATA_CT and UNK_CT per polygon, with class areas one field "
            "per land cover class, A_ and its value (A_21), and with watershed classes "
            "ICM_CLASS, the impervious cover model's class by IS_PCT: 1 sensitive (up to "
            "10 %), 2 impacted (up to 25 %), 3 non-supporting (up to 60 %), 4 urban drainage "
            "(over 60 %), 0 without land cover.")

    def createInstance(self):
        return ImperviousSurfaceAlgorithm()

    @staticmethod
    def _view_defaults():
        """The launcher's first choices in the open project: its first land cover grid and
        its units. Only on the GUI thread, where the project's layers live."""
        app = QCoreApplication.instance()
        if app is None or QThread.currentThread() != app.thread():
            return None, 0
        view = ProjectView(QgsProject.instance(), "")
        grid = view.grids[0].layer.id() if view.grids else None
        units = view.units()
        return grid, UNITS.index(units) if units in UNITS else 0

    def initAlgorithm(self, config=None):
        landcover, units = self._view_defaults()
        self.addParameter(QgsProcessingParameterRasterLayer(
            self.LANDCOVER, self.tr("Land cover raster"), defaultValue=landcover))
        self.addParameter(QgsProcessingParameterFeatureSource(
            self.POLYGONS, self.tr("Polygon layer"), [QgsProcessing.TypeVectorPolygon]))
        field = QgsProcessingParameterField(
            self.FIELD, self.tr("Identifier field"), parentLayerParameterName=self.POLYGONS,
            type=QgsProcessingParameterField.Any)
        field.setMetadata({"widget_wrapper": {"class": WIDGETS + "FieldWrapper",
                                              "selector": 2}})
        self.addParameter(field)
        # The store's sets are listed when a dialog shows them and when a run starts, not
        # here: this runs whenever QGIS lists its algorithms.
        coefficient_set = QgsProcessingParameterString(self.SET, self.tr("Coefficient set"))
        coefficient_set.setHelp(self.tr("The set's name, or its number from 0 in the store's "
                                        "order"))
        coefficient_set.setMetadata({"widget_wrapper": {"class": WIDGETS + "SetWrapper"}})
        self.addParameter(coefficient_set)
        self.addParameter(QgsProcessingParameterEnum(
            self.COEFFICIENT, self.tr("Coefficient"), [self.tr(c) for c in COEFFICIENTS],
            defaultValue=0))
        self.addParameter(QgsProcessingParameterEnum(
            self.UNITS, self.tr("Area units"), [self.tr(u) for u in UNITS], defaultValue=units))
        self.addParameter(QgsProcessingParameterFeatureSource(
            self.DENSITY, self.tr("Population density layer"), [QgsProcessing.TypeVectorPolygon],
            optional=True))
        density_field = QgsProcessingParameterField(
            self.DENSITY_FIELD, self.tr("Population density field"),
            parentLayerParameterName=self.DENSITY, type=QgsProcessingParameterField.Numeric,
            optional=True)
        density_field.setMetadata({"widget_wrapper": {"class": WIDGETS + "FieldWrapper",
                                                      "selector": 1}})
        self.addParameter(density_field)
        self.addParameter(QgsProcessingParameterNumber(
            self.DENSITY_HIGH, self.tr("High threshold: density from which the High "
                                       "coefficient applies"),
            QgsProcessingParameterNumber.Double, optional=True))
        self.addParameter(QgsProcessingParameterNumber(
            self.DENSITY_LOW, self.tr("Low threshold: density up to which the Low "
                                      "coefficient applies"),
            QgsProcessingParameterNumber.Double, optional=True))
        self.addParameter(QgsProcessingParameterMultipleLayers(
            self.SCENARIOS, self.tr("Scenario layers"), QgsProcessing.TypeVectorPolygon,
            optional=True))
        self.addParameter(QgsProcessingParameterString(
            self.SCENARIO_CLASSES, self.tr("Class value of each scenario layer"),
            optional=True))
        rules = [rule for rule, _ in settings.COVERAGES]
        self.addParameter(QgsProcessingParameterEnum(
            self.COVERAGE, self.tr("Coverage rule"),
            [self.tr(text) for _, text in settings.COVERAGES],
            defaultValue=rules.index(settings.coverage())))
        self.addParameter(QgsProcessingParameterBoolean(
            self.CLASS_AREAS, self.tr("Class areas: the area of each land cover class"),
            defaultValue=False))
        self.addParameter(QgsProcessingParameterBoolean(
            self.KEEP_FIELDS, self.tr("Keep every field of the polygon layer"),
            defaultValue=settings.keep_fields()))
        self.addParameter(QgsProcessingParameterBoolean(
            self.ICM, self.tr("Watershed classes of the impervious cover model (ICM_CLASS)"),
            defaultValue=settings.watershed_classes()))
        self.addParameter(QgsProcessingParameterFeatureSink(
            self.OUTPUT, self.tr("Impervious surface"), QgsProcessing.TypeVectorPolygon))

    def _vector_source(self, parameters, name, context, feedback, scratch):
        """The (file, layer) a layer parameter is read from, and its layer: the file itself
        when the whole layer is a file, else a copy of the features chosen."""
        layer = self.parameterAsVectorLayer(parameters, name, context)
        chosen = parameters.get(name)
        whole = not isinstance(chosen, QgsProcessingFeatureSourceDefinition) or (
            not chosen.selectedFeaturesOnly and chosen.featureLimit == -1)
        source = file_source(layer) if layer is not None and whole else None
        if source is None:
            source = scratch.write(analysis.FeatureCopy.of_source(
                self.parameterAsSource(parameters, name, context),
                layer.name() if layer is not None else name.lower()), feedback)
        return source, layer

    def _field(self, parameters, name, layer, selector, context):
        field = self.parameterAsString(parameters, name, context)
        problem = field_problem(layer, field, selector) if layer is not None else ""
        if problem:
            raise QgsProcessingException(problem)
        return field

    def _direct_output(self, parameters, context):
        """The output file when tarn-analyze can write the destination itself, else ""."""
        value = parameters.get(self.OUTPUT)
        if isinstance(value, QgsProcessingOutputLayerDefinition):
            value = value.sink
        if isinstance(value, QgsProperty):
            value = value.valueAsString(context.expressionContext())[0]
        value = str(value or "")
        if (re.match(r"^\w{2,}:", value) or "|" in value
                or os.path.splitext(value)[1][1:].lower() not in DIRECT_OUTPUTS):
            return ""
        return os.path.abspath(self.parameterAsOutputLayer(parameters, self.OUTPUT, context))

    def _land_cover_arguments(self, parameters, context):
        """--land-cover for the raster, labelled by its layer's name, which the analysis's
        messages then use."""
        raster = self.parameterAsRasterLayer(parameters, self.LANDCOVER, context)
        path = raster_file(raster)
        label = re.sub(r"[=#\x00-\x1f\x7f]", "_", raster.name()).strip() or "landcover"
        return ["--land-cover", "%s=%s" % (label, path)]

    def _coefficient_arguments(self, parameters, context, feedback, scratch):
        """--coefficient, or the population density options."""
        coefficient = self.parameterAsEnum(parameters, self.COEFFICIENT, context)
        if coefficient < len(COEFFICIENT_OPTIONS):
            return ["--coefficient", COEFFICIENT_OPTIONS[coefficient]]
        if any(parameters.get(key) in (None, "") for key in (
                self.DENSITY, self.DENSITY_FIELD, self.DENSITY_HIGH, self.DENSITY_LOW)):
            raise QgsProcessingException(self.tr(
                "By population density needs the density layer, its field and both "
                "thresholds"))
        high = self.parameterAsDouble(parameters, self.DENSITY_HIGH, context)
        low = self.parameterAsDouble(parameters, self.DENSITY_LOW, context)
        if low > high:
            raise QgsProcessingException(self.tr(
                "The Low threshold {} is above the High threshold {}").format(low, high))
        source, layer = self._vector_source(parameters, self.DENSITY, context, feedback,
                                            scratch)
        return ["--density-layer", layer_argument(source),
                "--density-field", self._field(parameters, self.DENSITY_FIELD, layer, 1,
                                               context),
                "--thresholds", "%r,%r" % (low, high)]

    def _scenario_arguments(self, parameters, context, feedback, scratch):
        scenarios = self.parameterAsLayerList(parameters, self.SCENARIOS, context)
        values = [v.strip() for v in self.parameterAsString(
            parameters, self.SCENARIO_CLASSES, context).split(",") if v.strip()]
        if len(values) != len(scenarios):
            raise QgsProcessingException(self.tr(
                "Give one class value for each scenario layer: {} layers, {} values")
                .format(len(scenarios), len(values)))
        arguments = []
        for layer, value in zip(scenarios, values):
            source = file_source(layer) or scratch.write(analysis.FeatureCopy.of_layer(layer),
                                                         feedback)
            arguments += ["--scenario", "%s=%s" % (layer_argument(source), value)]
        return arguments

    def processAlgorithm(self, parameters, context, feedback):
        program = settings.find_program("tarn-analyze")
        if not program:
            raise QgsProcessingException(self.tr(
                "tarn-analyze not found: set the TARN programs' folder in TARN > Settings…"))
        land_covers = self._land_cover_arguments(parameters, context)
        coefficient_set = set_name(self.parameterAsString(parameters, self.SET, context))
        folder = tempfile.mkdtemp(prefix="tarn-processing-")
        try:
            scratch = ScratchLayers(folder)
            (path, layer_name), layer = self._vector_source(parameters, self.POLYGONS, context,
                                                            feedback, scratch)
            arguments = land_covers + ["--polygons", path]
            arguments += ["--layer", layer_name] if layer_name else []
            arguments += ["--field", self._field(parameters, self.FIELD, layer, 2, context),
                          "--set", coefficient_set,
                          "--units", UNITS[self.parameterAsEnum(parameters, self.UNITS,
                                                                context)].lower()]
            arguments += self._coefficient_arguments(parameters, context, feedback, scratch)
            arguments += self._scenario_arguments(parameters, context, feedback, scratch)
            direct = self._direct_output(parameters, context)
            output = direct or os.path.join(folder, "impervious.fgb")
            rules = [rule for rule, _ in settings.COVERAGES]
            arguments += ["--output", output, "--coverage",
                          rules[self.parameterAsEnum(parameters, self.COVERAGE, context)]]
            if self.parameterAsBoolean(parameters, self.CLASS_AREAS, context):
                arguments.append("--class-areas")
            if self.parameterAsBoolean(parameters, self.KEEP_FIELDS, context):
                arguments.append("--keep-fields")
            if self.parameterAsBoolean(parameters, self.ICM, context):
                arguments.append("--icm")
            status, error, log = analysis.run_analysis(
                program, arguments, output, feedback,
                lambda percent: feedback.setProgress(percent * (1 if direct else 0.9)),
                feedback.pushConsoleInfo)
            if status == "failed":
                raise QgsProcessingException(error)
            if status == "cancelled":
                return {}
            for warning in analysis.warnings(log):
                feedback.pushWarning(warning)
            if direct:
                self._report(log, feedback)
                return {self.OUTPUT: self._loaded(analysis.layer_source(direct), direct,
                                                  context)}
            return self._copy(output, log, parameters, context, feedback)
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def _copy(self, output, log, parameters, context, feedback):
        if feedback.isCanceled():
            return {}
        result = QgsVectorLayer(output, "impervious", "ogr")
        if not result.isValid():
            raise QgsProcessingException(self.tr("The analysis output cannot be read: ")
                                         + output)
        sink, dest = self.parameterAsSink(parameters, self.OUTPUT, context, result.fields(),
                                          result.wkbType(), result.crs())
        if sink is None:
            raise QgsProcessingException(self.invalidSinkError(parameters, self.OUTPUT))
        total = max(result.featureCount(), 1)
        for i, feature in enumerate(result.getFeatures()):
            if feedback.isCanceled():
                return {}
            sink.addFeature(feature, QgsFeatureSink.FastInsert)
            feedback.setProgress(90 + 10 * (i + 1) / total)
        self._report(log, feedback)
        return {self.OUTPUT: self._loaded(dest, dest, context)}

    def _report(self, log, feedback):
        numbers = analysis.summary(log)
        if numbers:
            feedback.pushInfo(self.tr("{} polygons, impervious area {:.2f} square {}").format(
                numbers[0], numbers[2], numbers[3].lower()))

    @staticmethod
    def _loaded(source, destination, context):
        """The output QGIS loads, styled by IS_PCT. A GeoPackage output is loaded by its
        layer, not by the file, which may hold other layers."""
        layers = context.layersToLoadOnCompletion()
        if source != destination and destination in layers:
            layers[source] = layers.pop(destination)
            context.setLayersToLoadOnCompletion(layers)
        if context.willLoadLayerOnCompletion(source):
            context.layerToLoadOnCompletionDetails(source).setPostProcessor(
                OutputStyle.create())
        return source


class TarnProvider(QgsProcessingProvider):
    def id(self):
        return "tarn"

    def name(self):
        return "TARN"

    def icon(self):
        return QIcon(os.path.join(settings.PLUGIN_DIR, "icon.svg"))

    def loadAlgorithms(self):
        from .processing_change import ImperviousSurfaceChangeAlgorithm
        self.addAlgorithm(ImperviousSurfaceAlgorithm())
        self.addAlgorithm(ImperviousSurfaceChangeAlgorithm())
