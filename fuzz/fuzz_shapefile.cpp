// The shapefile polygon reader on any .shp, .shx and .dbf: it reads what GDAL reads. The
// input holds the three files: the lengths of the first two (32-bit, little-endian), then
// the .shp, the .shx and the rest, the .dbf.
#include "analysis/analysiserror.h"
#include "analysis/outputwriter.h"
#include "analysis/shapefiles.h"
#include "fuzzinput.h"

#include <QtEndian>

namespace {

// Every span of every polygon on a grid of 64 x 64 cells, as text.
QString spansOf(const PolygonStore& store)
{
    QString text;
    std::vector<CellSpan> spans;
    std::vector<double> weights;
    for (size_t i = 0; i < store.size(); ++i) {
        spans.clear();
        store.spans(i, Coverage::Centre, 0, 64, 64, spans, weights);
        text += QStringLiteral("%1:").arg(i);
        for (const CellSpan& s : spans) {
            text += QStringLiteral(" %1/%2-%3").arg(s.row).arg(s.begin).arg(s.end);
        }
        text += QLatin1Char('\n');
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

    GdalDatasetPtr dataset = openVector(shp);
    OGRLayer* layer = dataset && dataset->GetLayerCount() == 1 ? dataset->GetLayer(0) : nullptr;
    if (!layer) {
        return 0;
    }
    const double identity[6] = {0, 1, 0, 0, 0, 1};
    PolygonStore direct;
    bool read = false;
    try {
        read = readShapefilePolygons(shp, layer, QStringLiteral("t"), identity, Coverage::Centre,
                                     direct);
    } catch (const AnalysisError&) {
        return 0; // refused with a message
    }
    if (!read) {
        if (direct.size() != 0) {
            fuzzFailure("a reader that gave up kept polygons");
        }
        return 0;
    }
    PolygonStore viaGdal;
    try {
        layer->ResetReading();
        while (FeaturePtr feature = nextFeature(layer, QStringLiteral("t"))) {
            viaGdal.add(feature->GetGeometryRef(), identity, Coverage::Centre);
        }
    } catch (const AnalysisError&) {
        return 0; // GDAL's sequential reading stopped where records were read one by one
    }
    const QString a = spansOf(direct);
    const QString b = spansOf(viaGdal);
    if (a != b) {
        fuzzFailure("the polygons differ from GDAL's", a + QStringLiteral("--\n") + b);
    }
    return 0;
}
