#include "catalog/gdalsupport.h"

#include <cmath>
#include <mutex>

namespace {

thread_local QString lastError;
thread_local QString firstError;

void CPL_STDCALL collectError(CPLErr severity, CPLErrorNum, const char* message)
{
    if (severity >= CE_Failure) {
        lastError = QString::fromUtf8(message);
        if (firstError.isEmpty()) {
            firstError = lastError;
        }
    }
}

} // namespace

void initGdal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        GDALAllRegister();
        CPLSetErrorHandler(collectError);
        // Each block is read once, so a large block cache only costs memory; the user's
        // GDAL_CACHEMAX still rules.
        if (!CPLGetConfigOption("GDAL_CACHEMAX", nullptr)) {
            GDALSetCacheMax64(32 * 1024 * 1024);
        }
    });
}

QString takeGdalError()
{
    firstError.clear();
    return std::exchange(lastError, QString());
}

QString takeFirstGdalError()
{
    lastError.clear();
    return std::exchange(firstError, QString());
}

GdalDatasetPtr openRaster(const QString& path)
{
    initGdal();
    return GdalDatasetPtr(
        GDALDataset::Open(path.toUtf8().constData(), GDAL_OF_RASTER | GDAL_OF_READONLY));
}

GdalDatasetPtr openVector(const QString& path)
{
    initGdal();
    return GdalDatasetPtr(
        GDALDataset::Open(path.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
}

QString unitsName(const OGRSpatialReference* srs)
{
    if (!srs) {
        return {};
    }
    if (srs->IsGeographic()) {
        return QStringLiteral("Degrees");
    }
    const double metres = srs->GetLinearUnits();
    if (std::abs(metres - 1.0) < 1e-9) {
        return QStringLiteral("Meters");
    }
    // The international and the US survey foot.
    if (std::abs(metres - 0.3048) < 1e-6) {
        return QStringLiteral("Feet");
    }
    return {};
}
