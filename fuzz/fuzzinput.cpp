#include "fuzzinput.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

const QTemporaryDir& fuzzDir()
{
    static const QTemporaryDir dir([] {
        const QFileInfo shm(QStringLiteral("/dev/shm"));
        const QString base =
            shm.isDir() && shm.isWritable() ? shm.absoluteFilePath() : QDir::tempPath();
        return base + QStringLiteral("/tarn-fuzz-XXXXXX");
    }());
    if (!dir.isValid()) {
        fuzzFailure("cannot create the input folder", dir.errorString());
    }
    return dir;
}

} // namespace

QString writeFuzzFile(const QByteArray& bytes, const char* name)
{
    const QString path = fuzzDir().filePath(QString::fromLatin1(name));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        fuzzFailure("cannot write the input file", file.errorString());
    }
    return path;
}

void fuzzFailure(const char* what, const QString& detail)
{
    std::fprintf(stderr, "property violated: %s\n%s\n", what, qPrintable(detail));
    std::abort();
}
