#include "shared_windows/frmisprocessing.h"

#include <QApplication>
#include <QLabel>
#include <QtTest>

#include <memory>

class TestProcessing : public QObject {
    Q_OBJECT
private slots:
    void isOneOwnedNoticeWithItsLineWhole()
    {
        // The host's commands do nothing while there is no notice.
        const int windows = QApplication::topLevelWidgets().size();
        frmISProcessing::reshowNotice();
        frmISProcessing::hideNotice();
        frmISProcessing::closeNotice();
        QCOMPARE(QApplication::topLevelWidgets().size(), windows);

        auto owner = std::make_unique<QWidget>();
        owner->show();
        QPointer<frmISProcessing> notice = frmISProcessing::showNotice(owner.get());
        QVERIFY(QTest::qWaitForWindowExposed(notice));
        QCOMPARE(notice->findChildren<QLabel*>().size(), 1);
        QLabel* label = notice->findChild<QLabel*>();
        const QString text =
            QStringLiteral("Performing Impervious Surface Analysis.  Please wait...");
        QCOMPARE(label->text(), text);
        // Shown whole: not collapsed as rich text would collapse the double space, and not
        // clipped by the label or the window.
        QVERIFY(label->textFormat() != Qt::RichText);
        QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(text));
        QVERIFY(notice->rect().contains(label->geometry()));

        QVERIFY(notice->isWindow() && !notice->isModal());
        QCOMPARE(notice->parentWidget(), owner.get());
        QCOMPARE(frmISProcessing::showNotice(owner.get()), notice.data());
        QCOMPARE(owner->findChildren<frmISProcessing*>().size(), 1);
        frmISProcessing::closeNotice();
        QVERIFY(notice.isNull());

        // The close box destroys it, and so does its owner going away.
        notice = frmISProcessing::showNotice(owner.get());
        notice->close();
        QVERIFY(!frmISProcessing::current());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(notice.isNull());
        notice = frmISProcessing::showNotice(owner.get());
        owner.reset();
        QVERIFY(notice.isNull());
        QVERIFY(!frmISProcessing::current());
    }
};

QTEST_MAIN(TestProcessing)
#include "tst_processing.moc"
