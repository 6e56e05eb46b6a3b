#include "basutil.h"
#include "frmisprocessing.h"
#include "hostlink.h"
#include "hostrequest.h"
#include "launcherfixture.h"

#include <QComboBox>
#include <QFile>
#include <QLocalServer>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

// Start-up: the store, the host's answers in their order, the lists, the ways start-up ends;
// and the host's commands to the window.
class TestLauncherStartup : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void asksInOrderAndFillsLists();
    void listAnswersKeepEmptyEntries();
    void listFileAnswerReadsLastLineAndDeletesFile();
    void missingListFileIsReported();
    void endsWhenStoreMissing();
    void endsWithoutGridThemes();
    void endsWithoutPolygonThemes();
    void oneCharacterViewNameGoesOnWithEmptyView();
    void unknownUnitsLeaveNoSelection();
    void themeWithoutFieldsIsReported();
    void storeWithoutSetsStartsWithoutSelection();
    void absentHostEndsWithOneMessage();
    void silentHostEndsWithOneMessage();
    void hostCommandsDriveWindowAndNotice();

private:
    QStringList comboTexts(const char* name) const;
    int comboIndex(const char* name) const;

    std::unique_ptr<LauncherFixture> f;
    std::unique_ptr<frmISParams> w;
};

void TestLauncherStartup::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("^ScriptedPrompts: unexpected")));
    f = std::make_unique<LauncherFixture>();
}

void TestLauncherStartup::cleanup()
{
    w.reset();
    QCOMPARE(f->prompts.queuedAnswers(), 0);
    f.reset();
}

QStringList TestLauncherStartup::comboTexts(const char* name) const
{
    QStringList texts;
    auto* combo = control<QComboBox>(w.get(), name);
    for (int i = 0; i < combo->count(); ++i) {
        texts << combo->itemText(i);
    }
    return texts;
}

int TestLauncherStartup::comboIndex(const char* name) const
{
    return control<QComboBox>(w.get(), name)->currentIndex();
}

void TestLauncherStartup::asksInOrderAndFillsLists()
{
    w = f->window();
    QVERIFY(w->Form_Load());
    QCOMPARE(f->host->requests(),
             QStringList({"av.GetActiveDoc.GetName", "av.Run(\"isGetGThemes\",{\"View1\"})",
                          "av.Run(\"isGetFThemes\",{\"View1\",\"2\"})",
                          "av.Run(\"isGetFldNames\",{\"View1\",\"parcels\",\"2\"})",
                          "av.Run(\"isGetViewUnits\",{\"View1\"})"}));
    QVERIFY(f->prompts.calls().isEmpty());
    QCOMPARE(w->windowTitle(), QStringLiteral("Tarnwick"));
    QCOMPARE(w->viewName(), QStringLiteral("View1"));

    QCOMPARE(comboTexts("cboLCTheme"), QStringList({"lc2016", "lc2001"}));
    QCOMPARE(comboIndex("cboLCTheme"), 0);
    QCOMPARE(comboTexts("cboAnalysisTheme"), QStringList({"parcels", "blocks"}));
    QCOMPARE(comboIndex("cboAnalysisTheme"), 0);
    QCOMPARE(w->lastAnalysisTheme(), 0);
    QCOMPARE(comboTexts("cboAnalysisUnit"), QStringList({"PARCEL_ID", "ZONING"}));
    QCOMPARE(comboIndex("cboAnalysisUnit"), -1);
    QCOMPARE(comboTexts("cboLCType"), QStringList({"Suburban", "Urban", "Suburban"}));
    QCOMPARE(comboIndex("cboLCType"), 0);
    // " FEET " matches "Feet" ignoring case and blanks.
    QCOMPARE(comboTexts("cboLCUnits"), QStringList({"Meters", "Feet"}));
    QCOMPARE(comboIndex("cboLCUnits"), 1);

    QCOMPARE(w->lastScenario(), -1);
    QVERIFY(!control<QPushButton>(w.get(), "cmdDSDelete")->isEnabled());
}

void TestLauncherStartup::listAnswersKeepEmptyEntries()
{
    f->host->answer(Demo::gridThemes(), QStringLiteral("a##b#"));
    w = f->window();
    QVERIFY(w->Form_Load());
    QCOMPARE(comboTexts("cboLCTheme"), QStringList({"a", "", "b", ""}));
}

void TestLauncherStartup::listFileAnswerReadsLastLineAndDeletesFile()
{
    const QString path = f->m_dir.filePath(QStringLiteral("themes.lst"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("old#names\r\nparcels#blocks#\r\n");
    file.close();
    f->host->answer(Demo::featureThemes(2), path);
    w = f->window();
    QVERIFY(w->Form_Load());
    QCOMPARE(comboTexts("cboAnalysisTheme"), QStringList({"parcels", "blocks", ""}));
    QVERIFY(!QFile::exists(path));
}

void TestLauncherStartup::missingListFileIsReported()
{
    f->host->answer(Demo::gridThemes(), f->m_dir.filePath(QStringLiteral("gone.lst")));
    w = f->window();
    f->prompts.answerButton(Prompts::Button::Ok);
    f->prompts.answerButton(Prompts::Button::Ok);
    QVERIFY(!w->Form_Load());
    QCOMPARE(f->prompts.messageTexts(),
             QStringList({"Error creating field list.  Temporary file not found",
                          "No grids themes found in the 'View1' view.\r\n"
                          "Please add a land cover grid to the view."}));
}

void TestLauncherStartup::endsWhenStoreMissing()
{
    QFile::remove(f->storePath());
    w = f->window();
    f->prompts.answerButton(Prompts::Button::Cancel);
    QVERIFY(!w->Form_Load());
    QCOMPARE(f->prompts.calls().size(), 1);
    const ScriptedPrompts::Call& call = f->prompts.calls().first();
    QCOMPARE(call.text, launcherLoadFailureMessage());
    QCOMPARE(call.title, QStringLiteral("TARN"));
    QCOMPARE(call.icon, Prompts::Icon::Critical);
    QCOMPARE(call.buttons, Prompts::Buttons::OkCancel);
    QVERIFY(f->host->requests().isEmpty());
}

void TestLauncherStartup::endsWithoutGridThemes()
{
    f->host->answer(Demo::gridThemes(), QStringLiteral("x")); // one character is no answer
    w = f->window();
    f->prompts.answerButton(Prompts::Button::Ok);
    QVERIFY(!w->Form_Load());
    QCOMPARE(f->prompts.calls().size(), 1);
    QCOMPARE(f->prompts.calls().first().text,
             QStringLiteral("No grids themes found in the 'View1' view.\r\n"
                            "Please add a land cover grid to the view."));
    QCOMPARE(f->prompts.calls().first().icon, Prompts::Icon::Critical);
    QCOMPARE(f->host->requests().size(), 2);
}

void TestLauncherStartup::endsWithoutPolygonThemes()
{
    f->host->answer(Demo::featureThemes(2), std::nullopt);
    w = f->window();
    f->prompts.answerButton(Prompts::Button::Ok);
    QVERIFY(!w->Form_Load());
    QCOMPARE(f->prompts.messageTexts(),
             QStringList({"No polygon feature themes in the 'View1' view that contain at least "
                          "one string or integer type attribute. \r\nPlease add a theme or edit "
                          "an existing themes attribute table in the view."}));
    QCOMPARE(f->prompts.calls().first().title, QStringLiteral("TARN"));
    QCOMPARE(f->host->requests().size(), 3);
    QVERIFY(!w->isVisible());
}

void TestLauncherStartup::oneCharacterViewNameGoesOnWithEmptyView()
{
    f->host->answer(Demo::name(), QStringLiteral("V"));
    f->host->answer(HostRequest::isGetGThemes(QString()), QStringLiteral("lc"));
    f->host->answer(HostRequest::isGetFThemes(QString(), 2), QStringLiteral("parcels"));
    f->host->answer(HostRequest::isGetFldNames(QString(), QStringLiteral("parcels"), 2),
                    QStringLiteral("ZONING"));
    w = f->window();
    f->prompts.answerButton(Prompts::Button::Ok);
    QVERIFY(w->Form_Load());
    QCOMPARE(f->prompts.messageTexts(), QStringList({"View not active is current project."}));
    QCOMPARE(f->prompts.calls().first().icon, Prompts::Icon::None);
    QCOMPARE(f->host->requests().at(1), QStringLiteral("av.Run(\"isGetGThemes\",{\"\"})"));
    QCOMPARE(w->viewName(), QString());
    // Units unknown for the empty view: no selection.
    QCOMPARE(comboIndex("cboLCUnits"), -1);
}

void TestLauncherStartup::unknownUnitsLeaveNoSelection()
{
    f->host->answer(Demo::units(), QStringLiteral("Miles"));
    w = f->window();
    QVERIFY(w->Form_Load());
    QCOMPARE(comboIndex("cboLCUnits"), -1);
}

void TestLauncherStartup::themeWithoutFieldsIsReported()
{
    f->host->answer(Demo::fields(QStringLiteral("parcels"), 2), QString());
    w = f->window();
    f->prompts.answerButton(Prompts::Button::Ok);
    QVERIFY(w->Form_Load());
    QCOMPARE(f->prompts.messageTexts(),
             QStringList({"The selected theme parcels in the View1 view has no string or integer "
                          "type attributes.  Please select another theme for analysis."}));
    QCOMPARE(comboTexts("cboAnalysisUnit"), QStringList());
}

void TestLauncherStartup::storeWithoutSetsStartsWithoutSelection()
{
    QVERIFY(SaveModelXML(clsISModelProperties(), f->storePath()));
    w = f->window();
    QVERIFY(w->Form_Load());
    QCOMPARE(control<QComboBox>(w.get(), "cboLCType")->count(), 0);
    QCOMPARE(comboIndex("cboLCType"), -1);
}

void TestLauncherStartup::absentHostEndsWithOneMessage()
{
    f->host.reset();
    w = f->window();
    f->prompts.answerButton(Prompts::Button::Ok);
    QVERIFY(!w->Form_Load());
    QCOMPARE(f->prompts.calls().size(), 1);
    const ScriptedPrompts::Call& call = f->prompts.calls().first();
    QVERIFY2(call.text.contains(QStringLiteral("ISServer.System")), qPrintable(call.text));
    QVERIFY2(call.text.contains(QStringLiteral("tarnhost start")), qPrintable(call.text));
    QCOMPARE(call.icon, Prompts::Icon::Critical);
}

void TestLauncherStartup::silentHostEndsWithOneMessage()
{
    f->host.reset();
    QLocalServer silent; // takes connections, never answers
    QVERIFY(silent.listen(HostLink::endpointPath(HostLink::HostService, HostLink::HostTopic)));
    f->link.setTimeout(2);
    w = f->window();
    f->prompts.answerButton(Prompts::Button::Ok);
    QVERIFY(!w->Form_Load());
    QCOMPARE(f->prompts.calls().size(), 1);
    QVERIFY(f->prompts.calls().first().text.contains(QStringLiteral("ISServer.System")));
}

void TestLauncherStartup::hostCommandsDriveWindowAndNotice()
{
    w = f->loadedWindow();
    QVERIFY(w);
    QSignalSpy unloaded(w.get(), &frmISParams::unloaded);

    QVERIFY(w->HandleHostCommand(QStringLiteral("{VIEW}")));
    QVERIFY(!w->HandleHostCommand(QStringLiteral(" {view}")));
    QVERIFY(!w->HandleHostCommand(QStringLiteral("{run}")));

    // Without a run under way, "{unhide}" shows the window and creates no notice.
    QVERIFY(w->HandleHostCommand(QStringLiteral("{hide}")));
    QVERIFY(!w->isVisible());
    QVERIFY(w->HandleHostCommand(QStringLiteral("{unhide}")));
    QVERIFY(w->isVisible());
    QVERIFY(!frmISProcessing::current());

    frmISProcessing::showNotice(w.get());
    QVERIFY(w->HandleHostCommand(QStringLiteral("{hide}")));
    QVERIFY(!w->isVisible());
    QVERIFY(!frmISProcessing::current()->isVisible());
    QVERIFY(w->HandleHostCommand(QStringLiteral("{Unhide}")));
    QVERIFY(w->isVisible());
    QVERIFY(frmISProcessing::current()->isVisible());
    QVERIFY(w->HandleHostCommand(QStringLiteral("{closeprocfrm}")));
    QVERIFY(!frmISProcessing::current());

    QVERIFY(w->HandleHostCommand(QStringLiteral("{quit}")));
    QCOMPARE(unloaded.count(), 1);
    QVERIFY(!w->isVisible());
    // An unloaded window takes no more commands.
    QVERIFY(!w->HandleHostCommand(QStringLiteral("{unhide}")));
    QVERIFY(!w->isVisible());
    QVERIFY(f->host->requests().isEmpty());
}

QTEST_MAIN(TestLauncherStartup)
#include "tst_launcherstartup.moc"
