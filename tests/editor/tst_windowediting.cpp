#include "editorfixture.h"
#include "frmhelpbrowser2.h"

#include <QLabel>
#include <QMenu>

using namespace GridRules;

namespace {
const QString kNotInteger =
    QStringLiteral("Invalid value entered - Class Value must be an integer.");
const QString kNotNumeric = QStringLiteral("Invalid value entered - Coefficients must be numeric.");
const QString kOutOfRange =
    QStringLiteral("Invalid value entered - Coefficients must be between 0-100.");
} // namespace

// Start-up, host commands and everything the grid does with the keyboard and mouse.
class TestWindowEditing : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startUpShowsFirstSetWithValueCellCurrent();
    void failedLoadShowsMessageAndWritesNothing();
    void storeWithoutSetsShowsEmptyListAndBlankRow();
    void onlyViewCommandIsAccepted();
    void helpOpensOneHelpWindow();

    void typingOnGridReplacesCellAndOpensEditor();
    void refusedFirstCharacterLeavesCellEmptyAndEscapeRestores();
    void characterIsJudgedAndShownAtTheCaret();
    void coefficientDigitsStopAtHundred();
    void escapeRestoresTextFromWhenCellBecameCurrent();
    void f2AndEscapeStillMarkUnsaved();
    void backspaceOnGridOpensEditor();
    void pasteIsNotValidatedButReachesTheCell();
    void leavingEmptiedNumberCellFillsZero();
    void enterWalksRowThenLowColumnButRightArrowWraps();
    void arrowsMoveAtTextEdgesOnly();
    void doubleClickEditsTheClickedCell();

    void addRowAppendsNumberedZeroRow();
    void insertRowKeepsNumberingAndCurrentCell();
    void deleteRowAsksOnlyWhenRowHoldsData();
    void deleteLastAndOnlyRows();
    void withoutDataRowTypingF2AndDoubleClickDoNothing();
    void rightButtonMakesCellCurrentAndOpensRowMenu();

private:
    EditorFixture f;
};

void TestWindowEditing::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("^ScriptedPrompts: unexpected")));
    QVERIFY(f.dir.isValid());
}

void TestWindowEditing::cleanup()
{
    f.close();
    if (frmHelpBrowser2::current()) {
        delete frmHelpBrowser2::current();
    }
}

void TestWindowEditing::startUpShowsFirstSetWithValueCellCurrent()
{
    f.open();
    QCOMPARE(f.window->windowTitle(), QStringLiteral("Change Coefficients"));
    QCOMPARE(f.window->size(), QSize(504, 354));
    QStringList names;
    for (int i = 0; i < f.list()->count(); ++i) {
        names << f.list()->itemText(i);
    }
    QCOMPARE(names, (QStringList{"Urban", "rural Lands", "Empty"}));
    QCOMPARE(f.list()->currentIndex(), 0);
    QCOMPARE(f.window->shownSet(), 0);
    QCOMPARE(f.grid()->rowCount(), 5);
    QCOMPARE(f.row(4), (QStringList{"23", "Medium Intensity", "75", "65", "50"}));
    QCOMPARE(f.current(), QPoint(1, 1));
    QCOMPARE(f.grid()->item(1, 1)->background().color(), QColor(255, 255, 192));
    QVERIFY(!f.applyEnabled());
    QVERIFY(!f.editorOpen());
    QCOMPARE(f.window->findChild<QLabel*>("Label1_1")->text(), QStringLiteral("Class"));
    QCOMPARE(f.window->findChild<QLabel*>("Label1_2")->width(), 193); // 2895 twips
    QCOMPARE(f.prompts->calls().size(), 0);
}

void TestWindowEditing::failedLoadShowsMessageAndWritesNothing()
{
    const QString message = QStringLiteral(
        "Failed To Load XML - verify the file 'isprops.xml' is located in the 'etc/' folder of "
        "your ArcView 3 installation directory.' file");
    for (const QByteArray& content : {QByteArray(), QByteArray("<ISModelProperties><ISLC")}) {
        QFile::remove(f.storePath());
        if (!content.isEmpty()) {
            QFile file(f.storePath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        ScriptedPrompts prompts(QStringLiteral("tarnProps"));
        prompts.answerButton(Button::Ok);
        frmISModelProps window(prompts, f.storePath());
        QVERIFY(!window.loaded());
        QCOMPARE(prompts.calls().size(), 1);
        QCOMPARE(prompts.calls()[0].text, message);
        QCOMPARE(prompts.calls()[0].title, QStringLiteral("tarnProps"));
        QCOMPARE(prompts.calls()[0].icon, Icon::Critical);
        QCOMPARE(prompts.calls()[0].buttons, Buttons::OkCancel);
        QCOMPARE(QFile::exists(f.storePath()), !content.isEmpty());
        QCOMPARE(f.storeBytes(), content);
    }
}

void TestWindowEditing::storeWithoutSetsShowsEmptyListAndBlankRow()
{
    f.open(clsISModelProperties());
    QCOMPARE(f.list()->count(), 0);
    QCOMPARE(f.list()->currentIndex(), -1);
    QCOMPARE(f.window->shownSet(), -99);
    QCOMPARE(f.grid()->rowCount(), 2);
    QCOMPARE(f.row(1), (QStringList{"", "", "", "", ""}));
    QCOMPARE(f.current(), QPoint(1, 1));
}

void TestWindowEditing::onlyViewCommandIsAccepted()
{
    f.open();
    f.window->showMinimized();
    QVERIFY(!f.window->HostExecute(QStringLiteral(" {view}")));
    QVERIFY(!f.window->HostExecute(QStringLiteral("{quit}")));
    QVERIFY(!f.window->HostExecute(QStringLiteral("{unhide}")));
    QVERIFY(f.window->isMinimized());
    QVERIFY(f.window->HostExecute(QStringLiteral("{VieW}")));
    QVERIFY(!f.window->isMinimized());
    QVERIFY(f.window->isVisible());
}

void TestWindowEditing::helpOpensOneHelpWindow()
{
    f.open();
    const QString page = f.dir.filePath(QStringLiteral("help.html"));
    QFile file(page);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<html><body>Help</body></html>");
    file.close();
    f.window->setHelpPath(page);
    QTest::mouseClick(f.button("cmdHelp"), Qt::LeftButton);
    frmHelpBrowser2* help = frmHelpBrowser2::current();
    QVERIFY(help);
    QVERIFY(help->isVisible());
    QCOMPARE(help->parentWidget(), nullptr);
    QTest::mouseClick(f.button("cmdHelp"), Qt::LeftButton);
    QCOMPARE(frmHelpBrowser2::current(), help);
}

void TestWindowEditing::typingOnGridReplacesCellAndOpensEditor()
{
    f.open();
    f.goTo(2, ColValue);
    f.type(QStringLiteral("7"));
    QCOMPARE(f.cell(2, ColValue), QStringLiteral("7"));
    QVERIFY(f.editorOpen());
    QCOMPARE(f.focused(), f.editor());
    QCOMPARE(f.editor()->text(), QStringLiteral("7"));
    QCOMPARE(f.editor()->cursorPosition(), 1);
    QVERIFY(f.applyEnabled());
    QCOMPARE(f.current(), QPoint(2, ColValue)); // no keyboard search jump
    f.type(QStringLiteral("4"));
    QCOMPARE(f.cell(2, ColValue), QStringLiteral("74"));
}

void TestWindowEditing::refusedFirstCharacterLeavesCellEmptyAndEscapeRestores()
{
    f.open();
    struct Case {
        int col;
        QString key;
        QString message;
    };
    for (const Case& c : {Case{ColValue, ".", kNotInteger}, Case{ColValue, "-", kNotInteger},
                          Case{ColHigh, "x", kNotNumeric}, Case{ColLow, "-", kNotNumeric}}) {
        f.goTo(2, c.col);
        const QString before = f.cell(2, c.col);
        f.prompts->answerButton(Button::Ok);
        f.type(c.key);
        QCOMPARE(f.prompts->messageTexts().last(), c.message);
        QCOMPARE(f.prompts->calls().last().icon, Icon::Exclamation);
        QCOMPARE(f.prompts->calls().last().title, QStringLiteral("tarnProps"));
        QVERIFY(f.editorOpen());
        QCOMPARE(f.editor()->text(), QString());
        QCOMPARE(f.cell(2, c.col), QString());
        f.key(Qt::Key_Escape);
        QCOMPARE(f.editor()->text(), before);
        QCOMPARE(f.cell(2, c.col), before);
    }
    // The name column takes anything.
    f.goTo(2, ColName);
    f.type(QStringLiteral("x%'("));
    QCOMPARE(f.cell(2, ColName), QStringLiteral("x%'("));
}

void TestWindowEditing::characterIsJudgedAndShownAtTheCaret()
{
    f.open();
    f.goTo(1, ColValue);
    f.type(QStringLiteral("15"));
    f.key(Qt::Key_Left);
    f.type(QStringLiteral("2"));
    QCOMPARE(f.editor()->text(), QStringLiteral("125"));
    QCOMPARE(f.cell(1, ColValue), QStringLiteral("125"));

    // 15 is a fine coefficient, but 1 put before the 5 makes 115.
    f.goTo(1, ColHigh);
    f.type(QStringLiteral("15"));
    f.key(Qt::Key_Left);
    f.prompts->answerButton(Button::Ok);
    f.type(QStringLiteral("1"));
    QCOMPARE(f.prompts->messageTexts(), QStringList{kOutOfRange});
    QCOMPARE(f.editor()->text(), QStringLiteral("15"));
    QCOMPARE(f.cell(1, ColHigh), QStringLiteral("15"));

    // A selection is replaced by the key: "12" selected in "125" and replaced by "9".
    f.editor()->setSelection(0, 2);
    f.type(QStringLiteral("9"));
    QCOMPARE(f.cell(1, ColHigh), QStringLiteral("9"));
}

void TestWindowEditing::coefficientDigitsStopAtHundred()
{
    f.open();
    f.goTo(1, ColMed);
    f.key(Qt::Key_Backspace); // "0" -> "", editor open
    f.type(QStringLiteral("100"));
    QCOMPARE(f.cell(1, ColMed), QStringLiteral("100"));
    f.prompts->answerButton(Button::Ok);
    f.type(QStringLiteral("0"));
    QCOMPARE(f.prompts->messageTexts(), QStringList{kOutOfRange});
    QCOMPARE(f.cell(1, ColMed), QStringLiteral("100"));
    f.prompts->answerButton(Button::Ok);
    f.type(QStringLiteral(".5"));
    QCOMPARE(f.cell(1, ColMed), QStringLiteral("100."));
    QCOMPARE(f.prompts->messageTexts().size(), 2);
}

void TestWindowEditing::escapeRestoresTextFromWhenCellBecameCurrent()
{
    f.open();
    f.goTo(1, ColName);
    f.key(Qt::Key_F2);
    f.type(QStringLiteral("y"));
    f.clickCell(1, ColName); // closes the editor, the cell stays current
    QVERIFY(!f.editorOpen());
    QCOMPARE(f.cell(1, ColName), QStringLiteral("Watery"));
    f.key(Qt::Key_F2);
    f.type(QStringLiteral("z"));
    f.key(Qt::Key_Escape);
    QCOMPARE(f.editor()->text(), QStringLiteral("Water"));
    QCOMPARE(f.editor()->cursorPosition(), 5);
    QCOMPARE(f.cell(1, ColName), QStringLiteral("Water"));
    QCOMPARE(f.window->rememberedText(), QStringLiteral("Water"));
}

void TestWindowEditing::f2AndEscapeStillMarkUnsaved()
{
    f.open();
    f.key(Qt::Key_F2);
    QVERIFY(f.editorOpen());
    QCOMPARE(f.editor()->text(), QStringLiteral("11"));
    f.key(Qt::Key_Escape);
    QVERIFY(f.applyEnabled());
    QVERIFY(f.window->unsavedChanges());
    QCOMPARE(f.cell(1, ColValue), QStringLiteral("11"));
}

void TestWindowEditing::backspaceOnGridOpensEditor()
{
    f.open();
    f.goTo(3, ColValue);
    f.key(Qt::Key_Backspace);
    QCOMPARE(f.cell(3, ColValue), QStringLiteral("2"));
    QVERIFY(f.editorOpen());
    QCOMPARE(f.editor()->text(), QStringLiteral("2"));
    f.key(Qt::Key_Backspace);
    QCOMPARE(f.cell(3, ColValue), QString());
    f.key(Qt::Key_Return);
    QCOMPARE(f.focused(), f.grid());
    f.goTo(3, ColValue);
    QCOMPARE(f.cell(3, ColValue), QStringLiteral("0")); // filled when left
    f.goTo(3, ColName);
    setCellText(*f.grid(), 3, ColName, QString());
    f.key(Qt::Key_Backspace); // nothing to remove: the editor opens on the empty cell
    QVERIFY(f.editorOpen());
    QCOMPARE(f.editor()->text(), QString());
}

void TestWindowEditing::pasteIsNotValidatedButReachesTheCell()
{
    f.open();
    f.goTo(2, ColHigh);
    f.key(Qt::Key_F2);
    f.editor()->selectAll();
    QApplication::clipboard()->setText(QStringLiteral("ten"));
    f.key(Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(f.cell(2, ColHigh), QStringLiteral("ten"));
    f.key(Qt::Key_Home);
    f.key(Qt::Key_Delete);
    QCOMPARE(f.cell(2, ColHigh), QStringLiteral("en"));
    QCOMPARE(f.prompts->calls().size(), 0);
}

void TestWindowEditing::leavingEmptiedNumberCellFillsZero()
{
    f.open();
    f.goTo(2, ColHigh);
    f.key(Qt::Key_F2);
    f.editor()->clear();
    f.key(Qt::Key_Down); // leaves the cell from the open editor
    QCOMPARE(f.current(), QPoint(3, ColHigh));
    QVERIFY(!f.editorOpen());
    QCOMPARE(f.focused(), f.grid());
    QCOMPARE(f.cell(2, ColHigh), QStringLiteral("0"));
    QCOMPARE(f.grid()->item(2, ColHigh)->background(), QBrush());
    QCOMPARE(f.grid()->item(3, ColHigh)->background().color(), QColor(255, 255, 192));

    f.goTo(2, ColName);
    f.key(Qt::Key_F2);
    f.editor()->setText(QStringLiteral("  "));
    f.key(Qt::Key_Up);
    QCOMPARE(f.cell(2, ColName), QStringLiteral("  "));
}

void TestWindowEditing::enterWalksRowThenLowColumnButRightArrowWraps()
{
    f.open();
    f.goTo(3, ColMed);
    f.key(Qt::Key_Return); // grid focused
    QCOMPARE(f.current(), QPoint(3, ColLow));
    f.key(Qt::Key_F2);
    f.key(Qt::Key_Return); // from the editor
    QCOMPARE(f.current(), QPoint(4, ColLow));
    QVERIFY(!f.editorOpen());
    QCOMPARE(f.focused(), f.grid());
    f.key(Qt::Key_Return); // last cell of the last row: stays
    QCOMPARE(f.current(), QPoint(4, ColLow));

    f.goTo(3, ColLow);
    f.key(Qt::Key_F2);
    f.key(Qt::Key_Right); // caret already at the end
    QCOMPARE(f.current(), QPoint(4, ColValue));
}

void TestWindowEditing::arrowsMoveAtTextEdgesOnly()
{
    f.open();
    f.goTo(2, ColHigh); // "12.5"
    f.key(Qt::Key_F2);
    f.key(Qt::Key_Left);
    QCOMPARE(f.current(), QPoint(2, ColHigh));
    QCOMPARE(f.editor()->cursorPosition(), 3);
    f.key(Qt::Key_Home);
    f.key(Qt::Key_Left);
    QCOMPARE(f.current(), QPoint(2, ColName));

    f.goTo(2, ColValue);
    f.key(Qt::Key_F2);
    f.key(Qt::Key_Home);
    f.key(Qt::Key_Left); // first data column: to the Low column of the row above
    QCOMPARE(f.current(), QPoint(1, ColLow));
    f.key(Qt::Key_F2);
    f.key(Qt::Key_Up); // first row: stays, the editor with it
    QCOMPARE(f.current(), QPoint(1, ColLow));
    QVERIFY(f.editorOpen());
    f.key(Qt::Key_PageDown); // keys the editor does not use never reach the grid
    QCOMPARE(f.current(), QPoint(1, ColLow));
}

void TestWindowEditing::doubleClickEditsTheClickedCell()
{
    f.open();
    f.doubleClickCell(3, ColName);
    QCOMPARE(f.current(), QPoint(3, ColName));
    QVERIFY(f.editorOpen());
    QCOMPARE(f.editor()->text(), QStringLiteral("Low Intensity"));
    QCOMPARE(f.editor()->geometry(), f.grid()->visualRect(f.grid()->model()->index(3, ColName)));
    QVERIFY(f.applyEnabled());
}

void TestWindowEditing::addRowAppendsNumberedZeroRow()
{
    f.open();
    f.goTo(2, ColHigh);
    f.rowCommand(2, ColHigh, "MnuFGridAddRow");
    QCOMPARE(f.grid()->rowCount(), 6);
    QCOMPARE(f.cell(5, ColNumber), QStringLiteral("5"));
    QCOMPARE(f.row(5), (QStringList{"0", "", "0", "0", "0"}));
    QCOMPARE(f.current(), QPoint(5, ColHigh));
    QCOMPARE(f.window->rememberedText(), QString());
    QVERIFY(f.applyEnabled());
}

void TestWindowEditing::insertRowKeepsNumberingAndCurrentCell()
{
    f.open();
    f.goTo(2, ColName);
    f.rowCommand(2, ColName, "MnuFGridInsRow");
    QCOMPARE(f.grid()->rowCount(), 6);
    QStringList numbers;
    for (int r = 1; r <= 5; ++r) {
        numbers << f.cell(r, ColNumber);
    }
    QCOMPARE(numbers, (QStringList{"1", "2", "3", "4", "5"}));
    QCOMPARE(f.row(2), (QStringList{"0", "", "0", "0", "0"}));
    QCOMPARE(f.row(3), (QStringList{"21", "Open Space", "12.5", "10", "5"}));
    QCOMPARE(f.row(5), (QStringList{"23", "Medium Intensity", "75", "65", "50"}));
    QCOMPARE(f.current(), QPoint(2, ColName));
    QCOMPARE(f.window->rememberedText(), QStringLiteral("Open Space"));
    QVERIFY(f.applyEnabled());
}

void TestWindowEditing::deleteRowAsksOnlyWhenRowHoldsData()
{
    f.open();
    f.rowCommand(2, ColValue, "MnuFGridInsRow"); // a zero row at 2
    setCellText(*f.grid(), 2, ColName, QStringLiteral("   "));
    f.rowCommand(2, ColValue, "MnuFGridDelRow"); // blanks and zeros: no question
    QCOMPARE(f.prompts->calls().size(), 0);
    QCOMPARE(f.grid()->rowCount(), 5);
    QCOMPARE(f.row(2), (QStringList{"21", "Open Space", "12.5", "10", "5"}));
    QCOMPARE(f.cell(4, ColNumber), QStringLiteral("4"));

    f.button("cmdApply")->click();
    QVERIFY(!f.applyEnabled());
    f.prompts->answerButton(Button::No);
    f.rowCommand(3, ColLow, "MnuFGridDelRow");
    QCOMPARE(f.prompts->calls().size(), 1);
    QCOMPARE(f.prompts->calls()[0].text, QStringLiteral("There is data in Row 3 ! Delete anyway?"));
    QCOMPARE(f.prompts->calls()[0].title, QStringLiteral("Delete Row!"));
    QCOMPARE(f.prompts->calls()[0].buttons, Buttons::YesNo);
    QCOMPARE(f.prompts->calls()[0].icon, Icon::None);
    QCOMPARE(f.grid()->rowCount(), 5);
    QVERIFY(f.applyEnabled()); // also after No

    // An empty coefficient counts as data.
    f.rowCommand(4, ColLow, "MnuFGridAddRow");
    setCellText(*f.grid(), 5, ColHigh, QString());
    f.prompts->answerButton(Button::Yes);
    f.rowCommand(5, ColLow, "MnuFGridDelRow");
    QCOMPARE(f.prompts->calls().size(), 2);
    QCOMPARE(f.grid()->rowCount(), 5);
}

void TestWindowEditing::deleteLastAndOnlyRows()
{
    f.open();
    f.list()->setCurrentIndex(1); // rural Lands, two rows
    f.prompts->answerButton(Button::Yes);
    f.rowCommand(2, ColMed, "MnuFGridDelRow");
    QCOMPARE(f.grid()->rowCount(), 2);
    QCOMPARE(f.current(), QPoint(1, ColMed));
    QCOMPARE(f.grid()->item(1, ColMed)->background().color(), QColor(255, 255, 192));
    f.prompts->answerButton(Button::Yes);
    f.rowCommand(1, ColMed, "MnuFGridDelRow");
    QCOMPARE(f.grid()->rowCount(), 1);
    f.button("cmdApply")->click();
    QVERIFY(!f.applyEnabled());
    f.rowCommand(0, ColMed, "MnuFGridDelRow"); // nothing to delete: only marks unsaved
    QCOMPARE(f.grid()->rowCount(), 1);
    QVERIFY(f.applyEnabled());
    f.rowCommand(0, ColMed, "MnuFGridInsRow"); // no current row: adds
    QCOMPARE(f.grid()->rowCount(), 2);
    QCOMPARE(f.cell(1, ColNumber), QStringLiteral("1"));
    QCOMPARE(f.current(), QPoint(1, ColMed));
}

void TestWindowEditing::withoutDataRowTypingF2AndDoubleClickDoNothing()
{
    f.open();
    f.list()->setCurrentIndex(1);
    f.prompts->answerButton(Button::Yes);
    f.rowCommand(2, ColMed, "MnuFGridDelRow");
    f.prompts->answerButton(Button::Yes);
    f.rowCommand(1, ColMed, "MnuFGridDelRow");
    f.button("cmdApply")->click();
    f.grid()->setFocus();
    f.type(QStringLiteral("5"));
    f.key(Qt::Key_F2);
    f.key(Qt::Key_Backspace);
    f.key(Qt::Key_Return);
    QTest::mouseDClick(f.grid()->viewport(), Qt::LeftButton, {}, QPoint(20, 20));
    QVERIFY(!f.editorOpen());
    QVERIFY(!f.applyEnabled());
    QCOMPARE(f.grid()->rowCount(), 1);
}

void TestWindowEditing::rightButtonMakesCellCurrentAndOpensRowMenu()
{
    f.open();
    f.goTo(1, ColValue);
    f.key(Qt::Key_F2);
    f.clickCell(3, ColMed, Qt::RightButton);
    auto* menu = f.window->findChild<QMenu*>("MnuFGridRows");
    QTRY_VERIFY(menu->isVisible());
    QCOMPARE(menu->title(), QStringLiteral("Row Popup"));
    QStringList captions;
    for (QAction* action : menu->actions()) {
        captions << action->text();
    }
    QCOMPARE(captions, (QStringList{"Add a Row", "Insert a Row", "Delete a Row"}));
    QCOMPARE(f.current(), QPoint(3, ColMed));
    QVERIFY(!f.editorOpen());
    menu->hide();
}

QTEST_MAIN(TestWindowEditing)
#include "tst_windowediting.moc"
