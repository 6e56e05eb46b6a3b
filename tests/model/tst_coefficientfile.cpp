#include "model/coefficientfile.h"
#include "model/store.h"
#include "model/storemerge.h"
#include "tests/support/testfiles.h"
#include "tests/support/testmodel.h"

#include <QtTest>

// Import, export and merge of coefficient sets.
class tst_CoefficientFile : public QObject {
    Q_OBJECT

    QTemporaryDir* m_dir = nullptr;
    clsISModelProperties m_model;

    QString path(const QString& name) const { return m_dir->filePath(name); }

    QString writeCsv(const QByteArray& bytes)
    {
        return writeFile(path("in.csv"), bytes) ? path("in.csv") : QString();
    }

    static QString rowsOf(const clsISLCDef& set)
    {
        QStringList rows;
        for (const LCClassPtr& r : *set.LCClasses) {
            rows << QStringLiteral("%1|%2|%3|%4|%5")
                        .arg(r->ID)
                        .arg(r->LCName)
                        .arg(double(r->LCHigh))
                        .arg(double(r->LCMed))
                        .arg(double(r->LCLow));
        }
        return rows.join(u';');
    }

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        m_model = modelOf({"Urban"});
    }
    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
    }

    void goodFilesImport_data()
    {
        QTest::addColumn<QByteArray>("csv");
        QTest::addColumn<QString>("rows");
        QTest::newRow("header and rows")
            << QByteArray(
                   "Value,ClassName,High,Medium,Low\r\n11,Water,0,0,0\r\n21,Dev,19.5,10,5\r\n")
            << "11|Water|0|0|0;21|Dev|19.5|10|5";
        QTest::newRow("no header, no final line end") << QByteArray("1,A,1,2,3") << "1|A|1|2|3";
        QTest::newRow("headers anywhere, any case")
            << QByteArray("1,A,1,2,3\r\nvalue,x,y,z,w\r\nVaLuE,,,,\r\n2,B,4,5,6\r\n")
            << "1|A|1|2|3;2|B|4|5|6";
        QTest::newRow("empty file") << QByteArray() << "";
        QTest::newRow("whole value with a fraction of zero")
            << QByteArray("12.0,A,0,0,100\n") << "12|A|0|0|100";
        QTest::newRow("value 0 accepted")
            << QByteArray("0,Background,0,0,0\r") << "0|Background|0|0|0";
        QTest::newRow("name kept as it is")
            << QByteArray("  5, \"Quoted\" name ,1,2,3  \r\n") << "5| \"Quoted\" name |1|2|3";
        QTest::newRow("windows-1252 name")
            << QByteArray("5,Caf\xe9,1,1,1\n") << QStringLiteral("5|Caf\u00e9|1|1|1");
    }
    void goodFilesImport()
    {
        QFETCH(QByteArray, csv);
        QFETCH(QString, rows);
        const ImportResult result =
            ImportCoefficientFile(m_model, writeCsv(csv), QStringLiteral("New"));
        QVERIFY2(result.ok(), qPrintable(result.message("in.csv") + " " + result.detail));
        QCOMPARE(setNames(m_model), QStringList({"Urban", "New"}));
        QCOMPARE(rowsOf(*m_model.ISLCDefs->Item(2)), rows);
    }

    void badFilesLeaveNoTrace_data()
    {
        QTest::addColumn<QByteArray>("csv");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("line");
        QTest::newRow("blank line")
            << QByteArray("1,A,1,1,1\r\n\r\n2,B,1,1,1\r\n") << int(ImportResult::FieldCount) << 2;
        QTest::newRow("extra empty line at the end")
            << QByteArray("1,A,1,1,1\r\n\r\n") << int(ImportResult::FieldCount) << 2;
        QTest::newRow("comma in a name")
            << QByteArray("1,A,B,1,1,1\r\n") << int(ImportResult::FieldCount) << 1;
        QTest::newRow("blank before the header's comma is no header")
            << QByteArray("Value ,ClassName,High,Medium,Low\r\n") << int(ImportResult::NotNumeric)
            << 1;
        QTest::newRow("letter value is F2 before F3")
            << QByteArray("x,A,1,1,1") << int(ImportResult::NotNumeric) << 1;
        QTest::newRow("fraction") << QByteArray("12.5,A,1,1,1") << int(ImportResult::BadValue) << 1;
        QTest::newRow("beyond 32 bits")
            << QByteArray("2147483648,A,1,1,1") << int(ImportResult::BadValue) << 1;
        QTest::newRow("high not numeric")
            << QByteArray("1,A,high,1,1") << int(ImportResult::NotNumeric) << 1;
        QTest::newRow("high above 100")
            << QByteArray("1,A,100.01,1,1") << int(ImportResult::BadCoefficient) << 1;
        QTest::newRow("high range before medium number")
            << QByteArray("1,A,101,x,1") << int(ImportResult::BadCoefficient) << 1;
        QTest::newRow("failure in the last line")
            << QByteArray("1,A,1,1,1\n2,B,1,1,1\n3,C,1,1,1000\n")
            << int(ImportResult::BadCoefficient) << 3;
        QTest::newRow("missing file") << QByteArray() << int(ImportResult::FileError) << 0;
        QTest::newRow("a folder") << QByteArray() << int(ImportResult::FileError) << 0;
    }
    void badFilesLeaveNoTrace()
    {
        QFETCH(QByteArray, csv);
        QFETCH(int, status);
        QFETCH(int, line);
        const QString tag = QTest::currentDataTag();
        const QString file = tag == "a folder"       ? m_dir->path()
                             : tag == "missing file" ? path("missing.csv")
                                                     : writeCsv(csv);
        const QString before = m_model.XML();
        const ImportResult result = ImportCoefficientFile(m_model, file, QStringLiteral("New"));
        QVERIFY(result.message(file).contains(file));
        QCOMPARE(int(result.status), status);
        QCOMPARE(result.line, line);
        QCOMPARE(m_model.XML(), before);
    }

    void failureMessagesAreWordForWord()
    {
        const QString e = QStringLiteral(
            "Expecting an ascii comma-separated file containing rows with the following columns "
            "'Value,ClassName,High,Medium,Low'. All fields must be numeric except 'ClassName'.");
        ImportResult r;
        r.status = ImportResult::FieldCount;
        QCOMPARE(r.message("C:/a b.csv"),
                 "Incorrect number of fields detected in your import file C:/a b.csv. " + e);
        r.status = ImportResult::NotNumeric;
        QCOMPARE(r.message("p"), "Invalid or incorrectly formated data in import file p. " + e);
        r.status = ImportResult::BadValue;
        QCOMPARE(r.message("p"), "Invalid class ID in the Value column within import file p. "
                                 "Class ID must be a positive integer. " +
                                     e);
        r.status = ImportResult::BadCoefficient;
        QCOMPARE(r.message("p"), "Invalid coefficient in import file p. "
                                 "Coefficients must be between 0-100 (inclusive). " +
                                     e);
    }

    void exportWritesHeaderAndRows()
    {
        auto row = std::make_shared<clsLCClass>();
        row->ID = -4;
        row->LCName = QStringLiteral("a,\"b\"");
        row->LCHigh = 100;
        row->LCMed = 100.0f / 3.0f;
        row->LCLow = 0.5f;
        m_model.ISLCDefs->Item(1)->LCClasses->Add(row);
        const QString before = m_model.XML();
        QVERIFY(ExportCoefficientFile(m_model, path("out.txt"), QStringLiteral("Urban")));
        QCOMPARE(readFile(path("out.txt")),
                 QByteArray("Value,ClassName,High,Medium,Low\r\n-4,a,\"b\",100,33.33333,0.5\r\n"));
        QCOMPARE(m_model.XML(), before);
    }

    void bundledSetsSurviveExportAndImport()
    {
        clsISModelProperties bundled;
        QVERIFY(LoadModelXML(bundled, QStringLiteral(TARN_SOURCE_DIR "/etc/isprops.xml")));
        QVERIFY(bundled.ISLCDefs->Count() > 0);
        for (qint32 i = 1, n = bundled.ISLCDefs->Count(); i <= n; ++i) {
            const ISLCDefPtr set = bundled.ISLCDefs->Item(i);
            const QString file = path(QStringLiteral("set%1.csv").arg(i));
            QVERIFY(ExportCoefficientFile(bundled, file, set->LCType));
            const QString copy = set->LCType + QStringLiteral(" copy");
            QVERIFY(ImportCoefficientFile(bundled, file, copy).ok());
            QCOMPARE(rowsOf(*bundled.ISLCDefs->find(copy)), rowsOf(*set));
            QVERIFY(!rowsOf(*set).isEmpty());
        }
    }

    void mergeRenamesTakenNamesUntilFree()
    {
        m_model = modelOf({"Urban", "Urban2"});
        const clsISModelProperties other =
            modelOf({"Urban|7,,70,0,0", "urban|7,,70,0,0", "Forest", "Forest", "Forest"});
        QVERIFY(SaveModelXML(other, path("other.xml")));

        const MergeResult result = MergeStoreFile(m_model, path("other.xml"));
        QVERIFY(result.loaded());
        QVERIFY(result.duplicates);
        QCOMPARE(result.addedNames,
                 QStringList({"Urban22", "urban", "Forest", "Forest2", "Forest22"}));
        QCOMPARE(setNames(m_model), QStringList({"Urban", "Urban2", "Urban22", "urban", "Forest",
                                                 "Forest2", "Forest22"}));
        // Copies, not shared objects.
        m_model.ISLCDefs->Item(3)->LCClasses->Item(1)->LCHigh = 1;
        QCOMPARE(other.ISLCDefs->Item(1)->LCClasses->Item(1)->LCHigh, 70.0f);
    }

    void mergeOfABadFileAddsNothing()
    {
        QVERIFY(
            writeFile(path("bad.xml"),
                      "<ISModelProperties><ISLCDefs><ISLCDef><LCType>X</LCType><LCClasses>"
                      "<LCClass ID='q'/></LCClasses></ISLCDef></ISLCDefs></ISModelProperties>"));
        const QString before = m_model.XML();
        QVERIFY(!MergeStoreFile(m_model, path("bad.xml")).loaded());
        QVERIFY(!MergeStoreFile(m_model, path("missing.xml")).loaded());
        QCOMPARE(m_model.XML(), before);
    }
};

QTEST_GUILESS_MAIN(tst_CoefficientFile)
#include "tst_coefficientfile.moc"
