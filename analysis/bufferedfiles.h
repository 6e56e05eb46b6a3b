#pragma once

#include <QString>

// GDAL's path for a file that is written through a write-back cache in memory, so that
// every write and close is checked, whichever driver writes it. The shapefile writer seeks back to
// its headers and to the end once per feature, which through plain files costs several system calls
// per feature; through this path those land in memory and the files are written in large pieces. A
// failed write is reported as a GDAL error.
QString bufferedPath(const QString& path);

// The first write through such a path that failed on this thread ("Cannot write PATH: the
// disk's message"), or ""; then cleared.
QString takeWriteFailure();
