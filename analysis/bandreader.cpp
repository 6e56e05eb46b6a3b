#include "analysis/bandreader.h"

#include "analysis/analysiserror.h"

#include <algorithm>

BandPlan BandPlan::of(const Raster& raster, int minimumBandHeight)
{
    int blockWidth = 0;
    int blockHeight = 0;
    raster.band->GetBlockSize(&blockWidth, &blockHeight);
    blockWidth = std::clamp(blockWidth, 1, raster.width);
    blockHeight = std::clamp(blockHeight, 1, raster.height);
    BandPlan plan;
    plan.bandHeight = blockHeight;
    if (plan.bandHeight < minimumBandHeight) {
        plan.bandHeight = std::min<qint64>(
            raster.height,
            blockHeight * ((qint64(minimumBandHeight) + blockHeight - 1) / blockHeight));
    }
    const GDALDataType type = raster.band->GetRasterDataType();
    plan.readType = type == GDT_Byte                                               ? GDT_Byte
                    : type == GDT_Int16 || type == GDT_UInt16 || type == GDT_Int32 ? GDT_Int32
                                                                                   : GDT_Int64;
    constexpr qint64 maxTileCells = qint64(1) << 22;
    plan.bandHeight = std::min(plan.bandHeight, maxTileCells);
    plan.tileWidth = std::clamp<qint64>(maxTileCells / plan.bandHeight, 1, blockWidth);
    return plan;
}

TileReader::TileReader(const Raster& raster, const BandPlan& plan, bool own)
    : m_raster(raster), m_band(raster.band), m_type(plan.readType)
{
    if (own) {
        m_dataset = openRaster(raster.path);
        if (!m_dataset) {
            fail(QStringLiteral("Land cover file %1 cannot be read: %2")
                     .arg(raster.path, takeGdalError()));
        }
        m_band = m_dataset->GetRasterBand(1);
    }
    m_values.resize(plan.tileCells());
    m_cellClass.resize(plan.tileCells());
}

void TileReader::read(qint64 colBegin, qint64 rowBegin, int cols, int rows)
{
    if (m_band->RasterIO(GF_Read, int(colBegin), int(rowBegin), cols, rows, m_values.data(), cols,
                         rows, m_type, 0, 0, nullptr) != CE_None) {
        fail(QStringLiteral("Land cover raster cannot be read at row %1: %2")
                 .arg(rowBegin)
                 .arg(takeGdalError()));
    }
    m_cells = size_t(cols) * size_t(rows);
}

void TileReader::classify(const ClassTable& classes, const std::vector<int32_t>& table)
{
    int32_t* cellClass = m_cellClass.data();
    const size_t cells = m_cells;
    withValues([&](const auto* values) {
        if (!table.empty()) {
            const qint64 lowest = classes.lowest();
            for (size_t i = 0; i < cells; ++i) {
                cellClass[i] = table[size_t(qint64(values[i]) - lowest)];
            }
            return;
        }
        const std::optional<qint64> noData = m_raster.wholeNoData();
        for (size_t i = 0; i < cells; ++i) {
            cellClass[i] = noData && qint64(values[i]) == *noData ? NoDataIndex
                                                                  : classes.map(qint64(values[i]));
        }
    });
}
