#pragma once

#include "analysis/polygonresult.h"
#include "catalog/coverage.h"
#include "catalog/datacatalog.h"
#include "model/modelparams.h"

#include <QString>
#include <QVector>

#include <functional>

// The impervious surface analysis: land cover cells weighed by their class's coefficient,
// summed per analysis polygon, written to the output. A change run does so for several land
// covers at once (years of a series), reading the polygons once, and writes each one's sums
// and the change from the first to the last.
class ImperviousAnalysis {
public:
    struct LandCover {
        QString label; // names its output fields
        QString theme; // a grid theme of the catalogue
    };
    struct Options {
        Coverage coverage = Coverage::Centre; // of the analysis polygons only
        int threads = 0;                      // 0: the cores available
        QString format;                       // a GDAL vector driver; "": by the extension
        bool keepFields = false;              // every field of the analysis theme, not one
        bool classAreas = false;              // an A_<value> field per class present
        // Result::polygons and landCovers filled: 48 bytes a polygon, which a caller that
        // reads the output instead need not hold.
        bool polygonResults = true;
    };
    using PolygonResult = ::PolygonResult;
    struct Result {
        bool ok = false;
        QString error; // one line, for the user
        QString outputPath;
        QVector<PolygonResult> polygons; // one per analysis feature, in layer order
        // A change run's: the polygons' results of each land cover, in order (polygons then
        // holds the last one's).
        QVector<QVector<PolygonResult>> landCovers;
        // There are polygons, and none took a cell of the last land cover (PolygonResult::cells:
        // under the exact rule, shares rounded).
        bool noCellTaken = false;
    };
    using LogFunction = std::function<void(const QString&)>;
    using ProgressFunction = std::function<void(int percent)>;

    ImperviousAnalysis(ModelParams params, DataCatalog catalog);
    void setOptions(const Options& options) { m_options = options; }
    // Two or more: a change run of these land covers, in this order, in place of the
    // parameters' LCTHEME.
    void setLandCovers(QVector<LandCover> landCovers) { m_landCovers = std::move(landCovers); }
    // Adds the watershed classes of the impervious cover model by IS_PCT.
    void setWatershedClasses(bool on) { m_icm = on; }
    void setLog(LogFunction log) { m_log = std::move(log); }
    void setProgress(ProgressFunction progress) { m_progress = std::move(progress); }
    // Rows of cells processed at once; at least the raster's block height. Tests make it
    // small so that polygons cross band borders.
    void setMinimumBandHeight(int rows) { m_minimumBandHeight = rows; }

    Result run();

private:
    ModelParams m_params;
    DataCatalog m_catalog;
    Options m_options;
    QVector<LandCover> m_landCovers;
    bool m_icm = false;
    LogFunction m_log;
    ProgressFunction m_progress;
    int m_minimumBandHeight = 64;
};
