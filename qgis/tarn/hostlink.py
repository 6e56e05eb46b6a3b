"""The host link (docs/host-link.md): frames, endpoints, the host's request server and the
commands it sends to the programs. Qt's local sockets only, so it runs inside QGIS."""

import os
import re
import socket
import stat
import struct

from qgis.PyQt.QtCore import QDir, QObject, pyqtSignal
from qgis.PyQt.QtNetwork import QLocalServer, QLocalSocket

HOST_ENDPOINT = "ISServer.System"
MAX_LENGTH = 1024 * 1024
_HEADER = re.compile(rb"^(EXECUTE|REQUEST|ACK|NAK|DATA|NODATA) ([0-9]{1,8})\n$")
_HEADER_LIMIT = 32


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
        self.buffer = b""

    def next(self):
        newline = self.buffer.find(b"\n", 0, _HEADER_LIMIT)
        if newline < 0:
            if len(self.buffer) >= _HEADER_LIMIT:
                raise ValueError("no line feed within the first %d bytes" % _HEADER_LIMIT)
            return None
        match = _HEADER.match(self.buffer[:newline + 1])
        if not match:
            raise ValueError("malformed frame header")
        length = int(match.group(2))
        if length > MAX_LENGTH:
            raise ValueError("frame of %d bytes is over the limit" % length)
        end = newline + 1 + length
        if len(self.buffer) < end:
            return None
        body = self.buffer[newline + 1:end]
        self.buffer = self.buffer[end:]
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


class RequestServer(QObject):
    """Serves ISServer.System. handler(item) gives the answer text or None (NODATA); the
    answered signal fires once the reply is written, so commands go out only after it."""

    answered = pyqtSignal()
    problem = pyqtSignal(str)

    def __init__(self, handler, parent=None):
        super().__init__(parent)
        self.handler = handler
        self.server = QLocalServer(self)
        self.server.setSocketOptions(QLocalServer.UserAccessOption)
        self.server.newConnection.connect(self._on_new_connection)
        self.readers = {}
        self.path = None

    def listen(self):
        """"" when listening, else the reason."""
        path, reason = endpoint_path(HOST_ENDPOINT)
        if not path:
            return "Cannot serve %s: %s" % (HOST_ENDPOINT, reason)
        if os.path.lexists(path):
            if not stat.S_ISSOCK(os.lstat(path).st_mode):
                return "Cannot serve %s: %s exists and is not a socket." % (HOST_ENDPOINT, path)
            probe = QLocalSocket()
            probe.connectToServer(path)
            if probe.waitForConnected(2000):
                probe.abort()
                return "%s is already served by another running program (%s)." % (
                    HOST_ENDPOINT, path)
            if probe.error() != QLocalSocket.ConnectionRefusedError:
                return "Cannot serve %s: the socket %s exists and could not be probed: %s" % (
                    HOST_ENDPOINT, path, probe.errorString())
            QLocalServer.removeServer(path)  # left behind by a program that crashed
        if not self.server.listen(path):
            return "Cannot serve %s at %s: %s" % (HOST_ENDPOINT, path, self.server.errorString())
        self.path = path
        return ""

    def close(self):
        for connection in list(self.readers):
            connection.abort()
        self.readers.clear()
        self.server.close()
        self.path = None

    def _on_new_connection(self):
        while True:
            connection = self.server.nextPendingConnection()
            if connection is None:
                return
            self.readers[connection] = FrameReader()
            connection.readyRead.connect(lambda c=connection: self._on_ready_read(c))
            connection.disconnected.connect(lambda c=connection: self._on_disconnected(c))
            if connection.bytesAvailable():
                self._on_ready_read(connection)

    def _on_disconnected(self, connection):
        reader = self.readers.pop(connection, None)
        if reader and reader.mid_frame():
            self.problem.emit("%s: caller disconnected in the middle of a frame; dropped"
                              % HOST_ENDPOINT)
        connection.deleteLater()

    def _drop(self, connection, reason):
        self.problem.emit("%s: closing connection: %s" % (HOST_ENDPOINT, reason))
        self.readers.pop(connection, None)
        connection.abort()
        connection.deleteLater()

    def _on_ready_read(self, connection):
        reader = self.readers.get(connection)
        if reader is None:
            return
        reader.buffer += bytes(connection.readAll())
        while connection in self.readers:
            try:
                got = reader.next()
            except ValueError as error:
                self._drop(connection, str(error))
                return
            if got is None:
                return
            verb, text = got
            if verb == "EXECUTE":
                connection.write(frame("NAK"))  # the host takes no commands
                continue
            if verb != "REQUEST":
                self._drop(connection, "unexpected %s frame from a caller" % verb)
                return
            answer = self.handler(text)
            connection.write(frame("NODATA") if answer is None else frame("DATA", answer))
            connection.flush()
            self.answered.emit()


class CommandClient(QObject):
    """Sends one command to a program's endpoint without blocking; finished(verdict) with
    "accepted", "refused" or "no answer: REASON"."""

    finished = pyqtSignal(str)

    def __init__(self, service, command, parent=None):
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
        self.path, reason = endpoint_path(service + ".Transfer")
        self.reason = reason

    def send(self):
        if not self.path:
            self._finish("no answer: " + self.reason)
            return
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
        self.socket.disconnected.disconnect()
        self.socket.abort()
        self.finished.emit(verdict)
        self.deleteLater()


_sending = set()


def send_command(service, command, parent, on_done=None):
    """Sends a command in the background; on_done(verdict) when answered."""
    client = CommandClient(service, command, parent)
    _sending.add(client)  # alive until answered, whoever holds it
    client.destroyed.connect(lambda: _sending.discard(client))
    if on_done:
        client.finished.connect(on_done)
    client.send()
    return client


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
