#include "analysis/imperviousanalysis.h"

#include "analysis/analysiserror.h"
#include "analysis/analysisinputs.h"
#include "analysis/bandloop.h"
#include "analysis/bandreader.h"
#include "analysis/bandspans.h"
#include "analysis/outputwriter.h"
#include "analysis/overlay.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace {

constexpr int High = 0, Medium = 1, Low = 2;

// What one band adds to its polygons: cell counts (or shares) by level and class index.
struct BandResult {
    qint64 rowEnd = 0;
    std::vector<quint32> polygons;
    std::vector<double> histograms; // histogramSize per polygon, with weighed cells
    std::vector<qint64> counts;     // the same, when every cell counts whole
    std::vector<std::pair<qint64, double>> unknownValues; // cells by class value
};

// The cells of classes without a CLASS line that polygons take in one band, by class value.
// Each band keeps its own, added up in band order, so shares sum the same on any number of
// threads.
struct UnknownTally {
    qint64 lowest = 0;
    std::vector<double> dense; // by value - lowest, for 8 and 16-bit rasters
    std::vector<qint64> seen;  // values with a count in dense
    std::unordered_map<qint64, double> sparse;
    // Where cells are looked up by value: cells (two copies) or shares by value - lowest, of
    // unknown classes or of any (those of known classes are left out when taken). Counting
    // them costs less than a branch on the class of every cell.
    std::vector<qint64> cellsByValue;
    std::vector<double> sharesByValue;

    void add(qint64 value, double n)
    {
        const quint64 k = quint64(value - lowest);
        if (k < dense.size()) {
            if (dense[k] == 0) {
                seen.push_back(value);
            }
            dense[k] += n;
        } else {
            sparse[value] += n;
        }
    }

    // Moves the band's counts to out and starts over; table: the look-up by value - lowest.
    void take(std::vector<std::pair<qint64, double>>& out, const std::vector<int32_t>& table)
    {
        const size_t n = cellsByValue.size() / 2; // two copies
        for (size_t k = 0; k < n; ++k) {
            const qint64 cells = cellsByValue[k] + cellsByValue[n + k];
            if (cells != 0 && table[k] == UnknownIndex) {
                out.push_back({lowest + qint64(k), double(cells)});
            }
        }
        for (size_t k = 0; k < sharesByValue.size(); ++k) {
            if (sharesByValue[k] != 0 && table[k] == UnknownIndex) {
                out.push_back({lowest + qint64(k), sharesByValue[k]});
            }
        }
        std::fill(cellsByValue.begin(), cellsByValue.end(), 0);
        std::fill(sharesByValue.begin(), sharesByValue.end(), 0.0);
        for (const qint64 value : seen) {
            double& n = dense[size_t(value - lowest)];
            out.push_back({value, n});
            n = 0;
        }
        seen.clear();
        out.insert(out.end(), sparse.begin(), sparse.end());
        sparse.clear();
    }
};

// Counts a span's cells by class, looked up by value, and by value, for rasters where
// classes without a CLASS line are common. Neighbouring cells mostly hold one value: counting
// every other cell in a second copy of each count keeps their additions from waiting on each
// other.
template <class T>
void countCells(const T* values, size_t length, const int32_t* table, qint64 lowest,
                qint64* byClass, qint64* byClass2, qint64* byValue, qint64* byValue2)
{
    size_t i = 0;
    for (; i + 2 <= length; i += 2) {
        const size_t a = size_t(qint64(values[i]) - lowest);
        const size_t b = size_t(qint64(values[i + 1]) - lowest);
        ++byValue[a];
        ++byValue2[b];
        ++byClass[table[a]];
        ++byClass2[table[b]];
    }
    if (i < length) {
        const size_t a = size_t(qint64(values[i]) - lowest);
        ++byValue[a];
        ++byClass[table[a]];
    }
}

// The same where such classes are rare: cells by class, and only a span with cells of an
// unknown class gone over again for their values.
template <class T>
void countClasses(const T* values, size_t length, const int32_t* table, qint64 lowest,
                  qint64* byClass, qint64* byClass2, qint64* byValue)
{
    const qint64 unknownBefore = byClass[UnknownIndex] + byClass2[UnknownIndex];
    size_t i = 0;
    for (; i + 2 <= length; i += 2) {
        ++byClass[table[size_t(qint64(values[i]) - lowest)]];
        ++byClass2[table[size_t(qint64(values[i + 1]) - lowest)]];
    }
    if (i < length) {
        ++byClass[table[size_t(qint64(values[i]) - lowest)]];
    }
    if (byClass[UnknownIndex] + byClass2[UnknownIndex] == unknownBefore) {
        return;
    }
    for (i = 0; i < length; ++i) {
        const size_t a = size_t(qint64(values[i]) - lowest);
        byValue[a] += table[a] == UnknownIndex;
    }
}

// What a thread holds: its own handle on the raster, class table and buffers.
struct Worker {
    std::optional<TileReader> reader;
    std::vector<int32_t> lookUp; // for 8 and 16-bit rasters: value -> class index
    UnknownTally unknown;
    // Whether cells are counted by value alongside their class: when the last band had more
    // than 1% of cells of unknown classes.
    bool countAlongside = false;
    BandSpans analysis;
    Overlay::Band overlay;
};

QString areaText(double value)
{
    return QString::number(value, 'f', 2);
}

// A file's path with its folder resolved and its extension in lower case: two paths with one
// key name one file, or files a shapefile reader takes for one another.
QString fileKey(const QString& path)
{
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    const QString name = info.fileName();
    const QString suffix = info.suffix();
    return (folder.isEmpty() ? info.absolutePath() : folder) + QLatin1Char('/') +
           name.left(name.size() - suffix.size()) + suffix.toLower();
}

// The keys of the files a theme is read from: its file, where a link leads, and for a
// shapefile the other parts.
QStringList themeFileKeys(const QString& path)
{
    QStringList keys{fileKey(path)};
    const QString target = QFileInfo(path).canonicalFilePath();
    if (!target.isEmpty()) {
        keys << fileKey(target);
    }
    if (path.endsWith(QLatin1String(".shp"), Qt::CaseInsensitive)) {
        for (const QString& part : OutputTarget{path, QStringLiteral("ESRI Shapefile")}.files()) {
            keys << fileKey(part);
        }
    }
    return keys;
}

} // namespace

namespace {

using PolygonResult = ImperviousAnalysis::PolygonResult;

// The fields the analysis adds to each output feature, in this order.
struct ResultField {
    OutputField field;
    double (*value)(const PolygonResult&);
};
const ResultField resultFields[] = {
    {{"LC_AREA", OFTReal, 24, 6}, [](const PolygonResult& r) { return r.lcArea; }},
    {{"IS_AREA", OFTReal, 24, 6}, [](const PolygonResult& r) { return r.isArea; }},
    {{"IS_PCT", OFTReal, 12, 6}, [](const PolygonResult& r) { return r.isPct; }},
    {{"NODATA_CT", OFTInteger64, 18, 0}, [](const PolygonResult& r) { return double(r.noData); }},
    {{"UNK_CT", OFTInteger64, 18, 0}, [](const PolygonResult& r) { return double(r.unknown); }},
};

bool isResultField(const QString& name)
{
    for (const ResultField& f : resultFields) {
        if (name.compare(QLatin1String(f.field.name), Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

// Per polygon, the sums kept across bands; class areas follow when asked for.
enum Sum { AllCells, NoDataCells, UnknownCells, Weighted, FirstClassSlot };

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
        prepareWeights();
        planBands();
        if (m_options.classAreas) {
            // The class fields are known only when every band is counted.
            scanBands();
            OutputPlan plan = planOutput();
            writeOutput(plan, [](qint64) {});
        } else {
            scanAndWrite();
        }
        ImperviousAnalysis::Result result;
        result.polygons = totals();
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
    void checkOutput();
    void openRaster();
    void readThemes();
    void prepareWeights();
    void planBands();
    void scanBands();
    void scanAndWrite();
    qint64 finalRow(size_t polygon) const;
    BandResult scanBand(quint32 band, Worker& w) const;
    void readTile(Worker& w, qint64 colBegin, qint64 rowBegin, int cols, int rows) const;
    void addBand(const BandResult& band);
    PolygonResult resultOf(size_t polygon) const;
    QVector<PolygonResult> totals() const;
    std::vector<std::pair<int, QByteArray>> classFields() const;
    struct OutputPlan {
        GdalDatasetPtr sourceData;
        OGRLayer* source = nullptr;
        std::vector<int> copied;
        std::vector<OutputField> fields;
        std::vector<std::pair<int, QByteArray>> classes;
    };
    OutputPlan planOutput() const;
    // Writes the output; waitFor(n) returns once polygon n's sums are complete.
    void writeOutput(OutputPlan& plan, const std::function<void(qint64)>& waitFor) const;
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
    double m_cellArea = 0; // in square LCUNITS
    QString m_lcUnits;
    PolygonSet m_analysis;
    Overlay m_overlay;
    bool m_calculate = false;

    std::optional<ClassTable> m_classes;
    int m_indexCount = 0;
    int m_levels = 1;
    std::vector<double> m_weights; // by level and class index
    size_t m_histogramSize = 0;
    size_t m_stride = 0; // sums per polygon
    std::vector<double> m_sums;
    // The rows whose bands are added to m_sums: polygons that end above are complete.
    std::mutex m_mergedMutex;
    std::condition_variable m_mergedChanged;
    qint64 m_mergedRows = 0;
    bool m_scanFailed = false;
    std::map<qint64, double> m_unknownValues;

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
    const QString conflict = ImperviousAnalysis::outputConflict(p, m_catalog, m_options.format);
    if (!conflict.isEmpty()) {
        fail(conflict);
    }
    if (isResultField(p.analysisUnit)) {
        fail(QStringLiteral("The analysis field %1 has the name of an output field")
                 .arg(p.analysisUnit));
    }
}

void AnalysisRun::openRaster()
{
    m_raster = openLandCover(m_catalog, p.lcTheme);
    const double cellArea = std::abs(m_raster.geoTransform[1] * m_raster.geoTransform[5]);
    double areaFactor = 1;
    m_lcUnits = ModelParams::unitsText(p.lcUnits);
    if (m_raster.srs) {
        const double rasterMetres = m_raster.srs->GetLinearUnits();
        areaFactor = std::pow(rasterMetres / ModelParams::metresPerUnit(p.lcUnits), 2);
        if (std::abs(areaFactor - 1) > 1e-9) {
            QString rasterUnits = unitsName(m_raster.srs.get());
            if (rasterUnits == m_lcUnits) { // the US survey foot against the foot
                rasterUnits.clear();
            }
            log(QStringLiteral("The land cover raster's unit is %1, not %2: areas are "
                               "converted to square %2")
                    .arg(rasterUnits.isEmpty() ? QStringLiteral("%1 m").arg(rasterMetres)
                                               : rasterUnits,
                         m_lcUnits));
        }
    } else {
        log(QStringLiteral("The land cover raster has no coordinate system; its unit is "
                           "taken to be %1")
                .arg(m_lcUnits));
    }
    m_cellArea = cellArea * areaFactor;
    log(QStringLiteral("Land cover %1: %2 x %3 cells of %4 square %5")
            .arg(p.lcTheme)
            .arg(m_raster.width)
            .arg(m_raster.height)
            .arg(m_cellArea)
            .arg(m_lcUnits));
}

// Polygons, all in cell coordinates of the raster. Scenarios and density polygons take
// cells by their centre whatever the analysis polygons' rule.
void AnalysisRun::readThemes()
{
    m_analysis = readPolygons(m_catalog, p.analysisTheme, p.analysisUnit, false, m_raster,
                              m_options.coverage, m_log);
    if (!m_analysis.overlapsRaster) {
        fail(QStringLiteral("The polygons of theme %1 do not overlap the land cover raster")
                 .arg(p.analysisTheme));
    }
    m_overlay.read(m_catalog, p, m_raster, m_log);
    m_calculate = m_overlay.densityLevels();
}

// Coefficients by level and class index; unknown classes and NoData weigh nothing.
void AnalysisRun::prepareWeights()
{
    m_classes.emplace(p.classes, m_raster.band->GetRasterDataType());
    m_indexCount = m_classes->indexCount();
    m_levels = m_calculate ? 3 : 1;
    m_weights.assign(size_t(m_levels * m_indexCount), 0.0);
    for (int level = 0; level < m_levels; ++level) {
        const int option = m_calculate ? level : p.popDensity;
        for (int32_t i = FirstClassIndex; i < m_indexCount; ++i) {
            const auto& c = m_classes->cls(i);
            m_weights[size_t(level * m_indexCount + i)] = option == High     ? c.high
                                                          : option == Medium ? c.medium
                                                                             : c.low;
        }
    }
    m_overlay.prepare(p, *m_classes, m_log);
    m_histogramSize = size_t(m_levels * m_indexCount);
    // Class areas: a slot per class with a CLASS line, and one for the others.
    const size_t classSlots = m_options.classAreas ? size_t(m_indexCount - FirstClassIndex + 1) : 0;
    m_stride = FirstClassSlot + classSlots;
    m_sums.assign(m_analysis.store.size() * m_stride, 0.0);
}

// Bands of whole blocks, at least the minimum height; buffers stay bounded whatever the
// blocks: very wide or tall ones are read in parts.
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
        Worker& w = workers[i];
        w.reader.emplace(m_raster, m_plan, i > 0);
        std::vector<int32_t> table = m_classes->lookUp(m_raster.wholeNoData());
        w.unknown.lowest = m_classes->lowest();
        w.unknown.dense.assign(table.size(), 0.0);
        if (m_classes->coversType(m_raster.band->GetRasterDataType())) {
            w.lookUp = std::move(table);
            if (m_options.coverage == Coverage::Exact) {
                w.unknown.sharesByValue.assign(w.lookUp.size(), 0.0);
            }
            w.unknown.cellsByValue.assign(w.lookUp.size() * 2, 0);
        }
    }

    int lastPercent = -1;
    runInOrder<BandResult>(
        bands.size(), threads,
        [&](size_t task, int worker) { return scanBand(bands[task], workers[size_t(worker)]); },
        [&](size_t, BandResult&& band) {
            addBand(band);
            for (const auto& [value, n] : band.unknownValues) {
                m_unknownValues[value] += n;
            }
            {
                std::lock_guard<std::mutex> lock(m_mergedMutex);
                m_mergedRows = band.rowEnd;
            }
            m_mergedChanged.notify_all();
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

void AnalysisRun::readTile(Worker& w, qint64 colBegin, qint64 rowBegin, int cols, int rows) const
{
    w.reader->read(colBegin, rowBegin, cols, rows);
    // The class of every cell: for scenarios to change, or of values not all in one table.
    // Otherwise cells are looked up where spans take them.
    if (w.lookUp.empty() || m_overlay.scenarios()) {
        w.reader->classify(*m_classes, w.lookUp);
    }
}

BandResult AnalysisRun::scanBand(quint32 band, Worker& w) const
{
    const qint64 rowBegin = qint64(band) * m_plan.bandHeight;
    const qint64 rowEnd = std::min<qint64>(rowBegin + m_plan.bandHeight, m_raster.height);
    const int rows = int(rowEnd - rowBegin);
    const qint64 width = m_raster.width;
    BandResult result;
    result.rowEnd = rowEnd;
    w.analysis.build(m_analysis.store, m_analysisIndex, m_options.coverage, band, rowBegin, rowEnd,
                     width);
    if (w.analysis.groups().empty()) {
        return result;
    }
    for (const BandSpans::Group& g : w.analysis.groups()) {
        result.polygons.push_back(g.polygon);
    }
    // Whole cells are counted in integers, with shorter chains of additions; under the exact
    // rule, the shares of cells a polygon covers in part are added up apart.
    const bool whole = m_options.coverage != Coverage::Exact;
    result.counts.assign(w.analysis.groups().size() * m_histogramSize * 2, 0);
    if (!whole) {
        result.histograms.assign(w.analysis.groups().size() * m_histogramSize, 0.0);
    }
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
        const int cols = int(colEnd - colBegin);
        readTile(w, colBegin, rowBegin, cols, rows);

        w.overlay.apply(m_overlay, tile, rowBegin, colBegin, colEnd, rows, w.reader->cellClass());
        const auto forSpans = [&](const BandSpans& spans, auto&& f) {
            spans.forSpans(tile, rowBegin, colBegin, colEnd, f);
        };
        const size_t indexCount = size_t(m_indexCount);
        // Adds cells [0, length) of a span; slotOf(i, n) gives cell i's class index, tallying
        // it by value when its class has no CLASS line.
        const auto accumulate = [&](size_t gi, size_t length, const uint8_t* level,
                                    const double* weights, auto slotOf) {
            if (whole || !weights) {
                qint64* c = result.counts.data() + gi * m_histogramSize * 2;
                if (level) {
                    for (size_t i = 0; i < length; ++i) {
                        ++c[size_t(level[i]) * indexCount + slotOf(i, 1.0)];
                    }
                } else {
                    for (size_t i = 0; i < length; ++i) {
                        ++c[slotOf(i, 1.0)];
                    }
                }
                return;
            }
            double* h = result.histograms.data() + gi * m_histogramSize;
            for (size_t i = 0; i < length; ++i) {
                const double n = weights ? weights[i] : 1.0;
                h[(level ? size_t(level[i]) * indexCount : 0) + slotOf(i, n)] += n;
            }
        };
        // Without scenarios, cells of 8 and 16-bit rasters are looked up where spans take them.
        const bool lookUpHere = !m_overlay.scenarios() && !w.lookUp.empty();
        const int32_t* table = w.lookUp.data();
        const qint64 lowest = m_classes->lowest();
        qint64* cellsByValue = w.unknown.cellsByValue.data();
        const bool alongside = w.countAlongside;
        double* sharesByValue = w.unknown.sharesByValue.data();
        forSpans(w.analysis, [&](size_t gi, size_t offset, size_t length, const double* weights) {
            const uint8_t* level = m_calculate ? w.overlay.levels() + offset : nullptr;
            w.reader->withValues([&](const auto* values) {
                const auto* v = values + offset;
                if (lookUpHere) {
                    if (!level && (whole || !weights)) {
                        qint64* c = result.counts.data() + gi * m_histogramSize * 2;
                        if (alongside) {
                            countCells(v, length, table, lowest, c, c + m_histogramSize,
                                       cellsByValue, cellsByValue + w.lookUp.size());
                        } else {
                            countClasses(v, length, table, lowest, c, c + m_histogramSize,
                                         cellsByValue);
                        }
                        return;
                    }
                    accumulate(gi, length, level, weights, [=](size_t i, double n) {
                        const size_t at = size_t(qint64(v[i]) - lowest);
                        if (whole) {
                            ++cellsByValue[at];
                        } else {
                            sharesByValue[at] += n;
                        }
                        return size_t(table[at]);
                    });
                    return;
                }
                const int32_t* cls = w.reader->cellClass() + offset;
                accumulate(gi, length, level, weights, [&](size_t i, double n) {
                    const int32_t k = cls[i];
                    if (Q_LIKELY(quint32(k - 1) < quint32(m_indexCount - 1))) {
                        return size_t(k); // NoData or a class with a CLASS line
                    }
                    w.unknown.add(k == UnknownIndex
                                      ? qint64(v[i])
                                      : m_overlay.scenarioValues()[size_t(k - m_indexCount)],
                                  n);
                    return size_t(UnknownIndex);
                });
            });
        });
    }
    w.unknown.take(result.unknownValues, w.lookUp);
    {
        qint64 cells = 0;
        qint64 unknown = 0;
        for (const qint64 n : result.counts) {
            cells += n;
        }
        for (size_t k = UnknownIndex; k < result.counts.size(); k += m_histogramSize) {
            unknown += result.counts[k]; // at the first level, in both copies
        }
        w.countAlongside = unknown * 100 > cells;
    }
    return result;
}

void AnalysisRun::addBand(const BandResult& band)
{
    const size_t indexCount = size_t(m_indexCount);
    const bool classAreas = m_stride > FirstClassSlot;
    const size_t otherSlot = FirstClassSlot + indexCount - FirstClassIndex;
    for (size_t g = 0; g < band.polygons.size(); ++g) {
        const size_t at = g * m_histogramSize;
        double* sums = m_sums.data() + size_t(band.polygons[g]) * m_stride;
        // k runs over levels and class indices: index is k % indexCount.
        for (size_t k = 0, index = 0; k < m_histogramSize;
             ++k, index = index + 1 == indexCount ? 0 : index + 1) {
            const double cells =
                double(band.counts[2 * at + k] + band.counts[2 * at + m_histogramSize + k]);
            const double n = band.histograms.empty() ? cells : cells + band.histograms[at + k];
            if (n == 0) {
                continue;
            }
            sums[AllCells] += n;
            if (index == NoDataIndex) {
                sums[NoDataCells] += n;
            } else if (index == UnknownIndex) {
                sums[UnknownCells] += n;
                if (classAreas) {
                    sums[otherSlot] += n;
                }
            } else {
                sums[Weighted] += n * m_weights[k];
                if (classAreas) {
                    sums[FirstClassSlot + index - FirstClassIndex] += n;
                }
            }
        }
    }
}

PolygonResult AnalysisRun::resultOf(size_t polygon) const
{
    const double* sums = m_sums.data() + polygon * m_stride;
    PolygonResult r;
    r.cells = std::llround(sums[AllCells]);
    r.noData = std::llround(sums[NoDataCells]);
    r.unknown = std::llround(sums[UnknownCells]);
    r.lcArea = (sums[AllCells] - sums[NoDataCells]) * m_cellArea;
    r.isArea = sums[Weighted] * m_cellArea / 100.0;
    r.isPct = r.lcArea > 0 ? r.isArea / r.lcArea * 100.0 : 0.0;
    return r;
}

QVector<PolygonResult> AnalysisRun::totals() const
{
    QVector<PolygonResult> polygons;
    polygons.reserve(qsizetype(m_analysis.store.size()));
    for (size_t i = 0; i < m_analysis.store.size(); ++i) {
        polygons << resultOf(i);
    }
    return polygons;
}

// The class area fields: (slot, name) for each class some polygon has cells of, by value;
// classes without a CLASS line together as A_UNK.
std::vector<std::pair<int, QByteArray>> AnalysisRun::classFields() const
{
    std::vector<std::pair<qint64, int>> present; // value, slot
    const int slotCount = int(m_stride) - FirstClassSlot;
    for (int slot = 0; slot < slotCount; ++slot) {
        bool used = false;
        for (size_t i = 0; i < m_analysis.store.size() && !used; ++i) {
            used = m_sums[i * m_stride + size_t(FirstClassSlot + slot)] != 0;
        }
        if (used && slot + 1 < slotCount) {
            present.push_back({m_classes->cls(FirstClassIndex + slot).id, slot});
        }
        if (used && slot + 1 == slotCount) {
            present.push_back({std::numeric_limits<qint64>::max(), slot});
        }
    }
    std::sort(present.begin(), present.end());
    std::vector<std::pair<int, QByteArray>> fields;
    for (const auto& [value, slot] : present) {
        const QByteArray name = value == std::numeric_limits<qint64>::max() ? QByteArray("UNK")
                                : value < 0 ? "M" + QByteArray::number(-value)
                                            : QByteArray::number(value);
        fields.push_back({FirstClassSlot + slot, "A_" + name});
    }
    return fields;
}

AnalysisRun::OutputPlan AnalysisRun::planOutput() const
{
    OutputPlan plan;
    plan.source = openLayer(*m_analysisSource, plan.sourceData, p.analysisTheme);
    const int unitField = fieldIndex(plan.source, p.analysisUnit, p.analysisTheme);
    plan.classes = m_options.classAreas ? classFields() : decltype(plan.classes){};
    for (const ResultField& f : resultFields) {
        plan.fields.push_back(f.field);
    }
    for (const auto& [slot, name] : plan.classes) {
        plan.fields.push_back({name, OFTReal, 24, 6});
    }
    plan.copied = {unitField};
    if (m_options.keepFields) {
        plan.copied.clear();
        OGRFeatureDefn* defn = plan.source->GetLayerDefn();
        for (int i = 0; i < defn->GetFieldCount(); ++i) {
            const QString name = QString::fromUtf8(defn->GetFieldDefn(i)->GetNameRef());
            const bool taken =
                std::any_of(plan.fields.begin(), plan.fields.end(), [&](const OutputField& f) {
                    return name.compare(QLatin1String(f.name), Qt::CaseInsensitive) == 0;
                });
            if (taken) {
                log(QStringLiteral("Field %1 of theme %2 is left out: the output has a field of "
                                   "that name")
                        .arg(name, p.analysisTheme));
            } else {
                plan.copied.push_back(i);
            }
        }
    }
    return plan;
}

void AnalysisRun::writeOutput(OutputPlan& plan, const std::function<void(qint64)>& waitFor) const
{
    OutputWriter writer(m_target, plan.source, m_analysisSource->path, p.analysisTheme, plan.copied,
                        plan.fields);
    writer.write(
        [&](qint64 n, double* values) {
            waitFor(n);
            const PolygonResult r = resultOf(size_t(n));
            for (const ResultField& f : resultFields) {
                *values++ = f.value(r);
            }
            const double* sums = m_sums.data() + size_t(n) * m_stride;
            for (const auto& [slot, name] : plan.classes) {
                *values++ = sums[slot] * m_cellArea;
            }
        },
        qint64(m_analysis.store.size()));
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
    OutputPlan plan = planOutput();
    std::exception_ptr writeError;
    std::thread writer([&] {
        qint64 known = 0; // rows known to be added, without taking the lock
        try {
            writeOutput(plan, [&](qint64 n) {
                // The last feature waits for the whole count: the output is put in place
                // only when the count succeeded.
                const qint64 needed = size_t(n) + 1 == m_analysis.store.size()
                                          ? std::numeric_limits<qint64>::max()
                                          : finalRow(size_t(n));
                if (needed <= known) {
                    return;
                }
                std::unique_lock<std::mutex> lock(m_mergedMutex);
                m_mergedChanged.wait(lock, [&] { return m_scanFailed || m_mergedRows >= needed; });
                if (m_mergedRows < needed) {
                    throw AnalysisError{}; // the count failed and says why
                }
                known = m_mergedRows;
            });
        } catch (...) {
            writeError = std::current_exception();
        }
    });
    try {
        scanBands();
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(m_mergedMutex);
            m_scanFailed = true;
        }
        m_mergedChanged.notify_all();
        writer.join();
        throw;
    }
    {
        std::lock_guard<std::mutex> lock(m_mergedMutex);
        m_mergedRows = std::numeric_limits<qint64>::max();
    }
    m_mergedChanged.notify_all();
    writer.join();
    if (writeError) {
        std::rethrow_exception(writeError);
    }
}

void AnalysisRun::logTotals(const QVector<PolygonResult>& polygons) const
{
    for (const auto& [value, cells] : m_unknownValues) {
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
            .arg(areaText(lcTotal), areaText(isTotal), m_lcUnits));
}

} // namespace

std::optional<Coverage> ImperviousAnalysis::coverageByName(const QString& name)
{
    if (name == QLatin1String("centre")) {
        return Coverage::Centre;
    }
    if (name == QLatin1String("exact")) {
        return Coverage::Exact;
    }
    if (name == QLatin1String("touched")) {
        return Coverage::Touched;
    }
    return std::nullopt;
}

QString ImperviousAnalysis::outputConflict(const ModelParams& params, const DataCatalog& catalog,
                                           const QString& format)
{
    // Every theme the run reads, with its role for the message.
    QVector<std::pair<QString, const DataCatalog::Source*>> inputs;
    if (const DataCatalog::GridTheme* grid = catalog.findGrid(params.lcTheme)) {
        inputs.push_back(
            {QStringLiteral("land cover theme %1").arg(params.lcTheme), &grid->source});
    }
    const auto polygon = [&](const QString& role, const QString& theme) {
        if (const DataCatalog::PolygonTheme* found = catalog.findPolygon(theme)) {
            inputs.push_back({QStringLiteral("%1 theme %2").arg(role, theme), &found->source});
        }
    };
    polygon(QStringLiteral("analysis"), params.analysisTheme);
    if (params.popDensity == ModelParams::Calculate) {
        polygon(QStringLiteral("density"), params.popDensityTheme);
    }
    for (const ModelParams::Scenario& ds : params.scenarios) {
        polygon(QStringLiteral("scenario"), ds.theme);
    }

    QString ignored;
    const auto target = OutputTarget::resolve(params.outTheme, format, &ignored);
    if (!target) {
        return {};
    }
    QStringList outKeys;
    for (const QString& part : target->files()) {
        outKeys << fileKey(part);
    }
    for (const auto& [role, source] : inputs) {
        // A GeoPackage output keeps the file's other layers: a theme read from one of them
        // stays.
        if (target->driver == QLatin1String("GPKG") && !source->layer.isEmpty() &&
            source->layer.compare(target->layerName(), Qt::CaseInsensitive) != 0) {
            continue;
        }
        for (const QString& key : themeFileKeys(source->path)) {
            if (outKeys.contains(key)) {
                return QStringLiteral("The output %1 would replace %2, a file of the %3")
                    .arg(target->path, QDir::toNativeSeparators(source->path), role);
            }
        }
    }
    return {};
}

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
