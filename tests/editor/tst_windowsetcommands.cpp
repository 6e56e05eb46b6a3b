#include "editor/frmaddlctype.h"
#include "editorfixture.h"

namespace {
const QStringList kStandardSets{"Urban", "rural Lands", "Empty"};
} // namespace

// New, Import, Export and Merge: list, model and store file agree after every path.
class TestWindowSetCommands : public QObject {
    Q_OBJECT
    EditorFixture f;

    frmAddLCType* openNewDialog()
    {
        f.click("cmdNew");
        return f.window->addDialog();
    }
    QString importFile(const QByteArray& bytes)
    {
        const QString path = f.dir.filePath(QStringLiteral("import.csv"));
        writeFile(path, bytes);
        return path;
    }
    // The list, the model and the store hold the same sets.
    void checkSets(const QStringList& names)
    {
        QCOMPARE(f.listEntries(), names);
        QCOMPARE(setNames(f.window->model()), names);
        QCOMPARE(setNames(f.storeOnDisk()), names);
    }

private slots:
    void cleanup() { f.cleanup(); }

    void setCommandsAskToSaveFirst_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("question");
        const QString start = "Changes to the current coefficient set must be saved before ";
        QTest::newRow("New") << "cmdNew" << start + "adding a new coefficient set. ";
        QTest::newRow("Import") << "CmdImport" << start + "importng a new coefficient set. ";
        QTest::newRow("Export") << "CmdExport" << start + "export a new coefficient set. ";
        QTest::newRow("Merge") << "CmdMerge" << start + "adding new coefficient sets. ";
    }
    void setCommandsAskToSaveFirst()
    {
        QFETCH(QString, command);
        QFETCH(QString, question);
        f.open();
        const QByteArray before = f.storeBytes();
        f.edit(1, ColName, QStringLiteral("Lake"));
        f.prompts->answerButton(Button::No);
        f.click(command.toLatin1().constData());
        QCOMPARE(f.prompts->messageTexts(),
                 QStringList{question +
                             "\r\n Click 'Yes' to save changes and proceed, or 'No' to return."});
        QCOMPARE(f.prompts->calls().size(), 1); // No opens nothing
        QVERIFY(!f.window->addDialog());
        QVERIFY(f.applyEnabled());
        QCOMPARE(f.storeBytes(), before);
    }

    void newDialogChecksTheNameAndEnablesTheList()
    {
        f.open();
        frmAddLCType* dialog = openNewDialog();
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        auto* name = dialog->findChild<QLineEdit*>("txtLCType");
        auto* list = dialog->findChild<QComboBox*>("cboLCType");
        auto* ok = dialog->findChild<QPushButton*>("cmdOK");
        QCOMPARE(dialog->focusWidget(), name);
        QVERIFY(!list->isEnabled());
        QTest::keyClick(name, Qt::Key_Tab);
        QTest::keyClick(dialog->focusWidget(), Qt::Key_Space); // "Model after existing ..."
        QVERIFY(list->isEnabled());

        f.prompts->answerButton(Button::Ok);
        QTest::keyClicks(name, QStringLiteral(" URBAN "));
        QTest::mouseClick(ok, Qt::LeftButton);
        QCOMPARE(f.prompts->messageTexts(),
                 QStringList{"Coefficient Set must be unique - ' URBAN ' is already defined."});
        name->setText(QStringLiteral("   "));
        f.prompts->answerButton(Button::Ok);
        QTest::mouseClick(ok, Qt::LeftButton);
        QCOMPARE(f.prompts->messageTexts().last(),
                 QStringLiteral("Coefficient Set name must not be empty."));
        QCOMPARE(f.window->addDialog(), dialog);
        name->clear(); // OK with an empty box acts as Cancel
        QTest::mouseClick(ok, Qt::LeftButton);
        QVERIFY(!f.window->addDialog());
        QCOMPARE(f.listEntries(), kStandardSets);
        QVERIFY(!f.applyEnabled());
    }

    void newSetShowsBlankRowsOrACopy_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("modelAfter"); // -2: not checked, -1: checked, no set chosen
        QTest::addColumn<QStringList>("secondRow");
        const QStringList blank{"", "", "", "", ""};
        QTest::newRow("empty, outer blanks dropped") << " Forest " << -2 << blank;
        QTest::newRow("checked, no set chosen") << "Forest" << -1 << blank;
        QTest::newRow("modelled after rural Lands")
            << "Forest" << 1 << QStringList{"81", "Pasture", "2", "1", "0.25"};
    }
    void newSetShowsBlankRowsOrACopy()
    {
        QFETCH(QString, typed);
        QFETCH(int, modelAfter);
        QFETCH(QStringList, secondRow);
        f.open();
        frmAddLCType* dialog = openNewDialog();
        QTest::keyClicks(dialog->findChild<QLineEdit*>("txtLCType"), typed);
        dialog->findChild<QCheckBox*>("ChkModelAfter")->setChecked(modelAfter > -2);
        dialog->findChild<QComboBox*>("cboLCType")->setCurrentIndex(std::max(modelAfter, -1));
        QTest::keyClick(dialog->findChild<QLineEdit*>("txtLCType"), Qt::Key_Return);
        QCOMPARE(f.listEntries(), kStandardSets + QStringList{"Forest"});
        QCOMPARE(f.list()->currentIndex(), 3);
        QCOMPARE(f.window->shownSet(), 3);
        QCOMPARE(f.grid()->rowCount(), 3);
        QCOMPARE(f.cell(0, ColHigh), QStringLiteral("High"));
        QCOMPARE(f.row(2), secondRow);
        QVERIFY(f.applyEnabled());
        QCOMPARE(setNames(f.window->model()), kStandardSets); // stored on Apply only

        f.edit(1, ColName, QStringLiteral("Hay"));
        f.click("cmdApply");
        checkSets(kStandardSets + QStringList{"Forest"});
        // Blank rows are dropped; a copy shares no rows with its model.
        const QStringList expected{"Hay", secondRow[1]};
        QCOMPARE(classNames(f.storeOnDisk(), "Forest"), expected.mid(0, modelAfter >= 0 ? 2 : 1));
        QCOMPARE(classNames(f.storeOnDisk(), "rural Lands"), (QStringList{"Forest", "Pasture"}));
    }

    void importAddsSetAtEndWithoutChangingShownSet()
    {
        f.open();
        const QString path = importFile("Value,ClassName,High,Medium,Low\r\n"
                                        "0,\"Unclassified\",0,0,0\r\n12.0,Road , 100,50.5,0\r\n");
        f.prompts->answerPath(" " + path + " ");
        f.prompts->answerText(QStringLiteral("urban"));
        f.click("CmdImport");
        QCOMPARE(f.prompts->calls()[0].file.options,
                 Prompts::FileOptions(Prompts::FileOption::MustExist));
        QCOMPARE(f.prompts->calls().size(), 2);
        checkSets(kStandardSets + QStringList{"urban"});
        QCOMPARE(classNames(f.storeOnDisk(), "urban"), (QStringList{"\"Unclassified\"", "Road"}));
        QCOMPARE(f.storeOnDisk().ISLCDefs->find("urban")->LCClasses->Item(2)->LCMed, 50.5f);
        QCOMPARE(f.list()->currentIndex(), 0);
        QCOMPARE(f.window->shownSet(), 0);
        QCOMPARE(f.cell(1, ColName), QStringLiteral("Water"));
        QVERIFY(!f.applyEnabled());
    }

    void failedImportOrMergeChangesNothing_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("answers");  // a button, or "=" and the text typed
        QTest::addColumn<QStringList>("messages"); // %1: the file
        QTest::addColumn<QString>("title");        // of the last box; empty: not checked
        const QString unique = "Coefficient Set name must be unique. Please reenter.";
        QTest::newRow("import asks again for a taken name, stops on Cancel")
            << "CmdImport" << QByteArray("1,a,1,1,1\r\n")
            << QStringList{"=Urban", "Ok", "= Empty ", "Ok", "=  "} << QStringList{unique, unique}
            << "";
        QTest::newRow("import of a comma in a name")
            << "CmdImport" << QByteArray("1,a,1,1,1\r\n2,b,c,1,1,1\r\n")
            << QStringList{"=New", "Ok"}
            << QStringList{"Incorrect number of fields detected in your import file %1. "
                           "Expecting an ascii comma-separated file containing rows with the "
                           "following columns 'Value,ClassName,High,Medium,Low'. All fields "
                           "must be numeric except 'ClassName'."}
            << "Coefficient Import Unsuccessful";
        QTest::newRow("merge of a broken store")
            << "CmdMerge" << QByteArray("<ISModelProperties><ISLCDefs>") << QStringList{"Cancel"}
            << QStringList{"Failed To Load XML - Invalid file format."} << "";
    }
    void failedImportOrMergeChangesNothing()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, file);
        QFETCH(QStringList, answers);
        QFETCH(QStringList, messages);
        QFETCH(QString, title);
        f.open();
        const QByteArray before = f.storeBytes();
        const QString path = importFile(file);
        f.prompts->answerPath(path);
        for (const QString& answer : answers) {
            if (answer.startsWith('=')) {
                f.prompts->answerText(answer.mid(1));
            } else {
                f.prompts->answerButton(answer == "Ok" ? Button::Ok : Button::Cancel);
            }
        }
        f.click(command.toLatin1().constData());
        QCOMPARE(f.prompts->messageTexts(), messages.replaceInStrings("%1", path));
        QVERIFY(title.isEmpty() || f.prompts->calls().last().title == title);
        checkSets(kStandardSets);
        QCOMPARE(f.storeBytes(), before);
    }

    void exportWritesTheSavedSetNotTheGrid()
    {
        f.open();
        const QString path = f.dir.filePath(QStringLiteral("out.txt"));
        f.prompts->answerPath(QString()); // cancelled
        f.click("CmdExport");
        QVERIFY(!QFile::exists(path));
        f.edit(2, ColName, QStringLiteral("Parks"));
        f.prompts->answerButton(Button::Yes);
        f.prompts->answerPath(path);
        f.click("CmdExport");
        QCOMPARE(f.prompts->calls().last().file.defaultSuffix, QStringLiteral(".txt"));
        QCOMPARE(f.prompts->calls().last().file.options,
                 Prompts::FileOptions(Prompts::FileOption::ConfirmOverwrite));
        QCOMPARE(readFile(path), QByteArray("Value,ClassName,High,Medium,Low\r\n11,Water,0,0,0\r\n"
                                            "21,Parks,12.5,10,5\r\n22,Low Intensity,40,35,30\r\n"
                                            "23,Medium Intensity,75,65,50\r\n"));
        QVERIFY(!f.applyEnabled());
    }

    void mergeRenamesTakenNamesUntilFree()
    {
        f.open(modelOf(kStandardSets + QStringList{"Urban2"}));
        const QString other = f.dir.filePath(QStringLiteral("other.xml"));
        QVERIFY(SaveModelXML(modelOf({"Urban|5,Five,5,5,5", "Forest", "Forest", "urban"}), other));
        f.prompts->answerPath(other);
        f.prompts->answerButton(Button::Ok);
        f.click("CmdMerge");
        QCOMPARE(f.prompts->messageTexts(),
                 QStringList{"Coefficient sets were found with the duplicate names. A '2' was "
                             "appended to the names of all duplicates."});
        QCOMPARE(f.prompts->calls().last().icon, Icon::Information);
        checkSets(kStandardSets + QStringList{"Urban2", "Urban22", "Forest", "Forest2", "urban"});
        QCOMPARE(classNames(f.storeOnDisk(), "Urban22"), QStringList{"Five"});
        QCOMPARE(f.list()->currentIndex(), 0);
    }
};

QTEST_MAIN(TestWindowSetCommands)
#include "tst_windowsetcommands.moc"
