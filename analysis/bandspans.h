#pragma once

#include "analysis/hugepages.h"
#include "analysis/polygonstore.h"

#include <QtGlobal>

#include <utility>
#include <vector>

// Which cells the polygons of a set take in one band of rows: the band loop's view of a
// PolygonStore.

// The polygons of a set in each band of rows: (band, polygon) pairs in that order, so a
// polygon is visited only in the bands it spans, in layer order within a band.
class BandIndex {
public:
    // Polygons that reach no cell of a raster of width x height are left out.
    void build(const PolygonStore& store, Coverage rule, qint64 bandHeight, qint64 width,
               qint64 height);
    // The bands some polygon reaches, in order.
    std::vector<quint32> bands() const;

private:
    friend class BandSpans;
    // Entries [first, second) of a band.
    std::pair<size_t, size_t> range(quint32 band) const;

    LargeVector<std::pair<quint32, quint32>> m_entries;
};

// Spans of one polygon set within a band of rows, grouped by polygon.
class BandSpans {
public:
    struct Group {
        quint32 polygon;
        qint64 firstColumn;
        qint64 endColumn;
        size_t begin;
        size_t end;
    };

    void build(const PolygonStore& store, const BandIndex& index, Coverage rule, quint32 band,
               qint64 rowBegin, qint64 rowEnd, qint64 width);
    const std::vector<Group>& groups() const { return m_groups; }
    // Columns [first, second) the groups reach.
    std::pair<qint64, qint64> columns() const;

    // Sorts the groups into tiles of tileWidth columns from column origin on.
    void byTile(qint64 origin, qint64 tileWidth, qint64 tiles);
    bool tileEmpty(size_t tile) const { return m_tileStart[tile] == m_tileStart[tile + 1]; }
    // Calls f(group, offset, length, weights) for each span of a group within a tile of
    // cells [colBegin, colEnd) of rows from rowBegin, held row by row: offset is the span's
    // first cell there, and weights null for cells that count whole.
    template <class F>
    void forSpans(size_t tile, qint64 rowBegin, qint64 colBegin, qint64 colEnd, F&& f) const
    {
        const size_t cols = size_t(colEnd - colBegin);
        for (quint32 t = m_tileStart[tile]; t < m_tileStart[tile + 1]; ++t) {
            const size_t gi = m_tileGroups[t];
            const Group& g = m_groups[gi];
            for (size_t k = g.begin; k < g.end; ++k) {
                const CellSpan& s = m_spans[k];
                const qint64 b = std::max<qint64>(s.begin, colBegin);
                const qint64 e = std::min<qint64>(s.end, colEnd);
                if (b >= e) {
                    continue;
                }
                const double* weights =
                    s.weights < 0 ? nullptr : m_weights.data() + s.weights + (b - s.begin);
                f(gi, size_t(s.row - rowBegin) * cols + size_t(b - colBegin), size_t(e - b),
                  weights);
            }
        }
    }

private:
    std::vector<Group> m_groups;
    CellSpans m_spans;
    std::vector<double> m_weights;
    // The groups in each tile of columns, in group order: those of tile t are
    // m_tileGroups[m_tileStart[t], m_tileStart[t + 1]).
    std::vector<quint32> m_tileStart;
    std::vector<quint32> m_tileGroups;
    std::vector<quint32> m_tileFill;
};
