#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// What the fuzz targets share: the input as bytes, and a file holding it for readers that
// take a path.

inline QByteArray fuzzBytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

// Writes bytes to a file of this process's own folder (in /dev/shm where there is one, so
// the disk is spared) and returns its path. Each call replaces the file.
QString writeFuzzFile(const QByteArray& bytes, const char* name = "input");

// Ends the run with a message libFuzzer reports as a crash, keeping the input.
[[noreturn]] void fuzzFailure(const char* what, const QString& detail = QString());
