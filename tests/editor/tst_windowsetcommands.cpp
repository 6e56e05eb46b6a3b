#include "coefficientfile.h"
#include "editorfixture.h"
#include "frmaddlctype.h"

#include <QCheckBox>
#include <QLabel>

using namespace GridRules;
using FileOption = Prompts::FileOption;

namespace {

const QString kClosing =
    QStringLiteral(" Click 'Yes' to save changes and proceed, or 'No' to return.");
const QString kExpecting = QStringLiteral(
    "Expecting an ascii comma-separated file containing rows with the following columns "
    "'Value,ClassName,High,Medium,Low'. All fields must be numeric except 'ClassName'.");

QStringList listEntries(const QComboBox* list)
{
    QStringList names;
    for (int i = 0; i < list->count(); ++i) {
        names << list->itemText(i);
    }
    return names;
}

QStringList setNames(const clsISModelProperties& model)
{
    QStringList names;
    for (const ISLCDefPtr& set : *model.ISLCDefs) {
        names << set->LCType;
    }
    return names;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

// New, Import, Export and Merge: list, model and store file agree after every path.
class TestWindowSetCommands : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void newDialogStartsWithNameBoxAndDisabledList();
    void newRefusesTakenAndBlankNamesAndTreatsEmptyAsCancel();
    void newEmptySetShowsTwoBlankRowsAndSavesWithoutRows();
    void newModelledAfterCopiesRowsOnly();
    void newAsksSaveQuestionFirst();

    void importAddsSetAtEndWithoutChangingShownSet();
    void importAsksAgainForTakenNameAndStopsOnCancel();
    void importFailureRemovesSetAndTouchesNothing_data();
    void importFailureRemovesSetAndTouchesNothing();
    void importOfUnreadableFileIsExplained();
    void importWithFailedStoreSaveKeepsSetInList();

    void exportWritesTheSavedSetNotTheGrid();
    void exportToUnwritablePathIsExplained();
    void exportThenImportOfBundledSetsGivesSameRows();

    void mergeRenamesTakenNamesUntilFree();
    void mergeLoadFailuresChangeNothing();

private:
    frmAddLCType* openNewDialog();
    QString importFile(const QByteArray& bytes);
    EditorFixture f;
};

void TestWindowSetCommands::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("^ScriptedPrompts: unexpected")));
    QVERIFY(f.dir.isValid());
}

void TestWindowSetCommands::cleanup()
{
    QFile::setPermissions(f.storePath(), QFile::ReadOwner | QFile::WriteOwner);
    f.close();
}

frmAddLCType* TestWindowSetCommands::openNewDialog()
{
    QTest::mouseClick(f.button("cmdNew"), Qt::LeftButton);
    return f.window->addDialog();
}

QString TestWindowSetCommands::importFile(const QByteArray& bytes)
{
    const QString path = f.dir.filePath(QStringLiteral("import.csv"));
    writeFile(path, bytes);
    return path;
}

void TestWindowSetCommands::newDialogStartsWithNameBoxAndDisabledList()
{
    f.open();
    frmAddLCType* dialog = openNewDialog();
    QVERIFY(dialog);
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Add Coefficient Set"));
    QVERIFY(dialog->isModal());
    auto* name = dialog->findChild<QLineEdit*>("txtLCType");
    auto* check = dialog->findChild<QCheckBox*>("ChkModelAfter");
    auto* list = dialog->findChild<QComboBox*>("cboLCType");
    QCOMPARE(dialog->focusWidget(), name);
    QCOMPARE(listEntries(list), (QStringList{"Urban", "rural Lands", "Empty"}));
    QCOMPARE(list->currentIndex(), -1);
    QVERIFY(!check->isChecked());
    QVERIFY(!list->isEnabled());
    QTest::keyClick(name, Qt::Key_Tab);
    QCOMPARE(dialog->focusWidget(), check);
    QTest::keyClick(check, Qt::Key_Space);
    QVERIFY(list->isEnabled());
    QVERIFY(dialog->findChild<QLabel*>("label1_1")->isEnabled());
    QTest::mouseClick(dialog->findChild<QPushButton*>("cmdCancel"), Qt::LeftButton);
    QVERIFY(!f.window->addDialog());
    QCOMPARE(f.list()->count(), 3);
    QVERIFY(!f.applyEnabled());
}

void TestWindowSetCommands::newRefusesTakenAndBlankNamesAndTreatsEmptyAsCancel()
{
    f.open();
    frmAddLCType* dialog = openNewDialog();
    auto* name = dialog->findChild<QLineEdit*>("txtLCType");
    auto* ok = dialog->findChild<QPushButton*>("cmdOK");
    f.prompts->answerButton(Button::Ok);
    QTest::keyClicks(name, QStringLiteral(" URBAN "));
    QTest::mouseClick(ok, Qt::LeftButton);
    QCOMPARE(f.prompts->messageTexts(),
             QStringList{"Coefficient Set must be unique - ' URBAN ' is already defined."});
    QCOMPARE(f.prompts->calls().last().icon, Icon::Exclamation);
    QCOMPARE(f.window->addDialog(), dialog);
    QCOMPARE(name->text(), QStringLiteral(" URBAN "));

    name->setText(QStringLiteral("   "));
    f.prompts->answerButton(Button::Ok);
    QTest::mouseClick(ok, Qt::LeftButton);
    QCOMPARE(f.prompts->messageTexts().last(),
             QStringLiteral("Coefficient Set name must not be empty."));
    QCOMPARE(f.window->addDialog(), dialog);

    name->clear();
    QTest::mouseClick(ok, Qt::LeftButton);
    QVERIFY(!f.window->addDialog());
    QCOMPARE(f.list()->count(), 3);
    QCOMPARE(f.grid()->rowCount(), 5);
    QVERIFY(!f.applyEnabled());
}

void TestWindowSetCommands::newEmptySetShowsTwoBlankRowsAndSavesWithoutRows()
{
    f.open();
    frmAddLCType* dialog = openNewDialog();
    QTest::keyClicks(dialog->findChild<QLineEdit*>("txtLCType"), QStringLiteral(" Forest "));
    QTest::keyClick(dialog->findChild<QLineEdit*>("txtLCType"), Qt::Key_Return);
    QVERIFY(!f.window->addDialog());
    QCOMPARE(listEntries(f.list()).last(), QStringLiteral("Forest"));
    QCOMPARE(f.list()->currentIndex(), 3);
    QCOMPARE(f.window->shownSet(), 3);
    QCOMPARE(f.grid()->rowCount(), 3);
    QCOMPARE(f.row(1), (QStringList{"", "", "", "", ""}));
    QCOMPARE(f.row(2), (QStringList{"", "", "", "", ""}));
    QCOMPARE(f.cell(0, ColHigh), QStringLiteral("High"));
    QVERIFY(f.applyEnabled());
    QCOMPARE(f.focused(), f.list());
    QCOMPARE(setNames(f.window->model()), (QStringList{"Urban", "rural Lands", "Empty"}));

    f.button("cmdApply")->click();
    const ISLCDefPtr forest = f.storeOnDisk().ISLCDefs->find("Forest");
    QVERIFY(forest);
    QCOMPARE(forest->LCClasses->Count(), 0);
}

void TestWindowSetCommands::newModelledAfterCopiesRowsOnly()
{
    f.open();
    frmAddLCType* dialog = openNewDialog();
    QTest::keyClicks(dialog->findChild<QLineEdit*>("txtLCType"), QStringLiteral("Copy"));
    dialog->findChild<QCheckBox*>("ChkModelAfter")->setChecked(true);
    dialog->findChild<QComboBox*>("cboLCType")->setCurrentIndex(1);
    QTest::mouseClick(dialog->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
    QCOMPARE(f.grid()->rowCount(), 3);
    QCOMPARE(f.row(2), (QStringList{"81", "Pasture", "2", "1", "0.25"}));
    f.goTo(2, ColName);
    f.type(QStringLiteral("Hay"));
    f.button("cmdApply")->click();
    const clsISModelProperties disk = f.storeOnDisk();
    QCOMPARE(setNames(disk), (QStringList{"Urban", "rural Lands", "Empty", "Copy"}));
    QCOMPARE(disk.ISLCDefs->find("Copy")->LCClasses->Item(2)->LCName, QStringLiteral("Hay"));
    QCOMPARE(disk.ISLCDefs->find("rural Lands")->LCClasses->Item(2)->LCName,
             QStringLiteral("Pasture"));

    // Checked without a chosen set: two blank rows.
    dialog = openNewDialog();
    QTest::keyClicks(dialog->findChild<QLineEdit*>("txtLCType"), QStringLiteral("Other"));
    dialog->findChild<QCheckBox*>("ChkModelAfter")->setChecked(true);
    QTest::mouseClick(dialog->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
    QCOMPARE(f.grid()->rowCount(), 3);
    QCOMPARE(f.row(1), (QStringList{"", "", "", "", ""}));
}

void TestWindowSetCommands::newAsksSaveQuestionFirst()
{
    f.open();
    f.goTo(1, ColName);
    f.type(QStringLiteral("Lake"));
    f.prompts->answerButton(Button::No);
    QVERIFY(!openNewDialog());
    QCOMPARE(f.prompts->messageTexts(),
             QStringList{QStringLiteral("Changes to the current coefficient set must be saved "
                                        "before adding a new coefficient set. \r\n") +
                         kClosing});
    f.prompts->answerButton(Button::Yes);
    frmAddLCType* dialog = openNewDialog();
    QVERIFY(dialog);
    QVERIFY(!f.applyEnabled());
    QCOMPARE(f.storeOnDisk().ISLCDefs->Item(1)->LCClasses->Item(1)->LCName, QStringLiteral("Lake"));
    dialog->reject();
}

void TestWindowSetCommands::importAddsSetAtEndWithoutChangingShownSet()
{
    f.open();
    const QString path = importFile("Value,ClassName,High,Medium,Low\r\n"
                                    "0,\"Unclassified\",0,0,0\r\n"
                                    "12.0,Road , 100,50.5,0\r\n"
                                    "VALUE,x,y,z,w\r\n");
    f.prompts->answerPath(QStringLiteral(" ") + path + QStringLiteral(" "));
    f.prompts->answerText(QStringLiteral("urban"));
    QTest::mouseClick(f.button("CmdImport"), Qt::LeftButton);
    const ScriptedPrompts::Call& dialog = f.prompts->calls()[0];
    QCOMPARE(dialog.kind, ScriptedPrompts::Kind::OpenFile);
    QCOMPARE(dialog.file.title, QStringLiteral("Impervious Surface Coefficient File to Import"));
    QCOMPARE(dialog.file.filter, QStringLiteral("Coefficient Text File(*.txt;*.csv)|*.txt;*.csv"));
    QCOMPARE(dialog.file.options, Prompts::FileOptions(FileOption::MustExist));
    QCOMPARE(f.prompts->calls()[1].text, QStringLiteral("Enter new Coefficient Set name"));
    QCOMPARE(f.prompts->calls()[1].title, QStringLiteral("Import"));
    QCOMPARE(f.prompts->calls().size(), 2);

    QCOMPARE(listEntries(f.list()), (QStringList{"Urban", "rural Lands", "Empty", "urban"}));
    QCOMPARE(f.list()->currentIndex(), 0);
    QCOMPARE(f.window->shownSet(), 0);
    QCOMPARE(f.cell(1, ColName), QStringLiteral("Water"));
    QVERIFY(!f.applyEnabled());
    const ISLCDefPtr imported = f.storeOnDisk().ISLCDefs->find("urban");
    QVERIFY(imported);
    QCOMPARE(imported->LCClasses->Count(), 2);
    QCOMPARE(imported->LCClasses->Item(1)->LCName, QStringLiteral("\"Unclassified\""));
    QCOMPARE(imported->LCClasses->Item(2)->ID, 12);
    QCOMPARE(imported->LCClasses->Item(2)->LCMed, 50.5f);
}

void TestWindowSetCommands::importAsksAgainForTakenNameAndStopsOnCancel()
{
    f.open();
    const QByteArray before = f.storeBytes();
    const QString path = importFile("1,a,1,1,1\r\n");
    f.prompts->answerPath(path);
    f.prompts->answerText(QStringLiteral("Urban"));
    f.prompts->answerButton(Button::Ok);
    f.prompts->answerText(QStringLiteral(" Empty "));
    f.prompts->answerButton(Button::Ok);
    f.prompts->answerText(QStringLiteral("  "));
    f.button("CmdImport")->click();
    QCOMPARE(f.prompts->messageTexts(),
             (QStringList{"Coefficient Set name must be unique. Please reenter.",
                          "Coefficient Set name must be unique. Please reenter."}));
    QCOMPARE(f.prompts->calls().size(), 6);
    QCOMPARE(f.list()->count(), 3);
    QCOMPARE(f.window->model().ISLCDefs->Count(), 3);
    QCOMPARE(f.storeBytes(), before);

    // With unsaved edits, No to the save question opens nothing.
    f.goTo(1, ColName);
    f.type(QStringLiteral("x"));
    f.prompts->answerButton(Button::No);
    f.button("CmdImport")->click();
    QCOMPARE(f.prompts->messageTexts().last(),
             QStringLiteral("Changes to the current coefficient set must be saved before "
                            "importng a new coefficient set. \r\n") +
                 kClosing);
    QCOMPARE(f.prompts->calls().last().kind, ScriptedPrompts::Kind::Message);
}

void TestWindowSetCommands::importFailureRemovesSetAndTouchesNothing_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("rest");

    const QString f1 = "Incorrect number of fields detected in your import file ";
    const QString f2 = "Invalid or incorrectly formated data in import file ";
    const QString f3 = "Invalid class ID in the Value column within import file ";
    const QString f4 = "Invalid coefficient in import file ";
    QTest::newRow("comma in name") << QByteArray("1,a,1,1,1\r\n2,b,c,1,1,1\r\n") << f1 << ". ";
    QTest::newRow("blank last line") << QByteArray("1,a,1,1,1\r\n\r\n") << f1 << ". ";
    QTest::newRow("header with blank") << QByteArray("Value ,a,b,c,d\r\n") << f2 << ". ";
    QTest::newRow("letter value") << QByteArray("x,a,1,1,1\r\n") << f2 << ". ";
    QTest::newRow("fraction value")
        << QByteArray("12.5,a,1,1,1\r\n") << f3 << ". Class ID must be a positive integer. ";
    QTest::newRow("negative value")
        << QByteArray("-1,a,1,1,1\r\n") << f3 << ". Class ID must be a positive integer. ";
    QTest::newRow("value beyond 32 bits")
        << QByteArray("4294967296,a,1,1,1\r\n") << f3 << ". Class ID must be a positive integer. ";
    QTest::newRow("low above 100") << QByteArray("1,a,1,1,100.01\r\n") << f4
                                   << ". Coefficients must be between 0-100 (inclusive). ";
    QTest::newRow("medium below 0") << QByteArray("1,a,1,-0.5,1\r\n") << f4
                                    << ". Coefficients must be between 0-100 (inclusive). ";
}

void TestWindowSetCommands::importFailureRemovesSetAndTouchesNothing()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, start);
    QFETCH(QString, rest);
    f.open();
    const QByteArray before = f.storeBytes();
    const QString path = importFile(content);
    f.prompts->answerPath(path);
    f.prompts->answerText(QStringLiteral("New"));
    f.prompts->answerButton(Button::Ok);
    f.button("CmdImport")->click();
    QCOMPARE(f.prompts->messageTexts(), QStringList{start + path + rest + kExpecting});
    QCOMPARE(f.prompts->calls().last().title, QStringLiteral("Coefficient Import Unsuccessful"));
    QCOMPARE(f.prompts->calls().last().icon, Icon::Critical);
    QCOMPARE(f.prompts->calls().last().buttons, Buttons::Ok);
    QCOMPARE(setNames(f.window->model()), (QStringList{"Urban", "rural Lands", "Empty"}));
    QCOMPARE(f.list()->count(), 3);
    QCOMPARE(f.storeBytes(), before);
}

void TestWindowSetCommands::importOfUnreadableFileIsExplained()
{
    f.open();
    const QByteArray before = f.storeBytes();
    f.prompts->answerPath(f.dir.path());
    f.prompts->answerText(QStringLiteral("New"));
    f.prompts->answerButton(Button::Ok);
    f.button("CmdImport")->click();
    QCOMPARE(f.prompts->messageTexts(),
             QStringList{cannotReadMessage(f.dir.path(), QStringLiteral("it is a folder"))});
    QCOMPARE(f.window->model().ISLCDefs->Count(), 3);
    QCOMPARE(f.list()->count(), 3);
    QCOMPARE(f.storeBytes(), before);
}

void TestWindowSetCommands::importWithFailedStoreSaveKeepsSetInList()
{
    f.open(clsISModelProperties());
    QFile::setPermissions(f.storePath(), QFile::ReadOwner);
    f.prompts->answerPath(importFile("Value,ClassName,High,Medium,Low\r\n"));
    f.prompts->answerText(QStringLiteral("Only"));
    f.prompts->answerButton(Button::Ok);
    f.button("CmdImport")->click();
    QCOMPARE(f.prompts->messageTexts(),
             QStringList{QStringLiteral("Failed To Save XML - verify the permissions to write to "
                                        "file '") +
                         f.storePath() + QStringLiteral("'.")});
    QCOMPARE(f.prompts->calls().last().title, QStringLiteral("Coefficient Import Unsuccessful"));
    QCOMPARE(listEntries(f.list()), QStringList{"Only"});
    QCOMPARE(f.list()->currentIndex(), -1); // an empty list gets no selection either
    QCOMPARE(setNames(f.window->model()), QStringList{"Only"});
}

void TestWindowSetCommands::exportWritesTheSavedSetNotTheGrid()
{
    f.open();
    const QString path = f.dir.filePath(QStringLiteral("out.txt"));
    f.prompts->answerPath(QString()); // cancelled
    f.button("CmdExport")->click();
    QVERIFY(!QFile::exists(path));

    f.goTo(2, ColName);
    f.type(QStringLiteral("Parks"));
    f.prompts->answerButton(Button::No);
    f.button("CmdExport")->click();
    QCOMPARE(f.prompts->messageTexts().last(),
             QStringLiteral("Changes to the current coefficient set must be saved before export a "
                            "new coefficient set. \r\n") +
                 kClosing);

    f.prompts->answerButton(Button::Yes);
    f.prompts->answerPath(path);
    f.button("CmdExport")->click();
    const ScriptedPrompts::Call& dialog = f.prompts->calls().last();
    QCOMPARE(dialog.kind, ScriptedPrompts::Kind::SaveFile);
    QCOMPARE(dialog.file.title,
             QStringLiteral("Export Impervious Surface Coefficients into Filename"));
    QCOMPARE(dialog.file.defaultSuffix, QStringLiteral(".txt"));
    QCOMPARE(dialog.file.options, Prompts::FileOptions(FileOption::ConfirmOverwrite));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("Value,ClassName,High,Medium,Low\r\n"
                                        "11,Water,0,0,0\r\n"
                                        "21,Parks,12.5,10,5\r\n"
                                        "22,Low Intensity,40,35,30\r\n"
                                        "23,Medium Intensity,75,65,50\r\n"));
    QVERIFY(!f.applyEnabled());
}

void TestWindowSetCommands::exportToUnwritablePathIsExplained()
{
    f.open();
    const QString path = f.dir.filePath(QStringLiteral("missing/out.txt"));
    f.prompts->answerPath(path);
    f.prompts->answerButton(Button::Ok);
    f.button("CmdExport")->click();
    QCOMPARE(f.prompts->calls().last().icon, Icon::Critical);
    QVERIFY(f.prompts->messageTexts().last().startsWith(
        QStringLiteral("The file '") + path + QStringLiteral("' could not be written: ")));
    QCOMPARE(f.window->model().ISLCDefs->Count(), 3);
    QVERIFY(f.window->isVisible());
}

void TestWindowSetCommands::exportThenImportOfBundledSetsGivesSameRows()
{
    clsISModelProperties bundled;
    QVERIFY(LoadModelXML(bundled, QStringLiteral(TARN_SOURCE_DIR "/etc/isprops.xml")));
    QVERIFY(bundled.ISLCDefs->Count() > 0);
    f.open(bundled);
    const int sets = bundled.ISLCDefs->Count();
    for (int i = 0; i < sets; ++i) {
        f.list()->setCurrentIndex(i);
        const QString path = f.dir.filePath(QStringLiteral("set%1.csv").arg(i));
        f.prompts->answerPath(path);
        f.button("CmdExport")->click();
        f.prompts->answerPath(path);
        f.prompts->answerText(QStringLiteral("Copy %1").arg(i));
        f.button("CmdImport")->click();
    }
    QCOMPARE(f.prompts->messageTexts(), QStringList());
    const clsISModelProperties disk = f.storeOnDisk();
    QCOMPARE(disk.ISLCDefs->Count(), 2 * sets);
    for (int i = 1; i <= sets; ++i) {
        const ISLCDefPtr original = disk.ISLCDefs->Item(i);
        const ISLCDefPtr copy = disk.ISLCDefs->Item(sets + i);
        QCOMPARE(copy->LCType, QStringLiteral("Copy %1").arg(i - 1));
        original->LCType = copy->LCType;
        QCOMPARE(copy->XML(), original->XML());
    }
}

void TestWindowSetCommands::mergeRenamesTakenNamesUntilFree()
{
    clsISModelProperties model = standardModel();
    model.ISLCDefs->Add(makeSet(QStringLiteral("Urban2"), {}));
    f.open(model);
    clsISModelProperties other;
    other.ISLCDefs->Add(makeSet(QStringLiteral("Urban"), {{5, "Five", 5, 5, 5}}));
    other.ISLCDefs->Add(makeSet(QStringLiteral("Forest"), {}));
    other.ISLCDefs->Add(makeSet(QStringLiteral("Forest"), {}));
    other.ISLCDefs->Add(makeSet(QStringLiteral("urban"), {}));
    const QString otherPath = f.dir.filePath(QStringLiteral("other.xml"));
    QVERIFY(SaveModelXML(other, otherPath));

    f.prompts->answerPath(otherPath);
    f.prompts->answerButton(Button::Ok);
    f.button("CmdMerge")->click();
    QCOMPARE(f.prompts->calls()[0].file.title, QStringLiteral("TARN Coefficient File to Merge"));
    QCOMPARE(f.prompts->calls()[0].file.filter,
             QStringLiteral("TARN Coefficient File (*.xml)|*.xml"));
    QCOMPARE(f.prompts->messageTexts(),
             QStringList{"Coefficient sets were found with the duplicate names. A '2' was "
                         "appended to the names of all duplicates."});
    QCOMPARE(f.prompts->calls().last().icon, Icon::Information);
    const QStringList expected{"Urban",   "rural Lands", "Empty",   "Urban2",
                               "Urban22", "Forest",      "Forest2", "urban"};
    QCOMPARE(listEntries(f.list()), expected);
    QCOMPARE(setNames(f.window->model()), expected);
    QCOMPARE(setNames(f.storeOnDisk()), expected);
    QCOMPARE(f.storeOnDisk().ISLCDefs->find("Urban22")->LCClasses->Item(1)->LCName,
             QStringLiteral("Five"));
    QCOMPARE(f.list()->currentIndex(), 0);
    QCOMPARE(f.window->shownSet(), 0);
}

void TestWindowSetCommands::mergeLoadFailuresChangeNothing()
{
    f.open();
    const QByteArray before = f.storeBytes();
    const QString broken = f.dir.filePath(QStringLiteral("broken.xml"));
    writeFile(broken, "<ISModelProperties><ISLCDefs>");
    f.prompts->answerPath(broken);
    f.prompts->answerButton(Button::Cancel);
    f.button("CmdMerge")->click();
    QCOMPARE(f.prompts->messageTexts(), QStringList{"Failed To Load XML - Invalid file format."});
    QCOMPARE(f.prompts->calls().last().icon, Icon::Exclamation);
    QCOMPARE(f.prompts->calls().last().buttons, Buttons::OkCancel);

    f.prompts->answerPath(f.dir.path());
    f.prompts->answerButton(Button::Ok);
    f.button("CmdMerge")->click();
    QVERIFY(f.prompts->messageTexts().last().startsWith(
        QStringLiteral("The file '") + f.dir.path() + QStringLiteral("' could not be read: ")));

    f.prompts->answerPath(QString());
    f.button("CmdMerge")->click();
    QCOMPARE(f.list()->count(), 3);
    QCOMPARE(f.window->model().ISLCDefs->Count(), 3);
    QCOMPARE(f.storeBytes(), before);
}

QTEST_MAIN(TestWindowSetCommands)
#include "tst_windowsetcommands.moc"
