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
#include "catalog/workfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

// The run: the polygons are read and indexed by band (bandspans), then each band of the
// raster is read tile by tile on the threads (bandreader), laid over with scenarios and
// density levels (overlay) and its cells counted for the polygons that take them
// (accumulation); the bands' counts are added in band order while the output is written
// (outputplan, outputwriter). A change run reads the polygons once and makes one such pass
// per land cover, writing the output alongside the last.

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

// One land cover of a run and what counting it takes: its raster, the analysis polygons in
// its cell coordinates (shared by land covers on one grid), its overlay, class table and
// sums. A run counts its land covers one after the other.
struct Pass {
    QString label; // of a change run
    QString theme;
    Raster raster;
    CellAreas areas; // in square LCUNITS
    const PolygonSet* analysis = nullptr;
    Overlay overlay;
    std::optional<ClassTable> classes;
    CountSetup count;
    std::optional<PolygonSums> sums;
    MergedRows merged; // of the bands added to sums
    BandPlan plan;
    BandIndex ownIndex;
    const BandIndex* index = nullptr; // ownIndex, or that of a pass on the same grid

    // Whether the class of every cell is found as tiles are read: for scenarios to change,
    // or of values not all in one table. Otherwise cells are looked up where spans take them.
    bool classified() const { return count.table.empty() || overlay.scenarios(); }
};

// One run of the analysis, step by step; each step fails with the user's message.
class AnalysisRun {
public:
    AnalysisRun(const ModelParams& params, const DataCatalog& catalog,
                const ImperviousAnalysis::Options& options,
                const QVector<ImperviousAnalysis::LandCover>& landCovers, bool icm,
                int minimumBandHeight, ImperviousAnalysis::LogFunction log,
                ImperviousAnalysis::ProgressFunction progress)
        : p(params), m_catalog(catalog), m_options(options), m_icm(icm),
          m_minimumBandHeight(minimumBandHeight), m_log(std::move(log)),
          m_progress(std::move(progress))
    {
        if (landCovers.size() > 1) {
            for (const auto& landCover : landCovers) {
                m_passes.push_back(std::make_unique<Pass>());
                m_passes.back()->label = landCover.label;
                m_passes.back()->theme = landCover.theme;
                m_labels << landCover.label;
            }
        } else {
            m_passes.push_back(std::make_unique<Pass>());
            m_passes.back()->theme = p.lcTheme;
        }
    }

    ImperviousAnalysis::Result run()
    {
        checkOutput();
        for (auto& pass : m_passes) {
            openRaster(*pass);
        }
        readThemes();
        for (auto& pass : m_passes) {
            prepareCounting(*pass);
            planBands(*pass);
        }
        for (size_t k = 0; k + 1 < m_passes.size(); ++k) {
            scanBands(k);
        }
        if (m_options.classAreas) {
            // The class fields are known only when every band is counted.
            scanBands(m_passes.size() - 1);
            outputPlan().write(m_target, sums(), count(), [](qint64) {});
        } else {
            scanAndWrite();
        }
        ImperviousAnalysis::Result result;
        for (const auto& pass : m_passes) {
            result.polygons.clear();
            if (m_options.polygonResults) {
                result.polygons.reserve(qsizetype(count()));
            }
            double lcTotal = 0;
            double isTotal = 0;
            bool cellTaken = false;
            for (size_t i = 0; i < size_t(count()); ++i) {
                const PolygonResult r = pass->sums->result(i);
                lcTotal += r.lcArea;
                isTotal += r.isArea;
                cellTaken = cellTaken || r.cells > 0;
                if (m_options.polygonResults) {
                    result.polygons << r;
                }
            }
            result.noCellTaken = count() > 0 && !cellTaken;
            logTotals(*pass, lcTotal, isTotal);
            if (isChange() && m_options.polygonResults) {
                result.landCovers << result.polygons;
            }
        }
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
    bool isChange() const { return !m_labels.isEmpty(); }
    // The land cover's name in messages: its theme, and its label in a change run.
    QString named(const Pass& pass) const
    {
        return isChange() && pass.label != pass.theme
                   ? QStringLiteral("%1 (%2)").arg(pass.theme, pass.label)
                   : pass.theme;
    }
    qint64 count() const { return qint64(m_passes.front()->analysis->store.size()); }
    std::vector<const PolygonSums*> sums() const
    {
        std::vector<const PolygonSums*> all;
        for (const auto& pass : m_passes) {
            all.push_back(&*pass->sums);
        }
        return all;
    }
    void checkOutput();
    void openRaster(Pass& pass);
    void readThemes();
    void prepareCounting(Pass& pass);
    void planBands(Pass& pass);
    void scanBands(size_t k);
    BandCounts scanBand(const Pass& pass, quint32 band, Worker& w, BandCounts result) const;
    OutputPlan outputPlan() const
    {
        return OutputPlan(*m_analysisSource, p, m_options.keepFields,
                          m_options.classAreas ? m_passes.back()->sums->classFields()
                                               : std::vector<std::pair<int, QByteArray>>{},
                          m_labels, m_icm, m_log);
    }
    qint64 finalRow(size_t polygon) const;
    void scanAndWrite();
    void logTotals(const Pass& pass, double lcTotal, double isTotal) const;

    const ModelParams& p;
    const DataCatalog& m_catalog;
    const ImperviousAnalysis::Options m_options;
    const bool m_icm;
    const int m_minimumBandHeight;
    const ImperviousAnalysis::LogFunction m_log;
    const ImperviousAnalysis::ProgressFunction m_progress;

    OutputTarget m_target;
    const DataCatalog::Source* m_analysisSource = nullptr;
    QStringList m_labels; // of a change run; none for one land cover
    std::vector<std::unique_ptr<Pass>> m_passes;
    std::vector<PolygonSet> m_analysis; // one per grid of the land covers
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
    // A run stopped while it put this output in place left it half swapped.
    for (const QString& line : recoverWorkFolders(outInfo.absolutePath(), 0, outInfo.fileName())) {
        log(line);
    }
    if (isChange()) {
        const QString labels = OutputPlan::labelProblem(m_labels);
        if (!labels.isEmpty()) {
            fail(labels);
        }
        if (m_options.classAreas) {
            fail(QStringLiteral("Class areas are written for one land cover only, not in a "
                                "change run"));
        }
    }
    m_analysisSource = &polygonSource(m_catalog, p.analysisTheme);
    for (const auto& pass : m_passes) {
        ModelParams read = p;
        read.lcTheme = pass->theme;
        const QString conflict = outputConflict(read, m_catalog, m_options.format);
        if (!conflict.isEmpty()) {
            fail(conflict);
        }
    }
    if (OutputPlan::isResultField(p.analysisUnit, m_labels, m_icm)) {
        fail(QStringLiteral("The analysis field %1 has the name of an output field")
                 .arg(p.analysisUnit));
    }
    if (m_options.classAreas) {
        if (const auto field = OutputPlan::classFieldOf(p.analysisUnit, p)) {
            fail(QStringLiteral("The analysis field %1 has the name of %2, which --class-areas "
                                "adds; rename the field or run without --class-areas")
                     .arg(p.analysisUnit, *field));
        }
    }
}

// Each land cover's area of a cell comes from here alone.
void AnalysisRun::openRaster(Pass& pass)
{
    pass.raster = openLandCover(m_catalog, pass.theme);
    pass.areas = CellAreas::of(pass.raster, p.lcUnits, m_log);
    if (pass.areas.byRow()) {
        log(QStringLiteral("Land cover %1: %2 x %3 cells")
                .arg(named(pass))
                .arg(pass.raster.width)
                .arg(pass.raster.height));
        return;
    }
    log(QStringLiteral("Land cover %1: %2 x %3 cells of %4 square %5")
            .arg(named(pass))
            .arg(pass.raster.width)
            .arg(pass.raster.height)
            .arg(pass.areas.uniform())
            .arg(ModelParams::unitsText(p.lcUnits)));
}

// Polygons, all in cell coordinates of the rasters: the analysis theme is read once, into
// one store per grid the land covers have.
void AnalysisRun::readThemes()
{
    std::vector<const Raster*> grids;
    std::vector<size_t> gridOf;
    for (const auto& pass : m_passes) {
        size_t g = 0;
        while (g < grids.size() && !sameGrid(*grids[g], pass->raster)) {
            ++g;
        }
        if (g == grids.size()) {
            grids.push_back(&pass->raster);
        }
        gridOf.push_back(g);
    }
    m_analysis = readPolygons(m_catalog, p.analysisTheme, p.analysisUnit, false, grids,
                              m_options.coverage, m_log, true);
    for (size_t k = 0; k < m_passes.size(); ++k) {
        Pass& pass = *m_passes[k];
        pass.analysis = &m_analysis[gridOf[k]];
        if (!pass.analysis->overlapsRaster) {
            fail(isChange() ? QStringLiteral("The polygons of theme %1 do not overlap the land "
                                             "cover raster %2")
                                  .arg(p.analysisTheme, named(pass))
                            : QStringLiteral("The polygons of theme %1 do not overlap the land "
                                             "cover raster")
                                  .arg(p.analysisTheme));
        }
        pass.overlay.read(m_catalog, p, pass.raster, m_log);
    }
}

// The class of each value, the coefficients by level and class, and the sums.
void AnalysisRun::prepareCounting(Pass& pass)
{
    const GDALDataType type = pass.raster.band->GetRasterDataType();
    pass.classes.emplace(p.classes, type);
    CountSetup& setup = pass.count;
    setup.classes = &*pass.classes;
    setup.indexCount = pass.classes->indexCount();
    setup.levels = pass.overlay.densityLevels() ? 3 : 1;
    setup.whole = m_options.coverage != Coverage::Exact;
    if (pass.classes->coversType(type)) {
        setup.table = pass.classes->lookUp(pass.raster.wholeNoData());
    }
    std::vector<double> weights = coefficients(p, setup);
    pass.overlay.prepare(p, *pass.classes, m_log);
    setup.scenarioValues = pass.overlay.scenarioValues();
    setup.rowAreas = pass.areas.rows();
    pass.sums.emplace(size_t(count()), setup, std::move(weights), m_options.classAreas, pass.areas);
}

void AnalysisRun::planBands(Pass& pass)
{
    pass.plan = BandPlan::of(pass.raster, m_minimumBandHeight);
    for (const auto& earlier : m_passes) {
        if (earlier.get() == &pass) {
            break;
        }
        if (earlier->analysis == pass.analysis &&
            earlier->plan.bandHeight == pass.plan.bandHeight) {
            pass.index = earlier->index;
        }
    }
    if (!pass.index) {
        pass.ownIndex.build(pass.analysis->store, m_options.coverage, pass.plan.bandHeight,
                            pass.raster.width, pass.raster.height);
        pass.index = &pass.ownIndex;
    }
    pass.overlay.index(pass.plan.bandHeight, pass.raster.width, pass.raster.height);
}

// The band loop of land cover k: bands that analysis polygons reach are scanned on all
// threads, each with its own raster handle, and their sums added to the polygons in band
// order.
void AnalysisRun::scanBands(size_t k)
{
    Pass& pass = *m_passes[k];
    const std::vector<quint32> bands = pass.index->bands();
    int threads = m_options.threads > 0 ? m_options.threads : QThread::idealThreadCount();
    threads = int(std::clamp<qint64>(threads, 1, std::max<qint64>(qint64(bands.size()), 1)));
    // Blocks are read once each: a large block cache would only hold memory. The user's
    // GDAL_CACHEMAX still rules.
    if (!CPLGetConfigOption("GDAL_CACHEMAX", nullptr)) {
        GDALSetCacheMax64((GIntBig(8) << 20) * threads);
    }
    std::vector<Worker> workers(static_cast<size_t>(threads));
    for (size_t i = 0; i < workers.size(); ++i) {
        workers[i].reader.emplace(pass.raster, pass.plan, i > 0);
        workers[i].counter.emplace(pass.count);
    }
    // Each land cover its share of the percentage.
    const qint64 passes = qint64(m_passes.size());
    const auto percentOf = [&](qint64 rows) {
        return int((qint64(k) * 100 + rows * 100 / pass.raster.height) / passes);
    };
    int lastPercent = -1;
    std::mutex spareMutex;
    std::vector<BandCounts> spare; // of bands added up, for later bands to fill
    runInOrder<BandCounts>(
        bands.size(), threads,
        [&](size_t task, int worker) {
            BandCounts counts;
            {
                std::lock_guard<std::mutex> lock(spareMutex);
                if (!spare.empty()) {
                    counts = std::move(spare.back());
                    spare.pop_back();
                }
            }
            return scanBand(pass, bands[task], workers[size_t(worker)], std::move(counts));
        },
        [&](size_t, BandCounts&& band) {
            pass.sums->add(band);
            const qint64 rowEnd = band.rowEnd;
            {
                std::lock_guard<std::mutex> lock(spareMutex);
                spare.push_back(std::move(band));
            }
            pass.merged.advance(rowEnd);
            const int percent = percentOf(rowEnd);
            if (m_progress && percent != lastPercent) {
                m_progress(percent);
            }
            lastPercent = percent;
        });
    // Polygons whose points were read back from their file as the bands went: the same only
    // when the file is.
    pass.analysis->store.checkFiles();
    if (m_progress && lastPercent != percentOf(pass.raster.height)) {
        m_progress(percentOf(pass.raster.height));
    }
}

BandCounts AnalysisRun::scanBand(const Pass& pass, quint32 band, Worker& w, BandCounts result) const
{
    const BandPlan& plan = pass.plan;
    const qint64 rowBegin = qint64(band) * plan.bandHeight;
    const qint64 rowEnd = std::min<qint64>(rowBegin + plan.bandHeight, pass.raster.height);
    const int rows = int(rowEnd - rowBegin);
    const qint64 width = pass.raster.width;
    result.rowEnd = rowEnd;
    w.analysis.build(pass.analysis->store, *pass.index, m_options.coverage, band, rowBegin, rowEnd,
                     width);
    w.counter->start(result, w.analysis.groups());
    if (w.analysis.groups().empty()) {
        return result;
    }
    w.overlay.build(pass.overlay, band, rowBegin, rowEnd, width, plan.tileCells());
    // Only the columns the analysis polygons of this band reach.
    const auto [firstColumn, endColumn] = w.analysis.columns();
    const qint64 origin = firstColumn / plan.tileWidth * plan.tileWidth;
    const qint64 tiles = (endColumn - origin + plan.tileWidth - 1) / plan.tileWidth;
    w.analysis.byTile(origin, plan.tileWidth, tiles);
    w.overlay.byTile(origin, plan.tileWidth, tiles);
    const bool classified = pass.classified();
    for (size_t tile = 0; tile < size_t(tiles); ++tile) {
        if (w.analysis.tileEmpty(tile)) {
            continue;
        }
        const qint64 colBegin = origin + qint64(tile) * plan.tileWidth;
        const qint64 colEnd = std::min<qint64>(colBegin + plan.tileWidth, width);
        w.reader->read(colBegin, rowBegin, int(colEnd - colBegin), rows);
        if (classified) {
            w.reader->classify(*pass.classes, pass.count.table);
        }
        w.overlay.apply(pass.overlay, tile, rowBegin, colBegin, colEnd, rows,
                        w.reader->cellClass());
        const int32_t* cellClass = classified ? w.reader->cellClass() : nullptr;
        w.reader->withValues([&](const auto* values) {
            w.counter->addTile(result, w.analysis, tile, rowBegin, colBegin, colEnd, values,
                               cellClass, w.overlay.levels());
        });
    }
    w.counter->finish(result);
    return result;
}

// The row the last land cover's band loop must have added up to for a polygon's sums to be
// complete: the end of the last band it reaches into. The other land covers are counted
// before.
qint64 AnalysisRun::finalRow(size_t polygon) const
{
    const Pass& pass = *m_passes.back();
    const PolygonStore& store = pass.analysis->store;
    const Coverage rule = m_options.coverage;
    if (polygon >= store.size() || store.empty(polygon)) {
        return 0;
    }
    const qint64 height = pass.raster.height;
    const qint64 first = std::max<qint64>(store.firstRow(polygon, rule), 0);
    const qint64 end = std::min<qint64>(store.endRow(polygon, rule), height);
    if (first >= end) {
        return 0;
    }
    const qint64 bandHeight = pass.plan.bandHeight;
    return std::min<qint64>((end + bandHeight - 1) / bandHeight * bandHeight, height);
}

// The output is written while the last land cover's bands are counted: each feature as soon
// as the bands its polygon reaches are added up. Polygons in layer order from north to south
// (as most layers are) are then written almost alongside the count; others wait for the
// last band.
void AnalysisRun::scanAndWrite()
{
    OutputPlan plan = outputPlan();
    MergedRows& merged = m_passes.back()->merged;
    std::exception_ptr writeError;
    std::thread writer([&] {
        qint64 known = 0; // rows known to be added, without taking the lock
        try {
            plan.write(m_target, sums(), count(), [&](qint64 n) {
                // The last feature waits for the whole count: the output is put in place
                // only when the count succeeded.
                const qint64 needed =
                    n + 1 == count() ? std::numeric_limits<qint64>::max() : finalRow(size_t(n));
                if (needed > known) {
                    known = merged.waitFor(needed);
                }
            });
        } catch (...) {
            writeError = std::current_exception();
        }
    });
    try {
        scanBands(m_passes.size() - 1);
    } catch (...) {
        merged.fail();
        writer.join();
        throw;
    }
    merged.advance(std::numeric_limits<qint64>::max());
    writer.join();
    if (writeError) {
        std::rethrow_exception(writeError);
    }
}

void AnalysisRun::logTotals(const Pass& pass, double lcTotal, double isTotal) const
{
    for (const auto& [value, cells] : pass.sums->unknownValues()) {
        if (const qint64 n = std::llround(cells)) { // shares of cells under the exact rule
            log(QStringLiteral("Class value %1 has no CLASS line: %2 cells weigh 0")
                    .arg(value)
                    .arg(n));
        }
    }
    log(QStringLiteral("Output %1: %2 polygons, land cover area %3, impervious area %4 "
                       "square %5")
            .arg(isChange() ? QStringLiteral("%1, %2").arg(m_target.path, named(pass))
                            : m_target.path)
            .arg(count())
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
        result = AnalysisRun(m_params, m_catalog, m_options, m_landCovers, m_icm,
                             m_minimumBandHeight, m_log, m_progress)
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
