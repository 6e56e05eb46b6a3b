#include "base/programinfo.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>
#include <cstring>

QString installedFile(const QString& beside, const QString& shared, const QString& programFolder)
{
    const QString folder =
        programFolder.isEmpty() ? QCoreApplication::applicationDirPath() : programFolder;
    const QString first = folder + QStringLiteral("/../") + beside;
    const QString second = folder + QStringLiteral("/../share/tarn/") + shared;
    return !QFileInfo::exists(first) && QFileInfo::exists(second) ? second : first;
}

QString versionLine(const QString& program)
{
    return program + QStringLiteral(" (TARN) ") + QStringLiteral(TARN_VERSION);
}

bool answerVersionOrHelp(int argc, char* argv[], const char* program, const char* usage)
{
    // Only as the first argument: later ones may be names ("tarn-store show --version").
    if (argc < 2) {
        return false;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", versionLine(QString::fromUtf8(program)).toUtf8().constData());
        return true;
    }
    if (usage && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stdout);
        return true;
    }
    return false;
}
