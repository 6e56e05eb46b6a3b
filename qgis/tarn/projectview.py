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

from . import hostlink

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


def file_source(layer):
    """(path, layer name) when the layer reads a whole file as it is, else None: memory,
    database and web layers, and filtered layers, must be written out first."""
    provider = layer.providerType()
    if provider not in ("ogr", "gdal"):
        return None
    parts = QgsProviderRegistry.instance().decodeUri(provider, layer.source())
    path = parts.get("path", "")
    if not path or not os.path.isfile(path) or parts.get("subset"):
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
            if layer.providerType() != "gdal" or file_source(layer) is None \
                    or layer.bandCount() < 1 \
                    or layer.dataProvider().dataType(1) not in _INTEGER_BANDS:
                return None
            theme = Theme(layer)
            theme.fields = None
            return theme
        if layer.type() != QgsMapLayerType.VectorLayer \
                or layer.geometryType() != QgsWkbTypes.PolygonGeometry:
            return None
        fields = layer.fields()
        kinds = []
        for i in range(fields.count()):
            # Only the data's own fields: joined and virtual ones are not in what is analysed.
            kind = _FIELD_TYPES.get(fields.at(i).type())
            if kind and fields.fieldOrigin(i) == QgsFields.OriginProvider \
                    and not name_problem(fields.at(i).name()):
                kinds.append((fields.at(i).name(), kind))
        return Theme(layer, kinds)

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
        crs = self.project.crs()
        if not crs.isValid():
            return "Meters"
        unit = crs.mapUnits()
        if unit == QgsUnitTypes.DistanceMeters:
            return "Meters"
        if unit == QgsUnitTypes.DistanceFeet:
            return "Feet"
        name = QgsUnitTypes.toString(unit)
        return name[:1].upper() + name[1:]

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
