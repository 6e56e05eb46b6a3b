#pragma once

#include <QString>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <memory>

// Ownership and error texts for GDAL handles.

struct GdalDatasetCloser {
    bool reusable = false; // of openVector while a VectorReuse lives
    void operator()(GDALDataset* dataset) const;
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

// One run reads its polygon files several times (listed, read, copied to the output), and
// opening a large shapefile reads its whole shape index. While a VectorReuse lives, a dataset
// of openVector is kept when let go and handed to the next openVector of the same path, its
// layers reset, as long as none of its files changed. Closes what it kept when it ends.
class VectorReuse {
public:
    VectorReuse();
    ~VectorReuse();
    VectorReuse(const VectorReuse&) = delete;
    VectorReuse& operator=(const VectorReuse&) = delete;
};

// "Meters", "Feet" or "Degrees" for a coordinate system, "" when it has no known unit.
QString unitsName(const OGRSpatialReference* srs);
