#pragma once

#include "analysis/analysisinputs.h"
#include "analysis/bandspans.h"
#include "analysis/cellareas.h"
#include "analysis/hugepages.h"
#include "analysis/polygonresult.h"

#include <QByteArray>

#include <map>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

// Adding the cells polygons take to their sums: per band on the threads (BandCounter), then
// band by band in band order (PolygonSums), so that sums come out the same, bit for bit, on
// any number of threads.

// What counting needs to know of a run, shared by its threads. Cells are counted by level
// (High, Medium, Low with density polygons; one level without) and class index.
struct CountSetup {
    const ClassTable* classes = nullptr;
    int indexCount = 0;
    int levels = 1;
    bool whole = true; // every cell counts whole: all rules but the exact one
    // Class index by value - classes->lowest() for 8 and 16-bit rasters, NoData included;
    // empty for others.
    std::vector<int32_t> table;
    // The class value of cells a scenario gave the class index indexCount + its place.
    std::vector<qint64> scenarioValues;
    // The area of each row's cells where they differ by row (CellAreas::rows()); null where
    // every cell has one area, which then multiplies the counts at the end.
    const double* rowAreas = nullptr;

    size_t histogramSize() const { return size_t(levels * indexCount); }
};

// What one band adds to its polygons: cells (or shares) by level and class index. Megabytes
// a band: the band loop hands them on to later bands, since memory new to the process costs a
// page fault and a zeroing every 4 KB, and PolygonSums::add zeroes them as it reads them, while
// they are in the cache, so that the next band need not.
struct BandCounts {
    bool zero = true; // counts, histograms and areas hold nothing but zeros
    qint64 rowEnd = 0;
    LargeVector<quint32> polygons;
    LargeVector<double> histograms; // histogramSize per polygon, with shares of cells
    LargeVector<qint64> counts;     // the same, in two copies, with whole cells
    LargeVector<double> areas;      // with rowAreas: the area of those cells, histogramSize each
    std::vector<std::pair<qint64, double>> unknownValues; // cells by class value
};

// Counts a span's cells by class, looked up by value, and by value, for the log of classes
// without a CLASS line. Neighbouring cells mostly hold one value: counting every other cell
// in a second copy of each count keeps their additions from waiting on each other.
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

// One thread's counting of bands.
class BandCounter {
public:
    explicit BandCounter(const CountSetup& setup);
    // Starts the counts of a band whose spans are grouped by polygon as in groups.
    void start(BandCounts& counts, const std::vector<BandSpans::Group>& groups) const;
    // Adds the cells the spans take in one tile of cells [colBegin, colEnd) of rows from
    // rowBegin: values as read; cellClass their class indices, or null where they are looked
    // up by value; levels null without density polygons.
    template <class T>
    void addTile(BandCounts& counts, const BandSpans& spans, size_t tile, qint64 rowBegin,
                 qint64 colBegin, qint64 colEnd, const T* values, const int32_t* cellClass,
                 const uint8_t* levels);
    // Ends a band: the cells of classes without a CLASS line go to its counts by value.
    void finish(BandCounts& counts);

private:
    // The cells of such classes in one band, by class value.
    struct UnknownTally {
        qint64 lowest = 0;
        std::vector<double> dense; // by value - lowest, for 8 and 16-bit rasters
        std::vector<qint64> seen;  // values with a count in dense
        std::unordered_map<qint64, double> sparse;
        // Where cells are looked up by value: cells (two copies) or shares by value - lowest,
        // of any class (those of known classes are left out when taken). Counting them costs
        // less than a branch on the class of every cell.
        std::vector<qint64> cellsByValue;
        std::vector<double> sharesByValue;

        void add(qint64 value, double n);
        void take(std::vector<std::pair<qint64, double>>& out, const std::vector<int32_t>& table);
    };
    // ByRow: cells differ in area by row, and rowArea is that of the span's cells; the
    // counting of other rasters is compiled without it.
    template <bool ByRow, class SlotOf>
    void accumulate(BandCounts& counts, size_t group, size_t length, const uint8_t* level,
                    const double* weights, double rowArea, SlotOf slotOf) const;
    template <bool ByRow, class T>
    void addSpan(BandCounts& counts, size_t group, const T* v, const int32_t* cls,
                 const uint8_t* level, const double* weights, size_t length, double rowArea);

    const CountSetup& m_setup;
    UnknownTally m_unknown;
};

// The sums of each analysis polygon, added band by band: its cells, NoData cells, unknown
// cells and weighed cells, and with class areas one per class with a CLASS line and one for
// the others. Where cells differ in area by row, the weighed cells and class areas are sums
// of areas, and the land cover area one more.
class PolygonSums {
public:
    // weights: the coefficient of each level and class index; areas: those of the cells, by
    // row where the setup has rowAreas.
    PolygonSums(size_t polygons, const CountSetup& setup, std::vector<double> weights,
                bool classAreas, const CellAreas& areas);
    // Leaves the band's counts zero.
    void add(BandCounts& band);

    PolygonResult result(size_t polygon) const;
    // The class area fields: (slot, name) for each class some polygon has cells of, by
    // value; classes without a CLASS line together as A_UNK.
    std::vector<std::pair<int, QByteArray>> classFields() const;
    double slotArea(size_t polygon, int slot) const
    {
        return m_sums[polygon * m_stride + size_t(slot)] * m_cellArea;
    }
    // Cells (or shares) of each class value without a CLASS line, over all polygons.
    const std::map<qint64, double>& unknownValues() const { return m_unknownValues; }

private:
    const CountSetup& m_setup;
    const std::vector<double> m_weights;
    const bool m_byRow;
    const double m_cellArea; // 1 where sums are of areas
    size_t m_stride = 0;
    LargeVector<double> m_sums;
    std::map<qint64, double> m_unknownValues;
};

// The name of the class area field of a class value ("A_22", "A_M5" for -5); of the classes
// without a CLASS line together ("A_UNK") for nothing.
QByteArray classFieldName(std::optional<qint64> value);

// The coefficient of each level and class index of a run; unknown classes and NoData weigh
// nothing.
std::vector<double> coefficients(const ModelParams& params, const CountSetup& setup);
