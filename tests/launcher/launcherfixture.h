#pragma once

#include "hostlink/clientlink.h"
#include "launcher/frmisparams.h"
#include "tests/support/scriptedprompts.h"

#include <QComboBox>
#include <QHash>
#include <QMutex>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>

class CommandSource;

// The requests of the demo view, spelled as the host receives them.
namespace Req {
inline QString avRun(const char* script, const char* args)
{
    return QStringLiteral("av.Run(\"%1\",{%2})").arg(QLatin1String(script), QLatin1String(args));
}
inline const QString ViewName = QStringLiteral("av.GetActiveDoc.GetName");
inline const QString GridThemes = avRun("isGetGThemes", R"("View1")");
inline const QString PolygonThemes = avRun("isGetFThemes", R"("View1","2")");
inline const QString ParcelFields = avRun("isGetFldNames", R"("View1","parcels","2")");
inline const QString BlockFields = avRun("isGetFldNames", R"("View1","blocks","2")");
inline const QString Units = avRun("isGetViewUnits", R"("View1")");
inline const QString ScenarioThemes = avRun("isGetFThemes", R"("View1","0")");
inline const QString DensityThemes = avRun("isGetFThemes", R"("View1","1")");
inline const QString BlockDensityFields = avRun("isGetFldNames", R"("View1","blocks","1")");
inline const QString TractDensityFields = avRun("isGetFldNames", R"("View1","tracts","1")");
inline const QString WorkDir = QStringLiteral("av.GetProject.GetWorkDir.GetFullName.AsString");
inline QString run(const QString& path)
{
    return QStringLiteral("av.Run(\"isCallExecuteModel\",{\"%1\"})").arg(path);
}
} // namespace Req

// A host served from a thread of the test process, so the launcher's blocking requests find it
// answering: answers scripted per request (none: no data), every request recorded in order.
class FakeHost {
public:
    FakeHost();
    ~FakeHost();
    void answer(const QString& request, const std::optional<QString>& text);
    QStringList requests() const;
    void clearRequests();
    // Runs in the host's thread on every request, before it is answered.
    void observe(std::function<void(const QString&)> observer);

private:
    QThread m_thread;
    CommandSource* m_source = nullptr;
    mutable QMutex m_mutex;
    QHash<QString, std::optional<QString>> m_answers;
    QStringList m_requests;
    std::function<void(const QString&)> m_observer;
};

// The control of that object name; for control arrays, the element of that index.
template <typename T> T* control(QWidget* window, const char* name, int index = -1)
{
    for (T* widget : window->findChildren<T*>(QLatin1String(name))) {
        if (index < 0 || widget->property("index").toInt() == index) {
            return widget;
        }
    }
    return nullptr;
}

// A private endpoint folder, a store, a fake host answering the demo view, scripted prompts,
// and helpers for the window built on them.
class LauncherFixture {
public:
    LauncherFixture();

    // Builds the window and starts it up; when that succeeds, shows it and moves the host's
    // record to loadRequests.
    bool load();

    QString storePath() const { return m_dir.filePath(QStringLiteral("etc/isprops.xml")); }
    QString workDir() const { return m_dir.filePath(QStringLiteral("work")); }
    QString paramPath() const { return workDir() + QStringLiteral("/model_params.txt"); }
    QByteArray paramFile() const; // "(missing)" when there is none

    template <typename T> T* get(const char* name, int index = -1) const
    {
        return control<T>(w.get(), name, index);
    }
    QComboBox* combo(const char* name, int index = -1) const { return get<QComboBox>(name, index); }
    QStringList texts(const char* name, int index = -1) const;
    // Selects without the change signal, as a list the user never opened.
    void select(const char* name, int index, int arrayIndex = -1);
    void click(const char* name, int index = -1);
    void addRows(int count);
    // Everything a run needs, with "High" and no scenario.
    void chooseHigh();

    QTemporaryDir m_dir;
    std::unique_ptr<FakeHost> host;
    ScriptedPrompts prompts{QStringLiteral("TARN")};
    ClientLink link;
    std::unique_ptr<frmISParams> w;
    QStringList loadRequests;
};
