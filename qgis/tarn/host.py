"""The plugin as the TARN programs' host: serves ISServer.System from the open project while
a program runs, starts the programs, and carries out the launcher's Run."""

import os
import shutil
import tempfile

from qgis.core import (Qgis, QgsApplication, QgsDataProvider, QgsMessageLog, QgsProject,
                       QgsVectorLayer)
from qgis.PyQt.QtCore import QObject, QProcess, QTimer, pyqtSignal

from . import analysis, hostlink, settings, tr
from .projectview import ProjectView

LOG_TAG = "TARN"
BUSY = "A model run is under way; try again when it has ended"


class Host(QObject):
    """notify(text, level) reaches the user (the message bar in QGIS); ask(text) asks a
    question that is answered yes (True) or no."""

    run_finished = pyqtSignal(bool)

    def __init__(self, notify, project=None, parent=None, ask=None):
        super().__init__(parent)
        self.notify = notify
        self.ask = ask or (lambda text: True)
        self.project = project or QgsProject.instance()
        self.server = hostlink.RequestServer(self.answer, self)
        self.server.answered.connect(self._after_answer)
        self.server.problem.connect(lambda text: QgsMessageLog.logMessage(text, LOG_TAG))
        self.processes = {}
        self.pending = []  # callables owed once the current answer is out
        self.task = None
        self.starting = False  # a run answered "Submitted" whose task is not yet started
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
            self.notify(tr("{} not found: set the TARN programs' folder in TARN > Settings…")
                        .format(name), Qgis.Critical)
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
            tr("cannot start {}: {}").format(program, process.errorString()), Qgis.Critical))
        self.processes[name] = process
        process.start(program, [])

    def _ended(self, name, process, code, status):
        if status != QProcess.NormalExit or code != 0:
            errors = bytes(process.readAllStandardError()).decode("utf-8", "replace")
            self.notify("%s: %s" % (name, analysis.last_error(
                errors, tr("ended with status {}").format(code))), Qgis.Critical)
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
            self.notify(tr("Left out of TARN's lists: ") + "; ".join(view.left_out), Qgis.Warning)
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
        if self.task is not None or self.pending or self.starting:
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
        copies = []  # layers that are no files, written out by the task
        for theme in reads:
            if reason or theme in files:
                continue
            theme_of = view.polygon(theme)
            if theme_of is None:
                reason = "Layer %s is not a file the analysis can read" % theme
                continue
            gpkg = os.path.join(folder, "layers.gpkg")
            copies.append((analysis.FeatureCopy.of_layer(theme_of.layer), gpkg, theme))
            files[theme] = {"path": gpkg, "layer": theme}
        if reason:
            shutil.rmtree(folder, ignore_errors=True)
            QgsMessageLog.logMessage("model not started: " + reason, LOG_TAG, Qgis.Warning)
            return reason
        with open(description, "w", encoding="utf-8") as out:
            out.write(view.description(files))
        arguments = [os.path.abspath(params), "--project", description,
                     "--coverage", settings.coverage()]
        if settings.keep_fields():
            arguments.append("--keep-fields")
        self.starting = True
        # Out of the request's handler, so a question asked there runs no nested event loop
        # inside it.
        self.pending.append(lambda: QTimer.singleShot(0, lambda: self._start_task(
            program, arguments, output, folder, copies)))
        return "Submitted"

    def _start_task(self, program, arguments, output, folder, copies):
        self.starting = False
        if analysis.output_exists(output) and not self.ask(tr(
                "{} already exists.\nDo you want to replace it?").format(output)):
            shutil.rmtree(folder, ignore_errors=True)
            self.notify(tr("The analysis did not run: {} was kept as it was.").format(output),
                        Qgis.Info)
            self._run_over(False)
            return
        task = analysis.AnalysisTask(tr("TARN impervious surface analysis"), program,
                                     arguments, output, copies)
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
                self.notify(tr("The analysis was cancelled; no output was written."),
                            Qgis.Warning)
            else:
                self.notify(tr("The analysis failed: {} (the TARN log has the whole log)")
                            .format(task.error), Qgis.Critical)
        finally:
            self._run_over(ok)

    def _run_over(self, ok):
        """The launcher's notice closes whatever happened to the run."""
        hostlink.send_command("tarn", "{closeprocfrm}", self)
        self.run_finished.emit(ok)
        if not self.processes:
            self.server.close()

    def _add_output(self, output, log):
        """Shows the output: layers of the project that show it already are reloaded, in
        their place and with their style; otherwise it is added, styled."""
        name = os.path.splitext(os.path.basename(output))[0]
        source = analysis.layer_source(output)
        shown = [l for l in self.project.mapLayers().values() if analysis.reads_output(l, output)]
        for layer in shown:
            layer.setDataSource(source, layer.name(), "ogr", QgsDataProvider.ProviderOptions())
            layer.triggerRepaint()
        if not shown:
            layer = QgsVectorLayer(source, name, "ogr")
            if layer.isValid():
                analysis.style_output(layer)
                self.project.addMapLayer(layer)
                shown = [layer]
        if not shown or not shown[0].isValid():
            self.notify(tr("The analysis wrote {}, but it cannot be opened").format(output),
                        Qgis.Critical)
            return
        self.output_layer = shown[0]
        numbers = analysis.summary(log)
        if numbers:
            count, land, impervious, units = numbers
            percent = 100.0 * impervious / land if land > 0 else 0.0
            self.notify(tr("{}: {} polygons, impervious area {:.2f} square {} ({:.1f} %), "
                           "written to {}").format(name, count, impervious, units.lower(),
                                                   percent, output), Qgis.Success)
        else:
            self.notify(tr("{} written to {}").format(name, output), Qgis.Success)
        warnings = analysis.warnings(log)
        if len(warnings) > 3:
            warnings[3:] = [tr("{} more in the TARN log").format(len(warnings) - 3)]
        if warnings:
            self.notify("%s: %s" % (name, "; ".join(warnings)), Qgis.Warning)
