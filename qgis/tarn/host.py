"""The plugin as the TARN programs' host: serves ISServer.System from the open project while
a program runs, starts the programs, and carries out the launcher's Run."""

import json
import os
import re
import shutil
import tempfile
import traceback

from qgis.core import (Qgis, QgsApplication, QgsDataProvider, QgsMessageLog, QgsProject,
                       QgsVectorLayer)
from qgis.PyQt import sip
from qgis.PyQt.QtCore import QEventLoop, QObject, QProcess, QTimer, pyqtSignal

from . import analysis, hostlink, settings, tr
from .projectview import GET_VIEW, ProjectView

LOG_TAG = "TARN"
BUSY = "A model run is under way; try again when it has ended"
_CANCEL = re.compile(r'^av\.Run\("isCancelModel",\{"([^"]*)"\}\)$')
REOPEN = "Reopen the launcher (Plugins > TARN > Impervious Surface Analysis…) to list the " \
    "project's layers as they are now."
# Programs the user kept open when the plugin was unloaded: never deleted, so never killed.
_left_running = []


class Host(QObject):
    """notify(text, level) reaches the user (the message bar in QGIS); ask(text) asks a
    question that is answered yes (True) or no: before an output is replaced, and before a
    program that does not answer is ended."""

    run_finished = pyqtSignal(bool)
    # The project's layers changed while the launcher shows the lists it was given.
    layers_changed = pyqtSignal()

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
        self.task_params = None
        self.last_left_out = None
        self.output_layer = None
        self.own_layers = set()  # outputs this host added: no news to the launcher
        self.offered = None  # what the launcher was given: view name, themes
        self.told_changed = False
        self.closers = {}
        self.watched = [(changed, changed.connect(
            lambda *_: QTimer.singleShot(0, self._check_layers)))
            for changed in (self.project.layersAdded, self.project.layersRemoved,
                            self.project.cleared)]

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
        if (status != QProcess.NormalExit or code != 0) and name not in self.closers:
            errors = bytes(process.readAllStandardError()).decode("utf-8", "replace")
            self.notify("%s: %s" % (name, analysis.last_error(
                errors, tr("ended with status {}").format(code))), Qgis.Critical)
        if status != QProcess.NormalExit:  # ended by a signal: its endpoint is left over
            hostlink.remove_stale_socket(hostlink.endpoint_path(name + ".Transfer")[0])
        if self.processes.get(name) is process:
            del self.processes[name]
            if name == "tarn":
                self.offered = None
        process.deleteLater()
        if not self.processes and self.task is None:
            self.server.close()

    def serve(self):
        if self.server.path:
            return ""
        return self.server.listen()

    # ---- ending the programs ----------------------------------------------------------

    def close_programs(self, on_done):
        """Asks every running program to end as its Quit would; each may ask its questions.
        on_done(names kept open) once every one has ended or been kept open."""
        kept = []
        running = [(n, p) for n, p in self.processes.items() if p.state() != QProcess.NotRunning]
        if not running:
            on_done(kept)
            return
        left = set(n for n, _ in running)

        def settled(name, stays):
            if stays:
                kept.append(name)
            left.discard(name)
            self.closers.pop(name, None)
            if not left:
                on_done(sorted(kept))
        for name, process in running:
            self._close_program(name, process, settled)

    def _close_program(self, name, process, on_settled):
        closer = hostlink.ProgramCloser(name, self)
        self.closers[name] = closer
        ended = []

        def settled(name, stays):
            if closer.settled:
                return
            closer.settled = True
            on_settled(name, stays)
        closer.settled = False
        process.finished.connect(lambda *_: ended.append(True) or settled(name, False))

        def verdict(outcome, reason):
            if ended:
                return
            if outcome == "kept open":
                settled(name, True)
            elif outcome == "ending":
                # It said so; one that does not end after all is not answering.
                QTimer.singleShot(10000, lambda: ended or self._end_unanswering(
                    name, process, "it did not end after agreeing to", settled))
            else:
                self._end_unanswering(name, process, reason, settled)
        closer.finished.connect(verdict)
        closer.ask()

    def _end_unanswering(self, name, process, reason, settled):
        if process.state() == QProcess.NotRunning:
            return
        if not self.ask(tr("{} does not answer ({}). End it? Changes it has not saved are "
                               "lost.").format(name, reason)):
            settled(name, True)
            return
        QgsMessageLog.logMessage("%s did not answer (%s); ended" % (name, reason), LOG_TAG,
                                 Qgis.Warning)
        process.terminate()
        QTimer.singleShot(3000, lambda: not sip.isdeleted(process)
                          and process.state() != QProcess.NotRunning and process.kill())

    def allow_exit(self):
        """For QGIS's exit: True once every program has ended; False, with the reason in
        the message bar, when the user keeps one open."""
        kept = self._close_and_wait()
        if kept:
            self.notify(tr("{} stays open, so QGIS stays open.").format(" and ".join(kept)),
                        Qgis.Warning)
        return not kept

    def _close_and_wait(self):
        loop = QEventLoop()
        result = []
        self.close_programs(lambda kept: result.append(kept) or loop.quit())
        if not result:
            loop.exec_()
        return result[0]

    def stop(self):
        """On unload: the programs end as their Quit would; one the user keeps open goes on
        without its host."""
        for name in self._close_and_wait():
            process = self.processes.pop(name)
            process.finished.disconnect()
            process.setParent(None)
            sip.transferto(process, None)
            _left_running.append(process)
            self.notify(tr("{} stays open without QGIS as its host.").format(name), Qgis.Warning)
        if self.task is not None:
            self.task.cancel()
        self.server.close()
        for signal, connection in self.watched:
            signal.disconnect(connection)
        self.watched = []

    # ---- the launcher's snapshot of the project ----------------------------------------

    def _names(self, view):
        return {t.name for t in view.grids + view.polygons if t.layer.id() not in self.own_layers}

    def _remember_offered(self, view, item):
        """The launcher asks for its lists at start-up and keeps them: remember what it got."""
        if item == GET_VIEW or self.offered is None:
            self.offered = {"view": view.view_name(), "grids": {}, "polygons": {}}
            self.told_changed = False
        self.offered["grids"].update((t.name, None) for t in view.grids)
        self.offered["polygons"].update(
            (t.name, t.fields) for t in view.polygons if t.layer.id() not in self.own_layers)

    def _check_layers(self):
        if self.offered is None or self.told_changed or "tarn" not in self.processes:
            return
        view = ProjectView(self.project, settings.work_folder())
        offered = set(self.offered["grids"]) | set(self.offered["polygons"])
        if self._names(view) != offered or view.view_name() != self.offered["view"]:
            self.told_changed = True
            self.layers_changed.emit()

    def reopen_launcher(self):
        """Ends the launcher as its Quit would and starts it again, to list the project as
        it is now."""
        process = self.processes.get("tarn")
        if process is None or process.state() == QProcess.NotRunning:
            self.start("tarn")
            return

        def closed(kept):
            if kept:
                self.notify(tr("The launcher stays open; close it to reopen it."), Qgis.Warning)
            else:
                self.start("tarn")
        self._close_program("tarn", process, lambda name, stays: closed([name] if stays
                                                                          else []))

    def _offered_description(self, view):
        """The project description as the launcher was given it."""
        data = json.loads(view.description({}))
        data["view"] = self.offered["view"]
        grids = set(data["gridThemes"])
        data["gridThemes"] += [n for n in self.offered["grids"] if n not in grids]
        polygons = {p["name"] for p in data["polygonThemes"]}
        data["polygonThemes"] += [
            {"name": n, "fields": [{"name": f, "type": k} for f, k in fields]}
            for n, fields in self.offered["polygons"].items() if n not in polygons]
        return json.dumps(data)

    def _gone_reason(self, program, params, view, folder):
        """Why a run the launcher asked for from its lists fails now that the project
        changed, or "" when it is not that."""
        if self.offered is None:
            return ""
        description = os.path.join(folder, "offered.json")
        with open(description, "w", encoding="utf-8") as out:
            out.write(self._offered_description(view))
        reason, _, reads = analysis.check(program, params, description)
        if reason:
            return ""
        names = self._names(view)
        gone = [t for t in reads if t not in names]
        if gone:
            return "Layer %s is no longer in the QGIS project. %s" % (", ".join(gone), REOPEN)
        return "The QGIS project changed since the launcher listed its layers. " + REOPEN

    # ---- requests ---------------------------------------------------------------------

    def view(self):
        view = ProjectView(self.project, settings.work_folder())
        if view.left_out and view.left_out != self.last_left_out:
            self.notify(tr("Left out of TARN's lists: ") + "; ".join(view.left_out), Qgis.Warning)
        self.last_left_out = view.left_out
        return view

    def answer(self, item):
        try:
            cancel = _CANCEL.match(item)
            if cancel:
                return self.cancel_run(cancel.group(1))
            view = self.view()
            text, note, params = view.answer(item)
            if note:
                QgsMessageLog.logMessage("%s: %s" % (item, note), LOG_TAG, Qgis.Info)
            if params is not None:
                return self.prepare_run(view, params)
            if text is not None:
                self._remember_offered(view, item)
            return text
        except Exception as error:  # answered, so the launcher does not wait out its time-out
            QgsMessageLog.logMessage("%s failed:\n%s" % (item, traceback.format_exc()), LOG_TAG,
                                     Qgis.Critical)
            self.notify(tr("TARN could not answer the launcher: {} (the TARN log has the details)")
                        .format(error), Qgis.Critical)
            if item.startswith('av.Run("isCallExecuteModel"'):
                return "The TARN plugin failed: %s" % error
            return None

    def cancel_run(self, params):
        if self.task is None or self.task_params != os.path.abspath(params):
            return "No model run of %s is under way" % params
        self.task.cancel()
        return hostlink.CANCELLED

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
            reason = self._gone_reason(program, params, view, folder) or reason
            shutil.rmtree(folder, ignore_errors=True)
            QgsMessageLog.logMessage("model not started: " + reason, LOG_TAG, Qgis.Warning)
            return reason
        with open(description, "w", encoding="utf-8") as out:
            out.write(view.description(files))
        arguments = [os.path.abspath(params), "--project", description,
                     "--coverage", settings.coverage()]
        if settings.keep_fields():
            arguments.append("--keep-fields")
        if settings.watershed_classes():
            arguments.append("--icm")
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
        self.task_params = arguments[0]
        task.taskCompleted.connect(lambda: self._task_ended(task, True, output, folder))
        task.taskTerminated.connect(lambda: self._task_ended(task, False, output, folder))
        QgsApplication.taskManager().addTask(task)
        # The notice offers Cancel; a launcher that knows no such command refuses it.
        hostlink.send_command("tarn", hostlink.SHOW_CANCEL, self)

    def _task_ended(self, task, ok, output, folder):
        self.task = None
        self.task_params = None
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
                self.own_layers.add(layer.id())
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
