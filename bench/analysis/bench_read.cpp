// The floor for the analysis benchmark: reads band 1 of a raster whole, block row by block
// row in its own cell type, on N threads (each its own handle, rows shared out in turn),
// and prints the seconds taken. The block cache is the analysis' (8 MB a thread).
#include <gdal_priv.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fputs("usage: bench_read RASTER [THREADS]\n", stderr);
        return 2;
    }
    const int threads = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
    GDALAllRegister();
    // The block cache tarn-analyze uses: each block is read once either way.
    if (!CPLGetConfigOption("GDAL_CACHEMAX", nullptr)) {
        GDALSetCacheMax64((GIntBig(8) << 20) * threads);
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    bool failed = false;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            GDALDataset* ds = GDALDataset::Open(argv[1], GDAL_OF_RASTER | GDAL_OF_READONLY);
            if (!ds) {
                failed = true;
                return;
            }
            GDALRasterBand* band = ds->GetRasterBand(1);
            int bw = 0;
            int bh = 0;
            band->GetBlockSize(&bw, &bh);
            const int width = ds->GetRasterXSize();
            const int height = ds->GetRasterYSize();
            const GDALDataType type = band->GetRasterDataType();
            std::vector<unsigned char> buffer(size_t(width) * size_t(bh) *
                                              size_t(GDALGetDataTypeSizeBytes(type)));
            for (int row = t * bh; row < height; row += threads * bh) {
                const int rows = std::min(bh, height - row);
                if (band->RasterIO(GF_Read, 0, row, width, rows, buffer.data(), width, rows, type,
                                   0, 0, nullptr) != CE_None) {
                    failed = true;
                }
            }
            GDALClose(ds);
        });
    }
    for (std::thread& t : pool) {
        t.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f\n", seconds);
    return failed ? 1 : 0;
}
