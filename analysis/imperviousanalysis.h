#pragma once

#include "analysis/datacatalog.h"
#include "model/modelparams.h"

#include <QString>
#include <QVector>

#include <functional>
#include <map>

// The impervious surface analysis: land cover cells weighed by their class's coefficient,
// summed per analysis polygon, written to the output shapefile.
class ImperviousAnalysis {
public:
    struct PolygonResult {
        qint64 cells = 0;   // cells whose centre lies inside, NoData included
        qint64 noData = 0;  // NODATA_CT
        qint64 unknown = 0; // UNK_CT: counted, but of a class without a CLASS line
        double lcArea = 0;  // LC_AREA
        double isArea = 0;  // IS_AREA
        double isPct = 0;   // IS_PCT
        // Counted cells by class value (after scenarios), for classes with a CLASS line.
        std::map<qint32, qint64> classCells;
    };
    struct Result {
        bool ok = false;
        QString error; // one line, for the user
        QString outputPath;
        QVector<PolygonResult> polygons; // one per analysis feature, in layer order
    };
    using LogFunction = std::function<void(const QString&)>;
    using ProgressFunction = std::function<void(int percent)>;

    ImperviousAnalysis(ModelParams params, DataCatalog catalog);
    void setLog(LogFunction log) { m_log = std::move(log); }
    void setProgress(ProgressFunction progress) { m_progress = std::move(progress); }
    // Rows of cells processed at once; at least the raster's block height. Tests make it
    // small so that polygons cross band borders.
    void setMinimumBandHeight(int rows) { m_minimumBandHeight = rows; }

    Result run();
    // The output shapefile's path: absolute, ".shp" added when missing.
    static QString outputPath(const ModelParams& params);
    // Why the output would replace a file of a theme the run reads, or "" when it would not.
    static QString outputConflict(const ModelParams& params, const DataCatalog& catalog);

private:
    ModelParams m_params;
    DataCatalog m_catalog;
    LogFunction m_log;
    ProgressFunction m_progress;
    int m_minimumBandHeight = 64;
};
