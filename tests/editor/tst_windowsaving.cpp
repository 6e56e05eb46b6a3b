#include "editorfixture.h"

using namespace GridRules;

namespace {

QString switchQuestion(const QString& shown)
{
    return QStringLiteral("Changes to the current coefficient set must be saved before displaying "
                          "another coefficient set. \r\n Click 'Yes' to save changes to ") +
           shown + QStringLiteral(" and proceed, or 'No' to return.");
}

const QString kQuitQuestion =
    QStringLiteral("Changes to the coefficient set have not been saved. \r\n Click 'Yes' to save "
                   "changes, 'No' to quit, or 'Cancel' to return.");

QStringList classNames(const clsISModelProperties& model, const QString& set)
{
    QStringList names;
    if (const ISLCDefPtr found = model.ISLCDefs->find(set)) {
        for (const LCClassPtr& lcClass : *found->LCClasses) {
            names << lcClass->LCName;
        }
    }
    return names;
}

} // namespace

// Apply, set switching, Quit and the close box, checked against the store file on disk.
class TestWindowSaving : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void applyWritesGridToStore();
    void applyAfterDeletingRowsTrimsSetFromTheEnd();
    void applyOnUntouchedEmptySetDropsBlankRow();
    void textThatIsNotANumberRefusesWholeSave();
    void failedStoreSaveKeepsEditsUnsaved();
    void choosingShownSetAsksNothing();
    void switchAnsweredNoKeepsEditsAndList();
    void switchAnsweredYesSavesShownSet();
    void switchWithFailedSaveReturnsList();
    void quitAndCloseBoxAnswers();
    void quitYesWithFailedSaveStaysOpen();
    void storeWithoutSetsNeverGetsNamelessSet();

private:
    void makeStoreReadOnly(bool readOnly);
    EditorFixture f;
};

void TestWindowSaving::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("^ScriptedPrompts: unexpected")));
    QVERIFY(f.dir.isValid());
}

void TestWindowSaving::cleanup()
{
    makeStoreReadOnly(false);
    f.close();
}

void TestWindowSaving::makeStoreReadOnly(bool readOnly)
{
    QFile::setPermissions(f.storePath(),
                          readOnly ? QFile::ReadOwner : QFile::ReadOwner | QFile::WriteOwner);
}

void TestWindowSaving::applyWritesGridToStore()
{
    f.open();
    f.goTo(2, ColHigh);
    f.type(QStringLiteral("33.5"));
    f.key(Qt::Key_Return);
    f.goTo(3, ColMed);
    f.key(Qt::Key_F2);
    f.editor()->clear(); // emptied and still current: stored as 0
    QTest::mouseClick(f.button("cmdApply"), Qt::LeftButton);
    QVERIFY(!f.applyEnabled());
    QVERIFY(!f.window->unsavedChanges());
    QCOMPARE(f.focused(), f.list());
    const ISLCDefPtr urban = f.storeOnDisk().ISLCDefs->find("Urban");
    QCOMPARE(urban->LCClasses->Item(2)->LCHigh, 33.5f);
    QCOMPARE(urban->LCClasses->Item(3)->LCMed, 0.0f);
    QCOMPARE(f.storeOnDisk().ISLCDefs->Count(), 3);
    QCOMPARE(f.prompts->calls().size(), 0);
}

void TestWindowSaving::applyAfterDeletingRowsTrimsSetFromTheEnd()
{
    f.open();
    f.prompts->answerButton(Button::Yes);
    f.rowCommand(1, ColName, "MnuFGridDelRow");
    f.prompts->answerButton(Button::Yes);
    f.rowCommand(2, ColName, "MnuFGridDelRow");
    f.button("cmdApply")->click();
    QCOMPARE(classNames(f.storeOnDisk(), "Urban"), (QStringList{"Open Space", "Medium Intensity"}));
    QCOMPARE(f.cell(2, ColNumber), QStringLiteral("2"));
}

void TestWindowSaving::applyOnUntouchedEmptySetDropsBlankRow()
{
    f.open();
    f.list()->setCurrentIndex(2);
    QCOMPARE(f.grid()->rowCount(), 2);
    f.key(Qt::Key_F2);
    f.key(Qt::Key_Escape);
    f.button("cmdApply")->click();
    QCOMPARE(f.grid()->rowCount(), 1);
    const ISLCDefPtr empty = f.storeOnDisk().ISLCDefs->find("Empty");
    QVERIFY(empty);
    QCOMPARE(empty->LCClasses->Count(), 0);
}

void TestWindowSaving::textThatIsNotANumberRefusesWholeSave()
{
    f.open();
    const QByteArray before = f.storeBytes();
    f.goTo(1, ColName);
    f.type(QStringLiteral("Lake"));
    f.goTo(3, ColLow);
    f.type(QStringLiteral("5"));
    f.key(Qt::Key_Backspace);
    f.editor()->setText(QStringLiteral("-")); // as left by deleting the digits behind a sign
    f.goTo(1, ColHigh);
    f.prompts->answerButton(Button::Ok);
    f.button("cmdApply")->click();
    QCOMPARE(f.prompts->messageTexts(),
             QStringList{QStringLiteral("Row 3, column Low: \"-\" is not a number. Nothing was "
                                        "saved; correct the cell and save again.")});
    QCOMPARE(f.prompts->calls()[0].icon, Icon::Exclamation);
    QCOMPARE(f.current(), QPoint(3, ColLow));
    QVERIFY(f.applyEnabled());
    QCOMPARE(f.storeBytes(), before);
    QCOMPARE(classNames(f.window->model(), "Urban").first(), QStringLiteral("Water"));

    // Quit with Yes is refused the same way and the window stays.
    f.prompts->answerButton(Button::Yes);
    f.prompts->answerButton(Button::Ok);
    QVERIFY(!f.window->close());
    QVERIFY(f.window->isVisible());
    QCOMPARE(f.storeBytes(), before);

    f.type(QStringLiteral("7"));
    f.button("cmdApply")->click();
    QCOMPARE(classNames(f.storeOnDisk(), "Urban").first(), QStringLiteral("Lake"));
    QCOMPARE(f.storeOnDisk().ISLCDefs->find("Urban")->LCClasses->Item(3)->LCLow, 7.0f);
}

void TestWindowSaving::failedStoreSaveKeepsEditsUnsaved()
{
    f.open();
    const QByteArray before = f.storeBytes();
    f.goTo(2, ColName);
    f.type(QStringLiteral("Parks"));
    makeStoreReadOnly(true);
    f.prompts->answerButton(Button::Cancel);
    f.button("cmdApply")->click();
    QCOMPARE(f.prompts->messageTexts(),
             QStringList{QStringLiteral("Failed To Save XML - verify the permissions to write to "
                                        "file '") +
                         f.storePath() + QStringLiteral("'.")});
    QCOMPARE(f.prompts->calls()[0].icon, Icon::Critical);
    QCOMPARE(f.prompts->calls()[0].buttons, Buttons::OkCancel);
    QVERIFY(f.applyEnabled());
    QCOMPARE(f.storeBytes(), before);
    QCOMPARE(f.cell(2, ColName), QStringLiteral("Parks"));

    makeStoreReadOnly(false);
    f.button("cmdApply")->click();
    QVERIFY(!f.applyEnabled());
    QCOMPARE(classNames(f.storeOnDisk(), "Urban").at(1), QStringLiteral("Parks"));
}

void TestWindowSaving::choosingShownSetAsksNothing()
{
    f.open();
    f.goTo(1, ColName);
    f.type(QStringLiteral("x"));
    f.list()->setCurrentIndex(0);
    QCOMPARE(f.prompts->calls().size(), 0);
    QVERIFY(f.applyEnabled());
}

void TestWindowSaving::switchAnsweredNoKeepsEditsAndList()
{
    f.open();
    const QByteArray before = f.storeBytes();
    f.goTo(1, ColName);
    f.type(QStringLiteral("Lake"));
    f.prompts->answerButton(Button::No);
    f.list()->setCurrentIndex(1);
    QCOMPARE(f.prompts->messageTexts(), QStringList{switchQuestion("Urban")});
    QCOMPARE(f.prompts->calls()[0].buttons, Buttons::YesNo);
    QCOMPARE(f.prompts->calls()[0].icon, Icon::None);
    QCOMPARE(f.list()->currentIndex(), 0);
    QCOMPARE(f.window->shownSet(), 0);
    QCOMPARE(f.cell(1, ColName), QStringLiteral("Lake"));
    QVERIFY(f.applyEnabled());
    QCOMPARE(f.storeBytes(), before);
}

void TestWindowSaving::switchAnsweredYesSavesShownSet()
{
    f.open();
    f.goTo(1, ColName);
    f.type(QStringLiteral("Lake"));
    f.prompts->answerButton(Button::Yes);
    f.list()->setCurrentIndex(1);
    QCOMPARE(f.prompts->messageTexts(), QStringList{switchQuestion("Urban")});
    QCOMPARE(classNames(f.storeOnDisk(), "Urban").first(), QStringLiteral("Lake"));
    QCOMPARE(classNames(f.storeOnDisk(), "rural Lands"), (QStringList{"Forest", "Pasture"}));
    QCOMPARE(f.window->shownSet(), 1);
    QCOMPARE(f.row(1), (QStringList{"41", "Forest", "1", "0.5", "0"}));
    QCOMPARE(f.current(), QPoint(1, ColValue));
    QVERIFY(!f.applyEnabled());
}

void TestWindowSaving::switchWithFailedSaveReturnsList()
{
    f.open();
    f.goTo(1, ColName);
    f.type(QStringLiteral("Lake"));
    makeStoreReadOnly(true);
    f.prompts->answerButton(Button::Yes);
    f.prompts->answerButton(Button::Ok);
    f.list()->setCurrentIndex(2);
    QCOMPARE(f.prompts->messageTexts().size(), 2);
    QVERIFY(f.prompts->messageTexts()[1].startsWith("Failed To Save XML"));
    QCOMPARE(f.list()->currentIndex(), 0);
    QCOMPARE(f.window->shownSet(), 0);
    QCOMPARE(f.cell(1, ColName), QStringLiteral("Lake"));
    QVERIFY(f.applyEnabled());
}

void TestWindowSaving::quitAndCloseBoxAnswers()
{
    // Nothing unsaved: closes without a question.
    f.open();
    QTest::mouseClick(f.button("cmdQuit"), Qt::LeftButton);
    QVERIFY(!f.window->isVisible());
    QCOMPARE(f.prompts->calls().size(), 0);
    f.close();

    f.open();
    const QByteArray before = f.storeBytes();
    f.goTo(1, ColName);
    f.type(QStringLiteral("Lake"));
    f.prompts->answerButton(Button::Cancel);
    QTest::mouseClick(f.button("cmdQuit"), Qt::LeftButton);
    QCOMPARE(f.prompts->messageTexts(), QStringList{kQuitQuestion});
    QCOMPARE(f.prompts->calls()[0].buttons, Buttons::YesNoCancel);
    QCOMPARE(f.prompts->calls()[0].icon, Icon::None);
    QCOMPARE(f.prompts->calls()[0].title, QStringLiteral("tarnProps"));
    QVERIFY(f.window->isVisible());
    QVERIFY(f.applyEnabled());

    // The close box asks the same question.
    f.prompts->answerButton(Button::No);
    QVERIFY(f.window->close());
    QCOMPARE(f.prompts->messageTexts(), (QStringList{kQuitQuestion, kQuitQuestion}));
    QCOMPARE(f.storeBytes(), before);
    f.close();

    f.open();
    f.goTo(1, ColName);
    f.type(QStringLiteral("Lake"));
    f.prompts->answerButton(Button::Yes);
    QTest::mouseClick(f.button("cmdQuit"), Qt::LeftButton);
    QVERIFY(!f.window->isVisible());
    QCOMPARE(classNames(f.storeOnDisk(), "Urban").first(), QStringLiteral("Lake"));
}

void TestWindowSaving::quitYesWithFailedSaveStaysOpen()
{
    f.open();
    f.goTo(1, ColName);
    f.type(QStringLiteral("Lake"));
    makeStoreReadOnly(true);
    f.prompts->answerButton(Button::Yes);
    f.prompts->answerButton(Button::Ok);
    QTest::mouseClick(f.button("cmdQuit"), Qt::LeftButton);
    QCOMPARE(f.prompts->messageTexts().size(), 2);
    QVERIFY(f.prompts->messageTexts()[1].startsWith("Failed To Save XML"));
    QVERIFY(f.window->isVisible());
    QVERIFY(f.applyEnabled());
    QCOMPARE(f.cell(1, ColName), QStringLiteral("Lake"));
}

void TestWindowSaving::storeWithoutSetsNeverGetsNamelessSet()
{
    f.open(clsISModelProperties());
    f.type(QStringLiteral("5"));
    f.key(Qt::Key_Return);
    f.button("cmdApply")->click();
    QVERIFY(!f.applyEnabled());
    QCOMPARE(f.storeOnDisk().ISLCDefs->Count(), 0);
    QCOMPARE(f.window->model().ISLCDefs->Count(), 0);

    f.grid()->setFocus();
    f.type(QStringLiteral("6"));
    QVERIFY(f.applyEnabled());
    f.prompts->answerButton(Button::Yes);
    QVERIFY(f.window->close());
    QCOMPARE(f.storeOnDisk().ISLCDefs->Count(), 0);
}

QTEST_MAIN(TestWindowSaving)
#include "tst_windowsaving.moc"
