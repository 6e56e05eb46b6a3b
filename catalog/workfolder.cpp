#include "catalog/workfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray sub(const char* folder, const QString& name)
{
    return folder + QByteArray("/") + QFile::encodeName(name);
}

// The names in the folder at (fd, path), not following a link to it.
QStringList entries(int fd, const char* path = ".")
{
    QStringList names;
    const int dirFd = ::openat(fd, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* dir = dirFd >= 0 ? ::fdopendir(dirFd) : nullptr;
    if (!dir) {
        if (dirFd >= 0) {
            ::close(dirFd);
        }
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names << QFile::decodeName(entry->d_name);
        }
    }
    ::closedir(dir);
    return names;
}

// Removes what the folder fd holds; a link goes as a link, never what it leads to.
void removeContents(int fd)
{
    for (const QString& name : entries(fd)) {
        const QByteArray n = QFile::encodeName(name);
        struct stat info;
        if (::fstatat(fd, n.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            const int inner =
                ::openat(fd, n.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (inner >= 0) {
                removeContents(inner);
                ::close(inner);
            }
            ::unlinkat(fd, n.constData(), AT_REMOVEDIR);
        } else {
            ::unlinkat(fd, n.constData(), 0);
        }
    }
}

bool writeNew(int fd, const char* name, const QByteArray& bytes)
{
    const int file = ::openat(fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file < 0) {
        return false;
    }
    const bool ok = ::write(file, bytes.constData(), size_t(bytes.size())) == bytes.size() &&
                    ::fsync(file) == 0;
    return ::close(file) == 0 && ok;
}

// A small file of the folder fd; nothing when it is not there.
std::optional<QByteArray> readSmall(int fd, const char* name)
{
    const int file = ::openat(fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0) {
        return std::nullopt;
    }
    QByteArray bytes(1 << 16, '\0');
    const ssize_t n = ::read(file, bytes.data(), size_t(bytes.size()));
    ::close(file);
    if (n < 0) {
        return std::nullopt;
    }
    bytes.truncate(int(n));
    return bytes;
}

bool exists(int fd, const QByteArray& name, struct stat* info = nullptr)
{
    struct stat ignored;
    return ::fstatat(fd, name.constData(), info ? info : &ignored, AT_SYMLINK_NOFOLLOW) == 0;
}

bool plainName(const QString& name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".") &&
           name != QLatin1String("..");
}

bool running(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

} // namespace

std::unique_ptr<WorkFolder> WorkFolder::create(const QString& outPath, QString* error)
{
    const QFileInfo out(outPath);
    std::unique_ptr<WorkFolder> w(new WorkFolder);
    w->m_output = out.absoluteFilePath();
    w->m_outDir = out.absolutePath();
    QByteArray name = QFile::encodeName(QStringLiteral("%1/.tarn-%2-XXXXXX")
                                            .arg(w->m_outDir)
                                            .arg(QCoreApplication::applicationPid()));
    const auto failed = [&](const QString& why) {
        *error = QStringLiteral("Cannot write the output %1: %2").arg(outPath, why);
        return nullptr;
    };
    w->m_outFd =
        ::open(QFile::encodeName(w->m_outDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (w->m_outFd < 0 || !::mkdtemp(name.data())) {
        return failed(errnoText());
    }
    w->m_path = QFile::decodeName(name);
    w->m_name = QFileInfo(w->m_path).fileName();
    const QByteArray local = QFile::encodeName(w->m_name);
    w->m_fd =
        ::openat(w->m_outFd, local.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (w->m_fd < 0 || ::fstat(w->m_fd, &info) != 0 || info.st_uid != ::geteuid() ||
        (info.st_mode & 0777) != 0700) {
        w->m_name.clear(); // not ours to remove
        return failed(QStringLiteral("its work folder %1 was replaced").arg(w->m_path));
    }
    if (::mkdirat(w->m_fd, "new", 0700) != 0 ||
        !writeNew(w->m_fd, "output", QFile::encodeName(out.fileName()))) {
        return failed(QStringLiteral("%1: %2").arg(w->m_path, errnoText()));
    }
    w->m_fdPath = QStringLiteral("/proc/self/fd/%1").arg(w->m_fd);
    if (::access(QFile::encodeName(w->m_fdPath + QLatin1String("/new")).constData(), W_OK) != 0) {
        w->m_fdPath = w->m_path;
    }
    return w;
}

WorkFolder::~WorkFolder()
{
    if (m_fd >= 0) {
        struct stat mine;
        struct stat there;
        removeContents(m_fd);
        if (!m_name.isEmpty() && ::fstat(m_fd, &mine) == 0 &&
            exists(m_outFd, QFile::encodeName(m_name), &there) && mine.st_dev == there.st_dev &&
            mine.st_ino == there.st_ino) {
            ::unlinkat(m_outFd, QFile::encodeName(m_name).constData(), AT_REMOVEDIR);
        }
        ::close(m_fd);
    }
    if (m_outFd >= 0) {
        ::close(m_outFd);
    }
}

QString WorkFolder::newFile(const QString& name) const
{
    return m_fdPath + QLatin1String("/new/") + name;
}

QString WorkFolder::readable(QString text) const
{
    return text.replace(m_fdPath, m_path);
}

QStringList WorkFolder::newFiles(bool* subfolders) const
{
    QStringList files;
    for (const QString& name : entries(m_fd, "new")) {
        struct stat info;
        if (exists(m_fd, sub("new", name), &info) && S_ISREG(info.st_mode)) {
            files << name;
        } else if (subfolders) {
            *subfolders = true;
        }
    }
    files.sort();
    return files;
}

bool WorkFolder::swap(const QStringList& names, const QStringList& stale, bool noReplace,
                      QString* error)
{
    QStringList all = names;
    for (const QString& name : stale) {
        if (!all.contains(name)) {
            all << name;
        }
    }
    const QDir outDir(m_outDir);
    for (const QString& name : all) {
        struct stat info;
        if (exists(m_outFd, QFile::encodeName(name), &info) && !S_ISREG(info.st_mode) &&
            !(S_ISLNK(info.st_mode) && QFileInfo(outDir.filePath(name)).isFile())) {
            *error =
                QStringLiteral("Cannot write the output %1: %2 is in the way and is not a file")
                    .arg(m_output, outDir.filePath(name));
            return false;
        }
    }
    // On disk before the earlier files move: a crash then leaves either set whole.
    for (const QString& name : names) {
        const int file =
            ::openat(m_fd, sub("new", name).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        const bool synced = file >= 0 && ::fsync(file) == 0;
        if (file >= 0) {
            ::close(file);
        }
        if (!synced) {
            *error = QStringLiteral("Cannot write the output %1: %2").arg(m_output, errnoText());
            return false;
        }
    }
    if (::mkdirat(m_fd, "old", 0700) != 0 ||
        !writeNew(m_fd, "swap", QFile::encodeName(names.join(QLatin1Char('\n')))) ||
        ::fsync(m_fd) != 0) {
        *error = QStringLiteral("Cannot write the output %1: %2").arg(m_output, errnoText());
        return false;
    }
    QStringList movedAside;
    QStringList movedIn;
    const auto undo = [&](const QString& why) {
        for (const QString& name : movedIn) {
            ::renameat(m_outFd, QFile::encodeName(name).constData(), m_fd,
                       sub("new", name).constData());
        }
        for (const QString& name : movedAside) {
            ::renameat(m_fd, sub("old", name).constData(), m_outFd,
                       QFile::encodeName(name).constData());
        }
        ::unlinkat(m_fd, "swap", 0);
        *error = why;
        return false;
    };
    for (const QString& name : all) {
        const QByteArray local = QFile::encodeName(name);
        if (!exists(m_outFd, local)) {
            continue;
        }
        if (::renameat(m_outFd, local.constData(), m_fd, sub("old", name).constData()) != 0) {
            return undo(QStringLiteral("Cannot move the earlier output %1 aside: %2")
                            .arg(outDir.filePath(name), errnoText()));
        }
        movedAside << name;
    }
    for (const QString& name : names) {
        const QByteArray from = sub("new", name);
        const QByteArray to = QFile::encodeName(name);
        const int moved = noReplace ? ::renameat2(m_fd, from.constData(), m_outFd, to.constData(),
                                                  RENAME_NOREPLACE)
                                    : ::renameat(m_fd, from.constData(), m_outFd, to.constData());
        if (moved != 0) {
            return undo(QStringLiteral("Cannot rename %1 to %2: %3")
                            .arg(QDir(m_path).filePath(QStringLiteral("new/") + name),
                                 outDir.filePath(name), errnoText()));
        }
        movedIn << name;
    }
    ::fsync(m_outFd);
    return true;
}

QStringList recoverWorkFolders(const QString& folder, qint64 pid, const QString& outputName)
{
    QStringList log;
    const QRegularExpression pattern(QStringLiteral("^\\.tarn-(\\d+)-[A-Za-z0-9]{6}$"));
    const int outFd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (outFd < 0) {
        return log;
    }
    for (const QString& name : entries(outFd)) {
        const QRegularExpressionMatch match = pattern.match(name);
        const qint64 owner = match.hasMatch() ? match.captured(1).toLongLong() : 0;
        if (owner <= 0 || (pid > 0 && owner != pid) ||
            (pid <= 0 && (owner == QCoreApplication::applicationPid() || running(owner)))) {
            continue;
        }
        const QByteArray local = QFile::encodeName(name);
        const int fd =
            ::openat(outFd, local.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat info;
        if (fd < 0) {
            continue;
        }
        const QString output = QFile::decodeName(readSmall(fd, "output").value_or(QByteArray()));
        if (::fstat(fd, &info) != 0 || info.st_uid != ::geteuid() ||
            (pid <= 0 && (output.isEmpty() || output != outputName))) {
            ::close(fd);
            continue;
        }
        const std::optional<QByteArray> swap = readSmall(fd, "swap");
        const QStringList pending = entries(fd, "new");
        const QString outPath = QDir(folder).filePath(output);
        bool keep = false;
        if (swap && pending.isEmpty()) {
            log << QStringLiteral("Output %1: a run was stopped while it put its files in place; "
                                  "its new files were all in place and are kept")
                       .arg(outPath);
        } else if (swap) {
            for (const QString& moved : QFile::decodeName(*swap).split(QLatin1Char('\n'))) {
                struct stat there;
                if (plainName(moved) && !pending.contains(moved) &&
                    exists(outFd, QFile::encodeName(moved), &there) && S_ISREG(there.st_mode)) {
                    ::renameat(outFd, QFile::encodeName(moved).constData(), fd,
                               sub("new", moved).constData());
                }
            }
            for (const QString& earlier : entries(fd, "old")) {
                keep = ::renameat2(fd, sub("old", earlier).constData(), outFd,
                                   QFile::encodeName(earlier).constData(), RENAME_NOREPLACE) != 0 ||
                       keep;
            }
            log << (keep ? QStringLiteral("Output %1: a run was stopped while it put its files in "
                                          "place; its earlier files could not all be put back "
                                          "and are in %2")
                               .arg(outPath, QDir(folder).filePath(name + QLatin1String("/old")))
                         : QStringLiteral("Output %1: a run was stopped while it put its files in "
                                          "place; the earlier files are back")
                               .arg(outPath));
        }
        if (!keep) {
            removeContents(fd);
            ::unlinkat(outFd, local.constData(), AT_REMOVEDIR);
        }
        ::close(fd);
    }
    ::close(outFd);
    return log;
}
