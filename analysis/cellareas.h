#pragma once

#include "analysis/analysisinputs.h"
#include "model/modelparams.h"

#include <QtGlobal>

#include <vector>

// The area of the cells of one land cover raster, in square units of the run (LCUNITS).
// A projected raster's cells all have one area. A raster in geographic coordinates has cells
// of one size in degrees, whose area on its ellipsoid depends on the latitude only: one area
// per row.
class CellAreas {
public:
    CellAreas() = default;
    // Logs a conversion of units, and how the cells of a geographic raster are measured.
    static CellAreas of(const Raster& raster, ModelParams::Units units, const LogFunction& log);
    // Rows of height rowHeight from latitude top down (negative: from south to north), of
    // cells width wide, all in radians, on the ellipsoid of semi-major axis a and inverse
    // flattening inverseFlattening (0: a sphere), in units of unitArea (a in its unit).
    static CellAreas geographic(double a, double inverseFlattening, double top, double rowHeight,
                                double width, qint64 rows, double unitArea = 1);

    bool byRow() const { return !m_rows.empty(); }
    // The area of every cell of a projected raster (0 for a geographic one).
    double uniform() const { return m_uniform; }
    double row(qint64 r) const { return m_rows.empty() ? m_uniform : m_rows[size_t(r)]; }
    // The area of each row's cells, or null where all cells have one area.
    const double* rows() const { return m_rows.empty() ? nullptr : m_rows.data(); }
    double smallest() const;
    double largest() const;
    // A row coordinate y (in rows from the raster's top edge) moved within its row so that
    // equal steps of it hold equal areas: a share of a cell's square then is a share of its
    // area, as a share in degrees is not (a cell is wider on its side nearer the equator).
    // Whole rows stay where they are; y itself where cells have one area.
    double equalAreaRow(double y) const;

private:
    // The area between two row coordinates, per radian of longitude.
    double zone(double from, double to) const;

    double m_uniform = 0;
    std::vector<double> m_rows;
    // Of a geographic raster: the ellipsoid, and the raster's top edge and row height in
    // radians.
    double m_a = 0;
    double m_e2 = 0;
    double m_top = 0;
    double m_rowHeight = 0;
};
