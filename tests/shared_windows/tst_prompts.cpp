#include "qtprompts.h"
#include "scriptedprompts.h"

#include <QFileDialog>
#include <QRegularExpression>
#include <QtTest>

using Icon = Prompts::Icon;
using Buttons = Prompts::Buttons;
using Button = Prompts::Button;
using Kind = ScriptedPrompts::Kind;

class TestPrompts : public QObject {
    Q_OBJECT
private slots:
    void qtFilterIsUnderstoodByQt_data();
    void qtFilterIsUnderstoodByQt();

    void boxWithoutTitleCarriesProgramTitle();
    void recordsExactTextsAndReturnsQueuedAnswers();
    void recordsFileDialogRequests();

    void unqueuedQuestionWarnsAndAnswersAsEscape_data();
    void unqueuedQuestionWarnsAndAnswersAsEscape();
    void answerOfWrongKindIsUnexpected();
    void whileOpenRunsBeforeTheAnswerReturns();
};

void TestPrompts::qtFilterIsUnderstoodByQt_data()
{
    QTest::addColumn<QString>("classic");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("shapefile") << "Shapefile (*.shp)|*.shp" << QStringList{"Shapefile (*.shp)"};
    QTest::newRow("store") << "TARN Coefficient File (*.xml)|*.xml"
                           << QStringList{"TARN Coefficient File (*.xml)"};
    QTest::newRow("description carries its own pattern list")
        << "Coefficient Text File(*.txt;*.csv)|*.txt;*.csv"
        << QStringList{"Coefficient Text File (*.txt *.csv)"};
    QTest::newRow("several pairs") << "Text (*.txt)|*.txt|All Files (*.*)|*.*"
                                   << QStringList{"Text (*.txt)", "All Files (*.*)"};
    QTest::newRow("blanks around patterns")
        << "Tables|*.txt; *.csv ;" << QStringList{"Tables (*.txt *.csv)"};
}

void TestPrompts::qtFilterIsUnderstoodByQt()
{
    QFETCH(QString, classic);
    QFETCH(QStringList, expected);

    // The dialog splits the filter as it will when shown.
    QFileDialog dialog;
    dialog.setNameFilter(QtPrompts::qtNameFilter(classic));
    QCOMPARE(dialog.nameFilters(), expected);
}

void TestPrompts::boxWithoutTitleCarriesProgramTitle()
{
    ScriptedPrompts prompts(QStringLiteral("tarnProps"));
    for (int i = 0; i < 5; ++i)
        prompts.answerButton(Button::Ok);
    prompts.answerText(QString());
    prompts.answerText(QString());

    prompts.message(QStringLiteral("a"));
    prompts.message(QStringLiteral("b"), Icon::Critical, Buttons::Ok);
    prompts.message(QStringLiteral("c"), QString(), Icon::Exclamation, Buttons::Ok);
    prompts.message(QStringLiteral("d"), QStringLiteral("Delete Row!"), Icon::None, Buttons::Ok);
    prompts.message(QStringLiteral("e"), QStringLiteral("tarnProps"), Icon::None, Buttons::Ok);
    prompts.input(QStringLiteral("Enter new Coefficient Set name"));
    prompts.input(QStringLiteral("Enter new Coefficient Set name"), QStringLiteral("Import"));

    QStringList titles;
    for (const ScriptedPrompts::Call& call : prompts.calls())
        titles << call.title;
    QCOMPARE(titles, (QStringList{"tarnProps", "tarnProps", "", "Delete Row!", "tarnProps",
                                  "tarnProps", "Import"}));
    QVERIFY(prompts.unexpectedCalls().isEmpty());
    QCOMPARE(prompts.programTitle(), QStringLiteral("tarnProps"));
}

void TestPrompts::recordsExactTextsAndReturnsQueuedAnswers()
{
    ScriptedPrompts prompts(QStringLiteral("TARN"));
    prompts.answerButton(Button::No);
    prompts.answerText(QStringLiteral(" Urban "));

    const QString question = QStringLiteral(
        "Changes to the coefficient set have not been saved. \r\n Click 'Yes' to save changes, "
        "'No' to quit, or 'Cancel' to return.");
    QCOMPARE(prompts.message(question, Icon::None, Buttons::YesNoCancel), Button::No);
    QCOMPARE(prompts.input(QStringLiteral("Enter number of scenario to delete:"),
                           QStringLiteral("Delete Scenario")),
             QStringLiteral(" Urban "));

    QCOMPARE(prompts.calls().size(), 2);
    const ScriptedPrompts::Call& box = prompts.calls().at(0);
    QCOMPARE(box.kind, Kind::Message);
    QCOMPARE(box.text, question);
    QCOMPARE(box.icon, Icon::None);
    QCOMPARE(box.buttons, Buttons::YesNoCancel);
    QVERIFY(box.answered);
    const ScriptedPrompts::Call& input = prompts.calls().at(1);
    QCOMPARE(input.kind, Kind::Input);
    QCOMPARE(input.text, QStringLiteral("Enter number of scenario to delete:"));
    QCOMPARE(input.title, QStringLiteral("Delete Scenario"));
    QCOMPARE(prompts.messageTexts(), QStringList{question});
    QCOMPARE(prompts.queuedAnswers(), 0);
}

void TestPrompts::recordsFileDialogRequests()
{
    ScriptedPrompts prompts(QStringLiteral("tarnProps"));
    prompts.answerPath(QStringLiteral("/data/coefficients.txt"));
    prompts.answerPath(QString());

    const Prompts::FileRequest exportRequest{
        QStringLiteral("Export Impervious Surface Coefficients into Filename"),
        QStringLiteral("Coefficient Text File(*.txt;*.csv)|*.txt;*.csv"), QStringLiteral(".txt"),
        Prompts::FileOption::ConfirmOverwrite};
    const Prompts::FileRequest mergeRequest{QStringLiteral("TARN Coefficient File to Merge"),
                                            QStringLiteral("TARN Coefficient File (*.xml)|*.xml"),
                                            QString(), Prompts::FileOption::MustExist};
    QCOMPARE(prompts.saveFile(exportRequest), QStringLiteral("/data/coefficients.txt"));
    QCOMPARE(prompts.openFile(mergeRequest), QString());

    QCOMPARE(prompts.calls().size(), 2);
    const ScriptedPrompts::Call& save = prompts.calls().at(0);
    QCOMPARE(save.kind, Kind::SaveFile);
    QCOMPARE(save.title, exportRequest.title);
    QCOMPARE(save.file.filter, exportRequest.filter);
    QCOMPARE(save.file.defaultSuffix, QStringLiteral(".txt"));
    QCOMPARE(save.file.options, Prompts::FileOptions(Prompts::FileOption::ConfirmOverwrite));
    const ScriptedPrompts::Call& open = prompts.calls().at(1);
    QCOMPARE(open.kind, Kind::OpenFile);
    QCOMPARE(open.file.options, Prompts::FileOptions(Prompts::FileOption::MustExist));
}

void TestPrompts::unqueuedQuestionWarnsAndAnswersAsEscape_data()
{
    QTest::addColumn<Buttons>("buttons");
    QTest::addColumn<Button>("expected");
    QTest::newRow("OK") << Buttons::Ok << Button::Ok;
    QTest::newRow("OK and Cancel") << Buttons::OkCancel << Button::Cancel;
    QTest::newRow("Yes and No") << Buttons::YesNo << Button::No;
    QTest::newRow("Yes, No and Cancel") << Buttons::YesNoCancel << Button::Cancel;
}

void TestPrompts::unqueuedQuestionWarnsAndAnswersAsEscape()
{
    QFETCH(Buttons, buttons);
    QFETCH(Button, expected);

    ScriptedPrompts prompts(QStringLiteral("TARN"));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^ScriptedPrompts: unexpected message box \"Run\\?\" "
                                            "titled \"TARN\".*no answer queued$"));
    QCOMPARE(prompts.message(QStringLiteral("Run?"), Icon::Question, buttons), expected);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^ScriptedPrompts: unexpected input"));
    QCOMPARE(prompts.input(QStringLiteral("Name")), QString());
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^ScriptedPrompts: unexpected save-file dialog"));
    QCOMPARE(prompts.saveFile({QStringLiteral("Select Output Shapefile"),
                               QStringLiteral("Shapefile (*.shp)|*.shp"),
                               QString(),
                               {}}),
             QString());

    // Still recorded, so the test can say what was asked.
    QCOMPARE(prompts.calls().size(), 3);
    QVERIFY(!prompts.calls().at(0).answered);
    QCOMPARE(prompts.unexpectedCalls().size(), 3);
}

void TestPrompts::answerOfWrongKindIsUnexpected()
{
    ScriptedPrompts prompts(QStringLiteral("tarnProps"));
    prompts.answerText(QStringLiteral("Urban"));
    prompts.answerButton(Button::Yes);
    prompts.answerButton(Button::Ok);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("queued answer is a text$"));
    QCOMPARE(prompts.message(QStringLiteral("Delete?"), Icon::None, Buttons::YesNo), Button::No);
    // Yes is not on an OK box.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("queued button is not on the box$"));
    QCOMPARE(prompts.message(QStringLiteral("Done.")), Button::Ok);
    // The wrong answers were used up: the next question meets the next answer.
    QCOMPARE(prompts.message(QStringLiteral("Done.")), Button::Ok);
    QCOMPARE(prompts.unexpectedCalls().size(), 2);
    QCOMPARE(prompts.queuedAnswers(), 0);
}

void TestPrompts::whileOpenRunsBeforeTheAnswerReturns()
{
    ScriptedPrompts prompts(QStringLiteral("tarnProps"));
    QString seen;
    prompts.answerButton(Button::Yes, [&](const ScriptedPrompts::Call& call) {
        seen = call.text;
        QCOMPARE(prompts.calls().size(), 1);
    });
    QCOMPARE(prompts.message(QStringLiteral("Save?"), Icon::None, Buttons::YesNo), Button::Yes);
    QCOMPARE(seen, QStringLiteral("Save?"));
}

QTEST_MAIN(TestPrompts)
#include "tst_prompts.moc"
