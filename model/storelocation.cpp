#include "model/storelocation.h"

#include "base/programinfo.h"
#include "model/store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

namespace {

// Copies the installation's store to the user's, unless the user's exists: a copy made
// aside and renamed into place without replacing, so a store another program made (or
// changed) meanwhile is kept, and no program reads a half-made one.
bool makeUserStore(const QString& userPath, const QString& installed, QString* why)
{
    if (QFileInfo::exists(userPath)) {
        return true;
    }
    QByteArray bytes;
    if (!readFileBytes(installed, &bytes, why)) {
        *why =
            QStringLiteral("the installation's store %1 cannot be read: %2").arg(installed, *why);
        return false;
    }
    const QString folder = QFileInfo(userPath).path();
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("the folder %1 cannot be made").arg(folder);
        return false;
    }
    QTemporaryFile copy(userPath + QStringLiteral(".XXXXXX"));
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush()) {
        *why = QStringLiteral("%1 cannot be written: %2").arg(userPath, copy.errorString());
        return false;
    }
    if (copy.rename(userPath)) {
        copy.setAutoRemove(false);
        return true;
    }
    if (QFileInfo::exists(userPath)) {
        return true; // another program made it first
    }
    *why = QStringLiteral("%1 cannot be written: %2").arg(userPath, copy.errorString());
    return false;
}

} // namespace

QString userDataHome()
{
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (QDir::isAbsolutePath(xdg)) {
        return xdg;
    }
    return QDir::homePath() + QStringLiteral("/.local/share");
}

QString userStorePath(const QString& dataHome)
{
    return (dataHome.isEmpty() ? userDataHome() : dataHome) + QStringLiteral("/tarn/isprops.xml");
}

StoreLocation locateStore(const QString& given, const QString& programFolder,
                          const QString& dataHome)
{
    StoreLocation location;
    location.userPath = userStorePath(dataHome);
    if (!given.isEmpty()) {
        location.kind = StoreLocation::Kind::Given;
        location.path = given;
        return location;
    }
    const QString folder =
        programFolder.isEmpty() ? QCoreApplication::applicationDirPath() : programFolder;
    const QString installed =
        installedFile(QStringLiteral("etc/isprops.xml"), QStringLiteral("isprops.xml"), folder);
    // Root can write any folder, as it can the store there: an administrator's programs use
    // the installation's store, as they always did. In a system package's layout
    // (/usr/bin, /usr/share/tarn) <bin>/../etc is no folder of ours, even where it exists.
    const QFileInfo beside(folder + QStringLiteral("/../etc"));
    const bool systemLayout = installed.contains(QStringLiteral("/../share/tarn/"));
    if (!systemLayout && beside.isDir() && beside.isWritable()) {
        location.path = folder + QStringLiteral("/../etc/isprops.xml");
        return location;
    }
    QString why;
    if (makeUserStore(location.userPath, installed, &why) || !QFileInfo::exists(installed)) {
        location.kind = StoreLocation::Kind::User;
        location.path = location.userPath;
        return location;
    }
    location.kind = StoreLocation::Kind::Installation;
    location.path = installed;
    location.note = why;
    return location;
}

QString StoreLocation::reason() const
{
    switch (kind) {
    case Kind::Given:
        return QStringLiteral("given on the command line");
    case Kind::BesidePrograms:
        return QStringLiteral("beside the programs");
    case Kind::User:
        return QStringLiteral("the user's own store: the programs' folder has no store its "
                              "users can write");
    case Kind::Installation:
        return QStringLiteral("the installation's store, read only: the user's own store "
                              "cannot be made: ") +
               note;
    }
    return QString();
}

QString StoreLocation::describe() const
{
    return path + QStringLiteral(" (") + reason() + QLatin1Char(')');
}
