"""The plugin as the TARN programs' host: serves ISServer.System from the open project while
a program runs, starts the programs, and carries out the launcher's Run."""

import os
import shutil
import tempfile

from qgis.core import (Qgis, QgsApplication, QgsMessageLog, QgsProject, QgsVectorLayer)
from qgis.PyQt.QtCore import QObject, QProcess, pyqtSignal

from . import analysis, hostlink, settings
from .projectview import ProjectView

LOG_TAG = "TARN"
BUSY = "A model run is under way; try again when it has ended"


class Host(QObject):
    """notify(text, level) reaches the user (the message bar in QGIS)."""

    run_finished = pyqtSignal(bool)

    def __init__(self, notify, project=None, parent=None):
        super().__init__(parent)
        self.notify = notify
        self.project = project or QgsProject.instance()
        self.server = hostlink.RequestServer(self.answer, self)
        self.server.answered.connect(self._after_answer)
        self.server.problem.connect(lambda text: QgsMessageLog.logMessage(text, LOG_TAG))
        self.processes = {}
        self.pending = []  # callables owed once the current answer is out
        self.task = None
        self.last_left_out = None
        self.output_layer = None

    # ---- programs ---------------------------------------------------------------------

    def start(self, name):
        """Starts a TARN program, or brings it to the front when it already runs."""
        process = self.processes.get(name)
        if process is not None and process.state() != QProcess.NotRunning:
            hostlink.send_command(name, "{view}", self)
            return
        program = settings.find_program(name)
        if not program:
            self.notify("%s not found: set the TARN programs' folder in TARN > Settings…"
                        % name, Qgis.Critical)
            return
        problem = self.serve()
        if problem:
            self.notify(problem, Qgis.Critical)
            return

        def started_elsewhere(verdict):
            if verdict != "accepted":
                self._launch(name, program)
        # One started outside QGIS answers on its endpoint too.
        hostlink.send_command(name, "{view}", self, started_elsewhere)

    def _launch(self, name, program):
        process = QProcess(self)
        process.setProcessChannelMode(QProcess.SeparateChannels)
        process.finished.connect(lambda code, status: self._ended(name, process, code, status))
        process.errorOccurred.connect(lambda error: error == QProcess.FailedToStart and self.notify(
            "cannot start %s: %s" % (program, process.errorString()), Qgis.Critical))
        self.processes[name] = process
        process.start(program, [])

    def _ended(self, name, process, code, status):
        if status != QProcess.NormalExit or code != 0:
            errors = bytes(process.readAllStandardError()).decode("utf-8", "replace")
            self.notify("%s: %s" % (name, analysis.last_error(
                errors, "ended with status %d" % code)), Qgis.Critical)
        if self.processes.get(name) is process:
            del self.processes[name]
        process.deleteLater()
        if not self.processes and self.task is None:
            self.server.close()

    def serve(self):
        if self.server.path:
            return ""
        return self.server.listen()

    def stop(self):
        for process in list(self.processes.values()):
            process.finished.disconnect()
            process.terminate()
            if not process.waitForFinished(3000):
                process.kill()
        self.processes.clear()
        if self.task is not None:
            self.task.cancel()
        self.server.close()

    # ---- requests ---------------------------------------------------------------------

    def view(self):
        view = ProjectView(self.project, settings.work_folder())
        if view.left_out and view.left_out != self.last_left_out:
            self.notify("Left out of TARN's lists: " + "; ".join(view.left_out), Qgis.Warning)
        self.last_left_out = view.left_out
        return view

    def answer(self, item):
        view = self.view()
        text, note, params = view.answer(item)
        if note:
            QgsMessageLog.logMessage("%s: %s" % (item, note), LOG_TAG, Qgis.Info)
        if params is not None:
            text = self.prepare_run(view, params)
        return text

    def _after_answer(self):
        owed, self.pending = self.pending, []
        for action in owed:
            action()

    # ---- the run ----------------------------------------------------------------------

    def prepare_run(self, view, params):
        """The answer to isCallExecuteModel: "Submitted" with the run queued, or the reason."""
        if self.task is not None or self.pending:
            return BUSY
        program = settings.find_program("tarn-analyze")
        if not program:
            return "tarn-analyze not found: set the TARN programs' folder in QGIS"
        folder = tempfile.mkdtemp(prefix="tarn-run-")
        files = view.file_entries()
        description = os.path.join(folder, "project.json")
        with open(description, "w", encoding="utf-8") as out:
            out.write(view.description(files))
        reason, output, reads = analysis.check(program, params, description)
        for theme in reads:
            if reason or theme in files:
                continue
            theme_of = view.polygon(theme)
            if theme_of is None:
                reason = "Layer %s is not a file the analysis can read" % theme
                continue
            layer = theme_of.layer
            gpkg = os.path.join(folder, "layers.gpkg")
            problem = analysis.write_geopackage(layer, gpkg, theme)
            if problem:
                reason = "Layer %s cannot be written to a file for the analysis: %s" % (
                    theme, problem)
            files[theme] = {"path": gpkg, "layer": theme}
        if reason:
            shutil.rmtree(folder, ignore_errors=True)
            QgsMessageLog.logMessage("model not started: " + reason, LOG_TAG, Qgis.Warning)
            return reason
        with open(description, "w", encoding="utf-8") as out:
            out.write(view.description(files))
        arguments = [os.path.abspath(params), "--project", description,
                     "--coverage", settings.coverage()]
        self.pending.append(lambda: self._start_task(program, arguments, output, folder))
        return "Submitted"

    def _start_task(self, program, arguments, output, folder):
        task = analysis.AnalysisTask("TARN impervious surface analysis", program, arguments,
                                     output)
        self.task = task
        task.taskCompleted.connect(lambda: self._task_ended(task, True, output, folder))
        task.taskTerminated.connect(lambda: self._task_ended(task, False, output, folder))
        QgsApplication.taskManager().addTask(task)

    def _task_ended(self, task, ok, output, folder):
        self.task = None
        shutil.rmtree(folder, ignore_errors=True)
        QgsMessageLog.logMessage("\n".join(task.log), LOG_TAG, Qgis.Info)
        try:
            if ok:
                self._add_output(output, task.log)
            elif task.cancelled:
                self.notify("The analysis was cancelled; no output was written.", Qgis.Warning)
            else:
                self.notify("The analysis failed: %s (the TARN log has the whole log)"
                            % task.error, Qgis.Critical)
        finally:  # the launcher's notice closes whatever happened here
            hostlink.send_command("tarn", "{closeprocfrm}", self)
            self.run_finished.emit(ok)
            if not self.processes:
                self.server.close()

    def _add_output(self, output, log):
        name = os.path.splitext(os.path.basename(output))[0]
        source = analysis.layer_source(output)
        for old in self.project.mapLayersByName(name):
            if old.source() == source:
                self.project.removeMapLayer(old)
        layer = QgsVectorLayer(source, name, "ogr")
        if not layer.isValid():
            self.notify("The analysis wrote %s, but it cannot be opened" % output, Qgis.Critical)
            return
        analysis.style_output(layer)
        self.project.addMapLayer(layer)
        self.output_layer = layer
        numbers = analysis.summary(log)
        if numbers:
            count, land, impervious, units = numbers
            percent = 100.0 * impervious / land if land > 0 else 0.0
            self.notify("%s: %d polygons, impervious area %.2f square %s (%.1f %%)"
                        % (name, count, impervious, units.lower(), percent), Qgis.Success)
        else:
            self.notify("%s added" % name, Qgis.Success)
