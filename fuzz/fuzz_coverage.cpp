// The coverage rules over random tessellations, taken band by band and tile by tile as the
// band loop takes them: under the exact rule every polygon gets its own area and the shares
// of every cell add up to 1; under the centre rule every cell goes to one polygon; under all
// three a polygon's cells do not depend on the bands, the tiles or the order the bands are
// taken in. The input chooses the lattice, where its vertices fall (on cell corners, on row or
// column lines, in the first or last row of a band, anywhere), holes with islands (some the
// second part of a neighbour), the band height and the tile width.
#include "analysis/bandspans.h"
#include "fuzzinput.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <ogr_api.h>
#include <ogr_geometry.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

namespace {

struct Layout {
    int step = 1; // cells between lattice points
    int nx = 1;   // lattice steps across
    int ny = 1;   // and down
    int bandHeight = 1;
    int tileWidth = 1;
    int width() const { return nx * step; }
    int height() const { return ny * step; }
};

// A coordinate near lattice line k (in cells), placed as the input says, always less than
// 0.45 steps from it so that the quads stay simple and share their sides. seam: the band
// height for a row, the tile width for a column.
double place(FuzzedDataProvider& in, int k, int step, int seam)
{
    const double line = double(k * step);
    const double reach = 0.45 * step;
    const double fraction = in.ConsumeProbability<double>();
    double v = line + (2 * fraction - 1) * reach;
    const double border = std::round(v / seam) * seam;
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: // on a cell line, or a cell corner where the other coordinate is too
        v = std::round(v);
        break;
    case 1: // in the first row (column) after a band's (tile's) border
        v = border + fraction;
        break;
    case 2: // in the last before it
        v = border - fraction;
        break;
    default:
        break;
    }
    return std::clamp(v, line - reach, line + reach);
}

using Ring = std::vector<std::pair<double, double>>;

OGRLinearRing* ringOf(Ring points, bool reversed)
{
    if (reversed) {
        std::reverse(points.begin(), points.end());
    }
    auto* ring = new OGRLinearRing;
    for (const auto& [x, y] : points) {
        ring->addPoint(x, y);
    }
    ring->closeRings();
    return ring;
}

struct Tessellation {
    std::vector<std::unique_ptr<OGRGeometry>> polygons;
};

Tessellation tessellate(FuzzedDataProvider& in, const Layout& l)
{
    std::vector<std::pair<double, double>> at((l.nx + 1) * (l.ny + 1));
    for (int j = 0; j <= l.ny; ++j) {
        for (int i = 0; i <= l.nx; ++i) {
            const bool inside = i > 0 && i < l.nx && j > 0 && j < l.ny;
            at[size_t(j * (l.nx + 1) + i)] = {
                inside ? place(in, i, l.step, l.tileWidth) : i * l.step,
                inside ? place(in, j, l.step, l.bandHeight) : j * l.step};
        }
    }
    Tessellation t;
    for (int j = 0; j < l.ny; ++j) {
        for (int i = 0; i < l.nx; ++i) {
            const auto corner = [&](int di, int dj) {
                return at[size_t((j + dj) * (l.nx + 1) + i + di)];
            };
            auto* quad = new OGRPolygon;
            quad->addRingDirectly(
                ringOf({corner(0, 0), corner(1, 0), corner(1, 1), corner(0, 1)}, in.ConsumeBool()));
            t.polygons.emplace_back(quad);
            if (!in.ConsumeBool()) {
                continue;
            }
            // A hole with an island, within the quad's middle that no side reaches.
            const double cx = (i + 0.5) * l.step;
            const double cy = (j + 0.5) * l.step;
            const double h = 0.04 * l.step;
            Ring hole;
            for (const auto& [dx, dy] : {std::pair{-1, -1}, {1, -1}, {1, 1}, {-1, 1}}) {
                hole.push_back({cx + dx * h * (0.5 + in.ConsumeProbability<double>() / 2),
                                cy + dy * h * (0.5 + in.ConsumeProbability<double>() / 2)});
            }
            quad->addRingDirectly(ringOf(hole, in.ConsumeBool()));
            auto* island = new OGRPolygon;
            island->addRingDirectly(ringOf(hole, in.ConsumeBool()));
            if (t.polygons.size() > 1 && in.ConsumeBool()) { // a part of the polygon before
                std::unique_ptr<OGRGeometry>& before = t.polygons[t.polygons.size() - 2];
                if (wkbFlatten(before->getGeometryType()) != wkbMultiPolygon) {
                    auto* parts = new OGRMultiPolygon;
                    parts->addGeometryDirectly(before.release());
                    before.reset(parts);
                }
                before->toMultiPolygon()->addGeometryDirectly(island);
            } else {
                t.polygons.emplace_back(island);
            }
        }
    }
    return t;
}

// Each polygon's weight in each band, the bands taken in the order given with the spans of
// a band kept by one of workers objects in turn, and each cell's weight over all polygons.
struct Taken {
    std::map<std::pair<quint32, quint32>, double> byBand; // (band, polygon) -> weight
    std::vector<double> cells;
};

Taken take(const PolygonStore& store, Coverage rule, const Layout& l, bool reversed, size_t workers)
{
    BandIndex index;
    index.build(store, rule, l.bandHeight, l.width(), l.height());
    std::vector<quint32> bands = index.bands();
    if (reversed) {
        std::reverse(bands.begin(), bands.end());
    }
    std::vector<BandSpans> spans(workers);
    Taken taken;
    taken.cells.assign(size_t(l.width() * l.height()), 0.0);
    for (size_t k = 0; k < bands.size(); ++k) {
        BandSpans& s = spans[k % workers];
        const qint64 rowBegin = qint64(bands[k]) * l.bandHeight;
        const qint64 rowEnd = std::min<qint64>(rowBegin + l.bandHeight, l.height());
        s.build(store, index, rule, bands[k], rowBegin, rowEnd, l.width());
        const auto [first, end] = s.columns();
        const qint64 origin = first / l.tileWidth * l.tileWidth;
        const qint64 tiles = (end - origin + l.tileWidth - 1) / l.tileWidth;
        s.byTile(origin, l.tileWidth, tiles);
        for (size_t tile = 0; tile < size_t(tiles); ++tile) {
            const qint64 colBegin = origin + qint64(tile) * l.tileWidth;
            const qint64 colEnd = std::min<qint64>(colBegin + l.tileWidth, l.width());
            const size_t cols = size_t(colEnd - colBegin);
            s.forSpans(tile, rowBegin, colBegin, colEnd,
                       [&](size_t g, size_t offset, size_t length, const double* weights) {
                           double& sum = taken.byBand[{bands[k], s.groups()[g].polygon}];
                           for (size_t i = 0; i < length; ++i) {
                               const double w = weights ? weights[i] : 1.0;
                               const size_t row = size_t(rowBegin) + (offset + i) / cols;
                               const size_t col = size_t(colBegin) + (offset + i) % cols;
                               sum += w;
                               taken.cells[row * size_t(l.width()) + col] += w;
                           }
                       });
        }
    }
    return taken;
}

std::vector<double> perPolygon(const Taken& taken, size_t polygons)
{
    std::vector<double> sums(polygons, 0.0);
    for (const auto& [key, weight] : taken.byBand) {
        sums[key.second] += weight;
    }
    return sums;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    Layout l;
    l.step = in.ConsumeIntegralInRange(1, 7);
    l.nx = in.ConsumeIntegralInRange(1, 6);
    l.ny = in.ConsumeIntegralInRange(1, 6);
    l.bandHeight = in.ConsumeIntegralInRange(1, l.height() + 1);
    l.tileWidth = in.ConsumeIntegralInRange(1, l.width() + 1);
    const Tessellation t = tessellate(in, l);
    const double identity[6] = {0, 1, 0, 0, 0, 1};
    const char* const ruleNames[] = {"centre", "exact", "touched"};

    for (const Coverage rule : {Coverage::Exact, Coverage::Centre, Coverage::Touched}) {
        PolygonStore store;
        for (const auto& polygon : t.polygons) {
            store.add(polygon.get(), identity, rule);
        }
        const Taken taken = take(store, rule, l, false, 1);
        if (take(store, rule, l, true, 3).byBand != taken.byBand) {
            fuzzFailure("a band's weights depend on the order the bands are taken in");
        }
        const std::vector<double> sums = perPolygon(taken, store.size());
        Layout whole = l;
        whole.bandHeight = l.height();
        whole.tileWidth = l.width();
        const std::vector<double> alone =
            perPolygon(take(store, rule, whole, false, 1), sums.size());
        for (size_t i = 0; i < sums.size(); ++i) {
            const double area = rule == Coverage::Exact
                                    ? OGR_G_Area(OGRGeometry::ToHandle(t.polygons[i].get()))
                                    : alone[i];
            if (std::abs(sums[i] - area) > 1e-9 * std::max(area, 1.0)) {
                fuzzFailure("a polygon's weight is not its own",
                            QStringLiteral("%1 rule, polygon %2: %3, not %4")
                                .arg(ruleNames[int(rule)])
                                .arg(i)
                                .arg(sums[i], 0, 'g', 17)
                                .arg(area, 0, 'g', 17));
            }
        }
        if (rule == Coverage::Touched) {
            continue;
        }
        for (size_t k = 0; k < taken.cells.size(); ++k) {
            if (std::abs(taken.cells[k] - 1) > 1e-9) {
                fuzzFailure("a cell's weights do not add up to 1",
                            QStringLiteral("%1 rule, cell %2,%3: %4")
                                .arg(ruleNames[int(rule)])
                                .arg(k / size_t(l.width()))
                                .arg(k % size_t(l.width()))
                                .arg(taken.cells[k], 0, 'g', 17));
            }
        }
    }
    return 0;
}
