"""The open QGIS project as the launcher's view: its themes, fields, units and working
directory, answered as the host's scripts would, and written out as a project description
for tarn-analyze."""

import json
import os
import re
import unicodedata

from qgis.core import (Qgis, QgsFields, QgsMapLayerType, QgsProviderRegistry, QgsUnitTypes,
                       QgsWkbTypes)
from qgis.PyQt.QtCore import QDir, QVariant

from . import hostlink, tr

_RUN = re.compile(r'^av\.Run\("([^"]*)",\{((?:"[^"]*")(?:,"[^"]*")*)?\}\)$')
GET_VIEW = "av.GetActiveDoc.GetName"
GET_WORKDIR = "av.GetProject.GetWorkDir.GetFullName.AsString"

_INTEGER_BANDS = {Qgis.Byte, Qgis.UInt16, Qgis.Int16, Qgis.UInt32, Qgis.Int32}
# Booleans are integers with a subtype in the data, as tarn-analyze reads them.
_FIELD_TYPES = {QVariant.String: "string", QVariant.Int: "integer", QVariant.UInt: "integer",
                QVariant.Bool: "integer",
                QVariant.LongLong: "integer", QVariant.ULongLong: "integer",
                QVariant.Double: "double"}


def name_problem(name):
    """Why a name cannot cross the link (it travels unescaped inside quotes and "#" lists)."""
    if not name.strip():
        return "is empty"
    for c in name:
        if c in '#"\\':
            return "contains '%s', which cannot cross the host link" % c
        if unicodedata.category(c) == "Cc":
            return "contains a control character"
    return ""


def field_matches(kind, selector):
    if selector == 2:
        return kind in ("string", "integer")
    if selector == 1:
        return kind in ("integer", "double")
    return True


def readable_fields(layer):
    """[(name, kind)]: the fields tarn-analyze reads from what the layer is analysed as. Only
    the data's own fields: joined and virtual ones are not in the file; nor is a GeoPackage's
    feature id, which QGIS shows as a field."""
    fields = layer.fields()
    feature_id = layer.dataProvider().pkAttributeIndexes() \
        if layer.providerType() == "ogr" and file_source(layer) else []
    kinds = []
    for i in range(fields.count()):
        kind = _FIELD_TYPES.get(fields.at(i).type())
        if kind and fields.fieldOrigin(i) == QgsFields.OriginProvider and i not in feature_id \
                and not name_problem(fields.at(i).name()):
            kinds.append((fields.at(i).name(), kind))
    return kinds


def field_problem(layer, name, selector):
    """Why the layer's field cannot serve as an identifier (selector 2) or a density
    (selector 1) field; "" when it can."""
    offered = [n for n, kind in readable_fields(layer) if field_matches(kind, selector)]
    if name in offered:
        return ""
    if layer.fields().indexOf(name) < 0:
        reason = tr("Layer {layer} has no field {field}.")
    elif layer.fields().indexOf(name) in layer.dataProvider().pkAttributeIndexes() \
            and layer.providerType() == "ogr":
        reason = tr("Field {field} of layer {layer} is the feature id, which is not a field "
                    "of the data.")
    elif selector == 2:
        reason = tr("Field {field} of layer {layer} holds neither text nor whole numbers.")
    else:
        reason = tr("Field {field} of layer {layer} is not numeric or not in the data.")
    return reason.format(field=name, layer=layer.name()) + " " + (
        tr("Fields to choose from: {}.").format(", ".join(offered)) if offered
        else tr("The layer has no field to choose."))


def is_grid(layer):
    """A land cover grid: a raster file whose band 1 holds integers."""
    return layer.type() == QgsMapLayerType.RasterLayer and layer.providerType() == "gdal" \
        and file_source(layer) is not None and layer.bandCount() >= 1 \
        and layer.dataProvider().dataType(1) in _INTEGER_BANDS


def unit_name(crs):
    """A coordinate system's map unit as the launcher names it: "Meters", "Feet", else the
    unit's name ("Degrees"); "" when it has none."""
    if not crs.isValid():
        return ""
    unit = crs.mapUnits()
    if unit == QgsUnitTypes.DistanceMeters:
        return "Meters"
    if unit == QgsUnitTypes.DistanceFeet:
        return "Feet"
    name = QgsUnitTypes.toString(unit)
    return name[:1].upper() + name[1:]


def file_source(layer):
    """(path, layer name) when the layer reads a whole file as it is, else None: memory,
    database and web layers, and filtered layers (also a file's features of one geometry
    type), must be written out first."""
    provider = layer.providerType()
    if provider not in ("ogr", "gdal"):
        return None
    parts = QgsProviderRegistry.instance().decodeUri(provider, layer.source())
    path = parts.get("path", "")
    if not path or not os.path.isfile(path) or parts.get("subset") or parts.get("geometryType"):
        return None
    if provider == "ogr" and layer.subsetString():
        return None
    return os.path.abspath(path), parts.get("layerName") or ""


class Theme:
    def __init__(self, layer, fields=None):
        self.layer = layer
        self.name = layer.name()
        self.fields = fields or []  # [(name, kind)]
        self.source = file_source(layer)


class ProjectView:
    """A snapshot of the project's layers as themes; `left_out` says which layers could not
    be offered and why."""

    def __init__(self, project, fallback_workdir):
        self.project = project
        self.fallback_workdir = fallback_workdir
        self.grids = []
        self.polygons = []
        self.left_out = []
        taken = set()
        layers = sorted(project.mapLayers().values(), key=lambda l: l.name().casefold())
        for layer in layers:
            theme = self._theme(layer)
            if theme is None:
                continue
            problem = name_problem(theme.name)
            if problem:
                self.left_out.append("layer %s %s" % (theme.name, problem))
            elif theme.name in taken:
                self.left_out.append("layer %s: another layer has that name" % theme.name)
            else:
                taken.add(theme.name)
                (self.grids if theme.fields is None else self.polygons).append(theme)

    def _theme(self, layer):
        if layer.type() == QgsMapLayerType.RasterLayer:
            if not is_grid(layer):
                return None
            theme = Theme(layer)
            theme.fields = None
            return theme
        if layer.type() != QgsMapLayerType.VectorLayer \
                or layer.geometryType() != QgsWkbTypes.PolygonGeometry:
            return None
        return Theme(layer, readable_fields(layer))

    def view_name(self):
        title = self.project.title()
        return title if title and not name_problem(title) else "View1"

    def work_dir(self):
        path = self.project.fileName()
        folder = os.path.dirname(os.path.abspath(path)) if path else ""
        if not folder or not os.access(folder, os.W_OK):
            folder = self.fallback_workdir
            os.makedirs(folder, exist_ok=True)
        return QDir.cleanPath(os.path.abspath(folder))

    def units(self):
        """The project's unit; where that is no length (a new project is in degrees), the
        unit of the first land cover grid in metres or feet, else metres: the analysis
        measures cells in degrees in square metres."""
        unit = unit_name(self.project.crs())
        if unit in ("Meters", "Feet"):
            return unit
        grid_units = [unit_name(t.layer.crs()) for t in self.grids]
        return next((u for u in grid_units if u in ("Meters", "Feet")),
                    "Meters" if unit in ("", "Degrees") else unit)

    def polygon(self, name):
        return next((t for t in self.polygons if t.name == name), None)

    def theme(self, name, grid):
        return next((t for t in (self.grids if grid else self.polygons) if t.name == name), None)

    def answer(self, item):
        """(answer text or None for no data, note, parameter file of a run request or None)."""
        if item == GET_VIEW:
            return self.view_name(), "", None
        if item == GET_WORKDIR:
            return self.work_dir(), "", None
        match = _RUN.match(item)
        if not match:
            return None, "not a request this host knows", None
        script = match.group(1)
        args = re.findall(r'"([^"]*)"', match.group(2) or "")
        if script == "isCallExecuteModel" and len(args) == 1:
            return None, "", args[0]
        if not args or args[0] != self.view_name():
            return None, "no such view or arguments", None
        selector = {"0": 0, "1": 1, "2": 2}.get(args[-1])
        if script == "isGetGThemes" and len(args) == 1:
            return hostlink.list_answer([t.name for t in self.grids]) + (None,)
        if script == "isGetViewUnits" and len(args) == 1:
            return self.units(), "", None
        if script == "isGetFThemes" and len(args) == 2:
            if selector is None:
                return None, "unknown selector", None
            names = [t.name for t in self.polygons
                     if selector == 0 or any(field_matches(k, selector) for _, k in t.fields)]
            return hostlink.list_answer(names) + (None,)
        if script == "isGetFldNames" and len(args) == 3:
            theme = self.polygon(args[1])
            if theme is None or selector is None:
                return None, "unknown theme or selector", None
            return hostlink.list_answer(
                [n for n, k in theme.fields if field_matches(k, selector)]) + (None,)
        return None, "unknown script or wrong number of arguments", None

    def description(self, files):
        """The project description tarn-analyze reads; files maps theme names to
        {"path", "layer"} of the data it analyses."""
        return json.dumps({
            "view": self.view_name(),
            "workDir": self.work_dir(),
            "mapUnits": self.units(),
            "gridThemes": [t.name for t in self.grids],
            "polygonThemes": [{"name": t.name,
                               "fields": [{"name": n, "type": k} for n, k in t.fields]}
                              for t in self.polygons],
            "files": files,
        }, indent=1)

    def file_entries(self):
        """The themes that are plain files, as description "files" entries."""
        entries = {}
        for theme in self.grids + self.polygons:
            if theme.source:
                path, layer = theme.source
                entries[theme.name] = {"path": path, "layer": layer} if layer else path
        return entries
