#pragma once

#include "analysis/analysisinputs.h"
#include "analysis/bandspans.h"
#include "model/modelparams.h"

#include <vector>

// What is laid over the land cover before its cells are counted: scenario polygons give the
// cells whose centre they hold another class (NoData excepted, later scenarios winning), and
// density polygons choose each cell's coefficient level (High, Medium or Low; Medium outside
// them). Both take cells by their centre whatever the analysis polygons' rule.
class Overlay {
public:
    // Reads the scenario and density themes of the parameters.
    void read(const DataCatalog& catalog, const ModelParams& params, const Raster& raster,
              const LogFunction& log);
    // The class index each scenario gives its cells: a class without a CLASS line becomes
    // classes.indexCount() + the scenario's place, so that its cells are told apart from the
    // raster's unknown ones; and the level of each density polygon.
    void prepare(const ModelParams& params, const ClassTable& classes, const LogFunction& log);
    void index(qint64 bandHeight, qint64 width, qint64 height);

    bool densityLevels() const { return m_calculate; }
    bool scenarios() const { return !m_scenarios.empty(); }
    // The class value of each scenario's cells.
    const std::vector<qint64>& scenarioValues() const { return m_scenarioValues; }

    // One thread's overlay of a band: the spans of the scenario and density polygons there,
    // and the level of each cell of a tile.
    class Band {
    public:
        void build(const Overlay& overlay, quint32 band, qint64 rowBegin, qint64 rowEnd,
                   qint64 width, size_t tileCells);
        void byTile(qint64 origin, qint64 tileWidth, qint64 tiles);
        // Changes the classes of the cells of a tile of columns [colBegin, colEnd) by the
        // scenarios and sets their levels.
        void apply(const Overlay& overlay, size_t tile, qint64 rowBegin, qint64 colBegin,
                   qint64 colEnd, int rows, int32_t* cellClass);
        // The levels of the tile's cells, or null without density polygons.
        const uint8_t* levels() const { return m_cellLevel.empty() ? nullptr : m_cellLevel.data(); }

    private:
        std::vector<BandSpans> m_scenarios;
        BandSpans m_density;
        std::vector<uint8_t> m_cellLevel;
    };

private:
    std::vector<PolygonSet> m_scenarios;
    std::vector<BandIndex> m_scenarioIndex;
    std::vector<int32_t> m_scenarioClass;
    std::vector<qint64> m_scenarioValues;
    bool m_calculate = false;
    PolygonSet m_density;
    BandIndex m_densityIndex;
    std::vector<uint8_t> m_densityLevel; // per density polygon
};
