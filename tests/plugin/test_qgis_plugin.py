"""The QGIS plugin against the real programs: its answers, a launcher it starts, its runs and
its Processing algorithm. Headless (QT_QPA_PLATFORM=offscreen); TARN_BIN_DIR names the
programs, TARN_SOURCE_DIR the repository."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

SOURCE = os.environ.get("TARN_SOURCE_DIR",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
                            __file__)))))
BIN = os.environ.get("TARN_BIN_DIR", os.path.join(SOURCE, "build", "bin"))
DEMO = os.path.join(SOURCE, "examples", "demo-data")
sys.path.insert(0, os.path.join(SOURCE, "qgis"))

from qgis.testing import start_app  # noqa: E402

APP = start_app()

from qgis.core import (QgsApplication, QgsProcessingContext, QgsProcessingFeedback,  # noqa: E402
                       QgsProcessingOutputLayerDefinition, QgsProcessingUtils, QgsProject,
                       QgsVectorLayer)
from qgis.PyQt.QtCore import QCoreApplication, QProcess  # noqa: E402
from qgis.PyQt.QtNetwork import QLocalServer  # noqa: E402

from tarn import analysis, hostlink, settings  # noqa: E402
from tarn.host import Host  # noqa: E402
from tarn.plugin import SettingsDialog  # noqa: E402
from tarn.processing_provider import TarnProvider  # noqa: E402

PARAMS = """VIEW#View1\r
LCTHEME#landcover_2016\r
LCUNITS#Meters\r
ANALYSISTHEME#{theme}\r
ANALYSISUNIT#{field}\r
POPDENSITY#1\r
OUTTHEME#{out}\r
OUTTHEMENAME#{name}\r
DS#1#new_development#Developed High#24\r
CLASS#21#Developed Open#10#8#5\r
CLASS#22#Developed Low#30#25#20\r
CLASS#23#Developed Medium#60#55#50\r
CLASS#24#Developed High#90#85#80\r
CLASS#82#Cultivated Crops#2#1.5#1\r
"""


def wait_for(condition, limit=120):
    """Runs the event loop until the condition holds (the limit only stops a hung test)."""
    end = time.monotonic() + limit
    while not condition():
        if time.monotonic() > end:
            raise AssertionError("gave up waiting")
        QCoreApplication.processEvents()
        time.sleep(0.005)


def run_process(program, arguments):
    """Runs a program while the event loop goes on, so the plugin can answer it."""
    process = QProcess()
    process.start(program, arguments)
    wait_for(lambda: process.state() == QProcess.NotRunning)
    return process.exitCode(), bytes(process.readAllStandardOutput()).decode("utf-8").strip()


def request(item):
    return run_process(os.path.join(BIN, "tarnhost"), ["request", item])


def features(layer):
    """A layer's (or file's) attributes, without a GeoPackage's fid."""
    if isinstance(layer, str):
        layer = QgsVectorLayer(analysis.layer_source(layer), "check", "ogr")
    assert layer.isValid(), layer.source()
    kept = [i for i, name in enumerate(layer.fields().names()) if name != "fid"]
    return [tuple(round(v, 6) if isinstance(v, float) else v
                  for v in (f.attributes()[i] for i in kept)) for f in layer.getFeatures()]


def direct_run(folder, classes=None, out="direct.shp", arguments=()):
    """tarn-analyze on the demo folder: the values a run must give."""
    out = os.path.join(folder, out)
    params = os.path.join(folder, "direct_params.txt")
    text = PARAMS.format(theme="parcels", field="PARCEL_ID", out=out, name="direct")
    if classes is not None:
        text = text[:text.index("CLASS#")] + classes
    with open(params, "w", newline="") as f:
        f.write(text)
    subprocess.run([os.path.join(BIN, "tarn-analyze"), params, "--data", DEMO, *arguments],
                   check=True, capture_output=True)
    return features(out)


def store_classes(name):
    """A store set as the launcher writes it into the parameter file."""
    shown = subprocess.run([os.path.join(BIN, "tarn-store"), "show", name], check=True,
                           capture_output=True).stdout.decode("utf-8").splitlines()[1:]
    return "".join("CLASS#%s\r\n" % line.replace(",", "#") for line in shown)


def slow_programs(folder):
    """A stand-in tarn-analyze that does $TARN_TEST_DOES in its output's folder, reports
    progress and waits to be killed; tarn-store beside it is the real one."""
    program = os.path.join(folder, "tarn-analyze")
    with open(program, "w") as f:
        f.write('#!/bin/sh\nout=$(sed -n "s/^OUTTHEME#//p" "$1" | tr -d "\\r")\n'
                'cd "$(dirname "$out")" && eval "$TARN_TEST_DOES"\n'
                'echo "progress: 10%"\nexec sleep 600\n')
    os.chmod(program, 0o755)
    os.symlink(os.path.join(BIN, "tarn-store"), os.path.join(folder, "tarn-store"))
    return folder


class FakeLauncher:
    """Serves tarn.Transfer as the launcher would and records the commands it gets."""

    def __init__(self):
        self.commands = []
        self.server = QLocalServer()
        path, _ = hostlink.endpoint_path("tarn.Transfer")
        QLocalServer.removeServer(path)
        assert self.server.listen(path)
        self.server.newConnection.connect(self._accept)

    def _accept(self):
        connection = self.server.nextPendingConnection()
        reader = hostlink.FrameReader()

        def read():
            reader.buffer += bytes(connection.readAll())
            got = reader.next()
            if got:
                self.commands.append(got[1])
                connection.write(hostlink.frame("ACK"))
        connection.readyRead.connect(read)

    def close(self):
        self.server.close()


class TestPlugin(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="tst-qgis-plugin-")
        os.environ["XDG_RUNTIME_DIR"] = cls.tmp
        settings.set_value("programFolder", BIN)
        settings.set_value("workFolder", os.path.join(cls.tmp, "work"))
        cls.project = QgsProject.instance()
        # A copy, so runs write beside it and never into the repository.
        cls.data = os.path.join(cls.tmp, "demo-data")
        shutil.copytree(DEMO, cls.data)
        assert cls.project.read(os.path.join(cls.data, "demo.qgz"))
        cls.slow = slow_programs(tempfile.mkdtemp(dir=cls.tmp))
        cls.messages = []
        cls.host = Host(lambda text, level: cls.messages.append(text), cls.project)
        cls.provider = TarnProvider()
        QgsApplication.processingRegistry().addProvider(cls.provider)

    @classmethod
    def tearDownClass(cls):
        cls.host.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_endpoint_folder_follows_the_programs_rule(self):
        rows = [  # name, XDG_RUNTIME_DIR, mode of an existing tarn-<uid>, folder or refusal
            ("runtime folder", self.tmp, None, self.tmp),
            ("private temporary folder created", "", None, "private"),
            ("open temporary folder refused", "", 0o755, None),
        ]
        for name, runtime, mode, expected in rows:
            with self.subTest(name):
                temp = tempfile.mkdtemp(dir=self.tmp)
                private = os.path.join(temp, "tarn-%d" % os.getuid())
                if mode is not None:
                    os.mkdir(private)
                    os.chmod(private, mode)
                with mock.patch.dict(os.environ, XDG_RUNTIME_DIR=runtime, TMPDIR=temp):
                    folder, reason = hostlink.endpoint_folder()
                if expected is None:
                    self.assertIsNone(folder)
                    self.assertIn("mode 0700", reason)
                elif runtime:
                    self.assertEqual(folder, expected)
                else:
                    self.assertEqual(folder, private)
                    self.assertEqual(os.stat(folder).st_mode & 0o777, 0o700)

    def test_package_folder_is_the_bin_beside_share(self):
        rows = [  # plugin folder, the programs' folder it implies
            ("/usr/share/qgis/python/plugins/tarn", "/usr/bin"),
            ("/opt/x/share/qgis/python/plugins/tarn/", "/opt/x/bin"),
            ("/home/u/.local/share/QGIS/QGIS3/profiles/default/python/plugins/tarn", ""),
        ]
        for plugin_dir, expected in rows:
            with self.subTest(plugin_dir):
                self.assertEqual(settings.package_folder(plugin_dir), expected)

    def test_answers_equal_those_of_tarnhost_on_the_same_data(self):
        items = ['av.GetActiveDoc.GetName', 'av.GetProject.GetWorkDir.GetFullName.AsString',
                 'av.Run("isGetGThemes",{"View1"})', 'av.Run("isGetViewUnits",{"View1"})',
                 'av.Run("isGetGThemes",{"Other"})', 'av.Run("isGetFThemes",{"View1","3"})',
                 'av.Run("isGetFldNames",{"View1","nothing","2"})', 'av.Run("isNoScript",{})',
                 'av.GetProject']
        for selector in "012":
            items.append('av.Run("isGetFThemes",{"View1","%s"})' % selector)
            for theme in ("parcels", "census_blocks", "new_development"):
                items.append('av.Run("isGetFldNames",{"View1","%s","%s"})' % (theme, selector))
        ours = {}
        # A name the request strings cannot carry: left out, and the user is told.
        odd = QgsVectorLayer("Polygon?field=ID:integer", 'odd"name', "memory")
        self.project.addMapLayer(odd)
        self.assertEqual(self.host.serve(), "")
        try:
            for item in items:
                ours[item] = request(item)
        finally:
            self.project.removeMapLayer(odd)
            self.host.server.close()
        self.assertIn('layer odd"name contains \'"\', which cannot cross the host link',
                      self.messages[-1])
        tarnhost = QProcess()
        tarnhost.start(os.path.join(BIN, "tarnhost"), ["serve", "--data", self.data])
        wait_for(lambda: b"serving" in bytes(tarnhost.peek(4096)))
        try:
            for item in items:
                with self.subTest(item=item):
                    code, text = request(item)
                    self.assertEqual(ours[item][0], code)
                    if code == 0:
                        self.assertEqual(ours[item][1], text)
        finally:
            tarnhost.terminate()
            tarnhost.waitForFinished()

    def test_starts_the_real_launcher_which_asks_its_questions_then_quits(self):
        asked = []
        answer = self.host.answer
        self.host.server.handler = lambda item: asked.append(item) or answer(item)
        try:
            self.host.start("tarn")
            wait_for(lambda: "tarn" in self.host.processes and os.path.exists(
                hostlink.endpoint_path("tarn.Transfer")[0]) and len(asked) >= 3)
            process = self.host.processes["tarn"]
            self.host.start("tarn")  # brought to the front, not started twice
            self.assertIs(self.host.processes["tarn"], process)
            ended = []
            process.finished.connect(lambda code, _: ended.append(code))
            verdicts = []
            hostlink.send_command("tarn", "{quit}", None, verdicts.append)
            wait_for(lambda: verdicts and ended)
        finally:
            self.host.server.handler = answer
        self.assertEqual(verdicts, ["accepted"])
        self.assertEqual(ended, [0])
        self.assertIn('av.GetActiveDoc.GetName', asked)
        self.assertIn('av.Run("isGetFThemes",{"View1","2"})', asked)
        self.assertFalse(self.host.server.path)  # no program left: the endpoint is closed

    def test_run_requests(self):
        memory = QgsVectorLayer("Polygon?crs=EPSG:26918&field=PARCEL_ID:integer",
                                "parcels_mem", "memory")
        memory.dataProvider().addFeatures(
            list(QgsVectorLayer(os.path.join(self.data, "parcels.shp"), "p", "ogr")
                 .getFeatures()))
        self.project.addMapLayer(memory)
        rows = [
            # name, analysis theme, field, output, coverage set in Settings, answer
            ("file layers", "parcels", "PARCEL_ID", ".shp", "centre", "Submitted"),
            ("memory layer written out", "parcels_mem", "PARCEL_ID", ".shp", "centre",
             "Submitted"),
            ("exact coverage from Settings", "parcels", "PARCEL_ID", ".shp", "exact",
             "Submitted"),
            ("GeoPackage output", "parcels", "PARCEL_ID", ".gpkg", "centre", "Submitted"),
            ("CSV output, a table", "parcels", "PARCEL_ID", ".csv", "centre", "Submitted"),
            ("unknown field", "parcels", "NOPE", ".shp", "centre",
             "model_params.txt: field NOPE not found in theme parcels"),
        ]
        launcher = FakeLauncher()
        try:
            for name, theme, field, extension, coverage, answer in rows:
                with self.subTest(name):
                    dialog = SettingsDialog()  # TARN > Settings…
                    dialog.coverage.setCurrentIndex(dialog.coverage.findData(coverage))
                    dialog.accept()
                    folder = tempfile.mkdtemp(dir=self.tmp)
                    params = os.path.join(folder, "model_params.txt")
                    out = os.path.join(folder, "%s_is%s" % (theme, extension))
                    with open(params, "w", newline="") as f:
                        f.write(PARAMS.format(theme=theme, field=field, out=out,
                                              name=theme + "_is"))
                    launcher.commands.clear()
                    self.assertEqual(self.host.serve(), "")
                    code, text = request('av.Run("isCallExecuteModel",{"%s"})' % params)
                    self.assertEqual(text, answer)
                    if answer != "Submitted":
                        self.assertIsNone(self.host.task)
                        self.assertFalse(os.path.exists(out))
                        continue
                    wait_for(lambda: "{closeprocfrm}" in launcher.commands)
                    layer = self.host.output_layer
                    self.assertEqual(layer.source(), analysis.layer_source(out))
                    self.assertIn(layer.id(), self.project.mapLayers())
                    if extension != ".csv":
                        self.assertEqual(layer.renderer().type(), "graduatedSymbol")
                        self.assertEqual(layer.renderer().classAttribute(), "IS_PCT")
                    self.assertEqual(features(layer), direct_run(
                        self.tmp, out="direct" + extension, arguments=["--coverage", coverage]))
                    self.assertIn("48 polygons", self.messages[-1])
        finally:
            settings.set_value("coverage", "")
            launcher.close()
            self.host.server.close()

    def test_cancel_stops_the_analysis_and_removes_what_it_wrote(self):
        # Killed at its first progress line, after it did this beside the earlier output.
        rows = [
            ("hidden files", "touch .tarn-$$-out.shp .tarn-$$-out.dbf"),
            ("hidden folder", "mkdir .tarn-$$-out.shp && touch .tarn-$$-out.shp/out.shp"),
            ("earlier output moved aside is put back",
             "mkdir .tarn-$$-out.shp && touch .tarn-$$-out.shp/out.dbf "
             "&& mv out.shp .tarn-$$-old-out.shp"),
        ]
        for name, does in rows:
            with self.subTest(name):
                folder = tempfile.mkdtemp(dir=self.tmp)
                out = os.path.join(folder, "out.shp")
                with open(out, "w") as f:
                    f.write("earlier")
                params = os.path.join(self.tmp, "cancel_params.txt")
                with open(params, "w") as f:
                    f.write("OUTTHEME#%s\r\n" % out)
                os.environ["TARN_TEST_DOES"] = does
                seen = []
                status, _, _ = analysis.run_analysis(
                    os.path.join(self.slow, "tarn-analyze"), [params], out, seen.append,
                    lambda: bool(seen))
                self.assertEqual((status, seen), ("cancelled", [10]))
                self.assertEqual(os.listdir(folder), ["out.shp"])
                with open(out) as f:
                    self.assertEqual(f.read(), "earlier")

    def run_qgis_process(self, parameters):
        """qgis_process in a fresh home, the plugin enabled in its default profile."""
        home = tempfile.mkdtemp(dir=self.tmp)
        plugins = os.path.join(home, ".local/share/QGIS/QGIS3/profiles/default/python/plugins")
        os.makedirs(plugins)
        os.symlink(os.path.join(SOURCE, "qgis", "tarn"), os.path.join(plugins, "tarn"))
        env = dict(os.environ, HOME=home, PATH=BIN + os.pathsep + os.environ["PATH"])
        env.pop("QGIS_CUSTOM_CONFIG_PATH", None)  # set by start_app for this process only
        subprocess.run(["qgis_process.bin", "plugins", "enable", "tarn"], env=env,
                       capture_output=True)
        done = subprocess.run(["qgis_process.bin", "run", "tarn:impervioussurface", "--"]
                              + ["%s=%s" % item for item in parameters.items()], env=env,
                              capture_output=True)
        return done.returncode == 0

    def test_processing_algorithm(self):
        # Medium coefficients of the store's set, new development as class 24.
        classes = store_classes("NLCD Land Cover")
        rows = [  # name, how, output, further parameters, the same run's tarn-analyze options
            ("GeoPackage written by tarn-analyze", "run", "result.gpkg", {}, []),
            ("exact coverage and class areas", "run", "result.fgb",
             {"COVERAGE": 1, "CLASS_AREAS": True}, ["--coverage", "exact", "--class-areas"]),
            ("memory layer through the sink", "run", "TEMPORARY_OUTPUT", {}, []),
            ("cancel leaves no output", "cancel", "result.gpkg", {}, []),
            ("qgis_process on the command line", "qgis_process", "result.gpkg", {}, []),
        ]
        for name, how, output, more, arguments in rows:
            with self.subTest(name):
                folder = tempfile.mkdtemp(dir=self.tmp)
                out = os.path.join(folder, output)
                parameters = dict({
                    "LANDCOVER": os.path.join(self.data, "landcover_2016.tif"),
                    "POLYGONS": os.path.join(self.data, "parcels.shp"),
                    "FIELD": "PARCEL_ID", "SET": "NLCD Land Cover", "COEFFICIENT": 1,
                    "SCENARIOS": os.path.join(self.data, "new_development.shp"),
                    "SCENARIO_CLASSES": "24"}, **more)
                if how == "qgis_process":
                    self.assertTrue(self.run_qgis_process(dict(parameters, OUTPUT=out)))
                    result = out
                else:
                    feedback = QgsProcessingFeedback()
                    if how == "cancel":  # the stand-in, killed while it writes
                        settings.set_value("programFolder", self.slow)
                        os.environ["TARN_TEST_DOES"] = (
                            "mkdir .tarn-$$-result.gpkg && touch .tarn-$$-result.gpkg/x")
                        feedback.progressChanged.connect(lambda _: feedback.cancel())
                    algorithm = QgsApplication.processingRegistry().algorithmById(
                        "tarn:impervioussurface")
                    parameters["OUTPUT"] = QgsProcessingOutputLayerDefinition(
                        output if output == "TEMPORARY_OUTPUT" else out, self.project)
                    context = QgsProcessingContext()
                    results, ok = algorithm.run(parameters, context, feedback)
                    settings.set_value("programFolder", BIN)
                    if how == "cancel":
                        self.assertEqual((results, os.listdir(folder)), ({}, []))
                        continue
                    self.assertTrue(ok)
                    # QGIS loads the output by the source the algorithm gives.
                    self.assertEqual(list(context.layersToLoadOnCompletion()),
                                     [results["OUTPUT"]])
                    result = QgsProcessingUtils.mapLayerFromString(results["OUTPUT"], context)
                extension = os.path.splitext(out)[1] or ".fgb"
                self.assertEqual(features(result), direct_run(
                    self.tmp, classes, "direct" + extension, arguments))

if __name__ == "__main__":
    unittest.main()
