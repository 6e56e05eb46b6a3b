#pragma once

#include <QString>
#include <QStringList>

// A host's list answer: names joined by "#", or the path of a temporary list file whose last
// line holds them so joined.
namespace ListAnswer {

// A list answer names a file when it holds a backslash (hosts on the old platform) or is an
// absolute path here (begins with "/").
bool isListFile(const QString& answer);

// The names of a list answer, empty entries kept ("a##b" gives three names). A list file is
// read (UTF-8, else Windows-1252) and deleted afterwards. An empty text gives no names.
// On a file that cannot be read: no names, the reason in *error and in the log.
QStringList split(const QString& answer, QString* error = nullptr);

// The last line of a text, whatever its line ends; a line end at the very end starts no line.
QString lastLine(const QString& text);

} // namespace ListAnswer
