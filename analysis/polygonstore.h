#pragma once

#include "analysis/hugepages.h"
#include "catalog/coverage.h"

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

class OGRGeometry;

// A run of cells [begin, end) of one row. weights < 0: each cell counts whole; otherwise the
// offset of the cells' weights in the weight list the spans were made with. Rows and columns
// fit 32 bits, as a raster's height and width do; a band may hold more than 2^31 weights.
struct CellSpan {
    qint32 row;
    qint32 begin;
    qint32 end;
    qint64 weights = -1;
};
// A band's spans run to hundreds of thousands.
using CellSpans = LargeVector<CellSpan>;

// A shapefile's .shp, left open for the vertices of the stores that keep them there. Fails
// (AnalysisError) where it cannot be opened.
class VertexFile {
public:
    VertexFile(const QString& path, const QString& theme);
    ~VertexFile();
    VertexFile(const VertexFile&) = delete;
    VertexFile& operator=(const VertexFile&) = delete;
    // The bytes [offset, offset + size), valid until the next call on this thread; fails
    // (AnalysisError) when the file no longer holds them.
    const char* read(qint64 offset, size_t size) const;
    // Fails (AnalysisError) when the file was written since it was opened.
    void checkUnchanged() const;

private:
    [[noreturn]] void failChanged() const;

    int m_fd = -1;
    quint64 m_id = 0; // tells this file's bytes from another's in a thread's window
    QString m_path;
    QString m_theme;
    qint64 m_size = 0;
    qint64 m_modified = 0; // nanoseconds
};

// The polygons of one theme in cell coordinates, held flat: one list of edges for all, and a
// small record per polygon, so millions of polygons cost little beyond their vertices.
//
// The cell-centre rule: a cell belongs to a polygon when its centre lies inside one of its
// parts, counted within a part by the even-odd rule over its rings, so holes stay empty;
// parts that overlap count together. A centre exactly on a boundary is decided the way
// gdal_rasterize decides it (edge from above inclusive, below exclusive; left exclusive,
// right inclusive), so two polygons sharing a border never both take a cell.
//
// The exact rule weighs each cell by the area of the polygon within the cell's square:
// Green's theorem over each ring, clipped to the cell row, gives every cell of the row at
// once (outer rings add, holes subtract). The touched rule takes every cell the boundary
// crosses and every cell inside.
class PolygonStore {
public:
    // Appends one polygon (or multipolygon; none for a feature without geometry). inverse:
    // the raster's inverse geotransform (map coordinates to column and row). Multipolygons
    // whose parts overlap are merged first for the exact and touched rules. False when a
    // vertex is not a finite number in cell coordinates: the polygon is then kept empty.
    bool add(const OGRGeometry* geometry, const double inverse[6], Coverage rule);
    // Appends a polygon of n points packed as (x, y) pairs of doubles in the machine's byte
    // order (a shapefile's on this platform), not necessarily aligned, in rings that start
    // at starts[0] = 0 < starts[1] < ...: the first ring its outer and the others its holes,
    // or with separate each ring a polygon of a multipolygon. The same as add() of that
    // polygon or multipolygon, under the centre rule for a multipolygon.
    bool addRings(const char* xy, const int* starts, int rings, int n, bool separate,
                  const double inverse[6]);
    // The same for a polygon of one ring whose points lie at offset in file, and stay there:
    // they are read back and put in cell coordinates again when its cells are asked for.
    bool addRingInFile(const char* xy, int n, const double inverse[6],
                       const std::shared_ptr<const VertexFile>& file, qint64 offset);
    // Reads the vertices left in the file into the store unless the polygons follow one
    // another from north to south closely enough to be read back band by band.
    void settleFileVertices();
    // Fails (AnalysisError) when a file the store keeps vertices in was written since.
    void checkFiles() const;

    size_t size() const { return m_polygons.size(); }
    bool empty(size_t i) const { return m_polygons[i].ringCount == 0; }
    // Rows and columns the polygon can take cells in under a rule, unclipped.
    qint64 firstRow(size_t i, Coverage rule) const;
    qint64 endRow(size_t i, Coverage rule) const;
    qint64 firstColumn(size_t i, Coverage rule) const;
    qint64 endColumn(size_t i, Coverage rule) const;

    // Appends the spans of polygon i in rows [rowBegin, rowEnd), clipped to columns
    // [0, width); weighted spans keep their weights in weights.
    void spans(size_t i, Coverage rule, qint64 rowBegin, qint64 rowEnd, qint64 width,
               CellSpans& out, std::vector<double>& weights) const;

    // Room for this many polygons in all, when the count is known beforehand.
    void reserve(size_t polygons) { m_polygons.reserve(polygons); }
    void squeeze();

private:
    struct Edge {
        double x0, y0, x1, y1; // y0 < y1
        qint32 part;           // the polygon of a multipolygon the edge's ring belongs to
        qint32 sign;           // +1 or -1: direction of the ring and outer ring or hole
    };
    struct Vertex {
        double x, y; // in cell coordinates
    };
    struct Ring {
        quint32 count; // vertices, the ring closed from the last to the first
        qint32 part;
        qint32 sign; // +1 for an outer ring running the way of rising area, else -1
    };
    // A polygon whose points stay in m_file has ringChunk InFile (its ring running the way
    // of rising area) or InFile - 1, its points' offset in vertexChunk (high) and
    // vertexOffset (low), and their count in ringOffset.
    static constexpr quint32 InFile = 0xffffffff;
    struct Polygon {
        quint32 vertexChunk = 0;
        quint32 vertexOffset = 0;
        quint32 ringChunk = 0;
        quint32 ringOffset = 0;
        quint32 ringCount = 0;
        qint32 parts = 0;
        double minX = 0, minY = 0, maxX = 0, maxY = 0;
    };
    // Items appended in runs that each stay in one chunk, so the store grows a chunk at a
    // time and never copies what it holds. Chunks start small and double up to a size, so
    // that a store of a few polygons costs little.
    template <class T> struct Chunked {
        std::vector<LargeVector<T>> chunks;
        std::pair<quint32, quint32> append(const std::vector<T>& items)
        {
            constexpr size_t FirstChunkItems = 1 << 8;
            constexpr size_t ChunkItems = (size_t(4) << 20) / sizeof(T);
            if (chunks.empty() || chunks.back().capacity() - chunks.back().size() < items.size()) {
                const size_t size = chunks.empty()
                                        ? FirstChunkItems
                                        : std::min(ChunkItems, 2 * chunks.back().capacity());
                chunks.emplace_back();
                chunks.back().reserve(std::max(size, items.size()));
            }
            const auto at =
                std::make_pair(quint32(chunks.size() - 1), quint32(chunks.back().size()));
            chunks.back().insert(chunks.back().end(), items.begin(), items.end());
            return at;
        }
        const T* at(quint32 chunk, quint32 offset) const { return chunks[chunk].data() + offset; }
    };

    static bool inFile(const Polygon& p) { return p.ringChunk >= InFile - 1; }
    // A point in cell coordinates: one expression wherever points are placed, so that points
    // read back from a file get the same bits as when they were first read.
    static Vertex cellOf(double x, double y, const double inverse[6])
    {
        return {inverse[0] + x * inverse[1] + y * inverse[2],
                inverse[3] + x * inverse[4] + y * inverse[5]};
    }
    bool addRingsAt(const char* xy, const int* starts, int rings, int n, bool separate,
                    const double inverse[6], qint64 fileOffset);
    // A polygon's vertices and rings, those kept in the file read back into this thread's
    // buffers, valid until its next call.
    const Vertex* verticesOf(const Polygon& p) const;
    const Ring* ringsOf(const Polygon& p) const;
    void addGeometry(const OGRGeometry& geometry, const double inverse[6], Polygon& polygon);
    void addRing(const OGRGeometry& ring, const double inverse[6], bool hole, Polygon& polygon);
    template <class X, class Y>
    void addRingPoints(int n, X x, Y y, const double inverse[6], bool hole, Polygon& polygon);
    bool finish(Polygon& polygon, qint64 fileOffset = -1);
    // Whether the parts of the polygon being added may share some area: false only when no
    // two of their boundaries meet and no part lies within another.
    bool newPartsMayOverlap() const;
    // Calls f(top, bottom, ring) for each edge of p but the horizontal ones, its ends in the
    // order of rising y; ring.sign is the edge's in that direction.
    template <class F> void forEachEdge(const Polygon& p, F&& f) const;
    // The polygon's edges that reach into rows [rowBegin, rowEnd), sorted by y0; horizontal
    // ones, which cross no row and bound no area, are left out.
    void edgesIn(const Polygon& p, qint64 rowBegin, qint64 rowEnd, std::vector<Edge>& out) const;
    // The crossings of the centre lines of rows [rowBegin, rowEnd) with p's edges, as (part,
    // column): row rowBegin + k's are crossings[rowEnds[k - 1], rowEnds[k]) (from 0 for the
    // first). An edge crosses the centre line y when y0 <= y < y1.
    void centreCrossings(const Polygon& p, qint64 rowBegin, qint64 rowEnd,
                         std::vector<qint64>& rowEnds,
                         std::vector<std::pair<qint32, double>>& crossings) const;
    void centreSpans(const Polygon& p, qint64 rowBegin, qint64 rowEnd, qint64 width,
                     CellSpans& out) const;
    void coverSpans(const Polygon& p, const std::vector<Edge>& edges, Coverage rule,
                    qint64 rowBegin, qint64 rowEnd, qint64 width, CellSpans& out,
                    std::vector<double>& weights) const;

    Chunked<Vertex> m_vertices;
    Chunked<Ring> m_rings;
    std::vector<Vertex> m_newVertices; // of the polygon being added
    std::vector<Ring> m_newRings;
    bool m_newNonFinite = false;
    LargeVector<Polygon> m_polygons;
    std::shared_ptr<const VertexFile> m_file;
    double m_fileInverse[6] = {};
};
