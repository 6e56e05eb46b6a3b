#pragma once

#include <QString>
#include <QStringList>

#include <memory>

// The folder an output is written in before it is put in place, beside the output:
// ".tarn-PID-XXXXXX" (the analysis's process id, six random characters), created as mkdtemp
// creates it (a new folder of mode 0700; an existing name, a planted link above all, is never
// used). It holds "output" (the output's file name), "new/" (the new files) and, once the swap
// has begun, "swap" (the new files' names, a line each) and "old/" (the earlier files moved
// aside). Everything in it is reached through the folder's descriptor, so a folder renamed or
// replaced by a link meanwhile is never followed; on destruction it is removed, links as
// links. The rule for whoever finds one after a kill is recoverWorkFolders().
class WorkFolder {
public:
    // Nothing, with the reason in error, when it cannot be created.
    static std::unique_ptr<WorkFolder> create(const QString& outPath, QString* error);
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    QString path() const { return m_path; }
    // Where a writer writes the new file name (through the folder's descriptor).
    QString newFile(const QString& name) const;
    // Turns the descriptor paths of newFile() in a message back into the folder's path.
    QString readable(QString text) const;
    // The names in new/; subfolders: whether it holds folders too.
    QStringList newFiles(bool* subfolders = nullptr) const;
    // Flushes the new files to disk, then moves the earlier files named names or stale out of
    // the output's folder into old/ and the new files named names into it. noReplace: a file
    // of that name appearing meanwhile is not replaced (a database another program may hold).
    // On failure everything is put back, with the reason in error.
    bool swap(const QStringList& names, const QStringList& stale, bool noReplace, QString* error);

private:
    WorkFolder() = default;
    QString m_path;
    QString m_name;   // in the output's folder
    QString m_output; // the output's file name, for messages
    QString m_outDir;
    int m_fd = -1;
    int m_outFd = -1;
    QString m_fdPath; // /proc/self/fd/N, or m_path where /proc is not mounted
};

// What a later run, or a host whose analysis was stopped, does with work folders left in
// folder: those of the process pid (pid > 0), or of the output named outputName whose process
// has ended (pid 0). A swap that has begun and not ended is undone (the new files taken back
// out, the earlier ones put back); one whose new files are all in place is finished. Then the
// folder goes. Folders of another user or that are links are left alone. Returns a log line
// for each swap undone or finished.
QStringList recoverWorkFolders(const QString& folder, qint64 pid, const QString& outputName = {});
