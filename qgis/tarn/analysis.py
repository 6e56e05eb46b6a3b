"""tarn-analyze as a QGIS background task, its check, and the styling of its output."""

import glob
import os
import re
import subprocess

from qgis.core import (QgsClassificationRange, QgsGraduatedSymbolRenderer, QgsRendererRange,
                       QgsSymbol, QgsTask, QgsVectorFileWriter, QgsCoordinateTransformContext)
from qgis.PyQt.QtCore import QProcess
from qgis.PyQt.QtGui import QColor

PREFIX = "tarn-analyze: "
_PROGRESS = re.compile(r"^progress: (\d+)%$")
_SUMMARY = re.compile(r"^Output .*: (\d+) polygons, land cover area (\S+), "
                      r"impervious area (\S+) square (\S+)$")
# Impervious percent classes: under 10 % streams stay healthy, over 25 % they degrade.
CLASSES = [(0, 10), (10, 25), (25, 50), (50, 75), (75, 100)]
COLOURS = ["#ffffcc", "#fed976", "#fd8d3c", "#e31a1c", "#800026"]


def last_error(text, fallback):
    lines = [l.strip() for l in text.splitlines() if l.strip()]
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
    out = done.stdout.decode("utf-8", "replace").splitlines()
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
    ranges = []
    for (low, high), colour in zip(CLASSES, COLOURS):
        symbol = QgsSymbol.defaultSymbol(layer.geometryType())
        symbol.setColor(QColor(colour))
        ranges.append(QgsRendererRange(QgsClassificationRange(
            "%d – %d %%" % (low, high), low, high), symbol))
    renderer = QgsGraduatedSymbolRenderer("IS_PCT", ranges)
    layer.setRenderer(renderer)
    layer.triggerRepaint()


class AnalysisTask(QgsTask):
    """Runs tarn-analyze; its "progress: N%" lines drive the task's progress. A cancelled run
    is stopped and leaves no output: the analysis writes under a temporary name carrying its
    process id and renames at the end, so what a stopped run leaves is removed here."""

    def __init__(self, description, program, arguments, output):
        super().__init__(description, QgsTask.CanCancel)
        self.program = program
        self.arguments = arguments
        self.output = output
        self.log = []
        self.errors = []
        self.error = ""
        self.cancelled = False

    def _read(self, process):
        process.setReadChannel(QProcess.StandardOutput)
        while process.canReadLine():
            line = bytes(process.readLine()).decode("utf-8", "replace").rstrip("\r\n")
            self.log.append(line)
            match = _PROGRESS.match(line)
            if match:
                self.setProgress(int(match.group(1)))

    def run(self):
        process = QProcess()
        process.start(self.program, self.arguments)
        if not process.waitForStarted(30000):
            self.error = "cannot start %s: %s" % (self.program, process.errorString())
            return False
        pid = process.processId()
        while not process.waitForFinished(100):
            self._read(process)
            if self.isCanceled():
                process.kill()
                process.waitForFinished(-1)
                self.cancelled = True
                folder = os.path.dirname(self.output) if self.output else ""
                for leftover in glob.glob(os.path.join(glob.escape(folder),
                                                       ".tarn-%d-*" % pid)):
                    os.remove(leftover)
                self.error = "cancelled"
                return False
        self._read(process)
        stderr = bytes(process.readAllStandardError()).decode("utf-8", "replace")
        self.errors = stderr.splitlines()
        self.log += [l for l in self.errors if l.strip()]
        if process.exitStatus() != QProcess.NormalExit or process.exitCode() != 0:
            self.error = last_error(stderr, "%s ended with status %d"
                                    % (os.path.basename(self.program), process.exitCode()))
            return False
        return True
