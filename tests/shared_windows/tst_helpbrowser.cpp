#include "frmhelpbrowser2.h"
#include "scriptedprompts.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextBrowser>
#include <QtTest>

#include <memory>

namespace {

void writeFile(const QString& path, const QString& text)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(text.toUtf8());
}

QTextBrowser* browserOf(frmHelpBrowser2* window)
{
    return window->findChild<QTextBrowser*>(QStringLiteral("brwHelpPage"));
}

int helpWindowCount()
{
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<frmHelpBrowser2*>(widget))
            ++count;
    }
    return count;
}

// Clicks the first link whose text is linkText, as the user would.
void clickLink(QTextBrowser* browser, const QString& linkText)
{
    const QTextCursor found = browser->document()->find(linkText);
    QVERIFY2(!found.isNull(), qPrintable(linkText));
    QTextCursor middle(browser->document());
    middle.setPosition((found.selectionStart() + found.selectionEnd()) / 2);
    QVERIFY(middle.charFormat().isAnchor());
    const QPoint point = browser->cursorRect(middle).center();
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, point);
}

} // namespace

class TestHelpBrowser : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void standardPathKeepsTheDotDotStep();
    void missingPageIsReportedWithFullPathThenWindowOpensEmpty();
    void opensStartPageAndFollowsLocalLinks();
    void secondHelpBringsSameWindowWithoutReloading();
    void closeDestroysAndNextHelpShowsStartPageAgain();
    void bundledHelpOpensFromStandardPath();
    void bundledHelpLinksAllResolve();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScriptedPrompts> m_prompts;
    QString m_indexPath;
};

void TestHelpBrowser::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("^ScriptedPrompts: unexpected")));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_prompts = std::make_unique<ScriptedPrompts>(QStringLiteral("TARN"));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("bin")));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("help")));
    writeFile(m_dir->filePath(QStringLiteral("help/is_index.html")),
              QStringLiteral("<html><body><h1>Start page</h1>"
                             "<p>Read about <a href=\"editor.html\">the editor</a>.</p>"
                             "</body></html>"));
    writeFile(m_dir->filePath(QStringLiteral("help/editor.html")),
              QStringLiteral("<html><body><h1>Editor page</h1>"
                             "<p><a href=\"is_index.html\">Back</a></p></body></html>"));
    m_indexPath = m_dir->path() + QStringLiteral("/bin/../help/is_index.html");
}

void TestHelpBrowser::cleanup()
{
    delete frmHelpBrowser2::current();
    QCOMPARE(m_prompts->queuedAnswers(), 0);
    m_prompts.reset();
    m_dir.reset();
}

void TestHelpBrowser::standardPathKeepsTheDotDotStep()
{
    QCOMPARE(frmHelpBrowser2::standardHelpPath(),
             QCoreApplication::applicationDirPath() + QStringLiteral("/../help/is_index.html"));
}

void TestHelpBrowser::missingPageIsReportedWithFullPathThenWindowOpensEmpty()
{
    QVERIFY(QDir(m_dir->filePath(QStringLiteral("help"))).removeRecursively());
    m_prompts->answerButton(Prompts::Button::Ok, [](const ScriptedPrompts::Call&) {
        // The message comes while the window loads, before it is seen.
        QVERIFY(frmHelpBrowser2::current());
        QVERIFY(!frmHelpBrowser2::current()->isVisible());
    });

    frmHelpBrowser2* window = frmHelpBrowser2::showHelp(*m_prompts, nullptr, m_indexPath);

    QCOMPARE(m_prompts->calls().size(), 1);
    const ScriptedPrompts::Call& call = m_prompts->calls().first();
    QCOMPARE(call.text, QStringLiteral("The Tarnwick help file (") + m_dir->path() +
                            QStringLiteral("/bin/../help/is_index.html) does not exist."));
    QCOMPARE(call.title, QStringLiteral("TARN"));
    QCOMPARE(call.icon, Prompts::Icon::Exclamation);
    QCOMPARE(call.buttons, Prompts::Buttons::Ok);

    QVERIFY(window);
    QVERIFY(window->isVisible());
    QCOMPARE(window->windowTitle(), QStringLiteral("Tarnwick Help"));
    QVERIFY(browserOf(window)->toPlainText().isEmpty());
    // Still usable: Close closes it.
    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("cmdClose")), Qt::LeftButton);
    QVERIFY(!frmHelpBrowser2::current());
}

void TestHelpBrowser::opensStartPageAndFollowsLocalLinks()
{
    frmHelpBrowser2* window = frmHelpBrowser2::showHelp(*m_prompts, nullptr, m_indexPath);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QTextBrowser* browser = browserOf(window);
    QVERIFY(browser->toPlainText().contains(QStringLiteral("Start page")));

    clickLink(browser, QStringLiteral("the editor"));
    QVERIFY(browser->toPlainText().contains(QStringLiteral("Editor page")));
    QCOMPARE(QFileInfo(browser->source().toLocalFile()).fileName(), QStringLiteral("editor.html"));

    clickLink(browser, QStringLiteral("Back"));
    QVERIFY(browser->toPlainText().contains(QStringLiteral("Start page")));
    QVERIFY(m_prompts->calls().isEmpty());
}

void TestHelpBrowser::secondHelpBringsSameWindowWithoutReloading()
{
    frmHelpBrowser2* first = frmHelpBrowser2::showHelp(*m_prompts, nullptr, m_indexPath);
    QVERIFY(QTest::qWaitForWindowExposed(first));
    clickLink(browserOf(first), QStringLiteral("the editor"));
    first->showMinimized();

    // Even with the page gone, a second Help does not load (and so reports nothing).
    QVERIFY(QDir(m_dir->filePath(QStringLiteral("help"))).removeRecursively());
    frmHelpBrowser2* second = frmHelpBrowser2::showHelp(*m_prompts, nullptr, m_indexPath);

    QCOMPARE(second, first);
    QCOMPARE(helpWindowCount(), 1);
    QVERIFY(!second->isMinimized());
    QVERIFY(browserOf(second)->toPlainText().contains(QStringLiteral("Editor page")));
    QVERIFY(m_prompts->calls().isEmpty());
}

void TestHelpBrowser::closeDestroysAndNextHelpShowsStartPageAgain()
{
    QPointer<frmHelpBrowser2> first = frmHelpBrowser2::showHelp(*m_prompts, nullptr, m_indexPath);
    QVERIFY(QTest::qWaitForWindowExposed(first));
    clickLink(browserOf(first), QStringLiteral("the editor"));

    QTest::mouseClick(first->findChild<QPushButton*>(QStringLiteral("cmdClose")), Qt::LeftButton);
    QVERIFY(!frmHelpBrowser2::current());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(first.isNull());

    frmHelpBrowser2* second = frmHelpBrowser2::showHelp(*m_prompts, nullptr, m_indexPath);
    QCOMPARE(helpWindowCount(), 1);
    QVERIFY(browserOf(second)->toPlainText().contains(QStringLiteral("Start page")));

    // The close box destroys it as well; the next Help repeats the existence test.
    second->close();
    QVERIFY(!frmHelpBrowser2::current());
    QVERIFY(QDir(m_dir->filePath(QStringLiteral("help"))).removeRecursively());
    m_prompts->answerButton(Prompts::Button::Ok);
    frmHelpBrowser2::showHelp(*m_prompts, nullptr, m_indexPath);
    QCOMPARE(m_prompts->messageTexts().size(), 1);
}

void TestHelpBrowser::bundledHelpOpensFromStandardPath()
{
    // The build tree has the installed shape: testbin/../help holds the bundled pages.
    frmHelpBrowser2* window = frmHelpBrowser2::showHelp(*m_prompts);
    QCOMPARE(window->helpPath(), frmHelpBrowser2::standardHelpPath());
    QVERIFY(m_prompts->calls().isEmpty());
    QVERIFY(browserOf(window)->toPlainText().contains(QStringLiteral("TARN Help")));
}

void TestHelpBrowser::bundledHelpLinksAllResolve()
{
    // Every page of the shipped help is reachable from the start page, and every local
    // link in it names a page that exists.
    const QDir help(QStringLiteral(TARN_SOURCE_DIR "/help"));
    QStringList queue{QStringLiteral("is_index.html")};
    QSet<QString> seen;
    static const QRegularExpression href(QStringLiteral("href=\"([^\"#]*)(#[^\"]*)?\""));
    while (!queue.isEmpty()) {
        const QString page = queue.takeFirst();
        if (seen.contains(page))
            continue;
        seen.insert(page);
        QFile file(help.filePath(page));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(page + " is linked but missing"));
        const QString html = QString::fromUtf8(file.readAll());
        for (auto it = href.globalMatch(html); it.hasNext();) {
            const QString target = it.next().captured(1);
            if (target.isEmpty() || target.contains(QLatin1Char(':')))
                continue; // a place on the same page, or the web
            queue << target;
        }
    }
    const QStringList shipped = help.entryList({QStringLiteral("*.html")}, QDir::Files);
    for (const QString& page : shipped)
        QVERIFY2(seen.contains(page), qPrintable(page + " is not reachable from is_index.html"));
    QVERIFY(seen.size() >= 4);
}

QTEST_MAIN(TestHelpBrowser)
#include "tst_helpbrowser.moc"
