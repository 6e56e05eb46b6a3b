#include "analysis/polygonstore.h"

#include "analysis/analysiserror.h"

#include <QFile>

#include <ogr_geometry.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

VertexFile::VertexFile(const QString& path, const QString& theme) : m_path(path), m_theme(theme)
{
    static std::atomic<quint64> files{0};
    m_id = ++files;
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (m_fd < 0 || ::fstat(m_fd, &info) != 0) {
        const int error = errno;
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        errno = error;
        fail(QStringLiteral("Theme %1 cannot be read: %2: %3")
                 .arg(theme, path, QString::fromLocal8Bit(std::strerror(errno))));
    }
    m_size = info.st_size;
    m_modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

VertexFile::~VertexFile()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

const char* VertexFile::read(qint64 offset, size_t size) const
{
    // Polygons are asked for band by band, mostly in the file's order: each thread reads
    // ahead in a window, and a polygon behind it alone. The window is small enough that a
    // band whose polygons lie in many places of the file does not read much beyond them.
    constexpr qint64 WindowSize = 256 << 10;
    struct Window {
        quint64 file = 0;
        qint64 start = 0;
        std::vector<char> data;
    };
    thread_local Window window;
    thread_local std::vector<char> behind;
    const qint64 end = offset + qint64(size);
    if (window.file == m_id && offset >= window.start &&
        end <= window.start + qint64(window.data.size())) {
        return window.data.data() + (offset - window.start);
    }
    std::vector<char>* into = &behind;
    size_t length = size;
    if (window.file != m_id || offset >= window.start) {
        window.file = 0; // until it holds this file's bytes
        window.start = offset;
        into = &window.data;
        length = size_t(std::max(qint64(size), std::min(WindowSize, m_size - offset)));
    }
    into->resize(length);
    size_t got = 0;
    while (got < length) {
        const ssize_t n =
            ::pread(m_fd, into->data() + got, length - got, off_t(offset) + off_t(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += size_t(n);
    }
    if (got < size) {
        failChanged();
    }
    into->resize(got);
    if (into == &window.data) {
        window.file = m_id;
    }
    return into->data();
}

void VertexFile::checkUnchanged() const
{
    struct stat info {};
    if (::fstat(m_fd, &info) != 0 || info.st_size != m_size ||
        qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec != m_modified) {
        failChanged();
    }
}

void VertexFile::failChanged() const
{
    fail(QStringLiteral("Theme %1 changed while it was read: %2").arg(m_theme, m_path));
}

namespace {

// Cell index of a coordinate. The limit lies far beyond any raster (GDAL counts cells in
// int) and well inside qint64, so arithmetic on indices cannot overflow.
qint64 clampedFloor(double value)
{
    constexpr double limit = 1e15;
    // floor() by hand: the conversion cuts towards zero, and is exact within the limit.
    // Not a number goes to -limit; vertices never are, but values made from them can be.
    const double v = value > -limit ? std::min(value, limit) : -limit;
    const auto cut = static_cast<qint64>(v);
    return double(cut) > v ? cut - 1 : cut;
}

// The smallest index whose centre line lies beyond value: centres at i + 0.5.
qint64 firstCentreAfter(double value)
{
    const double shifted = value - 0.5;
    return clampedFloor(shifted) + (shifted > std::floor(shifted) ? 1 : 0);
}

// Whether the closed segments [a, b] and [c, d] meet, or come too close to tell in doubles.
template <class P> bool segmentsMayMeet(const P& a, const P& b, const P& c, const P& d)
{
    if (std::max(a.x, b.x) < std::min(c.x, d.x) || std::max(c.x, d.x) < std::min(a.x, b.x) ||
        std::max(a.y, b.y) < std::min(c.y, d.y) || std::max(c.y, d.y) < std::min(a.y, b.y)) {
        return false;
    }
    // The side of line pq that r lies on, 0 within the products' rounding.
    const auto side = [](const P& p, const P& q, const P& r) {
        const double u = (q.x - p.x) * (r.y - p.y);
        const double v = (q.y - p.y) * (r.x - p.x);
        const double margin = 1e-12 * (std::abs(u) + std::abs(v));
        return u - v > margin ? 1 : u - v < -margin ? -1 : 0;
    };
    return side(a, b, c) * side(a, b, d) <= 0 && side(c, d, a) * side(c, d, b) <= 0;
}

// Whether p lies inside the rings [first, last) by the even-odd rule.
template <class P, class R>
bool insideRings(const P& p, const P* vertices, const R* first, const R* last)
{
    bool inside = false;
    for (const R* ring = first; ring != last; ++ring) {
        for (quint32 i = 0; i < ring->count; ++i) {
            const P& a = vertices[i];
            const P& b = vertices[i + 1 == ring->count ? 0 : i + 1];
            if ((a.y > p.y) != (b.y > p.y) && p.x < a.x + (p.y - a.y) * (b.x - a.x) / (b.y - a.y)) {
                inside = !inside;
            }
        }
        vertices += ring->count;
    }
    return inside;
}

// Coordinate k (0: x, 1: y) of point i of packed (x, y) pairs of doubles, unaligned.
double pointAt(const char* xy, int i, int k)
{
    double value = 0;
    std::memcpy(&value, xy + (2 * size_t(i) + size_t(k)) * 8, 8);
    return value;
}

// Cells within a span differing by less than this from 1 count whole.
constexpr double WholeCell = 1 - 1e-12;
// Under the touched rule, the least share of a cell that counts when no edge crosses it.
constexpr double TouchedShare = 1e-9;

} // namespace

bool PolygonStore::add(const OGRGeometry* geometry, const double inverse[6], Coverage rule)
{
    Polygon polygon;
    m_newVertices.clear();
    m_newRings.clear();
    m_newNonFinite = false;
    if (geometry && !geometry->IsEmpty()) {
        addGeometry(*geometry, inverse, polygon);
        const auto type = wkbFlatten(geometry->getGeometryType());
        if (rule != Coverage::Centre && !m_newNonFinite &&
            (type == wkbMultiPolygon || type == wkbMultiSurface) && newPartsMayOverlap()) {
            // Areas of overlapping parts would add up; their union counts each place once.
            const std::unique_ptr<OGRGeometry> merged(geometry->UnionCascaded());
            if (merged) {
                polygon = Polygon();
                m_newVertices.clear();
                m_newRings.clear();
                addGeometry(*merged, inverse, polygon);
            }
        }
    }
    return finish(polygon);
}

bool PolygonStore::addRings(const char* xy, const int* starts, int rings, int n, bool separate,
                            const double inverse[6])
{
    return addRingsAt(xy, starts, rings, n, separate, inverse, -1);
}

bool PolygonStore::addRingInFile(const char* xy, int n, const double inverse[6],
                                 const std::shared_ptr<const VertexFile>& file, qint64 offset)
{
    m_file = file;
    std::copy_n(inverse, 6, m_fileInverse);
    const int start = 0;
    return addRingsAt(xy, &start, 1, n, false, inverse, offset);
}

bool PolygonStore::addRingsAt(const char* xy, const int* starts, int rings, int n, bool separate,
                              const double inverse[6], qint64 fileOffset)
{
    Polygon polygon;
    m_newVertices.clear();
    m_newRings.clear();
    m_newNonFinite = false;
    for (int r = 0; r < rings; ++r) {
        const char* ring = xy + size_t(starts[r]) * 16;
        addRingPoints((r + 1 < rings ? starts[r + 1] : n) - starts[r],
                      [ring](int i) { return pointAt(ring, i, 0); },
                      [ring](int i) { return pointAt(ring, i, 1); }, inverse, !separate && r > 0,
                      polygon);
        if (separate || r + 1 == rings) {
            ++polygon.parts;
        }
    }
    return finish(polygon, fileOffset);
}

void PolygonStore::settleFileVertices()
{
    if (!m_file) {
        return;
    }
    // Rows a polygon may start north of one before it and still be read from the window a
    // band's polygons are read through: more than a band.
    constexpr double Behind = 1024;
    size_t kept = 0;
    size_t behind = 0;
    double south = std::numeric_limits<double>::lowest();
    for (const Polygon& p : m_polygons) {
        if (inFile(p)) {
            ++kept;
            behind += p.minY < south - Behind ? 1 : 0;
            south = std::max(south, p.minY);
        }
    }
    if (behind * 100 <= kept) {
        return;
    }
    for (Polygon& p : m_polygons) {
        if (inFile(p)) {
            const Vertex* v = verticesOf(p);
            const Ring ring = *ringsOf(p);
            m_newVertices.assign(v, v + ring.count);
            m_newRings.assign(1, ring);
            std::tie(p.vertexChunk, p.vertexOffset) = m_vertices.append(m_newVertices);
            std::tie(p.ringChunk, p.ringOffset) = m_rings.append(m_newRings);
        }
    }
    m_file.reset();
}

void PolygonStore::checkFiles() const
{
    if (m_file) {
        m_file->checkUnchanged();
    }
}

const PolygonStore::Vertex* PolygonStore::verticesOf(const Polygon& p) const
{
    if (!inFile(p)) {
        return m_vertices.at(p.vertexChunk, p.vertexOffset);
    }
    thread_local std::vector<Vertex> vertices;
    const quint32 n = p.ringOffset;
    const char* xy = m_file->read(qint64(p.vertexChunk) << 32 | p.vertexOffset, size_t(n) * 16);
    if (vertices.size() < n) {
        vertices.resize(n);
    }
    for (quint32 i = 0; i < n; ++i) {
        vertices[i] = cellOf(pointAt(xy, int(i), 0), pointAt(xy, int(i), 1), m_fileInverse);
    }
    return vertices.data();
}

const PolygonStore::Ring* PolygonStore::ringsOf(const Polygon& p) const
{
    if (!inFile(p)) {
        return m_rings.at(p.ringChunk, p.ringOffset);
    }
    thread_local Ring ring;
    ring = Ring{p.ringOffset, 0, p.ringChunk == InFile ? 1 : -1};
    return &ring;
}

bool PolygonStore::newPartsMayOverlap() const
{
    // Parts as runs of rings, each with its box.
    struct Part {
        size_t ringBegin, ringEnd, vertexBegin;
        double minX, minY, maxX, maxY;
    };
    std::vector<Part> parts;
    size_t vertex = 0;
    for (size_t r = 0; r < m_newRings.size(); ++r) {
        if (parts.empty() || m_newRings[r].part != m_newRings[parts.back().ringBegin].part) {
            parts.push_back({r, r, vertex, std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::lowest(),
                             std::numeric_limits<double>::lowest()});
        }
        Part& part = parts.back();
        part.ringEnd = r + 1;
        for (quint32 i = 0; i < m_newRings[r].count; ++i, ++vertex) {
            const Vertex& v = m_newVertices[vertex];
            part.minX = std::min(part.minX, v.x);
            part.maxX = std::max(part.maxX, v.x);
            part.minY = std::min(part.minY, v.y);
            part.maxY = std::max(part.maxY, v.y);
        }
    }
    // Beyond this many pairs of edges to compare, GEOS's union is the cheaper way.
    constexpr double MaxPairs = 1e6;
    double pairs = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        const Part& p = parts[i];
        const size_t pEnd = i + 1 < parts.size() ? parts[i + 1].vertexBegin : m_newVertices.size();
        for (size_t j = i + 1; j < parts.size(); ++j) {
            const Part& q = parts[j];
            if (p.maxX < q.minX || q.maxX < p.minX || p.maxY < q.minY || q.maxY < p.minY) {
                continue;
            }
            const size_t qEnd =
                j + 1 < parts.size() ? parts[j + 1].vertexBegin : m_newVertices.size();
            pairs += double(pEnd - p.vertexBegin) * double(qEnd - q.vertexBegin);
            if (pairs > MaxPairs) {
                return true;
            }
            // Boundaries that meet anywhere may bound a shared area.
            size_t a0 = p.vertexBegin;
            for (size_t ra = p.ringBegin; ra < p.ringEnd; a0 += m_newRings[ra++].count) {
                const quint32 na = m_newRings[ra].count;
                for (quint32 a = 0; a < na; ++a) {
                    const Vertex& a1 = m_newVertices[a0 + a];
                    const Vertex& a2 = m_newVertices[a0 + (a + 1 == na ? 0 : a + 1)];
                    size_t b0 = q.vertexBegin;
                    for (size_t rb = q.ringBegin; rb < q.ringEnd; b0 += m_newRings[rb++].count) {
                        const quint32 nb = m_newRings[rb].count;
                        for (quint32 b = 0; b < nb; ++b) {
                            if (segmentsMayMeet(a1, a2, m_newVertices[b0 + b],
                                                m_newVertices[b0 + (b + 1 == nb ? 0 : b + 1)])) {
                                return true;
                            }
                        }
                    }
                }
            }
            // Boundaries apart: the parts overlap only when one holds a ring of the other,
            // an outer ring among them (an island in the other's hole is outside it).
            const auto holds = [&](const Part& outer, const Part& inner) {
                size_t v = inner.vertexBegin;
                for (size_t r = inner.ringBegin; r < inner.ringEnd; v += m_newRings[r++].count) {
                    if (insideRings(m_newVertices[v], m_newVertices.data() + outer.vertexBegin,
                                    m_newRings.data() + outer.ringBegin,
                                    m_newRings.data() + outer.ringEnd)) {
                        return true;
                    }
                }
                return false;
            };
            if (holds(p, q) || holds(q, p)) {
                return true;
            }
        }
    }
    return false;
}

bool PolygonStore::finish(Polygon& polygon, qint64 fileOffset)
{
    if (m_newNonFinite) {
        polygon = Polygon(); // nothing to count: its cells cannot be told
    } else if (!m_newRings.empty()) {
        polygon.minX = polygon.minY = std::numeric_limits<double>::max();
        polygon.maxX = polygon.maxY = std::numeric_limits<double>::lowest();
        for (const Vertex& v : m_newVertices) {
            polygon.minX = std::min(polygon.minX, v.x);
            polygon.maxX = std::max(polygon.maxX, v.x);
            polygon.minY = std::min(polygon.minY, v.y);
            polygon.maxY = std::max(polygon.maxY, v.y);
        }
        if (fileOffset >= 0) {
            polygon.vertexChunk = quint32(quint64(fileOffset) >> 32);
            polygon.vertexOffset = quint32(fileOffset);
            polygon.ringChunk = m_newRings[0].sign > 0 ? InFile : InFile - 1;
            polygon.ringOffset = m_newRings[0].count;
        } else {
            std::tie(polygon.vertexChunk, polygon.vertexOffset) = m_vertices.append(m_newVertices);
            std::tie(polygon.ringChunk, polygon.ringOffset) = m_rings.append(m_newRings);
        }
        polygon.ringCount = quint32(m_newRings.size());
    }
    m_polygons.push_back(polygon);
    return !m_newNonFinite;
}

void PolygonStore::squeeze()
{
    m_newVertices = {};
    m_newRings = {};
    m_polygons.shrink_to_fit();
}

template <class F> void PolygonStore::forEachEdge(const Polygon& p, F&& f) const
{
    const Vertex* v = verticesOf(p);
    const Ring* rings = ringsOf(p);
    for (quint32 r = 0; r < p.ringCount; ++r) {
        const Ring& ring = rings[r];
        for (quint32 i = 0; i < ring.count; ++i) {
            const Vertex& a = v[i];
            const Vertex& b = v[i + 1 == ring.count ? 0 : i + 1];
            // Horizontal edges, and coordinates that are not numbers, are left out.
            if (a.y < b.y) {
                f(a, b, ring);
            } else if (b.y < a.y) {
                f(b, a, Ring{ring.count, ring.part, -ring.sign});
            }
        }
        v += ring.count;
    }
}

void PolygonStore::edgesIn(const Polygon& p, qint64 rowBegin, qint64 rowEnd,
                           std::vector<Edge>& out) const
{
    out.clear();
    forEachEdge(p, [&](const Vertex& top, const Vertex& bottom, const Ring& ring) {
        if (top.y < double(rowEnd) && bottom.y > double(rowBegin)) {
            out.push_back({top.x, top.y, bottom.x, bottom.y, ring.part, ring.sign});
        }
    });
    std::sort(out.begin(), out.end(), [](const Edge& a, const Edge& b) { return a.y0 < b.y0; });
}

void PolygonStore::addGeometry(const OGRGeometry& geometry, const double inverse[6],
                               Polygon& polygon)
{
    if (geometry.IsEmpty()) {
        return;
    }
    if (geometry.hasCurveGeometry()) {
        std::unique_ptr<OGRGeometry> linear(geometry.getLinearGeometry());
        if (linear && !linear->hasCurveGeometry()) {
            addGeometry(*linear, inverse, polygon);
        }
        return;
    }
    switch (wkbFlatten(geometry.getGeometryType())) {
    case wkbPolygon: {
        bool hole = false;
        for (const OGRLinearRing* ring : *geometry.toPolygon()) {
            addRing(*ring, inverse, hole, polygon);
            hole = true;
        }
        ++polygon.parts;
        break;
    }
    case wkbMultiPolygon:
    case wkbGeometryCollection:
        for (const OGRGeometry* part : *geometry.toGeometryCollection()) {
            addGeometry(*part, inverse, polygon);
        }
        break;
    default:
        break; // points and lines cover no cell
    }
}

void PolygonStore::addRing(const OGRGeometry& geometry, const double inverse[6], bool hole,
                           Polygon& polygon)
{
    const OGRSimpleCurve& ring = *geometry.toSimpleCurve();
    addRingPoints(
        ring.getNumPoints(), [&](int i) { return ring.getX(i); },
        [&](int i) { return ring.getY(i); }, inverse, hole, polygon);
}

template <class X, class Y>
void PolygonStore::addRingPoints(int n, X x, Y y, const double inverse[6], bool hole,
                                 Polygon& polygon)
{
    if (n < 2) {
        return;
    }
    // An unclosed ring is closed, as the rasterizer does; a closed one is stored without
    // its repeated first point.
    const int count = n > 2 && x(0) == x(n - 1) && y(0) == y(n - 1) ? n - 1 : n;
    const size_t first = m_newVertices.size();
    for (int i = 0; i < count; ++i) {
        const double px = x(i);
        const double py = y(i);
        const Vertex& v = m_newVertices.emplace_back(cellOf(px, py, inverse));
        m_newNonFinite |= !std::isfinite(v.x) || !std::isfinite(v.y);
    }
    double area = 0; // twice the signed area, in cell coordinates
    for (size_t i = first; i < m_newVertices.size(); ++i) {
        const Vertex& a = m_newVertices[i];
        const Vertex& b = m_newVertices[i + 1 == m_newVertices.size() ? first : i + 1];
        area += a.x * b.y - b.x * a.y;
    }
    // Outer rings add their area whichever way they run, holes take theirs away.
    m_newRings.push_back({quint32(count), polygon.parts, (area < 0) != hole ? -1 : 1});
}

qint64 PolygonStore::firstRow(size_t i, Coverage rule) const
{
    const Polygon& p = m_polygons[i];
    return rule == Coverage::Centre ? firstCentreAfter(p.minY) : clampedFloor(p.minY);
}

qint64 PolygonStore::endRow(size_t i, Coverage rule) const
{
    const Polygon& p = m_polygons[i];
    return rule == Coverage::Centre ? firstCentreAfter(p.maxY) : clampedFloor(p.maxY) + 1;
}

qint64 PolygonStore::firstColumn(size_t i, Coverage rule) const
{
    const Polygon& p = m_polygons[i];
    return rule == Coverage::Centre ? clampedFloor(p.minX + 0.5) : clampedFloor(p.minX);
}

qint64 PolygonStore::endColumn(size_t i, Coverage rule) const
{
    const Polygon& p = m_polygons[i];
    return rule == Coverage::Centre ? clampedFloor(p.maxX + 0.5) : clampedFloor(p.maxX) + 1;
}

void PolygonStore::spans(size_t i, Coverage rule, qint64 rowBegin, qint64 rowEnd, qint64 width,
                         CellSpans& out, std::vector<double>& weights) const
{
    if (empty(i)) {
        return;
    }
    rowBegin = std::max(rowBegin, firstRow(i, rule));
    rowEnd = std::min(rowEnd, endRow(i, rule));
    if (rowBegin >= rowEnd) {
        return;
    }
    if (rule == Coverage::Centre) {
        centreSpans(m_polygons[i], rowBegin, rowEnd, width, out);
        return;
    }
    thread_local std::vector<Edge> edges;
    edgesIn(m_polygons[i], rowBegin, rowEnd, edges);
    coverSpans(m_polygons[i], edges, rule, rowBegin, rowEnd, width, out, weights);
}

namespace {

// A new span, written in place: built aside, it would be copied through the stack, and its
// narrow fields stored apart then loaded whole would stall the copy.
void appendSpan(CellSpans& out, qint64 row, qint64 begin, qint64 end, qint64 weights = -1)
{
    CellSpan& span = out.emplace_back();
    span.row = qint32(row);
    span.begin = qint32(begin);
    span.end = qint32(end);
    span.weights = weights;
}

// Sorts a few items in place: rows cross a polygon's boundary a few times.
template <class T> void sortFew(T* first, T* last)
{
    if (last - first > 16) {
        std::sort(first, last);
        return;
    }
    for (T* i = first + 1; i < last; ++i) {
        const T item = *i;
        T* j = i;
        for (; j > first && item < *(j - 1); --j) {
            *j = *(j - 1);
        }
        *j = item;
    }
}

} // namespace

void PolygonStore::centreCrossings(const Polygon& p, qint64 rowBegin, qint64 rowEnd,
                                   std::vector<qint64>& rowEnds,
                                   std::vector<std::pair<qint32, double>>& crossings) const
{
    // Each edge puts its crossings straight into the rows' lists, counted first and then
    // placed, so that only the few crossings of a row are ever sorted.
    struct Reach {
        const Vertex* top;
        const Vertex* bottom;
        qint32 part;
        qint64 first, end; // rows
    };
    thread_local std::vector<Reach> reaches;
    // The first row from rowBegin on whose centre is at or below y; rowEnd if none. Row
    // centres are exact in doubles, y - 0.5 may not be.
    const auto rowFrom = [rowBegin, rowEnd](double y) {
        const qint64 r = clampedFloor(y);
        return std::clamp(double(r) + 0.5 < y ? r + 1 : r, rowBegin, rowEnd);
    };
    const size_t rows = size_t(rowEnd - rowBegin);
    size_t edges = 0;
    const Ring* rings = ringsOf(p);
    for (quint32 r = 0; r < p.ringCount; ++r) {
        edges += rings[r].count;
    }
    if (reaches.size() < edges) {
        reaches.resize(edges);
    }
    if (rowEnds.size() < rows + 1) {
        rowEnds.resize(rows + 1);
    }
    std::fill_n(rowEnds.begin(), rows + 1, 0);
    size_t reached = 0;
    forEachEdge(p, [&](const Vertex& top, const Vertex& bottom, const Ring& ring) {
        const qint64 first = rowFrom(top.y);
        const qint64 end = rowFrom(bottom.y);
        if (first < end) {
            reaches[reached++] = {&top, &bottom, ring.part, first, end};
            ++rowEnds[size_t(first - rowBegin)];
            --rowEnds[size_t(end - rowBegin)];
        }
    });
    // Where each row's crossings begin, then their places.
    qint64 total = 0;
    qint64 crossing = 0;
    for (size_t k = 0; k < rows; ++k) {
        crossing += rowEnds[k];
        rowEnds[k] = total;
        total += crossing;
    }
    if (crossings.size() < size_t(total)) {
        crossings.resize(size_t(total));
    }
    for (size_t i = 0; i < reached; ++i) {
        const Reach& e = reaches[i];
        for (qint64 r = e.first; r < e.end; ++r) {
            const double y = double(r) + 0.5;
            const double x =
                e.top->x + (y - e.top->y) * (e.bottom->x - e.top->x) / (e.bottom->y - e.top->y);
            crossings[size_t(rowEnds[size_t(r - rowBegin)]++)] = {e.part, x};
        }
    }
}

void PolygonStore::centreSpans(const Polygon& p, qint64 rowBegin, qint64 rowEnd, qint64 width,
                               CellSpans& out) const
{
    thread_local std::vector<qint64> rowEnds;
    thread_local std::vector<std::pair<qint32, double>> crossings;
    thread_local std::vector<std::pair<qint64, qint64>> runs;
    centreCrossings(p, rowBegin, rowEnd, rowEnds, crossings);
    const auto cells = [width](double from, double to) {
        return std::make_pair(std::max<qint64>(clampedFloor(from + 0.5), 0),
                              std::min(clampedFloor(to + 0.5), width));
    };
    const bool onePart = p.parts <= 1;
    for (size_t k = 0; k < size_t(rowEnd - rowBegin); ++k) {
        const qint64 r = rowBegin + qint64(k);
        std::pair<qint32, double>* c = crossings.data() + (k == 0 ? 0 : rowEnds[k - 1]);
        const size_t n = size_t(rowEnds[k] - (k == 0 ? 0 : rowEnds[k - 1]));
        if (onePart && n == 2) { // the common case, without a branch on the order
            const auto [begin, end] =
                cells(std::min(c[0].second, c[1].second), std::max(c[0].second, c[1].second));
            if (begin < end) {
                appendSpan(out, r, begin, end);
            }
            continue;
        }
        // Even-odd within each part; the runs of all parts are then joined.
        sortFew(c, c + n);
        runs.clear();
        for (size_t i = 0; i + 1 < n; ++i) {
            if (c[i].first != c[i + 1].first) {
                continue; // an odd crossing left over: an unclosed part
            }
            const auto run = cells(c[i].second, c[i + 1].second);
            if (run.first < run.second) {
                runs.push_back(run);
            }
            ++i;
        }
        if (!onePart) {
            std::sort(runs.begin(), runs.end());
        }
        const size_t rowStart = out.size();
        for (const auto& [begin, end] : runs) {
            // Joined to the row's run before when they touch it.
            if (out.size() > rowStart && begin <= out.back().end) {
                out.back().end = qint32(std::max<qint64>(out.back().end, end));
            } else {
                appendSpan(out, r, begin, end);
            }
        }
    }
}

namespace {

// One row of the exact rule: the area of the polygon in each cell [c0, c0 + n) of a row is
// the integral of clamp(x - column, 0, 1) dy over its boundary (Green's theorem). A piece of
// boundary within a cell adds dy * (its mean x - column) to that cell and dy whole to every
// cell on its left, which the suffix sums collect; pieces right of the range add to all.
struct RowAreas {
    struct Cell {
        double partial = 0;
        double suffix = 0;
        bool crossed = false;
    };
    qint64 c0 = 0;
    std::vector<Cell> cells;     // one cache line for all a piece changes
    std::vector<size_t> touched; // cells pieces fell in, each once: the first touchedCount
    size_t touchedCount = 0;
    double carry = 0;

    // Zeroed here once for a polygon's columns; rows clear only the cells they touched.
    void reset(qint64 first, size_t n)
    {
        c0 = first;
        cells.assign(n, Cell());
        if (touched.size() < n) {
            touched.resize(n);
        }
        touchedCount = 0;
        carry = 0;
    }

    void clearRow()
    {
        for (size_t i = 0; i < touchedCount; ++i) {
            cells[touched[i]] = Cell();
        }
        touchedCount = 0;
        carry = 0;
    }

    // The segment (xa, ya) -> (xb, yb) of a ring within the row, weighed by sign.
    void add(double xa, double ya, double xb, double yb, double sign)
    {
        const qint64 c1 = c0 + qint64(cells.size());
        const double dy = (yb - ya) * sign;
        if (xa == xb) {
            const qint64 j = clampedFloor(xa);
            if (j >= c1) {
                carry += dy;
            } else if (j >= c0) {
                piece(j, dy, xa);
            }
            return;
        }
        const double left = std::min(xa, xb);
        const double right = std::max(xa, xb);
        const double perX = dy / (right - left);
        double u = std::max(left, double(c0));
        if (u >= right) {
            return; // wholly left of the range
        }
        // From here on j >= c0, since u is.
        qint64 j = clampedFloor(u);
        while (u < right) {
            if (j >= c1) {
                carry += (right - u) * perX;
                return;
            }
            const double v = std::min(double(j + 1), right);
            piece(j, (v - u) * perX, (u + v) / 2);
            u = v;
            ++j;
        }
    }

    // A piece of boundary in cell j of the range.
    void piece(qint64 j, double dy, double meanX)
    {
        const size_t k = size_t(j - c0);
        Cell& cell = cells[k];
        cell.partial += dy * (meanX - double(j));
        cell.suffix += dy;
        if (!cell.crossed) {
            cell.crossed = true;
            touched[touchedCount++] = k;
        }
    }

    // Calls f(begin, end, share, crossed) for runs of cells of one share from right to
    // left: each touched cell alone, the cells between two touched ones together (no piece
    // fell there, so they share the sum of the pieces to their right).
    template <class F> void resolve(F f)
    {
        sortFew(touched.data(), touched.data() + touchedCount);
        double run = carry;
        size_t end = cells.size();
        for (size_t i = touchedCount; i-- > 0;) {
            const size_t k = touched[i];
            if (k + 1 < end) {
                f(k + 1, end, run, false);
            }
            f(k, k + 1, cells[k].partial + run, true);
            run += cells[k].suffix;
            end = k;
        }
        if (end > 0) {
            f(0, end, run, false);
        }
    }
};

} // namespace

void PolygonStore::coverSpans(const Polygon& p, const std::vector<Edge>& edges, Coverage rule,
                              qint64 rowBegin, qint64 rowEnd, qint64 width, CellSpans& out,
                              std::vector<double>& weights) const
{
    const qint64 c0 = std::max<qint64>(clampedFloor(p.minX), 0);
    const qint64 c1 = std::min(clampedFloor(p.maxX) + 1, width);
    if (c0 >= c1) {
        return;
    }
    // The edges a row crosses, by a scanline over the edges in order of their top: each
    // row looks only at those, still in that order.
    // With each edge the last point worked out on it: a row's bottom is the next one's top.
    struct Active {
        const Edge* edge;
        double y, x;
    };
    thread_local std::vector<Active> active;
    thread_local RowAreas row;
    active.clear();
    size_t next = 0;
    const auto xAt = [](const Edge& e, double y) {
        return y == e.y0   ? e.x0
               : y == e.y1 ? e.x1
                           : e.x0 + (y - e.y0) * (e.x1 - e.x0) / (e.y1 - e.y0);
    };
    // Runs of a row come from right to left; they are put in order before they are added. A
    // row has at most two for each touched cell, and one more.
    struct Run {
        qint64 begin, end;
        double share; // -1: whole cells
    };
    thread_local std::vector<Run> runs;
    row.reset(c0, size_t(c1 - c0));
    if (runs.size() < 2 * size_t(c1 - c0) + 1) {
        runs.resize(2 * size_t(c1 - c0) + 1);
    }
    // Spans of other polygons may come before these in out: a run never joins one of them.
    const size_t ownFirst = out.size();
    for (qint64 r = rowBegin; r < rowEnd; ++r) {
        const double top = double(r);
        const double bottom = double(r + 1);
        for (; next < edges.size() && edges[next].y0 < bottom; ++next) {
            if (edges[next].y1 > top) {
                active.push_back({&edges[next], edges[next].y0, edges[next].x0});
            }
        }
        active.erase(std::remove_if(active.begin(), active.end(),
                                    [top](const Active& a) { return a.edge->y1 <= top; }),
                     active.end());
        for (Active& a : active) {
            const Edge& e = *a.edge;
            const double ya = std::max(e.y0, top);
            const double yb = std::min(e.y1, bottom);
            if (ya < yb) {
                const double xa = ya == a.y ? a.x : xAt(e, ya);
                a.y = yb;
                a.x = xAt(e, yb);
                row.add(xa, ya, a.x, yb, double(e.sign));
            }
        }
        size_t runCount = 0;
        row.resolve([&](size_t begin, size_t end, double share, bool crossed) {
            const bool whole =
                rule == Coverage::Touched ? crossed || share > TouchedShare : share >= WholeCell;
            if (whole) {
                runs[runCount++] = {c0 + qint64(begin), c0 + qint64(end), -1.0};
            } else if (rule == Coverage::Exact && share > 0) {
                runs[runCount++] = {c0 + qint64(begin), c0 + qint64(end), share};
            }
        });
        row.clearRow();
        for (size_t i = runCount; i-- > 0;) {
            const qint64 b = runs[i].begin;
            const qint64 e = runs[i].end;
            const double share = runs[i].share;
            if (share < 0) {
                if (out.size() > ownFirst && out.back().row == r && out.back().end == b &&
                    out.back().weights < 0) {
                    out.back().end = qint32(e);
                } else {
                    appendSpan(out, r, b, e);
                }
                continue;
            }
            if (out.size() > ownFirst && out.back().row == r && out.back().end == b &&
                out.back().weights >= 0) {
                out.back().end = qint32(e);
            } else {
                appendSpan(out, r, b, e, qint64(weights.size()));
            }
            if (e - b == 1) {
                weights.push_back(share);
            } else {
                weights.insert(weights.end(), size_t(e - b), share);
            }
        }
    }
}
