#include "analysis/cellareas.h"

#include <algorithm>
#include <cmath>

namespace {

// The area between the parallels phi0 and phi1 on the ellipsoid, per radian of longitude:
// the difference of b²/2 (s / (1 - e² s²) + atanh(e s) / e) at s = sin phi1 and sin phi0,
// taken in a form that keeps its digits between close parallels. A cell between two
// parallels and two meridians has this area times its width, whatever its size, where a
// polygon of geodesic edges would bend away from the parallels.
double zoneArea(double a, double e2, double phi0, double phi1)
{
    phi0 = std::clamp(phi0, -M_PI / 2, M_PI / 2);
    phi1 = std::clamp(phi1, -M_PI / 2, M_PI / 2);
    const double d = 2 * std::cos((phi0 + phi1) / 2) * std::sin((phi1 - phi0) / 2);
    if (e2 == 0) {
        return a * a * d;
    }
    const double s0 = std::sin(phi0);
    const double s1 = std::sin(phi1);
    const double e = std::sqrt(e2);
    const double b2 = a * a * (1 - e2);
    return b2 / 2 *
           (d * (1 + e2 * s0 * s1) / ((1 - e2 * s0 * s0) * (1 - e2 * s1 * s1)) +
            std::atanh(e * d / (1 - e2 * s0 * s1)) / e);
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
    for (qint64 r = 0; r < rows; ++r) {
        areas.m_rows[size_t(r)] = std::abs(width * areas.zone(double(r), double(r + 1))) / unitArea;
    }
    return areas;
}

double CellAreas::zone(double from, double to) const
{
    return zoneArea(m_a, m_e2, m_top + from * m_rowHeight, m_top + to * m_rowHeight);
}

double CellAreas::equalAreaRow(double y) const
{
    if (m_rows.empty()) {
        return y;
    }
    const double r = std::floor(y);
    const double row = zone(r, r + 1);
    return row == 0 || !std::isfinite(row) ? y : r + zone(r, y) / row;
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
