#include "polygonscan.h"

#include <ogr_geometry.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace {

// Cell index of a coordinate, kept inside int range for polygons far off the raster.
int clampedFloor(double value)
{
    constexpr double limit = 1e9;
    return static_cast<int>(std::floor(std::clamp(value, -limit, limit)));
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
        m_edges.push_back({x0, y0, x1, y1});
    }
}

void PolygonScan::spans(int rowBegin, int rowEnd, int width, std::vector<CellSpan>& out) const
{
    rowBegin = std::max(rowBegin, m_firstRow);
    rowEnd = std::min(rowEnd, m_endRow);
    if (rowBegin >= rowEnd)
        return;
    const double top = rowBegin + 0.5;
    const double bottom = rowEnd - 0.5;
    // Edges crossing the centre lines of these rows: y0 <= y < y1 for some y in [top, bottom].
    const auto last = std::upper_bound(m_edges.begin(), m_edges.end(), bottom,
                                       [](double y, const Edge& e) { return y < e.y0; });
    thread_local std::vector<const Edge*> active;
    thread_local std::vector<double> crossings;
    active.clear();
    for (auto it = m_edges.begin(); it != last; ++it)
        if (it->y1 > top)
            active.push_back(&*it);

    for (int r = rowBegin; r < rowEnd; ++r) {
        const double y = r + 0.5;
        crossings.clear();
        for (const Edge* e : active)
            if (e->y0 <= y && y < e->y1)
                crossings.push_back(e->x0 + (y - e->y0) * (e->x1 - e->x0) / (e->y1 - e->y0));
        std::sort(crossings.begin(), crossings.end());
        for (size_t i = 0; i + 1 < crossings.size(); i += 2) {
            const int begin = std::max(clampedFloor(crossings[i] + 0.5), 0);
            const int end = std::min(clampedFloor(crossings[i + 1] + 0.5), width);
            if (begin < end)
                out.push_back({r, begin, end});
        }
    }
}
