#include "analysis/outputwriter.h"

#include "analysis/analysiserror.h"
#include "analysis/bufferedfiles.h"
#include "analysis/shapefiles.h"
#include "catalog/workfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>

#include <sys/statvfs.h>

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

namespace {

// A text as an SQL literal.
QByteArray sqlText(QByteArray text)
{
    return '\'' + text.replace('\'', "''") + '\'';
}

// The output written through GDAL's driver of its format.
class GdalFileWriter : public FeatureFileWriter {
public:
    GdalFileWriter(const OutputTarget& target, OGRLayer* source, const QString& sourceFile,
                   const QString& theme, const std::vector<int>& copiedFields,
                   const std::vector<OutputField>& fields, qint64 count)
        : m_target(target), m_source(source), m_sourceFile(sourceFile), m_theme(theme),
          m_copiedFields(copiedFields), m_fields(fields), m_count(count)
    {
    }

    bool write(const QString& file, const Fill& fill) override
    {
        const QByteArray driverName = m_target.driver.toUtf8();
        GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(driverName.constData());
        if (!driver) {
            fail(QStringLiteral("No output format %1").arg(m_target.driver));
        }
        // Every format but SQLite's goes through the cache, which checks every write and
        // close (GDAL's writers of some formats do not) and spares the shapefile writer's
        // seeks; SQLite locks its files, which only real paths do.
        const QString created = gpkg() ? file : bufferedPath(file);
        takeWriteFailure();
        GdalDatasetPtr out(
            driver->Create(created.toUtf8().constData(), 0, 0, 0, GDT_Unknown, nullptr));
        if (!out) {
            failWriting(QStringLiteral("Cannot create the output %1: %2"));
        }
        OGRLayer* layer = createLayer(*out, driver);
        // One transaction where the format has them: a GeoPackage would otherwise commit, and
        // wait for the disk, once per feature.
        const bool transaction = out->StartTransaction() == OGRERR_NONE;
        takeGdalError();
        copyFeatures(layer, fill);
        if (transaction && out->CommitTransaction() != OGRERR_NONE) {
            failWriting();
        }
        out.reset(); // closing writes what is still held
        failWriting({}, false);
        return true;
    }

    // Replaces the output's layer in an existing GeoPackage in place, in one transaction:
    // its other layers stay, and another program that has the file open (in WAL mode
    // above all) keeps a sound database. A failure leaves the file as it was.
    void writeInPlace(const Fill& fill)
    {
        const char* const allowed[] = {"GPKG", nullptr};
        GdalDatasetPtr out(GDALDataset::Open(m_target.path.toUtf8().constData(),
                                             GDAL_OF_VECTOR | GDAL_OF_UPDATE, allowed, nullptr,
                                             nullptr));
        if (!out) {
            fail(QStringLiteral("Cannot write the output %1: the file there is not a GeoPackage")
                     .arg(m_target.path));
        }
        takeGdalError();
        if (out->StartTransaction() != OGRERR_NONE) {
            failWriting();
        }
        // SQLite undoes the whole transaction when the disk fills, and GDAL's later statements
        // would then change the file one by one: the new layer is written under a name of its
        // own, and the earlier one dropped only once the new one is whole.
        const QByteArray name = m_target.layerName().toUtf8();
        QByteArray temporary;
        try {
            while (temporary.isEmpty() || out->GetLayerByName(temporary.constData())) {
                temporary = name + "_tarn_" +
                            QByteArray::number(QRandomGenerator::global()->generate(), 36);
            }
            const auto check = [&](bool ok) {
                const QString problem = takeFirstGdalError();
                if (!ok || !problem.isEmpty()) {
                    failWriting({}, true, problem);
                }
            };
            OGRLayer* layer =
                createLayer(*out, GetGDALDriverManager()->GetDriverByName("GPKG"), temporary);
            // A theme of this same file is read through this connection: another one's read
            // lock keeps SQLite from writing out the transaction's pages as it grows, and the
            // writer would wait out SQLite's busy handler each time, for a reader it runs.
            OGRLayer* source = m_source;
            if (QFileInfo(m_sourceFile).canonicalFilePath() ==
                QFileInfo(m_target.path).canonicalFilePath()) {
                source = out->GetLayerByName(m_source->GetName());
                check(source != nullptr);
            }
            copyFeatures(layer, fill, true, source);
            // The spatial index and the layer's extent inside the transaction: GDAL would make
            // the index when it closes the file, outside it.
            out->ReleaseResultSet(out->ExecuteSQL("SELECT CreateSpatialIndex(" +
                                                      sqlText(temporary) + ", " +
                                                      sqlText(layer->GetGeometryColumn()) + ")",
                                                  nullptr, nullptr));
            check(layer->SyncToDisk() == OGRERR_NONE);
            for (int i = 0; i < out->GetLayerCount(); ++i) {
                if (EQUAL(out->GetLayer(i)->GetName(), name.constData())) {
                    check(out->DeleteLayer(i) == OGRERR_NONE);
                }
            }
            check(layer->Rename(name.constData()) == OGRERR_NONE);
            check(out->CommitTransaction() == OGRERR_NONE);
        } catch (...) {
            out->RollbackTransaction();
            removeStrays(*out, temporary);
            takeGdalError();
            throw;
        }
        out.reset();
        failWriting({}, false);
    }

    // Removes what GDAL committed of the layer temporary after SQLite had undone the rest.
    static void removeStrays(GDALDataset& out, const QByteArray& temporary)
    {
        if (temporary.isEmpty()) {
            return;
        }
        const auto run = [&](const QByteArray& sql) {
            out.ReleaseResultSet(out.ExecuteSQL(sql.constData(), nullptr, nullptr));
        };
        // Virtual tables (the spatial index) first: they drop their own shadow tables.
        for (const char* type : {"table' AND sql LIKE 'CREATE VIRTUAL%", "trigger", "table"}) {
            QByteArrayList names;
            OGRLayer* found =
                out.ExecuteSQL("SELECT name FROM sqlite_master WHERE instr(name, " +
                                   sqlText(temporary) + ") > 0 AND type = '" + type + "'",
                               nullptr, nullptr);
            while (OGRFeature* f = found ? found->GetNextFeature() : nullptr) {
                names << f->GetFieldAsString(0);
                OGRFeature::DestroyFeature(f);
            }
            out.ReleaseResultSet(found);
            for (const QByteArray& n : names) {
                const QByteArray quoted = '"' + QByteArray(n).replace('"', "\"\"") + '"';
                run(QByteArray(type).startsWith("trigger") ? "DROP TRIGGER IF EXISTS " + quoted
                                                           : "DROP TABLE IF EXISTS " + quoted);
            }
        }
        for (const char* table :
             {"gpkg_contents", "gpkg_geometry_columns", "gpkg_extensions", "gpkg_ogr_contents"}) {
            run(QByteArray("DELETE FROM ") + table + " WHERE table_name = " + sqlText(temporary));
        }
    }

    // Reads the written file back through GDAL: a driver that lost features, or wrote a
    // file that does not parse, fails the run before the file replaces anything.
    void verify(const QString& file) const
    {
        const char* const allowed[] = {
            m_target.driver == QLatin1String("ESRI Shapefile") ? "ESRI Shapefile" : nullptr,
            nullptr};
        takeGdalError();
        GdalDatasetPtr in(GDALDataset::Open(file.toUtf8().constData(),
                                            GDAL_OF_VECTOR | GDAL_OF_READONLY,
                                            allowed[0] ? allowed : nullptr, nullptr, nullptr));
        OGRLayer* layer = !in ? nullptr
                          : in->GetLayerCount() == 1
                              ? in->GetLayer(0)
                              : in->GetLayerByName(m_target.layerName().toUtf8().constData());
        qint64 n = 0;
        QString problem = takeGdalError();
        while (layer && problem.isEmpty()) {
            FeaturePtr feature{layer->GetNextFeature()};
            problem = takeGdalError();
            if (!feature) {
                break;
            }
            ++n;
        }
        if (!layer || n != m_count || !problem.isEmpty()) {
            fail(QStringLiteral("Cannot write the output %1: the file written does not read back "
                                "whole (%2 of %3 features)%4")
                     .arg(m_target.path)
                     .arg(n)
                     .arg(m_count)
                     .arg(problem.isEmpty() ? QString() : QStringLiteral(": ") + problem));
        }
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

    bool gpkg() const { return m_target.driver == QLatin1String("GPKG"); }

    // Fails with the disk's message where a write failed, else with GDAL's (or problem, one
    // taken already); with always false only when there is a message.
    void failWriting(const QString& pattern = {}, bool always = true, QString problem = {}) const
    {
        const QString disk = takeWriteFailure();
        const QString gdal = takeFirstGdalError();
        if (!disk.isEmpty()) {
            problem = disk;
        } else if (problem.isEmpty()) {
            problem = gdal;
        }
        if (problem.isEmpty() && !always) {
            return;
        }
        // GDAL's GeoPackage writer can lose SQLite's "disk is full" behind a later message.
        struct statvfs fs;
        if (gpkg() && !problem.contains(QLatin1String("full")) &&
            ::statvfs(QFile::encodeName(QFileInfo(m_target.path).absolutePath()).constData(),
                      &fs) == 0 &&
            qint64(fs.f_bavail) * qint64(fs.f_frsize) < (qint64(1) << 20)) {
            problem += QStringLiteral(" (the disk is full: %1 KB free)")
                           .arg(qint64(fs.f_bavail) * qint64(fs.f_frsize) / 1024);
        }
        QString text =
            pattern.isEmpty() ? QStringLiteral("Cannot write the output %1: %2") : pattern;
        if (gpkg() && problem.contains(QLatin1String("database is locked"))) {
            text = QStringLiteral("Cannot write the output %1: another program is changing the "
                                  "GeoPackage (%2); run again when it is done");
        }
        fail(text.arg(m_target.path, problem));
    }

    OGRLayer* createLayer(GDALDataset& out, GDALDriver* driver, QByteArray name = {}) const
    {
        if (name.isEmpty()) {
            name = m_target.layerName().toUtf8();
        }
        char** options = nullptr;
        if (m_target.shapefile()) {
            options = CSLSetNameValue(options, "ENCODING", "UTF-8");
        }
        if (m_target.attributesOnly()) {
            options = CSLSetNameValue(options, "CREATE_CSVT", "YES"); // counts read as numbers
        }
        if (name != m_target.layerName().toUtf8()) {
            options = CSLSetNameValue(options, "SPATIAL_INDEX", "NO"); // made in the transaction
        }
        if (m_target.driver == QLatin1String("FlatGeobuf")) {
            options = CSLSetNameValue(options, "SPATIAL_INDEX", "NO"); // it would reorder features
        }
        OGRLayer* layer = out.CreateLayer(
            name.constData(), m_target.attributesOnly() ? nullptr : m_source->GetSpatialRef(),
            geometryType(), options);
        CSLDestroy(options);
        if (!layer) {
            failWriting(QStringLiteral("Cannot create the output %1: %2"));
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
                failWriting(QStringLiteral("Cannot create field ") +
                            QString::fromUtf8(f->GetNameRef()) +
                            QStringLiteral(" in the output %1: %2"));
            }
        }
        return layer;
    }

    // strict: every GDAL error fails at once, also one the writer does not report.
    void copyFeatures(OGRLayer* layer, const Fill& fill, bool strict = false,
                      OGRLayer* source = nullptr) const
    {
        source = source ? source : m_source;
        const bool toMulti = geometryType() == wkbMultiPolygon;
        takeGdalError();
        readOnlyFields(source, m_copiedFields);
        source->ResetReading();
        qint64 n = 0;
        const int copied = int(m_copiedFields.size());
        std::vector<double> values(m_fields.size());
        while (FeaturePtr in = nextFeature(source, m_theme)) {
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
            const bool created = layer->CreateFeature(feature.get()) == OGRERR_NONE;
            const QString problem = strict ? takeFirstGdalError() : QString();
            if (!created || !problem.isEmpty()) {
                failWriting({}, true, problem);
            }
        }
        if (n != m_count) {
            fail(QStringLiteral("Theme %1 changed during the run").arg(m_theme));
        }
    }

    const OutputTarget& m_target;
    OGRLayer* const m_source;
    const QString& m_sourceFile;
    const QString& m_theme;
    const std::vector<int>& m_copiedFields;
    const std::vector<OutputField>& m_fields;
    const qint64 m_count;
};

} // namespace

void OutputWriter::write(const Fill& fill, qint64 count)
{
    GdalFileWriter gdal(m_target, m_source, m_sourceFile, m_theme, m_copiedFields, m_fields, count);
    const QFileInfo outInfo(m_target.path);
    // Never a rename over a database another program may hold open.
    if (m_target.driver == QLatin1String("GPKG") && (outInfo.exists() || outInfo.isSymLink())) {
        gdal.writeInPlace(fill);
        return;
    }
    QString error;
    const std::unique_ptr<WorkFolder> work = WorkFolder::create(m_target.path, &error);
    if (!work) {
        fail(error);
    }
    try {
        const QString file = work->newFile(outInfo.fileName());
        bool copied = false;
        if (m_target.shapefile()) {
            auto copy =
                ShapefileCopy::prepare(m_sourceFile, m_source->GetLayerDefn()->GetFieldCount(),
                                       m_copiedFields, m_fields, count, m_target.path);
            copied = copy && copy->write(file, fill);
            if (!copied) {
                for (const QString& part : shapefileParts(file)) {
                    QFile::remove(part);
                }
            }
        }
        if (!copied) {
            gdal.write(file, fill);
        }
        bool subfolders = false;
        const QStringList written = work->newFiles(&subfolders);
        // Formats that write a folder (a file geodatabase) cannot be put in place as files.
        if (written.isEmpty() || subfolders) {
            fail(QStringLiteral(
                     "Cannot write the output %1: the format %2 writes a folder, not files")
                     .arg(m_target.path, m_target.driver));
        }
        // The parts a driver that failed without saying so may have left out. (A copy takes
        // the theme's .prj where it has one.)
        QStringList needed;
        for (const QString& part : m_target.files()) {
            const QString suffix = QFileInfo(part).suffix();
            if (!QStringList{"qix", "sbn", "sbx", "prj"}.contains(suffix) ||
                (suffix == QLatin1String("prj") && !copied && m_source->GetSpatialRef())) {
                needed << QFileInfo(part).fileName();
            }
        }
        for (const QString& part : needed) {
            if (!written.contains(part)) {
                fail(QStringLiteral("Cannot write the output %1: its part %2 was not written")
                         .arg(m_target.path, work->path() + QLatin1String("/new/") + part));
            }
        }
        if (!copied) {
            gdal.verify(file);
        }
        QStringList stale;
        for (const QString& path : m_target.files()) {
            stale << QFileInfo(path).fileName();
        }
        if (!work->swap(written, stale, m_target.driver == QLatin1String("GPKG"), &error)) {
            fail(error);
        }
    } catch (AnalysisError& e) {
        e.message = work->readable(e.message);
        throw;
    }
}
