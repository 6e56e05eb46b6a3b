#include "analysis/bandspans.h"

#include <algorithm>
#include <limits>

void BandIndex::build(const PolygonStore& store, Coverage rule, qint64 bandHeight, qint64 width,
                      qint64 height)
{
    // The bands of each polygon, counted first and then placed: entries come out by band and
    // by polygon within a band, without a sort of millions of them.
    std::vector<size_t> bandEnds(height > 0 ? size_t((height - 1) / bandHeight) + 2 : 1, 0);
    const auto forBands = [&](auto f) {
        for (size_t i = 0; i < store.size(); ++i) {
            if (store.empty(i) || store.endColumn(i, rule) <= 0 ||
                store.firstColumn(i, rule) >= width) {
                continue;
            }
            const qint64 first = std::max<qint64>(store.firstRow(i, rule), 0);
            const qint64 end = std::min<qint64>(store.endRow(i, rule), height);
            for (qint64 band = first / bandHeight; first < end && band <= (end - 1) / bandHeight;
                 ++band) {
                f(size_t(band), i);
            }
        }
    };
    forBands([&](size_t band, size_t) { ++bandEnds[band + 1]; });
    for (size_t band = 1; band < bandEnds.size(); ++band) {
        bandEnds[band] += bandEnds[band - 1];
    }
    m_entries.assign(bandEnds.back(), {});
    forBands([&](size_t band, size_t i) {
        m_entries[bandEnds[band]++] = {quint32(band), quint32(i)};
    });
}

std::pair<size_t, size_t> BandIndex::range(quint32 band) const
{
    const auto less = [](const std::pair<quint32, quint32>& e, quint32 b) { return e.first < b; };
    const auto greater = [](quint32 b, const std::pair<quint32, quint32>& e) {
        return b < e.first;
    };
    const auto lo = std::lower_bound(m_entries.begin(), m_entries.end(), band, less);
    const auto hi = std::upper_bound(lo, m_entries.end(), band, greater);
    return {size_t(lo - m_entries.begin()), size_t(hi - m_entries.begin())};
}

std::vector<quint32> BandIndex::bands() const
{
    std::vector<quint32> out;
    for (const auto& e : m_entries) {
        if (out.empty() || out.back() != e.first) {
            out.push_back(e.first);
        }
    }
    return out;
}

void BandSpans::build(const PolygonStore& store, const BandIndex& index, Coverage rule,
                      quint32 band, qint64 rowBegin, qint64 rowEnd, qint64 width)
{
    m_groups.clear();
    m_spans.clear();
    m_weights.clear();
    const auto [lo, hi] = index.range(band);
    for (size_t k = lo; k < hi; ++k) {
        const quint32 i = index.m_entries[k].second;
        const size_t begin = m_spans.size();
        store.spans(i, rule, rowBegin, rowEnd, width, m_spans, m_weights);
        if (m_spans.size() > begin) {
            m_groups.push_back({i, std::max<qint64>(store.firstColumn(i, rule), 0),
                                std::min(store.endColumn(i, rule), width), begin, m_spans.size()});
        }
    }
}

std::pair<qint64, qint64> BandSpans::columns() const
{
    qint64 first = std::numeric_limits<qint64>::max();
    qint64 end = 0;
    for (const Group& g : m_groups) {
        first = std::min(first, g.firstColumn);
        end = std::max(end, g.endColumn);
    }
    return {first, end};
}

void BandSpans::byTile(qint64 origin, qint64 tileWidth, qint64 tiles)
{
    // Calls f(tile) for each tile group g reaches into.
    const auto forTiles = [&](const Group& g, auto&& f) {
        const qint64 first = std::max<qint64>(g.firstColumn - origin, 0) / tileWidth;
        const qint64 last = g.endColumn <= origin
                                ? -1
                                : std::min((g.endColumn - 1 - origin) / tileWidth, tiles - 1);
        for (qint64 t = first; t <= last; ++t) {
            f(size_t(t));
        }
    };
    m_tileStart.assign(size_t(tiles) + 1, 0);
    for (const Group& g : m_groups) {
        forTiles(g, [&](size_t t) { ++m_tileStart[t + 1]; });
    }
    for (size_t t = 0; t < size_t(tiles); ++t) {
        m_tileStart[t + 1] += m_tileStart[t];
    }
    m_tileGroups.resize(m_tileStart.back());
    m_tileFill.assign(m_tileStart.begin(), m_tileStart.end() - 1);
    for (size_t gi = 0; gi < m_groups.size(); ++gi) {
        forTiles(m_groups[gi], [&](size_t t) { m_tileGroups[m_tileFill[t]++] = quint32(gi); });
    }
}
