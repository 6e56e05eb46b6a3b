#include "analysis/imperviousanalysis.h"

#include "analysis/accumulation.h"
#include "analysis/analysiserror.h"
#include "analysis/analysisinputs.h"
#include "analysis/bandloop.h"
#include "analysis/bandreader.h"
#include "analysis/bandspans.h"
#include "analysis/cellareas.h"
#include "analysis/outputplan.h"
#include "analysis/overlay.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <limits>
#include <thread>

// The run: the polygons are read and indexed by band (bandspans), then each band of the
// raster is read tile by tile on the threads (bandreader), laid over with scenarios and
// density levels (overlay) and its cells counted for the polygons that take them
// (accumulation); the bands' counts are added in band order while the output is written
// (outputplan, outputwriter).

namespace {

// What a thread holds: its own reader of the raster, spans, overlay and counter.
struct Worker {
    std::optional<TileReader> reader;
    BandSpans analysis;
    Overlay::Band overlay;
    std::optional<BandCounter> counter;
};

QString areaText(double value)
{
    return QString::number(value, 'f', 2);
}

// One run of the analysis, step by step; each step fails with the user's message.
class AnalysisRun {
public:
    AnalysisRun(const ModelParams& params, const DataCatalog& catalog,
                const ImperviousAnalysis::Options& options, int minimumBandHeight,
                ImperviousAnalysis::LogFunction log, ImperviousAnalysis::ProgressFunction progress)
        : p(params), m_catalog(catalog), m_options(options), m_minimumBandHeight(minimumBandHeight),
          m_log(std::move(log)), m_progress(std::move(progress))
    {
    }

    ImperviousAnalysis::Result run()
    {
        checkOutput();
        openRaster();
        readThemes();
        prepareCounting();
        planBands();
        if (m_options.classAreas) {
            // The class fields are known only when every band is counted.
            scanBands();
            outputPlan().write(m_target, *m_sums, count(), [](qint64) {});
        } else {
            scanAndWrite();
        }
        ImperviousAnalysis::Result result;
        for (size_t i = 0; i < m_analysis.store.size(); ++i) {
            result.polygons << m_sums->result(i);
        }
        logTotals(result.polygons);
        result.outputPath = m_target.path;
        result.ok = true;
        return result;
    }

private:
    void log(const QString& line) const
    {
        if (m_log) {
            m_log(line);
        }
    }
    qint64 count() const { return qint64(m_analysis.store.size()); }
    void checkOutput();
    void openRaster();
    void readThemes();
    void prepareCounting();
    void planBands();
    void scanBands();
    BandCounts scanBand(quint32 band, Worker& w) const;
    // Whether the class of every cell is found as tiles are read: for scenarios to change,
    // or of values not all in one table. Otherwise cells are looked up where spans take them.
    bool classified() const { return m_count.table.empty() || m_overlay.scenarios(); }
    OutputPlan outputPlan() const
    {
        return OutputPlan(*m_analysisSource, p, m_options.keepFields,
                          m_options.classAreas ? m_sums->classFields()
                                               : std::vector<std::pair<int, QByteArray>>{},
                          m_log);
    }
    qint64 finalRow(size_t polygon) const;
    void scanAndWrite();
    void logTotals(const QVector<PolygonResult>& polygons) const;

    const ModelParams& p;
    const DataCatalog& m_catalog;
    const ImperviousAnalysis::Options m_options;
    const int m_minimumBandHeight;
    const ImperviousAnalysis::LogFunction m_log;
    const ImperviousAnalysis::ProgressFunction m_progress;

    OutputTarget m_target;
    const DataCatalog::Source* m_analysisSource = nullptr;
    Raster m_raster;
    CellAreas m_areas; // in square LCUNITS
    PolygonSet m_analysis;
    Overlay m_overlay;
    std::optional<ClassTable> m_classes;
    CountSetup m_count;
    std::optional<PolygonSums> m_sums;
    MergedRows m_merged; // of the bands added to m_sums
    BandPlan m_plan;
    BandIndex m_analysisIndex;
};

// The output first: a run that cannot write its result should fail before the work.
void AnalysisRun::checkOutput()
{
    QString problem;
    const auto target = OutputTarget::resolve(p.outTheme, m_options.format, &problem);
    if (!target) {
        fail(problem);
    }
    m_target = *target;
    const QFileInfo outInfo(m_target.path);
    if (!outInfo.absoluteDir().exists()) {
        fail(QStringLiteral("Output folder does not exist: %1").arg(outInfo.absolutePath()));
    }
    m_analysisSource = &polygonSource(m_catalog, p.analysisTheme);
    const QString conflict = outputConflict(p, m_catalog, m_options.format);
    if (!conflict.isEmpty()) {
        fail(conflict);
    }
    if (OutputPlan::isResultField(p.analysisUnit)) {
        fail(QStringLiteral("The analysis field %1 has the name of an output field")
                 .arg(p.analysisUnit));
    }
}

void AnalysisRun::openRaster()
{
    m_raster = openLandCover(m_catalog, p.lcTheme);
    m_areas = CellAreas::of(m_raster, p.lcUnits, m_log);
    if (m_areas.byRow()) {
        log(QStringLiteral("Land cover %1: %2 x %3 cells")
                .arg(p.lcTheme)
                .arg(m_raster.width)
                .arg(m_raster.height));
        return;
    }
    log(QStringLiteral("Land cover %1: %2 x %3 cells of %4 square %5")
            .arg(p.lcTheme)
            .arg(m_raster.width)
            .arg(m_raster.height)
            .arg(m_areas.uniform())
            .arg(ModelParams::unitsText(p.lcUnits)));
}

// Polygons, all in cell coordinates of the raster.
void AnalysisRun::readThemes()
{
    m_analysis = readPolygons(m_catalog, p.analysisTheme, p.analysisUnit, false, m_raster,
                              m_options.coverage, m_log);
    if (!m_analysis.overlapsRaster) {
        fail(QStringLiteral("The polygons of theme %1 do not overlap the land cover raster")
                 .arg(p.analysisTheme));
    }
    m_overlay.read(m_catalog, p, m_raster, m_log);
}

// The class of each value, the coefficients by level and class, and the sums.
void AnalysisRun::prepareCounting()
{
    const GDALDataType type = m_raster.band->GetRasterDataType();
    m_classes.emplace(p.classes, type);
    m_count.classes = &*m_classes;
    m_count.indexCount = m_classes->indexCount();
    m_count.levels = m_overlay.densityLevels() ? 3 : 1;
    m_count.whole = m_options.coverage != Coverage::Exact;
    if (m_classes->coversType(type)) {
        m_count.table = m_classes->lookUp(m_raster.wholeNoData());
    }
    std::vector<double> weights = coefficients(p, m_count);
    m_overlay.prepare(p, *m_classes, m_log);
    m_count.scenarioValues = m_overlay.scenarioValues();
    m_count.rowAreas = m_areas.rows();
    m_sums.emplace(m_analysis.store.size(), m_count, std::move(weights), m_options.classAreas,
                   m_areas);
}

void AnalysisRun::planBands()
{
    m_plan = BandPlan::of(m_raster, m_minimumBandHeight);
    m_analysisIndex.build(m_analysis.store, m_options.coverage, m_plan.bandHeight, m_raster.width,
                          m_raster.height);
    m_overlay.index(m_plan.bandHeight, m_raster.width, m_raster.height);
}

// The band loop: bands that analysis polygons reach are scanned on all threads, each with
// its own raster handle, and their sums added to the polygons in band order.
void AnalysisRun::scanBands()
{
    const std::vector<quint32> bands = m_analysisIndex.bands();
    int threads = m_options.threads > 0 ? m_options.threads : QThread::idealThreadCount();
    threads = int(std::clamp<qint64>(threads, 1, std::max<qint64>(qint64(bands.size()), 1)));
    // Blocks are read once each: a large block cache would only hold memory. The user's
    // GDAL_CACHEMAX still rules.
    if (!CPLGetConfigOption("GDAL_CACHEMAX", nullptr)) {
        GDALSetCacheMax64((GIntBig(8) << 20) * threads);
    }
    std::vector<Worker> workers(static_cast<size_t>(threads));
    for (size_t i = 0; i < workers.size(); ++i) {
        workers[i].reader.emplace(m_raster, m_plan, i > 0);
        workers[i].counter.emplace(m_count);
    }
    int lastPercent = -1;
    runInOrder<BandCounts>(
        bands.size(), threads,
        [&](size_t task, int worker) { return scanBand(bands[task], workers[size_t(worker)]); },
        [&](size_t, BandCounts&& band) {
            m_sums->add(band);
            m_merged.advance(band.rowEnd);
            const int percent = int(band.rowEnd * 100 / m_raster.height);
            if (m_progress && percent != lastPercent) {
                m_progress(percent);
            }
            lastPercent = percent;
        });
    if (m_progress && lastPercent != 100) {
        m_progress(100);
    }
}

BandCounts AnalysisRun::scanBand(quint32 band, Worker& w) const
{
    const qint64 rowBegin = qint64(band) * m_plan.bandHeight;
    const qint64 rowEnd = std::min<qint64>(rowBegin + m_plan.bandHeight, m_raster.height);
    const int rows = int(rowEnd - rowBegin);
    const qint64 width = m_raster.width;
    BandCounts result;
    result.rowEnd = rowEnd;
    w.analysis.build(m_analysis.store, m_analysisIndex, m_options.coverage, band, rowBegin, rowEnd,
                     width);
    if (w.analysis.groups().empty()) {
        return result;
    }
    w.counter->start(result, w.analysis.groups());
    w.overlay.build(m_overlay, band, rowBegin, rowEnd, width, m_plan.tileCells());
    // Only the columns the analysis polygons of this band reach.
    const auto [firstColumn, endColumn] = w.analysis.columns();
    const qint64 origin = firstColumn / m_plan.tileWidth * m_plan.tileWidth;
    const qint64 tiles = (endColumn - origin + m_plan.tileWidth - 1) / m_plan.tileWidth;
    w.analysis.byTile(origin, m_plan.tileWidth, tiles);
    w.overlay.byTile(origin, m_plan.tileWidth, tiles);
    for (size_t tile = 0; tile < size_t(tiles); ++tile) {
        if (w.analysis.tileEmpty(tile)) {
            continue;
        }
        const qint64 colBegin = origin + qint64(tile) * m_plan.tileWidth;
        const qint64 colEnd = std::min<qint64>(colBegin + m_plan.tileWidth, width);
        w.reader->read(colBegin, rowBegin, int(colEnd - colBegin), rows);
        if (classified()) {
            w.reader->classify(*m_classes, m_count.table);
        }
        w.overlay.apply(m_overlay, tile, rowBegin, colBegin, colEnd, rows, w.reader->cellClass());
        const int32_t* cellClass = classified() ? w.reader->cellClass() : nullptr;
        w.reader->withValues([&](const auto* values) {
            w.counter->addTile(result, w.analysis, tile, rowBegin, colBegin, colEnd, values,
                               cellClass, w.overlay.levels());
        });
    }
    w.counter->finish(result);
    return result;
}

// The row the band loop must have added up to for a polygon's sums to be complete: the end
// of the last band it reaches into.
qint64 AnalysisRun::finalRow(size_t polygon) const
{
    const PolygonStore& store = m_analysis.store;
    const Coverage rule = m_options.coverage;
    if (polygon >= store.size() || store.empty(polygon)) {
        return 0;
    }
    const qint64 first = std::max<qint64>(store.firstRow(polygon, rule), 0);
    const qint64 end = std::min<qint64>(store.endRow(polygon, rule), m_raster.height);
    if (first >= end) {
        return 0;
    }
    return std::min<qint64>((end + m_plan.bandHeight - 1) / m_plan.bandHeight * m_plan.bandHeight,
                            m_raster.height);
}

// The output is written while the bands are counted: each feature as soon as the bands its
// polygon reaches are added up. Polygons in layer order from north to south (as most layers
// are) are then written almost alongside the count; others wait for the last band.
void AnalysisRun::scanAndWrite()
{
    OutputPlan plan = outputPlan();
    std::exception_ptr writeError;
    std::thread writer([&] {
        qint64 known = 0; // rows known to be added, without taking the lock
        try {
            plan.write(m_target, *m_sums, count(), [&](qint64 n) {
                // The last feature waits for the whole count: the output is put in place
                // only when the count succeeded.
                const qint64 needed =
                    n + 1 == count() ? std::numeric_limits<qint64>::max() : finalRow(size_t(n));
                if (needed > known) {
                    known = m_merged.waitFor(needed);
                }
            });
        } catch (...) {
            writeError = std::current_exception();
        }
    });
    try {
        scanBands();
    } catch (...) {
        m_merged.fail();
        writer.join();
        throw;
    }
    m_merged.advance(std::numeric_limits<qint64>::max());
    writer.join();
    if (writeError) {
        std::rethrow_exception(writeError);
    }
}

void AnalysisRun::logTotals(const QVector<PolygonResult>& polygons) const
{
    for (const auto& [value, cells] : m_sums->unknownValues()) {
        if (const qint64 n = std::llround(cells)) { // shares of cells under the exact rule
            log(QStringLiteral("Class value %1 has no CLASS line: %2 cells weigh 0")
                    .arg(value)
                    .arg(n));
        }
    }
    double lcTotal = 0;
    double isTotal = 0;
    for (const PolygonResult& r : polygons) {
        lcTotal += r.lcArea;
        isTotal += r.isArea;
    }
    log(QStringLiteral("Output %1: %2 polygons, land cover area %3, impervious area %4 "
                       "square %5")
            .arg(m_target.path)
            .arg(polygons.size())
            .arg(areaText(lcTotal), areaText(isTotal), ModelParams::unitsText(p.lcUnits)));
}

} // namespace

ImperviousAnalysis::ImperviousAnalysis(ModelParams params, DataCatalog catalog)
    : m_params(std::move(params)), m_catalog(std::move(catalog))
{
}

ImperviousAnalysis::Result ImperviousAnalysis::run()
{
    initGdal();
    Result result;
    try {
        result = AnalysisRun(m_params, m_catalog, m_options, m_minimumBandHeight, m_log, m_progress)
                     .run();
    } catch (const AnalysisError& error) {
        result.error = error.message;
    } catch (const std::bad_alloc&) {
        result.error = QStringLiteral("The analysis ran out of memory");
    } catch (const std::exception& error) {
        result.error =
            QStringLiteral("The analysis stopped: %1").arg(QString::fromLocal8Bit(error.what()));
    }
    if (!result.ok) {
        result.polygons.clear();
    }
    return result;
}
