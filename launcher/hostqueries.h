#pragma once

#include "hostlink/hostrequest.h"

#include <QString>
#include <QStringList>

#include <functional>

class ClientLink;
class Prompts;

// The working directory answer as a folder prefix: blanks stripped, "/" appended unless it
// already ends in "/" or "\". Empty stays empty.
QString workDirFromAnswer(const QString& answer);

// The queries the launcher sends to the host, with the messages that go with them. Each call
// blocks until the host answers or the link's time-out runs out.
class HostQueries {
public:
    // whileWaiting runs before each request: the window shows "please wait" with it.
    HostQueries(ClientLink& link, Prompts& prompts, std::function<void()> whileWaiting = {});

    // Theme kinds of FillThemeCombo.
    enum { FeatureThemes = 1, GridThemes = 2 };

    // The active view's name; "" (after a message) when the host has none.
    QString GetActiveViewName();
    // Raw list answers; "" without a message when there is none.
    QString GetGridThemes(const QString& view);
    QString GetFeatureThemes(const QString& view, HostRequest::ThemeSelector selector);

    // The names FillThemeCombo puts in its list.
    QStringList themeNames(int kind, const QString& view, HostRequest::ThemeSelector selector);
    // The names FillFieldCombo puts in its list; a message when the theme has none.
    QStringList fieldNames(const QString& theme, const QString& view,
                           HostRequest::ThemeSelector selector);
    // Names of a list answer: "#"-joined, or a temporary list file read and deleted.
    QStringList namesFromAnswer(const QString& answer);
    QStringList ReadHostListFile(const QString& path);

    // Position of the view's map unit among entries (case and outer blanks ignored), -1 when
    // the host gives none or it matches no entry.
    int viewUnitsIndex(const QStringList& entries, const QString& view);

    // The working directory with its trailing separator; "" after a message when none.
    QString GetWorkDir();

    // The working directory when the host names an existing folder, else "", without a
    // message: for where a file dialog opens.
    QString workDirFolder();

    // Asks the host to run the model on directory + file name. True only for the answer
    // "Submitted"; otherwise *failureMessage holds what to tell the user (the caller shows it
    // once the processing notice is closed).
    bool RunModel(const QString& directory, const QString& fileName, QString* failureMessage);

    // Asks the host to stop the run of that parameter file. True when it is stopping;
    // otherwise *failureMessage says why not.
    bool CancelModel(const QString& paramFile, QString* failureMessage);

    // True when the last request found no host at all.
    bool hostMissing() const;
    // Message for a start-up that finds no host.
    QString hostMissingMessage() const;

private:
    QString request(const QString& item);

    ClientLink& m_link;
    Prompts& m_prompts;
    std::function<void()> m_whileWaiting;
};
