#pragma once

#include <vector>

class OGRGeometry;

// One cell-row run of a polygon: the cells [begin, end) of a row whose centres lie inside.
struct CellSpan {
    int row;
    int begin;
    int end;
};

// A polygon (or multipolygon) in cell coordinates, filled row by row by the cell-centre rule:
// a cell belongs to the polygon when its centre lies inside, counted by the even-odd rule over
// all rings, so holes stay empty. A centre exactly on a boundary is decided the way
// gdal_rasterize decides it (edge from above inclusive, below exclusive; left exclusive, right
// inclusive), so two polygons sharing a border never both take a cell.
class PolygonScan {
public:
    PolygonScan() = default;
    // inverse: the raster's inverse geotransform (map coordinates to column and row).
    PolygonScan(const OGRGeometry& geometry, const double inverse[6]);

    bool empty() const { return m_edges.empty(); }
    // Rows whose centre line crosses the polygon, unclipped: [firstRow, endRow).
    int firstRow() const { return m_firstRow; }
    int endRow() const { return m_endRow; }
    // Columns that can hold a centre inside: [firstColumn, endColumn).
    int firstColumn() const { return m_firstColumn; }
    int endColumn() const { return m_endColumn; }

    // Appends the spans of rows [rowBegin, rowEnd), clipped to columns [0, width).
    void spans(int rowBegin, int rowEnd, int width, std::vector<CellSpan>& out) const;

private:
    struct Edge {
        double x0, y0, x1, y1; // y0 < y1
    };
    void addRing(const OGRGeometry& ring, const double inverse[6]);
    void addGeometry(const OGRGeometry& geometry, const double inverse[6]);

    std::vector<Edge> m_edges; // sorted by y0
    int m_firstRow = 0;
    int m_endRow = 0;
    int m_firstColumn = 0;
    int m_endColumn = 0;
};
