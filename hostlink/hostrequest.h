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

// What isGetFThemes and isGetFldNames list: every polygon theme (themes only), or the themes
// and fields that are numeric, or string or integer. The number goes on the link.
enum class ThemeSelector { Any = 0, Numeric = 1, StringOrInteger = 2 };

QString isGetGThemes(const QString& view);
QString isGetFThemes(const QString& view, ThemeSelector selector);
QString isGetFldNames(const QString& view, const QString& theme, ThemeSelector selector);
QString isGetViewUnits(const QString& view);
QString isCallExecuteModel(const QString& paramFilePath);
// Asks a host that offered Cancel ("{showcancel}") to stop the run of that parameter file.
QString isCancelModel(const QString& paramFilePath);
// The answer of a host that is stopping the run.
inline const QString Cancelled = QStringLiteral("Cancelled");

// The other way round, for hosts: splits an av.Run(...) item into script name and arguments.
// False when the item is not in that form.
bool parseRunScript(const QString& item, QString* script, QStringList* arguments);

} // namespace HostRequest
