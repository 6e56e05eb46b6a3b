#pragma once

#include <QString>
#include <QStringList>

// The items the launcher requests from the host, one function per host expression. The
// strings are the host's own script syntax and must stay exactly as built here.
namespace HostRequest {

// "av.GetActiveDoc.GetName": the active view's name.
QString GetActiveDocName();
// "av.GetProject.GetWorkDir.GetFullName.AsString": the project's working directory.
QString GetWorkDirName();

// av.Run("script",{"arg1","arg2"}): nothing escaped, no blanks.
QString runScript(const QString& script, const QStringList& arguments);

QString isGetGThemes(const QString& view);
QString isGetFThemes(const QString& view, int selector);
QString isGetFldNames(const QString& view, const QString& theme, int selector);
QString isGetViewUnits(const QString& view);
QString isCallExecuteModel(const QString& paramFilePath);

// The other way round, for hosts: splits an av.Run(...) item into script name and arguments.
// False when the item is not in that form.
bool parseRunScript(const QString& item, QString* script, QStringList* arguments);

} // namespace HostRequest
