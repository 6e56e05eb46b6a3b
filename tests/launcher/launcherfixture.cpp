#include "launcherfixture.h"
#include "tests/support/testfiles.h"

#include "hostlink/commandsource.h"
#include "hostlink/hostlink.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMutexLocker>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QtTest>

FakeHost::FakeHost()
{
    m_thread.start();
    m_source = new CommandSource(HostLink::HostService, HostLink::HostTopic);
    m_source->moveToThread(&m_thread);
    m_source->setRequestHandler([this](const QString& item) {
        if (m_observer) {
            m_observer(item);
        }
        QMutexLocker locker(&m_mutex);
        m_requests << item;
        return m_answers.value(item, std::nullopt);
    });
    bool listening = false;
    QMetaObject::invokeMethod(
        m_source, [&] { listening = m_source->listen() == CommandSource::ListenResult::Listening; },
        Qt::BlockingQueuedConnection);
    if (!listening) {
        qFatal("FakeHost: cannot serve the host endpoint");
    }
}

FakeHost::~FakeHost()
{
    QMetaObject::invokeMethod(
        m_source, [this] { delete m_source; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void FakeHost::answer(const QString& request, const std::optional<QString>& text)
{
    QMutexLocker locker(&m_mutex);
    m_answers.insert(request, text);
}

QStringList FakeHost::requests() const
{
    QMutexLocker locker(&m_mutex);
    return m_requests;
}

void FakeHost::observe(std::function<void(const QString&)> observer)
{
    QMetaObject::invokeMethod(
        m_source, [&] { m_observer = std::move(observer); }, Qt::BlockingQueuedConnection);
}

void FakeHost::clearRequests()
{
    QMutexLocker locker(&m_mutex);
    m_requests.clear();
}

LauncherFixture::LauncherFixture()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("^ScriptedPrompts: unexpected")));
    qputenv("XDG_RUNTIME_DIR", m_dir.path().toUtf8());
    QDir(m_dir.path()).mkpath(QStringLiteral("etc"));
    QDir(m_dir.path()).mkpath(QStringLiteral("work"));
    // Two sets of one name, "Suburban", and "Urban" between them.
    QFile store(storePath());
    if (!store.open(QIODevice::WriteOnly) || store.write(R"(<ISModelProperties><ISLCDefs>
<ISLCDef><LCType>Suburban</LCType><LCClasses>
  <LCClass ID="41"><LCName>Forêt</LCName><LCHigh>80</LCHigh><LCMed>62.5</LCMed><LCLow>0</LCLow>
  </LCClass><LCClass ID="21"><LCName>Developed, Low</LCName>
  <LCHigh>12.5</LCHigh><LCMed>7.5</LCMed><LCLow>2</LCLow></LCClass></LCClasses></ISLCDef>
<ISLCDef><LCType>Urban</LCType><LCClasses><LCClass ID="22"><LCName>Developed</LCName>
  <LCHigh>90</LCHigh><LCMed>75</LCMed><LCLow>60</LCLow></LCClass></LCClasses></ISLCDef>
<ISLCDef><LCType>Suburban</LCType><LCClasses><LCClass ID="-3"><LCName>Water</LCName>
  <LCHigh>1</LCHigh><LCMed>1</LCMed><LCLow>1</LCLow></LCClass></LCClasses></ISLCDef>
</ISLCDefs></ISModelProperties>)") < 0) {
        qFatal("cannot write the test store");
    }
    store.close();
    link.setTimeout(50);
    host = std::make_unique<FakeHost>();
    for (const auto& [request, answer] :
         QList<std::pair<QString, QString>>{{Req::ViewName, "View1"},
                                            {Req::GridThemes, "lc2016#lc2001"},
                                            {Req::PolygonThemes, "parcels#blocks"},
                                            {Req::ParcelFields, "PARCEL_ID#ZONING"},
                                            {Req::BlockFields, "BLOCK_ID#NAME"},
                                            {Req::Units, " FEET "},
                                            {Req::ScenarioThemes, "parcels#blocks#water"},
                                            {Req::DensityThemes, "blocks#tracts"},
                                            {Req::BlockDensityFields, "POP_DENS#POP2010"},
                                            {Req::TractDensityFields, "DENSITY"},
                                            {Req::WorkDir, workDir()},
                                            {Req::run(paramPath()), "Submitted"}}) {
        host->answer(request, answer);
    }
}

bool LauncherFixture::load()
{
    w = std::make_unique<frmISParams>(storePath(), prompts, link);
    if (!w->Form_Load()) {
        return false;
    }
    w->show();
    loadRequests = host->requests();
    host->clearRequests();
    return true;
}

QByteArray LauncherFixture::paramFile() const
{
    return QFile::exists(paramPath()) ? readFile(paramPath()) : QByteArray("(missing)");
}

QStringList LauncherFixture::texts(const char* name, int index) const
{
    QStringList all;
    for (int i = 0; i < combo(name, index)->count(); ++i) {
        all << combo(name, index)->itemText(i);
    }
    return all;
}

void LauncherFixture::select(const char* name, int index, int arrayIndex)
{
    const QSignalBlocker blocker(combo(name, arrayIndex));
    combo(name, arrayIndex)->setCurrentIndex(index);
}

void LauncherFixture::click(const char* name, int index)
{
    get<QAbstractButton>(name, index)->click();
}

void LauncherFixture::addRows(int count)
{
    for (int i = 0; i < count; ++i) {
        click("cmdDSAdd");
    }
}

void LauncherFixture::chooseHigh()
{
    select("cboAnalysisUnit", 1);
    get<QRadioButton>("optPopDensity", 0)->setChecked(true);
    get<QLineEdit>("txtOutputTheme")->setText(QStringLiteral("/out/roads.shp"));
    w->txtOutputTheme_LostFocus();
}
