#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// How files are read: UTF-8 with a leading byte order mark skipped; a file that is not valid
// UTF-8 is taken as Windows-1252, the 8-bit code page older files were written in.
QString decodeText(const QByteArray& bytes);

// The same, but the result as UTF-8 bytes (what the XML parser takes).
QByteArray toUtf8Text(const QByteArray& bytes);

bool isValidUtf8(const QByteArray& bytes);

// Splits text at CR LF, LF or CR; a line end at the very end does not make an empty last line.
QStringList splitLines(const QString& text);
