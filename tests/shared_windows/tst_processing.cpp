#include "frmisprocessing.h"

#include <QApplication>
#include <QLabel>
#include <QtTest>

#include <memory>

class TestProcessing : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void showsItsOneLineWholeWithBothSpaces();
    void isOneOwnedWindowShownHiddenAndClosed();
    void commandsWithoutNoticeHaveNoEffect();
    void closeBoxAndOwnerDestroyIt();

private:
    std::unique_ptr<QWidget> m_owner;
};

void TestProcessing::init()
{
    m_owner = std::make_unique<QWidget>();
    m_owner->setWindowTitle(QStringLiteral("Tarnwick"));
    m_owner->show();
}

void TestProcessing::cleanup()
{
    frmISProcessing::closeNotice();
    m_owner.reset();
}

void TestProcessing::showsItsOneLineWholeWithBothSpaces()
{
    frmISProcessing* notice = frmISProcessing::showNotice(m_owner.get());
    QVERIFY(QTest::qWaitForWindowExposed(notice));

    QCOMPARE(notice->windowTitle(), QString());
    const QList<QLabel*> labels = notice->findChildren<QLabel*>();
    QCOMPARE(labels.size(), 1);
    QLabel* label = notice->findChild<QLabel*>(QStringLiteral("Label1"));
    QVERIFY(label);
    const QString text = QStringLiteral("Performing Impervious Surface Analysis.  Please wait...");
    QCOMPARE(label->text(), text);
    // Shown whole: not collapsed as rich text would collapse the double space, and not
    // clipped by the label or the window.
    QVERIFY(label->textFormat() != Qt::RichText);
    QVERIFY(label->isVisible());
    QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(text));
    QVERIFY(notice->rect().contains(label->geometry()));
}

void TestProcessing::isOneOwnedWindowShownHiddenAndClosed()
{
    frmISProcessing* notice = frmISProcessing::showNotice(m_owner.get());
    QVERIFY(notice->isWindow());
    QCOMPARE(notice->parentWidget(), m_owner.get());
    QVERIFY(notice->isVisible());
    QVERIFY(!notice->isModal());

    QCOMPARE(frmISProcessing::showNotice(m_owner.get()), notice);
    QCOMPARE(m_owner->findChildren<frmISProcessing*>().size(), 1);

    frmISProcessing::hideNotice();
    QVERIFY(!notice->isVisible());
    frmISProcessing::reshowNotice();
    QVERIFY(notice->isVisible());

    QPointer<frmISProcessing> guard = notice;
    frmISProcessing::closeNotice();
    QVERIFY(guard.isNull());
    QVERIFY(!frmISProcessing::current());

    // The next run creates it anew.
    QVERIFY(frmISProcessing::showNotice(m_owner.get()));
    QCOMPARE(m_owner->findChildren<frmISProcessing*>().size(), 1);
}

void TestProcessing::commandsWithoutNoticeHaveNoEffect()
{
    const int windows = QApplication::topLevelWidgets().size();
    frmISProcessing::reshowNotice();
    frmISProcessing::hideNotice();
    frmISProcessing::closeNotice();
    QVERIFY(!frmISProcessing::current());
    QCOMPARE(QApplication::topLevelWidgets().size(), windows);
}

void TestProcessing::closeBoxAndOwnerDestroyIt()
{
    QPointer<frmISProcessing> notice = frmISProcessing::showNotice(m_owner.get());
    notice->close();
    QVERIFY(!frmISProcessing::current());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(notice.isNull());

    notice = frmISProcessing::showNotice(m_owner.get());
    m_owner.reset();
    QVERIFY(notice.isNull());
    QVERIFY(!frmISProcessing::current());
}

QTEST_MAIN(TestProcessing)
#include "tst_processing.moc"
