#pragma once

#include <QString>
#include <QWidget>

class Prompts;
class QPushButton;
class QTextBrowser;

// The help window. One instance per program: showHelp() creates it on first use and
// brings it forward afterwards; closing it destroys it, and the next showHelp() creates it
// anew and loads the start page again.
class frmHelpBrowser2 : public QWidget {
    Q_OBJECT
public:
    // Opens the help window, or brings the open one forward without reloading it. The
    // window has no owner unless a parent is given. helpPath is for tests; the programs
    // leave it at the standard path.
    static frmHelpBrowser2* showHelp(Prompts& prompts, QWidget* parent = nullptr,
                                     const QString& helpPath = standardHelpPath());
    // The open help window, or nullptr.
    static frmHelpBrowser2* current();

    // The program's folder + "/../help/is_index.html"; the ".." is left for the file
    // system to resolve, and shown as it is in the missing-file message.
    static QString standardHelpPath();

    ~frmHelpBrowser2() override;

    const QString& helpPath() const { return m_helpPath; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Only showHelp() creates the window, so there is never a second one.
    frmHelpBrowser2(Prompts& prompts, QWidget* parent, const QString& helpPath);

    void Form_Load();
    void cmdClose_Click();

    Prompts& m_prompts;
    QString m_helpPath;
    QTextBrowser* brwHelpPage;
    QPushButton* cmdClose;
};
