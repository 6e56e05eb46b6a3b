#include "frmispdensity.h"
#include "frmisprocessing.h"
#include "launcherfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QtTest>

// Run: the parameter file as the host's script reads it, the run request, and what the
// user sees when the host refuses or is gone.
class TestLauncherRun : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void highRunWritesFileAndIsSubmitted();
    void calculateRunWritesDensityAndTickedScenarios();
    void refusingHostsReasonIsShownAndNoticeCloses();
    void runWithoutAnswerIsRefused();
    void absentHostSendsNoRun();
    void missingWorkDirSendsNoRun();
    void unwritableParameterFileSendsNoRun();

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
    void chooseHigh();
    void run() { control<QPushButton>(w.get(), "cmdISRun")->click(); }
    QByteArray paramFile() const;
    QString paramPath() const { return f->workDir() + QStringLiteral("/model_params.txt"); }

    std::unique_ptr<LauncherFixture> f;
    std::unique_ptr<frmISParams> w;
};

void TestLauncherRun::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("^ScriptedPrompts: unexpected")));
    f = std::make_unique<LauncherFixture>();
    w = f->loadedWindow();
    QVERIFY(w);
}

void TestLauncherRun::cleanup()
{
    w.reset();
    QVERIFY(!frmISProcessing::current());
    QCOMPARE(f->prompts.queuedAnswers(), 0);
    f.reset();
}

void TestLauncherRun::chooseHigh()
{
    select("cboAnalysisUnit", 1);
    control<QRadioButton>(w.get(), "optPopDensity", 0)->setChecked(true);
    control<QLineEdit>(w.get(), "txtOutputTheme")->setText(QStringLiteral("/out/roads.shp"));
    w->txtOutputTheme_LostFocus();
}

QByteArray TestLauncherRun::paramFile() const
{
    QFile file(paramPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

void TestLauncherRun::highRunWritesFileAndIsSubmitted()
{
    chooseHigh();
    run();
    QCOMPARE(f->prompts.messageTexts(), QStringList());
    QCOMPARE(f->host->requests(),
             QStringList({"av.GetProject.GetWorkDir.GetFullName.AsString",
                          "av.GetProject.GetWorkDir.GetFullName.AsString",
                          "av.Run(\"isCallExecuteModel\",{\"" + paramPath() + "\"})"}));
    // Both sets named "Suburban" give their classes, set after set.
    QCOMPARE(paramFile(), QByteArray("VIEW#View1\r\n"
                                     "LCTHEME#lc2016\r\n"
                                     "LCUNITS#Feet\r\n"
                                     "ANALYSISTHEME#parcels\r\n"
                                     "ANALYSISUNIT#ZONING\r\n"
                                     "POPDENSITY#0\r\n"
                                     "OUTTHEME#/out/roads.shp\r\n"
                                     "OUTTHEMENAME#roads\r\n"
                                     "CLASS#41#Forest#80#62.5#0\r\n"
                                     "CLASS#21#Developed, Low#12.5#7.5#2\r\n"
                                     "CLASS#-3#Water#1#1#1\r\n"));
    QVERIFY(frmISProcessing::current());
    QVERIFY(frmISProcessing::current()->isVisible());
    QCOMPARE(frmISProcessing::current()->parentWidget(), w.get());

    QVERIFY(w->HandleHostCommand(QStringLiteral("{closeprocfrm}")));
    QVERIFY(!frmISProcessing::current());

    // A second run writes the file again and asks again.
    control<QRadioButton>(w.get(), "optPopDensity", 2)->setChecked(true);
    f->host->clearRequests();
    run();
    QCOMPARE(f->host->requests().size(), 3);
    QVERIFY(paramFile().contains("POPDENSITY#2\r\n"));
    frmISProcessing::closeNotice();
}

void TestLauncherRun::calculateRunWritesDensityAndTickedScenarios()
{
    // A working directory answered with its separator is used as it comes.
    f->host->answer(Demo::workDir(), f->workDir() + QStringLiteral("/"));
    select("cboLCTheme", 1);
    select("cboLCUnits", 0);
    combo("cboAnalysisTheme")->setCurrentIndex(1); // blocks: its fields are listed
    select("cboAnalysisUnit", 1);
    select("cboLCType", 1); // Urban
    control<QLineEdit>(w.get(), "txtOutputTheme")->setText(QStringLiteral("/out/imp.shp"));

    auto* add = control<QPushButton>(w.get(), "cmdDSAdd");
    for (int i = 0; i < 3; ++i) {
        add->click();
    }
    select("cboDSTheme", 0, 0);
    select("cboDSToClass", 0, 0);
    control<QCheckBox>(w.get(), "chkDSApply", 1)->setChecked(false); // left incomplete
    select("cboDSTheme", 2, 2);
    select("cboDSToClass", 0, 2);

    control<QRadioButton>(w.get(), "optPopDensity", 3)->setChecked(true);
    frmISPDensity* density = w->PDensity();
    control<QComboBox>(density, "cboPDenFld")->setCurrentIndex(0);
    control<QLineEdit>(density, "txtHigh")->setText(QStringLiteral("1000.5"));
    control<QLineEdit>(density, "txtLow")->setText(QStringLiteral("250"));
    f->host->clearRequests();

    run();
    QCOMPARE(f->prompts.messageTexts(), QStringList());
    QCOMPARE(f->host->requests().last(), QStringLiteral("av.Run(\"isCallExecuteModel\",{\"") +
                                             paramPath() + QStringLiteral("\"})"));
    QCOMPARE(paramFile(), QByteArray("VIEW#View1\r\n"
                                     "LCTHEME#lc2001\r\n"
                                     "LCUNITS#Meters\r\n"
                                     "ANALYSISTHEME#blocks\r\n"
                                     "ANALYSISUNIT#NAME\r\n"
                                     "POPDENSITY#3\r\n"
                                     "POPDENSITYTHEME#blocks\r\n"
                                     "POPDENSITYFLD#POP_DENS\r\n"
                                     "POPDENSITYHIGH#1000.5\r\n"
                                     "POPDENSITYMED#1000.5#250\r\n"
                                     "POPDENSITYLOW#250\r\n"
                                     "OUTTHEME#/out/imp.shp\r\n"
                                     "OUTTHEMENAME#\r\n"
                                     "DS#1#parcels#Developed#22\r\n"
                                     "DS#3#water#Developed#22\r\n"
                                     "CLASS#22#Developed#90#75#60\r\n"));
    frmISProcessing::closeNotice();
}

void TestLauncherRun::refusingHostsReasonIsShownAndNoticeCloses()
{
    // Letter case counts: "submitted" is a refusal.
    f->host->answer(Demo::run(paramPath()), QStringLiteral("submitted"));
    chooseHigh();
    f->prompts.answerButton(Prompts::Button::Ok);
    run();
    QCOMPARE(f->prompts.messageTexts(),
             QStringList({"Error calling script to run model within ArcView\nsubmitted"}));
    const ScriptedPrompts::Call& call = f->prompts.calls().first();
    QCOMPARE(call.icon, Prompts::Icon::Critical);
    QCOMPARE(call.title, QStringLiteral("TARN"));
    QVERIFY(!frmISProcessing::current());
    QVERIFY(QFile::exists(paramPath())); // the file stays
}

void TestLauncherRun::runWithoutAnswerIsRefused()
{
    f->host->answer(Demo::run(paramPath()), std::nullopt);
    chooseHigh();
    f->prompts.answerButton(Prompts::Button::Ok);
    run();
    QCOMPARE(f->prompts.messageTexts(),
             QStringList({"Error calling script to run model within ArcView"}));
    QVERIFY(!frmISProcessing::current());
}

void TestLauncherRun::absentHostSendsNoRun()
{
    chooseHigh();
    f->host.reset();
    f->prompts.answerButton(Prompts::Button::Ok);
    f->prompts.answerButton(Prompts::Button::Ok);
    run();
    QCOMPARE(f->prompts.messageTexts(),
             QStringList({"Unable to define working directory in current project.",
                          "Working directory () defined in ArcView project does not exist."}));
    QVERIFY(!frmISProcessing::current());
    QVERIFY(!QFile::exists(paramPath()));
}

void TestLauncherRun::missingWorkDirSendsNoRun()
{
    const QString missing = f->m_dir.filePath(QStringLiteral("gone"));
    f->host->answer(Demo::workDir(), missing);
    chooseHigh();
    f->prompts.answerButton(Prompts::Button::Ok);
    run();
    QCOMPARE(f->prompts.messageTexts(),
             QStringList({"Working directory (" + missing +
                          "/) defined in ArcView project does not exist."}));
    QCOMPARE(f->prompts.calls().first().title, QStringLiteral("TARN"));
    QCOMPARE(f->prompts.calls().first().icon, Prompts::Icon::None);
    QCOMPARE(f->host->requests().size(), 1);
    QVERIFY(!frmISProcessing::current());
}

void TestLauncherRun::unwritableParameterFileSendsNoRun()
{
    QFile old(paramPath());
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("earlier run\r\n");
    old.close();
    QVERIFY(old.setPermissions(QFile::ReadOwner | QFile::ReadUser));
    chooseHigh();
    f->prompts.answerButton(Prompts::Button::Ok);
    run();
    QCOMPARE(f->prompts.calls().size(), 1);
    const ScriptedPrompts::Call& call = f->prompts.calls().first();
    QVERIFY2(call.text.contains(f->workDir() + QStringLiteral("/")), qPrintable(call.text));
    QCOMPARE(call.icon, Prompts::Icon::Critical);
    QCOMPARE(f->host->requests().size(), 1);
    QCOMPARE(paramFile(), QByteArray("earlier run\r\n"));
    QVERIFY(!frmISProcessing::current());
}

QTEST_MAIN(TestLauncherRun)
#include "tst_launcherrun.moc"
