#include "analysis/accumulation.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

namespace {

// Per polygon, the sums kept across bands; class areas follow when asked for.
enum Sum { AllCells, NoDataCells, UnknownCells, Weighted, LandArea, FirstClassSlot };

} // namespace

void BandCounter::UnknownTally::add(qint64 value, double n)
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
void BandCounter::UnknownTally::take(std::vector<std::pair<qint64, double>>& out,
                                     const std::vector<int32_t>& table)
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
        double& cells = dense[size_t(value - lowest)];
        out.push_back({value, cells});
        cells = 0;
    }
    seen.clear();
    out.insert(out.end(), sparse.begin(), sparse.end());
    sparse.clear();
}

BandCounter::BandCounter(const CountSetup& setup) : m_setup(setup)
{
    m_unknown.lowest = setup.classes->lowest();
    m_unknown.dense.assign(setup.classes->valueCount(), 0.0);
    if (!setup.whole) {
        m_unknown.sharesByValue.assign(setup.table.size(), 0.0);
    }
    m_unknown.cellsByValue.assign(setup.table.size() * 2, 0);
}

void BandCounter::start(BandCounts& counts, const std::vector<BandSpans::Group>& groups) const
{
    counts.polygons.clear();
    counts.unknownValues.clear();
    for (const BandSpans::Group& g : groups) {
        counts.polygons.push_back(g.polygon);
    }
    // Whole cells are counted in integers, with shorter chains of additions; under the exact
    // rule, the shares of cells a polygon covers in part are added up apart.
    const size_t size = groups.size() * m_setup.histogramSize();
    const auto zeroes = [&counts](auto& items, size_t n) {
        if (!counts.zero) {
            items.clear();
        }
        if (items.capacity() < n) {
            items.reserve(n + n / 4); // bands differ a little in size
        }
        items.resize(n); // the items it adds are zero
    };
    zeroes(counts.counts, size * 2);
    zeroes(counts.histograms, m_setup.whole ? 0 : size);
    zeroes(counts.areas, m_setup.rowAreas ? size : 0);
    counts.zero = false;
}

// Adds cells [0, length) of a span; slotOf(i, n) gives cell i's class index, tallying it by
// value when its class has no CLASS line.
template <bool ByRow, class SlotOf>
void BandCounter::accumulate(BandCounts& counts, size_t group, size_t length, const uint8_t* level,
                             const double* weights, double rowArea, SlotOf slotOf) const
{
    const size_t indexCount = size_t(m_setup.indexCount);
    const size_t histogramSize = m_setup.histogramSize();
    if constexpr (ByRow) {
        const bool whole = m_setup.whole || !weights;
        qint64* c = counts.counts.data() + group * histogramSize * 2;
        double* h = whole ? nullptr : counts.histograms.data() + group * histogramSize;
        double* a = counts.areas.data() + group * histogramSize;
        for (size_t i = 0; i < length; ++i) {
            const double n = whole ? 1.0 : weights[i];
            const size_t k = (level ? size_t(level[i]) * indexCount : 0) + slotOf(i, n);
            if (whole) {
                ++c[k];
            } else {
                h[k] += n;
            }
            a[k] += n * rowArea;
        }
        return;
    }
    if (m_setup.whole || !weights) {
        qint64* c = counts.counts.data() + group * histogramSize * 2;
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
    double* h = counts.histograms.data() + group * histogramSize;
    for (size_t i = 0; i < length; ++i) {
        const double n = weights[i];
        h[(level ? size_t(level[i]) * indexCount : 0) + slotOf(i, n)] += n;
    }
}

template <bool ByRow, class T>
void BandCounter::addSpan(BandCounts& counts, size_t group, const T* v, const int32_t* cls,
                          const uint8_t* level, const double* weights, size_t length,
                          double rowArea)
{
    const int32_t* table = m_setup.table.data();
    const qint64 lowest = m_setup.classes->lowest();
    if (cls) {
        accumulate<ByRow>(counts, group, length, level, weights, rowArea, [&](size_t i, double n) {
            const int32_t k = cls[i];
            if (Q_LIKELY(quint32(k - 1) < quint32(m_setup.indexCount - 1))) {
                return size_t(k); // NoData or a class with a CLASS line
            }
            m_unknown.add(k == UnknownIndex
                              ? qint64(v[i])
                              : m_setup.scenarioValues[size_t(k - m_setup.indexCount)],
                          n);
            return size_t(UnknownIndex);
        });
        return;
    }
    qint64* cellsByValue = m_unknown.cellsByValue.data();
    if (!ByRow && !level && (m_setup.whole || !weights)) {
        qint64* c = counts.counts.data() + group * m_setup.histogramSize() * 2;
        countCells(v, length, table, lowest, c, c + m_setup.histogramSize(), cellsByValue,
                   cellsByValue + m_setup.table.size());
        return;
    }
    const bool whole = m_setup.whole;
    double* sharesByValue = m_unknown.sharesByValue.data();
    accumulate<ByRow>(counts, group, length, level, weights, rowArea, [=](size_t i, double n) {
        const size_t at = size_t(qint64(v[i]) - lowest);
        if (whole) {
            ++cellsByValue[at];
        } else {
            sharesByValue[at] += n;
        }
        return size_t(table[at]);
    });
}

template <class T>
void BandCounter::addTile(BandCounts& counts, const BandSpans& spans, size_t tile, qint64 rowBegin,
                          qint64 colBegin, qint64 colEnd, const T* values, const int32_t* cellClass,
                          const uint8_t* levels)
{
    // byRow: std::true_type where cells differ in area by row, rowArea(offset) then the area
    // of the cells of the span starting there; projected rasters run the count without it.
    const auto add = [&](auto byRow, auto rowArea) {
        spans.forSpans(tile, rowBegin, colBegin, colEnd,
                       [&](size_t group, size_t offset, size_t length, const double* weights) {
                           addSpan<decltype(byRow)::value>(counts, group, values + offset,
                                                           cellClass ? cellClass + offset : nullptr,
                                                           levels ? levels + offset : nullptr,
                                                           weights, length, rowArea(offset));
                       });
    };
    if (!m_setup.rowAreas) {
        add(std::false_type(), [](size_t) { return 0.0; });
        return;
    }
    const size_t cols = size_t(colEnd - colBegin);
    add(std::true_type(),
        [&](size_t offset) { return m_setup.rowAreas[rowBegin + qint64(offset / cols)]; });
}

template void BandCounter::addTile(BandCounts&, const BandSpans&, size_t, qint64, qint64, qint64,
                                   const quint8*, const int32_t*, const uint8_t*);
template void BandCounter::addTile(BandCounts&, const BandSpans&, size_t, qint64, qint64, qint64,
                                   const qint32*, const int32_t*, const uint8_t*);
template void BandCounter::addTile(BandCounts&, const BandSpans&, size_t, qint64, qint64, qint64,
                                   const qint64*, const int32_t*, const uint8_t*);

void BandCounter::finish(BandCounts& counts)
{
    m_unknown.take(counts.unknownValues, m_setup.table);
}

PolygonSums::PolygonSums(size_t polygons, const CountSetup& setup, std::vector<double> weights,
                         bool classAreas, const CellAreas& areas)
    : m_setup(setup), m_weights(std::move(weights)), m_byRow(areas.byRow()),
      m_cellArea(m_byRow ? 1.0 : areas.uniform())
{
    // Class areas: a slot per class with a CLASS line, and one for the others.
    const size_t classSlots = classAreas ? size_t(setup.indexCount - FirstClassIndex + 1) : 0;
    m_stride = FirstClassSlot + classSlots;
    m_sums.assign(polygons * m_stride, 0.0);
}

void PolygonSums::add(BandCounts& band)
{
    const size_t indexCount = size_t(m_setup.indexCount);
    const size_t histogramSize = m_setup.histogramSize();
    const bool classAreas = m_stride > FirstClassSlot;
    const size_t otherSlot = FirstClassSlot + indexCount - FirstClassIndex;
    qint64* const counts = band.counts.data();
    double* const histograms = band.histograms.empty() ? nullptr : band.histograms.data();
    double* const areas = band.areas.empty() ? nullptr : band.areas.data();
    const double* const weights = m_weights.data();
    for (size_t g = 0; g < band.polygons.size(); ++g) {
        const size_t at = g * histogramSize;
        qint64* const c = counts + 2 * at;
        double* sums = m_sums.data() + size_t(band.polygons[g]) * m_stride;
        // Added up in registers, and classes without cells too, since a branch on them costs
        // more than adding them: a zero added leaves every bit of a sum as it was (a sum is
        // never -0, and coefficients are finite, so zero times one is zero).
        double all = sums[AllCells];
        double noData = sums[NoDataCells];
        double unknown = sums[UnknownCells];
        double weighted = sums[Weighted];
        double land = sums[LandArea];
        // k runs over levels and class indices: index is k % indexCount.
        for (size_t k = 0, index = 0; k < histogramSize;
             ++k, index = index + 1 == indexCount ? 0 : index + 1) {
            const double cells = double(c[k] + c[histogramSize + k]);
            const double n = histograms ? cells + histograms[at + k] : cells;
            // In cells, or where cells differ by row, in area.
            const double area = areas ? areas[at + k] : n;
            all += n;
            if (index == NoDataIndex) {
                noData += n;
                continue;
            }
            land += area;
            if (index == UnknownIndex) {
                unknown += n;
                if (classAreas) {
                    sums[otherSlot] += area;
                }
            } else {
                weighted += area * weights[k];
                if (classAreas) {
                    sums[FirstClassSlot + index - FirstClassIndex] += area;
                }
            }
        }
        sums[AllCells] = all;
        sums[NoDataCells] = noData;
        sums[UnknownCells] = unknown;
        sums[Weighted] = weighted;
        sums[LandArea] = land;
        std::fill_n(c, 2 * histogramSize, 0);
        if (histograms) {
            std::fill_n(histograms + at, histogramSize, 0.0);
        }
        if (areas) {
            std::fill_n(areas + at, histogramSize, 0.0);
        }
    }
    band.zero = true;
    for (const auto& [value, n] : band.unknownValues) {
        m_unknownValues[value] += n;
    }
}

PolygonResult PolygonSums::result(size_t polygon) const
{
    const double* sums = m_sums.data() + polygon * m_stride;
    PolygonResult r;
    r.cells = std::llround(sums[AllCells]);
    r.noData = std::llround(sums[NoDataCells]);
    r.unknown = std::llround(sums[UnknownCells]);
    r.lcArea = m_byRow ? sums[LandArea] : (sums[AllCells] - sums[NoDataCells]) * m_cellArea;
    r.isArea = sums[Weighted] * m_cellArea / 100.0;
    r.isPct = r.lcArea > 0 ? r.isArea / r.lcArea * 100.0 : 0.0;
    return r;
}

std::vector<std::pair<int, QByteArray>> PolygonSums::classFields() const
{
    std::vector<std::pair<qint64, int>> present; // value, slot
    const int slotCount = int(m_stride) - FirstClassSlot;
    const size_t polygons = m_sums.size() / m_stride;
    for (int slot = 0; slot < slotCount; ++slot) {
        bool used = false;
        for (size_t i = 0; i < polygons && !used; ++i) {
            used = m_sums[i * m_stride + size_t(FirstClassSlot + slot)] != 0;
        }
        if (used && slot + 1 < slotCount) {
            present.push_back({m_setup.classes->cls(FirstClassIndex + slot).id, slot});
        }
        if (used && slot + 1 == slotCount) {
            present.push_back({std::numeric_limits<qint64>::max(), slot});
        }
    }
    std::sort(present.begin(), present.end());
    std::vector<std::pair<int, QByteArray>> fields;
    for (const auto& [value, slot] : present) {
        fields.push_back(
            {FirstClassSlot + slot, classFieldName(value == std::numeric_limits<qint64>::max()
                                                       ? std::nullopt
                                                       : std::optional<qint64>(value))});
    }
    return fields;
}

QByteArray classFieldName(std::optional<qint64> value)
{
    return "A_" + (!value       ? QByteArray("UNK")
                   : *value < 0 ? "M" + QByteArray::number(-*value)
                                : QByteArray::number(*value));
}

std::vector<double> coefficients(const ModelParams& params, const CountSetup& setup)
{
    std::vector<double> weights(setup.histogramSize(), 0.0);
    const bool calculate = setup.levels > 1;
    for (int level = 0; level < setup.levels; ++level) {
        const int option = calculate ? level : params.popDensity;
        for (int32_t i = FirstClassIndex; i < setup.indexCount; ++i) {
            const auto& c = setup.classes->cls(i);
            weights[size_t(level * setup.indexCount + i)] = option == ModelParams::High ? c.high
                                                            : option == ModelParams::Medium
                                                                ? c.medium
                                                                : c.low;
        }
    }
    return weights;
}
