// The shapefile polygon reader on any .shp, .shx and .dbf: it reads what GDAL reads. The
// input holds the three files: the lengths of the first two (32-bit, little-endian), then
// the .shp, the .shx and the rest, the .dbf.
#include "analysis/analysiserror.h"
#include "analysis/outputwriter.h"
#include "analysis/shapefiles.h"
#include "fuzzinput.h"

#include <QtEndian>

#include <functional>

namespace {

// Every span of every polygon on a grid of 64 x 64 cells under a rule, with its weights, as
// text.
QByteArray spansOf(const PolygonStore& store, Coverage rule)
{
    QByteArray text;
    CellSpans spans;
    std::vector<double> weights;
    for (size_t i = 0; i < store.size(); ++i) {
        spans.clear();
        weights.clear();
        store.spans(i, rule, 0, 64, 64, spans, weights);
        text += QByteArray::number(qulonglong(i)) + ':';
        for (const CellSpan& s : spans) {
            text += ' ' + QByteArray::number(s.row) + '/' + QByteArray::number(s.begin) + '-' +
                    QByteArray::number(s.end);
        }
        for (double w : weights) {
            text += ' ' + QByteArray::number(w, 'g', 17);
        }
        text += '\n';
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = fuzzBytes(data, size);
    if (input.size() < 8) {
        return 0;
    }
    const quint32 shpSize = qFromLittleEndian<quint32>(input.constData());
    const quint32 shxSize = qFromLittleEndian<quint32>(input.constData() + 4);
    if (shpSize > quint32(input.size() - 8) || shxSize > quint32(input.size() - 8) - shpSize) {
        return 0;
    }
    const QString shp = writeFuzzFile(input.mid(8, int(shpSize)), "t.shp");
    writeFuzzFile(input.mid(8 + int(shpSize), int(shxSize)), "t.shx");
    writeFuzzFile(input.mid(8 + int(shpSize + shxSize)), "t.dbf");

    // Both ways end in spans or in a refusal, under each rule, with points kept in the file
    // or not; a way that refuses what the other reads, or reads it otherwise, is a fault.
    const double identity[6] = {0, 1, 0, 0, 0, 1};
    for (int run = 0; run < 4; ++run) {
        const Coverage rule = run % 2 ? Coverage::Exact : Coverage::Centre;
        const bool keepInFile = run >= 2;
        // Each run opens the theme afresh, with GDAL's error state clear: a message left
        // before would read as this one's.
        CPLErrorReset();
        takeGdalError();
        // The analysis reads a theme directly only when GDAL opens it as a shapefile.
        initGdal();
        const char* const shapefiles[] = {"ESRI Shapefile", nullptr};
        GdalDatasetPtr dataset(GDALDataset::Open(shp.toUtf8().constData(),
                                                 GDAL_OF_VECTOR | GDAL_OF_READONLY, shapefiles));
        OGRLayer* layer = dataset && dataset->GetLayerCount() == 1 ? dataset->GetLayer(0) : nullptr;
        if (!layer) {
            takeGdalError();
            return 0;
        }
        readOnlyFields(layer, {}); // as the analysis reads polygons
        const auto outcome = [&](const std::function<void(PolygonStore&)>& read) {
            PolygonStore store;
            try {
                read(store);
            } catch (const AnalysisError& e) {
                return "refused: " + e.message.toUtf8();
            }
            return spansOf(store, rule);
        };
        bool declined = false;
        std::vector<qint64> nonFinite;
        const QByteArray direct = outcome([&](PolygonStore& store) {
            declined = !readShapefilePolygons(shp, layer, QStringLiteral("t"), {{identity, &store}},
                                              rule, nonFinite, keepInFile);
            if (declined && store.size() != 0) {
                fuzzFailure("a reader that gave up kept polygons");
            }
        });
        if (declined) {
            return 0; // GDAL reads the theme
        }
        CPLErrorReset();
        takeGdalError();
        layer->ResetReading();
        std::vector<qint64> gdalNonFinite;
        const QByteArray viaGdal = outcome([&](PolygonStore& store) {
            while (FeaturePtr feature = nextFeature(layer, QStringLiteral("t"))) {
                if (!store.add(feature->GetGeometryRef(), identity, rule)) {
                    gdalNonFinite.push_back(feature->GetFID());
                }
            }
        });
        const bool directRefused = direct.startsWith("refused: ");
        const bool gdalRefused = viaGdal.startsWith("refused: ");
        if (directRefused != gdalRefused ||
            (!directRefused && (direct != viaGdal || nonFinite != gdalNonFinite))) {
            fuzzFailure("the polygons differ from GDAL's",
                        QString::fromUtf8(direct + "--\n" + viaGdal));
        }
    }
    return 0;
}
