#include "editorfixture.h"
#include "model/storelock.h"

// Apply, set switching, Quit and the close box, checked against the store file on disk.
class TestWindowSaving : public QObject {
    Q_OBJECT
    EditorFixture f;

private slots:
    void cleanup() { f.cleanup(); }

    void applyWritesGridToStoreAndTrimsDeletedRowsFromTheEnd()
    {
        f.open();
        f.prompts->answerButton(Button::Yes);
        f.rowCommand(1, ColName, "MnuFGridDelRow");
        f.edit(2, ColHigh, QStringLiteral("33.5"));
        f.key(Qt::Key_Return);
        f.goTo(3, ColMed);
        f.key(Qt::Key_F2);
        f.editor()->clear(); // emptied and still current: stored as 0
        f.click("cmdApply");
        QVERIFY(!f.applyEnabled());
        QCOMPARE(f.focused(), f.list());
        const clsISModelProperties disk = f.storeOnDisk();
        QCOMPARE(classNames(disk, "Urban"),
                 (QStringList{"Open Space", "Low Intensity", "Medium Intensity"}));
        QCOMPARE(disk.ISLCDefs->find("Urban")->LCClasses->Item(2)->LCHigh, 33.5f);
        QCOMPARE(disk.ISLCDefs->find("Urban")->LCClasses->Item(3)->LCMed, 0.0f);
        QCOMPARE(setNames(disk), (QStringList{"Urban", "rural Lands", "Empty"}));
    }

    void pasteIsNotValidatedButTheWriteBackRefusesTheWholeSave()
    {
        f.open();
        const QByteArray before = f.storeBytes();
        f.edit(1, ColName, QStringLiteral("Lake"));
        f.goTo(3, ColLow);
        f.key(Qt::Key_F2);
        f.editor()->selectAll();
        QApplication::clipboard()->setText(QStringLiteral("-"));
        f.key(Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(f.cell(3, ColLow), QStringLiteral("-"));
        QCOMPARE(f.prompts->calls().size(), 0);
        f.goTo(1, ColHigh);
        f.prompts->answerButton(Button::Ok);
        f.click("cmdApply");
        QCOMPARE(f.prompts->messageTexts().size(), 1);
        QVERIFY(f.prompts->messageTexts()[0].startsWith("Row 3, column Low: \"-\" is not"));
        QCOMPARE(f.current(), QPoint(3, ColLow));
        QVERIFY(f.applyEnabled());
        QCOMPARE(f.storeBytes(), before);
        f.type(QStringLiteral("7"));
        f.click("cmdApply");
        QCOMPARE(classNames(f.storeOnDisk(), "Urban").first(), QStringLiteral("Lake"));
    }

    void failedSaveKeepsUnsavedStateForRetry_data()
    {
        QTest::addColumn<QString>("action");   // a button, or "switch" for the set list
        QTest::addColumn<QString>("obstacle"); // "read-only" store, lock "held", lock "folder"
        QTest::addColumn<QString>("savedSet");
        QTest::newRow("Apply") << "cmdApply"
                               << "read-only"
                               << "Urban";
        QTest::newRow("Apply, lock held elsewhere") << "cmdApply"
                                                    << "held"
                                                    << "Urban";
        QTest::newRow("Apply, a folder in the lock's place") << "cmdApply"
                                                             << "folder"
                                                             << "Urban";
        QTest::newRow("set switching") << "switch"
                                       << "read-only"
                                       << "Urban";
        QTest::newRow("Quit") << "cmdQuit"
                              << "read-only"
                              << "Urban";
        QTest::newRow("Import") << "CmdImport"
                                << "read-only"
                                << "Imported";
        QTest::newRow("Merge") << "CmdMerge"
                               << "read-only"
                               << "Merged";
    }
    void failedSaveKeepsUnsavedStateForRetry()
    {
        QFETCH(QString, action);
        QFETCH(QString, obstacle);
        QFETCH(QString, savedSet);
        f.open();
        f.window->setLockWait(50);
        const QByteArray before = f.storeBytes();
        QLockFile otherProgram(f.storePath() + ".lock");
        const bool locked = obstacle != "read-only";
        if (obstacle == "held") {
            QVERIFY(otherProgram.tryLock(0));
        } else if (obstacle == "folder") {
            QVERIFY(QDir().mkdir(f.storePath() + ".lock"));
        } else {
            f.setStoreWritable(false);
        }
        if (action == "CmdImport") {
            const QString csv = f.dir.filePath(QStringLiteral("a.csv"));
            writeFile(csv, "1,Pond,1,1,1\r\n");
            f.prompts->answerPath(csv);
            f.prompts->answerText(savedSet);
        } else if (action == "CmdMerge") {
            const QString other = f.dir.filePath(QStringLiteral("other.xml"));
            QVERIFY(SaveModelXML(modelOf({savedSet}), other));
            f.prompts->answerPath(other);
        } else {
            f.edit(2, ColName, QStringLiteral("Parks"));
            if (action != "cmdApply") {
                f.prompts->answerButton(Button::Yes); // save first
            }
        }
        f.prompts->answerButton(locked ? Button::Ok : Button::Cancel);
        if (action == "switch") {
            f.list()->setCurrentIndex(1);
        } else {
            f.click(action.toLatin1().constData());
        }
        const QStringList texts = f.prompts->messageTexts();
        QVERIFY(!texts.isEmpty());
        const QString expected =
            obstacle == "held" ? StoreLock::busyMessage(f.storePath())
            : locked ? QStringLiteral("'%1.lock' is a folder, not a lock file").arg(f.storePath())
                     : saveFailureMessage(f.storePath());
        QVERIFY2(texts.last().contains(expected), qPrintable(texts.last()));
        QCOMPARE(f.storeBytes(), before);
        QVERIFY(f.window->isVisible());
        QCOMPARE(f.list()->currentIndex(), 0);
        QVERIFY(f.applyEnabled());
        f.prompts->answerButton(Button::Cancel);
        QVERIFY(!f.window->close()); // Quit asks
        QVERIFY(f.prompts->messageTexts().last().startsWith("Changes to the coefficient set"));

        otherProgram.unlock();
        QDir().rmdir(f.storePath() + ".lock");
        f.setStoreWritable(true);
        f.click("cmdApply");
        QVERIFY(!f.applyEnabled());
        QVERIFY(setNames(f.storeOnDisk()).contains(savedSet));
        QCOMPARE(classNames(f.storeOnDisk(), "Urban").at(1),
                 savedSet == "Urban" ? "Parks" : "Open Space");
    }

    void storeChangedByAnotherProgramAsksFirst_data()
    {
        QTest::addColumn<Button>("answer");
        QTest::addColumn<bool>("changedAgainWhileAsking");
        QTest::newRow("Yes replaces it") << Button::Yes << false;
        QTest::newRow("No keeps it and the window's changes") << Button::No << false;
        QTest::newRow("changed again while asking: asked again") << Button::Yes << true;
    }
    void storeChangedByAnotherProgramAsksFirst()
    {
        QFETCH(Button, answer);
        QFETCH(bool, changedAgainWhileAsking);
        f.open();
        f.edit(2, ColName, QStringLiteral("Parks"));
        QVERIFY(SaveModelXML(modelOf({"Other"}), f.storePath()));
        f.prompts->answerButton(answer, [&](const ScriptedPrompts::Call&) {
            if (changedAgainWhileAsking) {
                QVERIFY(SaveModelXML(modelOf({"Third"}), f.storePath()));
            }
        });
        if (changedAgainWhileAsking) {
            f.prompts->answerButton(Button::Yes);
        }
        const QByteArray other = f.storeBytes();
        f.click("cmdApply");
        const QString question =
            "The coefficient store '" + f.storePath() +
            "' has been changed or removed by another program since this window last read or "
            "saved it. \r\n Click 'Yes' to replace it with the coefficient sets of this window "
            "(the other program's changes are lost), or 'No' to keep the file as it is and the "
            "changes of this window unsaved.";
        QCOMPARE(f.prompts->messageTexts(), QStringList(changedAgainWhileAsking ? 2 : 1, question));
        QCOMPARE(f.prompts->calls()[0].buttons, Buttons::YesNo);
        if (answer == Button::No) {
            QCOMPARE(f.storeBytes(), other);
            QVERIFY(f.applyEnabled());
            return;
        }
        QCOMPARE(setNames(f.storeOnDisk()), (QStringList{"Urban", "rural Lands", "Empty"}));
        QCOMPARE(classNames(f.storeOnDisk(), "Urban").at(1), QStringLiteral("Parks"));
        QVERIFY(!f.applyEnabled());
        f.edit(2, ColName, QStringLiteral("Garden")); // its own file now: no question
        f.click("cmdApply");
        QCOMPARE(classNames(f.storeOnDisk(), "Urban").at(1), QStringLiteral("Garden"));
    }

    // Leaving unsaved changes asks first: switching sets, Quit, the close box, the host.
    void leavingUnsavedChangesAsks_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("edited");
        QTest::addColumn<Button>("answer");
        QTest::addColumn<bool>("leaves");
        QTest::newRow("switch, No returns the list") << "switch" << true << Button::No << false;
        QTest::newRow("switch, Yes saves") << "switch" << true << Button::Yes << true;
        QTest::newRow("Quit, nothing unsaved") << "cmdQuit" << false << Button::Ok << true;
        QTest::newRow("Quit, Cancel") << "cmdQuit" << true << Button::Cancel << false;
        QTest::newRow("Quit, No") << "cmdQuit" << true << Button::No << true;
        QTest::newRow("Quit, Yes") << "cmdQuit" << true << Button::Yes << true;
        QTest::newRow("close box, nothing unsaved") << "close" << false << Button::Ok << true;
        QTest::newRow("close box, No") << "close" << true << Button::No << true;
        QTest::newRow("host's {exit}, nothing unsaved") << "{exit}" << false << Button::Ok << true;
        QTest::newRow("host's {exit}, Cancel") << "{exit}" << true << Button::Cancel << false;
        QTest::newRow("host's {exit}, Yes") << "{exit}" << true << Button::Yes << true;
    }
    void leavingUnsavedChangesAsks()
    {
        QFETCH(QString, action);
        QFETCH(bool, edited);
        QFETCH(Button, answer);
        QFETCH(bool, leaves);
        const bool saved = edited && answer == Button::Yes;
        f.open();
        if (edited) {
            f.edit(1, ColName, QStringLiteral("Lake"));
            f.prompts->answerButton(answer);
        }
        if (action == "switch") {
            f.list()->setCurrentIndex(1);
            QCOMPARE(f.list()->currentIndex(), int(leaves));
            QCOMPARE(f.window->shownSet(), int(leaves));
            QCOMPARE(f.cell(1, ColName), leaves ? "Forest" : "Lake");
        } else if (action == "close") {
            QCOMPARE(f.window->close(), leaves);
        } else if (action == "{exit}") {
            QCOMPARE(f.window->HostExecute(action), leaves);
        } else {
            f.click("cmdQuit");
        }
        QCOMPARE(f.window->isVisible(), action == "switch" || !leaves);
        const QString question =
            action == "switch"
                ? "Changes to the current coefficient set must be saved before displaying another "
                  "coefficient set. \r\n Click 'Yes' to save changes to Urban and proceed, or "
                  "'No' to return."
                : "Changes to the coefficient set have not been saved. \r\n Click 'Yes' to save "
                  "changes, 'No' to quit, or 'Cancel' to return.";
        QCOMPARE(f.prompts->messageTexts().value(0), edited ? question : QString());
        if (edited) {
            QCOMPARE(f.prompts->calls()[0].buttons,
                     action == "switch" ? Buttons::YesNo : Buttons::YesNoCancel);
        }
        QCOMPARE(classNames(f.storeOnDisk(), "Urban").first(), saved ? "Lake" : "Water");
        QCOMPARE(f.applyEnabled(), edited && !saved);
    }
};

QTEST_MAIN(TestWindowSaving)
#include "tst_windowsaving.moc"
