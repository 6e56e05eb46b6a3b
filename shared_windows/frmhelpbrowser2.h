#pragma once

#include <QString>
#include <QWidget>

class Prompts;
class QLabel;
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
    // leave it at the standard path. storePath, when given, is named below the page, so
    // the user can tell which coefficient store the program uses.
    static frmHelpBrowser2* showHelp(Prompts& prompts, QWidget* parent = nullptr,
                                     const QString& helpPath = standardHelpPath(),
                                     const QString& storePath = QString());
    // The open help window, or nullptr.
    static frmHelpBrowser2* current();

    // The program's folder + "/../help/is_index.html", or in a system package's layout
    // "/../share/tarn/help/is_index.html"; the ".." is left for the file system to resolve,
    // and shown as it is in the missing-file message.
    static QString standardHelpPath();

    ~frmHelpBrowser2() override;

    const QString& helpPath() const { return m_helpPath; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Only showHelp() creates the window, so there is never a second one.
    frmHelpBrowser2(Prompts& prompts, QWidget* parent, const QString& helpPath,
                    const QString& storePath);

    void Form_Load();
    void cmdClose_Click();

    Prompts& m_prompts;
    QString m_helpPath;
    QTextBrowser* brwHelpPage;
    QPushButton* cmdClose;
    QLabel* m_storeLine = nullptr;
};
