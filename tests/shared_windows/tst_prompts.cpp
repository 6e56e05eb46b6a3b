#include "shared_windows/qtprompts.h"
#include "tests/support/scriptedprompts.h"

#include <QFileDialog>
#include <QRegularExpression>
#include <QtTest>

using Icon = Prompts::Icon;
using Buttons = Prompts::Buttons;
using Button = Prompts::Button;

class TestPrompts : public QObject {
    Q_OBJECT
private slots:
    void qtFilterIsUnderstoodByQt_data()
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
    void qtFilterIsUnderstoodByQt()
    {
        QFETCH(QString, classic);
        QFETCH(QStringList, expected);
        // The dialog splits the filter as it will when shown.
        QFileDialog dialog;
        dialog.setNameFilter(QtPrompts::qtNameFilter(classic));
        QCOMPARE(dialog.nameFilters(), expected);
    }

    // A box without a title carries the program's; a title given is used as given, even "". A
    // question without a fitting answer is warned about and answered as Escape would: the only
    // button, else Cancel, else No; the answer that did not fit is used up.
    void titlesAndEscapeAnswers()
    {
        ScriptedPrompts prompts(QStringLiteral("tarnProps"));
        int callsWhileOpen = 0;
        prompts.answerButton(Button::No, [&](const ScriptedPrompts::Call&) {
            callsWhileOpen = prompts.calls().size();
        });
        prompts.answerText(QStringLiteral(" Urban "));
        prompts.answerText(QString());
        prompts.answerPath(QStringLiteral("/data/coefficients.txt"));
        prompts.answerText(QStringLiteral("Urban"));
        prompts.answerButton(Button::Yes);
        QCOMPARE(prompts.message(QStringLiteral("Save?"), Icon::None, Buttons::YesNoCancel),
                 Button::No);
        QCOMPARE(callsWhileOpen, 1);
        QCOMPARE(prompts.input(QStringLiteral("Scenario:")), QStringLiteral(" Urban "));
        QCOMPARE(prompts.input(QStringLiteral("Name:"), QStringLiteral("Import")), QString());
        QCOMPARE(prompts.saveFile({QStringLiteral("Export"), QStringLiteral("Text|*.txt"),
                                   QStringLiteral(".txt"), Prompts::FileOption::ConfirmOverwrite}),
                 QStringLiteral("/data/coefficients.txt"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("queued answer is a text$"));
        QCOMPARE(prompts.message(QStringLiteral("Delete?"), QString(), Icon::None, Buttons::YesNo),
                 Button::No);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("queued button is not on the box$"));
        QCOMPARE(prompts.message(QStringLiteral("Done.")), Button::Ok);
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression("^ScriptedPrompts: unexpected message box \"Run\\?\" "
                                             "titled \"tarnProps\".*no answer queued$"));
        QCOMPARE(prompts.message(QStringLiteral("Run?"), Icon::Question, Buttons::OkCancel),
                 Button::Cancel);
        QCOMPARE(prompts.unexpectedCalls().size(), 3);
        QStringList titles;
        for (const ScriptedPrompts::Call& call : prompts.calls()) {
            titles << call.title;
        }
        QCOMPARE(titles, (QStringList{"tarnProps", "tarnProps", "Import", "Export", "", "tarnProps",
                                      "tarnProps"}));
    }
};

QTEST_MAIN(TestPrompts)
#include "tst_prompts.moc"
