// The output against what a hostile neighbour, a full disk, a kill or another program does to it.
#include "analysis/imperviousanalysis.h"
#include "analysisdata.h"
#include "catalog/datacatalog.h"
#include "catalog/workfolder.h"
#include "model/modelparams.h"

#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <gdal_priv.h>
#include <gdal_utils.h>
#include <ogrsf_frmts.h>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cmath>

using namespace AnalysisData;

namespace {

const QStringList shapefile{"res.cpg", "res.dbf", "res.prj", "res.shp", "res.shx"};

QByteArray params(const QString& out, const QString& theme = "units", const QString& unit = "NAME",
                  const QString& lc = "landcover", int option = 1)
{
    return "VIEW#View1\r\nLCTHEME#" + lc.toUtf8() + "\r\nLCUNITS#Meters\r\nANALYSISTHEME#" +
           theme.toUtf8() + "\r\nANALYSISUNIT#" + unit.toUtf8() + "\r\nPOPDENSITY#" +
           QByteArray::number(option) + "\r\nOUTTHEME#" + out.toUtf8() +
           "\r\nOUTTHEMENAME#res\r\nCLASS#1#Grass#10#5#1\r\nCLASS#2#Road#90#80#70\r\n"
           "CLASS#3#Roofs#100#95#90\r\nCLASS#4#Lawn#20#12.5#7.5\r\n";
}

struct Run {
    ImperviousAnalysis::Result result;
    QStringList log;
};

Run analyse(const QByteArray& text, const QString& dataDir, bool classAreas = false,
            const QString& format = {})
{
    QString error;
    const auto p = ModelParams::parse(text, &error);
    const auto data = DataCatalog::scanFolder(dataDir, &error);
    if (!p || !data) {
        qFatal("%s", qPrintable(error));
    }
    Run run;
    ImperviousAnalysis analysis(*p, *data);
    analysis.setOptions({Coverage::Centre, 1, format, false, classAreas});
    analysis.setLog([&run](const QString& line) { run.log << line; });
    run.result = analysis.run();
    return run;
}

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

bool put(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Every file of a folder (not its subfolders) with its bytes.
std::map<QString, QByteArray> filesOf(const QString& dir)
{
    std::map<QString, QByteArray> files;
    for (const QString& name : QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        files[name] = bytesOf(QDir(dir).filePath(name));
    }
    return files;
}

// A GDAL dataset, opened for reading or for update (in WAL mode where SQLite journals it).
GDALDataset* open(const QString& path, bool update = false)
{
    CPLSetThreadLocalConfigOption("OGR_SQLITE_JOURNAL", update ? "WAL" : nullptr);
    GDALDataset* ds = GDALDataset::Open(path.toUtf8().constData(),
                                        GDAL_OF_VECTOR | (update ? GDAL_OF_UPDATE : 0));
    CPLSetThreadLocalConfigOption("OGR_SQLITE_JOURNAL", nullptr);
    return ds;
}

// ogr2ogr from a data file into a new file or a new layer of an existing GeoPackage.
bool translate(const QString& from, const QString& to, QStringList args)
{
    std::vector<QByteArray> bytes;
    std::vector<char*> argv;
    if (QFile::exists(to)) {
        args.prepend("-update");
    }
    for (const QString& a : args) {
        bytes.push_back(a.toUtf8());
    }
    for (QByteArray& b : bytes) {
        argv.push_back(b.data());
    }
    argv.push_back(nullptr);
    GDALVectorTranslateOptions* options = GDALVectorTranslateOptionsNew(argv.data(), nullptr);
    GDALDatasetH source =
        GDALOpenEx(from.toUtf8().constData(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
    GDALDatasetH target = QFile::exists(to)
                              ? GDALOpenEx(to.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_UPDATE,
                                           nullptr, nullptr, nullptr)
                              : nullptr;
    GDALDatasetH out = GDALVectorTranslate(target ? nullptr : to.toUtf8().constData(), target, 1,
                                           &source, options, nullptr);
    GDALVectorTranslateOptionsFree(options);
    GDALClose(source);
    GDALClose(out);
    return out != nullptr;
}

qint64 featureCount(GDALDataset* ds, const char* layer)
{
    OGRLayer* l = ds ? ds->GetLayerByName(layer) : nullptr;
    return l ? l->GetFeatureCount(TRUE) : -1;
}

// The output's result fields read back, one text per feature.
QStringList resultsOf(const QString& path)
{
    QStringList rows;
    GDALDataset* ds = open(path);
    OGRLayer* layer = ds ? ds->GetLayerByName("res") : nullptr;
    while (OGRFeature* f = layer ? layer->GetNextFeature() : nullptr) {
        rows << QStringLiteral("%1 %2 %3")
                    .arg(f->GetFieldAsDouble("LC_AREA"))
                    .arg(f->GetFieldAsDouble("IS_AREA"))
                    .arg(f->GetFieldAsInteger64("NODATA_CT"));
        OGRFeature::DestroyFeature(f);
    }
    GDALClose(ds);
    return rows;
}

// Whether the output holds the run's results, areas to the tenth a shapefile keeps.
bool holdsResults(const QString& path, const ImperviousAnalysis::Result& result)
{
    const QStringList rows = resultsOf(path);
    bool same = rows.size() == result.polygons.size();
    for (int i = 0; same && i < rows.size(); ++i) {
        const QStringList v = rows[i].split(' ');
        const auto& r = result.polygons[i];
        same = std::abs(v[0].toDouble() - r.lcArea) < 0.051 &&
               std::abs(v[1].toDouble() - r.isArea) < 0.051 && v[2].toLongLong() == r.noData;
    }
    return same;
}

qint64 deadPid()
{
    QProcess p;
    p.start("true", {});
    p.waitForStarted();
    const qint64 pid = p.processId();
    p.waitForFinished();
    return pid;
}

} // namespace

class TestOutputs : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init() { m_out = std::make_unique<QTemporaryDir>(); }

    void refusesBeforeTheCount_data();
    void refusesBeforeTheCount();
    void neverFollowsPlantedLinks();
    void recoversAnInterruptedSwap_data();
    void recoversAnInterruptedSwap();
    void writesIntoAGeoPackageInUse_data();
    void writesIntoAGeoPackageInUse();
    void writesIntoTheGeoPackageItReads();
    void keepsTheEarlierOutputOnAFullDisk_data();
    void keepsTheEarlierOutputOnAFullDisk();
    void writesTablesThatReadBack_data();
    void writesTablesThatReadBack();

private:
    QTemporaryDir m_data;
    std::unique_ptr<QTemporaryDir> m_out;
};

void TestOutputs::initTestCase()
{
    QString error;
    QVERIFY2(writeAll(m_data.path(), true, &error), qPrintable(error));
    const QDir dir(m_data.path());
    // A land cover read through a VRT.
    GDALDatasetH lc = GDALOpen(dir.filePath("landcover.tif").toUtf8().constData(), GA_ReadOnly);
    GDALDatasetH vrt = GDALBuildVRT(dir.filePath("lcvrt.vrt").toUtf8().constData(), 1, &lc, nullptr,
                                    nullptr, nullptr);
    QVERIFY(lc && vrt);
    GDALClose(vrt);
    GDALClose(lc);
    QVERIFY(
        translate(dir.filePath("units.shp"), dir.filePath("units_g.gpkg"), {"-nln", "units_g"}));
    // Identifiers named like class area fields.
    QVERIFY(translate(dir.filePath("units.shp"), dir.filePath("classnamed.shp"),
                      {"-sql", "SELECT NAME AS A_2, NAME AS a_unk FROM units"}));
    // A table whose text field is 300 wide as some writers put it (the high byte in the
    // decimal count), which GDAL reads 44 wide.
    for (const char* suffix : {".shp", ".shx", ".prj"}) {
        QVERIFY(QFile::copy(dir.filePath(QStringLiteral("units") + suffix),
                            dir.filePath(QStringLiteral("wide") + suffix)));
    }
    const int count = int(themes().at("units").size());
    QByteArray dbf(32, '\0');
    dbf[0] = 3;
    dbf[4] = char(count);
    dbf[8] = char(65);
    dbf[10] = char(301 % 256);
    dbf[11] = char(301 / 256);
    QByteArray field(32, '\0');
    field.replace(0, 4, "NAME");
    field[11] = 'C';
    field[16] = char(300 % 256);
    field[17] = char(300 / 256);
    dbf += field + "\r";
    for (int i = 0; i < count; ++i) {
        dbf += " " + QByteArray("unit ").append(QByteArray::number(i + 1)).leftJustified(300);
    }
    QVERIFY(put(dir.filePath("wide.dbf"), dbf + "\x1a"));
}

void TestOutputs::refusesBeforeTheCount_data()
{
    QTest::addColumn<QString>("lc");
    QTest::addColumn<QString>("theme");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("out"); // @DIR@: the data folder, @OUT@: the output folder
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("error");
    QTest::newRow("output over the raster a VRT land cover reads")
        << "lcvrt"
        << "units"
        << "NAME"
        << "@DIR@/landcover.tif"
        << "GeoJSON"
        << "The output @DIR@/landcover.tif would replace @DIR@/landcover.tif, a file of the land "
           "cover theme lcvrt";
    QTest::newRow("identifier named like a class area field")
        << "landcover"
        << "classnamed"
        << "A_2"
        << "@OUT@/res.shp" << QString()
        << "The analysis field A_2 has the name of the area field of class 2, which --class-areas "
           "adds; rename the field or run without --class-areas";
    QTest::newRow("identifier named like the unknown classes' field, in small letters")
        << "landcover"
        << "classnamed"
        << "a_unk"
        << "@OUT@/res.gpkg" << QString()
        << "The analysis field a_unk has the name of the area field of the classes without a "
           "CLASS line, which --class-areas adds; rename the field or run without --class-areas";
}

void TestOutputs::refusesBeforeTheCount()
{
    QFETCH(QString, lc);
    QFETCH(QString, theme);
    QFETCH(QString, unit);
    QFETCH(QString, out);
    QFETCH(QString, format);
    QFETCH(QString, error);
    const auto fill = [&](QString text) {
        return text.replace("@DIR@", m_data.path()).replace("@OUT@", m_out->path());
    };
    const QByteArray before = bytesOf(m_data.filePath("landcover.tif"));
    const Run run = analyse(params(fill(out), theme, unit, lc), m_data.path(), true, format);
    QCOMPARE(run.result.error, fill(error));
    QCOMPARE(run.log.filter("Land cover").size(), 0); // nothing counted
    QCOMPARE(bytesOf(m_data.filePath("landcover.tif")), before);
    QCOMPARE(QDir(m_out->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

// Another user who can write the output's folder plants links to a victim folder under the
// names the work folder would take: the run uses none of them and removes none.
void TestOutputs::neverFollowsPlantedLinks()
{
    QTemporaryDir victim;
    QVERIFY(put(victim.filePath("precious"), "kept"));
    const QDir out(m_out->path());
    QStringList planted;
    for (qint64 pid = QCoreApplication::applicationPid(); planted.size() < 60; ++pid) {
        for (const char* name :
             {".tarn-%1-res.shp", ".tarn-%1-old-res.shp", ".tarn-%1-old-res.dbf"}) {
            planted << QString(name).arg(pid);
            QVERIFY(QFile::link(victim.path(), out.filePath(planted.last())));
        }
    }
    const Run run = analyse(params(out.filePath("res.shp")), m_data.path());
    QVERIFY2(run.result.ok, qPrintable(run.result.error));
    QCOMPARE(filesOf(victim.path()), (std::map<QString, QByteArray>{{"precious", "kept"}}));
    planted << shapefile;
    planted.sort();
    QCOMPARE(out.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             planted);
}

void TestOutputs::recoversAnInterruptedSwap_data()
{
    QTest::addColumn<QString>("owner");          // dead, running, other output
    QTest::addColumn<QStringList>("asideNames"); // earlier files moved into old/
    QTest::addColumn<QStringList>("inNames");    // new files moved into place
    QTest::addColumn<bool>("swapBegun");
    QTest::addColumn<QString>("found"); // what the output's folder then holds: earlier, new, aside
    QTest::addColumn<QString>("log");
    QTest::newRow("stopped before the swap")
        << "dead" << QStringList() << QStringList() << false << "earlier" << QString();
    QTest::newRow("stopped with the earlier files aside")
        << "dead" << shapefile << QStringList() << true << "earlier"
        << "the earlier files are back";
    QTest::newRow("stopped with part of the new files in place")
        << "dead" << shapefile << QStringList{"res.shp", "res.shx"} << true << "earlier"
        << "the earlier files are back";
    QTest::newRow("stopped with the new files in place")
        << "dead" << shapefile << shapefile << true << "new"
        << "its new files were all in place and are kept";
    QTest::newRow("a run still under way is left alone")
        << "running" << shapefile << QStringList() << true << "aside" << QString();
    QTest::newRow("another output's work folder is left alone")
        << "other output" << shapefile << QStringList() << true << "aside" << QString();
    QTest::newRow("found by the next run, which then writes its own")
        << "next run" << shapefile << QStringList{"res.dbf"} << true << "next run"
        << "the earlier files are back";
}

// A run killed while it puts its files in place (written as a run writes it): the next run,
// or the host that stopped it, puts the earlier files back or finishes the new set.
void TestOutputs::recoversAnInterruptedSwap()
{
    QFETCH(QString, owner);
    QFETCH(QStringList, asideNames);
    QFETCH(QStringList, inNames);
    QFETCH(bool, swapBegun);
    QFETCH(QString, found);
    QFETCH(QString, log);
    const QDir out(m_out->path());
    const qint64 pid = owner == "running" ? qint64(::getppid()) : deadPid();
    const QDir work(out.filePath(QStringLiteral(".tarn-%1-Ab12Cd").arg(pid)));
    QVERIFY(work.mkpath("new") && work.mkpath("old"));
    QVERIFY(put(work.filePath("output"), owner == "other output" ? "other.shp" : "res.shp"));
    for (const QString& name : shapefile) {
        QVERIFY(put(out.filePath(name), "earlier " + name.toUtf8()));
        QVERIFY(put(work.filePath("new/" + name), "new " + name.toUtf8()));
    }
    if (swapBegun) {
        QVERIFY(put(work.filePath("swap"), shapefile.join('\n').toUtf8()));
    }
    for (const QString& name : asideNames) {
        QVERIFY(QFile::rename(out.filePath(name), work.filePath("old/" + name)));
    }
    for (const QString& name : inNames) {
        QVERIFY(QFile::rename(work.filePath("new/" + name), out.filePath(name)));
    }
    const auto before = filesOf(out.path());

    QStringList lines;
    if (owner == "next run") {
        const Run run = analyse(params(out.filePath("res.shp")), m_data.path());
        QVERIFY2(run.result.ok, qPrintable(run.result.error));
        lines = run.log;
        QVERIFY(holdsResults(out.filePath("res.shp"), run.result));
    } else {
        lines = recoverWorkFolders(out.path(), 0, "res.shp");
    }
    QCOMPARE(lines.filter(log).size(), log.isEmpty() ? 0 : 1);
    if (!log.isEmpty()) {
        QVERIFY2(lines.filter(log).at(0).startsWith("Output " + out.filePath("res.shp") + ": "),
                 qPrintable(lines.join('\n')));
    }
    if (found == "aside") {
        QCOMPARE(filesOf(out.path()), before);
        QVERIFY(work.exists());
        return;
    }
    QVERIFY(!work.exists());
    if (found != "next run") {
        std::map<QString, QByteArray> expected;
        for (const QString& name : shapefile) {
            expected[name] = found.toUtf8() + " " + name.toUtf8();
        }
        QCOMPARE(filesOf(out.path()), expected);
    }
}

void TestOutputs::writesIntoAGeoPackageInUse_data()
{
    QTest::addColumn<bool>("writing"); // the other program in a write of its own
    QTest::newRow("a reader and an idle writer in WAL mode") << false;
    QTest::newRow("another program writing") << true;
}

// QGIS editing a layer of the GeoPackage: the output's layer is replaced in place, or the run
// is refused while the other program writes; either way every layer stays readable.
void TestOutputs::writesIntoAGeoPackageInUse()
{
    QFETCH(bool, writing);
    const QString gpkg = m_out->filePath("res.gpkg");
    const QString units = m_data.filePath("units.shp");
    QVERIFY(translate(units, gpkg, {"-nln", "other"}));
    QVERIFY(translate(units, gpkg, {"-nln", "res", "-where", "ID = 1"}));
    GDALDataset* writer = open(gpkg, true);
    GDALDataset* reader = open(gpkg);
    QVERIFY(writer && reader);
    OGRLayer* other = writer->GetLayerByName("other");
    if (writing) {
        QCOMPARE(writer->StartTransaction(), OGRERR_NONE);
    }
    OGRFeature* added = OGRFeature::CreateFeature(other->GetLayerDefn());
    QCOMPARE(other->CreateFeature(added), OGRERR_NONE); // in the WAL, not yet checkpointed
    OGRFeature::DestroyFeature(added);
    OGRFeature* held = reader->GetLayerByName("res")->GetNextFeature(); // a read under way
    QVERIFY(held);
    OGRFeature::DestroyFeature(held);

    const Run run = analyse(params(gpkg), m_data.path());
    const qint64 units7 = themes().at("units").size();
    const auto check = [&](GDALDataset* ds) {
        QVERIFY(ds);
        OGRLayer* result = ds->ExecuteSQL("PRAGMA integrity_check", nullptr, nullptr);
        OGRFeature* f = result ? result->GetNextFeature() : nullptr;
        QCOMPARE(f ? QString(f->GetFieldAsString(0)) : QString(), QStringLiteral("ok"));
        OGRFeature::DestroyFeature(f);
        ds->ReleaseResultSet(result);
        QCOMPARE(featureCount(ds, "other"), units7 + 1);
        QCOMPARE(featureCount(ds, "res"), writing ? 1 : units7);
    };
    if (writing) {
        QVERIFY(!run.result.ok);
        QVERIFY2(run.result.error.startsWith("Cannot write the output " + gpkg +
                                             ": another program is changing the GeoPackage ("),
                 qPrintable(run.result.error));
        QCOMPARE(writer->CommitTransaction(), OGRERR_NONE);
    } else {
        QVERIFY2(run.result.ok, qPrintable(run.result.error));
        GDALDataset* meanwhile = open(gpkg);
        check(meanwhile);
        GDALClose(meanwhile);
    }
    GDALClose(reader);
    GDALClose(writer);
    GDALDataset* after = open(gpkg);
    check(after);
    GDALClose(after);
    if (!writing) {
        QVERIFY(holdsResults(gpkg, run.result));
    }
    QCOMPARE(QDir(m_out->path()).entryList({".tarn*"}, QDir::AllEntries | QDir::Hidden),
             QStringList());
}

// The theme a layer of the GeoPackage the output goes into, read while the output is written.
// With a cache of a few pages SQLite writes the transaction's pages out as it goes: a read
// through a second connection holds that back each time for as long as SQLite waits (this
// test then takes a minute, a run of 100,000 polygons over ten minutes).
void TestOutputs::writesIntoTheGeoPackageItReads()
{
    const QDir dir(m_out->path());
    QVERIFY(QFile::copy(m_data.filePath("landcover.tif"), dir.filePath("landcover.tif")));
    const QString gpkg = dir.filePath("res.gpkg");
    for (int copy = 0; copy < 20; ++copy)
        QVERIFY(translate(m_data.filePath("units.shp"), gpkg, {"-nln", "blocks", "-append"}));
    CPLSetConfigOption("OGR_SQLITE_PRAGMA", "cache_size=10");
    const auto restore = qScopeGuard([] { CPLSetConfigOption("OGR_SQLITE_PRAGMA", nullptr); });
    const Run run = analyse(params(gpkg, "blocks"), dir.path());
    QVERIFY2(run.result.ok, qPrintable(run.result.error));
    QVERIFY(holdsResults(gpkg, run.result));
}

void TestOutputs::keepsTheEarlierOutputOnAFullDisk_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("theme");
    QTest::addColumn<bool>("inPlace"); // into a GeoPackage holding another layer
    QTest::newRow("shapefile copied from the theme") << "res.shp"
                                                     << "units" << false;
    QTest::newRow("shapefile through GDAL") << "res.shp"
                                            << "units_g" << false;
    QTest::newRow("GeoJSON") << "res.geojson"
                             << "units" << false;
    QTest::newRow("FlatGeobuf") << "res.fgb"
                                << "units" << false;
    QTest::newRow("CSV") << "res.csv"
                         << "units" << false;
    QTest::newRow("new GeoPackage") << "res.gpkg"
                                    << "units" << false;
    QTest::newRow("GeoPackage written in place") << "res.gpkg"
                                                 << "units" << true;
}

// On a small tmpfs (mounted where the tests may, as CI's root may), filled to leave ever more
// free pages: the run fails with the disk's message and the earlier output stays byte for
// byte, until there is room, when the new output reads back whole.
void TestOutputs::keepsTheEarlierOutputOnAFullDisk()
{
    QFETCH(QString, name);
    QFETCH(QString, theme);
    QFETCH(bool, inPlace);
    const QString dir = m_out->filePath("disk");
    QVERIFY(QDir().mkpath(dir));
    QProcess mount;
    mount.start("mount", {"-t", "tmpfs", "-o", "size=2m", "tmpfs", dir});
    mount.waitForFinished();
    if (mount.exitStatus() != QProcess::NormalExit || mount.exitCode() != 0) {
        QSKIP(qPrintable("a tmpfs cannot be mounted here: " +
                         QString::fromLocal8Bit(mount.readAllStandardError()).trimmed()));
    }
    const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {"-l", dir}); });
    const QString out = QDir(dir).filePath(name);
    if (inPlace) {
        // Its other layer stays whatever happens.
        QVERIFY(translate(m_data.filePath("units.shp"), out, {"-nln", "other"}));
    }
    Run run = analyse(params(out, theme, "NAME", "landcover", 0), m_data.path());
    QVERIFY2(run.result.ok, qPrintable(run.result.error));
    // A GeoPackage's bytes change as GDAL tidies it when opened for update: its layers count.
    const auto contents = [&] {
        if (!name.endsWith(".gpkg")) {
            return filesOf(dir);
        }
        GDALDataset* ds = open(out);
        std::map<QString, QByteArray> layers{
            {"other", QByteArray::number(featureCount(ds, "other"))},
            {"res", resultsOf(out).join('\n').toUtf8()},
            {"files", QDir(dir).entryList(QDir::AllEntries | QDir::Hidden).join(' ').toUtf8()}};
        for (const char* sql : {"SELECT name FROM sqlite_master ORDER BY name",
                                "SELECT table_name FROM gpkg_contents ORDER BY table_name"}) {
            OGRLayer* result = ds->ExecuteSQL(sql, nullptr, nullptr);
            while (OGRFeature* f = result ? result->GetNextFeature() : nullptr) {
                layers[sql] += QByteArray(f->GetFieldAsString(0)) + " ";
                OGRFeature::DestroyFeature(f);
            }
            ds->ReleaseResultSet(result);
        }
        GDALClose(ds);
        return layers;
    };
    const auto earlier = contents();
    const QString filler = m_out->filePath("disk/filler");
    int failures = 0;
    const int page = 4096;
    for (const int freePages : {0, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233}) {
        QFile::remove(filler);
        struct statvfs fs;
        QVERIFY(statvfs(QFile::encodeName(dir).constData(), &fs) == 0);
        const qint64 fill = qint64(fs.f_bavail) * qint64(fs.f_frsize) - qint64(freePages) * page;
        const int fd = ::open(QFile::encodeName(filler).constData(), O_WRONLY | O_CREAT, 0600);
        QVERIFY(fd >= 0 && (fill <= 0 || posix_fallocate(fd, 0, fill) == 0));
        ::close(fd);
        run = analyse(params(out, theme, "NAME", "landcover", 2), m_data.path());
        QFile::remove(filler);
        const QByteArray at = QByteArray::number(freePages) + " free pages";
        if (!run.result.ok) {
            ++failures;
            QVERIFY2(run.result.error.contains("No space left on device") ||
                         run.result.error.contains("database or disk is full") ||
                         run.result.error.contains("(the disk is full: "),
                     (at + ": " + run.result.error.toUtf8()).constData());
            QVERIFY2(contents() == earlier, at.constData());
            continue;
        }
        QCOMPARE(QDir(dir).entryList({".tarn*"}, QDir::AllEntries | QDir::Hidden), QStringList());
        QVERIFY(holdsResults(out, run.result));
        if (inPlace) {
            GDALDataset* ds = open(out);
            QCOMPARE(featureCount(ds, "other"), qint64(themes().at("units").size()));
            GDALClose(ds);
        }
        QVERIFY2(failures >= 2, "the disk was never full enough to fail the run");
        return;
    }
    QFAIL(qPrintable("no run succeeded; the last said: " + run.result.error));
}

void TestOutputs::writesTablesThatReadBack_data()
{
    QTest::addColumn<QString>("theme");
    QTest::addColumn<QString>("name");
    QTest::newRow("a theme's text field wider than 255") << "wide"
                                                         << "res.shp";
    QTest::newRow("CSV, with its field types") << "units"
                                               << "res.csv";
}

// GDAL (and so QGIS) reads the result fields back as numbers with the run's values.
void TestOutputs::writesTablesThatReadBack()
{
    QFETCH(QString, theme);
    QFETCH(QString, name);
    const QString out = m_out->filePath(name);
    const Run run = analyse(params(out, theme), m_data.path());
    QVERIFY2(run.result.ok, qPrintable(run.result.error));
    QVERIFY(holdsResults(out, run.result));
    GDALDataset* ds = open(out);
    QVERIFY(ds);
    OGRFeatureDefn* defn = ds->GetLayer(0)->GetLayerDefn();
    QString types;
    for (const char* field : {"LC_AREA", "IS_PCT", "NODATA_CT"}) {
        types += QString(OGRFieldDefn::GetFieldTypeName(
                     defn->GetFieldDefn(defn->GetFieldIndex(field))->GetType())) +
                 " ";
    }
    GDALClose(ds);
    QCOMPARE(types, QStringLiteral("Real Real Integer64 "));
}

QTEST_GUILESS_MAIN(TestOutputs)
#include "tst_outputs.moc"
