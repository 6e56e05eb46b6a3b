"""The QGIS plugin against the real programs: its answers, a launcher it starts, its runs and
its Processing algorithm. Headless (QT_QPA_PLATFORM=offscreen); TARN_BIN_DIR names the
programs, TARN_SOURCE_DIR the repository."""

import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from unittest import mock

SOURCE = os.environ.get("TARN_SOURCE_DIR",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
                            __file__)))))
BIN = os.environ.get("TARN_BIN_DIR", os.path.join(SOURCE, "build", "bin"))
DEMO = os.path.join(SOURCE, "examples", "demo-data")
sys.path.insert(0, os.path.join(SOURCE, "qgis"))
sys.path.append("/usr/share/qgis/python/plugins")  # QGIS's Processing, for its dialog

from qgis.testing import start_app  # noqa: E402

APP = start_app()

from qgis.core import (QgsApplication, QgsCoordinateReferenceSystem,  # noqa: E402
                       QgsCoordinateTransformContext, QgsFeature, QgsFeedback, QgsGeometry,
                       QgsProcessingContext, QgsProcessingFeedback,
                       QgsProcessingOutputLayerDefinition, QgsProcessingUtils, QgsProject,
                       QgsRasterLayer,
                       QgsSingleSymbolRenderer, QgsSymbol, QgsVectorFileWriter, QgsVectorLayer,
                       QgsWkbTypes)
from qgis.PyQt import sip  # noqa: E402
from qgis.PyQt.QtCore import QCoreApplication, QEventLoop, QProcess, Qt  # noqa: E402
from qgis.PyQt.QtNetwork import QLocalServer  # noqa: E402

from tarn import analysis, hostlink, processing_provider, settings  # noqa: E402
from tarn.host import REOPEN, Host  # noqa: E402
from tarn.plugin import SettingsDialog  # noqa: E402
from tarn.processing_provider import TarnProvider  # noqa: E402
from tarn.projectview import GET_WORKDIR, ProjectView  # noqa: E402

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
        pump()


def pump():
    """Runs the event loop for a moment: the plugin handles a frame per turn of it."""
    QCoreApplication.processEvents(QEventLoop.AllEvents, 20)
    time.sleep(0.001)


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


def records(layer):
    """A layer's features as dictionaries by field name, without a GeoPackage's fid."""
    names = [name for name in layer.fields().names() if name != "fid"]
    return [dict(zip(names, row)) for row in features(layer)]


def direct_run(folder, classes=None, out="direct.shp", arguments=(), density=False):
    """tarn-analyze on the demo folder: the values a run must give; density: by the census
    blocks' POP_DENS, High from 30, Low up to 5."""
    out = os.path.join(folder, out)
    params = os.path.join(folder, "direct_params.txt")
    text = PARAMS.format(theme="parcels", field="PARCEL_ID", out=out, name="direct")
    if classes is not None:
        text = text[:text.index("CLASS#")] + classes
    if density:
        text = text.replace("POPDENSITY#1\r\n", "POPDENSITY#3\r\n"
                            "POPDENSITYTHEME#census_blocks\r\nPOPDENSITYFLD#POP_DENS\r\n"
                            "POPDENSITYHIGH#30\r\nPOPDENSITYMED#30#5\r\nPOPDENSITYLOW#5\r\n")
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


def to_geopackage(source, path, name, wkb_type=QgsWkbTypes.Unknown):
    """Copies a layer into a GeoPackage; Unknown: as a layer of generic geometry type."""
    options = QgsVectorFileWriter.SaveVectorOptions()
    options.driverName, options.layerName = "GPKG", name
    options.overrideGeometryType = wkb_type
    options.actionOnExistingFile = (QgsVectorFileWriter.CreateOrOverwriteLayer
                                    if os.path.exists(path)
                                    else QgsVectorFileWriter.CreateOrOverwriteFile)
    assert QgsVectorFileWriter.writeAsVectorFormatV3(
        source, path, QgsCoordinateTransformContext(), options)[0] == QgsVectorFileWriter.NoError


def store_programs(folder, listing):
    """tarn-analyze beside a tarn-store that lists `listing` (fails when None) and shows the
    sets of the real store."""
    program = os.path.join(folder, "tarn-store")
    with open(program, "w") as f:
        f.write('#!/bin/sh\n[ "$1" = show ] && exec "%s" "$@"\n'
                'cat "$(dirname "$0")/sets.txt" 2>/dev/null && exit 0\n'
                'echo "tarn-store: cannot read the store: no such file" >&2; exit 1\n'
                % os.path.join(BIN, "tarn-store"))
    os.chmod(program, 0o755)
    if listing is not None:
        with open(os.path.join(folder, "sets.txt"), "w", encoding="utf-8") as f:
            f.write(listing)
    os.symlink(os.path.join(BIN, "tarn-analyze"), os.path.join(folder, "tarn-analyze"))
    return folder


def far_parcels():
    """A scratch layer of polygons off the land cover raster."""
    layer = QgsVectorLayer("Polygon?crs=EPSG:26918&field=PARCEL_ID:integer", "far_parcels",
                           "memory")
    feature = QgsFeature(layer.fields())
    feature.setAttributes([1])
    feature.setGeometry(QgsGeometry.fromWkt("POLYGON((0 0,10 0,10 10,0 0))"))
    layer.dataProvider().addFeatures([feature])
    return layer


def slow_programs(folder):
    """A stand-in tarn-analyze that does $TARN_TEST_DOES in its output's folder, touches
    $TARN_TEST_READY, reports progress and waits to be killed; its check, tarn-store and
    tarnhost beside it are the real ones."""
    program = os.path.join(folder, "tarn-analyze")
    with open(program, "w") as f:
        f.write('#!/bin/sh\n[ "$1" = --check ] && exec "%s" "$@"\n'
                'out=$(sed -n "s/^OUTTHEME#//p" "$1" | tr -d "\\r")\n'
                'cd "$(dirname "$out")" && eval "$TARN_TEST_DOES" && touch "$TARN_TEST_READY"\n'
                'echo "progress: 10%%"\nexec sleep 600\n' % os.path.join(BIN, "tarn-analyze"))
    os.chmod(program, 0o755)
    os.symlink(os.path.join(BIN, "tarn-store"), os.path.join(folder, "tarn-store"))
    shutil.copy(os.path.join(BIN, "tarnhost"), folder)
    return folder


# A program as the host starts it: serves NAME.Transfer, refuses every command but "{exit}",
# which it takes as BEHAVIOUR says.
STAND_IN = """#!/usr/bin/python3
import os, select, socket, sys, time
behaviour = "%s"
path = os.path.join(os.environ["XDG_RUNTIME_DIR"], "%s.Transfer")
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind(path + ".new")  # listening before anyone can find it
os.chmod(path + ".new", 0o600)
server.listen(8)
os.rename(path + ".new", path)
if behaviour == "hangs":
    time.sleep(600)
callers, verdict_at = [server], None
while True:
    if verdict_at and time.monotonic() > verdict_at[0]:
        verdict_at[1].sendall(b"ACK 0\\n")
        os.remove(path)
        sys.exit(0)
    for ready in select.select(callers, [], [], 0.05)[0]:
        if ready is server:
            callers.append(server.accept()[0])
            continue
        data = ready.recv(100)
        callers.remove(ready)
        if data != b"EXECUTE 6\\n{exit}":
            ready.sendall(b"NAK 0\\n")
        elif behaviour == "keeps open":
            ready.sendall(b"NAK 0\\n")
        else:  # "ends" at once; "asks" the user for 2 s
            verdict_at = (time.monotonic() + (2 if behaviour == "asks" else 0), ready)
"""

LONG_VIEW = "V" * 100000  # answered in 100 KB frames
# A tarnhost built with the sanitizers keeps freed memory, and their checks need descriptors.
with open(os.path.join(BIN, "tarnhost"), "rb") as built:
    SANITIZED = b"libasan" in built.read()
GET_WORKDIR = "av.GetProject.GetWorkDir.GetFullName.AsString"


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))


class Caller:
    """A caller on a raw socket that never blocks the event loop the plugin serves from."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.setblocking(False)
        self.got = bytearray()
        wait_for(lambda: self._connect(path))

    def _connect(self, path):
        try:
            self.sock.connect(path)
            return True
        except BlockingIOError:  # the server's backlog is full
            return False
        except FileNotFoundError:  # between a removed socket file and the host's re-listen
            return False

    def send(self, data):
        """Sends it all, or False once the peer has closed."""
        view = memoryview(data)
        while view:
            try:
                view = view[self.sock.send(view):]
            except BlockingIOError:
                pump()
            except OSError:
                return False
        return True

    def closed(self):
        """True once the peer has closed; keeps what came before."""
        try:
            while True:
                data = self.sock.recv(1 << 16)
                if not data:
                    return True
                self.got += data
        except BlockingIOError:
            return False
        except OSError:
            return True


class PluginUnderTest:
    """The plugin's host, serving in this process from the demo project."""
    name = "plugin"

    def __init__(self, test):
        self.test, self.server = test, test.host.server

    def start(self, does):
        self.problems, self.title = [], self.test.project.title()
        self.server.problem.connect(self.problems.append)
        if does == "idle":
            self.server.idle_timeout_ms = 300
        self.test.project.setTitle(LONG_VIEW)
        assert self.test.host.serve() == ""
        self.path, self.pid = self.server.path, os.getpid()

    def log(self):
        return "\n".join(self.problems)

    def exhaust(self):
        """Takes every descriptor of this process while a caller waits to be accepted."""
        caller = Caller(self.path)
        saved = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE,
                           (len(os.listdir("/proc/self/fd")) + 8, saved[1]))
        held = []
        try:
            while True:
                held.append(os.dup(caller.sock.fileno()))
        except OSError:
            pass

        def release():
            for fd in held:
                os.close(fd)
            caller.sock.close()
            resource.setrlimit(resource.RLIMIT_NOFILE, saved)
        return release

    def stop(self):
        self.server.close()
        self.server.problem.disconnect(self.problems.append)
        self.server.idle_timeout_ms = hostlink.IDLE_TIMEOUT_MS
        self.test.project.setTitle(self.title)


class TarnhostUnderTest:
    """tarnhost serving a project of the same view, as a process of its own."""
    name = "tarnhost"

    def __init__(self, test):
        self.test, self.process = test, None

    def start(self, does):
        folder = tempfile.mkdtemp(dir=self.test.tmp)
        project = os.path.join(folder, "project.json")
        with open(project, "w") as f:
            f.write('{"view": "%s", "workDir": "%s", "mapUnits": "Meters", "gridThemes": ["lc"],'
                    ' "polygonThemes": []}' % (LONG_VIEW, folder))
        self.errors = os.path.join(folder, "errors")
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (40, 40))) \
            if does == "descriptors" else None
        idle = ["--idle-timeout", "300"] if does == "idle" else []
        with open(self.errors, "w") as errors:
            self.process = subprocess.Popen(
                [os.path.join(BIN, "tarnhost"), "serve", project] + idle,
                stdout=subprocess.DEVNULL, stderr=errors, preexec_fn=limit)
        self.path, self.pid = hostlink.endpoint_path(hostlink.HOST_ENDPOINT)[0], self.process.pid
        wait_for(lambda: os.path.exists(self.path))

    def log(self):
        with open(self.errors) as errors:
            return errors.read()

    def exhaust(self):
        """More callers than its descriptors (it has 40)."""
        callers = [Caller(self.path) for _ in range(40)]

        def release():
            for caller in callers:
                caller.sock.close()
        return release

    def stop(self):
        if self.process:
            self.process.terminate()
            self.process.wait()


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
        # GeoPackage layers: with QGIS's fid field, and of generic geometry type.
        parcels = QgsVectorLayer(os.path.join(cls.data, "parcels.shp"), "parcels", "ogr")
        cls.extra = os.path.join(cls.data, "extra.gpkg")
        to_geopackage(parcels, cls.extra, "parcels_gpkg", QgsWkbTypes.Polygon)
        to_geopackage(parcels, cls.extra, "parcels_any")
        cls.messages = []
        cls.asked = []  # questions, answered by the answer at its end
        cls.answers = [True]
        cls.host = Host(lambda text, level: cls.messages.append(text), cls.project,
                        ask=lambda text: cls.asked.append(text) or cls.answers[-1])
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
            for theme in ("parcels", "census_blocks", "new_development", "parcels_gpkg",
                          "parcels_any"):
                items.append('av.Run("isGetFldNames",{"View1","%s","%s"})' % (theme, selector))
        ours = {}
        # A name the request strings cannot carry: left out, and the user is told.
        added = [QgsVectorLayer("Polygon?field=ID:integer", 'odd"name', "memory")] + [
            QgsVectorLayer("%s|layername=%s" % (self.extra, name), name, "ogr")
            for name in ("parcels_gpkg", "parcels_any")]
        self.project.addMapLayers(added)
        crs = self.project.crs()
        self.project.setCrs(QgsCoordinateReferenceSystem("EPSG:4326"))  # as a new project is
        self.assertEqual(self.host.serve(), "")
        try:
            for item in items:
                ours[item] = request(item)
        finally:
            self.project.setCrs(crs)
            self.project.removeMapLayers([layer.id() for layer in added])
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

    def test_unsaved_project_works_in_the_documents_not_the_profile(self):
        rows = [  # name, working folder in Settings, the answer (HOME: a folder of the test)
            ("a folder of the user's documents", "", "HOME/Documents/TARN"),
            ("the folder set in Settings", "SETTINGS", "SETTINGS"),
        ]
        home = tempfile.mkdtemp(dir=self.tmp)
        chosen = os.path.join(self.tmp, "chosen")
        try:
            for name, folder, answer in rows:
                with self.subTest(name), mock.patch.dict(os.environ, HOME=home):
                    settings.set_value("workFolder", folder.replace("SETTINGS", chosen))
                    view = ProjectView(QgsProject(), settings.work_folder())
                    expected = answer.replace("HOME", home).replace("SETTINGS", chosen)
                    self.assertEqual(view.answer(GET_WORKDIR)[0], expected)
                    self.assertTrue(os.path.isdir(expected))
        finally:
            settings.set_value("workFolder", os.path.join(self.tmp, "work"))

    def test_land_cover_in_degrees_gives_square_metres(self):
        # A new project is in degrees; its grid too: the analysis measures such cells in
        # square metres, so the launcher is offered Meters, not a unit it cannot choose.
        path = os.path.join(self.tmp, "lc_degrees.tif")
        subprocess.run(["gdal_translate", "-q", "-a_srs", "EPSG:4326", "-a_ullr", "10", "46",
                        "11", "45", os.path.join(DEMO, "landcover_2016.tif"), path],
                       check=True)
        project = QgsProject()
        project.setCrs(QgsCoordinateReferenceSystem("EPSG:4326"))
        project.addMapLayer(QgsRasterLayer(path, "lc_degrees"))
        view = ProjectView(project, self.tmp)
        self.assertEqual([t.name for t in view.grids], ["lc_degrees"])
        self.assertEqual(view.answer('av.Run("isGetViewUnits",{"View1"})')[0], "Meters")

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

    def test_closing_qgis_asks_each_program_to_end_as_its_quit_would(self):
        rows = [  # name, program, the user's answer to "does not answer", QGIS closes
            ("the launcher ends", "tarn", None, True),
            ("a program that ends", "ends", None, True),
            ("a program that asks its user first", "asks", None, True),
            ("the user keeps the program open", "keeps open", None, False),
            ("a program that hangs is ended", "hangs", True, True),
            ("a program that hangs is left alone", "hangs", False, False),
        ]
        folder = tempfile.mkdtemp(dir=self.tmp)
        asked = []
        user_ask = self.host.ask
        self.host.ask = lambda text: asked.append(text) or confirm
        with mock.patch.multiple(hostlink.ProgramCloser, PROBE_MS=500, PROBE_TIMEOUT_MS=3000):
            for name, program, confirm, closes in rows:
                with self.subTest(name):
                    asked.clear()
                    service = "tarn" if program == "tarn" else "tarnProps"
                    requests = []
                    if program == "tarn":
                        answer = self.host.server.handler
                        self.host.server.handler = lambda item: requests.append(item) or answer(item)
                        self.host.start("tarn")
                        # Until its start-up requests are answered the launcher has no Quit.
                        wait_for(lambda: len(requests) >= 5)
                        self.host.server.handler = answer
                    else:
                        script = os.path.join(folder, program.replace(" ", "_"))
                        with open(script, "w") as f:
                            f.write(STAND_IN % (program, service))
                        os.chmod(script, 0o755)
                        self.host._launch(service, script)
                    endpoint = hostlink.endpoint_path(service + ".Transfer")[0]
                    wait_for(lambda: os.path.exists(endpoint))
                    process = self.host.processes[service]
                    try:
                        self.assertEqual(self.host.allow_exit(), closes)
                        self.assertEqual(len(asked), int(confirm is not None))
                        self.assertEqual(process.state() == QProcess.NotRunning, closes)
                        if closes:  # no endpoint left behind, even by a program ended
                            wait_for(lambda: not os.path.exists(endpoint))
                        else:
                            self.assertIn("stays open, so QGIS stays open", self.messages[-1])
                    finally:
                        if not sip.isdeleted(process):
                            process.kill()
                        wait_for(lambda: service not in self.host.processes)
        self.host.ask = user_ask

    def test_launcher_lists_are_a_snapshot_the_host_says_when_they_are_stale(self):
        layer = QgsVectorLayer(os.path.join(self.data, "parcels.shp"), "parcels_soon_gone",
                               "ogr")
        self.project.addMapLayer(layer)
        changed = []
        self.host.layers_changed.connect(lambda: changed.append(True))
        asked = []
        answer = self.host.server.handler
        self.host.server.handler = lambda item: asked.append(item) or answer(item)
        try:
            self.host.start("tarn")
            wait_for(lambda: len(asked) >= 5 and os.path.exists(
                hostlink.endpoint_path("tarn.Transfer")[0]))
            self.assertEqual(changed, [])
            for added in ("late", "later"):  # said once, not at every layer
                self.project.addMapLayer(QgsVectorLayer(
                    "Polygon?field=ID:integer", added, "memory"))
                wait_for(lambda: changed)
                for _ in range(20):
                    QCoreApplication.processEvents()
            self.assertEqual(changed, [True])
            # A run of the layer the launcher listed, gone since, says so.
            self.project.removeMapLayer(layer.id())
            folder = tempfile.mkdtemp(dir=self.tmp)
            params = os.path.join(folder, "model_params.txt")
            with open(params, "w", newline="") as f:
                f.write(PARAMS.format(theme="parcels_soon_gone", field="PARCEL_ID",
                                      out=os.path.join(folder, "out.shp"), name="out"))
            self.assertEqual(request('av.Run("isCallExecuteModel",{"%s"})' % params), (
                0, "Layer parcels_soon_gone is no longer in the QGIS project. " + REOPEN))
            # Reopened, the launcher asks again and lists the project as it is.
            first = self.host.processes["tarn"]
            asked.clear()
            self.host.reopen_launcher()
            wait_for(lambda: self.host.processes.get("tarn") not in (None, first)
                     and len(asked) >= 5)
            self.assertEqual(asked[0], "av.GetActiveDoc.GetName")
            self.assertTrue(self.host.allow_exit())
        finally:
            self.host.server.handler = answer
            for name in ("late", "later"):
                for added in self.project.mapLayersByName(name):
                    self.project.removeMapLayer(added.id())

    def test_run_requests(self):
        memory = QgsVectorLayer("Polygon?crs=EPSG:26918&field=PARCEL_ID:integer",
                                "parcels_mem", "memory")
        memory.dataProvider().addFeatures(
            list(QgsVectorLayer(os.path.join(self.data, "parcels.shp"), "p", "ogr")
                 .getFeatures()))
        self.project.addMapLayer(memory)
        # A name with a character Python's splitlines() would take for a line end.
        self.project.addMapLayer(QgsVectorLayer(os.path.join(self.data, "parcels.shp"),
                                                "parcels\u2028copy", "ogr"))
        rows = [
            # name, analysis theme, field, output, Settings: coverage, keep every field; answer
            ("file layers", "parcels", "PARCEL_ID", ".shp", "centre", False, "Submitted"),
            ("U+2028 in a layer name", "parcels\u2028copy", "PARCEL_ID", ".shp", "centre", False,
             "Submitted"),
            ("the host fails: the launcher is answered", "parcels", "PARCEL_ID", ".shp",
             "centre", False, "The TARN plugin failed: boom"),
            ("scratch layer written out off the GUI thread", "parcels_mem", "PARCEL_ID", ".shp",
             "centre", False, "Submitted"),
            ("exact coverage and every field, from Settings", "parcels", "PARCEL_ID", ".shp",
             "exact", True, "Submitted"),
            ("GeoPackage output", "parcels", "PARCEL_ID", ".gpkg", "centre", False, "Submitted"),
            ("watershed classes from Settings, coloured by them", "parcels", "PARCEL_ID", ".shp",
             "centre", False, "Submitted"),
            ("CSV output, a table", "parcels", "PARCEL_ID", ".csv", "centre", False,
             "Submitted"),
            ("unknown field", "parcels", "NOPE", ".shp", "centre", False,
             "model_params.txt: field NOPE not found in theme parcels"),
        ]
        launcher = FakeLauncher()
        on_gui_thread = []
        write = analysis.FeatureCopy.write

        def spy(copy, *arguments):
            on_gui_thread.append(threading.current_thread() is threading.main_thread())
            return write(copy, *arguments)
        try:
            for name, theme, field, extension, coverage, keep, answer in rows:
                with self.subTest(name), mock.patch.object(analysis.FeatureCopy, "write", spy):
                    dialog = SettingsDialog()  # TARN > Settings…
                    dialog.coverage.setCurrentIndex(dialog.coverage.findData(coverage))
                    dialog.keep_fields.setChecked(keep)
                    icm = name.startswith("watershed")
                    dialog.watershed.setChecked(icm)
                    dialog.accept()
                    folder = tempfile.mkdtemp(dir=self.tmp)
                    params = os.path.join(folder, "model_params.txt")
                    out = os.path.join(folder, "%s_is%s" % (theme, extension))
                    with open(params, "w", newline="") as f:
                        f.write(PARAMS.format(theme=theme, field=field, out=out,
                                              name=theme + "_is"))
                    launcher.commands.clear()
                    on_gui_thread.clear()
                    self.assertEqual(self.host.serve(), "")
                    with mock.patch.object(ProjectView, "answer", side_effect=RuntimeError(
                            "boom")) if "boom" in answer else mock.patch.dict({}):
                        code, text = request('av.Run("isCallExecuteModel",{"%s"})' % params)
                    self.assertEqual(text, answer)
                    if answer != "Submitted":
                        self.assertIsNone(self.host.task)
                        self.assertFalse(os.path.exists(out))
                        continue
                    wait_for(lambda: "{closeprocfrm}" in launcher.commands)
                    self.assertEqual(on_gui_thread, [False] if theme == "parcels_mem" else [])
                    layer = self.host.output_layer
                    self.assertEqual(layer.source(), analysis.layer_source(out))
                    self.assertIn(layer.id(), self.project.mapLayers())
                    if extension != ".csv":
                        self.assertEqual(layer.renderer().type(), "categorizedSymbol" if icm
                                         else "graduatedSymbol")
                        self.assertEqual(layer.renderer().classAttribute(),
                                         "ICM_CLASS" if icm else "IS_PCT")
                    self.assertEqual(features(layer), direct_run(
                        self.tmp, out="direct" + extension,
                        arguments=["--coverage", coverage] + ["--keep-fields"] * keep
                        + ["--icm"] * icm))
                    # The output file is named; warnings of the log reach the message bar.
                    self.assertIn("48 polygons", self.messages[-2])
                    self.assertIn("written to " + out, self.messages[-2])
                    self.assertIn("Class value 11 has no CLASS line", self.messages[-1])
        finally:
            settings.set_value("coverage", "")
            settings.set_value("keepFields", False)
            settings.set_value("watershedClasses", False)
            launcher.close()
            self.host.server.close()

    def test_replacing_an_output_asks_and_keeps_the_layer_as_the_user_set_it(self):
        rows = [  # name, answer to "Do you want to replace it?"
            ("replaced", True),
            ("kept", False),
        ]
        launcher = FakeLauncher()
        try:
            for name, answer in rows:
                with self.subTest(name):
                    folder = tempfile.mkdtemp(dir=self.tmp)
                    params = os.path.join(folder, "model_params.txt")
                    out = os.path.join(folder, "parcels_is.gpkg")

                    def run(coefficient):
                        with open(params, "w", newline="") as f:
                            f.write(PARAMS.format(theme="parcels", field="PARCEL_ID", out=out,
                                                  name="parcels_is").replace(
                                "POPDENSITY#1", "POPDENSITY#%d" % coefficient))
                        launcher.commands.clear()
                        self.assertEqual(self.host.serve(), "")
                        request('av.Run("isCallExecuteModel",{"%s"})' % params)
                        wait_for(lambda: "{closeprocfrm}" in launcher.commands)
                    self.asked.clear()
                    run(1)
                    layer = self.host.output_layer
                    layer.setRenderer(QgsSingleSymbolRenderer(
                        QgsSymbol.defaultSymbol(layer.geometryType())))
                    root = self.project.layerTreeRoot()
                    root.addChildNode(root.findLayer(layer).clone())
                    root.removeChildNode(root.findLayer(layer))
                    before = features(out)
                    self.answers.append(answer)
                    run(0)
                    self.answers.pop()
                    self.assertEqual(self.asked, [out + " already exists.\nDo you want to "
                                                  "replace it?"])
                    self.assertIs(self.host.output_layer, layer)
                    self.assertEqual(root.children()[-1].layer(), layer)
                    self.assertEqual(layer.renderer().type(), "singleSymbol")
                    self.assertEqual(features(layer) != before, answer)
                    if not answer:
                        self.assertIn(out + " was kept as it was", self.messages[-1])
                    self.project.removeMapLayer(layer)
        finally:
            launcher.close()
            self.host.server.close()

    def test_cancel_from_the_notice_stops_the_run_on_both_hosts(self):
        # The notice offers Cancel once the run is under way; the stand-in analysis is
        # stopped after it did this beside the earlier output, which stays as it was.
        work = "w=.tarn-$$-a1B2c3 && mkdir -p $w/new && printf out.shp > $w/output"
        rows = [
            ("work folder before the swap", work + " && touch $w/new/out.shp $w/new/out.dbf"),
            ("swap half done: the new files taken back, the earlier output put back",
             work + " && mkdir $w/old && printf 'out.dbf\\nout.shp' > $w/swap "
             "&& mv out.shp $w/old/ && echo new > out.shp && touch $w/new/out.dbf"),
        ]
        launcher = FakeLauncher()
        settings.set_value("programFolder", self.slow)
        try:
            for host in ("plugin", "tarnhost"):
                for name, does in rows:
                    with self.subTest(host=host, row=name):
                        folder = tempfile.mkdtemp(dir=self.tmp)
                        out = os.path.join(folder, "out.shp")
                        with open(out, "w") as f:
                            f.write("earlier")
                        params = folder + "_params.txt"
                        with open(params, "w", newline="") as f:
                            f.write(PARAMS.format(theme="parcels", field="PARCEL_ID", out=out,
                                                  name="out"))
                        ready = folder + ".ready"
                        os.environ.update(TARN_TEST_DOES=does, TARN_TEST_READY=ready)
                        if host == "plugin":  # it serves while a program or run needs it
                            self.assertEqual(self.host.serve(), "")
                        else:
                            tarnhost = subprocess.Popen(
                                [os.path.join(self.slow, "tarnhost"), "serve", "--data",
                                 self.data], stdout=subprocess.DEVNULL)
                            self.addCleanup(tarnhost.wait)
                            self.addCleanup(tarnhost.terminate)
                            wait_for(lambda: request(GET_WORKDIR)[0] == 0)
                        launcher.commands.clear()
                        cancel = 'av.Run("isCancelModel",{"%s"})' % params
                        self.assertEqual(request(cancel), (
                            0, "No model run of %s is under way" % params))
                        run = request('av.Run("isCallExecuteModel",{"%s"})' % params)
                        self.assertEqual(run, (0, "Submitted"))
                        wait_for(lambda: os.path.exists(ready)
                                 and "{showcancel}" in launcher.commands)
                        self.assertEqual(request(cancel), (0, "Cancelled"))
                        wait_for(lambda: "{closeprocfrm}" in launcher.commands)
                        self.assertEqual(os.listdir(folder), ["out.shp"])
                        with open(out) as f:
                            self.assertEqual(f.read(), "earlier")
                        if host == "tarnhost":
                            tarnhost.terminate()
                            tarnhost.wait()
        finally:
            settings.set_value("programFolder", BIN)
            launcher.close()
            self.host.server.close()

    def test_both_hosts_keep_their_limits(self):
        rows = [  # name, what the callers do, what the host logs
            ("65th connection closed at once", "connections", "refusing a connection"),
            ("frame over 1 MiB closed at once", "oversized", "over the limit"),
            ("caller idle mid-frame closed", "idle", "idle for 300 ms in the middle of a frame"),
            ("caller that never reads closed", "unread", "does not read its replies"),
            ("socket file removed: served again", "removed", "was removed; listening again"),
            ("descriptors run out: served again", "descriptors", "stopped listening"),
            ("200 callers with unfinished 1 MB frames", "megabytes", "refusing a connection"),
            ("3,000 pipelined requests answered in order", "pipelined", ""),
        ]
        for host in (PluginUnderTest(self), TarnhostUnderTest(self)):
            for name, does, logged in rows:
                with self.subTest(host=host.name, row=name):
                    sanitized = SANITIZED and host.name == "tarnhost"
                    if sanitized and does == "descriptors":
                        self.skipTest("the sanitizers' checks need descriptors this row takes")
                    callers, release = [], None
                    try:
                        host.start(does)
                        before = rss_kb(host.pid)
                        if does in ("connections", "megabytes"):
                            count = 65 if does == "connections" else 200
                            callers = [Caller(host.path) for _ in range(count)]
                            if does == "megabytes":
                                frame = b"REQUEST 1048576\n" + bytes(1048575)
                                for caller in callers:
                                    caller.send(frame)
                        elif does == "removed":
                            os.remove(host.path)
                        elif does == "descriptors":
                            release = host.exhaust()
                        else:
                            callers = [Caller(host.path)]
                            callers[0].send({
                                "oversized": b"REQUEST 1048577\n",
                                "idle": b"REQUEST 10\nav",
                                "unread": hostlink.frame("REQUEST", "av.GetActiveDoc.GetName") * 40,
                                "pipelined": hostlink.frame("REQUEST", GET_WORKDIR) * 3000}[does])
                        wait_for(lambda: logged in host.log())
                        if release:
                            release = release()
                        if does == "connections":  # the others are kept
                            # The refusal is logged before its socket is closed.
                            wait_for(lambda: any(c.closed() for c in callers))
                            self.assertEqual(sum(c.closed() for c in callers), 1)
                        elif does == "megabytes" and not sanitized:  # unbounded: 205 MB
                            self.assertLess(rss_kb(host.pid) - before, 100 * 1024)
                        elif does == "pipelined":
                            answer = hostlink.frame("DATA", request(GET_WORKDIR)[1])
                            wait_for(lambda: callers[0].closed()
                                     or len(callers[0].got) >= 3000 * len(answer))
                            self.assertEqual(bytes(callers[0].got), answer * 3000)
                        elif callers:
                            wait_for(callers[0].closed)
                        for caller in callers:
                            caller.sock.close()
                        wait_for(lambda: request(GET_WORKDIR)[0] == 0)  # still serving
                    finally:
                        if release:
                            release()
                        host.stop()

    def run_qgis_process(self, parameters, algorithm="tarn:impervioussurface"):
        """qgis_process in a fresh home, the plugin enabled in its default profile."""
        home = tempfile.mkdtemp(dir=self.tmp)
        plugins = os.path.join(home, ".local/share/QGIS/QGIS3/profiles/default/python/plugins")
        os.makedirs(plugins)
        os.symlink(os.path.join(SOURCE, "qgis", "tarn"), os.path.join(plugins, "tarn"))
        env = dict(os.environ, HOME=home, PATH=BIN + os.pathsep + os.environ["PATH"])
        env.pop("QGIS_CUSTOM_CONFIG_PATH", None)  # set by start_app for this process only
        subprocess.run(["qgis_process.bin", "plugins", "enable", "tarn"], env=env,
                       capture_output=True)
        done = subprocess.run(["qgis_process.bin", "run", algorithm, "--"]
                              + ["%s=%s" % (name, value) for name, values in parameters.items()
                                 for value in (values if isinstance(values, list) else [values])],
                              env=env, capture_output=True)
        return done.returncode == 0

    def processing_parameters(self, **more):
        """Medium coefficients of the store's set, new development as class 24."""
        return dict({
            "LANDCOVER": os.path.join(self.data, "landcover_2016.tif"),
            "POLYGONS": os.path.join(self.data, "parcels.shp"),
            "FIELD": "PARCEL_ID", "SET": "NLCD Land Cover", "COEFFICIENT": 1,
            "SCENARIOS": os.path.join(self.data, "new_development.shp"),
            "SCENARIO_CLASSES": "24"}, **more)

    def test_processing_algorithm(self):
        classes = store_classes("NLCD Land Cover")
        density = {"COEFFICIENT": 3, "DENSITY": os.path.join(self.data, "census_blocks.shp"),
                   "DENSITY_FIELD": "POP_DENS", "DENSITY_HIGH": 30, "DENSITY_LOW": 5}
        rows = [  # name, how, output, further parameters, TARN > Settings, the same run's
            # tarn-analyze options
            ("GeoPackage written by tarn-analyze", "run", "result.gpkg", {}, {}, []),
            ("exact coverage and class areas", "run", "result.fgb",
             {"COVERAGE": 1, "CLASS_AREAS": True}, {}, ["--coverage", "exact", "--class-areas"]),
            ("coverage and every field as TARN > Settings has them", "run", "result.shp", {},
             {"coverage": "touched", "keepFields": True}, ["--coverage", "touched",
                                                           "--keep-fields"]),
            ("set by its number, memory layer through the sink", "run", "TEMPORARY_OUTPUT",
             {"SET": "0"}, {}, []),
            ("by population density", "run", "result.gpkg", density, {}, []),
            ("cancel leaves no output", "cancel", "result.gpkg", {}, {}, []),
            ("qgis_process, the set by its number", "qgis_process", "result.gpkg", {"SET": 0},
             {}, []),
        ]
        for name, how, output, more, chosen, arguments in rows:
            with self.subTest(name):
                folder = tempfile.mkdtemp(dir=self.tmp)
                out = os.path.join(folder, output)
                parameters = self.processing_parameters(**more)
                if how == "qgis_process":
                    self.assertTrue(self.run_qgis_process(dict(parameters, OUTPUT=out)))
                    result = out
                else:
                    feedback = QgsProcessingFeedback()
                    if how == "cancel":  # the stand-in, killed while it writes
                        settings.set_value("programFolder", self.slow)
                        os.environ["TARN_TEST_DOES"] = (
                            "mkdir -p .tarn-$$-a1B2c3/new && touch .tarn-$$-a1B2c3/new/result.gpkg")
                        feedback.progressChanged.connect(lambda _: feedback.cancel(),
                                                         Qt.DirectConnection)
                    for key, value in chosen.items():
                        settings.set_value(key, value)
                    # Created as a dialog creates it, with the defaults of the moment.
                    algorithm = QgsApplication.processingRegistry().createAlgorithmById(
                        "tarn:impervioussurface")
                    parameters["OUTPUT"] = QgsProcessingOutputLayerDefinition(
                        output if output == "TEMPORARY_OUTPUT" else out, self.project)
                    context = QgsProcessingContext()
                    results, ok = algorithm.run(parameters, context, feedback)
                    settings.set_value("programFolder", BIN)
                    for key in chosen:
                        settings.set_value(key, "")
                    if how == "cancel":
                        self.assertEqual((results, os.listdir(folder)), ({}, []))
                        continue
                    self.assertTrue(ok)
                    # QGIS loads the output by the source the algorithm gives, styled.
                    self.assertEqual(list(context.layersToLoadOnCompletion()),
                                     [results["OUTPUT"]])
                    result = QgsProcessingUtils.mapLayerFromString(results["OUTPUT"], context)
                    context.layerToLoadOnCompletionDetails(results["OUTPUT"]).postProcessor() \
                        .postProcessLayer(result, context, feedback)
                    self.assertEqual(result.renderer().classAttribute(), "IS_PCT")
                extension = os.path.splitext(out)[1] or ".fgb"
                self.assertEqual(features(result), direct_run(
                    self.tmp, classes, "direct" + extension, arguments, more is density))

    def run_algorithm(self, name, parameters, out):
        """Runs a TARN algorithm as the Toolbox does: the output's records, and the field it
        is coloured by as QGIS loads it."""
        algorithm = QgsApplication.processingRegistry().createAlgorithmById(name)
        context = QgsProcessingContext()
        feedback = QgsProcessingFeedback()
        results, ok = algorithm.run(dict(parameters, OUTPUT=QgsProcessingOutputLayerDefinition(
            out, self.project)), context, feedback)
        self.assertTrue(ok)
        result = QgsProcessingUtils.mapLayerFromString(results["OUTPUT"], context)
        context.layerToLoadOnCompletionDetails(results["OUTPUT"]).postProcessor() \
            .postProcessLayer(result, context, feedback)
        return records(result), result.renderer().classAttribute()

    def test_processing_change_algorithm(self):
        years = {year: os.path.join(self.data, "landcover_%s.tif" % year)
                 for year in ("2016", "2021")}
        folder = tempfile.mkdtemp(dir=self.tmp)
        common = self.processing_parameters(SCENARIOS=[], SCENARIO_CLASSES="", ICM=True)
        del common["LANDCOVER"]
        single = {}
        for year, path in years.items():
            single[year], styled = self.run_algorithm(
                "tarn:impervioussurface", dict(common, LANDCOVER=path),
                os.path.join(folder, "single%s.gpkg" % year))
            self.assertEqual(styled, "ICM_CLASS")
        rows = [  # name, how, labels given, labels of the fields
            ("labels from the layers' years", "run", "", ["2016", "2021"]),
            ("qgis_process, labels given", "qgis_process", "Y16, Y21", ["Y16", "Y21"]),
        ]
        for name, how, labels, named in rows:
            with self.subTest(name):
                out = os.path.join(folder, "change-%s.gpkg" % how)
                parameters = dict(common, LANDCOVERS=list(years.values()), LABELS=labels)
                if how == "qgis_process":
                    self.assertTrue(self.run_qgis_process(
                        dict(parameters, OUTPUT=out), "tarn:impervioussurfacechange"))
                    change = records(QgsVectorLayer(out, "change", "ogr"))
                else:
                    change, styled = self.run_algorithm("tarn:impervioussurfacechange",
                                                        parameters, out)
                    self.assertEqual(styled, "IS_CHG_PCT")
                self.assertEqual(len(change), len(single["2016"]))
                for k, row in enumerate(change):
                    for label, year in zip(named, years):
                        for prefix, field in (("LCA_", "LC_AREA"), ("ISA_", "IS_AREA"),
                                              ("ISP_", "IS_PCT"), ("ICM_", "ICM_CLASS")):
                            self.assertEqual(row[prefix + label], single[year][k][field])
                    self.assertAlmostEqual(row["IS_CHG"], single["2021"][k]["IS_AREA"]
                                           - single["2016"][k]["IS_AREA"], 5)
                self.assertTrue(any(row["IS_CHG_PCT"] > 0 for row in change))
        refusals = [  # rasters, labels, message
            ([years["2016"]], "", "A change needs two land cover rasters or more; 1 given"),
            (list(years.values()), "a,b,c",
             "Give one label for each land cover raster: 2 rasters, 3 labels"),
            (list(years.values()), "2016,20-21", 'Land cover label "20-21" cannot name output '
                                                 'fields'),
        ]
        for rasters, labels, message in refusals:
            with self.subTest(message):
                algorithm = QgsApplication.processingRegistry().createAlgorithmById(
                    "tarn:impervioussurfacechange")
                context = QgsProcessingContext()
                feedback = QgsProcessingFeedback()
                ok = algorithm.run(dict(common, LANDCOVERS=rasters, LABELS=labels,
                                        OUTPUT=os.path.join(folder, "refused.gpkg")),
                                   context, feedback)[1]
                self.assertFalse(ok)
                self.assertIn(message, feedback.textLog())
                self.assertFalse(os.path.exists(os.path.join(folder, "refused.gpkg")))

    def test_processing_refuses_with_the_reason_and_the_users_names(self):
        added = [QgsVectorLayer(self.extra + "|layername=parcels_gpkg", "parcels_gpkg", "ogr"),
                 far_parcels()]
        self.project.addMapLayers(added)
        gpkg, far = (layer.id() for layer in added)
        rows = [  # name, further parameters, sets the store lists (None: it cannot), error
            ("a GeoPackage's feature id", {"POLYGONS": gpkg, "FIELD": "fid"}, "",
             "Field fid of layer parcels_gpkg is the feature id, which is not a field of the "
             "data. Fields to choose from: PARCEL_ID, APN, ZONING."),
            ("a real field as identifier", {"FIELD": "ACRES"}, "",
             "Field ACRES of layer parcels holds neither text nor whole numbers."),
            ("density thresholds the wrong way round",
             {"COEFFICIENT": 3, "DENSITY": os.path.join(self.data, "census_blocks.shp"),
              "DENSITY_FIELD": "POP_DENS", "DENSITY_HIGH": 5, "DENSITY_LOW": 30}, "",
             "The Low threshold 30.0 is above the High threshold 5.0"),
            ("the analysis's error names the layer", {"POLYGONS": far}, "",
             "The polygons of theme far_parcels do not overlap the land cover raster"),
            ("set numbered in the store as it is at the run", {"SET": "1"},
             "Other\nNLCD Land Cover\n", None),
            ("set numbered past a name holding a line separator", {"SET": "1"},
             "Line\u2028Separator\nNLCD Land Cover\n", None),
            ("set not in the store", {"SET": "2"}, "Other\nNLCD Land Cover\n",
             "The store has no coefficient set 2; its sets: 0 Other, 1 NLCD Land Cover"),
            ("store that cannot be listed", {}, None,
             "The coefficient sets cannot be listed: cannot read the store: no such file"),
        ]
        try:
            for name, more, listing, error in rows:
                with self.subTest(name):
                    if listing != "":
                        settings.set_value("programFolder", store_programs(
                            tempfile.mkdtemp(dir=self.tmp), listing))
                    algorithm = QgsApplication.processingRegistry().createAlgorithmById(
                        "tarn:impervioussurface")
                    out = os.path.join(tempfile.mkdtemp(dir=self.tmp), "out.shp")
                    context = QgsProcessingContext()
                    context.setProject(self.project)
                    feedback = QgsProcessingFeedback()
                    ok = algorithm.run(self.processing_parameters(OUTPUT=out, **more), context,
                                       feedback)[1]
                    settings.set_value("programFolder", BIN)
                    self.assertEqual(ok, error is None)
                    self.assertIn(error or "", feedback.textLog())
        finally:
            self.project.removeMapLayers([layer.id() for layer in added])

    def test_processing_dialog_offers_what_the_launcher_offers(self):
        from processing.core.Processing import Processing
        from processing.gui.AlgorithmDialog import AlgorithmDialog
        Processing.initialize()
        layer = QgsVectorLayer(self.extra + "|layername=parcels_gpkg", "parcels_gpkg", "ogr")
        self.project.addMapLayer(layer)
        listed = []
        store_sets = processing_provider.store_sets
        with mock.patch.object(processing_provider, "store_sets",
                               lambda: listed.append(1) or store_sets()):
            algorithm = QgsApplication.processingRegistry().createAlgorithmById(
                "tarn:impervioussurface")
            self.assertEqual(listed, [])  # not while QGIS lists its algorithms
            dialog = AlgorithmDialog(algorithm)
        try:
            self.assertEqual(listed, [1])
            wrappers = dialog.mainWidget().wrappers
            context = QgsProcessingContext()
            context.setProject(self.project)
            wrappers["POLYGONS"].setParameterValue(layer.id(), context)
            rows = [  # parameter, value chosen, values offered (None: not a list)
                ("LANDCOVER", self.project.mapLayersByName("landcover_2016")[0].id(), None),
                ("FIELD", "PARCEL_ID", ["PARCEL_ID", "APN", "ZONING"]),
                ("SET", "NLCD Land Cover", subprocess.run(
                    [os.path.join(BIN, "tarn-store"), "list"], capture_output=True,
                    text=True).stdout.splitlines()),
            ]
            for name, value, offered in rows:
                with self.subTest(name):
                    self.assertEqual(wrappers[name].parameterValue(), value)
                    if offered is not None:
                        widget = wrappers[name].widget
                        self.assertEqual([widget.itemText(i) for i in range(widget.count())],
                                         offered)
        finally:
            dialog.deleteLater()
            self.project.removeMapLayer(layer)


if __name__ == "__main__":
    unittest.main()
