#include "analysis/outputwriter.h"

#include "analysis/analysiserror.h"
#include "analysis/bufferedfiles.h"
#include "analysis/shapefiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace {

QString hiddenName(const QString& what, const QString& name)
{
    return QStringLiteral(".tarn-%1-%2%3").arg(QCoreApplication::applicationPid()).arg(what, name);
}

} // namespace

FeaturePtr nextFeature(OGRLayer* layer, const QString& theme)
{
    FeaturePtr feature{layer->GetNextFeature()};
    const QString problem = takeGdalError();
    if (!problem.isEmpty()) {
        fail(QStringLiteral("Theme %1 cannot be read: %2").arg(theme, problem));
    }
    return feature;
}

void readOnlyFields(OGRLayer* layer, const std::vector<int>& fields)
{
    OGRFeatureDefn* defn = layer->GetLayerDefn();
    std::vector<const char*> names;
    for (int i = 0; i < defn->GetFieldCount(); ++i) {
        if (std::find(fields.begin(), fields.end(), i) == fields.end()) {
            names.push_back(defn->GetFieldDefn(i)->GetNameRef());
        }
    }
    names.push_back("OGR_STYLE");
    names.push_back(nullptr);
    layer->SetIgnoredFields(names.data());
}

OutputWriter::OutputWriter(OutputTarget target, OGRLayer* source, QString sourceFile, QString theme,
                           std::vector<int> copiedFields, std::vector<OutputField> fields)
    : m_target(std::move(target)), m_source(source), m_sourceFile(std::move(sourceFile)),
      m_theme(std::move(theme)), m_copiedFields(std::move(copiedFields)),
      m_fields(std::move(fields))
{
}

void OutputWriter::write(const Fill& fill, qint64 count)
{
    const QFileInfo outInfo(m_target.path);
    const QDir outDir = outInfo.absoluteDir();
    // A hidden folder beside the output holds it until it is complete.
    const QString tempDir = outDir.filePath(hiddenName({}, outInfo.fileName()));
    QDir(tempDir).removeRecursively();
    if (!outDir.mkdir(QFileInfo(tempDir).fileName())) {
        fail(QStringLiteral("Cannot write the output %1: cannot create %2")
                 .arg(m_target.path, tempDir));
    }
    try {
        const bool copied = writeFile(QDir(tempDir).filePath(outInfo.fileName()), fill, count);
        const QStringList written = QDir(tempDir).entryList(QDir::Files | QDir::Hidden);
        // Formats that write a folder (a file geodatabase) cannot be put in place as files.
        if (written.isEmpty() ||
            !QDir(tempDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty()) {
            fail(QStringLiteral(
                     "Cannot write the output %1: the format %2 writes a folder, not files")
                     .arg(m_target.path, m_target.driver));
        }
        QStringList stale;
        for (const QString& path : m_target.files()) {
            stale << QFileInfo(path).fileName();
        }
        if (m_target.shapefile()) {
            // The parts every shapefile needs, for a driver that failed without saying so.
            // (A copy takes the theme's .prj where it has one.)
            QStringList needed{"shp", "shx", "dbf", "cpg"};
            if (!copied && m_source->GetSpatialRef()) {
                needed << QStringLiteral("prj");
            }
            for (const QString& suffix : needed) {
                const QString part = outInfo.completeBaseName() + QLatin1Char('.') + suffix;
                if (!written.contains(part)) {
                    fail(QStringLiteral("Cannot write the output %1: its part %2 was not written")
                             .arg(m_target.path, QDir(tempDir).filePath(part)));
                }
            }
        }
        replaceFiles(tempDir, written, outDir.path(), stale, m_target.path);
    } catch (...) {
        QDir(tempDir).removeRecursively();
        throw;
    }
    QDir(tempDir).removeRecursively();
}

namespace {

// The output written through GDAL's driver of its format.
class GdalFileWriter : public FeatureFileWriter {
public:
    GdalFileWriter(const OutputTarget& target, OGRLayer* source, const QString& theme,
                   const std::vector<int>& copiedFields, const std::vector<OutputField>& fields,
                   qint64 count)
        : m_target(target), m_source(source), m_theme(theme), m_copiedFields(copiedFields),
          m_fields(fields), m_count(count)
    {
    }

    bool write(const QString& file, const Fill& fill) override
    {
        const QByteArray driverName = m_target.driver.toUtf8();
        GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(driverName.constData());
        if (!driver) {
            fail(QStringLiteral("No output format %1").arg(m_target.driver));
        }
        GdalDatasetPtr out = create(file, driver);
        OGRLayer* layer = createLayer(*out, driver);
        copyFeatures(*out, layer, fill);
        out.reset(); // closing writes what is still held
        const QString problem = takeGdalError();
        if (!problem.isEmpty()) {
            fail(QStringLiteral("Cannot write the output %1: %2").arg(m_target.path, problem));
        }
        return true;
    }

private:
    // Shapefiles take polygons and multipolygons as one type; other formats get
    // multipolygons throughout, when the theme holds polygons.
    OGRwkbGeometryType geometryType() const
    {
        const auto sourceType = wkbFlatten(m_source->GetGeomType());
        const bool polygons = sourceType == wkbPolygon || sourceType == wkbMultiPolygon;
        return m_target.attributesOnly() ? wkbNone
               : m_target.shapefile()    ? wkbPolygon
               : polygons                ? wkbMultiPolygon
                                         : wkbUnknown;
    }

    GdalDatasetPtr create(const QString& file, GDALDriver* driver) const
    {
        GdalDatasetPtr out;
        const QFileInfo earlier(m_target.path);
        if (m_target.driver == QLatin1String("GPKG") && earlier.isFile()) {
            // Other layers of an earlier GeoPackage stay: the work is done on a copy of it.
            if (!QFile::copy(m_target.path, file)) {
                fail(QStringLiteral("Cannot write the output %1: it cannot be copied")
                         .arg(m_target.path));
            }
            const char* const allowed[] = {"GPKG", nullptr};
            out.reset(GDALDataset::Open(file.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_UPDATE,
                                        allowed, nullptr, nullptr));
            if (!out) {
                fail(
                    QStringLiteral("Cannot write the output %1: the file there is not a GeoPackage")
                        .arg(m_target.path));
            }
            const QByteArray name = m_target.layerName().toUtf8();
            for (int i = 0; i < out->GetLayerCount(); ++i) {
                if (EQUAL(out->GetLayer(i)->GetName(), name.constData()) &&
                    out->DeleteLayer(i) != OGRERR_NONE) {
                    fail(QStringLiteral("Cannot replace the layer %1 in %2: %3")
                             .arg(m_target.layerName(), m_target.path, takeGdalError()));
                }
            }
        } else {
            // The shapefile writer seeks back and forth once per feature: its files are cached.
            const QString created = m_target.shapefile() ? bufferedPath(file) : file;
            out.reset(driver->Create(created.toUtf8().constData(), 0, 0, 0, GDT_Unknown, nullptr));
        }
        if (!out) {
            fail(QStringLiteral("Cannot create the output %1: %2")
                     .arg(m_target.path, takeGdalError()));
        }
        return out;
    }

    OGRLayer* createLayer(GDALDataset& out, GDALDriver* driver) const
    {
        char** options = nullptr;
        if (m_target.shapefile()) {
            options = CSLSetNameValue(options, "ENCODING", "UTF-8");
        }
        if (m_target.driver == QLatin1String("FlatGeobuf")) {
            options = CSLSetNameValue(options, "SPATIAL_INDEX", "NO"); // it would reorder features
        }
        OGRLayer* layer =
            out.CreateLayer(m_target.layerName().toUtf8().constData(),
                            m_target.attributesOnly() ? nullptr : m_source->GetSpatialRef(),
                            geometryType(), options);
        CSLDestroy(options);
        if (!layer) {
            fail(QStringLiteral("Cannot create the output %1: %2")
                     .arg(m_target.path, takeGdalError()));
        }
        OGRFeatureDefn* sourceDefn = m_source->GetLayerDefn();
        std::vector<std::unique_ptr<OGRFieldDefn>> defns;
        for (int index : m_copiedFields) {
            defns.push_back(std::make_unique<OGRFieldDefn>(sourceDefn->GetFieldDefn(index)));
        }
        // Counts go to real fields where a format has no 64-bit integers.
        const char* types = driver->GetMetadataItem(GDAL_DMD_CREATIONFIELDDATATYPES);
        const bool integer64 = !types || strstr(types, "Integer64");
        for (const OutputField& f : m_fields) {
            const OGRFieldType type = f.type == OFTInteger64 && !integer64 ? OFTReal : f.type;
            defns.push_back(std::make_unique<OGRFieldDefn>(f.name.constData(), type));
            if (m_target.shapefile()) {
                defns.back()->SetWidth(f.width);
                defns.back()->SetPrecision(f.precision);
            }
        }
        for (const auto& f : defns) {
            if (layer->CreateField(f.get()) != OGRERR_NONE) {
                fail(QStringLiteral("Cannot create field %1 in the output: %2")
                         .arg(QString::fromUtf8(f->GetNameRef()), takeGdalError()));
            }
        }
        return layer;
    }

    void copyFeatures(GDALDataset& out, OGRLayer* layer, const Fill& fill) const
    {
        // One transaction where the format has them: a GeoPackage would otherwise commit, and
        // wait for the disk, once per feature.
        const bool transaction = out.StartTransaction() == OGRERR_NONE;
        const bool toMulti = geometryType() == wkbMultiPolygon;
        takeGdalError();
        readOnlyFields(m_source, m_copiedFields);
        m_source->ResetReading();
        qint64 n = 0;
        const int copied = int(m_copiedFields.size());
        std::vector<double> values(m_fields.size());
        while (FeaturePtr in = nextFeature(m_source, m_theme)) {
            if (n >= m_count) {
                fail(QStringLiteral("Theme %1 changed during the run").arg(m_theme));
            }
            FeaturePtr feature{OGRFeature::CreateFeature(layer->GetLayerDefn())};
            if (!m_target.attributesOnly() && in->GetGeometryRef()) {
                OGRGeometry* geometry = in->StealGeometry();
                feature->SetGeometryDirectly(
                    toMulti ? OGRGeometryFactory::forceToMultiPolygon(geometry) : geometry);
            }
            for (int i = 0; i < copied; ++i) {
                feature->SetField(i, in->GetRawFieldRef(m_copiedFields[size_t(i)]));
            }
            fill(n++, values.data());
            for (size_t i = 0; i < m_fields.size(); ++i) {
                const int field = copied + int(i);
                if (m_fields[i].type == OFTInteger64) {
                    feature->SetField(field, GIntBig(values[i]));
                } else {
                    feature->SetField(field, values[i]);
                }
            }
            if (layer->CreateFeature(feature.get()) != OGRERR_NONE) {
                fail(QStringLiteral("Cannot write the output %1: %2")
                         .arg(m_target.path, takeGdalError()));
            }
        }
        if (n != m_count) {
            fail(QStringLiteral("Theme %1 changed during the run").arg(m_theme));
        }
        if (transaction && out.CommitTransaction() != OGRERR_NONE) {
            fail(QStringLiteral("Cannot write the output %1: %2")
                     .arg(m_target.path, takeGdalError()));
        }
    }

    const OutputTarget& m_target;
    OGRLayer* const m_source;
    const QString& m_theme;
    const std::vector<int>& m_copiedFields;
    const std::vector<OutputField>& m_fields;
    const qint64 m_count;
};

} // namespace

bool OutputWriter::writeFile(const QString& file, const Fill& fill, qint64 count)
{
    if (m_target.shapefile()) {
        auto copy = ShapefileCopy::prepare(m_sourceFile, m_source->GetLayerDefn()->GetFieldCount(),
                                           m_copiedFields, m_fields, count, m_target.path);
        if (copy && copy->write(file, fill)) {
            return true;
        }
        for (const QString& part : shapefileParts(file)) {
            QFile::remove(part);
        }
    }
    GdalFileWriter(m_target, m_source, m_theme, m_copiedFields, m_fields, count).write(file, fill);
    return false;
}

void replaceFiles(const QString& from, const QStringList& names, const QString& to,
                  const QStringList& stale, const QString& outPath)
{
    QStringList all = names;
    for (const QString& name : stale) {
        if (!all.contains(name)) {
            all << name;
        }
    }
    const QDir fromDir(from);
    const QDir toDir(to);
    for (const QString& name : all) {
        const QFileInfo info(toDir.filePath(name));
        if ((info.exists() || info.isSymLink()) && !info.isFile()) {
            fail(QStringLiteral("Cannot write the output %1: %2 is in the way and is not a file")
                     .arg(outPath, info.filePath()));
        }
    }
    QStringList movedAside;
    QStringList movedIn;
    const auto undo = [&](const QString& why) {
        for (const QString& name : movedIn) {
            QFile::rename(toDir.filePath(name), fromDir.filePath(name));
        }
        for (const QString& name : movedAside) {
            QFile::rename(toDir.filePath(hiddenName(QStringLiteral("old-"), name)),
                          toDir.filePath(name));
        }
        fail(why);
    };
    for (const QString& name : all) {
        if (!QFileInfo(toDir.filePath(name)).isFile()) {
            continue;
        }
        const QString aside = toDir.filePath(hiddenName(QStringLiteral("old-"), name));
        QFile::remove(aside);
        QFile file(toDir.filePath(name));
        if (!file.rename(aside)) {
            undo(QStringLiteral("Cannot move the earlier output %1 aside: %2")
                     .arg(file.fileName(), file.errorString()));
        }
        movedAside << name;
    }
    for (const QString& name : names) {
        QFile file(fromDir.filePath(name));
        if (!file.rename(toDir.filePath(name))) {
            undo(QStringLiteral("Cannot rename %1 to %2: %3")
                     .arg(file.fileName(), toDir.filePath(name), file.errorString()));
        }
        movedIn << name;
    }
    for (const QString& name : movedAside) {
        QFile::remove(toDir.filePath(hiddenName(QStringLiteral("old-"), name)));
    }
}
