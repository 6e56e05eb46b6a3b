"""tarn-analyze as a QGIS background task, its check, and the styling of its output."""

import glob
import os
import re
import shutil
import subprocess

from qgis.core import (QgsClassificationRange, QgsGraduatedSymbolRenderer, QgsRendererRange,
                       QgsSymbol, QgsTask, QgsVectorFileWriter, QgsCoordinateTransformContext)
from qgis.PyQt.QtCore import QProcess
from qgis.PyQt.QtGui import QColor

from .hostlink import split_lines

PREFIX = "tarn-analyze: "
_PROGRESS = re.compile(r"^progress: (\d+)%$")
_SUMMARY = re.compile(r"^Output .*: (\d+) polygons, land cover area (\S+), "
                      r"impervious area (\S+) square (\S+)$")
# Impervious percent classes: under 10 % streams stay healthy, over 25 % they degrade.
CLASSES = [(0, 10), (10, 25), (25, 50), (50, 75), (75, 100)]
COLOURS = ["#ffffcc", "#fed976", "#fd8d3c", "#e31a1c", "#800026"]


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


def write_geopackage(layer, path, name):
    """Writes a layer into a GeoPackage as `name`; "" or the reason it failed."""
    options = QgsVectorFileWriter.SaveVectorOptions()
    options.driverName = "GPKG"
    options.layerName = name
    options.actionOnExistingFile = (QgsVectorFileWriter.CreateOrOverwriteLayer
                                    if os.path.exists(path)
                                    else QgsVectorFileWriter.CreateOrOverwriteFile)
    result = QgsVectorFileWriter.writeAsVectorFormatV3(
        layer, path, QgsCoordinateTransformContext(), options)
    return "" if result[0] == QgsVectorFileWriter.NoError else (result[1] or "write error")


def summary(log_lines):
    """(polygons, land cover area, impervious area, units) from the analysis's last line."""
    for line in reversed(log_lines):
        match = _SUMMARY.match(line)
        if match:
            return int(match.group(1)), float(match.group(2)), float(match.group(3)), \
                match.group(4)
    return None


def style_output(layer):
    if not layer.isSpatial():  # a CSV output is a table
        return
    ranges = []
    for (low, high), colour in zip(CLASSES, COLOURS):
        symbol = QgsSymbol.defaultSymbol(layer.geometryType())
        symbol.setColor(QColor(colour))
        ranges.append(QgsRendererRange(QgsClassificationRange(
            "%d – %d %%" % (low, high), low, high), symbol))
    renderer = QgsGraduatedSymbolRenderer("IS_PCT", ranges)
    layer.setRenderer(renderer)
    layer.triggerRepaint()


def remove_leftovers(folder, pid):
    """Removes what a killed analysis left beside its output: its hidden folder and files.
    Killed while swapping the new output in, it had moved the earlier output aside as
    .tarn-PID-old-NAME: that goes back unless the new output was wholly in place."""
    prefix = ".tarn-%d-" % pid
    leftovers = glob.glob(os.path.join(glob.escape(folder), glob.escape(prefix) + "*"))
    unfinished = any(os.path.isdir(path) and os.listdir(path) for path in leftovers)
    for path in leftovers:
        name = os.path.basename(path)
        if os.path.isdir(path):
            shutil.rmtree(path, ignore_errors=True)
        elif unfinished and name.startswith(prefix + "old-"):
            os.replace(path, os.path.join(folder, name[len(prefix + "old-"):]))
        else:
            os.remove(path)


def layer_source(output):
    """The output as QGIS opens it: a GeoPackage by its layer, which is named like the file."""
    if output.lower().endswith(".gpkg"):
        return "%s|layername=%s" % (output, os.path.splitext(os.path.basename(output))[0])
    return output


def run_analysis(program, arguments, output, progress, canceled, on_line=None):
    """Runs tarn-analyze to its end: ("ok" | "failed" | "cancelled", error, log lines). Its
    "progress: N%" lines go to progress(N), the others to on_line. A cancelled run is stopped
    and leaves no output: the analysis writes under a temporary name carrying its process
    id and renames at the end, so what a stopped run leaves is removed here."""
    log = []
    if canceled():
        return "cancelled", "cancelled", log
    process = QProcess()
    process.start(program, arguments)
    if not process.waitForStarted(30000):
        return "failed", "cannot start %s: %s" % (program, process.errorString()), log

    def read():
        process.setReadChannel(QProcess.StandardOutput)
        while process.canReadLine():
            line = bytes(process.readLine()).decode("utf-8", "replace").rstrip("\r\n")
            match = _PROGRESS.match(line)
            if match:
                progress(int(match.group(1)))
                continue
            log.append(line)
            if on_line:
                on_line(line)
    pid = process.processId()
    while not process.waitForFinished(100):
        read()
        if canceled():
            process.kill()
            process.waitForFinished(-1)
            remove_leftovers(os.path.dirname(output), pid)
            return "cancelled", "cancelled", log
    read()
    errors = bytes(process.readAllStandardError()).decode("utf-8", "replace")
    log += [l for l in split_lines(errors) if l.strip()]
    if process.exitStatus() != QProcess.NormalExit or process.exitCode() != 0:
        return "failed", last_error(errors, "%s ended with status %d" % (
            os.path.basename(program), process.exitCode())), log
    return "ok", "", log


class AnalysisTask(QgsTask):
    """tarn-analyze as a background task; Cancel in the task manager stops it."""

    def __init__(self, description, program, arguments, output):
        super().__init__(description, QgsTask.CanCancel)
        self.program = program
        self.arguments = arguments
        self.output = output
        self.log = []
        self.error = ""
        self.cancelled = False

    def run(self):
        status, self.error, self.log = run_analysis(
            self.program, self.arguments, self.output, self.setProgress, self.isCanceled)
        self.cancelled = status == "cancelled"
        return status == "ok"
