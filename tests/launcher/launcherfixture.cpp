#include "launcherfixture.h"

#include "basutil.h"
#include "hostrequest.h"

#include <QDir>
#include <QtTest>

namespace Demo {

const QString View = QStringLiteral("View1");

QString name()
{
    return HostRequest::GetActiveDocName();
}

QString gridThemes()
{
    return HostRequest::isGetGThemes(View);
}

QString featureThemes(int selector)
{
    return HostRequest::isGetFThemes(View, selector);
}

QString fields(const QString& theme, int selector)
{
    return HostRequest::isGetFldNames(View, theme, selector);
}

QString units()
{
    return HostRequest::isGetViewUnits(View);
}

QString workDir()
{
    return HostRequest::GetWorkDirName();
}

QString run(const QString& path)
{
    return HostRequest::isCallExecuteModel(path);
}

namespace {

void addClass(const ISLCDefPtr& set, qint32 id, const QString& name, float high, float med,
              float low)
{
    auto cls = std::make_shared<clsLCClass>();
    cls->ID = id;
    cls->LCName = name;
    cls->LCHigh = high;
    cls->LCMed = med;
    cls->LCLow = low;
    set->LCClasses->Add(cls);
}

ISLCDefPtr addSet(clsISModelProperties& model, const QString& name)
{
    auto set = std::make_shared<clsISLCDef>();
    set->LCType = name;
    model.ISLCDefs->Add(set);
    return set;
}

} // namespace

void writeStore(const QString& path)
{
    clsISModelProperties model;
    ISLCDefPtr suburban = addSet(model, QStringLiteral("Suburban"));
    addClass(suburban, 41, QStringLiteral("Forest"), 80, 62.5f, 0);
    addClass(suburban, 21, QStringLiteral("Developed, Low"), 12.5f, 7.5f, 2);
    ISLCDefPtr urban = addSet(model, QStringLiteral("Urban"));
    addClass(urban, 22, QStringLiteral("Developed"), 90, 75, 60);
    ISLCDefPtr again = addSet(model, QStringLiteral("Suburban"));
    addClass(again, -3, QStringLiteral("Water"), 1, 1, 1);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QString error;
    if (!SaveModelXML(model, path, &error)) {
        qFatal("cannot write the test store: %s", qPrintable(error));
    }
}

} // namespace Demo

LauncherFixture::LauncherFixture()
{
    qputenv("XDG_RUNTIME_DIR", m_dir.path().toUtf8());
    QDir(m_dir.path()).mkpath(QStringLiteral("work"));
    Demo::writeStore(storePath());
    link.setTimeout(50);
    host = std::make_unique<FakeHost>();
    answerDemoView();
}

LauncherFixture::~LauncherFixture() = default;

void LauncherFixture::answerDemoView()
{
    host->answer(Demo::name(), Demo::View);
    host->answer(Demo::gridThemes(), QStringLiteral("lc2016#lc2001"));
    host->answer(Demo::featureThemes(2), QStringLiteral("parcels#blocks"));
    host->answer(Demo::fields(QStringLiteral("parcels"), 2), QStringLiteral("PARCEL_ID#ZONING"));
    host->answer(Demo::fields(QStringLiteral("blocks"), 2), QStringLiteral("BLOCK_ID#NAME"));
    host->answer(Demo::units(), QStringLiteral(" FEET "));
    host->answer(Demo::featureThemes(0), QStringLiteral("parcels#blocks#water"));
    host->answer(Demo::featureThemes(1), QStringLiteral("blocks#tracts"));
    host->answer(Demo::fields(QStringLiteral("blocks"), 1), QStringLiteral("POP_DENS#POP2010"));
    host->answer(Demo::fields(QStringLiteral("tracts"), 1), QStringLiteral("DENSITY"));
    host->answer(Demo::workDir(), workDir());
    host->answer(Demo::run(workDir() + QStringLiteral("/model_params.txt")),
                 QStringLiteral("Submitted"));
}

std::unique_ptr<frmISParams> LauncherFixture::window()
{
    return std::make_unique<frmISParams>(storePath(), prompts, link);
}

std::unique_ptr<frmISParams> LauncherFixture::loadedWindow()
{
    auto form = window();
    if (!form->Form_Load()) {
        qWarning() << "start-up failed:" << prompts.messageTexts();
        return nullptr;
    }
    form->show();
    host->clearRequests();
    return form;
}
