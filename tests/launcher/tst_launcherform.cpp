#include "launcher/frmispdensity.h"
#include "launcherfixture.h"
#include "shared_windows/frmhelpbrowser2.h"
#include "shared_windows/frmisprocessing.h"
#include "tests/support/testfiles.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QFile>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QToolTip>
#include <QtTest>

#include <atomic>

// Counts the paintings of the notice's text, wherever they happen.
class NoticePaintCounter : public QObject {
public:
    std::atomic<int> paints{0};

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && watched->objectName() == QLatin1String("Label1") &&
            qobject_cast<frmISProcessing*>(watched->parent())) {
            ++paints;
        }
        return false;
    }
};

// The parameter window: field lists, the output box, Browse, the check before a run, the
// scenario rows, the population density dialog; the parameter file as the host's script reads
// it, the run request, and what the user sees when a run cannot be sent.
class TestLauncherForm : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        f = std::make_unique<LauncherFixture>();
        QVERIFY(f->load());
        w = f->w.get();
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w));
    }

    void cleanup()
    {
        f->w.reset();
        QVERIFY(!frmISProcessing::current());
        QCOMPARE(f->prompts.queuedAnswers(), 0);
        f.reset();
    }

    void themeRefillsFieldsOnlyWhenChanged_data()
    {
        QTest::addColumn<bool>("density");
        QTest::addColumn<QString>("request");
        QTest::newRow("analysis theme") << false << Req::BlockFields;
        QTest::newRow("density theme") << true << Req::TractDensityFields;
    }
    void themeRefillsFieldsOnlyWhenChanged()
    {
        QFETCH(bool, density);
        QFETCH(QString, request);
        QWidget* form = density ? static_cast<QWidget*>(w->PDensity()) : w;
        auto* theme = control<QComboBox>(form, density ? "cboPDenTheme" : "cboAnalysisTheme");
        auto* field = control<QComboBox>(form, density ? "cboPDenFld" : "cboAnalysisUnit");
        field->setCurrentIndex(1);
        f->host->clearRequests();
        emit theme->currentIndexChanged(0); // the same theme again asks nothing, keeps the field
        QVERIFY(f->host->requests().isEmpty());
        QCOMPARE(field->currentIndex(), 1);
        theme->setCurrentIndex(1);
        QCOMPARE(f->host->requests(), QStringList({request}));
        QCOMPARE(field->currentIndex(), -1);
    }

    void outputBoxAndBrowseNameTheTheme()
    {
        auto* output = f->get<QLineEdit>("txtOutputTheme");
        auto* name = f->get<QLineEdit>("txtThemeName");
        output->setFocus();
        QTest::keyClicks(output, QStringLiteral("  C:\\data\\roads "));
        name->setFocus(); // leaving the box applies the rule
        QCOMPARE(output->text(), QStringLiteral("C:\\data\\roads.shp"));
        QCOMPARE(name->text(), QStringLiteral("roads"));
        // A name typed by hand survives while the path stays the same.
        name->setText(QStringLiteral("my roads"));
        w->txtOutputTheme_LostFocus();
        QCOMPARE(name->text(), QStringLiteral("my roads"));
        // A message box taking the focus for a while is not leaving the box.
        output->setText(QStringLiteral("lakes"));
        QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
        QCoreApplication::sendEvent(output, &away);
        QCOMPARE(output->text(), QStringLiteral("lakes"));

        f->prompts.answerPath(QStringLiteral(" /data/out/parcels_is "));
        f->prompts.answerPath(QString()); // cancelled: nothing changes
        f->click("cmdOutputBrowse");
        f->click("cmdOutputBrowse");
        const Prompts::FileRequest asked = f->prompts.calls().first().file;
        QCOMPARE(asked.title, QStringLiteral("Select Output Shapefile"));
        QCOMPARE(asked.filter, QStringLiteral("Shapefile (*.shp)|*.shp"));
        QVERIFY(asked.options.testFlag(Prompts::FileOption::ConfirmOverwrite));
        // It opens where the output goes by default: the host's working directory.
        QCOMPARE(asked.directory, f->workDir() + QLatin1Char('/'));
        // Leaving Browse names the theme but adds no suffix.
        w->cmdOutputBrowse_LostFocus();
        QCOMPARE(output->text(), QStringLiteral("/data/out/parcels_is"));
        QCOMPARE(name->text(), QStringLiteral("parcels_is"));
    }

    void checkStopsAtFirstFaultAndFocusesIt()
    {
        f->chooseHigh();
        f->addRows(3);
        f->get<QCheckBox>("chkDSApply", 0)->setChecked(false);
        f->get<QCheckBox>("chkDSApply", 1)->setChecked(false);
        auto* high = f->get<QRadioButton>("optPopDensity", 0);
        high->group()->setExclusive(false); // unset, as at start
        high->setChecked(false);
        high->group()->setExclusive(true);
        auto* output = f->get<QLineEdit>("txtOutputTheme");
        output->clear();
        const QList<std::pair<QWidget*, QString>> faults = {
            {f->combo("cboAnalysisTheme"),
             "No Analysis theme selected, please select from dropdown list."},
            {f->combo("cboLCTheme"),
             "No Land Cover theme selected, please select from dropdown list."},
            {f->combo("cboLCUnits"),
             "Land Cover units not defined, please select from dropdown list."},
            {f->combo("cboLCType"),
             "Land Cover Type not defined, please select from dropdown list."},
            {f->combo("cboAnalysisUnit"),
             "Analysis unit not defined, please select from dropdown list."},
            {high, "Population Density option not defined, please select option."},
            {output, "Output Theme not defined, please enter a name."},
            // Unticked rows are not checked.
            {f->combo("cboDSTheme", 2), "No theme selected, please select from dropdown list."},
            {f->combo("cboDSToClass", 2), "No class selected, please select from dropdown list."}};
        for (const auto& [at, message] : faults) {
            if (auto* list = qobject_cast<QComboBox*>(at)) {
                const QSignalBlocker blocker(list);
                list->setCurrentIndex(-1);
            }
        }

        // Each fault in turn: one message without a title, the control focused; then mended.
        for (const auto& [at, message] : faults) {
            f->prompts.reset();
            f->prompts.answerButton(Prompts::Button::Ok);
            QVERIFY(!w->ValidateParams(w->lastScenario()));
            QCOMPARE(f->prompts.messageTexts(), QStringList({message}));
            QCOMPARE(f->prompts.calls().first().title, QString());
            QCOMPARE(f->prompts.calls().first().icon, Prompts::Icon::Exclamation);
            QCOMPARE(QApplication::focusWidget(), at);
            if (auto* list = qobject_cast<QComboBox*>(at)) {
                const QSignalBlocker blocker(list);
                list->setCurrentIndex(0);
            } else if (at == high) {
                high->setChecked(true);
            } else {
                output->setText(QStringLiteral("x.shp"));
            }
        }
        f->prompts.reset();
        QVERIFY(w->ValidateParams(w->lastScenario()));
    }

    void calculateOpensDialogOnMouseReleaseOnly()
    {
        // Other options and the keyboard open nothing.
        QTest::mouseClick(f->get<QRadioButton>("optPopDensity", 1), Qt::LeftButton);
        auto* calculate = f->get<QRadioButton>("optPopDensity", 3);
        calculate->setFocus();
        QTest::keyClick(calculate, Qt::Key_Space);
        QVERIFY(calculate->isChecked() && !w->loadedPDensity());

        f->get<QRadioButton>("optPopDensity", 0)->setChecked(true);
        QTest::mouseClick(calculate, Qt::LeftButton);
        QVERIFY(calculate->isChecked());
        frmISPDensity* density = w->loadedPDensity();
        QVERIFY(density && density->isVisible());
        QCOMPARE(density->windowModality(), Qt::ApplicationModal);
        QCOMPARE(f->host->requests(), QStringList({Req::DensityThemes, Req::BlockDensityFields}));
    }

    void runWithCalculateLoadsDialogAndReportsMissingField()
    {
        f->chooseHigh();
        f->get<QRadioButton>("optPopDensity", 3)->setChecked(true);
        f->prompts.answerButton(Prompts::Button::Ok);
        f->click("cmdISRun");
        QCOMPARE(f->prompts.messageTexts(),
                 QStringList({"No Populaiton Density field selected, please select from dropdown "
                              "list."}));
        QCOMPARE(f->prompts.calls().first().icon, Prompts::Icon::Exclamation);
        QVERIFY(w->loadedPDensity() && w->loadedPDensity()->isVisible());
        // No working directory asked, no run.
        QCOMPARE(f->host->requests(), QStringList({Req::DensityThemes, Req::BlockDensityFields}));
    }

    void densityDialogMirrorsChecksAndUnloads()
    {
        frmISPDensity* density = w->PDensity();
        density->showModal();
        auto* high = control<QLineEdit>(density, "txtHigh");
        QVERIFY(!control<QLineEdit>(density, "txtMed", 0)->isEnabled());
        QTest::keyClicks(high, QStringLiteral("500"));
        QTest::keyClicks(control<QLineEdit>(density, "txtLow"), QStringLiteral("200"));
        QCOMPARE(density->medText(0), QStringLiteral("500"));
        QCOMPARE(density->medText(1), QStringLiteral("200"));

        control<QComboBox>(density, "cboPDenFld")->setCurrentIndex(0);
        // The high value is checked before the low one; equal values pass.
        for (const auto& [highText, message] : QList<std::pair<QString, QString>>{
                 {"", "Numeric value must be entered in field."},
                 {"100", "Population density \"Low\" value must be less than the \"High\" value."},
                 {"200", ""}}) {
            high->setText(highText);
            f->prompts.reset();
            if (!message.isEmpty()) {
                f->prompts.answerButton(Prompts::Button::Ok);
            }
            control<QPushButton>(density, "cmdOK")->click();
            QCOMPARE(f->prompts.messageTexts().join(QString()), message);
            QCOMPARE(density->isVisible(), !message.isEmpty());
        }
        QCOMPARE(w->loadedPDensity(), density); // OK hides and keeps the choices

        // Cancel unloads: the next use asks the host again and starts empty.
        density->showModal();
        control<QPushButton>(density, "cmdCancel")->click();
        QVERIFY(!w->loadedPDensity());
        f->host->clearRequests();
        QCOMPARE(w->PDensity()->highText(), QString());
        QCOMPARE(f->host->requests().size(), 2);
    }

    void rowsAreAddedNumberedAndDeletedByNumber()
    {
        f->select("cboLCType", -1);
        f->prompts.answerButton(Prompts::Button::Ok);
        f->click("cmdDSAdd");
        QCOMPARE(f->prompts.messageTexts(),
                 QStringList({"No Land Cover Type defined, please select from the dropdown list "
                              "before adding Development Scenarios"}));
        QCOMPARE(QApplication::focusWidget(), f->combo("cboLCType"));

        f->select("cboLCType", 0);
        f->addRows(1);
        f->combo("cboLCType")->setCurrentIndex(1); // later rows keep the set of row 1
        f->addRows(2);
        QCOMPARE(f->host->requests(), QStringList({Req::ScenarioThemes})); // the others copy row 1
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(f->get<QLabel>("lblDSNum", i)->text(), QString::number(i + 1) + ".");
            QVERIFY(f->get<QCheckBox>("chkDSApply", i)->isChecked());
            QCOMPARE(f->texts("cboDSToClass", i), QStringList({"Forêt", "Developed, Low"}));
            QCOMPARE(f->combo("cboDSToClass", i)->currentIndex(), -1);
        }
        f->select("cboDSTheme", 0, 0);
        f->select("cboDSTheme", 2, 2);
        f->select("cboDSToClass", 1, 2);
        f->get<QCheckBox>("chkDSApply", 1)->setChecked(false);

        f->prompts.reset();
        f->prompts.answerText(QStringLiteral("4"));
        f->prompts.answerButton(Prompts::Button::Ok);
        f->prompts.answerText(QString()); // Cancel
        f->prompts.answerText(QStringLiteral("2"));
        for (int i = 0; i < 3; ++i) {
            f->click("cmdDSDelete");
        }
        QCOMPARE(f->prompts.messageTexts(), QStringList({"Invalid scenario number"}));
        QCOMPARE(f->prompts.calls().first().text,
                 QStringLiteral("Enter number of scenario to delete:"));
        QCOMPARE(f->prompts.calls().first().title, QStringLiteral("Delete Scenario"));
        // Row 3's contents move up to row 2; the numbers stay.
        QCOMPARE(w->lastScenario(), 1);
        QVERIFY(!f->get<QCheckBox>("chkDSApply", 2));
        QVERIFY(f->get<QCheckBox>("chkDSApply", 1)->isChecked());
        QCOMPARE(f->combo("cboDSTheme", 1)->currentIndex(), 2);
        QCOMPARE(f->combo("cboDSToClass", 1)->currentIndex(), 1);
        QCOMPARE(f->combo("cboDSTheme", 0)->currentIndex(), 0);

        // The last row left is hidden, not removed; Add shows it again, freshly filled.
        f->prompts.answerText(QStringLiteral("1"));
        f->prompts.answerText(QStringLiteral("1"));
        f->click("cmdDSDelete");
        f->click("cmdDSDelete");
        QVERIFY(!f->get<QPushButton>("cmdDSDelete")->isEnabled());
        QVERIFY(!f->combo("cboDSTheme", 0)->isVisible());
        f->host->answer(Req::ScenarioThemes, QStringLiteral("roads"));
        f->addRows(1);
        QVERIFY(f->combo("cboDSTheme", 0)->isVisible());
        QCOMPARE(f->texts("cboDSTheme", 0), QStringList({"roads"}));
    }

    void classListsOpenAsWideAsTheirLongestName()
    {
        f->addRows(2);
        const QString longName =
            QStringLiteral("Developed High Intensity Commercial and Industrial");
        QComboBox* classes = f->combo("cboDSToClass", 1);
        // A style that would keep the open list at the closed list's width.
        const std::unique_ptr<QStyle> narrowStyle(QStyleFactory::create(QStringLiteral("Windows")));
        classes->setStyle(narrowStyle.get());
        classes->addItem(longName);
        classes->showPopup();
        QTRY_VERIFY(classes->view()->isVisible());
        QVERIFY(classes->view()->width() >
                classes->view()->fontMetrics().horizontalAdvance(longName));
        QVERIFY(classes->width() <
                classes->view()->width()); // the list on the window keeps its size
        classes->hidePopup();
        // Closed, it shows the cut-off name whole as a tooltip.
        classes->setCurrentIndex(classes->count() - 1);
        QHelpEvent help(QEvent::ToolTip, classes->rect().center(),
                        classes->mapToGlobal(classes->rect().center()));
        QApplication::sendEvent(classes, &help);
        QVERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), longName);
        classes->setStyle(nullptr);
    }

    void scrollBarFromTheSeventhRowWithoutCeiling()
    {
        auto* bar = f->get<QScrollBar>("VScroll1");
        auto* items = w->findChild<QWidget*>(QStringLiteral("fraDSItems"));
        // Scrolled to the end, the row is within the visible window onto the rows.
        const auto shownAtTheEnd = [&](int row) {
            bar->setValue(bar->maximum());
            return w->findChild<QWidget*>(QStringLiteral("fraDSContainer"))
                ->rect()
                .contains(f->combo("cboDSTheme", row)->geometry().translated(items->pos()));
        };
        f->addRows(6);
        QVERIFY(!bar->isVisible());
        f->addRows(1);
        QVERIFY(bar->isVisible());
        QVERIFY(shownAtTheEnd(6));
        f->prompts.answerText(QStringLiteral("7"));
        f->click("cmdDSDelete");
        QVERIFY(!bar->isVisible());
        QCOMPARE(items->y(), 0);

        f->addRows(94);
        QCOMPARE(f->get<QLabel>("lblDSNum", 99)->text(), QStringLiteral("100."));
        QVERIFY(shownAtTheEnd(99));
    }

    void quitUnloadsDensity_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("helpStays"); // the help window is the user's to close
        QTest::newRow("Quit button") << "cmdISQuit" << true;
        QTest::newRow("host's {exit} ends the program") << "{exit}" << false;
        QTest::newRow("host's {exit} while a box waits") << "{exit} box" << true;
    }
    void quitUnloadsDensity()
    {
        QFETCH(QString, how);
        QFETCH(bool, helpStays);
        f->click("cmdISHelp");
        QPointer<frmHelpBrowser2> help = frmHelpBrowser2::current();
        QVERIFY(help && help->isVisible() && !help->parentWidget());
        QPointer<frmISPDensity> density = w->PDensity();
        QSignalSpy unloaded(w, &frmISParams::unloaded);
        if (how == "cmdISQuit") {
            f->click("cmdISQuit");
        } else if (how == "{exit}") {
            QVERIFY(w->HandleHostCommand(how));
        } else {
            // A box waiting for an answer is finished first; nothing unloads.
            QDialog box(w);
            box.setWindowModality(Qt::ApplicationModal);
            box.show();
            QVERIFY(!w->HandleHostCommand(QStringLiteral("{exit}")));
            QVERIFY(w->isVisible() && density && unloaded.isEmpty());
            box.close();
            f->click("cmdISQuit");
        }
        QCOMPARE(unloaded.count(), 1);
        QVERIFY(!w->isVisible());
        QTRY_VERIFY(!density);
        QTRY_COMPARE(!help.isNull(), helpStays);
        if (help) {
            help->close();
        }
    }

    void runUsesTheStoreAsItIsNow_data()
    {
        QTest::addColumn<QByteArray>("from"); // replaced in the store after start-up
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("message"); // %1: the store
        QTest::addColumn<QByteArray>("classes");
        const QByteArray start = "CLASS#41#Forêt#80#62.5#0\r\nCLASS#21#Developed, Low#12.5#7.5#2"
                                 "\r\nCLASS#-3#Water#1#1#1\r\n";
        QTest::newRow("store unchanged") << QByteArray() << QByteArray() << QString() << start;
        QTest::newRow("another set changed")
            << QByteArray("<LCHigh>90") << QByteArray("<LCHigh>9") << QString() << start;
        QTest::newRow("chosen set changed")
            << QByteArray("<LCHigh>80") << QByteArray("<LCHigh>81")
            << "The coefficient set Suburban was changed since the launcher read it. This run "
               "uses its coefficients as they are now."
            << QByteArray(start).replace("#80#", "#81#");
        QTest::newRow("chosen set gone")
            << QByteArray("<LCType>Suburban") << QByteArray("<LCType>Rural")
            << "The coefficient set Suburban is no longer in the store: the sets were changed "
               "since the launcher read them. Choose a coefficient set, then Run again."
            << QByteArray("(missing)");
        QTest::newRow("store unreadable")
            << QByteArray("</ISModelProperties>") << QByteArray()
            << "The coefficient sets in %1 were changed since the launcher read them, and they "
               "cannot be read now:\n%1:"
            << QByteArray("(missing)");
    }
    void runUsesTheStoreAsItIsNow()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, message);
        QFETCH(QByteArray, classes);
        QVERIFY(writeFile(f->storePath(), readFile(f->storePath()).replace(from, to)));
        f->chooseHigh();
        for (int run = 0; run < 2; ++run) { // told once
            if (run == 0 && !message.isEmpty()) {
                f->prompts.answerButton(Prompts::Button::Ok);
            }
            f->click("cmdISRun");
            QStringList shown = f->prompts.messageTexts();
            message.replace(QLatin1String("%1"), f->storePath());
            if (!shown.isEmpty()) {
                shown.first().truncate(message.size());
            }
            QCOMPARE(shown, message.isEmpty() ? QStringList() : QStringList{message});
            const QByteArray file = f->paramFile();
            QCOMPARE(file.mid(file.indexOf("CLASS#") < 0 ? 0 : file.indexOf("CLASS#")), classes);
            QCOMPARE(f->host->requests().contains(Req::run(f->paramPath())),
                     classes != "(missing)");
            if (classes == "(missing)") {
                QCOMPARE(f->combo("cboLCType")->currentIndex(),
                         message.contains("no longer") ? -1 : 0);
                QVERIFY(!frmISProcessing::current());
                break;
            }
            QVERIFY(w->HandleHostCommand(QStringLiteral("{closeprocfrm}")));
        }
    }

    void cancelAsksTheHostWhenItOffersCancel_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("host stops the run") << "Cancelled" << QStringList();
        QTest::newRow("run already over")
            << "No model run is under way"
            << QStringList{"The run was not cancelled.\nNo model run is under way"};
    }
    void cancelAsksTheHostWhenItOffersCancel()
    {
        QFETCH(QString, answer);
        QFETCH(QStringList, messages);
        const QString cancel = Req::avRun("isCancelModel", "\"%1\"").arg(f->paramPath());
        f->host->answer(cancel, answer);
        f->chooseHigh();
        f->click("cmdISRun");
        frmISProcessing* notice = frmISProcessing::current();
        auto* button = control<QPushButton>(notice, "cmdCancel");
        QVERIFY(notice->isVisible() && !button->isVisible()); // only when the host offers it
        QVERIFY(w->HandleHostCommand(QStringLiteral("{showcancel}")));
        QVERIFY(button->isVisible() && button->isEnabled());
        f->host->clearRequests();
        for (int i = 0; i < messages.size(); ++i) {
            f->prompts.answerButton(Prompts::Button::Ok);
        }
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(f->host->requests(), QStringList{cancel});
        QCOMPARE(f->prompts.messageTexts(), messages);
        // The notice stays until the host closes it; Cancel again only if it was refused.
        QCOMPARE(frmISProcessing::current(), notice);
        QCOMPARE(button->isEnabled(), !messages.isEmpty());
        QVERIFY(w->HandleHostCommand(QStringLiteral("{closeprocfrm}")));
        QVERIFY(!w->HandleHostCommand(QStringLiteral("{showcancel}")));
    }

    void runsWriteTheFileLineForLine()
    {
        // Density values filled in count only with "Calculate".
        frmISPDensity* density = w->PDensity();
        control<QComboBox>(density, "cboPDenFld")->setCurrentIndex(0);
        control<QLineEdit>(density, "txtHigh")->setText(QStringLiteral("1000.5"));
        control<QLineEdit>(density, "txtLow")->setText(QStringLiteral("250"));
        f->host->clearRequests();
        f->chooseHigh();
        f->click("cmdISRun");
        QCOMPARE(f->prompts.messageTexts(), QStringList());
        QCOMPARE(f->host->requests(),
                 QStringList({Req::WorkDir, Req::WorkDir, Req::run(f->paramPath())}));
        // Both sets named "Suburban" give their classes, set after set.
        QCOMPARE(f->paramFile(), QByteArray("VIEW#View1\r\n"
                                            "LCTHEME#lc2016\r\n"
                                            "LCUNITS#Feet\r\n"
                                            "ANALYSISTHEME#parcels\r\n"
                                            "ANALYSISUNIT#ZONING\r\n"
                                            "POPDENSITY#0\r\n"
                                            "OUTTHEME#/out/roads.shp\r\n"
                                            "OUTTHEMENAME#roads\r\n"
                                            "CLASS#41#Forêt#80#62.5#0\r\n"
                                            "CLASS#21#Developed, Low#12.5#7.5#2\r\n"
                                            "CLASS#-3#Water#1#1#1\r\n"));
        QVERIFY(frmISProcessing::current() && frmISProcessing::current()->isVisible());
        QCOMPARE(frmISProcessing::current()->parentWidget(), w);
        QVERIFY(w->HandleHostCommand(QStringLiteral("{closeprocfrm}")));
        QVERIFY(!frmISProcessing::current());

        // "Calculate" with three scenarios, the second unticked and left incomplete; a working
        // directory answered with its separator is used as it comes. The file is replaced.
        f->host->answer(Req::WorkDir, f->workDir() + QStringLiteral("/"));
        f->select("cboLCTheme", 1);
        f->select("cboLCUnits", 0);
        f->combo("cboAnalysisTheme")->setCurrentIndex(1); // blocks: its fields are listed
        f->select("cboAnalysisUnit", 1);
        f->select("cboLCType", 1); // Urban
        f->get<QLineEdit>("txtOutputTheme")->setText(QStringLiteral("/out/imp.shp"));
        f->addRows(3);
        f->get<QCheckBox>("chkDSApply", 1)->setChecked(false);
        for (int row : {0, 2}) {
            f->select("cboDSTheme", row, row);
            f->select("cboDSToClass", 0, row);
        }
        f->get<QRadioButton>("optPopDensity", 3)->setChecked(true);
        f->click("cmdISRun");
        QCOMPARE(f->prompts.messageTexts(), QStringList());
        QCOMPARE(f->paramFile(), QByteArray("VIEW#View1\r\n"
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
                                            "OUTTHEMENAME#roads\r\n"
                                            "DS#1#parcels#Developed#22\r\n"
                                            "DS#3#water#Developed#22\r\n"
                                            "CLASS#22#Developed#90#75#60\r\n"));
        QVERIFY(w->HandleHostCommand(QStringLiteral("{closeprocfrm}")));
    }

    void noticeIsOnScreenBeforeEachWaitForTheHost()
    {
        NoticePaintCounter counter;
        qApp->installEventFilter(&counter);
        // The launcher blocks while the host prepares its answer: the notice must be drawn by then.
        QMutex mutex;
        QList<int> paintsWhenAsked;
        f->host->observe([&](const QString&) {
            QMutexLocker locker(&mutex);
            paintsWhenAsked << counter.paints;
        });
        f->chooseHigh();
        f->click("cmdISRun");
        f->host->observe(nullptr);
        qApp->removeEventFilter(&counter);
        QCOMPARE(f->host->requests().size(), 3);
        QCOMPARE(paintsWhenAsked.size(), 3);
        for (int paints : paintsWhenAsked) {
            QVERIFY(paints > 0);
        }
    }

    void failedRunIsExplainedAndNoticeCloses_data()
    {
        QTest::addColumn<QString>("request"); // answered with answer; or "host gone", "read-only"
        QTest::addColumn<QString>("answer");  // "-": no data; %1: the test's folder
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<Prompts::Icon>("icon");
        QTest::addColumn<QByteArray>("fileStart");
        const QString refused = QStringLiteral("Error calling script to run model within ArcView");
        const QString run = Req::run(QStringLiteral("%1/work/model_params.txt"));
        const auto row = [](const char* name, const QString& request, const QString& answer,
                            const QStringList& messages, Prompts::Icon icon, const char* file) {
            QTest::newRow(name) << request << answer << messages << icon << QByteArray(file);
        };
        row("answer in another letter case", run, "submitted", {refused + "\nsubmitted"},
            Prompts::Icon::Critical, "VIEW#");
        row("no answer to the run", run, "-", {refused}, Prompts::Icon::Critical, "VIEW#");
        row("host gone", "host gone", "",
            {"Unable to define working directory in current project.",
             "Working directory () defined in ArcView project does not exist."},
            Prompts::Icon::None, "(missing)");
        row("working directory missing", Req::WorkDir, "%1/gone",
            {"Working directory (%1/gone/) defined in ArcView project does not exist."},
            Prompts::Icon::None, "(missing)");
        // The system's reason follows the colon.
        row("parameter file not writable", "read-only", "",
            {"The parameter file model_params.txt could not be written in the working directory "
             "(%1/work/):\n"},
            Prompts::Icon::Critical, "earlier run\r\n");
    }
    void failedRunIsExplainedAndNoticeCloses()
    {
        QFETCH(QString, request);
        QFETCH(QString, answer);
        QFETCH(QStringList, messages);
        QFETCH(Prompts::Icon, icon);
        QFETCH(QByteArray, fileStart);
        const QString dir = f->m_dir.path();
        if (request == QLatin1String("host gone")) {
            f->host.reset();
        } else if (request == QLatin1String("read-only")) {
            QVERIFY(writeFile(f->paramPath(), "earlier run\r\n"));
            QVERIFY(QFile::setPermissions(f->paramPath(), QFile::ReadOwner | QFile::ReadUser));
        } else {
            f->host->answer(request.replace(QLatin1String("%1"), dir),
                            answer == QLatin1String("-")
                                ? std::nullopt
                                : std::optional(answer.replace(QLatin1String("%1"), dir)));
        }
        for (QString& message : messages) {
            message.replace(QLatin1String("%1"), dir);
            f->prompts.answerButton(Prompts::Button::Ok);
        }
        f->chooseHigh();
        f->click("cmdISRun");
        QStringList shown = f->prompts.messageTexts();
        if (messages.last().endsWith(QLatin1Char('\n')) && !shown.isEmpty()) {
            shown.last().truncate(messages.last().size());
        }
        QCOMPARE(shown, messages);
        QCOMPARE(f->prompts.calls().last().icon, icon);
        QCOMPARE(f->prompts.calls().last().title, QStringLiteral("TARN"));
        QVERIFY2(f->paramFile().startsWith(fileStart), f->paramFile().constData());
        if (f->host) { // a run is asked for only once the file is written
            QCOMPARE(f->host->requests().contains(Req::run(f->paramPath())), fileStart == "VIEW#");
        }
    }

private:
    std::unique_ptr<LauncherFixture> f;
    frmISParams* w = nullptr;
};

QTEST_MAIN(TestLauncherForm)
#include "tst_launcherform.moc"
