#include "frmhelpbrowser2.h"
#include "frmispdensity.h"
#include "hostrequest.h"
#include "launcherfixture.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSignalSpy>
#include <QtTest>

// The parameter form: field lists, the output box, Browse, the check before a run, the
// scenario rows and the population density dialog.
class TestLauncherForm : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void analysisThemeRefillsFieldsOnlyWhenChanged();
    void outputBoxAddsSuffixAndNamesTheme();
    void browseTakesPathWithoutSuffix();
    void checkStopsAtFirstFaultAndFocusesIt();
    void calculateOpensDialogOnMouseReleaseOnly();
    void runWithCalculateLoadsDialogAndReportsMissingField();
    void densityDialogMirrorsChecksAndUnloads();
    void densityThemeRefillsFieldsOnlyWhenChanged();
    void addNeedsCoefficientSet();
    void rowsAreAddedNumberedAndDeletedByNumber();
    void deletingTheOnlyRowHidesItAndAddRefillsIt();
    void badDeleteAnswersChangeNothing();
    void scrollBarFromTheSeventhRowAndBackToTop();
    void classListsKeepTheSetOfTheFirstRow();
    void tickedIncompleteRowFailsTheCheck();
    void helpOpensWithoutWaitingAndQuitUnloadsBoth();

private:
    QComboBox* combo(const char* name, int index = -1) const
    {
        return control<QComboBox>(w.get(), name, index);
    }
    void select(const char* name, int index, int arrayIndex = -1)
    {
        QComboBox* c = combo(name, arrayIndex);
        const QSignalBlocker blocker(c);
        c->setCurrentIndex(index);
    }
    // Everything chosen for a run with "High" and no scenario.
    void chooseAll();
    void expectFault(QWidget* focused, const QString& message);

    std::unique_ptr<LauncherFixture> f;
    std::unique_ptr<frmISParams> w;
};

void TestLauncherForm::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("^ScriptedPrompts: unexpected")));
    f = std::make_unique<LauncherFixture>();
    w = f->loadedWindow();
    QVERIFY(w);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
}

void TestLauncherForm::cleanup()
{
    w.reset();
    QCOMPARE(f->prompts.queuedAnswers(), 0);
    f.reset();
}

void TestLauncherForm::chooseAll()
{
    select("cboAnalysisUnit", 1);
    control<QRadioButton>(w.get(), "optPopDensity", 0)->setChecked(true);
    control<QLineEdit>(w.get(), "txtOutputTheme")->setText(QStringLiteral("/out/roads.shp"));
}

void TestLauncherForm::expectFault(QWidget* focused, const QString& message)
{
    f->prompts.reset();
    f->prompts.answerButton(Prompts::Button::Ok);
    QVERIFY(!w->ValidateParams(w->lastScenario()));
    QCOMPARE(f->prompts.calls().size(), 1);
    const ScriptedPrompts::Call& call = f->prompts.calls().first();
    QCOMPARE(call.text, message);
    QCOMPARE(call.title, QString());
    QCOMPARE(call.icon, Prompts::Icon::Exclamation);
    QCOMPARE(call.buttons, Prompts::Buttons::Ok);
    QCOMPARE(QApplication::focusWidget(), focused);
}

void TestLauncherForm::analysisThemeRefillsFieldsOnlyWhenChanged()
{
    select("cboAnalysisUnit", 1);
    combo("cboAnalysisTheme")->setCurrentIndex(1);
    QCOMPARE(f->host->requests(),
             QStringList({"av.Run(\"isGetFldNames\",{\"View1\",\"blocks\",\"2\"})"}));
    QCOMPARE(combo("cboAnalysisUnit")->itemText(1), QStringLiteral("NAME"));
    QCOMPARE(combo("cboAnalysisUnit")->currentIndex(), -1);
    QCOMPARE(w->lastAnalysisTheme(), 1);

    // The same theme again asks nothing and keeps the field.
    select("cboAnalysisUnit", 0);
    f->host->clearRequests();
    combo("cboAnalysisTheme")->setCurrentIndex(1);
    emit combo("cboAnalysisTheme")->currentIndexChanged(1);
    QVERIFY(f->host->requests().isEmpty());
    QCOMPARE(combo("cboAnalysisUnit")->currentIndex(), 0);
}

void TestLauncherForm::outputBoxAddsSuffixAndNamesTheme()
{
    auto* output = control<QLineEdit>(w.get(), "txtOutputTheme");
    auto* name = control<QLineEdit>(w.get(), "txtThemeName");
    output->setFocus();
    QTest::keyClicks(output, QStringLiteral("  C:\\data\\roads "));
    // Leaving the box is what applies the rule.
    name->setFocus();
    QCOMPARE(output->text(), QStringLiteral("C:\\data\\roads.shp"));
    QCOMPARE(name->text(), QStringLiteral("roads"));
    QCOMPARE(w->lastOutput(), QStringLiteral("C:\\data\\roads.shp"));

    // A name typed by hand survives while the path stays the same.
    name->setText(QStringLiteral("my roads"));
    w->txtOutputTheme_LostFocus();
    QCOMPARE(name->text(), QStringLiteral("my roads"));

    output->setText(QStringLiteral("/data/Streets.SHP"));
    w->txtOutputTheme_LostFocus();
    QCOMPARE(output->text(), QStringLiteral("/data/Streets.SHP"));
    QCOMPARE(name->text(), QStringLiteral("Streets.SHP"));

    // A message box taking the focus for a while is not leaving the box.
    output->setText(QStringLiteral("lakes"));
    QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QCoreApplication::sendEvent(output, &away);
    QCOMPARE(output->text(), QStringLiteral("lakes"));
}

void TestLauncherForm::browseTakesPathWithoutSuffix()
{
    auto* output = control<QLineEdit>(w.get(), "txtOutputTheme");
    auto* name = control<QLineEdit>(w.get(), "txtThemeName");
    f->prompts.answerPath(QStringLiteral(" /data/out/parcels_is "));
    control<QPushButton>(w.get(), "cmdOutputBrowse")->click();
    QCOMPARE(f->prompts.calls().size(), 1);
    const ScriptedPrompts::Call& call = f->prompts.calls().first();
    QCOMPARE(call.kind, ScriptedPrompts::Kind::SaveFile);
    QCOMPARE(call.file.title, QStringLiteral("Select Output Shapefile"));
    QCOMPARE(call.file.filter, QStringLiteral("Shapefile (*.shp)|*.shp"));
    QCOMPARE(call.file.defaultSuffix, QString());
    QVERIFY(call.file.options.testFlag(Prompts::FileOption::ConfirmOverwrite));
    QCOMPARE(output->text(), QStringLiteral("/data/out/parcels_is"));

    // Leaving Browse names the theme but adds no suffix.
    w->cmdOutputBrowse_LostFocus();
    QCOMPARE(output->text(), QStringLiteral("/data/out/parcels_is"));
    QCOMPARE(name->text(), QStringLiteral("parcels_is"));

    // A cancelled dialog changes nothing.
    f->prompts.answerPath(QString());
    control<QPushButton>(w.get(), "cmdOutputBrowse")->click();
    QCOMPARE(output->text(), QStringLiteral("/data/out/parcels_is"));
}

void TestLauncherForm::checkStopsAtFirstFaultAndFocusesIt()
{
    chooseAll();
    for (const char* name :
         {"cboAnalysisTheme", "cboLCTheme", "cboLCUnits", "cboLCType", "cboAnalysisUnit"}) {
        select(name, -1);
    }
    expectFault(combo("cboAnalysisTheme"),
                "No Analysis theme selected, please select from dropdown list.");
    select("cboAnalysisTheme", 0);
    expectFault(combo("cboLCTheme"),
                "No Land Cover theme selected, please select from dropdown list.");
    select("cboLCTheme", 1);
    expectFault(combo("cboLCUnits"),
                "Land Cover units not defined, please select from dropdown list.");
    select("cboLCUnits", 0);
    expectFault(combo("cboLCType"),
                "Land Cover Type not defined, please select from dropdown list.");
    select("cboLCType", 1);
    expectFault(combo("cboAnalysisUnit"),
                "Analysis unit not defined, please select from dropdown list.");
    select("cboAnalysisUnit", 0);

    // The options cannot be unset one by one once exclusive; clear them as at start.
    auto* high = control<QRadioButton>(w.get(), "optPopDensity", 0);
    high->group()->setExclusive(false);
    high->setChecked(false);
    high->group()->setExclusive(true);
    expectFault(high, "Population Density option not defined, please select option.");
    control<QRadioButton>(w.get(), "optPopDensity", 2)->setChecked(true);

    auto* output = control<QLineEdit>(w.get(), "txtOutputTheme");
    output->clear();
    expectFault(output, "Output Theme not defined, please enter a name.");
    output->setText(QStringLiteral("x.shp"));

    f->prompts.reset();
    QVERIFY(w->ValidateParams(w->lastScenario()));
    QVERIFY(f->prompts.calls().isEmpty());
    QVERIFY(f->host->requests().isEmpty());
}

void TestLauncherForm::calculateOpensDialogOnMouseReleaseOnly()
{
    // Other options and the keyboard open nothing.
    QTest::mouseClick(control<QRadioButton>(w.get(), "optPopDensity", 1), Qt::LeftButton);
    auto* calculate = control<QRadioButton>(w.get(), "optPopDensity", 3);
    calculate->setFocus();
    QTest::keyClick(calculate, Qt::Key_Space);
    QVERIFY(calculate->isChecked());
    QVERIFY(!w->loadedPDensity());
    QVERIFY(f->host->requests().isEmpty());

    control<QRadioButton>(w.get(), "optPopDensity", 0)->setChecked(true);
    QTest::mouseClick(calculate, Qt::LeftButton);
    QVERIFY(calculate->isChecked());
    frmISPDensity* density = w->loadedPDensity();
    QVERIFY(density);
    QVERIFY(density->isVisible());
    QCOMPARE(density->windowModality(), Qt::ApplicationModal);
    QCOMPARE(density->windowTitle(), QStringLiteral("Population Density Calculation"));
    QCOMPARE(f->host->requests(),
             QStringList({"av.Run(\"isGetFThemes\",{\"View1\",\"1\"})",
                          "av.Run(\"isGetFldNames\",{\"View1\",\"blocks\",\"1\"})"}));
}

void TestLauncherForm::runWithCalculateLoadsDialogAndReportsMissingField()
{
    chooseAll();
    control<QRadioButton>(w.get(), "optPopDensity", 3)->setChecked(true);
    QVERIFY(!w->loadedPDensity());
    f->prompts.answerButton(Prompts::Button::Ok);
    control<QPushButton>(w.get(), "cmdISRun")->click();
    QCOMPARE(f->prompts.messageTexts(),
             QStringList({"No Populaiton Density field selected, please select from dropdown "
                          "list."}));
    QCOMPARE(f->prompts.calls().first().title, QString());
    QVERIFY(w->loadedPDensity());
    QVERIFY(w->loadedPDensity()->isVisible());
    // Nothing more is asked: no working directory, no run.
    QCOMPARE(f->host->requests().size(), 2);
}

void TestLauncherForm::densityDialogMirrorsChecksAndUnloads()
{
    frmISPDensity* density = w->PDensity();
    density->showModal();
    auto* high = control<QLineEdit>(density, "txtHigh");
    auto* low = control<QLineEdit>(density, "txtLow");
    auto* med0 = control<QLineEdit>(density, "txtMed", 0);
    auto* med1 = control<QLineEdit>(density, "txtMed", 1);
    QVERIFY(!med0->isEnabled() && !med1->isEnabled());
    QTest::keyClicks(high, QStringLiteral("500"));
    QTest::keyClicks(low, QStringLiteral("200"));
    QCOMPARE(med0->text(), QStringLiteral("500"));
    QCOMPARE(med1->text(), QStringLiteral("200"));

    const auto expectOkFails = [&](const QString& message) {
        f->prompts.reset();
        f->prompts.answerButton(Prompts::Button::Ok);
        control<QPushButton>(density, "cmdOK")->click();
        QCOMPARE(f->prompts.messageTexts(), QStringList({message}));
        QCOMPARE(f->prompts.calls().first().icon, Prompts::Icon::Exclamation);
        QCOMPARE(f->prompts.calls().first().title, QString());
        QVERIFY(density->isVisible());
    };
    expectOkFails("No Populaiton Density field selected, please select from dropdown list.");
    {
        auto* field = control<QComboBox>(density, "cboPDenFld");
        field->setCurrentIndex(0);
    }
    high->clear();
    expectOkFails("Numeric value must be entered in field.");
    high->setText(QStringLiteral("100"));
    expectOkFails("Population density \"Low\" value must be less than the \"High\" value.");
    low->setText(QStringLiteral("abc"));
    expectOkFails("Numeric value must be entered in field.");
    low->setText(QStringLiteral("100"));

    f->prompts.reset();
    control<QPushButton>(density, "cmdOK")->click();
    QVERIFY(f->prompts.calls().isEmpty());
    QVERIFY(!density->isVisible());
    QCOMPARE(w->loadedPDensity(), density); // hidden, choices kept
    QCOMPARE(density->medText(0), QStringLiteral("100"));

    // Cancel unloads: the next use asks the host again and starts empty.
    density->showModal();
    control<QPushButton>(density, "cmdCancel")->click();
    QVERIFY(!w->loadedPDensity());
    f->host->clearRequests();
    QCOMPARE(w->PDensity()->highText(), QString());
    QCOMPARE(f->host->requests().size(), 2);
}

void TestLauncherForm::densityThemeRefillsFieldsOnlyWhenChanged()
{
    frmISPDensity* density = w->PDensity();
    auto* theme = control<QComboBox>(density, "cboPDenTheme");
    auto* field = control<QComboBox>(density, "cboPDenFld");
    QCOMPARE(theme->currentIndex(), 0);
    QCOMPARE(field->currentIndex(), -1);
    field->setCurrentIndex(1);
    f->host->clearRequests();
    emit theme->currentIndexChanged(0);
    QVERIFY(f->host->requests().isEmpty());
    QCOMPARE(field->currentIndex(), 1);

    theme->setCurrentIndex(1);
    QCOMPARE(f->host->requests(),
             QStringList({"av.Run(\"isGetFldNames\",{\"View1\",\"tracts\",\"1\"})"}));
    QCOMPARE(field->count(), 1);
    QCOMPARE(field->currentIndex(), -1);
    QCOMPARE(density->lastPDenTheme(), 1);
}

void TestLauncherForm::addNeedsCoefficientSet()
{
    select("cboLCType", -1);
    f->prompts.answerButton(Prompts::Button::Ok);
    control<QPushButton>(w.get(), "cmdDSAdd")->click();
    QCOMPARE(f->prompts.messageTexts(),
             QStringList({"No Land Cover Type defined, please select from the dropdown list "
                          "before adding Development Scenarios"}));
    QCOMPARE(f->prompts.calls().first().title, QString());
    QCOMPARE(QApplication::focusWidget(), combo("cboLCType"));
    QCOMPARE(w->lastScenario(), -1);
    QVERIFY(f->host->requests().isEmpty());
}

void TestLauncherForm::rowsAreAddedNumberedAndDeletedByNumber()
{
    auto* add = control<QPushButton>(w.get(), "cmdDSAdd");
    for (int i = 0; i < 3; ++i) {
        add->click();
    }
    QCOMPARE(w->lastScenario(), 2);
    // Only the first row asks the host; the others copy its entries.
    QCOMPARE(f->host->requests(), QStringList({"av.Run(\"isGetFThemes\",{\"View1\",\"0\"})"}));
    QVERIFY(control<QLabel>(w.get(), "lblDSApply")->isVisible());
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(control<QLabel>(w.get(), "lblDSNum", i)->text(), QString::number(i + 1) + ".");
        QVERIFY(control<QCheckBox>(w.get(), "chkDSApply", i)->isChecked());
        QCOMPARE(combo("cboDSTheme", i)->count(), 3);
        QCOMPARE(combo("cboDSTheme", i)->currentIndex(), -1);
        QCOMPARE(combo("cboDSToClass", i)->itemText(1), QStringLiteral("Developed, Low"));
        QCOMPARE(combo("cboDSToClass", i)->itemData(1).toInt(), 21);
        QCOMPARE(combo("cboDSToClass", i)->currentIndex(), -1);
    }
    QVERIFY(control<QPushButton>(w.get(), "cmdDSDelete")->isEnabled());
    select("cboDSTheme", 0, 0);
    select("cboDSTheme", 1, 1);
    select("cboDSTheme", 2, 2);
    select("cboDSToClass", 1, 2);
    control<QCheckBox>(w.get(), "chkDSApply", 1)->setChecked(false);

    f->prompts.answerText(QStringLiteral("2"));
    control<QPushButton>(w.get(), "cmdDSDelete")->click();
    const ScriptedPrompts::Call& ask = f->prompts.calls().first();
    QCOMPARE(ask.kind, ScriptedPrompts::Kind::Input);
    QCOMPARE(ask.text, QStringLiteral("Enter number of scenario to delete:"));
    QCOMPARE(ask.title, QStringLiteral("Delete Scenario"));

    QCOMPARE(w->lastScenario(), 1);
    QVERIFY(!control<QCheckBox>(w.get(), "chkDSApply", 2));
    QCOMPARE(control<QLabel>(w.get(), "lblDSNum", 1)->text(), QStringLiteral("2."));
    QVERIFY(control<QCheckBox>(w.get(), "chkDSApply", 1)->isChecked());
    QCOMPARE(combo("cboDSTheme", 1)->currentIndex(), 2);
    QCOMPARE(combo("cboDSToClass", 1)->currentIndex(), 1);
    QCOMPARE(combo("cboDSTheme", 0)->currentIndex(), 0);
    QVERIFY(control<QPushButton>(w.get(), "cmdDSDelete")->isEnabled());
}

void TestLauncherForm::deletingTheOnlyRowHidesItAndAddRefillsIt()
{
    auto* add = control<QPushButton>(w.get(), "cmdDSAdd");
    auto* del = control<QPushButton>(w.get(), "cmdDSDelete");
    add->click();
    control<QCheckBox>(w.get(), "chkDSApply", 0)->setChecked(false);
    f->prompts.answerText(QStringLiteral("1"));
    del->click();
    QCOMPARE(w->lastScenario(), -1);
    QVERIFY(!del->isEnabled());
    QVERIFY(!control<QLabel>(w.get(), "lblDSApply")->isVisible());
    QVERIFY(!combo("cboDSTheme", 0)->isVisible());

    f->host->clearRequests();
    f->host->answer(Demo::featureThemes(0), QStringLiteral("roads"));
    add->click();
    QVERIFY(control<QCheckBox>(w.get(), "chkDSApply", 0)->isChecked());
    QVERIFY(combo("cboDSTheme", 0)->isVisible());
    QCOMPARE(combo("cboDSTheme", 0)->count(), 1);
    QCOMPARE(f->host->requests().size(), 1);
}

void TestLauncherForm::badDeleteAnswersChangeNothing()
{
    auto* del = control<QPushButton>(w.get(), "cmdDSDelete");
    control<QPushButton>(w.get(), "cmdDSAdd")->click();
    control<QPushButton>(w.get(), "cmdDSAdd")->click();
    for (const QString& answer : {QStringLiteral("0"), QStringLiteral("3"), QStringLiteral("two"),
                                  QStringLiteral("1.5x")}) {
        f->prompts.reset();
        f->prompts.answerText(answer);
        f->prompts.answerButton(Prompts::Button::Ok);
        del->click();
        QCOMPARE(f->prompts.messageTexts(), QStringList({"Invalid scenario number"}));
        QCOMPARE(f->prompts.calls().last().icon, Prompts::Icon::Exclamation);
        QCOMPARE(w->lastScenario(), 1);
    }
    f->prompts.reset();
    f->prompts.answerText(QString()); // Cancel
    del->click();
    QCOMPARE(f->prompts.messageTexts(), QStringList());
    QCOMPARE(w->lastScenario(), 1);
}

void TestLauncherForm::scrollBarFromTheSeventhRowAndBackToTop()
{
    auto* add = control<QPushButton>(w.get(), "cmdDSAdd");
    auto* bar = control<QScrollBar>(w.get(), "VScroll1");
    auto* items = w->findChild<QWidget*>(QStringLiteral("fraDSItems"));
    for (int i = 0; i < 6; ++i) {
        add->click();
    }
    QVERIFY(!bar->isVisible());
    add->click();
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->maximum(), 350);
    QCOMPARE(bar->pageStep(), 700);
    QCOMPARE(bar->singleStep(), 350);
    bar->setValue(350);
    QVERIFY(items->y() < 0);
    // Row 7 is now within the visible window onto the rows.
    auto* container = w->findChild<QWidget*>(QStringLiteral("fraDSContainer"));
    const QRect row7 = combo("cboDSTheme", 6)->geometry().translated(items->pos());
    QVERIFY(container->rect().contains(row7));

    f->prompts.answerText(QStringLiteral("7"));
    control<QPushButton>(w.get(), "cmdDSDelete")->click();
    QVERIFY(!bar->isVisible());
    QCOMPARE(items->y(), 0);
}

void TestLauncherForm::classListsKeepTheSetOfTheFirstRow()
{
    auto* add = control<QPushButton>(w.get(), "cmdDSAdd");
    add->click();
    combo("cboLCType")->setCurrentIndex(1); // Urban
    add->click();
    QCOMPARE(combo("cboDSToClass", 1)->count(), 2);
    QCOMPARE(combo("cboDSToClass", 1)->itemText(0), QStringLiteral("Forest"));
}

void TestLauncherForm::tickedIncompleteRowFailsTheCheck()
{
    chooseAll();
    auto* add = control<QPushButton>(w.get(), "cmdDSAdd");
    for (int i = 0; i < 3; ++i) {
        add->click();
    }
    control<QCheckBox>(w.get(), "chkDSApply", 0)->setChecked(false);
    control<QCheckBox>(w.get(), "chkDSApply", 1)->setChecked(false);
    expectFault(combo("cboDSTheme", 2), "No theme selected, please select from dropdown list.");
    select("cboDSTheme", 0, 2);
    expectFault(combo("cboDSToClass", 2), "No class selected, please select from dropdown list.");
    select("cboDSToClass", 0, 2);
    f->prompts.reset();
    QVERIFY(w->ValidateParams(w->lastScenario()));
}

void TestLauncherForm::helpOpensWithoutWaitingAndQuitUnloadsBoth()
{
    control<QPushButton>(w.get(), "cmdISHelp")->click();
    frmHelpBrowser2* help = frmHelpBrowser2::current();
    QVERIFY(help);
    QVERIFY(help->isVisible());
    QVERIFY(!help->parentWidget());

    QPointer<frmISPDensity> density = w->PDensity();
    QSignalSpy unloaded(w.get(), &frmISParams::unloaded);
    control<QPushButton>(w.get(), "cmdISQuit")->click();
    QCOMPARE(unloaded.count(), 1);
    QVERIFY(!w->isVisible());
    QVERIFY(!w->loadedPDensity());
    QTRY_VERIFY(!density);
    // The help window is the user's to close.
    QVERIFY(frmHelpBrowser2::current());
    help->close();
}

QTEST_MAIN(TestLauncherForm)
#include "tst_launcherform.moc"
