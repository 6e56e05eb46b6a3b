"""The host link (docs/host-link.md): frames, endpoints, the host's request server and the
commands it sends to the programs. Qt's local sockets only, so it runs inside QGIS."""

import os
import re
import socket
import stat
import struct

from qgis.PyQt.QtCore import QDir, QObject, QTimer, pyqtSignal
from qgis.PyQt.QtNetwork import QLocalServer, QLocalSocket

HOST_ENDPOINT = "ISServer.System"
MAX_LENGTH = 1024 * 1024
_HEADER = re.compile(rb"^(EXECUTE|REQUEST|ACK|NAK|DATA|NODATA) ([0-9]{1,8})\n$")
_HEADER_LIMIT = 32
# The C++ host's limits (docs/host-link.md): open connections, replies waiting for a caller
# that does not read, and how long a connection may stay silent.
MAX_CONNECTIONS = 64
MAX_QUEUED_REPLY = 2 * MAX_LENGTH
IDLE_TIMEOUT_MS = 60000
WATCH_MS = 1000
# The commands added to the old set (older programs refuse them).
EXIT = "{exit}"
SHOW_CANCEL = "{showcancel}"
CANCELLED = "Cancelled"
_LINE_END = re.compile(r"\r\n|\r|\n")


def split_lines(text):
    """Lines as the link reads them: CR LF, LF or CR end a line, nothing else (Python's
    splitlines() would also cut at U+2028 and other characters a name may hold)."""
    lines = _LINE_END.split(text)
    return lines[:-1] if lines and not lines[-1] else lines


def endpoint_folder():
    """$XDG_RUNTIME_DIR when it names a folder, else a private tarn-<uid> folder in the
    temporary folder, created with mode 0700; None with a reason when that folder is not ours."""
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    if runtime and os.path.isdir(runtime):
        return QDir.cleanPath(runtime), ""
    folder = os.path.join(QDir.tempPath(), "tarn-%d" % os.getuid())
    try:
        os.mkdir(folder, 0o700)
    except FileExistsError:
        pass
    except OSError as error:
        return None, "cannot create %s: %s" % (folder, error.strerror)
    info = os.lstat(folder)
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.getuid() \
            or stat.S_IMODE(info.st_mode) != 0o700:
        return None, "%s is not a folder of this user with mode 0700" % folder
    return folder, ""


def endpoint_path(name):
    folder, reason = endpoint_folder()
    return (os.path.join(folder, name), "") if folder else (None, reason)


def frame(verb, text=""):
    body = text.encode("utf-8")
    return b"%s %d\n" % (verb.encode("ascii"), len(body)) + body


class FrameReader:
    """Takes bytes as they come; next() gives (verb, text), None for more, or raises
    ValueError with the reason the connection must close."""

    def __init__(self):
        self.buffer = bytearray()

    def next(self):
        newline = self.buffer.find(b"\n", 0, _HEADER_LIMIT)
        if newline < 0:
            if len(self.buffer) >= _HEADER_LIMIT:
                raise ValueError("no line feed within the first %d bytes" % _HEADER_LIMIT)
            return None
        match = _HEADER.match(bytes(self.buffer[:newline + 1]))
        if not match:
            raise ValueError("malformed frame header")
        length = int(match.group(2))
        if length > MAX_LENGTH:
            raise ValueError("frame of %d bytes is over the limit" % length)
        end = newline + 1 + length
        if len(self.buffer) < end:
            return None
        body = bytes(self.buffer[newline + 1:end])
        del self.buffer[:end]
        try:
            text = body.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError("frame body is not valid UTF-8")
        return match.group(1).decode("ascii"), text

    def mid_frame(self):
        return bool(self.buffer)


def peer_is_same_user(local_socket):
    try:
        dup = socket.fromfd(int(local_socket.socketDescriptor()), socket.AF_UNIX,
                            socket.SOCK_STREAM)
    except OSError:
        return False
    try:
        creds = dup.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
        return struct.unpack("3i", creds)[1] == os.getuid()
    except OSError:
        return False
    finally:
        dup.close()


def probe(path):
    """None when a program answers on the socket at path, else (error, reason)."""
    socket = QLocalSocket()
    socket.connectToServer(path)
    if socket.waitForConnected(2000):
        socket.abort()
        return None
    return socket.error(), socket.errorString()


def remove_stale_socket(path):
    """Removes the socket file at path when nothing listens on it any more (its program was
    killed); a socket a program serves, or anything else at the path, is left alone."""
    if path and os.path.lexists(path) and stat.S_ISSOCK(os.lstat(path).st_mode) \
            and (probe(path) or (None,))[0] == QLocalSocket.ConnectionRefusedError:
        QLocalServer.removeServer(path)


class _Connection:
    def __init__(self, idle):
        self.reader = FrameReader()
        self.idle = idle
        self.busy = False  # a frame of it is being handled; the next waits


class RequestServer(QObject):
    """Serves ISServer.System as the C++ host does. handler(item) gives the answer text or
    None (NODATA); the answered signal fires once the reply is written, so commands go out
    only after it. Frames are handled one per turn of the event loop, so callers that send
    many cannot hold up QGIS's window."""

    answered = pyqtSignal()
    problem = pyqtSignal(str)

    def __init__(self, handler, parent=None):
        super().__init__(parent)
        self.handler = handler
        self.server = None
        self._new_server()
        self.connections = {}
        self.path = None
        self.inode = None
        self.elsewhere = False  # another program's socket holds the path
        self.idle_timeout_ms = IDLE_TIMEOUT_MS
        # Qt 5 stops listening when accepting fails (no descriptors left), and nobody can
        # reach a socket whose file was removed: either way, serve again.
        self.watch = QTimer(self)
        self.watch.setInterval(WATCH_MS)
        self.watch.timeout.connect(self._check_listening)

    def _new_server(self):
        if self.server is not None:
            self.server.close()
            self.server.deleteLater()
        self.server = QLocalServer(self)
        self.server.setSocketOptions(QLocalServer.UserAccessOption)
        self.server.newConnection.connect(self._on_new_connection)

    def listen(self):
        """"" when listening, else the reason."""
        path, reason = endpoint_path(HOST_ENDPOINT)
        if not path:
            return "Cannot serve %s: %s" % (HOST_ENDPOINT, reason)
        if os.path.lexists(path):
            if not stat.S_ISSOCK(os.lstat(path).st_mode):
                return "Cannot serve %s: %s exists and is not a socket." % (HOST_ENDPOINT, path)
            failure = probe(path)
            if failure is None:
                return "%s is already served by another running program (%s)." % (
                    HOST_ENDPOINT, path)
            if failure[0] != QLocalSocket.ConnectionRefusedError:
                return "Cannot serve %s: the socket %s exists and could not be probed: %s" % (
                    HOST_ENDPOINT, path, failure[1])
            QLocalServer.removeServer(path)  # left behind by a program that crashed
        if not self.server.listen(path):
            return "Cannot serve %s at %s: %s" % (HOST_ENDPOINT, path, self.server.errorString())
        self.path = path
        info = os.lstat(path)
        self.inode = (info.st_dev, info.st_ino)
        self.watch.start()
        return ""

    def close(self):
        self.watch.stop()
        for connection, state in list(self.connections.items()):
            state.idle.stop()
            connection.abort()
            connection.deleteLater()
        self.connections.clear()
        self.server.close()
        self.path = None

    def _check_listening(self):
        try:
            info = os.lstat(self.path)
            ours = (info.st_dev, info.st_ino) == self.inode
        except OSError:
            info, ours = None, False
        if ours and self.server.isListening() and not self.server.errorString():
            return
        if info is not None and not ours:
            # Another program's socket took the path: the endpoint is theirs while it lasts.
            if not self.elsewhere:
                self.problem.emit("%s: another program serves %s now; serving again once it "
                                  "has gone" % (HOST_ENDPOINT, self.path))
            self.elsewhere = True
            return
        self.elsewhere = False
        # Qt 5 closes the socket and removes its file when accepting fails, yet goes on
        # saying it listens; its error says so.
        failed = self.server.errorString()
        self.problem.emit("%s: %s; listening again" % (HOST_ENDPOINT, (
            "the server stopped listening (%s)" % failed) if failed
            else "the socket file %s was removed" % self.path))
        self._new_server()
        reason = self.listen()
        if reason:
            self.problem.emit(reason)

    def _on_new_connection(self):
        while True:
            connection = self.server.nextPendingConnection()
            if connection is None:
                return
            if len(self.connections) >= MAX_CONNECTIONS:
                self.problem.emit("%s: refusing a connection: %d are open already"
                                  % (HOST_ENDPOINT, MAX_CONNECTIONS))
                connection.abort()
                connection.deleteLater()
                continue
            # Holds back a caller that sends faster than its frames are handled.
            connection.setReadBufferSize(MAX_LENGTH)
            idle = QTimer(connection)
            idle.setSingleShot(True)
            idle.setInterval(self.idle_timeout_ms)
            idle.timeout.connect(lambda c=connection: self._on_idle(c))
            self.connections[connection] = _Connection(idle)
            connection.readyRead.connect(lambda c=connection: self._on_ready_read(c))
            connection.bytesWritten.connect(lambda _, timer=idle: timer.start())
            connection.disconnected.connect(lambda c=connection: self._on_disconnected(c))
            idle.start()
            if connection.bytesAvailable():
                self._on_ready_read(connection)

    def _on_disconnected(self, connection):
        state = self.connections.pop(connection, None)
        if state is None:
            return
        state.idle.stop()
        if state.reader.mid_frame():
            self.problem.emit("%s: caller disconnected in the middle of a frame; dropped"
                              % HOST_ENDPOINT)
        connection.deleteLater()

    def _on_idle(self, connection):
        state = self.connections.get(connection)
        if state is not None and not state.busy:
            self._drop(connection, "idle for %d ms%s" % (
                self.idle_timeout_ms,
                " in the middle of a frame" if state.reader.mid_frame() else ""))

    def _drop(self, connection, reason):
        self.problem.emit("%s: closing connection: %s" % (HOST_ENDPOINT, reason))
        state = self.connections.pop(connection, None)
        if state is not None:
            state.idle.stop()
        connection.abort()
        connection.deleteLater()

    def _on_ready_read(self, connection):
        state = self.connections.get(connection)
        if state is None or state.busy:
            return  # one frame at a time; the rest waits in the socket
        state.idle.start()
        reader = state.reader
        try:
            # Reads only when no complete frame is buffered, so the buffer stays near a frame.
            got = reader.next()
            if got is None and connection.bytesAvailable():
                reader.buffer += bytes(connection.readAll())
                got = reader.next()
        except ValueError as error:
            self._drop(connection, str(error))
            return
        if got is None:
            return
        verb, text = got
        if verb not in ("EXECUTE", "REQUEST"):
            self._drop(connection, "unexpected %s frame from a caller" % verb)
            return
        state.busy = True
        state.idle.stop()
        QTimer.singleShot(0, lambda: self._dispatch(connection, verb, text))

    def _dispatch(self, connection, verb, text):
        if verb == "EXECUTE":
            reply = frame("NAK")  # the host takes no commands
        else:
            try:
                answer = self.handler(text)
            except Exception as error:  # the caller must not wait out its time-out
                self.problem.emit("%s: %s failed: %s" % (HOST_ENDPOINT, text, error))
                answer = None
            reply = frame("NODATA") if answer is None else frame("DATA", answer)
        state = self.connections.get(connection)
        if state is not None:
            if connection.bytesToWrite() + len(reply) > MAX_QUEUED_REPLY:
                self._drop(connection, "the caller does not read its replies (%d bytes "
                                       "waiting)" % connection.bytesToWrite())
            else:
                connection.write(reply)
                connection.flush()
                state.busy = False
                QTimer.singleShot(0, lambda: self._on_ready_read(connection))
        if verb == "REQUEST":
            self.answered.emit()


class CommandClient(QObject):
    """Sends one command to a program's endpoint without blocking; finished(verdict) with
    "accepted", "refused" or "no answer: REASON". timeout_ms 0 waits as long as it takes."""

    finished = pyqtSignal(str)

    def __init__(self, service, command, parent=None, timeout_ms=120000):
        super().__init__(parent)
        self.command = command
        self.reader = FrameReader()
        self.done = False
        self.socket = QLocalSocket(self)
        self.socket.connected.connect(self._on_connected)
        self.socket.readyRead.connect(self._on_ready_read)
        self.socket.errorOccurred.connect(lambda _: self._finish(
            "no answer: " + self.socket.errorString()))
        self.socket.disconnected.connect(lambda: self._finish("no answer: connection closed"))
        self.timer = QTimer(self)
        self.timer.setSingleShot(True)
        self.timer.timeout.connect(lambda: self._finish("no answer in time"))
        self.timeout_ms = timeout_ms
        self.path, reason = endpoint_path(service + ".Transfer")
        self.reason = reason

    def send(self):
        if not self.path:
            self._finish("no answer: " + self.reason)
            return
        if self.timeout_ms:
            self.timer.start(self.timeout_ms)
        self.socket.connectToServer(self.path)

    def _on_connected(self):
        if not peer_is_same_user(self.socket):
            self._finish("no answer: the program at %s runs as another user" % self.path)
            return
        self.socket.write(frame("EXECUTE", self.command))

    def _on_ready_read(self):
        self.reader.buffer += bytes(self.socket.readAll())
        try:
            got = self.reader.next()
        except ValueError as error:
            self._finish("no answer: " + str(error))
            return
        if got is not None:
            verb = got[0]
            self._finish({"ACK": "accepted", "NAK": "refused"}.get(
                verb, "no answer: unexpected %s reply" % verb))

    def _finish(self, verdict):
        if self.done:
            return
        self.done = True
        self.timer.stop()
        self.socket.disconnected.disconnect()
        self.socket.abort()
        self.finished.emit(verdict)
        self.deleteLater()


_sending = set()


def send_command(service, command, parent, on_done=None, timeout_ms=120000):
    """Sends a command in the background; on_done(verdict) when answered."""
    client = CommandClient(service, command, parent, timeout_ms)
    _sending.add(client)  # alive until answered, whoever holds it
    client.destroyed.connect(lambda: _sending.discard(client))
    if on_done:
        client.finished.connect(on_done)
    client.send()
    return client


class ProgramCloser(QObject):
    """Asks a program to end as its own Quit would ("{exit}"). It may ask the user first, so
    its verdict can take as long as the user does; meanwhile an empty command, which every
    program refuses at once while its event loop runs, tells one that asks from one that
    hangs. finished(outcome, reason): "ending", "kept open" or "not answering"."""

    finished = pyqtSignal(str, str)
    PROBE_MS = 2000
    PROBE_TIMEOUT_MS = 5000

    def __init__(self, service, parent=None):
        super().__init__(parent)
        self.service = service
        self.done = False
        self.probe_out = False
        self.probing = QTimer(self)
        self.probing.setInterval(self.PROBE_MS)
        self.probing.timeout.connect(self._probe)

    def ask(self):
        self.probing.start()
        send_command(self.service, EXIT, self, self._verdict, timeout_ms=0)

    def _verdict(self, verdict):
        self._finish({"accepted": "ending", "refused": "kept open"}.get(
            verdict, "not answering"), verdict)

    def _probe(self):
        if self.probe_out:
            return  # the last one is still waiting; its time-out decides

        def probed(verdict):
            self.probe_out = False
            if verdict.startswith("no answer"):
                self._finish("not answering", verdict)
        self.probe_out = True
        send_command(self.service, "", self, probed, timeout_ms=self.PROBE_TIMEOUT_MS)

    def _finish(self, outcome, reason):
        if not self.done:
            self.done = True
            self.probing.stop()
            self.finished.emit(outcome, reason)


def list_answer(names, threshold=255):
    """A list answer: names joined by "#", or, when longer than the threshold, the path of
    a temporary list file holding them (the reader deletes it). Returns (answer, note)."""
    import tempfile
    joined = "#".join(names)
    if len(joined) <= threshold:
        return joined, ""
    try:
        handle, path = tempfile.mkstemp(prefix="tarnqgis-", suffix=".lst", dir=QDir.tempPath())
        with os.fdopen(handle, "wb") as out:
            out.write(joined.encode("utf-8") + b"\r\n")
    except OSError as error:
        return joined, "cannot write a list file (%s); answered in full" % error.strerror
    return path, "list of %d characters written to %s" % (len(joined), path)
