#pragma once

#include "catalog/hostproject.h"
#include "model/modelparams.h"

#include <QString>
#include <QStringList>

#include <optional>

// Answers the launcher's requests from a project description, as the host's scripts would.
class HostCore {
public:
    struct Answer {
        std::optional<QString> text; // nothing: the host has no data for the item
        // Commands for the launcher ("tarn.Transfer"), to be sent only once the answer is out.
        QStringList launcherCommands;
        // What tarnhost did besides answering (a list file written, a check that failed).
        QString note;
        // Arguments of a tarn-analyze run to start once the answer is out; "{closeprocfrm}"
        // follows when it ends. Empty when there is nothing to run.
        QStringList analysisRun;
    };

    explicit HostCore(HostProject project) : m_project(std::move(project)) {}

    Answer answer(const QString& item) const;
    const HostProject& project() const { return m_project; }

private:
    Answer listAnswer(const QStringList& names) const;
    Answer executeModel(const QString& paramFile) const;
    static std::optional<int> selector(const QString& text);

    HostProject m_project;
};
