#pragma once

#include "clientlink.h"
#include "fakehost.h"
#include "frmisparams.h"
#include "scriptedprompts.h"

#include <QTemporaryDir>
#include <QWidget>

#include <memory>

// What the launcher tests share: a private endpoint folder, a store, a host with the demo
// view's answers, scripted prompts and a window built on them.
namespace Demo {
extern const QString View;
QString name();                                     // av.GetActiveDoc.GetName
QString gridThemes();                               // isGetGThemes View1
QString featureThemes(int selector);                // isGetFThemes View1 selector
QString fields(const QString& theme, int selector); // isGetFldNames View1 theme selector
QString units();                                    // isGetViewUnits View1
QString workDir();                                  // av.GetProject.GetWorkDir...
QString run(const QString& path);                   // isCallExecuteModel path

// The store: "Suburban" (41 Forest, 21 "Developed, Low"), "Urban" (22), and a second
// "Suburban" (-3 Water).
void writeStore(const QString& path);
} // namespace Demo

class LauncherFixture {
public:
    // Points the host link at a fresh folder, writes the store and answers the demo view.
    LauncherFixture();
    ~LauncherFixture();

    void answerDemoView();
    std::unique_ptr<frmISParams> window();
    // A window after a start-up that must succeed.
    std::unique_ptr<frmISParams> loadedWindow();

    QString storePath() const { return m_dir.filePath(QStringLiteral("etc/isprops.xml")); }
    QString workDir() const { return m_dir.filePath(QStringLiteral("work")); }

    QTemporaryDir m_dir;
    std::unique_ptr<FakeHost> host;
    ScriptedPrompts prompts{QStringLiteral("TARN")};
    ClientLink link;
};

// The control of that object name; for control arrays, the element of that index.
template <typename T> T* control(QWidget* window, const char* name, int index = -1)
{
    const QList<T*> all = window->findChildren<T*>(QLatin1String(name));
    for (T* widget : all) {
        if (index < 0 || widget->property("index").toInt() == index) {
            return widget;
        }
    }
    return nullptr;
}
