#pragma once

#include "analysis/analysisinputs.h"

#include <vector>

// How the land cover is read: in bands of whole rows of blocks, at least a minimum height,
// each band tile by tile. Buffers stay bounded whatever the blocks: very wide or tall ones
// are read in parts.
struct BandPlan {
    qint64 bandHeight = 0;
    qint64 tileWidth = 0;
    GDALDataType readType = GDT_Unknown; // the narrowest type that holds the raster's values

    static BandPlan of(const Raster& raster, int minimumBandHeight);
    size_t tileCells() const { return size_t(tileWidth) * size_t(bandHeight); }
};

// One thread's reader of tiles, with its own handle on the raster: the cells of a tile as
// read and, where asked, by class index.
class TileReader {
public:
    // own: a handle of its own rather than the raster's.
    TileReader(const Raster& raster, const BandPlan& plan, bool own);

    // Reads the cells [colBegin, colBegin + cols) x [rowBegin, rowBegin + rows), row by row.
    void read(qint64 colBegin, qint64 rowBegin, int cols, int rows);
    // The class index of each cell read: through table (by value - classes.lowest()), or
    // where it is empty through classes, the raster's NoData value mapping to NoDataIndex.
    void classify(const ClassTable& classes, const std::vector<int32_t>& table);
    int32_t* cellClass() { return m_cellClass.data(); }

    // f(values) gets the cells read, in their type.
    template <class F> void withValues(F f) const
    {
        if (m_type == GDT_Byte) {
            f(reinterpret_cast<const quint8*>(m_values.data()));
        } else if (m_type == GDT_Int32) {
            f(reinterpret_cast<const qint32*>(m_values.data()));
        } else {
            f(m_values.data());
        }
    }

private:
    const Raster& m_raster;
    GdalDatasetPtr m_dataset;
    GDALRasterBand* m_band = nullptr;
    GDALDataType m_type;
    size_t m_cells = 0; // in the last tile read
    std::vector<qint64> m_values;
    std::vector<int32_t> m_cellClass;
};
