// The counting kernels against each other on the benchmark's data: the cells of a few bands
// (read once, held in memory) counted for the polygons that take them, the fastest of
// REPEAT runs of each way, in ns per cell:
//   by table: cells of an 8 or 16-bit raster looked up by value where spans take them, each
//             cell's class and value counted in two copies (the analysis' way without
//             scenarios or density levels);
//   by class: every cell of a tile given its class first, then counted through the generic
//             loop (the way with scenarios, or for values not in one table);
//   by table with density levels, and the exact rule's shares.
// usage: bench_count PARAMS DIR [BANDS] [REPEAT]
//   PARAMS: a model_params.txt of the data (bench_analysis writes DIR/params-*.txt)
#include "analysis/accumulation.h"
#include "analysis/analysiserror.h"
#include "analysis/analysisinputs.h"
#include "analysis/bandreader.h"
#include "analysis/bandspans.h"
#include "model/modelparams.h"

#include <QCoreApplication>
#include <QFile>

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

// One band's spans and the cells of its tiles, as read and by class.
struct Band {
    qint64 rowBegin = 0;
    qint64 origin = 0;
    qint64 tiles = 0;
    BandSpans spans;
    std::vector<std::vector<quint8>> values;
    std::vector<std::vector<int32_t>> classes;
};

// BANDS bands from the middle of the raster, their spans and cells; cells counts them.
std::vector<Band> readBands(const PolygonSet& set, Coverage rule, const Raster& raster,
                            const BandPlan& plan, const ClassTable& classes,
                            const std::vector<int32_t>& table, int count, qint64* cells)
{
    BandIndex index;
    index.build(set.store, rule, plan.bandHeight, raster.width, raster.height);
    const std::vector<quint32> all = index.bands();
    std::vector<Band> bands(std::min(size_t(count), all.size()));
    const size_t first = (all.size() - bands.size()) / 2;
    TileReader reader(raster, plan, false);
    for (size_t b = 0; b < bands.size(); ++b) {
        Band& band = bands[b];
        const quint32 number = all[first + b];
        band.rowBegin = qint64(number) * plan.bandHeight;
        const qint64 rowEnd = std::min(band.rowBegin + plan.bandHeight, qint64(raster.height));
        band.spans.build(set.store, index, rule, number, band.rowBegin, rowEnd, raster.width);
        const auto [firstColumn, endColumn] = band.spans.columns();
        band.origin = firstColumn / plan.tileWidth * plan.tileWidth;
        band.tiles = (endColumn - band.origin + plan.tileWidth - 1) / plan.tileWidth;
        band.spans.byTile(band.origin, plan.tileWidth, band.tiles);
        for (qint64 t = 0; t < band.tiles; ++t) {
            const qint64 colBegin = band.origin + t * plan.tileWidth;
            const int cols = int(std::min<qint64>(plan.tileWidth, raster.width - colBegin));
            const int rows = int(rowEnd - band.rowBegin);
            reader.read(colBegin, band.rowBegin, cols, rows);
            reader.classify(classes, table);
            const size_t n = size_t(cols) * size_t(rows);
            reader.withValues([&](const auto* v) { band.values.emplace_back(v, v + n); });
            band.classes.emplace_back(reader.cellClass(), reader.cellClass() + n);
            *cells += qint64(n);
        }
    }
    return bands;
}

// The seconds one counting of the bands takes.
double timeCounting(std::vector<Band>& bands, BandCounter& counter, const BandPlan& plan,
                    qint64 width, bool byClass, const uint8_t* levels)
{
    const auto start = std::chrono::steady_clock::now();
    for (Band& band : bands) {
        BandCounts counts;
        counter.start(counts, band.spans.groups());
        for (size_t t = 0; t < size_t(band.tiles); ++t) {
            const qint64 colBegin = band.origin + qint64(t) * plan.tileWidth;
            counter.addTile(counts, band.spans, t, band.rowBegin, colBegin,
                            std::min<qint64>(colBegin + plan.tileWidth, width),
                            band.values[t].data(), byClass ? band.classes[t].data() : nullptr,
                            levels);
        }
        counter.finish(counts);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return took.count();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fputs("usage: bench_count PARAMS DIR [BANDS] [REPEAT]\n", stderr);
        return 2;
    }
    const int bandCount = argc > 3 ? std::atoi(argv[3]) : 8;
    const int repeat = argc > 4 ? std::atoi(argv[4]) : 20;
    QFile file(QString::fromLocal8Bit(argv[1]));
    QString error;
    const auto params =
        file.open(QIODevice::ReadOnly) ? ModelParams::parse(file.readAll(), &error) : std::nullopt;
    const auto catalog = DataCatalog::scanFolder(QString::fromLocal8Bit(argv[2]), &error);
    if (!params || !catalog) {
        std::fprintf(stderr, "bench_count: %s\n", qPrintable(error));
        return 2;
    }
    try {
        const Raster raster = openLandCover(*catalog, params->lcTheme);
        const BandPlan plan = BandPlan::of(raster, 64);
        if (plan.readType != GDT_Byte) {
            std::fputs("bench_count: the land cover must be 8-bit\n", stderr);
            return 2;
        }
        const ClassTable classes(params->classes, GDT_Byte);
        const std::vector<int32_t> table = classes.lookUp(raster.wholeNoData());
        std::printf("ns per cell, the fastest of %d runs\n", repeat);
        for (const Coverage rule : {Coverage::Centre, Coverage::Exact}) {
            const PolygonSet set =
                readPolygons(*catalog, params->analysisTheme, {}, false, raster, rule, {});
            qint64 cells = 0;
            std::vector<Band> bands =
                readBands(set, rule, raster, plan, classes, table, bandCount, &cells);
            const char* ruleName = rule == Coverage::Exact ? "exact" : "centre";
            // The ways in turn, so that a busy moment of the machine falls on all alike.
            CountSetup setups[3];
            std::vector<BandCounter> counters;
            for (int way = 0; way < 3; ++way) {
                setups[way].classes = &classes;
                setups[way].indexCount = classes.indexCount();
                setups[way].levels = way == 2 ? 3 : 1;
                setups[way].whole = rule != Coverage::Exact;
                setups[way].table = table;
                counters.emplace_back(setups[way]);
            }
            const std::vector<uint8_t> levels(plan.tileCells(), uint8_t(ModelParams::Medium));
            double seconds[3] = {1e9, 1e9, 1e9};
            for (int r = 0; r < repeat; ++r) {
                for (int way = 0; way < 3; ++way) {
                    seconds[way] = std::min(
                        seconds[way], timeCounting(bands, counters[size_t(way)], plan, raster.width,
                                                   way == 1, way == 2 ? levels.data() : nullptr));
                }
            }
            const char* names[3] = {"by table", "by class", "by table, density levels"};
            for (int way = 0; way < 3; ++way) {
                std::printf("%-8s %-27s %8.3f\n", ruleName, names[way],
                            seconds[way] / double(cells) * 1e9);
            }
            std::printf("%-8s %-27s %8.2f\n", ruleName, "ratio by class / by table",
                        seconds[1] / seconds[0]);
        }
    } catch (const AnalysisError& e) {
        std::fprintf(stderr, "bench_count: %s\n", qPrintable(e.message));
        return 1;
    }
    return 0;
}
