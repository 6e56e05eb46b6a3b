#pragma once

#include <QLocalSocket>
#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcHostLink)

// Names and limits shared by both ends of the host link (docs/host-link.md).
namespace HostLink {

// Topic of each program's command source and service/topic of the host's request channel.
inline const QString TransferTopic = QStringLiteral("Transfer");
inline const QString HostService = QStringLiteral("ISServer");
inline const QString HostTopic = QStringLiteral("System");

// The commands a host sends, in the lower-cased form the windows compare against.
inline const QString CmdView = QStringLiteral("{view}");
inline const QString CmdQuit = QStringLiteral("{quit}");
inline const QString CmdCloseProcFrm = QStringLiteral("{closeprocfrm}");
inline const QString CmdHide = QStringLiteral("{hide}");
inline const QString CmdUnhide = QStringLiteral("{unhide}");
// Added to the old set; older programs refuse them, older hosts never send them.
// Ends the program as its own Quit would, asking its questions first; refused when it stays.
inline const QString CmdExit = QStringLiteral("{exit}");
// The run under way can be cancelled: the processing notice offers Cancel.
inline const QString CmdShowCancel = QStringLiteral("{showcancel}");

// Largest payload either end accepts; anything longer closes the connection.
constexpr qint64 MaxFrameLength = 1024 * 1024;

// Default time-out of a request, in tenths of a second (120 s).
constexpr int DefaultTimeoutTenths = 1200;

// Folder that holds the endpoints: $XDG_RUNTIME_DIR, else the private folder tarn-<uid> in
// the temporary folder.
QString endpointDirectory();
// Why the endpoint folder cannot be trusted, or "" when it can (or does not exist yet). The
// private folder must be a folder of this user's with mode 0700; `create` makes it first.
QString checkEndpointDirectory(bool create);
// Why the program at the other end of a connected socket cannot be trusted, or "" when it
// runs as this user.
QString checkPeer(const QLocalSocket& socket);
// "<service>.<topic>", the conversation's name as users see it in messages.
QString endpointName(const QString& service, const QString& topic);
// Full path of the endpoint's local socket.
QString endpointPath(const QString& service, const QString& topic);

// Removes the socket file at path when nothing listens on it any more (its program was
// killed); a socket a program serves, or anything else at the path, is left alone.
void removeStaleSocket(const QString& path);

// Why a connection attempt failed, in words (Qt's own texts are terse: "Invalid name").
QString connectFailure(QLocalSocket::LocalSocketError error, const QString& path);

// A received command as the windows compare it: lower-cased, nothing else (blanks stay, so
// " {view}" matches nothing).
QString normalizeCommand(const QString& received);
// True when the received command, lower-cased, equals `command` exactly.
bool isCommand(const QString& received, const QString& command);

} // namespace HostLink
