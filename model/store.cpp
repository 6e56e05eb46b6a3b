#include "model/store.h"

#include "base/textcodec.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

QString StorePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../etc/isprops.xml");
}

QString StoreLoadResult::describe(const QString& path) const
{
    QString where = path;
    if (line > 0) {
        where += QLatin1Char(':') + QString::number(line);
    }
    return where + QStringLiteral(": ") + description;
}

bool LoadModelXML(clsISModelProperties& model, const QString& path, StoreLoadResult* result)
{
    StoreLoadResult local;
    StoreLoadResult& r = result ? *result : local;
    r = StoreLoadResult();

    if (!readFileBytes(path, &r.fileBytes, &r.description)) {
        r.status = StoreLoadResult::FileError;
        return false;
    }

    const XmlParseResult parsed = parseXml(toUtf8Text(r.fileBytes));
    if (!parsed.ok()) {
        r.status = StoreLoadResult::ParseError;
        r.line = parsed.line;
        r.description = parsed.description;
        return false;
    }
    r.rootName = QString::fromUtf8(parsed.root.node().name());
    // The parsed root is read directly: serializing it and parsing that text again would
    // give the same tree. It is read into a copy of the list, so a class row that does not
    // convert leaves the model as it was; the sets themselves are never changed by a read.
    clsISModelProperties loaded;
    *loaded.ISLCDefs = *model.ISLCDefs;
    XmlReadError error;
    if (!loaded.LoadNode(parsed.root, &error)) {
        r.status = StoreLoadResult::ConversionError;
        r.line = error.line;
        r.description = error.description;
        return false;
    }
    *model.ISLCDefs = std::move(*loaded.ISLCDefs);
    return true;
}

bool readFileBytes(const QString& path, QByteArray* bytes, QString* error)
{
    QFile file(path);
    if (QFileInfo(path).isDir()) {
        *error = QStringLiteral("is a folder, not a file");
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    *bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return false;
    }
    return true;
}

QByteArray storeFileBytes(const clsISModelProperties& model)
{
    return layoutXmlLines(model.CreateNode());
}

namespace {

bool replaceFile(const QString& path, const QByteArray& bytes, bool inPlaceAllowed, QString* error)
{
    QString local;
    QString& why = error ? *error : local;
    const QFileInfo info(path);
    if (info.exists()) {
        constexpr auto writeBits =
            QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
        // Root may write anything, and the rename would replace even a read-only file:
        // the permission bits are what the user set to protect it.
        if (info.isDir()) {
            why = QStringLiteral("a folder of that name is in the way");
            return false;
        }
        if (!info.isWritable() || !(info.permissions() & writeBits)) {
            why = QStringLiteral("the file is read-only");
            return false;
        }
    }
    QSaveFile file(path);
    file.setDirectWriteFallback(inPlaceAllowed);
    // Unbuffered: a buffered write that fails only when commit() flushes it goes unnoticed,
    // and a full disk would leave an empty file reported as saved.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        why = file.errorString();
        return false;
    }
    for (qsizetype done = 0; done < bytes.size();) {
        errno = 0;
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            // Should Qt name no reason, errno, taken right after the call, has it.
            why = file.error() != QFileDevice::NoError || errno == 0
                      ? file.errorString()
                      : QString::fromLocal8Bit(std::strerror(errno));
            file.cancelWriting();
            return false;
        }
        done += written;
    }
    if (!file.commit()) {
        why = file.errorString();
        return false;
    }
    return true;
}

} // namespace

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error)
{
    return replaceFile(path, bytes, true, error);
}

bool writeStoreFile(const QString& path, const QByteArray& bytes, QString* error)
{
    return replaceFile(path, bytes, false, error);
}

bool SaveModelXML(const clsISModelProperties& model, const QString& path, QString* error)
{
    return writeStoreFile(path, storeFileBytes(model), error);
}

bool SaveModelXML(const clsISModelProperties& model)
{
    return SaveModelXML(model, StorePath());
}

QString editorLoadFailureMessage()
{
    return QStringLiteral(
        "Failed To Load XML - verify the file 'isprops.xml' is located in the 'etc/' folder of "
        "your ArcView 3 installation directory.' file");
}

QString launcherLoadFailureMessage()
{
    return QStringLiteral(
        "Failed To Load XML - verify the file 'isprops.xml' is located in the 'etc' folder of "
        "your ArcView 3 installation directory.' file");
}

QString storeLoadFailureMessage(const QString& oldMessage, const QString& storePath,
                                const StoreLoadResult& result)
{
    if (QFileInfo(storePath).absoluteFilePath() == QFileInfo(StorePath()).absoluteFilePath()) {
        return oldMessage;
    }
    return oldMessage + QStringLiteral("\r\n\r\nThe coefficient store in use is ") +
           result.describe(storePath);
}

QString mergeLoadFailureMessage()
{
    return QStringLiteral("Failed To Load XML - Invalid file format.");
}

QString saveFailureMessage(const QString& storePath)
{
    return QStringLiteral("Failed To Save XML - verify the permissions to write to file '") +
           storePath + QStringLiteral("'.");
}

QString saveFailureMessage()
{
    return saveFailureMessage(StorePath());
}
