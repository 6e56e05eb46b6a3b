#pragma once

#include <QString>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <memory>

// Ownership and error texts for GDAL handles.

struct GdalDatasetCloser {
    void operator()(GDALDataset* dataset) const { GDALClose(dataset); }
};
using GdalDatasetPtr = std::unique_ptr<GDALDataset, GdalDatasetCloser>;

// Registers the drivers once and keeps GDAL from printing to standard error: its messages
// are collected and reported by whoever called it.
void initGdal();

// The last message GDAL raised on this thread, or "" (then cleared).
QString takeGdalError();
// The first since the last take: where one failure brings others, the cause.
QString takeFirstGdalError();

// Opens a raster or vector file read-only; nothing when it does not open as that kind.
GdalDatasetPtr openRaster(const QString& path);
GdalDatasetPtr openVector(const QString& path);

// "Meters", "Feet" or "Degrees" for a coordinate system, "" when it has no known unit.
QString unitsName(const OGRSpatialReference* srs);
