#pragma once

#include <QtGlobal>

#include <vector>

class OGRGeometry;

// One cell-row run of a polygon: the cells [begin, end) of a row whose centres lie inside.
// Cell indices are 64-bit: rasters may be more than 2^31 cells long in all.
struct CellSpan {
    qint64 row;
    qint64 begin;
    qint64 end;
};

// A polygon (or multipolygon) in cell coordinates, filled row by row by the cell-centre rule:
// a cell belongs to the polygon when its centre lies inside one of its parts, counted within
// a part by the even-odd rule over its rings, so holes stay empty; parts that overlap count
// together. A centre exactly on a boundary is decided the way gdal_rasterize decides it (edge
// from above inclusive, below exclusive; left exclusive, right inclusive), so two polygons
// sharing a border never both take a cell.
class PolygonScan {
public:
    PolygonScan() = default;
    // inverse: the raster's inverse geotransform (map coordinates to column and row).
    PolygonScan(const OGRGeometry& geometry, const double inverse[6]);

    bool empty() const { return m_edges.empty(); }
    // Rows whose centre line crosses the polygon, unclipped: [firstRow, endRow).
    qint64 firstRow() const { return m_firstRow; }
    qint64 endRow() const { return m_endRow; }
    // Columns that can hold a centre inside: [firstColumn, endColumn).
    qint64 firstColumn() const { return m_firstColumn; }
    qint64 endColumn() const { return m_endColumn; }

    // Appends the spans of rows [rowBegin, rowEnd), clipped to columns [0, width).
    void spans(qint64 rowBegin, qint64 rowEnd, qint64 width, std::vector<CellSpan>& out) const;

private:
    struct Edge {
        double x0, y0, x1, y1; // y0 < y1
        int part;              // the polygon of a multipolygon the edge's ring belongs to
    };
    void addRing(const OGRGeometry& ring, const double inverse[6]);
    void addGeometry(const OGRGeometry& geometry, const double inverse[6]);

    std::vector<Edge> m_edges; // sorted by y0
    int m_parts = 0;
    qint64 m_firstRow = 0;
    qint64 m_endRow = 0;
    qint64 m_firstColumn = 0;
    qint64 m_endColumn = 0;
};
