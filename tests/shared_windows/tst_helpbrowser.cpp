#include "shared_windows/frmhelpbrowser2.h"
#include "tests/support/scriptedprompts.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

#include <memory>

namespace {

QTextBrowser* browserOf(frmHelpBrowser2* window)
{
    return window->findChild<QTextBrowser*>(QStringLiteral("brwHelpPage"));
}

// Clicks the first link whose text is linkText, as the user would.
void clickLink(QTextBrowser* browser, const QString& linkText)
{
    const QTextCursor found = browser->document()->find(linkText);
    QVERIFY2(!found.isNull(), qPrintable(linkText));
    QTextCursor middle(browser->document());
    middle.setPosition((found.selectionStart() + found.selectionEnd()) / 2);
    QVERIFY(middle.charFormat().isAnchor());
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, {},
                      browser->cursorRect(middle).center());
}

} // namespace

class TestHelpBrowser : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral("^ScriptedPrompts: unexpected")));
        m_dir = std::make_unique<QTemporaryDir>();
        m_prompts = std::make_unique<ScriptedPrompts>(QStringLiteral("TARN"));
        QVERIFY(QDir(m_dir->path()).mkpath("bin") && QDir(m_dir->path()).mkpath("help"));
        const QStringList pages{
            "is_index.html", "<h1>Start page</h1><a href=\"editor.html\">the editor</a>",
            "editor.html", "<h1>Editor page</h1><a href=\"is_index.html\">Back</a>"};
        for (int i = 0; i < pages.size(); i += 2) {
            QVERIFY(writeFile(m_dir->filePath("help/" + pages[i]), pages[i + 1].toUtf8()));
        }
        m_indexPath = m_dir->path() + QStringLiteral("/bin/../help/is_index.html");
    }

    void cleanup()
    {
        delete frmHelpBrowser2::current();
        QCOMPARE(m_prompts->queuedAnswers(), 0);
    }

    void isOneWindowUntilClosedThenLooksForThePageAgain()
    {
        QPointer<frmHelpBrowser2> first =
            frmHelpBrowser2::showHelp(*m_prompts, nullptr, m_indexPath);
        QVERIFY(QTest::qWaitForWindowExposed(first));
        QVERIFY(browserOf(first)->toPlainText().contains(QStringLiteral("Start page")));
        clickLink(browserOf(first), QStringLiteral("the editor"));
        QVERIFY(browserOf(first)->toPlainText().contains(QStringLiteral("Editor page")));
        first->showMinimized();

        // A second Help brings the same window back as it was: not reloaded, so with the page
        // gone it reports nothing.
        QVERIFY(QDir(m_dir->filePath(QStringLiteral("help"))).removeRecursively());
        QCOMPARE(frmHelpBrowser2::showHelp(*m_prompts, nullptr, m_indexPath), first.data());
        QVERIFY(!first->isMinimized());
        QVERIFY(browserOf(first)->toPlainText().contains(QStringLiteral("Editor page")));
        QCOMPARE(m_prompts->calls().size(), 0);

        // Its close box destroys it; the next Help creates a new one, which looks for the page
        // again, reports it missing with its full path and opens empty.
        first->close();
        QVERIFY(!frmHelpBrowser2::current());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(first.isNull());
        m_prompts->answerButton(Prompts::Button::Ok);
        frmHelpBrowser2* second = frmHelpBrowser2::showHelp(*m_prompts, nullptr, m_indexPath);
        QCOMPARE(m_prompts->messageTexts(),
                 QStringList("The Tarnwick help file (" + m_indexPath + ") does not exist."));
        QCOMPARE(m_prompts->calls().first().icon, Prompts::Icon::Exclamation);
        QVERIFY(second->isVisible());
        QCOMPARE(second->windowTitle(), QStringLiteral("Tarnwick Help"));
        QVERIFY(browserOf(second)->toPlainText().isEmpty());
        // Still usable: its Close button closes it.
        QTest::mouseClick(second->findChild<QPushButton*>(QStringLiteral("cmdClose")),
                          Qt::LeftButton);
        QVERIFY(!frmHelpBrowser2::current());
    }

    void namesTheStoreInUseBelowThePage()
    {
        frmHelpBrowser2* window =
            frmHelpBrowser2::showHelp(*m_prompts, nullptr, m_indexPath, "/home/u/isprops.xml");
        const auto* line = window->findChild<QLabel*>(QStringLiteral("lblStore"));
        QVERIFY(line);
        QCOMPARE(line->text(), QStringLiteral("Coefficient store: /home/u/isprops.xml"));
        QVERIFY(line->geometry().top() > browserOf(window)->geometry().bottom());
        QVERIFY(line->geometry().bottom() < window->height());
    }

    void bundledHelpOpensAndAllItsPagesAreLinked()
    {
        // The build tree has the installed shape: testbin/../help holds the bundled pages.
        frmHelpBrowser2* window = frmHelpBrowser2::showHelp(*m_prompts);
        QVERIFY(browserOf(window)->toPlainText().contains(QStringLiteral("TARN Help")));

        // Every shipped page is reachable from the start page, and every local link names a page
        // that exists.
        const QDir help(QStringLiteral(TARN_SOURCE_DIR "/help"));
        QStringList queue{QStringLiteral("is_index.html")};
        QSet<QString> seen;
        static const QRegularExpression href(QStringLiteral("href=\"([^\"#:]+)[\"#]"));
        while (!queue.isEmpty()) {
            const QString page = queue.takeFirst();
            if (seen.contains(page)) {
                continue;
            }
            seen.insert(page);
            QFile file(help.filePath(page));
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(page + " is linked but missing"));
            for (auto it = href.globalMatch(QString::fromUtf8(file.readAll())); it.hasNext();) {
                queue << it.next().captured(1);
            }
        }
        for (const QString& page : help.entryList({QStringLiteral("*.html")}, QDir::Files)) {
            QVERIFY2(seen.contains(page),
                     qPrintable(page + " is not reachable from is_index.html"));
        }
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScriptedPrompts> m_prompts;
    QString m_indexPath;
};

QTEST_MAIN(TestHelpBrowser)
#include "tst_helpbrowser.moc"
