#include "analysis/polygonscan.h"

#include <ogr_geometry.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

namespace {

// Cell index of a coordinate. The limit lies far beyond any raster (GDAL counts cells in
// int) and well inside qint64, so arithmetic on indices cannot overflow.
qint64 clampedFloor(double value)
{
    constexpr double limit = 1e15;
    return static_cast<qint64>(std::floor(std::clamp(value, -limit, limit)));
}

} // namespace

PolygonScan::PolygonScan(const OGRGeometry& geometry, const double inverse[6])
{
    addGeometry(geometry, inverse);
    if (m_edges.empty())
        return;
    std::sort(m_edges.begin(), m_edges.end(),
              [](const Edge& a, const Edge& b) { return a.y0 < b.y0; });
    double minX = std::numeric_limits<double>::max();
    double maxX = std::numeric_limits<double>::lowest();
    double minY = minX;
    double maxY = maxX;
    for (const Edge& e : m_edges) {
        minX = std::min({minX, e.x0, e.x1});
        maxX = std::max({maxX, e.x0, e.x1});
        minY = std::min(minY, e.y0);
        maxY = std::max(maxY, e.y1);
    }
    // Row r is scanned along y = r + 0.5; column c is taken when x0 < c + 0.5 <= x1.
    m_firstRow = clampedFloor(minY - 0.5) + (minY - 0.5 > std::floor(minY - 0.5) ? 1 : 0);
    m_endRow = clampedFloor(maxY - 0.5) + (maxY - 0.5 > std::floor(maxY - 0.5) ? 1 : 0);
    m_firstColumn = clampedFloor(minX + 0.5);
    m_endColumn = clampedFloor(maxX + 0.5);
}

void PolygonScan::addGeometry(const OGRGeometry& geometry, const double inverse[6])
{
    if (geometry.IsEmpty())
        return;
    if (geometry.hasCurveGeometry()) {
        std::unique_ptr<OGRGeometry> linear(geometry.getLinearGeometry());
        if (linear && !linear->hasCurveGeometry())
            addGeometry(*linear, inverse);
        return;
    }
    switch (wkbFlatten(geometry.getGeometryType())) {
    case wkbPolygon:
        for (const OGRLinearRing* ring : *geometry.toPolygon())
            addRing(*ring, inverse);
        ++m_parts;
        break;
    case wkbMultiPolygon:
    case wkbGeometryCollection:
        for (const OGRGeometry* part : *geometry.toGeometryCollection())
            addGeometry(*part, inverse);
        break;
    default:
        break; // points and lines cover no cell centre
    }
}

void PolygonScan::addRing(const OGRGeometry& geometry, const double inverse[6])
{
    const OGRSimpleCurve& ring = *geometry.toSimpleCurve();
    const int n = ring.getNumPoints();
    if (n < 2)
        return;
    const auto column = [&](int i) {
        return inverse[0] + ring.getX(i) * inverse[1] + ring.getY(i) * inverse[2];
    };
    const auto row = [&](int i) {
        return inverse[3] + ring.getX(i) * inverse[4] + ring.getY(i) * inverse[5];
    };
    // An unclosed ring is closed, as the rasterizer does.
    for (int i = 0; i < n; ++i) {
        const int j = (i + 1) % n;
        if (j == 0 && ring.getX(0) == ring.getX(n - 1) && ring.getY(0) == ring.getY(n - 1))
            break;
        double x0 = column(i), y0 = row(i), x1 = column(j), y1 = row(j);
        if (y0 == y1)
            continue; // a horizontal edge crosses no centre line between its ends
        if (y0 > y1) {
            std::swap(x0, x1);
            std::swap(y0, y1);
        }
        m_edges.push_back({x0, y0, x1, y1, m_parts});
    }
}

void PolygonScan::spans(qint64 rowBegin, qint64 rowEnd, qint64 width,
                        std::vector<CellSpan>& out) const
{
    rowBegin = std::max(rowBegin, m_firstRow);
    rowEnd = std::min(rowEnd, m_endRow);
    if (rowBegin >= rowEnd)
        return;
    const double top = double(rowBegin) + 0.5;
    const double bottom = double(rowEnd) - 0.5;
    // Edges crossing the centre lines of these rows: y0 <= y < y1 for some y in [top, bottom].
    const auto last = std::upper_bound(m_edges.begin(), m_edges.end(), bottom,
                                       [](double y, const Edge& e) { return y < e.y0; });
    thread_local std::vector<const Edge*> active;
    thread_local std::vector<std::pair<int, double>> crossings; // part, column
    thread_local std::vector<std::pair<qint64, qint64>> runs;
    active.clear();
    for (auto it = m_edges.begin(); it != last; ++it)
        if (it->y1 > top)
            active.push_back(&*it);

    for (qint64 r = rowBegin; r < rowEnd; ++r) {
        const double y = double(r) + 0.5;
        crossings.clear();
        for (const Edge* e : active)
            if (e->y0 <= y && y < e->y1)
                crossings.push_back(
                    {e->part, e->x0 + (y - e->y0) * (e->x1 - e->x0) / (e->y1 - e->y0)});
        std::sort(crossings.begin(), crossings.end());
        // Even-odd within each part; the runs of all parts are then joined.
        runs.clear();
        for (size_t i = 0; i + 1 < crossings.size(); ++i) {
            if (crossings[i].first != crossings[i + 1].first)
                continue; // an odd crossing left over: an unclosed part
            const qint64 begin = std::max<qint64>(clampedFloor(crossings[i].second + 0.5), 0);
            const qint64 end = std::min(clampedFloor(crossings[i + 1].second + 0.5), width);
            if (begin < end)
                runs.push_back({begin, end});
            ++i;
        }
        if (m_parts > 1)
            std::sort(runs.begin(), runs.end());
        const size_t rowStart = out.size();
        for (const auto& [begin, end] : runs) {
            if (out.size() > rowStart && begin <= out.back().end)
                out.back().end = std::max(out.back().end, end);
            else
                out.push_back({r, begin, end});
        }
    }
}
