#include "analysis/overlay.h"

#include <algorithm>
#include <cmath>

void Overlay::read(const DataCatalog& catalog, const ModelParams& params, const Raster& raster,
                   const LogFunction& log)
{
    for (const auto& ds : params.scenarios) {
        m_scenarios.push_back(
            readPolygons(catalog, ds.theme, {}, false, raster, Coverage::Centre, log));
        if (!m_scenarios.back().overlapsRaster && log) {
            log(QStringLiteral("Scenario %1: theme %2 does not overlap the land cover "
                               "raster and changes nothing")
                    .arg(ds.number)
                    .arg(ds.theme));
        }
    }
    m_calculate = params.popDensity == ModelParams::Calculate;
    if (!m_calculate) {
        return;
    }
    m_density = readPolygons(catalog, params.popDensityTheme, params.popDensityField, true, raster,
                             Coverage::Centre, log);
    const auto nulls = std::count_if(m_density.values.begin(), m_density.values.end(),
                                     [](double v) { return std::isnan(v); });
    if (nulls > 0 && log) {
        log(QStringLiteral("Theme %1: %2 polygons without a %3 value; their cells use "
                           "the Medium coefficient")
                .arg(params.popDensityTheme)
                .arg(nulls)
                .arg(params.popDensityField));
    }
}

void Overlay::prepare(const ModelParams& params, const ClassTable& classes, const LogFunction& log)
{
    for (const auto& ds : params.scenarios) {
        m_scenarioValues.push_back(ds.classId);
        m_scenarioClass.push_back(classes.indexOf(ds.classId));
        if (m_scenarioClass.back() == UnknownIndex) {
            m_scenarioClass.back() = classes.indexCount() + int32_t(m_scenarioClass.size() - 1);
            if (log) {
                log(QStringLiteral("Scenario %1: class %2 has no CLASS line; its cells weigh 0")
                        .arg(ds.number)
                        .arg(ds.classId));
            }
        }
    }
    for (double v : m_density.values) {
        m_densityLevel.push_back(std::isnan(v)                ? ModelParams::Medium
                                 : v >= params.popDensityHigh ? ModelParams::High
                                 : v <= params.popDensityLow  ? ModelParams::Low
                                                              : ModelParams::Medium);
    }
}

void Overlay::index(qint64 bandHeight, qint64 width, qint64 height)
{
    for (const PolygonSet& set : m_scenarios) {
        m_scenarioIndex.emplace_back();
        m_scenarioIndex.back().build(set.store, Coverage::Centre, bandHeight, width, height);
    }
    if (m_calculate) {
        m_densityIndex.build(m_density.store, Coverage::Centre, bandHeight, width, height);
    }
}

void Overlay::Band::build(const Overlay& overlay, quint32 band, qint64 rowBegin, qint64 rowEnd,
                          qint64 width, size_t tileCells)
{
    m_scenarios.resize(overlay.m_scenarios.size());
    for (size_t s = 0; s < m_scenarios.size(); ++s) {
        m_scenarios[s].build(overlay.m_scenarios[s].store, overlay.m_scenarioIndex[s],
                             Coverage::Centre, band, rowBegin, rowEnd, width);
    }
    if (overlay.m_calculate) {
        m_density.build(overlay.m_density.store, overlay.m_densityIndex, Coverage::Centre, band,
                        rowBegin, rowEnd, width);
        m_cellLevel.resize(tileCells);
    }
}

void Overlay::Band::byTile(qint64 origin, qint64 tileWidth, qint64 tiles)
{
    for (BandSpans& spans : m_scenarios) {
        spans.byTile(origin, tileWidth, tiles);
    }
    if (!m_cellLevel.empty()) {
        m_density.byTile(origin, tileWidth, tiles);
    }
}

void Overlay::Band::apply(const Overlay& overlay, size_t tile, qint64 rowBegin, qint64 colBegin,
                          qint64 colEnd, int rows, int32_t* cellClass)
{
    for (size_t s = 0; s < m_scenarios.size(); ++s) {
        const int32_t to = overlay.m_scenarioClass[s];
        m_scenarios[s].forSpans(tile, rowBegin, colBegin, colEnd,
                                [&](size_t, size_t offset, size_t length, const double*) {
                                    for (size_t i = offset; i < offset + length; ++i) {
                                        if (cellClass[i] != NoDataIndex) {
                                            cellClass[i] = to;
                                        }
                                    }
                                });
    }
    if (m_cellLevel.empty()) {
        return;
    }
    std::fill(m_cellLevel.begin(), m_cellLevel.begin() + ptrdiff_t(colEnd - colBegin) * rows,
              uint8_t(ModelParams::Medium));
    m_density.forSpans(tile, rowBegin, colBegin, colEnd,
                       [&](size_t gi, size_t offset, size_t length, const double*) {
                           const uint8_t level =
                               overlay.m_densityLevel[m_density.groups()[gi].polygon];
                           std::fill(m_cellLevel.begin() + ptrdiff_t(offset),
                                     m_cellLevel.begin() + ptrdiff_t(offset + length), level);
                       });
}
