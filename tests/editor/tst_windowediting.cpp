#include "editor/frmaddlctype.h"
#include "editorfixture.h"

namespace {
const QString kNotInteger =
    QStringLiteral("Invalid value entered - Class Value must be an integer.");
const QString kNotNumeric = QStringLiteral("Invalid value entered - Coefficients must be numeric.");
const QString kOutOfRange =
    QStringLiteral("Invalid value entered - Coefficients must be between 0-100.");
const QStringList kZeroRow{"0", "", "0", "0", "0"};
const QColor kCurrentColour(255, 255, 192);

// The captions of labels and buttons that their room inside the window does not hold whole.
QStringList cutCaptions(const QWidget* window)
{
    QStringList cut;
    for (const QWidget* w : window->findChildren<QWidget*>()) {
        const auto* label = qobject_cast<const QLabel*>(w);
        const auto* button = qobject_cast<const QAbstractButton*>(w);
        if (!w->isVisibleTo(window) || (!label && !button)) {
            continue;
        }
        const QString text = label ? label->text() : button->text();
        const int visible = w->geometry().intersected(w->parentWidget()->rect()).width();
        // Check boxes need their mark beside the text; push buttons their frame.
        const int needed =
            qobject_cast<const QPushButton*>(w) ? w->fontMetrics().horizontalAdvance(text) + 8
            : button
                ? w->sizeHint().width()
                : w->fontMetrics().horizontalAdvance(text) + w->width() - w->contentsRect().width();
        if (needed > visible) {
            cut << text;
        }
    }
    return cut;
}
} // namespace

// Start-up, host commands and everything the grid does with the keyboard and mouse.
class TestWindowEditing : public QObject {
    Q_OBJECT
    EditorFixture f;

private slots:
    void cleanup() { f.cleanup(); }

    void startUpShowsFirstSetWithValueCellCurrent()
    {
        f.open();
        QCOMPARE(f.listEntries(), (QStringList{"Urban", "rural Lands", "Empty"}));
        QCOMPARE(f.row(4), (QStringList{"23", "Medium Intensity", "75", "65", "50"}));
        QCOMPARE(f.cell(4, ColNumber), QStringLiteral("4"));
        QCOMPARE(f.current(), QPoint(1, ColValue));
        QVERIFY(!f.applyEnabled());
        QCOMPARE(f.prompts->calls().size(), 0);
        // The keys go to the grid: typing edits the current cell, not the set list.
        QCOMPARE(f.focused(), f.grid());
        // The current cell is light yellow whatever has the focus: its corners and the empty
        // right part of it, as drawn.
        for (QWidget* focus : {static_cast<QWidget*>(f.grid()), static_cast<QWidget*>(f.list())}) {
            focus->setFocus();
            const QImage image = f.grid()->viewport()->grab().toImage();
            const QRect cell = f.grid()->visualItemRect(f.grid()->item(1, ColValue));
            for (const QPoint& at :
                 {cell.topLeft() + QPoint(1, 1), cell.topRight() + QPoint(-2, 1),
                  cell.bottomRight() - QPoint(2, 2), QPoint(cell.right() - 4, cell.center().y())}) {
                QCOMPARE(image.pixelColor(at), kCurrentColour);
            }
        }
        f.grid()->setFocus();
        f.type(QStringLiteral("7"));
        QCOMPARE(f.cell(1, ColValue), QStringLiteral("7"));
        QCOMPARE(f.list()->currentIndex(), 0);
    }

    void setChosenWithTheMouseTakesTheKeys()
    {
        f.open();
        f.list()->setFocus();
        f.list()->showPopup();
        QAbstractItemView* view = f.list()->view();
        QTRY_VERIFY(view->isVisible());
        const QPoint item = view->visualRect(view->model()->index(1, 0)).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item);
        QCOMPARE(f.list()->currentIndex(), 1);
        QCOMPARE(f.focused(), f.grid());
        f.list()->setFocus(); // the keyboard in the list keeps the focus there
        f.key(Qt::Key_Down);
        QCOMPARE(f.list()->currentIndex(), 2);
        QCOMPARE(f.focused(), f.list());
    }

    void captionsFitTheFont_data()
    {
        QTest::addColumn<int>("pointSize");
        QTest::newRow("desktop default") << 0;
        QTest::newRow("large") << 14;
    }

    void captionsFitTheFont()
    {
        QFETCH(int, pointSize);
        const QFont desktop = QApplication::font();
        const auto restore = qScopeGuard([desktop] { QApplication::setFont(desktop); });
        QFont font = desktop;
        if (pointSize > 0) {
            font.setPointSize(pointSize);
        }
        QApplication::setFont(font);
        f.open();
        QCOMPARE(f.window->font(), font);
        QCOMPARE(cutCaptions(f.window.get()), QStringList());
        const QHeaderView* header = f.grid()->horizontalHeader();
        for (int col = ColValue; col <= ColLow; ++col) {
            QVERIFY(header->fontMetrics().horizontalAdvance(columnCaption(col)) <
                    header->sectionSize(col));
        }
        f.click("cmdNew");
        QCOMPARE(cutCaptions(f.window->addDialog()), QStringList());
        f.window->addDialog()->reject();
    }

    void longNamesShowWholeInTheOpenListAndAsTooltips()
    {
        const QString longSet = QStringLiteral("TR-55 Urban Districts of the Whole County");
        const QString longClass =
            QStringLiteral("Developed High Intensity Commercial and Industrial");
        f.open(modelOf({longSet + "|24," + longClass + ",90,85,80|11,Water,0,0,0"}));
        const QFontMetrics metrics(f.list()->view()->font());
        f.list()->showPopup();
        QTRY_VERIFY(f.list()->view()->isVisible());
        QVERIFY(f.list()->view()->width() > metrics.horizontalAdvance(longSet));
        f.list()->hidePopup();

        const auto tooltipAt = [](QWidget* widget, const QPoint& pos) {
            QToolTip::hideText();
            if (!QTest::qWaitFor([] { return !QToolTip::isVisible(); })) {
                return QStringLiteral("(tooltip stays)");
            }
            QHelpEvent event(QEvent::ToolTip, pos, widget->mapToGlobal(pos));
            QApplication::sendEvent(widget, &event);
            return QToolTip::isVisible() ? QToolTip::text() : QString();
        };
        QCOMPARE(tooltipAt(f.list(), f.list()->rect().center()), longSet);
        QCOMPARE(tooltipAt(f.grid()->viewport(), f.cellCentre(1, ColName)), longClass);
        QCOMPARE(tooltipAt(f.grid()->viewport(), f.cellCentre(2, ColName)), QString());
    }

    void failedLoadShowsMessageAndWritesNothing()
    {
        for (const QByteArray& content : {QByteArray(), QByteArray("<ISModelProperties><ISLC")}) {
            QFile::remove(f.storePath());
            if (!content.isEmpty()) {
                writeFile(f.storePath(), content);
            }
            ScriptedPrompts prompts(QStringLiteral("tarnProps"));
            prompts.answerButton(Button::Ok);
            QVERIFY(!frmISModelProps(f.storePath(), prompts).Form_Load());
            // The old text, then the store this one is, since it is not the programs' own.
            const QStringList texts = prompts.messageTexts();
            QCOMPARE(texts.size(), 1);
            QVERIFY2(texts[0].startsWith(
                         "Failed To Load XML - verify the file 'isprops.xml' is located in the "
                         "'etc/' folder of your ArcView 3 installation directory.' file\r\n\r\n"
                         "The coefficient store in use is " +
                         f.storePath()),
                     qPrintable(texts[0]));
            QCOMPARE(prompts.calls()[0].icon, Icon::Critical);
            QCOMPARE(f.storeBytes(), content); // a missing store stays missing
        }
    }

    void hostCommandsShowOrEndTheWindow()
    {
        f.open();
        f.window->showMinimized();
        QVERIFY(!f.window->HostExecute(QStringLiteral("{quit}")));
        QVERIFY(f.window->isMinimized());
        QVERIFY(f.window->HostExecute(QStringLiteral("{VieW}")));
        QVERIFY(!f.window->isMinimized());
        // A dialog waiting for the user is finished first: nothing is asked, nothing closes.
        f.click("cmdNew");
        QVERIFY(f.window->addDialog());
        QVERIFY(!f.window->HostExecute(QStringLiteral("{exit}")));
        QVERIFY(f.window->isVisible() && f.window->addDialog()->isVisible());
        f.window->addDialog()->reject();
        QTRY_VERIFY(!f.window->addDialog());
        QVERIFY(f.window->HostExecute(QStringLiteral("{exit}")));
        QVERIFY(!f.window->isVisible());
    }

    void eachWayIntoTheEditorMarksUnsaved_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("text");
        QTest::newRow("F2") << "F2" << QStringLiteral("Low Intensity");
        QTest::newRow("double-click on another cell") << "click" << QStringLiteral("Low Intensity");
        QTest::newRow("Backspace on the grid") << "Backspace" << QStringLiteral("Low Intensit");
        QTest::newRow("typing on the grid replaces the text") << "7" << QStringLiteral("7");
    }
    void eachWayIntoTheEditorMarksUnsaved()
    {
        QFETCH(QString, how);
        QFETCH(QString, text);
        f.open();
        if (how == "click") {
            // QTest sends the double-click alone; a real one follows a press.
            f.clickCell(3, ColName);
            QTest::mouseDClick(f.grid()->viewport(), Qt::LeftButton, {}, f.cellCentre(3, ColName));
        } else {
            f.goTo(3, ColName);
            if (how.size() > 1) {
                f.key(how == "F2" ? Qt::Key_F2 : Qt::Key_Backspace);
            } else {
                f.type(how);
            }
        }
        QCOMPARE(f.current(), QPoint(3, ColName));
        QCOMPARE(f.focused(), f.editor());
        QCOMPARE(f.editor()->text(), text);
        QCOMPARE(f.editor()->cursorPosition(), text.size());
        QCOMPARE(f.cell(3, ColName), text);
        f.key(Qt::Key_Escape);
        QCOMPARE(f.cell(3, ColName), QStringLiteral("Low Intensity"));
        QVERIFY(f.applyEnabled()); // Escape does not take the mark back
    }

    void typedKeyIsJudgedAtTheCaretAndEscapeRestores_data()
    {
        QTest::addColumn<int>("col");
        QTest::addColumn<QString>("typedFirst");
        QTest::addColumn<int>("caret");
        QTest::addColumn<int>("selected");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("message"); // empty: accepted
        QTest::addColumn<QString>("after");
        QTest::newRow("value point") << int(ColValue) << "" << 0 << 0 << "." << kNotInteger << "";
        QTest::newRow("coefficient letter")
            << int(ColLow) << "" << 0 << 0 << "x" << kNotNumeric << "";
        QTest::newRow("1 before the 5 of 15")
            << int(ColHigh) << "15" << 1 << 0 << "1" << kOutOfRange << "15";
        QTest::newRow("2 before the 5 of 15") << int(ColValue) << "15" << 1 << 0 << "2"
                                              << ""
                                              << "125";
        QTest::newRow("9 over the 12 of 125") << int(ColValue) << "125" << 0 << 2 << "9"
                                              << ""
                                              << "95";
    }
    void typedKeyIsJudgedAtTheCaretAndEscapeRestores()
    {
        QFETCH(int, col);
        QFETCH(QString, typedFirst);
        QFETCH(int, caret);
        QFETCH(int, selected);
        QFETCH(QString, key);
        QFETCH(QString, message);
        QFETCH(QString, after);
        f.open();
        f.goTo(2, col);
        const QString before = f.cell(2, col);
        if (!typedFirst.isEmpty()) {
            f.type(typedFirst);
            f.editor()->setCursorPosition(caret);
            f.editor()->setSelection(caret, selected);
        }
        if (!message.isEmpty()) {
            f.prompts->answerButton(Button::Ok);
        }
        f.type(key);
        QCOMPARE(f.prompts->messageTexts(),
                 message.isEmpty() ? QStringList() : QStringList{message});
        QVERIFY(f.editorOpen());
        QCOMPARE(f.cell(2, col), after); // a refused first key leaves the cell empty
        f.key(Qt::Key_Escape);
        QCOMPARE(f.cell(2, col), before);
    }

    void escapeRestoresTextFromWhenCellBecameCurrent()
    {
        f.open();
        f.goTo(1, ColName);
        f.key(Qt::Key_F2);
        f.type(QStringLiteral("y"));
        f.clickCell(1, ColName); // closes the editor, the cell stays current
        f.key(Qt::Key_F2);
        f.type(QStringLiteral("z"));
        f.key(Qt::Key_Escape);
        QCOMPARE(f.editor()->text(), QStringLiteral("Water"));
        QCOMPARE(f.cell(1, ColName), QStringLiteral("Water"));
    }

    void leavingEmptiedNumberCellFillsZero()
    {
        f.open();
        f.goTo(2, ColHigh);
        f.key(Qt::Key_F2);
        f.editor()->clear();
        f.key(Qt::Key_Down); // leaves the cell from the open editor
        QCOMPARE(f.current(), QPoint(3, ColHigh));
        QCOMPARE(f.cell(2, ColHigh), QStringLiteral("0"));
        f.goTo(2, ColName);
        f.key(Qt::Key_F2);
        f.editor()->setText(QStringLiteral("  "));
        f.key(Qt::Key_Up);
        QCOMPARE(f.cell(2, ColName), QStringLiteral("  ")); // names are not filled
    }

    void enterWalksRowThenLowColumnButArrowsWrapAtTextEdges()
    {
        f.open();
        f.goTo(3, ColMed);
        f.key(Qt::Key_Return); // grid focused
        QCOMPARE(f.current(), QPoint(3, ColLow));
        f.key(Qt::Key_F2);
        f.key(Qt::Key_Return); // from the editor
        QCOMPARE(f.current(), QPoint(4, ColLow));
        f.key(Qt::Key_Return); // last cell of the last row: stays
        QCOMPARE(f.current(), QPoint(4, ColLow));

        f.goTo(3, ColLow);
        f.key(Qt::Key_F2);
        f.key(Qt::Key_Right); // caret already at the end
        QCOMPARE(f.current(), QPoint(4, ColValue));
        f.goTo(2, ColHigh); // "12.5"
        f.key(Qt::Key_F2);
        f.key(Qt::Key_Left);
        QCOMPARE(f.current(), QPoint(2, ColHigh));
        f.key(Qt::Key_Home);
        f.key(Qt::Key_Left);
        QCOMPARE(f.current(), QPoint(2, ColName));
        f.goTo(1, ColLow);
        f.key(Qt::Key_F2);
        f.key(Qt::Key_Up);       // first row: stays, the editor with it
        f.key(Qt::Key_PageDown); // keys the editor does not use never reach the grid
        QCOMPARE(f.current(), QPoint(1, ColLow));
        QVERIFY(f.editorOpen());
    }

    // A row command from the right button, the cell editor open: the cell under the pointer
    // becomes current, new rows are zero rows, the rows stay numbered from 1, and Escape
    // brings back the cell's own text.
    void rowCommandsKeepNumbersAndEscapeRestores_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::addColumn<QStringList>("shown"); // the current row after the command
        QTest::addColumn<int>("rows");          // data rows after it
        QTest::newRow("added row") << "MnuFGridAddRow" << 5 << int(ColHigh) << kZeroRow << 5;
        QTest::newRow("inserted row") << "MnuFGridInsRow" << 2 << int(ColName) << kZeroRow << 5;
        QTest::newRow("row moved up by delete")
            << "MnuFGridDelRow" << 2 << int(ColName)
            << QStringList{"22", "Low Intensity", "40", "35", "30"} << 3;
    }
    void rowCommandsKeepNumbersAndEscapeRestores()
    {
        QFETCH(QString, command);
        QFETCH(int, row);
        QFETCH(int, col);
        QFETCH(QStringList, shown);
        QFETCH(int, rows);
        f.open();
        f.key(Qt::Key_F2);
        if (command == "MnuFGridDelRow") {
            f.prompts->answerButton(Button::Yes);
        }
        f.rowCommand(2, col, command.toLatin1().constData());
        QVERIFY(!f.editorOpen());
        QCOMPARE(f.current(), QPoint(row, col));
        QCOMPARE(f.row(row), shown);
        QCOMPARE(f.grid()->rowCount(), rows + 1);
        for (int r = 1; r <= rows; ++r) {
            QCOMPARE(f.cell(r, ColNumber), QString::number(r));
        }
        f.grid()->setFocus();
        f.type(QStringLiteral("7"));
        f.key(Qt::Key_Escape);
        QCOMPARE(f.cell(row, col), shown[col - ColValue]);
    }

    void rightButtonOnTheCellEditorOpensTheRowMenu()
    {
        f.open();
        f.goTo(2, ColName);
        f.key(Qt::Key_F2);
        QVERIFY(f.editorOpen());
        QTest::mouseClick(f.editor(), Qt::RightButton, {}, f.editor()->rect().center());
        auto* menu = f.window->findChild<QMenu*>("MnuFGridRows");
        QTRY_VERIFY(menu->isVisible());
        menu->hide();
        QVERIFY(!f.editorOpen());
        QCOMPARE(f.current(), QPoint(2, ColName));
        for (QMenu* other : f.editor()->findChildren<QMenu*>()) {
            QVERIFY(!other->isVisible()); // not the line edit's own menu
        }
    }

    void deleteRowAsksOnlyWhenRowHoldsData()
    {
        f.open();
        f.rowCommand(2, ColValue, "MnuFGridInsRow"); // a zero row at 2
        setCellText(*f.grid(), 2, ColName, QStringLiteral("   "));
        f.rowCommand(2, ColValue, "MnuFGridDelRow"); // blanks and zeros: no question
        QCOMPARE(f.row(2), (QStringList{"21", "Open Space", "12.5", "10", "5"}));
        QCOMPARE(f.cell(4, ColNumber), QStringLiteral("4"));

        f.click("cmdApply");
        f.prompts->answerButton(Button::No);
        f.rowCommand(3, ColLow, "MnuFGridDelRow");
        QCOMPARE(f.prompts->messageTexts(),
                 QStringList{QStringLiteral("There is data in Row 3 ! Delete anyway?")});
        QCOMPARE(f.prompts->calls()[0].title, QStringLiteral("Delete Row!"));
        QCOMPARE(f.prompts->calls()[0].buttons, Buttons::YesNo);
        QCOMPARE(f.grid()->rowCount(), 5);
        QVERIFY(f.applyEnabled()); // also after No
    }

    // Typed text would have nowhere to go: the grid takes none, and Apply stays disabled.
    void withoutDataRowsEditingDoesNothing_data()
    {
        QTest::addColumn<bool>("sets");
        QTest::newRow("every row of a set deleted") << true;
        QTest::newRow("a store without sets") << false;
    }
    void withoutDataRowsEditingDoesNothing()
    {
        QFETCH(bool, sets);
        f.open(sets ? standardModel() : clsISModelProperties());
        if (sets) {
            f.list()->setCurrentIndex(1); // rural Lands, two rows
            f.prompts->answerButton(Button::Yes);
            f.rowCommand(2, ColMed, "MnuFGridDelRow");
            QCOMPARE(f.current(), QPoint(1, ColMed));
            f.prompts->answerButton(Button::Yes);
            f.rowCommand(1, ColMed, "MnuFGridDelRow");
            f.click("cmdApply");
        }
        f.grid()->setFocus();
        f.type(QStringLiteral("5"));
        f.key(Qt::Key_F2);
        f.key(Qt::Key_Backspace);
        QTest::mouseDClick(f.grid()->viewport(), Qt::LeftButton, {}, QPoint(20, 20));
        QVERIFY(!f.editorOpen());
        QVERIFY(!f.applyEnabled());
        if (sets) {
            f.rowCommand(0, ColMed, "MnuFGridInsRow"); // no current row: adds
            QCOMPARE(f.cell(1, ColNumber), QStringLiteral("1"));
            return;
        }
        f.rowCommand(1, ColValue, "MnuFGridAddRow");
        f.rowCommand(1, ColValue, "MnuFGridDelRow");
        QCOMPARE(f.grid()->rowCount(), 2);
        QCOMPARE(f.row(1), (QStringList{"", "", "", "", ""}));
        f.click("cmdApply");
        QCOMPARE(f.storeOnDisk().ISLCDefs->Count(), 0); // no nameless set
        QCOMPARE(f.window->model().ISLCDefs->Count(), 0);
    }
};

QTEST_MAIN(TestWindowEditing)
#include "tst_windowediting.moc"
