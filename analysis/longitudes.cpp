#include "analysis/longitudes.h"

#include <ogr_geometry.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using Ring = std::vector<OGRRawPoint>;

struct Extent {
    double min;
    double max;
};

Extent extentOf(const Ring& ring)
{
    const auto [lo, hi] = std::minmax_element(
        ring.begin(), ring.end(), [](const auto& a, const auto& b) { return a.x < b.x; });
    return {lo->x, hi->x};
}

void shift(Ring& ring, double by)
{
    for (OGRRawPoint& p : ring) {
        p.x += by;
    }
}

// Takes every edge the short way round, closing the ring; true when a point moved.
bool unwrap(Ring& ring, double turn)
{
    if (ring.front().x != ring.back().x || ring.front().y != ring.back().y) {
        ring.push_back(ring.front());
    }
    bool moved = false;
    for (size_t i = 1; i < ring.size(); ++i) {
        const double turns = std::round((ring[i].x - ring[i - 1].x) / turn);
        if (turns != 0 && std::isfinite(turns)) {
            ring[i].x -= turns * turn;
            moved = true;
        }
    }
    const double winding = ring.back().x - ring.front().x;
    if (std::abs(winding) > turn / 2) {
        // Round a pole: the ring ends a turn from its start; the pole's line closes it.
        double meanY = 0;
        for (const OGRRawPoint& p : ring) {
            meanY += p.y / double(ring.size());
        }
        const double pole = meanY < 0 ? -turn / 4 : turn / 4;
        const OGRRawPoint start = ring.front();
        ring.push_back({ring.back().x, pole});
        ring.push_back({start.x, pole});
        ring.push_back(start);
    }
    return moved;
}

void collectPolygons(const OGRGeometry& geometry, std::vector<const OGRPolygon*>& out)
{
    const auto type = wkbFlatten(geometry.getGeometryType());
    if (type == wkbPolygon) {
        out.push_back(geometry.toPolygon());
    } else if (type == wkbMultiPolygon || type == wkbGeometryCollection) {
        for (const OGRGeometry* part : *geometry.toGeometryCollection()) {
            collectPolygons(*part, out);
        }
    }
}

} // namespace

std::unique_ptr<OGRGeometry> placeOnLongitudes(const OGRGeometry& geometry, double west,
                                               double east, double turn)
{
    std::unique_ptr<OGRGeometry> linear;
    const OGRGeometry* source = &geometry;
    if (geometry.hasCurveGeometry()) {
        linear.reset(geometry.getLinearGeometry());
        if (!linear) {
            return nullptr;
        }
        source = linear.get();
    }
    std::vector<const OGRPolygon*> polygons;
    collectPolygons(*source, polygons);
    bool changed = false;
    auto placed = std::make_unique<OGRMultiPolygon>();
    for (const OGRPolygon* polygon : polygons) {
        std::vector<Ring> rings;
        for (const OGRLinearRing* r : *polygon) {
            Ring ring(size_t(std::max(r->getNumPoints(), 0)));
            if (ring.empty()) {
                continue;
            }
            r->getPoints(ring.data());
            changed = unwrap(ring, turn) || changed;
            rings.push_back(std::move(ring));
        }
        if (rings.empty()) {
            continue;
        }
        const Extent outer = extentOf(rings.front());
        const double centre = (outer.min + outer.max) / 2;
        for (size_t i = 1; i < rings.size(); ++i) { // holes beside their outer ring
            const Extent e = extentOf(rings[i]);
            const double turns = std::round(((e.min + e.max) / 2 - centre) / turn);
            if (turns != 0 && std::isfinite(turns)) {
                shift(rings[i], -turns * turn);
                changed = true;
            }
        }
        // The whole turns k at which [min, max] + k turn overlaps [west, east).
        double first = std::floor((west - outer.max) / turn) + 1;
        double last = std::ceil((east - outer.min) / turn) - 1;
        if (!(first <= last)) {
            first = last = 0; // reaches no cell anyway
        }
        last = std::min(last, first + 3); // a raster that goes round more than once
        changed = changed || first != 0 || last != 0;
        for (double k = first; k <= last; ++k) {
            auto part = std::make_unique<OGRPolygon>();
            for (Ring ring : rings) {
                shift(ring, k * turn);
                auto linearRing = std::make_unique<OGRLinearRing>();
                linearRing->setPoints(int(ring.size()), ring.data());
                part->addRingDirectly(linearRing.release());
            }
            placed->addGeometryDirectly(part.release());
        }
    }
    if (!changed) {
        return nullptr;
    }
    return placed;
}
