#include "analysis/cellareas.h"

#include <algorithm>
#include <cmath>

namespace {

// The area between the equator and latitude phi on the ellipsoid, per radian of longitude
// (b² sin of the authalic latitude times its q / 2). The area of a cell between two
// parallels and two meridians is the difference of two of these times its width: exact
// whatever the cell's size, where a polygon of geodesic edges would bend away from the
// parallels.
double zoneArea(double a, double e2, double phi)
{
    const double s = std::sin(std::clamp(phi, -M_PI / 2, M_PI / 2));
    if (e2 == 0) {
        return a * a * s;
    }
    const double e = std::sqrt(e2);
    const double b2 = a * a * (1 - e2);
    return b2 / 2 * (s / (1 - e2 * s * s) + std::atanh(e * s) / e);
}

} // namespace

CellAreas CellAreas::geographic(double a, double inverseFlattening, double top, double rowHeight,
                                double width, qint64 rows, double unitArea)
{
    const double f = inverseFlattening > 0 ? 1 / inverseFlattening : 0;
    CellAreas areas;
    areas.m_a = a;
    areas.m_e2 = f * (2 - f);
    areas.m_top = top;
    areas.m_rowHeight = rowHeight;
    areas.m_rows.resize(size_t(rows));
    double upper = areas.zone(0);
    for (qint64 r = 0; r < rows; ++r) {
        const double lower = areas.zone(double(r + 1));
        areas.m_rows[size_t(r)] = std::abs(width * (upper - lower)) / unitArea;
        upper = lower;
    }
    return areas;
}

double CellAreas::zone(double row) const
{
    return zoneArea(m_a, m_e2, m_top + row * m_rowHeight);
}

double CellAreas::equalAreaRow(double y) const
{
    if (m_rows.empty()) {
        return y;
    }
    const double r = std::floor(y);
    const double top = zone(r);
    const double height = zone(r + 1) - top;
    return height == 0 || !std::isfinite(height) ? y : r + (zone(y) - top) / height;
}

CellAreas CellAreas::of(const Raster& raster, ModelParams::Units units, const LogFunction& log)
{
    const double* t = raster.geoTransform;
    const QString unitsText = ModelParams::unitsText(units);
    CellAreas areas;
    if (raster.srs && raster.srs->IsGeographic()) {
        const double radians = raster.srs->GetAngularUnits(nullptr);
        const double metres = ModelParams::metresPerUnit(units);
        areas =
            geographic(raster.srs->GetSemiMajor(), raster.srs->GetInvFlattening(), t[3] * radians,
                       t[5] * radians, std::abs(t[1]) * radians, raster.height, metres * metres);
        if (log) {
            const char* ellipsoid = raster.srs->GetAttrValue("SPHEROID");
            log(QStringLiteral("The land cover raster is in geographic coordinates: the area of "
                               "its cells is measured on the ellipsoid %1 row by row, from %2 to "
                               "%3 square %4")
                    .arg(QString::fromUtf8(ellipsoid ? ellipsoid : "of its datum"))
                    .arg(areas.smallest())
                    .arg(areas.largest())
                    .arg(unitsText));
        }
        return areas;
    }
    areas.m_uniform = std::abs(t[1] * t[5]);
    if (!raster.srs) {
        if (log) {
            log(QStringLiteral("The land cover raster has no coordinate system; its unit is "
                               "taken to be %1")
                    .arg(unitsText));
        }
        return areas;
    }
    const double rasterMetres = raster.srs->GetLinearUnits();
    const double areaFactor = std::pow(rasterMetres / ModelParams::metresPerUnit(units), 2);
    if (std::abs(areaFactor - 1) > 1e-9 && log) {
        QString rasterUnits = unitsName(raster.srs.get());
        if (rasterUnits == unitsText) { // the US survey foot against the foot
            rasterUnits.clear();
        }
        log(QStringLiteral("The land cover raster's unit is %1, not %2: areas are "
                           "converted to square %2")
                .arg(rasterUnits.isEmpty() ? QStringLiteral("%1 m").arg(rasterMetres) : rasterUnits,
                     unitsText));
    }
    areas.m_uniform *= areaFactor;
    return areas;
}

double CellAreas::smallest() const
{
    return m_rows.empty() ? m_uniform : *std::min_element(m_rows.begin(), m_rows.end());
}

double CellAreas::largest() const
{
    return m_rows.empty() ? m_uniform : *std::max_element(m_rows.begin(), m_rows.end());
}
