#include "shared_windows/qtprompts.h"
#include "tests/support/scriptedprompts.h"

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
    void recordsQuestionsAndReturnsQueuedAnswers();
    void questionWithoutFittingAnswerWarnsAndIsEscaped();
};

void TestPrompts::qtFilterIsUnderstoodByQt_data()
{
    QTest::addColumn<QString>("classic");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("one pair") << "Shapefile (*.shp)|*.shp" << QStringList{"Shapefile (*.shp)"};
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

void TestPrompts::recordsQuestionsAndReturnsQueuedAnswers()
{
    ScriptedPrompts prompts(QStringLiteral("tarnProps"));
    int callsWhileOpen = 0;
    prompts.answerButton(
        Button::No, [&](const ScriptedPrompts::Call&) { callsWhileOpen = prompts.calls().size(); });
    prompts.answerButton(Button::Ok);
    prompts.answerText(QStringLiteral(" Urban "));
    prompts.answerText(QString());
    prompts.answerPath(QStringLiteral("/data/coefficients.txt"));
    const QString question = QStringLiteral("Not saved. \r\n Click 'Yes' to save changes.");
    QCOMPARE(prompts.message(question, Icon::None, Buttons::YesNoCancel), Button::No);
    QCOMPARE(callsWhileOpen, 1);
    QCOMPARE(prompts.message(QStringLiteral("Done."), QString(), Icon::Exclamation, Buttons::Ok),
             Button::Ok);
    QCOMPARE(prompts.input(QStringLiteral("Scenario:")), QStringLiteral(" Urban "));
    QCOMPARE(prompts.input(QStringLiteral("Name:"), QStringLiteral("Import")), QString());
    const Prompts::FileRequest request{QStringLiteral("Export"), QStringLiteral("Text|*.txt;*.csv"),
                                       QStringLiteral(".txt"),
                                       Prompts::FileOption::ConfirmOverwrite};
    QCOMPARE(prompts.saveFile(request), QStringLiteral("/data/coefficients.txt"));

    QCOMPARE(prompts.messageTexts(), (QStringList{question, "Done."}));
    // A box without a title carries the program's; a title given is used as given, even "".
    QStringList titles;
    for (const ScriptedPrompts::Call& call : prompts.calls()) {
        titles << call.title;
    }
    QCOMPARE(titles, (QStringList{"tarnProps", "", "tarnProps", "Import", "Export"}));
    const ScriptedPrompts::Call& save = prompts.calls().at(4);
    QCOMPARE(save.kind, Kind::SaveFile);
    QCOMPARE(save.file.filter, request.filter);
    QCOMPARE(save.file.options, request.options);
}

void TestPrompts::questionWithoutFittingAnswerWarnsAndIsEscaped()
{
    // Escape gives the only button, else Cancel, else No.
    ScriptedPrompts prompts(QStringLiteral("tarnProps"));
    prompts.answerText(QStringLiteral("Urban"));
    prompts.answerButton(Button::Yes);
    prompts.answerButton(Button::Ok);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("queued answer is a text$"));
    QCOMPARE(prompts.message(QStringLiteral("Delete?"), Icon::None, Buttons::YesNo), Button::No);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("queued button is not on the box$"));
    QCOMPARE(prompts.message(QStringLiteral("Done.")), Button::Ok);
    // Unfitting answers are used up: the next question meets the next answer.
    QCOMPARE(prompts.message(QStringLiteral("Done.")), Button::Ok);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^ScriptedPrompts: unexpected message box \"Run\\?\" "
                                            "titled \"tarnProps\".*no answer queued$"));
    QCOMPARE(prompts.message(QStringLiteral("Run?"), Icon::Question, Buttons::OkCancel),
             Button::Cancel);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^ScriptedPrompts: unexpected input"));
    QCOMPARE(prompts.input(QStringLiteral("Name")), QString());
    QCOMPARE(prompts.unexpectedCalls().size(), 4);
}

QTEST_MAIN(TestPrompts)
#include "tst_prompts.moc"
