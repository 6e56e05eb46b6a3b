#include "hostlink/hostlink.h"
#include "launcherfixture.h"
#include "model/store.h"
#include "shared_windows/frmisprocessing.h"
#include "tests/support/testfiles.h"

#include <QFile>
#include <QLocalServer>
#include <QSignalSpy>
#include <QtTest>

// Start-up: the store, the host's answers in their order, the lists, the ways start-up ends;
// and the host's commands to the window.
class TestLauncherStartup : public QObject {
    Q_OBJECT
private slots:
    void init() { f = std::make_unique<LauncherFixture>(); }
    void cleanup()
    {
        QCOMPARE(f->prompts.queuedAnswers(), 0);
        f.reset();
    }

    void asksInOrderAndFillsLists()
    {
        QVERIFY(f->load());
        QCOMPARE(f->loadRequests, QStringList({Req::ViewName, Req::GridThemes, Req::PolygonThemes,
                                               Req::ParcelFields, Req::Units}));
        QVERIFY(f->prompts.calls().isEmpty());
        QCOMPARE(f->texts("cboLCTheme"), QStringList({"lc2016", "lc2001"}));
        QCOMPARE(f->texts("cboAnalysisTheme"), QStringList({"parcels", "blocks"}));
        QCOMPARE(f->texts("cboAnalysisUnit"), QStringList({"PARCEL_ID", "ZONING"}));
        QCOMPARE(f->texts("cboLCType"), QStringList({"Suburban", "Urban", "Suburban"}));
        QCOMPARE(f->texts("cboLCUnits"), QStringList({"Meters", "Feet"}));
        // The field list stays without a selection; " FEET " matches "Feet" ignoring case and
        // blanks.
        QList<int> selected;
        for (const char* name :
             {"cboLCTheme", "cboAnalysisTheme", "cboAnalysisUnit", "cboLCType", "cboLCUnits"}) {
            selected << f->combo(name)->currentIndex();
        }
        QCOMPARE(selected, QList<int>({0, 0, -1, 0, 1}));
    }

    void listAnswersKeepEmptyEntriesAndListFileIsDeleted()
    {
        f->host->answer(Req::GridThemes, QStringLiteral("a##b#"));
        // An answer naming a file: its last line holds the list.
        const QString path = f->m_dir.filePath(QStringLiteral("themes.lst"));
        QVERIFY(writeFile(path, "old#names\r\nparcels#blocks#\r\n"));
        f->host->answer(Req::PolygonThemes, path);
        QVERIFY(f->load());
        QCOMPARE(f->texts("cboLCTheme"), QStringList({"a", "", "b", ""}));
        QCOMPARE(f->texts("cboAnalysisTheme"), QStringList({"parcels", "blocks", ""}));
        QVERIFY(!QFile::exists(path));
    }

    void endsWithMessage_data()
    {
        QTest::addColumn<QString>("request"); // or "no store", "no host", "silent host"
        QTest::addColumn<QString>("answer");  // "-": no data; %1: the test's folder
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("requests"); // -1: no host to count them
        const QString noGrids = QStringLiteral("No grids themes found in the 'View1' view.\r\n"
                                               "Please add a land cover grid to the view.");
        const QStringList noHost = {
            "No host answers on ISServer.System, so the launcher cannot learn the themes of the "
            "active view.\nStart the launcher from the host, for example with: tarnhost start "
            "PROJECT.json tarn"};
        QTest::newRow("no store") << "no store" << QString()
                                  << QStringList({launcherLoadFailureMessage() +
                                                  "\r\n\r\nThe coefficient store in use is "
                                                  "%1/etc/isprops.xml: No such file or directory"})
                                  << 0;
        QTest::newRow("one-character grid answer")
            << Req::GridThemes << "x" << QStringList({noGrids}) << 2;
        QTest::newRow("missing list file")
            << Req::GridThemes << "%1/gone.lst"
            << QStringList({"Error creating field list.  Temporary file not found", noGrids}) << 2;
        QTest::newRow("no polygon themes")
            << Req::PolygonThemes << "-"
            << QStringList(
                   {"No polygon feature themes in the 'View1' view that contain at least one "
                    "string or integer type attribute. \r\nPlease add a theme or edit an "
                    "existing themes attribute table in the view."})
            << 3;
        QTest::newRow("no host") << "no host" << QString() << noHost << -1;
        QTest::newRow("host that never answers") << "silent host" << QString() << noHost << -1;
    }
    void endsWithMessage()
    {
        QFETCH(QString, request);
        QFETCH(QString, answer);
        QFETCH(QStringList, messages);
        QFETCH(int, requests);
        QLocalServer silent; // takes connections, never answers
        if (request == QLatin1String("no store")) {
            QFile::remove(f->storePath());
        } else if (request.endsWith(QLatin1String("host"))) {
            f->host.reset();
            if (request.startsWith(QLatin1String("silent"))) {
                QVERIFY(silent.listen(
                    HostLink::endpointPath(HostLink::HostService, HostLink::HostTopic)));
                f->link.setTimeout(2);
            }
        } else {
            f->host->answer(
                request, answer == QLatin1String("-")
                             ? std::nullopt
                             : std::optional(answer.replace(QLatin1String("%1"), f->m_dir.path())));
        }
        for (int i = 0; i < messages.size(); ++i) {
            f->prompts.answerButton(Prompts::Button::Ok);
        }
        QVERIFY(!f->load());
        QCOMPARE(f->prompts.messageTexts(), messages.replaceInStrings("%1", f->m_dir.path()));
        const ScriptedPrompts::Call& last = f->prompts.calls().last();
        QCOMPARE(last.title, QStringLiteral("TARN"));
        QCOMPARE(last.icon, Prompts::Icon::Critical);
        QCOMPARE(last.buttons, requests == 0 ? Prompts::Buttons::OkCancel : Prompts::Buttons::Ok);
        if (requests >= 0) {
            QCOMPARE(f->host->requests().size(), requests);
        }
        QVERIFY(!f->w->isVisible());
    }

    void goesOnWithoutViewFieldsOrKnownUnits()
    {
        // A one-character view name is no view: the questions go on for the view "".
        f->host->answer(Req::ViewName, QStringLiteral("V"));
        f->host->answer(Req::avRun("isGetGThemes", R"("")"), QStringLiteral("lc"));
        f->host->answer(Req::avRun("isGetFThemes", R"("","2")"), QStringLiteral("parcels"));
        f->host->answer(Req::avRun("isGetViewUnits", R"("")"), QStringLiteral("Miles"));
        f->prompts.answerButton(Prompts::Button::Ok);
        f->prompts.answerButton(Prompts::Button::Ok);
        QVERIFY(f->load());
        QCOMPARE(f->prompts.messageTexts(),
                 QStringList({"View not active is current project.",
                              "The selected theme parcels in the  view has no string or integer "
                              "type attributes.  Please select another theme for analysis."}));
        QCOMPARE(f->prompts.calls().first().icon, Prompts::Icon::None);
        QCOMPARE(f->texts("cboLCTheme"), QStringList({"lc"}));
        QCOMPARE(f->texts("cboAnalysisUnit"), QStringList());
        QCOMPARE(f->combo("cboLCUnits")->currentIndex(), -1); // units matching no entry
    }

    void hostCommandsDriveWindowAndNotice()
    {
        QVERIFY(f->load());
        frmISParams* w = f->w.get();
        QSignalSpy unloaded(w, &frmISParams::unloaded);
        QVERIFY(w->HandleHostCommand(QStringLiteral("{VIEW}")));
        QVERIFY(!w->HandleHostCommand(QStringLiteral(" {view}")));
        // Without a run under way, "{unhide}" shows the window and creates no notice.
        QVERIFY(w->HandleHostCommand(QStringLiteral("{hide}")));
        QVERIFY(!w->isVisible());
        QVERIFY(w->HandleHostCommand(QStringLiteral("{unhide}")));
        QVERIFY(w->isVisible());
        QVERIFY(!frmISProcessing::current());

        frmISProcessing::showNotice(w);
        QVERIFY(w->HandleHostCommand(QStringLiteral("{hide}")));
        QVERIFY(!frmISProcessing::current()->isVisible());
        QVERIFY(w->HandleHostCommand(QStringLiteral("{Unhide}")));
        QVERIFY(w->isVisible() && frmISProcessing::current()->isVisible());
        QVERIFY(w->HandleHostCommand(QStringLiteral("{closeprocfrm}")));
        QVERIFY(!frmISProcessing::current());

        QVERIFY(w->HandleHostCommand(QStringLiteral("{quit}")));
        QCOMPARE(unloaded.count(), 1);
        QVERIFY(!w->isVisible());
        // An unloaded window takes no more commands.
        QVERIFY(!w->HandleHostCommand(QStringLiteral("{unhide}")));
        QVERIFY(!w->isVisible());
    }

private:
    std::unique_ptr<LauncherFixture> f;
};

QTEST_MAIN(TestLauncherStartup)
#include "tst_launcherstartup.moc"
