"""The QGIS plugin's host under callers that misbehave, in one QGIS process: how long QGIS's
event loop stops while 3,000 pipelined requests are answered, against the time one request
takes; and how much memory 200 callers holding an unfinished 1 MB frame keep, against what
they sent. --hostlink FILE measures another hostlink.py (an older one, say) in its place.

usage: bench_pluginhost.py [--hostlink FILE]"""

import importlib.util
import os
import socket
import sys
import tempfile
import threading
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "qgis"))
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
os.environ["XDG_RUNTIME_DIR"] = tempfile.mkdtemp()

from qgis.testing import start_app  # noqa: E402

APP = start_app()

from qgis.core import QgsProject  # noqa: E402
from qgis.PyQt.QtCore import QCoreApplication, QTimer  # noqa: E402

import tarn.hostlink  # noqa: E402
from tarn import settings  # noqa: E402
from tarn.host import Host  # noqa: E402


def load_hostlink():
    """The hostlink module to measure: the plugin's, or the one --hostlink names."""
    if "--hostlink" not in sys.argv:
        return tarn.hostlink
    found = importlib.util.spec_from_file_location(
        "tarn.hostlink", sys.argv[sys.argv.index("--hostlink") + 1])
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


hostlink = load_hostlink()

ITEM = "av.GetProject.GetWorkDir.GetFullName.AsString"


def rss_kb():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))


def serve():
    settings.set_value("workFolder", tempfile.mkdtemp())
    project = QgsProject.instance()
    assert project.read(os.path.join(SOURCE, "examples", "demo-data", "demo.qgz"))
    host = Host(lambda text, level: None, project)
    server = hostlink.RequestServer(host.answer)
    assert server.listen() == ""
    return server


def run_loop_while(thread):
    """Runs QGIS's event loop until the callers' thread ends; the longest turn, in seconds."""
    gaps, last = [0.0], [time.perf_counter()]

    def tick():
        now = time.perf_counter()
        gaps[0] = max(gaps[0], now - last[0])
        last[0] = now
    timer = QTimer()
    timer.timeout.connect(tick)
    timer.start(0)
    thread.start()
    while thread.is_alive():
        QCoreApplication.processEvents()
    timer.stop()
    return gaps[0]


def caller(path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(path)
    return sock


def pipelined(path, count, timings):
    request = hostlink.frame("REQUEST", ITEM)
    sock = caller(path)
    start = time.perf_counter()
    sock.sendall(request)
    reader = hostlink.FrameReader()
    while reader.next() is None:
        reader.buffer += sock.recv(1 << 16)
    timings.append(time.perf_counter() - start)
    sender = threading.Thread(target=lambda: sock.sendall(request * count))
    sender.start()
    answered = 0
    while answered < count:
        data = sock.recv(1 << 16)
        if not data:
            break
        reader.buffer += data
        while reader.next() is not None:
            answered += 1
    sender.join()
    timings.append(answered)
    sock.close()


def unfinished_frames(path, count, held):
    frame = b"REQUEST 1048576\n" + bytes(1048575)
    for _ in range(count):
        sock = caller(path)
        try:
            sock.sendall(frame)
            held.append(sock)
        except OSError:
            sock.close()


def main():
    server = serve()
    timings = []
    longest = run_loop_while(threading.Thread(target=pipelined, args=(server.path, 3000,
                                                                      timings)))
    one, answered = timings
    print("3,000 pipelined requests: %d answered; longest turn of the event loop %.3f s, "
          "one request %.4f s: ratio %.0f" % (answered, longest, one, longest / one))

    held = []
    before = rss_kb()
    run_loop_while(threading.Thread(target=unfinished_frames, args=(server.path, 200, held)))
    for _ in range(200):
        QCoreApplication.processEvents()
    kept = rss_kb() - before
    print("200 callers holding an unfinished 1 MB frame: memory grew %.0f MB for %.0f MB "
          "sent: ratio %.2f" % (kept / 1024, 200 * 1.0, kept / 1024 / 200))
    for sock in held:
        sock.close()
    server.close()


if __name__ == "__main__":
    main()
