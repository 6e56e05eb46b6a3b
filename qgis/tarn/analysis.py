"""tarn-analyze as a QGIS background task, its check, and the styling of its output."""

import glob
import os
import re
import shutil
import subprocess

from qgis.core import (QgsBlockingProcess, QgsCategorizedSymbolRenderer,
                       QgsClassificationRange, QgsCoordinateTransformContext, QgsFeedback,
                       QgsGraduatedSymbolRenderer, QgsProviderRegistry, QgsRendererCategory,
                       QgsRendererRange, QgsSymbol, QgsTask, QgsVectorFileWriter,
                       QgsVectorLayerFeatureSource)
from qgis.PyQt.QtCore import QProcess
from qgis.PyQt.QtGui import QColor

from . import tr
from .hostlink import split_lines

PREFIX = "tarn-analyze: "
_PROGRESS = re.compile(r"^progress: (\d+)%$")
_SUMMARY = re.compile(r"^Output .*: (\d+) polygons, land cover area (\S+), "
                      r"impervious area (\S+) square (\S+)$")
# Log lines of tarn-analyze that warn: results the user may not expect.
_WARNING = re.compile(r"has no CLASS line|does not overlap|coordinate system unknown|"
                      r"has no coordinate system|polygons without a .* value|is left out|"
                      r"take no cell")
# Impervious percent classes: under 10 % streams stay healthy, over 25 % they degrade.
CLASSES = [(0, 10), (10, 25), (25, 50), (50, 75), (75, 100)]
COLOURS = ["#ffffcc", "#fed976", "#fd8d3c", "#e31a1c", "#800026"]
# The impervious cover model's classes (tarn-analyze --icm), by their ICM_CLASS value.
ICM_CLASSES = [(1, "sensitive", "#1a9850"), (2, "impacted", "#fee08b"),
               (3, "non-supporting", "#f46d43"), (4, "urban drainage", "#a50026"),
               (0, "no land cover", "#d9d9d9")]
# The change of IS_PCT in percentage points, on a diverging ramp: less impervious cover blue,
# no change white, more red.
CHANGE_CLASSES = [(-100, -10), (-10, -1), (-1, 1), (1, 10), (10, 100)]
CHANGE_COLOURS = ["#2166ac", "#92c5de", "#f7f7f7", "#f4a582", "#b2182b"]


def last_error(text, fallback):
    lines = [l.strip() for l in split_lines(text) if l.strip()]
    if not lines:
        return fallback
    line = lines[-1]
    return line[len(PREFIX):] if line.startswith(PREFIX) else line


def check(program, params, description):
    """tarn-analyze --check: (reason or "", output path, themes read)."""
    try:
        done = subprocess.run([program, "--check", params, "--project", description],
                              capture_output=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired) as error:
        return "cannot run %s: %s" % (program, error), "", []
    out = split_lines(done.stdout.decode("utf-8", "replace"))
    if done.returncode != 0:
        return last_error(done.stderr.decode("utf-8", "replace"),
                          "%s --check failed (status %d)" % (program, done.returncode)), "", []
    output = next((l[len("writes: "):] for l in out if l.startswith("writes: ")), "")
    reads = []
    for line in out:
        if line.startswith("reads: ") and line[len("reads: "):] not in reads:
            reads.append(line[len("reads: "):])
    return "", output, reads


class FeatureCopy:
    """A layer's features, fields and coordinate system, taken where the layer lives (the
    GUI thread) and written to a GeoPackage on any thread, so QGIS does not freeze."""

    def __init__(self, source, fields, wkb_type, crs, name):
        self.source, self.fields, self.wkb_type, self.crs = source, fields, wkb_type, crs
        self.name = name

    @classmethod
    def of_layer(cls, layer):
        return cls(QgsVectorLayerFeatureSource(layer), layer.fields(), layer.wkbType(),
                   layer.crs(), layer.name())

    @classmethod
    def of_source(cls, source, name):
        """A Processing feature source, read on the algorithm's thread."""
        return cls(source, source.fields(), source.wkbType(), source.sourceCrs(), name)

    def write(self, path, theme, feedback=None):
        """Writes the features into the GeoPackage as layer `theme`; "" or the reason."""
        options = QgsVectorFileWriter.SaveVectorOptions()
        options.driverName = "GPKG"
        options.layerName = theme
        # A field named "fid" would become the file's feature id, which tarn-analyze cannot
        # read as a field; the id column takes a name no field has.
        fid = "tarn_fid"
        while fid in self.fields.names():
            fid += "_"
        options.layerOptions = ["FID=" + fid]
        options.actionOnExistingFile = (QgsVectorFileWriter.CreateOrOverwriteLayer
                                        if os.path.exists(path)
                                        else QgsVectorFileWriter.CreateOrOverwriteFile)
        writer = QgsVectorFileWriter.create(path, self.fields, self.wkb_type, self.crs,
                                            QgsCoordinateTransformContext(), options)
        problem = writer.errorMessage() if writer.hasError() else ""
        if not problem:
            for feature in self.source.getFeatures():
                if feedback is not None and feedback.isCanceled():
                    break
                if not writer.addFeature(feature):
                    problem = writer.errorMessage() or tr("a feature cannot be written")
                    break
        del writer  # closes the file
        if problem:
            return tr("Layer {} cannot be written to a file for the analysis: {}").format(
                self.name, problem)
        return ""


def summary(log_lines):
    """(polygons, land cover area, impervious area, units) from the analysis's last line."""
    for line in reversed(log_lines):
        match = _SUMMARY.match(line)
        if match:
            return int(match.group(1)), float(match.group(2)), float(match.group(3)), \
                match.group(4)
    return None


def warnings(log_lines):
    return [line for line in log_lines if _WARNING.search(line)]


def _graduated(layer, field, classes, colours, label):
    ranges = []
    for (low, high), colour in zip(classes, colours):
        symbol = QgsSymbol.defaultSymbol(layer.geometryType())
        symbol.setColor(QColor(colour))
        ranges.append(QgsRendererRange(QgsClassificationRange(
            label.format(low, high), low, high), symbol))
    return QgsGraduatedSymbolRenderer(field, ranges)


def style_output(layer, by=None):
    """Colours an output by `by`: "IS_PCT" in five classes, "ICM_CLASS" (or a change run's
    ICM_<label>) in the impervious cover model's four classes, "IS_CHG_PCT" on a diverging
    ramp. Without `by`: a change run's output by IS_CHG_PCT, one with ICM_CLASS by it, others
    by IS_PCT."""
    if not layer.isSpatial():  # a CSV output is a table
        return
    names = layer.fields().names()
    by = by or next((name for name in ("IS_CHG_PCT", "ICM_CLASS") if name in names), "IS_PCT")
    if by.startswith("ICM_"):
        categories = []
        for value, name, colour in ICM_CLASSES:
            symbol = QgsSymbol.defaultSymbol(layer.geometryType())
            symbol.setColor(QColor(colour))
            categories.append(QgsRendererCategory(value, symbol, tr(name)))
        renderer = QgsCategorizedSymbolRenderer(by, categories)
    elif by == "IS_CHG_PCT":
        renderer = _graduated(layer, by, CHANGE_CLASSES, CHANGE_COLOURS, "{:+d} – {:+d} points")
    else:
        renderer = _graduated(layer, by, CLASSES, COLOURS, "{:d} – {:d} %")
    layer.setRenderer(renderer)
    layer.triggerRepaint()


def remove_leftovers(folder, pid):
    """Removes the work folders (.tarn-PID-XXXXXX) a stopped analysis left beside its output,
    by the rule of docs/analysis.md (Work folders): a swap it had begun is undone (its new
    files taken back, the earlier ones put back) unless its new files were all in place.
    Returns a log line for each swap undone or finished."""
    log = []
    for path in glob.glob(os.path.join(glob.escape(folder), ".tarn-%d-*" % pid)):
        if os.path.islink(path) or not os.path.isdir(path) or os.lstat(path).st_uid != os.getuid():
            continue
        new, old = os.path.join(path, "new"), os.path.join(path, "old")
        pending = os.listdir(new) if os.path.isdir(new) else []
        try:
            with open(os.path.join(path, "output"), encoding="utf-8") as f:
                output = os.path.join(folder, f.read())
            with open(os.path.join(path, "swap"), encoding="utf-8") as f:
                moved_in = f.read().split("\n")
        except OSError:
            moved_in = None  # the swap had not begun: nothing outside the folder changed
        keep = False
        if moved_in is not None and not pending:
            log.append(tr("Output {}: a run was stopped while it put its files in place; its "
                          "new files were all in place and are kept").format(output))
        elif moved_in is not None:
            for name in moved_in:
                there = os.path.join(folder, name)
                if name and "/" not in name and name not in (".", "..", *pending) \
                        and os.path.isfile(there) and not os.path.islink(there):
                    os.rename(there, os.path.join(new, name))
            for name in os.listdir(old) if os.path.isdir(old) else []:
                if os.path.lexists(os.path.join(folder, name)):
                    keep = True
                else:
                    os.rename(os.path.join(old, name), os.path.join(folder, name))
            log.append(tr("Output {}: a run was stopped while it put its files in place; the "
                          "earlier files are back").format(output) if not keep else
                       tr("Output {}: a run was stopped while it put its files in place; its "
                          "earlier files could not all be put back and are in {}").format(
                           output, old))
        if not keep:
            shutil.rmtree(path, ignore_errors=True)  # links inside go as links
    return log


def _hidden_pids(folder):
    pids = set()
    for path in glob.glob(os.path.join(glob.escape(folder), ".tarn-*-*")):
        number = os.path.basename(path)[len(".tarn-"):].split("-", 1)[0]
        if number.isdigit():
            pids.add(int(number))
    return pids


def _running(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        pass
    return True


def layer_source(output):
    """The output as QGIS opens it: a GeoPackage by its layer, which is named like the file."""
    if output.lower().endswith(".gpkg"):
        return "%s|layername=%s" % (output, os.path.splitext(os.path.basename(output))[0])
    return output


def reads_output(layer, output):
    """Whether a map layer shows the output file (its layer, for a GeoPackage)."""
    if layer.providerType() != "ogr":
        return False
    parts = QgsProviderRegistry.instance().decodeUri("ogr", layer.source())
    name = os.path.splitext(os.path.basename(output))[0]
    return os.path.realpath(parts.get("path") or "") == os.path.realpath(output) and (
        not output.lower().endswith(".gpkg") or parts.get("layerName") == name)


def output_exists(output):
    """Whether a run would replace an earlier output (for a GeoPackage, its layer)."""
    if not output.lower().endswith(".gpkg"):
        return os.path.exists(output)
    if not os.path.isfile(output):
        return False
    name = os.path.splitext(os.path.basename(output))[0]
    return any(s.name() == name for s in QgsProviderRegistry.instance().querySublayers(output))


class _Lines:
    """Chunks of a program's output as whole lines."""

    def __init__(self, on_line):
        self.on_line = on_line
        self.rest = b""

    def __call__(self, chunk):
        self.rest += bytes(chunk)
        *lines, self.rest = self.rest.split(b"\n")
        for line in lines:
            self.on_line(line.decode("utf-8", "replace").rstrip("\r"))

    def flush(self):
        if self.rest:
            self.on_line(self.rest.decode("utf-8", "replace").rstrip("\r"))
            self.rest = b""


def run_analysis(program, arguments, output, feedback, progress, on_line=None):
    """Runs tarn-analyze to its end, as QGIS's own providers run external programs:
    ("ok" | "failed" | "cancelled", error, log lines). Its "progress: N%" lines go to
    progress(N), the others to on_line; cancelling the feedback stops it. A stopped run
    leaves no output: the analysis writes under a temporary name carrying its process id
    and renames at the end, so what it left is removed here."""
    log = []
    errors = []
    if feedback.isCanceled():
        return "cancelled", tr("cancelled"), log
    folder = os.path.dirname(output)
    before = _hidden_pids(folder)

    def line_out(line):
        match = _PROGRESS.match(line)
        if match:
            progress(int(match.group(1)))
            return
        log.append(line)
        if on_line:
            on_line(line)
    stdout, stderr = _Lines(line_out), _Lines(errors.append)
    process = QgsBlockingProcess(program, arguments)
    process.setStdOutHandler(stdout)
    process.setStdErrHandler(stderr)
    code = process.run(feedback)
    stdout.flush()
    stderr.flush()
    log += [l for l in errors if l.strip()]
    if feedback.isCanceled():
        for pid in _hidden_pids(folder) - before:
            if not _running(pid):
                log += remove_leftovers(folder, pid)
        return "cancelled", tr("cancelled"), log
    if process.processError() == QProcess.FailedToStart:
        return "failed", tr("cannot start {}").format(program), log
    if process.exitStatus() != QProcess.NormalExit or code != 0:
        return "failed", last_error("\n".join(errors), tr("{} ended with status {}").format(
            os.path.basename(program), code)), log
    return "ok", "", log


class AnalysisTask(QgsTask):
    """Writes the layers that are no files, then runs tarn-analyze, in the background;
    Cancel in the task manager stops either."""

    def __init__(self, description, program, arguments, output, copies=()):
        super().__init__(description, QgsTask.CanCancel)
        self.program = program
        self.arguments = arguments
        self.output = output
        self.copies = list(copies)  # (FeatureCopy, GeoPackage, theme)
        self.feedback = QgsFeedback()
        self.log = []
        self.error = ""
        self.cancelled = False

    def cancel(self):
        self.feedback.cancel()
        super().cancel()

    def run(self):
        share = 0.2 if self.copies else 0.0  # of the progress bar, for the copies
        for number, (copy, path, theme) in enumerate(self.copies):
            self.error = copy.write(path, theme, self.feedback)
            if self.error:
                return False
            self.setProgress(100 * share * (number + 1) / len(self.copies))
        status, self.error, self.log = run_analysis(
            self.program, self.arguments, self.output, self.feedback,
            lambda percent: self.setProgress(100 * share + percent * (1 - share)))
        self.cancelled = status == "cancelled" or self.feedback.isCanceled()
        return status == "ok"
