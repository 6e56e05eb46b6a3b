#include "launcher/hostqueries.h"

#include "hostlink/clientlink.h"
#include "hostlink/hostrequest.h"
#include "hostlink/listanswer.h"
#include "shared_windows/prompts.h"

#include <QFileInfo>

QString workDirFromAnswer(const QString& answer)
{
    QString dir = answer.trimmed();
    if (!dir.isEmpty() && !dir.endsWith(QLatin1Char('/')) && !dir.endsWith(QLatin1Char('\\'))) {
        dir += QLatin1Char('/');
    }
    return dir;
}

HostQueries::HostQueries(ClientLink& link, Prompts& prompts, std::function<void()> whileWaiting)
    : m_link(link), m_prompts(prompts), m_whileWaiting(std::move(whileWaiting))
{
}

QString HostQueries::request(const QString& item)
{
    if (m_whileWaiting) {
        m_whileWaiting();
    }
    // The link already counts answers shorter than 2 characters as none.
    return m_link.request(item);
}

bool HostQueries::hostMissing() const
{
    // A host that takes the connection but never answers is as absent as one that is not
    // running: asking it the remaining start-up questions would only wait out each time-out.
    const ClientLink::Failure failure = m_link.lastFailure();
    return failure == ClientLink::Failure::NotRunning || failure == ClientLink::Failure::TimedOut;
}

QString HostQueries::hostMissingMessage() const
{
    return QStringLiteral("No host answers on %1, so the launcher cannot learn the themes of "
                          "the active view.\nStart the launcher from the host, for example "
                          "with: tarnhost start PROJECT.json tarn")
        .arg(m_link.name());
}

QString HostQueries::GetActiveViewName()
{
    const QString answer = request(HostRequest::GetActiveDocName());
    if (answer.size() < 2) {
        if (!hostMissing()) {
            m_prompts.message(QStringLiteral("View not active is current project."));
        }
        return QString();
    }
    return answer;
}

QString HostQueries::GetGridThemes(const QString& view)
{
    return request(HostRequest::isGetGThemes(view));
}

QString HostQueries::GetFeatureThemes(const QString& view, HostRequest::ThemeSelector selector)
{
    return request(HostRequest::isGetFThemes(view, selector));
}

QStringList HostQueries::themeNames(int kind, const QString& view,
                                    HostRequest::ThemeSelector selector)
{
    QString answer;
    if (kind == GridThemes) {
        answer = GetGridThemes(view);
    } else if (kind == FeatureThemes) {
        answer = GetFeatureThemes(view, selector);
    }
    return namesFromAnswer(answer);
}

QStringList HostQueries::fieldNames(const QString& theme, const QString& view,
                                    HostRequest::ThemeSelector selector)
{
    const QString answer = request(HostRequest::isGetFldNames(view, theme, selector));
    if (answer.size() < 2) {
        m_prompts.message(QStringLiteral("The selected theme ") + theme +
                          QStringLiteral(" in the ") + view +
                          QStringLiteral(" view has no string or integer type attributes.  "
                                         "Please select another theme for analysis."));
        return {};
    }
    return namesFromAnswer(answer);
}

QStringList HostQueries::namesFromAnswer(const QString& answer)
{
    if (answer.isEmpty()) {
        return {};
    }
    if (ListAnswer::isListFile(answer)) {
        return ReadHostListFile(answer);
    }
    return ListAnswer::split(answer);
}

QStringList HostQueries::ReadHostListFile(const QString& path)
{
    if (!QFileInfo(path).isFile()) {
        m_prompts.message(QStringLiteral("Error creating field list.  Temporary file not found"));
        return {};
    }
    QString error;
    const QStringList names = ListAnswer::split(path, &error);
    if (!error.isEmpty()) {
        // The file exists but cannot be read: say so rather than show an empty list silently.
        m_prompts.message(QStringLiteral("Error creating field list.  ") + error);
    }
    return names;
}

int HostQueries::viewUnitsIndex(const QStringList& entries, const QString& view)
{
    const QString answer = request(HostRequest::isGetViewUnits(view));
    if (answer.size() < 2) {
        return -1;
    }
    const QString unit = answer.trimmed();
    for (int i = 0; i < entries.size(); ++i) {
        if (entries.at(i).compare(unit, Qt::CaseInsensitive) == 0) {
            return i;
        }
    }
    return -1;
}

QString HostQueries::GetWorkDir()
{
    const QString answer = request(HostRequest::GetWorkDirName());
    if (answer.size() < 2) {
        m_prompts.message(QStringLiteral("Unable to define working directory in current project."));
        return QString();
    }
    return workDirFromAnswer(answer);
}

QString HostQueries::workDirFolder()
{
    const QString answer = request(HostRequest::GetWorkDirName());
    const QString dir = answer.size() < 2 ? QString() : workDirFromAnswer(answer);
    return !dir.isEmpty() && QFileInfo(dir).isDir() ? dir : QString();
}

bool HostQueries::RunModel(const QString& directory, const QString& fileName,
                           QString* failureMessage)
{
    const QString answer = request(HostRequest::isCallExecuteModel(directory + fileName));
    if (answer == QLatin1String("Submitted")) {
        return true;
    }
    QString text = QStringLiteral("Error calling script to run model within ArcView");
    // The host's own reason, or the link's when the host never answered.
    if (!answer.isEmpty()) {
        text += QLatin1Char('\n') + answer;
    } else if (m_link.lastFailure() != ClientLink::Failure::None &&
               m_link.lastFailure() != ClientLink::Failure::NoData &&
               m_link.lastFailure() != ClientLink::Failure::TooShort) {
        text += QLatin1Char('\n') + m_link.lastError();
    }
    *failureMessage = text;
    return false;
}

bool HostQueries::CancelModel(const QString& paramFile, QString* failureMessage)
{
    const QString answer = request(HostRequest::isCancelModel(paramFile));
    if (answer == HostRequest::Cancelled) {
        return true;
    }
    *failureMessage = QStringLiteral("The run was not cancelled.\n") +
                      (answer.isEmpty() ? m_link.lastError() : answer);
    return false;
}
