#include "catalog/gdalsupport.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

#include <sys/stat.h>

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

namespace {

// What tells a file's contents changed: another file in its place, another size or time.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    qint64 modified = 0;
    bool operator==(const FileStamp& o) const
    {
        return std::tie(device, inode, size, modified) ==
               std::tie(o.device, o.inode, o.size, o.modified);
    }
};

std::vector<FileStamp> stampsOf(GDALDataset* dataset)
{
    std::vector<FileStamp> stamps;
    char** list = dataset->GetFileList();
    for (char** file = list; file && *file; ++file) {
        struct stat info {};
        FileStamp stamp;
        if (::stat(*file, &info) == 0) {
            stamp = {info.st_dev, info.st_ino, info.st_size,
                     qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
        }
        stamps.push_back(stamp);
    }
    CSLDestroy(list);
    return stamps;
}

struct Reused {
    QString path;
    std::vector<FileStamp> stamps; // when opened
};

// Datasets are handed out whole: one user at a time, on any thread.
std::mutex reuseMutex;
int reuseScopes = 0;
std::map<GDALDataset*, Reused> lent;
std::vector<std::pair<GDALDataset*, Reused>> kept; // let go last at the end
constexpr size_t MaxKept = 4; // each holds its index: a shapefile's, 8 bytes a record

} // namespace

void GdalDatasetCloser::operator()(GDALDataset* dataset) const
{
    if (reusable) {
        const std::lock_guard<std::mutex> lock(reuseMutex);
        const auto found = lent.find(dataset);
        if (found != lent.end()) {
            if (reuseScopes > 0) {
                kept.emplace_back(dataset, std::move(found->second));
                dataset = nullptr;
                if (kept.size() > MaxKept) {
                    dataset = kept.front().first;
                    kept.erase(kept.begin());
                }
            }
            lent.erase(found);
        }
    }
    if (dataset) {
        GDALClose(dataset);
    }
}

VectorReuse::VectorReuse()
{
    const std::lock_guard<std::mutex> lock(reuseMutex);
    ++reuseScopes;
}

VectorReuse::~VectorReuse()
{
    std::vector<std::pair<GDALDataset*, Reused>> closing;
    {
        const std::lock_guard<std::mutex> lock(reuseMutex);
        if (--reuseScopes == 0) {
            closing.swap(kept);
        }
    }
    for (const auto& entry : closing) {
        GDALClose(entry.first);
    }
}

namespace {

// The dataset of path let go last, its layers reset, or null; one whose files changed since it
// was opened is closed.
GDALDataset* takeKept(const QString& path, Reused& reused)
{
    GDALDataset* dataset = nullptr;
    {
        const std::lock_guard<std::mutex> lock(reuseMutex);
        const auto entry = std::find_if(kept.rbegin(), kept.rend(),
                                        [&](const auto& e) { return e.second.path == path; });
        if (entry == kept.rend()) {
            return nullptr;
        }
        dataset = entry->first;
        reused = std::move(entry->second);
        kept.erase(std::next(entry).base());
    }
    if (stampsOf(dataset) != reused.stamps) {
        GDALClose(dataset);
        return nullptr;
    }
    for (OGRLayer* layer : dataset->GetLayers()) {
        layer->SetSpatialFilter(nullptr);
        layer->SetAttributeFilter(nullptr);
        layer->SetIgnoredFields(nullptr);
        layer->ResetReading();
    }
    return dataset;
}

} // namespace

GdalDatasetPtr openVector(const QString& path)
{
    initGdal();
    bool reuse = false;
    {
        const std::lock_guard<std::mutex> lock(reuseMutex);
        reuse = reuseScopes > 0;
    }
    Reused reused{path, {}};
    GDALDataset* dataset = reuse ? takeKept(path, reused) : nullptr;
    if (!dataset) {
        dataset = GDALDataset::Open(path.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY);
        if (!dataset || !reuse) {
            return GdalDatasetPtr(dataset);
        }
        // Taken once open, as GDAL names the files only then; a change after this shows at the
        // next openVector of the path.
        reused = {path, stampsOf(dataset)};
    }
    const std::lock_guard<std::mutex> lock(reuseMutex);
    lent.emplace(dataset, std::move(reused));
    return GdalDatasetPtr(dataset, GdalDatasetCloser{true});
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
